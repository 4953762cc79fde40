/*
 * Token tables of the configuration-file reader: names to non-zero
 * tokens, through a hash and a bisection over buckets sorted by hash.
 */
#include "session/cfg.h"

#include <stdlib.h>
#include <string.h>

int32_t cfg_hash(const char *name)
{
    uint32_t h = 0;
    for (const unsigned char *p = (const unsigned char *)name; *p; ++p)
        h = h * 31u + *p;
    return (int32_t)h;
}

void cfg_tokens_init(cfg_token_table *table)
{
    table->buckets = nullptr;
    table->capacity = 0;
    table->count = 0;
    table->grow_step = 1;
}

void cfg_tokens_free(cfg_token_table *table)
{
    for (int32_t i = 0; i < table->count; ++i) {
        cfg_bucket *b = table->buckets[i];
        cfg_token_entry *e = b->entries;
        while (e) {
            cfg_token_entry *next = e->next;
            free(e->name);
            free(e);
            e = next;
        }
        free(b);
    }
    free(table->buckets);
    cfg_tokens_init(table);
}

/* Bisection over the sorted buckets: the range [lo, hi] starts as
 * [0, count - 1] and narrows until lo == hi. Returns lo, the only slot
 * that can hold the hash (-1 for an empty table). */
static int32_t search(const cfg_token_table *table, int32_t hash)
{
    if (table->count == 0)
        return -1;
    int32_t lo = 0, hi = table->count - 1;
    while (lo < hi) {
        int32_t mid = (lo + hi) / 2;
        if (hash > table->buckets[mid]->hash)
            lo = mid + 1;
        else
            hi = mid;
    }
    return lo;
}

static cfg_bucket *find_bucket(const cfg_token_table *table, int32_t hash)
{
    int32_t i = search(table, hash);
    if (i < 0 || table->buckets[i]->hash != hash)
        return nullptr;
    return table->buckets[i];
}

int cfg_tokens_add(cfg_token_table *table, const char *name, int64_t token)
{
    if (!name || token == 0)
        return CFG_E_SYNTAX;
    int32_t hash = cfg_hash(name);
    int32_t i = search(table, hash);
    cfg_bucket *b = nullptr;
    if (i >= 0 && table->buckets[i]->hash == hash) {
        b = table->buckets[i];
    } else {
        int32_t pos = (i < 0) ? 0 : (hash > table->buckets[i]->hash ? i + 1 : i);
        if (table->count == table->capacity) {
            int32_t cap = table->capacity + table->grow_step;
            void *grown = realloc(table->buckets, (size_t)cap * sizeof(cfg_bucket *));
            if (!grown)
                return CFG_E_NOMEM;
            table->buckets = (cfg_bucket **)grown;
            table->capacity = cap;
        }
        b = (cfg_bucket *)calloc(1, sizeof(cfg_bucket));
        if (!b)
            return CFG_E_NOMEM;
        b->hash = hash;
        memmove(&table->buckets[pos + 1], &table->buckets[pos],
                (size_t)(table->count - pos) * sizeof(cfg_bucket *));
        table->buckets[pos] = b;
        table->count++;
    }
    for (cfg_token_entry *e = b->entries; e; e = e->next)
        if (strcmp(e->name, name) == 0)
            return CFG_E_EXISTS;
    cfg_token_entry *e = (cfg_token_entry *)calloc(1, sizeof(cfg_token_entry));
    if (!e)
        return CFG_E_NOMEM;
    e->name = strdup(name);
    if (!e->name) {
        free(e);
        return CFG_E_NOMEM;
    }
    e->token = token;
    e->next = b->entries;
    b->entries = e;
    b->entry_count++;
    return 0;
}

int64_t cfg_tokens_find(const cfg_token_table *table, const char *name)
{
    if (!name)
        return 0;
    const cfg_bucket *b = find_bucket(table, cfg_hash(name));
    if (!b)
        return 0;
    for (const cfg_token_entry *e = b->entries; e; e = e->next)
        if (strcmp(e->name, name) == 0)
            return e->token;
    return 0;
}
