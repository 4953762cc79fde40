/*
 * autobaud_dialog.cpp - the "Autobaud" dialog, opened from "Set bit rate".
 *
 * "Try ..." runs the channel's automatic bit-rate detection with the wait
 * time per rate and the method the user chose. The poller is stopped for
 * the run so that no other reader takes frames from the channel. The
 * detection blocks the main loop; its progress and tick callbacks each
 * handle one pending event so the status text and the spinner stay drawn.
 * On a CAN FD channel the detection also finds the data rate from frames
 * sent with BRS. The search starts in listen-only mode ("No distorb"),
 * which never disturbs a running bus.
 * The dialog never sets the bit rate itself: a successful detection has
 * applied the rate found, a failed one has restored the previous rate.
 */
#include <glib/gi18n.h>
#include <string.h>

#include "app/nb_app.h"
#include "gui/gui_parts.h"

void autobaud_dialog(nb_app *app);

namespace {

struct autobaud_widgets {
    GtkWidget *dialog;
    GtkWidget *status;
    bool searching;
    gint queued_response;         /* a close asked for while searching */
};

autobaud_widgets s_ab;

/* Handle at most one pending event, without waiting for one. */
void pump_one_event()
{
    if (gtk_events_pending())
        gtk_main_iteration_do(FALSE);
}

void set_status(const char *text)
{
    if (s_ab.status)
        gtk_label_set_text(GTK_LABEL(s_ab.status), text);
}

/* "Checking" and the rate being tried: a bit-rate index, or a data rate
 * of a CAN FD channel. */
void checking_text(nb_app *app, int32_t index, char *text, size_t size)
{
    nb_chan *chan = selected_chan(app);
    if (index >= NB_AUTOBAUD_DATA_STEP) {
        char rate[64];
        data_rate_text(data_rate_kbit(index - NB_AUTOBAUD_DATA_STEP), rate, sizeof rate);
        g_snprintf(text, size, "%s   %s %s   ", _("Checking"), _("data rate"), rate);
    } else {
        g_snprintf(text, size, "%s   %s   ", _("Checking"), chan->ops.baud_name(index));
    }
}

void on_progress(void *data, int32_t index)
{
    nb_app *app = static_cast<nb_app *>(data);
    char text[256];
    checking_text(app, index, text, sizeof text);
    set_status(text);
    pump_one_event();
}

void on_tick(void *, int32_t)
{
    pump_one_event();
}

/* While a detection runs nobody waits for the dialog's answer: keep a
 * close (button or window frame) to carry it out once the search ends. */
void on_response(GtkDialog *, gint response, gpointer)
{
    if (s_ab.searching && response != GTK_RESPONSE_APPLY)
        s_ab.queued_response = response;
}

GtkWidget *add_label(GtkWidget *table, const char *text, guint row)
{
    GtkWidget *label = gtk_label_new(text);
    gtk_misc_set_alignment(GTK_MISC(label), 0.0f, 0.0f);
    gtk_table_attach_defaults(GTK_TABLE(table), label, 0, 1, row, row + 1);
    return label;
}

void set_buttons_sensitive(gboolean on)
{
    gtk_dialog_set_response_sensitive(GTK_DIALOG(s_ab.dialog), GTK_RESPONSE_APPLY, on);
    gtk_dialog_set_response_sensitive(GTK_DIALOG(s_ab.dialog), GTK_RESPONSE_OK, on);
}

int text_width(GtkWidget *label, const char *text)
{
    PangoLayout *layout = gtk_widget_create_pango_layout(label, text);
    int w = 0, h = 0;
    pango_layout_get_pixel_size(layout, &w, &h);
    g_object_unref(layout);
    return w;
}

/* Width of the widest text the status label can show, in pixels. */
int widest_status(nb_app *app, GtkWidget *label)
{
    nb_chan *chan = selected_chan(app);
    int widest = text_width(label, _("No baud autodetected.   "));
    char text[256];
    for (int32_t i = 0; i <= 9; i++) {
        checking_text(app, i, text, sizeof text);
        widest = MAX(widest, text_width(label, text));
        g_snprintf(text, sizeof text, "%s %s   ", chan->ops.baud_name(i),
                   _("baud autodetected!"));
        widest = MAX(widest, text_width(label, text));
    }
    for (int i = 0; chan->fd && i < data_rate_count(); i++) {
        checking_text(app, NB_AUTOBAUD_DATA_STEP + i, text, sizeof text);
        widest = MAX(widest, text_width(label, text));
        char rate[64];
        data_rate_text(data_rate_kbit(i), rate, sizeof rate);
        g_snprintf(text, sizeof text, _("data rate %s autodetected!"), rate);
        widest = MAX(widest, text_width(label, text));
    }
    if (chan->fd)
        widest = MAX(widest, text_width(label, _("No data rate autodetected (no frame with BRS).")));
    return widest;
}

/* One detection run; leaves the result in the status label. */
void try_detection(nb_app *app, GtkWidget *timeout_spin, GtkWidget *method_combo,
                   GtkWidget *spinner)
{
    nb_chan *chan = selected_chan(app);
    gtk_spin_button_update(GTK_SPIN_BUTTON(timeout_spin));
    int32_t timeout_ms = gtk_spin_button_get_value_as_int(GTK_SPIN_BUTTON(timeout_spin));
    int32_t method = gtk_combo_box_get_active(GTK_COMBO_BOX(method_combo));
    if (method < 0)
        method = 0;

    set_buttons_sensitive(FALSE);
    /* The spinner is shown only while a search runs. */
    gtk_widget_show(spinner);
    gtk_spinner_start(GTK_SPINNER(spinner));
    s_ab.searching = true;
    s_ab.queued_response = GTK_RESPONSE_NONE;

    app->poll.ops.stop(app);
    int32_t found = chan->ops.autobaud(chan, method, timeout_ms, on_progress, app,
                                           on_tick, nullptr);
    app->poll.ops.start(app);

    s_ab.searching = false;
    if (!s_ab.dialog)
        return;
    gtk_spinner_stop(GTK_SPINNER(spinner));
    gtk_widget_hide(spinner);
    set_buttons_sensitive(TRUE);
    pump_one_event();

    char text[256];
    if (found >= 0 && chan->fd) {
        /* The data rate on a line of its own, or why it is not known. */
        char rate[64];
        data_rate_text(chan->found_data_kbit, rate, sizeof rate);
        g_snprintf(text, sizeof text, "%s %s   \n", chan->ops.baud_name(found),
                   _("baud autodetected!"));
        size_t used = strlen(text);
        if (chan->found_data_kbit)
            g_snprintf(text + used, sizeof text - used, _("data rate %s autodetected!"), rate);
        else
            g_snprintf(text + used, sizeof text - used, "%s",
                       _("No data rate autodetected (no frame with BRS)."));
    } else if (found >= 0) {
        g_snprintf(text, sizeof text, "%s %s   ", chan->ops.baud_name(found),
                   _("baud autodetected!"));
    } else {
        g_snprintf(text, sizeof text, "%s", _("No baud autodetected.   "));
    }
    set_status(text);
}

}  // namespace

