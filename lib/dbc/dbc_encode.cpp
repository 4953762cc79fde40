/*
 * dbc_encode.cpp - physical values into one frame's data bytes, the
 * inverse of dbc_decode and by the same plan: each signal's raw value is
 * the physical one less the offset, divided by the factor and rounded to
 * the nearest integer, written into the word(s) the decoder reads it from.
 * A value outside the signal's range or its bits is refused, never
 * wrapped.
 */
#include "dbc.h"
#include "dbc_internal.h"

#include <math.h>
#include <stdio.h>
#include <string.h>

namespace {

inline uint64_t word_at(const uint8_t *p)
{
    uint64_t w;
    memcpy(&w, p, sizeof w);
    return w;
}

inline void put_word(uint8_t *p, uint64_t w)
{
    memcpy(p, &w, sizeof w);
}

void put_bits(const dbc_step &s, uint8_t *buf, uint64_t raw)
{
    raw &= s.mask;
    uint64_t lo = word_at(buf + s.byte);
    if (!s.wide) {
        if (s.big_endian)
            lo = __builtin_bswap64(lo);
        lo = (lo & ~(s.mask << s.shift)) | (raw << s.shift);
        put_word(buf + s.byte, s.big_endian ? __builtin_bswap64(lo) : lo);
        return;
    }
    uint64_t hi = word_at(buf + s.byte + 8);
    if (!s.big_endian) {
        lo = (lo & ~(s.mask << s.shift)) | (raw << s.shift);
        hi = (hi & ~(s.mask >> (64 - s.shift))) | (raw >> (64 - s.shift));
    } else {
        uint64_t upper = __builtin_bswap64(lo), lower = __builtin_bswap64(hi);
        lower = (lower & ~(s.mask << s.shift)) | (raw << s.shift);
        upper = (upper & ~(s.mask >> (64 - s.shift))) | (raw >> (64 - s.shift));
        lo = __builtin_bswap64(upper);
        hi = __builtin_bswap64(lower);
    }
    put_word(buf + s.byte, lo);
    put_word(buf + s.byte + 8, hi);
}

/* The range a signal's value must keep, and its text for a refusal. */
void describe_range(const dbc_signal *s, double lo, double hi, char *err, size_t size,
                    double phys)
{
    snprintf(err, size, "%s: %.10g is outside its range %.10g to %.10g%s%s", s->name.c_str(),
             phys, lo, hi, s->unit.empty() ? "" : " ", s->unit.c_str());
}

}  // namespace

void dbc_signal_range(const dbc_signal *s, double *lo, double *hi)
{
    double a, b;
    if (s->type == DBC_FLOAT) {
        a = -3.4028234663852886e38;
        b = 3.4028234663852886e38;
    } else if (s->type == DBC_DOUBLE) {
        a = -1.7976931348623157e308;
        b = 1.7976931348623157e308;
    } else if (s->is_signed) {
        a = -ldexp(1.0, s->length - 1);
        b = ldexp(1.0, s->length - 1) - 1;
    } else {
        a = 0;
        b = ldexp(1.0, s->length) - 1;
    }
    double pa = a * s->factor + s->offset, pb = b * s->factor + s->offset;
    if (pa > pb) {
        double t = pa;
        pa = pb;
        pb = t;
    }
    /* min and max narrow what the bits hold when the file gives them. */
    if (s->min < s->max) {
        if (s->min > pa)
            pa = s->min;
        if (s->max < pb)
            pb = s->max;
    }
    *lo = pa;
    *hi = pb;
}

int dbc_encode_raw(const dbc_signal *s, double phys, uint64_t *raw, char *err, size_t errsize)
{
    double lo, hi;
    dbc_signal_range(s, &lo, &hi);
    /* A value typed or printed in decimal may miss a limit by a rounding. */
    double lo_slack = 1e-9 * fmax(1.0, fabs(lo)), hi_slack = 1e-9 * fmax(1.0, fabs(hi));
    if (isnan(phys) || phys < lo - lo_slack || phys > hi + hi_slack || s->factor == 0.0) {
        if (err)
            describe_range(s, lo, hi, err, errsize, phys);
        return -1;
    }
    double x = (phys - s->offset) / s->factor;
    if (s->type == DBC_FLOAT) {
        float f = (float)x;
        uint32_t u;
        memcpy(&u, &f, sizeof u);
        *raw = u;
        return 0;
    }
    if (s->type == DBC_DOUBLE) {
        memcpy(raw, &x, sizeof x);
        return 0;
    }
    x = nearbyint(x);
    /* Rounding may step just past a limit of the bits: the limit holds. */
    double rlo = s->is_signed ? -ldexp(1.0, s->length - 1) : 0.0;
    double rhi = s->is_signed ? ldexp(1.0, s->length - 1) - 1 : ldexp(1.0, s->length) - 1;
    if (x < rlo)
        x = rlo;
    if (x > rhi)
        x = rhi;
    /* The top limit of 64 bits is 2^64 or 2^63 as a double: the largest
     * value the bits hold instead. */
    if (s->is_signed)
        *raw = x >= 0x1p63 ? (uint64_t)INT64_MAX : (uint64_t)(int64_t)x;
    else
        *raw = x >= 0x1p64 ? UINT64_MAX
               : x >= 0x1p63 ? (uint64_t)(x - 0x1p63) + (UINT64_C(1) << 63)
                             : (uint64_t)x;
    return 0;
}

int dbc_encode(const dbc_message *m, const double *phys, uint8_t *data, unsigned len,
               dbc_value *out, char *err, size_t errsize, int *bad)
{
    uint8_t buf[DBC_MAX_MESSAGE_BYTES + 16];
    unsigned n = len > DBC_MAX_MESSAGE_BYTES ? DBC_MAX_MESSAGE_BYTES : len;
    memset(buf, 0, sizeof buf);
    if (bad)
        *bad = -1;
    for (const dbc_step &s : m->plan) {
        dbc_value &v = out[s.sig];
        bool on = dbc_step_on(m, s, out, n);
        v.active = on;
        if (!on)
            continue;
        const dbc_signal *sig = &m->signals[s.sig];
        uint64_t raw;
        if (dbc_encode_raw(sig, phys[s.sig], &raw, err, errsize) != 0) {
            if (bad)
                *bad = s.sig;
            return -1;
        }
        put_bits(s, buf, raw);
        /* As dbc_decode gives it: sign-extended for signed integers. */
        if ((raw & s.sign) != 0)
            raw |= ~s.mask;
        v.raw = (int64_t)raw;
        v.phys = phys[s.sig];
    }
    memcpy(data, buf, n);
    return 0;
}
