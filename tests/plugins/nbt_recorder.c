/*
 * nbt_recorder.c - the test plug-ins. One source, built in several
 * variants (see CMakeLists.txt):
 *   NBT_HANDLER        exports nbpg_handler
 *   NBT_LEGACY         exports the older set (nbpg_init, nbpg_release, nbp_ops)
 *   NBT_SESSION        with NBT_LEGACY: also nbpg_load_session, nbpg_save_session
 *   NBT_VERSION=v      the declared interface version (default 0x0300, with
 *                      NBT_FD 0x0301)
 *   NBT_FD             opts in to CAN FD (__nbpg_features)
 *   NBT_STREAM         opts in to the stream (0x0304)
 *   NBT_NO_NAME        does not export __nbpg_name
 *   NBT_NO_OPS         with NBT_LEGACY: does not export nbp_ops
 *   NBT_NEEDS_MISSING  needs a function the host does not export
 * Every request and entry-point call is reported to nbt_hook.
 */
#include <string.h>

#include "nbt_hook.h"

#ifndef NBT_VERSION
#ifdef NBT_STREAM
#define NBT_VERSION 0x0304
#elif defined NBT_FD
#define NBT_VERSION 0x0301
#else
#define NBT_VERSION 0x0300
#endif
#endif

NBPG_EXPORT const uint16_t __nbpg_version = NBT_VERSION;
#ifdef NBT_STREAM
NBPG_EXPORT const uint32_t __nbpg_features = NBPG_FEATURE_STREAM;
#elif defined NBT_FD
NBPG_EXPORT const uint32_t __nbpg_features = NBPG_FEATURE_FD;
#endif
#ifndef NBT_NO_NAME
NBPG_EXPORT const char __nbpg_name[] = "Recorder";
#endif
NBPG_EXPORT const char __nbpg_author[] = "Nimbrel tests";
NBPG_EXPORT const char __nbpg_description[] = "Reports every request to the test";

#ifdef NBT_NEEDS_MISSING
void nb_no_such_export(void);
#endif

static void event_init(nbt_event *ev, int32_t type, int32_t style)
{
    memset(ev, 0, sizeof *ev);
    ev->self = &__nbpg_version;
    ev->type = type;
    ev->style = style;
}

/* Frames at base, n of them, stride bytes apart: classic (zk_frame) or
 * FD (zk_fdframe) records, each at the start of its stride. */
static void describe_frames(nbt_event *ev, const void *base, int n, size_t stride, int fd)
{
    ev->n = n;
    if (n <= 0 || !base)
        return;
    uint32_t content = 2166136261u;
    for (int i = 0; i < n; i++) {
        const unsigned char *p = (const unsigned char *)base + (size_t)i * stride;
        uint32_t id;
        uint8_t flags, len;
        const uint8_t *data;
        if (fd) {
            const zk_fdframe *f = (const zk_fdframe *)p;
            id = f->id, flags = f->flags, len = f->len, data = f->data;
        } else {
            const zk_frame *f = (const zk_frame *)p;
            id = f->id, flags = f->flags, len = f->len, data = f->data;
        }
        if (i == 0)
            ev->first_id = id;
        ev->last_id = id;
        if (i < 32) {
            ev->ids[i] = id;
            ev->flags[i] = flags;
            ev->lens[i] = len;
        }
        if (flags & ZK_FRAME_FDF)
            ev->fd_n++;
        content = nbt_content(content, id, flags, len, data);
    }
    ev->content = content;
    ev->hash = nbt_hash_records(base, n, stride, fd ? sizeof(zk_fdframe) : sizeof(zk_frame));
}

static void report(nbt_event *ev)
{
    if (nbt_hook)
        nbt_hook(ev);
}

/* The page shown when no test answers (in the real program). */
static void *default_page(void)
{
    return gtk_label_new(__nbpg_description);
}

