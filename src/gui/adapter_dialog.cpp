/*
 * adapter_dialog.cpp - the question asked when the session read for a
 * pass made its channel settings for another adapter than the one the
 * channel is on now (another board list, another board in the slot).
 *
 * A bit rate meant for one bus put on another makes the controller send
 * error frames as soon as it is started, so the settings are not taken
 * without the user's word: the dialog shows what differs and offers the
 * session's settings, a detection of the bit rate in listen-only mode, or
 * the defaults. Closing it without an answer takes the defaults.
 */
#include <glib/gi18n.h>
#include <string.h>

#include "app/nb_app.h"
#include "gui/gui.h"

namespace {

/* The text of one identity field: the value, or "none" for an empty one. */
const char *shown(const char *text)
{
    return text && *text ? text : _("none");
}

void add_difference(GString *out, const char *what, const char *then, const char *now)
{
    g_string_append_printf(out, _("%s: \"%s\" in the session, \"%s\" now\n"), what,
                           shown(then), shown(now));
}

bool adapter_text_equal(const char *recorded, const char *actual)
{
    /* The session reader drops white space at the start of a value. */
    while (*actual == ' ' || *actual == '\t')
        actual++;
    return strcmp(recorded, actual) == 0;
}

}  // namespace

bool session_adapter_differs(const nb_app *app)
{
    const nb_adapter_id &a = app->session.adapter;
    const nb_board_info &b = app->chan.board;
    if (!a.known)
        return false;
    return !adapter_text_equal(a.board, b.b.name) ||
           !adapter_text_equal(a.maker, b.b.manufacturer) ||
           !adapter_text_equal(a.serial, b.serial);
}

int other_adapter_dialog(nb_app *app)
{
    const nb_adapter_id &a = app->session.adapter;
    const nb_board_info &b = app->chan.board;
    GString *diff = g_string_new(nullptr);
    if (!adapter_text_equal(a.board, b.b.name))
        add_difference(diff, _("board"), a.board, b.b.name);
    if (!adapter_text_equal(a.maker, b.b.manufacturer))
        add_difference(diff, _("manufacturer"), a.maker, b.b.manufacturer);
    if (!adapter_text_equal(a.serial, b.serial))
        add_difference(diff, _("serial number"), a.serial, b.serial);
    char rate[64];
    g_snprintf(rate, sizeof rate, "%s", app->chan.ops.baud_name ?
               app->chan.ops.baud_name(app->session.main.s.baud_index) : "");
    g_strstrip(rate);
    char *asked = g_strdup_printf(
        _("%s\nThe session's bit rate is %s. The controller has not been started."), diff->str,
        rate);
    g_string_free(diff, TRUE);

    GtkWidget *ask = gtk_message_dialog_new(
        nb_mainwin ? GTK_WINDOW(nb_mainwin) : nullptr, GTK_DIALOG_MODAL, GTK_MESSAGE_WARNING,
        GTK_BUTTONS_NONE, "%s",
        _("The settings of this session were made for another adapter"));
    gtk_message_dialog_format_secondary_text(GTK_MESSAGE_DIALOG(ask), "%s", asked);
    g_free(asked);
    gtk_window_set_title(GTK_WINDOW(ask), _("Another adapter"));
    gtk_widget_set_name(ask, "adapter-question");
    gtk_window_set_position(GTK_WINDOW(ask), GTK_WIN_POS_CENTER);
    gtk_dialog_add_button(GTK_DIALOG(ask), _("Use the session's settings"), NB_ADAPTER_SETTINGS);
    gtk_dialog_add_button(GTK_DIALOG(ask), _("Detect the bit rate (listen only)"),
                          NB_ADAPTER_DETECT);
    gtk_dialog_add_button(GTK_DIALOG(ask), _("Use the defaults"), NB_ADAPTER_DEFAULTS);
    gtk_dialog_set_default_response(GTK_DIALOG(ask), NB_ADAPTER_DETECT);
    gint answer = gtk_dialog_run(GTK_DIALOG(ask));
    gtk_widget_destroy(ask);
    if (answer != NB_ADAPTER_SETTINGS && answer != NB_ADAPTER_DETECT)
        answer = NB_ADAPTER_DEFAULTS;
    return answer;
}
