/*
 * model.cpp - the list model of the diagnostics view: the rows of a store
 * that pass the filter. A listing ring holds their sequence numbers at
 * positions v_first .. v_next - 1; the view shows s_first .. s_end - 1
 * and is told about changes only by dgp_list_sync, so between two
 * refreshes the model is what the view was last told (a row that has
 * given way meanwhile reads as empty until the next sync removes it).
 * Column texts are made when the view asks for them.
 */
#include "diagnostics.h"

#include <string.h>

static_assert(sizeof(void *) >= sizeof(uint64_t), "row positions travel in iter user_data");

struct DgpList {
    GObject parent;
    gint stamp;
    dgp_store *store;
    dgp_filter filter;
    uint64_t *listing;
    uint32_t cap;
    uint64_t v_first, v_next;
    uint64_t s_first, s_end;
    uint64_t scanned;           /* store rows looked at: up to this sequence number */
};

struct DgpListClass {
    GObjectClass parent_class;
};

#define DGP_LIST(o) ((DgpList *)(o))

namespace {

GObjectClass *parent_class;

/* Rows given to the view in one sync at most; the rest follow at the next. */
constexpr uint32_t SYNC_MAX = 4000;

const dgp_row *row_at(const DgpList *l, uint64_t pos)
{
    if (pos < l->v_first || pos >= l->v_next)
        return nullptr;
    return dgp_store_row(l->store, l->listing[pos % l->cap]);
}

bool valid_iter(const DgpList *l, const GtkTreeIter *it)
{
    if (!it || it->stamp != l->stamp)
        return false;
    const uint64_t pos = (uint64_t)(uintptr_t)it->user_data;
    return pos >= l->s_first && pos < l->s_end;
}

void set_iter(const DgpList *l, GtkTreeIter *it, uint64_t pos)
{
    it->stamp = l->stamp;
    it->user_data = (gpointer)(uintptr_t)pos;
    it->user_data2 = nullptr;
    it->user_data3 = nullptr;
}

GtkTreeModelFlags m_get_flags(GtkTreeModel *)
{
    return (GtkTreeModelFlags)(GTK_TREE_MODEL_LIST_ONLY | GTK_TREE_MODEL_ITERS_PERSIST);
}

gint m_get_n_columns(GtkTreeModel *)
{
    return DGP_N_COLS + 1;
}

GType m_get_column_type(GtkTreeModel *, gint)
{
    return G_TYPE_STRING;
}

gboolean m_get_iter(GtkTreeModel *model, GtkTreeIter *it, GtkTreePath *path)
{
    DgpList *l = DGP_LIST(model);
    if (gtk_tree_path_get_depth(path) != 1)
        return FALSE;
    const gint n = gtk_tree_path_get_indices(path)[0];
    if (n < 0 || (uint64_t)n >= l->s_end - l->s_first)
        return FALSE;
    set_iter(l, it, l->s_first + (uint64_t)n);
    return TRUE;
}

GtkTreePath *m_get_path(GtkTreeModel *model, GtkTreeIter *it)
{
    DgpList *l = DGP_LIST(model);
    g_return_val_if_fail(valid_iter(l, it), nullptr);
    return gtk_tree_path_new_from_indices((gint)((uint64_t)(uintptr_t)it->user_data - l->s_first), -1);
}

/* Column DGP_N_COLS is the row's background: problems stand out. */
void m_get_value(GtkTreeModel *model, GtkTreeIter *it, gint col, GValue *value)
{
    DgpList *l = DGP_LIST(model);
    g_value_init(value, G_TYPE_STRING);
    if (!valid_iter(l, it))
        return;
    g_mutex_lock(&l->store->lock);
    const dgp_row *r = row_at(l, (uint64_t)(uintptr_t)it->user_data);
    if (r && col == DGP_N_COLS) {
        if (r->status == DGS_ERROR || r->status == DGS_NO_RESPONSE)
            g_value_set_static_string(value, "#ffd8d8");
        else if (r->status == DGS_NEGATIVE)
            g_value_set_static_string(value, "#fff0c8");
        else if (r->tx)
            g_value_set_static_string(value, "#e4eefc");
    } else if (r) {
        char text[512];
        dgp_row_text(l->store, r, col, text, sizeof text);
        g_value_set_string(value, text);
    }
    g_mutex_unlock(&l->store->lock);
}

gboolean m_iter_next(GtkTreeModel *model, GtkTreeIter *it)
{
    DgpList *l = DGP_LIST(model);
    if (!valid_iter(l, it))
        return FALSE;
    const uint64_t pos = (uint64_t)(uintptr_t)it->user_data + 1;
    if (pos >= l->s_end) {
        it->stamp = 0;
        return FALSE;
    }
    it->user_data = (gpointer)(uintptr_t)pos;
    return TRUE;
}

gboolean m_iter_children(GtkTreeModel *model, GtkTreeIter *it, GtkTreeIter *parent)
{
    DgpList *l = DGP_LIST(model);
    if (parent || l->s_end == l->s_first)
        return FALSE;
    set_iter(l, it, l->s_first);
    return TRUE;
}

gboolean m_iter_has_child(GtkTreeModel *, GtkTreeIter *)
{
    return FALSE;
}

gint m_iter_n_children(GtkTreeModel *model, GtkTreeIter *it)
{
    DgpList *l = DGP_LIST(model);
    return it ? 0 : (gint)(l->s_end - l->s_first);
}

gboolean m_iter_nth_child(GtkTreeModel *model, GtkTreeIter *it, GtkTreeIter *parent, gint n)
{
    DgpList *l = DGP_LIST(model);
    if (parent || n < 0 || (uint64_t)n >= l->s_end - l->s_first)
        return FALSE;
    set_iter(l, it, l->s_first + (uint64_t)n);
    return TRUE;
}

gboolean m_iter_parent(GtkTreeModel *, GtkTreeIter *, GtkTreeIter *)
{
    return FALSE;
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
    DgpList *l = DGP_LIST(obj);
    g_free(l->listing);
    l->listing = nullptr;
    parent_class->finalize(obj);
}

void list_class_init(gpointer klass, gpointer)
{
    parent_class = (GObjectClass *)g_type_class_peek_parent(klass);
    G_OBJECT_CLASS(klass)->finalize = list_finalize;
}

void list_instance_init(GTypeInstance *instance, gpointer)
{
    ((DgpList *)instance)->stamp = g_random_int() | 1;
}

/* Takes the store's rows not looked at yet into the listing (store lock held). */
void scan_store(DgpList *l)
{
    const dgp_store *s = l->store;
    if (l->scanned < s->first)
        l->scanned = s->first;
    for (; l->scanned < s->next; l->scanned++) {
        if (!dgp_filter_match(s, &l->filter, &s->rows[l->scanned % s->cap]))
            continue;
        if (l->v_next - l->v_first >= l->cap)
            l->v_first++;
        l->listing[l->v_next++ % l->cap] = l->scanned;
    }
    /* Rows that gave way in the store leave the listing. */
    while (l->v_first < l->v_next && l->listing[l->v_first % l->cap] < s->first)
        l->v_first++;
}

}  // namespace

