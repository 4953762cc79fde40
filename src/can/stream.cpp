/*
 * stream.cpp - the stream of PGRP_STREAM.
 *
 * The host hands received and sent frames on in two lists, sent ones
 * first, though a frame received during the tick may be older than one
 * sent in it. Here they become one sequence, merged by the adapter's clock
 * (the received frame first at equal times). Sent frames are held from the
 * tx log: those drained by the tick, and after each read those sent since
 * (by a plug-in handling this tick's requests), which the log keeps for
 * the next tick's drain and the stream skips then. A held frame goes when
 * every frame received up to its time was read: up to the last frame of a
 * full batch, else up to the adapter's clock read after the batch. The
 * records go out when the tick's traffic is done, or when NB_STREAM_MAX
 * are waiting: a tick of 512 received and 512 sent frames is one request.
 *
 * Every frame is placed on the host's clock once, here: the adapter's
 * 32-bit microsecond clock is read with the host's after the frames were
 * read, and a frame is as much older than that moment as its adapter time
 * is older than the adapter's clock then. No unwrapping state is kept, so
 * a wrap of the adapter's clock, a silence or a reset clock need nothing.
 *
 * Nothing is allocated: the held frames and the records handed on are
 * fixed arrays.
 */
#include "can/stream.h"

#include <string.h>

#include <glib.h>

namespace {

/* Sent frames waiting for the merge, oldest first, from g_first. */
nb_tx_fd_entry g_held[NB_STREAM_HELD];
int g_first = 0;
int g_held_n = 0;
/* Entries at the tx log's oldest end the stream holds already. */
int g_ahead = 0;

nb_stream_frame g_out[NB_STREAM_MAX];
int g_out_n = 0;

/* The latest time handed on: times never go back in the stream. */
int64_t g_floor_us = 0;

/* A host clock set back by more than this is followed, not waited for. */
constexpr int64_t CLOCK_STEP_BACK_US = 1000000;
/* Two readings of the host's clock this far apart were interrupted. */
constexpr int64_t CLOCK_READ_US = 50;

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

void flush_out(nb_app *app)
{
    if (g_out_n > 0 && app->pgmgr.ops.pgmgr_stream)
        app->pgmgr.ops.pgmgr_stream(&app->pgmgr, g_out, g_out_n);
    g_out_n = 0;
}

void emit(nb_app *app, const zk_fdframe &f, uint8_t dir, nb_clock_pair now)
{
    if (g_out_n == (int)NB_STREAM_MAX)
        flush_out(app);
    int64_t t = stream_place(f.ts, now);
    if (t < g_floor_us && t > g_floor_us - CLOCK_STEP_BACK_US)
        t = g_floor_us;
    g_floor_us = t;
    nb_stream_frame &r = g_out[g_out_n++];
    r.time_us = (uint64_t)(t > 0 ? t : 0);
    r.id = f.id;
    r.channel = 0; /* the main channel */
    r.dir = dir;
    r.flags = f.flags;
    r.len = f.len <= 64 ? f.len : 64;
    memset(r.reserved, 0, sizeof r.reserved);
    r.adapter_ts = f.ts;
    /* Received frames have zeros past len already; a plug-in's sent frame
     * may not. */
    memcpy(r.data, f.data, sizeof r.data);
    if (dir == NB_DIR_TX && r.len < sizeof r.data)
        memset(r.data + r.len, 0, sizeof r.data - r.len);
}

/* Room for n more held frames at the end: moved to the front, and when
 * that is not enough the oldest go on now, alone (received frames have
 * not come for two tx logs' worth of sent ones). */
void make_room(nb_app *app, int n)
{
    if (g_first + g_held_n + n <= NB_STREAM_HELD)
        return;
    if (g_held_n + n > NB_STREAM_HELD) {
        int over = g_held_n + n - NB_STREAM_HELD;
        if (over > g_held_n)
            over = g_held_n;
        nb_clock_pair now = read_clocks(app->chan.number);
        for (int i = 0; i < over; i++)
            emit(app, g_held[g_first + i].frame, NB_DIR_TX, now);
        flush_out(app);
        g_first += over;
        g_held_n -= over;
    }
    memmove(g_held, g_held + g_first, (size_t)g_held_n * sizeof *g_held);
    g_first = 0;
}

/* Frames sent since the tick's drain, still in the tx log. */
void hold_new_sent(nb_app *app)
{
    nb_txlog *log = app->chan.txlog;
    int fresh = log ? txlog_count(log) - g_ahead : 0;
    if (fresh <= 0)
        return;
    make_room(app, fresh < NB_STREAM_HELD ? fresh : NB_STREAM_HELD);
    int room = NB_STREAM_HELD - g_first - g_held_n;
    int got = txlog_peek(log, g_ahead, g_held + g_first + g_held_n, room);
    g_held_n += got;
    g_ahead += got;
}

}  // namespace

int64_t stream_place(uint32_t ts, nb_clock_pair now)
{
    int32_t age = (int32_t)(now.adapter - ts);
    return now.host_us - (age > 0 ? age : 0);
}

bool stream_begin(nb_app *app)
{
    nb_pgmgr *mgr = &app->pgmgr;
    bool wanted = mgr->ops.pgmgr_stream_wanted && mgr->ops.pgmgr_stream_wanted(mgr);
    if (!wanted)
        g_first = g_held_n = g_ahead = 0;
    return wanted;
}

void stream_hold_sent(nb_app *app, const nb_tx_fd_entry *sent, int n)
{
    int skip = n < g_ahead ? n : g_ahead;
    g_ahead -= skip;
    sent += skip;
    n -= skip;
    if (n <= 0)
        return;
    make_room(app, n);
    memcpy(g_held + g_first + g_held_n, sent, (size_t)n * sizeof *sent);
    g_held_n += n;
}

void stream_received(nb_app *app, const zk_fdframe *rx, int n, bool more_may_come)
{
    if (n < 0 || !rx)
        n = 0;
    nb_clock_pair now = read_clocks(app->chan.number);
    hold_new_sent(app);
    if (n == 0 && g_held_n == 0)
        return;
    const uint32_t cut = more_may_come && n > 0 ? rx[n - 1].ts : now.adapter;
    int i = 0, j = 0;
    for (;;) {
        const nb_tx_fd_entry *s = i < g_held_n ? &g_held[g_first + i] : nullptr;
        if (s && !at_or_before(s->frame.ts, cut))
            s = nullptr;
        if (j < n && (!s || at_or_before(rx[j].ts, s->frame.ts))) {
            emit(app, rx[j++], NB_DIR_RX, now);
        } else if (s) {
            emit(app, s->frame, NB_DIR_TX, now);
            i++;
        } else {
            break;
        }
    }
    g_first += i;
    g_held_n -= i;
    if (g_held_n == 0)
        g_first = 0;
}

void stream_end(nb_app *app)
{
    flush_out(app);
}
