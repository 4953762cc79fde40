// The logger plug-in (stage/logger.so) loaded by the real plug-in manager
// over the simulated adapter, fed by the real poll tick, and its files
// read back by python-can.
#include <gtest/gtest.h>
#include <fcntl.h>
#include <glib/gstdio.h>
#include <signal.h>
#include <string.h>
#include <sched.h>
#include <sys/mount.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <sstream>
#include <string>
#include <vector>

#include "../sendlog/sl_fixture.h"
#include "can/chanset.h"
#include "fd_frames.h"

namespace {

using sltest::frame;

int64_t now_us()
{
    return (int64_t)((nbsdep_timestamp_get() - NB_TIMESTAMP_UNIX_EPOCH) / 10u);
}

struct Read {
    bool ok = false;
    std::string err;
    std::vector<std::string> lines;   // without the timestamp
    std::vector<double> times;
};

// Reads the file with python-can (Debian's python3-can, system python).
Read read_back(const std::string &kind, const std::string &path)
{
    Read r;
    const char *argv[] = {"/usr/bin/python3", LG_READ_LOG, kind.c_str(), path.c_str(), nullptr};
    gchar *out = nullptr, *err = nullptr;
    gint status = 0;
    GError *error = nullptr;
    if (!g_spawn_sync(nullptr, (gchar **)argv, nullptr, G_SPAWN_DEFAULT, nullptr, nullptr, &out,
                      &err, &status, &error)) {
        r.err = error ? error->message : "spawn failed";
        g_clear_error(&error);
        return r;
    }
    r.ok = g_spawn_check_wait_status(status, nullptr);
    r.err = err ? err : "";
    std::istringstream in(out ? out : "");
    std::string line;
    while (std::getline(in, line)) {
        size_t sp = line.rfind(' ');
        r.lines.push_back(line.substr(0, sp));
        r.times.push_back(g_ascii_strtod(line.c_str() + sp + 1, nullptr));
    }
    g_free(out);
    g_free(err);
    return r;
}

std::string join(const std::vector<std::string> &v)
{
    std::string s;
    for (const std::string &l : v)
        s += l + "\n";
    return s;
}

class Logger : public sltest::PluginTest {
protected:
    // Three channels on the board: the channels test adds two.
    void SetUp() override { load_plugin("logger", LG_STAGE_DIR, "0=sim:channels=3,traffic=none,txq=64"); }

    void set_format(int index)
    {
        gtk_combo_box_set_active(GTK_COMBO_BOX(widget("logger-format")), index);
    }
    void start(const std::string &path)
    {
        gtk_entry_set_text(GTK_ENTRY(widget("logger-file")), path.c_str());
        click("logger-start");
    }
    bool logging() { return !gtk_widget_get_sensitive(widget("logger-start")); }
    std::string message() { return label("logger-message"); }

