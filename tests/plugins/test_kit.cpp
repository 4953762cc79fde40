// The plug-in kit: a plug-in written in C with it (nbt_kit.c), listed,
// loaded and fed by the real manager, and the kit's session-key readers
// and writers over the host's own key functions.
#include <gtest/gtest.h>
#include <libintl.h>
#include <stdio.h>
#include <string.h>

#include <string>
#include <vector>

#include "nbt_support.h"
#include "nimbrel/kit.h"
#include "test_env.h"

namespace {

class Kit : public ::testing::Test {
protected:
    void SetUp() override
    {
        std::string dir = nbtest::make_temp_dir("kit");
        nbt::init_app(dir);
        g_strlcpy(the_app.locale_dir, (dir + "/share/locale").c_str(), sizeof the_app.locale_dir);
        the_app.chan.number = 3;
        the_app.chan.running = 1;
        path_ = nbt::place(dir, "nbt_kit", "kit.so");
        ASSERT_EQ(the_app.pgmgr.ops.pgmgr_is_plugin(path_.c_str()), 1);
        char buf[NB_TEXT_MAX] = {0};
        g_strlcpy(buf, path_.c_str(), sizeof buf);
        entry_ = the_app.pgmgr.ops.pgmgr_add(&the_app.pgmgr, buf, sizeof buf);
        ASSERT_NE(entry_, nullptr);
        ASSERT_EQ(pgmgr_load(&the_app, entry_), 0);
    }
    void TearDown() override { nbt::finish_app(); }

    // Delivers one request; returns the events the kit's handlers reported.
    std::vector<nbt_event> request(int type, void *data, uint64_t size, uint16_t channel = 0)
    {
        size_t before = nbt::events().size();
        pgrp req = {};
        req.type = type;
        req.chan = 3;
        req.channel = channel;
        req.timestamp = 70000;
        req.data_ptr = data;
        req.data_size = size;
        the_app.pgmgr.ops.pgmgr_request(entry_, &req);
        std::vector<nbt_event> out;
        for (size_t i = before; i < nbt::events().size(); i++)
            out.push_back(nbt::events()[i].ev);
        return out;
    }
    // The running flag of the status at hand, as a traffic handler sees it.
    int running_at_hand()
    {
        zk_frame f = {};
        auto ev = request(PGRP_RX_FRAMES, &f, sizeof f);
        return ev.size() == 1 ? ev[0].running : -1;
    }

