// Bus viewer benchmark: the plug-in loaded by the real manager into a
// shown window, fed a saturated bus's frames as the host hands them on
// (PGRP_STREAM records, 20 ms batches from a GLib timeout). Prints the CPU
// time per second of traffic, the longest request, and the longest time
// the main loop did not get round to a high-priority 2 ms probe (a
// refresh or a redraw).
//
// usage: bench_busview [seconds] [frames_per_second] [length] [mode] [history]
//        defaults 10, 20833, 0, trace, 100000; run under scripts/with-xvfb.sh from
//        a release build. mode "trace-ids": the trace, the frames carrying
//        2,048 identifiers in turn (as the side-by-side sat0 feed); "ids": the
//        per-identifier view is shown and the frames carry 2,048 identifiers;
//        "filter": 2,048 identifiers, and after the first second the filter
//        100-1FF is typed one key every 150 ms (the longest refresh comes from
//        the plug-in's own figures, printed at the end). A length above 8 (an
//        FD length up to 64) feeds CAN FD frames with BRS, as a CAN FD channel
//        delivers them.
#include <gtk/gtk.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/resource.h>
#include <time.h>
#include <unistd.h>

#include "app/nb_app.h"

#include "bench_cpu.h"
#include "bench_page.h"
#include "bench_widgets.h"
#include "bvfeed.h"

namespace {

struct bench {
    double seconds = 10;
    bv_feed feed;
    const char *mode = "trace";
    unsigned history = 100000;    /* lines the trace keeps, prefilled */
    GtkWidget *filter = nullptr;
    GtkWidget *filter_msg = nullptr;
    int64_t filtering_from_us = 0;   /* "Filtering..." first seen */
    int64_t filtering_until_us = 0;  /* and gone again */
    int filter_turns = 0;            /* probes while it was shown */
    int typed = 0;
    int64_t start_us = 0;
    uint64_t prefill = 0;
    bv_probe probe;
    int64_t end_us = 0;
    GMainLoop *loop = nullptr;
};

bench b;

gboolean on_tick(gpointer)
{
    int64_t now = g_get_monotonic_time();
    uint64_t due = b.prefill + (uint64_t)((double)(now - b.start_us) / 1e6 * b.feed.fps);
    if (due > b.feed.fed)
        bv_feed_frames(&b.feed, due - b.feed.fed, true);
    if (now >= b.end_us) {
        g_main_loop_quit(b.loop);
        return FALSE;
    }
    return TRUE;
}

gboolean on_key(gpointer)
{
    static const char text[] = "100-1FF";
    if (b.typed >= (int)sizeof text - 1)
        return FALSE;
    char part[sizeof text];
    g_strlcpy(part, text, (size_t)++b.typed + 1);
    gtk_entry_set_text(GTK_ENTRY(b.filter), part);
    return TRUE;
}

/* The stall probe; with the filter typed, how long its note stays. */
gboolean on_probe(gpointer)
{
    int64_t now = bv_probe_tick(&b.probe);
    if (b.filter_msg && !b.filtering_until_us) {
        /* The typed texts are all valid: the only message is the note
         * that the filter is on its way. */
        bool filtering = gtk_widget_get_visible(b.filter_msg) &&
                         gtk_label_get_text(GTK_LABEL(b.filter_msg))[0] != '\0';
        if (filtering && !b.filtering_from_us)
            b.filtering_from_us = now;
        if (filtering)
            b.filter_turns++;
        else if (b.filtering_from_us)
            b.filtering_until_us = now;
    }
    return TRUE;
}

void pump_for(int ms)
{
    int64_t until = g_get_monotonic_time() + ms * 1000;
    while (g_get_monotonic_time() < until)
        g_main_context_iteration(nullptr, FALSE);
}

}  // namespace

