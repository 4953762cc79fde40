/*
 * page.cpp - the plug-in's notebook page: tool bar, the live table of
 * messages and signals, the list of identifiers outside the databases,
 * the plot with its mouse and keys, and the 100 ms refresh.
 */
#include "signals.h"

#include <errno.h>
#include <gdk/gdkkeysyms.h>
#include <math.h>
#include <string.h>

#include <algorithm>

#include "pgparts.h"
#include "userfile.h"

char sg_folder_dbc[SG_PATH_MAX];
char sg_folder_export[SG_PATH_MAX];

namespace {

enum { UCOL_ID, UCOL_COUNT, UCOL_PERIOD, UCOL_DATA, N_UCOLS };

char status_shown[512];

/* What the user changed goes into the automatic session at once, so that
 * the keys the host gives again (Plugins > Configure closed) or the next
 * start find it; zooming and panning once the view settles. */
void user_changed(void)
{
    if (sg.page && !sg.updating)
        (void)nbpg_autosave();
}
void view_changed(void);

void fmt_period(char *buf, size_t size, double period)
{
    if (period < 0)
        buf[0] = '\0';
    else
        g_snprintf(buf, size, "%.3f", period * 1000.0);
}

void fmt_id(char *buf, size_t size, uint32_t id, int extended)
{
    g_snprintf(buf, size, extended ? "%08X" : "%03X", id);
}

/* Rows in sight are drawn from the message table: the view needs only to
 * be redrawn when something changed. */
void update_table(void)
{
    if (!sg.table)
        return;
    bool any = false;
    for (int i = 0; i < sg.nmsgs; i++)
        if (sg.msgs[i].dirty) {
            sg.msgs[i].dirty = 0;
            any = true;
        }
    if (any)
        gtk_widget_queue_draw(sg.w_table);
}

void update_unknown(void)
{
    if (!sg.unknown || !sg.unknown_store)
        return;
    for (uint32_t i = 0; i < SG_UNKNOWN_SLOTS; i++) {
        sg_unknown &u = sg.unknown[i];
        if (!u.used || !u.dirty)
            continue;
        u.dirty = 0;
        if (!u.in_view) {
            char id[48];
            fmt_id(id, sizeof id, u.key & 0x1FFFFFFFu, (u.key & 0x80000000u) != 0);
            if (sg.nchan > 1) {
                /* Several channels: the identifier with its channel's name. */
                char chan[32], bare[16];
                g_strlcpy(bare, id, sizeof bare);
                sg_chan_name(u.chan, chan, sizeof chan);
                g_snprintf(id, sizeof id, "%s:%s", chan, bare);
            }
            gtk_list_store_append(sg.unknown_store, &u.row);
            gtk_list_store_set(sg.unknown_store, &u.row, UCOL_ID, id, -1);
            u.in_view = 1;
        }
        char count[32], period[32], data[SG_MAX_DATA * 3 + 1] = "";
        g_snprintf(count, sizeof count, "%llu", (unsigned long long)u.count);
        fmt_period(period, sizeof period, u.period);
        /* On one line, a CAN FD frame's too: rows keep one height. */
        for (int k = 0, n = 0; k < u.len; k++)
            n += g_snprintf(data + n, sizeof data - (size_t)n, k == 0 ? "%02X" : " %02X", u.data[k]);
        gtk_list_store_set(sg.unknown_store, &u.row, UCOL_COUNT, count, UCOL_PERIOD, period,
                           UCOL_DATA, data, -1);
    }
}

void update_status(void)
{
    uint64_t points = 0;
    size_t bytes = 0;
    for (const sg_plot_sig &ps : sg.plots)
        if (ps.used) {
            points += sg_history_points(&ps.hist);
            bytes += sg_history_bytes(&ps.hist);
        }
    char text[512];
    /* The memory the histories hold allocated, in the unit that shows it;
     * none is named before the first point (the first chunks are ready). */
    gchar *mem = g_format_size_full(bytes, G_FORMAT_SIZE_IEC_UNITS);
    if (points)
        g_snprintf(text, sizeof text,
                   _("Decoded: %llu    Not in the databases: %llu    Plotted points: %llu (%s)"),
                   (unsigned long long)sg.frames, (unsigned long long)sg.unknown_frames,
                   (unsigned long long)points, mem);
    else
        g_snprintf(text, sizeof text, _("Decoded: %llu    Not in the databases: %llu    Plotted points: 0"),
                   (unsigned long long)sg.frames, (unsigned long long)sg.unknown_frames);
    g_free(mem);
    if (strcmp(text, status_shown) != 0) {
        g_strlcpy(status_shown, text, sizeof status_shown);
        gtk_label_set_text(GTK_LABEL(sg.w_status), text);
    }
}

gboolean on_refresh(gpointer)
{
    int64_t t0 = g_get_monotonic_time();
    bool measure = sg_measuring() && sg.last_refresh_us;
    if (measure && t0 - sg.last_refresh_us > sg.max_refresh_gap_us)
        sg.max_refresh_gap_us = t0 - sg.last_refresh_us;
    sg_refresh();
    sg.last_refresh_us = g_get_monotonic_time();
    if (measure && sg.last_refresh_us - t0 > sg.max_refresh_us)
        sg.max_refresh_us = sg.last_refresh_us - t0;
    return TRUE;
}

/* ------------------------------------------------------------------ plot */

int plot_width(void)
{
    GtkAllocation a;
    gtk_widget_get_allocation(sg.w_plot, &a);
    return a.width;
}

void redraw(void)
{
    if (sg.w_plot)
        gtk_widget_queue_draw(sg.w_plot);
}

void set_follow(int follow)
{
    if (sg.view.follow != (follow ? 1 : 0))
        view_changed();
    sg.view.follow = follow ? 1 : 0;
    if (sg.view.follow)
        sg.view.t_end = sg_plot_newest();
    sg_sync_widgets();
    redraw();
}

void zoom(double factor, int x)
{
    double span = fmin(1e7, fmax(0.001, sg.view.span * factor));
    if (!sg.view.follow) {
        double at = sg_plot_time_at(&sg.view, plot_width(), x);
        sg.view.t_end = at + (sg.view.t_end - at) * span / sg.view.span;
    }
    sg.view.span = span;
    view_changed();
    redraw();
}

void pan(double seconds)
{
    sg.view.t_end += seconds;
    set_follow(0);
}

/* The plot is drawn into an image of the widget's size in this process
 * and put on the window in one piece: the X server's own drawing of long
 * anti-aliased paths costs far more than that. */
cairo_surface_t *backing;

gboolean on_expose(GtkWidget *w, GdkEventExpose *, gpointer)
{
    int64_t t0 = g_get_monotonic_time();
    GtkAllocation a;
    gtk_widget_get_allocation(w, &a);
    if (!backing || cairo_image_surface_get_width(backing) != a.width ||
        cairo_image_surface_get_height(backing) != a.height) {
        if (backing)
            cairo_surface_destroy(backing);
        backing = cairo_image_surface_create(CAIRO_FORMAT_RGB24, a.width, a.height);
    }
    cairo_t *cr = cairo_create(backing);
    sg_plot_draw(cr, a.width, a.height, &sg.view);
    cairo_destroy(cr);
    cr = gdk_cairo_create(gtk_widget_get_window(w));
    cairo_set_source_surface(cr, backing, 0, 0);
    cairo_set_operator(cr, CAIRO_OPERATOR_SOURCE);
    cairo_paint(cr);
    cairo_destroy(cr);
    int64_t dt = g_get_monotonic_time() - t0;
    if (sg_measuring()) {
        sg.redraws++;
        sg.redraw_total_us += dt;
        if (dt > sg.max_redraw_us)
            sg.max_redraw_us = dt;
    }
    return TRUE;
}

gboolean on_scroll(GtkWidget *, GdkEventScroll *e, gpointer)
{
    if (e->direction == GDK_SCROLL_UP)
        zoom(1 / 1.25, (int)e->x);
    else if (e->direction == GDK_SCROLL_DOWN)
        zoom(1.25, (int)e->x);
    return TRUE;
}

gboolean on_button(GtkWidget *w, GdkEventButton *e, gpointer)
{
    gtk_widget_grab_focus(w);
    if (e->button == 1 && e->type == GDK_BUTTON_PRESS) {
        sg.drag_x = (int)e->x;
        sg.drag_t_end = sg.view.t_end;
        set_follow(0);
    }
    return TRUE;
}

gboolean on_release_button(GtkWidget *, GdkEventButton *e, gpointer)
{
    if (e->button == 1)
        sg.drag_x = -1;
    return TRUE;
}

gboolean on_motion(GtkWidget *, GdkEventMotion *e, gpointer)
{
    if (sg.drag_x >= 0 && (e->state & GDK_BUTTON1_MASK)) {
        int w = plot_width() - 16;
        sg.view.t_end = sg.drag_t_end - (e->x - sg.drag_x) / (w > 1 ? w : 1) * sg.view.span;
    }
    sg.view.cursor_x = (int)e->x;
    redraw();
    return TRUE;
}

gboolean on_leave(GtkWidget *, GdkEventCrossing *, gpointer)
{
    sg.view.cursor_x = -1;
    redraw();
    return TRUE;
}

gboolean on_key(GtkWidget *, GdkEventKey *e, gpointer)
{
    int centre = plot_width() / 2;
    switch (e->keyval) {
    case GDK_Left:
        pan(-sg.view.span / 10);
        return TRUE;
    case GDK_Right:
        pan(sg.view.span / 10);
        return TRUE;
    case GDK_plus:
    case GDK_KP_Add:
    case GDK_equal:
        zoom(1 / 1.25, centre);
        return TRUE;
    case GDK_minus:
    case GDK_KP_Subtract:
        zoom(1.25, centre);
        return TRUE;
    case GDK_Home: {
        double newest = sg_plot_newest(), oldest = sg_plot_oldest();
        sg.view.span = fmax(0.001, newest - oldest);
        sg.view.t_end = newest;
        set_follow(0);
        return TRUE;
    }
    case GDK_End:
    case GDK_f:
        set_follow(1);
        return TRUE;
    default:
        return FALSE;
    }
}

/* ----------------------------------------------------------- tool bar */

/* Runs a file chooser of a kind (NB_FOLDER_*); the host must not release
 * the plug-in meanwhile. It starts where the last chooser of the kind
 * ended in any plug-in, else in *folder (held in UTF-8), else in
 * fallback, else in the home folder: a save chooser without a folder
 * would ask for one before Save did anything. The chosen file's folder
 * goes back to the host and into *folder. */
char *choose_file(const char *title, GtkFileChooserAction action, int kind, const char *filter_name,
                  const char *pattern, const char *name, char *folder, const char *fallback)
{
    const char *patterns[] = {pattern, nullptr};
    gchar *local = pgparts::choose_file({title, action, kind, folder[0] ? folder : fallback, name,
                                         filter_name, patterns, _("All files")});
    char *path = local ? g_filename_to_utf8(local, -1, nullptr, nullptr, nullptr) : nullptr;
    g_free(local);
    if (path) {
        gchar *dir = g_path_get_dirname(path);
        g_strlcpy(folder, dir, SG_PATH_MAX);
        g_free(dir);
    }
    return path;
}

void on_open(GtkButton *, gpointer)
{
    /* Without a folder of its own: the first open database's. */
    gchar *db_dir = sg.ndb > 0 ? g_path_get_dirname(sg.db_path[0]) : nullptr;
    char *path = choose_file(_("Open a DBC database"), GTK_FILE_CHOOSER_ACTION_OPEN, NB_FOLDER_DBC,
                             _("DBC databases (*.dbc)"), "*.[dD][bB][cC]", nullptr,
                             sg_folder_dbc, db_dir);
    g_free(db_dir);
    if (!path || !sg.page) {
        g_free(path);
        return;
    }
    char msg[1024];
    int rc = sg_db_open(path, sg.open_chan, msg, sizeof msg);
    g_free(path);
    /* The outcome follows when the file is read. */
    if (rc != 0 || sg_db_reading())
        sg_page_show_message(msg, rc != 0);
    if (rc == 0)
        user_changed();
}

/* The choice of channel for the next database: every channel, or one. */
void fill_channels(void)
{
    if (!sg.w_chan)
        return;
    sg.updating++;
    if (sg.open_chan >= sg.nchan)
        sg.open_chan = -1;
    pgparts::fill_channels(GTK_COMBO_BOX(sg.w_chan), _("All channels"), sg.nchan, sg_chan_name,
                           sg.open_chan + 1);
    /* One channel: nothing to choose. */
    gtk_widget_set_visible(sg.w_chan, sg.nchan > 1);
    sg.updating--;
}

void on_chan_chosen(GtkComboBox *c, gpointer)
{
    if (!sg.updating)
        sg.open_chan = gtk_combo_box_get_active(c) - 1;
}

void on_close_all(GtkButton *, gpointer)
{
    sg_db_close_all();
    sg_page_databases_changed();
    sg_page_show_message("", 0);
    user_changed();
}

void on_follow(GtkToggleButton *b, gpointer)
{
    if (!sg.updating)
        set_follow(gtk_toggle_button_get_active(b));
}

void on_mode(GtkComboBox *c, gpointer)
{
    if (sg.updating)
        return;
    sg.view.mode = gtk_combo_box_get_active(c) == 1 ? SG_LANES : SG_OVERLAY;
    redraw();
    user_changed();
}

void on_cap(GtkSpinButton *spin, gpointer)
{
    if (sg.updating)
        return;
    sg_plot_set_cap((uint64_t)gtk_spin_button_get_value(spin) * 1000000u);
    user_changed();
}

void on_export(GtkButton *, gpointer png)
{
    GtkAllocation a;
    gtk_widget_get_allocation(sg.w_plot, &a);
    char *path = choose_file(png ? _("Export the plot as PNG") : _("Export the visible range as CSV"),
                             GTK_FILE_CHOOSER_ACTION_SAVE, NB_FOLDER_EXPORTS,
                             png ? _("PNG images (*.png)") : _("CSV files (*.csv)"),
                             png ? "*.png" : "*.csv", png ? "signals.png" : "signals.csv",
                             sg_folder_export, nullptr);
    if (!path || !sg.page) {
        g_free(path);
        return;
    }
    sg_view v = sg.view;
    v.cursor_x = -1;
    int rc = png ? sg_plot_export_png(path, &v, a.width, a.height)
                 : sg_plot_export_csv(path, &v, a.width);
    char msg[1024];
    if (rc == 0)
        g_snprintf(msg, sizeof msg, _("Written: %s"), path);
    else
        g_snprintf(msg, sizeof msg, _("Could not write %s: %s"), path, uf_strerror(rc));
    g_free(path);
    sg_page_show_message(msg, rc != 0);
}

void on_plot_toggled(GtkCellRendererToggle *, gchar *path_text, gpointer)
{
    GtkTreeIter it;
    if (!gtk_tree_model_get_iter_from_string(sg.table, &it, path_text))
        return;
    gboolean on = FALSE, is_signal = FALSE;
    int msg = -1, sig = -1;
    gtk_tree_model_get(sg.table, &it, SG_COL_PLOT, &on, SG_COL_IS_SIGNAL, &is_signal, SG_COL_MSG,
                       &msg, SG_COL_SIG, &sig, -1);
    if (!is_signal)
        return;
    if (on) {
        sg_plot_remove(sg_plot_find(msg, sig));
    } else {
        int slot = sg_plot_add(msg, sig, nullptr);
        if (slot < 0) {
            sg_page_show_message(_("At most 16 signals can be plotted (or memory is short)."), 1);
            return;
        }
        if (sg.view.follow)
            sg.view.t_end = sg_plot_newest();
    }
    gtk_widget_queue_draw(sg.w_table);
    redraw();
    user_changed();
}

/* Double-click or Enter on a message opens or closes its signals. */
/* A plotted signal's history: typed or picked in its History cell. */
void on_history_edited(GtkCellRendererText *, gchar *path_text, gchar *text, gpointer)
{
    GtkTreeIter it;
    if (!gtk_tree_model_get_iter_from_string(sg.table, &it, path_text))
        return;
    int msg = -1, sig = -1;
    gtk_tree_model_get(sg.table, &it, SG_COL_MSG, &msg, SG_COL_SIG, &sig, -1);
    int slot = sig >= 0 ? sg_plot_find(msg, sig) : -1;
    if (slot < 0)
        return;
    char err[512];
    sg_history &h = sg.plots[slot].hist;
    if (sg_plot_parse_keep(text, &h.keep_s, &h.keep_points, err, sizeof err) != 0) {
        sg_page_show_message(err, 1);
        return;
    }
    sg_history_trim(&h);
    sg_page_show_message("", 0);
    gtk_widget_queue_draw(sg.w_table);
    redraw();
    user_changed();
}

/* The choices the History cell offers; any other value may be typed. */
GtkTreeModel *history_choices(void)
{
    GtkListStore *store = gtk_list_store_new(1, G_TYPE_STRING);
    static const double spans[] = {0, 10, 60, 600, 3600};
    static const uint64_t counts[] = {10000, 100000, 1000000};
    sg_history h;
    memset(&h, 0, sizeof h);
    char text[64];
    GtkTreeIter it;
    for (double s : spans) {
        h.keep_s = s;
        sg_plot_keep_text(&h, 0, text, sizeof text);
        gtk_list_store_insert_with_values(store, &it, -1, 0, text, -1);
    }
    h.keep_s = 0;
    for (uint64_t n : counts) {
        h.keep_points = n;
        sg_plot_keep_text(&h, 0, text, sizeof text);
        gtk_list_store_insert_with_values(store, &it, -1, 0, text, -1);
    }
    return GTK_TREE_MODEL(store);
}

void on_row_activated(GtkTreeView *view, GtkTreePath *path, GtkTreeViewColumn *, gpointer)
{
    if (gtk_tree_path_get_depth(path) != 1)
        return;
    if (gtk_tree_view_row_expanded(view, path)) {
        gtk_tree_view_collapse_row(view, path);
    } else {
        gtk_tree_view_expand_row(view, path, FALSE);
        gtk_tree_view_scroll_to_cell(view, path, nullptr, TRUE, 0.0f, 0.0f);
    }
}

/* ------------------------------------------------------------- building */

using pgparts::button;
using pgparts::scrolled;
using pgparts::text_column;
using pgparts::title_width;
constexpr unsigned FIXED = pgparts::COLUMN_FIXED;

/* A left-aligned label of the page, by name. */
GtkWidget *page_label(GtkWidget *page, const char *name)
{
    GtkWidget *l = gtk_label_new("");
    gtk_widget_set_name(l, name);
    gtk_misc_set_alignment(GTK_MISC(l), 0.0f, 0.5f);
    gtk_box_pack_start(GTK_BOX(page), l, FALSE, FALSE, 0);
    return l;
}

GtkWidget *build_table(void)
{
    sg.table = sg_table_model_new();
    GtkWidget *view = gtk_tree_view_new_with_model(sg.table);
    g_object_unref(sg.table);   /* the view holds it */
    gtk_widget_set_name(view, "signals-table");
    GtkCellRenderer *toggle = gtk_cell_renderer_toggle_new();
    GtkTreeViewColumn *c = gtk_tree_view_column_new_with_attributes(
        _("Plot"), toggle, "active", SG_COL_PLOT, "visible", SG_COL_IS_SIGNAL, "cell-background",
        SG_COL_COLOUR, nullptr);
    gtk_tree_view_column_set_sizing(c, GTK_TREE_VIEW_COLUMN_FIXED);
    gtk_tree_view_column_set_fixed_width(c, title_width(view, _("Plot"), 40));
    g_signal_connect(toggle, "toggled", G_CALLBACK(on_plot_toggled), nullptr);
    gtk_tree_view_append_column(GTK_TREE_VIEW(view), c);
    /* The expander and the signals' indent go with the names, not with
     * the Plot column's check boxes. */
    gtk_tree_view_set_expander_column(
        GTK_TREE_VIEW(view), text_column(view, _("Message / signal"), SG_COL_NAME, FIXED, 230));
    text_column(view, _("Value"), SG_COL_VALUE, FIXED, 90);
    text_column(view, _("Unit"), SG_COL_UNIT, FIXED, 50);
    text_column(view, _("Text"), SG_COL_TEXT, FIXED, 90);
    text_column(view, _("Count"), SG_COL_COUNT, FIXED, 70);
    text_column(view, _("Period ms"), SG_COL_PERIOD, FIXED | pgparts::COLUMN_EXPAND, 70);
    /* What a plotted signal keeps: its last seconds, its last points, or
     * its whole history within the points per signal. */
    GtkCellRenderer *keep = gtk_cell_renderer_combo_new();
    GtkTreeModel *choices = history_choices();
    g_object_set(keep, "model", choices, "text-column", 0, "has-entry", TRUE, nullptr);
    g_object_unref(choices);
    g_signal_connect(keep, "edited", G_CALLBACK(on_history_edited), nullptr);
    c = gtk_tree_view_column_new_with_attributes(_("History"), keep, "text", SG_COL_HISTORY,
                                                 "editable", SG_COL_PLOT, "visible",
                                                 SG_COL_IS_SIGNAL, nullptr);
    gtk_tree_view_column_set_sizing(c, GTK_TREE_VIEW_COLUMN_FIXED);
    gtk_tree_view_column_set_fixed_width(c, title_width(view, _("History"), 110));
    gtk_tree_view_column_set_resizable(c, TRUE);
    gtk_tree_view_append_column(GTK_TREE_VIEW(view), c);
    /* Rows of one height: the view never measures 30,000 of them. */
    gtk_tree_view_set_fixed_height_mode(GTK_TREE_VIEW(view), TRUE);
    g_signal_connect(view, "row-activated", G_CALLBACK(on_row_activated), nullptr);
    return view;
}

GtkWidget *build_unknown(void)
{
    sg.unknown_store = gtk_list_store_new(N_UCOLS, G_TYPE_STRING, G_TYPE_STRING, G_TYPE_STRING,
                                          G_TYPE_STRING);
    GtkWidget *view = gtk_tree_view_new_with_model(GTK_TREE_MODEL(sg.unknown_store));
    g_object_unref(sg.unknown_store);
    gtk_widget_set_name(view, "signals-unknown");
    text_column(view, _("Not in the databases"), UCOL_ID, FIXED, 80);
    text_column(view, _("Count"), UCOL_COUNT, FIXED, 60);
    text_column(view, _("Period ms"), UCOL_PERIOD, FIXED, 70);
    text_column(view, _("Data"), UCOL_DATA, FIXED | pgparts::COLUMN_EXPAND | pgparts::COLUMN_ELLIPSIZE, 150);
    return view;
}

/* The positions last written to a session, and the wait for a moved
 * divider to settle (a drag moves it many times) before the automatic
 * session is written: the host writes it at quit only when its own
 * window changed. */
int saved_table = -1, saved_plot = -1;
guint panes_settle;
bool view_moved;
/* A session's divider that does not fit yet (the window takes its size
 * after the plug-ins' keys): kept, saved as it is, and set once the pane
 * is large enough, unless the user moved the divider meanwhile. */
int want_table = -1, want_plot = -1;

void on_paned_allocated(GtkWidget *paned, GtkAllocation *, gpointer want)
{
    int *w = static_cast<int *>(want);
    gint hi = 0;
    g_object_get(paned, "max-position", &hi, nullptr);
    if (*w >= 0 && *w <= hi) {
        const int pos = *w;
        *w = -1;
        if (gtk_paned_get_position(GTK_PANED(paned)) != pos)
            gtk_paned_set_position(GTK_PANED(paned), pos);
    }
}

gboolean on_paned_pressed(GtkWidget *, GdkEventButton *, gpointer)
{
    want_table = want_plot = -1;
    return FALSE;
}

gboolean on_panes_settled(gpointer)
{
    panes_settle = 0;
    if (sg.w_hpaned && (view_moved || gtk_paned_get_position(GTK_PANED(sg.w_hpaned)) != saved_table ||
                        gtk_paned_get_position(GTK_PANED(sg.w_vpaned)) != saved_plot))
        (void)nbpg_autosave();
    view_moved = false;
    return FALSE;
}

void on_pane_moved(GObject *, GParamSpec *, gpointer)
{
    if (panes_settle)
        g_source_remove(panes_settle);
    panes_settle = g_timeout_add(1000, on_panes_settled, nullptr);
}

void view_changed(void)
{
    if (!sg.page || sg.updating)
        return;
    view_moved = true;
    on_pane_moved(nullptr, nullptr, nullptr);
}

void sg_page_watch_panes(void)
{
    want_table = want_plot = -1;
    g_signal_connect(sg.w_hpaned, "notify::position", G_CALLBACK(on_pane_moved), nullptr);
    g_signal_connect(sg.w_vpaned, "notify::position", G_CALLBACK(on_pane_moved), nullptr);
    g_signal_connect_after(sg.w_hpaned, "size-allocate", G_CALLBACK(on_paned_allocated), &want_table);
    g_signal_connect_after(sg.w_vpaned, "size-allocate", G_CALLBACK(on_paned_allocated), &want_plot);
    g_signal_connect(sg.w_hpaned, "button-press-event", G_CALLBACK(on_paned_pressed), nullptr);
    g_signal_connect(sg.w_vpaned, "button-press-event", G_CALLBACK(on_paned_pressed), nullptr);
}

void sg_page_unwatch_panes(void)
{
    if (panes_settle)
        g_source_remove(panes_settle);
    panes_settle = 0;
    view_moved = false;
    saved_table = saved_plot = -1;
}

}  // namespace

