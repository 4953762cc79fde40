/*
 * page.cpp - the plug-in's notebook page: tool bar, trace view, per-
 * identifier view, filter message and status line, and the 250 ms
 * refresh that brings them up to date.
 *
 * The refresh costs what changed on the screen: nothing while the page is
 * hidden (it catches up when shown), the new rows of a trace that follows
 * the end (the old ones are scrolled, not drawn again), and the rows of
 * the per-identifier view that are in sight. A filter typed in is applied
 * after a pause, and to the trace in slices from an idle handler.
 */
#include "busview.h"

#include <string.h>

#include <initializer_list>

#include "pgparts.h"

namespace {

/* More row changes than this in one refresh rebuild the view's rows
 * instead of signalling each row. */
constexpr uint32_t RESET_THRESHOLD = 20000;

/* Rows the trace view keeps while it follows the end: many screens, and
 * enough for the scrollbar's handle to be as small as over the whole
 * history. A view told of every new line as a row of its own would spend
 * most of the page's time on them while a long trace fills at full bus
 * load. The view takes all the lines again when the user leaves the end. */
constexpr uint32_t FOLLOW_ROWS = 2000;

/* Lines a view takes back at once when the user leaves the end: GtkTreeView
 * builds 100,000 rows in about 35 ms (Release). A longer trace takes its
 * older lines as rows inserted at the top, GROW_SLICE_US at a time, while
 * the cursor keys pressed meanwhile wait (up to KEYS_WAITING of them). */
constexpr uint32_t ALL_AT_ONCE = 100000;
constexpr int64_t GROW_SLICE_US = 20000;
constexpr int KEYS_WAITING = 16;

/* Typing pause after which a changed filter is applied; Enter applies it
 * at once. */
constexpr guint FILTER_PAUSE_MS = 300;

/* Trace records looked at per main-loop turn while a filter is applied
 * (a millisecond or two), and time spent taking rows from the view and
 * giving it the new ones, in chunks of rows. 5 ms leave room in the turn
 * for the poll tick, the refresh and the redraw on a busy machine. */
constexpr uint32_t FILTER_SLICE = 16384;
constexpr int64_t ROWS_SLICE_US = 5000;
constexpr uint32_t ROWS_CHUNK = 128;

int row_height = 20;
char status_shown[512];
guint scroll_source;              /* pending scroll to the trace's end */
guint soon_source;                /* pending refresh after the page was shown */
guint filter_timer;               /* typing pause */
guint filter_idle;                /* filter applied in slices */
guint all_lines_source;           /* pending return to all the lines */
bool trace_tip;                   /* a row tooltip shown since the trace's rows last moved */
guint grow_source;                /* older lines coming as rows */
guint shrink_source;              /* a long view back at the end giving up its oldest rows */
struct waiting_key {
    GtkMovementStep step;
    gint count;
};
waiting_key keys_waiting[KEYS_WAITING];
int nkeys_waiting;

using pgparts::shown;

/* Set while the view's rows are rebuilt: the scrolling that comes with it
 * is not the user's. */
bool swapping_model;

/* The trace's rows moved, or read other lines: a row tooltip over them
 * goes. GTK keeps a tooltip while the pointer rests, asking again
 * only when it moves, and hides it when no widget under the pointer has
 * one. */
void close_trace_tip(void)
{
    if (!trace_tip)
        return;
    trace_tip = false;
    gtk_widget_set_has_tooltip(bv.w_trace, FALSE);
    gtk_widget_trigger_tooltip_query(bv.w_trace);
    gtk_widget_set_has_tooltip(bv.w_trace, TRUE);
}

void attach_trace(void)
{
    close_trace_tip();
    swapping_model = true;
    gtk_tree_view_set_model(GTK_TREE_VIEW(bv.w_trace), GTK_TREE_MODEL(bv.trace));
    swapping_model = false;
}

void detach_trace(void)
{
    swapping_model = true;
    gtk_tree_view_set_model(GTK_TREE_VIEW(bv.w_trace), nullptr);
    swapping_model = false;
}

void scroll_to_end_soon(void);

/* Shows the last line, and marks the view as on its way there. */
void scroll_to_end(void)
{
    uint32_t rows = bv_trace_rows(bv.trace);
    if (rows == 0)
        return;
    GtkTreePath *path = gtk_tree_path_new_from_indices((gint)(rows - 1), -1);
    gtk_tree_view_scroll_to_cell(GTK_TREE_VIEW(bv.w_trace), path, nullptr, FALSE, 0, 0);
    gtk_tree_path_free(path);
    scroll_to_end_soon();
}

GtkAdjustment *trace_adjustment(void)
{
    return gtk_scrolled_window_get_vadjustment(GTK_SCROLLED_WINDOW(bv.w_trace_sw));
}

/* The view follows new lines while it shows the last one; a user who
 * scrolls back stops it until he scrolls to the end again. */
bool trace_at_end(void)
{
    if (!gtk_widget_get_mapped(bv.w_trace))
        return true;
    GtkAdjustment *adj = trace_adjustment();
    double value = gtk_adjustment_get_value(adj);
    double end = gtk_adjustment_get_upper(adj) - gtk_adjustment_get_page_size(adj);
    return value >= end - row_height / 2.0;
}

gboolean scroll_end_now(gpointer)
{
    scroll_source = 0;
    if (bv.w_trace_sw) {
        GtkAdjustment *adj = trace_adjustment();
        double end = gtk_adjustment_get_upper(adj) - gtk_adjustment_get_page_size(adj);
        if (gtk_adjustment_get_value(adj) < end)
            gtk_adjustment_set_value(adj, end);
    }
    return FALSE;
}

/* Scrolls to the last line once the view has taken in its new rows: after
 * GTK's resize work, before its redraw. Moving the adjustment scrolls the
 * view's pixels, so only the rows that come in are drawn. */
void scroll_to_end_soon(void)
{
    if (!scroll_source)
        scroll_source = g_idle_add_full(GTK_PRIORITY_RESIZE + 5, scroll_end_now, nullptr, nullptr);
}

/* Height of a trace row in pixels (all rows are alike). */
int trace_row_px(void)
{
    GdkRectangle r = {0, 0, 0, 0};
    GtkTreePath *path = gtk_tree_path_new_first();
    gtk_tree_view_get_background_area(GTK_TREE_VIEW(bv.w_trace), path, nullptr, &r);
    gtk_tree_path_free(path);
    return r.height > 0 ? r.height : row_height;
}

/* Listed position of a row of the view, UINT64_MAX for none. */
uint64_t line_of(GtkTreePath *path)
{
    return path ? bv_trace_first_shown(bv.trace) + (uint64_t)gtk_tree_path_get_indices(path)[0]
                : UINT64_MAX;
}

/* The row of a listed position, null when it is not one. */
GtkTreePath *row_of(uint64_t pos)
{
    uint64_t first = bv_trace_first_shown(bv.trace);
    return pos >= first && pos - first < bv_trace_rows(bv.trace)
               ? gtk_tree_path_new_from_indices((gint)(pos - first), -1)
               : nullptr;
}

/* Rebuilds the view's rows detached, for the newest keep lines (0: all).
 * The cursor and the selection stay on their lines while these are rows;
 * the view shows the end (to_end) or the same line at its top. The
 * scrolling all this causes is not the user's. */
void rebuild_rows(uint32_t keep, bool to_end)
{
    GtkTreeView *view = GTK_TREE_VIEW(bv.w_trace);
    GtkTreeSelection *selection = gtk_tree_view_get_selection(view);
    GtkAdjustment *adj = trace_adjustment();
    int row_px = trace_row_px();
    uint64_t first = bv_trace_first_shown(bv.trace);
    double value = gtk_adjustment_get_value(adj);
    uint64_t top = first + (uint64_t)(value / row_px);
    double offset = value - (double)(top - first) * row_px;
    GtkTreePath *path = nullptr;
    gtk_tree_view_get_cursor(view, &path, nullptr);
    uint64_t cursor = line_of(path);
    if (path)
        gtk_tree_path_free(path);
    uint64_t selected = UINT64_MAX;
    GtkTreeIter it;
    if (gtk_tree_selection_get_selected(selection, nullptr, &it)) {
        path = gtk_tree_model_get_path(GTK_TREE_MODEL(bv.trace), &it);
        selected = line_of(path);
        gtk_tree_path_free(path);
    }

    swapping_model = true;
    gtk_tree_view_set_model(view, nullptr);
    bv_trace_keep(bv.trace, keep);
    bv_trace_sync_detached(bv.trace);
    gtk_tree_view_set_model(view, GTK_TREE_MODEL(bv.trace));
    /* The view sizes itself for its new rows now, not in GTK's resize
     * handler, so that the scrolling below and a page move that comes
     * next measure the whole trace: its resize container, the box
     * windowed() put it in, does that. */
    gtk_container_check_resize(GTK_CONTAINER(gtk_widget_get_parent(bv.w_trace_sw)));
    if ((path = row_of(cursor))) {
        gtk_tree_view_set_cursor(view, path, nullptr, FALSE);
        gtk_tree_path_free(path);
    }
    gtk_tree_selection_unselect_all(selection);
    if ((path = row_of(selected))) {
        gtk_tree_selection_select_path(selection, path);
        gtk_tree_path_free(path);
    }
    /* The view forgot where it was when it took its new rows: it is told
     * even when the adjustment still reads the same. */
    first = bv_trace_first_shown(bv.trace);
    double at = gtk_adjustment_get_upper(adj) - gtk_adjustment_get_page_size(adj);
    if (!to_end)
        at = top >= first ? (double)(top - first) * row_px + offset : 0;
    if (gtk_adjustment_get_value(adj) != at)
        gtk_adjustment_set_value(adj, at);
    else
        gtk_adjustment_value_changed(adj);
    swapping_model = false;
}

/* One slice of a view taking its older lines back, the same lines kept in
 * sight; then the keys that waited. */
gboolean grow_slice(gpointer)
{
    if (!bv.trace || !bv.w_trace || bv_trace_kept(bv.trace)) {
        grow_source = 0;          /* back at the end: the keys are moot */
        nkeys_waiting = 0;
        return FALSE;
    }
    GtkAdjustment *adj = trace_adjustment();
    int row_px = trace_row_px();
    uint64_t first = bv_trace_first_shown(bv.trace);
    double value = gtk_adjustment_get_value(adj);
    uint64_t top = first + (uint64_t)(value / row_px);
    double offset = value - (double)(top - first) * row_px;
    int64_t until = g_get_monotonic_time() + GROW_SLICE_US;
    uint32_t left;
    while ((left = bv_trace_grow(bv.trace, ROWS_CHUNK)) > 0 && g_get_monotonic_time() < until)
        ;
    swapping_model = true;
    gtk_container_check_resize(GTK_CONTAINER(gtk_widget_get_parent(bv.w_trace_sw)));
    double at = (double)(top - bv_trace_first_shown(bv.trace)) * row_px + offset;
    if (gtk_adjustment_get_value(adj) != at)
        gtk_adjustment_set_value(adj, at);
    swapping_model = false;
    if (left > 0)
        return TRUE;
    grow_source = 0;
    int n = nkeys_waiting;
    nkeys_waiting = 0;
    for (int i = 0; i < n; i++) {
        gboolean handled = FALSE;
        g_signal_emit_by_name(bv.w_trace, "move-cursor", keys_waiting[i].step, keys_waiting[i].count,
                              &handled);
    }
    return FALSE;
}

/* A view that kept the newest lines only shows them all again, with the
 * same line at its top and the same cursor and selection; its scrollbar
 * and page moves then span the whole trace: at once, or for a long trace
 * once its older lines have come in slices. */
void show_all_lines(void)
{
    if (bv_trace_listed(bv.trace) <= ALL_AT_ONCE) {
        rebuild_rows(0, false);
        return;
    }
    bv_trace_keep(bv.trace, 0);
    if (!grow_source)
        grow_source = g_idle_add(grow_slice, nullptr);
}

/* A long view back at the end gives up its oldest rows as row signals,
 * GROW_SLICE_US at a time, the end in sight: detaching a view of
 * 2,000,000 rows would hold up the main loop for a third of a second. */
gboolean shrink_slice(gpointer)
{
    if (!bv.trace || !bv.w_trace || !bv_trace_kept(bv.trace)) {
        shrink_source = 0;        /* left the end again */
        return FALSE;
    }
    int64_t until = g_get_monotonic_time() + GROW_SLICE_US;
    uint32_t left;
    swapping_model = true;
    /* New lines meanwhile move the rows over them, without a signal. */
    GdkWindow *bin = gtk_tree_view_get_bin_window(GTK_TREE_VIEW(bv.w_trace));
    if (bv_trace_shift(bv.trace) > 0 && bin) {
        close_trace_tip();
        gdk_window_invalidate_rect(bin, nullptr, FALSE);
    }
    while ((left = bv_trace_sync_some(bv.trace, ROWS_CHUNK)) > 0 && g_get_monotonic_time() < until)
        ;
    gtk_container_check_resize(GTK_CONTAINER(gtk_widget_get_parent(bv.w_trace_sw)));
    GtkAdjustment *adj = trace_adjustment();
    gtk_adjustment_set_value(adj, gtk_adjustment_get_upper(adj) - gtk_adjustment_get_page_size(adj));
    swapping_model = false;
    if (left > 0)
        return TRUE;
    shrink_source = 0;
    return FALSE;
}

gboolean show_all_lines_now(gpointer)
{
    all_lines_source = 0;
    if (bv.trace && bv.w_trace && bv_trace_kept(bv.trace) && !scroll_source && !trace_at_end())
        show_all_lines();
    return FALSE;
}

/* The user scrolls away from the end of a view that follows it: the view
 * takes all the lines before anything else happens, out of the scrolling
 * code's way. Scrolling while the view is on its way to the end is the
 * view's own. */
void on_trace_scrolled(GtkAdjustment *, gpointer)
{
    close_trace_tip();
    if (bv.trace && bv_trace_kept(bv.trace) && !swapping_model && !scroll_source &&
        !all_lines_source && !trace_at_end())
        all_lines_source = g_idle_add_full(G_PRIORITY_HIGH, show_all_lines_now, nullptr, nullptr);
}

/* A view without a cursor gets it on the top line in sight. */
void cursor_in_sight(GtkTreeView *view)
{
    GtkTreePath *path = nullptr, *end = nullptr;
    gtk_tree_view_get_cursor(view, &path, nullptr);
    if (!path && gtk_tree_view_get_visible_range(view, &path, &end)) {
        gtk_tree_view_set_cursor(view, path, nullptr, FALSE);
        gtk_tree_path_free(end);
    }
    if (path)
        gtk_tree_path_free(path);
}

/* The view takes the keyboard focus: GtkTreeView would put a missing
 * cursor on the first row, out of sight in a trace. */
void on_trace_grab_focus(GtkWidget *view, gpointer)
{
    if (bv.trace && gtk_tree_view_get_model(GTK_TREE_VIEW(view)))
        cursor_in_sight(GTK_TREE_VIEW(view));
}

/* Whether the view's cursor is on its last row. */
bool cursor_on_last_row(GtkTreeView *view)
{
    GtkTreePath *path = nullptr;
    gtk_tree_view_get_cursor(view, &path, nullptr);
    bool last = path && (uint32_t)gtk_tree_path_get_indices(path)[0] + 1 == bv_trace_rows(bv.trace);
    if (path)
        gtk_tree_path_free(path);
    return last;
}

/* A key moves the cursor: from its line over the whole trace, or from
 * the top line in sight when there is none (GtkTreeView would start from
 * the oldest line). A key up takes all the lines first, and waits while
 * older lines are still coming; the newest lines are rows already. */
gboolean on_trace_move_cursor(GtkTreeView *view, GtkMovementStep step, gint count, gpointer)
{
    if (!bv.trace)
        return FALSE;
    auto wait = [&] {
        if (nkeys_waiting < KEYS_WAITING)
            keys_waiting[nkeys_waiting++] = {step, count};
        g_signal_stop_emission_by_name(view, "move-cursor");
        return TRUE;
    };
    if (grow_source)
        return wait();
    cursor_in_sight(view);
    if (count > 0) {
        /* GtkTreeView leaves a cursor on the last row where it is, in
         * sight or not: End shows the end. */
        if ((step == GTK_MOVEMENT_DISPLAY_LINES || step == GTK_MOVEMENT_PAGES ||
             step == GTK_MOVEMENT_BUFFER_ENDS) && cursor_on_last_row(view))
            scroll_to_end();
        return FALSE;
    }
    if (bv_trace_kept(bv.trace))
        show_all_lines();
    return grow_source ? wait() : FALSE;
}

/* Brings the trace view up to date with the ring. */
void sync_trace(void)
{
    if (filter_idle || shrink_source)
        return;
    /* A view taking its older lines for the keys that wait is not back at
     * the end while they do. */
    bool follow = bv.autoscroll && !grow_source && trace_at_end();
    if (!follow && bv_trace_kept(bv.trace)) {
        show_all_lines();
        return;
    }
    if (follow)
        bv_trace_keep(bv.trace, FOLLOW_ROWS);
    uint32_t pending = bv_trace_pending(bv.trace);
    if (pending == 0)
        return;
    if (follow)
        close_trace_tip();
    int row_px = trace_row_px();
    if (pending > RESET_THRESHOLD || pending > bv_trace_listed(bv.trace) ||
        (follow && bv_trace_rows(bv.trace) > 2 * FOLLOW_ROWS)) {
        if (follow && bv_trace_rows(bv.trace) > ALL_AT_ONCE)
            shrink_source = g_idle_add(shrink_slice, nullptr);
        else
            rebuild_rows(bv_trace_kept(bv.trace), follow);
        return;
    }
    if (follow) {
        /* Scrolling the view does meanwhile is not the user leaving the
         * end. */
        scroll_to_end_soon();
        /* The rows move up over the new lines: the view's pixels move with
         * them, and only the rows that come in at the bottom are drawn. */
        uint32_t k = bv_trace_shift(bv.trace);
        GdkWindow *bin = gtk_tree_view_get_bin_window(GTK_TREE_VIEW(bv.w_trace));
        if (k > 0 && bin) {
            int height = gdk_window_get_height(bin);
            if ((int64_t)k * row_px < height)
                gdk_window_scroll(bin, 0, -(int)k * row_px);
            else
                gdk_window_invalidate_rect(bin, nullptr, FALSE);
        }
    }
    bv_trace_sync(bv.trace);
}

gboolean refresh_now(gpointer)
{
    soon_source = 0;
    bv_refresh();
    return FALSE;
}

/* A view that comes into sight (its page chosen, the view switched, the
 * per-identifier view scrolled) is brought up to date at once. */
void refresh_soon(void)
{
    if (!soon_source)
        soon_source = g_idle_add_full(GTK_PRIORITY_RESIZE + 5, refresh_now, nullptr, nullptr);
}

void on_view_shown(GtkWidget *, gpointer)
{
    refresh_soon();
}

void on_ids_scrolled(GtkAdjustment *, gpointer)
{
    refresh_soon();
}

void update_status(void)
{
    /* Rates are taken over the frames' own times while frames come in, so
     * that the 20 ms batches do not make them jitter; over the clock when
     * the bus is quiet. */
    const bv_rate_sample &prev = bv.rate[(bv.rate_head + BV_RATE_SAMPLES - 1) % BV_RATE_SAMPLES];
    uint64_t frames = bv.rx + bv.tx;
    int64_t now = bv.nrate > 0 && frames != prev.frames ? bv.last_frame_us : g_get_real_time();
    if (bv.nrate > 0 && now <= prev.t_us)
        now = prev.t_us + 1;
    bv_rate_sample &s = bv.rate[bv.rate_head];
    s.t_us = now;
    s.frames = frames;
    s.bits = bv.bits;
    s.data_bits = bv.data_bits;
    const bv_rate_sample &old =
        bv.rate[(bv.rate_head + BV_RATE_SAMPLES - (bv.nrate < BV_RATE_SAMPLES ? bv.nrate : BV_RATE_SAMPLES - 1)) %
                BV_RATE_SAMPLES];
    bv.rate_head = (bv.rate_head + 1) % BV_RATE_SAMPLES;
    if (bv.nrate < BV_RATE_SAMPLES)
        bv.nrate++;

    char fps[32] = "-", load[32] = "-", rx[32], tx[32];
    double span = (double)(now - old.t_us) / 1e6;
    if (span > 0.05) {
        double f = (double)(s.frames - old.frames) / span;
        g_snprintf(fps, sizeof fps, "%.0f", f);
        if (bv_baud_bps(nbkit_status()->baud_index))
            g_snprintf(load, sizeof load, "%.1f %%",
                       100.0 *
                           bv_bus_seconds(s.bits - old.bits, s.data_bits - old.data_bits,
                                          nbkit_status()) /
                           span);
    }
    g_snprintf(rx, sizeof rx, "%llu", (unsigned long long)bv.rx);
    /* Sent counts the frames that went out; the lost ones are told apart. */
    g_snprintf(tx, sizeof tx, "%llu",
               (unsigned long long)(bv.tx > bv.lost ? bv.tx - bv.lost : 0));
    char text[512];
    int n = g_snprintf(text, sizeof text,
                       _("Received: %s    Sent: %s    Frames/s: %s    Bus load: %s    Lines: %u"),
                       rx, tx, fps, load, bv_trace_listed(bv.trace));
    if (bv.lost > 0 && n > 0 && (size_t)n < sizeof text) {
        char lost[32];
        g_snprintf(lost, sizeof lost, "%llu", (unsigned long long)bv.lost);
        n += g_snprintf(text + n, sizeof text - (size_t)n, "    ");
        if ((size_t)n < sizeof text)
            n += g_snprintf(text + n, sizeof text - (size_t)n, _("Not sent: %s"), lost);
    }
    if (bv.paused && n > 0 && (size_t)n < sizeof text) {
        char hidden[96];
        g_snprintf(hidden, sizeof hidden,
                   g_dngettext(GETTEXT_PACKAGE, "(paused: %llu frame not shown)",
                               "(paused: %llu frames not shown)",
                               (unsigned long)bv.dropped_while_paused),
                   (unsigned long long)bv.dropped_while_paused);
        n += g_snprintf(text + n, sizeof text - (size_t)n, "    %s", hidden);
    }
    if (bv.ids.full && n > 0 && (size_t)n < sizeof text)
        g_snprintf(text + n, sizeof text - (size_t)n, "    %s",
                   _("(identifier table full: new identifiers are not counted)"));
    if (strcmp(text, status_shown) != 0) {
        g_strlcpy(status_shown, text, sizeof status_shown);
        gtk_label_set_text(GTK_LABEL(bv.w_status), text);
    }
}

/* The filter entry shows text (when it came from a session). */
void show_filter_text(const char *text)
{
    if (bv.w_filter && strcmp(gtk_entry_get_text(GTK_ENTRY(bv.w_filter)), text) != 0) {
        bv.updating_widgets = 1;
        gtk_entry_set_text(GTK_ENTRY(bv.w_filter), text);
        bv.updating_widgets = 0;
    }
}

gboolean on_refresh(gpointer)
{
    int64_t t0 = g_get_monotonic_time();
    if (bv.last_refresh_us && t0 - bv.last_refresh_us > bv.max_refresh_gap_us)
        bv.max_refresh_gap_us = t0 - bv.last_refresh_us;
    bv_refresh();
    bv.last_refresh_us = g_get_monotonic_time();
    if (bv.last_refresh_us - t0 > bv.max_refresh_us)
        bv.max_refresh_us = bv.last_refresh_us - t0;
    return TRUE;
}

/* ------------------------------------------------------------ callbacks */

void on_view_changed(GtkComboBox *combo, gpointer)
{
    if (!bv.updating_widgets && bv.trace)
        bv_apply_view(gtk_combo_box_get_active(combo) == 1 ? 1 : 0);
}

void on_time_changed(GtkComboBox *combo, gpointer)
{
    if (!bv.updating_widgets && bv.trace)
        bv_apply_time_mode(gtk_combo_box_get_active(combo) == 1 ? 1 : 0);
}

void on_pause_toggled(GtkToggleButton *button, gpointer)
{
    if (!bv.updating_widgets && bv.trace)
        bv_set_paused(gtk_toggle_button_get_active(button));
}

void on_clear_clicked(GtkButton *, gpointer)
{
    if (bv.trace)
        bv_do_clear();
}

void on_autoscroll_toggled(GtkToggleButton *button, gpointer)
{
    if (bv.updating_widgets || !bv.trace)
        return;
    bv.autoscroll = gtk_toggle_button_get_active(button);
    if (bv.autoscroll)
        scroll_to_end();
}

gboolean on_filter_pause(gpointer)
{
    filter_timer = 0;
    if (bv.trace && bv.w_filter)
        bv_apply_filter_text(gtk_entry_get_text(GTK_ENTRY(bv.w_filter)));
    return FALSE;
}

/* A filter is applied once typing pauses, not at every key. */
void on_filter_changed(GtkEditable *, gpointer)
{
    if (bv.updating_widgets || !bv.trace)
        return;
    if (filter_timer)
        g_source_remove(filter_timer);
    filter_timer = g_timeout_add(FILTER_PAUSE_MS, on_filter_pause, nullptr);
}

/* The channel choice's entries after "All channels": slots of nbkit_chans(),
 * or while a log is shown -1 - the log's channel. */
int channel_slots[NBKIT_CHAN_SLOTS + 64];
int channel_entries;

void on_channel_changed(GtkComboBox *combo, gpointer)
{
    int i = gtk_combo_box_get_active(combo);
    if (bv.updating_widgets || !bv.trace || i < 0)
        return;
    char name[NBKIT_CHAN_NAME] = "";
    if (i > 0 && i <= channel_entries && channel_slots[i - 1] < 0)
        bv_log_chan_name(name, sizeof name, (unsigned)(-1 - channel_slots[i - 1]));
    else if (i > 0 && i <= channel_entries)
        g_strlcpy(name, nbkit_chans_name(nbkit_chans(), channel_slots[i - 1]), sizeof name);
    bv_apply_channel(name);
}

/* "All channels", the channels there are now, and the one shown alone
 * should it be gone. */
void fill_channels(void)
{
    if (!bv.w_channel)
        return;
    bv.updating_widgets++;
    GtkComboBox *combo = GTK_COMBO_BOX(bv.w_channel);
    gtk_list_store_clear(GTK_LIST_STORE(gtk_combo_box_get_model(combo)));
    gtk_combo_box_append_text(combo, _("All channels"));
    const nbkit_chans_t *c = nbkit_chans();
    int active = 0;
    channel_entries = 0;
    /* A log shown: its channels, by its names. */
    uint64_t log = bv_log_active() ? bv_log_channels() : 0;
    for (int n = 0; n < 64 && log; n++) {
        if (!(log & (1ull << n)))
            continue;
        char name[NBKIT_CHAN_NAME];
        bv_log_chan_name(name, sizeof name, (unsigned)n);
        channel_slots[channel_entries++] = -1 - n;
        gtk_combo_box_append_text(combo, name);
        if (bv.filter.chan_on && strcmp(name, bv.filter.chan_name) == 0)
            active = channel_entries;
    }
    for (int i = log ? c->count : 0; i <= c->count; i++) {
        int slot = i < c->count ? c->slot_of[i] : bv.filter.chan_slot;
        if (i == c->count && (!bv.filter.chan_on || active > 0))
            break;
        channel_slots[channel_entries++] = slot;
        gtk_combo_box_append_text(combo, nbkit_chans_name(c, slot));
        if (bv.filter.chan_on && slot == bv.filter.chan_slot && active == 0)
            active = channel_entries;
    }
    gtk_combo_box_set_active(combo, active);
    bv.updating_widgets--;
}

void on_formats_changed(GtkComboBox *combo, gpointer)
{
    int formats = gtk_combo_box_get_active(combo);
    if (!bv.updating_widgets && bv.trace && formats >= 0)
        bv_apply_formats(formats);
}

void on_filter_activate(GtkEntry *, gpointer)
{
    if (filter_timer) {
        g_source_remove(filter_timer);
        filter_timer = 0;
    }
    on_filter_pause(nullptr);
}

/* One slice of applying a filter: look at the records; then take from the
 * view the rows the new lines do not need, let the others read the new
 * lines and give it the rest, some milliseconds at a time (the view
 * rebuilding 100,000 rows at once would hold up the main loop for a tenth
 * of a second). */
gboolean on_filter_slice(gpointer)
{
    if (!bv.trace || !bv.w_trace) {
        filter_idle = 0;
        return FALSE;
    }
    /* A row signal costs the view of a long trace one or two microseconds
     * (Release build), more on a busy machine: a slice takes as many as
     * fit in its time. */
    int64_t until = g_get_monotonic_time() + ROWS_SLICE_US;
    if (bv_trace_refiltering(bv.trace)) {
        if (!bv_trace_refilter_step(bv.trace, FILTER_SLICE))
            return TRUE;
        uint32_t excess;
        while ((excess = bv_trace_refilter_excess(bv.trace)) > 0) {
            bv_trace_unshow(bv.trace, excess < ROWS_CHUNK ? excess : ROWS_CHUNK);
            if (g_get_monotonic_time() >= until)
                return TRUE;
        }
        bv_trace_refilter_finish(bv.trace, 1);
        close_trace_tip();
        gtk_widget_queue_draw(bv.w_trace);
    }
    while (bv_trace_sync_some(bv.trace, ROWS_CHUNK) > 0)
        if (g_get_monotonic_time() >= until)
            return TRUE;
    filter_idle = 0;
    if (bv.autoscroll)
        scroll_to_end();
    /* The progress note goes; a message about newer text stays. */
    if (bv.w_filter_msg &&
        strcmp(gtk_label_get_text(GTK_LABEL(bv.w_filter_msg)), _("Filtering...")) == 0) {
        gtk_label_set_text(GTK_LABEL(bv.w_filter_msg), "");
        gtk_widget_hide(bv.w_filter_msg);
    }
    return FALSE;
}

void on_history_changed(GtkSpinButton *spin, gpointer)
{
    if (bv.updating_widgets || !bv.trace)
        return;
    if (bv_apply_history((uint32_t)gtk_spin_button_get_value_as_int(spin)) != 0)
        bv_sync_widgets();
}

/* A frame's whole payload, a group of 8 bytes to a line: in the live
 * trace and an open log (ids 0), and in the per-identifier views, whose
 * data is markup (ids 1). */
gboolean on_data_tooltip(GtkWidget *view, gint x, gint y, gboolean keyboard, GtkTooltip *tip,
                         gpointer ids)
{
    GtkTreeModel *model = nullptr;
    GtkTreePath *path = nullptr;
    GtkTreeIter it;
    if (!gtk_tree_view_get_tooltip_context(GTK_TREE_VIEW(view), &x, &y, keyboard, &model, &path,
                                           &it))
        return FALSE;
    gint kind = BV_RX;
    gchar *data = nullptr;
    if (!ids) {
        gtk_tree_model_get(model, &it, BV_COL_KIND, &kind, BV_COL_DATA, &data, -1);
    } else {
        gchar *markup = nullptr;
        gtk_tree_model_get(model, &it, BV_IDCOL_DATA, &markup, -1);
        if (markup && !pango_parse_markup(markup, -1, 0, nullptr, &data, nullptr, nullptr))
            data = nullptr;
        g_free(markup);
    }
    gboolean frame = bv_kind_frame((unsigned)kind);
    gboolean show = data && data[0];
    if (show && !frame) {
        /* A status or error line: its whole text, which the column cuts. */
        gtk_tooltip_set_text(tip, data);
        gtk_tree_view_set_tooltip_row(GTK_TREE_VIEW(view), tip, path);
    } else if (show) {
        char text[BV_DATA_TEXT];
        size_t o = 0, gap = strlen(BV_GROUP_GAP);
        for (const char *p = data; *p && o + 1 < sizeof text;) {
            if (strncmp(p, BV_GROUP_GAP, gap) == 0) {
                text[o++] = '\n';
                p += gap;
            } else {
                text[o++] = *p++;
            }
        }
        text[o] = '\0';
        gtk_tooltip_set_text(tip, text);
        gtk_tree_view_set_tooltip_row(GTK_TREE_VIEW(view), tip, path);
    }
    g_free(data);
    gtk_tree_path_free(path);
    if (show && view == bv.w_trace)
        trace_tip = true;
    return show;
}

/* -------------------------------------------------------------- building */

/* The trace's Data column takes the width the other columns leave, so a
 * status line shows as much as the window allows; it never gets narrower
 * than it was made. Set when the view's width changes only: the columns
 * stay of fixed width, which the views' speed depends on. */
void on_trace_allocate(GtkWidget *view, GtkAllocation *a, gpointer data_column)
{
    GtkTreeViewColumn *data = GTK_TREE_VIEW_COLUMN(data_column);
    if (GPOINTER_TO_INT(g_object_get_data(G_OBJECT(view), "bv-width")) == a->width)
        return;
    g_object_set_data(G_OBJECT(view), "bv-width", GINT_TO_POINTER(a->width));
    int others = 0;
    GList *all = gtk_tree_view_get_columns(GTK_TREE_VIEW(view));
    for (GList *l = all; l; l = l->next) {
        GtkTreeViewColumn *c = GTK_TREE_VIEW_COLUMN(l->data);
        if (c != data && gtk_tree_view_column_get_visible(c))
            others += gtk_tree_view_column_get_fixed_width(c);
    }
    g_list_free(all);
    int least = GPOINTER_TO_INT(g_object_get_data(G_OBJECT(data), "bv-least"));
    int want = MAX(least, a->width - others);
    if (want != gtk_tree_view_column_get_fixed_width(data))
        gtk_tree_view_column_set_fixed_width(data, want);
}

int mono_char_width(GtkWidget *w)
{
    PangoLayout *layout = gtk_widget_create_pango_layout(w, "0123456789");
    PangoFontDescription *fd = pango_font_description_from_string("Monospace");
    pango_layout_set_font_description(layout, fd);
    int width = 0, height = 0;
    pango_layout_get_pixel_size(layout, &width, &height);
    pango_font_description_free(fd);
    g_object_unref(layout);
    row_height = height + 4;
    return width > 0 ? (width + 9) / 10 : 8;
}

}  // namespace

