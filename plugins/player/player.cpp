/*
 * player.cpp - the replay plug-in: its handlers for the plug-in kit and
 * its session keys (File, Speed, Loop, Filter, Direction).
 */
#include "player.h"

#include <string.h>

pl_state pl;

extern "C" {
/* Test and automation hooks: replace the clock (null: the monotonic
 * clock), and do what the player's timers would do in a turn of the main
 * loop: read on for the next frame to send, send what is due at the
 * clock's time now. */
NBPG_EXPORT void player_set_clock(int64_t (*now_us)(void));
NBPG_EXPORT void player_service(void);
}

namespace {

const char *const KEY_FILE = "File";
const char *const KEY_SPEED = "Speed";
const char *const KEY_LOOP = "Loop";
const char *const KEY_FILTER = "Filter";
const char *const KEY_DIRECTION = "Direction";
const char *const DIRS[] = {"both", "rx", "tx", nullptr};
/* The user's choices of channel: "<file channel>=<index>|none ...";
 * without it (older sessions) every file channel goes by order. */
const char *const KEY_CHANNEL_MAP = "ChannelMap";

void save_session(void *file)
{
    nbkit_save_text(file, KEY_FILE, pl.path);
    if (pl.speed > 0)
        nbkit_save_double(file, KEY_SPEED, "%.2f", pl.speed);
    else
        nbkit_save_text(file, KEY_SPEED, "max");
    nbkit_save_bool(file, KEY_LOOP, pl.loop);
    nbkit_save_text(file, KEY_FILTER, pl.filter_text);
    nbkit_save_choice(file, KEY_DIRECTION, DIRS, pl.dir);
    char map[PL_MAP_MAX * 16];
    pl_map_to_text(pl.choice, pl.nchoice, map, sizeof map);
    if (map[0])
        nbkit_save_text(file, KEY_CHANNEL_MAP, map);
}

void load_begin(void)
{
    g_strlcpy(pl.load_path, pl.path, sizeof pl.load_path);
    pl.load_speed = pl.speed;
    pl.load_loop = pl.loop;
    pl.load_dir = pl.dir;
    g_strlcpy(pl.load_filter, pl.filter_text, sizeof pl.load_filter);
    pl.load_bad_speed[0] = '\0';
    pl.load_nchoice = 0;
}

void load_key(const pgrp_session_key *key)
{
    nbkit_key_text(key, KEY_FILE, pl.load_path, sizeof pl.load_path);
    if (nbkit_key_is(key, KEY_SPEED)) {
        /* A value that is no speed is said so, not taken for another. */
        if (g_ascii_strcasecmp(nbkit_key_value(key), "max") == 0)
            pl.load_speed = 0;
        else if (!nbkit_key_double(key, KEY_SPEED, PL_SPEED_MIN, PL_SPEED_MAX, &pl.load_speed))
            g_strlcpy(pl.load_bad_speed, nbkit_key_value(key), sizeof pl.load_bad_speed);
    }
    nbkit_key_bool(key, KEY_LOOP, &pl.load_loop);
    nbkit_key_text(key, KEY_FILTER, pl.load_filter, sizeof pl.load_filter);
    nbkit_key_choice(key, KEY_DIRECTION, DIRS, &pl.load_dir);
    if (nbkit_key_is(key, KEY_CHANNEL_MAP) &&
        pl_map_from_text(nbkit_key_value(key), pl.load_choice, &pl.load_nchoice) != 0)
        pl.load_nchoice = 0;  /* not understood: by order */
}

/* The session's settings replace the current ones; replay stops, so
 * loading a session never starts traffic on the bus by itself. */
void load_end(void)
{
    pl_guard g;
    if (strcmp(pl.load_path, pl.path) != 0)
        pl_close();
    else
        pl_stop();
    g_strlcpy(pl.path, pl.load_path, sizeof pl.path);
    pl.speed = pl.load_speed;
    pl.loop = pl.load_loop;
    pl.dir = pl.load_dir;
    /* The session's choices replace the user's; the file's channels are
     * mapped anew with them. */
    memcpy(pl.choice, pl.load_choice, sizeof pl.choice[0] * (size_t)pl.load_nchoice);
    pl.nchoice = pl.load_nchoice;
    for (int i = 0; i < pl.nmap; i++) {
        pl.map[i].to = (int16_t)i;
        pl.map[i].to_name[0] = '\0';
        for (int k = 0; k < pl.nchoice; k++)
            if (pl.choice[k].file_chan == pl.map[i].file_chan)
                pl.map[i].to = pl.choice[k].to;
    }
    pl_page_sync_settings();
    pl_apply_filter(pl.load_filter);
    if (pl.load_bad_speed[0]) {
        char text[PL_TEXT_MAX];
        g_snprintf(text, sizeof text,
                   _("The session's speed \"%s\" is not a factor from 0.1 to 100 nor \"max\": "
                     "the speed stays as it was."),
                   pl.load_bad_speed);
        pl_set_message(text);
    }
    pl_page_refresh();
}

GtkWidget *on_init(const nb_chan_status *, uint64_t)
{
    pl_thread_stop();
    if (pl.page)
        pl_page_release();
    pl_close();
    memset(&pl, 0, sizeof pl);
    pl.speed = 1.0;
    pl.nchan = 1;
    return pl_page_build();
}

void on_release(void)
{
    pl_close();
    /* The sending thread ends before the library goes. */
    pl_thread_stop();
    pl_page_release();
    pl.page = nullptr;
}

/* Asked before the program quits: a replay under way stops. */
void on_other(pgrp *req)
{
    static char said[PL_PATH_MAX + 64];
    if (pgrp_get_type(req) != PGRP_STOP_QUERY || pl.state != PL_PLAYING)
        return;
    gchar *base = g_path_get_basename(pl.open_path);
    g_snprintf(said, sizeof said, pl.loop ? _("Looping replay of %s") : _("Replay of %s"), base);
    g_free(base);
    pgrp_set_result_ptr(req, said);
}

const nbkit_plugin plugin = {
    .text_domain = GETTEXT_PACKAGE, .init = on_init, .release = on_release,
    .session_save = save_session, .load_begin = load_begin, .load_key = load_key, .load_end = load_end,
    .other = on_other,
};

}  // namespace

/* CAN FD aware: it sends FD frames and takes no frames at all, so an FD
 * frame is never counted as hidden from it. */
NBKIT_PLUGIN_FD(plugin, 0x0306, "Player", "The Nimbrel developers",
                "Replays a candump log, ASC or BLF file onto the bus with its timing.")

void player_set_clock(int64_t (*now_us)(void))
{
    if (now_us)
        pl_thread_stop();
    pl_guard g;
    pl.now_us = now_us;
}

void player_service(void)
{
    pl_guard g;
    pl_turn(pl_now());
    pl_page_refresh();
}
