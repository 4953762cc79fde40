// The poller: one tick's order, pending marks, the tx log's backlog, the
// receive batch, error counters and bus-off, the timers.
#include <gtest/gtest.h>

#include "gui/gui_parts.h"
#include "fd_frames.h"
#include "poll_fixture.h"

namespace nbt {

gui_calls gui;

namespace {

using Poll = PollTest;

std::vector<int> types(const std::vector<Event> &evs)
{
    std::vector<int> out;
    for (const Event &e : evs)
        out.push_back(e.ev.type);
    return out;
}

TEST_F(Poll, OneTickInItsFixedOrder)
{
    nb_plugin *x = loaded("nbt_handler", "x.so");
    nb_plugin *y = loaded("nbt_legacy", "y.so");
    clear_events();
    zk_frame a = frame(0x10), b = frame(0x11);
    ASSERT_GE(nb_send_frame(&a), 0);
    ASSERT_GE(nb_send_frame(&b), 0);
    inject(3, 0x300);
    inject_errs(zk_errs{2, 1, 0, 0, 0});

    EXPECT_TRUE(tick());

    const std::vector<int> want = {PGRP_TX_FRAMES, PGRP_RX_FRAMES, PGRP_STATUS, PGRP_ERRORS};
    EXPECT_EQ(types_from(x->path), want);
    EXPECT_EQ(types_from(y->path), want);
    // Each request goes to every plug-in (list order: y, x) before the next.
    ASSERT_EQ(events().size(), 8u);
    EXPECT_EQ(events()[0].path, std::string(y->path));
    EXPECT_EQ(events()[1].path, std::string(x->path));

    auto tx = of_type(PGRP_TX_FRAMES, x->path);
    EXPECT_EQ(tx[0].ev.n, 2);
    EXPECT_EQ(tx[0].ev.first_id, 0x10u);
    EXPECT_EQ(tx[0].ev.last_id, 0x11u);
    EXPECT_EQ(tx[0].ev.entry_ts % 10000, 0u);
    auto rx = of_type(PGRP_RX_FRAMES, x->path);
    EXPECT_EQ(rx[0].ev.n, 3);
    EXPECT_EQ(rx[0].ev.first_id, 0x300u);
    // The bus-off stopped the controller before the status went out.
    EXPECT_EQ(gui.stops, 1);
    EXPECT_EQ(gui.stop_at_event, 4u);
    EXPECT_EQ(the_app.chan.running, 0);
    EXPECT_EQ(of_type(PGRP_STATUS, x->path)[0].ev.running, 0);
    EXPECT_EQ(gui.indicators, 1);
    EXPECT_EQ(gui.last_errs.ewl, 2);
    EXPECT_EQ(gui.last_errs.boff, 1);
    auto err = of_type(PGRP_ERRORS, y->path);
    EXPECT_EQ(err[0].ev.errs[0], 2);
    EXPECT_EQ(err[0].ev.errs[1], 1);

    // A quiet tick delivers nothing and touches no indicator.
    clear_events();
    EXPECT_TRUE(tick());
    EXPECT_TRUE(events().empty());
    EXPECT_EQ(gui.indicators, 1);
    EXPECT_EQ(gui.stops, 1);
}

TEST_F(Poll, BusOffStopsOncePerTickThatReportsIt)
{
    nb_plugin *x = loaded("nbt_handler", "x.so");
    clear_events();
    for (int i = 0; i < 2; i++) {
        inject_errs(zk_errs{0, 3, 0, 0, 0});
        tick();
        EXPECT_EQ(gui.stops, i + 1);
    }
    // Errors without a bus-off: counters only.
    inject_errs(zk_errs{0, 0, 1, 1, 1});
    tick();
    EXPECT_EQ(gui.stops, 2);
    EXPECT_EQ(types_from(x->path), (std::vector<int>{PGRP_STATUS, PGRP_ERRORS, PGRP_STATUS,
                                                     PGRP_ERRORS, PGRP_ERRORS}));
    EXPECT_EQ(gui.indicators, 3);
}

TEST_F(Poll, FailedStopStillNotifiesThePlugins)
{
    nb_plugin *x = loaded("nbt_handler", "x.so");
    clear_events();
    zk_sim_fail_next("ZkStop", ZK_E_IO);
    inject_errs(zk_errs{0, 1, 0, 0, 0});
    tick();
    EXPECT_EQ(gui.stops, 1);
    EXPECT_EQ(the_app.chan.running, 1);
    EXPECT_EQ(types_from(x->path), (std::vector<int>{PGRP_STATUS, PGRP_ERRORS}));
}

TEST_F(Poll, FailedLibraryCallsDeliverNothing)
{
    nb_plugin *x = loaded("nbt_handler", "x.so");
    clear_events();
    inject(2);
    inject_errs(zk_errs{1, 0, 0, 0, 0});
    zk_sim_fail_next("ZkReadFd", ZK_E_IO);
    zk_sim_fail_next("ZkErrsGetClear", ZK_E_IO);
    tick();
    EXPECT_TRUE(events().empty());
    EXPECT_EQ(gui.indicators, 0);
    // Nothing was lost: the next tick brings both.
    tick();
    EXPECT_EQ(types_from(x->path), (std::vector<int>{PGRP_RX_FRAMES, PGRP_ERRORS}));
}

TEST_F(Poll, TickWithPendingMarksMovesNoFrames)
{
    nb_plugin *x = loaded("nbt_handler", "x.so");
    std::string z_path = place(dir_, "nbt_handler", "z.so");
    nb_plugin *z = the_app.pgmgr.ops.pgmgr_add(&the_app.pgmgr, z_path.c_str(), z_path.size() + 1);
    ASSERT_NE(z, nullptr);
    clear_events();
    zk_frame a = frame(0x20);
    ASSERT_GE(nb_send_frame(&a), 0);
    inject(4);
    inject_errs(zk_errs{1, 0, 0, 0, 0});
    z->pending = 1;
    the_app.pgmgr.changes_pending = 1;

    EXPECT_TRUE(tick());
    EXPECT_EQ(z->loaded, 1);
    EXPECT_EQ(types(events()), (std::vector<int>{PGRP_INIT}));
    EXPECT_EQ(the_app.chan.txlog->count, 1);
    EXPECT_EQ(gui.indicators, 0);

    clear_events();
    tick();
    const std::vector<int> want = {PGRP_TX_FRAMES, PGRP_RX_FRAMES, PGRP_ERRORS};
    EXPECT_EQ(types_from(x->path), want);
    EXPECT_EQ(types_from(z->path), want);
}

TEST_F(Poll, LoadReleaseFlagHoldsMarksBack)
{
    nb_plugin *x = loaded("nbt_handler", "x.so");
    clear_events();
    nbpg_loadrelease_enable();
    EXPECT_EQ(the_app.pgmgr.loadrelease, 1);
    x->pending = 2;
    the_app.pgmgr.changes_pending = 1;
    inject(1);
    tick();
    EXPECT_EQ(x->loaded, 1);
    EXPECT_EQ(types_from(x->path), (std::vector<int>{PGRP_RX_FRAMES}));
    // The session loader still carries marks out itself.
    nb_plugin *y = loaded("nbt_handler", "y.so");
    y->pending = 2;
    EXPECT_EQ(the_app.pgmgr.ops.pgmgr_apply_pending(&the_app), 1);
    EXPECT_EQ(x->loaded, 0);
    EXPECT_EQ(y->loaded, 0);

    nbpg_loadrelease_disable();
    EXPECT_EQ(the_app.pgmgr.loadrelease, 0);
}

// With no time to spare a tick still hands on one batch per direction;
// the rest waits for the next ticks.
TEST_F(Poll, FifteenHundredSentFramesBetweenTwoTicks)
{
    poll_set_budget_us(0);
    nb_plugin *x = loaded("nbt_handler", "x.so");
    nb_plugin *y = loaded("nbt_legacy", "y.so");
    clear_events();
    for (uint32_t i = 0; i < 1500; i++) {
        zk_frame f = frame(i);
        ASSERT_GE(nb_send_frame(&f), 0) << i;  // every frame is sent ...
    }
    EXPECT_EQ(the_app.chan.txlog->count, 1024);  // ... the first 1024 are logged
    zk_frame sent[2048];
    EXPECT_EQ(zk_sim_sent(0, sent, 2048), 1500);

    tick();
    auto tx = of_type(PGRP_TX_FRAMES, x->path);
    ASSERT_EQ(tx.size(), 1u);
    EXPECT_EQ(tx[0].ev.n, 512);
    EXPECT_EQ(tx[0].ev.data_size, 512u * 32);
    EXPECT_EQ(tx[0].ev.first_id, 0u);
    EXPECT_EQ(tx[0].ev.last_id, 511u);
    tick();
    tx = of_type(PGRP_TX_FRAMES, y->path);
    ASSERT_EQ(tx.size(), 2u);
    EXPECT_EQ(tx[1].ev.n, 512);
    EXPECT_EQ(tx[1].ev.first_id, 512u);
    EXPECT_EQ(tx[1].ev.last_id, 1023u & 0x7ff);
    tick();
    EXPECT_EQ(of_type(PGRP_TX_FRAMES).size(), 4u);
    EXPECT_EQ(the_app.chan.txlog->count, 0);
}

TEST_F(Poll, FiveHundredTwelveReceivedFramesInOneRequest)
{
    poll_set_budget_us(0);
    nb_plugin *x = loaded("nbt_handler", "x.so");
    nb_plugin *y = loaded("nbt_legacy", "y.so");
    clear_events();
    inject(600);
    tick();
    auto rx = of_type(PGRP_RX_FRAMES, x->path);
    ASSERT_EQ(rx.size(), 1u);
    EXPECT_EQ(rx[0].ev.data_size, 10240u);
    EXPECT_EQ(rx[0].ev.n, 512);
    EXPECT_EQ(rx[0].ev.data_ptr, the_app.chan.rxbuf);
    auto old = of_type(PGRP_RX_FRAMES, y->path);
    EXPECT_EQ(old[0].ev.n, 512);
    EXPECT_EQ(old[0].ev.hash, rx[0].ev.hash);
    tick();
    rx = of_type(PGRP_RX_FRAMES, x->path);
    ASSERT_EQ(rx.size(), 2u);
    EXPECT_EQ(rx[1].ev.n, 88);
    EXPECT_EQ(rx[1].ev.first_id, 512u);
}

// Frames of one direction handed on so far, checked to follow each
// other: identifiers count up (modulo 0x800) from first_id.
int delivered_in_order(int type, const std::string &path, uint32_t first_id)
{
    int total = 0;
    uint32_t next = first_id & 0x7ff;
    for (const Event &e : of_type(type, path)) {
        EXPECT_LE(e.ev.n, NB_RX_BATCH);
        EXPECT_EQ(e.ev.first_id, next) << "after " << total << " frames";
        next = (e.ev.first_id + (uint32_t)e.ev.n) & 0x7ff;
        EXPECT_EQ(e.ev.last_id, (next - 1) & 0x7ff);
        total += e.ev.n;
    }
    return total;
}

// A backlog goes in one tick, in requests of at most 512: the tx log
// whole (but not what is sent meanwhile), and the receive queue after a
// 250 ms stall of a saturated 1 Mbit/s bus and at ten times that rate.
TEST_F(Poll, TickCatchesUpWithABacklogInBatches)
{
    poll_set_budget_us(10 * 1000 * 1000);  // the clock must not decide here
    nb_plugin *x = loaded("nbt_handler", "x.so");
    clear_events();
    for (uint32_t i = 0; i < 1500; i++) {
        zk_frame f = frame(i);
        ASSERT_GE(nb_send_frame(&f), 0);
    }
    int replies = 0;
    on_event = [&](nbt_event *ev) {
        if (ev->type == PGRP_TX_FRAMES && replies++ == 0) {
            zk_frame reply = frame(0x7A);
            nb_send_frame(&reply);
        }
    };
    tick();
    on_event = nullptr;
    auto tx = of_type(PGRP_TX_FRAMES, x->path);
    ASSERT_EQ(tx.size(), 2u);
    EXPECT_EQ(delivered_in_order(PGRP_TX_FRAMES, x->path, 0), 1024);
    EXPECT_EQ(the_app.chan.txlog->count, 1);  // the reply, for the next tick

    ASSERT_GE(ZkStop(0), 0);
    ASSERT_GE(ZkSetBaud(0, 0x00, 0x14), 0);
    ASSERT_GE(ZkStart(0), 0);
    ASSERT_GE(zk_sim_set_bus(0, 1000, "full"), 0);
    zk_sim_advance_us(250 * 1000);
    zk_chipstat st;
    clear_events();
    tick();
    size_t requests = of_type(PGRP_RX_FRAMES, x->path).size();
    int stalled = 0;
    for (const Event &e : of_type(PGRP_RX_FRAMES, x->path))
        stalled += e.ev.n;
    EXPECT_GT(stalled, 5000);  // 47 bits a frame: about 5,300
    EXPECT_GE(requests, 10u);
    zk_frame rest[1];
    EXPECT_EQ(ZkRead(0, rest, 1), 0);
    ASSERT_GE(ZkChipStat(0, &st), 0);
    EXPECT_EQ(st.sovr, 0u);

    ASSERT_GE(zk_sim_set_bus(0, 0, "none"), 0);
    clear_events();
    uint32_t sent = 0;
    for (int t = 0; t < 25; t++) {
        for (int i = 0; i < 4260; i++, sent++) {  // 20 ms of ten saturated buses
            zk_frame f = frame(sent);
            ASSERT_GE(zk_sim_inject(0, &f), 1);
        }
        zk_sim_advance_us(20 * 1000);
        tick();
    }
    EXPECT_EQ(delivered_in_order(PGRP_RX_FRAMES, x->path, 0), (int)sent);
    ASSERT_GE(ZkChipStat(0, &st), 0);
    EXPECT_EQ(st.sovr, 0u);

    // A tick out of time leaves the rest to a tick that follows as soon as
    // the main loop is free, not 20 ms later.
    poll_set_budget_us(0);
    clear_events();
    inject(1500);
    tick();
    EXPECT_EQ(of_type(PGRP_RX_FRAMES, x->path).size(), 1u);
    while (g_main_context_iteration(nullptr, FALSE)) {
    }
    EXPECT_EQ(delivered_in_order(PGRP_RX_FRAMES, x->path, 0), 1500);
}

TEST_F(Poll, AFrameSentInsideARequestComesBackNextTick)
{
    nb_plugin *x = loaded("nbt_handler", "x.so");
    // Channel 1 of the same board listens on the bus.
    uint8_t bt0 = 0, bt1 = 0;
    the_app.chan.ops.get_baud_regs(&the_app.chan, the_app.chan.baud_index, &bt0, &bt1);
    ASSERT_GE(ZkOpen(1, ZK_OPEN_BOTH), 0);
    ASSERT_GE(ZkSetBaud(1, bt0, bt1), 0);
    ASSERT_GE(ZkStart(1), 0);
    clear_events();
    int sent_rc = -100;
    on_event = [&](nbt_event *ev) {
        if (ev->type == PGRP_RX_FRAMES) {
            zk_frame reply = frame(0x7A);
            sent_rc = nb_send_frame(&reply);
        }
    };
    inject(1);
    tick();
    on_event = nullptr;
    EXPECT_GE(sent_rc, 0);
    EXPECT_EQ(types_from(x->path), (std::vector<int>{PGRP_RX_FRAMES}));
    tick();
    auto tx = of_type(PGRP_TX_FRAMES, x->path);
    ASSERT_EQ(tx.size(), 1u);
    EXPECT_EQ(tx[0].ev.first_id, 0x7Au);
    zk_sim_advance_us(2000);
    zk_frame got[4];
    ASSERT_EQ(ZkRead(1, got, 4), 2);  // the injected frame and the reply
    EXPECT_EQ(got[1].id, 0x7Au);
    ZkClose(1);
}

TEST_F(Poll, FailedSendIsNotLogged)
{
    ASSERT_GE(the_app.chan.ops.stop(&the_app.chan), 0);
    zk_frame f = frame(1);
    EXPECT_LT(nb_send_frame(&f), 0);
    EXPECT_EQ(the_app.chan.txlog->count, 0);
    EXPECT_EQ(nb_send_frame(nullptr), ZK_E_BADARG);
}

TEST_F(Poll, TimestampsAreWholeMilliseconds)
{
    uint64_t t0 = nbsdep_timestamp_get();
    uint64_t t1 = t0;
    // Within one millisecond the value does not move; then it moves by
    // whole milliseconds.
    while (t1 == t0)
        t1 = nbsdep_timestamp_get();
    uint64_t t2 = nbsdep_timestamp_get();
    EXPECT_EQ(t0 % 10000, 0u);
    EXPECT_EQ(t1 % 10000, 0u);
    EXPECT_GE(t1 - t0, 10000u);
    EXPECT_TRUE(t2 == t1 || t2 - t1 >= 10000u);
    // The 1601 epoch: the value lies after 2020-01-01.
    EXPECT_GT(t0, 132223104000000000ull);
}

TEST_F(Poll, TimersRunAtTheirPrioritiesAndStop)
{
    nb_plugin *x = loaded("nbt_handler", "x.so");
    clear_events();
    the_app.poll.ops.start(&the_app);
    EXPECT_EQ(the_app.poll.stopped, 0);
    ASSERT_NE(the_app.poll.poll_source, (uint32_t)-1);
    GSource *p = g_main_context_find_source_by_id(nullptr, the_app.poll.poll_source);
    GSource *s = g_main_context_find_source_by_id(nullptr, the_app.poll.status_source);
    ASSERT_NE(p, nullptr);
    ASSERT_NE(s, nullptr);
    EXPECT_EQ(g_source_get_priority(p), 150);
    EXPECT_EQ(g_source_get_priority(s), 160);
    // Starting again replaces the timers instead of adding more.
    uint32_t old = the_app.poll.poll_source;
    the_app.poll.ops.start(&the_app);
    EXPECT_EQ(g_main_context_find_source_by_id(nullptr, old), nullptr);

    zk_sim_manual_clock(0);
    inject(5);
    EXPECT_TRUE(nbtest::wait_until([&] { return !of_type(PGRP_RX_FRAMES, x->path).empty(); }));
    EXPECT_TRUE(nbtest::wait_until([&] { return gui.refreshes > 0; }, 3000));

    the_app.poll.ops.stop(&the_app);
    EXPECT_EQ(the_app.poll.stopped, 1);
    EXPECT_EQ(the_app.poll.poll_source, (uint32_t)-1);
    EXPECT_EQ(the_app.poll.status_source, (uint32_t)-1);
    // Stopping twice is harmless; a stopped poller's handlers end their timer.
    the_app.poll.ops.stop(&the_app);
    EXPECT_FALSE(poll_tick(&the_app));
    EXPECT_FALSE(status_tick(&the_app));
}

// A plug-in that runs a nested main loop (a dialog, say) inside a request
// that did not come from the poll tick: the poller runs inside the call,
// traffic keeps flowing, but its own release mark waits until it returned.
TEST_F(Poll, PluginInANestedMainLoopIsNotReleasedUnderIt)
{
    nb_plugin *x = loaded("nbt_handler", "x.so");
    std::string x_path = x->path;
    zk_sim_manual_clock(0);
    the_app.poll.ops.start(&the_app);
    bool loaded_throughout = true;
    size_t rx_inside = 0;
    on_event = [&](nbt_event *ev) {
        if (ev->type != PGRP_STATUS)
            return;
        x->pending = 2;
        the_app.pgmgr.changes_pending = 1;
        inject(1);
        gint64 deadline = g_get_monotonic_time() + 5 * G_USEC_PER_SEC;
        while (of_type(PGRP_RX_FRAMES, x_path).empty() && g_get_monotonic_time() < deadline) {
            g_main_context_iteration(nullptr, TRUE);
            loaded_throughout = loaded_throughout && x->loaded == 1 && x->module != nullptr;
        }
        rx_inside = of_type(PGRP_RX_FRAMES, x_path).size();
    };
    the_app.pgmgr.ops.pgmgr_status(&the_app.pgmgr);  // as after a settings change
    on_event = nullptr;
    EXPECT_TRUE(loaded_throughout);
    EXPECT_EQ(rx_inside, 1u);
    EXPECT_TRUE(nbtest::wait_until([&] { return x->loaded == 0; }));
    std::vector<int> got = types_from(x_path);
    ASSERT_GE(got.size(), 4u);
    EXPECT_EQ(got.front(), PGRP_INIT);
    EXPECT_EQ(got[1], PGRP_STATUS);
    EXPECT_EQ(got.back(), PGRP_RELEASE);
}

// ------------------------------------------------------------- CAN FD

using nbtest::fd_frame;

uint32_t content_of(const std::vector<zk_fdframe> &frames)
{
    uint32_t h = 2166136261u;
    for (const zk_fdframe &f : frames)
        h = nbt_content(h, f.id, f.flags, f.len, f.data);
    return h;
}

// Opens the fixture's channel again in CAN FD mode.
void reopen_fd()
{
    the_app.chan.ops.close(&the_app.chan);
    the_app.chan.fd = NB_FD_ISO;
    the_app.chan.ops.open(&the_app.chan);
    ASSERT_GE(the_app.chan.ops.start(&the_app.chan), 0);
}

// On a CAN FD channel an FD-aware plug-in gets every frame in receive
// order in the FD request types; every other plug-in (0x0300, a 0x0301
// one that does not opt in, the older entry-point set) gets the classic
// frames as before, and the FD frames it did not get are counted.
TEST_F(Poll, CanFdFramesReachEachPluginInItsForm)
{
    reopen_fd();
    nb_plugin *fd = loaded("nbt_fd", "fd.so");
    nb_plugin *old = loaded("nbt_handler", "old.so");
    nb_plugin *legacy = loaded("nbt_legacy", "legacy.so");
    nb_plugin *early = loaded("nbt_fd_v0300", "early.so");      /* opts in without 0x0301 */
    nb_plugin *olderset = loaded("nbt_fd_legacy", "olderset.so");
    EXPECT_EQ(fd->fd_aware, 1);
    EXPECT_EQ(early->fd_aware + olderset->fd_aware + old->fd_aware, 0);
    clear_events();

    const std::vector<zk_fdframe> mix = {
        fd_frame(0x100, 0, 8),
        fd_frame(0x101, ZK_FRAME_FDF | ZK_FRAME_BRS, 64),
        fd_frame(0x18DAF110, ZK_FRAME_EFF | ZK_FRAME_FDF, 12),
        fd_frame(0x102, ZK_FRAME_RTR, 2),
        fd_frame(0x103, ZK_FRAME_FDF | ZK_FRAME_BRS, 0),
    };
    for (const zk_fdframe &f : mix)
        ASSERT_GE(zk_sim_inject_fd(0, &f), 1);
    tick();

    EXPECT_EQ(types_from(fd->path), (std::vector<int>{PGRP_RX_FD_FRAMES}));
    const nbt_event all = of_type(PGRP_RX_FD_FRAMES, fd->path)[0].ev;
    EXPECT_EQ(all.data_size, 5u * sizeof(zk_fdframe));
    EXPECT_EQ(all.fd_n, 3);
    EXPECT_EQ(all.content, content_of(mix));
    std::vector<zk_fdframe> classic = {mix[0], mix[3]};
    for (nb_plugin *p : {old, legacy, early, olderset}) {
        auto rx = of_type(PGRP_RX_FRAMES, p->path);
        ASSERT_EQ(rx.size(), 1u) << p->path;
        EXPECT_EQ(rx[0].ev.n, 2);
        EXPECT_EQ(rx[0].ev.content, content_of(classic)) << p->path;
    }
    EXPECT_EQ(the_app.pgmgr.fd_hidden, 3u);

    // A batch of FD frames only: nothing for the others, counted once.
    clear_events();
    for (int i = 0; i < 4; i++) {
        zk_fdframe f = fd_frame(0x300 + i, ZK_FRAME_FDF, 16);
        ASSERT_GE(zk_sim_inject_fd(0, &f), 1);
    }
    tick();
    EXPECT_EQ(events().size(), 1u);
    EXPECT_EQ(the_app.pgmgr.fd_hidden, 7u);

    // Sent frames, both kinds, in the order sent; a length no FD frame has
    // is refused and not logged.
    clear_events();
    zk_frame c = frame(0x200);
    zk_fdframe f48 = fd_frame(0x201, ZK_FRAME_FDF | ZK_FRAME_BRS, 48);
    zk_fdframe bad = fd_frame(0x202, ZK_FRAME_FDF, 13);
    zk_fdframe c2 = fd_frame(0x203, ZK_FRAME_EFF, 3);
    ASSERT_GE(nb_send_frame(&c), 0);
    ASSERT_GE(nb_send_fd_frame(&f48), 0);
    EXPECT_EQ(nb_send_fd_frame(&bad), ZK_E_BADLEN);
    ASSERT_GE(nb_send_fd_frame(&c2), 0);
    EXPECT_EQ(the_app.chan.txlog->count, 3);
    tick();
    zk_fdframe c_fd;
    frame_to_fd(&c, &c_fd);
    auto tx = of_type(PGRP_TX_FD_FRAMES, fd->path);
    ASSERT_EQ(tx.size(), 1u);
    EXPECT_EQ(tx[0].ev.data_size, 3u * sizeof(nb_tx_fd_entry));
    EXPECT_EQ(tx[0].ev.content, content_of({c_fd, f48, c2}));
    EXPECT_NE(tx[0].ev.entry_ts, 0u);
    for (nb_plugin *p : {old, legacy}) {
        auto ctx = of_type(PGRP_TX_FRAMES, p->path);
        ASSERT_EQ(ctx.size(), 1u);
        EXPECT_EQ(ctx[0].ev.content, content_of({c_fd, c2}));
    }
    EXPECT_EQ(the_app.pgmgr.fd_hidden, 8u);
    zk_fdframe on_wire[4];
    ASSERT_EQ(zk_sim_sent_fd(0, on_wire, 4), 3);
    EXPECT_EQ(memcmp(on_wire[1].data, f48.data, 48), 0);

    nb_chan_status st;
    nb_get_current_status(&st);
    EXPECT_EQ(st.fd, NB_FD_ISO);
    EXPECT_EQ(st.data_kbit, 2000);
}

// A backlog of FD frames goes like a classic one: in batches of at most
// 512, in order, none lost, the rest by the catch-up ticks.
TEST_F(Poll, CanFdBacklogCatchesUpInOrder)
{
    reopen_fd();
    poll_set_budget_us(0);
    nb_plugin *fd = loaded("nbt_fd", "fd.so");
    nb_plugin *old = loaded("nbt_handler", "old.so");
    clear_events();
    for (uint32_t i = 0; i < 1500; i++) {
        zk_fdframe f = fd_frame(i & 0x7ff, i % 3 ? ZK_FRAME_FDF | ZK_FRAME_BRS : 0, i % 3 ? 64 : 8);
        ASSERT_GE(zk_sim_inject_fd(0, &f), 1);
    }
    tick();
    EXPECT_EQ(of_type(PGRP_RX_FD_FRAMES, fd->path).size(), 1u);
    while (g_main_context_iteration(nullptr, FALSE)) {
    }
    EXPECT_EQ(delivered_in_order(PGRP_RX_FD_FRAMES, fd->path, 0), 1500);
    int classic = 0;
    for (const Event &e : of_type(PGRP_RX_FRAMES, old->path)) {
        for (int i = 0; i < e.ev.n && i < 32; i++)
            EXPECT_EQ(e.ev.ids[i] % 3, 0u);
        classic += e.ev.n;
    }
    EXPECT_EQ(classic, 500);
    EXPECT_EQ(the_app.pgmgr.fd_hidden, 1000u);
    zk_chipstat st;
    ASSERT_GE(ZkChipStat(0, &st), 0);
    EXPECT_EQ(st.sovr, 0u);
}

// On a classic channel an FD-aware plug-in still gets the FD request
// types (classic frames only); an FD frame cannot be sent there.
TEST_F(Poll, CanFdPluginOnAClassicChannel)
{
    nb_plugin *fd = loaded("nbt_fd", "fd.so");
    nb_plugin *old = loaded("nbt_handler", "old.so");
    clear_events();
    inject(2, 0x40);
    zk_fdframe f = fd_frame(0x50, ZK_FRAME_FDF, 12);
    EXPECT_EQ(nb_send_fd_frame(&f), ZK_E_NOFD);
    EXPECT_EQ(the_app.chan.txlog->count, 0);
    tick();
    EXPECT_EQ(types_from(fd->path), (std::vector<int>{PGRP_RX_FD_FRAMES}));
    EXPECT_EQ(of_type(PGRP_RX_FD_FRAMES, fd->path)[0].ev.fd_n, 0);
    EXPECT_EQ(types_from(old->path), (std::vector<int>{PGRP_RX_FRAMES}));
    EXPECT_EQ(of_type(PGRP_RX_FRAMES, old->path)[0].ev.data_ptr, the_app.chan.rxbuf);
    EXPECT_EQ(the_app.pgmgr.fd_hidden, 0u);
    nb_chan_status st;
    nb_get_current_status(&st);
    EXPECT_EQ(st.fd, NB_FD_OFF);
    EXPECT_EQ(st.data_kbit, 0);
}

// The plug-in kit: a kit plug-in that opts in gets every frame through
// its FD handlers; one that does not gets the classic frames as before.
TEST_F(Poll, KitPluginsGetFdFramesOnlyWhenTheyOptIn)
{
    reopen_fd();
    nb_plugin *fd = loaded("nbt_kit_fd", "kitfd.so");
    nb_plugin *classic = loaded("nbt_kit", "kit.so");
    EXPECT_EQ(fd->fd_aware, 1);
    EXPECT_EQ(classic->fd_aware, 0);
    clear_events();

    const std::vector<zk_fdframe> mix = {
        fd_frame(0x100, 0, 8),
        fd_frame(0x101, ZK_FRAME_FDF | ZK_FRAME_BRS | ZK_FRAME_ESI, 64),
        fd_frame(0x102, ZK_FRAME_RTR, 2),
    };
    for (const zk_fdframe &f : mix)
        ASSERT_GE(zk_sim_inject_fd(0, &f), 1);
    zk_fdframe f20 = fd_frame(0x201, ZK_FRAME_FDF, 20);
    zk_frame c = frame(0x200);
    ASSERT_GE(nb_send_fd_frame(&f20), 0);
    ASSERT_GE(nb_send_frame(&c), 0);
    tick();

    auto rx = of_type(PGRP_RX_FD_FRAMES, fd->path);
    auto tx = of_type(PGRP_TX_FD_FRAMES, fd->path);
    ASSERT_EQ(rx.size(), 1u);
    ASSERT_EQ(tx.size(), 1u);
    EXPECT_EQ(rx[0].ev.style, NBT_STYLE_KIT);
    EXPECT_EQ(rx[0].ev.content, content_of(mix));
    EXPECT_EQ(rx[0].ev.fd_n, 1);
    zk_fdframe c_fd;
    frame_to_fd(&c, &c_fd);
    EXPECT_EQ(tx[0].ev.content, content_of({f20, c_fd}));
    EXPECT_TRUE(of_type(PGRP_RX_FRAMES, fd->path).empty());
    EXPECT_TRUE(of_type(PGRP_TX_FRAMES, fd->path).empty());

    auto crx = of_type(PGRP_RX_FRAMES, classic->path);
    auto ctx = of_type(PGRP_TX_FRAMES, classic->path);
    ASSERT_EQ(crx.size(), 1u);
    ASSERT_EQ(ctx.size(), 1u);
    EXPECT_EQ(crx[0].ev.n, 2);
    EXPECT_EQ(crx[0].ev.last_id, 0x102u);
    EXPECT_EQ(ctx[0].ev.last_id, 0x200u);
    EXPECT_TRUE(of_type(PGRP_RX_FD_FRAMES, classic->path).empty());
}

TEST_F(Poll, TxLogEntriesAddedWhileStoppedComeAfterStart)
{
    nb_plugin *x = loaded("nbt_handler", "x.so");
    clear_events();
    the_app.poll.ops.stop(&the_app);
    zk_frame f = frame(0x55);
    ASSERT_GE(nb_send_frame(&f), 0);
    EXPECT_FALSE(tick());
    EXPECT_TRUE(events().empty());
    the_app.poll.stopped = 0;
    tick();
    EXPECT_EQ(of_type(PGRP_TX_FRAMES, x->path).size(), 1u);
}

}  // namespace
}  // namespace nbt

