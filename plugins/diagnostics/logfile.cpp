/*
 * logfile.cpp - a log file (candump, ASC, BLF) decoded into the list
 * instead of the live traffic, which goes on being decoded meanwhile.
 * The file is read and decoded by a thread of its own; its rows go into
 * a store of their own that the page shows as they come. A file with more
 * conversations than the store holds keeps its first ones and says how
 * many more it had.
 */
#include "diagnostics.h"

#include <string.h>

#include <atomic>

#include "canlog.h"
#include "userfile.h"

namespace {

constexpr uint32_t LOG_ROWS = 200000;
constexpr uint64_t LOG_BYTES = 32u << 20;

struct logfile {
    int open;
    GThread *thread;
    std::atomic<int> stop;
    cl_reader *reader;
    dg_decoder *dec;             /* the thread's */
    dgp_store store;
    dg_config cfg;
    itp_pair pairs[32];
    int npairs;
    int singles;
    char name[256];

    GMutex lock;                 /* the progress below */
    uint64_t frames, offset, size, not_listed;
    int done, format, io_err;
    cl_stats stats;
};

logfile lf;

uint64_t on_event(void *, const dg_event *ev)
{
    g_mutex_lock(&lf.store.lock);
    const bool full = lf.store.next - lf.store.first >= lf.store.cap;
    g_mutex_unlock(&lf.store.lock);
    if (full && (ev->kind == DG_REQUEST || ev->kind == DG_J1939 || ev->kind == DG_J1939_ERROR ||
                 ev->kind == DG_TP_ERROR || (ev->kind == DG_RESPONSE && !ev->handle))) {
        g_mutex_lock(&lf.lock);
        lf.not_listed++;
        g_mutex_unlock(&lf.lock);
        return 0;
    }
    return dgp_store_event(&lf.store, dg_isotp(lf.dec), ev, lf.singles, 0);
}

void progress(uint64_t frames, int done)
{
    g_mutex_lock(&lf.lock);
    lf.frames = frames;
    lf.offset = cl_offset(lf.reader);
    lf.stats = *cl_reader_stats(lf.reader);
    lf.done = done;
    if (done)
        lf.io_err = lf.stats.io_err;
    g_mutex_unlock(&lf.lock);
}

gpointer run(gpointer)
{
    lf.dec = dg_new(&lf.cfg, on_event, nullptr);
    if (!lf.dec) {
        progress(0, 1);
        return nullptr;
    }
    for (int i = 0; i < lf.npairs; i++)
        itp_add_pair(dg_isotp(lf.dec), &lf.pairs[i]);
    cl_frame cf;
    dg_frame f;
    uint64_t n = 0, last_t = 0;
    bool first = true;
    int rc;
    while (!lf.stop && (rc = cl_next(lf.reader, &cf)) == 1) {
        /* Times count from the file's first frame, as the bus view's. */
        if (first) {
            first = false;
            g_mutex_lock(&lf.store.lock);
            lf.store.have_t0 = 1;
            lf.store.t0_us = cf.t_ns > 0 ? cf.t_ns / 1000 : 0;
            g_mutex_unlock(&lf.store.lock);
        }
        if (cf.flags & CL_ERR)
            continue;
        memset(&f, 0, sizeof f);
        f.t_us = cf.t_ns > 0 ? (uint64_t)cf.t_ns / 1000u : 0;
        if (f.t_us < last_t)
            f.t_us = last_t;   /* times must not step back */
        last_t = f.t_us;
        f.id = cf.id;
        f.flags = (uint8_t)((cf.flags & CL_EXT ? DG_EXT : 0) | (cf.flags & CL_RTR ? DG_RTR : 0) |
                            (cf.flags & CL_FDF ? DG_FDF : 0) | (cf.flags & CL_TX ? DG_TX : 0));
        const unsigned cap = cf.flags & CL_FDF ? 64u : 8u;
        f.len = (uint8_t)(cf.len > cap ? cap : cf.len);
        memcpy(f.data, cf.data, f.len);
        dg_feed(lf.dec, &f);
        if (++n % 4096 == 0)
            progress(n, 0);
    }
    /* What was still awaited at the end of the file has timed out. */
    if (!lf.stop)
        dg_tick(lf.dec, last_t + 60u * 1000000u);
    dg_free(lf.dec);
    progress(n, 1);
    return nullptr;
}

}  // namespace

