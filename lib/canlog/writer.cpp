/*
 * writer.cpp - writing log files: one fixed output buffer written out
 * with write(2), the text formats' lines, and the BLF containers.
 *
 * BLF frames collect in a container of up to 128 KiB, which goes out
 * compressed when it is full and at every flush, so a flushed file reads
 * whole up to its last flush. The file header is written with the start
 * time first and again with the sizes and counts when the file is closed.
 */
#include "blf.h"
#include "canlog.h"
#include "userfile.h"

#include <errno.h>
#include <fcntl.h>
#include <stdlib.h>
#include <stdio.h>
#include <string.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>
#include <zlib.h>

namespace {

/* Writes out the buffer. A failure keeps the file's whole lines and
 * containers only: it is cut back to the last place in the buffer that
 * ends one and that the write got past, and on_disk says what it holds. */
int out_flush(cl_writer *w)
{
    if (w->fd < 0)
        return w->err;
    size_t off = 0;
    while (off < w->fill && w->err == 0) {
        ssize_t r = write(w->fd, w->buf + off, w->fill - off);
        if (r < 0) {
            if (errno == EINTR)
                continue;
            w->err = errno ? errno : EIO;
        } else if (r == 0) {
            w->err = EIO;
        } else {
            off += (size_t)r;
        }
    }
    if (w->err == 0) {
        w->on_disk = w->out;
    } else if (w->fill > 0) {
        /* What was not written stays lost either way: the file is stopped. */
        uint64_t reached = w->marks[0].at + off;
        unsigned k = w->nmarks;
        while (k > 1 && w->marks[k - 1].at > reached)
            k--;
        if (w->out.at <= reached)
            w->on_disk = w->out;
        else
            w->on_disk = w->marks[k - 1];
        if (w->on_disk.at < reached)
            (void)ftruncate(w->fd, (off_t)w->on_disk.at);
        w->bytes = w->on_disk.at;
        w->out = w->on_disk;
    }
    w->fill = 0;
    w->marks[0] = w->on_disk;
    w->nmarks = 1;
    return w->err;
}

/* Makes room for a record of n bytes (n <= CL_WRITE_BUFFER), so that no
 * line or container is split between two writes. */
int room(cl_writer *w, size_t n)
{
    if (w->fd < 0 || w->err)
        return w->err ? w->err : EBADF;
    if (w->fill + n > CL_WRITE_BUFFER && out_flush(w) != 0)
        return w->err;
    return 0;
}

void append(cl_writer *w, const void *data, size_t n)
{
    memcpy(w->buf + w->fill, data, n);
    w->fill += n;
    w->bytes += n;
}

/* A line or container ends here: counted, and kept as a place to cut
 * back to, one every so many bytes. */
void record_end(cl_writer *w)
{
    w->out.at = w->bytes;
    if (w->nmarks < CL_CHECKPOINTS &&
        w->out.at - w->marks[w->nmarks - 1].at >= CL_WRITE_BUFFER / CL_CHECKPOINTS)
        w->marks[w->nmarks++] = w->out;
}

/* Gives up a file being written anew (or ends the copy). */
void end_copy(cl_writer *w)
{
    if (w->fd_new >= 0)
        close(w->fd_new);
    if (w->fd_from >= 0)
        close(w->fd_from);
    w->fd_new = w->fd_from = -1;
}

int out_record(cl_writer *w, const void *data, size_t n)
{
    if (room(w, n) != 0)
        return w->err;
    append(w, data, n);
    record_end(w);
    return 0;
}

/* SYSTEMTIME of a time in ns, local time, as the readers expect. */
void put_systemtime(uint8_t *p, int64_t t_ns)
{
    if (t_ns < 0)
        t_ns = 0;
    time_t secs = (time_t)(t_ns / 1000000000);
    struct tm tm;
    memset(p, 0, 16);
    if (!localtime_r(&secs, &tm))
        return;
    blf_put16(p, (uint16_t)(tm.tm_year + 1900));
    blf_put16(p + 2, (uint16_t)(tm.tm_mon + 1));
    blf_put16(p + 4, (uint16_t)tm.tm_wday);
    blf_put16(p + 6, (uint16_t)tm.tm_mday);
    blf_put16(p + 8, (uint16_t)tm.tm_hour);
    blf_put16(p + 10, (uint16_t)tm.tm_min);
    blf_put16(p + 12, (uint16_t)tm.tm_sec);
    blf_put16(p + 14, (uint16_t)((t_ns / 1000000) % 1000));
}

void blf_file_header(const cl_writer *w, uint8_t *h)
{
    memset(h, 0, BLF_FILE_HEADER);
    memcpy(h, "LOGG", 4);
    blf_put32(h + 4, BLF_FILE_HEADER);
    /* application id, version bytes: left 0; format version 2.6.8.1 */
    h[12] = 2, h[13] = 6, h[14] = 8, h[15] = 1;
    blf_put64(h + 16, w->bytes);
    blf_put64(h + 24, BLF_FILE_HEADER + w->uncompressed);
    blf_put32(h + 32, (uint32_t)w->objects);
    put_systemtime(h + 40, w->base_ns);
    put_systemtime(h + 56, w->last_ns);
}

/* The container in hand goes out compressed. */
int blf_container(cl_writer *w)
{
    if (w->cont_fill == 0)
        return w->err;
    uLongf zlen = (uLongf)w->zcap;
    if (compress2(w->zbuf, &zlen, w->cont, w->cont_fill, 1) != Z_OK) {
        if (!w->err)
            w->err = ENOMEM;
        return w->err;
    }
    /* The container is followed by (size % 4) bytes of padding: what the
     * format's readers skip, odd as it is. */
    uint8_t h[BLF_CONTAINER_HEADER];
    memset(h, 0, sizeof h);
    uint32_t osize = (uint32_t)(BLF_CONTAINER_HEADER + zlen);
    memcpy(h, "LOBJ", 4);
    blf_put16(h + 4, BLF_BASE_HEADER);
    blf_put16(h + 6, 1);
    blf_put32(h + 8, osize);
    blf_put32(h + 12, BLF_LOG_CONTAINER);
    blf_put16(h + 16, BLF_ZLIB);
    blf_put32(h + 24, (uint32_t)w->cont_fill);
    static const uint8_t pad[4] = {0, 0, 0, 0};
    size_t total = sizeof h + zlen + osize % 4;
    if (room(w, total) != 0)
        return w->err;
    append(w, h, sizeof h);
    append(w, w->zbuf, zlen);
    append(w, pad, osize % 4);
    w->uncompressed += BLF_CONTAINER_HEADER + w->cont_fill;
    w->objects += w->cont_objects;
    w->out.frames += w->cont_frames;
    w->out.error_frames += w->cont_errors;
    w->out.objects = w->objects;
    w->out.uncompressed = w->uncompressed;
    w->cont_fill = 0;
    w->cont_frames = w->cont_errors = w->cont_objects = 0;
    record_end(w);
    return 0;
}

/* One object with a version 1 header and nanosecond times. */
int blf_object(cl_writer *w, uint32_t type, int64_t t_ns, const uint8_t *data, size_t n)
{
    size_t osize = BLF_V1_HEADER + n;
    size_t padded = (osize + 3) & ~(size_t)3;
    if (w->cont_fill + padded > BLF_CONTAINER_MAX && blf_container(w) != 0)
        return w->err;
    uint8_t *h = w->cont + w->cont_fill;
    memset(h, 0, padded);
    memcpy(h, "LOBJ", 4);
    blf_put16(h + 4, BLF_V1_HEADER);
    blf_put16(h + 6, 1);
    blf_put32(h + 8, (uint32_t)osize);
    blf_put32(h + 12, type);
    blf_put32(h + 16, BLF_TIME_NS);
    int64_t rel;
    if (__builtin_sub_overflow(t_ns, w->base_ns, &rel))
        rel = 0;
    blf_put64(h + 24, (uint64_t)(rel < 0 ? 0 : rel));
    memcpy(h + BLF_V1_HEADER, data, n);
    w->cont_fill += padded;
    w->cont_objects++;
    if (t_ns > w->last_ns)
        w->last_ns = t_ns;
    return 0;
}

/* A CAN FD frame as a CAN FD message object (type 100): channel, flags,
 * length code, identifier, frame length and bit count (unknown: 0), FD
 * flags, valid data bytes, 5 reserved bytes and 64 data bytes. */
int blf_fd_frame(cl_writer *w, const cl_frame *f)
{
    uint8_t d[84];
    memset(d, 0, sizeof d);
    uint8_t len = f->len > 64 ? 64 : f->len;
    uint32_t id = f->id & ((f->flags & CL_EXT) ? 0x1FFFFFFFu : 0x7FFu);
    blf_put16(d, (uint16_t)(f->chan + 1));
    d[2] = (f->flags & CL_TX) ? BLF_MSG_TX : 0;
    d[3] = zk_fd_dlc(len);
    blf_put32(d + 4, id | ((f->flags & CL_EXT) ? BLF_ID_EXT : 0));
    d[13] = (uint8_t)(0x01 | ((f->flags & CL_BRS) ? 0x02 : 0) | ((f->flags & CL_ESI) ? 0x04 : 0));
    d[14] = len;
    memcpy(d + 20, f->data, len);
    return blf_object(w, BLF_CAN_FD_MESSAGE, f->t_ns, d, sizeof d);
}

int blf_frame(cl_writer *w, const cl_frame *f)
{
    if ((f->flags & (CL_FDF | CL_ERR)) == CL_FDF)
        return blf_fd_frame(w, f);
    uint8_t d[32];
    memset(d, 0, sizeof d);
    uint8_t len = f->len > 8 ? 8 : f->len;
    blf_put16(d, (uint16_t)(f->chan + 1));
    if (f->flags & CL_ERR) {
        d[10] = len;
        blf_put32(d + 16, f->id & 0x1FFFFFFFu);
        memcpy(d + 24, f->data, len);
        return blf_object(w, BLF_CAN_ERROR_EXT, f->t_ns, d, 32);
    }
    uint32_t id = f->id & ((f->flags & CL_EXT) ? 0x1FFFFFFFu : 0x7FFu);
    d[2] = (uint8_t)(((f->flags & CL_TX) ? BLF_MSG_TX : 0) | ((f->flags & CL_RTR) ? BLF_MSG_RTR : 0));
    d[3] = len;
    blf_put32(d + 4, id | ((f->flags & CL_EXT) ? BLF_ID_EXT : 0));
    if (!(f->flags & CL_RTR))
        memcpy(d + 8, f->data, len);
    return blf_object(w, BLF_CAN_MESSAGE, f->t_ns, d, 16);
}

}  // namespace