namespace nbt {
namespace {

// What the controller received and the host sent before Stop reaches the
// plug-ins before the status that says it stopped, not a tick later.
TEST_F(Poll, FramesWaitingAtStopComeBeforeItsStatus)
{
    nb_plugin *x = loaded("nbt_handler", "x.so");
    the_app.poll.ops.start(&the_app);
    the_app.chan.running = 1;
    clear_events();
    zk_frame a = frame(0x10);
    ASSERT_GE(nb_send_frame(&a), 0);
    inject(2, 0x300);
    on_startstop_clicked(nullptr, &the_app);
    ASSERT_EQ(the_app.chan.running, 0);
    EXPECT_EQ(types_from(x->path),
              (std::vector<int>{PGRP_TX_FRAMES, PGRP_RX_FRAMES, PGRP_STATUS}));
}

// One origin per pass: the pass's start, or with the user's choice the
// controller's first start, never moved by a later start.
TEST_F(Poll, TimeOriginMovesAtMostOnceInAPass)
{
    auto later_than = [](uint64_t t) {
        return nbtest::wait_until([t] { return nbsdep_timestamp_get() > t; }, 1000);
    };
    ASSERT_GE(the_app.chan.ops.stop(&the_app.chan), 0);
    time_origin_pass_begin(&the_app);
    const uint64_t pass = nb_get_time_origin();
    EXPECT_LE(pass, nbsdep_timestamp_get());
    ASSERT_TRUE(later_than(pass));
    start_controller(&the_app);
    EXPECT_EQ(nb_get_time_origin(), pass);

    the_app.time.from_start = 1;
    time_origin_pass_begin(&the_app);
    const uint64_t pass2 = nb_get_time_origin();
    ASSERT_TRUE(later_than(pass2));
    stop_controller(&the_app);
    EXPECT_EQ(nb_get_time_origin(), pass2) << "a stop is no start";
    start_controller(&the_app);
    const uint64_t started = nb_get_time_origin();
    EXPECT_GT(started, pass2);
    ASSERT_TRUE(later_than(started));
    stop_controller(&the_app);
    start_controller(&the_app);
    EXPECT_EQ(nb_get_time_origin(), started);
}

}  // namespace
}  // namespace nbt
