/*
 * exports.cpp - the host's general services for plug-ins: sending a
 * classic or CAN FD frame (from any thread), reading the channel status, the locale
 * directory, the load/release flag and the accessors of the request
 * record. Plain C names, exported from the executable; everything else of
 * the host stays hidden.
 */
#include <stddef.h>
#include <string.h>

#include "app/nb_app.h"
#include "can/chanset.h"
#include "nimbrel/nimbrel.h"

/* A send refused because the controller stopped after a bus-off says so. */
static int send_result(int r)
{
    return r == ZK_E_NOTSTARTED && the_app.chan.bus_off ? ZK_E_BUSOFF : r;
}

extern "C" {

NB_HOST_API int nb_send_frame(zk_frame *frame)
{
    if (!frame)
        return ZK_E_BADARG;
    if (!the_app.chan.ops.send_frame)
        return ZK_E_NOTINIT;
    return send_result(the_app.chan.ops.send_frame(&the_app.chan, frame));
}

NB_HOST_API int nb_send_fd_frame(zk_fdframe *frame)
{
    if (!frame)
        return ZK_E_BADARG;
    if (!the_app.chan.ops.send_fd_frame)
        return ZK_E_NOTINIT;
    return send_result(the_app.chan.ops.send_fd_frame(&the_app.chan, frame));
}

/* The same sends, offered for threads: the channel's sends are serialised
 * by its send lock, so the tx log keeps the order of the bus. A classic
 * frame goes out as nb_send_frame sends it. */
NB_HOST_API int nb_send_fd_frame_any_thread(const zk_fdframe *frame)
{
    if (!frame)
        return ZK_E_BADARG;
    zk_frame classic;
    if (frame_to_classic(frame, &classic)) {
        if (!the_app.chan.ops.send_frame)
            return ZK_E_NOTINIT;
        return send_result(the_app.chan.ops.send_frame(&the_app.chan, &classic));
    }
    if (!the_app.chan.ops.send_fd_frame)
        return ZK_E_NOTINIT;
    return send_result(the_app.chan.ops.send_fd_frame(&the_app.chan, frame));
}

NB_HOST_API void nb_get_current_status(nb_chan_status *out)
{
    if (!out)
        return;
    if (!the_app.chan.ops.get_status) {
        memset(out, 0, sizeof *out);
        return;
    }
    the_app.chan.ops.get_status(&the_app.chan, out);
}

/* Channels by index: 0 is the main channel, then the added ones. */

namespace {

/* A fixed text field of the library's records, which may fill it whole. */
void copy_field(char *dst, size_t dst_size, const char *src, size_t src_size)
{
    size_t n = strnlen(src, src_size);
    if (n >= dst_size)
        n = dst_size - 1;
    memcpy(dst, src, n);
    dst[n] = '\0';
}

}  // namespace

NB_HOST_API int nb_chan_count(void)
{
    return the_app.chans.count > 0 ? the_app.chans.count : 1;
}

NB_HOST_API int nb_chan_send(int channel, zk_fdframe *frame)
{
    if (channel == 0)
        return nb_send_fd_frame(frame);
    if (!chanset_at(&the_app, channel))
        return ZK_E_NOCHAN;
    return chanset_send(&the_app, channel, nullptr, frame);
}

/* Under the channel set's lock: a channel removed meanwhile, or another
 * one moved to its index, is refused, never sent on. */
NB_HOST_API int nb_chan_send_any_thread(int channel, const char *name, const zk_fdframe *frame)
{
    if (!frame || (channel != 0 && !name))
        return ZK_E_BADARG;
    return chanset_send(&the_app, channel, name, frame);
}

NB_HOST_API int nb_chan_get_status(int channel, nb_chan_status *out)
{
    if (!out)
        return ZK_E_BADARG;
    if (channel == 0) {
        nb_get_current_status(out);
        return 0;
    }
    memset(out, 0, sizeof *out);
    nb_chan *ch = chanset_at(&the_app, channel);
    if (!ch)
        return ZK_E_NOCHAN;
    ch->ops.get_status(ch, out);
    return 0;
}

NB_HOST_API int nb_chan_get_name(int channel, char *buf, size_t size)
{
    if (!buf || size == 0)
        return -1;
    buf[0] = '\0';
    nb_chan *ch = channel == 0 ? &the_app.chan : chanset_at(&the_app, channel);
    if (!ch)
        return -1;
    char name[16];
    chan_name(ch, name, sizeof name);
    if (strlen(name) >= size)
        return -1;
    memcpy(buf, name, strlen(name) + 1);
    return 0;
}

NB_HOST_API int nb_chan_get_adapter(int channel, nb_chan_adapter *out)
{
    if (!out)
        return ZK_E_BADARG;
    memset(out, 0, sizeof *out);
    const nb_chan *chp = channel == 0 ? &the_app.chan : chanset_at(&the_app, channel);
    if (!chp)
        return ZK_E_NOCHAN;
    const nb_chan &ch = *chp;
    copy_field(out->board, sizeof out->board, ch.board.b.name, sizeof ch.board.b.name);
    copy_field(out->maker, sizeof out->maker, ch.board.b.manufacturer,
               sizeof ch.board.b.manufacturer);
    copy_field(out->serial, sizeof out->serial, ch.board.serial, sizeof ch.board.serial);
    out->number = ch.number;
    out->board_number = ch.board.b.number;
    for (int slot = 0; slot < 4; slot++) {
        if (ch.board.b.chip[slot] == (int16_t)ch.number)
            out->fd_capable = (uint8_t)((ch.board.b.fd_slots >> slot) & 1u);
    }
    return 0;
}

NB_HOST_API const char *nb_get_locale_dir(void)
{
    return the_app.locale_dir;
}

NB_HOST_API void nbpg_loadrelease_enable(void)
{
    the_app.pgmgr.loadrelease = 1;
}

NB_HOST_API void nbpg_loadrelease_disable(void)
{
    the_app.pgmgr.loadrelease = 0;
}

/* Accessors. A null record reads as empty and ignores writes. */

NB_HOST_API int32_t pgrp_get_type(const pgrp *req)
{
    return req ? req->type : -1;
}

NB_HOST_API int32_t pgrp_get_chan(const pgrp *req)
{
    return req ? (int32_t)req->chan : -1;
}

NB_HOST_API int32_t pgrp_get_channel(const pgrp *req)
{
    return req ? (int32_t)req->channel : -1;
}

NB_HOST_API uint64_t pgrp_get_timestamp(const pgrp *req)
{
    return req ? req->timestamp : 0;
}

NB_HOST_API uint64_t pgrp_get_data_size(const pgrp *req)
{
    return req ? req->data_size : 0;
}

NB_HOST_API uint64_t pgrp_get_result_size(const pgrp *req)
{
    return req ? req->result_size : 0;
}

NB_HOST_API void *pgrp_get_data_ptr(const pgrp *req)
{
    return req ? req->data_ptr : nullptr;
}

NB_HOST_API void *pgrp_get_result_ptr(const pgrp *req)
{
    return req ? req->result_ptr : nullptr;
}

NB_HOST_API void pgrp_set_result_size(pgrp *req, uint64_t size)
{
    if (req)
        req->result_size = size;
}

NB_HOST_API void pgrp_set_result_ptr(pgrp *req, void *ptr)
{
    if (req)
        req->result_ptr = ptr;
}

}  // extern "C"
