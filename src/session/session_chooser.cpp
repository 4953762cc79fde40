/*
 * session_chooser.cpp - the parts the Save and Load session file choosers
 * share, so that both start in the same folder, converted the same way,
 * and show session files under the same filter.
 */
#include "session/session_chooser.h"
#include "nimbrel/kit.h"

#include <glib/gi18n.h>
#include <string.h>

#include "app/nb_app.h"

void session_chooser_setup(GtkFileChooser *chooser, nb_app *app)
{
    GtkFileFilter *sessions = gtk_file_filter_new();
    gtk_file_filter_set_name(sessions, _("Nimbrel sessions (*.nbs)"));
    gtk_file_filter_add_pattern(sessions, "*.nbs");
    gtk_file_chooser_add_filter(chooser, sessions);
    GtkFileFilter *all = gtk_file_filter_new();
    gtk_file_filter_set_name(all, _("All files"));
    gtk_file_filter_add_pattern(all, "*");
    gtk_file_chooser_add_filter(chooser, all);   /* the first one added is in force */

    /* The folder of the last session file chosen, at first the desktop
     * folder. */
    nbkit_chooser_start(chooser, NB_FOLDER_SESSIONS, app->session.desktop_dir);
    char kept[NB_FOLDER_MAX];
    const char *start = nb_get_folder(NB_FOLDER_SESSIONS, kept, sizeof kept) == 0
                            ? kept
                            : app->session.desktop_dir;
    gchar *folder = g_filename_from_utf8(start, -1, nullptr, nullptr, nullptr);

    char name[64];
    g_snprintf(name, sizeof name, "nbses-ch%d.nbs", (int)app->chan.number);
    if (gtk_file_chooser_get_action(chooser) == GTK_FILE_CHOOSER_ACTION_SAVE) {
        gtk_file_chooser_set_current_name(chooser, name);
    } else if (folder && *folder) {
        /* Choosing a file to open: the channel's usual file is selected
         * when it is there. */
        gchar *path = g_build_filename(folder, name, nullptr);
        if (g_file_test(path, G_FILE_TEST_IS_REGULAR))
            gtk_file_chooser_set_filename(chooser, path);
        g_free(path);
    }
    g_free(folder);
}

gchar *session_save_name(const gchar *chosen)
{
    gchar *base = g_path_get_basename(chosen);
    /* A leading dot names a hidden file, not an extension. */
    const char *dot = strrchr(base, '.');
    bool has_ext = dot && dot != base && dot[1];
    g_free(base);
    return has_ext ? g_strdup(chosen) : g_strconcat(chosen, ".nbs", nullptr);
}

void session_chooser_keep(GtkFileChooser *chooser)
{
    nbkit_chooser_keep(chooser, NB_FOLDER_SESSIONS);
}
