/*
 * busview.h - the bus viewer plug-in's internal declarations.
 *
 * The plug-in keeps every trace line in one ring of fixed-size records,
 * allocated when the page is created (or when the user changes the
 * history size). The trace view reads the ring through a custom list
 * model; the per-identifier view reads a table with one entry per
 * identifier and direction through another. Requests only append to the
 * ring and update counters; the views are brought up to date by a 250 ms timer, so the
 * cost of a saturated bus is a few hundred nanoseconds per frame.
 *
 * Frames come from the host's stream: every channel's, in time order, on
 * the host's clock. A record keeps its channel as a slot of the kit's
 * channel table (nbkit_chans()), which keeps its name when channels are
 * removed and the indexes move.
 */
#ifndef BUSVIEW_H
#define BUSVIEW_H

#ifndef GETTEXT_PACKAGE
#define GETTEXT_PACKAGE "busview"
#endif
#include <glib/gi18n-lib.h>

#include <stddef.h>
#include <stdint.h>

#include "idfilter.h"
#include "nimbrel/kit.h"
#include "zelk.h"

#define BV_HISTORY_DEFAULT 100000u
#define BV_HISTORY_MIN 1000u
#define BV_HISTORY_MAX 2000000u
#define BV_FILTER_MAX IDF_MAX     /* identifiers and ranges in one filter */
#define BV_FILTER_TEXT 512        /* filter text, NUL included */
/* The views follow the traffic four times a second: often enough to look
 * live; each refresh costs a few milliseconds of GTK's work however few
 * lines came, and a fast bus changes every line in sight each time. */
#define BV_REFRESH_MS 250

/* ---------------------------------------------------------------- records */

/* BV_TX_LOST: a frame written that never went out (the stream's
 * NB_DIR_TX_LOST); it is a frame line of its own. Frame kinds fit the
 * identifier table's two bits. */
enum bv_kind : uint8_t { BV_RX = 0, BV_TX = 1, BV_TX_LOST = 2, BV_ERR = 3, BV_STATUS = 4 };
static inline bool bv_kind_frame(unsigned kind)
{
    return kind == BV_RX || kind == BV_TX || kind == BV_TX_LOST;
}

/* One trace line. Times are microseconds of the wall clock since the Unix
 * epoch; dt_us is the time since the previous frame with the same
 * channel, identifier, format and direction, -1 when there was none. */
struct bv_rec {
    int64_t t_us;
    int64_t dt_us;
    uint32_t id;
    uint8_t kind;                 /* bv_kind */
    uint8_t flags;                /* ZK_FRAME_EFF, RTR; FDF, BRS, ESI of a CAN FD frame */
    uint8_t len;                  /* data length in bytes, up to 64 */
    uint8_t chan;                 /* live: slot of nbkit_chans(); log: the file's channel */
    union {
        uint8_t data[64];
        uint16_t errs[5];         /* EWL, BOFF, HOVR, SOVR, WTOUT */
        struct {
            uint8_t running;
            uint8_t lom;
            uint8_t reserved[2];
            int32_t baud_index;
            uint32_t acc_code;
            uint32_t acc_mask;
            uint16_t wtout;
            uint8_t fd;           /* nb_chan_status.fd */
            uint8_t reserved2;
            uint16_t data_kbit;
        } st;
    } u;
};
static_assert(sizeof(bv_rec) == 88, "trace record stays compact");

/* The flags a frame line keeps. */
#define BV_FRAME_FLAGS (ZK_FRAME_EFF | ZK_FRAME_RTR | ZK_FRAME_FDF | ZK_FRAME_BRS | ZK_FRAME_ESI)
/* In bv_rec.flags of a Tx line: the frame never went out (a Tx lost line
 * came for it). */
#define BV_REC_LOST 0x80u

/* ----------------------------------------------------------------- filter */

/* Which frames a filter passes by their format. */
enum bv_formats : uint8_t { BV_FORMATS_ALL = 0, BV_FORMATS_FD = 1, BV_FORMATS_CLASSIC = 2 };

/* Identifier ranges and a format; an empty filter of all formats passes
 * everything. The player takes the same identifier filters: both parse
 * them with the idfilter library. */
