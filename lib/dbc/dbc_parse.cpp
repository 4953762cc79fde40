/*
 * dbc_parse.cpp - the DBC reader: a recursive-descent parser over the
 * file's characters that fills a dbc_db, then dbc_finish (dbc_model.cpp)
 * resolves multiplexing and attributes and makes the decode plans.
 *
 * A statement that cannot be read is listed as a problem with its line,
 * column and what was expected there, and reading goes on at the next
 * line that starts with a keyword: a broken message is skipped with its
 * signals, a broken signal alone. Every loop consumes input or ends, so
 * no input hangs the reader.
 */
#include "dbc.h"
#include "dbc_internal.h"

#include <stdarg.h>
#include <stdio.h>
#include <string.h>

#include <algorithm>
#include <charconv>
#include <string_view>

namespace {

/* Statement keywords. Those this reader does not use are skipped; any
 * other word that starts a statement is skipped as a problem. */
const std::string_view known_keywords[] = {
    "VERSION", "NS_", "BS_", "BU_", "VAL_TABLE_", "BO_", "SG_", "BO_TX_BU_", "EV_",
    "ENVVAR_DATA_", "SGTYPE_", "SGTYPE_VAL_", "SIG_TYPE_REF_", "SIG_GROUP_", "CM_", "BA_DEF_",
    "BA_DEF_DEF_", "BA_", "BA_DEF_REL_", "BA_DEF_DEF_REL_", "BA_REL_", "BA_DEF_SGTYPE_",
    "BA_SGTYPE_", "VAL_", "SIG_VALTYPE_", "SG_MUL_VAL_", "BU_SG_REL_", "BU_EV_REL_",
    "BU_BO_REL_", "CAT_DEF_", "CAT_", "FILTER", "EV_DATA_", "SIGTYPE_VALTYPE_",
};

/* Names: ASCII letters, digits and '_', and any non-ASCII character (the
 * text is UTF-8, so a name never ends inside one). Tools write names that
 * start with a digit too; a keyword never does. */
bool is_ident_start(char c)
{
    return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || c == '_' || (unsigned char)c >= 0x80;
}
bool is_digit(char c) { return c >= '0' && c <= '9'; }
bool is_ident_char(char c) { return is_ident_start(c) || is_digit(c); }

struct word {
    const char *p = nullptr;
    size_t n = 0;
    std::string_view view() const { return std::string_view(p, n); }
    bool is(std::string_view s) const { return view() == s; }
    std::string str() const { return std::string(p, n); }
};

bool is_keyword(std::string_view w)
{
    if (w.size() < 3 || w.size() > 16 || (w[0] != 'B' && w[0] != 'S' && w[0] != 'C' &&
                                          w[0] != 'V' && w[0] != 'N' && w[0] != 'E' && w[0] != 'F'))
        return false;
    for (std::string_view k : known_keywords)
        if (w == k)
            return true;
    return false;
}

/* The signals read so far, by message index and name. Each message has a
 * small open-addressing table of its own, all of them one after the other
 * in one array: the message being read fills a scratch table, copied into
 * place when the next message begins, so that reading signals stays in
 * the cache and a look-up touches one message's table. */
class signal_index {
public:
    int find(const dbc_db &db, int msg, std::string_view name) const
    {
        uint32_t h = hash(name);
        const slot *t;
        size_t mask;
        if (msg == cur_) {
            t = scratch_.data();
            mask = scratch_.size() - 1;
        } else if (msg >= 0 && (size_t)msg + 1 < first_.size() &&
                   first_[(size_t)msg] != first_[(size_t)msg + 1]) {
            t = slots_.data() + first_[(size_t)msg];
            mask = first_[(size_t)msg + 1] - first_[(size_t)msg] - 1;
        } else {
            return -1;
        }
        for (size_t i = h & mask;; i = (i + 1) & mask) {
            if (t[i].sig < 0)
                return -1;
            if (t[i].h == h && db.messages[(size_t)msg].signals[(size_t)t[i].sig].name == name)
                return t[i].sig;
        }
    }

    /* Adds a signal of message msg, which is the newest message. */
    void add(int msg, std::string_view name, int sig)
    {
        if (msg != cur_) {
            flush();
            cur_ = msg;
            scratch_.assign(16, slot{0, -1});
            used_ = 0;
        }
        if ((used_ + 1) * 2 > scratch_.size()) {
            std::vector<slot> old;
            old.swap(scratch_);
            scratch_.assign(old.size() * 2, slot{0, -1});
            for (const slot &s : old)
                if (s.sig >= 0)
                    put(scratch_.data(), scratch_.size() - 1, s);
        }
        put(scratch_.data(), scratch_.size() - 1, slot{hash(name), sig});
        used_++;
    }

private:
    struct slot {
        uint32_t h;
        int32_t sig;   /* -1: empty */
    };
    std::vector<slot> slots_;       /* the tables of the messages before cur_ */
    std::vector<size_t> first_{0};  /* message i's table: slots_[first_[i], first_[i + 1]) */
    std::vector<slot> scratch_;
    int cur_ = -1;
    size_t used_ = 0;

