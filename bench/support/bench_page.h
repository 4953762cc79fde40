/*
 * bench_page.h - a plug-in's page in a shown window, for the benchmarks
 * that drive a page as a user would: the real manager loads the plug-in,
 * the main loop runs until a condition holds, a file chooser is answered
 * as a user answers it, and the process's peak resident size.
 */
#ifndef BENCH_PAGE_H
#define BENCH_PAGE_H

#include <gtk/gtk.h>
#include <stdio.h>
#include <string.h>
#include <sys/resource.h>

#include "app/nb_app.h"

/* The plug-in NAME.so of folder stage loaded into a 1000 x 650 window (its
 * page), or null with the reason printed. */
static inline GtkWidget *bench_plugin_page(const char *stage, const char *name)
{
    app_init();
    the_app.chan.number = 0;
    the_app.chan.frame_format = 6;
    the_app.chan.baud_index = 9;
    GtkWidget *window = gtk_window_new(GTK_WINDOW_TOPLEVEL);
    gtk_window_set_default_size(GTK_WINDOW(window), 1000, 650);
    GtkWidget *notebook = gtk_notebook_new();
    gtk_container_add(GTK_CONTAINER(window), notebook);
    the_app.gui.notebook = notebook;
    gtk_widget_show_all(window);
    char path[NB_TEXT_MAX];
    g_snprintf(path, sizeof path, "%s/%s.so", stage, name);
    nb_plugin *entry = the_app.pgmgr.ops.pgmgr_add(&the_app.pgmgr, path, sizeof path);
    if (!entry || pgmgr_load(&the_app, entry) != 0 || !entry->page) {
        fprintf(stderr, "cannot load %s\n", path);
        return nullptr;
    }
    return entry->page;
}

/* Runs the main loop until cond holds; false after timeout_s. */
template <typename F> bool bench_run_until(F cond, double timeout_s)
{
    int64_t until = g_get_monotonic_time() + (int64_t)(timeout_s * 1e6);
    while (!cond()) {
        if (g_get_monotonic_time() > until)
            return false;
        g_main_context_iteration(nullptr, TRUE);
    }
    return true;
}

static inline void bench_pump_for(int ms)
{
    int64_t until = g_get_monotonic_time() + ms * 1000;
    bench_run_until([&] { return g_get_monotonic_time() >= until; }, ms / 1000.0 + 1);
}

/* Answers the shown file chooser with path once it offers that file (it
 * takes a file in asynchronously); true when it was answered. */
static inline bool bench_answer_chooser(const char *path)
{
    GList *tops = gtk_window_list_toplevels();
    GtkWidget *dlg = nullptr;
    for (GList *l = tops; l; l = l->next)
        if (GTK_IS_FILE_CHOOSER_DIALOG(l->data) && gtk_widget_get_mapped(GTK_WIDGET(l->data)))
            dlg = GTK_WIDGET(l->data);
    g_list_free(tops);
    if (!dlg)
        return false;
    gchar *fn = gtk_file_chooser_get_filename(GTK_FILE_CHOOSER(dlg));
    bool there = fn && strcmp(fn, path) == 0;
    g_free(fn);
    if (!there) {
        gtk_file_chooser_set_filename(GTK_FILE_CHOOSER(dlg), path);
        return false;
    }
    gtk_dialog_response(GTK_DIALOG(dlg), GTK_RESPONSE_ACCEPT);
    return true;
}

static inline long bench_peak_rss_kb(void)
{
    struct rusage ru;
    getrusage(RUSAGE_SELF, &ru);
    return ru.ru_maxrss;
}

#endif
