/*
 * protdlg.cpp - the counter and checksum dialog of the selected message:
 * on bits typed or on the message's signals; a configuration that does not
 * fit the message keeps the dialog open with the reason.
 */
#include "sender.h"

#include <stdlib.h>
#include <string.h>

#include <string>

#include "pgparts.h"

namespace {

using pgparts::named;

struct prot_widgets {
    GtkWidget *counter_sig, *counter_start, *counter_len, *counter_moto, *step, *wrap;
    GtkWidget *kind, *check_sig, *check_start, *check_len, *check_moto, *bytes, *data_id, *p1_mode,
        *id_list, *error;
    int index;                   /* the message's row */
};

/* Looked up at each use: a database read may finish while the dialog
 * runs and replace the one the dialog was opened with. */
const dbc_message *message_of(const prot_widgets *w)
{
    return sd_db_message_of(w->index);
}

GtkWidget *entry_of(const char *name, const char *text, int width)
{
    GtkWidget *e = named(gtk_entry_new(), name);
    gtk_entry_set_text(GTK_ENTRY(e), text);
    gtk_entry_set_width_chars(GTK_ENTRY(e), width);
    return e;
}

void set_num(GtkWidget *e, unsigned long long v)
{
    char t[32];
    g_snprintf(t, sizeof t, "%llu", v);
    gtk_entry_set_text(GTK_ENTRY(e), t);
}

void on_counter_signal(GtkComboBox *combo, gpointer data)
{
    prot_widgets *w = (prot_widgets *)data;
    int k = gtk_combo_box_get_active(combo) - 2;
    const dbc_message *dm = message_of(w);
    if (!dm || k < 0 || (size_t)k >= dm->signals.size())
        return;
    const dbc_signal &s = dm->signals[(size_t)k];
    set_num(w->counter_start, s.start);
    set_num(w->counter_len, s.length);
    gtk_toggle_button_set_active(GTK_TOGGLE_BUTTON(w->counter_moto), s.order == DBC_MOTOROLA);
    gtk_entry_set_text(GTK_ENTRY(w->wrap), "");
}

void on_check_signal(GtkComboBox *combo, gpointer data)
{
    prot_widgets *w = (prot_widgets *)data;
    int k = gtk_combo_box_get_active(combo) - 1;
    const dbc_message *dm = message_of(w);
    if (!dm || k < 0 || (size_t)k >= dm->signals.size())
        return;
    const dbc_signal &s = dm->signals[(size_t)k];
    set_num(w->check_start, s.start);
    set_num(w->check_len, s.length);
    gtk_toggle_button_set_active(GTK_TOGGLE_BUTTON(w->check_moto), s.order == DBC_MOTOROLA);
}

/* A profile puts its CRC and counter where the profile has them. */
void on_kind(GtkComboBox *combo, gpointer data)
{
    prot_widgets *w = (prot_widgets *)data;
    int kind = gtk_combo_box_get_active(combo);
    if (kind < E2E_P1)
        return;
    e2e_config c;
    memset(&c, 0, sizeof c);
    e2e_defaults(&c, (uint8_t)kind);
    set_num(w->counter_start, c.counter.start);
    set_num(w->counter_len, c.counter.length);
    gtk_toggle_button_set_active(GTK_TOGGLE_BUTTON(w->counter_moto), FALSE);
    set_num(w->wrap, c.wrap);
    set_num(w->step, 1);
    set_num(w->check_start, c.check.start);
    set_num(w->check_len, c.check.length);
    gtk_toggle_button_set_active(GTK_TOGGLE_BUTTON(w->check_moto), FALSE);
    gtk_combo_box_set_active(GTK_COMBO_BOX(w->counter_sig), 1);
}

bool num_of(GtkWidget *e, unsigned long long max, unsigned long long *out, int base = 10)
{
    const char *t = gtk_entry_get_text(GTK_ENTRY(e));
    char *end = nullptr;
    while (*t == ' ')
        t++;
    *out = g_ascii_strtoull(t, &end, base);
    return t[0] && end && *end == '\0' && *out <= max;
}

/* Bytes as "1-7" or "0,2,4-6": a mask; empty is 0 (all but the checksum's). */
bool bytes_of(const char *text, uint64_t *mask)
{
    *mask = 0;
    gchar **parts = g_strsplit(text, ",", -1);
    bool ok = true;
    for (int i = 0; parts[i] && ok; i++) {
        g_strstrip(parts[i]);
        if (!parts[i][0])
            continue;
        char *end = nullptr;
        unsigned long a = strtoul(parts[i], &end, 10), b = a;
        if (end && *end == '-')
            b = strtoul(end + 1, &end, 10);
        ok = end && !*end && a <= b && b < 64 && g_ascii_isdigit(parts[i][0]);
        for (unsigned long k = a; ok && k <= b; k++)
            *mask |= UINT64_C(1) << k;
    }
    g_strfreev(parts);
    return ok;
}

/* The dialog's fields as a configuration; false with the field named. */
bool read_prot(prot_widgets *w, e2e_config *c, const char **bad)
{
    memset(c, 0, sizeof *c);
    unsigned long long v;
    c->kind = (uint8_t)gtk_combo_box_get_active(GTK_COMBO_BOX(w->kind));
    if (gtk_combo_box_get_active(GTK_COMBO_BOX(w->counter_sig)) > 0) {
        if (!num_of(w->counter_start, 511, &v))
            return *bad = _("the counter's start bit"), false;
        c->counter.start = (uint16_t)v;
        if (!num_of(w->counter_len, 32, &v) || v == 0)
            return *bad = _("the counter's length (1 to 32 bits)"), false;
        c->counter.length = (uint8_t)v;
        c->counter.motorola = gtk_toggle_button_get_active(GTK_TOGGLE_BUTTON(w->counter_moto));
        if (!num_of(w->step, 0xFFFFFFFFu, &v))
            return *bad = _("the step"), false;
        c->step = (uint32_t)v;
        if (gtk_entry_get_text(GTK_ENTRY(w->wrap))[0]) {
            if (!num_of(w->wrap, UINT64_C(1) << 32, &v) || v < 2)
                return *bad = _("the wrap (a number of values, at least 2)"), false;
            c->wrap = v;
        }
    }
    if (c->kind != E2E_NONE) {
        if (!num_of(w->check_start, 511, &v))
            return *bad = _("the checksum's start bit"), false;
        c->check.start = (uint16_t)v;
        if (!num_of(w->check_len, 16, &v) || v == 0)
            return *bad = _("the checksum's length (1 to 16 bits)"), false;
        c->check.length = (uint8_t)v;
        c->check.motorola = gtk_toggle_button_get_active(GTK_TOGGLE_BUTTON(w->check_moto));
        if (!bytes_of(gtk_entry_get_text(GTK_ENTRY(w->bytes)), &c->bytes))
            return *bad = _("the bytes covered (such as 1-7)"), false;
        if (!num_of(w->data_id, 0xFFFF, &v, 16))
            return *bad = _("the data ID (hex, 0 to FFFF)"), false;
        c->data_id = (uint16_t)v;
        c->p1_mode = (uint8_t)gtk_combo_box_get_active(GTK_COMBO_BOX(w->p1_mode));
        c->nibble = e2e_field{12, 4, 0};
        uint8_t ids[16];
        uint8_t n = 0;
        char err[SD_TEXT_MAX];
        if (sd_parse_data(gtk_entry_get_text(GTK_ENTRY(w->id_list)), 1, ids, &n, err, sizeof err) != 0 ||
            (n != 16 && !(n == 0 && c->kind != E2E_P2)))
            return *bad = _("the data ID list (16 hex bytes)"), false;
        memcpy(c->id_list, ids, n);
    }
    return true;
}

GtkWidget *combo_of(const char *name, const char *const *items, int n)
{
    GtkWidget *c = named(gtk_combo_box_new_text(), name);
    for (int i = 0; i < n; i++)
        gtk_combo_box_append_text(GTK_COMBO_BOX(c), items[i]);
    return c;
}

void attach(GtkWidget *table, int row, const char *label, GtkWidget *w, int col = 0)
{
    GtkWidget *l = gtk_label_new_with_mnemonic(label);
    gtk_misc_set_alignment(GTK_MISC(l), 0.0f, 0.5f);
    gtk_label_set_mnemonic_widget(GTK_LABEL(l), w);
    gtk_table_attach(GTK_TABLE(table), l, col, col + 1, row, row + 1, GTK_FILL, GTK_FILL, 4, 2);
    gtk_table_attach(GTK_TABLE(table), w, col + 1, col + 2, row, row + 1,
                     (GtkAttachOptions)(GTK_FILL | GTK_EXPAND), GTK_FILL, 4, 2);
}

}  // namespace

