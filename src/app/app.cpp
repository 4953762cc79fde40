/*
 * app.cpp - the application object, its initialisation and the run loop.
 *
 * One pass of the run loop chooses a channel, opens it, builds the main
 * window, loads the session and runs the GTK main loop; when the main
 * loop returns everything of the pass is torn down, and a new pass
 * follows when the pass asked for one through mode (a session was loaded
 * or reset).
 */
#include <glib/gi18n.h>
#include <stdlib.h>
#include <string.h>

#include "app/messages.h"
#include "app/nb_app.h"
#include "app/platform.h"
#include "session/session_file.h"

nb_app the_app;

namespace {

int32_t app_setup(nb_app *app)
{
    /* A channel that cannot be opened ends the program: main shows why. */
    if (int32_t rc = app->chan.ops.open(&app->chan); rc < 0) {
        char text[NB_TEXT_MAX];
        lib_error_format(text, sizeof text, app->chan.open_failed ? app->chan.open_failed : "",
                         rc);
        app_end_text(app, text);
        return rc;
    }
    /* The board's name and maker for the information panel, whether the
     * channel came from the chooser or from a session file. */
    (void)app->chan.ops.find_board(app->chan.number, &app->chan.board);
    app->gui.ops.build_main_window(app);
    return 0;
}

void app_teardown(nb_app *app)
{
    /* The main window's destroy handler clears nb_mainwin, so a window
     * the user already closed is not touched again. */
    if (nb_mainwin) {
        gtk_widget_destroy(nb_mainwin);
        nb_mainwin = nullptr;
    }
    chanset_remove_all(app);
    app->chan.ops.close(&app->chan);
}

void app_state_changed(nb_app *app, int autosave)
{
    app->gui.ops.refresh_info_panel(app);
    app->pgmgr.ops.pgmgr_status(&app->pgmgr);
    if (autosave)
        app->session.ops.autosave(app);
}

/* The channel opened at setup and the settings it was opened with. */
struct opened_settings {
    uint8_t number, frame_format, fd;
    int32_t baud_index;
    uint8_t bt0, bt1;
    uint32_t data_kbit;
    uint16_t data_sp;
    uint16_t wtout;
};

opened_settings settings_of(const nb_chan &chan)
{
    return {chan.number, chan.frame_format, chan.fd,        chan.baud_index, chan.bt0,
            chan.bt1,    chan.data_kbit,    chan.data_sp,   chan.wtout};
}

/* A session file read in this pass may name another channel, frame
 * format or CAN FD mode (Chan, Flags, FD) than the one opened at setup. Everything from here
 * on (the title, the information panel, the automatic file, the busy lock
 * and every operation) goes by the record, so the channel that is open
 * must be the one the record names: open it with the record's settings
 * and close the one opened at setup. One that cannot be opened is
 * reported once, and the record goes back to the channel that stays. */
void follow_session_channel(nb_app *app, opened_settings &was)
{
    nb_chan *chan = &app->chan;
    if (chan->number == was.number && chan->frame_format == was.frame_format &&
        chan->fd == was.fd)
        return;
    const opened_settings from = was;
    const uint8_t wanted = chan->number;
    int32_t rc = chan_reopen(chan, from.number, from.frame_format, from.fd);
    if (rc >= 0 || wanted == from.number) {
        /* Opened afresh, with the record's bit rate and write timeout. */
        was = settings_of(*chan);
    }
    if (rc < 0) {
        char text[NB_TEXT_MAX];
        g_snprintf(text, sizeof text,
                   _("can not open CAN channel %d named by the session, staying on channel %d"),
                   (int)wanted, (int)from.number);
        lib_error_message(text, rc);
        chan->number = was.number = from.number;
        chan->frame_format = was.frame_format = from.frame_format;
        chan->fd = was.fd = from.fd;
        return;
    }
    app->session.ops.make_paths(&app->session, chan->number);
    (void)chan->ops.find_board(chan->number, &chan->board);
    set_main_window_title(app);
    app->ops.state_changed(app, 0);
}

/* A session read in this pass records its bit rate, write timeout and
 * acceptance filter in nb_chan after the channel was already opened (and
 * open never applies the filter). Without this the information panel and
 * the plug-ins would show settings the adapter does not have until the
 * next pass, and after a fresh start never. Hand the recorded values to
 * the adapter now; one the adapter refuses is recorded back as the value
 * that stayed in force, so the record never lies. Listen-only mode left on
 * by the previous pass is switched on again as well: a controller that
 * acknowledges and transmits while the controls say listen-only would
 * disturb the bus the user means only to watch. */
void apply_session_settings(nb_app *app, const opened_settings &was)
{
    nb_chan *chan = &app->chan;
    if (chan->baud_index != was.baud_index ||
        (chan->baud_index == 0 && (chan->bt0 != was.bt0 || chan->bt1 != was.bt1))) {
        if (chan->ops.set_baud(chan, chan->baud_index, chan->bt0, chan->bt1) < 0) {
            chan->baud_index = was.baud_index;
            chan->bt0 = was.bt0;
            chan->bt1 = was.bt1;
        }
    }
    if (chan->fd && (chan->data_kbit != was.data_kbit || chan->data_sp != was.data_sp)) {
        uint32_t kbit = chan->data_kbit;
        uint16_t sp = chan->data_sp;
        chan->data_kbit = was.data_kbit;
        chan->data_sp = was.data_sp;
        (void)chan->ops.set_data_rate(chan, kbit, sp);
    }
    if (chan->wtout != was.wtout) {
        uint16_t wanted = chan->wtout;
        chan->wtout = was.wtout;
        (void)chan->ops.set_wtout(chan, wanted);
    }
    if (chan->lom && chan->ops.set_lom(chan, 1) < 0)
        chan->lom = 0;
    if (chan->acc_code != 0 || chan->acc_mask != 0) {
        if (chan->ops.set_filter(chan, chan->acc_code, chan->acc_mask) < 0) {
            chan->acc_code = 0;
            chan->acc_mask = 0;
        }
    }
}

/* The session read in this pass made its settings for another adapter
 * than the channel's: none is handed to the adapter before the user chose
 * the session's settings, a detection of the bit rate in listen-only mode
 * (the session's other settings, the bit rate the channel was opened
 * with until one is found), or the defaults. */
void settle_other_adapter(nb_app *app, const opened_settings &was)
{
    nb_chan *chan = &app->chan;
    const int choice = other_adapter_dialog(app);
    if (choice == NB_ADAPTER_DEFAULTS) {
        chan->baud_index = 7;
        chan->bt0 = chan->bt1 = 0;
        chan->acc_code = chan->acc_mask = 0;
        chan->wtout = 20;
        chan->lom = 0;
    } else if (choice == NB_ADAPTER_DETECT) {
        chan->baud_index = was.baud_index;
        chan->bt0 = was.bt0;
        chan->bt1 = was.bt1;
    }
    apply_session_settings(app, was);
    if (choice == NB_ADAPTER_DETECT)
        autobaud_dialog_listen_only(app);
}

/* Ends a pass that cannot go on, releasing what it holds; returns the
 * exit code. */
int end_pass(nb_app *app, int code, bool window)
{
    app->pgmgr.ops.pgmgr_release_all(&app->pgmgr);
    if (window)
        app->ops.teardown(app);
    return code;
}

int app_run(nb_app *app)
{
    do {
        app->pgmgr.ops.pgmgr_scan(&app->pgmgr);
        if (app->mode != 1) {
            int choice = app->gui.ops.choose_channel(app);
            if (choice != NB_CHOICE_MADE)
                return end_pass(app, choice == NB_CHOICE_CANCELLED ? NB_EXIT_OK : NB_EXIT_FAIL,
                                false);
        }
        app->session.ops.make_paths(&app->session, app->chan.number);
        /* Before the channel opens and any plug-in loads: every line of
         * the pass comes after it. */
        time_origin_pass_begin(app);
        if (app->ops.setup(app) < 0)
            return end_pass(app, NB_EXIT_FAIL, false);
        opened_settings was = settings_of(app->chan);
        app->pgmgr.ops.pgmgr_autoload(app);
        if (app->mode != 1) {
            /* A missing automatic session is normal on a first start. */
            (void)app->session.ops.load_auto(app);
        } else if (app->session.load_file[0] == '\0') {
            /* A reset whose defaults could not be stored: the pass goes on
             * with the defaults the reset left in the record. */
        } else if (app->session.ops.load(app, app->session.load_file) < 0) {
            /* A file named on the command line ends the program; one the
             * user picked in the Load Session dialog was read whole before
             * and changed since: the channel's own session goes on. */
            if (!app->session.load_checked) {
                char text[NB_TEXT_MAX];
                session_unloadable_text(app->session.load_file, text, sizeof text);
                app_end_text(app, text);
                return end_pass(app, NB_EXIT_OK, true);
            }
            session_report_unloadable(app->session.load_file);
            (void)app->session.ops.load_auto(app);
        }
        app->session.load_checked = 0;
        follow_session_channel(app, was);
        if (session_adapter_differs(app))
            settle_other_adapter(app, was);
        else
            apply_session_settings(app, was);
        /* The plug-ins were given the settings the channel was opened with
         * and are told the session's (its bit rate above all). */
        const opened_settings now = settings_of(app->chan);
        if (now.baud_index != was.baud_index || now.bt0 != was.bt0 || now.bt1 != was.bt1 ||
            now.data_kbit != was.data_kbit || now.data_sp != was.data_sp || now.wtout != was.wtout ||
            app->chan.lom || app->chan.acc_code || app->chan.acc_mask)
            app->pgmgr.ops.pgmgr_status(&app->pgmgr);
        apply_main_window_geometry(app);
        app->mode = 0;
        app->poll.ops.start(app);
        (void)app->session.ops.autosave(app);
        gtk_main();
        if (app->mode != 1)
            window_state_flush(app);
        app->poll.ops.stop(app);
        app->pgmgr.ops.pgmgr_release_all(&app->pgmgr);
        app->ops.teardown(app);
    } while (app->mode == 1);
    return NB_EXIT_OK;
}

}  // namespace

