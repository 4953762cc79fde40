// The bus viewer's trace under the user's hands: a full trace of the
// largest history follows a saturated bus with and without the keyboard
// focus (CPU per second of traffic, side by side in one run), then the
// traffic stops and the user leaves the end and comes back: the scroll
// bar ten rows up, Page Up, Home, End. For each step, the time until the
// view has settled and the longest time the main loop did not get round
// to a high-priority 2 ms probe (the goal: 50 ms).
//
// usage: bench_trace_keys [history] [seconds]
//        defaults 2000000, 3; run under scripts/with-xvfb.sh from a
//        release build. BENCH_VERBOSE=1 prints the cursor's row and the
//        scroll bar after each step.
#include <gtk/gtk.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/resource.h>
#include <time.h>

#include "app/nb_app.h"
#include "bench_cpu.h"
#include "bench_page.h"
#include "bench_widgets.h"
#include "bvfeed.h"

namespace {

struct bench {
    unsigned history = 2000000;
    double seconds = 3;
    bv_feed feed;                 /* length-0 frames at 1 Mbit/s */
    int64_t feed_from_us = 0;
    uint64_t feed_from = 0;
    bool feeding = false;
    bv_probe probe;
    GtkWidget *window = nullptr;
    GtkWidget *trace = nullptr;
};

bench b;

gboolean on_tick(gpointer)
{
    if (!b.feeding)
        return TRUE;
    double secs = (double)(g_get_monotonic_time() - b.feed_from_us) / 1e6;
    uint64_t due = b.feed_from + (uint64_t)(secs * b.feed.fps);
    if (due > b.feed.fed)
        bv_feed_frames(&b.feed, due - b.feed.fed, false);
    return TRUE;
}

gboolean on_probe(gpointer)
{
    bv_probe_tick(&b.probe);
    return TRUE;
}

void reset_gaps(void)
{
    bench_pump_for(20);
    bv_probe_reset(&b.probe);
}

int rows(void)
{
    GtkTreeModel *m = gtk_tree_view_get_model(GTK_TREE_VIEW(b.trace));
    return m ? gtk_tree_model_iter_n_children(m, nullptr) : -1;
}

void focus(bool on)
{
    if (on)
        gtk_widget_grab_focus(b.trace);
    GdkEvent *ev = gdk_event_new(GDK_FOCUS_CHANGE);
    ev->focus_change.window = GDK_WINDOW(g_object_ref(gtk_widget_get_window(b.window)));
    ev->focus_change.in = on;
    gtk_widget_send_focus_change(b.window, ev);
    gdk_event_free(ev);
}

int cursor_row(void)
{
    GtkTreePath *p = nullptr;
    gtk_tree_view_get_cursor(GTK_TREE_VIEW(b.trace), &p, nullptr);
    int row = p ? gtk_tree_path_get_indices(p)[0] : -1;
    if (p)
        gtk_tree_path_free(p);
    return row;
}

/* CPU per second of traffic while the trace follows. */
double follow(double seconds)
{
    b.feed_from = b.feed.fed;
    b.feed_from_us = g_get_monotonic_time();
    b.feeding = true;
    bench_pump_for(300);
    double cpu0 = cpu_seconds();
    int64_t t0 = g_get_monotonic_time();
    bench_pump_for((int)(seconds * 1000));
    double ms = (cpu_seconds() - cpu0) / ((double)(g_get_monotonic_time() - t0) / 1e6) * 1000;
    b.feeding = false;
    return ms;
}

/* One step of the user's, then the main loop until settled holds (or 120 s). */
template <typename Step, typename Settled> void measure(const char *what, Step step, Settled settled)
{
    reset_gaps();
    int64_t t0 = g_get_monotonic_time();
    double cpu0 = cpu_seconds();
    step();
    bool ok = bench_run_until(settled, 120);
    bench_pump_for(300);          /* a refresh comes after it */
    GtkAdjustment *adj = gtk_tree_view_get_vadjustment(GTK_TREE_VIEW(b.trace));
    if (getenv("BENCH_VERBOSE"))
        printf("    cursor %d, adjustment %.0f of %.0f - %.0f\n", cursor_row(),
               gtk_adjustment_get_value(adj), gtk_adjustment_get_upper(adj),
               gtk_adjustment_get_page_size(adj));
    printf("  %-28s %s in %6.0f ms (%5.0f ms CPU), rows %7d, longest stall %6.1f ms (%5.1f ms CPU)\n",
           what, ok ? "settled" : "NOT SETTLED", (g_get_monotonic_time() - t0) / 1000.0 - 300,
           (cpu_seconds() - cpu0) * 1000, rows(), b.probe.max_gap_us / 1000.0, b.probe.max_gap_cpu_us / 1000.0);
}

void key(GtkMovementStep step, int count)
{
    focus(true);
    gboolean handled = FALSE;
    g_signal_emit_by_name(b.trace, "move-cursor", step, count, &handled);
}

}  // namespace

