// zelkctl: list adapters, dump received frames, send a frame, through the
// ZELK library. Exit codes: 0 success, 1 library or device failure,
// 2 bad command line.
#include "frametext.h"
#include "zelk.h"

#include <cerrno>
#include <cstdarg>
#include <csignal>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <algorithm>
#include <vector>

namespace {

const char usage_text[] =
    "usage: zelkctl list\n"
    "       zelkctl dump CH [CH ...]|all [--rate KBIT] [--drate KBIT] [--classic]\n"
    "                       [--count N] [--seconds S] [--lom]\n"
    "       zelkctl send CH ID#DATA|ID##FDATA [--rate KBIT] [--drate KBIT]\n"
    "       zelkctl --version\n"
    "\n"
    "  list     boards, their channels (free or busy, CAN FD or classic),\n"
    "           names and serial numbers\n"
    "  dump     print the frames channel CH receives, candump style:\n"
    "           (seconds.micros) chN 123#DEADBEEF; R marks a remote frame,\n"
    "           ## a CAN FD frame (123##1DEADBEEF). A channel that can do\n"
    "           CAN FD is opened for it, unless --classic is given. With\n"
    "           several channels, or all (every free channel of every\n"
    "           board), one stream in time order, each line naming its\n"
    "           channel\n"
    "  send     send one frame: ID is 3 hex digits (11-bit, up to 7FF) or 8\n"
    "           (29-bit, up to 1FFFFFFF); DATA is up to 8 bytes of two hex\n"
    "           digits each, optionally separated by '.', or R for a remote\n"
    "           frame, optionally followed by its length 0 to 8:\n"
    "           123#DEADBEEF, 123#DE.AD, 123#, 18DAF110#R, 123#R2.\n"
    "           A CAN FD frame is ID##F then up to 64 bytes, F the flags\n"
    "           digit (1 BRS, 2 ESI): 123##1DEADBEEF; a length between the\n"
    "           FD lengths (12, 16, 20, 24, 32, 48, 64) is padded with 00.\n"
    "           Waits up to 2 s for the frame to go out; exit status 1 when\n"
    "           it was not sent (bus-off, or no node acknowledged it)\n"
    "  --rate   bit rate in kbit/s: 10 20 50 100 125 250 500 800 1000\n"
    "           (default 500)\n"
    "  --drate  CAN FD data bit rate in kbit/s, for example 2000 (default:\n"
    "           what the channel has in force)\n"
    "  --count  stop after N frames (1 to 100000000); --seconds: stop\n"
    "           after S seconds\n"
    "  --lom    listen only: the controller does not acknowledge frames\n"
    "\n"
    "Boards come from ZELK_BOARDS, else ~/.config/zelk/boards, else the\n"
    "simulated board 0 and every CAN network interface as boards 1 to 7 in\n"
    "name order. Kinds: sim[:channels=N,...], slcan:/dev/ttyACM0[,...],\n"
    "socketcan:can0[,can1,...] (Linux CAN interfaces, one channel each;\n"
    "list shows the kernel driver and the USB serial number).\n";

constexpr unsigned long COUNT_MAX = 100000000ul;
/* How long send waits for its frame to get onto the bus. */
constexpr uint64_t SEND_WAIT_US = 2000000;

volatile sig_atomic_t g_stop = 0;

void on_signal(int) { g_stop = 1; }

/* A bad command line: one line that says what is wrong (the whole usage
 * only when nothing was given at all); exit code 2. */
int usage(const char *fmt, ...) __attribute__((format(printf, 1, 2)));
int usage(const char *fmt, ...)
{
    if (!fmt) {
        fputs(usage_text, stderr);
        return 2;
    }
    va_list ap;
    va_start(ap, fmt);
    fprintf(stderr, "zelkctl: ");
    vfprintf(stderr, fmt, ap);
    fprintf(stderr, " (zelkctl --help shows the usage)\n");
    va_end(ap);
    return 2;
}

int lib_fail(const char *what, int code)
{
    char text[512];
    ZkStrError(int16_t(code), text, sizeof text);
    fprintf(stderr, "zelkctl: %s: %s\n", what, text);
    return 1;
}

bool parse_ulong(const char *s, int base, unsigned long max, unsigned long *out)
{
    if (!s || !*s || *s == '-' || *s == '+') return false;
    char *end = nullptr;
    errno = 0;
    unsigned long v = strtoul(s, &end, base);
    if (*end || errno || v > max) return false;
    *out = v;
    return true;
}

bool rate_pair(unsigned long kbit, uint8_t *bt0, uint8_t *bt1)
{
    const zk_cia_rate *r = zk_cia_rate_at(kbit <= 1000 ? zk_cia_index(uint32_t(kbit)) : -1);
    if (!r) return false;
    *bt0 = r->bt0;
    *bt1 = r->bt1;
    return true;
}

int init()
{
    int16_t r = ZkInit();
    if (r < 0) return lib_fail("cannot initialise the adapter library", r);
    return 0;
}

int cmd_list()
{
    if (int e = init()) return e;
    int boards = 0;
    for (int n = 0; n < ZK_MAX_BOARDS; n++) {
        zk_board b{};
        b.number = uint8_t(n);
        if (ZkBoardInfo(&b) < 0) continue;
        boards++;
        char serial[256] = "";
        if (ZkBoardGetSerial(uint8_t(n), serial, sizeof serial) < 0 || !serial[0])
            snprintf(serial, sizeof serial, "none");
        printf("board %d: %s (%s), serial %s\n", n, b.name, b.manufacturer, serial);
        for (int slot = 0; slot < 4; slot++) {
            if (b.chip[slot] < 0) continue;
            const uint8_t ch = uint8_t(b.chip[slot]);
            int16_t r = ZkOpen(ch, ZK_OPEN_PROBE);
            if (r >= 0) ZkClose(ch);
            const char *state = r >= 0 ? "free" : r == ZK_E_BUSY ? "busy" : "unavailable";
            printf("  channel %u: %s, %s\n", unsigned(ch), state,
                   (b.fd_slots >> slot) & 1u ? "CAN FD" : "classic CAN");
            if (r < 0 && r != ZK_E_BUSY) {
                // Why, for example a simulated bus that cannot be trusted.
                char text[512];
                ZkStrError(r, text, sizeof text);
                printf("    %s\n", text);
            }
        }
    }
    if (boards == 0) printf("no boards\n");
    return 0;
}

struct chan_opts {
    int chan = -1;
    std::vector<int> more;     // dump: further channels
    bool all = false;          // dump: every channel that opens
    unsigned long kbit = 500;
    unsigned long dkbit = 0;   // 0: the data rate in force
    bool classic = false;      // open for classic CAN even where FD is possible
    unsigned long count = 0;   // 0: no limit
    double seconds = 0;        // 0: no limit
    bool lom = false;
};

/* Opens and starts the channel: for CAN FD when fd is "want" (falling back
 * to classic CAN where the channel cannot) or "need". */
enum class fd_use { no, want, need };

int open_chan(const chan_opts &o, fd_use fd, uint8_t extra = 0)
{
    const uint8_t ch = uint8_t(o.chan);
    char what[96]; /* the longest text below with the widest numbers */
    snprintf(what, sizeof what, "cannot open channel %d", o.chan);
    int16_t r = fd == fd_use::no ? ZK_E_NOFD : ZkOpen(ch, ZK_OPEN_BOTH | ZK_OPEN_FD | extra);
    if (r == ZK_E_NOFD && fd == fd_use::need) {
        snprintf(what, sizeof what, "channel %d cannot send CAN FD frames", o.chan);
        return lib_fail(what, r);
    }
    if (r == ZK_E_NOFD) r = ZkOpen(ch, ZK_OPEN_BOTH | extra);
    if (r < 0) return lib_fail(what, r);
    if (o.dkbit) {
        snprintf(what, sizeof what, "cannot set the data rate %lu kbit/s on channel %d", o.dkbit,
                 o.chan);
        if ((r = ZkSetDataRate(ch, uint32_t(o.dkbit * 1000), 0, ZK_FD_ISO)) < 0) {
            ZkClose(ch);
            return lib_fail(what, r);
        }
    }
    uint8_t bt0 = 0, bt1 = 0;
    rate_pair(o.kbit, &bt0, &bt1);
    snprintf(what, sizeof what, "cannot set %lu kbit/s on channel %d", o.kbit, o.chan);
    if ((r = ZkSetBaud(ch, bt0, bt1)) < 0) {
        ZkClose(ch);
        return lib_fail(what, r);
    }
    if (o.lom && (r = ZkSetLom(ch, 1)) < 0) {
        ZkClose(ch);
        return lib_fail("cannot switch listen-only mode on", r);
    }
    if ((r = ZkStart(ch)) < 0) {
        ZkClose(ch);
        return lib_fail("cannot start the controller", r);
    }
    return 0;
}

uint64_t now_us(clockid_t clock)
{
    timespec ts;
    clock_gettime(clock, &ts);
    return uint64_t(ts.tv_sec) * 1000000u + uint64_t(ts.tv_nsec) / 1000u;
}

void print_frame(int chan, const zk_fdframe &f, uint64_t wall_us)
{
    char line[64 + FT_FD_TEXT_MAX];
    const int n = snprintf(line, sizeof line, "(%llu.%06llu) ch%d ",
                           (unsigned long long)(wall_us / 1000000u),
                           (unsigned long long)(wall_us % 1000000u), chan);
    ft_format_fd(&f, line + n, sizeof line - size_t(n));
    puts(line);
}

/* FD frames a classic channel could not hand over, once more came. */
void report_skipped(int chan, uint32_t *reported)
{
    zk_chipstat st{};
    if (ZkChipStat(uint8_t(chan), &st) < 0 || st.fd_skipped == *reported) return;
    fprintf(stderr, "zelkctl: ch%d: %u CAN FD frames skipped (the channel is open for classic CAN)\n",
            chan, unsigned(st.fd_skipped - *reported));
    *reported = st.fd_skipped;
}

void report_errors(int chan, const zk_errs &e)
{
    if (e.ewl) fprintf(stderr, "zelkctl: ch%d: error warning limit reached (%u)\n", chan, e.ewl);
    if (e.boff) fprintf(stderr, "zelkctl: ch%d: bus-off (%u)\n", chan, e.boff);
    if (e.hovr) fprintf(stderr, "zelkctl: ch%d: controller overrun, %u lost\n", chan, e.hovr);
    if (e.sovr) fprintf(stderr, "zelkctl: ch%d: receive queue overrun, %u lost\n", chan, e.sovr);
}

/* How much later than its receive time a frame may reach its channel's
 * queue (a serial adapter, a busy machine): the stream waits that long
 * before it orders a frame among the other channels'. */
constexpr uint64_t DUMP_LATENCY_US = 50000;

/* One frame read, on the monotonic clock in microseconds. */
struct dumped {
    uint64_t mono;
    size_t order;   // the channel's place on the command line
    int chan;
    zk_fdframe f;
};

/* The channels dump reads: those named, or with all every channel of
 * every board that opens (the others are said and skipped). */
int open_dump_chans(const chan_opts &o, std::vector<int> *chans)
{
    const fd_use fd = o.classic ? fd_use::no : fd_use::want;
    std::vector<int> want;
    if (o.all) {
        for (int n = 0; n < ZK_MAX_BOARDS; n++) {
            zk_board b{};
            b.number = uint8_t(n);
            if (ZkBoardInfo(&b) < 0) continue;
            for (int slot = 0; slot < 4; slot++)
                if (b.chip[slot] >= 0) want.push_back(b.chip[slot]);
        }
    } else {
        want.push_back(o.chan);
        want.insert(want.end(), o.more.begin(), o.more.end());
    }
    for (int c : want) {
        chan_opts one = o;
        one.chan = c;
        if (int e = open_chan(one, fd)) {
            if (o.all) continue; /* open_chan said why */
            for (int done : *chans) {
                ZkStop(uint8_t(done));
                ZkClose(uint8_t(done));
            }
            chans->clear();
            return e;
        }
        chans->push_back(c);
    }
    if (chans->empty()) {
        fprintf(stderr, "zelkctl: no channel could be opened\n");
        return 1;
    }
    return 0;
}

int cmd_dump(const chan_opts &o)
{
    if (int e = init()) return e;
    std::vector<int> chans;
    if (int e = open_dump_chans(o, &chans)) return e;
    signal(SIGINT, on_signal);
    signal(SIGTERM, on_signal);
    signal(SIGPIPE, on_signal);
    // Receive times are the low 32 bits of the monotonic clock in
    // microseconds, on every channel: each is widened against the clock
    // read after its batch, and placed on the wall clock read once.
    const uint64_t wall0 = now_us(CLOCK_REALTIME);
    const uint64_t mono0 = now_us(CLOCK_MONOTONIC);
    unsigned long seen = 0;
    static zk_fdframe buf[512];
    std::vector<dumped> pending;
    std::vector<uint32_t> skipped(chans.size(), 0);
    int rc = 0;
    uint64_t next_skip_check = mono0;
    auto print_upto = [&](uint64_t horizon) {
        // Each channel's frames are in time order; at equal times the
        // channel named first comes first, whichever round read it.
        std::stable_sort(pending.begin(), pending.end(), [](const dumped &a, const dumped &b) {
            return a.mono != b.mono ? a.mono < b.mono : a.order < b.order;
        });
        size_t k = 0;
        for (; k < pending.size() && pending[k].mono <= horizon; k++) {
            if (o.count && seen >= o.count) break;
            print_frame(pending[k].chan, pending[k].f, wall0 + (pending[k].mono - mono0));
            seen++;
        }
        pending.erase(pending.begin(), pending.begin() + long(k));
    };
    while (!g_stop) {
        // Every frame received a while before the reads began is in its
        // channel's queue now: those go out in one time order, later ones
        // wait for the next round. One channel's go as they come.
        const uint64_t start = now_us(CLOCK_MONOTONIC);
        const uint64_t horizon = chans.size() == 1          ? UINT64_MAX
                                 : start > DUMP_LATENCY_US ? start - DUMP_LATENCY_US
                                                           : 0;
        bool full = false;
        for (size_t ci = 0; ci < chans.size(); ci++) {
            const int c = chans[ci];
            int16_t n = ZkReadFd(uint8_t(c), buf, 512);
            if (n < 0) {
                char what[48];
                if (chans.size() == 1)  /* one channel speaks as it always did */
                    snprintf(what, sizeof what, "cannot read");
                else
                    snprintf(what, sizeof what, "cannot read channel %d", c);
                rc = lib_fail(what, n);
                g_stop = 1;
                break;
            }
            const uint64_t now = now_us(CLOCK_MONOTONIC);
            for (int i = 0; i < n; i++)
                pending.push_back({now - uint64_t(int64_t(int32_t(uint32_t(now) - buf[i].ts))), ci,
                                   c, buf[i]});
            full |= n == 512;
        }
        print_upto(horizon);
        for (int c : chans) {
            zk_errs e{};
            if (ZkErrsGetClear(uint8_t(c), &e) >= 0) report_errors(c, e);
        }
        if (now_us(CLOCK_MONOTONIC) >= next_skip_check) {
            for (size_t i = 0; i < chans.size(); i++) report_skipped(chans[i], &skipped[i]);
            next_skip_check = now_us(CLOCK_MONOTONIC) + 1000000u;
        }
        if (o.count && seen >= o.count) break;
        if (o.seconds > 0 && double(now_us(CLOCK_MONOTONIC) - mono0) >= o.seconds * 1e6) break;
        if (!full) {
            fflush(stdout);
            timespec ts{0, 10 * 1000 * 1000};
            nanosleep(&ts, nullptr);
        }
    }
    if (rc == 0) print_upto(UINT64_MAX);
    fflush(stdout);
    for (size_t i = 0; i < chans.size(); i++) {
        report_skipped(chans[i], &skipped[i]);
        ZkStop(uint8_t(chans[i]));
        ZkClose(uint8_t(chans[i]));
    }
    return rc;
}

int cmd_send(const chan_opts &o, const zk_fdframe &f)
{
    if (int e = init()) return e;
    const bool fd = (f.flags & ZK_FRAME_FDF) != 0;
    if (int e = open_chan(o, fd ? fd_use::need : fd_use::no, ZK_OPEN_TXRESULT)) return e;
    const uint8_t ch = uint8_t(o.chan);
    int16_t r = ZkWriteFd(ch, &f, 1);
    int rc = r < 0 ? lib_fail("cannot send", r) : 0;
    // Stopping gives up a frame still queued: wait for its fate first.
    const uint64_t until = now_us(CLOCK_MONOTONIC) + SEND_WAIT_US;
    zk_txresult res{};
    int16_t got = 0;
    while (rc == 0 && (got = ZkTxResults(ch, &res, 1)) == 0 && now_us(CLOCK_MONOTONIC) < until) {
        const timespec pause{0, 1000000};
        nanosleep(&pause, nullptr);
    }
    if (rc == 0 && got < 0) {
        rc = lib_fail("cannot tell whether the frame was sent", got);
    } else if (rc == 0 && (got == 0 || res.status == ZK_TX_DROPPED)) {
        zk_chipstat st{};
        ZkChipStat(ch, &st);
        fprintf(stderr, "zelkctl: the frame was not sent%s\n",
                st.bus_state == 3   ? ": the controller is bus-off"
                : got == 0          ? ": no node acknowledged it within 2 s"
                                    : "");
        rc = 1;
    }
    ZkStop(ch);
    ZkClose(ch);
    return rc;
}

}  // namespace

