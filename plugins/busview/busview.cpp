/*
 * busview.cpp - the bus viewer plug-in: its handlers for the plug-in kit,
 * the counting of traffic and its session keys.
 */
#include "busview.h"

#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <unistd.h>

#include "userfile.h"

bv_state bv;

namespace {

const char *const KEY_VIEW = "View";
const char *const KEY_TIME = "Time";
const char *const KEY_FILTER = "Filter";
const char *const KEY_HISTORY = "History";
const char *const KEY_FORMATS = "Frames";
const char *const KEY_CHANNEL = "Channel";
const char *const FORMATS[] = {"all", "fd", "classic", nullptr};
const char *const VIEWS[] = {"trace", "identifiers", nullptr};
const char *const TIMES[] = {"relative", "absolute", nullptr};

/* Per-identifier table size: room for every standard identifier in both
 * directions and as many extended ones again. */
constexpr uint32_t ID_TABLE_SLOTS = 16384;

void add_frame(uint8_t kind, uint8_t chan, const nb_stream_frame *f, int64_t t_us)
{
    uint8_t flags = f->flags & BV_FRAME_FLAGS;
    if (!(flags & ZK_FRAME_FDF))
        flags &= ZK_FRAME_EFF | ZK_FRAME_RTR;
    uint8_t max = (flags & ZK_FRAME_FDF) ? 64 : 8;
    uint8_t len = f->len > max ? max : f->len;
    uint32_t id = f->id & ((flags & ZK_FRAME_EFF) ? 0x1FFFFFFFu : 0x7FFu);
    bv_bits bits;
    int64_t dt = bv_ids_count(&bv.ids, chan, id, flags, kind, t_us, len, f->data, &bits);
    /* The bus load is the main channel's, at its rates; a lost frame was
     * counted as its Tx line. */
    const bool main_channel = f->channel == 0;
    if (kind == BV_TX_LOST) {
        bv.lost++;
    } else if (main_channel) {
        bv.bits += bits.nominal;
        bv.data_bits += bits.data;
    }
    bv.last_frame_us = t_us;
    if (kind == BV_RX) {
        if (main_channel && bv.rx_main == 0) {
            bv.rx_first_us = t_us;
        } else if (main_channel) {
            /* the bits after the first frame's end */
            bv.rx_bits += bits.nominal;
            bv.rx_data_bits += bits.data;
        }
        if (main_channel) {
            bv.rx_last_us = t_us;
            bv.rx_main++;
        }
        bv.rx++;
    } else if (kind == BV_TX) {
        bv.tx++;
    }
    if (bv.paused) {
        bv.dropped_while_paused++;
        return;
    }
    bv_rec r;
    memset(&r, 0, sizeof r);
    r.t_us = t_us;
    r.dt_us = dt;
    r.id = id;
    r.kind = kind;
    r.chan = chan;
    r.flags = flags;
    r.len = len;
    memcpy(r.u.data, f->data, (flags & ZK_FRAME_RTR) ? 0 : len);
    /* The Tx line it names is marked too, drawn so at once. */
    if (kind == BV_TX_LOST && bv_trace_mark_lost(bv.trace, &r) && bv.w_trace)
        gtk_widget_queue_draw(bv.w_trace);
    bv_trace_append(bv.trace, &r);
}

void add_line(const bv_rec &r)
{
    if (!bv.paused)
        bv_trace_append(bv.trace, &r);
}

void reset_state(void)
{
    memset(&bv, 0, sizeof bv);
    bv.history = BV_HISTORY_DEFAULT;
    bv.autoscroll = 1;
}

/* --------------------------------------------------------- session keys */

void save_session(void *file)
{
    if (!bv.trace)
        return;
    nbkit_save_choice(file, KEY_VIEW, VIEWS, bv.view);
    nbkit_save_choice(file, KEY_TIME, TIMES, bv.absolute);
    nbkit_save_text(file, KEY_FILTER, bv.filter_text);
    nbkit_save_int(file, KEY_HISTORY, bv.history);
    nbkit_save_choice(file, KEY_FORMATS, FORMATS, bv.filter.formats);
    nbkit_save_text(file, KEY_CHANNEL, bv.filter.chan_on ? bv.filter.chan_name : "all");
}

void load_begin(void)
{
    bv.load_view = bv.view;
    bv.load_absolute = bv.absolute;
    bv.load_formats = bv.filter.formats;
    bv.load_history = bv.history;
    bv.load_has_filter = 0;
    bv.load_filter[0] = '\0';
    g_strlcpy(bv.load_channel, bv.filter.chan_on ? bv.filter.chan_name : "", sizeof bv.load_channel);
}

void load_key(const pgrp_session_key *key)
{
    int32_t n = 0;
    nbkit_key_choice(key, KEY_VIEW, VIEWS, &bv.load_view);
    nbkit_key_choice(key, KEY_TIME, TIMES, &bv.load_absolute);
    nbkit_key_choice(key, KEY_FORMATS, FORMATS, &bv.load_formats);
    if (nbkit_key_text(key, KEY_FILTER, bv.load_filter, sizeof bv.load_filter))
        bv.load_has_filter = 1;
    if (nbkit_key_text(key, KEY_CHANNEL, bv.load_channel, sizeof bv.load_channel) &&
        g_ascii_strcasecmp(bv.load_channel, "all") == 0)
        bv.load_channel[0] = '\0';
    if (nbkit_key_int(key, KEY_HISTORY, &n) && n > 0)
        bv.load_history = CLAMP((uint32_t)n, BV_HISTORY_MIN, BV_HISTORY_MAX);
}

void load_end(void)
{
    if (!bv.trace)
        return;
    bv_apply_history(bv.load_history);
    bv_apply_time_mode(bv.load_absolute);
    if (bv.load_formats != bv.filter.formats)
        bv_apply_formats(bv.load_formats);
    if (bv.load_has_filter)
        bv_apply_filter_text(bv.load_filter);
    bv_apply_channel(bv.load_channel);
    bv_apply_view(bv.load_view);
    bv_sync_widgets();
}

/* ------------------------------------------------------------- requests */

GtkWidget *on_init(const nb_chan_status *status, uint64_t ts)
{
    if (bv.trace)
        bv_page_release();
    reset_state();
    bv.trace = bv_trace_new(bv.history);
    if (!bv.trace) {
        bv.history = BV_HISTORY_MIN;
        bv.trace = bv_trace_new(bv.history);
    }
    if (!bv.trace || bv_ids_init(&bv.ids, ID_TABLE_SLOTS) != 0) {
        if (bv.trace)
            g_object_unref(bv.trace);
        bv.trace = nullptr;
        return gtk_label_new(_("Bus view: not enough memory for the trace."));
    }
    GtkWidget *page = bv_page_build();
    if (status)
        bv_add_status(status, ts);
    return page;
}

/* With BUSVIEW_STATS naming a file, the counters and timings of this
 * load are appended to it at release, for measuring the program as a
 * whole. rx_load is the time the received frames' bits take at the
 * channel's rates over their own receive times: on a saturated bus it is
 * 1.0 when no frame was lost. */
void write_stats(void)
{
    const char *path = getenv("BUSVIEW_STATS");
    if (!path || !*path)
        return;
    int err = 0;
    FILE *f = uf_fopen_write(path, UF_APPEND, &err);
    if (!f)
        return;
    int64_t span = bv.rx_last_us - bv.rx_first_us;
    double busy = bv_bus_seconds(bv.rx_bits, bv.rx_data_bits, nbkit_status());
    double load = span > 0 ? busy / ((double)span / 1e6) : 0.0;
    fprintf(f,
            "received=%llu sent=%llu lines=%u rx_span_us=%lld rx_load=%.4f "
            "max_request_us=%lld max_refresh_us=%lld max_refresh_gap_us=%lld\n",
            (unsigned long long)bv.rx, (unsigned long long)bv.tx, bv_trace_listed(bv.trace),
            (long long)span, load, (long long)bv.max_request_us, (long long)bv.max_refresh_us,
            (long long)bv.max_refresh_gap_us);
    fclose(f);
}

void on_release(void)
{
    if (!bv.trace)
        return;
    write_stats();
    bv_page_release();
}

void took(int64_t since)
{
    int64_t dt = g_get_monotonic_time() - since;
    if (dt > bv.max_request_us)
        bv.max_request_us = dt;
}

void on_stream(const nb_stream_frame *frames, int n, uint64_t ts)
{
    int64_t t0 = g_get_monotonic_time();
    bv_add_stream(frames, n, ts);
    took(t0);
}

const nbkit_plugin plugin = {
    .text_domain = GETTEXT_PACKAGE, .init = on_init, .release = on_release,
    .errors = bv_add_errors, .status = bv_add_status,
    .session_save = save_session, .load_begin = load_begin, .load_key = load_key, .load_end = load_end,
    .stream = on_stream, .channels = bv_channels_changed,
};

}  // namespace

