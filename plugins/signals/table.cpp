/*
 * table.cpp - the live table's model: one row per message of the open
 * databases in identifier order (sg.order), its signals as child rows.
 * Nothing is copied: every cell is made from the message table when the
 * view asks for it, so a database of 30,000 messages is shown at once and
 * a refresh redraws only the rows in sight.
 *
 * A row's signals are its child rows. Attaching the table again ends
 * every older iterator.
 *
 * A view builds its own tree of every row it is given at once; of a huge
 * table it is given the first rows, and the others in slices of a few
 * milliseconds, so that the window never stops for long.
 */
#include "signals.h"

#include <math.h>
#include <string.h>

#include "listmodel.h"

namespace {

/* Rows 0 .. list.end - 1: the view knows of those. */
struct SgTable {
    PgList list;
};

constexpr int FIRST_ROWS = 400;      /* given to the view at once */
constexpr int64_t SLICE_US = 5000;   /* then rows for this long a turn */
guint slices;                        /* the source adding rows, 0 none */

PgList *L(GtkTreeModel *model)
{
    return (PgList *)model;
}

GType column_type(int col)
{
    switch (col) {
    case SG_COL_PLOT:
    case SG_COL_IS_SIGNAL:
        return G_TYPE_BOOLEAN;
    case SG_COL_MSG:
    case SG_COL_SIG:
        return G_TYPE_INT;
    default:
        return G_TYPE_STRING;
    }
}

int signal_rows(PgList *, uint64_t row)
{
    return (int)sg.msgs[sg.order[row]].m->signals.size();
}

void fmt_value(char *buf, size_t size, const dbc_signal &s, const dbc_value &v)
{
    if (isnan(v.phys))
        buf[0] = '\0';
    else if (s.type == DBC_INTEGER && s.factor == 1.0 && s.offset == 0.0)
        g_snprintf(buf, size, s.is_signed ? "%lld" : "%llu",
                   s.is_signed ? (long long)v.raw : (unsigned long long)v.raw);
    else
        g_snprintf(buf, size, "%.6g", v.phys);
}

void row_value(PgList *, uint64_t row, int sig, int col, GValue *value)
{
    const int msg = sg.order[row];
    const sg_msg &m = sg.msgs[msg];
    char buf[384];
    buf[0] = '\0';
    switch (col) {
    case SG_COL_NAME:
        if (sig >= 0) {
            g_value_set_static_string(value, m.m->signals[(size_t)sig].name.c_str());
            return;
        }
        {
            /* TRANSLATORS: marks of a CAN FD message (with bit-rate switch) after its name */
            const char *mark = !m.m->fd ? "" : m.m->brs ? _("[FD, BRS]") : _("[FD]");
            char name[160];
            sg_msg_name(m, name, sizeof name);
            g_snprintf(buf, sizeof buf, m.m->extended ? "%08X  %s%s%s" : "%03X  %s%s%s", m.m->id,
                       name, *mark ? "  " : "", mark);
        }
        break;
    case SG_COL_VALUE:
    case SG_COL_TEXT:
        if (sig >= 0) {
            const dbc_signal &s = m.m->signals[(size_t)sig];
            const dbc_value &v = m.values[sig];
            if (col == SG_COL_VALUE) {
                fmt_value(buf, sizeof buf, s, v);
            } else if (!isnan(v.phys) && s.type == DBC_INTEGER) {
                const char *label = dbc_value_label(&s, v.raw);
                g_value_set_static_string(value, label ? label : "");
                return;
            }
        }
        break;
    case SG_COL_UNIT:
        if (sig >= 0) {
            g_value_set_static_string(value, m.m->signals[(size_t)sig].unit.c_str());
            return;
        }
        break;
    case SG_COL_COUNT:
        if (sig < 0)
            g_snprintf(buf, sizeof buf, "%llu", (unsigned long long)m.count);
        break;
    case SG_COL_PERIOD:
        if (sig < 0 && m.period >= 0)
            g_snprintf(buf, sizeof buf, "%.3f", m.period * 1000.0);
        break;
    case SG_COL_PLOT:
        g_value_set_boolean(value, sig >= 0 && sg_plot_find(msg, sig) >= 0);
        return;
    case SG_COL_COLOUR: {
        int slot = sig >= 0 ? sg_plot_find(msg, sig) : -1;
        if (slot < 0)
            return;   /* no colour: the theme's */
        const double *rgb = sg.plots[slot].rgb;
        g_snprintf(buf, sizeof buf, "#%02X%02X%02X", (unsigned)(rgb[0] * 255 + 0.5),
                   (unsigned)(rgb[1] * 255 + 0.5), (unsigned)(rgb[2] * 255 + 0.5));
        break;
    }
    case SG_COL_HISTORY: {
        int slot = sig >= 0 ? sg_plot_find(msg, sig) : -1;
        if (slot >= 0)
            sg_plot_keep_text(&sg.plots[slot].hist, 0, buf, sizeof buf);
        break;
    }
    case SG_COL_IS_SIGNAL:
        g_value_set_boolean(value, sig >= 0);
        return;
    case SG_COL_MSG:
        g_value_set_int(value, msg);
        return;
    case SG_COL_SIG:
        g_value_set_int(value, sig);
        return;
    default:
        return;
    }
    g_value_set_string(value, buf);
}

const pg_list_ops table_ops = {SG_N_COLS, column_type, (GtkTreeModelFlags)0, row_value,
                               signal_rows, nullptr};

}  // namespace

