/*
 * bitrate_dialog.cpp - HW settings > Bit rate: the "Set bit rate" dialog.
 *
 * The user picks one of the ten entries of the bit-rate table. A
 * predefined rate only shows its two bus timing registers; "Manual set"
 * makes them editable (typed in hexadecimal or decimal). A CAN FD channel
 * also has its data-phase rate: a predefined one, or "Manual set" with the
 * rate in kbit/s and the sample point typed in (taken where the adapter
 * can set them); on a classic channel these rows are insensitive. OK
 * applies the choice to the channel. "Autobaud ..." closes this dialog and
 * opens the automatic detection instead, without applying anything.
 */
#include <glib/gi18n.h>

#include "gui/gui_parts.h"

/* The detection dialog, in autobaud_dialog.cpp; opened only from here. */
void autobaud_dialog(nb_app *app);

namespace {

/* Widgets of the open dialog; null while no dialog exists. */
struct bitrate_widgets {
    GtkWidget *dialog;
    GtkWidget *lbl_bt0;
    GtkWidget *lbl_bt1;
    GtkWidget *spin_bt0;
    GtkWidget *spin_bt1;
    GtkWidget *data_combo;        /* predefined data rates, then "Manual set" */
    GtkWidget *lbl_data_kbit;
    GtkWidget *lbl_data_sp;
    GtkWidget *spin_data_kbit;
    GtkWidget *spin_data_sp;
};

bitrate_widgets s_br;

const char k_reg_format[] = "0x%.2X";

GtkWidget *add_label(GtkWidget *table, const char *text, guint row)
{
    GtkWidget *label = gtk_label_new(text);
    gtk_misc_set_alignment(GTK_MISC(label), 0.0f, 0.0f);
    gtk_table_attach_defaults(GTK_TABLE(table), label, 0, 1, row, row + 1);
    return label;
}

GtkWidget *add_reg_spin(GtkWidget *table, guint row, uint8_t value, const char *name)
{
    GtkObject *adj = gtk_adjustment_new(value, 0, 255, 1, 10, 0);
    GtkWidget *spin = gtk_spin_button_new(GTK_ADJUSTMENT(adj), 1, 0);
    gtk_widget_set_name(spin, name);
    gtk_spin_button_set_update_policy(GTK_SPIN_BUTTON(spin), GTK_UPDATE_IF_VALID);
    gtk_spin_button_set_numeric(GTK_SPIN_BUTTON(spin), FALSE);
    gtk_entry_set_width_chars(GTK_ENTRY(spin), 6);
    g_signal_connect(spin, "output", G_CALLBACK(hex_spin_output),
                     const_cast<char *>(k_reg_format));
    g_signal_connect(spin, "input", G_CALLBACK(hex_spin_input), nullptr);
    gtk_table_attach_defaults(GTK_TABLE(table), spin, 1, 2, row, row + 1);
    /* The entry still shows the value in decimal: format it now. */
    hex_spin_output(GTK_SPIN_BUTTON(spin), const_cast<char *>(k_reg_format));
    return spin;
}

void set_regs_sensitive(gboolean on)
{
    gtk_widget_set_sensitive(s_br.lbl_bt0, on);
    gtk_widget_set_sensitive(s_br.lbl_bt1, on);
    gtk_widget_set_sensitive(s_br.spin_bt0, on);
    gtk_widget_set_sensitive(s_br.spin_bt1, on);
}

/* Show the register pair of a predefined rate; an index without a pair
 * leaves the shown values as they are. */
void show_regs(nb_app *app, int32_t index)
{
    nb_chan *chan = selected_chan(app);
    uint8_t bt0 = static_cast<uint8_t>(
        gtk_spin_button_get_value_as_int(GTK_SPIN_BUTTON(s_br.spin_bt0)));
    uint8_t bt1 = static_cast<uint8_t>(
        gtk_spin_button_get_value_as_int(GTK_SPIN_BUTTON(s_br.spin_bt1)));
    chan->ops.get_baud_regs(chan, index, &bt0, &bt1);
    gtk_spin_button_set_value(GTK_SPIN_BUTTON(s_br.spin_bt0), bt0);
    gtk_spin_button_set_value(GTK_SPIN_BUTTON(s_br.spin_bt1), bt1);
}

/* "Manual set" makes the registers editable and keeps what they show;
 * a predefined rate shows its own pair, read-only. */
void on_rate_changed(GtkComboBox *combo, gpointer data)
{
    nb_app *app = static_cast<nb_app *>(data);
    if (!s_br.dialog)
        return;
    int32_t index = gtk_combo_box_get_active(combo);
    if (index == 0) {
        set_regs_sensitive(TRUE);
        return;
    }
    show_regs(app, index);
    set_regs_sensitive(FALSE);
}

/* The data rate's manual entries are editable only with "Manual set"
 * (the last entry); a predefined rate shows its rate and the adapter's
 * default sample point. */
void on_data_rate_changed(GtkComboBox *combo, gpointer)
{
    if (!s_br.dialog)
        return;
    int i = gtk_combo_box_get_active(combo);
    gboolean manual = i >= data_rate_count();
    if (!manual && i >= 0) {
        gtk_spin_button_set_value(GTK_SPIN_BUTTON(s_br.spin_data_kbit), data_rate_kbit(i));
        gtk_spin_button_set_value(GTK_SPIN_BUTTON(s_br.spin_data_sp), 0);
    }
    gtk_widget_set_sensitive(s_br.lbl_data_kbit, manual);
    gtk_widget_set_sensitive(s_br.spin_data_kbit, manual);
    gtk_widget_set_sensitive(s_br.lbl_data_sp, manual);
    gtk_widget_set_sensitive(s_br.spin_data_sp, manual);
}

GtkWidget *add_number_spin(GtkWidget *table, guint row, double value, double lower,
                           double upper, double step, const char *name)
{
    GtkObject *adj = gtk_adjustment_new(value, lower, upper, step, step * 10, 0);
    GtkWidget *spin = gtk_spin_button_new(GTK_ADJUSTMENT(adj), 1, 0);
    gtk_widget_set_name(spin, name);
    gtk_spin_button_set_update_policy(GTK_SPIN_BUTTON(spin), GTK_UPDATE_IF_VALID);
    gtk_spin_button_set_numeric(GTK_SPIN_BUTTON(spin), TRUE);
    gtk_table_attach_defaults(GTK_TABLE(table), spin, 1, 2, row, row + 1);
    return spin;
}

/* The data-rate rows: the combo shows the channel's rate when it is a
 * predefined one with the default sample point, else "Manual set" with
 * the rate and sample point in the spin buttons. */
void add_data_rate_rows(nb_app *app, GtkWidget *table, guint row)
{
    nb_chan *chan = selected_chan(app);
    add_label(table, _("Data rate (CAN FD)"), row);
    GtkWidget *combo = gtk_combo_box_text_new();
    gtk_widget_set_name(combo, "data-rate-combo");
    int active = data_rate_count();
    for (int i = 0; i < data_rate_count(); i++) {
        char text[64];
        data_rate_text(data_rate_kbit(i), text, sizeof text);
        gtk_combo_box_text_append_text(GTK_COMBO_BOX_TEXT(combo), text);
        if (chan->data_kbit == data_rate_kbit(i) && chan->data_sp == 0)
            active = i;
    }
    gtk_combo_box_text_append_text(GTK_COMBO_BOX_TEXT(combo), chan->ops.baud_name(0));
    gtk_table_attach_defaults(GTK_TABLE(table), combo, 1, 2, row, row + 1);
    s_br.data_combo = combo;

    s_br.lbl_data_kbit = add_label(table, _("data rate (kbit/s)"), row + 1);
    s_br.spin_data_kbit =
        add_number_spin(table, row + 1, chan->data_kbit, 1, UINT16_MAX, 100, "data-kbit-spin");
    s_br.lbl_data_sp = add_label(table, _("data sample point (‰, 0 = default)"), row + 2);
    s_br.spin_data_sp = add_number_spin(table, row + 2, chan->data_sp, 0, 999, 5, "data-sp-spin");

    gtk_combo_box_set_active(GTK_COMBO_BOX(combo), active);
    on_data_rate_changed(GTK_COMBO_BOX(combo), nullptr);
    g_signal_connect(combo, "changed", G_CALLBACK(on_data_rate_changed), nullptr);
    if (!chan->fd) {
        /* A classic channel has no data phase. */
        gtk_widget_set_sensitive(combo, FALSE);
        gtk_widget_set_sensitive(s_br.lbl_data_kbit, FALSE);
        gtk_widget_set_sensitive(s_br.spin_data_kbit, FALSE);
        gtk_widget_set_sensitive(s_br.lbl_data_sp, FALSE);
        gtk_widget_set_sensitive(s_br.spin_data_sp, FALSE);
    }
}

int spin_int(GtkWidget *spin)
{
    gtk_spin_button_update(GTK_SPIN_BUTTON(spin));
    return gtk_spin_button_get_value_as_int(GTK_SPIN_BUTTON(spin));
}

uint8_t reg_value(GtkWidget *spin)
{
    /* Text typed but not yet taken (no Enter, no focus change) counts;
     * text that is no valid value falls back to the previous value. */
    gtk_spin_button_update(GTK_SPIN_BUTTON(spin));
    return static_cast<uint8_t>(gtk_spin_button_get_value_as_int(GTK_SPIN_BUTTON(spin)) & 0xFF);
}

}  // namespace

