/*
 * chooser.cpp - the channel chooser shown before the main window exists.
 *
 * It lists every board with its channels, marks each channel free or busy,
 * lets only a free channel be selected and asks for the frame format and,
 * on a channel whose adapter can do it, for CAN FD. It
 * returns only when the program is to go on: a channel was confirmed, or a
 * session file was picked through "Load Session". Every other outcome ends
 * the process.
 */
#include <glib/gi18n.h>
#include <stdlib.h>
#include <string.h>

#include "app/messages.h"
#include "app/nb_app.h"
#include "gui/gui_parts.h"
#include "session/session_file.h"

namespace {

/* Four shown columns; COL_FD (whether the channel's adapter can do CAN
 * FD) is kept in the model only. */
enum { COL_NAME, COL_NUMBER, COL_STATE, COL_SERIAL, N_COLS, COL_FD = N_COLS, N_MODEL_COLS };

/* The texts the selection rules compare against; the model keeps them
 * as they are, the view shows them translated (show_cell). */
const char ROW_CHANNEL[] = "channel";
const char STATE_FREE[] = "free";
const char STATE_BUSY[] = "busy";
[[maybe_unused]] const char *const shown_words[] = {N_("channel"), N_("free"), N_("busy")};

/* Held while the dialog exists; the row-activation handler needs them. */
GtkWidget *chooser_dialog = nullptr;
GtkWidget *format_radio[3] = {nullptr, nullptr, nullptr};
/* Classic CAN, CAN FD, CAN FD non-ISO: the values of nb_chan.fd. */
GtkWidget *fd_combo = nullptr;
/* Where the choice goes while the dialog runs: the main channel's record
 * for the start chooser, the pick of the add dialog. */
struct choice_target {
    uint8_t *number;
    uint8_t *frame_format;
    uint8_t *fd;
    bool adding;                  /* the add dialog: OK only with a free channel chosen */
};
choice_target target{};

choice_target main_target(nb_app *app)
{
    return {&app->chan.number, &app->chan.frame_format, &app->chan.fd, false};
}

/* Fills the store with boards and their channels; returns the number of
 * channel rows, free or busy. */
int fill_store(nb_app *app, GtkTreeStore *store)
{
    int count = 0;
    nb_board_info board;
    memset(&board, 0, sizeof board);
    int bcur = 0;
    while ((bcur = app->chan.ops.board_next(bcur, &board)) != 0) {
        char name[512];
        g_snprintf(name, sizeof name, "%s", board.b.name);
        board.serial[sizeof board.serial - 1] = '\0';
        GtkTreeIter brow;
        gtk_tree_store_append(store, &brow, nullptr);
        gtk_tree_store_set(store, &brow, COL_NAME, name, COL_NUMBER, "", COL_STATE, "",
                           COL_SERIAL, board.serial, COL_FD, FALSE, -1);

        nb_chan_slot slot;
        int ccur = 0;
        while ((ccur = app->chan.ops.chan_next(ccur, &board, &slot)) != 0) {
            count++;
            char num[16];
            g_snprintf(num, sizeof num, "%d", (int)slot.number);
            GtkTreeIter crow;
            gtk_tree_store_append(store, &crow, &brow);
            gtk_tree_store_set(store, &crow, COL_NAME, ROW_CHANNEL, COL_NUMBER, num, COL_STATE,
                               slot.busy ? STATE_BUSY : STATE_FREE, COL_SERIAL, "", COL_FD,
                               slot.fd_capable ? TRUE : FALSE, -1);
        }
        memset(&board, 0, sizeof board);
    }
    return count;
}

/* Reads the channel number of a channel row; -1 when it is not one. */
int row_channel_number(const char *text)
{
    if (!text || !*text)
        return -1;
    char *end = nullptr;
    long v = strtol(text, &end, 10);
    if (*end != '\0' || v < 0 || v > 255)
        return -1;
    return (int)v;
}

bool row_is_free_channel(GtkTreeModel *model, GtkTreeIter *iter)
{
    gchar *name = nullptr, *state = nullptr;
    gtk_tree_model_get(model, iter, COL_NAME, &name, COL_STATE, &state, -1);
    bool ok = name && state && strcmp(name, ROW_CHANNEL) == 0 && strcmp(state, STATE_FREE) == 0;
    g_free(name);
    g_free(state);
    return ok;
}

void select_first_free(GtkTreeView *view)
{
    GtkTreeModel *model = gtk_tree_view_get_model(view);
    GtkTreeSelection *sel = gtk_tree_view_get_selection(view);
    GtkTreeIter board;
    gboolean bvalid = gtk_tree_model_get_iter_first(model, &board);
    for (; bvalid; bvalid = gtk_tree_model_iter_next(model, &board)) {
        GtkTreeIter chan;
        gboolean cvalid = gtk_tree_model_iter_children(model, &chan, &board);
        for (; cvalid; cvalid = gtk_tree_model_iter_next(model, &chan)) {
            if (row_is_free_channel(model, &chan)) {
                gtk_tree_selection_select_iter(sel, &chan);
                return;
            }
        }
    }
}

/* CAN FD can be chosen only for a channel whose adapter can do it, and
 * starts as the channel's last session had it; for any other channel the
 * choice shows classic CAN. */
void on_selection_changed(GtkTreeSelection *sel, gpointer data)
{
    if (!fd_combo)
        return;
    GtkTreeModel *model = nullptr;
    GtkTreeIter iter;
    gboolean fd = FALSE;
    gchar *num = nullptr;
    if (gtk_tree_selection_get_selected(sel, &model, &iter))
        gtk_tree_model_get(model, &iter, COL_FD, &fd, COL_NUMBER, &num, -1);
    int n = row_channel_number(num);
    g_free(num);
    uint8_t mode = fd && n >= 0 ? session_last_fd(static_cast<nb_app *>(data), (uint8_t)n)
                                : (uint8_t)NB_FD_OFF;
    gtk_combo_box_set_active(GTK_COMBO_BOX(fd_combo), mode);
    gtk_widget_set_sensitive(fd_combo, fd);
    if (target.adding && chooser_dialog)
        gtk_dialog_set_response_sensitive(GTK_DIALOG(chooser_dialog), GTK_RESPONSE_OK,
                                          gtk_tree_selection_count_selected_rows(sel) > 0);
}

/* Double click or Enter on a row: a free channel confirms the dialog with
 * the frame format currently chosen; any other row does nothing. */
void on_row_activated(GtkTreeView *view, GtkTreePath *path, GtkTreeViewColumn *, gpointer data)
{
    nb_app *app = static_cast<nb_app *>(data);
    GtkTreeModel *model = gtk_tree_view_get_model(view);
    GtkTreeIter iter;
    if (!gtk_tree_model_get_iter(model, &iter, path) || !row_is_free_channel(model, &iter))
        return;
    /* Make the activated row the chosen one (the filter stores its
     * number), even when activation did not pass through a click. */
    gtk_tree_selection_select_iter(gtk_tree_view_get_selection(view), &iter);
    read_frame_format(app);
    if (!target.adding)
        app->chan.ops.find_board(app->chan.number, &app->chan.board);
    if (chooser_dialog)
        gtk_dialog_response(GTK_DIALOG(chooser_dialog), GTK_RESPONSE_OK);
}

/* A cell of a channel row: its word translated. */
void show_cell(GtkTreeViewColumn *, GtkCellRenderer *cell, GtkTreeModel *model, GtkTreeIter *iter,
               gpointer column)
{
    gchar *text = nullptr;
    gtk_tree_model_get(model, iter, GPOINTER_TO_INT(column), &text, -1);
    GtkTreeIter parent;
    bool word = text && gtk_tree_model_iter_parent(model, &parent, iter) &&
                (strcmp(text, ROW_CHANNEL) == 0 || strcmp(text, STATE_FREE) == 0 ||
                 strcmp(text, STATE_BUSY) == 0);
    g_object_set(cell, "text", word ? _(text) : text, NULL);
    g_free(text);
}

GtkWidget *build_view(nb_app *app, GtkTreeStore *store)
{
    static const char *const titles[N_COLS] = {N_("CAN interface"), N_("Chan num "),
                                               N_("Chan state  "), N_("Serial number  ")};
    GtkWidget *view = gtk_tree_view_new_with_model(GTK_TREE_MODEL(store));
    g_object_unref(store);   /* the view keeps the only reference */
    gtk_widget_set_name(view, "chooser_view");
    for (int c = 0; c < N_COLS; c++) {
        GtkCellRenderer *cell = gtk_cell_renderer_text_new();
        GtkTreeViewColumn *col = gtk_tree_view_column_new();
        gtk_tree_view_column_set_title(col, _(titles[c]));
        gtk_tree_view_column_pack_start(col, cell, TRUE);
        if (c == COL_NAME || c == COL_STATE)
            gtk_tree_view_column_set_cell_data_func(col, cell, show_cell, GINT_TO_POINTER(c), nullptr);
        else
            gtk_tree_view_column_add_attribute(col, cell, "text", c);
        gtk_tree_view_append_column(GTK_TREE_VIEW(view), col);
    }
    GtkTreeSelection *sel = gtk_tree_view_get_selection(GTK_TREE_VIEW(view));
    gtk_tree_selection_set_mode(sel, GTK_SELECTION_BROWSE);
    gtk_tree_selection_set_select_function(sel, channel_row_filter, app, nullptr);
    g_signal_connect(sel, "changed", G_CALLBACK(on_selection_changed), app);
    gtk_tree_view_expand_all(GTK_TREE_VIEW(view));
    g_signal_connect(view, "row-activated", G_CALLBACK(on_row_activated), app);
    return view;
}

}  // namespace