int app_init(void)
{
    nb_app *app = &the_app;
    memset(app, 0, sizeof *app);
    app->gui.hsize = 1000;
    app->mode = 0;
    app->gui.vsize = 650;
    app->gui.left_pane_size = 250;
    app->gui.xpos = -1;
    app->gui.ypos = -1;

    nbsdep_install_dir(app->install_dir, sizeof app->install_dir);

    nb_chan *chan = &app->chan;
    memset(chan, 0, sizeof *chan);
    chan->baud_index = 7;             /* 500 kbit/s */
    chan->data_kbit = NB_DATA_KBIT_DEFAULT;
    chan->wtout = 20;
    chan_fill_ops(&chan->ops);
    /* Without a tx log the channel still sends, without logging. */
    chan->txlog = txlog_new();
    chanset_init(app);

    poll_fill_ops(&app->poll.ops);
    app->poll.stopped = 0;
    app->poll.poll_source = (uint32_t)-1;
    app->poll.status_source = (uint32_t)-1;

    app->pgmgr.loadrelease = 0;
    app->pgmgr.changes_pending = 0;
    app->pgmgr.head = nullptr;
    app->pgmgr.count = 0;
    g_strlcpy(app->pgmgr.install_dir, app->install_dir, sizeof app->pgmgr.install_dir);
    pgmgr_fill_ops(&app->pgmgr.ops);

    session_fill_ops(&app->session.ops);
    app->ops.setup = app_setup;
    app->ops.teardown = app_teardown;
    app->ops.state_changed = app_state_changed;
    app->ops.run = app_run;
    gui_fill_ops(&app->gui.ops);
    return 0;
}

void app_end_text(nb_app *app, const char *text)
{
    g_strlcpy(app->end_text, text ? text : "", sizeof app->end_text);
}

void close_at_exit(void)
{
    if (the_app.chan.ops.close)
        the_app.chan.ops.close(&the_app.chan);
}
