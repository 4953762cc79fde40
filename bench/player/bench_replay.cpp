// Replay timing benchmark: the player plug-in, loaded by the real manager
// with the host's poll tick running, plays a candump log of standard
// 8-byte frames 1 to 25 ms apart onto the simulated bus in real time. A
// second channel of the simulated board receives the frames with the bus
// time at which each ended; the error of a frame is its time since the
// first frame minus the file's (divided by the speed). Prints the median,
// 99th percentile and largest error.
//
// With "stalls" the log loops while the window is kept busy as a user
// would: the signals plug-in reads a large DBC, then the player's file
// chooser opens. Prints the longest wait beyond the file's own gap
// between two frames on the bus during each of them. "stalls-added" does
// the same with the log sent on an added channel of the window.
//
// usage: bench_replay [seconds [speed [stalls|stalls-added]]]   default 60 s of log at
//        1x; run under scripts/with-xvfb.sh from a release build.
#include <gtk/gtk.h>
#include <glib/gstdio.h>
#include <math.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include <algorithm>
#include <vector>

#include "app/nb_app.h"
#include "app/platform.h"
#include "can/chanset.h"
#include "canlog.h"

#include "bench_widgets.h"

namespace {

struct run_state {
    std::vector<uint32_t> rx_ts;
    size_t want;
    GMainLoop *loop;
    int64_t deadline;
    uint8_t rx_chan;
};

/* The bus clock of channel 1 (the receiving one), microseconds. */
uint8_t s_rx_chan = 1;
uint32_t bus_now(void)
{
    uint32_t t = 0;
    ZkGetClock(s_rx_chan, &t);
    return t;
}

/* A request to a loaded plug-in. */
void request(nb_plugin *entry, int type, void *data, uint64_t size)
{
    pgrp req;
    memset(&req, 0, sizeof req);
    req.type = type;
    req.data_ptr = data;
    req.data_size = size;
    the_app.pgmgr.ops.pgmgr_request(entry, &req);
}

/* Runs the main loop until done() or ms milliseconds went by. */
template <typename F> void run_until(F done, int ms)
{
    int64_t until = g_get_monotonic_time() + (int64_t)ms * 1000;
    while (!done() && g_get_monotonic_time() < until)
        g_main_context_iteration(nullptr, FALSE);
}

gboolean close_chooser(gpointer)
{
    GList *tops = gtk_window_list_toplevels();
    for (GList *l = tops; l; l = l->next)
        if (GTK_IS_FILE_CHOOSER_DIALOG(l->data))
            gtk_dialog_response(GTK_DIALOG(l->data), GTK_RESPONSE_CANCEL);
    g_list_free(tops);
    return FALSE;
}

/* What the window does while the replay loops, each span in bus time,
 * and the longest the window's main loop was held meanwhile. */
struct busy_span {
    const char *what;
    uint32_t from, to;
    int64_t held_us;
};

int64_t s_last_beat, s_held;
gboolean beat(gpointer)
{
    int64_t now = g_get_monotonic_time();
    if (s_last_beat && now - s_last_beat > s_held)
        s_held = now - s_last_beat;
    s_last_beat = now;
    return TRUE;
}
void held_from_now(void)
{
    s_last_beat = 0;
    s_held = 0;
}

std::vector<busy_span> keep_window_busy(GtkWidget *player_page, const char *dir)
{
    std::vector<busy_span> spans;
    /* A DBC of 20,000 messages read by the signals plug-in. */
    gchar *dbc = g_build_filename(dir, "big.dbc", nullptr);
    GString *text = g_string_new(nullptr);
    for (int i = 0; i < 20000; i++)
        g_string_append_printf(text, "BO_ %u M%d: 8 X\n SG_ A : 0|8@1+ (1,0) [0|0] \"\" Y\n"
                                     " SG_ B : 15|16@0- (0.5,0) [0|0] \"kPa\" Y\n",
                               0x80000000u + (unsigned)i, i);
    g_file_set_contents(dbc, text->str, (gssize)text->len, nullptr);
    g_string_free(text, TRUE);
    char plugin[NB_TEXT_MAX];
    g_snprintf(plugin, sizeof plugin, "%s/signals.so", BENCH_STAGE_DIR);
    nb_plugin *sg = the_app.pgmgr.ops.pgmgr_add(&the_app.pgmgr, plugin, sizeof plugin);
    if (!sg || pgmgr_load(&the_app, sg) != 0 || !sg->page) {
        fprintf(stderr, "cannot load %s\n", plugin);
        exit(1);
    }
    gtk_notebook_set_current_page(GTK_NOTEBOOK(the_app.gui.notebook),
                                  gtk_notebook_page_num(GTK_NOTEBOOK(the_app.gui.notebook), sg->page));
    run_until([] { return false; }, 1000);
    guint beats = g_timeout_add(1, beat, nullptr);
    held_from_now();
    busy_span s{"large DBC read", bus_now(), 0, 0};
    request(sg, PGRP_SESSION_LOAD_BEGIN, nullptr, 0);
    pgrp_session_key k;
    memset(&k, 0, sizeof k);
    g_strlcpy(k.name, "Database1", sizeof k.name);
    g_strlcpy(k.value, dbc, sizeof k.value);
    request(sg, PGRP_SESSION_LOAD_KEY, &k, sizeof k);
    request(sg, PGRP_SESSION_LOAD_END, nullptr, 0);
    GtkWidget *table = need_named(sg->page, "signals-table");
    run_until([&] { return view_rows(table) == 20000; }, 60000);
    run_until([] { return false; }, 500);
    s.to = bus_now();
    s.held_us = s_held;
    spans.push_back(s);
    g_free(dbc);

    gtk_notebook_set_current_page(GTK_NOTEBOOK(the_app.gui.notebook),
                                  gtk_notebook_page_num(GTK_NOTEBOOK(the_app.gui.notebook), player_page));
    run_until([] { return false; }, 1000);
    held_from_now();
    s = busy_span{"file chooser", bus_now(), 0, 0};
    g_timeout_add(1000, close_chooser, nullptr);
    gtk_button_clicked(GTK_BUTTON(need_named(player_page, "player-browse")));
    run_until([] { return false; }, 500);
    s.to = bus_now();
    s.held_us = s_held;
    spans.push_back(s);
    g_source_remove(beats);
    return spans;
}

gboolean drain(gpointer data)
{
    run_state *s = static_cast<run_state *>(data);
    zk_frame buf[512];
    int n;
    while ((n = ZkRead(s->rx_chan, buf, 512)) > 0)
        for (int i = 0; i < n; i++)
            s->rx_ts.push_back(buf[i].ts);
    if (s->rx_ts.size() >= s->want || g_get_monotonic_time() > s->deadline)
        g_main_loop_quit(s->loop);
    return TRUE;
}

}  // namespace

