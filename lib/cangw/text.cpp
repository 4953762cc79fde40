/*
 * text.cpp - rules as text, in cangw's option syntax: what the session
 * keeps and what the kernel's tool is given in the tests.
 */
#include "cangw.h"
#include "hexdigit.h"

#include <stdarg.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

namespace {

/* Exactly n bytes as 2n hex digits, up to end. */
bool hexbytes(const char *s, const char *end, uint8_t *out, unsigned n)
{
    if (end - s != (long)(2 * n))
        return false;
    for (unsigned i = 0; i < n; i++) {
        const int h = ft_hexval(s[2 * i]), l = ft_hexval(s[2 * i + 1]);
        if (h < 0 || l < 0)
            return false;
        out[i] = (uint8_t)(h << 4 | l);
    }
    return true;
}

bool hexnum(const char *s, const char *end, uint32_t *v)
{
    if (s == end || end - s > 8)
        return false;
    uint32_t x = 0;
    for (; s < end; s++) {
        const int h = ft_hexval(*s);
        if (h < 0)
            return false;
        x = x << 4 | (uint32_t)h;
    }
    *v = x;
    return true;
}

bool decnum(const char *s, long lo, long hi, long *v)
{
    char *e;
    const long x = strtol(s, &e, 10);
    if (e == s || *e || x < lo || x > hi)
        return false;
    *v = x;
    return true;
}

/* INSTR:ELEMENTS:id.[flags.]len.data, data 8 (classic) or 64 (FD) bytes. */
bool parse_mod(const char *s, bool fd, cangw_rule *r)
{
    static const char *const ops[] = {"AND", "OR", "XOR", "SET"};
    const char *c1 = strchr(s, ':');
    if (!c1)
        return false;
    int op = -1;
    for (int i = 0; i < 4; i++)
        if ((size_t)(c1 - s) == strlen(ops[i]) && strncmp(s, ops[i], strlen(ops[i])) == 0)
            op = i;
    const char *c2 = op >= 0 ? strchr(c1 + 1, ':') : nullptr;
    if (!c2 || c2 == c1 + 1)
        return false;
    cangw_mod m;
    memset(&m, 0, sizeof m);
    for (const char *p = c1 + 1; p < c2; p++) {
        const uint8_t bit = *p == 'I' ? CANGW_MOD_ID : *p == 'L' ? CANGW_MOD_LEN
                          : *p == 'D' ? CANGW_MOD_DATA : *p == 'F' && fd ? CANGW_MOD_FLAGS : 0;
        if (!bit || (m.what & bit))
            return false;
        m.what |= bit;
    }
    const char *p = c2 + 1, *dot = strchr(p, '.');
    uint32_t v;
    if (!dot || !hexnum(p, dot, &m.id))
        return false;
    if (fd) {
        p = dot + 1;
        dot = strchr(p, '.');
        if (!dot || !hexnum(p, dot, &v) || v > 0xFF)
            return false;
        m.flags = (uint8_t)v;
    }
    p = dot + 1;
    dot = strchr(p, '.');
    if (!dot || !hexnum(p, dot, &v) || v > 0xFF)
        return false;
    m.len = (uint8_t)v;
    p = dot + 1;
    if (!hexbytes(p, p + strlen(p), m.data, fd ? 64 : 8))
        return false;
    r->mod[op] = m;
    return true;
}

bool parse_indexes(const char *s, int8_t *from, int8_t *to, int8_t *res, const char **rest)
{
    int a, b, c, n = 0;
    if (sscanf(s, "%d:%d:%d:%n", &a, &b, &c, &n) != 3 || !n)
        return false;
    if (a < -128 || a > 127 || b < -128 || b > 127 || c < -128 || c > 127)
        return false;
    *from = (int8_t)a;
    *to = (int8_t)b;
    *res = (int8_t)c;
    *rest = s + n;
    return true;
}

/* P1:dataid:mode or P2:idlist (16 bytes), then :crcbyte:counterbit. */
bool parse_e2e(const char *s, cangw_rule *r)
{
    e2e_config c;
    memset(&c, 0, sizeof c);
    const char *p = strchr(s, ':');
    if (!p)
        return false;
    uint32_t v;
    const char *q = strchr(p + 1, ':');
    const char *end = q ? q : p + strlen(p);
    if (strncmp(s, "P1:", 3) == 0) {
        e2e_defaults(&c, E2E_P1);
        if (!hexnum(p + 1, end, &v) || v > 0xFFFF || !q)
            return false;
        c.data_id = (uint16_t)v;
        const char *m = q + 1;
        if (m[0] < '0' || m[0] > '3' || (m[1] && m[1] != ':'))
            return false;
        c.p1_mode = (uint8_t)(m[0] - '0');
        q = m[1] ? m + 1 : nullptr;
    } else if (strncmp(s, "P2:", 3) == 0) {
        e2e_defaults(&c, E2E_P2);
        if (!hexbytes(p + 1, end, c.id_list, 16))
            return false;
    } else {
        return false;
    }
    if (q) {
        int crc_byte, counter_bit, n = 0;
        if (sscanf(q, ":%d:%d%n", &crc_byte, &counter_bit, &n) != 2 || q[n] || crc_byte < 0 ||
            crc_byte > 63 || counter_bit < 0 || counter_bit > 508)
            return false;
        c.check.start = (uint16_t)(crc_byte * 8);
        c.counter.start = (uint16_t)counter_bit;
    }
    r->e2e = c;
    return true;
}

struct out {
    char *buf;
    size_t size, n;
    bool ok;
    void add(const char *fmt, ...) __attribute__((format(printf, 2, 3)));
    void bytes(const uint8_t *b, unsigned k)
    {
        for (unsigned i = 0; i < k; i++)
            add("%02X", b[i]);
    }
};

void out::add(const char *fmt, ...)
{
    va_list ap;
    va_start(ap, fmt);
    const int k = vsnprintf(n < size ? buf + n : nullptr, n < size ? size - n : 0, fmt, ap);
    va_end(ap);
    if (k < 0 || n + (size_t)k >= size)
        ok = false;
    n += k > 0 ? (size_t)k : 0;
}

}  // namespace

