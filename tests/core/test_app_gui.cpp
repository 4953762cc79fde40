// The application object: what app_init fills in, the order of a pass of
// the run loop and its restart, teardown around a window the user closed,
// and the fatal ends of a pass and of opening a channel.
#include <gtest/gtest.h>
#include <glib/gstdio.h>
#include <gtk/gtk.h>
#include <stdio.h>

#include <string>
#include <vector>

#include "app/nb_app.h"
#include "gui_driver.h"
#include "sim_channel.h"
#include "test_env.h"

namespace {

template <typename T>
bool all_slots_filled(const T &ops)
{
    const void *const *slot = reinterpret_cast<const void *const *>(&ops);
    for (size_t i = 0; i < sizeof ops / sizeof(void *); i++)
        if (!slot[i])
            return false;
    return true;
}

TEST(AppInit, FillsEveryPartWithItsDefaults)
{
    memset(&the_app, 0x5A, sizeof the_app);
    ASSERT_EQ(app_init(), 0);
    const nb_app &a = the_app;
    EXPECT_EQ(a.mode, 0);
    EXPECT_EQ(a.gui.hsize, 1000);
    EXPECT_EQ(a.gui.vsize, 650);
    EXPECT_EQ(a.gui.left_pane_size, 250);
    EXPECT_EQ(a.gui.notebook, nullptr);
    EXPECT_EQ(a.gui.btn_startstop, nullptr);
    EXPECT_EQ(a.chan.number, 0);
    EXPECT_EQ(a.chan.frame_format, 0);
    EXPECT_EQ(a.chan.running, 0);
    EXPECT_EQ(a.chan.lom, 0);
    EXPECT_EQ(a.chan.baud_index, 7);
    EXPECT_EQ(a.chan.bt0, 0);
    EXPECT_EQ(a.chan.bt1, 0);
    EXPECT_EQ(a.chan.acc_code, 0u);
    EXPECT_EQ(a.chan.acc_mask, 0u);
    EXPECT_EQ(a.chan.wtout, 20);
    EXPECT_EQ(a.chan.board.b.number, 0);
    EXPECT_EQ(a.chan.board.serial[0], '\0');
    ASSERT_NE(a.chan.txlog, nullptr);
    EXPECT_EQ(a.chan.txlog->capacity, 1024);
    EXPECT_EQ(a.chan.txlog->entry_size, 88);
    EXPECT_EQ(a.chan.txlog->count, 0);
    EXPECT_EQ(a.poll.stopped, 0);
    EXPECT_EQ(a.poll.poll_source, (uint32_t)-1);
    EXPECT_EQ(a.poll.status_source, (uint32_t)-1);
    EXPECT_EQ(a.pgmgr.loadrelease, 0);
    EXPECT_EQ(a.pgmgr.changes_pending, 0);
    EXPECT_EQ(a.pgmgr.head, nullptr);
    EXPECT_EQ(a.pgmgr.count, 0);
    EXPECT_NE(a.install_dir[0], '\0');
    EXPECT_STREQ(a.pgmgr.install_dir, a.install_dir);
    EXPECT_EQ(a.session.load_file[0], '\0');
    EXPECT_EQ(a.session.auto_file[0], '\0');
    EXPECT_TRUE(all_slots_filled(a.gui.ops));
    EXPECT_TRUE(all_slots_filled(a.chan.ops));
    EXPECT_TRUE(all_slots_filled(a.poll.ops));
    EXPECT_TRUE(all_slots_filled(a.pgmgr.ops));
    EXPECT_TRUE(all_slots_filled(a.session.ops));
    EXPECT_TRUE(all_slots_filled(a.ops));
    txlog_free(the_app.chan.txlog);
    the_app.chan.txlog = nullptr;
}

// ------------------------------------------------- run loop with fakes

std::vector<std::string> calls;
int mode_at_poll_start[2];
int passes;
int32_t load_result;

nb_app *fake_app()
{
    calls.clear();
    passes = 0;
    load_result = 0;
    app_init();
    nb_app *a = &the_app;
    txlog_free(a->chan.txlog);
    a->chan.txlog = nullptr;
    a->gui.ops.choose_channel = [](nb_app *) {
        calls.push_back("choose");
        return (int)NB_CHOICE_MADE;
    };
    a->session.ops.make_paths = [](nb_session *, uint8_t n) {
        calls.push_back("paths " + std::to_string(n));
    };
    a->ops.setup = [](nb_app *) {
        calls.push_back("setup");
        return (int32_t)0;
    };
    a->pgmgr.ops.pgmgr_scan = [](nb_pgmgr *) { calls.push_back("scan"); };
    a->pgmgr.ops.pgmgr_autoload = [](nb_app *) { calls.push_back("autoload"); };
    a->session.ops.load_auto = [](nb_app *) {
        calls.push_back("load_auto");
        return (int32_t)-1;   // a missing automatic session is normal
    };
    a->session.ops.load = [](nb_app *app, const char *path) {
        calls.push_back(std::string("load ") + path);
        return load_result;
    };
    a->poll.ops.start = [](nb_app *app) {
        calls.push_back("poll start");
        mode_at_poll_start[passes < 2 ? passes : 1] = app->mode;
        // The first pass asks for a restart, as "Load session" does.
        if (passes++ == 0) {
            app->mode = 1;
            g_strlcpy(app->session.load_file, "/tmp/x.nbs", sizeof app->session.load_file);
        }
        g_idle_add([](gpointer) -> gboolean {
            gtk_main_quit();
            return FALSE;
        }, nullptr);
    };
    a->session.ops.autosave = [](nb_app *) {
        calls.push_back("autosave");
        return (int32_t)0;
    };
    a->poll.ops.stop = [](nb_app *) { calls.push_back("poll stop"); };
    a->pgmgr.ops.pgmgr_release_all = [](nb_pgmgr *) { calls.push_back("release"); };
    a->ops.teardown = [](nb_app *) { calls.push_back("teardown"); };
    return a;
}

TEST(RunLoop, PassOrderAndRestartThroughMode)
{
    nb_app *a = fake_app();
    a->chan.number = 3;
    a->ops.run(a);
    const std::vector<std::string> pass1 = {"scan",  "choose",    "paths 3", "setup",
                                            "autoload", "load_auto", "poll start", "autosave",
                                            "poll stop", "release", "teardown"};
    const std::vector<std::string> pass2 = {"scan",  "paths 3",   "setup",     "autoload",
                                            "load /tmp/x.nbs", "poll start", "autosave",
                                            "poll stop", "release", "teardown"};
    std::vector<std::string> want = pass1;
    want.insert(want.end(), pass2.begin(), pass2.end());
    EXPECT_EQ(calls, want);
    EXPECT_EQ(mode_at_poll_start[0], 0);
    EXPECT_EQ(mode_at_poll_start[1], 0);   // cleared once the session was read
    EXPECT_EQ(a->mode, 0);
}

TEST(RunLoop, ClosingTheMainWindowEndsThePassWithoutTouchingIt)
{
    // The real channel, window, poller and session parts; plug-ins left out.
    coretest::init_library("0=sim:channels=2,traffic=none");
    app_init();
    nb_app *a = &the_app;
    a->gui.ops.choose_channel = [](nb_app *app) {
        app->chan.number = 1;
        app->chan.frame_format = ZK_OPEN_STD;
        return (int)NB_CHOICE_MADE;
    };
    a->pgmgr.ops.pgmgr_scan = [](nb_pgmgr *) {};
    a->pgmgr.ops.pgmgr_autoload = [](nb_app *) {};
    static GtkWidget *closed;
    closed = nullptr;
    // Once the pass is live, close the window as a window manager would.
    guint source = g_timeout_add(50, [](gpointer) -> gboolean {
        if (!nb_mainwin || !gtk_widget_get_mapped(nb_mainwin) || gtk_main_level() != 1)
            return TRUE;
        closed = nb_mainwin;
        GdkEvent *ev = gdk_event_new(GDK_DELETE);
        ev->any.window = GDK_WINDOW(g_object_ref(gtk_widget_get_window(nb_mainwin)));
        ev->any.send_event = TRUE;
        gtk_main_do_event(ev);
        gdk_event_free(ev);
        return FALSE;
    }, nullptr);
    a->ops.run(a);
    EXPECT_NE(closed, nullptr);
    EXPECT_EQ(nb_mainwin, nullptr);
    EXPECT_EQ(a->mode, 0);
    EXPECT_EQ(a->poll.poll_source, (uint32_t)-1);
    // The channel was closed: it can be opened again.
    EXPECT_GE(ZkOpen(1, ZK_OPEN_STD), 0);
    ZkClose(1);
    if (!closed)
        g_source_remove(source);
    txlog_free(a->chan.txlog);
    a->chan.txlog = nullptr;
}

// A pass that cannot go on ends the run loop with the exit code and leaves
// the message for main; what the pass holds is released on the way out.
TEST(RunLoop, FatalEndsReturnTheirExitCodeAndTheMessage)
{
    nb_app *a = fake_app();
    a->mode = 1;
    g_strlcpy(a->session.load_file, "/tmp/missing.nbs", sizeof a->session.load_file);
    load_result = -1;
    {
        nbtest::DialogDriver d;
        EXPECT_EQ(a->ops.run(a), NB_EXIT_OK);
        EXPECT_TRUE(d.seen().empty()) << "main shows the message";
    }
    EXPECT_EQ(std::string(a->end_text).rfind("Can not load session from file \"/tmp/missing.nbs\"", 0),
              0u)
        << a->end_text;
    EXPECT_EQ(calls, (std::vector<std::string>{"scan", "paths 0", "setup", "autoload",
                                               "load /tmp/missing.nbs", "release",
                                               "teardown"}));

    a = fake_app();
    a->gui.ops.choose_channel = [](nb_app *) {
        calls.push_back("choose");
        return (int)NB_CHOICE_CANCELLED;
    };
    EXPECT_EQ(a->ops.run(a), NB_EXIT_OK);
    EXPECT_EQ(calls, (std::vector<std::string>{"scan", "choose", "release"}));

    a = fake_app();
    a->gui.ops.choose_channel = [](nb_app *) { return (int)NB_CHOICE_NO_CHANNEL; };
    EXPECT_EQ(a->ops.run(a), NB_EXIT_FAIL);

    a = fake_app();
    a->ops.setup = [](nb_app *) {
        calls.push_back("setup");
        return (int32_t)-3;
    };
    EXPECT_EQ(a->ops.run(a), NB_EXIT_FAIL);
    EXPECT_EQ(calls, (std::vector<std::string>{"scan", "choose", "paths 0", "setup", "release"}));
}

// ------------------------------------------------------------- teardown

struct Closes {
    static int count;
    static int32_t close(nb_chan *) { return ++count, 0; }
};
int Closes::count = 0;

TEST(Teardown, DestroysALiveWindowAndSparesADestroyedOne)
{
    app_init();
    nb_app *a = &the_app;
    txlog_free(a->chan.txlog);
    a->chan.txlog = nullptr;
    a->chan.ops.close = Closes::close;
    Closes::count = 0;

    GtkWidget *win = gtk_window_new(GTK_WINDOW_TOPLEVEL);
    GtkWidget *watch = win;
    g_object_add_weak_pointer(G_OBJECT(win), reinterpret_cast<gpointer *>(&watch));
    nb_mainwin = win;
    a->ops.teardown(a);
    EXPECT_EQ(nb_mainwin, nullptr);
    EXPECT_EQ(watch, nullptr);   // destroyed and gone
    EXPECT_EQ(Closes::count, 1);

    // The user closed it already: only the channel is closed.
    nb_mainwin = nullptr;
    a->ops.teardown(a);
    EXPECT_EQ(Closes::count, 2);
}

TEST(StateChanged, RefreshesInformsPluginsAndSavesOnlyWhenAsked)
{
    app_init();
    nb_app *a = &the_app;
    txlog_free(a->chan.txlog);
    a->chan.txlog = nullptr;
    calls.clear();
    a->gui.ops.refresh_info_panel = [](nb_app *) { calls.push_back("refresh"); };
    a->pgmgr.ops.pgmgr_status = [](nb_pgmgr *) { calls.push_back("status"); };
    a->session.ops.autosave = [](nb_app *) {
        calls.push_back("autosave");
        return (int32_t)0;
    };
    a->ops.state_changed(a, 0);
    EXPECT_EQ(calls, (std::vector<std::string>{"refresh", "status"}));
    calls.clear();
    a->ops.state_changed(a, 1);
    EXPECT_EQ(calls, (std::vector<std::string>{"refresh", "status", "autosave"}));
}

// ------------------------------------------------ fatal ends of opening

// Each step of opening that the library rejects: setup returns its code
// and leaves the step's text with the library's description for main.
TEST(Setup, EachRejectedStepReturnsItsCodeAndMessage)
{
    char desc[512] = "";
    ZkStrError(ZK_E_IO, desc, sizeof desc);
    const char *const steps[][2] = {{"ZkOpen", "can not open CAN channel"},
                                    {"ZkSetBaud", "can not set baud rate"},
                                    {"ZkSetWriteTout", "can not set write timeout"}};
    for (const auto &step : steps) {
        coretest::init_library("0=sim:channels=2,traffic=none");
        app_init();
        nb_app *a = &the_app;
        txlog_free(a->chan.txlog);
        a->chan.txlog = nullptr;
        a->gui.ops.build_main_window = [](nb_app *) { ADD_FAILURE() << "window built"; };
        nbtest::DialogDriver d;
        zk_sim_fail_next(step[0], ZK_E_IO);
        EXPECT_LT(a->ops.setup(a), 0) << step[0];
        EXPECT_EQ(std::string(a->end_text), std::string(step[1]) + ": " + desc);
        EXPECT_TRUE(d.seen().empty());
        // Nothing stays open: the channel opens again.
        EXPECT_GE(ZkOpen(0, ZK_OPEN_STD), 0) << step[0];
        ZkClose(0);
    }
}

}  // namespace

