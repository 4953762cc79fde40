/*
 * bitrate.cpp - the bit-rate table (index 0 manual, 1..9 the CiA
 * predefined rates) and the automatic detection of a running bus's rate.
 */
#include <glib.h>
#include <string.h>

#include "can/chan.h"

namespace {

struct baud_entry {
    const char *name;   /* 25 characters, blank-padded; shown untranslated */
    uint8_t bt0;
    uint8_t bt1;
};

/* Index 0's registers come from the channel, not from this table. */
const baud_entry k_baud[NB_BAUD_INDEX_MAX + 1] = {
    {"Manual set               ", 0x00, 0x00},
    {"10   Kbit/s  (CiA predef)", 0x31, 0x1C},
    {"20   Kbit/s  (CiA predef)", 0x18, 0x1C},
    {"50   Kbit/s  (CiA predef)", 0x09, 0x1C},
    {"100  Kbit/s  (CiA predef)", 0x04, 0x1C},
    {"125  Kbit/s  (CiA predef)", 0x03, 0x1C},
    {"250  Kbit/s  (CiA predef)", 0x01, 0x1C},
    {"500  Kbit/s  (CiA predef)", 0x00, 0x1C},
    {"800  Kbit/s  (CiA predef)", 0x00, 0x16},
    {"1000 Kbit/s  (CiA predef)", 0x00, 0x14},
};
const char k_unknown[] = "Unknown                  ";

static_assert(sizeof k_unknown == NB_BAUD_NAME_LEN + 1, "padded name length");

bool valid_index(int32_t index)
{
    return index >= 0 && index <= NB_BAUD_INDEX_MAX;
}

/* Time between two read attempts while listening at one rate. */
constexpr int32_t k_listen_step_ms = 10;

}  // namespace

int32_t chan_set_baud(nb_chan *chan, int32_t index, uint8_t bt0, uint8_t bt1)
{
    if (!valid_index(index))
        return NB_BAUD_E_INDEX;
    uint8_t r0 = bt0, r1 = bt1;
    if (index != 0) {
        r0 = k_baud[index].bt0;
        r1 = k_baud[index].bt1;
    }
    int32_t rc = ZkSetBaud(chan->number, r0, r1);
    if (rc >= 0) {
        /* For a predefined rate the given bytes are only recorded. */
        chan->baud_index = index;
        chan->bt0 = bt0;
        chan->bt1 = bt1;
    }
    return rc;
}

void chan_get_baud_regs(nb_chan *chan, int32_t index, uint8_t *bt0, uint8_t *bt1)
{
    if (!valid_index(index) || !bt0 || !bt1)
        return;
    if (index == 0) {
        *bt0 = chan->bt0;
        *bt1 = chan->bt1;
    } else {
        *bt0 = k_baud[index].bt0;
        *bt1 = k_baud[index].bt1;
    }
}

const char *chan_baud_name(int32_t index)
{
    return valid_index(index) ? k_baud[index].name : k_unknown;
}

int32_t chan_autobaud(nb_chan *chan, int32_t method, int32_t timeout_ms,
                      nb_autobaud_cb progress, void *progress_data,
                      nb_autobaud_cb tick, void *tick_data)
{
    const uint8_t n = chan->number;
    auto get_regs = chan->ops.get_baud_regs ? chan->ops.get_baud_regs : chan_get_baud_regs;
    auto set_baud = chan->ops.set_baud ? chan->ops.set_baud : chan_set_baud;

    ZkRcQueEmpty(n);
    /* Listen-only keeps the search from acknowledging or disturbing the
     * bus; method 1 searches in the controller's normal mode. */
    if (method == 0)
        ZkSetLom(n, 1);
    const uint32_t code = chan->acc_code;
    const uint32_t mask = chan->acc_mask;
    ZkSetFilter(n, 0, 0);

    const int32_t attempts = timeout_ms > 0 ? timeout_ms / k_listen_step_ms : 0;
    int32_t found = -1;
    for (int32_t index = NB_BAUD_INDEX_MAX; index >= 1 && found < 0; index--) {
        if (progress)
            progress(progress_data, index);
        uint8_t bt0 = 0, bt1 = 0;
        get_regs(chan, index, &bt0, &bt1);
        /* A rate the adapter refuses just yields no frame. */
        ZkSetBaud(n, bt0, bt1);
        ZkHwReset(n);
        ZkStart(n);
        for (int32_t i = 0; i < attempts; i++) {
            if (tick)
                tick(tick_data, index);
            zk_frame frame;
            if (ZkRead(n, &frame, 1) > 0) {
                found = index;
                break;
            }
            g_usleep(k_listen_step_ms * 1000);
        }
        ZkStop(n);
    }

    if (method == 0)
        ZkSetLom(n, 0);
    ZkRcQueEmpty(n);
    ZkHwReset(n);
    zk_errs scratch;
    memset(&scratch, 0, sizeof scratch);
    ZkErrsGetClear(n, &scratch);
    ZkSetFilter(n, code, mask);

    if (found > 0)
        set_baud(chan, found, 0, 0);
    else if (chan->baud_index == 0)
        set_baud(chan, 0, chan->bt0, chan->bt1);
    else
        set_baud(chan, chan->baud_index, 0, 0);
    return found;
}