    // The same traffic for every format: received frames of every kind
    // 1 ms apart, two sent frames, an error report, a last received frame.
    // Returns the lines python-can must give back, in order.
    std::vector<std::string> traffic(const char *chan, int64_t *rx_before, int64_t *rx_after,
                                     int64_t *tx_before, int64_t *tx_after)
    {
        std::vector<zk_frame> rx = {
            frame(0x123, 0, {0xDE, 0xAD, 0xBE, 0xEF}),
            frame(0x18DAF110, ZK_FRAME_EFF, {1, 2, 3, 4, 5, 6, 7, 8}),
            frame(0x7E8, ZK_FRAME_RTR, {}, 8),
            frame(0x5, ZK_FRAME_EFF | ZK_FRAME_RTR, {}, 0),
            frame(0x000, 0, {}),
            frame(0x7FF, 0, {0x00, 0xFF}),
        };
        for (const zk_frame &f : rx) {
            inject(f);
            zk_sim_advance_us(1000);
        }
        *rx_before = now_us();
        tick();
        *rx_after = now_us();

        // Real time passes before the sending, as on a loaded machine,
        // while the adapter's (manual) clock stands still: the frames are
        // sent no earlier than the host's clock says, whatever the
        // adapter's clock says.
        const int64_t gap_from = now_us();
        EXPECT_TRUE(nbtest::wait_until([&] { return now_us() >= gap_from + 5000; }));
        zk_frame t1 = frame(0x100, 0, {0x11, 0x22});
        zk_frame t2 = frame(0x1ABCDEF0, ZK_FRAME_EFF | ZK_FRAME_RTR, {}, 3);
        *tx_before = now_us();
        EXPECT_GE(nb_send_frame(&t1), 0);
        EXPECT_GE(nb_send_frame(&t2), 0);
        zk_sim_advance_us(2000);
        tick();
        // A batch is placed no later than the request that handed it over.
        *tx_after = now_us();

        zk_errs e = {1, 0, 0, 2, 0};
        EXPECT_GE(zk_sim_inject_errors(0, &e), 0);
        tick();

        inject(frame(0x321, 0, {0x42}));
        tick();

        std::string c = chan;
        return {
            "S 123 D 4 DEADBEEF rx " + c,
            "E 18DAF110 D 8 0102030405060708 rx " + c,
            "S 7E8 R 8 - rx " + c,
            "E 5 R 0 - rx " + c,
            "S 0 D 0 - rx " + c,
            "S 7FF D 2 00FF rx " + c,
            "S 100 D 2 1122 tx " + c,
            "E 1ABCDEF0 R 3 - tx " + c,
            "ERR",
            "S 321 D 1 42 rx " + c,
        };
    }