int dgp_log_open(const char *path, char *msg, size_t msg_size)
{
    int err = 0;
    cl_reader *r = cl_open(path, CL_FMT_AUTO, &err);
    char *display = g_filename_display_basename(path);
    if (!r) {
        /* The log shown stays. */
        g_snprintf(msg, msg_size, _("Could not open %s: %s"), display, uf_strerror(err));
        g_free(display);
        return -1;
    }
    dgp_log_close();
    if (dgp_store_init(&lf.store, LOG_ROWS, LOG_BYTES) != 0) {
        cl_close(r);
        g_snprintf(msg, msg_size, _("Not enough memory to read %s."), display);
        g_free(display);
        return -1;
    }
    cl_set_fd(r, 1);   /* FD conversations are decoded, as live */
    g_strlcpy(lf.name, display, sizeof lf.name);
    g_free(display);
    lf.reader = r;
    lf.cfg = dgp.cfg;
    lf.npairs = dgp_parse_pairs(dgp.pairs_text, lf.pairs, 32, msg, msg_size);
    if (lf.npairs < 0)
        lf.npairs = 0;
    lf.singles = dgp.j1939_singles;
    g_mutex_init(&lf.lock);
    lf.frames = lf.offset = lf.not_listed = 0;
    lf.size = cl_size(r);
    lf.format = cl_reader_format(r);
    lf.done = 0;
    lf.io_err = 0;
    memset(&lf.stats, 0, sizeof lf.stats);
    lf.stop = 0;
    lf.open = 1;
    lf.thread = g_thread_new("diag-log", run, nullptr);
    msg[0] = 0;
    return 0;
}

void dgp_log_close(void)
{
    if (!lf.open)
        return;
    lf.stop = 1;
    g_thread_join(lf.thread);
    lf.thread = nullptr;
    cl_close(lf.reader);
    lf.reader = nullptr;
    dgp_store_free(&lf.store);
    g_mutex_clear(&lf.lock);
    lf.open = 0;
}

int dgp_log_active(void)
{
    return lf.open;
}

dgp_store *dgp_log_store(void)
{
    return &lf.store;
}

void dgp_log_progress(char *text, size_t size, double *fraction, int *done)
{
    g_mutex_lock(&lf.lock);
    const uint64_t frames = lf.frames, offset = lf.offset, not_listed = lf.not_listed;
    const cl_stats st = lf.stats;
    *done = lf.done;
    const int io_err = lf.io_err;
    g_mutex_unlock(&lf.lock);
    g_mutex_lock(&lf.store.lock);
    const uint64_t rows = lf.store.next - lf.store.first;
    g_mutex_unlock(&lf.store.lock);
    *fraction = lf.size ? (double)offset / (double)lf.size : 0.0;
    GString *g = g_string_new(nullptr);
    char n_frames[64], n_rows[64];
    g_snprintf(n_frames, sizeof n_frames,
               g_dngettext(GETTEXT_PACKAGE, "%llu frame", "%llu frames", (unsigned long)frames),
               (unsigned long long)frames);
    g_snprintf(n_rows, sizeof n_rows, g_dngettext(GETTEXT_PACKAGE, "%llu row", "%llu rows", (unsigned long)rows),
               (unsigned long long)rows);
    /* TRANSLATORS: file name, log format: "12 frames", "12 rows" */
    g_string_printf(g, _("%s (%s): %s, %s"), lf.name, cl_format_name(lf.format), n_frames, n_rows);
    if (not_listed)
        g_string_append_printf(g, _("; %llu more not listed (the list is full)"), (unsigned long long)not_listed);
    if (st.bad)
        g_string_append_printf(g,
                               g_dngettext(GETTEXT_PACKAGE,
                                           "; %llu line or object could not be read (first: %s)",
                                           "; %llu lines or objects could not be read (first: %s)",
                                           (unsigned long)st.bad),
                               (unsigned long long)st.bad, st.first_bad);
    if (st.skipped_fd)
        g_string_append_printf(g,
                               g_dngettext(GETTEXT_PACKAGE, "; %llu CAN FD frame skipped",
                                           "; %llu CAN FD frames skipped", (unsigned long)st.skipped_fd),
                               (unsigned long long)st.skipped_fd);
    if (io_err)
        g_string_append_printf(g, _("; reading stopped: %s"), uf_strerror(io_err));
    g_strlcpy(text, g->str, size);
    g_string_free(g, TRUE);
}
