/*
 * nb_app.h - the application object and the declarations every part of
 * the host shares.
 *
 * All state lives in one statically allocated nb_app (the_app). It embeds
 * its parts by value: the GUI part, the channel, the poller, the plug-in
 * manager and the session part. Each part carries a table of operations
 * that app_init fills once; parts reach one another only through those
 * slots, with nb_app or the part itself as first argument.
 */
#ifndef NB_APP_H
#define NB_APP_H

#include <pthread.h>
#include <stddef.h>
#include <stdint.h>
#include <gtk/gtk.h>

#include "nimbrel/nimbrel.h"
#include "zelk.h"

#define NB_TEXT_MAX 1024          /* text and path buffers, NUL included */
#define NB_PRODUCT_TITLE "Nimbrel, ver. 3.15"
#define NB_RX_BATCH 512           /* frames per request, per direction */
#define NB_TXLOG_CAPACITY 1024
#define NB_TXLOG_ENTRY_SIZE 88        /* nb_tx_fd_entry: classic and FD frames alike */
#define NB_DATA_KBIT_DEFAULT 2000     /* data-phase bit rate of a CAN FD channel */

struct nb_app;
struct nb_chan;
struct nb_poll;
struct nb_pgmgr;
struct nb_session;
struct nb_plugin;

/* ------------------------------------------------------------------ GUI */

/* How the channel chooser ends: a channel (or a session file to load) was
 * chosen, the user cancelled, or no channel was found (nb_app.end_text
 * then holds the message). */
enum nb_choice { NB_CHOICE_MADE = 0, NB_CHOICE_CANCELLED = 1, NB_CHOICE_NO_CHANNEL = 2 };

struct nb_gui_ops {
    void       (*build_main_window)(nb_app *app);
    int        (*choose_channel)(nb_app *app);
    GtkWidget *(*build_controls_panel)(nb_app *app);
    GtkWidget *(*build_errors_panel)(void);
    void       (*update_error_indicators)(const zk_errs *errs);
    void       (*stop_controller)(nb_app *app);
    /* Shows the controller stopped by the host (rc >= 0), or why the
     * stop failed; touches neither the channel nor the poller. */
    void       (*controller_stopped)(nb_app *app, int32_t rc);
    void       (*start_controller)(nb_app *app);
    GtkWidget *(*build_info_panel)(nb_app *app);
    void       (*refresh_info_panel)(nb_app *app);
};

struct nb_gui {
    GtkWidget *notebook;
    GtkWidget *paned;
    GtkWidget *mi_file;
    GtkWidget *mi_save_session;
    GtkWidget *mi_load_session;
    GtkWidget *mi_reset_session;
    GtkWidget *mi_hw_settings;
    GtkWidget *mi_bit_rate;
    GtkWidget *mi_acc_filter;
    GtkWidget *mi_write_tout;
    GtkWidget *mi_time_origin;    /* check item: time from the controller's start */
    GtkWidget *mi_plugins;
    GtkWidget *mi_configure;
    GtkWidget *mi_help;
    GtkWidget *mi_quick_start;
    GtkWidget *mi_about;
    GtkWidget *btn_startstop;
    GtkWidget *btn_lom;
    GtkWidget *btn_reset;
    GtkAccelGroup *accel_group;
    int32_t hsize;                /* default window width, 1000 */
    int32_t vsize;                /* default window height, 650 */
    int32_t left_pane_size;       /* divider position, 250 */
    int32_t xpos;                 /* window position on the screen; */
    int32_t ypos;                 /* -1: centred */
    uint32_t settle_source;       /* pending write of the window state, 0 when none */
    nb_gui_ops ops;
};

/* -------------------------------------------------------------- channel */

/* The board that carries the channel: the library's record and its serial. */
struct nb_board_info {
    zk_board b;
    char serial[256];
};

/* One channel slot found by chan_next. */
struct nb_chan_slot {
    int32_t number;
    int32_t busy;                 /* 1 when the channel cannot be opened now */
    int32_t fd_capable;           /* 1 when its adapter can do CAN FD */
};

/* The tx log ring: frames sent through nb_send_frame, drained by the poller.
 * Sends may come from any thread: append, drain and count take lock. */
struct nb_txlog {
    pthread_mutex_t lock;
    unsigned char *data;          /* capacity x entry_size bytes */
    uint16_t head;                /* slot of the next append */
    uint16_t tail;                /* slot of the oldest entry */
    uint16_t capacity;            /* 1024 */
    uint16_t entry_size;          /* 88: nb_tx_fd_entry */
    int32_t count;                /* entries held */
};

