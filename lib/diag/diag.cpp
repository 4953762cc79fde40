/*
 * diag.cpp - routing frames to the ISO-TP and J1939 decoders, and matching
 * diagnostic responses with their requests.
 */
#include "diag.h"

#include <string.h>

#include <new>

namespace {

struct pending {
    uint8_t used;
    uint8_t functional;
    uint8_t ext;                 /* functional: answers come on pairs of this identifier size */
    uint8_t sid;
    uint8_t answered;
    uint8_t suppress;            /* the request asked for no positive response */
    int pair;
    uint64_t handle;
    uint64_t deadline;
};

}  // namespace

struct dg_decoder {
    dg_config cfg;
    dg_event_fn fn;
    void *ctx;
    itp_decoder *tp;
    j19_decoder *j;
    pending req[DG_PENDING_MAX];
    uint64_t next_deadline;
};

void dg_config_default(dg_config *cfg)
{
    memset(cfg, 0, sizeof *cfg);
    itp_config_default(&cfg->tp);
    j19_config_default(&cfg->j1939);
    cfg->j1939_on = 1;
    cfg->p2_ms = 1000;
    cfg->p2star_ms = 5000;
}

namespace {

uint64_t emit(dg_decoder *d, int kind, uint64_t handle, const itp_event *tp, const j19_event *j,
              uint64_t t = 0)
{
    dg_event ev;
    ev.kind = kind;
    ev.handle = handle;
    ev.t_us = t;
    ev.tp = tp;
    ev.j = j;
    return d->fn ? d->fn(d->ctx, &ev) : 0;
}

void set_deadline(dg_decoder *d, pending &p, uint64_t t)
{
    p.deadline = t;
    if (t < d->next_deadline)
        d->next_deadline = t;
}

/* A request's time ran out or a new one took its place. */
void close(dg_decoder *d, pending &p, uint64_t t)
{
    if (!p.answered && !p.suppress)
        emit(d, DG_NO_RESPONSE, p.handle, nullptr, nullptr, t);
    p.used = 0;
}

void on_request(dg_decoder *d, const itp_event *ev)
{
    const itp_pair *pr = itp_get_pair(d->tp, ev->pair);
    const bool functional = pr && pr->functional;
    int slot = -1;
    for (int i = 0; i < DG_PENDING_MAX; i++) {
        pending &p = d->req[i];
        if (p.used && p.pair == ev->pair)
            close(d, p, ev->t_last);
        if (!p.used && slot < 0)
            slot = i;
    }
    if (slot < 0) {
        /* Full: the oldest request gives way. */
        slot = 0;
        for (int i = 1; i < DG_PENDING_MAX; i++)
            if (d->req[i].deadline < d->req[slot].deadline)
                slot = i;
        close(d, d->req[slot], ev->t_last);
    }
    const uint64_t handle = emit(d, DG_REQUEST, 0, ev, nullptr);
    pending &p = d->req[slot];
    memset(&p, 0, sizeof p);
    p.used = 1;
    p.functional = functional;
    p.ext = ev->src.ext;
    p.sid = ev->data[0];
    p.suppress = (uint8_t)uds_suppresses_response(ev->data, ev->len);
    p.pair = ev->pair;
    p.handle = handle;
    set_deadline(d, p, ev->t_last + (uint64_t)d->cfg.p2_ms * 1000u);
}

void on_response(dg_decoder *d, const itp_event *ev)
{
    const int sid = uds_request_sid(ev->data, ev->len);
    int match = -1;
    for (int i = 0; i < DG_PENDING_MAX && match < 0; i++) {
        const pending &p = d->req[i];
        if (p.used && !p.functional && p.pair == ev->pair && p.sid == sid)
            match = i;
    }
    /* Answers to a functional request come on the ECUs' own pairs. */
    for (int i = 0; i < DG_PENDING_MAX && match < 0; i++) {
        const pending &p = d->req[i];
        if (p.used && p.functional && p.sid == sid && p.ext == ev->src.ext)
            match = i;
    }
    if (match < 0) {
        emit(d, DG_RESPONSE, 0, ev, nullptr);
        return;
    }
    pending &p = d->req[match];
    const bool pending_nrc = ev->len >= 3 && ev->data[0] == 0x7F && ev->data[2] == 0x78;
    if (pending_nrc) {
        emit(d, DG_PENDING, p.handle, ev, nullptr);
        set_deadline(d, p, ev->t_last + (uint64_t)d->cfg.p2star_ms * 1000u);
        return;
    }
    emit(d, DG_RESPONSE, p.handle, ev, nullptr);
    p.answered = 1;
    if (!p.functional)
        p.used = 0;
}

void on_tp(void *ctx, const itp_event *ev)
{
    dg_decoder *d = static_cast<dg_decoder *>(ctx);
    switch (ev->code) {
    case ITP_MESSAGE:
        if (ev->len == 0)
            return;
        if (uds_kind_of(ev->data[0]) == UDS_REQUEST)
            on_request(d, ev);
        else
            on_response(d, ev);
        return;
    case ITP_PAIR_FOUND:
        emit(d, DG_PAIR_FOUND, 0, ev, nullptr);
        return;
    default:
        emit(d, DG_TP_ERROR, 0, ev, nullptr);
        return;
    }
}

void on_j1939(void *ctx, const j19_event *ev)
{
    dg_decoder *d = static_cast<dg_decoder *>(ctx);
    emit(d, ev->code == J19_MESSAGE ? DG_J1939 : DG_J1939_ERROR, 0, nullptr, ev);
}

}  // namespace

dg_decoder *dg_new(const dg_config *cfg, dg_event_fn fn, void *ctx)
{
    dg_decoder *d = new (std::nothrow) dg_decoder;
    if (!d)
        return nullptr;
    memset(d, 0, sizeof *d);
    if (cfg)
        d->cfg = *cfg;
    else
        dg_config_default(&d->cfg);
    d->fn = fn;
    d->ctx = ctx;
    d->tp = itp_new(&d->cfg.tp, on_tp, d);
    d->j = j19_new(&d->cfg.j1939, on_j1939, d);
    if (!d->tp || !d->j) {
        dg_free(d);
        return nullptr;
    }
    dg_reset(d, nullptr);
    return d;
}

void dg_free(dg_decoder *d)
{
    if (!d)
        return;
    itp_free(d->tp);
    j19_free(d->j);
    delete d;
}

void dg_reset(dg_decoder *d, const dg_config *cfg)
{
    if (cfg)
        d->cfg = *cfg;
    itp_reset(d->tp, &d->cfg.tp);
    j19_reset(d->j, &d->cfg.j1939);
    memset(d->req, 0, sizeof d->req);
    d->next_deadline = UINT64_MAX;
}

const dg_config *dg_get_config(const dg_decoder *d)
{
    return &d->cfg;
}

itp_decoder *dg_isotp(dg_decoder *d)
{
    return d->tp;
}

void dg_feed(dg_decoder *d, const dg_frame *f)
{
    if (f->t_us > d->next_deadline)
        dg_tick(d, f->t_us);
    if (itp_feed(d->tp, f))
        return;
    if (d->cfg.j1939_on)
        j19_feed(d->j, f);
}

void dg_tick(dg_decoder *d, uint64_t now_us)
{
    itp_tick(d->tp, now_us);
    j19_tick(d->j, now_us);
    if (now_us <= d->next_deadline)
        return;
    uint64_t next = UINT64_MAX;
    for (pending &p : d->req) {
        if (p.used && now_us > p.deadline)
            close(d, p, p.deadline);
        if (p.used && p.deadline < next)
            next = p.deadline;
    }
    d->next_deadline = next;
}
