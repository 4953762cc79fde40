/*
 * sender.cpp - the sending plug-in: its handlers for the plug-in kit and
 * the message list's session keys (one "Message" key per message, in list
 * order).
 */
#include "sender.h"

#include "frametext.h"

#include <string.h>

sd_state sd;

namespace {

const char *const KEY_MESSAGE = "Message";
const char *const KEY_QUICK = "QuickSend";   /* one per history line, the latest first */
/* After a Message key: its channel index, when not the main one (older
 * sessions have none: the main channel). */
const char *const KEY_CHANNEL = "MessageChannel";
const char *const KEY_QUICK_CHANNEL = "QuickChannel";

void save_session(void *file)
{
    char text[256];
    sd_db_save_database(file);
    for (int i = 0; i < sd.count; i++) {
        sd_msg_to_text(&sd.msgs[i], text, sizeof text);
        nbpg_save_key(file, KEY_MESSAGE, text);
        if (sd.msgs[i].chan != 0 && sd.msgs[i].chan != SD_CHAN_GONE)
            nbkit_save_int(file, KEY_CHANNEL, sd.msgs[i].chan);
        sd_db_save(file, i);
    }
    for (int i = 0; i < sd.history_count; i++)
        nbpg_save_key(file, KEY_QUICK, sd.history[i]);
    if (sd.quick_chan != 0)
        nbkit_save_int(file, KEY_QUICK_CHANNEL, sd.quick_chan);
}

/* The message the keys after a Message key belong to; null after one
 * that was left out. */
sd_msg *load_last;

void load_begin(void)
{
    load_last = nullptr;
    sd.load_count = 0;
    sd.load_bad = 0;
    sd.load_over = 0;
    sd.load_history_count = 0;
    sd.quick_chan = 0;
}

void load_key(const pgrp_session_key *key)
{
    const char *value = nbkit_key_value(key);
    if (nbkit_key_is(key, KEY_QUICK)) {
        /* Kept in the order saved; lines that are no frame are dropped. */
        zk_fdframe f;
        char line[SD_QUICK_MAX];
        if (sd.load_history_count < SD_HISTORY_MAX && ft_parse_fd(value, &f, nullptr, 0) >= 0 &&
            ft_format_fd(&f, line, sizeof line) > 0)
            g_strlcpy(sd.load_history[sd.load_history_count++], line, SD_QUICK_MAX);
        return;
    }
    int32_t chan = 0;
    if (nbkit_key_int(key, KEY_CHANNEL, &chan)) {
        if (load_last)
            load_last->chan = (uint16_t)(chan > 0 && chan < SD_CHANS ? chan : 0);
        return;
    }
    if (nbkit_key_int(key, KEY_QUICK_CHANNEL, &chan)) {
        sd.quick_chan = chan > 0 && chan < SD_CHANS ? chan : 0;
        return;
    }
    if (!nbkit_key_is(key, KEY_MESSAGE)) {
        char name[sizeof key->name];
        g_strlcpy(name, key->name, sizeof name);
        sd_db_load_key(name, value, load_last);
        return;
    }
    char err[SD_TEXT_MAX];
    sd_msg m;
    load_last = nullptr;
    if (sd_msg_from_text(value, &m, err, sizeof err) != 0) {
        sd.load_bad++;
        return;
    }
    if (sd.load_count >= SD_MAX_MSGS) {
        sd.load_over++;  /* valid, but beyond what the list holds */
        return;
    }
    sd.load_msgs[sd.load_count++] = m;
    load_last = &sd.load_msgs[sd.load_count - 1];
}

/* The session's list replaces the current one; periodic sending stops, so
 * loading a session never starts traffic on the bus by itself. */
void load_end(void)
{
    sd_stop_all();
    memcpy(sd.msgs, sd.load_msgs, sizeof(sd_msg) * (size_t)sd.load_count);
    sd.count = sd.load_count;
    for (int i = 0; i < sd.count; i++)
        if (!sd.msgs[i].uid)  /* a database row has had its own since its keys were read */
            sd.msgs[i].uid = sd_new_uid();
    memcpy(sd.history, sd.load_history, sizeof sd.history);
    sd.history_count = sd.load_history_count;
    sd_db_load_end();
    sd_page_rebuild();
    sd_page_history();
    char text[SD_TEXT_MAX] = "";
    size_t n = 0;
    if (sd.load_over > 0)
        n = (size_t)g_snprintf(text, sizeof text,
                               g_dngettext(GETTEXT_PACKAGE,
                                           "%d message of the session was left out: the list "
                                           "holds at most %d. ",
                                           "%d messages of the session were left out: the list "
                                           "holds at most %d. ",
                                           sd.load_over),
                               sd.load_over, SD_MAX_MSGS);
    if (sd.load_bad > 0 && n < sizeof text)
        g_snprintf(text + n, sizeof text - n,
                   g_dngettext(GETTEXT_PACKAGE, "%d message of the session was not valid and was left out.",
                            "%d messages of the session were not valid and were left out.",
                            sd.load_bad),
                   sd.load_bad);
    g_strchomp(text);
    sd_set_message(text);
}

GtkWidget *on_init(const nb_chan_status *, uint64_t)
{
    if (sd.page) {
        sd_stop_all();
        sd_page_release();
    }
    sd_db_reset();
    memset(&sd, 0, sizeof sd);
    sd_channels_changed();
    return sd_page_build();
}

void on_release(void)
{
    /* The sending thread ends before the library goes. */
    sd_stop_all();
    sd_page_release();
    sd_db_reset();
    sd.page = nullptr;
}

/* Asked before the program quits: periodic sending stops. */
void on_other(pgrp *req)
{
    static char said[128];
    if (pgrp_get_type(req) == PGRP_CHANNELS) {
        sd_channels_changed();
        sd_page_rebuild();
        return;
    }
    if (pgrp_get_type(req) != PGRP_STOP_QUERY || !sd.running)
        return;
    int periodic = 0;
    sd_lock();
    for (int i = 0; i < sd.count; i++)
        periodic += sd.msgs[i].enabled && sd.msgs[i].period_ms > 0 && !sd.msgs[i].paused;
    sd_unlock();
    if (periodic == 0)
        return;
    g_snprintf(said, sizeof said, _("Periodic sending (messages: %d)"), periodic);
    pgrp_set_result_ptr(req, said);
}

/* The main channel's bus-off, so that a timer job the adapter ended with
 * the stop that followed is paused naming it. */
void on_status(const nb_chan_status *st, uint64_t)
{
    if (nbkit_self.channel == 0 && st->running)
        sd.bus_off = 0;
}

void on_errors(const zk_errs *errs, uint64_t)
{
    if (nbkit_self.channel == 0 && errs->boff)
        sd.bus_off = 1;
}

/* Only the frames that never went out matter here. */
void on_stream(const nb_stream_frame *recs, int n, uint64_t)
{
    sd_count_lost(recs, n);
}

const nbkit_plugin plugin = {
    .text_domain = GETTEXT_PACKAGE, .init = on_init, .release = on_release,
    .errors = on_errors, .status = on_status,
    .session_save = save_session, .load_begin = load_begin, .load_key = load_key, .load_end = load_end,
    .other = on_other, .stream = on_stream,
};

}  // namespace

