/*
 * signals.h - the signals plug-in's internal declarations.
 *
 * The plug-in reads one or more DBC files (lib/dbc) and decodes every
 * received and sent frame whose identifier they describe: a live table
 * with one row per message (count, period) and its signals (last value,
 * unit, value-table text), frames of other identifiers listed apart, and
 * a plot of up to 16 chosen signals over time.
 *
 * Requests only decode into memory that was allocated when a database was
 * opened or a signal chosen for plotting: per-message values, a fixed
 * table of unknown identifiers, and history chunks that the 100 ms refresh
 * allocates ahead of need. The refresh brings the table and the plot up
 * to date.
 *
 * Databases are read by a worker thread (database.cpp), one after the
 * other, and joined to the set on the GUI thread; the table shows them
 * through a model that reads the message table in place (table.cpp).
 */
#ifndef SIGNALS_H
#define SIGNALS_H

#ifndef GETTEXT_PACKAGE
#define GETTEXT_PACKAGE "signals"
#endif
#include <glib/gi18n-lib.h>

#include <stddef.h>
#include <stdint.h>

#include "dbc.h"
#include "nimbrel/kit.h"
#include "zelk.h"

#define SG_MAX_DATABASES 8
#define SG_MAX_PLOTS 16
#define SG_UNKNOWN_SLOTS 4096        /* identifiers outside the databases counted apart */
#define SG_PATH_MAX 1024
#define SG_REFRESH_MS 100
#define SG_MAX_CHANNELS 16           /* channel indexes a database or plot may name */

/* ---------------------------------------------------------------- history */

/* Points one history chunk holds; the plot's memory grows and is given
 * back a chunk at a time. A history's first chunk starts at
 * SG_CHUNK_FIRST points and grows while it is the only one. */
#define SG_CHUNK_POINTS 65536u
#define SG_CHUNK_FIRST 1024u
#define SG_CAP_DEFAULT 2000000u      /* points kept per plotted signal */
#define SG_CAP_MIN 1000000u
#define SG_CAP_MAX 200000000u

struct sg_point {
    double t;                        /* seconds since the plug-in's time origin */
    double v;
};

/* A run of points in time order. Stage 0 holds every point; each merge of
 * two chunks keeps the minimum and the maximum of every four points, so a
 * chunk of stage k stands for up to 2^k times as many. The pyramid holds
 * the minimum and maximum of every 16, 32, 64 ... points for drawing. */
struct sg_chunk {
    uint32_t n;
    uint32_t first;                  /* points before it were dropped (trimmed) */
    uint32_t cap;                    /* points allocated: SG_CHUNK_POINTS but for a lone first chunk */
    uint32_t stage;
    sg_point *pts;
    float *pyr;
};

struct sg_history {
    sg_chunk *chunks[SG_CAP_MAX / SG_CHUNK_POINTS + 1];
    uint32_t nchunks;
    uint32_t max_chunks;             /* the memory cap, in chunks */
    sg_chunk *spare[2];              /* allocated ahead by the refresh */
    uint32_t nspare;
    sg_chunk *retired;               /* a small first chunk replaced while appending,
                                      * given back by the next refresh */
    uint64_t appended;               /* points ever appended */
    uint64_t merges;
    /* What the history keeps, on top of the cap: its last keep_s seconds
     * and at most keep_points points (0: no such bound). */
    double keep_s;
    uint64_t keep_points;
};

/* Levels of the pyramid: bucket sizes 16 << level. */
#define SG_PYR_LEVELS 12

/* Sets up an empty history with a cap in points (rounded to chunks),
 * keeping everything. */
void sg_history_init(sg_history *h, uint64_t cap_points);
void sg_history_free(sg_history *h);
/* Allocates spare chunks while the cap allows; called outside requests.
 * Returns -1 when memory is short. */
int  sg_history_reserve(sg_history *h);
/* At the cap, merges two old chunks now so that a chunk is ready when the
 * current one fills; called outside requests. Returns 1 when it merged. */
int  sg_history_prepare(sg_history *h);
/* Appends a point (t not before the last). Never allocates: when no spare
 * chunk is ready, or the cap is reached, two old chunks are merged to make
 * room. */
void sg_history_append(sg_history *h, double t, double v);
/* Drops the points older than keep_s and those beyond keep_points;
 * called outside requests. */
