/*
 * trace.cpp - the trace ring and the list model the trace view reads.
 *
 * Records get sequence numbers; record s lives in slot s % capacity while
 * s >= rec_first. A second ring, the listing, holds the sequence numbers
 * of the records that pass the display filter, at positions v_first ..
 * v_next - 1. The view shows positions list.first .. list.end - 1 and is
 * told about changes only by bv_trace_sync, so between two refreshes the model
 * stays exactly what the view was last told: a row whose record has been
 * overwritten meanwhile reads as an empty line until the next sync
 * removes it. bv_trace_shift is the exception: it moves the shown window
 * over new lines without a signal, for a view that scrolls its pixels to
 * match.
 *
 * A view that follows the end may keep only the newest lines as rows
 * (bv_trace_keep): each row costs GtkTreeView a signal, a node and a
 * resize when it comes, so a trace filling up at full bus load would cost
 * most of the page's time in rows the user is not looking at.
 */
#include "busview.h"

#include <string.h>

#include "listmodel.h"

/* A position in a ring and its slot, pos % cap. */
struct bv_ring_at {
    uint64_t pos;
    uint32_t slot;
};

/* The rows shown are list.first .. list.end - 1 of the listing. */
struct BvTrace {
    PgList list;
    uint32_t cap;
    bv_rec *recs;
    uint64_t rec_first;
    uint64_t rec_next;
    uint64_t *listing;
    uint64_t v_first;
    uint64_t v_next;
    uint64_t keep;                /* rows kept at most, 0 for all */
    bv_filter filter;
    /* A new filter applied in slices: next_listing collects the records
     * that pass it, at positions n_first .. n_next - 1, up to record scan. */
    int refiltering;
    bv_filter next_filter;
    uint64_t *next_listing;
    uint64_t n_first;
    uint64_t n_next;
    uint64_t scan;
    int absolute;
    /* The ring slots bv_trace_append used last: the next one follows
     * without a division. */
    bv_ring_at at_rec, at_listed, at_first;
};

