/*
 * stream.cpp - the stream of PGRP_STREAM.
 *
 * The host hands a channel's received and sent frames on in two lists,
 * sent ones first, though a frame received during the tick may be older
 * than one sent in it. Here each channel's frames become one run, merged
 * by that adapter's clock (the received frame first at equal times).
 * Sent frames are held from the tx log: those drained by the tick, and
 * after each read those sent since (by a plug-in handling this tick's
 * requests), which the log keeps for the next tick's drain and the stream
 * skips then. A held frame goes when every frame received up to its time
 * was read: up to the last frame of a full batch, else up to the adapter's
 * clock read after the batch.
 *
 * Every frame is placed on the host's clock once, when it joins its
 * channel's run: the channel's 32-bit microsecond clock is read with the
 * host's after the frames were read, and a frame is as much older than
 * that moment as its adapter time is older than the adapter's clock then.
 * No unwrapping state is kept, so a wrap, a silence or a reset clock need
 * nothing.
 *
 * At the end of the tick's traffic the channels' runs are merged by host
 * time, up to the earliest time every channel has been read to (a record
 * after it could still be preceded by one of a channel read earlier in
 * the tick), and handed on in requests of at most NB_STREAM_MAX: a tick of
 * one channel with 512 received and 512 sent frames is one request.
 *
 * A frame the adapter accepted but never sent (NB_DIR_TX_LOST) is held
 * until its sent record is placed and the channel is read to the time the
 * host learned of it, and then placed at that time.
 *
 * Nothing is allocated on the tick: the main channel's state is static,
 * an added channel's is made when it is added.
 */
#include "can/stream.h"

#include <new>
#include <string.h>

#include <glib.h>

#include "app/nb_app.h"

struct nb_stream_chan {
    /* Sent frames waiting for the merge, oldest first, from first. */
    nb_tx_fd_entry held[NB_STREAM_HELD];
    int first;
    int held_n;
    /* Entries at the tx log's oldest end the stream holds already. */
    int ahead;
    /* Records of frames that never went out, waiting for their place. */
    nb_stream_frame lost[NB_STREAM_LOST];
    int lost_n;
    /* Placed records in time order, from run_first, waiting for the
     * other channels. */
    nb_stream_frame run[NB_STREAM_RUN];
    int run_first;
    int run_n;
    /* Host time up to which every frame of the channel is in the run. */
    int64_t read_to_us;
    /* The latest time placed: the run's times never go back. */
    int64_t floor_us;
};

