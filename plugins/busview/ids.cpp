/*
 * ids.cpp - the per-identifier table: one entry per identifier, format and
 * direction, counted at every frame, and its list store, updated from the
 * refresh timer with the entries that changed.
 */
#include "busview.h"

#include <string.h>

namespace {

/* More new rows than this in one refresh are added with the view detached. */
constexpr uint32_t DETACHED_INSERTS = 64;

uint32_t make_key(uint32_t id, uint8_t flags, uint8_t dir)
{
    return (id & 0x1FFFFFFFu) | ((flags & ZK_FRAME_EFF) ? 1u << 29 : 0u) | ((uint32_t)dir << 30);
}

uint32_t entry_key(const bv_id_entry *e)
{
    return make_key(e->id, e->flags, e->dir);
}

uint64_t sort_key(const bv_id_entry *e)
{
    return ((uint64_t)e->id << 2) | ((e->flags & ZK_FRAME_EFF) ? 2u : 0u) | e->dir;
}

void fmt_markup(char *buf, size_t size, const bv_id_entry *e)
{
    static const char hex[] = "0123456789ABCDEF";
    size_t o = 0;
    buf[0] = '\0';
    if (e->flags & ZK_FRAME_RTR)
        return;
    for (uint8_t i = 0; i < e->len && i < 8; i++) {
        char byte[3] = {hex[e->data[i] >> 4], hex[e->data[i] & 15], '\0'};
        int n;
        if (e->changed & (1u << i))
            n = g_snprintf(buf + o, size - o,
                           "%s<span foreground=\"#c00000\" weight=\"bold\">%s</span>",
                           i ? " " : "", byte);
        else
            n = g_snprintf(buf + o, size - o, "%s%s", i ? " " : "", byte);
        if (n < 0 || (size_t)n >= size - o)
            break;
        o += (size_t)n;
    }
}

void set_row(bv_ids *ids, bv_id_entry *e, int insert_at)
{
    char id[16], marks[16], len[8], count[24], period[32], data[512];
    bv_fmt_id(id, sizeof id, e->id, e->flags);
    bv_fmt_marks(marks, sizeof marks, e->flags);
    g_snprintf(len, sizeof len, "%u", (unsigned)e->len);
    g_snprintf(count, sizeof count, "%llu", (unsigned long long)e->count);
    bv_fmt_ms(period, sizeof period, bv_id_period(e));
    fmt_markup(data, sizeof data, e);
    const char *dir = bv_kind_text(e->dir);
    const char *bg = bv_kind_background(e->dir);
    if (insert_at >= 0)
        gtk_list_store_insert_with_values(ids->store, &e->iter, insert_at, BV_IDCOL_ID, id,
                                          BV_IDCOL_DIR, dir, BV_IDCOL_MARKS, marks,
                                          BV_IDCOL_LEN, len, BV_IDCOL_COUNT, count,
                                          BV_IDCOL_PERIOD, period, BV_IDCOL_DATA, data,
                                          BV_IDCOL_BACKGROUND, bg, -1);
    else
        gtk_list_store_set(ids->store, &e->iter, BV_IDCOL_MARKS, marks, BV_IDCOL_LEN, len,
                           BV_IDCOL_COUNT, count, BV_IDCOL_PERIOD, period, BV_IDCOL_DATA, data,
                           -1);
}

void insert_row(bv_ids *ids, uint32_t slot)
{
    bv_id_entry *e = &ids->tab[slot];
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
    ids->order[lo] = slot;
    ids->norder++;
    e->in_view = 1;
    set_row(ids, e, (int)lo);
}

/* Empties the list store; with the view detached, which spares it a
 * signal per row. */
void clear_store(bv_ids *ids, GtkTreeView *view)
{
    if (view)
        gtk_tree_view_set_model(view, nullptr);
    gtk_list_store_clear(ids->store);
    ids->norder = 0;
    if (view)
        gtk_tree_view_set_model(view, GTK_TREE_MODEL(ids->store));
}

}  // namespace

