/*
 * blf_ahead.cpp - log containers unpacked ahead on worker threads.
 *
 * Unpacking takes nine tenths of the time a BLF file takes to read, so a
 * reader of a large file has the containers after the one it is reading
 * unpacked on every other core, a worker each. The reading thread finds
 * them (a header read costs a few bytes), queues them in a ring of slots
 * in file order, and takes them in that order; when the next one is not
 * ready it unpacks a queued one itself rather than wait, so every core
 * unpacks.
 *
 * Only well-formed compressed containers that lie whole in the file are
 * queued. Whatever else comes, or a container whose stream does not
 * unpack cleanly, is left to the reader's own serial code, which counts
 * and describes it as it always has. The slots' buffers grow to the
 * largest container seen and are reused; nothing is allocated per frame.
 */
#include "blf.h"
#include "reader.h"

#include <errno.h>
#include <sched.h>
#include <stdlib.h>
#include <string.h>
#include <unistd.h>

#include <libdeflate.h>

#include <array>
#include <condition_variable>
#include <mutex>
#include <new>
#include <system_error>
#include <thread>

namespace {

enum slot_state { FREE, QUEUED, BUSY, DONE, HELD };

/* Room ahead of a slot's unpacked bytes for the part of an object that
 * began in the container before; a longer part goes the serial way. */
constexpr size_t HEADROOM = 16 * 1024;
constexpr int WORKERS_MAX = CL_AHEAD_WORKERS_MAX;
constexpr int SLOTS_MAX = WORKERS_MAX + 3;
/* Larger containers (other writers') are unpacked by the reader itself,
 * which keeps the slots' memory bounded: (workers + 3) MiB at most. */
constexpr uint32_t AHEAD_UNPACKED_MAX = 1024u * 1024u;

struct slot {
    uint64_t where;        /* file offset of the container */
    uint64_t next;         /* where the next object begins, padding passed */
    uint32_t clen;         /* compressed bytes after the container header */
    uint32_t usize;        /* unpacked size its header names */
    slot_state state;
    bool stale;            /* dropped while being unpacked: freed when done */
    bool ok;               /* unpacked whole, to the end of its data */
    size_t dlen;           /* bytes unpacked */
    uint8_t *out;          /* HEADROOM, then the unpacked bytes */
    size_t out_cap;
};

/* What a thread unpacks with: its decompressor, and the stored stream
 * read from a file (one per thread rather than per slot: less memory to
 * go through, so more of it stays in the core's cache). */
struct unpacker {
    libdeflate_decompressor *dec;
    uint8_t *in;
    size_t in_cap;
};

bool grow(uint8_t **buf, size_t *cap, size_t n)
{
    if (n <= *cap)
        return true;
    uint8_t *b = static_cast<uint8_t *>(realloc(*buf, n));
    if (!b)
        return false;
    *buf = b;
    *cap = n;
    return true;
}

}  // namespace

struct cl_ahead {
    int fd;                /* the reader's file, read with pread */
    const uint8_t *mem;    /* or its memory */
    uint64_t size;
    int nslots;
    std::mutex mu;
    std::condition_variable work;  /* a slot was queued, or stop */
    std::condition_variable done;  /* a slot was unpacked */
    bool stop = false;
    std::array<slot, SLOTS_MAX> s{};
    int head = 0;          /* the queue: count slots from head, in file order */
    int count = 0;
    int held = -1;         /* the slot the reader reads from */
    uint64_t plan_at = 0;  /* the next container to queue, 0: none */
    unpacker own{};        /* the reading thread's */
    std::array<std::thread, WORKERS_MAX> th;
    int nthreads = 0;
};

