/*
 * channels_panel.cpp - the channels of the window in the left pane: a list
 * with each channel's board, CAN mode, state and the error events it has
 * seen, Start all / Stop all, and the Channels menu's Add and Remove.
 *
 * The list is shown once a channel was added; while the main channel is
 * alone the pane looks as it always did. The row at index i is the
 * channel at index i of nb_app.chans. An added channel's state is read
 * from its record (running, lom, bus_off, lost, errs) on the status tick
 * and after the window's own actions; nothing here calls the poller.
 */
#include <glib/gi18n.h>
#include <string.h>

#include "app/messages.h"
#include "app/nb_app.h"
#include "gui/gui_parts.h"

namespace {

enum { COL_NAME, COL_MODE, COL_BOARD, COL_STATE, COL_ERRORS, COL_TIP, N_COLS };

GtkWidget *panel = nullptr;       /* the frame, referenced here; in the pane while count > 1 */
GtkWidget *chan_view = nullptr;

/* The error indicators each channel has lit, and the count of error reads
 * of its record already taken in. */
struct lit_entry {
    const nb_chan *chan;
    unsigned lit;
    uint32_t reads;
};
lit_entry lits[NB_CHAN_MAX];

lit_entry *find_lit(const nb_chan *chan, bool make)
{
    lit_entry *free_slot = nullptr;
    for (lit_entry &e : lits) {
        if (e.chan == chan)
            return &e;
        if (!e.chan && !free_slot)
            free_slot = &e;
    }
    if (!make || !free_slot)
        return nullptr;
    *free_slot = lit_entry{chan, 0, 0};
    return free_slot;
}

bool in_set(const nb_app *app, const nb_chan *chan)
{
    for (int32_t i = 0; i < app->chans.count; i++)
        if (app->chans.at[i] == chan)
            return true;
    return false;
}

/* Forgets the channels that are gone (their records are freed: only the
 * address is compared), takes in new error reads. */
void collect_errors(nb_app *app)
{
    for (lit_entry &e : lits)
        if (e.chan && !in_set(app, e.chan))
            e = lit_entry{};
    for (int32_t i = 0; i < app->chans.count; i++) {
        const nb_chan *chan = app->chans.at[i];
        lit_entry *e = find_lit(chan, true);
        if (e && e->reads != chan->errs_reads) {
            e->reads = chan->errs_reads;
            chan_lit_add(chan, &chan->errs);
        }
    }
}

const char *state_text(const nb_chan *chan)
{
    if (chan->lost)
        return _("lost");
    if (chan->bus_off)
        return _("bus-off");
    if (chan->running)
        return chan->lom ? _("listen-only") : _("running");
    return _("stopped");
}

/* The names of the lit indicators, as the errors panel shows them. */
void errors_text(unsigned lit, char *buf, size_t size)
{
    static const char *const names[] = {"EWL", "BOFF", "HOVR", "SOVR", "WTOUT"};
    size_t n = 0;
    buf[0] = '\0';
    for (unsigned b = 0; b < G_N_ELEMENTS(names); b++)
        if (lit & (1u << b))
            n += g_snprintf(buf + n, size - n, n ? " %s" : "%s", names[b]);
}

void set_text(GtkListStore *store, GtkTreeIter *row, int col, const char *text)
{
    gchar *old = nullptr;
    gtk_tree_model_get(GTK_TREE_MODEL(store), row, col, &old, -1);
    if (!old || strcmp(old, text) != 0)
        gtk_list_store_set(store, row, col, text, -1);
    g_free(old);
}

void fill_row(GtkListStore *store, GtkTreeIter *row, const nb_chan *chan)
{
    char name[16], errors[64], board[sizeof chan->board.b.name + 1], tip[NB_TEXT_MAX];
    chan_name(chan, name, sizeof name);
    errors_text(chan_lit(chan), errors, sizeof errors);
    g_strlcpy(board, chan->board.b.name, sizeof board);
    const char *mode = chan->fd == NB_FD_OFF ? _("classic") : _("CAN FD");
    gchar *plain = g_strdup_printf("%s: %s (%s), %s, %s%s%s", name, board, chan->board.serial,
                                   mode, state_text(chan), errors[0] ? ", " : "", errors);
    gchar *escaped = g_markup_escape_text(plain, -1);
    g_strlcpy(tip, escaped, sizeof tip);
    g_free(escaped);
    g_free(plain);
    set_text(store, row, COL_NAME, name);
    set_text(store, row, COL_MODE, mode);
    set_text(store, row, COL_BOARD, board);
    set_text(store, row, COL_STATE, state_text(chan));
    set_text(store, row, COL_ERRORS, errors);
    set_text(store, row, COL_TIP, tip);
}

void on_selection_changed(GtkTreeSelection *sel, gpointer data)
{
    nb_app *app = static_cast<nb_app *>(data);
    GtkTreeModel *model = nullptr;
    GtkTreeIter iter;
    if (!gtk_tree_selection_get_selected(sel, &model, &iter))
        return;
    GtkTreePath *path = gtk_tree_model_get_path(model, &iter);
    const int32_t index = gtk_tree_path_get_indices(path)[0];
    gtk_tree_path_free(path);
    if (index != app->chans.selected)
        select_channel(app, index);
}

/* Brings the rows to the channel set and the selection to the selected
 * channel. */
void update_list(nb_app *app)
{
    GtkListStore *store = GTK_LIST_STORE(gtk_tree_view_get_model(GTK_TREE_VIEW(chan_view)));
    GtkTreeModel *model = GTK_TREE_MODEL(store);
    GtkTreeSelection *sel = gtk_tree_view_get_selection(GTK_TREE_VIEW(chan_view));
    g_signal_handlers_block_by_func(sel, (gpointer)on_selection_changed, app);
    int rows = gtk_tree_model_iter_n_children(model, nullptr);
    GtkTreeIter row;
    for (; rows > app->chans.count; rows--)
        if (gtk_tree_model_iter_nth_child(model, &row, nullptr, rows - 1))
            gtk_list_store_remove(store, &row);
    for (; rows < app->chans.count; rows++)
        gtk_list_store_append(store, &row);
    int32_t i = 0;
    for (gboolean ok = gtk_tree_model_get_iter_first(model, &row); ok && i < app->chans.count;
         ok = gtk_tree_model_iter_next(model, &row), i++) {
        fill_row(store, &row, app->chans.at[i]);
        if (i == app->chans.selected && !gtk_tree_selection_iter_is_selected(sel, &row))
            gtk_tree_selection_select_iter(sel, &row);
    }
    g_signal_handlers_unblock_by_func(sel, (gpointer)on_selection_changed, app);
}

/* A cell shows two fields, the second on a line of its own when set. */
void two_lines(GtkTreeViewColumn *, GtkCellRenderer *cell, GtkTreeModel *model, GtkTreeIter *iter,
               gpointer columns)
{
    const int first = GPOINTER_TO_INT(columns) & 0xff, second = GPOINTER_TO_INT(columns) >> 8;
    gchar *a = nullptr, *b = nullptr;
    gtk_tree_model_get(model, iter, first, &a, second, &b, -1);
    gchar *text = b && *b ? g_strdup_printf("%s\n%s", a ? a : "", b) : g_strdup(a ? a : "");
    g_object_set(cell, "text", text, NULL);
    g_free(text);
    g_free(a);
    g_free(b);
}

GtkWidget *add_button(GtkWidget *box, const char *label, const char *name, GCallback handler,
                      nb_app *app)
{
    GtkWidget *btn = gtk_button_new_with_label(label);
    gtk_widget_set_name(btn, name);
    g_signal_connect(btn, "clicked", handler, app);
    gtk_box_pack_start(GTK_BOX(box), btn, TRUE, TRUE, 0);
    return btn;
}

void add_failed(nb_chan *probe, int32_t rc, const char *step)
{
    char name[16], head[NB_TEXT_MAX];
    chan_name(probe, name, sizeof name);
    g_snprintf(head, sizeof head, _("can not add channel %s"), name);
    if (step && *step) {
        const size_t n = strlen(head);
        g_snprintf(head + n, sizeof head - n, ": %s", step);
    }
    lib_error_message(head, rc);
}

}  // namespace

