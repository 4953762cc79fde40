// Log reader benchmark: writes the same random traffic as a candump log,
// an ASC file, a BLF file and a TRC file, reads each with the log library
// and with python-can's can.LogReader (Debian's python3-can; its
// TRCReader for TRC), and prints frames/s, MB/s and the ratio of the two,
// both sides timed from the opening:
//   cpu   - CPU seconds of the process (all its threads), so a busy
//           machine changes the figures less; fr/s and MB/s are these;
//   wall  - elapsed seconds, what a user waits for: a BLF reader of a
//           large file unpacks on every core, so it is the lower one
//           there.
// The BLF file is read again with the process held to one core, and Open
// log's index of it (a scan to the end) is timed on one core and on all.
//
// usage: bench_canlog [frames [fd]]   default 1,000,000 classic frames;
//        "fd": CAN FD frames of 64 bytes (with BRS); python-can 4.1
//        reads no CAN FD from TRC, so that row has no ratio.
//        bench_canlog big [GB]        a BLF file of 64-byte FD frames of
//        that size (default 2): read and indexed on one core and on all,
//        without python-can (minutes at its speed).
// Run from a release build.
#include <glib.h>
#include <glib/gstdio.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/resource.h>

#include <libdeflate.h>

#include <sched.h>

#include <random>
#include <vector>

#include "blf.h"
#include "canlog.h"

#include "bench_cpu.h"

