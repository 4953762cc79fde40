/*
 * stream.h - the stream: every frame of the poll tick, received and sent,
 * merged in time order and placed on the host's clock once, for the
 * plug-ins that take PGRP_STREAM.
 */
#ifndef NB_STREAM_H
#define NB_STREAM_H

#include <stdint.h>

#include "app/nb_app.h"

/* Sent frames held until the received frames up to their time are read:
 * what two full tx logs hold. */
#define NB_STREAM_HELD (2 * NB_TXLOG_CAPACITY)

/* At the start of the tick's traffic: whether a loaded plug-in takes the
 * stream. When none does, nothing is held any more. */
bool stream_begin(nb_app *app);
/* Sent frames just drained from the tx log, oldest first. */
void stream_hold_sent(nb_app *app, const nb_tx_fd_entry *sent, int n);
/* A batch of received frames just read (none: the queue is empty). Hands
 * on these and the held sent frames up to the last of them, in time
 * order; every held frame when no more received ones can be waiting. */
void stream_received(nb_app *app, const zk_fdframe *rx, int n, bool more_may_come);
/* At the end of the tick's traffic: hands on what the stream took. */
void stream_end(nb_app *app);

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
