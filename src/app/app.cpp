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

/* Channels added or removed while the pass runs: the automatic session
 * keeps the set. Not while the pass opens a session's channels or closes
 * them at its end. */
void app_channels_changed(nb_app *app)
{
    if (!app->session.set_settling)
        (void)app->session.ops.autosave(app);
}

/* The main channel as it is in force: open applies neither the acceptance
 * filter nor listen-only mode. */
struct chan_in_force {
    uint8_t number;
    nb_chan_settings s;
};

chan_in_force in_force_of(const nb_chan &chan)
{
    chan_in_force f;
    f.number = chan.number;
    chan_settings_of(&chan, &f.s);
    f.s.lom = 0;
    f.s.acc_code = f.s.acc_mask = 0;
    return f;
}

/* Makes the record say what the channel has in force. */
void record_in_force(nb_chan *chan, const chan_in_force &f)
{
    chan->number = f.number;
    chan->frame_format = f.s.frame_format;
    chan->fd = f.s.fd;
    chan->lom = f.s.lom;
    chan->baud_index = f.s.baud_index;
    chan->bt0 = f.s.bt0;
    chan->bt1 = f.s.bt1;
    chan->data_kbit = f.s.data_kbit;
    chan->data_sp = f.s.data_sp;
    chan->acc_code = f.s.acc_code;
    chan->acc_mask = f.s.acc_mask;
    chan->wtout = f.s.wtout;
}

/* The main channel's settings this pass is to have: the session's as read,
 * or, when none was read, those the record held for the pass. */
nb_session_chan wanted_settings(nb_app *app)
{
    nb_session_chan want;
    if (app->session.main_read) {
        want = app->session.main;
    } else {
        memset(&want, 0, sizeof want);
        want.number = app->chan.number;
        chan_settings_of(&app->chan, &want.s);
    }
    app->session.main_read = 0;
    return want;
}

/* The session may name another channel, frame format or CAN FD mode (Chan,
 * Flags, FD) than the one opened at setup: open that one with the session's
 * bit rates and write timeout in place of the open one. One that cannot be
 * opened is reported once, and the pass stays on the open channel. */
void follow_session_channel(nb_app *app, const nb_session_chan &want, chan_in_force &now)
{
    nb_chan *chan = &app->chan;
    if (want.number == now.number && want.s.frame_format == now.s.frame_format &&
        want.s.fd == now.s.fd)
        return;
    const chan_in_force from = now;
    /* The record names the channel to open and what it is opened with. */
    record_in_force(chan, {want.number, want.s});
    chan->lom = 0;
    chan->acc_code = chan->acc_mask = 0;
    int32_t rc = chan_reopen(chan, from.number, from.s.frame_format, from.s.fd);
    if (rc < 0) {
        char text[NB_TEXT_MAX];
        g_snprintf(text, sizeof text,
                   _("can not open CAN channel %d named by the session, staying on channel %d"),
                   (int)want.number, (int)from.number);
        lib_error_message(text, rc);
        /* The same channel was opened again as it was, with the session's
         * bit rates; another one stayed open as it was. */
        if (want.number == from.number) {
            chan->frame_format = from.s.frame_format;
            chan->fd = from.s.fd;
            now = in_force_of(*chan);
        } else {
            record_in_force(chan, from);
        }
        return;
    }
    now = in_force_of(*chan);
    app->session.ops.make_paths(&app->session, chan->number);
    (void)chan->ops.find_board(chan->number, &chan->board);
    set_main_window_title(app);
    app->ops.state_changed(app, 0);
}

/* Hands the session's settings to the open channel once. Each operation
 * records what the adapter took, so a refused one leaves the record at
 * the value in force. Listen-only mode left on by the previous pass comes
 * back too: a controller that acknowledges and transmits while the
 * controls say listen-only would disturb the bus the user means to watch. */
void apply_session_settings(nb_app *app, const nb_chan_settings &want, const chan_in_force &now)
{
    nb_chan *chan = &app->chan;
    record_in_force(chan, now);
    if (want.baud_index != chan->baud_index ||
        (want.baud_index == 0 && (want.bt0 != chan->bt0 || want.bt1 != chan->bt1)))
        (void)chan->ops.set_baud(chan, want.baud_index, want.bt0, want.bt1);
    if (chan->fd && (want.data_kbit != chan->data_kbit || want.data_sp != chan->data_sp))
        (void)chan->ops.set_data_rate(chan, want.data_kbit, want.data_sp);
    if (want.wtout != chan->wtout)
        (void)chan->ops.set_wtout(chan, want.wtout);
    if (want.lom)
        (void)chan->ops.set_lom(chan, 1);
    if (want.acc_code != 0 || want.acc_mask != 0)
        (void)chan->ops.set_filter(chan, want.acc_code, want.acc_mask);
}

