/*
 * e2e.cpp - counters and checksums written into frames; see e2e.h for the
 * conventions. The CRCs are bitwise: at most 64 data bytes a frame.
 */
#include "e2e.h"

#include <string.h>

namespace {

uint8_t crc8_run(uint8_t reg, uint8_t poly, const uint8_t *p, size_t n)
{
    for (size_t i = 0; i < n; i++) {
        reg ^= p[i];
        for (int k = 0; k < 8; k++)
            reg = (uint8_t)(reg & 0x80 ? (reg << 1) ^ poly : reg << 1);
    }
    return reg;
}

uint16_t crc16_run(uint16_t reg, const uint8_t *p, size_t n)
{
    for (size_t i = 0; i < n; i++) {
        reg ^= (uint16_t)(p[i] << 8);
        for (int k = 0; k < 8; k++)
            reg = (uint16_t)(reg & 0x8000 ? (reg << 1) ^ 0x1021 : reg << 1);
    }
    return reg;
}

/* The byte offset of bit number b of a field, the bits walked from its LSB. */
unsigned bit_pos(e2e_field f, unsigned k)
{
    if (!f.motorola)
        return f.start + k;
    /* Motorola: start is the MSB; bit k from the LSB is length-1-k from it
     * in the big-endian sequential numbering. */
    unsigned msb = (f.start / 8) * 8 + 7 - f.start % 8;
    unsigned seq = msb + (unsigned)(f.length - 1 - k);
    return (seq / 8) * 8 + 7 - seq % 8;
}

bool fits(e2e_field f, unsigned len)
{
    if (f.length == 0 || f.length > 64)
        return false;
    for (unsigned k = 0; k < f.length; k++)
        if (bit_pos(f, k) >= len * 8)
            return false;
    return true;
}

/* The bytes a field touches, as a mask. */
uint64_t bytes_of(e2e_field f)
{
    uint64_t m = 0;
    for (unsigned k = 0; k < f.length; k++)
        m |= UINT64_C(1) << (bit_pos(f, k) / 8 % 64);
    return m;
}

bool whole_byte(e2e_field f)
{
    return f.length == 8 && (f.motorola ? f.start % 8 == 7 : f.start % 8 == 0);
}

uint64_t wrap_of(const e2e_config *c)
{
    if (c->wrap)
        return c->wrap;
    return c->counter.length >= 64 ? 0 : UINT64_C(1) << c->counter.length;
}

}  // namespace

uint8_t e2e_crc8_j1850(const uint8_t *p, size_t n)
{
    return (uint8_t)(crc8_run(0xFF, 0x1D, p, n) ^ 0xFF);
}

uint8_t e2e_crc8h2f(const uint8_t *p, size_t n)
{
    return (uint8_t)(crc8_run(0xFF, 0x2F, p, n) ^ 0xFF);
}

uint16_t e2e_crc16_ccitt(const uint8_t *p, size_t n)
{
    return crc16_run(0xFFFF, p, n);
}

uint64_t e2e_get(const uint8_t *data, unsigned len, e2e_field f)
{
    if (!fits(f, len))
        return 0;
    uint64_t v = 0;
    for (unsigned k = 0; k < f.length; k++) {
        unsigned b = bit_pos(f, k);
        v |= (uint64_t)((data[b / 8] >> (b % 8)) & 1) << k;
    }
    return v;
}

void e2e_put(uint8_t *data, unsigned len, e2e_field f, uint64_t v)
{
    if (!fits(f, len))
        return;
    for (unsigned k = 0; k < f.length; k++) {
        unsigned b = bit_pos(f, k);
        uint8_t bit = (uint8_t)(1u << (b % 8));
        data[b / 8] = (uint8_t)((v >> k) & 1 ? data[b / 8] | bit : data[b / 8] & ~bit);
    }
}

void e2e_defaults(e2e_config *c, uint8_t kind)
{
    c->kind = kind;
    c->step = 1;
    c->bytes = 0;
    c->p1_mode = kind == E2E_P1 ? c->p1_mode : (uint8_t)E2E_P1_BOTH;
    if (kind == E2E_P1 || kind == E2E_P2) {
        c->check = e2e_field{0, 8, 0};
        c->counter = e2e_field{8, 4, 0};
        c->wrap = kind == E2E_P1 ? 15 : 16;
        c->nibble = e2e_field{12, 4, 0};
    } else if (kind == E2E_P5) {
        c->check = e2e_field{0, 16, 0};
        c->counter = e2e_field{16, 8, 0};
        c->wrap = 256;
    } else {
        c->wrap = 0;
    }
}

