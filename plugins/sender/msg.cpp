/*
 * msg.cpp - a transmit message's fields: parsing and checking what the
 * user typed, formatting for the list and the session, the frame sent.
 */
#include "sender.h"
#include "hexdigit.h"

#include <stdlib.h>
#include <string.h>

namespace {

/* Copies text without leading and trailing blanks. */
void trimmed(const char *text, char *out, size_t size)
{
    while (*text == ' ' || *text == '\t')
        text++;
    g_strlcpy(out, text, size);
    size_t n = strlen(out);
    while (n > 0 && (out[n - 1] == ' ' || out[n - 1] == '\t'))
        out[--n] = '\0';
}

int refuse(char *err, size_t size, const char *text)
{
    g_strlcpy(err, text, size);
    return -1;
}

}  // namespace

int sd_parse_id(const char *text, int ext, uint32_t *out, char *err, size_t errsize)
{
    char t[64];
    trimmed(text ? text : "", t, sizeof t);
    const char *p = t;
    if (p[0] == '0' && (p[1] == 'x' || p[1] == 'X'))
        p += 2;
    if (!*p)
        return refuse(err, errsize, _("The identifier is empty: give it in hexadecimal."));
    uint64_t v = 0;
    for (; *p; p++) {
        int d = ft_hexval(*p);
        if (d < 0) {
            g_snprintf(err, errsize, _("The identifier \"%s\" is not a hexadecimal number."),
                       t);
            return -1;
        }
        v = v * 16 + (uint64_t)d;
        if (v > 0xFFFFFFFFull)
            break;
    }
    if (v > 0x1FFFFFFFull)
        return refuse(err, errsize, _("The identifier is above 1FFFFFFF, the largest 29-bit "
                                      "identifier."));
    if (!ext && v > 0x7FF)
        return refuse(err, errsize, _("The identifier is above 7FF, the largest 11-bit "
                                      "identifier: set \"Ext\" for a 29-bit identifier."));
    *out = (uint32_t)v;
    return 0;
}

namespace {

int fd_length(int n)
{
    return n >= 0 && n <= 64 && zk_fd_round_len((unsigned)n) == n;
}

int refuse_fd_len(char *err, size_t size)
{
    return refuse(err, size, _("The length of a CAN FD message must be 0 to 8, 12, 16, 20, 24, "
                               "32, 48 or 64."));
}

}  // namespace

uint8_t sd_len_for(int fd, int ndata)
{
    if (fd && ndata > 8 && ndata <= 64)
        return zk_fd_round_len((unsigned)ndata);
    return (uint8_t)ndata;
}

int sd_parse_len(const char *text, int fd, uint8_t *out, char *err, size_t errsize)
{
    char t[64];
    trimmed(text ? text : "", t, sizeof t);
    int valid = t[0] && strspn(t, "0123456789") == strlen(t) && strlen(t) <= 2;
    if (fd && !(valid && fd_length(atoi(t))))
        return refuse_fd_len(err, errsize);
    if (!valid || atoi(t) > (fd ? 64 : 8))
        return refuse(err, errsize, _("The length must be a number from 0 to 8."));
    *out = (uint8_t)atoi(t);
    return 0;
}

int sd_parse_data(const char *text, int fd, uint8_t *data, uint8_t *ndata, char *err,
                  size_t errsize)
{
    const int max = fd ? SD_DATA_MAX : 8;
    uint8_t bytes[SD_DATA_MAX];
    int n = 0;
    const char *p = text ? text : "";
    const char *blanks = " \t\r\n";
    while (*p) {
        p += strspn(p, blanks);
        if (!*p)
            break;
        const char *start = p;
        p += strcspn(p, blanks);
        size_t len = (size_t)(p - start);
        for (size_t i = 0; i < len; i++) {
            if (ft_hexval(start[i]) < 0)
                return refuse(err, errsize, _("The data must be hexadecimal bytes, such as "
                                              "\"DE AD BE EF\" or \"DEADBEEF\"."));
        }
        if (len > 2 && len % 2 != 0)
            return refuse(err, errsize, _("The data has an odd number of hexadecimal digits: "
                                          "give two digits per byte."));
        for (size_t i = 0; i < len; i += 2) {
            if (n >= max)
                return refuse(err, errsize,
                              fd ? _("The data has more than 64 bytes, the most a CAN FD "
                                     "message carries.")
                                 : _("The data has more than 8 bytes: set \"FD\" for a CAN FD "
                                     "message of up to 64 bytes."));
            int v = len == 1 ? ft_hexval(start[0]) : ft_hexval(start[i]) * 16 + ft_hexval(start[i + 1]);
            bytes[n++] = (uint8_t)v;
        }
    }
    memcpy(data, bytes, (size_t)n);
    *ndata = (uint8_t)n;
    return 0;
}