/* The cell data function of the views' own cells (see busview.h). It sets
 * the cell's text and background directly: GTK's attributes would set two
 * properties with their notifications and copy two strings for each cell
 * drawn. */
void bv_set_cell(GtkTreeViewColumn *, GtkCellRenderer *cell, GtkTreeModel *model, GtkTreeIter *it,
                 gpointer data)
{
    int col = GPOINTER_TO_INT(data) & 0xFFFF, bg_col = GPOINTER_TO_INT(data) >> 16;
    char buf[BV_DATA_TEXT], bg_buf[32];
    if (G_TYPE_CHECK_INSTANCE_TYPE(model, BV_TYPE_TRACE)) {
        const char *bg = bg_col ? bv_trace_text(model, it, bg_col, bg_buf, sizeof bg_buf) : nullptr;
        bv_cell_set(cell, bv_trace_text(model, it, col, buf, sizeof buf), bg);
        return;
    }
    gchar *text = nullptr, *bg = nullptr;
    if (bg_col)
        gtk_tree_model_get(model, it, col, &text, bg_col, &bg, -1);
    else
        gtk_tree_model_get(model, it, col, &text, -1);
    bv_cell_set(cell, text, bg);
    g_free(text);
    g_free(bg);
}

namespace {

/* A column of a view is at least as wide as its header (a translated
 * title may be longer than the texts below it). */
void fit_title(GtkTreeViewColumn *column)
{
    GtkRequisition title;
    gtk_widget_size_request(column->button, &title);
    if (title.width > gtk_tree_view_column_get_fixed_width(column))
        gtk_tree_view_column_set_fixed_width(column, title.width);
}

GtkTreeViewColumn *add_column(GtkWidget *view, const char *title, int col, int chars,
                              int char_width, bool mono, bool markup, int bg_col)
{
    GtkCellRenderer *cell;
    if (markup) {
        /* A text wider than its column ends in an ellipsis. */
        cell = gtk_cell_renderer_text_new();
        g_object_set(cell, "ellipsize", PANGO_ELLIPSIZE_END, nullptr);
        if (mono)
            g_object_set(cell, "family", "Monospace", nullptr);
    } else {
        cell = bv_cell_new(mono);
    }
    GtkTreeViewColumn *column = gtk_tree_view_column_new();
    gtk_tree_view_column_set_title(column, title);
    gtk_tree_view_column_pack_start(column, cell, TRUE);
    if (markup) {
        gtk_tree_view_column_add_attribute(column, cell, "markup", col);
        if (bg_col >= 0)
            gtk_tree_view_column_add_attribute(column, cell, "cell-background", bg_col);
    } else {
        /* Column 0 is never a background. */
        gpointer data = GINT_TO_POINTER(col | (bg_col > 0 ? bg_col << 16 : 0));
        gtk_tree_view_column_set_cell_data_func(column, cell, bv_set_cell, data, nullptr);
        bv_paint_column(column, cell, data);
    }
    gtk_tree_view_column_set_sizing(column, GTK_TREE_VIEW_COLUMN_FIXED);
    gtk_tree_view_column_set_fixed_width(column, chars * char_width + 12);
    gtk_tree_view_column_set_resizable(column, TRUE);
    gtk_tree_view_append_column(GTK_TREE_VIEW(view), column);
    fit_title(column);
    return column;
}

}  // namespace

