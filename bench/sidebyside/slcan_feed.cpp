// slcan_feed: a serial CAN adapter on a pseudo-terminal (the tests' fake
// adapter, which answers the opening commands as SLCAN firmware does: CR
// on success, BEL on error, V, N, F, O/L/C) that, when told, receives a
// bus's traffic at its true rate: every frame is placed on the bus's
// timeline by its length in bits, stuff bits included, and its line is
// written once that time has come. Every frame carries a sequence number (in its data, or in its
// identifier for length 0), so a reader can count what it lost.
//
// usage: slcan_feed [--profile sat0|sat8|mixed|slow] [--kbit 1000]
//                   [--speed X] [--fps N] [--buffer BYTES]
//   sat0   standard frames of length 0 back to back (identifier = sequence)
//   sat8   standard frames of length 8 back to back (data = sequence)
//   mixed  300 identifiers (a third extended), lengths 1 to 8, periods of
//          10 ms to 1 s, 50 % bus load
//   slow   --fps frames per second (default 10), ten identifiers
//   --speed multiplies the rate (2: twice what the bus carries, as an
//   adapter flushing its buffer or a replay as fast as possible).
//   --buffer is the adapter's own buffer: lines the terminal does not
//   take are held up to this many bytes, then frames are dropped and
//   counted (default 65536).
//
// Talks to its caller on stdin/stdout, one line each:
//   out "pty PATH"            at start: the terminal the reader opens
//   out "open"                the reader opened the CAN channel
//   in  "go SECONDS"          receive traffic for SECONDS from now
//   out "sent N dropped D seconds T"  when that is done
//   in  "quit" (or end of input)
#include <errno.h>
#include <poll.h>
#include <signal.h>
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <time.h>
#include <unistd.h>

#include <string>
#include <vector>

#include "busview.h"
#include "fake_adapter.h"

namespace {

struct options {
    std::string profile = "sat0";
    uint32_t kbit = 1000;
    double speed = 1.0;
    double fps = 10;
    size_t buffer = 65536;
};

uint64_t now_ns()
{
    timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return (uint64_t)ts.tv_sec * 1000000000u + (uint64_t)ts.tv_nsec;
}

/* One node of the mixed profile. */
struct node {
    uint32_t id;
    uint8_t flags, len;
    uint64_t period_ns;
    uint64_t due_ns;
};

class feed {
public:
    explicit feed(const options &o) : opt_(o) {}

    int run()
    {
        if (adapter_.path().empty())
            return 1;
        printf("pty %s\n", adapter_.path().c_str());
        fflush(stdout);
        make_nodes();
        char in[4096];
        std::string ctl;
        bool told_open = false;
        for (;;) {
            pollfd p = {0, POLLIN, 0};
            if (poll(&p, 1, streaming_ ? 1 : 20) < 0 && errno != EINTR)
                return 1;
            if (!told_open && adapter_.channel_open()) {
                told_open = true;
                printf("open\n");
                fflush(stdout);
            }
            if (p.revents & (POLLIN | POLLHUP)) {
                ssize_t n = read(0, in, sizeof in);
                if (n <= 0)
                    return 0;
                ctl.append(in, (size_t)n);
                size_t nl;
                while ((nl = ctl.find('\n')) != std::string::npos) {
                    std::string line = ctl.substr(0, nl);
                    ctl.erase(0, nl + 1);
                    if (line == "quit")
                        return 0;
                    if (line.compare(0, 3, "go ") == 0)
                        start(atof(line.c_str() + 3));
                }
            }
            if (streaming_)
                generate();
            flush();
        }
    }

private:
    void make_nodes()
    {
        if (opt_.profile != "mixed")
            return;
        /* 300 identifiers; periods from the usual set, then all periods
         * scaled so the bus carries half its capacity. */
        static const uint32_t periods_ms[] = {10, 20, 50, 100, 100, 200, 500, 1000};
        uint32_t seed = 12345;
        double bits_per_s = 0;
        for (int i = 0; i < 300; i++) {
            seed = seed * 1103515245u + 12345u;
            node n;
            n.flags = i % 3 == 2 ? ZK_FRAME_EFF : 0;
            n.id = n.flags ? 0x18000000u + (uint32_t)i * 0x101u : 0x100u + (uint32_t)i * 5u;
            n.len = (uint8_t)(1 + (seed >> 16) % 8);
            n.period_ns = (uint64_t)periods_ms[(seed >> 8) % 8] * 1000000u;
            uint8_t zero[8] = {0};
            bits_per_s += bv_frame_bits(n.id, n.flags, n.len, zero).nominal * 1e9 / (double)n.period_ns;
            n.due_ns = (uint64_t)((seed >> 4) % 1000) * n.period_ns / 1000;
            nodes_.push_back(n);
        }
        double scale = bits_per_s / (0.5 * opt_.kbit * 1000.0);
        for (node &n : nodes_) {
            n.period_ns = (uint64_t)((double)n.period_ns * scale);
            n.due_ns = (uint64_t)((double)n.due_ns * scale);
        }
    }

