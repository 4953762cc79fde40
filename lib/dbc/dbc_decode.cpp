/*
 * dbc_decode.cpp - one frame's data bytes into signal values, by the
 * message's decode plan. The eight data bytes are read once as a little-
 * and a big-endian 64-bit word; each signal is then a shift and a mask of
 * one of them. Multiplexors come first in the plan, so a signal's
 * multiplexor value is known when the signal is reached.
 */
#include "dbc.h"

#include <string.h>

static_assert(__BYTE_ORDER__ == __ORDER_LITTLE_ENDIAN__, "the data words are read little-endian");

int dbc_decode(const dbc_message *m, const uint8_t *data, unsigned len, dbc_value *out)
{
    uint8_t bytes[8] = {0, 0, 0, 0, 0, 0, 0, 0};
    unsigned n = len > 8 ? 8 : len;
    if (n)
        memcpy(bytes, data, n);
    uint64_t le;
    memcpy(&le, bytes, sizeof le);
    const uint64_t be = __builtin_bswap64(le);
    const dbc_mux_range *ranges = m->plan_ranges.data();
    int active = 0;
    for (const dbc_step &s : m->plan) {
        dbc_value &v = out[s.sig];
        bool on = s.need <= n;
        if (on && s.sw >= 0) {
            const dbc_value &w = out[s.sw];
            on = false;
            if (w.active)
                for (uint32_t r = s.range_first; r < s.range_first + s.range_count; r++)
                    if (w.raw >= ranges[r].lo && w.raw <= ranges[r].hi) {
                        on = true;
                        break;
                    }
        }
        v.active = on;
        if (!on)
            continue;
        uint64_t raw = ((s.big_endian ? be : le) >> s.shift) & s.mask;
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