    std::string path_;
    nb_plugin *entry_ = nullptr;
};

TEST_F(Kit, RequestsReachTheirHandlersWithCheckedPayloadsAndTheStatusAtHand)
{
    auto init = nbt::of_type(PGRP_INIT, path_);
    ASSERT_EQ(init.size(), 1u);
    EXPECT_EQ(init[0].ev.style, NBT_STYLE_KIT);
    EXPECT_NE(init[0].ev.data_ptr, nullptr);
    EXPECT_EQ(init[0].ev.chan, 3);
    EXPECT_EQ(init[0].ev.running, 1);
    EXPECT_STREQ(bindtextdomain("nbt-kit", nullptr), the_app.locale_dir);

    nb_tx_entry sent[3] = {};
    sent[2].frame.id = 0x7FF;
    auto ev = request(PGRP_TX_FRAMES, sent, sizeof sent);
    ASSERT_EQ(ev.size(), 1u);
    EXPECT_EQ(ev[0].n, 3);
    EXPECT_EQ(ev[0].last_id, 0x7FFu);
    EXPECT_EQ(ev[0].hash, nbt_hash_frames(sent, 3, sizeof(nb_tx_entry)));
    EXPECT_EQ(ev[0].timestamp, 70000u);

    // The new status is at hand when its handler runs, and stays there.
    nb_chan_status st = {};
    ev = request(PGRP_STATUS, &st, sizeof st);
    ASSERT_EQ(ev.size(), 1u);
    EXPECT_EQ(ev[0].running, 0);
    EXPECT_EQ(running_at_hand(), 0);

    // Payloads missing or shorter than one record call nothing; a short
    // status leaves the one at hand.
    for (int type : {PGRP_RX_FRAMES, PGRP_TX_FRAMES, PGRP_ERRORS, PGRP_STATUS}) {
        EXPECT_TRUE(request(type, nullptr, 640).empty()) << type;
        EXPECT_TRUE(request(type, sent, 9).empty()) << type;
    }
    st.running = 1;
    EXPECT_TRUE(request(PGRP_STATUS, &st, sizeof st - 1).empty());
    EXPECT_EQ(running_at_hand(), 0);

    // The session file handle is the data pointer itself.
    EXPECT_TRUE(request(PGRP_SESSION_SAVE, nullptr, 8).empty());
    ev = request(PGRP_SESSION_SAVE, &st, 8);
    ASSERT_EQ(ev.size(), 1u);
    EXPECT_EQ(ev[0].data_ptr, &st);

    // A type the kit does not know goes to `other` with the record.
    ev = request(42, nullptr, 0);
    ASSERT_EQ(ev.size(), 1u);
    EXPECT_EQ(ev[0].type, 42);
    EXPECT_NE(ev[0].req, nullptr);
}

// Requests about another channel (0x0304) say which; its status leaves the
// main channel's at hand. PGRP_CHANNELS reads the channels' names again
// before the handler runs.
TEST_F(Kit, OtherChannelsAreToldApartAndTheirNamesReadAgain)
{
    nb_chan_status st = {};
    auto ev = request(PGRP_STATUS, &st, sizeof st, 1);
    ASSERT_EQ(ev.size(), 1u);
    EXPECT_EQ(ev[0].channel, 1);
    EXPECT_EQ(running_at_hand(), 1);
    zk_errs errs = {};
    ev = request(PGRP_ERRORS, &errs, sizeof errs, 2);
    ASSERT_EQ(ev.size(), 1u);
    EXPECT_EQ(ev[0].channel, 2);

    ev = request(PGRP_CHANNELS, nullptr, 0);
    ASSERT_EQ(ev.size(), 1u);
    EXPECT_EQ(ev[0].type, PGRP_CHANNELS);
    EXPECT_EQ(ev[0].n, 1);
    EXPECT_STREQ(ev[0].name, "ch3");
}

// The channel table: a slot keeps its name when indexes move; names come
// back in the order first seen, log names never end in the same number,
// and a full table shares its last slot.
TEST(KitChans, SlotsKeepTheirNamesAndLogNamesStayApart)
{
    static nbkit_chans_t c;
    nbkit_chans_reset(&c);
    EXPECT_EQ(nbkit_chans_slot_named(&c, "ch0"), 0);
    EXPECT_EQ(nbkit_chans_slot_named(&c, "ch5"), 1);
    EXPECT_EQ(nbkit_chans_slot_named(&c, "ch0"), 0);
    EXPECT_STREQ(nbkit_chans_name(&c, 1), "ch5");
    EXPECT_STREQ(nbkit_chans_name(&c, 7), "");
    // Without the channel's index the log name is the channel's own.
    EXPECT_STREQ(nbkit_chans_log_name(&c, 1), "ch5");
    // A name ending in the number another log name ends in (a reader would
    // take both for one channel) gets a number none has.
    EXPECT_EQ(nbkit_chans_slot_named(&c, "vcan0"), 2);
    EXPECT_STREQ(nbkit_chans_log_name(&c, 2), "can1");
    for (int i = 2; i < NBKIT_CHAN_SLOTS + 3; i++) {
        char name[NBKIT_CHAN_NAME];
        g_snprintf(name, sizeof name, "x%d", i);
        EXPECT_LT(nbkit_chans_slot_named(&c, name), NBKIT_CHAN_SLOTS);
    }
    EXPECT_EQ(c.nslots, NBKIT_CHAN_SLOTS);
}

TEST_F(Kit, SessionKeysArriveOnlyInsideASectionAndAlwaysTerminated)
{
    pgrp_session_key key;
    memset(&key, 'k', sizeof key.name);
    memset(key.value, 'v', sizeof key.value);   // no NUL in either field
    EXPECT_TRUE(request(PGRP_SESSION_LOAD_KEY, &key, sizeof key).empty());
    EXPECT_TRUE(request(PGRP_SESSION_LOAD_END, nullptr, 0).empty());

    ASSERT_EQ(request(PGRP_SESSION_LOAD_BEGIN, nullptr, 0).size(), 1u);
    EXPECT_TRUE(request(PGRP_SESSION_LOAD_KEY, &key, sizeof key - 1).empty());
    auto ev = request(PGRP_SESSION_LOAD_KEY, &key, sizeof key);
    ASSERT_EQ(ev.size(), 1u);
    EXPECT_EQ(ev[0].phase, 1);
    EXPECT_EQ(strlen(ev[0].name), 127u);
    EXPECT_EQ(strlen(ev[0].value), 511u);
    ASSERT_EQ(request(PGRP_SESSION_LOAD_END, nullptr, 0).size(), 1u);
    EXPECT_TRUE(request(PGRP_SESSION_LOAD_KEY, &key, sizeof key).empty());

    // A release ends a section that was left open.
    request(PGRP_SESSION_LOAD_BEGIN, nullptr, 0);
    ASSERT_EQ(pgmgr_release(entry_), 0);
    ASSERT_EQ(pgmgr_load(&the_app, entry_), 0);
    EXPECT_TRUE(request(PGRP_SESSION_LOAD_KEY, &key, sizeof key).empty());
}

pgrp_session_key key_of(const char *name, const char *value)
{
    pgrp_session_key k;
    memset(&k, 0, sizeof k);
    g_strlcpy(k.name, name, sizeof k.name);
    g_strlcpy(k.value, value, sizeof k.value);
    return k;
}

TEST(KitKeys, ReadersTakeTheirKeyByNameAndOnlyValidValues)
{
    int32_t n = -1;
    pgrp_session_key k = key_of("history", "0x10 # sixteen");
    EXPECT_TRUE(nbkit_key_int(&k, "History", &n) && n == 16);
    EXPECT_FALSE(nbkit_key_int(&k, "Hist", &n));
    k = key_of("History", "12abc");
    EXPECT_FALSE(nbkit_key_int(&k, "History", &n));

    double d = 2.5;
    for (const char *bad : {"11", "nan", "fast", ""}) {
        k = key_of("Speed", bad);
        EXPECT_FALSE(nbkit_key_double(&k, "Speed", 0.1, 10.0, &d)) << bad;
    }
    int b = 1;
    k = key_of("Loop", "yes");
    EXPECT_FALSE(nbkit_key_bool(&k, "Loop", &b));

    static const char *const views[] = {"trace", "identifiers", nullptr};
    int v = 0;
    k = key_of("View", "IDENTIFIERS");
    EXPECT_TRUE(nbkit_key_choice(&k, "View", views, &v) && v == 1);
    k = key_of("View", "trace2");
    EXPECT_FALSE(nbkit_key_choice(&k, "View", views, &v));

    // A value that is not valid leaves the setting as it was.
    EXPECT_EQ(n, 16);
    EXPECT_EQ(d, 2.5);
    EXPECT_EQ(b, 1);
    EXPECT_EQ(v, 1);
}

TEST(KitKeys, WritersWriteOneLineByNameOrReportTheRefusal)
{
    FILE *f = tmpfile();
    ASSERT_NE(f, nullptr);
    static const char *const dirs[] = {"both", "rx", "tx", nullptr};
    EXPECT_EQ(nbkit_save_int(f, "N", -5), 0);
    EXPECT_EQ(nbkit_save_bool(f, "On", 7), 0);
    EXPECT_EQ(nbkit_save_double(f, "Speed", "%.2f", 1.5), 0);
    EXPECT_EQ(nbkit_save_choice(f, "Dir", dirs, 2), 0);
    EXPECT_EQ(nbkit_save_choice(f, "Dir", dirs, 3), NB_CFG_E_IO);
    EXPECT_EQ(nbkit_save_text(f, "A=B", "x"), NB_CFG_E_BADNAME);
    EXPECT_EQ(nbkit_save_text(f, "Empty", nullptr), 0);
    rewind(f);
    char buf[256] = "";
    size_t got = fread(buf, 1, sizeof buf - 1, f);
    fclose(f);
    EXPECT_EQ(std::string(buf, got), "N=-5\nOn=1\nSpeed=1.50\nDir=tx\nEmpty=\n");
}

}  // namespace
