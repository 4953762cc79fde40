/*
 * exports.cpp - the host's general services for plug-ins: sending a
 * classic or CAN FD frame, reading the channel status, the locale
 * directory, the load/release flag and the accessors of the request
 * record. Plain C names, exported from the executable; everything else of
 * the host stays hidden.
 */
#include <stddef.h>
#include <string.h>

#include "app/nb_app.h"

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
