/*
 * controls_panel.cpp - the channel controls (Start/Stop, listen-only,
 * hardware reset) and the five error indicators, acting on and showing
 * the channel selected in the left pane.
 *
 * start_controller and controller_stopped own the look of the controls
 * and the sensitivity of the menu entries that must not be used while the
 * controller runs. A stop the host makes itself (bus-off, a lost adapter)
 * is only shown here, through controller_stopped. Setting a toggle's state
 * from code is never treated as a click: the click handler is blocked
 * around the change.
 */
#include <glib/gi18n.h>
#include <string.h>

#include "app/messages.h"
#include "app/nb_app.h"
#include "gui/gui_parts.h"

#include <initializer_list>
#include <utility>

namespace {

/* Lit (sensitive) when the counter was seen non-zero, dark otherwise.
 * Cleared when the images are destroyed with their window. */
GtkWidget *ind_ewl = nullptr;
GtkWidget *ind_boff = nullptr;
GtkWidget *ind_hovr = nullptr;
GtkWidget *ind_sovr = nullptr;
GtkWidget *ind_wtout = nullptr;

void set_sensitive(GtkWidget *w, gboolean on)
{
    if (w)
        gtk_widget_set_sensitive(w, on);
}

/* Lights or darkens an indicator. Lit and dark differ in shape, not only
 * in colour: a cross when the event was seen, a tick when not, and the
 * tooltip says which. */
void set_indicator(GtkWidget *img, gboolean lit)
{
    if (!img)
        return;
    gtk_image_set_from_stock(GTK_IMAGE(img), lit ? GTK_STOCK_NO : GTK_STOCK_YES,
                             GTK_ICON_SIZE_BUTTON);
    gtk_widget_set_sensitive(img, lit);
    const char *counter = static_cast<const char *>(g_object_get_data(G_OBJECT(img), "counter"));
    char tip[NB_TEXT_MAX];
    g_snprintf(tip, sizeof tip,
               lit ? _("%s: seen (Clear or Reset darkens the indicators)") : _("%s: not seen"),
               counter ? counter : "");
    gtk_widget_set_tooltip_text(img, tip);
}

void darken_indicators(nb_app *app)
{
    for (GtkWidget *img : {ind_ewl, ind_boff, ind_hovr, ind_sovr, ind_wtout})
        set_indicator(img, FALSE);
    chan_lit_clear(selected_chan(app));
}

void on_clear_clicked(GtkButton *, gpointer app)
{
    darken_indicators(static_cast<nb_app *>(app));
    refresh_channels(static_cast<nb_app *>(app));
}

/* Sets a toggle's active state without running its click handler. */
void set_toggle_quietly(GtkWidget *btn, gboolean active, GCallback handler, nb_app *app)
{
    if (!btn)
        return;
    g_signal_handlers_block_by_func(btn, (gpointer)handler, app);
    gtk_toggle_button_set_active(GTK_TOGGLE_BUTTON(btn), active);
    g_signal_handlers_unblock_by_func(btn, (gpointer)handler, app);
}

/* Only a change: setting a label builds the button's child afresh, and
 * an added channel's controls are brought up to date every second. */
void set_label(GtkWidget *btn, const char *text)
{
    if (!btn)
        return;
    const char *now = gtk_button_get_label(GTK_BUTTON(btn));
    if (!now || strcmp(now, text) != 0)
        gtk_button_set_label(GTK_BUTTON(btn), text);
}

/* The widgets that are locked while the main channel's controller runs,
 * in the order they change; listen-only mode and the hardware settings
 * follow the selected channel. */
void set_stopped_widgets_sensitive(nb_app *app, gboolean on)
{
    nb_gui &g = app->gui;
    const bool shown = main_selected(app);
    if (shown)
        set_sensitive(g.btn_lom, on);
    set_sensitive(g.mi_plugins, on);
    if (shown)
        set_sensitive(g.mi_hw_settings, on);
    set_sensitive(g.mi_save_session, on);
    set_sensitive(g.mi_load_session, on);
    set_sensitive(g.mi_reset_session, on);
}

void notify(nb_app *app, int autosave)
{
    if (app->ops.state_changed)
        app->ops.state_changed(app, autosave);
}

GtkWidget *make_toggle(const char *label, const char *name, GtkWidget **member)
{
    GtkWidget *btn = gtk_toggle_button_new_with_label(label);
    gtk_widget_set_name(btn, name);
    gtk_toggle_button_set_mode(GTK_TOGGLE_BUTTON(btn), TRUE);
    *member = btn;
    g_signal_connect(btn, "destroy", G_CALLBACK(gtk_widget_destroyed), member);
    return btn;
}

GtkWidget *make_indicator(const char *name, const char *counter, GtkWidget **member)
{
    GtkWidget *img = gtk_image_new();
    gtk_widget_set_name(img, name);
    g_object_set_data(G_OBJECT(img), "counter", const_cast<char *>(counter));
    set_indicator(img, FALSE);
    *member = img;
    g_signal_connect(img, "destroy", G_CALLBACK(gtk_widget_destroyed), member);
    return img;
}

}  // namespace

