/*
 * canlog.h - reading and writing CAN log files: the candump log (.log),
 * the ASC text format (.asc), the binary logging format (.blf) and the
 * TRC trace (.trc, versions 1.0 to 2.1; written as 2.1).
 *
 * Readers stream: a file is read through one fixed buffer, never loaded
 * whole, so a file larger than memory reads like any other. A BLF reader
 * of a large file has the log containers ahead unpacked on worker threads
 * of its own (one per further core, each with a slot or two of memory), which cl_close
 * stops; what it returns is what one thread would. A line or an
 * object that cannot be read is counted and described (with its line
 * number or byte offset) in the reader's statistics, and reading goes on
 * with the next one. Events that are not CAN frames are skipped and
 * counted. CAN FD frames (with EDL: candump "##", ASC "CANFD" lines, BLF
 * objects 100 and 101, TRC types FD, FB, FE and BI) are returned to a reader
 * that asked for them (cl_set_fd,
 * cl_scan_opts.fd); to any other they are skipped and counted, so that a
 * caller that knows only classic frames never gets a frame it would cut.
 *
 * Writers buffer their output in one fixed buffer and write it with
 * write(2), so every failure is seen at the call that met it.
 *
 * Times are nanoseconds. They are absolute (since 1970-01-01 UTC) when the
 * file gives its start (candump times, an ASC date, a BLF start time, a
 * TRC $STARTTIME) and
 * relative to the start of the file otherwise (see cl_has_date).
 */
#ifndef CANLOG_H
#define CANLOG_H

#include <stddef.h>
#include <stdint.h>

#include "zelk.h" /* the CAN FD lengths: zk_fd_len, zk_fd_dlc */

/* Frame flags. EXT, RTR, FDF, BRS and ESI have the values of the adapter
 * library's (ZK_FRAME_*), so they pass between the two unchanged. */
#define CL_EXT 0x01u  /* 29-bit identifier */
#define CL_RTR 0x02u  /* remote frame (classic frames only) */
#define CL_FDF 0x04u  /* a CAN FD frame */
#define CL_BRS 0x08u  /* CAN FD: data phase at the data bit rate */
#define CL_ESI 0x10u  /* CAN FD: the sender was error passive */
#define CL_ERR 0x20u  /* error frame: id holds the error classes, if any */
#define CL_TX  0x40u  /* sent by the logging node (direction Tx) */

/* SocketCAN's error frame flag and the classes the candump format uses. */
#define CL_CAN_ERR_FLAG     0x20000000u
#define CL_CAN_ERR_BUSERROR 0x00000080u

/* File formats. CL_FMT_AUTO: by the file's extension, else its content. */
enum cl_format { CL_FMT_AUTO = 0, CL_FMT_CANDUMP = 1, CL_FMT_ASC = 2, CL_FMT_BLF = 3,
                 CL_FMT_TRC = 4 };
#define CL_FMT_LAST CL_FMT_TRC

/* The formats, in the order they are offered: every file chooser, format
 * list and extension check takes them from here. */
struct cl_format_info {
    int format;            /* CL_FMT_* */
    const char *key;       /* the name settings keep: "candump", "asc", "blf", "trc" */
    const char *ext;       /* ".log", ".asc", ".blf", ".trc" */
    const char *name;      /* "candump log", "ASC", "BLF", "TRC" */
};
extern const cl_format_info CL_FORMATS[CL_FMT_LAST];
/* The entry of a format, null for any other number. */
const cl_format_info *cl_format_info_of(int format);
/* "*.log, *.asc, *.blf, *.trc": the extensions, for a filter's name. */
const char *cl_format_patterns(void);
/* "*.log", "*.LOG", "*.asc", ...: a file chooser's patterns, null-ended. */
const char *const *cl_format_globs(void);

#define CL_MSG_MAX 160  /* description of a bad line or object, NUL included */

/* One frame, classic or CAN FD, 80 bytes. */
struct cl_frame {
    int64_t t_ns;      /* time in ns (see above) */
    uint32_t id;       /* 11- or 29-bit identifier; error frame: classes */
    uint16_t chan;     /* channel, counted from 0 */
    uint8_t flags;     /* CL_* */
    uint8_t len;       /* data length in bytes: classic 0..8 (remote frames: the
                        * requested length), CAN FD 0..8, 12, 16, 20, 24, 32, 48
                        * or 64; the bytes past it are 0 */
    uint8_t data[64];
};
static_assert(sizeof(cl_frame) == 80, "cl_frame size");

