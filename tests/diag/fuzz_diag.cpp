// libFuzzer: any stream of frames through the diagnostics decoders (ISO-TP
// with every pair form, J1939, request matching) and every event's bytes
// through the descriptions. Nothing may crash, hang or read out of bounds.
// The input is a sequence of frames: a flags byte (bit 0 29-bit, bit 2 FD,
// bits 4-7 the time step in ms), four identifier bytes, a length byte and
// the data.
#include <stddef.h>
#include <stdint.h>
#include <string.h>

#include "diag.h"

namespace {

char text[4096];

uint64_t on_event(void *, const dg_event *ev)
{
    for (int detail = 0; detail < 2; detail++) {
        if (ev->tp && ev->tp->data)
            uds_describe(ev->tp->data, ev->tp->len, detail, &dg_texts_en, text, sizeof text);
        if (ev->j && ev->j->data)
            j19_describe(ev->j->pgn, ev->j->data, ev->j->len, detail, &dg_texts_en, text, sizeof text);
    }
    return ev->kind == DG_REQUEST ? 1 : 0;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *in, size_t size)
{
    static dg_decoder *d = dg_new(nullptr, on_event, nullptr);
    dg_reset(d, nullptr);
    itp_pair p{};
    p.req = {0x6F1, 0, ITP_EXTENDED, 0x10, 0};
    p.resp = {0x610, 0, ITP_EXTENDED, 0xF1, 0};
    itp_add_pair(dg_isotp(d), &p);
    p.req = {0x700, 0, ITP_MIXED, 0x55, 0};
    p.resp = {0x708, 0, ITP_MIXED, 0x55, 0};
    itp_add_pair(dg_isotp(d), &p);
    uint64_t t = 0;
    size_t i = 0;
    while (i + 6 <= size) {
        dg_frame f{};
        const uint8_t flags = in[i];
        t += (uint64_t)(flags >> 4) * 250000u;
        f.t_us = t;
        f.flags = (uint8_t)(flags & (DG_EXT | DG_FDF | DG_RTR));
        memcpy(&f.id, in + i + 1, 4);
        f.id &= (f.flags & DG_EXT) ? 0x1FFFFFFFu : 0x7FFu;
        f.len = (uint8_t)(in[i + 5] % ((f.flags & DG_FDF) ? 65 : 9));
        i += 6;
        const size_t n = size - i < f.len ? size - i : f.len;
        memcpy(f.data, in + i, n);
        i += n;
        dg_feed(d, &f);
        uds_describe(f.data, f.len, 1, &dg_texts_en, text, sizeof text);
    }
    dg_tick(d, t + 60000000u);
    return 0;
}
