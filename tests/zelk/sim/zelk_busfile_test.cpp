// The shared simulated-bus file damaged under running programs: none of
// them dies, each says what happened, and the bus is set up again once
// nobody uses it, never under a program that does.
#include "zelk_fixture.h"

#include "sim/sim_bus.h"  // the file's layout, to damage single fields
#include "test_env.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstddef>
#include <functional>
#include <memory>
#include <regex>
#include <vector>

using namespace zktest;

namespace {

std::string bus_file()
{
    return std::string(getenv("ZELK_LOCK_DIR")) + "/sim-bus-0-v" + std::to_string(zk::SIM_BUS_LAYOUT);
}

// Another program's 4-byte write (this one closing a descriptor of the
// file would drop its own lock that marks the bus in use).
void write32(size_t offset, int32_t v)
{
    const pid_t pid = fork();
    if (pid == 0) {
        const int fd = open(bus_file().c_str(), O_WRONLY);
        _exit(fd >= 0 && pwrite(fd, &v, 4, off_t(offset)) == 4 ? 0 : 1);
    }
    int status = -1;
    ASSERT_EQ(waitpid(pid, &status, 0), pid);
    ASSERT_EQ(status, 0);
}

// zelkctl dump of one channel in the background; its exit is waited for.
struct Dump {
    pid_t pid = -1;
    int status = -1;
    std::string file;
    Dump(int chan, const std::string &dir) : file(dir + "/dump" + std::to_string(chan))
    {
        const std::string cmd = std::string("exec ") + ZELKCTL_PATH + " dump " + std::to_string(chan) +
                                " --seconds 120 > '" + file + "' 2>&1";
        unlink(file.c_str());
        pid = fork();
        if (pid == 0) {
            execl("/bin/sh", "sh", "-c", cmd.c_str(), static_cast<char *>(nullptr));
            _exit(127);
        }
    }
    std::string output() const { return nbtest::read_file(file); }
    bool ended()
    {
        if (pid > 0 && waitpid(pid, &status, WNOHANG) == pid) pid = -1;
        return pid < 0;
    }
    ~Dump()
    {
        if (pid <= 0) return;
        kill(pid, SIGINT);
        waitpid(pid, nullptr, 0);
    }
};

class ZelkBusFile : public Zelk {
protected:
    void SetUp() override
    {
        setenv("ZELK_BOARDS", "sim:channels=4,traffic=none", 1);
        zk_sim_reset();
        ASSERT_EQ(ZkInit(), ZK_OK);
        dir_ = nbtest::make_temp_dir("busfile");
    }
    // Three programs on channels 0 to 2, this one on 3, all hearing it.
    void three_on_the_bus(std::vector<std::unique_ptr<Dump>> *dumps)
    {
        ASSERT_EQ(ZkOpen(3, ZK_OPEN_BOTH), ZK_OK);
        ASSERT_EQ(ZkStart(3), ZK_OK);
        for (int c = 0; c < 3; c++) dumps->emplace_back(new Dump(c, dir_));
        const zk_frame mark = frame(0x7FF, 0, {0xEE});
        ASSERT_TRUE(nbtest::wait_until([&] {
            ZkWrite(3, &mark, 1);
            for (auto &d : *dumps)
                if (d->output().find(" 7FF#EE\n") == std::string::npos) return false;
            return true;
        }, 20000));
    }
    std::string dir_;
};

// Each way of damaging the file ends the three programs with the reason
// (exit 1, no signal) and loses this program's channel with it; then
// the bus is set up again for whoever opens a channel.
TEST_F(ZelkBusFile, DamageUnderThreeProgramsIsToldAndTheBusRecovers)
{
    using zk::sim_bus;
    const size_t txq = offsetof(sim_bus, opt) + offsetof(zk::sim_bus_options, txq);
    const size_t channels = offsetof(sim_bus, opt) + offsetof(zk::sim_bus_options, channels);
    const size_t head1 = offsetof(sim_bus, ch) + sizeof(zk::sim_chan) + offsetof(zk::sim_chan, tx_head);
    const std::string file = bus_file();
    const struct {
        const char *what;
        std::function<void()> damage;
        const char *told;
    } cases[] = {
        {"truncated", [&] { ASSERT_EQ(truncate(file.c_str(), 0), 0); }, "size|cut short"},
        {"shrunk", [&] { ASSERT_EQ(truncate(file.c_str(), sizeof(sim_bus) - 8192), 0); }, "size|cut short"},
        {"queue size 0", [&] { write32(txq, 0); }, "transmit queue size reads 0"},
        {"channel count", [&] { write32(channels, 9); }, "channel count reads 9"},
        {"node count", [&] { write32(offsetof(sim_bus, nnodes), -7); }, "node count reads -7"},
        {"queue index", [&] { write32(head1, 4096); }, "transmit queue index reads 4096"},
        {"replaced", [&] {
             ASSERT_EQ(system(("cp '" + file + "' '" + file + ".new' && mv '" + file + ".new' '" + file + "'")
                                  .c_str()), 0);
         }, "removed or replaced"},
        {"removed", [&] { ASSERT_EQ(unlink(file.c_str()), 0); }, "removed or replaced"},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.what);
        const std::regex told(c.told);
        {
            std::vector<std::unique_ptr<Dump>> dumps;
            three_on_the_bus(&dumps);
            if (HasFatalFailure()) return;
            c.damage();
            ASSERT_TRUE(nbtest::wait_until([&] {
                bool all = true;
                for (auto &d : dumps) all &= d->ended();
                return all;
            }, 20000)) << dumps[0]->output() << dumps[1]->output() << dumps[2]->output();
            for (auto &d : dumps) {
                ASSERT_TRUE(WIFEXITED(d->status)) << "signal " << WTERMSIG(d->status);
                EXPECT_EQ(WEXITSTATUS(d->status), 1);
                const std::string out = d->output();
                EXPECT_TRUE(std::regex_search(out, std::regex("cannot read: .*simulated bus file .*"))) << out;
                EXPECT_TRUE(std::regex_search(out, told)) << out;
            }
            zk_frame buf[16];
            ASSERT_TRUE(nbtest::wait_until([&] { return ZkRead(3, buf, 16) == ZK_E_GONE; }, 20000));
            EXPECT_TRUE(std::regex_search(strerror_of(ZK_E_GONE), told)) << strerror_of(ZK_E_GONE);
            const zk_frame f = frame(0x100);
            EXPECT_EQ(ZkWrite(3, &f, 1), ZK_E_GONE);
            ASSERT_EQ(ZkClose(3), ZK_OK);
        }
        // Nobody is on the damaged bus any more: a new open sets it up.
        ASSERT_EQ(ZkOpen(3, ZK_OPEN_BOTH), ZK_OK) << strerror_of(ZK_E_NODEV);
        ASSERT_EQ(ZkStart(3), ZK_OK);
        std::string out;
        FILE *p = popen((std::string(ZELKCTL_PATH) + " send 0 321#CAFE 2>&1").c_str(), "r");
        ASSERT_NE(p, nullptr);
        EXPECT_EQ(pclose(p), 0);
        zk_frame got{};
        ASSERT_TRUE(nbtest::wait_until([&] { return ZkRead(3, &got, 1) == 1; }, 20000));
        EXPECT_EQ(got.id, 0x321u);
        ASSERT_EQ(ZkClose(3), ZK_OK);
    }
}

