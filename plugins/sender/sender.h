/*
 * sender.h - the sending plug-in's internal declarations.
 *
 * The sender keeps a list of transmit messages in a fixed array. A
 * message is sent on demand ("Send") or, while periodic sending runs,
 * every period milliseconds. Periodic messages are sent by a thread of
 * their own against absolute due times (sleeping to the earliest one on
 * the monotonic clock), so neither a late wake-up nor a busy window shifts
 * the slots after it; on SocketCAN the kernel sends those whose frames
 * repeat (kernel.cpp). The list is shared with that thread under sd_lock:
 * the window changes messages and reads what the thread updates (counts,
 * failures) only while holding it. The clock is a function pointer; tests
 * replace it, and then no thread runs: sd_service(now) sends what is due.
 *
 * Each message has its channel (an index of the window's channels, 0 the
 * main one). The thread sends the periodic messages of every channel; on
 * an added one by index and name, so a channel removed or moved meanwhile
 * refuses the frame rather than another channel taking it.
 */
#ifndef SENDER_H
#define SENDER_H

#ifndef GETTEXT_PACKAGE
#define GETTEXT_PACKAGE "sender"
#endif
#include <glib/gi18n-lib.h>

#include <stddef.h>
#include <stdint.h>

#include "dbc.h"
#include "e2e.h"
#include "nimbrel/kit.h"
#include "zelk.h"

#define SD_MAX_MSGS 256
#define SD_TEXT_MAX 256            /* reasons and messages, NUL included */
#define SD_PERIOD_MAX 3600000u     /* one hour, in ms */
#define SD_FAILS_TO_PAUSE 3        /* failures in a row that pause a periodic message */
#define SD_REFRESH_MS 200

#define SD_HISTORY_MAX 20          /* quick-send lines remembered */
#define SD_QUICK_MAX 144           /* one quick-send line, NUL included (FT_FD_TEXT_MAX) */
#define SD_DATA_MAX 64             /* data bytes of a CAN FD message */
#define SD_CHANS 16                /* channels of the window a message may name */
#define SD_CHAN_GONE 0xFFFFu       /* no channel: the message's was removed */

/* Makes a message's final bytes just before each send (counters,
 * checksums): called on the sending thread with sd_lock held, once per
 * send, with the frame as the list gives it. 0 sends the frame, negative
 * skips this send. It must neither block nor allocate nor touch GTK. */
typedef int (*sd_fill_fn)(void *data, zk_fdframe *f);

/* One transmit message, classic or CAN FD. The length follows the data
 * typed unless the user set it (len_set); then data bytes beyond ndata
 * are sent as zeros, and the list says so. A CAN FD message's length is
 * one of 0..8, 12, 16, 20, 24, 32, 48, 64: following data of a length in
 * between, it is the next of these (the rest zeros). A remote frame's
 * length is always the user's; CAN FD has no remote frames. */
struct sd_msg {
    uint32_t id;
    uint8_t ext;
    uint8_t rtr;
    uint8_t fd;                    /* sent as a CAN FD frame */
    uint8_t brs;                   /* CAN FD: the data phase at the data bit rate */
    uint8_t len;
    uint8_t ndata;                 /* bytes the user gave, at most len */
    uint8_t len_set;               /* the length was set explicitly */
    uint8_t data[SD_DATA_MAX];
    uint32_t period_ms;            /* 0: on demand only */
    uint8_t enabled;
    uint8_t paused;                /* stopped after repeated failures */
    uint8_t dirty;                 /* the page's row needs an update */
    int fails;                     /* failed sends in a row */
    uint64_t sent;                 /* frames the adapter accepted */
    uint64_t lost;                 /* of those, never sent on the bus (the stream says) */
    int64_t next_due_us;
    char reason[SD_TEXT_MAX];      /* the last failure, empty after a success */
    uint32_t uid;                  /* the message's identity: its sends under way, its database values */
    uint16_t chan;                 /* the channel index it goes out on; SD_CHAN_GONE: its
                                    * channel was removed (sends are refused) */
    e2e_config prot;               /* counter and checksum, written into each frame sent */
    e2e_state prot_state;          /* the counter the next frame carries */
    sd_fill_fn fill;               /* null: the bytes as they stand */
    void *fill_data;
    uint8_t kernel;                /* the adapter's timer sends it (kernel.cpp), not the thread */
    uint8_t kernel_refused;        /* the adapter would not: the thread sends it until re-armed */
};

/* Columns of the list (and of its model). */
enum {
    SD_COL_ID, SD_COL_EXT, SD_COL_RTR, SD_COL_FD, SD_COL_BRS, SD_COL_LEN, SD_COL_DATA, SD_COL_PERIOD,
    SD_COL_ENABLED, SD_COL_SENT, SD_COL_STATE,
    SD_COL_TIP,                    /* the row's tooltip (markup): the state's whole text */
    SD_COL_CHAN,                   /* the channel's name */
    SD_NCOLS
};

