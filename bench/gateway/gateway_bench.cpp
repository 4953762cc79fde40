// The gateway's cost and forwarding delay.
//   engine            CPU per frame of lib/cangw alone, for a plain rule, a
//                     rule with filter, modifications, CRC8 and XOR, and an
//                     E2E profile 1 rule.
//   sim SECONDS ZELKCTL
//                     a saturated simulated bus (500 kbit/s, 8-byte frames)
//                     forwarded to a second simulated bus, read every 20 ms
//                     (the host's poll tick) and every 1 ms: frames, delay
//                     (receive to send accepted: median, 99th percentile),
//                     CPU per forwarded frame, and beside it `zelkctl dump`
//                     on the same bus with its CPU per received frame.
//   forward SRC DST SECONDS
//                     forwards SocketCAN interface SRC to DST through the
//                     adapter library, read every 1 ms (the vcan guest run).
//   delay SRC DST N   sends N frames on SRC 2 ms apart and times each one's
//                     copy on DST by the kernel's receive time stamps.
#include <net/if.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <linux/can.h>
#include <linux/can/raw.h>
#include <linux/net_tstamp.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <string>
#include <vector>

#include "bench_cpu.h"
#include "cangw.h"
#include "zelk.h"

namespace {

uint64_t now_ns()
{
    timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return uint64_t(ts.tv_sec) * 1000000000u + uint64_t(ts.tv_nsec);
}

uint32_t now_us32()
{
    return uint32_t(now_ns() / 1000);
}

void sleep_us(long us)
{
    timespec t{us / 1000000, (us % 1000000) * 1000};
    nanosleep(&t, nullptr);
}

cangw_rule rule(const char *text)
{
    cangw_rule r;
    const char *why = nullptr;
    if (cangw_rule_parse(text, &r, &why) != 0) {
        fprintf(stderr, "rule %s: %s\n", text, why);
        exit(2);
    }
    return r;
}

int count_send(void *ctx, uint16_t, const zk_fdframe *)
{
    ++*static_cast<long *>(ctx);
    return 0;
}

void engine()
{
    const char *rules[] = {
        "-s 0 -d 1",
        "-s 0 -d 1 -f 100:700 -m AND:D:0.0.FFFFFFFFFFFFFF00 -m SET:I:123.0.0000000000000000 "
        "-c 0:6:7:FF:FF:1D -x 0:7:7:00",
        "-s 0 -d 1 -m OR:D:0.0.0000000000000000 -E P1:123:0",
    };
    const char *names[] = {"plain", "filter+mods+CRC8+XOR", "E2E P1"};
    static cangw gw;
    long sent = 0;
    const cangw_ops ops{count_send};
    for (int k = 0; k < 3; k++) {
        cangw_init(&gw, &ops, &sent);
        cangw_rule r = rule(rules[k]);
        cangw_set_rules(&gw, &r, 1, nullptr);
        cangw_set_channel(&gw, 0, 1, 0, 0);
        cangw_set_channel(&gw, 1, 1, 0, 0);
        cangw_start(&gw);
        zk_fdframe f{};
        f.len = 8;
        const long n = 2000000;
        sent = 0;
        const double c0 = cpu_seconds();
        for (long i = 0; i < n; i++) {
            f.id = 0x100 + uint32_t(i & 0xFF);
            f.data[0] = uint8_t(i);
            cangw_frame(&gw, 0, 0, uint64_t(i), &f);
        }
        const double c1 = cpu_seconds();
        printf("engine %-22s %8.1f ns/frame  (%ld of %ld sent)\n", names[k], (c1 - c0) * 1e9 / n, sent, n);
    }
}

struct Forwarder {
    cangw gw;
    std::vector<uint32_t> delay_us;
    long forwarded = 0;
    uint32_t rx_ts = 0;
    static int send(void *ctx, uint16_t ch, const zk_fdframe *f)
    {
        Forwarder *w = static_cast<Forwarder *>(ctx);
        const int16_t r = ZkWriteFd(uint8_t(ch), f, 1);
        if (r != 1) return r < 0 ? r : ZK_E_IO;
        if (w->delay_us.size() < w->delay_us.capacity()) w->delay_us.push_back(now_us32() - w->rx_ts);
        w->forwarded++;
        return 0;
    }
    const cangw_ops ops{send};
    explicit Forwarder(const char *text)
    {
        delay_us.reserve(4000000);
        cangw_init(&gw, &ops, this);
        cangw_rule r = rule(text);
        cangw_set_rules(&gw, &r, 1, nullptr);
        cangw_set_channel(&gw, 0, 1, 1, 0);
        cangw_set_channel(&gw, 1, 1, 1, 0);
        cangw_start(&gw);
    }
    // Reads channel 0 every poll_us for seconds, forwarding.
    long run(double seconds, long poll_us)
    {
        static zk_fdframe buf[512];
        long received = 0;
        const uint64_t end = now_ns() + uint64_t(seconds * 1e9);
        while (now_ns() < end) {
            for (int16_t k; (k = ZkReadFd(0, buf, 512)) > 0;) {
                received += k;
                for (int i = 0; i < k; i++) {
                    rx_ts = buf[i].ts;
                    cangw_frame(&gw, 0, 0, buf[i].ts, &buf[i]);
                }
            }
            sleep_us(poll_us);
        }
        return received;
    }
    void report(const char *label, long received, double cpu)
    {
        std::vector<uint32_t> d = delay_us;
        std::sort(d.begin(), d.end());
        const uint32_t med = d.empty() ? 0 : d[d.size() / 2], p99 = d.empty() ? 0 : d[d.size() * 99 / 100];
        printf("%-18s received %8ld forwarded %8ld  delay median %7.3f ms  p99 %7.3f ms  CPU %6.2f us/frame\n",
               label, received, forwarded, med / 1000.0, p99 / 1000.0, forwarded ? cpu * 1e6 / forwarded : 0.0);
    }
};

double proc_cpu(pid_t pid)
{
    char path[64];
    snprintf(path, sizeof path, "/proc/%d/stat", int(pid));
    FILE *f = fopen(path, "r");
    if (!f) return 0;
    char buf[1024];
    const size_t n = fread(buf, 1, sizeof buf - 1, f);
    fclose(f);
    buf[n] = '\0';
    const char *p = strrchr(buf, ')');
    unsigned long ut = 0, st = 0;
    if (p) sscanf(p + 2, "%*c %*d %*d %*d %*d %*d %*u %*u %*u %*u %*u %lu %lu", &ut, &st);
    return double(ut + st) / double(sysconf(_SC_CLK_TCK));
}

void sim(double seconds, const char *zelkctl)
{
    setenv("ZELK_BOARDS", "0=sim:channels=2,rate=500,traffic=full,len=8;1=sim:channels=1,rate=1000,traffic=none,txq=1024", 1);
    if (ZkInit() < 0 || ZkOpen(0, ZK_OPEN_BOTH | ZK_OPEN_FD) < 0 || ZkOpen(2, ZK_OPEN_BOTH | ZK_OPEN_FD) < 0 ||
        ZkSetBaud(2, 0x00, 0x14) < 0 || ZkStart(0) < 0 || ZkStart(2) < 0) {
        fprintf(stderr, "sim set-up failed\n");
        exit(2);
    }
    // Board 1's channel is channel 2: the rule sends there.
    for (long poll : {20000L, 1000L}) {
        Forwarder w("-s 0 -d 2 -m AND:D:0.0.FFFFFFFFFFFFFF00 -c 0:6:7:FF:FF:1D");
        cangw_set_channel(&w.gw, 2, 1, 1, 0);
        std::string out = "/tmp/gateway_bench_dump." + std::to_string(getpid());
        pid_t dump = -1;
        if (zelkctl) {
            fflush(stdout);
            dump = fork();
            if (dump == 0) {
                FILE *o = freopen(out.c_str(), "w", stdout);
                (void)o;
                execl(zelkctl, zelkctl, "dump", "1", static_cast<char *>(nullptr));
                _exit(127);
            }
        }
        ZkRcQueEmpty(0);
        zk_fdframe drop[512];
        while (ZkReadFd(0, drop, 512) > 0) {
        }
        const double c0 = cpu_seconds(), d0 = dump > 0 ? proc_cpu(dump) : 0;
        const long received = w.run(seconds, poll);
        const double c1 = cpu_seconds(), d1 = dump > 0 ? proc_cpu(dump) : 0;
        char label[32];
        snprintf(label, sizeof label, "sim poll %ld ms", poll / 1000);
        w.report(label, received, c1 - c0);
        if (dump > 0) {
            kill(dump, SIGINT);
            waitpid(dump, nullptr, 0);
            long lines = 0;
            if (FILE *f = fopen(out.c_str(), "r")) {
                for (int c; (c = fgetc(f)) != EOF;) lines += c == '\n';
                fclose(f);
            }
            unlink(out.c_str());
            const double ours = w.forwarded ? (c1 - c0) * 1e6 / w.forwarded : 0;
            const double theirs = lines ? (d1 - d0) * 1e6 / lines : 0;
            printf("%-18s zelkctl dump on the same bus: %ld frames, CPU %6.2f us/frame; ratio gateway/dump %.2f\n",
                   "", lines, theirs, theirs > 0 ? ours / theirs : 0.0);
        }
    }
}

void forward(const char *src, const char *dst, double seconds)
{
    std::string boards = std::string("socketcan:") + src + "," + dst;
    setenv("ZELK_BOARDS", boards.c_str(), 1);
    if (ZkInit() < 0 || ZkOpen(0, ZK_OPEN_BOTH | ZK_OPEN_FD) < 0 || ZkOpen(1, ZK_OPEN_BOTH | ZK_OPEN_FD) < 0 ||
        ZkStart(0) < 0 || ZkStart(1) < 0) {
        fprintf(stderr, "forwarder set-up failed\n");
        exit(2);
    }
    printf("ready\n");
    fflush(stdout);
    Forwarder w("-s 0 -d 1");
    const double c0 = cpu_seconds();
    const long received = w.run(seconds, 1000);
    w.report("vcan forwarder", received, cpu_seconds() - c0);
}

int ts_socket(int ifindex)
{
    const int fd = socket(PF_CAN, SOCK_RAW, CAN_RAW);
    const int on = 1;
    setsockopt(fd, SOL_SOCKET, SO_TIMESTAMPNS, &on, sizeof on);
    sockaddr_can a{};
    a.can_family = AF_CAN;
    a.can_ifindex = ifindex;
    bind(fd, reinterpret_cast<sockaddr *>(&a), sizeof a);
    return fd;
}

void delay(const char *src, const char *dst, int n)
{
    const int si = int(if_nametoindex(src)), di = int(if_nametoindex(dst));
    const int any = ts_socket(0), tx = ts_socket(si);
    std::vector<double> sent_at(size_t(n), -1), got_at(size_t(n), -1);
    auto drain = [&] {
        for (;;) {
            can_frame f;
            char ctl[128];
            iovec iov{&f, sizeof f};
            sockaddr_can a{};
            msghdr m{};
            m.msg_name = &a;
            m.msg_namelen = sizeof a;
            m.msg_iov = &iov;
            m.msg_iovlen = 1;
            m.msg_control = ctl;
            m.msg_controllen = sizeof ctl;
            if (recvmsg(any, &m, MSG_DONTWAIT) <= 0) return;
            double t = 0;
            for (cmsghdr *c = CMSG_FIRSTHDR(&m); c; c = CMSG_NXTHDR(&m, c))
                if (c->cmsg_level == SOL_SOCKET && c->cmsg_type == SO_TIMESTAMPNS) {
                    timespec ts;
                    memcpy(&ts, CMSG_DATA(c), sizeof ts);
                    t = double(ts.tv_sec) + double(ts.tv_nsec) * 1e-9;
                }
            const int k = int(f.data[0]) | int(f.data[1]) << 8 | int(f.data[2]) << 16;
            if (f.can_id != 0x321 || k >= n) continue;
            if (a.can_ifindex == si && sent_at[size_t(k)] < 0) sent_at[size_t(k)] = t;
            if (a.can_ifindex == di && got_at[size_t(k)] < 0) got_at[size_t(k)] = t;
        }
    };
    for (int i = 0; i < n; i++) {
        can_frame f{};
        f.can_id = 0x321;
        f.len = 8;
        f.data[0] = uint8_t(i);
        f.data[1] = uint8_t(i >> 8);
        f.data[2] = uint8_t(i >> 16);
        if (write(tx, &f, sizeof f) != sizeof f) break;
        sleep_us(2000);
        drain();
    }
    sleep_us(200000);
    drain();
    std::vector<double> d;
    for (int i = 0; i < n; i++)
        if (sent_at[size_t(i)] >= 0 && got_at[size_t(i)] >= 0) d.push_back((got_at[size_t(i)] - sent_at[size_t(i)]) * 1e6);
    std::sort(d.begin(), d.end());
    printf("%s -> %s: %zu of %d forwarded, delay median %.1f us, p99 %.1f us\n", src, dst, d.size(), n,
           d.empty() ? 0 : d[d.size() / 2], d.empty() ? 0 : d[d.size() * 99 / 100]);
}

}  // namespace

int main(int argc, char **argv)
{
    const std::string mode = argc > 1 ? argv[1] : "engine";
    if (mode == "engine") engine();
    else if (mode == "sim") sim(argc > 2 ? atof(argv[2]) : 5, argc > 3 ? argv[3] : nullptr);
    else if (mode == "forward" && argc > 4) forward(argv[2], argv[3], atof(argv[4]));
    else if (mode == "delay" && argc > 4) delay(argv[2], argv[3], atoi(argv[4]));
    else {
        fprintf(stderr, "usage: %s engine | sim [SECONDS [ZELKCTL]] | forward SRC DST SECONDS | delay SRC DST N\n", argv[0]);
        return 2;
    }
    return 0;
}