    void check_times(const Read &r, int64_t rx_before, int64_t rx_after, int64_t tx_before,
                     int64_t tx_after)
    {
        ASSERT_EQ(10u, r.times.size());
        // The batch's last frame at the request time (within the host's
        // millisecond steps), the others at their adapter spacing.
        double last = r.times[5] * 1e6;
        EXPECT_GE(last, (double)rx_before - 1000) << std::fixed << last;
        EXPECT_LE(last, (double)rx_after + 1);
        for (int i = 1; i < 6; i++)
            EXPECT_NEAR(1000.0, (r.times[i] - r.times[i - 1]) * 1e6, 2.0) << i;
        // Sent frames at the times the host's stream gives them: placed by
        // the adapter's clock, which stood still while the host's ran and
        // then went on 2 ms before the tick that handed them over.
        for (int i = 6; i < 8; i++) {
            EXPECT_GE(r.times[i] * 1e6, (double)tx_before - 2000 - 1000)
                << i << ": " << r.times[i] * 1e6 - tx_before << " us after tx_before";
            EXPECT_LE(r.times[i] * 1e6, (double)tx_after + 1) << i;
        }
    }
};

TEST_F(Logger, CandumpFileReadsBackInPythonCanExactly)
{
    std::string file = dir_ + "/trace.log";
    start(file);
    ASSERT_TRUE(logging()) << message();
    EXPECT_NE(std::string::npos, label("logger-state").find(file));
    int64_t rb, ra, tb, ta;
    std::vector<std::string> want = traffic("can0", &rb, &ra, &tb, &ta);
    EXPECT_TRUE(nbtest::wait_until(
        [&] { return label("logger-frames").find("Frames written: 9,") != std::string::npos; }))
        << label("logger-frames");
    EXPECT_NE(std::string::npos, label("logger-frames").find("error reports: 1"));
    // On disk within the flush interval, while logging goes on.
    EXPECT_TRUE(nbtest::wait_until(
        [&] { return nbtest::read_file(file).find(" can0 321#42\n") != std::string::npos; },
        3000));
    EXPECT_TRUE(logging());
    click("logger-stop");
    EXPECT_FALSE(logging());

    Read r = read_back("log", file);
    ASSERT_TRUE(r.ok) << r.err;
    EXPECT_EQ(join(want), join(r.lines)) << nbtest::read_file(file);
    check_times(r, rb, ra, tb, ta);

    // The lines as candump writes them; sent frames marked with " T".
    std::string text = nbtest::read_file(file);
    EXPECT_NE(std::string::npos, text.find(" can0 123#DEADBEEF\n")) << text;
    EXPECT_NE(std::string::npos, text.find(" can0 18DAF110#0102030405060708\n"));
    EXPECT_NE(std::string::npos, text.find(" can0 7E8#R8\n"));
    EXPECT_NE(std::string::npos, text.find(" can0 00000005#R\n"));
    EXPECT_NE(std::string::npos, text.find(" can0 100#1122 T\n"));
    EXPECT_NE(std::string::npos, text.find(" can0 20000084#000D000000000000\n"));
    EXPECT_EQ('(', text[0]);
    EXPECT_EQ(std::to_string(text.size()),
              label("logger-size").substr(6, label("logger-size").find(' ', 6) - 6));
}

TEST_F(Logger, AscFileReadsBackInPythonCanWithAbsoluteTimes)
{
    std::string file = dir_ + "/trace.ASC";  // the extension in any case
    start(file);
    ASSERT_TRUE(logging()) << message();
    EXPECT_NE(std::string::npos, label("logger-state").find("Vector ASC"));
    int64_t rb, ra, tb, ta;
    std::vector<std::string> want = traffic("0", &rb, &ra, &tb, &ta);
    click("logger-stop");

    Read r = read_back("asc", file);
    ASSERT_TRUE(r.ok) << r.err;
    EXPECT_EQ(join(want), join(r.lines)) << nbtest::read_file(file);
    check_times(r, rb, ra, tb, ta);
    std::string text = nbtest::read_file(file);
    EXPECT_EQ(0u, text.find("date ")) << text;
    EXPECT_NE(std::string::npos, text.find("\ninternal events logged\nBegin Triggerblock "));
    EXPECT_NE(std::string::npos, text.find(" 1  18DAF110x       Rx   d 8 01 02 03 04 05 06 07 08\n"))
        << text;
    EXPECT_NE(std::string::npos, text.find(" 1  7E8             Rx   r 8\n"));
    EXPECT_EQ(text.size() - strlen("End TriggerBlock\n"), text.rfind("End TriggerBlock\n"));
}

TEST_F(Logger, BlfFileReadsBackInPythonCanAndIsReadableWhileLogging)
{
    std::string file = dir_ + "/trace.blf";
    start(file);
    ASSERT_TRUE(logging()) << message();
    EXPECT_NE(std::string::npos, label("logger-state").find("BLF"));
    int64_t rb, ra, tb, ta;
    std::vector<std::string> want = traffic("0", &rb, &ra, &tb, &ta);
    // Each flush closes a container: the file reads whole while logging.
    EXPECT_TRUE(nbtest::wait_until([&] { return read_back("blf", file).lines.size() == 10; },
                                   5000));
    EXPECT_TRUE(logging());
    click("logger-stop");

    Read r = read_back("blf", file);
    ASSERT_TRUE(r.ok) << r.err;
    EXPECT_EQ(join(want), join(r.lines));
    check_times(r, rb, ra, tb, ta);
}

// On a CAN FD channel: FD frames of every kind among classic ones, received
// and sent, in each format, read back by python-can in the order and with
// the times they were logged in.
TEST_F(Logger, FdFramesReadBackInPythonCanInEveryFormat)
{
    sltest::reopen_channel_fd();
    ASSERT_FALSE(HasFatalFailure());
    auto fd = nbtest::fd_frame;
    std::string d64;
    char hex[3];
    for (int i = 0; i < 64; i++) {
        snprintf(hex, sizeof hex, "%02X", (0x101 + i) & 0xFF);
        d64 += hex;
    }
    for (const char *ext : {"log", "asc", "blf"}) {
        const std::string c = strcmp(ext, "log") == 0 ? " can0" : " 0";
        const std::vector<std::string> want = {
            "S 100 D 8 0001020304050607 rx" + c,
            "S 101 Fb 64 " + d64 + " rx" + c,
            "E 18DAF110 Fe 12 101112131415161718191A1B rx" + c,
            "S 7E8 R 2 - rx" + c,
            "S 103 F 0 - rx" + c,
            "S 201 Fbe 20 0102030405060708090A0B0C0D0E0F1011121314 tx" + c,
        };
        std::string file = dir_ + "/fd." + ext;
        start(file);
        ASSERT_TRUE(logging()) << message();
        for (zk_fdframe f : {fd(0x100, 0, 8), fd(0x101, ZK_FRAME_FDF | ZK_FRAME_BRS, 64),
                             fd(0x18DAF110, ZK_FRAME_EFF | ZK_FRAME_FDF | ZK_FRAME_ESI, 12),
                             fd(0x7E8, ZK_FRAME_RTR, 2), fd(0x103, ZK_FRAME_FDF, 0)}) {
            ASSERT_GE(zk_sim_inject_fd(0, &f), 1);
            zk_sim_advance_us(1000);
        }
        tick();
        zk_fdframe s = fd(0x201, ZK_FRAME_FDF | ZK_FRAME_BRS | ZK_FRAME_ESI, 20);
        ASSERT_GE(nb_send_fd_frame(&s), 0);
        zk_sim_advance_us(1000);
        tick();
        click("logger-stop");
        Read r = read_back(ext, file);
        ASSERT_TRUE(r.ok) << r.err;
        EXPECT_EQ(join(want), join(r.lines)) << ext << "\n" << nbtest::read_file(file);
        EXPECT_TRUE(std::is_sorted(r.times.begin(), r.times.end())) << ext;
    }
}

TEST_F(Logger, SelectorOverridesTheExtension)
{
    std::string file = dir_ + "/trace.txt";
    set_format(2);  // Vector ASC
    start(file);
    ASSERT_TRUE(logging()) << message();
    inject(frame(0x1, 0, {9}));
    tick();
    click("logger-stop");
    Read r = read_back("asc", file);
    ASSERT_TRUE(r.ok) << r.err;
    ASSERT_EQ(1u, r.lines.size()) << nbtest::read_file(file);
    EXPECT_EQ("S 1 D 1 09 rx 0", r.lines[0]);

    // TRC, chosen in the list, and the name it then gets when empty.
    set_format(4);
    start(dir_ + "/trace2.txt");
    ASSERT_TRUE(logging()) << message();
    inject(frame(0x1, 0, {9}));
    tick();
    click("logger-stop");
    const std::string trc = nbtest::read_file(dir_ + "/trace2.txt");
    EXPECT_EQ(0u, trc.find(";$FILEVERSION=2.1\r\n")) << trc;
    EXPECT_NE(std::string::npos, trc.find(" DT  1     0001 Rx -  1    09\r\n")) << trc;
    start("");
    ASSERT_TRUE(logging()) << message();
    EXPECT_NE(std::string::npos, label("logger-state").find(".trc")) << label("logger-state");
    click("logger-stop");

    // An empty name: a new file in the folder of the last one.
    set_format(1);
    start("");
    ASSERT_TRUE(logging()) << message();
    std::string made = label("logger-state");
    EXPECT_NE(std::string::npos, made.find(dir_ + "/nimbrel-ch0-")) << made;
    EXPECT_NE(std::string::npos, made.find(".log")) << made;
    click("logger-stop");
}

TEST_F(Logger, ExistingOrUnreachableFilesAreRefusedWithTheReason)
{
    nbtest::DialogDriver driver;  // no message box may open
    // A file logged first: a refused start leaves the page describing it.
    std::string first = dir_ + "/first.log";
    start(first);
    ASSERT_TRUE(logging()) << message();
    inject(frame(0x1, 0, {9}));
    tick();
    click("logger-stop");
    const char *const labels[] = {"logger-state", "logger-frames", "logger-size", "logger-started"};
    std::vector<std::string> before;
    for (const char *l : labels)
        before.push_back(label(l));
    EXPECT_NE(std::string::npos, before[1].find("Frames written: 1,")) << before[1];

    std::string file = dir_ + "/keep.log";
    ASSERT_TRUE(nbtest::write_file(file, "precious\n"));
    start(file);
    EXPECT_FALSE(logging());
    EXPECT_NE(std::string::npos, message().find("exists already")) << message();
    EXPECT_EQ("precious\n", nbtest::read_file(file));
    for (size_t i = 0; i < before.size(); i++)
        EXPECT_EQ(before[i], label(labels[i]));

    start(dir_ + "/no/such/folder/x.log");
    EXPECT_FALSE(logging());
    EXPECT_NE(std::string::npos, message().find(g_strerror(ENOENT))) << message();
    nbtest::pump();
    EXPECT_TRUE(driver.seen().empty());
}

// A FIFO with a reader waiting, a device and a folder are no log files:
// Start says what each is and writes nothing, and the file dialog does not
// offer to replace them.
TEST_F(Logger, NamesThatAreNoFilesAreRefusedAndNeverWritten)
{
    nbtest::Deadline deadline(30, "logging into a FIFO or a device");
    std::string fifo = dir_ + "/pipe.log";
    ASSERT_EQ(0, mkfifo(fifo.c_str(), 0600));
    int reader = open(fifo.c_str(), O_RDONLY | O_NONBLOCK);
    ASSERT_GE(reader, 0);
    const std::pair<std::string, const char *> names[] = {
        {fifo, ": a FIFO"}, {"/dev/null", ": a device"}, {dir_, ": a folder"}};
    for (const auto &n : names) {
        start(n.first);
        EXPECT_FALSE(logging()) << n.first;
        EXPECT_NE(std::string::npos, message().find(n.first + n.second)) << message();
    }
    char byte;
    EXPECT_EQ(0, read(reader, &byte, 1));
    close(reader);

    nbtest::DialogDriver driver;
    driver.then([&](GtkDialog *d) {
        GtkFileChooser *fc = GTK_FILE_CHOOSER(d);
        gchar *f = gtk_file_chooser_get_filename(fc);
        bool ready = f && fifo == f;
        g_free(f);
        if (!ready) {
            gtk_file_chooser_set_current_folder(fc, dir_.c_str());
            gtk_file_chooser_set_current_name(fc, "pipe.log");
            return false;
        }
        nbtest::dialog_respond(d, GTK_RESPONSE_ACCEPT);
        return true;
    });
    // The reason; then the chooser, which stays open for another name, is
    // cancelled.
    driver.then([](GtkDialog *d) {
        nbtest::dialog_respond(d, GTK_RESPONSE_OK);
        g_idle_add(
            [](gpointer) -> gboolean {
                GList *tops = gtk_window_list_toplevels();
                for (GList *l = tops; l; l = l->next)
                    if (GTK_IS_FILE_CHOOSER_DIALOG(l->data))
                        gtk_dialog_response(GTK_DIALOG(l->data), GTK_RESPONSE_CANCEL);
                g_list_free(tops);
                return FALSE;
            },
            nullptr);
        return true;
    });
    click("logger-browse");
    ASSERT_TRUE(driver.done());
    ASSERT_EQ(2u, driver.seen().size());
    EXPECT_EQ(fifo + " is a FIFO, not a regular file", driver.seen()[1].text);
    EXPECT_EQ(dir_, gtk_entry_get_text(GTK_ENTRY(widget("logger-file"))));
    EXPECT_TRUE(driver.unexpected().empty());
}

TEST_F(Logger, WriteErrorStopsLoggingWithTheReasonAndTheHostGoesOn)
{
    // A file size limit makes the write fail as a full disk does.
    std::string full = dir_ + "/full.log";
    start(full);
    ASSERT_TRUE(logging()) << message();
    struct rlimit old;
    ASSERT_EQ(0, getrlimit(RLIMIT_FSIZE, &old));
    struct rlimit small = old;
    small.rlim_cur = 64;
    signal(SIGXFSZ, SIG_IGN);
    ASSERT_EQ(0, setrlimit(RLIMIT_FSIZE, &small));
    for (int i = 0; i < 4; i++)
        inject(frame(0x10, 0, {1, 2, 3, 4, 5, 6, 7, (uint8_t)i}));
    tick();
    // Written out by the next flush, at most half a second later.
    bool stopped = nbtest::wait_until([&] { return !logging(); }, 5000);
    setrlimit(RLIMIT_FSIZE, &old);
    ASSERT_TRUE(stopped);
    EXPECT_NE(std::string::npos, message().find(g_strerror(EFBIG))) << message();
    EXPECT_NE(std::string::npos, message().find(full)) << message();

    // Traffic goes on without it, and logging starts again elsewhere.
    inject(frame(0x11, 0, {3}));
    tick();
    std::string file = dir_ + "/after.log";
    start(file);
    ASSERT_TRUE(logging()) << message();
    EXPECT_EQ("", message());
    inject(frame(0x12, 0, {4}));
    tick();
    click("logger-stop");
    Read r = read_back("log", file);
    ASSERT_TRUE(r.ok) << r.err;
    ASSERT_EQ(1u, r.lines.size());
    EXPECT_EQ("S 12 D 1 04 rx can0", r.lines[0]);
}

// A full disk (a small tmpfs of the test's own) stops logging with the
// reason and leaves a file that python-can reads to its last whole frame,
// and "Frames written" is what it holds.
TEST_F(Logger, AFullDiskLeavesAReadableFileAndTheTrueCount)
{
    std::string mnt = dir_ + "/small";
    ASSERT_EQ(0, mkdir(mnt.c_str(), 0700));
    // A mount namespace of this thread, the one that writes and reads.
    if (unshare(CLONE_NEWNS) != 0 || mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0 ||
        mount("tmpfs", mnt.c_str(), "tmpfs", 0, "size=96k") != 0)
        GTEST_SKIP() << "no small tmpfs can be mounted here: " << g_strerror(errno);
    for (int format : {1, 3}) {
        const char *kind = format == 1 ? "log" : "blf";
        set_format(format);
        std::string file = mnt + "/full." + kind;
        start(file);
        ASSERT_TRUE(logging()) << message();
        for (int i = 0; i < 1000 && logging(); i++) {
            for (int k = 0; k < 40; k++)
                inject(frame(0x100 + (uint32_t)k, 0,
                             {(uint8_t)i, (uint8_t)k, (uint8_t)(i * k), (uint8_t)(i >> 8), 4, 5}));
            tick();
        }
        // Written out by the next flush, at most half a second later.
        ASSERT_TRUE(nbtest::wait_until([&] { return !logging(); }, 3000)) << kind;
        EXPECT_NE(std::string::npos, message().find(g_strerror(ENOSPC))) << message();
        Read r = read_back(kind, file);
        ASSERT_TRUE(r.ok) << kind << ": " << r.err;
        EXPECT_GT(r.lines.size(), 100u) << kind;
        EXPECT_EQ("Frames written: " + std::to_string(r.lines.size()) + ", error reports: 0",
                  label("logger-frames"));
        ASSERT_EQ(0, unlink(file.c_str()));
    }
    umount(mnt.c_str());
}

// The file deleted while logging is written anew under its name, with
// what it held, within a second; logging into a folder removed meanwhile
// stops with the reason.
TEST_F(Logger, ADeletedFileIsWrittenAnewWithEverythingLogged)
{
    std::string file = dir_ + "/gone.log";
    start(file);
    ASSERT_TRUE(logging()) << message();
    inject(frame(0x1, 0, {1}));
    tick();
    ASSERT_TRUE(nbtest::wait_until([&] { return !nbtest::read_file(file).empty(); }, 3000));
    ASSERT_EQ(0, unlink(file.c_str()));
    inject(frame(0x2, 0, {2}));
    tick();
    ASSERT_TRUE(nbtest::wait_until([&] { return message().find("was deleted") != std::string::npos; },
                                   1500)) << message();
    EXPECT_TRUE(logging());
    inject(frame(0x3, 0, {3}));
    tick();
    click("logger-stop");
    Read r = read_back("log", file);
    ASSERT_TRUE(r.ok) << r.err;
    EXPECT_EQ(join({"S 1 D 1 01 rx can0", "S 2 D 1 02 rx can0", "S 3 D 1 03 rx can0"}),
              join(r.lines));

    std::string folder = dir_ + "/sub";
    ASSERT_EQ(0, mkdir(folder.c_str(), 0700));
    start(folder + "/x.log");
    ASSERT_TRUE(logging()) << message();
    inject(frame(0x4, 0, {4}));
    tick();
    ASSERT_EQ(0, unlink((folder + "/x.log").c_str()));
    ASSERT_EQ(0, rmdir(folder.c_str()));
    ASSERT_TRUE(nbtest::wait_until([&] { return !logging(); }, 1500));
    EXPECT_NE(std::string::npos, message().find("was deleted and cannot be made again")) << message();
}

TEST_F(Logger, SettingsRoundTripAndLoggingStartsWithTheSession)
{
    // A folder longer than a session key's record holds (511): taken whole.
    std::string folder = nbtest::make_temp_dir("logs");
    while (folder.size() < 598) {
        folder += "/" + std::string(std::min<size_t>(200, 598 - folder.size()), 'f');
        ASSERT_EQ(0, mkdir(folder.c_str(), 0700));
    }
    start(folder + "/first.asc");  // sets the folder
    ASSERT_TRUE(logging()) << message();
    click("logger-stop");
    set_format(2);
    gtk_toggle_button_set_active(GTK_TOGGLE_BUTTON(widget("logger-autostart")), TRUE);

    std::string file = dir_ + "/s.nbs";
    ASSERT_EQ(0, the_app.session.ops.save(&the_app, file.c_str()));
    std::string text = nbtest::read_file(file);
    EXPECT_NE(std::string::npos, text.find("Format=asc\n")) << text;
    EXPECT_NE(std::string::npos, text.find("Folder=" + folder + "\n")) << text;
    EXPECT_NE(std::string::npos, text.find("AutoStart=1\n")) << text;

    set_format(0);
    gtk_toggle_button_set_active(GTK_TOGGLE_BUTTON(widget("logger-autostart")), FALSE);
    ASSERT_EQ(0, the_app.session.ops.load(&the_app, file.c_str()));
    EXPECT_EQ(2, gtk_combo_box_get_active(GTK_COMBO_BOX(widget("logger-format"))));
    EXPECT_TRUE(gtk_toggle_button_get_active(GTK_TOGGLE_BUTTON(widget("logger-autostart"))));
    ASSERT_TRUE(logging()) << message();
    std::string state = label("logger-state");
    EXPECT_NE(std::string::npos, state.find(folder + "/nimbrel-ch0-")) << state;
    EXPECT_NE(std::string::npos, state.find(".asc")) << state;
    inject(frame(0x55, 0, {}));
    tick();

    // Releasing the plug-in ends the file properly.
    the_app.pgmgr.ops.pgmgr_release_all(&the_app.pgmgr);
    page_ = nullptr;
    GDir *d = g_dir_open(folder.c_str(), 0, nullptr);
    ASSERT_NE(nullptr, d);
    std::string made;
    while (const char *n = g_dir_read_name(d))
        if (strncmp(n, "nimbrel-ch0-", 12) == 0)
            made = folder + "/" + n;
    g_dir_close(d);
    ASSERT_NE("", made);
    Read r = read_back("asc", made);
    ASSERT_TRUE(r.ok) << r.err;
    ASSERT_EQ(1u, r.lines.size()) << nbtest::read_file(made);
    EXPECT_EQ("S 55 D 0 - rx 0", r.lines[0]);
    EXPECT_NE(std::string::npos, nbtest::read_file(made).find("End TriggerBlock\n"));
}

// Three channels in one file (the host's stream fed directly: its poller
// moves the main channel only so far), classic and FD, received and sent:
// python-can reads each frame's channel as the logger wrote it; a chosen
// set records only its channels and is kept in the session.
TEST_F(Logger, ChannelsAreKeptInEveryFormatAndAChosenSetAlone)
{
    nb_chan_settings st;
    chan_settings_default(&st);
    for (int32_t want = 1; want <= 2; want++) {
        int32_t index = -1;
        ASSERT_EQ(0, chanset_add(&the_app, (uint8_t)want, &st, &index, nullptr));
        ASSERT_EQ(want, index);
    }
    pgrp changed = {};
    changed.type = PGRP_CHANNELS;
    entry_->handler(&changed);
    ASSERT_NE(nullptr, widget("logger-channel-ch2"));

    auto rec = [](uint16_t chan, uint8_t dir, uint32_t id, uint8_t flags, uint8_t len) {
        nb_stream_frame r = {};
        r.time_us = (uint64_t)now_us();
        r.channel = chan;
        r.dir = dir;
        r.id = id;
        r.flags = flags;
        r.len = len;
        for (int i = 0; i < len; i++)
            r.data[i] = (uint8_t)(i + 1);
        return r;
    };
    auto feed = [&] {
        std::vector<nb_stream_frame> recs = {
            rec(0, NB_DIR_RX, 0x100, 0, 2),
            rec(1, NB_DIR_RX, 0x200, ZK_FRAME_FDF | ZK_FRAME_BRS, 12),
            rec(2, NB_DIR_RX, 0x7FF, ZK_FRAME_FDF | ZK_FRAME_ESI, 64),
            rec(1, NB_DIR_TX, 0x300, 0, 1),
            rec(0, NB_DIR_TX, 0x18DAF110, ZK_FRAME_EFF | ZK_FRAME_FDF, 16),
            rec(2, NB_DIR_TX, 0x1ABCDEF0, ZK_FRAME_EFF, 8),
        };
        the_app.pgmgr.ops.pgmgr_stream(&the_app.pgmgr, recs.data(), (int)recs.size());
    };
    for (const char *kind : {"log", "asc", "blf"}) {
        SCOPED_TRACE(kind);
        std::string file = dir_ + "/two." + kind;
        start(file);
        ASSERT_TRUE(logging()) << message();
        feed();
        click("logger-stop");
        Read r = read_back(kind, file);
        ASSERT_TRUE(r.ok) << r.err;
        const std::string c = strcmp(kind, "log") == 0 ? "can" : "";
        std::string b64;
        char hex[3];
        for (int i = 1; i <= 64; i++) {
            snprintf(hex, sizeof hex, "%02X", i);
            b64 += hex;
        }
        EXPECT_EQ(join({"S 100 D 2 0102 rx " + c + "0",
                        "S 200 Fb 12 0102030405060708090A0B0C rx " + c + "1",
                        "S 7FF Fe 64 " + b64 + " rx " + c + "2", "S 300 D 1 01 tx " + c + "1",
                        "E 18DAF110 F 16 0102030405060708090A0B0C0D0E0F10 tx " + c + "0",
                        "E 1ABCDEF0 D 8 0102030405060708 tx " + c + "2"}),
                  join(r.lines))
            << nbtest::read_file(file);
    }

    // Channel 1 alone.
    gtk_toggle_button_set_active(GTK_TOGGLE_BUTTON(widget("logger-all-channels")), FALSE);
    gtk_toggle_button_set_active(GTK_TOGGLE_BUTTON(widget("logger-channel-ch0")), FALSE);
    gtk_toggle_button_set_active(GTK_TOGGLE_BUTTON(widget("logger-channel-ch2")), FALSE);
    std::string file = dir_ + "/one.log";
    start(file);
    ASSERT_TRUE(logging()) << message();
    feed();
    click("logger-stop");
    Read r = read_back("log", file);
    ASSERT_TRUE(r.ok) << r.err;
    EXPECT_EQ(join({"S 200 Fb 12 0102030405060708090A0B0C rx can1", "S 300 D 1 01 tx can1"}),
              join(r.lines));
    std::string session = dir_ + "/c.nbs";
    ASSERT_EQ(0, the_app.session.ops.save(&the_app, session.c_str()));
    EXPECT_NE(std::string::npos, nbtest::read_file(session).find("Channels=ch1\n"));
    gtk_toggle_button_set_active(GTK_TOGGLE_BUTTON(widget("logger-all-channels")), TRUE);
    ASSERT_EQ(0, the_app.session.ops.load(&the_app, session.c_str()));
    EXPECT_FALSE(gtk_toggle_button_get_active(GTK_TOGGLE_BUTTON(widget("logger-all-channels"))));
    EXPECT_TRUE(gtk_toggle_button_get_active(GTK_TOGGLE_BUTTON(widget("logger-channel-ch1"))));
    EXPECT_FALSE(gtk_toggle_button_get_active(GTK_TOGGLE_BUTTON(widget("logger-channel-ch0"))));
    EXPECT_EQ(0, chanset_remove(&the_app, 2));
    EXPECT_EQ(0, chanset_remove(&the_app, 1));
}

}  // namespace