    static uint32_t hash(std::string_view name)
    {
        uint32_t h = 2166136261u;
        for (char c : name)
            h = (h ^ (unsigned char)c) * 16777619u;
        return h ^ (h >> 15);
    }

    static void put(slot *t, size_t mask, const slot &s)
    {
        size_t i = s.h & mask;
        while (t[i].sig >= 0)
            i = (i + 1) & mask;
        t[i] = s;
    }

    /* The scratch table into place; messages without signals get none. */
    void flush()
    {
        if (cur_ < 0)
            return;
        while (first_.size() < (size_t)cur_ + 1)
            first_.push_back(slots_.size());
        size_t size = 1;
        while (size < used_ * 2)
            size *= 2;
        size_t at = slots_.size();
        slots_.resize(at + size, slot{0, -1});
        for (const slot &s : scratch_)
            if (s.sig >= 0)
                put(slots_.data() + at, size - 1, s);
        first_.push_back(slots_.size());
        cur_ = -1;
    }
};

/* Message indices by a 32-bit key: open addressing. */
class id_index {
public:
    int find(uint32_t key) const
    {
        if (slots_.empty())
            return -1;
        for (size_t i = mix(key) & mask_;; i = (i + 1) & mask_) {
            if (slots_[i].value < 0)
                return -1;
            if (slots_[i].key == key)
                return slots_[i].value;
        }
    }

    /* Sets the key's value (value >= 0). */
    void set(uint32_t key, int value)
    {
        if ((used_ + 1) * 2 > slots_.size())
            grow();
        size_t i = mix(key) & mask_;
        while (slots_[i].value >= 0 && slots_[i].key != key)
            i = (i + 1) & mask_;
        used_ += slots_[i].value < 0;
        slots_[i] = slot{key, value};
    }

private:
    struct slot {
        uint32_t key;
        int32_t value;   /* -1: empty */
    };
    std::vector<slot> slots_;
    size_t mask_ = 0, used_ = 0;

    static size_t mix(uint32_t k)
    {
        uint64_t h = (uint64_t)k * 0x9E3779B97F4A7C15u;
        return (size_t)(h >> 32);
    }

    void grow()
    {
        std::vector<slot> old;
        old.swap(slots_);
        slots_.assign(old.empty() ? 64 : old.size() * 2, slot{0, -1});
        mask_ = slots_.size() - 1;
        for (const slot &s : old)
            if (s.value >= 0) {
                size_t i = mix(s.key) & mask_;
                while (slots_[i].value >= 0)
                    i = (i + 1) & mask_;
                slots_[i] = s;
            }
    }
};

/* Whether a message is decoded with an extended identifier, and which. */
struct decoded_id {
    uint32_t id;
    uint8_t extended;
    bool taken_as_extended;   /* above 0x7FF without bit 31 */
};

decoded_id decode_id(uint32_t raw)
{
    if (raw & 0x80000000u)
        return {raw & 0x1FFFFFFFu, 1, false};
    if (raw > 0x7FFu)
        return {raw & 0x1FFFFFFFu, 1, true};
    return {raw, 0, false};
}

uint32_t message_key(uint32_t id, int extended) { return id | (extended ? 0x80000000u : 0u); }

class parser {
public:
    parser(const char *text, size_t len, dbc_db *db, const volatile int *cancel)
        : p_(text), end_(text + len), line_start_(text), db_(db), cancel_(cancel)
    {
    }

    /* Reads the whole text; false when it was cancelled. */
    bool run();
    /* Known statements read (a text without any is no DBC file). */
    size_t statements() const { return statements_; }
    dbc_build &build() { return build_; }

private:
    const char *p_, *end_, *line_start_;
    int line_ = 1;
    dbc_db *db_;
    const volatile int *cancel_;
    size_t statements_ = 0;
    int cur_msg_ = -1;             /* the message SG_ lines belong to; -2: a skipped one */
    const char *kw_at_ = nullptr;  /* the keyword of the statement being read */
    id_index msg_by_raw_id_;
    id_index msg_by_key_;          /* decoded identifier, bit 31 extended */
    id_index skipped_raw_ids_;     /* messages skipped: references to them are not listed */
    int64_t bo_raw_ = -1;          /* the identifier of the BO_ being read */
    signal_index signals_;
    dbc_build build_;

    /* The statement being read: what it is (for its problem: kind, name,
     * " of message " and the message's name, and a tail; views of the file
     * or of the database, made into text only for a problem) and, when it
     * fails, where and why. */
    struct subject {
        std::string_view kind, name, of, tail;
    } what_;
    std::string what_owned_;
    char what_buf_[40];

    std::string what() const
    {
        std::string t(what_.kind);
        if (!what_.name.empty())
            t.append(" ").append(what_.name);
        if (!what_.of.empty())
            t.append(" of message ").append(what_.of);
        return t.append(what_.tail);
    }
    int fail_line_ = 0, fail_column_ = 0;
    char fail_text_[256];

