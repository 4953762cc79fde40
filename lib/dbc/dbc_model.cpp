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
#include <unordered_map>

namespace {

constexpr unsigned MAX_BITS = DBC_MAX_MESSAGE_BYTES * 8;

/* Sequential bit position of a Motorola signal's most significant bit,
 * counting from the first byte's MSB. */
unsigned motorola_msb(unsigned start) { return (start / 8) * 8 + 7 - start % 8; }

std::string sig_text(const dbc_message &m, const dbc_signal &s, const char *reason)
{
    return "signal " + s.name + " of message " + m.name + " skipped: " + reason;
}

/* Ties every multiplexed signal to its multiplexor: an SG_MUL_VAL_ line,
 * else the message's one multiplexor. Signals that cannot be tied, or
 * whose multiplexors select each other in a loop, are marked in drop. */
void tie_multiplexors(dbc_db *db, dbc_message &m, char *drop)
{
    int top = -1, tops = 0;
    for (size_t i = 0; i < m.signals.size(); i++)
        if (m.signals[i].mux_role == DBC_MUXOR && !drop[i]) {
            if (top < 0)
                top = (int)i;
            tops++;
        }
    for (size_t i = 0; i < m.signals.size(); i++) {
        dbc_signal &s = m.signals[i];
        if (drop[i] || s.switch_index >= 0 ||
            (s.mux_role != DBC_MUXED && s.mux_role != DBC_MUXED_MUXOR))
            continue;
        if (tops != 1) {
            char text[160];
            snprintf(text, sizeof text,
                     tops == 0 ? "it is multiplexed (m%lld) but the message has no multiplexor (M)"
                               : "it is multiplexed (m%lld) but the message has more than one "
                                 "multiplexor: expected an SG_MUL_VAL_ line for it",
                     (long long)s.mux_value);
            dbc_add_problem(db, s.line, s.column, DBC_SKIPPED, sig_text(m, s, text));
            drop[i] = 1;
            continue;
        }
        s.switch_index = top;
        s.ranges.push_back({s.mux_value, s.mux_value});
    }
    /* A signal whose multiplexor is dropped, or in a loop, goes too. */
    for (bool changed = true; changed;) {
        changed = false;
        for (size_t i = 0; i < m.signals.size(); i++) {
            if (drop[i] || m.signals[i].switch_index < 0)
                continue;
            size_t d = 0;
            int k = m.signals[i].switch_index;
            while (k >= 0 && !drop[(size_t)k] && d <= m.signals.size()) {
                k = m.signals[(size_t)k].switch_index;
                d++;
            }
            if (k < 0)
                continue;
            const dbc_signal &s = m.signals[i];
            dbc_add_problem(db, s.line, s.column, DBC_SKIPPED,
                            sig_text(m, s, drop[(size_t)k] ? "its multiplexor is skipped"
                                                           : "the multiplexors select each other "
                                                             "in a loop"));
            drop[i] = 1;
            changed = true;
        }
    }
}

/* Fills a message's decode plan: multiplexors first, each before what it
 * selects. */
void make_plan(dbc_message &m)
{
    bool muxed = false;
    for (const dbc_signal &s : m.signals)
        muxed = muxed || s.switch_index >= 0;
    std::vector<int> order;
    if (muxed) {
        order.resize(m.signals.size());
        for (size_t i = 0; i < order.size(); i++)
            order[i] = (int)i;
        std::vector<int> depth(m.signals.size(), 0);
        for (size_t i = 0; i < m.signals.size(); i++)
            for (int k = m.signals[i].switch_index; k >= 0; k = m.signals[(size_t)k].switch_index)
                depth[i]++;
        std::stable_sort(order.begin(), order.end(),
                         [&](int a, int b) { return depth[(size_t)a] < depth[(size_t)b]; });
    }

    m.plan.clear();
    m.plan_ranges.clear();
    m.plan.reserve(m.signals.size());
    for (size_t k = 0; k < m.signals.size(); k++) {
        int i = muxed ? order[k] : (int)k;
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
        /* Sequential bits of the little-endian (Intel) or big-endian
         * (Motorola) numbering: [first, end). */
        unsigned first = s.order == DBC_INTEL ? s.start : motorola_msb(s.start);
        unsigned end = first + s.length;
        unsigned byte = first / 8;
        unsigned span = end - byte * 8;   /* bits from the word's first byte */
        st.byte = (uint8_t)byte;
        st.wide = span > 64;
        if (s.order == DBC_INTEL) {
            st.big_endian = 0;
            st.shift = (uint8_t)(first - byte * 8);
        } else {
            st.big_endian = 1;
            st.shift = (uint8_t)(st.wide ? 128 - span : 64 - span);
        }
        st.need = (uint8_t)((end + 7) / 8);
        m.plan.push_back(st);
    }
}

/* SG_MUL_VAL_ lines: a line that names no multiplexor of the message is
 * skipped (the signal may still be tied the simple way). */
/* The signals to drop: one flag per signal of every message. */
struct drops {
    std::vector<char> flags;
    std::vector<size_t> first;   /* per message, into flags */
    char *of(size_t msg) { return flags.data() + first[msg]; }
};

void tie_pending(dbc_db *db, const dbc_build &build, drops &drop)
{
    for (const dbc_pending_mux &pm : build.pending) {
        dbc_message &m = db->messages[(size_t)pm.message];
        dbc_signal &s = m.signals[(size_t)pm.signal];
        int sw = -1;
        for (size_t i = 0; i < m.signals.size(); i++)
            if (m.signals[i].name == pm.switch_name)
                sw = (int)i;
        char *dm = drop.of((size_t)pm.message);
        bool skipped = sw >= 0 ? dm[sw] != 0
                               : std::find(build.skipped.begin(), build.skipped.end(),
                                           std::make_pair(pm.message, pm.switch_name)) !=
                                     build.skipped.end();
        if (skipped) {
            /* The signal goes with its multiplexor; one problem says so. */
            if (!dm[pm.signal]) {
                dm[pm.signal] = 1;
                dbc_add_problem(db, s.line, s.column, DBC_SKIPPED,
                                sig_text(m, s, ("its multiplexor " + pm.switch_name +
                                                " is skipped").c_str()));
            }
            continue;
        }
        std::string why;
        if (sw < 0)
            why = "message " + m.name + " has no signal " + pm.switch_name;
        else if (m.signals[(size_t)sw].mux_role != DBC_MUXOR &&
                 m.signals[(size_t)sw].mux_role != DBC_MUXED_MUXOR)
            why = "signal " + m.name + "." + pm.switch_name + " is not a multiplexor (M)";
        else if (s.switch_index >= 0 && s.switch_index != sw)
            why = "signal " + s.name + " is selected by two multiplexors";
        if (!why.empty()) {
            dbc_add_problem(db, pm.line, pm.column, DBC_SKIPPED,
                            "SG_MUL_VAL_ of signal " + s.name + " skipped: " + why);
            continue;
        }
        s.switch_index = sw;
        s.ranges.insert(s.ranges.end(), pm.ranges.begin(), pm.ranges.end());
    }
}

/* Removes the marked signals of a message, keeping the indices that
 * multiplexors and attribute values hold right. */
void drop_signals(dbc_db *db, int msg, const char *drop)
{
    dbc_message &m = db->messages[(size_t)msg];
    std::vector<int> to(m.signals.size(), -1);
    size_t n = 0;
    for (size_t i = 0; i < m.signals.size(); i++)
        if (!drop[i])
            to[i] = (int)n++;
    for (size_t i = 0; i < m.signals.size(); i++) {
        if (drop[i])
            continue;
        dbc_signal &s = m.signals[i];
        if (s.switch_index >= 0)
            s.switch_index = to[(size_t)s.switch_index];
        if (to[i] != (int)i)
            m.signals[(size_t)to[i]] = std::move(s);
    }
    m.signals.resize(n);
    size_t k = 0;
    for (size_t i = 0; i < db->attrs.size(); i++) {
        dbc_attr_value &v = db->attrs[i];
        if (v.object == DBC_OBJ_SIGNAL && v.message == msg) {
            v.signal = to[(size_t)v.signal];
            if (v.signal < 0)
                continue;
        }
        if (k != i)
            db->attrs[k] = std::move(v);
        k++;
    }
    db->attrs.resize(k);
}

/* A cycle time in whole milliseconds: -1 for a negative one (or not a
 * number), capped at the largest int32_t. */
int32_t cycle_ms(double n)
{
    return !(n >= 0) ? -1 : n > 2147483647.0 ? 2147483647 : (int32_t)n;
}

/* VFrameFormat: "StandardCAN_FD", "ExtendedCAN_FD" (given as text or as
 * the enumeration's index, which attr_value turned into the text). */
bool fd_format(const std::string &text)
{
    return text.size() >= 3 && text.compare(text.size() - 3, 3, "_FD") == 0;
}

/* CANFD_BRS: "1" (an enumeration "0","1"), or the number 1. */
bool brs_on(double number, const std::string &text)
{
    return text.empty() ? number == 1.0 : text == "1";
}

/* The attributes the reader applies: cycle times and start values, long
 * names, the CAN FD frame format. Defaults first, then the values. */
void apply_attributes(dbc_db *db)
{
    for (const dbc_attr_def &d : db->attr_defs) {
        if (!d.has_default)
            continue;
        if (d.object == DBC_OBJ_MESSAGE && d.name == "GenMsgCycleTime")
            for (dbc_message &m : db->messages)
                m.cycle_time_ms = cycle_ms(d.default_number);
        if (d.object == DBC_OBJ_MESSAGE && d.name == "VFrameFormat")
            for (dbc_message &m : db->messages)
                m.fd = fd_format(d.default_text);
        if (d.object == DBC_OBJ_MESSAGE && d.name == "CANFD_BRS")
            for (dbc_message &m : db->messages)
                m.brs = brs_on(d.default_number, d.default_text);
        if (d.object == DBC_OBJ_SIGNAL && d.name == "GenSigStartValue")
            for (dbc_message &m : db->messages)
                for (dbc_signal &s : m.signals) {
                    s.has_start_value = 1;
                    s.start_value = d.default_number;
                }
    }
    std::unordered_map<std::string, std::string> node_names;
    for (const dbc_attr_value &v : db->attrs) {
        const std::string &name = db->attr_defs[(size_t)v.def].name;
        if (v.object == DBC_OBJ_MESSAGE) {
            dbc_message &m = db->messages[(size_t)v.message];
            if (name == "GenMsgCycleTime" && !v.is_text)
                m.cycle_time_ms = cycle_ms(v.number);
            else if (name == "VFrameFormat")
                m.fd = fd_format(v.text);
            else if (name == "CANFD_BRS")
                m.brs = brs_on(v.number, v.text);
            else if (name == "SystemMessageLongSymbol" && v.is_text && !v.text.empty())
                m.name = v.text;
        } else if (v.object == DBC_OBJ_SIGNAL) {
            dbc_signal &s = db->messages[(size_t)v.message].signals[(size_t)v.signal];
            if (name == "GenSigStartValue" && !v.is_text) {
                s.has_start_value = 1;
                s.start_value = v.number;
            } else if (name == "SystemSignalLongSymbol" && v.is_text && !v.text.empty()) {
                s.name = v.text;
            }
        } else if (v.object == DBC_OBJ_NODE && name == "SystemNodeLongSymbol" && v.is_text &&
                   !v.text.empty()) {
            node_names[v.node] = v.text;
        }
    }
    for (dbc_message &m : db->messages)
        if (!m.fd)
            m.brs = 0;
    if (node_names.empty())
        return;
    auto rename = [&](std::string &n) {
        auto it = node_names.find(n);
        if (it != node_names.end())
            n = it->second;
    };
    for (dbc_node &n : db->nodes)
        rename(n.name);
    for (dbc_attr_value &v : db->attrs)
        if (v.object == DBC_OBJ_NODE)
            rename(v.node);
    for (dbc_message &m : db->messages) {
        rename(m.sender);
        for (std::string &t : m.transmitters)
            rename(t);
        for (dbc_signal &s : m.signals)
            for (std::string &r : s.receivers)
                rename(r);
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

void dbc_finish(dbc_db *db, dbc_build &build)
{
    drops drop;
    drop.first.resize(db->messages.size());
    size_t total = 0;
    for (size_t i = 0; i < db->messages.size(); i++) {
        drop.first[i] = total;
        total += db->messages[i].signals.size();
    }
    drop.flags.assign(total, 0);
    for (const auto &d : build.drop)
        drop.of((size_t)d.first)[d.second] = 1;
    tie_pending(db, build, drop);
    for (size_t i = 0; i < db->messages.size(); i++) {
        dbc_message &m = db->messages[i];
        char *dm = drop.of(i);
        bool muxed = false, dropped = false;
        for (size_t k = 0; k < m.signals.size(); k++) {
            muxed = muxed || m.signals[k].mux_role >= DBC_MUXED;
            dropped = dropped || dm[k];
        }
        if (muxed || dropped)
            tie_multiplexors(db, m, dm);
        for (size_t k = 0; k < m.signals.size() && (muxed || dropped); k++)
            if (dm[k]) {
                drop_signals(db, (int)i, dm);
                break;
            }
    }
    apply_attributes(db);
    for (dbc_message &m : db->messages) {
        make_plan(m);
        if (!m.decodable || m.size == 0)
            continue;
        for (const dbc_step &st : m.plan)
            if (st.need > m.size) {
                const dbc_signal &s = m.signals[st.sig];
                char text[96];
                snprintf(text, sizeof text, ": it reaches byte %u of a %u-byte message", st.need,
                         m.size);
                dbc_add_problem(db, s.line, s.column, DBC_DOUBTFUL,
                                "signal " + s.name + " of message " + m.name + text);
            }
    }
    build_lookup(db);
    /* Problems in file order; those found at the end joined in. */
    std::stable_sort(db->problems.begin(), db->problems.end(),
                     [](const dbc_problem &a, const dbc_problem &b) {
                         return a.line < b.line || (a.line == b.line && a.column < b.column);
                     });
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