GtkWidget *bv_build_trace_view(const char *name)
{
    GtkWidget *view = gtk_tree_view_new();
    gtk_widget_set_name(view, name);
    int cw = mono_char_width(view);
    add_column(view, _("Time"), BV_COL_TIME, 16, cw, true, false, BV_COL_BACKGROUND);
    add_column(view, _("Channel"), BV_COL_CHAN, 5, cw, false, false, BV_COL_CHAN_BACKGROUND);
    add_column(view, _("Dir"), BV_COL_DIR, 6, cw, false, false, BV_COL_BACKGROUND);
    add_column(view, _("ID"), BV_COL_ID, 8, cw, true, false, BV_COL_BACKGROUND);
    add_column(view, _("Marks"), BV_COL_MARKS, 11, cw, false, false, BV_COL_BACKGROUND);
    add_column(view, _("Len"), BV_COL_LEN, 3, cw, true, false, BV_COL_BACKGROUND);
    add_column(view, _("Delta ms"), BV_COL_DELTA, 11, cw, true, false, BV_COL_BACKGROUND);
    GtkTreeViewColumn *data =
        add_column(view, _("Data"), BV_COL_DATA, 45, cw, true, false, BV_COL_BACKGROUND);
    g_object_set_data(G_OBJECT(data), "bv-least",
                      GINT_TO_POINTER(gtk_tree_view_column_get_fixed_width(data)));
    g_signal_connect(view, "size-allocate", G_CALLBACK(on_trace_allocate), data);
    /* An empty last column takes the spare width. A view whose columns do
     * not expand invalidates only its last column when it takes new rows;
     * this one costs nothing to draw. It has a cell all the same, one that
     * never gets a text: for a column without any, the accessibility layer
     * makes a stand-in cell of its own for each row it is asked about and
     * drops it without ever owning it, and GTK warns of a finalized
     * floating object each time such a row goes. */
    GtkTreeViewColumn *filler = gtk_tree_view_column_new();
    gtk_tree_view_column_pack_start(filler, bv_cell_new(FALSE), TRUE);
    bv_paint_column(filler, nullptr, nullptr);
    gtk_tree_view_column_set_sizing(filler, GTK_TREE_VIEW_COLUMN_FIXED);
    gtk_tree_view_column_set_fixed_width(filler, 1);
    gtk_tree_view_append_column(GTK_TREE_VIEW(view), filler);
    gtk_tree_view_set_enable_search(GTK_TREE_VIEW(view), FALSE);
    g_object_set(view, "fixed-height-mode", TRUE, "has-tooltip", TRUE, nullptr);
    g_signal_connect(view, "query-tooltip", G_CALLBACK(on_data_tooltip), nullptr);
    bv_paint_view(view);
    return view;
}