struct cl_stats {
    uint64_t frames;       /* frames returned, error frames included */
    uint64_t error_frames;
    uint64_t lines;        /* text formats: lines read */
    uint64_t bad;          /* lines or objects that could not be read */
    uint64_t skipped_fd;   /* CAN FD frames skipped (the reader did not ask for them) */
    uint64_t skipped;      /* other events and object types skipped */
    int io_err;            /* errno of a failed read, 0 when none */
    /* The first bad line or object: "line 12: ..." or "offset 4096: ...". */
    char first_bad[CL_MSG_MAX];
};

/* The format a file name asks for by its extension (".log", ".asc",
 * ".blf", ".trc", any letter case), or CL_FMT_AUTO when it names none. */
int cl_format_of_name(const char *name);
/* The format of a file's first bytes: BLF by its signature, candump when
 * the first line that is not blank starts with '(', TRC when it starts
 * with ';', ASC otherwise. */
int cl_format_of_data(const void *data, size_t size);
/* Name of a format for messages ("candump log", "ASC", "BLF", "TRC"). */
const char *cl_format_name(int format);

/* ------------------------------------------------------------- reading */

struct cl_reader;

/* Opens a file (path in the file system's encoding) for reading; only a
 * regular file is read, and opening never waits (userfile.h). format
 * CL_FMT_AUTO picks it from the extension, else from the content. Returns
 * null with *err set to an errno value or a UF_E_* code on failure
 * (uf_describe puts it into words). */
cl_reader *cl_open(const char *path, int format, int *err);
/* Reads an open file (the reader takes fd and closes it), no further than
 * limit bytes (0: to its end). format as for cl_open, the name aside. */
cl_reader *cl_open_fd(int fd, int format, uint64_t limit, int *err);
/* Reads from memory the caller keeps for the reader's life. */
cl_reader *cl_open_mem(const void *data, size_t size, int format);
void cl_close(cl_reader *r);

/* The next frame: 1 with *out filled, 0 at the end of the file, -1 when
 * reading failed (stats io_err), 2 when the call read its budget of bytes
 * without finding a frame (call again to go on). Bad lines and objects
 * are skipped. */
int cl_next(cl_reader *r, cl_frame *out);
/* Bounds the bytes one cl_next call reads (0, the default: no bound), so
 * that a file with nothing but what is no frame (or a sparse file of
 * zeros) is read in steps rather than at one go; checked at every line or
 * object and every refill of the buffer. */
void cl_set_budget(cl_reader *r, uint64_t bytes);
/* Back to the first frame; the statistics start again. 0 or an errno. */
int cl_rewind(cl_reader *r);
/* on 1: CAN FD frames are returned (flag CL_FDF, up to 64 bytes); 0, the
 * default: they are skipped and counted in skipped_fd. Set it before the
 * first frame is read. */
void cl_set_fd(cl_reader *r, int on);

const cl_stats *cl_reader_stats(const cl_reader *r);
int cl_reader_format(const cl_reader *r);
/* Bytes consumed so far and the file's size (progress). */
uint64_t cl_offset(const cl_reader *r);
uint64_t cl_size(const cl_reader *r);
/* 1 when the times are absolute (the file gives its start), known from
 * the header from the opening on. */
int cl_has_date(const cl_reader *r);

/* ------------------------------------------------------ random access */

/* A scan reads a file from its start in a thread of its own and keeps,
 * every so many frames, a mark: the reader's place and state there. Any
 * row it has passed is read again by going back to the mark before it and
 * reading on, so a file of any size is viewed without holding its frames:
 * the marks take well under a byte per frame, and at most marks_max of
 * them are kept (a longer file has them further apart).
 *
 * The rows are the frames the select function takes (every frame when it
 * is null), numbered from 0 in file order. Rows become readable as the
 * scan passes them. */
typedef int (*cl_select_fn)(void *ctx, const cl_frame *f);
/* Every frame read, in file order, in batches; called on the scan's
 * thread. */
typedef void (*cl_frames_fn)(void *ctx, const cl_frame *f, size_t n);

#define CL_SCAN_MARKS 131072u

struct cl_scan_opts {
    int format;                /* CL_FMT_AUTO or the format */
    cl_select_fn select;       /* null: every frame is a row */
    void *select_ctx;          /* must stay valid and unchanged for the scan's life */
    cl_frames_fn frames;       /* may be null */
    void *frames_ctx;
    uint32_t marks_max;        /* 0: CL_SCAN_MARKS */
    int fd;                    /* 1: CAN FD frames are frames too (cl_set_fd) */
};

struct cl_scan_progress {
    uint64_t rows;             /* rows found so far */
    uint64_t frames;           /* frames read so far */
    uint64_t offset;           /* bytes read so far */
    uint64_t size;             /* the file's size */
    uint64_t mark_bytes;       /* memory the marks take */
    int done;                  /* the whole file was read, or reading failed (stats.io_err) */
    int has_date;              /* the times are absolute (cl_has_date) */
    cl_stats stats;            /* the reader's counts so far */
};

