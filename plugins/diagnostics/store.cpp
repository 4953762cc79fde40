/*
 * store.cpp - the rows of the diagnostics list and their bytes: what the
 * decoder reports becomes a row (a request that its response completes
 * later, a J1939 message, a transfer that failed), kept in a ring with
 * the message bytes in a second ring; the texts of a row's columns and
 * details are made when they are shown.
 */
#include "diagnostics.h"

#include <string.h>

#include <initializer_list>

namespace {

/* Single-frame J1939 parameter groups listed although singles are not:
 * the network management and diagnostic ones. */
bool listed_single(uint32_t pgn)
{
    return pgn == J19_PGN_ADDRESS_CLAIMED || pgn == J19_PGN_DM1 || pgn == J19_PGN_DM2 ||
           pgn == J19_PGN_REQUEST || pgn == J19_PGN_ACK;
}

/* Keeps bytes in the arena; returns their offset. A message longer than a
 * quarter of the arena keeps its first quarter. */
uint64_t put_bytes(dgp_store *s, const uint8_t *data, uint32_t *len)
{
    if (*len > s->acap / 4)
        *len = (uint32_t)(s->acap / 4);
    uint64_t at = s->anext;
    if (at % s->acap + *len > s->acap)
        at += s->acap - at % s->acap;
    memcpy(s->arena + at % s->acap, data, *len);
    s->anext = at + *len;
    if (s->anext > s->acap && s->anext - s->acap > s->afirst)
        s->afirst = s->anext - s->acap;
    return at;
}

/* The channel of the event being stored (under the store's lock). */
thread_local uint8_t s_event_chan;

dgp_row *new_row(dgp_store *s, uint64_t *seq)
{
    if (s->next - s->first >= s->cap) {
        s->first++;
        s->dropped++;
    }
    *seq = s->next++;
    dgp_row *r = &s->rows[*seq % s->cap];
    memset(r, 0, sizeof *r);
    r->chan = s_event_chan;
    return r;
}

dgp_row *row_of(dgp_store *s, uint64_t handle)
{
    if (handle == 0 || handle - 1 < s->first || handle - 1 >= s->next)
        return nullptr;
    return &s->rows[(handle - 1) % s->cap];
}

void set_addr(uint32_t *id, uint8_t *ext, uint8_t *mode, uint8_t *ae, const itp_addr &a)
{
    *id = a.id;
    *ext = a.ext;
    *mode = a.mode;
    *ae = a.ae;
}

/* A row changed in place: its new texts must be drawn. */
void note_update(dgp_store *s, uint64_t seq)
{
    for (uint32_t i = 0; i < s->nupdated; i++)
        if (s->updated[i] == seq)
            return;
    if (s->nupdated < G_N_ELEMENTS(s->updated))
        s->updated[s->nupdated++] = seq;
    else
        s->updated_overflow = 1;
}

void note_time(dgp_store *s, int64_t t)
{
    if (!s->have_t0) {
        s->have_t0 = 1;
        s->t0_us = t;
    }
}

/* A row of an ISO-TP message: request, response or error. */
dgp_row *tp_row(dgp_store *s, itp_decoder *tp, const itp_event *ev, uint64_t *seq)
{
    dgp_row *r = new_row(s, seq);
    const itp_pair *p = itp_get_pair(tp, ev->pair);
    r->t_us = (int64_t)ev->t_last;
    r->fd = ev->fd;
    r->tx = ev->tx;
    /* Columns read tester -> ECU whichever side sent. */
    if (p && ev->dir == ITP_DIR_RESP) {
        set_addr(&r->src, &r->src_ext, &r->src_mode, &r->src_ae, p->req);
        set_addr(&r->dst, &r->dst_ext, &r->dst_mode, &r->dst_ae, ev->src);
    } else {
        set_addr(&r->src, &r->src_ext, &r->src_mode, &r->src_ae, ev->src);
        if (p && !p->functional)
            set_addr(&r->dst, &r->dst_ext, &r->dst_mode, &r->dst_ae, p->resp);
        r->functional = p && p->functional;
    }
    note_time(s, r->t_us);
    return r;
}

void attach_response(dgp_store *s, dgp_row *r, const itp_event *ev)
{
    r->resp_len = ev->len;
    r->resp_off = put_bytes(s, ev->data, &r->resp_len);
    r->t_resp_us = (int64_t)ev->t_last;
    r->status = ev->data[0] == 0x7F ? DGS_NEGATIVE : DGS_OK;
    set_addr(&r->dst, &r->dst_ext, &r->dst_mode, &r->dst_ae, ev->src);
}

uint8_t proto_of(const uint8_t *data, uint32_t len)
{
    return uds_is_obd(uds_request_sid(data, len)) ? DGP_OBD : DGP_UDS;
}

}  // namespace

