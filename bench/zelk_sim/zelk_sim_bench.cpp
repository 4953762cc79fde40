// Cost of the simulated bus per received frame, through ZkRead.
//   manual clock: the bus is run 20 ms at a time as fast as the CPU allows
//   (simulated frames per CPU second, and CPU time per frame);
//   real time: the host's pattern, a 512-frame ZkRead every 20 ms on a
//   saturated bus (frames per second received, losses, CPU load).
#include "zelk.h"
#include "zelk_sim.h"

#include <cstdio>
#include <cstdlib>
#include <ctime>

namespace {

double cpu_s()
{
    timespec ts;
    clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &ts);
    return double(ts.tv_sec) + double(ts.tv_nsec) * 1e-9;
}

double wall_s()
{
    timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return double(ts.tv_sec) + double(ts.tv_nsec) * 1e-9;
}

bool setup(const char *config, uint8_t bt0, uint8_t bt1)
{
    setenv("ZELK_BOARDS", config, 1);
    zk_sim_reset();
    if (ZkInit() < 0 || ZkOpen(0, ZK_OPEN_BOTH) < 0 || ZkSetBaud(0, bt0, bt1) < 0 ||
        ZkStart(0) < 0) {
        char text[512];
        ZkStrError(ZK_E_CONFIG, text, sizeof text);
        fprintf(stderr, "set-up failed: %s\n", text);
        return false;
    }
    return true;
}

zk_frame buf[512];

long drain()
{
    long n = 0;
    for (int16_t r; (r = ZkRead(0, buf, 512)) > 0;) n += r;
    return n;
}

void manual(const char *label, const char *config, uint8_t bt0, uint8_t bt1, double sim_seconds)
{
    if (!setup(config, bt0, bt1)) return;
    zk_sim_manual_clock(1);
    const int steps = int(sim_seconds * 50);
    long frames = 0;
    const double c0 = cpu_s();
    for (int i = 0; i < steps; i++) {
        zk_sim_advance_us(20000);
        frames += drain();
    }
    const double cpu = cpu_s() - c0;
    zk_errs e{};
    ZkErrsGetClear(0, &e);
    printf("%-34s %8.0f frames/s on the bus  %9.0f frames per CPU second  %6.0f ns/frame  lost %u\n",
           label, double(frames) / sim_seconds, double(frames) / cpu, cpu * 1e9 / double(frames),
           unsigned(e.sovr));
}

void realtime(const char *label, const char *config, uint8_t bt0, uint8_t bt1, double seconds)
{
    if (!setup(config, bt0, bt1)) return;
    drain();
    long frames = 0;
    unsigned lost = 0;
    const double w0 = wall_s(), c0 = cpu_s();
    while (wall_s() - w0 < seconds) {
        timespec ts{0, 20 * 1000 * 1000};
        nanosleep(&ts, nullptr);
        int16_t r = ZkRead(0, buf, 512);  // one read per tick, as the host does
        if (r > 0) frames += r;
        zk_errs e{};
        if (ZkErrsGetClear(0, &e) >= 0) lost += e.sovr;
    }
    const double wall = wall_s() - w0, cpu = cpu_s() - c0;
    printf("%-34s %8.0f frames/s received  lost %u  CPU %.1f %%\n", label, double(frames) / wall,
           lost, 100.0 * cpu / wall);
}

}  // namespace

int main()
{
    printf("simulated bus, manual clock (10 s of bus time each):\n");
    manual("full, 1 Mbit/s, length 0", "sim:traffic=full,rate=1000", 0x00, 0x14, 10);
    manual("full, 1 Mbit/s, length 8", "sim:traffic=full,rate=1000,len=8", 0x00, 0x14, 10);
    manual("full, 500 kbit/s, length 8", "sim:traffic=full,rate=500,len=8", 0x00, 0x1C, 10);
    manual("default traffic, 500 kbit/s", "sim:rate=500", 0x00, 0x1C, 10);
    printf("simulated bus, real time, one ZkRead of 512 every 20 ms (3 s each):\n");
    realtime("full, 1 Mbit/s, length 0", "sim:traffic=full,rate=1000", 0x00, 0x14, 3);
    realtime("full, 1 Mbit/s, length 8", "sim:traffic=full,rate=1000,len=8", 0x00, 0x14, 3);
    zk_sim_reset();
    return 0;
}
