/*
 * dbc_parse.cpp - the DBC reader: a recursive-descent parser over the
 * file's characters that fills a dbc_db, then dbc_finish (dbc_model.cpp)
 * resolves multiplexing and attributes and makes the decode plans.
 *
 * Every loop consumes input or ends, so no input hangs the reader; every
 * failure stops it with the line and column and what was expected there.
 */
#include "dbc.h"
#include "dbc_internal.h"

#include <stdarg.h>
#include <stdio.h>
#include <string.h>

#include <algorithm>
#include <charconv>

namespace {

/* Statement keywords. Those this reader does not use are skipped, as is
 * any other word that starts a statement. */
const char *const known_keywords[] = {
    "VERSION", "NS_", "BS_", "BU_", "VAL_TABLE_", "BO_", "SG_", "BO_TX_BU_", "EV_",
    "ENVVAR_DATA_", "SGTYPE_", "SGTYPE_VAL_", "SIG_TYPE_REF_", "SIG_GROUP_", "CM_", "BA_DEF_",
    "BA_DEF_DEF_", "BA_", "BA_DEF_REL_", "BA_DEF_DEF_REL_", "BA_REL_", "BA_DEF_SGTYPE_",
    "BA_SGTYPE_", "VAL_", "SIG_VALTYPE_", "SG_MUL_VAL_", "BU_SG_REL_", "BU_EV_REL_",
    "BU_BO_REL_", "CAT_DEF_", "CAT_", "FILTER", "EV_DATA_", "SIGTYPE_VALTYPE_",
};

bool is_ident_start(char c) { return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || c == '_'; }
bool is_ident_char(char c) { return is_ident_start(c) || (c >= '0' && c <= '9'); }
bool is_digit(char c) { return c >= '0' && c <= '9'; }

struct word {
    const char *p = nullptr;
    size_t n = 0;
    bool is(const char *s) const { return strlen(s) == n && memcmp(p, s, n) == 0; }
    std::string str() const { return std::string(p, n); }
};

bool is_keyword(const word &w)
{
    for (const char *k : known_keywords)
        if (w.is(k))
            return true;
    return false;
}

class parser {
public:
    parser(const char *text, size_t len, dbc_db *db, dbc_error *err)
        : p_(text), end_(text + len), line_start_(text), db_(db), err_(err)
    {
    }

    bool run();

private:
    const char *p_, *end_, *line_start_;
    int line_ = 1;
    dbc_db *db_;
    dbc_error *err_;
    int cur_msg_ = -1;             /* the message SG_ lines belong to */
    const char *kw_at_ = nullptr;  /* the keyword of the statement being read */
    std::unordered_map<uint32_t, int> msg_by_raw_id_;
    std::unordered_map<std::string, int> sig_by_key_;   /* "<msg index>:<name>" */
    std::vector<dbc_pending_mux> pending_mux_;

    /* ------------------------------------------------------ positions */

    int column_of(const char *at) const
    {
        /* Characters, not bytes: UTF-8 continuation bytes do not count. */
        int col = 1;
        for (const char *q = line_start_; q < at; q++)
            if (((unsigned char)*q & 0xC0) != 0x80)
                col++;
        return col;
    }

    bool fail_at(const char *at, const char *fmt, ...) __attribute__((format(printf, 3, 4)))
    {
        err_->line = line_;
        err_->column = column_of(at);
        va_list ap;
        va_start(ap, fmt);
        vsnprintf(err_->message, sizeof err_->message, fmt, ap);
        va_end(ap);
        return false;
    }

    /* "expected X" at the current position, naming what stands there. */
    bool expected(const char *what)
    {
        skip_blanks();
        char found[40];
        if (p_ >= end_) {
            snprintf(found, sizeof found, "the end of the file");
        } else if (*p_ == '\n' || *p_ == '\r') {
            snprintf(found, sizeof found, "the end of the line");
        } else {
            size_t n = 0;
            while (p_ + n < end_ && n < 16 && p_[n] != '\n' && p_[n] != '\r' &&
                   (n == 0 || (is_ident_char(p_[n]) && is_ident_char(p_[0]))))
                n++;
            snprintf(found, sizeof found, "\"%.*s\"", (int)n, p_);
        }
        return fail_at(p_, "expected %s, found %s", what, found);
    }