int dgp_store_init(dgp_store *s, uint32_t rows, uint64_t bytes)
{
    memset(s, 0, sizeof *s);
    g_mutex_init(&s->lock);
    s->rows = g_try_new0(dgp_row, rows);
    s->arena = (uint8_t *)g_try_malloc(bytes);
    if (!s->rows || !s->arena) {
        dgp_store_free(s);
        return -1;
    }
    s->cap = rows;
    s->acap = bytes;
    return 0;
}

void dgp_store_free(dgp_store *s)
{
    g_free(s->rows);
    g_free(s->arena);
    s->rows = nullptr;
    s->arena = nullptr;
    g_mutex_clear(&s->lock);
}

void dgp_store_clear(dgp_store *s)
{
    g_mutex_lock(&s->lock);
    s->first = s->next;
    s->afirst = s->anext;
    s->have_t0 = 0;
    s->dropped = 0;
    s->nupdated = 0;
    s->updated_overflow = 1;   /* the view shows no row now: draw it all */
    g_mutex_unlock(&s->lock);
}

const dgp_row *dgp_store_row(const dgp_store *s, uint64_t seq)
{
    if (seq < s->first || seq >= s->next)
        return nullptr;
    return &s->rows[seq % s->cap];
}

const uint8_t *dgp_store_bytes(const dgp_store *s, uint64_t off, uint32_t len)
{
    if (len == 0 || off < s->afirst || off + len > s->anext)
        return nullptr;
    return s->arena + off % s->acap;
}

uint64_t dgp_store_event(dgp_store *s, itp_decoder *tp, const dg_event *ev, int j1939_singles,
                         int chan)
{
    if (ev->kind == DG_PAIR_FOUND)
        return 0;
    if (ev->kind == DG_J1939 && ev->j->via == J19_SINGLE && !j1939_singles && !listed_single(ev->j->pgn))
        return 0;
    g_mutex_lock(&s->lock);
    s_event_chan = (uint8_t)chan;
    uint64_t seq = UINT64_MAX;
    switch (ev->kind) {
    case DG_REQUEST: {
        dgp_row *r = tp_row(s, tp, ev->tp, &seq);
        r->proto = proto_of(ev->tp->data, ev->tp->len);
        r->req_len = ev->tp->len;
        r->req_off = put_bytes(s, ev->tp->data, &r->req_len);
        r->status = uds_suppresses_response(ev->tp->data, ev->tp->len) ? DGS_SUPPRESSED : DGS_WAITING;
        break;
    }
    case DG_RESPONSE: {
        dgp_row *r = row_of(s, ev->handle);
        if (r && r->resp_len) {
            /* A second ECU answering a functional request: a row of its own
             * with the same request. */
            const dgp_row req = *r;
            r = new_row(s, &seq);
            *r = req;
            r->dst = 0;
        } else if (!r) {
            r = tp_row(s, tp, ev->tp, &seq);
            r->proto = proto_of(ev->tp->data, ev->tp->len);
        } else {
            seq = ev->handle - 1;
            note_update(s, seq);
        }
        attach_response(s, r, ev->tp);
        if (!ev->handle || !row_of(s, ev->handle))
            r->status = DGS_UNASKED;
        break;
    }
    case DG_PENDING:
    case DG_NO_RESPONSE: {
        dgp_row *r = row_of(s, ev->handle);
        if (r && !r->resp_len) {
            r->status = ev->kind == DG_PENDING ? DGS_PENDING : DGS_NO_RESPONSE;
            if (ev->kind == DG_PENDING && r->pendings < 255)
                r->pendings++;
            if (ev->kind == DG_PENDING && !r->t_pend_us && ev->tp)
                r->t_pend_us = (int64_t)ev->tp->t_last;
            if (ev->kind == DG_NO_RESPONSE)
                r->t_resp_us = (int64_t)ev->t_us;
            note_update(s, ev->handle - 1);
        }
        break;
    }
    case DG_TP_ERROR: {
        dgp_row *r = tp_row(s, tp, ev->tp, &seq);
        r->proto = DGP_ISOTP;
        r->status = DGS_ERROR;
        r->err = (uint16_t)ev->tp->code;
        r->declared = ev->tp->declared;
        r->expect = ev->tp->expect;
        r->got = ev->tp->got;
        r->bad_what = ev->tp->bad_what;
        r->t_resp_us = (int64_t)ev->tp->t_last;
        r->req_len = ev->tp->len;
        r->req_off = put_bytes(s, ev->tp->data, &r->req_len);
        break;
    }
    case DG_J1939:
    case DG_J1939_ERROR: {
        const j19_event *j = ev->j;
        dgp_row *r = new_row(s, &seq);
        r->proto = DGP_J1939;
        r->t_us = (int64_t)j->t_last;
        r->t_resp_us = (int64_t)j->t_first;
        r->src = j->sa;
        r->dst = j->da;
        r->src_ext = r->dst_ext = 1;
        r->pgn = j->pgn;
        r->prio = j->prio;
        r->via = j->via;
        r->fd = j->fd;
        r->tx = j->tx;
        r->status = ev->kind == DG_J1939 ? DGS_MESSAGE : DGS_ERROR;
        r->err = ev->kind == DG_J1939 ? 0 : (uint16_t)(100 + j->code);
        r->declared = j->declared;
        r->expect = j->expect;
        r->got = j->got;
        r->reason = j->reason;
        r->req_len = j->len;
        if (j->len)
            r->req_off = put_bytes(s, j->data, &r->req_len);
        note_time(s, r->t_us);
        break;
    }
    default:
        break;
    }
    g_mutex_unlock(&s->lock);
    return seq == UINT64_MAX ? 0 : seq + 1;
}