/* On the stream (for PGRP_CHANNELS and the frames that never went out),
 * so an FD frame is never counted as hidden from it. */
NBKIT_PLUGIN_STREAM(plugin, 0x0307, "Sender", "The Nimbrel developers",
                "A list of transmit messages, sent on demand or periodically.")

void sd_chan_name(int chan, char *buf, size_t size)
{
    if (chan == SD_CHAN_GONE || nb_chan_get_name(chan, buf, size) != 0 || !buf[0])
        g_strlcpy(buf, "?", size);
}

int sd_chan_parse(const char *text)
{
    int n = nb_chan_count();
    char name[32];
    for (int i = 0; i < n && i < SD_CHANS; i++)
        if (nb_chan_get_name(i, name, sizeof name) == 0 && g_ascii_strcasecmp(name, text) == 0)
            return i;
    return -1;
}

void sd_channels_changed(void)
{
    char now[SD_CHANS][16];
    int n = nb_chan_count();
    if (n > SD_CHANS)
        n = SD_CHANS;
    for (int i = 0; i < n; i++)
        if (nb_chan_get_name(i, now[i], sizeof now[i]) != 0)
            now[i][0] = '\0';
    /* A message of an added channel follows it to its new index; one whose
     * channel is gone sends nothing (never on another channel). */
    auto follow = [&](int chan) -> int {
        if (chan == 0 || chan == SD_CHAN_GONE || chan >= sd.nchan)
            return chan;
        for (int i = 1; i < n; i++)
            if (strcmp(now[i], sd.chan_names[chan]) == 0)
                return i;
        return SD_CHAN_GONE;
    };
    int q = follow(sd.quick_chan);
    sd.quick_chan = q == SD_CHAN_GONE ? 0 : q;
    /* The sending thread reads the names too. */
    sd_lock();
    for (int i = 0; i < sd.count; i++) {
        uint16_t c = (uint16_t)follow(sd.msgs[i].chan);
        if (c != sd.msgs[i].chan) {
            sd.msgs[i].chan = c;
            sd.msgs[i].dirty = 1;
        }
    }
    memcpy(sd.chan_names, now, sizeof now[0] * (size_t)n);
    sd.nchan = n < 1 ? 1 : n;
    sd_unlock();
}
