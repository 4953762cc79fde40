/*
 * about_dialog.cpp - Help > About: the product, the version of the CAN
 * adapter library in use and of the GUI toolkit the program was built
 * with, and who makes it. The text itself is not translated. The project
 * has no public web address, so no address line is shown (a made-up one
 * would send the user nowhere).
 */
#include <glib/gi18n.h>

#include "app/nb_defs.h"
#include "gui/gui_parts.h"

namespace {

const char k_author[] = "The Nimbrel developers";
const char k_maker_line[] = "The Nimbrel developers, Worldwide, 2026\n";

void fill_about_text(GtkTextBuffer *buf)
{
    GtkTextIter end;
    char line[256];

    gtk_text_buffer_get_end_iter(buf, &end);
    gtk_text_buffer_insert_with_tags_by_name(buf, &end, "\n", -1, "heading", nullptr);
    g_snprintf(line, sizeof line, "%s\n", NB_PRODUCT_TITLE);
    gtk_text_buffer_insert_with_tags_by_name(buf, &end, line, -1, "heading", nullptr);

    /* The version word holds major, minor and patch in bits 16-23, 8-15
     * and 0-7; the top byte carries nothing shown here. */
    uint32_t ver = ZkGetLibVer();
    g_snprintf(line, sizeof line, "\nusing ZELK %d.%d.%d\n", static_cast<int>((ver >> 16) & 0xFF),
               static_cast<int>((ver >> 8) & 0xFF), static_cast<int>(ver & 0xFF));
    gtk_text_buffer_insert_with_tags_by_name(buf, &end, line, -1, "normal", nullptr);

    g_snprintf(line, sizeof line, "\nUI based on GTK+ %d.%d.%d library\n\n", GTK_MAJOR_VERSION,
               GTK_MINOR_VERSION, GTK_MICRO_VERSION);
    gtk_text_buffer_insert(buf, &end, line, -1);

    g_snprintf(line, sizeof line, "\n\nAuthor: %s\n\n", k_author);
    gtk_text_buffer_insert(buf, &end, line, -1);
    gtk_text_buffer_insert(buf, &end, k_maker_line, -1);
}

}  // namespace

void about_dialog(GtkMenuItem *item, gpointer app)
{
    static GtkWidget *s_dialog;   /* the open dialog, or null */
    if (s_dialog)
        return;

    GtkWidget *dialog = gtk_dialog_new_with_buttons(
        _("About"), GTK_WINDOW(nb_mainwin),
        static_cast<GtkDialogFlags>(GTK_DIALOG_MODAL | GTK_DIALOG_DESTROY_WITH_PARENT |
                                    GTK_DIALOG_NO_SEPARATOR),
        GTK_STOCK_OK, GTK_RESPONSE_OK, nullptr);
    gtk_widget_set_name(dialog, "about-dialog");
    gtk_widget_set_size_request(dialog, 350, 250);
    s_dialog = dialog;
    g_signal_connect(dialog, "destroy", G_CALLBACK(gtk_widget_destroyed), &s_dialog);

    GtkWidget *view = gtk_text_view_new();
    gtk_widget_set_name(view, "about-text");
    GtkTextBuffer *buf = gtk_text_view_get_buffer(GTK_TEXT_VIEW(view));
    gtk_text_buffer_create_tag(buf, "heading", "weight", 700, "size", 15360, nullptr);
    gtk_text_buffer_create_tag(buf, "normal", "size", 12288, nullptr);
    fill_about_text(buf);

    run_help_text_dialog(dialog, &s_dialog, view, GTK_JUSTIFY_CENTER, 0, true);
}
