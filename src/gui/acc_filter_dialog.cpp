/*
 * acc_filter_dialog.cpp - HW settings > Acceptance filter: the "Set
 * acceptance filter" dialog.
 *
 * The channel's acceptance code and mask are shown twice and kept in
 * step: as two hexadecimal spin buttons, and as a grid with one column per
 * identifier bit (bit 28 leftmost, bit 0 rightmost) holding a mask check
 * button, a code check button and a result label. A result shows the
 * value the identifier bit must have (" 1" or " 0") where the mask bit is
 * set and " X" (not compared) where it is clear.
 *
 * A channel that receives 11-bit frames (its format holds flag 2) is
 * edited over 11 bits, any other over 29 bits; the columns above the width
 * are insensitive and their bits are always 0.
 */
#include <glib/gi18n.h>

#include "gui/gui_parts.h"

namespace {

constexpr int k_max_bits = 29;
constexpr uint8_t k_format_std = 2;      /* frame format flag: 11-bit frames */
const char k_value_format[] = "0x%.8X";

struct filter_widgets {
    GtkWidget *dialog;
    GtkWidget *mask_btn[k_max_bits];
    GtkWidget *code_btn[k_max_bits];
    GtkWidget *result[k_max_bits];
    GtkWidget *mask_spin;
    GtkWidget *code_spin;
    int bits;                     /* 11 or 29 */
    bool updating;                /* one view is being set from the other */
};

filter_widgets s_af;

uint32_t spin_u32(GtkWidget *spin)
{
    return static_cast<uint32_t>(gtk_spin_button_get_value_as_int(GTK_SPIN_BUTTON(spin)));
}

/* Set the check buttons and result labels from the two spin values. The
 * "clicked" signals this raises are not turned back into spin values. */
void grid_from_values(nb_app *app)
{
    if (s_af.updating || !s_af.dialog)
        return;
    s_af.updating = true;
    uint32_t code = spin_u32(s_af.code_spin);
    uint32_t mask = spin_u32(s_af.mask_spin);
    for (int i = 0; i < s_af.bits; i++) {
        uint32_t bit = 1u << i;
        bool code_set = (code & bit) != 0;
        bool mask_set = (mask & bit) != 0;
        gtk_toggle_button_set_active(GTK_TOGGLE_BUTTON(s_af.code_btn[i]), code_set);
        gtk_toggle_button_set_active(GTK_TOGGLE_BUTTON(s_af.mask_btn[i]), mask_set);
        gtk_label_set_text(GTK_LABEL(s_af.result[i]), !mask_set ? " X" : code_set ? " 1" : " 0");
    }
    s_af.updating = false;
}

void on_value_changed(GtkSpinButton *, gpointer app)
{
    grid_from_values(static_cast<nb_app *>(app));
}

/* Recompute both spin values from the check buttons. The spin buttons'
 * "value-changed" this raises does not redraw the grid again. */
void values_from_grid(GtkWidget *button, gpointer app)
{
    if (s_af.updating || !s_af.dialog)
        return;
    s_af.updating = true;
    uint32_t code = 0;
    uint32_t mask = 0;
    for (int i = 0; i < s_af.bits; i++) {
        uint32_t bit = 1u << i;
        bool code_set = gtk_toggle_button_get_active(GTK_TOGGLE_BUTTON(s_af.code_btn[i]));
        bool mask_set = gtk_toggle_button_get_active(GTK_TOGGLE_BUTTON(s_af.mask_btn[i]));
        if (code_set)
            code |= bit;
        if (mask_set)
            mask |= bit;
        gtk_label_set_text(GTK_LABEL(s_af.result[i]), !mask_set ? " X" : code_set ? " 1" : " 0");
    }
    gtk_spin_button_set_value(GTK_SPIN_BUTTON(s_af.code_spin), code);
    gtk_spin_button_set_value(GTK_SPIN_BUTTON(s_af.mask_spin), mask);
    s_af.updating = false;
}

GtkWidget *caption(const char *text, gfloat yalign)
{
    GtkWidget *label = gtk_label_new(text);
    gtk_misc_set_alignment(GTK_MISC(label), 0.0f, yalign);
    return label;
}

GtkWidget *value_spin(double upper, const char *name, nb_app *app)
{
    GtkObject *adj = gtk_adjustment_new(0, 0, upper, 1, 100, 0);
    GtkWidget *spin = gtk_spin_button_new(GTK_ADJUSTMENT(adj), 1, 0);
    gtk_widget_set_name(spin, name);
    gtk_spin_button_set_update_policy(GTK_SPIN_BUTTON(spin), GTK_UPDATE_IF_VALID);
    gtk_spin_button_set_numeric(GTK_SPIN_BUTTON(spin), FALSE);
    gtk_entry_set_width_chars(GTK_ENTRY(spin), 12);
    g_signal_connect(spin, "output", G_CALLBACK(hex_spin_output),
                     const_cast<char *>(k_value_format));
    g_signal_connect(spin, "input", G_CALLBACK(hex_spin_input), nullptr);
    g_signal_connect(spin, "value-changed", G_CALLBACK(on_value_changed), app);
    hex_spin_output(GTK_SPIN_BUTTON(spin), const_cast<char *>(k_value_format));
    return spin;
}

void build_grid(GtkWidget *vbox, nb_app *app)
{
    GtkWidget *grid = gtk_table_new(4, 30, FALSE);
    gtk_box_pack_start(GTK_BOX(vbox), grid, TRUE, TRUE, 0);

    static const char *const k_rows[4] = {N_("BIT NUM: "), N_("AMASK:  "), N_("ACODE:  "),
                                          N_("RESULT: ")};
    for (guint r = 0; r < 4; r++)
        gtk_table_attach_defaults(GTK_TABLE(grid), caption(_(k_rows[r]), 0.5f), 0, 1, r, r + 1);

    for (guint col = 1; col <= 29; col++) {
        int bit = 28 - static_cast<int>(col - 1);
        char num[8];
        g_snprintf(num, sizeof num, "%.2d", bit);
        gtk_table_attach_defaults(GTK_TABLE(grid), caption(num, 0.5f), col, col + 1, 0, 1);

        char name[32];
        GtkWidget *mask = gtk_check_button_new();
        g_snprintf(name, sizeof name, "mask-bit-%d", bit);
        gtk_widget_set_name(mask, name);
        g_signal_connect(mask, "clicked", G_CALLBACK(values_from_grid), app);
        gtk_table_attach_defaults(GTK_TABLE(grid), mask, col, col + 1, 1, 2);
        s_af.mask_btn[bit] = mask;

        GtkWidget *code = gtk_check_button_new();
        g_snprintf(name, sizeof name, "code-bit-%d", bit);
        gtk_widget_set_name(code, name);
        g_signal_connect(code, "clicked", G_CALLBACK(values_from_grid), app);
        gtk_table_attach_defaults(GTK_TABLE(grid), code, col, col + 1, 2, 3);
        s_af.code_btn[bit] = code;

        GtkWidget *result = caption(" X", 0.0f);
        g_snprintf(name, sizeof name, "result-bit-%d", bit);
        gtk_widget_set_name(result, name);
        gtk_table_attach_defaults(GTK_TABLE(grid), result, col, col + 1, 3, 4);
        s_af.result[bit] = result;

        if (bit >= s_af.bits) {
            gtk_widget_set_sensitive(mask, FALSE);
            gtk_widget_set_sensitive(code, FALSE);
            gtk_widget_set_sensitive(result, FALSE);
        }
    }
}

void build_values(GtkWidget *vbox, nb_app *app, double upper)
{
    GtkWidget *hbox = gtk_hbox_new(FALSE, 0);
    gtk_container_set_border_width(GTK_CONTAINER(hbox), 10);
    gtk_box_pack_start(GTK_BOX(vbox), hbox, TRUE, TRUE, 0);
    GtkWidget *table = gtk_table_new(2, 2, FALSE);
    gtk_table_set_row_spacings(GTK_TABLE(table), 2);
    gtk_table_set_col_spacings(GTK_TABLE(table), 2);
    gtk_box_pack_start(GTK_BOX(hbox), table, TRUE, TRUE, 0);

    gtk_table_attach_defaults(GTK_TABLE(table), gtk_label_new(_("Filter mask: ")), 0, 1, 0, 1);
    s_af.mask_spin = value_spin(upper, "filter-mask-spin", app);
    gtk_table_attach_defaults(GTK_TABLE(table), s_af.mask_spin, 1, 2, 0, 1);
    gtk_table_attach_defaults(GTK_TABLE(table), gtk_label_new(_("Filter code: ")), 0, 1, 1, 2);
    s_af.code_spin = value_spin(upper, "filter-code-spin", app);
    gtk_table_attach_defaults(GTK_TABLE(table), s_af.code_spin, 1, 2, 1, 2);
}

/* A stored value wider than the dialog's width is shown, and applied on
 * OK, as the largest value the width allows. */
double clamped(uint32_t value, double upper)
{
    return value > upper ? upper : static_cast<double>(value);
}

}  // namespace

