/*
 * load_session_dialog.cpp - the Load Session dialog.
 *
 * Used from the channel chooser before any main window exists and from
 * the File menu, so it has no parent window. Accepting a file name makes
 * it the session of the next pass; whether the file exists is found out
 * when it is loaded.
 */
#include <glib/gi18n.h>
#include <string.h>

#include "app/nb_app.h"

namespace {

/* Converts the file chooser's name to UTF-8 into load_file. Returns 0, or
 * -1 when it cannot be converted or does not fit whole: a cut path would
 * name another file. */
int store_load_file(nb_app *app, const char *filename)
{
    gchar *utf8 = g_filename_to_utf8(filename, -1, nullptr, nullptr, nullptr);
    if (!utf8)
        return -1;
    size_t len = strlen(utf8);
    if (len >= sizeof app->session.load_file) {
        g_free(utf8);
        return -1;
    }
    memcpy(app->session.load_file, utf8, len + 1);
    g_free(utf8);
    return 0;
}

}  // namespace

int choose_session_file(nb_app *app)
{
    char name[64];
    g_snprintf(name, sizeof name, "nbses-ch%d.nbs", (int)app->chan.number);

    GtkWidget *dlg = gtk_file_chooser_dialog_new(_("Load Session from File"), nullptr,
                                                 GTK_FILE_CHOOSER_ACTION_SAVE, GTK_STOCK_CANCEL,
                                                 GTK_RESPONSE_CANCEL, GTK_STOCK_OPEN,
                                                 GTK_RESPONSE_ACCEPT, nullptr);
    gtk_widget_set_name(dlg, "load_session_dialog");
    GtkFileFilter *filter = gtk_file_filter_new();
    gtk_file_filter_add_pattern(filter, "*.nbs");
    gtk_file_chooser_add_filter(GTK_FILE_CHOOSER(dlg), filter);

    gchar *folder = g_filename_from_utf8(app->session.desktop_dir, -1, nullptr, nullptr, nullptr);
    if (folder && *folder)
        gtk_file_chooser_set_current_folder(GTK_FILE_CHOOSER(dlg), folder);
    g_free(folder);
    gtk_file_chooser_set_current_name(GTK_FILE_CHOOSER(dlg), name);
    gtk_window_set_position(GTK_WINDOW(dlg), GTK_WIN_POS_CENTER);

    int chosen = 0;
    bool too_long = false;
    if (gtk_dialog_run(GTK_DIALOG(dlg)) == GTK_RESPONSE_ACCEPT) {
        gchar *filename = gtk_file_chooser_get_filename(GTK_FILE_CHOOSER(dlg));
        if (filename && *filename) {
            if (store_load_file(app, filename) == 0) {
                app->mode = 1;
                chosen = 1;
            } else {
                too_long = true;
            }
        }
        g_free(filename);
    }
    gtk_widget_destroy(dlg);
    if (too_long)
        nb_error(_("The session file name is too long or not valid."));
    return chosen;
}