GtkWidget *build_controls_panel(nb_app *app)
{
    nb_gui &g = app->gui;
    GtkWidget *frame = gtk_frame_new(_("CAN channel controls"));
    gtk_widget_set_name(frame, "controls_panel");
    gtk_container_set_border_width(GTK_CONTAINER(frame), 2);
    gtk_widget_show(frame);

    /* Not homogeneous: each button gets the width its label needs (the
     * left pane is narrow), the rest is shared out. */
    GtkWidget *table = gtk_table_new(1, 3, FALSE);
    gtk_container_set_border_width(GTK_CONTAINER(table), 3);
    gtk_table_set_row_spacings(GTK_TABLE(table), 2);
    gtk_table_set_col_spacings(GTK_TABLE(table), 2);
    gtk_container_add(GTK_CONTAINER(frame), table);

    GtkWidget *ss = make_toggle(_("Start"), "btn_startstop", &g.btn_startstop);
    if (app->chan.running) {
        gtk_button_set_label(GTK_BUTTON(ss), _("Stop"));
        gtk_toggle_button_set_active(GTK_TOGGLE_BUTTON(ss), TRUE);
    }
    GtkWidget *lom = make_toggle(_("Set LOM"), "btn_lom", &g.btn_lom);
    if (app->chan.lom) {
        gtk_button_set_label(GTK_BUTTON(lom), _("Clear LOM"));
        gtk_toggle_button_set_active(GTK_TOGGLE_BUTTON(lom), TRUE);
    }
    GtkWidget *reset = gtk_button_new_with_label(_("Reset"));
    gtk_widget_set_name(reset, "btn_reset");
    g.btn_reset = reset;
    g_signal_connect(reset, "destroy", G_CALLBACK(gtk_widget_destroyed), &g.btn_reset);

    gtk_table_attach_defaults(GTK_TABLE(table), ss, 0, 1, 0, 1);
    gtk_table_attach_defaults(GTK_TABLE(table), lom, 1, 2, 0, 1);
    gtk_table_attach_defaults(GTK_TABLE(table), reset, 2, 3, 0, 1);

    /* Connected after the initial state is set, so building is no click. */
    g_signal_connect(ss, "clicked", G_CALLBACK(on_startstop_clicked), app);
    g_signal_connect(lom, "clicked", G_CALLBACK(on_lom_clicked), app);
    g_signal_connect(reset, "clicked", G_CALLBACK(on_reset_clicked), app);

    gtk_widget_show_all(frame);
    return frame;
}

GtkWidget *build_errors_panel(void)
{
    nb_app *app = &the_app;
    GtkWidget *frame = gtk_frame_new(_("CAN errors"));
    gtk_widget_set_name(frame, "errors_panel");
    gtk_container_set_border_width(GTK_CONTAINER(frame), 2);

    /* Not homogeneous: "WTOUT" is wider than a fifth of the narrow pane. */
    GtkWidget *table = gtk_table_new(3, 5, FALSE);
    gtk_container_set_border_width(GTK_CONTAINER(table), 3);
    gtk_table_set_row_spacings(GTK_TABLE(table), 2);
    gtk_table_set_col_spacings(GTK_TABLE(table), 2);
    gtk_container_add(GTK_CONTAINER(frame), table);

    /* The counter names are the adapter's own and stay untranslated. */
    static const char *const labels[5] = {"EWL", "BOFF", "HOVR", "SOVR", "WTOUT"};
    static const char *const names[5] = {"ind_ewl", "ind_boff", "ind_hovr", "ind_sovr",
                                         "ind_wtout"};
    GtkWidget **members[5] = {&ind_ewl, &ind_boff, &ind_hovr, &ind_sovr, &ind_wtout};
    for (guint c = 0; c < 5; c++) {
        gtk_table_attach_defaults(GTK_TABLE(table), gtk_label_new(labels[c]), c, c + 1, 0, 1);
        gtk_table_attach_defaults(GTK_TABLE(table),
                                  make_indicator(names[c], labels[c], members[c]), c, c + 1, 1, 2);
    }
    /* Darkens the indicators without touching the controller. */
    GtkWidget *clear = gtk_button_new_with_label(_("Clear"));
    gtk_widget_set_name(clear, "btn_clear_errors");
    gtk_widget_set_tooltip_text(clear, _("Darken the error indicators; the controller is "
                                         "not reset"));
    g_signal_connect(clear, "clicked", G_CALLBACK(on_clear_clicked), app);
    gtk_table_attach(GTK_TABLE(table), clear, 3, 5, 2, 3, GTK_FILL, GTK_FILL, 0, 0);
    gtk_widget_show_all(frame);
    return frame;
}

