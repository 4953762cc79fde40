/*
 * format.cpp - the table of formats, and the lines of the candump and ASC
 * formats.
 */
#include "canlog.h"

#include <stdio.h>
#include <string.h>
#include <time.h>

namespace {

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

uint32_t frame_id(const cl_frame *f)
{
    return f->id & ((f->flags & CL_EXT) ? 0x1FFFFFFFu : 0x7FFu);
}

/* A CAN FD frame (error frames have no FD form). */
bool is_fd(const cl_frame *f)
{
    return (f->flags & (CL_FDF | CL_ERR)) == CL_FDF;
}

uint8_t frame_len(const cl_frame *f)
{
    uint8_t max = is_fd(f) ? 64 : 8;
    return f->len > max ? max : f->len;
}

/* "sec.usec" of a time in ns, never negative. */
void split_us(int64_t t_ns, unsigned long long *sec, unsigned *usec)
{
    if (t_ns < 0)
        t_ns = 0;
    int64_t us = t_ns / 1000;
    *sec = (unsigned long long)(us / 1000000);
    *usec = (unsigned)(us % 1000000);
}

}  // namespace

const cl_format_info CL_FORMATS[CL_FMT_LAST] = {
    {CL_FMT_CANDUMP, "candump", ".log", "candump log"},
    {CL_FMT_ASC, "asc", ".asc", "ASC"},
    {CL_FMT_BLF, "blf", ".blf", "BLF"},
    {CL_FMT_TRC, "trc", ".trc", "TRC"},
};

const cl_format_info *cl_format_info_of(int format)
{
    for (const cl_format_info &f : CL_FORMATS)
        if (f.format == format)
            return &f;
    return nullptr;
}

const char *cl_format_patterns(void)
{
    static const char *const text = [] {
        static char buf[64];
        size_t k = 0;
        for (const cl_format_info &f : CL_FORMATS)
            k += (size_t)snprintf(buf + k, sizeof buf - k, "%s*%s", k ? ", " : "", f.ext);
        return buf;
    }();
    return text;
}

const char *const *cl_format_globs(void)
{
    static const char *const *const globs = [] {
        static char text[CL_FMT_LAST][2][8];
        static const char *list[2 * CL_FMT_LAST + 1];
        size_t k = 0;
        for (size_t i = 0; i < CL_FMT_LAST; i++) {
            for (int upper = 0; upper < 2; upper++) {
                char *g = text[i][upper];
                snprintf(g, sizeof text[i][upper], "*%s", CL_FORMATS[i].ext);
                for (char *c = g; upper && *c; c++)
                    if (*c >= 'a' && *c <= 'z')
                        *c = (char)(*c - 'a' + 'A');
                list[k++] = g;
            }
        }
        list[k] = nullptr;
        return list;
    }();
    return globs;
}

size_t cl_fmt_candump(char *buf, size_t size, const cl_frame *f)
{
    return cl_fmt_candump_named(buf, size, f, nullptr);
}