void cl_writer_init(cl_writer *w)
{
    memset(w, 0, sizeof *w);
    w->fd = -1;
    w->fd_new = -1;
    w->fd_from = -1;
    w->nmarks = 1;
}

void cl_writer_set_chan_name(cl_writer *w, unsigned chan, const char *name)
{
    if (chan >= CL_CHAN_NAMES)
        return;
    char *out = w->chan_name[chan];
    size_t k = 0;
    /* A blank would split the line's fields: such a name is not taken. */
    for (; name && name[k] && k < CL_CHAN_NAME - 1; k++) {
        if ((unsigned char)name[k] <= ' ' || name[k] == '#') {
            k = 0;
            break;
        }
        out[k] = name[k];
    }
    if (name && name[k])
        k = 0;
    out[k] = '\0';
}

int cl_writer_open(cl_writer *w, const char *path, int format, int exclusive)
{
    cl_writer_init(w);
    if (!cl_format_info_of(format))
        return EINVAL;
    w->format = format;
    w->buf = static_cast<uint8_t *>(malloc(CL_WRITE_BUFFER));
    if (format == CL_FMT_BLF) {
        w->zcap = compressBound(BLF_CONTAINER_MAX);
        w->cont = static_cast<uint8_t *>(malloc(BLF_CONTAINER_MAX));
        w->zbuf = static_cast<uint8_t *>(malloc(w->zcap));
    }
    if (!w->buf || (format == CL_FMT_BLF && (!w->cont || !w->zbuf))) {
        cl_writer_close(w);
        return ENOMEM;
    }
    int err = 0;
    int fd = uf_open_write(path, exclusive ? UF_NEW : UF_REPLACE, &err);
    if (fd < 0) {
        cl_writer_close(w);
        cl_writer_init(w);
        return err;
    }
    w->fd = fd;
    return 0;
}

