/*
 * scan.cpp - random access to a log file through marks kept by a scan in
 * a thread of its own.
 *
 * Mark k says where row k.row starts: the reader's state before it, and
 * the number of frames read before that place. A new mark is kept before
 * a selected frame when K rows or F frames have gone by since the last
 * one, so the rows of one mark lie within F frames of it: reading any row
 * again reads at most F frames. Without a selection F is K. When the
 * marks reach their limit every second one goes where that keeps the
 * bounds at 2K and 2F, and the scan goes on with those.
 */
#include "reader.h"
#include "userfile.h"

#include <errno.h>
#include <fcntl.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <mutex>
#include <new>
#include <thread>
#include <vector>

namespace {

constexpr uint64_t ROWS_PER_MARK = 128;     /* K at the start */
constexpr uint64_t SELECT_SPAN = 4096;      /* F at the start, with a selection */
constexpr size_t BATCH = 512;               /* frames per call of the frames function */
constexpr uint64_t PUBLISH_MAX = 16384;     /* frames between two publications */
/* Frames a read would rather skip by going to a mark: a little more than
 * the first read after a seek brings in. */
constexpr uint64_t JUMP_FRAMES = 1024;
constexpr uint64_t SCAN_STEP_BYTES = 4u * 1024 * 1024;

struct mark {
    cl_mark m;
    uint64_t row;      /* the first row read from it */
    uint64_t frame;    /* frames before it */
};

}  // namespace

struct cl_scan {
    cl_scan_opts o;
    cl_reader *rd;             /* the scan's own */
    cl_reader *acc;            /* random access, opened at the first read */
    int fd;                    /* the file as opened: every reader reads it */
    int format;
    uint64_t size;             /* its size then: nothing after it is read */

    std::thread thread;
    std::atomic<bool> stop{false};
    std::mutex lock;
    std::condition_variable ended;
    /* Published by the scan under lock. */
    std::vector<mark> marks;
    uint64_t rows = 0;
    uint64_t frames = 0;
    uint64_t offset = 0;
    int done = 0;
    int has_date = 0;
    cl_stats stats{};
    /* candump: the scan's interface names, which every read takes: marks
     * do not carry them (cl_names). */
    cl_names names{};

    /* Random access: the row acc reads next and the frames before it
     * (valid when acc_row_ok). */
    uint64_t acc_row = 0;
    uint64_t acc_frame = 0;
    bool acc_row_ok = false;
};

namespace {

bool selected(const cl_scan *s, const cl_frame *f)
{
    return !s->o.select || s->o.select(s->o.select_ctx, f) != 0;
}

/* Every second mark, where the rows of the one before still lie within
 * 2K rows and 2F frames of it. */
void thin(std::vector<mark> &v, uint64_t rows_end, uint64_t k, uint64_t f)
{
    if (v.empty())
        return;
    size_t out = 1;
    for (size_t i = 1; i < v.size(); i++) {
        const mark &kept = v[out - 1];
        uint64_t next_row = i + 1 < v.size() ? v[i + 1].row : rows_end;
        bool merge = v[i].frame - kept.frame <= f && next_row - kept.row <= 2 * k;
        if (!merge)
            v[out++] = v[i];
    }
    v.resize(out);
}

void run(cl_scan *s)
{
    cl_reader *r = s->rd;
    uint64_t k = ROWS_PER_MARK, span = s->o.select ? SELECT_SPAN : ROWS_PER_MARK;
    size_t max = s->o.marks_max ? s->o.marks_max : CL_SCAN_MARKS;
    if (max < 4)
        max = 4;
    std::vector<mark> fresh;
    cl_frame batch[BATCH];
    size_t nbatch = 0;
    uint64_t frames = 0, rows = 0, published = 0, next_publish = 64;
    mark ok{};                 /* the last place that can be returned to */
    bool have_last = false;
    mark last{};               /* the last mark kept */
    int rc = 0;

    auto publish = [&](bool end) {
        if (s->o.frames && nbatch) {
            s->o.frames(s->o.frames_ctx, batch, nbatch);
            nbatch = 0;
        }
        std::lock_guard<std::mutex> g(s->lock);
        s->marks.insert(s->marks.end(), fresh.begin(), fresh.end());
        fresh.clear();
        while (s->marks.size() >= max) {
            thin(s->marks, rows, k, span);
            k *= 2;
            span *= 2;
        }
        s->rows = rows;
        s->frames = frames;
        s->offset = cl_offset(r);
        s->stats = *cl_reader_stats(r);
        s->has_date = cl_has_date(r);
        if (r->names.n != s->names.n)
            s->names = r->names;
        if (end) {
            s->done = 1;
            s->ended.notify_all();
        }
    };

    while (!s->stop.load(std::memory_order_relaxed)) {
        if (cl_mark_get(r, &ok.m) == 0) {
            ok.row = rows;
            ok.frame = frames;
        }
        cl_frame f;
        rc = cl_next(r, &f);
        if (rc == 2)
            continue;  /* a step through what is no frame: stop is looked at */
        if (rc <= 0)
            break;
        frames++;
        if (s->o.frames) {
            batch[nbatch++] = f;
            if (nbatch == BATCH) {
                s->o.frames(s->o.frames_ctx, batch, nbatch);
                nbatch = 0;
            }
        }
        if (selected(s, &f)) {
            if (!have_last || (ok.frame != last.frame &&
                               (rows - last.row >= k || frames - 1 - last.frame >= span))) {
                fresh.push_back(ok);
                last = ok;
                have_last = true;
            }
            rows++;
        }
        if (frames - published >= next_publish) {
            publish(false);
            published = frames;
            /* Early rows soon, then fewer publications. */
            if (next_publish < PUBLISH_MAX)
                next_publish *= 2;
        }
    }
    publish(true);
}

}  // namespace