namespace {

/* pos % cap, cheaply when pos follows the position asked for last. */
uint32_t ring_slot(bv_ring_at *at, uint64_t pos, uint32_t cap)
{
    if (pos == at->pos + 1)
        at->slot = at->slot + 1 == cap ? 0 : at->slot + 1;
    else if (pos != at->pos)
        at->slot = (uint32_t)(pos % cap);
    at->pos = pos;
    return at->slot;
}

bool passes(const bv_filter *f, const bv_rec *r)
{
    if (!bv_filter_chan(f, r->chan, 0))
        return false;
    if (!bv_kind_frame(r->kind))
        return true;              /* a channel's error and status lines are always shown */
    return bv_filter_match(f, r->id, r->flags);
}

void refilter_cancel(BvTrace *t)
{
    g_free(t->next_listing);
    t->next_listing = nullptr;
    t->refiltering = 0;
}

/* The first listed position the view is to show. */
uint64_t first_kept(const BvTrace *t)
{
    if (t->keep && t->v_next - t->v_first > t->keep)
        return t->v_next - t->keep;
    return t->v_first;
}

/* Rows the view is to lose at the top and lines it is to gain at the
 * bottom. */
void window_changes(const BvTrace *t, uint64_t *dels, uint64_t *ins)
{
    uint64_t first = first_kept(t);
    const PgList *l = &t->list;
    uint64_t del_end = first < l->end ? first : l->end;
    *dels = del_end > l->first ? del_end - l->first : 0;
    uint64_t ins_start = l->end > first ? l->end : first;
    *ins = t->v_next > ins_start ? t->v_next - ins_start : 0;
}

/* The record behind a shown position, null when it is gone. */
const bv_rec *rec_at(const BvTrace *t, uint64_t pos)
{
    if (pos < t->v_first || pos >= t->v_next)
        return nullptr;
    uint64_t seq = t->listing[pos % t->cap];
    if (seq < t->rec_first || seq >= t->rec_next)
        return nullptr;
    return &t->recs[seq % t->cap];
}

/* The text of a record's column (in buf or static), null for none. */
const char *rec_text(const BvTrace *t, const bv_rec *r, int col, char *buf, size_t size)
{
    bool frame = bv_kind_frame(r->kind);
    switch (col) {
    case BV_COL_TIME:
        /* Relative times count from the host's origin, the same for every
         * plug-in and for lines before the first frame. */
        bv_fmt_time(buf, size, r->t_us, nbkit_origin_us(), t->absolute);
        return buf;
    case BV_COL_DIR:
        return bv_kind_text(r->kind);
    case BV_COL_ID:
        if (!frame)
            return nullptr;
        bv_fmt_id(buf, size, r->id, r->flags);
        return buf;
    case BV_COL_MARKS:
        if (!frame || !(r->flags & BV_FRAME_FLAGS))
            return nullptr;
        bv_fmt_marks(buf, size, r->flags & BV_FRAME_FLAGS);
        return buf;
    case BV_COL_LEN:
        if (!frame)
            return nullptr;
        g_snprintf(buf, size, "%u", (unsigned)r->len);
        return buf;
    case BV_COL_DATA:
        bv_fmt_rec_data(buf, size, r);
        return buf;
    case BV_COL_DELTA:
        if (!frame || r->dt_us < 0)
            return nullptr;
        bv_fmt_ms(buf, size, r->dt_us);
        return buf;
    case BV_COL_BACKGROUND:
        /* A Tx line whose frame never went out, as its Tx lost line. */
        return bv_kind_background((r->flags & BV_REC_LOST) ? (uint8_t)BV_TX_LOST : r->kind);
    case BV_COL_CHAN:
        return nbkit_chans_name(nbkit_chans(), r->chan);
    case BV_COL_CHAN_BACKGROUND:
        return bv_chan_background(r->chan);
    default:
        return nullptr;
    }
}

GType column_type(int col)
{
    return col == BV_COL_KIND ? G_TYPE_INT : G_TYPE_STRING;
}

void row_value(PgList *l, uint64_t pos, int, int col, GValue *value)
{
    const BvTrace *t = (const BvTrace *)l;
    const bv_rec *r = rec_at(t, pos);
    if (!r)
        return;
    if (col == BV_COL_KIND) {
        g_value_set_int(value, r->kind);
        return;
    }
    char buf[BV_DATA_TEXT];
    const char *text = rec_text(t, r, col, buf, sizeof buf);
    if (text == buf)
        g_value_set_string(value, text);
    else if (text)
        g_value_set_static_string(value, text);
}

void trace_finalize(PgList *l)
{
    BvTrace *t = (BvTrace *)l;
    g_free(t->recs);
    g_free(t->listing);
    g_free(t->next_listing);
    t->recs = nullptr;
    t->listing = nullptr;
}

const pg_list_ops trace_ops = {BV_N_COLS, column_type, GTK_TREE_MODEL_ITERS_PERSIST, row_value,
                               nullptr, trace_finalize};

constexpr const char *TYPE_NAME = "BusviewTrace";

}  // namespace

GType bv_trace_get_type(void)
{
    static GType type = 0;       /* asked for at every cell drawn */
    if (!type)
        type = pg_list_type(TYPE_NAME, sizeof(BvTrace));
    return type;
}

BvTrace *bv_trace_new(uint32_t capacity)
{
    if (capacity < 1)
        return nullptr;
    bv_rec *recs = g_try_new0(bv_rec, capacity);
    uint64_t *listing = g_try_new0(uint64_t, capacity);
    if (!recs || !listing) {
        g_free(recs);
        g_free(listing);
        return nullptr;
    }
    BvTrace *t = (BvTrace *)pg_list_new(TYPE_NAME, sizeof(BvTrace), &trace_ops);
    t->cap = capacity;
    t->recs = recs;
    t->listing = listing;
    return t;
}

const char *bv_trace_text(GtkTreeModel *model, GtkTreeIter *it, int col, char *buf, size_t size)
{
    if (!G_TYPE_CHECK_INSTANCE_TYPE(model, BV_TYPE_TRACE) || col == BV_COL_KIND)
        return nullptr;
    const BvTrace *t = BV_TRACE(model);
    uint64_t pos;
    int child;
    if (!pg_list_at(&t->list, it, &pos, &child))
        return nullptr;
    const bv_rec *r = rec_at(t, pos);
    return r ? rec_text(t, r, col, buf, size) : nullptr;
}

uint32_t bv_trace_capacity(const BvTrace *t)
{
    return t->cap;
}

