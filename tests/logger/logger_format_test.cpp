// Placing the adapter's receive times on the wall clock, and error reports
// as error frames, on the logger's own sources.
#include <gtest/gtest.h>
#include <string.h>

#include <string>
#include <vector>

#include "logger.h"

namespace {

zk_fdframe at(uint32_t ts)
{
    zk_fdframe f;
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
        std::vector<zk_fdframe> batch;
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
    zk_fdframe fresh[2] = {at(5000), at(6000)};
    int64_t req = placed.back() + 30000;
    int64_t out[2];
    lg_clock_place(&c, fresh, 2, req, out);
    EXPECT_EQ(req, out[1]);
    EXPECT_EQ(req - 1000, out[0]);
}

// An adapter clock that fell behind the host's: a sent frame goes no
// earlier than the host accepted it, the frames after it keep their order,
// and the clocks' offset follows that lower bound (never past the request).
TEST(LoggerClock, SentFramesNeverBeforeTheirAcceptance)
{
    lg_clock c;
    lg_clock_reset(&c);
    zk_fdframe rx = at(1000);
    int64_t out[3];
    lg_clock_place(&c, &rx, 1, WALL0, out);
    ASSERT_EQ(WALL0, out[0]);
    // Accepted 5 ms later by the host, 1 ms later by the adapter.
    const zk_fdframe batch[] = {at(2000), at(2000), at(2500)};
    const int64_t accepted[] = {WALL0 + 5000, WALL0 + 5000, 0};
    lg_clock_place(&c, batch, 3, WALL0 + 7000, out, accepted);
    EXPECT_EQ(WALL0 + 5000, out[0]);
    EXPECT_EQ(WALL0 + 5000, out[1]);
    EXPECT_EQ(WALL0 + 5500, out[2]);
    // Accepted after the request's bound allows: at its acceptance still,
    // the received frame after it not before it.
    const zk_fdframe late[] = {at(2600), at(2700)};
    const int64_t late_acc[] = {WALL0 + 9000, 0};
    lg_clock_place(&c, late, 2, WALL0 + 8000, out, late_acc);
    EXPECT_EQ(WALL0 + 9000, out[0]);
    EXPECT_EQ(WALL0 + 9000, out[1]);
}

TEST(LoggerOrder, SentFramesTakeTheirPlaceAmongReceivedOnesAcrossTheWrap)
{
    static lg_order o;   // large: not on the stack
    o.in.nheld = 0;
    const uint32_t w = 0xFFFFFFF0u;   // the clock wraps among these frames
    nb_tx_fd_entry tx[2];
    memset(tx, 0, sizeof tx);
    tx[0].frame = at(w + 5);
    tx[1].frame = at(w + 0x25);
    EXPECT_EQ(nbkit_order_hold(&o.in, tx, 2, 0), 2);
    const zk_fdframe rx[] = {at(w), at(w + 0x10), at(w + 0x30)};
    lg_order_merge(&o, rx, 3);
    ASSERT_EQ(o.n, 5);
    const uint32_t want[] = {w, w + 5, w + 0x10, w + 0x25, w + 0x30};
    const uint8_t sent[] = {0, 1, 0, 1, 0};
    for (int i = 0; i < 5; i++) {
        EXPECT_EQ(o.frames[i].ts, want[i]) << i;
        EXPECT_EQ(o.sent[i], sent[i]) << i;
    }
    EXPECT_EQ(o.in.nheld, 0);
}

TEST(LoggerFormat, ErrorReportsAsCandumpErrorFrames)
{
    char buf[CL_LINE_MAX];
    cl_frame f;
    zk_errs e = {0, 1, 0, 0, 1};
    lg_error_frame(&e, 0, 1000000, &f);
    ASSERT_NE(0u, cl_fmt_candump(buf, sizeof buf, &f));
    EXPECT_STREQ("(0000000001.000000) can0 200000C1#0000000000000000\n", buf);
    zk_errs w = {1, 0, 0, 2, 0};
    lg_error_frame(&w, 2, 0, &f);
    ASSERT_NE(0u, cl_fmt_candump(buf, sizeof buf, &f));
    EXPECT_STREQ("(0000000000.000000) can2 20000084#000D000000000000\n", buf);
}

}  // namespace
