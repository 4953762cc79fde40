/*
 * load_session_dialog.cpp - the Load Session dialog.
 *
 * Used from the channel chooser before any main window exists and from
 * the File menu, so it has no parent window. It lists the session files
 * that exist. A file is read whole before it is accepted: one that cannot
 * be read or parsed is reported with the reason and the dialog stays, so
 * that a wrong pick never ends the running pass. An accepted file is the
 * session of the next pass.
 */
#include <glib/gi18n.h>
#include <string.h>

#include "app/nb_app.h"
#include "session/session.h"
#include "session/session_chooser.h"
#include "session/session_file.h"

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
    /* A refused file is reported and the dialog comes again, in the folder
     * of that file. */
    gchar *folder = nullptr;
    int chosen = 0;
    for (;;) {
        GtkWidget *dlg = gtk_file_chooser_dialog_new(
            _("Load Session from File"), nullptr, GTK_FILE_CHOOSER_ACTION_OPEN, GTK_STOCK_CANCEL,
            GTK_RESPONSE_CANCEL, GTK_STOCK_OPEN, GTK_RESPONSE_ACCEPT, nullptr);
        gtk_widget_set_name(dlg, "load_session_dialog");
        session_chooser_setup(GTK_FILE_CHOOSER(dlg), app);
        if (folder)
            gtk_file_chooser_set_current_folder(GTK_FILE_CHOOSER(dlg), folder);
        gtk_window_set_position(GTK_WINDOW(dlg), GTK_WIN_POS_CENTER);
        gchar *filename = nullptr;
        if (gtk_dialog_run(GTK_DIALOG(dlg)) == GTK_RESPONSE_ACCEPT) {
            filename = gtk_file_chooser_get_filename(GTK_FILE_CHOOSER(dlg));
            session_chooser_keep(GTK_FILE_CHOOSER(dlg));
        }
        gtk_widget_destroy(dlg);
        if (!filename)
            break;
        char keep[NB_TEXT_MAX];
        g_strlcpy(keep, app->session.load_file, sizeof keep);
        if (store_load_file(app, filename) != 0) {
            nb_error(_("The session file name is too long or not valid."));
        } else if (session_read(app, app->session.load_file, SES_LOAD_CHECK) < 0) {
            session_report_unloadable(app->session.load_file);
            g_strlcpy(app->session.load_file, keep, sizeof app->session.load_file);
        } else {
            app->mode = 1;
            app->session.load_checked = 1;
            chosen = 1;
        }
        g_free(folder);
        folder = g_path_get_dirname(filename);
        g_free(filename);
        if (chosen)
            break;
    }
    g_free(folder);
    return chosen;
}
