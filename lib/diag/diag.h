/*
 * diag.h - one stream of frames read as diagnostic conversations and
 * J1939 messages: ISO-TP messages on the known address pairs are read as
 * UDS or OBD-II requests and responses, and each response is matched with
 * the request it answers (by pair and service; a functional request
 * collects the answers of every ECU); 29-bit frames that no ISO-TP pair
 * takes go to the J1939 decoder.
 *
 * The caller receives events and keeps what it shows. A request's event
 * returns a handle of the caller's choosing, which comes back with the
 * response, a "response pending" and the timeout of that request.
 */
#ifndef DIAG_H
#define DIAG_H

#include "dgframe.h"
#include "isotp.h"
#include "j1939.h"
#include "uds.h"

enum dg_kind : int {
    DG_REQUEST = 0,       /* a UDS/OBD-II request (tp); the callback's result is its handle */
    DG_RESPONSE = 1,      /* a response (tp); handle: its request's, 0 when none was seen */
    DG_PENDING = 2,       /* a "response pending" (NRC 78) for the request handle (tp) */
    DG_NO_RESPONSE = 3,   /* no response within P2 (or P2* after a pending) to handle */
    DG_TP_ERROR = 4,      /* an ISO-TP message that could not be reassembled (tp) */
    DG_PAIR_FOUND = 5,    /* an address pair found in the traffic (tp) */
    DG_J1939 = 6,         /* a J1939 message (j) */
    DG_J1939_ERROR = 7,   /* a J1939 transfer that could not be reassembled (j) */
};

struct dg_event {
    int kind;                    /* dg_kind */
    uint64_t handle;
    uint64_t t_us;               /* DG_NO_RESPONSE: when the time ran out */
    const itp_event *tp;
    const j19_event *j;
};

/* Returns the handle for DG_REQUEST (0 for none); ignored otherwise. */
typedef uint64_t (*dg_event_fn)(void *ctx, const dg_event *ev);

struct dg_config {
    itp_config tp;
    j19_config j1939;
    uint8_t j1939_on;            /* read 29-bit frames as J1939: 1 */
    uint8_t reserved[3];
    uint32_t p2_ms;              /* a response is due within this: 1000 */
    uint32_t p2star_ms;          /* after a "response pending": 5000 */
};
void dg_config_default(dg_config *cfg);

#define DG_PENDING_MAX 64        /* requests awaiting their response */

struct dg_decoder;
dg_decoder *dg_new(const dg_config *cfg, dg_event_fn fn, void *ctx);
void dg_free(dg_decoder *d);
/* Starts again with a configuration (null: the current one): pairs found
 * and requests awaiting an answer are forgotten. The user's pairs must be
 * added again. */
void dg_reset(dg_decoder *d, const dg_config *cfg);
const dg_config *dg_get_config(const dg_decoder *d);
itp_decoder *dg_isotp(dg_decoder *d);

/* Frames in time order. */
void dg_feed(dg_decoder *d, const dg_frame *f);
/* Reports the timeouts that passed by now_us (the bus may be silent). */
void dg_tick(dg_decoder *d, uint64_t now_us);

#endif /* DIAG_H */
