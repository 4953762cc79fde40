/*
 * j1939.cpp - J1939 identifiers, transport-protocol reassembly as an
 * observer, NAME and DM1/DM2 decoding.
 */
#include "j1939.h"

#include <string.h>

#include <new>

namespace {

enum cm_control : uint8_t {
    CM_RTS = 0x10,
    CM_CTS = 0x11,
    CM_EOMA = 0x13,
    CM_BAM = 0x20,
    CM_ABORT = 0xFF,
};

enum sess_state : uint8_t {
    S_FREE = 0,
    S_WAIT_CTS = 1,      /* RTS or a whole block seen: a CTS or EndOfMsgAck is due */
    S_DATA = 2,          /* TP.DT due */
    S_HOLD = 3,          /* CTS for 0 packets: the next CTS is due */
};

struct session {
    uint8_t state, via, sa, da, prio, tx;
    uint16_t packets, next, window_end;
    uint32_t pgn, size;
    uint64_t t_first, t_last, deadline;
    uint32_t deadline_ms;
    uint8_t data[J19_TP_MAX];
};

uint32_t le24(const uint8_t *p)
{
    return (uint32_t)p[0] | (uint32_t)p[1] << 8 | (uint32_t)p[2] << 16;
}

}  // namespace

struct j19_decoder {
    j19_config cfg;
    j19_event_fn fn;
    void *ctx;
    session sess[J19_SESSIONS];
    int8_t of[256 * 256];            /* session of (sender, receiver), -1 none */
    uint8_t orphan[256 * 256 / 8];   /* TP.DT of (sender, receiver) already reported */
    uint64_t next_deadline;
};

void j19_split(uint32_t id, j19_id *out)
{
    id &= 0x1FFFFFFFu;
    out->prio = (uint8_t)(id >> 26);
    out->sa = (uint8_t)id;
    const uint8_t pf = (uint8_t)(id >> 16);
    const uint32_t dp = (id >> 24) & 3u;
    out->pdu1 = pf < 240;
    if (out->pdu1) {
        out->da = (uint8_t)(id >> 8);
        out->pgn = dp << 16 | (uint32_t)pf << 8;
    } else {
        out->da = J19_GLOBAL;
        out->pgn = (id >> 8) & 0x3FFFFu;
    }
}

uint32_t j19_make_id(uint8_t prio, uint32_t pgn, uint8_t da, uint8_t sa)
{
    uint32_t id = (uint32_t)(prio & 7) << 26 | (pgn & 0x3FFFFu) << 8 | sa;
    if (((pgn >> 8) & 0xFF) < 240)
        id = (id & ~0xFF00u) | (uint32_t)da << 8;
    return id;
}

void j19_config_default(j19_config *cfg)
{
    memset(cfg, 0, sizeof *cfg);
    cfg->t1_ms = 750;
    cfg->t2_ms = 1250;
    cfg->t3_ms = 1250;
    cfg->t4_ms = 1050;
    cfg->singles = 1;
}

