/*
 * read_asc.cpp - the ASC reader.
 *
 * Header and block lines: "date <weekday> <month> <day> <time> [am|pm]
 * <year>" (English or German month names, 12- or 24-hour clock, with or
 * without milliseconds), "base hex|dec [timestamps absolute|relative]",
 * "[no] internal events logged", "// comments", "Begin Triggerblock
 * [<date>]", "End TriggerBlock". Events start with their time:
 *   <time> <chan> <id>[x] Rx|Tx d <dlc> <data bytes> [Length = ...]
 *   <time> <chan> <id>[x] Rx|Tx r [<dlc>]
 *   <time> <chan> ErrorFrame [...]
 *   <time> CANFD <chan> Rx|Tx <id>[x] [<name>] <brs> <esi> <dlc> <length>
 *          <data bytes> [<duration> <bit count> <flags> ...]
 *   <time> CANFD <chan> Rx|Tx ErrorFrame [...]
 * A CANFD line holds a CAN FD frame, or a classic one (an error frame, or
 * flags in hex without EDL 0x1000); a reader that did not ask for FD
 * frames skips and counts the FD ones alone.
 * Other events (statistics, chip states, start of measurement, ...) are
 * skipped; a frame line that breaks off is a bad line. Times are seconds
 * since the trigger block's date ("absolute") or since the previous event
 * ("relative").
 */
#include "reader.h"

#include <stdio.h>
#include <string.h>
#include <strings.h>

