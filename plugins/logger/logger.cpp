/*
 * logger.cpp - the logging plug-in: its handlers for the plug-in kit,
 * starting and stopping a log file, and its session keys.
 */
#include "logger.h"

#include <errno.h>
#include <string.h>
#include <time.h>

#include "userfile.h"

lg_state lg;

namespace {

const char *const KEY_FORMAT = "Format";
const char *const KEY_FOLDER = "Folder";
const char *const KEY_AUTOSTART = "AutoStart";
const char *const KEY_CHANNELS = "Channels";

/* The session's names of the formats, by LG_FMT_* number. */
const char *const FORMATS[] = {"auto", "candump", "asc", "blf", "trc", nullptr};
static_assert(LG_FMT_AUTO == 0 && LG_FMT_CANDUMP == 1 && LG_FMT_ASC == 2 && LG_FMT_BLF == 3 &&
                  LG_FMT_TRC == 4 && CL_FMT_LAST == 4,
              "FORMATS follows the format numbers");

const char *extension_of(int f)
{
    const cl_format_info *i = cl_format_info_of(f);
    return i ? i->ext : ".log";
}

/* Writes one frame or error frame; a failure stops logging. */
int put(const cl_frame *f)
{
    int err = cl_write(&lg.w, f);
    if (err) {
        lg_fail(err);
        return -1;
    }
    return 0;
}

static_assert(CL_EXT == ZK_FRAME_EFF && CL_RTR == ZK_FRAME_RTR && CL_FDF == ZK_FRAME_FDF &&
                  CL_BRS == ZK_FRAME_BRS && CL_ESI == ZK_FRAME_ESI,
              "frame flags pass through");

int put_frame(const nb_stream_frame *sf, int file_chan, int64_t t_us)
{
    const uint8_t kinds = ZK_FRAME_EFF | ZK_FRAME_RTR | ZK_FRAME_FDF | ZK_FRAME_BRS | ZK_FRAME_ESI;
    cl_frame f;
    f.t_ns = t_us * 1000;
    f.id = sf->id;
    f.chan = (uint16_t)file_chan;
    f.flags = (uint8_t)((sf->flags & kinds) | (sf->dir == NB_DIR_TX ? CL_TX : 0));
    uint8_t max = (sf->flags & ZK_FRAME_FDF) ? 64 : 8;
    f.len = sf->len > max ? max : sf->len;
    memset(f.data, 0, sizeof f.data);
    memcpy(f.data, sf->data, f.len);
    return put(&f);
}

/* The file's number of the channel with this index, -1 when it is not
 * recorded. A channel's first frame in the file gives it its name. */
int file_channel(int index)
{
    int slot = nbkit_chans_slot(&lg.chans, index);
    if (lg.take[slot] < 0) {
        lg.take[slot] = (int8_t)lg_channel_chosen(nbkit_chans_name(&lg.chans, slot));
        cl_writer_set_chan_name(&lg.w, (unsigned)slot, nbkit_chans_log_name(&lg.chans, slot));
    }
    return lg.take[slot] ? slot : -1;
}

/* The file's start time (ASC and BLF headers) goes out with the first
 * event, so that it can be placed at or before that event: received
 * frames of the first batch may have arrived just before logging started,
 * and the formats have no negative times. The headers hold milliseconds. */
int file_header(int64_t first_us)
{
    if (lg.header)
        return 0;
    int64_t base = first_us < lg.start_us ? first_us : lg.start_us;
    if (base < 0)
        base = 0;
    lg.header = 1;
    int err = cl_writer_start(&lg.w, base * 1000);
    if (err) {
        lg_fail(err);
        return -1;
    }
    return 0;
}

void flush_if_full(void)
{
    if (lg.logging && lg.w.fill >= LG_FLUSH_AT) {
        int err = cl_writer_flush(&lg.w);
        if (err)
            lg_fail(err);
    }
}

/* Times in a file never step back: a time before the last one written is
 * written as that one. */
int64_t monotone(int64_t t)
{
    if (t < lg.last_us)
        t = lg.last_us;
    lg.last_us = t;
    return t;
}

/* The stream's frames, each on its channel, at the host's times. */
void log_stream(const nb_stream_frame *frames, int n, uint64_t)
{
    if (!lg.logging || file_header((int64_t)frames[0].time_us) != 0)
        return;
    for (int i = 0; i < n && lg.logging; i++) {
        int chan = file_channel(frames[i].channel);
        if (chan >= 0 && put_frame(&frames[i], chan, monotone((int64_t)frames[i].time_us)) == 0)
            lg.frames++;
    }
    flush_if_full();
}

void log_errors(const zk_errs *errs, uint64_t req_ts)
{
    if (!lg.logging)
        return;
    int chan = file_channel(nbkit_channel());
    int64_t t = nbkit_time_us(req_ts);
    if (chan < 0 || file_header(t) != 0)
        return;
    t = monotone(t);
    cl_frame f;
    lg_error_frame(errs, chan, t, &f);
    if (put(&f) == 0)
        lg.error_events++;
}

/* Creates the log file; path in UTF-8. Returns 0 or an errno value. */
int open_file(cl_writer *w, const char *path_utf8, int format, int exclusive)
{
    gchar *name = g_filename_from_utf8(path_utf8, -1, nullptr, nullptr, nullptr);
    if (!name)
        return EINVAL;
    int err = cl_writer_open(w, name, format, exclusive);
    g_free(name);
    return err;
}

/* A new file name in the folder: nimbrel-ch<chan>-<date>-<time>[-<n>]<ext>. */
int make_name(char *out, size_t size, const char *folder, int format, int attempt)
{
    time_t now = time(nullptr);
    struct tm tm;
    if (!localtime_r(&now, &tm))
        memset(&tm, 0, sizeof tm);
    char stamp[32];
    strftime(stamp, sizeof stamp, "%Y%m%d-%H%M%S", &tm);
    char suffix[16] = "";
    if (attempt > 0)
        g_snprintf(suffix, sizeof suffix, "-%d", attempt + 1);
    const char *sep = (*folder && folder[strlen(folder) - 1] == '/') ? "" : "/";
    int n = g_snprintf(out, size, "%s%snimbrel-ch%d-%s%s%s", folder, sep, nbkit_chan(), stamp,
                       suffix, extension_of(format));
    return (n < 0 || (size_t)n >= size) ? -1 : 0;
}

gboolean on_timer(gpointer)
{
    lg_flush_tick();
    return TRUE;
}

void reset_state(void)
{
    memset(&lg, 0, sizeof lg);
    cl_writer_init(&lg.w);
    lg.all_channels = 1;
    g_strlcpy(lg.folder, g_get_home_dir(), sizeof lg.folder);
}

/* --------------------------------------------------------- session keys */

void save_session(void *file)
{
    nbkit_save_choice(file, KEY_FORMAT, FORMATS, lg.format_choice);
    nbkit_save_text(file, KEY_FOLDER, lg.folder);
    nbkit_save_bool(file, KEY_AUTOSTART, lg.autostart);
    char channels[sizeof lg.load_channels];
    lg_channels_text(channels, sizeof channels);
    nbkit_save_text(file, KEY_CHANNELS, channels);
}

void load_begin(void)
{
    lg.load_format = lg.format_choice;
    lg.load_autostart = lg.autostart;
    g_strlcpy(lg.load_folder, lg.folder, sizeof lg.load_folder);
    lg_channels_text(lg.load_channels, sizeof lg.load_channels);
}

void load_key(const pgrp_session_key *key)
{
    nbkit_key_choice(key, KEY_FORMAT, FORMATS, &lg.load_format);
    if (*nbkit_key_value(key))
        nbkit_key_text(key, KEY_FOLDER, lg.load_folder, sizeof lg.load_folder);
    nbkit_key_bool(key, KEY_AUTOSTART, &lg.load_autostart);
    nbkit_key_text(key, KEY_CHANNELS, lg.load_channels, sizeof lg.load_channels);
}

void load_end(void)
{
    lg.format_choice = lg.load_format;
    lg.autostart = lg.load_autostart;
    g_strlcpy(lg.folder, lg.load_folder, sizeof lg.folder);
    lg_set_channels(lg.load_channels);
    if (lg.page)
        lg_page_sync_settings();
    if (lg.autostart && !lg.logging && lg.page)
        lg_start("", 1);
    lg_page_refresh();
}

/* ------------------------------------------------------------- requests */

GtkWidget *on_init(const nb_chan_status *, uint64_t)
{
    if (lg.page)
        lg_page_release();
    if (lg.logging)
        lg_stop();
    reset_state();
    lg.page = lg_page_build();
    lg.timer = g_timeout_add(LG_FLUSH_MS, on_timer, nullptr);
    return lg.page;
}

void on_release(void)
{
    if (lg.timer)
        g_source_remove(lg.timer);
    lg.timer = 0;
    if (lg.logging)
        lg_stop();
    if (lg.page)
        lg_page_release();
    lg.page = nullptr;
}

void on_channels(void)
{
    lg_page_channels();
}

/* Asked before the program quits: a log being written stops. */
void on_other(pgrp *req)
{
    static char said[LG_PATH_MAX + 64];
    if (pgrp_get_type(req) != PGRP_STOP_QUERY || !lg.logging)
        return;
    gchar *base = g_path_get_basename(lg.path);
    g_snprintf(said, sizeof said, _("Logging to %s"), base);
    g_free(base);
    pgrp_set_result_ptr(req, said);
}

const nbkit_plugin plugin = {
    .text_domain = GETTEXT_PACKAGE, .init = on_init, .release = on_release,
    .errors = log_errors, .session_save = save_session, .load_begin = load_begin,
    .load_key = load_key, .load_end = load_end, .other = on_other, .stream = log_stream,
    .channels = on_channels,
};

}  // namespace

