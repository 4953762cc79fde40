// Poll tick benchmark: the real poll tick (pending marks, tx log, ZkRead,
// error counters) over the simulated adapter, delivering full batches of
// 512 frames to 1, 4 and 16 loaded plug-ins, request-handler style, older
// style and taking the stream (PGRP_STREAM: the host merges and places
// every frame once, whatever the number of such plug-ins). Only the tick itself is timed; filling the simulated
// receive queue (and the tx log) happens between ticks.
//
//   bench_poll_tick [ticks]      default 2000 ticks per configuration
//
// Reports frames per second through the host (frames handed on per second
// of tick time, each frame going to every plug-in) and nanoseconds per
// frame and plug-in. In a build without the address sanitizer it also
// counts the allocations made during the timed ticks (expected: 0).
#include <dlfcn.h>
#include <stdio.h>
#include <stdint.h>
#include <stdlib.h>
#include <string.h>
#include <time.h>

#include <filesystem>
#include <string>

#include <glib.h>

#include "app/nb_app.h"
#include "zelk_sim.h"

#if !defined(__SANITIZE_ADDRESS__)
#define BENCH_COUNT_ALLOCS 1
static long g_allocs = 0;
static bool g_counting = false;
extern "C" {
void *__libc_malloc(size_t);
void *__libc_calloc(size_t, size_t);
void *__libc_realloc(void *, size_t);
__attribute__((visibility("default"))) void *malloc(size_t n)
{
    if (g_counting)
        g_allocs++;
    return __libc_malloc(n);
}
__attribute__((visibility("default"))) void *calloc(size_t n, size_t m)
{
    if (g_counting)
        g_allocs++;
    return __libc_calloc(n, m);
}
__attribute__((visibility("default"))) void *realloc(void *p, size_t n)
{
    if (g_counting)
        g_allocs++;
    return __libc_realloc(p, n);
}
}
#endif

namespace {

uint64_t now_ns()
{
    timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return (uint64_t)ts.tv_sec * 1000000000ull + (uint64_t)ts.tv_nsec;
}

void no_indicators(const zk_errs *) {}
void no_app(nb_app *) {}

void fill_rx(int n)
{
    zk_frame f;
    memset(&f, 0, sizeof f);
    f.len = 8;
    for (int i = 0; i < n; i++) {
        f.id = (uint32_t)(i & 0x7ff);
        f.data[0] = (uint8_t)i;
        zk_sim_inject(0, &f);
    }
}

void fill_tx(int n)
{
    zk_frame f;
    memset(&f, 0, sizeof f);
    f.len = 8;
    for (int i = 0; i < n; i++) {
        f.id = (uint32_t)(0x100 + (i & 0xff));
        if (nb_send_frame(&f) < 0) {
            fprintf(stderr, "nb_send_frame failed\n");
            exit(1);
        }
    }
    // Let the simulated bus carry them off so the queue has room again.
    zk_sim_advance_us(1000000);
}

struct result {
    double frames_per_s;
    double ns_per_frame_plugin;
    double us_per_tick;
    long allocs;
};

result run(const std::string &dir, const char *style, int plugins, int ticks, bool with_tx)
{
    nb_pgmgr *mgr = &the_app.pgmgr;
    std::string src = std::string(BENCH_PLUGIN_DIR) + "/bench_sink_" + style + ".so";
    for (int i = 0; i < plugins; i++) {
        std::string path = dir + "/" + style + "_" + std::to_string(i) + ".so";
        std::filesystem::copy_file(src, path, std::filesystem::copy_options::overwrite_existing);
        nb_plugin *e = mgr->ops.pgmgr_add(mgr, path.c_str(), path.size() + 1);
        if (!e || pgmgr_load(&the_app, e) != 0) {
            fprintf(stderr, "cannot load %s\n", path.c_str());
            exit(1);
        }
    }
    const int per_tick = NB_RX_BATCH * (with_tx ? 2 : 1);
    for (int i = 0; i < 20; i++) {  // warm-up
        fill_rx(NB_RX_BATCH);
        poll_tick(&the_app);
    }
    // The machine may be shared: time the ticks in five rounds and report
    // the fastest round.
    const int rounds = 5;
    const int per_round = ticks / rounds > 0 ? ticks / rounds : 1;
    uint64_t best = UINT64_MAX;
    long allocs = 0;
    int done = 0;
    for (int round = 0; round < rounds; round++) {
        uint64_t total = 0;
        for (int t = 0; t < per_round; t++, done++) {
            fill_rx(NB_RX_BATCH);
            if (with_tx)
                fill_tx(NB_RX_BATCH);
#ifdef BENCH_COUNT_ALLOCS
            g_allocs = 0;
            g_counting = true;
#endif
            uint64_t t0 = now_ns();
            poll_tick(&the_app);
            total += now_ns() - t0;
#ifdef BENCH_COUNT_ALLOCS
            g_counting = false;
            allocs += g_allocs;
#endif
        }
        if (total < best)
            best = total;
    }
    // Every plug-in must have seen every frame, or the figures are void.
    const uint64_t want = (uint64_t)NB_RX_BATCH * 20 + (uint64_t)per_tick * done;
    for (nb_plugin_node *node = mgr->head; node; node = node->next) {
        const uint64_t *seen =
            static_cast<const uint64_t *>(dlsym(node->entry->module, "bench_frames"));
        if (!seen || *seen != want) {
            fprintf(stderr, "%s saw %llu frames, expected %llu\n", node->entry->path,
                    seen ? (unsigned long long)*seen : 0ull, (unsigned long long)want);
            exit(1);
        }
    }
    mgr->ops.pgmgr_release_all(mgr);
    result r;
    double frames = (double)per_tick * per_round;
    r.frames_per_s = frames / ((double)best / 1e9);
    r.ns_per_frame_plugin = plugins > 0 ? (double)best / (frames * plugins) : 0.0;
    r.us_per_tick = (double)best / per_round / 1000.0;
    r.allocs = allocs;
    return r;
}

}  // namespace

