/*
 * cangw.cpp - the gateway: rules over channels, the frames it sent and
 * their hops, counters and forwarding delays.
 */
#include "cangw.h"

#include <algorithm>
#include <string.h>

namespace {

bool same_frame(const cangw_own &o, const zk_fdframe *f)
{
    const uint8_t kind = ZK_FRAME_EFF | ZK_FRAME_RTR | ZK_FRAME_FDF;
    return o.id == f->id && (o.flags & kind) == (f->flags & kind) && o.len == f->len &&
           memcmp(o.data, f->data, o.len <= 64 ? o.len : 64) == 0;
}

/* The hops of a frame seen on a channel: those it was sent with when it is
 * one of ours (its echo on the channel it was sent on, or the same frame
 * received soon after on another channel of the same bus), else 0. Each
 * sighting is used once, the oldest first. */
unsigned own_hops(cangw *gw, uint16_t channel, int tx, uint64_t time_us, const zk_fdframe *f)
{
    if (!tx && (channel >= CANGW_MAX_CHANNELS || !gw->chan[channel].bus))
        return 0;  /* received on a bus of its own: never one of ours */
    for (unsigned k = 0; k < CANGW_OWN_RING; k++) {
        cangw_own &o = gw->own[(gw->own_next + k) % CANGW_OWN_RING];
        if (o.id != f->id || !o.hops || time_us > o.time_us + CANGW_OWN_MS * 1000ull ||
            !same_frame(o, f))
            continue;
        if (tx) {
            if (o.channel != channel || o.seen_tx)
                continue;
            o.seen_tx = 1;
            const uint64_t d = time_us > o.time_us ? time_us - o.time_us : 0;
            const uint32_t d32 = d > 0xFFFFFFFFu ? 0xFFFFFFFFu : (uint32_t)d;
            gw->delay_us[gw->ndelays % CANGW_DELAYS] = d32;
            gw->ndelays++;
            gw->worst_us = std::max(gw->worst_us, d32);
        } else {
            const uint16_t bit = (uint16_t)(1u << (channel % 16));
            const uint8_t bus = channel < CANGW_MAX_CHANNELS ? gw->chan[channel].bus : 0;
            if (o.channel == channel || (o.seen_rx & bit) || !bus ||
                gw->chan[o.channel % CANGW_MAX_CHANNELS].bus != bus ||
                time_us > o.time_us + CANGW_BUS_MS * 1000ull)
                continue;
            o.seen_rx |= bit;
        }
        return o.hops;
    }
    return 0;
}

void remember(cangw *gw, uint16_t channel, uint64_t time_us, unsigned hops, const zk_fdframe *f)
{
    cangw_own &o = gw->own[gw->own_next];
    gw->own_next = (gw->own_next + 1) % CANGW_OWN_RING;
    o.time_us = time_us;
    o.id = f->id;
    o.channel = channel;
    o.flags = f->flags;
    o.len = f->len;
    o.hops = (uint8_t)hops;
    o.seen_tx = 0;
    o.seen_rx = 0;
    memcpy(o.data, f->data, sizeof o.data);
}

}  // namespace

void cangw_init(cangw *gw, const cangw_ops *ops, void *ctx)
{
    memset(gw, 0, sizeof *gw);
    gw->ops = ops;
    gw->ctx = ctx;
    gw->max_hops = 1;
}

int cangw_set_rules(cangw *gw, const cangw_rule *rules, unsigned n, const char **why)
{
    if (n > CANGW_MAX_RULES) {
        if (why)
            *why = "too many rules";
        return -1;
    }
    for (unsigned i = 0; i < n; i++)
        if (cangw_rule_check(&rules[i], why) != 0)
            return -1;
    memcpy(gw->rule, rules, n * sizeof *rules);
    gw->nrules = (uint16_t)n;
    memset(gw->e2e, 0, sizeof gw->e2e);
    memset(gw->count, 0, sizeof gw->count);
    if (why)
        *why = nullptr;
    return 0;
}

void cangw_set_channel(cangw *gw, unsigned channel, int present, int fd, int lom)
{
    if (channel >= CANGW_MAX_CHANNELS)
        return;
    gw->chan[channel].present = (uint8_t)!!present;
    gw->chan[channel].fd = (uint8_t)!!fd;
    gw->chan[channel].lom = (uint8_t)!!lom;
}

void cangw_set_bus(cangw *gw, unsigned channel, unsigned bus)
{
    if (channel < CANGW_MAX_CHANNELS)
        gw->chan[channel].bus = (uint8_t)(bus <= 255 ? bus : 0);
}

void cangw_start(cangw *gw)
{
    gw->running = 1;
}

void cangw_stop(cangw *gw)
{
    gw->running = 0;
}

void cangw_reset_counters(cangw *gw)
{
    memset(gw->count, 0, sizeof gw->count);
    gw->ndelays = 0;
    gw->worst_us = 0;
}

int cangw_frame(cangw *gw, uint16_t channel, int tx, uint64_t time_us, const zk_fdframe *f)
{
    if (!gw->running)
        return 0;
    const unsigned hops = own_hops(gw, channel, tx, time_us, f);
    const unsigned max_hops = gw->max_hops ? gw->max_hops : 1;
    int sent = 0;
    for (unsigned i = 0; i < gw->nrules; i++) {
        const cangw_rule *r = &gw->rule[i];
        if (r->src != channel)
            continue;
        cangw_counters *c = &gw->count[i];
        /* A frame not for this rule (kind, filter) is not counted at all. */
        if (!cangw_rule_match(r, f))
            continue;
        if (hops >= max_hops) {
            c->deleted++;
            continue;
        }
        unsigned next = hops + 1;
        if (r->limit_hops && next == 1 && r->limit_hops < max_hops)
            next = max_hops - r->limit_hops + 1;
        zk_fdframe out = *f;
        if (cangw_rule_apply(r, &gw->e2e[i], &out) != 1) {
            c->deleted++;
            continue;
        }
        const cangw_chan *d = r->dst < CANGW_MAX_CHANNELS ? &gw->chan[r->dst] : nullptr;
        if ((out.flags & ZK_FRAME_FDF) && d && d->present && !d->fd) {
            if (!r->fd_to_classic || out.len > 8) {
                c->dropped++;
                continue;
            }
            out.flags &= (uint8_t)~(ZK_FRAME_FDF | ZK_FRAME_BRS | ZK_FRAME_ESI);
        }
        if (!d || !d->present || d->lom || !gw->ops || !gw->ops->send ||
            gw->ops->send(gw->ctx, r->dst, &out) < 0) {
            c->dropped++;
            continue;
        }
        c->handled++;
        remember(gw, r->dst, time_us, next, &out);
        sent++;
    }
    return sent;
}

int cangw_delay(const cangw *gw, uint32_t *median_us, uint32_t *worst_us)
{
    uint32_t v[CANGW_DELAYS];
    const unsigned n = gw->ndelays < CANGW_DELAYS ? gw->ndelays : CANGW_DELAYS;
    *median_us = 0;
    *worst_us = gw->worst_us;
    if (!n)
        return 0;
    memcpy(v, gw->delay_us, n * sizeof *v);
    std::nth_element(v, v + n / 2, v + n);
    *median_us = v[n / 2];
    return 1;
}
