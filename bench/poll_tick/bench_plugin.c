/*
 * bench_plugin.c - the plug-in the poll tick benchmark loads: it looks at
 * every frame it is given (sums identifiers and data) the way a light
 * display or logging plug-in would. BENCH_LEGACY builds the older entry-
 * point set instead of the request handler, BENCH_STREAM a handler that
 * takes the host's stream (interface 0x0304).
 */
#include "nimbrel/nimbrel.h"

#ifdef BENCH_STREAM
NBPG_EXPORT const uint16_t __nbpg_version = 0x0304;
NBPG_EXPORT const uint32_t __nbpg_features = NBPG_FEATURE_STREAM;
#else
NBPG_EXPORT const uint16_t __nbpg_version = 0x0300;
#endif
NBPG_EXPORT const char __nbpg_name[] = "Benchmark sink";
NBPG_EXPORT const char __nbpg_author[] = "Nimbrel benchmarks";
NBPG_EXPORT const char __nbpg_description[] = "Reads every frame it receives";

static volatile uint64_t g_sum;
NBPG_EXPORT uint64_t bench_frames;

static void consume(const zk_frame *f, int n, size_t stride)
{
    uint64_t s = 0;
    const unsigned char *p = (const unsigned char *)f;
    for (int i = 0; i < n; i++) {
        const zk_frame *x = (const zk_frame *)(p + (size_t)i * stride);
        s += x->id + x->len + x->data[0] + x->data[7];
    }
    g_sum += s;
    bench_frames += (uint64_t)n;
}

#ifndef BENCH_LEGACY
NBPG_EXPORT int nbpg_handler(pgrp *req)
{
    switch (pgrp_get_type(req)) {
    case PGRP_RX_FRAMES:
        consume((const zk_frame *)pgrp_get_data_ptr(req),
                (int)(pgrp_get_data_size(req) / sizeof(zk_frame)), sizeof(zk_frame));
        break;
    case PGRP_TX_FRAMES:
        consume((const zk_frame *)pgrp_get_data_ptr(req),
                (int)(pgrp_get_data_size(req) / sizeof(nb_tx_entry)), sizeof(nb_tx_entry));
        break;
#ifdef BENCH_STREAM
    case PGRP_STREAM: {
        const nb_stream_frame *r = (const nb_stream_frame *)pgrp_get_data_ptr(req);
        int n = (int)(pgrp_get_data_size(req) / sizeof(nb_stream_frame));
        uint64_t s = 0;
        for (int i = 0; i < n; i++)
            s += r[i].id + r[i].len + r[i].data[0] + r[i].data[7] + r[i].time_us;
        g_sum += s;
        bench_frames += (uint64_t)n;
        break;
    }
#endif
    default:
        break;
    }
    return 0;
}
#else
NBPG_EXPORT GtkWidget *nbpg_init(nb_chan_status *status)
{
    (void)status;
    return NULL;
}
NBPG_EXPORT void nbpg_release(void) {}
static void on_errors(zk_errs *e) { (void)e; }
static void on_rx(zk_frame *f, int n) { consume(f, n, sizeof(zk_frame)); }
static void on_tx(zk_frame *f, int n) { consume(f, n, sizeof(zk_frame)); }
static void on_status(nb_chan_status *s) { (void)s; }
NBPG_EXPORT nbp_ops_table nbp_ops = {on_errors, on_rx, on_tx, on_status};
#endif