/* The session was made for another adapter than the channel's: none of its
 * settings is handed over before the user chose the session's settings, a
 * detection of the bit rate in listen-only mode (the session's other
 * settings, the bit rate the channel was opened with until one is found),
 * or the defaults. */
void settle_other_adapter(nb_app *app, nb_chan_settings want, const chan_in_force &now)
{
    const int choice = other_adapter_dialog(app);
    if (choice == NB_ADAPTER_DEFAULTS) {
        want.baud_index = 7;
        want.bt0 = want.bt1 = 0;
        want.acc_code = want.acc_mask = 0;
        want.wtout = 20;
        want.lom = 0;
    } else if (choice == NB_ADAPTER_DETECT) {
        want.baud_index = now.s.baud_index;
        want.bt0 = now.s.bt0;
        want.bt1 = now.s.bt1;
    }
    apply_session_settings(app, want, now);
    if (choice == NB_ADAPTER_DETECT)
        autobaud_dialog_listen_only(app);
}

/* Each plug-in is told the channel's status as it starts: the session's
 * bit rates and write timeout go in force before the first one loads,
 * or its first status line names the rate the channel was opened with.
 * Not when the session names another channel or adapter: the pass opens
 * that one, or asks, once the session is read. */
void settings_before_plugins(nb_app *app, chan_in_force &now)
{
    const char *path = app->mode == 1 ? app->session.load_file : app->session.auto_file;
    nb_session_chan pre;
    if (!path[0] || session_peek_main(app, path, &pre) < 0)
        return;
    if (app->mode == 1 && (pre.number != now.number || pre.s.frame_format != now.s.frame_format ||
                           pre.s.fd != now.s.fd))
        return;
    const nb_adapter_id kept = app->session.adapter;
    app->session.adapter = pre.adapter;
    const bool other = session_adapter_differs(app);
    app->session.adapter = kept;
    if (other)
        return;
    /* Listen-only mode and the filter come with the session itself. */
    pre.s.lom = 0;
    pre.s.acc_code = pre.s.acc_mask = 0;
    apply_session_settings(app, pre.s, now);
    now = in_force_of(app->chan);
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
        chan_in_force now = in_force_of(app->chan);
        settings_before_plugins(app, now);
        const chan_in_force opened = now;
        /* The session read below gives its channel settings as values,
         * applied once the file was read. */
        app->session.main_read = 0;
        app->session.added_count = 0;
        app->session.defer_settings = 1;
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
        app->session.defer_settings = 0;
        const nb_session_chan want = wanted_settings(app);
        record_in_force(&app->chan, now);
        follow_session_channel(app, want, now);
        if (session_adapter_differs(app))
            settle_other_adapter(app, want.s, now);
        else
            apply_session_settings(app, want.s, now);
        /* The plug-ins are told settings that differ from those they
         * were given at their start. */
        const chan_in_force after = in_force_of(app->chan);
        if (after.s.baud_index != opened.s.baud_index || after.s.bt0 != opened.s.bt0 ||
            after.s.bt1 != opened.s.bt1 || after.s.data_kbit != opened.s.data_kbit ||
            after.s.data_sp != opened.s.data_sp || after.s.wtout != opened.s.wtout ||
            app->chan.lom || app->chan.acc_code || app->chan.acc_mask)
            app->pgmgr.ops.pgmgr_status(&app->pgmgr);
        /* The channels the session added, after the main one. */
        app->session.set_settling = 1;
        session_open_channels(app);
        app->session.set_settling = 0;
        apply_main_window_geometry(app);
        app->mode = 0;
        app->poll.ops.start(app);
        (void)app->session.ops.autosave(app);
        gtk_main();
        if (app->mode != 1)
            window_state_flush(app);
        app->poll.ops.stop(app);
        app->pgmgr.ops.pgmgr_release_all(&app->pgmgr);
        app->session.set_settling = 1;
        app->ops.teardown(app);
        app->session.set_settling = 0;
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
    app->ops.channels_changed = app_channels_changed;
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
