/*
 * logger.h - the logging plug-in's internal declarations.
 *
 * The logger writes every frame the host received or sent, classic and
 * CAN FD (it opts in to FD frames), and every error-counter report, to a file that other tools read: the can-utils
 * candump log format (.log), the Vector ASC format (.asc) or the binary
 * logging format (.blf), through the log library (canlog.h). Its writer
 * keeps a fixed buffer allocated when logging starts, written out when it
 * is half full and at least twice a second, so a crash loses at most the
 * last half second. A failed write stops logging with the reason shown in
 * the page; the host goes on.
 *
 * Times are microseconds of the wall clock since the Unix epoch. Sent and
 * received frames both carry the adapter's 32-bit microsecond clock,
 * placed on the wall clock by the request times (lg_clock), a sent frame
 * never before the host accepted it, and go into the file in that clock's
 * order (lg_order); the times in a file never step back.
 */
#ifndef LOGGER_H
#define LOGGER_H

#ifndef GETTEXT_PACKAGE
#define GETTEXT_PACKAGE "logger"
#endif
#include <glib/gi18n-lib.h>

#include <stddef.h>
#include <stdint.h>

#include "canlog.h"
#include "nimbrel/kit.h"
#include "zelk.h"

#define LG_PATH_MAX 1024          /* path buffers, NUL included */
#define LG_FLUSH_AT (CL_WRITE_BUFFER / 2)
#define LG_FLUSH_MS 500           /* the page refresh, which also flushes */
#define LG_COPY_PER_TICK (32u * 1024u * 1024u)  /* of a deleted file written anew */

/* File formats, numbered as the log library's. LG_FMT_AUTO picks one
 * from the file's extension. */
enum lg_format {
    LG_FMT_AUTO = CL_FMT_AUTO,
    LG_FMT_CANDUMP = CL_FMT_CANDUMP,
    LG_FMT_ASC = CL_FMT_ASC,
    LG_FMT_BLF = CL_FMT_BLF,
    LG_FMT_TRC = CL_FMT_TRC
};

/* ------------------------------------------------------------- format */

/* An error-counter report as an error frame: in a candump log its
 * identifier holds CAN_ERR_FLAG with the classes of the counters that are
 * non-zero (controller problem for EWL and the overruns, bus-off, transmit
 * timeout) and the bus-error class, so that readers which recognise error
 * frames only by that class (python-can) do not take it for a data
 * frame. */
void lg_error_frame(const zk_errs *errs, int chan, int64_t t_us, cl_frame *out);

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
/* Wall times of a batch's frames into out (n entries). not_before, when
 * given, holds each frame's earliest wall time (a sent frame's acceptance
 * by the adapter library; 0 for none): no frame is placed before it. */
void lg_clock_place(lg_clock *c, const zk_fdframe *frames, int n, int64_t req_us, int64_t *out,
                    const int64_t *not_before = nullptr);

/* --------------------------------------------------------------- order */

#define LG_HELD_MAX NBKIT_ORDER_HELD  /* sent frames held for the next received batch */
#define LG_BATCH_MAX 512          /* received frames in one request */

/* A tick's sent frames (held until its received frames come) and the
 * merged batch in the order of the adapter's clock (order.cpp). */
struct lg_order {
    nbkit_order in;
    zk_fdframe frames[LG_HELD_MAX + LG_BATCH_MAX];
    uint8_t sent[LG_HELD_MAX + LG_BATCH_MAX];
    int64_t not_before_us[LG_HELD_MAX + LG_BATCH_MAX];  /* a sent frame's acceptance, else 0 */
    int64_t t_us[LG_HELD_MAX + LG_BATCH_MAX];   /* placed by the caller */
    int n;
};
/* Merges the held frames (nbkit_order_hold on in) with nrx received ones
 * into frames/sent/not_before_us (n of them), in time order; nothing is
 * held afterwards. */
void lg_order_merge(lg_order *o, const zk_fdframe *rx, int nrx);

/* ----------------------------------------------------------- the state */

struct lg_state {
    int format_choice;           /* LG_FMT_*: the selector */
    int autostart;               /* start logging when a session is loaded */
    char folder[LG_PATH_MAX];    /* where generated file names go */

    /* while logging */
    int logging;
    int format;                  /* LG_FMT_CANDUMP, LG_FMT_ASC or LG_FMT_BLF */
    char path[LG_PATH_MAX];
    cl_writer w;
    lg_clock clock;
    int64_t start_us;
    int header;                  /* the file's start time was written */
    uint64_t frames;
    uint64_t error_events;
    lg_order order;              /* sent and received frames in time order */
    int64_t last_us;             /* the last time written: times never step back */
    int rewriting;               /* the file was deleted and is being written anew */
    int moved;                   /* the file was moved or renamed (said once) */

    /* the last stop's reason, shown until logging starts again */
    char message[LG_PATH_MAX + 256];

    /* session load in progress */
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
/* A write failed: logging stops with err's reason in the page; the
 * counts say what the file holds. */
void lg_fail(int err);
/* Twice a second: writes out what is buffered, and looks whether the file
 * is still there (a deleted file is written anew under its name with all
 * it held, a moved one is said so). */
void lg_flush_tick(void);

/* page.cpp */
GtkWidget *lg_page_build(void);
void lg_page_release(void);
void lg_page_refresh(void);
void lg_page_sync_settings(void);

#endif /* LOGGER_H */
