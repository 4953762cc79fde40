/*
 * format.cpp - the text of trace and per-identifier columns.
 */
#include "busview.h"

#include <string.h>
#include <time.h>

void bv_fmt_time(char *buf, size_t size, int64_t t_us, int64_t t0_us, int absolute)
{
    if (absolute) {
        time_t sec = (time_t)(t_us / 1000000);
        int64_t us = t_us % 1000000;
        if (us < 0) {
            us += 1000000;
            sec--;
        }
        struct tm tm;
        if (!localtime_r(&sec, &tm)) {
            g_snprintf(buf, size, "?");
            return;
        }
        g_snprintf(buf, size, "%02d:%02d:%02d.%06d", tm.tm_hour, tm.tm_min, tm.tm_sec, (int)us);
        return;
    }
    int64_t d = t_us - t0_us;
    const char *sign = "";
    if (d < 0) {
        sign = "-";
        d = -d;
    }
    g_snprintf(buf, size, "%s%lld.%06d", sign, (long long)(d / 1000000), (int)(d % 1000000));
}

void bv_fmt_id(char *buf, size_t size, uint32_t id, uint8_t flags)
{
    if (flags & ZK_FRAME_EFF)
        g_snprintf(buf, size, "%08X", (unsigned)(id & 0x1FFFFFFFu));
    else
        g_snprintf(buf, size, "%03X", (unsigned)(id & 0x7FFu));
}

/* "EXT RTR", "FD BRS ESI": the marks the frame has, in that order. */
void bv_fmt_marks(char *buf, size_t size, uint8_t flags)
{
    static const struct {
        uint8_t flag;
        const char *word;
    } marks[] = {{ZK_FRAME_EFF, "EXT"}, {ZK_FRAME_RTR, "RTR"}, {ZK_FRAME_FDF, "FD"},
                 {ZK_FRAME_BRS, "BRS"}, {ZK_FRAME_ESI, "ESI"}};
    if (size == 0)
        return;
    buf[0] = '\0';
    size_t o = 0;
    for (const auto &m : marks) {
        if (!(flags & m.flag))
            continue;
        int n = g_snprintf(buf + o, size - o, "%s%s", o ? " " : "", m.word);
        if (n < 0 || (size_t)n >= size - o)
            return;
        o += (size_t)n;
    }
}

void bv_fmt_data(char *buf, size_t size, const uint8_t *data, uint8_t len, uint8_t flags)
{
    const char *gap = BV_GROUP_GAP;
    static const char hex[] = "0123456789ABCDEF";
    if (size == 0)
        return;
    buf[0] = '\0';
    if (flags & ZK_FRAME_RTR)
        return;
    if (len > 64)
        len = 64;
    size_t gap_len = strlen(gap);
    size_t o = 0;
    for (uint8_t i = 0; i < len; i++) {
        const char *sep = i == 0 ? "" : i % 8 == 0 ? gap : " ";
        size_t sep_len = i == 0 ? 0 : i % 8 == 0 ? gap_len : 1;
        if (o + sep_len + 2 >= size)
            break;
        memcpy(buf + o, sep, sep_len);
        o += sep_len;
        buf[o++] = hex[data[i] >> 4];
        buf[o++] = hex[data[i] & 15];
    }
    buf[o] = '\0';
}

void bv_fmt_ms(char *buf, size_t size, int64_t us)
{
    if (us < 0) {
        if (size)
            buf[0] = '\0';
        return;
    }
    g_snprintf(buf, size, "%lld.%03d", (long long)(us / 1000), (int)(us % 1000));
}

void bv_fmt_rec_data(char *buf, size_t size, const bv_rec *r)
{
    switch (r->kind) {
    case BV_RX:
    case BV_TX:
    case BV_TX_LOST:
        bv_fmt_data(buf, size, r->u.data, r->len, r->flags);
        break;
    case BV_ERR:
        /* The counter names are the adapter library's; they stay as they are. */
        g_snprintf(buf, size, "EWL %u  BOFF %u  HOVR %u  SOVR %u  WTOUT %u", r->u.errs[0],
                   r->u.errs[1], r->u.errs[2], r->u.errs[3], r->u.errs[4]);
        break;
    case BV_STATUS: {
        uint32_t bps = bv_baud_bps(r->u.st.baud_index);
        char rate[96];
        if (bps)
            g_snprintf(rate, sizeof rate, _("%u kbit/s"), bps / 1000);
        else
            g_snprintf(rate, sizeof rate, "%s", _("manual bit rate"));
        if (r->u.st.fd) {
            size_t n = strlen(rate);
            if (r->u.st.data_kbit)
                g_snprintf(rate + n, sizeof rate - n, _(", CAN FD, data %u kbit/s"),
                           (unsigned)r->u.st.data_kbit);
            else
                g_snprintf(rate + n, sizeof rate - n, "%s", _(", CAN FD"));
        }
        g_snprintf(buf, size, _("controller %s, %s%s, acceptance %08X/%08X"),
                   r->u.st.running ? _("running") : _("stopped"), rate,
                   r->u.st.lom ? _(", listen only") : "", (unsigned)r->u.st.acc_code,
                   (unsigned)r->u.st.acc_mask);
        break;
    }
    default:
        if (size)
            buf[0] = '\0';
    }
}

const char *bv_kind_text(uint8_t kind)
{
    switch (kind) {
    case BV_RX: return _("Rx");
    case BV_TX: return _("Tx");
    /* A frame written that never went out on the bus. */
    case BV_TX_LOST: return _("Tx lost");
    case BV_ERR: return _("Errors");
    case BV_STATUS: return _("Status");
    default: return "";
    }
}

const char *bv_kind_background(uint8_t kind)
{
    switch (kind) {
    case BV_TX: return "#dce6ff";
    case BV_TX_LOST:
    case BV_ERR: return "#ffd6d6";
    case BV_STATUS: return "#fff0b8";
    default: return nullptr;
    }
}

const char *bv_chan_background(unsigned chan)
{
    /* Pale, told apart from each other and from the sent, error and
     * status lines' backgrounds. */
    static const char *const MARKS[8] = {"#e2f0d9", "#fde2c8", "#e6dcf5", "#cdeef0",
                                         "#f7d7e6", "#eeeec0", "#d9e4d0", "#f0dcc8"};
    return MARKS[chan % 8];
}

/* Read at every parse, so that they follow the language in force. */
const idf_texts *bv_filter_texts(void)
{
    static idf_texts t;
    t.not_id = _("Filter not applied: \"%s\" is not a hexadecimal identifier or range. "
                 "Example: 100-1FF, 7E8, 18DAF110");
    t.above_max = _("Filter not applied: \"%s\" is above 1FFFFFFF, the largest identifier.");
    t.reversed = _("Filter not applied: the range \"%s\" ends below its start.");
    t.too_many = _("Filter not applied: more than %d identifiers and ranges.");
    return &t;
}
