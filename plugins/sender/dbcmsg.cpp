/*
 * dbcmsg.cpp - messages packed from a database: the sender's own database
 * (read on a worker thread), the physical values of each such message by
 * signal name, packing them into the message's bytes, counters and
 * checksums, and the session keys that keep all of it.
 *
 * Packing happens on the GUI thread whenever a value changes; the bytes it
 * leaves in the message are what is sent, database or not. The counter and
 * checksum are written last, into each frame as it goes out
 * (sd_final_frame).
 */
#include "sender.h"

#include <math.h>
#include <stdlib.h>
#include <string.h>

#include <map>
#include <new>
#include <string>
#include <utility>
#include <vector>

namespace {

/* A row's database message and its values by signal name. */
struct db_values {
    std::string message;
    std::vector<std::pair<std::string, double>> values;
    uint32_t of;                     /* the read (db_state.gen) `found` is of */
    const dbc_message *found;
};

struct load_job {
    char path[1024];
    dbc_db *db;
    dbc_error err;
    int rc;
    volatile int cancel;
    GThread *thread;
    GMutex lock;
    guint idle;
};

struct db_state {
    dbc_db *db;
    char path[1024];
    load_job *job;
    std::map<uint32_t, db_values> *rows;
    uint32_t gen;                    /* counts databases read, from 1 */
    char load_path[1024];            /* the session's database */
    int load_have;
};
db_state ds;

std::map<uint32_t, db_values> &rows(void)
{
    if (!ds.rows)
        ds.rows = new std::map<uint32_t, db_values>();
    return *ds.rows;
}

/* Rows share the list's identities, so a row's values follow it. */
uint32_t new_uid(void)
{
    return sd_new_uid();
}

db_values *values_of(const sd_msg &m)
{
    if (!m.uid)
        return nullptr;
    auto it = rows().find(m.uid);
    return it == rows().end() ? nullptr : &it->second;
}

const dbc_message *find_message(const char *name)
{
    if (!ds.db)
        return nullptr;
    for (const dbc_message &m : ds.db->messages)
        if (m.decodable && m.name == name)
            return &m;
    return nullptr;
}

bool has_word(const std::string &name, const char *word)
{
    std::string low = name;
    for (char &c : low)
        c = (char)g_ascii_tolower(c);
    return low.find(word) != std::string::npos;
}

/* The value a signal starts with: its start value when the file gives
 * one within range, else 0, else the nearest limit. */
double start_value(const dbc_signal &s)
{
    double lo, hi;
    dbc_signal_range(&s, &lo, &hi);
    double v = s.has_start_value ? s.start_value * s.factor + s.offset : 0.0;
    if (!(v >= lo))
        v = lo;
    if (!(v <= hi))
        v = hi;
    return v;
}

double kept(const db_values &dv, const dbc_signal &s)
{
    for (const auto &p : dv.values)
        if (p.first == s.name)
            return p.second;
    return start_value(s);
}

void keep(db_values &dv, const std::string &name, double v)
{
    for (auto &p : dv.values)
        if (p.first == name) {
            p.second = v;
            return;
        }
    dv.values.emplace_back(name, v);
}

e2e_field field_of(const dbc_signal &s)
{
    return e2e_field{s.start, s.length, (uint8_t)(s.order == DBC_MOTOROLA)};
}

/* Packs a row's values into its bytes. 0, or -1 with err: a kept value the
 * signal no longer takes (the database changed), which is left as it was. */
int pack(sd_msg &m, const dbc_message *dm, db_values &dv, char *err, size_t errsize)
{
    size_t n = dm->signals.size();
    std::vector<double> phys(n);
    std::vector<dbc_value> out(n);
    for (size_t i = 0; i < n; i++)
        phys[i] = kept(dv, dm->signals[i]);
    unsigned size = dm->size > SD_DATA_MAX ? SD_DATA_MAX : dm->size;
    uint8_t data[SD_DATA_MAX];
    int bad = -1;
    char why[256];
    if (dbc_encode(dm, phys.data(), data, size, out.data(), why, sizeof why, &bad) != 0) {
        const dbc_signal &s = dm->signals[(size_t)bad];
        double lo, hi;
        dbc_signal_range(&s, &lo, &hi);
        g_snprintf(err, errsize, _("%s: %g is outside its range %g to %g %s"), s.name.c_str(),
                   phys[(size_t)bad], lo, hi, s.unit.c_str());
        g_strchomp(err);
        return -1;
    }
    sd_lock();
    m.id = dm->id;
    m.ext = dm->extended;
    m.rtr = 0;
    m.fd = dm->fd || size > 8;
    if (!m.fd)
        m.brs = 0;
    else if (dm->fd)
        m.brs = dm->brs;
    memcpy(m.data, data, size);
    m.ndata = (uint8_t)size;
    m.len = sd_len_for(m.fd, size);
    m.len_set = 0;
    m.dirty = 1;
    sd_unlock();
    return 0;
}

/* Takes the counter and checksum signals of a database message (by their
 * names) as the row's counter and checksum. */
void guess_protection(sd_msg &m, const dbc_message *dm)
{
    memset(&m.prot, 0, sizeof m.prot);
    m.prot.step = 1;
    for (const dbc_signal &s : dm->signals) {
        int role = sd_db_role_by_name(s.name.c_str());
        if (role == 1 && !m.prot.counter.length && s.type == DBC_INTEGER && s.length <= 32) {
            m.prot.counter = field_of(s);
            /* A counter whose range ends below its bits' end wraps there. */
            if (s.min < s.max && s.factor == 1.0 && s.offset == 0.0 && s.max >= 1 &&
                s.max < ldexp(1.0, s.length) - 1)
                m.prot.wrap = (uint64_t)s.max + 1;
        } else if (role == 2 && m.prot.kind == E2E_NONE && s.type == DBC_INTEGER &&
                   s.length <= 16) {
            m.prot.check = field_of(s);
            m.prot.kind = s.length == 8 ? E2E_CRC8 : E2E_XOR;
        }
    }
}

/* Rows pack anew from the values they keep (a database was read). */
void repack_all(void)
{
    for (int i = 0; i < sd.count; i++) {
        db_values *dv = values_of(sd.msgs[i]);
        const dbc_message *dm = sd_db_message_of(i);
        char err[SD_TEXT_MAX];
        if (dm && pack(sd.msgs[i], dm, *dv, err, sizeof err) != 0)
            g_strlcpy(sd.msgs[i].reason, err, sizeof sd.msgs[i].reason);
    }
}

void finish_load(load_job *job)
{
    ds.job = nullptr;
    char text[SD_TEXT_MAX * 2];
    if (job->rc == 0) {
        delete ds.db;
        ds.db = job->db;
        ds.gen++;
        g_strlcpy(ds.path, job->path, sizeof ds.path);
        size_t n = 0;
        for (const dbc_message &m : ds.db->messages)
            n += m.decodable;
        gchar *base = g_path_get_basename(job->path);
        g_snprintf(text, sizeof text,
                   g_dngettext(GETTEXT_PACKAGE, "Database %s: %zu message.",
                               "Database %s: %zu messages.", n),
                   base, n);
        g_free(base);
        repack_all();
    } else {
        if (job->err.line > 0)
            g_snprintf(text, sizeof text, _("%s, line %d, column %d: %s"), job->path,
                       job->err.line, job->err.column, job->err.message);
        else
            g_snprintf(text, sizeof text, "%s: %s", job->path, job->err.message);
        delete job->db;
    }
    g_mutex_clear(&job->lock);
    delete job;
    sd_set_message(text);
    sd_dbpage_database_changed();
    sd_page_rebuild();
}

gboolean on_loaded(gpointer data)
{
    load_job *job = (load_job *)data;
    g_mutex_lock(&job->lock);
    job->idle = 0;
    g_mutex_unlock(&job->lock);
    g_thread_join(job->thread);
    finish_load(job);
    return FALSE;
}

gpointer load_thread(gpointer data)
{
    load_job *job = (load_job *)data;
    char *local = g_filename_from_utf8(job->path, -1, nullptr, nullptr, nullptr);
    job->rc = dbc_load_file(local ? local : job->path, job->db, &job->err, &job->cancel);
    g_free(local);
    g_mutex_lock(&job->lock);
    job->idle = g_idle_add_full(G_PRIORITY_DEFAULT, on_loaded, job, nullptr);
    g_mutex_unlock(&job->lock);
    return nullptr;
}

void cancel_load(void)
{
    load_job *job = ds.job;
    if (!job)
        return;
    job->cancel = 1;
    g_thread_join(job->thread);
    g_mutex_lock(&job->lock);
    if (job->idle)
        g_source_remove(job->idle);
    g_mutex_unlock(&job->lock);
    g_mutex_clear(&job->lock);
    delete job->db;
    delete job;
    ds.job = nullptr;
}

/* The texts of e2e_check, for translation. */
const char *const CHECK_TEXTS[] = {
    N_("more than 64 data bytes"),
    N_("the counter lies outside the frame"),
    N_("the checksum lies outside the frame"),
    N_("the profile's CRC is one whole byte"),
    N_("the profile's counter has 4 bits"),
    N_("the profile's CRC is two whole bytes"),
    N_("the data ID's nibble lies outside the frame"),
};

}  // namespace

