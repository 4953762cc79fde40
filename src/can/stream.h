/*
 * stream.h - the stream: every frame of every channel in the poll tick,
 * received and sent, placed on the host's clock once and merged in time
 * order, for the plug-ins that take PGRP_STREAM.
 */
#ifndef NB_STREAM_H
#define NB_STREAM_H

#include <stdint.h>

#include "app/nb_defs.h"
#include "can/chan.h"

/* Sent frames held until the received frames up to their time are read:
 * what two full tx logs hold. */
#define NB_STREAM_HELD (2 * NB_TXLOG_CAPACITY)
/* Records of one channel placed and waiting for the merge with the other
 * channels. */
#define NB_STREAM_RUN (4 * NB_STREAM_MAX)

/* Records of frames that never went out, held until their time. */
#define NB_STREAM_LOST NB_STREAM_MAX

/* A channel's part of the stream: made when the channel is added (the
 * main channel's exists for the whole process). */
struct nb_stream_chan;
nb_stream_chan *stream_chan_new(void);              /* null when allocation fails */
void            stream_chan_free(nb_stream_chan *s);
/* Before a channel is removed (after poll_flush): whatever of it the
 * stream still holds goes out now. */
void            stream_chan_release(nb_app *app, nb_chan *chan);

/* At the start of the tick's traffic: whether a loaded plug-in takes the
 * stream. When none does, nothing is held any more. */
bool stream_begin(nb_app *app);
/* Whether the channel's records waiting for the merge leave room for
 * another receive batch. */
bool stream_room(nb_app *app, nb_chan *chan);
/* Sent frames just drained from the channel's tx log, oldest first. */
void stream_hold_sent(nb_app *app, nb_chan *chan, const nb_tx_fd_entry *sent, int n);
/* A batch of received frames just read from the channel (none: its queue
 * is empty). Places these and the held sent frames up to the last of them
 * in time order; every held frame when no more received ones can be
 * waiting. */
void stream_received(nb_app *app, nb_chan *chan, const zk_fdframe *rx, int n,
                     bool more_may_come);
/* A frame written on the channel that never went out (its entry as the
 * tx log kept it), learned at host time learned_us: an NB_DIR_TX_LOST
 * record after the frame's sent record, once the channel is read to then. */
void stream_lost(nb_app *app, nb_chan *chan, const nb_tx_fd_entry *sent, int64_t learned_us);
/* At the end of the tick's traffic: hands on, merged over the channels,
 * every record up to the time each channel has been read to; all of them
 * when all is set (a stop, a removal, a flush). */
void stream_end(nb_app *app, bool all);

/* A new pass is a new time line: times are kept from going back from
 * here on, not against the last pass's. */
void stream_pass_begin(nb_app *app);

/* The adapter's clock read together with the host's (microseconds since
 * the Unix epoch). */
struct nb_clock_pair {
    uint32_t adapter;
    int64_t host_us;
};
/* An adapter time as host time: the frame is as much older than host_us
 * as ts is older than adapter (up to half the clock's 71-minute wrap; a
 * ts after it counts as now). */
int64_t stream_place(uint32_t ts, nb_clock_pair now);

#endif
