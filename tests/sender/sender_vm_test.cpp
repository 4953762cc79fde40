// The sender plug-in over a SocketCAN channel (run in the guest by
// tests/zelk/socketcan/guest_tests.sh): periodic messages whose frames
// repeat go to the kernel's broadcast manager, a fixed one as it is and
// one with an E2E profile 2 counter as its round of 16 frames; a counter
// of a longer round stays with the sending thread. A raw socket on the
// interface checks what went out.
#include <gtest/gtest.h>
#include <net/if.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <linux/can.h>
#include <linux/can/raw.h>

#include <map>
#include <string>
#include <vector>

#include "../sendlog/sl_fixture.h"
#include "e2e.h"

namespace {

enum { COL_SENT = 9, COL_STATE = 10 };

int sh(const std::string &cmd)
{
    return system((cmd + " >/dev/null 2>&1").c_str());
}

class SenderVm : public sltest::PluginTest {
protected:
    void SetUp() override
    {
        ASSERT_EQ(sh("ip link add dev zksd type vcan && ip link set zksd mtu 72 && ip link set up zksd"), 0);
        raw_ = raw_socket();
        marks_ = raw_socket();
        ASSERT_GE(raw_, 0);
        load_plugin("sender", SD_STAGE_DIR, "socketcan:zksd");
        if (!HasFatalFailure())
            view_ = widget("sender-list");
    }
    void TearDown() override
    {
        PluginTest::TearDown();
        close(raw_);
        close(marks_);
        sh("ip link del zksd");
    }
    static int raw_socket()
    {
        int fd = socket(PF_CAN, SOCK_RAW | SOCK_CLOEXEC, CAN_RAW);
        const int buf = 8 << 20;  // nothing dropped while the test looks elsewhere
        setsockopt(fd, SOL_SOCKET, SO_RCVBUFFORCE, &buf, sizeof buf);
        sockaddr_can a{};
        a.can_family = AF_CAN;
        a.can_ifindex = (int)if_nametoindex("zksd");
        if (fd < 0 || bind(fd, (sockaddr *)&a, sizeof a) != 0)
            return -1;
        return fd;
    }
    // Frames on the interface since the last call, by identifier.
    void drain()
    {
        can_frame f;
        for (pollfd p{raw_, POLLIN, 0}; poll(&p, 1, 0) > 0 && read(raw_, &f, sizeof f) == (ssize_t)sizeof f;)
            seen_[f.can_id].push_back(std::vector<uint8_t>(f.data, f.data + f.len));
    }
    void mark(uint32_t id)
    {
        can_frame f{};
        f.can_id = id;
        ASSERT_EQ(write(marks_, &f, sizeof f), (ssize_t)sizeof f);
    }
    std::string cell(int row, int col)
    {
        GtkTreeModel *m = gtk_tree_view_get_model(GTK_TREE_VIEW(view_));
        GtkTreeIter it;
        gchar *s = nullptr;
        if (gtk_tree_model_iter_nth_child(m, &it, nullptr, row))
            gtk_tree_model_get(m, &it, col, &s, -1);
        std::string out = s ? s : "<no row>";
        g_free(s);
        return out;
    }

