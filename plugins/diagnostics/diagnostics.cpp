/*
 * diagnostics.cpp - the diagnostics plug-in: its handlers for the
 * plug-in kit, received and sent frames into the decoder, the decoder's
 * events into rows, and the session keys.
 */
#include "diagnostics.h"

#include <stdlib.h>
#include <string.h>

dgp_state dgp;

namespace {

const char *const KEY_PAIRS = "Pairs";
const char *const KEY_FILTER = "Filter";
const char *const KEY_SHOW = "Show";
const char *const KEY_PRESETS = "Presets";
const char *const KEY_FIND = "FindPairs";
const char *const KEY_J1939 = "J1939";
const char *const KEY_SINGLES = "J1939Singles";
const char *const KEY_DATABASE = "J1939Database";

constexpr uint32_t RX_MAX = 512;   /* received frames in one request */

/* A tick's sent frames until its received frames come: the host hands
 * them on first, though a frame received in the tick may be older. */
nbkit_order sent_held;

/* The adapter's 32-bit microsecond clock, unwrapped and placed on the
 * wall clock at the first batch (placed anew when the two drift apart by
 * more than two seconds: a reset clock or a long silence). */
int64_t bus_time(uint32_t ts)
{
    dgp.ext_us += (int32_t)(ts - dgp.last_ts);
    dgp.last_ts = ts;
    return dgp.anchor_us + dgp.ext_us;
}

void place_clock(uint32_t last_ts, int64_t req_us)
{
    if (!dgp.have_clock) {
        dgp.have_clock = 1;
        dgp.last_ts = last_ts;
        dgp.ext_us = 0;
        dgp.anchor_us = req_us;
        return;
    }
    const int64_t end = dgp.ext_us + (int32_t)(last_ts - dgp.last_ts);
    if (llabs(dgp.anchor_us + end - req_us) > 2000000)
        dgp.anchor_us = req_us - end;
}

static_assert(DG_EXT == ZK_FRAME_EFF && DG_RTR == ZK_FRAME_RTR && DG_FDF == ZK_FRAME_FDF,
              "the decoder's frame flags are the adapter library's");

/* A classic or CAN FD frame for the decoder. */
void to_dg(const zk_fdframe *z, int64_t t, uint8_t tx, dg_frame *f)
{
    const uint8_t max = (z->flags & ZK_FRAME_FDF) ? DG_FRAME_DATA : 8;
    f->t_us = (uint64_t)t;
    f->id = z->id & ((z->flags & ZK_FRAME_EFF) ? 0x1FFFFFFFu : 0x7FFu);
    f->flags = (uint8_t)((z->flags & (ZK_FRAME_EFF | ZK_FRAME_RTR | ZK_FRAME_FDF)) | (tx ? DG_TX : 0));
    f->len = z->len > max ? max : z->len;
    memset(f->reserved, 0, sizeof f->reserved);
    memcpy(f->data, z->data, DG_FRAME_DATA);
}

/* The merged batch for the decoder. */
struct merged {
    dg_frame frames[RX_MAX + NBKIT_ORDER_HELD];
    uint32_t n;
};

void take_merged(void *ctx, const zk_fdframe *f, const nb_tx_fd_entry *sent)
{
    merged *m = static_cast<merged *>(ctx);
    to_dg(f, bus_time(f->ts), sent ? 1 : 0, &m->frames[m->n++]);
}

/* The held sent frames and n received ones into the decoder, in time
 * order. */
void take_frames(const zk_fdframe *frames, uint32_t n, uint64_t req_ts)
{
    uint32_t first = 0, last = 0;
    if (n > RX_MAX)
        n = RX_MAX;
    if (!nbkit_order_span(&sent_held, frames, (int)n, &first, &last))
        return;
    place_clock(last, nbkit_time_us(req_ts));
    static merged batch;
    batch.n = 0;
    nbkit_order_merge(&sent_held, frames, (int)n, take_merged, &batch);
    dgp.seen_bus_us = (int64_t)batch.frames[batch.n - 1].t_us;
    dgp.seen_wall_us = g_get_real_time();
    dgp_frames_in(batch.frames, batch.n);
}

/* Sent frames that no received frames followed go in on their own. */
void flush_held(void)
{
    if (sent_held.nheld > 0)
        take_frames(nullptr, 0, sent_held.held_ts);
}

void take_rx(const zk_fdframe *frames, uint32_t n, uint64_t req_ts)
{
    if (n)
        take_frames(frames, n, req_ts);
}

void take_tx(const nb_tx_fd_entry *entries, uint32_t n, uint64_t req_ts)
{
    flush_held();
    nbkit_order_hold(&sent_held, entries, (int)n, req_ts);
}

uint64_t on_event(void *, const dg_event *ev)
{
    uint64_t handle = 0;
    if (!dgp.paused || dgp_tester_owns(ev))
        handle = dgp_store_event(&dgp.live, dg_isotp(dgp.dec), ev, dgp.j1939_singles);
    dgp_tester_event(ev, handle);
    return handle;
}

/* ---------------------------------------------------------- session keys */

void save_session(void *file)
{
    nbkit_save_text(file, KEY_PAIRS, dgp.pairs_text);
    nbkit_save_text(file, KEY_FILTER, dgp.filter_text);
    nbkit_save_int(file, KEY_SHOW, dgp.show);
    nbkit_save_bool(file, KEY_PRESETS, dgp.presets);
    nbkit_save_bool(file, KEY_FIND, dgp.find_pairs);
    nbkit_save_bool(file, KEY_J1939, dgp.j1939);
    nbkit_save_bool(file, KEY_SINGLES, dgp.j1939_singles);
    nbkit_save_text(file, KEY_DATABASE, dgp.j1939_db);
    dgp_tester_save(file);
}

void load_begin(void) {}

void load_key(const pgrp_session_key *key)
{
    int32_t show;
    if (nbkit_key_text(key, KEY_PAIRS, dgp.pairs_text, sizeof dgp.pairs_text) ||
        nbkit_key_text(key, KEY_FILTER, dgp.filter_text, sizeof dgp.filter_text) ||
        nbkit_key_bool(key, KEY_PRESETS, &dgp.presets) || nbkit_key_bool(key, KEY_FIND, &dgp.find_pairs) ||
        nbkit_key_bool(key, KEY_J1939, &dgp.j1939) || nbkit_key_bool(key, KEY_SINGLES, &dgp.j1939_singles))
        return;
    if (nbkit_key_int(key, KEY_SHOW, &show)) {
        if (show >= DGF_ALL && show <= DGF_PROBLEMS)
            dgp.show = show;
    } else if (nbkit_key_is(key, KEY_DATABASE)) {
        char msg[1024];
        const char *path = nbkit_key_value(key);  // whole, however long
        if (strcmp(path, dgp.j1939_db) != 0 && dgp_j1939_load(path, msg, sizeof msg) != 0)
            dgp_page_message(msg, 1);
    } else {
        dgp_tester_load_key(key);
    }
}

void load_end(void)
{
    if (!dgp.page)
        return;
    dgp_apply_config();
    dgp_page_sync_widgets();
}

/* -------------------------------------------------------------- requests */

GtkWidget *on_init(const nb_chan_status *, uint64_t)
{
    memset(&dgp, 0, sizeof dgp);
    dgp.presets = dgp.find_pairs = dgp.j1939 = 1;
    dg_config_default(&dgp.cfg);
    sent_held.nheld = 0;
    if (dgp_store_init(&dgp.live, DGP_LIVE_ROWS, DGP_LIVE_BYTES) != 0 ||
        !(dgp.dec = dg_new(&dgp.cfg, on_event, nullptr))) {
        return gtk_label_new(_("Diagnostics: not enough memory."));
    }
    /* Live rows stand on the same time line as every other page. */
    dgp.live.host_origin = 1;
    dgp_apply_config();
    return dgp_page_build();
}

void on_release(void)
{
    if (!dgp.dec)
        return;
    dgp_page_release();
    dg_free(dgp.dec);
    dgp.dec = nullptr;
    dgp_store_free(&dgp.live);
}

void on_rx(const zk_fdframe *frames, int n, uint64_t ts)
{
    if (dgp.dec)
        take_rx(frames, (uint32_t)n, ts);
}

void on_tx(const nb_tx_fd_entry *sent, int n, uint64_t ts)
{
    if (dgp.dec)
        take_tx(sent, (uint32_t)n, ts);
}

void on_status(const nb_chan_status *, uint64_t)
{
    if (dgp.dec)
        dgp_tester_status();
}

void on_save(void *file)
{
    if (dgp.dec)
        save_session(file);
}

const nbkit_plugin plugin = {
    .text_domain = GETTEXT_PACKAGE, .init = on_init, .release = on_release,
    .status = on_status, .session_save = on_save, .load_begin = load_begin, .load_key = load_key,
    .load_end = load_end, .rx_fd_frames = on_rx, .tx_fd_frames = on_tx,
};

}  // namespace

