/*
 * format.cpp - error-counter reports as error frames.
 */
#include "logger.h"

#include <string.h>

namespace {

/* SocketCAN's error classes. */
constexpr uint32_t CAN_ERR_TX_TIMEOUT = 0x00000001u;
constexpr uint32_t CAN_ERR_CRTL = 0x00000004u;
constexpr uint32_t CAN_ERR_BUSOFF = 0x00000040u;
constexpr uint8_t CAN_ERR_CRTL_RX_OVERFLOW = 0x01;
constexpr uint8_t CAN_ERR_CRTL_RX_WARNING = 0x04;
constexpr uint8_t CAN_ERR_CRTL_TX_WARNING = 0x08;

}  // namespace

void lg_error_frame(const zk_errs *errs, int chan, int64_t t_us, cl_frame *out)
{
    memset(out, 0, sizeof *out);
    out->t_ns = t_us * 1000;
    out->chan = (uint16_t)chan;
    out->flags = CL_ERR;
    out->len = 8;
    uint32_t id = CL_CAN_ERR_BUSERROR;
    if (errs->ewl || errs->hovr || errs->sovr)
        id |= CAN_ERR_CRTL;
    if (errs->ewl)
        out->data[1] |= CAN_ERR_CRTL_RX_WARNING | CAN_ERR_CRTL_TX_WARNING;
    if (errs->hovr || errs->sovr)
        out->data[1] |= CAN_ERR_CRTL_RX_OVERFLOW;
    if (errs->boff)
        id |= CAN_ERR_BUSOFF;
    if (errs->wtout)
        id |= CAN_ERR_TX_TIMEOUT;
    out->id = id;
}
