// The diagnostics library against the kernel's own transport stacks, on a
// kernel with CAN (run by scripts/can-vm.sh through
// tests/zelk/socketcan/guest_tests.sh): can-isotp with can-utils'
// isotpsend/isotprecv and can-j1939 with j1939cat send and receive; a raw
// socket watches the bus, and what our decoders make of the traffic must
// equal what the kernel's receivers received. Our sender sends to
// isotprecv, and our flow control lets isotpsend deliver to us.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <net/if.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <atomic>
#include <cstdio>
#include <cstring>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include <linux/can.h>
#include <linux/can/raw.h>

#include "diag.h"
#include "test_env.h"

namespace {

const char *const CLASSIC = "dgcan0";
const char *const FD = "dgfd0";

uint64_t now_us()
{
    timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return (uint64_t)ts.tv_sec * 1000000u + (uint64_t)ts.tv_nsec / 1000u;
}

int sh(const std::string &cmd)
{
    const int st = system(cmd.c_str());
    return WIFEXITED(st) ? WEXITSTATUS(st) : -1;
}

// A command in the background with its output in a file.
struct background {
    pid_t pid = -1;
    int status = -1;
    explicit background(const std::string &cmd)
    {
        pid = fork();
        if (pid == 0) {
            execl("/bin/sh", "sh", "-c", ("exec " + cmd).c_str(), static_cast<char *>(nullptr));
            _exit(127);
        }
    }
    bool exited()
    {
        if (pid > 0 && waitpid(pid, &status, WNOHANG) == pid)
            pid = -1;
        return pid <= 0;
    }
    ~background()
    {
        if (pid > 0) {
            kill(pid, SIGTERM);
            waitpid(pid, &status, 0);
        }
    }
};

int raw_socket(const char *ifname, bool fd)
{
    const int s = socket(PF_CAN, SOCK_RAW, CAN_RAW);
    if (s < 0)
        return -1;
    const int on = 1;
    if (fd)
        setsockopt(s, SOL_CAN_RAW, CAN_RAW_FD_FRAMES, &on, sizeof on);
    sockaddr_can addr{};
    addr.can_family = AF_CAN;
    addr.can_ifindex = (int)if_nametoindex(ifname);
    if (bind(s, (sockaddr *)&addr, sizeof addr) < 0) {
        close(s);
        return -1;
    }
    return s;
}

bool read_frame(int s, dg_frame *out, int timeout_ms)
{
    pollfd p{s, POLLIN, 0};
    if (poll(&p, 1, timeout_ms) <= 0)
        return false;
    canfd_frame cf{};
    const ssize_t n = read(s, &cf, sizeof cf);
    if (n != CAN_MTU && n != CANFD_MTU)
        return false;
    memset(out, 0, sizeof *out);
    out->t_us = now_us();
    out->id = cf.can_id & CAN_EFF_MASK;
    out->flags = (cf.can_id & CAN_EFF_FLAG ? DG_EXT : 0) | (cf.can_id & CAN_RTR_FLAG ? DG_RTR : 0) |
                 (n == CANFD_MTU ? DG_FDF : 0);
    out->len = cf.len;
    memcpy(out->data, cf.data, cf.len);
    return true;
}

void write_frame(int s, uint32_t id, const itp_tx_frame &f, bool fd)
{
    canfd_frame cf{};
    cf.can_id = id;
    cf.len = f.len;
    memcpy(cf.data, f.data, f.len);
    ASSERT_EQ(write(s, &cf, fd ? CANFD_MTU : CAN_MTU), fd ? CANFD_MTU : CAN_MTU);
}

// Every frame on an interface, as it passes.
struct capture {
    int s;
    std::atomic<bool> stop{false};
    std::mutex m;
    std::vector<dg_frame> frames;
    std::thread th;
    explicit capture(const char *ifname) : s(raw_socket(ifname, true))
    {
        /* Room for a whole 4095-byte message sent without pauses. */
        const int size = 8 << 20;
        setsockopt(s, SOL_SOCKET, SO_RCVBUFFORCE, &size, sizeof size);
        th = std::thread([this] {
            dg_frame f;
            while (!stop)
                if (read_frame(s, &f, 50)) {
                    std::lock_guard<std::mutex> g(m);
                    frames.push_back(f);
                }
        });
    }
    ~capture()
    {
        stop = true;
        th.join();
        close(s);
    }
    std::vector<dg_frame> copy()
    {
        std::lock_guard<std::mutex> g(m);
        return frames;
    }
    size_t count_id(uint32_t id)
    {
        std::lock_guard<std::mutex> g(m);
        size_t n = 0;
        for (const dg_frame &f : frames)
            n += f.id == id;
        return n;
    }
};

struct messages {
    std::vector<std::vector<uint8_t>> tp, j1939;
    std::vector<int> errors;
    std::vector<j19_event> jev;
    static void on_tp(void *ctx, const itp_event *ev)
    {
        auto *m = static_cast<messages *>(ctx);
        if (ev->code == ITP_MESSAGE)
            m->tp.emplace_back(ev->data, ev->data + ev->len);
        else
            m->errors.push_back(ev->code);
    }
    static void on_j(void *ctx, const j19_event *ev)
    {
        auto *m = static_cast<messages *>(ctx);
        if (ev->code == J19_MESSAGE && ev->via != J19_SINGLE) {
            m->j1939.emplace_back(ev->data, ev->data + ev->len);
            m->jev.push_back(*ev);
        } else if (ev->code != J19_MESSAGE) {
            m->errors.push_back(100 + ev->code);
        }
    }
};

// What our ISO-TP decoder makes of frames, for the pair a -> b.
messages decode_tp(const std::vector<dg_frame> &frames, uint32_t a, uint32_t b)
{
    messages m;
    itp_config cfg;
    itp_config_default(&cfg);
    cfg.preset_11bit = cfg.preset_29bit = cfg.find_pairs = 0;
    itp_decoder *d = itp_new(&cfg, messages::on_tp, &m);
    itp_pair p{};
    p.req = {a, 0, ITP_NORMAL, 0, 0};
    p.resp = {b, 0, ITP_NORMAL, 0, 0};
    itp_add_pair(d, &p);
    for (const dg_frame &f : frames)
        itp_feed(d, &f);
    itp_tick(d, UINT64_MAX / 2);
    itp_free(d);
    return m;
}

std::vector<uint8_t> payload(size_t n, unsigned seed)
{
    std::vector<uint8_t> v(n);
    uint32_t x = seed * 2654435761u + 1;
    for (uint8_t &b : v) {
        x = x * 1103515245u + 12345u;
        b = (uint8_t)(x >> 16);
    }
    return v;
}

std::string hex_text(const std::vector<uint8_t> &v)
{
    std::string s;
    char b[4];
    for (uint8_t x : v) {
        snprintf(b, sizeof b, "%02X ", x);
        s += b;
    }
    return s;
}

std::vector<uint8_t> parse_hex(const std::string &s)
{
    std::vector<uint8_t> v;
    unsigned x;
    int n;
    for (const char *p = s.c_str(); sscanf(p, "%x%n", &x, &n) == 1; p += n)
        v.push_back((uint8_t)x);
    return v;
}

// A receiver of a kernel stack has bound its socket when its filter shows
// in the CAN core's receive lists.
bool bound(const char *ifname, const char *who)
{
    std::string lists;
    for (const char *l : {"all", "fil", "sff", "eff"})
        lists += nbtest::read_file(std::string("/proc/net/can/rcvlist_") + l);
    size_t pos = 0;
    while ((pos = lists.find('\n', pos)) != std::string::npos) {
        const size_t end = lists.find('\n', pos + 1);
        const std::string line = lists.substr(pos, end == std::string::npos ? std::string::npos : end - pos);
        if (line.find(ifname) != std::string::npos && line.find(who) != std::string::npos)
            return true;
        pos++;
    }
    return false;
}

class KernelStacks : public ::testing::Test {
protected:
    static void SetUpTestSuite()
    {
        sh("modprobe -a can-isotp can-j1939 2>/dev/null");
        sh(std::string("ip link add dev ") + CLASSIC + " type vcan 2>/dev/null; ip link set up " + CLASSIC);
        sh(std::string("ip link add dev ") + FD + " type vcan 2>/dev/null; ip link set " + FD +
           " mtu 72; ip link set up " + FD);
    }
    static void TearDownTestSuite()
    {
        sh(std::string("ip link del ") + CLASSIC + "; ip link del " + FD);
    }
    void SetUp() override
    {
        if (if_nametoindex(CLASSIC) == 0 || if_nametoindex(FD) == 0)
            GTEST_SKIP() << "cannot make virtual CAN interfaces";
        dir = nbtest::make_temp_dir("diagvm");
    }
    std::string dir;

