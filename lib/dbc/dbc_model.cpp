/*
 * dbc_model.cpp - what the reader does once the whole file is read:
 * multiplexors are tied to the signals they select, the attributes the
 * decoder uses are applied, and every message gets its decode plan; then
 * the identifier table, the value-table and attribute look-ups.
 */
#include "dbc.h"
#include "dbc_internal.h"

#include <stdio.h>
#include <string.h>

#include <algorithm>

namespace {

constexpr unsigned MAX_BITS = DBC_MAX_MESSAGE_BYTES * 8;

/* Sequential bit position of a Motorola signal's most significant bit,
 * counting from the first byte's MSB. */
unsigned motorola_msb(unsigned start) { return (start / 8) * 8 + 7 - start % 8; }

int fail(dbc_error *err, int line, int column, const char *text)
{
    err->line = line;
    err->column = column;
    snprintf(err->message, sizeof err->message, "%s", text);
    return -1;
}

int tie_multiplexors(dbc_message &m, dbc_error *err)
{
    int top = -1, tops = 0;
    for (size_t i = 0; i < m.signals.size(); i++)
        if (m.signals[i].mux_role == DBC_MUXOR) {
            if (top < 0)
                top = (int)i;
            tops++;
        }
    char text[256];
    for (dbc_signal &s : m.signals) {
        if (s.switch_index >= 0 ||
            (s.mux_role != DBC_MUXED && s.mux_role != DBC_MUXED_MUXOR))
            continue;
        if (tops != 1) {
            snprintf(text, sizeof text,
                     tops == 0 ? "signal %s is multiplexed (m%lld) but message %s has no "
                                 "multiplexor (M)"
                               : "signal %s is multiplexed (m%lld) but message %s has more "
                                 "than one multiplexor: expected an SG_MUL_VAL_ line for it",
                     s.name.c_str(), (long long)s.mux_value, m.name.c_str());
            return fail(err, s.line, s.column, text);
        }
        s.switch_index = top;
        s.ranges.push_back({s.mux_value, s.mux_value});
    }
    /* Multiplexors first, each before what it selects. */
    std::vector<int> depth(m.signals.size(), 0);
    for (size_t i = 0; i < m.signals.size(); i++) {
        int d = 0;
        for (int k = m.signals[i].switch_index; k >= 0; k = m.signals[(size_t)k].switch_index) {
            if (++d > (int)m.signals.size()) {
                const dbc_signal &s = m.signals[i];
                snprintf(text, sizeof text, "the multiplexors of message %s select each other "
                                            "in a loop (signal %s)",
                         m.name.c_str(), s.name.c_str());
                return fail(err, s.line, s.column, text);
            }
        }
        depth[i] = d;
    }
    std::vector<int> order(m.signals.size());
    for (size_t i = 0; i < order.size(); i++)
        order[i] = (int)i;
    std::stable_sort(order.begin(), order.end(), [&](int a, int b) { return depth[(size_t)a] < depth[(size_t)b]; });

    m.plan.clear();
    m.plan_ranges.clear();
    for (int i : order) {
        const dbc_signal &s = m.signals[(size_t)i];
        dbc_step st;
        memset(&st, 0, sizeof st);
        st.mask = s.length >= 64 ? ~UINT64_C(0) : (UINT64_C(1) << s.length) - 1;
        st.sign = (s.is_signed && s.type == DBC_INTEGER) ? UINT64_C(1) << (s.length - 1) : 0;
        st.factor = s.factor;
        st.offset = s.offset;
        st.sig = (uint16_t)i;
        st.sw = (int16_t)s.switch_index;
        st.range_first = (uint32_t)m.plan_ranges.size();
        st.range_count = (uint32_t)s.ranges.size();
        m.plan_ranges.insert(m.plan_ranges.end(), s.ranges.begin(), s.ranges.end());
        st.type = s.type;
        unsigned first, end;   /* sequential bits of the little- or big-endian word */
        if (s.order == DBC_INTEL) {
            first = s.start;
            end = s.start + s.length;
            st.big_endian = 0;
            st.shift = (uint8_t)(end <= 64 ? first : 0);
        } else {
            first = motorola_msb(s.start);
            end = first + s.length;
            st.big_endian = 1;
            st.shift = (uint8_t)(end <= 64 ? 64 - end : 0);
        }
        st.need = end <= 64 ? (uint8_t)((end + 7) / 8) : (uint8_t)255;
        m.plan.push_back(st);
    }
    return 0;
}

int tie_pending(dbc_db *db, const std::vector<dbc_pending_mux> &pending, dbc_error *err)
{
    char text[256];
    for (const dbc_pending_mux &pm : pending) {
        dbc_message &m = db->messages[(size_t)pm.message];
        dbc_signal &s = m.signals[(size_t)pm.signal];
        int sw = -1;
        for (size_t i = 0; i < m.signals.size(); i++)
            if (m.signals[i].name == pm.switch_name)
                sw = (int)i;
        if (sw < 0 || (m.signals[(size_t)sw].mux_role != DBC_MUXOR &&
                       m.signals[(size_t)sw].mux_role != DBC_MUXED_MUXOR)) {
            snprintf(text, sizeof text,
                     sw < 0 ? "SG_MUL_VAL_: message %s has no signal %s"
                            : "SG_MUL_VAL_: signal %s.%s is not a multiplexor (M)",
                     m.name.c_str(), pm.switch_name.c_str());
            return fail(err, pm.line, pm.column, text);
        }
        if (s.switch_index >= 0 && s.switch_index != sw) {
            snprintf(text, sizeof text, "SG_MUL_VAL_: signal %s is selected by two multiplexors",
                     s.name.c_str());
            return fail(err, pm.line, pm.column, text);
        }
        s.switch_index = sw;
        s.ranges.insert(s.ranges.end(), pm.ranges.begin(), pm.ranges.end());
    }
    return 0;
}

/* A cycle time in whole milliseconds: -1 for a negative one (or not a
 * number), capped at the largest int32_t. */
int32_t cycle_ms(double n)
{
    return !(n >= 0) ? -1 : n > 2147483647.0 ? 2147483647 : (int32_t)n;
}

/* GenMsgCycleTime and GenSigStartValue: defaults, then the values. */
void apply_attributes(dbc_db *db)
{
    for (const dbc_attr_def &d : db->attr_defs) {
        if (!d.has_default)
            continue;
        if (d.object == DBC_OBJ_MESSAGE && d.name == "GenMsgCycleTime")
            for (dbc_message &m : db->messages)
                m.cycle_time_ms = cycle_ms(d.default_number);
        if (d.object == DBC_OBJ_SIGNAL && d.name == "GenSigStartValue")
            for (dbc_message &m : db->messages)
                for (dbc_signal &s : m.signals) {
                    s.has_start_value = 1;
                    s.start_value = d.default_number;
                }
    }
    for (const dbc_attr_value &v : db->attrs) {
        const std::string &name = db->attr_defs[(size_t)v.def].name;
        if (v.is_text)
            continue;
        if (v.object == DBC_OBJ_MESSAGE && name == "GenMsgCycleTime") {
            db->messages[(size_t)v.message].cycle_time_ms = cycle_ms(v.number);
        } else if (v.object == DBC_OBJ_SIGNAL && name == "GenSigStartValue") {
            dbc_signal &s = db->messages[(size_t)v.message].signals[(size_t)v.signal];
            s.has_start_value = 1;
            s.start_value = v.number;
        }
    }
}

uint32_t lookup_hash(uint32_t key)
{
    key ^= key >> 16;
    key *= 0x7FEB352Du;
    key ^= key >> 15;
    return key;
}

uint32_t lookup_key(uint32_t id, int extended) { return id | (extended ? 0x80000000u : 0u); }

void build_lookup(dbc_db *db)
{
    size_t n = 16;
    while (n < db->messages.size() * 2)
        n *= 2;
    db->lookup.assign(n, -1);
    db->lookup_mask = (uint32_t)(n - 1);
    for (size_t i = 0; i < db->messages.size(); i++) {
        const dbc_message &m = db->messages[i];
        if (!m.decodable)
            continue;
        uint32_t h = lookup_hash(lookup_key(m.id, m.extended)) & db->lookup_mask;
        while (db->lookup[h] >= 0)
            h = (h + 1) & db->lookup_mask;
        db->lookup[h] = (int32_t)i;
    }
}

}  // namespace

