/*
 * sched.cpp - sending: one message on demand, the periodic messages
 * against absolute due times, and the one timeout for the earliest of
 * them.
 */
#include "sender.h"

#include <string.h>

namespace {

int periodic(const sd_msg &m)
{
    return m.enabled && !m.paused && m.period_ms > 0;
}

gboolean on_due(gpointer)
{
    sd.timer = 0;
    sd_service(sd_now());
    return FALSE;
}

}  // namespace

int64_t sd_now(void)
{
    return sd.now_us ? sd.now_us() : g_get_monotonic_time();
}

int sd_send(int index, int is_periodic)
{
    if (index < 0 || index >= sd.count)
        return ZK_E_BADARG;
    sd_msg &m = sd.msgs[index];
    /* A classic message goes out as it always did; an FD one needs the
     * channel opened for CAN FD, else the library's refusal says so. */
    zk_fdframe f;
    e2e_state next;
    sd_final_frame(&m, &f, &next);
    int r;
    if (m.fd) {
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
    m.dirty = 1;
    char id[16];
    sd_format_id(&m, id, sizeof id);
    if (r >= 0) {
        m.prot_state = next;   /* the counter moves on with each frame sent */
        m.sent++;
        m.fails = 0;
        m.reason[0] = '\0';
        return r;
    }
    char why[SD_TEXT_MAX];
    if (ZkStrError((int16_t)r, why, sizeof why) < 0 || !why[0])
        g_snprintf(why, sizeof why, _("error %d"), r);
    m.fails++;
    char text[sizeof sd.message];
    if (is_periodic && m.fails >= SD_FAILS_TO_PAUSE) {
        m.paused = 1;
        g_snprintf(m.reason, sizeof m.reason, _("Paused: %s"), why);
        g_snprintf(text, sizeof text,
                   _("Message %s paused after %d failed sends in a row: %s. Enable it again "
                     "to resume."),
                   id, m.fails, why);
    } else {
        g_snprintf(m.reason, sizeof m.reason, _("Refused: %s"), why);
        g_snprintf(text, sizeof text, _("Message %s was not sent: %s."), id, why);
    }
    sd_set_message(text);
    return r;
}

void sd_service(int64_t now)
{
    if (sd.running) {
        for (int i = 0; i < sd.count; i++) {
            sd_msg &m = sd.msgs[i];
            if (!periodic(m) || m.next_due_us > now)
                continue;
            sd_send(i, 1);
            /* The next slot of the message's own grid; slots missed while
             * the program could not run are skipped, not sent in a burst. */
            int64_t period = (int64_t)m.period_ms * 1000;
            m.next_due_us += period;
            if (m.next_due_us <= now)
                m.next_due_us += ((now - m.next_due_us) / period + 1) * period;
        }
    }
    sd_reschedule();
}

void sd_reschedule(void)
{
    if (sd.timer)
        g_source_remove(sd.timer);
    sd.timer = 0;
    if (!sd.running || !sd.page)
        return;
    int64_t first = INT64_MAX;
    for (int i = 0; i < sd.count; i++) {
        if (periodic(sd.msgs[i]) && sd.msgs[i].next_due_us < first)
            first = sd.msgs[i].next_due_us;
    }
    if (first == INT64_MAX)
        return;
    int64_t wait_us = first - sd_now();
    guint ms = wait_us <= 0 ? 0 : (guint)((wait_us + 999) / 1000);
    sd.timer = g_timeout_add_full(G_PRIORITY_DEFAULT, ms, on_due, nullptr, nullptr);
}

void sd_rearm(int index)
{
    sd_msg &m = sd.msgs[index];
    m.next_due_us = sd_now();
    if (sd.running)
        sd_service(sd_now());
}

void sd_start_all(void)
{
    sd.running = 1;
    int64_t now = sd_now();
    for (int i = 0; i < sd.count; i++) {
        sd.msgs[i].paused = 0;
        sd.msgs[i].fails = 0;
        sd.msgs[i].next_due_us = now;
        sd.msgs[i].dirty = 1;
    }
    sd_service(now);
}

void sd_stop_all(void)
{
    sd.running = 0;
    sd_reschedule();
}

/* Test and automation hooks: replace the clock (null: the monotonic
 * clock), and service the due messages at the clock's time now. */
extern "C" {
NBPG_EXPORT void sender_set_clock(int64_t (*now_us)(void));
NBPG_EXPORT void sender_service(void);
}

void sender_set_clock(int64_t (*now_us)(void))
{
    sd.now_us = now_us;
}

void sender_service(void)
{
    sd_service(sd_now());
    sd_page_refresh();
}