struct bv_filter {
    idf_filter ids;
    uint8_t formats;              /* bv_formats */
    uint8_t chan_on;              /* one channel only: */
    uint8_t chan_slot;            /* its slot in nbkit_chans() */
    char chan_name[NBKIT_CHAN_NAME];   /* and its name, which a log's channels are matched by */
};

/* Parses "100-1FF, 7E8, 18DAF110": hexadecimal identifiers (an optional
 * 0x prefix) and ranges, separated by commas, semicolons or blanks.
 * Returns 0 with *out set, or -1 with a user message in msg (out is then
 * left unchanged). */
const idf_texts *bv_filter_texts(void);   /* the messages, translated */
static inline int bv_filter_parse(const char *text, bv_filter *out, char *msg, size_t msg_size)
{
    return idf_parse(text, &out->ids, msg, msg_size, bv_filter_texts());
}
/* A log's channel as the views name it: "ch<chan>", chan counted from 0
 * as the log readers give it (an ASC, BLF or TRC file's channel 1 is ch0). */
static inline void bv_log_chan_name(char *buf, size_t size, unsigned chan)
{
    g_snprintf(buf, size, "ch%u", chan);
}
/* Whether a line of this channel passes: live, a slot of nbkit_chans(); a
 * log's channel (log set). */
static inline bool bv_filter_chan(const bv_filter *f, unsigned chan, int log)
{
    if (!f->chan_on)
        return true;
    if (!log)
        return chan == f->chan_slot;
    char name[NBKIT_CHAN_NAME];
    bv_log_chan_name(name, sizeof name, chan);
    return strcmp(name, f->chan_name) == 0;
}
/* A channel's mark: its background colour, one of eight by slot. */
const char *bv_chan_background(unsigned chan);

/* flags: the frame's ZK_FRAME_* (FDF tells its format). */
static inline bool bv_filter_match(const bv_filter *f, uint32_t id, uint8_t flags)
{
    if (f->formats != BV_FORMATS_ALL &&
        ((flags & ZK_FRAME_FDF) != 0) != (f->formats == BV_FORMATS_FD))
        return false;
    return idf_match(&f->ids, id);
}

/* ------------------------------------------------------------- bit length */

/* Bits the frame occupies on the bus, stuff bits and the interframe space
 * included: those at the nominal rate, and those of a CAN FD frame's data
 * phase (ESI to the CRC) at the data rate when it has BRS, else 0. */
struct bv_bits {
    uint32_t nominal;
    uint32_t data;
};
bv_bits bv_frame_bits(uint32_t id, uint8_t flags, uint8_t len, const uint8_t *data);
/* Bit rate of a bit-rate index 1..9 in bit/s; 0 for the manual setting
 * (index 0) and anything unknown. */
uint32_t bv_baud_bps(int32_t baud_index);
/* Seconds the bus takes for so many bits at the nominal rate and in FD
 * data phases at the data rate of the channel st describes; 0 when its
 * nominal rate is not known. */
double bv_bus_seconds(uint64_t nominal_bits, uint64_t data_bits, const nb_chan_status *st);

/* --------------------------------------------------------------- formatting */

/* Bounded, NUL-terminated text of the record's columns. */
void bv_fmt_time(char *buf, size_t size, int64_t t_us, int64_t t0_us, int absolute);
void bv_fmt_id(char *buf, size_t size, uint32_t id, uint8_t flags);
void bv_fmt_marks(char *buf, size_t size, uint8_t flags);
/* Bytes in hexadecimal, groups of 8 set apart by BV_GROUP_GAP; the text
 * ends with what fits in size. */
#define BV_GROUP_GAP " | "
void bv_fmt_data(char *buf, size_t size, const uint8_t *data, uint8_t len, uint8_t flags);
/* Text room for the 64 bytes of an FD frame, NUL included. */
#define BV_DATA_TEXT 224
void bv_fmt_ms(char *buf, size_t size, int64_t us);   /* "12.345", "" for negative */
void bv_fmt_rec_data(char *buf, size_t size, const bv_rec *r);
const char *bv_kind_text(uint8_t kind);
const char *bv_kind_background(uint8_t kind);   /* null for received frames */

/* ------------------------------------------------------------ trace model */