int main(int argc, char **argv)
{
    int ticks = argc > 1 ? atoi(argv[1]) : 2000;
    if (ticks <= 0)
        ticks = 2000;
    setenv("ZELK_BOARDS", "0=sim:channels=2,traffic=none,txq=1024", 1);
    if (ZkInit() < 0) {
        fprintf(stderr, "ZkInit failed\n");
        return 1;
    }
    zk_sim_manual_clock(1);
    app_init();
    the_app.chan.number = 0;
    the_app.chan.frame_format = 6;
    the_app.gui.ops.update_error_indicators = no_indicators;
    the_app.gui.ops.stop_controller = no_app;
    the_app.gui.ops.controller_stopped = nullptr;
    the_app.gui.ops.refresh_info_panel = no_app;
    the_app.chan.ops.open(&the_app.chan);
    if (the_app.chan.ops.start(&the_app.chan) < 0) {
        fprintf(stderr, "cannot start the controller\n");
        return 1;
    }
    gchar *tmp = g_dir_make_tmp("nbbench-XXXXXX", nullptr);
    if (!tmp)
        return 1;
    std::string dir = tmp;
    g_free(tmp);

    printf("poll tick, %d ticks per row (fastest of 5 rounds), 512 received frames per tick%s\n",
           ticks, "; \"rx+tx\" rows also drain 512 sent frames");
    printf("%-8s %-6s %7s %14s %16s %11s", "style", "load", "plugins", "frames/s",
           "ns/frame/plugin", "us/tick");
#ifdef BENCH_COUNT_ALLOCS
    printf(" %7s", "allocs");
#endif
    printf("\n");
    const int counts[] = {0, 1, 4, 16};
    for (const char *style : {"handler", "legacy", "stream"}) {
        for (bool with_tx : {false, true}) {
            for (int n : counts) {
                if (n == 0 && (with_tx || strcmp(style, "handler") != 0))
                    continue;
                result r = run(dir, style, n, ticks, with_tx);
                printf("%-8s %-6s %7d %14.0f %16.2f %11.1f", n ? style : "-",
                       with_tx ? "rx+tx" : "rx", n, r.frames_per_s, r.ns_per_frame_plugin,
                       r.us_per_tick);
#ifdef BENCH_COUNT_ALLOCS
                printf(" %7ld", r.allocs);
#endif
                printf("\n");
            }
        }
    }
    std::filesystem::remove_all(dir);
    the_app.chan.ops.close(&the_app.chan);
    txlog_free(the_app.chan.txlog);
    return 0;
}