namespace {

void emit(j19_decoder *d, const j19_event *ev)
{
    if (d->fn)
        d->fn(d->ctx, ev);
}

int key(uint8_t sa, uint8_t da)
{
    return sa << 8 | da;
}

bool is_orphan(const j19_decoder *d, int k)
{
    return d->orphan[k >> 3] & (1u << (k & 7));
}

void set_orphan(j19_decoder *d, int k, bool on)
{
    if (on)
        d->orphan[k >> 3] |= (uint8_t)(1u << (k & 7));
    else
        d->orphan[k >> 3] &= (uint8_t)~(1u << (k & 7));
}

void fill_event(const session &s, int code, j19_event *ev)
{
    memset(ev, 0, sizeof *ev);
    ev->code = code;
    ev->pgn = s.pgn;
    ev->via = s.via;
    ev->prio = s.prio;
    ev->sa = s.sa;
    ev->da = s.da;
    ev->tx = s.tx;
    ev->declared = s.size;
    ev->packets = s.packets;
    ev->t_first = s.t_first;
    ev->t_last = s.t_last;
    ev->data = s.data;
    const uint32_t have = (uint32_t)(s.next - 1) * 7u;
    ev->len = have < s.size ? have : s.size;
}

void drop(j19_decoder *d, int i)
{
    session &s = d->sess[i];
    d->of[key(s.sa, s.da)] = -1;
    s.state = S_FREE;
}

/* Reports the transfer as failed and drops it; its further TP.DT pass
 * unreported. */
void fail(j19_decoder *d, int i, int code, uint32_t expect = 0, uint32_t got = 0, uint8_t reason = 0)
{
    session &s = d->sess[i];
    j19_event ev;
    fill_event(s, code, &ev);
    ev.expect = expect;
    ev.got = got;
    ev.reason = reason;
    emit(d, &ev);
    set_orphan(d, key(s.sa, s.da), true);
    drop(d, i);
}

void set_deadline(j19_decoder *d, session &s, uint64_t now, uint32_t ms)
{
    s.deadline = now + (uint64_t)ms * 1000u;
    s.deadline_ms = ms;
    if (s.deadline < d->next_deadline)
        d->next_deadline = s.deadline;
}

void check_timeout(j19_decoder *d, int i, uint64_t now)
{
    session &s = d->sess[i];
    if (s.state != S_FREE && now > s.deadline)
        fail(d, i, J19_E_TIMEOUT, 0, s.deadline_ms);
}

void frame_event(const dg_frame *f, const j19_id &id, int code, j19_event *ev)
{
    memset(ev, 0, sizeof *ev);
    ev->code = code;
    ev->pgn = id.pgn;
    ev->prio = id.prio;
    ev->sa = id.sa;
    ev->da = id.da;
    ev->tx = (f->flags & DG_TX) ? 1 : 0;
    ev->fd = (f->flags & DG_FDF) ? 1 : 0;
    ev->t_first = ev->t_last = f->t_us;
    ev->data = f->data;
    ev->len = f->len;
}

void bad_cm(j19_decoder *d, const dg_frame *f, const j19_id &id, uint8_t control)
{
    j19_event ev;
    frame_event(f, id, J19_E_BAD_CM, &ev);
    ev.got = control;
    if (f->len >= 8)
        ev.pgn = le24(f->data + 5);
    emit(d, &ev);
}

void open_session(j19_decoder *d, const dg_frame *f, const j19_id &id, uint8_t via)
{
    const uint8_t *p = f->data;
    const uint32_t size = (uint32_t)p[1] | (uint32_t)p[2] << 8;
    const uint32_t packets = p[3];
    if (size < 9 || size > J19_TP_MAX || packets != (size + 6) / 7 ||
        (via == J19_BAM && id.da != J19_GLOBAL)) {
        bad_cm(d, f, id, p[0]);
        return;
    }
    const int k = key(id.sa, id.da);
    if (d->of[k] >= 0) {
        d->sess[d->of[k]].t_last = f->t_us;
        fail(d, d->of[k], J19_E_INTERRUPTED);
    }
    set_orphan(d, k, false);
    int i = -1;
    for (int j = 0; j < J19_SESSIONS && i < 0; j++)
        if (d->sess[j].state == S_FREE)
            i = j;
    if (i < 0) {
        j19_event ev;
        frame_event(f, id, J19_E_BUSY, &ev);
        ev.pgn = le24(p + 5);
        ev.via = via;
        ev.declared = size;
        ev.packets = packets;
        ev.len = 0;
        emit(d, &ev);
        set_orphan(d, k, true);
        return;
    }
    session &s = d->sess[i];
    s.via = via;
    s.sa = id.sa;
    s.da = id.da;
    s.prio = id.prio;
    s.tx = (f->flags & DG_TX) ? 1 : 0;
    s.pgn = le24(p + 5);
    s.size = size;
    s.packets = (uint16_t)packets;
    s.next = 1;
    s.window_end = (uint16_t)(packets + 1);
    s.t_first = s.t_last = f->t_us;
    d->of[k] = (int8_t)i;
    if (via == J19_BAM) {
        s.state = S_DATA;
        set_deadline(d, s, f->t_us, d->cfg.t1_ms);
    } else {
        s.state = S_WAIT_CTS;
        set_deadline(d, s, f->t_us, d->cfg.t3_ms);
    }
}

void take_cm(j19_decoder *d, const dg_frame *f, const j19_id &id)
{
    if (f->len < 8) {
        bad_cm(d, f, id, f->len ? f->data[0] : 0);
        return;
    }
    const uint8_t *p = f->data;
    switch (p[0]) {
    case CM_BAM:
    case CM_RTS:
        open_session(d, f, id, p[0] == CM_BAM ? J19_BAM : J19_RTS);
        return;
    case CM_CTS:
    case CM_EOMA: {
        /* Sent by the receiver: the transfer is (da -> sa). */
        const int i = d->of[key(id.da, id.sa)];
        if (i < 0 || d->sess[i].via != J19_RTS)
            return;
        check_timeout(d, i, f->t_us);
        session &s = d->sess[i];
        if (s.state == S_FREE)
            return;
        s.t_last = f->t_us;
        if (p[0] == CM_EOMA) {
            fail(d, i, J19_E_INCOMPLETE, s.packets, s.next - 1u);
            return;
        }
        if (p[1] == 0) {
            s.state = S_HOLD;
            set_deadline(d, s, f->t_us, d->cfg.t4_ms);
            return;
        }
        if (p[2] == 0 || p[2] > s.packets) {
            bad_cm(d, f, id, p[0]);
            return;
        }
        s.state = S_DATA;
        s.next = p[2];
        s.window_end = (uint16_t)(p[2] + p[1]);
        set_deadline(d, s, f->t_us, d->cfg.t2_ms);
        return;
    }
    case CM_ABORT: {
        int i = d->of[key(id.sa, id.da)];
        if (i < 0)
            i = d->of[key(id.da, id.sa)];
        if (i >= 0) {
            d->sess[i].t_last = f->t_us;
            fail(d, i, J19_E_ABORT, 0, 0, p[1]);
            return;
        }
        j19_event ev;
        frame_event(f, id, J19_E_ABORT, &ev);
        ev.pgn = le24(p + 5);
        ev.via = J19_RTS;
        ev.reason = p[1];
        ev.len = 0;
        emit(d, &ev);
        return;
    }
    default:
        bad_cm(d, f, id, p[0]);
        return;
    }
}

void take_dt(j19_decoder *d, const dg_frame *f, const j19_id &id)
{
    const int k = key(id.sa, id.da);
    const int i = d->of[k];
    if (i >= 0)
        check_timeout(d, i, f->t_us);
    if (d->of[k] < 0) {
        if (!is_orphan(d, k)) {
            set_orphan(d, k, true);
            j19_event ev;
            frame_event(f, id, J19_E_UNEXPECTED_DT, &ev);
            ev.got = f->len ? f->data[0] : 0;
            emit(d, &ev);
        }
        return;
    }
    session &s = d->sess[i];
    s.t_last = f->t_us;
    const uint8_t seq = f->len ? f->data[0] : 0;
    /* A TP.DT while a CTS is awaited is taken when it is the one due: the
     * CTS may be out of sight. Within a CTS's window only the packets it
     * asked for count. */
    if (seq != s.next || seq > s.packets || (s.state == S_DATA && seq >= s.window_end)) {
        fail(d, i, J19_E_SEQUENCE, s.next, seq);
        return;
    }
    const uint32_t pos = (uint32_t)(seq - 1) * 7u;
    uint32_t n = f->len > 1 ? f->len - 1u : 0u;
    if (n > 7)
        n = 7;
    if (pos + n > s.size)
        n = s.size - pos;
    memcpy(s.data + pos, f->data + 1, n);
    if (n < 7 && pos + n < s.size) {
        /* A short packet that is not the last: the bytes are missing. */
        fail(d, i, J19_E_SEQUENCE, s.next, seq);
        return;
    }
    s.next++;
    if (seq == s.packets) {
        j19_event ev;
        fill_event(s, J19_MESSAGE, &ev);
        ev.len = s.size;
        emit(d, &ev);
        drop(d, i);
        return;
    }
    if (s.via == J19_RTS && s.next == s.window_end) {
        s.state = S_WAIT_CTS;
        set_deadline(d, s, f->t_us, d->cfg.t3_ms);
    } else {
        s.state = S_DATA;
        set_deadline(d, s, f->t_us, d->cfg.t1_ms);
    }
}

}  // namespace

