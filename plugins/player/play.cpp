/*
 * play.cpp - replaying: the file read one frame ahead, the frames' due
 * times on the anchor, and the sending thread (or, with a replaced clock,
 * the one timer) for the next due frame.
 */
#include "player.h"

#include <errno.h>
#include <pthread.h>
#include <string.h>
#include <time.h>

#include <atomic>

#include "rtthread.h"
#include "userfile.h"

namespace {

pthread_mutex_t s_lock;            /* recursive, priority inheritance */
pthread_cond_t s_wake;             /* on the monotonic clock */
pthread_once_t s_once = PTHREAD_ONCE_INIT;
pthread_t s_thread;
int s_retry;                       /* a send was refused for a channel not found yet */

void init_lock(void)
{
    rt_init_lock(&s_lock, &s_wake, 1);
}

bool on_thread(void)
{
    return pl.thread_on && pthread_equal(pthread_self(), s_thread);
}

/* A channel's status: the host's on the window's thread (kept for the
 * sending thread, which may call no other export). */
void chan_status_of(int index, nb_chan_status *st)
{
    if (index < 0 || index >= PL_CHANS) {
        memset(st, 0, sizeof *st);
        return;
    }
    if (!on_thread()) {
        nb_chan_status now;
        memset(&now, 0, sizeof now);
        if (index == 0)
            nb_get_current_status(&now);
        else if (nb_chan_get_status(index, &now) != 0)
            memset(&now, 0, sizeof now);
        pl.chans[index] = now;
        if (index == 0)
            pl.chan = now;
    }
    *st = pl.chans[index];
}

/* The file's channels in the order the scan met them (its thread writes,
 * the window reads). */
std::atomic<uint16_t> s_scan_chan[PL_MAP_MAX];
std::atomic<int> s_scan_nchan;

/* The file channel's entry, added when new (lock held); null when the
 * table is full. */
pl_map_entry *map_entry(uint16_t file_chan)
{
    for (int i = 0; i < pl.nmap; i++)
        if (pl.map[i].file_chan == file_chan)
            return &pl.map[i];
    if (pl.nmap >= PL_MAP_MAX)
        return nullptr;
    pl_map_entry &e = pl.map[pl.nmap++];
    memset(&e, 0, sizeof e);
    e.file_chan = file_chan;
    e.to = (int16_t)(pl.nmap - 1);   /* by order, unless the user chose */
    for (int i = 0; i < pl.nchoice; i++)
        if (pl.choice[i].file_chan == file_chan)
            e.to = pl.choice[i].to;
    return &e;
}

/* The entry's channel found again by its name when indexes moved (a
 * channel removed); none when it is gone. Window's thread only. */
void resolve(pl_map_entry &e)
{
    if (e.to <= 0)
        return;
    char name[sizeof e.to_name];
    if (!e.to_name[0]) {
        if (e.to < pl.nchan && nb_chan_get_name(e.to, name, sizeof name) == 0)
            g_strlcpy(e.to_name, name, sizeof e.to_name);
        return;
    }
    if (nb_chan_get_name(e.to, name, sizeof name) == 0 && strcmp(name, e.to_name) == 0)
        return;
    int n = nb_chan_count();
    for (int i = 1; i < n && i < PL_CHANS; i++)
        if (nb_chan_get_name(i, name, sizeof name) == 0 && strcmp(name, e.to_name) == 0) {
            e.to = (int16_t)i;
            return;
        }
    e.to = PL_TO_NONE;
}

pl_map_entry *entry_of(uint16_t file_chan)
{
    for (int i = 0; i < pl.nmap; i++)
        if (pl.map[i].file_chan == file_chan)
            return &pl.map[i];
    return nullptr;
}

/* The counts of frames not sent, for a replay from the start. */
void unsent_clear(void)
{
    for (int i = 0; i < pl.nmap; i++)
        pl.map[i].unsent = 0;
    pl.beyond_map = 0;
}

/* Where a frame of this file channel goes now. */
int target_of(uint16_t file_chan)
{
    for (int i = 0; i < pl.nmap; i++)
        if (pl.map[i].file_chan == file_chan)
            return pl_map_target(pl.map[i]);
    return PL_TO_NONE;
}

/* The scan that finds the open file's time span: it keeps no rows (so
 * no marks either), only the least and greatest frame time it has met,
 * written on its thread and read once it is done. */
cl_scan *s_span_scan;
std::atomic<int64_t> s_span_first, s_span_last;
std::atomic<bool> s_span_any;

int no_rows(void *, const cl_frame *)
{
    return 0;
}

void span_frames(void *, const cl_frame *f, size_t n)
{
    int nc = s_scan_nchan.load(std::memory_order_relaxed);
    for (size_t i = 0; i < n && nc < PL_MAP_MAX; i++) {
        bool known = false;
        for (int k = 0; k < nc && !known; k++)
            known = s_scan_chan[k].load(std::memory_order_relaxed) == f[i].chan;
        if (!known) {
            s_scan_chan[nc].store(f[i].chan, std::memory_order_relaxed);
            s_scan_nchan.store(++nc, std::memory_order_release);
        }
    }
    int64_t lo = s_span_first.load(std::memory_order_relaxed);
    int64_t hi = s_span_last.load(std::memory_order_relaxed);
    bool any = s_span_any.load(std::memory_order_relaxed);
    for (size_t i = 0; i < n; i++) {
        if (!any || f[i].t_ns < lo)
            lo = f[i].t_ns;
        if (!any || f[i].t_ns > hi)
            hi = f[i].t_ns;
        any = true;
    }
    s_span_first.store(lo, std::memory_order_relaxed);
    s_span_last.store(hi, std::memory_order_relaxed);
    s_span_any.store(any, std::memory_order_relaxed);
}

void span_close(void)
{
    cl_scan_close(s_span_scan);
    s_span_scan = nullptr;
    s_span_any.store(false, std::memory_order_relaxed);
    s_scan_nchan.store(0, std::memory_order_relaxed);
}

/* Starts the scan of the file just opened; without it (it could not be
 * opened) the page shows the time reached without the whole. */
void span_open(const char *name)
{
    span_close();
    cl_scan_opts o;
    memset(&o, 0, sizeof o);
    o.format = cl_reader_format(pl.rd);
    o.select = no_rows;
    o.frames = span_frames;
    o.fd = 1;
    int err = 0;
    s_span_scan = cl_scan_open(name, &o, &err);
}

static_assert(CL_EXT == ZK_FRAME_EFF && CL_RTR == ZK_FRAME_RTR && CL_FDF == ZK_FRAME_FDF &&
                  CL_BRS == ZK_FRAME_BRS,
              "frame flags pass through");

/* The channel as it is now (it may have been opened anew meanwhile). */
bool fd_channel(int index)
{
    nb_chan_status st;
    chan_status_of(index, &st);
    return st.fd != NB_FD_OFF;
}

/* A frame the direction and filter take. */
bool chosen(const cl_frame &f)
{
    if (f.flags & CL_ERR)
        return false;  /* error frames are recorded, not sendable */
    if (pl.dir == PL_DIR_RX && (f.flags & CL_TX))
        return false;
    if (pl.dir == PL_DIR_TX && !(f.flags & CL_TX))
        return false;
    return idf_match(&pl.filter, f.id);
}

/* A chosen frame of a channel sent somewhere, which that channel can send. */
bool wanted(const cl_frame &f)
{
    if (!chosen(f))
        return false;
    int to = target_of(f.chan);
    return to != PL_TO_NONE && (!(f.flags & CL_FDF) || fd_channel(to));
}

/* A frame just read: its channel found, what is not sent counted. */
void count_read(const cl_frame &f)
{
    pl_map_entry *e = map_entry(f.chan);
    if (!chosen(f))
        return;
    if (!e) {
        pl.beyond_map++;
        return;
    }
    int to = pl_map_target(*e);
    if (to == PL_TO_NONE)
        e->unsent++;
    else if ((f.flags & CL_FDF) && !fd_channel(to))
        pl.fd_unsent++;  /* a classic channel: counted, shown in the page */
}

/* Reads on to the next frame to send: 1 found, 2 found after starting
 * the file over (loop), 0 none (the end, or a read error), 3 not yet:
 * a turn's time went by reading what is no frame to send (called again,
 * it goes on where it stopped). */
int fetch(void)
{
    pl.have_next = 0;
    if (!pl.rd)
        return 0;
    const int64_t began = g_get_monotonic_time();
    for (;;) {
        int rc;
        while ((rc = cl_next(pl.rd, &pl.next)) == 1 || rc == 2) {
            if (rc == 1)
                map_entry(pl.next.chan);
            if (rc == 1 && wanted(pl.next)) {
                int wrapped = pl.pending_wrapped;
                pl.have_next = 1;
                pl.pending = pl.pending_wrapped = 0;
                return wrapped ? 2 : 1;
            }
            if (rc == 1)
                count_read(pl.next);
            if (g_get_monotonic_time() - began > PL_READ_BUDGET_US) {
                pl.pending = 1;
                return 3;
            }
        }
        if (rc < 0) {
            char text[PL_TEXT_MAX * 2];
            g_snprintf(text, sizeof text, _("Reading %s failed: %s."), pl.open_path,
                       g_strerror(cl_reader_stats(pl.rd)->io_err));
            pl.pending = pl.pending_wrapped = 0;
            pl_set_message(text);
            return 0;
        }
        /* The end: over again when looping, unless a whole pass had
         * nothing to send. */
        cl_stats pass = *cl_reader_stats(pl.rd);
        if (!pl.loop || pl.pending_wrapped || cl_rewind(pl.rd) != 0) {
            pl.pending = pl.pending_wrapped = 0;
            return 0;
        }
        pl.pass_stats = pass;
        pl.pending_wrapped = 1;
        pl.passes++;
    }
}

/* a + b, held at the ends of the range instead of overflowing. */
int64_t add_sat(int64_t a, int64_t b)
{
    int64_t r;
    return __builtin_add_overflow(a, b, &r) ? (b > 0 ? INT64_MAX : INT64_MIN) : r;
}

/* A double as a 64-bit integer, held at the ends of the range. */
int64_t to_i64(double v)
{
    if (!(v < 9.2e18))
        return v != v ? 0 : INT64_MAX;
    return v > -9.2e18 ? (int64_t)v : INT64_MIN;
}

int64_t due_of(const cl_frame &f)
{
    double ns = (double)f.t_ns - (double)pl.anchor_file_ns;
    return add_sat(pl.anchor_us, to_i64(ns / (1000.0 * pl.speed)));
}

/* The file time the replay has reached at now. */
int64_t file_time_at(int64_t now)
{
    if (pl.speed <= 0 || pl.state != PL_PLAYING)
        return pl.have_next ? pl.next.t_ns : pl.paused_file_ns;
    int64_t t = add_sat(pl.anchor_file_ns, to_i64((double)(now - pl.anchor_us) * 1000.0 * pl.speed));
    return pl.have_next && t > pl.next.t_ns ? pl.next.t_ns : t;
}

/* The least time a frame takes on the bus at the channel's bit rate (no
 * stuff bits counted), microseconds. */
int64_t bus_us_of(const cl_frame &f)
{
    nb_chan_status st;
    chan_status_of(target_of(f.chan), &st);
    const zk_cia_rate *r = zk_cia_rate_at(st.baud_index - 1);
    uint32_t kbit = r ? r->kbit : 1000;
    if (f.flags & CL_FDF) {
        /* The arbitration phase at the nominal rate; length code, data and
         * CRC at the data rate with BRS. */
        uint32_t dkbit = (f.flags & CL_BRS) && st.data_kbit ? st.data_kbit : kbit;
        int nominal = (f.flags & CL_EXT) ? 48 : 29, data = 8 * f.len + (f.len > 16 ? 33 : 29);
        return (int64_t)nominal * 1000 / kbit + (int64_t)data * 1000 / dkbit;
    }
    int bits = ((f.flags & CL_EXT) ? 67 : 47) + ((f.flags & CL_RTR) ? 0 : 8 * (f.len > 8 ? 8 : f.len));
    return (int64_t)bits * 1000 / kbit;
}

void anchor(int64_t now_us, int64_t file_ns)
{
    pl.anchor_us = now_us;
    pl.anchor_file_ns = file_ns;
}

/* A loop starts over: the new pass begins when the last frame was due,
 * but not before the frames of the pass could have gone over the bus at
 * its bit rate (and slower at a speed below 1), so that a file whose
 * frames share one time stamp does not flood the bus. */
void anchor_next_pass(void)
{
    int64_t start = pl.last_due_us;
    double slow = pl.speed > 0 && pl.speed < 1 ? 1.0 / pl.speed : 1.0;
    int64_t least = add_sat(pl.pass_start_us, to_i64((double)pl.pass_bus_us * slow));
    if (start < least)
        start = least;
    anchor(start, pl.next.t_ns);
    pl.pass_start_us = start;
    pl.pass_bus_us = 0;
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
    /* ESI is the sending node's own state, never asked for; a classic
     * frame goes out as the host's classic send takes it. */
    zk_fdframe z;
    memset(&z, 0, sizeof z);
    z.id = pl.next.id;
    if (pl.next.flags & CL_FDF) {
        z.flags = (uint8_t)(pl.next.flags & (ZK_FRAME_EFF | ZK_FRAME_FDF | ZK_FRAME_BRS));
        z.len = pl.next.len;
        memcpy(z.data, pl.next.data, sizeof z.data);
    } else {
        z.flags = (uint8_t)(pl.next.flags & (ZK_FRAME_EFF | ZK_FRAME_RTR));
        z.len = pl.next.len > 8 ? 8 : pl.next.len;
        memcpy(z.data, pl.next.data, 8);
    }
    /* An added channel by index and the name it had: one removed or moved
     * meanwhile is refused, and the frame waits until the window's
     * refresh has found where its channel went (or that it is gone). */
    int to = target_of(pl.next.chan);
    int r;
    if (to <= 0) {
        r = nb_send_fd_frame_any_thread(&z);
    } else {
        pl_map_entry *e = entry_of(pl.next.chan);
        if (!on_thread())
            resolve(*e);
        if (pl_map_target(*e) != to)
            return 0;   /* moved or gone: wanted() decides again */
        r = nb_chan_send_any_thread(to, e->to_name, &z);
        if (r == ZK_E_NOCHAN) {
            s_retry = 1;
            return 0;
        }
    }
    if (r >= 0) {
        pl.sent++;
        pl.have_sent = 1;
        pl.last_sent_ns = pl.next.t_ns;
        pl.pass_bus_us += bus_us_of(pl.next);
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
    pl_guard g;
    pl.timer = 0;
    pl_service(pl_now());
    return FALSE;
}

void *run(void *)
{
    rt_tight_timers();
    int rt = 0;
    pthread_mutex_lock(&s_lock);
    while (!pl.quit) {
        int64_t now = g_get_monotonic_time();
        if (pl.state == PL_PLAYING && pl.wake_us <= now) {
            /* "As fast as the bus takes" sends for whole turns: never
             * ahead of the window then. */
            if (rt != (pl.speed > 0)) {
                rt = pl.speed > 0;
                rt_realtime(rt);
            }
            pl.wake_us = INT64_MAX;
            pl_service(now);  /* sets the next turn */
            continue;
        }
        if (pl.state != PL_PLAYING || pl.wake_us == INT64_MAX) {
            pthread_cond_wait(&s_wake, &s_lock);
        } else {
            /* g_get_monotonic_time is CLOCK_MONOTONIC in microseconds. */
            struct timespec at;
            at.tv_sec = (time_t)(pl.wake_us / 1000000);
            at.tv_nsec = (long)(pl.wake_us % 1000000) * 1000;
            pthread_cond_timedwait(&s_wake, &s_lock, &at);
        }
    }
    pthread_mutex_unlock(&s_lock);
    return nullptr;
}

/* The sending thread, started once replay needs it: with the real clock. */
bool use_thread(void)
{
    if (pl.now_us)
        return false;
    if (pl.thread_on)
        return true;
    pl.quit = 0;
    pl.wake_us = INT64_MAX;
    if (pthread_create(&s_thread, nullptr, run, nullptr) != 0)
        return false;  /* the main loop's timer sends then */
    pl.thread_on = 1;
    return true;
}

void schedule(int64_t now, int yielded)
{
    if (pl.timer)
        g_source_remove(pl.timer);
    pl.timer = 0;
    if (pl.state != PL_PLAYING || !pl.page) {
        pl.wake_us = INT64_MAX;
        return;
    }
    if (use_thread()) {
        /* A yield or a full queue: again in a millisecond, so the window
         * gets the lock meanwhile. */
        int64_t at = now + 1000;
        if (!yielded && pl.speed > 0 && pl.have_next)
            at = due_of(pl.next);
        pl.wake_us = at;
        if (!on_thread())
            pthread_cond_signal(&s_wake);
        return;
    }
    pl.wake_us = INT64_MAX;   /* the thread, if any, leaves it to the timer */
    guint ms = 1;
    if (!yielded && pl.speed > 0 && pl.have_next) {
        int64_t wait = due_of(pl.next) - now - PL_EARLY_US;
        ms = wait <= 0 ? 0 : (guint)(wait / 1000);
    }
    /* Above the host's timers, so a due frame is not kept waiting; never
     * ready before its time, so it does not starve them either. */
    pl.timer = g_timeout_add_full(G_PRIORITY_HIGH, ms, on_timer, nullptr, nullptr);
}

/* The next frame to send is still being looked for. */
void after_found(void);

gboolean on_pending(gpointer)
{
    pl_guard g;
    if (!pl.pending || pl.state == PL_PLAYING) {  /* done, or pl_service reads on */
        pl.pending_timer = 0;
        return FALSE;
    }
    if (fetch() == 3)
        return TRUE;
    pl.pending_timer = 0;
    after_found();
    return FALSE;
}

/* Looks for the next frame to send; when that takes longer than a turn,
 * it goes on in the turns that follow and the page says so. */
void find_next(void)
{
    if (fetch() != 3 || pl.pending_timer)
        return;
    pl.pending_timer = g_timeout_add(1, on_pending, nullptr);
    char text[PL_TEXT_MAX * 2];
    g_snprintf(text, sizeof text, _("Looking for a frame to send in %s..."), pl.open_path);
    pl_set_message(text);
}

void after_found(void)
{
    pl.paused_file_ns = pl.have_next ? pl.next.t_ns : 0;
    pl.message[0] = '\0';
    if (!pl.have_next) {
        char text[PL_TEXT_MAX * 2];
        g_snprintf(text, sizeof text,
                   _("%s holds no frame to send (with this filter and direction)."), pl.path);
        pl_set_message(text);
        pl.play_when_found = 0;
    }
    if (pl.play_when_found) {
        pl.play_when_found = 0;
        pl_play();
    }
    pl_page_refresh();
}

}  // namespace

int64_t pl_now(void)
{
    return pl.now_us ? pl.now_us() : g_get_monotonic_time();
}

void pl_lock(void)
{
    pthread_once(&s_once, init_lock);
    pthread_mutex_lock(&s_lock);
}

void pl_unlock(void)
{
    pthread_mutex_unlock(&s_lock);
}

void pl_thread_stop(void)
{
    if (!pl.thread_on)
        return;
    pl_lock();
    pl.quit = 1;
    pthread_cond_signal(&s_wake);
    pl_unlock();
    pthread_join(s_thread, nullptr);
    pl.thread_on = 0;
}

void pl_chan_refresh(void)
{
    pl_guard g;
    int n = nb_chan_count();
    pl.nchan = n < 1 ? 1 : n > PL_CHANS ? PL_CHANS : n;
    nb_chan_status st;
    for (int i = 0; i < pl.nchan; i++)
        chan_status_of(i, &st);
    /* Channels the scan found ahead of the replay, in the file's order. */
    int nc = s_scan_nchan.load(std::memory_order_acquire);
    for (int i = 0; i < nc; i++)
        map_entry(s_scan_chan[i].load(std::memory_order_relaxed));
    for (int i = 0; i < pl.nmap; i++)
        resolve(pl.map[i]);
}

int pl_map_target(const pl_map_entry &e)
{
    return e.to >= 0 && e.to < pl.nchan ? e.to : PL_TO_NONE;
}

void pl_map_choose(uint16_t file_chan, int to)
{
    pl_guard g;
    if (to < PL_TO_NONE || to >= PL_CHANS)
        to = PL_TO_NONE;
    int i = 0;
    while (i < pl.nchoice && pl.choice[i].file_chan != file_chan)
        i++;
    if (i == pl.nchoice) {
        if (pl.nchoice >= PL_MAP_MAX)
            return;
        pl.nchoice++;
    }
    pl.choice[i].file_chan = file_chan;
    pl.choice[i].to = (int16_t)to;
    for (int k = 0; k < pl.nmap; k++)
        if (pl.map[k].file_chan == file_chan) {
            pl.map[k].to = (int16_t)to;
            pl.map[k].to_name[0] = '\0';
            resolve(pl.map[k]);
        }
    /* Sent by the thread or the window's timer from now on. */
    if (pl.state == PL_PLAYING)
        pl_service(pl_now());
}

void pl_map_clear(void)
{
    pl_guard g;
    pl.nmap = 0;
    pl.beyond_map = 0;
}

void pl_channels_changed(void)
{
    pl_guard g;
    pl_chan_refresh();
    if (pl.state == PL_PLAYING)
        pl_service(pl_now());
}

void pl_map_to_text(const pl_map_choice *c, int n, char *buf, size_t size)
{
    size_t at = 0;
    buf[0] = '\0';
    for (int i = 0; i < n && at < size; i++) {
        char to[16];
        if (c[i].to == PL_TO_NONE)
            g_strlcpy(to, "none", sizeof to);
        else
            g_snprintf(to, sizeof to, "%d", c[i].to);
        at += (size_t)g_snprintf(buf + at, size - at, "%s%u=%s", i ? " " : "", c[i].file_chan, to);
    }
}

int pl_map_from_text(const char *text, pl_map_choice *c, int *n)
{
    pl_map_choice got[PL_MAP_MAX];
    int k = 0;
    gchar **words = g_strsplit_set(text, " \t,", -1);
    int bad = 0;
    for (gchar **w = words; *w && !bad; w++) {
        if (!**w)
            continue;
        char *eq = strchr(*w, '=');
        char *end = nullptr;
        unsigned long from = eq ? strtoul(*w, &end, 10) : 0;
        if (!eq || end != eq || eq == *w || from > 65535 || k >= PL_MAP_MAX) {
            bad = 1;
            break;
        }
        long to = PL_TO_NONE;
        if (strcmp(eq + 1, "none") != 0) {
            to = strtol(eq + 1, &end, 10);
            if (end == eq + 1 || *end || to < 0 || to >= PL_CHANS)
                bad = 1;
        }
        got[k].file_chan = (uint16_t)from;
        got[k++].to = (int16_t)to;
    }
    g_strfreev(words);
    if (bad)
        return -1;
    memcpy(c, got, sizeof got[0] * (size_t)k);
    *n = k;
    return 0;
}

void pl_set_message(const char *text)
{
    pl_guard g;
    g_strlcpy(pl.message, text ? text : "", sizeof pl.message);
    /* The sending thread leaves the page to the window's refresh. */
    if (!on_thread())
        pl_page_refresh();
}

int pl_time_span(int64_t *first_ns, int64_t *last_ns)
{
    if (!s_span_scan)
        return 0;
    if (!s_span_any.load(std::memory_order_relaxed))
        return 0;
    cl_scan_progress p;
    cl_scan_get_progress(s_span_scan, &p);
    *first_ns = s_span_first.load(std::memory_order_relaxed);
    *last_ns = s_span_last.load(std::memory_order_relaxed);
    return p.done && !p.stats.io_err ? 2 : 1;
}

void pl_close(void)
{
    pl_guard g;
    if (pl.timer)
        g_source_remove(pl.timer);
    if (pl.pending_timer)
        g_source_remove(pl.pending_timer);
    pl.timer = pl.pending_timer = 0;
    pl.pending = pl.pending_wrapped = pl.play_when_found = 0;
    span_close();
    cl_close(pl.rd);
    pl.rd = nullptr;
    pl.open_path[0] = '\0';
    pl.have_next = 0;
    pl.state = PL_STOPPED;
}

int pl_open(void)
{
    pl_guard g;
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
    if (pl.rd)
        span_open(name);
    g_free(name);
    if (!pl.rd) {
        g_snprintf(text, sizeof text, _("Cannot open %s: %s."), pl.path, uf_strerror(err));
        pl_set_message(text);
        return -1;
    }
    /* Each read of the file is bounded, so a long stretch without a frame
     * to send never holds the window. */
    cl_set_budget(pl.rd, PL_READ_STEP);
    cl_set_fd(pl.rd, 1);
    g_strlcpy(pl.open_path, pl.path, sizeof pl.open_path);
    pl.nmap = 0;
    pl.beyond_map = 0;
    pl_chan_refresh();
    pl.sent = 0;
    pl.have_sent = 0;
    pl.fd_unsent = 0;
    pl.passes = 0;
    pl.message[0] = '\0';
    find_next();
    if (!pl.pending)
        after_found();
    return 0;
}

void pl_play(void)
{
    pl_guard g;
    if (pl.state == PL_PLAYING || pl_open() != 0)
        return;
    if (pl.pending) {
        pl.play_when_found = 1;
        return;
    }
    int64_t now = pl_now();
    if (pl.state == PL_STOPPED) {
        if (!pl.have_next) {  /* at the end: from the start again */
            cl_rewind(pl.rd);
            pl.fd_unsent = 0;
            unsent_clear();
            pl.play_when_found = 1;
            find_next();
            if (pl.pending)
                return;
            pl.play_when_found = 0;
        }
        pl.sent = 0;
        pl.have_sent = 0;
        pl.passes = 0;
        if (!pl.have_next) {
            pl_page_refresh();
            return;
        }
        anchor(now, pl.next.t_ns);
        pl.pass_start_us = now;
        pl.pass_bus_us = 0;
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
    pl_guard g;
    if (pl.state != PL_PLAYING)
        return;
    pl.paused_file_ns = file_time_at(pl_now());
    pl.state = PL_PAUSED;
    schedule(0, 0);
    pl_page_refresh();
}

void pl_stop(void)
{
    pl_guard g;
    pl.state = PL_STOPPED;
    pl.play_when_found = 0;
    schedule(0, 0);
    pl.pending = pl.pending_wrapped = 0;
    pl.have_sent = 0;
    if (pl.rd && cl_rewind(pl.rd) == 0) {
        pl.fd_unsent = 0;
        unsent_clear();
        find_next();
    }
    pl.paused_file_ns = pl.have_next ? pl.next.t_ns : 0;
    pl_page_refresh();
}

void pl_step(void)
{
    pl_guard g;
    if (pl_open() != 0)
        return;
    if (pl.state == PL_PLAYING)
        pl_pause();
    while (pl.have_next && !wanted(pl.next))
        find_next();  /* the filter or direction changed */
    if (pl.pending)
        return;  /* the page says the file is being read */
    if (!pl.have_next) {
        pl_set_message(_("The end of the file: Stop goes back to its start."));
        return;
    }
    pl.state = PL_PAUSED;
    pl.message[0] = '\0';
    if (send_next())
        find_next();
    pl.paused_file_ns = pl.have_next ? pl.next.t_ns : pl.paused_file_ns;
    pl_page_refresh();
}

void pl_set_speed(double speed)
{
    pl_guard g;
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

void pl_turn(int64_t now)
{
    pl_guard g;
    guint reading = pl.pending_timer;
    if (reading && !on_pending(nullptr))
        g_source_remove(reading);
    pl_service(now);
}

void pl_service(int64_t now)
{
    pl_guard g;
    if (pl.state != PL_PLAYING) {
        schedule(now, 0);
        return;
    }
    const int64_t began = pl_now();
    int yielded = 0, count = 0;
    s_retry = 0;
    for (;;) {
        /* A frame no longer wanted (its channel removed meanwhile) is
         * counted as the frames read past are. */
        bool skip = pl.have_next && !wanted(pl.next);
        if (skip && !pl.pending)
            count_read(pl.next);
        int rc = pl.pending || skip ? fetch() : 1;
        if (rc == 3) {
            yielded = 1;  /* a long stretch with no frame to send: on in the next turn */
            break;
        }
        if (rc == 2)
            anchor_next_pass();
        if (!pl.have_next) {
            finished();
            break;
        }
        if (!wanted(pl.next))
            continue;
        if (pl.speed > 0) {
            int64_t due = due_of(pl.next);
            if (due > now) {
                /* Close enough to wait for with the real clock; a
                 * replaced clock only moves between calls, and the
                 * sending thread sleeps to the due time itself. */
                if (pl.now_us || on_thread() || due - now > PL_EARLY_US)
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
        rc = fetch();
        if (rc == 3) {
            yielded = 1;
            break;
        }
        if (rc == 2)
            anchor_next_pass();
        if (++count >= 4096 || (!pl.now_us && pl_now() - began > PL_FAST_BUDGET_US)) {
            yielded = 1;  /* give the main loop a turn */
            break;
        }
        if (pl.speed <= 0)
            now = pl_now();
    }
    schedule(pl_now(), yielded || s_retry || (pl.state == PL_PLAYING && pl.wtouts > 0));
}
