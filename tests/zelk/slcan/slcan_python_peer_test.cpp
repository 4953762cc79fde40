// An independent implementation of the protocol as the peer: python-can's
// slcan host talks to the fake adapter. Its frame lines must be exactly the
// ones our encoder writes, and it must read the lines our encoder writes as
// the same frames. Skipped when python-can is not installed.
#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "fake_adapter.h"
#include "slcan_proto.h"
#include "test_env.h"

namespace {

const char kScript[] = R"PY(
import sys, can
bus = can.Bus(interface="slcan", channel=sys.argv[1], bitrate=500000, sleep_after_open=0)
specs = sys.argv[2:]
for s in specs:
    ident, flags, dlc, data = s.split(":")
    flags, dlc = int(flags), int(dlc)
    raw = bytes.fromhex(data)
    bus.send(can.Message(arbitration_id=int(ident, 16), is_extended_id=bool(flags & 1),
                         is_remote_frame=bool(flags & 2), dlc=dlc, data=None if flags & 2 else raw))
print("sent", flush=True)
for _ in specs:
    m = bus.recv(timeout=5)
    if m is None:
        print("timeout", flush=True)
        break
    flags = (1 if m.is_extended_id else 0) | (2 if m.is_remote_frame else 0)
    print("%X %d %d %s" % (m.arbitration_id, flags, m.dlc,
                           "" if m.is_remote_frame else bytes(m.data).hex().upper()), flush=True)
bus.shutdown()
)PY";

zk_frame make(uint32_t id, uint8_t flags, uint8_t len)
{
    zk_frame f;
    memset(&f, 0, sizeof f);
    f.id = id;
    f.flags = flags;
    f.len = len;
    if (!(flags & ZK_FRAME_RTR))
        for (int i = 0; i < len; ++i) f.data[i] = uint8_t(0x5A + 7 * i + len);
    return f;
}

}  // namespace

TEST(SlcanPythonPeer, FrameLinesAgreeWithPythonCan)
{
    if (system("/usr/bin/python3 -c 'import can, serial' >/dev/null 2>&1") != 0)
        GTEST_SKIP() << "python-can is not installed for /usr/bin/python3";
    std::vector<zk_frame> frames;
    for (uint8_t len = 0; len <= 8; ++len) {
        frames.push_back(make(0x0F0u + len, 0, len));
        frames.push_back(make(0x10ABCD00u + len, ZK_FRAME_EFF, len));
    }
    frames.push_back(make(0x7FF, ZK_FRAME_RTR, 0));
    frames.push_back(make(0x123, ZK_FRAME_RTR, 4));
    frames.push_back(make(0x1FFFFFFF, ZK_FRAME_EFF | ZK_FRAME_RTR, 8));

    const std::string dir = nbtest::make_temp_dir("pycan");
    const std::string script = dir + "/peer.py";
    ASSERT_TRUE(nbtest::write_file(script, kScript));
    nbtest::FakeAdapter fake;
    std::string cmd = "/usr/bin/python3 " + script + " " + fake.path();
    std::vector<std::string> ours, expect_read;
    for (const zk_frame &f : frames) {
        char line[zk_slcan::kCmdMax];
        const size_t n = zk_slcan::encode_frame(line, sizeof line, f);
        ASSERT_GT(n, 0u);
        ours.emplace_back(line, n - 1);
        char spec[64], data[20] = "";
        char *p = data;
        p += snprintf(p, 3, "%d:", f.len);
        for (int i = 0; i < f.len && !(f.flags & ZK_FRAME_RTR); ++i) p += snprintf(p, 3, "%02X", f.data[i]);
        snprintf(spec, sizeof spec, " %X:%d:%s", unsigned(f.id), f.flags, data);
        cmd += spec;
        char want[64] = "";
        snprintf(want, sizeof want, "%X %d %d %s", unsigned(f.id), f.flags, f.len, data + 2);
        expect_read.emplace_back(want);
    }
    FILE *py = popen((cmd + " 2>&1").c_str(), "r");
    ASSERT_NE(py, nullptr);
    std::vector<std::string> out;
    char buf[256];
    // python-can opens, sends every frame, says so, then reads.
    while (fgets(buf, sizeof buf, py)) {
        std::string l(buf);
        if (!l.empty() && l.back() == '\n') l.pop_back();
        if (l == "sent") break;
        out.push_back(l);
    }
    std::vector<std::string> theirs;
    nbtest::wait_until([&] {
        theirs.clear();
        for (const std::string &c : fake.commands())
            if (!c.empty() && strchr("tTrR", c[0])) theirs.push_back(c);
        return theirs.size() >= ours.size();
    });
    EXPECT_EQ(theirs, ours) << testing::PrintToString(out);
    // It opened the channel the usual way first.
    EXPECT_TRUE(fake.wait_command("S6", 100));
    EXPECT_TRUE(fake.wait_command("O", 100));

    std::string back;
    for (const std::string &l : ours) back += l + "\r";
    fake.send(back);
    while (fgets(buf, sizeof buf, py)) {
        std::string l(buf);
        if (!l.empty() && l.back() == '\n') l.pop_back();
        // python-can prints no trailing blank for frames without data
        while (!l.empty() && l.back() == ' ') l.pop_back();
        out.push_back(l);
    }
    pclose(py);
    for (std::string &e : expect_read)
        while (!e.empty() && e.back() == ' ') e.pop_back();
    EXPECT_EQ(out, expect_read);
}