void sg_history_trim(sg_history *h);
uint64_t sg_history_points(const sg_history *h);
/* The memory the history holds allocated, spare chunks included. */
size_t   sg_history_bytes(const sg_history *h);
int      sg_history_last(const sg_history *h, sg_point *out);   /* 0 when empty */
double   sg_history_first_t(const sg_history *h);               /* 0 when empty */
/* The value at time t: the last point at or before it. Returns 0 when
 * there is none. */
int      sg_history_at(const sg_history *h, double t, double *v);

/* Walks the history in [t0, t1] for a plot width of px pixels, calling
 * fn(user, t, vmin, vmax) with points (vmin == vmax) or min/max buckets in
 * time order, about two per pixel at most, plus the point before t0 and
 * the point after t1 so lines reach the edges. */
typedef void (*sg_walk_fn)(void *user, double t, double vmin, double vmax);
void sg_history_walk(const sg_history *h, double t0, double t1, int px, sg_walk_fn fn, void *user);

/* ------------------------------------------------------------------- plot */

enum sg_plot_mode { SG_OVERLAY = 0, SG_LANES = 1 };

struct sg_plot_sig {
    int used;
    uint32_t key;                    /* the message's identifier (sg_key) */
    uint16_t chan;                   /* and its channel index */
    int msg;                         /* index into sg.msgs */
    int sig;                         /* index into that message's signals */
    double rgb[3];
    sg_history hist;
};

/* What the plot shows: a time window and a mode. */
struct sg_view {
    double t_end;                    /* right edge, seconds */
    double span;                     /* seconds shown */
    int follow;                      /* the right edge follows the newest point */
    int mode;                        /* sg_plot_mode */
    int cursor_x;                    /* -1: no cursor readout */
};

/* Draws the plotted signals into cr over width x height pixels. */
void sg_plot_draw(cairo_t *cr, int width, int height, const sg_view *view);
/* The time at pixel column x. */
double sg_plot_time_at(const sg_view *view, int width, int x);
/* Writes the visible range as CSV (time, signal, value, unit). The exports
 * return 0 or the failure's code (errno or UF_E_*, see uf_strerror). */
int sg_plot_export_csv(const char *path, const sg_view *view, int width);
/* Renders the plot into a PNG. */
int sg_plot_export_png(const char *path, const sg_view *view, int width, int height);
/* A value as the legend shows it: with its value-table text when the
 * signal has one for it ("Sixth (6)"). */
void sg_plot_value_text(const dbc_signal &s, double v, char *buf, size_t size);
/* The newest time of any plotted signal (0 when none). */
double sg_plot_newest(void);
double sg_plot_oldest(void);

/* -------------------------------------------------------------- decoding */

/* Data bytes a frame may carry (CAN FD). */
#define SG_MAX_DATA 64

/* One message of an open database, with its live state. */
struct sg_msg {
    const dbc_message *m;
    int db;
    uint16_t chan;                   /* the channel index it is decoded on */
    uint8_t named_chan;              /* another channel carries it too: named with its channel */
    int row;                         /* its row in the table */
    dbc_value *values;               /* one per signal; phys NaN before the first */
    uint64_t count;
    double t_last;                   /* seconds; -1 before the first frame */
    double period;                   /* seconds between the last two, -1 unknown */
    uint16_t plots;                  /* bit i: plot slot i shows one of its signals */
    uint8_t dirty;
};

struct sg_unknown {
    uint32_t key;                    /* identifier, bit 31 for extended */
    uint16_t chan;                   /* channel index */
    uint8_t used, dirty, in_view, len;
    uint8_t data[SG_MAX_DATA];
    uint64_t count;
    double t_last, period;
    GtkTreeIter row;
};

struct sg_load_job;

struct sg_state {
    /* databases */
    int ndb;
    char db_path[SG_MAX_DATABASES][SG_PATH_MAX];
    int db_chan[SG_MAX_DATABASES];   /* the channel index it decodes, -1 every channel */
    int nchan;                       /* channels in the window (nb_chan_count) */
    int open_chan;                   /* the channel the next database opened decodes, -1 all */
    dbc_db *db[SG_MAX_DATABASES];
    sg_msg *msgs;                    /* every decodable message of every database */
    int nmsgs;
    int *order;                      /* table row -> msgs index: identifier order */
    dbc_value *value_store;
    int32_t *lookup;                 /* identifier -> msgs index, open addressing */
    uint32_t lookup_mask;

