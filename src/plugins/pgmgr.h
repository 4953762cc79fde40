/*
 * pgmgr.h - the plug-in manager: the plug-in list, its operations and the
 * Available plugins dialog.
 */
#ifndef NB_PLUGINS_PGMGR_H
#define NB_PLUGINS_PGMGR_H

#include <gtk/gtk.h>

#include "app/nb_defs.h"
#include "nimbrel/nimbrel.h"
#include "zelk.h"

struct nb_plugin {
    GtkWidget *page;              /* the page returned for PGRP_INIT, may be null */
    void *module;                 /* library handle while loaded */
    char *path;                   /* owned 1024-byte UTF-8 buffer */
    int32_t loaded;
    int32_t pending;              /* 0 none, 1 load, 2 release */
    nbpg_handler_fn handler;
    nbpg_init_fn init;
    nbpg_release_fn release;
    nbpg_load_session_fn load_session;
    nbpg_save_session_fn save_session;
    nbp_ops_table ops;
    int32_t in_request;           /* depth of requests being handled by this plug-in */
    int32_t fd_aware;             /* opted in to CAN FD: gets the FD request types */
    int32_t ever_loaded;          /* loaded at least once since it was listed */
    int32_t version;              /* the interface version it declares, while loaded */
    int32_t stream_aware;         /* opted in to the stream: gets PGRP_STREAM only */
};

struct nb_plugin_node {
    nb_plugin *entry;
    nb_plugin_node *next;
};

struct nb_pgmgr_ops {
    void            (*pgmgr_scan)(nb_pgmgr *mgr);
    void            (*pgmgr_release_all)(nb_pgmgr *mgr);
    nb_plugin      *(*pgmgr_add)(nb_pgmgr *mgr, const char *path, size_t size);
    nb_plugin_node *(*pgmgr_next)(nb_plugin_node *node, nb_pgmgr *mgr, nb_plugin **out);
    int             (*pgmgr_request)(nb_plugin *entry, pgrp *req);
    nb_plugin      *(*pgmgr_find)(nb_pgmgr *mgr, const char *path);
    int             (*pgmgr_load_path)(nb_app *app, const char *path);
    int             (*pgmgr_is_plugin)(const char *path);
    void            (*pgmgr_autoload)(nb_app *app);
    int             (*pgmgr_apply_pending)(nb_app *app);
    void            (*pgmgr_rx_frames)(nb_pgmgr *mgr, zk_frame *frames, int n);
    void            (*pgmgr_tx_frames)(nb_pgmgr *mgr, nb_tx_entry *entries, int n);
    void            (*pgmgr_errors)(nb_pgmgr *mgr, zk_errs *errs);
    void            (*pgmgr_status)(nb_pgmgr *mgr);
    /* A batch of classic and FD frames: the FD request types to FD-aware
     * plug-ins, the classic frames in the classic types to the others. */
    void            (*pgmgr_rx_fd_frames)(nb_pgmgr *mgr, zk_fdframe *frames, int n);
    void            (*pgmgr_tx_fd_frames)(nb_pgmgr *mgr, nb_tx_fd_entry *entries, int n);
    /* The stream (PGRP_STREAM) to the plug-ins that opted in, and whether
     * one is loaded. */
    void            (*pgmgr_stream)(nb_pgmgr *mgr, nb_stream_frame *recs, int n);
    int             (*pgmgr_stream_wanted)(nb_pgmgr *mgr);
    /* Channels were added or removed: PGRP_CHANNELS to the plug-ins
     * that take the stream. */
    void            (*pgmgr_channels)(nb_pgmgr *mgr);
    /* An added channel's (index >= 1) status and error counters, to the
     * plug-ins that take the stream, with pgrp.channel the index. */
    void            (*pgmgr_chan_status)(nb_pgmgr *mgr, int32_t index);
    void            (*pgmgr_chan_errors)(nb_pgmgr *mgr, int32_t index, zk_errs *errs);
};

struct nb_pgmgr {
    int32_t loadrelease;
    int32_t changes_pending;
    nb_plugin_node *head;
    int32_t count;
    uint64_t fd_hidden;           /* FD frames the loaded classic-only plug-ins did not get */
    char install_dir[NB_TEXT_MAX];
    nb_pgmgr_ops ops;
};

void pgmgr_fill_ops(nb_pgmgr_ops *ops);
int  pgmgr_load(nb_app *app, nb_plugin *entry);
int  pgmgr_release(nb_plugin *entry);
void plugins_dialog(GtkMenuItem *item, gpointer app);   /* Plugins > Configure */
/* A loaded library's __nbpg_name as the user sees it: translated in the
 * text domain it names in __nbpg_text_domain, if any. */
const char *plugin_shown_name(void *module, const char *name);

#endif /* NB_PLUGINS_PGMGR_H */
