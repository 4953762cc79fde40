/*
 * isotp.h - ISO-TP (ISO 15765-2) observed on a bus: single, first,
 * consecutive and flow-control frames of both directions of an address
 * pair are reassembled into messages, classic frames and CAN FD frames
 * alike (FD single frames with the escaped length, first frames with the
 * 32-bit length).
 *
 * The decoder only watches: it never answers a first frame. What it cannot
 * reassemble whole it reports as an error event with the bytes it had (a
 * wrong sequence number, a flow control that says overflow, a timeout, a
 * message cut off by a new one), never as a message.
 *
 * Address pairs come from three places: presets (11-bit 7DF and
 * 7E0-7E7/7E8-7EF; the 29-bit normal-fixed 18DA/18DB and mixed 18CE/18CD
 * forms, taken up when a frame on them is seen), pairs the user gives, and
 * pairs found in the traffic: a first frame on one identifier, a flow
 * control on another within N_Bs and the first consecutive frame after it.
 *
 * Memory is taken once, when the decoder is made; feeding a frame never
 * allocates.
 */
#ifndef ISOTP_H
#define ISOTP_H

#include "dgframe.h"

/* Addressing of one direction: the identifier, and for extended and mixed
 * addressing the first data byte (target address or address extension). */
enum itp_mode : uint8_t { ITP_NORMAL = 0, ITP_EXTENDED = 1, ITP_MIXED = 2 };

struct itp_addr {
    uint32_t id;
    uint8_t ext;                 /* 29-bit identifier */
    uint8_t mode;                /* itp_mode */
    uint8_t ae;                  /* extended/mixed: the first data byte */
    uint8_t reserved;
};

enum itp_origin : uint8_t { ITP_PRESET = 0, ITP_USER = 1, ITP_FOUND = 2 };

/* A pair: the tester's requests go to req, the ECU answers on resp. A
 * functional pair has only req (single-frame requests to many ECUs, which
 * answer on their own physical pairs). */
struct itp_pair {
    itp_addr req;
    itp_addr resp;
    uint8_t functional;
    uint8_t origin;              /* itp_origin */
    uint8_t reserved[2];
};

/* Which side of its pair sent a message. */
enum itp_dir : uint8_t { ITP_DIR_REQ = 0, ITP_DIR_RESP = 1 };

enum itp_code : int {
    ITP_MESSAGE = 0,         /* a whole message */
    ITP_PAIR_FOUND = 1,      /* a pair was found in the traffic (pair) */
    ITP_E_SEQUENCE = 2,      /* consecutive frame with sequence number got, expected expect */
    ITP_E_TIMEOUT_BS = 3,    /* no flow control within N_Bs of the first frame or a wait */
    ITP_E_TIMEOUT_CR = 4,    /* no consecutive frame within N_Cr */
    ITP_E_OVERFLOW = 5,      /* the receiver's flow control said overflow */
    ITP_E_INTERRUPTED = 6,   /* a new single or first frame cut the message off */
    ITP_E_UNEXPECTED_CF = 7, /* consecutive frames with no first frame before them */
    ITP_E_BAD_FRAME = 8,     /* not a valid frame of its type (bad_what says how) */
    ITP_E_TOO_LONG = 9,      /* the first frame announces more than the decoder keeps */
    ITP_E_BUSY = 10,         /* more messages at once than the decoder reassembles */
};

enum itp_bad : uint8_t {
    ITP_BAD_TYPE = 0,        /* frame type 4..15 */
    ITP_BAD_SF_LENGTH = 1,   /* single frame: length 0 or beyond the frame */
    ITP_BAD_FF_LENGTH = 2,   /* first frame: length fits a single frame, or frame too short */
    ITP_BAD_CF_LENGTH = 3,   /* consecutive frame shorter than the first frame, not the last */
    ITP_BAD_FLOW_STATUS = 4, /* flow control with flow status 3..15 (value in got) */
    ITP_BAD_FC_LENGTH = 5,   /* flow control shorter than 3 bytes */
};

