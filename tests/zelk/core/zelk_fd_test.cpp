// CAN FD through the library over the simulated board: FD and classic
// frames between channels, what a classic reader gets, refusals, the data
// rate, and the frame rate of a saturated FD bus.
#include "zelk_fixture.h"

#include <cmath>
#include <vector>

using namespace zktest;

namespace {

const uint8_t kFdLens[] = {0, 1, 2, 3, 4, 5, 6, 7, 8, 12, 16, 20, 24, 32, 48, 64};

zk_fdframe fdframe(uint32_t id, uint8_t flags, uint8_t len, uint8_t seed = 0)
{
    zk_fdframe f;
    memset(&f, 0, sizeof f);
    f.id = id;
    f.flags = flags;
    f.len = len;
    if (!(flags & ZK_FRAME_RTR))
        for (int i = 0; i < len && i < 64; i++) f.data[i] = uint8_t(seed + i * 37);
    return f;
}

std::vector<zk_fdframe> read_fd(uint8_t chan)
{
    std::vector<zk_fdframe> out;
    zk_fdframe buf[256];
    for (int16_t n; (n = ZkReadFd(chan, buf, 256)) > 0;) out.insert(out.end(), buf, buf + n);
    return out;
}

class ZelkFd : public Zelk {
protected:
    void run_fd(uint8_t chan)
    {
        ASSERT_EQ(ZkOpen(chan, ZK_OPEN_BOTH | ZK_OPEN_FD), ZK_OK);
        ASSERT_EQ(ZkStart(chan), ZK_OK);
    }
    std::string entry(uint8_t chan, const char *name)
    {
        zk_chipstat st = stat(chan);
        zk_chipstat_text t;
        EXPECT_EQ(ZkChipStatToStr(&st, &t), ZK_OK);
        for (int i = 0; i < 32 && t.name[i][0]; i++)
            if (strcmp(t.name[i], name) == 0) return t.value[i];
        return "<missing>";
    }
};

// Every FD length, both identifier formats, the flags, classic frames in
// between: an FD reader gets all of it in order, a classic reader on the
// same bus the classic frames with the FD ones counted.
TEST_F(ZelkFd, FramesOfEveryLengthPassInOrderAndClassicReadersCountWhatTheyMiss)
{
    boards("sim:channels=3,traffic=none");
    run_fd(0);
    run_fd(1);
    run(2);  // an old program: classic open
    std::vector<zk_fdframe> sent;
    uint8_t seed = 1;
    for (uint8_t len : kFdLens) {
        sent.push_back(fdframe(0x100 + len, ZK_FRAME_FDF | ZK_FRAME_BRS, len, seed++));
        sent.push_back(fdframe(0x1ABC0000u + len, ZK_FRAME_EFF | ZK_FRAME_FDF | ZK_FRAME_ESI, len, seed++));
        if (len <= 8) sent.push_back(fdframe(0x700 + len, 0, len, seed++));
    }
    sent.push_back(fdframe(0x7FF, ZK_FRAME_RTR, 3));
    ASSERT_EQ(ZkWriteFd(1, sent.data(), uint16_t(sent.size())), int16_t(sent.size()));
    zk_sim_advance_us(100000);

    const std::vector<zk_fdframe> got = read_fd(0);
    ASSERT_EQ(got.size(), sent.size());
    int classic = 0;
    for (size_t i = 0; i < got.size(); i++) {
        EXPECT_EQ(got[i].id, sent[i].id) << i;
        EXPECT_EQ(got[i].flags, sent[i].flags) << i;
        EXPECT_EQ(got[i].len, sent[i].len) << i;
        EXPECT_EQ(memcmp(got[i].data, sent[i].data, 64), 0) << i << ": bytes past len are 0";
        if (i) {
            EXPECT_GT(int32_t(got[i].ts - got[i - 1].ts), 0) << i;
        }
        classic += !(sent[i].flags & ZK_FRAME_FDF);
    }
    zk_fdframe log[64];
    EXPECT_EQ(zk_sim_sent_fd(1, log, 64), int(sent.size()));

    zk_frame buf[64];
    ASSERT_EQ(ZkRead(2, buf, 64), classic);
    EXPECT_EQ(buf[0].id, 0x700u);
    EXPECT_EQ(buf[classic - 1].flags, ZK_FRAME_RTR);
    EXPECT_EQ(stat(2).fd_skipped, uint32_t(sent.size() - size_t(classic)));
    EXPECT_EQ(entry(2, "FD skipped"), std::to_string(sent.size() - size_t(classic)));
    EXPECT_EQ(entry(2, "CAN FD"), "off");

    // The classic read of an FD channel skips the FD frames in its queue.
    ASSERT_EQ(ZkWriteFd(1, sent.data(), uint16_t(sent.size())), int16_t(sent.size()));
    zk_sim_advance_us(100000);
    ASSERT_EQ(ZkRead(0, buf, 64), classic);
    EXPECT_EQ(stat(0).fd_skipped, uint32_t(sent.size() - size_t(classic)));
    EXPECT_EQ(ZkReadFd(0, log, 64), 0);
}

TEST_F(ZelkFd, FramesThatCannotBeSentAsAskedAreRefusedWithTheirReason)
{
    boards("sim:traffic=none,classic=1");
    run_fd(0);
    ASSERT_EQ(ZkOpen(1, ZK_OPEN_BOTH | ZK_OPEN_FD), ZK_E_NOFD);
    EXPECT_NE(strerror_of(ZK_E_NOFD).find("classic CAN channel"), std::string::npos)
        << strerror_of(ZK_E_NOFD);
    EXPECT_EQ(ZkOpen(1, ZK_OPEN_FD), ZK_E_BADARG) << "FD needs a frame format";
    run(1);
    EXPECT_EQ(ZkSetDataRate(1, 2000000, 0, ZK_FD_ISO), ZK_E_NOFD);

    const zk_fdframe fd8 = fdframe(0x123, ZK_FRAME_FDF, 8);
    EXPECT_EQ(ZkWriteFd(1, &fd8, 1), ZK_E_NOFD);
    const struct { zk_fdframe f; int16_t code; } bad[] = {
        {fdframe(0x123, ZK_FRAME_FDF, 9), ZK_E_BADLEN},
        {fdframe(0x123, ZK_FRAME_FDF, 63), ZK_E_BADLEN},
        {fdframe(0x123, ZK_FRAME_FDF, 65), ZK_E_BADLEN},
        {fdframe(0x123, 0, 12), ZK_E_BADLEN},
        {fdframe(0x123, ZK_FRAME_FDF | ZK_FRAME_RTR, 0), ZK_E_BADARG},
        {fdframe(0x123, ZK_FRAME_BRS, 8), ZK_E_BADARG},
        {fdframe(0x800, ZK_FRAME_FDF, 8), ZK_E_BADARG},
        {fdframe(0x123, 0x40, 8), ZK_E_BADARG},
    };
    for (const auto &b : bad) EXPECT_EQ(ZkWriteFd(0, &b.f, 1), b.code) << int(b.f.len);
    // ZkWrite stays what it was for classic programs.
    zk_frame c = frame(0x123, ZK_FRAME_FDF, {1});
    EXPECT_EQ(ZkWrite(0, &c, 1), ZK_E_BADARG);
    // A refused frame ends the batch; those before it went out.
    const zk_fdframe two[] = {fd8, bad[0].f};
    EXPECT_EQ(ZkWriteFd(0, two, 2), 1);

    zk_board b{};
    ASSERT_EQ(ZkBoardInfo(&b), ZK_OK);
    EXPECT_EQ(b.fd_slots, 0x01);
    EXPECT_EQ(stat(1).fd_capable, 0);
    EXPECT_EQ(entry(1, "CAN FD"), "not supported");
}

TEST_F(ZelkFd, DataRateIsSetCheckedAndMustMatchTheBus)
{
    boards("sim:traffic=none,drate=2000");
    run_fd(0);
    run_fd(1);
    zk_chipstat st = stat(0);
    EXPECT_EQ(st.fd, 1);
    EXPECT_EQ(st.fd_capable, 1);
    EXPECT_EQ(st.data_bitrate, 2000000u) << "the controller comes up at the bus's data rate";
    EXPECT_EQ(entry(0, "Data rate"), "2 Mbit/s");

    EXPECT_EQ(ZkSetDataRate(0, 0, 0, ZK_FD_ISO), ZK_E_BADARG);
    EXPECT_EQ(ZkSetDataRate(0, 20000000, 0, ZK_FD_ISO), ZK_E_BADARG);
    EXPECT_EQ(ZkSetDataRate(0, 4000000, 400, ZK_FD_ISO), ZK_E_BADARG);
    EXPECT_EQ(ZkSetDataRate(0, 4000000, 800, 2), ZK_E_BADARG);
    EXPECT_EQ(stat(0).data_bitrate, 2000000u) << "refusals change nothing";
    ASSERT_EQ(ZkSetDataRate(0, 4000000, 800, ZK_FD_NON_ISO), ZK_OK);
    st = stat(0);
    EXPECT_EQ(st.data_bitrate, 4000000u);
    EXPECT_EQ(st.data_sp, 800);
    EXPECT_EQ(st.fd, 2);
    EXPECT_EQ(entry(0, "CAN FD"), "on (non-ISO)");
    EXPECT_EQ(entry(0, "Data sample pt"), "80.0 %");

    // Off the bus's data rate a BRS frame is a receive error; an FD frame
    // without BRS runs at the nominal rate and still arrives.
    ASSERT_EQ(ZkSetDataRate(0, 4000000, 0, ZK_FD_ISO), ZK_OK);
    EXPECT_EQ(stat(0).data_sp, 750) << "the adapter's choice";
    const zk_fdframe brs = fdframe(0x10, ZK_FRAME_FDF | ZK_FRAME_BRS, 16);
    const zk_fdframe slow = fdframe(0x11, ZK_FRAME_FDF, 16);
    ASSERT_EQ(ZkWriteFd(1, &brs, 1), 1);
    zk_sim_advance_us(5000);
    EXPECT_EQ(read_fd(0).size(), 0u);
    EXPECT_EQ(stat(0).rec, 1);
    ASSERT_EQ(ZkWriteFd(1, &slow, 1), 1);
    zk_sim_advance_us(5000);
    std::vector<zk_fdframe> got = read_fd(0);
    ASSERT_EQ(got.size(), 1u);
    EXPECT_EQ(got[0].id, 0x11u);
    // And its own BRS frames are never acknowledged.
    ASSERT_EQ(ZkWriteFd(0, &brs, 1), 1);
    zk_sim_advance_us(20000);
    EXPECT_EQ(stat(0).bus_state, 3);
    EXPECT_EQ(read_fd(1).size(), 0u);
}

// A saturated FD bus carries the frame rate of its two bit rates: the
// arbitration phase and the frame's end at the nominal rate, the data
// phase (ESI, DLC, data, stuff count, CRC with its fixed stuff bits) at
// the data rate.
TEST_F(ZelkFd, SaturatedBusRunsAtTheFrameRateOfItsTwoBitRates)
{
    const struct { const char *config; double nominal, data; int len; } buses[] = {
        {"sim:rate=500,drate=2000,traffic=full-fd,len=64", 500e3, 2e6, 64},
        {"sim:rate=1000,drate=8000,traffic=full-fd,len=8", 1e6, 8e6, 8},
    };
    for (const auto &bus : buses) {
        boards(bus.config);
        run_fd(0);
        const double crc = bus.len <= 16 ? 17 : 21;
        const double data_bits = 1 + 4 + 8.0 * bus.len + 4 + crc + std::ceil((4 + crc) / 4);
        const double nominal_bits = 17 + 13;  // SOF..BRS, CRC delimiter..interframe space
        const double expected = 1 / (nominal_bits / bus.nominal + data_bits / bus.data);
        zk_sim_advance_us(1000);
        read_fd(0);
        zk_sim_advance_us(2000000);
        const std::vector<zk_fdframe> got = read_fd(0);
        EXPECT_EQ(errs(0).sovr, 0);
        const double rate = got.size() / 2.0;
        EXPECT_NEAR(rate, expected, expected * 0.01) << bus.config;
        ASSERT_FALSE(got.empty());
        EXPECT_EQ(got[0].len, bus.len);
        EXPECT_EQ(got[0].flags, ZK_FRAME_FDF | ZK_FRAME_BRS);
        for (size_t i = 1; i < got.size(); i++)
            ASSERT_EQ(got[i].data[0], uint8_t(got[i - 1].data[0] + 1)) << "nothing lost";
        zk_sim_reset();
    }
}

TEST_F(ZelkFd, MixedTrafficReachesFdAndClassicReaders)
{
    boards("sim:traffic=mixed");
    run_fd(0);
    run(1);
    zk_sim_advance_us(1000000);
    int fd = 0, brs = 0, classic = 0;
    for (const zk_fdframe &f : read_fd(0)) {
        fd += (f.flags & ZK_FRAME_FDF) != 0;
        brs += (f.flags & ZK_FRAME_BRS) != 0;
        classic += !(f.flags & ZK_FRAME_FDF);
    }
    // Five FD nodes, 10 ms to 500 ms: about 182 frames a second.
    EXPECT_GE(fd, 170);
    EXPECT_LE(fd, 190);
    EXPECT_GT(brs, 0);
    EXPECT_LT(brs, fd);
    EXPECT_EQ(read_all(1), classic);
    EXPECT_EQ(stat(1).fd_skipped, uint32_t(fd));
}

}  // namespace