int sd_parse_period(const char *text, uint32_t *out, char *err, size_t errsize)
{
    char t[64];
    trimmed(text ? text : "", t, sizeof t);
    char *end = nullptr;
    unsigned long long v = t[0] >= '0' && t[0] <= '9' ? g_ascii_strtoull(t, &end, 10) : 0;
    if (!t[0] || !end || *end || v > SD_PERIOD_MAX) {
        g_snprintf(err, errsize,
                   _("The period must be a whole number of milliseconds from 0 (send on "
                     "demand only) to %u."),
                   SD_PERIOD_MAX);
        return -1;
    }
    *out = (uint32_t)v;
    return 0;
}

int sd_check(const sd_msg *m, char *err, size_t errsize)
{
    if (m->id > 0x1FFFFFFFu)
        return refuse(err, errsize, _("The identifier is above 1FFFFFFF, the largest 29-bit "
                                      "identifier."));
    if (!m->ext && m->id > 0x7FFu)
        return refuse(err, errsize, _("The identifier is above 7FF, the largest 11-bit "
                                      "identifier: set \"Ext\" for a 29-bit identifier."));
    if (m->fd && m->rtr)
        return refuse(err, errsize, _("CAN FD has no remote frames: clear \"RTR\" or \"FD\"."));
    if (m->brs && !m->fd)
        return refuse(err, errsize, _("\"BRS\" is for CAN FD messages: set \"FD\" first."));
    if (!m->fd && m->ndata > 8) {
        g_snprintf(err, errsize, _("The data has %d bytes; a classic CAN message carries at "
                                   "most 8."),
                   (int)m->ndata);
        return -1;
    }
    if (m->fd && !fd_length(m->len))
        return refuse_fd_len(err, errsize);
    if (!m->fd && m->len > 8)
        return refuse(err, errsize, _("The length must be a number from 0 to 8."));
    if (!m->rtr && m->ndata > m->len) {
        g_snprintf(err, errsize,
                   g_dngettext(GETTEXT_PACKAGE, "The data has %d byte, more than the length %d.",
                               "The data has %d bytes, more than the length %d.", (unsigned long)m->ndata),
                   (int)m->ndata, (int)m->len);
        return -1;
    }
    if (m->period_ms > SD_PERIOD_MAX)
        return refuse(err, errsize, _("The period is too long."));
    /* The counter and checksum must stay within the frame. */
    const char *why = nullptr;
    if (m->prot.kind == E2E_NONE && !m->prot.counter.length)
        return 0;
    if (m->rtr)
        return refuse(err, errsize, _("A remote frame carries no counter or checksum: remove "
                                      "them first (\"Counter and checksum...\")."));
    if (e2e_check(&m->prot, m->len, &why) != 0) {
        g_snprintf(err, errsize, _("The message's counter and checksum would not fit: %s."),
                   _(why));
        return -1;
    }
    return 0;
}

void sd_length_note(const sd_msg *m, char *buf, size_t size)
{
    buf[0] = '\0';
    if (m->rtr || m->len == m->ndata)
        return;
    if (!m->len_set) {
        g_snprintf(buf, size,
                   _("%d data bytes typed, sent as the CAN FD length %d: %d zero bytes are "
                     "added."),
                   (int)m->ndata, (int)m->len, (int)(m->len - m->ndata));
        return;
    }
    g_snprintf(buf, size,
               _("Length %d, %d data bytes typed: %d zero bytes are added. Clear the length "
                 "to follow the data."),
               (int)m->len, (int)m->ndata, (int)(m->len - m->ndata));
}

