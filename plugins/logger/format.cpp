/*
 * format.cpp - the log lines of the candump and ASC formats, and the
 * placing of receive times on the wall clock.
 */
#include "logger.h"

#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <time.h>

namespace {

/* SocketCAN's error frame identifier and classes. */
constexpr uint32_t CAN_ERR_FLAG = 0x20000000u;
constexpr uint32_t CAN_ERR_TX_TIMEOUT = 0x00000001u;
constexpr uint32_t CAN_ERR_CRTL = 0x00000004u;
constexpr uint32_t CAN_ERR_BUSOFF = 0x00000040u;
constexpr uint32_t CAN_ERR_BUSERROR = 0x00000080u;
constexpr uint8_t CAN_ERR_CRTL_RX_OVERFLOW = 0x01;
constexpr uint8_t CAN_ERR_CRTL_RX_WARNING = 0x04;
constexpr uint8_t CAN_ERR_CRTL_TX_WARNING = 0x08;

const char HEX[] = "0123456789ABCDEF";

/* Month and weekday names of the ASC header: English whatever the locale,
 * since readers parse them. */
const char *const MONTHS[12] = {"Jan", "Feb", "Mar", "Apr", "May", "Jun",
                                "Jul", "Aug", "Sep", "Oct", "Nov", "Dec"};
const char *const DAYS[7] = {"Sun", "Mon", "Tue", "Wed", "Thu", "Fri", "Sat"};

size_t done(int n, size_t size)
{
    return (n < 0 || (size_t)n >= size) ? 0 : (size_t)n;
}

uint32_t frame_id(const zk_frame *f)
{
    return f->id & ((f->flags & ZK_FRAME_EFF) ? 0x1FFFFFFFu : 0x7FFu);
}

uint8_t frame_len(const zk_frame *f)
{
    return f->len > 8 ? 8 : f->len;
}

/* "sec.usec" of a non-negative time. */
void split_us(int64_t t_us, unsigned long long *sec, unsigned *usec)
{
    if (t_us < 0)
        t_us = 0;
    *sec = (unsigned long long)(t_us / 1000000);
    *usec = (unsigned)(t_us % 1000000);
}

}  // namespace

int64_t lg_ts_to_us(uint64_t ts)
{
    if (ts < NB_TIMESTAMP_UNIX_EPOCH)
        return 0;
    return (int64_t)((ts - NB_TIMESTAMP_UNIX_EPOCH) / 10u);
}

int lg_format_of_name(const char *name)
{
    size_t n = name ? strlen(name) : 0;
    if (n < 4)
        return LG_FMT_AUTO;
    if (g_ascii_strcasecmp(name + n - 4, ".log") == 0)
        return LG_FMT_CANDUMP;
    if (g_ascii_strcasecmp(name + n - 4, ".asc") == 0)
        return LG_FMT_ASC;
    return LG_FMT_AUTO;
}

size_t lg_fmt_candump(char *buf, size_t size, int chan, int64_t t_us, const zk_frame *f,
                      int sent)
{
    char body[32];
    size_t k = 0;
    uint8_t len = frame_len(f);
    if (f->flags & ZK_FRAME_RTR) {
        body[k++] = 'R';
        if (len > 0)
            body[k++] = HEX[len];
    } else {
        for (uint8_t i = 0; i < len; i++) {
            body[k++] = HEX[f->data[i] >> 4];
            body[k++] = HEX[f->data[i] & 15];
        }
    }
    body[k] = '\0';
    unsigned long long sec;
    unsigned usec;
    split_us(t_us, &sec, &usec);
    int n = (f->flags & ZK_FRAME_EFF)
                ? snprintf(buf, size, "(%010llu.%06u) can%d %08X#%s%s\n", sec, usec, chan,
                           (unsigned)frame_id(f), body, sent ? " T" : "")
                : snprintf(buf, size, "(%010llu.%06u) can%d %03X#%s%s\n", sec, usec, chan,
                           (unsigned)frame_id(f), body, sent ? " T" : "");
    return done(n, size);
}