namespace {

/* A scan of the open file fd (taken), no further than limit bytes. */
cl_scan *scan_fd(int fd, uint64_t limit, const cl_scan_opts *opts, int *err)
{
    cl_scan *s = new (std::nothrow) cl_scan;
    if (!s) {
        close(fd);
        *err = ENOMEM;
        return nullptr;
    }
    if (opts)
        s->o = *opts;
    else
        memset(&s->o, 0, sizeof s->o);
    s->acc = nullptr;
    s->fd = fd;
    int own = fcntl(fd, F_DUPFD_CLOEXEC, 0);
    s->rd = own >= 0 ? cl_open_fd(own, s->o.format, limit, err) : nullptr;
    if (!s->rd) {
        if (own < 0)
            *err = errno ? errno : EMFILE;
        close(fd);
        delete s;
        return nullptr;
    }
    s->format = cl_reader_format(s->rd);
    s->size = cl_size(s->rd);
    /* Closing never waits for more than a step of the scan. */
    cl_set_budget(s->rd, SCAN_STEP_BYTES);
    cl_set_fd(s->rd, s->o.fd);
    try {
        s->thread = std::thread(run, s);
    } catch (...) {
        cl_close(s->rd);
        close(fd);
        delete s;
        *err = EAGAIN;
        return nullptr;
    }
    *err = 0;
    return s;
}

}  // namespace

cl_scan *cl_scan_open(const char *path, const cl_scan_opts *opts, int *err)
{
    int fd = uf_open_read(path, err);
    if (fd < 0)
        return nullptr;
    cl_scan_opts o{};
    if (opts)
        o = *opts;
    if (o.format == CL_FMT_AUTO)
        o.format = cl_format_of_name(path);
    return scan_fd(fd, 0, &o, err);
}

cl_scan *cl_scan_again(const cl_scan *s, const cl_scan_opts *opts, int *err)
{
    int fd = fcntl(s->fd, F_DUPFD_CLOEXEC, 0);
    if (fd < 0) {
        *err = errno ? errno : EMFILE;
        return nullptr;
    }
    cl_scan_opts o{};
    if (opts)
        o = *opts;
    o.format = s->format;
    return scan_fd(fd, s->size, &o, err);
}

void cl_scan_file_change(const cl_scan *s, const char *path, cl_file_change *out)
{
    memset(out, 0, sizeof *out);
    out->size_then = s->size;
    out->size_now = s->size;
    struct stat mine, named;
    if (fstat(s->fd, &mine) != 0)
        return;
    out->size_now = (uint64_t)mine.st_size;
    out->replaced = stat(path, &named) != 0 || named.st_dev != mine.st_dev ||
                    named.st_ino != mine.st_ino;
}