/* --------------------------------------------------------------- texts */

const char *dgp_proto_name(uint8_t proto)
{
    switch (proto) {
    case DGP_UDS: return "UDS";
    case DGP_OBD: return "OBD-II";
    case DGP_ISOTP: return "ISO-TP";
    default: return "J1939";
    }
}

const char *dgp_status_text(uint8_t status)
{
    switch (status) {
    case DGS_WAITING: return _("waiting");
    case DGS_OK: return _("OK");
    case DGS_NEGATIVE: return _("negative");
    case DGS_PENDING: return _("pending");
    case DGS_NO_RESPONSE: return _("no response");
    /* TRANSLATORS: status of a request that asked for no positive response */
    case DGS_SUPPRESSED: return _("none asked");
    /* TRANSLATORS: status of a response whose request was not seen */
    case DGS_UNASKED: return _("unasked");
    case DGS_ERROR: return _("error");
    default: return "";
    }
}

const dg_texts *dgp_texts(void)
{
    static dg_texts t;
    /* TRANSLATORS: states of a warning lamp (J1939 DM1, OBD-II MIL) */
    t.lamp[0] = _("off");
    t.lamp[1] = _("on");
    t.lamp[2] = _("reserved");
    t.lamp[3] = _("not available");
    t.flash[0] = _("slow flash");
    t.flash[1] = _("fast flash");
    t.flash[2] = _("reserved");
    t.flash[3] = "";
    /* TRANSLATORS: no trouble codes in a DM1 or OBD-II answer */
    t.none = _("none");
    /* TRANSLATORS: label of identification data shown as text */
    t.ascii = _("text");
    t.tr = [](const char *text) { return (const char *)g_dgettext(GETTEXT_PACKAGE, text); };
    return &t;
}

