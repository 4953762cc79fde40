/*
 * session.h - the session part: its record, its operations and the
 * session menu's handlers.
 */
#ifndef NB_SESSION_SESSION_H
#define NB_SESSION_SESSION_H

#include <gtk/gtk.h>

#include "app/nb_defs.h"
#include "can/chanset.h"
#include "nimbrel/nimbrel.h"

struct nb_session_ops {
    void    (*make_paths)(nb_session *ses, uint8_t chan);
    int32_t (*save)(nb_app *app, const char *path);
    int32_t (*autosave)(nb_app *app);
    int32_t (*load)(nb_app *app, const char *path);
    int32_t (*load_auto)(nb_app *app);
    int32_t (*reload_plugin_settings)(nb_app *app);
    /* Before the user's release of a plug-in: keeps its keys (see
     * session_keep_released). */
    void    (*keep_released)(nb_app *app, nb_plugin *entry);
};

/* The adapter a session's channel settings were made for, as the session
 * read last recorded it (its Board, Maker and Serial keys). */
struct nb_adapter_id {
    int32_t known;                /* 0: the session named no adapter */
    char board[64];               /* the board's name (its kind and device) */
    char maker[64];
    char serial[256];             /* empty: the board has none */
};

/* One channel as a session keeps it: the library's number, the settings
 * as a value and the adapter it was made for. slot is the channel's place
 * on its board (-1: not known), for a board whose channels moved. */
struct nb_session_chan {
    uint8_t number;
    int32_t slot;
    nb_chan_settings s;
    nb_adapter_id adapter;
};

struct nb_session {
    char desktop_dir[NB_TEXT_MAX];
    char load_file[NB_TEXT_MAX];
    char auto_file[NB_TEXT_MAX];
    int32_t load_checked;         /* load_file was picked in the Load Session
                                   * dialog and read whole there */
    nb_adapter_id adapter;        /* of the session read in this pass */
    /* The main channel's settings of the session read last (main_read 1
     * until the pass took them). While defer_settings is 1 (a pass with
     * its channel open) the reader leaves the channel record alone and the
     * pass applies the value once; otherwise the value is also the
     * record's, the settings the channel will be opened with. */
    nb_session_chan main;
    int32_t main_read;
    int32_t defer_settings;
    int32_t set_settling;         /* 1 while a pass opens or closes its
                                   * channels: no autosave for each */
    /* The channels the session added after the main one, in index order. */
    nb_session_chan added[NB_CHAN_MAX - 1];
    int32_t added_count;
    int32_t quit_unasked;         /* 1: quit without asking what would stop */
    /* Where the user last chose a file of each kind (NB_FOLDER_*), UTF-8;
     * empty while none is known (session/folders.h). */
    char folders[NB_FOLDER_KINDS][NB_FOLDER_MAX];
    nb_session_ops ops;
};

void session_fill_ops(nb_session_ops *ops);
/* Opens the channels the session read last added (nb_session.added), each
 * on the board it was made for, after the main channel; one message names
 * those whose adapter is missing or busy. */
void session_open_channels(nb_app *app);
/* The library's channel number of a session's channel on the boards there
 * are now: its board found by serial (without one, the board with the
 * same name that carries the number), then the same number on it or the
 * channel in the same slot. -1 when that board or channel is not there. */
int32_t session_resolve_chan(nb_app *app, const nb_session_chan *c);
int  choose_session_file(nb_app *app);                   /* 1 when a file was chosen */
void on_save_session(GtkMenuItem *item, gpointer app);
void on_load_session(GtkMenuItem *item, gpointer app);
void on_reset_session(GtkMenuItem *item, gpointer app);
void quit_main_loop(GtkWidget *widget, gpointer app);    /* window "destroy" */
void on_quit(GtkMenuItem *item, gpointer app);            /* Quit item: asks first */

#endif /* NB_SESSION_SESSION_H */
