/*
 * pgparts.cpp - GTK parts the shipped plug-ins' pages share.
 */
#include "pgparts.h"

namespace pgparts {

GtkWidget *named(GtkWidget *w, const char *name)
{
    gtk_widget_set_name(w, name);
    return w;
}

GtkWidget *left_label(const char *text)
{
    GtkWidget *l = gtk_label_new(text);
    gtk_misc_set_alignment(GTK_MISC(l), 0.0f, 0.5f);
    return l;
}

GtkWidget *button(GtkWidget *box, const char *label, const char *name, GCallback cb, gpointer data)
{
    GtkWidget *b = named(gtk_button_new_with_mnemonic(label), name);
    g_signal_connect(b, "clicked", cb, data);
    if (box)
        gtk_box_pack_start(GTK_BOX(box), b, FALSE, FALSE, 0);
    return b;
}

GtkWidget *button(const char *label, const char *name, GCallback cb)
{
    return button(nullptr, label, name, cb, nullptr);
}

bool shown(GtkWidget *w)
{
    if (!w || !gtk_widget_get_mapped(w))
        return false;
    GdkWindow *top = gtk_widget_get_window(gtk_widget_get_toplevel(w));
    return !top ||
           !(gdk_window_get_state(top) & (GDK_WINDOW_STATE_ICONIFIED | GDK_WINDOW_STATE_WITHDRAWN));
}

GtkWidget *scrolled(GtkWidget *child, GtkPolicyType vpolicy)
{
    GtkWidget *sw = gtk_scrolled_window_new(nullptr, nullptr);
    gtk_scrolled_window_set_policy(GTK_SCROLLED_WINDOW(sw), GTK_POLICY_AUTOMATIC, vpolicy);
    gtk_scrolled_window_set_shadow_type(GTK_SCROLLED_WINDOW(sw), GTK_SHADOW_IN);
    gtk_container_add(GTK_CONTAINER(sw), child);
    return sw;
}

GtkWidget *log_banner(const char *name, GtkWidget **box)
{
    GtkWidget *bar = gtk_event_box_new();
    if (name)
        gtk_widget_set_name(bar, name);
    GdkColor bg;
    gdk_color_parse(PGPARTS_LOG_BANNER_BG, &bg);
    gtk_widget_modify_bg(bar, GTK_STATE_NORMAL, &bg);
    *box = gtk_hbox_new(FALSE, 6);
    gtk_container_set_border_width(GTK_CONTAINER(*box), 4);
    gtk_container_add(GTK_CONTAINER(bar), *box);
    return bar;
}

}  // namespace pgparts
