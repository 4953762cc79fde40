/*
 * database.cpp - the open databases as one table of messages with their
 * live state, found by identifier; the identifiers no database knows; and
 * the reading of database files on a worker thread.
 *
 * Everything here is allocated when a database is opened or closed, never
 * while frames are decoded. A file is read and parsed off the GUI thread
 * (a huge database takes a second), one at a time; the GUI thread joins
 * the result to the set when the worker is done.
 */
#include "signals.h"

#include <math.h>
#include <stdlib.h>
#include <string.h>

#include <algorithm>
#include <new>
#include <string>

struct sg_load_job {
    char path[SG_PATH_MAX];
    int chan;                        /* the channel it decodes, -1 all */
    dbc_db *db;
    dbc_error err;
    int rc;
    volatile int cancel;
    GThread *thread;
    GMutex lock;
    guint idle;                      /* the result's idle source, 0 once taken */
};

namespace {

uint32_t hash_key(uint32_t key)
{
    key ^= key >> 15;
    key *= 0x2C1B3C6Du;
    key ^= key >> 12;
    return key;
}

void free_tables(void)
{
    sg_page_detach_table();
    free(sg.msgs);
    free(sg.value_store);
    free(sg.lookup);
    free(sg.order);
    sg.msgs = nullptr;
    sg.value_store = nullptr;
    sg.lookup = nullptr;
    sg.order = nullptr;
    sg.nmsgs = 0;
    sg.lookup_mask = 0;
}

/* The channels a database decodes: [*first, *end). */
void db_channels(int d, int *first, int *end)
{
    int n = sg.nchan < 1 ? 1 : sg.nchan;
    *first = sg.db_chan[d] < 0 ? 0 : sg.db_chan[d];
    *end = sg.db_chan[d] < 0 ? n : sg.db_chan[d] + 1;
}

/* Builds the message table of every open database, one entry per message
 * and channel it decodes; the first database that describes an identifier
 * on a channel decodes it there. A message that was in the table before
 * keeps its count, period and values. Returns 0 or -1. */
int build_tables(void)
{
    sg_page_detach_table();
    sg_msg *old = sg.msgs;
    int nold = sg.nmsgs;
    dbc_value *old_values = sg.value_store;
    int32_t *old_lookup = sg.lookup;
    uint32_t old_mask = sg.lookup_mask;
    int *old_order = sg.order;
    sg.msgs = nullptr;
    sg.value_store = nullptr;
    sg.lookup = nullptr;
    sg.order = nullptr;
    sg.nmsgs = 0;

    size_t nmsgs = 0, nvalues = 0;
    for (int d = 0; d < sg.ndb; d++) {
        int c0, c1;
        db_channels(d, &c0, &c1);
        for (const dbc_message &m : sg.db[d]->messages)
            if (m.decodable) {
                nmsgs += (size_t)(c1 - c0);
                nvalues += m.signals.size() * (size_t)(c1 - c0);
            }
    }
    uint32_t slots = 16;
    while (slots < nmsgs * 2)
        slots *= 2;
    sg.msgs = (sg_msg *)calloc(nmsgs ? nmsgs : 1, sizeof(sg_msg));
    sg.value_store = (dbc_value *)calloc(nvalues ? nvalues : 1, sizeof(dbc_value));
    sg.lookup = (int32_t *)malloc(sizeof(int32_t) * slots);
    sg.order = (int *)malloc(sizeof(int) * (nmsgs ? nmsgs : 1));
    if (!sg.msgs || !sg.value_store || !sg.lookup || !sg.order) {
        free_tables();
        sg.msgs = old;
        sg.nmsgs = nold;
        sg.value_store = old_values;
        sg.lookup = old_lookup;
        sg.lookup_mask = old_mask;
        sg.order = old_order;
        return -1;
    }
    sg.lookup_mask = slots - 1;
    for (uint32_t i = 0; i < slots; i++)
        sg.lookup[i] = -1;
    size_t v = 0;
    for (int d = 0; d < sg.ndb; d++) {
        int c0, c1;
        db_channels(d, &c0, &c1);
        for (int c = c0; c < c1; c++)
        for (const dbc_message &m : sg.db[d]->messages) {
            if (!m.decodable)
                continue;
            uint32_t key = sg_key(m.id, m.extended);
            if (sg_db_find_on(c, key) >= 0)
                continue;   /* an earlier database has it */
            sg_msg &s = sg.msgs[sg.nmsgs];
            s.m = &m;
            s.db = d;
            s.chan = (uint16_t)c;
            s.values = sg.value_store + v;
            v += m.signals.size();
            s.t_last = -1;
            s.period = -1;
            for (size_t k = 0; k < m.signals.size(); k++)
                s.values[k].phys = NAN;   /* nothing decoded yet */
            uint32_t h = hash_key(key ^ ((uint32_t)c << 12)) & sg.lookup_mask;
            while (sg.lookup[h] >= 0)
                h = (h + 1) & sg.lookup_mask;
            sg.lookup[h] = sg.nmsgs++;
        }
    }
    /* Live state carried over from the old table. */
    for (int i = 0; i < nold; i++) {
        const sg_msg &o = old[i];
        if (!o.count)
            continue;
        int n = sg_db_find_on(o.chan, sg_key(o.m->id, o.m->extended));
        if (n < 0 || sg.msgs[n].m != o.m)
            continue;
        sg_msg &s = sg.msgs[n];
        s.count = o.count;
        s.t_last = o.t_last;
        s.period = o.period;
        memcpy(s.values, o.values, sizeof(dbc_value) * o.m->signals.size());
    }
    free(old);
    free(old_values);
    free(old_lookup);
    free(old_order);
    /* Rows in identifier order, standard before extended, then by channel;
     * a message two channels carry is named with its channel. */
    for (int i = 0; i < sg.nmsgs; i++)
        sg.order[i] = i;
    auto key_of = [](int i) {
        return ((uint64_t)sg.msgs[i].m->extended << 48) | ((uint64_t)sg.msgs[i].m->id << 16) |
               sg.msgs[i].chan;
    };
    std::sort(sg.order, sg.order + sg.nmsgs, [&](int a, int b) { return key_of(a) < key_of(b); });
    for (int r = 0; r < sg.nmsgs; r++) {
        sg_msg &m = sg.msgs[sg.order[r]];
        m.row = r;
        if (r > 0) {
            sg_msg &p = sg.msgs[sg.order[r - 1]];
            if (p.m->id == m.m->id && p.m->extended == m.m->extended)
                p.named_chan = m.named_chan = 1;
        }
    }
    return 0;
}

/* Identifiers a database now describes leave the list of unknown ones
 * (with their frames); the others are hashed anew. */
void unknown_drop_known(void)
{
    if (!sg.unknown)
        return;
    std::vector<sg_unknown> keep;
    for (uint32_t i = 0; i < SG_UNKNOWN_SLOTS; i++) {
        const sg_unknown &u = sg.unknown[i];
        if (!u.used)
            continue;
        if (sg_db_find_on(u.chan, u.key) >= 0)
            sg.unknown_frames -= u.count;
        else
            keep.push_back(u);
    }
    if (keep.size() == sg.unknown_used)
        return;
    memset(sg.unknown, 0, sizeof(sg_unknown) * SG_UNKNOWN_SLOTS);
    for (sg_unknown u : keep) {
        uint32_t h = hash_key(u.key ^ ((uint32_t)u.chan << 12)) & (SG_UNKNOWN_SLOTS - 1);
        while (sg.unknown[h].used)
            h = (h + 1) & (SG_UNKNOWN_SLOTS - 1);
        u.in_view = 0;
        u.dirty = 1;
        sg.unknown[h] = u;
    }
    sg.unknown_used = (uint32_t)keep.size();
    if (sg.unknown_store)
        gtk_list_store_clear(sg.unknown_store);
}

/* Joins a read database to the set, or says why it was not read; the
 * message for the user goes to msg. Takes db. */
int add_database(const char *path, int chan, dbc_db *db, int rc, const dbc_error &err, char *msg,
                 size_t msg_size)
{
    if (rc != 0) {
        if (err.line > 0)
            g_snprintf(msg, msg_size, _("%s, line %d, column %d: %s"), path, err.line, err.column,
                       err.message);
        else
            g_snprintf(msg, msg_size, "%s: %s", path, err.message);
        delete db;
        return -1;
    }
    if (sg.ndb >= SG_MAX_DATABASES) {
        g_snprintf(msg, msg_size, _("At most %d databases can be open."), SG_MAX_DATABASES);
        delete db;
        return -1;
    }
    g_strlcpy(sg.db_path[sg.ndb], path, SG_PATH_MAX);
    sg.db_chan[sg.ndb] = chan;
    sg.db[sg.ndb++] = db;
    /* Plots refer to entries of the message table, which is built anew;
     * the new database comes last, so they find the same messages. */
    if (build_tables() != 0) {
        sg.db[--sg.ndb] = nullptr;
        delete db;
        g_snprintf(msg, msg_size, _("Not enough memory for %s."), path);
        return -1;
    }
    sg_plot_rebind();
    unknown_drop_known();
    size_t signals = 0;
    for (const dbc_message &m : db->messages)
        signals += m.signals.size();
    int skipped = 0, other = 0;
    const dbc_problem *first = nullptr;
    for (const dbc_problem &p : db->problems) {
        if (p.kind == DBC_SKIPPED)
            skipped++;
        else
            other++;
        if (!first || (first->kind != DBC_SKIPPED && p.kind == DBC_SKIPPED))
            first = &p;
    }
    skipped += (int)db->problems_dropped;
    char n_msgs[64], n_sigs[64], n_other[64];
    g_snprintf(n_msgs, sizeof n_msgs,
               g_dngettext(GETTEXT_PACKAGE, "%zu message", "%zu messages", db->messages.size()),
               db->messages.size());
    g_snprintf(n_sigs, sizeof n_sigs, g_dngettext(GETTEXT_PACKAGE, "%zu signal", "%zu signals", signals),
               signals);
    g_snprintf(n_other, sizeof n_other,
               g_dngettext(GETTEXT_PACKAGE, "%d other note", "%d other notes", (unsigned long)other), other);
    if (first)
        /* TRANSLATORS: file, "3 messages", "9 signals", the number skipped, "2 other notes" */
        g_snprintf(msg, msg_size, _("%s: %s, %s; %d skipped, %s (first: line %d, column %d: %s)"), path,
                   n_msgs, n_sigs, skipped, n_other, first->line, first->column, first->text.c_str());
    else
        /* TRANSLATORS: file, "3 messages", "9 signals" */
        g_snprintf(msg, msg_size, _("%s: %s, %s."), path, n_msgs, n_sigs);
    return 0;
}

/* A read's outcome for the user: the first failure, else the first
 * summary. */
void note(const char *msg, int rc)
{
    if (!sg.load_error && (rc != 0 || !sg.load_msg[0]))
        g_strlcpy(sg.load_msg, msg, sizeof sg.load_msg);
    sg.load_error = sg.load_error || rc != 0;
}

gpointer load_worker(gpointer data)
{
    sg_load_job *job = (sg_load_job *)data;
    char *local = g_filename_from_utf8(job->path, -1, nullptr, nullptr, nullptr);
    job->rc = dbc_load_file(local ? local : job->path, job->db, &job->err, &job->cancel);
    g_free(local);
    return nullptr;
}

void start_next(void);

/* A read's database joins the set (or its failure is noted). */
void finish(sg_load_job *job)
{
    sg.job = nullptr;
    char msg[1024];
    int rc = add_database(job->path, job->chan, job->db, job->rc, job->err, msg, sizeof msg);
    note(msg, rc);
    g_mutex_clear(&job->lock);
    delete job;
    sg_page_databases_changed();
}

gboolean on_loaded(gpointer data)
{
    sg_load_job *job = (sg_load_job *)data;
    g_mutex_lock(&job->lock);
    job->idle = 0;
    g_mutex_unlock(&job->lock);
    g_thread_join(job->thread);
    finish(job);
    start_next();
    if (!sg.job)
        sg_page_loads_done();
    return FALSE;
}

gpointer load_thread(gpointer data)
{
    sg_load_job *job = (sg_load_job *)data;
    load_worker(job);
    /* The GUI thread takes the result; under the lock, so that it finds
     * the source's number when it runs. */
    g_mutex_lock(&job->lock);
    job->idle = g_idle_add_full(G_PRIORITY_DEFAULT, on_loaded, job, nullptr);
    g_mutex_unlock(&job->lock);
    return nullptr;
}

void start_next(void)
{
    while (!sg.job && sg.nqueue > 0) {
        sg_load_job *job = new (std::nothrow) sg_load_job();
        dbc_db *db = new (std::nothrow) dbc_db();
        char path[SG_PATH_MAX];
        g_strlcpy(path, sg.queue[0], sizeof path);
        int chan = sg.queue_chan[0];
        memmove(sg.queue_chan, sg.queue_chan + 1, sizeof sg.queue_chan[0] * (size_t)(sg.nqueue - 1));
        memmove(sg.queue[0], sg.queue[1], sizeof sg.queue[0] * (size_t)(--sg.nqueue));
        if (!job || !db) {
            delete job;
            delete db;
            char msg[1024];
            g_snprintf(msg, sizeof msg, _("Not enough memory for %s."), path);
            note(msg, -1);
            continue;
        }
        g_strlcpy(job->path, path, sizeof job->path);
        job->chan = chan;
        job->db = db;
        g_mutex_init(&job->lock);
        sg.job = job;
        job->thread = g_thread_try_new("dbc-reader", load_thread, job, nullptr);
        if (!job->thread) {
            /* No thread to be had: read it here. */
            load_worker(job);
            finish(job);
        }
    }
}

/* Stops the read under way: its result is dropped. */
void cancel_reading(void)
{
    sg.nqueue = 0;
    sg_load_job *job = sg.job;
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
    sg.job = nullptr;
}

bool named(const char *path)
{
    for (int d = 0; d < sg.ndb; d++)
        if (strcmp(sg.db_path[d], path) == 0)
            return true;
    for (int q = 0; q < sg.nqueue; q++)
        if (strcmp(sg.queue[q], path) == 0)
            return true;
    return sg.job && strcmp(sg.job->path, path) == 0;
}

}  // namespace