bool dbc_signal_fits(const dbc_signal &s)
{
    if (s.start >= MAX_BITS)
        return false;
    unsigned first = s.order == DBC_INTEL ? s.start : motorola_msb(s.start);
    return first + s.length <= MAX_BITS;
}

int dbc_finish(dbc_db *db, const std::vector<dbc_pending_mux> &pending, dbc_error *err)
{
    if (tie_pending(db, pending, err) != 0)
        return -1;
    for (dbc_message &m : db->messages)
        if (tie_multiplexors(m, err) != 0)
            return -1;
    apply_attributes(db);
    build_lookup(db);
    return 0;
}

const dbc_message *dbc_find(const dbc_db *db, uint32_t id, int extended)
{
    if (db->lookup.empty())
        return nullptr;
    uint32_t key = lookup_key(id, extended);
    uint32_t h = lookup_hash(key) & db->lookup_mask;
    for (;;) {
        int32_t i = db->lookup[h];
        if (i < 0)
            return nullptr;
        const dbc_message &m = db->messages[(size_t)i];
        if (lookup_key(m.id, m.extended) == key)
            return &m;
        h = (h + 1) & db->lookup_mask;
    }
}

const char *dbc_value_label(const dbc_signal *s, int64_t raw)
{
    size_t lo = 0, hi = s->values.size();
    while (lo < hi) {
        size_t mid = (lo + hi) / 2;
        if (s->values[mid].value < raw)
            lo = mid + 1;
        else
            hi = mid;
    }
    return lo < s->values.size() && s->values[lo].value == raw ? s->values[lo].text.c_str() : nullptr;
}

int dbc_attr_get(const dbc_db *db, const char *name, int object, int message, int signal,
                 const char *node, double *number, std::string *text)
{
    int def = -1;
    for (size_t i = 0; i < db->attr_defs.size(); i++)
        if (db->attr_defs[i].object == object && db->attr_defs[i].name == name)
            def = (int)i;
    if (def < 0)
        return 0;
    const dbc_attr_value *found = nullptr;
    for (const dbc_attr_value &v : db->attrs) {
        if (v.def != def)
            continue;
        bool same = (object == DBC_OBJ_DB) ||
                    (object == DBC_OBJ_MESSAGE && v.message == message) ||
                    (object == DBC_OBJ_SIGNAL && v.message == message && v.signal == signal) ||
                    ((object == DBC_OBJ_NODE || object == DBC_OBJ_ENVVAR) && node && v.node == node);
        if (same)
            found = &v;   /* the last value given counts */
    }
    const dbc_attr_def &d = db->attr_defs[(size_t)def];
    if (!found && !d.has_default)
        return 0;
    if (number)
        *number = found ? found->number : d.default_number;
    if (text)
        *text = found ? found->text : d.default_text;
    return 1;
}