int main(int argc, char **argv)
{
    gtk_init(&argc, &argv);
    b.feed.origin_us = g_get_real_time();
    if (argc > 1)
        b.seconds = atof(argv[1]);
    if (argc > 2)
        b.feed.fps = atof(argv[2]);
    if (argc > 3)
        b.feed.len = atoi(argv[3]);
    if (argc > 4)
        b.mode = argv[4];
    if (argc > 5)
        b.history = (unsigned)atoi(argv[5]);
    b.feed.many_ids = strcmp(b.mode, "trace") != 0;
    const bool trace_mode = strncmp(b.mode, "trace", 5) == 0;
    if (b.seconds <= 0 || b.feed.fps <= 0 || b.feed.len < 0 || b.feed.len > 64 ||
        (strcmp(b.mode, "trace") != 0 && strcmp(b.mode, "trace-ids") != 0 &&
         strcmp(b.mode, "ids") != 0 && strcmp(b.mode, "filter") != 0) ||
        b.history < 1000 || b.history > 2000000) {
        fprintf(stderr, "usage: %s [seconds] [frames_per_second] [length 0..64] [trace|trace-ids|ids|filter]"
                        " [history 1000..2000000]\n",
                argv[0]);
        return 2;
    }
    char stats[] = "/tmp/bench_busview_XXXXXX";
    int stats_fd = mkstemp(stats);
    if (stats_fd >= 0) {
        close(stats_fd);
        setenv("BUSVIEW_STATS", stats, 1);
    }

    GtkWidget *page = bench_plugin_page(BENCH_STAGE_DIR, "busview");
    if (!page)
        return 1;
    the_app.chan.running = 1;
    GtkWidget *trace = find_named(page, "busview-trace");
    GtkWidget *status = find_named(page, "busview-status");
    b.filter = find_named(page, "busview-filter");
    if (strcmp(b.mode, "filter") == 0)
        b.filter_msg = find_named(page, "busview-filter-message");
    if (strcmp(b.mode, "ids") == 0)
        gtk_combo_box_set_active(GTK_COMBO_BOX(find_named(page, "busview-view")), 1);
    gtk_spin_button_set_value(GTK_SPIN_BUTTON(find_named(page, "busview-history")), b.history);
    pump_for(500);

    // Start with a full ring, so every refresh drops as many rows as it adds.
    // The probe runs from here on: the refresh that lists these frames
    // (2,048 new rows in the ids mode) is measured on its own.
    g_timeout_add_full(G_PRIORITY_HIGH, 2, on_probe, nullptr, nullptr);
    bv_feed_frames(&b.feed, b.history, false);
    b.prefill = b.feed.fed;
    b.probe.last_us = 0;
    pump_for(500);
    int64_t first_gap_us = b.probe.max_gap_us, first_gap_cpu_us = b.probe.max_gap_cpu_us;
    bv_probe_reset(&b.probe);

    b.loop = g_main_loop_new(nullptr, FALSE);
    b.start_us = g_get_monotonic_time();
    b.end_us = b.start_us + (int64_t)(b.seconds * 1e6);
    double cpu0 = cpu_seconds();
    g_timeout_add_full(150, 20, on_tick, nullptr, nullptr);
    if (strcmp(b.mode, "filter") == 0)
        g_timeout_add_full(G_PRIORITY_DEFAULT, 150, on_key, nullptr, nullptr);
    g_main_loop_run(b.loop);
    double wall = (double)(g_get_monotonic_time() - b.start_us) / 1e6;
    double cpu = cpu_seconds() - cpu0;
    char status_at_end[512];
    g_strlcpy(status_at_end, gtk_label_get_text(GTK_LABEL(status)), sizeof status_at_end);
    pump_for(300);  // the last refresh counts the last batch

    GtkTreeModel *model = gtk_tree_view_get_model(GTK_TREE_VIEW(trace));
    int rows = model ? gtk_tree_model_iter_n_children(model, nullptr) : -1;
    char expect[64];
    g_snprintf(expect, sizeof expect, "Received: %llu ", (unsigned long long)b.feed.fed);
    const char *text = gtk_label_get_text(GTK_LABEL(status));
    bool counted = strstr(text, expect) != nullptr;
    char lines[32];
    g_snprintf(lines, sizeof lines, "Lines: %u", b.history);
    bool full = !trace_mode || strstr(text, lines) != nullptr;

    // The user scrolls ten rows back: the view, which kept the newest
    // lines only while it followed the end, takes all of them (a long
    // trace in slices: until then, or 20 s).
    int64_t run_gap_us = b.probe.max_gap_us, run_gap_cpu_us = b.probe.max_gap_cpu_us;
    int64_t back_gap_us = -1, back_gap_cpu_us = -1;
    int rows_back = -1;
    double back_ms = 0, back_cpu_ms = 0;
    if (trace_mode) {
        GtkAdjustment *adj = gtk_tree_view_get_vadjustment(GTK_TREE_VIEW(trace));
        bv_probe_reset(&b.probe);
        pump_for(50);
        gtk_adjustment_set_value(adj, gtk_adjustment_get_value(adj) - 10 * gtk_adjustment_get_upper(adj) /
                                                                          (rows > 0 ? rows : 1));
        int64_t until = g_get_monotonic_time() + 20000000;
        double back_cpu0 = cpu_seconds();
        do {
            pump_for(100);
            model = gtk_tree_view_get_model(GTK_TREE_VIEW(trace));
        } while ((!model || gtk_tree_model_iter_n_children(model, nullptr) < (int)b.history) &&
                 g_get_monotonic_time() < until);
        back_ms = (g_get_monotonic_time() - (until - 20000000)) / 1000.0;
        back_cpu_ms = (cpu_seconds() - back_cpu0) * 1000.0;
        back_gap_us = b.probe.max_gap_us;
        back_gap_cpu_us = b.probe.max_gap_cpu_us;
        model = gtk_tree_view_get_model(GTK_TREE_VIEW(trace));
        rows_back = model ? gtk_tree_model_iter_n_children(model, nullptr) : -1;
    }

    printf("busview: %.0f frames/s of length %d for %.1f s (%llu frames, %llu before)\n", b.feed.fps,
           b.feed.len, wall, (unsigned long long)(b.feed.fed - b.prefill), (unsigned long long)b.prefill);
    printf("  CPU %.1f ms per second of traffic (%.1f %% of one core)\n", cpu / wall * 1000,
           cpu / wall * 100);
    printf("  longest request %.2f ms, longest main-loop stall %.1f ms (%.1f ms of CPU)\n",
           b.feed.max_request_us / 1000.0, run_gap_us / 1000.0, run_gap_cpu_us / 1000.0);
    printf("  longest main-loop stall while the first %llu frames were listed %.1f ms (%.1f ms of CPU)\n",
           (unsigned long long)b.prefill, first_gap_us / 1000.0, first_gap_cpu_us / 1000.0);
    if (b.filter_msg)
        printf("  the filter took %.0f ms from its note to the new lines (%d probes)\n",
               (b.filtering_until_us - b.filtering_from_us) / 1000.0, b.filter_turns);
    printf("  trace rows %d, counts %s\n  status while running: %s\n", rows,
           counted ? "complete" : "MISSING", status_at_end);
    if (rows_back >= 0)
        printf("  scrolled back: %d rows within %.0f ms (%.0f ms of CPU), longest main-loop stall %.1f ms"
               " (%.1f ms of CPU)\n",
               rows_back, back_ms, back_cpu_ms, back_gap_us / 1000.0, back_gap_cpu_us / 1000.0);

    the_app.pgmgr.ops.pgmgr_release_all(&the_app.pgmgr);
    if (stats_fd >= 0) {
        gchar *text = nullptr;
        if (g_file_get_contents(stats, &text, nullptr, nullptr))
            printf("  plug-in: %s", text);
        g_free(text);
        unlink(stats);
    }
    return counted && full ? 0 : 1;
}