j19_decoder *j19_new(const j19_config *cfg, j19_event_fn fn, void *ctx)
{
    j19_decoder *d = new (std::nothrow) j19_decoder;
    if (!d)
        return nullptr;
    d->fn = fn;
    d->ctx = ctx;
    if (cfg)
        d->cfg = *cfg;
    else
        j19_config_default(&d->cfg);
    j19_reset(d, nullptr);
    return d;
}

void j19_free(j19_decoder *d)
{
    delete d;
}

void j19_reset(j19_decoder *d, const j19_config *cfg)
{
    if (cfg)
        d->cfg = *cfg;
    for (session &s : d->sess)
        s.state = S_FREE;
    memset(d->of, -1, sizeof d->of);
    memset(d->orphan, 0, sizeof d->orphan);
    d->next_deadline = UINT64_MAX;
}

int j19_feed(j19_decoder *d, const dg_frame *f)
{
    if (!(f->flags & DG_EXT) || (f->flags & DG_RTR))
        return 0;
    if (f->t_us > d->next_deadline)
        j19_tick(d, f->t_us);
    j19_id id;
    j19_split(f->id, &id);
    if (!(f->flags & DG_FDF)) {
        if (id.pgn == J19_PGN_TP_CM) {
            take_cm(d, f, id);
            return 1;
        }
        if (id.pgn == J19_PGN_TP_DT) {
            take_dt(d, f, id);
            return 1;
        }
    }
    if (d->cfg.singles) {
        j19_event ev;
        frame_event(f, id, J19_MESSAGE, &ev);
        emit(d, &ev);
    }
    return 1;
}

