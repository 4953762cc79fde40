// The "slcan" boards of libzelk against a fake adapter on a pseudo-terminal,
// through the public header only.
#include <gtest/gtest.h>

#include <chrono>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include <fcntl.h>
#include <sys/file.h>
#include <sys/wait.h>
#include <unistd.h>

#include "fake_adapter.h"
#include "test_env.h"
#include "zelk.h"

using nbtest::FakeAdapter;
using Strings = std::vector<std::string>;

namespace {

zk_frame make(uint32_t id, uint8_t flags, std::vector<uint8_t> data)
{
    zk_frame f;
    memset(&f, 0, sizeof f);
    f.id = id;
    f.flags = flags;
    f.len = uint8_t(data.size());
    for (size_t i = 0; i < data.size(); ++i) f.data[i] = data[i];
    return f;
}

std::string err_text(int16_t code)
{
    char buf[512];
    ZkStrError(code, buf, sizeof buf);
    return buf;
}

long elapsed_ms(std::chrono::steady_clock::time_point t0)
{
    return long(std::chrono::duration_cast<std::chrono::milliseconds>(
                    std::chrono::steady_clock::now() - t0).count());
}

class Slcan : public ::testing::Test {
protected:
    // Boards: 0 = the fake adapter. Short answer timeout and a fast status
    // poll keep the tests quick; the defaults are for real adapters.
    void init(FakeAdapter::Dialect d = FakeAdapter::Dialect::Lawicel,
              const std::string &opts = ",timeout=100,fpoll=10")
    {
        fake.reset(new FakeAdapter(d));
        ASSERT_FALSE(fake->path().empty());
        const std::string cfg = "slcan:" + fake->path() + opts;
        setenv("ZELK_BOARDS", cfg.c_str(), 1);
        ASSERT_EQ(ZkInit(), ZK_OK) << err_text(ZkInit());
    }
    void open_started(uint8_t flags = ZK_OPEN_BOTH)
    {
        ASSERT_EQ(ZkOpen(0, flags), ZK_OK) << err_text(ZK_E_NORESPONSE);
        ASSERT_EQ(ZkStart(0), ZK_OK);
    }
    void TearDown() override
    {
        ZkClose(0);
        fake.reset();
        unsetenv("ZELK_BOARDS");
    }
    // Reads until n frames arrived or the deadline passed.
    std::vector<zk_frame> read_frames(size_t n, int timeout_ms = 3000)
    {
        std::vector<zk_frame> out;
        zk_frame buf[512];
        nbtest::wait_until([&] {
            const int16_t r = ZkRead(0, buf, 512);
            for (int i = 0; i < r; ++i) out.push_back(buf[i]);
            return out.size() >= n;
        }, timeout_ms);
        return out;
    }
    // Error counters accumulated until cond holds.
    zk_errs errs_until(const std::function<bool(const zk_errs &)> &cond)
    {
        zk_errs sum{};
        nbtest::wait_until([&] {
            zk_errs e{};
            if (ZkErrsGetClear(0, &e) >= 0) {
                sum.ewl += e.ewl;
                sum.boff += e.boff;
                sum.hovr += e.hovr;
                sum.sovr += e.sovr;
                sum.wtout += e.wtout;
            }
            return cond(sum);
        });
        return sum;
    }
    std::unique_ptr<FakeAdapter> fake;
};

}  // namespace

TEST_F(Slcan, OpenStartStopCloseSendTheCommandsInOrder)
{
    init();
    ASSERT_EQ(ZkOpen(0, ZK_OPEN_BOTH), ZK_OK);
    // End a partial command, close the channel, read version and serial,
    // set the initial 500 kbit/s.
    EXPECT_EQ(fake->setup_commands(), (Strings{"", "C", "V", "N", "S6"}));
    EXPECT_FALSE(fake->channel_open());
    fake->clear_commands();
    ASSERT_EQ(ZkStart(0), ZK_OK);
    EXPECT_EQ(fake->setup_commands(), (Strings{"C", "M00000000", "mFFFFFFFF", "O"}));
    EXPECT_TRUE(fake->channel_open());
    EXPECT_FALSE(fake->listen_only());
    fake->clear_commands();
    ASSERT_EQ(ZkStop(0), ZK_OK);
    EXPECT_EQ(fake->setup_commands(), (Strings{"C"}));
    EXPECT_FALSE(fake->channel_open());

    // Listen-only opens with L; switching while running reopens.
    ASSERT_EQ(ZkSetLom(0, 1), ZK_OK);
    fake->clear_commands();
    ASSERT_EQ(ZkStart(0), ZK_OK);
    EXPECT_EQ(fake->setup_commands().back(), "L");
    EXPECT_TRUE(fake->listen_only());
    fake->clear_commands();
    ASSERT_EQ(ZkSetLom(0, 0), ZK_OK);
    EXPECT_EQ(fake->setup_commands(), (Strings{"C", "M00000000", "mFFFFFFFF", "O"}));

    // Reset keeps it running: close and reopen the adapter's channel.
    fake->clear_commands();
    ASSERT_EQ(ZkHwReset(0), ZK_OK);
    EXPECT_EQ(fake->setup_commands(), (Strings{"C", "M00000000", "mFFFFFFFF", "O"}));

    fake->clear_commands();
    EXPECT_EQ(ZkClose(0), ZK_OK);
    EXPECT_EQ(fake->setup_commands(), (Strings{"C"}));
    EXPECT_FALSE(fake->channel_open());
}

