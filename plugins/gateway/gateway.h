/*
 * gateway.h - the gateway plug-in: rules that pass frames from one channel
 * to another (lib/cangw), a page to edit them, start and stop.
 */
#ifndef GATEWAY_H
#define GATEWAY_H

#include <glib/gi18n-lib.h>
#include <nimbrel/kit.h>

#include "cangw.h"

struct gwp_state {
    cangw gw;
    char text[CANGW_MAX_RULES][CANGW_TEXT_MAX];  /* each rule as the user gave it */
    unsigned nrules;
    int nchan;                                   /* channels the host has */

    /* The page. */
    GtkWidget *page;
    GtkListStore *rules;                         /* the table: see GWP_COL_* */
    GtkWidget *view;
    GtkWidget *start, *stop, *state, *delay, *message, *max_hops;
    GtkWidget *src, *dst, *filter, *mods, *checksum, *fd, *fd_to_classic, *hops;
    guint timer;
};

enum {
    GWP_COL_NUM, GWP_COL_SRC, GWP_COL_DST, GWP_COL_RULE, GWP_COL_HANDLED, GWP_COL_DROPPED,
    GWP_COL_DELETED, GWP_COLS
};

extern gwp_state gwp;

/* gateway.cpp */
/* Takes the rule texts into the engine: 0, or -1 with why (English). */
int gwp_apply_rules(const char **why);
/* Reads the channels' count, kind and listen-only state from the host. */
void gwp_read_channels(void);
void gwp_start(void);
void gwp_stop(void);

/* page.cpp */
GtkWidget *gwp_page_new(void);
void gwp_page_channels(void);   /* the channel lists again */
void gwp_page_rules(void);      /* the table again from gwp.text */
void gwp_page_counters(void);   /* counters, delay and state */
void gwp_page_message(const char *text);

/* edit.cpp */
/* The editor's fields as one rule text: 0, or -1 with why. */
int gwp_edit_text(char *buf, size_t size, const char **why);
/* The editor's fields from a rule text. */
void gwp_edit_show(const char *text);

#endif
