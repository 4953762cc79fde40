/*
 * play.cpp - replaying: the file read one frame ahead, the frames' due
 * times on the anchor, and the one timer for the next due frame.
 */
#include "player.h"

#include <errno.h>
#include <string.h>

#include "userfile.h"

namespace {

bool wanted(const cl_frame &f)
{
    if (f.flags & CL_ERR)
        return false;  /* error frames are recorded, not sendable */
    if (pl.dir == PL_DIR_RX && (f.flags & CL_TX))
        return false;
    if (pl.dir == PL_DIR_TX && !(f.flags & CL_TX))
        return false;
    return idf_match(&pl.filter, f.id);
}

/* Reads on to the next frame to send: 1 found, 2 found after starting
 * the file over (loop), 0 none (the end, or a read error). */
int fetch(void)
{
    pl.have_next = 0;
    if (!pl.rd)
        return 0;
    int wrapped = 0;
    for (;;) {
        int rc;
        while ((rc = cl_next(pl.rd, &pl.next)) == 1) {
            if (wanted(pl.next)) {
                pl.have_next = 1;
                return wrapped ? 2 : 1;
            }
        }
        if (rc < 0) {
            char text[PL_TEXT_MAX * 2];
            g_snprintf(text, sizeof text, _("Reading %s failed: %s."), pl.open_path,
                       g_strerror(cl_reader_stats(pl.rd)->io_err));
            pl_set_message(text);
            return 0;
        }
        /* The end: over again when looping, unless a whole pass had
         * nothing to send. */
        if (!pl.loop || wrapped)
            return 0;
        pl.pass_stats = *cl_reader_stats(pl.rd);
        if (cl_rewind(pl.rd) != 0)
            return 0;
        wrapped = 1;
        pl.passes++;
    }
}

int64_t due_of(const cl_frame &f)
{
    double us = (double)(f.t_ns - pl.anchor_file_ns) / (1000.0 * pl.speed);
    return pl.anchor_us + (int64_t)us;
}

/* The file time the replay has reached at now. */
int64_t file_time_at(int64_t now)
{
    if (pl.speed <= 0 || pl.state != PL_PLAYING)
        return pl.have_next ? pl.next.t_ns : pl.paused_file_ns;
    int64_t t = pl.anchor_file_ns + (int64_t)((double)(now - pl.anchor_us) * 1000.0 * pl.speed);
    return pl.have_next && t > pl.next.t_ns ? pl.next.t_ns : t;
}

void anchor(int64_t now_us, int64_t file_ns)
{
    pl.anchor_us = now_us;
    pl.anchor_file_ns = file_ns;
}

void pause_with(int code)
{
    char why[256];
    if (ZkStrError((int16_t)code, why, sizeof why) < 0 || !why[0])
        g_snprintf(why, sizeof why, _("error %d"), code);
    char text[PL_TEXT_MAX * 2];
    g_snprintf(text, sizeof text, _("Replay paused: frame %X was not sent: %s."),
               (unsigned)pl.next.id, why);
    pl.paused_file_ns = pl.next.t_ns;
    pl.state = PL_PAUSED;
    pl_set_message(text);
}

/* Sends the next frame: 1 sent, 0 not (retry later or paused). */
int send_next(void)
{
    zk_frame z;
    memset(&z, 0, sizeof z);
    z.id = pl.next.id;
    z.flags = (uint8_t)(pl.next.flags & (ZK_FRAME_EFF | ZK_FRAME_RTR));
    z.len = pl.next.len > 8 ? 8 : pl.next.len;
    memcpy(z.data, pl.next.data, sizeof z.data);
    int r = nb_send_frame(&z);
    if (r >= 0) {
        pl.sent++;
        pl.wtouts = 0;
        return 1;
    }
    /* A full transmit queue: the bus is slower than the file; the frame
     * goes out later. Anything else pauses the replay. */
    if (r != ZK_E_WTOUT || ++pl.wtouts >= PL_WTOUT_PAUSE)
        pause_with(r);
    return 0;
}

void finished(void)
{
    pl.state = PL_STOPPED;
    char text[PL_TEXT_MAX];
    g_snprintf(text, sizeof text,
               g_dngettext(GETTEXT_PACKAGE, "Replay finished: %llu frame sent.",
                           "Replay finished: %llu frames sent.", (unsigned long)pl.sent),
               (unsigned long long)pl.sent);
    if (!pl.message[0])
        pl_set_message(text);
}

gboolean on_timer(gpointer)
{
    pl.timer = 0;
    pl_service(pl_now());
    return FALSE;
}

void schedule(int64_t now, int yielded)
{
    if (pl.timer)
        g_source_remove(pl.timer);
    pl.timer = 0;
    if (pl.state != PL_PLAYING || !pl.page)
        return;
    guint ms = 1;
    if (!yielded && pl.speed > 0 && pl.have_next) {
        int64_t wait = due_of(pl.next) - now - PL_EARLY_US;
        ms = wait <= 0 ? 0 : (guint)(wait / 1000);
    }
    /* Above the host's timers, so a due frame is not kept waiting; never
     * ready before its time, so it does not starve them either. */
    pl.timer = g_timeout_add_full(G_PRIORITY_HIGH, ms, on_timer, nullptr, nullptr);
}

}  // namespace

int64_t pl_now(void)
{
    return pl.now_us ? pl.now_us() : g_get_monotonic_time();
}

