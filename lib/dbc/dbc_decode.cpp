/*
 * dbc_decode.cpp - one frame's data bytes into signal values, by the
 * message's decode plan. The data is copied once into a buffer with room
 * for a whole word past its end; each signal is then one 64-bit word read
 * at its first byte (two for a signal spanning nine bytes), byte-swapped
 * for Motorola, a shift and a mask. Multiplexors come first in the plan,
 * so a signal's multiplexor value is known when the signal is reached.
 */
#include "dbc.h"
#include "dbc_internal.h"

#include <string.h>

static_assert(__BYTE_ORDER__ == __ORDER_LITTLE_ENDIAN__, "the data words are read little-endian");

namespace {

inline uint64_t word_at(const uint8_t *p)
{
    uint64_t w;
    memcpy(&w, p, sizeof w);
    return w;
}

inline uint64_t raw_bits(const dbc_step &s, const uint8_t *buf)
{
    uint64_t lo = word_at(buf + s.byte);
    if (!s.wide) {
        if (s.big_endian)
            lo = __builtin_bswap64(lo);
        return (lo >> s.shift) & s.mask;
    }
    uint64_t hi = word_at(buf + s.byte + 8);
    if (!s.big_endian)   /* shift 1..7: the signal's top bits are in the second word */
        return ((lo >> s.shift) | (hi << (64 - s.shift))) & s.mask;
    /* Big-endian: the first word holds the upper bits; shift 57..63. */
    uint64_t upper = __builtin_bswap64(lo), lower = __builtin_bswap64(hi);
    return ((lower >> s.shift) | (upper << (64 - s.shift))) & s.mask;
}

}  // namespace

int dbc_decode(const dbc_message *m, const uint8_t *data, unsigned len, dbc_value *out)
{
    /* A signal is read only when the frame holds all its bytes, so the
     * words read never reach past the 16 bytes cleared after the data. */
    uint8_t buf[DBC_MAX_MESSAGE_BYTES + 16];
    unsigned n = len > DBC_MAX_MESSAGE_BYTES ? DBC_MAX_MESSAGE_BYTES : len;
    if (n)
        memcpy(buf, data, n);
    memset(buf + n, 0, 16);
    int active = 0;
    for (const dbc_step &s : m->plan) {
        dbc_value &v = out[s.sig];
        bool on = dbc_step_on(m, s, out, n);
        v.active = on;
        if (!on)
            continue;
        uint64_t raw = raw_bits(s, buf);
        double x;
        if (s.type == DBC_INTEGER) {
            if (raw & s.sign) {
                raw |= ~s.mask;
                x = (double)(int64_t)raw;
            } else {
                x = (double)raw;
            }
        } else if (s.type == DBC_FLOAT) {
            uint32_t u = (uint32_t)raw;
            float f;
            memcpy(&f, &u, sizeof f);
            x = f;
        } else {
            memcpy(&x, &raw, sizeof x);
        }
        v.raw = (int64_t)raw;
        v.phys = x * s.factor + s.offset;
        active++;
    }
    return active;
}
