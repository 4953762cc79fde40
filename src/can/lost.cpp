/*
 * lost.cpp - a channel whose adapter disappeared (unplugged, its serial
 * line hung up) while the program runs.
 *
 * The poller hands on every frame received before the loss; when the
 * library then reports the adapter gone, the channel is closed (releasing
 * the device and the busy lock), shown as lost and stopped, the plug-ins
 * get the new status and the user is told once. The status tick then tries
 * every second to open the same channel again with the settings in force;
 * once it is back the controls show the stopped state, ready to start.
 */
#include <glib/gi18n.h>

#include "app/nb_app.h"

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
    if (!chan->lost || chan_reopen_lost(chan) < 0)
        return;
    app->gui.ops.controller_stopped(app, ctl_stop(app));
    app->ops.state_changed(app, 0);
}