namespace {

int write_file(const char *path, int format, long frames, bool fd)
{
    cl_writer w;
    if (cl_writer_open(&w, path, format, 0) != 0)
        return -1;
    std::mt19937 rnd(1);
    cl_frame f{};
    f.t_ns = 1700000000000000000LL;
    for (long i = 0; i < frames; i++) {
        f.t_ns += (int64_t)(rnd() % 2000) * 1000;
        bool ext = rnd() % 2;
        f.flags = (uint8_t)((ext ? CL_EXT : 0) | (rnd() % 4 == 0 ? CL_TX : 0));
        f.id = ext ? rnd() % 0x20000000u : rnd() % 0x800u;
        f.chan = (uint16_t)(rnd() % 2);
        f.len = (uint8_t)(rnd() % 9);
        if (fd) {
            f.flags |= CL_FDF | CL_BRS;
            f.len = 64;
        }
        for (int j = 0; j < f.len; j++)
            f.data[j] = (uint8_t)rnd();
        cl_write(&w, &f);
    }
    return cl_writer_close(&w) == 0 ? 0 : -1;
}

/* CPU seconds libdeflate takes to unpack the BLF file's log containers
 * alone, read whole from memory beforehand: the least any reader spends
 * that unpacks them with it. -1 when the file cannot be read. */
double unpack_only(const char *path)
{
    gchar *data = nullptr;
    gsize n = 0;
    if (!g_file_get_contents(path, &data, &n, nullptr) || n < BLF_FILE_HEADER)
        return -1;
    const uint8_t *p = reinterpret_cast<const uint8_t *>(data);
    libdeflate_decompressor *d = libdeflate_alloc_decompressor();
    std::vector<uint8_t> out(4 * BLF_CONTAINER_MAX);
    size_t pos = blf_u32(p + 4);
    long containers = 0;
    size_t unpacked = 0;
    double c0 = cpu_seconds();
    while (pos + BLF_CONTAINER_HEADER <= n && memcmp(p + pos, "LOBJ", 4) == 0) {
        uint32_t osize = blf_u32(p + 8 + pos);
        if (osize < BLF_CONTAINER_HEADER || pos + osize > n)
            break;
        if (blf_u32(p + pos + 12) == BLF_LOG_CONTAINER && blf_u16(p + pos + 16) == BLF_ZLIB &&
            libdeflate_zlib_decompress(d, p + pos + BLF_CONTAINER_HEADER,
                                       osize - BLF_CONTAINER_HEADER, out.data(), out.size(),
                                       &unpacked) == LIBDEFLATE_SUCCESS)
            containers++;
        pos += osize + osize % 4;
    }
    double cpu = cpu_seconds() - c0;
    libdeflate_free_decompressor(d);
    g_free(data);
    return containers > 0 ? cpu : -1;
}

/* Holds this thread, and the threads it starts from then on, to its first
 * allowed core (on), or gives it back all of them. */
void one_core(bool on)
{
    static cpu_set_t all;
    static bool saved = sched_getaffinity(0, sizeof all, &all) == 0;
    if (!saved)
        return;
    cpu_set_t one;
    CPU_ZERO(&one);
    for (int c = 0; c < CPU_SETSIZE; c++)
        if (CPU_ISSET(c, &all)) {
            CPU_SET(c, &one);
            break;
        }
    sched_setaffinity(0, sizeof one, on ? &one : &all);
}

struct timed {
    long n;
    double cpu, wall;
};

/* Reads the file to its end, timed from the opening to the close. */
timed read_ours(const char *path)
{
    timed t{0, 0, 0};
    double c0 = cpu_seconds();
    gint64 w0 = g_get_monotonic_time();
    int err = 0;
    cl_reader *r = cl_open(path, CL_FMT_AUTO, &err);
    if (r)
        cl_set_fd(r, 1);
    cl_frame f;
    while (r && cl_next(r, &f) == 1)
        t.n++;
    t.cpu = cpu_seconds() - c0;
    cl_close(r);  /* its threads are stopped inside the wall time */
    t.wall = (double)(g_get_monotonic_time() - w0) / 1e6;
    return t;
}

/* Open log's index: a scan from the opening to the end of the file. */
timed index_ours(const char *path)
{
    timed t{0, 0, 0};
    double c0 = cpu_seconds();
    gint64 w0 = g_get_monotonic_time();
    cl_scan_opts o{};
    o.fd = 1;
    int err = 0;
    cl_scan *s = cl_scan_open(path, &o, &err);
    if (!s)
        return t;
    while (!cl_scan_wait(s, 1000)) {
    }
    t.wall = (double)(g_get_monotonic_time() - w0) / 1e6;
    t.cpu = cpu_seconds() - c0;
    cl_scan_progress p;
    cl_scan_get_progress(s, &p);
    t.n = (long)p.rows;
    cl_scan_close(s);
    return t;
}

void print_cores(const char *path, double py_wall, long pn)
{
    one_core(true);
    timed r1 = read_ours(path), i1 = index_ours(path);
    one_core(false);
    timed ra = read_ours(path), ia = index_ours(path);
    printf("     BLF wall, read to the end: one core %.2f s, all cores %.2f s (%.2fx)", r1.wall,
           ra.wall, ra.wall > 0 ? r1.wall / ra.wall : 0);
    if (pn > 0 && r1.n > 0)
        printf("; against python-can %.1fx and %.1fx", (py_wall / pn) / (r1.wall / r1.n),
               (py_wall / pn) / (ra.wall / ra.n));
    printf("\n     BLF wall, Open log's full index: one core %.2f s, all cores %.2f s (%.2fx), "
           "%ld rows\n",
           i1.wall, ia.wall, ia.wall > 0 ? i1.wall / ia.wall : 0, ia.n);
}

int big(double gb)
{
    gchar *dir = g_dir_make_tmp("bench_canlog-XXXXXX", nullptr);
    if (!dir)
        return 1;
    gchar *path = g_strdup_printf("%s/big.blf", dir);
    const long frames = (long)(gb * 1e9 / 78);  /* a 64-byte FD object, zlib'd: 78 bytes */
    gint64 w0 = g_get_monotonic_time();
    int rc = write_file(path, CL_FMT_BLF, frames, true);
    GStatBuf st;
    double mb = g_stat(path, &st) == 0 ? (double)st.st_size / 1e6 : 0;
    printf("big.blf: %ld frames, %.0f MB, written in %.1f s\n", frames, mb,
           (double)(g_get_monotonic_time() - w0) / 1e6);
    if (rc == 0)
        print_cores(path, 0, 0);
    g_unlink(path);
    g_rmdir(dir);
    g_free(path);
    g_free(dir);
    return rc ? 1 : 0;
}

}  // namespace

