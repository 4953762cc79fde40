/*
 * gui.h - the GUI part: its record, its operations and the dialogs and
 * handlers the menus reach.
 */
#ifndef NB_GUI_H
#define NB_GUI_H

#include <gtk/gtk.h>

#include "app/nb_defs.h"
#include "zelk.h"

/* How the channel chooser ends: a channel (or a session file to load) was
 * chosen, the user cancelled, or no channel was found (nb_app.end_text
 * then holds the message). */
enum nb_choice { NB_CHOICE_MADE = 0, NB_CHOICE_CANCELLED = 1, NB_CHOICE_NO_CHANNEL = 2 };

struct nb_gui_ops {
    void       (*build_main_window)(nb_app *app);
    int        (*choose_channel)(nb_app *app);
    GtkWidget *(*build_controls_panel)(nb_app *app);
    GtkWidget *(*build_errors_panel)(void);
    void       (*update_error_indicators)(const zk_errs *errs);
    void       (*stop_controller)(nb_app *app);
    /* Shows the controller stopped by the host (rc >= 0), or why the
     * stop failed; touches neither the channel nor the poller. */
    void       (*controller_stopped)(nb_app *app, int32_t rc);
    void       (*start_controller)(nb_app *app);
    GtkWidget *(*build_info_panel)(nb_app *app);
    void       (*refresh_info_panel)(nb_app *app);
};

struct nb_gui {
    GtkWidget *notebook;
    GtkWidget *paned;
    GtkWidget *mi_file;
    GtkWidget *mi_save_session;
    GtkWidget *mi_load_session;
    GtkWidget *mi_reset_session;
    GtkWidget *mi_channels;       /* Channels: Add channel..., Remove channel */
    GtkWidget *mi_add_channel;
    GtkWidget *mi_remove_channel; /* insensitive while the main channel is selected */
    GtkWidget *mi_hw_settings;
    GtkWidget *mi_bit_rate;
    GtkWidget *mi_acc_filter;
    GtkWidget *mi_write_tout;
    GtkWidget *mi_time_origin;    /* check item: time from the controller's start */
    GtkWidget *mi_plugins;
    GtkWidget *mi_configure;
    GtkWidget *mi_help;
    GtkWidget *mi_quick_start;
    GtkWidget *mi_about;
    GtkWidget *btn_startstop;
    GtkWidget *btn_lom;
    GtkWidget *btn_reset;
    GtkAccelGroup *accel_group;
    int32_t hsize;                /* default window width, 1000 */
    int32_t vsize;                /* default window height, 650 */
    int32_t left_pane_size;       /* divider position, 250 */
    int32_t xpos;                 /* window position on the screen; */
    int32_t ypos;                 /* -1: centred */
    uint32_t settle_source;       /* pending write of the window state, 0 when none */
    nb_gui_ops ops;
};

void gui_fill_ops(nb_gui_ops *ops);
void set_main_window_title(nb_app *app);                  /* "ch N - product" */
void apply_main_window_geometry(nb_app *app);            /* hsize, vsize, place, divider;
                                                          * the time origin item */
/* The window's state (size, place, divider, tab order, current page)
 * changed: written to the automatic session once it has settled. */
void window_state_changed(nb_app *app);
/* At the end of a pass: a change not written yet is written now. */
void window_state_flush(nb_app *app);
void acceptance_filter_dialog(GtkMenuItem *item, gpointer app);
void bit_rate_dialog(GtkMenuItem *item, gpointer app);
void write_timeout_dialog(GtkMenuItem *item, gpointer app);
void quick_start_dialog(GtkMenuItem *item, gpointer app);
void about_dialog(GtkMenuItem *item, gpointer app);
void user_guide(GtkMenuItem *item, gpointer app);        /* Help > User Guide (F1) */
/* Bit-rate detection with listen-only mode chosen for its first try. */
void autobaud_dialog_listen_only(nb_app *app);
/* The answers of other_adapter_dialog. */
enum {
    NB_ADAPTER_SETTINGS = 1,      /* the session's settings as they stand */
    NB_ADAPTER_DETECT = 2,        /* the bit rate found in listen-only mode */
    NB_ADAPTER_DEFAULTS = 3       /* the default settings */
};
/* Whether the session read in this pass recorded another adapter than the
 * one the channel is on (a session that recorded none: false). */
bool session_adapter_differs(const nb_app *app);
/* Shows what differs and asks which settings the channel takes. */
int  other_adapter_dialog(nb_app *app);
/* Asks before quitting while plug-ins have work running; true: quit. */
bool ask_before_quit(nb_app *app);
gboolean hex_spin_output(GtkSpinButton *spin, gpointer data);
gint hex_spin_input(GtkSpinButton *spin, gdouble *new_value, gpointer data);

#endif /* NB_GUI_H */