GtkWidget *bv_build_ids_view(GtkTreeModel *model, const char *name)
{
    GtkWidget *view = gtk_tree_view_new_with_model(model);
    gtk_widget_set_name(view, name);
    int cw = mono_char_width(view);
    add_column(view, _("Channel"), BV_IDCOL_CHAN, 5, cw, false, false, BV_IDCOL_CHAN_BACKGROUND);
    add_column(view, _("ID"), BV_IDCOL_ID, 8, cw, true, false, BV_IDCOL_BACKGROUND);
    add_column(view, _("Dir"), BV_IDCOL_DIR, 6, cw, false, false, BV_IDCOL_BACKGROUND);
    add_column(view, _("Marks"), BV_IDCOL_MARKS, 11, cw, false, false, BV_IDCOL_BACKGROUND);
    add_column(view, _("Len"), BV_IDCOL_LEN, 3, cw, true, false, BV_IDCOL_BACKGROUND);
    add_column(view, _("Count"), BV_IDCOL_COUNT, 10, cw, true, false, BV_IDCOL_BACKGROUND);
    GtkTreeViewColumn *period =
        add_column(view, _("Period ms"), BV_IDCOL_PERIOD, 11, cw, true, false, BV_IDCOL_BACKGROUND);
    /* The header says what the figure is: a custom header label carries
     * the tooltip. */
    GtkWidget *header = gtk_label_new(_("Period ms"));
    char tip[256];
    g_snprintf(tip, sizeof tip,
               _("Mean interval before each of the last %d frames of this identifier "
                 "and direction, in milliseconds"),
               BV_PERIOD_FRAMES);
    gtk_widget_set_tooltip_text(header, tip);
    gtk_widget_show(header);
    gtk_tree_view_column_set_widget(period, header);
    fit_title(period);
    GtkTreeViewColumn *data =
        add_column(view, _("Last data"), BV_IDCOL_DATA, 24, cw, true, true, BV_IDCOL_BACKGROUND);
    gtk_tree_view_column_set_expand(data, TRUE);
    gtk_tree_view_set_enable_search(GTK_TREE_VIEW(view), FALSE);
    g_object_set(view, "fixed-height-mode", TRUE, "has-tooltip", TRUE, nullptr);
    g_signal_connect(view, "query-tooltip", G_CALLBACK(on_data_tooltip), GINT_TO_POINTER(1));
    return view;
}