namespace {

nb_stream_chan g_main;

nb_stream_frame g_out[NB_STREAM_MAX];
int g_out_n = 0;

/* The latest time handed on: times never go back in the stream. */
int64_t g_floor_us = 0;

/* A host clock set back by more than this is followed, not waited for. */
constexpr int64_t CLOCK_STEP_BACK_US = 1000000;
/* Two readings of the host's clock this far apart were interrupted. */
constexpr int64_t CLOCK_READ_US = 50;

void reset(nb_stream_chan *s)
{
    s->first = s->held_n = s->ahead = 0;
    s->lost_n = 0;
    s->run_first = s->run_n = 0;
    s->read_to_us = 0;
}

nb_stream_chan *state_of(nb_app *app, nb_chan *chan)
{
    return chan == &app->chan ? &g_main : chan->stream;
}

nb_clock_pair read_clocks(uint8_t number)
{
    nb_clock_pair now = {0, 0};
    for (int tries = 0; tries < 3; tries++) {
        int64_t before = g_get_real_time();
        uint32_t adapter = 0;
        /* The library's receive times are the monotonic clock's low 32
         * bits, should the channel not answer (gone). */
        if (ZkGetClock(number, &adapter) < 0)
            adapter = (uint32_t)g_get_monotonic_time();
        int64_t after = g_get_real_time();
        now.adapter = adapter;
        now.host_us = before + (after - before) / 2;
        if (after - before <= CLOCK_READ_US)
            break;
    }
    return now;
}

/* a not after b on the adapter's clock, which wraps. */
bool at_or_before(uint32_t a, uint32_t b)
{
    return (int32_t)(b - a) >= 0;
}

/* t kept from going back against floor, unless the clock was set back. */
int64_t not_back(int64_t t, int64_t *floor)
{
    if (t < *floor && t > *floor - CLOCK_STEP_BACK_US)
        t = *floor;
    *floor = t;
    return t;
}

void flush_out(nb_app *app)
{
    if (g_out_n > 0 && app->pgmgr.ops.pgmgr_stream)
        app->pgmgr.ops.pgmgr_stream(&app->pgmgr, g_out, g_out_n);
    g_out_n = 0;
}

void out(nb_app *app, const nb_stream_frame &r, int32_t index)
{
    if (g_out_n == (int)NB_STREAM_MAX)
        flush_out(app);
    nb_stream_frame &o = g_out[g_out_n++];
    o = r;
    o.channel = (uint16_t)index;
    int64_t t = not_back((int64_t)r.time_us, &g_floor_us);
    o.time_us = (uint64_t)(t > 0 ? t : 0);
}

bool before(const nb_stream_frame &a, const nb_stream_frame &b)
{
    if (a.time_us != b.time_us)
        return a.time_us < b.time_us;
    return a.dir == NB_DIR_RX && b.dir != NB_DIR_RX;
}

/* A single channel's run is in time order already: its records up to
 * limit_us go on from where they lie, without the merge's copy. */
void hand_on_run(nb_app *app, nb_stream_chan *s, int64_t limit_us)
{
    flush_out(app);
    while (s && s->run_n > 0) {
        nb_stream_frame *r = s->run + s->run_first;
        int k = 0;
        for (; k < s->run_n && k < (int)NB_STREAM_MAX && (int64_t)r[k].time_us <= limit_us; k++) {
            r[k].channel = 0;
            int64_t t = not_back((int64_t)r[k].time_us, &g_floor_us);
            r[k].time_us = (uint64_t)(t > 0 ? t : 0);
        }
        if (k == 0)
            break;
        s->run_first += k;
        s->run_n -= k;
        if (app->pgmgr.ops.pgmgr_stream)
            app->pgmgr.ops.pgmgr_stream(&app->pgmgr, r, k);
        if (s->run_n == 0)
            s->run_first = 0;
    }
}

/* Hands on the runs' records up to limit_us, merged by time (at equal
 * times received first, then by channel index). */
void merge(nb_app *app, int64_t limit_us)
{
    nb_chanset &set = app->chans;
    const int32_t count = set.count > 0 ? set.count : 1;
    if (count == 1) {
        hand_on_run(app, state_of(app, set.count > 0 ? set.at[0] : &app->chan), limit_us);
        return;
    }
    for (;;) {
        int32_t best = -1;
        const nb_stream_frame *head = nullptr;
        for (int32_t i = 0; i < count; i++) {
            nb_chan *chan = set.count > 0 ? set.at[i] : &app->chan;
            nb_stream_chan *s = state_of(app, chan);
            if (!s || s->run_n == 0)
                continue;
            const nb_stream_frame &r = s->run[s->run_first];
            if ((int64_t)r.time_us > limit_us)
                continue;
            if (!head || before(r, *head)) {
                head = &r;
                best = i;
            }
        }
        if (best < 0)
            break;
        nb_stream_chan *s = state_of(app, set.count > 0 ? set.at[best] : &app->chan);
        out(app, *head, best);
        s->run_first++;
        if (--s->run_n == 0)
            s->run_first = 0;
    }
}

/* Every channel's records now, when one channel's run is full (its frames
 * came faster than another channel was read): nothing is lost. */
void merge_all(nb_app *app)
{
    merge(app, INT64_MAX);
    flush_out(app);
}

/* A stream record of frame f. Received frames have zeros past len
 * already; a plug-in's sent frame may not. */
void fill_record(nb_stream_frame &r, const zk_fdframe &f, uint8_t dir, uint64_t time_us)
{
    r.time_us = time_us;
    r.id = f.id;
    r.channel = 0;
    r.dir = dir;
    r.flags = f.flags;
    r.len = f.len <= 64 ? f.len : 64;
    memset(r.reserved, 0, sizeof r.reserved);
    r.adapter_ts = f.ts;
    memcpy(r.data, f.data, sizeof r.data);
    if (dir != NB_DIR_RX && r.len < sizeof r.data)
        memset(r.data + r.len, 0, sizeof r.data - r.len);
}

/* The run's next slot, made room for. */
nb_stream_frame &next_slot(nb_app *app, nb_stream_chan *s)
{
    if (s->run_first + s->run_n == (int)NB_STREAM_RUN) {
        if (s->run_first > 0) {
            memmove(s->run, s->run + s->run_first, (size_t)s->run_n * sizeof *s->run);
            s->run_first = 0;
        } else {
            merge_all(app);
        }
    }
    return s->run[s->run_first + s->run_n++];
}

void place(nb_app *app, nb_stream_chan *s, const zk_fdframe &f, uint8_t dir, nb_clock_pair now,
           uint64_t accepted = 0)
{
    nb_stream_frame &r = next_slot(app, s);
    int64_t t = stream_place(f.ts, now);
    /* A sent frame never before the host accepted it, should the adapter's
     * clock have stood still meanwhile. */
    if (accepted > NB_TIMESTAMP_UNIX_EPOCH) {
        int64_t at = (int64_t)((accepted - NB_TIMESTAMP_UNIX_EPOCH) / 10u);
        if (t < at)
            t = at;
    }
    fill_record(r, f, dir, (uint64_t)not_back(t, &s->floor_us));
}

/* The held records of lost frames whose sent frame is no later than cut
 * on the adapter's clock (all of them when all is set), after the sent
 * records placed so far. */
void place_lost(nb_app *app, nb_stream_chan *s, uint32_t cut, bool all)
{
    int k = 0;
    for (; k < s->lost_n && (all || at_or_before(s->lost[k].adapter_ts, cut)); k++) {
        nb_stream_frame &r = next_slot(app, s);
        r = s->lost[k];
        r.time_us = (uint64_t)not_back((int64_t)r.time_us, &s->floor_us);
    }
    s->lost_n -= k;
    if (s->lost_n > 0 && k > 0)
        memmove(s->lost, s->lost + k, (size_t)s->lost_n * sizeof *s->lost);
}

/* Every held frame of the channel placed now, sent ones first. */
void place_held(nb_app *app, nb_chan *chan, nb_stream_chan *s)
{
    if (s->held_n > 0) {
        nb_clock_pair now = read_clocks(chan->number);
        for (int i = 0; i < s->held_n; i++) {
            const nb_tx_fd_entry &e = s->held[s->first + i];
            place(app, s, e.frame, NB_DIR_TX, now, e.timestamp);
        }
        s->first = s->held_n = 0;
    }
    place_lost(app, s, 0, true);
}

/* Room for n more held frames at the end: moved to the front, and when
 * that is not enough the oldest go on now, alone (received frames have
 * not come for two tx logs' worth of sent ones). */
void make_room(nb_app *app, nb_chan *chan, nb_stream_chan *s, int n)
{
    if (s->first + s->held_n + n <= NB_STREAM_HELD)
        return;
    if (s->held_n + n > NB_STREAM_HELD) {
        int over = s->held_n + n - NB_STREAM_HELD;
        if (over > s->held_n)
            over = s->held_n;
        nb_clock_pair now = read_clocks(chan->number);
        for (int i = 0; i < over; i++) {
            const nb_tx_fd_entry &e = s->held[s->first + i];
            place(app, s, e.frame, NB_DIR_TX, now, e.timestamp);
        }
        s->first += over;
        s->held_n -= over;
    }
    memmove(s->held, s->held + s->first, (size_t)s->held_n * sizeof *s->held);
    s->first = 0;
}

/* Frames sent since the tick's drain, still in the tx log. */
void hold_new_sent(nb_app *app, nb_chan *chan, nb_stream_chan *s)
{
    nb_txlog *log = chan->txlog;
    int fresh = log ? txlog_count(log) - s->ahead : 0;
    if (fresh <= 0)
        return;
    make_room(app, chan, s, fresh < NB_STREAM_HELD ? fresh : NB_STREAM_HELD);
    int room = NB_STREAM_HELD - s->first - s->held_n;
    int got = txlog_peek(log, s->ahead, s->held + s->first + s->held_n, room);
    s->held_n += got;
    s->ahead += got;
}

}  // namespace