int e2e_check(const e2e_config *c, unsigned len, const char **why)
{
    const char *w = nullptr;
    if (len > E2E_MAX_BYTES)
        w = "more than 64 data bytes";
    else if (c->counter.length && !fits(c->counter, len))
        w = "the counter lies outside the frame";
    else if (c->kind != E2E_NONE && !fits(c->check, len))
        w = "the checksum lies outside the frame";
    else if ((c->kind == E2E_P1 || c->kind == E2E_P2) && !whole_byte(c->check))
        w = "the profile's CRC is one whole byte";
    else if ((c->kind == E2E_P1 || c->kind == E2E_P2) && c->counter.length != 4)
        w = "the profile's counter has 4 bits";
    else if (c->kind == E2E_P5 && (c->check.length != 16 || c->check.motorola || c->check.start % 8))
        w = "the profile's CRC is two whole bytes";
    else if (c->kind == E2E_P1 && c->p1_mode == E2E_P1_NIBBLE &&
             (c->nibble.length != 4 || !fits(c->nibble, len)))
        w = "the data ID's nibble lies outside the frame";
    if (why)
        *why = w;
    return w ? -1 : 0;
}

int e2e_protect(const e2e_config *c, e2e_state *state, uint8_t *data, unsigned len)
{
    if (e2e_check(c, len, nullptr) != 0)
        return -1;
    uint64_t wrap = wrap_of(c);
    uint64_t counter = wrap ? state->counter % wrap : state->counter;
    if (c->counter.length)
        e2e_put(data, len, c->counter, counter);
    uint64_t skip = c->kind == E2E_NONE ? 0 : bytes_of(c->check);
    unsigned crc_at = c->check.start / 8;
    switch (c->kind) {
    case E2E_XOR:
    case E2E_CRC8: {
        uint64_t mask = c->bytes ? c->bytes : ~skip;
        uint8_t x = 0, reg = 0xFF;
        for (unsigned i = 0; i < len; i++) {
            if (!((mask >> i) & 1))
                continue;
            x ^= data[i];
            reg = crc8_run(reg, 0x1D, &data[i], 1);
        }
        e2e_put(data, len, c->check, c->kind == E2E_XOR ? x : (uint8_t)(reg ^ 0xFF));
        break;
    }
    case E2E_P1: {
        uint8_t lo = (uint8_t)c->data_id, hi = (uint8_t)(c->data_id >> 8), zero = 0;
        uint8_t reg = 0x00;
        switch (c->p1_mode) {
        case E2E_P1_BOTH:
            reg = crc8_run(reg, 0x1D, &lo, 1);
            reg = crc8_run(reg, 0x1D, &hi, 1);
            break;
        case E2E_P1_ALT:
            reg = crc8_run(reg, 0x1D, counter % 2 ? &hi : &lo, 1);
            break;
        case E2E_P1_LOW:
            reg = crc8_run(reg, 0x1D, &lo, 1);
            break;
        default:
            e2e_put(data, len, c->nibble, hi & 0x0F);
            reg = crc8_run(reg, 0x1D, &lo, 1);
            reg = crc8_run(reg, 0x1D, &zero, 1);
            break;
        }
        for (unsigned i = 0; i < len; i++)
            if (i != crc_at)
                reg = crc8_run(reg, 0x1D, &data[i], 1);
        data[crc_at] = reg;
        break;
    }
    case E2E_P2: {
        uint8_t reg = 0xFF;
        for (unsigned i = 0; i < len; i++)
            if (i != crc_at)
                reg = crc8_run(reg, 0x2F, &data[i], 1);
        reg = crc8_run(reg, 0x2F, &c->id_list[counter % 16], 1);
        data[crc_at] = (uint8_t)(reg ^ 0xFF);
        break;
    }
    case E2E_P5: {
        uint16_t reg = 0xFFFF;
        reg = crc16_run(reg, data, crc_at);
        reg = crc16_run(reg, data + crc_at + 2, len - crc_at - 2);
        uint8_t id[2] = {(uint8_t)c->data_id, (uint8_t)(c->data_id >> 8)};
        reg = crc16_run(reg, id, 2);
        data[crc_at] = (uint8_t)reg;
        data[crc_at + 1] = (uint8_t)(reg >> 8);
        break;
    }
    default:
        break;
    }
    uint64_t step = c->step ? c->step : 1;
    state->counter = wrap ? (counter + step % wrap) % wrap : counter + step;
    return 0;
}
