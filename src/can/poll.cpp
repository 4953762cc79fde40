/*
 * poll.cpp - the poller: every 20 ms it carries out pending plug-in loads
 * and releases, hands the frames sent through the host (tx log), the
 * frames received by the adapter and the error counters to the plug-ins;
 * every 1000 ms it refreshes the channel information panel.
 *
 * Frames are read and logged in the CAN FD record, classic and FD alike,
 * in receive (and send) order; the plug-in manager hands each plug-in the
 * form it was written for. Frames go to the plug-ins in requests of at
 * most 512. When more are
 * waiting (an adapter flushing its buffer, a main loop that was held up),
 * a tick hands on further batches until the backlog is gone or its time
 * budget is spent, and then the next tick comes as soon as the main loop
 * has done its more urgent work, so that the poller keeps up with several
 * times a saturated bus and the main loop stays responsive.
 *
 * Every channel's frames move in each tick, the main channel first, within
 * one budget. Only the main channel's go out as PGRP_RX/TX(_FD)_FRAMES, as
 * they always did; for plug-ins that take the stream, every channel's
 * frames also go into it (stream.cpp), merged in time order.
 *
 * Each tick first reads what the library learned of the fates of the
 * frames written (a channel opened with ZK_OPEN_TXRESULT): a frame that
 * never went out becomes an NB_DIR_TX_LOST record of the stream, with the
 * contents the tx log kept under the frame's number.
 *
 * Nothing is allocated per tick: the receive batch, the drained tx batch
 * and the ring belong to the channel, made when it is opened or added.
 */
#include <string.h>

#include <glib.h>

#include "app/nb_app.h"
#include "can/poll.h"
#include "can/stream.h"

