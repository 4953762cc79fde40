/*
 * quick.cpp - the quick-send line: one frame typed in the ID#DATA form,
 * or ID##FDATA for CAN FD (the syntax zelkctl takes, from the same
 * parser), sent at once, and the lines sent kept as a history that the
 * session saves.
 */
#include "sender.h"

#include <string.h>

#include "frametext.h"

static_assert(SD_QUICK_MAX >= FT_FD_TEXT_MAX, "a history line holds any frame ft_format_fd writes");

void sd_history_add(char (*history)[SD_QUICK_MAX], int *count, const char *line)
{
    int n = *count;
    int at = n;
    for (int i = 0; i < n; i++)
        if (strcmp(history[i], line) == 0)
            at = i;
    if (at == n && n < SD_HISTORY_MAX)
        n++;
    if (at >= SD_HISTORY_MAX)
        at = SD_HISTORY_MAX - 1;   /* the oldest falls out */
    memmove(history[1], history[0], sizeof history[0] * (size_t)at);
    g_strlcpy(history[0], line, sizeof history[0]);
    *count = n;
}

int sd_quick_send(const char *text)
{
    char why[128], msg[SD_TEXT_MAX * 2];
    zk_fdframe f;
    int pad = ft_parse_fd(text, &f, why, sizeof why);
    if (pad < 0) {
        g_snprintf(msg, sizeof msg, _("Quick send: not a frame: %s. Give ID#DATA, such as "
                                      "123#DEADBEEF, 18DAF110#R or 123#, or ID##FDATA for CAN "
                                      "FD, such as 123##1DEADBEEF."),
                   why);
        sd_set_message(msg);
        return -1;
    }
    int rc;
    if (sd.quick_chan != 0) {
        rc = nb_chan_send(sd.quick_chan, &f);   /* an added channel, chosen beside the line */
    } else if (f.flags & ZK_FRAME_FDF) {
        rc = nb_send_fd_frame(&f);
    } else {
        /* Classic frames go out as they always did. */
        zk_frame c;
        ft_parse(text, &c, nullptr, 0);
        rc = nb_send_frame(&c);
    }
    if (rc < 0) {
        char lib[SD_TEXT_MAX];
        ZkStrError((int16_t)rc, lib, sizeof lib);
        g_snprintf(msg, sizeof msg, _("Quick send: %s was not sent: %s"), text, lib);
        sd_set_message(msg);
        return rc;
    }
    char line[SD_QUICK_MAX];
    ft_format_fd(&f, line, sizeof line);
    sd_history_add(sd.history, &sd.history_count, line);
    sd_page_history();
    if (pad > 0) {
        /* The frame went out longer than typed: say so. */
        g_snprintf(msg, sizeof msg,
                   _("Quick send: %d data bytes typed, sent as the CAN FD length %d with %d "
                     "zero bytes added."),
                   (int)f.len - pad, (int)f.len, pad);
        sd_set_message(msg);
    } else {
        sd_set_message("");
    }
    return rc;
}
