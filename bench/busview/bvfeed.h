/*
 * bvfeed.h - what the bus viewer's benchmarks share: a saturated bus's
 * frames handed on as the host hands them to the plug-ins, the main
 * thread's processor time, and the probe of main-loop stalls.
 */
#ifndef BENCH_BVFEED_H
#define BENCH_BVFEED_H

#include <stdint.h>
#include <string.h>
#include <time.h>

#include "app/nb_app.h"

struct bv_feed {
    double fps = 20833;         /* the simulated bus: 0x555, length 0, 48 bits at 1 Mbit/s */
    int len = 0;                /* above 8: CAN FD with BRS */
    bool many_ids = false;      /* 2,048 identifiers in turn rather than 0x555 */
    int64_t origin_us = 0;      /* the host's clock at the first frame */
    uint64_t fed = 0;
    int64_t max_request_us = 0; /* the longest timed request */
    nb_stream_frame batch[NB_RX_BATCH];
};

/* n more frames as the host hands them on: PGRP_STREAM records of the
 * main channel on the host's clock, at most NB_RX_BATCH per request. */
static inline void bv_feed_frames(bv_feed *b, uint64_t n, bool timed)
{
    while (n > 0) {
        int k = n > NB_RX_BATCH ? NB_RX_BATCH : (int)n;
        for (int i = 0; i < k; i++) {
            uint64_t c = b->fed + (uint64_t)i;
            nb_stream_frame &f = b->batch[i];
            memset(&f, 0, sizeof f);
            f.id = b->many_ids ? (uint32_t)(c & 0x7FF) : 0x555;
            f.flags = b->len > 8 ? ZK_FRAME_FDF | ZK_FRAME_BRS : 0;
            f.len = (uint8_t)b->len;
            f.dir = NB_DIR_RX;
            f.adapter_ts = (uint32_t)((double)c * 1e6 / b->fps);
            f.time_us = (uint64_t)b->origin_us + f.adapter_ts;
            for (int j = 0; j < b->len; j++)
                f.data[j] = (uint8_t)(c >> (8 * (j & 3)));
        }
        int64_t t0 = g_get_monotonic_time();
        the_app.pgmgr.ops.pgmgr_stream(&the_app.pgmgr, b->batch, k);
        int64_t dt = g_get_monotonic_time() - t0;
        if (timed && dt > b->max_request_us)
            b->max_request_us = dt;
        b->fed += (uint64_t)k;
        n -= (uint64_t)k;
    }
}

static inline int64_t thread_cpu_us(void)
{
    timespec ts;
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &ts);
    return (int64_t)ts.tv_sec * 1000000 + ts.tv_nsec / 1000;
}

/* The longest gap between two probes, on the clock and in the main
 * thread's CPU time: on a busy machine the first also holds the time the
 * process waited for a core, the second only the work that held up the
 * main loop. */
struct bv_probe {
    int64_t last_us = 0, max_gap_us = 0;
    int64_t last_cpu_us = 0, max_gap_cpu_us = 0;
};

/* One probe (from a high-priority timeout); returns the clock. */
static inline int64_t bv_probe_tick(bv_probe *p)
{
    int64_t now = g_get_monotonic_time(), cpu = thread_cpu_us();
    if (p->last_us && now - p->last_us > p->max_gap_us)
        p->max_gap_us = now - p->last_us;
    if (p->last_us && cpu - p->last_cpu_us > p->max_gap_cpu_us)
        p->max_gap_cpu_us = cpu - p->last_cpu_us;
    p->last_us = now;
    p->last_cpu_us = cpu;
    return now;
}

/* Gaps counted afresh from the next probe. */
static inline void bv_probe_reset(bv_probe *p)
{
    p->max_gap_us = p->max_gap_cpu_us = 0;
    p->last_us = 0;
}

#endif /* BENCH_BVFEED_H */
