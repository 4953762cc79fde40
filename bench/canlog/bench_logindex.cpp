// Random access to a big log: writes a candump log of 10 million frames
// (about 400 MB; kept for the next run when a folder is given), then opens
// it for viewing through the log library's scan and prints
//   - open to first screen: the scan opened and its first 50 rows read;
//   - full index: the scan at the end of the file, its CPU time, and the
//     time of reading the same file straight through, for comparison;
//   - memory: the marks, and the process's peak resident size;
//   - screens read at random places while the scan runs and after it;
//   - a filter (identifiers 100-1FF, and one rare identifier): its first
//     screen and its whole scan.
//
// usage: bench_logindex [frames] [folder]   defaults 10,000,000 and a
//        temporary folder (removed at the end); run from a release build.
#include <glib.h>
#include <glib/gstdio.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/resource.h>

#include <algorithm>
#include <random>
#include <vector>

#include "canlog.h"

#include "bench_cpu.h"

namespace {

constexpr int SCREEN = 50;
constexpr uint32_t RARE_ID = 0x7E8;

double now_s(void)
{
    return (double)g_get_monotonic_time() / 1e6;
}

long peak_rss_kb(void)
{
    struct rusage ru;
    getrusage(RUSAGE_SELF, &ru);
    return ru.ru_maxrss;
}

/* A bus of 300 standard identifiers, a few extended ones, lengths 0 to 8;
 * RARE_ID once every 100,000 frames. */
int write_log(const char *path, long frames)
{
    cl_writer w;
    cl_writer_init(&w);
    if (cl_writer_open(&w, path, CL_FMT_CANDUMP, 0) != 0)
        return -1;
    std::mt19937 rnd(1);
    cl_frame f{};
    f.t_ns = 1700000000000000000LL;
    for (long i = 0; i < frames; i++) {
        f.t_ns += 50000 + (int64_t)(rnd() % 100) * 1000;
        bool ext = rnd() % 16 == 0;
        f.flags = ext ? CL_EXT : 0;
        f.id = ext ? 0x18DA0000u + rnd() % 64 : 0x80u + rnd() % 300;
        if (i % 100000 == 99999) {
            f.flags = 0;
            f.id = RARE_ID;
        }
        f.len = (uint8_t)(rnd() % 9);
        for (int j = 0; j < 8; j++)
            f.data[j] = (uint8_t)rnd();
        if (cl_write(&w, &f) != 0)
            break;
    }
    return cl_writer_close(&w) == 0 ? 0 : -1;
}

int in_100_1ff(void *, const cl_frame *f)
{
    return !(f->flags & CL_EXT) && f->id >= 0x100 && f->id <= 0x1FF;
}

int rare(void *, const cl_frame *f)
{
    return f->id == RARE_ID && !(f->flags & CL_EXT);
}

/* Opens a scan and waits for its first screen; returns the seconds. */
double first_screen(cl_scan *s)
{
    double t0 = now_s();
    cl_frame buf[SCREEN];
    cl_scan_progress p;
    for (;;) {
        if (cl_scan_read(s, 0, buf, SCREEN) == SCREEN)
            return now_s() - t0;
        cl_scan_get_progress(s, &p);
        if (p.done)
            return cl_scan_read(s, 0, buf, SCREEN) > 0 ? now_s() - t0 : -1;
        g_usleep(100);
    }
}

/* Screens read at random rows: the median and the longest, in ms. */
void random_screens(cl_scan *s, int n, double *median, double *longest)
{
    std::mt19937_64 rnd(42);
    std::vector<double> t;
    cl_frame buf[SCREEN];
    for (int i = 0; i < n; i++) {
        cl_scan_progress p;
        cl_scan_get_progress(s, &p);
        if (p.rows == 0)
            break;
        uint64_t row = rnd() % p.rows;
        double t0 = now_s();
        cl_scan_read(s, row, buf, SCREEN);
        t.push_back((now_s() - t0) * 1000);
    }
    std::sort(t.begin(), t.end());
    *median = t.empty() ? 0 : t[t.size() / 2];
    *longest = t.empty() ? 0 : t.back();
}

void filter_run(const char *path, int format, cl_select_fn select, const char *what)
{
    cl_scan_opts o{};
    o.format = format;
    o.select = select;
    int err = 0;
    double t0 = now_s();
    cl_scan *s = cl_scan_open(path, &o, &err);
    if (!s)
        return;
    double first = first_screen(s);
    cl_scan_wait(s, 3600 * 1000);
    double all = now_s() - t0;
    cl_scan_progress p;
    cl_scan_get_progress(s, &p);
    double med, worst;
    random_screens(s, 200, &med, &worst);
    printf("filter %-9s %9llu rows: first screen %.3f s, whole file %.2f s; "
           "a screen at random %.3f ms (longest %.3f), marks %.2f MB\n",
           what, (unsigned long long)p.rows, first, all, med, worst, p.mark_bytes / 1e6);
    cl_scan_close(s);
}

}  // namespace