uint32_t sg_key(uint32_t id, int extended)
{
    return extended ? (id & 0x1FFFFFFFu) | 0x80000000u : id & 0x7FFu;
}

int sg_db_find_on(int chan, uint32_t key)
{
    if (!sg.lookup)
        return -1;
    for (uint32_t h = hash_key(key ^ ((uint32_t)chan << 12)) & sg.lookup_mask;;
         h = (h + 1) & sg.lookup_mask) {
        int32_t i = sg.lookup[h];
        if (i < 0 || (sg.msgs[i].chan == chan && sg_key(sg.msgs[i].m->id, sg.msgs[i].m->extended) == key))
            return i;
    }
}

int sg_db_find(uint32_t key)
{
    for (int c = 0; c < (sg.nchan < 1 ? 1 : sg.nchan); c++) {
        int i = sg_db_find_on(c, key);
        if (i >= 0)
            return i;
    }
    return -1;
}

int sg_db_rebuild(void)
{
    if (build_tables() != 0)
        return -1;
    sg_plot_rebind();
    unknown_drop_known();
    return 0;
}

int sg_db_open(const char *path, int chan, char *msg, size_t msg_size)
{
    if (named(path)) {
        g_snprintf(msg, msg_size, _("%s is open already."), path);
        return -1;
    }
    if (sg.ndb + sg.nqueue + (sg.job ? 1 : 0) >= SG_MAX_DATABASES) {
        g_snprintf(msg, msg_size, _("At most %d databases can be open."), SG_MAX_DATABASES);
        return -1;
    }
    if (strlen(path) >= SG_PATH_MAX) {
        g_snprintf(msg, msg_size, _("The path is too long: %.200s..."), path);
        return -1;
    }
    if (!sg_db_reading()) {
        sg.load_msg[0] = '\0';
        sg.load_error = 0;
    }
    sg.queue_chan[sg.nqueue] = chan;
    g_strlcpy(sg.queue[sg.nqueue++], path, SG_PATH_MAX);
    g_snprintf(msg, msg_size, _("Reading %s..."), path);
    start_next();
    return 0;
}

