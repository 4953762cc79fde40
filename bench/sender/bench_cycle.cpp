// Cycle times under a busy window: the sender plug-in sends a 10 ms and a
// 1 ms periodic message and the player loops a log of one frame every
// 10 ms, all loaded by the real manager with the host's poll tick running,
// onto the simulated bus in real time. `zelkctl dump` on the bus's other
// channel, a process of its own, prints what it receives; the intervals of
// each identifier come from its time stamps (the bus time at the end of
// each frame). Two windows of SECONDS each:
//   - quiet: the main loop idles;
//   - busy: the window opens a file chooser on a large folder and closes
//     it, then opens the DBC file in the signals plug-in through its
//     chooser (and closes it again), over and over.
// Prints, per window and identifier (123: 10 ms, 124: 1 ms, 200: the
// replay, 10 ms, the interval at the start of each pass left out):
// frames, median, 1st and 99th percentile and worst interval in ms, and
// the load average.
//
// usage: bench_cycle ZELKCTL FILE.dbc [SECONDS [FOLDER]]   defaults 10 s,
//        /usr/share/doc (BENCH_STAGE=DIR: the plug-ins of DIR); run under scripts/with-xvfb.sh from a release
//        build; tests/signals/gen_big_dbc.py FILE 1 30000 writes the
//        30,000-message file.
// BENCH_SOCKETCAN=IFACE: the channel is that SocketCAN interface (in the
// guest of scripts/can-vm.sh, as root), so the sender hands 123 and 124 to
// the kernel's broadcast manager while the replay (200) stays a thread of
// ours; `candump -L IFACE` takes the place of zelkctl dump, its times the
// kernel's. bench/sender/bench_bcm.sh runs it so.
#include <gtk/gtk.h>
#include <glib/gstdio.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/wait.h>

#include <algorithm>
#include <map>
#include <string>
#include <vector>

#include "app/nb_app.h"
#include "app/platform.h"
#include "canlog.h"

#include "bench_page.h"
#include "bench_widgets.h"