    // isotpsend to isotprecv over the kernel's stack; our decoder of the
    // watched frames must give what isotprecv received.
    void kernel_pair(const char *ifname, bool fd, size_t n, int bs, int stmin, bool back, unsigned seed)
    {
        SCOPED_TRACE(std::string(ifname) + " length " + std::to_string(n) + " bs " + std::to_string(bs) +
                     " stmin " + std::to_string(stmin) + (back ? " back" : ""));
        const uint32_t a = back ? 0x7E8 : 0x7E0, b = back ? 0x7E0 : 0x7E8;
        const std::vector<uint8_t> msg = payload(n, seed);
        const std::string in = dir + "/in", out = dir + "/out";
        ASSERT_TRUE(nbtest::write_file(in, hex_text(msg) + "\n"));
        const std::string ll = fd ? " -L 72:64:0" : "";
        capture cap(ifname);
        char cmd[512];
        snprintf(cmd, sizeof cmd, "isotprecv -s %X -d %X -b %d -m %X%s %s > %s", b, a, bs, stmin, ll.c_str(),
                 ifname, out.c_str());
        background recv(cmd);
        ASSERT_TRUE(nbtest::wait_until([&] { return bound(ifname, "isotp") || recv.exited(); }, 10000));
        snprintf(cmd, sizeof cmd, "timeout 60 isotpsend -b -s %X -d %X%s %s < %s", a, b, ll.c_str(), ifname,
                 in.c_str());
        ASSERT_EQ(sh(cmd), 0);
        ASSERT_TRUE(nbtest::wait_until([&] { return recv.exited(); }, 20000));
        EXPECT_EQ(parse_hex(nbtest::read_file(out)), msg);
        // The last frames may still be on their way to the watcher.
        messages m;
        nbtest::wait_until([&] { return !(m = decode_tp(cap.copy(), a, b)).tp.empty(); }, 5000);
        EXPECT_TRUE(m.errors.empty());
        ASSERT_EQ(m.tp.size(), 1u);
        EXPECT_EQ(m.tp[0], msg);
    }
};

TEST_F(KernelStacks, IsoTpClassicBothWays)
{
    /* Each length with one of the flow controls in turn, both ways. */
    const size_t lengths[] = {1, 6, 7, 8, 13, 14, 15, 100, 1000, 4094, 4095, 4095};
    const int flow[][2] = {{0, 0}, {3, 0}, {8, 2}, {2, 0xF5}};
    unsigned seed = 1;
    for (size_t n : lengths) {
        const auto &f = flow[seed % 4];
        kernel_pair(CLASSIC, false, n, f[0], n > 1000 && f[1] == 2 ? 0 : f[1], seed & 1, seed);
        seed++;
    }
}

TEST_F(KernelStacks, IsoTpFdBothWays)
{
    const size_t lengths[] = {1, 7, 8, 62, 63, 64, 125, 126, 1000, 4095, 4095};
    const int flow[][2] = {{0, 0}, {2, 0}, {5, 1}};
    unsigned seed = 100;
    for (size_t n : lengths) {
        const auto &f = flow[seed % 3];
        kernel_pair(FD, true, n, f[0], f[1], seed & 1, seed);
        seed++;
    }
}

// Our sender (the tester's) to isotprecv with block sizes and separation
// times: received whole.
TEST_F(KernelStacks, OurSenderToIsotprecv)
{
    struct c { const char *ifname; bool fd; size_t n; int bs, stmin; } cases[] = {
        {CLASSIC, false, 5, 0, 0},   {CLASSIC, false, 40, 2, 1},  {CLASSIC, false, 4095, 0, 0},
        {CLASSIC, false, 700, 7, 0xF3}, {FD, true, 60, 0, 0}, {FD, true, 300, 2, 1}, {FD, true, 4095, 16, 0},
    };
    for (const c &k : cases) {
        SCOPED_TRACE(std::string(k.ifname) + " length " + std::to_string(k.n));
        const std::vector<uint8_t> msg = payload(k.n, (unsigned)k.n);
        const std::string out = dir + "/out";
        capture cap(k.ifname);
        char cmd[512];
        snprintf(cmd, sizeof cmd, "isotprecv -s 7E8 -d 7E0 -b %d -m %X%s %s > %s", k.bs, k.stmin,
                 k.fd ? " -L 72:64:0" : "", k.ifname, out.c_str());
        background recv(cmd);
        ASSERT_TRUE(nbtest::wait_until([&] { return bound(k.ifname, "isotp") || recv.exited(); }, 10000));
        const int s = raw_socket(k.ifname, k.fd);
        ASSERT_GE(s, 0);
        const itp_addr to = {0x7E0, 0, ITP_NORMAL, 0, 0}, from = {0x7E8, 0, ITP_NORMAL, 0, 0};
        itp_sender snd;
        ASSERT_EQ(itp_send_start(&snd, msg.data(), (uint32_t)k.n, &to, &from, k.fd ? 64 : 8, 0xCC, 1000,
                                 now_us()), 0);
        const uint64_t give_up = now_us() + 30000000u;
        size_t written = 0;
        while (snd.state != ITP_SEND_DONE && snd.state != ITP_SEND_FAILED && now_us() < give_up) {
            itp_tx_frame fr[16];
            uint64_t next = 0;
            const int nf = itp_send_poll(&snd, now_us(), fr, 16, &next);
            for (int i = 0; i < nf; i++)
                write_frame(s, 0x7E0, fr[i], k.fd);
            /* As an adapter's queue would: the next frames go once these
             * are on the bus, or the kernel's input queue may drop some. */
            written += (size_t)nf;
            ASSERT_TRUE(nbtest::wait_until([&] { return cap.count_id(0x7E0) >= written; }, 5000));
            if (snd.state == ITP_SEND_DONE)
                break;
            const uint64_t t = now_us();
            const int wait_ms = next > t ? (int)((next - t + 999) / 1000) : 0;
            dg_frame f;
            if (read_frame(s, &f, wait_ms))
                itp_send_on_frame(&snd, &f);
        }
        close(s);
        ASSERT_EQ(snd.state, ITP_SEND_DONE) << "result " << snd.result;
        ASSERT_TRUE(nbtest::wait_until([&] { return recv.exited(); }, 20000));
        EXPECT_EQ(parse_hex(nbtest::read_file(out)), msg);
        messages m;
        nbtest::wait_until([&] { return !(m = decode_tp(cap.copy(), 0x7E0, 0x7E8)).tp.empty(); }, 5000);
        ASSERT_EQ(m.tp.size(), 1u);
        EXPECT_EQ(m.tp[0], msg);
    }
}

// isotpsend answers to us: our flow control after its first frame lets it
// send the rest, which we reassemble.
TEST_F(KernelStacks, OurFlowControlForIsotpsend)
{
    for (bool fd : {false, true}) {
        SCOPED_TRACE(fd ? "FD" : "classic");
        const char *ifname = fd ? FD : CLASSIC;
        const std::vector<uint8_t> msg = payload(1500, 7);
        const std::string in = dir + "/in";
        ASSERT_TRUE(nbtest::write_file(in, hex_text(msg) + "\n"));
        capture cap(ifname);
        const int s = raw_socket(ifname, fd);
        ASSERT_GE(s, 0);
        char cmd[512];
        snprintf(cmd, sizeof cmd, "timeout 60 isotpsend -b -s 7E8 -d 7E0%s %s < %s", fd ? " -L 72:64:0" : "",
                 ifname, in.c_str());
        background send(cmd);
        dg_frame f;
        bool answered = false;
        const uint64_t give_up = now_us() + 20000000u;
        while (!answered && now_us() < give_up)
            if (read_frame(s, &f, 100) && f.id == 0x7E8 && (f.data[0] >> 4) == 1) {
                itp_tx_frame fc;
                const itp_addr me = {0x7E0, 0, ITP_NORMAL, 0, 0};
                itp_flow_control(&me, 0, 0, 0, 0xCC, &fc);
                /* An ISO-TP socket in FD mode takes FD frames only. */
                write_frame(s, 0x7E0, fc, fd);
                answered = true;
            }
        close(s);
        ASSERT_TRUE(answered);
        ASSERT_TRUE(nbtest::wait_until([&] { return send.exited(); }, 30000));
        EXPECT_EQ(WEXITSTATUS(send.status), 0);
        messages m;
        nbtest::wait_until([&] { return !(m = decode_tp(cap.copy(), 0x7E0, 0x7E8)).tp.empty(); }, 5000);
        ASSERT_EQ(m.tp.size(), 1u);
        EXPECT_EQ(m.tp[0], msg);
    }
}

// j1939cat over the kernel's J1939 stack: connection (RTS/CTS) to one
// address and broadcast (BAM), up to 1785 bytes.
TEST_F(KernelStacks, J1939TransfersReassembled)
{
    const size_t sizes[] = {9, 100, 1785};
    for (bool bam : {false, true})
        for (size_t n : sizes) {
            SCOPED_TRACE(std::string(bam ? "BAM " : "RTS/CTS ") + std::to_string(n));
            const std::vector<uint8_t> msg = payload(n, (unsigned)n + bam);
            const std::string in = dir + "/in.bin", out = dir + "/out.bin";
            ASSERT_TRUE(nbtest::write_file(in, std::string(msg.begin(), msg.end())));
            unlink(out.c_str());
            capture cap(CLASSIC);
            char cmd[512];
            snprintf(cmd, sizeof cmd, "j1939cat %s-r %s:0x90 > %s", bam ? "-B " : "", CLASSIC, out.c_str());
            background recv(cmd);
            ASSERT_TRUE(nbtest::wait_until([&] { return bound(CLASSIC, "j1939") || recv.exited(); }, 10000));
            snprintf(cmd, sizeof cmd, "timeout 60 j1939cat %s-i %s %s:0x80 :%s,0x12300", bam ? "-B " : "",
                     in.c_str(), CLASSIC, bam ? "0xff" : "0x90");
            /* j1939cat's exit code tells nothing: it reports the socket's
             * error queue notifications as failures. */
            sh(cmd);
            ASSERT_TRUE(nbtest::wait_until([&] { return nbtest::read_file(out).size() >= n; }, 30000));
            EXPECT_EQ(nbtest::read_file(out), std::string(msg.begin(), msg.end()));

            messages m;
            j19_decoder *d = j19_new(nullptr, messages::on_j, &m);
            for (const dg_frame &f : cap.copy())
                j19_feed(d, &f);
            j19_free(d);
            EXPECT_TRUE(m.errors.empty());
            ASSERT_EQ(m.j1939.size(), 1u);
            EXPECT_EQ(m.j1939[0], msg);
            EXPECT_EQ(m.jev[0].pgn, 0x12300u);
            EXPECT_EQ(m.jev[0].sa, 0x80);
            EXPECT_EQ(m.jev[0].via, bam ? J19_BAM : J19_RTS);
        }
}

}  // namespace
