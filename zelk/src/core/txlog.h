/*
 * txlog.h - the transmit results of one channel (ZkTxResults): how many
 * frames it accepted, how many of them have a known fate, and the runs of
 * settled frames not yet read. Plain data and inline functions, so the
 * tests check the run merging directly. The caller serialises (the
 * port's mutex).
 */
#ifndef ZELK_TXLOG_H
#define ZELK_TXLOG_H

#include "zelk.h"

#include <cstdint>

namespace zk {

/* Runs a channel keeps unread. A new run starts only when the fate
 * changes, which takes a stop, reset or bus-off between writes; a program
 * that reads now and then never comes near it. */
constexpr int ZK_TX_RUNS = 1024;

/* "Every frame not yet settled", for tx_settle. */
constexpr uint32_t ZK_TX_ALL = UINT32_MAX;

struct tx_log {
    bool keep = false;          /* opened with ZK_OPEN_TXRESULT: runs are kept */
    uint32_t accepted = 0;      /* frames accepted since open: the next frame's number */
    uint32_t settled = 0;       /* the first frame without a known fate */
    uint32_t dropped = 0;       /* frames settled ZK_TX_DROPPED since open */
    uint32_t skipped = 0;       /* frames whose fate found the queue full */
    uint8_t last_status = 0;    /* fate of the newest settled frame */
    zk_txresult *runs = nullptr;  /* cap entries (only when keep) */
    int cap = 0;
    int head = 0, count = 0;
};

/* Fresh state at open: runs kept only when runs/cap are given. */
inline void tx_reset(tx_log &t, zk_txresult *runs, int cap)
{
    t = tx_log{};
    t.keep = runs && cap > 0;
    t.runs = runs;
    t.cap = cap;
}

/* Frames accepted and not yet settled. */
inline uint32_t tx_outstanding(const tx_log &t)
{
    return t.accepted - t.settled;
}

/* The oldest count outstanding frames (ZK_TX_ALL: all) have fate status,
 * ts the time of the last of them. Returns how many were settled. A run
 * of the same fate that ends just before them grows (up to 65535 frames);
 * else a new run starts. When the queue is full the fates that do not fit
 * are not kept (counted in skipped): the next run's seq shows the gap. */
inline uint32_t tx_settle(tx_log &t, uint8_t status, uint32_t count, uint32_t ts)
{
    const uint32_t out = tx_outstanding(t);
    if (count > out) count = out;
    if (count == 0) return 0;
    uint32_t seq = t.settled;
    t.settled += count;
    t.last_status = status;
    if (status == ZK_TX_DROPPED) t.dropped += count;
    if (!t.keep) return count;
    for (uint32_t left = count; left > 0;) {
        zk_txresult *last = t.count ? &t.runs[(t.head + t.count - 1) % t.cap] : nullptr;
        uint32_t take;
        if (last && last->status == status && uint32_t(last->seq + last->count) == seq &&
            last->count < 0xFFFFu) {
            take = left < 0xFFFFu - last->count ? left : 0xFFFFu - last->count;
            last->count = uint16_t(last->count + take);
            last->ts = ts;
        } else if (t.count < t.cap) {
            take = left < 0xFFFFu ? left : 0xFFFFu;
            zk_txresult &r = t.runs[(t.head + t.count) % t.cap];
            r.seq = seq;
            r.count = uint16_t(take);
            r.status = status;
            r.reserved = 0;
            r.ts = ts;
            t.count++;
        } else {
            t.skipped += left;
            break;
        }
        seq += take;
        left -= take;
    }
    return count;
}

/* The newest accepted frame was not accepted after all (its write
 * failed); should it have been settled meanwhile (the device went away
 * during the write), that is taken back too. */
inline void tx_unaccept(tx_log &t)
{
    if (t.accepted == t.settled) {
        t.settled--;
        if (t.last_status == ZK_TX_DROPPED) t.dropped--;
        zk_txresult *last = t.count ? &t.runs[(t.head + t.count - 1) % t.cap] : nullptr;
        if (last && uint32_t(last->seq + last->count) == t.accepted && --last->count == 0) t.count--;
    }
    t.accepted--;
}

/* Moves up to n runs, oldest first, into out; returns how many. */
inline int tx_take(tx_log &t, zk_txresult *out, int n)
{
    int got = 0;
    while (got < n && t.count > 0) {
        out[got++] = t.runs[t.head];
        t.head = (t.head + 1) % t.cap;
        t.count--;
    }
    return got;
}

}  // namespace zk

#endif /* ZELK_TXLOG_H */
