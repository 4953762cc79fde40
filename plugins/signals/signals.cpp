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
/* DatabaseChannel1 ...: "all" or the channel index database 1 ... decodes;
 * without it (older sessions) the main channel. */
const char *const KEY_DATABASE_CHAN = "DatabaseChannel";
/* PlotChannel1 ...: the channel index of plot 1 ..., when not the main one. */
const char *const KEY_PLOT_CHAN = "PlotChannel";
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

void reset_state(void)
{
    memset(&sg, 0, sizeof sg);
    sg.cap_points = SG_CAP_DEFAULT;
    sg.view.span = 10.0;
    sg.view.follow = 1;
    sg.view.mode = SG_OVERLAY;
    sg.view.cursor_x = -1;
    sg.nchan = 1;
    sg.open_chan = -1;
}

void save_db_chan(void *file, int n, int chan)
{
    char key[40];
    g_snprintf(key, sizeof key, "%s%d", KEY_DATABASE_CHAN, n);
    if (chan < 0)
        nbpg_save_key(file, key, "all");
    else
        nbkit_save_int(file, key, chan);
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
        save_db_chan(file, k, sg.db_chan[d]);
    }
    for (int q = -1; q < sg.nqueue; q++) {
        const char *path = q < 0 ? sg_db_reading_path() : sg.queue[q];
        if (!path)
            continue;
        g_snprintf(key, sizeof key, "%s%d", KEY_DATABASE, ++k);
        nbpg_save_key(file, key, path);
        save_db_chan(file, k, q < 0 ? sg_db_reading_chan() : sg.queue_chan[q]);
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
        if (ps.chan != 0) {
            g_snprintf(key, sizeof key, "%s%d", KEY_PLOT_CHAN, n);
            nbkit_save_int(file, key, ps.chan);
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
        if (sg.load_plot_chan[i] > 0) {
            g_snprintf(key, sizeof key, "%s%d", KEY_PLOT_CHAN, n);
            nbkit_save_int(file, key, sg.load_plot_chan[i]);
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
    sg.load_nchan = 0;
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
        if (sg.load_ndb < SG_MAX_DATABASES && *value) {
            sg.load_db_num[sg.load_ndb] = atoi(name + strlen(KEY_DATABASE));
            g_strlcpy(sg.load_db[sg.load_ndb++], value, SG_PATH_MAX);
        }
    } else if (numbered(name, KEY_DATABASE_CHAN) || numbered(name, KEY_PLOT_CHAN)) {
        /* Kept by number: "all" is -1, a bad value the main channel. */
        int32_t c = 0;
        int plot = numbered(name, KEY_PLOT_CHAN);
        if (g_ascii_strcasecmp(value, "all") == 0)
            c = plot ? 0 : -1;
        else if (nbpg_keyval_get_int(value, &c) != 0 || c < 0 || c >= SG_MAX_CHANNELS)
            c = 0;
        int num = atoi(name + strlen(plot ? KEY_PLOT_CHAN : KEY_DATABASE_CHAN));
        if (!plot && sg.load_nchan < SG_MAX_DATABASES) {
            sg.load_chan_num[sg.load_nchan] = num;
            sg.load_chan[sg.load_nchan++] = c;
        }
        for (int i = 0; plot && i < sg.load_nplot; i++)
            if (sg.load_plot_num[i] == num)
                sg.load_plot_chan[i] = c;
    } else if (numbered(name, KEY_PLOT)) {
        if (sg.load_nplot < SG_MAX_PLOTS) {
            sg.load_plot_chan[sg.load_nplot] = -1;
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
int load_plot(const char *text, int chan, char *msg, size_t msg_size)
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
    uint32_t key = sg_key((uint32_t)id, words[0][0] == 'e');
    int m = chan >= 0 ? sg_db_find_on(chan, key) : sg_db_find(key);
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
    else if (use)
        memcpy(sg.plots[slot].rgb, rgb, sizeof rgb);   /* a plot kept takes the session's colour */
    g_strfreev(w);
    return slot;
}

/* The channel the session gives its database i: older sessions, the main
 * channel. */
int load_db_chan(int i)
{
    int chan = 0;
    for (int k = 0; k < sg.load_nchan; k++)
        if (sg.load_chan_num[k] == sg.load_db_num[i])
            chan = sg.load_chan[k];
    return chan;
}

/* The session names the open databases on their channels, in their order,
 * and none is being read. */
bool same_databases(void)
{
    if (sg_db_reading() || sg.load_ndb != sg.ndb)
        return false;
    for (int i = 0; i < sg.ndb; i++)
        if (strcmp(sg.load_db[i], sg.db_path[i]) != 0 || load_db_chan(i) != sg.db_chan[i])
            return false;
    return true;
}

void load_end(void)
{
    if (!sg.page)
        return;
    int cursor = sg.view.cursor_x;
    sg.view = sg.load_view;
    sg.view.cursor_x = cursor;
    sg.load_msg[0] = '\0';
    sg.load_error = 0;
    /* The host gives the keys again (Plugins > Configure closed): the same
     * databases stay open, and plots the session keeps keep their points. */
    if (same_databases()) {
        if (sg.load_cap != sg.cap_points)
            sg_plot_set_cap(sg.load_cap);
        sg_session_plots(1);
        sg_page_loads_done();
        gtk_widget_queue_draw(sg.w_table);
        return;
    }
    /* The session's databases replace the open ones; they are read in the
     * background, and the plots follow when the last is read. */
    sg_db_close_all();
    sg.cap_points = sg.load_cap;
    for (int i = 0; i < sg.load_ndb; i++) {
        char one[1024];
        if (sg_db_open(sg.load_db[i], load_db_chan(i), one, sizeof one) != 0 && !sg.load_error) {
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
    sg.nchan = nb_chan_count();
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

/* The host's stream: every channel's frames, received and sent, in time
 * order on the program's time line. */
void on_stream(const nb_stream_frame *frames, int n, uint64_t)
{
    if (!sg.page)
        return;
    int64_t t0 = g_get_monotonic_time();
    for (int i = 0; i < n; i++) {
        const nb_stream_frame &f = frames[i];
        sg_take_frame(f.channel, f.id, f.flags, f.data, f.len, sg_seconds((int64_t)f.time_us));
    }
    took(t0);
}

/* Channels were added or removed: the table follows. */
void on_other(pgrp *req)
{
    if (sg.page && pgrp_get_type(req) == PGRP_CHANNELS)
        sg_page_channels_changed();
}

const nbkit_plugin plugin = {
    .text_domain = GETTEXT_PACKAGE, .init = on_init, .release = on_release,
    .session_save = save_session, .load_begin = load_begin, .load_key = load_key, .load_end = load_end,
    .other = on_other, .stream = on_stream,
};

}  // namespace

void sg_session_plots(int drop_others)
{
    uint32_t named = 0;
    for (int i = 0; i < sg.load_nplot; i++) {
        char one[512] = "";
        int slot = load_plot(sg.load_plot[i], sg.load_plot_chan[i], one, sizeof one);
        if (slot >= 0) {
            named |= 1u << slot;
            sg.plots[slot].hist.keep_s = 0;   /* without a History key: everything */
            sg.plots[slot].hist.keep_points = 0;
        }
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
    for (int slot = 0; drop_others && slot < SG_MAX_PLOTS; slot++)
        if (!(named & (1u << slot)))
            sg_plot_remove(slot);
}

/* On the host's stream: every frame of every channel, classic and CAN FD. */
NBKIT_PLUGIN_STREAM(plugin, 0x0304, "Signals", "The Nimbrel developers",
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
void sg_chan_name(int chan, char *buf, size_t size)
{
    if (nb_chan_get_name(chan, buf, size) != 0 || !buf[0])
        g_snprintf(buf, size, "#%d", chan);
}

void sg_msg_name(const sg_msg &m, char *buf, size_t size)
{
    if (!m.named_chan) {
        g_strlcpy(buf, m.m->name.c_str(), size);
        return;
    }
    char chan[32];
    sg_chan_name(m.chan, chan, sizeof chan);
    g_snprintf(buf, size, "%s:%s", chan, m.m->name.c_str());
}

void sg_take_frame(int chan, uint32_t id, uint8_t flags, const uint8_t *data, unsigned len, double t)
{
    if (flags & ZK_FRAME_RTR)
        len = 0;
    if (len > SG_MAX_DATA)
        len = SG_MAX_DATA;
    uint32_t key = sg_key(id, flags & ZK_FRAME_EFF);
    int i = sg_db_find_on(chan, key);
    if (i < 0) {
        sg_unknown_count(chan, key, data, len, t);
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
