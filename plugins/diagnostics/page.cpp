/*
 * page.cpp - the diagnostics page: tool bar, the list of conversations
 * and messages, the details of the selected one, the tester, the log
 * file bar, the settings dialog, and the refresh four times a second
 * (nothing is drawn while the page is out of sight).
 */
#include "diagnostics.h"
#include "canlog.h"

#include <errno.h>
#include <string.h>

#include <initializer_list>

#include "pgparts.h"
#include "userfile.h"

namespace {

/* Typing in the filter applies it after this pause (Enter at once). */
constexpr guint FILTER_PAUSE_MS = 300;

guint filter_timer;
uint64_t details_seq = UINT64_MAX;
/* While rows keep coming, the list moves at most this often. */
constexpr int64_t LIST_MOVE_US = 1000000;
int64_t list_moved_us;
/* While the pointer is over the list its rows stay where they are, so a
 * click selects the row the user sees. */
bool pointer_on_list;
/* The divider's place from the session, set once the pane is large
 * enough unless the user moved it first; -1 none. Without one the details
 * take two fifths of the pane. */
int want_pane = -1;
bool pane_placed;
GtkWidget *paned;
char status_shown[512];
char message_text[512];
int message_error;

using pgparts::shown;

dgp_store *current_store(void)
{
    return dgp_log_active() ? dgp_log_store() : &dgp.live;
}

GtkAdjustment *list_adjustment(void)
{
    return gtk_scrolled_window_get_vadjustment(GTK_SCROLLED_WINDOW(dgp.view_sw));
}

bool at_end(void)
{
    GtkAdjustment *adj = list_adjustment();
    return gtk_adjustment_get_value(adj) >= gtk_adjustment_get_upper(adj) - gtk_adjustment_get_page_size(adj) - 30;
}

void scroll_to_end(void)
{
    const uint32_t rows = dgp_list_rows(dgp.list);
    if (!rows)
        return;
    GtkTreePath *path = gtk_tree_path_new_from_indices((gint)(rows - 1), -1);
    gtk_tree_view_scroll_to_cell(GTK_TREE_VIEW(dgp.view), path, nullptr, FALSE, 0, 0);
    gtk_tree_path_free(path);
}

void on_paned_allocated(GtkWidget *w, GtkAllocation *a, gpointer)
{
    gint hi = 0;
    g_object_get(w, "max-position", &hi, nullptr);
    if (want_pane >= 0 && want_pane <= hi) {
        gtk_paned_set_position(GTK_PANED(w), want_pane);
        want_pane = -1;
        pane_placed = true;
    } else if (!pane_placed && want_pane < 0 && a->height > 1) {
        gtk_paned_set_position(GTK_PANED(w), a->height * 3 / 5);
        pane_placed = true;
    }
}

gboolean on_paned_pressed(GtkWidget *, GdkEventButton *, gpointer)
{
    want_pane = -1;
    pane_placed = true;
    return FALSE;
}

/* A new store or filter: the view is detached while the list is made again. */
void relist(void)
{
    gtk_tree_view_set_model(GTK_TREE_VIEW(dgp.view), nullptr);
    dgp_filter f;
    memset(&f, 0, sizeof f);
    f.show = (uint8_t)dgp.show;
    char *fold = g_utf8_casefold(dgp.filter_text, -1);
    g_strlcpy(f.text, g_strstrip(fold), sizeof f.text);
    g_free(fold);
    dgp_list_set_store(dgp.list, current_store());
    dgp_list_set_filter(dgp.list, &f);
    gtk_tree_view_set_model(GTK_TREE_VIEW(dgp.view), GTK_TREE_MODEL(dgp.list));
    details_seq = UINT64_MAX;
    scroll_to_end();
}

gboolean on_list_crossing(GtkWidget *, GdkEventCrossing *ev, gpointer)
{
    if (ev->detail != GDK_NOTIFY_INFERIOR)
        pointer_on_list = ev->type == GDK_ENTER_NOTIFY;
    return FALSE;
}

void show_details(void)
{
    GtkTextBuffer *buf = gtk_text_view_get_buffer(GTK_TEXT_VIEW(dgp.details));
    GtkTreeSelection *sel = gtk_tree_view_get_selection(GTK_TREE_VIEW(dgp.view));
    GtkTreeModel *model;
    GtkTreeIter it;
    uint64_t seq = UINT64_MAX;
    if (gtk_tree_selection_get_selected(sel, &model, &it)) {
        GtkTreePath *path = gtk_tree_model_get_path(model, &it);
        if (path) {
            seq = dgp_list_seq(dgp.list, (uint32_t)gtk_tree_path_get_indices(path)[0]);
            gtk_tree_path_free(path);
        }
    }
    details_seq = seq;
    dgp_store *s = current_store();
    GString *text = g_string_new("");
    g_mutex_lock(&s->lock);
    const dgp_row *r = dgp_store_row(s, seq);
    if (r)
        dgp_row_details(s, r, text);
    g_mutex_unlock(&s->lock);
    if (r && dgp.j1939_db_loaded && r->proto == DGP_J1939 && r->status == DGS_MESSAGE)
        dgp_j1939_signals(s, seq, text);
    gtk_text_buffer_set_text(buf, text->str, -1);
    g_string_free(text, TRUE);
}

void set_status(void)
{
    dgp_store *s = current_store();
    char text[512];
    g_mutex_lock(&s->lock);
    const uint64_t rows = s->next - s->first, dropped = s->dropped;
    g_mutex_unlock(&s->lock);
    if (message_text[0])
        g_strlcpy(text, message_text, sizeof text);
    else {
        char n_rows[64], gone[128];
        g_snprintf(n_rows, sizeof n_rows,
                   g_dngettext(GETTEXT_PACKAGE, "%llu row", "%llu rows", (unsigned long)rows),
                   (unsigned long long)rows);
        g_snprintf(gone, sizeof gone,
                   g_dngettext(GETTEXT_PACKAGE, "%llu older row gave way", "%llu older rows gave way",
                               (unsigned long)dropped),
                   (unsigned long long)dropped);
        if (dropped)
            /* TRANSLATORS: "12 rows", the number listed, "3 older rows gave way" */
            g_snprintf(text, sizeof text, _("%s, %u listed; %s"), n_rows, dgp_list_rows(dgp.list), gone);
        else
            /* TRANSLATORS: "12 rows", the number listed */
            g_snprintf(text, sizeof text, _("%s, %u listed"), n_rows, dgp_list_rows(dgp.list));
    }
    if (strcmp(text, status_shown) == 0)
        return;
    g_strlcpy(status_shown, text, sizeof status_shown);
    dgp_label_set(dgp.status_label, text, message_error);
}

void set_log_bar(void)
{
    if (!dgp_log_active()) {
        gtk_widget_hide(dgp.log_bar);
        gtk_widget_set_sensitive(dgp.pause_button, TRUE);
        return;
    }
    char text[1024];
    double fraction = 0;
    int done = 0;
    dgp_log_progress(text, sizeof text, &fraction, &done);
    gtk_label_set_text(GTK_LABEL(dgp.log_label), text);
    gtk_progress_bar_set_fraction(GTK_PROGRESS_BAR(dgp.log_progress), fraction);
    if (done)
        gtk_widget_hide(dgp.log_progress);
    else
        gtk_widget_show(dgp.log_progress);
    gtk_widget_show(dgp.log_bar);
    gtk_widget_set_sensitive(dgp.pause_button, FALSE);
}

gboolean on_refresh(gpointer)
{
    dgp_tick();
    dgp_page_refresh();
    return TRUE;
}

gboolean on_filter_pause(gpointer)
{
    filter_timer = 0;
    g_strlcpy(dgp.filter_text, gtk_entry_get_text(GTK_ENTRY(dgp.filter_entry)), sizeof dgp.filter_text);
    relist();
    set_status();
    return FALSE;
}

void on_filter_changed(GtkEditable *, gpointer)
{
    if (dgp.updating)
        return;
    if (filter_timer)
        g_source_remove(filter_timer);
    filter_timer = g_timeout_add(FILTER_PAUSE_MS, on_filter_pause, nullptr);
}

void on_filter_activate(GtkEntry *, gpointer)
{
    if (filter_timer)
        g_source_remove(filter_timer);
    on_filter_pause(nullptr);
}

void on_show_changed(GtkComboBox *c, gpointer)
{
    if (dgp.updating)
        return;
    dgp.show = gtk_combo_box_get_active(c);
    relist();
    set_status();
}

void on_pause(GtkToggleButton *b, gpointer)
{
    if (!dgp.updating)
        dgp.paused = gtk_toggle_button_get_active(b);
}

void on_clear(GtkButton *, gpointer)
{
    dgp_store_clear(&dgp.live);
    if (!dgp_log_active())
        relist();
    dgp_page_message("", 0);
}

void on_selection(GtkTreeSelection *, gpointer)
{
    show_details();
}

/* Runs a chooser of a kind of file (NB_FOLDER_*), started where the last
 * one of that kind ended. */
char *choose_file(const char *title, GtkFileChooserAction action, int kind, const char *name,
                  const char *const *patterns, const char *patterns_name)
{
    return pgparts::choose_file({title, action, kind, nullptr, name, patterns_name, patterns, _("All files")});
}

void on_export(GtkButton *, gpointer)
{
    static const char *const csv[] = {"*.csv", "*.CSV", nullptr};
    char *path = choose_file(_("Export the list as CSV"), GTK_FILE_CHOOSER_ACTION_SAVE, NB_FOLDER_EXPORTS,
                             "diagnostics.csv", csv, _("CSV files (*.csv)"));
    if (!path || !dgp.page) {
        g_free(path);
        return;
    }
    const int rc = dgp_export_csv(path, current_store(), dgp.list);
    char *shown_name = g_filename_display_name(path);
    char msg[1024];
    if (rc == 0)
        g_snprintf(msg, sizeof msg,
                   g_dngettext(GETTEXT_PACKAGE, "Written: %s (%u row)", "Written: %s (%u rows)",
                               dgp_list_rows(dgp.list)),
                   shown_name, dgp_list_rows(dgp.list));
    else
        g_snprintf(msg, sizeof msg, _("Could not write %s: %s"), shown_name, uf_strerror(rc));
    g_free(shown_name);
    g_free(path);
    dgp_page_message(msg, rc != 0);
}

void on_open_log(GtkButton *, gpointer)
{
    gchar *filter_name = g_strdup_printf(_("Log files (%s)"), cl_format_patterns());
    char *path = choose_file(_("Open a log file"), GTK_FILE_CHOOSER_ACTION_OPEN, NB_FOLDER_LOGS, nullptr,
                             cl_format_globs(), filter_name);
    g_free(filter_name);
    if (!path || !dgp.page) {
        g_free(path);
        return;
    }
    char msg[1024];
    const int was_log = dgp_log_active();
    const int rc = dgp_log_open(path, msg, sizeof msg);
    g_free(path);
    if (rc != 0) {
        dgp_page_message(msg, 1);
        if (was_log && !dgp_log_active()) {
            relist();   /* the old log went before its successor failed */
            set_log_bar();
        }
        return;
    }
    dgp_page_message("", 0);
    relist();
    set_log_bar();
}

void on_back(GtkButton *, gpointer)
{
    dgp_log_close();
    relist();
    set_log_bar();
    set_status();
}

/* ------------------------------------------------------------ settings */

void on_db_choose(GtkButton *b, gpointer entry)
{
    static const char *const dbc[] = {"*.dbc", "*.DBC", nullptr};
    char *path = choose_file(_("J1939 database"), GTK_FILE_CHOOSER_ACTION_OPEN, NB_FOLDER_DBC, nullptr, dbc,
                             _("DBC databases (*.dbc)"));
    if (path) {
        char *utf8 = g_filename_to_utf8(path, -1, nullptr, nullptr, nullptr);
        if (utf8)
            gtk_entry_set_text(GTK_ENTRY(entry), utf8);
        g_free(utf8);
    }
    g_free(path);
    (void)b;
}

void on_settings(GtkButton *, gpointer)
{
    GtkWidget *dlg = gtk_dialog_new_with_buttons(_("Diagnostics settings"), GTK_WINDOW(nb_mainwin),
                                                 (GtkDialogFlags)(GTK_DIALOG_MODAL | GTK_DIALOG_DESTROY_WITH_PARENT),
                                                 GTK_STOCK_CANCEL, GTK_RESPONSE_CANCEL, GTK_STOCK_OK,
                                                 GTK_RESPONSE_OK, nullptr);
    gtk_widget_set_name(dlg, "diag-settings");
    GtkWidget *box = gtk_vbox_new(FALSE, 6);
    gtk_container_set_border_width(GTK_CONTAINER(box), 8);
    gtk_box_pack_start(GTK_BOX(gtk_dialog_get_content_area(GTK_DIALOG(dlg))), box, TRUE, TRUE, 0);

    GtkWidget *label = gtk_label_new(_("Your address pairs (request/response; 8 digits for 29-bit identifiers, "
                                       "ID:AE for extended and ID@AE for mixed addressing, one ID alone for a "
                                       "functional address), separated by semicolons:"));
    gtk_label_set_line_wrap(GTK_LABEL(label), TRUE);
    gtk_misc_set_alignment(GTK_MISC(label), 0, 0.5);
    gtk_box_pack_start(GTK_BOX(box), label, FALSE, FALSE, 0);
    GtkWidget *pairs = gtk_entry_new();
    gtk_widget_set_name(pairs, "diag-settings-pairs");
    gtk_entry_set_text(GTK_ENTRY(pairs), dgp.pairs_text);
    gtk_box_pack_start(GTK_BOX(box), pairs, FALSE, FALSE, 0);
    GtkWidget *presets = gtk_check_button_new_with_mnemonic(
        _("_Preset pairs: 7DF, 7E0-7E7/7E8-7EF, 29-bit 18DA/18DB and 18CE/18CD"));
    gtk_toggle_button_set_active(GTK_TOGGLE_BUTTON(presets), dgp.presets);
    gtk_box_pack_start(GTK_BOX(box), presets, FALSE, FALSE, 0);
    GtkWidget *find = gtk_check_button_new_with_mnemonic(_("_Find pairs in the traffic (first frame and flow control)"));
    gtk_toggle_button_set_active(GTK_TOGGLE_BUTTON(find), dgp.find_pairs);
    gtk_box_pack_start(GTK_BOX(box), find, FALSE, FALSE, 0);
    GtkWidget *j1939 = gtk_check_button_new_with_mnemonic(_("Read other 29-bit frames as _J1939"));
    gtk_toggle_button_set_active(GTK_TOGGLE_BUTTON(j1939), dgp.j1939);
    gtk_box_pack_start(GTK_BOX(box), j1939, FALSE, FALSE, 0);
    GtkWidget *singles = gtk_check_button_new_with_mnemonic(
        _("List every _single-frame J1939 parameter group (not only transfers, address claims and DM1/DM2)"));
    gtk_toggle_button_set_active(GTK_TOGGLE_BUTTON(singles), dgp.j1939_singles);
    gtk_box_pack_start(GTK_BOX(box), singles, FALSE, FALSE, 0);
    GtkWidget *row = gtk_hbox_new(FALSE, 6);
    gtk_box_pack_start(GTK_BOX(row), gtk_label_new(_("J1939 database:")), FALSE, FALSE, 0);
    GtkWidget *db = gtk_entry_new();
    gtk_widget_set_name(db, "diag-settings-db");
    gtk_entry_set_text(GTK_ENTRY(db), dgp.j1939_db);
    gtk_box_pack_start(GTK_BOX(row), db, TRUE, TRUE, 0);
    GtkWidget *choose = gtk_button_new_with_mnemonic(_("_Choose..."));
    g_signal_connect(choose, "clicked", G_CALLBACK(on_db_choose), db);
    gtk_box_pack_start(GTK_BOX(row), choose, FALSE, FALSE, 0);
    gtk_box_pack_start(GTK_BOX(box), row, FALSE, FALSE, 0);
    GtkWidget *error = gtk_label_new("");
    gtk_box_pack_start(GTK_BOX(box), error, FALSE, FALSE, 0);
    gtk_widget_show_all(dlg);

    nbpg_loadrelease_enable();
    for (;;) {
        if (gtk_dialog_run(GTK_DIALOG(dlg)) != GTK_RESPONSE_OK || !dgp.page)
            break;
        itp_pair p[32];
        char bad[64], msg[512];
        if (dgp_parse_pairs(gtk_entry_get_text(GTK_ENTRY(pairs)), p, 32, bad, sizeof bad) < 0) {
            g_snprintf(msg, sizeof msg, _("Not an address pair: \"%s\""), bad);
            gtk_label_set_text(GTK_LABEL(error), msg);
            continue;
        }
        const char *dbpath = gtk_entry_get_text(GTK_ENTRY(db));
        if (strcmp(dbpath, dgp.j1939_db) != 0 && dgp_j1939_load(dbpath, msg, sizeof msg) != 0) {
            gtk_label_set_text(GTK_LABEL(error), msg);
            continue;
        }
        g_strlcpy(dgp.pairs_text, gtk_entry_get_text(GTK_ENTRY(pairs)), sizeof dgp.pairs_text);
        dgp.presets = gtk_toggle_button_get_active(GTK_TOGGLE_BUTTON(presets));
        dgp.find_pairs = gtk_toggle_button_get_active(GTK_TOGGLE_BUTTON(find));
        dgp.j1939 = gtk_toggle_button_get_active(GTK_TOGGLE_BUTTON(j1939));
        dgp.j1939_singles = gtk_toggle_button_get_active(GTK_TOGGLE_BUTTON(singles));
        dgp_apply_config();
        break;
    }
    gtk_widget_destroy(dlg);
    nbpg_loadrelease_disable();
}

using pgparts::button;

using pgparts::text_width;

/* A column as wide as its title and the widest of its sample texts, in
 * the language and font shown (the summary takes what is left). */
void add_column(GtkTreeView *view, const char *title, int col, std::initializer_list<const char *> samples,
                bool expand)
{
    unsigned flags = pgparts::COLUMN_FIXED | (expand ? pgparts::COLUMN_EXPAND | pgparts::COLUMN_ELLIPSIZE : 0);
    GtkTreeViewColumn *c = pgparts::text_column(GTK_WIDGET(view), title, col, flags, 0, samples);
    gtk_tree_view_column_add_attribute(c, pgparts::column_cell(c), "cell-background", DGP_N_COLS);
}

}  // namespace