void bv_trace_append(BvTrace *t, const bv_rec *r)
{
    if (t->rec_next - t->rec_first == t->cap) {
        t->rec_first++;
        while (t->v_first < t->v_next &&
               t->listing[ring_slot(&t->at_first, t->v_first, t->cap)] < t->rec_first)
            t->v_first++;
    }
    uint64_t seq = t->rec_next++;
    t->recs[ring_slot(&t->at_rec, seq, t->cap)] = *r;
    if (passes(&t->filter, r))
        t->listing[ring_slot(&t->at_listed, t->v_next++, t->cap)] = seq;
}

uint32_t bv_trace_frames(const BvTrace *t, bv_rec *out, uint32_t max)
{
    uint32_t n = 0;
    for (uint64_t pos = t->v_first; pos < t->v_next && n < max; pos++) {
        uint64_t seq = t->listing[pos % t->cap];
        if (seq < t->rec_first || seq >= t->rec_next)
            continue;
        const bv_rec *r = &t->recs[seq % t->cap];
        if (r->kind == BV_RX || r->kind == BV_TX)
            out[n++] = *r;
    }
    return n;
}

bool bv_trace_mark_lost(BvTrace *t, const bv_rec *lost)
{
    /* A frame's fate is known within a few ticks of its Tx line. */
    constexpr uint64_t SPAN = 2048;
    const uint64_t lo = t->rec_next - t->rec_first > SPAN ? t->rec_next - SPAN : t->rec_first;
    const size_t bytes = (lost->flags & ZK_FRAME_RTR) ? 0 : lost->len;
    for (uint64_t seq = t->rec_next; seq-- > lo;) {
        bv_rec *r = &t->recs[seq % t->cap];
        if (r->kind == BV_TX && !(r->flags & BV_REC_LOST) && r->chan == lost->chan &&
            r->id == lost->id && r->flags == lost->flags && r->len == lost->len &&
            memcmp(r->u.data, lost->u.data, bytes) == 0) {
            r->flags |= BV_REC_LOST;
            return true;
        }
    }
    return false;
}

uint32_t bv_trace_listed(const BvTrace *t)
{
    return (uint32_t)(t->v_next - t->v_first);
}

uint32_t bv_trace_rows(const BvTrace *t)
{
    return (uint32_t)pg_list_rows(&t->list);
}

uint32_t bv_trace_pending(const BvTrace *t)
{
    uint64_t dels, ins;
    window_changes(t, &dels, &ins);
    uint64_t n = dels + ins;
    return n > 0xFFFFFFFFu ? 0xFFFFFFFFu : (uint32_t)n;
}

void bv_trace_sync(BvTrace *t)
{
    bv_trace_sync_some(t, UINT32_MAX);
}

uint32_t bv_trace_sync_some(BvTrace *t, uint32_t max)
{
    /* The oldest rows go before new ones come, so that the view never
     * holds more rows than kept. */
    PgList *l = &t->list;
    uint64_t first = first_kept(t);
    uint64_t n = 0;
    if (l->first < first)
        n = pg_list_drop_front(l, first - l->first < max ? first - l->first : max);
    if (l->first == l->end && l->first < first)
        pg_list_shift(l, first - l->first);
    if (n < max && l->end < t->v_next)
        pg_list_append(l, t->v_next - l->end < max - n ? t->v_next - l->end : max - n);
    return bv_trace_pending(t);
}

uint32_t bv_trace_unshow(BvTrace *t, uint32_t max)
{
    pg_list_drop_back(&t->list, max);
    return (uint32_t)pg_list_rows(&t->list);
}

uint32_t bv_trace_grow(BvTrace *t, uint32_t max)
{
    PgList *l = &t->list;
    if (t->keep || l->first <= t->v_first)
        return 0;
    pg_list_prepend(l, l->first - t->v_first < max ? l->first - t->v_first : max);
    return (uint32_t)(l->first - t->v_first);
}

uint32_t bv_trace_shift(BvTrace *t)
{
    /* The window moves as far as its first row must go, new lines
     * permitting: more new lines than rows kept pass over in one step. */
    PgList *l = &t->list;
    uint64_t first = first_kept(t);
    if (first <= l->first || t->v_next <= l->end)
        return 0;
    uint64_t k = first - l->first < t->v_next - l->end ? first - l->first : t->v_next - l->end;
    pg_list_shift(l, k);
    return (uint32_t)k;
}

void bv_trace_sync_detached(BvTrace *t)
{
    pg_list_reset(&t->list, first_kept(t), t->v_next);
}

