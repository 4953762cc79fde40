/*
 * lost.cpp - a channel whose adapter disappeared (unplugged, its serial
 * line hung up) while the program runs.
 *
 * The poller hands on every frame received before the loss; when the
 * library then reports the adapter gone, the channel is closed (releasing
 * the device and the busy lock), shown as lost and stopped, the plug-ins
 * get the new status and, for the main channel, the user is told once.
 * The status tick then has the same channel opened again with the
 * settings in force, on a thread of its own (reopen.cpp), and takes the
 * result at a later tick; once it is back it is stopped, ready to start.
 * An added channel is only marked: the window shows its state.
 */
#include <glib/gi18n.h>

#include "app/messages.h"
#include "app/nb_app.h"
#include "can/chanset.h"
#include "can/poll.h"
#include "can/stream.h"

void chan_lost(nb_app *app, int32_t code)
{
    nb_chan *chan = &app->chan;
    if (chan->lost)
        return;
    chan->lost = 1;
    (void)chan->ops.close(chan);
    /* A lost controller runs no more: the stop needs no library call. */
    app->gui.ops.controller_stopped(app, chan->ops.stop(chan));
    app->ops.state_changed(app, 0);
    char text[NB_TEXT_MAX];
    g_snprintf(text, sizeof text,
               _("CAN channel %d is lost; it is opened again as soon as the adapter is back"),
               (int)chan->number);
    lib_error_message(text, code);
}

void chan_retry_lost(nb_app *app)
{
    nb_chan *chan = &app->chan;
    if (!chan->lost || chan_retry_step(chan) < 0)
        return;
    /* Opened stopped: the window only shows it so. */
    poll_flush(app);
    app->gui.ops.controller_stopped(app, 0);
    app->ops.state_changed(app, 0);
}

void chan_lost_at(nb_app *app, int32_t index, int32_t)
{
    nb_chan *chan = chanset_at(app, index);
    if (index < 1 || !chan || chan->lost)
        return;
    chan->lost = 1;
    (void)chan->ops.close(chan);
    (void)chan->ops.stop(chan);
    /* Its frames before the loss come before its status. */
    stream_end(app, true);
    if (app->pgmgr.ops.pgmgr_chan_status)
        app->pgmgr.ops.pgmgr_chan_status(&app->pgmgr, index);
}

void chan_retry_lost_at(nb_app *app, int32_t index)
{
    nb_chan *chan = chanset_at(app, index);
    if (index < 1 || !chan || !chan->lost || chan_retry_step(chan) < 0)
        return;
    if (app->pgmgr.ops.pgmgr_chan_status)
        app->pgmgr.ops.pgmgr_chan_status(&app->pgmgr, index);
}
