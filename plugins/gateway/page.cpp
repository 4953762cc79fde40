/*
 * page.cpp - the gateway's page: Start and Stop, the rules with their
 * counters, the forwarding delay, and the rule editor below them.
 */
#include "gateway.h"

#include <stdio.h>
#include <string.h>

#include <initializer_list>

#include "pgparts.h"

namespace {

using pgparts::named;

void channel_name(int c, char *buf, size_t size)
{
    char name[32];
    if (c < gwp.nchan && nb_chan_get_name(c, name, sizeof name) == 0)
        snprintf(buf, size, "%d: %s", c, name);
    else
        snprintf(buf, size, _("%d: (none)"), c);
}

int selected_row(void)
{
    GtkTreeModel *m;
    GtkTreeIter it;
    GtkTreeSelection *sel = gtk_tree_view_get_selection(GTK_TREE_VIEW(gwp.view));
    if (!gtk_tree_selection_get_selected(sel, &m, &it))
        return -1;
    GtkTreePath *p = gtk_tree_model_get_path(m, &it);
    const int row = gtk_tree_path_get_indices(p)[0];
    gtk_tree_path_free(p);
    return row;
}

void select_row(int row)
{
    GtkTreePath *p = gtk_tree_path_new_from_indices(row, -1);
    gtk_tree_selection_select_path(gtk_tree_view_get_selection(GTK_TREE_VIEW(gwp.view)), p);
    gtk_tree_path_free(p);
}

/* Takes the texts into the engine; on failure the old rules stay. */
bool take(unsigned n_before, const char (*before)[CANGW_TEXT_MAX])
{
    const char *why = nullptr;
    if (gwp_apply_rules(&why) != 0) {
        gwp.nrules = n_before;
        memcpy(gwp.text, before, n_before * sizeof gwp.text[0]);
        gwp_apply_rules(nullptr);
        gwp_page_message(why ? _(why) : "");
        return false;
    }
    gwp_page_rules();
    gwp_page_message("");
    return true;
}

/* Add, Change (the selected rule) and Remove. */
void on_rule(GtkButton *, gpointer what)
{
    static char before[CANGW_MAX_RULES][CANGW_TEXT_MAX];
    const unsigned n = gwp.nrules;
    memcpy(before, gwp.text, n * sizeof gwp.text[0]);
    const int kind = GPOINTER_TO_INT(what);
    const int row = selected_row();
    if (kind == 2) {
        if (row < 0 || (unsigned)row >= n)
            return;
        memmove(gwp.text[row], gwp.text[row + 1], (n - (unsigned)row - 1) * sizeof gwp.text[0]);
        gwp.nrules--;
        take(n, before);
        return;
    }
    char text[CANGW_TEXT_MAX];
    const char *why = nullptr;
    if (gwp_edit_text(text, sizeof text, &why) != 0) {
        gwp_page_message(why);
        return;
    }
    if (kind == 0) {
        if (n >= CANGW_MAX_RULES) {
            gwp_page_message(_("No more rules fit."));
            return;
        }
        g_strlcpy(gwp.text[gwp.nrules++], text, CANGW_TEXT_MAX);
        if (take(n, before))
            select_row((int)gwp.nrules - 1);
    } else {
        if (row < 0 || (unsigned)row >= n) {
            gwp_page_message(_("Choose the rule to change in the table."));
            return;
        }
        g_strlcpy(gwp.text[row], text, CANGW_TEXT_MAX);
        if (take(n, before))
            select_row(row);
    }
}

void on_select(GtkTreeSelection *, gpointer)
{
    const int row = selected_row();
    if (row >= 0 && (unsigned)row < gwp.nrules)
        gwp_edit_show(gwp.text[row]);
}

void on_start(GtkButton *, gpointer)
{
    gwp_start();
}

void on_stop(GtkButton *, gpointer)
{
    gwp_stop();
}

void on_max_hops(GtkSpinButton *s, gpointer)
{
    gwp.gw.max_hops = (uint8_t)gtk_spin_button_get_value_as_int(s);
}

gboolean on_timer(gpointer)
{
    gwp_page_counters();
    return TRUE;
}

void on_destroy(GtkWidget *, gpointer)
{
    if (gwp.timer)
        g_source_remove(gwp.timer);
    gwp.timer = 0;
    gwp.page = nullptr;
}

GtkWidget *column_label(const char *text)
{
    GtkWidget *l = gtk_label_new(text);
    gtk_misc_set_alignment(GTK_MISC(l), 0, 0.5);
    return l;
}

GtkWidget *editor(void)
{
    GtkWidget *t = gtk_table_new(5, 4, FALSE);
    gtk_table_set_row_spacings(GTK_TABLE(t), 4);
    gtk_table_set_col_spacings(GTK_TABLE(t), 6);
    gwp.src = gtk_combo_box_text_new();
    gwp.dst = gtk_combo_box_text_new();
    named(gwp.src, "gateway-src");
    named(gwp.dst, "gateway-dst");
    gwp.filter = gtk_entry_new();
    gwp.mods = gtk_entry_new();
    gwp.checksum = gtk_entry_new();
    named(gwp.filter, "gateway-filter");
    named(gwp.mods, "gateway-mods");
    named(gwp.checksum, "gateway-checksum");
    gtk_widget_set_tooltip_text(gwp.filter, _("Identifier and mask, as 123:7FF; 123~7FF passes "
                                              "every other identifier. Empty: every frame."));
    gtk_widget_set_tooltip_text(gwp.mods, _("AND, OR, XOR and SET, applied in that order, each as "
                                            "SET:ID:123.0.1122334455667788 (I identifier, L length, "
                                            "D data, F FD flags), separated by spaces."));
    gtk_widget_set_tooltip_text(gwp.checksum, _("-x from:to:result:init (XOR), -c "
                                                "from:to:result:init:final:polynomial (CRC8) with "
                                                "-p 1:byte, -p 2:16 bytes or -p 3, -E P1:dataid:mode "
                                                "or -E P2:16 bytes (AUTOSAR E2E). Negative indexes "
                                                "count from the end of the frame."));
    gwp.fd = gtk_check_button_new_with_mnemonic(_("_FD rule (CAN FD frames only)"));
    gwp.fd_to_classic = gtk_check_button_new_with_mnemonic(
        _("FD frames of up to 8 bytes may go to a _classic channel"));
    gwp.hops = gtk_spin_button_new_with_range(0, CANGW_MAX_HOPS, 1);
    named(gwp.fd, "gateway-fd");
    named(gwp.fd_to_classic, "gateway-fd-classic");
    named(gwp.hops, "gateway-hops");
    gtk_widget_set_tooltip_text(gwp.hops, _("0: the gateway's limit"));

    gtk_table_attach(GTK_TABLE(t), column_label(_("From")), 0, 1, 0, 1, GTK_FILL, GTK_FILL, 0, 0);
    gtk_table_attach(GTK_TABLE(t), gwp.src, 1, 2, 0, 1, GTK_FILL, GTK_FILL, 0, 0);
    gtk_table_attach(GTK_TABLE(t), column_label(_("To")), 2, 3, 0, 1, GTK_FILL, GTK_FILL, 0, 0);
    gtk_table_attach(GTK_TABLE(t), gwp.dst, 3, 4, 0, 1, GTK_FILL, GTK_FILL, 0, 0);
    const struct { const char *label; GtkWidget *w; } rows[] = {
        {_("Filter"), gwp.filter}, {_("Modifications"), gwp.mods}, {_("Checksum"), gwp.checksum}};
    for (unsigned i = 0; i < 3; i++) {
        gtk_table_attach(GTK_TABLE(t), column_label(rows[i].label), 0, 1, i + 1, i + 2, GTK_FILL,
                         GTK_FILL, 0, 0);
        gtk_table_attach(GTK_TABLE(t), rows[i].w, 1, 4, i + 1, i + 2,
                         (GtkAttachOptions)(GTK_FILL | GTK_EXPAND), GTK_FILL, 0, 0);
    }
    GtkWidget *opts = gtk_hbox_new(FALSE, 8);
    gtk_box_pack_start(GTK_BOX(opts), gwp.fd, FALSE, FALSE, 0);
    gtk_box_pack_start(GTK_BOX(opts), gwp.fd_to_classic, FALSE, FALSE, 0);
    gtk_box_pack_start(GTK_BOX(opts), gtk_label_new(_("Hop limit")), FALSE, FALSE, 0);
    gtk_box_pack_start(GTK_BOX(opts), gwp.hops, FALSE, FALSE, 0);
    gtk_table_attach(GTK_TABLE(t), opts, 0, 4, 4, 5, GTK_FILL, GTK_FILL, 0, 0);
    return t;
}

}  // namespace