    /* "line N: <what><name><rest>" */
    void warn(const char *what, const std::string &name, const char *rest)
    {
        if (db_->warnings++ == 0)
            db_->first_warning = "line " + std::to_string(line_) + ": " + what + name + rest;
    }

    /* ------------------------------------------------------- scanning */

    void newline_at(const char *nl)
    {
        line_++;
        line_start_ = nl + 1;
    }

    /* Spaces and tabs, not line ends. */
    void skip_blanks()
    {
        while (p_ < end_ && (*p_ == ' ' || *p_ == '\t' || *p_ == '\r' || *p_ == '\f' || *p_ == '\v'))
            p_++;
    }

    /* Blanks, line ends and "//" comment lines. */
    void skip_space()
    {
        for (;;) {
            skip_blanks();
            if (p_ < end_ && *p_ == '\n') {
                newline_at(p_);
                p_++;
            } else if (end_ - p_ >= 2 && p_[0] == '/' && p_[1] == '/') {
                while (p_ < end_ && *p_ != '\n')
                    p_++;
            } else {
                return;
            }
        }
    }

    bool at_line_end()
    {
        skip_blanks();
        return p_ >= end_ || *p_ == '\n';
    }

    /* Only blanks stand before p_ on its line. */
    bool first_on_line() const
    {
        for (const char *q = line_start_; q < p_; q++)
            if (*q != ' ' && *q != '\t' && *q != '\r')
                return false;
        return true;
    }

    bool peek(char c)
    {
        skip_space();
        return p_ < end_ && *p_ == c;
    }

    bool accept(char c)
    {
        if (!peek(c))
            return false;
        p_++;
        return true;
    }

    bool expect(char c, const char *what)
    {
        if (accept(c))
            return true;
        return expected(what);
    }

    bool ident(word *out, const char *what)
    {
        skip_space();
        if (p_ >= end_ || !is_ident_start(*p_))
            return expected(what);
        out->p = p_;
        while (p_ < end_ && is_ident_char(*p_))
            p_++;
        out->n = (size_t)(p_ - out->p);
        return true;
    }

    /* The text of a decimal number: sign, digits, fraction, exponent. */
    bool number_text(word *out, bool allow_fraction, const char *what)
    {
        skip_space();
        const char *s = p_, *q = p_;
        if (q < end_ && (*q == '+' || *q == '-'))
            q++;
        const char *digits = q;
        while (q < end_ && is_digit(*q))
            q++;
        bool any = q > digits;
        if (allow_fraction) {
            if (q < end_ && *q == '.') {
                q++;
                const char *f = q;
                while (q < end_ && is_digit(*q))
                    q++;
                any = any || q > f;
            }
            if (any && q < end_ && (*q == 'e' || *q == 'E')) {
                const char *e = q + 1;
                if (e < end_ && (*e == '+' || *e == '-'))
                    e++;
                if (e < end_ && is_digit(*e)) {
                    while (e < end_ && is_digit(*e))
                        e++;
                    q = e;
                }
            }
        }
        if (!any)
            return expected(what);
        if (q < end_ && (is_ident_char(*q) || *q == '.'))
            return expected(what);
        out->p = s;
        out->n = (size_t)(q - s);
        p_ = q;
        return true;
    }

    bool number(double *out, const char *what)
    {
        word w;
        if (!number_text(&w, true, what))
            return false;
        const char *b = w.p, *e = w.p + w.n;
        if (*b == '+')
            b++;
        auto r = std::from_chars(b, e, *out);
        if (r.ec == std::errc::result_out_of_range)
            return fail_at(w.p, "number %.*s is out of range", (int)w.n, w.p);
        if (r.ec != std::errc() || r.ptr != e)
            return fail_at(w.p, "expected %s", what);
        return true;
    }

    /* A whole number; values up to 2^64 - 1 are kept as their bits. */
    bool integer(int64_t *out, const char *what)
    {
        word w;
        if (!number_text(&w, false, what))
            return false;
        const char *b = w.p, *e = w.p + w.n;
        if (*b == '+')
            b++;
        std::from_chars_result r;
        if (*b == '-') {
            r = std::from_chars(b, e, *out);
        } else {
            uint64_t u = 0;
            r = std::from_chars(b, e, u);
            *out = (int64_t)u;
        }
        if (r.ec != std::errc() || r.ptr != e)
            return fail_at(w.p, "number %.*s is out of range for %s", (int)w.n, w.p, what);
        return true;
    }

