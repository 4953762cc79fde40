/*
 * filter.cpp - the identifier filter: hexadecimal identifiers and ranges,
 * as the bus viewer takes them ("100-1FF, 7E8; 0x18DAF110").
 */
#include "player.h"

#include <string.h>

namespace {

bool blank(char c)
{
    return c == ' ' || c == '\t';
}

bool separator(char c)
{
    return blank(c) || c == ',' || c == ';';
}

/* A hexadecimal identifier at *s: 1 read, 0 no digits, -1 above 29 bits. */
int hex_id(const char **s, uint32_t *out)
{
    const char *p = *s;
    if (p[0] == '0' && (p[1] == 'x' || p[1] == 'X') && g_ascii_isxdigit(p[2]))
        p += 2;
    if (!g_ascii_isxdigit(*p))
        return 0;
    uint64_t v = 0;
    for (; g_ascii_isxdigit(*p); p++) {
        v = (v << 4) | (uint64_t)g_ascii_xdigit_value(*p);
        if (v > 0x1FFFFFFFu)
            return -1;
    }
    *out = (uint32_t)v;
    *s = p;
    return 1;
}

}  // namespace

int pl_filter_parse(const char *text, pl_filter *out, char *msg, size_t msg_size)
{
    pl_filter f;
    f.n = 0;
    const char *p = text ? text : "";
    while (*p) {
        if (separator(*p)) {
            p++;
            continue;
        }
        const char *item = p;
        uint32_t lo = 0, hi = 0;
        int rc = hex_id(&p, &lo);
        hi = lo;
        if (rc > 0) {
            const char *q = p;
            while (blank(*q))
                q++;
            if (*q == '-') {
                q++;
                while (blank(*q))
                    q++;
                p = q;
                rc = hex_id(&p, &hi);
            }
        }
        if (rc > 0 && *p && !separator(*p))
            rc = 0;
        size_t len = strcspn(item, ",;");
        if (len > 40)
            len = 40;
        if (rc < 0) {
            g_snprintf(msg, msg_size,
                       _("Filter not applied: \"%.*s\" is above 1FFFFFFF, the largest identifier."),
                       (int)len, item);
            return -1;
        }
        if (rc == 0) {
            g_snprintf(msg, msg_size,
                       _("Filter not applied: \"%.*s\" is not a hexadecimal identifier or range. "
                         "Example: 100-1FF, 7E8, 18DAF110"),
                       (int)len, item);
            return -1;
        }
        if (hi < lo) {
            g_snprintf(msg, msg_size,
                       _("Filter not applied: the range \"%.*s\" ends below its start."), (int)len,
                       item);
            return -1;
        }
        if (f.n == PL_FILTER_MAX) {
            g_snprintf(msg, msg_size, _("Filter not applied: more than %d identifiers and ranges."),
                       PL_FILTER_MAX);
            return -1;
        }
        f.lo[f.n] = lo;
        f.hi[f.n] = hi;
        f.n++;
    }
    *out = f;
    if (msg_size)
        msg[0] = '\0';
    return 0;
}

int pl_filter_match(const pl_filter *f, uint32_t id)
{
    if (f->n == 0)
        return 1;
    for (int i = 0; i < f->n; i++)
        if (id >= f->lo[i] && id <= f->hi[i])
            return 1;
    return 0;
}