/* The main channel's error events, as the poller reads them. */
void update_error_indicators(const zk_errs *errs)
{
    if (!errs)
        return;
    chan_lit_add(&the_app.chan, errs);
    if (!main_selected(&the_app))
        return;
    /* Only a change is drawn: this runs on every tick with errors. */
    const std::pair<uint16_t, GtkWidget *> seen[] = {{errs->boff, ind_boff},
                                                     {errs->ewl, ind_ewl},
                                                     {errs->hovr, ind_hovr},
                                                     {errs->sovr, ind_sovr},
                                                     {errs->wtout, ind_wtout}};
    for (const auto &s : seen)
        if (s.first && s.second && !gtk_widget_get_sensitive(s.second))
            set_indicator(s.second, TRUE);
}

void start_controller(nb_app *app)
{
    int32_t rc = app->chan.ops.start(&app->chan);
    if (rc < 0) {
        lib_error_message(_("can not start CAN controller"), rc);
        return;
    }
    time_origin_controller_started(app);
    set_stopped_widgets_sensitive(app, FALSE);
    if (!main_selected(app)) {
        refresh_channels(app);
        return;
    }
    set_label(app->gui.btn_startstop, _("Stop"));
    set_toggle_quietly(app->gui.btn_startstop, TRUE, G_CALLBACK(on_startstop_clicked), app);
}

void stop_controller(nb_app *app)
{
    controller_stopped(app, ctl_stop(app));
}

void controller_stopped(nb_app *app, int32_t rc)
{
    if (rc < 0) {
        lib_error_message(_("can not stop CAN controller"), rc);
        return;
    }
    set_stopped_widgets_sensitive(app, TRUE);
    if (!main_selected(app)) {
        refresh_channels(app);
        return;
    }
    set_label(app->gui.btn_startstop, _("Start"));
    set_toggle_quietly(app->gui.btn_startstop, FALSE, G_CALLBACK(on_startstop_clicked), app);
    /* Until a lost adapter is back there is no controller to start,
     * switch, reset or set up. */
    const gboolean present = app->chan.lost ? FALSE : TRUE;
    set_sensitive(app->gui.btn_startstop, present);
    set_sensitive(app->gui.btn_lom, present);
    set_sensitive(app->gui.btn_reset, present);
    set_sensitive(app->gui.mi_hw_settings, present);
}

void on_startstop_clicked(GtkButton *, gpointer data)
{
    nb_app *app = static_cast<nb_app *>(data);
    if (!main_selected(app)) {
        nb_chan *chan = selected_chan(app);
        (void)(chan->running ? stop_added(app, chan) : start_added(app, chan));
        show_selected_controls(app);
        return;
    }
    if (app->chan.running)
        stop_controller(app);
    else
        start_controller(app);
    /* The click has already flipped the toggle; after a refused change it
     * must show the controller's real state again. */
    set_toggle_quietly(app->gui.btn_startstop, app->chan.running ? TRUE : FALSE,
                       G_CALLBACK(on_startstop_clicked), app);
    notify(app, 1);
}

