/*
 * player.h - the replay plug-in's internal declarations.
 *
 * The player reads a log file (candump, ASC or BLF, through the log
 * library) one frame ahead and sends its frames through the host with the
 * file's timing. Each frame's due time is absolute: the clock time of an
 * anchor plus the file time since the anchor divided by the speed, so a
 * late timer never shifts the frames after it. The anchor is set when
 * playing starts or resumes, when the speed changes and when a loop
 * starts over. At speed 0 ("as fast as the bus takes") frames go out as
 * long as the adapter takes them, a few milliseconds per turn of the main
 * loop. The file is streamed: only the next frame is held in memory.
 *
 * With the real clock the frames go out from a thread of the player's own,
 * which sleeps to each due time on the monotonic clock: a window that is
 * busy (a file chooser opening, a large database loading) delays no
 * frame. Every function here takes pl_lock, shared with that thread;
 * the window's handlers hold it while they touch pl. With a replaced
 * clock (tests) no thread runs and the main loop's timer sends.
 *
 * Each channel found in the file (cl_frame.chan) goes to a channel of the
 * window or to none: by default the file's first channel (in the order
 * they first appear) to the main channel, the second to the first added
 * channel and so on; one the window has no channel for goes nowhere, and
 * the page counts what was not sent. The user's choices are kept in the
 * session. The sending thread sends on every channel; on an added one by
 * index and name, so a channel removed meanwhile is never taken for
 * the one that moved to its index.
 *
 * CAN FD frames of the file go out as FD frames on a channel in CAN FD
 * mode. A classic channel cannot send them: they are passed over and
 * counted, and the page says how many, while the classic frames go out.
 */
#ifndef PLAYER_H
#define PLAYER_H

#ifndef GETTEXT_PACKAGE
#define GETTEXT_PACKAGE "player"
#endif
#include <glib/gi18n-lib.h>

#include <stddef.h>
#include <stdint.h>

#include "canlog.h"
#include "idfilter.h"
#include "nimbrel/kit.h"
#include "zelk.h"

#define PL_PATH_MAX 1024
#define PL_TEXT_MAX 512
#define PL_SPEED_MIN 0.1
#define PL_SPEED_MAX 100.0
#define PL_REFRESH_MS 100
#define PL_FAST_BUDGET_US 5000    /* sending time per turn at full speed */
#define PL_EARLY_US 2000          /* how early the timer wakes for a frame */
#define PL_WTOUT_PAUSE 50         /* write timeouts in a row that pause replay */
#define PL_READ_BUDGET_US 10000   /* reading per turn while no frame to send is found */
#define PL_READ_STEP (1u << 20)   /* bytes one read of the file may take */

#define PL_MAP_MAX 16             /* channels of a file that can be mapped */
#define PL_CHANS 16               /* channels of the window the player looks at */
#define PL_TO_NONE (-1)           /* a file channel sent nowhere */

/* One channel of the file and where its frames go. */
struct pl_map_entry {
    uint16_t file_chan;           /* cl_frame.chan */
    int16_t to;                   /* the window's channel index, or PL_TO_NONE */
    char to_name[16];             /* that channel's name when it was last seen: an
                                   * index that moved (a channel removed) is found
                                   * again by it, never taken for another channel */
    uint64_t unsent;              /* frames not sent for want of a channel */
};

/* A choice the user made (kept in the session): file channel -> index. */
struct pl_map_choice {
    uint16_t file_chan;
    int16_t to;
};

/* Which frames of the file are sent, by their recorded direction. */
enum { PL_DIR_BOTH = 0, PL_DIR_RX = 1, PL_DIR_TX = 2 };
enum { PL_STOPPED = 0, PL_PLAYING = 1, PL_PAUSED = 2 };

struct pl_state {
    /* settings */
    char path[PL_PATH_MAX];        /* UTF-8 */
    double speed;                  /* factor; 0: as fast as the bus takes */
    int loop;
    int dir;
    char filter_text[PL_TEXT_MAX];
    idf_filter filter;             /* the bus viewer's filter syntax */