/* ---------------------------------------------------------------- msg.cpp */

/* Field parsers: 0 with the value stored, or -1 with a message in err
 * (the value is then unchanged). */
int sd_parse_id(const char *text, int ext, uint32_t *out, char *err, size_t errsize);
/* A classic length 0..8, or with fd a CAN FD length. */
int sd_parse_len(const char *text, int fd, uint8_t *out, char *err, size_t errsize);
/* Hex bytes: pairs of digits, optionally separated by blanks or line
 * breaks (a single digit between blanks is one byte). At most 8 bytes,
 * with fd at most 64. */
int sd_parse_data(const char *text, int fd, uint8_t *data, uint8_t *ndata, char *err,
                  size_t errsize);
/* The length a message of ndata bytes is sent with when the length
 * follows the data: ndata, or for CAN FD the next CAN FD length. */
uint8_t sd_len_for(int fd, int ndata);
int sd_parse_period(const char *text, uint32_t *out, char *err, size_t errsize);
/* The rules across fields: identifier fits the format, data fits the
 * length, the length fits the kind of frame, no remote or BRS flag where
 * the kind has none. 0, or -1 with a message. */
int sd_check(const sd_msg *m, char *err, size_t errsize);

/* What the list says of a length that does not match the data typed;
 * empty when they match. */
void sd_length_note(const sd_msg *m, char *buf, size_t size);

void sd_format_id(const sd_msg *m, char *buf, size_t size);
/* The data typed as hex pairs with blanks, a line of 8 bytes each (so a
 * 64-byte message shows whole in 8 lines); size: SD_DATA_TEXT_MAX. */
#define SD_DATA_TEXT_MAX (SD_DATA_MAX * 3 + 1)
void sd_format_data(const sd_msg *m, char *buf, size_t size);
/* The frame sent: FDF (and BRS) set for a CAN FD message. */
void sd_frame_of(const sd_msg *m, zk_fdframe *f);

/* Session form: "<id hex>,<ext 0|1>,<rtr 0|1>,<len>,<data hex>,<period ms>,<enabled 0|1>",
 * for a CAN FD message followed by ",FD" or ",FD+BRS" (a classic message
 * is written as before, so older versions read it). */
void sd_msg_to_text(const sd_msg *m, char *buf, size_t size);
int sd_msg_from_text(const char *text, sd_msg *m, char *err, size_t errsize);

/* ------------------------------------------------------------- dbcmsg.cpp */

/* The frame a message goes out as: its bytes with its counter and checksum
 * written in, the counter state after it in *next (to keep once the frame
 * is sent). Reads m only and calls no GTK: usable from a sending thread
 * that holds m steady. */
void sd_final_frame(const sd_msg *m, zk_fdframe *f, e2e_state *next);

/* The sender's database: read in the background, one at a time. */
void sd_db_reset(void);                      /* plug-in start and end: none, no read */
int sd_db_open(const char *path);            /* starts reading; 0, -1 when busy */
int sd_db_reading(void);
const char *sd_db_path(void);                /* "" when none */
const dbc_db *sd_db(void);                   /* null while none is read */
/* The database message a list row packs, null for a row of bytes. */
const dbc_message *sd_db_message_of(int index);
/* A new row packing the database message; its counter and checksum
 * signals (by their names) are taken as such. Returns the row or -1. */
int sd_db_add(const dbc_message *m);
/* Sets a signal's physical value from text: a number ('.' or ',') or a
 * value-table text. 0, or -1 with the reason in the page. */
int sd_db_set(int index, int sig, const char *text);
/* The value kept for a signal. */
double sd_db_value(int index, int sig);
/* Counter (1) or checksum (2) by its name, else 0. */
int sd_db_role_by_name(const char *name);
void sd_db_forget(int index);                /* before a row is removed */
void sd_db_prune(void);                      /* values of rows no longer there go */
/* Session: the keys after a message's own, and reading them back. */
void sd_db_save(void *file, int index);
void sd_db_save_database(void *file);
int sd_db_load_key(const char *name, const char *value, sd_msg *last);
void sd_db_load_end(void);
/* Counter and checksum in text (the session's form) and back. */
void sd_prot_to_text(const e2e_config *c, char *buf, size_t size);
int sd_prot_from_text(const char *text, e2e_config *c);
/* Applies a counter and checksum to a message, checked against its length:
 * 0, or -1 with the reason in the page. */
int sd_prot_set(int index, const e2e_config *c);

/* dbcpage.cpp: the database row of the page and the signals of the
 * selected message. */
