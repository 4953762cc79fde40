/*
 * logger.h - the logging plug-in's internal declarations.
 *
 * The logger writes every frame the host received or sent, and every
 * error-counter report, to a text file that other tools read: the
 * can-utils candump log format (.log) or the Vector ASC format (.asc).
 * Lines are formatted into a fixed buffer allocated when logging starts
 * and written out when it is half full and at least twice a second, so a
 * crash loses at most the last half second. A failed write stops logging
 * with the reason shown in the page; the host goes on.
 *
 * Times are microseconds of the wall clock since the Unix epoch. Sent
 * frames carry their own time from the host; received frames carry the
 * adapter's 32-bit microsecond clock, placed on the wall clock by the
 * request times (lg_clock).
 */
#ifndef LOGGER_H
#define LOGGER_H

#ifndef GETTEXT_PACKAGE
#define GETTEXT_PACKAGE "logger"
#endif
#include <glib/gi18n-lib.h>

#include <stddef.h>
#include <stdint.h>

#include "nimbrel/nimbrel.h"
#include "zelk.h"

#define LG_PATH_MAX 1024          /* path buffers, NUL included */
#define LG_LINE_MAX 160           /* one formatted line, NUL included */
#define LG_BUFFER_SIZE (256u * 1024u)
#define LG_FLUSH_AT (LG_BUFFER_SIZE / 2)
#define LG_FLUSH_MS 500           /* the page refresh, which also flushes */

/* File formats. LG_FMT_AUTO picks one from the file's extension. */
enum lg_format { LG_FMT_AUTO = 0, LG_FMT_CANDUMP = 1, LG_FMT_ASC = 2 };

/* ------------------------------------------------------------- format */

/* A timestamp of the host (100 ns since 1601) as microseconds since 1970. */
int64_t lg_ts_to_us(uint64_t ts);

/* The format a file name asks for by its extension (".log", ".asc", any
 * letter case), or LG_FMT_AUTO when it names neither. */
int lg_format_of_name(const char *name);

/* Each formatter writes one or more complete lines ending in a line feed
 * into buf and returns their length, or 0 when they do not fit (nothing
 * usable is left in buf then). */

/* candump: "(1436509052.249713) can0 123#DEADBEEF", extended identifiers
 * with 8 digits, remote frames "123#R" or "123#R<len>". A sent frame gets
 * a trailing " T" field: python-can reads it as a transmitted frame, and
 * readers that take only the first three fields ignore it. Received
 * frames are written without a mark, as candump writes them. */
size_t lg_fmt_candump(char *buf, size_t size, int chan, int64_t t_us, const zk_frame *f,
                      int sent);
/* An error-counter report as a candump error frame: identifier
 * CAN_ERR_FLAG with the classes of the counters that are non-zero
 * (controller problem for EWL and the overruns, bus-off, transmit timeout)
 * and the bus-error class, so that readers which recognise error frames
 * only by that class (python-can) do not take it for a data frame. */
size_t lg_fmt_candump_errors(char *buf, size_t size, int chan, int64_t t_us,
                             const zk_errs *errs);

/* ASC: the header with the start time in local time, up to and including
 * "Begin Triggerblock" and the start event. */
size_t lg_fmt_asc_header(char *buf, size_t size, int64_t start_us);
/* ASC: one frame at t_us (written relative to start_us, never negative);
 * channels are counted from 1. */
size_t lg_fmt_asc_frame(char *buf, size_t size, int chan, int64_t start_us, int64_t t_us,
                        const zk_frame *f, int sent);
size_t lg_fmt_asc_errors(char *buf, size_t size, int chan, int64_t start_us, int64_t t_us);
size_t lg_fmt_asc_footer(char *buf, size_t size);

/* --------------------------------------------------------------- clock */

/* Places the adapter's receive times on the wall clock. The adapter clock
 * is exact between frames but wraps and has no date; a frame reaches the
 * plug-in at most one poll interval after it arrived, so the request time
 * minus the last frame's adapter time is an upper bound of the offset
 * between the clocks. The smallest bound seen is kept, allowed to rise
 * slowly for clock drift, and placed anew when the clocks disagree by
 * more than two seconds or the adapter clock steps back (adapter reset,
 * a long silence across a wrap). */
struct lg_clock {
    int have;
    uint32_t last_ts;       /* adapter time of the last frame */
    int64_t ext_us;         /* unwrapped adapter time of the last frame */
    int64_t offset_us;      /* wall = ext + offset */
    int64_t last_req_us;
    int64_t last_out_us;    /* the last time placed */
};
void lg_clock_reset(lg_clock *c);
/* Wall times of a batch's frames into out (n entries). */
void lg_clock_place(lg_clock *c, const zk_frame *frames, int n, int64_t req_us, int64_t *out);

/* -------------------------------------------------------------- writer */

struct lg_writer {
    int fd;                 /* -1 when closed */
    char *buf;              /* LG_BUFFER_SIZE bytes while open */
    size_t fill;
    uint64_t bytes;         /* written to the file plus buffered */
    int err;                /* errno of the first failed write, 0 when none */
};
void lg_writer_init(lg_writer *w);
/* Creates the file (exclusive: fails with EEXIST when it exists). Returns
 * 0 or an errno value. */
int lg_writer_open(lg_writer *w, const char *path_utf8, int exclusive);
/* Appends bytes, writing the buffer out first when they would not fit.
 * Returns 0 or the errno of a failed write (w->err keeps the first). */
int lg_writer_put(lg_writer *w, const char *s, size_t n);
int lg_writer_flush(lg_writer *w);
/* Flushes and closes; returns 0 or the errno of the first failure. */
int lg_writer_close(lg_writer *w);

/* ----------------------------------------------------------- the state */

struct lg_state {
    int chan;
    int format_choice;           /* LG_FMT_*: the selector */
    int autostart;               /* start logging when a session is loaded */
    char folder[LG_PATH_MAX];    /* where generated file names go */

    /* while logging */
    int logging;
    int format;                  /* LG_FMT_CANDUMP or LG_FMT_ASC */
    char path[LG_PATH_MAX];
    lg_writer w;
    lg_clock clock;
    int64_t start_us;
    int64_t asc_base_us;         /* the ASC trigger block's time */
    int asc_header;              /* the ASC header was written */
    uint64_t frames;
    uint64_t error_events;
    int64_t rx_times[512];       /* one batch's placed receive times */

    /* the last stop's reason, shown until logging starts again */
    char message[LG_PATH_MAX + 256];

    /* session load in progress */
    int loading;
    int load_format;
    int load_autostart;
    char load_folder[LG_PATH_MAX];

    GtkWidget *page;
    guint timer;
};
extern lg_state lg;

/* logger.cpp */
/* Starts logging to path (UTF-8); an empty path makes a new file name in
 * the folder. exclusive: refuse an existing file. Returns 0, or -1 with
 * lg.message set. */
int lg_start(const char *path, int exclusive);
/* Stops logging; the file is complete and closed. */
void lg_stop(void);
/* A write failed: logging stops with err's reason in the page. */
void lg_fail(int err);
void lg_flush_tick(void);

/* page.cpp */
GtkWidget *lg_page_build(void);
void lg_page_release(void);
void lg_page_refresh(void);
void lg_page_sync_settings(void);

#endif /* LOGGER_H */