// -------------------------------- settings read from the pass's session

namespace {

struct seen_in_force {
    uint32_t bitrate;
    uint16_t wtout;
    int passed_filter;
    int rejected_by_filter;
    int lom;
    int told_baud;     /* the rate the plug-ins were last told, -1 none */
    uint32_t bitrate_at_plugins;   /* in force when the first plug-in starts */
} in_force;

uint8_t lom_left_by_previous_pass;

void run_one_pass_with_session(int32_t (*load_auto)(nb_app *))
{
    coretest::init_library("0=sim:channels=2,traffic=none,rate=250");
    app_init();
    nb_app *a = &the_app;
    memset(&in_force, 0, sizeof in_force);
    in_force.told_baud = -1;
    a->pgmgr.ops.pgmgr_status = [](nb_pgmgr *) { in_force.told_baud = the_app.chan.baud_index; };
    a->gui.ops.choose_channel = [](nb_app *app) {
        app->chan.number = 0;
        app->chan.frame_format = ZK_OPEN_BOTH;
        app->chan.lom = lom_left_by_previous_pass;
        return (int)NB_CHOICE_MADE;
    };
    a->pgmgr.ops.pgmgr_scan = [](nb_pgmgr *) {};
    a->pgmgr.ops.pgmgr_autoload = [](nb_app *) {
        zk_chipstat st;
        memset(&st, 0, sizeof st);
        ZkChipStat(0, &st);
        in_force.bitrate_at_plugins = st.bitrate;
    };
    if (load_auto)
        a->session.ops.load_auto = load_auto;
    a->session.ops.autosave = [](nb_app *) { return (int32_t)0; };
    // Once the pass is live, look at what the adapter has in force.
    a->poll.ops.start = [](nb_app *app) {
        zk_chipstat st;
        memset(&st, 0, sizeof st);
        ZkChipStat(0, &st);
        in_force.bitrate = st.bitrate;
        in_force.lom = st.lom;
        ZkWriteTout(0, 0, &in_force.wtout);
        ZkStart(0);
        zk_frame pass = coretest::std_frame(0x123), reject = coretest::std_frame(0x456);
        zk_sim_inject(0, &reject);
        zk_sim_inject(0, &pass);
        zk_frame got[4];
        int n = ZkRead(0, got, 4);
        for (int i = 0; i < n; i++)
            (got[i].id == 0x123 ? in_force.passed_filter : in_force.rejected_by_filter)++;
        ZkStop(0);
        g_idle_add([](gpointer) -> gboolean {
            gtk_main_quit();
            return FALSE;
        }, nullptr);
    };
    a->poll.ops.stop = [](nb_app *) {};
    a->ops.run(a);
    txlog_free(a->chan.txlog);
    a->chan.txlog = nullptr;
}

}  // namespace