/* Columns of the trace model; all strings except BV_COL_KIND. */
enum {
    BV_COL_TIME,
    BV_COL_DIR,
    BV_COL_ID,
    BV_COL_MARKS,
    BV_COL_LEN,
    BV_COL_DATA,
    BV_COL_DELTA,
    BV_COL_BACKGROUND,
    BV_COL_KIND,
    BV_COL_CHAN,                  /* the channel's name */
    BV_COL_CHAN_BACKGROUND,       /* its mark */
    BV_N_COLS
};

struct BvTrace;
GType bv_trace_get_type(void);
#define BV_TYPE_TRACE (bv_trace_get_type())
#define BV_TRACE(o) (G_TYPE_CHECK_INSTANCE_CAST((o), BV_TYPE_TRACE, BvTrace))

/* A trace of capacity records, allocated once; null when the memory is
 * not there. */
BvTrace *bv_trace_new(uint32_t capacity);
uint32_t bv_trace_capacity(const BvTrace *t);
/* The text of a string column of the trace's row it, as its value reads,
 * formatted into buf (or static); null for an empty cell. */
const char *bv_trace_text(GtkTreeModel *trace, GtkTreeIter *it, int col, char *buf, size_t size);
/* Stores a record, dropping the oldest when the ring is full, and lists it
 * for the view when it passes the filter. */
void     bv_trace_append(BvTrace *t, const bv_rec *r);
/* Lines the view would show after the next sync. */
uint32_t bv_trace_listed(const BvTrace *t);
/* Lines the view shows now. */
uint32_t bv_trace_rows(const BvTrace *t);

/* Row signals the next bv_trace_sync would emit. */
uint32_t bv_trace_pending(const BvTrace *t);
/* Tells the view about the lines dropped and added since the last sync
 * (row-deleted at the top, row-inserted at the bottom). */
void     bv_trace_sync(BvTrace *t);
/* The same, at most max row signals; returns the row signals still due. */
uint32_t bv_trace_sync_some(BvTrace *t, uint32_t max);
/* Takes up to max rows from the end of what the view shows (a signal
 * each); returns the rows left. */
uint32_t bv_trace_unshow(BvTrace *t, uint32_t max);
/* Lines dropped at the top (gone from the ring, or beyond the rows the
 * view keeps) and added at the bottom alike, as a shift: the shown window
 * moves down as far as its first row must go and new lines allow,
 * without a signal, so the row count stays and row n reads the line k
 * further on. Returns k. A view that shows the end follows by scrolling
 * its pixels k rows up, so only the new rows are drawn; bv_trace_sync
 * then tells it about the rest. */
uint32_t bv_trace_shift(BvTrace *t);
/* The same without signals, for a model that is not attached to a view:
 * the view rebuilds its rows when the model is set again. */
void     bv_trace_sync_detached(BvTrace *t);
/* The view is to show at most the newest rows lines (0: all of them);
 * the syncs above bring it there. A view that follows the end needs no
 * more than a few screens of rows. The syncs only take rows from the top:
 * a view that is to keep more lines again takes them detached
 * (bv_trace_sync_detached), or from bv_trace_grow. */
void     bv_trace_keep(BvTrace *t, uint32_t rows);
/* A view that keeps all lines (keep 0) but does not show the oldest yet
 * takes up to max of them, the newest first, as rows inserted at the top
 * (a signal each); returns the lines still to come. */
uint32_t bv_trace_grow(BvTrace *t, uint32_t max);
uint32_t bv_trace_kept(const BvTrace *t);
/* Listed position of the view's first row: row n shows position
 * first + n. */
uint64_t bv_trace_first_shown(const BvTrace *t);

/* Operations that change the lines wholesale; call them detached. */
void     bv_trace_clear(BvTrace *t);
void     bv_trace_set_filter(BvTrace *t, const bv_filter *f);
/* A new filter applied in slices, so that a long trace does not hold up
 * the main loop: until bv_trace_refilter_finish the lines keep the old
 * filter. begin returns 0, or -1 when the memory is not there (use
 * bv_trace_set_filter then); step looks at up to max more records and
 * returns 1 when all have been looked at; excess is the number of rows
 * the view shows beyond the lines that pass the new filter, which an
 * attached view has taken (bv_trace_unshow) before finish; finish puts
 * the new lines in force: detached (attached 0), or for an attached view
 * whose remaining rows now read the new lines from the first on (redraw
 * it), told about the others by bv_trace_sync. Each row signal costs a
 * long view its time; reusing the rows saves the signals of as many. */
