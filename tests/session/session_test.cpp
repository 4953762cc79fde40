/*
 * Session management in-process: the paths of a channel, autosave for
 * plug-ins, the Save session dialog, reset to defaults and quitting.
 */
#include <errno.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

#include <glib/gstdio.h>

#include <memory>

#include "app/platform.h"
#include "gui_driver.h"
#include "ses_fixture.h"
#include "session/session_file.h"
#include "test_env.h"

using namespace sestest;
using strings = std::vector<std::string>;

namespace {

/* An action for a file chooser: note the name it offers, then choose
 * folder/name. */
nbtest::DialogDriver::Action choose(const std::string &folder, const char *name,
                                    std::string *offered = nullptr)
{
    auto noted = std::make_shared<bool>(false);
    auto pick = nbtest::choose_path(folder + "/" + name);
    return [=](GtkDialog *d) {
        if (!*noted && offered) {
            GtkWidget *entry = nbtest::find_by_type(GTK_WIDGET(d), GTK_TYPE_ENTRY);
            if (entry)
                *offered = gtk_entry_get_text(GTK_ENTRY(entry));
        }
        *noted = true;
        return pick(d);
    };
}

class Session : public HostTest {
protected:
    void SetUp() override
    {
        HostTest::SetUp();
        app().chan.number = 3;
        app().session.ops.make_paths(&app().session, 3);
        g_unlink(app().session.auto_file);   /* one data folder for all tests */
        memset(app().session.folders, 0, sizeof app().session.folders);
    }
    /* Runs fn from inside a GTK main loop; returns whether the loop was
     * left by fn (and not by the deadline). */
    bool run_in_main_loop(void (*fn)(nb_app *))
    {
        struct ctx {
            void (*fn)(nb_app *);
            bool timed_out;
        } c{fn, false};
        g_idle_add(
            [](gpointer p) -> gboolean {
                auto *c = static_cast<ctx *>(p);
                c->fn(&the_app);
                return FALSE;
            },
            &c);
        guint guard = g_timeout_add(
            20000,
            [](gpointer p) -> gboolean {
                static_cast<ctx *>(p)->timed_out = true;
                gtk_main_quit();
                return FALSE;
            },
            &c);
        gtk_main();
        if (!c.timed_out)
            g_source_remove(guard);
        return !c.timed_out;
    }
};

TEST_F(Session, PathsOfAChannel)
{
    const std::string data = g_get_user_data_dir();
    const std::string own = data + "/nimbrel";
    EXPECT_EQ(std::string(app().session.auto_file), own + "/.nbauto-ch3.nbs");
    char desktop[NB_TEXT_MAX];
    ASSERT_EQ(nbsdep_desktop_dir(desktop, sizeof desktop), 0);
    EXPECT_STREQ(app().session.desktop_dir, desktop);

    /* The data folder and the program's folder in it are created when
     * they are missing. */
    ASSERT_EQ(g_rmdir(own.c_str()), 0);
    ASSERT_EQ(g_rmdir(data.c_str()), 0);
    app().session.ops.make_paths(&app().session, 255);
    EXPECT_TRUE(g_file_test(own.c_str(), G_FILE_TEST_IS_DIR));
    EXPECT_EQ(std::string(app().session.auto_file), own + "/.nbauto-ch255.nbs");
}

/* A file an earlier version left directly in the data folder is moved
 * into the program's folder once; it is never overwritten or lost. */
TEST_F(Session, OldAutomaticFileMovesOnceIntoTheProgramsFolder)
{
    const std::string data = g_get_user_data_dir();
    const std::string old_file = data + "/.nbauto-ch3.nbs", own = data + "/nimbrel";
    const std::string new_file = own + "/.nbauto-ch3.nbs";
    nbtest::write_file(old_file, "\n[Nimbrel]\nBaud=3\n");
    app().session.ops.make_paths(&app().session, 3);
    EXPECT_EQ(std::string(app().session.auto_file), new_file);
    EXPECT_EQ(nbtest::read_file(new_file), "\n[Nimbrel]\nBaud=3\n");
    EXPECT_FALSE(g_file_test(old_file.c_str(), G_FILE_TEST_EXISTS));

    /* Read once: a file at the old place later on (an older version run
     * again) is neither read nor moved over the newer one, nor removed. */
    nbtest::write_file(old_file, "\n[Nimbrel]\nBaud=1\n");
    app().session.ops.make_paths(&app().session, 3);
    EXPECT_EQ(nbtest::read_file(new_file), "\n[Nimbrel]\nBaud=3\n");
    EXPECT_EQ(nbtest::read_file(old_file), "\n[Nimbrel]\nBaud=1\n");

    /* Without a folder of its own (a file holds the name) the old file
     * stays in use where it is. */
    g_unlink(new_file.c_str());
    ASSERT_EQ(g_rmdir(own.c_str()), 0);
    nbtest::write_file(own, "");
    app().session.ops.make_paths(&app().session, 3);
    EXPECT_EQ(std::string(app().session.auto_file), old_file);
    EXPECT_EQ(nbtest::read_file(old_file), "\n[Nimbrel]\nBaud=1\n");
    g_unlink(own.c_str());
    g_unlink(old_file.c_str());
    app().session.ops.make_paths(&app().session, 3);
}

TEST_F(Session, FirstStartHasNoFileAndAutosaveCreatesIt)
{
    const std::string autof = app().session.auto_file;
    nbtest::DialogDriver driver;
    EXPECT_EQ(app().session.ops.load_auto(&app()), -1);   /* silent */
    EXPECT_EQ(app().session.ops.reload_plugin_settings(&app()), -1);
    load(1);
    EXPECT_EQ(nbpg_autosave(), 0);
    std::string text = nbtest::read_file(autof);
    EXPECT_EQ(text.substr(0, 60).find("Chan"), std::string::npos);
    EXPECT_NE(text.find("LoadPlugin=" + plugin_path(1) + "\n"), std::string::npos);
    EXPECT_EQ(events_of("RecA"), (strings{"INIT", "SAVE size=8 chan=3"}));
    nbtest::pump();
    EXPECT_TRUE(driver.seen().empty());

    /* The next pass reads it back in automatic mode. */
    app().pgmgr.ops.pgmgr_release_all(&app().pgmgr);
    app().pgmgr.ops.pgmgr_scan(&app().pgmgr);
    EXPECT_EQ(app().session.ops.load_auto(&app()), 0);
    EXPECT_EQ(entry(1)->loaded, 1);
}

// The filters of a file chooser and the folder it starts in.
struct ChooserLook {
    std::vector<std::string> filters;
    std::string chosen_filter, folder;
};
nbtest::DialogDriver::Action look_then(ChooserLook *look, nbtest::DialogDriver::Action next)
{
    return [=](GtkDialog *d) {
        GtkFileChooser *fc = GTK_FILE_CHOOSER(d);
        if (look->folder.empty()) {
            gchar *cur = gtk_file_chooser_get_current_folder(fc);
            if (!cur)
                return false;   // ask again once the folder is there
            look->folder = cur;
            g_free(cur);
            GSList *filters = gtk_file_chooser_list_filters(fc);
            for (GSList *l = filters; l; l = l->next)
                look->filters.push_back(gtk_file_filter_get_name(GTK_FILE_FILTER(l->data)));
            g_slist_free(filters);
            GtkFileFilter *f = gtk_file_chooser_get_filter(fc);
            look->chosen_filter = f ? gtk_file_filter_get_name(f) : "";
        }
        return next(d);
    };
}

TEST_F(Session, SaveAndLoadShareFiltersAndFolder_ANameWithoutExtensionGetsIt)
{
    nbtest::DialogDriver driver;
    std::string offered;
    ChooserLook save_look, load_look;
    driver.then(look_then(&save_look, choose(dir_, "plain", &offered)));
    on_save_session(nullptr, &app());
    EXPECT_EQ(offered, "nbses-ch3.nbs");
    ASSERT_EQ(driver.seen().size(), 1u);
    EXPECT_EQ(driver.seen()[0].title, "Save Current Session");
    /* A full save; the next Load, which shows *.nbs, finds it. */
    EXPECT_FALSE(g_file_test((dir_ + "/plain").c_str(), G_FILE_TEST_EXISTS));
    EXPECT_EQ(nbtest::read_file(dir_ + "/plain.nbs").find("Chan=3\nFlags="), 49u);
    const std::vector<std::string> filters = {"Nimbrel sessions (*.nbs)", "All files"};
    EXPECT_EQ(save_look.filters, filters);
    EXPECT_EQ(save_look.chosen_filter, filters[0]);

    /* The bare name again: the file it stands for exists, so the question
     * the chooser asks for an existing name is asked for it. */
    ASSERT_TRUE(nbtest::write_file(dir_ + "/plain.nbs", "old"));
    driver.then(choose(dir_, "plain"));
    driver.respond(GTK_RESPONSE_YES);
    on_save_session(nullptr, &app());
    ASSERT_EQ(driver.seen().size(), 3u);
    EXPECT_NE(driver.seen()[2].text.find("\"plain.nbs\" already exists"), std::string::npos);
    EXPECT_NE(nbtest::read_file(dir_ + "/plain.nbs"), "old");

    driver.then(look_then(&load_look, [](GtkDialog *d) {
        nbtest::dialog_respond(d, GTK_RESPONSE_CANCEL);
        return true;
    }));
    EXPECT_EQ(choose_session_file(&app()), 0);
    EXPECT_EQ(load_look.filters, filters);
    /* The first chooser starts in the desktop folder, the next where the
     * last session file was chosen, which the session keeps. */
    EXPECT_EQ(save_look.folder, std::string(app().session.desktop_dir));
    EXPECT_EQ(load_look.folder, dir_);
    EXPECT_NE(nbtest::read_file(dir_ + "/plain.nbs").find("\nSessionFolder=" + dir_ + "\n"),
              std::string::npos);
}

// The folders plug-ins hand over are kept only as the session can carry
// them back, and given only while they still are folders.
TEST_F(Session, FolderStoreKeepsOnlyWhatReadsBackAndGivesOnlyFolders)
{
    char buf[NB_FOLDER_MAX];
    EXPECT_EQ(nb_get_folder(NB_FOLDER_LOGS, buf, sizeof buf), -1) << "none known yet";
    EXPECT_EQ(buf[0], '\0');
    const std::string gone = dir_ + "/gone";
    ASSERT_EQ(g_mkdir(gone.c_str(), 0700), 0);
    for (const std::string &bad : {std::string("relative/dir"), dir_ + "\nBaud=10", dir_ + "\r",
                                   "/" + std::string(NB_FOLDER_MAX, 'x')})
        EXPECT_EQ(nb_set_folder(NB_FOLDER_LOGS, bad.c_str()), -1) << bad;
    EXPECT_EQ(nb_set_folder(NB_FOLDER_KINDS, dir_.c_str()), -1);
    EXPECT_EQ(nb_set_folder(NB_FOLDER_DBC, gone.c_str()), 0);
    EXPECT_EQ(nb_get_folder(NB_FOLDER_DBC, buf, 4), -1) << "does not fit";
    ASSERT_EQ(nb_get_folder(NB_FOLDER_DBC, buf, sizeof buf), 0);
    EXPECT_EQ(gone, buf);
    ASSERT_EQ(g_rmdir(gone.c_str()), 0);
    EXPECT_EQ(nb_get_folder(NB_FOLDER_DBC, buf, sizeof buf), -1) << "no folder any more";
    EXPECT_EQ(nb_get_folder(NB_FOLDER_LOGS, buf, sizeof buf), -1);
}

TEST_F(Session, SaveThatCannotBeWrittenShowsTheError)
{
    /* Files may not grow past 8 kB, and the plug-in writes 20 kB. */
    load(1);
    g_setenv("REC_SAVE_BIG", "20", TRUE);
    const std::string existing = write_temp("old", "x.nbs");
    rlimit old{};
    getrlimit(RLIMIT_FSIZE, &old);
    signal(SIGXFSZ, SIG_IGN);
    nbtest::DialogDriver driver;
    auto pick = choose(dir_, "x.nbs");
    driver.then([&](GtkDialog *d) {
        rlimit lim = old;
        lim.rlim_cur = 8192;
        setrlimit(RLIMIT_FSIZE, &lim);
        return pick(d);
    });
    driver.respond(GTK_RESPONSE_ACCEPT);   /* replace the existing file */
    driver.respond(GTK_RESPONSE_OK);
    on_save_session(nullptr, &app());
    setrlimit(RLIMIT_FSIZE, &old);
    g_unsetenv("REC_SAVE_BIG");
    ASSERT_EQ(driver.seen().size(), 3u);
    /* Which file failed and the system's reason. */
    EXPECT_EQ(driver.seen()[2].text, "Can not save current session: can not write " + dir_ +
                                         "/.x.nbs.nbtmp: " + g_strerror(EFBIG));
    EXPECT_EQ(driver.seen()[2].type, GTK_MESSAGE_ERROR);
    EXPECT_EQ(nbtest::read_file(existing), "old");
}

TEST_F(Session, CancelledSaveWritesNothing)
{
    nbtest::DialogDriver driver;
    driver.respond(GTK_RESPONSE_CANCEL);
    on_save_session(nullptr, &app());
    EXPECT_TRUE(driver.done());
    EXPECT_FALSE(g_file_test(app().session.auto_file, G_FILE_TEST_EXISTS));
    EXPECT_EQ(driver.seen().size(), 1u);
}

TEST_F(Session, ResetAnsweredNoChangesNothing)
{
    load(1);
    app().chan.baud_index = 3;
    nbtest::DialogDriver driver;
    driver.respond(GTK_RESPONSE_NO);
    on_reset_session(nullptr, &app());
    ASSERT_EQ(driver.seen().size(), 1u);
    EXPECT_EQ(driver.seen()[0].text,
              "Are you sure you want reset session to defaults (Nimbrel will be restarted)?");
    EXPECT_EQ(app().mode, 0);
    EXPECT_EQ(app().chan.baud_index, 3);
    EXPECT_EQ(entry(1)->loaded, 1);
    EXPECT_FALSE(g_file_test(app().session.auto_file, G_FILE_TEST_EXISTS));
}

TEST_F(Session, ResetWritesDefaultsAndLeavesTheMainLoop)
{
    load(1);
    nb_chan &c = app().chan;
    c.frame_format = 2;
    c.acc_code = 0x55;
    c.acc_mask = 0x66;
    c.baud_index = 0;
    c.bt0 = 0x12;
    c.bt1 = 0x34;
    c.wtout = 999;
    c.lom = 1;
    nbtest::DialogDriver driver;
    driver.respond(GTK_RESPONSE_YES);
    ASSERT_TRUE(run_in_main_loop([](nb_app *a) { on_reset_session(nullptr, a); }));

    EXPECT_EQ(app().mode, 1);
    EXPECT_STREQ(app().session.load_file, app().session.auto_file);
    EXPECT_EQ(app().pgmgr.count, 0);
    EXPECT_EQ(events_of("RecA"), (strings{"INIT", "RELEASE"}));
    EXPECT_EQ(c.lom, 0);
    EXPECT_EQ(c.bt0, 0x12);   /* kept */
    EXPECT_EQ(c.bt1, 0x34);
    EXPECT_EQ(nbtest::read_file(app().session.auto_file),
              "\n[Nimbrel]\nHsize=1000\nVsize=650\nLeftPaneSize=250\nChan=3\nFlags=BOTH\n"
              "Baud=500\nAmask=0x0\nAcode=0x0\nWtout=20\n");

    /* The next pass reads that file in file mode. */
    c.number = 0;
    c.frame_format = 0;
    app().mode = 0;
    app().pgmgr.ops.pgmgr_scan(&app().pgmgr);
    EXPECT_EQ(app().session.ops.load(&app(), app().session.load_file), 0);
    EXPECT_EQ(c.number, 3);
    EXPECT_EQ(c.frame_format, 6);
    EXPECT_EQ(entry(1)->loaded, 0);
}

TEST_F(Session, QuitLeavesTheMainLoopWithoutWriting)
{
    app().mode = 0;
    ASSERT_TRUE(run_in_main_loop([](nb_app *a) { quit_main_loop(nullptr, a); }));
    EXPECT_EQ(app().mode, 0);
    EXPECT_FALSE(g_file_test(app().session.auto_file, G_FILE_TEST_EXISTS));
}

TEST_F(Session, LoadSessionFromTheMenuRestarts)
{
    const std::string file = write_temp("[Nimbrel]\nChan=4\n", "chosen.nbs");
    nbtest::DialogDriver driver;
    driver.then(choose(dir_, "chosen.nbs"));
    ASSERT_TRUE(run_in_main_loop([](nb_app *a) { on_load_session(nullptr, a); }));
    EXPECT_EQ(app().mode, 1);
    EXPECT_EQ(std::string(app().session.load_file), file);
}

TEST_F(Session, AutosaveFailureIsReported)
{
    g_strlcpy(app().session.auto_file, "/nonexistent-folder/.nbauto-ch3.nbs",
              sizeof app().session.auto_file);
    EXPECT_LT(nbpg_autosave(), 0);
    app().session.auto_file[0] = '\0';
    EXPECT_LT(nbpg_autosave(), 0);
}

}  // namespace
