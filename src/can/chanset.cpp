/*
 * chanset.cpp - adding and removing the window's channels.
 *
 * An added channel is a record of its own, with its own operations, tx
 * log and batches, allocated when the user adds it (never on the poll
 * path) and freed when it is removed.
 */
#include "can/chanset.h"

#include <new>
#include <pthread.h>
#include <string.h>

#include <glib.h>

#include "app/nb_app.h"
#include "can/poll.h"
#include "can/stream.h"

void chan_settings_default(nb_chan_settings *s)
{
    memset(s, 0, sizeof *s);
    s->frame_format = ZK_OPEN_BOTH;
    s->fd = NB_FD_OFF;
    s->baud_index = NB_BAUD_INDEX_DEFAULT;
    s->data_kbit = NB_DATA_KBIT_DEFAULT;
    s->wtout = 20;
}

void chan_settings_of(const nb_chan *chan, nb_chan_settings *out)
{
    memset(out, 0, sizeof *out);
    out->frame_format = chan->frame_format;
    out->fd = chan->fd;
    out->lom = chan->lom;
    out->baud_index = chan->baud_index;
    out->bt0 = chan->bt0;
    out->bt1 = chan->bt1;
    out->data_kbit = chan->data_kbit;
    out->data_sp = chan->data_sp;
    out->acc_code = chan->acc_code;
    out->acc_mask = chan->acc_mask;
    out->wtout = chan->wtout;
}

void chan_name(const nb_chan *chan, char *buf, size_t size)
{
    if (size > 0)
        g_snprintf(buf, size, "ch%u", (unsigned)chan->number);
}

void chanset_init(nb_app *app)
{
    memset(&app->chans, 0, sizeof app->chans);
    app->chans.at[0] = &app->chan;
    app->chans.count = 1;
}

nb_chan *chanset_at(nb_app *app, int32_t index)
{
    if (index < 0 || index >= app->chans.count)
        return nullptr;
    return app->chans.at[index];
}

int32_t chanset_find(const nb_app *app, uint8_t number)
{
    for (int32_t i = 0; i < app->chans.count; i++) {
        if (app->chans.at[i]->number == number)
            return i;
    }
    return -1;
}

namespace {

/* Taken by a send from a plug-in's thread over looking up its channel and
 * sending, and by adding and removing over changing the set, so such a
 * send never meets a channel being freed. Priority inheritance as the
 * channel's send lock, which a send takes inside this one. */
pthread_mutex_t g_set_lock;
pthread_once_t g_set_once = PTHREAD_ONCE_INIT;

void init_set_lock(void)
{
    pthread_mutexattr_t a;
    pthread_mutexattr_init(&a);
    pthread_mutexattr_setprotocol(&a, PTHREAD_PRIO_INHERIT);
    pthread_mutex_init(&g_set_lock, &a);
    pthread_mutexattr_destroy(&a);
}

struct set_guard {
    set_guard()
    {
        pthread_once(&g_set_once, init_set_lock);
        pthread_mutex_lock(&g_set_lock);
    }
    ~set_guard() { pthread_mutex_unlock(&g_set_lock); }
    set_guard(const set_guard &) = delete;
    set_guard &operator=(const set_guard &) = delete;
};

void free_chan(nb_chan *chan)
{
    chan_retry_settle(chan);
    txlog_free(chan->txlog);
    stream_chan_free(chan->stream);
    delete chan;
}

/* The settings open does not apply: filter and listen-only mode. */
int32_t apply_after_open(nb_chan *chan, const nb_chan_settings *s)
{
    int32_t rc = 0;
    if ((s->acc_code != 0 || s->acc_mask != 0) &&
        (rc = chan->ops.set_filter(chan, s->acc_code, s->acc_mask)) < 0)
        return rc;
    if (s->lom && (rc = chan->ops.set_lom(chan, 1)) < 0)
        return rc;
    return 0;
}

}  // namespace

