/*
 * bitrate.cpp - the bit-rate table (index 0 manual, 1..9 the CiA
 * predefined rates), the data-phase rates of CAN FD channels, and the
 * automatic detection of a running bus's rates.
 */
#include <glib.h>
#include <glib/gi18n.h>
#include <string.h>

#include "can/chan.h"

namespace {

/* Names of the indexes, 25 characters, blank-padded, shown translated.
 * Index 1..9 is the CiA rate zk_cia_rate_at(index - 1) of zelk.h, which
 * gives its registers; index 0's come from the channel. */
const char *const k_baud[NB_BAUD_INDEX_MAX + 1] = {
    N_("Manual set               "),
    N_("10   Kbit/s  (CiA predef)"),
    N_("20   Kbit/s  (CiA predef)"),
    N_("50   Kbit/s  (CiA predef)"),
    N_("100  Kbit/s  (CiA predef)"),
    N_("125  Kbit/s  (CiA predef)"),
    N_("250  Kbit/s  (CiA predef)"),
    N_("500  Kbit/s  (CiA predef)"),
    N_("800  Kbit/s  (CiA predef)"),
    N_("1000 Kbit/s  (CiA predef)"),
};
static_assert(NB_BAUD_INDEX_MAX == ZK_CIA_RATES, "one index per CiA rate");
const char k_unknown[] = "Unknown                  ";
[[maybe_unused]] const char *const k_unknown_shown = N_("Unknown                  ");

static_assert(sizeof k_unknown == NB_BAUD_NAME_LEN + 1, "padded name length");

bool valid_index(int32_t index)
{
    return index >= 0 && index <= NB_BAUD_INDEX_MAX;
}

/* Time between two read attempts while listening at one rate. */
constexpr int32_t k_listen_step_ms = 10;

/* Predefined data-phase bit rates of CAN FD channels, kbit/s. */
const uint32_t k_data_kbit[] = {1000, 2000, 4000, 5000, 8000};
constexpr int k_data_count = (int)(sizeof k_data_kbit / sizeof k_data_kbit[0]);

/* The rates one listening pass of the detection sets. */
struct try_rates {
    int32_t index;            /* nominal bit-rate index */
    uint32_t data_kbit;       /* data rate of an FD channel, 0 on a classic one */
    uint16_t data_sp;
};

/* What one listening pass heard. */
enum heard { HEARD_NOTHING, HEARD_FRAME, HEARD_BRS };

/* Frames read at once while listening on a CAN FD channel. */
constexpr uint16_t k_fd_read = 16;

/* Sets the rates, starts the controller and reads at every attempt until
 * one tells what is asked: any frame, or with want_brs only a frame whose
 * data phase ran at the data rate (BRS); others are consumed. The
 * controller is stopped afterwards. */
heard listen_at(nb_chan *chan, const try_rates &r, int32_t attempts, bool want_brs,
                nb_autobaud_cb tick, void *tick_data, int32_t tick_index)
{
    const uint8_t n = chan->number;
    uint8_t bt0 = 0, bt1 = 0;
    auto get_regs = chan->ops.get_baud_regs ? chan->ops.get_baud_regs : chan_get_baud_regs;
    get_regs(chan, r.index, &bt0, &bt1);
    /* A rate the adapter refuses just yields no frame. */
    ZkSetBaud(n, bt0, bt1);
    if (r.data_kbit)
        ZkSetDataRate(n, r.data_kbit * 1000u, r.data_sp,
                      chan->fd == NB_FD_NON_ISO ? ZK_FD_NON_ISO : ZK_FD_ISO);
    ZkHwReset(n);
    ZkStart(n);
    heard result = HEARD_NOTHING;
    for (int32_t i = 0; i < attempts && result == HEARD_NOTHING; i++) {
        if (tick)
            tick(tick_data, tick_index);
        if (chan->fd) {
            zk_fdframe frames[k_fd_read];
            int16_t got = ZkReadFd(n, frames, k_fd_read);
            for (int16_t k = 0; k < got && result != HEARD_BRS; k++) {
                const uint8_t brs = ZK_FRAME_FDF | ZK_FRAME_BRS;
                if ((frames[k].flags & brs) == brs)
                    result = HEARD_BRS;
                else if (!want_brs)
                    result = HEARD_FRAME;
            }
            if (result != HEARD_NOTHING)
                break;
        } else {
            zk_frame frame;
            if (ZkRead(n, &frame, 1) > 0) {
                result = HEARD_FRAME;
                break;
            }
        }
        g_usleep(k_listen_step_ms * 1000);
    }
    ZkStop(n);
    return result;
}

}  // namespace

int data_rate_count(void)
{
    return k_data_count;
}

uint32_t data_rate_kbit(int i)
{
    return i >= 0 && i < k_data_count ? k_data_kbit[i] : 0;
}

