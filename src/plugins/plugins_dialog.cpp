/*
 * The Available plugins dialog: one row per listed plug-in with its name
 * (author and description in the tooltip) and a Load/Release toggle,
 * sorted by name, the dialog as large as its rows within the screen. A
 * toggle only marks the entry; the poller carries the mark out on its next
 * tick. Closing the dialog gives the loaded plug-ins their saved keys again
 * and rewrites the automatic session.
 */
#include <glib.h>
#include <glib/gi18n.h>

#include "app/nb_app.h"
#include "app/platform.h"
#include "plugins/pgmgr.h"

#include <algorithm>
#include <string>
#include <vector>

namespace {

/* The manager whose entries the dialog's buttons mark, while it is open. */
nb_pgmgr *dlg_mgr = nullptr;

void on_toggle(GtkToggleButton *button, gpointer data)
{
    nb_plugin *entry = (nb_plugin *)data;
    if (gtk_toggle_button_get_active(button)) {
        gtk_button_set_label(GTK_BUTTON(button), _("Release"));
        entry->pending = 1;
    } else {
        gtk_button_set_label(GTK_BUTTON(button), _("Load   "));
        entry->pending = 2;
    }
    if (dlg_mgr)
        dlg_mgr->changes_pending = 1;
}

guint table_rows(GtkWidget *table)
{
    guint rows = 0;
    g_object_get(table, "n-rows", &rows, NULL);
    return rows;
}

/* What one row shows, copied out of the plug-in's library. */
struct row_text {
    nb_plugin *entry;
    std::string name, author, desc;
};

/* The descriptive strings of an entry's library, loaded for the moment.
 * An entry whose library no longer loads or lacks one of them gets no row. */
bool read_row_text(nb_plugin *entry, row_text *out)
{
    if (!entry->path)
        return false;
    void *lib = nbsdep_dl_open(entry->path);
    if (!lib)
        return false;
    const char *name = (const char *)nbsdep_dl_sym(lib, "__nbpg_name");
    const char *author = (const char *)nbsdep_dl_sym(lib, "__nbpg_author");
    const char *desc = (const char *)nbsdep_dl_sym(lib, "__nbpg_description");
    bool ok = name && author && desc;
    if (ok)
        *out = row_text{entry, plugin_shown_name(lib, name), author, desc};
    nbsdep_dl_close(lib);
    return ok;
}

/* Adds the title label, the toggle and a separator for one entry. */
void add_row(GtkWidget *table, const row_text &row)
{
    nb_plugin *entry = row.entry;
    const char *name = row.name.c_str(), *author = row.author.c_str(), *desc = row.desc.c_str();
    GtkWidget *title = gtk_label_new("");
    gchar *markup = g_markup_printf_escaped("<span size=\"x-large\">%s</span>",
                                            name);
    gtk_label_set_markup(GTK_LABEL(title), markup);
    g_free(markup);
    gtk_misc_set_alignment(GTK_MISC(title), 0.0f, 0.0f);
    gchar *tip = g_markup_printf_escaped("Author: <span style=\"italic\">%s</span>\n%s", author,
                                         desc);
    gtk_widget_set_tooltip_markup(title, tip);
    g_free(tip);
    gtk_widget_set_name(title, "plugin-title");

    GtkWidget *button = gtk_toggle_button_new_with_label(_("Load   "));
    gtk_widget_set_name(button, "plugin-toggle");
    if (entry->loaded) {
        gtk_toggle_button_set_active(GTK_TOGGLE_BUTTON(button), TRUE);
        gtk_button_set_label(GTK_BUTTON(button), _("Release"));
    } else {
        gtk_toggle_button_set_active(GTK_TOGGLE_BUTTON(button), FALSE);
    }
    g_signal_connect(button, "clicked", G_CALLBACK(on_toggle), entry);

    guint r = table_rows(table);
    gtk_table_attach_defaults(GTK_TABLE(table), title, 0, 1, r - 1, r);
    gtk_table_attach_defaults(GTK_TABLE(table), button, 1, 2, r - 1, r);
    gtk_table_resize(GTK_TABLE(table), r + 1, 2);
    gtk_table_attach_defaults(GTK_TABLE(table), gtk_hseparator_new(), 0, 2, r, r + 1);
    gtk_table_resize(GTK_TABLE(table), r + 2, 2);
}

/* The scrolled window asks for its content's size, up to most of the
 * screen; beyond that it scrolls. */
void fit_to_content(GtkWidget *scrolled, GtkWidget *content)
{
    GtkRequisition want;
    gtk_widget_size_request(content, &want);
    GdkScreen *screen = gtk_widget_get_screen(scrolled);
    /* Room for the dialog's frame, its button row and a scroll bar. */
    int max_w = gdk_screen_get_width(screen) * 9 / 10 - 40;
    int max_h = gdk_screen_get_height(screen) * 9 / 10 - 100;
    int w = want.width + 4, h = want.height + 4;
    if (h > max_h)
        w += 20;   /* the vertical scroll bar */
    gtk_widget_set_size_request(scrolled, MIN(w, max_w), MIN(h, max_h));
}

}  // namespace

