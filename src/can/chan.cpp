/*
 * chan.cpp - the host's one CAN channel over the ZELK library.
 *
 * Every operation records a setting only after the library accepted it,
 * so a failing operation leaves the channel's fields as they were.
 */
#include <glib/gi18n.h>
#include <pthread.h>
#include <stdlib.h>
#include <string.h>

#include "app/platform.h"
#include "can/chan.h"

namespace {

/* Frames may be sent from any thread (a plug-in's periodic sender). One
 * lock over the library's write and the tx log's append keeps the log in
 * the order the frames went out; closing and reopening take it too, so a
 * send never meets a channel half changed. */
pthread_mutex_t g_send_lock;
pthread_once_t g_send_once = PTHREAD_ONCE_INIT;

/* With priority inheritance: a sending thread of real-time priority never
 * waits on a window thread that holds the lock but is not running. */
void init_send_lock(void)
{
    pthread_mutexattr_t a;
    pthread_mutexattr_init(&a);
    pthread_mutexattr_setprotocol(&a, PTHREAD_PRIO_INHERIT);
    pthread_mutex_init(&g_send_lock, &a);
    pthread_mutexattr_destroy(&a);
}

struct send_guard {
    send_guard()
    {
        pthread_once(&g_send_once, init_send_lock);
        pthread_mutex_lock(&g_send_lock);
    }
    ~send_guard() { pthread_mutex_unlock(&g_send_lock); }
    send_guard(const send_guard &) = delete;
    send_guard &operator=(const send_guard &) = delete;
};

/* The frame formats a channel is opened with: format 0 means none was
 * chosen yet (a first pass started with a session file), and such a
 * channel is opened for both formats. */
uint8_t open_format(uint8_t frame_format)
{
    return frame_format != 0 ? frame_format : ZK_OPEN_BOTH;
}

/* Opens the channel the record names with its frame format, CAN FD mode,
 * bit rates and write timeout. A channel whose bit rate or write timeout
 * is refused is closed again. Returns the library's result; on failure
 * *step is the text of the step that failed. On success the record holds
 * the format the channel was opened with. */
int32_t open_steps(nb_chan *chan, const char **step)
{
    uint8_t flags = open_format(chan->frame_format);
    const uint8_t mode = (uint8_t)(flags | (chan->fd ? ZK_OPEN_FD : 0u));
    /* With the fates of the frames written; a library before 1.3 refuses
     * the flag, and the channel is opened without. */
    uint8_t txresult = 1;
    int32_t rc = ZkOpen(chan->number, (uint8_t)(mode | ZK_OPEN_TXRESULT));
    if (rc == ZK_E_BADARG) {
        txresult = 0;
        rc = ZkOpen(chan->number, mode);
    }
    if (rc < 0) {
        *step = "can not open CAN channel";
        return rc;
    }
    auto set_baud = chan->ops.set_baud ? chan->ops.set_baud : chan_set_baud;
    auto set_data_rate = chan->ops.set_data_rate ? chan->ops.set_data_rate : chan_set_data_rate;
    rc = set_baud(chan, chan->baud_index, chan->bt0, chan->bt1);
    if (rc < 0) {
        *step = "can not set baud rate";
    } else if (chan->fd && (rc = set_data_rate(chan, chan->data_kbit, chan->data_sp)) < 0) {
        *step = _("can not set data rate");
    } else if ((rc = ZkSetWriteTout(chan->number, chan->wtout)) < 0) {
        *step = "can not set write timeout";
    }
    if (rc < 0) {
        ZkClose(chan->number);
        return rc;
    }
    chan->frame_format = flags;
    chan->lost = 0;
    /* The library numbers the frames written from 0 at every open. */
    chan->txresult = txresult;
    chan->tx_seq = 0;
    txlog_sent_reset(chan->txlog);
    return rc;
}

int32_t chan_open(nb_chan *chan)
{
    chan_retry_settle(chan);
    /* The texts of the three classic steps stay untranslated: they are
     * the fatal messages of opening the channel. */
    const char *step = "";
    int32_t rc = open_steps(chan, &step);
    chan->open_failed = rc < 0 ? step : nullptr;
    return rc;
}

int32_t chan_close(nb_chan *chan)
{
    chan_retry_settle(chan);
    send_guard g;
    chan->bus_off = 0;
    return ZkClose(chan->number);
}

int32_t chan_set_wtout(nb_chan *chan, uint16_t ms)
{
    /* The library may adjust the request; the value it leaves is the one
     * in force and the one recorded. */
    uint16_t value = ms;
    int32_t rc = ZkWriteTout(chan->number, 1, &value);
    if (rc >= 0)
        chan->wtout = value;
    return rc;
}

int32_t chan_set_filter(nb_chan *chan, uint32_t code, uint32_t mask)
{
    int32_t rc = ZkSetFilter(chan->number, code, mask);
    if (rc >= 0) {
        chan->acc_code = code;
        chan->acc_mask = mask;
    }
    return rc;
}

void chan_get_status(nb_chan *chan, nb_chan_status *out)
{
    if (!out)
        return;
    out->chan = chan->number;
    out->running = chan->running;
    out->lom = chan->lom;
    out->fd = chan->fd;
    out->acc_code = chan->acc_code;
    out->acc_mask = chan->acc_mask;
    out->baud_index = chan->baud_index;
    out->data_kbit = chan->fd ? (uint16_t)chan->data_kbit : 0;
    out->wtout = chan->wtout;
}

int32_t chan_chip_stat(nb_chan *chan, zk_chipstat *st, zk_chipstat_text *text)
{
    if (!st)
        return ZK_E_BADARG;
    int32_t rc = ZkChipStat(chan->number, st);
    if (rc < 0)
        return rc;
    if (text)
        ZkChipStatToStr(st, text);
    return 0;
}

int32_t chan_start(nb_chan *chan)
{
    int32_t rc = ZkStart(chan->number);
    if (rc >= 0) {
        chan->running = 1;
        chan->bus_off = 0;
    }
    return rc;
}

int32_t chan_stop(nb_chan *chan)
{
    /* The controller of a lost adapter runs no more. */
    if (chan->lost) {
        chan->running = 0;
        return 0;
    }
    int32_t rc = ZkStop(chan->number);
    if (rc >= 0)
        chan->running = 0;
    return rc;
}

int32_t chan_hw_reset(nb_chan *chan)
{
    return ZkHwReset(chan->number);
}

int32_t chan_set_lom(nb_chan *chan, int32_t on)
{
    int32_t rc = ZkSetLom(chan->number, on ? 1 : 0);
    if (rc >= 0)
        chan->lom = on ? 1 : 0;
    return rc;
}

/* Appends a frame the library accepted to the tx log. The timestamp is
 * taken after the library accepted the frame. The frame's ts takes the
 * channel's clock at that moment, the time base of received frames, so
 * that plug-ins can put sent and received frames in one order. */
void log_sent(nb_chan *chan, nb_tx_fd_entry *entry)
{
    uint32_t now = 0;
    entry->frame.ts = ZkGetClock(chan->number, &now) >= 0 ? now
                                                          : (uint32_t)g_get_monotonic_time();
    entry->timestamp = nbsdep_timestamp_get();
    /* Kept by the number the library gave the frame, for its fate. */
    if (chan->txresult)
        txlog_append_seq(chan->txlog, entry, chan->tx_seq++);
    else
        txlog_append(chan->txlog, entry);
}

int32_t chan_send_frame(nb_chan *chan, const zk_frame *frame)
{
    if (!frame)
        return ZK_E_BADARG;
    send_guard g;
    int32_t rc = ZkWrite(chan->number, frame, 1);
    if (rc < 0)
        return rc;
    nb_tx_fd_entry entry;
    memset(&entry, 0, sizeof entry);
    frame_to_fd(frame, &entry.frame);
    log_sent(chan, &entry);
    return rc;
}

int32_t chan_send_fd_frame(nb_chan *chan, const zk_fdframe *frame)
{
    if (!frame)
        return ZK_E_BADARG;
    send_guard g;
    int32_t rc = ZkWriteFd(chan->number, frame, 1);
    if (rc < 0)
        return rc;
    nb_tx_fd_entry entry;
    memset(&entry, 0, sizeof entry);
    entry.frame = *frame;
    log_sent(chan, &entry);
    return rc;
}

/* Board numbers the library can report: 0..7. */
constexpr int32_t k_board_last = ZK_MAX_BOARDS - 1;

int32_t chan_board_next(int32_t start, nb_board_info *board)
{
    if (!board)
        return 0;
    for (int32_t nr = start < 0 ? 0 : start; nr <= k_board_last; nr++) {
        nb_board_info found;
        memset(&found, 0, sizeof found);
        found.b.number = (uint8_t)nr;
        if (ZkBoardInfo(&found.b) < 0)
            continue;
        found.b.number = (uint8_t)nr;
        found.b.name[sizeof found.b.name - 1] = '\0';
        found.b.manufacturer[sizeof found.b.manufacturer - 1] = '\0';
        if (ZkBoardGetSerial((uint8_t)nr, found.serial, sizeof found.serial) < 0)
            found.serial[0] = '\0';
        found.serial[sizeof found.serial - 1] = '\0';
        *board = found;
        return nr + 1;
    }
    return 0;
}

int32_t chan_chan_next(int32_t start, const nb_board_info *board, nb_chan_slot *out)
{
    if (!board || !out)
        return 0;
    for (int32_t slot = start < 0 ? 0 : start; slot < ZK_CHANNELS_PER_BOARD; slot++) {
        int16_t nr = board->b.chip[slot];
        if (nr < 0)
            continue;
        out->number = nr;
        out->fd_capable = (board->b.fd_slots >> slot) & 1u;
        /* Busy means: someone (this process included) holds it open. */
        if (ZkOpen((uint8_t)nr, ZK_OPEN_PROBE) < 0) {
            out->busy = 1;
        } else {
            out->busy = 0;
            ZkClose((uint8_t)nr);
        }
        return slot + 1;
    }
    return 0;
}

int32_t chan_find_board(int32_t number, nb_board_info *board)
{
    if (!board)
        return -1;
    nb_board_info cur;
    int32_t next = 0;
    while ((next = chan_board_next(next, &cur)) != 0) {
        for (int32_t slot = 0; slot < ZK_CHANNELS_PER_BOARD; slot++) {
            if (cur.b.chip[slot] >= 0 && cur.b.chip[slot] == number) {
                *board = cur;
                return 0;
            }
        }
    }
    /* Nothing stale is left for the information panel to show. */
    memset(board, 0, sizeof *board);
    return -1;
}

}  // namespace