nb_stream_chan *stream_chan_new(void)
{
    nb_stream_chan *s = new (std::nothrow) nb_stream_chan;
    if (s) {
        reset(s);
        s->floor_us = 0;
    }
    return s;
}

void stream_chan_free(nb_stream_chan *s)
{
    delete s;
}

void stream_chan_release(nb_app *app, nb_chan *chan)
{
    nb_stream_chan *s = state_of(app, chan);
    if (!s || (s->held_n == 0 && s->run_n == 0 && s->lost_n == 0))
        return;
    place_held(app, chan, s);
    merge_all(app);
}

void stream_pass_begin(nb_app *app)
{
    g_floor_us = 0;
    g_main.floor_us = 0;
    for (int32_t i = 1; i < app->chans.count; i++) {
        if (nb_stream_chan *s = state_of(app, app->chans.at[i]))
            s->floor_us = 0;
    }
}

int64_t stream_place(uint32_t ts, nb_clock_pair now)
{
    int32_t age = (int32_t)(now.adapter - ts);
    return now.host_us - (age > 0 ? age : 0);
}

bool stream_begin(nb_app *app)
{
    nb_pgmgr *mgr = &app->pgmgr;
    bool wanted = mgr->ops.pgmgr_stream_wanted && mgr->ops.pgmgr_stream_wanted(mgr);
    if (!wanted) {
        reset(&g_main);
        for (int32_t i = 1; i < app->chans.count; i++) {
            if (app->chans.at[i]->stream)
                reset(app->chans.at[i]->stream);
        }
    }
    return wanted;
}

