/*
 * dbcpage.cpp - the database part of the sender's page: the database's
 * row of buttons, the signals of the selected message (values edited in
 * place, value-table texts offered), the dialog that picks a message by
 * name, and the counter and checksum dialog.
 */
#include "sender.h"

#include <math.h>
#include <stdlib.h>
#include <string.h>

#include <string>
#include <vector>

namespace {

enum { SC_NAME, SC_VALUE, SC_UNIT, SC_RANGE, SC_CHOICES, SC_ROLE, SC_INDEX, SC_MODEL, SC_EDITABLE,
       SC_SENSITIVE, SC_N };

struct dbpage {
    GtkWidget *name;             /* the database's file name */
    GtkWidget *title;            /* the selected message */
    GtkWidget *view;
    GtkListStore *store;
    int shown;                   /* the row shown, -1 none */
    char folder[1024];
};
dbpage dp;

GtkWidget *named(GtkWidget *w, const char *name)
{
    gtk_widget_set_name(w, name);
    return w;
}

GtkWidget *button(const char *label, const char *name, GCallback cb)
{
    GtkWidget *b = named(gtk_button_new_with_mnemonic(label), name);
    g_signal_connect(b, "clicked", cb, nullptr);
    return b;
}

/* A row's role: what it computes itself. */
int role_of(const sd_msg &m, const dbc_signal &s)
{
    e2e_field f{s.start, s.length, (uint8_t)(s.order == DBC_MOTOROLA)};
    auto same = [&](e2e_field g) {
        return g.length == f.length && g.start == f.start && g.motorola == f.motorola;
    };
    if (m.prot.counter.length && same(m.prot.counter))
        return 1;
    if (m.prot.kind != E2E_NONE && same(m.prot.check))
        return 2;
    return 0;
}

std::string number(double v)
{
    char buf[G_ASCII_DTOSTR_BUF_SIZE];
    g_ascii_formatd(buf, sizeof buf, "%.10g", v);
    return buf;
}

void fill(int index)
{
    dp.shown = index;
    if (!dp.store)
        return;
    gtk_list_store_clear(dp.store);
    const dbc_message *dm = sd_db_message_of(index);
    if (!dm) {
        gtk_label_set_text(GTK_LABEL(dp.title),
                           index >= 0 ? _("The selected message is sent as its bytes.")
                                      : _("Select a message to see its signals."));
        return;
    }
    char title[SD_TEXT_MAX];
    g_snprintf(title, sizeof title, _("%s (%s%X), %u bytes: signals"), dm->name.c_str(),
               dm->extended ? "x" : "", (unsigned)dm->id, (unsigned)dm->size);
    gtk_label_set_text(GTK_LABEL(dp.title), title);
    const sd_msg &m = sd.msgs[index];
    /* What the row's bytes carry, as a receiver decodes them: the signals
     * its multiplexors do not select are greyed out. */
    std::vector<dbc_value> carried(dm->signals.size());
    dbc_decode(dm, m.data, m.ndata, carried.data());
    for (size_t i = 0; i < dm->signals.size(); i++) {
        const dbc_signal &s = dm->signals[i];
        int active = carried[i].active;
        double v = sd_db_value(index, (int)i);
        int role = role_of(m, s);
        double lo, hi;
        dbc_signal_range(&s, &lo, &hi);
        std::string range = number(lo) + " .. " + number(hi);
        std::string value = number(v), choices;
        GtkListStore *texts = gtk_list_store_new(1, G_TYPE_STRING);
        for (const dbc_value_text &e : s.values) {
            GtkTreeIter t;
            gtk_list_store_append(texts, &t);
            gtk_list_store_set(texts, &t, 0, e.text.c_str(), -1);
            if (!choices.empty())
                choices += ", ";
            choices += std::to_string(e.value) + " = " + e.text;
            if (s.factor != 0 && nearbyint((v - s.offset) / s.factor) == (double)e.value)
                value = e.text;
        }
        if (role)
            value = role == 1 ? _("(counter)") : _("(checksum)");
        const char *role_text = role == 1 ? _("Counter")
                                : role == 2 ? _("Checksum")
                                : sd_db_role_by_name(s.name.c_str()) ? _("(not used)")
                                                                    : "";
        GtkTreeIter it;
        gtk_list_store_append(dp.store, &it);
        gtk_list_store_set(dp.store, &it, SC_NAME, s.name.c_str(), SC_VALUE, value.c_str(), SC_UNIT,
                           s.unit.c_str(), SC_RANGE, range.c_str(), SC_CHOICES, choices.c_str(),
                           SC_ROLE, role_text, SC_INDEX, (int)i, SC_MODEL, texts, SC_EDITABLE,
                           (gboolean)(role == 0), SC_SENSITIVE, (gboolean)active, -1);
        g_object_unref(texts);
    }
}

void on_value_edited(GtkCellRendererText *, gchar *path, gchar *text, gpointer)
{
    GtkTreeIter it;
    if (dp.shown < 0 ||
        !gtk_tree_model_get_iter_from_string(GTK_TREE_MODEL(dp.store), &it, path))
        return;
    int sig = -1;
    gtk_tree_model_get(GTK_TREE_MODEL(dp.store), &it, SC_INDEX, &sig, -1);
    if (sd_db_set(dp.shown, sig, text) == 0)
        fill(dp.shown);
}

/* ------------------------------------------------------------ database */

void on_database(GtkButton *, gpointer)
{
    if (sd_db_reading()) {
        sd_set_message(_("A database is being read: wait until it is done."));
        return;
    }
    GtkWidget *dialog = gtk_file_chooser_dialog_new(
        _("Open a DBC database for sending"), GTK_WINDOW(nb_mainwin), GTK_FILE_CHOOSER_ACTION_OPEN,
        GTK_STOCK_CANCEL, GTK_RESPONSE_CANCEL, GTK_STOCK_OPEN, GTK_RESPONSE_ACCEPT, nullptr);
    gtk_file_chooser_set_local_only(GTK_FILE_CHOOSER(dialog), TRUE);
    gchar *dir = sd_db_path()[0] ? g_path_get_dirname(sd_db_path()) : nullptr;
    nbkit_chooser_start(GTK_FILE_CHOOSER(dialog), NB_FOLDER_DBC, dir);
    g_free(dir);
    GtkFileFilter *filter = gtk_file_filter_new();
    gtk_file_filter_set_name(filter, _("DBC databases (*.dbc)"));
    gtk_file_filter_add_pattern(filter, "*.[dD][bB][cC]");
    gtk_file_chooser_add_filter(GTK_FILE_CHOOSER(dialog), filter);
    filter = gtk_file_filter_new();
    gtk_file_filter_set_name(filter, _("All files"));
    gtk_file_filter_add_pattern(filter, "*");
    gtk_file_chooser_add_filter(GTK_FILE_CHOOSER(dialog), filter);
    nbpg_loadrelease_enable();
    char *path = nullptr;
    if (gtk_dialog_run(GTK_DIALOG(dialog)) == GTK_RESPONSE_ACCEPT) {
        nbkit_chooser_keep(GTK_FILE_CHOOSER(dialog), NB_FOLDER_DBC);
        char *local = gtk_file_chooser_get_filename(GTK_FILE_CHOOSER(dialog));
        if (local)
            path = g_filename_to_utf8(local, -1, nullptr, nullptr, nullptr);
        g_free(local);
    }
    gtk_widget_destroy(dialog);
    nbpg_loadrelease_disable();
    if (path && sd.page)
        sd_db_open(path);
    g_free(path);
}

/* ---------------------------------------------------- picking a message */

enum { PC_NAME, PC_ID, PC_LEN, PC_SIGNALS, PC_INDEX, PC_N };

gboolean pick_visible(GtkTreeModel *model, GtkTreeIter *it, gpointer entry)
{
    const char *want = gtk_entry_get_text(GTK_ENTRY(entry));
    if (!want[0])
        return TRUE;
    gchar *name = nullptr, *id = nullptr;
    gtk_tree_model_get(model, it, PC_NAME, &name, PC_ID, &id, -1);
    gchar *a = g_utf8_casefold(name ? name : "", -1), *b = g_utf8_casefold(want, -1);
    gboolean show = strstr(a, b) != nullptr || (id && g_ascii_strcasecmp(id, want) == 0);
    g_free(a);
    g_free(b);
    g_free(name);
    g_free(id);
    return show;
}

void on_search_changed(GtkEditable *, gpointer filter)
{
    gtk_tree_model_filter_refilter(GTK_TREE_MODEL_FILTER(filter));
}

void on_pick_row(GtkTreeView *, GtkTreePath *, GtkTreeViewColumn *, gpointer dialog)
{
    gtk_dialog_response(GTK_DIALOG(dialog), GTK_RESPONSE_ACCEPT);
}

void on_from_database(GtkButton *, gpointer)
{
    const dbc_db *db = sd_db();
    if (!db) {
        sd_set_message(sd_db_reading() ? _("A database is being read: wait until it is done.")
                                       : _("Open a database first (\"Database...\")."));
        return;
    }
    GtkWidget *dialog = gtk_dialog_new_with_buttons(
        _("Message from the database"), GTK_WINDOW(nb_mainwin), GTK_DIALOG_MODAL, GTK_STOCK_CANCEL,
        GTK_RESPONSE_CANCEL, GTK_STOCK_ADD, GTK_RESPONSE_ACCEPT, nullptr);
    gtk_window_set_default_size(GTK_WINDOW(dialog), 520, 420);
    GtkWidget *box = gtk_dialog_get_content_area(GTK_DIALOG(dialog));
    GtkWidget *row = gtk_hbox_new(FALSE, 6);
    GtkWidget *label = gtk_label_new_with_mnemonic(_("_Search:"));
    GtkWidget *entry = named(gtk_entry_new(), "sender-pick-search");
    gtk_widget_set_tooltip_text(entry, _("Part of the message's name, or its identifier in hex"));
    gtk_label_set_mnemonic_widget(GTK_LABEL(label), entry);
    gtk_box_pack_start(GTK_BOX(row), label, FALSE, FALSE, 0);
    gtk_box_pack_start(GTK_BOX(row), entry, TRUE, TRUE, 0);
    gtk_box_pack_start(GTK_BOX(box), row, FALSE, FALSE, 6);

    GtkListStore *store = gtk_list_store_new(PC_N, G_TYPE_STRING, G_TYPE_STRING, G_TYPE_INT,
                                             G_TYPE_INT, G_TYPE_INT);
    for (size_t i = 0; i < db->messages.size(); i++) {
        const dbc_message &m = db->messages[i];
        if (!m.decodable)
            continue;
        char id[16];
        g_snprintf(id, sizeof id, m.extended ? "%08X" : "%03X", (unsigned)m.id);
        GtkTreeIter it;
        gtk_list_store_append(store, &it);
        gtk_list_store_set(store, &it, PC_NAME, m.name.c_str(), PC_ID, id, PC_LEN, (int)m.size,
                           PC_SIGNALS, (int)m.signals.size(), PC_INDEX, (int)i, -1);
    }
    GtkTreeModel *filter = gtk_tree_model_filter_new(GTK_TREE_MODEL(store), nullptr);
    g_object_unref(store);
    gtk_tree_model_filter_set_visible_func(GTK_TREE_MODEL_FILTER(filter), pick_visible, entry,
                                           nullptr);
    GtkWidget *view = named(gtk_tree_view_new_with_model(filter), "sender-pick-list");
    g_object_unref(filter);
    const char *titles[] = {_("Message"), _("Identifier (hex)"), _("Length"), _("Signals")};
    for (int c = 0; c < 4; c++)
        gtk_tree_view_append_column(
            GTK_TREE_VIEW(view), gtk_tree_view_column_new_with_attributes(
                                     titles[c], gtk_cell_renderer_text_new(), "text", c, NULL));
    g_signal_connect(entry, "changed", G_CALLBACK(on_search_changed), filter);
    g_signal_connect(view, "row-activated", G_CALLBACK(on_pick_row), dialog);
    GtkWidget *scroll = gtk_scrolled_window_new(nullptr, nullptr);
    gtk_scrolled_window_set_policy(GTK_SCROLLED_WINDOW(scroll), GTK_POLICY_AUTOMATIC,
                                   GTK_POLICY_AUTOMATIC);
    gtk_container_add(GTK_CONTAINER(scroll), view);
    gtk_box_pack_start(GTK_BOX(box), scroll, TRUE, TRUE, 0);
    gtk_widget_show_all(dialog);
    nbpg_loadrelease_enable();
    int index = -1;
    if (gtk_dialog_run(GTK_DIALOG(dialog)) == GTK_RESPONSE_ACCEPT) {
        GtkTreeModel *model = nullptr;
        GtkTreeIter it;
        GtkTreeSelection *sel = gtk_tree_view_get_selection(GTK_TREE_VIEW(view));
        if (gtk_tree_selection_get_selected(sel, &model, &it) ||
            gtk_tree_model_get_iter_first(model = filter, &it))
            gtk_tree_model_get(model, &it, PC_INDEX, &index, -1);
    }
    gtk_widget_destroy(dialog);
    nbpg_loadrelease_disable();
    if (index < 0 || !sd.page || sd_db() != db)
        return;
    int row_added = sd_db_add(&db->messages[(size_t)index]);
    if (row_added >= 0)
        sd_page_select(row_added);
}

/* --------------------------------------------------- counter, checksum */

struct prot_widgets {
    GtkWidget *counter_sig, *counter_start, *counter_len, *counter_moto, *step, *wrap;
    GtkWidget *kind, *check_sig, *check_start, *check_len, *check_moto, *bytes, *data_id, *p1_mode,
        *id_list, *error;
    const dbc_message *dm;
};

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
    if (!w->dm || k < 0 || (size_t)k >= w->dm->signals.size())
        return;
    const dbc_signal &s = w->dm->signals[(size_t)k];
    set_num(w->counter_start, s.start);
    set_num(w->counter_len, s.length);
    gtk_toggle_button_set_active(GTK_TOGGLE_BUTTON(w->counter_moto), s.order == DBC_MOTOROLA);
    gtk_entry_set_text(GTK_ENTRY(w->wrap), "");
}