void gwp_page_message(const char *text)
{
    if (gwp.message)
        gtk_label_set_text(GTK_LABEL(gwp.message), text ? text : "");
}

void gwp_page_channels(void)
{
    if (!gwp.page)
        return;
    for (GtkWidget *combo : {gwp.src, gwp.dst}) {
        const int active = gtk_combo_box_get_active(GTK_COMBO_BOX(combo));
        pgparts::fill_channels(GTK_COMBO_BOX(combo), nullptr, MIN(gwp.nchan, CANGW_MAX_CHANNELS), channel_name,
                               active >= 0 && active < gwp.nchan ? active : 0);
    }
    gwp_page_rules();
}

void gwp_page_rules(void)
{
    if (!gwp.page)
        return;
    gtk_spin_button_set_value(GTK_SPIN_BUTTON(gwp.max_hops), gwp.gw.max_hops);
    gtk_list_store_clear(gwp.rules);
    for (unsigned i = 0; i < gwp.nrules; i++) {
        const cangw_rule &r = gwp.gw.rule[i];
        char src[48], dst[48], text[CANGW_TEXT_MAX];
        channel_name(r.src, src, sizeof src);
        channel_name(r.dst, dst, sizeof dst);
        /* The rule without its channels, which have their own columns. */
        const char *t = gwp.text[i];
        for (int k = 0; k < 2; k++) {
            while (*t == ' ')
                t++;
            if (t[0] == '-' && (t[1] == 's' || t[1] == 'd')) {
                t += 2;
                while (*t == ' ')
                    t++;
                while (*t && *t != ' ')
                    t++;
            }
        }
        while (*t == ' ')
            t++;
        g_strlcpy(text, t, sizeof text);
        GtkTreeIter it;
        gtk_list_store_append(gwp.rules, &it);
        gtk_list_store_set(gwp.rules, &it, GWP_COL_NUM, i + 1, GWP_COL_SRC, src, GWP_COL_DST, dst,
                           GWP_COL_RULE, text, -1);
    }
    gwp_page_counters();
}

