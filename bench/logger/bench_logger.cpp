// Logger benchmark: the plug-in loaded by the real manager logs frames fed
// in 512-frame requests (the poller's largest) as fast as it takes them,
// once to a candump log and once to an ASC file in a temporary folder.
// Prints the time per frame, the longest request (a buffer write-out
// included) and the share of one core that a saturated 1 Mbit/s bus of
// extended 8-byte frames (7,634 frames/s) would cost.
//
// usage: bench_logger [frames]   default 2,000,000; run under
//        scripts/with-xvfb.sh from a release build.
#include <gtk/gtk.h>
#include <glib/gstdio.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/resource.h>

#include "app/nb_app.h"

#include "bench_cpu.h"
#include "bench_widgets.h"

namespace {

int run(GtkWidget *page, const char *file, long frames)
{
    gtk_entry_set_text(GTK_ENTRY(find_named(page, "logger-file")), file);
    gtk_button_clicked(GTK_BUTTON(find_named(page, "logger-start")));
    static zk_frame batch[NB_RX_BATCH];
    int64_t max_us = 0;
    double cpu0 = cpu_seconds();
    int64_t t0 = g_get_monotonic_time();
    for (long fed = 0; fed < frames;) {
        int k = frames - fed > NB_RX_BATCH ? NB_RX_BATCH : (int)(frames - fed);
        for (int i = 0; i < k; i++) {
            zk_frame &f = batch[i];
            memset(&f, 0, sizeof f);
            f.id = 0x18DA0000u | (uint32_t)((fed + i) & 0xFFFF);
            f.flags = ZK_FRAME_EFF;
            f.len = 8;
            for (int j = 0; j < 8; j++)
                f.data[j] = (uint8_t)((fed + i) >> (j * 4));
            f.ts = (uint32_t)((fed + i) * 131);
        }
        int64_t a = g_get_monotonic_time();
        the_app.pgmgr.ops.pgmgr_rx_frames(&the_app.pgmgr, batch, k);
        int64_t d = g_get_monotonic_time() - a;
        if (d > max_us)
            max_us = d;
        fed += k;
    }
    gtk_button_clicked(GTK_BUTTON(find_named(page, "logger-stop")));
    double wall = (double)(g_get_monotonic_time() - t0) / 1e6;
    double cpu = cpu_seconds() - cpu0;
    GStatBuf st;
    long long size = g_stat(file, &st) == 0 ? (long long)st.st_size : -1;
    double ns = cpu / (double)frames * 1e9;
    printf("%s: %ld frames in %.2f s wall, %.0f ns CPU per frame, %lld bytes\n", file, frames,
           wall, ns, size);
    printf("  longest request %.2f ms; saturated 1 Mbit/s bus (7,634 frames/s): %.1f %% of "
           "one core\n",
           max_us / 1000.0, ns * 7634 / 1e9 * 100);
    const char *msg = gtk_label_get_text(GTK_LABEL(find_named(page, "logger-message")));
    if (msg && *msg) {
        printf("  message: %s\n", msg);
        return 1;
    }
    return 0;
}

}  // namespace

int main(int argc, char **argv)
{
    gtk_init(&argc, &argv);
    long frames = argc > 1 ? atol(argv[1]) : 2000000;
    if (frames <= 0) {
        fprintf(stderr, "usage: %s [frames]\n", argv[0]);
        return 2;
    }
    app_init();
    the_app.chan.number = 0;
    GtkWidget *window = gtk_window_new(GTK_WINDOW_TOPLEVEL);
    GtkWidget *notebook = gtk_notebook_new();
    gtk_container_add(GTK_CONTAINER(window), notebook);
    the_app.gui.notebook = notebook;
    gtk_widget_show_all(window);

    char path[NB_TEXT_MAX];
    g_snprintf(path, sizeof path, "%s/logger.so", BENCH_STAGE_DIR);
    nb_plugin *entry = the_app.pgmgr.ops.pgmgr_add(&the_app.pgmgr, path, sizeof path);
    if (!entry || pgmgr_load(&the_app, entry) != 0 || !entry->page) {
        fprintf(stderr, "cannot load %s\n", path);
        return 1;
    }
    gchar *dir = g_dir_make_tmp("bench_logger-XXXXXX", nullptr);
    if (!dir)
        return 1;
    gchar *log = g_build_filename(dir, "bench.log", nullptr);
    gchar *asc = g_build_filename(dir, "bench.asc", nullptr);
    int rc = run(entry->page, log, frames) | run(entry->page, asc, frames);
    g_unlink(log);
    g_unlink(asc);
    g_rmdir(dir);
    g_free(log);
    g_free(asc);
    g_free(dir);
    the_app.pgmgr.ops.pgmgr_release_all(&the_app.pgmgr);
    gtk_widget_destroy(window);
    return rc;
}
