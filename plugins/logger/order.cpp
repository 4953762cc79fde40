/*
 * order.cpp - sent and received frames of a poll tick in one time order.
 *
 * The host hands a tick's sent frames to the plug-in before its received
 * frames, and a frame received during the tick may be older than a frame
 * sent in it. Sent frames are therefore held until the received frames
 * come (or until anything else is logged), and both are then merged by
 * the adapter's clock, which stamps both. Each list is in time order on
 * its own; the clock wraps, so times are compared by their difference.
 */
#include "logger.h"

#include <string.h>

namespace {

/* a before b on the wrapping 32-bit clock */
bool earlier(uint32_t a, uint32_t b) { return (int32_t)(a - b) < 0; }

}  // namespace

int lg_order_hold(lg_order *o, const nb_tx_fd_entry *entries, int n)
{
    int room = LG_HELD_MAX - o->nheld;
    if (n > room)
        n = room;
    for (int i = 0; i < n; i++)
        o->held[o->nheld++] = entries[i].frame;
    return n;
}

void lg_order_merge(lg_order *o, const zk_fdframe *rx, int nrx)
{
    if (nrx > LG_BATCH_MAX)
        nrx = LG_BATCH_MAX;
    int i = 0, j = 0, k = 0;
    while (i < o->nheld || j < nrx) {
        bool take_sent = j >= nrx || (i < o->nheld && earlier(o->held[i].ts, rx[j].ts));
        o->frames[k] = take_sent ? o->held[i++] : rx[j++];
        o->sent[k] = take_sent ? 1 : 0;
        k++;
    }
    o->n = k;
    o->nheld = 0;
}
