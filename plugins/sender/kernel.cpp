/*
 * kernel.cpp - periodic messages handed to the adapter's own timer (on
 * SocketCAN the kernel's broadcast manager, ZkCyclicSet), where the cycle
 * is exact. A message qualifies when its frames repeat: fixed bytes, or a
 * counter that comes round within ZK_CYCLIC_FRAMES frames, the frames of
 * one round (checksums written) handed over as a sequence. Everything
 * else, and every adapter without it, stays with the sending thread.
 *
 * The jobs are reconciled with the list on the window's thread: after each
 * change and on the page's refresh. A message being handed over is marked
 * (kernel) under the lock first, so the thread never sends it as well.
 */
#include "sender.h"

#include <string.h>

namespace {

/* A message the adapter sends: what it was given, to see changes. */
struct kjob {
    int used;
    uint32_t uid;
    uint8_t chan;
    uint32_t id;
    uint8_t flags;                 /* ZK_FRAME_EFF, ZK_FRAME_FDF: the job's name */
    sd_msg snap;                   /* the message as handed over (bytes, counter, period) */
    uint16_t n;                    /* frames in a round */
    uint64_t sent_base;            /* the message's count before the job */
    uint32_t sent;                 /* the job's own count */
};

kjob s_jobs[ZK_CYCLIC_MAX];
int s_unsupported;                 /* the adapter has no timer of its own: stop asking */
zk_fdframe s_frames[ZK_CYCLIC_FRAMES];

int same_field(const e2e_field &a, const e2e_field &b)
{
    return a.start == b.start && a.length == b.length && a.motorola == b.motorola;
}

int same_prot(const e2e_config &a, const e2e_config &b)
{
    return a.kind == b.kind && same_field(a.counter, b.counter) && a.step == b.step &&
           a.wrap == b.wrap && same_field(a.check, b.check) && a.bytes == b.bytes &&
           a.data_id == b.data_id && a.p1_mode == b.p1_mode && same_field(a.nibble, b.nibble) &&
           memcmp(a.id_list, b.id_list, sizeof a.id_list) == 0;
}

uint8_t job_flags(const sd_msg &m)
{
    return (uint8_t)((m.ext ? ZK_FRAME_EFF : 0) | (m.fd ? ZK_FRAME_FDF : 0));
}

/* The frames of one round from the message's counter on, into s_frames:
 * their number, or -1 when the counter does not come round in time. */
int round_of(const sd_msg &m)
{
    sd_msg t = m;
    e2e_state first = {0};
    for (int k = 0; k <= ZK_CYCLIC_FRAMES; k++) {
        zk_fdframe f;
        e2e_state next;
        sd_final_frame(&t, &f, &next);
        t.prot_state = next;
        if (k == 0)
            first = next;
        else if (next.counter == first.counter)
            return k;  /* frame k is frame 0 again */
        if (k < ZK_CYCLIC_FRAMES)
            s_frames[k] = f;
    }
    return -1;
}

/* The counter after `sent` frames of the job's round. */
e2e_state counter_after(const kjob &j, uint64_t sent)
{
    sd_msg t = j.snap;
    for (uint64_t k = 0; k < sent % (j.n ? j.n : 1); k++) {
        zk_fdframe f;
        sd_final_frame(&t, &f, &t.prot_state);
    }
    return t.prot_state;
}

int periodic(const sd_msg &m)
{
    return m.enabled && !m.paused && m.period_ms > 0;
}

int wanted(const sd_msg &m)
{
    return sd.running && !sd.now_us && !s_unsupported && periodic(m) && !m.fill &&
           !m.kernel_refused;
}

kjob *job_of(uint32_t uid)
{
    for (kjob &j : s_jobs)
        if (j.used && j.uid == uid)
            return &j;
    return nullptr;
}

/* Another message's job has this name. */
int name_taken(const sd_msg &m)
{
    for (const kjob &j : s_jobs)
        if (j.used && j.uid != m.uid && j.id == m.id && j.flags == job_flags(m))
            return 1;
    return 0;
}

int find_msg(uint32_t uid)
{
    for (int i = 0; i < sd.count; i++)
        if (sd.msgs[i].uid == uid)
            return i;
    return -1;
}

/* Ends a job. Its message (if still listed) takes its count, and its
 * counter where the job left it; unless it goes to a new job at once
 * (again), it goes back to the thread, due now, and paused with the
 * reason when the job was lost (code < 0). Lock held. */
void hand_back(kjob &j, int code, int again)
{
    int i = find_msg(j.uid);
    if (i >= 0) {
        sd_msg &m = sd.msgs[i];
        m.sent = j.sent_base + j.sent;
        /* The counter goes on after the job's last frame. */
        if (same_prot(m.prot, j.snap.prot) && m.prot_state.counter == j.snap.prot_state.counter)
            m.prot_state = counter_after(j, j.sent);
        m.dirty = 1;
        m.kernel = (uint8_t)again;
        m.next_due_us = sd_now();
        if (code < 0 && periodic(m)) {
            char id[16], why[SD_TEXT_MAX];
            sd_format_id(&m, id, sizeof id);
            if (ZkStrError((int16_t)code, why, sizeof why) < 0 || !why[0])
                g_snprintf(why, sizeof why, _("error %d"), code);
            m.paused = 1;
            g_snprintf(m.reason, sizeof m.reason, _("Paused: %s"), why);
            g_snprintf(sd.note, sizeof sd.note,
                       _("Message %s paused: the adapter stopped sending it (%s). Enable it "
                         "again to resume."),
                       id, why);
            sd.note_set = 1;
        }
    }
    j.used = 0;
}

/* The main channel's number in the adapter library, -1 when none. */
int main_channel(void)
{
    nb_chan_adapter a;
    if (nb_chan_get_adapter(0, &a) != 0)
        return -1;
    return a.number;
}

}  // namespace

