/*
 * order.cpp - sent and received frames of a poll tick in one time order.
 *
 * The host hands a tick's sent frames to the plug-in before its received
 * frames, and a frame received during the tick may be older than a frame
 * sent in it. Sent frames are therefore held until the received frames
 * come (or until anything else is logged), and both are then merged by
 * the adapter's clock, which stamps both (the plug-in kit's nbkit_order),
 * into the batch that is placed on the wall clock and written.
 */
#include "logger.h"

namespace {

void take(void *ctx, const zk_fdframe *frame, const nb_tx_fd_entry *sent)
{
    lg_order *o = static_cast<lg_order *>(ctx);
    o->frames[o->n] = *frame;
    o->sent[o->n] = sent ? 1 : 0;
    o->not_before_us[o->n] = sent ? nbkit_time_us(sent->timestamp) : 0;
    o->n++;
}

}  // namespace

void lg_order_merge(lg_order *o, const zk_fdframe *rx, int nrx)
{
    if (nrx > LG_BATCH_MAX)
        nrx = LG_BATCH_MAX;
    o->n = 0;
    nbkit_order_merge(&o->in, rx, nrx, take, o);
}