nb_chan *selected_chan(nb_app *app)
{
    nb_chan *chan = chanset_at(app, app->chans.selected);
    return chan ? chan : &app->chan;
}

bool main_selected(const nb_app *app)
{
    return app->chans.selected <= 0 || app->chans.selected >= app->chans.count;
}

unsigned chan_lit(const nb_chan *chan)
{
    const lit_entry *e = find_lit(chan, false);
    return e ? e->lit : 0;
}

void chan_lit_add(const nb_chan *chan, const zk_errs *errs)
{
    lit_entry *e = find_lit(chan, true);
    if (!e || !errs)
        return;
    e->lit |= (errs->ewl ? NB_LIT_EWL : 0u) | (errs->boff ? NB_LIT_BOFF : 0u) |
              (errs->hovr ? NB_LIT_HOVR : 0u) | (errs->sovr ? NB_LIT_SOVR : 0u) |
              (errs->wtout ? NB_LIT_WTOUT : 0u);
}

void chan_lit_clear(const nb_chan *chan)
{
    lit_entry *e = find_lit(chan, true);
    if (e) {
        e->lit = 0;
        e->reads = chan->errs_reads;
    }
}

void build_channels_panel(nb_app *app)
{
    forget_channels_panel();
    /* A new window starts with every indicator dark. */
    for (lit_entry &e : lits)
        e = lit_entry{};
    GtkWidget *frame = gtk_frame_new(_("Channels"));
    gtk_widget_set_name(frame, "channels_panel");
    gtk_container_set_border_width(GTK_CONTAINER(frame), 2);
    panel = GTK_WIDGET(g_object_ref_sink(frame));
    GtkWidget *box = gtk_vbox_new(FALSE, 2);
    gtk_container_set_border_width(GTK_CONTAINER(box), 3);
    gtk_container_add(GTK_CONTAINER(frame), box);

    GtkListStore *store = gtk_list_store_new(N_COLS, G_TYPE_STRING, G_TYPE_STRING, G_TYPE_STRING,
                                             G_TYPE_STRING, G_TYPE_STRING, G_TYPE_STRING);
    GtkWidget *view = gtk_tree_view_new_with_model(GTK_TREE_MODEL(store));
    g_object_unref(store);   /* the view keeps the only reference */
    gtk_widget_set_name(view, "channel_list");
    chan_view = view;
    g_signal_connect(view, "destroy", G_CALLBACK(gtk_widget_destroyed), &chan_view);
    struct column {
        const char *title;
        int first, second;
        bool expand;
    };
    static const column columns[] = {{N_("Channel"), COL_NAME, COL_MODE, false},
                                     {N_("State"), COL_STATE, COL_ERRORS, false},
                                     {N_("Board"), COL_BOARD, COL_BOARD, true}};
    for (const column &c : columns) {
        GtkCellRenderer *cell = gtk_cell_renderer_text_new();
        GtkTreeViewColumn *col = gtk_tree_view_column_new();
        gtk_tree_view_column_set_title(col, _(c.title));
        gtk_tree_view_column_pack_start(col, cell, TRUE);
        if (c.expand) {
            /* The board's name gives way; the row's tooltip has it whole. */
            g_object_set(cell, "ellipsize", PANGO_ELLIPSIZE_END, NULL);
            gtk_tree_view_column_set_expand(col, TRUE);
            gtk_tree_view_column_add_attribute(col, cell, "text", c.first);
        } else {
            /* Five error names wrap rather than widen the pane. */
            g_object_set(cell, "wrap-mode", PANGO_WRAP_WORD, "wrap-width", 90, NULL);
            gtk_tree_view_column_set_cell_data_func(col, cell, two_lines,
                                                    GINT_TO_POINTER(c.first | (c.second << 8)),
                                                    nullptr);
        }
        gtk_tree_view_append_column(GTK_TREE_VIEW(view), col);
    }
    gtk_tree_view_set_tooltip_column(GTK_TREE_VIEW(view), COL_TIP);
    gtk_tree_view_set_rules_hint(GTK_TREE_VIEW(view), TRUE);
    GtkTreeSelection *sel = gtk_tree_view_get_selection(GTK_TREE_VIEW(view));
    gtk_tree_selection_set_mode(sel, GTK_SELECTION_BROWSE);
    g_signal_connect(sel, "changed", G_CALLBACK(on_selection_changed), app);

    GtkWidget *scroll = gtk_scrolled_window_new(nullptr, nullptr);
    gtk_scrolled_window_set_policy(GTK_SCROLLED_WINDOW(scroll), GTK_POLICY_NEVER,
                                   GTK_POLICY_AUTOMATIC);
    gtk_scrolled_window_set_shadow_type(GTK_SCROLLED_WINDOW(scroll), GTK_SHADOW_IN);
    gtk_widget_set_size_request(scroll, -1, 150);
    gtk_container_add(GTK_CONTAINER(scroll), view);
    gtk_box_pack_start(GTK_BOX(box), scroll, TRUE, TRUE, 0);

    GtkWidget *buttons = gtk_hbox_new(TRUE, 2);
    add_button(buttons, _("Start all"), "btn_start_all", G_CALLBACK(on_start_all), app);
    add_button(buttons, _("Stop all"), "btn_stop_all", G_CALLBACK(on_stop_all), app);
    gtk_box_pack_start(GTK_BOX(box), buttons, FALSE, FALSE, 0);

    gtk_widget_show_all(frame);
}

