/*
 * quick.cpp - the quick-send line: one frame typed in the ID#DATA form
 * (the syntax zelkctl takes, from the same parser), sent at once, and the
 * lines sent kept as a history that the session saves.
 */
#include "sender.h"

#include <string.h>

#include "frametext.h"

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
    zk_frame f;
    if (ft_parse(text, &f, why, sizeof why) != 0) {
        g_snprintf(msg, sizeof msg, _("Quick send: not a frame: %s. Give ID#DATA, such as "
                                      "123#DEADBEEF, 18DAF110#R or 123#."),
                   why);
        sd_set_message(msg);
        return -1;
    }
    int rc = nb_send_frame(&f);
    if (rc < 0) {
        char lib[SD_TEXT_MAX];
        ZkStrError((int16_t)rc, lib, sizeof lib);
        g_snprintf(msg, sizeof msg, _("Quick send: %s was not sent: %s"), text, lib);
        sd_set_message(msg);
        return rc;
    }
    char line[FT_TEXT_MAX];
    ft_format(&f, line, sizeof line);
    sd_history_add(sd.history, &sd.history_count, line);
    sd_page_history();
    sd_set_message("");
    return rc;
}