GtkWidget *sg_page_build(void)
{
    status_shown[0] = '\0';
    /* A library loaded again may keep its data: the session gives them. */
    sg_folder_dbc[0] = sg_folder_export[0] = '\0';
    sg.drag_x = -1;
    GtkWidget *page = gtk_vbox_new(FALSE, 4);
    gtk_container_set_border_width(GTK_CONTAINER(page), 4);
    gtk_widget_set_name(page, "signals-page");
    sg.page = page;

    GtkWidget *bar = gtk_hbox_new(FALSE, 6);
    gtk_box_pack_start(GTK_BOX(page), bar, FALSE, FALSE, 0);
    button(bar, _("_Open database..."), "signals-open", G_CALLBACK(on_open), nullptr);
    button(bar, _("Close _all"), "signals-close", G_CALLBACK(on_close_all), nullptr);
    sg.w_follow = gtk_toggle_button_new_with_mnemonic(_("Fo_llow"));
    gtk_widget_set_name(sg.w_follow, "signals-follow");
    gtk_widget_set_tooltip_text(sg.w_follow, _("Keep the newest values in view (End); "
                                               "dragging, arrows and Home stop it"));
    gtk_box_pack_start(GTK_BOX(bar), sg.w_follow, FALSE, FALSE, 0);
    sg.w_mode = gtk_combo_box_new_text();
    gtk_widget_set_name(sg.w_mode, "signals-mode");
    gtk_combo_box_append_text(GTK_COMBO_BOX(sg.w_mode), _("Overlaid, own scales"));
    gtk_combo_box_append_text(GTK_COMBO_BOX(sg.w_mode), _("Stacked lanes"));
    gtk_box_pack_start(GTK_BOX(bar), sg.w_mode, FALSE, FALSE, 0);
    /* A second row, so that both fit the page of the smallest main window. */
    bar = gtk_hbox_new(FALSE, 6);
    gtk_box_pack_start(GTK_BOX(page), bar, FALSE, FALSE, 0);
    /* Shown only while the window has several channels. */
    sg.w_chan = gtk_combo_box_new_text();
    gtk_widget_set_name(sg.w_chan, "signals-db-channel");
    gtk_widget_set_tooltip_text(sg.w_chan, _("The channel the next database opened decodes"));
    gtk_widget_set_no_show_all(sg.w_chan, TRUE);
    g_signal_connect(sg.w_chan, "changed", G_CALLBACK(on_chan_chosen), nullptr);
    gtk_box_pack_start(GTK_BOX(bar), sg.w_chan, FALSE, FALSE, 0);
    fill_channels();
    button(bar, _("PNG..."), "signals-png", G_CALLBACK(on_export), GINT_TO_POINTER(1));
    button(bar, _("CSV..."), "signals-csv", G_CALLBACK(on_export), nullptr);
    GtkWidget *label = gtk_label_new(_("Points per signal (millions):"));
    gtk_box_pack_start(GTK_BOX(bar), label, FALSE, FALSE, 0);
    sg.w_cap = gtk_spin_button_new_with_range(SG_CAP_MIN / 1000000.0, SG_CAP_MAX / 1000000.0, 1);
    gtk_spin_button_set_digits(GTK_SPIN_BUTTON(sg.w_cap), 0);
    gtk_widget_set_name(sg.w_cap, "signals-cap");
    gtk_box_pack_start(GTK_BOX(bar), sg.w_cap, FALSE, FALSE, 0);

    sg.w_dbs = page_label(page, "signals-databases");
    gtk_label_set_ellipsize(GTK_LABEL(sg.w_dbs), PANGO_ELLIPSIZE_START);
    sg.w_message = page_label(page, "signals-message");
    gtk_label_set_line_wrap(GTK_LABEL(sg.w_message), TRUE);
    gtk_label_set_selectable(GTK_LABEL(sg.w_message), TRUE);
    /* What the open databases skip, repair or leave doubtful, one a line. */
    sg.w_problems = gtk_expander_new("");
    gtk_widget_set_name(sg.w_problems, "signals-problems");
    sg.w_problem_text = gtk_text_view_new();
    gtk_widget_set_name(sg.w_problem_text, "signals-problem-text");
    gtk_text_view_set_editable(GTK_TEXT_VIEW(sg.w_problem_text), FALSE);
    gtk_text_view_set_cursor_visible(GTK_TEXT_VIEW(sg.w_problem_text), FALSE);
    GtkWidget *problems = scrolled(sg.w_problem_text);
    gtk_widget_set_size_request(problems, -1, 120);
    gtk_container_add(GTK_CONTAINER(sg.w_problems), problems);
    gtk_box_pack_start(GTK_BOX(page), sg.w_problems, FALSE, FALSE, 0);

    GtkWidget *vpaned = gtk_vpaned_new();
    gtk_widget_set_name(vpaned, "signals-plot-pane");
    sg.w_vpaned = vpaned;
    gtk_box_pack_start(GTK_BOX(page), vpaned, TRUE, TRUE, 0);
    GtkWidget *hpaned = gtk_hpaned_new();
    gtk_widget_set_name(hpaned, "signals-table-pane");
    sg.w_hpaned = hpaned;
    sg.w_table = build_table();
    sg.w_unknown = build_unknown();
    gtk_paned_pack1(GTK_PANED(hpaned), scrolled(sg.w_table), TRUE, FALSE);
    gtk_paned_pack2(GTK_PANED(hpaned), scrolled(sg.w_unknown), FALSE, FALSE);
    gtk_paned_set_position(GTK_PANED(hpaned), 640);
    gtk_paned_pack1(GTK_PANED(vpaned), hpaned, TRUE, FALSE);

    sg.w_plot = gtk_drawing_area_new();
    gtk_widget_set_name(sg.w_plot, "signals-plot");
    gtk_widget_set_size_request(sg.w_plot, 200, 220);
    gtk_widget_set_can_focus(sg.w_plot, TRUE);
    gtk_widget_set_double_buffered(sg.w_plot, FALSE);   /* every pixel is painted */
    gtk_widget_add_events(sg.w_plot, GDK_BUTTON_PRESS_MASK | GDK_BUTTON_RELEASE_MASK |
                                         GDK_POINTER_MOTION_MASK | GDK_SCROLL_MASK |
                                         GDK_LEAVE_NOTIFY_MASK | GDK_KEY_PRESS_MASK);
    gtk_widget_set_tooltip_text(sg.w_plot, _("Wheel or +/- zoom, drag or arrows pan, "
                                             "Home shows everything, End follows"));
    g_signal_connect(sg.w_plot, "expose-event", G_CALLBACK(on_expose), nullptr);
    g_signal_connect(sg.w_plot, "scroll-event", G_CALLBACK(on_scroll), nullptr);
    g_signal_connect(sg.w_plot, "button-press-event", G_CALLBACK(on_button), nullptr);
    g_signal_connect(sg.w_plot, "button-release-event", G_CALLBACK(on_release_button), nullptr);
    g_signal_connect(sg.w_plot, "motion-notify-event", G_CALLBACK(on_motion), nullptr);
    g_signal_connect(sg.w_plot, "leave-notify-event", G_CALLBACK(on_leave), nullptr);
    g_signal_connect(sg.w_plot, "key-press-event", G_CALLBACK(on_key), nullptr);
    GtkWidget *frame = gtk_frame_new(nullptr);
    gtk_container_add(GTK_CONTAINER(frame), sg.w_plot);
    gtk_paned_pack2(GTK_PANED(vpaned), frame, TRUE, FALSE);
    gtk_paned_set_position(GTK_PANED(vpaned), 260);
    sg_page_watch_panes();

    sg.w_status = page_label(page, "signals-status");

    sg_sync_widgets();
    gtk_widget_show_all(page);
    gtk_widget_set_no_show_all(sg.w_problems, TRUE);
    g_signal_connect(sg.w_follow, "toggled", G_CALLBACK(on_follow), nullptr);
    g_signal_connect(sg.w_mode, "changed", G_CALLBACK(on_mode), nullptr);
    g_signal_connect(sg.w_cap, "value-changed", G_CALLBACK(on_cap), nullptr);
    sg_page_databases_changed();
    sg.refresh_source = g_timeout_add_full(NB_REFRESH_PRIORITY, SG_REFRESH_MS, on_refresh, nullptr, nullptr);
    return page;
}

