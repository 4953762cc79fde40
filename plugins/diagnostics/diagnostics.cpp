/*
 * diagnostics.cpp - the diagnostics plug-in: its exports, the request
 * handler, received and sent frames into the decoder, the decoder's
 * events into rows, and the session keys.
 */
#include "diagnostics.h"

#include <stdlib.h>
#include <string.h>

#include <algorithm>

dgp_state dgp;

extern "C" {
NBPG_EXPORT extern const uint16_t __nbpg_version;
NBPG_EXPORT extern const char __nbpg_name[];
NBPG_EXPORT extern const char __nbpg_author[];
NBPG_EXPORT extern const char __nbpg_description[];
NBPG_EXPORT int nbpg_handler(pgrp *req);

const uint16_t __nbpg_version = 0x0300;
const char __nbpg_name[] = "Diagnostics";
const char __nbpg_author[] = "The Nimbrel developers";
const char __nbpg_description[] =
    "Diagnostic conversations (ISO-TP with UDS and OBD-II) and J1939 messages decoded "
    "from the bus or a log file, and a tester that sends a request at your command.";
}

namespace {

const char *const KEY_PAIRS = "Pairs";
const char *const KEY_FILTER = "Filter";
const char *const KEY_SHOW = "Show";
const char *const KEY_PRESETS = "Presets";
const char *const KEY_FIND = "FindPairs";
const char *const KEY_J1939 = "J1939";
const char *const KEY_SINGLES = "J1939Singles";
const char *const KEY_DATABASE = "J1939Database";

constexpr uint32_t HELD_MAX = 512;

int64_t ts_to_us(uint64_t ts)
{
    return ts < NB_TIMESTAMP_UNIX_EPOCH ? 0 : (int64_t)((ts - NB_TIMESTAMP_UNIX_EPOCH) / 10u);
}

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

void to_dg(const zk_frame *z, int64_t t, uint8_t tx, dg_frame *f)
{
    f->t_us = (uint64_t)t;
    f->id = z->id & ((z->flags & ZK_FRAME_EFF) ? 0x1FFFFFFFu : 0x7FFu);
    f->flags = (uint8_t)((z->flags & (ZK_FRAME_EFF | ZK_FRAME_RTR)) | (tx ? DG_TX : 0));
    f->len = z->len > 8 ? 8 : z->len;
    memcpy(f->data, z->data, 8);
}

void flush_held(void)
{
    if (dgp.nheld)
        dgp_frames_in(dgp.held, dgp.nheld);
    dgp.nheld = 0;
}

void take_rx(const zk_frame *frames, uint32_t n, uint64_t req_ts)
{
    if (!n)
        return;
    place_clock(frames[n - 1].ts, ts_to_us(req_ts));
    static dg_frame batch[512 + HELD_MAX];
    uint32_t k = 0;
    for (uint32_t i = 0; i < n && i < 512; i++)
        to_dg(&frames[i], bus_time(frames[i].ts), 0, &batch[k++]);
    /* The frames this program sent are merged by time. */
    memcpy(batch + k, dgp.held, dgp.nheld * sizeof(dg_frame));
    k += dgp.nheld;
    if (dgp.nheld)
        std::stable_sort(batch, batch + k, [](const dg_frame &a, const dg_frame &b) { return a.t_us < b.t_us; });
    dgp.nheld = 0;
    dgp.seen_bus_us = (int64_t)batch[k - 1].t_us;
    dgp.seen_wall_us = g_get_real_time();
    dgp_frames_in(batch, k);
}

void take_tx(const nb_tx_entry *entries, uint32_t n, uint64_t req_ts)
{
    flush_held();
    if (!dgp.have_clock)
        place_clock(entries[n - 1].frame.ts, ts_to_us(req_ts));
    for (uint32_t i = 0; i < n && dgp.nheld < HELD_MAX; i++) {
        /* Sent frames share the received frames' clock but must not move it. */
        const int64_t t = dgp.anchor_us + dgp.ext_us + (int32_t)(entries[i].frame.ts - dgp.last_ts);
        to_dg(&entries[i].frame, t, 1, &dgp.held[dgp.nheld++]);
    }
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

bool parse_bool(const char *v, int *out)
{
    int32_t n;
    if (nbpg_keyval_get_int(v, &n) != 0 || (n != 0 && n != 1))
        return false;
    *out = n;
    return true;
}

void save_session(void *file)
{
    char num[16];
    nbpg_save_key(file, KEY_PAIRS, dgp.pairs_text);
    nbpg_save_key(file, KEY_FILTER, dgp.filter_text);
    g_snprintf(num, sizeof num, "%d", dgp.show);
    nbpg_save_key(file, KEY_SHOW, num);
    nbpg_save_key(file, KEY_PRESETS, dgp.presets ? "1" : "0");
    nbpg_save_key(file, KEY_FIND, dgp.find_pairs ? "1" : "0");
    nbpg_save_key(file, KEY_J1939, dgp.j1939 ? "1" : "0");
    nbpg_save_key(file, KEY_SINGLES, dgp.j1939_singles ? "1" : "0");
    nbpg_save_key(file, KEY_DATABASE, dgp.j1939_db);
    dgp_tester_save(file);
}

void load_key(const char *name, const char *value)
{
    int b;
    if (g_ascii_strcasecmp(name, KEY_PAIRS) == 0) {
        g_strlcpy(dgp.pairs_text, value, sizeof dgp.pairs_text);
    } else if (g_ascii_strcasecmp(name, KEY_FILTER) == 0) {
        g_strlcpy(dgp.filter_text, value, sizeof dgp.filter_text);
    } else if (g_ascii_strcasecmp(name, KEY_SHOW) == 0) {
        int32_t n;
        if (nbpg_keyval_get_int(value, &n) == 0 && n >= DGF_ALL && n <= DGF_PROBLEMS)
            dgp.show = n;
    } else if (g_ascii_strcasecmp(name, KEY_PRESETS) == 0 && parse_bool(value, &b)) {
        dgp.presets = b;
    } else if (g_ascii_strcasecmp(name, KEY_FIND) == 0 && parse_bool(value, &b)) {
        dgp.find_pairs = b;
    } else if (g_ascii_strcasecmp(name, KEY_J1939) == 0 && parse_bool(value, &b)) {
        dgp.j1939 = b;
    } else if (g_ascii_strcasecmp(name, KEY_SINGLES) == 0 && parse_bool(value, &b)) {
        dgp.j1939_singles = b;
    } else if (g_ascii_strcasecmp(name, KEY_DATABASE) == 0) {
        char msg[1024];
        if (strcmp(value, dgp.j1939_db) != 0 && dgp_j1939_load(value, msg, sizeof msg) != 0)
            dgp_page_message(msg, 1);
    } else {
        dgp_tester_load_key(name, value);
    }
}

void load_end(void)
{
    dgp.loading = 0;
    if (!dgp.page)
        return;
    dgp_apply_config();
    dgp_page_sync_widgets();
}

/* -------------------------------------------------------------- requests */

void on_init(pgrp *req)
{
    const char *locale_dir = nb_get_locale_dir();
    if (locale_dir && *locale_dir)
        bindtextdomain(GETTEXT_PACKAGE, locale_dir);
    bind_textdomain_codeset(GETTEXT_PACKAGE, "UTF-8");
    memset(&dgp, 0, sizeof dgp);
    dgp.chan = pgrp_get_chan(req);
    dgp.presets = dgp.find_pairs = dgp.j1939 = 1;
    const nb_chan_status *st = (const nb_chan_status *)pgrp_get_data_ptr(req);
    if (st && pgrp_get_data_size(req) >= sizeof(nb_chan_status))
        dgp.status = *st;
    dg_config_default(&dgp.cfg);
    dgp.held = g_try_new(dg_frame, HELD_MAX);
    if (dgp_store_init(&dgp.live, DGP_LIVE_ROWS, DGP_LIVE_BYTES) != 0 || !dgp.held ||
        !(dgp.dec = dg_new(&dgp.cfg, on_event, nullptr))) {
        g_free(dgp.held);
        dgp.held = nullptr;
        pgrp_set_result_ptr(req, gtk_label_new(_("Diagnostics: not enough memory.")));
        return;
    }
    dgp_apply_config();
    pgrp_set_result_ptr(req, dgp_page_build());
}

void on_release(void)
{
    if (!dgp.dec)
        return;
    dgp_page_release();
    dg_free(dgp.dec);
    dgp.dec = nullptr;
    dgp_store_free(&dgp.live);
    g_free(dgp.held);
    dgp.held = nullptr;
}

}  // namespace

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
    flush_held();
    if (dgp.dec)
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

int nbpg_handler(pgrp *req)
{
    if (!req)
        return 0;
    void *data = pgrp_get_data_ptr(req);
    const uint64_t size = pgrp_get_data_size(req);
    switch (pgrp_get_type(req)) {
    case PGRP_INIT:
        on_init(req);
        break;
    case PGRP_RELEASE:
        on_release();
        break;
    case PGRP_RX_FRAMES:
        if (data && dgp.dec)
            take_rx((const zk_frame *)data, (uint32_t)(size / sizeof(zk_frame)), pgrp_get_timestamp(req));
        break;
    case PGRP_TX_FRAMES:
        if (data && dgp.dec && size >= sizeof(nb_tx_entry))
            take_tx((const nb_tx_entry *)data, (uint32_t)(size / sizeof(nb_tx_entry)), pgrp_get_timestamp(req));
        break;
    case PGRP_STATUS:
        if (data && size >= sizeof(nb_chan_status) && dgp.dec) {
            dgp.status = *(const nb_chan_status *)data;
            dgp_tester_status();
        }
        break;
    case PGRP_SESSION_SAVE:
        if (dgp.dec)
            save_session(data);
        break;
    case PGRP_SESSION_LOAD_BEGIN:
        dgp.loading = 1;
        break;
    case PGRP_SESSION_LOAD_KEY:
        if (data && size >= sizeof(pgrp_session_key) && dgp.dec) {
            const pgrp_session_key *key = (const pgrp_session_key *)data;
            char name[sizeof key->name], value[sizeof key->value];
            g_strlcpy(name, key->name, sizeof name);
            g_strlcpy(value, key->value, sizeof value);
            load_key(name, value);
            if (!dgp.loading)
                load_end();
        }
        break;
    case PGRP_SESSION_LOAD_END:
        if (dgp.loading && dgp.dec)
            load_end();
        dgp.loading = 0;
        break;
    default:
        break;
    }
    return 0;
}
