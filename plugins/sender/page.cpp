/*
 * page.cpp - the sender's notebook page: the message list, edited in
 * place, the buttons and the line that says what went wrong last.
 */
#include "sender.h"

#include <stdlib.h>
#include <string.h>

#include "pgparts.h"

namespace {

struct page_widgets {
    GtkListStore *store;
    GtkWidget *view;
    GtkWidget *quick;              /* combo box with an entry: the quick-send line */
    GtkWidget *quick_chan;         /* the channel it sends on, shown with several */
    GtkTreeViewColumn *chan_col;   /* the messages' channels, shown with several */
    GtkListStore *chan_names;      /* the channels' names, for both */
    char chan_shape[SD_CHANS * 16];
    int syncing_chans;
    GtkWidget *state;
    GtkWidget *message;
};
page_widgets pw;

using pgparts::button;
using pgparts::named;

int row_of(const gchar *path)
{
    GtkTreePath *p = gtk_tree_path_new_from_string(path);
    int row = -1;
    if (p && gtk_tree_path_get_depth(p) == 1)
        row = gtk_tree_path_get_indices(p)[0];
    if (p)
        gtk_tree_path_free(p);
    return row;
}

void on_edited(GtkCellRendererText *cell, gchar *path, gchar *text, gpointer)
{
    int column = GPOINTER_TO_INT(g_object_get_data(G_OBJECT(cell), "sd-column"));
    sd_edit(row_of(path), column, text);
}

void on_toggled(GtkCellRendererToggle *cell, gchar *path, gpointer)
{
    int column = GPOINTER_TO_INT(g_object_get_data(G_OBJECT(cell), "sd-column"));
    sd_toggle(row_of(path), column);
}

void on_add(GtkButton *, gpointer)
{
    int row = sd_add();
    if (row >= 0 && pw.view) {
        GtkTreePath *p = gtk_tree_path_new_from_indices(row, -1);
        gtk_tree_selection_select_path(gtk_tree_view_get_selection(GTK_TREE_VIEW(pw.view)), p);
        gtk_tree_path_free(p);
    }
}

void on_remove(GtkButton *, gpointer)
{
    int row = sd_page_selected();
    if (row < 0) {
        sd_set_message(_("Select the message to remove."));
        return;
    }
    sd_remove(row);
}

void on_send(GtkButton *, gpointer)
{
    int row = sd_page_selected();
    if (row < 0) {
        sd_set_message(_("Select the message to send."));
        return;
    }
    if (sd_send(row) >= 0)
        sd_set_message("");
    sd_page_refresh();
}

void on_start(GtkButton *, gpointer)
{
    sd_set_message("");
    sd_start_all();
    sd_page_refresh();
}

void on_stop(GtkButton *, gpointer)
{
    sd_stop_all();
    sd_page_refresh();
}

void on_quick_send(GtkWidget *, gpointer)
{
    GtkWidget *entry = gtk_bin_get_child(GTK_BIN(pw.quick));
    /* A line longer than any frame is refused whole, never parsed cut. */
    char text[SD_QUICK_MAX * 2];
    if (g_strlcpy(text, gtk_entry_get_text(GTK_ENTRY(entry)), sizeof text) >= sizeof text)
        sd_set_message(_("Quick send: the line is longer than any frame."));
    else
        sd_quick_send(text);
    sd_page_refresh();
}

void on_quick_chan(GtkComboBox *c, gpointer)
{
    if (!pw.syncing_chans && gtk_combo_box_get_active(c) >= 0)
        sd.quick_chan = gtk_combo_box_get_active(c);
}

/* The channels' names for the list's channel column and the quick-send
 * channel, both shown only while the window has several channels (or a
 * message names another). */
void sync_channels(void)
{
    if (!pw.chan_names)
        return;
    char shape[sizeof pw.chan_shape] = "";
    size_t n = 0;
    int count = nb_chan_count();
    for (int i = 0; i < count && i < SD_CHANS && n < sizeof shape; i++) {
        char name[16];
        sd_chan_name(i, name, sizeof name);
        n += (size_t)g_snprintf(shape + n, sizeof shape - n, "%s/", name);
    }
    pw.syncing_chans++;
    if (strcmp(shape, pw.chan_shape) != 0) {
        g_strlcpy(pw.chan_shape, shape, sizeof pw.chan_shape);
        gtk_list_store_clear(pw.chan_names);
        for (int i = 0; i < count && i < SD_CHANS; i++) {
            char name[16];
            sd_chan_name(i, name, sizeof name);
            GtkTreeIter it;
            gtk_list_store_append(pw.chan_names, &it);
            gtk_list_store_set(pw.chan_names, &it, 0, name, -1);
        }
    }
    if (gtk_combo_box_get_active(GTK_COMBO_BOX(pw.quick_chan)) != sd.quick_chan)
        gtk_combo_box_set_active(GTK_COMBO_BOX(pw.quick_chan), sd.quick_chan);
    bool other = false;
    for (int i = 0; i < sd.count; i++)
        other = other || sd.msgs[i].chan != 0;
    gtk_widget_set_visible(pw.quick_chan, count > 1);
    gtk_tree_view_column_set_visible(pw.chan_col, count > 1 || other);
    pw.syncing_chans--;
}

GtkWidget *build_quick_send(void)
{
    GtkWidget *row = gtk_hbox_new(FALSE, 6);
    GtkWidget *label = gtk_label_new_with_mnemonic(_("_Quick send:"));
    gtk_box_pack_start(GTK_BOX(row), label, FALSE, FALSE, 0);
    pw.quick = named(gtk_combo_box_entry_new_text(), "sender-quick");
    GtkWidget *entry = gtk_bin_get_child(GTK_BIN(pw.quick));
    gtk_label_set_mnemonic_widget(GTK_LABEL(label), entry);
    gtk_widget_set_tooltip_text(pw.quick,
                                _("One frame as ID#DATA: 3 hex digits for an 11-bit identifier "
                                  "or 8 for a 29-bit one, up to 8 data bytes as hex pairs ('.' "
                                  "between bytes allowed), or R for a remote frame: "
                                  "123#DEADBEEF, 18DAF110#R, 123#. A CAN FD frame as ID##FDATA, "
                                  "F the flags (1: BRS), up to 64 data bytes: 123##1DEADBEEF"));
    g_signal_connect(entry, "activate", G_CALLBACK(on_quick_send), nullptr);
    gtk_box_pack_start(GTK_BOX(row), pw.quick, TRUE, TRUE, 0);
    pw.quick_chan = named(gtk_combo_box_new_with_model(GTK_TREE_MODEL(pw.chan_names)),
                          "sender-quick-channel");
    GtkCellRenderer *cell = gtk_cell_renderer_text_new();
    gtk_cell_layout_pack_start(GTK_CELL_LAYOUT(pw.quick_chan), cell, TRUE);
    gtk_cell_layout_set_attributes(GTK_CELL_LAYOUT(pw.quick_chan), cell, "text", 0, nullptr);
    gtk_widget_set_tooltip_text(pw.quick_chan, _("The channel the line is sent on"));
    gtk_widget_set_no_show_all(pw.quick_chan, TRUE);
    g_signal_connect(pw.quick_chan, "changed", G_CALLBACK(on_quick_chan), nullptr);
    gtk_box_pack_start(GTK_BOX(row), pw.quick_chan, FALSE, FALSE, 0);
    gtk_box_pack_start(GTK_BOX(row), button(_("Se_nd line"), "sender-quick-send",
                                            G_CALLBACK(on_quick_send)),
                       FALSE, FALSE, 0);
    return row;
}

void on_selection(GtkTreeSelection *, gpointer)
{
    sd_dbpage_show(sd_page_selected());
}

gboolean on_refresh(gpointer)
{
    sd_page_refresh();
    return TRUE;
}

/* The data cell shows 8 bytes a line; its editor gets them on one line. */
void on_data_editing(GtkCellRenderer *, GtkCellEditable *editable, gchar *path, gpointer)
{
    int row = row_of(path);
    if (!GTK_IS_ENTRY(editable) || row < 0 || row >= sd.count)
        return;
    char text[SD_DATA_TEXT_MAX];
    sd_format_data(&sd.msgs[row], text, sizeof text);
    g_strdelimit(text, "\n", ' ');
    gtk_entry_set_text(GTK_ENTRY(editable), text);
}

GtkCellRenderer *text_column(const char *title, int col, int editable)
{
    GtkCellRenderer *r = pgparts::column_cell(pgparts::text_column(pw.view, title, col));
    g_object_set_data(G_OBJECT(r), "sd-column", GINT_TO_POINTER(col));
    if (editable) {
        g_object_set(r, "editable", TRUE, NULL);
        g_signal_connect(r, "edited", G_CALLBACK(on_edited), nullptr);
        sd_tab_through_cells(GTK_TREE_VIEW(pw.view), r);
    }
    return r;
}

void check_column(const char *title, int col)
{
    GtkCellRenderer *r = gtk_cell_renderer_toggle_new();
    g_object_set_data(G_OBJECT(r), "sd-column", GINT_TO_POINTER(col));
    g_object_set(r, "activatable", TRUE, NULL);
    g_signal_connect(r, "toggled", G_CALLBACK(on_toggled), nullptr);
    GtkTreeViewColumn *c =
        gtk_tree_view_column_new_with_attributes(title, r, "active", col, NULL);
    gtk_tree_view_append_column(GTK_TREE_VIEW(pw.view), c);
}

void set_row(GtkTreeIter *it, const sd_msg &m)
{
    char id[16], len[8], data[SD_DATA_TEXT_MAX], period[16], sent[24];
    sd_format_id(&m, id, sizeof id);
    g_snprintf(len, sizeof len, "%d", (int)m.len);
    sd_format_data(&m, data, sizeof data);
    g_snprintf(period, sizeof period, "%u", (unsigned)m.period_ms);
    /* Sent: the frames that went out; those that never did are told in
     * the state. */
    g_snprintf(sent, sizeof sent, "%llu",
               (unsigned long long)(m.sent > m.lost ? m.sent - m.lost : 0));
    /* A failure says most; then frames not sent; else a length that does
     * not match the data. */
    char note[SD_TEXT_MAX];
    if (m.lost > 0)
        g_snprintf(note, sizeof note,
                   g_dngettext(GETTEXT_PACKAGE, "%llu frame not sent (never acknowledged or dropped)",
                               "%llu frames not sent (never acknowledged or dropped)",
                               (unsigned long)m.lost),
                   (unsigned long long)m.lost);
    else
        sd_length_note(&m, note, sizeof note);
    const char *state = m.reason[0] ? m.reason : note;
    if (!state[0] && m.kernel)
        state = _("Sent by the kernel");
    /* A message the program paused shows its box clear (it sends nothing
     * until ticked again), the reason in its State and its tooltip. */
    gchar *tip = nullptr;
    if (m.paused)
        tip = g_markup_printf_escaped("%s\n%s", state, _("Enable it again to resume."));
    else if (m.kernel && !m.reason[0])
        tip = g_markup_printf_escaped(
            "%s\n%s", state,
            _("The kernel's broadcast manager sends this message on its own timer, so its "
              "cycle holds whatever the window does. Its frames appear in the trace as "
              "received frames of the channel."));
    else if (state[0])
        tip = g_markup_escape_text(state, -1);
    gtk_list_store_set(pw.store, it, SD_COL_ID, id, SD_COL_EXT, (gboolean)m.ext, SD_COL_RTR,
                       (gboolean)m.rtr, SD_COL_FD, (gboolean)m.fd, SD_COL_BRS,
                       (gboolean)m.brs, SD_COL_LEN, len, SD_COL_DATA, data, SD_COL_PERIOD,
                       period, SD_COL_ENABLED, (gboolean)(m.enabled && !m.paused), SD_COL_SENT,
                       sent, SD_COL_STATE, state, SD_COL_TIP, tip, -1);
    char chan[16];
    sd_chan_name(m.chan, chan, sizeof chan);
    gtk_list_store_set(pw.store, it, SD_COL_CHAN, chan, -1);
    g_free(tip);
}

void show_message(void)
{
    if (!pw.message)
        return;
    /* Line breaks would make the one line taller: blanks instead. */
    char line[sizeof sd.message];
    g_strlcpy(line, sd.message, sizeof line);
    g_strdelimit(line, "\r\n", ' ');
    if (strcmp(gtk_label_get_text(GTK_LABEL(pw.message)), line) == 0)
        return;
    gtk_label_set_text(GTK_LABEL(pw.message), line);
    gtk_widget_set_tooltip_text(pw.message, line[0] ? sd.message : nullptr);
}

}  // namespace

