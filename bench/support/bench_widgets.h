/*
 * bench_widgets.h - finding a plug-in page's widgets by name, for the
 * benchmarks that drive a page as a user would.
 */
#ifndef BENCH_WIDGETS_H
#define BENCH_WIDGETS_H

#include <gtk/gtk.h>
#include <stdio.h>
#include <stdlib.h>

/* The first widget named name (gtk_widget_set_name) at or below w. */
static inline GtkWidget *find_named(GtkWidget *w, const char *name)
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

/* The same, or the process ends saying which widget is missing: a
 * benchmark cannot go on without it. */
static inline GtkWidget *need_named(GtkWidget *root, const char *name)
{
    GtkWidget *w = find_named(root, name);
    if (!w) {
        fprintf(stderr, "no widget %s\n", name);
        exit(1);
    }
    return w;
}

/* The number of top-level rows a tree view's model holds (0 without one). */
static inline int view_rows(GtkWidget *view)
{
    GtkTreeModel *m = gtk_tree_view_get_model(GTK_TREE_VIEW(view));
    return m ? gtk_tree_model_iter_n_children(m, nullptr) : 0;
}

#endif
