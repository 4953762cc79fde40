/*
 * ids.cpp - the per-identifier table: one entry per identifier, format and
 * direction, counted at every frame, and the list model the view reads
 * it through, brought up to date by the refresh timer with the entries
 * that changed.
 */
#include "busview.h"

#include <stddef.h>
#include <stdint.h>
#include <string.h>

#include "listmodel.h"

namespace {

/* More new rows than this in one refresh are added with the view detached. */
constexpr uint32_t DETACHED_INSERTS = 64;

uint64_t make_key(uint8_t chan, uint32_t id, uint8_t flags, uint8_t dir)
{
    return (id & 0x1FFFFFFFu) | ((flags & ZK_FRAME_EFF) ? 1u << 29 : 0u) | ((uint64_t)dir << 30) |
           ((uint64_t)chan << 32);
}

/* By identifier, then channel: one message on several buses side by side. */
uint64_t sort_key(const bv_id_entry *e)
{
    return ((uint64_t)e->id << 11) | ((e->flags & ZK_FRAME_EFF) ? 1u << 10 : 0u) |
           ((uint64_t)e->chan << 2) | e->dir;
}

void fmt_markup(char *buf, size_t size, const bv_id_shown *sh)
{
    static const char hex[] = "0123456789ABCDEF";
    size_t o = 0;
    buf[0] = '\0';
    if (sh->flags & ZK_FRAME_RTR)
        return;
    for (uint8_t i = 0; i < sh->len && i < 64; i++) {
        char byte[3] = {hex[sh->data[i] >> 4], hex[sh->data[i] & 15], '\0'};
        const char *sep = i == 0 ? "" : i % 8 == 0 ? BV_GROUP_GAP : " ";
        int n;
        if (sh->changed & (1ull << i))
            n = g_snprintf(buf + o, size - o,
                           "%s<span foreground=\"#c00000\" weight=\"bold\">%s</span>", sep,
                           byte);
        else
            n = g_snprintf(buf + o, size - o, "%s%s", sep, byte);
        if (n < 0 || (size_t)n >= size - o)
            break;
        o += (size_t)n;
    }
}

/* ------------------------------------------------------------ the model */

/* The rows are the table's entries in the order of ids->order, read in
 * place: adding a row is an insertion into that array, and a row reads
 * what its entry's last display update kept (bv_id_shown). The view is
 * told of every change by a row signal, or detached meanwhile. */
struct BvIdsModel {
    PgList list;                  /* rows 0 .. norder - 1 */
    bv_ids *ids;                  /* null once the table is freed */
};

GType column_type(int)
{
    return G_TYPE_STRING;
}

void row_value(PgList *l, uint64_t row, int, int col, GValue *value)
{
    const bv_ids *ids = ((BvIdsModel *)l)->ids;
    if (!ids || row >= ids->norder)
        return;
    const bv_id_entry *e = &ids->tab[ids->order[row]];
    const bv_id_shown *sh = &e->shown;
    char buf[64 * 56];   /* every byte highlighted */
    switch (col) {
    case BV_IDCOL_ID:
        bv_fmt_id(buf, sizeof buf, e->id, e->flags);
        break;
    case BV_IDCOL_DIR:
        g_value_set_static_string(value, bv_kind_text(e->dir));
        return;
    case BV_IDCOL_MARKS:
        bv_fmt_marks(buf, sizeof buf, (uint8_t)((e->flags & ZK_FRAME_EFF) | sh->flags));
        break;
    case BV_IDCOL_LEN:
        g_snprintf(buf, sizeof buf, "%u", (unsigned)sh->len);
        break;
    case BV_IDCOL_COUNT:
        g_snprintf(buf, sizeof buf, "%llu", (unsigned long long)sh->count);
        break;
    case BV_IDCOL_PERIOD:
        bv_fmt_ms(buf, sizeof buf, sh->period_us);
        break;
    case BV_IDCOL_DATA:
        fmt_markup(buf, sizeof buf, sh);
        break;
    case BV_IDCOL_BACKGROUND:
        g_value_set_static_string(value, bv_kind_background(e->dir));
        return;
    case BV_IDCOL_CHAN:
        if (!ids->log) {
            g_value_set_string(value, nbkit_chans_name(nbkit_chans(), e->chan));
            return;
        }
        bv_log_chan_name(buf, sizeof buf, e->chan);
        break;
    case BV_IDCOL_CHAN_BACKGROUND:
        g_value_set_static_string(value, bv_chan_background(e->chan));
        return;
    default:
        return;
    }
    g_value_set_string(value, buf);
}

const pg_list_ops ids_ops = {BV_N_IDCOLS, column_type, (GtkTreeModelFlags)0, row_value, nullptr,
                             nullptr};

PgList *model_list(const bv_ids *ids)
{
    return (PgList *)ids->model;
}

/* The entry's row shows it as it stands now; its changes start afresh. */
void take_shown(bv_id_entry *e)
{
    e->shown.count = e->count;
    e->shown.period_us = bv_id_period(e);
    e->shown.len = e->len;
    e->shown.flags = e->flags & (BV_FRAME_FLAGS & ~ZK_FRAME_EFF);
    e->shown.changed = e->changed;
    memcpy(e->shown.data, e->data, sizeof e->data);
    e->dirty = 0;
    e->changed = 0;
}

/* Gives entry n its row, in sorted place; the view is told unless it is
 * detached. */
void insert_row(bv_ids *ids, uint32_t n, bool signal)
{
    bv_id_entry *e = &ids->tab[n];
    uint64_t k = sort_key(e);
    uint32_t lo = 0, hi = ids->norder;
    while (lo < hi) {
        uint32_t mid = lo + (hi - lo) / 2;
        if (sort_key(&ids->tab[ids->order[mid]]) < k)
            lo = mid + 1;
        else
            hi = mid;
    }
    memmove(&ids->order[lo + 1], &ids->order[lo], (ids->norder - lo) * sizeof ids->order[0]);
    ids->order[lo] = n;
    ids->norder++;
    e->in_view = 1;
    take_shown(e);
    if (signal)
        pg_list_insert(model_list(ids), lo);
}

/* Drops every row; with the view detached, which spares it a signal per
 * row. */
void clear_rows(bv_ids *ids, GtkTreeView *view)
{
    if (view)
        gtk_tree_view_set_model(view, nullptr);
    else
        pg_list_drop_back(model_list(ids), ids->norder);
    pg_list_reset(model_list(ids), 0, 0);
    ids->norder = 0;
    if (view)
        gtk_tree_view_set_model(view, ids->model);
}

}  // namespace