void bit_rate_dialog(GtkMenuItem *item, gpointer data)
{
    nb_app *app = static_cast<nb_app *>(data);
    nb_chan *chan = selected_chan(app);
    if (!app || s_br.dialog)
        return;

    GtkWidget *dialog = gtk_dialog_new_with_buttons(
        _("Set bit rate"), GTK_WINDOW(nb_mainwin),
        static_cast<GtkDialogFlags>(GTK_DIALOG_MODAL | GTK_DIALOG_DESTROY_WITH_PARENT |
                                    GTK_DIALOG_NO_SEPARATOR),
        GTK_STOCK_OK, GTK_RESPONSE_OK,
        _("Autobaud ..."), GTK_RESPONSE_APPLY,
        GTK_STOCK_CANCEL, GTK_RESPONSE_CANCEL,
        nullptr);
    gtk_widget_set_name(dialog, "bitrate-dialog");
    /* Sized to its content: no window manager's resize strip below it. */
    gtk_window_set_resizable(GTK_WINDOW(dialog), FALSE);
    s_br.dialog = dialog;
    /* Clears the handle should the dialog go with its parent. */
    g_signal_connect(dialog, "destroy", G_CALLBACK(gtk_widget_destroyed), &s_br.dialog);

    GtkWidget *table = gtk_table_new(6, 2, TRUE);
    gtk_container_set_border_width(GTK_CONTAINER(table), 5);
    gtk_table_set_row_spacings(GTK_TABLE(table), 7);
    /* Room between the longest label and its spin box. */
    gtk_table_set_col_spacings(GTK_TABLE(table), 12);
    gtk_box_pack_start(GTK_BOX(gtk_dialog_get_content_area(GTK_DIALOG(dialog))), table,
                       FALSE, FALSE, 10);

    add_label(table, _("Bit rate"), 0);
    GtkWidget *combo = gtk_combo_box_text_new();
    gtk_widget_set_name(combo, "bitrate-combo");
    for (int32_t i = 0; i <= 9; i++)
        gtk_combo_box_text_append_text(GTK_COMBO_BOX_TEXT(combo), chan->ops.baud_name(i));
    int32_t index = chan->baud_index;
    gtk_combo_box_set_active(GTK_COMBO_BOX(combo), (index >= 0 && index <= 9) ? index : -1);
    gtk_table_attach_defaults(GTK_TABLE(table), combo, 1, 2, 0, 1);

    uint8_t bt0 = 0;
    uint8_t bt1 = 0;
    chan->ops.get_baud_regs(chan, index, &bt0, &bt1);
    s_br.lbl_bt0 = add_label(table, _("bit timing 0 (bt0)"), 1);
    s_br.spin_bt0 = add_reg_spin(table, 1, bt0, "bt0-spin");
    s_br.lbl_bt1 = add_label(table, _("bit timing 1 (bt1)"), 2);
    s_br.spin_bt1 = add_reg_spin(table, 2, bt1, "bt1-spin");
    gtk_widget_set_name(s_br.lbl_bt0, "bt0-label");
    gtk_widget_set_name(s_br.lbl_bt1, "bt1-label");
    set_regs_sensitive(index == 0);
    add_data_rate_rows(app, table, 3);

    g_signal_connect(combo, "changed", G_CALLBACK(on_rate_changed), app);

    gtk_widget_show_all(dialog);
    gint response = gtk_dialog_run(GTK_DIALOG(dialog));

    if (response == GTK_RESPONSE_APPLY) {
        if (s_br.dialog)
            gtk_widget_destroy(s_br.dialog);
        s_br = bitrate_widgets{};
        autobaud_dialog(app);
        return;
    }

    if (response == GTK_RESPONSE_OK && s_br.dialog) {
        int32_t chosen = gtk_combo_box_get_active(GTK_COMBO_BOX(combo));
        uint8_t r0 = reg_value(s_br.spin_bt0);
        uint8_t r1 = reg_value(s_br.spin_bt1);
        uint32_t kbit = (uint32_t)spin_int(s_br.spin_data_kbit);
        uint16_t sp = (uint16_t)spin_int(s_br.spin_data_sp);
        int32_t r = chan->ops.set_baud(chan, chosen, r0, r1);
        if (r < 0)
            chan_error_message(app, chan, _("can't set bit rate"), r);
        bool changed = r >= 0;
        if (chan->fd && (kbit != chan->data_kbit || sp != chan->data_sp)) {
            int32_t d = chan->ops.set_data_rate(chan, kbit, sp);
            if (d < 0)
                chan_error_message(app, chan, _("can't set data rate"), d);
            changed = changed || d >= 0;
        }
        if (changed)
            chan_changed(app, chan, 1);
    }
    if (s_br.dialog)
        gtk_widget_destroy(s_br.dialog);
    s_br = bitrate_widgets{};
}
