/*
 * Session management: where the sessions of a channel are kept, the six
 * session operations, the autosave export for plug-ins and the File menu
 * handlers that save, load and reset the session or quit.
 *
 * Loading and resetting do not change the running pass: they record what
 * the next pass loads, set the restart flag and leave the main loop.
 */
#include <glib.h>
#include <glib/gi18n.h>
#include <glib/gstdio.h>
#include <errno.h>
#include <string.h>
#include <sys/stat.h>

#include "app/nb_app.h"
#include "session/session.h"
#include "app/platform.h"
#include "session/folders.h"
#include "session/session_chooser.h"
#include "session/session_file.h"

namespace {

/* The automatic file of a channel in folder dir; false when the name
 * does not fit (a cut name would name another file). */
bool auto_name(char *out, size_t size, const char *dir, uint8_t chan)
{
    size_t n = strlen(dir);
    const char *sep = (n > 0 && dir[n - 1] == '/') ? "" : NBSDEP_DIR_SEP;
    int len = g_snprintf(out, size, "%s%s.nbauto-ch%d.nbs", dir, sep, (int)chan);
    if (len < 0 || (size_t)len >= size) {
        out[0] = '\0';
        return false;
    }
    return true;
}

void make_paths(nb_session *ses, uint8_t chan)
{
    char dir[NB_TEXT_MAX];
    char old_file[NB_TEXT_MAX];

    if (nbsdep_desktop_dir(ses->desktop_dir, sizeof ses->desktop_dir) != 0)
        g_strlcpy(ses->desktop_dir, g_get_home_dir(), sizeof ses->desktop_dir);

    /* Without a data folder there is no automatic file: reads and writes
     * of an empty path fail quietly rather than landing somewhere else. */
    ses->auto_file[0] = '\0';
    if (nbsdep_user_data_dir(dir, sizeof dir) != 0 ||
        !auto_name(old_file, sizeof old_file, dir, (uint8_t)chan))
        return;
    /* The file lives in the program's own folder. Earlier versions kept it
     * directly in the data folder: such a file is moved over once, when
     * the program's folder has none yet (so it is read from there, and the
     * old place is never read again). Where the folder cannot be made or
     * the move fails, the old file stays in use rather than being lost. */
    if (nbsdep_app_data_dir(dir, sizeof dir) != 0 ||
        !auto_name(ses->auto_file, sizeof ses->auto_file, dir, (uint8_t)chan)) {
        g_strlcpy(ses->auto_file, old_file, sizeof ses->auto_file);
        return;
    }
    GStatBuf st;
    gchar *old_local = g_filename_from_utf8(old_file, -1, nullptr, nullptr, nullptr);
    gchar *new_local = g_filename_from_utf8(ses->auto_file, -1, nullptr, nullptr, nullptr);
    if (old_local && new_local && g_lstat(old_local, &st) == 0 && S_ISREG(st.st_mode) &&
        g_lstat(new_local, &st) != 0 && errno == ENOENT && g_rename(old_local, new_local) != 0)
        g_strlcpy(ses->auto_file, old_file, sizeof ses->auto_file);
    g_free(old_local);
    g_free(new_local);
}

int32_t save(nb_app *app, const char *path)
{
    return session_write(app, path, 0);
}

int32_t autosave(nb_app *app)
{
    return session_write(app, app->session.auto_file, 1);
}

int32_t load(nb_app *app, const char *path)
{
    return session_read(app, path, SES_LOAD_FILE);
}

int32_t load_auto(nb_app *app)
{
    return session_read(app, app->session.auto_file, SES_LOAD_AUTO);
}

int32_t reload_plugin_settings(nb_app *app)
{
    return session_read(app, app->session.auto_file, SES_LOAD_PLUGINS);
}

/* Runs the Save dialog until the user cancels or picks a name that may be
 * written. A name without extension is saved with ".nbs" added: when
 * that file exists, the question the chooser asked for the bare name is
 * asked for it. */
bool run_save_chooser(GtkWidget *dlg)
{
    while (gtk_dialog_run(GTK_DIALOG(dlg)) == GTK_RESPONSE_ACCEPT) {
        gchar *chosen = gtk_file_chooser_get_filename(GTK_FILE_CHOOSER(dlg));
        if (!chosen)
            continue;
        gchar *target = session_save_name(chosen);
        bool ask = strcmp(target, chosen) != 0 && g_file_test(target, G_FILE_TEST_EXISTS);
        bool go = true;
        if (ask) {
            gchar *shown = g_filename_display_basename(target);
            GtkWidget *q = gtk_message_dialog_new(GTK_WINDOW(dlg), GTK_DIALOG_MODAL,
                                                  GTK_MESSAGE_QUESTION, GTK_BUTTONS_YES_NO,
                                                  _("A file named \"%s\" already exists. Do you "
                                                    "want to replace it?"),
                                                  shown);
            g_free(shown);
            go = gtk_dialog_run(GTK_DIALOG(q)) == GTK_RESPONSE_YES;
            gtk_widget_destroy(q);
        }
        g_free(target);
        g_free(chosen);
        if (go)
            return true;
    }
    return false;
}

void leave_main_loop(void)
{
    if (gtk_main_level() > 0)
        gtk_main_quit();
}

}  // namespace

