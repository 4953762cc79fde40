/*
 * rule.cpp - one rule applied to one frame, the way the kernel's can-gw
 * does it: filter, modifications AND, OR, XOR, SET, the length checked,
 * then CRC8, then XOR, then (ours) an E2E profile.
 */
#include "cangw.h"

#include <string.h>

namespace {

/* The kernel's working copy of a frame: can_id with its flag bits, the
 * length (classic: the DLC), the FD flags and 64 data bytes. */
struct kframe {
    uint32_t can_id;
    uint8_t len;
    uint8_t flags;
    uint8_t data[64];
};

/* The kernel's receive filter, as af_can registers and matches it. */
bool filter_match(const cangw_rule *r, uint32_t can_id)
{
    if (!r->has_filter)
        return true;
    uint32_t id = r->filter_id, mask = r->filter_mask;
    const bool inv = id & CANGW_FILTER_INV;
    if (mask & CANGW_ID_ERR)
        return false;  /* an error frame filter: regular frames never match */
    if ((mask & CANGW_ID_EFF) && !(id & CANGW_ID_EFF))
        mask &= 0x7FFu | CANGW_ID_EFF | CANGW_ID_RTR;
    id &= mask;
    return inv ? (can_id & mask) != id : (can_id & mask) == id;
}

uint32_t can_id_of(const zk_fdframe *f)
{
    return f->id | (f->flags & ZK_FRAME_EFF ? CANGW_ID_EFF : 0) |
           (f->flags & ZK_FRAME_RTR ? CANGW_ID_RTR : 0);
}

void modify(const cangw_mod *m, int op, kframe *k, unsigned nbytes)
{
    if (m->what & CANGW_MOD_ID) {
        switch (op) {
        case CANGW_AND: k->can_id &= m->id; break;
        case CANGW_OR: k->can_id |= m->id; break;
        case CANGW_XOR: k->can_id ^= m->id; break;
        default: k->can_id = m->id; break;
        }
    }
    if (m->what & CANGW_MOD_LEN) {
        switch (op) {
        case CANGW_AND: k->len &= m->len; break;
        case CANGW_OR: k->len |= m->len; break;
        case CANGW_XOR: k->len ^= m->len; break;
        default: k->len = m->len; break;
        }
    }
    if (m->what & CANGW_MOD_FLAGS) {
        switch (op) {
        case CANGW_AND: k->flags &= m->flags; break;
        case CANGW_OR: k->flags |= m->flags; break;
        case CANGW_XOR: k->flags ^= m->flags; break;
        default: k->flags = m->flags; break;
        }
    }
    if (m->what & CANGW_MOD_DATA) {
        for (unsigned i = 0; i < nbytes; i++) {
            switch (op) {
            case CANGW_AND: k->data[i] &= m->data[i]; break;
            case CANGW_OR: k->data[i] |= m->data[i]; break;
            case CANGW_XOR: k->data[i] ^= m->data[i]; break;
            default: k->data[i] = m->data[i]; break;
            }
        }
    }
}

/* Indexes of a checksum: all from the start of the data, or, when any is
 * negative, all counted back from the length (-1 the last byte); false
 * when one falls before the start (the kernel then leaves the frame). */
bool cs_indexes(int8_t from, int8_t to, int8_t result, unsigned len, int *f, int *t, int *res)
{
    const bool rel = from < 0 || to < 0 || result < 0;
    *f = rel && from < 0 ? (int)len + from : from;
    *t = rel && to < 0 ? (int)len + to : to;
    *res = rel && result < 0 ? (int)len + result : result;
    return *f >= 0 && *t >= 0 && *res >= 0;
}

void crc8(const cangw_crc8 *c, kframe *k)
{
    int from, to, res;
    if (!cs_indexes(c->from, c->to, c->result, k->len, &from, &to, &res))
        return;
    uint8_t crc = c->init;
    const int step = from <= to ? 1 : -1;
    for (int i = from;; i += step) {
        crc = c->table[crc ^ k->data[i]];
        if (i == to)
            break;
    }
    switch (c->profile) {
    case CANGW_CRC8PRF_1U8:
        crc = c->table[crc ^ c->profile_data[0]];
        break;
    case CANGW_CRC8PRF_16U8:
        crc = c->table[crc ^ c->profile_data[k->data[1] & 0xF]];
        break;
    case CANGW_CRC8PRF_SFFID_XOR:
        crc = c->table[crc ^ (k->can_id & 0xFF) ^ (k->can_id >> 8 & 0xFF)];
        break;
    default:
        break;
    }
    k->data[res] = (uint8_t)(crc ^ c->final_xor);
}

void xor_cs(const cangw_xor *x, kframe *k)
{
    int from, to, res;
    if (!cs_indexes(x->from, x->to, x->result, k->len, &from, &to, &res))
        return;
    uint8_t v = x->init;
    const int step = from <= to ? 1 : -1;
    for (int i = from;; i += step) {
        v ^= k->data[i];
        if (i == to)
            break;
    }
    k->data[res] = v;
}

}  // namespace

void cangw_crc8_table(uint8_t poly, uint8_t table[256])
{
    for (unsigned i = 0; i < 256; i++) {
        uint8_t c = (uint8_t)i;
        for (int b = 0; b < 8; b++)
            c = (uint8_t)(c & 0x80 ? (c << 1) ^ poly : c << 1);
        table[i] = c;
    }
}

