/*
 * userfile.h - opening a file the user named: only a regular file, and
 * never waiting.
 *
 * A name the user typed, picked in a dialog or kept in a session may be a
 * FIFO (opening it waits for a writer, reading it waits for data), a
 * device (/dev/zero never ends, /dev/urandom never ends either and opening
 * some devices does something), a folder or a socket. Every file the user
 * names is opened through these functions, which refuse anything but a
 * regular file before opening it, open it without blocking, and look at
 * what was opened once more, so that a file swapped in between is
 * refused too. A writer never writes into, truncates or replaces anything
 * but a regular file.
 *
 * Failures are an errno value, or one of the UF_E_* codes for a file of
 * the wrong kind (they lie above every errno value); uf_strerror and
 * uf_describe put either into words, in the user's language (the host's
 * text domain "nimbrel").
 */
#ifndef USERFILE_H
#define USERFILE_H

#include <stddef.h>
#include <stdio.h>

#define UF_E_FOLDER  0x10001   /* a folder */
#define UF_E_FIFO    0x10002   /* a FIFO (named pipe) */
#define UF_E_DEVICE  0x10003   /* a character or block device */
#define UF_E_SOCKET  0x10004   /* a socket */
#define UF_E_SPECIAL 0x10005   /* any other kind that is not a regular file */

/* How uf_open_write treats a file that exists. */
enum uf_write_mode {
    UF_NEW = 0,      /* fail with EEXIST (a symbolic link counts as existing) */
    UF_REPLACE = 1,  /* a regular file is emptied */
    UF_APPEND = 2    /* a regular file is written on at its end */
};

/* Opens path (file-name encoding) for reading. Returns the descriptor
 * (close-on-exec, blocking reads) or -1 with *err set. Symbolic links are
 * followed; what they lead to must be a regular file. */
int uf_open_read(const char *path, int *err);

/* Opens path for writing, creating a regular file (mode 0666 less the
 * umask) when there is none. Returns the descriptor or -1 with *err set;
 * a file of the wrong kind is neither opened for writing nor changed. */
int uf_open_write(const char *path, int mode, int *err);

/* uf_open_write as a stdio stream (appending for UF_APPEND). Returns the
 * stream or null with *err set; nothing is left open on failure. */
FILE *uf_fopen_write(const char *path, int mode, int *err);

/* For a writer that replaces path by renaming a new file over it: 0 when
 * path names nothing yet or a regular file (after symbolic links), else
 * the UF_E_* code of what it names. A path that cannot be examined gives
 * 0: the write then fails with its own reason. */
int uf_check_target(const char *path);

/* The UF_E_* code of a file mode that is not a regular file's; 0 for a
 * regular file. */
int uf_kind_error(unsigned mode);

/* The reason as a phrase: "a FIFO, not a regular file", or the system's
 * text of an errno value. Never null. */
const char *uf_strerror(int err);

/* "PATH is a FIFO, not a regular file" or "PATH: <reason>", cut to size
 * and NUL-terminated. Returns buf. */
char *uf_describe(char *buf, size_t size, const char *path, int err);

#endif /* USERFILE_H */
