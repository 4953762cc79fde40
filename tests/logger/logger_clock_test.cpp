// Placing the adapter's receive times on the wall clock, and the candump
// and ASC line formats at their edges, on the logger's own sources.
#include <gtest/gtest.h>
#include <string.h>

#include <string>
#include <vector>

#include "logger.h"

namespace {

zk_frame at(uint32_t ts)
{
    zk_frame f;
    memset(&f, 0, sizeof f);
    f.ts = ts;
    return f;
}

constexpr int64_t WALL0 = 1700000000000000;  // some wall time, in us

TEST(LoggerClock, FollowsTheAdapterClockThroughJitterWrapAndReset)
{
    lg_clock c;
    lg_clock_reset(&c);
    // A frame every 1 ms from an adapter clock that wraps after 200 ms;
    // polls every 20 ms, each 0 to 7 ms late.
    const uint32_t ts0 = 0xFFFFFFFFu - 200000;
    const int delays[] = {3000, 7000, 0, 5000, 1000, 6000, 2000};
    std::vector<int64_t> placed;
    int64_t worst = 0;
    for (int tick = 0; tick < 50; tick++) {
        std::vector<zk_frame> batch;
        for (int i = 0; i < 20; i++)
            batch.push_back(at(ts0 + (uint32_t)((tick * 20 + i) * 1000)));
        int64_t arrival_last = WALL0 + (tick * 20 + 19) * 1000;
        int64_t req = arrival_last + delays[tick % 7];
        int64_t out[20];
        lg_clock_place(&c, batch.data(), 20, req, out);
        for (int i = 0; i < 20; i++) {
            int64_t truth = WALL0 + (tick * 20 + i) * 1000;
            int64_t err = out[i] - truth;
            EXPECT_LE(out[i], req) << tick;
            if (tick > 2)  // once a prompt poll was seen
                worst = std::max(worst, err < 0 ? -err : err);
            placed.push_back(out[i]);
        }
    }
    EXPECT_LE(worst, 100) << "placed times off by up to " << worst << " us";
    // Never backwards; once a prompt poll was seen, the adapter's spacing
    // (through the wrap, too) up to the allowed drift.
    for (size_t i = 1; i < placed.size(); i++) {
        EXPECT_GE(placed[i], placed[i - 1]) << i;
        if (i > 60) {
            // 100 ppm of rise between two prompt polls (7 x 20 ms).
            EXPECT_NEAR(1000, placed[i] - placed[i - 1], 20) << i;
        }
    }

    // The adapter restarted its clock: placed anew at the request time.
    zk_frame fresh[2] = {at(5000), at(6000)};
    int64_t req = placed.back() + 30000;
    int64_t out[2];
    lg_clock_place(&c, fresh, 2, req, out);
    EXPECT_EQ(req, out[1]);
    EXPECT_EQ(req - 1000, out[0]);
}

TEST(LoggerFormat, LinesAtTheEdges)
{
    char buf[LG_LINE_MAX];
    zk_frame f = at(0);
    f.id = 0xFFFFFFFFu;  // only the identifier's own bits are written
    f.flags = ZK_FRAME_EFF;
    f.len = 12;          // a length above 8 is written as 8
    memset(f.data, 0xA5, 8);
    ASSERT_NE(0u, lg_fmt_candump(buf, sizeof buf, 3, 1436509052249713, &f, 0));
    EXPECT_STREQ("(1436509052.249713) can3 1FFFFFFF#A5A5A5A5A5A5A5A5\n", buf);
    f.id = 0xFFF;
    f.flags = 0;
    f.len = 0;
    ASSERT_NE(0u, lg_fmt_candump(buf, sizeof buf, 0, 5, &f, 1));
    EXPECT_STREQ("(0000000000.000005) can0 7FF# T\n", buf);
    // Too small a buffer gives nothing rather than a cut line.
    EXPECT_EQ(0u, lg_fmt_candump(buf, 20, 0, 5, &f, 1));

    zk_errs e = {0, 1, 0, 0, 1};
    ASSERT_NE(0u, lg_fmt_candump_errors(buf, sizeof buf, 0, 1000000, &e));
    EXPECT_STREQ("(0000000001.000000) can0 200000C1#0000000000000000\n", buf);

    // ASC times are never negative, channels count from 1.
    f.id = 0x12;
    f.len = 1;
    f.data[0] = 7;
    ASSERT_NE(0u, lg_fmt_asc_frame(buf, sizeof buf, 1, 5000000, 4000000, &f, 1));
    EXPECT_STREQ("   0.000000 2  12              Tx   d 1 07\n", buf);
    ASSERT_NE(0u, lg_fmt_asc_frame(buf, sizeof buf, 0, 0, 12345678901, &f, 0));
    EXPECT_STREQ("12345.678901 1  12              Rx   d 1 07\n", buf);

    EXPECT_EQ(LG_FMT_CANDUMP, lg_format_of_name("/a/b.LoG"));
    EXPECT_EQ(LG_FMT_ASC, lg_format_of_name("x.asc"));
    EXPECT_EQ(LG_FMT_AUTO, lg_format_of_name("x.asc.txt"));
    EXPECT_EQ(LG_FMT_AUTO, lg_format_of_name("log"));
}

}  // namespace