void cangw_rule_init(cangw_rule *r)
{
    memset(r, 0, sizeof *r);
    r->dst = 1;
}

int cangw_rule_check(const cangw_rule *r, const char **why)
{
    const char *w = nullptr;
    const int dlen = r->fd ? 64 : 8;
    bool mods = false;
    for (const cangw_mod &m : r->mod)
        mods = mods || m.what;
    auto idx_ok = [dlen](int8_t i) { return i >= -dlen && i < dlen; };
    if (r->src >= CANGW_MAX_CHANNELS || r->dst >= CANGW_MAX_CHANNELS)
        w = "no such channel";
    else if (r->src == r->dst && !r->to_source)
        w = "source and destination are the same channel";
    else if (r->limit_hops > CANGW_MAX_HOPS)
        w = "at most 6 hops";
    else if ((r->crc8.on || r->xor_cs.on) && !mods)
        w = "a checksum needs a modification";
    else if (r->crc8.on && !(idx_ok(r->crc8.from) && idx_ok(r->crc8.to) && idx_ok(r->crc8.result)))
        w = "a CRC8 index lies outside the frame";
    else if (r->xor_cs.on &&
             !(idx_ok(r->xor_cs.from) && idx_ok(r->xor_cs.to) && idx_ok(r->xor_cs.result)))
        w = "an XOR index lies outside the frame";
    else if (r->crc8.profile > CANGW_CRC8PRF_SFFID_XOR)
        w = "no such CRC8 profile";
    else if (r->e2e.kind != E2E_NONE && r->e2e.kind != E2E_P1 && r->e2e.kind != E2E_P2)
        w = "E2E profile 1 or 2 only";
    else if (r->e2e.kind != E2E_NONE && e2e_check(&r->e2e, (unsigned)dlen, &w) != 0)
        ;
    else if (!r->fd)
        for (const cangw_mod &m : r->mod)
            if (m.what & CANGW_MOD_FLAGS)
                w = "FD flags are modified by FD rules only";
    if (why)
        *why = w;
    return w ? -1 : 0;
}

int cangw_rule_match(const cangw_rule *r, const zk_fdframe *f)
{
    const bool is_fd = f->flags & ZK_FRAME_FDF;
    return is_fd == !!r->fd && filter_match(r, can_id_of(f));
}

int cangw_rule_apply(const cangw_rule *r, e2e_state *st, zk_fdframe *f)
{
    if (!cangw_rule_match(r, f))
        return 0;
    const bool is_fd = f->flags & ZK_FRAME_FDF;
    kframe k;
    k.can_id = can_id_of(f);
    k.len = f->len;
    k.flags = is_fd ? (uint8_t)(CANGW_FD_FDF | (f->flags & ZK_FRAME_BRS ? CANGW_FD_BRS : 0) |
                                (f->flags & ZK_FRAME_ESI ? CANGW_FD_ESI : 0))
                    : 0;
    memset(k.data, 0, sizeof k.data);
    memcpy(k.data, f->data, f->len <= 64 ? f->len : 64);

    const unsigned nbytes = is_fd ? 64 : 8;
    bool modified = false;
    for (int op = CANGW_AND; op <= CANGW_SET; op++)
        if (r->mod[op].what) {
            modify(&r->mod[op], op, &k, nbytes);
            modified = true;
        }
    if (modified) {
        /* A classic DLC of 9..15 stays a length of 8; beyond that the
         * rule was wrong for this frame. */
        if (!is_fd && k.len > 8 && k.len <= 15)
            k.len = 8;
        if (k.len > nbytes)
            return -1;
        if (r->crc8.on)
            crc8(&r->crc8, &k);
        if (r->xor_cs.on)
            xor_cs(&r->xor_cs, &k);
    }
    if (k.can_id & CANGW_ID_ERR)
        return -1;  /* the adapter library sends no error frames */
    if (r->e2e.kind != E2E_NONE) {
        e2e_state s = st ? *st : e2e_state{0};
        if (r->e2e.counter.length)
            s.counter = e2e_get(k.data, k.len, r->e2e.counter);
        /* A frame too short for the profile's fields would go out with a
         * stale checksum: deleted instead. */
        if (e2e_protect(&r->e2e, &s, k.data, k.len) != 0)
            return -1;
        if (st)
            *st = s;
    }
    if (is_fd) {
        /* A length between FD lengths goes out as the next FD length. */
        k.len = zk_fd_round_len(k.len);
    }
    const bool eff = k.can_id & CANGW_ID_EFF;
    f->id = k.can_id & 0x1FFFFFFFu;  /* a standard frame's id past 0x7FF: refused on sending */
    f->flags = (uint8_t)((eff ? ZK_FRAME_EFF : 0) |
                         (is_fd ? ZK_FRAME_FDF | (k.flags & CANGW_FD_BRS ? ZK_FRAME_BRS : 0) |
                                      (k.flags & CANGW_FD_ESI ? ZK_FRAME_ESI : 0)
                                : (k.can_id & CANGW_ID_RTR ? ZK_FRAME_RTR : 0)));
    f->len = k.len;
    memcpy(f->data, k.data, 64);
    if (f->len < 64)
        memset(f->data + f->len, 0, 64u - f->len);
    return 1;
}