/* Decides whether a row may become selected: only free channel rows may,
 * and selecting one records its channel number. Unselecting is allowed. */
gboolean channel_row_filter(GtkTreeSelection *, GtkTreeModel *model, GtkTreePath *path,
                            gboolean path_currently_selected, gpointer data)
{
    nb_app *app = static_cast<nb_app *>(data);
    GtkTreeIter iter;
    if (!gtk_tree_model_get_iter(model, &iter, path))
        return TRUE;
    if (path_currently_selected)
        return TRUE;
    if (!row_is_free_channel(model, &iter))
        return FALSE;
    gchar *num = nullptr;
    gtk_tree_model_get(model, &iter, COL_NUMBER, &num, -1);
    int n = row_channel_number(num);
    g_free(num);
    if (n < 0)
        return FALSE;
    *(target.number ? target.number : &app->chan.number) = (uint8_t)n;
    return TRUE;
}

/* The first active radio button gives the frame format: 2 standard,
 * 4 extended, 6 both; the CAN FD choice gives the mode (classic unless
 * the chosen channel can do CAN FD and the user asked for it). */
void read_frame_format(nb_app *app)
{
    static const uint8_t formats[3] = {2, 4, 6};
    const choice_target t = target.number ? target : main_target(app);
    if (fd_combo) {
        int mode = gtk_combo_box_get_active(GTK_COMBO_BOX(fd_combo));
        *t.fd = gtk_widget_get_sensitive(fd_combo) && mode > 0 && mode <= (int)NB_FD_NON_ISO
                    ? (uint8_t)mode
                    : (uint8_t)NB_FD_OFF;
    }
    for (int i = 0; i < 3; i++) {
        if (format_radio[i] && gtk_toggle_button_get_active(GTK_TOGGLE_BUTTON(format_radio[i]))) {
            *t.frame_format = formats[i];
            return;
        }
    }
}

