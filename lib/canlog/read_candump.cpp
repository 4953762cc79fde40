/*
 * read_candump.cpp - the candump log reader.
 *
 * A line is "(<seconds>.<fraction>) <interface> <frame>" with an optional
 * direction field "R" or "T" after it. The frame is "<id>#<data>": 1 to 3
 * hex digits for a standard identifier, 4 to 8 for an extended one (the
 * error flag 0x20000000 marks an error frame); data as hex byte pairs,
 * optionally separated by '.', up to 8 bytes, and optionally "_<dlc>"; or
 * "R" with an optional length digit for a remote frame. "<id>##<flags><data>"
 * is a CAN FD frame: one hex digit of flags (1 BRS, 2 ESI, 4 FDF, which
 * some writers leave out) and up to 64 data bytes, a CAN FD length; it is
 * skipped and counted for a reader that did not ask for FD frames. Blank lines are passed over; anything else is a
 * bad line.
 */
#include "reader.h"

#include <string.h>

namespace {

/* The channel of interface name[0..n): the number that ends it, unless
 * another name met before has that channel (can0 beside vcan0): then the
 * next number above every channel in use. Past the table's size, or for
 * a name too long for it, the number as it is. */
uint16_t channel_of(cl_names *t, const char *name, size_t n)
{
    if (t->n && t->len[t->last] == n && memcmp(t->name[t->last], name, n) == 0)
        return t->chan[t->last];
    for (unsigned i = 0; i < t->n; i++)
        if (t->len[i] == n && memcmp(t->name[i], name, n) == 0) {
            t->last = (uint8_t)i;
            return t->chan[i];
        }
    const char *dig = name + n;
    while (dig > name && dig[-1] >= '0' && dig[-1] <= '9')
        dig--;
    unsigned chan = 0;
    for (const char *q = dig; q < name + n && chan < 65535; q++)
        chan = chan * 10 + (unsigned)(*q - '0');
    if (chan > 65535)
        chan = 65535;
    if (t->n == CL_NAMES_MAX || n >= CL_NAME_MAX)
        return (uint16_t)chan;
    unsigned top = 0;
    bool taken = false;
    for (unsigned i = 0; i < t->n; i++) {
        taken |= t->chan[i] == chan;
        if (t->chan[i] > top)
            top = t->chan[i];
    }
    if (taken) {
        chan = top + 1;
        /* At the top of the range: the lowest number not in use. */
        for (unsigned c = 0; chan > 65535; c++) {
            bool used = false;
            for (unsigned i = 0; i < t->n; i++)
                used |= t->chan[i] == c;
            if (!used)
                chan = c;
        }
    }
    unsigned i = t->n++;
    memcpy(t->name[i], name, n);
    t->name[i][n] = '\0';
    t->len[i] = (uint8_t)n;
    t->chan[i] = (uint16_t)chan;
    t->last = (uint8_t)i;
    return (uint16_t)chan;
}

/* 1 frame, 0 skipped, -1 bad with *why set. */
int parse(const char *s, const char *e, cl_frame *f, cl_reader *r, const char **why)
{
    while (s < e && cl_space(*s))
        s++;
    if (s == e)
        return 0;
    if (*s != '(') {
        *why = "not a candump line (it must start with '(')";
        return -1;
    }
    s++;
    if (cl_parse_time(&s, e, &f->t_ns) != 0 || s == e || *s != ')') {
        *why = "bad time stamp";
        return -1;
    }
    s++;
    if (s == e || !cl_space(*s)) {
        *why = "no interface";
        return -1;
    }
    while (s < e && cl_space(*s))
        s++;
    /* Interface name: its channel (channel_of). */
    const char *name = s;
    while (s < e && !cl_space(*s))
        s++;
    if (s == name) {
        *why = "no interface";
        return -1;
    }
    f->chan = channel_of(&r->names, name, (size_t)(s - name));
    while (s < e && cl_space(*s))
        s++;

    /* Identifier. */
    const char *id0 = s;
    uint32_t id = 0;
    int h;
    while (s < e && (h = ft_hexval((unsigned char)*s)) >= 0 && s - id0 < 9) {
        id = id << 4 | (uint32_t)h;
        s++;
    }
    long nid = s - id0;
    if (nid == 0 || nid > 8 || s == e || *s != '#') {
        *why = "no frame \"<id>#<data>\"";
        return -1;
    }
    s++;
    f->flags = 0;
    f->len = 0;
    memset(f->data, 0, sizeof f->data);
    if (nid <= 3) {
        if (id > 0x7FF) {
            *why = "standard identifier above 7FF";
            return -1;
        }
    } else if (id & CL_CAN_ERR_FLAG) {
        f->flags = CL_ERR;
        id &= 0x1FFFFFFFu;
    } else if (id > 0x1FFFFFFFu) {
        *why = "extended identifier above 1FFFFFFF";
        return -1;
    } else {
        f->flags = CL_EXT;
    }
    f->id = id;

    const bool fd = s < e && *s == '#';
    if (fd) {
        if (!r->fd) {
            r->st.skipped_fd++;
            return 0;
        }
        int fl = s + 1 < e ? ft_hexval((unsigned char)s[1]) : -1;
        if (fl < 0 || (f->flags & CL_ERR)) {
            *why = (f->flags & CL_ERR) ? "error frame written as a CAN FD frame"
                                       : "no flags digit after \"##\"";
            return -1;
        }
        s += 2;
        f->flags |= (uint8_t)(CL_FDF | ((fl & 1) ? CL_BRS : 0) | ((fl & 2) ? CL_ESI : 0));
    }
    const uint8_t max = fd ? 64 : 8;
    if (!fd && s < e && (*s == 'R' || *s == 'r') && !(f->flags & CL_ERR)) {
        f->flags |= CL_RTR;
        s++;
        if (s < e && *s >= '0' && *s <= '8')
            f->len = (uint8_t)(*s++ - '0');
    } else {
        for (;;) {
            if (s < e && *s == '.')
                s++;
            int hi = s < e ? ft_hexval((unsigned char)*s) : -1;
            if (hi < 0)
                break;
            int lo = s + 1 < e ? ft_hexval((unsigned char)s[1]) : -1;
            if (lo < 0) {
                *why = "odd number of data digits";
                return -1;
            }
            if (f->len == max) {
                *why = fd ? "more than 64 data bytes" : "more than 8 data bytes";
                return -1;
            }
            f->data[f->len++] = (uint8_t)(hi << 4 | lo);
            s += 2;
        }
        if (fd && zk_fd_len(zk_fd_dlc(f->len)) != f->len) {
            *why = "CAN FD data length not 0..8, 12, 16, 20, 24, 32, 48 or 64";
            return -1;
        }
        /* A classic frame's length code above 8 ("_9" to "_F"). */
        if (!fd && s + 1 < e && *s == '_' && ft_hexval((unsigned char)s[1]) >= 0)
            s += 2;
    }
    if (s < e && !cl_space(*s)) {
        *why = "bad frame data";
        return -1;
    }
    while (s < e && cl_space(*s))
        s++;
    if (s < e) {
        if ((*s == 'T' || *s == 't') && (s + 1 == e || cl_space(s[1])))
            f->flags |= CL_TX;
        else if (!((*s == 'R' || *s == 'r') && (s + 1 == e || cl_space(s[1])))) {
            *why = "unexpected text after the frame";
            return -1;
        }
        s++;
        while (s < e && cl_space(*s))
            s++;
        if (s < e) {
            *why = "unexpected text after the frame";
            return -1;
        }
    }
    return 1;
}

}  // namespace

void cl_names_take(cl_reader *r, const cl_names *from)
{
    if (from->n > r->names.n)
        r->names = *from;
}

int cl_next_candump(cl_reader *r, cl_frame *f)
{
    const char *line;
    size_t n;
    while (cl_next_line(r, &line, &n)) {
        const char *why = "";
        int p = parse(line, line + n, f, r, &why);
        if (p > 0)
            return 1;
        if (p < 0)
            cl_bad(r, "line", r->st.lines, why);
    }
    return 0;
}