void session_fill_ops(nb_session_ops *ops)
{
    ops->make_paths = make_paths;
    ops->save = save;
    ops->autosave = autosave;
    ops->load = load;
    ops->load_auto = load_auto;
    ops->reload_plugin_settings = reload_plugin_settings;
    ops->keep_released = session_keep_released;
}

extern "C" NB_HOST_API int nbpg_autosave(void)
{
    if (!the_app.session.ops.autosave)
        return -1;
    return the_app.session.ops.autosave(&the_app);
}

void on_save_session(GtkMenuItem *item, gpointer data)
{
    nb_app *app = (nb_app *)data;
    GtkWidget *dlg = gtk_file_chooser_dialog_new(
        _("Save Current Session"), nb_mainwin ? GTK_WINDOW(nb_mainwin) : nullptr,
        GTK_FILE_CHOOSER_ACTION_SAVE, GTK_STOCK_CANCEL, GTK_RESPONSE_CANCEL, GTK_STOCK_SAVE,
        GTK_RESPONSE_ACCEPT, NULL);
    gtk_widget_set_name(dlg, "save-session-dialog");
    gtk_file_chooser_set_do_overwrite_confirmation(GTK_FILE_CHOOSER(dlg), TRUE);
    session_chooser_setup(GTK_FILE_CHOOSER(dlg), app);

    if (run_save_chooser(dlg)) {
        session_chooser_keep(GTK_FILE_CHOOSER(dlg));
        /* The chooser gives file-name encoding; the session code takes UTF-8. */
        gchar *chosen = gtk_file_chooser_get_filename(GTK_FILE_CHOOSER(dlg));
        gchar *fname = chosen ? session_save_name(chosen) : nullptr;
        g_free(chosen);
        gchar *utf8 = fname ? g_filename_to_utf8(fname, -1, nullptr, nullptr, nullptr) : nullptr;
        if (!utf8)
            nb_message_error("%s: %s", _("Can not save current session"),
                             _("the file name cannot be used"));
        else if (app->session.ops.save(app, utf8) < 0)
            nb_message_error("%s: %s", _("Can not save current session"),
                             session_write_error());
        g_free(utf8);
        g_free(fname);
    }
    gtk_widget_destroy(dlg);
}

void on_load_session(GtkMenuItem *item, gpointer data)
{
    nb_app *app = (nb_app *)data;
    if (choose_session_file(app) == 1)
        leave_main_loop();
}

void on_reset_session(GtkMenuItem *item, gpointer data)
{
    nb_app *app = (nb_app *)data;
    GtkWidget *box = gtk_message_dialog_new(
        nb_mainwin ? GTK_WINDOW(nb_mainwin) : nullptr, GTK_DIALOG_MODAL, GTK_MESSAGE_QUESTION,
        GTK_BUTTONS_YES_NO, "%s",
        _("Are you sure you want reset session to defaults (Nimbrel will be restarted)?"));
    gtk_widget_set_name(box, "reset-session-question");
    gtk_window_set_position(GTK_WINDOW(box), GTK_WIN_POS_CENTER);
    gint answer = gtk_dialog_run(GTK_DIALOG(box));
    if (answer != GTK_RESPONSE_YES) {
        gtk_widget_destroy(box);
        return;
    }

    g_strlcpy(app->session.load_file, app->session.auto_file, sizeof app->session.load_file);
    app->pgmgr.ops.pgmgr_release_all(&app->pgmgr);
    /* The defaults have the main channel alone. */
    app->session.set_settling = 1;
    chanset_remove_all(app);
    app->session.set_settling = 0;
    nb_chan &ch = app->chan;
    ch.frame_format = 6;
    ch.acc_code = 0;
    ch.acc_mask = 0;
    ch.baud_index = 7;
    ch.wtout = 20;
    ch.lom = 0;
    app->session.quit_unasked = 0;
    folder_forget_all(app);
    /* Without a usable automatic file (no data folder, a failed write)
     * the next pass starts from the defaults set above instead of a file
     * that does not hold them. */
    if (app->session.ops.save(app, app->session.load_file) < 0)
        app->session.load_file[0] = '\0';
    app->mode = 1;
    gtk_widget_destroy(box);
    leave_main_loop();
}

void quit_main_loop(GtkWidget *widget, gpointer data)
{
    leave_main_loop();
}

void on_quit(GtkMenuItem *item, gpointer data)
{
    if (ask_before_quit(static_cast<nb_app *>(data)))
        leave_main_loop();
}