void data_rate_text(uint32_t kbit, char *buf, size_t size)
{
    if (kbit != 0 && kbit % 1000 == 0)
        g_snprintf(buf, size, _("%u Mbit/s"), (unsigned)(kbit / 1000));
    else
        g_snprintf(buf, size, _("%u kbit/s"), (unsigned)kbit);
}

int32_t chan_set_baud(nb_chan *chan, int32_t index, uint8_t bt0, uint8_t bt1)
{
    if (!valid_index(index))
        return NB_BAUD_E_INDEX;
    uint8_t r0 = bt0, r1 = bt1;
    if (index != 0) {
        r0 = zk_cia_rate_at(index - 1)->bt0;
        r1 = zk_cia_rate_at(index - 1)->bt1;
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
        *bt0 = zk_cia_rate_at(index - 1)->bt0;
        *bt1 = zk_cia_rate_at(index - 1)->bt1;
    }
}

/* The data-phase bit rate of a CAN FD channel, with the channel's FD
 * variant. The status record holds the rate in 16 bits of kbit/s. */
int32_t chan_set_data_rate(nb_chan *chan, uint32_t kbit, uint16_t sample_point)
{
    if (!chan->fd)
        return ZK_E_NOFD;
    if (kbit == 0 || kbit > UINT16_MAX || sample_point >= 1000)
        return ZK_E_BADARG;
    uint8_t mode = chan->fd == NB_FD_NON_ISO ? ZK_FD_NON_ISO : ZK_FD_ISO;
    int32_t rc = ZkSetDataRate(chan->number, kbit * 1000u, sample_point, mode);
    if (rc >= 0) {
        chan->data_kbit = kbit;
        chan->data_sp = sample_point;
    }
    return rc;
}

const char *chan_baud_name(int32_t index)
{
    return _(valid_index(index) ? k_baud[index] : k_unknown);
}

int32_t chan_autobaud(nb_chan *chan, int32_t method, int32_t timeout_ms,
                      nb_autobaud_cb progress, void *progress_data,
                      nb_autobaud_cb tick, void *tick_data)
{
    const uint8_t n = chan->number;
    auto set_baud = chan->ops.set_baud ? chan->ops.set_baud : chan_set_baud;
    auto set_data_rate = chan->ops.set_data_rate ? chan->ops.set_data_rate : chan_set_data_rate;
    const bool fd = chan->fd != 0;

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
    uint32_t found_data = 0;
    uint16_t found_sp = 0;
    chan->found_data_kbit = 0;

    /* The nominal rate, 1000 kbit/s first: any frame tells it. On a CAN FD
     * channel the data rate in force stays set meanwhile, so a frame with
     * BRS at that rate counts too (and then tells the data rate as well).
     * A bus whose every frame has BRS at another data rate is silent at
     * every nominal rate: then the passes are repeated at each of the
     * other predefined data rates. */
    const int data_passes = fd ? 1 + k_data_count : 1;
    for (int pass = 0; pass < data_passes && found < 0; pass++) {
        try_rates r = {0, 0, 0};
        if (fd) {
            r.data_kbit = pass == 0 ? chan->data_kbit : k_data_kbit[k_data_count - pass];
            r.data_sp = pass == 0 ? chan->data_sp : 0;
            if (pass > 0 && r.data_kbit == chan->data_kbit)
                continue;
            if (pass > 0 && progress)
                progress(progress_data, NB_AUTOBAUD_DATA_STEP + k_data_count - pass);
        }
        for (r.index = NB_BAUD_INDEX_MAX; r.index >= 1 && found < 0; r.index--) {
            if (progress)
                progress(progress_data, r.index);
            heard h = listen_at(chan, r, attempts, false, tick, tick_data, r.index);
            if (h == HEARD_NOTHING)
                continue;
            found = r.index;
            if (h == HEARD_BRS) {
                found_data = r.data_kbit;
                found_sp = r.data_sp;
            }
        }
    }

    /* The data rate, 8 Mbit/s first, at the nominal rate found: only a
     * frame whose data phase ran at the data rate (BRS) tells it. */
    for (int i = k_data_count - 1; fd && found > 0 && found_data == 0 && i >= 0; i--) {
        if (progress)
            progress(progress_data, NB_AUTOBAUD_DATA_STEP + i);
        try_rates r = {found, k_data_kbit[i], 0};
        if (listen_at(chan, r, attempts, true, tick, tick_data, NB_AUTOBAUD_DATA_STEP + i) ==
            HEARD_BRS)
            found_data = r.data_kbit;
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
    if (fd) {
        /* The data rate found, else the one in force before. */
        if (found_data && set_data_rate(chan, found_data, found_sp) >= 0)
            chan->found_data_kbit = found_data;
        else
            set_data_rate(chan, chan->data_kbit, chan->data_sp);
    }
    return found;
}