void gwp_page_counters(void)
{
    if (!gwp.page)
        return;
    GtkTreeIter it;
    gboolean ok = gtk_tree_model_get_iter_first(GTK_TREE_MODEL(gwp.rules), &it);
    for (unsigned i = 0; ok && i < gwp.nrules; i++) {
        const cangw_counters &c = gwp.gw.count[i];
        gtk_list_store_set(gwp.rules, &it, GWP_COL_HANDLED, (guint64)c.handled, GWP_COL_DROPPED,
                           (guint64)c.dropped, GWP_COL_DELETED, (guint64)c.deleted, -1);
        ok = gtk_tree_model_iter_next(GTK_TREE_MODEL(gwp.rules), &it);
    }
    const bool on = gwp.gw.running;
    gtk_widget_set_sensitive(gwp.start, !on);
    gtk_widget_set_sensitive(gwp.stop, on);
    gtk_label_set_text(GTK_LABEL(gwp.state), on ? _("Forwarding") : _("Stopped: nothing is forwarded"));
    uint32_t med, worst;
    char d[128];
    if (cangw_delay(&gwp.gw, &med, &worst))
        snprintf(d, sizeof d, _("Delay: median %.3f ms, worst %.3f ms"), med / 1000.0, worst / 1000.0);
    else
        snprintf(d, sizeof d, "%s", _("Delay: none measured yet"));
    gtk_label_set_text(GTK_LABEL(gwp.delay), d);
}

