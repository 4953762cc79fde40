/*
 * sched.cpp - sending: one message on demand, and the periodic messages
 * by a thread of their own against absolute due times, so that the cycle
 * holds whatever the window does.
 */
#include "sender.h"

#include <pthread.h>
#include <string.h>
#include <time.h>

#include "rtthread.h"

namespace {

pthread_mutex_t s_lock;            /* priority inheritance: the window never holds up the thread */
pthread_cond_t s_wake;             /* on the monotonic clock */
pthread_once_t s_once = PTHREAD_ONCE_INIT;
pthread_t s_thread;

void init_wake(void)
{
    rt_init_lock(&s_lock, &s_wake, 0);
}

/* One frame taken for sending, and what came of it. */
struct due_frame {
    uint32_t uid;
    int result;
    uint16_t chan;                 /* the channel index it goes out on */
    uint8_t moved;                 /* its added channel was refused by name: not counted */
    char name[sizeof sd.chan_names[0]];  /* that channel's name as last seen; empty: none */
    zk_fdframe f;
    e2e_state next;                /* the counter after this frame, kept if it went out */
};

/* Sent by this thread: periodic, and not by the adapter's timer. */
int periodic(const sd_msg &m)
{
    return m.enabled && !m.paused && m.period_ms > 0 && !m.kernel;
}

/* The frame of a message as it goes out now, counter and checksum
 * written; lock held. */
int make_frame(sd_msg &m, zk_fdframe *f, e2e_state *next)
{
    sd_final_frame(&m, f, next);
    return m.fill ? m.fill(m.fill_data, f) : 0;
}

int find_uid(uint32_t uid)
{
    for (int i = 0; i < sd.count; i++)
        if (sd.msgs[i].uid == uid)
            return i;
    return -1;
}

/* Counts a send's result into its message (if it is still in the list);
 * a failure's text goes to sd.note for the window. Lock held. */
void record(uint32_t uid, int r, int is_periodic, const e2e_state *next)
{
    int i = find_uid(uid);
    if (i < 0)
        return;
    sd_msg &m = sd.msgs[i];
    m.dirty = 1;
    if (r >= 0) {
        m.prot_state = *next;  /* the counter moves on with each frame sent */
        m.sent++;
        m.fails = 0;
        m.reason[0] = '\0';
        return;
    }
    char id[16];
    sd_format_id(&m, id, sizeof id);
    char why[SD_TEXT_MAX];
    if (ZkStrError((int16_t)r, why, sizeof why) < 0 || !why[0])
        g_snprintf(why, sizeof why, _("error %d"), r);
    m.fails++;
    if (is_periodic && m.fails >= SD_FAILS_TO_PAUSE) {
        m.paused = 1;
        g_snprintf(m.reason, sizeof m.reason, _("Paused: %s"), why);
        g_snprintf(sd.note, sizeof sd.note,
                   _("Message %s paused after %d failed sends in a row: %s. Enable it again "
                     "to resume."),
                   id, m.fails, why);
    } else {
        g_snprintf(m.reason, sizeof m.reason, _("Refused: %s"), why);
        g_snprintf(sd.note, sizeof sd.note, _("Message %s was not sent: %s."), id, why);
    }
    sd.note_set = 1;
}

/* An added channel by index and the name it had when the frame was taken:
 * one removed, or another moved to its index, is refused and the frame
 * goes nowhere. Until the window has seen the change (PGRP_CHANNELS) such
 * a refusal is not the message's failure: its slot is skipped. */
int send_one(due_frame &d)
{
    d.moved = 0;
    if (d.chan == 0)
        return nb_send_fd_frame_any_thread(&d.f);
    if (!d.name[0])
        return ZK_E_NOCHAN;        /* gone, or a channel the window does not have */
    int r = nb_chan_send_any_thread(d.chan, d.name, &d.f);
    d.moved = r == ZK_E_NOCHAN;
    return r;
}

/* Sends every periodic message due at now, each due time advanced to the
 * message's next slot. Called with the lock held; it is released while
 * the frames go out, so the window never waits for the adapter. */
void pass(int64_t now, due_frame *batch, bool window)
{
    /* The thread sends every periodic message, on any channel; the window
     * only while none runs (a replaced clock). */
    if (!sd.running || (window && sd.thread_on))
        return;
    int n = 0;
    for (int i = 0; i < sd.count; i++) {
        sd_msg &m = sd.msgs[i];
        if (!periodic(m) || m.next_due_us > now)
            continue;
        batch[n].chan = m.chan;
        batch[n].name[0] = '\0';
        if (m.chan != 0 && m.chan != SD_CHAN_GONE && m.chan < sd.nchan)
            g_strlcpy(batch[n].name, sd.chan_names[m.chan], sizeof batch[n].name);
        if (make_frame(m, &batch[n].f, &batch[n].next) == 0)
            batch[n++].uid = m.uid;
        /* The next slot of the message's own grid; slots missed while
         * the sender could not run are skipped, not sent in a burst. */
        int64_t period = (int64_t)m.period_ms * 1000;
        m.next_due_us += period;
        if (m.next_due_us <= now)
            m.next_due_us += ((now - m.next_due_us) / period + 1) * period;
    }
    if (n == 0)
        return;
    pthread_mutex_unlock(&s_lock);
    for (int k = 0; k < n; k++)
        batch[k].result = send_one(batch[k]);
    pthread_mutex_lock(&s_lock);
    for (int k = 0; k < n; k++)
        if (!batch[k].moved)
            record(batch[k].uid, batch[k].result, 1, &batch[k].next);
}

int64_t earliest(void)
{
    int64_t first = INT64_MAX;
    if (!sd.running)
        return first;
    for (int i = 0; i < sd.count; i++)
        if (periodic(sd.msgs[i]) && sd.msgs[i].next_due_us < first)
            first = sd.msgs[i].next_due_us;
    return first;
}

void *run(void *)
{
    rt_tight_timers();
    rt_realtime(1);
    static due_frame batch[SD_MAX_MSGS];  /* this thread's only */
    pthread_mutex_lock(&s_lock);
    while (!sd.quit) {
        pass(g_get_monotonic_time(), batch, false);
        if (sd.quit)
            break;
        int64_t next = earliest();
        if (next <= g_get_monotonic_time())
            continue;
        if (next == INT64_MAX) {
            pthread_cond_wait(&s_wake, &s_lock);
        } else {
            /* g_get_monotonic_time is CLOCK_MONOTONIC in microseconds. */
            struct timespec at;
            at.tv_sec = (time_t)(next / 1000000);
            at.tv_nsec = (long)(next % 1000000) * 1000;
            pthread_cond_timedwait(&s_wake, &s_lock, &at);
        }
    }
    pthread_mutex_unlock(&s_lock);
    return nullptr;
}

void start_thread(void)
{
    if (sd.thread_on || sd.now_us)
        return;
    sd.quit = 0;
    int e = pthread_create(&s_thread, nullptr, run, nullptr);
    if (e != 0) {
        char text[SD_TEXT_MAX];
        g_snprintf(text, sizeof text, _("Periodic sending could not start: %s."),
                   g_strerror(e));
        sd_lock();
        sd.running = 0;
        sd_unlock();
        sd_set_message(text);
        return;
    }
    sd.thread_on = 1;
}

void stop_thread(void)
{
    if (!sd.thread_on)
        return;
    sd_lock();
    sd.quit = 1;
    pthread_cond_signal(&s_wake);
    sd_unlock();
    pthread_join(s_thread, nullptr);
    sd.thread_on = 0;
}

}  // namespace

