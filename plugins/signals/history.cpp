/*
 * history.cpp - the whole history of one plotted signal within a memory
 * cap, and the walk that gives the plot about two values per pixel
 * whatever the number of points.
 *
 * Points go into chunks of SG_CHUNK_POINTS. When the cap is reached (or
 * no spare chunk is ready), the two oldest chunks of the lowest stage are
 * merged: of every four points the minimum and the maximum stay, in time
 * order, so the old history becomes coarser but keeps its extremes. A
 * merge touches two chunks only, so its cost is bounded, and the memory
 * stays what the cap allows. Each chunk keeps a min/max pyramid over
 * buckets of 16, 32, 64 ... points, updated as points arrive.
 *
 * A history's first chunk starts small and grows (in the refresh, never
 * while points are appended) while it is the only one, so a signal with
 * few points takes little memory. A history may keep only its newest
 * points (a count) or those of its last seconds: the older ones are
 * dropped from its start, a chunk's first points by moving its start,
 * whole chunks by giving them back.
 */
#include "signals.h"

#include <math.h>
#include <stdlib.h>
#include <string.h>

#include <algorithm>

namespace {

constexpr uint32_t C = SG_CHUNK_POINTS;
constexpr uint32_t B0 = 16;   /* points of a level-0 bucket */

static_assert(C % (B0 << (SG_PYR_LEVELS - 1)) == 0, "every level divides the chunk");

static_assert(SG_CHUNK_FIRST >= B0 && (SG_CHUNK_FIRST & (SG_CHUNK_FIRST - 1)) == 0 &&
                  C % SG_CHUNK_FIRST == 0,
              "a growing chunk's sizes are powers of two up to a whole chunk");

/* Offset in floats of a level's min/max pairs in a chunk of cap points
 * (levels whose buckets are larger than the chunk take none). */
constexpr uint32_t level_offset(uint32_t cap, int level)
{
    uint32_t off = 0;
    for (int k = 0; k < level; k++)
        off += 2 * (cap / (B0 << k));
    return off;
}

size_t chunk_bytes(const sg_chunk *c)
{
    return sizeof *c + (size_t)c->cap * sizeof(sg_point) +
           (size_t)level_offset(c->cap, SG_PYR_LEVELS) * sizeof(float);
}

sg_chunk *chunk_new(uint32_t cap)
{
    sg_chunk *c = (sg_chunk *)calloc(1, sizeof *c);
    if (!c)
        return nullptr;
    c->cap = cap;
    c->pts = (sg_point *)malloc(sizeof(sg_point) * cap);
    c->pyr = (float *)malloc(sizeof(float) * level_offset(cap, SG_PYR_LEVELS));
    if (!c->pts || !c->pyr) {
        free(c->pts);
        free(c->pyr);
        free(c);
        return nullptr;
    }
    return c;
}

void chunk_free(sg_chunk *c)
{
    if (!c)
        return;
    free(c->pts);
    free(c->pyr);
    free(c);
}

/* Fills the pyramid bucket that ends with point n - 1, and those above it
 * that end there too. */
void pyr_update(sg_chunk *c, uint32_t n)
{
    if (n % B0)
        return;
    uint32_t b = n / B0 - 1;
    float *p = c->pyr;
    float lo = (float)c->pts[n - B0].v, hi = lo;
    for (uint32_t i = n - B0 + 1; i < n; i++) {
        float v = (float)c->pts[i].v;
        lo = std::min(lo, v);
        hi = std::max(hi, v);
    }
    p[2 * b] = lo;
    p[2 * b + 1] = hi;
    for (int l = 1; l < SG_PYR_LEVELS && n % (B0 << l) == 0; l++) {
        const float *below = c->pyr + level_offset(c->cap, l - 1);
        float *at = c->pyr + level_offset(c->cap, l);
        b = n / (B0 << l) - 1;
        at[2 * b] = std::min(below[4 * b], below[4 * b + 2]);
        at[2 * b + 1] = std::max(below[4 * b + 1], below[4 * b + 3]);
    }
}

void pyr_rebuild(sg_chunk *c)
{
    for (uint32_t n = B0; n <= c->n; n += B0)
        pyr_update(c, n);
}

/* Moves a chunk's kept points to its start. */
void compact(sg_chunk *c)
{
    if (!c->first)
        return;
    memmove(c->pts, c->pts + c->first, sizeof(sg_point) * (c->n - c->first));
    c->n -= c->first;
    c->first = 0;
    pyr_rebuild(c);
}

/* Keeps the minimum and maximum of every four kept points of a then b,
 * into a's buffer (the output never overtakes the input). Only a lone
 * chunk may be smaller than a whole one, so the output always fits. */
void decimate_into(sg_chunk *a, const sg_chunk *b)
{
    const uint32_t na = a->n - a->first;
    uint32_t total = na + (b ? b->n - b->first : 0), o = 0;
    auto at = [&](uint32_t k) -> const sg_point & {
        return k < na ? a->pts[a->first + k] : b->pts[b->first + k - na];
    };
    for (uint32_t k = 0; k < total; k += 4) {
        uint32_t g = std::min(4u, total - k);
        sg_point grp[4];
        for (uint32_t i = 0; i < g; i++)
            grp[i] = at(k + i);
        if (g <= 2) {
            for (uint32_t i = 0; i < g; i++)
                a->pts[o++] = grp[i];
            continue;
        }
        uint32_t lo = 0, hi = 0;
        for (uint32_t i = 1; i < g; i++) {
            if (grp[i].v < grp[lo].v)
                lo = i;
            if (grp[i].v > grp[hi].v)
                hi = i;
        }
        if (lo == hi) {
            a->pts[o++] = grp[0];
            a->pts[o++] = grp[g - 1];
        } else {
            a->pts[o++] = grp[std::min(lo, hi)];
            a->pts[o++] = grp[std::max(lo, hi)];
        }
    }
    a->n = o;
    a->first = 0;
    a->stage = std::max(a->stage, b ? b->stage : 0) + 1;
    pyr_rebuild(a);
}

/* Makes room by merging: the oldest pair of the lowest stage (leaving the
 * chunk being filled alone when keep_last is set), or a lone chunk with
 * itself. Returns the chunk set free (emptied), or null when the lone
 * chunk was halved in place. */
sg_chunk *make_room(sg_history *h, bool keep_last = false)
{
    h->merges++;
    if (h->nchunks < 2) {
        decimate_into(h->chunks[0], nullptr);
        return nullptr;
    }
    uint32_t best = 0, best_stage = UINT32_MAX;
    for (uint32_t i = 0; i + 1 + (keep_last ? 1 : 0) < h->nchunks; i++) {
        uint32_t s = std::max(h->chunks[i]->stage, h->chunks[i + 1]->stage);
        if (s < best_stage) {
            best_stage = s;
            best = i;
        }
    }
    sg_chunk *freed = h->chunks[best + 1];
    decimate_into(h->chunks[best], freed);
    memmove(&h->chunks[best + 1], &h->chunks[best + 2],
            sizeof(sg_chunk *) * (h->nchunks - best - 2));
    h->nchunks--;
    return freed;
}

/* First kept point index with t >= x (n when none). */
uint32_t lower_bound(const sg_chunk *c, double x)
{
    uint32_t lo = c->first, hi = c->n;
    while (lo < hi) {
        uint32_t mid = (lo + hi) / 2;
        if (c->pts[mid].t < x)
            lo = mid + 1;
        else
            hi = mid;
    }
    return lo;
}

/* Gives back chunk i of the history, or keeps it as a spare. */
void drop_chunk(sg_history *h, uint32_t i)
{
    sg_chunk *c = h->chunks[i];
    memmove(&h->chunks[i], &h->chunks[i + 1], sizeof(sg_chunk *) * (h->nchunks - i - 1));
    h->nchunks--;
    if (c->cap == C && h->nspare < 1)
        h->spare[h->nspare++] = c;
    else
        chunk_free(c);
}

/* The lone first chunk, smaller than a whole one, grows to a whole one
 * (or to four times its size) once it is half full. */
int grow(sg_chunk *c)
{
    compact(c);
    if ((c->n - c->first) * 2 < c->cap)
        return 0;
    uint32_t cap = std::min(C, c->cap * 4);
    sg_point *pts = (sg_point *)realloc(c->pts, sizeof(sg_point) * cap);
    if (!pts)
        return -1;
    c->pts = pts;
    float *pyr = (float *)malloc(sizeof(float) * level_offset(cap, SG_PYR_LEVELS));
    if (!pyr)
        return -1;
    free(c->pyr);
    c->pyr = pyr;
    c->cap = cap;
    pyr_rebuild(c);
    return 0;
}

}  // namespace

