/*
 * quit_dialog.cpp - the question before the program ends at the user's
 * Quit (menu, Ctrl+Q, the window's close button) while plug-ins have work
 * running that quitting stops, such as a log being written or periodic
 * sending. Each loaded plug-in is asked what would stop; when none says
 * anything, or the user chose "don't ask again" (kept in the session),
 * the program ends without a question.
 */
#include <glib/gi18n.h>

#include <string.h>

#include "app/nb_app.h"
#include "gui/gui.h"

namespace {

/* Longest answer taken from one plug-in. */
constexpr size_t k_answer_max = 256;

/* What the loaded plug-ins say would stop, one line each ("• text"). */
void collect_answers(nb_app *app, char *out, size_t size)
{
    out[0] = '\0';
    nb_pgmgr *mgr = &app->pgmgr;
    nb_plugin *entry = nullptr;
    for (nb_plugin_node *n = mgr->ops.pgmgr_next(nullptr, mgr, &entry); n;
         n = mgr->ops.pgmgr_next(n, mgr, &entry)) {
        if (!entry || !entry->loaded)
            continue;
        pgrp req;
        memset(&req, 0, sizeof req);
        req.type = PGRP_STOP_QUERY;
        req.chan = app->chan.number;
        req.timestamp = nbsdep_timestamp_get();
        mgr->ops.pgmgr_request(entry, &req);
        const char *said = static_cast<const char *>(req.result_ptr);
        if (!said || !*said)
            continue;
        char line[k_answer_max];
        size_t len = strnlen(said, sizeof line - 1);
        memcpy(line, said, len);
        line[len] = '\0';
        /* A cut in the middle of a character is cut back to its start. */
        const char *end = nullptr;
        if (!g_utf8_validate(line, -1, &end))
            line[end - line] = '\0';
        if (*out)
            g_strlcat(out, "\n", size);
        g_strlcat(out, "\u2022 ", size);
        g_strlcat(out, line, size);
    }
}

}  // namespace

bool ask_before_quit(nb_app *app)
{
    if (!app || app->session.quit_unasked)
        return true;
    char stops[NB_TEXT_MAX];
    collect_answers(app, stops, sizeof stops);
    if (!stops[0])
        return true;

    GtkWidget *box = gtk_message_dialog_new(
        nb_mainwin ? GTK_WINDOW(nb_mainwin) : nullptr,
        static_cast<GtkDialogFlags>(GTK_DIALOG_MODAL | GTK_DIALOG_DESTROY_WITH_PARENT),
        GTK_MESSAGE_QUESTION, GTK_BUTTONS_NONE, "%s", _("Quit Nimbrel?"));
    gtk_widget_set_name(box, "quit-question");
    gtk_message_dialog_format_secondary_text(GTK_MESSAGE_DIALOG(box), "%s\n%s",
                                             _("Quitting now stops:"), stops);
    gtk_dialog_add_buttons(GTK_DIALOG(box), GTK_STOCK_CANCEL, GTK_RESPONSE_CANCEL,
                           GTK_STOCK_QUIT, GTK_RESPONSE_ACCEPT, NULL);
    gtk_dialog_set_default_response(GTK_DIALOG(box), GTK_RESPONSE_CANCEL);
    GtkWidget *again = gtk_check_button_new_with_mnemonic(_("_Don't ask again"));
    gtk_widget_set_name(again, "quit-dont-ask");
    gtk_box_pack_end(GTK_BOX(gtk_dialog_get_content_area(GTK_DIALOG(box))), again, FALSE,
                     FALSE, 0);
    gtk_widget_show(again);
    gtk_window_set_position(GTK_WINDOW(box), GTK_WIN_POS_CENTER);
    /* The main window may go while the question runs; it takes the box. */
    g_signal_connect(box, "destroy", G_CALLBACK(gtk_widget_destroyed), &box);

    bool quit = gtk_dialog_run(GTK_DIALOG(box)) == GTK_RESPONSE_ACCEPT;
    bool never = box && gtk_toggle_button_get_active(GTK_TOGGLE_BUTTON(again));
    if (box)
        gtk_widget_destroy(box);
    if (quit && never) {
        app->session.quit_unasked = 1;
        if (app->session.ops.autosave)
            app->session.ops.autosave(app);
    }
    return quit;
}