/* FD-aware: every frame, classic and CAN FD, for ISO-TP over CAN FD. */
NBKIT_PLUGIN_FD(plugin, 0x0301, "Diagnostics", "The Nimbrel developers",
             "Diagnostic conversations (ISO-TP with UDS and OBD-II) and J1939 messages decoded "
                "from the bus or a log file, and a tester that sends a request at your command.")

/* The bus clock now: the last frame's time and the wall-clock time since
 * it came, so that timeouts never run ahead of the frames still queued. */
int64_t dgp_now_us(void)
{
    const int64_t wall = g_get_real_time();
    return dgp.have_clock ? dgp.seen_bus_us + (wall - dgp.seen_wall_us) : wall;
}

void dgp_frames_in(const dg_frame *f, uint32_t n)
{
    for (uint32_t i = 0; i < n; i++) {
        dgp_tester_frame(&f[i]);
        dg_feed(dgp.dec, &f[i]);
    }
}

void dgp_tick(void)
{
    if (!dgp.dec)
        return;
    flush_held();
    dg_tick(dgp.dec, (uint64_t)dgp_now_us());
}

/* The configuration from the settings: presets, finding pairs, J1939 and
 * the user's pairs. Pairs found so far are found again. */
void dgp_apply_config(void)
{
    dgp.cfg.tp.preset_11bit = dgp.cfg.tp.preset_29bit = (uint8_t)dgp.presets;
    dgp.cfg.tp.find_pairs = (uint8_t)dgp.find_pairs;
    dgp.cfg.j1939_on = (uint8_t)dgp.j1939;
    dg_reset(dgp.dec, &dgp.cfg);
    itp_pair pairs[32];
    char bad[64];
    const int n = dgp_parse_pairs(dgp.pairs_text, pairs, 32, bad, sizeof bad);
    for (int i = 0; i < n; i++)
        itp_add_pair(dg_isotp(dgp.dec), &pairs[i]);
    dgp_tester_pairs_changed();
}

