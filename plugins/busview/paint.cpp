/*
 * paint.cpp - the trace views draw their rows themselves.
 *
 * A trace that follows a saturated bus has new lines in every row in
 * sight at each refresh. GtkTreeView draws a row cell by cell, and for
 * every cell reads its data twice, looks up the view's style properties,
 * freezes and thaws the cell's notifications and paints the cell's own
 * background box: most of what a refresh costs. This handler draws the
 * rows an expose asks for in one pass: each row's background box once,
 * each cell's data read once, each cell rendered by its own renderer in
 * the areas GtkTreeView gives it, so the pixels are GtkTreeView's; the
 * cells draw with one cairo context for the whole expose.
 *
 * What it does not reproduce stays GtkTreeView's to draw: the cursor's
 * row of a view with the keyboard focus (its focus line), an insensitive
 * or right-to-left view, themes that draw row ends apart, rules and grid
 * lines, a variable row height, and an expose reaching below the last
 * row. Setting the data "busview-gtk-paint" on the view leaves all of it
 * to GtkTreeView (what the handler's pixels are compared with).
 */
#include "busview.h"

namespace {

/* The trace views have eight columns and the filler. */
constexpr int MAX_COLUMNS = 16;

struct painted_column {
    GtkTreeViewColumn *column;
    GtkCellRenderer *cell;        /* null: a column that draws nothing */
    gpointer data;                /* for bv_set_cell */
    int x;
    int width;
};

/* The expose being drawn: its window, and the one cairo context its
 * cells draw with (made when the first one asks). */
GdkDrawable *painting;
cairo_t *painting_cr;

const char *const CELL_KEY = "bv-paint-cell";
const char *const DATA_KEY = "bv-paint-data";

/* The visible columns from the left, with their cells; false when one of
 * them was not made for this drawing. */
bool read_columns(GtkTreeView *view, painted_column *cols, int *ncols, int *width)
{
    GList *all = gtk_tree_view_get_columns(view);
    bool ok = true;
    int n = 0, x = 0;
    for (GList *l = all; l; l = l->next) {
        GtkTreeViewColumn *c = GTK_TREE_VIEW_COLUMN(l->data);
        if (!gtk_tree_view_column_get_visible(c))
            continue;
        gpointer cell = g_object_get_data(G_OBJECT(c), CELL_KEY);
        if (!cell || n == MAX_COLUMNS) {
            ok = false;
            break;
        }
        int w = gtk_tree_view_column_get_width(c);
        cols[n++] = {c, cell == c ? nullptr : GTK_CELL_RENDERER(cell),
                     g_object_get_data(G_OBJECT(c), DATA_KEY), x, w};
        x += w;
    }
    g_list_free(all);
    *ncols = n;
    *width = x;
    return ok && n > 0;
}

/* GtkTreeView draws the part of an expose that falls on the row at y. */
void leave_row_to_gtk(GtkWidget *widget, GdkEventExpose *ev, int y, int row_h)
{
    GdkRectangle row = {ev->area.x, y, ev->area.width, row_h};
    GdkRegion *region = gdk_region_rectangle(&row);
    gdk_region_intersect(region, ev->region);
    if (!gdk_region_empty(region)) {
        GdkEventExpose part = *ev;
        part.region = region;
        gdk_region_get_clipbox(region, &part.area);
        GTK_WIDGET_GET_CLASS(widget)->expose_event(widget, &part);
    }
    gdk_region_destroy(region);
}

gboolean on_expose(GtkWidget *widget, GdkEventExpose *ev, gpointer)
{
    GtkTreeView *view = GTK_TREE_VIEW(widget);
    GtkTreeModel *model = gtk_tree_view_get_model(view);
    if (ev->window != gtk_tree_view_get_bin_window(view) || !model ||
        g_object_get_data(G_OBJECT(widget), "busview-gtk-paint") ||
        gtk_widget_get_state(widget) != GTK_STATE_NORMAL ||
        gtk_widget_get_direction(widget) == GTK_TEXT_DIR_RTL ||
        !gtk_tree_view_get_fixed_height_mode(view) || gtk_tree_view_get_rules_hint(view) ||
        gtk_tree_view_get_grid_lines(view) != GTK_TREE_VIEW_GRID_LINES_NONE ||
        gtk_tree_view_get_enable_tree_lines(view) || ev->area.height <= 0)
        return FALSE;
    gint hsep = 0, vsep = 0, focus_line = 0;
    gboolean row_ends = FALSE;
    gtk_widget_style_get(widget, "horizontal-separator", &hsep, "vertical-separator", &vsep,
                         "focus-line-width", &focus_line, "row-ending-details", &row_ends, nullptr);
    painted_column cols[MAX_COLUMNS];
    int ncols = 0, width = 0;
    if (row_ends || !read_columns(view, cols, &ncols, &width))
        return FALSE;

    /* All rows have the height of the last; rows lie above it one after
     * the other. */
    gint n = gtk_tree_model_iter_n_children(model, nullptr);
    if (n <= 0)
        return FALSE;
    GtkTreePath *last = gtk_tree_path_new_from_indices(n - 1, -1);
    GdkRectangle last_row = {0, 0, 0, 0};
    gtk_tree_view_get_background_area(view, last, nullptr, &last_row);
    gtk_tree_path_free(last);
    int row_h = last_row.height, end = ev->area.y + ev->area.height;
    if (row_h <= 0 || end > last_row.y + row_h)
        return FALSE;
    int above = last_row.y > ev->area.y ? (last_row.y - ev->area.y + row_h - 1) / row_h : 0;
    if (above > n - 1)
        return FALSE;
    int k = n - 1 - above;
    int y = last_row.y - above * row_h;
    GtkTreeIter it;
    if (!gtk_tree_model_iter_nth_child(model, &it, nullptr, k))
        return FALSE;

    /* GtkTreeView keeps to itself whether it shows the focus line: the
     * cursor's row of a view with the focus is left to it. */
    int cursor = -1, cursor_y = 0;
    bool cursor_in = false;
    if (gtk_widget_has_focus(widget)) {
        GtkTreePath *path = nullptr;
        gtk_tree_view_get_cursor(view, &path, nullptr);
        if (path) {
            cursor = gtk_tree_path_get_indices(path)[0];
            gtk_tree_path_free(path);
        }
    }

    painting = ev->window;
    GtkStyle *style = gtk_widget_get_style(widget);
    GtkTreeSelection *selection = gtk_tree_view_get_selection(view);
    int area_right = ev->area.x + ev->area.width;
    for (bool more = true; more && y < end; k++, y += row_h, more = gtk_tree_model_iter_next(model, &it)) {
        GdkRectangle row = {0, y, width, row_h};
        if (gdk_region_rect_in(ev->region, &row) == GDK_OVERLAP_RECTANGLE_OUT)
            continue;
        if (k == cursor) {
            cursor_y = y;
            cursor_in = true;
            continue;
        }
        bool selected = gtk_tree_selection_iter_is_selected(selection, &it);
        gtk_paint_flat_box(style, ev->window, selected ? GTK_STATE_SELECTED : GTK_STATE_NORMAL,
                           GTK_SHADOW_NONE, &ev->area, widget, (k & 1) ? "cell_odd" : "cell_even",
                           0, y, width, row_h);
        GtkCellRendererState flags = selected ? GTK_CELL_RENDERER_SELECTED : (GtkCellRendererState)0;
        for (int c = 0; c < ncols; c++) {
            const painted_column &pc = cols[c];
            GdkRectangle bg = {pc.x, y, pc.width, row_h};
            if (!pc.cell || bg.x >= area_right || bg.x + bg.width <= ev->area.x ||
                gdk_region_rect_in(ev->region, &bg) == GDK_OVERLAP_RECTANGLE_OUT)
                continue;
            /* The areas GtkTreeView gives a column's one cell: the
             * separators, then the focus line's width all round. */
            GdkRectangle area = {bg.x + hsep / 2, bg.y + vsep / 2, bg.width - hsep, bg.height - vsep};
            GdkRectangle inner = {area.x + focus_line, area.y + focus_line,
                                  area.width - 2 * focus_line, area.height - 2 * focus_line};
            bv_set_cell(pc.column, pc.cell, model, &it, pc.data);
            gtk_cell_renderer_render(pc.cell, ev->window, widget, &bg, &inner, &area, flags);
        }
    }
    if (painting_cr)
        cairo_destroy(painting_cr);
    painting_cr = nullptr;
    painting = nullptr;
    if (cursor_in)
        leave_row_to_gtk(widget, ev, cursor_y, row_h);
    return TRUE;
}

}  // namespace

cairo_t *bv_paint_cairo(GdkDrawable *window)
{
    if (!painting || window != painting)
        return nullptr;
    if (!painting_cr)
        painting_cr = gdk_cairo_create(window);
    return painting_cr;
}

void bv_paint_column(GtkTreeViewColumn *column, GtkCellRenderer *cell, gpointer data)
{
    g_object_set_data(G_OBJECT(column), CELL_KEY, cell ? (gpointer)cell : (gpointer)column);
    g_object_set_data(G_OBJECT(column), DATA_KEY, data);
}

void bv_paint_view(GtkWidget *view)
{
    g_signal_connect(view, "expose-event", G_CALLBACK(on_expose), nullptr);
}