int main(int argc, char **argv)
{
    long frames = argc > 1 ? atol(argv[1]) : 10000000;
    if (frames <= 0) {
        fprintf(stderr, "usage: %s [frames] [folder]\n", argv[0]);
        return 2;
    }
    gchar *dir = argc > 2 ? g_strdup(argv[2]) : g_dir_make_tmp("bench_logindex-XXXXXX", nullptr);
    if (!dir)
        return 1;
    char path[1024];
    g_snprintf(path, sizeof path, "%s/bench-%ld.log", dir, frames);
    if (!g_file_test(path, G_FILE_TEST_EXISTS)) {
        printf("writing %s\n", path);
        if (write_log(path, frames) != 0) {
            fprintf(stderr, "cannot write %s\n", path);
            return 1;
        }
    }

    /* Straight through, once to have the file in the page cache and once
     * timed, as the yardstick of the scan. */
    double straight = 0;
    uint64_t size = 0;
    for (int pass = 0; pass < 2; pass++) {
        int err = 0;
        cl_reader *r = cl_open(path, CL_FMT_AUTO, &err);
        if (!r)
            return 1;
        size = cl_size(r);
        double c0 = cpu_seconds();
        cl_frame f;
        while (cl_next(r, &f) == 1) {
        }
        straight = cpu_seconds() - c0;
        cl_close(r);
    }
    long rss0 = peak_rss_kb();

    int err = 0;
    double c0 = cpu_seconds(), t0 = now_s();
    cl_scan *s = cl_scan_open(path, nullptr, &err);
    if (!s) {
        fprintf(stderr, "cannot open %s: %s\n", path, g_strerror(err));
        return 1;
    }
    if (first_screen(s) < 0)
        fprintf(stderr, "no first screen\n");
    double open_first = now_s() - t0;
    double med_during, worst_during;
    random_screens(s, 200, &med_during, &worst_during);
    cl_scan_wait(s, 3600 * 1000);
    double all = now_s() - t0, cpu = cpu_seconds() - c0;
    cl_scan_progress p;
    cl_scan_get_progress(s, &p);
    double med, worst;
    random_screens(s, 1000, &med, &worst);
    long rss1 = peak_rss_kb();

    double load[3] = {0, 0, 0};
    if (getloadavg(load, 3) < 0)
        load[0] = -1;
    printf("log: %s, %llu frames, %.1f MB, load average %.1f\n", path,
           (unsigned long long)p.frames, size / 1e6, load[0]);
    printf("open to first screen (%d rows): %.3f s\n", SCREEN, open_first);
    printf("full index: %.2f s wall, %.2f s CPU; reading straight through %.2f s CPU (ratio %.2f)\n",
           all, cpu, straight, straight > 0 ? cpu / straight : 0);
    printf("memory: marks %.2f MB (%.2f bytes per frame), peak resident %.1f MB before the "
           "scan, %.1f MB after\n",
           p.mark_bytes / 1e6, p.frames ? (double)p.mark_bytes / (double)p.frames : 0,
           rss0 / 1e3, rss1 / 1e3);
    printf("a screen at random: %.3f ms median, %.3f ms longest (while indexing: %.3f, %.3f)\n",
           med, worst, med_during, worst_during);
    printf("unreadable lines %llu\n", (unsigned long long)p.stats.bad);
    cl_scan_close(s);

    filter_run(path, CL_FMT_CANDUMP, in_100_1ff, "100-1FF");
    filter_run(path, CL_FMT_CANDUMP, rare, "7E8");

    if (argc <= 2) {
        g_unlink(path);
        g_rmdir(dir);
    }
    g_free(dir);
    return 0;
}