namespace {

/* Microseconds as seconds (decimals 6) or milliseconds (3), with a point
 * whatever the locale, as the bus view writes its times. */
void fixed_text(char *out, size_t size, int64_t us, int decimals)
{
    const char *sign = us < 0 ? "-" : "";
    const uint64_t a = us < 0 ? 0 - (uint64_t)us : (uint64_t)us;
    if (decimals == 3)
        g_snprintf(out, size, "%s%llu.%03u", sign, (unsigned long long)(a / 1000), (unsigned)(a % 1000));
    else
        g_snprintf(out, size, "%s%llu.%06u", sign, (unsigned long long)(a / 1000000), (unsigned)(a % 1000000));
}

void addr_text(char *out, size_t size, uint32_t id, uint8_t ext, uint8_t mode, uint8_t ae)
{
    if (mode == ITP_NORMAL)
        g_snprintf(out, size, ext ? "%08X" : "%03X", id);
    else
        g_snprintf(out, size, ext ? "%08X%c%02X" : "%03X%c%02X", id, mode == ITP_EXTENDED ? ':' : '@', ae);
}

/* The short name of a failure, for the service column. */
const char *error_name(uint16_t err)
{
    switch (err) {
    case ITP_E_SEQUENCE:
    case 100 + J19_E_SEQUENCE: return _("sequence error");
    case ITP_E_TIMEOUT_BS:
    case ITP_E_TIMEOUT_CR:
    case 100 + J19_E_TIMEOUT: return _("timeout");
    case ITP_E_OVERFLOW: return _("overflow");
    case ITP_E_INTERRUPTED:
    case 100 + J19_E_INTERRUPTED: return _("cut off");
    case ITP_E_UNEXPECTED_CF:
    case 100 + J19_E_UNEXPECTED_DT: return _("no start");
    case ITP_E_BAD_FRAME:
    case 100 + J19_E_BAD_CM: return _("bad frame");
    case ITP_E_TOO_LONG: return _("too long");
    case 100 + J19_E_ABORT: return _("aborted");
    case 100 + J19_E_INCOMPLETE: return _("incomplete");
    default: return _("busy");
    }
}

/* What went wrong, with its numbers. */
void error_text(const dgp_row *r, char *out, size_t size)
{
    switch (r->err) {
    case ITP_E_SEQUENCE:
        g_snprintf(out, size, _("consecutive frame %u where %u was due"), r->got, r->expect);
        break;
    case ITP_E_TIMEOUT_BS:
        g_snprintf(out, size, _("no flow control within N_Bs"));
        break;
    case ITP_E_TIMEOUT_CR:
        g_snprintf(out, size, _("no consecutive frame within N_Cr"));
        break;
    case ITP_E_OVERFLOW:
        g_snprintf(out, size, _("the receiver's flow control says overflow"));
        break;
    case ITP_E_INTERRUPTED:
        g_snprintf(out, size, _("cut off by a new message from the same sender"));
        break;
    case ITP_E_UNEXPECTED_CF:
        g_snprintf(out, size, _("consecutive frames without a first frame"));
        break;
    case ITP_E_BAD_FRAME:
        switch (r->bad_what) {
        case ITP_BAD_SF_LENGTH: g_snprintf(out, size, _("single frame whose length does not fit it")); break;
        case ITP_BAD_FF_LENGTH: g_snprintf(out, size, _("first frame whose length is not valid")); break;
        case ITP_BAD_CF_LENGTH: g_snprintf(out, size, _("consecutive frame shorter than the first frame")); break;
        case ITP_BAD_FLOW_STATUS:
            g_snprintf(out, size, _("flow control with the reserved flow status %u"), r->got);
            break;
        case ITP_BAD_FC_LENGTH: g_snprintf(out, size, _("flow control shorter than 3 bytes")); break;
        default: g_snprintf(out, size, _("reserved frame type %X"), r->got); break;
        }
        break;
    case ITP_E_TOO_LONG:
        g_snprintf(out, size, _("a message of %u bytes, longer than the decoder keeps"), r->declared);
        return;
    case ITP_E_BUSY:
    case 100 + J19_E_BUSY:
        g_snprintf(out, size, _("more transfers at once than the decoder follows"));
        return;
    case 100 + J19_E_SEQUENCE:
        g_snprintf(out, size, _("TP.DT %u where %u was due"), r->got, r->expect);
        break;
    case 100 + J19_E_TIMEOUT:
        g_snprintf(out, size, _("no TP.DT or TP.CM within %u ms"), r->got);
        break;
    case 100 + J19_E_ABORT: {
        const char *why = j19_abort_name(r->reason);
        g_snprintf(out, size, _("connection abort, reason %u%s%s"), r->reason, why ? ": " : "", why ? why : "");
        break;
    }
    case 100 + J19_E_INTERRUPTED:
        g_snprintf(out, size, _("cut off by a new transfer from the same sender"));
        break;
    case 100 + J19_E_BAD_CM:
        g_snprintf(out, size, _("TP.CM that is not valid (control byte %02X)"), r->got);
        return;
    case 100 + J19_E_UNEXPECTED_DT:
        g_snprintf(out, size, _("TP.DT without a transfer"));
        return;
    case 100 + J19_E_INCOMPLETE:
        g_snprintf(out, size,
                   g_dngettext(GETTEXT_PACKAGE, "end of message acknowledged after %u of %u packet",
                               "end of message acknowledged after %u of %u packets", r->expect),
                   r->got, r->expect);
        return;
    default:
        out[0] = 0;
        return;
    }
    if (r->declared) {
        const size_t n = strlen(out);
        g_snprintf(out + n, size - n, _(", %u of %u bytes"), r->req_len, r->declared);
    }
}

void describe_row(const dgp_store *s, const dgp_row *r, int detail, char *out, size_t size)
{
    out[0] = 0;
    if (r->status == DGS_ERROR) {
        error_text(r, out, size);
        return;
    }
    if (r->proto == DGP_J1939) {
        const uint8_t *b = dgp_store_bytes(s, r->req_off, r->req_len);
        if (!b && r->req_len)
            return;
        /* A parameter group this decoder does not know, from the database. */
        if (j19_pgn_name(r->pgn) == nullptr && !detail && dgp.j1939_db_loaded &&
            dgp_j1939_summary(r->pgn, b, r->req_len, out, size))
            return;
        j19_describe(r->pgn, b, r->req_len, detail, dgp_texts(), out, size);
        return;
    }
    const uint8_t *resp = dgp_store_bytes(s, r->resp_off, r->resp_len);
    const uint8_t *req = dgp_store_bytes(s, r->req_off, r->req_len);
    if (resp)
        uds_describe(resp, r->resp_len, detail, dgp_texts(), out, size);
    else if (req)
        uds_describe(req, r->req_len, detail, dgp_texts(), out, size);
    else if (r->req_len || r->resp_len)
        g_snprintf(out, size, "%s", _("(bytes no longer kept)"));
}

}  // namespace

