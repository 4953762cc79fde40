/*
 * pickdlg.cpp - the dialog that picks a message of the sender's database
 * by part of its name or by its identifier, and adds it to the list.
 */
#include "sender.h"

#include <string.h>

#include "pgparts.h"

namespace {

using pgparts::named;

enum { PC_NAME, PC_ID, PC_LEN, PC_SIGNALS, PC_INDEX, PC_N };

gboolean pick_visible(GtkTreeModel *model, GtkTreeIter *it, gpointer entry)
{
    const char *want = gtk_entry_get_text(GTK_ENTRY(entry));
    if (!want[0])
        return TRUE;
    gchar *name = nullptr, *id = nullptr;
    gtk_tree_model_get(model, it, PC_NAME, &name, PC_ID, &id, -1);
    gchar *a = g_utf8_casefold(name ? name : "", -1), *b = g_utf8_casefold(want, -1);
    gboolean show = strstr(a, b) != nullptr || (id && g_ascii_strcasecmp(id, want) == 0);
    g_free(a);
    g_free(b);
    g_free(name);
    g_free(id);
    return show;
}

void on_search_changed(GtkEditable *, gpointer filter)
{
    gtk_tree_model_filter_refilter(GTK_TREE_MODEL_FILTER(filter));
}

void on_pick_row(GtkTreeView *, GtkTreePath *, GtkTreeViewColumn *, gpointer dialog)
{
    gtk_dialog_response(GTK_DIALOG(dialog), GTK_RESPONSE_ACCEPT);
}

}  // namespace

void sd_pick_dialog(void)
{
    const dbc_db *db = sd_db();
    if (!db) {
        sd_set_message(sd_db_reading() ? _("A database is being read: wait until it is done.")
                                       : _("Open a database first (\"Database...\")."));
        return;
    }
    GtkWidget *dialog = gtk_dialog_new_with_buttons(
        _("Message from the database"), GTK_WINDOW(nb_mainwin), GTK_DIALOG_MODAL, GTK_STOCK_CANCEL,
        GTK_RESPONSE_CANCEL, GTK_STOCK_ADD, GTK_RESPONSE_ACCEPT, nullptr);
    gtk_window_set_default_size(GTK_WINDOW(dialog), 520, 420);
    GtkWidget *box = gtk_dialog_get_content_area(GTK_DIALOG(dialog));
    GtkWidget *row = gtk_hbox_new(FALSE, 6);
    GtkWidget *label = gtk_label_new_with_mnemonic(_("_Search:"));
    GtkWidget *entry = named(gtk_entry_new(), "sender-pick-search");
    gtk_widget_set_tooltip_text(entry, _("Part of the message's name, or its identifier in hex"));
    gtk_label_set_mnemonic_widget(GTK_LABEL(label), entry);
    gtk_box_pack_start(GTK_BOX(row), label, FALSE, FALSE, 0);
    gtk_box_pack_start(GTK_BOX(row), entry, TRUE, TRUE, 0);
    gtk_box_pack_start(GTK_BOX(box), row, FALSE, FALSE, 6);

    GtkListStore *store = gtk_list_store_new(PC_N, G_TYPE_STRING, G_TYPE_STRING, G_TYPE_INT,
                                             G_TYPE_INT, G_TYPE_INT);
    for (size_t i = 0; i < db->messages.size(); i++) {
        const dbc_message &m = db->messages[i];
        if (!m.decodable)
            continue;
        char id[16];
        g_snprintf(id, sizeof id, m.extended ? "%08X" : "%03X", (unsigned)m.id);
        GtkTreeIter it;
        gtk_list_store_append(store, &it);
        gtk_list_store_set(store, &it, PC_NAME, m.name.c_str(), PC_ID, id, PC_LEN, (int)m.size,
                           PC_SIGNALS, (int)m.signals.size(), PC_INDEX, (int)i, -1);
    }
    GtkTreeModel *filter = gtk_tree_model_filter_new(GTK_TREE_MODEL(store), nullptr);
    g_object_unref(store);
    gtk_tree_model_filter_set_visible_func(GTK_TREE_MODEL_FILTER(filter), pick_visible, entry,
                                           nullptr);
    GtkWidget *view = named(gtk_tree_view_new_with_model(filter), "sender-pick-list");
    g_object_unref(filter);
    const char *titles[] = {_("Message"), _("Identifier (hex)"), _("Length"), _("Signals")};
    for (int c = 0; c < 4; c++)
        gtk_tree_view_append_column(
            GTK_TREE_VIEW(view), gtk_tree_view_column_new_with_attributes(
                                     titles[c], gtk_cell_renderer_text_new(), "text", c, NULL));
    g_signal_connect(entry, "changed", G_CALLBACK(on_search_changed), filter);
    g_signal_connect(view, "row-activated", G_CALLBACK(on_pick_row), dialog);
    GtkWidget *scroll = gtk_scrolled_window_new(nullptr, nullptr);
    gtk_scrolled_window_set_policy(GTK_SCROLLED_WINDOW(scroll), GTK_POLICY_AUTOMATIC,
                                   GTK_POLICY_AUTOMATIC);
    gtk_container_add(GTK_CONTAINER(scroll), view);
    gtk_box_pack_start(GTK_BOX(box), scroll, TRUE, TRUE, 0);
    gtk_widget_show_all(dialog);
    nbpg_loadrelease_enable();
    int index = -1;
    if (gtk_dialog_run(GTK_DIALOG(dialog)) == GTK_RESPONSE_ACCEPT) {
        GtkTreeModel *model = nullptr;
        GtkTreeIter it;
        GtkTreeSelection *sel = gtk_tree_view_get_selection(GTK_TREE_VIEW(view));
        if (gtk_tree_selection_get_selected(sel, &model, &it) ||
            gtk_tree_model_get_iter_first(model = filter, &it))
            gtk_tree_model_get(model, &it, PC_INDEX, &index, -1);
    }
    gtk_widget_destroy(dialog);
    nbpg_loadrelease_disable();
    if (index < 0 || !sd.page || sd_db() != db)
        return;
    int row_added = sd_db_add(&db->messages[(size_t)index]);
    if (row_added >= 0)
        sd_page_select(row_added);
}