int main(int argc, char **argv)
{
    if (argc < 2) return usage(nullptr);
    const char *cmd = argv[1];
    if (strcmp(cmd, "-h") == 0 || strcmp(cmd, "--help") == 0 || strcmp(cmd, "help") == 0) {
        fputs(usage_text, stdout);
        return 0;
    }
    if (strcmp(cmd, "--version") == 0) {
        if (argc > 2) return usage("--version takes no arguments, got \"%s\"", argv[2]);
        const uint32_t v = ZkGetLibVer();
        printf("zelkctl %d.%d.%d (ZELK library %u.%u.%u)\n", ZK_VERSION_MAJOR, ZK_VERSION_MINOR,
               ZK_VERSION_PATCH, unsigned((v >> 16) & 0xFF), unsigned((v >> 8) & 0xFF),
               unsigned(v & 0xFF));
        return 0;
    }
    if (strcmp(cmd, "list") == 0) {
        if (argc > 2) return usage("list takes no arguments, got \"%s\"", argv[2]);
        return cmd_list();
    }
    const bool dump = strcmp(cmd, "dump") == 0;
    const bool send = strcmp(cmd, "send") == 0;
    if (!dump && !send) return usage("unknown command \"%s\"", cmd);

    chan_opts o;
    const char *frame_text = nullptr;
    for (int i = 2; i < argc; i++) {
        const char *a = argv[i];
        unsigned long v = 0;
        const bool has_value = i + 1 < argc;
        if (strcmp(a, "--rate") == 0) {
            if (!has_value) return usage("--rate needs a bit rate in kbit/s");
            uint8_t b0, b1;
            if (!parse_ulong(argv[++i], 10, 1000, &v) || !rate_pair(v, &b0, &b1))
                return usage("--rate \"%s\": use 10, 20, 50, 100, 125, 250, 500, 800 or 1000", argv[i]);
            o.kbit = v;
        } else if (strcmp(a, "--drate") == 0) {
            if (!has_value) return usage("--drate needs a data bit rate in kbit/s");
            if (!parse_ulong(argv[++i], 10, 16000, &v) || v < 100)
                return usage("--drate \"%s\": a data bit rate from 100 to 16000 kbit/s, for example 2000",
                             argv[i]);
            o.dkbit = v;
        } else if (dump && strcmp(a, "--classic") == 0) {
            o.classic = true;
        } else if (dump && strcmp(a, "--count") == 0) {
            if (!has_value) return usage("--count needs a number of frames");
            const char *n = argv[++i];
            const bool digits = *n && strspn(n, "0123456789") == strlen(n);
            const bool fits = parse_ulong(n, 10, COUNT_MAX, &v);
            if (digits && !fits)
                return usage("--count \"%s\": too large, at most %lu frames", n, COUNT_MAX);
            if (!fits || v == 0) return usage("--count \"%s\": expected a number of frames above 0", n);
            o.count = v;
        } else if (dump && strcmp(a, "--seconds") == 0) {
            char *end = nullptr;
            if (!has_value) return usage("--seconds needs a duration");
            o.seconds = strtod(argv[++i], &end);
            if (!*argv[i] || *end || !(o.seconds > 0))
                return usage("--seconds \"%s\": expected a duration above 0", argv[i]);
            if (o.seconds > 1e7)
                return usage("--seconds \"%s\": at most 10000000 seconds (about 115 days)",
                             argv[i]);
        } else if (dump && strcmp(a, "--lom") == 0) {
            o.lom = true;
        } else if (a[0] == '-' && a[1]) {
            return usage("unknown option \"%s\"", a);
        } else if (dump && strcmp(a, "all") == 0) {
            o.all = true;
        } else if (o.chan < 0 || dump) {
            if (!parse_ulong(a, 10, 255, &v)) return usage("channel \"%s\": expected 0 to 255", a);
            if (int(v) == o.chan || std::find(o.more.begin(), o.more.end(), int(v)) != o.more.end())
                return usage("channel %lu is named twice", v);
            if (o.chan < 0)
                o.chan = int(v);
            else
                o.more.push_back(int(v));
        } else if (send && !frame_text) {
            frame_text = a;
        } else {
            return usage("unexpected argument \"%s\"", a);
        }
    }
    if (o.all && o.chan >= 0) return usage("all and channel numbers do not go together");
    if (o.chan < 0 && !o.all) return usage("%s needs a channel number", cmd);
    if (dump && o.classic && o.dkbit) return usage("--drate and --classic do not go together");
    if (dump) return cmd_dump(o);
    if (!frame_text) return usage("send needs a frame ID#DATA, for example 123#DEADBEEF");
    zk_fdframe f;
    char why[128];
    const int pad = ft_parse_fd(frame_text, &f, why, sizeof why);
    if (pad < 0) {
        /* The text as given may hold anything: show it escaped. */
        char shown[96];
        size_t k = 0;
        for (const char *c = frame_text; *c && k + 5 < sizeof shown; c++) {
            unsigned char u = static_cast<unsigned char>(*c);
            if (u >= 0x20 && u < 0x7F && u != '"' && u != '\\')
                shown[k++] = char(u);
            else
                k += size_t(snprintf(shown + k, sizeof shown - k, "\\x%02X", u));
        }
        shown[k] = '\0';
        return usage("frame \"%s\": %s", shown, why);
    }
    if (o.dkbit && !(f.flags & ZK_FRAME_FDF)) return usage("--drate is for CAN FD frames (ID##FDATA)");
    if (pad > 0)
        fprintf(stderr, "zelkctl: %d data bytes padded to the CAN FD length %u with 00\n",
                int(f.len) - pad, unsigned(f.len));
    return cmd_send(o, f);
}
