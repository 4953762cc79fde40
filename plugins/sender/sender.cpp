/*
 * sender.cpp - the sending plug-in: its exports, the request handler and
 * the message list's session keys (one "Message" key per message, in list
 * order).
 */
#include "sender.h"

#include "frametext.h"

#include <string.h>

sd_state sd;

extern "C" {
NBPG_EXPORT extern const uint16_t __nbpg_version;
NBPG_EXPORT extern const char __nbpg_name[];
NBPG_EXPORT extern const char __nbpg_author[];
NBPG_EXPORT extern const char __nbpg_description[];
NBPG_EXPORT int nbpg_handler(pgrp *req);

const uint16_t __nbpg_version = 0x0300;
const char __nbpg_name[] = "Sender";
const char __nbpg_author[] = "The Nimbrel developers";
const char __nbpg_description[] =
    "A list of transmit messages, sent on demand or periodically.";
}

namespace {

const char *const KEY_MESSAGE = "Message";
const char *const KEY_QUICK = "QuickSend";   /* one per history line, the latest first */

void save_session(void *file)
{
    char text[128];
    for (int i = 0; i < sd.count; i++) {
        sd_msg_to_text(&sd.msgs[i], text, sizeof text);
        nbpg_save_key(file, KEY_MESSAGE, text);
    }
    for (int i = 0; i < sd.history_count; i++)
        nbpg_save_key(file, KEY_QUICK, sd.history[i]);
}

void load_begin(void)
{
    sd.loading = 1;
    sd.load_count = 0;
    sd.load_bad = 0;
    sd.load_history_count = 0;
}

void load_key(const char *name, const char *value)
{
    if (g_ascii_strcasecmp(name, KEY_QUICK) == 0) {
        /* Kept in the order saved; lines that are no frame are dropped. */
        zk_frame f;
        char line[FT_TEXT_MAX];
        if (sd.load_history_count < SD_HISTORY_MAX && ft_parse(value, &f, nullptr, 0) == 0 &&
            ft_format(&f, line, sizeof line) > 0)
            g_strlcpy(sd.load_history[sd.load_history_count++], line, SD_QUICK_MAX);
        return;
    }
    if (g_ascii_strcasecmp(name, KEY_MESSAGE) != 0)
        return;
    char err[SD_TEXT_MAX];
    if (sd.load_count >= SD_MAX_MSGS ||
        sd_msg_from_text(value, &sd.load_msgs[sd.load_count], err, sizeof err) != 0) {
        sd.load_bad++;
        return;
    }
    sd.load_count++;
}

/* The session's list replaces the current one; periodic sending stops, so
 * loading a session never starts traffic on the bus by itself. */
void load_end(void)
{
    sd.loading = 0;
    sd_stop_all();
    memcpy(sd.msgs, sd.load_msgs, sizeof(sd_msg) * (size_t)sd.load_count);
    sd.count = sd.load_count;
    memcpy(sd.history, sd.load_history, sizeof sd.history);
    sd.history_count = sd.load_history_count;
    sd_page_rebuild();
    sd_page_history();
    if (sd.load_bad > 0) {
        char text[SD_TEXT_MAX];
        g_snprintf(text, sizeof text,
                   g_dngettext(GETTEXT_PACKAGE, "%d message of the session was not valid and was left out.",
                            "%d messages of the session were not valid and were left out.",
                            sd.load_bad),
                   sd.load_bad);
        sd_set_message(text);
    } else {
        sd_set_message("");
    }
}

void on_init(pgrp *req)
{
    if (sd.page) {
        if (sd.timer)
            g_source_remove(sd.timer);
        sd_page_release();
    }
    memset(&sd, 0, sizeof sd);
    bindtextdomain(GETTEXT_PACKAGE, nb_get_locale_dir());
    bind_textdomain_codeset(GETTEXT_PACKAGE, "UTF-8");
    pgrp_set_result_ptr(req, sd_page_build());
}

void on_release(void)
{
    sd.running = 0;
    if (sd.timer)
        g_source_remove(sd.timer);
    sd.timer = 0;
    sd_page_release();
    sd.page = nullptr;
}

}  // namespace

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
        if (sd.loading && data && size >= sizeof(pgrp_session_key)) {
            const pgrp_session_key *key = (const pgrp_session_key *)data;
            char name[sizeof key->name], value[sizeof key->value];
            g_strlcpy(name, key->name, sizeof name);
            g_strlcpy(value, key->value, sizeof value);
            load_key(name, value);
        }
        break;
    case PGRP_SESSION_LOAD_END:
        if (sd.loading)
            load_end();
        break;
    default:
        break;
    }
    return 0;
}