int main(int argc, char **argv)
{
    if (argc > 1 && strcmp(argv[1], "big") == 0)
        return big(argc > 2 ? atof(argv[2]) : 2.0);
    long frames = argc > 1 ? atol(argv[1]) : 1000000;
    bool fd = argc > 2 && strcmp(argv[2], "fd") == 0;
    if (frames <= 0 || (argc > 2 && !fd)) {
        fprintf(stderr, "usage: %s [frames [fd]]\n", argv[0]);
        return 2;
    }
    gchar *dir = g_dir_make_tmp("bench_canlog-XXXXXX", nullptr);
    if (!dir)
        return 1;
    int rc = 0;
    printf("%-4s %9s %9s %11s %8s %11s %8s %7s %7s\n", "file", "MB", "frames", "ours fr/s",
           "MB/s", "python fr/s", "MB/s", "cpu", "wall");
    for (const cl_format_info &info : CL_FORMATS) {
        const int format = info.format;
        const char *ext = info.ext + 1;
        gchar *path = g_strdup_printf("%s/bench.%s", dir, ext);
        if (write_file(path, format, frames, fd) != 0) {
            fprintf(stderr, "cannot write %s\n", path);
            return 1;
        }
        GStatBuf st;
        double mb = g_stat(path, &st) == 0 ? (double)st.st_size / 1e6 : 0;

        /* Timed from the opening, as python-can's reading is. */
        const timed t = read_ours(path);
        const long n = t.n;
        const double ours = t.cpu, ours_wall = t.wall;

        const char *argv_py[] = {"/usr/bin/python3", BENCH_PYREAD, path, nullptr};
        gchar *out = nullptr;
        gint status = 0;
        long pn = 0;
        double py = 0, py_wall = 0;
        const bool py_reads = !(fd && format == CL_FMT_TRC);  /* python-can 4.1: no FD in TRC */
        if (py_reads && g_spawn_sync(nullptr, (gchar **)argv_py, nullptr, G_SPAWN_DEFAULT, nullptr, nullptr,
                         &out, nullptr, &status, nullptr) &&
            out)
            sscanf(out, "%ld %lf %lf", &pn, &py, &py_wall);
        g_free(out);
        if (n != frames || (py_reads && pn != frames)) {
            fprintf(stderr, "%s: read %ld frames, python-can %ld, written %ld\n", ext, n, pn,
                    frames);
            rc = 1;
        }
        double ours_rate = ours > 0 ? n / ours : 0, py_rate = py > 0 ? pn / py : 0;
        if (!py_reads) {
            printf("%-4s %9.1f %9ld %11.0f %8.1f %11s %8s %7s %7s\n", ext, mb, n, ours_rate,
                   ours > 0 ? mb / ours : 0, "-", "-", "-", "-");
            g_unlink(path);
            g_free(path);
            continue;
        }
        printf("%-4s %9.1f %9ld %11.0f %8.1f %11.0f %8.1f %6.1fx %6.1fx\n", ext, mb, n,
               ours_rate, ours > 0 ? mb / ours : 0, py_rate, py > 0 ? mb / py : 0,
               py_rate > 0 ? ours_rate / py_rate : 0,
               ours_wall > 0 && pn > 0 ? (py_wall / pn) / (ours_wall / n) : 0);
        if (format == CL_FMT_BLF) {
            /* What of our CPU time unpacking alone takes, and the CPU ratio
             * a reader would reach that spent nothing else (one core). */
            double unpack = unpack_only(path);
            if (unpack > 0 && py > 0)
                printf("     unpacking alone %.0f ns/frame (%.0f %% of ours): one core at most "
                       "%.1fx\n",
                       unpack / frames * 1e9, ours > 0 ? 100 * unpack / ours : 0,
                       py / pn / (unpack / frames));
            print_cores(path, py_wall, pn);
        }
        g_unlink(path);
        g_free(path);
    }
    g_rmdir(dir);
    g_free(dir);
    return rc;
}
