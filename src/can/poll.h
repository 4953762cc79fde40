/*
 * poll.h - the poller, the controller's logic (error counters, bus-off)
 * and the channel whose adapter was lost.
 */
#ifndef NB_CAN_POLL_H
#define NB_CAN_POLL_H

#include <glib.h>

#include "app/nb_defs.h"

struct nb_poll_ops {
    void (*start)(nb_app *app);
    void (*stop)(nb_app *app);
};

struct nb_poll {
    int32_t stopped;
    uint32_t poll_source;         /* (uint32_t)-1 when no timer exists */
    uint32_t status_source;
    nb_poll_ops ops;
};

void        poll_fill_ops(nb_poll_ops *ops);
gboolean    poll_tick(gpointer app);
gboolean    status_tick(gpointer app);
/* Hands on the frames waiting now, sent and received, as a tick would,
 * so that a status change that follows comes after them. Nothing inside
 * a tick or while the timers are stopped. An adapter found gone is left
 * to the next tick. */
void        poll_flush(nb_app *app);
/* After a stop the poller did not make (a bus-off): the frames the
 * library gave up on the channel go to the stream now, before the status
 * that follows. */
void        poll_settle(nb_app *app, nb_chan *chan);
/* Whether a tick (or a flush) is under way: a plug-in's nested main loop
 * may run inside it. */
bool        poll_in_tick(void);
/* lost.cpp: the adapter of the channel disappeared (code ZK_E_GONE from
 * the library): close the channel, show it lost and stopped, tell the
 * plug-ins and the user (once). chan_retry_lost, every second from the
 * status tick, has it opened again on a thread (chan_retry_step) and shows
 * it back, stopped, once an attempt succeeded. */
void        chan_lost(nb_app *app, int32_t code);
void        chan_retry_lost(nb_app *app);
/* The same for an added channel (index >= 1), without a message: the
 * window shows its state; the stream's plug-ins get its status. */
void        chan_lost_at(nb_app *app, int32_t index, int32_t code);
void        chan_retry_lost_at(nb_app *app, int32_t index);
/* controller.cpp: stops the controller and hands on the frames that came
 * before the stop; returns the stop's result. ctl_errors, at the end of
 * every poll tick, reads the error counters (gone: the adapter was found
 * gone) and stops the controller after a bus-off. */
int32_t     ctl_stop(nb_app *app);
/* Start and stop of an added channel (index >= 1), for the window: the
 * stream's plug-ins get its status, after its frames at a stop.
 * ZK_E_NOCHAN for an index that names no added channel. */
int32_t     ctl_start_at(nb_app *app, int32_t index);
int32_t     ctl_stop_at(nb_app *app, int32_t index);
void        ctl_errors(nb_app *app, int16_t gone);
/* The same for an added channel (index >= 1): the counters are kept in
 * its record and go to the stream's plug-ins; a bus-off stops it alone. */
void        ctl_chan_errors(nb_app *app, int32_t index, int16_t gone);
/* Time a poll tick may spend on a backlog beyond one batch per direction;
 * negative restores the default (a few milliseconds). For tests and
 * benchmarks. */
void        poll_set_budget_us(int64_t us);

#endif /* NB_CAN_POLL_H */
