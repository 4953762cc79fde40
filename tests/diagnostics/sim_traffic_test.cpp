// The simulated board's diagnostic traffic read through the adapter
// library and decoded: the ECU's J1939 broadcasts, and the saturating
// ISO-TP and J1939 streams, which must fill the bus and decode without a
// single fault (the benchmarks rely on both).
#include <gtest/gtest.h>
#include <stdlib.h>
#include <string.h>

#include "diag.h"
#include "zelk.h"
#include "zelk_sim.h"

namespace {

struct tally {
    int messages = 0, j1939 = 0, errors = 0, requests = 0, answered = 0;
    uint32_t pgns[8] = {};
    static uint64_t take(void *ctx, const dg_event *ev)
    {
        tally *t = static_cast<tally *>(ctx);
        switch (ev->kind) {
        case DG_REQUEST: t->requests++; return 1;
        case DG_RESPONSE: t->answered += ev->handle != 0; break;
        case DG_J1939:
            if (ev->j->via != J19_SINGLE) t->pgns[t->j1939++ % 8] = ev->j->pgn;
            break;
        case DG_TP_ERROR:
        case DG_J1939_ERROR:
            /* Reading starts in the middle of transfers: their rest is
             * reported once, within the first milliseconds. */
            if ((ev->tp ? ev->tp->t_first : ev->j->t_first) > 5000)
                t->errors++;
            break;
        default: break;
        }
        return 0;
    }
};

// Reads `seconds` of simulated bus time at 1 Mbit/s and decodes it.
tally run(const char *traffic, double seconds, uint64_t *frames)
{
    char boards[128];
    snprintf(boards, sizeof boards, "0=sim:channels=1,rate=1000,traffic=%s", traffic);
    setenv("ZELK_BOARDS", boards, 1);
    zk_sim_reset();
    tally t;
    EXPECT_GE(ZkInit(), 0);
    zk_sim_manual_clock(1);
    EXPECT_EQ(ZK_OK, ZkOpen(0, ZK_OPEN_BOTH));
    EXPECT_EQ(ZK_OK, ZkSetBaud(0, 0x00, 0x14));   /* 1000 kbit/s */
    EXPECT_EQ(ZK_OK, ZkStart(0));
    dg_decoder *d = dg_new(nullptr, tally::take, &t);
    static zk_frame buf[4096];
    *frames = 0;
    uint64_t base = 0;
    uint32_t last = 0;
    for (double s = 0; s < seconds; s += 0.01) {
        zk_sim_advance_us(10000);
        int n;
        while ((n = ZkRead(0, buf, 4096)) > 0)
            for (int i = 0; i < n; i++) {
                if (*frames > 0)
                    base += (uint32_t)(buf[i].ts - last);
                last = buf[i].ts;
                dg_frame f{};
                f.t_us = base;
                f.id = buf[i].id;
                f.flags = buf[i].flags;
                f.len = buf[i].len;
                memcpy(f.data, buf[i].data, 8);
                dg_feed(d, &f);
                ++*frames;
            }
    }
    dg_free(d);
    ZkClose(0);
    return t;
}

TEST(SimulatedDiagnosticTraffic, SaturatedStreamsDecodeWithoutFault)
{
    uint64_t frames = 0;
    tally t = run("isotp-full", 2.0, &frames);
    EXPECT_GT(frames, 2 * 7000u);          /* about 8,000 frames a second at 1 Mbit/s */
    EXPECT_EQ(t.errors, 0);
    EXPECT_GT(t.requests, 20);
    EXPECT_GE(t.answered, t.requests - 1);
    t = run("j1939-full", 2.0, &frames);
    EXPECT_GT(frames, 2 * 7000u);
    EXPECT_EQ(t.errors, 0);
    EXPECT_GT(t.j1939, 20);
}

TEST(SimulatedDiagnosticTraffic, EcuBroadcastsJ1939)
{
    uint64_t frames = 0;
    tally t = run("ecu", 1.5, &frames);
    EXPECT_EQ(t.errors, 0);
    bool dm1 = false;
    for (uint32_t pgn : t.pgns)
        dm1 |= pgn == J19_PGN_DM1;
    EXPECT_TRUE(dm1);
}

}  // namespace