GtkWidget *bv_scrolled(GtkWidget *child)
{
    GtkWidget *sw = pgparts::scrolled(child, GTK_POLICY_ALWAYS);
    gtk_widget_show_all(sw);
    /* The host shows the page with all its children; which of the two
     * views is visible is ours to decide. */
    gtk_widget_set_no_show_all(sw, TRUE);
    return sw;
}

namespace {

void follow_visible(GObject *child, GParamSpec *, gpointer box)
{
    gtk_widget_set_visible(GTK_WIDGET(box), gtk_widget_get_visible(GTK_WIDGET(child)));
}

/* child in a window of its own, shown while child is (which the page's
 * showing leaves as it is). What changes four
 * times a second (the views' rows and scroll bars, the status figures)
 * then redraws there alone, not the notebook's frame and every widget of
 * the page around it; and its new size is settled within it, without a
 * new layout of the whole main window (only a child that asks for more
 * room than it has asks the window). */
GtkWidget *windowed(GtkWidget *child)
{
    GtkWidget *box = gtk_event_box_new();
    gtk_container_set_resize_mode(GTK_CONTAINER(box), GTK_RESIZE_QUEUE);
    gtk_container_add(GTK_CONTAINER(box), child);
    gtk_widget_set_visible(box, gtk_widget_get_visible(child));
    gtk_widget_set_no_show_all(box, TRUE);
    g_signal_connect(child, "notify::visible", G_CALLBACK(follow_visible), box);
    return box;
}

GtkWidget *labelled(GtkWidget *box, const char *text, GtkWidget *w)
{
    GtkWidget *label = gtk_label_new_with_mnemonic(text);
    gtk_label_set_mnemonic_widget(GTK_LABEL(label), w);
    gtk_box_pack_start(GTK_BOX(box), label, FALSE, FALSE, 0);
    gtk_box_pack_start(GTK_BOX(box), w, FALSE, FALSE, 0);
    return w;
}

}  // namespace

