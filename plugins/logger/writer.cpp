/*
 * writer.cpp - the buffered log file: one fixed buffer, written out with
 * write(2) so that every failure (disk full, folder gone, device error)
 * is seen at the call that met it.
 */
#include "logger.h"

#include <errno.h>
#include <fcntl.h>
#include <stdlib.h>
#include <string.h>
#include <unistd.h>

void lg_writer_init(lg_writer *w)
{
    w->fd = -1;
    w->buf = nullptr;
    w->fill = 0;
    w->bytes = 0;
    w->err = 0;
}

int lg_writer_open(lg_writer *w, const char *path_utf8, int exclusive)
{
    lg_writer_init(w);
    gchar *name = g_filename_from_utf8(path_utf8, -1, nullptr, nullptr, nullptr);
    if (!name)
        return EINVAL;
    w->buf = static_cast<char *>(malloc(LG_BUFFER_SIZE));
    if (!w->buf) {
        g_free(name);
        return ENOMEM;
    }
    int flags = O_WRONLY | O_CREAT | O_CLOEXEC | (exclusive ? O_EXCL : O_TRUNC);
    int fd = open(name, flags, 0666);
    int err = errno;
    g_free(name);
    if (fd < 0) {
        free(w->buf);
        w->buf = nullptr;
        return err ? err : EIO;
    }
    w->fd = fd;
    return 0;
}

int lg_writer_flush(lg_writer *w)
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
    /* What was not written stays lost either way: the file is stopped. */
    w->fill = 0;
    return w->err;
}

int lg_writer_put(lg_writer *w, const char *s, size_t n)
{
    if (w->fd < 0 || w->err)
        return w->err ? w->err : EBADF;
    if (n > LG_BUFFER_SIZE - w->fill && lg_writer_flush(w) != 0)
        return w->err;
    if (n > LG_BUFFER_SIZE)
        n = LG_BUFFER_SIZE;
    memcpy(w->buf + w->fill, s, n);
    w->fill += n;
    w->bytes += n;
    return 0;
}

int lg_writer_close(lg_writer *w)
{
    if (w->fd >= 0) {
        lg_writer_flush(w);
        if (close(w->fd) != 0 && w->err == 0)
            w->err = errno ? errno : EIO;
        w->fd = -1;
    }
    free(w->buf);
    w->buf = nullptr;
    w->fill = 0;
    return w->err;
}