    void start(double seconds)
    {
        streaming_ = true;
        seq_ = 0;
        dropped_ = 0;
        bus_ns_ = 0;
        t0_ns_ = now_ns();
        end_ns_ = (uint64_t)(seconds * 1e9 * opt_.speed);  /* bus time */
        for (node &n : nodes_)
            n.due_ns %= n.period_ns;
    }

    /* The next frame on the bus: its content, when it starts, and the
     * node it comes from (mixed profile; null otherwise). */
    void next_frame(zk_frame *f, uint64_t *start_ns, node **from)
    {
        *from = nullptr;
        memset(f, 0, sizeof *f);
        uint64_t s = seq_;
        *start_ns = bus_ns_;
        if (opt_.profile == "sat0") {
            f->id = (uint32_t)(s & 0x7FF);
        } else if (opt_.profile == "sat8") {
            f->id = 0x100;
            f->len = 8;
            for (int i = 0; i < 8; i++)
                f->data[i] = (uint8_t)(s >> (8 * i));
        } else if (opt_.profile == "slow") {
            f->id = 0x100 + (uint32_t)(s % 10);
            f->len = 8;
            for (int i = 0; i < 8; i++)
                f->data[i] = (uint8_t)(s >> (8 * i));
            uint64_t period = (uint64_t)(1e9 / opt_.fps);
            *start_ns = s * period;
        } else {
            /* The node due first wins the bus (the lower identifier when
             * two are due together, as arbitration decides). */
            node *best = &nodes_[0];
            for (node &n : nodes_)
                if (n.due_ns < best->due_ns || (n.due_ns == best->due_ns && n.id < best->id))
                    best = &n;
            f->id = best->id;
            f->flags = best->flags;
            f->len = best->len;
            for (int i = 0; i < f->len; i++)
                f->data[i] = (uint8_t)(s >> (8 * i));
            if (best->due_ns > *start_ns)
                *start_ns = best->due_ns;
            *from = best;
        }
    }

    void generate()
    {
        uint64_t now = (uint64_t)((double)(now_ns() - t0_ns_) * opt_.speed);
        const double ns_per_bit = 1e6 / opt_.kbit;
        for (;;) {
            zk_frame f;
            uint64_t start_ns;
            node *from;
            next_frame(&f, &start_ns, &from);
            uint64_t end = start_ns + (uint64_t)(bv_frame_bits(f.id, f.flags, f.len, f.data).nominal *
                                                 ns_per_bit);
            if (end > end_ns_) {
                stop();
                return;
            }
            if (end > now)
                return;
            if (from)
                from->due_ns += from->period_ns;
            seq_++;
            bus_ns_ = end;
            if (out_.size() >= opt_.buffer) {
                dropped_++;
                continue;
            }
            line(f);
        }
    }

    void line(const zk_frame &f)
    {
        static const char hex[] = "0123456789ABCDEF";
        char b[40];
        int n = 0;
        bool ext = f.flags & ZK_FRAME_EFF;
        b[n++] = ext ? 'T' : 't';
        for (int i = ext ? 7 : 2; i >= 0; i--)
            b[n++] = hex[(f.id >> (4 * i)) & 15];
        b[n++] = (char)('0' + f.len);
        for (int i = 0; i < f.len; i++) {
            b[n++] = hex[f.data[i] >> 4];
            b[n++] = hex[f.data[i] & 15];
        }
        b[n++] = '\r';
        out_.append(b, (size_t)n);
    }

    void stop()
    {
        streaming_ = false;
        flush();
        double secs = (double)(now_ns() - t0_ns_) / 1e9;
        printf("sent %llu dropped %llu seconds %.3f\n", (unsigned long long)(seq_ - dropped_),
               (unsigned long long)dropped_, secs);
        fflush(stdout);
    }

    void flush()
    {
        if (!out_.empty())
            out_.erase(0, adapter_.send_some(out_.data(), out_.size()));
    }

    options opt_;
    nbtest::FakeAdapter adapter_;
    std::string out_;
    bool streaming_ = false;
    uint64_t t0_ns_ = 0, end_ns_ = 0, bus_ns_ = 0;
    uint64_t seq_ = 0, dropped_ = 0;
    std::vector<node> nodes_;
};

}  // namespace

int main(int argc, char **argv)
{
    options o;
    for (int i = 1; i + 1 < argc; i += 2) {
        std::string k = argv[i];
        const char *v = argv[i + 1];
        if (k == "--profile")
            o.profile = v;
        else if (k == "--kbit")
            o.kbit = (uint32_t)atoi(v);
        else if (k == "--speed")
            o.speed = atof(v);
        else if (k == "--fps")
            o.fps = atof(v);
        else if (k == "--buffer")
            o.buffer = (size_t)atol(v);
        else {
            fprintf(stderr, "unknown option %s\n", argv[i]);
            return 2;
        }
    }
    if (o.profile != "sat0" && o.profile != "sat8" && o.profile != "mixed" &&
        o.profile != "slow") {
        fprintf(stderr, "unknown profile %s\n", o.profile.c_str());
        return 2;
    }
    if (o.kbit == 0 || o.speed <= 0 || o.fps <= 0) {
        fprintf(stderr, "--kbit, --speed and --fps must be positive\n");
        return 2;
    }
    signal(SIGPIPE, SIG_IGN);
    feed f(o);
    return f.run();
}