GtkWidget *bv_page_build(void)
{
    status_shown[0] = '\0';
    GtkWidget *page = gtk_vbox_new(FALSE, 4);
    gtk_container_set_border_width(GTK_CONTAINER(page), 4);
    gtk_widget_set_name(page, "busview-page");
    bv.page = page;

    GtkWidget *bar = gtk_hbox_new(FALSE, 6);
    gtk_box_pack_start(GTK_BOX(page), bar, FALSE, FALSE, 0);

    bv.w_view = gtk_combo_box_new_text();
    gtk_widget_set_name(bv.w_view, "busview-view");
    gtk_combo_box_append_text(GTK_COMBO_BOX(bv.w_view), _("Trace"));
    gtk_combo_box_append_text(GTK_COMBO_BOX(bv.w_view), _("Per identifier"));
    labelled(bar, _("_View:"), bv.w_view);

    bv.w_time = gtk_combo_box_new_text();
    gtk_widget_set_name(bv.w_time, "busview-time");
    gtk_combo_box_append_text(GTK_COMBO_BOX(bv.w_time), _("Relative"));
    gtk_combo_box_append_text(GTK_COMBO_BOX(bv.w_time), _("Absolute"));
    labelled(bar, _("_Time:"), bv.w_time);

    bv.w_pause = gtk_toggle_button_new_with_mnemonic(_("Pa_use"));
    gtk_widget_set_name(bv.w_pause, "busview-pause");
    gtk_widget_set_tooltip_text(bv.w_pause, _("Stop adding lines; frames are still counted"));
    gtk_box_pack_start(GTK_BOX(bar), bv.w_pause, FALSE, FALSE, 0);

    bv.w_clear = gtk_button_new_with_mnemonic(_("_Clear"));
    gtk_widget_set_name(bv.w_clear, "busview-clear");
    gtk_box_pack_start(GTK_BOX(bar), bv.w_clear, FALSE, FALSE, 0);

    bv.w_autoscroll = gtk_check_button_new_with_mnemonic(_("_Autoscroll"));
    gtk_widget_set_name(bv.w_autoscroll, "busview-autoscroll");
    gtk_widget_set_tooltip_text(bv.w_autoscroll,
                                _("Follow new lines while the last line is shown"));
    gtk_box_pack_end(GTK_BOX(bar), bv_log_open_button(), FALSE, FALSE, 0);
    gtk_box_pack_end(GTK_BOX(bar), bv_save_button(), FALSE, FALSE, 0);

    /* Second row: the filter takes what room there is. The rows fit the
     * page of the smallest main window. */
    bar = gtk_hbox_new(FALSE, 6);
    gtk_box_pack_start(GTK_BOX(page), bar, FALSE, FALSE, 0);

    bv.w_filter = gtk_entry_new();
    gtk_widget_set_name(bv.w_filter, "busview-filter");
    gtk_entry_set_max_length(GTK_ENTRY(bv.w_filter), BV_FILTER_TEXT - 1);
    gtk_entry_set_width_chars(GTK_ENTRY(bv.w_filter), 12);
    gtk_widget_set_tooltip_text(bv.w_filter,
                                _("Identifiers and ranges in hexadecimal, for example "
                                  "100-1FF, 7E8, 18DAF110; empty shows every frame"));
    labelled(bar, _("F_ilter:"), bv.w_filter);
    gtk_box_set_child_packing(GTK_BOX(bar), bv.w_filter, TRUE, TRUE, 0, GTK_PACK_START);

    /* In the order of bv_formats. */
    bv.w_formats = gtk_combo_box_new_text();
    gtk_widget_set_name(bv.w_formats, "busview-formats");
    gtk_combo_box_append_text(GTK_COMBO_BOX(bv.w_formats), _("All frames"));
    gtk_combo_box_append_text(GTK_COMBO_BOX(bv.w_formats), _("CAN FD only"));
    gtk_combo_box_append_text(GTK_COMBO_BOX(bv.w_formats), _("Classic only"));
    gtk_widget_set_tooltip_text(bv.w_formats, _("Show frames of either format or of one"));
    labelled(bar, _("F_rames:"), bv.w_formats);

    bar = gtk_hbox_new(FALSE, 6);
    gtk_box_pack_start(GTK_BOX(page), bar, FALSE, FALSE, 0);
    gtk_box_pack_end(GTK_BOX(bar), bv.w_autoscroll, FALSE, FALSE, 0);

    /* Under the filter, which takes the row above whole. */
    bv.w_channel = gtk_combo_box_new_text();
    gtk_widget_set_name(bv.w_channel, "busview-channel");
    gtk_widget_set_tooltip_text(bv.w_channel,
                                _("Show the lines of every channel or of one, in both views"));
    labelled(bar, _("Cha_nnel:"), bv.w_channel);
    fill_channels();

    bv.w_history = gtk_spin_button_new_with_range(BV_HISTORY_MIN, BV_HISTORY_MAX, 1000);
    gtk_widget_set_name(bv.w_history, "busview-history");
    gtk_spin_button_set_increments(GTK_SPIN_BUTTON(bv.w_history), 10000, 100000);
    gtk_widget_set_tooltip_text(bv.w_history, _("Lines the trace keeps"));
    labelled(bar, _("Hist_ory:"), bv.w_history);

    bv.w_filter_msg = gtk_label_new("");
    gtk_widget_set_name(bv.w_filter_msg, "busview-filter-message");
    gtk_misc_set_alignment(GTK_MISC(bv.w_filter_msg), 0.0f, 0.5f);
    gtk_widget_set_no_show_all(bv.w_filter_msg, TRUE);
    gtk_box_pack_start(GTK_BOX(page), bv.w_filter_msg, FALSE, FALSE, 0);
    gtk_box_pack_start(GTK_BOX(page), bv_save_message(), FALSE, FALSE, 0);

    bv.w_trace = bv_build_trace_view("busview-trace");
    attach_trace();
    bv.w_trace_sw = bv_scrolled(bv.w_trace);
    gtk_box_pack_start(GTK_BOX(page), windowed(bv.w_trace_sw), TRUE, TRUE, 0);

    bv.w_ids = bv_build_ids_view(bv.ids.model, "busview-ids");
    bv.w_ids_sw = bv_scrolled(bv.w_ids);
    gtk_box_pack_start(GTK_BOX(page), windowed(bv.w_ids_sw), TRUE, TRUE, 0);
    gtk_widget_hide(bv.w_ids_sw);

    bv_log_build(page);

    bv.w_status = gtk_label_new("");
    gtk_widget_set_name(bv.w_status, "busview-status");
    gtk_misc_set_alignment(GTK_MISC(bv.w_status), 0.0f, 0.5f);
    gtk_widget_show(bv.w_status);
    gtk_box_pack_start(GTK_BOX(page), windowed(bv.w_status), FALSE, FALSE, 0);

    bv_sync_widgets();
    g_signal_connect(bv.w_view, "changed", G_CALLBACK(on_view_changed), nullptr);
    g_signal_connect(bv.w_time, "changed", G_CALLBACK(on_time_changed), nullptr);
    g_signal_connect(bv.w_pause, "toggled", G_CALLBACK(on_pause_toggled), nullptr);
    g_signal_connect(bv.w_clear, "clicked", G_CALLBACK(on_clear_clicked), nullptr);
    g_signal_connect(bv.w_autoscroll, "toggled", G_CALLBACK(on_autoscroll_toggled), nullptr);
    g_signal_connect(bv.w_filter, "changed", G_CALLBACK(on_filter_changed), nullptr);
    g_signal_connect(bv.w_filter, "activate", G_CALLBACK(on_filter_activate), nullptr);
    g_signal_connect(bv.w_formats, "changed", G_CALLBACK(on_formats_changed), nullptr);
    g_signal_connect(bv.w_channel, "changed", G_CALLBACK(on_channel_changed), nullptr);
    /* The page comes into sight (its tab chosen), or a view (switched to):
     * a view in a window of its own stays mapped while the page is away. */
    g_signal_connect(page, "map", G_CALLBACK(on_view_shown), nullptr);
    g_signal_connect(bv.w_trace, "map", G_CALLBACK(on_view_shown), nullptr);
    g_signal_connect(bv.w_ids, "map", G_CALLBACK(on_view_shown), nullptr);
    g_signal_connect(gtk_scrolled_window_get_vadjustment(GTK_SCROLLED_WINDOW(bv.w_ids_sw)),
                     "value-changed", G_CALLBACK(on_ids_scrolled), nullptr);
    g_signal_connect(trace_adjustment(), "value-changed", G_CALLBACK(on_trace_scrolled), nullptr);
    g_signal_connect(bv.w_trace, "move-cursor", G_CALLBACK(on_trace_move_cursor), nullptr);
    g_signal_connect(bv.w_trace, "grab-focus", G_CALLBACK(on_trace_grab_focus), nullptr);
    g_signal_connect(bv.w_history, "value-changed", G_CALLBACK(on_history_changed), nullptr);

    update_status();
    bv.refresh_source = g_timeout_add_full(NB_REFRESH_PRIORITY, BV_REFRESH_MS, on_refresh, nullptr, nullptr);
    return page;
}