void sd_count_lost(const nb_stream_frame *recs, int n)
{
    bool locked = false;
    for (int k = 0; k < n; k++) {
        const nb_stream_frame &r = recs[k];
        if (r.dir != NB_DIR_TX_LOST)
            continue;
        if (!locked) {
            sd_lock();
            locked = true;
        }
        const uint8_t ext = (r.flags & ZK_FRAME_EFF) != 0, fd = (r.flags & ZK_FRAME_FDF) != 0;
        for (int i = 0; i < sd.count; i++) {
            sd_msg &m = sd.msgs[i];
            if (m.chan == r.channel && m.id == r.id && m.ext == ext && m.fd == fd &&
                m.sent > m.lost) {
                m.lost++;
                m.dirty = 1;
                break;
            }
        }
    }
    if (locked)
        sd_unlock();
}

int64_t sd_now(void)
{
    return sd.now_us ? sd.now_us() : g_get_monotonic_time();
}

void sd_lock(void)
{
    pthread_once(&s_once, init_wake);
    pthread_mutex_lock(&s_lock);
}

void sd_unlock(void)
{
    pthread_mutex_unlock(&s_lock);
}

uint32_t sd_new_uid(void)
{
    return ++sd.uid_next;
}

void sd_take_note(void)
{
    char text[sizeof sd.note];
    sd_lock();
    int set = sd.note_set;
    if (set)
        memcpy(text, sd.note, sizeof text);
    sd.note_set = 0;
    sd_unlock();
    if (set)
        sd_set_message(text);
}