int cl_writer_start(cl_writer *w, int64_t start_ns)
{
    if (w->started)
        return w->err;
    w->started = 1;
    if (start_ns < 0)
        start_ns = 0;
    w->base_ns = start_ns - start_ns % 1000000;
    w->last_ns = w->base_ns;
    if (w->format == CL_FMT_ASC) {
        char head[512];
        size_t n = cl_fmt_asc_header(head, sizeof head, w->base_ns);
        return n ? out_record(w, head, n) : (w->err = EINVAL);
    }
    if (w->format == CL_FMT_TRC) {
        char head[1024];
        size_t n = cl_fmt_trc_header(head, sizeof head, w->base_ns);
        return n ? out_record(w, head, n) : (w->err = EINVAL);
    }
    if (w->format == CL_FMT_BLF) {
        uint8_t h[BLF_FILE_HEADER];
        blf_file_header(w, h);
        return out_record(w, h, sizeof h);
    }
    return 0;
}

int cl_write(cl_writer *w, const cl_frame *f)
{
    if (w->fd < 0 || w->err)
        return w->err ? w->err : EBADF;
    if (!w->started && cl_writer_start(w, f->t_ns) != 0)
        return w->err;
    const bool error = (f->flags & CL_ERR) != 0;
    char line[CL_LINE_MAX];
    size_t n;
    switch (w->format) {
    case CL_FMT_CANDUMP:
        n = cl_fmt_candump_named(line, sizeof line, f,
                                 f->chan < CL_CHAN_NAMES ? w->chan_name[f->chan] : nullptr);
        break;
    case CL_FMT_ASC:
        n = cl_fmt_asc_frame(line, sizeof line, w->base_ns, f);
        break;
    case CL_FMT_TRC:
        n = cl_fmt_trc_frame(line, sizeof line, w->frames + w->error_frames + 1, w->base_ns, f);
        break;
    default:
        if (blf_frame(w, f) != 0)
            return w->err;
        (error ? w->error_frames : w->frames)++;
        (error ? w->cont_errors : w->cont_frames)++;
        return 0;
    }
    if (n == 0)
        return 0;  /* CL_LINE_MAX always holds a line */
    if (room(w, n) != 0)
        return w->err;
    append(w, line, n);
    (error ? w->error_frames : w->frames)++;
    (error ? w->out.error_frames : w->out.frames)++;
    record_end(w);
    return 0;
}