void bv_page_release(void)
{
    if (bv.refresh_source)
        g_source_remove(bv.refresh_source);
    bv.refresh_source = 0;
    bv_save_release();
    bv_log_release();
    trace_tip = false;
    nkeys_waiting = 0;
    for (guint *id : {&scroll_source, &soon_source, &all_lines_source, &grow_source, &shrink_source,
                      &filter_timer,
                      &filter_idle}) {
        if (*id)
            g_source_remove(*id);
        *id = 0;
    }
    /* The page and its views belong to the host now, which destroys them;
     * the views keep their own references to the models. */
    bv.page = bv.w_view = bv.w_time = bv.w_pause = bv.w_clear = bv.w_autoscroll = nullptr;
    bv.w_channel = nullptr;
    bv.w_filter = bv.w_formats = bv.w_filter_msg = bv.w_history = bv.w_trace = bv.w_trace_sw = nullptr;
    bv.w_ids = bv.w_ids_sw = bv.w_status = nullptr;
    bv_ids_free(&bv.ids);
    if (bv.trace)
        g_object_unref(bv.trace);
    bv.trace = nullptr;
}

void bv_refresh(void)
{
    if (!bv.trace || !bv.w_trace)
        return;
    /* A hidden page costs nothing; it catches up when shown. */
    if (!shown(bv.page))
        return;
    if (bv_log_active()) {
        /* The live lines catch up when the log is closed. */
        bv_log_refresh();
    } else if (bv.view == 0) {
        sync_trace();
        /* The controller's first start may move the host's time origin. */
        int64_t origin = nbkit_origin_us();
        if (origin != bv.origin_shown) {
            bv.origin_shown = origin;
            if (!bv.absolute)
                gtk_widget_queue_draw(bv.w_trace);
        }
    } else if (!bv.paused) {
        bv_ids_refresh(&bv.ids, &bv.filter, GTK_TREE_VIEW(bv.w_ids));
    }
    update_status();
}

