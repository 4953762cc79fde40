/*
 * diagnostics.h - the diagnostics plug-in: diagnostic conversations (ISO-TP
 * carrying UDS and OBD-II) and J1939 messages decoded from the live bus
 * or a log file, listed one row per request and response or per
 * reassembled message, with a tester that sends a request at the user's
 * command.
 */
#ifndef DIAGNOSTICS_H
#define DIAGNOSTICS_H

#include <glib/gi18n-lib.h>
#include <gtk/gtk.h>
#include <stdint.h>

#include "diag.h"
#include "nimbrel/kit.h"

/* ------------------------------------------------------------- rows */

enum dgp_proto : uint8_t { DGP_UDS = 0, DGP_OBD = 1, DGP_ISOTP = 2, DGP_J1939 = 3 };

enum dgp_status : uint8_t {
    DGS_WAITING = 0,     /* request, no answer yet */
    DGS_OK = 1,          /* positive response */
    DGS_NEGATIVE = 2,    /* negative response */
    DGS_PENDING = 3,     /* "response pending" seen, final answer due */
    DGS_NO_RESPONSE = 4, /* time ran out */
    DGS_SUPPRESSED = 5,  /* the request asked for no positive response */
    DGS_UNASKED = 6,     /* a response whose request was not seen */
    DGS_MESSAGE = 7,     /* a J1939 message */
    DGS_ERROR = 8,       /* a transfer that could not be reassembled */
};

struct dgp_row {
    int64_t t_us;             /* request, message or error: its last frame (bus clock), so
                               * that rows, made when a message is whole, are in time order */
    int64_t t_resp_us;        /* response's last frame, 0 none; J1939: the message's first */
    int64_t t_pend_us;        /* the first "response pending" answer, 0 none */
    uint64_t req_off, resp_off;
    uint32_t req_len, resp_len;
    uint32_t src, dst;        /* ISO-TP: identifiers (dst: the answering one); J1939: SA, DA */
    uint32_t pgn;
    uint32_t declared, expect, got;
    uint16_t err;             /* DGS_ERROR: itp_code, or 100 + j19_code */
    uint8_t proto, status;
    uint8_t src_ext, dst_ext;
    uint8_t src_ae, dst_ae;   /* extended/mixed addressing bytes, with mode */
    uint8_t src_mode, dst_mode;
    uint8_t prio, via;
    uint8_t fd, tx;
    uint8_t bad_what, reason;
    uint8_t functional;
    uint8_t pendings;         /* "response pending" answers seen (at most 255) */
    uint8_t chan;             /* the channel index it was found on (live rows) */
    uint8_t reserved[3];
};

/* Rows and their bytes, in rings: the oldest rows and bytes give way. */
struct dgp_store {
    GMutex lock;              /* a log file's rows are added by its reading thread */
    dgp_row *rows;
    uint32_t cap;
    uint64_t first, next;     /* row sequence numbers kept: first .. next - 1 */
    uint8_t *arena;
    uint64_t acap, afirst, anext;
    int64_t t0_us;            /* the first frame's time, for relative times */
    int have_t0;
    int host_origin;          /* times count from the program's origin instead */
    uint64_t dropped;         /* rows given way */
    /* Rows changed in place (an answer came) since the page last looked;
     * more than fit: overflow. */
    uint64_t updated[32];
    uint32_t nupdated;
    int updated_overflow;
};

int dgp_store_init(dgp_store *s, uint32_t rows, uint64_t bytes);
void dgp_store_free(dgp_store *s);
void dgp_store_clear(dgp_store *s);
/* Called with the lock held. */
const dgp_row *dgp_store_row(const dgp_store *s, uint64_t seq);
const uint8_t *dgp_store_bytes(const dgp_store *s, uint64_t off, uint32_t len);

/* The decoder's events into rows of a store (lock taken inside); returns
 * the row's handle. Single-frame J1939 parameter groups other than the
 * network management and diagnostic ones are left out unless singles. */
uint64_t dgp_store_event(dgp_store *s, itp_decoder *tp, const dg_event *ev, int singles,
                         int chan);

/* Column texts of a row (lock held). */
enum {
    DGP_COL_TIME = 0,
    DGP_COL_ADDR,
    DGP_COL_PROTO,
    DGP_COL_SERVICE,
    DGP_COL_LEN,
    DGP_COL_STATUS,
    DGP_COL_SUMMARY,
    DGP_N_COLS
};
void dgp_row_text(const dgp_store *s, const dgp_row *r, int col, char *out, size_t size);
/* The whole of a row for the details pane and exports. */
void dgp_row_details(const dgp_store *s, const dgp_row *r, GString *out);
const char *dgp_proto_name(uint8_t proto);
const char *dgp_status_text(uint8_t status);
const dg_texts *dgp_texts(void);

/* ------------------------------------------------------ list and filter */

enum dgp_show : uint8_t { DGF_ALL = 0, DGF_UDS, DGF_OBD, DGF_J1939, DGF_PROBLEMS };

