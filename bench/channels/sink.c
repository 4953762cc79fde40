/*
 * sink.c - the stream plug-in of the channels benchmark: counts every
 * frame of the stream per channel index and the times that went back.
 */
#include "nimbrel/nimbrel.h"

NBPG_EXPORT const uint16_t __nbpg_version = 0x0304;
NBPG_EXPORT const uint32_t __nbpg_features = NBPG_FEATURE_STREAM;
NBPG_EXPORT const char __nbpg_name[] = "Channels benchmark sink";
NBPG_EXPORT const char __nbpg_author[] = "Nimbrel benchmarks";
NBPG_EXPORT const char __nbpg_description[] = "Counts the stream's frames per channel";

NBPG_EXPORT uint64_t bench_frames[16];
NBPG_EXPORT uint64_t bench_back;      /* records older than the one before */
static uint64_t g_last;
static volatile uint64_t g_sum;

NBPG_EXPORT int nbpg_handler(pgrp *req)
{
    if (pgrp_get_type(req) != PGRP_STREAM)
        return 0;
    const nb_stream_frame *r = (const nb_stream_frame *)pgrp_get_data_ptr(req);
    int n = (int)(pgrp_get_data_size(req) / sizeof(nb_stream_frame));
    uint64_t s = 0;
    for (int i = 0; i < n; i++) {
        if (r[i].time_us < g_last)
            bench_back++;
        g_last = r[i].time_us;
        bench_frames[r[i].channel & 15]++;
        s += r[i].id + r[i].len + r[i].data[0] + r[i].data[7];
    }
    g_sum += s;
    return 0;
}
