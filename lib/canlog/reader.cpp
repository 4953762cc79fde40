/*
 * reader.cpp - opening a log file for reading, picking its format, and
 * what the readers share: counting bad input, times and dates.
 */
#include "reader.h"
#include "userfile.h"

#include <errno.h>
#include <fcntl.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <strings.h>
#include <time.h>
#include <unistd.h>

namespace {

cl_reader *make(int format)
{
    cl_reader *r = static_cast<cl_reader *>(calloc(1, sizeof(cl_reader)));
    if (r)
        r->format = format;
    return r;
}

void reset(cl_reader *r)
{
    memset(&r->st, 0, sizeof r->st);
    r->src.skipping = 0;
    memset(&r->asc, 0, sizeof r->asc);
    memset(&r->names, 0, sizeof r->names);
    cl_trc_reset(&r->trc);
    r->has_date = r->format == CL_FMT_CANDUMP;
    cl_blf *b = &r->blf;
    cl_blf_jump(b);
    b->header_done = 0;
    b->cut = 0;
    b->start_ns = 0;
    if (r->format == CL_FMT_BLF)
        cl_blf_peek_date(r);
    else if (r->format == CL_FMT_ASC)
        cl_asc_peek_date(r);
}

}  // namespace

int cl_format_of_name(const char *name)
{
    size_t n = name ? strlen(name) : 0;
    if (n < 4)
        return CL_FMT_AUTO;
    for (const cl_format_info &f : CL_FORMATS)
        if (strcasecmp(name + n - 4, f.ext) == 0)
            return f.format;
    return CL_FMT_AUTO;
}

int cl_format_of_data(const void *data, size_t size)
{
    const char *p = static_cast<const char *>(data);
    if (size >= 4 && memcmp(p, "LOGG", 4) == 0)
        return CL_FMT_BLF;
    size_t i = 0;
    while (i < size && (cl_space(p[i]) || p[i] == '\n'))
        i++;
    if (i < size && p[i] == '(')
        return CL_FMT_CANDUMP;
    return i < size && p[i] == ';' ? CL_FMT_TRC : CL_FMT_ASC;
}

const char *cl_format_name(int format)
{
    const cl_format_info *f = cl_format_info_of(format);
    return f ? f->name : "?";
}

cl_reader *cl_open(const char *path, int format, int *err)
{
    int fd = uf_open_read(path, err);
    if (fd < 0)
        return nullptr;
    if (format == CL_FMT_AUTO)
        format = cl_format_of_name(path);
    return cl_open_fd(fd, format, 0, err);
}

cl_reader *cl_open_fd(int fd, int format, uint64_t limit, int *err)
{
    cl_reader *r = make(format);
    int e = r ? src_open_fd(&r->src, fd) : ENOMEM;
    if (!e)
        src_limit(&r->src, limit);
    if (e) {
        if (r)
            src_close(&r->src);
        else
            close(fd);
        free(r);
        *err = e;
        return nullptr;
    }
    /* The content decides when the name does not, and a BLF file is one
     * whatever its name. */
    size_t n = src_need(&r->src, 4096);
    int by_data = cl_format_of_data(r->src.p + r->src.pos, n);
    if (r->format == CL_FMT_AUTO || by_data == CL_FMT_BLF)
        r->format = by_data;
    reset(r);
    *err = 0;
    return r;
}

cl_reader *cl_open_mem(const void *data, size_t size, int format)
{
    if (format == CL_FMT_AUTO)
        format = cl_format_of_data(data, size);
    cl_reader *r = make(format);
    if (!r)
        return nullptr;
    src_open_mem(&r->src, data, size);
    reset(r);
    return r;
}

void cl_close(cl_reader *r)
{
    if (!r)
        return;
    cl_blf_free(&r->blf);  /* its workers read the file */
    src_close(&r->src);
    free(r);
}

void cl_set_budget(cl_reader *r, uint64_t bytes)
{
    r->src.budget = bytes;
}