int32_t chan_reopen(nb_chan *chan, uint8_t from, uint8_t from_format, uint8_t from_fd)
{
    chan_retry_settle(chan);
    send_guard g;
    const char *step = "";
    if (chan->number != from) {
        /* The new one first: when it cannot be had, the open one stays. */
        int32_t rc = open_steps(chan, &step);
        if (rc >= 0)
            ZkClose(from);
        return rc;
    }
    /* A channel is open only once: close it before opening it with the
     * other format or mode, and open it again as it was when that fails. */
    const uint8_t wanted = chan->frame_format;
    const uint8_t wanted_fd = chan->fd;
    ZkClose(from);
    int32_t rc = open_steps(chan, &step);
    if (rc < 0) {
        chan->frame_format = from_format;
        chan->fd = from_fd;
        (void)open_steps(chan, &step);
        chan->frame_format = wanted;
        chan->fd = wanted_fd;
    }
    return rc;
}

int32_t chan_reopen_lost(nb_chan *chan)
{
    const char *step = "";
    int32_t rc = open_steps(chan, &step);
    if (rc < 0)
        return rc;
    /* The filter and listen-only mode in force before the loss; a setting
     * the adapter refuses now is recorded as off. */
    if ((chan->acc_code != 0 || chan->acc_mask != 0) &&
        chan_set_filter(chan, chan->acc_code, chan->acc_mask) < 0) {
        chan->acc_code = 0;
        chan->acc_mask = 0;
    }
    if (chan->lom && chan_set_lom(chan, 1) < 0)
        chan->lom = 0;
    chan->lost = 0;
    chan->running = 0;
    return 0;
}

void chan_fill_ops(nb_chan_ops *ops)
{
    ops->open = chan_open;
    ops->close = chan_close;
    ops->set_wtout = chan_set_wtout;
    ops->set_filter = chan_set_filter;
    ops->set_baud = chan_set_baud;
    ops->get_baud_regs = chan_get_baud_regs;
    ops->autobaud = chan_autobaud;
    ops->baud_name = chan_baud_name;
    ops->get_status = chan_get_status;
    ops->chip_stat = chan_chip_stat;
    ops->start = chan_start;
    ops->stop = chan_stop;
    ops->hw_reset = chan_hw_reset;
    ops->set_lom = chan_set_lom;
    ops->send_frame = chan_send_frame;
    ops->board_next = chan_board_next;
    ops->chan_next = chan_chan_next;
    ops->find_board = chan_find_board;
    ops->set_data_rate = chan_set_data_rate;
    ops->send_fd_frame = chan_send_fd_frame;
}
