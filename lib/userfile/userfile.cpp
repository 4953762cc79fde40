/*
 * userfile.cpp - opening a file the user named: only a regular file, and
 * never waiting (userfile.h).
 */
#include "userfile.h"

#include <errno.h>
#include <fcntl.h>
#include <libintl.h>
#include <stdio.h>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>

/* The texts belong to the host's catalogue, which the host binds before
 * any plug-in is loaded. */
#define UF_DOMAIN "nimbrel"

namespace {

int os_error(void)
{
    return errno ? errno : EIO;
}

/* Keeps fd when it is a regular file, made blocking again; else closes it
 * and returns -1 with *err. */
int keep_regular(int fd, int *err)
{
    struct stat st;
    int kind = fstat(fd, &st) != 0 ? os_error() : uf_kind_error(st.st_mode);
    if (kind == 0 && fcntl(fd, F_SETFL, fcntl(fd, F_GETFL) & ~O_NONBLOCK) != 0)
        kind = os_error();
    if (kind != 0) {
        close(fd);
        *err = kind;
        return -1;
    }
    *err = 0;
    return fd;
}

/* The refusal of what path names now (following links), 0 when it is a
 * regular file, or the errno of stat. */
int examine(const char *path)
{
    struct stat st;
    return stat(path, &st) != 0 ? os_error() : uf_kind_error(st.st_mode);
}

}  // namespace

int uf_kind_error(unsigned mode)
{
    if (S_ISREG(mode))
        return 0;
    if (S_ISDIR(mode))
        return UF_E_FOLDER;
    if (S_ISFIFO(mode))
        return UF_E_FIFO;
    if (S_ISCHR(mode) || S_ISBLK(mode))
        return UF_E_DEVICE;
    if (S_ISSOCK(mode))
        return UF_E_SOCKET;
    return UF_E_SPECIAL;
}

int uf_open_read(const char *path, int *err)
{
    int e = path ? examine(path) : EINVAL;
    if (e != 0) {
        *err = e;
        return -1;
    }
    /* O_NONBLOCK: should a FIFO take the file's place after the look, the
     * open does not wait for a writer; the second look refuses it. */
    int fd = open(path, O_RDONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC);
    if (fd < 0) {
        *err = os_error();
        return -1;
    }
    return keep_regular(fd, err);
}

int uf_open_write(const char *path, int mode, int *err)
{
    if (!path || !*path) {
        *err = path ? ENOENT : EINVAL;
        return -1;
    }
    int flags = O_WRONLY | O_CREAT | O_NONBLOCK | O_NOCTTY | O_CLOEXEC;
    if (mode == UF_NEW) {
        flags |= O_EXCL;  /* never opens what exists, nor follows a link */
    } else {
        int e = examine(path);
        if (e != 0 && e != ENOENT) {
            *err = e;
            return -1;
        }
        if (mode == UF_APPEND)
            flags |= O_APPEND;
    }
    int fd = open(path, flags, 0666);
    if (fd < 0) {
        int e = os_error();
        /* A FIFO without a reader, swapped in after the look. */
        *err = e == ENXIO && examine(path) == UF_E_FIFO ? UF_E_FIFO : e;
        return -1;
    }
    if (keep_regular(fd, err) < 0)
        return -1;
    /* Emptied only now that it is known to be a regular file. */
    if (mode == UF_REPLACE && ftruncate(fd, 0) != 0) {
        *err = os_error();
        close(fd);
        return -1;
    }
    return fd;
}

FILE *uf_fopen_write(const char *path, int mode, int *err)
{
    const int fd = uf_open_write(path, mode, err);
    if (fd < 0)
        return nullptr;
    FILE *f = fdopen(fd, mode == UF_APPEND ? "a" : "w");
    if (!f) {
        *err = os_error();
        close(fd);
    }
    return f;
}

int uf_check_target(const char *path)
{
    int e = path ? examine(path) : EINVAL;
    return e >= UF_E_FOLDER ? e : 0;
}

const char *uf_strerror(int err)
{
    switch (err) {
    case UF_E_FOLDER:
        return dgettext(UF_DOMAIN, "a folder, not a regular file");
    case UF_E_FIFO:
        return dgettext(UF_DOMAIN, "a FIFO, not a regular file");
    case UF_E_DEVICE:
        return dgettext(UF_DOMAIN, "a device, not a regular file");
    case UF_E_SOCKET:
        return dgettext(UF_DOMAIN, "a socket, not a regular file");
    case UF_E_SPECIAL:
        return dgettext(UF_DOMAIN, "not a regular file");
    default:
        return strerror(err);
    }
}

char *uf_describe(char *buf, size_t size, const char *path, int err)
{
    if (!buf || size == 0)
        return buf;
    if (err >= UF_E_FOLDER && err <= UF_E_SPECIAL)
        /* TRANSLATORS: a file name, then why it is refused, e.g. "a FIFO,
         * not a regular file" */
        snprintf(buf, size, dgettext(UF_DOMAIN, "%s is %s"), path ? path : "", uf_strerror(err));
    else
        snprintf(buf, size, "%s: %s", path ? path : "", uf_strerror(err));
    return buf;
}