void pl_set_message(const char *text)
{
    g_strlcpy(pl.message, text ? text : "", sizeof pl.message);
    pl_page_refresh();
}

void pl_close(void)
{
    if (pl.timer)
        g_source_remove(pl.timer);
    pl.timer = 0;
    cl_close(pl.rd);
    pl.rd = nullptr;
    pl.open_path[0] = '\0';
    pl.have_next = 0;
    pl.state = PL_STOPPED;
}

int pl_open(void)
{
    if (pl.rd && strcmp(pl.open_path, pl.path) == 0)
        return 0;
    pl_close();
    char text[PL_TEXT_MAX * 2];
    if (!pl.path[0]) {
        pl_set_message(_("Choose a log file first."));
        return -1;
    }
    int err = EINVAL;
    gchar *name = g_filename_from_utf8(pl.path, -1, nullptr, nullptr, nullptr);
    if (name)
        pl.rd = cl_open(name, CL_FMT_AUTO, &err);
    g_free(name);
    if (!pl.rd) {
        g_snprintf(text, sizeof text, _("Cannot open %s: %s."), pl.path, uf_strerror(err));
        pl_set_message(text);
        return -1;
    }
    g_strlcpy(pl.open_path, pl.path, sizeof pl.open_path);
    pl.sent = 0;
    pl.passes = 0;
    pl.message[0] = '\0';
    fetch();
    pl.paused_file_ns = pl.have_next ? pl.next.t_ns : 0;
    if (!pl.have_next && !pl.message[0]) {
        g_snprintf(text, sizeof text, _("%s holds no frame to send (with this filter and direction)."),
                   pl.path);
        pl_set_message(text);
    }
    pl_page_refresh();
    return 0;
}

void pl_play(void)
{
    if (pl.state == PL_PLAYING || pl_open() != 0)
        return;
    int64_t now = pl_now();
    if (pl.state == PL_STOPPED) {
        if (!pl.have_next) {  /* at the end: from the start again */
            cl_rewind(pl.rd);
            fetch();
        }
        pl.sent = 0;
        pl.passes = 0;
        if (!pl.have_next) {
            pl_page_refresh();
            return;
        }
        anchor(now, pl.next.t_ns);
    } else {
        anchor(now, pl.paused_file_ns);
    }
    pl.wtouts = 0;
    pl.last_due_us = now;
    pl.state = PL_PLAYING;
    pl.message[0] = '\0';
    pl_service(now);
}

void pl_pause(void)
{
    if (pl.state != PL_PLAYING)
        return;
    pl.paused_file_ns = file_time_at(pl_now());
    pl.state = PL_PAUSED;
    schedule(0, 0);
    pl_page_refresh();
}

void pl_stop(void)
{
    pl.state = PL_STOPPED;
    schedule(0, 0);
    if (pl.rd && cl_rewind(pl.rd) == 0)
        fetch();
    pl.paused_file_ns = pl.have_next ? pl.next.t_ns : 0;
    pl_page_refresh();
}

void pl_step(void)
{
    if (pl_open() != 0)
        return;
    if (pl.state == PL_PLAYING)
        pl_pause();
    while (pl.have_next && !wanted(pl.next))
        fetch();  /* the filter or direction changed */
    if (!pl.have_next) {
        pl_set_message(_("The end of the file: Stop goes back to its start."));
        return;
    }
    pl.state = PL_PAUSED;
    pl.message[0] = '\0';
    if (send_next())
        fetch();
    pl.paused_file_ns = pl.have_next ? pl.next.t_ns : pl.paused_file_ns;
    pl_page_refresh();
}

void pl_set_speed(double speed)
{
    if (speed > 0 && speed < PL_SPEED_MIN)
        speed = PL_SPEED_MIN;
    if (speed > PL_SPEED_MAX)
        speed = PL_SPEED_MAX;
    if (pl.state == PL_PLAYING) {
        int64_t now = pl_now();
        anchor(now, file_time_at(now));
        pl.speed = speed;
        pl_service(now);
    } else {
        pl.speed = speed;
    }
}

void pl_service(int64_t now)
{
    if (pl.state != PL_PLAYING) {
        schedule(now, 0);
        return;
    }
    const int64_t began = pl_now();
    int yielded = 0, count = 0;
    for (;;) {
        if (!pl.have_next) {
            finished();
            break;
        }
        if (!wanted(pl.next)) {  /* the filter or direction changed */
            if (fetch() == 2)
                anchor(pl.last_due_us, pl.next.t_ns);
            continue;
        }
        if (pl.speed > 0) {
            int64_t due = due_of(pl.next);
            if (due > now) {
                /* Close enough to wait for with the real clock; a
                 * replaced clock only moves between calls. */
                if (pl.now_us || due - now > PL_EARLY_US)
                    break;
                g_usleep((gulong)(due - now));
                now = pl_now();
            }
            pl.last_due_us = due;
        } else {
            pl.last_due_us = now;
        }
        if (!send_next())
            break;
        if (fetch() == 2)
            anchor(pl.last_due_us, pl.next.t_ns);
        if (++count >= 4096 || (!pl.now_us && pl_now() - began > PL_FAST_BUDGET_US)) {
            yielded = 1;  /* give the main loop a turn */
            break;
        }
        if (pl.speed <= 0)
            now = pl_now();
    }
    schedule(pl_now(), yielded || (pl.state == PL_PLAYING && pl.wtouts > 0));
}
