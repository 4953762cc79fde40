/*
 * database.cpp - the open databases as one table of messages with their
 * live state, found by identifier; and the identifiers no database knows.
 *
 * Everything here is allocated when a database is opened or closed, never
 * while frames are decoded.
 */
#include "signals.h"

#include <stdlib.h>
#include <string.h>

#include <new>

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
    free(sg.msgs);
    free(sg.value_store);
    free(sg.lookup);
    sg.msgs = nullptr;
    sg.value_store = nullptr;
    sg.lookup = nullptr;
    sg.nmsgs = 0;
    sg.lookup_mask = 0;
}

/* Builds the message table of every open database; the first database
 * that describes an identifier decodes it. Returns 0 or -1. */
int build_tables(void)
{
    free_tables();
    size_t nmsgs = 0, nvalues = 0;
    for (int d = 0; d < sg.ndb; d++)
        for (const dbc_message &m : sg.db[d]->messages)
            if (m.decodable) {
                nmsgs++;
                nvalues += m.signals.size();
            }
    uint32_t slots = 16;
    while (slots < nmsgs * 2)
        slots *= 2;
    sg.msgs = (sg_msg *)calloc(nmsgs ? nmsgs : 1, sizeof(sg_msg));
    sg.value_store = (dbc_value *)calloc(nvalues ? nvalues : 1, sizeof(dbc_value));
    sg.lookup = (int32_t *)malloc(sizeof(int32_t) * slots);
    if (!sg.msgs || !sg.value_store || !sg.lookup) {
        free_tables();
        return -1;
    }
    sg.lookup_mask = slots - 1;
    for (uint32_t i = 0; i < slots; i++)
        sg.lookup[i] = -1;
    size_t v = 0;
    for (int d = 0; d < sg.ndb; d++)
        for (const dbc_message &m : sg.db[d]->messages) {
            if (!m.decodable)
                continue;
            uint32_t key = sg_key(m.id, m.extended);
            if (sg_db_find(key) >= 0)
                continue;   /* an earlier database has it */
            sg_msg &s = sg.msgs[sg.nmsgs];
            s.m = &m;
            s.db = d;
            s.values = sg.value_store + v;
            v += m.signals.size();
            s.t_last = -1;
            s.period = -1;
            uint32_t h = hash_key(key) & sg.lookup_mask;
            while (sg.lookup[h] >= 0)
                h = (h + 1) & sg.lookup_mask;
            sg.lookup[h] = sg.nmsgs++;
        }
    return 0;
}

}  // namespace

uint32_t sg_key(uint32_t id, int extended)
{
    return extended ? (id & 0x1FFFFFFFu) | 0x80000000u : id & 0x7FFu;
}

int sg_db_find(uint32_t key)
{
    if (!sg.lookup)
        return -1;
    for (uint32_t h = hash_key(key) & sg.lookup_mask;; h = (h + 1) & sg.lookup_mask) {
        int32_t i = sg.lookup[h];
        if (i < 0 || sg_key(sg.msgs[i].m->id, sg.msgs[i].m->extended) == key)
            return i;
    }
}

int sg_db_open(const char *path, char *msg, size_t msg_size)
{
    for (int d = 0; d < sg.ndb; d++)
        if (strcmp(sg.db_path[d], path) == 0) {
            g_snprintf(msg, msg_size, _("%s is open already."), path);
            return -1;
        }
    if (sg.ndb >= SG_MAX_DATABASES) {
        g_snprintf(msg, msg_size, _("At most %d databases can be open."), SG_MAX_DATABASES);
        return -1;
    }
    dbc_db *db = new (std::nothrow) dbc_db();
    if (!db) {
        g_snprintf(msg, msg_size, _("Not enough memory for %s."), path);
        return -1;
    }
    dbc_error err;
    char *local = g_filename_from_utf8(path, -1, nullptr, nullptr, nullptr);
    int rc = dbc_load_file(local ? local : path, db, &err);
    g_free(local);
    if (rc != 0) {
        if (err.line > 0)
            g_snprintf(msg, msg_size, _("%s, line %d, column %d: %s"), path, err.line, err.column,
                       err.message);
        else
            g_snprintf(msg, msg_size, "%s: %s", path, err.message);
        delete db;
        return -1;
    }
    g_strlcpy(sg.db_path[sg.ndb], path, SG_PATH_MAX);
    sg.db[sg.ndb++] = db;
    /* Plots refer to entries of the message table, which is built anew;
     * the new database comes last, so they find the same messages. */
    if (build_tables() != 0) {
        sg.db[--sg.ndb] = nullptr;
        delete db;
        build_tables();
        sg_plot_rebind();
        g_snprintf(msg, msg_size, _("Not enough memory for %s."), path);
        return -1;
    }
    sg_plot_rebind();
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
    if (first)
        g_snprintf(msg, msg_size,
                   _("%s: %zu messages, %zu signals; %d skipped, %d other notes (first: line %d, "
                     "column %d: %s)"),
                   path, db->messages.size(), signals, skipped, other, first->line, first->column,
                   first->text.c_str());
    else
        g_snprintf(msg, msg_size, _("%s: %zu messages, %zu signals."), path,
                   db->messages.size(), signals);
    return 0;
}

void sg_db_close_all(void)
{
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

void sg_unknown_count(const zk_frame *f, double t)
{
    sg.unknown_frames++;
    if (!sg.unknown)
        return;
    uint32_t key = sg_key(f->id, f->flags & ZK_FRAME_EFF);
    for (uint32_t h = hash_key(key) & (SG_UNKNOWN_SLOTS - 1), probes = 0;
         probes < SG_UNKNOWN_SLOTS; h = (h + 1) & (SG_UNKNOWN_SLOTS - 1), probes++) {
        sg_unknown &u = sg.unknown[h];
        if (!u.used) {
            /* Keep a quarter free so that probing stays short. */
            if (sg.unknown_used >= SG_UNKNOWN_SLOTS * 3 / 4)
                break;
            u.used = 1;
            u.key = key;
            u.period = -1;
            u.t_last = -1;
            sg.unknown_used++;
        } else if (u.key != key) {
            continue;
        }
        if (u.t_last >= 0)
            u.period = t - u.t_last;
        u.t_last = t;
        u.count++;
        u.len = (f->flags & ZK_FRAME_RTR) ? 0 : (f->len > 8 ? 8 : f->len);
        memcpy(u.data, f->data, sizeof u.data);
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