int      bv_trace_refilter_begin(BvTrace *t, const bv_filter *f);
int      bv_trace_refilter_step(BvTrace *t, uint32_t max);
uint32_t bv_trace_refilter_excess(BvTrace *t);
void     bv_trace_refilter_finish(BvTrace *t, int attached);
int      bv_trace_refiltering(const BvTrace *t);
/* Copies the frame lines the trace lists (received and sent, those that
 * pass the filter), oldest first, up to max; returns how many. */
uint32_t bv_trace_frames(const BvTrace *t, bv_rec *out, uint32_t max);
/* Marks the Tx line of the frame a Tx lost line names (channel, identifier,
 * format, bytes): the newest such line not marked yet, among the last
 * lines. False when none is found. */
bool     bv_trace_mark_lost(BvTrace *t, const bv_rec *lost);
/* Copies the newest records of src (as many as fit). */
void     bv_trace_copy_from(BvTrace *t, const BvTrace *src);

void     bv_trace_set_absolute(BvTrace *t, int absolute);

/* ------------------------------------------------- per-identifier table */

enum {
    BV_IDCOL_ID,
    BV_IDCOL_DIR,
    BV_IDCOL_MARKS,
    BV_IDCOL_LEN,
    BV_IDCOL_COUNT,
    BV_IDCOL_PERIOD,
    BV_IDCOL_DATA,                /* Pango markup: changed bytes highlighted */
    BV_IDCOL_BACKGROUND,
    BV_IDCOL_CHAN,
    BV_IDCOL_CHAN_BACKGROUND,
    BV_N_IDCOLS
};

/* The period column is the mean of the intervals before this many of the
 * identifier's latest frames: one interval alone jitters with the
 * adapter's time stamps and the 20 ms batches (a 10 ms message stamped on
 * arrival comes in pairs 0.6 ms apart). 16 intervals span whole batches
 * for periods of 20 ms divided by 1, 2, 4, 8 or 16. */
#define BV_PERIOD_FRAMES 16
#define BV_PERIOD_TIMES (BV_PERIOD_FRAMES + 1)

/* What a row shows: the entry as it stood at the last display update. */
struct bv_id_shown {
    uint64_t count;
    int64_t period_us;
    uint64_t changed;             /* bytes highlighted, a bit each */
    uint8_t len;
    uint8_t flags;                /* RTR, FDF, BRS, ESI of the last frame */
    uint8_t data[64];
};

/* What a frame touches comes first, in one cache line, then its time in
 * the ring and its bytes: a bus of many identifiers takes a frame of each
 * in turn, and each entry can be a cache miss. */
struct alignas(64) bv_id_entry {
    uint32_t id;
    uint8_t flags;                /* ZK_FRAME_EFF of the key; RTR, FDF, BRS, ESI of the last frame */
    uint8_t dir;                  /* BV_RX, BV_TX or BV_TX_LOST */
    uint8_t chan;                 /* as bv_rec.chan */
    uint8_t used;
    uint8_t len;
    uint8_t dirty;                /* counted since the last display update */
    uint8_t in_view;              /* has a row in the model */
    uint8_t ntimes;               /* times held, 0..BV_PERIOD_TIMES */
    uint32_t next_time;
    uint64_t count;
    int64_t t_last;
    uint64_t changed;             /* bytes changed since the last display update */
    bv_bits bits;                 /* of the last frame */
    int64_t times[BV_PERIOD_TIMES];   /* the latest frames' times, a ring from next_time */
    uint8_t data[64];
    bv_id_shown shown;            /* its row while in_view */
};

/* Mean interval in microseconds before each of the entry's latest frames
 * (up to BV_PERIOD_FRAMES of them); -1 before its second frame. */
int64_t bv_id_period(const bv_id_entry *e);