size_t cl_fmt_candump_named(char *buf, size_t size, const cl_frame *f, const char *name)
{
    char iface[CL_CHAN_NAME];
    if (name && *name)
        snprintf(iface, sizeof iface, "%s", name);
    else
        snprintf(iface, sizeof iface, "can%u", (unsigned)f->chan);
    char body[136];
    size_t k = 0;
    uint8_t len = frame_len(f);
    if (is_fd(f)) {
        body[k++] = '#';
        body[k++] = HEX[4 | ((f->flags & CL_BRS) ? 1 : 0) | ((f->flags & CL_ESI) ? 2 : 0)];
        for (uint8_t i = 0; i < len; i++) {
            body[k++] = HEX[f->data[i] >> 4];
            body[k++] = HEX[f->data[i] & 15];
        }
    } else if ((f->flags & CL_RTR) && !(f->flags & CL_ERR)) {
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
    split_us(f->t_ns, &sec, &usec);
    const char *dir = (f->flags & CL_TX) ? " T" : "";
    int n;
    if (f->flags & CL_ERR) {
        uint32_t classes = f->id & 0x1FFFFFFFu;
        if (classes == 0)
            classes = CL_CAN_ERR_BUSERROR;
        n = snprintf(buf, size, "(%010llu.%06u) %s %08X#%s\n", sec, usec, iface,
                     (unsigned)(CL_CAN_ERR_FLAG | classes), body);
    } else if (f->flags & CL_EXT) {
        n = snprintf(buf, size, "(%010llu.%06u) %s %08X#%s%s\n", sec, usec, iface,
                     (unsigned)frame_id(f), body, dir);
    } else {
        n = snprintf(buf, size, "(%010llu.%06u) %s %03X#%s%s\n", sec, usec, iface,
                     (unsigned)frame_id(f), body, dir);
    }
    return done(n, size);
}

size_t cl_fmt_asc_header(char *buf, size_t size, int64_t start_ns)
{
    if (start_ns < 0)
        start_ns = 0;
    time_t secs = (time_t)(start_ns / 1000000000);
    int ms = (int)((start_ns % 1000000000) / 1000000);
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

size_t cl_fmt_asc_frame(char *buf, size_t size, int64_t start_ns, const cl_frame *f)
{
    unsigned long long sec;
    unsigned usec;
    int64_t rel;
    if (__builtin_sub_overflow(f->t_ns, start_ns, &rel))
        rel = 0;
    split_us(rel, &sec, &usec);
    unsigned chan = (unsigned)f->chan + 1;
    if (f->flags & CL_ERR)
        return done(snprintf(buf, size, "%4llu.%06u %u  ErrorFrame\n", sec, usec, chan), size);
    char id[16];
    snprintf(id, sizeof id, (f->flags & CL_EXT) ? "%Xx" : "%X", (unsigned)frame_id(f));
    const char *dir = (f->flags & CL_TX) ? "Tx" : "Rx";
    if (is_fd(f)) {
        char data[3 * 64 + 1];
        uint8_t len = frame_len(f);
        size_t k = 0;
        for (uint8_t i = 0; i < len; i++) {
            if (i)
                data[k++] = ' ';
            data[k++] = HEX[f->data[i] >> 4];
            data[k++] = HEX[f->data[i] & 15];
        }
        data[k] = '\0';
        unsigned brs = (f->flags & CL_BRS) ? 1 : 0, esi = (f->flags & CL_ESI) ? 1 : 0;
        unsigned flags = 0x1000u | (brs ? 0x2000u : 0) | (esi ? 0x4000u : 0);
        int n = snprintf(buf, size,
                         "%4llu.%06u CANFD %3u %-4s %8s  %32s %u %u %x %2u %s %8u %4u %8X %8u "
                         "%8u %8u %8u %8u\n",
                         sec, usec, chan, dir, id, "", brs, esi, (unsigned)zk_fd_dlc(len),
                         (unsigned)len, data, 0u, 0u, flags, 0u, 0u, 0u, 0u, 0u);
        return done(n, size);
    }
    char body[40];
    size_t k = 0;
    uint8_t len = frame_len(f);
    body[k++] = (f->flags & CL_RTR) ? 'r' : 'd';
    body[k++] = ' ';
    body[k++] = HEX[len];
    if (!(f->flags & CL_RTR)) {
        for (uint8_t i = 0; i < len; i++) {
            body[k++] = ' ';
            body[k++] = HEX[f->data[i] >> 4];
            body[k++] = HEX[f->data[i] & 15];
        }
    }
    body[k] = '\0';
    int n = snprintf(buf, size, "%4llu.%06u %u  %-15s %-4s %s\n", sec, usec, chan, id, dir, body);
    return done(n, size);
}

size_t cl_fmt_asc_footer(char *buf, size_t size)
{
    return done(snprintf(buf, size, "End TriggerBlock\n"), size);
}