void forget_channels_panel(void)
{
    if (!panel)
        return;
    gtk_widget_destroy(panel);
    g_object_unref(panel);
    panel = nullptr;
}

void refresh_channels(nb_app *app)
{
    collect_errors(app);
    if (!main_selected(app))
        show_selected_controls(app);
    else
        show_indicators(chan_lit(&app->chan));
    if (app->gui.mi_remove_channel)
        gtk_widget_set_sensitive(app->gui.mi_remove_channel, !main_selected(app));
    if (!panel || !chan_view || !app->gui.paned)
        return;
    update_list(app);
    GtkWidget *left = gtk_paned_get_child1(GTK_PANED(app->gui.paned));
    GtkWidget *parent = gtk_widget_get_parent(panel);
    if (app->chans.count > 1 && !parent && left) {
        gtk_box_pack_start(GTK_BOX(left), panel, FALSE, FALSE, 0);
        gtk_box_reorder_child(GTK_BOX(left), panel, 0);
    } else if (app->chans.count <= 1 && parent) {
        gtk_container_remove(GTK_CONTAINER(parent), panel);
    }
}

void select_channel(nb_app *app, int32_t index)
{
    if (index < 0 || index >= app->chans.count)
        index = 0;
    app->chans.selected = index;
    show_selected_controls(app);
    app->gui.ops.refresh_info_panel(app);
}