namespace {

/* Published to the plug-ins in nimbrel.h. */
constexpr int POLL_PRIORITY = NB_POLL_PRIORITY;
constexpr int STATUS_PRIORITY = NB_STATUS_PRIORITY;
constexpr guint POLL_INTERVAL_MS = NB_POLL_INTERVAL_MS;
constexpr guint STATUS_INTERVAL_MS = 1000;
constexpr uint32_t NO_SOURCE = (uint32_t)-1;

/* Time one tick may go on handing on batches after the first of each
 * direction: a few milliseconds, well inside a frame of the display. */
constexpr int64_t DEFAULT_BUDGET_US = 5000;
int64_t g_budget_us = DEFAULT_BUDGET_US;

/* A tick whose budget ran out with frames still waiting has the next one
 * follow as soon as the main loop has done its more urgent work (input,
 * resizing, redrawing), rather than 20 ms later: a backlog goes at the
 * speed the machine allows. The source is made once and then only armed
 * (ready time 0) and disarmed (-1), so a tick that falls behind allocates
 * nothing. */
GSource *g_catchup = nullptr;
nb_app *g_catchup_app = nullptr;
/* After the bus viewer's refresh and the status tick, so that they still
 * run while a backlog goes. */
constexpr int CATCH_UP_PRIORITY = STATUS_PRIORITY + 10;

gboolean catch_up_dispatch(GSource *source, GSourceFunc, gpointer)
{
    g_source_set_ready_time(source, -1);
    poll_tick(g_catchup_app);
    return G_SOURCE_CONTINUE;
}

GSourceFuncs g_catchup_funcs = {nullptr, nullptr, catch_up_dispatch, nullptr, nullptr, nullptr};

void make_catch_up()
{
    if (g_catchup)
        return;
    g_catchup = g_source_new(&g_catchup_funcs, sizeof(GSource));
    g_source_set_priority(g_catchup, CATCH_UP_PRIORITY);
    g_source_set_ready_time(g_catchup, -1);
    g_source_attach(g_catchup, nullptr);
}

void arm_catch_up(nb_app *app)
{
    make_catch_up();
    g_catchup_app = app;
    g_source_set_ready_time(g_catchup, 0);
}

void disarm_catch_up()
{
    if (g_catchup)
        g_source_set_ready_time(g_catchup, -1);
}

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
    disarm_catch_up();
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

/* Runs read from the library at a time. */
constexpr int RESULT_RUNS = 32;

/* The fates the library told since the last read; the frames that never
 * went out go to the stream. One older than the tx log's numbered ring
 * is left out: its contents are gone (the library's tx_dropped counts
 * it). */
void take_results(nb_app *app, nb_chan *chan, bool stream)
{
    if (!chan->txresult)
        return;
    zk_txresult runs[RESULT_RUNS];
    for (;;) {
        int16_t n = ZkTxResults(chan->number, runs, RESULT_RUNS);
        if (n <= 0)
            break;
        const int64_t learned = g_get_real_time();
        for (int i = 0; stream && i < n && i < RESULT_RUNS; i++) {
            if (runs[i].status != ZK_TX_DROPPED)
                continue;
            for (uint32_t k = 0; k < runs[i].count; k++) {
                nb_tx_fd_entry sent;
                if (txlog_sent_find(chan->txlog, runs[i].seq + k, &sent))
                    stream_lost(app, chan, &sent, learned);
            }
        }
        if (n < RESULT_RUNS)
            break;
    }
}

/* Frames of one channel: those sent through the host, then those the
 * adapter received, each direction at least one batch, further ones until
 * deadline. Only the main channel's go out as PGRP_RX/TX(_FD)_FRAMES;
 * every channel's go into the stream. *gone is set to ZK_E_GONE when the
 * adapter disappeared. Returns true when frames are still waiting. */
bool move_chan(nb_app *app, nb_chan *chan, bool stream, int64_t deadline, int16_t *gone)
{
    nb_pgmgr *mgr = &app->pgmgr;
    const bool main = chan == &app->chan;
    bool behind = false;
    *gone = 0;

    /* Fates first: every frame they name is in the tx log by now, so its
     * sent record comes before the lost one. */
    take_results(app, chan, stream);

    /* Frames sent through the host, oldest first: what the log held when
     * the tick began. A frame a plug-in sends while it handles one of
     * these requests lands behind them and waits for the next tick. */
    if (chan->txlog) {
        int backlog = txlog_count(chan->txlog);
        while (backlog > 0) {
            int n = txlog_drain(chan->txlog, chan->txbatch_fd,
                                backlog < NB_RX_BATCH ? backlog : NB_RX_BATCH);
            if (n <= 0)
                break;
            backlog -= n;
            if (stream)
                stream_hold_sent(app, chan, chan->txbatch_fd, n);
            if (main)
                mgr->ops.pgmgr_tx_fd_frames(mgr, chan->txbatch_fd, n);
            if (backlog > 0 && g_get_monotonic_time() >= deadline) {
                behind = true;
                break;
            }
        }
    }

    /* A channel whose adapter is gone is closed: nothing to read (nor to
     * wait for while an attempt to open it again runs). */
    if (chan->lost) {
        if (stream)
            stream_received(app, chan, nullptr, 0, false);
        return behind;
    }
    /* An added channel whose records in the stream wait for another
     * channel to be read leaves its queue to the next tick. The main
     * channel is read as always: its plug-ins need not wait. */
    const bool paced = stream && !main;
    if (paced && !stream_room(app, chan))
        return true;

    /* Frames received by the adapter: a full batch means the library's
     * queue may hold more. An adapter that disappeared is reported once
     * every frame received before is handed on. */
    for (;;) {
        int16_t r = ZkReadFd(chan->number, chan->rxfd, NB_RX_BATCH);
        if (r <= 0) {
            /* The frames given up with the adapter come before its loss. */
            if (r == ZK_E_GONE)
                take_results(app, chan, stream);
            if (stream)
                stream_received(app, chan, nullptr, 0, false);
            *gone = r == ZK_E_GONE ? r : 0;
            break;
        }
        if (r > NB_RX_BATCH)
            r = NB_RX_BATCH;
        if (main)
            mgr->ops.pgmgr_rx_fd_frames(mgr, chan->rxfd, r);
        if (stream)
            stream_received(app, chan, chan->rxfd, r, r == NB_RX_BATCH);
        if (r < NB_RX_BATCH)
            break;
        if (g_get_monotonic_time() >= deadline || (paced && !stream_room(app, chan))) {
            behind = true;
            break;
        }
    }
    return behind;
}

/* Every channel's frames, the main channel first, within one budget;
 * gone[i] for channel i as move_chan sets it. Returns true when frames
 * are still waiting. */
bool move_traffic(nb_app *app, int16_t gone[NB_CHAN_MAX], bool all)
{
    const int64_t deadline = g_get_monotonic_time() + g_budget_us;
    const bool stream = stream_begin(app);
    bool behind = false;
    for (int32_t i = 0; i == 0 || i < app->chans.count; i++) {
        nb_chan *chan = i == 0 ? &app->chan : app->chans.at[i];
        if (move_chan(app, chan, stream, deadline, &gone[i]))
            behind = true;
    }
    if (stream)
        stream_end(app, all);
    return behind;
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
    gboolean more = TRUE;

    /* Pending loads and releases first; a tick that carried some out
     * moves no traffic (it waits for the next tick). */
    if (mgr->loadrelease == 0 && mgr->ops.pgmgr_apply_pending &&
        mgr->ops.pgmgr_apply_pending(app)) {
        g_in_tick = 0;
        return more;
    }

    int16_t gone[NB_CHAN_MAX] = {0};
    if (move_traffic(app, gone, false) && !app->poll.stopped)
        arm_catch_up(app);

    /* Error counters last, with the stop after a bus-off; then the added
     * channels' (a channel lost or removed on the way is skipped). */
    ctl_errors(app, gone[0]);
    for (int32_t i = 1; i < app->chans.count && i < NB_CHAN_MAX; i++)
        ctl_chan_errors(app, i, gone[i]);
    g_in_tick = 0;
    return more;
}

void poll_settle(nb_app *app, nb_chan *chan)
{
    if (!chan->txresult)
        return;
    const bool stream = stream_begin(app);
    take_results(app, chan, stream);
    if (stream) {
        stream_received(app, chan, nullptr, 0, false);
        stream_end(app, true);
    }
}

void poll_flush(nb_app *app)
{
    /* Only while the timers run (not inside a tick, whose own order
     * holds, nor while a detection has them stopped). */
    if (app->poll.stopped || app->poll.poll_source == NO_SOURCE || g_in_tick)
        return;
    g_in_tick = 1;
    int16_t gone[NB_CHAN_MAX] = {0};
    if (move_traffic(app, gone, true))
        arm_catch_up(app);
    g_in_tick = 0;
}

gboolean status_tick(gpointer data)
{
    nb_app *app = static_cast<nb_app *>(data);
    if (app->poll.stopped)
        return FALSE;
    if (app->chan.lost)
        chan_retry_lost(app);
    for (int32_t i = 1; i < app->chans.count; i++) {
        if (app->chans.at[i]->lost)
            chan_retry_lost_at(app, i);
    }
    if (app->gui.ops.refresh_info_panel)
        app->gui.ops.refresh_info_panel(app);
    return TRUE;
}

bool poll_in_tick(void)
{
    return g_in_tick != 0;
}

void poll_set_budget_us(int64_t us)
{
    g_budget_us = us < 0 ? DEFAULT_BUDGET_US : us;
}

void poll_fill_ops(nb_poll_ops *ops)
{
    /* Made with the application object, not by the tick that first falls
     * behind. */
    make_catch_up();
    ops->start = poll_start;
    ops->stop = poll_stop;
}
