// The SocketCAN backend on a kernel with CAN (run by scripts/can-vm.sh):
// frames both ways with can-utils and python-can, classic and CAN FD on a
// vcan interface with MTU 72, error frames and bus-off
// on vcan, a 250 ms stall of the reader at a saturated 1 Mbit/s rate, the
// slcan line discipline on a pseudo-terminal as a real CAN driver with bit
// timing, permission refusals, an interface that disappears, and cyclic
// jobs of the kernel's broadcast manager; a candump -L any log of two
// interfaces read back by our log reader.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <net/if.h>
#include <poll.h>
#include <signal.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <functional>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include <linux/can.h>
#include <linux/can/error.h>
#include <linux/can/raw.h>

#include "canlog.h"
#include "test_env.h"
#include "zelk.h"

namespace {

const char *vcan(int n)
{
    const char *v = getenv(n ? "ZKTEST_VCAN1" : "ZKTEST_VCAN0");
    return v && *v ? v : (n ? "vcan1" : "vcan0");
}

std::string text(int16_t code)
{
    char buf[512];
    ZkStrError(code, buf, sizeof buf);
    return buf;
}

using nbtest::shell;

// A command running in the background with its output in a file.
struct Background {
    pid_t pid = -1;
    std::string file;
    Background(const std::string &cmd, const std::string &out) : file(out)
    {
        pid = fork();
        if (pid == 0) {
            setpgid(0, 0);
            execl("/bin/sh", "sh", "-c", ("exec " + cmd + " > '" + out + "' 2>&1").c_str(),
                  static_cast<char *>(nullptr));
            _exit(127);
        }
    }
    int stop(int sig = SIGINT)
    {
        if (pid <= 0) return -1;
        kill(pid, sig);
        return wait();
    }
    int wait()
    {
        int st = 0;
        waitpid(pid, &st, 0);
        pid = -1;
        return WIFEXITED(st) ? WEXITSTATUS(st) : 128 + WTERMSIG(st);
    }
    std::string output() const { return nbtest::read_file(file); }
    ~Background()
    {
        if (pid > 0) stop(SIGKILL);
    }
};

int raw_socket(const char *ifname, bool errors = false)
{
    const int fd = socket(PF_CAN, SOCK_RAW | SOCK_CLOEXEC, CAN_RAW);
    if (fd < 0) return -1;
    const int buf = 8 << 20;
    setsockopt(fd, SOL_SOCKET, SO_RCVBUFFORCE, &buf, sizeof buf);
    if (errors) {
        const can_err_mask_t m = CAN_ERR_MASK;
        setsockopt(fd, SOL_CAN_RAW, CAN_RAW_ERR_FILTER, &m, sizeof m);
    }
    sockaddr_can a{};
    a.can_family = AF_CAN;
    a.can_ifindex = int(if_nametoindex(ifname));
    if (bind(fd, reinterpret_cast<sockaddr *>(&a), sizeof a) != 0) {
        close(fd);
        return -1;
    }
    return fd;
}

bool raw_send(int fd, uint32_t id, std::vector<uint8_t> data = {})
{
    can_frame f{};
    f.can_id = id;
    f.len = uint8_t(data.size());
    if (!data.empty()) memcpy(f.data, data.data(), data.size());
    return write(fd, &f, sizeof f) == ssize_t(sizeof f);
}

// candump's ID#DATA form of a frame (remote frames without a length).
std::string canid_text(uint32_t id, bool ext, bool rtr, const uint8_t *d, int len)
{
    char b[48];
    int n = ext ? snprintf(b, sizeof b, "%08X#", unsigned(id)) : snprintf(b, sizeof b, "%03X#", unsigned(id));
    if (rtr) snprintf(b + n, sizeof b - size_t(n), "R");
    else
        for (int i = 0; i < len; i++) n += snprintf(b + n, sizeof b - size_t(n), "%02X", d[i]);
    return b;
}

std::string zk_text_of(const zk_frame &f)
{
    return canid_text(f.id, f.flags & ZK_FRAME_EFF, f.flags & ZK_FRAME_RTR, f.data, f.len);
}

// The ID#DATA fields of candump -L / zelkctl dump lines, remote lengths cut.
std::vector<std::string> frames_in(const std::string &log)
{
    std::vector<std::string> out;
    std::istringstream in(log);
    std::string ts, ifc, fr;
    while (in >> ts >> ifc >> fr) {
        const size_t r = fr.find("#R");
        if (r != std::string::npos) fr.resize(r + 2);
        out.push_back(fr);
    }
    return out;
}

class Vm : public ::testing::Test {
protected:
    void boards(const std::string &spec)
    {
        setenv("ZELK_BOARDS", spec.c_str(), 1);
        ASSERT_EQ(ZkInit(), ZK_OK) << text(ZK_E_CONFIG);
    }
    void TearDown() override
    {
        unsetenv("ZELK_BOARDS");
        ZkInit();
    }
    std::vector<zk_frame> read_n(uint8_t ch, size_t n, int ms = 20000)
    {
        std::vector<zk_frame> got;
        static zk_frame buf[512];
        nbtest::wait_until([&] {
            int16_t k;
            while ((k = ZkRead(ch, buf, 512)) > 0) got.insert(got.end(), buf, buf + k);
            return got.size() >= n;
        }, ms);
        return got;
    }
    std::string zelkctl() { return nbtest::stage_dir() + "/zelkctl"; }
};

// Marks the moment a background reader is listening: sends marker frames
// until its output shows one.
bool wait_listening(int fd, const Background &b, const char *mark)
{
    return nbtest::wait_until([&] {
        raw_send(fd, 0x7FF, {0xEE});
        usleep(20000);
        return b.output().find(mark) != std::string::npos;
    }, 30000);
}

// What candump -L on iface shows of frames sent one by one with zelkctl
// send (their messages go to *out), up to an end mark sent on fd.
std::vector<std::string> candump_of_sends(int fd, const std::string &iface, const std::string &dir,
                                          const std::vector<std::string> &frames, std::string *out)
{
    const std::string zelkctl = nbtest::stage_dir() + "/zelkctl";
    Background cd("stdbuf -oL candump -L " + iface, dir + "/candump");
    if (!wait_listening(fd, cd, "7FF#EE")) return {"candump not listening: " + cd.output()};
    out->clear();
    for (const std::string &f : frames) {
        std::string o;
        if (shell(zelkctl + " send 0 " + f, &o) != 0) return {"send " + f + ": " + o};
        *out += o;
    }
    raw_send(fd, 0x7FE, {0xEF});
    nbtest::wait_until([&] { return cd.output().find("7FE#EF") != std::string::npos; }, 30000);
    cd.stop();
    std::vector<std::string> got = frames_in(cd.output());
    while (!got.empty() && got.front() == "7FF#EE") got.erase(got.begin());
    return got;
}

TEST_F(Vm, CanUtilsFramesReachZelkctlDumpAndZelkctlSendReachesCandump)
{
    setenv("ZELK_BOARDS", (std::string("socketcan:") + vcan(0)).c_str(), 1);
    const int fd = raw_socket(vcan(0));
    ASSERT_GE(fd, 0);
    const std::string dir = nbtest::make_temp_dir("utils");
    Background dump(zelkctl() + " dump 0 --rate 1000", dir + "/dump");
    ASSERT_TRUE(wait_listening(fd, dump, "7FF#EE")) << dump.output();
    // Our own socket is the reference: it sees what zelkctl sees.
    const int ref = raw_socket(vcan(0));
    ASSERT_GE(ref, 0);
    std::string out;
    ASSERT_EQ(shell(std::string("cangen ") + vcan(0) + " -g 0 -n 400 -L r", &out), 0) << out;
    ASSERT_EQ(shell(std::string("cangen ") + vcan(0) + " -g 0 -n 200 -e -L r", &out), 0) << out;
    ASSERT_EQ(shell(std::string("cangen ") + vcan(0) + " -g 0 -n 50 -R", &out), 0) << out;
    for (const char *f : {"123#", "7FF#0102030405060708", "1FFFFFFF#55", "00000001#R"})
        ASSERT_EQ(shell(std::string("cansend ") + vcan(0) + " " + f, &out), 0) << out;
    raw_send(fd, 0x7FE, {0xEF});  // end mark
    std::vector<std::string> want;
    for (;;) {
        pollfd p{ref, POLLIN, 0};
        if (poll(&p, 1, 2000) <= 0) break;
        can_frame f;
        if (read(ref, &f, sizeof f) != ssize_t(sizeof f)) break;
        const bool ext = f.can_id & CAN_EFF_FLAG;
        want.push_back(canid_text(f.can_id & (ext ? CAN_EFF_MASK : CAN_SFF_MASK), ext,
                                  f.can_id & CAN_RTR_FLAG, f.data, f.len));
        if (want.back() == "7FE#EF") break;
    }
    ASSERT_EQ(want.size(), 655u);
    ASSERT_TRUE(nbtest::wait_until([&] { return dump.output().find("7FE#EF") != std::string::npos; }, 30000));
    dump.stop();
    std::vector<std::string> got = frames_in(dump.output());
    while (!got.empty() && got.front() == "7FF#EE") got.erase(got.begin());
    EXPECT_EQ(got, want);
    close(ref);

    // zelkctl send into candump.
    const std::vector<std::string> sent = {"000#", "123#11", "7FF#0102030405060708",
                                           "00000000#AA", "1FFFFFFF#0011223344", "456#R",
                                           "18DAF110#R"};
    std::vector<std::string> expect = sent;
    expect.push_back("7FE#EF");
    EXPECT_EQ(candump_of_sends(fd, vcan(0), dir, sent, &out), expect) << out;
    close(fd);
}

TEST_F(Vm, PythonCanSocketcanInterfaceBothWays)
{
    boards(std::string("socketcan:") + vcan(0));
    ASSERT_EQ(ZkOpen(0, ZK_OPEN_BOTH), ZK_OK);
    ASSERT_EQ(ZkStart(0), ZK_OK);
    const std::string dir = nbtest::make_temp_dir("pycan");
    Background py(std::string("/usr/bin/python3 ") + nbtest::source_dir() +
                      "/tests/zelk/socketcan/pycan_peer.py " + vcan(0) + " 9",
                  dir + "/py");
    ASSERT_TRUE(nbtest::wait_until([&] { return py.output().find("ready") != std::string::npos; }, 60000))
        << py.output();
    // Lengths 0 to 8, standard, extended and remote, to python-can.
    std::vector<std::string> sent;
    for (int len = 0; len <= 8; len++) {
        zk_frame f{};
        f.id = len % 3 == 1 ? 0x1ABCDE00u + uint32_t(len) : 0x100u + uint32_t(len);
        f.flags = uint8_t((len % 3 == 1 ? ZK_FRAME_EFF : 0) | (len == 5 ? ZK_FRAME_RTR : 0));
        f.len = uint8_t(len);
        for (int i = 0; i < len; i++) f.data[i] = uint8_t(0x10 * len + i);
        ASSERT_EQ(ZkWrite(0, &f, 1), 1) << text(ZkWrite(0, &f, 1));
        sent.push_back(zk_text_of(f));
    }
    // python-can answers with the same frames it got, then with its own.
    std::vector<zk_frame> got = read_n(0, 18, 60000);
    ASSERT_EQ(py.wait(), 0) << py.output();
    ASSERT_EQ(got.size(), 18u) << py.output();
    std::vector<std::string> back;
    for (const zk_frame &f : got) back.push_back(zk_text_of(f));
    EXPECT_EQ(std::vector<std::string>(back.begin(), back.begin() + 9), sent) << py.output();
    EXPECT_EQ(back[9], "000#");
    EXPECT_EQ(back[17], "1FFFFFFF#R");
    EXPECT_NE(py.output().find("1ABCDE04#40414243"), std::string::npos) << py.output();
}

// Transmit results: the kernel confirms every frame written once, in order;
// the confirmations never come back as received frames.
TEST_F(Vm, WrittenFramesAreConfirmedOnceAndNeverReadBack)
{
    std::string out;
    ASSERT_EQ(shell("ip link add dev zktx type vcan && ip link set up zktx", &out), 0) << out;
    boards("socketcan:zktx");
    ASSERT_EQ(ZkOpen(0, ZK_OPEN_BOTH | ZK_OPEN_TXRESULT), ZK_OK);
    ASSERT_EQ(ZkStart(0), ZK_OK);
    const int fd = raw_socket("zktx", true);
    ASSERT_GE(fd, 0);
    const uint32_t n = 300;
    for (uint32_t i = 0; i < n; i++) {
        zk_frame f{};
        f.id = 0x100 + (i & 0xFF);
        f.len = 2;
        f.data[0] = uint8_t(i);
        f.data[1] = uint8_t(i >> 8);
        ASSERT_EQ(ZkWrite(0, &f, 1), 1) << text(ZkWrite(0, &f, 1));
    }
    uint32_t settled = 0, last_ts = 0;
    ASSERT_TRUE(nbtest::wait_until([&] {
        zk_txresult r[8];
        for (int16_t k; (k = ZkTxResults(0, r, 8)) > 0;)
            for (int i = 0; i < k; i++) {
                EXPECT_EQ(r[i].seq, settled);
                EXPECT_EQ(r[i].status, ZK_TX_SENT);
                EXPECT_GE(int32_t(r[i].ts - last_ts), 0);
                settled += r[i].count;
                last_ts = r[i].ts;
            }
        return settled >= n;
    })) << settled;
    EXPECT_EQ(settled, n);
    // The peer got each once; we get the peer's frame and none of ours.
    int seen = 0;
    can_frame cf;
    while (recv(fd, &cf, sizeof cf, MSG_DONTWAIT) == ssize_t(sizeof cf)) seen++;
    EXPECT_EQ(seen, int(n));
    ASSERT_TRUE(raw_send(fd, 0x7AB, {0xAB}));
    std::vector<zk_frame> got = read_n(0, 1);
    ASSERT_EQ(got.size(), 1u);
    EXPECT_EQ(got[0].id, 0x7ABu);
    // An error frame without acknowledgement counts; stop drops nothing.
    ASSERT_TRUE(raw_send(fd, CAN_ERR_FLAG | CAN_ERR_ACK, {0, 0, 0, 0, 0, 0, 0, 0}));
    zk_chipstat st{};
    ASSERT_TRUE(nbtest::wait_until([&] { return ZkChipStat(0, &st) == ZK_OK && st.ack_errors == 1; }));
    ASSERT_EQ(ZkStop(0), ZK_OK);
    ASSERT_EQ(ZkChipStat(0, &st), ZK_OK);
    EXPECT_EQ(st.tx_dropped, 0u);
    // Gone: the last runs, then ZK_E_GONE.
    ASSERT_EQ(ZkStart(0), ZK_OK);
    zk_frame f{};
    ASSERT_EQ(ZkWrite(0, &f, 1), 1);
    close(fd);
    ASSERT_EQ(shell("ip link del zktx", &out), 0) << out;
    zk_txresult r{};
    int16_t k = 0;
    ASSERT_TRUE(nbtest::wait_until([&] { return (k = ZkTxResults(0, &r, 1)) != 0; }));
    ASSERT_EQ(k, 1) << text(k);
    EXPECT_EQ(r.seq, n);
    ASSERT_TRUE(nbtest::wait_until([&] { return ZkTxResults(0, &r, 1) == ZK_E_GONE; }));
    ZkClose(0);
    // Without the flag nothing changes: our frames are not received.
    ASSERT_EQ(shell("ip link add dev zktx type vcan && ip link set up zktx", &out), 0) << out;
    ASSERT_EQ(ZkOpen(0, ZK_OPEN_BOTH), ZK_OK);
    ASSERT_EQ(ZkStart(0), ZK_OK);
    EXPECT_EQ(ZkTxResults(0, &r, 1), ZK_E_BADARG);
    ASSERT_EQ(ZkWrite(0, &f, 1), 1);
    EXPECT_EQ(read_n(0, 1, 200).size(), 0u);
    ZkClose(0);
    shell("ip link del zktx", &out);
}

TEST_F(Vm, ErrorFramesOnVcanGiveCountersStateBusOffAndReset)
{
    boards(std::string("socketcan:") + vcan(1));
    ASSERT_EQ(ZkOpen(0, ZK_OPEN_BOTH), ZK_OK);
    ASSERT_EQ(ZkStart(0), ZK_OK);
    const int fd = raw_socket(vcan(1));
    ASSERT_GE(fd, 0);
    auto chip = [] {
        zk_chipstat st{};
        EXPECT_EQ(ZkChipStat(0, &st), ZK_OK);
        return st;
    };
    ASSERT_TRUE(raw_send(fd, CAN_ERR_FLAG | CAN_ERR_CRTL | CAN_ERR_CNT, {0, CAN_ERR_CRTL_TX_WARNING, 0, 0, 0, 0, 97, 5}));
    ASSERT_TRUE(raw_send(fd, CAN_ERR_FLAG | CAN_ERR_CRTL, {0, CAN_ERR_CRTL_RX_OVERFLOW, 0, 0, 0, 0, 0, 0}));
    ASSERT_TRUE(nbtest::wait_until([&] { return chip().bus_state == 1 && chip().hovr == 1; }));
    EXPECT_EQ(chip().tec, 97);
    EXPECT_EQ(chip().rec, 5);
    ASSERT_TRUE(raw_send(fd, CAN_ERR_FLAG | CAN_ERR_BUSOFF, {0, 0, 0, 0, 0, 0, 0, 0}));
    ASSERT_TRUE(nbtest::wait_until([&] { return chip().bus_state == 3; }));
    // The reader thread shows the new state before it hands the bus-off
    // event to the counters: the count may come a moment after the state.
    zk_errs e{};
    ASSERT_TRUE(nbtest::wait_until([&] {
        zk_errs more{};
        EXPECT_EQ(ZkErrsGetClear(0, &more), ZK_OK);
        e.ewl += more.ewl;
        e.boff += more.boff;
        e.hovr += more.hovr;
        return e.boff > 0;
    }));
    EXPECT_EQ(e.ewl, 1);
    EXPECT_EQ(e.boff, 1);
    EXPECT_EQ(e.hovr, 1);
    zk_chipstat_text t;
    zk_chipstat st = chip();
    ZkChipStatToStr(&st, &t);
    bool shows = false;
    for (int i = 0; i < 32; i++) shows |= !strcmp(t.name[i], "Bus state") && !strcmp(t.value[i], "bus-off");
    EXPECT_TRUE(shows);
    zk_frame f{};
    f.id = 0x10;
    EXPECT_EQ(ZkWrite(0, &f, 1), ZK_E_BUSOFF);
    ASSERT_EQ(ZkHwReset(0), ZK_OK);
    EXPECT_EQ(chip().bus_state, 0);
    EXPECT_EQ(ZkWrite(0, &f, 1), 1);
    // A restart the controller reports brings it back as well.
    raw_send(fd, CAN_ERR_FLAG | CAN_ERR_BUSOFF, {0, 0, 0, 0, 0, 0, 0, 0});
    ASSERT_TRUE(nbtest::wait_until([&] { return chip().bus_state == 3; }));
    raw_send(fd, CAN_ERR_FLAG | CAN_ERR_RESTARTED, {0, 0, 0, 0, 0, 0, 0, 0});
    ASSERT_TRUE(nbtest::wait_until([&] { return chip().bus_state == 0; }));
    close(fd);
}

TEST_F(Vm, NothingLostAtOneMegabitAcrossAQuarterSecondStall)
{
    // 21,277 frames/s is a saturated 1 Mbit/s bus of length-0 frames; the
    // sender keeps that pace for one second (or as close as the machine
    // gets) while the host does not read for its first 250 ms.
    boards(std::string("socketcan:") + vcan(1));
    ASSERT_EQ(ZkOpen(0, ZK_OPEN_BOTH), ZK_OK);
    ASSERT_EQ(ZkSetFilter(0, 0x100, 0x700), ZK_OK);
    ASSERT_EQ(ZkStart(0), ZK_OK);
    const int fd = raw_socket(vcan(1));
    ASSERT_GE(fd, 0);
    constexpr int kFrames = 21277;
    std::atomic<bool> done{false};
    std::thread sender([&] {
        timespec start;
        clock_gettime(CLOCK_MONOTONIC, &start);
        for (int i = 0; i < kFrames; i++) {
            // Paced in steps of 1 ms (21 frames); a frame outside the
            // filter now and then.
            if (i % 21 == 0) {
                timespec due = start;
                const long ns = long(i / 21) * 1000000L;
                due.tv_sec += ns / 1000000000L;
                due.tv_nsec += ns % 1000000000L;
                if (due.tv_nsec >= 1000000000L) { due.tv_sec++; due.tv_nsec -= 1000000000L; }
                clock_nanosleep(CLOCK_MONOTONIC, TIMER_ABSTIME, &due, nullptr);
            }
            if (i % 1000 == 999) raw_send(fd, 0x200, {});
            uint8_t b[4];
            memcpy(b, &i, 4);
            while (!raw_send(fd, 0x100 | uint32_t(i & 0xFF), {b[0], b[1], b[2], b[3]})) usleep(100);
        }
        done = true;
    });
    timespec stall{0, 250 * 1000 * 1000};
    nanosleep(&stall, nullptr);  // the host's main loop is busy elsewhere
    std::vector<zk_frame> got;
    static zk_frame buf[512];
    // Then 512 frames per 20 ms tick, as the host's poller reads.
    nbtest::wait_until([&] {
        timespec tick{0, 20 * 1000 * 1000};
        nanosleep(&tick, nullptr);
        const int16_t k = ZkRead(0, buf, 512);
        if (k > 0) got.insert(got.end(), buf, buf + k);
        return done && got.size() >= size_t(kFrames);
    }, 120000);
    sender.join();
    zk_errs e{};
    ASSERT_EQ(ZkErrsGetClear(0, &e), ZK_OK);
    EXPECT_EQ(e.sovr, 0);
    ASSERT_EQ(got.size(), size_t(kFrames));
    for (int i = 0; i < kFrames; i++) {
        int seq;
        memcpy(&seq, got[size_t(i)].data, 4);
        ASSERT_EQ(seq, i);
        if (i) {
            ASSERT_GE(int32_t(got[size_t(i)].ts - got[size_t(i - 1)].ts), 0);
        }
    }
    close(fd);
}

// A fake serial adapter on a pseudo-terminal under the kernel's slcan line
// discipline: a thread keeps reading what the kernel sends (the driver
// waits until its commands have left the tty).
struct SlcanPty {
    int master = -1, slave = -1;
    char name[IFNAMSIZ] = "";
    std::thread reader;
    std::atomic<bool> quit{false};
    std::atomic<bool> paused{false};  // the adapter stops taking bytes
    std::mutex mu;
    std::string seen;
    bool open()
    {
        master = posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
        if (master < 0 || grantpt(master) || unlockpt(master)) return false;
        slave = ::open(ptsname(master), O_RDWR | O_NOCTTY | O_CLOEXEC);
        const int ldisc = 17;  // N_SLCAN
        if (slave < 0 || ioctl(slave, TIOCSETD, &ldisc) != 0) return false;
        if (ioctl(slave, SIOCGIFNAME, name) != 0) return false;
        reader = std::thread([this] {
            char b[256];
            while (!quit) {
                pollfd p{master, POLLIN, 0};
                if (poll(paused ? nullptr : &p, paused ? 0 : 1, 50) <= 0) continue;
                const ssize_t n = read(master, b, sizeof b);
                if (n <= 0) continue;
                std::lock_guard<std::mutex> g(mu);
                seen.append(b, size_t(n));
            }
        });
        return true;
    }
    std::string take()
    {
        std::lock_guard<std::mutex> g(mu);
        std::string s;
        s.swap(seen);
        for (char &c : s)
            if (c == '\r') c = '|';
        return s;
    }
    bool saw(const std::string &what)
    {
        return nbtest::wait_until([&] {
            std::lock_guard<std::mutex> g(mu);
            std::string s = seen;
            for (char &c : s)
                if (c == '\r') c = '|';
            return s.find(what) != std::string::npos;
        });
    }
    ~SlcanPty()
    {
        quit = true;
        if (reader.joinable()) reader.join();
        if (slave >= 0) close(slave);
        if (master >= 0) close(master);
    }
};

TEST_F(Vm, SlcanDriverGetsBitRateListenOnlyAndStartStopAsSerialCommands)
{
    SlcanPty pty;
    ASSERT_TRUE(pty.open()) << strerror(errno);
    boards(std::string("socketcan:") + pty.name);
    ASSERT_EQ(ZkOpen(0, ZK_OPEN_BOTH), ZK_OK);
    ASSERT_EQ(ZkSetBaud(0, 0x01, 0x1C), ZK_OK) << text(ZK_E_IO);  // 250 kbit/s
    ASSERT_EQ(ZkSetLom(0, 1), ZK_OK);
    ASSERT_EQ(ZkStart(0), ZK_OK) << text(ZkStart(0));
    EXPECT_TRUE(pty.saw("C|S5|L|")) << pty.take();
    pty.take();
    ASSERT_EQ(ZkStop(0), ZK_OK);
    EXPECT_TRUE(pty.saw("C|")) << pty.take();
    // An odd register pair at 100 kbit/s: this driver has only its list of
    // rates, so the same rate by number.
    ASSERT_EQ(ZkSetBaud(0, 0x43, 0x2F), ZK_OK) << text(ZK_E_IO);
    ASSERT_EQ(ZkSetLom(0, 0), ZK_OK);
    pty.take();
    ASSERT_EQ(ZkStart(0), ZK_OK);
    EXPECT_TRUE(pty.saw("S3|O|")) << pty.take();
    // A rate the driver cannot make is refused with the reason.
    EXPECT_EQ(ZkSetBaud(0, 0x05, 0x1C), ZK_E_NORATE);  // 83.3 kbit/s
    EXPECT_NE(text(ZK_E_NORATE).find("83333 bit/s"), std::string::npos) << text(ZK_E_NORATE);

    // Frames both ways through the serial text.
    ASSERT_EQ(write(pty.master, "t1232AABB\r", 10), 10);
    std::vector<zk_frame> got = read_n(0, 1);
    ASSERT_EQ(got.size(), 1u);
    EXPECT_EQ(zk_text_of(got[0]), "123#AABB");
    zk_frame f{};
    f.id = 0x456;
    f.len = 1;
    f.data[0] = 0x11;
    ASSERT_EQ(ZkWrite(0, &f, 1), 1);
    EXPECT_TRUE(pty.saw("t456111|")) << pty.take();

    // An adapter that takes nothing more: the driver's queue fills, the
    // write waits for the write timeout and says so, and counts it.
    pty.paused = true;
    int16_t w = 1;
    for (int i = 0; i < 100000 && w == 1; i++) w = ZkWrite(0, &f, 1);
    EXPECT_EQ(w, ZK_E_WTOUT);
    EXPECT_NE(text(ZK_E_WTOUT).find("stayed full for 20 ms"), std::string::npos) << text(ZK_E_WTOUT);
    zk_errs wt{};
    ASSERT_EQ(ZkErrsGetClear(0, &wt), ZK_OK);
    EXPECT_EQ(wt.wtout, 1);
    pty.paused = false;
    EXPECT_TRUE(nbtest::wait_until([&] { return ZkWrite(0, &f, 1) == 1; }, 20000));

    // The adapter reports bus-off: counted, and the status says so from
    // the driver's own state; a reset restarts the controller.
    ASSERT_EQ(write(pty.master, "sb256256\r", 9), 9);
    zk_chipstat st{};
    ASSERT_TRUE(nbtest::wait_until([&] { return ZkChipStat(0, &st) == ZK_OK && st.bus_state == 3; }));
    zk_errs e{};
    ASSERT_TRUE(nbtest::wait_until([&] { return ZkErrsGetClear(0, &e) == ZK_OK && e.boff; }));
    // This driver has no restart of its own: closing and opening the
    // interface is the reset.
    ASSERT_EQ(ZkHwReset(0), ZK_OK) << text(ZkHwReset(0));
    ASSERT_TRUE(nbtest::wait_until([&] { return ZkChipStat(0, &st) == ZK_OK && st.bus_state == 0; }));
    EXPECT_EQ(ZkWrite(0, &f, 1), 1) << text(ZK_E_IO);
    ASSERT_EQ(ZkStop(0), ZK_OK);
    ZkClose(0);

    // Without CAP_NET_ADMIN: a different rate is refused with what to do,
    // the rate in force is fine once the interface is up.
    std::string out;
    const std::string nocap = "setpriv --bounding-set=-net_admin --inh-caps=-net_admin ";
    EXPECT_EQ(shell(nocap + zelkctl() + " dump 0 --rate 500 --seconds 0.2", &out), 1) << out;
    EXPECT_NE(out.find("needs CAP_NET_ADMIN: run 'ip link set " + std::string(pty.name) +
                       " type can bitrate 500000' as root"),
              std::string::npos) << out;
    EXPECT_EQ(shell(nocap + zelkctl() + " dump 0 --rate 100 --seconds 0.2", &out), 1) << out;
    EXPECT_NE(out.find("is down; bringing it up needs CAP_NET_ADMIN: run 'ip link set " +
                       std::string(pty.name) + " up'"),
              std::string::npos) << out;
    ASSERT_EQ(shell(std::string("ip link set up ") + pty.name, &out), 0) << out;
    EXPECT_EQ(shell(nocap + zelkctl() + " dump 0 --rate 100 --seconds 0.2", &out), 0) << out;
    EXPECT_EQ(shell(nocap + zelkctl() + " dump 0 --rate 250 --seconds 0.2", &out), 1) << out;
    EXPECT_NE(out.find("run 'ip link set " + std::string(pty.name) + " down' and 'ip link set " +
                       pty.name + " up type can bitrate 250000' as root"),
              std::string::npos) << out;
}

TEST_F(Vm, AVanishedInterfaceIsGoneAfterItsFramesAndTheListFindsInterfaces)
{
    std::string out;
    ASSERT_EQ(shell("ip link add dev zkgone type vcan && ip link set up zkgone", &out), 0) << out;
    boards("socketcan:zkgone");
    ASSERT_EQ(ZkOpen(0, ZK_OPEN_BOTH), ZK_OK);
    ASSERT_EQ(ZkStart(0), ZK_OK);
    const int fd = raw_socket("zkgone");
    for (int i = 0; i < 3; i++) raw_send(fd, 0x10 + uint32_t(i), {uint8_t(i)});
    close(fd);
    // The frames received before the interface went are still read.
    zk_chipstat st{};
    ASSERT_TRUE(nbtest::wait_until([&] { return ZkChipStat(0, &st) == ZK_OK && ZkRead(0, nullptr, 0) == 0; }));
    ASSERT_EQ(shell("ip link del zkgone", &out), 0) << out;
    std::vector<zk_frame> got = read_n(0, 3);
    ASSERT_EQ(got.size(), 3u);
    EXPECT_EQ(zk_text_of(got[2]), "012#02");
    zk_frame buf[4];
    ASSERT_TRUE(nbtest::wait_until([&] { return ZkRead(0, buf, 4) == ZK_E_GONE; }));
    zk_frame f{};
    EXPECT_EQ(ZkWrite(0, &f, 1), ZK_E_GONE);
    EXPECT_NE(text(ZK_E_GONE).find("CAN interface zkgone is gone"), std::string::npos) << text(ZK_E_GONE);
    zk_errs e{};
    EXPECT_EQ(ZkErrsGetClear(0, &e), ZK_E_GONE);
    ZkClose(0);
    EXPECT_EQ(ZkOpen(0, ZK_OPEN_BOTH), ZK_E_NODEV);
    EXPECT_NE(text(ZK_E_NODEV).find("no network interface zkgone"), std::string::npos);

    // The default list: the simulated board, then the interfaces here.
    unsetenv("ZELK_BOARDS");
    ASSERT_EQ(shell(zelkctl() + " list", &out), 0) << out;
    EXPECT_NE(out.find("board 0: ZELK simulated CAN"), std::string::npos) << out;
    EXPECT_NE(out.find(std::string("board 1: SocketCAN ") + vcan(0) + ", driver vcan (Linux kernel)"),
              std::string::npos) << out;
    EXPECT_NE(out.find("  channel 2: free"), std::string::npos) << out;
}

// A vcan interface of its own, gone with the test.
struct Vcan {
    std::string name;
    explicit Vcan(const std::string &n, int mtu) : name(n)
    {
        std::string out;
        EXPECT_EQ(shell("ip link add dev " + n + " type vcan && ip link set " + n + " mtu " +
                     std::to_string(mtu) + " && ip link set up " + n, &out), 0) << out;
    }
    ~Vcan() { shell("ip link del " + name); }
};

// candump's ID##F form of an FD frame read from a raw socket, the flags
// digit with the FD mark (4) as current kernels set it.
std::string fd_text(const canfd_frame &f)
{
    const bool ext = f.can_id & CAN_EFF_FLAG;
    char b[160];
    int n = snprintf(b, sizeof b, ext ? "%08X##%X" : "%03X##%X",
                     unsigned(f.can_id & (ext ? CAN_EFF_MASK : CAN_SFF_MASK)),
                     unsigned((f.flags | CANFD_FDF) & (CANFD_BRS | CANFD_ESI | CANFD_FDF)));
    for (int i = 0; i < f.len; i++) n += snprintf(b + n, sizeof b - size_t(n), "%02X", f.data[i]);
    return b;
}

std::string zk_fd_text(const zk_fdframe &f)
{
    if (!(f.flags & ZK_FRAME_FDF))
        return canid_text(f.id, f.flags & ZK_FRAME_EFF, f.flags & ZK_FRAME_RTR, f.data, f.len);
    canfd_frame c{};
    c.can_id = f.id | ((f.flags & ZK_FRAME_EFF) ? CAN_EFF_FLAG : 0);
    c.flags = uint8_t(((f.flags & ZK_FRAME_BRS) ? CANFD_BRS : 0) | ((f.flags & ZK_FRAME_ESI) ? CANFD_ESI : 0));
    c.len = f.len;
    memcpy(c.data, f.data, f.len);
    return fd_text(c);
}

// Reads classic and FD frames from a raw FD socket until the end mark.
std::vector<std::string> raw_read_until(int fd, const std::string &end)
{
    std::vector<std::string> got;
    for (;;) {
        pollfd p{fd, POLLIN, 0};
        if (poll(&p, 1, 5000) <= 0) break;
        canfd_frame f;
        const ssize_t n = read(fd, &f, sizeof f);
        if (n == CANFD_MTU) got.push_back(fd_text(f));
        else if (n == CAN_MTU) {
            const bool ext = f.can_id & CAN_EFF_FLAG;
            got.push_back(canid_text(f.can_id & (ext ? CAN_EFF_MASK : CAN_SFF_MASK), ext,
                                     f.can_id & CAN_RTR_FLAG, f.data, f.len));
        } else break;
        if (got.back() == end) break;
    }
    return got;
}

TEST_F(Vm, FdFramesFromCanUtilsReachZelkctlDumpAndZelkctlSendReachesCandump)
{
    Vcan fdif("zkfd", 72), classic("zkcl", 16);
    // A classic interface refuses FD and says how to get it.
    boards("socketcan:zkcl");
    EXPECT_EQ(ZkOpen(0, ZK_OPEN_BOTH | ZK_OPEN_FD), ZK_E_NOFD);
    EXPECT_NE(text(ZK_E_NOFD).find("'ip link set zkcl mtu 72'"), std::string::npos) << text(ZK_E_NOFD);

    setenv("ZELK_BOARDS", "socketcan:zkfd", 1);
    const int fd = raw_socket("zkfd");
    ASSERT_GE(fd, 0);
    const std::string dir = nbtest::make_temp_dir("fdutils");
    Background dump(zelkctl() + " dump 0", dir + "/dump");
    ASSERT_TRUE(wait_listening(fd, dump, "7FF#EE")) << dump.output();
    const int ref = raw_socket("zkfd");
    const int one = 1;
    ASSERT_EQ(setsockopt(ref, SOL_CAN_RAW, CAN_RAW_FD_FRAMES, &one, sizeof one), 0);
    std::string out;
    // Every FD length with each flag, standard and extended, between
    // classic frames; then cangen's random FD traffic with BRS.
    const int lens[] = {0, 1, 2, 3, 4, 5, 6, 7, 8, 12, 16, 20, 24, 32, 48, 64};
    std::string cmds;
    for (int i = 0; i < 16; i++) {
        std::string data;
        for (int k = 0; k < lens[i]; k++) data += "0123456789ABCDEF"[(k + i) % 16], data += "FEDCBA9876543210"[k % 16];
        char id[16];
        snprintf(id, sizeof id, i % 2 ? "%08X" : "%03X", i % 2 ? 0x1ABCDE00u + unsigned(i) : 0x100u + unsigned(i));
        cmds += "cansend zkfd " + std::string(id) + "##" + "0123"[i % 4] + data + " && ";
        cmds += "cansend zkfd 321#" + data.substr(0, std::min<size_t>(data.size(), 16)) + " && ";
    }
    ASSERT_EQ(shell(cmds + "cangen zkfd -f -b -g 0 -n 300 && cangen zkfd -f -g 0 -n 100 -e", &out), 0) << out;
    raw_send(fd, 0x7FE, {0xEF});
    const std::vector<std::string> want = raw_read_until(ref, "7FE#EF");
    ASSERT_EQ(want.size(), 433u);
    ASSERT_TRUE(nbtest::wait_until([&] { return dump.output().find("7FE#EF") != std::string::npos; }, 30000));
    dump.stop();
    std::vector<std::string> got = frames_in(dump.output());
    while (!got.empty() && got.front() == "7FF#EE") got.erase(got.begin());
    EXPECT_EQ(got, want);

    // zelkctl send into candump, a length between FD lengths padded with 00.
    std::vector<std::string> sent = {"123##5", "456##4112233445566778899AABBCC",
                                     "1ABCDEF0##7" + std::string(128, 'C'), "7FF#0102",
                                     "789##1112233445566778899"};
    std::vector<std::string> expect = sent;
    expect.back() = "789##5112233445566778899000000";
    expect.push_back("7FE#EF");
    EXPECT_EQ(candump_of_sends(fd, "zkfd", dir, sent, &out), expect) << out;
    EXPECT_NE(out.find("9 data bytes padded to the CAN FD length 12 with 00"), std::string::npos) << out;
    close(ref);
    close(fd);
}

TEST_F(Vm, PythonCanFdBothWaysAndAClassicReaderCountsWhatItSkips)
{
    Vcan fdif("zkfd", 72);
    boards("socketcan:zkfd");
    ASSERT_EQ(ZkOpen(0, ZK_OPEN_BOTH | ZK_OPEN_FD), ZK_OK) << text(ZK_E_NOFD);
    ASSERT_EQ(ZkStart(0), ZK_OK);
    const std::string dir = nbtest::make_temp_dir("pycanfd");
    Background py(std::string("/usr/bin/python3 ") + nbtest::source_dir() +
                      "/tests/zelk/socketcan/pycan_peer.py zkfd 20 fd",
                  dir + "/py");
    ASSERT_TRUE(nbtest::wait_until([&] { return py.output().find("ready") != std::string::npos; }, 60000))
        << py.output();
    const int lens[] = {0, 1, 2, 3, 4, 5, 6, 7, 8, 12, 16, 20, 24, 32, 48, 64};
    std::vector<zk_fdframe> frames;
    for (int i = 0; i < 16; i++) {
        zk_fdframe f{};
        f.id = i % 2 ? 0x1ABCDE00u + uint32_t(i) : 0x100u + uint32_t(i);
        f.flags = uint8_t(ZK_FRAME_FDF | (i % 2 ? ZK_FRAME_EFF : 0) | (i % 3 ? ZK_FRAME_BRS : 0) |
                          (i % 4 == 1 ? ZK_FRAME_ESI : 0));
        f.len = uint8_t(lens[i]);
        for (int k = 0; k < f.len; k++) f.data[k] = uint8_t(i * 16 + k);
        frames.push_back(f);
        if (i % 4 == 0) {
            zk_fdframe c{};
            c.id = 0x200u + uint32_t(i);
            c.len = 2;
            c.data[0] = uint8_t(i);
            frames.push_back(c);
        }
    }
    ASSERT_EQ(frames.size(), 20u);
    ASSERT_EQ(ZkWriteFd(0, frames.data(), 20), 20) << text(ZK_E_IO);
    std::vector<std::string> sent;
    for (const zk_fdframe &f : frames) sent.push_back(zk_fd_text(f));
    // python-can answers with the same frames, then with its own 16.
    std::vector<zk_fdframe> got;
    nbtest::wait_until([&] {
        zk_fdframe buf[64];
        for (int16_t k; (k = ZkReadFd(0, buf, 64)) > 0;) got.insert(got.end(), buf, buf + k);
        return got.size() >= 36;
    }, 60000);
    ASSERT_EQ(py.wait(), 0) << py.output();
    ASSERT_EQ(got.size(), 36u) << py.output();
    std::vector<std::string> back;
    for (const zk_fdframe &f : got) back.push_back(zk_fd_text(f));
    EXPECT_EQ(std::vector<std::string>(back.begin(), back.begin() + 20), sent) << py.output();
    for (const std::string &s : sent) EXPECT_NE(py.output().find(s + "\n"), std::string::npos) << s;
    EXPECT_EQ(back[20], "000##5");
    EXPECT_EQ(back[35], "1FFFFFFF##7" + std::string(128, 'F'));
    EXPECT_EQ(got[35].flags, ZK_FRAME_EFF | ZK_FRAME_FDF | ZK_FRAME_BRS | ZK_FRAME_ESI);

    // A classic program on the interface: the classic frames, the FD ones
    // counted.
    ZkClose(0);
    ASSERT_EQ(ZkOpen(0, ZK_OPEN_BOTH), ZK_OK);
    ASSERT_EQ(ZkStart(0), ZK_OK);
    const int raw = raw_socket("zkfd");
    const int one = 1;
    ASSERT_EQ(setsockopt(raw, SOL_CAN_RAW, CAN_RAW_FD_FRAMES, &one, sizeof one), 0);
    for (const zk_fdframe &f : frames) {
        canfd_frame c{};
        c.can_id = f.id | ((f.flags & ZK_FRAME_EFF) ? CAN_EFF_FLAG : 0);
        c.len = f.len;
        memcpy(c.data, f.data, f.len);
        const size_t size = (f.flags & ZK_FRAME_FDF) ? CANFD_MTU : CAN_MTU;
        ASSERT_EQ(write(raw, &c, size), ssize_t(size));
    }
    close(raw);
    std::vector<zk_frame> classic = read_n(0, 4);
    EXPECT_EQ(classic.size(), 4u);
    zk_chipstat st{};
    ASSERT_TRUE(nbtest::wait_until([&] { return ZkChipStat(0, &st) == ZK_OK && st.fd_skipped == 16; }))
        << st.fd_skipped;
}

// ---- cyclic jobs: the kernel's broadcast manager ---------------------

// The frames of a job as a raw reader and the channel see them, up to an
// end mark.
// What a raw reader has now, waiting at most 10 ms for the first frame.
std::vector<std::string> raw_drain(int fd)
{
    std::vector<std::string> got;
    for (int wait = 10;; wait = 0) {
        pollfd p{fd, POLLIN, 0};
        if (poll(&p, 1, wait) <= 0) return got;
        canfd_frame f;
        const ssize_t n = read(fd, &f, sizeof f);
        if (n == CANFD_MTU) {
            got.push_back(fd_text(f));
        } else if (n == CAN_MTU) {
            const bool ext = f.can_id & CAN_EFF_FLAG;
            got.push_back(canid_text(f.can_id & (ext ? CAN_EFF_MASK : CAN_SFF_MASK), ext,
                                     f.can_id & CAN_RTR_FLAG, f.data, f.len));
        } else {
            return got;
        }
    }
}

std::vector<std::string> job_frames(const std::vector<std::string> &all, const std::string &prefix)
{
    std::vector<std::string> out;
    for (const std::string &f : all)
        if (f.compare(0, prefix.size(), prefix) == 0) out.push_back(f);
    return out;
}

TEST_F(Vm, CyclicJobsOfTheKernelArriveOnceFollowChangesAndStop)
{
    Vcan bcm("zkbcm", 72);
    boards("socketcan:zkbcm");
    ASSERT_EQ(ZkOpen(0, ZK_OPEN_BOTH | ZK_OPEN_FD), ZK_OK);
    ASSERT_EQ(ZkStart(0), ZK_OK);
    const int ref = raw_socket("zkbcm"), marks = raw_socket("zkbcm");
    const int one = 1;
    ASSERT_EQ(setsockopt(ref, SOL_CAN_RAW, CAN_RAW_FD_FRAMES, &one, sizeof one), 0);

    zk_fdframe a{};
    a.id = 0x123;
    a.len = 2;
    a.data[0] = 0x11;
    a.data[1] = 0x22;
    zk_fdframe mixed[2] = {a, a};
    mixed[1].id = 0x124;
    EXPECT_EQ(ZkCyclicSet(0, &a, 1, 50), ZK_E_BADARG);
    EXPECT_EQ(ZkCyclicSet(0, mixed, 2, 10000), ZK_E_BADARG);
    uint32_t sent = 0;
    EXPECT_EQ(ZkCyclicSent(0, 0x123, 0, &sent), ZK_E_QEMPTY);

    // 10 ms classic; 1 ms FD, a sequence of four with a counter in byte 0.
    ASSERT_EQ(ZkCyclicSet(0, &a, 1, 10000), ZK_OK) << text(ZK_E_IO);
    zk_fdframe seq[4];
    for (int k = 0; k < 4; k++) {
        seq[k] = zk_fdframe{};
        seq[k].id = 0x1ABCDE00;
        seq[k].flags = ZK_FRAME_EFF | ZK_FRAME_FDF | ZK_FRAME_BRS;
        seq[k].len = 64;
        memset(seq[k].data, 0xA5, 64);
        seq[k].data[0] = uint8_t(k);
    }
    ASSERT_EQ(ZkCyclicSet(0, seq, 4, 1000), ZK_OK) << text(ZK_E_IO);
    const std::string fd_prefix = "1ABCDE00##";
    std::vector<std::string> want;
    auto read_ref = [&](const std::function<bool()> &done) {
        return nbtest::wait_until([&] {
            std::vector<std::string> got = raw_drain(ref);
            want.insert(want.end(), got.begin(), got.end());
            return done();
        }, 30000);
    };
    ASSERT_TRUE(read_ref([&] {
        return job_frames(want, "123#").size() >= 20 && job_frames(want, fd_prefix).size() >= 100;
    }));
    // The channel has counted at least what it delivered so far.
    std::vector<std::string> got;
    auto read_chan = [&] {
        zk_fdframe buf[256];
        for (int16_t k; (k = ZkReadFd(0, buf, 256)) > 0;)
            for (int i = 0; i < k; i++) got.push_back(zk_fd_text(buf[i]));
    };
    read_chan();
    const size_t delivered = job_frames(got, "123#").size();
    ASSERT_EQ(ZkCyclicSent(0, 0x123, 0, &sent), ZK_OK);
    EXPECT_GE(sent, delivered);
    EXPECT_GT(sent, 0u);

    // New bytes go out from the next frame on; the FD sequence runs on.
    a.data[0] = 0x33;
    ASSERT_EQ(ZkCyclicSet(0, &a, 1, 10000), ZK_OK);
    ASSERT_TRUE(read_ref([&] {
        const auto c = job_frames(want, "123#");
        return std::find(c.begin(), c.end(), "123#3322") != c.end();
    }));
    // The final counts, the timers stopped first: every frame that went.
    uint32_t sent_classic = 0, sent_fd = 0, none = 1;
    EXPECT_EQ(ZkCyclicStop(0, 0x123, 0, &sent_classic), ZK_OK);
    EXPECT_EQ(ZkCyclicStop(0, 0x1ABCDE00, ZK_FRAME_EFF | ZK_FRAME_FDF, &sent_fd), ZK_OK);
    EXPECT_EQ(ZkCyclicStop(0, 0x1ABCDE00, ZK_FRAME_EFF | ZK_FRAME_FDF, &none), ZK_OK);
    EXPECT_EQ(none, 0u);
    EXPECT_EQ(ZkCyclicSent(0, 0x123, 0, &sent), ZK_E_QEMPTY);
    // Stopped means silent: nothing of either job between two marks
    // 50 ms apart (five and fifty periods).
    usleep(50000);
    raw_send(marks, 0x7FD, {0xEE});
    usleep(50000);
    raw_send(marks, 0x7FE, {0xEF});
    ASSERT_TRUE(read_ref([&] { return !want.empty() && want.back() == "7FE#EF"; }));
    const auto mark = std::find(want.begin(), want.end(), "7FD#EE");
    ASSERT_NE(mark, want.end());
    EXPECT_EQ(std::vector<std::string>(mark, want.end()),
              (std::vector<std::string>{"7FD#EE", "7FE#EF"}));

    // Content: 1122 until the change, then 3322 only; the sequence from
    // frame 0 in turn, flags and bytes as set.
    const auto c = job_frames(want, "123#");
    const auto first_new = std::find(c.begin(), c.end(), "123#3322");
    EXPECT_EQ(std::count(c.begin(), first_new, "123#1122"), first_new - c.begin());
    EXPECT_EQ(std::count(first_new, c.end(), "123#3322"), c.end() - first_new);
    const auto f = job_frames(want, fd_prefix);
    EXPECT_EQ(sent_classic, c.size());
    EXPECT_EQ(sent_fd, f.size());
    std::string rest;
    for (int k = 1; k < 64; k++) rest += "A5";
    ASSERT_GT(f.size(), 100u);
    for (size_t i = 0; i < f.size(); i++) {
        char head[4];
        snprintf(head, sizeof head, "%02X", unsigned(i % 4));
        ASSERT_EQ(f[i], fd_prefix + "5" + head + rest) << i;
    }
    // The channel got the same frames as the raw reader, each once.
    ASSERT_TRUE(nbtest::wait_until([&] {
        read_chan();
        return !got.empty() && got.back() == "7FE#EF";
    }, 30000));
    EXPECT_EQ(got, want);

    // Stopping the controller ends the jobs; FD jobs need an FD channel.
    ASSERT_EQ(ZkCyclicSet(0, &a, 1, 10000), ZK_OK);
    ASSERT_EQ(ZkStop(0), ZK_OK);
    EXPECT_EQ(ZkCyclicSent(0, 0x123, 0, &sent), ZK_E_NOTSTARTED);
    ASSERT_EQ(ZkStart(0), ZK_OK);
    EXPECT_EQ(ZkCyclicSent(0, 0x123, 0, &sent), ZK_E_QEMPTY);
    ZkClose(0);
    ASSERT_EQ(ZkOpen(0, ZK_OPEN_BOTH), ZK_OK);
    ASSERT_EQ(ZkStart(0), ZK_OK);
    EXPECT_EQ(ZkCyclicSet(0, seq, 4, 1000), ZK_E_NOFD);
    close(ref);
    close(marks);
}

// candump -L any of cangen on two interfaces at once, read by our log
// reader: each interface's frames on the channel its name numbers, in
// the order sent, none lost or moved to the other.
TEST_F(Vm, CandumpAnyLogOfTwoInterfacesReadsBackWithBothNames)
{
    const int fd0 = raw_socket(vcan(0)), fd1 = raw_socket(vcan(1));
    ASSERT_GE(fd0, 0);
    ASSERT_GE(fd1, 0);
    const std::string dir = nbtest::make_temp_dir("anylog");
    const std::string path = dir + "/any.log";
    Background cd("stdbuf -oL candump -L any", path);
    ASSERT_TRUE(wait_listening(fd0, cd, "7FF#EE")) << cd.output();
    std::string out;
    ASSERT_EQ(shell(std::string("cangen ") + vcan(0) + " -g 1 -n 30 -I 123 -L 8 -D i & cangen " +
                    vcan(1) + " -g 1 -n 30 -e -I 18DAF110 -L 8 -D i; wait", &out), 0) << out;
    raw_send(fd1, 0x7FE, {0xEF});
    ASSERT_TRUE(nbtest::wait_until([&] { return cd.output().find("7FE#EF") != std::string::npos; }, 30000));
    cd.stop();
    close(fd0);
    close(fd1);

    // What candump wrote, by interface name.
    std::vector<std::string> named[2];
    {
        std::istringstream in(nbtest::read_file(path));
        std::string ts, ifc, fr;
        while (in >> ts >> ifc >> fr) {
            ASSERT_TRUE(ifc == vcan(0) || ifc == vcan(1)) << ifc;
            named[ifc == vcan(1)].push_back(fr);
        }
    }
    int err = 0;
    cl_reader *r = cl_open(path.c_str(), CL_FMT_AUTO, &err);
    ASSERT_NE(nullptr, r) << err;
    cl_set_fd(r, 1);
    std::vector<std::string> chan[2];
    cl_frame f;
    while (cl_next(r, &f) == 1) {
        ASSERT_LT(f.chan, 2u) << "a channel neither interface names";
        chan[f.chan].push_back(canid_text(f.id, f.flags & CL_EXT, f.flags & CL_RTR, f.data, f.len));
    }
    EXPECT_EQ(0u, cl_reader_stats(r)->bad) << cl_reader_stats(r)->first_bad;
    cl_close(r);
    for (int c = 0; c < 2; c++) {
        SCOPED_TRACE(vcan(c));
        EXPECT_EQ(named[c], chan[c]);
        // cangen's frames, each once and in order: the payload counts up.
        std::vector<std::string> gen;
        for (const std::string &t : chan[c])
            if (t.compare(0, c ? 9 : 4, c ? "18DAF110#" : "123#") == 0)
                gen.push_back(t);
        ASSERT_EQ(30u, gen.size());
        for (size_t i = 1; i < gen.size(); i++)
            EXPECT_EQ((strtoul(gen[i - 1].substr(gen[i - 1].find('#') + 1, 2).c_str(), nullptr, 16) + 1) & 0xFF,
                      strtoul(gen[i].substr(gen[i].find('#') + 1, 2).c_str(), nullptr, 16)) << i;
    }
    EXPECT_EQ("7FE#EF", chan[1].back());
}

}  // namespace