void dgp_row_text(const dgp_store *s, const dgp_row *r, int col, char *out, size_t size)
{
    out[0] = 0;
    switch (col) {
    case DGP_COL_TIME:
        fixed_text(out, size, r->t_us - (s->host_origin ? nbkit_origin_us() : s->t0_us), 6);
        break;
    case DGP_COL_ADDR: {
        char a[24] = "", b[24] = "", chan[40] = "";
        /* Live rows of a window with several channels: the channel first. */
        if (s->host_origin && dgp.nchan > 1) {
            char name[32];
            if (nb_chan_get_name(r->chan, name, sizeof name) != 0 || !name[0])
                g_snprintf(name, sizeof name, "#%u", r->chan);
            g_snprintf(chan, sizeof chan, "%s: ", name);
        }
        if (r->proto == DGP_J1939) {
            g_snprintf(out, size, "%s%02X \u2192 %02X", chan, r->src, r->dst);
            break;
        }
        addr_text(a, sizeof a, r->src, r->src_ext, r->src_mode, r->src_ae);
        if (r->dst || r->dst_ext)
            addr_text(b, sizeof b, r->dst, r->dst_ext, r->dst_mode, r->dst_ae);
        else if (r->functional)
            g_strlcpy(b, "*", sizeof b);
        g_snprintf(out, size, "%s%s%s%s", chan, a, *b ? " \u2192 " : "", b);
        break;
    }
    case DGP_COL_PROTO:
        g_snprintf(out, size, "%s%s", dgp_proto_name(r->proto), r->fd ? " FD" : "");
        break;
    case DGP_COL_SERVICE:
        if (r->status == DGS_ERROR) {
            g_strlcpy(out, error_name(r->err), size);
        } else if (r->proto == DGP_J1939) {
            const char *name = j19_pgn_name(r->pgn);
            const char *sp = name ? strchr(name, ' ') : nullptr;
            g_snprintf(out, size, "%u%s%.*s", r->pgn, name ? " " : "", sp ? (int)(sp - name) : 0, name ? name : "");
        } else {
            const uint8_t *b = dgp_store_bytes(s, r->req_len ? r->req_off : r->resp_off,
                                               r->req_len ? r->req_len : r->resp_len);
            const int sid = b ? uds_request_sid(b, r->req_len ? r->req_len : r->resp_len) : -1;
            const char *name = sid < 0 ? nullptr : uds_is_obd(sid) ? obd_mode_name((uint8_t)sid)
                                                                    : uds_service_name((uint8_t)sid);
            if (sid >= 0)
                g_snprintf(out, size, "%02X %s", sid, name ? name : "");
        }
        break;
    case DGP_COL_LEN:
        if (r->proto == DGP_J1939 || r->status == DGS_ERROR)
            g_snprintf(out, size, "%u", r->req_len);
        else if (r->req_len && r->resp_len)
            g_snprintf(out, size, "%u / %u", r->req_len, r->resp_len);
        else if (r->req_len)
            g_snprintf(out, size, "%u / \u2013", r->req_len);
        else
            g_snprintf(out, size, "\u2013 / %u", r->resp_len);
        break;
    case DGP_COL_STATUS:
        g_strlcpy(out, dgp_status_text(r->status), size);
        break;
    case DGP_COL_SUMMARY:
        describe_row(s, r, 0, out, size);
        break;
    default:
        break;
    }
}

