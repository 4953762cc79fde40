/*
 * signals.cpp - the signals plug-in: its handlers for the plug-in kit,
 * the decoding of received and sent frames, the receive clock and the
 * session keys.
 */
#include "signals.h"

#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <unistd.h>

#include <vector>

#include "userfile.h"

sg_state sg;

namespace {

const char *const KEY_DATABASE = "Database";   /* Database1, Database2 ... */
const char *const KEY_PLOT = "Plot";           /* Plot1 ... "std|ext <hex id> <signal> #rrggbb" */
const char *const KEY_HISTORY = "History";     /* History1 ...: what plot 1 ... keeps, when bounded */
const char *const KEY_MODE = "PlotMode";
const char *const KEY_FOLLOW = "Follow";
const char *const KEY_SPAN = "Span";
const char *const KEY_CAP = "PointCap";
const char *const KEY_DBC_FOLDER = "DbcFolder";
const char *const KEY_EXPORT_FOLDER = "ExportFolder";

const char *const MODES[] = {"overlay", "lanes", nullptr};
static_assert(SG_OVERLAY == 0 && SG_LANES == 1, "MODES follows the plot modes");

constexpr double SPAN_MIN = 0.001, SPAN_MAX = 1e7;

/* A tick's sent frames until its received frames come (on_tx). */
nbkit_order sent_held;

void reset_state(void)
{
    memset(&sg, 0, sizeof sg);
    sent_held.nheld = 0;
    sg.cap_points = SG_CAP_DEFAULT;
    sg.view.span = 10.0;
    sg.view.follow = 1;
    sg.view.mode = SG_OVERLAY;
    sg.view.cursor_x = -1;
}

/* Frame times: the adapter's clock, which stamps received and sent frames
 * alike, is exact between frames but 32 bits wide and undated. Its steps
 * are added up and the sum is placed on the wall clock at the first batch;
 * when the two drift apart by more than two seconds (the clock was reset,
 * or the bus was silent for longer than it takes to wrap), it is placed
 * anew. A tick's sent frames are held until its received frames come and
 * both are decoded merged in the clock's order, so that a message's value,
 * period and plot follow time. Every frame comes here, classic and CAN FD
 * alike. */

void take_merged(void *, const zk_fdframe *f, const nb_tx_fd_entry *)
{
    sg.ext_us += (int32_t)(f->ts - sg.last_ts);
    sg.last_ts = f->ts;
    sg_take_frame(f->id, f->flags, f->data, f->len, sg_seconds(sg.anchor_us + sg.ext_us));
}

/* The held sent frames and n received ones, in time order. */
void take_frames(const zk_fdframe *frames, int n, uint64_t req_ts)
{
    uint32_t first = 0, last = 0;
    if (!nbkit_order_span(&sent_held, frames, n, &first, &last))
        return;
    int64_t req_us = nbkit_time_us(req_ts);
    int64_t span = (int32_t)(last - first);
    if (!sg.have_clock) {
        sg.have_clock = 1;
        sg.last_ts = first;
        sg.ext_us = 0;
        sg.anchor_us = req_us - span;
    } else {
        int64_t end = sg.ext_us + (int32_t)(last - sg.last_ts);
        int64_t off = sg.anchor_us + end - req_us;
        if (off > 2000000 || off < -2000000)
            sg.anchor_us = req_us - end;
    }
    nbkit_order_merge(&sent_held, frames, n, take_merged, nullptr);
}

/* ------------------------------------------------------------ session */

void save_session(void *file)
{
    if (!sg.page)
        return;
    char key[32], value[512];
    /* The open databases, then those still being read. */
    int k = 0;
    for (int d = 0; d < sg.ndb; d++) {
        g_snprintf(key, sizeof key, "%s%d", KEY_DATABASE, ++k);
        nbpg_save_key(file, key, sg.db_path[d]);
    }
    for (int q = -1; q < sg.nqueue; q++) {
        const char *path = q < 0 ? sg_db_reading_path() : sg.queue[q];
        if (!path)
            continue;
        g_snprintf(key, sizeof key, "%s%d", KEY_DATABASE, ++k);
        nbpg_save_key(file, key, path);
    }
    int n = 0;
    for (const sg_plot_sig &ps : sg.plots) {
        if (!ps.used)
            continue;
        const dbc_message *m = sg.msgs[ps.msg].m;
        g_snprintf(key, sizeof key, "%s%d", KEY_PLOT, ++n);
        g_snprintf(value, sizeof value, "%s %X %s #%02X%02X%02X", m->extended ? "ext" : "std", m->id,
                   m->signals[(size_t)ps.sig].name.c_str(), (unsigned)(ps.rgb[0] * 255 + 0.5),
                   (unsigned)(ps.rgb[1] * 255 + 0.5), (unsigned)(ps.rgb[2] * 255 + 0.5));
        nbpg_save_key(file, key, value);
        /* Older sessions have no such key: everything within the cap. */
        sg_plot_keep_text(&ps.hist, 1, value, sizeof value);
        if (value[0]) {
            g_snprintf(key, sizeof key, "%s%d", KEY_HISTORY, n);
            nbpg_save_key(file, key, value);
        }
    }
    /* Plots of a session whose databases are still being read: as loaded. */
    for (int i = 0; sg.plots_pending && i < sg.load_nplot; i++) {
        g_snprintf(key, sizeof key, "%s%d", KEY_PLOT, ++n);
        nbpg_save_key(file, key, sg.load_plot[i]);
        for (int k = 0; k < sg.load_nkeep; k++)
            if (sg.load_keep_num[k] == sg.load_plot_num[i]) {
                g_snprintf(key, sizeof key, "%s%d", KEY_HISTORY, n);
                nbpg_save_key(file, key, sg.load_keep[k]);
            }
    }
    nbkit_save_choice(file, KEY_MODE, MODES, sg.view.mode);
    nbkit_save_bool(file, KEY_FOLLOW, sg.view.follow);
    nbkit_save_double(file, KEY_SPAN, "%.6g", sg.view.span);
    nbkit_save_int(file, KEY_CAP, (long long)sg.cap_points);
    if (sg_folder_dbc[0])
        nbpg_save_key(file, KEY_DBC_FOLDER, sg_folder_dbc);
    if (sg_folder_export[0])
        nbpg_save_key(file, KEY_EXPORT_FOLDER, sg_folder_export);
    sg_page_save_panes(file);
}

/* A folder of this plug-in's own keys (sessions of earlier versions kept
 * only these): also the host's for its kind while the host knows none. */
void keep_folder(char *folder, int kind, const char *value)
{
    g_strlcpy(folder, value, SG_PATH_MAX);
    char known[NB_FOLDER_MAX];
    if (nb_get_folder && nb_set_folder && nb_get_folder(kind, known, sizeof known) != 0)
        nb_set_folder(kind, value);
}

void load_begin(void)
{
    sg.load_ndb = 0;
    sg.load_nplot = 0;
    sg.load_nkeep = 0;
    sg.load_view = sg.view;
    sg.load_cap = sg.cap_points;
}

bool numbered(const char *name, const char *prefix)
{
    size_t n = strlen(prefix);
    if (g_ascii_strncasecmp(name, prefix, n) != 0 || !name[n])
        return false;
    for (const char *p = name + n; *p; p++)
        if (!g_ascii_isdigit(*p))
            return false;
    return true;
}

void load_key(const pgrp_session_key *key)
{
    const char *name = key->name, *value = nbkit_key_value(key);
    if (numbered(name, KEY_DATABASE)) {
        if (sg.load_ndb < SG_MAX_DATABASES && *value)
            g_strlcpy(sg.load_db[sg.load_ndb++], value, SG_PATH_MAX);
    } else if (numbered(name, KEY_PLOT)) {
        if (sg.load_nplot < SG_MAX_PLOTS) {
            sg.load_plot_num[sg.load_nplot] = atoi(name + strlen(KEY_PLOT));
            g_strlcpy(sg.load_plot[sg.load_nplot++], value, sizeof sg.load_plot[0]);
        }
    } else if (numbered(name, KEY_HISTORY)) {
        if (sg.load_nkeep < SG_MAX_PLOTS) {
            sg.load_keep_num[sg.load_nkeep] = atoi(name + strlen(KEY_HISTORY));
            g_strlcpy(sg.load_keep[sg.load_nkeep++], value, sizeof sg.load_keep[0]);
        }
    } else if (nbkit_key_is(key, KEY_CAP)) {
        char *end = nullptr;
        unsigned long long v = g_ascii_strtoull(value, &end, 10);
        if (end != value && *end == '\0')
            sg.load_cap = v < SG_CAP_MIN ? SG_CAP_MIN : v > SG_CAP_MAX ? SG_CAP_MAX : v;
    }
    else if (nbkit_key_is(key, KEY_DBC_FOLDER))
        keep_folder(sg_folder_dbc, NB_FOLDER_DBC, value);
    else if (nbkit_key_is(key, KEY_EXPORT_FOLDER))
        keep_folder(sg_folder_export, NB_FOLDER_EXPORTS, value);
    nbkit_key_choice(key, KEY_MODE, MODES, &sg.load_view.mode);
    nbkit_key_bool(key, KEY_FOLLOW, &sg.load_view.follow);
    nbkit_key_double(key, KEY_SPAN, SPAN_MIN, SPAN_MAX, &sg.load_view.span);
    if (sg.page)
        sg_page_pane_key(key);
}

/* "std|ext <hex id> <signal> [#rrggbb]"; the name as long as the value.
 * Returns the plot's slot, or -1 with the reason in msg. */
int load_plot(const char *text, char *msg, size_t msg_size)
{
    gchar **w = g_strsplit_set(text, " \t", -1);
    std::vector<const char *> words;
    for (gchar **p = w; *p; p++)
        if (**p)
            words.push_back(*p);
    char *end = nullptr;
    unsigned long id = words.size() >= 3 ? strtoul(words[1], &end, 16) : 0;
    bool ok = words.size() >= 3 && words.size() <= 4 && end && !*end && id <= 0x1FFFFFFFu &&
              (strcmp(words[0], "std") == 0 || strcmp(words[0], "ext") == 0);
    if (!ok) {
        g_snprintf(msg, msg_size, _("Plot \"%s\" is not understood."), text);
        g_strfreev(w);
        return -1;
    }
    const char *name = words[2];
    int m = sg_db_find(sg_key((uint32_t)id, words[0][0] == 'e'));
    int s = -1;
    if (m >= 0)
        for (size_t i = 0; i < sg.msgs[m].m->signals.size(); i++)
            if (sg.msgs[m].m->signals[i].name == name)
                s = (int)i;
    if (s < 0) {
        g_snprintf(msg, msg_size, _("Signal %s of message %lX is not in the open databases."), name,
                   id);
        g_strfreev(w);
        return -1;
    }
    double rgb[3], *use = nullptr;
    unsigned r, g, b;
    if (words.size() == 4 && sscanf(words[3], "#%2x%2x%2x", &r, &g, &b) == 3) {
        rgb[0] = r / 255.0;
        rgb[1] = g / 255.0;
        rgb[2] = b / 255.0;
        use = rgb;
    }
    int slot = sg_plot_add(m, s, use);
    if (slot < 0)
        g_snprintf(msg, msg_size, _("Signal %s cannot be plotted (not enough memory)."), name);
    g_strfreev(w);
    return slot;
}

void load_end(void)
{
    if (!sg.page)
        return;
    /* The session's databases replace the open ones; they are read in the
     * background, and the plots follow when the last is read. */
    sg_db_close_all();
    sg.cap_points = sg.load_cap;
    int cursor = sg.view.cursor_x;
    sg.view = sg.load_view;
    sg.view.cursor_x = cursor;
    sg.load_msg[0] = '\0';
    sg.load_error = 0;
    for (int i = 0; i < sg.load_ndb; i++) {
        char one[1024];
        if (sg_db_open(sg.load_db[i], one, sizeof one) != 0 && !sg.load_error) {
            g_strlcpy(sg.load_msg, one, sizeof sg.load_msg);
            sg.load_error = 1;
        }
    }
    sg.plots_pending = 1;
    sg_page_databases_changed();
    if (sg_db_reading()) {
        char msg[1024];
        g_snprintf(msg, sizeof msg,
                   g_dngettext(GETTEXT_PACKAGE, "Reading %d database...", "Reading %d databases...",
                               (unsigned long)(sg.nqueue + 1)),
                   sg.nqueue + 1);
        sg_page_show_message(msg, 0);
        sg_sync_widgets();
    } else {
        sg_page_loads_done();
    }
}

/* --------------------------------------------------------- statistics */

void took(int64_t since)
{
    int64_t dt = g_get_monotonic_time() - since;
    if (sg_measuring() && dt > sg.max_request_us)
        sg.max_request_us = dt;
}

/* With SIGNALS_STATS naming a file, this load's counters and timings are
 * appended to it at release, for measuring the whole program. */
void write_stats(void)
{
    const char *path = getenv("SIGNALS_STATS");
    if (!path || !*path)
        return;
    int err = 0;
    FILE *f = uf_fopen_write(path, UF_APPEND, &err);
    if (!f)
        return;
    uint64_t points = 0, merges = 0;
    size_t bytes = 0;
    int plots = 0;
    for (const sg_plot_sig &ps : sg.plots)
        if (ps.used) {
            plots++;
            points += sg_history_points(&ps.hist);
            merges += ps.hist.merges;
            bytes += sg_history_bytes(&ps.hist);
        }
    fprintf(f,
            "decoded=%llu unknown=%llu plots=%d points=%llu merges=%llu history_bytes=%zu "
            "max_request_us=%lld max_refresh_us=%lld max_redraw_us=%lld mean_redraw_us=%lld "
            "max_refresh_gap_us=%lld\n",
            (unsigned long long)sg.frames, (unsigned long long)sg.unknown_frames, plots,
            (unsigned long long)points, (unsigned long long)merges, bytes,
            (long long)sg.max_request_us, (long long)sg.max_refresh_us,
            (long long)sg.max_redraw_us,
            (long long)(sg.redraws ? sg.redraw_total_us / (int64_t)sg.redraws : 0),
            (long long)sg.max_refresh_gap_us);
    for (const sg_plot_sig &ps : sg.plots) {
        sg_point last;
        if (ps.used && sg_history_last(&ps.hist, &last))
            fprintf(f, "plot %s.%s points=%llu last=%.17g\n", sg.msgs[ps.msg].m->name.c_str(),
                    sg.msgs[ps.msg].m->signals[(size_t)ps.sig].name.c_str(),
                    (unsigned long long)ps.hist.appended, last.v);
    }
    fclose(f);
}

GtkWidget *on_init(const nb_chan_status *, uint64_t)
{
    if (sg.page)
        sg_page_release();
    sg_db_close_all();
    free(sg.unknown);
    reset_state();
    sg.unknown = (sg_unknown *)calloc(SG_UNKNOWN_SLOTS, sizeof(sg_unknown));
    return sg_page_build();
}

void on_release(void)
{
    write_stats();
    sg_page_release();
    sg_db_close_all();
    free(sg.unknown);
    sg.unknown = nullptr;
}

void on_rx(const zk_fdframe *frames, int n, uint64_t ts)
{
    if (!sg.page)
        return;
    int64_t t0 = g_get_monotonic_time();
    take_frames(frames, n, ts);
    took(t0);
}

/* Sent frames wait for the received frames of their tick, or for the
 * next refresh (sg_flush_sent). */
void on_tx(const nb_tx_fd_entry *sent, int n, uint64_t ts)
{
    if (!sg.page)
        return;
    int64_t t0 = g_get_monotonic_time();
    nbkit_order_hold_all(&sent_held, sent, n, ts, sg_flush_sent);
    took(t0);
}

const nbkit_plugin plugin = {
    .text_domain = GETTEXT_PACKAGE, .init = on_init, .release = on_release,
    .session_save = save_session, .load_begin = load_begin, .load_key = load_key, .load_end = load_end,
    .rx_fd_frames = on_rx, .tx_fd_frames = on_tx,
};

}  // namespace