void sg_history_init(sg_history *h, uint64_t cap_points)
{
    memset(h, 0, sizeof *h);
    uint64_t chunks = (cap_points + C - 1) / C;
    h->max_chunks = (uint32_t)std::min<uint64_t>(std::max<uint64_t>(chunks, 2),
                                                 sizeof h->chunks / sizeof h->chunks[0]);
}

void sg_history_free(sg_history *h)
{
    for (uint32_t i = 0; i < h->nchunks; i++)
        chunk_free(h->chunks[i]);
    for (uint32_t i = 0; i < h->nspare; i++)
        chunk_free(h->spare[i]);
    chunk_free(h->retired);
    uint32_t cap = h->max_chunks;
    double keep_s = h->keep_s;
    uint64_t keep_points = h->keep_points;
    memset(h, 0, sizeof *h);
    h->max_chunks = cap;
    h->keep_s = keep_s;
    h->keep_points = keep_points;
}

int sg_history_reserve(sg_history *h)
{
    chunk_free(h->retired);
    h->retired = nullptr;
    if (h->nchunks == 0) {
        sg_chunk *c = chunk_new(SG_CHUNK_FIRST);
        if (!c)
            return -1;
        h->chunks[h->nchunks++] = c;
    }
    sg_chunk *last = h->chunks[h->nchunks - 1];
    if (last->cap < C && grow(last) != 0)
        return -1;
    /* A spare whole chunk once the last one is half full, so that the
     * points of the next turn never wait for memory. */
    if (last->cap == C && last->n >= C / 2 && h->nspare < 1 &&
        h->nchunks + h->nspare < h->max_chunks) {
        sg_chunk *c = chunk_new(C);
        if (!c)
            return -1;
        h->spare[h->nspare++] = c;
    }
    /* A lower cap than before gives chunks back. */
    while (h->nchunks > h->max_chunks) {
        sg_chunk *c = make_room(h);
        chunk_free(c);
    }
    return 0;
}

