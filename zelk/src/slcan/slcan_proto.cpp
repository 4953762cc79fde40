/*
 * slcan_proto.cpp - encoding and decoding of the serial-line CAN protocol.
 */
#include "slcan_proto.h"

#include <stdio.h>
#include <string.h>

namespace zk_slcan {

namespace {

const char kHex[] = "0123456789ABCDEF";

inline int hexval(char c)
{
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    return -1;
}

/* Reads n hex digits; false when any is not one. */
inline bool hexn(const char *s, size_t n, uint32_t *out)
{
    uint32_t v = 0;
    for (size_t i = 0; i < n; ++i) {
        const int d = hexval(s[i]);
        if (d < 0) return false;
        v = (v << 4) | static_cast<uint32_t>(d);
    }
    *out = v;
    return true;
}

inline bool decn(const char *s, size_t n, uint16_t *out)
{
    uint16_t v = 0;
    for (size_t i = 0; i < n; ++i) {
        if (s[i] < '0' || s[i] > '9') return false;
        v = static_cast<uint16_t>(v * 10 + (s[i] - '0'));
    }
    *out = v;
    return true;
}

size_t finish(char *buf, size_t size, int n)
{
    if (n <= 0 || static_cast<size_t>(n) >= size) {
        if (size) buf[0] = '\0';
        return 0;
    }
    return static_cast<size_t>(n);
}

void parse_frame(const char *s, size_t n, Line *out)
{
    const bool ext = s[0] == 'T' || s[0] == 'R';
    const bool rtr = s[0] == 'r' || s[0] == 'R';
    const size_t idlen = ext ? 8 : 3;
    if (n < idlen + 2) return; /* Invalid */
    uint32_t id = 0;
    if (!hexn(s + 1, idlen, &id)) return;
    if (id > (ext ? 0x1FFFFFFFu : 0x7FFu)) return;
    const char lc = s[1 + idlen];
    if (lc < '0' || lc > '8') return;
    const size_t len = static_cast<size_t>(lc - '0');
    const size_t rest = n - (idlen + 2);
    const char *p = s + idlen + 2;

    zk_frame &f = out->frame;
    memset(&f, 0, sizeof f);
    f.id = id;
    f.flags = static_cast<uint8_t>((ext ? ZK_FRAME_EFF : 0u) | (rtr ? ZK_FRAME_RTR : 0u));
    f.len = static_cast<uint8_t>(len);

    uint32_t ts = 0;
    if (!rtr) {
        if (rest != 2 * len && rest != 2 * len + 4) return;
        for (size_t i = 0; i < len; ++i) {
            uint32_t b = 0;
            if (!hexn(p + 2 * i, 2, &b)) return;
            f.data[i] = static_cast<uint8_t>(b);
        }
        if (rest == 2 * len + 4) {
            if (!hexn(p + 2 * len, 4, &ts)) return;
            out->has_ts = true;
        }
    } else {
        /* Some firmware sends data digits after a remote frame's length:
         * they mean nothing. A stamp is whatever four digits remain. */
        if (rest != 0 && rest != 4 && rest != 2 * len && rest != 2 * len + 4) return;
        for (size_t i = 0; i < rest; ++i)
            if (hexval(p[i]) < 0) return;
        if (rest == 4 || rest == 2 * len + 4) {
            if (!hexn(p + rest - 4, 4, &ts)) return;
            out->has_ts = true;
        }
    }
    out->ts_ms = static_cast<uint16_t>(ts);
    out->kind = LineKind::Frame;
}

/* d/D/b/B: identifier, DLC code 0..F, data, optional stamp. */
void parse_fd_frame(const char *s, size_t n, Line *out)
{
    const bool ext = s[0] == 'D' || s[0] == 'B';
    const bool brs = s[0] == 'b' || s[0] == 'B';
    const size_t idlen = ext ? 8 : 3;
    if (n < idlen + 2) return; /* Invalid */
    uint32_t id = 0, dlc = 0;
    if (!hexn(s + 1, idlen, &id) || !hexn(s + 1 + idlen, 1, &dlc)) return;
    if (id > (ext ? 0x1FFFFFFFu : 0x7FFu)) return;
    const size_t len = zk_fd_len(dlc);
    const size_t rest = n - (idlen + 2);
    if (rest != 2 * len && rest != 2 * len + 4) return;
    zk_fdframe &f = out->fdframe;
    memset(&f, 0, sizeof f);
    f.id = id;
    f.flags = static_cast<uint8_t>(ZK_FRAME_FDF | (ext ? ZK_FRAME_EFF : 0u) | (brs ? ZK_FRAME_BRS : 0u));
    f.len = static_cast<uint8_t>(len);
    const char *p = s + idlen + 2;
    for (size_t i = 0; i < len; ++i) {
        uint32_t b = 0;
        if (!hexn(p + 2 * i, 2, &b)) return;
        f.data[i] = static_cast<uint8_t>(b);
    }
    uint32_t ts = 0;
    if (rest == 2 * len + 4) {
        if (!hexn(p + 2 * len, 4, &ts)) return;
        out->has_ts = true;
    }
    out->ts_ms = static_cast<uint16_t>(ts);
    out->kind = LineKind::FdFrame;
}

} // namespace

int data_rate_digit(uint32_t bps)
{
    for (int d : kDataRates)
        if (uint32_t(d) * 1000000u == bps) return d;
    return -1;
}

uint32_t predefined_bitrate(int index)
{
    const zk_cia_rate *r = index < kRateCount ? zk_cia_rate_at(index) : nullptr;
    return r ? r->kbit * 1000u : 0u;
}

int index_for_bitrate(uint32_t bps)
{
    return bps % 1000 ? -1 : zk_cia_index(bps / 1000);
}

size_t fmt_simple(char *buf, size_t size, const char *cmd)
{
    return finish(buf, size, snprintf(buf, size, "%s\r", cmd));
}

size_t fmt_rate(char *buf, size_t size, int index)
{
    if (index < 0 || index >= kRateCount) return finish(buf, size, -1);
    return finish(buf, size, snprintf(buf, size, "S%d\r", index));
}

size_t fmt_btr(char *buf, size_t size, uint8_t bt0, uint8_t bt1)
{
    return finish(buf, size, snprintf(buf, size, "s%02X%02X\r", bt0, bt1));
}

size_t fmt_reg(char *buf, size_t size, char letter, uint32_t value)
{
    return finish(buf, size, snprintf(buf, size, "%c%08X\r", letter, static_cast<unsigned>(value)));
}

size_t encode_frame(char *buf, size_t size, const zk_frame &f)
{
    const bool ext = (f.flags & ZK_FRAME_EFF) != 0;
    const bool rtr = (f.flags & ZK_FRAME_RTR) != 0;
    if (f.len > 8 || f.id > (ext ? 0x1FFFFFFFu : 0x7FFu)) return finish(buf, size, -1);
    const size_t idlen = ext ? 8 : 3;
    const size_t need = 1 + idlen + 1 + (rtr ? 0 : 2u * f.len) + 1;
    if (need + 1 > size) return finish(buf, size, -1);
    char *p = buf;
    *p++ = ext ? (rtr ? 'R' : 'T') : (rtr ? 'r' : 't');
    for (size_t i = 0; i < idlen; ++i)
        *p++ = kHex[(f.id >> (4 * (idlen - 1 - i))) & 0xF];
    *p++ = static_cast<char>('0' + f.len);
    if (!rtr) {
        for (size_t i = 0; i < f.len; ++i) {
            *p++ = kHex[f.data[i] >> 4];
            *p++ = kHex[f.data[i] & 0xF];
        }
    }
    *p++ = '\r';
    *p = '\0';
    return need;
}

size_t encode_fd_frame(char *buf, size_t size, const zk_fdframe &f)
{
    const bool ext = (f.flags & ZK_FRAME_EFF) != 0;
    const bool brs = (f.flags & ZK_FRAME_BRS) != 0;
    const int dlc = zk_fd_len(zk_fd_dlc(f.len)) == f.len ? zk_fd_dlc(f.len) : -1;
    if (dlc < 0 || f.id > (ext ? 0x1FFFFFFFu : 0x7FFu)) return finish(buf, size, -1);
    const size_t idlen = ext ? 8 : 3;
    const size_t need = 1 + idlen + 1 + 2u * f.len + 1;
    if (need + 1 > size) return finish(buf, size, -1);
    char *p = buf;
    *p++ = ext ? (brs ? 'B' : 'D') : (brs ? 'b' : 'd');
    for (size_t i = 0; i < idlen; ++i)
        *p++ = kHex[(f.id >> (4 * (idlen - 1 - i))) & 0xF];
    *p++ = kHex[dlc];
    for (size_t i = 0; i < f.len; ++i) {
        *p++ = kHex[f.data[i] >> 4];
        *p++ = kHex[f.data[i] & 0xF];
    }
    *p++ = '\r';
    *p = '\0';
    return need;
}

Registers filter_registers(uint32_t code, uint32_t mask, bool std_frames, bool ext_frames)
{
    /* Standard frames: ID10..ID0 in register bits 31..21, RTR in bit 20,
     * the first two data bytes below: only the identifier is compared.
     * Extended frames: ID28..ID0 in bits 31..3, RTR in bit 2. */
    const uint32_t care_s = (mask & 0x7FFu) << 21;
    const uint32_t acr_s = (code & mask & 0x7FFu) << 21;
    const uint32_t care_e = (mask & 0x1FFFFFFFu) << 3;
    const uint32_t acr_e = (code & mask & 0x1FFFFFFFu) << 3;
    uint32_t care = 0, acr = 0;
    if (std_frames && ext_frames) {
        care = care_s & care_e & ~(acr_s ^ acr_e);
        acr = acr_s & care;
    } else if (std_frames) {
        care = care_s;
        acr = acr_s;
    } else if (ext_frames) {
        care = care_e;
        acr = acr_e;
    }
    return Registers{acr, ~care};
}

void parse_line(const char *s, size_t n, Line *out)
{
    memset(out, 0, sizeof *out);
    out->kind = LineKind::Invalid;
    if (n == 0) {
        out->kind = LineKind::Empty;
        return;
    }
    switch (s[0]) {
    case '\a':
        if (n == 1) out->kind = LineKind::Bell;
        return;
    case 't': case 'T': case 'r': case 'R':
        parse_frame(s, n, out);
        return;
    case 'd': case 'D': case 'b': case 'B':
        parse_fd_frame(s, n, out);
        return;
    case 'z':
        if (n == 1) out->kind = LineKind::AckStd;
        return;
    case 'Z':
        if (n == 1) out->kind = LineKind::AckExt;
        return;
    case 'V': case 'v':
        out->kind = LineKind::Version;
        out->text = s + 1;
        out->text_len = n - 1;
        return;
    case 'N':
        out->kind = LineKind::Serial;
        out->text = s + 1;
        out->text_len = n - 1;
        return;
    case 'F': {
        uint32_t v = 0;
        if (n == 3 && hexn(s + 1, 2, &v)) {
            out->kind = LineKind::Status;
            out->status = static_cast<uint8_t>(v);
        }
        return;
    }
    case 's':
        /* "sb256256": state letter, rx and tx error counters. */
        if (n == 8 && (s[1] == 'a' || s[1] == 'w' || s[1] == 'p' || s[1] == 'b') &&
            decn(s + 2, 3, &out->rec) && decn(s + 5, 3, &out->tec)) {
            out->kind = LineKind::State;
            out->state = s[1];
        }
        return;
    case 'e':
        out->kind = LineKind::BusError;
        out->text = s + 1;
        out->text_len = n - 1;
        return;
    default:
        return;
    }
}

} // namespace zk_slcan
