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
#include "session/session_chooser.h"

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
    GtkWidget *dlg = gtk_file_chooser_dialog_new(_("Load Session from File"), nullptr,
                                                 GTK_FILE_CHOOSER_ACTION_SAVE, GTK_STOCK_CANCEL,
                                                 GTK_RESPONSE_CANCEL, GTK_STOCK_OPEN,
                                                 GTK_RESPONSE_ACCEPT, nullptr);
    gtk_widget_set_name(dlg, "load_session_dialog");
    session_chooser_setup(GTK_FILE_CHOOSER(dlg), app);
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
