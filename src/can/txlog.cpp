/*
 * txlog.cpp - the ring of frames sent through the host, filled by
 * nb_chan.send_frame and send_fd_frame and drained by the poller. Its
 * entries hold classic and CAN FD frames alike (nb_tx_fd_entry), in the
 * order they were sent. Allocated once; nothing is allocated while frames
 * flow. Frames may be sent from any thread, so every access takes the
 * ring's lock (held for a copy of one batch at most).
 */
#include <stdlib.h>
#include <string.h>

#include "can/chan.h"

static_assert(sizeof(nb_tx_fd_entry) == NB_TXLOG_ENTRY_SIZE, "tx log entry size");

nb_txlog *txlog_new(void)
{
    nb_txlog *log = static_cast<nb_txlog *>(calloc(1, sizeof(nb_txlog)));
    if (!log)
        return nullptr;
    log->data = static_cast<unsigned char *>(calloc(NB_TXLOG_CAPACITY, NB_TXLOG_ENTRY_SIZE));
    if (!log->data) {
        free(log);
        return nullptr;
    }
    log->sent = static_cast<nb_tx_fd_entry *>(calloc(NB_SENT_RING, sizeof(nb_tx_fd_entry)));
    if (!log->sent) {
        free(log->data);
        free(log);
        return nullptr;
    }
    log->head = 0;
    log->tail = 0;
    log->capacity = NB_TXLOG_CAPACITY;
    log->entry_size = NB_TXLOG_ENTRY_SIZE;
    log->count = 0;
    pthread_mutexattr_t a;
    pthread_mutexattr_init(&a);
    pthread_mutexattr_setprotocol(&a, PTHREAD_PRIO_INHERIT);  /* see chan.cpp */
    pthread_mutex_init(&log->lock, &a);
    pthread_mutexattr_destroy(&a);
    return log;
}

void txlog_free(nb_txlog *log)
{
    if (!log)
        return;
    pthread_mutex_destroy(&log->lock);
    free(log->data);
    free(log->sent);
    free(log);
}

namespace {

void append_locked(nb_txlog *log, const nb_tx_fd_entry *entry)
{
    /* A full ring drops the entry: the frame was sent all the same. */
    if (log->count < log->capacity) {
        memcpy(log->data + (size_t)log->head * log->entry_size, entry, log->entry_size);
        log->head++;
        log->count++;
        if (log->head >= log->capacity)
            log->head = 0;
    }
}

}  // namespace

void txlog_append(nb_txlog *log, const nb_tx_fd_entry *entry)
{
    if (!log || !entry || !log->data)
        return;
    pthread_mutex_lock(&log->lock);
    append_locked(log, entry);
    pthread_mutex_unlock(&log->lock);
}

void txlog_append_seq(nb_txlog *log, const nb_tx_fd_entry *entry, uint32_t seq)
{
    if (!log || !entry || !log->data)
        return;
    pthread_mutex_lock(&log->lock);
    append_locked(log, entry);
    /* Numbers run on by one; anything else starts the ring again. */
    if (seq != log->sent_next)
        log->sent_n = 0;
    log->sent[seq % NB_SENT_RING] = *entry;
    log->sent_next = seq + 1;
    if (log->sent_n < NB_SENT_RING)
        log->sent_n++;
    pthread_mutex_unlock(&log->lock);
}

bool txlog_sent_find(nb_txlog *log, uint32_t seq, nb_tx_fd_entry *out)
{
    if (!log || !out)
        return false;
    pthread_mutex_lock(&log->lock);
    uint32_t age = log->sent_next - seq;
    bool found = age >= 1 && age <= log->sent_n;
    if (found)
        *out = log->sent[seq % NB_SENT_RING];
    pthread_mutex_unlock(&log->lock);
    return found;
}

void txlog_sent_reset(nb_txlog *log)
{
    if (!log)
        return;
    pthread_mutex_lock(&log->lock);
    log->sent_next = 0;
    log->sent_n = 0;
    pthread_mutex_unlock(&log->lock);
}

int txlog_count(nb_txlog *log)
{
    if (!log)
        return 0;
    pthread_mutex_lock(&log->lock);
    int n = log->count;
    pthread_mutex_unlock(&log->lock);
    return n;
}

int txlog_drain(nb_txlog *log, nb_tx_fd_entry *out, int max)
{
    if (!log || !out || max <= 0 || !log->data)
        return 0;
    pthread_mutex_lock(&log->lock);
    int n = log->count < max ? log->count : max;
    for (int i = 0; i < n; i++) {
        memcpy(&out[i], log->data + (size_t)log->tail * log->entry_size, log->entry_size);
        log->tail++;
        log->count--;
        if (log->tail >= log->capacity)
            log->tail = 0;
    }
    pthread_mutex_unlock(&log->lock);
    return n;
}

int txlog_peek(nb_txlog *log, int skip, nb_tx_fd_entry *out, int max)
{
    if (!log || !out || max <= 0 || skip < 0 || !log->data)
        return 0;
    pthread_mutex_lock(&log->lock);
    if (skip >= log->count) {
        pthread_mutex_unlock(&log->lock);
        return 0;
    }
    int n = log->count - skip < max ? log->count - skip : max;
    int slot = (log->tail + skip) % log->capacity;
    for (int i = 0; i < n; i++) {
        memcpy(&out[i], log->data + (size_t)slot * log->entry_size, log->entry_size);
        if (++slot >= log->capacity)
            slot = 0;
    }
    pthread_mutex_unlock(&log->lock);
    return n;
}

void frame_to_fd(const zk_frame *in, zk_fdframe *out)
{
    memset(out, 0, sizeof *out);
    out->id = in->id;
    out->flags = in->flags & (ZK_FRAME_EFF | ZK_FRAME_RTR);
    out->len = in->len;
    /* The classic record's reserved bytes go along, so a frame converted
     * there and back is the frame that was given. */
    memcpy(out->reserved, in->reserved, sizeof out->reserved);
    out->ts = in->ts;
    memcpy(out->data, in->data, sizeof in->data);
}

bool frame_to_classic(const zk_fdframe *in, zk_frame *out)
{
    if (in->flags & ZK_FRAME_FDF)
        return false;
    out->id = in->id;
    out->flags = in->flags;
    out->len = in->len;
    memcpy(out->data, in->data, sizeof out->data);
    memcpy(out->reserved, in->reserved, sizeof out->reserved);
    out->ts = in->ts;
    return true;
}