struct cl_scan;

/* Opens the file (path in the file system's encoding) and starts the
 * scan. Returns null with *err set as cl_open sets it. */
cl_scan *cl_scan_open(const char *path, const cl_scan_opts *opts, int *err);
/* Another scan of the file s opened (the same file even when its name now
 * names another), as far as s reads it: a new filter over the same rows. */
cl_scan *cl_scan_again(const cl_scan *s, const cl_scan_opts *opts, int *err);
/* What became of the file since the scan opened it: its size then and
 * now (appended to, or cut short), and whether its name now names another
 * file or none (replaced, moved or deleted). A scan reads the file as it
 * was opened and no further than its size then. */
struct cl_file_change {
    uint64_t size_then;
    uint64_t size_now;
    int replaced;
};
void cl_scan_file_change(const cl_scan *s, const char *path, cl_file_change *out);
/* Stops the scan's thread and closes the file. */
void cl_scan_close(cl_scan *s);
void cl_scan_get_progress(cl_scan *s, cl_scan_progress *p);
/* Waits up to timeout_ms for the scan to end; 1 when it has. */
int cl_scan_wait(cl_scan *s, int timeout_ms);
int cl_scan_format(const cl_scan *s);
/* Reads rows first .. first + count - 1, as far as the scan has found
 * them, into out: returns how many, or -1 when reading failed. One thread
 * at a time; it may run beside the scan. */
long cl_scan_read(cl_scan *s, uint64_t first, cl_frame *out, size_t count);

/* ------------------------------------------------------------- writing */

#define CL_WRITE_BUFFER (256u * 1024u)
#define CL_CHECKPOINTS 64u

/* What the file holds up to a place that ends a whole line or container. */
struct cl_checkpoint {
    uint64_t at;           /* bytes of the file up to here */
    uint64_t frames;       /* frames before it, error frames not counted */
    uint64_t error_frames;
    uint64_t objects;      /* BLF */
    uint64_t uncompressed; /* BLF */
};

/* Counts of a writer at a place: what went out (written or buffered) and
 * what the file is known to hold whole. A failed write (a full disk)
 * leaves a file that ends with its last whole line or container: what a
 * failed write left of a line or container is cut off again, so every
 * reader reads the file to its last complete frame, and on_disk says what
 * it holds. */
#define CL_CHAN_NAMES 64   /* channels a writer names, from 0 */
#define CL_CHAN_NAME 16    /* a channel's name, NUL included */

struct cl_writer {
    int fd;                /* -1 when closed */
    int format;            /* CL_FMT_CANDUMP, CL_FMT_ASC, CL_FMT_BLF or CL_FMT_TRC */
    uint8_t *buf;          /* CL_WRITE_BUFFER bytes while open; holds whole
                            * lines and containers only */
    size_t fill;
    uint64_t bytes;        /* written to the file plus buffered */
    int err;               /* errno of the first failure, 0 when none */
    uint64_t frames;       /* frames given to cl_write, error frames not counted */
    uint64_t error_frames;
    cl_checkpoint out;     /* the end of what is in the buffer */
    cl_checkpoint on_disk; /* what the file holds whole */
    cl_checkpoint marks[CL_CHECKPOINTS];  /* places in the buffer, first at its start */
    unsigned nmarks;
    /* A file written anew under its name after it was deleted: the new
     * file, and how much of the old one is copied into it. */
    int fd_new;
    int fd_from;           /* the deleted file, opened for reading */
    uint64_t copied;
    int started;           /* the header went out (cl_writer_start) */
    int64_t base_ns;       /* ASC and BLF: the start of the measurement */
    /* BLF: the container being filled, its compressed form, counts. */
    uint8_t *cont;
    size_t cont_fill;
    uint8_t *zbuf;
    size_t zcap;
    uint64_t objects;      /* in containers that went out */
    uint64_t uncompressed;
    uint64_t cont_frames;  /* in the container being filled */
    uint64_t cont_errors;
    uint64_t cont_objects;
    int64_t last_ns;
    /* candump: each channel's interface name; an empty one is can<chan>. */
    char chan_name[CL_CHAN_NAMES][CL_CHAN_NAME];
};

void cl_writer_init(cl_writer *w);
/* The name a candump file gives channel chan (after cl_writer_open, which
 * forgets them): up to 15 characters without blanks, else can<chan>.
 * ASC, BLF and TRC number channels from 1 (chan + 1) instead. */
void cl_writer_set_chan_name(cl_writer *w, unsigned chan, const char *name);
/* Creates the file (path in the file system's encoding); exclusive: fail
 * with EEXIST when it exists, else a regular file is emptied. Anything
 * but a regular file is refused and left as it is (userfile.h). Returns 0,
 * an errno value or a UF_E_* code. */