GtkWidget *sd_dbpage_build(void);
GtkWidget *sd_dbpage_signals(void);
void sd_dbpage_release(void);
void sd_dbpage_show(int index);              /* the selected row, -1 none */
void sd_dbpage_database_changed(void);
/* pickdlg.cpp: a message of the database into the list. */
void sd_pick_dialog(void);
/* protdlg.cpp: the selected message's counter and checksum. */
void sd_prot_dialog(void);

/* -------------------------------------------------------------- state */

struct sd_state {
    sd_msg msgs[SD_MAX_MSGS];
    int count;
    int running;                   /* periodic sending on */
    int64_t (*now_us)(void);
    int thread_on;                 /* the sending thread runs */
    int quit;                      /* asks the sending thread to end */
    uint32_t uid_next;
    char note[SD_TEXT_MAX * 2];    /* a failure the thread had to tell */
    int note_set;
    guint refresh;
    GtkWidget *page;
    char message[SD_TEXT_MAX * 2];

    /* quick send: the lines sent, the latest first */
    char history[SD_HISTORY_MAX][SD_QUICK_MAX];
    int history_count;
    int quick_chan;                /* the channel quick send sends on */
    /* the window's channels by name as last seen, to follow a message's
     * channel when indexes move (a channel removed) */
    char chan_names[SD_CHANS][16];
    int nchan;
    int bus_off;                   /* the main channel stopped after a bus-off, not started since */

    int load_count;
    int load_bad;
    int load_over;             /* valid messages beyond SD_MAX_MSGS */
    sd_msg load_msgs[SD_MAX_MSGS];
    char load_history[SD_HISTORY_MAX][SD_QUICK_MAX];
    int load_history_count;
};
extern sd_state sd;

/* sched.cpp */
int64_t sd_now(void);
/* The stream's records of frames that never went out (NB_DIR_TX_LOST):
 * each counts against the first message of the list on its channel with
 * its identifier and format that has frames not yet counted lost. */
void sd_count_lost(const nb_stream_frame *recs, int n);
/* The lock over sd.msgs and sd.count shared with the sending thread. */
void sd_lock(void);
void sd_unlock(void);
/* Sends one message now (the window's "Send"); returns the library's
 * code. A refusal is kept as the message's reason and shown in the page;
 * a periodic message refused SD_FAILS_TO_PAUSE times in a row is paused. */
int sd_send(int index);
/* With a replaced clock: sends what is due at now. */
void sd_service(int64_t now);
/* The list changed: the sending thread looks at it again. */
void sd_reschedule(void);
/* A failure the thread noted goes into the page's message line. */
void sd_take_note(void);
/* A new identity for a message put into the list. */
uint32_t sd_new_uid(void);
void sd_start_all(void);
void sd_stop_all(void);
/* The message's due time after it was enabled, edited or unpaused. */
void sd_rearm(int index);

/* kernel.cpp: periodic messages whose frames repeat go to the adapter's
 * own timer where it has one (SocketCAN); the window's thread only. Sync
 * brings the jobs in line with the list (and takes their counts); retry
 * asks the adapter again after it said it has no timer. */
void sd_kernel_sync(void);
void sd_kernel_retry(void);

/* edit.cpp: changes of the list, each checked before it is applied. */
int sd_add(void);
void sd_remove(int index);
/* Applies text to a text column of a message: 0, or -1 with the message
 * in the page and the message unchanged. */
int sd_edit(int index, int column, const char *text);
/* Flips a check column (extended, remote, FD, BRS, enabled). */
int sd_toggle(int index, int column);

/* quick.cpp: a frame typed as ID#DATA, parsed as zelkctl parses it. Sends
 * it and remembers the line; a refusal goes to the page's message line.
 * Returns the library's code, or -1 for text that is not a frame. */
int sd_quick_send(const char *text);
/* Puts a line at the front of the history (once). */
void sd_history_add(char (*history)[SD_QUICK_MAX], int *count, const char *line);

/* sender.cpp: a channel's name as the host gives it ("ch3"), "?" for none. */
void sd_chan_name(int chan, char *buf, size_t size);
/* The channel index of a name or number typed, -1 when it names none. */
int sd_chan_parse(const char *text);
/* The window's channels changed: each message keeps its channel by name. */
void sd_channels_changed(void);

/* page.cpp */
GtkWidget *sd_page_build(void);
void sd_page_release(void);
void sd_page_rebuild(void);          /* after rows were added or removed */
void sd_page_history(void);          /* after the quick-send history changed */
void sd_page_refresh(void);          /* rows marked dirty, the status texts */
void sd_set_message(const char *text);
int sd_page_selected(void);          /* selected row, -1 when none */
void sd_page_select(int row);

/* celltab.cpp: Tab and Shift+Tab in an edited cell move the edit on. */
void sd_tab_through_cells(GtkTreeView *view, GtkCellRenderer *renderer);
void sd_tab_release(void);

#endif /* SENDER_H */