NBKIT_PLUGIN_STREAM(plugin, 0x0304, "Logger", "The Nimbrel developers",
             "Logs received and sent frames of every channel, classic and CAN FD, and error "
             "reports to a "
             "candump log (.log), "
             "a Vector ASC file (.asc), a binary logging file (.blf) or a TRC trace (.trc).")

int lg_start(const char *path, int exclusive)
{
    if (lg.logging)
        lg_stop();
    char name[LG_PATH_MAX];
    int err = 0;
    int format = lg.format_choice;
    /* The new file is opened apart: a refusal leaves the page saying what
     * the last file holds, not the counts of one and the size of none. */
    cl_writer w;
    cl_writer_init(&w);
    if (!path || !*path) {
        if (format == LG_FMT_AUTO)
            format = LG_FMT_CANDUMP;
        err = EEXIST;
        for (int attempt = 0; attempt < 100 && err == EEXIST; attempt++) {
            if (make_name(name, sizeof name, lg.folder, format, attempt) != 0) {
                err = ENAMETOOLONG;
                break;
            }
            err = open_file(&w, name, format, 1);
        }
    } else {
        g_strlcpy(name, path, sizeof name);
        if (format == LG_FMT_AUTO)
            format = cl_format_of_name(name);
        if (format == LG_FMT_AUTO)
            format = LG_FMT_CANDUMP;
        err = open_file(&w, name, format, exclusive);
        /* Taken by something that is no file at all: say what it is. */
        if (err == EEXIST) {
            gchar *local = g_filename_from_utf8(name, -1, nullptr, nullptr, nullptr);
            if (int kind = local ? uf_check_target(local) : 0)
                err = kind;
            g_free(local);
        }
    }
    if (err) {
        if (err == EEXIST)
            g_snprintf(lg.message, sizeof lg.message,
                       _("Logging not started: %s exists already. Choose it with "
                         "\"Browse...\" to replace it, or give another name."),
                       name);
        else
            g_snprintf(lg.message, sizeof lg.message, _("Logging not started: %s: %s."), name,
                       uf_strerror(err));
        lg_page_refresh();
        return -1;
    }
    lg.w = w;
    g_strlcpy(lg.path, name, sizeof lg.path);
    if (path && *path) {
        gchar *dir = g_path_get_dirname(name);
        if (dir && strcmp(dir, ".") != 0)
            g_strlcpy(lg.folder, dir, sizeof lg.folder);
        g_free(dir);
    }
    lg.format = format;
    lg.logging = 1;
    lg.frames = 0;
    lg.error_events = 0;
    lg.rewriting = 0;
    lg.moved = 0;
    lg.message[0] = '\0';
    nbkit_chans_reset(&lg.chans);
    nbkit_chans_sync(&lg.chans);
    memset(lg.take, -1, sizeof lg.take);
    /* The start on the host's clock, which has millisecond steps, so the
     * ASC header's time with milliseconds is exact. */
    lg.start_us = nbkit_time_us(nbsdep_timestamp_get());
    lg.header = 0;
    lg.last_us = 0;
    lg_page_refresh();
    return 0;
}

