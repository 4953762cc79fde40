/*
 * columns.cpp - text columns of the plug-ins' tree views.
 */
#include "pgparts.h"

namespace pgparts {

int text_width(GtkWidget *view, const char *text)
{
    PangoLayout *layout = gtk_widget_create_pango_layout(view, text);
    int w = 0, h = 0;
    pango_layout_get_pixel_size(layout, &w, &h);
    g_object_unref(layout);
    return w;
}

int title_width(GtkWidget *view, const char *title, int width)
{
    return MAX(width, text_width(view, title) + 16);
}

GtkTreeViewColumn *text_column(GtkWidget *view, const char *title, int col, unsigned flags, int width,
                               std::initializer_list<const char *> samples)
{
    GtkCellRenderer *cell = gtk_cell_renderer_text_new();
    GtkTreeViewColumn *c = gtk_tree_view_column_new_with_attributes(title, cell, "text", col, nullptr);
    gtk_tree_view_column_set_resizable(c, TRUE);
    if (flags & COLUMN_FIXED) {
        int xpad = 0;
        g_object_get(cell, "xpad", &xpad, nullptr);
        for (const char *t : samples)
            width = MAX(width, text_width(view, t) + 2 * xpad + 8);
        gtk_tree_view_column_set_sizing(c, GTK_TREE_VIEW_COLUMN_FIXED);
        gtk_tree_view_column_set_fixed_width(c, title_width(view, title, width));
    }
    gtk_tree_view_column_set_expand(c, (flags & COLUMN_EXPAND) != 0);
    if (flags & COLUMN_ELLIPSIZE)
        g_object_set(cell, "ellipsize", PANGO_ELLIPSIZE_END, nullptr);
    gtk_tree_view_append_column(GTK_TREE_VIEW(view), c);
    return c;
}

GtkCellRenderer *column_cell(GtkTreeViewColumn *c)
{
    GList *cells = gtk_cell_layout_get_cells(GTK_CELL_LAYOUT(c));
    GtkCellRenderer *cell = cells ? GTK_CELL_RENDERER(cells->data) : nullptr;
    g_list_free(cells);
    return cell;
}

}  // namespace pgparts
