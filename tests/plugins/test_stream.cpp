// The stream (PGRP_STREAM): a witness plug-in of 0x0304 gets every frame,
// received and sent, classic and FD, in time order on the host's clock,
// while plug-ins that did not opt in see the main channel as before.
#include <gtest/gtest.h>

#include <map>

#include "can/stream.h"
#include "gui/gui_parts.h"
#include "fd_frames.h"
#include "poll_fixture.h"

namespace nbt {

gui_calls gui;

namespace {

using nbtest::fd_frame;

class Stream : public PollTest {
protected:
    void SetUp() override
    {
        PollTest::SetUp();
        time_origin_pass_begin(&the_app);
        sim0_ = zk_sim_now_us();
        real0_ = g_get_real_time();
        on_event = [this](nbt_event *ev) {
            if (ev->type != PGRP_STREAM) {
                if (also_)
                    also_(ev);
                return;
            }
            requests_++;
            channels_.push_back(ev->channel);
            const nb_stream_frame *r = static_cast<const nb_stream_frame *>(ev->data_ptr);
            got_.insert(got_.end(), r, r + ev->n);
        };
    }
    void TearDown() override
    {
        on_event = nullptr;
        PollTest::TearDown();
    }
    static void reopen_fd()
    {
        the_app.chan.ops.close(&the_app.chan);
        the_app.chan.fd = NB_FD_ISO;
        the_app.chan.ops.open(&the_app.chan);
        ASSERT_GE(the_app.chan.ops.start(&the_app.chan), 0);
    }
    // The simulation's clock stands still between its steps: before a
    // tick, real time catches up with the steps taken, as on a real bus,
    // so that no frame can seem older than the test. The main loop is not
    // run meanwhile: a catch-up tick would take the traffic.
    void tick_in_real_time()
    {
        const int64_t span = (int64_t)(zk_sim_now_us() - sim0_);
        const int64_t deadline = g_get_monotonic_time() + 2000000;
        while (g_get_real_time() - real0_ < span)
            ASSERT_LT(g_get_monotonic_time(), deadline);
        tick();
    }
    static void rx_fd(const zk_fdframe &f) { ASSERT_GE(zk_sim_inject_fd(0, &f), 1); }

    // Every record so far in time order, on one clock: host times step
    // as the adapter's do, and lie between the origin and now.
    void expect_time_ordered()
    {
        const int64_t origin_us =
            (int64_t)((nb_get_time_origin() - NB_TIMESTAMP_UNIX_EPOCH) / 10u);
        const int64_t now_us = g_get_real_time();
        for (size_t i = 0; i < got_.size(); i++) {
            EXPECT_GE((int64_t)got_[i].time_us, origin_us) << i;
            EXPECT_LE((int64_t)got_[i].time_us, now_us) << i;
            if (i == 0)
                continue;
            const int32_t step = (int32_t)(got_[i].adapter_ts - got_[i - 1].adapter_ts);
            ASSERT_GE(step, 0) << "record " << i;
            EXPECT_GE(got_[i].time_us, got_[i - 1].time_us) << i;
            if (step == 0) {
                EXPECT_FALSE(got_[i - 1].dir == NB_DIR_TX && got_[i].dir == NB_DIR_RX)
                    << "a received frame comes first at equal times, " << i;
            }
        }
    }
    int count(uint8_t dir) const
    {
        int n = 0;
        for (const nb_stream_frame &r : got_)
            n += r.dir == dir;
        return n;
    }