void bv_apply_view(int view)
{
    bv.view = view ? 1 : 0;
    if (!bv.w_trace_sw)
        return;
    if (bv.view == 1) {
        gtk_widget_hide(bv.w_trace_sw);
        gtk_widget_show(bv.w_ids_sw);
        bv_ids_refresh(&bv.ids, &bv.filter, GTK_TREE_VIEW(bv.w_ids));
    } else {
        gtk_widget_hide(bv.w_ids_sw);
        gtk_widget_show(bv.w_trace_sw);
        if (bv.autoscroll)
            scroll_to_end();
    }
    bv_log_show_view(bv.view);
    bv_sync_widgets();
}

void bv_apply_time_mode(int absolute)
{
    bv.absolute = absolute ? 1 : 0;
    bv_trace_set_absolute(bv.trace, bv.absolute);
    if (bv.w_trace)
        gtk_widget_queue_draw(bv.w_trace);
    bv_log_redraw();
    bv_sync_widgets();
}

namespace {

/* Puts a filter in force: the trace (in slices when long), an open log
 * and the per-identifier view. */
void apply_filter(const bv_filter &f)
{
    bv.filter = f;
    if (bv.w_trace && bv_trace_refilter_begin(bv.trace, &f) == 0) {
        /* A long trace is filtered in slices; its lines change when all
         * have been looked at. */
        if (bv.w_filter_msg) {
            gtk_label_set_text(GTK_LABEL(bv.w_filter_msg), _("Filtering..."));
            gtk_widget_show(bv.w_filter_msg);
        }
        if (!filter_idle)
            filter_idle = g_idle_add(on_filter_slice, nullptr);
    } else {
        if (bv.w_filter_msg) {
            gtk_label_set_text(GTK_LABEL(bv.w_filter_msg), "");
            gtk_widget_hide(bv.w_filter_msg);
        }
        if (bv.w_trace)
            detach_trace();
        bv_trace_set_filter(bv.trace, &f);
        if (bv.w_trace) {
            attach_trace();
            if (bv.autoscroll)
                scroll_to_end();
        }
    }
    bv_log_set_filter(&f);
    GtkTreeView *ids_view = bv.w_ids ? GTK_TREE_VIEW(bv.w_ids) : nullptr;
    bv_ids_relist(&bv.ids, ids_view);
    if (bv.view == 1)
        bv_ids_refresh(&bv.ids, &bv.filter, ids_view);
    bv_sync_widgets();
}

}  // namespace

void bv_apply_channel(const char *name)
{
    bv_filter f = bv.filter;
    f.chan_on = name && *name;
    f.chan_slot = f.chan_on ? (uint8_t)nbkit_chans_slot_named(nbkit_chans(), name) : 0;
    g_strlcpy(f.chan_name, f.chan_on ? name : "", sizeof f.chan_name);
    if (f.chan_on != bv.filter.chan_on || strcmp(f.chan_name, bv.filter.chan_name) != 0)
        apply_filter(f);
    fill_channels();
}

void bv_channels_changed(void)
{
    fill_channels();
}

void bv_apply_formats(int formats)
{
    bv_filter f = bv.filter;
    f.formats = formats == BV_FORMATS_FD || formats == BV_FORMATS_CLASSIC ? (uint8_t)formats
                                                                          : (uint8_t)BV_FORMATS_ALL;
    apply_filter(f);
}

int bv_apply_filter_text(const char *text)
{
    char msg[512];
    bv_filter f = bv.filter;
    if (bv_filter_parse(text, &f, msg, sizeof msg) != 0) {
        if (bv.w_filter_msg) {
            char *markup = g_markup_printf_escaped("<span foreground=\"#c00000\">%s</span>", msg);
            gtk_label_set_markup(GTK_LABEL(bv.w_filter_msg), markup);
            g_free(markup);
            gtk_widget_show(bv.w_filter_msg);
        }
        /* The entry keeps the text so that it can be corrected. */
        show_filter_text(text);
        return -1;
    }
    g_strlcpy(bv.filter_text, text, sizeof bv.filter_text);
    show_filter_text(text);
    apply_filter(f);
    return 0;
}

int bv_apply_history(uint32_t history)
{
    if (history < BV_HISTORY_MIN)
        history = BV_HISTORY_MIN;
    if (history > BV_HISTORY_MAX)
        history = BV_HISTORY_MAX;
    if (history == bv_trace_capacity(bv.trace)) {
        bv.history = history;
        return 0;
    }
    BvTrace *t = bv_trace_new(history);
    if (!t) {
        if (bv.w_filter_msg) {
            char msg[256];
            g_snprintf(msg, sizeof msg,
                       g_dngettext(GETTEXT_PACKAGE, "Not enough memory for a history of %u line.",
                                   "Not enough memory for a history of %u lines.", history),
                       history);
            gtk_label_set_text(GTK_LABEL(bv.w_filter_msg), msg);
            gtk_widget_show(bv.w_filter_msg);
        }
        return -1;
    }
    if (bv.w_trace)
        detach_trace();
    bv_trace_copy_from(t, bv.trace);
    g_object_unref(bv.trace);
    bv.trace = t;
    bv.history = history;
    if (bv.w_trace) {
        attach_trace();
        if (bv.autoscroll)
            scroll_to_end();
    }
    bv_sync_widgets();
    return 0;
}

void bv_do_clear(void)
{
    if (bv.w_trace)
        detach_trace();
    bv_trace_clear(bv.trace);
    if (bv.w_trace)
        attach_trace();
    bv_ids_clear(&bv.ids, bv.w_ids ? GTK_TREE_VIEW(bv.w_ids) : nullptr);
    bv.rx = bv.tx = bv.lost = bv.bits = bv.data_bits = bv.dropped_while_paused = 0;
    bv.rx_main = bv.rx_bits = bv.rx_data_bits = 0;
    bv.nrate = 0;
    bv.rate_head = 0;
    if (bv.w_status)
        update_status();
}

void bv_set_paused(int paused)
{
    if (paused && !bv.paused)
        bv.dropped_while_paused = 0;
    bv.paused = paused ? 1 : 0;
    if (!bv.paused && bv.view == 1)
        bv_ids_refresh(&bv.ids, &bv.filter, GTK_TREE_VIEW(bv.w_ids));
    bv_sync_widgets();
    if (bv.w_status)
        update_status();
}

void bv_sync_widgets(void)
{
    if (!bv.page)
        return;
    bv.updating_widgets = 1;
    gtk_combo_box_set_active(GTK_COMBO_BOX(bv.w_view), bv.view);
    gtk_combo_box_set_active(GTK_COMBO_BOX(bv.w_time), bv.absolute);
    gtk_combo_box_set_active(GTK_COMBO_BOX(bv.w_formats), bv.filter.formats);
    gtk_toggle_button_set_active(GTK_TOGGLE_BUTTON(bv.w_pause), bv.paused);
    gtk_toggle_button_set_active(GTK_TOGGLE_BUTTON(bv.w_autoscroll), bv.autoscroll);
    gtk_spin_button_set_value(GTK_SPIN_BUTTON(bv.w_history), bv.history);
    bv.updating_widgets = 0;
    fill_channels();
}
