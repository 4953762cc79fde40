/*
 * controller.cpp - the controller's logic: a stop that hands on what came
 * before it, and the error counters with the stop after a bus-off.
 *
 * The GUI only shows the outcome (controller_stopped, the indicators); it
 * never calls back into the poller from here.
 */
#include <string.h>

#include "app/nb_app.h"

int32_t ctl_stop(nb_app *app)
{
    int32_t rc = app->chan.ops.stop(&app->chan);
    /* What the controller received and the host sent before it stopped
     * goes to the plug-ins before the status that says it stopped. */
    if (rc >= 0)
        poll_flush(app);
    return rc;
}

void ctl_errors(nb_app *app, int16_t gone)
{
    nb_chan *chan = &app->chan;
    nb_pgmgr *mgr = &app->pgmgr;
    zk_errs errs;
    memset(&errs, 0, sizeof errs);
    int16_t e = gone ? gone : ZkErrsGetClear(chan->number, &errs);
    if (e >= 0 && (errs.ewl | errs.boff | errs.hovr | errs.sovr | errs.wtout) != 0) {
        if (app->gui.ops.update_error_indicators)
            app->gui.ops.update_error_indicators(&errs);
        /* A bus-off stops the controller, and the plug-ins learn the new
         * status before the counters. The tick's traffic is already
         * handed on, so the stop needs no flush. */
        if (errs.boff) {
            chan->bus_off = 1;
            int32_t rc = chan->ops.stop(chan);
            if (app->gui.ops.controller_stopped)
                app->gui.ops.controller_stopped(app, rc);
            mgr->ops.pgmgr_status(mgr);
        }
        mgr->ops.pgmgr_errors(mgr, &errs);
    }
    if (e == ZK_E_GONE)
        chan_lost(app, e);
}