void autobaud_dialog(nb_app *app)
{
    if (!app || s_ab.dialog)
        return;
    nb_chan *chan = selected_chan(app);

    GtkWidget *dialog = gtk_dialog_new_with_buttons(
        _("Autobaud"), GTK_WINDOW(nb_mainwin),
        static_cast<GtkDialogFlags>(GTK_DIALOG_MODAL | GTK_DIALOG_DESTROY_WITH_PARENT |
                                    GTK_DIALOG_NO_SEPARATOR),
        _("Try ..."), GTK_RESPONSE_APPLY,
        GTK_STOCK_CLOSE, GTK_RESPONSE_OK,
        nullptr);
    gtk_widget_set_name(dialog, "autobaud-dialog");
    /* Sized to its content: no window manager's resize strip below it. */
    gtk_window_set_resizable(GTK_WINDOW(dialog), FALSE);
    gtk_window_set_position(GTK_WINDOW(dialog), GTK_WIN_POS_CENTER);
    s_ab = autobaud_widgets{};
    s_ab.dialog = dialog;
    s_ab.queued_response = GTK_RESPONSE_NONE;
    g_signal_connect(dialog, "destroy", G_CALLBACK(gtk_widget_destroyed), &s_ab.dialog);
    g_signal_connect(dialog, "response", G_CALLBACK(on_response), nullptr);

    /* Not homogeneous, and the status label as wide as its widest text
     * from the start: the dialog keeps its width whatever a search says. */
    GtkWidget *table = gtk_table_new(3, 2, FALSE);
    gtk_container_set_border_width(GTK_CONTAINER(table), 5);
    gtk_table_set_row_spacings(GTK_TABLE(table), 7);
    gtk_table_set_col_spacings(GTK_TABLE(table), 0);
    gtk_box_pack_start(GTK_BOX(gtk_dialog_get_content_area(GTK_DIALOG(dialog))), table,
                       FALSE, FALSE, 10);

    add_label(table, _("Wait timeout (millisecs): "), 0);
    GtkObject *adj = gtk_adjustment_new(1000, 500, 3000, 100, 500, 0);
    GtkWidget *timeout_spin = gtk_spin_button_new(GTK_ADJUSTMENT(adj), 1, 0);
    gtk_widget_set_name(timeout_spin, "autobaud-timeout");
    gtk_spin_button_set_update_policy(GTK_SPIN_BUTTON(timeout_spin), GTK_UPDATE_IF_VALID);
    gtk_spin_button_set_numeric(GTK_SPIN_BUTTON(timeout_spin), TRUE);
    gtk_table_attach_defaults(GTK_TABLE(table), timeout_spin, 1, 2, 0, 1);

    add_label(table, _("Method: "), 1);
    GtkWidget *method_combo = gtk_combo_box_text_new();
    gtk_widget_set_name(method_combo, "autobaud-method");
    gtk_combo_box_text_append_text(GTK_COMBO_BOX_TEXT(method_combo), _("No distorb (LOM)"));
    gtk_combo_box_text_append_text(GTK_COMBO_BOX_TEXT(method_combo), _("Distorb"));
    /* Listen-only first: the search must not disturb a running bus. */
    gtk_combo_box_set_active(GTK_COMBO_BOX(method_combo), 0);
    gtk_table_attach_defaults(GTK_TABLE(table), method_combo, 1, 2, 1, 2);

    s_ab.status = add_label(table, "                       ", 2);
    gtk_widget_set_name(s_ab.status, "autobaud-status");
    g_signal_connect(s_ab.status, "destroy", G_CALLBACK(gtk_widget_destroyed), &s_ab.status);
    gtk_widget_set_size_request(s_ab.status, widest_status(app, s_ab.status), -1);
    GtkWidget *spinner = gtk_spinner_new();
    gtk_widget_set_name(spinner, "autobaud-spinner");
    gtk_widget_set_no_show_all(spinner, TRUE);
    gtk_table_attach_defaults(GTK_TABLE(table), spinner, 1, 2, 2, 3);

    gtk_widget_show_all(dialog);
    gint response = gtk_dialog_run(GTK_DIALOG(dialog));
    while (response == GTK_RESPONSE_APPLY && s_ab.dialog) {
        try_detection(app, timeout_spin, method_combo, spinner);
        if (!s_ab.dialog)
            break;
        if (s_ab.queued_response != GTK_RESPONSE_NONE)
            response = s_ab.queued_response;
        else
            response = gtk_dialog_run(GTK_DIALOG(dialog));
    }

    if (s_ab.dialog)
        gtk_widget_destroy(s_ab.dialog);
    s_ab = autobaud_widgets{};
    chan_changed(app, chan, 1);
}

/* The dialog always offers listen-only mode first. */
void autobaud_dialog_listen_only(nb_app *app)
{
    autobaud_dialog(app);
}
