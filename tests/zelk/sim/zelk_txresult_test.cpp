// Transmit results: the run queue itself, and the fates the simulated bus
// gives the frames written to it.
#include "zelk_fixture.h"

#include "core/txlog.h"

#include <vector>

namespace {

using namespace zktest;

std::vector<zk_txresult> results(uint8_t chan)
{
    std::vector<zk_txresult> out;
    zk_txresult buf[4];
    for (int16_t n; (n = ZkTxResults(chan, buf, 4)) > 0;) out.insert(out.end(), buf, buf + n);
    return out;
}

void expect_run(const zk_txresult &r, uint32_t seq, uint16_t count, uint8_t status)
{
    EXPECT_EQ(r.seq, seq);
    EXPECT_EQ(r.count, count);
    EXPECT_EQ(r.status, status);
    EXPECT_EQ(r.reserved, 0);
}

TEST(TxRuns, RunsGrowSplitWrapAndAFullQueueLeavesAGap)
{
    zk_txresult runs[3];
    zk_txresult out[4];
    zk::tx_log t;
    zk::tx_reset(t, runs, 3);
    // Numbers wrap at 2^32; a run grows across the wrap.
    t.accepted = t.settled = 0xFFFFFFFEu;
    t.accepted += 5;
    EXPECT_EQ(zk::tx_settle(t, ZK_TX_SENT, 2, 10), 2u);
    EXPECT_EQ(zk::tx_settle(t, ZK_TX_SENT, 1, 20), 1u);
    EXPECT_EQ(zk::tx_settle(t, ZK_TX_DROPPED, zk::ZK_TX_ALL, 30), 2u) << "cut to the outstanding";
    EXPECT_EQ(zk::tx_settle(t, ZK_TX_SENT, 1, 40), 0u) << "nothing outstanding";
    ASSERT_EQ(zk::tx_take(t, out, 4), 2);
    expect_run(out[0], 0xFFFFFFFEu, 3, ZK_TX_SENT);
    EXPECT_EQ(out[0].ts, 20u) << "the time of the run's last frame";
    expect_run(out[1], 1, 2, ZK_TX_DROPPED);
    EXPECT_EQ(t.dropped, 2u);

    // 70000 frames of one fate: a full run and the rest.
    t.accepted += 70000;
    zk::tx_settle(t, ZK_TX_HANDED, 70000, 50);
    ASSERT_EQ(zk::tx_take(t, out, 4), 2);
    expect_run(out[0], 3, 65535, ZK_TX_HANDED);
    expect_run(out[1], 3 + 65535, 70000 - 65535, ZK_TX_HANDED);

    // Unread runs fill the queue: fates that no longer fit are skipped,
    // the next run's seq shows the gap, the drops still count.
    const uint32_t base = t.settled;
    t.accepted += 6;
    const uint8_t fates[] = {ZK_TX_SENT, ZK_TX_DROPPED, ZK_TX_SENT, ZK_TX_DROPPED, ZK_TX_SENT};
    for (uint8_t f : fates) zk::tx_settle(t, f, 1, 60);
    EXPECT_EQ(t.skipped, 2u);
    EXPECT_EQ(t.dropped, 4u);
    ASSERT_EQ(zk::tx_take(t, out, 4), 3);
    expect_run(out[2], base + 2, 1, ZK_TX_SENT);
    zk::tx_settle(t, ZK_TX_SENT, 1, 70);
    ASSERT_EQ(zk::tx_take(t, out, 4), 1);
    expect_run(out[0], base + 5, 1, ZK_TX_SENT);

    // A write that failed after all takes its number back, and its fate
    // when the device was lost meanwhile.
    t.accepted++;
    zk::tx_settle(t, ZK_TX_DROPPED, 1, 80);
    zk::tx_unaccept(t);
    EXPECT_EQ(zk::tx_take(t, out, 4), 0);
    EXPECT_EQ(t.dropped, 4u);
    EXPECT_EQ(t.accepted, t.settled);

    // Without runs kept only the counts move.
    zk::tx_reset(t, nullptr, 0);
    t.accepted = 2;
    EXPECT_EQ(zk::tx_settle(t, ZK_TX_DROPPED, 2, 0), 2u);
    EXPECT_EQ(t.dropped, 2u);
    EXPECT_EQ(zk::tx_take(t, out, 4), 0);
}

class ZelkTx : public Zelk {};

TEST_F(ZelkTx, WrongRateGoesBusOffAndDropsEveryFrameOnceThenTheRightRateSends)
{
    boards("sim:traffic=none,txq=8");
    run(0, ZK_OPEN_BOTH | ZK_OPEN_TXRESULT);
    run(1);
    ASSERT_EQ(ZkSetBaud(0, 0x01, 0x1C), ZK_OK);  // 250k on a 500k bus
    const zk_frame f = frame(0x42, 0, {1, 2});
    for (int i = 0; i < 5; i++) ASSERT_EQ(ZkWrite(0, &f, 1), 1);
    EXPECT_TRUE(results(0).empty()) << "retried, not settled yet";
    zk_sim_advance_us(20000);
    zk_chipstat st = stat(0);
    EXPECT_EQ(st.bus_state, 3);
    std::vector<zk_txresult> r = results(0);
    ASSERT_EQ(r.size(), 1u);
    expect_run(r[0], 0, 5, ZK_TX_DROPPED);
    EXPECT_LE(r[0].ts, uint32_t(zk_sim_now_us()));
    st = stat(0);
    EXPECT_EQ(st.tx_dropped, 5u);
    EXPECT_EQ(st.ack_errors, 32u) << "from tec 0 to bus-off in steps of 8";
    zk_chipstat_text text;
    ASSERT_EQ(ZkChipStatToStr(&st, &text), ZK_OK);
    bool named = false;
    for (int i = 0; i < 32 && text.name[i][0]; i++)
        if (strcmp(text.name[i], "ACK errors") == 0) named = strcmp(text.value[i], "32") == 0;
    EXPECT_TRUE(named);
    zk_sim_advance_us(20000);
    EXPECT_TRUE(results(0).empty()) << "each frame once";

    // At the right rate every frame is sent, at the time it ended on the
    // bus: the receive time channel 1 gives it.
    ASSERT_EQ(ZkHwReset(0), ZK_OK);
    ASSERT_EQ(ZkSetBaud(0, 0x00, 0x1C), ZK_OK);
    read_all(1);
    uint32_t last_ts = 0;
    for (uint32_t i = 0; i < 3; i++) {
        ASSERT_EQ(ZkWrite(0, &f, 1), 1);
        zk_sim_advance_us(1000);
        r = results(0);
        ASSERT_EQ(r.size(), 1u);
        expect_run(r[0], 5 + i, 1, ZK_TX_SENT);
        zk_frame got;
        ASSERT_EQ(ZkRead(1, &got, 1), 1);
        EXPECT_EQ(r[0].ts, got.ts);
        EXPECT_GT(r[0].ts, last_ts);
        last_ts = r[0].ts;
    }
    EXPECT_EQ(stat(0).tx_dropped, 5u);
    EXPECT_EQ(stat(0).ack_errors, 32u);
}

TEST_F(ZelkTx, StopAndResetDropWhatIsQueuedAndNumbersGoOn)
{
    // A node that always has a frame of higher priority ready: ours wait.
    boards("sim:traffic=full,txq=4");
    run(0, ZK_OPEN_BOTH | ZK_OPEN_TXRESULT);
    const zk_frame low = frame(0x7FF, 0, {1});
    ASSERT_EQ(ZkSetWriteTout(0, 0), ZK_OK);
    for (int i = 0; i < 4; i++) ASSERT_EQ(ZkWrite(0, &low, 1), 1);
    EXPECT_EQ(ZkWrite(0, &low, 1), ZK_E_WTOUT) << "not accepted: no number";
    zk_sim_advance_us(5000);
    EXPECT_TRUE(results(0).empty());
    const uint64_t t_stop = zk_sim_now_us();
    ASSERT_EQ(ZkStop(0), ZK_OK);
    EXPECT_EQ(zk_sim_tx_pending(0), 0);
    std::vector<zk_txresult> r = results(0);
    ASSERT_EQ(r.size(), 1u);
    expect_run(r[0], 0, 4, ZK_TX_DROPPED);
    EXPECT_EQ(r[0].ts, uint32_t(t_stop));

    // Started again: two more queued, then a reset gives them up too.
    ASSERT_EQ(ZkStart(0), ZK_OK);
    ASSERT_EQ(ZkWrite(0, &low, 1), 1);
    ASSERT_EQ(ZkWrite(0, &low, 1), 1);
    ASSERT_EQ(ZkHwReset(0), ZK_OK);
    // The bus goes quiet: the next frame goes out.
    ASSERT_EQ(zk_sim_set_bus(0, 0, "none"), ZK_OK);
    ASSERT_EQ(ZkWrite(0, &low, 1), 1);
    zk_sim_advance_us(1000);
    r = results(0);
    ASSERT_EQ(r.size(), 2u);
    expect_run(r[0], 4, 2, ZK_TX_DROPPED);
    expect_run(r[1], 6, 1, ZK_TX_SENT);
    EXPECT_EQ(stat(0).tx_dropped, 6u);
    EXPECT_EQ(stat(0).ack_errors, 0u);

    // Opened again: numbers start from 0.
    ASSERT_EQ(ZkClose(0), ZK_OK);
    run(0, ZK_OPEN_BOTH | ZK_OPEN_TXRESULT);
    ASSERT_EQ(ZkWrite(0, &low, 1), 1);
    zk_sim_advance_us(1000);
    r = results(0);
    ASSERT_EQ(r.size(), 1u);
    expect_run(r[0], 0, 1, ZK_TX_SENT);
}

TEST_F(ZelkTx, WithoutTheFlagNothingIsKeptButDropsAreCounted)
{
    boards("sim:traffic=full,txq=4");
    run(0);
    zk_txresult r;
    EXPECT_EQ(ZkTxResults(0, &r, 1), ZK_E_BADARG);
    EXPECT_NE(strerror_of(ZK_E_BADARG).find("ZK_OPEN_TXRESULT"), std::string::npos);
    const zk_frame low = frame(0x7FF);
    ASSERT_EQ(ZkWrite(0, &low, 1), 1);
    ASSERT_EQ(ZkStop(0), ZK_OK);
    EXPECT_EQ(stat(0).tx_dropped, 1u);
    ASSERT_EQ(ZkClose(0), ZK_OK);
    // The flag goes with any format and FD; alone it is no format.
    EXPECT_EQ(ZkOpen(0, ZK_OPEN_TXRESULT), ZK_E_BADARG);
    ASSERT_EQ(ZkOpen(0, ZK_OPEN_EXT | ZK_OPEN_FD | ZK_OPEN_TXRESULT), ZK_OK);
    EXPECT_EQ(ZkTxResults(0, &r, 1), 0);
    EXPECT_EQ(ZkTxResults(0, nullptr, 1), ZK_E_BADARG);
}

}  // namespace