namespace {

/* Columns of the sender's list. */
enum { COL_ID = 0, COL_DATA = 6, COL_PERIOD = 7, COL_ENABLED = 8 };

const char *g_dbc;
GtkWidget *g_signals;

GtkWidget *load(const char *name)
{
    /* BENCH_STAGE: plug-ins of another build, side by side with these. */
    const char *stage = getenv("BENCH_STAGE") ? getenv("BENCH_STAGE") : BENCH_STAGE_DIR;
    char path[NB_TEXT_MAX];
    g_snprintf(path, sizeof path, "%s/%s.so", stage, name);
    nb_plugin *entry = the_app.pgmgr.ops.pgmgr_add(&the_app.pgmgr, path, sizeof path);
    if (!entry || pgmgr_load(&the_app, entry) != 0 || !entry->page) {
        fprintf(stderr, "cannot load %s\n", path);
        exit(1);
    }
    return entry->page;
}

void cell(GtkWidget *view, int row, int col, const char *text)
{
    GtkTreeViewColumn *c = gtk_tree_view_get_column(GTK_TREE_VIEW(view), col);
    GList *cells = gtk_cell_layout_get_cells(GTK_CELL_LAYOUT(c));
    char path[16];
    g_snprintf(path, sizeof path, "%d", row);
    if (text)
        g_signal_emit_by_name(cells->data, "edited", path, text);
    else
        g_signal_emit_by_name(cells->data, "toggled", path);
    g_list_free(cells);
}

/* A periodic message added to the sender's list as a user adds it. */
void add_message(GtkWidget *page, const char *id, const char *data, const char *period)
{
    GtkWidget *view = need_named(page, "sender-list");
    gtk_button_clicked(GTK_BUTTON(need_named(page, "sender-add")));
    int row = view_rows(view) - 1;
    cell(view, row, COL_ID, id);
    cell(view, row, COL_DATA, data);
    cell(view, row, COL_PERIOD, period);
    cell(view, row, COL_ENABLED, nullptr);
}

/* zelkctl dump of channel 1 (or candump of the SocketCAN interface) for
 * seconds, into out. */
GPid start_dump(const char *zelkctl, const char *out, double seconds)
{
    char secs[32];
    g_snprintf(secs, sizeof secs, "%.1f", seconds);
    const char *iface = getenv("BENCH_SOCKETCAN");
    std::string cmd = iface ? std::string("exec timeout -s INT ") + secs + " stdbuf -oL candump -L " +
                                  iface + " > '" + out + "'"
                            : std::string("exec '") + zelkctl + "' dump 1 --rate 500 --classic --seconds " +
                                  secs + " > '" + out + "'";
    const char *argv[] = {"/bin/sh", "-c", cmd.c_str(), nullptr};
    GPid pid = 0;
    GError *err = nullptr;
    if (!g_spawn_async(nullptr, (gchar **)argv, nullptr, G_SPAWN_DO_NOT_REAP_CHILD, nullptr,
                       nullptr, &pid, &err)) {
        fprintf(stderr, "cannot run zelkctl: %s\n", err->message);
        exit(1);
    }
    return pid;
}

bool exited(GPid pid)
{
    int status = 0;
    return waitpid(pid, &status, WNOHANG) == pid;
}

double pct(const std::vector<double> &sorted, double p)
{
    size_t i = (size_t)(p / 100.0 * (double)(sorted.size() - 1) + 0.5);
    return sorted[std::min(i, sorted.size() - 1)];
}

void report(const char *window, const char *file)
{
    FILE *f = fopen(file, "r");
    if (!f) {
        fprintf(stderr, "no dump output %s\n", file);
        exit(1);
    }
    std::map<unsigned, std::vector<double>> at;
    std::map<unsigned, std::vector<bool>> pass_start;
    char line[512];
    while (fgets(line, sizeof line, f)) {
        unsigned long long s = 0, us = 0;
        unsigned id = 0, byte0 = 1;
        if (sscanf(line, "(%llu.%llu) %*s %x#%2x", &s, &us, &id, &byte0) >= 3) {
            at[id].push_back((double)s * 1e3 + (double)us / 1e3);
            pass_start[id].push_back(id == 0x200 && byte0 == 0);
        }
    }
    fclose(f);
    double load[1] = {0};
    getloadavg(load, 1);
    for (auto &kv : at) {
        std::vector<double> d;
        for (size_t i = 1; i < kv.second.size(); i++) {
            /* A new pass of the replay starts when the last frame of the
             * one before was due: not a cycle. */
            if (pass_start[kv.first][i])
                continue;
            d.push_back(kv.second[i] - kv.second[i - 1]);
            if (getenv("BENCH_GAPS") && (d.back() > 12.0 || (kv.first == 0x124 && d.back() > 2.5)))
                fprintf(stderr, "%s %03X: %.3f ms at %.3f s\n", window, kv.first, d.back(),
                        (kv.second[i] - kv.second[0]) / 1e3);
        }
        if (d.empty())
            continue;
        std::sort(d.begin(), d.end());
        printf("%-6s %03X: %6zu frames, interval median %.3f ms, 1%% %.3f, 99%% %.3f, "
               "least %.3f, worst %.3f ms; load %.1f\n",
               window, kv.first, kv.second.size(), pct(d, 50), pct(d, 1), pct(d, 99), d.front(),
               d.back(), load[0]);
    }
}

gboolean answer_dbc(gpointer)
{
    return bench_answer_chooser(g_dbc) ? G_SOURCE_REMOVE : G_SOURCE_CONTINUE;
}

/* What makes the window busy: a file chooser on a large folder, shown
 * until it has read it, then the DBC opened in the signals plug-in. */
void busy_turn(const char *folder)
{
    GtkWidget *dlg = gtk_file_chooser_dialog_new("bench", nullptr, GTK_FILE_CHOOSER_ACTION_OPEN,
                                                 GTK_STOCK_CANCEL, GTK_RESPONSE_CANCEL, nullptr);
    gtk_file_chooser_set_current_folder(GTK_FILE_CHOOSER(dlg), folder);
    gtk_widget_show(dlg);
    bench_pump_for(1000);
    gtk_widget_destroy(dlg);

    GtkWidget *table = need_named(g_signals, "signals-table");
    g_timeout_add(5, answer_dbc, nullptr);
    gtk_button_clicked(GTK_BUTTON(need_named(g_signals, "signals-open")));
    bench_run_until([&] { return view_rows(table) >= 10; }, 60);
    bench_pump_for(500);
    gtk_button_clicked(GTK_BUTTON(need_named(g_signals, "signals-close")));
}

}  // namespace

