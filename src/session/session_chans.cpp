/*
 * session_chans.cpp - opening the channels a session added, each on the
 * board it was made for.
 */
#include <glib.h>
#include <glib/gi18n.h>
#include <string.h>

#include "app/messages.h"
#include "app/nb_app.h"
#include "can/chanset.h"
#include "session/session.h"

namespace {

/* The session reader drops white space at the start of a value. */
bool id_equal(const char *recorded, const char *actual)
{
    while (*actual == ' ' || *actual == '\t')
        actual++;
    return strcmp(recorded, actual) == 0;
}

const char *shown(const char *text)
{
    return text && *text ? text : _("none");
}

}  // namespace

int32_t session_resolve_chan(nb_app *app, const nb_session_chan *c)
{
    const nb_adapter_id &a = c->adapter;
    if (!a.known || !a.board[0])
        return c->number;
    nb_board_info b;
    int32_t next = 0;
    while ((next = app->chan.ops.board_next(next, &b)) != 0) {
        bool carries = false;
        for (int slot = 0; slot < ZK_CHANNELS_PER_BOARD; slot++)
            carries = carries || b.b.chip[slot] == c->number;
        const bool same = a.serial[0] ? id_equal(a.serial, b.serial)
                                      : carries && id_equal(a.board, b.b.name);
        if (!same)
            continue;
        if (carries)
            return c->number;
        if (c->slot >= 0 && c->slot < ZK_CHANNELS_PER_BOARD && b.b.chip[c->slot] >= 0)
            return b.b.chip[c->slot];
        return -1;
    }
    return -1;
}

void session_open_channels(nb_app *app)
{
    nb_session &ses = app->session;
    GString *failed = g_string_new(nullptr);
    for (int32_t i = 0; i < ses.added_count; i++) {
        const nb_session_chan &c = ses.added[i];
        char who[NB_TEXT_MAX];
        g_snprintf(who, sizeof who, _("channel %d on %s (serial %s)"), (int)c.number,
                   shown(c.adapter.board), shown(c.adapter.serial));
        const int32_t number = session_resolve_chan(app, &c);
        int32_t rc = number < 0 ? ZK_E_NOBOARD : ZK_E_BUSY;
        if (number >= 0 && number <= UINT8_MAX && chanset_find(app, (uint8_t)number) < 0)
            rc = chanset_add(app, (uint8_t)number, &c.s, nullptr, nullptr);
        if (rc >= 0)
            continue;
        char line[NB_TEXT_MAX];
        if (rc == ZK_E_NOBOARD || rc == ZK_E_NOCHAN)
            g_snprintf(line, sizeof line, _("%s: the adapter is not there"), who);
        else if (rc == ZK_E_BUSY)
            g_snprintf(line, sizeof line, _("%s: the channel is busy"), who);
        else
            lib_error_format(line, sizeof line, who, rc);
        g_string_append_printf(failed, "\n%s", line);
    }
    ses.added_count = 0;
    if (failed->len)
        nb_message_warn("%s%s", _("These channels of the session could not be opened; the "
                                  "others are open:"),
                        failed->str);
    g_string_free(failed, TRUE);
}