GtkWidget *dgp_page_build(void)
{
    GtkWidget *page = gtk_vbox_new(FALSE, 4);
    gtk_container_set_border_width(GTK_CONTAINER(page), 4);

    GtkWidget *bar = gtk_hbox_new(FALSE, 6);
    gtk_box_pack_start(GTK_BOX(page), bar, FALSE, FALSE, 0);
    gtk_box_pack_start(GTK_BOX(bar), gtk_label_new(_("Show:")), FALSE, FALSE, 0);
    dgp.show_combo = gtk_combo_box_new_text();
    gtk_widget_set_name(dgp.show_combo, "diag-show");
    const char *shows[] = {_("All"), "UDS", "OBD-II", "J1939", _("Errors and negative answers")};
    for (const char *s : shows)
        gtk_combo_box_append_text(GTK_COMBO_BOX(dgp.show_combo), s);
    g_signal_connect(dgp.show_combo, "changed", G_CALLBACK(on_show_changed), nullptr);
    gtk_box_pack_start(GTK_BOX(bar), dgp.show_combo, FALSE, FALSE, 0);
    dgp.pause_button = gtk_toggle_button_new_with_mnemonic(_("Pa_use"));
    gtk_widget_set_name(dgp.pause_button, "diag-pause");
    g_signal_connect(dgp.pause_button, "toggled", G_CALLBACK(on_pause), nullptr);
    gtk_box_pack_start(GTK_BOX(bar), dgp.pause_button, FALSE, FALSE, 0);
    button(bar, _("C_lear"), "diag-clear", G_CALLBACK(on_clear));
    GtkWidget *right = gtk_hbox_new(FALSE, 6);
    gtk_box_pack_end(GTK_BOX(bar), right, FALSE, FALSE, 0);
    button(right, _("_Export CSV..."), "diag-export", G_CALLBACK(on_export));
    dgp.log_button = button(right, _("_Open log..."), "diag-open-log", G_CALLBACK(on_open_log));
    button(right, _("Se_ttings..."), "diag-settings-button", G_CALLBACK(on_settings));

    GtkWidget *frow = gtk_hbox_new(FALSE, 6);
    gtk_box_pack_start(GTK_BOX(page), frow, FALSE, FALSE, 0);
    gtk_box_pack_start(GTK_BOX(frow), gtk_label_new(_("Filter:")), FALSE, FALSE, 0);
    dgp.filter_entry = gtk_entry_new();
    gtk_widget_set_name(dgp.filter_entry, "diag-filter");
    gtk_widget_set_tooltip_text(dgp.filter_entry, _("Text in the addresses, service or summary, e.g. 7E8, "
                                                    "ReadDataByIdentifier, VIN, DM1"));
    g_signal_connect(dgp.filter_entry, "changed", G_CALLBACK(on_filter_changed), nullptr);
    g_signal_connect(dgp.filter_entry, "activate", G_CALLBACK(on_filter_activate), nullptr);
    gtk_box_pack_start(GTK_BOX(frow), dgp.filter_entry, TRUE, TRUE, 0);

    GtkWidget *lb = nullptr;
    dgp.log_bar = pgparts::log_banner(nullptr, &lb);
    dgp.log_label = gtk_label_new("");
    gtk_widget_set_name(dgp.log_label, "diag-log-label");
    gtk_misc_set_alignment(GTK_MISC(dgp.log_label), 0, 0.5);
    gtk_label_set_ellipsize(GTK_LABEL(dgp.log_label), PANGO_ELLIPSIZE_MIDDLE);
    gtk_box_pack_start(GTK_BOX(lb), dgp.log_label, TRUE, TRUE, 0);
    dgp.log_progress = gtk_progress_bar_new();
    gtk_box_pack_start(GTK_BOX(lb), dgp.log_progress, FALSE, FALSE, 0);
    dgp.back_button = button(lb, _("_Back to live"), "diag-back", G_CALLBACK(on_back));
    gtk_box_pack_start(GTK_BOX(page), dgp.log_bar, FALSE, FALSE, 0);
    gtk_widget_set_no_show_all(dgp.log_bar, TRUE);
    gtk_widget_show_all(lb);

    paned = gtk_vpaned_new();
    gtk_widget_set_name(paned, "diag-paned");
    pane_placed = false;
    want_pane = -1;
    g_signal_connect(paned, "size-allocate", G_CALLBACK(on_paned_allocated), nullptr);
    g_signal_connect(paned, "button-press-event", G_CALLBACK(on_paned_pressed), nullptr);
    g_signal_connect(paned, "destroy", G_CALLBACK(gtk_widget_destroyed), &paned);
    gtk_box_pack_start(GTK_BOX(page), paned, TRUE, TRUE, 0);
    dgp.list = dgp_list_new(&dgp.live);
    dgp.view = gtk_tree_view_new_with_model(GTK_TREE_MODEL(dgp.list));
    gtk_widget_set_name(dgp.view, "diag-list");
    GtkTreeView *tv = GTK_TREE_VIEW(dgp.view);
    add_column(tv, _("Time"), DGP_COL_TIME, {"00000.000000"}, false);
    add_column(tv, _("Addresses"), DGP_COL_ADDR, {"18DA10F1 \u2192 18DAF110"}, false);
    add_column(tv, _("Protocol"), DGP_COL_PROTO, {"OBD-II FD", "ISO-TP FD"}, false);
    add_column(tv, _("Service / PGN"), DGP_COL_SERVICE, {"22 ReadDataByIdentifier", "65226 DM1"}, false);
    add_column(tv, _("Length"), DGP_COL_LEN, {"4095 / 4095"}, false);
    add_column(tv, _("Status"), DGP_COL_STATUS,
               {dgp_status_text(DGS_NO_RESPONSE), dgp_status_text(DGS_NEGATIVE), dgp_status_text(DGS_SUPPRESSED),
                dgp_status_text(DGS_UNASKED), dgp_status_text(DGS_WAITING), dgp_status_text(DGS_PENDING)},
               false);
    /* The columns fit a window on a 1280-pixel screen; the summary takes
     * what is left. */
    add_column(tv, _("Summary"), DGP_COL_SUMMARY, {"ReadDataByIdentifier: F190 VIN"}, true);
    gtk_tree_view_set_fixed_height_mode(tv, TRUE);
    gtk_tree_view_set_rules_hint(tv, TRUE);
    g_signal_connect(gtk_tree_view_get_selection(tv), "changed", G_CALLBACK(on_selection), nullptr);
    pointer_on_list = false;
    g_signal_connect(dgp.view, "enter-notify-event", G_CALLBACK(on_list_crossing), nullptr);
    g_signal_connect(dgp.view, "leave-notify-event", G_CALLBACK(on_list_crossing), nullptr);
    dgp.view_sw = pgparts::scrolled(dgp.view, GTK_POLICY_ALWAYS);
    gtk_paned_pack1(GTK_PANED(paned), dgp.view_sw, TRUE, FALSE);

    dgp.details = gtk_text_view_new();
    gtk_widget_set_name(dgp.details, "diag-details");
    gtk_text_view_set_editable(GTK_TEXT_VIEW(dgp.details), FALSE);
    PangoFontDescription *mono = pango_font_description_from_string("Monospace 9");
    gtk_widget_modify_font(dgp.details, mono);
    pango_font_description_free(mono);
    GtkWidget *dsw = pgparts::scrolled(dgp.details);
    /* Room for a request's decoded fields and some lines of bytes. */
    gtk_widget_set_size_request(dsw, -1, 190);
    gtk_paned_pack2(GTK_PANED(paned), dsw, FALSE, TRUE);

    gtk_box_pack_start(GTK_BOX(page), dgp_tester_build(), FALSE, FALSE, 0);
    dgp.status_label = gtk_label_new("");
    gtk_widget_set_name(dgp.status_label, "diag-status");
    gtk_misc_set_alignment(GTK_MISC(dgp.status_label), 0, 0.5);
    gtk_label_set_ellipsize(GTK_LABEL(dgp.status_label), PANGO_ELLIPSIZE_END);
    gtk_box_pack_start(GTK_BOX(page), dgp.status_label, FALSE, FALSE, 0);

    dgp.page = page;
    g_signal_connect(page, "destroy", G_CALLBACK(gtk_widget_destroyed), &dgp.page);
    status_shown[0] = message_text[0] = 0;
    details_seq = UINT64_MAX;
    dgp_page_sync_widgets();
    dgp_page_fit_addresses();
    gtk_widget_show_all(page);
    dgp.refresh_source = g_timeout_add_full(G_PRIORITY_DEFAULT_IDLE, DGP_REFRESH_MS, on_refresh, nullptr, nullptr);
    return page;
}