void sd_final_frame(const sd_msg *m, zk_fdframe *f, e2e_state *next)
{
    sd_frame_of(m, f);
    *next = m->prot_state;
    if (!m->rtr && (m->prot.kind != E2E_NONE || m->prot.counter.length))
        e2e_protect(&m->prot, next, f->data, f->len);
}

void sd_db_reset(void)
{
    cancel_load();
    delete ds.db;
    delete ds.rows;
    memset(&ds, 0, sizeof ds);
}

int sd_db_open(const char *path)
{
    if (ds.job)
        return -1;
    load_job *job = new (std::nothrow) load_job();
    dbc_db *db = new (std::nothrow) dbc_db();
    if (!job || !db) {
        delete job;
        delete db;
        return -1;
    }
    g_strlcpy(job->path, path, sizeof job->path);
    job->db = db;
    g_mutex_init(&job->lock);
    ds.job = job;
    job->thread = g_thread_try_new("sender-dbc", load_thread, job, nullptr);
    if (!job->thread) {
        char *local = g_filename_from_utf8(job->path, -1, nullptr, nullptr, nullptr);
        job->rc = dbc_load_file(local ? local : job->path, job->db, &job->err, nullptr);
        g_free(local);
        finish_load(job);
        return 0;
    }
    char text[SD_TEXT_MAX * 2];
    g_snprintf(text, sizeof text, _("Reading %s ..."), path);
    sd_set_message(text);
    sd_dbpage_database_changed();
    return 0;
}

