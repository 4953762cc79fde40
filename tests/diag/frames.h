// Frames written as candump text and the events the decoders report, for
// the protocol tests.
#ifndef NBTEST_DIAG_FRAMES_H
#define NBTEST_DIAG_FRAMES_H

#include <stdlib.h>
#include <string.h>

#include <string>
#include <vector>

#include "diag.h"

namespace dgt {

// Hex digits of text without the blanks and dots between them.
inline std::string digits(const char *text)
{
    std::string out;
    for (const char *p = text; *p; p++)
        if (*p != ' ' && *p != '.')
            out += *p;
    return out;
}

inline std::vector<uint8_t> bytes(const char *hex)
{
    const std::string s = digits(hex);
    std::vector<uint8_t> v;
    for (size_t i = 0; i + 1 < s.size(); i += 2)
        v.push_back((uint8_t)strtoul(s.substr(i, 2).c_str(), nullptr, 16));
    return v;
}

// "7E8#1014490201314434" (classic) or "7E8##1..." (FD: a flags digit
// after ##) at time t_ms; blanks between the bytes are allowed.
inline dg_frame frame(const char *text, uint64_t t_ms, uint8_t extra_flags = 0)
{
    dg_frame f;
    memset(&f, 0, sizeof f);
    const char *hash = strchr(text, '#');
    f.id = (uint32_t)strtoul(std::string(text, hash).c_str(), nullptr, 16);
    if (hash - text == 8)
        f.flags |= DG_EXT;
    const char *p = hash + 1;
    if (*p == '#') {
        f.flags |= DG_FDF;
        p += 2;
    }
    const std::vector<uint8_t> data = bytes(p);
    f.len = (uint8_t)data.size();
    memcpy(f.data, data.data(), data.size());
    f.t_us = t_ms * 1000u;
    f.flags |= extra_flags;
    return f;
}

// An ISO-TP event with its bytes kept.
struct tp_ev {
    itp_event ev;
    std::vector<uint8_t> data;
};

struct tp_log {
    std::vector<tp_ev> evs;
    static void take(void *ctx, const itp_event *ev)
    {
        tp_ev e{*ev, std::vector<uint8_t>(ev->data, ev->data + ev->len)};
        e.ev.data = nullptr;
        static_cast<tp_log *>(ctx)->evs.push_back(e);
    }
    std::vector<tp_ev> of(int code) const
    {
        std::vector<tp_ev> out;
        for (const tp_ev &e : evs)
            if (e.ev.code == code)
                out.push_back(e);
        return out;
    }
};

struct j_ev {
    j19_event ev;
    std::vector<uint8_t> data;
};

struct j_log {
    std::vector<j_ev> evs;
    static void take(void *ctx, const j19_event *ev)
    {
        j_ev e{*ev, std::vector<uint8_t>(ev->data, ev->data + ev->len)};
        e.ev.data = nullptr;
        static_cast<j_log *>(ctx)->evs.push_back(e);
    }
};

}  // namespace dgt

#endif
