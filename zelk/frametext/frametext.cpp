/*
 * frametext.cpp - the "ID#DATA" frame syntax, parsed strictly and written
 * back. See frametext.h for the rules.
 */
#include "frametext.h"
#include "hexdigit.h"

#include <stdarg.h>
#include <stdio.h>
#include <string.h>

namespace {

/* A character as a reason shows it: quoted when printable, else as \xNN. */
void show_char(char c, char *buf, size_t size)
{
    unsigned char u = static_cast<unsigned char>(c);
    if (u >= 0x20 && u < 0x7F)
        snprintf(buf, size, "'%c'", c);
    else
        snprintf(buf, size, "\\x%02X", u);
}

int refuse(char *why, size_t size, const char *fmt, ...) __attribute__((format(printf, 3, 4)));
int refuse(char *why, size_t size, const char *fmt, ...)
{
    if (why && size > 0) {
        va_list ap;
        va_start(ap, fmt);
        vsnprintf(why, size, fmt, ap);
        va_end(ap);
    }
    return -1;
}

int parse_id(const char *s, size_t n, zk_frame *f, char *why, size_t size)
{
    for (size_t i = 0; i < n; i++) {
        if (ft_hexval(s[i]) < 0) {
            char c[8];
            show_char(s[i], c, sizeof c);
            return refuse(why, size, "the identifier holds %s, not a hex digit", c);
        }
    }
    if (n != 3 && n != 8)
        return refuse(why, size,
                      "the identifier has %zu hex digits: give 3 (11-bit) or 8 (29-bit)", n);
    uint32_t v = 0;
    for (size_t i = 0; i < n; i++)
        v = v * 16u + static_cast<uint32_t>(ft_hexval(s[i]));
    if (n == 3 && v > 0x7FFu)
        return refuse(why, size, "11-bit identifier %03X is above 7FF", v);
    if (n == 8 && v > 0x1FFFFFFFu)
        return refuse(why, size, "29-bit identifier %08X is above 1FFFFFFF", v);
    f->id = v;
    f->flags = n == 8 ? ZK_FRAME_EFF : 0;
    return 0;
}

int parse_remote(const char *d, zk_frame *f, char *why, size_t size)
{
    f->flags |= ZK_FRAME_RTR;
    if (!d[1]) return 0;
    if (d[1] >= '0' && d[1] <= '8' && !d[2]) {
        f->len = static_cast<uint8_t>(d[1] - '0');
        return 0;
    }
    return refuse(why, size, "after R for a remote frame only its length 0 to 8 may follow");
}

/* Data bytes into data[0..max), their count into *len. */
int parse_bytes(const char *d, uint8_t *data, int max, int *count, char *why, size_t size)
{
    int len = 0;
    for (const char *p = d; *p;) {
        if (*p == '.') {
            /* A separator stands between two bytes, nowhere else. */
            if (p == d || !p[1] || p[1] == '.')
                return refuse(why, size, "a '.' may only stand between two data bytes");
            p++;
            continue;
        }
        if (ft_hexval(p[0]) < 0 || (p[1] && p[1] != '.' && ft_hexval(p[1]) < 0)) {
            char c[8];
            show_char(ft_hexval(p[0]) < 0 ? p[0] : p[1], c, sizeof c);
            return refuse(why, size, "the data holds %s, not a hex digit", c);
        }
        if (!p[1] || p[1] == '.')
            return refuse(why, size, "data byte %d has one hex digit: give two per byte",
                          len + 1);
        if (len == max)
            return refuse(why, size, "more than %d data bytes", max);
        data[len++] = static_cast<uint8_t>(ft_hexval(p[0]) * 16 + ft_hexval(p[1]));
        p += 2;
    }
    *count = len;
    return 0;
}

/* "F" flags digit and data of an FD frame, after the "##". */
int parse_fd(const char *d, zk_fdframe *f, char *why, size_t size)
{
    const int flags = ft_hexval(d[0]);
    if (flags < 0) {
        if (!d[0]) return refuse(why, size, "after ## the flags digit is missing (1 for BRS)");
        char c[8];
        show_char(d[0], c, sizeof c);
        return refuse(why, size, "after ## comes a flags digit, not %s", c);
    }
    if (flags & 8)
        return refuse(why, size, "flags digit %X: only 1 (BRS), 2 (ESI) and 4 (FD) exist", flags);
    if (d[1] == 'R') return refuse(why, size, "CAN FD has no remote frames");
    int n = 0;
    if (parse_bytes(d + 1, f->data, 64, &n, why, size) != 0) return -1;
    f->flags |= static_cast<uint8_t>(ZK_FRAME_FDF | ((flags & 1) ? ZK_FRAME_BRS : 0) |
                                     ((flags & 2) ? ZK_FRAME_ESI : 0));
    f->len = zk_fd_round_len(unsigned(n));
    return f->len - n;
}

}  // namespace