int sd_db_reading(void)
{
    return ds.job != nullptr;
}

const char *sd_db_path(void)
{
    return ds.db ? ds.path : "";
}

const dbc_db *sd_db(void)
{
    return ds.db;
}

const dbc_message *sd_db_message_of(int index)
{
    if (index < 0 || index >= sd.count)
        return nullptr;
    db_values *dv = values_of(sd.msgs[index]);
    if (!dv)
        return nullptr;
    /* Looked up by name once per database read. */
    if (dv->of != ds.gen) {
        dv->of = ds.gen;
        dv->found = find_message(dv->message.c_str());
    }
    return dv->found;
}

int sd_db_role_by_name(const char *name)
{
    std::string n = name;
    if (has_word(n, "crc") || has_word(n, "checksum") || has_word(n, "chksum") ||
        has_word(n, "chksm") || has_word(n, "_cs"))
        return 2;
    if (has_word(n, "counter") || has_word(n, "_cnt") || has_word(n, "alive") ||
        has_word(n, "_bz") || has_word(n, "rolling"))
        return 1;
    return 0;
}

int sd_db_add(const dbc_message *dm)
{
    int row = sd_add();
    if (row < 0)
        return -1;
    sd_msg &m = sd.msgs[row];
    db_values &dv = rows()[m.uid];
    dv.message = dm->name;
    char err[SD_TEXT_MAX];
    if (pack(m, dm, dv, err, sizeof err) != 0)
        g_strlcpy(m.reason, err, sizeof m.reason);
    sd_lock();
    guess_protection(m, dm);
    const char *why = nullptr;
    if (e2e_check(&m.prot, m.len, &why) != 0)
        memset(&m.prot, 0, sizeof m.prot);
    sd_unlock();
    m.dirty = 1;
    sd_page_rebuild();
    return row;
}

