/*
 * dbc_internal.h - what the DBC reader's parts share and nothing else uses.
 */
#ifndef NB_DBC_INTERNAL_H
#define NB_DBC_INTERNAL_H

#include "dbc.h"

/* Signals one message may hold (multiplexed ones share bits). */
#define DBC_MAX_SIGNALS 8192

/* An SG_MUL_VAL_ line, resolved once every signal is known. */
struct dbc_pending_mux {
    int message = -1, signal = -1;
    std::string switch_name;
    std::vector<dbc_mux_range> ranges;
    int line = 0, column = 0;
};

/* The signal's bits lie within DBC_MAX_MESSAGE_BYTES. */
bool dbc_signal_fits(const dbc_signal &s);

/* Resolves multiplexing and the attributes the decoder uses, and builds
 * the decode plans and the identifier table. Returns 0, or -1 with err
 * filled. */
int dbc_finish(dbc_db *db, const std::vector<dbc_pending_mux> &pending, dbc_error *err);

#endif
