/*
 * reader.h - the readers' shared state: the buffered input and the
 * per-format parts of a reader.
 */
#ifndef CANLOG_READER_H
#define CANLOG_READER_H

#include "canlog.h"
#include "hexdigit.h" /* ft_hexval */

#define CL_READ_BUFFER (1024u * 1024u)  /* also the longest line */
#define CL_SEEK_CHUNK (32u * 1024u)     /* the first read after a seek */
#define CL_PASS_CHUNK (4u * 1024u)      /* the first read after src_pass */
#define CL_BLF_AHEAD_MIN (2u * 1024u * 1024u) /* BLF files from this size unpack ahead */

/* Buffered input from a file descriptor or from memory: a window of
 * bytes [p + pos, p + len) at file offset base + pos. */
struct cl_source {
    int fd;                /* -1 for memory; read with pread at fpos, so that
                            * readers of one open file never share an offset */
    uint64_t fpos;         /* file offset of the next read */
    uint64_t limit;        /* read no further than this (0: the end) */
    const uint8_t *mem;
    size_t mem_size;
    uint8_t *buf;          /* CL_READ_BUFFER bytes for a file */
    const uint8_t *p;
    size_t len;
    size_t pos;
    uint64_t base;
    uint64_t size;
    int eof;               /* nothing more to read into the window */
    int err;
    size_t chunk;          /* bytes the next refill reads: small after a seek */
    int unterminated;      /* the last line src_line gave ended with the file, not a line feed */
    /* A bound on the bytes one call may read (0: none): the bytes read in
     * all, and where the call began. */
    uint64_t budget;
    uint64_t read_total;
    uint64_t call_start;
    int skipping;          /* a line too long for the buffer is being passed over */
};

int src_open_fd(cl_source *s, int fd);
/* Reads no further than limit bytes (the size of a file when it was
 * opened, so that what is appended later is not mixed in). */
void src_limit(cl_source *s, uint64_t limit);
void src_open_mem(cl_source *s, const void *data, size_t size);
void src_close(cl_source *s);
int src_rewind(cl_source *s);
/* Moves to file offset off: within the bytes in the buffer when they hold
 * it, by a seek otherwise. 0 or an errno value. */
int src_seek(cl_source *s, uint64_t off);
/* Makes at least n bytes (n <= CL_READ_BUFFER) available at p + pos when
 * the file has them; returns how many are available. */
size_t src_need(cl_source *s, size_t n);
/* Moves on to file offset off (at or after the source's place) over bytes
 * read elsewhere: the next refill reads only a little from there. */
void src_pass(cl_source *s, uint64_t off);
/* Skips n bytes; returns how many were skipped. */
uint64_t src_skip(cl_source *s, uint64_t n);
/* The next line without its line feed (and carriage return): 1 with the
 * line, 0 at the end, 2 for a line longer than the buffer (skipped), 3
 * when the call's budget of bytes is spent (call again). */
int src_line(cl_source *s, const char **line, size_t *n);
/* Whether this call has read its budget of bytes. */
static inline bool src_spent(const cl_source *s)
{
    return s->budget && s->read_total - s->call_start >= s->budget;
}

static inline uint64_t src_offset(const cl_source *s)
{
    return s->base + s->pos;
}

/* ASC state. */
struct cl_asc {
    int dec;               /* base dec */
    int relative;          /* timestamps relative to the previous event */
    int64_t start_ns;      /* the date, 0 when none */
    int64_t last_ns;       /* relative times: the previous event */
};

/* TRC state, all of it from the header lines. */
#define CL_TRC_COLS 14
struct cl_trc {
    uint8_t ver;           /* 10, 11, 12, 13, 20 or 21: version 1.0 .. 2.1 */
    uint8_t ncols;         /* 2.x: the layout of $COLUMNS, 0: the version's own */
    char cols[CL_TRC_COLS];
    int64_t start_ns;      /* $STARTTIME, 0 when none */
};
void cl_trc_reset(cl_trc *t);

/* Log containers unpacked ahead on worker threads (blf_ahead.cpp). */
struct cl_ahead;
/* Worker threads a reader may use: one fewer than the cores this process
 * may run on (at most CL_AHEAD_WORKERS_MAX), so that with the reading
 * thread every core unpacks; 0 on one core. */
#define CL_AHEAD_WORKERS_MAX 63
int cl_ahead_workers(void);
/* Starts the workers over the file or memory of src (its size as it is
 * now); null when no thread could be started. */
cl_ahead *cl_ahead_start(const cl_source *src, int workers);
/* Stops and joins the workers and frees everything. */
void cl_ahead_stop(cl_ahead *a);
/* Forgets what was queued and what the reader read from (it moved). */
void cl_ahead_drop(cl_ahead *a);
/* The compressed log container at file offset where, unpacked after the
 * tail_len bytes at tail (the rest of an object begun before it): 1 with
 * *data (tail first) and *len, and *next the offset of the next object,
 * its padding passed; 0 when it is not one that went ahead (the caller
 * unpacks it itself). The bytes stay valid until the next call that
 * returns 1, or cl_ahead_drop. */
int cl_ahead_take(cl_ahead *a, uint64_t where, const uint8_t *tail, size_t tail_len,
                  uint8_t **data, size_t *len, uint64_t *next);