int cl_writer_open(cl_writer *w, const char *path, int format, int exclusive);
/* Writes the header with the measurement's start (ASC, BLF, TRC: cut to
 * whole milliseconds, which is what their headers hold; frames must not be
 * earlier). Called with the first frame's time when not called before. */
int cl_writer_start(cl_writer *w, int64_t start_ns);
/* Appends one frame or error frame. Returns 0 or the errno of a failed
 * write (w->err keeps the first; nothing is written after it). */
int cl_write(cl_writer *w, const cl_frame *f);
/* Writes out what is buffered (BLF: closes the current container). */
int cl_writer_flush(cl_writer *w);
/* Ends the file (ASC footer, BLF header counts), flushes and closes it.
 * Returns 0 or the errno of the first failure; after a failure the BLF
 * header counts what the file holds. */
int cl_writer_close(cl_writer *w);

/* Whether the file being written is still the one at path. */
enum { CL_FILE_THERE = 0, CL_FILE_DELETED = 1, CL_FILE_MOVED = 2 };
/* CL_FILE_DELETED: it has no name left (deleted, or its folder removed);
 * CL_FILE_MOVED: it still has a name, but path names another file or
 * nothing (moved or renamed); errors of the look count as there. */
int cl_writer_check(cl_writer *w, const char *path);
/* A deleted file is written anew under its name: creates path (only
 * where nothing is; 0 or an errno value / UF_E_* code), after which
 * cl_writer_copy brings what the deleted file holds into it, a part at a
 * time, while writing goes on into the deleted file; when all is copied
 * the new file takes its place. */
int cl_writer_recreate(cl_writer *w, const char *path);
/* Copies up to max_bytes: 1 when the new file has taken over (or none is
 * being made), 0 when more is to copy, or an errno value (the new file is
 * then given up and removed from path is left to the caller). */
int cl_writer_copy(cl_writer *w, uint64_t max_bytes);

/* Line formatters of the text formats, also used by the writers. Each
 * writes one complete line ending in a line feed into buf and returns its
 * length, or 0 when it does not fit (buf then holds nothing usable). */
#define CL_LINE_MAX 512

/* "(1436509052.249713) can0 123#DEADBEEF": 3 hex digits for a standard
 * identifier, 8 for an extended one, "R" or "R<len>" for a remote frame,
 * error frames with CAN_ERR_FLAG and their classes (the bus-error class
 * when they have none). A sent frame gets a trailing " T" field, which
 * python-can reads as transmitted and can-utils ignores. A CAN FD frame is
 * "123##5DEADBEEF": after "##" one hex digit of flags (4 FDF, which
 * can-utils sets in every FD frame, 1 BRS, 2 ESI), then its bytes. */
size_t cl_fmt_candump(char *buf, size_t size, const cl_frame *f);
/* The same with the channel's interface name (null or empty: can<chan>). */
size_t cl_fmt_candump_named(char *buf, size_t size, const cl_frame *f, const char *name);
/* ASC header with the start time in local time, up to and including
 * "Begin Triggerblock" and the start event. */
size_t cl_fmt_asc_header(char *buf, size_t size, int64_t start_ns);
/* One ASC event, relative to start_ns (never negative). A CAN FD frame is
 * a "CANFD" line: channel, direction, identifier, BRS, ESI, length code,
 * length, bytes, then duration, bit count, flags (0x1000 EDL, 0x2000 BRS,
 * 0x4000 ESI), CRC and bit timings, those we do not know as 0, laid out as
 * python-can writes them. */
size_t cl_fmt_asc_frame(char *buf, size_t size, int64_t start_ns, const cl_frame *f);
size_t cl_fmt_asc_footer(char *buf, size_t size);
/* TRC 2.1 header: $FILEVERSION, $STARTTIME (days since 1899-12-30, UTC)
 * and $COLUMNS N,O,T,B,I,d,R,L,D, then comment lines. Lines end in CR LF. */
size_t cl_fmt_trc_header(char *buf, size_t size, int64_t start_ns);
/* One TRC 2.1 line: message number, offset from start_ns in ms (3
 * decimals), type (DT, RR, ER; CAN FD: FD, FB with BRS, FE with ESI, BI
 * with both), bus (channel + 1), identifier (4 hex digits, 8 when
 * extended, "-" for an error frame), Rx/Tx, "-", the length code (CAN FD:
 * 9..15 for 12..64 bytes), the bytes. */
size_t cl_fmt_trc_frame(char *buf, size_t size, uint64_t number, int64_t start_ns,
                        const cl_frame *f);

#endif /* CANLOG_H */
