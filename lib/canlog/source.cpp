/*
 * source.cpp - buffered input for the readers: one fixed buffer over a
 * file descriptor, or a window over memory.
 */
#include "reader.h"

#include <errno.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

/* Moves the unread bytes to the front and reads the next chunk, or up to
 * the end of the file. Chunks start small after a seek, where random
 * access wants a few lines, and double up to the whole buffer as reading
 * goes on. */
void refill(cl_source *s)
{
    if (s->fd < 0 || s->eof)
        return;
    size_t keep = s->len - s->pos;
    if (s->pos > 0) {
        memmove(s->buf, s->buf + s->pos, keep);
        s->base += s->pos;
        s->pos = 0;
        s->len = keep;
    }
    size_t goal = CL_READ_BUFFER - s->len > s->chunk ? s->len + s->chunk : CL_READ_BUFFER;
    if (s->chunk < CL_READ_BUFFER)
        s->chunk *= 2;
    while (s->len < goal) {
        size_t want = goal - s->len;
        if (s->limit && s->fpos + want > s->limit)
            want = s->fpos < s->limit ? (size_t)(s->limit - s->fpos) : 0;
        ssize_t r = want ? pread(s->fd, s->buf + s->len, want, (off_t)s->fpos) : 0;
        if (r < 0) {
            if (errno == EINTR)
                continue;
            s->err = errno ? errno : EIO;
            s->eof = 1;
            break;
        }
        if (r == 0) {
            s->eof = 1;
            break;
        }
        s->len += (size_t)r;
        s->fpos += (uint64_t)r;
        s->read_total += (uint64_t)r;
    }
}

}  // namespace

int src_open_fd(cl_source *s, int fd)
{
    memset(s, 0, sizeof *s);
    s->fd = fd;
    s->buf = static_cast<uint8_t *>(malloc(CL_READ_BUFFER));
    if (!s->buf)
        return ENOMEM;
    s->p = s->buf;
    s->chunk = CL_READ_BUFFER;
    struct stat st;
    if (fstat(fd, &st) == 0 && S_ISREG(st.st_mode))
        s->size = (uint64_t)st.st_size;
    return 0;
}

void src_limit(cl_source *s, uint64_t limit)
{
    s->limit = limit;
    if (limit && s->size > limit)
        s->size = limit;
}

void src_open_mem(cl_source *s, const void *data, size_t size)
{
    memset(s, 0, sizeof *s);
    s->fd = -1;
    s->mem = static_cast<const uint8_t *>(data);
    s->mem_size = size;
    s->p = s->mem;
    s->len = size;
    s->size = size;
    s->eof = 1;
}

void src_close(cl_source *s)
{
    if (s->fd >= 0)
        close(s->fd);
    s->fd = -1;
    free(s->buf);
    s->buf = nullptr;
}

int src_rewind(cl_source *s)
{
    if (s->fd < 0) {
        s->pos = 0;
        return 0;
    }
    s->fpos = 0;
    s->p = s->buf;
    s->len = s->pos = 0;
    s->base = 0;
    s->eof = 0;
    s->err = 0;
    return 0;
}

int src_seek(cl_source *s, uint64_t off)
{
    if (s->fd < 0) {
        s->pos = off < s->len ? (size_t)off : s->len;
        return 0;
    }
    if (off >= s->base && off <= s->base + s->len) {
        s->pos = (size_t)(off - s->base);
        return 0;
    }
    s->fpos = off;
    s->p = s->buf;
    s->len = s->pos = 0;
    s->base = off;
    s->chunk = CL_SEEK_CHUNK;
    s->eof = 0;
    s->err = 0;
    return 0;
}

void src_pass(cl_source *s, uint64_t off)
{
    const uint64_t end = s->base + s->len;
    const bool beyond = s->fd >= 0 && off > end;
    if (beyond)
        s->read_total += off - end;  /* counted as read: a call's budget still bounds it */
    src_seek(s, off);
    if (beyond)
        s->chunk = CL_PASS_CHUNK;
}

size_t src_need(cl_source *s, size_t n)
{
    while (s->len - s->pos < n && s->fd >= 0 && !s->eof) {
        size_t had = s->len - s->pos;
        refill(s);
        if (s->len - s->pos == had)
            break;
    }
    return s->len - s->pos;
}

uint64_t src_skip(cl_source *s, uint64_t n)
{
    uint64_t done = 0;
    while (done < n) {
        size_t avail = s->len - s->pos;
        if (avail == 0) {
            if (s->fd >= 0 && !s->eof && n - done > CL_READ_BUFFER) {
                /* Far ahead: seek rather than read through. */
                uint64_t want = n - done;
                if (s->fpos + want <= s->size) {
                    s->fpos += want;
                    s->base += s->len + want;
                    s->len = s->pos = 0;
                    return n;
                }
            }
            refill(s);
            avail = s->len - s->pos;
            if (avail == 0)
                break;
        }
        size_t k = n - done < avail ? (size_t)(n - done) : avail;
        s->pos += k;
        done += k;
    }
    return done;
}

int src_line(cl_source *s, const char **line, size_t *n)
{
    int too_long = s->skipping;
    s->skipping = 0;
    for (;;) {
        const uint8_t *start = s->p + s->pos;
        size_t avail = s->len - s->pos;
        const uint8_t *nl = avail ? static_cast<const uint8_t *>(memchr(start, '\n', avail))
                                  : nullptr;
        s->unterminated = !nl;
        if (nl) {
            size_t k = (size_t)(nl - start);
            s->pos += k + 1;
            if (too_long)
                return 2;
            if (k > 0 && start[k - 1] == '\r')
                k--;
            *line = reinterpret_cast<const char *>(start);
            *n = k;
            return 1;
        }
        if (s->eof || s->fd < 0) {
            if (avail == 0)
                return too_long ? 2 : 0;
            s->pos = s->len;
            if (too_long)
                return 2;
            if (start[avail - 1] == '\r')
                avail--;
            *line = reinterpret_cast<const char *>(start);
            *n = avail;
            return 1;
        }
        if (s->pos == 0 && s->len == CL_READ_BUFFER) {
            /* A line longer than the buffer: dropped up to its end. */
            too_long = 1;
            s->pos = s->len;
        }
        if (too_long && src_spent(s)) {
            s->skipping = 1;  /* on with it at the next call */
            return 3;
        }
        refill(s);
    }
}