int sg_history_prepare(sg_history *h)
{
    if (h->nspare > 0 || h->nchunks < h->max_chunks || h->nchunks < 3)
        return 0;
    sg_chunk *c = make_room(h, true);
    if (!c)
        return 0;
    h->spare[h->nspare++] = c;
    return 1;
}

void sg_history_append(sg_history *h, double t, double v)
{
    sg_chunk *c = h->nchunks ? h->chunks[h->nchunks - 1] : nullptr;
    if (c && c->n == c->cap && c->cap < C) {
        /* The lone small chunk is full before the refresh made it grow:
         * its points move into a spare whole chunk when there is one (it
         * is given back in the refresh), else they make room in place. */
        if (h->nspare > 0 && !h->retired) {
            sg_chunk *whole = h->spare[--h->nspare];
            whole->n = c->n - c->first;
            whole->first = 0;
            whole->stage = c->stage;
            memcpy(whole->pts, c->pts + c->first, sizeof(sg_point) * whole->n);
            pyr_rebuild(whole);
            h->chunks[h->nchunks - 1] = whole;
            h->retired = c;
            c = whole;
        } else if (c->first) {
            compact(c);
        } else {
            make_room(h);
        }
    }
    if (!c || c->n == c->cap) {
        sg_chunk *next = nullptr;
        if (h->nspare > 0 && h->nchunks < h->max_chunks)
            next = h->spare[--h->nspare];
        else if (h->nchunks > 0)
            next = make_room(h);
        if (next) {
            next->n = 0;
            next->first = 0;
            next->stage = 0;
            h->chunks[h->nchunks++] = next;
        }
        c = h->nchunks ? h->chunks[h->nchunks - 1] : nullptr;
        if (!c || c->n == c->cap)
            return;   /* nothing allocated yet */
    }
    c->pts[c->n] = {t, v};
    c->n++;
    pyr_update(c, c->n);
    h->appended++;
}

uint64_t sg_history_points(const sg_history *h)
{
    uint64_t n = 0;
    for (uint32_t i = 0; i < h->nchunks; i++)
        n += h->chunks[i]->n - h->chunks[i]->first;
    return n;
}

size_t sg_history_bytes(const sg_history *h)
{
    size_t n = 0;
    for (uint32_t i = 0; i < h->nchunks; i++)
        n += chunk_bytes(h->chunks[i]);
    for (uint32_t i = 0; i < h->nspare; i++)
        n += chunk_bytes(h->spare[i]);
    if (h->retired)
        n += chunk_bytes(h->retired);
    return n;
}