TEST_F(Slcan, BitRatesMapToPredefinedCodesOrRegisterPairs)
{
    init();
    ASSERT_EQ(ZkOpen(0, ZK_OPEN_STD), ZK_OK);
    const uint8_t pairs[9][2] = {{0x31, 0x1C}, {0x18, 0x1C}, {0x09, 0x1C}, {0x04, 0x1C}, {0x03, 0x1C},
                                 {0x01, 0x1C}, {0x00, 0x1C}, {0x00, 0x16}, {0x00, 0x14}};
    for (int i = 0; i < 9; ++i) {
        fake->clear_commands();
        ASSERT_EQ(ZkSetBaud(0, pairs[i][0], pairs[i][1]), ZK_OK) << i;
        EXPECT_EQ(fake->setup_commands(), Strings{"S" + std::to_string(i)});
    }
    // Another pair for 250 kbit/s goes as registers.
    fake->clear_commands();
    ASSERT_EQ(ZkSetBaud(0, 0x43, 0x23), ZK_OK);
    EXPECT_EQ(fake->setup_commands(), Strings{"s4323"});
    zk_chipstat st{};
    ASSERT_EQ(ZkChipStat(0, &st), ZK_OK);
    EXPECT_EQ(st.bitrate, 250000u);

    // While running the rate change closes and reopens the channel.
    ASSERT_EQ(ZkStart(0), ZK_OK);
    fake->clear_commands();
    ASSERT_EQ(ZkSetBaud(0, 0x01, 0x1C), ZK_OK);
    EXPECT_EQ(fake->setup_commands(), (Strings{"C", "S5", "M00000000", "mFFFFFFFF", "O"}));
    EXPECT_TRUE(fake->channel_open());
}

TEST_F(Slcan, RefusedRegisterPairFallsBackOrFailsWithTheCommandNamed)
{
    init();
    fake->refuse("s");
    ASSERT_EQ(ZkOpen(0, ZK_OPEN_STD), ZK_OK);
    // Same rate as a predefined code: that code is used instead.
    fake->clear_commands();
    ASSERT_EQ(ZkSetBaud(0, 0x43, 0x23), ZK_OK);
    EXPECT_EQ(fake->setup_commands(), (Strings{"s4323", "S5"}));
    // 83.3 kbit/s has no code: refused, and the old rate stays.
    fake->clear_commands();
    const int16_t rc = ZkSetBaud(0, 0x03, 0x6F);  // 16 MHz / (8 x 24) = 83333
    EXPECT_EQ(rc, ZK_E_NORATE);
    EXPECT_NE(err_text(rc).find("s036F"), std::string::npos) << err_text(rc);
    EXPECT_EQ(fake->setup_commands(), (Strings{"s036F", "S5"}));
    zk_chipstat st{};
    ASSERT_EQ(ZkChipStat(0, &st), ZK_OK);
    EXPECT_EQ(st.bitrate, 250000u);
}

TEST_F(Slcan, FilterGoesToAcceptanceRegistersAndSoftwareKeepsItExact)
{
    init();
    ASSERT_EQ(ZkOpen(0, ZK_OPEN_STD), ZK_OK);
    ASSERT_EQ(ZkSetFilter(0, 0x120, 0x7F0), ZK_OK);
    fake->clear_commands();
    ASSERT_EQ(ZkStart(0), ZK_OK);
    EXPECT_EQ(fake->setup_commands(), (Strings{"C", "M24000000", "m01FFFFFF", "O"}));
    // The adapter passes more than asked (as a real one may): the
    // library still delivers only the matching frames.
    fake->send("t1201AA\rt3451BB\rt12F1CC\rT000001201DD\r");
    const auto got = read_frames(2);
    ASSERT_EQ(got.size(), 2u);
    EXPECT_EQ(got[0].id, 0x120u);
    EXPECT_EQ(got[1].id, 0x12Fu);
    zk_frame extra[4];
    EXPECT_EQ(ZkRead(0, extra, 4), 0);
    // A new filter while running reprograms the adapter.
    fake->clear_commands();
    ASSERT_EQ(ZkSetFilter(0, 0, 0), ZK_OK);
    EXPECT_EQ(fake->setup_commands(), (Strings{"C", "M00000000", "mFFFFFFFF", "O"}));
}