void dgp_page_release(void)
{
    if (dgp.refresh_source)
        g_source_remove(dgp.refresh_source);
    dgp.refresh_source = 0;
    if (filter_timer)
        g_source_remove(filter_timer);
    filter_timer = 0;
    dgp_tester_release();
    dgp_log_close();
    if (dgp.view)
        gtk_tree_view_set_model(GTK_TREE_VIEW(dgp.view), nullptr);
    if (dgp.list)
        g_object_unref(dgp.list);
    dgp.list = nullptr;
    dgp.view = nullptr;
    dgp_j1939_free();
}

/* Brings the list up to the store (out of sight: only the counts). */
void dgp_page_refresh(void)
{
    if (!dgp.list)
        return;
    if (dgp_log_active())
        set_log_bar();
    if (!shown(dgp.view))
        return;
    dgp_store *s = current_store();
    const bool follow = at_end();
    const uint32_t before = dgp_list_rows(dgp.list);
    /* New rows make the view draw every row in sight again: while rows
     * keep coming the list moves once a second, a single new row shows at
     * the next refresh. */
    const int64_t now = g_get_monotonic_time();
    const uint64_t pending = dgp_list_pending(dgp.list);
    if (pending && !pointer_on_list && (now - list_moved_us >= LIST_MOVE_US || (pending == 1 && now - list_moved_us >= DGP_REFRESH_MS * 1000))) {
        dgp_list_sync(dgp.list);
        list_moved_us = now;
    }
    /* Rows that changed in place are drawn again; new rows the view draws
     * as they come in sight. */
    uint64_t updated[G_N_ELEMENTS(s->updated)];
    g_mutex_lock(&s->lock);
    const uint32_t nupdated = s->nupdated;
    const int overflow = s->updated_overflow;
    memcpy(updated, s->updated, nupdated * sizeof updated[0]);
    s->nupdated = 0;
    s->updated_overflow = 0;
    g_mutex_unlock(&s->lock);
    bool details = overflow;
    for (uint32_t i = 0; i < nupdated; i++) {
        dgp_list_row_changed(dgp.list, updated[i]);
        details = details || updated[i] == details_seq;
    }
    if (overflow)
        gtk_widget_queue_draw(dgp.view);
    if (details && details_seq != UINT64_MAX)
        show_details();
    if (follow && dgp_list_rows(dgp.list) != before)
        scroll_to_end();
    set_status();
}