int main(int argc, char **argv)
{
    gtk_init(&argc, &argv);
    setvbuf(stdout, nullptr, _IOLBF, 0);
    if (argc > 1)
        b.history = (unsigned)atoi(argv[1]);
    if (argc > 2)
        b.seconds = atof(argv[2]);
    if (b.history < 1000 || b.history > 2000000 || b.seconds <= 0) {
        fprintf(stderr, "usage: %s [history 1000..2000000] [seconds]\n", argv[0]);
        return 2;
    }
    GtkWidget *page = bench_plugin_page(BENCH_STAGE_DIR, "busview");
    if (!page)
        return 1;
    b.window = gtk_widget_get_toplevel(page);
    b.trace = find_named(page, "busview-trace");
    GtkWidget *status = find_named(page, "busview-status");
    the_app.chan.running = 1;
    gtk_spin_button_set_value(GTK_SPIN_BUTTON(find_named(page, "busview-history")), b.history);
    b.feed.origin_us = g_get_real_time();
    bench_pump_for(300);
    g_timeout_add_full(G_PRIORITY_HIGH, 2, on_probe, nullptr, nullptr);
    g_timeout_add_full(150, 20, on_tick, nullptr, nullptr);
    bv_feed_frames(&b.feed, b.history, false);
    char lines[32];
    g_snprintf(lines, sizeof lines, "Lines: %u", b.history);
    if (!bench_run_until([&] { return strstr(gtk_label_get_text(GTK_LABEL(status)), lines); }, 60)) {
        fprintf(stderr, "the trace did not fill: %s\n", gtk_label_get_text(GTK_LABEL(status)));
        return 1;
    }

    printf("bus viewer trace of %u lines, %.0f frames/s of length 0\n", b.history, b.feed.fps);
    focus(false);
    double plain = follow(b.seconds);
    focus(true);
    GtkTreePath *start = nullptr, *end = nullptr;
    if (gtk_tree_view_get_visible_range(GTK_TREE_VIEW(b.trace), &start, &end)) {
        gtk_tree_view_set_cursor(GTK_TREE_VIEW(b.trace), end, nullptr, FALSE);
        gtk_tree_path_free(start);
        gtk_tree_path_free(end);
    }
    double focused = follow(b.seconds);
    printf("  following: CPU %.1f ms per second of traffic without the focus, %.1f with it"
           " and a cursor (%.2fx)\n", plain, focused, focused / plain);
    bool focus_kept = gtk_widget_has_focus(b.trace);

    bench_pump_for(500);          /* the traffic has stopped */
    const int all = (int)b.history;
    GtkAdjustment *adj = gtk_tree_view_get_vadjustment(GTK_TREE_VIEW(b.trace));
    measure("scroll bar 10 rows up", [&] {
        gtk_adjustment_set_value(adj, gtk_adjustment_get_value(adj) -
                                          10 * gtk_adjustment_get_upper(adj) / (rows() > 0 ? rows() : 1));
    }, [&] { return rows() == all; });
    measure("End", [&] { key(GTK_MOVEMENT_BUFFER_ENDS, 1); }, [&] { return rows() <= 4000; });
    measure("Page Up", [&] { key(GTK_MOVEMENT_PAGES, -1); },
            [&] { return rows() == all && cursor_row() < all - 2; });
    measure("Home", [&] { key(GTK_MOVEMENT_BUFFER_ENDS, -1); }, [&] { return cursor_row() == 0; });
    measure("End", [&] { key(GTK_MOVEMENT_BUFFER_ENDS, 1); }, [&] { return rows() <= 4000; });
    printf("  the view kept the focus while following: %s\n", focus_kept ? "yes" : "no");
    the_app.pgmgr.ops.pgmgr_release_all(&the_app.pgmgr);
    return 0;
}