    /* Identifiers above 0x7FF without bit 31, taken as extended. */
    /* A repair said once per file: where it was first made, and how often. */
    struct said_once {
        int count = 0, line = 0, column = 0;
        std::string first;
        void note(int at_line, int at_column, const char *text)
        {
            if (count++ == 0) {
                line = at_line;
                column = at_column;
                first = text;
            }
        }
    };
    said_once taken_ext_, dropped_bits_;

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

    bool fail_vat(int line, int column, const char *fmt, va_list ap)
    {
        fail_line_ = line;
        fail_column_ = column;
        vsnprintf(fail_text_, sizeof fail_text_, fmt, ap);
        dbc_utf8_trim(fail_text_);
        return false;
    }

    bool fail_at(const char *at, const char *fmt, ...) __attribute__((format(printf, 3, 4)))
    {
        va_list ap;
        va_start(ap, fmt);
        fail_vat(line_, column_of(at), fmt, ap);
        va_end(ap);
        return false;
    }

    bool fail_pos(int line, int column, const char *fmt, ...) __attribute__((format(printf, 4, 5)))
    {
        va_list ap;
        va_start(ap, fmt);
        fail_vat(line, column, fmt, ap);
        va_end(ap);
        return false;
    }

    /* "expected X" at the current position, naming what stands there. */
    bool expected(const char *what)
    {
        skip_blanks();
        char found[64];
        if (p_ >= end_) {
            snprintf(found, sizeof found, "the end of the file");
        } else if (*p_ == '\n' || *p_ == '\r') {
            snprintf(found, sizeof found, "the end of the line");
        } else {
            /* A word, or one character (whole, when it is not ASCII). */
            size_t n = 1;
            if (is_ident_char(*p_))
                while (p_ + n < end_ && n < 24 && is_ident_char(p_[n]))
                    n++;
            else
                while (p_ + n < end_ && ((unsigned char)p_[n] & 0xC0) == 0x80)
                    n++;
            snprintf(found, sizeof found, "\"%.*s\"", (int)n, p_);
            dbc_utf8_trim(found);
        }
        return fail_at(p_, "expected %s, found %s", what, found);
    }

    void problem(int line, int column, uint8_t kind, std::string text)
    {
        dbc_add_problem(db_, line, column, kind, std::move(text));
    }