// A damaged file that another program still has mapped is refused, with
// the reason and who uses it, until that program is gone; links in the
// file's place are refused, never passed over for a bus of one's own.
TEST_F(ZelkBusFile, DamagedFileInUseAndLinksAreRefused)
{
    const std::string file = bus_file();
    int go[2], ready[2];
    ASSERT_EQ(pipe(go), 0);
    ASSERT_EQ(pipe(ready), 0);
    const pid_t idle = fork();
    if (idle == 0) {
        // Has the bus mapped, without a channel, and does nothing.
        zk_sim_reset();
        const char r = ZkOpen(0, ZK_OPEN_PROBE) == ZK_OK ? 'y' : 'n';
        (void)!write(ready[1], &r, 1);
        char c;
        close(go[1]);
        (void)!read(go[0], &c, 1);
        _exit(0);
    }
    close(go[0]);
    close(ready[1]);
    char r = 0;
    ASSERT_EQ(read(ready[0], &r, 1), 1);
    close(ready[0]);
    ASSERT_EQ(r, 'y');
    ASSERT_EQ(truncate(file.c_str(), 4096), 0);
    EXPECT_EQ(ZkOpen(3, ZK_OPEN_BOTH), ZK_E_NODEV);
    EXPECT_NE(strerror_of(ZK_E_NODEV).find("process " + std::to_string(idle) + " uses it"), std::string::npos)
        << strerror_of(ZK_E_NODEV);
    EXPECT_NE(strerror_of(ZK_E_NODEV).find("it has 4096 bytes"), std::string::npos);
    std::string listed;
    FILE *p = popen((std::string(ZELKCTL_PATH) + " list 2>&1").c_str(), "r");
    ASSERT_NE(p, nullptr);
    char buf[4096];
    for (size_t n; (n = fread(buf, 1, sizeof buf, p)) > 0;) listed.append(buf, n);
    pclose(p);
    EXPECT_TRUE(std::regex_search(listed, std::regex("channel 3: unavailable, CAN FD\n    .*cannot be trusted "
                                                     "\\(it has 4096 bytes")))
        << listed;
    close(go[1]);
    ASSERT_EQ(waitpid(idle, nullptr, 0), idle);
    ASSERT_EQ(ZkOpen(3, ZK_OPEN_BOTH), ZK_OK) << strerror_of(ZK_E_NODEV);
    ASSERT_EQ(ZkClose(3), ZK_OK);

    zk_sim_reset();
    ASSERT_EQ(unlink(file.c_str()), 0);
    ASSERT_EQ(symlink((dir_ + "/elsewhere").c_str(), file.c_str()), 0);
    EXPECT_EQ(ZkOpen(3, ZK_OPEN_BOTH), ZK_E_NODEV);
    EXPECT_NE(strerror_of(ZK_E_NODEV).find("it is a symbolic link"), std::string::npos) << strerror_of(ZK_E_NODEV);
    ASSERT_EQ(unlink(file.c_str()), 0);
    ASSERT_TRUE(nbtest::write_file(dir_ + "/other", "x"));
    ASSERT_EQ(link((dir_ + "/other").c_str(), file.c_str()), 0);
    zk_sim_reset();
    EXPECT_EQ(ZkOpen(3, ZK_OPEN_BOTH), ZK_E_NODEV);
    EXPECT_NE(strerror_of(ZK_E_NODEV).find("hard links"), std::string::npos) << strerror_of(ZK_E_NODEV);
    ASSERT_EQ(unlink(file.c_str()), 0);
}

}  // namespace