TEST_F(Slcan, FramesBothWaysEveryKindAndLength)
{
    init();
    open_started();
    std::vector<zk_frame> sent;
    std::string expect_lines, adapter_lines;
    for (int len = 0; len <= 8; ++len) {
        std::vector<uint8_t> d;
        for (int i = 0; i < len; ++i) d.push_back(uint8_t(0xA0 + i));
        sent.push_back(make(0x100u + uint32_t(len), 0, d));
        sent.push_back(make(0x1BC00000u + uint32_t(len), ZK_FRAME_EFF, d));
    }
    sent.push_back(make(0x7FF, ZK_FRAME_RTR, {}));
    sent.push_back(make(0x1FFFFFFF, ZK_FRAME_EFF | ZK_FRAME_RTR, {}));
    zk_frame rtr8 = make(0x010, ZK_FRAME_RTR, {});
    rtr8.len = 8;
    sent.push_back(rtr8);
    fake->clear_commands();
    for (const zk_frame &f : sent) ASSERT_EQ(ZkWrite(0, &f, 1), 1);
    ASSERT_TRUE(fake->wait_count(sent.size()));
    Strings frames;
    for (const std::string &c : fake->commands())
        if (c != "F") frames.push_back(c);
    ASSERT_EQ(frames.size(), sent.size());
    EXPECT_EQ(frames[0], "t1000");
    EXPECT_EQ(frames[1], "T1BC000000");
    EXPECT_EQ(frames[16], "t1088A0A1A2A3A4A5A6A7");
    EXPECT_EQ(frames[17], "T1BC000088A0A1A2A3A4A5A6A7");
    EXPECT_EQ(frames[18], "r7FF0");
    EXPECT_EQ(frames[19], "R1FFFFFFF0");
    EXPECT_EQ(frames[20], "r0108");

    // The adapter sends the same lines back (remote frames without data):
    // the host reads the same frames, stamped on receipt.
    std::string back;
    for (const std::string &l : frames) back += l + "\r";
    const uint32_t before = uint32_t(std::chrono::duration_cast<std::chrono::microseconds>(
        std::chrono::steady_clock::now().time_since_epoch()).count());
    fake->send(back);
    const auto got = read_frames(sent.size());
    ASSERT_EQ(got.size(), sent.size());
    for (size_t i = 0; i < got.size(); ++i) {
        zk_frame g = got[i];
        EXPECT_LT(g.ts - before, 10000000u) << "ts on the monotonic microsecond clock";
        g.ts = 0;
        EXPECT_EQ(memcmp(&g, &sent[i], sizeof g), 0) << frames[i];
    }
    // Time stamps of the adapter and data digits of remote frames are read
    // over, not mistaken for data.
    fake->send("t12320102EA5F\rr0012FFFF\r");
    const auto more = read_frames(2);
    ASSERT_EQ(more.size(), 2u);
    EXPECT_EQ(more[0].len, 2);
    EXPECT_EQ(more[0].data[1], 0x02);
    EXPECT_EQ(more[1].flags, ZK_FRAME_RTR);
    EXPECT_EQ(more[1].len, 2);
}

TEST_F(Slcan, ExtendedOnlyChannelNeitherSendsNorReceivesStandardFrames)
{
    init();
    open_started(ZK_OPEN_EXT);
    const zk_frame std_frame = make(0x123, 0, {1});
    EXPECT_LT(ZkWrite(0, &std_frame, 1), 0);
    fake->send("t1231AA\rT000001231BB\r");
    const auto got = read_frames(1);
    ASSERT_EQ(got.size(), 1u);
    EXPECT_EQ(got[0].flags, ZK_FRAME_EFF);
}

TEST_F(Slcan, RefusedTransmissionsEndInWriteTimeout)
{
    init();
    open_started();
    fake->refuse("t");
    ASSERT_EQ(ZkSetWriteTout(0, 30), ZK_OK);
    const zk_frame f = make(0x321, 0, {1, 2});
    const auto t0 = std::chrono::steady_clock::now();
    EXPECT_EQ(ZkWrite(0, &f, 1), ZK_E_WTOUT);
    EXPECT_LT(elapsed_ms(t0), 2000);
    // It kept trying while the adapter's queue was full.
    EXPECT_GE(fake->commands().size(), 2u);
    const zk_errs e = errs_until([](const zk_errs &s) { return s.wtout >= 1; });
    EXPECT_EQ(e.wtout, 1);
    // Listen-only never transmits.
    ASSERT_EQ(ZkSetLom(0, 1), ZK_OK);
    EXPECT_EQ(ZkWrite(0, &f, 1), ZK_E_LOM);
}

