/*
 * wtout_dialog.cpp - HW settings > Write timeout: the "Set write timeout"
 * dialog, for the time in milliseconds the adapter library may wait for
 * room in its transmit queue when a frame is written.
 */
#include <glib/gi18n.h>

#include "gui/gui_parts.h"

namespace {

constexpr uint16_t k_default_wtout = 20;   /* ms */
constexpr int k_max_wtout = 1000;          /* ms, the spin button's upper end */

GtkWidget *s_dialog;                       /* the open dialog, or null */

/* The range below the entry, shown while nothing was refused. */
void show_range(GtkLabel *hint)
{
    char text[NB_TEXT_MAX];
    g_snprintf(text, sizeof text, _("From 0 to %d ms; the default is %d ms."), k_max_wtout,
               k_default_wtout);
    gtk_label_set_text(hint, text);
}

/* Whether the entry's text is a whole number of milliseconds in range;
 * when not, the reason goes into the hint. The spin button itself would
 * drop such text without a word and keep its previous value. */
bool typed_value_valid(GtkSpinButton *spin, GtkLabel *hint)
{
    const char *typed = gtk_entry_get_text(GTK_ENTRY(spin));
    gchar *copy = g_strstrip(g_strdup(typed ? typed : ""));
    char *end = nullptr;
    gint64 value = g_ascii_strtoll(copy, &end, 10);
    bool number = *copy && end && !*end;
    bool valid = number && value >= 0 && value <= k_max_wtout;
    if (!valid) {
        char text[NB_TEXT_MAX];
        if (number)
            g_snprintf(text, sizeof text,
                       _("%s ms is not taken: the write timeout is from 0 to %d ms."), copy,
                       k_max_wtout);
        else
            g_snprintf(text, sizeof text,
                       _("\"%s\" is not taken: give a whole number of ms from 0 to %d."), copy,
                       k_max_wtout);
        gtk_label_set_text(hint, text);
    }
    g_free(copy);
    return valid;
}

/* The spin button reads its text whenever it loses the focus or Enter is
 * pressed, and would put its previous value back over text out of range
 * without a word: such text is refused with the reason and left standing
 * for correcting. */
gint on_spin_input(GtkSpinButton *spin, gdouble *value, gpointer hint)
{
    bool valid = typed_value_valid(spin, GTK_LABEL(hint));
    g_object_set_data(G_OBJECT(spin), "nb-refused", GINT_TO_POINTER(valid ? 0 : 1));
    if (valid)
        *value = g_ascii_strtod(gtk_entry_get_text(GTK_ENTRY(spin)), nullptr);
    else
        *value = gtk_spin_button_get_value(spin);
    return TRUE;
}

gboolean on_spin_output(GtkSpinButton *spin, gpointer)
{
    return g_object_get_data(G_OBJECT(spin), "nb-refused") != nullptr;
}

}  // namespace

void write_timeout_dialog(GtkMenuItem *item, gpointer data)
{
    nb_app *app = static_cast<nb_app *>(data);
    nb_chan *chan = selected_chan(app);
    if (!app || s_dialog)
        return;

    GtkWidget *dialog = gtk_dialog_new_with_buttons(
        _("Set write timeout"), GTK_WINDOW(nb_mainwin),
        static_cast<GtkDialogFlags>(GTK_DIALOG_MODAL | GTK_DIALOG_DESTROY_WITH_PARENT |
                                    GTK_DIALOG_NO_SEPARATOR),
        GTK_STOCK_OK, GTK_RESPONSE_OK,
        _("Defaults ..."), GTK_RESPONSE_REJECT,
        GTK_STOCK_CANCEL, GTK_RESPONSE_CANCEL,
        nullptr);
    gtk_widget_set_name(dialog, "wtout-dialog");
    /* Sized to its content: no window manager's resize strip below it. */
    gtk_window_set_resizable(GTK_WINDOW(dialog), FALSE);
    gtk_window_set_position(GTK_WINDOW(dialog), GTK_WIN_POS_CENTER);
    s_dialog = dialog;
    g_signal_connect(dialog, "destroy", G_CALLBACK(gtk_widget_destroyed), &s_dialog);

    GtkWidget *content = gtk_dialog_get_content_area(GTK_DIALOG(dialog));
    GtkWidget *hbox = gtk_hbox_new(FALSE, 5);
    gtk_container_set_border_width(GTK_CONTAINER(hbox), 10);
    gtk_container_add(GTK_CONTAINER(content), hbox);
    gtk_box_pack_start(GTK_BOX(hbox), gtk_label_new(_("Write timeout (millisecs): ")),
                       TRUE, TRUE, 0);
    GtkObject *adj = gtk_adjustment_new(0, 0, 1000, 1, 10, 0);
    GtkWidget *spin = gtk_spin_button_new(GTK_ADJUSTMENT(adj), 1, 0);
    gtk_widget_set_name(spin, "wtout-spin");
    gtk_spin_button_set_update_policy(GTK_SPIN_BUTTON(spin), GTK_UPDATE_IF_VALID);
    gtk_spin_button_set_numeric(GTK_SPIN_BUTTON(spin), TRUE);
    gtk_box_pack_start(GTK_BOX(hbox), spin, TRUE, TRUE, 0);
    GtkWidget *hint = gtk_label_new(nullptr);
    gtk_widget_set_name(hint, "wtout-hint");
    gtk_label_set_line_wrap(GTK_LABEL(hint), TRUE);
    gtk_misc_set_alignment(GTK_MISC(hint), 0, 0.5);
    gtk_misc_set_padding(GTK_MISC(hint), 10, 0);
    show_range(GTK_LABEL(hint));
    gtk_box_pack_start(GTK_BOX(content), hint, FALSE, FALSE, 0);
    g_signal_connect(spin, "input", G_CALLBACK(on_spin_input), hint);
    g_signal_connect(spin, "output", G_CALLBACK(on_spin_output), nullptr);

    gtk_spin_button_set_value(GTK_SPIN_BUTTON(spin), chan->wtout);
    gtk_widget_show_all(dialog);
    gint response = gtk_dialog_run(GTK_DIALOG(dialog));
    while (s_dialog) {
        if (response == GTK_RESPONSE_REJECT) {
            g_object_set_data(G_OBJECT(spin), "nb-refused", nullptr);
            gtk_spin_button_set_value(GTK_SPIN_BUTTON(spin), k_default_wtout);
            show_range(GTK_LABEL(hint));
        } else if (response == GTK_RESPONSE_OK &&
                   !typed_value_valid(GTK_SPIN_BUTTON(spin), GTK_LABEL(hint))) {
            /* Refused with the reason; the text stays for correcting. */
            gtk_widget_grab_focus(spin);
        } else {
            break;
        }
        response = gtk_dialog_run(GTK_DIALOG(dialog));
    }

    if (response == GTK_RESPONSE_OK && s_dialog) {
        /* Typed text not taken yet counts (it was checked above). */
        gtk_spin_button_update(GTK_SPIN_BUTTON(spin));
        uint16_t ms = static_cast<uint16_t>(gtk_spin_button_get_value_as_int(GTK_SPIN_BUTTON(spin)));
        int32_t r = chan->ops.set_wtout(chan, ms);
        if (r < 0)
            chan_error_message(app, chan, _("can't set write timeout"), r);
    }
    if (s_dialog)
        gtk_widget_destroy(s_dialog);
    chan_changed(app, chan, 1);
}
