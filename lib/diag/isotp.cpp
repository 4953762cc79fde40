/*
 * isotp.cpp - ISO-TP reassembly as an observer, segmentation and the
 * sender's flow-control state machine.
 */
#include "isotp.h"

#include <stdlib.h>
#include <string.h>

#include <new>

#include "zelk.h" /* zk_fd_round_len */

namespace {

constexpr uint32_t MAX_LEN_CAP = 1u << 20;
constexpr int HASH_SLOTS = 1024;            /* > 4 x ITP_MAX_ENDPOINTS, a power of two */
constexpr int CANDIDATES = 8;

/* Reassembly state of one endpoint (one sender's address). */
enum ep_state : uint8_t {
    S_IDLE = 0,
    S_WAIT_FC = 1,   /* first frame or a whole block seen: flow control due */
    S_RECV = 2,      /* consecutive frames due */
    S_SKIP = 3,      /* a message that is not kept: its frames pass unread */
    S_ORPHAN = 4,    /* consecutive frames of a message already reported */
};

struct endpoint {
    itp_addr a;
    int16_t pair;
    int16_t peer;            /* the other direction: its flow controls steer us */
    int16_t next;            /* next endpoint on the same identifier */
    int16_t buf;             /* reassembly buffer, -1 none */
    uint8_t dir;
    uint8_t state;
    uint8_t sn;              /* sequence number expected */
    uint8_t fd, tx;
    uint8_t ff_len;          /* length of the first frame: every consecutive frame but the last */
    uint8_t bs_left;         /* frames left in the block, 0 for no limit */
    uint8_t deadline_kind;   /* ITP_E_TIMEOUT_BS or ITP_E_TIMEOUT_CR */
    uint32_t declared, got, frames;
    uint64_t t_first, t_last, deadline;
};

struct candidate {
    uint8_t used, has_fc;
    dg_frame ff, fc;
};

uint32_t key_of(uint32_t id, int ext)
{
    return (id & 0x1FFFFFFFu) | (ext ? 0x80000000u : 0u);
}

uint32_t hash_of(uint32_t key)
{
    return (key * 2654435761u) >> 22;   /* 10 bits */
}

bool addr_equal(const itp_addr &x, const itp_addr &y)
{
    return x.id == y.id && !x.ext == !y.ext && x.mode == y.mode &&
           (x.mode == ITP_NORMAL || x.ae == y.ae);
}

uint32_t be32(const uint8_t *p)
{
    return (uint32_t)p[0] << 24 | (uint32_t)p[1] << 16 | (uint32_t)p[2] << 8 | p[3];
}

}  // namespace

struct itp_decoder {
    itp_config cfg;
    itp_event_fn fn;
    void *ctx;
    int npairs, neps;
    itp_pair pairs[ITP_MAX_PAIRS];
    endpoint eps[ITP_MAX_ENDPOINTS];
    uint32_t hkey[HASH_SLOTS];
    int16_t hfirst[HASH_SLOTS];          /* first endpoint + 1, 0 for an empty slot */
    uint8_t buf_used[ITP_BUFFERS];
    uint8_t *bufs;                       /* ITP_BUFFERS x cfg.max_len */
    uint64_t next_deadline;              /* no deadline before this; UINT64_MAX for none */
    candidate cand[CANDIDATES];
};

void itp_config_default(itp_config *cfg)
{
    memset(cfg, 0, sizeof *cfg);
    cfg->n_bs_ms = 1000;
    cfg->n_cr_ms = 1000;
    cfg->max_len = 65535;
    cfg->preset_11bit = 1;
    cfg->preset_29bit = 1;
    cfg->find_pairs = 1;
}

