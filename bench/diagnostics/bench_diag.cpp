/*
 * bench_diag.cpp - processor time per frame of the diagnostics decoding
 * on the two saturated streams the simulated board makes: ISO-TP
 * (requests answered with 62 to 4095 bytes, flow control, consecutive
 * frames back to back) and J1939 broadcasts (eight sources sending TP.BAM
 * transfers of 9 to 1785 bytes in turn). Each stream is decoded with the
 * events only counted, and again with every row's summary made as the
 * page makes it when the row is in sight.
 *
 *   bench_diag [FRAMES]      (default 2,000,000 per stream)
 */
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include <vector>

#include "bench_cpu.h"
#include "diag.h"

namespace {

/* 1 Mbit/s: about 8,000 frames of 8 bytes a second. */
constexpr uint64_t FRAME_US = 125;

void put(std::vector<dg_frame> &out, uint32_t id, bool ext, const itp_tx_frame &f)
{
    dg_frame d{};
    d.t_us = out.size() * FRAME_US;
    d.id = id;
    d.flags = ext ? DG_EXT : 0;
    d.len = f.len;
    memcpy(d.data, f.data, f.len);
    out.push_back(d);
}

std::vector<dg_frame> isotp_stream(size_t n)
{
    static const uint32_t lengths[] = {62, 300, 1000, 4095};
    const itp_addr tester = {0x7E0, 0, ITP_NORMAL, 0, 0}, ecu = {0x7E8, 0, ITP_NORMAL, 0, 0};
    std::vector<dg_frame> out;
    out.reserve(n + 600);
    std::vector<uint8_t> msg(4095);
    std::vector<itp_tx_frame> fr(600);
    for (uint32_t round = 0; out.size() < n; round++) {
        const uint8_t req[3] = {0x22, 0xF1, (uint8_t)(round % 4)};
        itp_segment(req, 3, 8, &tester, 0xAA, fr.data(), 0, 1);
        put(out, 0x7E0, false, fr[0]);
        const uint32_t len = lengths[round % 4];
        msg[0] = 0x62, msg[1] = 0xF1, msg[2] = (uint8_t)(round % 4);
        for (uint32_t i = 3; i < len; i++)
            msg[i] = (uint8_t)(i * 7);
        const uint32_t total = itp_segment(msg.data(), len, 8, &ecu, 0xAA, fr.data(), 0, (uint32_t)fr.size());
        for (uint32_t i = 0; i < total; i++) {
            put(out, 0x7E8, false, fr[i]);
            if (i == 0) {
                itp_tx_frame fc;
                itp_flow_control(&tester, 0, 0, 0, 0xAA, &fc);
                put(out, 0x7E0, false, fc);
            }
        }
    }
    out.resize(n);
    return out;
}

std::vector<dg_frame> bam_stream(size_t n)
{
    static const uint32_t sizes[] = {9, 100, 500, 1785};
    struct src {
        uint32_t size, packet;
    } s[8];
    for (int i = 0; i < 8; i++)
        s[i] = {sizes[i % 4], 0};
    std::vector<dg_frame> out;
    out.reserve(n);
    for (uint32_t k = 0, round = 0; out.size() < n; k = (k + 1) % 8) {
        const uint8_t sa = (uint8_t)(0x10 + k);
        const uint32_t pgn = k == 0 ? 0xFECA : 0xFF00 + k, packets = (s[k].size + 6) / 7;
        itp_tx_frame f;
        f.len = 8;
        memset(f.data, 0xFF, 8);
        if (s[k].packet == 0) {
            const uint8_t cm[8] = {0x20, (uint8_t)s[k].size, (uint8_t)(s[k].size >> 8), (uint8_t)packets, 0xFF,
                                   (uint8_t)pgn, (uint8_t)(pgn >> 8), (uint8_t)(pgn >> 16)};
            memcpy(f.data, cm, 8);
            put(out, 0x1CECFF00u | sa, true, f);
        } else {
            f.data[0] = (uint8_t)s[k].packet;
            for (uint32_t i = 0; i < 7; i++)
                f.data[1 + i] = (uint8_t)((s[k].packet * 7 + i) * 13 + sa);
            put(out, 0x1CEBFF00u | sa, true, f);
        }
        if (++s[k].packet > packets) {
            s[k] = {sizes[(++round + k) % 4], 0};
        }
    }
    return out;
}

struct counts {
    uint64_t events;
    int describe;
    char text[512];
};

uint64_t on_event(void *ctx, const dg_event *ev)
{
    counts *c = static_cast<counts *>(ctx);
    c->events++;
    if (c->describe) {
        if (ev->tp && ev->tp->len)
            uds_describe(ev->tp->data, ev->tp->len, 0, &dg_texts_en, c->text, sizeof c->text);
        else if (ev->j)
            j19_describe(ev->j->pgn, ev->j->data, ev->j->len, 0, &dg_texts_en, c->text, sizeof c->text);
    }
    return c->events;
}

void run(const char *name, const std::vector<dg_frame> &frames, int describe)
{
    counts c{0, describe, ""};
    dg_decoder *d = dg_new(nullptr, on_event, &c);
    const double t0 = cpu_seconds();
    for (const dg_frame &f : frames)
        dg_feed(d, &f);
    const double t = cpu_seconds() - t0;
    dg_free(d);
    printf("%-8s %-22s %9zu frames %8llu events  %6.1f ns/frame  %5.2f %% of a core at 8000 frames/s\n", name,
           describe ? "decode + summaries" : "decode", frames.size(), (unsigned long long)c.events,
           t * 1e9 / (double)frames.size(), t / (double)frames.size() * 8000.0 * 100.0);
}

}  // namespace

int main(int argc, char **argv)
{
    const size_t n = argc > 1 ? strtoull(argv[1], nullptr, 10) : 2000000;
    const std::vector<dg_frame> tp = isotp_stream(n), bam = bam_stream(n);
    for (int describe = 0; describe < 2; describe++) {
        run("ISO-TP", tp, describe);
        run("J1939", bam, describe);
    }
    return 0;
}
