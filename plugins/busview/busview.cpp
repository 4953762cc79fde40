/*
 * busview.cpp - the bus viewer plug-in: its exports, the request handler,
 * the counting of traffic and its session keys.
 */
#include "busview.h"

#include <stdio.h>
#include <stdlib.h>
#include <string.h>

bv_state bv;

extern "C" {
NBPG_EXPORT extern const uint16_t __nbpg_version;
NBPG_EXPORT extern const char __nbpg_name[];
NBPG_EXPORT extern const char __nbpg_author[];
NBPG_EXPORT extern const char __nbpg_description[];
NBPG_EXPORT int nbpg_handler(pgrp *req);

const uint16_t __nbpg_version = 0x0300;
const char __nbpg_name[] = "Bus view";
const char __nbpg_author[] = "The Nimbrel developers";
const char __nbpg_description[] =
    "Trace of received and sent frames, error counters and status changes, "
    "a per-identifier view, a display filter and the bus load.";
}

namespace {

const char *const KEY_VIEW = "View";
const char *const KEY_TIME = "Time";
const char *const KEY_FILTER = "Filter";
const char *const KEY_HISTORY = "History";

/* Per-identifier table size: room for every standard identifier in both
 * directions and as many extended ones again. */
constexpr uint32_t ID_TABLE_SLOTS = 16384;

void add_frame(uint8_t kind, const zk_frame *f, int64_t t_us)
{
    uint8_t len = f->len > 8 ? 8 : f->len;
    uint8_t flags = f->flags & (ZK_FRAME_EFF | ZK_FRAME_RTR);
    uint32_t id = f->id & ((flags & ZK_FRAME_EFF) ? 0x1FFFFFFFu : 0x7FFu);
    uint32_t bits = bv_frame_bits(id, flags, len, f->data);
    bv.bits += bits;
    bv.last_frame_us = t_us;
    if (kind == BV_RX) {
        if (bv.rx == 0)
            bv.rx_first_us = t_us;
        else
            bv.rx_bits += bits;   /* the bits after the first frame's end */
        bv.rx_last_us = t_us;
        bv.rx++;
    } else {
        bv.tx++;
    }
    int64_t dt = bv_ids_count(&bv.ids, id, flags, kind, t_us, len, f->data);
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
    r.flags = flags;
    r.len = len;
    memcpy(r.u.data, f->data, sizeof r.u.data);
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
    bv.baud_index = -1;
}

/* --------------------------------------------------------- session keys */

void save_session(void *file)
{
    char num[32];
    nbpg_save_key(file, KEY_VIEW, bv.view ? "identifiers" : "trace");
    nbpg_save_key(file, KEY_TIME, bv.absolute ? "absolute" : "relative");
    nbpg_save_key(file, KEY_FILTER, bv.filter_text);
    g_snprintf(num, sizeof num, "%u", bv.history);
    nbpg_save_key(file, KEY_HISTORY, num);
}

void load_begin(void)
{
    bv.loading = 1;
    bv.load_view = bv.view;
    bv.load_absolute = bv.absolute;
    bv.load_history = bv.history;
    bv.load_has_filter = 0;
    bv.load_filter[0] = '\0';
}

void load_key(const char *name, const char *value)
{
    if (g_ascii_strcasecmp(name, KEY_VIEW) == 0) {
        if (g_ascii_strcasecmp(value, "trace") == 0)
            bv.load_view = 0;
        else if (g_ascii_strcasecmp(value, "identifiers") == 0)
            bv.load_view = 1;
    } else if (g_ascii_strcasecmp(name, KEY_TIME) == 0) {
        if (g_ascii_strcasecmp(value, "relative") == 0)
            bv.load_absolute = 0;
        else if (g_ascii_strcasecmp(value, "absolute") == 0)
            bv.load_absolute = 1;
    } else if (g_ascii_strcasecmp(name, KEY_FILTER) == 0) {
        g_strlcpy(bv.load_filter, value, sizeof bv.load_filter);
        bv.load_has_filter = 1;
    } else if (g_ascii_strcasecmp(name, KEY_HISTORY) == 0) {
        int32_t n = 0;
        if (nbpg_keyval_get_int(value, &n) == 0 && n > 0) {
            uint32_t h = (uint32_t)n;
            if (h < BV_HISTORY_MIN)
                h = BV_HISTORY_MIN;
            if (h > BV_HISTORY_MAX)
                h = BV_HISTORY_MAX;
            bv.load_history = h;
        }
    }
}

void load_end(void)
{
    bv.loading = 0;
    if (!bv.trace)
        return;
    bv_apply_history(bv.load_history);
    bv_apply_time_mode(bv.load_absolute);
    if (bv.load_has_filter)
        bv_apply_filter_text(bv.load_filter);
    bv_apply_view(bv.load_view);
    bv_sync_widgets();
}

/* ------------------------------------------------------------- requests */

void on_init(pgrp *req)
{
    if (bv.trace)
        bv_page_release();
    reset_state();
    const char *locale_dir = nb_get_locale_dir();
    if (locale_dir && *locale_dir)
        bindtextdomain(GETTEXT_PACKAGE, locale_dir);
    bind_textdomain_codeset(GETTEXT_PACKAGE, "UTF-8");
    bv.chan = pgrp_get_chan(req);

    bv.trace = bv_trace_new(bv.history);
    if (!bv.trace) {
        bv.history = BV_HISTORY_MIN;
        bv.trace = bv_trace_new(bv.history);
    }
    if (!bv.trace || bv_ids_init(&bv.ids, ID_TABLE_SLOTS) != 0) {
        if (bv.trace)
            g_object_unref(bv.trace);
        bv.trace = nullptr;
        GtkWidget *label = gtk_label_new(_("Bus view: not enough memory for the trace."));
        pgrp_set_result_ptr(req, label);
        return;
    }
    GtkWidget *page = bv_page_build();
    const nb_chan_status *st = (const nb_chan_status *)pgrp_get_data_ptr(req);
    if (st && pgrp_get_data_size(req) >= sizeof(nb_chan_status))
        bv_add_status(st, pgrp_get_timestamp(req));
    pgrp_set_result_ptr(req, page);
}

/* With BUSVIEW_STATS naming a file, the counters and timings of this
 * load are appended to it at release, for measuring the program as a
 * whole. rx_load is the received frames' bits over their own receive
 * times: on a saturated bus it is 1.0 when no frame was lost. */
void write_stats(void)
{
    const char *path = getenv("BUSVIEW_STATS");
    if (!path || !*path)
        return;
    FILE *f = fopen(path, "a");
    if (!f)
        return;
    int64_t span = bv.rx_last_us - bv.rx_first_us;
    uint32_t bps = bv_baud_bps(bv.baud_index);
    double load = span > 0 && bps ? (double)bv.rx_bits / ((double)span / 1e6) / bps : 0.0;
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

}  // namespace

int64_t bv_ts_to_us(uint64_t ts)
{
    if (ts < NB_TIMESTAMP_UNIX_EPOCH)
        return 0;
    return (int64_t)((ts - NB_TIMESTAMP_UNIX_EPOCH) / 10u);
}

/* Receive times come from the adapter's 32-bit microsecond clock, which is
 * exact between frames but wraps and has no date. It is unwrapped by
 * adding the signed difference to the previous frame and placed on the
 * wall clock so that a batch's last frame falls at the request's time;
 * when the two disagree by more than two seconds (the adapter's clock was
 * reset, or the bus was silent for longer than the clock's wrap), the
 * clock is placed anew. */
void bv_add_frames(const zk_frame *frames, int n, uint64_t req_ts)
{
    if (n <= 0 || !bv.trace)
        return;
    int64_t req_us = bv_ts_to_us(req_ts);
    if (!bv.have_anchor) {
        bv.have_anchor = 1;
        bv.last_ts = frames[0].ts;
        bv.ext_us = 0;
        bv.anchor_us = req_us - (int32_t)(frames[n - 1].ts - frames[0].ts);
    } else {
        int64_t ext_end = bv.ext_us + (int32_t)(frames[n - 1].ts - bv.last_ts);
        if (llabs(bv.anchor_us + ext_end - req_us) > 2000000)
            bv.anchor_us = req_us - ext_end;
    }
    for (int i = 0; i < n; i++) {
        bv.ext_us += (int32_t)(frames[i].ts - bv.last_ts);
        bv.last_ts = frames[i].ts;
        add_frame(BV_RX, &frames[i], bv.anchor_us + bv.ext_us);
    }
}

void bv_add_sent(const nb_tx_entry *entries, int n)
{
    if (!bv.trace)
        return;
    for (int i = 0; i < n; i++)
        add_frame(BV_TX, &entries[i].frame, bv_ts_to_us(entries[i].timestamp));
}

void bv_add_errors(const zk_errs *errs, uint64_t req_ts)
{
    if (!bv.trace)
        return;
    bv_rec r;
    memset(&r, 0, sizeof r);
    r.t_us = bv_ts_to_us(req_ts);
    r.dt_us = -1;
    r.kind = BV_ERR;
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
    bv.baud_index = st->baud_index;
    bv_rec r;
    memset(&r, 0, sizeof r);
    r.t_us = bv_ts_to_us(req_ts);
    r.dt_us = -1;
    r.kind = BV_STATUS;
    r.u.st.running = st->running;
    r.u.st.lom = st->lom;
    r.u.st.baud_index = st->baud_index;
    r.u.st.acc_code = st->acc_code;
    r.u.st.acc_mask = st->acc_mask;
    r.u.st.wtout = st->wtout;
    add_line(r);
}

int nbpg_handler(pgrp *req)
{
    if (!req)
        return 0;
    void *data = pgrp_get_data_ptr(req);
    uint64_t size = pgrp_get_data_size(req);
    switch (pgrp_get_type(req)) {
    case PGRP_INIT:
        on_init(req);
        break;
    case PGRP_RELEASE:
        on_release();
        break;
    case PGRP_RX_FRAMES:
        if (data) {
            int64_t t0 = g_get_monotonic_time();
            bv_add_frames((const zk_frame *)data, (int)(size / sizeof(zk_frame)),
                          pgrp_get_timestamp(req));
            took(t0);
        }
        break;
    case PGRP_TX_FRAMES:
        if (data) {
            int64_t t0 = g_get_monotonic_time();
            bv_add_sent((const nb_tx_entry *)data, (int)(size / sizeof(nb_tx_entry)));
            took(t0);
        }
        break;
    case PGRP_ERRORS:
        if (data && size >= sizeof(zk_errs))
            bv_add_errors((const zk_errs *)data, pgrp_get_timestamp(req));
        break;
    case PGRP_STATUS:
        if (data && size >= sizeof(nb_chan_status))
            bv_add_status((const nb_chan_status *)data, pgrp_get_timestamp(req));
        break;
    case PGRP_SESSION_SAVE:
        if (bv.trace)
            save_session(data);
        break;
    case PGRP_SESSION_LOAD_BEGIN:
        load_begin();
        break;
    case PGRP_SESSION_LOAD_KEY:
        if (data && size >= sizeof(pgrp_session_key)) {
            const pgrp_session_key *key = (const pgrp_session_key *)data;
            char name[sizeof key->name], value[sizeof key->value];
            g_strlcpy(name, key->name, sizeof name);
            g_strlcpy(value, key->value, sizeof value);
            if (bv.loading) {
                load_key(name, value);
            } else {
                load_begin();
                load_key(name, value);
                load_end();
            }
        }
        break;
    case PGRP_SESSION_LOAD_END:
        if (bv.loading)
            load_end();
        break;
    default:
        break;
    }
    return 0;
}
