/*
 * fd_sink.c - the FD-aware plug-in of the CAN FD program benchmark. It
 * takes every frame (PGRP_RX_FD_FRAMES), reads its bytes as a light
 * display or logging plug-in would, and follows the rolling counter that
 * the simulated bus's saturating node puts into its first two data bytes:
 * a step other than one means frames lost on the way. Every 250 ms, and
 * at its release, it writes "<frames> <lost>" to the file named by
 * FD_SINK_STATS.
 */
#include <stdio.h>
#include <stdlib.h>

#include "nimbrel/nimbrel.h"

NBPG_EXPORT const uint16_t __nbpg_version = NBPG_VERSION_CURRENT;
NBPG_EXPORT const uint32_t __nbpg_features = NBPG_FEATURE_FD;
NBPG_EXPORT const char __nbpg_name[] = "FD sink";
NBPG_EXPORT const char __nbpg_author[] = "Nimbrel benchmarks";
NBPG_EXPORT const char __nbpg_description[] = "Counts CAN FD frames and the ones missing";

#define SATURATING_ID 0x555u

static uint64_t g_frames, g_lost;
static int g_have_counter;
static uint16_t g_counter;
static volatile uint32_t g_sum;
static guint g_timer;

static void consume(const zk_fdframe *f, int n)
{
    uint32_t s = 0;
    for (int i = 0; i < n; i++) {
        for (int k = 0; k < f[i].len; k++)
            s += f[i].data[k];
        if (f[i].id != SATURATING_ID || f[i].len < 2)
            continue;
        uint16_t c = (uint16_t)(f[i].data[0] | f[i].data[1] << 8);
        if (g_have_counter)
            g_lost += (uint16_t)(c - g_counter - 1u);
        g_counter = c;
        g_have_counter = 1;
    }
    g_sum += s;
    g_frames += (uint64_t)n;
}

static gboolean write_stats(gpointer unused)
{
    (void)unused;
    const char *path = getenv("FD_SINK_STATS");
    if (!path)
        return TRUE;
    char tmp[1024];
    snprintf(tmp, sizeof tmp, "%s.tmp", path);
    FILE *f = fopen(tmp, "w");
    if (f) {
        fprintf(f, "%llu %llu\n", (unsigned long long)g_frames, (unsigned long long)g_lost);
        if (fclose(f) == 0)
            rename(tmp, path);
    }
    return TRUE;
}

NBPG_EXPORT int nbpg_handler(pgrp *req)
{
    switch (pgrp_get_type(req)) {
    case PGRP_INIT:
        g_timer = g_timeout_add(250, write_stats, NULL);
        pgrp_set_result_ptr(req, gtk_label_new(__nbpg_description));
        break;
    case PGRP_RX_FD_FRAMES:
        consume((const zk_fdframe *)pgrp_get_data_ptr(req),
                (int)(pgrp_get_data_size(req) / sizeof(zk_fdframe)));
        break;
    case PGRP_RELEASE:
        if (g_timer)
            g_source_remove(g_timer);
        g_timer = 0;
        write_stats(NULL);
        break;
    default:
        break;
    }
    return 0;
}
