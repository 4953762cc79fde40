// The plug-in manager with real test plug-ins: discovery and validation,
// the list, loading and releasing, pending marks, the broadcasts, the
// older entry-point set, and the protection of plug-ins that are inside a
// request.
#include <dlfcn.h>
#include <gtest/gtest.h>
#include <string.h>

#include <algorithm>
#include <filesystem>
#include <set>

#include "nbt_support.h"
#include "test_env.h"

namespace {

nb_pgmgr *mgr()
{
    return &the_app.pgmgr;
}
const nb_pgmgr_ops &ops()
{
    return the_app.pgmgr.ops;
}

bool is_mapped(const std::string &path)
{
    void *h = dlopen(path.c_str(), RTLD_NOW | RTLD_NOLOAD);
    if (h)
        dlclose(h);
    return h != nullptr;
}

nb_plugin *add(const std::string &path)
{
    char buf[NB_TEXT_MAX] = {0};
    g_strlcpy(buf, path.c_str(), sizeof buf);
    return ops().pgmgr_add(mgr(), buf, sizeof buf);
}

class Pgmgr : public ::testing::Test {
protected:
    void SetUp() override
    {
        dir_ = nbtest::make_temp_dir("pgmgr");
        nbt::init_app(dir_);
    }
    void TearDown() override { nbt::finish_app(); }

    // A copy of a test plug-in in the installation directory, listed.
    nb_plugin *listed(const char *variant, const char *file_name)
    {
        return add(nbt::place(dir_, variant, file_name));
    }