namespace {

struct token {
    const char *s;
    size_t n;
};

/* The next blank-separated token at *p, empty at the end. */
token next_token(const char **p, const char *e)
{
    const char *s = *p;
    while (s < e && cl_space(*s))
        s++;
    const char *t = s;
    while (s < e && !cl_space(*s))
        s++;
    *p = s;
    return token{t, (size_t)(s - t)};
}

bool is(token t, const char *word)
{
    size_t n = strlen(word);
    return t.n == n && strncasecmp(t.s, word, n) == 0;
}

bool starts(const char *s, const char *e, const char *word)
{
    size_t n = strlen(word);
    return (size_t)(e - s) >= n && strncasecmp(s, word, n) == 0;
}

/* A number in the file's base; -1 when the token is not one. */
int64_t number(token t, int dec)
{
    if (t.n == 0 || t.n > 10)
        return -1;
    int64_t v = 0;
    for (size_t i = 0; i < t.n; i++) {
        int d = dec ? (t.s[i] >= '0' && t.s[i] <= '9' ? t.s[i] - '0' : -1)
                    : ft_hexval((unsigned char)t.s[i]);
        if (d < 0)
            return -1;
        v = v * (dec ? 10 : 16) + d;
    }
    return v;
}

int month_of(token t)
{
    static const char *const EN[12] = {"jan", "feb", "mar", "apr", "may", "jun",
                                       "jul", "aug", "sep", "oct", "nov", "dec"};
    if (t.n < 3)
        return 0;
    for (int i = 0; i < 12; i++)
        if (strncasecmp(t.s, EN[i], 3) == 0)
            return i + 1;
    /* German names that differ in their first three letters. */
    /* "März" in UTF-8 or in Windows-1252 (which German Windows writes),
     * either case, or "Mrz". */
    if ((t.n >= 4 && (strncasecmp(t.s, "m\xc3\xa4r", 4) == 0 || strncasecmp(t.s, "m\xc3\x84r", 4) == 0)) ||
        strncasecmp(t.s, "m\xe4r", 3) == 0 || strncasecmp(t.s, "m\xc4r", 3) == 0 ||
        strncasecmp(t.s, "mrz", 3) == 0)
        return 3;
    if (strncasecmp(t.s, "mai", 3) == 0)
        return 5;
    if (strncasecmp(t.s, "okt", 3) == 0)
        return 10;
    if (strncasecmp(t.s, "dez", 3) == 0)
        return 12;
    return 0;
}

/* A date as the header and trigger block write it; 0 when there is none. */
int64_t parse_date(const char *s, const char *e)
{
    int month = 0, day = -1, year = -1, hour = -1, min = 0, sec = 0, ms = 0, pm = -1;
    for (token t = next_token(&s, e); t.n; t = next_token(&s, e)) {
        int m = month_of(t);
        if (m && !month) {
            month = m;
        } else if (memchr(t.s, ':', t.n)) {
            char buf[32];
            size_t n = t.n < sizeof buf - 1 ? t.n : sizeof buf - 1;
            memcpy(buf, t.s, n);
            buf[n] = '\0';
            int h = 0, mi = 0, se = 0, frac = 0, used = 0;
            if (sscanf(buf, "%2d:%2d:%2d%n", &h, &mi, &se, &used) < 3)
                continue;
            if (buf[used] == '.') {
                int k = 0;
                for (const char *q = buf + used + 1; *q >= '0' && *q <= '9'; q++, k++)
                    if (k < 3)
                        frac = frac * 10 + (*q - '0');
                for (; k < 3; k++)
                    frac *= 10;
            }
            hour = h, min = mi, sec = se, ms = frac;
        } else if (is(t, "am")) {
            pm = 0;
        } else if (is(t, "pm")) {
            pm = 1;
        } else if (t.n <= 4 && t.s[0] >= '0' && t.s[0] <= '9') {
            int v = 0;
            for (size_t i = 0; i < t.n && t.s[i] >= '0' && t.s[i] <= '9'; i++)
                v = v * 10 + (t.s[i] - '0');
            if (t.n == 4)
                year = v;
            else if (day < 0)
                day = v;
        }
    }
    if (!month || day < 1 || day > 31 || year < 1970 || hour < 0 || hour > 23)
        return 0;
    if (pm == 1 && hour < 12)
        hour += 12;
    else if (pm == 0 && hour == 12)
        hour = 0;
    return cl_local_to_ns(year, month, day, hour, min, sec, ms);
}

/* Header and block lines. 1 when the line was one. */
int meta_line(cl_reader *r, const char *s, const char *e)
{
    cl_asc *a = &r->asc;
    if (starts(s, e, "//"))
        return 1;
    if (starts(s, e, "date ")) {
        int64_t t = parse_date(s + 5, e);
        if (t) {
            a->start_ns = t;
            r->has_date = 1;
        }
        return 1;
    }
    if (starts(s, e, "base ")) {
        const char *p = s + 5;
        token base = next_token(&p, e);
        a->dec = is(base, "dec");
        token kw = next_token(&p, e);
        if (is(kw, "timestamps"))
            a->relative = is(next_token(&p, e), "relative");
        return 1;
    }
    if (starts(s, e, "internal events logged") || starts(s, e, "no internal events logged"))
        return 1;
    if (starts(s, e, "begin triggerblock")) {
        int64_t t = parse_date(s + 18, e);
        if (t) {
            a->start_ns = t;
            r->has_date = 1;
        }
        a->last_ns = 0;
        return 1;
    }
    if (starts(s, e, "end triggerblock"))
        return 1;
    return 0;
}

}  // namespace

/* The header lines before the first event, at the source's place (the
 * start), looked at without reading them: has_date set when they give a
 * date. */
void cl_asc_peek_date(cl_reader *r)
{
    size_t n = src_need(&r->src, 4096);
    const char *p = reinterpret_cast<const char *>(r->src.p + r->src.pos), *end = p + n;
    while (p < end) {
        const char *e = static_cast<const char *>(memchr(p, '\n', (size_t)(end - p)));
        const char *next = e ? e + 1 : end;
        if (!e)
            e = end;
        if (e > p && e[-1] == '\r')
            e--;
        while (p < e && cl_space(*p))
            p++;
        if (p < e && *p >= '0' && *p <= '9')
            return;  /* the first event */
        if ((starts(p, e, "date ") && parse_date(p + 5, e)) ||
            (starts(p, e, "begin triggerblock") && parse_date(p + 18, e))) {
            r->has_date = 1;
            return;
        }
        p = next;
    }
}