int main(int argc, char **argv)
{
    gtk_init(&argc, &argv);
    double seconds = argc > 1 ? atof(argv[1]) : 60;
    double speed = argc > 2 ? atof(argv[2]) : 1;
    bool added = argc > 3 && strcmp(argv[3], "stalls-added") == 0;
    bool stalls = added || (argc > 3 && strcmp(argv[3], "stalls") == 0);
    if (seconds <= 0 || speed < 0.1 || speed > 100 || (argc > 3 && !stalls)) {
        fprintf(stderr, "usage: %s [seconds [speed [stalls|stalls-added]]]\n", argv[0]);
        return 2;
    }
    nbsdep_raise_priority();  /* as the program does at start */
    /* The last channel receives; with an added channel the window has two. */
    setenv("ZELK_BOARDS", added ? "0=sim:channels=3,traffic=none,txq=64" : "0=sim:channels=2,traffic=none,txq=64", 1);
    const uint8_t rx_chan = added ? 2 : 1;
    if (ZkInit() < 0)
        return 1;

    /* The log: one frame every 1 to 25 ms. */
    gchar *dir = g_dir_make_tmp("bench_replay-XXXXXX", nullptr);
    gchar *path = g_build_filename(dir, "replay.log", nullptr);
    std::vector<int64_t> file_us;
    cl_writer w;
    if (cl_writer_open(&w, path, CL_FMT_CANDUMP, 1) != 0)
        return 1;
    cl_frame f{};
    f.len = 8;
    for (int64_t t = 0, i = 0; t < (int64_t)(seconds * 1e6); i++, t += 1000 * (1 + (i * 7) % 25)) {
        f.t_ns = 1700000000000000000LL + t * 1000;
        f.id = 0x100 + (uint32_t)(i % 64);
        cl_write(&w, &f);
        file_us.push_back(t);
    }
    cl_writer_close(&w);

    app_init();
    the_app.chan.number = 0;
    the_app.chan.frame_format = 6;
    the_app.chan.ops.open(&the_app.chan);
    the_app.chan.ops.start(&the_app.chan);
    if (added) {
        nb_chan_settings cs;
        chan_settings_default(&cs);
        cs.baud_index = the_app.chan.baud_index;
        int32_t index = -1;
        if (chanset_add(&the_app, 1, &cs, &index, nullptr) != 0 ||
            chanset_at(&the_app, 1)->ops.start(chanset_at(&the_app, 1)) < 0) {
            fprintf(stderr, "cannot add channel 1\n");
            return 1;
        }
    }
    s_rx_chan = rx_chan;
    ZkOpen(rx_chan, ZK_OPEN_BOTH);
    ZkSetBaud(rx_chan, 0x00, 0x1C);  /* 500 kbit/s, the bus's rate */
    ZkStart(rx_chan);
    GtkWidget *window = gtk_window_new(GTK_WINDOW_TOPLEVEL);
    GtkWidget *notebook = gtk_notebook_new();
    gtk_container_add(GTK_CONTAINER(window), notebook);
    the_app.gui.notebook = notebook;
    the_app.gui.ops.update_error_indicators = nullptr;
    the_app.gui.ops.stop_controller = nullptr;
    the_app.gui.ops.controller_stopped = nullptr;
    the_app.gui.ops.refresh_info_panel = nullptr;
    gtk_widget_show_all(window);

    char plugin[NB_TEXT_MAX];
    g_snprintf(plugin, sizeof plugin, "%s/player.so", BENCH_STAGE_DIR);
    nb_plugin *entry = the_app.pgmgr.ops.pgmgr_add(&the_app.pgmgr, plugin, sizeof plugin);
    if (!entry || pgmgr_load(&the_app, entry) != 0 || !entry->page) {
        fprintf(stderr, "cannot load %s\n", plugin);
        return 1;
    }
    GtkWidget *page = entry->page;
    if (added) {
        /* The file's channel goes to the added channel. */
        request(entry, PGRP_SESSION_LOAD_BEGIN, nullptr, 0);
        pgrp_session_key k;
        memset(&k, 0, sizeof k);
        g_strlcpy(k.name, "ChannelMap", sizeof k.name);
        g_strlcpy(k.value, "0=1", sizeof k.value);
        request(entry, PGRP_SESSION_LOAD_KEY, &k, sizeof k);
        request(entry, PGRP_SESSION_LOAD_END, nullptr, 0);
    }
    gtk_entry_set_text(GTK_ENTRY(find_named(page, "player-file")), path);
    gtk_spin_button_set_value(GTK_SPIN_BUTTON(find_named(page, "player-speed")), speed);

    run_state s;
    s.rx_chan = rx_chan;
    s.want = file_us.size();
    s.loop = g_main_loop_new(nullptr, FALSE);
    s.deadline = g_get_monotonic_time() + (int64_t)((seconds / speed + 10) * 1e6);
    guint poll = g_timeout_add_full(150, 20, poll_tick, &the_app, nullptr);
    guint rx = g_timeout_add(50, drain, &s);
    /* Let the window draw (fonts load on the first draw) before playing. */
    for (int64_t until = g_get_monotonic_time() + 500000; g_get_monotonic_time() < until;)
        g_main_context_iteration(nullptr, FALSE);
    if (stalls)
        gtk_toggle_button_set_active(GTK_TOGGLE_BUTTON(need_named(page, "player-loop")), TRUE);
    gtk_button_clicked(GTK_BUTTON(find_named(page, "player-play")));
    std::vector<busy_span> spans;
    if (stalls)
        spans = keep_window_busy(page, dir);
    else
        g_main_loop_run(s.loop);
    g_source_remove(poll);
    g_source_remove(rx);
    if (stalls)
        drain(&s);

    int rc = 0;
    if (stalls) {
        /* The wait beyond the file's gap between two frames; a new pass
         * follows the last frame of the one before at once. */
        const size_t n = file_us.size();
        double load[1] = {0};
        getloadavg(load, 1);
        for (const busy_span &b : spans) {
            double worst = 0;
            for (size_t i = 1; i < s.rx_ts.size(); i++) {
                if ((int32_t)(s.rx_ts[i] - b.from) < 0 || (int32_t)(s.rx_ts[i - 1] - b.to) > 0)
                    continue;
                double want = i % n ? (double)(file_us[i % n] - file_us[i % n - 1]) / speed : 0;
                worst = std::max(worst, (double)(uint32_t)(s.rx_ts[i] - s.rx_ts[i - 1]) - want);
            }
            printf("%s (%.1f s): window held up to %.1f ms; longest wait beyond the file's gap "
                   "%.1f ms\n", b.what, (double)(uint32_t)(b.to - b.from) / 1e6,
                   (double)b.held_us / 1000, worst / 1000);
        }
        printf("%zu frames received; load average %.1f\n", s.rx_ts.size(), load[0]);
    } else if (s.rx_ts.size() != file_us.size()) {
        fprintf(stderr, "received %zu of %zu frames\n", s.rx_ts.size(), file_us.size());
        rc = 1;
    } else {
        std::vector<double> err;
        for (size_t i = 0; i < s.rx_ts.size(); i++) {
            double bus = (double)(uint32_t)(s.rx_ts[i] - s.rx_ts[0]);
            err.push_back(fabs(bus - (double)(file_us[i] - file_us[0]) / speed));
        }
        std::vector<double> sorted = err;
        std::sort(sorted.begin(), sorted.end());
        size_t over = (size_t)(sorted.end() - std::upper_bound(sorted.begin(), sorted.end(), 1000.0));
        double load[1] = {0};
        getloadavg(load, 1);
        printf("%zu frames over %.0f s of log at %.1fx: error median %.0f us, 99%% %.0f us, "
               "max %.0f us (frame %zu); %zu frames off by more than 1 ms; load average %.1f\n",
               err.size(), seconds, speed, sorted[sorted.size() / 2],
               sorted[sorted.size() * 99 / 100], sorted.back(),
               (size_t)(std::max_element(err.begin(), err.end()) - err.begin()), over, load[0]);
    }
    the_app.pgmgr.ops.pgmgr_release_all(&the_app.pgmgr);
    gtk_widget_destroy(window);
    g_unlink(path);
    g_rmdir(dir);
    g_free(path);
    g_free(dir);
    return rc;
}
