/*
 * read_trc.cpp - the TRC reader, versions 1.0 to 2.1.
 *
 * Lines starting with ';' are the header and comments: $FILEVERSION (none
 * means 1.0), $STARTTIME (days since 1899-12-30 and their fraction, taken
 * as UTC) and, from 2.0, $COLUMNS (the letters of the columns in order).
 * Message lines, one field per column, blank-separated:
 *   1.0  N) O I L D..      "RTR" instead of data: remote frame;
 *                          "ERROR" before the data: error frame
 *   1.1  N) O T I L D..    T: Rx, Tx, Error (error frame), Warng (bus status)
 *   1.2  N) O B T I L D..
 *   1.3  N) O B T I R L D..
 *   2.x  as $COLUMNS says; without it 2.0 is N,O,T,I,d,l,D and 2.1 is
 *        N,O,T,B,I,d,R,L,D. T: DT data, RR remote, FD / FB (BRS) / FE (ESI)
 *        / BI (BRS and ESI) CAN FD, ER error frame; ST (status), EC (error
 *        counters) and EV (user event) lines are skipped and counted.
 *        2.0 writes an error frame without identifier and length.
 * O is the offset from the start in ms, B the bus counted from 1, d Rx or
 * Tx, R reserved, L the length code (CAN FD 9..15 for 12..64 bytes), l the
 * length in bytes. An identifier of more than 4 hex digits is extended.
 * Bus status lines (identifier FFFFFFFF in 1.x) are skipped and counted;
 * any other line that does not read is a bad line.
 */
#include "reader.h"

#include <string.h>
#include <strings.h>