TEST_F(Slcan, StatusFlagsFeedTheErrorCounters)
{
    init();
    open_started();
    fake->set_status(0x04);  // error warning
    zk_errs e = errs_until([](const zk_errs &s) { return s.ewl >= 1; });
    EXPECT_EQ(e.ewl, 1);
    fake->set_status(0x08);  // data overrun
    e = errs_until([](const zk_errs &s) { return s.hovr >= 1; });
    EXPECT_EQ(e.hovr, 1);
    fake->set_status(0xA0);  // passive with bus errors: bus-off
    e = errs_until([](const zk_errs &s) { return s.boff >= 1; });
    EXPECT_EQ(e.boff, 1);
    zk_chipstat st{};
    ASSERT_EQ(ZkChipStat(0, &st), ZK_OK);
    EXPECT_EQ(st.bus_state, 3);
    EXPECT_GE(st.hovr, 1u);
    // A reset clears the state.
    ASSERT_EQ(ZkHwReset(0), ZK_OK);
    ASSERT_EQ(ZkChipStat(0, &st), ZK_OK);
    EXPECT_EQ(st.bus_state, 0);
    // Unsolicited status lines count too.
    fake->send("F04\r");
    e = errs_until([](const zk_errs &s) { return s.ewl >= 1; });
    EXPECT_EQ(e.ewl, 1);
}

TEST_F(Slcan, StateLinesGiveCountersAndBusOff)
{
    init();
    open_started();
    fake->send("sw096010\r");
    zk_errs e = errs_until([](const zk_errs &s) { return s.ewl >= 1; });
    EXPECT_EQ(e.ewl, 1);
    zk_chipstat st{};
    ASSERT_TRUE(nbtest::wait_until([&] { return ZkChipStat(0, &st) == ZK_OK && st.rec == 96; }));
    EXPECT_EQ(st.tec, 10);
    EXPECT_EQ(st.bus_state, 1);
    fake->send("sb000255\r");
    e = errs_until([](const zk_errs &s) { return s.boff >= 1; });
    EXPECT_EQ(e.boff, 1);
    const zk_frame f = make(0x1, 0, {});
    EXPECT_EQ(ZkWrite(0, &f, 1), ZK_E_BUSOFF);
    ZkChipStat(0, &st);
    EXPECT_EQ(st.tec, 255);
    zk_chipstat_text text{};
    ZkChipStatToStr(&st, &text);
    bool chip = false;
    for (int i = 0; i < 32 && text.name[i][0]; ++i)
        chip |= strcmp(text.name[i], "CAN chip") == 0;
    EXPECT_TRUE(chip);
}

TEST_F(Slcan, GarbageBetweenFramesLosesNothingElse)
{
    init();
    open_started();
    std::string noise = "t12";
    noise += "\x01\x80zzz\r";  // a frame the link corrupted
    noise += "@@@@\r\n\n" + std::string(300, '#') + "\r" + "t3";
    fake->send("t1001AA\r" + noise + "\rt2001BB\r\r\rt3001CC\r");
    const auto got = read_frames(3);
    ASSERT_EQ(got.size(), 3u);
    EXPECT_EQ(got[0].id, 0x100u);
    EXPECT_EQ(got[1].id, 0x200u);
    EXPECT_EQ(got[2].id, 0x300u);
    const zk_errs e = errs_until([](const zk_errs &s) { return s.hovr >= 1; });
    EXPECT_GE(e.hovr, 1);
    // Commands still work afterwards.
    EXPECT_EQ(ZkStop(0), ZK_OK);
}

// A host that stalled leaves the terminal full, and the adapter's stream
// stops in the middle of a frame line; the answer to the next status poll
// must come after that line, not inside it, or the frame is lost.
TEST_F(Slcan, AnswerWaitsForTheFrameLineTheTerminalCutShort)
{
    init();
    open_started();
    ASSERT_EQ(fake->send_some("t12", 3), 3u);
    fake->clear_commands();
    ASSERT_TRUE(fake->wait_command("F"));
    ASSERT_EQ(fake->send_some("30\r", 3), 3u);
    const std::vector<zk_frame> got = read_frames(1);
    ASSERT_EQ(got.size(), 1u);
    EXPECT_EQ(got[0].id, 0x123u);
    zk_errs e{};
    ASSERT_GE(ZkErrsGetClear(0, &e), 0);
    EXPECT_EQ(e.hovr, 0);
}

TEST_F(Slcan, AdapterAnsweringGarbageFailsToOpenWithoutHanging)
{
    init(FakeAdapter::Dialect::Garbage);
    const auto t0 = std::chrono::steady_clock::now();
    const int16_t rc = ZkOpen(0, ZK_OPEN_BOTH);
    EXPECT_EQ(rc, ZK_E_PROTO);
    EXPECT_NE(err_text(rc).find("garbage"), std::string::npos) << err_text(rc);
    EXPECT_LT(elapsed_ms(t0), 3000);
    // Not left half open.
    EXPECT_EQ(ZkStart(0), ZK_E_NOTOPEN);
}

