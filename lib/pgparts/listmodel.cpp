/*
 * listmodel.cpp - the plug-ins' live list model: the GObject and tree
 * model slots, iterators and row signals, once for every list.
 *
 * An iterator carries its position in user_data and its child plus one in
 * user_data2 (0 for a row of the top level).
 */
#include "listmodel.h"

#include <string.h>

static_assert(sizeof(void *) >= sizeof(uint64_t), "row positions travel in iter user_data");

namespace {

struct PgListClass {
    GObjectClass parent_class;
};

inline PgList *L(GtkTreeModel *m)
{
    return (PgList *)m;
}

/* Unchecked: a cast checked at every row signal costs more than the row. */
inline GtkTreeModel *M(PgList *l)
{
    return (GtkTreeModel *)l;
}

inline int children(PgList *l, uint64_t pos)
{
    return l->ops->children ? l->ops->children(l, pos) : 0;
}

GtkTreeModelFlags m_get_flags(GtkTreeModel *model)
{
    const pg_list_ops *ops = L(model)->ops;
    return (GtkTreeModelFlags)(ops->flags | (ops->children ? 0 : GTK_TREE_MODEL_LIST_ONLY));
}

gint m_get_n_columns(GtkTreeModel *model)
{
    return L(model)->ops->n_columns;
}

GType m_get_column_type(GtkTreeModel *model, gint col)
{
    return L(model)->ops->column_type(col);
}

gboolean m_get_iter(GtkTreeModel *model, GtkTreeIter *it, GtkTreePath *path)
{
    PgList *l = L(model);
    const int depth = gtk_tree_path_get_depth(path);
    const gint *ix = gtk_tree_path_get_indices(path);
    if (depth < 1 || depth > 2 || ix[0] < 0 || (uint64_t)ix[0] >= pg_list_rows(l))
        return FALSE;
    const uint64_t pos = l->first + (uint64_t)ix[0];
    if (depth == 2 && (ix[1] < 0 || ix[1] >= children(l, pos)))
        return FALSE;
    pg_list_iter(l, it, pos, depth == 2 ? ix[1] : -1);
    return TRUE;
}

GtkTreePath *m_get_path(GtkTreeModel *model, GtkTreeIter *it)
{
    PgList *l = L(model);
    uint64_t pos;
    int child;
    g_return_val_if_fail(pg_list_at(l, it, &pos, &child), nullptr);
    const gint row = (gint)(pos - l->first);
    return child < 0 ? gtk_tree_path_new_from_indices(row, -1)
                     : gtk_tree_path_new_from_indices(row, child, -1);
}

void m_get_value(GtkTreeModel *model, GtkTreeIter *it, gint col, GValue *value)
{
    PgList *l = L(model);
    g_value_init(value, l->ops->column_type(col));
    uint64_t pos;
    int child;
    if (pg_list_at(l, it, &pos, &child))
        l->ops->value(l, pos, child, col, value);
}

gboolean m_iter_next(GtkTreeModel *model, GtkTreeIter *it)
{
    PgList *l = L(model);
    uint64_t pos;
    int child;
    if (!pg_list_at(l, it, &pos, &child)) {
        it->stamp = 0;
        return FALSE;
    }
    if (child < 0 ? pos + 1 >= l->end : child + 1 >= children(l, pos)) {
        it->stamp = 0;
        return FALSE;
    }
    if (child < 0)
        it->user_data = (gpointer)(uintptr_t)(pos + 1);
    else
        it->user_data2 = GINT_TO_POINTER(child + 2);
    return TRUE;
}

gboolean m_iter_nth_child(GtkTreeModel *model, GtkTreeIter *it, GtkTreeIter *parent, gint n)
{
    PgList *l = L(model);
    if (!parent) {
        if (n < 0 || (uint64_t)n >= pg_list_rows(l))
            return FALSE;
        pg_list_iter(l, it, l->first + (uint64_t)n, -1);
        return TRUE;
    }
    uint64_t pos;
    int child;
    if (!pg_list_at(l, parent, &pos, &child) || child >= 0 || n < 0 || n >= children(l, pos))
        return FALSE;
    pg_list_iter(l, it, pos, n);
    return TRUE;
}

gboolean m_iter_children(GtkTreeModel *model, GtkTreeIter *it, GtkTreeIter *parent)
{
    return m_iter_nth_child(model, it, parent, 0);
}

gint m_iter_n_children(GtkTreeModel *model, GtkTreeIter *it)
{
    PgList *l = L(model);
    if (!it)
        return (gint)pg_list_rows(l);
    uint64_t pos;
    int child;
    return pg_list_at(l, it, &pos, &child) && child < 0 ? children(l, pos) : 0;
}

gboolean m_iter_has_child(GtkTreeModel *model, GtkTreeIter *it)
{
    return m_iter_n_children(model, it) > 0;
}

gboolean m_iter_parent(GtkTreeModel *model, GtkTreeIter *it, GtkTreeIter *child_it)
{
    PgList *l = L(model);
    uint64_t pos;
    int child;
    if (!pg_list_at(l, child_it, &pos, &child) || child < 0)
        return FALSE;
    pg_list_iter(l, it, pos, -1);
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

void list_finalize(GObject *obj)
{
    PgList *l = (PgList *)obj;
    if (l->ops && l->ops->finalize)
        l->ops->finalize(l);
    G_OBJECT_CLASS(g_type_class_peek(G_TYPE_OBJECT))->finalize(obj);
}

void list_class_init(gpointer klass, gpointer)
{
    G_OBJECT_CLASS(klass)->finalize = list_finalize;
}

void list_instance_init(GTypeInstance *instance, gpointer)
{
    ((PgList *)instance)->stamp = g_random_int() | 1;
}

}  // namespace

/* Plug-ins are linked with -z nodelete, because a registered type cannot
 * be unregistered: a type and its slots stay valid for every later load.
 * Each plug-in names its own types, so no two share this code's copy. */
GType pg_list_type(const char *name, size_t size)
{
    GType type = g_type_from_name(name);
    if (type)
        return type;
    type = g_type_register_static_simple(G_TYPE_OBJECT, g_intern_string(name),
                                         sizeof(PgListClass), list_class_init, (guint)size,
                                         list_instance_init, (GTypeFlags)0);
    const GInterfaceInfo info = {model_iface_init, nullptr, nullptr};
    g_type_add_interface_static(type, GTK_TYPE_TREE_MODEL, &info);
    return type;
}

PgList *pg_list_new(const char *type_name, size_t size, const pg_list_ops *ops)
{
    PgList *l = (PgList *)g_object_new(pg_list_type(type_name, size), nullptr);
    l->ops = ops;
    return l;
}

void pg_list_iter(const PgList *l, GtkTreeIter *it, uint64_t pos, int child)
{
    it->stamp = l->stamp;
    it->user_data = (gpointer)(uintptr_t)pos;
    it->user_data2 = GINT_TO_POINTER(child + 1);
    it->user_data3 = nullptr;
}

/* Tells the view of the row at pos, inserted at path, and of its children. */
static void tell_inserted(PgList *l, GtkTreePath *path, uint64_t pos)
{
    GtkTreeIter it;
    pg_list_iter(l, &it, pos, -1);
    gtk_tree_model_row_inserted(M(l), path, &it);
    if (l->ops->children && children(l, pos) > 0)
        gtk_tree_model_row_has_child_toggled(M(l), path, &it);
}

uint64_t pg_list_append(PgList *l, uint64_t n)
{
    GtkTreePath *path = gtk_tree_path_new_from_indices(0, -1);
    gint *index = gtk_tree_path_get_indices(path);
    for (uint64_t k = 0; k < n; k++) {
        index[0] = (gint)(l->end - l->first);
        tell_inserted(l, path, l->end++);
    }
    gtk_tree_path_free(path);
    return n;
}

uint64_t pg_list_prepend(PgList *l, uint64_t n)
{
    if (n > l->first)
        n = l->first;
    GtkTreePath *path = gtk_tree_path_new_from_indices(0, -1);
    for (uint64_t k = 0; k < n; k++)
        tell_inserted(l, path, --l->first);
    gtk_tree_path_free(path);
    return n;
}

uint64_t pg_list_drop_front(PgList *l, uint64_t n)
{
    if (n > pg_list_rows(l))
        n = pg_list_rows(l);
    GtkTreePath *path = gtk_tree_path_new_from_indices(0, -1);
    for (uint64_t k = 0; k < n; k++) {
        l->first++;
        gtk_tree_model_row_deleted(M(l), path);
    }
    gtk_tree_path_free(path);
    return n;
}

uint64_t pg_list_drop_back(PgList *l, uint64_t n)
{
    if (n > pg_list_rows(l))
        n = pg_list_rows(l);
    GtkTreePath *path = gtk_tree_path_new_from_indices(0, -1);
    gint *index = gtk_tree_path_get_indices(path);
    for (uint64_t k = 0; k < n; k++) {
        l->end--;
        index[0] = (gint)(l->end - l->first);
        gtk_tree_model_row_deleted(M(l), path);
    }
    gtk_tree_path_free(path);
    return n;
}

void pg_list_insert(PgList *l, uint64_t i)
{
    if (i > pg_list_rows(l))
        i = pg_list_rows(l);
    l->end++;
    GtkTreePath *path = gtk_tree_path_new_from_indices((gint)i, -1);
    tell_inserted(l, path, l->first + i);
    gtk_tree_path_free(path);
}

void pg_list_changed(PgList *l, uint64_t pos)
{
    if (pos < l->first || pos >= l->end)
        return;
    GtkTreeIter it;
    pg_list_iter(l, &it, pos, -1);
    GtkTreePath *path = gtk_tree_path_new_from_indices((gint)(pos - l->first), -1);
    gtk_tree_model_row_changed(M(l), path, &it);
    gtk_tree_path_free(path);
}

void pg_list_shift(PgList *l, uint64_t k)
{
    l->first += k;
    l->end += k;
}

void pg_list_reset(PgList *l, uint64_t first, uint64_t end)
{
    l->first = first;
    l->end = end < first ? first : end;
    l->stamp = (l->stamp + 2) | 1;
}
