/*
 * j1939db.cpp - a J1939 DBC database for this page: the signals of the
 * parameter groups it describes, decoded from reassembled messages as
 * from single frames, found by PGN whatever the priority and addresses.
 */
#include "diagnostics.h"

#include <math.h>
#include <string.h>

#include <unordered_map>
#include <vector>

#include "dbc.h"

namespace {

struct j1939db {
    dbc_db db;
    std::unordered_map<uint32_t, const dbc_message *> by_pgn;
    std::vector<dbc_value> values;
};

j1939db *jdb;

const dbc_message *message_of(uint32_t pgn)
{
    if (!jdb)
        return nullptr;
    auto it = jdb->by_pgn.find(pgn);
    return it == jdb->by_pgn.end() ? nullptr : it->second;
}

/* Decodes a message's data; the count of active signals. */
int decode(const dbc_message *m, const uint8_t *data, uint32_t len)
{
    if (jdb->values.size() < m->signals.size())
        jdb->values.resize(m->signals.size());
    return dbc_decode(m, data, len, jdb->values.data());
}

void value_text(const dbc_signal &s, const dbc_value &v, GString *out)
{
    const char *label = s.type == DBC_INTEGER ? dbc_value_label(&s, v.raw) : nullptr;
    char num[64];
    if (s.type == DBC_INTEGER && s.factor == 1.0 && s.offset == 0.0)
        g_snprintf(num, sizeof num, "%lld", (long long)v.raw);
    else
        g_ascii_formatd(num, sizeof num, "%.6g", v.phys);
    g_string_append_printf(out, "%s = %s%s%s", s.name.c_str(), num, s.unit.empty() ? "" : " ", s.unit.c_str());
    if (label)
        g_string_append_printf(out, " (%s)", label);
}

}  // namespace

int dgp_j1939_load(const char *path, char *msg, size_t msg_size)
{
    dgp_j1939_free();
    g_strlcpy(dgp.j1939_db, path, sizeof dgp.j1939_db);
    if (!path[0])
        return 0;
    char *local = g_filename_from_utf8(path, -1, nullptr, nullptr, nullptr);
    j1939db *d = new j1939db;
    dbc_error err;
    const int rc = dbc_load_file(local ? local : path, &d->db, &err);
    g_free(local);
    if (rc != 0) {
        if (err.line)
            g_snprintf(msg, msg_size, _("%s, line %d, column %d: %s"), path, err.line, err.column, err.message);
        else
            g_snprintf(msg, msg_size, _("Could not read %s: %s"), path, err.message);
        delete d;
        dgp.j1939_db[0] = 0;
        return -1;
    }
    for (const dbc_message &m : d->db.messages) {
        if (!m.extended || !m.decodable)
            continue;
        j19_id id;
        j19_split(m.id, &id);
        d->by_pgn.emplace(id.pgn, &m);
    }
    jdb = d;
    dgp.j1939_db_loaded = 1;
    return 0;
}

void dgp_j1939_free(void)
{
    delete jdb;
    jdb = nullptr;
    dgp.j1939_db_loaded = 0;
}

/* The message's signals, one a line, for the details. */
void dgp_j1939_signals(dgp_store *s, uint64_t seq, GString *out)
{
    g_mutex_lock(&s->lock);
    const dgp_row *r = dgp_store_row(s, seq);
    const dbc_message *m = r ? message_of(r->pgn) : nullptr;
    const uint8_t *b = m ? dgp_store_bytes(s, r->req_off, r->req_len) : nullptr;
    if (b) {
        decode(m, b, r->req_len);
        g_string_append_printf(out, "\n%s (%s)\n", m->name.c_str(), _("J1939 database"));
        for (size_t i = 0; i < m->signals.size(); i++) {
            if (!jdb->values[i].active)
                continue;
            g_string_append(out, "  ");
            value_text(m->signals[i], jdb->values[i], out);
            g_string_append_c(out, '\n');
        }
    }
    g_mutex_unlock(&s->lock);
}

/* A summary from the database for a parameter group it describes: the
 * message's name and its first signals. False when it has none. */
bool dgp_j1939_summary(uint32_t pgn, const uint8_t *data, uint32_t len, char *out, size_t size)
{
    const dbc_message *m = message_of(pgn);
    if (!m)
        return false;
    decode(m, data, len);
    GString *text = g_string_new(m->name.c_str());
    int shown = 0;
    for (size_t i = 0; i < m->signals.size() && shown < 4; i++) {
        if (!jdb->values[i].active)
            continue;
        g_string_append(text, shown++ ? ", " : ": ");
        value_text(m->signals[i], jdb->values[i], text);
    }
    g_strlcpy(out, text->str, size);
    g_string_free(text, TRUE);
    return true;
}