namespace {

/* "7E0", "18DA10F1", with ":AE" (extended) or "@AE" (mixed). */
bool parse_addr(const char *s, const char *end, itp_addr *a)
{
    memset(a, 0, sizeof *a);
    const char *p = s;
    while (p < end && g_ascii_isspace(*p))
        p++;
    const char *digits = p;
    uint32_t v = 0;
    while (p < end && g_ascii_isxdigit(*p))
        v = v * 16 + (uint32_t)g_ascii_xdigit_value(*p++);
    const size_t nd = (size_t)(p - digits);
    if (nd == 0 || nd > 8 || (nd <= 3 && v > 0x7FF) || v > 0x1FFFFFFF)
        return false;
    a->id = v;
    a->ext = nd > 3;
    if (p < end && (*p == ':' || *p == '@')) {
        a->mode = *p == ':' ? ITP_EXTENDED : ITP_MIXED;
        p++;
        const char *ae = p;
        uint32_t x = 0;
        while (p < end && g_ascii_isxdigit(*p))
            x = x * 16 + (uint32_t)g_ascii_xdigit_value(*p++);
        if (p == ae || p - ae > 2)
            return false;
        a->ae = (uint8_t)x;
    }
    while (p < end && g_ascii_isspace(*p))
        p++;
    return p == end;
}

}  // namespace

int dgp_parse_pairs(const char *text, itp_pair *out, int max, char *bad, size_t bad_size)
{
    int n = 0;
    const char *p = text;
    while (*p) {
        while (*p == ';' || *p == ',' || g_ascii_isspace(*p))
            p++;
        if (!*p)
            break;
        const char *end = p;
        while (*end && *end != ';' && *end != ',')
            end++;
        const char *slash = (const char *)memchr(p, '/', (size_t)(end - p));
        itp_pair pr;
        memset(&pr, 0, sizeof pr);
        pr.origin = ITP_USER;
        const bool ok = slash ? parse_addr(p, slash, &pr.req) && parse_addr(slash + 1, end, &pr.resp)
                              : parse_addr(p, end, &pr.req);
        if (!ok || n >= max) {
            g_snprintf(bad, bad_size, "%.*s", (int)(end - p), p);
            return -1;
        }
        if (!slash)
            pr.functional = 1;
        if (pr.resp.mode == ITP_NORMAL && pr.req.mode == ITP_MIXED) {
            pr.resp.mode = ITP_MIXED;   /* mixed addressing: one extension for both */
            pr.resp.ae = pr.req.ae;
        }
        out[n++] = pr;
        p = end;
    }
    return n;
}

void dgp_format_pair(const itp_pair *p, char *out, size_t size)
{
    char a[24], b[24] = "";
    auto fmt = [](const itp_addr &x, char *buf, size_t n) {
        if (x.mode == ITP_NORMAL)
            g_snprintf(buf, n, x.ext ? "%08X" : "%03X", x.id);
        else
            g_snprintf(buf, n, x.ext ? "%08X%c%02X" : "%03X%c%02X", x.id, x.mode == ITP_EXTENDED ? ':' : '@', x.ae);
    };
    fmt(p->req, a, sizeof a);
    if (!p->functional)
        fmt(p->resp, b, sizeof b);
    g_snprintf(out, size, "%s%s%s", a, p->functional ? "" : "/", b);
}