    /* A reference to something the file does not define. */
    void undefined(const char *at, std::string text)
    {
        problem(line_, column_of(at), DBC_UNDEFINED, std::move(text));
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

    /* Only blanks stand before at on its line (at is on the current line);
     * looked at backwards, so that it costs the blanks only. */
    bool first_on_line(const char *at) const
    {
        for (const char *q = at; q > line_start_; q--)
            if (q[-1] != ' ' && q[-1] != '\t' && q[-1] != '\r')
                return false;
        return true;
    }

    /* A keyword begins at q. */
    bool keyword_at(const char *q) const
    {
        const char *e = q;
        while (e < end_ && is_ident_char(*e))
            e++;
        return is_keyword(std::string_view(q, (size_t)(e - q)));
    }

    /* The next thing is a keyword that starts a line, or the end: where a
     * statement whose ';' is missing ends. */
    bool at_next_statement()
    {
        skip_space();
        return p_ >= end_ || (first_on_line(p_) && keyword_at(p_));
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

    /* A keyword-like word: starts with a letter or '_'. */
    bool ident(word *out, const char *what) { return run_of(out, what, false); }

    /* A name of a message, signal or node: may start with a digit. */
    bool name(word *out, const char *what) { return run_of(out, what, true); }

    bool run_of(word *out, const char *what, bool digit_first)
    {
        skip_space();
        if (p_ >= end_ || !(digit_first ? is_ident_char(*p_) : is_ident_start(*p_)))
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

    /* Digits alone, up to 18 of them, and their value. */
    static bool small_digits(const char *b, const char *e, uint64_t *v)
    {
        if (e - b > 18)
            return false;
        uint64_t x = 0;
        for (const char *q = b; q < e; q++) {
            if (!is_digit(*q))
                return false;
            x = x * 10 + (uint64_t)(*q - '0');
        }
        *v = x;
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
        /* Whole numbers up to 15 digits are exact as doubles: the common
         * case, taken without the general conversion. */
        uint64_t small;
        bool neg = *b == '-';
        if (e - b - neg <= 15 && small_digits(b + neg, e, &small)) {
            *out = neg ? -(double)small : (double)small;
            return true;
        }
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
        uint64_t small;
        if (small_digits(b, e, &small)) {
            *out = (int64_t)small;
            return true;
        }
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

    /* A double-quoted string; \" and \\ stand for themselves. One that is
     * never closed is taken to end with its line, so that what follows is
     * read again. */
    bool string(std::string *out, const char *what)
    {
        skip_space();
        if (p_ >= end_ || *p_ != '"')
            return expected(what);
        const char *open = p_;
        int open_line = line_;
        const char *open_line_start = line_start_;
        p_++;
        const char *s = p_;
        const char *q = (const char *)memchr(p_, '"', (size_t)(end_ - p_));
        const char *esc = (const char *)memchr(p_, '\\', (size_t)((q ? q : end_) - p_));
        if (q && !esc) {
            /* The common case: no escapes. */
            out->assign(s, (size_t)(q - s));
            for (const char *nl = (const char *)memchr(s, '\n', (size_t)(q - s)); nl;
                 nl = (const char *)memchr(nl + 1, '\n', (size_t)(q - nl - 1)))
                newline_at(nl);
            p_ = q + 1;
            return true;
        }
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
            const char *nl = (const char *)memchr(open, '\n', (size_t)(end_ - open));
            p_ = nl ? nl : end_;
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
                string(&ignored, "a string");
                continue;
            }
            if (c == '\n') {
                newline_at(p_);
                p_++;
                skip_blanks();
                if (p_ < end_ && is_ident_start(*p_) && keyword_at(p_))
                    return;
                continue;
            }
            p_++;
        }
    }

    /* After a statement that failed: on at the first line, after the
     * statement's start, that begins with a keyword. */
    void recover(const char *start)
    {
        if (p_ > start && p_ < end_ && first_on_line(p_) && keyword_at(p_))
            return;
        if (p_ <= start)
            p_ = start;
        while (p_ < end_) {
            const char *nl = (const char *)memchr(p_, '\n', (size_t)(end_ - p_));
            if (!nl) {
                p_ = end_;
                return;
            }
            newline_at(nl);
            p_ = nl + 1;
            skip_blanks();
            if (p_ < end_ && is_ident_start(*p_) && keyword_at(p_))
                return;
        }
    }

    /* Ends a statement at its ';'. A missing ';' before the next statement
     * is repaired, and listed. */
    bool end_statement()
    {
        return list_end() || expected("';'");
    }

    /* The end of a statement or a list: its ';', or (repaired, listed) the
     * next statement where the ';' is missing. */
    bool list_end()
    {
        skip_blanks();
        int line = line_, column = column_of(p_);
        if (accept(';'))
            return true;
        if (at_next_statement()) {
            missing_semicolon(line, column);
            return true;
        }
        return false;
    }

    void missing_semicolon(int line, int column)
    {
        problem(line, column, DBC_REPAIRED, what() + ": ';' missing at the end of the line: added");
    }

    /* ------------------------------------------------------ references */

    int find_message(uint32_t raw_id)
    {
        int i = msg_by_raw_id_.find(raw_id);
        if (i >= 0)
            return i;
        /* Written with or without bit 31 where the message was not. */
        decoded_id d = decode_id(raw_id);
        return msg_by_key_.find(message_key(d.id, d.extended));
    }

    int find_signal(int msg, const word &name) { return signals_.find(*db_, msg, name.view()); }

    /* A message identifier and signal name; *msg and *sig are -1 (listed
     * as undefined) when the file does not define them. */
    bool signal_ref(int *msg, int *sig, word *sname)
    {
        skip_space();
        const char *at = p_;
        uint32_t id = 0;
        if (!unsigned_int(&id, 0xFFFFFFFFu, "a message identifier"))
            return false;
        if (!name(sname, "a signal name"))
            return false;
        *msg = find_message(id);
        *sig = *msg >= 0 ? find_signal(*msg, *sname) : -1;
        if (*sig < 0 && skipped_raw_ids_.find(id) < 0)
            undefined(at, what() + ": signal " + sname->str() + " of message " + std::to_string(id) +
                              " is not defined: skipped");
        return true;
    }

    bool message_ref(int *msg)
    {
        skip_space();
        const char *at = p_;
        uint32_t id = 0;
        if (!unsigned_int(&id, 0xFFFFFFFFu, "a message identifier"))
            return false;
        *msg = find_message(id);
        if (*msg < 0 && skipped_raw_ids_.find(id) < 0)
            undefined(at, what() + ": message " + std::to_string(id) + " is not defined: skipped");
        return true;
    }

    int find_node(const word &n)
    {
        for (size_t i = 0; i < db_->nodes.size(); i++)
            if (n.view() == db_->nodes[i].name)
                return (int)i;
        return -1;
    }

    /* ------------------------------------------------------ statements */

    bool statement(const word &kw);
    bool st_version();
    bool st_bs();
    bool st_ns();
    bool st_bu();
    bool st_val_table();
    bool st_bo();
    bool st_sg();
    bool st_sg_read(word *name);
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
        if (cancel_ && *cancel_)
            return false;
        skip_space();
        if (p_ >= end_)
            break;
        const char *start = p_;
        int start_line = line_;
        word kw;
        what_ = subject();
        if (!ident(&kw, "a keyword such as BO_, SG_ or CM_")) {
            problem(fail_line_, fail_column_, DBC_SKIPPED, std::string(fail_text_) + ": skipped to the next statement");
            recover(start);
            continue;
        }
        kw_at_ = kw.p;
        if (!is_keyword(kw.view())) {
            problem(start_line, column_of(kw.p), DBC_SKIPPED,
                    "unknown statement \"" + kw.str() + "\": skipped");
            skip_statement();
            continue;
        }
        statements_++;
        what_ = subject{kw.view(), {}, {}, {}};
        bo_raw_ = -1;
        if (!statement(kw)) {
            if (bo_raw_ >= 0)
                skipped_raw_ids_.set((uint32_t)bo_raw_, 1);
            problem(fail_line_, fail_column_, DBC_SKIPPED, what() + " skipped: " + fail_text_);
            recover(start);
        }
    }
    for (const said_once &n : {taken_ext_, dropped_bits_})
        if (n.count)
            problem(n.line, n.column, DBC_REPAIRED,
                    n.first + (n.count > 1 ? " (and " + std::to_string(n.count - 1) + " more like it)"
                                           : std::string()));
    return true;
}

bool parser::statement(const word &kw)
{
    using handler = bool (parser::*)();
    static const struct {
        std::string_view keyword;
        handler read;
    } readers[] = {
        {"BO_", &parser::st_bo},           {"SG_", &parser::st_sg},
        {"CM_", &parser::st_cm},           {"BA_", &parser::st_ba},
        {"VAL_", &parser::st_val},         {"BU_", &parser::st_bu},
        {"NS_", &parser::st_ns},           {"BS_", &parser::st_bs},
        {"VERSION", &parser::st_version},  {"BA_DEF_", &parser::st_ba_def},
        {"BA_DEF_DEF_", &parser::st_ba_def_def}, {"BO_TX_BU_", &parser::st_bo_tx_bu},
        {"VAL_TABLE_", &parser::st_val_table},   {"SG_MUL_VAL_", &parser::st_sg_mul_val},
        {"SIG_VALTYPE_", &parser::st_sig_valtype},
    };
    for (const auto &r : readers)
        if (kw.view() == r.keyword)
            return (this->*r.read)();
    skip_statement();
    return true;
}

bool parser::st_version()
{
    return string(&db_->version, "the version string");
}

/* Bus timing, obsolete: the rest of the line. */
bool parser::st_bs()
{
    while (p_ < end_ && *p_ != '\n')
        p_++;
    return true;
}

/* The list of new symbols: the words on the indented lines after "NS_ :".
 * They tell nothing a reader needs. */
bool parser::st_ns()
{
    if (!expect(':', "':' after NS_"))
        return false;
    for (;;) {
        skip_space();
        /* The list ends at a word in the first column, or at a statement
         * that never stands in it. */
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

bool parser::st_bu()
{
    if (!expect(':', "':' after BU_"))
        return false;
    /* Names separated by blanks or commas, on the line and on indented
     * lines after it. */
    for (;;) {
        if (at_line_end()) {
            const char *q = p_ < end_ ? p_ + 1 : end_;
            const char *w = q;
            while (w < end_ && (*w == ' ' || *w == '\t' || *w == '\r'))
                w++;
            if (w == q || w >= end_ || !is_ident_char(*w) || keyword_at(w))
                return true;
            newline_at(p_);
            p_ = w;
        }
        if (*p_ == ',') {
            p_++;
            continue;
        }
        if (!is_ident_char(*p_))
            return true;
        word w;
        name(&w, "a node name");
        if (find_node(w) < 0)
            db_->nodes.push_back({w.str(), std::string()});
    }
}

bool parser::value_pairs(std::vector<dbc_value_text> *out)
{
    for (;;) {
        if (list_end())
            break;
        dbc_value_text v;
        if (!(is_digit(*p_) || *p_ == '-' || *p_ == '+'))
            return expected("a value or ';'");
        if (!integer(&v.value, "a value"))
            return false;
        if (!string(&v.text, "the value's text in quotes"))
            return false;
        out->push_back(std::move(v));
    }
    std::stable_sort(out->begin(), out->end(),
                     [](const dbc_value_text &a, const dbc_value_text &b) { return a.value < b.value; });
    /* A value written twice: the last text counts. */
    size_t n = 0;
    for (size_t i = 0; i < out->size(); i++) {
        if (n > 0 && (*out)[n - 1].value == (*out)[i].value)
            (*out)[n - 1] = std::move((*out)[i]);
        else if (n++ != i)
            (*out)[n - 1] = std::move((*out)[i]);
    }
    out->resize(n);
    return true;
}

bool parser::st_val_table()
{
    dbc_value_table t;
    word n;
    if (!name(&n, "the value table's name"))
        return false;
    t.name = n.str();
    what_ = subject{"value table", n.view(), {}, {}};
    if (!value_pairs(&t.entries))
        return false;
    db_->value_tables.push_back(std::move(t));
    return true;
}

bool parser::st_bo()
{
    cur_msg_ = -2;   /* until this message is read whole */
    skip_space();
    const char *at = p_;
    int at_line = line_;
    int at_column = column_of(at);
    uint32_t raw = 0;
    if (!unsigned_int(&raw, 0xFFFFFFFFu, "the message identifier"))
        return false;
    snprintf(what_buf_, sizeof what_buf_, "%u", raw);
    what_ = subject{"message", what_buf_, {}, {}};
    bo_raw_ = raw;
    word mname;
    if (!name(&mname, "the message name"))
        return false;
    snprintf(what_buf_, sizeof what_buf_, " (%u) with its signals", raw);
    what_ = subject{"message", mname.view(), {}, what_buf_};
    if (!expect(':', "':' after the message name"))
        return false;
    uint32_t size = 0;
    if (!unsigned_int(&size, 65535, "the message length in bytes"))
        return false;
    dbc_message m;
    if (!at_line_end()) {
        word sender;
        if (!name(&sender, "the sending node or the end of the line"))
            return false;
        m.sender = sender.str();
    }
    m.raw_id = raw;
    decoded_id d = decode_id(raw);
    m.id = d.id;
    m.extended = d.extended;
    /* The holder of signals that belong to no message: the name tools give
     * it, or an identifier with bit 30 or 29 and nothing else. */
    if (mname.is("VECTOR__INDEPENDENT_SIG_MSG") ||
        ((raw & 0x60000000u) && (raw & 0x1FFFFFFFu) == 0)) {
        m.decodable = 0;
        d.taken_as_extended = false;
    }
    int first = find_message(raw);
    if (first >= 0 && (msg_by_raw_id_.find(raw) >= 0 || m.decodable)) {
        const dbc_message &f = db_->messages[(size_t)first];
        return fail_pos(at_line, at_column, "identifier %u is message %s's already (line %d)", raw,
                        f.name.c_str(), f.line);
    }
    const uint32_t dropped = raw & 0x60000000u;
    if (dropped && m.decodable) {
        /* Bits 29 and 30 are no part of an identifier: the repair says so. */
        const char *bits = dropped == 0x60000000u ? "bits 29 and 30" : dropped & 0x40000000u ? "bit 30" : "bit 29";
        char text[320];
        snprintf(text, sizeof text,
                 "identifier %u of message %.64s has %s set%s: %s dropped, taken as the extended "
                 "identifier 0x%X",
                 raw, mname.str().c_str(), bits, raw & 0x80000000u ? "" : " and not the extended flag (bit 31)",
                 bits, m.id);
        dropped_bits_.note(at_line, at_column, text);
    } else if (d.taken_as_extended && m.decodable) {
        char text[256];
        snprintf(text, sizeof text,
                 "identifier %u of message %.64s is above 0x7FF without the extended flag "
                 "(bit 31): taken as the extended identifier 0x%X",
                 raw, mname.str().c_str(), m.id);
        taken_ext_.note(at_line, at_column, text);
    }
    m.size = size;
    m.name = mname.str();
    m.line = at_line;
    int index = (int)db_->messages.size();
    msg_by_raw_id_.set(raw, index);
    if (m.decodable)
        msg_by_key_.set(message_key(m.id, m.extended), index);
    cur_msg_ = index;
    /* Room for the SG_ lines that follow, counted ahead: the signals are
     * not moved again and again as the list grows. */
    size_t n = 0;
    for (const char *q = p_; q < end_ && n < DBC_MAX_SIGNALS;) {
        const char *nl = (const char *)memchr(q, '\n', (size_t)(end_ - q));
        if (!nl)
            break;
        q = nl + 1;
        while (q < end_ && (*q == ' ' || *q == '\t'))
            q++;
        if (end_ - q < 4 || memcmp(q, "SG_ ", 4) != 0)
            break;
        n++;
    }
    m.signals.reserve(n);
    db_->messages.push_back(std::move(m));
    return true;
}

bool parser::st_sg()
{
    word sname;
    if (st_sg_read(&sname))
        return true;
    if (cur_msg_ >= 0 && sname.n)
        build_.skipped.push_back({cur_msg_, sname.str()});
    return false;
}

bool parser::st_sg_read(word *name_out)
{
    if (cur_msg_ == -2) {
        /* A signal of a message that was skipped, with it. */
        skip_statement();
        return true;
    }
    dbc_signal s;
    skip_space();
    s.line = line_;
    s.column = column_of(p_);
    word &sname = *name_out;
    if (!name(&sname, "the signal name"))
        return false;
    s.name = sname.str();
    if (cur_msg_ < 0) {
        what_ = subject{"signal", sname.view(), {}, {}};
        return fail_at(kw_at_, "SG_ outside a message (expected a BO_ line before it)");
    }
    dbc_message &m = db_->messages[(size_t)cur_msg_];
    what_ = subject{"signal", sname.view(), m.name, {}};
    if (m.signals.size() >= DBC_MAX_SIGNALS)
        return fail_at(sname.p, "more than %d signals in one message", DBC_MAX_SIGNALS);
    if (find_signal(cur_msg_, sname) >= 0)
        return fail_at(sname.p, "a signal of that name is in the message already");

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
                               (int)std::min<size_t>(w.n, 32), w.p);
        } else {
            return fail_at(at, "expected M, m<number> or m<number>M before ':', found \"%.*s\"",
                           (int)std::min<size_t>(w.n, 32), w.p);
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
        return fail_at(pos_at, "start bit %u and %u bits do not fit in %d bytes", start, length,
                       DBC_MAX_MESSAGE_BYTES);
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
        if (!name(&r, "a receiving node"))
            return false;
        s.receivers.push_back(r.str());
    }
    signals_.add(cur_msg_, sname.view(), (int)m.signals.size());
    m.signals.push_back(std::move(s));
    return true;
}

bool parser::st_bo_tx_bu()
{
    what_ = subject{"transmitters", {}, {}, {}};
    int msg = -1;
    if (!message_ref(&msg) || !expect(':', "':' after the message identifier"))
        return false;
    std::vector<std::string> names;
    for (;;) {
        if (list_end())
            break;
        if (accept(','))
            continue;
        word w;
        if (!name(&w, "a node name or ';'"))
            return false;
        names.push_back(w.str());
    }
    if (msg >= 0)
        for (std::string &n : names)
            db_->messages[(size_t)msg].transmitters.push_back(std::move(n));
    return true;
}

bool parser::st_cm()
{
    std::string text;
    what_ = subject{"comment", {}, {}, {}};
    skip_space();
    if (peek('"')) {
        if (!string(&text, "the comment"))
            return false;
        if (!end_statement())
            return false;
        db_->comment = std::move(text);
        return true;
    }
    word kind;
    if (!ident(&kind, "BU_, BO_, SG_, EV_ or a comment in quotes"))
        return false;
    if (kind.is("BO_")) {
        int msg = -1;
        what_ = subject{"comment of a message", {}, {}, {}};
        if (!message_ref(&msg) || !string(&text, "the comment in quotes") || !end_statement())
            return false;
        if (msg >= 0)
            db_->messages[(size_t)msg].comment = std::move(text);
    } else if (kind.is("SG_")) {
        int msg = -1, sig = -1;
        word sname;
        what_ = subject{"comment of a signal", {}, {}, {}};
        if (!signal_ref(&msg, &sig, &sname) || !string(&text, "the comment in quotes") ||
            !end_statement())
            return false;
        if (sig >= 0)
            db_->messages[(size_t)msg].signals[(size_t)sig].comment = std::move(text);
    } else if (kind.is("BU_") || kind.is("EV_")) {
        word n;
        what_ = subject{kind.is("BU_") ? "comment of a node" : "comment of a variable", {}, {}, {}};
        if (!name(&n, "a name") || !string(&text, "the comment in quotes") || !end_statement())
            return false;
        int node = kind.is("BU_") ? find_node(n) : -1;
        if (node >= 0)
            db_->nodes[(size_t)node].comment = std::move(text);
    } else {
        return fail_at(kind.p, "expected BU_, BO_, SG_, EV_ or a comment in quotes, found \"%.*s\"",
                       (int)std::min<size_t>(kind.n, 32), kind.p);
    }
    return true;
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
    what_owned_ = d.name;
    what_ = subject{"attribute definition", what_owned_, {}, {}};
    word type;
    if (!ident(&type, "INT, HEX, FLOAT, STRING or ENUM"))
        return false;
    if (type.is("INT") || type.is("HEX") || type.is("FLOAT")) {
        d.type = type.is("INT") ? DBC_ATTR_INT : type.is("HEX") ? DBC_ATTR_HEX : DBC_ATTR_FLOAT;
        if (!peek(';') && !at_next_statement() &&
            (!number(&d.min, "the minimum") || !number(&d.max, "the maximum")))
            return false;
    } else if (type.is("STRING")) {
        d.type = DBC_ATTR_STRING;
    } else if (type.is("ENUM")) {
        d.type = DBC_ATTR_ENUM;
        while (!peek(';') && !at_next_statement()) {
            if (accept(','))
                continue;
            std::string v;
            if (!string(&v, "an enumeration value in quotes or ';'"))
                return false;
            d.enum_values.push_back(std::move(v));
        }
    } else {
        return fail_at(type.p, "expected INT, HEX, FLOAT, STRING or ENUM, found \"%.*s\"",
                       (int)std::min<size_t>(type.n, 32), type.p);
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
    skip_space();
    const char *at = p_;
    std::string aname;
    if (!string(&aname, "the attribute name in quotes"))
        return false;
    what_owned_ = aname;
    what_ = subject{"default of attribute", what_owned_, {}, {}};
    dbc_attr_value v = {};
    dbc_attr_def *def = nullptr;
    for (dbc_attr_def &d : db_->attr_defs)
        if (d.name == aname)
            def = &d;
    if (!attr_value(def, &v) || !end_statement())
        return false;
    if (!def) {
        undefined(at, what() + ": the attribute is not defined: skipped");
        return true;
    }
    /* Every definition of that name (one per object kind) gets it. */
    for (dbc_attr_def &d : db_->attr_defs)
        if (d.name == aname) {
            d.has_default = 1;
            d.default_number = v.number;
            d.default_text = v.is_text ? v.text : (d.type == DBC_ATTR_ENUM ? v.text : std::string());
        }
    return true;
}

bool parser::st_ba()
{
    skip_space();
    const char *at = p_;
    std::string aname;
    if (!string(&aname, "the attribute name in quotes"))
        return false;
    what_owned_ = aname;
    what_ = subject{"attribute", what_owned_, {}, {}};
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
            if (!name(&n, "a name"))
                return false;
            v.node = n.str();
        } else {
            return fail_at(kind.p, "expected BU_, BO_, SG_, EV_ or a value, found \"%.*s\"",
                           (int)std::min<size_t>(kind.n, 32), kind.p);
        }
    }
    const dbc_attr_def *def = nullptr;
    v.def = -1;
    for (size_t i = 0; i < db_->attr_defs.size(); i++)
        if (db_->attr_defs[i].object == v.object && db_->attr_defs[i].name == aname) {
            def = &db_->attr_defs[i];
            v.def = (int)i;
        }
    if (!attr_value(def, &v) || !end_statement())
        return false;
    if (!def) {
        undefined(at, what() + ": the attribute is not defined: skipped");
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
    word sname;
    what_ = subject{"value descriptions", {}, {}, {}};
    if (!signal_ref(&msg, &sig, &sname))
        return false;
    what_ = subject{"value descriptions of signal", sname.view(), {}, {}};
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
    word sname;
    int at_line = line_;
    if (!signal_ref(&msg, &sig, &sname))
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
        /* The signal cannot be what the file says: it is dropped, and the
         * problem points at it. */
        char text[256];
        snprintf(text, sizeof text,
                 "signal %.64s of message %.64s skipped: it is %u bits long but SIG_VALTYPE_ "
                 "(line %d) makes it %s (%d bits)",
                 s.name.c_str(), db_->messages[(size_t)msg].name.c_str(), s.length, at_line,
                 type == DBC_FLOAT ? "a float" : "a double", type == DBC_FLOAT ? 32 : 64);
        dbc_utf8_trim(text);
        problem(s.line, s.column, DBC_SKIPPED, text);
        build_.drop.push_back({msg, sig});
        return true;
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
    word sname;
    if (!signal_ref(&pm.message, &pm.signal, &sname))
        return false;
    what_ = subject{"SG_MUL_VAL_ of signal", sname.view(), {}, {}};
    word sw;
    if (!name(&sw, "the multiplexor's name"))
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
        build_.pending.push_back(std::move(pm));
    return true;
}

}  // namespace

void dbc_utf8_trim(char *s)
{
    size_t n = strlen(s);
    /* Back over continuation bytes to the last lead byte; keep it only
     * when all of its bytes are there. */
    size_t i = n, cont = 0;
    while (i > 0 && ((unsigned char)s[i - 1] & 0xC0) == 0x80 && cont < 4) {
        i--;
        cont++;
    }
    if (i == 0)
        return;
    unsigned char lead = (unsigned char)s[i - 1];
    size_t want = lead < 0x80 ? 0 : (lead & 0xE0) == 0xC0 ? 1 : (lead & 0xF0) == 0xE0 ? 2
                                                                : (lead & 0xF8) == 0xF0 ? 3 : 0;
    if (lead >= 0x80 && want != cont)
        s[i - 1] = '\0';
}

void dbc_add_problem(dbc_db *db, int line, int column, uint8_t kind, std::string text)
{
    if (db->problems.size() >= DBC_MAX_PROBLEMS) {
        db->problems_dropped++;
        return;
    }
    db->problems.push_back(dbc_problem{line, column, kind, std::move(text)});
}

int dbc_parse(const char *text, size_t len, dbc_db *db, dbc_error *err, const volatile int *cancel)
{
    *db = dbc_db();
    memset(err, 0, sizeof *err);
    if (len > DBC_MAX_FILE_BYTES) {
        snprintf(err->message, sizeof err->message, "file is larger than %u MiB",
                 DBC_MAX_FILE_BYTES >> 20);
        return -1;
    }
    parser p(text, len, db, cancel);
    if (!p.run()) {
        *db = dbc_db();
        snprintf(err->message, sizeof err->message, "cancelled");
        return -1;
    }
    dbc_finish(db, p.build());
    if (!db->messages.empty())
        return 0;
    /* Nothing usable: the file is no DBC file, or the first thing that
     * was skipped says why. */
    bool blank = true;
    for (size_t i = 0; i < len && blank; i++)
        blank = text[i] == ' ' || text[i] == '\t' || text[i] == '\r' || text[i] == '\n';
    if (p.statements() == 0 && !blank) {
        snprintf(err->message, sizeof err->message,
                 "no DBC statement (such as BO_ or SG_) in the file: not a DBC database");
        *db = dbc_db();
        return -1;
    }
    for (const dbc_problem &pr : db->problems)
        if (pr.kind == DBC_SKIPPED) {
            err->line = pr.line;
            err->column = pr.column;
            snprintf(err->message, sizeof err->message, "%s", pr.text.c_str());
            dbc_utf8_trim(err->message);
            *db = dbc_db();
            return -1;
        }
    return 0;
}
