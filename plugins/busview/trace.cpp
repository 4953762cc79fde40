/*
 * trace.cpp - the trace ring and the list model the trace view reads.
 *
 * Records get sequence numbers; record s lives in slot s % capacity while
 * s >= rec_first. A second ring, the listing, holds the sequence numbers
 * of the records that pass the display filter, at positions v_first ..
 * v_next - 1. The view shows positions s_first .. s_end - 1 and is told
 * about changes only by bv_trace_sync, so between two refreshes the model
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

static_assert(sizeof(void *) >= sizeof(uint64_t), "row positions travel in iter user_data");

/* A position in a ring and its slot, pos % cap. */
struct bv_ring_at {
    uint64_t pos;
    uint32_t slot;
};

struct BvTrace {
    GObject parent;
    gint stamp;
    uint32_t cap;
    bv_rec *recs;
    uint64_t rec_first;
    uint64_t rec_next;
    uint64_t *listing;
    uint64_t v_first;
    uint64_t v_next;
    uint64_t s_first;
    uint64_t s_end;
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

struct BvTraceClass {
    GObjectClass parent_class;
};

namespace {

GObjectClass *parent_class;

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
    uint64_t del_end = first < t->s_end ? first : t->s_end;
    *dels = del_end > t->s_first ? del_end - t->s_first : 0;
    uint64_t ins_start = t->s_end > first ? t->s_end : first;
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

bool valid_iter(const BvTrace *t, const GtkTreeIter *it)
{
    if (!it || it->stamp != t->stamp)
        return false;
    uint64_t pos = (uint64_t)(uintptr_t)it->user_data;
    return pos >= t->s_first && pos < t->s_end;
}

void set_iter(const BvTrace *t, GtkTreeIter *it, uint64_t pos)
{
    it->stamp = t->stamp;
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
    return BV_N_COLS;
}

GType m_get_column_type(GtkTreeModel *, gint col)
{
    return col == BV_COL_KIND ? G_TYPE_INT : G_TYPE_STRING;
}

GtkTreePath *m_get_path(GtkTreeModel *model, GtkTreeIter *it)
{
    BvTrace *t = BV_TRACE(model);
    g_return_val_if_fail(valid_iter(t, it), nullptr);
    uint64_t pos = (uint64_t)(uintptr_t)it->user_data;
    return gtk_tree_path_new_from_indices((gint)(pos - t->s_first), -1);
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

void m_get_value(GtkTreeModel *model, GtkTreeIter *it, gint col, GValue *value)
{
    BvTrace *t = BV_TRACE(model);
    if (col == BV_COL_KIND) {
        g_value_init(value, G_TYPE_INT);
    } else {
        g_value_init(value, G_TYPE_STRING);
    }
    if (!valid_iter(t, it))
        return;
    const bv_rec *r = rec_at(t, (uint64_t)(uintptr_t)it->user_data);
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

gboolean m_iter_next(GtkTreeModel *model, GtkTreeIter *it)
{
    BvTrace *t = BV_TRACE(model);
    if (!valid_iter(t, it))
        return FALSE;
    uint64_t pos = (uint64_t)(uintptr_t)it->user_data + 1;
    if (pos >= t->s_end) {
        it->stamp = 0;
        return FALSE;
    }
    it->user_data = (gpointer)(uintptr_t)pos;
    return TRUE;
}

gboolean m_iter_nth_child(GtkTreeModel *model, GtkTreeIter *it, GtkTreeIter *parent, gint n)
{
    BvTrace *t = BV_TRACE(model);
    if (parent || n < 0 || (uint64_t)n >= t->s_end - t->s_first)
        return FALSE;
    set_iter(t, it, t->s_first + (uint64_t)n);
    return TRUE;
}

gint m_iter_n_children(GtkTreeModel *model, GtkTreeIter *it)
{
    BvTrace *t = BV_TRACE(model);
    return it ? 0 : (gint)(t->s_end - t->s_first);
}

void model_iface_init(gpointer g_iface, gpointer)
{
    GtkTreeModelIface *iface = (GtkTreeModelIface *)g_iface;
    bv_list_model_iface_init(iface);
    iface->get_flags = m_get_flags;
    iface->get_n_columns = m_get_n_columns;
    iface->get_column_type = m_get_column_type;
    iface->get_path = m_get_path;
    iface->get_value = m_get_value;
    iface->iter_next = m_iter_next;
    iface->iter_n_children = m_iter_n_children;
    iface->iter_nth_child = m_iter_nth_child;
}

/* The slots every flat list fills alike. */
gboolean list_get_iter(GtkTreeModel *model, GtkTreeIter *it, GtkTreePath *path)
{
    if (gtk_tree_path_get_depth(path) != 1)
        return FALSE;
    return gtk_tree_model_iter_nth_child(model, it, nullptr, gtk_tree_path_get_indices(path)[0]);
}

gboolean list_iter_children(GtkTreeModel *model, GtkTreeIter *it, GtkTreeIter *parent)
{
    return parent ? FALSE : gtk_tree_model_iter_nth_child(model, it, nullptr, 0);
}

gboolean list_iter_has_child(GtkTreeModel *, GtkTreeIter *)
{
    return FALSE;
}

gboolean list_iter_parent(GtkTreeModel *, GtkTreeIter *, GtkTreeIter *)
{
    return FALSE;
}

void trace_finalize(GObject *obj)
{
    BvTrace *t = BV_TRACE(obj);
    g_free(t->recs);
    g_free(t->listing);
    g_free(t->next_listing);
    t->recs = nullptr;
    t->listing = nullptr;
    parent_class->finalize(obj);
}

void trace_class_init(gpointer klass, gpointer)
{
    parent_class = (GObjectClass *)g_type_class_peek_parent(klass);
    G_OBJECT_CLASS(klass)->finalize = trace_finalize;
}

void trace_instance_init(GTypeInstance *instance, gpointer)
{
    BvTrace *t = (BvTrace *)instance;
    t->stamp = g_random_int() | 1;
}

}  // namespace

void bv_list_model_iface_init(GtkTreeModelIface *iface)
{
    iface->get_iter = list_get_iter;
    iface->iter_children = list_iter_children;
    iface->iter_has_child = list_iter_has_child;
    iface->iter_parent = list_iter_parent;
}

/* The plug-in library stays mapped once loaded (it is linked with
 * -z nodelete), because a registered type cannot be unregistered: the
 * type and its class functions remain valid for every later load. */
GType bv_list_model_register(const char *name, guint class_size, GClassInitFunc class_init,
                             guint instance_size, GInstanceInitFunc instance_init,
                             GInterfaceInitFunc iface_init)
{
    GType type = g_type_register_static_simple(G_TYPE_OBJECT, g_intern_static_string(name),
                                               class_size, class_init, instance_size,
                                               instance_init, (GTypeFlags)0);
    const GInterfaceInfo model_info = {iface_init, nullptr, nullptr};
    g_type_add_interface_static(type, GTK_TYPE_TREE_MODEL, &model_info);
    return type;
}

GType bv_trace_get_type(void)
{
    static GType type = 0;
    if (type == 0)
        type = bv_list_model_register("BusviewTrace", sizeof(BvTraceClass), trace_class_init,
                                      sizeof(BvTrace), trace_instance_init, model_iface_init);
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
    BvTrace *t = (BvTrace *)g_object_new(BV_TYPE_TRACE, nullptr);
    t->cap = capacity;
    t->recs = recs;
    t->listing = listing;
    return t;
}

const char *bv_trace_text(GtkTreeModel *model, GtkTreeIter *it, int col, char *buf, size_t size)
{
    if (!G_TYPE_CHECK_INSTANCE_TYPE(model, BV_TYPE_TRACE))
        return nullptr;
    const BvTrace *t = BV_TRACE(model);
    if (!valid_iter(t, it) || col == BV_COL_KIND)
        return nullptr;
    const bv_rec *r = rec_at(t, (uint64_t)(uintptr_t)it->user_data);
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
    return (uint32_t)(t->s_end - t->s_first);
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
    GtkTreeModel *model = GTK_TREE_MODEL(t);
    GtkTreePath *path = gtk_tree_path_new_from_indices(0, -1);
    gint *index = gtk_tree_path_get_indices(path);
    uint64_t first = first_kept(t);
    uint32_t n = 0;
    while (n < max && t->s_first < t->s_end && t->s_first < first) {
        t->s_first++;
        index[0] = 0;
        gtk_tree_model_row_deleted(model, path);
        n++;
    }
    if (t->s_first == t->s_end && t->s_first < first)
        t->s_first = t->s_end = first;
    while (n < max && t->s_end < t->v_next) {
        GtkTreeIter it;
        set_iter(t, &it, t->s_end);
        t->s_end++;
        index[0] = (gint)(t->s_end - 1 - t->s_first);
        gtk_tree_model_row_inserted(model, path, &it);
        n++;
    }
    gtk_tree_path_free(path);
    return bv_trace_pending(t);
}

uint32_t bv_trace_unshow(BvTrace *t, uint32_t max)
{
    GtkTreeModel *model = GTK_TREE_MODEL(t);
    GtkTreePath *path = gtk_tree_path_new_from_indices(0, -1);
    gint *index = gtk_tree_path_get_indices(path);
    for (uint32_t n = 0; n < max && t->s_end > t->s_first; n++) {
        t->s_end--;
        index[0] = (gint)(t->s_end - t->s_first);
        gtk_tree_model_row_deleted(model, path);
    }
    gtk_tree_path_free(path);
    return (uint32_t)(t->s_end - t->s_first);
}

uint32_t bv_trace_grow(BvTrace *t, uint32_t max)
{
    GtkTreeModel *model = GTK_TREE_MODEL(t);
    GtkTreePath *path = gtk_tree_path_new_from_indices(0, -1);
    for (uint32_t n = 0; n < max && !t->keep && t->s_first > t->v_first; n++) {
        GtkTreeIter it;
        t->s_first--;
        set_iter(t, &it, t->s_first);
        gtk_tree_model_row_inserted(model, path, &it);
    }
    gtk_tree_path_free(path);
    return !t->keep && t->s_first > t->v_first ? (uint32_t)(t->s_first - t->v_first) : 0;
}

uint32_t bv_trace_shift(BvTrace *t)
{
    /* The window moves as far as its first row must go, new lines
     * permitting: more new lines than rows kept pass over in one step. */
    uint64_t first = first_kept(t);
    if (first <= t->s_first || t->v_next <= t->s_end)
        return 0;
    uint64_t k = first - t->s_first < t->v_next - t->s_end ? first - t->s_first : t->v_next - t->s_end;
    t->s_first += k;
    t->s_end += k;
    return (uint32_t)k;
}

void bv_trace_sync_detached(BvTrace *t)
{
    t->s_first = first_kept(t);
    t->s_end = t->v_next;
    t->stamp = (t->stamp + 2) | 1;
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
    uint64_t rows = t->s_end - t->s_first, lines = refilter_count(t);
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
    uint64_t rows = t->s_end - t->s_first;
    refilter_count(t);
    uint64_t *old = t->listing;
    t->listing = t->next_listing;
    t->v_first = t->n_first;
    t->v_next = t->n_next;
    t->filter = t->next_filter;
    t->next_listing = old;
    refilter_cancel(t);
    if (attached) {
        t->s_first = first_kept(t);
        t->s_end = t->s_first + rows;
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
    return t->s_first;
}

void bv_trace_set_absolute(BvTrace *t, int absolute)
{
    t->absolute = absolute ? 1 : 0;
}