    /* the open file and the frame due next */
    cl_reader *rd;
    char open_path[PL_PATH_MAX];
    int state;
    int have_next;
    cl_frame next;
    int64_t anchor_us;             /* clock time of the anchor */
    int64_t anchor_file_ns;        /* file time at the anchor */
    int64_t paused_file_ns;        /* file time where a pause stopped */
    int64_t last_due_us;
    uint64_t sent;
    int have_sent;                 /* a frame was sent since the replay (re)started */
    int64_t last_sent_ns;          /* the file time of the last frame sent */
    uint64_t fd_unsent;            /* CAN FD frames passed over on a classic channel
                                    * since the file was started (over all loops) */
    uint64_t passes;               /* loops completed */
    cl_stats pass_stats;           /* the reader's counts over a whole pass */
    int wtouts;                    /* write timeouts in a row */
    /* Looking for the next frame to send takes more than a turn of the
     * main loop (a long stretch with none): reading goes on in turns. */
    int pending;
    int pending_wrapped;           /* the file was started over meanwhile */
    int play_when_found;           /* Play was pressed meanwhile */
    guint pending_timer;
    /* Loop: when the pass began and the least time its frames take on
     * the bus, so that a pass of frames with one time stamp does not
     * flood the bus. */
    int64_t pass_start_us;
    int64_t pass_bus_us;

    int64_t (*now_us)(void);
    int thread_on;                 /* the sending thread runs */
    int quit;                      /* asks it to end */
    int64_t wake_us;               /* its next turn, INT64_MAX: none */
    nb_chan_status chan;           /* the main channel as the window last saw it */
    nb_chan_status chans[PL_CHANS];/* every channel, as the window last saw them */
    int nchan;                     /* channels in the window */
    /* the file's channels in the order found, and the user's choices */
    pl_map_entry map[PL_MAP_MAX];
    int nmap;
    uint64_t beyond_map;           /* frames of channels beyond PL_MAP_MAX, not sent */
    pl_map_choice choice[PL_MAP_MAX];
    int nchoice;
    pl_map_choice load_choice[PL_MAP_MAX];
    int load_nchoice;
    guint timer;
    guint refresh;
    GtkWidget *page;
    char message[PL_TEXT_MAX * 2];

    char load_path[PL_PATH_MAX];
    double load_speed;
    char load_bad_speed[64];       /* a Speed value that is no speed, or empty */
    int load_loop;
    int load_dir;
    char load_filter[PL_TEXT_MAX];
};
extern pl_state pl;

/* play.cpp */
int64_t pl_now(void);
/* The lock shared with the sending thread (recursive). */
void pl_lock(void);
void pl_unlock(void);
struct pl_guard {
    pl_guard() { pl_lock(); }
    ~pl_guard() { pl_unlock(); }
    pl_guard(const pl_guard &) = delete;
    pl_guard &operator=(const pl_guard &) = delete;
};
/* Ends the sending thread; never with pl_lock held. */
void pl_thread_stop(void);
/* Takes the channel's status for the sending thread (the window's refresh). */
void pl_chan_refresh(void);
/* Opens the file named in the settings if it is not the open one. 0, or
 * -1 with the message set. */
int pl_open(void);
void pl_close(void);
void pl_play(void);
void pl_pause(void);
void pl_stop(void);
/* Sends the next frame now; replay stays paused. */
void pl_step(void);
void pl_set_speed(double speed);
/* Sends what is due at now and sets the timer for the next frame. */
void pl_service(int64_t now);
/* One turn of the main loop's work for the player: reading on for the
 * next frame to send when that is under way, then pl_service. */
void pl_turn(int64_t now);
void pl_set_message(const char *text);
/* The open file's first and last frame time (any frame, in file order or
 * not: the least and the greatest), found by a scan in a thread of its
 * own while the file plays: 2 once the whole file was read, 1 with the
 * times of the part read so far, 0 when none is known yet. */
int pl_time_span(int64_t *first_ns, int64_t *last_ns);

/* The window's channel a file channel goes to now (PL_TO_NONE: none). */
int pl_map_target(const pl_map_entry &e);
/* The user sends a file channel to a channel index (PL_TO_NONE: none). */
void pl_map_choose(uint16_t file_chan, int to);
/* The window's channels changed (PGRP_CHANNELS). */
void pl_channels_changed(void);
/* The file's channels found anew (another file opened). */
void pl_map_clear(void);
/* Choices as session text "0=0 1=none" and back (0, or -1 with nothing
 * taken). */
void pl_map_to_text(const pl_map_choice *c, int n, char *buf, size_t size);
int pl_map_from_text(const char *text, pl_map_choice *c, int *n);

/* page.cpp */
GtkWidget *pl_page_build(void);
void pl_page_release(void);
void pl_page_refresh(void);
void pl_page_sync_settings(void);
/* Applies the filter text: 0, or -1 with the message shown. */
int pl_apply_filter(const char *text);

#endif /* PLAYER_H */
