/*
 * gateway.cpp - the gateway plug-in: its handlers for the plug-in kit, the
 * host's stream through the rules, sending, and the session keys.
 */
#include "gateway.h"

#include <stdio.h>
#include <string.h>

gwp_state gwp;

namespace {

/* The host's request that channels were added or removed (no data). */
const int GWP_PGRP_CHANNELS = 14;

const char *const KEY_RULES = "Rules";
const char *const KEY_MAX_HOPS = "MaxHops";

int send(void *, uint16_t channel, const zk_fdframe *frame)
{
    zk_fdframe f = *frame;
    const int r = nb_chan_send(channel, &f);
    return r < 0 ? r : 0;
}

const cangw_ops ops = {send};

/* Rules read from a session, taken at its end. */
char loaded[CANGW_MAX_RULES][CANGW_TEXT_MAX];
unsigned nloaded;
int32_t loaded_hops;

void read_names(void);

GtkWidget *init(const nb_chan_status *, uint64_t)
{
    /* A plug-in loaded again may find its old state: it starts empty, the
     * session brings its rules. */
    gwp.nrules = 0;
    cangw_init(&gwp.gw, &ops, nullptr);
    gwp_read_channels();
    read_names();
    return gwp_page_new();
}

void release(void)
{
    gwp_stop();
    if (gwp.timer)
        g_source_remove(gwp.timer);
    gwp.timer = 0;
    gwp.page = nullptr;
}

void stream(const nb_stream_frame *frames, int n, uint64_t)
{
    if (!gwp.gw.running)
        return;
    for (int i = 0; i < n; i++) {
        const nb_stream_frame &s = frames[i];
        zk_fdframe f;
        f.id = s.id;
        f.flags = s.flags;
        f.len = s.len <= 64 ? s.len : 64;
        f.reserved[0] = f.reserved[1] = 0;
        f.ts = s.adapter_ts;
        memcpy(f.data, s.data, sizeof f.data);
        cangw_frame(&gwp.gw, s.channel, s.dir == NB_DIR_TX, s.time_us, &f);
    }
}

void status(const nb_chan_status *, uint64_t)
{
    gwp_read_channels();
}

/* The channels' names when last read: the host numbers channels compactly,
 * so a removed channel moves those above it down, and the rules follow
 * their channels by name. */
char names[CANGW_MAX_CHANNELS][32];
int nnames;

void read_names(void)
{
    nnames = gwp.nchan < CANGW_MAX_CHANNELS ? gwp.nchan : CANGW_MAX_CHANNELS;
    for (int c = 0; c < nnames; c++)
        if (nb_chan_get_name(c, names[c], sizeof names[c]) != 0)
            names[c][0] = '\0';
}

/* Channels added or removed: rules renumbered; a rule whose channel is gone
 * stops the gateway, so that nothing goes to a channel the user did not
 * choose. */
void channels_changed(void)
{
    char old[CANGW_MAX_CHANNELS][32];
    const int nold = nnames;
    memcpy(old, names, sizeof old);
    gwp_read_channels();
    read_names();
    int map[CANGW_MAX_CHANNELS];
    for (int o = 0; o < nold; o++) {
        map[o] = -1;
        for (int c = 0; c < nnames; c++)
            if (old[o][0] && strcmp(old[o], names[c]) == 0)
                map[o] = c;
    }
    char gone[64] = "";
    for (unsigned i = 0; i < gwp.nrules; i++)
        if (cangw_rule_renumber(gwp.text[i], CANGW_TEXT_MAX, map, (unsigned)nold) < 0 && !gone[0])
            snprintf(gone, sizeof gone, "%u", i + 1);
    if (gone[0])
        gwp_stop();
    gwp_apply_rules(nullptr);
    gwp_page_channels();
    if (gone[0]) {
        char msg[256];
        snprintf(msg, sizeof msg, _("A channel of rule %s was removed: the gateway stopped."), gone);
        gwp_page_message(msg);
    }
}

void other(pgrp *req)
{
    if (req->type == GWP_PGRP_CHANNELS)
        channels_changed();
}

void session_save(void *file)
{
    nbkit_save_int(file, KEY_MAX_HOPS, gwp.gw.max_hops);
    nbkit_save_int(file, KEY_RULES, gwp.nrules);
    for (unsigned i = 0; i < gwp.nrules; i++) {
        char name[16];
        snprintf(name, sizeof name, "Rule%u", i + 1);
        nbkit_save_text(file, name, gwp.text[i]);
    }
}

void load_begin(void)
{
    nloaded = 0;
    loaded_hops = 1;
}

void load_key(const pgrp_session_key *key)
{
    int32_t v;
    if (nbkit_key_int(key, KEY_MAX_HOPS, &v) && v >= 1 && v <= CANGW_MAX_HOPS)
        loaded_hops = v;
    unsigned k;
    char tail;
    if (sscanf(key->name, "Rule%u%c", &k, &tail) == 1 && k >= 1 && k <= CANGW_MAX_RULES) {
        g_strlcpy(loaded[k - 1], nbkit_key_value(key), CANGW_TEXT_MAX);
        if (k > nloaded)
            nloaded = k;
    }
}

/* A session's rules replace the page's; the gateway stops, and a rule it
 * cannot read is left out and named. */
void load_end(void)
{
    gwp_stop();
    gwp.gw.max_hops = (uint8_t)loaded_hops;
    unsigned n = 0;
    char bad[64] = "";
    for (unsigned i = 0; i < nloaded; i++) {
        cangw_rule r;
        if (!loaded[i][0])
            continue;
        if (cangw_rule_parse(loaded[i], &r, nullptr) != 0) {
            if (!bad[0])
                snprintf(bad, sizeof bad, "%u", i + 1);
            continue;
        }
        g_strlcpy(gwp.text[n++], loaded[i], CANGW_TEXT_MAX);
    }
    gwp.nrules = n;
    gwp_apply_rules(nullptr);
    gwp_page_rules();
    if (bad[0]) {
        char msg[256];
        snprintf(msg, sizeof msg, _("Rule %s of the session could not be read and was left out."),
                 bad);
        gwp_page_message(msg);
    }
}

const nbkit_plugin plugin = {
    .text_domain = GETTEXT_PACKAGE,
    .init = init,
    .release = release,
    .status = status,
    .session_save = session_save,
    .load_begin = load_begin,
    .load_key = load_key,
    .load_end = load_end,
    .other = other,
    .stream = stream,
};

}  // namespace

