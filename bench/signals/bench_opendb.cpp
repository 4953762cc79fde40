// Opening a huge DBC database: the DBC reader alone and the signals
// plug-in, loaded by the real manager into a shown window, with the file
// chosen in its Open dialog as a user does; canmatrix reads the same file
// for comparison. Prints
//   - parse: dbc_load_file, wall and processor time (median of RUNS);
//   - canmatrix: its load of the file (median of RUNS, its processor time)
//     and how many times longer it takes than our parse;
//   - first screen: from the dialog's closing (and from its answer) to the
//     first drawing of the table with a screen of message rows;
//   - the longest time the main loop did not get round to a high-priority
//     2 ms probe, from the dialog's closing until two seconds after the
//     file is in;
//   - the peak resident size before and after.
//
// usage: bench_opendb FILE.dbc [RUNS]   run under scripts/with-xvfb.sh from
//        a release build; tests/signals/gen_big_dbc.py FILE 1 30000 300000
//        writes the 30,000-message, 300,000-signal file.
#include <gtk/gtk.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/resource.h>
#include <time.h>

#include <algorithm>
#include <string>
#include <vector>

#include "app/nb_app.h"
#include "dbc.h"

#include "bench_cpu.h"
#include "bench_page.h"
#include "bench_widgets.h"

namespace {

constexpr int SCREEN_MIN = 10;    /* message rows the window shows at least */

struct bench {
    const char *path = nullptr;
    GtkWidget *page = nullptr;
    GtkWidget *table = nullptr;
    int64_t t_answer = 0;
    int64_t t_first = 0;
    int64_t last_probe = 0;
    int64_t max_gap = 0;
    bool dialog_gone = false;
    int64_t t_closed = 0;
    int64_t dialog_close = 0;
};

bench b;

double now_s(void)
{
    timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return ts.tv_sec + ts.tv_nsec / 1e9;
}

double median(std::vector<double> v)
{
    std::sort(v.begin(), v.end());
    return v[v.size() / 2];
}

GtkWidget *named(const char *name)
{
    return need_named(b.page, name);
}

int table_rows(void)
{
    return view_rows(b.table);
}

/* Answers the file chooser once it offers the file. */
gboolean on_dialog(gpointer)
{
    b.t_answer = g_get_monotonic_time();
    if (!bench_answer_chooser(b.path)) {
        b.t_answer = 0;
        return TRUE;
    }
    return FALSE;
}

gboolean on_expose(GtkWidget *, GdkEventExpose *, gpointer)
{
    if (b.t_answer && !b.t_first && table_rows() >= SCREEN_MIN)
        b.t_first = g_get_monotonic_time();
    return FALSE;
}

/* Gaps are counted from the first probe after the dialog is gone: its own
 * closing (GTK's, about 80 ms here) is not the plug-in's. */
gboolean on_probe(gpointer)
{
    int64_t now = g_get_monotonic_time();
    if (!b.t_answer)
        return TRUE;
    if (!b.dialog_gone) {
        GList *tops = gtk_window_list_toplevels();
        bool shown = false;
        for (GList *l = tops; l; l = l->next)
            shown = shown || (GTK_IS_FILE_CHOOSER_DIALOG(l->data) &&
                              gtk_widget_get_mapped(GTK_WIDGET(l->data)));
        g_list_free(tops);
        if (shown)
            return TRUE;
        b.dialog_gone = true;
        b.t_closed = now;
        b.dialog_close = now - b.t_answer;
        b.last_probe = now;
        return TRUE;
    }
    if (b.last_probe && now - b.last_probe > b.max_gap)
        b.max_gap = now - b.last_probe;
    if (getenv("BENCH_GAPS") && now - b.last_probe > 20000)
        fprintf(stderr, "gap %.1f ms at %.3f s\n", (now - b.last_probe) / 1e3,
                (now - b.t_answer) / 1e6);

    b.last_probe = now;
    return TRUE;
}

/* canmatrix's load of the file: its processor time in seconds, -1 when it
 * failed. */
double canmatrix_load(const char *path)
{
    std::string cmd = std::string("/usr/bin/python3 -c '"
                                  "import sys, time, logging, contextlib, io\n"
                                  "logging.disable(logging.CRITICAL)\n"
                                  "import canmatrix.formats\n"
                                  "t = time.process_time()\n"
                                  "with contextlib.redirect_stdout(io.StringIO()):\n"
                                  "    db = canmatrix.formats.loadp_flat(sys.argv[1])\n"
                                  "print(time.process_time() - t, len(db.frames))\n"
                                  "' '") + path + "' 2>/dev/null";
    FILE *p = popen(cmd.c_str(), "r");
    if (!p)
        return -1;
    double cpu = -1;
    int frames = 0;
    if (fscanf(p, "%lf %d", &cpu, &frames) != 2)
        cpu = -1;
    pclose(p);
    return cpu;
}

}  // namespace

