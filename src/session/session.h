/*
 * session.h - the session part: its record, its operations and the
 * session menu's handlers.
 */
#ifndef NB_SESSION_SESSION_H
#define NB_SESSION_SESSION_H

#include <gtk/gtk.h>

#include "app/nb_defs.h"
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

struct nb_session {
    char desktop_dir[NB_TEXT_MAX];
    char load_file[NB_TEXT_MAX];
    char auto_file[NB_TEXT_MAX];
    int32_t load_checked;         /* load_file was picked in the Load Session
                                   * dialog and read whole there */
    nb_adapter_id adapter;        /* of the session read in this pass */
    int32_t quit_unasked;         /* 1: quit without asking what would stop */
    /* Where the user last chose a file of each kind (NB_FOLDER_*), UTF-8;
     * empty while none is known (session/folders.h). */
    char folders[NB_FOLDER_KINDS][NB_FOLDER_MAX];
    nb_session_ops ops;
};

void session_fill_ops(nb_session_ops *ops);
int  choose_session_file(nb_app *app);                   /* 1 when a file was chosen */
void on_save_session(GtkMenuItem *item, gpointer app);
void on_load_session(GtkMenuItem *item, gpointer app);
void on_reset_session(GtkMenuItem *item, gpointer app);
void quit_main_loop(GtkWidget *widget, gpointer app);    /* window "destroy" */
void on_quit(GtkMenuItem *item, gpointer app);            /* Quit item: asks first */

#endif /* NB_SESSION_SESSION_H */