void sd_prot_dialog(void)
{
    int index = sd_page_selected();
    if (index < 0) {
        sd_set_message(_("Select the message to give a counter and checksum."));
        return;
    }
    const sd_msg &m = sd.msgs[index];
    prot_widgets w;
    memset(&w, 0, sizeof w);
    w.index = index;
    const dbc_message *dm = message_of(&w);
    GtkWidget *dialog = gtk_dialog_new_with_buttons(
        _("Counter and checksum"), GTK_WINDOW(nb_mainwin), GTK_DIALOG_MODAL, GTK_STOCK_CANCEL,
        GTK_RESPONSE_CANCEL, GTK_STOCK_OK, GTK_RESPONSE_ACCEPT, nullptr);
    GtkWidget *table = gtk_table_new(9, 4, FALSE);
    gtk_container_set_border_width(GTK_CONTAINER(table), 6);

    w.counter_sig = named(gtk_combo_box_new_text(), "sender-prot-counter-signal");
    gtk_combo_box_append_text(GTK_COMBO_BOX(w.counter_sig), _("No counter"));
    gtk_combo_box_append_text(GTK_COMBO_BOX(w.counter_sig), _("These bits:"));
    w.check_sig = named(gtk_combo_box_new_text(), "sender-prot-check-signal");
    gtk_combo_box_append_text(GTK_COMBO_BOX(w.check_sig), _("These bits:"));
    int counter_at = m.prot.counter.length ? 1 : 0, check_at = 0;
    if (dm)
        for (size_t i = 0; i < dm->signals.size(); i++) {
            const dbc_signal &s = dm->signals[i];
            int role = sd_db_role_by_name(s.name.c_str());
            /* Counters and checksums by name are marked as such. */
            std::string text = s.name + (role == 1 ? _(" (counter)") : role == 2 ? _(" (checksum)") : "");
            gtk_combo_box_append_text(GTK_COMBO_BOX(w.counter_sig), text.c_str());
            gtk_combo_box_append_text(GTK_COMBO_BOX(w.check_sig), text.c_str());
            e2e_field f{s.start, s.length, (uint8_t)(s.order == DBC_MOTOROLA)};
            if (m.prot.counter.length && f.start == m.prot.counter.start &&
                f.length == m.prot.counter.length && f.motorola == m.prot.counter.motorola)
                counter_at = (int)i + 2;
            if (f.start == m.prot.check.start && f.length == m.prot.check.length &&
                f.motorola == m.prot.check.motorola)
                check_at = (int)i + 1;
        }
    char t[64];
    w.counter_start = entry_of("sender-prot-counter-start", "8", 5);
    w.counter_len = entry_of("sender-prot-counter-length", "4", 5);
    w.counter_moto = named(gtk_check_button_new_with_label(_("Motorola")), "sender-prot-counter-motorola");
    w.step = entry_of("sender-prot-step", "1", 5);
    w.wrap = entry_of("sender-prot-wrap", "", 8);
    gtk_widget_set_tooltip_text(w.wrap, _("The counter runs from 0 to this less one; empty: "
                                          "all its bits"));
    const char *kinds[] = {_("None"), _("XOR of bytes"), _("CRC8 SAE J1850"),
                           _("AUTOSAR E2E profile 1"), _("AUTOSAR E2E profile 2"),
                           _("AUTOSAR E2E profile 5 (CAN FD)")};
    w.kind = combo_of("sender-prot-kind", kinds, 6);
    w.check_start = entry_of("sender-prot-check-start", "0", 5);
    w.check_len = entry_of("sender-prot-check-length", "8", 5);
    w.check_moto = named(gtk_check_button_new_with_label(_("Motorola")), "sender-prot-check-motorola");
    w.bytes = entry_of("sender-prot-bytes", "", 12);
    gtk_widget_set_tooltip_text(w.bytes, _("XOR and CRC8: the data bytes covered, counted from "
                                           "0, such as 1-7; empty: every byte but the checksum's"));
    w.data_id = entry_of("sender-prot-data-id", "0", 6);
    const char *modes[] = {_("Both bytes (1A)"), _("Alternating (1B)"), _("Low byte only"),
                           _("Low byte, nibble sent (1C)")};
    w.p1_mode = combo_of("sender-prot-p1-mode", modes, 4);
    w.id_list = entry_of("sender-prot-id-list", "", 40);
    gtk_widget_set_tooltip_text(w.id_list, _("Profile 2: the 16 data IDs, one per counter value, "
                                             "as hex bytes"));
    if (m.prot.counter.length) {
        set_num(w.counter_start, m.prot.counter.start);
        set_num(w.counter_len, m.prot.counter.length);
        gtk_toggle_button_set_active(GTK_TOGGLE_BUTTON(w.counter_moto), m.prot.counter.motorola);
        set_num(w.step, m.prot.step ? m.prot.step : 1);
        if (m.prot.wrap)
            set_num(w.wrap, m.prot.wrap);
    }
    if (m.prot.kind != E2E_NONE) {
        set_num(w.check_start, m.prot.check.start);
        set_num(w.check_len, m.prot.check.length);
        gtk_toggle_button_set_active(GTK_TOGGLE_BUTTON(w.check_moto), m.prot.check.motorola);
    }
    std::string bytes;
    for (int i = 0; i < 64; i++)
        if ((m.prot.bytes >> i) & 1) {
            int j = i;
            while (j + 1 < 64 && ((m.prot.bytes >> (j + 1)) & 1))
                j++;
            bytes += (bytes.empty() ? "" : ",") + std::to_string(i) +
                     (j > i ? "-" + std::to_string(j) : "");
            i = j;
        }
    gtk_entry_set_text(GTK_ENTRY(w.bytes), bytes.c_str());
    g_snprintf(t, sizeof t, "%X", m.prot.data_id);
    gtk_entry_set_text(GTK_ENTRY(w.data_id), t);
    std::string ids;
    for (int i = 0; i < 16; i++) {
        g_snprintf(t, sizeof t, i ? " %02X" : "%02X", m.prot.id_list[i]);
        ids += t;
    }
    gtk_entry_set_text(GTK_ENTRY(w.id_list), ids.c_str());
    gtk_combo_box_set_active(GTK_COMBO_BOX(w.kind), m.prot.kind);
    gtk_combo_box_set_active(GTK_COMBO_BOX(w.p1_mode), m.prot.p1_mode);
    gtk_combo_box_set_active(GTK_COMBO_BOX(w.counter_sig), counter_at);
    gtk_combo_box_set_active(GTK_COMBO_BOX(w.check_sig), check_at);
    g_signal_connect(w.counter_sig, "changed", G_CALLBACK(on_counter_signal), &w);
    g_signal_connect(w.check_sig, "changed", G_CALLBACK(on_check_signal), &w);
    g_signal_connect(w.kind, "changed", G_CALLBACK(on_kind), &w);

    attach(table, 0, _("Co_unter:"), w.counter_sig);
    attach(table, 1, _("Start bit:"), w.counter_start);
    attach(table, 1, _("Length:"), w.counter_len, 2);
    attach(table, 2, _("Step:"), w.step);
    attach(table, 2, _("Wrap:"), w.wrap, 2);
    gtk_table_attach(GTK_TABLE(table), w.counter_moto, 1, 2, 3, 4, GTK_FILL, GTK_FILL, 4, 2);
    attach(table, 4, _("_Checksum:"), w.kind);
    attach(table, 4, _("In:"), w.check_sig, 2);
    attach(table, 5, _("Start bit:"), w.check_start);
    attach(table, 5, _("Length:"), w.check_len, 2);
    gtk_table_attach(GTK_TABLE(table), w.check_moto, 1, 2, 6, 7, GTK_FILL, GTK_FILL, 4, 2);
    attach(table, 6, _("Bytes:"), w.bytes, 2);
    attach(table, 7, _("Data ID (hex):"), w.data_id);
    attach(table, 7, _("Profile 1 data ID:"), w.p1_mode, 2);
    GtkWidget *idl = gtk_label_new(_("Profile 2 data IDs:"));
    gtk_misc_set_alignment(GTK_MISC(idl), 0.0f, 0.5f);
    gtk_table_attach(GTK_TABLE(table), idl, 0, 1, 8, 9, GTK_FILL, GTK_FILL, 4, 2);
    gtk_table_attach(GTK_TABLE(table), w.id_list, 1, 4, 8, 9, GTK_FILL, GTK_FILL, 4, 2);
    GtkWidget *box = gtk_dialog_get_content_area(GTK_DIALOG(dialog));
    gtk_box_pack_start(GTK_BOX(box), table, TRUE, TRUE, 0);
    w.error = named(gtk_label_new(""), "sender-prot-error");
    gtk_misc_set_alignment(GTK_MISC(w.error), 0.0f, 0.5f);
    gtk_label_set_line_wrap(GTK_LABEL(w.error), TRUE);
    gtk_box_pack_start(GTK_BOX(box), w.error, FALSE, FALSE, 4);
    gtk_widget_show_all(dialog);
    nbpg_loadrelease_enable();
    /* A refused configuration keeps the dialog, the reason in it. */
    while (gtk_dialog_run(GTK_DIALOG(dialog)) == GTK_RESPONSE_ACCEPT && sd.page &&
           index < sd.count) {
        e2e_config c;
        const char *bad = nullptr;
        if (!read_prot(&w, &c, &bad)) {
            char text[SD_TEXT_MAX];
            g_snprintf(text, sizeof text, _("Not taken: check %s."), bad);
            gtk_label_set_text(GTK_LABEL(w.error), text);
            continue;
        }
        if (sd_prot_set(index, &c) == 0)
            break;
        gtk_label_set_text(GTK_LABEL(w.error), sd.message);
    }
    gtk_widget_destroy(dialog);
    nbpg_loadrelease_disable();
    if (sd.page)
        sd_dbpage_show(sd_page_selected());
}