    sg_unknown *unknown;             /* SG_UNKNOWN_SLOTS */
    uint32_t unknown_used;
    uint64_t unknown_frames;
    uint64_t unknown_dropped;        /* frames of identifiers that found no slot */

    sg_plot_sig plots[SG_MAX_PLOTS];
    uint64_t cap_points;
    sg_view view;

    uint64_t frames;                 /* frames decoded with a database */

    /* measurements for SIGNALS_STATS (signals.cpp), from two seconds after
     * the first frame on, so that start-up (fonts, the first layout) does
     * not count */
    int64_t measure_from_us;
    uint64_t redraws;
    int64_t redraw_total_us;
    int64_t max_request_us;
    int64_t max_refresh_us;
    int64_t max_redraw_us;
    int64_t max_refresh_gap_us;
    int64_t last_refresh_us;

    /* databases being read: the worker's job, the paths after it */
    sg_load_job *job;
    char queue[SG_MAX_DATABASES][SG_PATH_MAX];
    int queue_chan[SG_MAX_DATABASES];
    int nqueue;
    /* what the reads so far have to say: the first failure, else the last
     * summary; the session's plots wait for the last read */
    char load_msg[1024];
    int load_error;
    int plots_pending;

    /* session load in progress */
    char load_db[SG_MAX_DATABASES][SG_PATH_MAX];
    int load_db_num[SG_MAX_DATABASES];   /* the n of its key Database<n> */
    int load_ndb;
    int load_chan_num[SG_MAX_DATABASES];  /* DatabaseChannel<n>: the channel of database n */
    int load_chan[SG_MAX_DATABASES];
    int load_nchan;
    int load_plot_chan[SG_MAX_PLOTS];     /* PlotChannel<n>: the channel of plot n, -1 unsaid */
    char load_plot[SG_MAX_PLOTS][512];
    int load_plot_num[SG_MAX_PLOTS];   /* the n of its key Plot<n> */
    int load_nplot;
    char load_keep[SG_MAX_PLOTS][64];  /* History<n>: the history of plot n */
    int load_keep_num[SG_MAX_PLOTS];
    int load_nkeep;
    sg_view load_view;
    uint64_t load_cap;

    /* widgets (owned by the page) */
    GtkWidget *page;
    GtkWidget *w_table;
    GtkWidget *w_hpaned;             /* the table | the unknown identifiers */
    GtkWidget *w_vpaned;             /* the above | the plot */
    GtkTreeModel *table;
    GtkWidget *w_unknown;
    GtkListStore *unknown_store;
    GtkWidget *w_plot;
    GtkWidget *w_follow;
    GtkWidget *w_mode;
    GtkWidget *w_cap;
    GtkWidget *w_dbs;
    GtkWidget *w_chan;               /* the channel of the next database */
    GtkWidget *w_message;
    GtkWidget *w_problems;           /* expander with the databases' problems */
    GtkWidget *w_problem_text;
    GtkWidget *w_status;
    guint refresh_source;
    int updating;
    int drag_x;
    double drag_t_end;
};

extern sg_state sg;

/* signals.cpp */
/* Decodes one frame of len data bytes (up to SG_MAX_DATA; flags ZK_FRAME_*). */
void sg_take_frame(int chan, uint32_t id, uint8_t flags, const uint8_t *data, unsigned len, double t);
/* A message's name as the table, plots and exports show it: with its
 * channel's name ("ch1:EngineData") where two channels carry it. */
void sg_msg_name(const sg_msg &m, char *buf, size_t size);
/* A channel's name as the host gives it ("ch3"), else "#<index>". */
void sg_chan_name(int chan, char *buf, size_t size);
/* The session's plots, once its databases are read; a plot that cannot
 * be shown is noted for the user (sg.load_msg). drop_others: plots the
 * session does not name go. */
void sg_session_plots(int drop_others);
/* Whether a duration measured now counts for SIGNALS_STATS. */
bool sg_measuring(void);
double sg_seconds(int64_t us);

/* database.cpp */
/* Reads a database file in the background and adds it to the set (the
 * page shows the outcome); 0, or -1 with a message for the user in msg
 * when it is open or queued already or the set is full. */
int  sg_db_open(const char *path, int chan, char *msg, size_t msg_size);
/* Reads a database now, on this thread, and adds it; 0, or -1 with a
 * message in msg (the benchmarks). */