/* BLF state: the stream of objects inside the log containers. */
struct cl_blf {
    int64_t start_ns;      /* the file header's start time, 0 when none */
    uint8_t *in;           /* one container as stored */
    size_t in_cap;
    uint8_t *ib;           /* unpacked object bytes not yet read: own, or a
                            * slot of the containers unpacked ahead */
    uint8_t *own;          /* the reader's own buffer of them */
    size_t own_cap;
    size_t ib_len;
    size_t ib_pos;
    uint64_t ib_where;     /* file offset of the container being read */
    size_t ib_tail;        /* bytes of the previous container ahead of it in ib */
    uint64_t ib_after;     /* file offset after that container and its padding */
    void *inflater;        /* the decompressor, made with the first container */
    int header_done;
    int cut;               /* the last container was cut off at the end of the file */
    cl_ahead *ahead;       /* started with the second container in a row of a large file */
    int ahead_off;         /* not for this reader: too small, one core, no thread */
    int run;               /* containers read in a row, since the start or a jump */
    int ahead_workers;     /* -1: none; 0: cl_ahead_workers(); else as many */
    uint64_t ahead_min;    /* 0: CL_BLF_AHEAD_MIN */
};

/* candump: the interface names met so far, in the order of their first
 * line, and the channel each was given (read_candump.cpp). Only ever
 * added to, and a name keeps its channel, so a table from further on in
 * the file gives the same channels at any earlier place. */
#define CL_NAMES_MAX 32
#define CL_NAME_MAX 16         /* IFNAMSIZ, NUL included */
struct cl_names {
    uint8_t n;
    uint8_t last;              /* the entry the previous line matched */
    uint8_t len[CL_NAMES_MAX];
    uint16_t chan[CL_NAMES_MAX];
    char name[CL_NAMES_MAX][CL_NAME_MAX];
};
/* Takes from's entries when it has more than r's (from is a table of the
 * same file, read further). */
void cl_names_take(cl_reader *r, const cl_names *from);

struct cl_reader {
    int format;
    int fd;                /* CAN FD frames are returned (cl_set_fd) */
    cl_source src;
    cl_stats st;
    int has_date;
    cl_asc asc;
    cl_blf blf;
    cl_trc trc;
    cl_names names;
    int yielded;           /* the format stopped because the budget was spent */
};

/* A reader's place between two frames, from which reading can start
 * again in another reader of the same file: the file offset and the
 * state the format carries from line to line. */
struct cl_mark {
    uint64_t offset;       /* text: the next line; BLF: the next top-level
                            * object, or the log container being read */
    uint64_t lines;        /* lines read before it */
    int64_t start_ns;      /* ASC: the date; BLF, TRC: the start time */
    int64_t last_ns;       /* ASC relative times: the previous event */
    uint32_t inner;        /* BLF: 1 + the place in the container's unpacked
                            * bytes; 0 between top-level objects */
    uint8_t dec;
    uint8_t relative;
    uint8_t has_date;
    uint8_t header_done;   /* BLF: the file header was read (a file may have none,
                            * and a container may start at offset 0) */
    uint8_t trc_ver;       /* TRC: cl_trc as it was */
    uint8_t trc_ncols;
    char trc_cols[CL_TRC_COLS];
};

/* The place r is at: 0, or -1 when it cannot be returned to (BLF: the
 * next object began in the previous container). */
int cl_mark_get(const cl_reader *r, cl_mark *m);
/* Puts r at a place another reader of the same file was at. 0 or an errno
 * value (EINVAL: the file no longer has what the mark points to). A mark
 * leaves out the candump interface names, which would make it ten times
 * larger: r must have them from a reader that read at least as far
 * (cl_names_take), as a scan's reads do. */
int cl_mark_set(cl_reader *r, const cl_mark *m);

/* Counts a bad line or object; the first one's description is kept. */
void cl_bad(cl_reader *r, const char *kind, uint64_t where, const char *what);

/* Text formats: the next line (counted; a line too long for the buffer
 * is counted as bad and passed over). 1 with the line, 0 at the end or
 * when the budget is spent (yielded set). */
int cl_next_line(cl_reader *r, const char **line, size_t *n);

/* Per format: the next frame, 1, 0 at the end, -1 on a read error. */
int cl_next_candump(cl_reader *r, cl_frame *f);
int cl_next_asc(cl_reader *r, cl_frame *f);
int cl_next_blf(cl_reader *r, cl_frame *f);
int cl_next_trc(cl_reader *r, cl_frame *f);
void cl_blf_free(cl_blf *b);
/* The reader moved (rewind, mark): what was unpacked ahead is dropped and
 * the bytes not yet read are forgotten. */
void cl_blf_jump(cl_blf *b);
/* Unpacks the log container at the source's place (nothing held before
 * it) and goes to byte pos of it. 0, or -1 when there is no such place. */
int cl_blf_reenter(cl_reader *r, size_t pos);
/* has_date (and the start time) from the header at the source's place,
 * which is not moved: known straight after opening. */
void cl_blf_peek_date(cl_reader *r);
void cl_asc_peek_date(cl_reader *r);

/* Shared text helpers. */
static inline int cl_space(char c)
{
    return c == ' ' || c == '\t' || c == '\r' || c == '\f' || c == '\v';
}
/* Seconds with a fraction ("1436509052.249713", "3.1", "7") at s, to
 * nanoseconds; advances *s. -1 when it is not such a number or too big. */
int cl_parse_time(const char **s, const char *end, int64_t *ns);
/* a + b, held at the largest time instead of overflowing. */
static inline int64_t cl_add_sat(int64_t a, int64_t b)
{
    int64_t r;
    return __builtin_add_overflow(a, b, &r) ? (b > 0 ? INT64_MAX : INT64_MIN) : r;
}
/* Local broken-down time to nanoseconds since 1970 (mktime). */
int64_t cl_local_to_ns(int year, int month, int day, int hour, int min, int sec, int ms);

#endif