int sg_db_open_now(const char *path, int chan, char *msg, size_t msg_size)
{
    dbc_db *db = new (std::nothrow) dbc_db();
    if (!db) {
        g_snprintf(msg, msg_size, _("Not enough memory for %s."), path);
        return -1;
    }
    dbc_error err;
    int rc = dbc_load_file(path, db, &err);
    return add_database(path, chan, db, rc, err, msg, msg_size);
}

int sg_db_reading_chan(void)
{
    return sg.job ? sg.job->chan : -1;
}

int sg_db_reading(void)
{
    return sg.job != nullptr || sg.nqueue > 0;
}

const char *sg_db_reading_path(void)
{
    return sg.job ? sg.job->path : nullptr;
}

void sg_db_close_all(void)
{
    cancel_reading();
    sg.plots_pending = 0;
    sg_plot_remove_all();
    free_tables();
    for (int d = 0; d < sg.ndb; d++) {
        delete sg.db[d];
        sg.db[d] = nullptr;
        sg.db_path[d][0] = '\0';
    }
    sg.ndb = 0;
    sg_unknown_clear();
}

char *sg_db_problems_text(int *count)
{
    GString *s = g_string_new(nullptr);
    int n = 0;
    static const char *const kinds[] = {"skipped", "repaired", "undefined", "doubtful"};
    for (int d = 0; d < sg.ndb; d++) {
        char *base = g_path_get_basename(sg.db_path[d]);
        for (const dbc_problem &p : sg.db[d]->problems) {
            g_string_append_printf(s, "%s:%d:%d: %s: %s\n", base, p.line, p.column,
                                   p.kind < 4 ? kinds[p.kind] : "?", p.text.c_str());
            n++;
        }
        if (sg.db[d]->problems_dropped) {
            g_string_append_printf(s, _("%s: %u more not listed\n"), base,
                                   sg.db[d]->problems_dropped);
            n += (int)sg.db[d]->problems_dropped;
        }
        g_free(base);
    }
    *count = n;
    return g_string_free(s, FALSE);
}