namespace {

/* Up to n bytes of the source at off; how many there are. */
size_t peek(cl_ahead *a, uint64_t off, uint8_t *buf, size_t n)
{
    if (off >= a->size)
        return 0;
    if (a->size - off < n)
        n = (size_t)(a->size - off);
    if (a->mem) {
        memcpy(buf, a->mem + off, n);
        return n;
    }
    size_t got = 0;
    while (got < n) {
        ssize_t k = pread(a->fd, buf + got, n - got, (off_t)(off + got));
        if (k < 0 && errno == EINTR)
            continue;
        if (k <= 0)
            break;
        got += (size_t)k;
    }
    return got;
}

/* Whether the container header h at where goes ahead: compressed, of a
 * size we take, whole in the file, and no longer than its stream can be. */
bool plain(const uint8_t *h, uint64_t where, uint64_t size)
{
    uint32_t osize = blf_u32(h + 8), usize = blf_u32(h + 24);
    return memcmp(h, "LOBJ", 4) == 0 && blf_u32(h + 12) == BLF_LOG_CONTAINER &&
           osize >= BLF_CONTAINER_HEADER && blf_u16(h + 16) == BLF_ZLIB &&
           usize <= AHEAD_UNPACKED_MAX && where + osize <= size &&
           osize - BLF_CONTAINER_HEADER <= (uint64_t)usize + 4096;
}

void unpack_slot(cl_ahead *a, slot *sl, unpacker *u)
{
    const uint64_t at = sl->where + BLF_CONTAINER_HEADER;
    sl->ok = false;
    sl->dlen = 0;
    if (!a->mem &&
        (!grow(&u->in, &u->in_cap, sl->clen) || peek(a, at, u->in, sl->clen) < sl->clen))
        return;  /* no memory, or the file got shorter: the serial code says what is left */
    const uint8_t *in = a->mem ? a->mem + at : u->in;
    size_t used = 0, dlen = 0;
    if (libdeflate_zlib_decompress_ex(u->dec, in, sl->clen, sl->out + HEADROOM, sl->usize, &used,
                                      &dlen) != LIBDEFLATE_SUCCESS)
        return;
    /* Data after the stream is a size field that does not match. */
    sl->ok = used + 4 > sl->clen;
    sl->dlen = dlen;
}

/* The first queued slot in file order, -1 when none. Locked. */
int first_queued(cl_ahead *a)
{
    for (int i = 0; i < a->count; i++) {
        int k = (a->head + i) % a->nslots;
        if (a->s[k].state == QUEUED)
            return k;
    }
    return -1;
}

/* Unpacks slot k, taken from the queue. Locked on entry and return. */
void run_slot(cl_ahead *a, int k, unpacker *u, std::unique_lock<std::mutex> &lk)
{
    slot *sl = &a->s[k];
    sl->state = BUSY;
    lk.unlock();
    unpack_slot(a, sl, u);
    lk.lock();
    sl->state = sl->stale ? FREE : DONE;
    sl->stale = false;
    a->done.notify_all();
}

void worker(cl_ahead *a)
{
    unpacker u{libdeflate_alloc_decompressor(), nullptr, 0};
    std::unique_lock<std::mutex> lk(a->mu);
    while (u.dec && !a->stop) {
        int k = first_queued(a);
        if (k < 0)
            a->work.wait(lk);
        else
            run_slot(a, k, &u, lk);
    }
    lk.unlock();
    if (u.dec)
        libdeflate_free_decompressor(u.dec);
    free(u.in);
}

/* Forgets the queue (slots being unpacked are freed when done). Locked. */
void drop_queue(cl_ahead *a)
{
    for (int i = 0; i < a->count; i++) {
        slot *sl = &a->s[(a->head + i) % a->nslots];
        if (sl->state == BUSY)
            sl->stale = true;
        else
            sl->state = FREE;
    }
    a->count = 0;
    a->plan_at = 0;
}

/* Queues containers from plan_at on while slots are free, stopping at
 * anything that is not plain. */
void plan(cl_ahead *a)
{
    uint8_t h[BLF_CONTAINER_HEADER + 8];
    bool have = false;  /* h holds the header at plan_at */
    while (a->plan_at) {
        int k;
        {
            std::lock_guard<std::mutex> lk(a->mu);
            k = (a->head + a->count) % a->nslots;
            if (a->count >= a->nslots || a->s[k].state != FREE)
                return;
        }
        const uint64_t where = a->plan_at;
        a->plan_at = 0;
        if (!have && peek(a, where, h, BLF_CONTAINER_HEADER) < BLF_CONTAINER_HEADER)
            return;
        if (!plain(h, where, a->size))
            return;
        slot *sl = &a->s[k];
        sl->where = where;
        sl->clen = blf_u32(h + 8) - BLF_CONTAINER_HEADER;
        sl->usize = blf_u32(h + 24);
        if (!grow(&sl->out, &sl->out_cap, HEADROOM + sl->usize))
            return;
        /* Its padding, found as the reader finds it: the next signature
         * within 4 bytes, and the next header with it. */
        const uint64_t after = where + BLF_CONTAINER_HEADER + sl->clen;
        uint8_t p[BLF_CONTAINER_HEADER + 8];
        size_t n = peek(a, after, p, sizeof p), n8 = n < 8 ? n : 8;
        sl->next = n8 < 4 ? after + n8 : after;
        have = false;
        for (size_t i = 0; i < 4 && i + 4 <= n8; i++) {
            if (memcmp(p + i, "LOBJ", 4) == 0) {
                sl->next = after + i;
                a->plan_at = sl->next;
                have = n >= i + BLF_CONTAINER_HEADER;
                if (have)
                    memcpy(h, p + i, BLF_CONTAINER_HEADER);
                break;
            }
        }
        std::lock_guard<std::mutex> lk(a->mu);
        sl->state = QUEUED;
        sl->stale = false;
        a->count++;
        a->work.notify_one();
    }
}

}  // namespace

