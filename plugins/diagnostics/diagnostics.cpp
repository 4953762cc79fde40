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

static_assert(DG_EXT == ZK_FRAME_EFF && DG_RTR == ZK_FRAME_RTR && DG_FDF == ZK_FRAME_FDF,
              "the decoder's frame flags are the adapter library's");

/* A stream frame for the decoder. */
void to_dg(const nb_stream_frame *z, dg_frame *f)
{
    const uint8_t max = (z->flags & ZK_FRAME_FDF) ? DG_FRAME_DATA : 8;
    f->t_us = z->time_us;
    f->id = z->id & ((z->flags & ZK_FRAME_EFF) ? 0x1FFFFFFFu : 0x7FFu);
    f->flags = (uint8_t)((z->flags & (ZK_FRAME_EFF | ZK_FRAME_RTR | ZK_FRAME_FDF)) |
                         (z->dir == NB_DIR_TX ? DG_TX : 0));
    f->len = z->len > max ? max : z->len;
    memset(f->reserved, 0, sizeof f->reserved);
    memcpy(f->data, z->data, DG_FRAME_DATA);
}

/* Each channel has a decoder of its own: conversations are found per
 * channel, and rows say which. The main channel's is made at start. */
void free_decoders(int from)
{
    for (int c = from; c < DGP_CHANS; c++)
        if (dgp.decs[c]) {
            dg_free(dgp.decs[c]);
            dgp.decs[c] = nullptr;
        }
    if (from <= 0)
        dgp.dec = nullptr;
}

uint64_t on_event(void *ctx, const dg_event *ev);

/* Decoders for the channels the window has now; those of added channels
 * start afresh, as indexes move when one is removed. */
void make_decoders(void)
{
    free_decoders(1);
    int n = nb_chan_count();
    dgp.nchan = n < 1 ? 1 : n > DGP_CHANS ? DGP_CHANS : n;
    for (int c = 1; c < dgp.nchan; c++)
        dgp.decs[c] = dg_new(&dgp.cfg, on_event, GINT_TO_POINTER(c));
}

uint64_t on_event(void *ctx, const dg_event *ev)
{
    const int chan = GPOINTER_TO_INT(ctx);
    const bool tester = chan == dgp_tester_chan();
    uint64_t handle = 0;
    if (!dgp.paused || (tester && dgp_tester_owns(ev)))
        handle = dgp_store_event(&dgp.live, dg_isotp(dgp.decs[chan]), ev, dgp.j1939_singles, chan);
    if (tester)
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
    dgp_page_save_pane(file);
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
    } else if (!dgp_page_pane_key(key)) {
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
    if (dgp_store_init(&dgp.live, DGP_LIVE_ROWS, DGP_LIVE_BYTES) != 0 ||
        !(dgp.dec = dgp.decs[0] = dg_new(&dgp.cfg, on_event, GINT_TO_POINTER(0)))) {
        return gtk_label_new(_("Diagnostics: not enough memory."));
    }
    make_decoders();
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
    free_decoders(0);
    dgp_store_free(&dgp.live);
}

/* The host's stream: every channel's frames, received and sent, in time
 * order on the program's time line, each into its channel's decoder. */
void on_stream(const nb_stream_frame *frames, int n, uint64_t)
{
    if (!dgp.dec)
        return;
    const int tester = dgp_tester_chan();
    for (int i = 0; i < n; i++) {
        const int c = frames[i].channel;
        if (c >= dgp.nchan || !dgp.decs[c])
            continue;
        dg_frame f;
        to_dg(&frames[i], &f);
        if (c == tester)
            dgp_tester_frame(&f);
        dg_feed(dgp.decs[c], &f);
    }
    dgp.seen_bus_us = (int64_t)frames[n - 1].time_us;
    dgp.seen_wall_us = g_get_real_time();
    dgp.have_clock = 1;
}

/* Channels were added or removed: decoders for them, the tester's choice. */
void on_other(pgrp *req)
{
    if (!dgp.dec || pgrp_get_type(req) != PGRP_CHANNELS)
        return;
    make_decoders();
    dgp_apply_config();
    dgp_tester_channels_changed();
    dgp_page_fit_addresses();
    dgp_page_refresh();
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
    .load_end = load_end, .other = on_other, .stream = on_stream,
};

}  // namespace

/* On the host's stream: every frame of every channel, classic and CAN FD. */
NBKIT_PLUGIN_STREAM(plugin, 0x0304, "Diagnostics", "The Nimbrel developers",
             "Diagnostic conversations (ISO-TP with UDS and OBD-II) and J1939 messages decoded "
                "from the bus or a log file, and a tester that sends a request at your command.")

/* The bus clock now: the last frame's time and the wall-clock time since
 * it came, so that timeouts never run ahead of the frames still queued. */
int64_t dgp_now_us(void)
{
    const int64_t wall = g_get_real_time();
    return dgp.have_clock ? dgp.seen_bus_us + (wall - dgp.seen_wall_us) : wall;
}

void dgp_tick(void)
{
    if (!dgp.dec)
        return;
    for (int c = 0; c < dgp.nchan; c++)
        if (dgp.decs[c])
            dg_tick(dgp.decs[c], (uint64_t)dgp_now_us());
}

/* The configuration from the settings: presets, finding pairs, J1939 and
 * the user's pairs. Pairs found so far are found again. */
void dgp_apply_config(void)
{
    dgp.cfg.tp.preset_11bit = dgp.cfg.tp.preset_29bit = (uint8_t)dgp.presets;
    dgp.cfg.tp.find_pairs = (uint8_t)dgp.find_pairs;
    dgp.cfg.j1939_on = (uint8_t)dgp.j1939;
    itp_pair pairs[32];
    char bad[64];
    const int n = dgp_parse_pairs(dgp.pairs_text, pairs, 32, bad, sizeof bad);
    for (int c = 0; c < dgp.nchan; c++) {
        if (!dgp.decs[c])
            continue;
        dg_reset(dgp.decs[c], &dgp.cfg);
        for (int i = 0; i < n; i++)
            itp_add_pair(dg_isotp(dgp.decs[c]), &pairs[i]);
    }
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