namespace {

int hash_find(const itp_decoder *d, uint32_t key)
{
    for (uint32_t h = hash_of(key), n = 0; n < HASH_SLOTS; h = (h + 1) & (HASH_SLOTS - 1), n++) {
        if (!d->hfirst[h])
            return -1;
        if (d->hkey[h] == key)
            return d->hfirst[h] - 1;
    }
    return -1;
}

void hash_add(itp_decoder *d, int ep)
{
    const uint32_t key = key_of(d->eps[ep].a.id, d->eps[ep].a.ext);
    uint32_t h = hash_of(key);
    while (d->hfirst[h] && d->hkey[h] != key)
        h = (h + 1) & (HASH_SLOTS - 1);
    d->eps[ep].next = d->hfirst[h] ? (int16_t)(d->hfirst[h] - 1) : (int16_t)-1;
    d->hkey[h] = key;
    d->hfirst[h] = (int16_t)(ep + 1);
}

/* The endpoint of an address; first_byte matters for extended and mixed
 * addressing. */
int find_ep(const itp_decoder *d, uint32_t id, int ext, int have_byte, uint8_t first_byte)
{
    for (int e = hash_find(d, key_of(id, ext)); e >= 0; e = d->eps[e].next) {
        const itp_addr &a = d->eps[e].a;
        if (a.mode == ITP_NORMAL || (have_byte && a.ae == first_byte))
            return e;
    }
    return -1;
}

int find_ep_addr(const itp_decoder *d, const itp_addr &a)
{
    for (int e = hash_find(d, key_of(a.id, a.ext)); e >= 0; e = d->eps[e].next)
        if (addr_equal(d->eps[e].a, a))
            return e;
    return -1;
}

/* An address that would be confused with an existing endpoint: the same
 * identifier used with normal addressing by one and another mode by the
 * other. */
bool addr_clash(const itp_decoder *d, const itp_addr &a)
{
    for (int e = hash_find(d, key_of(a.id, a.ext)); e >= 0; e = d->eps[e].next) {
        const itp_addr &b = d->eps[e].a;
        if (a.mode == ITP_NORMAL || b.mode == ITP_NORMAL || a.ae == b.ae)
            return true;
    }
    return false;
}

int new_ep(itp_decoder *d, const itp_addr &a, int pair, uint8_t dir)
{
    const int e = d->neps++;
    endpoint &ep = d->eps[e];
    memset(&ep, 0, sizeof ep);
    ep.a = a;
    ep.a.ext = a.ext ? 1 : 0;
    ep.a.id &= ep.a.ext ? 0x1FFFFFFFu : 0x7FFu;
    ep.pair = (int16_t)pair;
    ep.peer = -1;
    ep.buf = -1;
    ep.dir = dir;
    hash_add(d, e);
    return e;
}

void emit(itp_decoder *d, itp_event *ev)
{
    if (d->fn)
        d->fn(d->ctx, ev);
}

void fill_event(const itp_decoder *d, const endpoint &ep, int code, itp_event *ev)
{
    memset(ev, 0, sizeof *ev);
    ev->code = code;
    ev->pair = ep.pair;
    ev->dir = ep.dir;
    ev->fd = ep.fd;
    ev->tx = ep.tx;
    ev->src = ep.a;
    ev->t_first = ep.t_first;
    ev->t_last = ep.t_last;
    ev->declared = ep.declared;
    ev->frames = ep.frames;
    if (ep.buf >= 0) {
        ev->data = d->bufs + (size_t)ep.buf * d->cfg.max_len;
        ev->len = ep.got;
    }
}

void release(itp_decoder *d, endpoint &ep, uint8_t state)
{
    if (ep.buf >= 0)
        d->buf_used[ep.buf] = 0;
    ep.buf = -1;
    ep.state = state;
    ep.deadline = 0;
}

/* Reports the message in progress as failed and drops it. */
void fail(itp_decoder *d, endpoint &ep, int code, uint8_t next_state, uint32_t expect = 0,
          uint32_t got = 0, uint8_t bad = 0)
{
    itp_event ev;
    fill_event(d, ep, code, &ev);
    ev.expect = expect;
    ev.got = got;
    ev.bad_what = bad;
    emit(d, &ev);
    release(d, ep, next_state);
}

void set_deadline(itp_decoder *d, endpoint &ep, uint64_t t, int kind)
{
    ep.deadline = t;
    ep.deadline_kind = (uint8_t)kind;
    if (t < d->next_deadline)
        d->next_deadline = t;
}

bool in_message(const endpoint &ep)
{
    return ep.state == S_WAIT_FC || ep.state == S_RECV;
}

void check_timeout(itp_decoder *d, endpoint &ep, uint64_t now)
{
    if (in_message(ep) && ep.deadline && now > ep.deadline)
        fail(d, ep, ep.deadline_kind, S_ORPHAN);
}

/* An event about one frame on an endpoint, outside a message. */
void report_frame(itp_decoder *d, endpoint &ep, const dg_frame *f, int code, uint8_t bad, uint32_t got,
                  const uint8_t *data, uint32_t len)
{
    itp_event ev;
    fill_event(d, ep, code, &ev);
    ev.t_first = ev.t_last = f->t_us;
    ev.fd = (f->flags & DG_FDF) ? 1 : 0;
    ev.tx = (f->flags & DG_TX) ? 1 : 0;
    ev.declared = 0;
    ev.frames = 1;
    ev.bad_what = bad;
    ev.got = got;
    ev.data = data;
    ev.len = len;
    emit(d, &ev);
}

void report_bad(itp_decoder *d, endpoint &ep, const dg_frame *f, uint8_t bad, uint32_t got)
{
    report_frame(d, ep, f, ITP_E_BAD_FRAME, bad, got, f->data, f->len);
}

void take_frame(itp_decoder *d, int e, const dg_frame *f);

/* Pairs the 29-bit presets cover, made when a frame on one is seen:
 * 18DA/18CE TA SA (physical, normal fixed / mixed) and 18DB/18CD
 * (functional), any priority. The tester is address F1. */
int preset_29(itp_decoder *d, const dg_frame *f)
{
    if (!(f->flags & DG_EXT) || !d->cfg.preset_29bit)
        return -1;
    const uint32_t id = f->id & 0x1FFFFFFFu;
    if (id & 0x03000000u)
        return -1;                       /* EDP or DP set */
    const uint8_t pf = (uint8_t)(id >> 16), ta = (uint8_t)(id >> 8), sa = (uint8_t)id;
    const bool mixed = pf == 0xCE || pf == 0xCD;
    if (pf != 0xDA && pf != 0xDB && !mixed)
        return -1;
    if (mixed && f->len < 1)
        return -1;
    itp_pair p;
    memset(&p, 0, sizeof p);
    p.origin = ITP_PRESET;
    itp_addr a = {id, 1, (uint8_t)(mixed ? ITP_MIXED : ITP_NORMAL), mixed ? f->data[0] : (uint8_t)0, 0};
    if (pf == 0xDB || pf == 0xCD) {
        p.req = a;
        p.functional = 1;
    } else {
        if (ta == sa)
            return -1;
        itp_addr b = a;
        b.id = (id & 0x1FFF0000u) | (uint32_t)sa << 8 | ta;
        const bool is_resp = ta == 0xF1 && sa != 0xF1;
        p.req = is_resp ? b : a;
        p.resp = is_resp ? a : b;
    }
    return itp_add_pair(d, &p);
}

/* Normal addressing on identifiers no pair knows: a first frame, a flow
 * control on another identifier within N_Bs, then consecutive frame 1 on
 * the first one make a pair. Returns 1 when the frame completed one. */
int discover(itp_decoder *d, const dg_frame *f)
{
    /* Normal addressing on 11-bit identifiers only: 29-bit diagnostics
     * use the fixed forms (presets), and J1939's transport frames would
     * look like first frames and flow controls. */
    if (!d->cfg.find_pairs || f->len < 1 || (f->flags & DG_EXT))
        return 0;
    const uint64_t n_bs = (uint64_t)d->cfg.n_bs_ms * 1000u;
    const int ext = (f->flags & DG_EXT) ? 1 : 0;
    itp_pci p;
    itp_parse_pci(f->data, f->len, 0, &p);
    if (p.type == 1 && p.valid) {
        /* The same identifier's candidate, else a free one, else the oldest. */
        int slot = -1, oldest = 0;
        for (int i = 0; i < CANDIDATES && slot < 0; i++) {
            const candidate &c = d->cand[i];
            if (c.used && c.ff.id == f->id && ((c.ff.flags & DG_EXT) ? 1 : 0) == ext)
                slot = i;
        }
        for (int i = 0; i < CANDIDATES && slot < 0; i++)
            if (!d->cand[i].used)
                slot = i;
        for (int i = 1; i < CANDIDATES; i++)
            if (d->cand[i].ff.t_us < d->cand[oldest].ff.t_us)
                oldest = i;
        if (slot < 0)
            slot = oldest;
        candidate &c = d->cand[slot];
        c.used = 1;
        c.has_fc = 0;
        c.ff = *f;
        return 0;
    }
    if (p.type == 3 && p.valid) {
        int best = -1;
        for (int i = 0; i < CANDIDATES; i++) {
            const candidate &c = d->cand[i];
            if (c.used && !c.has_fc && c.ff.id != f->id && ((c.ff.flags & DG_EXT) ? 1 : 0) == ext &&
                f->t_us >= c.ff.t_us && f->t_us - c.ff.t_us <= n_bs &&
                (best < 0 || c.ff.t_us > d->cand[best].ff.t_us))
                best = i;
        }
        if (best >= 0) {
            d->cand[best].has_fc = 1;
            d->cand[best].fc = *f;
        }
        return 0;
    }
    if (p.type != 2 || p.sn != 1)
        return 0;
    for (int i = 0; i < CANDIDATES; i++) {
        candidate &c = d->cand[i];
        if (!c.used || !c.has_fc || c.ff.id != f->id || ((c.ff.flags & DG_EXT) ? 1 : 0) != ext ||
            f->t_us < c.fc.t_us || f->t_us - c.fc.t_us > n_bs)
            continue;
        c.used = 0;
        itp_pair pr;
        memset(&pr, 0, sizeof pr);
        pr.origin = ITP_FOUND;
        itp_addr ff_addr = {c.ff.id, (uint8_t)ext, ITP_NORMAL, 0, 0};
        itp_addr fc_addr = {c.fc.id, (uint8_t)ext, ITP_NORMAL, 0, 0};
        /* A diagnostic response's service byte has bit 6 set: then the
         * first frame came from the ECU. */
        itp_pci ffp;
        itp_parse_pci(c.ff.data, c.ff.len, 0, &ffp);
        const bool ff_is_resp = ffp.head < c.ff.len && (c.ff.data[ffp.head] & 0x40);
        pr.req = ff_is_resp ? fc_addr : ff_addr;
        pr.resp = ff_is_resp ? ff_addr : fc_addr;
        const int idx = itp_add_pair(d, &pr);
        if (idx < 0)
            return 0;
        itp_event ev;
        memset(&ev, 0, sizeof ev);
        ev.code = ITP_PAIR_FOUND;
        ev.pair = idx;
        ev.t_first = c.ff.t_us;
        ev.t_last = f->t_us;
        emit(d, &ev);
        const dg_frame ff = c.ff, fc = c.fc;
        take_frame(d, find_ep(d, ff.id, ext, 0, 0), &ff);
        take_frame(d, find_ep(d, fc.id, ext, 0, 0), &fc);
        take_frame(d, find_ep(d, f->id, ext, 0, 0), f);
        return 1;
    }
    return 0;
}

void start_message(itp_decoder *d, endpoint &ep, const dg_frame *f)
{
    ep.fd = (f->flags & DG_FDF) ? 1 : 0;
    ep.tx = (f->flags & DG_TX) ? 1 : 0;
    ep.t_first = ep.t_last = f->t_us;
    ep.frames = 1;
    ep.got = 0;
    ep.declared = 0;
}

void take_frame(itp_decoder *d, int e, const dg_frame *f)
{
    if (e < 0)
        return;
    endpoint &ep = d->eps[e];
    const unsigned off = ep.a.mode == ITP_NORMAL ? 0 : 1;
    check_timeout(d, ep, f->t_us);
    itp_pci p;
    itp_parse_pci(f->data, f->len, off, &p);
    const uint64_t n_bs = (uint64_t)d->cfg.n_bs_ms * 1000u, n_cr = (uint64_t)d->cfg.n_cr_ms * 1000u;

    if (p.type == 0 || p.type == 1) {
        if (in_message(ep))
            fail(d, ep, ITP_E_INTERRUPTED, S_IDLE);
        ep.state = S_IDLE;
        if (!p.valid) {
            report_bad(d, ep, f, p.bad, p.length);
            return;
        }
        start_message(d, ep, f);
        if (p.type == 0) {
            itp_event ev;
            fill_event(d, ep, ITP_MESSAGE, &ev);
            ev.data = f->data + p.head;
            ev.len = p.length;
            emit(d, &ev);
            return;
        }
        ep.declared = p.length;
        ep.got = f->len - p.head;
        ep.sn = 1;
        ep.ff_len = f->len;
        ep.bs_left = 0;
        int b = -1;
        if (p.length <= d->cfg.max_len)
            for (int i = 0; i < ITP_BUFFERS && b < 0; i++)
                if (!d->buf_used[i])
                    b = i;
        if (b < 0) {
            itp_event ev;
            fill_event(d, ep, p.length > d->cfg.max_len ? ITP_E_TOO_LONG : ITP_E_BUSY, &ev);
            ev.data = f->data + p.head;
            ev.len = ep.got;
            emit(d, &ev);
            ep.state = S_SKIP;
            return;
        }
        d->buf_used[b] = 1;
        ep.buf = (int16_t)b;
        memcpy(d->bufs + (size_t)b * d->cfg.max_len, f->data + p.head, ep.got);
        ep.state = S_WAIT_FC;
        set_deadline(d, ep, f->t_us + n_bs, ITP_E_TIMEOUT_BS);
        return;
    }

    if (p.type == 2) {
        const uint32_t n = f->len - p.head;
        switch (ep.state) {
        case S_IDLE:
            ep.state = S_ORPHAN;
            report_frame(d, ep, f, ITP_E_UNEXPECTED_CF, 0, p.sn, f->data + p.head, n);
            return;
        case S_ORPHAN:
            return;
        case S_SKIP:
            ep.got += n;
            if (ep.got >= ep.declared)
                ep.state = S_IDLE;
            return;
        default:
            break;
        }
        ep.t_last = f->t_us;
        if (p.sn != ep.sn) {
            ep.frames++;
            fail(d, ep, ITP_E_SEQUENCE, S_ORPHAN, ep.sn, p.sn);
            return;
        }
        const uint32_t remaining = ep.declared - ep.got;
        if (n < remaining && f->len < ep.ff_len) {
            ep.frames++;
            fail(d, ep, ITP_E_BAD_FRAME, S_ORPHAN, ep.ff_len, f->len, ITP_BAD_CF_LENGTH);
            return;
        }
        const uint32_t take = n < remaining ? n : remaining;
        memcpy(d->bufs + (size_t)ep.buf * d->cfg.max_len + ep.got, f->data + p.head, take);
        ep.got += take;
        ep.frames++;
        ep.sn = (uint8_t)((ep.sn + 1) & 15);
        if (ep.got == ep.declared) {
            itp_event ev;
            fill_event(d, ep, ITP_MESSAGE, &ev);
            emit(d, &ev);
            release(d, ep, S_IDLE);
            return;
        }
        /* Consecutive frames beyond the block without a flow control are
         * taken as they come: the flow control may be out of sight. */
        ep.state = S_RECV;
        if (ep.bs_left && --ep.bs_left == 0) {
            ep.state = S_WAIT_FC;
            set_deadline(d, ep, f->t_us + n_bs, ITP_E_TIMEOUT_BS);
        } else {
            set_deadline(d, ep, f->t_us + n_cr, ITP_E_TIMEOUT_CR);
        }
        return;
    }

    if (p.type == 3) {
        if (ep.peer < 0)
            return;
        endpoint &pe = d->eps[ep.peer];
        check_timeout(d, pe, f->t_us);
        if (!in_message(pe))
            return;
        if (!p.valid) {
            fail(d, pe, ITP_E_BAD_FRAME, S_ORPHAN, 0, p.bad == ITP_BAD_FLOW_STATUS ? p.sn : f->len, p.bad);
            return;
        }
        switch (p.sn) {
        case 0:
            pe.state = S_RECV;
            pe.bs_left = p.bs;
            set_deadline(d, pe, f->t_us + n_cr, ITP_E_TIMEOUT_CR);
            break;
        case 1:
            pe.state = S_WAIT_FC;
            set_deadline(d, pe, f->t_us + n_bs, ITP_E_TIMEOUT_BS);
            break;
        default:
            pe.t_last = f->t_us;
            fail(d, pe, ITP_E_OVERFLOW, S_IDLE);
            break;
        }
        return;
    }

    if (in_message(ep))
        fail(d, ep, ITP_E_INTERRUPTED, S_IDLE);
    ep.state = S_IDLE;
    report_bad(d, ep, f, ITP_BAD_TYPE, p.type);
}

}  // namespace

