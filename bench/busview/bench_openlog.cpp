// Opening a big log in the bus viewer: the real plug-in loaded by the real
// manager into a shown window, "Open log..." clicked and the file chosen
// in its dialog. Prints
//   - open to first screen: from the dialog's answer to the first drawing
//     of the log's trace with a screen of rows;
//   - full index: until the progress bar goes, with the process's CPU time;
//   - while indexing and after: screens scrolled to at random every 50 ms
//     (the time each move takes on the main loop, and until its rows are
//     read in), then a jump to the end, and the longest time the main loop
//     did not get round to a high-priority 2 ms probe;
//   - two filters typed in (a range and a rare identifier): their first
//     screen and their whole scan;
//   - the peak resident size before and after.
//
// usage: bench_openlog LOG   run under scripts/with-xvfb.sh from a release
//        build; bench_logindex 10000000 FOLDER writes the 10-million-frame
//        log it uses (FOLDER/bench-10000000.log).
#include <gtk/gtk.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/resource.h>
#include <unistd.h>

#include <algorithm>
#include <random>
#include <string>
#include <vector>

#include "app/nb_app.h"

#include "bench_cpu.h"
#include "bench_page.h"
#include "bench_widgets.h"

namespace {

constexpr int SCREEN_MIN = 15;    /* rows the 650-pixel window shows at least */

struct bench {
    const char *path = nullptr;
    GtkWidget *page = nullptr;
    GtkWidget *log_trace = nullptr;
    int64_t t_answer = 0;         /* the dialog was answered */
    int64_t t_first = 0;          /* first drawing with a screen of rows */
    int64_t last_probe = 0;
    int64_t max_gap = 0;
    std::vector<double> moves;    /* ms per scroll */
    std::vector<double> fills;    /* ms until a scroll's rows were read in */
    int64_t move_t0 = 0;          /* the last move, its rows not read in yet */
    std::mt19937_64 rnd{7};
};

bench b;

GtkWidget *named(const char *name)
{
    return need_named(b.page, name);
}

int log_rows(void)
{
    return view_rows(b.log_trace);
}

std::string log_cell(int col)
{
    GtkTreeModel *m = gtk_tree_view_get_model(GTK_TREE_VIEW(b.log_trace));
    GtkTreeIter it;
    if (!m || !gtk_tree_model_get_iter_first(m, &it))
        return "";
    gchar *s = nullptr;
    gtk_tree_model_get(m, &it, col, &s, -1);
    std::string out = s ? s : "";
    g_free(s);
    return out;
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
    if (b.t_answer && !b.t_first && log_rows() >= SCREEN_MIN && log_cell(0) != "\u2026")
        b.t_first = g_get_monotonic_time();
    return FALSE;
}

gboolean on_probe(gpointer)
{
    int64_t now = g_get_monotonic_time();
    if (b.move_t0 && log_rows() > 0 && log_cell(0) != "\u2026") {
        b.fills.push_back((double)(now - b.move_t0) / 1000.0);
        b.move_t0 = 0;
    }
    if (b.last_probe && now - b.last_probe > b.max_gap)
        b.max_gap = now - b.last_probe;
    b.last_probe = now;
    return TRUE;
}

/* Moves to a row at random, as a drag of the scroll bar does. */
gboolean on_move(gpointer)
{
    GtkAdjustment *adj = gtk_range_get_adjustment(GTK_RANGE(named("busview-log-scroll")));
    double upper = gtk_adjustment_get_upper(adj);
    double to = upper > 1 ? (double)(b.rnd() % (uint64_t)upper) : 0;
    int64_t t0 = g_get_monotonic_time();
    gtk_adjustment_set_value(adj, to);
    b.moves.push_back((double)(g_get_monotonic_time() - t0) / 1000.0);
    if (log_rows() > 0 && log_cell(0) == "\u2026")
        b.move_t0 = t0;
    return TRUE;
}

/* Jumps to the end and back to the start, as End and Home do. */
gboolean on_jump(gpointer)
{
    GtkAdjustment *adj = gtk_range_get_adjustment(GTK_RANGE(named("busview-log-scroll")));
    double to = gtk_adjustment_get_value(adj) > 0 ? 0 : gtk_adjustment_get_upper(adj);
    int64_t t0 = g_get_monotonic_time();
    gtk_adjustment_set_value(adj, to);
    b.moves.push_back((double)(g_get_monotonic_time() - t0) / 1000.0);
    if (log_rows() > 0 && log_cell(0) == "\u2026")
        b.move_t0 = t0;
    return TRUE;
}

bool indexing(void)
{
    return gtk_widget_get_visible(named("busview-log-progress"));
}

void print_moves(const char *when)
{
    std::vector<double> t = b.moves, f = b.fills;
    std::sort(t.begin(), t.end());
    std::sort(f.begin(), f.end());
    printf("  %zu screens at random %s: %.3f ms median, %.3f ms longest; rows read in after "
           "%.1f ms median, %.1f ms longest; main-loop stall %.1f ms\n",
           t.size(), when, t.empty() ? 0 : t[t.size() / 2], t.empty() ? 0 : t.back(),
           f.empty() ? 0 : f[f.size() / 2], f.empty() ? 0 : f.back(), b.max_gap / 1000.0);
    b.moves.clear();
    b.fills.clear();
    b.max_gap = 0;
}

/* The first screen of a filter is its first rows: no moves till then. */
void filter_run(const char *text, guint *mover)
{
    g_source_remove(*mover);
    GtkWidget *entry = named("busview-filter");
    int64_t t0 = g_get_monotonic_time();
    gtk_entry_set_text(GTK_ENTRY(entry), text);
    gtk_widget_activate(entry);
    bench_run_until([] { return log_rows() >= SCREEN_MIN || !indexing(); }, 60);
    double first = (double)(g_get_monotonic_time() - t0) / 1e6;
    int rows = log_rows();
    std::string id = log_cell(2);
    *mover = g_timeout_add(50, on_move, nullptr);
    bench_run_until([] { return !indexing(); }, 600);
    double all = (double)(g_get_monotonic_time() - t0) / 1e6;
    printf("filter %-8s first screen %.3f s (%d rows, the first %s), whole file %.2f s; %s\n",
           text, first, rows, id.c_str(), all,
           gtk_label_get_text(GTK_LABEL(named("busview-log-counts"))));
    print_moves("after");
}

}  // namespace

