/*
 * table.cpp - the live table's model: one row per message of the open
 * databases in identifier order (sg.order), its signals as child rows.
 * Nothing is copied: every cell is made from the message table when the
 * view asks for it, so a database of 30,000 messages is shown at once and
 * a refresh redraws only the rows in sight.
 *
 * An iterator holds the row (user_data) and the signal plus one
 * (user_data2; 0 for the message's own row). Resetting the table changes
 * the stamp, which makes every older iterator invalid.
 *
 * A view builds its own tree of every row it is given at once; of a huge
 * table it is given the first rows, and the others in slices of a few
 * milliseconds, so that the window never stops for long.
 */
#include "signals.h"

#include <math.h>
#include <string.h>

namespace {

struct SgTable {
    GObject parent;
    gint stamp;
    int shown;                       /* rows the view knows of */
};

constexpr int FIRST_ROWS = 400;      /* given to the view at once */
constexpr int64_t SLICE_US = 5000;   /* then rows for this long a turn */
guint slices;                        /* the source adding rows, 0 none */

struct SgTableClass {
    GObjectClass parent_class;
};

GType table_get_type(void);
#define SG_TABLE(o) (G_TYPE_CHECK_INSTANCE_CAST((o), table_get_type(), SgTable))

void set_iter(const SgTable *t, GtkTreeIter *it, int row, int sig)
{
    it->stamp = t->stamp;
    it->user_data = GINT_TO_POINTER(row);
    it->user_data2 = GINT_TO_POINTER(sig + 1);
    it->user_data3 = nullptr;
}

/* The message (msgs index) and signal (-1 for the message's row) of a
 * valid iterator; false for an invalid one. */
bool at(const SgTable *t, const GtkTreeIter *it, int *msg, int *sig)
{
    if (!it || it->stamp != t->stamp)
        return false;
    int row = GPOINTER_TO_INT(it->user_data);
    if (row < 0 || row >= t->shown)
        return false;
    *msg = sg.order[row];
    *sig = GPOINTER_TO_INT(it->user_data2) - 1;
    return *sig < (int)sg.msgs[*msg].m->signals.size();
}

GtkTreeModelFlags m_get_flags(GtkTreeModel *)
{
    return (GtkTreeModelFlags)0;
}

gint m_get_n_columns(GtkTreeModel *)
{
    return SG_N_COLS;
}

GType m_get_column_type(GtkTreeModel *, gint col)
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

gboolean m_get_iter(GtkTreeModel *model, GtkTreeIter *it, GtkTreePath *path)
{
    SgTable *t = SG_TABLE(model);
    int depth = gtk_tree_path_get_depth(path);
    const gint *ix = gtk_tree_path_get_indices(path);
    if (depth < 1 || depth > 2 || ix[0] < 0 || ix[0] >= t->shown)
        return FALSE;
    int sig = -1;
    if (depth == 2) {
        if (ix[1] < 0 || ix[1] >= (int)sg.msgs[sg.order[ix[0]]].m->signals.size())
            return FALSE;
        sig = ix[1];
    }
    set_iter(t, it, ix[0], sig);
    return TRUE;
}

GtkTreePath *m_get_path(GtkTreeModel *model, GtkTreeIter *it)
{
    int msg, sig;
    g_return_val_if_fail(at(SG_TABLE(model), it, &msg, &sig), nullptr);
    int row = GPOINTER_TO_INT(it->user_data);
    return sig < 0 ? gtk_tree_path_new_from_indices(row, -1)
                   : gtk_tree_path_new_from_indices(row, sig, -1);
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

void m_get_value(GtkTreeModel *model, GtkTreeIter *it, gint col, GValue *value)
{
    g_value_init(value, m_get_column_type(model, col));
    int msg, sig;
    if (!at(SG_TABLE(model), it, &msg, &sig))
        return;
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

gboolean m_iter_next(GtkTreeModel *model, GtkTreeIter *it)
{
    SgTable *t = SG_TABLE(model);
    int msg, sig;
    if (!at(t, it, &msg, &sig)) {
        it->stamp = 0;
        return FALSE;
    }
    int row = GPOINTER_TO_INT(it->user_data);
    if (sig < 0 ? row + 1 >= t->shown : sig + 1 >= (int)sg.msgs[msg].m->signals.size()) {
        it->stamp = 0;
        return FALSE;
    }
    set_iter(t, it, sig < 0 ? row + 1 : row, sig < 0 ? -1 : sig + 1);
    return TRUE;
}

gboolean m_iter_nth_child(GtkTreeModel *model, GtkTreeIter *it, GtkTreeIter *parent, gint n)
{
    SgTable *t = SG_TABLE(model);
    if (!parent) {
        if (n < 0 || n >= t->shown)
            return FALSE;
        set_iter(t, it, n, -1);
        return TRUE;
    }
    int msg, sig;
    if (!at(t, parent, &msg, &sig) || sig >= 0 || n < 0 ||
        n >= (int)sg.msgs[msg].m->signals.size())
        return FALSE;
    set_iter(t, it, GPOINTER_TO_INT(parent->user_data), n);
    return TRUE;
}

gboolean m_iter_children(GtkTreeModel *model, GtkTreeIter *it, GtkTreeIter *parent)
{
    return m_iter_nth_child(model, it, parent, 0);
}

gint m_iter_n_children(GtkTreeModel *model, GtkTreeIter *it)
{
    if (!it)
        return SG_TABLE(model)->shown;
    int msg, sig;
    if (!at(SG_TABLE(model), it, &msg, &sig) || sig >= 0)
        return 0;
    return (gint)sg.msgs[msg].m->signals.size();
}

gboolean m_iter_has_child(GtkTreeModel *model, GtkTreeIter *it)
{
    return m_iter_n_children(model, it) > 0;
}

gboolean m_iter_parent(GtkTreeModel *model, GtkTreeIter *it, GtkTreeIter *child)
{
    SgTable *t = SG_TABLE(model);
    int msg, sig;
    if (!at(t, child, &msg, &sig) || sig < 0)
        return FALSE;
    set_iter(t, it, GPOINTER_TO_INT(child->user_data), -1);
    return TRUE;
}

void model_iface_init(gpointer g_iface, gpointer)
{
    GtkTreeModelIface *iface = (GtkTreeModelIface *)g_iface;
    iface->get_flags = m_get_flags;
    iface->get_n_columns = m_get_n_columns;
    iface->get_column_type = m_get_column_type;
    iface->get_iter = m_get_iter;
    iface->get_path = m_get_path;
    iface->get_value = m_get_value;
    iface->iter_next = m_iter_next;
    iface->iter_children = m_iter_children;
    iface->iter_has_child = m_iter_has_child;
    iface->iter_n_children = m_iter_n_children;
    iface->iter_nth_child = m_iter_nth_child;
    iface->iter_parent = m_iter_parent;
}

void table_init(GTypeInstance *instance, gpointer)
{
    ((SgTable *)instance)->stamp = g_random_int() | 1;
}

/* The plug-in library stays mapped once loaded (it is linked with
 * -z nodelete): a registered type cannot be unregistered, and a later
 * load finds it intact. */
GType table_get_type(void)
{
    static GType type = 0;
    if (type == 0) {
        type = g_type_register_static_simple(G_TYPE_OBJECT, g_intern_static_string("SignalsTable"),
                                             sizeof(SgTableClass), nullptr, sizeof(SgTable),
                                             table_init, (GTypeFlags)0);
        const GInterfaceInfo info = {model_iface_init, nullptr, nullptr};
        g_type_add_interface_static(type, GTK_TYPE_TREE_MODEL, &info);
    }
    return type;
}

}  // namespace

GtkTreeModel *sg_table_model_new(void)
{
    return GTK_TREE_MODEL(g_object_new(table_get_type(), nullptr));
}

void sg_table_detach(GtkTreeModel *model, GtkTreeView *view)
{
    sg_table_stop();
    if (!model || !view || gtk_tree_view_get_model(view) != model)
        return;
    /* The view keeps the model alive until it is attached again. */
    g_object_ref(model);
    gtk_tree_view_set_model(view, nullptr);
    SG_TABLE(model)->shown = 0;
}

namespace {

/* More rows for the view, for a slice of time. */
gboolean add_rows(gpointer data)
{
    GtkTreeModel *model = GTK_TREE_MODEL(data);
    SgTable *t = SG_TABLE(model);
    int64_t until = g_get_monotonic_time() + SLICE_US;
    GtkTreePath *path = gtk_tree_path_new_from_indices(0, -1);
    while (t->shown < sg.nmsgs && g_get_monotonic_time() < until) {
        for (int k = 0; k < 64 && t->shown < sg.nmsgs; k++) {
            int row = t->shown++;
            GtkTreeIter it;
            set_iter(t, &it, row, -1);
            gtk_tree_path_get_indices(path)[0] = row;
            gtk_tree_model_row_inserted(model, path, &it);
            if (!sg.msgs[sg.order[row]].m->signals.empty())
                gtk_tree_model_row_has_child_toggled(model, path, &it);
        }
    }
    gtk_tree_path_free(path);
    if (t->shown < sg.nmsgs)
        return TRUE;
    slices = 0;
    return FALSE;
}

}  // namespace

void sg_table_attach(GtkTreeModel *model, GtkTreeView *view)
{
    if (!model || !view || gtk_tree_view_get_model(view) == model)
        return;
    SgTable *t = SG_TABLE(model);
    t->stamp = (t->stamp + 2) | 1;
    t->shown = sg.nmsgs < FIRST_ROWS ? sg.nmsgs : FIRST_ROWS;
    gtk_tree_view_set_model(view, model);
    g_object_unref(model);
    if (t->shown < sg.nmsgs)
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
    return model && SG_TABLE(model)->shown == sg.nmsgs;
}

void sg_table_row_changed(GtkTreeModel *model, int msg)
{
    if (msg < 0 || msg >= sg.nmsgs || sg.msgs[msg].row >= SG_TABLE(model)->shown)
        return;
    GtkTreeIter it;
    set_iter(SG_TABLE(model), &it, sg.msgs[msg].row, -1);
    GtkTreePath *path = gtk_tree_path_new_from_indices(sg.msgs[msg].row, -1);
    gtk_tree_model_row_changed(model, path, &it);
    gtk_tree_path_free(path);
}