int sd_db_set(int index, int sig, const char *text)
{
    const dbc_message *dm = sd_db_message_of(index);
    if (!dm || sig < 0 || (size_t)sig >= dm->signals.size())
        return -1;
    const dbc_signal &s = dm->signals[(size_t)sig];
    char t[SD_TEXT_MAX];
    g_strlcpy(t, text ? text : "", sizeof t);
    g_strstrip(t);
    double v = 0;
    bool found = false;
    /* A value-table text first, then a number. */
    for (const dbc_value_text &e : s.values)
        if (g_ascii_strcasecmp(e.text.c_str(), t) == 0) {
            v = (double)e.value * s.factor + s.offset;
            found = true;
            break;
        }
    if (!found) {
        g_strdelimit(t, ",", '.');
        char *end = nullptr;
        v = g_ascii_strtod(t, &end);
        if (!t[0] || !end || *end || isnan(v)) {
            char msg[SD_TEXT_MAX * 2];
            g_snprintf(msg, sizeof msg,
                       s.values.empty() ? _("%s: \"%s\" is not a number.")
                                        : _("%s: \"%s\" is neither a number nor one of its "
                                            "value texts."),
                       s.name.c_str(), text ? text : "");
            sd_set_message(msg);
            return -1;
        }
    }
    uint64_t raw;
    if (dbc_encode_raw(&s, v, &raw, nullptr, 0) != 0) {
        double lo, hi;
        dbc_signal_range(&s, &lo, &hi);
        char msg[SD_TEXT_MAX * 2];
        g_snprintf(msg, sizeof msg, _("%s: %g is outside its range %g to %g %s"), s.name.c_str(),
                   v, lo, hi, s.unit.c_str());
        g_strchomp(msg);
        sd_set_message(msg);
        return -1;
    }
    sd_msg &m = sd.msgs[index];
    db_values &dv = *values_of(m);
    double before = kept(dv, s);
    keep(dv, s.name, v);
    char err[SD_TEXT_MAX];
    if (pack(m, dm, dv, err, sizeof err) != 0) {
        keep(dv, s.name, before);
        sd_set_message(err);
        return -1;
    }
    m.reason[0] = '\0';
    sd_set_message("");
    sd_page_refresh();
    return 0;
}

double sd_db_value(int index, int sig)
{
    const dbc_message *dm = sd_db_message_of(index);
    if (!dm || sig < 0 || (size_t)sig >= dm->signals.size())
        return 0.0;
    return kept(*values_of(sd.msgs[index]), dm->signals[(size_t)sig]);
}

void sd_db_forget(int index)
{
    if (index >= 0 && index < sd.count && sd.msgs[index].uid)
        rows().erase(sd.msgs[index].uid);
}

void sd_db_prune(void)
{
    std::map<uint32_t, db_values> &r = rows();
    for (auto it = r.begin(); it != r.end();) {
        bool used = false;
        for (int i = 0; i < sd.count && !used; i++)
            used = sd.msgs[i].uid == it->first;
        it = used ? std::next(it) : r.erase(it);
    }
}

/* ------------------------------------------------------------ counters */

void sd_prot_to_text(const e2e_config *c, char *buf, size_t size)
{
    char ids[33];
    for (int i = 0; i < 16; i++)
        g_snprintf(ids + 2 * i, 3, "%02X", c->id_list[i]);
    g_snprintf(buf, size, "%u,%u,%u,%u,%u,%llu,%u,%u,%u,%llX,%X,%u,%u,%u,%u,%s", c->kind,
               c->counter.start, c->counter.length, c->counter.motorola, c->step,
               (unsigned long long)c->wrap, c->check.start, c->check.length, c->check.motorola,
               (unsigned long long)c->bytes, c->data_id, c->p1_mode, c->nibble.start,
               c->nibble.length, c->nibble.motorola, ids);
}

int sd_prot_from_text(const char *text, e2e_config *c)
{
    gchar **f = g_strsplit(text ? text : "", ",", -1);
    int rc = -1;
    if (g_strv_length(f) == 16 && strlen(f[15]) == 32) {
        e2e_config v;
        memset(&v, 0, sizeof v);
        unsigned long long n[15];
        bool ok = true;
        for (int i = 0; i < 15 && ok; i++) {
            char *end = nullptr;
            n[i] = g_ascii_strtoull(f[i], &end, i == 9 || i == 10 ? 16 : 10);
            ok = end && end != f[i] && !*end;
        }
        for (int i = 0; i < 16 && ok; i++) {
            char pair[3] = {f[15][2 * i], f[15][2 * i + 1], 0};
            char *end = nullptr;
            v.id_list[i] = (uint8_t)g_ascii_strtoull(pair, &end, 16);
            ok = end && !*end;
        }
        ok = ok && n[0] <= E2E_P5 && n[2] <= 64 && n[7] <= 64 && n[13] <= 64 && n[11] <= 3 &&
             n[1] < 512 && n[6] < 512 && n[12] < 512 && n[10] <= 0xFFFF && n[4] <= 0xFFFFFFFFu;
        if (ok) {
            v.kind = (uint8_t)n[0];
            v.counter = e2e_field{(uint16_t)n[1], (uint8_t)n[2], (uint8_t)(n[3] != 0)};
            v.step = (uint32_t)n[4];
            v.wrap = n[5];
            v.check = e2e_field{(uint16_t)n[6], (uint8_t)n[7], (uint8_t)(n[8] != 0)};
            v.bytes = n[9];
            v.data_id = (uint16_t)n[10];
            v.p1_mode = (uint8_t)n[11];
            v.nibble = e2e_field{(uint16_t)n[12], (uint8_t)n[13], (uint8_t)(n[14] != 0)};
            *c = v;
            rc = 0;
        }
    }
    g_strfreev(f);
    return rc;
}