int cl_next(cl_reader *r, cl_frame *out)
{
    int rc;
    r->yielded = 0;
    r->src.call_start = r->src.read_total;
    switch (r->format) {
    case CL_FMT_CANDUMP:
        rc = cl_next_candump(r, out);
        break;
    case CL_FMT_ASC:
        rc = cl_next_asc(r, out);
        break;
    case CL_FMT_BLF:
        rc = cl_next_blf(r, out);
        break;
    case CL_FMT_TRC:
        rc = cl_next_trc(r, out);
        break;
    default:
        return 0;
    }
    if (rc == 0 && r->src.err) {
        r->st.io_err = r->src.err;
        return -1;
    }
    if (rc == 0 && r->yielded)
        return 2;
    if (rc > 0) {
        r->st.frames++;
        if (out->flags & CL_ERR)
            r->st.error_frames++;
    }
    return rc;
}

int cl_rewind(cl_reader *r)
{
    int e = src_rewind(&r->src);
    if (e == 0)
        reset(r);
    return e;
}

void cl_set_fd(cl_reader *r, int on)
{
    r->fd = on != 0;
}


const cl_stats *cl_reader_stats(const cl_reader *r)
{
    return &r->st;
}

int cl_reader_format(const cl_reader *r)
{
    return r->format;
}

uint64_t cl_offset(const cl_reader *r)
{
    return src_offset(&r->src);
}

uint64_t cl_size(const cl_reader *r)
{
    return r->src.size;
}

int cl_has_date(const cl_reader *r)
{
    return r->has_date;
}

void cl_bad(cl_reader *r, const char *kind, uint64_t where, const char *what)
{
    if (r->st.bad++ == 0)
        snprintf(r->st.first_bad, sizeof r->st.first_bad, "%s %llu: %s", kind,
                 (unsigned long long)where, what);
}

int cl_next_line(cl_reader *r, const char **line, size_t *n)
{
    int rc;
    for (;;) {
        if (src_spent(&r->src)) {
            r->yielded = 1;
            return 0;
        }
        rc = src_line(&r->src, line, n);
        if (rc == 0)
            break;
        if (rc == 3) {
            r->yielded = 1;
            return 0;
        }
        r->st.lines++;
        if (rc == 1)
            return 1;
        cl_bad(r, "line", r->st.lines, "line too long");
    }
    return 0;
}

int cl_parse_time(const char **sp, const char *end, int64_t *ns)
{
    const char *s = *sp;
    int64_t sec = 0;
    int digits = 0;
    while (s < end && *s >= '0' && *s <= '9') {
        sec = sec * 10 + (*s++ - '0');
        if (++digits > 10 || sec > 9000000000LL)
            return -1;  /* beyond the year 2255: not a time */
    }
    int64_t frac = 0;
    int fdigits = 0;
    if (s < end && *s == '.') {
        s++;
        while (s < end && *s >= '0' && *s <= '9') {
            if (fdigits < 9) {
                frac = frac * 10 + (*s - '0');
                fdigits++;
            }
            s++;
        }
        if (fdigits == 0 && digits == 0)
            return -1;
    } else if (digits == 0) {
        return -1;
    }
    for (int i = fdigits; i < 9; i++)
        frac *= 10;
    *ns = sec * 1000000000 + frac;
    *sp = s;
    return 0;
}

int64_t cl_local_to_ns(int year, int month, int day, int hour, int min, int sec, int ms)
{
    struct tm tm;
    memset(&tm, 0, sizeof tm);
    tm.tm_year = year - 1900;
    tm.tm_mon = month - 1;
    tm.tm_mday = day;
    tm.tm_hour = hour;
    tm.tm_min = min;
    tm.tm_sec = sec;
    tm.tm_isdst = -1;
    time_t t = mktime(&tm);
    if (t == (time_t)-1 || t < 0 || t > 9000000000LL)
        return 0;
    return (int64_t)t * 1000000000 + (int64_t)ms * 1000000;
}