itp_decoder *itp_new(const itp_config *cfg, itp_event_fn fn, void *ctx)
{
    itp_decoder *d = new (std::nothrow) itp_decoder;
    if (!d)
        return nullptr;
    memset(d, 0, sizeof *d);
    d->fn = fn;
    d->ctx = ctx;
    itp_config c;
    if (cfg)
        c = *cfg;
    else
        itp_config_default(&c);
    if (c.max_len < 8)
        c.max_len = 8;
    if (c.max_len > MAX_LEN_CAP)
        c.max_len = MAX_LEN_CAP;
    d->cfg = c;
    d->bufs = static_cast<uint8_t *>(malloc((size_t)ITP_BUFFERS * c.max_len));
    if (!d->bufs) {
        delete d;
        return nullptr;
    }
    itp_reset(d, nullptr);
    return d;
}

void itp_free(itp_decoder *d)
{
    if (!d)
        return;
    free(d->bufs);
    delete d;
}

void itp_reset(itp_decoder *d, const itp_config *cfg)
{
    if (cfg) {
        /* The buffers keep the length they were made with. */
        const uint32_t max_len = d->cfg.max_len;
        d->cfg = *cfg;
        d->cfg.max_len = max_len;
    }
    d->npairs = 0;
    d->neps = 0;
    memset(d->hfirst, 0, sizeof d->hfirst);
    memset(d->buf_used, 0, sizeof d->buf_used);
    memset(d->cand, 0, sizeof d->cand);
    d->next_deadline = UINT64_MAX;
    if (d->cfg.preset_11bit) {
        itp_pair p;
        memset(&p, 0, sizeof p);
        p.origin = ITP_PRESET;
        p.functional = 1;
        p.req.id = 0x7DF;
        itp_add_pair(d, &p);
        p.functional = 0;
        for (uint32_t i = 0; i < 8; i++) {
            p.req.id = 0x7E0 + i;
            p.resp.id = 0x7E8 + i;
            itp_add_pair(d, &p);
        }
    }
}