namespace {

/* Closes the file; after a failure the counts are what it holds. */
int close_file(void)
{
    lg.logging = 0;
    lg.rewriting = 0;
    int err = cl_writer_close(&lg.w);
    if (err) {
        lg.frames = lg.w.on_disk.frames;
        lg.error_events = lg.w.on_disk.error_frames;
    }
    return err;
}

void failed(int err)
{
    g_snprintf(lg.message, sizeof lg.message,
               _("Logging stopped: writing %s failed: %s. The file is incomplete."), lg.path,
               g_strerror(err));
}

/* Whether the file is still at its name; a deleted one is written anew. */
void check_file(void)
{
    gchar *local = g_filename_from_utf8(lg.path, -1, nullptr, nullptr, nullptr);
    if (!local)
        return;
    int state = cl_writer_check(&lg.w, local);
    if (state == CL_FILE_DELETED) {
        int err = cl_writer_recreate(&lg.w, local);
        if (err) {
            close_file();
            g_snprintf(lg.message, sizeof lg.message,
                       _("Logging stopped: %s was deleted and cannot be made again: %s. What "
                         "was logged is lost."),
                       lg.path, uf_strerror(err));
        } else {
            lg.rewriting = 1;
            lg.moved = 0;
            g_snprintf(lg.message, sizeof lg.message,
                       _("%s was deleted while logging: it is written anew, with everything "
                         "logged so far."),
                       lg.path);
        }
    } else if (state == CL_FILE_MOVED && !lg.moved && !lg.rewriting) {
        lg.moved = 1;
        g_snprintf(lg.message, sizeof lg.message,
                   _("%s was moved or renamed while logging: logging goes on into the moved "
                     "file."),
                   lg.path);
    }
    g_free(local);
    /* A file written anew catches up a part at a time. */
    if (lg.logging && lg.rewriting) {
        int rc = cl_writer_copy(&lg.w, LG_COPY_PER_TICK);
        if (rc == 1) {
            lg.rewriting = 0;
        } else if (rc != 0) {
            close_file();
            g_snprintf(lg.message, sizeof lg.message,
                       _("Logging stopped: %s was deleted and cannot be written anew: %s."),
                       lg.path, g_strerror(rc));
        }
    }
}

}  // namespace