void plugins_dialog(GtkMenuItem *item, gpointer data)
{
    nb_app *app = (nb_app *)data;
    nb_pgmgr *mgr = &app->pgmgr;

    GtkWidget *dialog = gtk_dialog_new_with_buttons(
        _("Available plugins"), nb_mainwin ? GTK_WINDOW(nb_mainwin) : nullptr,
        (GtkDialogFlags)(GTK_DIALOG_MODAL | GTK_DIALOG_DESTROY_WITH_PARENT |
                         GTK_DIALOG_NO_SEPARATOR),
        GTK_STOCK_CLOSE, GTK_RESPONSE_OK, NULL);
    gtk_widget_set_name(dialog, "plugins-dialog");
    /* The smallest size it opens at; a longer list makes it larger (a
     * size request would hold it at this size and the list would scroll). */
    gtk_window_set_default_size(GTK_WINDOW(dialog), 450, 200);
    /* The main window may go while the dialog runs; it takes the dialog with it. */
    g_signal_connect(dialog, "destroy", G_CALLBACK(gtk_widget_destroyed), &dialog);

    GtkWidget *scrolled = gtk_scrolled_window_new(nullptr, nullptr);
    gtk_container_set_border_width(GTK_CONTAINER(scrolled), 0);
    gtk_scrolled_window_set_shadow_type(GTK_SCROLLED_WINDOW(scrolled), GTK_SHADOW_NONE);
    gtk_scrolled_window_set_policy(GTK_SCROLLED_WINDOW(scrolled), GTK_POLICY_AUTOMATIC,
                                   GTK_POLICY_AUTOMATIC);
    GtkWidget *vbox = gtk_vbox_new(FALSE, 2);
    GtkWidget *table = gtk_table_new(1, 2, FALSE);
    gtk_widget_set_name(table, "plugins-table");
    gtk_container_set_border_width(GTK_CONTAINER(table), 5);
    gtk_table_set_row_spacings(GTK_TABLE(table), 5);
    gtk_table_set_col_spacings(GTK_TABLE(table), 5);
    gtk_box_pack_start(GTK_BOX(vbox), table, FALSE, TRUE, 0);
    gtk_scrolled_window_add_with_viewport(GTK_SCROLLED_WINDOW(scrolled), vbox);
    GtkWidget *viewport = gtk_bin_get_child(GTK_BIN(scrolled));
    if (GTK_IS_VIEWPORT(viewport))
        gtk_viewport_set_shadow_type(GTK_VIEWPORT(viewport), GTK_SHADOW_NONE);
    gtk_box_pack_start(GTK_BOX(gtk_dialog_get_content_area(GTK_DIALOG(dialog))), scrolled, TRUE,
                       TRUE, 0);

    int walked = 0;
    nb_plugin *entry = nullptr;
    std::vector<row_text> rows;
    for (nb_plugin_node *n = mgr->ops.pgmgr_next(nullptr, mgr, &entry); n;
         n = mgr->ops.pgmgr_next(n, mgr, &entry)) {
        ++walked;
        row_text row;
        if (entry && read_row_text(entry, &row))
            rows.push_back(std::move(row));
    }
    /* By name as the user reads it; the list's order only breaks ties. */
    std::stable_sort(rows.begin(), rows.end(), [](const row_text &a, const row_text &b) {
        return g_utf8_collate(a.name.c_str(), b.name.c_str()) < 0;
    });
    for (const row_text &row : rows)
        add_row(table, row);
    if (walked == 0) {
        GtkWidget *label = gtk_label_new(_("No Nimbrel plugins found. Check Nimbrel installation.\n"));
        gtk_widget_set_name(label, "plugins-none");
        gtk_table_attach_defaults(GTK_TABLE(table), label, 0, 1, 0, 1);
    }

    dlg_mgr = mgr;
    gtk_widget_show_all(vbox);
    fit_to_content(scrolled, vbox);
    gtk_widget_show_all(dialog);
    gtk_dialog_run(GTK_DIALOG(dialog));
    if (dialog)
        gtk_widget_destroy(dialog);
    dlg_mgr = nullptr;

    app->session.ops.reload_plugin_settings(app);
    app->session.ops.autosave(app);
}