struct dgp_filter {
    uint8_t show;                /* dgp_show */
    char text[128];              /* case-folded substring, empty: any */
};
bool dgp_filter_match(const dgp_store *s, const dgp_filter *f, const dgp_row *r);

/* The list model: the rows of a store that pass a filter. The view is
 * told about changes only by dgp_list_sync. */
typedef struct DgpList DgpList;
GType dgp_list_get_type(void);
DgpList *dgp_list_new(dgp_store *store);
void dgp_list_set_store(DgpList *l, dgp_store *store);
void dgp_list_set_filter(DgpList *l, const dgp_filter *f);
/* Brings the model up to the store: rows gone and new rows. */
void dgp_list_sync(DgpList *l);
/* Tells the view that the row of this sequence number changed; false
 * when it is not among the last rows listed. */
bool dgp_list_row_changed(DgpList *l, uint64_t seq);
uint32_t dgp_list_rows(DgpList *l);
/* Rows the view has not been told about yet (new, or gone from the
 * store), whether or not the filter will list them. */
uint64_t dgp_list_pending(DgpList *l);
/* The row sequence number at a view position, or UINT64_MAX. */
uint64_t dgp_list_seq(DgpList *l, uint32_t pos);

/* ------------------------------------------------------------ state */

#define DGP_LIVE_ROWS 50000u
#define DGP_LIVE_BYTES (8u << 20)
#define DGP_REFRESH_MS 250

#define DGP_CHANS 16              /* channels with a decoder of their own */

struct dgp_state {
    dg_decoder *dec;             /* the main channel's (decs[0]) */
    dg_decoder *decs[DGP_CHANS]; /* one per channel of the window */
    int nchan;
    dg_config cfg;
    dgp_store live;

    int have_clock;              /* a frame came */

    /* The bus clock as last seen: the newest frame and when it came. */
    int64_t seen_bus_us, seen_wall_us;

    /* Settings (session keys). */
    char pairs_text[512];        /* the user's pairs: "7E0/7E8; 18DA10F1/18DAF110" */
    char filter_text[128];
    int show;                    /* dgp_show */
    int presets, find_pairs, j1939, j1939_singles;
    char j1939_db[1024];         /* a J1939 DBC file, UTF-8; empty: none */
    int j1939_db_loaded;
    int paused;

    /* Page. */
    GtkWidget *page;
    GtkWidget *view, *view_sw, *details, *status_label, *filter_entry, *show_combo;
    GtkWidget *log_button, *back_button, *log_bar, *log_label, *log_progress;
    GtkWidget *pause_button;
    DgpList *list;
    guint refresh_source;
    int updating;
};

extern dgp_state dgp;

/* diagnostics.cpp */
int64_t dgp_now_us(void);
void dgp_tick(void);
void dgp_apply_config(void);

/* page.cpp */
GtkWidget *dgp_page_build(void);
void dgp_page_release(void);
void dgp_page_refresh(void);
void dgp_page_message(const char *text, int error);
void dgp_label_set(GtkWidget *label, const char *text, int error);
void dgp_page_sync_widgets(void);
void dgp_page_fit_addresses(void);
/* The divider between the list and the details (key DetailsPane). */
void dgp_page_save_pane(void *file);
bool dgp_page_pane_key(const pgrp_session_key *key);

/* tester.cpp */
GtkWidget *dgp_tester_build(void);
void dgp_tester_release(void);
void dgp_tester_pairs_changed(void);
void dgp_tester_frame(const dg_frame *f);
/* The channel index the tester asks on. */
int dgp_tester_chan(void);
void dgp_tester_channels_changed(void);
void dgp_tester_status(void);
void dgp_tester_event(const dg_event *ev, uint64_t handle);
bool dgp_tester_owns(const dg_event *ev);
void dgp_tester_save(void *file);
void dgp_tester_load_key(const pgrp_session_key *key);

/* logfile.cpp */
int dgp_log_open(const char *path, char *msg, size_t msg_size);
void dgp_log_close(void);
int dgp_log_active(void);
dgp_store *dgp_log_store(void);
void dgp_log_progress(char *text, size_t size, double *fraction, int *done);

/* csv.cpp: 0 or the errno of the failure. */
int dgp_export_csv(const char *path, dgp_store *s, DgpList *list);

/* j1939db.cpp */
int dgp_j1939_load(const char *path, char *msg, size_t msg_size);
void dgp_j1939_free(void);
void dgp_j1939_signals(dgp_store *s, uint64_t seq, GString *out);
bool dgp_j1939_summary(uint32_t pgn, const uint8_t *data, uint32_t len, char *out, size_t size);

/* Parses the user's pairs "REQ/RESP" separated by ';' or ','; an id of 8
 * digits is 29-bit; "REQ:AE/RESP:AE" extended addressing, "REQ@AE/RESP"
 * mixed. Returns pairs filled or -1 with the offending item in bad. */
int dgp_parse_pairs(const char *text, itp_pair *out, int max, char *bad, size_t bad_size);
void dgp_format_pair(const itp_pair *p, char *out, size_t size);

#endif /* DIAGNOSTICS_H */
