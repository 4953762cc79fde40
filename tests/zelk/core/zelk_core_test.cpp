// The library's channel operations through its public header, over the
// simulated board: results, settings in force, status and texts.
#include "zelk_fixture.h"

#include <set>

extern "C" unsigned long zktest_c_version(void);

using namespace zktest;

namespace {

TEST(ZelkApi, VersionWordFromCAndCpp)
{
    EXPECT_EQ(ZkGetLibVer(), (uint32_t(ZK_VERSION_MAJOR) << 16) | (ZK_VERSION_MINOR << 8) |
                                 ZK_VERSION_PATCH);
    EXPECT_EQ(zktest_c_version(), ZkGetLibVer());
}

// The FD length table of zelk.h both ways for every code; a length
// between two FD lengths, or past 64, takes the next code up.
TEST(ZelkApi, FdLengthTableBothWaysAndInBetweenRoundsUp)
{
    const uint8_t lens[16] = {0, 1, 2, 3, 4, 5, 6, 7, 8, 12, 16, 20, 24, 32, 48, 64};
    for (unsigned dlc = 0; dlc < 16; dlc++) {
        EXPECT_EQ(zk_fd_len(dlc), lens[dlc]) << dlc;
        EXPECT_EQ(zk_fd_dlc(lens[dlc]), dlc) << dlc;
    }
    EXPECT_EQ(zk_fd_len(16 + 9), 12) << "only the low four bits count";
    for (unsigned len = 0; len <= 70; len++) {
        unsigned dlc = 0;
        while (dlc < 15 && lens[dlc] < len) dlc++;
        EXPECT_EQ(zk_fd_dlc(len), dlc) << len;
        EXPECT_EQ(zk_fd_round_len(len), lens[dlc]) << len;
    }
    EXPECT_EQ(zk_fd_round_len(9), 12);
    EXPECT_EQ(zk_fd_round_len(49), 64);
    EXPECT_EQ(zk_fd_round_len(255), 64);
}

TEST(ZelkApi, ErrorTextsAreDistinctAndUnknownCodesSaySo)
{
    std::set<std::string> texts;
    for (int16_t code = -1; code >= ZK_E_BADLEN; code--) {
        std::string t = strerror_of(code);
        EXPECT_FALSE(t.empty()) << code;
        EXPECT_EQ(t.find("unknown"), std::string::npos) << code << ": " << t;
        texts.insert(t);
    }
    EXPECT_EQ(texts.size(), size_t(-ZK_E_BADLEN));
    std::string unknown = strerror_of(-123);
    EXPECT_NE(unknown.find("unknown"), std::string::npos);
    EXPECT_NE(unknown.find("-123"), std::string::npos);
    // Cut to the buffer and terminated.
    char small[8];
    memset(small, 'x', sizeof small);
    EXPECT_EQ(ZkStrError(ZK_E_BUSY, small, sizeof small), ZK_OK);
    EXPECT_EQ(strlen(small), 7u);
    EXPECT_EQ(ZkStrError(ZK_E_BUSY, nullptr, 10), ZK_E_BADARG);
}

TEST(ZelkApi, CallsBeforeInitOrOnMissingChannels)
{
    setenv("ZELK_BOARDS", "nosuchkind", 1);
    EXPECT_EQ(ZkInit(), ZK_E_CONFIG);
    EXPECT_EQ(ZkOpen(0, ZK_OPEN_BOTH), ZK_E_NOTINIT);
    unsetenv("ZELK_BOARDS");
    ASSERT_EQ(ZkInit(), ZK_OK);
    EXPECT_EQ(ZkOpen(2, ZK_OPEN_BOTH), ZK_E_NOCHAN);
    EXPECT_EQ(ZkStart(0), ZK_E_NOTOPEN);
    zk_frame f;
    EXPECT_EQ(ZkRead(0, &f, 1), ZK_E_NOTOPEN);
    EXPECT_EQ(ZkOpen(0, 3), ZK_E_BADARG);
    EXPECT_EQ(ZkOpen(0, 8), ZK_E_BADARG);
}

class ZelkChan : public Zelk {};

TEST_F(ZelkChan, RegisterPairsGiveTheirBitRates)
{
    boards("sim:traffic=none");
    ASSERT_EQ(ZkOpen(0, ZK_OPEN_BOTH), ZK_OK);
    EXPECT_EQ(stat(0).bitrate, 500000u) << "initial rate is the bus rate";
    const struct { uint8_t bt0, bt1; uint32_t rate; } pairs[] = {
        {0x31, 0x1C, 10000}, {0x18, 0x1C, 20000}, {0x09, 0x1C, 50000},
        {0x04, 0x1C, 100000}, {0x03, 0x1C, 125000}, {0x01, 0x1C, 250000},
        {0x00, 0x1C, 500000}, {0x00, 0x16, 800000}, {0x00, 0x14, 1000000},
        {0x43, 0x23, 250000},  // other pairs decode by the same formula
        {0xC1, 0x9C, 250000},  // SJW and sampling bits do not change the rate
        {0x05, 0x1C, 83333},
    };
    for (const auto &p : pairs) {
        ASSERT_EQ(ZkSetBaud(0, p.bt0, p.bt1), ZK_OK);
        zk_chipstat st = stat(0);
        EXPECT_EQ(st.bitrate, p.rate) << std::hex << int(p.bt0) << "/" << int(p.bt1);
        EXPECT_EQ(st.bt0, p.bt0);
        EXPECT_EQ(st.bt1, p.bt1);
    }
    // zelk.h's CiA table holds the first nine pairs, in order.
    for (int i = 0; i < ZK_CIA_RATES; i++) {
        EXPECT_EQ(zk_cia_rate_at(i)->bt0, pairs[i].bt0) << i;
        EXPECT_EQ(zk_cia_rate_at(i)->bt1, pairs[i].bt1) << i;
        EXPECT_EQ(zk_cia_rate_at(i)->kbit * 1000u, pairs[i].rate) << i;
        EXPECT_EQ(zk_cia_index(pairs[i].rate / 1000), i);
    }
    EXPECT_FALSE(zk_cia_rate_at(-1) || zk_cia_rate_at(ZK_CIA_RATES));
    EXPECT_EQ(zk_cia_index(83), -1);
    EXPECT_EQ(zk_cia_index(0), -1);
    // 2 Mbit/s is beyond CAN: refused, the previous rate stays.
    EXPECT_EQ(ZkSetBaud(0, 0x00, 0x10), ZK_E_NORATE);
    EXPECT_EQ(stat(0).bitrate, 83333u);
}

TEST_F(ZelkChan, AcceptanceFilterCompareOnlyMaskedBits)
{
    boards("sim:traffic=none");
    run(0);
    auto passes = [&](uint32_t id, uint8_t flags) {
        zk_frame f = frame(id, flags, {1});
        return zk_sim_inject(0, &f) == 1;
    };
    EXPECT_TRUE(passes(0x7FF, 0)) << "mask 0 accepts everything";
    EXPECT_TRUE(passes(0x1ABCDEF0, ZK_FRAME_EFF));
    ASSERT_EQ(ZkSetFilter(0, 0x120, 0x7F0), ZK_OK);
    EXPECT_TRUE(passes(0x120, 0));
    EXPECT_TRUE(passes(0x12F, 0));
    EXPECT_FALSE(passes(0x130, 0));
    EXPECT_FALSE(passes(0x520, 0));
    ASSERT_EQ(ZkSetFilter(0, 0x18FEF100, 0x1FFFFF00), ZK_OK);
    EXPECT_TRUE(passes(0x18FEF1AA, ZK_FRAME_EFF));
    EXPECT_FALSE(passes(0x18FEF2AA, ZK_FRAME_EFF));
    EXPECT_EQ(read_all(0), 5);
    // A refused filter leaves the previous one in force.
    zk_sim_fail_next("ZkSetFilter", ZK_E_IO);
    EXPECT_EQ(ZkSetFilter(0, 0, 0), ZK_E_IO);
    EXPECT_FALSE(passes(0x18FEF2AA, ZK_FRAME_EFF));
}

TEST_F(ZelkChan, FrameFormatsOfTheOpenFlags)
{
    boards("sim:traffic=none");
    const zk_frame std_f = frame(0x123, 0, {1, 2});
    const zk_frame ext_f = frame(0x123, ZK_FRAME_EFF, {1, 2});
    run(0, ZK_OPEN_STD);
    run(1, ZK_OPEN_EXT);
    EXPECT_EQ(zk_sim_inject(0, &std_f), 1);
    EXPECT_EQ(zk_sim_inject(0, &ext_f), 1);
    zk_frame got;
    ASSERT_EQ(ZkRead(0, &got, 1), 1);
    EXPECT_EQ(got.flags, 0);
    ASSERT_EQ(ZkRead(1, &got, 1), 1);
    EXPECT_EQ(got.flags, ZK_FRAME_EFF);
    EXPECT_EQ(ZkWrite(0, &ext_f, 1), ZK_E_FORMAT);
    EXPECT_EQ(ZkWrite(1, &std_f, 1), ZK_E_FORMAT);
    EXPECT_EQ(ZkWrite(0, &std_f, 1), 1);
    EXPECT_EQ(ZkWrite(1, &ext_f, 1), 1);
    // Frames that do not fit the format are refused, not cut.
    zk_frame bad = frame(0x800);
    EXPECT_EQ(ZkWrite(0, &bad, 1), ZK_E_BADARG);
    bad = frame(0x123);
    bad.len = 9;
    EXPECT_EQ(ZkWrite(0, &bad, 1), ZK_E_BADARG);
    zk_frame sent[4];
    EXPECT_EQ(zk_sim_sent(0, sent, 4), 1);
}

TEST_F(ZelkChan, ListenOnlyReceivesButNeverSends)
{
    boards("sim:traffic=none");
    ASSERT_EQ(ZkOpen(0, ZK_OPEN_BOTH), ZK_OK);
    ASSERT_EQ(ZkSetLom(0, 1), ZK_OK);
    ASSERT_EQ(ZkStart(0), ZK_OK);
    const zk_frame f = frame(0x10, 0, {0xAA});
    EXPECT_EQ(ZkWrite(0, &f, 1), ZK_E_LOM);
    EXPECT_EQ(zk_sim_inject(0, &f), 1);
    EXPECT_EQ(stat(0).lom, 1);
    ASSERT_EQ(ZkSetLom(0, 0), ZK_OK);
    EXPECT_EQ(ZkWrite(0, &f, 1), 1);
}

TEST_F(ZelkChan, StoppedControllerNeitherReceivesNorSends)
{
    boards("sim:traffic=none");
    ASSERT_EQ(ZkOpen(0, ZK_OPEN_BOTH), ZK_OK);
    const zk_frame f = frame(0x10, 0, {1});
    EXPECT_EQ(ZkWrite(0, &f, 1), ZK_E_NOTSTARTED);
    EXPECT_EQ(zk_sim_inject(0, &f), 0);
    ASSERT_EQ(ZkStart(0), ZK_OK);
    EXPECT_EQ(stat(0).state, 1);
    EXPECT_EQ(zk_sim_inject(0, &f), 1);
    ASSERT_EQ(ZkStop(0), ZK_OK);
    EXPECT_EQ(stat(0).state, 0);
    EXPECT_EQ(zk_sim_inject(0, &f), 0);
    // What was queued before the stop can still be read.
    EXPECT_EQ(read_all(0), 1);
    zk_sim_fail_next("ZkStart", ZK_E_IO);
    EXPECT_EQ(ZkStart(0), ZK_E_IO);
    EXPECT_EQ(stat(0).state, 0) << "a failed start changes nothing";
}

TEST_F(ZelkChan, CyclicJobsAreCheckedAsWritesThenLeftToAdaptersThatCanSendAlone)
{
    boards("sim:traffic=none");
    ASSERT_EQ(ZkOpen(0, ZK_OPEN_STD), ZK_OK);
    zk_fdframe f{};
    f.id = 0x123;
    f.len = 1;
    uint32_t sent = 0;
    EXPECT_EQ(ZkCyclicSet(0, &f, 1, 10000), ZK_E_NOTSTARTED);
    ASSERT_EQ(ZkStart(0), ZK_OK);
    EXPECT_EQ(ZkCyclicSet(0, nullptr, 1, 10000), ZK_E_BADARG);
    EXPECT_EQ(ZkCyclicSet(0, &f, 0, 10000), ZK_E_BADARG);
    EXPECT_EQ(ZkCyclicSet(0, &f, 1, 99), ZK_E_BADARG);
    EXPECT_EQ(ZkCyclicSent(0, 0x123, 0, nullptr), ZK_E_BADARG);
    zk_fdframe ext = f;
    ext.flags = ZK_FRAME_EFF;
    EXPECT_EQ(ZkCyclicSet(0, &ext, 1, 10000), ZK_E_FORMAT);
    zk_fdframe fd = f;
    fd.flags = ZK_FRAME_FDF;
    EXPECT_EQ(ZkCyclicSet(0, &fd, 1, 10000), ZK_E_NOFD);
    // The simulated board sends nothing by itself.
    EXPECT_EQ(ZkCyclicSet(0, &f, 1, 10000), ZK_E_UNSUPPORTED);
    EXPECT_EQ(ZkCyclicSent(0, 0x123, 0, &sent), ZK_E_UNSUPPORTED);
    EXPECT_EQ(ZkCyclicStop(0, 0x123, 0, &sent), ZK_E_UNSUPPORTED);
    ASSERT_EQ(ZkSetLom(0, 1), ZK_OK);
    EXPECT_EQ(ZkCyclicSet(0, &f, 1, 10000), ZK_E_LOM);
}

TEST_F(ZelkChan, WriteTimeoutIsAdjustedAndReportedBack)
{
    boards("sim:traffic=none,wtstep=10,wtmax=500");
    ASSERT_EQ(ZkOpen(0, ZK_OPEN_BOTH), ZK_OK);
    uint16_t ms = 25;
    ASSERT_EQ(ZkWriteTout(0, 1, &ms), ZK_OK);
    EXPECT_EQ(ms, 30);
    ms = 0;
    ASSERT_EQ(ZkWriteTout(0, 0, &ms), ZK_OK);
    EXPECT_EQ(ms, 30);
    ASSERT_EQ(ZkSetWriteTout(0, 2000), ZK_OK);
    ASSERT_EQ(ZkWriteTout(0, 0, &ms), ZK_OK);
    EXPECT_EQ(ms, 500);
    ASSERT_EQ(zk_sim_set_wtout_adjust(0, 0, 0), ZK_OK);
    ms = 7;
    ASSERT_EQ(ZkWriteTout(0, 1, &ms), ZK_OK);
    EXPECT_EQ(ms, 7);
    EXPECT_EQ(ZkWriteTout(0, 1, nullptr), ZK_E_BADARG);
}

TEST_F(ZelkChan, ChipStatusAndItsText)
{
    boards("sim:traffic=none,serial=AB-17");
    ASSERT_EQ(ZkOpen(1, ZK_OPEN_BOTH), ZK_OK);
    ASSERT_EQ(ZkSetBaud(1, 0x03, 0x1C), ZK_OK);
    ASSERT_EQ(ZkStart(1), ZK_OK);
    zk_chipstat st = stat(1);
    EXPECT_EQ(st.chan, 1);
    EXPECT_EQ(st.board, 0);
    EXPECT_EQ(st.irq, -1);
    EXPECT_EQ(st.state, 1);
    zk_chipstat_text text;
    memset(&text, 'x', sizeof text);
    ASSERT_EQ(ZkChipStatToStr(&st, &text), ZK_OK);
    int chip = -1, n = 0;
    for (; n < 32 && text.name[n][0]; n++) {
        ASSERT_NE(memchr(text.name[n], 0, 16), nullptr);
        ASSERT_NE(memchr(text.value[n], 0, 16), nullptr);
        if (strcmp(text.name[n], "CAN chip") == 0) chip = n;
    }
    ASSERT_GT(chip, 0) << "board entries come first";
    EXPECT_STREQ(text.value[chip], "SJA1000 (sim)");
    auto value_of = [&](const char *name) -> std::string {
        for (int i = chip + 1; i < n; i++)
            if (strcmp(text.name[i], name) == 0) return text.value[i];
        return "<missing>";
    };
    EXPECT_EQ(value_of("Mode"), "normal");
    EXPECT_EQ(value_of("Bit rate"), "125 kbit/s");
    EXPECT_EQ(value_of("Bus state"), "error active");
    EXPECT_EQ(value_of("TX errors"), "0");
    EXPECT_EQ(value_of("RX errors"), "0");
    bool serial = false;
    for (int i = 0; i < chip; i++) serial |= strcmp(text.value[i], "AB-17") == 0;
    EXPECT_TRUE(serial);
}

TEST_F(ZelkChan, BoardInfoSerialAndBusySlots)
{
    boards("sim:traffic=none,busy=1,name=Bench rig;sim:channels=1,serial=none");
    zk_board b{};
    b.number = 0;
    ASSERT_EQ(ZkBoardInfo(&b), ZK_OK);
    EXPECT_STREQ(b.name, "Bench rig");
    EXPECT_EQ(b.chip[0], 0);
    EXPECT_EQ(b.chip[1], 1);
    EXPECT_LT(b.chip[2], 0);
    b.number = 1;
    ASSERT_EQ(ZkBoardInfo(&b), ZK_OK);
    EXPECT_EQ(b.chip[0], 2);
    EXPECT_LT(b.chip[1], 0);
    b.number = 2;
    EXPECT_EQ(ZkBoardInfo(&b), ZK_E_NOBOARD);
    b.number = 200;
    EXPECT_EQ(ZkBoardInfo(&b), ZK_E_NOBOARD);
    char serial[256];
    ASSERT_EQ(ZkBoardGetSerial(0, serial, sizeof serial), ZK_OK);
    EXPECT_STREQ(serial, "SIM-0");
    EXPECT_EQ(ZkBoardGetSerial(1, serial, sizeof serial), ZK_E_NOSERIAL);
    EXPECT_STREQ(serial, "");
    EXPECT_EQ(ZkOpen(1, ZK_OPEN_PROBE), ZK_E_BUSY);
    EXPECT_EQ(ZkOpen(1, ZK_OPEN_BOTH), ZK_E_BUSY);
    EXPECT_EQ(ZkOpen(0, ZK_OPEN_PROBE), ZK_OK);
}

TEST_F(ZelkChan, ArmedFailuresFailOnceAndChangeNothing)
{
    boards("sim:traffic=none");
    zk_sim_fail_next("ZkOpen", ZK_E_NODEV);
    EXPECT_EQ(ZkOpen(0, ZK_OPEN_BOTH), ZK_E_NODEV);
    ASSERT_EQ(ZkOpen(0, ZK_OPEN_BOTH), ZK_OK) << "the failed open took no lock";
    zk_sim_fail_next("ZkSetBaud", ZK_E_IO);
    zk_sim_fail_next("ZkSetBaud", ZK_E_NORATE);
    EXPECT_EQ(ZkSetBaud(0, 0x01, 0x1C), ZK_E_IO);
    EXPECT_EQ(ZkSetBaud(0, 0x01, 0x1C), ZK_E_NORATE);
    EXPECT_EQ(stat(0).bitrate, 500000u);
    EXPECT_EQ(ZkSetBaud(0, 0x01, 0x1C), ZK_OK);
    zk_sim_fail_next("ZkErrsGetClear", ZK_E_IO);
    zk_errs e{1, 1, 1, 1, 1};
    EXPECT_EQ(ZkErrsGetClear(0, &e), ZK_E_IO);
    EXPECT_EQ(e.ewl, 1) << "untouched";
    zk_sim_fail_next("ZkRead", ZK_E_IO);
    zk_sim_clear_failures();
    zk_frame f;
    EXPECT_EQ(ZkRead(0, &f, 1), 0);
}

TEST_F(ZelkChan, ErrorCountersAreReturnedOnceThenCleared)
{
    boards("sim:traffic=none");
    ASSERT_EQ(ZkOpen(0, ZK_OPEN_BOTH), ZK_OK);
    const zk_errs add{1, 2, 3, 4, 5};
    ASSERT_EQ(zk_sim_inject_errors(0, &add), ZK_OK);
    ASSERT_EQ(zk_sim_inject_errors(0, &add), ZK_OK);
    zk_errs e = errs(0);
    EXPECT_EQ(e.ewl, 2);
    EXPECT_EQ(e.boff, 4);
    EXPECT_EQ(e.hovr, 6);
    EXPECT_EQ(e.sovr, 8);
    EXPECT_EQ(e.wtout, 10);
    e = errs(0);
    EXPECT_EQ(e.ewl + e.boff + e.hovr + e.sovr + e.wtout, 0);
    // The overrun totals since open stay in the status.
    zk_chipstat st = stat(0);
    EXPECT_EQ(st.hovr, 6u);
    EXPECT_EQ(st.sovr, 8u);
    EXPECT_EQ(ZkErrsGetClear(0, nullptr), ZK_E_BADARG);
    // A reopened channel starts from zero.
    ASSERT_EQ(ZkClose(0), ZK_OK);
    ASSERT_EQ(ZkOpen(0, ZK_OPEN_BOTH), ZK_OK);
    EXPECT_EQ(stat(0).sovr, 0u);
}

}  // namespace