void cl_scan_close(cl_scan *s)
{
    if (!s)
        return;
    s->stop.store(true);
    if (s->thread.joinable())
        s->thread.join();
    cl_close(s->rd);
    cl_close(s->acc);
    close(s->fd);
    delete s;
}

void cl_scan_get_progress(cl_scan *s, cl_scan_progress *p)
{
    std::lock_guard<std::mutex> g(s->lock);
    p->rows = s->rows;
    p->frames = s->frames;
    p->offset = s->offset;
    p->size = s->size;
    p->mark_bytes = s->marks.capacity() * sizeof(mark);
    p->done = s->done;
    p->has_date = s->has_date;
    p->stats = s->stats;
}

int cl_scan_wait(cl_scan *s, int timeout_ms)
{
    std::unique_lock<std::mutex> g(s->lock);
    return s->ended.wait_for(g, std::chrono::milliseconds(timeout_ms), [s] { return s->done != 0; })
               ? 1
               : 0;
}

int cl_scan_format(const cl_scan *s)
{
    return s->format;
}

namespace {

/* The first mark after row, when there is one. */
bool mark_after(cl_scan *s, uint64_t row, mark *out)
{
    std::lock_guard<std::mutex> g(s->lock);
    size_t lo = 0, hi = s->marks.size();
    while (lo < hi) {
        size_t mid = lo + (hi - lo) / 2;
        if (s->marks[mid].row <= row)
            lo = mid + 1;
        else
            hi = mid;
    }
    if (lo == s->marks.size())
        return false;
    *out = s->marks[lo];
    return true;
}

}  // namespace

long cl_scan_read(cl_scan *s, uint64_t first, cl_frame *out, size_t count)
{
    mark from;
    uint64_t rows;
    cl_names names;
    {
        std::lock_guard<std::mutex> g(s->lock);
        rows = s->rows;
        names.n = 0;
        if (s->names.n > (s->acc ? s->acc->names.n : 0))
            names = s->names;
        if (first >= rows || count == 0)
            return 0;
        /* The last mark at or before the row. */
        size_t lo = 0, hi = s->marks.size();
        while (hi - lo > 1) {
            size_t mid = lo + (hi - lo) / 2;
            if (s->marks[mid].row <= first)
                lo = mid;
            else
                hi = mid;
        }
        from = s->marks[lo];
    }
    if (count > rows - first)
        count = (size_t)(rows - first);
    if (!s->acc) {
        int err = 0;
        int fd = fcntl(s->fd, F_DUPFD_CLOEXEC, 0);
        s->acc = fd >= 0 ? cl_open_fd(fd, s->format, s->size, &err) : nullptr;
        if (s->acc)
            cl_set_fd(s->acc, s->o.fd);
        if (!s->acc)
            return -1;
        s->acc_row_ok = false;
    }
    cl_names_take(s->acc, &names);
    /* Reading on from where the last read ended is cheaper than going
     * back to the mark, when that is not behind the mark. */
    uint64_t row = s->acc_row, frame = s->acc_frame;
    if (!s->acc_row_ok || row > first || row < from.row) {
        s->acc_row_ok = false;
        if (cl_mark_set(s->acc, &from.m) != 0)
            return -1;
        row = from.row;
        frame = from.frame;
    }
    mark next;
    bool has_next = mark_after(s, row, &next);
    size_t got = 0;
    while (got < count) {
        /* Rows far apart (a rare identifier): the next row's mark is
         * nearer than reading on to it. */
        if (has_next && row >= next.row) {
            if (row == next.row && next.frame > frame + JUMP_FRAMES) {
                if (cl_mark_set(s->acc, &next.m) != 0) {
                    s->acc_row_ok = false;
                    return got ? (long)got : -1;
                }
                frame = next.frame;
            }
            has_next = mark_after(s, row, &next);
        }
        cl_frame f;
        int rc = cl_next(s->acc, &f);
        if (rc <= 0) {
            s->acc_row_ok = false;
            return rc < 0 && got == 0 ? -1 : (long)got;
        }
        frame++;
        if (!selected(s, &f))
            continue;
        if (row >= first)
            out[got++] = f;
        row++;
    }
    s->acc_row = row;
    s->acc_frame = frame;
    s->acc_row_ok = true;
    return (long)got;
}