namespace {

struct tok {
    const char *s;
    size_t n;
};

constexpr int TOK_MAX = 80;  /* 64 bytes and the columns before them */

/* Blank-separated fields; TOK_MAX + 1 when there are more. */
int split(const char *s, const char *e, tok *t)
{
    int n = 0;
    for (;;) {
        while (s < e && cl_space(*s))
            s++;
        if (s == e)
            return n;
        if (n == TOK_MAX)
            return TOK_MAX + 1;
        const char *b = s;
        while (s < e && !cl_space(*s))
            s++;
        t[n++] = tok{b, (size_t)(s - b)};
    }
}

bool is(tok t, const char *w)
{
    size_t n = strlen(w);
    return t.n == n && strncasecmp(t.s, w, n) == 0;
}

/* A decimal number of up to 9 digits; -1 when it is not one. */
long dec(tok t)
{
    if (t.n == 0 || t.n > 9)
        return -1;
    long v = 0;
    for (size_t i = 0; i < t.n; i++) {
        if (t.s[i] < '0' || t.s[i] > '9')
            return -1;
        v = v * 10 + (t.s[i] - '0');
    }
    return v;
}

/* The message number: digits, with ')' after them in 1.x. */
bool number(tok t)
{
    if (t.n > 1 && t.s[t.n - 1] == ')')
        t.n--;
    for (size_t i = 0; i < t.n; i++)
        if (t.s[i] < '0' || t.s[i] > '9')
            return false;
    return t.n > 0;
}

/* Offset in ms ("1059.900", "1841") to ns; false when it is none. */
bool offset(tok t, int64_t *ns)
{
    const char *s = t.s;
    int64_t v;
    if (cl_parse_time(&s, t.s + t.n, &v) != 0 || s != t.s + t.n)
        return false;
    *ns = v / 1000;
    return true;
}

int hexbyte(tok t)
{
    if (t.n != 2)
        return -1;
    int hi = ft_hexval((unsigned char)t.s[0]), lo = ft_hexval((unsigned char)t.s[1]);
    return (hi | lo) < 0 ? -1 : hi << 4 | lo;
}

/* Identifier: 1..4 hex digits standard, 5..8 extended. */
bool ident(tok t, cl_frame *f, const char **why)
{
    uint32_t id = 0;
    for (size_t i = 0; i < t.n; i++) {
        int h = ft_hexval((unsigned char)t.s[i]);
        if (h < 0 || t.n > 8) {
            *why = "bad identifier";
            return false;
        }
        id = id << 4 | (uint32_t)h;
    }
    if (t.n == 0) {
        *why = "bad identifier";
        return false;
    }
    if (t.n > 4) {
        if (id > 0x1FFFFFFFu) {
            *why = "extended identifier above 1FFFFFFF";
            return false;
        }
        f->flags |= CL_EXT;
    } else if (id > 0x7FF) {
        *why = "standard identifier above 7FF";
        return false;
    }
    f->id = id;
    return true;
}

/* The data bytes t[0..n): exactly len of them. */
bool data(const tok *t, int n, cl_frame *f, const char **why)
{
    if (n != f->len) {
        *why = n < f->len ? "fewer data bytes than the length says"
                          : "more data bytes than the length says";
        return false;
    }
    for (int i = 0; i < n; i++) {
        int b = hexbyte(t[i]);
        if (b < 0) {
            *why = "bad data byte";
            return false;
        }
        f->data[i] = (uint8_t)b;
    }
    return true;
}

/* Versions 1.x. 1 frame, 0 skipped, -1 bad. */
int parse_v1(cl_reader *r, const tok *t, int nt, cl_frame *f, int64_t *off, const char **why)
{
    const int ver = r->trc.ver;
    int i = 0;
    const int need = 4 + (ver >= 11) + (ver >= 12) + (ver >= 13);
    if (nt < need) {
        *why = "too few fields";
        return -1;
    }
    if (!number(t[i++])) {
        *why = "bad message number";
        return -1;
    }
    if (!offset(t[i++], off)) {
        *why = "bad time offset";
        return -1;
    }
    if (ver >= 12) {
        long bus = dec(t[i++]);
        if (bus < 1 || bus > 65536) {
            *why = "bad bus number";
            return -1;
        }
        f->chan = (uint16_t)(bus - 1);
    }
    bool error = false;
    if (ver >= 11) {
        tok ty = t[i++];
        if (is(ty, "Warng")) {
            r->st.skipped++;
            return 0;
        }
        if (is(ty, "Tx"))
            f->flags |= CL_TX;
        else if (is(ty, "Error"))
            error = true;
        else if (!is(ty, "Rx")) {
            *why = "unknown message type";
            return -1;
        }
    }
    tok id = t[i++];
    if (is(id, "FFFFFFFF")) {
        r->st.skipped++;  /* bus status */
        return 0;
    }
    if (!error && !ident(id, f, why))
        return -1;
    if (ver >= 13)
        i++;  /* reserved */
    long len = dec(t[i++]);
    if (len < 0 || len > 8) {
        *why = "bad data length";
        return -1;
    }
    f->len = (uint8_t)len;
    if (i < nt && is(t[i], "RTR") && !error) {
        f->flags |= CL_RTR;
        if (i + 1 != nt) {
            *why = "unexpected text after the frame";
            return -1;
        }
        return 1;
    }
    if (ver == 10 && i < nt && is(t[i], "ERROR")) {
        error = true;
        i++;
    }
    if (error) {
        f->flags = CL_ERR;
        f->id = 0;
    }
    return data(t + i, nt - i, f, why) ? 1 : -1;
}

const char COLS_20[] = "NOTIdlD";
const char COLS_21[] = "NOTBIdRLD";

/* Versions 2.x by their columns. */
int parse_v2(cl_reader *r, const tok *t, int nt, cl_frame *f, int64_t *off, const char **why)
{
    const cl_trc *c = &r->trc;
    const char *cols = c->ncols ? c->cols : c->ver == 20 ? COLS_20 : COLS_21;
    const int ncols = c->ncols ? c->ncols : (int)strlen(cols);
    enum { DT, RR, FD, ER } kind = DT;
    long code = -1;
    bool bytes = false;  /* code is a length in bytes ('l') */
    bool bare = false;   /* 2.0 error frame: no identifier, no length */
    int i = 0;
    for (int j = 0; j < ncols; j++) {
        const char col = cols[j];
        if (col == 'D') {
            if (code < 0) {
                *why = "no data length before the data";
                return -1;
            }
            break;
        }
        if (i >= nt) {
            *why = "too few fields";
            return -1;
        }
        const tok v = t[i++];
        switch (col) {
        case 'N':
            if (!number(v)) {
                *why = "bad message number";
                return -1;
            }
            break;
        case 'O':
            if (!offset(v, off)) {
                *why = "bad time offset";
                return -1;
            }
            break;
        case 'T':
            if (is(v, "DT")) {
                kind = DT;
            } else if (is(v, "RR")) {
                kind = RR;
                f->flags |= CL_RTR;
            } else if (is(v, "FD") || is(v, "FB") || is(v, "FE") || is(v, "BI")) {
                if (!r->fd) {
                    r->st.skipped_fd++;
                    return 0;
                }
                kind = FD;
                f->flags |= CL_FDF;
                if (is(v, "FB") || is(v, "BI"))
                    f->flags |= CL_BRS;
                if (is(v, "FE") || is(v, "BI"))
                    f->flags |= CL_ESI;
            } else if (is(v, "ER")) {
                kind = ER;
                f->flags = CL_ERR;
            } else if (is(v, "ST") || is(v, "EC") || is(v, "EV")) {
                r->st.skipped++;
                return 0;
            } else {
                *why = "unknown message type";
                return -1;
            }
            break;
        case 'B': {
            long bus = dec(v);
            if (bus < 1 || bus > 65536) {
                *why = "bad bus number";
                return -1;
            }
            f->chan = (uint16_t)(bus - 1);
            break;
        }
        case 'I':
            if (kind == ER) {
                bare = !is(v, "-");
                i -= bare;
                break;
            }
            if (!ident(v, f, why))
                return -1;
            break;
        case 'd':
            if (is(v, "Tx"))
                f->flags |= CL_TX;
            else if (!is(v, "Rx")) {
                *why = "direction not Rx or Tx";
                return -1;
            }
            break;
        case 'L':
        case 'l':
            if (bare) {
                i--;
                code = nt - i;
                break;
            }
            code = dec(v);
            bytes = col == 'l';
            if (code < 0) {
                *why = "bad data length";
                return -1;
            }
            break;
        default:
            break;  /* reserved, or a column we do not use */
        }
    }
    if (code < 0) {
        *why = "no data length";
        return -1;
    }
    if (kind == FD) {
        if (bytes ? zk_fd_len(zk_fd_dlc((unsigned)code)) != code || code > 64 : code > 15) {
            *why = "bad CAN FD data length";
            return -1;
        }
        f->len = bytes ? (uint8_t)code : zk_fd_len((unsigned)code);
    } else {
        if (code > 8) {
            *why = "bad data length";
            return -1;
        }
        f->len = (uint8_t)code;
    }
    if (kind == RR) {
        if (i != nt) {
            *why = "data in a remote frame";
            return -1;
        }
        return 1;
    }
    return data(t + i, nt - i, f, why) ? 1 : -1;
}

/* "1.1", "2.1": the version as 11, 21; -1 for any other. */
int version_of(const char *s, const char *e)
{
    while (s < e && cl_space(*s))
        s++;
    while (e > s && (cl_space(e[-1]) || e[-1] == ';'))
        e--;
    if (e - s != 3 || s[1] != '.')
        return -1;
    int v = (s[0] - '0') * 10 + (s[2] - '0');
    return (v >= 10 && v <= 13) || v == 20 || v == 21 ? v : -1;
}

/* $STARTTIME: days since 1899-12-30 with a fraction, to ns since 1970,
 * rounded to the microsecond (the resolution of the offsets). */
bool start_of(const char *s, const char *e, int64_t *ns)
{
    while (s < e && cl_space(*s))
        s++;
    while (e > s && (cl_space(e[-1]) || e[-1] == ';'))
        e--;
    int64_t days = 0;
    int digits = 0;
    while (s < e && *s >= '0' && *s <= '9' && digits < 8) {
        days = days * 10 + (*s++ - '0');
        digits++;
    }
    __int128 frac = 0, scale = 1;
    if (s < e && *s == '.') {
        s++;
        for (int k = 0; s < e && *s >= '0' && *s <= '9'; s++, k++)
            if (k < 18) {
                frac = frac * 10 + (*s - '0');
                scale *= 10;
            }
    }
    if (!digits || s != e || days < 25569)
        return false;
    const __int128 DAY = (__int128)86400 * 1000000000;
    __int128 v = (__int128)(days - 25569) * DAY + frac * DAY / scale;
    v = (v + 500) / 1000 * 1000;
    if (v > (__int128)9000000000LL * 1000000000)
        return false;
    *ns = (int64_t)v;
    return true;
}

bool keyword(const char **s, const char *e, const char *word)
{
    size_t n = strlen(word);
    if ((size_t)(e - *s) <= n || strncasecmp(*s, word, n) != 0 || (*s)[n] != '=')
        return false;
    *s += n + 1;
    return true;
}

/* A header or comment line, s after its ';'. */
void meta_line(cl_reader *r, const char *s, const char *e)
{
    cl_trc *c = &r->trc;
    while (s < e && cl_space(*s))
        s++;
    if (keyword(&s, e, "$FILEVERSION")) {
        int v = version_of(s, e);
        if (v < 0)
            cl_bad(r, "line", r->st.lines, "unknown file version");
        else
            c->ver = (uint8_t)v;
    } else if (keyword(&s, e, "$STARTTIME")) {
        if (start_of(s, e, &c->start_ns))
            r->has_date = 1;
        else
            cl_bad(r, "line", r->st.lines, "bad $STARTTIME");
    } else if (keyword(&s, e, "$COLUMNS")) {
        char cols[CL_TRC_COLS];
        int n = 0;
        bool ok = true;
        while (s < e && cl_space(e[-1]))
            e--;
        for (const char *p = s; p < e && ok; p++) {
            if (*p == ',' || cl_space(*p))
                continue;
            ok = n < CL_TRC_COLS && (p + 1 == e || p[1] == ',' || cl_space(p[1]));
            if (ok)
                cols[n++] = *p;
        }
        bool has[128] = {};
        for (int k = 0; k < n; k++)
            has[(unsigned char)cols[k] & 127] = true;
        if (!ok || !has['O'] || !has['T'] || !has['I'] || !(has['L'] || has['l']) ||
            !has['D'] || cols[n - 1] != 'D') {
            cl_bad(r, "line", r->st.lines, "bad $COLUMNS");
            return;
        }
        memcpy(c->cols, cols, (size_t)n);
        c->ncols = (uint8_t)n;
    }
}

}  // namespace

void cl_trc_reset(cl_trc *t)
{
    memset(t, 0, sizeof *t);
    t->ver = 10;
}

int cl_next_trc(cl_reader *r, cl_frame *f)
{
    const char *line;
    size_t n;
    tok t[TOK_MAX];
    while (cl_next_line(r, &line, &n)) {
        const char *s = line, *e = line + n;
        while (s < e && cl_space(*s))
            s++;
        if (s == e)
            continue;
        if (*s == ';') {
            meta_line(r, s + 1, e);
            continue;
        }
        const char *why = "too many fields";
        int nt = split(s, e, t);
        int p = -1;
        memset(f, 0, sizeof *f);
        int64_t off = 0;
        if (nt <= TOK_MAX) {
            p = r->trc.ver >= 20 ? parse_v2(r, t, nt, f, &off, &why)
                                 : parse_v1(r, t, nt, f, &off, &why);
        }
        if (p > 0) {
            f->t_ns = cl_add_sat(r->trc.start_ns, off);
            return 1;
        }
        if (p < 0)
            cl_bad(r, "line", r->st.lines, why);
    }
    return 0;
}