void j19_tick(j19_decoder *d, uint64_t now_us)
{
    if (now_us <= d->next_deadline)
        return;
    uint64_t next = UINT64_MAX;
    for (int i = 0; i < J19_SESSIONS; i++) {
        check_timeout(d, i, now_us);
        if (d->sess[i].state != S_FREE && d->sess[i].deadline < next)
            next = d->sess[i].deadline;
    }
    d->next_deadline = next;
}

void j19_name_decode(const uint8_t data[8], j19_name *out)
{
    uint64_t v = 0;
    for (int i = 7; i >= 0; i--)
        v = v << 8 | data[i];
    out->identity = (uint32_t)(v & 0x1FFFFF);
    out->manufacturer = (uint16_t)((v >> 21) & 0x7FF);
    out->ecu_instance = (uint8_t)((v >> 32) & 7);
    out->function_instance = (uint8_t)((v >> 35) & 31);
    out->function = (uint8_t)(v >> 40);
    out->vehicle_system = (uint8_t)((v >> 49) & 0x7F);
    out->vehicle_system_instance = (uint8_t)((v >> 56) & 15);
    out->industry_group = (uint8_t)((v >> 60) & 7);
    out->arbitrary_address = (uint8_t)(v >> 63);
}

int j19_dm_decode(const uint8_t *data, uint32_t len, j19_dm *out, j19_dtc *dtcs, uint32_t max)
{
    memset(out, 0, sizeof *out);
    if (len < 6)
        return -1;
    out->mil = (data[0] >> 6) & 3;
    out->rsl = (data[0] >> 4) & 3;
    out->awl = (data[0] >> 2) & 3;
    out->pl = data[0] & 3;
    out->mil_flash = (data[1] >> 6) & 3;
    out->rsl_flash = (data[1] >> 4) & 3;
    out->awl_flash = (data[1] >> 2) & 3;
    out->pl_flash = data[1] & 3;
    const uint32_t n = (len - 2) / 4;
    for (uint32_t i = 0; i < n; i++) {
        const uint8_t *p = data + 2 + 4 * i;
        j19_dtc t;
        t.spn = (uint32_t)p[0] | (uint32_t)p[1] << 8 | (uint32_t)(p[2] >> 5) << 16;
        t.fmi = p[2] & 31;
        t.cm = p[3] >> 7;
        t.oc = p[3] & 127;
        /* One all-zero DTC stands for "none"; an all-ones one is padding. */
        if ((n == 1 && t.spn == 0 && t.fmi == 0) || (p[0] & p[1] & p[2] & p[3]) == 0xFF)
            continue;
        if (out->ndtc < max && dtcs)
            dtcs[out->ndtc] = t;
        out->ndtc++;
    }
    return 0;
}

