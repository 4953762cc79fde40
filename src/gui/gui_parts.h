/*
 * gui_parts.h - the GUI part's functions, shared between its source files
 * and reachable by the tests. Everything else reaches them only through
 * the slots of nb_gui_ops.
 */
#ifndef NB_GUI_PARTS_H
#define NB_GUI_PARTS_H

#include <gtk/gtk.h>

#include "app/nb_defs.h"
#include "can/chan.h"
#include "gui/gui.h"
#include "zelk.h"

/* mainwin.cpp */
void build_main_window(nb_app *app);

/* chooser.cpp */
int  choose_channel(nb_app *app);
/* A channel chosen to be added: its number, frame format and CAN mode. */
struct nb_channel_pick {
    uint8_t number;
    uint8_t frame_format;
    uint8_t fd;
};
/* The chooser as a modal dialog over the main window, without "Load
 * Session": NB_CHOICE_MADE with *pick filled, or NB_CHOICE_CANCELLED. */
int  choose_added_channel(nb_app *app, nb_channel_pick *pick);
gboolean channel_row_filter(GtkTreeSelection *sel, GtkTreeModel *model, GtkTreePath *path,
                            gboolean path_currently_selected, gpointer app);
void read_frame_format(nb_app *app);

/* controls_panel.cpp */
GtkWidget *build_controls_panel(nb_app *app);
GtkWidget *build_errors_panel(void);
void update_error_indicators(const zk_errs *errs);
void start_controller(nb_app *app);
void stop_controller(nb_app *app);
void controller_stopped(nb_app *app, int32_t rc);
void on_startstop_clicked(GtkButton *button, gpointer app);
void on_lom_clicked(GtkButton *button, gpointer app);
void on_reset_clicked(GtkButton *button, gpointer app);

/* channels_panel.cpp: the channel list of the left pane. The controls,
 * indicators, information panel and settings dialogs act on the selected
 * channel; an added channel's state is read from its record on the
 * status tick and after the window's own actions. */
nb_chan   *selected_chan(nb_app *app);
bool       main_selected(const nb_app *app);
/* Builds the list; refresh_channels puts it on top of the left pane
 * while there is more than one channel. forget_channels_panel: the main
 * window is going. */
void       build_channels_panel(nb_app *app);
void       forget_channels_panel(void);
/* Brings the list, the indicators and an added channel's controls up to
 * date with the channel records. */
void       refresh_channels(nb_app *app);
/* Makes the channel at index the selected one and shows it. */
void       select_channel(nb_app *app, int32_t index);
/* The window changed an added channel (started, stopped, set up): show
 * it and tell the plug-ins. The main channel goes through state_changed. */
void       added_chan_changed(nb_app *app, nb_chan *chan);
/* A setting of a channel changed: state_changed for the main channel,
 * added_chan_changed for an added one. */
void       chan_changed(nb_app *app, nb_chan *chan, int autosave);
/* A failure on a channel: as ever for the main channel, "ch3: <text>:
 * <the library's words>" for an added one. */
void       chan_error_message(nb_app *app, nb_chan *chan, const char *text, int32_t code);
/* The error indicators a channel has lit (NB_LIT_* bits), and clearing
 * them (Clear, Reset). */
constexpr unsigned NB_LIT_EWL = 1, NB_LIT_BOFF = 2, NB_LIT_HOVR = 4, NB_LIT_SOVR = 8, NB_LIT_WTOUT = 16;
unsigned   chan_lit(const nb_chan *chan);
void       chan_lit_add(const nb_chan *chan, const zk_errs *errs);
void       chan_lit_clear(const nb_chan *chan);
void       on_add_channel(GtkMenuItem *item, gpointer app);
void       on_remove_channel(GtkMenuItem *item, gpointer app);
void       on_start_all(GtkButton *button, gpointer app);
void       on_stop_all(GtkButton *button, gpointer app);

/* controls_panel.cpp: shows the selected channel's state on the controls
 * and indicators; starting and stopping an added channel. */
void show_selected_controls(nb_app *app);
void show_indicators(unsigned lit);
int32_t start_added(nb_app *app, nb_chan *chan);
int32_t stop_added(nb_app *app, nb_chan *chan);

/* info_panel.cpp */
GtkWidget *build_info_panel(nb_app *app);
void refresh_info_panel(nb_app *app);

/* help_text.cpp: shows a help dialog whose content is a filled text
 * view: read-only, word-wrapped, scrolled, cursor at the start; runs it
 * and destroys it unless it went already (*slot is then null). With
 * fit_text the dialog grows to the text's height instead of scrolling. */
void run_help_text_dialog(GtkWidget *dialog, GtkWidget **slot, GtkWidget *view,
                          GtkJustification justification, int border, bool fit_text);

#endif /* NB_GUI_PARTS_H */