int itp_add_pair(itp_decoder *d, const itp_pair *p)
{
    itp_pair q = *p;
    q.req.ext = q.req.ext ? 1 : 0;
    q.resp.ext = q.resp.ext ? 1 : 0;
    q.req.id &= q.req.ext ? 0x1FFFFFFFu : 0x7FFu;
    q.resp.id &= q.resp.ext ? 0x1FFFFFFFu : 0x7FFu;
    if (q.req.mode == ITP_NORMAL)
        q.req.ae = 0;
    if (q.resp.mode == ITP_NORMAL)
        q.resp.ae = 0;
    if (q.req.mode > ITP_MIXED || q.resp.mode > ITP_MIXED)
        return -1;
    const int er = find_ep_addr(d, q.req);
    if (q.functional) {
        if (er >= 0)
            return d->eps[er].peer < 0 ? d->eps[er].pair : -1;
    } else {
        if (addr_equal(q.req, q.resp))
            return -1;
        const int es = find_ep_addr(d, q.resp);
        if (er >= 0 && es >= 0 && d->eps[er].peer == es && d->eps[er].dir == ITP_DIR_REQ)
            return d->eps[er].pair;
        if (addr_clash(d, q.resp))
            return -1;
    }
    if (addr_clash(d, q.req))
        return -1;
    if (d->npairs >= ITP_MAX_PAIRS || d->neps + (q.functional ? 1 : 2) > ITP_MAX_ENDPOINTS)
        return -1;
    const int idx = d->npairs++;
    if (q.functional)
        memset(&q.resp, 0, sizeof q.resp);
    d->pairs[idx] = q;
    const int a = new_ep(d, q.req, idx, ITP_DIR_REQ);
    if (!q.functional) {
        const int b = new_ep(d, q.resp, idx, ITP_DIR_RESP);
        d->eps[a].peer = (int16_t)b;
        d->eps[b].peer = (int16_t)a;
    }
    return idx;
}