    std::string dir_;
};

TEST_F(Pgmgr, DiscoveryTakesLibraryNamesThatValidate)
{
    for (const char *name : {"a.SO", "b.so", "cso", "d.s", "e.so.bak", "f.sO"})
        nbt::place(dir_, "nbt_handler", name);
    nbt::place(dir_, "nbt_handler_ffff", "ffff.so");
    nbt::place(dir_, "nbt_v02ff", "old.so");
    nbt::place(dir_, "nbt_noname", "noname.so");
    nbt::place(dir_, "nbt_needsym", "needsym.so");
    // Listing checks the four descriptive symbols only; the missing table
    // is found at load time.
    nbt::place(dir_, "nbt_noops", "noops.so");
    nbtest::write_file(dir_ + "/text.so", "not a library\n");
    std::filesystem::create_directory(dir_ + "/sub.so");
    std::filesystem::create_directory(dir_ + "/deeper");
    nbt::place(dir_ + "/deeper", "nbt_handler", "deep.so");

    ops().pgmgr_scan(mgr());

    std::vector<std::string> got = nbt::list_paths();
    std::set<std::string> names;
    for (const std::string &p : got)
        names.insert(std::filesystem::path(p).filename().string());
    EXPECT_EQ(names, (std::set<std::string>{"a.SO", "b.so", "cso", "f.sO", "ffff.so", "noops.so"}));
    EXPECT_EQ(mgr()->count, 6);
    for (const std::string &p : got)
        EXPECT_EQ(p.rfind(dir_ + "/", 0), 0u) << p;
    // Validation unloaded every library again and sent no request.
    for (const std::string &p : got)
        EXPECT_FALSE(is_mapped(p)) << p;
    EXPECT_TRUE(nbt::events().empty());
}

TEST_F(Pgmgr, ScanListsNewestFirstAndTwiceAddsNothing)
{
    for (const char *name : {"a.so", "b.so", "c.so"})
        nbt::place(dir_, "nbt_handler", name);
    // The order the directory listing returns, which the manager keeps.
    std::vector<std::string> found;
    GDir *d = g_dir_open(dir_.c_str(), 0, nullptr);
    ASSERT_NE(d, nullptr);
    for (const char *n; (n = g_dir_read_name(d));)
        found.push_back(dir_ + "/" + n);
    g_dir_close(d);
    std::reverse(found.begin(), found.end());

    ops().pgmgr_scan(mgr());
    EXPECT_EQ(nbt::list_paths(), found);
    ops().pgmgr_scan(mgr());
    EXPECT_EQ(nbt::list_paths(), found);
    EXPECT_EQ(mgr()->count, 3);
}

TEST_F(Pgmgr, UnlistableDirectoryFindsNothing)
{
    g_strlcpy(mgr()->install_dir, (dir_ + "/missing").c_str(), sizeof mgr()->install_dir);
    ops().pgmgr_scan(mgr());
    EXPECT_EQ(mgr()->count, 0);
    EXPECT_EQ(ops().pgmgr_next(nullptr, mgr(), nullptr), nullptr);
}

TEST_F(Pgmgr, ValidationVersionBoundaries)
{
    EXPECT_EQ(ops().pgmgr_is_plugin(nbt::plugin("nbt_handler").c_str()), 1);       // 0x0300
    EXPECT_EQ(ops().pgmgr_is_plugin(nbt::plugin("nbt_handler_ffff").c_str()), 1);  // 0xFFFF
    EXPECT_EQ(ops().pgmgr_is_plugin(nbt::plugin("nbt_v02ff").c_str()), 0);
    EXPECT_EQ(ops().pgmgr_is_plugin(nbt::plugin("nbt_noname").c_str()), 0);
    EXPECT_EQ(ops().pgmgr_is_plugin(nbt::plugin("nbt_needsym").c_str()), 0);
    EXPECT_EQ(ops().pgmgr_is_plugin((dir_ + "/none.so").c_str()), 0);
}

TEST_F(Pgmgr, AddKeepsPathsUniqueAndBounded)
{
    nb_plugin *a = add("/x/a.so");
    ASSERT_NE(a, nullptr);
    EXPECT_EQ(add("/x/a.so"), nullptr);
    // Exact, case-sensitive comparison.
    EXPECT_NE(add("/x/A.so"), nullptr);
    EXPECT_EQ(mgr()->count, 2);

    // A caller's buffer without a NUL within the given size is cut there.
    char raw[8];
    memset(raw, 'z', sizeof raw);
    nb_plugin *cut = ops().pgmgr_add(mgr(), raw, sizeof raw);
    ASSERT_NE(cut, nullptr);
    EXPECT_STREQ(cut->path, "zzzzzzz");

    EXPECT_EQ(ops().pgmgr_find(mgr(), "/x/a.so"), a);
    EXPECT_EQ(ops().pgmgr_find(mgr(), "/x/b.so"), nullptr);
    EXPECT_EQ(ops().pgmgr_load_path(&the_app, "/x/b.so"), -1);

    ops().pgmgr_release_all(mgr());
    EXPECT_EQ(mgr()->count, 0);
    EXPECT_EQ(mgr()->head, nullptr);
    EXPECT_EQ(ops().pgmgr_find(mgr(), "/x/A.so"), nullptr);
}

TEST_F(Pgmgr, LoadAndReleaseAHandlerPlugin)
{
    the_app.chan.number = 3;
    the_app.chan.running = 1;
    nb_plugin *e = listed("nbt_handler", "rec.so");
    ASSERT_NE(e, nullptr);
    ASSERT_EQ(pgmgr_load(&the_app, e), 0);
    EXPECT_EQ(e->loaded, 1);
    EXPECT_NE(e->handler, nullptr);
    EXPECT_EQ(e->page, nullptr);  // the test answered with no page
    EXPECT_TRUE(is_mapped(e->path));
    EXPECT_EQ(pgmgr_load(&the_app, e), -1);

    auto init = nbt::of_type(PGRP_INIT);
    ASSERT_EQ(init.size(), 1u);
    EXPECT_EQ(init[0].ev.style, NBT_STYLE_HANDLER);
    EXPECT_EQ(init[0].ev.chan, 3);
    EXPECT_EQ(init[0].ev.data_size, 20u);
    EXPECT_EQ(init[0].ev.result_size, 8u);
    EXPECT_EQ(init[0].ev.running, 1);
    EXPECT_EQ(init[0].ev.timestamp % 10000, 0u);
    EXPECT_NE(init[0].ev.timestamp, 0u);

    ASSERT_EQ(pgmgr_release(e), 0);
    EXPECT_EQ(e->loaded, 0);
    EXPECT_FALSE(is_mapped(e->path));
    EXPECT_EQ(pgmgr_release(e), -1);
    EXPECT_EQ(nbt::types_from(e->path), (std::vector<int>{PGRP_INIT, PGRP_RELEASE}));
    auto rel = nbt::of_type(PGRP_RELEASE);
    EXPECT_EQ(rel[0].ev.data_size, 0u);
    EXPECT_EQ(rel[0].ev.data_ptr, nullptr);

    // A released entry takes no requests; it loads again.
    pgrp req = {};
    req.type = PGRP_STATUS;
    EXPECT_EQ(ops().pgmgr_request(e, &req), -1);
    ASSERT_EQ(pgmgr_load(&the_app, e), 0);
    EXPECT_EQ(nbt::of_type(PGRP_INIT).size(), 2u);
}

TEST_F(Pgmgr, RefusedPluginsLeaveNothingLoaded)
{
    for (const char *variant : {"nbt_v02ff", "nbt_noname", "nbt_noops", "nbt_needsym"}) {
        nb_plugin *e = add(nbt::plugin(variant));
        ASSERT_NE(e, nullptr);
        EXPECT_EQ(pgmgr_load(&the_app, e), -1) << variant;
        EXPECT_EQ(e->loaded, 0) << variant;
        EXPECT_EQ(e->module, nullptr) << variant;
        EXPECT_FALSE(is_mapped(e->path)) << variant;
    }
    EXPECT_EQ(ops().pgmgr_load_path(&the_app, "/nowhere/x.so"), -1);
    EXPECT_TRUE(nbt::events().empty());
}

TEST_F(Pgmgr, BroadcastsRunInListOrderWithOneRecord)
{
    the_app.chan.number = 3;
    std::string a = nbt::place(dir_, "nbt_handler", "A.so");
    std::string b = nbt::place(dir_, "nbt_legacy", "B.so");
    std::string c = nbt::place(dir_, "nbt_handler", "C.so");
    std::string off = nbt::place(dir_, "nbt_handler", "off.so");
    for (const std::string &p : {off, a, b, c})
        ASSERT_NE(add(p), nullptr);
    for (const std::string &p : {a, b, c})
        ASSERT_EQ(pgmgr_load(&the_app, ops().pgmgr_find(mgr(), p.c_str())), 0);
    EXPECT_EQ(nbt::list_paths(), (std::vector<std::string>{c, b, a, off}));
    nbt::clear_events();

    zk_frame frames[5] = {};
    for (int i = 0; i < 5; i++)
        frames[i].id = 0x100 + i;
    ops().pgmgr_rx_frames(mgr(), frames, 5);
    nb_tx_entry entries[2] = {};
    entries[0].frame.id = 0x7;
    entries[1].frame.id = 0x8;
    ops().pgmgr_tx_frames(mgr(), entries, 2);
    zk_errs errs = {1, 0, 2, 0, 3};
    ops().pgmgr_errors(mgr(), &errs);
    the_app.chan.acc_code = 0x55;
    ops().pgmgr_status(mgr());

    const auto &ev = nbt::events();
    ASSERT_EQ(ev.size(), 12u);
    const int types[4] = {PGRP_RX_FRAMES, PGRP_TX_FRAMES, PGRP_ERRORS, PGRP_STATUS};
    for (int t = 0; t < 4; t++) {
        EXPECT_EQ(ev[3 * t].path, c);
        EXPECT_EQ(ev[3 * t + 1].path, b);
        EXPECT_EQ(ev[3 * t + 2].path, a);
        for (int k = 0; k < 3; k++)
            EXPECT_EQ(ev[3 * t + k].ev.type, types[t]);
        // The handler-style ones got the very same record.
        EXPECT_EQ(ev[3 * t].ev.req, ev[3 * t + 2].ev.req);
        EXPECT_EQ(ev[3 * t].ev.timestamp, ev[3 * t + 2].ev.timestamp);
        EXPECT_EQ(ev[3 * t].ev.timestamp % 10000, 0u);
        EXPECT_EQ(ev[3 * t].ev.chan, 3);
    }
    // Payloads are the caller's buffers, sized per record kind.
    EXPECT_EQ(ev[0].ev.data_ptr, frames);
    EXPECT_EQ(ev[0].ev.data_size, 100u);
    EXPECT_EQ(ev[0].ev.n, 5);
    EXPECT_EQ(ev[1].ev.data_ptr, frames);  // older set: the host's array itself
    EXPECT_EQ(ev[1].ev.n, 5);
    EXPECT_EQ(ev[3].ev.data_size, 64u);
    EXPECT_EQ(ev[3].ev.first_id, 0x7u);
    EXPECT_EQ(ev[3].ev.last_id, 0x8u);
    EXPECT_EQ(ev[6].ev.data_size, 10u);
    EXPECT_EQ(ev[6].ev.data_ptr, &errs);
    EXPECT_EQ(ev[7].ev.errs[4], 3);
    EXPECT_EQ(ev[9].ev.data_size, 20u);
    EXPECT_NE(ev[9].ev.data_ptr, nullptr);
    // Nothing reached the listed but unloaded entry.
    EXPECT_TRUE(nbt::types_from(off).empty());
}

TEST_F(Pgmgr, StatusCarriesTheCurrentChannelStatus)
{
    nb_plugin *e = listed("nbt_handler", "s.so");
    ASSERT_EQ(pgmgr_load(&the_app, e), 0);
    nb_chan_status seen = {};
    nbt::on_event = [&](nbt_event *ev) {
        if (ev->type == PGRP_STATUS)
            memcpy(&seen, ev->data_ptr, sizeof seen);
    };
    the_app.chan.number = 2;
    the_app.chan.running = 1;
    the_app.chan.lom = 1;
    the_app.chan.acc_code = 0x12345678;
    the_app.chan.acc_mask = 0xffff0000;
    the_app.chan.baud_index = 9;
    the_app.chan.wtout = 40;
    ops().pgmgr_status(mgr());
    EXPECT_EQ(seen.chan, 2);
    EXPECT_EQ(seen.running, 1);
    EXPECT_EQ(seen.lom, 1);
    EXPECT_EQ(seen.acc_code, 0x12345678u);
    EXPECT_EQ(seen.acc_mask, 0xffff0000u);
    EXPECT_EQ(seen.baud_index, 9);
    EXPECT_EQ(seen.wtout, 40);
}

TEST_F(Pgmgr, OlderSetAdaptation)
{
    nb_plugin *e = listed("nbt_legacy", "old.so");
    ASSERT_EQ(pgmgr_load(&the_app, e), 0);
    EXPECT_EQ(e->handler, nullptr);
    EXPECT_NE(e->load_session, nullptr);
    EXPECT_NE(e->save_session, nullptr);
    auto init = nbt::of_type(PGRP_INIT);
    ASSERT_EQ(init.size(), 1u);
    EXPECT_EQ(init[0].ev.style, NBT_STYLE_LEGACY);
    EXPECT_NE(init[0].ev.data_ptr, nullptr);  // the status record
    nbt::clear_events();

    // PGRP_INIT result: the returned pointer with size 8, or null and 0.
    int marker = 0;
    nbt::on_event = [&](nbt_event *ev) {
        if (ev->type == PGRP_INIT) {
            ev->set_result = marker != 0;
            ev->result = &marker;
        }
    };
    nb_chan_status st = {};
    pgrp req = {};
    req.type = PGRP_INIT;
    req.data_ptr = &st;
    req.data_size = 20;
    req.result_size = 8;
    marker = 1;
    ops().pgmgr_request(e, &req);
    EXPECT_EQ(req.result_ptr, &marker);
    EXPECT_EQ(req.result_size, 8u);
    marker = 0;
    req.result_ptr = &st;
    ops().pgmgr_request(e, &req);
    EXPECT_EQ(req.result_ptr, nullptr);
    EXPECT_EQ(req.result_size, 0u);
    nbt::on_event = nullptr;
    nbt::clear_events();

    // tx_frames gets the first 20 bytes of each entry, not the entries.
    nb_tx_entry entries[3];
    memset(entries, 0xA5, sizeof entries);
    for (int i = 0; i < 3; i++) {
        entries[i].frame.id = 0x200 + i;
        entries[i].frame.len = (uint8_t)i;
        entries[i].timestamp = 123450000ull * (i + 1);
    }
    ops().pgmgr_tx_frames(mgr(), entries, 3);
    auto tx = nbt::of_type(PGRP_TX_FRAMES);
    ASSERT_EQ(tx.size(), 1u);
    EXPECT_EQ(tx[0].ev.n, 3);
    EXPECT_NE(tx[0].ev.data_ptr, entries);
    EXPECT_EQ(tx[0].ev.first_id, 0x200u);
    EXPECT_EQ(tx[0].ev.last_id, 0x202u);
    EXPECT_EQ(tx[0].ev.hash, nbt_hash_frames(entries, 3, sizeof(nb_tx_entry)));

    // Session requests: save with the handle itself, load in three phases.
    void *handle = reinterpret_cast<void *>(0x1234);
    pgrp save = {};
    save.type = PGRP_SESSION_SAVE;
    save.data_ptr = handle;
    save.data_size = 8;
    ops().pgmgr_request(e, &save);
    pgrp_session_key key;
    memset(&key, 0, sizeof key);
    strcpy(key.name, "Columns");
    strcpy(key.value, "id,len,data");
    pgrp lb = {}, lk = {}, le = {}, other = {};
    lb.type = PGRP_SESSION_LOAD_BEGIN;
    lk.type = PGRP_SESSION_LOAD_KEY;
    lk.data_ptr = &key;
    lk.data_size = sizeof key;
    le.type = PGRP_SESSION_LOAD_END;
    other.type = 42;
    for (pgrp *r : {&lb, &lk, &le, &other})
        ops().pgmgr_request(e, r);
    const auto &ev = nbt::events();
    ASSERT_EQ(ev.size(), 5u);
    EXPECT_EQ(ev[1].ev.type, PGRP_SESSION_SAVE);
    EXPECT_EQ(ev[1].ev.data_ptr, handle);
    EXPECT_EQ(ev[2].ev.phase, 0);
    EXPECT_STREQ(ev[2].ev.name, "");
    EXPECT_STREQ(ev[2].ev.value, "");
    EXPECT_EQ(ev[3].ev.phase, 1);
    EXPECT_STREQ(ev[3].ev.name, "Columns");
    EXPECT_STREQ(ev[3].ev.value, "id,len,data");
    EXPECT_EQ(ev[4].ev.phase, 2);
}

TEST_F(Pgmgr, OlderSetTxNeverOverrunsItsArray)
{
    nb_plugin *e = listed("nbt_legacy", "old.so");
    ASSERT_EQ(pgmgr_load(&the_app, e), 0);
    nbt::clear_events();
    std::vector<nb_tx_entry> many(2000);
    for (size_t i = 0; i < many.size(); i++)
        many[i].frame.id = (uint32_t)i;
    pgrp req = {};
    req.type = PGRP_TX_FRAMES;
    req.data_ptr = many.data();
    req.data_size = many.size() * sizeof(nb_tx_entry);
    ops().pgmgr_request(e, &req);
    auto tx = nbt::of_type(PGRP_TX_FRAMES);
    ASSERT_EQ(tx.size(), 1u);
    EXPECT_EQ(tx[0].ev.n, 512);
    EXPECT_EQ(tx[0].ev.last_id, 511u);
}

TEST_F(Pgmgr, OlderSetWithoutSessionEntryPoints)
{
    nb_plugin *e = listed("nbt_legacy_nosess", "old.so");
    ASSERT_EQ(pgmgr_load(&the_app, e), 0);
    EXPECT_EQ(e->load_session, nullptr);
    EXPECT_EQ(e->save_session, nullptr);
    nbt::clear_events();
    pgrp_session_key key = {};
    for (int type = PGRP_SESSION_SAVE; type <= PGRP_SESSION_LOAD_END; type++) {
        pgrp req = {};
        req.type = type;
        if (type == PGRP_SESSION_LOAD_KEY) {
            req.data_ptr = &key;
            req.data_size = sizeof key;
        }
        ops().pgmgr_request(e, &req);
    }
    EXPECT_TRUE(nbt::events().empty());
    ops().pgmgr_status(mgr());
    zk_frame f = {};
    ops().pgmgr_rx_frames(mgr(), &f, 1);
    EXPECT_EQ(nbt::types_from(e->path), (std::vector<int>{PGRP_STATUS, PGRP_RX_FRAMES}));
    ASSERT_EQ(pgmgr_release(e), 0);
    EXPECT_EQ(nbt::events().back().ev.type, PGRP_RELEASE);
    EXPECT_EQ(nbt::events().back().ev.style, NBT_STYLE_LEGACY);
}

TEST_F(Pgmgr, HandlerWinsOverTheOlderSet)
{
    nb_plugin *e = listed("nbt_both", "both.so");
    ASSERT_EQ(pgmgr_load(&the_app, e), 0);
    EXPECT_NE(e->handler, nullptr);
    EXPECT_EQ(e->init, nullptr);
    nb_tx_entry t = {};
    ops().pgmgr_tx_frames(mgr(), &t, 1);
    pgrp lb = {};
    lb.type = PGRP_SESSION_LOAD_BEGIN;
    ops().pgmgr_request(e, &lb);
    pgmgr_release(e);
    ASSERT_EQ(nbt::events().size(), 4u);
    for (const auto &x : nbt::events())
        EXPECT_EQ(x.ev.style, NBT_STYLE_HANDLER);
}

TEST_F(Pgmgr, AutoloadConsidersOnlyTheFirstMatch)
{
    std::string first = nbt::place(dir_, "nbt_handler", "busview_one.so");
    std::string second = nbt::place(dir_, "nbt_handler", "busview_two.so");
    std::string plain = nbt::place(dir_, "nbt_handler", "plain.so");
    add(second);
    add(first);  // newest: first in list order
    add(plain);
    nb_plugin *e_first = ops().pgmgr_find(mgr(), first.c_str());
    nb_plugin *e_second = ops().pgmgr_find(mgr(), second.c_str());
    // plain.so is first in list order but has no "busview" in its path.
    ops().pgmgr_autoload(&the_app);
    EXPECT_EQ(e_first->loaded, 1);
    EXPECT_EQ(e_second->loaded, 0);
    // Already loaded: the other match is still not looked at.
    ops().pgmgr_autoload(&the_app);
    EXPECT_EQ(e_second->loaded, 0);
    EXPECT_EQ(nbt::of_type(PGRP_INIT).size(), 1u);
}

TEST_F(Pgmgr, AutoloadMatchesTheDirectoryToo)
{
    std::string dir = nbtest::make_temp_dir("busview-install");
    std::string a = nbt::place(dir, "nbt_handler", "a.so");
    std::string b = nbt::place(dir, "nbt_handler", "b.so");
    add(a);
    add(b);
    ops().pgmgr_autoload(&the_app);
    EXPECT_EQ(ops().pgmgr_find(mgr(), b.c_str())->loaded, 1);
    EXPECT_EQ(ops().pgmgr_find(mgr(), a.c_str())->loaded, 0);
}

TEST_F(Pgmgr, PendingMarks)
{
    nb_plugin *a = listed("nbt_handler", "a.so");
    nb_plugin *b = listed("nbt_handler", "b.so");
    EXPECT_EQ(ops().pgmgr_apply_pending(&the_app), 0);

    a->pending = 1;
    b->pending = 1;
    mgr()->changes_pending = 1;
    EXPECT_EQ(ops().pgmgr_apply_pending(&the_app), 1);
    EXPECT_EQ(a->loaded, 1);
    EXPECT_EQ(b->loaded, 1);
    EXPECT_EQ(a->pending, 0);
    EXPECT_EQ(mgr()->changes_pending, 0);
    EXPECT_EQ(ops().pgmgr_apply_pending(&the_app), 0);

    // Marked for load, then for release before the tick: one request,
    // release, which fails for the unloaded entry; nothing changes.
    ASSERT_EQ(pgmgr_release(b), 0);
    nbt::clear_events();
    b->pending = 1;
    b->pending = 2;
    mgr()->changes_pending = 1;
    EXPECT_EQ(ops().pgmgr_apply_pending(&the_app), 1);
    EXPECT_EQ(b->loaded, 0);
    EXPECT_EQ(b->pending, 0);
    EXPECT_TRUE(nbt::events().empty());

    a->pending = 2;
    mgr()->changes_pending = 1;
    EXPECT_EQ(ops().pgmgr_apply_pending(&the_app), 1);
    EXPECT_EQ(a->loaded, 0);
    // Its keys are asked for first, to be kept for a later load.
    EXPECT_EQ(nbt::types_from(a->path),
              (std::vector<int>{PGRP_SESSION_SAVE, PGRP_RELEASE}));

    // A failing load still consumes the mark.
    nb_plugin *bad = add(nbt::plugin("nbt_noops"));
    bad->pending = 1;
    mgr()->changes_pending = 1;
    EXPECT_EQ(ops().pgmgr_apply_pending(&the_app), 1);
    EXPECT_EQ(bad->loaded, 0);
    EXPECT_EQ(bad->pending, 0);
}

// A plug-in that runs a nested main loop inside a request lets the poller
// (and menu actions) run inside its call. Simulate what they would do from
// inside the request.
TEST_F(Pgmgr, NoReleaseWhileInsideARequest)
{
    nb_plugin *a = listed("nbt_handler", "a.so");
    nb_plugin *b = listed("nbt_legacy", "b.so");
    ASSERT_EQ(pgmgr_load(&the_app, a), 0);
    ASSERT_EQ(pgmgr_load(&the_app, b), 0);
    std::string a_path = a->path;

    int applied = -1;
    bool still_mapped = false;
    nbt::on_event = [&](nbt_event *ev) {
        if (ev->type != PGRP_STATUS || nbt::events().back().path != a_path)
            return;
        a->pending = 2;
        b->pending = 2;
        mgr()->changes_pending = 1;
        applied = ops().pgmgr_apply_pending(&the_app);
        still_mapped = is_mapped(a_path);
    };
    ops().pgmgr_status(mgr());
    nbt::on_event = nullptr;
    EXPECT_EQ(applied, 1);    // b's release was carried out
    EXPECT_TRUE(still_mapped);
    EXPECT_EQ(a->loaded, 1);  // a's mark waits
    EXPECT_EQ(a->pending, 2);
    EXPECT_EQ(b->loaded, 0);
    EXPECT_EQ(mgr()->changes_pending, 1);
    // Its mark is carried out by the next call, once it has returned.
    EXPECT_EQ(ops().pgmgr_apply_pending(&the_app), 1);
    EXPECT_EQ(a->loaded, 0);
    EXPECT_FALSE(is_mapped(a_path));
}

TEST_F(Pgmgr, OnlyDeferredMarksDoNotHoldUpTraffic)
{
    nb_plugin *a = listed("nbt_handler", "a.so");
    ASSERT_EQ(pgmgr_load(&the_app, a), 0);
    int applied = -1;
    nbt::on_event = [&](nbt_event *ev) {
        if (ev->type != PGRP_STATUS)
            return;
        a->pending = 2;
        mgr()->changes_pending = 1;
        applied = ops().pgmgr_apply_pending(&the_app);
    };
    ops().pgmgr_status(mgr());
    nbt::on_event = nullptr;
    EXPECT_EQ(applied, 0);
    EXPECT_EQ(a->loaded, 1);
}

TEST_F(Pgmgr, NoSecondLoadDuringInit)
{
    nb_plugin *a = listed("nbt_handler", "a.so");
    int applied = -1;
    nbt::on_event = [&](nbt_event *ev) {
        if (ev->type != PGRP_INIT)
            return;
        a->pending = 1;
        mgr()->changes_pending = 1;
        applied = ops().pgmgr_apply_pending(&the_app);
        // Broadcasts do not reach a plug-in before its PGRP_INIT returned.
        ops().pgmgr_status(mgr());
    };
    ASSERT_EQ(pgmgr_load(&the_app, a), 0);
    nbt::on_event = nullptr;
    EXPECT_EQ(applied, 0);
    EXPECT_EQ(nbt::types_from(a->path), (std::vector<int>{PGRP_INIT}));
    // The waiting load mark of the loaded entry fails harmlessly later.
    EXPECT_EQ(ops().pgmgr_apply_pending(&the_app), 1);
    EXPECT_EQ(nbt::of_type(PGRP_INIT).size(), 1u);
    EXPECT_EQ(a->loaded, 1);
}

TEST_F(Pgmgr, ReleaseAllFromInsideARequestWaitsForIt)
{
    nb_plugin *a = listed("nbt_handler", "a.so");
    nb_plugin *b = listed("nbt_handler", "b.so");
    ASSERT_EQ(pgmgr_load(&the_app, a), 0);
    ASSERT_EQ(pgmgr_load(&the_app, b), 0);
    std::string a_path = a->path, b_path = b->path;
    // List order: b, a. b's status request empties the list.
    bool b_mapped = false, a_mapped = true;
    nbt::on_event = [&](nbt_event *ev) {
        if (ev->type != PGRP_STATUS || nbt::events().back().path != b_path)
            return;
        ops().pgmgr_release_all(mgr());
        b_mapped = is_mapped(b_path);
        a_mapped = is_mapped(a_path);
    };
    ops().pgmgr_status(mgr());
    nbt::on_event = nullptr;
    EXPECT_TRUE(b_mapped);
    EXPECT_FALSE(a_mapped);  // idle: released at once
    EXPECT_EQ(mgr()->count, 0);
    EXPECT_EQ(ops().pgmgr_find(mgr(), a_path.c_str()), nullptr);
    EXPECT_TRUE(nbt::types_from(a_path) == (std::vector<int>{PGRP_INIT, PGRP_RELEASE}));
    // The busy one is released from the main loop afterwards.
    EXPECT_TRUE(is_mapped(b_path));
    EXPECT_TRUE(nbtest::wait_until([&] { return !is_mapped(b_path); }, 2000));
    EXPECT_EQ(nbt::types_from(b_path), (std::vector<int>{PGRP_INIT, PGRP_STATUS, PGRP_RELEASE}));
}

TEST_F(Pgmgr, NonWidgetPageIsIgnored)
{
    // What a careless plug-in might return: not a GObject at all.
    static struct {
        void *first;
        char rest[64];
    } not_a_widget = {};
    nbt::on_event = [&](nbt_event *ev) {
        if (ev->type == PGRP_INIT) {
            ev->set_result = 1;
            ev->result = &not_a_widget;
        }
    };
    nb_plugin *a = listed("nbt_handler", "a.so");
    ASSERT_EQ(pgmgr_load(&the_app, a), 0);
    EXPECT_EQ(a->loaded, 1);
    EXPECT_EQ(a->page, nullptr);
    EXPECT_EQ(pgmgr_release(a), 0);
}

}  // namespace