void sg_unknown_count(int chan, uint32_t key, const uint8_t *data, unsigned len, double t)
{
    sg.unknown_frames++;
    if (!sg.unknown)
        return;
    for (uint32_t h = hash_key(key ^ ((uint32_t)chan << 12)) & (SG_UNKNOWN_SLOTS - 1), probes = 0;
         probes < SG_UNKNOWN_SLOTS; h = (h + 1) & (SG_UNKNOWN_SLOTS - 1), probes++) {
        sg_unknown &u = sg.unknown[h];
        if (!u.used) {
            /* Keep a quarter free so that probing stays short. */
            if (sg.unknown_used >= SG_UNKNOWN_SLOTS * 3 / 4)
                break;
            u.used = 1;
            u.key = key;
            u.chan = (uint16_t)chan;
            u.period = -1;
            u.t_last = -1;
            sg.unknown_used++;
        } else if (u.key != key || u.chan != chan) {
            continue;
        }
        if (u.t_last >= 0)
            u.period = t - u.t_last;
        u.t_last = t;
        u.count++;
        u.len = (uint8_t)(len > SG_MAX_DATA ? SG_MAX_DATA : len);
        if (u.len)
            memcpy(u.data, data, u.len);
        u.dirty = 1;
        return;
    }
    sg.unknown_dropped++;
}

void sg_unknown_clear(void)
{
    if (sg.unknown)
        memset(sg.unknown, 0, sizeof(sg_unknown) * SG_UNKNOWN_SLOTS);
    sg.unknown_used = 0;
    sg.unknown_frames = 0;
    sg.unknown_dropped = 0;
    if (sg.unknown_store)
        gtk_list_store_clear(sg.unknown_store);
}