const char *j19_pgn_name(uint32_t pgn)
{
    switch (pgn) {
    case 0x0000: return "TSC1 Torque/Speed Control 1";
    case 0xE800: return "ACKM Acknowledgement";
    case 0xEA00: return "RQST Request";
    case 0xEB00: return "TP.DT Transport Protocol Data Transfer";
    case 0xEC00: return "TP.CM Transport Protocol Connection Management";
    case 0xEE00: return "AC Address Claimed";
    case 0xF000: return "ERC1 Electronic Retarder Controller 1";
    case 0xF001: return "EBC1 Electronic Brake Controller 1";
    case 0xF002: return "ETC1 Electronic Transmission Controller 1";
    case 0xF003: return "EEC2 Electronic Engine Controller 2";
    case 0xF004: return "EEC1 Electronic Engine Controller 1";
    case 0xFDC5: return "ECUID ECU Identification Information";
    case 0xFECA: return "DM1 Active Diagnostic Trouble Codes";
    case 0xFECB: return "DM2 Previously Active Diagnostic Trouble Codes";
    case 0xFECC: return "DM3 Diagnostic Data Clear/Reset of Previously Active DTCs";
    case 0xFEDA: return "SOFT Software Identification";
    case 0xFEE5: return "HOURS Engine Hours, Revolutions";
    case 0xFEE9: return "LFC1 Fuel Consumption (Liquid)";
    case 0xFEEB: return "CI Component Identification";
    case 0xFEEC: return "VI Vehicle Identification";
    case 0xFEEE: return "ET1 Engine Temperature 1";
    case 0xFEEF: return "EFL/P1 Engine Fluid Level/Pressure 1";
    case 0xFEF1: return "CCVS1 Cruise Control/Vehicle Speed 1";
    case 0xFEF2: return "LFE1 Fuel Economy (Liquid)";
    case 0xFEF5: return "AMB Ambient Conditions";
    case 0xFEF6: return "IC1 Inlet/Exhaust Conditions 1";
    case 0xFEF7: return "VEP1 Vehicle Electrical Power 1";
    case 0xFEFC: return "DD1 Dash Display 1";
    default: return nullptr;
    }
}

const char *j19_abort_name(uint8_t reason)
{
    switch (reason) {
    case 1: return "already in one or more connection managed sessions";
    case 2: return "system resources were needed for another task";
    case 3: return "timeout";
    case 4: return "CTS received while a data transfer was in progress";
    case 5: return "maximum retransmit request limit reached";
    case 6: return "unexpected data transfer packet";
    case 7: return "bad sequence number";
    case 8: return "duplicate sequence number";
    case 9: return "total message size above 1785 bytes";
    case 255: return "no reason given";
    default: return nullptr;
    }
}

const char *j19_fmi_name(uint8_t fmi)
{
    static const char *const names[] = {
        "data valid but above normal operational range, most severe level",
        "data valid but below normal operational range, most severe level",
        "data erratic, intermittent or incorrect",
        "voltage above normal, or shorted to high source",
        "voltage below normal, or shorted to low source",
        "current below normal or open circuit",
        "current above normal or grounded circuit",
        "mechanical system not responding or out of adjustment",
        "abnormal frequency or pulse width or period",
        "abnormal update rate",
        "abnormal rate of change",
        "root cause not known",
        "bad intelligent device or component",
        "out of calibration",
        "special instructions",
        "data valid but above normal operating range, least severe level",
        "data valid but above normal operating range, moderately severe level",
        "data valid but below normal operating range, least severe level",
        "data valid but below normal operating range, moderately severe level",
        "received network data in error",
        "data drifted high",
        "data drifted low",
    };
    if (fmi < sizeof names / sizeof names[0])
        return names[fmi];
    return fmi == 31 ? "condition exists" : nullptr;
}