bool stream_room(nb_app *app, nb_chan *chan)
{
    nb_stream_chan *s = state_of(app, chan);
    /* A batch places at most its own frames and the held ones. */
    return s && s->run_n + NB_RX_BATCH + s->held_n + s->lost_n + NB_TXLOG_CAPACITY <=
                    (int)NB_STREAM_RUN;
}

void stream_hold_sent(nb_app *app, nb_chan *chan, const nb_tx_fd_entry *sent, int n)
{
    nb_stream_chan *s = state_of(app, chan);
    if (!s)
        return;
    int skip = n < s->ahead ? n : s->ahead;
    s->ahead -= skip;
    sent += skip;
    n -= skip;
    if (n <= 0)
        return;
    make_room(app, chan, s, n);
    memcpy(s->held + s->first + s->held_n, sent, (size_t)n * sizeof *sent);
    s->held_n += n;
}

void stream_received(nb_app *app, nb_chan *chan, const zk_fdframe *rx, int n,
                     bool more_may_come)
{
    nb_stream_chan *s = state_of(app, chan);
    if (!s)
        return;
    if (n < 0 || !rx)
        n = 0;
    nb_clock_pair now = read_clocks(chan->number);
    hold_new_sent(app, chan, s);
    const bool partial = more_may_come && n > 0;
    const uint32_t cut = partial ? rx[n - 1].ts : now.adapter;
    int i = 0, j = 0;
    for (;;) {
        const nb_tx_fd_entry *f = i < s->held_n ? &s->held[s->first + i] : nullptr;
        if (f && !at_or_before(f->frame.ts, cut))
            f = nullptr;
        if (j < n && (!f || at_or_before(rx[j].ts, f->frame.ts))) {
            place(app, s, rx[j++], NB_DIR_RX, now);
        } else if (f) {
            place(app, s, f->frame, NB_DIR_TX, now, f->timestamp);
            i++;
        } else {
            break;
        }
    }
    s->first += i;
    s->held_n -= i;
    if (s->held_n == 0)
        s->first = 0;
    /* Lost frames were learned before the clocks were read: once the
     * queue is read to now, their time has come. */
    if (!partial && s->lost_n > 0)
        place_lost(app, s, cut, false);
    int64_t to = partial ? stream_place(cut, now) : now.host_us;
    if (to < s->floor_us)
        to = s->floor_us;
    s->read_to_us = to;
}

void stream_lost(nb_app *app, nb_chan *chan, const nb_tx_fd_entry *sent, int64_t learned_us)
{
    nb_stream_chan *s = state_of(app, chan);
    if (!s || !sent)
        return;
    /* A full hold goes now, after the sent frames it settles. */
    if (s->lost_n == (int)NB_STREAM_LOST)
        place_held(app, chan, s);
    fill_record(s->lost[s->lost_n++], sent->frame, NB_DIR_TX_LOST,
                (uint64_t)(learned_us > 0 ? learned_us : 0));
}

void stream_end(nb_app *app, bool all)
{
    int64_t limit = INT64_MAX;
    if (!all) {
        const int32_t count = app->chans.count > 0 ? app->chans.count : 1;
        for (int32_t i = 0; i < count; i++) {
            nb_chan *chan = app->chans.count > 0 ? app->chans.at[i] : &app->chan;
            nb_stream_chan *s = state_of(app, chan);
            if (s && s->read_to_us < limit)
                limit = s->read_to_us;
        }
    }
    merge(app, limit);
    flush_out(app);
    /* What waits starts the run again. */
    const int32_t count = app->chans.count > 0 ? app->chans.count : 1;
    for (int32_t i = 0; i < count; i++) {
        nb_stream_chan *s = state_of(app, app->chans.count > 0 ? app->chans.at[i] : &app->chan);
        if (s && s->run_first > 0 && s->run_n > 0) {
            memmove(s->run, s->run + s->run_first, (size_t)s->run_n * sizeof *s->run);
            s->run_first = 0;
        }
    }
}
