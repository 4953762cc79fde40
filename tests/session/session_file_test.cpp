/*
 * The session file format: exact bytes of full and automatic saves, the
 * three load modes, the plug-in sections delivered to recorder plug-ins
 * loaded through the real manager, refusals with their messages, the
 * crash-safe write and LoadPlugin paths that must never be loaded.
 */
#include <fcntl.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

#include <glib/gstdio.h>

#include "gui_driver.h"
#include "ses_fixture.h"
#include "session/session_file.h"
#include "test_env.h"

using namespace sestest;
using strings = std::vector<std::string>;

namespace {

class SessionFile : public HostTest {
protected:
    /* Reads text in a mode; parse errors are answered and kept. */
    int32_t read(const std::string &text, int mode)
    {
        nbtest::DialogDriver driver;
        driver.respond(GTK_RESPONSE_OK);
        int32_t rc = session_read(&app(), write_temp(text).c_str(), mode);
        messages.clear();
        for (const auto &s : driver.seen())
            messages.push_back(s.text);
        return rc;
    }
    std::string saved(int automatic)
    {
        std::string path = dir_ + "/out.nbs";
        EXPECT_EQ(session_write(&app(), path.c_str(), automatic), 0);
        return nbtest::read_file(path);
    }
    strings messages;
};

const char *all_keys =
    "[Nimbrel]\n"
    "Hsize=1200\nVsize=0x300\nLeftPaneSize=-5\n"
    "Chan=5\nFlags=CAN29\nBaud=125\nBT0=0x1ff\nBT1=7\n"
    "Amask=0xffffffff\nAcode=0x123\nWtout=0x10064\n";

TEST_F(SessionFile, FullSaveWithManualRateAndOnePlugin)
{
    load(1);
    const std::string pa = plugin_path(1);
    /* Give the plug-in two keys to write back. */
    ASSERT_EQ(read("[Plugin]\nPath=" + pa + "\nColor=red\nSize=0x10\n", SES_LOAD_PLUGINS), 0);
    app().chan.baud_index = 0;
    app().chan.bt0 = 3;
    app().chan.bt1 = 0x1c;
    app().chan.frame_format = 6;
    events().clear();

    EXPECT_EQ(saved(0), "\n[Nimbrel]\nHsize=1000\nVsize=650\nLeftPaneSize=250\nChan=0\n"
                        "Flags=BOTH\nBaud=0\nBT0=0x3\nBT1=0x1c\nAmask=0x0\nAcode=0x0\nWtout=20\n"
                        "LoadPlugin=" + pa + "\nPage=" + pa + "\n\n[Plugin]\nPath=" + pa +
                        "\nColor=red\nSize=0x10\n");
    EXPECT_EQ(events_of("RecA"), strings{"SAVE size=8 chan=0"});
}

TEST_F(SessionFile, AutomaticSaveHasNoChanNorFlags)
{
    load(2);
    load(1);
    app().chan.number = 9;
    app().chan.frame_format = 2;
    app().chan.acc_mask = 0xABCDEF;
    app().chan.wtout = 300;
    std::string lp, shown, sections;
    nb_plugin *e = nullptr;
    for (nb_plugin_node *n = app().pgmgr.ops.pgmgr_next(nullptr, &app().pgmgr, &e); n;
         n = app().pgmgr.ops.pgmgr_next(n, &app().pgmgr, &e)) {
        if (!e->loaded)
            continue;
        if (lp.empty())
            shown = std::string("Page=") + e->path + "\n";   // the first page added
        lp += std::string("LoadPlugin=") + e->path + "\n";
        sections += std::string("\n[Plugin]\nPath=") + e->path + "\n";
    }
    EXPECT_EQ(saved(1), "\n[Nimbrel]\nHsize=1000\nVsize=650\nLeftPaneSize=250\nBaud=500\n"
                        "Amask=0xabcdef\nAcode=0x0\nWtout=300\n" + lp + shown + sections);
    EXPECT_EQ(saved(0).find("Chan=9\nFlags=CAN11\nBaud=500\nAmask"), 49u);
    EXPECT_EQ(events_of("RecA"), (strings{"INIT", "SAVE size=8 chan=9", "SAVE size=8 chan=9"}));
}

TEST_F(SessionFile, GeometryIsTheOneTheMainWindowKeeps)
{
    // The main window keeps the fields current, also with a size asked
    // for that the window system has not confirmed yet.
    GtkWidget *win = gtk_window_new(GTK_WINDOW_TOPLEVEL);
    gtk_window_set_default_size(GTK_WINDOW(win), 1000, 650);
    nb_mainwin = win;
    app().gui.hsize = 800;
    app().gui.vsize = 600;
    app().gui.left_pane_size = 123;
    std::string s = saved(1);
    nb_mainwin = nullptr;
    gtk_widget_destroy(win);
    EXPECT_EQ(s.substr(0, 48), "\n[Nimbrel]\nHsize=800\nVsize=600\nLeftPaneSize=123\n");
}

TEST_F(SessionFile, FileModeAppliesEverything)
{
    EXPECT_EQ(read(all_keys, SES_LOAD_FILE), 0);
    const nb_chan &c = app().chan;
    EXPECT_EQ(app().gui.hsize, 1200);
    EXPECT_EQ(app().gui.vsize, 0x300);
    EXPECT_EQ(app().gui.left_pane_size, -5);
    EXPECT_EQ(c.number, 5);
    EXPECT_EQ(c.frame_format, 4);
    EXPECT_EQ(c.baud_index, 5);
    EXPECT_EQ(c.bt0, 0xff);   /* low 8 bits */
    EXPECT_EQ(c.bt1, 7);
    EXPECT_EQ(c.acc_mask, 0xffffffffu);
    EXPECT_EQ(c.acc_code, 0x123u);
    EXPECT_EQ(c.wtout, 100);  /* low 16 bits of 0x10064 */
    EXPECT_TRUE(messages.empty());
}

TEST_F(SessionFile, AutoModeIgnoresChanAndFlagsEvenInvalid)
{
    app().chan.number = 2;
    app().chan.frame_format = 6;
    EXPECT_EQ(read(std::string(all_keys) + "Chan=garbage\nFlags=nonsense\n", SES_LOAD_AUTO), 0);
    EXPECT_EQ(app().chan.number, 2);
    EXPECT_EQ(app().chan.frame_format, 6);
    EXPECT_EQ(app().chan.baud_index, 5);
    EXPECT_EQ(app().gui.hsize, 1200);
    EXPECT_EQ(app().chan.wtout, 100);
}

TEST_F(SessionFile, PluginsModeChangesNoValueButChecksNames)
{
    load(1);
    EXPECT_EQ(read(std::string(all_keys) + "Baud=300\nLoadPlugin=" + plugin_path(2) +
                       "\n[Nimbrel]\n[Plugin]\nPath=" + plugin_path(1) + "\nK=v\n",
                   SES_LOAD_PLUGINS),
              0);
    EXPECT_EQ(app().chan.number, 0);
    EXPECT_EQ(app().chan.baud_index, 7);
    EXPECT_EQ(app().gui.hsize, 1000);
    EXPECT_EQ(entry(2)->pending, 0);
    EXPECT_EQ(entry(2)->loaded, 0);
    EXPECT_EQ(events_of("RecA"), (strings{"INIT", "BEGIN size=0", "KEY K=v size=640", "END"}));

    EXPECT_EQ(read("[Nimbrel]\nHsize=1\nColour=red\n", SES_LOAD_PLUGINS), -1042);
    EXPECT_EQ(messages, strings{"parsing error: unknown key at line 3: unrecognized key"});
}

TEST_F(SessionFile, NumberRules)
{
    EXPECT_EQ(read("[Nimbrel]\nChan=257\nWtout=0x7fff0014 # low bits\nBaud=0x1f4\n",
                   SES_LOAD_FILE),
              0);
    EXPECT_EQ(app().chan.number, 1);
    EXPECT_EQ(app().chan.wtout, 20);
    EXPECT_EQ(app().chan.baud_index, 7);

    struct {
        const char *lines;
        const char *message;
    } bad[] = {
        {"Baud=300\n", "syntax error at line 3: bad key value"},
        {"Baud=500kbit\n", "syntax error at line 3: bad key value"},
        {"Hsize=12#note\n", "syntax error at line 3: bad key value"},
        {"Chan=\n", "syntax error at line 3: bad key value"},
        {"Flags=\n", "syntax error at line 3: empty key value"},
        {"Flags=   # none\n", "syntax error at line 3: empty key value"},
        {"Flags=both\n", "syntax error at line 3: bad key value"},
        {"Flags=CAN12\n", "syntax error at line 3: bad key value"},
        {"Wtout=\n", "syntax error at line 3: bad key value"},
    };
    for (const auto &b : bad) {
        EXPECT_EQ(read(std::string("[Nimbrel]\nHsize=10\n") + b.lines, SES_LOAD_FILE), -1040)
            << b.lines;
        EXPECT_EQ(messages, strings{std::string("parsing error: ") + b.message}) << b.lines;
    }

    const struct {
        const char *value;
        int format;
    } flags[] = {{"CAN11", 2}, {"CAN29", 4}, {"BOTH", 6}, {"BOTHER things", 6}, {"CAN11x", 2}};
    for (const auto &f : flags) {
        app().chan.frame_format = 0;
        EXPECT_EQ(read(std::string("[Nimbrel]\nFlags=") + f.value + "\n", SES_LOAD_FILE), 0);
        EXPECT_EQ(app().chan.frame_format, f.format) << f.value;
    }
}

// CAN FD: the mode beside the frame format (full saves, file mode), the
// data rate beside the bit rate; a classic channel's file is as before,
// and an old file read in file mode opens a classic channel.
TEST_F(SessionFile, CanFdKeysAndOldFiles)
{
    nb_chan &c = app().chan;
    c.frame_format = 6;
    c.fd = NB_FD_NON_ISO;
    c.data_kbit = 5000;
    c.data_sp = 750;
    EXPECT_EQ(saved(0).substr(49), "Chan=0\nFlags=BOTH\nFD=NON-ISO\nBaud=500\nDataRate=5000\n"
                                   "DataSP=750\nAmask=0x0\nAcode=0x0\nWtout=20\n");
    EXPECT_EQ(saved(1).substr(49), "FD=NON-ISO\nBaud=500\nDataRate=5000\nDataSP=750\nAmask=0x0\nAcode=0x0\n"
                                   "Wtout=20\n");

    // Read back in file mode: an FD file, then an old one (Flags, no FD).
    c.fd = NB_FD_OFF;
    c.data_kbit = 0;
    c.data_sp = 0;
    ASSERT_EQ(read("[Nimbrel]\nFlags=CAN11\nFD=ISO\nDataRate=2000\nDataSP=800\n", SES_LOAD_FILE),
              0);
    EXPECT_EQ(c.fd, NB_FD_ISO);
    EXPECT_EQ(c.data_kbit, 2000u);
    EXPECT_EQ(c.data_sp, 800);
    ASSERT_EQ(read("[Nimbrel]\nFlags=BOTH\nDataRate=1000\n", SES_LOAD_FILE), 0);
    EXPECT_EQ(c.fd, NB_FD_OFF);
    EXPECT_EQ(c.data_sp, 0);   /* the adapter's default unless the file says */
    EXPECT_EQ(saved(0).find("FD="), std::string::npos);
    EXPECT_EQ(saved(0).find("Data"), std::string::npos);

    // The automatic file keeps the mode of the channel as it was opened.
    ASSERT_EQ(read("[Nimbrel]\nFD=ISO\n", SES_LOAD_AUTO), 0);
    EXPECT_EQ(c.fd, NB_FD_OFF);

    const char *bad[] = {"FD=\n", "FD=iso\n", "FD=ISOLATED\n", "DataRate=0\n",
                         "DataRate=65536\n", "DataSP=1000\n", "DataSP=-1\n"};
    for (const char *line : bad) {
        EXPECT_EQ(read(std::string("[Nimbrel]\n") + line, SES_LOAD_FILE), -1040) << line;
        EXPECT_EQ(messages.size(), 1u) << line;
    }
}

TEST_F(SessionFile, QuitWithoutAskingIsWrittenOnlyWhenSetAndReadBack)
{
    EXPECT_EQ(saved(0).find("Quit"), std::string::npos);
    app().session.quit_unasked = 1;
    EXPECT_NE(saved(1).find("Wtout=20\nQuitWithoutAsking=1\n"), std::string::npos);
    app().session.quit_unasked = 0;
    ASSERT_EQ(read("[Nimbrel]\nQuitWithoutAsking=1\n", SES_LOAD_AUTO), 0);
    EXPECT_EQ(app().session.quit_unasked, 1);
    app().session.quit_unasked = 0;
}

// The time origin choice: written only when it is not the default, read
// in both modes, a word other than the two refused.
TEST_F(SessionFile, TimeOriginKeyOnlyWhenNotTheDefault)
{
    EXPECT_EQ(saved(1).find("TimeOrigin"), std::string::npos);
    ASSERT_EQ(read("[Nimbrel]\nTimeOrigin=START # from the first start\n", SES_LOAD_AUTO), 0);
    EXPECT_EQ(app().time.from_start, 1);
    EXPECT_NE(saved(1).find("\nTimeOrigin=START\n"), std::string::npos);
    ASSERT_EQ(read("[Nimbrel]\nTimeOrigin=PASS\n", SES_LOAD_FILE), 0);
    EXPECT_EQ(app().time.from_start, 0);
    EXPECT_EQ(read("[Nimbrel]\nTimeOrigin=start\n", SES_LOAD_FILE), -1040);
    EXPECT_EQ(app().time.from_start, 0);
}

TEST_F(SessionFile, MainSectionWithoutChanKeepsTheChannel)
{
    ASSERT_EQ(read("[Nimbrel]\nChan=4\n", SES_LOAD_FILE), 0);
    EXPECT_EQ(app().chan.number, 4);
    app().chan.number = 7;
    ASSERT_EQ(read("[Nimbrel]\nBaud=250\n", SES_LOAD_FILE), 0);
    EXPECT_EQ(app().chan.number, 7);
}

TEST_F(SessionFile, SectionRefusals)
{
    EXPECT_EQ(read("[Nimbrel]\nHsize=1\n[Plugin]\n[Nimbrel]\n", SES_LOAD_FILE), -1040);
    EXPECT_EQ(messages, strings{"parsing error: syntax error at line 4: double section definition"});
    EXPECT_EQ(read("\n[Nimbrel]\n[Plugins]\n", SES_LOAD_AUTO), -1041);
    EXPECT_EQ(messages,
              strings{"parsing error: unknown section at line 3: unrecognized section"});
    for (int mode : {SES_LOAD_FILE, SES_LOAD_AUTO, SES_LOAD_PLUGINS}) {
        EXPECT_EQ(read("[Nimbrel]\nHsize =5\n", mode), -1042) << mode;   /* blank before '=' */
        EXPECT_EQ(messages, strings{"parsing error: unknown key at line 2: unrecognized key"});
    }
}

TEST_F(SessionFile, FailureInsideMainSectionSkipsItsEnd)
{
    app().chan.number = 3;
    EXPECT_EQ(read("[Nimbrel]\nChan=9\nLoadPlugin=" + plugin_path(1) + "\nBaud=1\n",
                   SES_LOAD_FILE),
              -1040);
    EXPECT_EQ(app().chan.number, 3);          /* end of section never ran */
    EXPECT_EQ(entry(1)->pending, 1);          /* the mark stays for the poller */
    EXPECT_EQ(entry(1)->loaded, 0);
    EXPECT_EQ(app().pgmgr.changes_pending, 1);
}

TEST_F(SessionFile, KeysBeforeAnyHeaderHaveNoSectionEnd)
{
    EXPECT_EQ(read("Hsize=777\nChan=6\nLoadPlugin=" + plugin_path(1) + "\n", SES_LOAD_FILE), 0);
    EXPECT_EQ(app().gui.hsize, 777);
    EXPECT_EQ(app().chan.number, 0);
    EXPECT_EQ(entry(1)->pending, 1);
    EXPECT_EQ(entry(1)->loaded, 0);
}

TEST_F(SessionFile, LoadPluginThenItsSections)
{
    const std::string pa = plugin_path(1), pb = plugin_path(2);
    std::string text = "[Nimbrel]\nLoadPlugin=" + pa + "\n"
                       "[Plugin]\nBefore=dropped\nPath=" + pa + "\nOne=1\nTwo= 2 # two\n"
                       "[Plugin]\nPath=" + pb + "\nNot=loaded\n"
                       "[Plugin]\nPath=/no/such.so\nGone=x\n"
                       "[Plugin]\nPath=" + pa + "\nThree=3\n";
    for (int mode : {SES_LOAD_FILE, SES_LOAD_AUTO}) {
        app().pgmgr.ops.pgmgr_release_all(&app().pgmgr);
        app().pgmgr.ops.pgmgr_scan(&app().pgmgr);
        events().clear();
        EXPECT_EQ(read(text, mode), 0);
        EXPECT_EQ(entry(1)->loaded, 1);
        EXPECT_EQ(entry(2)->loaded, 0);
        EXPECT_EQ(events_of("RecA"),
                  (strings{"INIT", "BEGIN size=0", "KEY One=1 size=640",
                           "KEY Two=2 # two size=640", "END", "BEGIN size=0",
                           "KEY Three=3 size=640", "END"}));
        EXPECT_TRUE(events_of("RecB").empty());
    }
}

// A key that does not fit the record is never given cut (a cut path is
// another path): a plug-in of the newer interface gets the whole value
// through nbpg_session_key_value, an older one does not get the key and
// the user is told.
TEST_F(SessionFile, PluginKeysAreNeverCut)
{
    load(1);
    load(2);
    std::string key(200, 'k'), value(700, 'v');
    std::string section = "\nShort=1\nLong=" + value + "\n" + key + "=x\n";
    EXPECT_EQ(read("[Plugin]\nPath=" + plugin_path(1) + section + "[Plugin]\nPath=" +
                       plugin_path(2) + section,
                   SES_LOAD_PLUGINS),
              0);
    EXPECT_EQ(events_of("RecA"), (strings{"INIT", "BEGIN size=0", "KEY Short=1 size=640", "END"}));
    EXPECT_EQ(events_of("RecB"), (strings{"INIT", "BEGIN size=0", "KEY Short=1 size=640",
                                          "KEY Long= size=640 whole=" + value, "END"}));
    ASSERT_EQ(messages.size(), 3u);
    EXPECT_NE(messages[0].find("key Long of the plug-in"), std::string::npos) << messages[0];
    EXPECT_NE(messages[0].find("511 for a value"), std::string::npos) << messages[0];
}

TEST_F(SessionFile, PathSwitchWithinOneSection)
{
    load(1);
    load(2);
    EXPECT_EQ(read("[Plugin]\nPath=" + plugin_path(1) + "\nA=1\nPath=/not/loaded.so\nB=2\n"
                   "Path=" + plugin_path(2) + "\nC=3\n",
                   SES_LOAD_PLUGINS),
              0);
    /* An unknown Path keeps the receiver; a known one starts a new one
     * (the earlier receiver gets no end). */
    EXPECT_EQ(events_of("RecA"),
              (strings{"INIT", "BEGIN size=0", "KEY A=1 size=640", "KEY B=2 size=640"}));
    EXPECT_EQ(events_of("RecB"), (strings{"INIT", "BEGIN size=0", "KEY C=3 size=640", "END"}));
}

TEST_F(SessionFile, UnlistedLoadPluginPathsAreNeverLoaded)
{
    /* A copy of a real plug-in outside the plug-in folder, the hostile
     * library, and listed paths spelled differently. */
    std::string copy = dir_ + "/ses_rec1.so";
    std::string bytes = nbtest::read_file(plugin_path(1));
    ASSERT_FALSE(bytes.empty());
    nbtest::write_file(copy, bytes);
    const std::string paths[] = {
        hostile_path(),
        copy,
        std::string(SES_PLUGIN_DIR) + "/../plugins/ses_rec1.so",
        std::string(SES_PLUGIN_DIR) + "//ses_rec1.so",
        plugin_path(1) + " ",
        "ses_rec1.so",
        "/etc/passwd",
        "",
    };
    std::string text = "[Nimbrel]\n";
    for (const auto &p : paths)
        text += "LoadPlugin=" + p + "\n";
    for (int mode : {SES_LOAD_FILE, SES_LOAD_AUTO}) {
        EXPECT_EQ(read(text, mode), 0);
        EXPECT_TRUE(events().empty()) << events().front();
        for (int v = 1; v <= 3; ++v) {
            EXPECT_EQ(entry(v)->loaded, 0);
            EXPECT_EQ(entry(v)->pending, 0);
        }
    }
    /* The listed path itself loads. */
    EXPECT_EQ(read("[Nimbrel]\nLoadPlugin=" + plugin_path(3) + "\n", SES_LOAD_AUTO), 0);
    EXPECT_EQ(entry(3)->loaded, 1);
}

TEST_F(SessionFile, MissingFileIsMinusOneWithoutMessage)
{
    nbtest::DialogDriver driver;
    EXPECT_EQ(session_read(&app(), (dir_ + "/none.nbs").c_str(), SES_LOAD_FILE), -1);
    nbtest::pump();
    EXPECT_TRUE(driver.seen().empty());
    /* A folder is no file to read, and the message says so. */
    driver.respond(GTK_RESPONSE_OK);
    EXPECT_EQ(session_read(&app(), dir_.c_str(), SES_LOAD_FILE), -1024);
    ASSERT_EQ(driver.seen().size(), 1u);
    EXPECT_EQ(driver.seen()[0].text, "parsing error: " + dir_ + " is a folder, not a regular file");
}

TEST_F(SessionFile, SaveAndLoadRoundTrip)
{
    load(1);
    ASSERT_EQ(read("[Plugin]\nPath=" + plugin_path(1) + "\nKeep=this value \n", SES_LOAD_PLUGINS),
              0);
    app().chan.number = 12;
    app().chan.frame_format = 4;
    app().chan.baud_index = 0;
    app().chan.bt0 = 0x41;
    app().chan.bt1 = 0xfe;
    app().chan.acc_code = 0x80000001;
    app().chan.wtout = 65535;
    std::string path = dir_ + "/round.nbs";
    ASSERT_EQ(session_write(&app(), path.c_str(), 0), 0);

    app().pgmgr.ops.pgmgr_release_all(&app().pgmgr);
    txlog_free(app().chan.txlog);
    app_init();
    g_strlcpy(app().pgmgr.install_dir, SES_PLUGIN_DIR, sizeof app().pgmgr.install_dir);
    app().gui.notebook = notebook_;
    app().pgmgr.ops.pgmgr_scan(&app().pgmgr);
    events().clear();
    ASSERT_EQ(read(nbtest::read_file(path), SES_LOAD_FILE), 0);
    EXPECT_EQ(app().chan.number, 12);
    EXPECT_EQ(app().chan.frame_format, 4);
    EXPECT_EQ(app().chan.baud_index, 0);
    EXPECT_EQ(app().chan.bt0, 0x41);
    EXPECT_EQ(app().chan.bt1, 0xfe);
    EXPECT_EQ(app().chan.acc_code, 0x80000001u);
    EXPECT_EQ(app().chan.wtout, 65535);
    EXPECT_EQ(entry(1)->loaded, 1);
    /* The value's trailing blank survives the round trip. */
    EXPECT_EQ(events_of("RecA"),
              (strings{"INIT", "BEGIN size=0", "KEY Keep=this value  size=640", "END"}));
}

TEST_F(SessionFile, GarbledFilesNeverCrashOrLoadUnlisted)
{
    /* Pieces of valid syntax, garbage, NUL bytes and over-long lines,
     * mixed by a fixed pseudo-random sequence. */
    load(1);
    const std::string pieces[] = {
        "[Nimbrel]\n", "[Plugin]\n", "[", "]", "=", "\n", "\r\n", "#", " ", "\t",
        "Path=" + plugin_path(1) + "\n", "LoadPlugin=" + hostile_path() + "\n",
        "LoadPlugin=" + plugin_path(2) + "\n", "Baud=", "Flags=", "Chan=", "0x", "-",
        "99999999999", std::string(1500, 'z'), std::string("\0\0", 2), "\xff\xfe",
        "Hsize=1\n", "Key=value\n",
    };
    uint32_t seed = 12345;
    auto next = [&seed]() { return seed = seed * 1103515245u + 12345u; };
    for (int file = 0; file < 60; ++file) {
        std::string text;
        for (int n = next() % 40; n > 0; --n)
            text += pieces[(next() >> 8) % (sizeof pieces / sizeof pieces[0])];
        int32_t rc = read(text, (int)(next() >> 4) % 3);
        EXPECT_TRUE(rc == 0 || (rc <= -1024 && rc >= -1044)) << rc;
        EXPECT_EQ(messages.empty(), rc == 0);
    }
    for (const auto &e : events())
        EXPECT_EQ(e.find("Hostile"), std::string::npos) << e;
}

/* ------------------------------------------------------ crash-safe write */

struct fsize_limit {
    rlimit old{};
    explicit fsize_limit(rlim_t bytes)
    {
        signal(SIGXFSZ, SIG_IGN);
        getrlimit(RLIMIT_FSIZE, &old);
        rlimit lim = old;
        lim.rlim_cur = bytes;
        setrlimit(RLIMIT_FSIZE, &lim);
    }
    ~fsize_limit() { setrlimit(RLIMIT_FSIZE, &old); }
};

TEST_F(SessionFile, FailedWriteKeepsThePreviousFile)
{
    load(1);
    std::string path = dir_ + "/auto.nbs";
    const std::string previous = "\n[Nimbrel]\nHsize=1\n";
    nbtest::write_file(path, previous);
    int32_t rc;
    {
        /* The plug-in writes 100 kB into a file that may grow to 16 kB. */
        g_setenv("REC_SAVE_BIG", "100", TRUE);
        fsize_limit limit(16 * 1024);
        rc = session_write(&app(), path.c_str(), 1);
        g_unsetenv("REC_SAVE_BIG");
    }
    EXPECT_EQ(rc, -1024);
    EXPECT_EQ(nbtest::read_file(path), previous);

    /* Writing into a folder that cannot be written leaves the file too. */
    chmod(dir_.c_str(), 0555);
    if (access(dir_.c_str(), W_OK) != 0) {   /* not when running as root */
        EXPECT_EQ(session_write(&app(), path.c_str(), 0), -1);
        EXPECT_EQ(nbtest::read_file(path), previous);
    }
    chmod(dir_.c_str(), 0755);

    /* Nothing is left behind, and the next write replaces the file. */
    ASSERT_EQ(session_write(&app(), path.c_str(), 1), 0);
    EXPECT_EQ(nbtest::read_file(path).substr(0, 16), "\n[Nimbrel]\nHsize");
    GDir *d = g_dir_open(dir_.c_str(), 0, nullptr);
    ASSERT_NE(d, nullptr);
    strings names;
    while (const char *n = g_dir_read_name(d))
        names.push_back(n);
    g_dir_close(d);
    for (const auto &n : names)
        EXPECT_TRUE(n == "auto.nbs" || n == "in.nbs") << n;
}

TEST_F(SessionFile, WriteKeepsModeAndFollowsSymlinks)
{
    std::string real = dir_ + "/real.nbs", link = dir_ + "/link.nbs";
    nbtest::write_file(real, "old");
    chmod(real.c_str(), 0600);
    ASSERT_EQ(symlink(real.c_str(), link.c_str()), 0);
    ASSERT_EQ(session_write(&app(), link.c_str(), 1), 0);
    struct stat st;
    ASSERT_EQ(lstat(link.c_str(), &st), 0);
    EXPECT_TRUE(S_ISLNK(st.st_mode));
    ASSERT_EQ(stat(real.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0600u);
    EXPECT_EQ(nbtest::read_file(real).substr(0, 11), "\n[Nimbrel]\n");
}

TEST_F(SessionFile, AutosaveFromInsideASaveIsRefused)
{
    load(1);
    app().session.ops.make_paths(&app().session, 0);
    g_setenv("REC_AUTOSAVE_IN_SAVE", "1", TRUE);
    int32_t rc = session_write(&app(), (dir_ + "/x.nbs").c_str(), 0);
    g_unsetenv("REC_AUTOSAVE_IN_SAVE");
    EXPECT_EQ(rc, 0);
    EXPECT_EQ(events_of("RecA"), (strings{"INIT", "SAVE size=8 chan=0", "nested autosave -1"}));
}

TEST_F(SessionFile, UnconvertiblePathIsMinusOne)
{
    EXPECT_EQ(session_write(&app(), "", 0), -1);
    EXPECT_EQ(session_write(&app(), dir_.c_str(), 0), -1);   /* a folder */
}

}  // namespace