void on_check_signal(GtkComboBox *combo, gpointer data)
{
    prot_widgets *w = (prot_widgets *)data;
    int k = gtk_combo_box_get_active(combo) - 1;
    if (!w->dm || k < 0 || (size_t)k >= w->dm->signals.size())
        return;
    const dbc_signal &s = w->dm->signals[(size_t)k];
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

void on_protect(GtkButton *, gpointer)
{
    int index = sd_page_selected();
    if (index < 0) {
        sd_set_message(_("Select the message to give a counter and checksum."));
        return;
    }
    const sd_msg &m = sd.msgs[index];
    prot_widgets w;
    memset(&w, 0, sizeof w);
    w.dm = sd_db_message_of(index);
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
    if (w.dm)
        for (size_t i = 0; i < w.dm->signals.size(); i++) {
            const dbc_signal &s = w.dm->signals[i];
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
    const char *modes[] = {_("Both bytes (1A)"), _("Alternating (1B)"), _("Low byte (1C low)"),
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
        fill(dp.shown);
}

}  // namespace

GtkWidget *sd_dbpage_build(void)
{
    memset(&dp, 0, sizeof dp);
    dp.shown = -1;
    GtkWidget *row = gtk_hbox_new(FALSE, 6);
    gtk_box_pack_start(GTK_BOX(row), button(_("_Database..."), "sender-database",
                                            G_CALLBACK(on_database)),
                       FALSE, FALSE, 0);
    dp.name = named(gtk_label_new(""), "sender-database-name");
    gtk_box_pack_start(GTK_BOX(row), dp.name, FALSE, FALSE, 0);
    gtk_box_pack_start(GTK_BOX(row), button(_("From data_base..."), "sender-from-db",
                                            G_CALLBACK(on_from_database)),
                       FALSE, FALSE, 0);
    gtk_box_pack_start(GTK_BOX(row), button(_("_Counter and checksum..."), "sender-protect",
                                            G_CALLBACK(on_protect)),
                       FALSE, FALSE, 0);
    sd_dbpage_database_changed();
    return row;
}

GtkWidget *sd_dbpage_signals(void)
{
    GtkWidget *box = gtk_vbox_new(FALSE, 2);
    dp.title = named(gtk_label_new(""), "sender-signals-title");
    gtk_misc_set_alignment(GTK_MISC(dp.title), 0.0f, 0.5f);
    gtk_box_pack_start(GTK_BOX(box), dp.title, FALSE, FALSE, 0);
    dp.store = gtk_list_store_new(SC_N, G_TYPE_STRING, G_TYPE_STRING, G_TYPE_STRING, G_TYPE_STRING,
                                  G_TYPE_STRING, G_TYPE_STRING, G_TYPE_INT, GTK_TYPE_TREE_MODEL,
                                  G_TYPE_BOOLEAN, G_TYPE_BOOLEAN);
    dp.view = named(gtk_tree_view_new_with_model(GTK_TREE_MODEL(dp.store)), "sender-signals");
    g_object_unref(dp.store);
    const char *titles[] = {_("Signal"), _("Value"), _("Unit"), _("Range"), _("Value texts"),
                            _("Role")};
    /* The value texts, the longest, come last. */
    for (int c : {SC_NAME, SC_VALUE, SC_UNIT, SC_RANGE, SC_ROLE, SC_CHOICES}) {
        GtkCellRenderer *r;
        if (c == SC_VALUE) {
            r = gtk_cell_renderer_combo_new();
            g_object_set(r, "text-column", 0, "has-entry", TRUE, NULL);
            g_signal_connect(r, "edited", G_CALLBACK(on_value_edited), nullptr);
        } else {
            r = gtk_cell_renderer_text_new();
        }
        GtkTreeViewColumn *col = gtk_tree_view_column_new_with_attributes(
            titles[c], r, "text", c, "sensitive", SC_SENSITIVE, NULL);
        if (c == SC_VALUE)
            gtk_tree_view_column_set_attributes(col, r, "text", c, "sensitive", SC_SENSITIVE,
                                                "model", SC_MODEL, "editable", SC_EDITABLE, NULL);
        gtk_tree_view_column_set_resizable(col, TRUE);
        gtk_tree_view_append_column(GTK_TREE_VIEW(dp.view), col);
    }
    GtkWidget *scroll = gtk_scrolled_window_new(nullptr, nullptr);
    gtk_scrolled_window_set_policy(GTK_SCROLLED_WINDOW(scroll), GTK_POLICY_AUTOMATIC,
                                   GTK_POLICY_AUTOMATIC);
    gtk_container_add(GTK_CONTAINER(scroll), dp.view);
    gtk_box_pack_start(GTK_BOX(box), scroll, TRUE, TRUE, 0);
    fill(-1);
    return box;
}

void sd_dbpage_release(void)
{
    memset(&dp, 0, sizeof dp);
    dp.shown = -1;
}

void sd_dbpage_show(int index)
{
    fill(index);
}

void sd_dbpage_database_changed(void)
{
    if (!dp.name)
        return;
    if (sd_db_reading()) {
        gtk_label_set_text(GTK_LABEL(dp.name), _("(reading)"));
    } else if (sd_db_path()[0]) {
        gchar *base = g_path_get_basename(sd_db_path());
        gtk_label_set_text(GTK_LABEL(dp.name), base);
        gtk_widget_set_tooltip_text(dp.name, sd_db_path());
        g_free(base);
    } else {
        gtk_label_set_text(GTK_LABEL(dp.name), _("(no database)"));
    }
    fill(dp.shown);
}
