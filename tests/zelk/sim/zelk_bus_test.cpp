// The simulated bus: frames between channels, time on the wire, traffic,
// queue overruns, write timeouts, and controllers at the wrong bit rate.
// All on the manual clock, so every count is exact.
#include "zelk_fixture.h"

using namespace zktest;

namespace {

class ZelkBus : public Zelk {};

TEST_F(ZelkBus, FrameWrittenOnChannelOneIsReceivedOnChannelZero)
{
    boards("sim:traffic=none");
    run(0);
    run(1);
    const zk_frame f = frame(0x123, 0, {0xDE, 0xAD, 0xBE, 0xEF});
    const uint64_t t0 = zk_sim_now_us();
    ASSERT_EQ(ZkWrite(1, &f, 1), 1);
    zk_frame sent[2];
    ASSERT_EQ(zk_sim_sent(1, sent, 2), 1);
    EXPECT_EQ(memcmp(&sent[0], &f, 16), 0);
    EXPECT_EQ(zk_sim_sent(1, sent, 2), 0) << "consumed";

    // 4 data bytes at 500 kbit/s: 79 bits plus stuff bits, about 160 us.
    zk_frame got;
    zk_sim_advance_us(150);
    EXPECT_EQ(ZkRead(0, &got, 1), 0) << "still on the wire";
    zk_sim_advance_us(50);
    ASSERT_EQ(ZkRead(0, &got, 1), 1);
    EXPECT_EQ(got.id, 0x123u);
    EXPECT_EQ(got.flags, 0);
    EXPECT_EQ(got.len, 4);
    EXPECT_EQ(memcmp(got.data, f.data, 4), 0);
    const uint32_t wire = got.ts - uint32_t(t0);
    EXPECT_GE(wire, 158u);
    EXPECT_LE(wire, 190u);
    EXPECT_EQ(ZkRead(1, &got, 1), 0) << "the sender does not receive its own frame";
}

TEST_F(ZelkBus, OnlyChannelsAtTheBusRateReceive)
{
    boards("sim:channels=3,traffic=none,rate=250");
    run(0);
    run(1);
    run(2);
    ASSERT_EQ(ZkSetBaud(0, 0x01, 0x1C), ZK_OK);  // 250k
    ASSERT_EQ(ZkSetBaud(1, 0x43, 0x23), ZK_OK);  // 250k by another pair
    ASSERT_EQ(ZkSetBaud(2, 0x00, 0x1C), ZK_OK);  // 500k
    const zk_frame f = frame(0x1F334455, ZK_FRAME_EFF, {1, 2, 3});
    EXPECT_EQ(zk_sim_inject(0, &f), 2);
    ASSERT_EQ(ZkWrite(0, &f, 1), 1);
    zk_sim_advance_us(2000);
    EXPECT_EQ(read_all(1), 2);
    EXPECT_EQ(read_all(2), 0);
}

TEST_F(ZelkBus, LowerIdentifierWinsArbitration)
{
    boards("sim:channels=3,traffic=none");
    run(0);
    run(1);
    run(2);
    zk_frame a = frame(0x300), b = frame(0x100), c = frame(0x100, ZK_FRAME_EFF);
    c.id = 0x100u << 18;  // same base identifier: the standard frame wins
    ASSERT_EQ(ZkWrite(0, &a, 1), 1);  // starts at once on the idle bus
    ASSERT_EQ(ZkWrite(1, &c, 1), 1);
    ASSERT_EQ(ZkWrite(1, &b, 1), 1);
    ASSERT_EQ(ZkWrite(0, &b, 1), 1);
    zk_sim_advance_us(5000);
    zk_frame got[8];
    ASSERT_EQ(ZkRead(2, got, 8), 4);
    EXPECT_EQ(got[0].id, 0x300u);
    // Channel 1's queue is in order; its extended frame waits for channel 0's
    // standard 0x100, then goes before its own 0x100.
    EXPECT_EQ(got[1].id, 0x100u);
    EXPECT_EQ(got[1].flags, 0);
    EXPECT_EQ(got[2].flags, ZK_FRAME_EFF);
    EXPECT_EQ(got[3].id, 0x100u);
}

TEST_F(ZelkBus, SaturatedBusFillsTheQueueAndCountsOverruns)
{
    boards("sim:traffic=full,rate=1000");
    run(0);
    ASSERT_EQ(ZkSetBaud(0, 0x00, 0x14), ZK_OK);
    zk_sim_advance_us(4000000);
    const int got = read_all(0);
    EXPECT_EQ(got, 65536);
    zk_errs e = errs(0);
    // About 21,000 length-0 frames per second at 1 Mbit/s.
    EXPECT_GE(got + e.sovr, 4 * 19500);
    EXPECT_LE(got + e.sovr, 4 * 21300);
    EXPECT_EQ(stat(0).sovr, e.sovr);
    // Read in time, nothing is lost.
    for (int i = 0; i < 100; i++) {
        zk_sim_advance_us(20000);
        EXPECT_GT(read_all(0), 300);
    }
    EXPECT_EQ(errs(0).sovr, 0);
    zk_sim_advance_us(20000);
    ASSERT_EQ(ZkRcQueEmpty(0), ZK_OK);
    EXPECT_EQ(read_all(0), 0);
}

TEST_F(ZelkBus, DefaultTrafficIsPeriodicWithCounters)
{
    boards("sim");
    run(0);
    zk_sim_advance_us(1000000);
    static zk_frame buf[4096];
    const int n = ZkRead(0, buf, 4096);
    // 13 nodes, 10 ms to 1 s: about 490 frames a second.
    EXPECT_GE(n, 400);
    EXPECT_LE(n, 520);
    int ext = 0, rtr = 0, c0c0 = 0;
    int last = -1;
    for (int i = 0; i < n; i++) {
        ext += (buf[i].flags & ZK_FRAME_EFF) != 0;
        rtr += (buf[i].flags & ZK_FRAME_RTR) != 0;
        if (buf[i].id == 0x0C0 && !(buf[i].flags & ZK_FRAME_EFF)) {
            if (last >= 0) {
                EXPECT_EQ(buf[i].data[0], uint8_t(last + 1)) << "rolling counter";
            }
            last = buf[i].data[0];
            c0c0++;
        }
        if (i) {
            EXPECT_GE(int32_t(buf[i].ts - buf[i - 1].ts), 0);
        }
    }
    EXPECT_GT(ext, 0);
    EXPECT_GT(rtr, 0);
    EXPECT_GE(c0c0, 95);
}

TEST_F(ZelkBus, WriteWaitsForRoomThenTimesOut)
{
    // The saturating node (0x555) always wins against 0x7FF: the transmit
    // queue never drains.
    boards("sim:traffic=full,txq=2");
    run(0);
    ASSERT_EQ(ZkSetWriteTout(0, 5), ZK_OK);
    const zk_frame low = frame(0x7FF, 0, {1});
    ASSERT_EQ(ZkWrite(0, &low, 1), 1);
    ASSERT_EQ(ZkWrite(0, &low, 1), 1);
    const uint64_t t0 = zk_sim_now_us();
    EXPECT_EQ(ZkWrite(0, &low, 1), ZK_E_WTOUT);
    EXPECT_EQ(zk_sim_now_us() - t0, 5000u) << "waited the write timeout";
    EXPECT_EQ(errs(0).wtout, 1);
    zk_frame sent[4];
    EXPECT_EQ(zk_sim_sent(0, sent, 4), 2);
    // A frame that wins arbitration frees its place on the next frame
    // boundary, and the waiting write gets in.
    ASSERT_EQ(zk_sim_set_bus(0, 0, "none"), ZK_OK);
    zk_sim_advance_us(1000);
    EXPECT_EQ(zk_sim_tx_pending(0), 0);
    const zk_frame high = frame(0x001, 0, {1, 2, 3, 4, 5, 6, 7, 8});
    ASSERT_EQ(ZkWrite(0, &high, 1), 1);
    ASSERT_EQ(ZkWrite(0, &high, 1), 1);
    const uint64_t t1 = zk_sim_now_us();
    EXPECT_EQ(ZkWrite(0, &high, 1), 1);
    EXPECT_GT(zk_sim_now_us() - t1, 100u);
    EXPECT_LT(zk_sim_now_us() - t1, 300u);
    EXPECT_EQ(errs(0).wtout, 0);
}

TEST_F(ZelkBus, WrongBitRateClimbsToWarningAndBusOff)
{
    boards("sim:traffic=default");
    run(0);
    run(1);
    ASSERT_EQ(ZkSetBaud(0, 0x01, 0x1C), ZK_OK);  // 250k on a 500k bus
    zk_sim_advance_us(500000);
    EXPECT_EQ(read_all(0), 0) << "nothing is received at the wrong rate";
    zk_chipstat st = stat(0);
    EXPECT_GE(st.rec, 96) << "every frame on the bus was a receive error";
    EXPECT_GE(st.bus_state, 1);
    zk_errs e = errs(0);
    EXPECT_EQ(e.ewl, 1);
    EXPECT_EQ(e.boff, 0);

    const zk_frame f = frame(0x42, 0, {1});
    ASSERT_EQ(ZkWrite(0, &f, 1), 1);
    zk_sim_advance_us(20000);
    st = stat(0);
    EXPECT_EQ(st.bus_state, 3);
    e = errs(0);
    EXPECT_EQ(e.boff, 1);
    EXPECT_EQ(ZkWrite(0, &f, 1), ZK_E_BUSOFF);
    // Only the simulated nodes' own traffic reached channel 1.
    static zk_frame buf[1024];
    const int n = ZkRead(1, buf, 1024);
    for (int i = 0; i < n; i++) EXPECT_NE(buf[i].id, 0x42u);

    // Reset clears the error state and the transmit queue and keeps the
    // controller running; at the right rate the channel works again.
    ASSERT_EQ(ZkHwReset(0), ZK_OK);
    st = stat(0);
    EXPECT_EQ(st.bus_state, 0);
    EXPECT_EQ(st.tec, 0);
    EXPECT_EQ(st.rec, 0);
    EXPECT_EQ(st.state, 1);
    EXPECT_EQ(zk_sim_tx_pending(0), 0);
    ASSERT_EQ(ZkSetBaud(0, 0x00, 0x1C), ZK_OK);
    read_all(1);
    ASSERT_EQ(ZkWrite(0, &f, 1), 1);
    zk_sim_advance_us(20000);
    const int m = ZkRead(1, buf, 1024);
    int seen = 0;
    for (int i = 0; i < m; i++) seen += buf[i].id == 0x42u;
    EXPECT_EQ(seen, 1);
    e = errs(0);
    EXPECT_EQ(e.ewl + e.boff, 0);
}

TEST_F(ZelkBus, ListenOnlyAtTheWrongRateKeepsItsCounters)
{
    boards("sim:traffic=default");
    ASSERT_EQ(ZkOpen(0, ZK_OPEN_BOTH), ZK_OK);
    ASSERT_EQ(ZkSetBaud(0, 0x01, 0x1C), ZK_OK);
    ASSERT_EQ(ZkSetLom(0, 1), ZK_OK);
    ASSERT_EQ(ZkStart(0), ZK_OK);
    zk_sim_advance_us(500000);
    EXPECT_EQ(read_all(0), 0);
    EXPECT_EQ(stat(0).rec, 0);
    EXPECT_EQ(errs(0).ewl, 0);
}

TEST_F(ZelkBus, StopAndResetAfterBusOff)
{
    boards("sim:traffic=none");
    run(0);
    ASSERT_EQ(zk_sim_set_error_counters(0, 0, 300), ZK_OK);
    EXPECT_EQ(stat(0).bus_state, 3);
    EXPECT_EQ(errs(0).boff, 1);
    ASSERT_EQ(ZkStop(0), ZK_OK);
    ASSERT_EQ(ZkHwReset(0), ZK_OK);
    EXPECT_EQ(stat(0).state, 0) << "a stopped controller stays stopped";
    EXPECT_EQ(stat(0).bus_state, 0);
    // Starting after bus-off recovers as well.
    ASSERT_EQ(ZkStart(0), ZK_OK);
    ASSERT_EQ(zk_sim_set_error_counters(0, 0, 256), ZK_OK);
    ASSERT_EQ(ZkStop(0), ZK_OK);
    ASSERT_EQ(ZkStart(0), ZK_OK);
    EXPECT_EQ(stat(0).bus_state, 0);
}

}  // namespace