int cl_writer_flush(cl_writer *w)
{
    if (w->format == CL_FMT_BLF && w->fd >= 0 && !w->err)
        blf_container(w);
    return out_flush(w);
}

int cl_writer_close(cl_writer *w)
{
    if (w->fd >= 0) {
        if (!w->err && w->format == CL_FMT_ASC) {
            char line[CL_LINE_MAX];
            if (!w->started)
                cl_writer_start(w, 0);
            out_record(w, line, cl_fmt_asc_footer(line, sizeof line));
        }
        if (!w->err && (w->format == CL_FMT_BLF || w->format == CL_FMT_TRC) && !w->started)
            cl_writer_start(w, 0);
        cl_writer_flush(w);
        /* A file being written anew gets the rest; the deleted one goes. */
        while (w->fd_new >= 0 && cl_writer_copy(w, UINT64_MAX) == 0) {
        }
        if (w->format == CL_FMT_BLF && w->on_disk.at >= BLF_FILE_HEADER) {
            /* The header's counts: what the file holds. */
            w->bytes = w->on_disk.at;
            w->objects = w->on_disk.objects;
            w->uncompressed = w->on_disk.uncompressed;
            uint8_t h[BLF_FILE_HEADER];
            blf_file_header(w, h);
            if (pwrite(w->fd, h, sizeof h, 0) != (ssize_t)sizeof h && !w->err)
                w->err = errno ? errno : EIO;
        }
        if (close(w->fd) != 0 && w->err == 0)
            w->err = errno ? errno : EIO;
        w->fd = -1;
    }
    end_copy(w);
    free(w->buf);
    free(w->cont);
    free(w->zbuf);
    w->buf = w->cont = w->zbuf = nullptr;
    w->fill = w->cont_fill = 0;
    return w->err;
}