int main(int argc, char **argv)
{
    gtk_init(&argc, &argv);
    if (argc < 2 || !g_file_test(argv[1], G_FILE_TEST_IS_REGULAR)) {
        fprintf(stderr, "usage: %s FILE.dbc [RUNS]\n", argv[0]);
        return 2;
    }
    b.path = argv[1];
    int runs = argc > 2 ? atoi(argv[2]) : 3;
    if (runs < 1)
        runs = 1;
    double load[3] = {0, 0, 0};
    if (getloadavg(load, 3) < 0)
        load[0] = -1;

    b.page = bench_plugin_page(BENCH_STAGE_DIR, "signals");
    if (!b.page)
        return 1;
    b.table = named("signals-table");
    g_signal_connect_after(b.table, "expose-event", G_CALLBACK(on_expose), nullptr);
    bench_pump_for(500);
    long rss0 = bench_peak_rss_kb();

    g_timeout_add_full(G_PRIORITY_HIGH, 5, on_dialog, nullptr, nullptr);
    g_timeout_add_full(G_PRIORITY_HIGH, 2, on_probe, nullptr, nullptr);
    gtk_button_clicked(GTK_BUTTON(named("signals-open")));
    if (!bench_run_until([] { return b.t_first != 0; }, 120)) {
        fprintf(stderr, "no first screen: %s\n",
                gtk_label_get_text(GTK_LABEL(named("signals-message"))));
        return 1;
    }
    double first = (double)(b.t_first - b.t_answer) / 1e6;
    bench_pump_for(2000);
    printf("first screen: %.3f s after the dialog closed, %.3f s after its answer (%d message rows)\n",
           (double)(b.t_first - b.t_closed) / 1e6, first, table_rows());
    printf("longest main-loop stall: %.1f ms (after the dialog's own closing, %.1f ms)\n",
           b.max_gap / 1000.0, b.dialog_close / 1000.0);
    printf("peak resident: %.1f MB before opening, %.1f MB after\n", rss0 / 1e3, bench_peak_rss_kb() / 1e3);
    printf("page says: %s\n", gtk_label_get_text(GTK_LABEL(named("signals-message"))));

    the_app.pgmgr.ops.pgmgr_release_all(&the_app.pgmgr);

    /* The reader alone (the file in the page cache after the first run). */
    std::vector<double> wall, cpu;
    size_t messages = 0, signals = 0;
    for (int r = 0; r < runs + 1; r++) {
        dbc_db db;
        dbc_error err;
        double w0 = now_s(), c0 = cpu_seconds();
        if (dbc_load_file(b.path, &db, &err) != 0) {
            fprintf(stderr, "%s: %s\n", b.path, err.message);
            return 1;
        }
        if (r > 0) {
            wall.push_back(now_s() - w0);
            cpu.push_back(cpu_seconds() - c0);
        }
        messages = db.messages.size();
        signals = 0;
        for (const dbc_message &m : db.messages)
            signals += m.signals.size();
    }
    std::vector<double> theirs;
    for (int r = 0; r < runs; r++) {
        double c = canmatrix_load(b.path);
        if (c > 0)
            theirs.push_back(c);
    }
    printf("signals open database: %s, %zu messages, %zu signals, load average %.1f\n", b.path,
           messages, signals, load[0]);
    printf("parse: %.3f s wall, %.3f s CPU (median of %d)\n", median(wall), median(cpu), runs);
    if (!theirs.empty())
        printf("canmatrix load: %.2f s CPU (median of %zu): %.1f times our parse\n",
               median(theirs), theirs.size(), median(theirs) / median(cpu));

    return 0;
}