int gwp_apply_rules(const char **why)
{
    static cangw_rule rules[CANGW_MAX_RULES];
    for (unsigned i = 0; i < gwp.nrules; i++)
        if (cangw_rule_parse(gwp.text[i], &rules[i], why) != 0)
            return -1;
    return cangw_set_rules(&gwp.gw, rules, gwp.nrules, why);
}

void gwp_read_channels(void)
{
    gwp.nchan = nb_chan_count();
    for (int c = 0; c < CANGW_MAX_CHANNELS; c++) {
        nb_chan_status st;
        const int present = c < gwp.nchan && nb_chan_get_status(c, &st) == 0;
        cangw_set_channel(&gwp.gw, (unsigned)c, present, present && st.fd != NB_FD_OFF,
                          present && st.lom);
        /* The channels of a simulated board share its one bus: a frame sent
         * on one comes back received on the others. */
        nb_chan_adapter a;
        const bool sim = present && nb_chan_get_adapter(c, &a) == 0 &&
                         strcmp(a.maker, "ZELK simulation") == 0;
        cangw_set_bus(&gwp.gw, (unsigned)c, sim ? a.board_number + 1u : 0u);
    }
}

void gwp_start(void)
{
    gwp_read_channels();
    cangw_reset_counters(&gwp.gw);
    cangw_start(&gwp.gw);
    gwp_page_counters();
}

void gwp_stop(void)
{
    cangw_stop(&gwp.gw);
    gwp_page_counters();
}

NBKIT_PLUGIN_STREAM(plugin, 0x0304, "Gateway", "The Nimbrel developers",
                    "Passes frames between channels by rules, changed on the way")
