/*
 * reopen.cpp - the attempts to open a lost channel again, on a thread of
 * their own: an adapter that is present but silent costs several answer
 * timeouts per attempt, which the window must not wait for.
 *
 * An attempt opens the channel through a private copy of the record made
 * when it began; the window's thread collects the result at its status
 * tick and takes it only if the record still asks for those settings.
 * Before the record's channel is opened, closed or freed, chan_retry_settle
 * waits for an attempt under way and undoes what it opened.
 */
#include <string.h>

#include <new>

#include <glib.h>

#include "can/chanset.h"

struct nb_retry {
    nb_chan work;                 /* the attempt's copy; only its thread uses it */
    uint8_t number;               /* the channel and settings it was asked for */
    nb_chan_settings asked;
    GThread *thread;              /* null when no attempt is under way */
    gint done;                    /* set by the thread when its attempt ended */
    int32_t rc;
};

namespace {

gpointer attempt(gpointer data)
{
    nb_retry *r = static_cast<nb_retry *>(data);
    r->rc = chan_reopen_lost(&r->work);
    g_atomic_int_set(&r->done, 1);
    return nullptr;
}

int32_t begin(nb_chan *chan, nb_retry *r)
{
    memset(static_cast<void *>(&r->work), 0, sizeof r->work);
    r->work.number = chan->number;
    r->work.frame_format = chan->frame_format;
    r->work.fd = chan->fd;
    r->work.lom = chan->lom;
    r->work.baud_index = chan->baud_index;
    r->work.bt0 = chan->bt0;
    r->work.bt1 = chan->bt1;
    r->work.data_kbit = chan->data_kbit;
    r->work.data_sp = chan->data_sp;
    r->work.acc_code = chan->acc_code;
    r->work.acc_mask = chan->acc_mask;
    r->work.wtout = chan->wtout;
    r->work.lost = 1;
    r->number = chan->number;
    chan_settings_of(chan, &r->asked);
    r->done = 0;
    r->rc = ZK_E_BUSY;
    r->thread = g_thread_try_new("nb-reopen", attempt, r, nullptr);
    return r->thread ? ZK_E_BUSY : ZK_E_NOMEM;
}

/* Waits for the attempt's thread; what it opened stays open. */
int32_t join(nb_retry *r)
{
    g_thread_join(r->thread);
    r->thread = nullptr;
    return r->rc;
}

}  // namespace

int32_t chan_retry_step(nb_chan *chan)
{
    if (!chan->lost)
        return 0;
    nb_retry *r = chan->retry;
    if (!r) {
        r = new (std::nothrow) nb_retry();
        if (!r)
            return ZK_E_NOMEM;
        chan->retry = r;
    }
    if (!r->thread)
        return begin(chan, r);
    if (!g_atomic_int_get(&r->done))
        return ZK_E_BUSY;
    int32_t rc = join(r);
    if (rc >= 0) {
        nb_chan_settings now;
        chan_settings_of(chan, &now);
        if (chan->number != r->number || memcmp(&now, &r->asked, sizeof now) != 0) {
            /* The record changed meanwhile: open it again as it is now. */
            ZkClose(r->number);
            return begin(chan, r);
        }
        chan->frame_format = r->work.frame_format;
        chan->acc_code = r->work.acc_code;
        chan->acc_mask = r->work.acc_mask;
        chan->lom = r->work.lom;
        chan->lost = 0;
        chan->running = 0;
        delete r;
        chan->retry = nullptr;
        return 0;
    }
    /* The next attempt starts at once: attempts follow one another. */
    (void)begin(chan, r);
    return rc;
}

void chan_retry_settle(nb_chan *chan)
{
    nb_retry *r = chan->retry;
    if (!r)
        return;
    if (r->thread && join(r) >= 0)
        ZkClose(r->number);
    delete r;
    chan->retry = nullptr;
}
