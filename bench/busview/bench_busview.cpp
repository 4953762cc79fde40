// Bus viewer benchmark: the plug-in loaded by the real manager into a
// shown window, fed frames at a saturated bus's rate in 20 ms batches
// from a GLib timeout, as the poller does. Prints the CPU time per second
// of traffic, the longest request, and the longest time the main loop did
// not get round to a high-priority 2 ms probe (a refresh or a redraw).
//
// usage: bench_busview [seconds] [frames_per_second] [length]
//        defaults 10, 20833, 0; run under scripts/with-xvfb.sh from a
//        release build.
#include <gtk/gtk.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/resource.h>

#include "app/nb_app.h"

namespace {

struct bench {
    double seconds = 10;
    double fps = 20833;           /* the simulated bus: 0x555, length 0, 48 bits at 1 Mbit/s */
    int len = 0;
    int64_t start_us = 0;
    uint64_t fed = 0;
    uint64_t prefill = 0;
    int64_t max_request_us = 0;
    int64_t last_probe_us = 0;
    int64_t max_gap_us = 0;
    int64_t end_us = 0;
    zk_frame batch[NB_RX_BATCH];
    GMainLoop *loop = nullptr;
};

bench b;

double cpu_seconds(void)
{
    struct rusage ru;
    getrusage(RUSAGE_SELF, &ru);
    return (double)ru.ru_utime.tv_sec + ru.ru_utime.tv_usec / 1e6 + (double)ru.ru_stime.tv_sec +
           ru.ru_stime.tv_usec / 1e6;
}

void feed(uint64_t n, bool timed)
{
    while (n > 0) {
        int k = n > NB_RX_BATCH ? NB_RX_BATCH : (int)n;
        for (int i = 0; i < k; i++) {
            zk_frame &f = b.batch[i];
            memset(&f, 0, sizeof f);
            f.id = 0x555;
            f.len = (uint8_t)b.len;
            uint64_t c = b.fed + (uint64_t)i;
            for (int j = 0; j < b.len; j++)
                f.data[j] = (uint8_t)(c >> (8 * (j & 3)));
            f.ts = (uint32_t)((double)c * 1e6 / b.fps);
        }
        int64_t t0 = g_get_monotonic_time();
        the_app.pgmgr.ops.pgmgr_rx_frames(&the_app.pgmgr, b.batch, k);
        int64_t dt = g_get_monotonic_time() - t0;
        if (timed && dt > b.max_request_us)
            b.max_request_us = dt;
        b.fed += (uint64_t)k;
        n -= (uint64_t)k;
    }
}

gboolean on_tick(gpointer)
{
    int64_t now = g_get_monotonic_time();
    uint64_t due = b.prefill + (uint64_t)((double)(now - b.start_us) / 1e6 * b.fps);
    if (due > b.fed)
        feed(due - b.fed, true);
    if (now >= b.end_us) {
        g_main_loop_quit(b.loop);
        return FALSE;
    }
    return TRUE;
}

gboolean on_probe(gpointer)
{
    int64_t now = g_get_monotonic_time();
    if (b.last_probe_us && now - b.last_probe_us > b.max_gap_us)
        b.max_gap_us = now - b.last_probe_us;
    b.last_probe_us = now;
    return TRUE;
}

GtkWidget *find_named(GtkWidget *w, const char *name)
{
    if (g_strcmp0(gtk_widget_get_name(w), name) == 0)
        return w;
    if (!GTK_IS_CONTAINER(w))
        return nullptr;
    GList *children = gtk_container_get_children(GTK_CONTAINER(w));
    GtkWidget *found = nullptr;
    for (GList *l = children; l && !found; l = l->next)
        found = find_named(GTK_WIDGET(l->data), name);
    g_list_free(children);
    return found;
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
    if (argc > 1)
        b.seconds = atof(argv[1]);
    if (argc > 2)
        b.fps = atof(argv[2]);
    if (argc > 3)
        b.len = atoi(argv[3]);
    if (b.seconds <= 0 || b.fps <= 0 || b.len < 0 || b.len > 8) {
        fprintf(stderr, "usage: %s [seconds] [frames_per_second] [length 0..8]\n", argv[0]);
        return 2;
    }

    app_init();
    the_app.chan.number = 0;
    the_app.chan.frame_format = 6;
    the_app.chan.baud_index = 9;
    the_app.chan.running = 1;
    GtkWidget *window = gtk_window_new(GTK_WINDOW_TOPLEVEL);
    gtk_window_set_default_size(GTK_WINDOW(window), 1000, 650);
    GtkWidget *notebook = gtk_notebook_new();
    gtk_container_add(GTK_CONTAINER(window), notebook);
    the_app.gui.notebook = notebook;
    gtk_widget_show_all(window);

    char path[NB_TEXT_MAX];
    g_snprintf(path, sizeof path, "%s/busview.so", BENCH_STAGE_DIR);
    nb_plugin *entry = the_app.pgmgr.ops.pgmgr_add(&the_app.pgmgr, path, sizeof path);
    if (!entry || pgmgr_load(&the_app, entry) != 0 || !entry->page) {
        fprintf(stderr, "cannot load %s\n", path);
        return 1;
    }
    GtkWidget *trace = find_named(entry->page, "busview-trace");
    GtkWidget *status = find_named(entry->page, "busview-status");
    pump_for(500);

    // Start with a full ring, so every refresh drops as many rows as it adds.
    feed(100000, false);
    b.prefill = b.fed;
    pump_for(500);

    b.loop = g_main_loop_new(nullptr, FALSE);
    b.start_us = g_get_monotonic_time();
    b.end_us = b.start_us + (int64_t)(b.seconds * 1e6);
    double cpu0 = cpu_seconds();
    g_timeout_add_full(150, 20, on_tick, nullptr, nullptr);
    g_timeout_add_full(G_PRIORITY_HIGH, 2, on_probe, nullptr, nullptr);
    g_main_loop_run(b.loop);
    double wall = (double)(g_get_monotonic_time() - b.start_us) / 1e6;
    double cpu = cpu_seconds() - cpu0;
    char status_at_end[512];
    g_strlcpy(status_at_end, gtk_label_get_text(GTK_LABEL(status)), sizeof status_at_end);
    pump_for(300);  // the last refresh counts the last batch

    GtkTreeModel *model = gtk_tree_view_get_model(GTK_TREE_VIEW(trace));
    int rows = model ? gtk_tree_model_iter_n_children(model, nullptr) : -1;
    char expect[64];
    g_snprintf(expect, sizeof expect, "Received: %llu ", (unsigned long long)b.fed);
    const char *text = gtk_label_get_text(GTK_LABEL(status));
    bool counted = strstr(text, expect) != nullptr;

    printf("busview: %.0f frames/s of length %d for %.1f s (%llu frames, %llu before)\n", b.fps,
           b.len, wall, (unsigned long long)(b.fed - b.prefill), (unsigned long long)b.prefill);
    printf("  CPU %.1f ms per second of traffic (%.1f %% of one core)\n", cpu / wall * 1000,
           cpu / wall * 100);
    printf("  longest request %.2f ms, longest main-loop stall %.1f ms\n",
           b.max_request_us / 1000.0, b.max_gap_us / 1000.0);
    printf("  trace rows %d, counts %s\n  status while running: %s\n", rows,
           counted ? "complete" : "MISSING", status_at_end);

    the_app.pgmgr.ops.pgmgr_release_all(&the_app.pgmgr);
    gtk_widget_destroy(window);
    return counted && rows == 100000 ? 0 : 1;
}