static_assert(offsetof(bv_id_entry, times) <= 64, "what every frame touches in one cache line");

int bv_ids_init(bv_ids *ids, uint32_t cap)
{
    memset(ids, 0, sizeof *ids);
    ids->cap = cap;
    ids->limit = cap / 4 * 3;
    /* Entries side by side in the order first seen, on cache lines of their
     * own; the index beside them is small enough to stay in the cache. */
    const size_t align = alignof(bv_id_entry);
    ids->tab_mem = g_try_malloc0((size_t)ids->limit * sizeof(bv_id_entry) + align);
    if (ids->tab_mem)
        ids->tab = (bv_id_entry *)(((uintptr_t)ids->tab_mem + align - 1) & ~(uintptr_t)(align - 1));
    ids->index = g_try_new0(uint64_t, cap);
    ids->order = g_try_new0(uint32_t, cap);
    if (!ids->tab || !ids->index || !ids->order || ids->limit >= 0xFFFF) {
        bv_ids_free(ids);
        return -1;
    }
    BvIdsModel *m = (BvIdsModel *)pg_list_new("BusviewIds", sizeof(BvIdsModel), &ids_ops);
    m->ids = ids;
    ids->model = GTK_TREE_MODEL(m);
    return 0;
}

void bv_ids_free(bv_ids *ids)
{
    g_free(ids->tab_mem);
    g_free(ids->index);
    g_free(ids->order);
    if (ids->model) {
        /* A view may hold the model a little longer: it has no rows now. */
        ((BvIdsModel *)ids->model)->ids = nullptr;
        pg_list_reset(model_list(ids), 0, 0);
        g_object_unref(ids->model);
    }
    memset(ids, 0, sizeof *ids);
}