/* Called by the detection with the bit-rate index it tries (1..9), or on
 * a CAN FD channel with NB_AUTOBAUD_DATA_STEP + i while it tries the
 * predefined data rate i (data_rate_kbit). */
typedef void (*nb_autobaud_cb)(void *data, int32_t index);
#define NB_AUTOBAUD_DATA_STEP 100

struct nb_chan_ops {
    int32_t     (*open)(nb_chan *chan);
    int32_t     (*close)(nb_chan *chan);
    int32_t     (*set_wtout)(nb_chan *chan, uint16_t ms);
    int32_t     (*set_filter)(nb_chan *chan, uint32_t code, uint32_t mask);
    int32_t     (*set_baud)(nb_chan *chan, int32_t index, uint8_t bt0, uint8_t bt1);
    void        (*get_baud_regs)(nb_chan *chan, int32_t index, uint8_t *bt0, uint8_t *bt1);
    int32_t     (*autobaud)(nb_chan *chan, int32_t method, int32_t timeout_ms,
                            nb_autobaud_cb progress, void *progress_data,
                            nb_autobaud_cb tick, void *tick_data);
    const char *(*baud_name)(int32_t index);
    void        (*get_status)(nb_chan *chan, nb_chan_status *out);
    int32_t     (*chip_stat)(nb_chan *chan, zk_chipstat *st, zk_chipstat_text *text);
    int32_t     (*start)(nb_chan *chan);
    int32_t     (*stop)(nb_chan *chan);
    int32_t     (*hw_reset)(nb_chan *chan);
    int32_t     (*set_lom)(nb_chan *chan, int32_t on);
    int32_t     (*send_frame)(nb_chan *chan, const zk_frame *frame);
    int32_t     (*board_next)(int32_t start, nb_board_info *board);
    int32_t     (*chan_next)(int32_t start, const nb_board_info *board, nb_chan_slot *out);
    int32_t     (*find_board)(int32_t number, nb_board_info *board);
    /* CAN FD: the data-phase bit rate (before start) and sending a frame
     * of either kind. */
    int32_t     (*set_data_rate)(nb_chan *chan, uint32_t kbit, uint16_t sample_point);
    int32_t     (*send_fd_frame)(nb_chan *chan, const zk_fdframe *frame);
};

struct nb_chan {
    uint8_t number;               /* channel number as the library counts channels */
    uint8_t frame_format;         /* 2 standard, 4 extended, 6 both */
    uint8_t running;              /* 1 after a successful start */
    uint8_t lom;                  /* 1 while listen-only mode is on */
    uint8_t lost;                 /* 1 while the adapter is gone (channel closed) */
    uint8_t bus_off;              /* 1 from the stop after a bus-off to the next start */
    const char *open_failed;      /* the step a failed open stopped at, for its message */
    uint8_t fd;                   /* NB_FD_OFF classic; NB_FD_ISO, NB_FD_NON_ISO: opened for CAN FD */
    int32_t baud_index;           /* 0 manual, 1..9 predefined; 7 (500 kbit/s) */
    uint8_t bt0;                  /* bus timing registers of the manual rate */
    uint8_t bt1;
    uint32_t acc_code;
    uint32_t acc_mask;
    uint16_t wtout;               /* write timeout, ms; 20 */
    uint32_t data_kbit;           /* CAN FD data-phase bit rate, kbit/s; 2000 */
    uint16_t data_sp;             /* its sample point in permille; 0: the adapter's default */
    uint32_t found_data_kbit;     /* data rate the last detection found; 0: none */
    nb_board_info board;
    nb_txlog *txlog;              /* owned; null when allocation failed */
    zk_fdframe rxfd[NB_RX_BATCH]; /* receive batch of the poller */
    nb_tx_fd_entry txbatch_fd[NB_RX_BATCH];   /* tx log batch of the poller */
    zk_frame rxbuf[NB_RX_BATCH];  /* the classic frames of a batch, for plug-ins */
    nb_tx_entry txbatch[NB_RX_BATCH];         /* that know classic frames only */
    nb_chan_ops ops;
};

/* --------------------------------------------------------------- poller */

struct nb_poll_ops {
    void (*start)(nb_app *app);
    void (*stop)(nb_app *app);
};

struct nb_poll {
    int32_t stopped;
    uint32_t poll_source;         /* (uint32_t)-1 when no timer exists */
    uint32_t status_source;
    nb_poll_ops ops;
};

/* ------------------------------------------------------- plug-in manager */

