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
 * It takes the host's stream: every frame of every channel, received and
 * sent, in one time order, each with its time on the host's clock
 * (microseconds since the Unix epoch), which the file keeps as it is; the
 * times in a file never step back. It records every channel or a chosen
 * set. A file numbers its channels from the index each had when logging
 * started (a channel added later takes the next number); ASC, BLF and TRC
 * count them from 1, a candump file names them: the interface of a
 * SocketCAN channel, else can<N> with N the adapter library's channel
 * number (the host's chN).
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

/* ------------------------------------------------------------ channels */

#define LG_CHOSEN_MAX 16          /* channels a chosen set names */

/* ----------------------------------------------------------- the state */

struct lg_state {
    int format_choice;           /* LG_FMT_*: the selector */
    int autostart;               /* start logging when a session is loaded */
    char folder[LG_PATH_MAX];    /* where generated file names go */
    int all_channels;            /* record every channel, else those chosen */
    char chosen[LG_CHOSEN_MAX][NBKIT_CHAN_NAME];   /* by the host's names */
    int nchosen;

    /* while logging */
    int logging;
    int format;                  /* LG_FMT_CANDUMP, LG_FMT_ASC, LG_FMT_BLF or LG_FMT_TRC */
    char path[LG_PATH_MAX];
    cl_writer w;
    int64_t start_us;
    int header;                  /* the file's start time was written */
    uint64_t frames;
    uint64_t error_events;
    nbkit_chans_t chans;         /* the file's channels: slot = number in the file */
    int8_t take[NBKIT_CHAN_SLOTS];   /* slot recorded (1) or not (0), -1 not yet known */
    int64_t last_us;             /* the last time written: times never step back */
    int rewriting;               /* the file was deleted and is being written anew */
    int moved;                   /* the file was moved or renamed (said once) */

    /* the last stop's reason, shown until logging starts again */
    char message[LG_PATH_MAX + 256];

    /* session load in progress */
    int load_format;
    int load_autostart;
    char load_folder[LG_PATH_MAX];
    char load_channels[LG_CHOSEN_MAX * NBKIT_CHAN_NAME];

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

/* The chosen set from a text: "all", "none", or names separated by
 * commas ("ch0,ch2"); and back. A change applies to the file being written from
 * its next frame on. */
void lg_set_channels(const char *text);
void lg_channels_text(char *out, size_t size);
/* Whether the channel of this name is recorded. */
int lg_channel_chosen(const char *name);
/* Adds the channel to the chosen set (on) or takes it out. */
void lg_choose_channel(const char *name, int on);

/* page.cpp */
GtkWidget *lg_page_build(void);
void lg_page_release(void);
void lg_page_refresh(void);
void lg_page_sync_settings(void);
/* The channels were added or removed: their choices anew. */
void lg_page_channels(void);

#endif /* LOGGER_H */