void sd_format_id(const sd_msg *m, char *buf, size_t size)
{
    g_snprintf(buf, size, m->ext ? "%08X" : "%03X", (unsigned)m->id);
}

void sd_format_data(const sd_msg *m, char *buf, size_t size)
{
    size_t k = 0;
    buf[0] = '\0';
    for (int i = 0; i < m->ndata && k + 4 <= size; i++)
        k += (size_t)g_snprintf(buf + k, size - k, i == 0 ? "%02X" : i % 8 ? " %02X" : "\n%02X",
                                m->data[i]);
}

void sd_frame_of(const sd_msg *m, zk_fdframe *f)
{
    memset(f, 0, sizeof *f);
    f->id = m->id;
    f->flags = (uint8_t)((m->ext ? ZK_FRAME_EFF : 0) | (m->rtr ? ZK_FRAME_RTR : 0) |
                         (m->fd ? ZK_FRAME_FDF : 0) | (m->brs ? ZK_FRAME_BRS : 0));
    f->len = m->len;
    if (!m->rtr)
        memcpy(f->data, m->data, m->ndata);
}

void sd_msg_to_text(const sd_msg *m, char *buf, size_t size)
{
    char data[SD_DATA_MAX * 2 + 1] = "";
    for (int i = 0; i < m->ndata && i < SD_DATA_MAX; i++)
        g_snprintf(data + 2 * i, sizeof data - 2 * (size_t)i, "%02X", m->data[i]);
    g_snprintf(buf, size, "%X,%d,%d,%d,%s,%u,%d%s", (unsigned)m->id, m->ext ? 1 : 0,
               m->rtr ? 1 : 0, (int)m->len, data, (unsigned)m->period_ms, m->enabled ? 1 : 0,
               !m->fd ? "" : m->brs ? ",FD+BRS" : ",FD");
}

int sd_msg_from_text(const char *text, sd_msg *m, char *err, size_t errsize)
{
    gchar **f = g_strsplit(text ? text : "", ",", -1);
    int rc = -1;
    sd_msg v;
    memset(&v, 0, sizeof v);
    guint fields = g_strv_length(f);
    if (fields != 7 && fields != 8) {
        refuse(err, errsize, _("A message needs seven fields."));
    } else if (fields == 8 && strcmp(g_strstrip(f[7]), "FD") != 0 &&
               strcmp(f[7], "FD+BRS") != 0) {
        refuse(err, errsize, _("The kind of a message must be FD or FD+BRS."));
    } else {
        int ext = strcmp(g_strstrip(f[1]), "1") == 0;
        int rtr = strcmp(g_strstrip(f[2]), "1") == 0;
        v.ext = (uint8_t)ext;
        v.rtr = (uint8_t)rtr;
        v.fd = fields == 8;
        v.brs = fields == 8 && strcmp(f[7], "FD+BRS") == 0;
        v.enabled = strcmp(g_strstrip(f[6]), "1") == 0;
        if (sd_parse_id(f[0], ext, &v.id, err, errsize) == 0 &&
            sd_parse_len(f[3], v.fd, &v.len, err, errsize) == 0 &&
            sd_parse_data(f[4], v.fd, v.data, &v.ndata, err, errsize) == 0 &&
            sd_parse_period(f[5], &v.period_ms, err, errsize) == 0 &&
            sd_check(&v, err, errsize) == 0)
            rc = 0;
    }
    g_strfreev(f);
    if (rc == 0) {
        /* The form has no mark for an explicit length: a length other
         * than the one the data gives was set by hand. */
        v.len_set = (uint8_t)(v.rtr || v.len != sd_len_for(v.fd, v.ndata));
        v.dirty = 1;
        *m = v;
    }
    return rc;
}
