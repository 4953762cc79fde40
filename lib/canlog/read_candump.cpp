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
    /* Interface name; its trailing number is the channel. */
    const char *name = s;
    while (s < e && !cl_space(*s))
        s++;
    if (s == name) {
        *why = "no interface";
        return -1;
    }
    const char *dig = s;
    while (dig > name && dig[-1] >= '0' && dig[-1] <= '9')
        dig--;
    unsigned chan = 0;
    for (const char *q = dig; q < s && chan < 65535; q++)
        chan = chan * 10 + (unsigned)(*q - '0');
    f->chan = (uint16_t)(chan > 65535 ? 65535 : chan);
    while (s < e && cl_space(*s))
        s++;

    /* Identifier. */
    const char *id0 = s;
    uint32_t id = 0;
    int h;
    while (s < e && (h = cl_hexval((unsigned char)*s)) >= 0 && s - id0 < 9) {
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
        int fl = s + 1 < e ? cl_hexval((unsigned char)s[1]) : -1;
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
            int hi = s < e ? cl_hexval((unsigned char)*s) : -1;
            if (hi < 0)
                break;
            int lo = s + 1 < e ? cl_hexval((unsigned char)s[1]) : -1;
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
        if (!fd && s + 1 < e && *s == '_' && cl_hexval((unsigned char)s[1]) >= 0)
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
