/*
 * idfilter.cpp - parsing and matching identifier filters.
 */
#include "idfilter.h"

#include <glib.h>

namespace {

bool is_blank(char c)
{
    return c == ' ' || c == '\t';
}

bool is_sep(char c)
{
    return c == ',' || c == ';' || is_blank(c);
}

/* Reads one hexadecimal identifier at *p. Returns 0 and advances *p, -1
 * when there is no hex digit, -2 when the value is above 29 bits. */
int read_id(const char **p, uint32_t *out)
{
    const char *s = *p;
    if (s[0] == '0' && (s[1] == 'x' || s[1] == 'X') && g_ascii_isxdigit(s[2]))
        s += 2;
    if (!g_ascii_isxdigit(*s))
        return -1;
    uint64_t v = 0;
    for (; g_ascii_isxdigit(*s); s++) {
        v = v * 16 + (uint64_t)g_ascii_xdigit_value(*s);
        if (v > 0x1FFFFFFFu)
            return -2;
    }
    *out = (uint32_t)v;
    *p = s;
    return 0;
}

/* The item that starts at s, for the message: up to its separator. */
void item_text(const char *s, char *buf, size_t size)
{
    size_t n = 0;
    while (s[n] && s[n] != ',' && s[n] != ';' && n < 40)
        n++;
    while (n > 0 && is_blank(s[n - 1]))
        n--;
    g_snprintf(buf, size, "%.*s%s", (int)n, s, s[n] && s[n] != ',' && s[n] != ';' ? "..." : "");
}

}  // namespace

/* The formats come translated from the caller, who writes them as
 * literals (where they are checked). */
#pragma GCC diagnostic ignored "-Wformat-nonliteral"

int idf_parse(const char *text, idf_filter *out, char *msg, size_t msg_size,
              const idf_texts *texts)
{
    idf_filter f;
    f.n = 0;
    char item[64];
    const char *p = text ? text : "";
    if (msg_size)
        msg[0] = '\0';
    for (;;) {
        while (is_sep(*p))
            p++;
        if (!*p)
            break;
        const char *start = p;
        uint32_t lo = 0, hi = 0;
        int rc = read_id(&p, &lo);
        if (rc == 0) {
            hi = lo;
            const char *q = p;
            while (is_blank(*q))
                q++;
            if (*q == '-') {
                q++;
                while (is_blank(*q))
                    q++;
                p = q;
                rc = read_id(&p, &hi);
            }
        }
        if (rc == 0 && *p && !is_sep(*p))
            rc = -1;
        item_text(start, item, sizeof item);
        if (rc == -2) {
            g_snprintf(msg, msg_size, texts->above_max, item);
            return -1;
        }
        if (rc < 0) {
            g_snprintf(msg, msg_size, texts->not_id, item);
            return -1;
        }
        if (lo > hi) {
            g_snprintf(msg, msg_size, texts->reversed, item);
            return -1;
        }
        if (f.n == IDF_MAX) {
            g_snprintf(msg, msg_size, texts->too_many, IDF_MAX);
            return -1;
        }
        f.lo[f.n] = lo;
        f.hi[f.n] = hi;
        f.n++;
    }
    *out = f;
    return 0;
}

bool idf_match(const idf_filter *f, uint32_t id)
{
    if (f->n == 0)
        return true;
    for (int i = 0; i < f->n; i++)
        if (id >= f->lo[i] && id <= f->hi[i])
            return true;
    return false;
}
