// The SocketCAN backend's parts that need no CAN kernel: board arguments,
// bus timing, error frames, receive filters, the default board list and
// zelkctl list over a sysfs tree of the test's own, and the text for a
// kernel without SocketCAN.
#include <gtest/gtest.h>

#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <string>

#include <linux/can/error.h>

#include "socketcan/socketcan_sys.h"
#include "test_env.h"
#include "zelk.h"

using namespace zk_socketcan;

namespace {

std::string zelk_text(int16_t code)
{
    char buf[512];
    ZkStrError(code, buf, sizeof buf);
    return buf;
}

TEST(SocketcanParts, BoardArgumentsNameOneToFourInterfaces)
{
    char names[4][kNameMax];
    char err[128];
    ASSERT_EQ(parse_names("can0, vcan12", names, 4, err, sizeof err), 2);
    EXPECT_STREQ(names[0], "can0");
    EXPECT_STREQ(names[1], "vcan12");
    for (const char *bad : {"", "can0,can0", "a,b,c,d,e", "can0=1", "x/y", "abcdefghijklmnop"}) {
        err[0] = '\0';
        EXPECT_EQ(parse_names(bad, names, 4, err, sizeof err), -1) << bad;
        EXPECT_NE(err[0], '\0') << bad;
    }
}

TEST(SocketcanParts, RegisterPairsBecomeTheSameBitTimeInQuantaAndSegments)
{
    // 500 kbit/s: tq 125 ns, 1 + 13 + 2 quanta.
    bit_timing t = decode_btr(0x00, 0x1C);
    EXPECT_EQ(t.bitrate, 500000u);
    EXPECT_EQ(t.tq_ns, 125u);
    EXPECT_EQ(t.prop_seg + t.phase_seg1, 13u);
    EXPECT_EQ(t.phase_seg2, 2u);
    EXPECT_EQ(t.sjw, 1u);
    // An odd pair: BRP 3 (tq 500 ns), SJW 2, TSEG1 16, TSEG2 3: 20 tq,
    // 100 kbit/s with a sample point other than the table's.
    t = decode_btr(0x43, 0x2F);
    EXPECT_EQ(t.bitrate, 100000u);
    EXPECT_EQ(t.tq_ns, 500u);
    EXPECT_EQ(t.prop_seg, 8u);
    EXPECT_EQ(t.phase_seg1, 8u);
    EXPECT_EQ(t.phase_seg2, 3u);
    EXPECT_EQ(t.sjw, 2u);
    EXPECT_EQ(1000000000u / (t.tq_ns * (1 + t.prop_seg + t.phase_seg1 + t.phase_seg2)), t.bitrate);
    // SJW 4 with a 2-quantum phase segment 2 is kept within it.
    EXPECT_EQ(decode_btr(0xC0, 0x14).sjw, 2u);
}

TEST(SocketcanParts, ErrorFramesGiveStatesCountersAndEventsOnce)
{
    err_state st;
    uint8_t d[8] = {};
    d[1] = CAN_ERR_CRTL_TX_WARNING;
    d[6] = 100;
    d[7] = 3;
    err_counts c = apply_error_frame(CAN_ERR_FLAG | CAN_ERR_CRTL | CAN_ERR_CNT, d, &st);
    EXPECT_EQ(c.ewl, 1u);
    EXPECT_EQ(st.bus_state, 1);
    EXPECT_EQ(st.tec, 100);
    EXPECT_EQ(st.rec, 3);
    d[1] = CAN_ERR_CRTL_TX_PASSIVE;
    c = apply_error_frame(CAN_ERR_FLAG | CAN_ERR_CRTL, d, &st);
    EXPECT_EQ(c.ewl, 0u) << "the warning limit was crossed once";
    EXPECT_EQ(st.bus_state, 2);
    c = apply_error_frame(CAN_ERR_FLAG | CAN_ERR_BUSOFF, d, &st);
    EXPECT_EQ(c.boff, 1u);
    EXPECT_EQ(st.bus_state, 3);
    EXPECT_EQ(apply_error_frame(CAN_ERR_FLAG | CAN_ERR_BUSOFF, d, &st).boff, 0u);
    apply_error_frame(CAN_ERR_FLAG | CAN_ERR_RESTARTED, d, &st);
    EXPECT_EQ(st.bus_state, 0);
    EXPECT_EQ(st.restarts, 1u);
    d[1] = CAN_ERR_CRTL_RX_OVERFLOW;
    c = apply_error_frame(CAN_ERR_FLAG | CAN_ERR_CRTL | CAN_ERR_LOSTARB | CAN_ERR_PROT | CAN_ERR_TX_TIMEOUT,
                          d, &st);
    EXPECT_EQ(c.hovr, 1u);
    EXPECT_EQ(c.wtout, 1u);
    EXPECT_EQ(st.arb_lost, 1u);
    EXPECT_EQ(st.bus_errors, 1u);
    EXPECT_EQ(st.bus_state, 0) << "an overflow alone says nothing about the state";
}

TEST(SocketcanParts, KernelFiltersPassEachEnabledFormatOnly)
{
    can_filter f[2];
    ASSERT_EQ(kernel_filters(0x123, 0x7FF, ZK_OPEN_STD, f), 1);
    EXPECT_EQ(f[0].can_id, 0x123u);
    EXPECT_EQ(f[0].can_mask, 0x7FFu | CAN_EFF_FLAG);
    ASSERT_EQ(kernel_filters(0x18DAF110, 0x1FFFFF00, ZK_OPEN_BOTH, f), 2);
    EXPECT_EQ(f[0].can_id, 0x110u);
    EXPECT_EQ(f[1].can_id, 0x18DAF110u | CAN_EFF_FLAG);
    EXPECT_EQ(f[1].can_mask, 0x1FFFFF00u | CAN_EFF_FLAG);
}

// A sysfs tree with a USB adapter (gs_usb, serial 0042ABCD) as can10, an
// adapter without a serial as can2, vcan0, and an Ethernet interface.
class FakeSysfs : public ::testing::Test {
protected:
    void SetUp() override
    {
        root_ = nbtest::make_temp_dir("sysfs");
        mk("class/net");
        iface("eth0", "1");
        iface("vcan0", "280");
        iface("can10", "280");
        iface("can2", "280");
        mk("bus/usb/drivers/gs_usb");
        mk("bus/pci/drivers/peak_pci");
        mk("devices/usb1/1-1/1-1:1.0");
        put("devices/usb1/1-1/serial", "0042ABCD\n");
        link("../../../../bus/usb/drivers/gs_usb", "devices/usb1/1-1/1-1:1.0/driver");
        link("../../../devices/usb1/1-1/1-1:1.0", "class/net/can10/device");
        mk("devices/pci0/0000:01:00.0");
        link("../../../../bus/pci/drivers/peak_pci", "devices/pci0/0000:01:00.0/driver");
        link("../../../devices/pci0/0000:01:00.0", "class/net/can2/device");
        setenv("ZELK_SYSFS", root_.c_str(), 1);
        unsetenv("ZELK_BOARDS");
    }
    void TearDown() override
    {
        unsetenv("ZELK_SYSFS");
        ZkInit();
    }
    void mk(const std::string &p) { ASSERT_EQ(system(("mkdir -p '" + root_ + "/" + p + "'").c_str()), 0); }
    void put(const std::string &p, const std::string &text) { ASSERT_TRUE(nbtest::write_file(root_ + "/" + p, text)); }
    void link(const std::string &target, const std::string &p) { ASSERT_EQ(symlink(target.c_str(), (root_ + "/" + p).c_str()), 0); }
    void iface(const std::string &name, const std::string &type)
    {
        mk("class/net/" + name);
        put("class/net/" + name + "/type", type + "\n");
    }
    std::string board_name(uint8_t n, std::string *serial)
    {
        zk_board b{};
        b.number = n;
        if (ZkBoardInfo(&b) != ZK_OK) return "none";
        char s[256] = "";
        ZkBoardGetSerial(n, s, sizeof s);
        *serial = s;
        return b.name;
    }
    std::string root_;
};

TEST_F(FakeSysfs, DefaultListIsTheSimulatedBoardThenEveryCanInterfaceInNameOrder)
{
    char names[7][kNameMax];
    ASSERT_EQ(scan_interfaces(root_.c_str(), names, 7), 3);
    EXPECT_STREQ(names[0], "can2");
    EXPECT_STREQ(names[1], "can10");
    EXPECT_STREQ(names[2], "vcan0");

    ASSERT_EQ(ZkInit(), ZK_OK) << zelk_text(ZK_E_CONFIG);
    std::string serial;
    EXPECT_EQ(board_name(0, &serial), "ZELK simulated CAN");
    EXPECT_EQ(board_name(1, &serial), "SocketCAN can2, driver peak_pci");
    EXPECT_EQ(serial, "");
    EXPECT_EQ(board_name(2, &serial), "SocketCAN can10, driver gs_usb");
    EXPECT_EQ(serial, "0042ABCD");
    EXPECT_EQ(board_name(3, &serial).rfind("SocketCAN vcan0, driver ", 0), 0u);
    EXPECT_EQ(board_name(4, &serial), "none");
    // Channels: 0 and 1 on the simulated board, then one per interface.
    zk_board b{};
    b.number = 2;
    ASSERT_EQ(ZkBoardInfo(&b), ZK_OK);
    EXPECT_EQ(b.chip[0], 3);
    EXPECT_EQ(b.chip[1], -1);

    // The same through zelkctl list.
    const std::string cmd = "ZELK_SYSFS='" + root_ + "' " + ZELKCTL_PATH + " list";
    FILE *p = popen(cmd.c_str(), "r");
    ASSERT_NE(p, nullptr);
    std::string out;
    char buf[256];
    while (fgets(buf, sizeof buf, p)) out += buf;
    EXPECT_EQ(pclose(p), 0) << out;
    EXPECT_NE(out.find("board 2: SocketCAN can10, driver gs_usb (Linux kernel), serial 0042ABCD\n"),
              std::string::npos) << out;
    EXPECT_NE(out.find("board 1: SocketCAN can2, driver peak_pci (Linux kernel), serial none\n"),
              std::string::npos) << out;
}

TEST_F(FakeSysfs, OneBoardWithSeveralInterfacesAndMalformedEntries)
{
    setenv("ZELK_BOARDS", "3=socketcan:can2,can10", 1);
    ASSERT_EQ(ZkInit(), ZK_OK) << zelk_text(ZK_E_CONFIG);
    std::string serial;
    EXPECT_EQ(board_name(3, &serial), "SocketCAN can2,can10, driver peak_pci/gs_usb");
    EXPECT_EQ(serial, "0042ABCD");
    setenv("ZELK_BOARDS", "socketcan", 1);
    EXPECT_EQ(ZkInit(), ZK_E_CONFIG);
    EXPECT_NE(zelk_text(ZK_E_CONFIG).find("no interface given, for example socketcan:can0"),
              std::string::npos) << zelk_text(ZK_E_CONFIG);
    unsetenv("ZELK_BOARDS");
}

TEST(SocketcanNoKernel, OpeningSaysTheKernelHasNoSocketcan)
{
    const int s = socket(PF_CAN, SOCK_RAW, 1);
    if (s >= 0) {
        close(s);
        GTEST_SKIP() << "this kernel has SocketCAN; the guest tests cover it";
    }
    setenv("ZELK_BOARDS", "socketcan:can0", 1);
    ASSERT_EQ(ZkInit(), ZK_OK);
    EXPECT_EQ(ZkOpen(0, ZK_OPEN_BOTH), ZK_E_UNSUPPORTED);
    EXPECT_NE(zelk_text(ZK_E_UNSUPPORTED).find("no SocketCAN raw sockets"), std::string::npos)
        << zelk_text(ZK_E_UNSUPPORTED);
    EXPECT_NE(zelk_text(ZK_E_UNSUPPORTED).find("modprobe can-raw"), std::string::npos);
    EXPECT_EQ(ZkOpen(0, ZK_OPEN_PROBE), ZK_E_NODEV) << "no interface can0 here";
    unsetenv("ZELK_BOARDS");
    ZkInit();
}

}  // namespace
