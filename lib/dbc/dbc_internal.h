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

/* What the parser hands on to dbc_finish besides the database. */
struct dbc_build {
    std::vector<dbc_pending_mux> pending;
    /* Signals read but found broken later (message, signal index); their
     * problem is listed already. */
    std::vector<std::pair<int, int>> drop;
    /* Names of the signals skipped while reading (message index, name). */
    std::vector<std::pair<int, std::string>> skipped;
};

/* The signal's bits lie within DBC_MAX_MESSAGE_BYTES. */
bool dbc_signal_fits(const dbc_signal &s);

/* Lists a problem (up to DBC_MAX_PROBLEMS, then counts it). */
void dbc_add_problem(dbc_db *db, int line, int column, uint8_t kind, std::string text);

/* Resolves multiplexing, drops the signals that cannot be decoded (each
 * listed as a problem), applies long names and the attributes the decoder
 * uses, and builds the decode plans and the identifier table. */
void dbc_finish(dbc_db *db, dbc_build &build);

/* Cuts s back to whole UTF-8 characters (a formatted text may end in the
 * middle of one). */
void dbc_utf8_trim(char *s);

#endif
