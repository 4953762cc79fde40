/*
 * Placeholders for the parts of the host that are not built yet. Each is a
 * weak definition: the real one, where it exists, replaces it at link
 * time. A placeholder does nothing and reports failure where it has a
 * result.
 */
#include "app/nb_app.h"

#define NB_WEAK __attribute__((weak))

namespace {
void ph_void_app(nb_app *) {}
int32_t ph_fail_app(nb_app *) { return -1; }
int32_t ph_fail_app_path(nb_app *, const char *) { return -1; }
void ph_make_paths(nb_session *, uint8_t) {}
GtkWidget *ph_panel(const char *title) { return gtk_frame_new(title); }
GtkWidget *ph_controls(nb_app *) { return ph_panel("CAN controller"); }
GtkWidget *ph_errors() { return ph_panel("CAN errors"); }
GtkWidget *ph_info(nb_app *) { return ph_panel("CAN channel information"); }
void ph_indicators(const zk_errs *) {}
void ph_choose(nb_app *) { exit(0); }
void ph_pg_void(nb_pgmgr *) {}
nb_plugin *ph_pg_add(nb_pgmgr *, const char *, size_t) { return nullptr; }
nb_plugin_node *ph_pg_next(nb_plugin_node *, nb_pgmgr *, nb_plugin **) { return nullptr; }
int ph_pg_request(nb_plugin *, pgrp *) { return 0; }
nb_plugin *ph_pg_find(nb_pgmgr *, const char *) { return nullptr; }
int ph_pg_load_path(nb_app *, const char *) { return -1; }
int ph_pg_is_plugin(const char *) { return 0; }
void ph_pg_autoload(nb_app *) {}
int ph_pg_apply(nb_app *) { return 0; }
void ph_pg_rx(nb_pgmgr *, zk_frame *, int) {}
void ph_pg_tx(nb_pgmgr *, nb_tx_entry *, int) {}
void ph_pg_err(nb_pgmgr *, zk_errs *) {}
}  // namespace

NB_WEAK void gui_fill_ops(nb_gui_ops *ops)
{
    ops->build_main_window = ph_void_app;
    ops->choose_channel = ph_choose;
    ops->build_controls_panel = ph_controls;
    ops->build_errors_panel = ph_errors;
    ops->update_error_indicators = ph_indicators;
    ops->stop_controller = ph_void_app;
    ops->start_controller = ph_void_app;
    ops->build_info_panel = ph_info;
    ops->refresh_info_panel = ph_void_app;
}

NB_WEAK void poll_fill_ops(nb_poll_ops *ops)
{
    ops->start = ph_void_app;
    ops->stop = ph_void_app;
}

NB_WEAK void pgmgr_fill_ops(nb_pgmgr_ops *ops)
{
    ops->pgmgr_scan = ph_pg_void;
    ops->pgmgr_release_all = ph_pg_void;
    ops->pgmgr_add = ph_pg_add;
    ops->pgmgr_next = ph_pg_next;
    ops->pgmgr_request = ph_pg_request;
    ops->pgmgr_find = ph_pg_find;
    ops->pgmgr_load_path = ph_pg_load_path;
    ops->pgmgr_is_plugin = ph_pg_is_plugin;
    ops->pgmgr_autoload = ph_pg_autoload;
    ops->pgmgr_apply_pending = ph_pg_apply;
    ops->pgmgr_rx_frames = ph_pg_rx;
    ops->pgmgr_tx_frames = ph_pg_tx;
    ops->pgmgr_errors = ph_pg_err;
    ops->pgmgr_status = ph_pg_void;
}

NB_WEAK void session_fill_ops(nb_session_ops *ops)
{
    ops->make_paths = ph_make_paths;
    ops->save = ph_fail_app_path;
    ops->autosave = ph_fail_app;
    ops->load = ph_fail_app_path;
    ops->load_auto = ph_fail_app;
    ops->reload_plugin_settings = ph_fail_app;
}

NB_WEAK int choose_session_file(nb_app *) { return 0; }
NB_WEAK void on_save_session(GtkMenuItem *, gpointer) {}
NB_WEAK void on_load_session(GtkMenuItem *, gpointer) {}
NB_WEAK void on_reset_session(GtkMenuItem *, gpointer) {}
NB_WEAK void quit_main_loop(GtkWidget *, gpointer)
{
    if (gtk_main_level() > 0)
        gtk_main_quit();
}
NB_WEAK void plugins_dialog(GtkMenuItem *, gpointer) {}
NB_WEAK void acceptance_filter_dialog(GtkMenuItem *, gpointer) {}
NB_WEAK void bit_rate_dialog(GtkMenuItem *, gpointer) {}
NB_WEAK void write_timeout_dialog(GtkMenuItem *, gpointer) {}
NB_WEAK void quick_start_dialog(GtkMenuItem *, gpointer) {}
NB_WEAK void about_dialog(GtkMenuItem *, gpointer) {}

/* Plug-in exports of parts not built yet: their failure codes. */
extern "C" {
NB_WEAK int nbpg_autosave(void) { return -1; }
NB_WEAK int nbpg_save_key(void *, const char *, const char *) { return NB_CFG_E_IO; }
NB_WEAK int nbpg_keyval_get_int(const char *, int32_t *value)
{
    if (value)
        *value = 0;
    return NB_CFG_E_IO;
}
}