int itp_pair_count(const itp_decoder *d)
{
    return d->npairs;
}

const itp_pair *itp_get_pair(const itp_decoder *d, int index)
{
    return index >= 0 && index < d->npairs ? &d->pairs[index] : nullptr;
}

int itp_find_pair(const itp_decoder *d, uint32_t id, int ext, uint8_t first_byte, uint8_t *dir)
{
    const int e = find_ep(d, id, ext, 1, first_byte);
    if (e < 0)
        return -1;
    if (dir)
        *dir = d->eps[e].dir;
    return d->eps[e].pair;
}

int itp_feed(itp_decoder *d, const dg_frame *f)
{
    if (f->flags & DG_RTR)
        return 0;
    if (f->t_us > d->next_deadline)
        itp_tick(d, f->t_us);
    const int ext = (f->flags & DG_EXT) ? 1 : 0;
    const unsigned len = f->len > DG_FRAME_DATA ? DG_FRAME_DATA : f->len;
    int e = find_ep(d, f->id, ext, len > 0, len ? f->data[0] : 0);
    if (e < 0 && preset_29(d, f) >= 0)
        e = find_ep(d, f->id, ext, len > 0, len ? f->data[0] : 0);
    if (e < 0)
        return discover(d, f);
    if (len == 0 || (len == 1 && d->eps[e].a.mode != ITP_NORMAL)) {
        report_bad(d, d->eps[e], f, ITP_BAD_TYPE, 0);
        return 1;
    }
    if (len != f->len) {
        dg_frame g = *f;
        g.len = (uint8_t)len;
        take_frame(d, e, &g);
    } else {
        take_frame(d, e, f);
    }
    return 1;
}