int sd_send(int index)
{
    if (index < 0 || index >= sd.count)
        return ZK_E_BADARG;
    zk_fdframe f;
    e2e_state next;
    sd_lock();
    sd_msg &m = sd.msgs[index];
    uint32_t uid = m.uid;
    int fd = m.fd;
    int chan = m.chan;
    int skip = make_frame(m, &f, &next);
    sd_unlock();
    if (skip < 0)
        return skip;
    /* A classic message goes out as it always did; an FD one needs the
     * channel opened for CAN FD, else the library's refusal says so. */
    int r;
    if (chan) {
        r = nb_chan_send(chan, &f);
    } else if (fd) {
        r = nb_send_fd_frame(&f);
    } else {
        zk_frame c;
        memset(&c, 0, sizeof c);
        c.id = f.id;
        c.flags = f.flags;
        c.len = f.len;
        memcpy(c.data, f.data, sizeof c.data);
        r = nb_send_frame(&c);
    }
    sd_lock();
    record(uid, r, 0, &next);
    sd_unlock();
    sd_take_note();
    return r;
}

void sd_service(int64_t now)
{
    static due_frame batch[SD_MAX_MSGS];  /* the window's thread only */
    sd_lock();
    pass(now, batch, true);
    sd_unlock();
    sd_take_note();
}

void sd_reschedule(void)
{
    sd_lock();
    pthread_cond_signal(&s_wake);
    sd_unlock();
}

void sd_rearm(int index)
{
    sd_lock();
    sd.msgs[index].kernel_refused = 0;
    sd_unlock();
    /* First to the adapter's timer, so the thread does not send it too. */
    sd_kernel_sync();
    int64_t now = sd_now();
    sd_lock();
    sd.msgs[index].next_due_us = now;
    pthread_cond_signal(&s_wake);
    sd_unlock();
    if (sd.running && sd.now_us)
        sd_service(now);
}

void sd_start_all(void)
{
    int64_t now = sd_now();
    sd_lock();
    sd.running = 1;
    for (int i = 0; i < sd.count; i++) {
        sd.msgs[i].paused = 0;
        sd.msgs[i].fails = 0;
        sd.msgs[i].next_due_us = now;
        sd.msgs[i].dirty = 1;
        sd.msgs[i].kernel_refused = 0;
    }
    sd_unlock();
    if (sd.now_us) {
        sd_service(now);
    } else {
        sd_kernel_retry();
        sd_kernel_sync();
        start_thread();
    }
}

void sd_stop_all(void)
{
    sd_lock();
    sd.running = 0;
    sd_unlock();
    stop_thread();
    sd_kernel_sync();
}

/* Test and automation hooks: replace the clock (null: the monotonic
 * clock; a replaced clock stops the sending thread), and send the due
 * messages at the clock's time now. */
extern "C" {
NBPG_EXPORT void sender_set_clock(int64_t (*now_us)(void));
NBPG_EXPORT void sender_service(void);
}

void sender_set_clock(int64_t (*now_us)(void))
{
    if (now_us)
        stop_thread();
    sd.now_us = now_us;
    if (!now_us && sd.running)
        start_thread();
}

void sender_service(void)
{
    sd_service(sd_now());
    sd_page_refresh();
}
