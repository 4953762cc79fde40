// The strict "ID#DATA" frame syntax shared by zelkctl and the sender.
#include <gtest/gtest.h>
#include <string.h>

#include <string>

#include "frametext.h"

namespace {

std::string round_trip(const char *text)
{
    zk_frame f;
    char why[128];
    if (ft_parse(text, &f, why, sizeof why) != 0)
        return std::string("refused: ") + why;
    char out[FT_TEXT_MAX];
    EXPECT_GT(ft_format(&f, out, sizeof out), 0u);
    return out;
}

TEST(FrameText, AcceptsTheDocumentedForms)
{
    EXPECT_EQ(round_trip("123#DEADBEEF"), "123#DEADBEEF");
    EXPECT_EQ(round_trip("123#de.ad.be.ef"), "123#DEADBEEF");
    EXPECT_EQ(round_trip("7FF#0011223344556677"), "7FF#0011223344556677");
    EXPECT_EQ(round_trip("123#"), "123#");
    EXPECT_EQ(round_trip("18DAF110#R"), "18DAF110#R");
    EXPECT_EQ(round_trip("123#R8"), "123#R8");
    EXPECT_EQ(round_trip("00000012#01"), "00000012#01");
    EXPECT_EQ(round_trip("1FFFFFFF#"), "1FFFFFFF#");

    zk_frame f;
    ASSERT_EQ(ft_parse("18DAF110#R3", &f, nullptr, 0), 0);
    EXPECT_EQ(f.id, 0x18DAF110u);
    EXPECT_EQ(f.flags, ZK_FRAME_EFF | ZK_FRAME_RTR);
    EXPECT_EQ(f.len, 3);
    ASSERT_EQ(ft_parse("012#", &f, nullptr, 0), 0);
    EXPECT_EQ(f.id, 0x12u);
    EXPECT_EQ(f.flags, 0);
    EXPECT_EQ(f.len, 0);
}

TEST(FrameText, RefusesEverythingElseWithAOneLineReason)
{
    // What a lenient parser took for something else: a blank made a
    // 29-bit frame, "0x" was skipped, a control character became a digit.
    const char *bad[] = {
        " 7FF#01", "0x12#", "123#\f5", "12#00", "1234#00", "123456789#00", "800#00",
        "20000000#00", "123", "", "123#1", "123#123", "123#GG", "123#001122334455667788",
        "123#.11", "123#11.", "123#11..22", "123#R9", "123#r", "123#R 3", "123# 11",
        "123#11 ", "-12#00", "123#+1", "123##11", "#11",
    };
    for (const char *text : bad) {
        zk_frame f;
        memset(&f, 0xA5, sizeof f);
        char why[128] = "";
        EXPECT_EQ(ft_parse(text, &f, why, sizeof why), -1) << text;
        EXPECT_NE(why[0], '\0') << text;
        EXPECT_EQ(strchr(why, '\n'), nullptr) << text;
        EXPECT_EQ(f.id, 0xA5A5A5A5u) << "changed on refusal: " << text;
    }
    char why[128];
    zk_frame f;
    ft_parse("123#\f5", &f, why, sizeof why);
    EXPECT_STREQ(why, "the data holds \\x0C, not a hex digit");
    ft_parse("800#00", &f, why, sizeof why);
    EXPECT_STREQ(why, "11-bit identifier 800 is above 7FF");
}

}  // namespace

namespace {

std::string fd_round_trip(const std::string &text, int *pad = nullptr)
{
    zk_fdframe f;
    char why[128];
    const int rc = ft_parse_fd(text.c_str(), &f, why, sizeof why);
    if (pad) *pad = rc;
    if (rc < 0) return std::string("refused: ") + why;
    char out[FT_FD_TEXT_MAX];
    EXPECT_GT(ft_format_fd(&f, out, sizeof out), 0u);
    return out;
}

TEST(FrameText, FdFramesTheirFlagsPaddingAndRefusals)
{
    const std::string full(128, 'A');
    // Written with the FD mark (4) as candump writes it; read with or without.
    EXPECT_EQ(fd_round_trip("123##1DEADBEEF"), "123##5DEADBEEF");
    EXPECT_EQ(fd_round_trip("18DAF110##0"), "18DAF110##4");
    EXPECT_EQ(fd_round_trip("7FF##3" + full), "7FF##7" + full);
    EXPECT_EQ(fd_round_trip("123##5de.ad"), "123##5DEAD");
    EXPECT_EQ(fd_round_trip("123#DE"), "123#DE") << "classic frames as ft_parse takes them";
    int pad = 0;
    EXPECT_EQ(fd_round_trip("123##1112233445566778899", &pad), "123##5112233445566778899000000");
    EXPECT_EQ(pad, 3);
    EXPECT_EQ(fd_round_trip("123##0" + std::string(98, '1'), &pad), "123##4" + std::string(98, '1') + std::string(30, '0'));
    EXPECT_EQ(pad, 15);
    zk_fdframe f;
    ASSERT_EQ(ft_parse_fd("1ABCDEF0##2AA", &f, nullptr, 0), 0);
    EXPECT_EQ(f.flags, ZK_FRAME_EFF | ZK_FRAME_FDF | ZK_FRAME_ESI);
    EXPECT_EQ(f.len, 1);

    const std::string bad[] = {"123##", "123##8AA", "123##1R", "123##G", "123##1A", "123###1",
                               "123##1" + full + "AA", "12##1AA", "123##1 AA"};
    for (const std::string &text : bad) {
        memset(&f, 0xA5, sizeof f);
        char why[128] = "";
        EXPECT_EQ(ft_parse_fd(text.c_str(), &f, why, sizeof why), -1) << text;
        EXPECT_NE(why[0], '\0') << text;
        EXPECT_EQ(f.id, 0xA5A5A5A5u) << text;
    }
    char why[128];
    ft_parse_fd("123##1R", &f, why, sizeof why);
    EXPECT_STREQ(why, "CAN FD has no remote frames");
    zk_frame c;
    ft_parse("123##1AA", &c, why, sizeof why);
    EXPECT_STREQ(why, "a CAN FD frame (##) where only classic frames are taken");
}

}  // namespace