void itp_tick(itp_decoder *d, uint64_t now_us)
{
    if (now_us > d->next_deadline) {
        uint64_t next = UINT64_MAX;
        for (int e = 0; e < d->neps; e++) {
            endpoint &ep = d->eps[e];
            check_timeout(d, ep, now_us);
            if (in_message(ep) && ep.deadline && ep.deadline < next)
                next = ep.deadline;
        }
        d->next_deadline = next;
    }
    const uint64_t n_bs = (uint64_t)d->cfg.n_bs_ms * 1000u;
    for (int i = 0; i < CANDIDATES; i++) {
        candidate &c = d->cand[i];
        const uint64_t t = c.has_fc ? c.fc.t_us : c.ff.t_us;
        if (c.used && now_us > t + n_bs)
            c.used = 0;
    }
}

void itp_parse_pci(const uint8_t *data, unsigned len, unsigned off, itp_pci *out)
{
    memset(out, 0, sizeof *out);
    out->type = 0xFF;
    out->bad = ITP_BAD_TYPE;
    if (len <= off)
        return;
    const uint8_t b = data[off];
    out->type = b >> 4;
    switch (out->type) {
    case 0:
        out->bad = ITP_BAD_SF_LENGTH;
        if (b & 15) {
            out->head = (uint8_t)(off + 1);
            out->length = b & 15;
        } else if (len > 8 && len > off + 1) {
            /* CAN FD: length 0 escapes to the next byte. */
            out->head = (uint8_t)(off + 2);
            out->length = data[off + 1];
            if (out->length == 0)
                return;
        } else {
            return;
        }
        out->valid = out->length <= len - out->head;
        break;
    case 1:
        out->bad = ITP_BAD_FF_LENGTH;
        if (len < 8 || len < off + 2)
            return;
        out->length = (uint32_t)(b & 15) << 8 | data[off + 1];
        out->head = (uint8_t)(off + 2);
        if (out->length == 0) {
            /* Escape: a 32-bit length follows. */
            if (len < off + 6)
                return;
            out->length = be32(data + off + 2);
            out->head = (uint8_t)(off + 6);
        }
        out->valid = out->length > len - out->head;
        break;
    case 2:
        out->sn = b & 15;
        out->head = (uint8_t)(off + 1);
        out->valid = 1;
        break;
    case 3:
        out->sn = b & 15;
        if (len < off + 3) {
            out->bad = ITP_BAD_FC_LENGTH;
            return;
        }
        out->bs = data[off + 1];
        out->stmin = data[off + 2];
        out->head = (uint8_t)(off + 3);
        out->bad = ITP_BAD_FLOW_STATUS;
        out->valid = out->sn <= 2;
        break;
    default:
        return;
    }
    if (out->valid)
        out->bad = 0;
}