size_t lg_fmt_candump_errors(char *buf, size_t size, int chan, int64_t t_us,
                             const zk_errs *errs)
{
    uint32_t id = CAN_ERR_FLAG | CAN_ERR_BUSERROR;
    uint8_t data[8] = {0, 0, 0, 0, 0, 0, 0, 0};
    if (errs->ewl || errs->hovr || errs->sovr)
        id |= CAN_ERR_CRTL;
    if (errs->ewl)
        data[1] |= CAN_ERR_CRTL_RX_WARNING | CAN_ERR_CRTL_TX_WARNING;
    if (errs->hovr || errs->sovr)
        data[1] |= CAN_ERR_CRTL_RX_OVERFLOW;
    if (errs->boff)
        id |= CAN_ERR_BUSOFF;
    if (errs->wtout)
        id |= CAN_ERR_TX_TIMEOUT;
    unsigned long long sec;
    unsigned usec;
    split_us(t_us, &sec, &usec);
    int n = snprintf(buf, size, "(%010llu.%06u) can%d %08X#%02X%02X%02X%02X%02X%02X%02X%02X\n",
                     sec, usec, chan, (unsigned)id, data[0], data[1], data[2], data[3], data[4],
                     data[5], data[6], data[7]);
    return done(n, size);
}

size_t lg_fmt_asc_header(char *buf, size_t size, int64_t start_us)
{
    time_t secs = (time_t)(start_us / 1000000);
    int ms = (int)((start_us % 1000000) / 1000);
    struct tm tm;
    if (!localtime_r(&secs, &tm))
        memset(&tm, 0, sizeof tm);
    int hour12 = tm.tm_hour % 12 == 0 ? 12 : tm.tm_hour % 12;
    const char *ampm = tm.tm_hour < 12 ? "am" : "pm";
    char date[64];
    int d = snprintf(date, sizeof date, "%s %s %02d %02d:%02d:%02d.%03d %s %d",
                     DAYS[(tm.tm_wday % 7 + 7) % 7], MONTHS[(tm.tm_mon % 12 + 12) % 12],
                     tm.tm_mday, hour12, tm.tm_min, tm.tm_sec, ms, ampm, tm.tm_year + 1900);
    if (d < 0 || (size_t)d >= sizeof date)
        return 0;
    int n = snprintf(buf, size,
                     "date %s\n"
                     "base hex  timestamps absolute\n"
                     "internal events logged\n"
                     "Begin Triggerblock %s\n"
                     "   0.000000 Start of measurement\n",
                     date, date);
    return done(n, size);
}

size_t lg_fmt_asc_frame(char *buf, size_t size, int chan, int64_t start_us, int64_t t_us,
                        const zk_frame *f, int sent)
{
    char id[16];
    if (f->flags & ZK_FRAME_EFF)
        snprintf(id, sizeof id, "%Xx", (unsigned)frame_id(f));
    else
        snprintf(id, sizeof id, "%X", (unsigned)frame_id(f));
    char body[40];
    size_t k = 0;
    uint8_t len = frame_len(f);
    if (f->flags & ZK_FRAME_RTR) {
        body[k++] = 'r';
        body[k++] = ' ';
        body[k++] = HEX[len];
    } else {
        body[k++] = 'd';
        body[k++] = ' ';
        body[k++] = HEX[len];
        for (uint8_t i = 0; i < len; i++) {
            body[k++] = ' ';
            body[k++] = HEX[f->data[i] >> 4];
            body[k++] = HEX[f->data[i] & 15];
        }
    }
    body[k] = '\0';
    unsigned long long sec;
    unsigned usec;
    split_us(t_us - start_us, &sec, &usec);
    int n = snprintf(buf, size, "%4llu.%06u %d  %-15s %-4s %s\n", sec, usec, chan + 1, id,
                     sent ? "Tx" : "Rx", body);
    return done(n, size);
}

size_t lg_fmt_asc_errors(char *buf, size_t size, int chan, int64_t start_us, int64_t t_us)
{
    unsigned long long sec;
    unsigned usec;
    split_us(t_us - start_us, &sec, &usec);
    int n = snprintf(buf, size, "%4llu.%06u %d  ErrorFrame\n", sec, usec, chan + 1);
    return done(n, size);
}

size_t lg_fmt_asc_footer(char *buf, size_t size)
{
    return done(snprintf(buf, size, "End TriggerBlock\n"), size);
}

/* ---------------------------------------------------------------- clock */

void lg_clock_reset(lg_clock *c)
{
    memset(c, 0, sizeof *c);
}

void lg_clock_place(lg_clock *c, const zk_frame *frames, int n, int64_t req_us, int64_t *out)
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
    c->have = 1;
    c->ext_us = ext;
    c->last_ts = last;
    c->last_req_us = req_us;
    /* While the bound is still coming down, a batch could start before
     * the previous one ended: times never step back (but after a reset). */
    for (int i = 0; i < n; i++) {
        out[i] += c->offset_us;
        if (!went_back && out[i] < c->last_out_us)
            out[i] = c->last_out_us;
    }
    c->last_out_us = out[n - 1];
}