TEST_F(Slcan, SilentAdapterGivesNoResponseWithinTheTimeout)
{
    init(FakeAdapter::Dialect::Silent);
    auto t0 = std::chrono::steady_clock::now();
    const int16_t rc = ZkOpen(0, ZK_OPEN_BOTH);
    EXPECT_EQ(rc, ZK_E_NORESPONSE);
    EXPECT_LT(elapsed_ms(t0), 3000);
    EXPECT_TRUE(fake->wait_command("V"));

    // One that falls silent after opening: each call fails in bounded time.
    fake->set_dialect(FakeAdapter::Dialect::Lawicel);
    ASSERT_EQ(ZkOpen(0, ZK_OPEN_BOTH), ZK_OK);
    fake->set_dialect(FakeAdapter::Dialect::Silent);
    t0 = std::chrono::steady_clock::now();
    EXPECT_EQ(ZkStart(0), ZK_E_NORESPONSE);
    EXPECT_EQ(ZkSetBaud(0, 0x00, 0x14), ZK_E_NORESPONSE);
    EXPECT_LT(elapsed_ms(t0), 3000);
    // And recovers when it speaks again.
    fake->set_dialect(FakeAdapter::Dialect::Lawicel);
    EXPECT_EQ(ZkStart(0), ZK_OK);
}

TEST_F(Slcan, FramesBeforeTheStartIsAcknowledgedAreKept)
{
    init();
    ASSERT_EQ(ZkOpen(0, ZK_OPEN_BOTH), ZK_OK);
    fake->before_answer("O", "t1001AA\rt1001AB\r");
    ASSERT_EQ(ZkStart(0), ZK_OK);
    EXPECT_EQ(read_frames(2).size(), 2u);
}

TEST_F(Slcan, HangUpMakesEveryCallFailUntilReopened)
{
    // Through a link that goes with the adapter, as a device node does: the
    // freed pty number itself goes to the next process that opens a pty.
    char dir[] = "/tmp/nbslcan-XXXXXX";
    ASSERT_NE(mkdtemp(dir), nullptr);
    const std::string link = std::string(dir) + "/tty";
    fake.reset(new FakeAdapter());
    ASSERT_EQ(symlink(fake->path().c_str(), link.c_str()), 0);
    setenv("ZELK_BOARDS", ("slcan:" + link + ",timeout=100,fpoll=10").c_str(), 1);
    ASSERT_EQ(ZkInit(), ZK_OK);
    open_started();
    fake->send("t1001AA\rt1001AB\r");
    ASSERT_EQ(ZkStop(0), ZK_OK);  // its answer comes after the frames: they are queued
    unlink(link.c_str());
    rmdir(dir);
    fake->hangup();
    ASSERT_TRUE(nbtest::wait_until([&] { return ZkStart(0) == ZK_E_GONE; }));
    // What arrived before the hang-up is read first, then the loss shows.
    zk_frame buf[4];
    EXPECT_EQ(ZkRead(0, buf, 4), 2);
    EXPECT_EQ(ZkRead(0, buf, 4), ZK_E_GONE);
    zk_errs e{};
    EXPECT_EQ(ZkErrsGetClear(0, &e), ZK_E_GONE);
    EXPECT_EQ(ZkStop(0), ZK_E_GONE);
    EXPECT_EQ(ZkStart(0), ZK_E_GONE);
    EXPECT_EQ(ZkSetBaud(0, 0x00, 0x1C), ZK_E_GONE);
    EXPECT_EQ(ZkSetFilter(0, 1, 1), ZK_E_GONE);
    zk_chipstat st{};
    EXPECT_EQ(ZkChipStat(0, &st), ZK_E_GONE);
    EXPECT_NE(err_text(ZK_E_GONE).find(link), std::string::npos) << err_text(ZK_E_GONE);
    EXPECT_EQ(ZkClose(0), ZK_OK);
    EXPECT_EQ(ZkOpen(0, ZK_OPEN_BOTH), ZK_E_NODEV);
}

// Another program, of this user or another one, holding the device: the
// channel is busy and the message names the holder.
TEST_F(Slcan, DeviceHeldElsewhereIsBusyAndTheHolderNamed)
{
    init();
    int ready[2], done[2];
    ASSERT_EQ(pipe(ready), 0);
    ASSERT_EQ(pipe(done), 0);
    const pid_t pid = fork();
    if (pid == 0) {
        close(done[1]);
        close(ready[0]);
        const int fd = open(fake->path().c_str(), O_RDWR | O_NOCTTY);
        char c = fd >= 0 && flock(fd, LOCK_EX | LOCK_NB) == 0 ? 1 : 0;
        if (write(ready[1], &c, 1) != 1 || read(done[0], &c, 1) < 0) _exit(1);
        _exit(0);
    }
    ASSERT_GT(pid, 0);
    close(ready[1]);
    close(done[0]);
    char held = 0;
    ASSERT_EQ(read(ready[0], &held, 1), 1);
    ASSERT_EQ(held, 1);
    EXPECT_EQ(ZkOpen(0, ZK_OPEN_PROBE), ZK_E_BUSY);
    EXPECT_EQ(ZkOpen(0, ZK_OPEN_BOTH), ZK_E_BUSY);
    EXPECT_NE(err_text(ZK_E_BUSY).find("process " + std::to_string(pid) + " ("), std::string::npos)
        << err_text(ZK_E_BUSY);
    close(done[1]);
    close(ready[0]);
    int status = 0;
    waitpid(pid, &status, 0);
    EXPECT_EQ(ZkOpen(0, ZK_OPEN_BOTH), ZK_OK);
}

