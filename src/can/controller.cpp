/*
 * controller.cpp - the controller's logic: a stop that hands on what came
 * before it, and every channel's error counters with the stop after a
 * bus-off.
 *
 * The GUI only shows the outcome (controller_stopped and the indicators
 * for the main channel, the record's errs and bus_off for every channel);
 * it never calls back into the poller from here.
 */
#include <string.h>

#include "app/nb_app.h"
#include "can/chanset.h"
#include "can/poll.h"
#include "can/stream.h"

namespace {

bool any_set(const zk_errs &e)
{
    return (e.ewl | e.boff | e.hovr | e.sovr | e.wtout) != 0;
}

/* Kept for the window, which watches errs_reads. */
void keep(nb_chan *chan, const zk_errs &errs)
{
    chan->errs = errs;
    chan->errs_reads++;
}

}  // namespace

int32_t ctl_stop(nb_app *app)
{
    int32_t rc = app->chan.ops.stop(&app->chan);
    /* What the controller received and the host sent before it stopped
     * goes to the plug-ins before the status that says it stopped. */
    if (rc >= 0)
        poll_flush(app);
    return rc;
}

int32_t ctl_start_at(nb_app *app, int32_t index)
{
    nb_chan *chan = chanset_at(app, index);
    if (index < 1 || !chan)
        return ZK_E_NOCHAN;
    int32_t rc = chan->ops.start(chan);
    if (rc >= 0 && app->pgmgr.ops.pgmgr_chan_status)
        app->pgmgr.ops.pgmgr_chan_status(&app->pgmgr, index);
    return rc;
}

int32_t ctl_stop_at(nb_app *app, int32_t index)
{
    nb_chan *chan = chanset_at(app, index);
    if (index < 1 || !chan)
        return ZK_E_NOCHAN;
    int32_t rc = chan->ops.stop(chan);
    if (rc >= 0) {
        poll_flush(app);
        if (app->pgmgr.ops.pgmgr_chan_status)
            app->pgmgr.ops.pgmgr_chan_status(&app->pgmgr, index);
    }
    return rc;
}

void ctl_errors(nb_app *app, int16_t gone)
{
    nb_chan *chan = &app->chan;
    if (chan->lost)
        return;
    nb_pgmgr *mgr = &app->pgmgr;
    zk_errs errs;
    memset(&errs, 0, sizeof errs);
    int16_t e = gone ? gone : ZkErrsGetClear(chan->number, &errs);
    if (e >= 0 && any_set(errs)) {
        keep(chan, errs);
        if (app->gui.ops.update_error_indicators)
            app->gui.ops.update_error_indicators(&errs);
        /* A bus-off stops the controller, and the plug-ins learn the new
         * status before the counters. The tick's traffic is already
         * handed on (the stream's too, now), so the stop needs no flush. */
        if (errs.boff) {
            chan->bus_off = 1;
            stream_end(app, true);
            int32_t rc = chan->ops.stop(chan);
            poll_settle(app, chan);
            if (app->gui.ops.controller_stopped)
                app->gui.ops.controller_stopped(app, rc);
            mgr->ops.pgmgr_status(mgr);
        }
        mgr->ops.pgmgr_errors(mgr, &errs);
    }
    if (e == ZK_E_GONE)
        chan_lost(app, e);
}

void ctl_chan_errors(nb_app *app, int32_t index, int16_t gone)
{
    nb_chan *chan = chanset_at(app, index);
    if (index < 1 || !chan || chan->lost)
        return;
    nb_pgmgr *mgr = &app->pgmgr;
    zk_errs errs;
    memset(&errs, 0, sizeof errs);
    int16_t e = gone ? gone : ZkErrsGetClear(chan->number, &errs);
    if (e >= 0 && any_set(errs)) {
        keep(chan, errs);
        if (errs.boff && chan->running) {
            chan->bus_off = 1;
            stream_end(app, true);
            (void)chan->ops.stop(chan);
            poll_settle(app, chan);
            if (mgr->ops.pgmgr_chan_status)
                mgr->ops.pgmgr_chan_status(mgr, index);
        }
        if (mgr->ops.pgmgr_chan_errors)
            mgr->ops.pgmgr_chan_errors(mgr, index, &errs);
    }
    if (e == ZK_E_GONE)
        chan_lost_at(app, index, e);
}
