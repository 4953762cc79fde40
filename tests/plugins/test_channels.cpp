// Several channels in one window: channels of two simulated boards on one
// time line in the stream, added and removed while frames flow, and each
// channel's bus-off and lost adapter kept to that channel.
#include <gtest/gtest.h>

#include <atomic>
#include <map>
#include <thread>
#include <tuple>

#include "can/stream.h"
#include "fd_frames.h"
#include "poll_fixture.h"

namespace nbt {

gui_calls gui;

namespace {

using nbtest::fd_frame;

// A stream record as the test compares it: library channel number (not
// the index, which moves), direction and identifier.
using Seen = std::tuple<int, int, uint32_t>;

class Channels : public PollTest {
protected:
    // Board 0: channels 0 and 1; board 1: channels 2 and 3.
    const char *boards() const override
    {
        return "0=sim:channels=2,traffic=none,txq=64;1=sim:channels=2,traffic=none,txq=64";
    }
    void SetUp() override
    {
        PollTest::SetUp();
        time_origin_pass_begin(&the_app);
        sim0_ = zk_sim_now_us();
        real0_ = g_get_real_time();
        numbers();
        on_event = [this](nbt_event *ev) {
            if (ev->type == PGRP_CHANNELS) {
                numbers();
                return;
            }
            if (ev->type != PGRP_STREAM)
                return;
            const nb_stream_frame *r = static_cast<const nb_stream_frame *>(ev->data_ptr);
            for (int i = 0; i < ev->n; i++) {
                got_.push_back(r[i]);
                ASSERT_LT(r[i].channel, nums_.size());
                seen_.push_back(Seen{nums_[r[i].channel], r[i].dir, r[i].id});
            }
        };
    }
    void TearDown() override
    {
        on_event = nullptr;
        PollTest::TearDown();
    }
    // Index to library channel number, as the plug-ins learn it.
    void numbers()
    {
        nums_.clear();
        for (int32_t i = 0; i < the_app.chans.count; i++)
            nums_.push_back(the_app.chans.at[i]->number);
    }
    static int32_t add(uint8_t number, uint8_t fd = NB_FD_OFF)
    {
        nb_chan_settings s;
        chan_settings_default(&s);
        s.fd = fd;
        int32_t index = -1;
        EXPECT_EQ(chanset_add(&the_app, number, &s, &index, nullptr), 0);
        nb_chan *ch = chanset_at(&the_app, index);
        EXPECT_NE(ch, nullptr);
        if (ch) {
            EXPECT_GE(ch->ops.start(ch), 0);
        }
        return index;
    }
    static void on_board(uint8_t board, uint32_t id)
    {
        zk_frame f = frame(id);
        ASSERT_GE(zk_sim_inject(board, &f), 1);
    }
    // As in the stream's tests: real time catches up with the simulation
    // before a tick, so no frame seems older than the test.
    void tick_in_real_time()
    {
        const int64_t span = (int64_t)(zk_sim_now_us() - sim0_);
        const int64_t deadline = g_get_monotonic_time() + 5000000;
        while (g_get_real_time() - real0_ < span)
            ASSERT_LT(g_get_monotonic_time(), deadline);
        tick();
    }
    // Times never go back; each channel's frames keep their adapter's
    // order, a received frame first at equal adapter times.
    void expect_time_ordered() const
    {
        std::map<int, size_t> last;  // channel number: its latest record
        for (size_t i = 0; i < got_.size(); i++) {
            if (i > 0) {
                EXPECT_GE(got_[i].time_us, got_[i - 1].time_us) << i;
            }
            const int n = std::get<0>(seen_[i]);
            auto it = last.find(n);
            if (it != last.end()) {
                const nb_stream_frame &p = got_[it->second];
                const int32_t step = (int32_t)(got_[i].adapter_ts - p.adapter_ts);
                EXPECT_GE(step, 0) << i;
                EXPECT_FALSE(step == 0 && p.dir == NB_DIR_TX && got_[i].dir == NB_DIR_RX) << i;
            }
            last[n] = i;
        }
    }