GtkWidget *sd_page_build(void)
{
    memset(&pw, 0, sizeof pw);
    GtkWidget *box = gtk_vbox_new(FALSE, 6);
    gtk_container_set_border_width(GTK_CONTAINER(box), 6);

    pw.store = gtk_list_store_new(SD_NCOLS, G_TYPE_STRING, G_TYPE_BOOLEAN, G_TYPE_BOOLEAN,
                                  G_TYPE_BOOLEAN, G_TYPE_BOOLEAN, G_TYPE_STRING, G_TYPE_STRING,
                                  G_TYPE_STRING, G_TYPE_BOOLEAN, G_TYPE_STRING, G_TYPE_STRING,
                                  G_TYPE_STRING, G_TYPE_STRING);
    pw.chan_names = gtk_list_store_new(1, G_TYPE_STRING);
    pw.view = named(gtk_tree_view_new_with_model(GTK_TREE_MODEL(pw.store)), "sender-list");
    g_object_unref(pw.store);  /* the view holds it */
    gtk_tree_view_set_tooltip_column(GTK_TREE_VIEW(pw.view), SD_COL_TIP);
    text_column(_("Identifier (hex)"), SD_COL_ID, 1);
    check_column(_("Ext"), SD_COL_EXT);
    check_column(_("RTR"), SD_COL_RTR);
    check_column(_("FD"), SD_COL_FD);
    check_column(_("BRS"), SD_COL_BRS);
    text_column(_("Length"), SD_COL_LEN, 1);
    g_signal_connect(text_column(_("Data (hex)"), SD_COL_DATA, 1), "editing-started",
                     G_CALLBACK(on_data_editing), nullptr);
    text_column(_("Period (ms)"), SD_COL_PERIOD, 1);
    check_column(_("Enabled"), SD_COL_ENABLED);
    text_column(_("Sent"), SD_COL_SENT, 0);
    text_column(_("State"), SD_COL_STATE, 0);
    {
        /* The channel, chosen from the window's (shown with several). */
        GtkCellRenderer *r = gtk_cell_renderer_combo_new();
        g_object_set_data(G_OBJECT(r), "sd-column", GINT_TO_POINTER(SD_COL_CHAN));
        g_object_set(r, "model", pw.chan_names, "text-column", 0, "has-entry", FALSE, "editable",
                     TRUE, NULL);
        g_signal_connect(r, "edited", G_CALLBACK(on_edited), nullptr);
        pw.chan_col = gtk_tree_view_column_new_with_attributes(_("Channel"), r, "text",
                                                               SD_COL_CHAN, NULL);
        gtk_tree_view_append_column(GTK_TREE_VIEW(pw.view), pw.chan_col);
        gtk_tree_view_column_set_visible(pw.chan_col, FALSE);   /* one channel: none to tell */
    }
    GtkWidget *scroll = gtk_scrolled_window_new(nullptr, nullptr);
    gtk_scrolled_window_set_policy(GTK_SCROLLED_WINDOW(scroll), GTK_POLICY_AUTOMATIC,
                                   GTK_POLICY_AUTOMATIC);
    gtk_container_add(GTK_CONTAINER(scroll), pw.view);
    /* The database's row above the list, the selected message's signals
     * below it. */
    gtk_box_pack_start(GTK_BOX(box), sd_dbpage_build(), FALSE, FALSE, 0);
    GtkWidget *paned = gtk_vpaned_new();
    gtk_paned_pack1(GTK_PANED(paned), scroll, TRUE, FALSE);
    gtk_paned_pack2(GTK_PANED(paned), sd_dbpage_signals(), TRUE, FALSE);
    gtk_box_pack_start(GTK_BOX(box), paned, TRUE, TRUE, 0);
    g_signal_connect(gtk_tree_view_get_selection(GTK_TREE_VIEW(pw.view)), "changed",
                     G_CALLBACK(on_selection), nullptr);

    GtkWidget *buttons = gtk_hbox_new(FALSE, 6);
    gtk_box_pack_start(GTK_BOX(buttons), button(_("_Add"), "sender-add", G_CALLBACK(on_add)),
                       FALSE, FALSE, 0);
    gtk_box_pack_start(GTK_BOX(buttons),
                       button(_("_Remove"), "sender-remove", G_CALLBACK(on_remove)), FALSE,
                       FALSE, 0);
    gtk_box_pack_start(GTK_BOX(buttons), button(_("S_end"), "sender-send", G_CALLBACK(on_send)),
                       FALSE, FALSE, 0);
    gtk_box_pack_start(GTK_BOX(buttons),
                       button(_("Start per_iodic"), "sender-start", G_CALLBACK(on_start)),
                       FALSE, FALSE, 0);
    gtk_box_pack_start(GTK_BOX(buttons),
                       button(_("S_top periodic"), "sender-stop", G_CALLBACK(on_stop)), FALSE,
                       FALSE, 0);
    pw.state = named(gtk_label_new(""), "sender-state");
    gtk_box_pack_start(GTK_BOX(buttons), pw.state, FALSE, FALSE, 6);
    gtk_box_pack_start(GTK_BOX(box), buttons, FALSE, FALSE, 0);
    gtk_box_pack_start(GTK_BOX(box), build_quick_send(), FALSE, FALSE, 0);

    /* One line that always holds its place, empty or not: a message never
     * moves the list, the buttons or the quick-send line. A longer one is
     * cut with an ellipsis; its tooltip has the whole text. */
    pw.message = named(gtk_label_new(""), "sender-message");
    gtk_misc_set_alignment(GTK_MISC(pw.message), 0.0f, 0.5f);
    gtk_label_set_single_line_mode(GTK_LABEL(pw.message), TRUE);
    gtk_label_set_ellipsize(GTK_LABEL(pw.message), PANGO_ELLIPSIZE_END);
    gtk_label_set_selectable(GTK_LABEL(pw.message), TRUE);
    gtk_box_pack_start(GTK_BOX(box), pw.message, FALSE, FALSE, 0);

    sd.page = box;
    sd.refresh = g_timeout_add(SD_REFRESH_MS, on_refresh, nullptr);
    gtk_widget_show_all(box);
    sd_page_rebuild();
    sd_page_history();
    return box;
}