namespace {

// A first frame to the simulated ECU that carries more bytes than its
// message length is ignored; before, its consecutive frames ran past the
// ECU's receive buffer. The ECU answers the next request as ever.
TEST_F(ZelkFd, EcuIgnoresAFirstFrameLongerThanItsMessage)
{
    boards("sim:traffic=ecu");
    run_fd(0);
    zk_fdframe ff = fdframe(0x7E0, ZK_FRAME_FDF | ZK_FRAME_BRS, 64);
    ff.data[0] = 0x10;
    ff.data[1] = 0x08;  // 8 bytes, in a frame of 64
    ASSERT_EQ(ZkWriteFd(0, &ff, 1), 1);
    zk_sim_advance_us(5000);
    for (int i = 0; i < 100; i++) {
        zk_fdframe cf = fdframe(0x7E0, ZK_FRAME_FDF | ZK_FRAME_BRS, 64, uint8_t(i));
        cf.data[0] = uint8_t(0x20 | ((i + 1) & 15));
        ASSERT_EQ(ZkWriteFd(0, &cf, 1), 1);
        zk_sim_advance_us(1000);
    }
    read_fd(0);
    const zk_frame tp = frame(0x7E0, 0, {0x02, 0x3E, 0x00, 0, 0, 0, 0, 0});
    ASSERT_EQ(ZkWrite(0, &tp, 1), 1);
    zk_sim_advance_us(50000);
    bool answered = false;
    for (const zk_fdframe &f : read_fd(0))
        answered |= f.id == 0x7E8 && f.data[0] == 0x02 && f.data[1] == 0x7E && f.data[2] == 0x00;
    EXPECT_TRUE(answered);
}

}  // namespace
