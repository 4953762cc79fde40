// The channel object over the simulated adapter: a rejected operation
// records nothing, accepted ones record what the library holds, the tx
// log follows successful sends, and boards and channels are enumerated
// across gaps and empty slots.
#include <functional>
#include <string>
#include <vector>

#include "app/platform.h"
#include "sim_channel.h"

namespace {

using coretest::chipstat;
using coretest::make_chan;
using coretest::std_frame;

class Chan : public ::testing::Test {
protected:
    void SetUp() override
    {
        coretest::init_library("0=sim:channels=2,traffic=none");
        chan = make_chan(0);
        ASSERT_GE(ZkOpen(0, ZK_OPEN_BOTH), 0);
    }
    void TearDown() override
    {
        zk_sim_clear_failures();
        ZkClose(0);
    }
    coretest::ChanPtr chan;
};

TEST_F(Chan, RejectedOperationLeavesEveryFieldAsItWas)
{
    // Recorded values that differ from what each operation would record.
    ASSERT_GE(chan->ops.set_baud(chan.get(), 0, 0x01, 0x1C), 0);
    ASSERT_GE(chan->ops.set_filter(chan.get(), 0x100, 0x7FF), 0);
    ASSERT_GE(chan->ops.set_wtout(chan.get(), 40), 0);
    ASSERT_GE(chan->ops.start(chan.get()), 0);

    zk_frame f = std_frame(0x123);
    zk_chipstat st;
    zk_chipstat_text text;
    struct Case {
        const char *function;
        std::function<int32_t()> call;
    };
    nb_chan *c = chan.get();
    const std::vector<Case> cases = {
        {"ZkWriteTout", [&] { return c->ops.set_wtout(c, 100); }},
        {"ZkSetFilter", [&] { return c->ops.set_filter(c, 0x200, 0x700); }},
        {"ZkSetBaud", [&] { return c->ops.set_baud(c, 5, 0x12, 0x34); }},
        {"ZkSetBaud", [&] { return c->ops.set_baud(c, 0, 0x03, 0x1C); }},
        {"ZkStop", [&] { return c->ops.stop(c); }},
        {"ZkHwReset", [&] { return c->ops.hw_reset(c); }},
        {"ZkSetLom", [&] { return c->ops.set_lom(c, 1); }},
        {"ZkWrite", [&] { return c->ops.send_frame(c, &f); }},
        {"ZkChipStat", [&] { return c->ops.chip_stat(c, &st, &text); }},
    };
    for (const Case &k : cases) {
        SCOPED_TRACE(k.function);
        nb_chan before;
        memcpy(&before, c, sizeof before);
        zk_sim_fail_next(k.function, ZK_E_IO);
        EXPECT_EQ(k.call(), ZK_E_IO);
        EXPECT_EQ(memcmp(&before, c, sizeof before), 0);
        EXPECT_EQ(c->txlog->count, 0);
    }
    // And a stopped controller's failed start leaves running at 0.
    ASSERT_GE(chan->ops.stop(c), 0);
    zk_sim_fail_next("ZkStart", ZK_E_IO);
    EXPECT_EQ(chan->ops.start(c), ZK_E_IO);
    EXPECT_EQ(chan->running, 0);
    // The recorded values are still the ones accepted before.
    EXPECT_EQ(chan->baud_index, 0);
    EXPECT_EQ(chan->bt0, 0x01);
    EXPECT_EQ(chan->bt1, 0x1C);
    EXPECT_EQ(chan->acc_code, 0x100u);
    EXPECT_EQ(chan->acc_mask, 0x7FFu);
    EXPECT_EQ(chan->wtout, 40);
}

TEST_F(Chan, AcceptedStateChangesAreRecorded)
{
    EXPECT_GE(chan->ops.start(chan.get()), 0);
    EXPECT_EQ(chan->running, 1);
    EXPECT_EQ(chipstat(0).state != 0, true);
    EXPECT_GE(chan->ops.hw_reset(chan.get()), 0);
    EXPECT_EQ(chan->running, 1);   // a reset does not change the flag
    EXPECT_GE(chan->ops.stop(chan.get()), 0);
    EXPECT_EQ(chan->running, 0);
    EXPECT_GE(chan->ops.set_lom(chan.get(), 5), 0);
    EXPECT_EQ(chan->lom, 1);
    EXPECT_EQ(chipstat(0).lom, 1);
    EXPECT_GE(chan->ops.set_lom(chan.get(), 0), 0);
    EXPECT_EQ(chan->lom, 0);
    EXPECT_EQ(chipstat(0).lom, 0);
}

TEST_F(Chan, WriteTimeoutRecordsWhatTheLibraryReportsBack)
{
    // The board rounds requests up to 10 ms steps and caps them at 100 ms.
    ASSERT_GE(zk_sim_set_wtout_adjust(0, 10, 100), 0);
    EXPECT_GE(chan->ops.set_wtout(chan.get(), 25), 0);
    EXPECT_EQ(chan->wtout, 30);
    EXPECT_GE(chan->ops.set_wtout(chan.get(), 500), 0);
    EXPECT_EQ(chan->wtout, 100);
    uint16_t in_force = 0;
    ASSERT_GE(ZkWriteTout(0, 0, &in_force), 0);
    EXPECT_EQ(in_force, 100);
}

TEST_F(Chan, SentFramesAreLoggedWithTheTimeOfTheWrite)
{
    ASSERT_GE(chan->ops.start(chan.get()), 0);
    zk_frame f = std_frame(0x321, 0xAB);
    f.len = 8;
    for (int i = 1; i < 8; i++)
        f.data[i] = (uint8_t)i;
    uint64_t before = nbsdep_timestamp_get();
    uint32_t clock_before = 0, clock_after = 0;
    ASSERT_GE(ZkGetClock(chan->number, &clock_before), 0);
    ASSERT_GE(chan->ops.send_frame(chan.get(), &f), 0);
    ASSERT_GE(ZkGetClock(chan->number, &clock_after), 0);
    uint64_t after = nbsdep_timestamp_get();

    nb_tx_fd_entry out[2];
    ASSERT_EQ(txlog_drain(chan->txlog, out, 2), 1);
    // The frame as given, its ts on the channel's clock (the time base of
    // received frames) when the library took it.
    uint32_t ts = out[0].frame.ts;
    EXPECT_GE((int32_t)(ts - clock_before), 0);
    EXPECT_GE((int32_t)(clock_after - ts), 0);
    f.ts = ts;
    zk_frame back;
    ASSERT_TRUE(frame_to_classic(&out[0].frame, &back));
    EXPECT_EQ(memcmp(&back, &f, sizeof f), 0);
    EXPECT_GE(out[0].timestamp, before);
    EXPECT_LE(out[0].timestamp, after);
    zk_frame sent[2];
    ASSERT_EQ(zk_sim_sent(0, sent, 2), 1);
    EXPECT_EQ(sent[0].id, 0x321u);

    // A rejected write (listen-only) is returned and not logged.
    ASSERT_GE(chan->ops.set_lom(chan.get(), 1), 0);
    EXPECT_LT(chan->ops.send_frame(chan.get(), &f), 0);
    EXPECT_EQ(chan->txlog->count, 0);
}

TEST_F(Chan, FullOrAbsentTxLogStillSends)
{
    ASSERT_GE(chan->ops.start(chan.get()), 0);
    nb_tx_fd_entry e;
    memset(&e, 0, sizeof e);
    for (int i = 0; i < NB_TXLOG_CAPACITY; i++)
        txlog_append(chan->txlog, &e);
    zk_frame f = std_frame(0x7);
    EXPECT_GE(chan->ops.send_frame(chan.get(), &f), 0);
    EXPECT_EQ(chan->txlog->count, NB_TXLOG_CAPACITY);

    nb_txlog *log = chan->txlog;
    chan->txlog = nullptr;
    EXPECT_GE(chan->ops.send_frame(chan.get(), &f), 0);
    chan->txlog = log;
    zk_frame sent[4];
    EXPECT_EQ(zk_sim_sent(0, sent, 4), 2);
    EXPECT_EQ(chan->ops.send_frame(chan.get(), nullptr), ZK_E_BADARG);
}

TEST_F(Chan, StatusCopiesSettings)
{
    chan->number = 0;
    ASSERT_GE(chan->ops.set_filter(chan.get(), 0x12345678, 0x0FFFFFFF), 0);
    ASSERT_GE(chan->ops.set_baud(chan.get(), 4, 0, 0), 0);
    ASSERT_GE(chan->ops.set_lom(chan.get(), 1), 0);
    nb_chan_status s;
    memset(&s, 0xAA, sizeof s);
    chan->ops.get_status(chan.get(), &s);
    EXPECT_EQ(s.chan, 0);
    EXPECT_EQ(s.running, 0);
    EXPECT_EQ(s.lom, 1);
    EXPECT_EQ(s.acc_code, 0x12345678u);
    EXPECT_EQ(s.acc_mask, 0x0FFFFFFFu);
    EXPECT_EQ(s.baud_index, 4);
    EXPECT_EQ(s.wtout, 20);
    // A classic channel: no CAN FD mode, no data rate.
    EXPECT_EQ(s.fd, 0);
    EXPECT_EQ(s.data_kbit, 0);
}

TEST_F(Chan, ChipStatFillsTextOnlyWhenAsked)
{
    zk_chipstat st;
    memset(&st, 0, sizeof st);
    EXPECT_EQ(chan->ops.chip_stat(chan.get(), &st, nullptr), 0);
    zk_chipstat_text text;
    memset(&text, 0, sizeof text);
    EXPECT_EQ(chan->ops.chip_stat(chan.get(), &st, &text), 0);
    EXPECT_NE(text.name[0][0], '\0');
    // A channel that is not open: the library's code comes back unchanged.
    coretest::ChanPtr other = make_chan(1);
    int16_t direct = ZkChipStat(1, &st);
    if (direct < 0) {
        EXPECT_EQ(other->ops.chip_stat(other.get(), &st, &text), direct);
    }
}

TEST_F(Chan, OpenAndCloseUseTheRecordedSettings)
{
    ZkClose(0);
    chan->baud_index = 6;
    chan->wtout = 50;
    chan->frame_format = 0;   // none chosen yet: opened for both formats
    chan->ops.open(chan.get());
    zk_chipstat st = chipstat(0);
    ASSERT_GE(ZkStart(0), 0);
    zk_frame std11 = std_frame(0x123), ext29 = std_frame(0x1234567);
    ext29.flags = ZK_FRAME_EFF;
    ASSERT_GE(zk_sim_set_bus(0, 250, nullptr), 0);
    EXPECT_EQ(zk_sim_inject(0, &std11), 1);
    EXPECT_EQ(zk_sim_inject(0, &ext29), 1);
    zk_frame got[4];
    EXPECT_EQ(ZkRead(0, got, 4), 2);
    ZkStop(0);
    EXPECT_EQ(st.bt0, 0x01);
    EXPECT_EQ(st.bt1, 0x1C);
    uint16_t wt = 0;
    ASSERT_GE(ZkWriteTout(0, 0, &wt), 0);
    EXPECT_EQ(wt, 50);
    EXPECT_EQ(chan->running, 0);
    EXPECT_GE(chan->ops.close(chan.get()), 0);
    EXPECT_LT(ZkChipStat(0, &st), 0);
    ASSERT_GE(ZkOpen(0, ZK_OPEN_BOTH), 0);   // for TearDown
}

// ------------------------------------------------------------ enumeration

class Boards : public ::testing::Test {
protected:
    void SetUp() override
    {
        // Boards 0, 2 and 7; channels are numbered across them in order:
        // board 0: 0, 1; board 2: 2; board 7: 3, 4 (busy), 5, 6.
        coretest::init_library(
            "0=sim:channels=2,traffic=none;2=sim:channels=1,serial=none,traffic=none;"
            "7=sim:channels=4,busy=1,traffic=none");
        chan = make_chan(0);
    }
    coretest::ChanPtr chan;
};

TEST_F(Boards, BoardsWithGapsAreAllEnumeratedUpToSeven)
{
    nb_board_info b;
    std::vector<int> numbers;
    std::vector<std::string> serials;
    int next = 0, guard = 0;
    while ((next = chan->ops.board_next(next, &b)) != 0 && guard++ < 10) {
        numbers.push_back(b.b.number);
        serials.push_back(b.serial);
        EXPECT_EQ(next, b.b.number + 1);
    }
    EXPECT_EQ(numbers, (std::vector<int>{0, 2, 7}));
    EXPECT_EQ(serials, (std::vector<std::string>{"SIM-0", "", "SIM-7"}));
    EXPECT_EQ(chan->ops.board_next(8, &b), 0);
    EXPECT_EQ(chan->ops.board_next(3, &b), 8);
}

TEST_F(Boards, ChannelsOfABoardWithBusyFlags)
{
    nb_board_info b;
    ASSERT_EQ(chan->ops.board_next(7, &b), 8);
    std::vector<std::pair<int, int>> found;
    nb_chan_slot slot;
    int next = 0;
    while ((next = chan->ops.chan_next(next, &b, &slot)) != 0)
        found.push_back({slot.number, slot.busy});
    EXPECT_EQ(found, (std::vector<std::pair<int, int>>{{3, 0}, {4, 1}, {5, 0}, {6, 0}}));

    // A channel this process holds open is busy too; probing leaves the
    // free ones closed.
    ASSERT_GE(ZkOpen(5, ZK_OPEN_STD), 0);
    found.clear();
    while ((next = chan->ops.chan_next(next, &b, &slot)) != 0)
        found.push_back({slot.number, slot.busy});
    EXPECT_EQ(found, (std::vector<std::pair<int, int>>{{3, 0}, {4, 1}, {5, 1}, {6, 0}}));
    ZkClose(5);
    EXPECT_GE(ZkOpen(3, ZK_OPEN_STD), 0);
    ZkClose(3);
}

TEST_F(Boards, EmptySlotsAreSkipped)
{
    nb_board_info b;
    memset(&b, 0, sizeof b);
    b.b.chip[0] = -1;
    b.b.chip[1] = 2;
    b.b.chip[2] = -1;
    b.b.chip[3] = 0;
    nb_chan_slot slot;
    EXPECT_EQ(chan->ops.chan_next(0, &b, &slot), 2);
    EXPECT_EQ(slot.number, 2);
    EXPECT_EQ(chan->ops.chan_next(2, &b, &slot), 4);
    EXPECT_EQ(slot.number, 0);
    EXPECT_EQ(chan->ops.chan_next(4, &b, &slot), 0);
    b.b.chip[3] = -5;
    EXPECT_EQ(chan->ops.chan_next(2, &b, &slot), 0);
}

TEST_F(Boards, FindBoardDescribesTheCarrierOrLeavesNothingBehind)
{
    nb_board_info b;
    memset(&b, 0xAB, sizeof b);
    ASSERT_EQ(chan->ops.find_board(4, &b), 0);
    EXPECT_EQ(b.b.number, 7);
    EXPECT_STREQ(b.serial, "SIM-7");
    ASSERT_EQ(chan->ops.find_board(2, &b), 0);
    EXPECT_EQ(b.b.number, 2);
    EXPECT_STREQ(b.serial, "");
    ASSERT_EQ(chan->ops.find_board(1, &b), 0);
    EXPECT_EQ(b.b.number, 0);

    // No board carries it: the record is left zeroed, not stale.
    memset(&b, 0xAB, sizeof b);
    EXPECT_EQ(chan->ops.find_board(99, &b), -1);
    nb_board_info zero;
    memset(&zero, 0, sizeof zero);
    EXPECT_EQ(memcmp(&b, &zero, sizeof b), 0);
    // An empty slot's negative number never matches.
    EXPECT_EQ(chan->ops.find_board(-1, &b), -1);
}

}  // namespace