int cl_writer_check(cl_writer *w, const char *path)
{
    int fd = w->fd_new >= 0 ? w->fd_new : w->fd;
    struct stat mine, named;
    if (fd < 0 || fstat(fd, &mine) != 0)
        return CL_FILE_THERE;
    if (mine.st_nlink == 0)
        return CL_FILE_DELETED;
    if (stat(path, &named) != 0 || named.st_dev != mine.st_dev || named.st_ino != mine.st_ino)
        return CL_FILE_MOVED;
    return CL_FILE_THERE;
}

int cl_writer_recreate(cl_writer *w, const char *path)
{
    if (w->fd < 0)
        return EBADF;
    if (w->fd_new >= 0)
        return 0;
    /* The file is open for writing only; the system reads it again
     * through the descriptor's own entry, deleted as it is. */
    char self[64];
    snprintf(self, sizeof self, "/proc/self/fd/%d", w->fd);
    int from = open(self, O_RDONLY | O_CLOEXEC);
    if (from < 0)
        return errno ? errno : EIO;
    int err = 0;
    int fd = uf_open_write(path, UF_NEW, &err);
    if (fd < 0) {
        close(from);
        return err;
    }
    w->fd_new = fd;
    w->fd_from = from;
    w->copied = 0;
    return 0;
}


int cl_writer_copy(cl_writer *w, uint64_t max_bytes)
{
    if (w->fd_new < 0)
        return 1;
    /* What the deleted file holds whole; written on meanwhile. */
    const uint64_t end = w->on_disk.at;
    uint64_t budget = max_bytes;
    int err = 0;
    while (w->copied < end && budget > 0) {
        size_t n = (size_t)((end - w->copied) < budget ? end - w->copied : budget);
        if (n > 64u * 1024 * 1024)
            n = 64u * 1024 * 1024;
        loff_t in = (loff_t)w->copied, out = (loff_t)w->copied;
        ssize_t r = copy_file_range(w->fd_from, &in, w->fd_new, &out, n, 0);
        if (r < 0 && (errno == EXDEV || errno == ENOSYS || errno == EINVAL || errno == EOPNOTSUPP)) {
            static uint8_t chunk[64 * 1024];
            r = pread(w->fd_from, chunk, n < sizeof chunk ? n : sizeof chunk, (off_t)w->copied);
            if (r > 0)
                r = pwrite(w->fd_new, chunk, (size_t)r, (off_t)w->copied);
        }
        if (r < 0 && errno == EINTR)
            continue;
        if (r <= 0) {
            err = r < 0 && errno ? errno : EIO;
            break;
        }
        w->copied += (uint64_t)r;
        budget -= (uint64_t)r;
    }
    if (!err && w->copied == end && lseek(w->fd_new, (off_t)end, SEEK_SET) != (off_t)end)
        err = errno ? errno : EIO;
    if (err) {
        end_copy(w);
        return err;
    }
    if (w->copied < end)
        return 0;
    close(w->fd);
    w->fd = w->fd_new;
    w->fd_new = -1;
    end_copy(w);
    return 1;
}
