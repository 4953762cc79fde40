// The plot's history on its own: the memory cap holds while the whole
// history stays, its extremes survive the decimation, and the walk for
// drawing gives a few values per pixel however many points there are.
#include <gtest/gtest.h>
#include <math.h>

#include "signals.h"

namespace {

struct Walk {
    size_t calls = 0;
    double lo = INFINITY, hi = -INFINITY, last_t = -INFINITY;
    bool ordered = true;
};

void on_walk(void *user, double t, double vmin, double vmax)
{
    Walk *w = (Walk *)user;
    w->calls++;
    w->lo = fmin(w->lo, vmin);
    w->hi = fmax(w->hi, vmax);
    w->ordered = w->ordered && t >= w->last_t;
    w->last_t = t;
}

TEST(History, KeepsEverythingWithinTheCapAndItsExtremes)
{
    const uint64_t cap = 4 * SG_CHUNK_POINTS;
    sg_history h;
    sg_history_init(&h, cap);
    ASSERT_EQ(0, sg_history_reserve(&h));
    const uint64_t n = 3000000;
    size_t most = 0;
    for (uint64_t i = 0; i < n; i++) {
        double v = (double)(i % 7);
        if (i % 100000 == 5)
            v = 1000.0 + (double)i;        // a spike in every stretch
        if (i == 12345)
            v = -5e6;                      // the lowest, early on
        sg_history_append(&h, (double)i * 1e-3, v);
        if (i % 1000 == 0) {               // the refresh allocates and merges ahead
            sg_history_reserve(&h);
            sg_history_prepare(&h);
            most = std::max(most, sg_history_bytes(&h));
        }
    }
    EXPECT_EQ(n, h.appended);
    EXPECT_GT(h.merges, 0u);
    EXPECT_LE(sg_history_points(&h), cap);
    sg_history cap_only;
    sg_history_init(&cap_only, cap);
    EXPECT_LE(most, (size_t)cap_only.max_chunks * sg_history_bytes(&h) / (h.nchunks + h.nspare));

    // The whole history, oldest extreme included, drawn 1000 pixels wide.
    Walk w;
    sg_history_walk(&h, 0.0, (double)n * 1e-3, 1000, on_walk, &w);
    EXPECT_TRUE(w.ordered);
    EXPECT_EQ(-5e6, w.lo);
    EXPECT_EQ(1000.0 + 2900005.0, w.hi);
    EXPECT_LE(w.calls, 8000u);
    EXPECT_EQ(0.0, sg_history_first_t(&h));

    // The newest points are still every point: the value at a time is exact.
    double v = 0;
    ASSERT_TRUE(sg_history_at(&h, (double)(n - 10) * 1e-3 + 1e-4, &v));
    EXPECT_EQ((double)((n - 10) % 7), v);
    EXPECT_FALSE(sg_history_at(&h, -1.0, &v));
    sg_point last;
    ASSERT_TRUE(sg_history_last(&h, &last));
    EXPECT_EQ((double)(n - 1) * 1e-3, last.t);

    // A narrow window of raw points: each of them, plus one on each side.
    Walk narrow;
    sg_history_walk(&h, (double)(n - 100) * 1e-3, (double)(n - 51) * 1e-3 + 1e-6, 1000, on_walk,
                    &narrow);
    EXPECT_EQ(52u, narrow.calls);
    sg_history_free(&h);
}

TEST(History, WithoutSpareChunksPointsAreMergedNotDropped)
{
    sg_history h;
    sg_history_init(&h, 100 * SG_CHUNK_POINTS);
    ASSERT_EQ(0, sg_history_reserve(&h));   // one small chunk, never more
    for (uint64_t i = 0; i < 5 * SG_CHUNK_POINTS; i++)
        sg_history_append(&h, (double)i, i == 7 ? -1.0 : 1.0);
    EXPECT_EQ(1u, h.nchunks);
    Walk w;
    sg_history_walk(&h, 0, 5.0 * SG_CHUNK_POINTS, 500, on_walk, &w);
    EXPECT_EQ(-1.0, w.lo);
    sg_point last;
    ASSERT_TRUE(sg_history_last(&h, &last));
    EXPECT_EQ(5.0 * SG_CHUNK_POINTS - 1, last.t);
    sg_history_free(&h);
}

// A history bounded by its last seconds or its last points keeps just
// those, refresh after refresh, and holds memory for what it keeps: a few
// points take kilobytes, not whole chunks.
TEST(History, KeepsItsLastSecondsOrPointsInMemoryForWhatItKeeps)
{
    sg_history h;
    sg_history_init(&h, SG_CAP_DEFAULT);
    ASSERT_EQ(0, sg_history_reserve(&h));
    for (int i = 0; i < 100; i++)
        sg_history_append(&h, i * 0.01, i);
    EXPECT_LT(sg_history_bytes(&h), 32u * 1024);

    const uint64_t n = 300000;   // 300 s at 1 kHz, refreshed every 100 points
    h.keep_s = 10;
    for (uint64_t i = 100; i < n; i++) {
        sg_history_append(&h, (double)i * 1e-3, (double)(i % 1000));
        if (i % 100 == 0) {
            sg_history_trim(&h);
            sg_history_reserve(&h);
        }
    }
    sg_history_trim(&h);
    sg_point last;
    ASSERT_TRUE(sg_history_last(&h, &last));
    EXPECT_EQ((double)(n - 1) * 1e-3, last.t);
    EXPECT_NEAR(last.t - 10, sg_history_first_t(&h), 1e-9);
    EXPECT_EQ(10001u, sg_history_points(&h));
    double v = 0;
    ASSERT_TRUE(sg_history_at(&h, last.t - 5, &v));
    EXPECT_EQ((double)((n - 1 - 5000) % 1000), v);
    EXPECT_FALSE(sg_history_at(&h, last.t - 11, &v));
    Walk w;
    sg_history_walk(&h, 0, last.t, 1000, on_walk, &w);
    EXPECT_TRUE(w.ordered);
    EXPECT_EQ(0.0, w.lo);
    EXPECT_EQ(999.0, w.hi);
    const size_t span_bytes = sg_history_bytes(&h);
    EXPECT_LE(span_bytes, 3 * (sizeof(sg_point) + 2) * SG_CHUNK_POINTS);

    // Its last 5000 points: the newest, each of them.
    h.keep_s = 0;
    h.keep_points = 5000;
    for (uint64_t i = n; i < 2 * n; i++) {
        sg_history_append(&h, (double)i * 1e-3, (double)i);
        if (i % 100 == 0) {
            sg_history_trim(&h);
            sg_history_reserve(&h);
        }
    }
    sg_history_trim(&h);
    EXPECT_EQ(5000u, sg_history_points(&h));
    EXPECT_EQ((double)(2 * n - 5000) * 1e-3, sg_history_first_t(&h));
    EXPECT_LE(sg_history_bytes(&h), span_bytes);
    sg_history_free(&h);
    EXPECT_EQ(0u, sg_history_bytes(&h));
}

}  // namespace