TEST_F(Slcan, AdapterWithoutAcknowledgementsStillWorks)
{
    init(FakeAdapter::Dialect::NoAcks);
    ASSERT_EQ(ZkOpen(0, ZK_OPEN_BOTH | ZK_OPEN_TXRESULT), ZK_OK);
    ASSERT_TRUE(fake->wait_command("S6"));  // sent without waiting
    // 800 kbit/s is 750 on such firmware: refused, not silently wrong.
    EXPECT_EQ(ZkSetBaud(0, 0x00, 0x16), ZK_E_NORATE);
    // A register pair with a predefined rate goes as that code.
    fake->clear_commands();
    ASSERT_EQ(ZkSetBaud(0, 0x43, 0x23), ZK_OK);
    ASSERT_EQ(ZkSetLom(0, 1), ZK_OK);
    ASSERT_EQ(ZkStart(0), ZK_OK);
    ASSERT_TRUE(fake->wait_command("O")) << testing::PrintToString(fake->commands());
    EXPECT_EQ(fake->setup_commands(), (Strings{"S5", "C", "M1", "O"}));
    EXPECT_TRUE(fake->listen_only());
    fake->send("t1001AA\r");
    EXPECT_EQ(read_frames(1).size(), 1u);
    ASSERT_EQ(ZkSetLom(0, 0), ZK_OK);
    ASSERT_TRUE(nbtest::wait_until([&] { return !fake->listen_only(); }));
    const zk_frame f = make(0x100, 0, {1});
    EXPECT_EQ(ZkWrite(0, &f, 1), 1);
    EXPECT_TRUE(fake->wait_command("t100101"));
    // Nothing more will be told of it: handed as it was written.
    zk_txresult r{};
    ASSERT_EQ(ZkTxResults(0, &r, 1), 1);
    EXPECT_EQ(r.status, ZK_TX_HANDED);
    EXPECT_EQ(r.count, 1);
}

TEST_F(Slcan, FramesAreHandedWhenQueuedAndDroppedWhenRefusedLate)
{
    init();
    open_started(ZK_OPEN_BOTH | ZK_OPEN_TXRESULT);
    const zk_frame f = make(0x321, 0, {1, 2});
    for (int i = 0; i < 3; ++i) ASSERT_EQ(ZkWrite(0, &f, 1), 1);
    std::vector<zk_txresult> runs;
    auto settled = [&](uint32_t n) {
        return nbtest::wait_until([&] {
            zk_txresult r[4];
            for (int16_t k; (k = ZkTxResults(0, r, 4)) > 0;) runs.insert(runs.end(), r, r + k);
            uint32_t sum = 0;
            for (const zk_txresult &x : runs) sum += x.count;
            return sum >= n;
        });
    };
    // Answered z: handed, the adapter tells no more.
    ASSERT_TRUE(settled(3));
    ASSERT_EQ(runs.size(), 1u);
    EXPECT_EQ(runs[0].seq, 0u);
    EXPECT_EQ(runs[0].count, 3);
    EXPECT_EQ(runs[0].status, ZK_TX_HANDED);
    // Refused while the write waits: a write timeout, no number taken.
    // Refused after a write that did not wait: dropped.
    fake->refuse("t");
    ASSERT_EQ(ZkSetWriteTout(0, 20), ZK_OK);
    EXPECT_EQ(ZkWrite(0, &f, 1), ZK_E_WTOUT);
    ASSERT_EQ(ZkSetWriteTout(0, 0), ZK_OK);
    ASSERT_EQ(ZkWrite(0, &f, 1), 1);
    ASSERT_TRUE(settled(4));
    ASSERT_EQ(runs.size(), 2u);
    EXPECT_EQ(runs[1].seq, 3u);
    EXPECT_EQ(runs[1].count, 1);
    EXPECT_EQ(runs[1].status, ZK_TX_DROPPED);
    zk_chipstat st{};
    ASSERT_EQ(ZkChipStat(0, &st), ZK_OK);
    EXPECT_EQ(st.tx_dropped, 1u);
    // Unplugged: a frame still unanswered is dropped, then the channel is gone.
    fake->set_dialect(FakeAdapter::Dialect::Silent);
    ASSERT_EQ(ZkWrite(0, &f, 1), 1);
    fake->hangup();
    runs.clear();
    ASSERT_TRUE(settled(1));
    EXPECT_EQ(runs[0].seq, 4u);
    EXPECT_EQ(runs[0].status, ZK_TX_DROPPED);
    zk_txresult r;
    EXPECT_EQ(ZkTxResults(0, &r, 1), ZK_E_GONE);
}

