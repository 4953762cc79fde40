/*
 * bench_widgets.h - finding a plug-in page's widgets by name, for the
 * benchmarks that drive a page as a user would.
 */
#ifndef BENCH_WIDGETS_H
#define BENCH_WIDGETS_H

#include <gtk/gtk.h>

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

#endif