void sg_history_trim(sg_history *h)
{
    sg_point last;
    if (h->keep_s > 0 && sg_history_last(h, &last)) {
        double cutoff = last.t - h->keep_s;
        while (h->nchunks > 1 && h->chunks[0]->pts[h->chunks[0]->n - 1].t < cutoff)
            drop_chunk(h, 0);
        sg_chunk *c = h->chunks[0];
        uint32_t k = lower_bound(c, cutoff);
        c->first = std::min(k, c->n - 1);
    }
    if (h->keep_points > 0) {
        uint64_t total = sg_history_points(h);
        while (total > h->keep_points) {
            sg_chunk *c = h->chunks[0];
            uint64_t excess = total - h->keep_points, in = c->n - c->first;
            if (in <= excess && h->nchunks > 1) {
                drop_chunk(h, 0);
                total -= in;
            } else {
                c->first += (uint32_t)std::min<uint64_t>(excess, in - 1);
                break;
            }
        }
    }
}

int sg_history_last(const sg_history *h, sg_point *out)
{
    for (uint32_t i = h->nchunks; i-- > 0;)
        if (h->chunks[i]->n > h->chunks[i]->first) {
            *out = h->chunks[i]->pts[h->chunks[i]->n - 1];
            return 1;
        }
    return 0;
}

double sg_history_first_t(const sg_history *h)
{
    for (uint32_t i = 0; i < h->nchunks; i++)
        if (h->chunks[i]->n > h->chunks[i]->first)
            return h->chunks[i]->pts[h->chunks[i]->first].t;
    return 0.0;
}

int sg_history_at(const sg_history *h, double t, double *v)
{
    for (uint32_t i = h->nchunks; i-- > 0;) {
        const sg_chunk *c = h->chunks[i];
        if (c->n == c->first || c->pts[c->first].t > t)
            continue;
        uint32_t k = lower_bound(c, t);
        if (k < c->n && c->pts[k].t == t)
            k++;
        *v = c->pts[k - 1].v;
        return 1;
    }
    return 0;
}

void sg_history_walk(const sg_history *h, double t0, double t1, int px, sg_walk_fn fn, void *user)
{
    if (t1 <= t0 || px < 1)
        return;
    /* The point before the window. */
    bool before_done = false;
    for (uint32_t i = h->nchunks; i-- > 0 && !before_done;) {
        const sg_chunk *c = h->chunks[i];
        if (c->n == c->first || c->pts[c->first].t >= t0)
            continue;
        uint32_t k = lower_bound(c, t0);
        fn(user, c->pts[k - 1].t, c->pts[k - 1].v, c->pts[k - 1].v);
        before_done = true;
    }
    for (uint32_t ci = 0; ci < h->nchunks; ci++) {
        const sg_chunk *c = h->chunks[ci];
        if (c->n == c->first || c->pts[c->n - 1].t < t0)
            continue;
        const sg_point &p0 = c->pts[c->first];
        if (p0.t > t1) {
            fn(user, p0.t, p0.v, p0.v);   /* the point after */
            return;
        }
        uint32_t i0 = lower_bound(c, t0), i1 = lower_bound(c, t1);
        if (i1 < c->n && c->pts[i1].t <= t1)
            i1++;
        double first = std::max(t0, c->pts[i0 < c->n ? i0 : c->n - 1].t);
        double last = std::min(t1, c->pts[i1 > 0 ? i1 - 1 : 0].t);
        double cpx = std::max(1.0, (last - first) / (t1 - t0) * px);
        uint32_t count = i1 - i0;
        /* The largest bucket that still leaves two per pixel. */
        int level = -1;
        while (level + 1 < SG_PYR_LEVELS && (double)(B0 << (level + 1)) * 2.0 * cpx <= count)
            level++;
        if (level < 0) {
            for (uint32_t k = i0; k < i1; k++)
                fn(user, c->pts[k].t, c->pts[k].v, c->pts[k].v);
        } else {
            /* The largest bucket that starts at k and ends within the
             * window: at most one per level at each edge. */
            for (uint32_t k = i0; k < i1;) {
                int l = level;
                while (l >= 0 && (k % (B0 << l) || k + (B0 << l) > i1))
                    l--;
                if (l < 0) {
                    fn(user, c->pts[k].t, c->pts[k].v, c->pts[k].v);
                    k++;
                } else {
                    const float *pyr = c->pyr + level_offset(c->cap, l);
                    uint32_t q = k / (B0 << l);
                    fn(user, c->pts[k].t, pyr[2 * q], pyr[2 * q + 1]);
                    k += B0 << l;
                }
            }
        }
        if (i1 < c->n) {
            fn(user, c->pts[i1].t, c->pts[i1].v, c->pts[i1].v);
            return;
        }
    }
}