/* One event. Data and the pointer to it are valid only during the call. */
struct itp_event {
    int code;                    /* itp_code */
    int pair;                    /* index of the pair (itp_get_pair) */
    uint8_t dir;                 /* itp_dir of the sender of the message */
    uint8_t fd;                  /* carried by CAN FD frames */
    uint8_t tx;                  /* sent through this program */
    uint8_t bad_what;            /* ITP_E_BAD_FRAME: itp_bad */
    uint32_t expect, got;        /* ITP_E_SEQUENCE: sequence numbers; ITP_E_BAD_FRAME: values */
    uint64_t t_first, t_last;    /* first and last frame of the message (errors: so far) */
    itp_addr src;                /* the sender's address */
    uint32_t declared;           /* length the first frame announced (0 for single frames) */
    uint32_t frames;             /* frames of the message seen */
    const uint8_t *data;         /* the message; errors: the bytes received so far */
    uint32_t len;
};

typedef void (*itp_event_fn)(void *ctx, const itp_event *ev);

struct itp_config {
    uint32_t n_bs_ms;            /* flow control after a first frame or a wait: 1000 */
    uint32_t n_cr_ms;            /* consecutive frame after the one before: 1000 */
    uint32_t max_len;            /* longest message kept: 65535 (at most 1 MiB) */
    uint8_t preset_11bit;        /* 7DF, 7E0-7E7 / 7E8-7EF */
    uint8_t preset_29bit;        /* 18DA/18DB normal fixed, 18CE/18CD mixed (priority any) */
    uint8_t find_pairs;          /* learn pairs from first frame and flow control */
    uint8_t reserved;
};

/* The defaults above. */
void itp_config_default(itp_config *cfg);

#define ITP_MAX_PAIRS 128
#define ITP_MAX_ENDPOINTS 256
#define ITP_BUFFERS 32           /* multi-frame messages reassembled at once */

struct itp_decoder;

/* A decoder with the configuration's presets; null when out of memory. */
itp_decoder *itp_new(const itp_config *cfg, itp_event_fn fn, void *ctx);
void itp_free(itp_decoder *d);

/* Adds a pair (origin ITP_USER unless set otherwise). Returns its index,
 * the index of the same pair when it is known already, or -1 when the
 * table is full or the pair is not valid (both directions on one address,
 * an address used by another pair). */
int itp_add_pair(itp_decoder *d, const itp_pair *p);
/* Forgets all pairs and messages in progress and starts again with the
 * presets of cfg (null: the decoder's own configuration). */
void itp_reset(itp_decoder *d, const itp_config *cfg);

int itp_pair_count(const itp_decoder *d);
const itp_pair *itp_get_pair(const itp_decoder *d, int index);
/* The pair whose req or resp is this address (dir set accordingly), or -1.
 * data: the frame's data, for extended and mixed addressing. */
int itp_find_pair(const itp_decoder *d, uint32_t id, int ext, uint8_t first_byte, uint8_t *dir);

/* Takes one frame. Returns 1 when the frame belongs to an ISO-TP address
 * (it was decoded here), 0 when it does not. Frames must come in time
 * order; a message whose timeout passed before this frame's time is
 * reported first. */
int itp_feed(itp_decoder *d, const dg_frame *f);
/* Reports the timeouts that have passed by now_us. */
void itp_tick(itp_decoder *d, uint64_t now_us);

/* Single-frame and first-frame lengths: the payload bytes a frame of
 * frame_len bytes carries after pci_off bytes of addressing. */
struct itp_pci {
    uint8_t type;                /* 0 SF, 1 FF, 2 CF, 3 FC, 4..15 other */
    uint8_t sn;                  /* CF: sequence number; FC: flow status */
    uint8_t bs, stmin;           /* FC */
    uint8_t head;                /* bytes before the payload (addressing byte included) */
    uint8_t valid;               /* SF/FF/FC lengths and fields as the standard wants */
    uint8_t bad;                 /* itp_bad when not valid */
    uint8_t reserved;
    uint32_t length;             /* SF: payload length; FF: message length */
};
/* Reads the protocol control information of one frame. */
void itp_parse_pci(const uint8_t *data, unsigned len, unsigned pci_off, itp_pci *out);

