/*
 * player.cpp - the replay plug-in: its exports, the request handler and
 * its session keys (File, Speed, Loop, Filter, Direction).
 */
#include "player.h"

#include <string.h>

pl_state pl;

extern "C" {
NBPG_EXPORT extern const uint16_t __nbpg_version;
NBPG_EXPORT extern const char __nbpg_name[];
NBPG_EXPORT extern const char __nbpg_author[];
NBPG_EXPORT extern const char __nbpg_description[];
NBPG_EXPORT int nbpg_handler(pgrp *req);

const uint16_t __nbpg_version = 0x0300;
const char __nbpg_name[] = "Player";
const char __nbpg_author[] = "The Nimbrel developers";
const char __nbpg_description[] =
    "Replays a candump log, ASC or BLF file onto the bus with its timing.";

/* Test and automation hooks: replace the clock (null: the monotonic
 * clock), and send what is due at the clock's time now. */
NBPG_EXPORT void player_set_clock(int64_t (*now_us)(void));
NBPG_EXPORT void player_service(void);
}

namespace {

const char *const KEY_FILE = "File";
const char *const KEY_SPEED = "Speed";
const char *const KEY_LOOP = "Loop";
const char *const KEY_FILTER = "Filter";
const char *const KEY_DIRECTION = "Direction";
const char *const DIRS[3] = {"both", "rx", "tx"};

void save_session(void *file)
{
    char speed[G_ASCII_DTOSTR_BUF_SIZE];
    if (pl.speed > 0)
        g_ascii_formatd(speed, sizeof speed, "%.2f", pl.speed);
    else
        g_strlcpy(speed, "max", sizeof speed);
    nbpg_save_key(file, KEY_FILE, pl.path);
    nbpg_save_key(file, KEY_SPEED, speed);
    nbpg_save_key(file, KEY_LOOP, pl.loop ? "1" : "0");
    nbpg_save_key(file, KEY_FILTER, pl.filter_text);
    nbpg_save_key(file, KEY_DIRECTION, DIRS[pl.dir]);
}

void load_begin(void)
{
    pl.loading = 1;
    g_strlcpy(pl.load_path, pl.path, sizeof pl.load_path);
    pl.load_speed = pl.speed;
    pl.load_loop = pl.loop;
    pl.load_dir = pl.dir;
    g_strlcpy(pl.load_filter, pl.filter_text, sizeof pl.load_filter);
}

void load_key(const char *name, const char *value)
{
    if (g_ascii_strcasecmp(name, KEY_FILE) == 0) {
        g_strlcpy(pl.load_path, value, sizeof pl.load_path);
    } else if (g_ascii_strcasecmp(name, KEY_SPEED) == 0) {
        if (g_ascii_strcasecmp(value, "max") == 0) {
            pl.load_speed = 0;
        } else {
            char *end = nullptr;
            double v = g_ascii_strtod(value, &end);
            if (end != value && v >= PL_SPEED_MIN && v <= PL_SPEED_MAX)
                pl.load_speed = v;
        }
    } else if (g_ascii_strcasecmp(name, KEY_LOOP) == 0) {
        int32_t v = 0;
        if (nbpg_keyval_get_int(value, &v) == 0)
            pl.load_loop = v != 0;
    } else if (g_ascii_strcasecmp(name, KEY_FILTER) == 0) {
        g_strlcpy(pl.load_filter, value, sizeof pl.load_filter);
    } else if (g_ascii_strcasecmp(name, KEY_DIRECTION) == 0) {
        for (int i = 0; i < 3; i++)
            if (g_ascii_strcasecmp(value, DIRS[i]) == 0)
                pl.load_dir = i;
    }
}

/* The session's settings replace the current ones; replay stops, so
 * loading a session never starts traffic on the bus by itself. */
void load_end(void)
{
    pl.loading = 0;
    if (strcmp(pl.load_path, pl.path) != 0)
        pl_close();
    else
        pl_stop();
    g_strlcpy(pl.path, pl.load_path, sizeof pl.path);
    pl.speed = pl.load_speed;
    pl.loop = pl.load_loop;
    pl.dir = pl.load_dir;
    pl_page_sync_settings();
    pl_apply_filter(pl.load_filter);
    pl_page_refresh();
}

void on_init(pgrp *req)
{
    if (pl.page)
        pl_page_release();
    pl_close();
    memset(&pl, 0, sizeof pl);
    pl.speed = 1.0;
    bindtextdomain(GETTEXT_PACKAGE, nb_get_locale_dir());
    bind_textdomain_codeset(GETTEXT_PACKAGE, "UTF-8");
    pgrp_set_result_ptr(req, pl_page_build());
}

void on_release(void)
{
    pl_close();
    pl_page_release();
    pl.page = nullptr;
}

}  // namespace

void player_set_clock(int64_t (*now_us)(void))
{
    pl.now_us = now_us;
}

void player_service(void)
{
    pl_service(pl_now());
    pl_page_refresh();
}

int nbpg_handler(pgrp *req)
{
    if (!req)
        return 0;
    void *data = pgrp_get_data_ptr(req);
    uint64_t size = pgrp_get_data_size(req);
    switch (pgrp_get_type(req)) {
    case PGRP_INIT:
        on_init(req);
        break;
    case PGRP_RELEASE:
        on_release();
        break;
    case PGRP_SESSION_SAVE:
        save_session(data);
        break;
    case PGRP_SESSION_LOAD_BEGIN:
        load_begin();
        break;
    case PGRP_SESSION_LOAD_KEY:
        if (pl.loading && data && size >= sizeof(pgrp_session_key)) {
            const pgrp_session_key *key = (const pgrp_session_key *)data;
            char name[sizeof key->name], value[sizeof key->value];
            g_strlcpy(name, key->name, sizeof name);
            g_strlcpy(value, key->value, sizeof value);
            load_key(name, value);
        }
        break;
    case PGRP_SESSION_LOAD_END:
        if (pl.loading)
            load_end();
        break;
    default:
        break;
    }
    return 0;
}