int  sg_db_open_now(const char *path, int chan, char *msg, size_t msg_size);
/* A database is being read. */
int  sg_db_reading(void);
/* The path of the database being read, or null. */
const char *sg_db_reading_path(void);
int sg_db_reading_chan(void);   /* its channel, -1 all */
/* Stops reading, closes every database. */
void sg_db_close_all(void);
int  sg_db_find(uint32_t key);   /* msgs index on the lowest channel having it, or -1 */
int  sg_db_find_on(int chan, uint32_t key);   /* msgs index or -1 */
/* The table built anew after the channels changed; 0 or -1 (memory). */
int  sg_db_rebuild(void);
/* A message's key: identifier, bit 31 for extended. */
uint32_t sg_key(uint32_t id, int extended);
void sg_unknown_count(int chan, uint32_t key, const uint8_t *data, unsigned len, double t);
void sg_unknown_clear(void);
/* The problems of the open databases as text, one a line. */
char *sg_db_problems_text(int *count);

/* table.cpp: the table's model over sg.msgs in row order */
enum {
    SG_COL_NAME,
    SG_COL_VALUE,
    SG_COL_UNIT,
    SG_COL_TEXT,
    SG_COL_COUNT,
    SG_COL_PERIOD,
    SG_COL_PLOT,
    SG_COL_COLOUR,
    SG_COL_IS_SIGNAL,
    SG_COL_MSG,
    SG_COL_SIG,
    SG_COL_HISTORY,                  /* a plotted signal's history bound */
    SG_N_COLS
};
GtkTreeModel *sg_table_model_new(void);
/* Before the rows change wholly (databases opened or closed) the view is
 * detached, and attached again after: it walks its old rows on the way
 * out, and is spared a signal per row. */
void sg_table_detach(GtkTreeModel *model, GtkTreeView *view);
void sg_table_attach(GtkTreeModel *model, GtkTreeView *view);
/* Stops giving rows to the view. */
void sg_table_stop(void);
/* The page goes: the view lets go of the model, which the message table
 * outlives no more. */
void sg_table_release(GtkTreeModel *model, GtkTreeView *view);
/* The view knows every row. */
int  sg_table_complete(GtkTreeModel *model);
/* A message's row (and its signals') changed. */
void sg_table_row_changed(GtkTreeModel *model, int msg);

/* plots (plot.cpp) */
int  sg_plot_add(int msg, int sig, const double *rgb);   /* slot or -1 */
void sg_plot_remove(int slot);
int  sg_plot_find(int msg, int sig);
void sg_plot_remove_all(void);
void sg_plot_set_cap(uint64_t cap_points);
/* A plotted signal's history bound (sg_history keep_s, keep_points) as
 * text: for the session ("600 s", "100000 points", "" for everything
 * within the cap) or for the table (translated, "whole" for everything). */
void sg_plot_keep_text(const sg_history *h, int session, char *buf, size_t size);
/* Reads a bound typed or from a session: seconds ("600 s", "10 min",
 * "1 h"), points ("100000 points") or "whole"/"". 0, or -1 with a message
 * in err and the values unchanged. */
int  sg_plot_parse_keep(const char *text, double *keep_s, uint64_t *keep_points, char *err,
                        size_t errsize);
#define SG_KEEP_S_MIN 0.1
#define SG_KEEP_S_MAX 1e7
#define SG_KEEP_POINTS_MIN 100u
/* Finds the plotted signals' messages again after the table was rebuilt;
 * a plot whose message is gone is removed. */
void sg_plot_rebind(void);
/* Allocates history chunks ahead of need (the refresh). */
void sg_plot_reserve(void);

/* page.cpp */
GtkWidget *sg_page_build(void);
void sg_page_release(void);
void sg_refresh(void);
void sg_page_databases_changed(void);   /* rebuilds the table */
void sg_page_channels_changed(void);    /* PGRP_CHANNELS: the table and the channel choice */
void sg_page_detach_table(void);        /* before the message table changes */
/* A read ended: the session's plots and the message. */
void sg_page_loads_done(void);
void sg_page_show_message(const char *text, int error);
void sg_sync_widgets(void);
/* The folders the choosers start in, by kind (databases, exports), kept
 * in the session; empty until a file of that kind was chosen. */
extern char sg_folder_dbc[SG_PATH_MAX];
extern char sg_folder_export[SG_PATH_MAX];
/* The dividers' session keys TablePane and PlotPane (pixels). */
void sg_page_save_panes(void *file);
void sg_page_pane_key(const pgrp_session_key *key);

#endif /* SIGNALS_H */