void sg_page_detach_table(void)
{
    if (sg.table && sg.w_table)
        sg_table_detach(sg.table, GTK_TREE_VIEW(sg.w_table));
}

void sg_page_release(void)
{
    if (sg.w_table)
        sg_table_release(sg.table, GTK_TREE_VIEW(sg.w_table));
    if (sg.refresh_source)
        g_source_remove(sg.refresh_source);
    sg.refresh_source = 0;
    if (backing)
        cairo_surface_destroy(backing);
    backing = nullptr;
    /* The widgets belong to the host, which destroys them with the page. */
    sg.page = sg.w_table = sg.w_unknown = sg.w_plot = sg.w_follow = sg.w_mode = nullptr;
    sg.w_chan = nullptr;
    sg.w_cap = sg.w_dbs = sg.w_message = sg.w_status = sg.w_problems = sg.w_problem_text = nullptr;
    sg_page_unwatch_panes();
    sg.w_hpaned = sg.w_vpaned = nullptr;
    sg.table = nullptr;
    sg.unknown_store = nullptr;
}

void sg_refresh(void)
{
    if (!sg.page)
        return;
    sg_plot_reserve();
    update_table();
    update_unknown();
    update_status();
    if (sg.view.follow) {
        double newest = sg_plot_newest();
        if (newest != sg.view.t_end) {
            sg.view.t_end = newest;
            redraw();
        }
    }
}

