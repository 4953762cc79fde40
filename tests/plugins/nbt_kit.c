/*
 * nbt_kit.c - a test plug-in written in C with the plug-in kit: every
 * handler reports what it was given to nbt_hook (style NBT_STYLE_KIT),
 * together with the channel status and number the kit keeps at hand.
 * Built with NBT_KIT_FD it opts in to CAN FD with NBKIT_PLUGIN_FD, with
 * NBT_KIT_STREAM to the stream with NBKIT_PLUGIN_STREAM.
 */
#include <string.h>

#include "nbt_hook.h"
#include "nimbrel/kit.h"

static void report(int32_t type, uint64_t ts, nbt_event *ev)
{
    ev->self = &nbkit_self;
    ev->type = type;
    ev->style = NBT_STYLE_KIT;
    ev->timestamp = ts;
    ev->chan = nbkit_chan();
    ev->channel = nbkit_channel();
    ev->running = nbkit_status()->running;
    if (nbt_hook)
        nbt_hook(ev);
}

static void frames(int32_t type, const void *base, int n, size_t stride, uint64_t ts)
{
    nbt_event ev = {0};
    ev.n = n;
    ev.last_id = ((const zk_frame *)((const char *)base + (size_t)(n - 1) * stride))->id;
    ev.hash = nbt_hash_frames(base, n, stride);
    report(type, ts, &ev);
}

/* FD records (zk_fdframe at the start of each stride): what they carry. */
static void fd_frames(int32_t type, const void *base, int n, size_t stride, uint64_t ts)
{
    nbt_event ev = {0};
    ev.n = n;
    ev.content = 2166136261u;
    for (int i = 0; i < n; i++) {
        const zk_fdframe *f = (const zk_fdframe *)((const char *)base + (size_t)i * stride);
        ev.content = nbt_content(ev.content, f->id, f->flags, f->len, f->data);
        ev.fd_n += (f->flags & ZK_FRAME_FDF) != 0;
        ev.last_id = f->id;
    }
    report(type, ts, &ev);
}

static void rx_fd(const zk_fdframe *f, int n, uint64_t ts)
{
    fd_frames(PGRP_RX_FD_FRAMES, f, n, sizeof *f, ts);
}

static void tx_fd(const nb_tx_fd_entry *e, int n, uint64_t ts)
{
    fd_frames(PGRP_TX_FD_FRAMES, e, n, sizeof *e, ts);
}

/* The records themselves go to the test (data_ptr, n). */
static void on_stream(const nb_stream_frame *f, int n, uint64_t ts)
{
    nbt_event ev = {.data_ptr = (void *)f, .n = n};
    ev.last_id = f[n - 1].id;
    report(PGRP_STREAM, ts, &ev);
}

static GtkWidget *init(const nb_chan_status *status, uint64_t ts)
{
    nbt_event ev = {.data_ptr = (void *)status};
    report(PGRP_INIT, ts, &ev);
    return ev.set_result ? (GtkWidget *)ev.result : NULL;
}

static void release(void)
{
    nbt_event ev = {0};
    report(PGRP_RELEASE, 0, &ev);
}

static void rx(const zk_frame *f, int n, uint64_t ts)
{
    frames(PGRP_RX_FRAMES, f, n, sizeof *f, ts);
}

static void tx(const nb_tx_entry *e, int n, uint64_t ts)
{
    frames(PGRP_TX_FRAMES, e, n, sizeof *e, ts);
}

static void errors(const zk_errs *errs, uint64_t ts)
{
    nbt_event ev = {.errs = {errs->ewl, errs->boff}};
    report(PGRP_ERRORS, ts, &ev);
}

static void status(const nb_chan_status *st, uint64_t ts)
{
    nbt_event ev = {.data_ptr = (void *)st};
    report(PGRP_STATUS, ts, &ev);
}

static void save(void *file)
{
    nbt_event ev = {.data_ptr = file};
    report(PGRP_SESSION_SAVE, 0, &ev);
}

static void load_begin(void)
{
    nbt_event ev = {.phase = 0};
    report(PGRP_SESSION_LOAD_BEGIN, 0, &ev);
}

static void load_key(const pgrp_session_key *key)
{
    nbt_event ev = {.phase = 1};
    strncpy(ev.name, key->name, sizeof ev.name - 1);
    strncpy(ev.value, key->value, sizeof ev.value - 1);
    report(PGRP_SESSION_LOAD_KEY, 0, &ev);
}

static void load_end(void)
{
    nbt_event ev = {.phase = 2};
    report(PGRP_SESSION_LOAD_END, 0, &ev);
}

/* The kit's channel table: how many, and the first channel's name. */
static void channels(void)
{
    nbt_event ev = {.n = nbkit_chans()->count};
    strncpy(ev.name, nbkit_chans_name(nbkit_chans(), nbkit_chans()->slot_of[0]), sizeof ev.name - 1);
    report(PGRP_CHANNELS, 0, &ev);
}

static void other(pgrp *req)
{
    nbt_event ev = {.req = req};
    report(pgrp_get_type(req), pgrp_get_timestamp(req), &ev);
}

static const nbkit_plugin kit_recorder = {
    .text_domain = "nbt-kit", .init = init, .release = release,
    .rx_frames = rx, .tx_frames = tx, .errors = errors, .status = status,
    .session_save = save, .load_begin = load_begin, .load_key = load_key, .load_end = load_end,
    .rx_fd_frames = rx_fd, .tx_fd_frames = tx_fd, .other = other, .stream = on_stream,
    .channels = channels,
};

#ifdef NBT_KIT_STREAM
NBKIT_PLUGIN_STREAM(kit_recorder, 0x0304, "Kit recorder", "Nimbrel tests",
                    "Reports every handler call of the plug-in kit to the test")
#elif defined NBT_KIT_FD
NBKIT_PLUGIN_FD(kit_recorder, 0x0301, "Kit recorder", "Nimbrel tests",
                "Reports every handler call of the plug-in kit to the test")
#else
NBKIT_PLUGIN(kit_recorder, 0x0300, "Kit recorder", "Nimbrel tests",
             "Reports every handler call of the plug-in kit to the test")
#endif