TEST(RunLoop, SettingsReadFromTheSessionAreInForceInTheSamePass)
{
    lom_left_by_previous_pass = 1;
    run_one_pass_with_session([](nb_app *app) {
        app->chan.baud_index = 6;      // 250 kbit/s; opened at 500
        app->chan.wtout = 40;
        app->chan.acc_code = 0x123;
        app->chan.acc_mask = 0x7FF;
        return (int32_t)0;
    });
    EXPECT_EQ(in_force.bitrate, 250000u);
    EXPECT_EQ(the_app.chan.baud_index, 6);
    EXPECT_EQ(in_force.told_baud, 6) << "the plug-ins know the session's rate";
    EXPECT_EQ(in_force.wtout, the_app.chan.wtout);
    EXPECT_EQ(the_app.chan.wtout, 40);
    EXPECT_EQ(in_force.passed_filter, 1);
    EXPECT_EQ(in_force.rejected_by_filter, 0);
    EXPECT_EQ(in_force.lom, 1);
    EXPECT_EQ(the_app.chan.lom, 1);
    lom_left_by_previous_pass = 0;
}

// The plug-ins start with the session's rate (their first status line
// names it), the listen-only mode and filter following once it is read.
TEST(RunLoop, PluginsStartWithTheAutomaticSessionsRate)
{
    nb_session ses;
    memset(&ses, 0, sizeof ses);
    session_fill_ops(&ses.ops);
    ses.ops.make_paths(&ses, 0);
    gchar *dir = g_path_get_dirname(ses.auto_file);
    g_mkdir_with_parents(dir, 0700);
    g_free(dir);
    ASSERT_TRUE(nbtest::write_file(ses.auto_file, "[Nimbrel]\nBaud=250\nWtout=40\n"
                                                  "Acode=0x123\nAmask=0x7FF\n"));
    run_one_pass_with_session(nullptr);
    EXPECT_EQ(in_force.bitrate_at_plugins, 250000u);
    EXPECT_EQ(in_force.bitrate, 250000u);
    EXPECT_EQ(the_app.chan.wtout, 40);
    EXPECT_EQ(in_force.passed_filter, 1);
    EXPECT_EQ(in_force.rejected_by_filter, 0);
    g_unlink(ses.auto_file);
}

TEST(RunLoop, ASessionRateTheAdapterRefusesIsRecordedBackAsTheRateInForce)
{
    run_one_pass_with_session([](nb_app *app) {
        app->chan.baud_index = 0;      // manual pair far above 1 Mbit/s
        app->chan.bt0 = 0x00;
        app->chan.bt1 = 0x00;
        return (int32_t)0;
    });
    EXPECT_EQ(in_force.bitrate, 500000u);
    EXPECT_EQ(the_app.chan.baud_index, 7);
    EXPECT_EQ(in_force.passed_filter + in_force.rejected_by_filter, 0);  // 250 bus, 500 controller
}