int bv_ids_init(bv_ids *ids, uint32_t cap)
{
    memset(ids, 0, sizeof *ids);
    ids->tab = g_try_new0(bv_id_entry, cap);
    ids->order = g_try_new0(uint32_t, cap);
    if (!ids->tab || !ids->order) {
        bv_ids_free(ids);
        return -1;
    }
    ids->cap = cap;
    ids->limit = cap / 4 * 3;
    ids->store = gtk_list_store_new(BV_N_IDCOLS, G_TYPE_STRING, G_TYPE_STRING, G_TYPE_STRING,
                                    G_TYPE_STRING, G_TYPE_STRING, G_TYPE_STRING, G_TYPE_STRING,
                                    G_TYPE_STRING);
    return 0;
}

void bv_ids_free(bv_ids *ids)
{
    g_free(ids->tab);
    g_free(ids->order);
    if (ids->store)
        g_object_unref(ids->store);
    memset(ids, 0, sizeof *ids);
}

int64_t bv_ids_count(bv_ids *ids, uint32_t id, uint8_t flags, uint8_t dir, int64_t t_us,
                     uint8_t len, const uint8_t *data)
{
    if (!ids->tab)
        return -1;
    uint32_t key = make_key(id, flags, dir);
    uint32_t mask = ids->cap - 1;
    uint32_t slot = (key * 2654435761u) & mask;
    bv_id_entry *e;
    for (;;) {
        e = &ids->tab[slot];
        if (!e->used)
            break;
        if (entry_key(e) == key)
            break;
        slot = (slot + 1) & mask;
    }
    if (len > 8)
        len = 8;
    if (!e->used) {
        if (ids->used >= ids->limit) {
            ids->full = 1;
            return -1;
        }
        e->used = 1;
        e->id = id & 0x1FFFFFFFu;
        e->dir = dir;
        e->flags = flags & ZK_FRAME_EFF;
        e->count = 0;
        e->ntimes = 0;
        e->next_time = 0;
        e->changed = 0;
        e->in_view = 0;
        ids->used++;
    }
    int64_t dt = -1;
    if (e->count > 0) {
        dt = t_us - e->t_last;
        uint8_t changed = 0;
        bool rtr = (flags & ZK_FRAME_RTR) != 0;
        if (!rtr)
            for (uint8_t i = 0; i < len; i++)
                if (i >= e->len || data[i] != e->data[i])
                    changed |= (uint8_t)(1u << i);
        e->changed |= changed;
    }
    e->count++;
    e->t_last = t_us;
    e->times[e->next_time] = t_us;
    e->next_time = (e->next_time + 1) % BV_PERIOD_TIMES;
    if (e->ntimes < BV_PERIOD_TIMES)
        e->ntimes++;
    e->len = len;
    e->flags = (uint8_t)((e->flags & ZK_FRAME_EFF) | (flags & ZK_FRAME_RTR));
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
    memset(ids->tab, 0, ids->cap * sizeof ids->tab[0]);
    ids->used = 0;
    ids->full = 0;
    clear_store(ids, view);
}

void bv_ids_refresh(bv_ids *ids, const bv_filter *f, GtkTreeView *view)
{
    if (!ids->tab)
        return;
    /* New rows first, so that the row count is right. Many at once (the
     * first second of a busy bus, a new filter) go in while the view is
     * detached, which spares it a signal per row. */
    uint32_t fresh = 0;
    for (uint32_t slot = 0; slot < ids->cap; slot++) {
        const bv_id_entry *e = &ids->tab[slot];
        fresh += e->used && e->dirty && !e->in_view && bv_filter_match(f, e->id);
    }
    bool detach = view && fresh > DETACHED_INSERTS;
    if (detach)
        gtk_tree_view_set_model(view, nullptr);
    for (uint32_t slot = 0; fresh > 0 && slot < ids->cap; slot++) {
        bv_id_entry *e = &ids->tab[slot];
        if (e->used && e->dirty && !e->in_view && bv_filter_match(f, e->id)) {
            insert_row(ids, slot);
            e->dirty = 0;
            e->changed = 0;
            fresh--;
        }
    }
    if (detach)
        gtk_tree_view_set_model(view, GTK_TREE_MODEL(ids->store));

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
        set_row(ids, e, -1);
        e->dirty = 0;
        e->changed = 0;
    }
}

void bv_ids_relist(bv_ids *ids, GtkTreeView *view)
{
    if (!ids->tab)
        return;
    clear_store(ids, view);
    for (uint32_t slot = 0; slot < ids->cap; slot++) {
        bv_id_entry *e = &ids->tab[slot];
        e->in_view = 0;
        if (e->used)
            e->dirty = 1;
    }
}