void dgp_page_save_pane(void *file)
{
    /* A page never shown has no place of its own yet. */
    if (want_pane >= 0 || (paned && pane_placed))
        nbkit_save_int(file, "DetailsPane", want_pane >= 0 ? want_pane : gtk_paned_get_position(GTK_PANED(paned)));
}

bool dgp_page_pane_key(const pgrp_session_key *key)
{
    int32_t v = 0;
    if (!nbkit_key_int(key, "DetailsPane", &v))
        return false;
    if (v >= 0) {
        want_pane = v;
        if (paned)
            gtk_widget_queue_resize(paned);
    }
    return true;
}

/* With several channels each address starts with its channel's name: the
 * column widens to a 29-bit pair after the longest name. */
void dgp_page_fit_addresses(void)
{
    GtkTreeViewColumn *c = dgp.view ? gtk_tree_view_get_column(GTK_TREE_VIEW(dgp.view), DGP_COL_ADDR) : nullptr;
    if (!c || dgp.nchan < 2)
        return;
    GList *cells = gtk_cell_layout_get_cells(GTK_CELL_LAYOUT(c));
    int xpad = 0;
    if (cells)
        g_object_get(cells->data, "xpad", &xpad, nullptr);
    g_list_free(cells);
    int need = 0;
    for (int i = 0; i < dgp.nchan; i++) {
        char name[32], text[64];
        if (nb_chan_get_name(i, name, sizeof name) != 0 || !name[0])
            g_snprintf(name, sizeof name, "#%d", i);
        g_snprintf(text, sizeof text, "%s: 18DA10F1 \u2192 18DAF110", name);
        need = MAX(need, text_width(dgp.view, text) + 2 * xpad + 8);
    }
    if (gtk_tree_view_column_get_fixed_width(c) < need)
        gtk_tree_view_column_set_fixed_width(c, need);
}

/* A label's text, in red for a failure. */
void dgp_label_set(GtkWidget *label, const char *text, int error)
{
    if (error) {
        char *m = g_markup_printf_escaped("<span foreground=\"#b00000\">%s</span>", text);
        gtk_label_set_markup(GTK_LABEL(label), m);
        g_free(m);
    } else {
        gtk_label_set_text(GTK_LABEL(label), text);
    }
}

void dgp_page_message(const char *text, int error)
{
    g_strlcpy(message_text, text, sizeof message_text);
    message_error = error && text[0];
    status_shown[0] = 0;
    if (dgp.status_label)
        set_status();
}

/* The widgets from the settings (after a session was read). */
void dgp_page_sync_widgets(void)
{
    if (!dgp.page)
        return;
    dgp.updating++;
    gtk_combo_box_set_active(GTK_COMBO_BOX(dgp.show_combo), dgp.show);
    gtk_entry_set_text(GTK_ENTRY(dgp.filter_entry), dgp.filter_text);
    gtk_toggle_button_set_active(GTK_TOGGLE_BUTTON(dgp.pause_button), dgp.paused);
    dgp.updating--;
    relist();
    set_log_bar();
}