struct nb_plugin {
    GtkWidget *page;              /* the page returned for PGRP_INIT, may be null */
    void *module;                 /* library handle while loaded */
    char *path;                   /* owned 1024-byte UTF-8 buffer */
    int32_t loaded;
    int32_t pending;              /* 0 none, 1 load, 2 release */
    nbpg_handler_fn handler;
    nbpg_init_fn init;
    nbpg_release_fn release;
    nbpg_load_session_fn load_session;
    nbpg_save_session_fn save_session;
    nbp_ops_table ops;
    int32_t in_request;           /* depth of requests being handled by this plug-in */
    int32_t fd_aware;             /* opted in to CAN FD: gets the FD request types */
    int32_t ever_loaded;          /* loaded at least once since it was listed */
    int32_t version;              /* the interface version it declares, while loaded */
    int32_t stream_aware;         /* opted in to the stream: gets PGRP_STREAM only */
};

struct nb_plugin_node {
    nb_plugin *entry;
    nb_plugin_node *next;
};

struct nb_pgmgr_ops {
    void            (*pgmgr_scan)(nb_pgmgr *mgr);
    void            (*pgmgr_release_all)(nb_pgmgr *mgr);
    nb_plugin      *(*pgmgr_add)(nb_pgmgr *mgr, const char *path, size_t size);
    nb_plugin_node *(*pgmgr_next)(nb_plugin_node *node, nb_pgmgr *mgr, nb_plugin **out);
    int             (*pgmgr_request)(nb_plugin *entry, pgrp *req);
    nb_plugin      *(*pgmgr_find)(nb_pgmgr *mgr, const char *path);
    int             (*pgmgr_load_path)(nb_app *app, const char *path);
    int             (*pgmgr_is_plugin)(const char *path);
    void            (*pgmgr_autoload)(nb_app *app);
    int             (*pgmgr_apply_pending)(nb_app *app);
    void            (*pgmgr_rx_frames)(nb_pgmgr *mgr, zk_frame *frames, int n);
    void            (*pgmgr_tx_frames)(nb_pgmgr *mgr, nb_tx_entry *entries, int n);
    void            (*pgmgr_errors)(nb_pgmgr *mgr, zk_errs *errs);
    void            (*pgmgr_status)(nb_pgmgr *mgr);
    /* A batch of classic and FD frames: the FD request types to FD-aware
     * plug-ins, the classic frames in the classic types to the others. */
    void            (*pgmgr_rx_fd_frames)(nb_pgmgr *mgr, zk_fdframe *frames, int n);
    void            (*pgmgr_tx_fd_frames)(nb_pgmgr *mgr, nb_tx_fd_entry *entries, int n);
    /* The stream (PGRP_STREAM) to the plug-ins that opted in, and whether
     * one is loaded. */
    void            (*pgmgr_stream)(nb_pgmgr *mgr, nb_stream_frame *recs, int n);
    int             (*pgmgr_stream_wanted)(nb_pgmgr *mgr);
};

struct nb_pgmgr {
    int32_t loadrelease;
    int32_t changes_pending;
    nb_plugin_node *head;
    int32_t count;
    uint64_t fd_hidden;           /* FD frames the loaded classic-only plug-ins did not get */
    char install_dir[NB_TEXT_MAX];
    nb_pgmgr_ops ops;
};

/* -------------------------------------------------------------- session */

struct nb_session_ops {
    void    (*make_paths)(nb_session *ses, uint8_t chan);
    int32_t (*save)(nb_app *app, const char *path);
    int32_t (*autosave)(nb_app *app);
    int32_t (*load)(nb_app *app, const char *path);
    int32_t (*load_auto)(nb_app *app);
    int32_t (*reload_plugin_settings)(nb_app *app);
    /* Before the user's release of a plug-in: keeps its keys (see
     * session_keep_released). */
    void    (*keep_released)(nb_app *app, nb_plugin *entry);
};

/* The adapter a session's channel settings were made for, as the session
 * read last recorded it (its Board, Maker and Serial keys). */
struct nb_adapter_id {
    int32_t known;                /* 0: the session named no adapter */
    char board[64];               /* the board's name (its kind and device) */
    char maker[64];
    char serial[256];             /* empty: the board has none */
};