void sg_session_plots(void)
{
    for (int i = 0; i < sg.load_nplot; i++) {
        char one[512] = "";
        int slot = load_plot(sg.load_plot[i], one, sizeof one);
        for (int k = 0; slot >= 0 && k < sg.load_nkeep; k++) {
            sg_history &h = sg.plots[slot].hist;
            if (sg.load_keep_num[k] == sg.load_plot_num[i] &&
                sg_plot_parse_keep(sg.load_keep[k], &h.keep_s, &h.keep_points, one, sizeof one) == 0)
                sg_history_trim(&h);
        }
        if (one[0] && !sg.load_error) {
            g_strlcpy(sg.load_msg, one, sizeof sg.load_msg);
            sg.load_error = 1;
        }
    }
}

/* FD-aware: every frame, classic and CAN FD, for the FD messages of its
 * databases. */
NBKIT_PLUGIN_FD(plugin, 0x0301, "Signals", "The Nimbrel developers",
                "Decodes traffic with DBC databases: a live table of messages and signals, "
                "and a plot of up to 16 signals over time.")

/* Test and automation hook: the newest value of plot slot as the
 * legend shows it under the cursor; 0 when the slot holds none. */
extern "C" NBPG_EXPORT int signals_plot_value(int slot, char *buf, size_t size);