/* STmin as the flow control codes it, in microseconds (0x00-0x7F ms,
 * 0xF1-0xF9 100-900 us; reserved values count as 127 ms). */
uint32_t itp_stmin_us(uint8_t stmin);

/* Frames that carry one message, for a sender: fills up to max frames'
 * data and lengths (first frame, then consecutive frames) and returns
 * how many the whole message needs (which may be more than max), or 0
 * when len is 0 or too long for the frame size. frame_len: 8 for classic
 * CAN, 8..64 for FD; pad: the byte that fills classic frames to 8
 * (-1: no padding, frames as short as their data). */
struct itp_tx_frame {
    uint8_t len;
    uint8_t data[DG_FRAME_DATA];
};
uint32_t itp_segment(const uint8_t *msg, uint32_t len, unsigned frame_len, const itp_addr *a,
                     int pad, itp_tx_frame *out, uint32_t first, uint32_t max);
/* The flow control a receiver sends: FS 0 (continue), 1 (wait), 2 (overflow). */
void itp_flow_control(const itp_addr *a, uint8_t fs, uint8_t bs, uint8_t stmin, int pad,
                      itp_tx_frame *out);

/* Sending one message: the first frame, then consecutive frames as the
 * receiver's flow control allows (block size, separation time, waits),
 * with the N_Bs timeout for each flow control. The sender never sends by
 * itself: itp_send_poll says which frames are due and when to ask again. */
enum itp_send_state : uint8_t {
    ITP_SEND_IDLE = 0,
    ITP_SEND_WAIT_FC = 1,    /* first frame or block sent, waiting for flow control */
    ITP_SEND_CF = 2,         /* sending consecutive frames */
    ITP_SEND_DONE = 3,       /* every frame sent */
    ITP_SEND_FAILED = 4,     /* result says why: an itp_code */
};

struct itp_sender {
    uint8_t state;           /* itp_send_state */
    uint8_t frame_len;       /* 8 classic; 8..64 FD */
    uint8_t bs, bs_left;     /* block size of the last flow control, frames left in the block */
    int16_t pad;             /* classic frames: fill byte, -1 none */
    uint16_t waits;          /* flow controls "wait" in a row */
    int result;              /* ITP_E_TIMEOUT_BS, ITP_E_OVERFLOW or ITP_E_BAD_FRAME when failed */
    itp_addr to;             /* where the frames go */
    itp_addr from;           /* where the receiver's flow control comes from */
    uint32_t len, next;      /* message length; frame index of the next frame (0: first) */
    uint32_t total;          /* frames of the whole message */
    uint32_t stmin_us;
    uint64_t due_us;         /* when the next consecutive frame may go */
    uint64_t deadline_us;    /* N_Bs of the flow control awaited */
    uint32_t n_bs_us;
    uint16_t max_waits;      /* N_WFTmax: waits accepted in a row */
    const uint8_t *msg;      /* the caller's copy, kept until done */
};

/* Starts a message (the caller keeps msg until the sender is done).
 * Returns 0, or -1 when it is empty or too long for the frame size. */
int itp_send_start(itp_sender *s, const uint8_t *msg, uint32_t len, const itp_addr *to,
                   const itp_addr *from, unsigned frame_len, int pad, uint32_t n_bs_ms,
                   uint64_t now_us);
/* A frame received while sending: a flow control from the receiver is
 * taken. Returns 1 when it was one. */
int itp_send_on_frame(itp_sender *s, const dg_frame *f);
/* The frames due at now_us, up to max, into out; returns how many. When it
 * returns with frames still to send, *next_us says when to ask again
 * (0: as soon as the flow control arrives). Timeouts are found here. */
int itp_send_poll(itp_sender *s, uint64_t now_us, itp_tx_frame *out, int max, uint64_t *next_us);

#endif /* ISOTP_H */