int main(int argc, char **argv)
{
    gtk_init(&argc, &argv);
    if (argc != 2 || !g_file_test(argv[1], G_FILE_TEST_IS_REGULAR)) {
        fprintf(stderr, "usage: %s LOG\n", argv[0]);
        return 2;
    }
    b.path = argv[1];
    /* The plug-in's own timings (its longest refresh), written at release. */
    char stats[] = "/tmp/bench_openlog_XXXXXX";
    int stats_fd = mkstemp(stats);
    if (stats_fd >= 0) {
        close(stats_fd);
        setenv("BUSVIEW_STATS", stats, 1);
    }
    /* The file in the page cache, as after a first look at it. */
    FILE *f = fopen(b.path, "rb");
    if (!f)
        return 1;
    static char chunk[1 << 16];
    size_t size = 0, n;
    while ((n = fread(chunk, 1, sizeof chunk, f)) > 0)
        size += n;
    fclose(f);

    b.page = bench_plugin_page(BENCH_STAGE_DIR, "busview");
    if (!b.page)
        return 1;
    b.log_trace = named("busview-log-trace");
    g_signal_connect_after(b.log_trace, "expose-event", G_CALLBACK(on_expose), nullptr);
    bench_pump_for(500);
    long rss0 = bench_peak_rss_kb();

    double cpu0 = cpu_seconds();
    g_timeout_add_full(G_PRIORITY_HIGH, 5, on_dialog, nullptr, nullptr);
    gtk_button_clicked(GTK_BUTTON(named("busview-open-log")));
    if (!bench_run_until([] { return b.t_first != 0; }, 60)) {
        fprintf(stderr, "no first screen\n");
        return 1;
    }
    double first = (double)(b.t_first - b.t_answer) / 1e6;
    g_timeout_add_full(G_PRIORITY_HIGH, 2, on_probe, nullptr, nullptr);
    guint mover = g_timeout_add(50, on_move, nullptr);
    bench_run_until([] { return !indexing(); }, 3600);
    double all = (double)(g_get_monotonic_time() - b.t_answer) / 1e6;
    double cpu = cpu_seconds() - cpu0;

    double load[3] = {0, 0, 0};
    if (getloadavg(load, 3) < 0)
        load[0] = -1;
    printf("busview open log: %s, %.1f MB, load average %.1f\n", b.path, size / 1e6, load[0]);
    printf("open to first screen: %.3f s (%d rows)\n", first, log_rows());
    printf("full index: %.2f s wall, %.2f s CPU (page and scan threads); %s\n", all, cpu,
           gtk_label_get_text(GTK_LABEL(named("busview-log-counts"))));
    print_moves("while indexing");
    bench_pump_for(3000);
    print_moves("after");
    g_source_remove(mover);
    guint jumper = g_timeout_add(50, on_jump, nullptr);
    bench_pump_for(3000);
    g_source_remove(jumper);
    print_moves("(jumps between the start and the end)");
    mover = g_timeout_add(50, on_move, nullptr);
    filter_run("100-1FF", &mover);
    filter_run("7E8", &mover);
    g_source_remove(mover);
    printf("peak resident %.1f MB before opening, %.1f MB at the end\n", rss0 / 1e3,
           bench_peak_rss_kb() / 1e3);

    the_app.pgmgr.ops.pgmgr_release_all(&the_app.pgmgr);
    if (stats_fd >= 0) {
        gchar *text = nullptr;
        if (g_file_get_contents(stats, &text, nullptr, nullptr))
            printf("plug-in: %s", text);
        g_free(text);
        unlink(stats);
    }
    return 0;
}