void sd_page_history(void)
{
    if (!pw.quick)
        return;
    GtkTreeModel *model = gtk_combo_box_get_model(GTK_COMBO_BOX(pw.quick));
    gtk_list_store_clear(GTK_LIST_STORE(model));
    for (int i = 0; i < sd.history_count; i++)
        gtk_combo_box_append_text(GTK_COMBO_BOX(pw.quick), sd.history[i]);
}

void sd_page_release(void)
{
    if (sd.refresh)
        g_source_remove(sd.refresh);
    sd.refresh = 0;
    sd_tab_release();
    sd_dbpage_release();
    if (pw.chan_names)
        g_object_unref(pw.chan_names);   /* the widgets keep theirs */
    memset(&pw, 0, sizeof pw);
}

void sd_page_rebuild(void)
{
    if (!pw.store)
        return;
    gtk_list_store_clear(pw.store);
    for (int i = 0; i < sd.count; i++) {
        GtkTreeIter it;
        gtk_list_store_append(pw.store, &it);
        sd_msg m;
        sd_lock();
        m = sd.msgs[i];
        sd.msgs[i].dirty = 0;
        sd_unlock();
        set_row(&it, m);
    }
    sd_page_refresh();
    sd_dbpage_show(sd_page_selected());
}

void sd_page_refresh(void)
{
    if (!pw.store)
        return;
    sd_kernel_sync();
    GtkTreeIter it;
    gboolean valid = gtk_tree_model_get_iter_first(GTK_TREE_MODEL(pw.store), &it);
    for (int i = 0; i < sd.count && valid; i++) {
        /* A copy taken under the lock: the sending thread counts on. */
        sd_msg m;
        sd_lock();
        int dirty = sd.msgs[i].dirty;
        if (dirty)
            m = sd.msgs[i];
        sd.msgs[i].dirty = 0;
        sd_unlock();
        if (dirty)
            set_row(&it, m);
        valid = gtk_tree_model_iter_next(GTK_TREE_MODEL(pw.store), &it);
    }
    sd_take_note();
    sync_channels();
    gtk_label_set_text(GTK_LABEL(pw.state), sd.running ? _("Periodic sending: on")
                                                       : _("Periodic sending: off"));
    show_message();
}

void sd_set_message(const char *text)
{
    g_strlcpy(sd.message, text ? text : "", sizeof sd.message);
    show_message();
}

int sd_page_selected(void)
{
    if (!pw.view)
        return -1;
    GtkTreeModel *model = nullptr;
    GtkTreeIter it;
    if (!gtk_tree_selection_get_selected(gtk_tree_view_get_selection(GTK_TREE_VIEW(pw.view)),
                                         &model, &it))
        return -1;
    GtkTreePath *p = gtk_tree_model_get_path(model, &it);
    int row = p ? gtk_tree_path_get_indices(p)[0] : -1;
    if (p)
        gtk_tree_path_free(p);
    return row;
}

void sd_page_select(int row)
{
    if (!pw.view || row < 0 || row >= sd.count)
        return;
    GtkTreePath *p = gtk_tree_path_new_from_indices(row, -1);
    gtk_tree_selection_select_path(gtk_tree_view_get_selection(GTK_TREE_VIEW(pw.view)), p);
    gtk_tree_path_free(p);
}
