/*
 * dbcpage.cpp - the database part of the sender's page: the database's
 * row of buttons and its file chooser, and the signals of the selected
 * message (values edited in place, value-table texts offered).
 */
#include "sender.h"

#include <math.h>
#include <stdlib.h>
#include <string.h>

#include <string>
#include <vector>

#include "pgparts.h"

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

using pgparts::button;
using pgparts::named;

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
void on_from_database(GtkButton *, gpointer)
{
    sd_pick_dialog();
}

void on_protect(GtkButton *, gpointer)
{
    sd_prot_dialog();
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
    gtk_box_pack_start(GTK_BOX(row), button(_("From data_base..."), "sender-from-db",
                                            G_CALLBACK(on_from_database)),
                       FALSE, FALSE, 0);
    gtk_box_pack_start(GTK_BOX(row), button(_("_Counter and checksum..."), "sender-protect",
                                            G_CALLBACK(on_protect)),
                       FALSE, FALSE, 0);
    /* The database's name last, shortened where the page is narrow, so the
     * buttons always fit. */
    dp.name = named(gtk_label_new(""), "sender-database-name");
    gtk_label_set_ellipsize(GTK_LABEL(dp.name), PANGO_ELLIPSIZE_MIDDLE);
    gtk_misc_set_alignment(GTK_MISC(dp.name), 0.0f, 0.5f);
    gtk_box_pack_start(GTK_BOX(row), dp.name, TRUE, TRUE, 0);
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
        gtk_widget_set_tooltip_text(dp.name, _("(reading)"));
    } else if (sd_db_path()[0]) {
        gchar *base = g_path_get_basename(sd_db_path());
        gtk_label_set_text(GTK_LABEL(dp.name), base);
        gtk_widget_set_tooltip_text(dp.name, sd_db_path());
        g_free(base);
    } else {
        gtk_label_set_text(GTK_LABEL(dp.name), _("(no database)"));
        gtk_widget_set_tooltip_text(dp.name, _("(no database)"));
    }
    fill(dp.shown);
}