int32_t chanset_add(nb_app *app, uint8_t number, const nb_chan_settings *s, int32_t *index,
                    const char **step)
{
    if (step)
        *step = nullptr;
    if (chanset_find(app, number) >= 0)
        return ZK_E_BUSY;
    if (app->chans.count >= NB_CHAN_MAX)
        return NB_CHANSET_E_FULL;
    nb_chan *chan = new (std::nothrow) nb_chan();
    if (!chan)
        return ZK_E_NOMEM;
    chan->number = number;
    chan->frame_format = s->frame_format;
    chan->fd = s->fd;
    chan->baud_index = s->baud_index;
    chan->bt0 = s->bt0;
    chan->bt1 = s->bt1;
    chan->data_kbit = s->data_kbit ? s->data_kbit : NB_DATA_KBIT_DEFAULT;
    chan->data_sp = s->data_sp;
    chan->wtout = s->wtout;
    chan_fill_ops(&chan->ops);
    chan->txlog = txlog_new();
    chan->stream = stream_chan_new();
    if (!chan->txlog || !chan->stream) {
        free_chan(chan);
        return ZK_E_NOMEM;
    }

    int32_t rc = chan->ops.open(chan);
    if (rc < 0) {
        if (step)
            *step = chan->open_failed;
        free_chan(chan);
        return rc;
    }
    if ((rc = apply_after_open(chan, s)) < 0) {
        chan->ops.close(chan);
        free_chan(chan);
        return rc;
    }
    (void)chan->ops.find_board(chan->number, &chan->board);

    const int32_t i = app->chans.count;
    {
        set_guard g;
        app->chans.at[i] = chan;
        app->chans.count++;
        app->chans.changes++;
    }
    if (index)
        *index = i;
    if (app->pgmgr.ops.pgmgr_channels)
        app->pgmgr.ops.pgmgr_channels(&app->pgmgr);
    if (app->ops.channels_changed)
        app->ops.channels_changed(app);
    return 0;
}

int32_t chanset_remove(nb_app *app, int32_t index)
{
    if (index < 1 || index >= app->chans.count)
        return ZK_E_NOCHAN;
    /* Not from a main loop nested in a tick, which may be handing on
     * this channel's frames. */
    if (poll_in_tick())
        return ZK_E_BUSY;
    /* An attempt to open it again ends first, outside the set's lock. */
    chan_retry_settle(app->chans.at[index]);
    /* No thread sends on it any more (a send under way ends first), and
     * what it received and sent up to now reaches the plug-ins. */
    nb_chan *chan = app->chans.at[index];
    {
        set_guard g;
        app->chans.closing = chan;
    }
    poll_flush(app);
    stream_chan_release(app, chan);
    {
        set_guard g;
        app->chans.closing = nullptr;
        if (chan->running)
            (void)chan->ops.stop(chan);
        (void)chan->ops.close(chan);
        for (int32_t i = index; i + 1 < app->chans.count; i++)
            app->chans.at[i] = app->chans.at[i + 1];
        app->chans.count--;
        app->chans.at[app->chans.count] = nullptr;
        app->chans.changes++;
    }
    if (app->chans.selected > index || app->chans.selected >= app->chans.count)
        app->chans.selected--;
    free_chan(chan);
    if (app->pgmgr.ops.pgmgr_channels)
        app->pgmgr.ops.pgmgr_channels(&app->pgmgr);
    if (app->ops.channels_changed)
        app->ops.channels_changed(app);
    return 0;
}

int32_t chanset_send(nb_app *app, int32_t index, const char *name, const zk_fdframe *frame)
{
    if (!frame)
        return ZK_E_BADARG;
    set_guard g;
    nb_chan *chan = chanset_at(app, index);
    if (!chan || chan == app->chans.closing)
        return ZK_E_NOCHAN;
    if (name) {
        char now[16];
        chan_name(chan, now, sizeof now);
        if (strcmp(now, name) != 0)
            return ZK_E_NOCHAN;
    }
    if (!chan->ops.send_fd_frame)
        return ZK_E_NOTINIT;
    int32_t rc = chan->ops.send_fd_frame(chan, frame);
    return rc == ZK_E_NOTSTARTED && chan->bus_off ? ZK_E_BUSOFF : rc;
}

void chanset_remove_all(nb_app *app)
{
    while (app->chans.count > 1) {
        if (chanset_remove(app, app->chans.count - 1) < 0)
            break;
    }
}
