/*
 * main.cpp - program entry: locale, GTK (with the display's guard), the
 * application object, the adapter library, the text domain, the optional
 * session file and then the run loop.
 *
 * Usage: nimbrel [--help | --version | [--] SESSION-FILE]
 *   -h, --help     print the usage and exit
 *   -V, --version  print the versions and exit
 *   --             ends the options: what follows is the session file,
 *                  even when its name starts with '-'
 * Any other first argument is the session file; further arguments are
 * ignored.
 * Exit codes: 0 normal end, --help, --version, cancelled chooser,
 *               unreadable session file;
 *             1 library initialisation failed, no channel, channel
 *               cannot be opened.
 */
#include <glib/gi18n.h>
#include <locale.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

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

/* What the command line asks for. */
enum class cmdline { run, help, version };

/* Sorts the first argument: an option, or the session file (returned
 * through *session, null when there is none). "--" ends the options. */
cmdline parse_command_line(int argc, char **argv, const char **session)
{
    *session = nullptr;
    if (argc < 2 || !argv[1])
        return cmdline::run;
    const char *arg = argv[1];
    if (strcmp(arg, "-h") == 0 || strcmp(arg, "--help") == 0)
        return cmdline::help;
    if (strcmp(arg, "-V") == 0 || strcmp(arg, "--version") == 0)
        return cmdline::version;
    if (strcmp(arg, "--") == 0)
        arg = argc > 2 ? argv[2] : nullptr;
    *session = arg;
    return cmdline::run;
}

void print_help(void)
{
    /* TRANSLATORS: the usage printed by "nimbrel --help"; keep the option
     * names, the environment variables and the paths as they are. */
    printf(_("Usage: nimbrel [OPTION] [--] [SESSION-FILE]\n"
             "Desktop host for CAN-bus analysis plug-ins.\n"
             "\n"
             "Without a session file Nimbrel asks for a channel; with one it opens\n"
             "the channel and the plug-ins the file names.\n"
             "\n"
             "  -h, --help     show this help and exit\n"
             "  -V, --version  show the versions and exit\n"
             "  --             end of options: the next argument is the session file,\n"
             "                 even when its name starts with '-'\n"
             "\n"
             "Adapters: the board list in ZELK_BOARDS, else in\n"
             "$XDG_CONFIG_HOME/zelk/boards; without either, a simulated board and\n"
             "the machine's CAN network interfaces.\n"
             "See nimbrel(1), zelk-boards(5) and the Nimbrel User Guide.\n"));
}

void print_version(void)
{
    uint32_t zk = ZkGetLibVer();
    printf("nimbrel %s\n", NB_VERSION);
    printf("ZELK %u.%u.%u, GTK+ %d.%d.%d\n", (zk >> 16) & 0xffu, (zk >> 8) & 0xffu, zk & 0xffu,
           GTK_MAJOR_VERSION, GTK_MINOR_VERSION, GTK_MICRO_VERSION);
}

/* Binds the program's text domain to the catalogues of the installation. */
void bind_text_domain(nb_app *app)
{
    char data_dir[NB_TEXT_MAX];
    if (nbsdep_data_dir(app->install_dir, data_dir, sizeof data_dir) == 0)
        g_snprintf(app->locale_dir, sizeof app->locale_dir, "%s/locale", data_dir);
    else
        g_snprintf(app->locale_dir, sizeof app->locale_dir, "%s/share/locale", app->install_dir);
    bindtextdomain(NB_DOMAIN, app->locale_dir);
    bind_textdomain_codeset(NB_DOMAIN, "UTF-8");
    textdomain(NB_DOMAIN);
}

}  // namespace

int main(int argc, char **argv)
{
    setlocale(LC_ALL, "");
    const char *session = nullptr;
    cmdline what = parse_command_line(argc, argv, &session);
    if (what != cmdline::run) {
        /* Answered without a display and without opening anything. */
        nbsdep_install_dir(the_app.install_dir, sizeof the_app.install_dir);
        bind_text_domain(&the_app);
        if (what == cmdline::help)
            print_help();
        else
            print_version();
        return 0;
    }

    gtk_init(nullptr, nullptr);
    /* Before any window: GTK looks for the window under the pointer
     * whenever a tooltip changes, and another client's window closing
     * meanwhile must not end the program. */
    nbsdep_trap_pointer_walk();
    app_init();
    nb_app *app = &the_app;

    if (int16_t r = ZkInit(); r < 0) {
        /* The library's reason (a fault in the board list names the
         * entry and the option) goes below the fixed text, in English
         * like the library's own texts: no catalogue is bound yet. */
        char reason[512] = "";
        ZkStrError(r, reason, sizeof reason);
        char text[NB_TEXT_MAX];
        g_snprintf(text, sizeof text, "ZELK library initialization failed\n%s", reason);
        nb_error(text);
        free_txlog();
        return NB_EXIT_FAIL;
    }
    atexit(close_at_exit);

    bind_text_domain(app);

    if (session) {
        gchar *path = argument_to_utf8(session);
        if (path && !*path) {
            g_free(path);
            nb_message_error("Can not load session from file: the name is empty");
            return NB_EXIT_OK;
        }
        if (!path) {
            /* Treated like a session file that cannot be read. */
            nb_message_error("Can not load session from file: its name is not valid text "
                             "in the system's encoding");
            return NB_EXIT_OK;
        }
        g_strlcpy(app->session.load_file, path, sizeof app->session.load_file);
        g_free(path);
        app->mode = 1;
    }

    nbsdep_raise_priority();
    /* Every fatal end of a pass comes back here; its message is shown
     * last, and returning runs close_at_exit. */
    int code = app->ops.run(app);
    if (app->end_text[0])
        nb_error(app->end_text);
    free_txlog();
    return code;
}