    bool unsigned_int(uint32_t *out, uint32_t max, const char *what)
    {
        skip_space();
        const char *s = p_;
        int64_t v = 0;
        if (!integer(&v, what))
            return false;
        if (v < 0 || (uint64_t)v > max)
            return fail_at(s, "%s must be 0 to %u", what, max);
        *out = (uint32_t)v;
        return true;
    }

    /* A double-quoted string; \" and \\ stand for themselves. */
    bool string(std::string *out, const char *what)
    {
        skip_space();
        if (p_ >= end_ || *p_ != '"')
            return expected(what);
        const char *open = p_;
        int open_line = line_;
        const char *open_line_start = line_start_;
        p_++;
        out->clear();
        while (p_ < end_ && *p_ != '"') {
            if (*p_ == '\\' && p_ + 1 < end_ && (p_[1] == '"' || p_[1] == '\\'))
                p_++;
            if (*p_ == '\n')
                newline_at(p_);
            out->push_back(*p_++);
        }
        if (p_ >= end_) {
            line_ = open_line;
            line_start_ = open_line_start;
            return fail_at(open, "string is not closed (expected '\"')");
        }
        p_++;
        return true;
    }

    /* Skips what is left of a statement this reader does not use: up to
     * and including its ';', or up to a line that starts with a keyword. */
    void skip_statement()
    {
        while (p_ < end_) {
            char c = *p_;
            if (c == ';') {
                p_++;
                return;
            }
            if (c == '"') {
                std::string ignored;
                if (!string(&ignored, "a string")) {
                    /* An unclosed string in a skipped section ends the file. */
                    p_ = end_;
                    return;
                }
                continue;
            }
            if (c == '\n') {
                newline_at(p_);
                p_++;
                skip_blanks();
                if (p_ < end_ && is_ident_start(*p_)) {
                    const char *s = p_;
                    word w;
                    w.p = s;
                    while (p_ < end_ && is_ident_char(*p_))
                        p_++;
                    w.n = (size_t)(p_ - s);
                    p_ = s;
                    if (is_keyword(w))
                        return;
                }
                continue;
            }
            p_++;
        }
    }

    /* Ends a statement that may carry a ';'. */
    bool end_statement()
    {
        return expect(';', "';'");
    }

    /* ------------------------------------------------------ references */

    int find_message(uint32_t raw_id)
    {
        auto it = msg_by_raw_id_.find(raw_id);
        return it == msg_by_raw_id_.end() ? -1 : it->second;
    }

    int find_signal(int msg, const word &name)
    {
        auto it = sig_by_key_.find(std::to_string(msg) + ":" + name.str());
        return it == sig_by_key_.end() ? -1 : it->second;
    }

    /* A message identifier and signal name; *msg and *sig are -1 (with a
     * warning) when the file does not define them. */
    bool signal_ref(int *msg, int *sig, word *name)
    {
        uint32_t id = 0;
        if (!unsigned_int(&id, 0xFFFFFFFFu, "a message identifier"))
            return false;
        if (!ident(name, "a signal name"))
            return false;
        *msg = find_message(id);
        *sig = *msg >= 0 ? find_signal(*msg, *name) : -1;
        if (*sig < 0)
            warn("signal ", name->str(), " of an undefined message, or not in it: skipped");
        return true;
    }

    bool message_ref(int *msg)
    {
        uint32_t id = 0;
        if (!unsigned_int(&id, 0xFFFFFFFFu, "a message identifier"))
            return false;
        *msg = find_message(id);
        if (*msg < 0)
            warn("message ", std::to_string(id), " is not defined: skipped");
        return true;
    }

    int find_node(const word &name)
    {
        for (size_t i = 0; i < db_->nodes.size(); i++)
            if (name.is(db_->nodes[i].name.c_str()))
                return (int)i;
        return -1;
    }

    /* ------------------------------------------------------ statements */