int cangw_rule_parse(const char *text, cangw_rule *r, const char **why)
{
    cangw_rule_init(r);
    const char *w = nullptr;
    char tok[CANGW_TEXT_MAX];
    const char *p = text ? text : "";
    const char *opt = nullptr;
    bool have_src = false, have_dst = false;
    size_t total = strlen(p);
    if (total >= CANGW_TEXT_MAX)
        w = "the rule is too long";
    while (!w) {
        while (*p == ' ' || *p == '\t')
            p++;
        if (!*p)
            break;
        size_t n = strcspn(p, " \t");
        memcpy(tok, p, n);
        tok[n] = '\0';
        p += n;
        if (!opt) {
            if (tok[0] != '-' || !tok[1] || tok[2]) {
                w = "an option is expected";
                break;
            }
            switch (tok[1]) {
            case 'X': r->fd = 1; continue;
            case 'y': r->fd_to_classic = 1; continue;
            case 'i': r->to_source = 1; continue;
            case 'e': case 't': continue;  /* echo, time stamps: what the host always does */
            case 's': case 'd': case 'l': case 'f': case 'm': case 'M': case 'x': case 'c':
            case 'p': case 'E':
                opt = tok[1] == 's' ? "s" : tok[1] == 'd' ? "d" : tok[1] == 'l' ? "l"
                    : tok[1] == 'f' ? "f" : tok[1] == 'm' ? "m" : tok[1] == 'M' ? "M"
                    : tok[1] == 'x' ? "x" : tok[1] == 'c' ? "c" : tok[1] == 'p' ? "p" : "E";
                continue;
            default:
                w = "unknown option";
                continue;
            }
        }
        long v;
        const char *rest;
        switch (*opt) {
        case 's':
        case 'd':
            if (!decnum(tok, 0, CANGW_MAX_CHANNELS - 1, &v))
                w = "a channel index is expected";
            else if (*opt == 's')
                r->src = (uint16_t)v, have_src = true;
            else
                r->dst = (uint16_t)v, have_dst = true;
            break;
        case 'l':
            if (!decnum(tok, 1, CANGW_MAX_HOPS, &v))
                w = "the hop limit is 1 to 6";
            else
                r->limit_hops = (uint8_t)v;
            break;
        case 'f': {
            char *sep = strpbrk(tok, ":~");
            if (!sep || !hexnum(tok, sep, &r->filter_id) ||
                !hexnum(sep + 1, sep + strlen(sep), &r->filter_mask))
                w = "the filter is id:mask or id~mask";
            else {
                if (*sep == '~')
                    r->filter_id |= CANGW_FILTER_INV;
                r->has_filter = 1;
            }
            break;
        }
        case 'm':
        case 'M':
            if (!parse_mod(tok, *opt == 'M', r))
                w = "a modification is INSTR:ELEMENTS:id.len.data";
            break;
        case 'x': {
            int init, n = 0;
            if (!parse_indexes(tok, &r->xor_cs.from, &r->xor_cs.to, &r->xor_cs.result, &rest) ||
                sscanf(rest, "%x%n", (unsigned *)&init, &n) != 1 || rest[n] || init > 0xFF ||
                init < 0)
                w = "the XOR checksum is from:to:result:init";
            else
                r->xor_cs.on = 1, r->xor_cs.init = (uint8_t)init;
            break;
        }
        case 'c': {
            unsigned init = 0, fx = 0;
            int n = 0;
            cangw_crc8 &c = r->crc8;
            if (!parse_indexes(tok, &c.from, &c.to, &c.result, &rest) ||
                sscanf(rest, "%x:%x:%n", &init, &fx, &n) != 2 || !n || init > 0xFF || fx > 0xFF) {
                w = "the CRC8 is from:to:result:init:final:poly";
                break;
            }
            rest += n;
            c.init = (uint8_t)init;
            c.final_xor = (uint8_t)fx;
            uint8_t poly;
            if (hexbytes(rest, rest + strlen(rest), &poly, 1)) {
                c.poly = poly;
                cangw_crc8_table(poly, c.table);
            } else if (hexbytes(rest, rest + strlen(rest), c.table, 256)) {
                c.poly = 0;
            } else {
                w = "the CRC8 table is a polynomial byte or 256 bytes";
                break;
            }
            c.on = 1;
            break;
        }
        case 'p': {
            const char *colon = strchr(tok, ':');
            char num[8] = "";
            size_t k = colon ? (size_t)(colon - tok) : strlen(tok);
            if (k >= sizeof num) {
                w = "the profile is 1, 2 or 3";
                break;
            }
            memcpy(num, tok, k);
            num[k] = '\0';
            const char *data = colon ? colon + 1 : "";
            if (!decnum(num, 1, 3, &v))
                w = "the profile is 1, 2 or 3";
            else if (v == 1 && !hexbytes(data, data + strlen(data), r->crc8.profile_data, 1))
                w = "profile 1 takes one byte";
            else if (v == 2 && !hexbytes(data, data + strlen(data), r->crc8.profile_data, 16))
                w = "profile 2 takes 16 bytes";
            else if (v == 3 && *data)
                w = "profile 3 takes no data";
            else
                r->crc8.profile = (uint8_t)v;
            break;
        }
        default:
            if (!parse_e2e(tok, r))
                w = "E2E is P1:dataid:mode or P2:idlist, then :crcbyte:counterbit";
            break;
        }
        opt = nullptr;
    }
    if (!w && opt)
        w = "an option lacks its value";
    if (!w && (!have_src || !have_dst))
        w = "a rule needs a source and a destination";
    if (!w)
        cangw_rule_check(r, &w);
    if (why)
        *why = w;
    return w ? -1 : 0;
}