struct nb_session {
    char desktop_dir[NB_TEXT_MAX];
    char load_file[NB_TEXT_MAX];
    char auto_file[NB_TEXT_MAX];
    int32_t load_checked;         /* load_file was picked in the Load Session
                                   * dialog and read whole there */
    nb_adapter_id adapter;        /* of the session read in this pass */
    int32_t quit_unasked;         /* 1: quit without asking what would stop */
    /* Where the user last chose a file of each kind (NB_FOLDER_*), UTF-8;
     * empty while none is known (session/folders.h). */
    char folders[NB_FOLDER_KINDS][NB_FOLDER_MAX];
    nb_session_ops ops;
};

/* ------------------------------------------------------------ time line */

/* The one origin of every relative time in the program (time_origin.cpp). */
struct nb_time {
    uint8_t from_start;           /* the user's choice: 1 from the controller's
                                   * first start in the pass, 0 from the pass's
                                   * start (session key TimeOrigin) */
    uint8_t started;              /* the controller has started in this pass */
    uint64_t origin;              /* timestamp of the origin in force */
};

/* ---------------------------------------------------------- application */

/* Exit codes of the program: a normal end, a cancelled chooser or an
 * unreadable session file of a restart pass; a failed library start, no
 * channel, or a channel that cannot be opened. */
#define NB_EXIT_OK 0
#define NB_EXIT_FAIL 1

struct nb_app_ops {
    int32_t (*setup)(nb_app *app);        /* 0, or the library's code (end_text says) */
    void (*teardown)(nb_app *app);
    void (*state_changed)(nb_app *app, int autosave);
    int  (*run)(nb_app *app);             /* the exit code */
};

struct nb_app {
    int32_t mode;                 /* 1: the next pass loads nb_session.load_file */
    nb_gui gui;
    nb_chan chan;
    nb_poll poll;
    nb_pgmgr pgmgr;
    nb_session session;
    nb_time time;
    char install_dir[NB_TEXT_MAX];
    char locale_dir[NB_TEXT_MAX];
    char end_text[NB_TEXT_MAX];   /* message main shows before a fatal end; empty: none */
    nb_app_ops ops;
};

/* The one application object. */
extern nb_app the_app;

/* ------------------------------------------------------------ src/app */
int  app_init(void);
void close_at_exit(void);
/* Records the message of a fatal end, shown by main once run returned. */
void app_end_text(nb_app *app, const char *text);
void show_message(int type, const char *text);       /* 1 warning, 3 error */
void lib_error_message(const char *text, int32_t code);

/* The time line (time_origin.cpp): a new origin at the start of every
 * pass; the controller's first start in the pass, which may move it. */
void time_origin_pass_begin(nb_app *app);
void time_origin_controller_started(nb_app *app);

/* ------------------------------------------------------------ src/can */
/* Channel operations (chan.cpp, bitrate.cpp), reached through nb_chan_ops. */
void        chan_fill_ops(nb_chan_ops *ops);
/* Opens the channel the record now names (number, frame format, CAN FD
 * mode, bit rates, write timeout) in place of channel from, opened with
 * from_format and from_fd, which is then closed. Returns 0; or the library's failure, with channel from
 * open again (with the record's bit rate and write timeout when it is the
 * same channel number) and the record's number and format as they were. */
int32_t     chan_reopen(nb_chan *chan, uint8_t from, uint8_t from_format, uint8_t from_fd);
/* Opens a lost channel again with the settings in force (format, bit
 * rate, write timeout, filter, listen-only mode), stopped. 0 or the
 * library's failure (the channel then stays lost). */
int32_t     chan_reopen_lost(nb_chan *chan);
/* tx log (txlog.cpp) */
nb_txlog   *txlog_new(void);                         /* null when allocation fails */
void        txlog_free(nb_txlog *log);
void        txlog_append(nb_txlog *log, const nb_tx_fd_entry *entry);  /* null log: nothing */
int         txlog_drain(nb_txlog *log, nb_tx_fd_entry *out, int max);   /* oldest first */
int         txlog_count(nb_txlog *log);                                  /* entries held */
/* Copies up to max entries, from the skip-th oldest on, leaving the log
 * as it is. */
int         txlog_peek(nb_txlog *log, int skip, nb_tx_fd_entry *out, int max);
/* Frame records: a classic frame in the FD record's form (FDF clear) and
 * back. to_classic fails (false) for an FD frame. */
void        frame_to_fd(const zk_frame *in, zk_fdframe *out);
bool        frame_to_classic(const zk_fdframe *in, zk_frame *out);
/* The predefined data-phase bit rates of a CAN FD channel, kbit/s, in
 * rising order, and the display text of any data rate ("2 Mbit/s",
 * "2500 kbit/s"). */