#ifdef NBT_HANDLER
NBPG_EXPORT int nbpg_handler(pgrp *req)
{
    nbt_event ev;
    event_init(&ev, pgrp_get_type(req), NBT_STYLE_HANDLER);
    ev.req = req;
    ev.chan = pgrp_get_chan(req);
    ev.timestamp = pgrp_get_timestamp(req);
    ev.data_size = pgrp_get_data_size(req);
    ev.result_size = pgrp_get_result_size(req);
    ev.data_ptr = pgrp_get_data_ptr(req);
    switch (ev.type) {
    case PGRP_INIT:
    case PGRP_STATUS:
        if (ev.data_ptr)
            ev.running = ((const nb_chan_status *)ev.data_ptr)->running;
        break;
    case PGRP_RX_FRAMES:
        describe_frames(&ev, ev.data_ptr, (int)(ev.data_size / sizeof(zk_frame)), sizeof(zk_frame),
                        0);
        break;
    case PGRP_TX_FRAMES:
        describe_frames(&ev, ev.data_ptr, (int)(ev.data_size / sizeof(nb_tx_entry)),
                        sizeof(nb_tx_entry), 0);
        if (ev.n > 0)
            ev.entry_ts = ((const nb_tx_entry *)ev.data_ptr)->timestamp;
        break;
    case PGRP_RX_FD_FRAMES:
        describe_frames(&ev, ev.data_ptr, (int)(ev.data_size / sizeof(zk_fdframe)),
                        sizeof(zk_fdframe), 1);
        break;
    case PGRP_TX_FD_FRAMES:
        describe_frames(&ev, ev.data_ptr, (int)(ev.data_size / sizeof(nb_tx_fd_entry)),
                        sizeof(nb_tx_fd_entry), 1);
        if (ev.n > 0)
            ev.entry_ts = ((const nb_tx_fd_entry *)ev.data_ptr)->timestamp;
        break;
    case PGRP_ERRORS:
        if (ev.data_ptr)
            memcpy(ev.errs, ev.data_ptr, sizeof ev.errs);
        break;
#ifdef NBT_STREAM
    case PGRP_STREAM:
        ev.n = (int32_t)(ev.data_size / sizeof(nb_stream_frame));
        break;
#endif
    case PGRP_SESSION_LOAD_KEY:
        if (ev.data_ptr) {
            const pgrp_session_key *key = (const pgrp_session_key *)ev.data_ptr;
            strncpy(ev.name, key->name, sizeof ev.name - 1);
            strncpy(ev.value, key->value, sizeof ev.value - 1);
        }
        break;
    default:
        break;
    }
#ifdef NBT_STREAM
    ev.channel = pgrp_get_channel(req);
#endif
    report(&ev);
    if (ev.type == PGRP_INIT) {
        void *page = nbt_hook ? (ev.set_result ? ev.result : NULL) : default_page();
        pgrp_set_result_ptr(req, page);
    }
#ifdef NBT_NEEDS_MISSING
    nb_no_such_export();
#endif
    return 0;
}
#endif

#ifdef NBT_LEGACY
NBPG_EXPORT GtkWidget *nbpg_init(nb_chan_status *status)
{
    nbt_event ev;
    event_init(&ev, PGRP_INIT, NBT_STYLE_LEGACY);
    ev.data_ptr = status;
    if (status)
        ev.running = status->running;
    report(&ev);
    return (GtkWidget *)(nbt_hook ? (ev.set_result ? ev.result : NULL) : default_page());
}

NBPG_EXPORT void nbpg_release(void)
{
    nbt_event ev;
    event_init(&ev, PGRP_RELEASE, NBT_STYLE_LEGACY);
    report(&ev);
}

__attribute__((unused)) static void legacy_errors(zk_errs *errs)
{
    nbt_event ev;
    event_init(&ev, PGRP_ERRORS, NBT_STYLE_LEGACY);
    ev.data_ptr = errs;
    if (errs)
        memcpy(ev.errs, errs, sizeof ev.errs);
    report(&ev);
}

__attribute__((unused)) static void legacy_rx(zk_frame *frames, int n)
{
    nbt_event ev;
    event_init(&ev, PGRP_RX_FRAMES, NBT_STYLE_LEGACY);
    ev.data_ptr = frames;
    describe_frames(&ev, frames, n, sizeof(zk_frame), 0);
    report(&ev);
}

__attribute__((unused)) static void legacy_tx(zk_frame *frames, int n)
{
    nbt_event ev;
    event_init(&ev, PGRP_TX_FRAMES, NBT_STYLE_LEGACY);
    ev.data_ptr = frames;
    describe_frames(&ev, frames, n, sizeof(zk_frame), 0);
    report(&ev);
}

__attribute__((unused)) static void legacy_status(nb_chan_status *status)
{
    nbt_event ev;
    event_init(&ev, PGRP_STATUS, NBT_STYLE_LEGACY);
    ev.data_ptr = status;
    if (status)
        ev.running = status->running;
    report(&ev);
}

#ifndef NBT_NO_OPS
NBPG_EXPORT nbp_ops_table nbp_ops = {legacy_errors, legacy_rx, legacy_tx, legacy_status};
#endif

#ifdef NBT_SESSION
NBPG_EXPORT void nbpg_load_session(int phase, const char *name, const char *value)
{
    static const int32_t types[3] = {PGRP_SESSION_LOAD_BEGIN, PGRP_SESSION_LOAD_KEY,
                                     PGRP_SESSION_LOAD_END};
    nbt_event ev;
    event_init(&ev, phase >= 0 && phase <= 2 ? types[phase] : NBT_LEGACY_TYPE_NONE,
               NBT_STYLE_LEGACY);
    ev.phase = phase;
    if (name)
        strncpy(ev.name, name, sizeof ev.name - 1);
    if (value)
        strncpy(ev.value, value, sizeof ev.value - 1);
    report(&ev);
}

NBPG_EXPORT void nbpg_save_session(void *file)
{
    nbt_event ev;
    event_init(&ev, PGRP_SESSION_SAVE, NBT_STYLE_LEGACY);
    ev.data_ptr = file;
    report(&ev);
}
#endif
#endif
