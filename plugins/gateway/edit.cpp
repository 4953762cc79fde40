/*
 * edit.cpp - the rule editor's fields to and from a rule's text (cangw's
 * options: -s, -d, -X, -y, -i, -l, -f, -m/-M, then the checksums).
 */
#include "gateway.h"

#include <stdio.h>
#include <stdlib.h>
#include <string.h>

namespace {

/* The rule reader's texts (lib/cangw, lib/e2e), for translation. */
const char *const WHY_TEXTS[] = {
    N_("E2E is P1:dataid:mode or P2:idlist, then :crcbyte:counterbit"),
    N_("E2E profile 1 or 2 only"),
    N_("FD flags are modified by FD rules only"),
    N_("a CRC8 index lies outside the frame"),
    N_("a channel index is expected"),
    N_("a checksum needs a modification"),
    N_("a modification is INSTR:ELEMENTS:id.len.data"),
    N_("a rule needs a source and a destination"),
    N_("an XOR index lies outside the frame"),
    N_("an option is expected"),
    N_("an option lacks its value"),
    N_("at most 6 hops"),
    N_("no such CRC8 profile"),
    N_("no such channel"),
    N_("profile 1 takes one byte"),
    N_("profile 2 takes 16 bytes"),
    N_("profile 3 takes no data"),
    N_("source and destination are the same channel"),
    N_("the CRC8 is from:to:result:init:final:poly"),
    N_("the CRC8 table is a polynomial byte or 256 bytes"),
    N_("the XOR checksum is from:to:result:init"),
    N_("the filter is id:mask or id~mask"),
    N_("the hop limit is 1 to 6"),
    N_("the profile is 1, 2 or 3"),
    N_("the rule is too long"),
    N_("too many rules"),
    N_("unknown option"),
    N_("more than 64 data bytes"),
    N_("the counter lies outside the frame"),
    N_("the checksum lies outside the frame"),
    N_("the profile's CRC is one whole byte"),
    N_("the profile's counter has 4 bits"),
    N_("the data ID's nibble lies outside the frame"),
};

/* Appends " word" while it fits; false once it does not. */
bool add(char *buf, size_t size, const char *a, const char *b = "")
{
    const size_t n = strlen(buf);
    const int k = snprintf(buf + n, size - n, "%s%s%s", n ? " " : "", a, b);
    return k >= 0 && n + (size_t)k < size;
}

}  // namespace

int gwp_edit_text(char *buf, size_t size, const char **why)
{
    const int src = gtk_combo_box_get_active(GTK_COMBO_BOX(gwp.src));
    const int dst = gtk_combo_box_get_active(GTK_COMBO_BOX(gwp.dst));
    if (src < 0 || dst < 0) {
        *why = _("Choose the channels.");
        return -1;
    }
    const bool fd = gtk_toggle_button_get_active(GTK_TOGGLE_BUTTON(gwp.fd));
    char head[64];
    snprintf(head, sizeof head, "-s %d -d %d%s%s%s", src, dst, fd ? " -X" : "",
             gtk_toggle_button_get_active(GTK_TOGGLE_BUTTON(gwp.fd_to_classic)) ? " -y" : "",
             src == dst ? " -i" : "");
    buf[0] = '\0';
    bool ok = add(buf, size, head);
    const int hops = gtk_spin_button_get_value_as_int(GTK_SPIN_BUTTON(gwp.hops));
    if (hops > 0) {
        char h[16];
        snprintf(h, sizeof h, "%d", hops);
        ok = ok && add(buf, size, "-l ", h);
    }
    const char *filter = gtk_entry_get_text(GTK_ENTRY(gwp.filter));
    if (filter[strspn(filter, " ")]) {
        ok = ok && add(buf, size, "-f ", filter + strspn(filter, " "));
    }
    gchar **mods = g_strsplit_set(gtk_entry_get_text(GTK_ENTRY(gwp.mods)), " \t", -1);
    for (gchar **m = mods; *m; m++)
        if (**m)
            ok = ok && add(buf, size, fd ? "-M " : "-m ", *m);
    g_strfreev(mods);
    const char *cs = gtk_entry_get_text(GTK_ENTRY(gwp.checksum));
    if (cs[strspn(cs, " ")])
        ok = ok && add(buf, size, cs + strspn(cs, " "));
    if (!ok) {
        *why = _("The rule is too long.");
        return -1;
    }
    cangw_rule r;
    const char *w = nullptr;
    if (cangw_rule_parse(buf, &r, &w) != 0) {
        /* TRANSLATORS: %s is why, in English, from the rule reader */
        static char msg[256];
        (void)WHY_TEXTS;
        snprintf(msg, sizeof msg, _("The rule cannot be used: %s."), w ? _(w) : "");
        *why = msg;
        return -1;
    }
    return 0;
}

void gwp_edit_show(const char *text)
{
    gchar **t = g_strsplit_set(text, " \t", -1);
    GString *mods = g_string_new(""), *cs = g_string_new("");
    int src = 0, dst = 0, hops = 0;
    bool fd = false, classic = false;
    const char *filter = "";
    for (gchar **p = t; *p; p++) {
        const char *o = *p;
        if (!*o)
            continue;
        const bool arg = p[1] != nullptr;
        if (!strcmp(o, "-s") && arg)
            src = atoi(*++p);
        else if (!strcmp(o, "-d") && arg)
            dst = atoi(*++p);
        else if (!strcmp(o, "-l") && arg)
            hops = atoi(*++p);
        else if (!strcmp(o, "-f") && arg)
            filter = *++p;
        else if ((!strcmp(o, "-m") || !strcmp(o, "-M")) && arg)
            g_string_append_printf(mods, "%s%s", mods->len ? " " : "", *++p);
        else if (!strcmp(o, "-X"))
            fd = true;
        else if (!strcmp(o, "-y"))
            classic = true;
        else if (strcmp(o, "-i") != 0)
            g_string_append_printf(cs, "%s%s", cs->len ? " " : "", o);
    }
    gtk_combo_box_set_active(GTK_COMBO_BOX(gwp.src), src);
    gtk_combo_box_set_active(GTK_COMBO_BOX(gwp.dst), dst);
    gtk_entry_set_text(GTK_ENTRY(gwp.filter), filter);
    gtk_entry_set_text(GTK_ENTRY(gwp.mods), mods->str);
    gtk_entry_set_text(GTK_ENTRY(gwp.checksum), cs->str);
    gtk_toggle_button_set_active(GTK_TOGGLE_BUTTON(gwp.fd), fd);
    gtk_toggle_button_set_active(GTK_TOGGLE_BUTTON(gwp.fd_to_classic), classic);
    gtk_spin_button_set_value(GTK_SPIN_BUTTON(gwp.hops), hops);
    g_string_free(mods, TRUE);
    g_string_free(cs, TRUE);
    g_strfreev(t);
}
