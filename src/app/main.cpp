/*
 * main.cpp - program entry: locale, GTK, the application object, the
 * adapter library, the text domain, the optional session file and then
 * the run loop.
 *
 * Usage: nimbrel [SESSION-FILE]   (further arguments are ignored)
 * Exit codes: 0 normal end, cancelled chooser, unreadable session file;
 *             1 library initialisation failed, no channel, channel
 *               cannot be opened.
 */
#include <glib/gi18n.h>
#include <locale.h>
#include <stdlib.h>

#include "app/nb_app.h"
#include "app/platform.h"

namespace {

void free_txlog(void)
{
    txlog_free(the_app.chan.txlog);
    the_app.chan.txlog = nullptr;
}

/* The argument in UTF-8: from the locale's encoding, else from the file
 * name encoding (a UTF-8 name under a C locale). Null when neither. */
gchar *argument_to_utf8(const char *arg)
{
    gchar *utf8 = g_locale_to_utf8(arg, -1, nullptr, nullptr, nullptr);
    if (!utf8)
        utf8 = g_filename_to_utf8(arg, -1, nullptr, nullptr, nullptr);
    return utf8;
}

}  // namespace

int main(int argc, char **argv)
{
    setlocale(LC_ALL, "");
    gtk_init(nullptr, nullptr);
    app_init();
    nb_app *app = &the_app;

    if (ZkInit() < 0) {
        nb_error("ZELK library initialization failed\n");
        free_txlog();
        exit(1);
    }
    atexit(close_at_exit);

    g_snprintf(app->locale_dir, sizeof app->locale_dir, "%s/share/locale", app->install_dir);
    bindtextdomain(NB_DOMAIN, app->locale_dir);
    bind_textdomain_codeset(NB_DOMAIN, "UTF-8");
    textdomain(NB_DOMAIN);

    if (argc > 1 && argv[1]) {
        gchar *path = argument_to_utf8(argv[1]);
        if (!path || !*path) {
            g_free(path);
            /* Treated like a session file that cannot be read. */
            nb_message_error("Can not load session from file");
            exit(0);
        }
        g_strlcpy(app->session.load_file, path, sizeof app->session.load_file);
        g_free(path);
        app->mode = 1;
    }

    nbsdep_raise_priority();
    app->ops.run(app);
    free_txlog();
    return 0;
}
