/*
 * format.cpp - error-counter reports as error frames, and the placing of
 * receive times on the wall clock.
 */
#include "logger.h"

#include <stdlib.h>
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

/* ---------------------------------------------------------------- clock */

void lg_clock_reset(lg_clock *c)
{
    memset(c, 0, sizeof *c);
}

void lg_clock_place(lg_clock *c, const zk_fdframe *frames, int n, int64_t req_us, int64_t *out,
                    const int64_t *not_before)
{
    if (n <= 0)
        return;
    /* Unwrapped adapter times, relative to the previous batch's last. */
    int64_t ext = c->have ? c->ext_us : 0;
    uint32_t last = c->have ? c->last_ts : frames[0].ts;
    int went_back = 0;
    for (int i = 0; i < n; i++) {
        int32_t step = (int32_t)(frames[i].ts - last);
        /* Frames arrive in time order: a step back is a restarted clock
         * (or a silence longer than half the clock's wrap). */
        if (step < 0) {
            went_back = 1;
            step = 0;
        }
        ext += step;
        last = frames[i].ts;
        out[i] = ext;
    }
    int64_t bound = req_us - ext;
    if (!c->have || went_back || llabs(bound - c->offset_us) > 2000000) {
        c->offset_us = bound;
    } else {
        /* 100 ppm of the time since the last batch: more than any
         * crystal's drift, far less than a poll interval's jitter. */
        int64_t risen = c->offset_us + (req_us - c->last_req_us) / 10000;
        c->offset_us = bound < risen ? bound : risen;
    }
    /* A sent frame was accepted at a known time of the host's clock, so
     * the offset is at least that time minus its adapter time. An adapter
     * clock that fell behind the host's (one that stood still while the
     * host's ran) would otherwise place the frame before it was sent. The
     * offset rises to that lower bound, but not above this batch's upper
     * one; where the two disagree, the sent frame still goes no earlier
     * than its acceptance (below). */
    if (not_before) {
        int64_t low = INT64_MIN;
        for (int i = 0; i < n; i++) {
            if (not_before[i] > 0 && not_before[i] - out[i] > low)
                low = not_before[i] - out[i];
        }
        if (low > c->offset_us)
            c->offset_us = low < bound ? low : bound;
    }
    c->have = 1;
    c->ext_us = ext;
    c->last_ts = last;
    c->last_req_us = req_us;
    /* While the bound is still coming down, a batch could start before
     * the previous one ended: times never step back (but after a reset). */
    int64_t floor = went_back ? INT64_MIN : c->last_out_us;
    for (int i = 0; i < n; i++) {
        int64_t t = out[i] + c->offset_us;
        if (not_before && t < not_before[i])
            t = not_before[i];
        if (t < floor)
            t = floor;
        out[i] = floor = t;
    }
    c->last_out_us = out[n - 1];
}
