/*
 * poll.cpp - the poller: every 20 ms it carries out pending plug-in loads
 * and releases, hands the frames sent through the host (tx log), the
 * frames received by the adapter and the error counters to the plug-ins;
 * every 1000 ms it refreshes the channel information panel.
 *
 * Nothing is allocated per tick: the receive batch, the drained tx batch
 * and the ring belong to the channel and exist for the whole process.
 */
#include <string.h>

#include <glib.h>

#include "app/nb_app.h"

namespace {

constexpr int POLL_PRIORITY = 150;
constexpr int STATUS_PRIORITY = 160;
constexpr guint POLL_INTERVAL_MS = 20;
constexpr guint STATUS_INTERVAL_MS = 1000;
constexpr uint32_t NO_SOURCE = (uint32_t)-1;

/* Set while a tick runs. A tick that would start inside another one (the
 * timers restarted from a nested main loop) is skipped, so the batches
 * being delivered are never overwritten under a plug-in. */
int g_in_tick = 0;

void remove_source(uint32_t *id)
{
    if (*id != NO_SOURCE) {
        /* The source may be gone already (its handler returned false). */
        GSource *source = g_main_context_find_source_by_id(nullptr, *id);
        if (source)
            g_source_destroy(source);
    }
    *id = NO_SOURCE;
}

void poll_stop(nb_app *app)
{
    app->poll.stopped = 1;
    remove_source(&app->poll.poll_source);
    remove_source(&app->poll.status_source);
}

void poll_start(nb_app *app)
{
    /* Never two timers of a kind. */
    remove_source(&app->poll.poll_source);
    remove_source(&app->poll.status_source);
    app->poll.stopped = 0;
    app->poll.poll_source =
        g_timeout_add_full(POLL_PRIORITY, POLL_INTERVAL_MS, poll_tick, app, nullptr);
    app->poll.status_source =
        g_timeout_add_full(STATUS_PRIORITY, STATUS_INTERVAL_MS, status_tick, app, nullptr);
}

}  // namespace

gboolean poll_tick(gpointer data)
{
    nb_app *app = static_cast<nb_app *>(data);
    if (app->poll.stopped)
        return FALSE;
    if (g_in_tick)
        return TRUE;
    g_in_tick = 1;

    nb_pgmgr *mgr = &app->pgmgr;
    nb_chan *chan = &app->chan;
    gboolean more = TRUE;

    /* Pending loads and releases first; a tick that carried some out
     * moves no traffic (it waits for the next tick). */
    if (mgr->loadrelease == 0 && mgr->ops.pgmgr_apply_pending &&
        mgr->ops.pgmgr_apply_pending(app)) {
        g_in_tick = 0;
        return more;
    }

    /* Frames sent through the host, oldest first, at most one batch. */
    if (chan->txlog && chan->txlog->count > 0) {
        int n = txlog_drain(chan->txlog, chan->txbatch, NB_RX_BATCH);
        if (n > 0)
            mgr->ops.pgmgr_tx_frames(mgr, chan->txbatch, n);
    }

    /* Frames received by the adapter. */
    int16_t r = ZkRead(chan->number, chan->rxbuf, NB_RX_BATCH);
    if (r > 0)
        mgr->ops.pgmgr_rx_frames(mgr, chan->rxbuf, r > NB_RX_BATCH ? NB_RX_BATCH : r);

    /* Error counters: a bus-off stops the controller and tells the
     * plug-ins the new status before they get the counters. */
    zk_errs errs;
    memset(&errs, 0, sizeof errs);
    if (ZkErrsGetClear(chan->number, &errs) >= 0 &&
        (errs.ewl | errs.boff | errs.hovr | errs.sovr | errs.wtout) != 0) {
        if (app->gui.ops.update_error_indicators)
            app->gui.ops.update_error_indicators(&errs);
        if (errs.boff) {
            if (app->gui.ops.stop_controller)
                app->gui.ops.stop_controller(app);
            mgr->ops.pgmgr_status(mgr);
        }
        mgr->ops.pgmgr_errors(mgr, &errs);
    }
    g_in_tick = 0;
    return more;
}

gboolean status_tick(gpointer data)
{
    nb_app *app = static_cast<nb_app *>(data);
    if (app->poll.stopped)
        return FALSE;
    if (app->gui.ops.refresh_info_panel)
        app->gui.ops.refresh_info_panel(app);
    return TRUE;
}

void poll_fill_ops(nb_poll_ops *ops)
{
    ops->start = poll_start;
    ops->stop = poll_stop;
}
