/*
 * user_guide.cpp - Help > User Guide (F1): opens the installed HTML guide
 * with the desktop's browser.
 *
 * The desktop's handler for the file is asked first (GIO, through
 * gtk_show_uri); when there is none, xdg-open is tried. Where neither
 * opens it, or the guide is not installed, a message names the file, so
 * the user can open it by hand.
 */
#include <glib/gi18n.h>
#include <sys/wait.h>

#include "app/nb_app.h"
#include "app/platform.h"
#include "gui/gui_parts.h"

namespace {

/* The guide's index page of this installation, in the file name
 * encoding; false when the data folder is unknown. */
bool guide_path(const nb_app *app, char *buf, size_t size)
{
    char data_dir[NB_TEXT_MAX];
    if (nbsdep_data_dir(app->install_dir, data_dir, sizeof data_dir) != 0)
        return false;
    int n = g_snprintf(buf, size, "%s/doc/nimbrel/guide/index.html", data_dir);
    return n > 0 && (size_t)n < size;
}

void cannot_open(const char *path)
{
    nb_message_error(_("The Nimbrel User Guide could not be opened with a web browser.\n"
                       "Open this file with one: %s"),
                     path);
}

/* xdg-open ended: a failure is reported only now, since it is only now
 * known. data is the guide's path (owned). */
void on_xdg_open_done(GPid pid, gint status, gpointer data)
{
    gchar *path = static_cast<gchar *>(data);
    g_spawn_close_pid(pid);
    if (!WIFEXITED(status) || WEXITSTATUS(status) != 0)
        cannot_open(path);
    g_free(path);
}

}  // namespace

void user_guide(GtkMenuItem *item, gpointer data)
{
    nb_app *app = static_cast<nb_app *>(data);
    char path[NB_TEXT_MAX] = "doc/nimbrel/guide/index.html";
    if (!guide_path(app, path, sizeof path) || !g_file_test(path, G_FILE_TEST_IS_REGULAR)) {
        nb_message_error(_("The Nimbrel User Guide is not installed: %s"), path);
        return;
    }
    gchar *uri = g_filename_to_uri(path, nullptr, nullptr);
    if (!uri) {
        cannot_open(path);
        return;
    }
    GdkScreen *screen = nb_mainwin ? gtk_widget_get_screen(nb_mainwin) : gdk_screen_get_default();
    GError *err = nullptr;
    if (gtk_show_uri(screen, uri, GDK_CURRENT_TIME, &err)) {
        g_free(uri);
        return;
    }
    g_clear_error(&err);

    gchar *argv[] = {const_cast<gchar *>("xdg-open"), uri, nullptr};
    GPid pid = 0;
    if (g_spawn_async(nullptr, argv, nullptr,
                      static_cast<GSpawnFlags>(G_SPAWN_SEARCH_PATH | G_SPAWN_DO_NOT_REAP_CHILD),
                      nullptr, nullptr, &pid, &err)) {
        g_child_watch_add(pid, on_xdg_open_done, g_strdup(path));
    } else {
        g_clear_error(&err);
        cannot_open(path);
    }
    g_free(uri);
}