void sd_kernel_sync(void)
{
    /* Jobs no longer wanted, renamed, or with a new counter or period
     * (a new round): their final count, then end. */
    for (kjob &j : s_jobs) {
        if (!j.used)
            continue;
        sd_lock();
        int i = find_msg(j.uid);
        int want = i >= 0 && wanted(sd.msgs[i]);
        int keep = want && sd.msgs[i].id == j.id && job_flags(sd.msgs[i]) == j.flags &&
                   same_prot(sd.msgs[i].prot, j.snap.prot) &&
                   sd.msgs[i].period_ms == j.snap.period_ms;
        sd_unlock();
        uint32_t sent = j.sent;
        int r = ZkCyclicSent(j.chan, j.id, j.flags, &sent);
        if (r == ZK_OK)
            j.sent = sent;
        if (keep && r == ZK_OK) {
            sd_lock();
            if (sd.msgs[i].sent != j.sent_base + sent) {
                sd.msgs[i].sent = j.sent_base + sent;
                sd.msgs[i].dirty = 1;
            }
            sd_unlock();
            continue;
        }
        /* The final count, the job's timer stopped first. */
        uint32_t final = 0;
        if (ZkCyclicStop(j.chan, j.id, j.flags, &final) == ZK_OK && r == ZK_OK)
            j.sent = final;
        /* A job the adapter ended (the controller stopped, say) is lost. */
        int lost = keep ? r : 0;
        if (lost == ZK_E_NOTSTARTED && sd.bus_off)
            lost = ZK_E_BUSOFF;
        sd_lock();
        hand_back(j, lost, want && lost == 0);
        sd_unlock();
        sd_reschedule();
    }

    /* New jobs and changed ones. */
    int chan = -1;
    for (int i = 0; i < sd.count; i++) {
        sd_lock();
        sd_msg m = sd.msgs[i];
        kjob *j = job_of(m.uid);
        int go = wanted(m) && !name_taken(m);
        if (go && j) {
            /* New bytes: the frames change, the round goes on. */
            go = memcmp(m.data, j->snap.data, sizeof m.data) != 0 || m.len != j->snap.len ||
                 m.ndata != j->snap.ndata || m.rtr != j->snap.rtr || m.brs != j->snap.brs;
            /* The round goes on from where the job started it. */
            m.prot_state = j->snap.prot_state;
        }
        if (go) {
            sd.msgs[i].kernel = 1;
        } else if (!j && sd.msgs[i].kernel) {
            /* Handed back for a new job it cannot have (its name taken). */
            sd.msgs[i].kernel = 0;
            sd.msgs[i].next_due_us = sd_now();
        }
        sd_unlock();
        if (!go) {
            if (!j && m.kernel)
                sd_reschedule();
            continue;
        }
        int n = round_of(m);
        int slot = -1;
        if (!j)
            for (int k = 0; k < ZK_CYCLIC_MAX && slot < 0; k++)
                if (!s_jobs[k].used)
                    slot = k;
        if (chan < 0)
            chan = main_channel();
        int r = n < 0 || (!j && slot < 0) || chan < 0 ? ZK_E_UNSUPPORTED
                : ZkCyclicSet((uint8_t)(j ? j->chan : chan), s_frames, (uint16_t)n,
                              m.period_ms * 1000u);
        sd_lock();
        int at = find_msg(m.uid);
        if (r == ZK_OK) {
            kjob &nj = j ? *j : s_jobs[slot];
            if (!j) {
                memset(&nj, 0, sizeof nj);
                nj.used = 1;
                nj.uid = m.uid;
                nj.chan = (uint8_t)chan;
                nj.id = m.id;
                nj.flags = job_flags(m);
                nj.sent_base = m.sent;
            }
            nj.snap = m;
            nj.n = (uint16_t)n;
        } else if (at >= 0) {
            /* The thread sends it (and reports what it meets). */
            sd.msgs[at].kernel = 0;
            sd.msgs[at].kernel_refused = 1;
            sd.msgs[at].next_due_us = sd_now();
            if (r == ZK_E_UNSUPPORTED && n >= 0 && (j || slot >= 0))
                s_unsupported = 1;
        }
        if (at >= 0)
            sd.msgs[at].dirty = 1;
        sd_unlock();
        if (r != ZK_OK)
            sd_reschedule();
    }
}

void sd_kernel_retry(void)
{
    s_unsupported = 0;
}
