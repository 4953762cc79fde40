/*
 * help_text.cpp - the text view, scrolling and modal run that the About
 * and Quick Start dialogs share.
 */
#include "gui/gui_parts.h"

namespace {

void grow_to_text(GtkAdjustment *adj, gpointer dialog)
{
    int missing = (int)(gtk_adjustment_get_upper(adj) - gtk_adjustment_get_page_size(adj) + 0.5);
    if (missing <= 0 || gtk_adjustment_get_page_size(adj) <= 0)
        return;
    gint w = 0, h = 0;
    gtk_window_get_size(GTK_WINDOW(dialog), &w, &h);
    /* Never taller than most of the screen; beyond that it scrolls. */
    int limit = gdk_screen_get_height(gtk_window_get_screen(GTK_WINDOW(dialog))) * 4 / 5;
    if (h + missing > limit)
        missing = limit - h;
    if (missing > 0)
        gtk_window_resize(GTK_WINDOW(dialog), w, h + missing);
}

}  // namespace

void run_help_text_dialog(GtkWidget *dialog, GtkWidget **slot, GtkWidget *view,
                          GtkJustification justification, int border, bool fit_text)
{
    GtkTextBuffer *buf = gtk_text_view_get_buffer(GTK_TEXT_VIEW(view));
    GtkTextIter start;
    gtk_text_buffer_get_start_iter(buf, &start);
    gtk_text_buffer_place_cursor(buf, &start);
    gtk_text_view_scroll_to_mark(GTK_TEXT_VIEW(view), gtk_text_buffer_get_insert(buf), 0.0,
                                 FALSE, 0.0, 0.0);
    gtk_text_view_set_editable(GTK_TEXT_VIEW(view), FALSE);
    gtk_text_view_set_cursor_visible(GTK_TEXT_VIEW(view), FALSE);
    gtk_text_view_set_wrap_mode(GTK_TEXT_VIEW(view), GTK_WRAP_WORD);
    gtk_text_view_set_justification(GTK_TEXT_VIEW(view), justification);

    GtkWidget *scrolled = gtk_scrolled_window_new(nullptr, nullptr);
    gtk_scrolled_window_set_policy(GTK_SCROLLED_WINDOW(scrolled), GTK_POLICY_AUTOMATIC,
                                   GTK_POLICY_AUTOMATIC);
    if (border > 0)
        gtk_container_set_border_width(GTK_CONTAINER(scrolled), border);
    gtk_container_add(GTK_CONTAINER(scrolled), view);
    /* The text's height is known only once it is laid out at the dialog's
     * width: the dialog then grows by what does not show. */
    if (fit_text)
        g_signal_connect(gtk_scrolled_window_get_vadjustment(GTK_SCROLLED_WINDOW(scrolled)),
                         "changed", G_CALLBACK(grow_to_text), dialog);
    gtk_box_pack_start(GTK_BOX(gtk_dialog_get_content_area(GTK_DIALOG(dialog))), scrolled,
                       TRUE, TRUE, 0);
    gtk_widget_show_all(dialog);
    gtk_dialog_run(GTK_DIALOG(dialog));
    if (*slot)
        gtk_widget_destroy(*slot);
}