int sd_prot_set(int index, const e2e_config *c)
{
    if (index < 0 || index >= sd.count)
        return -1;
    sd_msg &m = sd.msgs[index];
    sd_msg v = m;
    v.prot = *c;
    char err[SD_TEXT_MAX];
    if (sd_check(&v, err, sizeof err) != 0) {
        sd_set_message(err);
        return -1;
    }
    sd_lock();
    m.prot = *c;
    m.prot_state.counter = 0;
    m.dirty = 1;
    sd_unlock();
    sd_set_message("");
    sd_page_refresh();
    return 0;
}

/* ------------------------------------------------------------- session */

namespace {
const char *const KEY_DATABASE = "Database";
const char *const KEY_DBMESSAGE = "DbMessage";   /* the database message of the last Message */
const char *const KEY_SIGNAL = "Signal";         /* <name>=<value> */
const char *const KEY_PROTECT = "Protect";       /* sd_prot_to_text */
}  // namespace

void sd_db_save_database(void *file)
{
    if (ds.db)
        nbpg_save_key(file, KEY_DATABASE, ds.path);
}

void sd_db_save(void *file, int index)
{
    const sd_msg &m = sd.msgs[index];
    char text[512];
    if (m.prot.kind != E2E_NONE || m.prot.counter.length) {
        sd_prot_to_text(&m.prot, text, sizeof text);
        nbpg_save_key(file, KEY_PROTECT, text);
    }
    db_values *dv = values_of(m);
    if (!dv)
        return;
    nbpg_save_key(file, KEY_DBMESSAGE, dv->message.c_str());
    for (const auto &p : dv->values) {
        char num[G_ASCII_DTOSTR_BUF_SIZE];
        g_ascii_dtostr(num, sizeof num, p.second);
        g_snprintf(text, sizeof text, "%s=%s", p.first.c_str(), num);
        nbpg_save_key(file, KEY_SIGNAL, text);
    }
}

int sd_db_load_key(const char *name, const char *value, sd_msg *last)
{
    if (strcmp(name, KEY_DATABASE) == 0) {
        g_strlcpy(ds.load_path, value, sizeof ds.load_path);
        ds.load_have = 1;
        return 1;
    }
    if (strcmp(name, KEY_PROTECT) == 0) {
        e2e_config c;
        if (last && sd_prot_from_text(value, &c) == 0 && e2e_check(&c, last->len, nullptr) == 0)
            last->prot = c;
        return 1;
    }
    if (strcmp(name, KEY_DBMESSAGE) == 0) {
        if (last) {
            if (!last->uid)
                last->uid = new_uid();
            rows()[last->uid].message = value;
        }
        return 1;
    }
    if (strcmp(name, KEY_SIGNAL) == 0) {
        const char *eq = strrchr(value, '=');
        if (last && last->uid && eq && eq != value) {
            char *end = nullptr;
            double v = g_ascii_strtod(eq + 1, &end);
            if (end && end != eq + 1 && !*end && !isnan(v))
                keep(rows()[last->uid], std::string(value, (size_t)(eq - value)), v);
        }
        return 1;
    }
    return 0;
}

void sd_db_load_end(void)
{
    sd_db_prune();
    if (ds.load_have && ds.load_path[0] && strcmp(ds.load_path, sd_db_path()) != 0) {
        cancel_load();
        sd_db_open(ds.load_path);
    } else {
        repack_all();
        sd_page_rebuild();
        sd_dbpage_database_changed();
    }
    ds.load_have = 0;
}