void acceptance_filter_dialog(GtkMenuItem *item, gpointer data)
{
    nb_app *app = static_cast<nb_app *>(data);
    nb_chan *chan = selected_chan(app);
    if (!app || s_af.dialog)
        return;

    s_af = filter_widgets{};
    s_af.bits = (chan->frame_format & k_format_std) ? 11 : k_max_bits;
    double upper = static_cast<double>((1u << s_af.bits) - 1u);

    GtkWidget *dialog = gtk_dialog_new_with_buttons(
        _("Set acceptance filter"), GTK_WINDOW(nb_mainwin),
        static_cast<GtkDialogFlags>(GTK_DIALOG_MODAL | GTK_DIALOG_DESTROY_WITH_PARENT |
                                    GTK_DIALOG_NO_SEPARATOR),
        GTK_STOCK_OK, GTK_RESPONSE_OK,
        _("Defaults (Acept all) ..."), GTK_RESPONSE_REJECT,
        GTK_STOCK_CANCEL, GTK_RESPONSE_CANCEL,
        nullptr);
    gtk_widget_set_name(dialog, "filter-dialog");
    /* Sized to its content: no window manager's resize strip below it. */
    gtk_window_set_resizable(GTK_WINDOW(dialog), FALSE);
    gtk_widget_set_size_request(dialog, 750, 260);
    s_af.dialog = dialog;
    g_signal_connect(dialog, "destroy", G_CALLBACK(gtk_widget_destroyed), &s_af.dialog);

    GtkWidget *vbox = gtk_vbox_new(FALSE, 0);
    gtk_container_set_border_width(GTK_CONTAINER(vbox), 5);
    gtk_container_add(GTK_CONTAINER(gtk_dialog_get_content_area(GTK_DIALOG(dialog))), vbox);
    build_grid(vbox, app);
    build_values(vbox, app, upper);

    gtk_spin_button_set_value(GTK_SPIN_BUTTON(s_af.code_spin), clamped(chan->acc_code, upper));
    gtk_spin_button_set_value(GTK_SPIN_BUTTON(s_af.mask_spin), clamped(chan->acc_mask, upper));
    grid_from_values(app);

    gtk_widget_show_all(dialog);
    gint response = gtk_dialog_run(GTK_DIALOG(dialog));
    while (response == GTK_RESPONSE_REJECT && s_af.dialog) {
        gtk_spin_button_set_value(GTK_SPIN_BUTTON(s_af.code_spin), 0);
        gtk_spin_button_set_value(GTK_SPIN_BUTTON(s_af.mask_spin), 0);
        grid_from_values(app);
        response = gtk_dialog_run(GTK_DIALOG(dialog));
    }

    if (response == GTK_RESPONSE_OK && s_af.dialog) {
        /* Typed text not taken yet counts; invalid text keeps the value. */
        gtk_spin_button_update(GTK_SPIN_BUTTON(s_af.code_spin));
        gtk_spin_button_update(GTK_SPIN_BUTTON(s_af.mask_spin));
        uint32_t code = spin_u32(s_af.code_spin);
        uint32_t mask = spin_u32(s_af.mask_spin);
        int32_t r = chan->ops.set_filter(chan, code, mask);
        if (r < 0)
            chan_error_message(app, chan, _("can't set acceptance filter"), r);
    }
    if (s_af.dialog)
        gtk_widget_destroy(s_af.dialog);
    s_af = filter_widgets{};
    chan_changed(app, chan, 1);
}