int signals_plot_value(int slot, char *buf, size_t size)
{
    sg_point last;
    if (slot < 0 || slot >= SG_MAX_PLOTS || !sg.plots[slot].used ||
        !sg_history_last(&sg.plots[slot].hist, &last))
        return 0;
    const sg_plot_sig &ps = sg.plots[slot];
    sg_plot_value_text(sg.msgs[ps.msg].m->signals[(size_t)ps.sig], last.v, buf, size);
    return 1;
}

bool sg_measuring(void)
{
    return sg.measure_from_us && g_get_monotonic_time() >= sg.measure_from_us;
}

/* Seconds on the program's one time line: from the host's origin, as the
 * bus viewer's trace counts them. */
double sg_seconds(int64_t us)
{
    return (double)(us - nbkit_origin_us()) / 1e6;
}

/* Decodes one frame into its message's values and the plots that show
 * its signals. Remote frames carry no data. */
void sg_flush_sent(void)
{
    if (sent_held.nheld > 0)
        take_frames(nullptr, 0, sent_held.held_ts);
}

void sg_take_frame(uint32_t id, uint8_t flags, const uint8_t *data, unsigned len, double t)
{
    if (flags & ZK_FRAME_RTR)
        len = 0;
    if (len > SG_MAX_DATA)
        len = SG_MAX_DATA;
    uint32_t key = sg_key(id, flags & ZK_FRAME_EFF);
    int i = sg_db_find(key);
    if (i < 0) {
        sg_unknown_count(key, data, len, t);
        return;
    }
    sg_msg &m = sg.msgs[i];
    dbc_decode(m.m, data, len, m.values);
    if (m.t_last >= 0)
        m.period = t - m.t_last;
    m.t_last = t;
    m.count++;
    m.dirty = 1;
    if (sg.frames++ == 0)
        sg.measure_from_us = g_get_monotonic_time() + 2000000;
    for (uint32_t bits = m.plots; bits; bits &= bits - 1) {
        sg_plot_sig &ps = sg.plots[__builtin_ctz(bits)];
        const dbc_value &v = m.values[ps.sig];
        if (v.active)
            sg_history_append(&ps.hist, t, v.phys);
    }
}