void sg_page_databases_changed(void)
{
    if (!sg.table)
        return;
    sg_table_attach(sg.table, GTK_TREE_VIEW(sg.w_table));
    /* The open files, by name. */
    char text[1024] = "";
    size_t n = 0;
    for (int d = 0; d < sg.ndb && n < sizeof text; d++) {
        char *base = g_path_get_basename(sg.db_path[d]);
        char chan[48] = "";
        /* A database of one channel says which, once there are several. */
        if (sg.db_chan[d] >= 0 && (sg.nchan > 1 || sg.db_chan[d] > 0)) {
            char name[32];
            sg_chan_name(sg.db_chan[d], name, sizeof name);
            g_snprintf(chan, sizeof chan, " (%s)", name);
        }
        n += (size_t)g_snprintf(text + n, sizeof text - n, d ? ", %s%s" : "%s%s", base, chan);
        g_free(base);
    }
    if (sg.w_dbs)
        gtk_label_set_text(GTK_LABEL(sg.w_dbs), sg.ndb ? text : _("No database open."));
    int count = 0;
    char *problems = sg_db_problems_text(&count);
    char *valid = g_utf8_make_valid(problems, -1);
    gtk_text_buffer_set_text(gtk_text_view_get_buffer(GTK_TEXT_VIEW(sg.w_problem_text)), valid, -1);
    char title[128];
    g_snprintf(title, sizeof title, _("Problems in the databases: %d"), count);
    gtk_expander_set_label(GTK_EXPANDER(sg.w_problems), title);
    gtk_widget_set_visible(sg.w_problems, count > 0);
    g_free(valid);
    g_free(problems);
    redraw();
}