uint32_t itp_stmin_us(uint8_t stmin)
{
    if (stmin <= 0x7F)
        return stmin * 1000u;
    if (stmin >= 0xF1 && stmin <= 0xF9)
        return (stmin - 0xF0) * 100u;
    return 127000u;
}

namespace {

/* Finishes a frame of n bytes: classic frames padded to 8 when asked, FD
 * frames to the next FD length (with pad, else 0xCC). */
void finish_frame(itp_tx_frame *fr, unsigned n, unsigned frame_len, int pad)
{
    unsigned len = n;
    if (frame_len > 8 && n > 8)
        len = zk_fd_round_len(n);
    else if (pad >= 0)
        len = 8;
    for (unsigned i = n; i < len; i++)
        fr->data[i] = (uint8_t)(pad >= 0 ? pad : 0xCC);
    fr->len = (uint8_t)len;
}

}  // namespace

uint32_t itp_segment(const uint8_t *msg, uint32_t len, unsigned frame_len, const itp_addr *a,
                     int pad, itp_tx_frame *out, uint32_t first, uint32_t max)
{
    if (frame_len != 8 && zk_fd_round_len(frame_len) != frame_len)
        return 0;
    if (frame_len < 8 || frame_len > 64 || len == 0)
        return 0;
    const unsigned off = a->mode == ITP_NORMAL ? 0 : 1;
    const bool single_nibble = len <= 7 - off;
    const bool single_escape = frame_len > 8 && len <= frame_len - 2 - off;
    if (single_nibble || single_escape) {
        if (first == 0 && max > 0) {
            itp_tx_frame *fr = &out[0];
            unsigned n = 0;
            if (off)
                fr->data[n++] = a->ae;
            if (single_nibble) {
                fr->data[n++] = (uint8_t)len;
            } else {
                fr->data[n++] = 0;
                fr->data[n++] = (uint8_t)len;
            }
            memcpy(fr->data + n, msg, len);
            finish_frame(fr, n + len, frame_len, pad);
        }
        return 1;
    }
    const bool escape = len > 4095;
    const unsigned ff_head = off + (escape ? 6 : 2);
    const unsigned ff_payload = frame_len - ff_head, cf_payload = frame_len - 1 - off;
    const uint64_t total = 1 + ((uint64_t)len - ff_payload + cf_payload - 1) / cf_payload;
    if (total > 0xFFFFFFFFu)
        return 0;
    for (uint32_t i = first; i < total && i - first < max; i++) {
        itp_tx_frame *fr = &out[i - first];
        unsigned n = 0;
        if (off)
            fr->data[n++] = a->ae;
        if (i == 0) {
            if (escape) {
                fr->data[n++] = 0x10;
                fr->data[n++] = 0;
                fr->data[n++] = (uint8_t)(len >> 24);
                fr->data[n++] = (uint8_t)(len >> 16);
                fr->data[n++] = (uint8_t)(len >> 8);
                fr->data[n++] = (uint8_t)len;
            } else {
                fr->data[n++] = (uint8_t)(0x10 | (len >> 8));
                fr->data[n++] = (uint8_t)len;
            }
            memcpy(fr->data + n, msg, ff_payload);
            fr->len = (uint8_t)frame_len;
            continue;
        }
        const uint64_t pos = ff_payload + (uint64_t)(i - 1) * cf_payload;
        const unsigned take = len - pos < cf_payload ? (unsigned)(len - pos) : cf_payload;
        fr->data[n++] = (uint8_t)(0x20 | (i & 15));
        memcpy(fr->data + n, msg + pos, take);
        if (take == cf_payload)
            fr->len = (uint8_t)frame_len;
        else
            finish_frame(fr, n + take, frame_len, pad);
    }
    return (uint32_t)total;
}