void lg_stop(void)
{
    if (!lg.logging)
        return;
    if (file_header(lg.start_us) != 0)
        return;  /* lg_fail stopped it */
    int err = close_file();
    if (err)
        failed(err);
    lg_page_refresh();
}

void lg_fail(int err)
{
    if (!lg.logging)
        return;
    close_file();
    failed(err);
    lg_page_refresh();
}

void lg_flush_tick(void)
{
    if (lg.logging) {
        int err = cl_writer_flush(&lg.w);
        if (err)
            lg_fail(err);
    }
    if (lg.logging)
        check_file();
    lg_page_refresh();
}

/* ------------------------------------------------------------- channels */

void lg_set_channels(const char *text)
{
    lg.all_channels = 1;
    lg.nchosen = 0;
    gchar **names = g_strsplit_set(text ? text : "", ", ", -1);
    for (int i = 0; names[i]; i++) {
        if (!*names[i] || g_ascii_strcasecmp(names[i], "all") == 0)
            continue;
        lg.all_channels = 0;
        if (g_ascii_strcasecmp(names[i], "none") == 0)
            continue;
        if (lg.nchosen < LG_CHOSEN_MAX && !lg_channel_chosen(names[i]))
            g_strlcpy(lg.chosen[lg.nchosen++], names[i], NBKIT_CHAN_NAME);
    }
    g_strfreev(names);
    if (lg.logging)
        memset(lg.take, -1, sizeof lg.take);
}

void lg_channels_text(char *out, size_t size)
{
    g_strlcpy(out, lg.all_channels ? "all" : lg.nchosen == 0 ? "none" : "", size);
    for (int i = 0; !lg.all_channels && i < lg.nchosen; i++) {
        if (i > 0)
            g_strlcat(out, ",", size);
        g_strlcat(out, lg.chosen[i], size);
    }
}

int lg_channel_chosen(const char *name)
{
    if (lg.all_channels)
        return 1;
    for (int i = 0; i < lg.nchosen; i++)
        if (strcmp(lg.chosen[i], name) == 0)
            return 1;
    return 0;
}

void lg_choose_channel(const char *name, int on)
{
    int i = 0;
    while (i < lg.nchosen && strcmp(lg.chosen[i], name) != 0)
        i++;
    if (on && i == lg.nchosen && lg.nchosen < LG_CHOSEN_MAX)
        g_strlcpy(lg.chosen[lg.nchosen++], name, NBKIT_CHAN_NAME);
    if (!on && i < lg.nchosen) {
        memmove(lg.chosen[i], lg.chosen[i + 1], (size_t)(lg.nchosen - i - 1) * NBKIT_CHAN_NAME);
        lg.nchosen--;
    }
    if (lg.logging)
        memset(lg.take, -1, sizeof lg.take);
}
