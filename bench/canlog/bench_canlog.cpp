// Log reader benchmark: writes the same random traffic as a candump log,
// an ASC file and a BLF file, reads each with the log library and with
// python-can's can.LogReader (Debian's python3-can), and prints frames/s,
// MB/s and the ratio of the two, both sides timed from the opening:
//   cpu   - CPU seconds of the process (all its threads), so a busy
//           machine changes the figures less; fr/s and MB/s are these;
//   wall  - elapsed seconds, what a user waits for: a BLF reader of a
//           large file unpacks on several cores, so it is the lower one
//           there.
//
// usage: bench_canlog [frames [fd]]   default 1,000,000 classic frames;
// "fd": CAN FD frames of 64 bytes (with BRS). Run from a release build.
#include <glib.h>
#include <glib/gstdio.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/resource.h>

#include <libdeflate.h>

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

}  // namespace

int main(int argc, char **argv)
{
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
    for (int format : {CL_FMT_CANDUMP, CL_FMT_ASC, CL_FMT_BLF}) {
        const char *ext = format == CL_FMT_CANDUMP ? "log" : format == CL_FMT_ASC ? "asc" : "blf";
        gchar *path = g_strdup_printf("%s/bench.%s", dir, ext);
        if (write_file(path, format, frames, fd) != 0) {
            fprintf(stderr, "cannot write %s\n", path);
            return 1;
        }
        GStatBuf st;
        double mb = g_stat(path, &st) == 0 ? (double)st.st_size / 1e6 : 0;

        /* Timed from the opening, as python-can's reading is. */
        double c0 = cpu_seconds();
        gint64 w0 = g_get_monotonic_time();
        int err = 0;
        cl_reader *r = cl_open(path, CL_FMT_AUTO, &err);
        if (r)
            cl_set_fd(r, 1);
        cl_frame f;
        long n = 0;
        uint64_t sum = 0;
        while (r && cl_next(r, &f) == 1) {
            n++;
            sum += f.id;
        }
        double ours = cpu_seconds() - c0;
        cl_close(r);  /* its threads are stopped inside the wall time */
        double ours_wall = (double)(g_get_monotonic_time() - w0) / 1e6;

        const char *argv_py[] = {"/usr/bin/python3", BENCH_PYREAD, path, nullptr};
        gchar *out = nullptr;
        gint status = 0;
        long pn = 0;
        double py = 0, py_wall = 0;
        if (g_spawn_sync(nullptr, (gchar **)argv_py, nullptr, G_SPAWN_DEFAULT, nullptr, nullptr,
                         &out, nullptr, &status, nullptr) &&
            out)
            sscanf(out, "%ld %lf %lf", &pn, &py, &py_wall);
        g_free(out);
        if (n != frames || pn != frames) {
            fprintf(stderr, "%s: read %ld frames, python-can %ld, written %ld\n", ext, n, pn,
                    frames);
            rc = 1;
        }
        double ours_rate = ours > 0 ? n / ours : 0, py_rate = py > 0 ? pn / py : 0;
        printf("%-4s %9.1f %9ld %11.0f %8.1f %11.0f %8.1f %6.1fx %6.1fx   (%llu)\n", ext, mb, n,
               ours_rate, ours > 0 ? mb / ours : 0, py_rate, py > 0 ? mb / py : 0,
               py_rate > 0 ? ours_rate / py_rate : 0,
               ours_wall > 0 && pn > 0 ? (py_wall / pn) / (ours_wall / n) : 0,
               (unsigned long long)(sum % 10));
        if (format == CL_FMT_BLF) {
            /* What of our CPU time unpacking alone takes, and the CPU ratio
             * a reader would reach that spent nothing else (one core). */
            double unpack = unpack_only(path);
            if (unpack > 0 && py > 0)
                printf("     unpacking alone %.0f ns/frame (%.0f %% of ours): one core at most "
                       "%.1fx\n",
                       unpack / frames * 1e9, ours > 0 ? 100 * unpack / ours : 0,
                       py / pn / (unpack / frames));
        }
        g_unlink(path);
        g_free(path);
    }
    g_rmdir(dir);
    g_free(dir);
    return rc;
}