void itp_flow_control(const itp_addr *a, uint8_t fs, uint8_t bs, uint8_t stmin, int pad,
                      itp_tx_frame *out)
{
    unsigned n = 0;
    if (a->mode != ITP_NORMAL)
        out->data[n++] = a->ae;
    out->data[n++] = (uint8_t)(0x30 | (fs & 15));
    out->data[n++] = bs;
    out->data[n++] = stmin;
    finish_frame(out, n, 8, pad);
}

int itp_send_start(itp_sender *s, const uint8_t *msg, uint32_t len, const itp_addr *to,
                   const itp_addr *from, unsigned frame_len, int pad, uint32_t n_bs_ms,
                   uint64_t now_us)
{
    memset(s, 0, sizeof *s);
    const uint32_t total = itp_segment(msg, len, frame_len, to, pad, nullptr, 0, 0);
    if (!total)
        return -1;
    s->state = ITP_SEND_CF;
    s->frame_len = (uint8_t)frame_len;
    s->pad = (int16_t)pad;
    s->to = *to;
    s->from = *from;
    s->len = len;
    s->total = total;
    s->msg = msg;
    s->n_bs_us = n_bs_ms * 1000u;
    s->max_waits = 255;
    s->due_us = now_us;
    return 0;
}

int itp_send_on_frame(itp_sender *s, const dg_frame *f)
{
    if (s->state != ITP_SEND_WAIT_FC)
        return 0;
    if ((f->flags & DG_TX) || (f->flags & DG_RTR) || !(f->flags & DG_EXT) != !s->from.ext ||
        (f->id & 0x1FFFFFFFu) != s->from.id)
        return 0;
    const unsigned off = s->from.mode == ITP_NORMAL ? 0 : 1;
    if (off && (f->len < 1 || f->data[0] != s->from.ae))
        return 0;
    itp_pci p;
    itp_parse_pci(f->data, f->len, off, &p);
    if (p.type != 3)
        return 0;
    if (!p.valid) {
        s->state = ITP_SEND_FAILED;
        s->result = ITP_E_BAD_FRAME;
        return 1;
    }
    switch (p.sn) {
    case 0:
        s->state = ITP_SEND_CF;
        s->bs = s->bs_left = p.bs;
        s->stmin_us = itp_stmin_us(p.stmin);
        s->due_us = f->t_us;
        s->waits = 0;
        break;
    case 1:
        if (++s->waits > s->max_waits) {
            s->state = ITP_SEND_FAILED;
            s->result = ITP_E_TIMEOUT_BS;
        } else {
            s->deadline_us = f->t_us + s->n_bs_us;
        }
        break;
    default:
        s->state = ITP_SEND_FAILED;
        s->result = ITP_E_OVERFLOW;
        break;
    }
    return 1;
}

int itp_send_poll(itp_sender *s, uint64_t now_us, itp_tx_frame *out, int max, uint64_t *next_us)
{
    if (next_us)
        *next_us = 0;
    if (s->state == ITP_SEND_WAIT_FC) {
        if (now_us > s->deadline_us) {
            s->state = ITP_SEND_FAILED;
            s->result = ITP_E_TIMEOUT_BS;
        } else if (next_us) {
            *next_us = s->deadline_us;
        }
        return 0;
    }
    if (s->state != ITP_SEND_CF)
        return 0;
    int n = 0;
    while (n < max && s->next < s->total && now_us >= s->due_us) {
        itp_segment(s->msg, s->len, s->frame_len, &s->to, s->pad, &out[n], s->next, 1);
        n++;
        const bool first = s->next == 0;
        s->next++;
        if (s->next == s->total)
            break;
        if (first || (s->bs && --s->bs_left == 0)) {
            s->state = ITP_SEND_WAIT_FC;
            s->deadline_us = now_us + s->n_bs_us;
            break;
        }
        if (s->stmin_us) {
            s->due_us = now_us + s->stmin_us;
            break;
        }
    }
    if (s->next == s->total)
        s->state = ITP_SEND_DONE;
    if (next_us && s->state == ITP_SEND_CF)
        *next_us = s->due_us;
    else if (next_us && s->state == ITP_SEND_WAIT_FC)
        *next_us = s->deadline_us;
    return n;
}
