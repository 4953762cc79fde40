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

/* Whether plan step s of m is in n data bytes: they hold its bits and,
 * for a multiplexed signal, its multiplexor (earlier in the plan, in out)
 * is there with a value in the step's ranges. */
inline bool dbc_step_on(const dbc_message *m, const dbc_step &s, const dbc_value *out, unsigned n)
{
    if (s.need > n)
        return false;
    if (s.sw < 0)
        return true;
    const dbc_value &w = out[s.sw];
    if (!w.active)
        return false;
    const dbc_mux_range *ranges = m->plan_ranges.data();
    for (uint32_t r = s.range_first; r < s.range_first + s.range_count; r++)
        if (w.raw >= ranges[r].lo && w.raw <= ranges[r].hi)
            return true;
    return false;
}

/* Cuts s back to whole UTF-8 characters (a formatted text may end in the
 * middle of one). */
void dbc_utf8_trim(char *s);

#endif
