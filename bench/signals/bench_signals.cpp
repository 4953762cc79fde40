// Signals benchmarks, without a display:
//   decode     ns per frame of a message with 64 signals (both byte orders,
//              signed, scaled) and of an extended-multiplexed message
//   append     ns per point appended to a plot history, merges included
//   redraw     ms to draw 16 plotted signals into a 1200 x 400 image when
//              the histories hold POINTS points each (default 10 million
//              for one signal and 1 million for the others; "all" gives
//              every signal 10 million)
// Each figure is the median of five runs; CPU time is process CPU time.
//
// usage: bench_signals [all]
#include <math.h>
#include <stdio.h>
#include <string.h>
#include <time.h>

#include <algorithm>
#include <string>
#include <vector>

#include "signals.h"

namespace {

double cpu_s()
{
    timespec ts;
    clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &ts);
    return ts.tv_sec + ts.tv_nsec / 1e9;
}

double wall_s()
{
    timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return ts.tv_sec + ts.tv_nsec / 1e9;
}

double median(std::vector<double> v)
{
    std::sort(v.begin(), v.end());
    return v[v.size() / 2];
}

std::string wide_message(void)
{
    std::string t = "BO_ 256 Wide: 8 X\n";
    char line[160];
    for (int i = 0; i < 64; i++) {
        int len = 1 + (i * 7) % 16;
        bool intel = i % 2 == 0;
        int start = intel ? (i * 5) % (64 - len) : 7 + 8 * ((i % 6));
        if (!intel) {
            int seq = (start / 8) * 8 + 7 - start % 8;
            if (seq + len > 64)
                start = 7;
        }
        snprintf(line, sizeof line, " SG_ S%d : %d|%d@%d%c (%s,%d) [0|0] \"\" Y\n", i, start, len,
                 intel ? 1 : 0, i % 3 == 0 ? '-' : '+', i % 4 == 0 ? "1" : "0.125", i % 5 ? 0 : -40);
        t += line;
    }
    return t;
}

void bench_decode(const char *what, const dbc_message *m)
{
    std::vector<dbc_value> out(m->signals.size());
    const int n = 2000000;
    uint8_t data[64][8];
    for (int i = 0; i < 64; i++)
        for (int k = 0; k < 8; k++)
            data[i][k] = (uint8_t)(i * 37 + k * 101 + (i >> 2));
    std::vector<double> runs, cpu;
    volatile double sink = 0;
    for (int r = 0; r < 5; r++) {
        double w0 = wall_s(), c0 = cpu_s();
        for (int i = 0; i < n; i++)
            sink = sink + dbc_decode(m, data[i & 63], 8, out.data());
        runs.push_back((wall_s() - w0) / n * 1e9);
        cpu.push_back((cpu_s() - c0) / n * 1e9);
    }
    printf("decode %-28s %3zu signals: %6.1f ns/frame wall, %6.1f ns/frame CPU (median of 5)\n",
           what, m->signals.size(), median(runs), median(cpu));
}

void fill(sg_history *h, uint64_t points, double rate)
{
    /* Chunks are allocated ahead as the 100 ms refresh does. */
    const uint64_t per_refresh = rate >= 10 ? (uint64_t)(rate / 10) : 1;
    for (uint64_t i = 0; i < points; i++) {
        if (i % per_refresh == 0)
            sg_history_reserve(h);
        double t = (double)i / rate;
        sg_history_append(h, t, sin(t * 0.7) * 100 + (double)(i % 97));
    }
}

}  // namespace

