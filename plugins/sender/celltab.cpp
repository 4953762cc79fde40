/*
 * celltab.cpp - Tab and Shift+Tab while a cell of the message list is
 * being edited: the edit is taken as Enter takes it, and editing goes on
 * in the next (previous) editable cell, row after row. A tree view
 * otherwise ends the edit and moves the focus out of the list.
 */
#include "sender.h"

#include <gdk/gdkkeysyms.h>

namespace {

/* Where editing goes next, set while the edit is taken and used from an
 * idle call, once the finished edit's widget is gone. */
struct tab_move {
    GtkTreeView *view;
    int row;
    int column;      /* index among the view's columns */
    int step;        /* +1 Tab, -1 Shift+Tab */
};
tab_move s_move;
guint s_idle;

bool column_editable(GtkTreeViewColumn *column)
{
    if (!gtk_tree_view_column_get_visible(column))
        return false;   /* the channel column while the window has one channel */
    GList *cells = gtk_cell_layout_get_cells(GTK_CELL_LAYOUT(column));
    gboolean editable = FALSE;
    if (cells && GTK_IS_CELL_RENDERER_TEXT(cells->data))
        g_object_get(cells->data, "editable", &editable, NULL);
    g_list_free(cells);
    return editable;
}

gboolean start_next_edit(gpointer)
{
    s_idle = 0;
    GtkTreeView *view = s_move.view;
    if (!view || !GTK_IS_TREE_VIEW(view))
        return FALSE;
    GtkTreeModel *model = gtk_tree_view_get_model(view);
    int rows = model ? gtk_tree_model_iter_n_children(model, nullptr) : 0;
    int columns = 0;
    while (gtk_tree_view_get_column(view, columns))
        columns++;
    int row = s_move.row, col = s_move.column;
    /* At most one lap over every cell: stops on the first editable one. */
    for (int n = 0; rows > 0 && n < rows * columns; n++) {
        col += s_move.step;
        if (col >= columns) {
            col = 0;
            row = (row + 1) % rows;
        } else if (col < 0) {
            col = columns - 1;
            row = (row + rows - 1) % rows;
        }
        GtkTreeViewColumn *c = gtk_tree_view_get_column(view, col);
        if (!column_editable(c))
            continue;
        GtkTreePath *path = gtk_tree_path_new_from_indices(row, -1);
        gtk_widget_grab_focus(GTK_WIDGET(view));
        gtk_tree_view_set_cursor(view, path, c, TRUE);
        gtk_tree_path_free(path);
        break;
    }
    return FALSE;
}

gboolean on_editor_key(GtkWidget *editor, GdkEventKey *event, gpointer data)
{
    if (event->keyval != GDK_Tab && event->keyval != GDK_ISO_Left_Tab &&
        event->keyval != GDK_KP_Tab)
        return FALSE;
    GtkTreeView *view = GTK_TREE_VIEW(data);
    GtkTreePath *path = nullptr;
    GtkTreeViewColumn *column = nullptr;
    gtk_tree_view_get_cursor(view, &path, &column);
    if (!path || !column) {
        if (path)
            gtk_tree_path_free(path);
        return FALSE;
    }
    GList *all = gtk_tree_view_get_columns(view);
    s_move = {view, gtk_tree_path_get_indices(path)[0], g_list_index(all, column),
              (event->state & GDK_SHIFT_MASK) || event->keyval == GDK_ISO_Left_Tab ? -1 : 1};
    g_list_free(all);
    gtk_tree_path_free(path);
    /* Taken like Enter: the renderer reports "edited" with the text. */
    gtk_cell_editable_editing_done(GTK_CELL_EDITABLE(editor));
    gtk_cell_editable_remove_widget(GTK_CELL_EDITABLE(editor));
    if (!s_idle)
        s_idle = g_idle_add(start_next_edit, nullptr);
    return TRUE;
}

void on_editing_started(GtkCellRenderer *, GtkCellEditable *editable, gchar *, gpointer view)
{
    if (GTK_IS_ENTRY(editable))
        g_signal_connect(editable, "key-press-event", G_CALLBACK(on_editor_key), view);
}

}  // namespace

void sd_tab_through_cells(GtkTreeView *view, GtkCellRenderer *renderer)
{
    g_signal_connect(renderer, "editing-started", G_CALLBACK(on_editing_started), view);
}

void sd_tab_release(void)
{
    if (s_idle)
        g_source_remove(s_idle);
    s_idle = 0;
    s_move = {};
}