namespace {

const char *no_channel_text()
{
    return _("No CAN channel is detected.\nMay be all channels are busy or\nYou "
             "have no CAN interface installed.\nCheck your ZELK library "
             "installation.");
}

/* The chooser's dialog with its list and its format and mode choices;
 * null when no board has a channel. The add dialog is modal over the
 * main window and has no "Load Session". */
GtkWidget *build_chooser(nb_app *app, GtkWindow *parent, const char *title)
{
    GtkTreeStore *store = gtk_tree_store_new(N_MODEL_COLS, G_TYPE_STRING, G_TYPE_STRING,
                                             G_TYPE_STRING, G_TYPE_STRING, G_TYPE_BOOLEAN);
    if (fill_store(app, store) < 1) {
        g_object_unref(store);
        return nullptr;
    }
    GtkWidget *view = build_view(app, store);

    GtkWidget *dlg =
        target.adding ? gtk_dialog_new_with_buttons(
                     title, parent,
                     static_cast<GtkDialogFlags>(GTK_DIALOG_MODAL | GTK_DIALOG_DESTROY_WITH_PARENT |
                                                 GTK_DIALOG_NO_SEPARATOR),
                     GTK_STOCK_OK, GTK_RESPONSE_OK, GTK_STOCK_CANCEL, GTK_RESPONSE_CANCEL, nullptr)
               : gtk_dialog_new_with_buttons(title, nullptr, GTK_DIALOG_NO_SEPARATOR, GTK_STOCK_OK,
                                             GTK_RESPONSE_OK, GTK_STOCK_CANCEL,
                                             GTK_RESPONSE_CANCEL, _("Load Session"),
                                             GTK_RESPONSE_APPLY, nullptr);
    chooser_dialog = dlg;
    gtk_widget_set_name(dlg, target.adding ? "add_channel" : "chooser");
    /* Sized to its content: no window manager's resize strip below it. */
    gtk_window_set_resizable(GTK_WINDOW(dlg), FALSE);
    g_signal_connect(dlg, "destroy", G_CALLBACK(gtk_widget_destroyed), &chooser_dialog);
    /* 470 wide unless the list needs more: the window's width follows its
     * content, only the height is held. */
    gtk_widget_set_size_request(dlg, -1, 440);
    gtk_window_set_default_size(GTK_WINDOW(dlg), 470, 440);
    gtk_window_set_position(GTK_WINDOW(dlg), GTK_WIN_POS_CENTER);
    GtkWidget *content = gtk_dialog_get_content_area(GTK_DIALOG(dlg));
    gtk_box_set_spacing(GTK_BOX(content), 0);

    GtkWidget *chan_frame = gtk_frame_new(_("Choose CAN channel:"));
    gtk_container_set_border_width(GTK_CONTAINER(chan_frame), 10);
    /* Only the height is fixed: the list is as wide as its columns need,
     * and the dialog grows with it rather than cutting the last one. */
    gtk_widget_set_size_request(chan_frame, -1, 200);
    gtk_box_pack_start(GTK_BOX(content), chan_frame, TRUE, TRUE, 0);
    GtkWidget *scroll = gtk_scrolled_window_new(nullptr, nullptr);
    gtk_container_set_border_width(GTK_CONTAINER(scroll), 5);
    gtk_scrolled_window_set_policy(GTK_SCROLLED_WINDOW(scroll), GTK_POLICY_NEVER,
                                   GTK_POLICY_AUTOMATIC);
    gtk_container_add(GTK_CONTAINER(chan_frame), scroll);
    gtk_container_add(GTK_CONTAINER(scroll), view);

    GtkWidget *fmt_frame = gtk_frame_new(_("Frame format to use:"));
    gtk_container_set_border_width(GTK_CONTAINER(fmt_frame), 10);
    gtk_box_pack_end(GTK_BOX(content), fmt_frame, TRUE, FALSE, 0);
    GtkWidget *fmt_box = gtk_vbox_new(FALSE, 0);
    gtk_container_add(GTK_CONTAINER(fmt_frame), fmt_box);
    static const char *const labels[3] = {N_("11-bit (Standart Frame Format)"),
                                          N_("29-bit (Extended Frame Format)"),
                                          N_("11/29-bit (Both Frame Formats)")};
    static const char *const names[3] = {"radio_std", "radio_ext", "radio_both"};
    GSList *group = nullptr;
    for (int i = 0; i < 3; i++) {
        format_radio[i] = gtk_radio_button_new_with_label(group, _(labels[i]));
        group = gtk_radio_button_get_group(GTK_RADIO_BUTTON(format_radio[i]));
        gtk_widget_set_name(format_radio[i], names[i]);
        g_signal_connect(format_radio[i], "destroy", G_CALLBACK(gtk_widget_destroyed),
                         &format_radio[i]);
        gtk_box_pack_start(GTK_BOX(fmt_box), format_radio[i], FALSE, TRUE, 0);
    }
    gtk_toggle_button_set_active(GTK_TOGGLE_BUTTON(format_radio[2]), TRUE);

    /* Next to the frame format: classic CAN or CAN FD (in the ISO or the
     * earlier variant), for a channel whose adapter can do CAN FD. */
    GtkWidget *fd_box = gtk_hbox_new(FALSE, 6);
    gtk_box_pack_start(GTK_BOX(fmt_box), fd_box, FALSE, TRUE, 4);
    gtk_box_pack_start(GTK_BOX(fd_box), gtk_label_new(_("CAN mode:")), FALSE, FALSE, 0);
    fd_combo = gtk_combo_box_text_new();
    gtk_widget_set_name(fd_combo, "fd_combo");
    gtk_combo_box_text_append_text(GTK_COMBO_BOX_TEXT(fd_combo), _("Classic CAN"));
    gtk_combo_box_text_append_text(GTK_COMBO_BOX_TEXT(fd_combo), _("CAN FD"));
    gtk_combo_box_text_append_text(GTK_COMBO_BOX_TEXT(fd_combo), _("CAN FD (non-ISO)"));
    gtk_combo_box_set_active(GTK_COMBO_BOX(fd_combo), NB_FD_OFF);
    gtk_widget_set_sensitive(fd_combo, FALSE);
    g_signal_connect(fd_combo, "destroy", G_CALLBACK(gtk_widget_destroyed), &fd_combo);
    gtk_box_pack_start(GTK_BOX(fd_box), fd_combo, FALSE, FALSE, 0);

    /* The first free channel is chosen from the start; selecting goes
     * through the filter, which records its number. */
    select_first_free(GTK_TREE_VIEW(view));
    if (target.adding)
        gtk_dialog_set_response_sensitive(
            GTK_DIALOG(dlg), GTK_RESPONSE_OK,
            gtk_tree_selection_count_selected_rows(
                gtk_tree_view_get_selection(GTK_TREE_VIEW(view))) > 0);

    gtk_widget_show_all(dlg);
    return dlg;
}

}  // namespace