int main(int argc, char **argv)
{
    /* Folders of its own: the simulated bus (shared with zelkctl through
     * ZELK_LOCK_DIR) is set up afresh, and nothing of the user's is used. */
    gchar *dir = g_dir_make_tmp("bench_cycle-XXXXXX", nullptr);
    setenv("ZELK_LOCK_DIR", dir, 1);
    setenv("XDG_RUNTIME_DIR", dir, 1);
    setenv("XDG_DATA_HOME", dir, 1);
    setenv("XDG_CONFIG_HOME", dir, 1);
    gtk_init(&argc, &argv);
    if (argc < 3 || !g_file_test(argv[2], G_FILE_TEST_IS_REGULAR)) {
        fprintf(stderr, "usage: %s ZELKCTL FILE.dbc [SECONDS [FOLDER]]\n", argv[0]);
        return 2;
    }
    const char *zelkctl = argv[1];
    g_dbc = argv[2];
    double seconds = argc > 3 ? atof(argv[3]) : 10;
    const char *folder = argc > 4 ? argv[4] : "/usr/share/doc";
    nbsdep_raise_priority();  /* as the program does at start */
    std::string boards = "0=sim:channels=2,traffic=none,txq=64";
    if (getenv("BENCH_SOCKETCAN"))
        boards = std::string("socketcan:") + getenv("BENCH_SOCKETCAN");
    setenv("ZELK_BOARDS", boards.c_str(), 1);
    if (ZkInit() < 0)
        return 1;

    /* The replay: one frame every 10 ms, looped. */
    gchar *log = g_build_filename(dir, "cycle.log", nullptr);
    cl_writer w;
    if (cl_writer_open(&w, log, CL_FMT_CANDUMP, 1) != 0)
        return 1;
    cl_frame f{};
    f.len = 8;
    f.id = 0x200;
    for (int i = 0; i < 100; i++) {
        f.t_ns = 1700000000000000000LL + (int64_t)i * 10000000LL;
        f.data[0] = (uint8_t)i;
        cl_write(&w, &f);
    }
    cl_writer_close(&w);

    app_init();
    the_app.chan.number = 0;
    the_app.chan.frame_format = 6;
    the_app.chan.ops.open(&the_app.chan);
    the_app.chan.ops.start(&the_app.chan);
    GtkWidget *window = gtk_window_new(GTK_WINDOW_TOPLEVEL);
    gtk_window_set_default_size(GTK_WINDOW(window), 1000, 650);
    GtkWidget *notebook = gtk_notebook_new();
    gtk_container_add(GTK_CONTAINER(window), notebook);
    the_app.gui.notebook = notebook;
    the_app.gui.ops.update_error_indicators = nullptr;
    the_app.gui.ops.stop_controller = nullptr;
    the_app.gui.ops.controller_stopped = nullptr;
    the_app.gui.ops.refresh_info_panel = nullptr;
    gtk_widget_show_all(window);
    nb_mainwin = window;

    GtkWidget *sender = load("sender");
    GtkWidget *player = load("player");
    g_signals = load("signals");
    guint poll = g_timeout_add_full(150, 20, poll_tick, &the_app, nullptr);
    bench_pump_for(500);

    add_message(sender, "123", "11 22 33 44 55 66 77 88", "10");
    add_message(sender, "124", "01 02 03 04 05 06 07 08", "1");
    gtk_button_clicked(GTK_BUTTON(need_named(sender, "sender-start")));
    gtk_entry_set_text(GTK_ENTRY(need_named(player, "player-file")), log);
    gtk_toggle_button_set_active(GTK_TOGGLE_BUTTON(need_named(player, "player-loop")), TRUE);
    gtk_button_clicked(GTK_BUTTON(need_named(player, "player-play")));
    bench_pump_for(300);

    gchar *quiet = g_build_filename(dir, "quiet.txt", nullptr);
    gchar *busy = g_build_filename(dir, "busy.txt", nullptr);
    GPid pid = start_dump(zelkctl, quiet, seconds);
    bench_run_until([&] { return exited(pid); }, seconds + 10);
    pid = start_dump(zelkctl, busy, seconds);
    int turns = 0;
    while (!exited(pid)) {
        busy_turn(folder);
        turns++;
    }
    report("quiet", quiet);
    report("busy", busy);
    if (getenv("BENCH_SOCKETCAN")) {
        GtkWidget *view = need_named(sender, "sender-list");
        for (int row = 0; row < 2; row++) {
            GtkTreeIter it;
            gchar *state = nullptr;
            GtkTreeModel *m = gtk_tree_view_get_model(GTK_TREE_VIEW(view));
            if (gtk_tree_model_iter_nth_child(m, &it, nullptr, row))
                gtk_tree_model_get(m, &it, 10, &state, -1);
            printf("sender row %d: %s\n", row, state && *state ? state : "sent by the sending thread");
            g_free(state);
        }
    }
    printf("busy: %d turns of a file chooser on %s and %s opened\n", turns, folder, g_dbc);

    gtk_button_clicked(GTK_BUTTON(need_named(sender, "sender-stop")));
    gtk_button_clicked(GTK_BUTTON(need_named(player, "player-stop")));
    g_source_remove(poll);
    the_app.pgmgr.ops.pgmgr_release_all(&the_app.pgmgr);
    gtk_widget_destroy(window);
    g_unlink(quiet);
    g_unlink(busy);
    g_unlink(log);
    /* The bus file zelk left there. */
    GDir *left = g_dir_open(dir, 0, nullptr);
    for (const char *n; left && (n = g_dir_read_name(left));) {
        gchar *p = g_build_filename(dir, n, nullptr);
        g_unlink(p);
        g_free(p);
    }
    if (left)
        g_dir_close(left);
    g_rmdir(dir);
    return 0;
}
