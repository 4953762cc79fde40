/*
 * time_origin.cpp - the program's one time line.
 *
 * Relative times everywhere (the plug-ins' traces, plots and status
 * lines) count from one origin that the host keeps and hands to every
 * plug-in through nb_get_time_origin. The user chooses it in one place
 * (HW settings > Time from controller start, kept in the session):
 *   - from the start of the pass (the default): the moment the run loop
 *     began the pass, before the channel was opened and any plug-in
 *     loaded, so no line of the pass lies before it;
 *   - from the controller's start: the first start of the controller in
 *     the pass. Until then it is the pass's start. A stopped controller
 *     receives nothing, so only the host's own status lines can stand
 *     before it, and they show how long before the start they came.
 * The origin moves at most once in a pass, at that first start, before
 * any frame can have been received: one frame has one time in every
 * plug-in for the whole pass. A choice changed after the first start
 * takes effect with the next pass.
 */
#include "app/nb_app.h"
#include "can/stream.h"

void time_origin_pass_begin(nb_app *app)
{
    app->time.origin = nbsdep_timestamp_get();
    app->time.started = 0;
    stream_pass_begin(app);
}

void time_origin_controller_started(nb_app *app)
{
    if (app->time.started)
        return;
    app->time.started = 1;
    if (app->time.from_start)
        app->time.origin = nbsdep_timestamp_get();
}

extern "C" NB_HOST_API uint64_t nb_get_time_origin(void)
{
    return the_app.time.origin;
}