int cangw_rule_format(const cangw_rule *r, int kernel, char *buf, size_t size)
{
    static const char *const ops[] = {"AND", "OR", "XOR", "SET"};
    out o{buf, size, 0, size > 0};
    if (size)
        buf[0] = '\0';
    if (!kernel)
        o.add("-s %u -d %u", r->src, r->dst);
    if (r->fd)
        o.add("%s-X", o.n ? " " : "");
    if (r->fd_to_classic && !kernel)
        o.add(" -y");
    if (r->to_source)
        o.add("%s-i", o.n ? " " : "");
    if (r->limit_hops)
        o.add("%s-l %u", o.n ? " " : "", r->limit_hops);
    if (r->has_filter)
        o.add("%s-f %X%c%X", o.n ? " " : "", r->filter_id & ~CANGW_FILTER_INV,
              r->filter_id & CANGW_FILTER_INV ? '~' : ':', r->filter_mask);
    for (int i = 0; i < 4; i++) {
        const cangw_mod &m = r->mod[i];
        if (!m.what)
            continue;
        o.add("%s-%c %s:%s%s%s%s:%X.", o.n ? " " : "", r->fd ? 'M' : 'm', ops[i],
              m.what & CANGW_MOD_ID ? "I" : "", m.what & CANGW_MOD_FLAGS ? "F" : "",
              m.what & CANGW_MOD_LEN ? "L" : "", m.what & CANGW_MOD_DATA ? "D" : "", m.id);
        if (r->fd)
            o.add("%X.", m.flags);
        o.add("%X.", m.len);
        o.bytes(m.data, r->fd ? 64 : 8);
    }
    if (r->xor_cs.on)
        o.add("%s-x %d:%d:%d:%02X", o.n ? " " : "", r->xor_cs.from, r->xor_cs.to,
              r->xor_cs.result, r->xor_cs.init);
    if (r->crc8.on) {
        const cangw_crc8 &c = r->crc8;
        o.add("%s-c %d:%d:%d:%02X:%02X:", o.n ? " " : "", c.from, c.to, c.result, c.init,
              c.final_xor);
        if (c.poly && !kernel)
            o.add("%02X", c.poly);
        else
            o.bytes(c.table, 256);
        if (c.profile == CANGW_CRC8PRF_1U8)
            o.add(" -p 1:%02X", c.profile_data[0]);
        else if (c.profile == CANGW_CRC8PRF_16U8) {
            o.add(" -p 2:");
            o.bytes(c.profile_data, 16);
        } else if (c.profile == CANGW_CRC8PRF_SFFID_XOR)
            o.add(" -p 3");
    }
    if (!kernel && (r->e2e.kind == E2E_P1 || r->e2e.kind == E2E_P2)) {
        if (r->e2e.kind == E2E_P1)
            o.add(" -E P1:%X:%u", r->e2e.data_id, r->e2e.p1_mode);
        else {
            o.add(" -E P2:");
            o.bytes(r->e2e.id_list, 16);
        }
        o.add(":%u:%u", r->e2e.check.start / 8, r->e2e.counter.start);
    }
    return o.ok ? (int)o.n : -1;
}

int cangw_rule_renumber(char *text, size_t size, const int *map, unsigned nmap)
{
    cangw_rule r;
    if (cangw_rule_parse(text, &r, nullptr) != 0)
        return 0;
    const int src = r.src < nmap ? map[r.src] : r.src, dst = r.dst < nmap ? map[r.dst] : r.dst;
    if (src < 0 || dst < 0)
        return -1;
    if (src == r.src && dst == r.dst)
        return 0;
    r.src = (uint16_t)src;
    r.dst = (uint16_t)dst;
    char buf[CANGW_TEXT_MAX];
    if (cangw_rule_format(&r, 0, buf, sizeof buf) < 0 || strlen(buf) >= size)
        return 0;
    memcpy(text, buf, strlen(buf) + 1);
    return 1;
}