int cl_ahead_workers(void)
{
    cpu_set_t set;
    long cores = sched_getaffinity(0, sizeof set, &set) == 0 ? CPU_COUNT(&set)
                                                              : sysconf(_SC_NPROCESSORS_ONLN);
    long n = cores - 1;
    return n < 1 ? 0 : n > WORKERS_MAX ? WORKERS_MAX : (int)n;
}

cl_ahead *cl_ahead_start(const cl_source *src, int workers)
{
    if (workers < 1)
        return nullptr;
    if (workers > WORKERS_MAX)
        workers = WORKERS_MAX;
    cl_ahead *a = new (std::nothrow) cl_ahead;
    if (!a)
        return nullptr;
    a->fd = src->fd;
    a->mem = src->fd < 0 ? src->mem : nullptr;
    a->size = src->size;
    /* One read from, one per unpacking thread, one queued. */
    a->nslots = workers + 3;
    a->own.dec = libdeflate_alloc_decompressor();
    try {
        for (; a->own.dec && a->nthreads < workers; a->nthreads++)
            a->th[a->nthreads] = std::thread(worker, a);
    } catch (const std::system_error &) {
        /* Fewer threads than asked for: the ones there are do. */
    }
    if (a->nthreads == 0) {
        cl_ahead_stop(a);
        return nullptr;
    }
    return a;
}

void cl_ahead_stop(cl_ahead *a)
{
    if (!a)
        return;
    {
        std::lock_guard<std::mutex> lk(a->mu);
        a->stop = true;
    }
    a->work.notify_all();
    for (int i = 0; i < a->nthreads; i++)
        a->th[i].join();
    for (slot &sl : a->s)
        free(sl.out);
    if (a->own.dec)
        libdeflate_free_decompressor(a->own.dec);
    free(a->own.in);
    delete a;
}

void cl_ahead_drop(cl_ahead *a)
{
    std::lock_guard<std::mutex> lk(a->mu);
    drop_queue(a);
    if (a->held >= 0)
        a->s[a->held].state = FREE;
    a->held = -1;
}

int cl_ahead_take(cl_ahead *a, uint64_t where, const uint8_t *tail, size_t tail_len,
                  uint8_t **data, size_t *len, uint64_t *next)
{
    std::unique_lock<std::mutex> lk(a->mu);
    if (a->count > 0 && a->s[a->head].where != where)
        drop_queue(a);  /* the reader went elsewhere */
    if (a->count == 0)
        a->plan_at = where;
    lk.unlock();
    plan(a);
    lk.lock();
    if (a->count == 0 || a->s[a->head].where != where)
        return 0;
    const int k = a->head;
    slot *sl = &a->s[k];
    while (sl->state != DONE) {
        /* Not ready: unpack the next queued one meanwhile, or wait. */
        int q = first_queued(a);
        if (q >= 0)
            run_slot(a, q, &a->own, lk);
        else
            a->done.wait(lk);
    }
    a->head = (a->head + 1) % a->nslots;
    a->count--;
    if (!sl->ok || tail_len > HEADROOM) {
        sl->state = FREE;
        return 0;
    }
    sl->state = HELD;
    const int before = a->held;
    a->held = k;
    lk.unlock();
    /* The object begun in the container before, ahead of this one's. The
     * slot it lies in is freed only after: only this thread fills slots. */
    uint8_t *d = sl->out + HEADROOM - tail_len;
    if (tail_len)
        memcpy(d, tail, tail_len);
    if (before >= 0) {
        lk.lock();
        a->s[before].state = FREE;
    }
    *data = d;
    *len = tail_len + sl->dlen;
    *next = sl->next;
    return 1;
}