TEST_F(Slcan, BoardRecordCarriesVersionAndSerial)
{
    init();
    zk_board b{};
    b.number = 0;
    ASSERT_EQ(ZkBoardInfo(&b), ZK_OK);
    EXPECT_NE(std::string(b.name).find("V1013"), std::string::npos) << b.name;
    EXPECT_EQ(b.chip[0], 0);
    EXPECT_LT(b.chip[1], 0);
    char serial[256];
    ASSERT_EQ(ZkBoardGetSerial(0, serial, sizeof serial), ZK_OK);
    EXPECT_STREQ(serial, "A123");
    // Asking changed nothing on the adapter.
    EXPECT_EQ(fake->setup_commands(), (Strings{"V", "N"}));
    ASSERT_EQ(ZkOpen(0, ZK_OPEN_BOTH), ZK_OK);
    zk_chipstat st{};
    ASSERT_EQ(ZkChipStat(0, &st), ZK_OK);
    zk_chipstat_text text{};
    ZkChipStatToStr(&st, &text);
    bool fw = false;
    for (int i = 0; i < 32 && text.name[i][0]; ++i)
        fw |= strcmp(text.name[i], "Firmware") == 0 && strcmp(text.value[i], "1013") == 0;
    EXPECT_TRUE(fw);
}

TEST_F(Slcan, NoSerialAndTwoEntriesForOneDevice)
{
    init();
    fake->set_serial("FFFF");
    char serial[256];
    EXPECT_EQ(ZkBoardGetSerial(0, serial, sizeof serial), ZK_E_NOSERIAL);
    // Two board entries naming the same adapter share its lock.
    const std::string cfg = "slcan:" + fake->path() + ",timeout=100;slcan:" + fake->path();
    setenv("ZELK_BOARDS", cfg.c_str(), 1);
    ASSERT_EQ(ZkInit(), ZK_OK);
    zk_board b{};
    b.number = 1;
    ASSERT_EQ(ZkBoardInfo(&b), ZK_OK);
    ASSERT_GE(b.chip[0], 1);
    const uint8_t second = uint8_t(b.chip[0]);
    ASSERT_EQ(ZkOpen(0, ZK_OPEN_BOTH), ZK_OK);
    EXPECT_EQ(ZkOpen(second, ZK_OPEN_BOTH), ZK_E_BUSY);
    EXPECT_EQ(ZkOpen(second, ZK_OPEN_PROBE), ZK_E_BUSY);
    ZkClose(0);
    EXPECT_EQ(ZkOpen(second, ZK_OPEN_PROBE), ZK_OK);
}

TEST_F(Slcan, ConfigurationErrorsNameTheProblem)
{
    setenv("ZELK_BOARDS", "slcan:", 1);
    int16_t rc = ZkInit();
    EXPECT_EQ(rc, ZK_E_CONFIG);
    EXPECT_NE(err_text(rc).find("no device"), std::string::npos) << err_text(rc);
    setenv("ZELK_BOARDS", "slcan:/dev/null,bogus=1", 1);
    rc = ZkInit();
    EXPECT_EQ(rc, ZK_E_CONFIG);
    EXPECT_NE(err_text(rc).find("bogus"), std::string::npos) << err_text(rc);
    setenv("ZELK_BOARDS", "slcan:/nonexistent/ttyX", 1);
    ASSERT_EQ(ZkInit(), ZK_OK);
    rc = ZkOpen(0, ZK_OPEN_BOTH);
    EXPECT_EQ(rc, ZK_E_NODEV);
    EXPECT_NE(err_text(rc).find("/nonexistent/ttyX"), std::string::npos) << err_text(rc);
}