/* The plug-in library stays mapped once loaded (linked with -z nodelete):
 * a registered type cannot be unregistered. */
GType dgp_list_get_type(void)
{
    static GType type = 0;
    if (type == 0) {
        type = g_type_register_static_simple(G_TYPE_OBJECT, g_intern_static_string("DiagnosticsList"),
                                             sizeof(DgpListClass), list_class_init, sizeof(DgpList),
                                             list_instance_init, (GTypeFlags)0);
        const GInterfaceInfo info = {model_iface_init, nullptr, nullptr};
        g_type_add_interface_static(type, GTK_TYPE_TREE_MODEL, &info);
    }
    return type;
}

DgpList *dgp_list_new(dgp_store *store)
{
    DgpList *l = (DgpList *)g_object_new(dgp_list_get_type(), nullptr);
    l->cap = store->cap;
    l->listing = g_new0(uint64_t, l->cap);
    l->store = store;
    return l;
}

/* A new store or filter: the listing is made again from the store's rows.
 * The caller detaches the model from its view first (the view is told
 * nothing) and attaches it again after. */
static void relist(DgpList *l)
{
    g_mutex_lock(&l->store->lock);
    l->v_first = l->v_next = 0;
    l->scanned = l->store->first;
    scan_store(l);
    g_mutex_unlock(&l->store->lock);
    l->s_first = l->v_first;
    l->s_end = l->v_next;
    l->stamp = (l->stamp + 2) | 1;
}

