// The gateway against the kernel's can-gw, on a kernel with CAN (in the
// guest of scripts/can-vm.sh): the same frames go into a kernel rule
// gwk0 -> gwk1 and into the same rule of ours gwz0 -> gwz1, which reads
// and sends through the adapter library's SocketCAN backend; the frames
// out (identifier, flags, data, order) and the rule's counters are equal.
#include <gtest/gtest.h>

#include <net/if.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <map>
#include <sstream>
#include <string>
#include <vector>

#include <linux/can.h>
#include <linux/can/raw.h>

#include "cangw.h"
#include "test_env.h"
#include "zelk.h"

namespace {

using nbtest::shell;

int fd_socket(const char *ifname)
{
    const int fd = socket(PF_CAN, SOCK_RAW | SOCK_CLOEXEC | SOCK_NONBLOCK, CAN_RAW);
    if (fd < 0) return -1;
    const int one = 1;
    setsockopt(fd, SOL_CAN_RAW, CAN_RAW_FD_FRAMES, &one, sizeof one);
    sockaddr_can a{};
    a.can_family = AF_CAN;
    a.can_ifindex = int(if_nametoindex(ifname));
    if (bind(fd, reinterpret_cast<sockaddr *>(&a), sizeof a) != 0) {
        close(fd);
        return -1;
    }
    return fd;
}

std::string text_of(const canfd_frame &f, bool fd)
{
    const bool ext = f.can_id & CAN_EFF_FLAG;
    char b[200];
    int n = snprintf(b, sizeof b, ext ? "%08X" : "%03X", unsigned(f.can_id & (ext ? CAN_EFF_MASK : CAN_SFF_MASK)));
    if (fd) n += snprintf(b + n, sizeof b - size_t(n), "##%X", unsigned(f.flags & (CANFD_BRS | CANFD_ESI)));
    else n += snprintf(b + n, sizeof b - size_t(n), (f.can_id & CAN_RTR_FLAG) ? "#R" : "#");
    for (int i = 0; i < f.len; i++) n += snprintf(b + n, sizeof b - size_t(n), "%02X", f.data[i]);
    return b;
}

canfd_frame parse(const std::string &t, bool *fd)
{
    canfd_frame f{};
    const size_t h = t.find('#');
    f.can_id = uint32_t(strtoul(t.substr(0, h).c_str(), nullptr, 16)) | (h > 3 ? CAN_EFF_FLAG : 0);
    size_t p = h + 1;
    *fd = t[p] == '#';
    if (*fd) {
        f.flags = uint8_t(t[p + 1] - '0');
        p += 2;
    } else if (t[p] == 'R') {
        f.can_id |= CAN_RTR_FLAG;
        p++;
    }
    for (; p + 1 < t.size(); p += 2) f.data[f.len++] = uint8_t(strtoul(t.substr(p, 2).c_str(), nullptr, 16));
    return f;
}

// Reads n frames (or what comes within the deadline) from a socket.
std::vector<std::string> read_frames(int fd, size_t n)
{
    std::vector<std::string> got;
    nbtest::wait_until([&] {
        canfd_frame f;
        ssize_t k;
        while ((k = read(fd, &f, sizeof f)) > 0) got.push_back(text_of(f, k == CANFD_MTU));
        return got.size() >= n;
    }, 10000);
    return got;
}

// The kernel's counters of its rules by "SRC>DST".
std::map<std::string, cangw_counters> kernel_counters()
{
    std::string out;
    shell("cangw -L", &out);
    std::map<std::string, cangw_counters> c;
    std::istringstream in(out);
    std::string line;
    while (std::getline(in, line)) {
        const size_t h = line.rfind("# "), s = line.find(" -s "), d = line.find(" -d ");
        unsigned long long a, b, x;
        char src[32], dst[32];
        if (h != std::string::npos && s != std::string::npos && d != std::string::npos &&
            sscanf(line.c_str() + s, " -s %31s", src) == 1 && sscanf(line.c_str() + d, " -d %31s", dst) == 1 &&
            sscanf(line.c_str() + h, "# %llu handled %llu dropped %llu deleted", &a, &b, &x) == 3)
            c[std::string(src) + ">" + dst] = cangw_counters{a, b, x};
    }
    return c;
}

struct Pump {
    cangw gw;
    int sends = 0;
    std::vector<std::pair<uint16_t, zk_fdframe>> echoes;
    static int send(void *ctx, uint16_t ch, const zk_fdframe *f)
    {
        Pump *p = static_cast<Pump *>(ctx);
        const int16_t r = ZkWriteFd(uint8_t(ch), f, 1);
        if (r != 1) return r < 0 ? r : ZK_E_IO;
        p->sends++;
        p->echoes.push_back({ch, *f});
        return 0;
    }
    const cangw_ops ops{send};
    // Passes a received frame through the rules, then the frames sent back
    // to the gateway as the host hands them on: as sent frames.
    void frame(uint16_t ch, const zk_fdframe &f)
    {
        cangw_frame(&gw, ch, 0, f.ts, &f);
        while (!echoes.empty()) {
            auto e = echoes.front();
            echoes.erase(echoes.begin());
            cangw_frame(&gw, e.first, 1, f.ts, &e.second);
        }
    }
};

const char *const inputs[] = {
    "123#1122334455667788", "124#11223344", "123#R", "7FF#", "100#01", "1BCDE123#1122334455667788",
    "00000123#AA", "123##0000102030405060708090A0B0C0D0E0F",
    "123##1000102030405060708090A0B0C0D0E0F101112131415161718191A1B1C1D1E1F202122232425262728292A2B2C2D2E2F303132333435363738393A3B3C3D3E3F",
    "1BCDE123##3A1A2A3A4A5A6A7A8A9AAABAC", "456##01122334455667788", "321#AABB",
};

const std::string Z8 = "0000000000000000", Z64(128, '0'), F64(128, 'F');

// Rules without -s/-d: gwk0 -> gwk1 in the kernel, 0 -> 1 for ours;
// "classic" sends to a classic interface, "loop" adds the rule back.
struct Row {
    std::string rule;
    const char *kind;
};

const Row rows[] = {
    {"", ""}, {"-f 123:7FF", ""}, {"-f 123~7FF", ""}, {"-f 123:C00007FF", ""},
    {"-f 80000000:80000000", ""}, {"-f 100~700", ""},
    {"-m AND:I:C00001FF.0." + Z8, ""}, {"-m OR:I:400.0." + Z8, ""}, {"-m XOR:I:0F0.0." + Z8, ""},
    {"-m SET:I:80000456.0." + Z8, ""},
    {"-m AND:L:0.3." + Z8, ""}, {"-m OR:L:0.8." + Z8, ""}, {"-m XOR:L:0.F." + Z8, ""}, {"-m SET:L:0.5." + Z8, ""},
    {"-m AND:D:0.0.F0F00F0FFF0000FF", ""}, {"-m OR:D:0.0.0102040810204080", ""},
    {"-m XOR:D:0.0.FFFFFFFF00000000", ""}, {"-m SET:D:0.0.AABBCCDDEEFF0011", ""},
    {"-m AND:IL:7FF.7.FFFFFFFFFFFFFFFF -m OR:D:0.0.00000000000000F0 -m XOR:I:1.0." + Z8 +
         " -m SET:L:0.8." + Z8, ""},
    {"-m OR:D:0.0." + Z8 + " -x 0:6:7:5A", ""}, {"-m OR:D:0.0." + Z8 + " -x -6:-2:-1:00", ""},
    {"-m OR:D:0.0." + Z8 + " -x 6:0:7:00", ""},
    {"-m OR:D:0.0." + Z8 + " -c 0:6:7:FF:FF:1D", ""},
    {"-m OR:D:0.0." + Z8 + " -c -8:-2:-1:00:00:2F", ""},
    {"-m OR:D:0.0." + Z8 + " -c 1:7:0:FF:FF:1D -p 1:5A", ""},
    {"-m OR:D:0.0." + Z8 + " -c 2:7:0:FF:FF:1D -p 2:0102030405060708090A0B0C0D0E0F10", ""},
    {"-m OR:D:0.0." + Z8 + " -c 0:6:7:00:00:1D -p 3", ""},
    {"-m SET:D:0.0.1122334455667788 -x 0:6:7:00 -c 1:6:0:FF:FF:1D", ""},
    {"-X", ""}, {"-X -f 123:7FF", ""},
    {"-X -M SET:F:0.3.0." + Z64, ""}, {"-X -M AND:F:0.0.0." + Z64, ""},
    {"-X -M OR:IFLD:80000000.1.8." + std::string(64, '0') + std::string(64, 'F'), ""},
    {"-X -M XOR:ID:1.0.0." + F64 + " -M SET:L:0.0.20." + Z64, ""},
    {"-X -M AND:L:0.0.F0." + Z64, ""},
    {"-X -M OR:D:0.0.0." + Z64 + " -c -12:-2:-1:FF:FF:1D -x 0:10:11:00", ""},
    {"-X", "classic"},
    {"-l 1", ""},
    {"", "loop"},
};

// Each row's kernel rule has a vcan pair of its own, all made in one go
// (a process started costs much under software emulation); ours run one
// after the other on gwz0 -> gwz1 (gwzc: classic).
TEST(GatewayVm, FramesOutAndCountersEqualTheKernelsCanGw)
{
    const size_t nrows = sizeof rows / sizeof *rows;
    std::vector<std::vector<cangw_rule>> rules(nrows);
    // vcan interfaces are made with the CAN FD MTU (72).
    std::string links = "link add dev gwz0 type vcan\nlink set up gwz0\n"
                        "link add dev gwz1 type vcan\nlink set up gwz1\n"
                        "link add dev gwzc type vcan\nlink set gwzc mtu 16\nlink set up gwzc\n";
    std::string cmds = "set -e\n", del = "link del gwz0\nlink del gwz1\nlink del gwzc\n";
    auto name = [](size_t i, char e) { return "gk" + std::to_string(i) + e; };
    for (size_t i = 0; i < nrows; i++) {
        const bool classic = !strcmp(rows[i].kind, "classic"), loop = !strcmp(rows[i].kind, "loop");
        for (char e : {'a', 'b'}) {
            const std::string n = name(i, e);
            links += "link add dev " + n + " type vcan\n" +
                     (classic && e == 'b' ? "link set " + n + " mtu 16\n" : "") + "link set up " + n + "\n";
            del += "link del " + n + "\n";
        }
        rules[i].resize(loop ? 2 : 1);
        const char *why = nullptr;
        ASSERT_EQ(cangw_rule_parse(("-s 0 -d " + std::string(classic ? "2 " : "1 ") + rows[i].rule).c_str(),
                                   &rules[i][0], &why), 0) << rows[i].rule << ": " << why;
        if (loop) {
            ASSERT_EQ(cangw_rule_parse("-s 1 -d 0", &rules[i][1], &why), 0) << why;
        }
        char ktext[CANGW_TEXT_MAX];
        ASSERT_GT(cangw_rule_format(&rules[i][0], 1, ktext, sizeof ktext), -1);
        cmds += "cangw -A -s " + name(i, 'a') + " -d " + name(i, 'b') + " -e " + ktext + "\n";
        if (loop) cmds += "cangw -A -s " + name(i, 'b') + " -d " + name(i, 'a') + " -e\n";
    }
    const std::string dir = nbtest::make_temp_dir("gwvm");
    ASSERT_TRUE(nbtest::write_file(dir + "/links", links));
    ASSERT_TRUE(nbtest::write_file(dir + "/rules", cmds));
    ASSERT_TRUE(nbtest::write_file(dir + "/del", del));
    std::string out;
    ASSERT_EQ(shell("modprobe can-gw; ip -batch " + dir + "/links && sh " + dir + "/rules", &out), 0) << out;

    setenv("ZELK_BOARDS", "socketcan:gwz0,gwz1,gwzc", 1);
    ASSERT_EQ(ZkInit(), ZK_OK);
    ASSERT_EQ(ZkOpen(0, ZK_OPEN_BOTH | ZK_OPEN_FD), ZK_OK);
    ASSERT_EQ(ZkOpen(1, ZK_OPEN_BOTH | ZK_OPEN_FD), ZK_OK);
    ASSERT_EQ(ZkOpen(2, ZK_OPEN_BOTH), ZK_OK);
    for (uint8_t c = 0; c < 3; c++) ASSERT_EQ(ZkStart(c), ZK_OK);
    const int zin = fd_socket("gwz0");
    ASSERT_GE(zin, 0);
    std::vector<int> kout(nrows, -1);
    std::vector<std::vector<cangw_counters>> ours(nrows);
    std::vector<std::vector<std::string>> got(nrows);
    for (size_t i = 0; i < nrows; i++) {
        SCOPED_TRACE(rows[i].rule + " " + rows[i].kind);
        const bool classic = !strcmp(rows[i].kind, "classic");
        const int kin = fd_socket(name(i, 'a').c_str()), zout = fd_socket(classic ? "gwzc" : "gwz1");
        kout[i] = fd_socket(name(i, 'b').c_str());
        ASSERT_GE(kin, 0);
        ASSERT_GE(kout[i], 0);
        ASSERT_GE(zout, 0);
        Pump p;
        const char *why = nullptr;
        cangw_init(&p.gw, &p.ops, &p);
        ASSERT_EQ(cangw_set_rules(&p.gw, rules[i].data(), unsigned(rules[i].size()), &why), 0) << why;
        cangw_set_channel(&p.gw, 0, 1, 1, 0);
        cangw_set_channel(&p.gw, 1, 1, 1, 0);
        cangw_set_channel(&p.gw, 2, 1, 0, 0);
        cangw_start(&p.gw);
        for (const char *in : inputs) {
            bool fd;
            const canfd_frame f = parse(in, &fd);
            const size_t size = fd ? CANFD_MTU : CAN_MTU;
            ASSERT_EQ(write(kin, &f, size), ssize_t(size));
            ASSERT_EQ(write(zin, &f, size), ssize_t(size));
        }
        const size_t n = sizeof inputs / sizeof *inputs;
        size_t seen = 0;
        ASSERT_TRUE(nbtest::wait_until([&] {
            zk_fdframe buf[32];
            for (int16_t k; (k = ZkReadFd(0, buf, 32)) > 0; seen += size_t(k))
                for (int j = 0; j < k; j++) p.frame(0, buf[j]);
            return seen >= n;
        }, 10000)) << seen;
        ours[i].assign(p.gw.count, p.gw.count + rules[i].size());
        got[i] = read_frames(zout, size_t(p.sends));
        close(kin);
        close(zout);
    }

    // The kernel's side: every rule has seen as many frames as ours.
    std::map<std::string, cangw_counters> kernel;
    nbtest::wait_until([&] {
        kernel = kernel_counters();
        for (size_t i = 0; i < nrows; i++)
            for (size_t r = 0; r < ours[i].size(); r++) {
                const cangw_counters &o = ours[i][r];
                const cangw_counters &k = kernel[r ? name(i, 'b') + ">" + name(i, 'a') : name(i, 'a') + ">" + name(i, 'b')];
                if (k.handled + k.dropped + k.deleted < o.handled + o.dropped + o.deleted) return false;
            }
        return true;
    }, 10000);
    size_t frames_out = 0;
    for (size_t i = 0; i < nrows; i++) {
        SCOPED_TRACE(rows[i].rule + " " + rows[i].kind);
        for (size_t r = 0; r < ours[i].size(); r++) {
            const cangw_counters &o = ours[i][r];
            const cangw_counters &k = kernel[r ? name(i, 'b') + ">" + name(i, 'a') : name(i, 'a') + ">" + name(i, 'b')];
            EXPECT_EQ(k.handled, o.handled) << "rule " << r;
            EXPECT_EQ(k.dropped, o.dropped) << "rule " << r;
            EXPECT_EQ(k.deleted, o.deleted) << "rule " << r;
        }
        const std::vector<std::string> want = read_frames(kout[i], size_t(kernel[name(i, 'a') + ">" + name(i, 'b')].handled));
        EXPECT_EQ(got[i], want);
        frames_out += want.size();
        close(kout[i]);
    }
    EXPECT_GT(frames_out, 100u);
    for (uint8_t c = 0; c < 3; c++) ZkClose(c);
    close(zin);
    shell("cangw -F; ip -batch " + dir + "/del");
}

}  // namespace