int ft_parse(const char *text, zk_frame *out, char *why, size_t why_size)
{
    if (why && why_size > 0) why[0] = '\0';
    if (!text || !*text) return refuse(why, why_size, "no frame given: expected ID#DATA");
    const char *hash = strchr(text, '#');
    if (!hash) return refuse(why, why_size, "no '#' between the identifier and the data");
    zk_frame f;
    memset(&f, 0, sizeof f);
    if (parse_id(text, static_cast<size_t>(hash - text), &f, why, why_size) != 0) return -1;
    const char *d = hash + 1;
    if (*d == '#') return refuse(why, why_size, "a CAN FD frame (##) where only classic frames are taken");
    int rc = 0;
    if (*d == 'R') {
        rc = parse_remote(d, &f, why, why_size);
    } else {
        int n = 0;
        rc = parse_bytes(d, f.data, 8, &n, why, why_size);
        f.len = static_cast<uint8_t>(n);
    }
    if (rc != 0) return -1;
    *out = f;
    return 0;
}

int ft_parse_fd(const char *text, zk_fdframe *out, char *why, size_t why_size)
{
    if (why && why_size > 0) why[0] = '\0';
    if (!text || !*text) return refuse(why, why_size, "no frame given: expected ID#DATA or ID##FDATA");
    const char *hash = strchr(text, '#');
    if (!hash) return refuse(why, why_size, "no '#' between the identifier and the data");
    zk_fdframe f;
    memset(&f, 0, sizeof f);
    if (hash[1] != '#') {
        zk_frame c;
        if (ft_parse(text, &c, why, why_size) != 0) return -1;
        f.id = c.id;
        f.flags = c.flags;
        f.len = c.len;
        memcpy(f.data, c.data, sizeof c.data);
        *out = f;
        return 0;
    }
    zk_frame id;
    memset(&id, 0, sizeof id);
    if (parse_id(text, static_cast<size_t>(hash - text), &id, why, why_size) != 0) return -1;
    f.id = id.id;
    f.flags = id.flags;
    const int pad = parse_fd(hash + 2, &f, why, why_size);
    if (pad < 0) return -1;
    *out = f;
    return pad;
}

namespace {

/* Appends hex digits without printf: a dump writes every frame it
 * receives, up to 64 bytes each, and this is most of its work. */
char *put_hex(char *p, uint32_t v, int digits)
{
    static const char hex[] = "0123456789ABCDEF";
    for (int i = digits - 1; i >= 0; i--) *p++ = hex[(v >> (4 * i)) & 0xFu];
    return p;
}

/* Writes text[0..n) and a NUL into buf when it fits; the length or 0. */
size_t deliver(const char *text, size_t n, char *buf, size_t size)
{
    if (n >= size) return 0;
    memcpy(buf, text, n);
    buf[n] = '\0';
    return n;
}

/* "ID#" or "ID##F", then the data or the remote mark: the one writer of
 * both forms. */
size_t format_frame(uint32_t id, uint8_t flags, uint8_t len, const uint8_t *data, char *buf,
                    size_t size)
{
    char text[FT_FD_TEXT_MAX];
    char *p = put_hex(text, id & 0x1FFFFFFFu, (flags & ZK_FRAME_EFF) ? 8 : 3);
    *p++ = '#';
    if (flags & ZK_FRAME_FDF) {
        *p++ = '#';
        p = put_hex(p, 4u | ((flags & ZK_FRAME_BRS) ? 1u : 0u) | ((flags & ZK_FRAME_ESI) ? 2u : 0u), 1);
        if (len > 64) len = 64;
    } else if (len > 8) {
        len = 8;
    }
    if (flags & ZK_FRAME_RTR) {
        *p++ = 'R';
        if (len) *p++ = char('0' + len);
    } else {
        for (int i = 0; i < len; i++) p = put_hex(p, data[i], 2);
    }
    return deliver(text, size_t(p - text), buf, size);
}

}  // namespace

size_t ft_format(const zk_frame *f, char *buf, size_t size)
{
    if (!buf || size == 0) return 0;
    buf[0] = '\0';
    if (!f) return 0;
    return format_frame(f->id, f->flags & (ZK_FRAME_EFF | ZK_FRAME_RTR), f->len, f->data, buf, size);
}

size_t ft_format_fd(const zk_fdframe *f, char *buf, size_t size)
{
    if (!buf || size == 0) return 0;
    buf[0] = '\0';
    if (!f) return 0;
    const uint8_t flags = (f->flags & ZK_FRAME_FDF)
                              ? f->flags & (ZK_FRAME_EFF | ZK_FRAME_FDF | ZK_FRAME_BRS | ZK_FRAME_ESI)
                              : f->flags & (ZK_FRAME_EFF | ZK_FRAME_RTR);
    return format_frame(f->id, flags, f->len, f->data, buf, size);
}