void on_lom_clicked(GtkButton *, gpointer data)
{
    nb_app *app = static_cast<nb_app *>(data);
    nb_chan *chan = selected_chan(app);
    int32_t wanted = chan->lom ? 0 : 1;
    int32_t rc = chan->ops.set_lom(chan, wanted);
    const char *failed = wanted ? _("can not switch CAN controller to Listen Only Mode")
                                : _("can not switch CAN controller from Listen Only Mode");
    if (chan != &app->chan) {
        if (rc < 0)
            chan_error_message(app, chan, failed, rc);
        else
            added_chan_changed(app, chan);
        show_selected_controls(app);
        return;
    }
    if (rc < 0) {
        lib_error_message(failed, rc);
        set_toggle_quietly(app->gui.btn_lom, app->chan.lom ? TRUE : FALSE,
                           G_CALLBACK(on_lom_clicked), app);
        return;
    }
    set_label(app->gui.btn_lom, wanted ? _("Clear LOM") : _("Set LOM"));
    set_toggle_quietly(app->gui.btn_lom, wanted ? TRUE : FALSE, G_CALLBACK(on_lom_clicked), app);
    notify(app, 0);
}

void on_reset_clicked(GtkButton *, gpointer data)
{
    nb_app *app = static_cast<nb_app *>(data);
    GtkWidget *ask = gtk_message_dialog_new(
        nb_mainwin ? GTK_WINDOW(nb_mainwin) : nullptr, GTK_DIALOG_MODAL, GTK_MESSAGE_QUESTION,
        GTK_BUTTONS_YES_NO, "%s", _("Are you sure you want to hardware reset CAN controller?"));
    gtk_widget_set_name(ask, "reset_question");
    gtk_window_set_position(GTK_WINDOW(ask), GTK_WIN_POS_CENTER);
    gint answer = gtk_dialog_run(GTK_DIALOG(ask));
    /* The question goes before any error message about the reset. */
    gtk_widget_destroy(ask);
    nb_chan *chan = selected_chan(app);
    if (answer == GTK_RESPONSE_YES) {
        int32_t rc = chan->ops.hw_reset(chan);
        if (rc < 0)
            chan_error_message(app, chan, _("can not reset CAN controller"), rc);
        /* The frames the reset gave up go to the plug-ins before its status. */
        else
            poll_flush(app);
    }
    darken_indicators(app);
    if (chan == &app->chan)
        notify(app, 0);
    else
        added_chan_changed(app, chan);
}

void show_indicators(unsigned lit)
{
    const std::pair<unsigned, GtkWidget *> shown[] = {{NB_LIT_EWL, ind_ewl},
                                                      {NB_LIT_BOFF, ind_boff},
                                                      {NB_LIT_HOVR, ind_hovr},
                                                      {NB_LIT_SOVR, ind_sovr},
                                                      {NB_LIT_WTOUT, ind_wtout}};
    for (const auto &s : shown) {
        const gboolean on = (lit & s.first) ? TRUE : FALSE;
        if (s.second && gtk_widget_get_sensitive(s.second) != on)
            set_indicator(s.second, on);
    }
}

void show_selected_controls(nb_app *app)
{
    nb_gui &g = app->gui;
    nb_chan *chan = selected_chan(app);
    set_label(g.btn_startstop, chan->running ? _("Stop") : _("Start"));
    set_toggle_quietly(g.btn_startstop, chan->running ? TRUE : FALSE,
                       G_CALLBACK(on_startstop_clicked), app);
    set_label(g.btn_lom, chan->lom ? _("Clear LOM") : _("Set LOM"));
    set_toggle_quietly(g.btn_lom, chan->lom ? TRUE : FALSE, G_CALLBACK(on_lom_clicked), app);
    const gboolean present = chan->lost ? FALSE : TRUE;
    const gboolean stopped = chan->running ? FALSE : TRUE;
    set_sensitive(g.btn_startstop, present);
    set_sensitive(g.btn_reset, present);
    set_sensitive(g.btn_lom, present && stopped);
    set_sensitive(g.mi_hw_settings, present && stopped);
    show_indicators(chan_lit(chan));
}

int32_t start_added(nb_app *app, nb_chan *chan)
{
    const int32_t rc = ctl_start_at(app, chanset_find(app, chan->number));
    if (rc < 0)
        chan_error_message(app, chan, _("can not start CAN controller"), rc);
    app->gui.ops.refresh_info_panel(app);
    return rc;
}

/* The core hands on its frames before its status goes to the plug-ins. */
int32_t stop_added(nb_app *app, nb_chan *chan)
{
    const int32_t rc = ctl_stop_at(app, chanset_find(app, chan->number));
    if (rc < 0)
        chan_error_message(app, chan, _("can not stop CAN controller"), rc);
    app->gui.ops.refresh_info_panel(app);
    return rc;
}
