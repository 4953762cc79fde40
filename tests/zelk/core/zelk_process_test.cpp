// Channels held across processes, and the zelkctl tool as a user runs it.
#include "zelk_fixture.h"

#include <regex>
#include <set>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include "test_env.h"

using namespace zktest;

namespace {

// Runs a shell command; returns its exit code and its standard output
// (and error, when merged by the command).
int run_cmd(const std::string &cmd, std::string *out)
{
    out->clear();
    FILE *p = popen(cmd.c_str(), "r");
    if (!p) return -1;
    char buf[4096];
    size_t n;
    while ((n = fread(buf, 1, sizeof buf, p)) > 0) out->append(buf, n);
    int status = pclose(p);
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

std::string zelkctl()
{
    return ZELKCTL_PATH;
}

// Result of ZkOpen(chan, flags) in a forked child with a fresh library.
int16_t open_in_child(uint8_t chan, uint8_t flags)
{
    pid_t pid = fork();
    if (pid == 0) {
        zk_sim_reset();
        int16_t r = ZkOpen(chan, flags);
        _exit(r == ZK_OK ? 0 : r == ZK_E_BUSY ? 3 : 4);
    }
    int status = 0;
    if (pid < 0 || waitpid(pid, &status, 0) != pid || !WIFEXITED(status)) return -100;
    switch (WEXITSTATUS(status)) {
    case 0: return ZK_OK;
    case 3: return ZK_E_BUSY;
    default: return -101;
    }
}

class ZelkProcess : public Zelk {};

TEST_F(ZelkProcess, OpenChannelIsBusyHereAndInOtherProcesses)
{
    boards("sim:traffic=none");
    ASSERT_EQ(ZkOpen(0, ZK_OPEN_STD), ZK_OK);
    EXPECT_EQ(ZkOpen(0, ZK_OPEN_BOTH), ZK_E_BUSY);
    EXPECT_EQ(ZkOpen(0, ZK_OPEN_PROBE), ZK_E_BUSY);
    EXPECT_EQ(open_in_child(0, ZK_OPEN_BOTH), ZK_E_BUSY);
    EXPECT_EQ(open_in_child(0, ZK_OPEN_PROBE), ZK_E_BUSY);
    EXPECT_EQ(open_in_child(1, ZK_OPEN_BOTH), ZK_OK);
    // The children's exits did not release this process's lock.
    EXPECT_EQ(open_in_child(0, ZK_OPEN_BOTH), ZK_E_BUSY);
    std::string out;
    ASSERT_EQ(run_cmd(zelkctl() + " list", &out), 0);
    EXPECT_NE(out.find("channel 0: busy"), std::string::npos) << out;
    EXPECT_NE(out.find("channel 1: free"), std::string::npos) << out;
    // A probe holds nothing; a close frees the channel for everyone.
    EXPECT_EQ(ZkOpen(1, ZK_OPEN_PROBE), ZK_OK);
    EXPECT_EQ(open_in_child(1, ZK_OPEN_BOTH), ZK_OK);
    ASSERT_EQ(ZkClose(0), ZK_OK);
    EXPECT_EQ(ZkClose(0), ZK_E_NOTOPEN);
    EXPECT_EQ(open_in_child(0, ZK_OPEN_BOTH), ZK_OK);
    EXPECT_EQ(run_cmd(zelkctl() + " send 0 123#11", &out), 0) << out;
}

// Runs a shell script as root in a private mount namespace with a
// runtime folder /run/user/UID of its own, so that the machine's folders
// are not touched: from the tool's folder, entered before the mounts (a
// build tree below /tmp stays reachable through the working directory).
// The script starts after "inside" is printed; false when there is no such
// namespace here.
bool run_private(const std::string &script, std::string *out)
{
    const std::string tool = zelkctl();
    const size_t slash = tool.rfind('/');
    const std::string all = "cd " + tool.substr(0, slash) +
                            " && mount -t tmpfs tmpfs /tmp && (mkdir -p /run/user; true) && "
                            "mount -t tmpfs tmpfs /run/user && U=$(id -u) && "
                            "mkdir -m 700 /run/user/$U && echo inside && "
                            "export LD_LIBRARY_PATH=. ZELK_BOARDS=sim:traffic=none && "
                            "unset ZELK_LOCK_DIR && " + script;
    run_cmd(std::string(getuid() == 0 ? "unshare -m" : "unshare -U -r -m") + " sh -c '" + all +
                "' 2>&1",
            out);
    return out->find("inside") != std::string::npos;
}

// Every program of the user finds the one lock folder whatever its
// environment: one without XDG_RUNTIME_DIR, or with a link planted at
// $XDG_RUNTIME_DIR/zelk, sees the channel another program holds as busy.
// A link in the lock folder's own place is named, never passed over for
// another folder.
TEST_F(ZelkProcess, LocksLieInOneFolderWhateverTheEnvironment)
{
    std::string out;
    const bool ran = run_private(
        "{ XDG_RUNTIME_DIR=/tmp ./zelkctl dump 0 --seconds 60 >/dev/null 2>&1 & } ; "
        "L=/run/user/$U/zelk/sim-0-0.lock; i=0; "
        "while ! { [ -e $L ] && ! flock -n $L true; }; do "
        "  i=$((i+1)); [ $i -gt 2000 ] && echo never held && break; sleep 0.01; done; "
        "env -u XDG_RUNTIME_DIR -u HOME ./zelkctl send 0 123#11; echo unset=$?; "
        "mkdir /tmp/x && ln -s /tmp/elsewhere /tmp/x/zelk && "
        "XDG_RUNTIME_DIR=/tmp/x ./zelkctl send 0 123#11; echo planted=$?; "
        "kill $!; wait; ./zelkctl send 0 123#11; echo free=$?; "
        "rm -r /run/user/$U/zelk && ln -s /tmp/elsewhere /run/user/$U/zelk && "
        "./zelkctl send 0 123#11; echo linked=$?",
        &out);
    if (!ran) GTEST_SKIP() << "no private mount namespace here: " << out;
    EXPECT_NE(out.find("unset=1"), std::string::npos) << out;
    EXPECT_NE(out.find("planted=1"), std::string::npos) << out;
    EXPECT_NE(out.find("busy"), std::string::npos) << out;
    EXPECT_NE(out.find("free=0"), std::string::npos) << out;
    EXPECT_NE(out.find("linked=1"), std::string::npos) << out;
    EXPECT_NE(out.find("zelk cannot be used: it is a symbolic link"), std::string::npos) << out;
}

// No shared folder such as /tmp is used, where another user could take
// the name first: a private /tmp holds that other user's folder.
TEST_F(ZelkProcess, LocksNeedNoFolderAnotherUserCanTake)
{
    const std::string taken = getuid() == 0 ? "mkdir /tmp/zelk-0 && chown 65534 /tmp/zelk-0"
                                            : "ln -s /nowhere /tmp/zelk-0";
    std::string out;
    if (!run_private(taken + " && env -u XDG_RUNTIME_DIR -u XDG_CACHE_HOME HOME=/tmp/home " +
                         "./zelkctl send 0 123#11 && echo sent",
                     &out))
        GTEST_SKIP() << "no private mount namespace here: " << out;
    EXPECT_NE(out.find("sent"), std::string::npos) << out;
}

TEST_F(ZelkProcess, ListWithoutConfigurationShowsOneSimulatedBoard)
{
    unsetenv("ZELK_BOARDS");
    std::string out;
    ASSERT_EQ(run_cmd(zelkctl() + " list", &out), 0);
    EXPECT_EQ(out,
              "board 0: ZELK simulated CAN (ZELK simulation), serial SIM-0\n"
              "  channel 0: free, CAN FD\n"
              "  channel 1: free, CAN FD\n");
}

TEST_F(ZelkProcess, DumpPrintsFramesCandumpStyle)
{
    setenv("ZELK_BOARDS", "sim", 1);
    std::string out;
    ASSERT_EQ(run_cmd(zelkctl() + " dump 0 --count 40 --seconds 20", &out), 0) << out;
    const std::regex line(R"(\(\d{9,}\.\d{6}\) ch0 ([0-9A-F]{3}|[0-9A-F]{8})#(R\d?|([0-9A-F]{2}){0,8}))");
    int lines = 0;
    size_t pos = 0;
    bool remote = false, extended = false;
    while (pos < out.size()) {
        size_t nl = out.find('\n', pos);
        ASSERT_NE(nl, std::string::npos);
        const std::string l = out.substr(pos, nl - pos);
        EXPECT_TRUE(std::regex_match(l, line)) << l;
        remote |= l.find("#R") != std::string::npos;
        extended |= l.find('#') - l.find(") ch0 ") == 14;
        lines++;
        pos = nl + 1;
    }
    EXPECT_EQ(lines, 40);
    EXPECT_TRUE(extended);
    (void)remote;
}

TEST_F(ZelkProcess, DumpAndSendCanFd)
{
    setenv("ZELK_BOARDS", "sim:traffic=mixed,classic=1", 1);
    std::string out;
    ASSERT_EQ(run_cmd(zelkctl() + " dump 0 --count 300 --seconds 20 --drate 2000", &out), 0) << out;
    const std::regex fd(R"(\(\d+\.\d{6}\) ch0 ([0-9A-F]{3}|[0-9A-F]{8})##[4-7]([0-9A-F]{2})*\n)");
    int fd_lines = 0;
    for (std::sregex_iterator i(out.begin(), out.end(), fd), end; i != end; ++i) fd_lines++;
    EXPECT_GT(fd_lines, 50) << out;
    // A classic channel gets the classic frames and says what it skipped.
    ASSERT_EQ(run_cmd(zelkctl() + " dump 1 --seconds 1.5 2>&1", &out), 0) << out;
    EXPECT_EQ(out.find("##"), std::string::npos) << out;
    EXPECT_NE(out.find("CAN FD frames skipped (the channel is open for classic CAN)"), std::string::npos) << out;

    // At a data rate the bus does not run the frame never gets out, and says so.
    EXPECT_EQ(run_cmd(zelkctl() + " send 0 123##1112233445566778899 --drate 5000 2>&1", &out), 1) << out;
    EXPECT_EQ(out, "zelkctl: 9 data bytes padded to the CAN FD length 12 with 00\n"
                   "zelkctl: the frame was not sent: the controller is bus-off\n");
    EXPECT_EQ(run_cmd(zelkctl() + " send 0 123##1112233445566778899 2>&1", &out), 0) << out;
    EXPECT_EQ(run_cmd(zelkctl() + " send 1 123##1AABB 2>&1", &out), 1) << out;
    EXPECT_NE(out.find("channel 1 cannot send CAN FD frames: CAN FD is not available"), std::string::npos) << out;
    EXPECT_EQ(run_cmd(zelkctl() + " send 1 123#AABB 2>&1", &out), 0) << out;
    ASSERT_EQ(run_cmd(zelkctl() + " list", &out), 0);
    EXPECT_NE(out.find("channel 1: free, classic CAN"), std::string::npos) << out;
}

TEST_F(ZelkProcess, ToolRefusesBadCommandLines)
{
    unsetenv("ZELK_BOARDS");
    const char *bad[] = {
        "frobnicate", "list extra", "dump", "dump x", "dump 0 --rate 333",
        "dump 0 --count", "dump 0 --seconds -1", "dump 0 --bogus", "send 0",
        "send 0 123", "send 0 800#00", "send 0 123#123", "send 0 123#001122334455667788",
        "send 0 123456789#00", "send 0 123#R9", "send 0 123#GG", "send 0 ' 7FF#01'",
        "send 0 0x12#", "send 0 \"$(printf '123#\\f5')\"", "--version extra",
        "send 0 123##", "send 0 123##8AA", "send 0 123##1R", "dump 0 --drate 50",
        "dump 0 --classic --drate 2000", "send 0 123#11 --drate 2000", "dump 0 --count 0",
        "dump 0 --count -1", "dump 0 --count 100000001",
    };
    std::string out;
    for (const char *args : bad) {
        EXPECT_EQ(run_cmd(zelkctl() + " " + args + " 2>&1", &out), 2) << args;
        // One line that says why, not the usage again.
        EXPECT_EQ(out.rfind("zelkctl: ", 0), 0u) << args << ": " << out;
        EXPECT_EQ(out.find('\n'), out.size() - 1) << args << ": " << out;
    }
    EXPECT_EQ(run_cmd(zelkctl() + " dump 0 --seconds 1e308 2>&1", &out), 2);
    EXPECT_NE(out.find("at most 10000000 seconds"), std::string::npos) << out;
    EXPECT_EQ(run_cmd(zelkctl() + " dump 0 --count 99999999999999999999 2>&1", &out), 2);
    EXPECT_NE(out.find("--count \"99999999999999999999\": too large, at most 100000000 frames"),
              std::string::npos) << out;
    EXPECT_EQ(run_cmd(zelkctl() + " 2>&1", &out), 2);
    EXPECT_NE(out.find("usage: zelkctl"), std::string::npos) << out;
    EXPECT_EQ(run_cmd(zelkctl() + " send 0 '123#\t5' 2>&1", &out), 2);
    EXPECT_EQ(out, "zelkctl: frame \"123#\\x095\": the data holds \\x09, not a hex digit "
                   "(zelkctl --help shows the usage)\n");
    EXPECT_EQ(run_cmd(zelkctl() + " --version", &out), 0);
    EXPECT_EQ(out.rfind("zelkctl 1.", 0), 0u) << out;
    EXPECT_EQ(run_cmd(zelkctl() + " dump 5 --count 1 2>&1", &out), 1);
    EXPECT_NE(out.find("no such CAN channel"), std::string::npos) << out;
    setenv("ZELK_BOARDS", "sim:rate=fast", 1);
    EXPECT_EQ(run_cmd(zelkctl() + " list 2>&1", &out), 1);
    EXPECT_NE(out.find("rate=fast"), std::string::npos) << out;
    unsetenv("ZELK_BOARDS");
    EXPECT_EQ(run_cmd(zelkctl() + " send 1 1ABCDEF0#R 2>&1", &out), 0) << out;
    EXPECT_EQ(run_cmd(zelkctl() + " send 1 7FF#01.02.03 2>&1", &out), 0) << out;
    EXPECT_EQ(run_cmd(zelkctl() + " send 1 7FF#01.02.03 --rate 125 2>&1", &out), 1) << out;
    EXPECT_EQ(out, "zelkctl: the frame was not sent: the controller is bus-off\n");
}

}  // namespace

namespace {

// zelkctl dump in the background, its output in a file.
struct Dump {
    pid_t pid = -1;
    std::string file;
    Dump(const std::string &args, const std::string &dir) : file(dir + "/dump")
    {
        pid = fork();
        if (pid == 0) {
            execl("/bin/sh", "sh", "-c", ("exec " + zelkctl() + " dump " + args + " > '" + file + "' 2>&1").c_str(),
                  static_cast<char *>(nullptr));
            _exit(127);
        }
    }
    std::string output() const { return nbtest::read_file(file); }
    bool shows(const std::string &frame) const
    {
        return output().find(" " + frame + "\n") != std::string::npos;
    }
    ~Dump()
    {
        if (pid <= 0) return;
        kill(pid, SIGINT);
        waitpid(pid, nullptr, 0);
    }
};

// The simulated bus is one for all the user's programs, like a vcan: what
// one sends, the others receive, classic and FD frames alike.
TEST(ZelkBetweenProcesses, ProgramsMeetOnTheSimulatedBus)
{
    setenv("ZELK_BOARDS", "sim:channels=3,traffic=none", 1);
    zk_sim_reset();
    ASSERT_EQ(ZkInit(), ZK_OK);
    ASSERT_EQ(ZkOpen(0, ZK_OPEN_BOTH | ZK_OPEN_FD), ZK_OK);
    ASSERT_EQ(ZkStart(0), ZK_OK);
    const std::string dir = nbtest::make_temp_dir("simbus");
    Dump dump("2", dir);
    // Until the dump listens, what is sent is lost, as on a real bus.
    const zk_frame mark = frame(0x7FF, 0, {0xEE});
    ASSERT_TRUE(nbtest::wait_until([&] {
        ZkWrite(0, &mark, 1);
        return dump.shows("7FF#EE");
    }, 20000)) << dump.output();

    std::string out;
    const char *sent[] = {"7E8#0211223344556677", "18DAF110#R", "123##1" "00112233445566778899AABB"};
    for (const char *f : sent) ASSERT_EQ(run_cmd(zelkctl() + " send 1 " + f + " 2>&1", &out), 0) << out;
    std::vector<zk_fdframe> got;
    ASSERT_TRUE(nbtest::wait_until([&] {
        zk_fdframe buf[16];
        for (int16_t n; (n = ZkReadFd(0, buf, 16)) > 0;)
            for (int i = 0; i < n; i++)
                if (buf[i].id != 0x7FF) got.push_back(buf[i]);
        return got.size() >= 3;
    }, 20000)) << got.size();
    ASSERT_EQ(got.size(), 3u);
    EXPECT_EQ(got[0].id, 0x7E8u);
    EXPECT_EQ(got[0].data[7], 0x77);
    EXPECT_EQ(got[1].flags, ZK_FRAME_EFF | ZK_FRAME_RTR);
    EXPECT_EQ(got[2].flags, ZK_FRAME_FDF | ZK_FRAME_BRS);
    EXPECT_EQ(got[2].len, 12);
    EXPECT_EQ(got[2].data[11], 0xBB);

    // The other way, and between two other programs: zelkctl's frames and
    // ours reach the dump in the order they were sent.
    zk_fdframe fd{};
    fd.id = 0x1ABCDEF0;
    fd.flags = ZK_FRAME_EFF | ZK_FRAME_FDF;
    fd.len = 64;
    memset(fd.data, 0x5A, 64);
    ASSERT_EQ(ZkWriteFd(0, &fd, 1), 1);
    ASSERT_EQ(run_cmd(zelkctl() + " send 1 321#CAFE 2>&1", &out), 0) << out;
    ASSERT_TRUE(nbtest::wait_until([&] { return dump.shows("321#CAFE"); }, 20000)) << dump.output();
    const std::string o = dump.output();
    std::string fd_text = "1ABCDEF0##4";
    for (int i = 0; i < 64; i++) fd_text += "5A";
    EXPECT_NE(o.find(" " + fd_text + "\n"), std::string::npos) << o;
    EXPECT_LT(o.find(fd_text), o.find("321#CAFE"));
    for (const char *f : {"7E8#0211223344556677", "18DAF110#R", "123##500112233445566778899AABB"})
        EXPECT_NE(o.find(std::string(" ") + f + "\n"), std::string::npos) << f << ": " << o;
    ZkClose(0);
    unsetenv("ZELK_BOARDS");
}

}  // namespace

namespace {

// Lines of a dump: (time in microseconds, channel, frame text).
struct dump_line {
    uint64_t t;
    std::string chan, frame;
};
std::vector<dump_line> dump_lines(const std::string &out)
{
    static const std::regex line(R"(\((\d+)\.(\d{6})\) (ch\d+) (\S+))");
    std::vector<dump_line> v;
    std::smatch m;
    size_t pos = 0;
    for (size_t nl; (nl = out.find('\n', pos)) != std::string::npos; pos = nl + 1) {
        const std::string l = out.substr(pos, nl - pos);
        EXPECT_TRUE(std::regex_match(l, m, line)) << l;
        if (m.empty()) continue;
        v.push_back({std::stoull(m[1]) * 1000000u + std::stoull(m[2]), m[3], m[4]});
    }
    return v;
}

// Several channels, or all, in one stream in time order naming each
// frame's channel; one bus seen by two channels gives each frame twice at
// one time, the channel named first first.
TEST_F(ZelkProcess, DumpOfSeveralChannelsIsOneTimeOrderedStream)
{
    setenv("ZELK_BOARDS", "0=sim:channels=1;1=sim:channels=1", 1);
    std::string out;
    ASSERT_EQ(run_cmd(zelkctl() + " dump all --count 200 --seconds 20", &out), 0) << out;
    std::vector<dump_line> v = dump_lines(out);
    ASSERT_EQ(v.size(), 200u);
    std::set<std::string> names;
    for (size_t i = 0; i < v.size(); i++) {
        names.insert(v[i].chan);
        if (i > 0) {
            EXPECT_GE(v[i].t, v[i - 1].t) << i;
        }
    }
    EXPECT_EQ(names, (std::set<std::string>{"ch0", "ch1"}));

    setenv("ZELK_BOARDS", "sim:channels=2", 1);
    ASSERT_EQ(run_cmd(zelkctl() + " dump 1 0 --count 40 --seconds 20", &out), 0) << out;
    v = dump_lines(out);
    ASSERT_EQ(v.size(), 40u);
    // Channel 1, opened first, may have frames of its own before.
    size_t first = 0;
    while (first + 1 < v.size() && v[first + 1].chan != "ch0") first++;
    EXPECT_LT(first, 10u);
    for (size_t i = first; i + 1 < v.size(); i += 2) {
        EXPECT_EQ(v[i].chan, "ch1") << i;
        EXPECT_EQ(v[i + 1].chan, "ch0") << i;
        EXPECT_EQ(v[i].t, v[i + 1].t) << i;
        EXPECT_EQ(v[i].frame, v[i + 1].frame) << i;
    }
    for (const char *bad : {"dump 0 0", "dump all 1", "dump 1 all"}) {
        EXPECT_EQ(run_cmd(zelkctl() + " " + bad + " 2>&1", &out), 2) << bad;
        EXPECT_EQ(out.find('\n'), out.size() - 1) << bad << ": " << out;
    }
    unsetenv("ZELK_BOARDS");
}

}  // namespace