GtkWidget *gwp_page_new(void)
{
    GtkWidget *page = gtk_vbox_new(FALSE, 6);
    gtk_container_set_border_width(GTK_CONTAINER(page), 6);
    gwp.page = page;
    g_signal_connect(page, "destroy", G_CALLBACK(on_destroy), nullptr);

    GtkWidget *bar = gtk_hbox_new(FALSE, 8);
    gwp.start = gtk_button_new_with_mnemonic(_("_Start"));
    gwp.stop = gtk_button_new_with_mnemonic(_("S_top"));
    named(gwp.start, "gateway-start");
    named(gwp.stop, "gateway-stop");
    g_signal_connect(gwp.start, "clicked", G_CALLBACK(on_start), nullptr);
    g_signal_connect(gwp.stop, "clicked", G_CALLBACK(on_stop), nullptr);
    gwp.state = gtk_label_new("");
    gwp.delay = gtk_label_new("");
    named(gwp.state, "gateway-state");
    named(gwp.delay, "gateway-delay");
    GtkWidget *max = gwp.max_hops = gtk_spin_button_new_with_range(1, CANGW_MAX_HOPS, 1);
    named(max, "gateway-max-hops");
    gtk_spin_button_set_value(GTK_SPIN_BUTTON(max), gwp.gw.max_hops);
    g_signal_connect(max, "value-changed", G_CALLBACK(on_max_hops), nullptr);
    gtk_widget_set_tooltip_text(max, _("A frame the gateway sent is passed on again only while it "
                                       "has made fewer hops; 1: never."));
    gtk_box_pack_start(GTK_BOX(bar), gwp.start, FALSE, FALSE, 0);
    gtk_box_pack_start(GTK_BOX(bar), gwp.stop, FALSE, FALSE, 0);
    gtk_box_pack_start(GTK_BOX(bar), gwp.state, FALSE, FALSE, 0);
    gtk_box_pack_end(GTK_BOX(bar), gwp.delay, FALSE, FALSE, 0);
    gtk_box_pack_end(GTK_BOX(bar), max, FALSE, FALSE, 0);
    gtk_box_pack_end(GTK_BOX(bar), gtk_label_new(_("Hops at most")), FALSE, FALSE, 0);
    gtk_box_pack_start(GTK_BOX(page), bar, FALSE, FALSE, 0);

    GtkWidget *lom = gtk_label_new(_("Nothing is sent on a channel in listen-only mode: frames "
                                     "for it are dropped and counted."));
    gtk_misc_set_alignment(GTK_MISC(lom), 0, 0.5);
    gtk_box_pack_start(GTK_BOX(page), lom, FALSE, FALSE, 0);

    gwp.rules = gtk_list_store_new(GWP_COLS, G_TYPE_UINT, G_TYPE_STRING, G_TYPE_STRING,
                                   G_TYPE_STRING, G_TYPE_UINT64, G_TYPE_UINT64, G_TYPE_UINT64);
    gwp.view = gtk_tree_view_new_with_model(GTK_TREE_MODEL(gwp.rules));
    g_object_unref(gwp.rules);
    named(gwp.view, "gateway-rules");
    const char *titles[] = {_("#"), _("From"), _("To"), _("Rule"), _("Handled"), _("Dropped"),
                            _("Deleted")};
    for (int c = 0; c < GWP_COLS; c++)
        pgparts::text_column(gwp.view, titles[c], c,
                             c == GWP_COL_RULE ? pgparts::COLUMN_EXPAND | pgparts::COLUMN_ELLIPSIZE : 0);
    g_signal_connect(gtk_tree_view_get_selection(GTK_TREE_VIEW(gwp.view)), "changed",
                     G_CALLBACK(on_select), nullptr);
    GtkWidget *scroll = pgparts::scrolled(gwp.view);
    gtk_box_pack_start(GTK_BOX(page), scroll, TRUE, TRUE, 0);

    GtkWidget *frame = gtk_frame_new(_("Rule"));
    GtkWidget *inner = gtk_vbox_new(FALSE, 6);
    gtk_container_set_border_width(GTK_CONTAINER(inner), 6);
    gtk_container_add(GTK_CONTAINER(frame), inner);
    gtk_box_pack_start(GTK_BOX(inner), editor(), FALSE, FALSE, 0);
    GtkWidget *buttons = gtk_hbox_new(FALSE, 6);
    const struct { const char *label, *name; } b[] = {
        {_("_Add"), "gateway-add"}, {_("C_hange"), "gateway-change"}, {_("_Remove"), "gateway-remove"}};
    for (int i = 0; i < 3; i++) {
        GtkWidget *w = gtk_button_new_with_mnemonic(b[i].label);
        named(w, b[i].name);
        g_signal_connect(w, "clicked", G_CALLBACK(on_rule), GINT_TO_POINTER(i));
        gtk_box_pack_start(GTK_BOX(buttons), w, FALSE, FALSE, 0);
    }
    gwp.message = gtk_label_new("");
    named(gwp.message, "gateway-message");
    gtk_box_pack_start(GTK_BOX(buttons), gwp.message, FALSE, FALSE, 0);
    gtk_box_pack_start(GTK_BOX(inner), buttons, FALSE, FALSE, 0);
    gtk_box_pack_start(GTK_BOX(page), frame, FALSE, FALSE, 0);

    gwp_page_channels();
    gwp.timer = g_timeout_add(250, on_timer, nullptr);
    gtk_widget_show_all(page);
    return page;
}