void sg_page_channels_changed(void)
{
    sg.nchan = nb_chan_count();
    /* Messages of databases for every channel, and names, follow. */
    if (sg_db_rebuild() != 0)
        sg_page_show_message(_("Not enough memory for the channels' messages."), 1);
    sg_unknown_clear();
    fill_channels();
    sg_page_databases_changed();
}

void sg_page_loads_done(void)
{
    if (sg.plots_pending) {
        sg.plots_pending = 0;
        sg_session_plots(0);
        gtk_widget_queue_draw(sg.w_table);
    }
    if (sg.load_msg[0])
        sg_page_show_message(sg.load_msg, sg.load_error);
    sg_sync_widgets();
}

void sg_page_show_message(const char *text, int error)
{
    if (!sg.w_message)
        return;
    /* A path or a file's bytes may be no valid UTF-8: shown all the same. */
    char *valid = g_utf8_make_valid(text, -1);
    if (error) {
        char *markup = g_markup_printf_escaped("<span foreground=\"#c00000\">%s</span>", valid);
        gtk_label_set_markup(GTK_LABEL(sg.w_message), markup);
        g_free(markup);
    } else {
        gtk_label_set_text(GTK_LABEL(sg.w_message), valid);
    }
    g_free(valid);
}

void sg_sync_widgets(void)
{
    if (!sg.page)
        return;
    sg.updating = 1;
    gtk_toggle_button_set_active(GTK_TOGGLE_BUTTON(sg.w_follow), sg.view.follow);
    gtk_combo_box_set_active(GTK_COMBO_BOX(sg.w_mode), sg.view.mode == SG_LANES ? 1 : 0);
    gtk_spin_button_set_value(GTK_SPIN_BUTTON(sg.w_cap), (double)sg.cap_points / 1000000.0);
    sg.updating = 0;
    redraw();
}

/* The two dividers as the user left them: the table's beside the list of
 * unknown identifiers, and the plot's below them. */
const char *const KEY_TABLE_PANE = "TablePane";
const char *const KEY_PLOT_PANE = "PlotPane";

void sg_page_save_panes(void *file)
{
    saved_table = want_table >= 0 ? want_table : gtk_paned_get_position(GTK_PANED(sg.w_hpaned));
    saved_plot = want_plot >= 0 ? want_plot : gtk_paned_get_position(GTK_PANED(sg.w_vpaned));
    nbkit_save_int(file, KEY_TABLE_PANE, saved_table);
    nbkit_save_int(file, KEY_PLOT_PANE, saved_plot);
}

void sg_page_pane_key(const pgrp_session_key *key)
{
    int32_t v = 0;
    if (nbkit_key_int(key, KEY_TABLE_PANE, &v) && v >= 0) {
        want_table = v;
        gtk_paned_set_position(GTK_PANED(sg.w_hpaned), v);
    }
    if (nbkit_key_int(key, KEY_PLOT_PANE, &v) && v >= 0) {
        want_plot = v;
        gtk_paned_set_position(GTK_PANED(sg.w_vpaned), v);
    }
}
