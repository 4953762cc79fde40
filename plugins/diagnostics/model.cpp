/*
 * model.cpp - the list model of the diagnostics view: the rows of a store
 * that pass the filter. A listing ring holds their sequence numbers at
 * positions v_first .. v_next - 1; the view shows list.first ..
 * list.end - 1 and is told about changes only by dgp_list_sync, so between two
 * refreshes the model is what the view was last told (a row that has
 * given way meanwhile reads as empty until the next sync removes it).
 * Column texts are made when the view asks for them.
 */
#include "diagnostics.h"

#include <string.h>

#include "listmodel.h"

/* The rows shown are list.first .. list.end - 1 of the listing. */
struct DgpList {
    PgList list;
    dgp_store *store;
    dgp_filter filter;
    uint64_t *listing;
    uint32_t cap;
    uint64_t v_first, v_next;
    uint64_t scanned;           /* store rows looked at: up to this sequence number */
};

namespace {

/* Rows given to the view in one sync at most; the rest follow at the next. */
constexpr uint32_t SYNC_MAX = 4000;

const dgp_row *row_at(const DgpList *l, uint64_t pos)
{
    if (pos < l->v_first || pos >= l->v_next)
        return nullptr;
    return dgp_store_row(l->store, l->listing[pos % l->cap]);
}

GType column_type(int)
{
    return G_TYPE_STRING;
}

/* Column DGP_N_COLS is the row's background: problems stand out. */
void row_value(PgList *pl, uint64_t pos, int, int col, GValue *value)
{
    DgpList *l = (DgpList *)pl;
    g_mutex_lock(&l->store->lock);
    const dgp_row *r = row_at(l, pos);
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

void list_finalize(PgList *pl)
{
    DgpList *l = (DgpList *)pl;
    g_free(l->listing);
    l->listing = nullptr;
}

const pg_list_ops list_ops = {DGP_N_COLS + 1, column_type, GTK_TREE_MODEL_ITERS_PERSIST, row_value,
                              nullptr, list_finalize};

constexpr const char *TYPE_NAME = "DiagnosticsList";

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

GType dgp_list_get_type(void)
{
    static GType type = 0;
    if (!type)
        type = pg_list_type(TYPE_NAME, sizeof(DgpList));
    return type;
}

DgpList *dgp_list_new(dgp_store *store)
{
    DgpList *l = (DgpList *)pg_list_new(TYPE_NAME, sizeof(DgpList), &list_ops);
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
    pg_list_reset(&l->list, l->v_first, l->v_next);
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
    PgList *pl = &l->list;
    if (pl->first < l->v_first)
        pg_list_drop_front(pl, l->v_first - pl->first);
    if (pl->first == pl->end && pl->first < l->v_first)
        pg_list_shift(pl, l->v_first - pl->first);
    if (pl->end < l->v_next)
        pg_list_append(pl, l->v_next - pl->end < SYNC_MAX ? l->v_next - pl->end : SYNC_MAX);
}

uint32_t dgp_list_rows(DgpList *l)
{
    return (uint32_t)pg_list_rows(&l->list);
}

uint64_t dgp_list_seq(DgpList *l, uint32_t pos)
{
    const uint64_t p = l->list.first + pos;
    if (p < l->v_first || p >= l->v_next || p >= l->list.end)
        return UINT64_MAX;
    return l->listing[p % l->cap];
}

bool dgp_list_row_changed(DgpList *l, uint64_t seq)
{
    /* Answers come to recent rows: only the last ones are looked at. */
    const PgList *pl = &l->list;
    const uint64_t stop = pg_list_rows(pl) > 4096 ? pl->end - 4096 : pl->first;
    for (uint64_t pos = pl->end; pos > stop; pos--) {
        if (pos - 1 < l->v_first || l->listing[(pos - 1) % l->cap] != seq)
            continue;
        pg_list_changed(&l->list, pos - 1);
        return true;
    }
    return false;
}

uint64_t dgp_list_pending(DgpList *l)
{
    g_mutex_lock(&l->store->lock);
    const uint64_t unscanned = l->store->next > l->scanned ? l->store->next - l->scanned : 0;
    g_mutex_unlock(&l->store->lock);
    return unscanned + (l->v_next - l->list.end) + (l->v_first > l->list.first ? 1 : 0);
}