TEST_F(Slcan, FdAdapterTakesDataRatesAndFdFramesBothWays)
{
    init(FakeAdapter::Dialect::LawicelFd);
    zk_board b{};
    ASSERT_EQ(ZkBoardInfo(&b), ZK_OK);
    EXPECT_EQ(b.fd_slots, 1) << "FD-capable until an FD open finds otherwise";
    fake->clear_commands();
    ASSERT_EQ(ZkOpen(0, ZK_OPEN_BOTH | ZK_OPEN_FD), ZK_OK) << err_text(ZK_E_NOFD);
    EXPECT_EQ(fake->setup_commands(), (Strings{"", "C", "V", "N", "S6", "Y2"}));
    EXPECT_EQ(ZkSetDataRate(0, 3000000, 0, ZK_FD_ISO), ZK_E_NORATE);
    EXPECT_NE(err_text(ZK_E_NORATE).find("1, 2, 4, 5 and 8 Mbit/s"), std::string::npos);
    EXPECT_EQ(ZkSetDataRate(0, 5000000, 800, ZK_FD_ISO), ZK_E_UNSUPPORTED);
    EXPECT_EQ(ZkSetDataRate(0, 5000000, 0, ZK_FD_NON_ISO), ZK_E_UNSUPPORTED);
    ASSERT_EQ(ZkStart(0), ZK_OK);
    fake->clear_commands();
    // Running: the channel is closed for the new rate and opened again.
    ASSERT_EQ(ZkSetDataRate(0, 5000000, 0, ZK_FD_ISO), ZK_OK);
    EXPECT_EQ(fake->setup_commands(), (Strings{"C", "Y5", "M00000000", "mFFFFFFFF", "O"}));
    EXPECT_EQ(fake->data_rate(), 5);
    zk_chipstat st{};
    ASSERT_EQ(ZkChipStat(0, &st), ZK_OK);
    EXPECT_EQ(st.data_bitrate, 5000000u);

    zk_fdframe out[3] = {};
    out[0].id = 0x123;
    out[0].flags = ZK_FRAME_FDF | ZK_FRAME_BRS;
    out[0].len = 12;
    for (int i = 0; i < 12; ++i) out[0].data[i] = uint8_t(0xA0 + i);
    out[1].id = 0x1ABCDEF0;
    out[1].flags = ZK_FRAME_FDF | ZK_FRAME_EFF | ZK_FRAME_ESI;  // no ESI in the dialect
    out[1].len = 0;
    out[2].id = 0x7FF;
    out[2].len = 1;
    out[2].data[0] = 0x55;
    ASSERT_EQ(ZkWriteFd(0, out, 3), 3);
    EXPECT_TRUE(fake->wait_command("t7FF155"));
    Strings frames;
    for (const std::string &c : fake->commands())
        if (!c.empty() && strchr("tbD", c[0])) frames.push_back(c);
    EXPECT_EQ(frames, (Strings{"b1239A0A1A2A3A4A5A6A7A8A9AAAB", "D1ABCDEF00", "t7FF155"}));

    std::string big = "B18DA10F1F";
    for (int i = 0; i < 64; ++i) big += "5A";
    fake->send("d0009112233445566778899AABBCC\rt0011AA\r" + big + "1234\r");
    std::vector<zk_fdframe> got;
    nbtest::wait_until([&] {
        zk_fdframe buf[8];
        const int16_t r = ZkReadFd(0, buf, 8);
        for (int i = 0; i < r; ++i) got.push_back(buf[i]);
        return got.size() >= 3;
    });
    ASSERT_EQ(got.size(), 3u);
    EXPECT_EQ(got[0].flags, ZK_FRAME_FDF);
    EXPECT_EQ(got[0].len, 12);
    EXPECT_EQ(got[0].data[11], 0xCC);
    EXPECT_EQ(got[1].flags, 0);
    EXPECT_EQ(got[1].data[0], 0xAA);
    EXPECT_EQ(got[2].id, 0x18DA10F1u);
    EXPECT_EQ(got[2].flags, ZK_FRAME_FDF | ZK_FRAME_EFF | ZK_FRAME_BRS);
    EXPECT_EQ(got[2].len, 64);
    EXPECT_EQ(got[2].data[63], 0x5A);
    // An FD line the link cut short is a frame lost, and counted.
    fake->send("d1239AABB\r");
    const zk_errs e = errs_until([](const zk_errs &s) { return s.hovr > 0; });
    EXPECT_EQ(e.hovr, 1);
}

TEST_F(Slcan, ClassicAdaptersRefuseFdAndSaySo)
{
    init();
    ASSERT_EQ(ZkOpen(0, ZK_OPEN_BOTH | ZK_OPEN_FD), ZK_E_NOFD);
    EXPECT_NE(err_text(ZK_E_NOFD).find("refused command 'Y2': it speaks classic SLCAN only"),
              std::string::npos) << err_text(ZK_E_NOFD);
    zk_board b{};
    ASSERT_EQ(ZkBoardInfo(&b), ZK_OK);
    EXPECT_EQ(b.fd_slots, 0) << "learnt";
    EXPECT_EQ(ZkOpen(0, ZK_OPEN_BOTH | ZK_OPEN_FD), ZK_E_NOFD);
    ASSERT_EQ(ZkOpen(0, ZK_OPEN_BOTH), ZK_OK) << "classic CAN as before";
    EXPECT_EQ(ZkSetDataRate(0, 2000000, 0, ZK_FD_ISO), ZK_E_NOFD);
    ZkClose(0);

    // Firmware that acknowledges nothing cannot tell: classic, unless the
    // board entry says otherwise.
    init(FakeAdapter::Dialect::NoAcks);
    ASSERT_EQ(ZkOpen(0, ZK_OPEN_BOTH | ZK_OPEN_FD), ZK_E_NOFD);
    EXPECT_NE(err_text(ZK_E_NOFD).find("add fd=yes"), std::string::npos) << err_text(ZK_E_NOFD);
    init(FakeAdapter::Dialect::NoAcks, ",timeout=100,fd=yes");
    ASSERT_EQ(ZkOpen(0, ZK_OPEN_BOTH | ZK_OPEN_FD), ZK_OK);
    EXPECT_TRUE(fake->wait_command("Y2"));
    ZkClose(0);
    init(FakeAdapter::Dialect::LawicelFd, ",timeout=100,fd=no");
    EXPECT_EQ(ZkOpen(0, ZK_OPEN_BOTH | ZK_OPEN_FD), ZK_E_NOFD);
}