    int raw_ = -1, marks_ = -1;
    GtkWidget *view_ = nullptr;
    std::map<canid_t, std::vector<std::vector<uint8_t>>> seen_;
};

TEST_F(SenderVm, RepeatingFramesGoToTheKernelCountedAndStoppedWithTheirCounterGoingOn)
{
    // 0x124: profile 2 at its defaults (CRC byte 0, counter in byte 1),
    // data IDs 1..16; 0x125: a 12-bit counter, a round of 4096 frames.
    e2e_config p2;
    e2e_defaults(&p2, E2E_P2);
    for (int i = 0; i < 16; i++)
        p2.id_list[i] = (uint8_t)(i + 1);
    char ids[33], prot[160];
    for (int i = 0; i < 16; i++)
        g_snprintf(ids + 2 * i, 3, "%02X", p2.id_list[i]);
    g_snprintf(prot, sizeof prot, "%u,%u,%u,%u,%u,%llu,%u,%u,%u,%llX,%X,%u,%u,%u,%u,%s", p2.kind,
               p2.counter.start, p2.counter.length, p2.counter.motorola, p2.step,
               (unsigned long long)p2.wrap, p2.check.start, p2.check.length, p2.check.motorola,
               (unsigned long long)p2.bytes, p2.data_id, p2.p1_mode, p2.nibble.start,
               p2.nibble.length, p2.nibble.motorola, ids);
    load_keys({{"Message", "123,0,0,2,1122,10,1"},
               {"Message", "124,0,0,8,00000000AABBCCDD,1,1"},
               {"Protect", prot},
               {"Message", "125,0,0,4,00000000,10,1"},
               {"Protect", "0,16,12,0,1,0,0,0,0,0,0,0,0,0,0,00000000000000000000000000000000"}});
    click("sender-start");
    ASSERT_TRUE(nbtest::wait_until([&] {
        nbtest::pump();
        drain();
        return seen_[0x123].size() >= 20 && seen_[0x124].size() >= 100 && seen_[0x125].size() >= 20 &&
               cell(0, COL_SENT) != "0" && cell(1, COL_SENT) != "0";
    }, 30000));
    EXPECT_EQ(cell(0, COL_STATE), "Sent by the kernel");
    EXPECT_EQ(cell(1, COL_STATE), "Sent by the kernel");
    EXPECT_EQ(cell(2, COL_STATE), "") << "a round longer than the kernel holds";

    click("sender-stop");
    nbtest::pump();
    uint64_t counted = std::stoull(cell(1, COL_SENT));
    // Stopped means silent: nothing between two marks 50 ms apart.
    usleep(50000);
    mark(0x7FD);
    usleep(50000);
    mark(0x7FE);
    drain();
    ASSERT_TRUE(nbtest::wait_until([&] { drain(); return !seen_[0x7FE].empty(); }));
    const size_t stopped = seen_[0x124].size();
    EXPECT_EQ(counted, stopped);

    // Every frame right: the fixed one as typed; each counter one more
    // than the last, its CRC over the bytes and the counter's data ID.
    for (const auto &d : seen_[0x123])
        ASSERT_EQ(d, (std::vector<uint8_t>{0x11, 0x22}));
    auto check_p2 = [&](size_t from) {
        for (size_t k = from; k < seen_[0x124].size(); k++) {
            std::vector<uint8_t> d = seen_[0x124][k];
            ASSERT_EQ(d.size(), 8u);
            e2e_state st{(uint64_t)(d[1] & 0x0F)};
            std::vector<uint8_t> want = {0, 0, 0, 0, 0xAA, 0xBB, 0xCC, 0xDD};
            ASSERT_EQ(0, e2e_protect(&p2, &st, want.data(), 8));
            ASSERT_EQ(d, want) << k;
            if (k > from) {
                ASSERT_EQ(d[1] & 0x0F, (seen_[0x124][k - 1][1] + 1) & 0x0F) << k;
            }
        }
    };
    check_p2(0);
    for (size_t k = 1; k < seen_[0x125].size(); k++)
        ASSERT_EQ(seen_[0x125][k][2] | (seen_[0x125][k][3] & 0x0F) << 8,
                  ((seen_[0x125][k - 1][2] | (seen_[0x125][k - 1][3] & 0x0F) << 8) + 1) & 0xFFF);

    // Started again, the counter goes on: no value repeats.
    const int last = seen_[0x124].back()[1] & 0x0F;
    click("sender-start");
    ASSERT_TRUE(nbtest::wait_until([&] {
        nbtest::pump();
        drain();
        return seen_[0x124].size() >= stopped + 20;
    }, 30000));
    click("sender-stop");
    EXPECT_EQ(seen_[0x124][stopped][1] & 0x0F, (last + 1) & 0x0F);
    check_p2(stopped);

    // A controller stopped under a job pauses its message with the reason.
    click("sender-start");
    ASSERT_TRUE(nbtest::wait_until([&] {
        nbtest::pump();
        return cell(0, COL_STATE) == "Sent by the kernel";
    }));
    ASSERT_EQ(ZkStop(0), ZK_OK);
    ASSERT_TRUE(nbtest::wait_until([&] {
        nbtest::pump();
        return cell(0, COL_STATE).find("Paused: ") == 0;
    })) << cell(0, COL_STATE);
}

}  // namespace