struct bv_ids {
    bv_id_entry *tab;             /* entries 0..used-1, in the order first counted */
    void *tab_mem;                /* tab's allocation (tab is aligned within it) */
    uint64_t *index;              /* open addressing, cap slots: key << 16 | entry + 1, 0 free */
    uint32_t cap;
    uint32_t used;
    uint32_t limit;               /* entries accepted before the table counts as full */
    int full;                     /* a frame's identifier found no room */
    uint32_t *order;              /* entries with a row, sorted as the rows */
    uint32_t norder;
    GtkTreeModel *model;          /* the rows: order[0..norder-1], read in place */
    int log;                      /* channels are a log's (bv_log_chan_name) */
};

int  bv_ids_init(bv_ids *ids, uint32_t cap);      /* 0 or -1 */
void bv_ids_free(bv_ids *ids);
/* Counts a frame; returns the time since the previous frame of the same
 * key (channel, identifier, format, direction), -1 for the first one or
 * when the table is full. bits, when not null, gets the frame's bits on
 * the bus: those of the key's previous frame when it was the same (a
 * periodic message mostly is). */
int64_t bv_ids_count(bv_ids *ids, uint8_t chan, uint32_t id, uint8_t flags, uint8_t dir,
                     int64_t t_us, uint8_t len, const uint8_t *data, bv_bits *bits = nullptr);
void bv_ids_clear(bv_ids *ids, GtkTreeView *view);
/* Brings the list store up to date: a row for every new entry that passes
 * f, and new contents for the rows that view shows now (all rows when view
 * is null); the others keep their changes until they are shown. */
void bv_ids_refresh(bv_ids *ids, const bv_filter *f, GtkTreeView *view);
/* Drops every row; the next refresh lists what passes the filter anew.
 * view, when not null, is detached meanwhile. */
void bv_ids_relist(bv_ids *ids, GtkTreeView *view);

/* ----------------------------------------------------------- plug-in state */

struct bv_rate_sample {
    int64_t t_us;                 /* wall clock */
    uint64_t frames;
    uint64_t bits;
    uint64_t data_bits;
};

#define BV_RATE_SAMPLES 11

struct bv_state {
    BvTrace *trace;               /* our reference; the view holds another */
    bv_ids ids;

    /* settings */
    int view;                     /* 0 trace, 1 per identifier */
    int absolute;                 /* time column: 0 relative, 1 wall clock */
    uint32_t history;
    char filter_text[BV_FILTER_TEXT];   /* the filter in force */
    bv_filter filter;

    int paused;
    int autoscroll;

    /* counters; they run while paused */
    uint64_t rx;
    uint64_t tx;                  /* Tx lines: written, lost or not */
    uint64_t lost;                /* of those, never sent (Tx lost lines) */
    uint64_t bits;                /* at the nominal rate */
    uint64_t data_bits;           /* FD data phases at the data rate */
    uint64_t dropped_while_paused;

    /* measurements for BUSVIEW_STATS (see busview.cpp) */
    uint64_t rx_main;             /* of rx, the main channel's */
    uint64_t rx_bits;
    uint64_t rx_data_bits;
    int64_t last_frame_us;        /* time of the newest frame counted */
    int64_t rx_first_us;
    int64_t rx_last_us;
    int64_t max_request_us;
    int64_t max_refresh_us;
    int64_t max_refresh_gap_us;
    int64_t last_refresh_us;

    bv_rate_sample rate[BV_RATE_SAMPLES];
    int nrate;
    int rate_head;

    /* session load in progress */
    int load_view, load_absolute, load_formats;
    char load_channel[NBKIT_CHAN_NAME];   /* "" for every channel */
    uint32_t load_history;
    char load_filter[BV_FILTER_TEXT];
    int load_has_filter;

    /* widgets (owned by the page) */
    GtkWidget *page;
    GtkWidget *w_view;
    GtkWidget *w_time;
    GtkWidget *w_pause;
    GtkWidget *w_clear;
    GtkWidget *w_autoscroll;
    GtkWidget *w_filter;
    GtkWidget *w_formats;
    GtkWidget *w_channel;
    GtkWidget *w_filter_msg;
    GtkWidget *w_history;
    GtkWidget *w_trace;
    GtkWidget *w_trace_sw;
    GtkWidget *w_ids;
    GtkWidget *w_ids_sw;
    GtkWidget *w_status;
    guint refresh_source;
    int64_t origin_shown;         /* the time origin the trace view was drawn with */
    int updating_widgets;         /* set while the code itself sets widget values */
};