void bv_trace_clear(BvTrace *t)
{
    if (t->refiltering) {
        t->filter = t->next_filter;
        refilter_cancel(t);
    }
    t->rec_first = t->rec_next;
    t->v_first = t->v_next;
    bv_trace_sync_detached(t);
}

void bv_trace_set_filter(BvTrace *t, const bv_filter *f)
{
    refilter_cancel(t);
    t->filter = *f;
    t->v_first = t->v_next = 0;
    for (uint64_t seq = t->rec_first; seq < t->rec_next; seq++)
        if (passes(&t->filter, &t->recs[seq % t->cap]))
            t->listing[t->v_next++ % t->cap] = seq;
    bv_trace_sync_detached(t);
}

int bv_trace_refilter_begin(BvTrace *t, const bv_filter *f)
{
    if (!t->next_listing)
        t->next_listing = g_try_new(uint64_t, t->cap);
    if (!t->next_listing)
        return -1;
    t->refiltering = 1;
    t->next_filter = *f;
    t->n_first = t->n_next = 0;
    t->scan = t->rec_first;
    return 0;
}

int bv_trace_refiltering(const BvTrace *t)
{
    return t->refiltering;
}

int bv_trace_refilter_step(BvTrace *t, uint32_t max)
{
    if (!t->refiltering)
        return 1;
    if (t->scan < t->rec_first)
        t->scan = t->rec_first;
    for (uint32_t n = 0; n < max && t->scan < t->rec_next; n++, t->scan++) {
        if (!passes(&t->next_filter, &t->recs[t->scan % t->cap]))
            continue;
        t->next_listing[t->n_next++ % t->cap] = t->scan;
        if (t->n_next - t->n_first > t->cap)
            t->n_first++;
    }
    return t->scan >= t->rec_next;
}

/* Lines the new filter has passed so far, less those the ring dropped
 * meanwhile. */
static uint64_t refilter_count(BvTrace *t)
{
    while (t->n_first < t->n_next && t->next_listing[t->n_first % t->cap] < t->rec_first)
        t->n_first++;
    return t->n_next - t->n_first;
}

uint32_t bv_trace_refilter_excess(BvTrace *t)
{
    if (!t->refiltering)
        return 0;
    uint64_t rows = pg_list_rows(&t->list), lines = refilter_count(t);
    if (t->keep && lines > t->keep)
        lines = t->keep;
    return rows > lines ? (uint32_t)(rows - lines) : 0;
}

void bv_trace_refilter_finish(BvTrace *t, int attached)
{
    if (!t->refiltering)
        return;
    bv_trace_refilter_step(t, UINT32_MAX);
    /* An attached view keeps as many rows as there are new lines; rows
     * beyond them have been taken already, but for what the ring dropped
     * since. */
    uint32_t excess = bv_trace_refilter_excess(t);
    if (attached && excess > 0)
        bv_trace_unshow(t, excess);
    uint64_t rows = pg_list_rows(&t->list);
    refilter_count(t);
    uint64_t *old = t->listing;
    t->listing = t->next_listing;
    t->v_first = t->n_first;
    t->v_next = t->n_next;
    t->filter = t->next_filter;
    t->next_listing = old;
    refilter_cancel(t);
    if (attached) {
        /* The same rows, read from the new listing: the view is told
         * nothing, as its row count stays. */
        t->list.first = first_kept(t);
        t->list.end = t->list.first + rows;
    } else {
        bv_trace_sync_detached(t);
    }
}

void bv_trace_copy_from(BvTrace *t, const BvTrace *src)
{
    t->filter = src->refiltering ? src->next_filter : src->filter;
    t->absolute = src->absolute;
    uint64_t n = src->rec_next - src->rec_first;
    uint64_t first = n > t->cap ? src->rec_next - t->cap : src->rec_first;
    for (uint64_t seq = first; seq < src->rec_next; seq++)
        bv_trace_append(t, &src->recs[seq % src->cap]);
    bv_trace_sync_detached(t);
}

void bv_trace_keep(BvTrace *t, uint32_t rows)
{
    t->keep = rows;
}

uint32_t bv_trace_kept(const BvTrace *t)
{
    return (uint32_t)t->keep;
}

uint64_t bv_trace_first_shown(const BvTrace *t)
{
    return t->list.first;
}

void bv_trace_set_absolute(BvTrace *t, int absolute)
{
    t->absolute = absolute ? 1 : 0;
}