int choose_channel(nb_app *app)
{
    target = main_target(app);
    GtkWidget *dlg = build_chooser(app, nullptr, NB_PRODUCT_TITLE);
    if (!dlg) {
        app_end_text(app, no_channel_text());
        return NB_CHOICE_NO_CHANNEL;
    }
    gint response = gtk_dialog_run(GTK_DIALOG(dlg));

    if (response == GTK_RESPONSE_OK) {
        read_frame_format(app);
        app->chan.ops.find_board(app->chan.number, &app->chan.board);
        if (chooser_dialog)
            gtk_widget_destroy(chooser_dialog);
        return NB_CHOICE_MADE;
    }
    /* The handlers above may have destroyed the dialog already (closing
     * it from the window frame does). */
    if (chooser_dialog)
        gtk_widget_destroy(chooser_dialog);
    if (response == GTK_RESPONSE_APPLY && choose_session_file(app) == 1)
        return NB_CHOICE_MADE;
    return NB_CHOICE_CANCELLED;
}

int choose_added_channel(nb_app *app, nb_channel_pick *pick)
{
    pick->number = 0;
    pick->frame_format = ZK_OPEN_BOTH;
    pick->fd = NB_FD_OFF;
    target = {&pick->number, &pick->frame_format, &pick->fd, true};
    GtkWidget *dlg = build_chooser(app, nb_mainwin ? GTK_WINDOW(nb_mainwin) : nullptr,
                                   _("Add channel"));
    gint response = GTK_RESPONSE_CANCEL;
    if (!dlg) {
        show_message(GTK_MESSAGE_WARNING, no_channel_text());
    } else {
        response = gtk_dialog_run(GTK_DIALOG(dlg));
        if (response == GTK_RESPONSE_OK && chooser_dialog)
            read_frame_format(app);
        if (chooser_dialog)
            gtk_widget_destroy(chooser_dialog);
    }
    target = choice_target{};
    return response == GTK_RESPONSE_OK ? NB_CHOICE_MADE : NB_CHOICE_CANCELLED;
}
