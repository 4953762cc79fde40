/*
 * edit.cpp - changes of the message list. Every edit is checked on a copy
 * of the message; a refused one leaves the message as it was and says
 * why in the page.
 */
#include "sender.h"

#include <string.h>

int sd_add(void)
{
    if (sd.count >= SD_MAX_MSGS) {
        char text[SD_TEXT_MAX];
        g_snprintf(text, sizeof text, _("The list holds at most %d messages."), SD_MAX_MSGS);
        sd_set_message(text);
        return -1;
    }
    sd_msg m;
    memset(&m, 0, sizeof m);
    /* No data yet: the length follows what is typed. */
    m.id = 0x100;
    m.dirty = 1;
    sd_lock();
    m.uid = sd_new_uid();
    sd.msgs[sd.count] = m;
    sd.count++;
    sd_unlock();
    sd_page_rebuild();
    return sd.count - 1;
}

void sd_remove(int index)
{
    if (index < 0 || index >= sd.count)
        return;
    sd_db_forget(index);
    sd_lock();
    memmove(&sd.msgs[index], &sd.msgs[index + 1],
            sizeof(sd_msg) * (size_t)(sd.count - index - 1));
    sd.count--;
    sd_unlock();
    sd_page_rebuild();
    sd_reschedule();
}

namespace {

/* The message as it stands, the sending thread's counts included. */
sd_msg current(int index)
{
    sd_lock();
    sd_msg v = sd.msgs[index];
    sd_unlock();
    return v;
}

/* Stores the edited fields of v; the send count and, unless resumed,
 * the failures stay as the sending thread left them meanwhile. */
int apply(int index, sd_msg v, int timing_changed, int resumed = 0)
{
    char err[SD_TEXT_MAX];
    if (sd_check(&v, err, sizeof err) != 0) {
        sd_set_message(err);
        return -1;
    }
    sd_lock();
    sd_msg &cur = sd.msgs[index];
    v.sent = cur.sent;
    v.lost = cur.lost;
    v.next_due_us = cur.next_due_us;
    if (!resumed) {
        v.fails = cur.fails;
        v.paused = cur.paused;
        memcpy(v.reason, cur.reason, sizeof v.reason);
    }
    cur = v;
    cur.dirty = 1;
    sd_unlock();
    sd_set_message("");
    if (timing_changed)
        sd_rearm(index);
    sd_page_refresh();
    return 0;
}

}  // namespace

int sd_edit(int index, int column, const char *text)
{
    if (index < 0 || index >= sd.count)
        return -1;
    sd_msg v = current(index);
    char err[SD_TEXT_MAX];
    int ok = -1;
    switch (column) {
    case SD_COL_ID:
        ok = sd_parse_id(text, v.ext, &v.id, err, sizeof err);
        break;
    case SD_COL_LEN:
        /* An empty length follows the data again. */
        if (!text || text[strspn(text, " \t")] == '\0') {
            v.len_set = 0;
            if (!v.rtr)
                v.len = sd_len_for(v.fd, v.ndata);
            ok = 0;
        } else {
            ok = sd_parse_len(text, v.fd, &v.len, err, sizeof err);
            v.len_set = 1;
        }
        break;
    case SD_COL_DATA:
        ok = sd_parse_data(text, v.fd, v.data, &v.ndata, err, sizeof err);
        if (ok == 0 && !v.len_set && !v.rtr)
            v.len = sd_len_for(v.fd, v.ndata);
        break;
    case SD_COL_PERIOD:
        ok = sd_parse_period(text, &v.period_ms, err, sizeof err);
        break;
    case SD_COL_CHAN: {
        int chan = text ? sd_chan_parse(text) : -1;
        if (chan < 0)
            g_snprintf(err, sizeof err, _("\"%s\" names no channel of the window."), text ? text : "");
        else
            v.chan = (uint16_t)chan;
        ok = chan < 0 ? -1 : 0;
        break;
    }
    default:
        return -1;
    }
    if (ok != 0) {
        sd_set_message(err);
        return -1;
    }
    return apply(index, v, column == SD_COL_PERIOD || column == SD_COL_CHAN);
}

int sd_toggle(int index, int column)
{
    if (index < 0 || index >= sd.count)
        return -1;
    sd_msg v = current(index);
    switch (column) {
    case SD_COL_EXT:
        v.ext = !v.ext;
        break;
    case SD_COL_RTR:
        v.rtr = !v.rtr;
        if (!v.rtr && !v.len_set)
            v.len = v.ndata;
        break;
    case SD_COL_FD:
        /* Clearing FD clears BRS with it; a length that followed the data
         * follows the new kind's lengths. */
        v.fd = !v.fd;
        if (!v.fd)
            v.brs = 0;
        if (!v.len_set && !v.rtr)
            v.len = sd_len_for(v.fd, v.ndata);
        break;
    case SD_COL_BRS:
        v.brs = !v.brs;
        break;
    case SD_COL_ENABLED:
        /* A paused message shows its box clear: ticking it resumes the
         * message, as its pause message asks. */
        v.enabled = v.paused ? 1 : !v.enabled;
        v.paused = 0;
        v.fails = 0;
        v.reason[0] = '\0';
        break;
    default:
        return -1;
    }
    return apply(index, v, column == SD_COL_ENABLED, column == SD_COL_ENABLED);
}
