/*
 * gui_parts.h - the GUI part's functions, shared between its source files
 * and reachable by the tests. Everything else reaches them only through
 * the slots of nb_gui_ops.
 */
#ifndef NB_GUI_PARTS_H
#define NB_GUI_PARTS_H

#include "app/nb_app.h"

/* mainwin.cpp */
void build_main_window(nb_app *app);

/* chooser.cpp */
int  choose_channel(nb_app *app);
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