    bool statement(const word &kw);
    bool st_bu();
    bool st_val_table();
    bool st_bo();
    bool st_sg();
    bool st_bo_tx_bu();
    bool st_cm();
    bool st_ba_def();
    bool st_ba_def_def();
    bool st_ba();
    bool st_val();
    bool st_sig_valtype();
    bool st_sg_mul_val();
    bool value_pairs(std::vector<dbc_value_text> *out);
    bool attr_value(const dbc_attr_def *def, dbc_attr_value *v);
};

bool parser::run()
{
    for (;;) {
        skip_space();
        if (p_ >= end_)
            break;
        word kw;
        if (!ident(&kw, "a keyword such as BO_, SG_ or CM_"))
            return false;
        kw_at_ = kw.p;
        if (!statement(kw))
            return false;
    }
    return dbc_finish(db_, pending_mux_, err_) == 0;
}

bool parser::statement(const word &kw)
{
    if (kw.is("VERSION"))
        return string(&db_->version, "the version string");
    if (kw.is("NS_")) {
        /* The list of new symbols: the words on the indented lines after
         * "NS_ :". They tell nothing a reader needs. */
        if (!expect(':', "':' after NS_"))
            return false;
        for (;;) {
            skip_space();
            /* The list ends at a word in the first column, or at a
             * statement that never stands in it. */
            if (p_ >= end_ || p_ == line_start_ || !is_ident_start(*p_))
                break;
            const char *s = p_;
            word w;
            ident(&w, "");
            if (w.is("BS_") || w.is("BU_") || w.is("BO_")) {
                p_ = s;
                break;
            }
        }
        return true;
    }
    if (kw.is("BS_")) {
        /* Bus timing, obsolete: the rest of the line. */
        while (p_ < end_ && *p_ != '\n')
            p_++;
        return true;
    }
    if (kw.is("BU_"))
        return st_bu();
    if (kw.is("VAL_TABLE_"))
        return st_val_table();
    if (kw.is("BO_"))
        return st_bo();
    if (kw.is("SG_"))
        return st_sg();
    if (kw.is("BO_TX_BU_"))
        return st_bo_tx_bu();
    if (kw.is("CM_"))
        return st_cm();
    if (kw.is("BA_DEF_"))
        return st_ba_def();
    if (kw.is("BA_DEF_DEF_"))
        return st_ba_def_def();
    if (kw.is("BA_"))
        return st_ba();
    if (kw.is("VAL_"))
        return st_val();
    if (kw.is("SIG_VALTYPE_"))
        return st_sig_valtype();
    if (kw.is("SG_MUL_VAL_"))
        return st_sg_mul_val();
    skip_statement();
    return true;
}

bool parser::st_bu()
{
    if (!expect(':', "':' after BU_"))
        return false;
    while (!at_line_end() && is_ident_start(*p_)) {
        word w;
        ident(&w, "a node name");
        if (find_node(w) < 0)
            db_->nodes.push_back({w.str(), std::string()});
    }
    return true;
}

bool parser::value_pairs(std::vector<dbc_value_text> *out)
{
    while (!peek(';')) {
        dbc_value_text v;
        skip_space();
        if (p_ < end_ && !(is_digit(*p_) || *p_ == '-' || *p_ == '+'))
            return expected("a value or ';'");
        if (!integer(&v.value, "a value"))
            return false;
        if (!string(&v.text, "the value's text in quotes"))
            return false;
        out->push_back(std::move(v));
    }
    p_++;
    std::stable_sort(out->begin(), out->end(),
                     [](const dbc_value_text &a, const dbc_value_text &b) { return a.value < b.value; });
    /* A value written twice: the last text counts. */
    std::vector<dbc_value_text> unique;
    for (auto &v : *out) {
        if (!unique.empty() && unique.back().value == v.value)
            unique.back() = std::move(v);
        else
            unique.push_back(std::move(v));
    }
    out->swap(unique);
    return true;
}

bool parser::st_val_table()
{
    dbc_value_table t;
    word name;
    if (!ident(&name, "the value table's name"))
        return false;
    t.name = name.str();
    if (!value_pairs(&t.entries))
        return false;
    db_->value_tables.push_back(std::move(t));
    return true;
}

bool parser::st_bo()
{
    skip_space();
    const char *at = p_;
    int at_line = line_;
    uint32_t raw = 0;
    if (!unsigned_int(&raw, 0xFFFFFFFFu, "the message identifier"))
        return false;
    word name;
    if (!ident(&name, "the message name"))
        return false;
    if (!expect(':', "':' after the message name"))
        return false;
    uint32_t size = 0;
    if (!unsigned_int(&size, 65535, "the message length in bytes"))
        return false;
    dbc_message m;
    if (!at_line_end()) {
        word sender;
        if (!ident(&sender, "the sending node or the end of the line"))
            return false;
        m.sender = sender.str();
    }
    m.raw_id = raw;
    m.extended = (raw & 0x80000000u) ? 1 : 0;
    m.id = raw & (m.extended ? 0x1FFFFFFFu : 0x7FFFFFFFu);
    if (m.extended && (raw & 0x60000000u)) {
        m.decodable = 0;   /* a holder of signals that belong to no message */
        m.id = raw & 0x1FFFFFFFu;
    } else if (!m.extended && m.id > 0x7FF) {
        return fail_at(at,
                       "identifier %u is above 0x7FF: an extended identifier has bit 31 set "
                       "(add 2147483648)",
                       raw);
    }
    if (find_message(raw) >= 0) {
        line_ = at_line;
        return fail_at(at, "message %u is defined twice (first at line %d)", raw,
                       db_->messages[(size_t)find_message(raw)].line);
    }
    m.size = size;
    m.name = name.str();
    m.line = at_line;
    msg_by_raw_id_[raw] = (int)db_->messages.size();
    cur_msg_ = (int)db_->messages.size();
    db_->messages.push_back(std::move(m));
    return true;
}

bool parser::st_sg()
{
    if (cur_msg_ < 0)
        return fail_at(kw_at_, "SG_ outside a message (expected a BO_ line before it)");
    dbc_message &m = db_->messages[(size_t)cur_msg_];
    if (m.signals.size() >= DBC_MAX_SIGNALS)
        return fail_at(p_, "more than %d signals in message %s", DBC_MAX_SIGNALS, m.name.c_str());
    dbc_signal s;
    skip_space();
    s.line = line_;
    s.column = column_of(p_);
    word name;
    if (!ident(&name, "the signal name"))
        return false;
    s.name = name.str();
    std::string key = std::to_string(cur_msg_) + ":" + s.name;
    if (sig_by_key_.count(key))
        return fail_at(name.p, "signal %s is defined twice in message %s", s.name.c_str(),
                       m.name.c_str());

    /* Multiplexing: "M", "m<N>" or "m<N>M". */
    skip_space();
    if (p_ < end_ && (*p_ == 'M' || *p_ == 'm')) {
        const char *at = p_;
        word w;
        ident(&w, "");
        if (w.is("M")) {
            s.mux_role = DBC_MUXOR;
        } else if (w.n >= 2 && w.p[0] == 'm' && is_digit(w.p[1])) {
            size_t n = 1;
            uint64_t v = 0;
            while (n < w.n && is_digit(w.p[n])) {
                if (v > (UINT64_C(1) << 62))
                    return fail_at(at, "multiplexor value %.*s is too large", (int)w.n, w.p);
                v = v * 10 + (uint64_t)(w.p[n] - '0');
                n++;
            }
            s.mux_value = (int64_t)v;
            if (n == w.n)
                s.mux_role = DBC_MUXED;
            else if (n + 1 == w.n && w.p[n] == 'M')
                s.mux_role = DBC_MUXED_MUXOR;
            else
                return fail_at(at, "expected M, m<number> or m<number>M before ':', found \"%.*s\"",
                               (int)w.n, w.p);
        } else {
            return fail_at(at, "expected M, m<number> or m<number>M before ':', found \"%.*s\"",
                           (int)w.n, w.p);
        }
    }
    if (!expect(':', "':' after the signal name"))
        return false;
    skip_space();
    const char *pos_at = p_;
    uint32_t start = 0, length = 0;
    if (!unsigned_int(&start, 65535, "the start bit"))
        return false;
    if (!expect('|', "'|' after the start bit"))
        return false;
    skip_space();
    const char *len_at = p_;
    if (!unsigned_int(&length, 65535, "the length in bits"))
        return false;
    if (length < 1 || length > 64)
        return fail_at(len_at, "signal length %u: expected 1 to 64 bits", length);
    if (!expect('@', "'@' after the length"))
        return false;
    skip_space();
    if (p_ >= end_ || (*p_ != '0' && *p_ != '1'))
        return expected("byte order 0 (Motorola) or 1 (Intel) after '@'");
    s.order = *p_++ == '1' ? DBC_INTEL : DBC_MOTOROLA;
    if (p_ >= end_ || (*p_ != '+' && *p_ != '-'))
        return expected("'+' (unsigned) or '-' (signed) after the byte order");
    s.is_signed = *p_++ == '-';
    s.start = (uint16_t)start;
    s.length = (uint8_t)length;
    if (!dbc_signal_fits(s))
        return fail_at(pos_at, "signal %s (start bit %u, %u bits) does not fit in %d bytes",
                       s.name.c_str(), start, length, DBC_MAX_MESSAGE_BYTES);
    if (!expect('(', "'(' before the factor") || !number(&s.factor, "the factor") ||
        !expect(',', "',' after the factor") || !number(&s.offset, "the offset") ||
        !expect(')', "')' after the offset") || !expect('[', "'[' before the minimum") ||
        !number(&s.min, "the minimum") || !expect('|', "'|' after the minimum") ||
        !number(&s.max, "the maximum") || !expect(']', "']' after the maximum") ||
        !string(&s.unit, "the unit in quotes"))
        return false;
    /* Receivers: names separated by commas or blanks, to the line's end. */
    while (!at_line_end()) {
        if (*p_ == ',') {
            p_++;
            continue;
        }
        word r;
        if (!ident(&r, "a receiving node"))
            return false;
        s.receivers.push_back(r.str());
    }
    sig_by_key_[key] = (int)m.signals.size();
    m.signals.push_back(std::move(s));
    return true;
}

bool parser::st_bo_tx_bu()
{
    int msg = -1;
    if (!message_ref(&msg) || !expect(':', "':' after the message identifier"))
        return false;
    while (!peek(';')) {
        if (accept(','))
            continue;
        word w;
        if (!ident(&w, "a node name or ';'"))
            return false;
        if (msg >= 0)
            db_->messages[(size_t)msg].transmitters.push_back(w.str());
    }
    p_++;
    return true;
}

bool parser::st_cm()
{
    std::string text;
    skip_space();
    if (peek('"')) {
        if (!string(&db_->comment, "the comment"))
            return false;
        return end_statement();
    }
    word kind;
    if (!ident(&kind, "BU_, BO_, SG_, EV_ or a comment in quotes"))
        return false;
    if (kind.is("BO_")) {
        int msg = -1;
        if (!message_ref(&msg) || !string(&text, "the comment in quotes"))
            return false;
        if (msg >= 0)
            db_->messages[(size_t)msg].comment = text;
    } else if (kind.is("SG_")) {
        int msg = -1, sig = -1;
        word name;
        if (!signal_ref(&msg, &sig, &name) || !string(&text, "the comment in quotes"))
            return false;
        if (sig >= 0)
            db_->messages[(size_t)msg].signals[(size_t)sig].comment = text;
    } else if (kind.is("BU_") || kind.is("EV_")) {
        word name;
        if (!ident(&name, "a name") || !string(&text, "the comment in quotes"))
            return false;
        int n = kind.is("BU_") ? find_node(name) : -1;
        if (n >= 0)
            db_->nodes[(size_t)n].comment = text;
    } else {
        return fail_at(kind.p, "expected BU_, BO_, SG_, EV_ or a comment in quotes, found \"%s\"",
                       kind.str().c_str());
    }
    return end_statement();
}

bool parser::st_ba_def()
{
    dbc_attr_def d;
    skip_space();
    if (!peek('"')) {
        word kind;
        if (!ident(&kind, "BU_, BO_, SG_, EV_ or the attribute name in quotes"))
            return false;
        if (kind.is("BU_"))
            d.object = DBC_OBJ_NODE;
        else if (kind.is("BO_"))
            d.object = DBC_OBJ_MESSAGE;
        else if (kind.is("SG_"))
            d.object = DBC_OBJ_SIGNAL;
        else if (kind.is("EV_"))
            d.object = DBC_OBJ_ENVVAR;
        else {
            /* Attributes of relations and other objects: not used. */
            skip_statement();
            return true;
        }
    }
    if (!string(&d.name, "the attribute name in quotes"))
        return false;
    word type;
    if (!ident(&type, "INT, HEX, FLOAT, STRING or ENUM"))
        return false;
    if (type.is("INT") || type.is("HEX") || type.is("FLOAT")) {
        d.type = type.is("INT") ? DBC_ATTR_INT : type.is("HEX") ? DBC_ATTR_HEX : DBC_ATTR_FLOAT;
        if (!peek(';') && (!number(&d.min, "the minimum") || !number(&d.max, "the maximum")))
            return false;
    } else if (type.is("STRING")) {
        d.type = DBC_ATTR_STRING;
    } else if (type.is("ENUM")) {
        d.type = DBC_ATTR_ENUM;
        while (!peek(';')) {
            if (accept(','))
                continue;
            std::string v;
            if (!string(&v, "an enumeration value in quotes or ';'"))
                return false;
            d.enum_values.push_back(std::move(v));
        }
    } else {
        return fail_at(type.p, "expected INT, HEX, FLOAT, STRING or ENUM, found \"%s\"",
                       type.str().c_str());
    }
    if (!end_statement())
        return false;
    /* A name defined again replaces the earlier definition. */
    for (dbc_attr_def &old : db_->attr_defs)
        if (old.name == d.name && old.object == d.object) {
            old = std::move(d);
            return true;
        }
    db_->attr_defs.push_back(std::move(d));
    return true;
}

/* A value for a definition: a number, or a string for STRING and for ENUM
 * (given by its text instead of its index). */
bool parser::attr_value(const dbc_attr_def *def, dbc_attr_value *v)
{
    skip_space();
    if (peek('"')) {
        if (!string(&v->text, "the value"))
            return false;
        v->is_text = 1;
        if (def && def->type == DBC_ATTR_ENUM) {
            for (size_t i = 0; i < def->enum_values.size(); i++)
                if (def->enum_values[i] == v->text)
                    v->number = (double)i;
        } else if (def && def->type != DBC_ATTR_STRING) {
            /* Some writers quote numbers. */
            const char *b = v->text.c_str();
            auto r = std::from_chars(b, b + v->text.size(), v->number);
            if (r.ec == std::errc() && r.ptr == b + v->text.size())
                v->is_text = 0;
        }
        return true;
    }
    v->is_text = 0;
    if (!number(&v->number, "a value"))
        return false;
    if (def && def->type == DBC_ATTR_ENUM && v->number >= 0 &&
        v->number < (double)def->enum_values.size())
        v->text = def->enum_values[(size_t)v->number];
    return true;
}

bool parser::st_ba_def_def()
{
    std::string name;
    if (!string(&name, "the attribute name in quotes"))
        return false;
    dbc_attr_value v = {};
    dbc_attr_def *def = nullptr;
    for (dbc_attr_def &d : db_->attr_defs)
        if (d.name == name)
            def = &d;
    if (!attr_value(def, &v) || !end_statement())
        return false;
    if (!def) {
        warn("default of undefined attribute ", name, ": skipped");
        return true;
    }
    /* Every definition of that name (one per object kind) gets it. */
    for (dbc_attr_def &d : db_->attr_defs)
        if (d.name == name) {
            d.has_default = 1;
            d.default_number = v.number;
            d.default_text = v.is_text ? v.text : (d.type == DBC_ATTR_ENUM ? v.text : std::string());
        }
    return true;
}

bool parser::st_ba()
{
    std::string name;
    if (!string(&name, "the attribute name in quotes"))
        return false;
    dbc_attr_value v = {};
    v.message = v.signal = -1;
    v.object = DBC_OBJ_DB;
    bool known_object = true;
    skip_space();
    if (p_ < end_ && is_ident_start(*p_)) {
        word kind;
        ident(&kind, "");
        if (kind.is("BO_")) {
            v.object = DBC_OBJ_MESSAGE;
            if (!message_ref(&v.message))
                return false;
            known_object = v.message >= 0;
        } else if (kind.is("SG_")) {
            v.object = DBC_OBJ_SIGNAL;
            word sname;
            if (!signal_ref(&v.message, &v.signal, &sname))
                return false;
            known_object = v.signal >= 0;
        } else if (kind.is("BU_") || kind.is("EV_")) {
            v.object = kind.is("BU_") ? DBC_OBJ_NODE : DBC_OBJ_ENVVAR;
            word n;
            if (!ident(&n, "a name"))
                return false;
            v.node = n.str();
        } else {
            return fail_at(kind.p, "expected BU_, BO_, SG_, EV_ or a value, found \"%s\"",
                           kind.str().c_str());
        }
    }
    const dbc_attr_def *def = nullptr;
    v.def = -1;
    for (size_t i = 0; i < db_->attr_defs.size(); i++)
        if (db_->attr_defs[i].name == name && db_->attr_defs[i].object == v.object) {
            def = &db_->attr_defs[i];
            v.def = (int)i;
        }
    if (!attr_value(def, &v) || !end_statement())
        return false;
    if (!def) {
        warn("value of undefined attribute ", name, ": skipped");
        return true;
    }
    if (known_object)
        db_->attrs.push_back(std::move(v));
    return true;
}

bool parser::st_val()
{
    skip_space();
    if (p_ < end_ && is_ident_start(*p_)) {
        /* Values of an environment variable: not used. */
        skip_statement();
        return true;
    }
    int msg = -1, sig = -1;
    word name;
    if (!signal_ref(&msg, &sig, &name))
        return false;
    std::vector<dbc_value_text> values;
    if (!value_pairs(&values))
        return false;
    if (sig >= 0)
        db_->messages[(size_t)msg].signals[(size_t)sig].values = std::move(values);
    return true;
}

bool parser::st_sig_valtype()
{
    int msg = -1, sig = -1;
    word name;
    if (!signal_ref(&msg, &sig, &name))
        return false;
    accept(':');
    uint32_t type = 0;
    if (!unsigned_int(&type, 2, "value type 0 (integer), 1 (float) or 2 (double)"))
        return false;
    if (!end_statement())
        return false;
    if (sig < 0)
        return true;
    dbc_signal &s = db_->messages[(size_t)msg].signals[(size_t)sig];
    if ((type == DBC_FLOAT && s.length != 32) || (type == DBC_DOUBLE && s.length != 64)) {
        /* Point at the signal whose length is wrong. */
        err_->line = s.line;
        err_->column = s.column;
        snprintf(err_->message, sizeof err_->message,
                 "signal %s is %u bits long but SIG_VALTYPE_ makes it %s (%d bits)",
                 s.name.c_str(), s.length, type == DBC_FLOAT ? "a float" : "a double",
                 type == DBC_FLOAT ? 32 : 64);
        return false;
    }
    s.type = (uint8_t)type;
    return true;
}

bool parser::st_sg_mul_val()
{
    dbc_pending_mux pm;
    skip_space();
    pm.line = line_;
    pm.column = column_of(p_);
    word name;
    if (!signal_ref(&pm.message, &pm.signal, &name))
        return false;
    word sw;
    if (!ident(&sw, "the multiplexor's name"))
        return false;
    pm.switch_name = sw.str();
    for (;;) {
        dbc_mux_range r;
        if (!integer(&r.lo, "the first value of a range"))
            return false;
        if (!expect('-', "'-' between the values of a range"))
            return false;
        if (!integer(&r.hi, "the last value of a range"))
            return false;
        if (r.hi < r.lo)
            std::swap(r.lo, r.hi);
        pm.ranges.push_back(r);
        if (accept(','))
            continue;
        if (!end_statement())
            return false;
        break;
    }
    if (pm.signal >= 0)
        pending_mux_.push_back(std::move(pm));
    return true;
}

}  // namespace

int dbc_parse(const char *text, size_t len, dbc_db *db, dbc_error *err)
{
    *db = dbc_db();
    memset(err, 0, sizeof *err);
    if (len > DBC_MAX_FILE_BYTES) {
        snprintf(err->message, sizeof err->message, "file is larger than %u MiB",
                 DBC_MAX_FILE_BYTES >> 20);
        return -1;
    }
    parser p(text, len, db, err);
    if (!p.run()) {
        *db = dbc_db();
        return -1;
    }
    return 0;
}
