/*
 * quickstart_dialog.cpp - Help > Quick Start: three steps to get going,
 * shown as read-only text.
 */
#include <glib/gi18n.h>

#include "gui/gui_parts.h"

void quick_start_dialog(GtkMenuItem *item, gpointer app)
{
    static GtkWidget *s_dialog;   /* the open dialog, or null */
    if (s_dialog)
        return;

    GtkWidget *dialog = gtk_dialog_new_with_buttons(
        _("Quick Start"), GTK_WINDOW(nb_mainwin),
        static_cast<GtkDialogFlags>(GTK_DIALOG_MODAL | GTK_DIALOG_DESTROY_WITH_PARENT |
                                    GTK_DIALOG_NO_SEPARATOR),
        GTK_STOCK_OK, GTK_RESPONSE_OK, nullptr);
    gtk_widget_set_name(dialog, "quickstart-dialog");
    gtk_widget_set_size_request(dialog, 370, 270);
    s_dialog = dialog;
    g_signal_connect(dialog, "destroy", G_CALLBACK(gtk_widget_destroyed), &s_dialog);

    GtkWidget *view = gtk_text_view_new();
    gtk_widget_set_name(view, "quickstart-text");
    GtkTextBuffer *buf = gtk_text_view_get_buffer(GTK_TEXT_VIEW(view));
    gtk_text_buffer_create_tag(buf, "wide_margins", "left_margin", 10, "right_margin", 10,
                               nullptr);
    GtkTextIter iter;
    gtk_text_buffer_get_iter_at_offset(buf, &iter, 0);
    gtk_text_buffer_insert_with_tags_by_name(
        buf, &iter,
        _("1)   Select \"Plugins->Configure\" menu to start \"Available plugins\" dialog. "
          "Load selected plugin by pressing \"Load\" button\n\n"
          "2)   Select \"HW Settings->Bit rate\" menu to set network baud rate \n\n"
          "3)   Start CAN controller by pressing \"Start\" button in \"CAN channel controls\" "
          "group\n\n\n"
          "For more information see the \"Nimbrel User Guide\".\n"),
        -1, "wide_margins", nullptr);

    run_help_text_dialog(dialog, &s_dialog, view, GTK_JUSTIFY_LEFT, 5, false);
}
