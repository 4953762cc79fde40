/*
 * nb_app.h - the application object and what it composes.
 *
 * All state lives in one statically allocated nb_app (the_app). It embeds
 * its parts by value: the GUI part (gui/gui.h), the channel (can/chan.h),
 * the poller (can/poll.h), the plug-in manager (plugins/pgmgr.h) and the
 * session part (session/session.h). Each part carries a table of operations
 * that app_init fills once; parts reach one another only through those
 * slots, with nb_app or the part itself as first argument.
 */
#ifndef NB_APP_H
#define NB_APP_H

#include <stdint.h>

#include "app/nb_defs.h"
#include "can/chan.h"
#include "can/chanset.h"
#include "can/poll.h"
#include "gui/gui.h"
#include "plugins/pgmgr.h"
#include "session/session.h"

/* ------------------------------------------------------------ time line */

/* The one origin of every relative time in the program (time_origin.cpp). */
struct nb_time {
    uint8_t from_start;           /* the user's choice: 1 from the controller's
                                   * first start in the pass, 0 from the pass's
                                   * start (session key TimeOrigin) */
    uint8_t started;              /* the controller has started in this pass */
    uint64_t origin;              /* timestamp of the origin in force */
};

/* ---------------------------------------------------------- application */

/* Exit codes of the program: a normal end, a cancelled chooser or an
 * unreadable session file of a restart pass; a failed library start, no
 * channel, or a channel that cannot be opened. */
#define NB_EXIT_OK 0
#define NB_EXIT_FAIL 1

struct nb_app_ops {
    int32_t (*setup)(nb_app *app);        /* 0, or the library's code (end_text says) */
    void (*teardown)(nb_app *app);
    void (*state_changed)(nb_app *app, int autosave);
    int  (*run)(nb_app *app);             /* the exit code */
    void (*channels_changed)(nb_app *app); /* after a channel was added or removed */
};

struct nb_app {
    int32_t mode;                 /* 1: the next pass loads nb_session.load_file */
    nb_gui gui;
    nb_chan chan;                 /* the main channel */
    nb_chanset chans;             /* every channel: [0] is chan */
    nb_poll poll;
    nb_pgmgr pgmgr;
    nb_session session;
    nb_time time;
    char install_dir[NB_TEXT_MAX];
    char locale_dir[NB_TEXT_MAX];
    char end_text[NB_TEXT_MAX];   /* message main shows before a fatal end; empty: none */
    nb_app_ops ops;
};

/* The one application object. */
extern nb_app the_app;

/* ------------------------------------------------------------ src/app */
int  app_init(void);
void close_at_exit(void);
/* Records the message of a fatal end, shown by main once run returned. */
void app_end_text(nb_app *app, const char *text);

/* The time line (time_origin.cpp): a new origin at the start of every
 * pass; the controller's first start in the pass, which may move it. */
void time_origin_pass_begin(nb_app *app);
void time_origin_controller_started(nb_app *app);

#endif /* NB_APP_H */
