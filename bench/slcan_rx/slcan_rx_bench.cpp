// slcan_rx_bench [frames]: frames per second through the SLCAN receive
// path. A fake adapter on a pseudo-terminal writes frame lines as fast as
// the terminal accepts them; libzelk's reader thread decodes them into the
// channel's receive queue and this program drains it with ZkRead. Also
// times the codec alone (line assembly and decoding, no I/O). A saturated
// 1 Mbit/s bus carries about 21,000 frames/s; the goal is ten times that.
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <thread>

#include "fake_adapter.h"
#include "slcan_proto.h"
#include "zelk.h"

namespace {

double seconds_since(std::chrono::steady_clock::time_point t0)
{
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
}

std::string lines(const char *kind, int count)
{
    std::string out;
    char buf[40];
    for (int i = 0; i < count; ++i) {
        if (strcmp(kind, "std-len0") == 0)
            snprintf(buf, sizeof buf, "t%03X0\r", i & 0x7FF);
        else if (strcmp(kind, "std-len8") == 0)
            snprintf(buf, sizeof buf, "t%03X8%016llX\r", i & 0x7FF, 0x1122334455667700ull + unsigned(i & 0xFF));
        else
            snprintf(buf, sizeof buf, "T%08X8%016llX\r", unsigned(i) & 0x1FFFFFFFu,
                     0x1122334455667700ull + unsigned(i & 0xFF));
        out += buf;
    }
    return out;
}

int run_codec(const char *kind, int frames)
{
    const std::string data = lines(kind, 4096);
    zk_slcan::LineAssembler a;
    long got = 0;
    const auto t0 = std::chrono::steady_clock::now();
    for (int done = 0; done < frames; done += 4096) {
        a.feed(data.data(), data.size(), [&](const char *s, size_t n, bool ok) {
            zk_slcan::Line ln;
            zk_slcan::parse_line(s, n, &ln);
            got += ok && ln.kind == zk_slcan::LineKind::Frame;
        });
    }
    const double t = seconds_since(t0);
    printf("codec    %-13s %9ld frames in %6.3f s: %10.0f frames/s\n", kind, got, t, got / t);
    return 0;
}

// Frames whose content does not fit what the feeder wrote (identifier and
// last data byte are made from the same counter).
bool corrupt(const char *kind, const zk_frame &f)
{
    if (strcmp(kind, "std-len0") == 0) return f.len != 0 || f.id > 0x7FF || f.flags != 0;
    return f.len != 8 || f.data[7] != uint8_t(f.id) || f.data[0] != 0x11 ||
           f.flags != (kind[0] == 'e' ? ZK_FRAME_EFF : 0);
}

struct Result {
    long sent = 0, got = 0, sovr = 0, bad = 0;
    double seconds = 0;
};

// Feeds `frames` frame lines, paced to `rate` frames/s (0: as fast as the
// terminal accepts them), while the host side reads every `tick_us`.
Result run_pty(const char *kind, int frames, long rate, int tick_us)
{
    Result res;
    nbtest::FakeAdapter fake;
    const std::string cfg = "slcan:" + fake.path() + ",fpoll=0";
    setenv("ZELK_BOARDS", cfg.c_str(), 1);
    if (ZkInit() < 0 || ZkOpen(0, ZK_OPEN_BOTH) < 0 || ZkStart(0) < 0) {
        fprintf(stderr, "cannot open the fake adapter on %s\n", fake.path().c_str());
        res.bad = -1;
        return res;
    }
    const int chunk_frames = rate ? 256 : 2048;
    const std::string chunk = lines(kind, chunk_frames);
    const int chunks = (frames + chunk_frames - 1) / chunk_frames;
    res.sent = long(chunks) * chunk_frames;
    std::atomic<bool> fed{false};
    const auto t0 = std::chrono::steady_clock::now();
    std::thread feeder([&] {
        for (int i = 0; i < chunks; ++i) {
            if (rate) {
                const auto due = t0 + std::chrono::microseconds(long(i) * chunk_frames * 1000000 / rate);
                std::this_thread::sleep_until(due);
            }
            fake.send(chunk);
        }
        fed = true;
    });
    static zk_frame buf[512];
    auto last = std::chrono::steady_clock::now();
    for (;;) {
        zk_chipstat st{};
        ZkChipStat(0, &st);
        res.sovr = long(st.sovr);
        if (res.got + res.sovr >= res.sent) break;
        int16_t r;
        while ((r = ZkRead(0, buf, 512)) > 0) {
            for (int i = 0; i < r; ++i) res.bad += corrupt(kind, buf[i]);
            res.got += r;
            last = std::chrono::steady_clock::now();
        }
        if (fed && seconds_since(last) > 1.0) break;  // the rest is lost
        std::this_thread::sleep_for(std::chrono::microseconds(tick_us));
    }
    res.seconds = seconds_since(t0);
    feeder.join();
    ZkClose(0);
    return res;
}

void print(const char *what, const char *kind, const Result &r)
{
    printf("%-8s %-9s %8ld frames in %6.3f s: %10.0f frames/s decoded (read %ld, queue overruns "
           "%ld, lost %ld, corrupt %ld)\n",
           what, kind, r.sent, r.seconds, (r.got + r.sovr) / r.seconds, r.got, r.sovr,
           r.sent - r.got - r.sovr, r.bad);
}

}  // namespace

int main(int argc, char **argv)
{
    const int frames = argc > 1 ? atoi(argv[1]) : 1000000;
    int rc = 0;
    // Throughput: fed as fast as the terminal takes it, read every 1 ms.
    for (const char *kind : {"std-len0", "std-len8", "ext-len8"}) {
        run_codec(kind, frames * 4);
        const Result r = run_pty(kind, frames, 0, 1000);
        print("pty+lib", kind, r);
        rc |= r.bad != 0 || r.sent != r.got + r.sovr;
    }
    // The host's cadence: read every 20 ms while 250,000 frames/s arrive
    // (more than ten saturated 1 Mbit/s buses): nothing may be lost.
    for (const char *kind : {"std-len0", "std-len8"}) {
        const Result r = run_pty(kind, 500000, 250000, 20000);
        print("20ms-tick", kind, r);
        rc |= r.bad != 0 || r.sovr != 0 || r.got != r.sent;
    }
    printf("goal: 210000 frames/s (ten times a saturated 1 Mbit/s bus)\n");
    return rc;
}
