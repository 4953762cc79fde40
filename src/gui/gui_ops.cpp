/*
 * gui_ops.cpp - fills the GUI part's operation table.
 */
#include "gui/gui_parts.h"

void gui_fill_ops(nb_gui_ops *ops)
{
    ops->build_main_window = build_main_window;
    ops->choose_channel = choose_channel;
    ops->build_controls_panel = build_controls_panel;
    ops->build_errors_panel = build_errors_panel;
    ops->update_error_indicators = update_error_indicators;
    ops->stop_controller = stop_controller;
    ops->controller_stopped = controller_stopped;
    ops->start_controller = start_controller;
    ops->build_info_panel = build_info_panel;
    ops->refresh_info_panel = refresh_info_panel;
}