namespace {

/* A data byte at *p: two hex digits followed by a blank or the end take
 * the short way (what writers write in hex files); anything else is read
 * as a token. -1 when it is no byte. */
inline int data_byte(const char **p, const char *e, int dec)
{
    const char *s = *p;
    while (s < e && *s == ' ')
        s++;
    if (!dec && e - s >= 2 && (e - s == 2 || cl_space(s[2]))) {
        int hi = ft_hexval((unsigned char)s[0]), lo = ft_hexval((unsigned char)s[1]);
        if ((hi | lo) >= 0) {
            *p = s + 2;
            return hi << 4 | lo;
        }
    }
    *p = s;
    int64_t b = number(next_token(p, e), dec);
    return b >= 0 && b <= 255 ? (int)b : -1;
}

bool is_bit(token t)
{
    return t.n == 1 && (t.s[0] == '0' || t.s[0] == '1');
}

/* The rest of a CANFD line after its time, into f (zeroed, time set).
 * 1 frame, 0 skipped, -1 bad with *why. */
int fd_line(cl_reader *r, const char *s, const char *e, cl_frame *f, const char **why)
{
    const int dec = r->asc.dec;
    int64_t chan = number(next_token(&s, e), 1);
    token dir = next_token(&s, e);
    if (chan < 0 || (!is(dir, "Rx") && !is(dir, "Tx"))) {
        *why = "CANFD line without channel and direction";
        return -1;
    }
    f->chan = (uint16_t)(chan > 0 && chan <= 65536 ? chan - 1 : 0);
    token idt = next_token(&s, e);
    if (is(dir, "Tx"))
        f->flags |= CL_TX;
    if (starts(idt.s, e, "errorframe")) {
        f->flags |= CL_ERR;
        return 1;
    }
    if (idt.n > 1 && (idt.s[idt.n - 1] == 'x' || idt.s[idt.n - 1] == 'X')) {
        f->flags |= CL_EXT;
        idt.n--;
    }
    int64_t id = number(idt, dec);
    if (id < 0 || id > ((f->flags & CL_EXT) ? 0x1FFFFFFF : 0x7FF)) {
        *why = "bad identifier";
        return -1;
    }
    f->id = (uint32_t)id;
    token brs = next_token(&s, e);
    if (!is_bit(brs))  /* a symbolic name before it */
        brs = next_token(&s, e);
    token esi = next_token(&s, e);
    int64_t dlc = number(next_token(&s, e), dec);
    int64_t len = number(next_token(&s, e), 1);
    if (!is_bit(brs) || !is_bit(esi) || dlc < 0 || dlc > 15 || len < 0 || len > 64) {
        *why = "bad BRS, ESI or data length in a CANFD line";
        return -1;
    }
    for (int i = 0; i < len; i++) {
        int b = data_byte(&s, e, dec);
        if (b < 0) {
            *why = r->src.unterminated ? "line cut off at the end of the file"
                                       : "missing or bad data byte";
            return -1;
        }
        f->data[i] = (uint8_t)b;
    }
    /* Duration and bit count, then the flags: without EDL a classic frame. */
    next_token(&s, e);
    next_token(&s, e);
    int64_t flags = number(next_token(&s, e), 0);
    if (flags >= 0 && !(flags & 0x1000)) {
        if (flags & 0x10) {
            f->flags |= CL_RTR;
            f->len = (uint8_t)(dlc > 8 ? 8 : dlc);
            memset(f->data, 0, sizeof f->data);
        } else if (len > 8) {
            *why = "classic frame of more than 8 bytes in a CANFD line";
            return -1;
        } else {
            f->len = (uint8_t)len;
        }
        return 1;
    }
    if (zk_fd_len(zk_fd_dlc((unsigned)len)) != len) {
        *why = "CAN FD data length not 0..8, 12, 16, 20, 24, 32, 48 or 64";
        return -1;
    }
    f->len = (uint8_t)len;
    f->flags |= (uint8_t)(CL_FDF | (brs.s[0] == '1' ? CL_BRS : 0) | (esi.s[0] == '1' ? CL_ESI : 0));
    return 1;
}

/* An event line. 1 frame, 0 skipped, -1 bad with *why. */
int event_line(cl_reader *r, const char *s, const char *e, cl_frame *f, const char **why)
{
    cl_asc *a = &r->asc;
    int64_t t;
    if (cl_parse_time(&s, e, &t) != 0 || (s < e && !cl_space(*s))) {
        *why = "bad time stamp";
        return -1;
    }
    if (a->relative) {
        t = cl_add_sat(t, a->last_ns);
        a->last_ns = t;
    }
    f->t_ns = cl_add_sat(a->start_ns, t);

    f->flags = 0;
    f->len = 0;
    f->id = 0;
    memset(f->data, 0, sizeof f->data);
    token ch = next_token(&s, e);
    if (is(ch, "CANFD")) {
        /* Read whole in either mode: only a frame with EDL is an FD one. */
        int rc = fd_line(r, s, e, f, why);
        if (rc > 0 && (f->flags & CL_FDF) && !r->fd) {
            r->st.skipped_fd++;
            return 0;
        }
        return rc;
    }
    /* A line that ends with the file before its direction is cut off, not
     * an event of another kind. */
    const bool cut = r->src.unterminated;
    if (cut && ch.n == 0) {
        *why = "line cut off at the end of the file";
        return -1;
    }
    int64_t chan = number(ch, 1);
    if (chan < 0) {
        r->st.skipped++;  /* not a CAN event: system variables, comments, ... */
        return 0;
    }
    f->chan = (uint16_t)(chan > 0 && chan <= 65536 ? chan - 1 : 0);

    token idt = next_token(&s, e);
    if (starts(idt.s, e, "errorframe")) {
        f->flags = CL_ERR;
        return 1;
    }
    token dir = next_token(&s, e);
    if (cut && dir.n == 0) {
        *why = "line cut off at the end of the file";
        return -1;
    }
    if (!is(dir, "Rx") && !is(dir, "Tx")) {
        r->st.skipped++;  /* statistics, chip states, transmit requests, ... */
        return 0;
    }
    if (idt.n > 1 && (idt.s[idt.n - 1] == 'x' || idt.s[idt.n - 1] == 'X')) {
        f->flags |= CL_EXT;
        idt.n--;
    }
    int64_t id = number(idt, a->dec);
    if (id < 0 || id > ((f->flags & CL_EXT) ? 0x1FFFFFFF : 0x7FF)) {
        *why = "bad identifier";
        return -1;
    }
    f->id = (uint32_t)id;
    if (is(dir, "Tx"))
        f->flags |= CL_TX;

    token kind = next_token(&s, e);
    token dlct = next_token(&s, e);
    int64_t dlc = number(dlct, a->dec);
    if (is(kind, "r")) {
        f->flags |= CL_RTR;
        /* Older writers leave the length out. */
        f->len = (uint8_t)(dlc < 0 ? 0 : dlc > 8 ? 8 : dlc);
        return 1;
    }
    if (!is(kind, "d")) {
        *why = "neither \"d\" nor \"r\" after the direction";
        return -1;
    }
    if (dlc < 0 || dlc > 15) {
        *why = "bad data length";
        return -1;
    }
    f->len = (uint8_t)(dlc > 8 ? 8 : dlc);
    for (int i = 0; i < f->len; i++) {
        int64_t b = number(next_token(&s, e), a->dec);
        if (b < 0 || b > 255) {
            *why = cut ? "line cut off at the end of the file" : "missing or bad data byte";
            return -1;
        }
        f->data[i] = (uint8_t)b;
    }
    return 1;
}

}  // namespace

int cl_next_asc(cl_reader *r, cl_frame *f)
{
    const char *line;
    size_t n;
    while (cl_next_line(r, &line, &n)) {
        const char *s = line, *e = line + n;
        while (s < e && cl_space(*s))
            s++;
        if (s == e)
            continue;
        if (*s >= '0' && *s <= '9') {
            const char *why = "";
            int p = event_line(r, s, e, f, &why);
            if (p > 0)
                return 1;
            if (p < 0)
                cl_bad(r, "line", r->st.lines, why);
        } else if (!meta_line(r, s, e)) {
            cl_bad(r, "line", r->st.lines, "not an ASC line");
        }
    }
    return 0;
}