    uint64_t sim0_ = 0;
    int64_t real0_ = 0;
    std::vector<int> nums_;
    std::vector<nb_stream_frame> got_;
    std::vector<Seen> seen_;
};

// Main channel 0 (board 0), channel 2 classic and channel 3 FD (board 1):
// the witness gets every frame of every channel, received and sent, in
// time order with its channel; a 0x0300 plug-in the main channel's only.
TEST_F(Channels, TwoBoardsOnOneTimeLine)
{
    const int32_t c2 = add(2), c3 = add(3, NB_FD_ISO);
    ASSERT_EQ(c2, 1);
    ASSERT_EQ(c3, 2);
    nb_plugin *w = loaded("nbt_stream", "witness.so");
    nb_plugin *old = loaded("nbt_handler", "old.so");
    numbers();
    clear_events();
    sim0_ = zk_sim_now_us();  // sent frames are placed no earlier than sent
    real0_ = g_get_real_time();

    // Far enough apart that each channel's own clock reading cannot swap
    // them.
    constexpr uint64_t D = 20000;
    zk_fdframe big = fd_frame(0x202, ZK_FRAME_FDF | ZK_FRAME_BRS, 64);
    zk_fdframe f201 = fd_frame(0x201, 0, 8);
    zk_frame f101 = frame(0x101);
    zk_sim_advance_us(D);
    on_board(0, 0x100);
    zk_sim_advance_us(D);
    on_board(1, 0x200);
    zk_sim_advance_us(D);
    ASSERT_GE(nb_chan_send(c2, &f201), 0);  // channel 3 receives it
    zk_sim_advance_us(D);
    ASSERT_GE(nb_send_frame(&f101), 0);
    zk_sim_advance_us(D);
    ASSERT_GE(nb_chan_send(c3, &big), 0);  // classic channel 2 takes no FD frame
    zk_sim_advance_us(D);
    tick_in_real_time();
    tick_in_real_time();

    const std::vector<Seen> want = {
        {0, NB_DIR_RX, 0x100}, {2, NB_DIR_RX, 0x200}, {3, NB_DIR_RX, 0x200},
        {2, NB_DIR_TX, 0x201}, {3, NB_DIR_RX, 0x201}, {0, NB_DIR_TX, 0x101},
        {3, NB_DIR_TX, 0x202}};
    EXPECT_EQ(seen_, want);
    expect_time_ordered();
    ASSERT_EQ(got_.size(), want.size());
    EXPECT_EQ(got_[1].channel, c2);
    EXPECT_EQ(got_[2].channel, c3);
    EXPECT_EQ(got_[6].len, 64);
    EXPECT_EQ(memcmp(got_[6].data, big.data, 64), 0);
    EXPECT_NEAR((double)(got_[1].time_us - got_[0].time_us), (double)D, 5000.0);
    for (const Event &e : of_type(PGRP_STREAM, w->path))
        EXPECT_EQ(e.ev.channel, 0);

    EXPECT_EQ(types_from(old->path), (std::vector<int>{PGRP_TX_FRAMES, PGRP_RX_FRAMES}));
    EXPECT_EQ(of_type(PGRP_RX_FRAMES, old->path)[0].ev.first_id, 0x100u);
    EXPECT_EQ(of_type(PGRP_RX_FRAMES, old->path)[0].ev.n, 1);
    EXPECT_EQ(of_type(PGRP_TX_FRAMES, old->path)[0].ev.first_id, 0x101u);
}

// Channels added and removed between ticks and inside the flow: every
// frame of every channel reaches the witness once, the removed channel's
// included; only the witness hears of the change.
TEST_F(Channels, AddingAndRemovingWhileFramesFlowLosesNothing)
{
    loaded("nbt_stream", "witness.so");
    nb_plugin *old = loaded("nbt_handler", "old.so");
    add(2);
    the_app.poll.ops.start(&the_app);  // poll_flush runs only with the timers
    clear_events();
    std::map<Seen, int> want;
    for (uint32_t k = 0; k < 120; k++) {
        if (k == 40)
            add(3);
        if (k == 80) {
            ASSERT_EQ(chanset_remove(&the_app, chanset_find(&the_app, 2)), 0);
        }
        zk_sim_advance_us(500);
        on_board(0, 0x100 + k);
        want[Seen{0, NB_DIR_RX, 0x100 + k}]++;
        zk_sim_advance_us(500);
        on_board(1, 0x400 + k);
        for (int n : {2, 3}) {
            if (chanset_find(&the_app, (uint8_t)n) >= 0)
                want[Seen{n, NB_DIR_RX, 0x400 + k}]++;
        }
        if (k % 10 == 3) {
            zk_frame f = frame(0x600 + k);
            ASSERT_GE(nb_send_frame(&f), 0);
            want[Seen{0, NB_DIR_TX, 0x600 + k}]++;
        }
        if (k % 7 == 0)
            tick_in_real_time();
    }
    tick_in_real_time();  // its tick waits for the time, then the flush
    poll_flush(&the_app);

    std::map<Seen, int> seen;
    for (const Seen &s : seen_)
        seen[s]++;
    EXPECT_EQ(seen, want);
    expect_time_ordered();
    EXPECT_EQ(of_type(PGRP_CHANNELS).size(), 2u);
    EXPECT_TRUE(of_type(PGRP_CHANNELS, old->path).empty());
    EXPECT_EQ(nb_chan_count(), 2);
}

// A plug-in's thread sends on added channel 2 by index and name while the
// window removes it, and channel 3 moves to its index: every frame it was
// told went out reaches the plug-ins as sent on channel 2, the sends after
// the removal are refused, and none goes out on another channel.
TEST_F(Channels, ThreadSendsWhileItsChannelIsRemoved)
{
    loaded("nbt_stream", "witness.so");
    const int32_t c2 = add(2);
    add(3);
    ASSERT_EQ(c2, 1);
    the_app.poll.ops.start(&the_app);  // poll_flush runs only with the timers
    clear_events();
    std::atomic<int> ok{0}, refused{0}, other{0};
    std::atomic<bool> removed{false};
    std::thread sender([&] {
        // Fewer than the tx log holds, so none goes unreported.
        for (uint32_t k = 0; !removed.load() || refused.load() == 0; k++) {
            if (ok.load() >= 900 && !removed.load()) {
                std::this_thread::yield();
                continue;
            }
            zk_fdframe f = fd_frame(0x300 + (k & 0xff), 0, 8);
            int r = nb_chan_send_any_thread(c2, "ch2", &f);
            if (r >= 0)
                ok++;
            else if (r == ZK_E_NOCHAN)
                refused++;
            else
                other++;
        }
    });
    EXPECT_TRUE(nbtest::wait_until([&] { return ok.load() >= 20; }, 5000));
    EXPECT_EQ(chanset_remove(&the_app, c2), 0);
    removed = true;
    sender.join();
    zk_fdframe f = fd_frame(0x123, 0, 8);
    EXPECT_EQ(nb_chan_send_any_thread(c2, "ch2", &f), ZK_E_NOCHAN);
    EXPECT_EQ(nb_chan_send_any_thread(c2, nullptr, &f), ZK_E_BADARG);
    tick_in_real_time();

    int tx2 = 0, tx_elsewhere = 0;
    for (const Seen &s : seen_) {
        if (std::get<1>(s) == NB_DIR_TX)
            (std::get<0>(s) == 2 ? tx2 : tx_elsewhere)++;
    }
    EXPECT_EQ(other.load(), 0);
    EXPECT_EQ(tx2, ok.load());
    EXPECT_EQ(tx_elsewhere, 0);
    zk_frame buf[8];
    EXPECT_EQ(zk_sim_sent(3, buf, 8), 0);
    EXPECT_EQ(zk_sim_sent(0, buf, 8), 0);
}

// A backlog on two channels with no time budget: each tick takes one
// batch per channel, records wait for the channel read later, and every
// frame comes once, in order, within a bounded number of ticks.
TEST_F(Channels, BacklogOnTwoChannelsKeepsEveryFrameInOrder)
{
    poll_set_budget_us(0);
    add(2);
    loaded("nbt_stream", "witness.so");
    numbers();
    std::map<Seen, int> want;
    for (uint32_t k = 0; k < 1500; k++) {
        zk_sim_advance_us(20);
        on_board(k % 3 ? 0 : 1, k);
        want[Seen{k % 3 ? 0 : 2, NB_DIR_RX, k}]++;
        if (k % 5 == 0) {
            zk_frame f = frame(0x700 + (k & 0xff));
            ASSERT_GE(nb_send_frame(&f), 0);
            want[Seen{0, NB_DIR_TX, 0x700 + (k & 0xff)}]++;
        }
    }
    // A channel is not removed from inside a tick (a plug-in's nested
    // main loop): its frames may be on their way.
    auto record = on_event;
    int refused = 0;
    on_event = [&](nbt_event *ev) {
        record(ev);
        if (ev->type == PGRP_STREAM && !refused++) {
            EXPECT_EQ(chanset_remove(&the_app, 1), ZK_E_BUSY);
        }
    };
    for (int t = 0; t < 10 && seen_.size() < 1800; t++)
        tick_in_real_time();
    on_event = record;
    EXPECT_GT(refused, 0);
    std::map<Seen, int> seen;
    for (const Seen &x : seen_)
        seen[x]++;
    EXPECT_EQ(seen, want);
    expect_time_ordered();
}

// A bus-off on an added channel stops it alone, after its frames: the
// witness gets its status and counters with its index, the main channel
// and the 0x0300 plug-in hear nothing of it.
TEST_F(Channels, BusOffStopsOnlyThatChannel)
{
    const int32_t c2 = add(2);
    nb_plugin *w = loaded("nbt_stream", "witness.so");
    nb_plugin *old = loaded("nbt_handler", "old.so");
    numbers();
    clear_events();
    on_board(1, 0x200);
    zk_errs boff = {0, 1, 0, 0, 0};
    ASSERT_GE(zk_sim_inject_errors(2, &boff), 0);
    tick();

    nb_chan *ch = chanset_at(&the_app, c2);
    EXPECT_EQ(ch->running, 0);
    EXPECT_EQ(ch->bus_off, 1);
    EXPECT_EQ(ch->errs.boff, 1);
    EXPECT_EQ(ch->errs_reads, 1u);
    EXPECT_EQ(the_app.chan.running, 1);
    EXPECT_EQ(the_app.chan.errs_reads, 0u);
    EXPECT_EQ(gui.stops + gui.indicators, 0);
    EXPECT_EQ(types_from(w->path), (std::vector<int>{PGRP_STREAM, PGRP_STATUS, PGRP_ERRORS}));
    auto st = of_type(PGRP_STATUS, w->path);
    EXPECT_EQ(st[0].ev.channel, c2);
    EXPECT_EQ(st[0].ev.chan, 2);
    EXPECT_EQ(st[0].ev.running, 0);
    EXPECT_EQ(of_type(PGRP_ERRORS, w->path)[0].ev.channel, c2);
    EXPECT_TRUE(types_from(old->path).empty());

    zk_fdframe f = fd_frame(0x10, 0, 1);
    EXPECT_EQ(nb_chan_send(c2, &f), ZK_E_BUSOFF);
    // Started again from the window, then stopped with a frame waiting:
    // the frame comes before the status.
    ASSERT_GE(ctl_start_at(&the_app, c2), 0);
    EXPECT_EQ(ch->bus_off, 0);
    the_app.poll.ops.start(&the_app);  // a stop's flush runs with the timers
    clear_events();
    on_board(1, 0x201);
    ASSERT_GE(ctl_stop_at(&the_app, c2), 0);
    EXPECT_EQ(types_from(w->path), (std::vector<int>{PGRP_STREAM, PGRP_STATUS}));
    EXPECT_EQ(ctl_stop_at(&the_app, 0), ZK_E_NOCHAN);
    on_board(0, 0x100);
    tick();
    EXPECT_EQ(of_type(PGRP_RX_FRAMES, old->path).size(), 1u) << "the main channel goes on";
    EXPECT_TRUE(of_type(PGRP_STATUS, old->path).empty());

    // The main channel's counters are kept in its record too, and go to
    // everyone about channel 0 as before.
    inject_errs(zk_errs{1, 0, 0, 0, 0});
    tick();
    EXPECT_EQ(the_app.chan.errs.ewl, 1);
    EXPECT_EQ(the_app.chan.errs_reads, 1u);
    EXPECT_EQ(gui.indicators, 1);
    EXPECT_EQ(of_type(PGRP_ERRORS, old->path).size(), 1u);
    EXPECT_EQ(of_type(PGRP_ERRORS, w->path).back().ev.channel, 0);
}

// An added channel whose adapter is gone is marked lost, without the
// main channel's message, and opened again by the status tick.
TEST_F(Channels, LostAddedChannelIsRetriedAlone)
{
    const int32_t c2 = add(2);
    nb_plugin *w = loaded("nbt_stream", "witness.so");
    loaded("nbt_handler", "old.so");
    numbers();
    // The next read after the main channel's is channel 2's.
    auto record = on_event;
    on_event = [record](nbt_event *ev) {
        record(ev);
        if (ev->type == PGRP_RX_FRAMES)
            zk_sim_fail_next("ZkReadFd", ZK_E_GONE);
    };
    clear_events();
    on_board(0, 0x100);
    tick();
    on_event = record;

    nb_chan *ch = chanset_at(&the_app, c2);
    EXPECT_EQ(ch->lost, 1);
    EXPECT_EQ(ch->running, 0);
    EXPECT_EQ(the_app.chan.lost, 0);
    EXPECT_EQ(gui.stops, 0);
    auto st = of_type(PGRP_STATUS, w->path);
    ASSERT_EQ(st.size(), 1u);
    EXPECT_EQ(st[0].ev.channel, c2);

    tick();  // a lost channel is not read
    EXPECT_EQ(ch->lost, 1);
    // Opened again by a thread; a later status tick takes the result,
    // with the settings the record holds then (a write timeout set while
    // the attempt ran).
    the_app.poll.ops.start(&the_app);
    status_tick(&the_app);
    ch->wtout = 50;
    EXPECT_TRUE(nbtest::wait_until([&] {
        status_tick(&the_app);
        return ch->lost == 0;
    }));
    uint16_t wtout = 0;
    ASSERT_GE(ZkWriteTout(ch->number, 0, &wtout), 0);
    EXPECT_EQ(wtout, 50);
    EXPECT_EQ(of_type(PGRP_STATUS, w->path).size(), 2u);
    EXPECT_EQ(gui.stops, 0);
    ASSERT_GE(ch->ops.start(ch), 0);
    on_board(1, 0x200);
    tick();
    tick();  // its frame waits for the next read of the main channel
    EXPECT_EQ(seen_.back(), (Seen{2, NB_DIR_RX, 0x200}));
}

}  // namespace
}  // namespace nbt