void dgp_list_set_store(DgpList *l, dgp_store *store)
{
    if (store->cap != l->cap) {
        g_free(l->listing);
        l->cap = store->cap;
        l->listing = g_new0(uint64_t, l->cap);
    }
    l->store = store;
    relist(l);
}

void dgp_list_set_filter(DgpList *l, const dgp_filter *f)
{
    l->filter = *f;
    relist(l);
}

void dgp_list_sync(DgpList *l)
{
    g_mutex_lock(&l->store->lock);
    scan_store(l);
    g_mutex_unlock(&l->store->lock);
    GtkTreeModel *model = GTK_TREE_MODEL(l);
    GtkTreePath *path = gtk_tree_path_new_from_indices(0, -1);
    gint *index = gtk_tree_path_get_indices(path);
    uint32_t n = 0;
    while (l->s_first < l->s_end && l->s_first < l->v_first) {
        l->s_first++;
        index[0] = 0;
        gtk_tree_model_row_deleted(model, path);
    }
    if (l->s_first == l->s_end && l->s_first < l->v_first)
        l->s_first = l->s_end = l->v_first;
    while (n < SYNC_MAX && l->s_end < l->v_next) {
        GtkTreeIter it;
        set_iter(l, &it, l->s_end);
        l->s_end++;
        index[0] = (gint)(l->s_end - 1 - l->s_first);
        gtk_tree_model_row_inserted(model, path, &it);
        n++;
    }
    gtk_tree_path_free(path);
}

uint32_t dgp_list_rows(DgpList *l)
{
    return (uint32_t)(l->s_end - l->s_first);
}

uint64_t dgp_list_seq(DgpList *l, uint32_t pos)
{
    const uint64_t p = l->s_first + pos;
    if (p < l->v_first || p >= l->v_next || p >= l->s_end)
        return UINT64_MAX;
    return l->listing[p % l->cap];
}

bool dgp_list_row_changed(DgpList *l, uint64_t seq)
{
    /* Answers come to recent rows: only the last ones are looked at. */
    const uint64_t stop = l->s_end - l->s_first > 4096 ? l->s_end - 4096 : l->s_first;
    for (uint64_t pos = l->s_end; pos > stop; pos--) {
        if (pos - 1 < l->v_first || l->listing[(pos - 1) % l->cap] != seq)
            continue;
        GtkTreeIter it;
        set_iter(l, &it, pos - 1);
        GtkTreePath *path = gtk_tree_path_new_from_indices((gint)(pos - 1 - l->s_first), -1);
        gtk_tree_model_row_changed(GTK_TREE_MODEL(l), path, &it);
        gtk_tree_path_free(path);
        return true;
    }
    return false;
}

uint64_t dgp_list_pending(DgpList *l)
{
    g_mutex_lock(&l->store->lock);
    const uint64_t unscanned = l->store->next > l->scanned ? l->store->next - l->scanned : 0;
    g_mutex_unlock(&l->store->lock);
    return unscanned + (l->v_next - l->s_end) + (l->v_first > l->s_first ? 1 : 0);
}