int64_t bv_ids_count(bv_ids *ids, uint8_t chan, uint32_t id, uint8_t flags, uint8_t dir,
                     int64_t t_us, uint8_t len, const uint8_t *data, bv_bits *bits)
{
    if (!ids->tab) {
        if (bits)
            *bits = bv_frame_bits(id, flags, len, data);
        return -1;
    }
    uint64_t key = make_key(chan, id, flags, dir);
    uint32_t mask = ids->cap - 1;
    /* Eight keys in a row share a cache line of the index: a bus's
     * identifiers often come in runs. */
    uint64_t run = key >> 3;
    uint32_t slot = ((((uint32_t)(run ^ (run >> 29)) * 2654435761u) << 3) | (uint32_t)(key & 7)) & mask;
    bv_id_entry *e = nullptr;
    for (uint64_t v; (v = ids->index[slot]) != 0; slot = (slot + 1) & mask) {
        if (v >> 16 == key) {
            e = &ids->tab[(v & 0xFFFF) - 1];
            break;
        }
    }
    if (len > 64)
        len = 64;
    if (!e) {
        if (ids->used >= ids->limit) {
            ids->full = 1;
            if (bits)
                *bits = bv_frame_bits(id, flags, len, data);
            return -1;
        }
        ids->index[slot] = key << 16 | (ids->used + 1);
        e = &ids->tab[ids->used];
        e->used = 1;
        e->id = id & 0x1FFFFFFFu;
        e->dir = dir;
        e->chan = chan;
        e->flags = flags & ZK_FRAME_EFF;
        e->count = 0;
        e->ntimes = 0;
        e->next_time = 0;
        e->changed = 0;
        e->in_view = 0;
        ids->used++;
    }
    int64_t dt = -1;
    bool same = false;
    if (e->count > 0) {
        dt = t_us - e->t_last;
        uint64_t changed = 0;
        bool rtr = (flags & ZK_FRAME_RTR) != 0;
        if (!rtr)
            for (uint8_t i = 0; i < len; i++)
                if (i >= e->len || data[i] != e->data[i])
                    changed |= 1ull << i;
        e->changed |= changed;
        same = !changed && len == e->len &&
               (flags & BV_FRAME_FLAGS & ~ZK_FRAME_EFF) == (e->flags & ~ZK_FRAME_EFF);
    }
    if (bits) {
        if (!same)
            e->bits = bv_frame_bits(id, flags, len, data);
        *bits = e->bits;
    }
    e->count++;
    e->t_last = t_us;
    e->times[e->next_time] = t_us;
    e->next_time = (e->next_time + 1) % BV_PERIOD_TIMES;
    if (e->ntimes < BV_PERIOD_TIMES)
        e->ntimes++;
    e->len = len;
    e->flags = (uint8_t)((e->flags & ZK_FRAME_EFF) | (flags & BV_FRAME_FLAGS & ~ZK_FRAME_EFF));
    if (!(flags & ZK_FRAME_RTR))
        memcpy(e->data, data, len);
    e->dirty = 1;
    return dt;
}

int64_t bv_id_period(const bv_id_entry *e)
{
    if (e->ntimes < 2)
        return -1;
    /* The oldest time held: slot 0 until the ring is full, then the slot
     * the next frame overwrites. */
    int64_t oldest = e->times[e->ntimes < BV_PERIOD_TIMES ? 0 : e->next_time];
    return (e->t_last - oldest) / (e->ntimes - 1);
}

void bv_ids_clear(bv_ids *ids, GtkTreeView *view)
{
    if (!ids->tab)
        return;
    memset((void *)ids->tab, 0, ids->used * sizeof ids->tab[0]);
    memset(ids->index, 0, ids->cap * sizeof ids->index[0]);
    ids->used = 0;
    ids->full = 0;
    clear_rows(ids, view);
}

void bv_ids_refresh(bv_ids *ids, const bv_filter *f, GtkTreeView *view)
{
    if (!ids->tab)
        return;
    /* New rows first, so that the row count is right. Many at once (the
     * first second of a busy bus, a new filter) go in while the view is
     * detached, which spares it a signal per row. */
    uint32_t fresh = 0;
    for (uint32_t i = 0; i < ids->used; i++) {
        const bv_id_entry *e = &ids->tab[i];
        fresh += e->used && e->dirty && !e->in_view && bv_filter_match(f, e->id, e->flags) &&
                 bv_filter_chan(f, e->chan, ids->log);
    }
    bool detach = view && fresh > DETACHED_INSERTS;
    if (detach)
        gtk_tree_view_set_model(view, nullptr);
    for (uint32_t i = 0; fresh > 0 && i < ids->used; i++) {
        const bv_id_entry *e = &ids->tab[i];
        if (e->used && e->dirty && !e->in_view && bv_filter_match(f, e->id, e->flags) &&
            bv_filter_chan(f, e->chan, ids->log)) {
            insert_row(ids, i, !detach);
            fresh--;
        }
    }
    if (detach) {
        pg_list_reset(model_list(ids), 0, ids->norder);
        gtk_tree_view_set_model(view, ids->model);
    }

    /* Then the rows the view shows; the others keep their changes until
     * they are scrolled into view. */
    uint32_t first = 0, last = ids->norder;
    if (view) {
        GtkTreePath *a = nullptr, *b = nullptr;
        if (!gtk_tree_view_get_visible_range(view, &a, &b))
            return;
        first = (uint32_t)gtk_tree_path_get_indices(a)[0];
        last = (uint32_t)gtk_tree_path_get_indices(b)[0] + 1;
        gtk_tree_path_free(a);
        gtk_tree_path_free(b);
        if (last > ids->norder)
            last = ids->norder;
    }
    for (uint32_t i = first; i < last; i++) {
        bv_id_entry *e = &ids->tab[ids->order[i]];
        if (!e->dirty)
            continue;
        take_shown(e);
        pg_list_changed(model_list(ids), i);
    }
}

void bv_ids_relist(bv_ids *ids, GtkTreeView *view)
{
    if (!ids->tab)
        return;
    clear_rows(ids, view);
    for (uint32_t i = 0; i < ids->used; i++) {
        bv_id_entry *e = &ids->tab[i];
        e->in_view = 0;
        if (e->used)
            e->dirty = 1;
    }
}