int main(int argc, char **argv)
{
    bool all = argc > 1 && strcmp(argv[1], "all") == 0;
    std::string text = wide_message();
    dbc_db db;
    dbc_error err;
    if (dbc_parse(text.data(), text.size(), &db, &err) != 0) {
        fprintf(stderr, "wide message: %d:%d %s\n", err.line, err.column, err.message);
        return 1;
    }
    bench_decode("64 signals", &db.messages[0]);
    dbc_db mux;
    if (dbc_load_file(BENCH_SOURCE_DIR "/tests/signals/dbc/multiplex.dbc", &mux, &err) != 0) {
        fprintf(stderr, "multiplex.dbc: %s\n", err.message);
        return 1;
    }
    bench_decode("extended multiplexing", dbc_find(&mux, 0x800, 1));

    /* Appending, at the rate of a saturated bus, through a cap. */
    {
        sg_history h;
        sg_history_init(&h, 2000000);
        const uint64_t n = 20000000;
        double w0 = wall_s(), c0 = cpu_s();
        fill(&h, n, 8000.0);
        printf("append %llu points through a cap of 2 million: %.1f ns/point wall, %.1f CPU, "
               "%llu merges\n",
               (unsigned long long)n, (wall_s() - w0) / n * 1e9, (cpu_s() - c0) / n * 1e9,
               (unsigned long long)h.merges);
        sg_history_free(&h);
    }

    /* Memory over bus time: one signal of a message sent 2000 times a
     * second (about what a saturated 250 kbit/s bus carries), kept whole
     * within the default cap, for its last 60 s, or its newest 100,000
     * points; the history's bytes after 1, 10 and 60 minutes. */
    {
        const double rate = 2000.0;
        const struct {
            const char *name;
            double keep_s;
            uint64_t keep_points;
        } kinds[] = {{"whole", 0, 0}, {"60 s", 60, 0}, {"100000 points", 0, 100000}};
        for (const auto &k : kinds) {
            sg_history h;
            sg_history_init(&h, SG_CAP_DEFAULT);
            h.keep_s = k.keep_s;
            h.keep_points = k.keep_points;
            printf("memory, %s:", k.name);
            uint64_t i = 0;
            for (int minutes : {1, 10, 60}) {
                for (; i < (uint64_t)(minutes * 60 * rate); i++) {
                    if (i % (uint64_t)(rate / 10) == 0) {   /* the 100 ms refresh */
                        sg_history_trim(&h);
                        sg_history_reserve(&h);
                    }
                    sg_history_append(&h, (double)i / rate, (double)(i % 251));
                }
                printf("  %d min %.2f MiB (%llu points)", minutes,
                       sg_history_bytes(&h) / 1048576.0,
                       (unsigned long long)sg_history_points(&h));
            }
            printf("\n");
            sg_history_free(&h);
        }
    }

    /* Redraw: the plug-in's tables with the simulated bus's database. */
    memset(&sg, 0, sizeof sg);
    sg.cap_points = 10000000u;   /* the figures so far were taken with this cap */
    char msg[1024];
    if (sg_db_open_now(BENCH_SOURCE_DIR "/tests/signals/dbc/sim.dbc", -1, msg, sizeof msg) != 0) {
        fprintf(stderr, "%s\n", msg);
        return 1;
    }
    int full = sg_db_find(sg_key(0x555, 0));
    for (int s = 0; s < 16; s++) {
        if (sg_plot_add(full, s, nullptr) < 0) {
            fprintf(stderr, "no memory for plot %d\n", s);
            return 1;
        }
        fill(&sg.plots[s].hist, (s == 0 || all) ? 10000000 : 1000000, 8000.0);
    }
    uint64_t total = 0;
    for (int s = 0; s < 16; s++)
        total += sg_history_points(&sg.plots[s].hist);
    cairo_surface_t *surface = cairo_image_surface_create(CAIRO_FORMAT_RGB24, 1200, 400);
    for (int mode = 0; mode < 2; mode++) {
        for (double span : {1.0, 60.0, 1e9}) {
            sg_view v = {10000000 / 8000.0, fmin(span, 10000000 / 8000.0), 0, mode, 600};
            std::vector<double> runs, cpu;
            for (int r = 0; r < 5; r++) {
                cairo_t *cr = cairo_create(surface);
                double w0 = wall_s(), c0 = cpu_s();
                sg_plot_draw(cr, 1200, 400, &v);
                runs.push_back((wall_s() - w0) * 1e3);
                cpu.push_back((cpu_s() - c0) * 1e3);
                cairo_destroy(cr);
            }
            printf("redraw 16 signals, %llu points in all, %s, %7.0f s shown: %.2f ms wall, "
                   "%.2f ms CPU (median of 5)\n",
                   (unsigned long long)total, mode ? "lanes  " : "overlay", v.span, median(runs),
                   median(cpu));
        }
    }
    if (getenv("BENCH_PNG"))
        cairo_surface_write_to_png(surface, getenv("BENCH_PNG"));
    cairo_surface_destroy(surface);
    sg_db_close_all();
    return 0;
}