NBKIT_PLUGIN_STREAM(plugin, 0x0307, "Bus view", "The Nimbrel developers",
             "Trace of received and sent frames of every channel, error counters and status changes, "
             "a per-identifier view, a display filter and the bus load.")

void bv_add_stream(const nb_stream_frame *frames, int n, uint64_t)
{
    if (!bv.trace)
        return;
    nbkit_chans_t *chans = nbkit_chans();
    for (int i = 0; i < n; i++) {
        const nb_stream_frame *f = &frames[i];
        uint8_t kind = f->dir == NB_DIR_TX ? BV_TX : f->dir == NB_DIR_TX_LOST ? BV_TX_LOST : BV_RX;
        add_frame(kind, (uint8_t)nbkit_chans_slot(chans, f->channel), f, (int64_t)f->time_us);
    }
}

void bv_add_errors(const zk_errs *errs, uint64_t req_ts)
{
    if (!bv.trace)
        return;
    bv_rec r;
    memset(&r, 0, sizeof r);
    r.t_us = nbkit_time_us(req_ts);
    r.dt_us = -1;
    r.kind = BV_ERR;
    r.chan = (uint8_t)nbkit_chans_slot(nbkit_chans(), nbkit_channel());
    r.u.errs[0] = errs->ewl;
    r.u.errs[1] = errs->boff;
    r.u.errs[2] = errs->hovr;
    r.u.errs[3] = errs->sovr;
    r.u.errs[4] = errs->wtout;
    add_line(r);
}

void bv_add_status(const nb_chan_status *st, uint64_t req_ts)
{
    if (!bv.trace)
        return;
    bv_rec r;
    memset(&r, 0, sizeof r);
    r.t_us = nbkit_time_us(req_ts);
    r.dt_us = -1;
    r.kind = BV_STATUS;
    r.chan = (uint8_t)nbkit_chans_slot(nbkit_chans(), nbkit_channel());
    r.u.st.running = st->running;
    r.u.st.lom = st->lom;
    r.u.st.baud_index = st->baud_index;
    r.u.st.acc_code = st->acc_code;
    r.u.st.acc_mask = st->acc_mask;
    r.u.st.wtout = st->wtout;
    r.u.st.fd = st->fd;
    r.u.st.data_kbit = st->data_kbit;
    add_line(r);
}