int         data_rate_count(void);
uint32_t    data_rate_kbit(int i);
void        data_rate_text(uint32_t kbit, char *buf, size_t size);
/* poller (poll.cpp) */
void        poll_fill_ops(nb_poll_ops *ops);
gboolean    poll_tick(gpointer app);
gboolean    status_tick(gpointer app);
/* Hands on the frames waiting now, sent and received, as a tick would,
 * so that a status change that follows comes after them. Nothing inside
 * a tick or while the timers are stopped. An adapter found gone is left
 * to the next tick. */
void        poll_flush(nb_app *app);
/* lost.cpp: the adapter of the channel disappeared (code ZK_E_GONE from
 * the library): close the channel, show it lost and stopped, tell the
 * plug-ins and the user (once). chan_retry_lost, every second from the
 * status tick, opens it again when the adapter is back. */
void        chan_lost(nb_app *app, int32_t code);
void        chan_retry_lost(nb_app *app);
/* controller.cpp: stops the controller and hands on the frames that came
 * before the stop; returns the stop's result. ctl_errors, at the end of
 * every poll tick, reads the error counters (gone: the adapter was found
 * gone) and stops the controller after a bus-off. */
int32_t     ctl_stop(nb_app *app);
void        ctl_errors(nb_app *app, int16_t gone);
/* Time a poll tick may spend on a backlog beyond one batch per direction;
 * negative restores the default (a few milliseconds). For tests and
 * benchmarks. */
void        poll_set_budget_us(int64_t us);

/* -------------------------------------------------------- src/plugins */
void pgmgr_fill_ops(nb_pgmgr_ops *ops);
int  pgmgr_load(nb_app *app, nb_plugin *entry);
int  pgmgr_release(nb_plugin *entry);
void plugins_dialog(GtkMenuItem *item, gpointer app);   /* Plugins > Configure */
/* A loaded library's __nbpg_name as the user sees it: translated in the
 * text domain it names in __nbpg_text_domain, if any. */
const char *plugin_shown_name(void *module, const char *name);

/* -------------------------------------------------------- src/session */
void session_fill_ops(nb_session_ops *ops);
int  choose_session_file(nb_app *app);                   /* 1 when a file was chosen */
void on_save_session(GtkMenuItem *item, gpointer app);
void on_load_session(GtkMenuItem *item, gpointer app);
void on_reset_session(GtkMenuItem *item, gpointer app);
void quit_main_loop(GtkWidget *widget, gpointer app);    /* window "destroy" */
void on_quit(GtkMenuItem *item, gpointer app);            /* Quit item: asks first */

/* ------------------------------------------------------------ src/gui */
void gui_fill_ops(nb_gui_ops *ops);
void set_main_window_title(nb_app *app);                  /* "ch N - product" */
void apply_main_window_geometry(nb_app *app);            /* hsize, vsize, place, divider;
                                                          * the time origin item */
/* The window's state (size, place, divider, tab order, current page)
 * changed: written to the automatic session once it has settled. */
void window_state_changed(nb_app *app);
/* At the end of a pass: a change not written yet is written now. */
void window_state_flush(nb_app *app);
void acceptance_filter_dialog(GtkMenuItem *item, gpointer app);
void bit_rate_dialog(GtkMenuItem *item, gpointer app);
void write_timeout_dialog(GtkMenuItem *item, gpointer app);
void quick_start_dialog(GtkMenuItem *item, gpointer app);
void about_dialog(GtkMenuItem *item, gpointer app);
void user_guide(GtkMenuItem *item, gpointer app);        /* Help > User Guide (F1) */
/* Bit-rate detection with listen-only mode chosen for its first try. */
void autobaud_dialog_listen_only(nb_app *app);
/* The answers of other_adapter_dialog. */
enum {
    NB_ADAPTER_SETTINGS = 1,      /* the session's settings as they stand */
    NB_ADAPTER_DETECT = 2,        /* the bit rate found in listen-only mode */
    NB_ADAPTER_DEFAULTS = 3       /* the default settings */
};
/* Whether the session read in this pass recorded another adapter than the
 * one the channel is on (a session that recorded none: false). */
bool session_adapter_differs(const nb_app *app);
/* Shows what differs and asks which settings the channel takes. */
int  other_adapter_dialog(nb_app *app);
/* Asks before quitting while plug-ins have work running; true: quit. */
bool ask_before_quit(nb_app *app);
gboolean hex_spin_output(GtkSpinButton *spin, gpointer data);
gint hex_spin_input(GtkSpinButton *spin, gdouble *new_value, gpointer data);

#endif /* NB_APP_H */
