/*
 * chan.h - the channel: its record nb_chan, the operations behind
 * nb_chan_ops, the tx log and the frame records. Outside src/can the
 * operations are reached through nb_chan_ops.
 */
#ifndef NB_CAN_CHAN_H
#define NB_CAN_CHAN_H

#include <pthread.h>

#include "app/nb_defs.h"
#include "nimbrel/nimbrel.h"
#include "zelk.h"

#define NB_RX_BATCH 512           /* frames per request, per direction */
#define NB_TXLOG_CAPACITY 1024
#define NB_TXLOG_ENTRY_SIZE 88        /* nb_tx_fd_entry: classic and FD frames alike */
#define NB_DATA_KBIT_DEFAULT 2000     /* data-phase bit rate of a CAN FD channel */
/* Frames written kept by number until their fate is known: four times the
 * deepest adapter queue (1024), a power of two. */
#define NB_SENT_RING 4096

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
    /* The last frames written, by the number the library gave them: frame
     * seq is in slot seq % NB_SENT_RING while sent_next - seq is 1..sent_n. */
    nb_tx_fd_entry *sent;         /* NB_SENT_RING entries */
    uint32_t sent_next;           /* number after the newest kept */
    uint32_t sent_n;              /* frames kept, up to NB_SENT_RING */
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
    uint8_t txresult;             /* opened with ZK_OPEN_TXRESULT: the fates of writes are read */
    uint32_t tx_seq;              /* the library's number of the next frame written (send lock) */
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
    zk_errs errs;                 /* the last error events the poller read (any set) */
    uint32_t errs_reads;          /* counts those reads; the window watches it */
    nb_txlog *txlog;              /* owned; null when allocation failed */
    struct nb_stream_chan *stream; /* an added channel's part of the stream, owned */
    struct nb_retry *retry;       /* the attempts to open it again while lost, owned */
    zk_fdframe rxfd[NB_RX_BATCH]; /* receive batch of the poller */
    nb_tx_fd_entry txbatch_fd[NB_RX_BATCH];   /* tx log batch of the poller */
    zk_frame rxbuf[NB_RX_BATCH];  /* the classic frames of a batch, for plug-ins */
    nb_tx_entry txbatch[NB_RX_BATCH];         /* that know classic frames only */
    nb_chan_ops ops;
};

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
 * library's failure (the channel then stays lost). On a record no other
 * thread uses: the retry's copy. */
int32_t     chan_reopen_lost(nb_chan *chan);
/* reopen.cpp: from the status tick, while the channel is lost: starts an
 * attempt to open it again on a thread of its own, or takes the result
 * of the one that ended. 0 when the channel is back (open, stopped);
 * ZK_E_BUSY while an attempt runs; else the failure of the last one. */
int32_t     chan_retry_step(nb_chan *chan);
/* Waits for an attempt under way and closes what it opened, so that the
 * record's channel can be opened, closed or freed. Nothing when none. */
void        chan_retry_settle(nb_chan *chan);
/* tx log (txlog.cpp) */
nb_txlog   *txlog_new(void);                         /* null when allocation fails */
void        txlog_free(nb_txlog *log);
void        txlog_append(nb_txlog *log, const nb_tx_fd_entry *entry);  /* null log: nothing */
/* The same for a frame the library numbered seq: kept by that number too,
 * in the same step. */
void        txlog_append_seq(nb_txlog *log, const nb_tx_fd_entry *entry, uint32_t seq);
/* The frame written as seq; false when it is older than the ring holds
 * (or was never kept). */
bool        txlog_sent_find(nb_txlog *log, uint32_t seq, nb_tx_fd_entry *out);
/* Forgets the numbered frames (the channel was opened again: numbers
 * start from 0). */
void        txlog_sent_reset(nb_txlog *log);
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

/* Highest bit-rate index; 0 is the manual rate. */
#define NB_BAUD_INDEX_MAX 9
#define NB_BAUD_INDEX_DEFAULT 7
/* Result of set_baud for an index outside 0..9. */
#define NB_BAUD_E_INDEX (-6)
/* Display names are this long, blank-padded. */
#define NB_BAUD_NAME_LEN 25

/* bitrate.cpp */
int32_t     chan_set_baud(nb_chan *chan, int32_t index, uint8_t bt0, uint8_t bt1);
void        chan_get_baud_regs(nb_chan *chan, int32_t index, uint8_t *bt0, uint8_t *bt1);
const char *chan_baud_name(int32_t index);
/* CAN FD channels only (else ZK_E_NOFD): data rate in kbit/s (1..65535),
 * sample point in permille (0: the adapter's default). */
int32_t     chan_set_data_rate(nb_chan *chan, uint32_t kbit, uint16_t sample_point);
int32_t     chan_autobaud(nb_chan *chan, int32_t method, int32_t timeout_ms,
                          nb_autobaud_cb progress, void *progress_data,
                          nb_autobaud_cb tick, void *tick_data);

#endif /* NB_CAN_CHAN_H */