GtkTreeModel *sg_table_model_new(void)
{
    return GTK_TREE_MODEL(pg_list_new("SignalsTable", sizeof(SgTable), &table_ops));
}

void sg_table_detach(GtkTreeModel *model, GtkTreeView *view)
{
    sg_table_stop();
    if (!model || !view || gtk_tree_view_get_model(view) != model)
        return;
    /* The view keeps the model alive until it is attached again. */
    g_object_ref(model);
    gtk_tree_view_set_model(view, nullptr);
    pg_list_reset(L(model), 0, 0);
}

namespace {

/* More rows for the view, for a slice of time. */
gboolean add_rows(gpointer data)
{
    PgList *l = L(GTK_TREE_MODEL(data));
    const uint64_t all = (uint64_t)sg.nmsgs;
    int64_t until = g_get_monotonic_time() + SLICE_US;
    while (l->end < all && g_get_monotonic_time() < until)
        pg_list_append(l, all - l->end < 64 ? all - l->end : 64);
    if (l->end < all)
        return TRUE;
    slices = 0;
    return FALSE;
}

}  // namespace

void sg_table_attach(GtkTreeModel *model, GtkTreeView *view)
{
    if (!model || !view || gtk_tree_view_get_model(view) == model)
        return;
    pg_list_reset(L(model), 0, sg.nmsgs < FIRST_ROWS ? sg.nmsgs : FIRST_ROWS);
    gtk_tree_view_set_model(view, model);
    g_object_unref(model);
    if (L(model)->end < (uint64_t)sg.nmsgs)
        slices = g_idle_add_full(G_PRIORITY_DEFAULT_IDLE, add_rows, model, nullptr);
}

void sg_table_release(GtkTreeModel *model, GtkTreeView *view)
{
    sg_table_stop();
    if (!model || !view)
        return;
    if (gtk_tree_view_get_model(view) == model)
        gtk_tree_view_set_model(view, nullptr);   /* the view's reference goes */
    else
        g_object_unref(model);                    /* the one kept while detached */
}

void sg_table_stop(void)
{
    if (slices)
        g_source_remove(slices);
    slices = 0;
}

int sg_table_complete(GtkTreeModel *model)
{
    return model && L(model)->end == (uint64_t)sg.nmsgs;
}

void sg_table_row_changed(GtkTreeModel *model, int msg)
{
    if (msg >= 0 && msg < sg.nmsgs)
        pg_list_changed(L(model), (uint64_t)sg.msgs[msg].row);
}