    uint64_t sim0_ = 0;
    int64_t real0_ = 0;
    std::function<void(nbt_event *)> also_;  // for the other requests
    std::vector<nb_stream_frame> got_;
    std::vector<int32_t> channels_;
    int requests_ = 0;
};

// The witness beside a 0x0300 plug-in and a 0x0303 one that sets the
// stream bit (too early to count): both directions, both kinds, equal
// times, one request.
TEST_F(Stream, WitnessGetsEveryFrameInTimeOrder)
{
    reopen_fd();
    nb_plugin *s = loaded("nbt_stream", "witness.so");
    nb_plugin *old = loaded("nbt_handler", "old.so");
    nb_plugin *early = loaded("nbt_stream_v0303", "early.so");
    EXPECT_EQ(s->stream_aware, 1);
    EXPECT_EQ(old->stream_aware + early->stream_aware, 0);
    clear_events();

    zk_frame a = frame(0x200);
    zk_fdframe b = fd_frame(0x201, ZK_FRAME_FDF | ZK_FRAME_BRS, 12);
    zk_fdframe big = fd_frame(0x101, ZK_FRAME_FDF | ZK_FRAME_BRS, 64);
    zk_sim_advance_us(100);
    rx_fd(fd_frame(0x100, 0, 8));
    zk_sim_advance_us(50);
    ASSERT_GE(nb_send_frame(&a), 0);
    zk_sim_advance_us(50);
    rx_fd(big);
    zk_sim_advance_us(50);
    ASSERT_GE(nb_chan_send(0, &b), 0);
    rx_fd(fd_frame(0x102, ZK_FRAME_EFF, 3));  // the same time as b
    EXPECT_EQ(nb_chan_send(1, &b), ZK_E_NOCHAN);
    tick_in_real_time();

    EXPECT_EQ(types_from(s->path), (std::vector<int>{PGRP_STREAM}));
    EXPECT_EQ(channels_, (std::vector<int32_t>{0}));
    ASSERT_EQ(got_.size(), 5u);
    const uint32_t ids[] = {0x100, 0x200, 0x101, 0x102, 0x201};
    const uint8_t dirs[] = {NB_DIR_RX, NB_DIR_TX, NB_DIR_RX, NB_DIR_RX, NB_DIR_TX};
    for (int i = 0; i < 5; i++) {
        EXPECT_EQ(got_[i].id, ids[i]) << i;
        EXPECT_EQ(got_[i].dir, dirs[i]) << i;
        EXPECT_EQ(got_[i].channel, 0) << i;
    }
    EXPECT_EQ(got_[2].flags, ZK_FRAME_FDF | ZK_FRAME_BRS);
    EXPECT_EQ(got_[2].len, 64);
    EXPECT_EQ(memcmp(got_[2].data, big.data, 64), 0);
    EXPECT_EQ(got_[4].len, 12);
    EXPECT_EQ(got_[4].data[12], 0) << "bytes past len are 0";
    // Sent frames are placed no earlier than the host accepted them, which
    // the simulation's standing clock may put later.
    EXPECT_EQ(got_[1].adapter_ts - got_[0].adapter_ts, 50u);
    EXPECT_GE(got_[1].time_us - got_[0].time_us, 50u);
    EXPECT_GE(got_[4].time_us - got_[0].time_us, 150u);
    expect_time_ordered();

    // The others, as before: sent then received, classic frames only.
    for (nb_plugin *p : {old, early}) {
        EXPECT_EQ(types_from(p->path), (std::vector<int>{PGRP_TX_FRAMES, PGRP_RX_FRAMES}));
        auto tx = of_type(PGRP_TX_FRAMES, p->path);
        auto rx = of_type(PGRP_RX_FRAMES, p->path);
        ASSERT_EQ(tx.size() + rx.size(), 2u);
        EXPECT_EQ(tx[0].ev.n, 1);
        EXPECT_EQ(rx[0].ev.n, 2);
        EXPECT_EQ(rx[0].ev.first_id, 0x100u);
    }

    // Status and errors reach the witness about channel 0.
    clear_events();
    channels_.clear();
    inject_errs(zk_errs{0, 1, 0, 0, 0});
    tick_in_real_time();
    EXPECT_EQ(types_from(s->path), (std::vector<int>{PGRP_STATUS, PGRP_ERRORS}));
    for (const Event &e : events())
        EXPECT_EQ(e.ev.channel, 0);

    // Frames waiting at Stop come before its status.
    ASSERT_GE(the_app.chan.ops.start(&the_app.chan), 0);
    clear_events();
    the_app.poll.ops.start(&the_app);
    the_app.chan.running = 1;
    ASSERT_GE(nb_send_frame(&a), 0);
    inject(1, 0x300);
    on_startstop_clicked(nullptr, &the_app);
    ASSERT_EQ(the_app.chan.running, 0);
    EXPECT_EQ(types_from(s->path), (std::vector<int>{PGRP_STREAM, PGRP_STATUS}));
}

// A full tick (512 received, 512 sent) is one request; a backlog goes over
// two ticks without a frame lost or out of order, sent frames newer than
// the first received batch waiting for the next.
TEST_F(Stream, FullTickAndBacklogKeepEveryFrameInOrder)
{
    poll_set_budget_us(0);
    loaded("nbt_stream", "witness.so");
    nb_plugin *old = loaded("nbt_handler", "old.so");
    clear_events();
    for (uint32_t i = 0; i < 512; i++) {
        zk_frame f = frame(i);
        zk_sim_advance_us(10);
        ASSERT_GE(nb_send_frame(&f), 0);
        zk_sim_advance_us(10);
        inject(1, 0x400 + i);
    }
    tick_in_real_time();
    EXPECT_EQ(requests_, 1);
    ASSERT_EQ(got_.size(), 1024u);
    EXPECT_EQ(count(NB_DIR_RX), 512);
    expect_time_ordered();

    got_.clear();
    requests_ = 0;
    for (uint32_t i = 0; i < 100; i++) {
        zk_frame f = frame(i);
        zk_sim_advance_us(5);
        ASSERT_GE(nb_send_frame(&f), 0);
    }
    for (int i = 0; i < 600; i++) {
        zk_sim_advance_us(5);
        inject(1, (uint32_t)i);
    }
    for (uint32_t i = 0; i < 50; i++) {
        zk_frame f = frame(0x500 + i);
        zk_sim_advance_us(5);
        ASSERT_GE(nb_send_frame(&f), 0);
    }
    tick_in_real_time();
    EXPECT_EQ(got_.size(), 612u) << "the 50 newest sent frames wait";
    tick_in_real_time();
    EXPECT_EQ(requests_, 2);
    ASSERT_EQ(got_.size(), 750u);
    EXPECT_EQ(count(NB_DIR_TX), 150);
    expect_time_ordered();
    EXPECT_EQ(got_.back().id, 0x531u);
    EXPECT_EQ(of_type(PGRP_RX_FRAMES, old->path).size(), 3u);
}

// A frame another plug-in sends while it handles the tick's sent frames
// (before the receive queue is read) takes its place among the received
// ones in this tick's stream, once; that plug-in gets it next tick as
// before.
TEST_F(Stream, FrameSentInsideARequestKeepsItsPlace)
{
    loaded("nbt_stream", "witness.so");
    nb_plugin *old = loaded("nbt_handler", "old.so");
    zk_frame a = frame(0x1A), b = frame(0x1B);
    zk_sim_advance_us(100);
    ASSERT_GE(nb_send_frame(&a), 0);
    zk_sim_advance_us(100);
    inject(1, 0x301);
    also_ = [&](nbt_event *ev) {
        if (ev->type != PGRP_TX_FRAMES || ev->first_id != 0x1A)
            return;
        zk_sim_advance_us(100);
        EXPECT_GE(nb_send_frame(&b), 0);
        zk_sim_advance_us(100);
        inject(1, 0x302);
    };
    tick_in_real_time();
    ASSERT_EQ(got_.size(), 4u);
    const uint32_t ids[] = {0x1A, 0x301, 0x1B, 0x302};
    for (int i = 0; i < 4; i++)
        EXPECT_EQ(got_[i].id, ids[i]) << i;
    expect_time_ordered();
    EXPECT_EQ(got_[2].adapter_ts - got_[0].adapter_ts, 200u);

    tick_in_real_time();
    EXPECT_EQ(requests_, 1) << "the frame is not handed on twice";
    auto tx = of_type(PGRP_TX_FRAMES, old->path);
    ASSERT_EQ(tx.size(), 2u);
    EXPECT_EQ(tx[1].ev.first_id, 0x1Bu);
}

// The adapter's 32-bit clock wraps during the stream: times go on.
TEST_F(Stream, AdapterClockWrapKeepsTimesGoingOn)
{
    loaded("nbt_stream", "witness.so");
    const uint32_t low = (uint32_t)zk_sim_now_us();
    zk_sim_advance_us((uint64_t)(uint32_t)(0u - 300u - low));
    ASSERT_EQ((uint32_t)zk_sim_now_us(), 0u - 300u);
    sim0_ = zk_sim_now_us();
    for (int i = 0; i < 6; i++) {
        inject(1, (uint32_t)i);
        zk_sim_advance_us(100);
    }
    tick_in_real_time();
    ASSERT_EQ(got_.size(), 6u);
    EXPECT_LT(got_[5].adapter_ts, got_[0].adapter_ts) << "the clock wrapped";
    EXPECT_EQ(got_[5].time_us - got_[0].time_us, 500u);
    expect_time_ordered();

    nb_clock_pair now = {5u, 1000000};
    EXPECT_EQ(stream_place(0xFFFFFFFBu, now), 1000000 - 10);
    EXPECT_EQ(stream_place(9u, now), 1000000) << "a time after the clock's reading is now";
}

// A plug-in of the kit that opts in gets the stream through its handler.
TEST_F(Stream, KitPluginTakesTheStream)
{
    nb_plugin *kit = loaded("nbt_kit_stream", "kit.so");
    EXPECT_EQ(kit->stream_aware, 1);
    clear_events();
    zk_frame a = frame(0x10);
    inject(1, 0x300);
    zk_sim_advance_us(10);
    ASSERT_GE(nb_send_frame(&a), 0);
    tick_in_real_time();
    EXPECT_EQ(types_from(kit->path), (std::vector<int>{PGRP_STREAM}));
    EXPECT_EQ(of_type(PGRP_STREAM, kit->path)[0].ev.style, NBT_STYLE_KIT);
    ASSERT_EQ(got_.size(), 2u);
    EXPECT_EQ(got_[0].id, 0x300u);
    EXPECT_EQ(got_[1].dir, NB_DIR_TX);
}

// A channel's status, name and adapter by index: 0 is the main channel.
TEST_F(Stream, ChannelsByIndex)
{
    EXPECT_EQ(nb_chan_count(), 1);
    nb_chan_status want, st;
    nb_get_current_status(&want);
    memset(&st, 0xAA, sizeof st);
    ASSERT_EQ(nb_chan_get_status(0, &st), 0);
    EXPECT_EQ(memcmp(&st, &want, sizeof st), 0);
    EXPECT_EQ(nb_chan_get_status(1, &st), ZK_E_NOCHAN);
    EXPECT_EQ(st.running, 0);

    char name[16];
    ASSERT_EQ(nb_chan_get_name(0, name, sizeof name), 0);
    EXPECT_STREQ(name, "ch0");
    EXPECT_EQ(nb_chan_get_name(0, name, 3), -1);
    EXPECT_STREQ(name, "");
    EXPECT_EQ(nb_chan_get_name(-1, name, sizeof name), -1);

    ASSERT_GE(the_app.chan.ops.find_board(the_app.chan.number, &the_app.chan.board), 0);
    nb_chan_adapter ad;
    ASSERT_EQ(nb_chan_get_adapter(0, &ad), 0);
    EXPECT_EQ(ad.number, the_app.chan.number);
    EXPECT_STREQ(ad.board, the_app.chan.board.b.name);
    EXPECT_NE(ad.board[0], '\0');
    EXPECT_EQ(nb_chan_get_adapter(2, &ad), ZK_E_NOCHAN);
    EXPECT_EQ(ad.board[0], '\0');
}

// Frames written that never went out: a plug-in of 0x0307 gets each as an
// NB_DIR_TX_LOST record after its Tx record and before the status of the
// stop that gave it up; one of 0x0306 sees the Tx records alone.
class TxLost : public Stream {
protected:
    // The simulated nodes run at 250 kbit/s, the channel at 500.
    const char *boards() const override { return "0=sim:channels=2,traffic=none,txq=64,rate=250"; }
    void SetUp() override
    {
        Stream::SetUp();
        on_event = [this](nbt_event *ev) {
            const uint16_t v = *static_cast<const uint16_t *>(ev->self);
            if (ev->type == PGRP_STREAM) {
                const nb_stream_frame *r = static_cast<const nb_stream_frame *>(ev->data_ptr);
                got_by_[v].insert(got_by_[v].end(), r, r + ev->n);
            } else if (ev->type == PGRP_STATUS && v == 0x0307 && status_at_ < 0) {
                status_at_ = (int)got_by_[v].size();
            }
        };
    }
    // Sends n frames 0x10.. and returns them.
    std::vector<zk_frame> send(int n)
    {
        std::vector<zk_frame> out;
        for (int i = 0; i < n; i++) {
            zk_frame f = frame(0x10 + (uint32_t)i);
            zk_sim_advance_us(10);
            EXPECT_GE(nb_send_frame(&f), 0) << i;
            out.push_back(f);
        }
        return out;
    }
    // The new plug-in's records: the frames as Tx, then the same frames
    // as lost, each naming its Tx record, none earlier than it.
    void expect_sent_then_lost(const std::vector<zk_frame> &sent)
    {
        const std::vector<nb_stream_frame> &got = got_by_[0x0307];
        const size_t n = sent.size();
        ASSERT_EQ(got.size(), 2 * n);
        for (size_t i = 0; i < n; i++) {
            const nb_stream_frame &tx = got[i], &lost = got[n + i];
            EXPECT_EQ(tx.dir, NB_DIR_TX) << i;
            EXPECT_EQ(lost.dir, NB_DIR_TX_LOST) << i;
            EXPECT_EQ(lost.id, sent[i].id) << i;
            EXPECT_EQ(lost.len, sent[i].len) << i;
            EXPECT_EQ(memcmp(lost.data, sent[i].data, sent[i].len), 0) << i;
            EXPECT_EQ(lost.adapter_ts, tx.adapter_ts) << i;
            EXPECT_GE(lost.time_us, got[n - 1].time_us) << i;
        }
        EXPECT_EQ(status_at_, (int)(2 * n)) << "every lost frame before the stop's status";
        const std::vector<nb_stream_frame> &old = got_by_[0x0306];
        ASSERT_EQ(old.size(), n);
        for (const nb_stream_frame &r : old)
            EXPECT_EQ(r.dir, NB_DIR_TX);
    }
    std::map<uint16_t, std::vector<nb_stream_frame>> got_by_;
    int status_at_ = -1;
};

TEST_F(TxLost, FramesNoNodeAcknowledgesAreLostAtBusOff)
{
    EXPECT_EQ(the_app.chan.txresult, 1);
    loaded("nbt_stream_v0307", "new.so");
    loaded("nbt_stream_v0306", "old.so");
    std::vector<zk_frame> sent = send(3);
    // The controller retries them until it goes bus-off; the host stops it.
    for (int i = 0; i < 200 && the_app.chan.running; i++) {
        zk_sim_advance_us(500);
        tick_in_real_time();
    }
    ASSERT_EQ(the_app.chan.running, 0);
    EXPECT_EQ(the_app.chan.bus_off, 1);
    tick_in_real_time();
    expect_sent_then_lost(sent);
    zk_chipstat st;
    ASSERT_EQ(ZkChipStat(the_app.chan.number, &st), 0);
    EXPECT_EQ(st.tx_dropped, 3u);
    EXPECT_GT(st.ack_errors, 0u);
}

// Frames still queued when the user stops the controller (the bus takes
// none meanwhile: the simulation's clock stands).
class TxLostAtStop : public TxLost {
protected:
    const char *boards() const override { return "0=sim:channels=2,traffic=none,txq=64"; }
};

TEST_F(TxLostAtStop, FramesQueuedAtStopAreLostBeforeItsStatus)
{
    loaded("nbt_stream_v0307", "new.so");
    loaded("nbt_stream_v0306", "old.so");
    the_app.poll.ops.start(&the_app);
    std::vector<zk_frame> sent = send(5);
    ASSERT_EQ(zk_sim_tx_pending(the_app.chan.number), 5);
    on_startstop_clicked(nullptr, &the_app);
    ASSERT_EQ(the_app.chan.running, 0);
    expect_sent_then_lost(sent);
}

}  // namespace
}  // namespace nbt