namespace {

void bytes_block(GString *out, const char *title, const uint8_t *b, uint32_t len, uint32_t kept)
{
    g_string_append_printf(out, "%s (%u)\n", title, len);
    if (!b) {
        g_string_append_printf(out, "  %s\n", _("(bytes no longer kept)"));
        return;
    }
    for (uint32_t i = 0; i < kept; i += 16) {
        g_string_append_printf(out, "  %04X ", i);
        for (uint32_t k = i; k < i + 16 && k < kept; k++)
            g_string_append_printf(out, " %02X", b[k]);
        g_string_append_c(out, '\n');
    }
}

}  // namespace

void dgp_row_details(const dgp_store *s, const dgp_row *r, GString *out)
{
    char text[4096];
    const char *cols[DGP_N_COLS] = {_("Time"), _("Addresses"), _("Protocol"), _("Service"),
                                    _("Length"), _("Status"), nullptr};
    for (int c = 0; c < DGP_COL_SUMMARY; c++) {
        dgp_row_text(s, r, c, text, sizeof text);
        if (*text)
            g_string_append_printf(out, "%s: %s\n", cols[c], text);
    }
    if (r->proto == DGP_J1939 && r->status != DGS_ERROR)
        g_string_append_printf(out, "PGN %u (%05X), %s %u, SA %02X, DA %02X%s\n", r->pgn, r->pgn, _("priority"),
                               r->prio, r->src, r->dst,
                               r->via == J19_BAM ? ", TP.BAM" : r->via == J19_RTS ? ", TP.CM RTS/CTS" : "");
    if (r->t_resp_us && (r->resp_len || r->status == DGS_NO_RESPONSE)) {
        fixed_text(text, sizeof text, r->t_resp_us - r->t_us, 3);
        g_string_append_printf(out, _("Time to the answer: %s ms\n"), text);
    }
    if (r->pendings)
        g_string_append_printf(out, _("Response pending (NRC 78) received: %u\n"), (unsigned)r->pendings);
    if (r->t_pend_us) {
        fixed_text(text, sizeof text, r->t_pend_us - r->t_us, 3);
        g_string_append_printf(out, _("First response pending after: %s ms\n"), text);
    }
    g_string_append_c(out, '\n');
    describe_row(s, r, 1, text, sizeof text);
    if (r->req_len) {
        const uint8_t *b = dgp_store_bytes(s, r->req_off, r->req_len);
        bytes_block(out, r->status == DGS_ERROR ? _("Bytes received") : r->proto == DGP_J1939 ? _("Data") : _("Request"),
                    b, r->req_len, r->req_len);
        if (b && r->proto != DGP_J1939 && r->status != DGS_ERROR) {
            char req[4096];
            uds_describe(b, r->req_len, 1, dgp_texts(), req, sizeof req);
            g_string_append_printf(out, "%s\n", req);
        }
    }
    if (r->resp_len) {
        g_string_append_c(out, '\n');
        bytes_block(out, _("Response"), dgp_store_bytes(s, r->resp_off, r->resp_len), r->resp_len, r->resp_len);
    }
    if (*text && (r->resp_len || r->proto == DGP_J1939 || r->status == DGS_ERROR))
        g_string_append_printf(out, "%s\n", text);
}

bool dgp_filter_match(const dgp_store *s, const dgp_filter *f, const dgp_row *r)
{
    switch (f->show) {
    case DGF_UDS:
        if (r->proto != DGP_UDS)
            return false;
        break;
    case DGF_OBD:
        if (r->proto != DGP_OBD)
            return false;
        break;
    case DGF_J1939:
        if (r->proto != DGP_J1939)
            return false;
        break;
    case DGF_PROBLEMS:
        if (r->status != DGS_ERROR && r->status != DGS_NEGATIVE && r->status != DGS_NO_RESPONSE)
            return false;
        break;
    default:
        break;
    }
    if (!f->text[0])
        return true;
    char text[1024];
    for (int c : {DGP_COL_ADDR, DGP_COL_SERVICE, DGP_COL_SUMMARY}) {
        dgp_row_text(s, r, c, text, sizeof text);
        char *fold = g_utf8_casefold(text, -1);
        const bool hit = strstr(fold, f->text) != nullptr;
        g_free(fold);
        if (hit)
            return true;
    }
    return false;
}