void added_chan_changed(nb_app *app, nb_chan *chan)
{
    app->gui.ops.refresh_info_panel(app);
    const int32_t index = chanset_find(app, chan->number);
    if (index >= 1 && app->pgmgr.ops.pgmgr_chan_status)
        app->pgmgr.ops.pgmgr_chan_status(&app->pgmgr, index);
}

void chan_changed(nb_app *app, nb_chan *chan, int autosave)
{
    if (chan == &app->chan)
        app->ops.state_changed(app, autosave);
    else
        added_chan_changed(app, chan);
}

void chan_error_message(nb_app *app, nb_chan *chan, const char *text, int32_t code)
{
    if (chan == &app->chan) {
        lib_error_message(text, code);
        return;
    }
    char name[16], buf[NB_TEXT_MAX];
    chan_name(chan, name, sizeof name);
    g_snprintf(buf, sizeof buf, "%s: %s", name, text);
    lib_error_message(buf, code);
}

void on_add_channel(GtkMenuItem *, gpointer data)
{
    nb_app *app = static_cast<nb_app *>(data);
    if (app->chans.count >= NB_CHAN_MAX) {
        char text[NB_TEXT_MAX];
        g_snprintf(text, sizeof text, _("At most %d channels fit in one window."), NB_CHAN_MAX);
        show_message(GTK_MESSAGE_ERROR, text);
        return;
    }
    nb_channel_pick pick;
    if (choose_added_channel(app, &pick) != NB_CHOICE_MADE)
        return;
    nb_chan_settings s;
    chan_settings_default(&s);
    s.frame_format = pick.frame_format;
    s.fd = pick.fd;
    int32_t index = -1;
    const char *step = nullptr;
    const int32_t rc = chanset_add(app, pick.number, &s, &index, &step);
    if (rc < 0) {
        nb_chan probe{};
        probe.number = pick.number;
        add_failed(&probe, rc, step);
        return;
    }
    select_channel(app, index);
    (void)app->session.ops.autosave(app);
}

void on_remove_channel(GtkMenuItem *, gpointer data)
{
    nb_app *app = static_cast<nb_app *>(data);
    if (main_selected(app))
        return;
    nb_chan *chan = selected_chan(app);
    char name[16], text[NB_TEXT_MAX];
    chan_name(chan, name, sizeof name);
    const int32_t rc = chanset_remove(app, app->chans.selected);
    if (rc < 0) {
        /* Refused while a poll tick is under way (a plug-in's dialog). */
        g_snprintf(text, sizeof text, _("can not remove channel %s"), name);
        lib_error_message(text, rc);
        return;
    }
    select_channel(app, app->chans.selected);
    (void)app->session.ops.autosave(app);
}

void on_start_all(GtkButton *, gpointer data)
{
    nb_app *app = static_cast<nb_app *>(data);
    bool main_started = false;
    if (!app->chan.running && !app->chan.lost) {
        app->gui.ops.start_controller(app);
        main_started = app->chan.running;
    }
    for (int32_t i = 1; i < app->chans.count; i++) {
        nb_chan *chan = app->chans.at[i];
        if (!chan->running && !chan->lost)
            (void)start_added(app, chan);
    }
    if (main_started && app->ops.state_changed)
        app->ops.state_changed(app, 1);
    refresh_channels(app);
}

void on_stop_all(GtkButton *, gpointer data)
{
    nb_app *app = static_cast<nb_app *>(data);
    bool main_stopped = false;
    if (app->chan.running) {
        app->gui.ops.stop_controller(app);
        main_stopped = !app->chan.running;
    }
    for (int32_t i = 1; i < app->chans.count; i++)
        if (app->chans.at[i]->running)
            (void)stop_added(app, app->chans.at[i]);
    if (main_stopped && app->ops.state_changed)
        app->ops.state_changed(app, 1);
    refresh_channels(app);
}