extern bv_state bv;

/* cell.cpp: the views' text cells, "text" and "cell-background" as in
 * GTK's text cell, in the monospace font when mono is set. */
GtkCellRenderer *bv_cell_new(int mono);
/* Sets what the "text" and "cell-background" properties set (null for
 * none), without a property's notification. */
void bv_cell_set(GtkCellRenderer *cell, const char *text, const char *background);

/* page.cpp: a view column's cell data function (data: the model's column,
 * and its background's column << 16): the trace's records are formatted
 * straight into the cell, other models are read through their values. */
void bv_set_cell(GtkTreeViewColumn *column, GtkCellRenderer *cell, GtkTreeModel *model,
                 GtkTreeIter *it, gpointer data);

/* paint.cpp: a trace view's rows drawn in one pass per expose, to the
 * pixels GtkTreeView would draw, at a fraction of its cost. Every visible
 * column of the view is declared with its one cell and the cell data
 * function's data (cell null for a column that draws nothing); a view
 * with a column not declared is drawn by GtkTreeView. */
void bv_paint_column(GtkTreeViewColumn *column, GtkCellRenderer *cell, gpointer data);
void bv_paint_view(GtkWidget *view);
/* While a view's rows are drawn on window, the cairo context the whole
 * expose draws with (a cell saves and restores its state); null
 * otherwise. */
cairo_t *bv_paint_cairo(GdkDrawable *window);

/* busview.cpp: the stream's frames, and error and status lines of the
 * channel nbkit_channel() names. */
void bv_add_stream(const nb_stream_frame *frames, int n, uint64_t req_ts);
void bv_add_errors(const zk_errs *errs, uint64_t req_ts);
void bv_add_status(const nb_chan_status *st, uint64_t req_ts);

/* page.cpp */
GtkWidget *bv_page_build(void);
void bv_page_release(void);
void bv_refresh(void);            /* what the timer does, callable directly */
void bv_apply_view(int view);
void bv_apply_time_mode(int absolute);
int  bv_apply_filter_text(const char *text);   /* 0, or -1 with the message shown */
void bv_apply_formats(int formats);            /* bv_formats */
/* One channel by its name, or every channel (null or empty). */
void bv_apply_channel(const char *name);
/* The channel choice lists the channels there are now. */
void bv_channels_changed(void);
int  bv_apply_history(uint32_t history);       /* 0, or -1 when memory is short */
void bv_do_clear(void);
void bv_set_paused(int paused);
void bv_sync_widgets(void);       /* widgets show the settings in force */
/* The views with their columns; the trace view's model is set by the
 * caller, the per-identifier view shows model. */
GtkWidget *bv_build_trace_view(const char *name);
GtkWidget *bv_build_ids_view(GtkTreeModel *model, const char *name);
/* child in a scrolled window, shown, whose visibility is the page's. */
GtkWidget *bv_scrolled(GtkWidget *child);

/* savetrace.cpp: "Save trace as...", the trace's frames into a log file
 * written by a thread of its own. */
GtkWidget *bv_save_button(void);
GtkWidget *bv_save_message(void);   /* progress and outcome, hidden until a save */
void bv_save_release(void);         /* waits for a save that runs */

/* logview.cpp: a log file shown instead of the live traffic. */
GtkWidget *bv_log_open_button(void);
void bv_log_build(GtkWidget *page);   /* the bar and views, hidden */
void bv_log_release(void);
/* Opens the file (file system encoding) and shows it; 0, or -1 with the
 * message shown. */
int  bv_log_open(const char *path);
void bv_log_close(void);          /* back to the live traffic */
int  bv_log_active(void);
/* Shows the log's view (0 trace, 1 per identifier) when a log is open. */
void bv_log_show_view(int view);
void bv_log_set_filter(const bv_filter *f);
void bv_log_redraw(void);         /* the time mode changed */
void bv_log_refresh(void);        /* from the refresh timer */
/* The channels the open log has shown so far (below 64, a bit each). */
uint64_t bv_log_channels(void);

#endif /* BUSVIEW_H */
