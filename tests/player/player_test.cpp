// The player plug-in (stage/player.so) loaded by the real plug-in manager
// over the simulated adapter with its manual clock; the plug-in's clock is
// the simulation clock, so the test sees when each frame went out.
#include <gtest/gtest.h>
#include <math.h>
#include <string.h>
#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <memory>
#include <sstream>
#include <string>
#include <vector>

#include "../sendlog/sl_fixture.h"
#include "can/chanset.h"
#include "canlog.h"

namespace {

int64_t sim_now()
{
    return (int64_t)zk_sim_now_us();
}

struct Sent {
    zk_frame f;
    int64_t at_us;
};

class Player : public sltest::PluginTest {
protected:
    void SetUp() override
    {
        load_plugin("player", PL_STAGE_DIR, boards_, manual_);
        if (HasFatalFailure())
            return;
        set_clock_ = (void (*)(int64_t (*)(void)))symbol("player_set_clock");
        service_ = (void (*)(void))symbol("player_service");
        ASSERT_NE(nullptr, set_clock_);
        ASSERT_NE(nullptr, service_);
        set_clock_(manual_ ? sim_now : nullptr);
    }

    // A log file of the frames, written by the log library.
    std::string write_log(const char *name, const std::vector<cl_frame> &frames)
    {
        std::string path = dir_ + "/" + name;
        cl_writer w;
        EXPECT_EQ(0, cl_writer_open(&w, path.c_str(), cl_format_of_name(name), 0));
        for (const cl_frame &f : frames)
            cl_write(&w, &f);
        EXPECT_EQ(0, cl_writer_close(&w));
        return path;
    }
    void open(const std::string &path)
    {
        gtk_entry_set_text(GTK_ENTRY(widget("player-file")), path.c_str());
    }
    // Frames the adapter accepted since the last call, stamped with the
    // simulation time they were taken at.
    void collect(std::vector<Sent> &out)
    {
        zk_frame buf[256];
        int n;
        while ((n = zk_sim_sent(0, buf, 256)) > 0)
            for (int i = 0; i < n; i++)
                out.push_back(Sent{buf[i], sim_now()});
    }
    // Runs simulated time in steps, servicing the player as its timer would.
    void run_for(int64_t us, int64_t step_us, std::vector<Sent> &out)
    {
        for (int64_t t = 0; t < us; t += step_us) {
            zk_sim_advance_us((uint64_t)step_us);
            service_();
            collect(out);
        }
    }
    std::string message() { return label("player-message"); }

    void (*set_clock_)(int64_t (*)(void)) = nullptr;
    void (*service_)(void) = nullptr;
    const char *boards_ = "0=sim:channels=2,traffic=none,txq=64";
    bool manual_ = true;
};

cl_frame make(int64_t t_ms, uint32_t id, uint8_t flags = 0)
{
    cl_frame f{};
    f.t_ns = 1700000000000000000LL + t_ms * 1000000LL;
    f.id = id;
    f.flags = flags;
    f.len = 8;
    for (int i = 0; i < 8; i++)
        f.data[i] = (uint8_t)(id + i);
    return f;
}

TEST_F(Player, KeepsTheFilesTimingOverAMinuteWithoutDrift)
{
    // 60 s of frames at uneven gaps (1 to 25 ms), replayed at 1x and 4x
    // with the clock moving in steps of 0.5 ms: every frame goes out
    // within one step of its due time, the last one as on time as the
    // first.
    std::vector<cl_frame> frames;
    int64_t t = 0;
    for (int i = 0; t < 60000; i++) {
        frames.push_back(make(t, 0x100 + (uint32_t)(i % 50)));
        t += 1 + (i * 7) % 25;
    }
    std::string path = write_log("minute.log", frames);
    for (double speed : {1.0, 4.0}) {
        open(path);
        gtk_spin_button_set_value(GTK_SPIN_BUTTON(widget("player-speed")), speed);
        click("player-stop");
        int64_t start = sim_now();
        click("player-play");
        std::vector<Sent> sent;
        collect(sent);
        run_for((int64_t)(60.5e6 / speed), 500, sent);
        ASSERT_EQ(frames.size(), sent.size()) << speed;
        double worst = 0;
        for (size_t i = 0; i < sent.size(); i++) {
            ASSERT_EQ(frames[i].id, sent[i].f.id) << i;
            double due = (double)(frames[i].t_ns - frames[0].t_ns) / 1000.0 / speed;
            worst = fmax(worst, fabs((double)(sent[i].at_us - start) - due));
        }
        EXPECT_LE(worst, 1000.0) << "speed " << speed;
        EXPECT_NE(std::string::npos, message().find("Replay finished")) << message();
    }
}

// A replay on the real clock while the window is blocked (a file chooser
// opening, a large database loading): another node sees the frames go on
// in the file's order.
TEST_F(Player, ReplayGoesOnWhileTheWindowIsBlocked)
{
    open_reader();
    if (HasFatalFailure())
        return;
    set_clock_(nullptr);
    std::vector<cl_frame> frames;
    for (int i = 0; i < 200; i++) {
        frames.push_back(make(i * 10, 0x100));
        frames.back().data[0] = (uint8_t)i;
    }
    open(write_log("cycle.log", frames));
    click("player-play");
    std::vector<zk_fdframe> got = read_blocked(40, 10000);
    click("player-stop");
    ASSERT_GE(got.size(), 40u) << "replay stopped while the window was blocked";
    for (size_t k = 0; k < got.size(); k++)
        ASSERT_EQ(k, got[k].data[0]) << "out of order";  // intervals: bench/sender
}

// CAN FD frames among classic ones: a classic channel sends the classic
// ones and the page says how many FD frames it could not send; a CAN FD
// channel sends them all, as they were recorded.
TEST_F(Player, FdFramesOnAClassicAndOnAnFdChannel)
{
    std::vector<cl_frame> frames = {make(0, 0x100), make(1, 0x101, CL_FDF | CL_BRS),
                                    make(2, 0x1ABCDEF0, CL_EXT | CL_FDF | CL_ESI),
                                    make(3, 0x103), make(4, 0x104, CL_FDF)};
    frames[1].len = 64;
    for (int i = 8; i < 64; i++)
        frames[1].data[i] = (uint8_t)i;
    frames[2].len = 12;
    frames[4].len = 0;
    memset(frames[4].data, 0, sizeof frames[4].data);
    std::string path = write_log("fd.asc", frames);
    open(path);
    std::vector<Sent> sent;
    click("player-play");
    run_for(20000, 1000, sent);
    ASSERT_EQ(2u, sent.size());
    EXPECT_EQ(0x103u, sent[1].f.id);
    EXPECT_NE(std::string::npos, label("player-info").find("3 CAN FD frames not sent"))
        << label("player-info");
    click("player-stop");

    sltest::reopen_channel_fd();
    ASSERT_FALSE(HasFatalFailure());
    click("player-play");
    for (int i = 0; i < 20; i++) {
        zk_sim_advance_us(1000);
        service_();
    }
    zk_fdframe out[16];
    ASSERT_EQ(5, zk_sim_sent_fd(0, out, 16)) << message() << label("player-info");
    for (int i = 0; i < 5; i++) {
        SCOPED_TRACE(i);
        // ESI is the sender's state: not asked for.
        EXPECT_EQ(frames[(size_t)i].flags & ~CL_ESI, out[i].flags);
        EXPECT_EQ(frames[(size_t)i].id, out[i].id);
        ASSERT_EQ(frames[(size_t)i].len, out[i].len);
        EXPECT_EQ(0, memcmp(frames[(size_t)i].data, out[i].data, out[i].len));
    }
    EXPECT_EQ(std::string::npos, label("player-info").find("CAN FD")) << label("player-info");
}

TEST_F(Player, TransportDirectionFilterAndLoop)
{
    // Rx and Tx frames of a BLF file; an error frame and a CAN FD-free mix.
    std::vector<cl_frame> frames = {make(0, 0x100), make(10, 0x7E8, CL_TX),
                                    make(20, 0x1ABCDEF0, CL_EXT | CL_TX), make(30, 0x200),
                                    make(40, 0x150, CL_TX)};
    cl_frame err = make(35, 0);
    err.flags = CL_ERR;
    frames.insert(frames.begin() + 4, err);
    std::string path = write_log("mix.blf", frames);
    open(path);
    std::vector<Sent> sent;

    // Step sends one frame at a time, whatever the clock.
    click("player-step");
    click("player-step");
    collect(sent);
    ASSERT_EQ(2u, sent.size());
    EXPECT_EQ(0x7E8u, sent[1].f.id);
    EXPECT_NE(std::string::npos, label("player-state").find("Paused")) << label("player-state");

    // Play goes on from there; pause holds the position.
    click("player-play");
    run_for(15000, 1000, sent);
    ASSERT_EQ(4u, sent.size());
    EXPECT_EQ(0x1ABCDEF0u, sent[2].f.id);
    EXPECT_EQ(ZK_FRAME_EFF, sent[2].f.flags);
    EXPECT_EQ(0x200u, sent[3].f.id);
    click("player-pause");
    run_for(100000, 1000, sent);
    EXPECT_EQ(4u, sent.size());
    click("player-play");
    run_for(30000, 1000, sent);
    ASSERT_EQ(5u, sent.size());  // the error frame is not sent
    EXPECT_NE(std::string::npos, label("player-info").find("1 error frame not sent.")) << label("player-info");

    // Sent frames only, identifiers 100 to 7FF, looping: 7E8 and 150 over
    // and over.
    sent.clear();
    gtk_combo_box_set_active(GTK_COMBO_BOX(widget("player-direction")), 2);
    gtk_entry_set_text(GTK_ENTRY(widget("player-filter")), "100-7FF");
    gtk_toggle_button_set_active(GTK_TOGGLE_BUTTON(widget("player-loop")), TRUE);
    click("player-stop");
    click("player-play");
    run_for(200000, 1000, sent);
    ASSERT_GE(sent.size(), 6u);
    for (size_t i = 0; i < sent.size(); i++)
        EXPECT_EQ(i % 2 ? 0x150u : 0x7E8u, sent[i].f.id) << i;
    std::string progress =
        gtk_progress_bar_get_text(GTK_PROGRESS_BAR(widget("player-progress")));
    EXPECT_NE(std::string::npos, progress.find("frames sent, pass")) << progress;
    // Quitting would stop it: the question before quitting names it.
    auto stops = [&] {
        pgrp q;
        memset(&q, 0, sizeof q);
        q.type = PGRP_STOP_QUERY;
        the_app.pgmgr.ops.pgmgr_request(entry_, &q);
        return std::string(q.result_ptr ? (const char *)q.result_ptr : "");
    };
    EXPECT_EQ("Looping replay of mix.blf", stops());

    // A bad filter is refused with a message and the old one stays.
    gtk_entry_set_text(GTK_ENTRY(widget("player-filter")), "7E8-100");
    g_signal_emit_by_name(widget("player-filter"), "activate");
    EXPECT_NE(std::string::npos, label("player-filter-message").find("ends below"));
    click("player-pause");
    EXPECT_EQ("", stops());

    // A stopped controller pauses the replay with the library's reason.
    click("player-stop");
    the_app.chan.ops.stop(&the_app.chan);
    click("player-play");
    run_for(5000, 1000, sent);
    EXPECT_NE(std::string::npos, label("player-state").find("Paused"));
    EXPECT_NE(std::string::npos, message().find("was not sent")) << message();
}

// The progress follows the log's time, not the bytes read ahead: with a
// filter, a stretch of frames it passes over is read at once, while the
// replay has reached only the time of the last frame it sent. A file
// named by a session shows no progress until it is read.
TEST_F(Player, ProgressIsThePositionInTheLogsTime)
{
    std::vector<cl_frame> frames;
    for (int i = 0; i <= 99; i++) {
        frames.push_back(make(i * 100, 0x100));
        if (i == 35)
            for (int j = 0; j < 3000; j++)
                frames.push_back(make(3510 + j / 100, 0x7FF));
    }
    std::string path = write_log("sparse.trc", frames);  // TRC: its own start time
    open(path);
    gtk_entry_set_text(GTK_ENTRY(widget("player-filter")), "100");
    GtkProgressBar *bar = GTK_PROGRESS_BAR(widget("player-progress"));
    std::vector<Sent> sent;
    click("player-play");
    run_for(3550000, 1000, sent);  // the frame at 3.5 s is out, 3.6 s is next
    ASSERT_EQ(36u, sent.size());
    ASSERT_TRUE(nbtest::wait_until([&] {
        service_();
        return std::string(gtk_progress_bar_get_text(bar)).find(" of 9.900 s") != std::string::npos;
    })) << gtk_progress_bar_get_text(bar);
    EXPECT_STREQ("3.500 s of 9.900 s, 36 frames sent", gtk_progress_bar_get_text(bar));
    EXPECT_NEAR(3.5 / 9.9, gtk_progress_bar_get_fraction(bar), 1e-6);
    click("player-stop");
    EXPECT_EQ(0u, std::string(gtk_progress_bar_get_text(bar)).find("0.000 s of 9.900 s, "));

    std::string file = dir_ + "/s.nbs";
    ASSERT_EQ(0, the_app.session.ops.save(&the_app, file.c_str()));
    open("");
    click("player-play");  // closes the file: no file named
    ASSERT_EQ(0, the_app.session.ops.load(&the_app, file.c_str()));
    EXPECT_STREQ("", gtk_progress_bar_get_text(bar));
    EXPECT_EQ(0.0, gtk_progress_bar_get_fraction(bar));
}

TEST_F(Player, SessionKeysRoundTripAndBadFilesAreReported)
{
    std::string path = dir_ + "/broken.log";
    ASSERT_TRUE(nbtest::write_file(path, "(1.0) can0 123#11\nnonsense\n(1.5) can0 124#22\n"));
    open(path);
    gtk_spin_button_set_value(GTK_SPIN_BUTTON(widget("player-speed")), 2.5);
    gtk_toggle_button_set_active(GTK_TOGGLE_BUTTON(widget("player-loop")), TRUE);
    gtk_combo_box_set_active(GTK_COMBO_BOX(widget("player-direction")), 1);
    gtk_entry_set_text(GTK_ENTRY(widget("player-filter")), "123, 124");
    g_signal_emit_by_name(widget("player-filter"), "activate");
    click("player-step");
    click("player-step");
    EXPECT_NE(std::string::npos, label("player-info").find("line 2")) << label("player-info");

    std::string file = dir_ + "/s.nbs";
    ASSERT_EQ(0, the_app.session.ops.save(&the_app, file.c_str()));
    std::string text = nbtest::read_file(file);
    EXPECT_NE(std::string::npos, text.find("File=" + path + "\n")) << text;
    EXPECT_NE(std::string::npos, text.find("Speed=2.50\n")) << text;
    EXPECT_NE(std::string::npos, text.find("Loop=1\n")) << text;
    EXPECT_NE(std::string::npos, text.find("Filter=123, 124\n")) << text;
    EXPECT_NE(std::string::npos, text.find("Direction=rx\n")) << text;

    gtk_entry_set_text(GTK_ENTRY(widget("player-file")), "");
    gtk_toggle_button_set_active(GTK_TOGGLE_BUTTON(widget("player-fast")), TRUE);
    gtk_toggle_button_set_active(GTK_TOGGLE_BUTTON(widget("player-loop")), FALSE);
    ASSERT_EQ(0, the_app.session.ops.load(&the_app, file.c_str()));
    EXPECT_EQ(path, gtk_entry_get_text(GTK_ENTRY(widget("player-file"))));
    EXPECT_DOUBLE_EQ(2.5, gtk_spin_button_get_value(GTK_SPIN_BUTTON(widget("player-speed"))));
    EXPECT_FALSE(gtk_toggle_button_get_active(GTK_TOGGLE_BUTTON(widget("player-fast"))));
    EXPECT_TRUE(gtk_toggle_button_get_active(GTK_TOGGLE_BUTTON(widget("player-loop"))));
    EXPECT_EQ(1, gtk_combo_box_get_active(GTK_COMBO_BOX(widget("player-direction"))));
    EXPECT_STREQ("123, 124", gtk_entry_get_text(GTK_ENTRY(widget("player-filter"))));
    EXPECT_NE(std::string::npos, label("player-state").find("Stopped"));

    // A file that is not there: the reason, nothing sent.
    open(dir_ + "/none.log");
    click("player-play");
    EXPECT_NE(std::string::npos, message().find(g_strerror(ENOENT))) << message();
}

// A FIFO or a device is refused with what it is, at once.
TEST_F(Player, FifosAndDevicesAreRefusedWithoutWaiting)
{
    nbtest::Deadline deadline(20, "playing a FIFO or a device");
    std::string fifo = dir_ + "/pipe.log";
    ASSERT_EQ(0, mkfifo(fifo.c_str(), 0600));
    const std::pair<std::string, const char *> names[] = {{fifo, ": a FIFO, not a regular file"},
                                                          {"/dev/zero", ": a device, not a regular file"}};
    for (const auto &n : names) {
        open(n.first);
        click("player-play");
        EXPECT_NE(std::string::npos, message().find(n.first + n.second)) << message();
        EXPECT_NE(std::string::npos, label("player-state").find("Stopped"));
    }
}

// Looping a file whose frames share one time stamp waits, pass after
// pass, at least the frames' time on the bus (longer at a speed below 1)
// instead of flooding it; a file whose times reach the end of the range
// plays and pauses without overflow.
TEST_F(Player, ALoopOfOneInstantIsBoundByTheBusAndTimesNeverOverflow)
{
    std::vector<cl_frame> frames = {make(5, 0x100), make(5, 0x101), make(5, 0x102)};
    open(write_log("instant.log", frames));
    gtk_toggle_button_set_active(GTK_TOGGLE_BUTTON(widget("player-loop")), TRUE);
    gtk_spin_button_set_value(GTK_SPIN_BUTTON(widget("player-speed")), 0.1);
    std::vector<Sent> sent;
    click("player-play");
    run_for(1000000, 100, sent);
    click("player-pause");
    // Three 8-byte frames take at least 3 x 111 bits, 333 us at 1 Mbit/s,
    // ten times that at 0.1x: at most 301 passes in a second.
    EXPECT_GE(sent.size(), 30u);
    EXPECT_LE(sent.size(), 903u);

    cl_frame late = make(0, 0x200), last = make(0, 0x201);
    late.t_ns = INT64_MAX - 400000000;
    last.t_ns = INT64_MAX;
    std::string path = dir_ + "/late.blf";
    cl_writer w;
    ASSERT_EQ(0, cl_writer_open(&w, path.c_str(), CL_FMT_BLF, 0));
    ASSERT_EQ(0, cl_writer_start(&w, 0));
    ASSERT_EQ(0, cl_write(&w, &late));
    ASSERT_EQ(0, cl_write(&w, &last));
    ASSERT_EQ(0, cl_writer_close(&w));
    open(path);
    gtk_toggle_button_set_active(GTK_TOGGLE_BUTTON(widget("player-loop")), FALSE);
    gtk_spin_button_set_value(GTK_SPIN_BUTTON(widget("player-speed")), 100);
    sent.clear();
    click("player-play");
    run_for(1000, 100, sent);
    click("player-pause");
    click("player-play");
    run_for(10000, 1000, sent);
    ASSERT_EQ(2u, sent.size());
    EXPECT_EQ(0x201u, sent[1].f.id);
}

// A large file with nothing to send is read in turns: Play comes back at
// once and the page says the file is being read, until it says there is
// nothing to send. A session's Speed that is no number is not taken for
// one.
TEST_F(Player, ALongStretchWithoutFramesNeverHoldsTheWindow)
{
    std::string path = dir_ + "/zeros.log";
    int fd = ::open(path.c_str(), O_WRONLY | O_CREAT, 0600);
    ASSERT_GE(fd, 0);
    ASSERT_EQ(0, ftruncate(fd, (off_t)1 << 30));  // a gigabyte of zeros, sparse
    close(fd);
    open(path);
    click("player-play");
    EXPECT_NE(std::string::npos, message().find("Looking for a frame to send")) << message();
    ASSERT_TRUE(nbtest::wait_until(
        [&] { return message().find("holds no frame to send") != std::string::npos; }, 60000))
        << message();
    EXPECT_NE(std::string::npos, label("player-state").find("Stopped"));

    gtk_spin_button_set_value(GTK_SPIN_BUTTON(widget("player-speed")), 2.0);
    std::string file = dir_ + "/s.nbs";
    ASSERT_EQ(0, the_app.session.ops.save(&the_app, file.c_str()));
    std::string text = nbtest::read_file(file);
    size_t at = text.find("Speed=2.00\n");
    ASSERT_NE(std::string::npos, at) << text;
    text.replace(at, 11, "Speed=7FF#0102\n");
    ASSERT_TRUE(nbtest::write_file(file, text));
    ASSERT_EQ(0, the_app.session.ops.load(&the_app, file.c_str()));
    EXPECT_DOUBLE_EQ(2.0, gtk_spin_button_get_value(GTK_SPIN_BUTTON(widget("player-speed"))));
    EXPECT_NE(std::string::npos, message().find("\"7FF#0102\" is not a factor")) << message();
}

// A log chosen in one plug-in makes the next log chooser of another start
// in its folder; the session keeps the folder and gives it back.
TEST_F(Player, LogChoosersStartWhereTheLastLogOfAnyPlugInWasChosen)
{
    const std::string logs = nbtest::make_temp_dir("logs");
    ASSERT_TRUE(nbtest::write_file(logs + "/a.log", "(0.000000) can0 123#01\n"));
    char path[NB_TEXT_MAX] = {0};
    g_strlcpy(path, (nbtest::stage_dir() + "/busview.so").c_str(), sizeof path);
    nb_plugin *busview = the_app.pgmgr.ops.pgmgr_add(&the_app.pgmgr, path, sizeof path);
    ASSERT_NE(nullptr, busview);
    ASSERT_EQ(0, pgmgr_load(&the_app, busview));
    GtkWidget *open_log = nbtest::find_by_name(busview->page, "busview-open-log");
    ASSERT_NE(nullptr, open_log);
    // The folder the bus viewer's Open log starts in.
    auto started_in = [&] {
        auto folder = std::make_shared<std::string>();
        nbtest::DialogDriver driver;
        driver.then([folder](GtkDialog *d) {
            gchar *f = gtk_file_chooser_get_current_folder(GTK_FILE_CHOOSER(d));
            if (!f)
                return false;   // again once the chooser has taken it in
            *folder = f;
            g_free(f);
            gtk_dialog_response(d, GTK_RESPONSE_CANCEL);
            return true;
        });
        gtk_button_clicked(GTK_BUTTON(open_log));
        EXPECT_TRUE(driver.done());
        return *folder;
    };
    EXPECT_EQ(g_get_home_dir(), started_in()) << "never the list of recent files";
    {
        nbtest::DialogDriver driver;
        answer_chooser(driver, logs + "/a.log");
        click("player-browse");
        EXPECT_TRUE(driver.done());
    }
    EXPECT_EQ(logs, started_in());

    const std::string file = dir_ + "/folders.nbs";
    ASSERT_EQ(0, the_app.session.ops.save(&the_app, file.c_str()));
    EXPECT_NE(std::string::npos, nbtest::read_file(file).find("\nLogFolder=" + logs + "\n"));
    memset(the_app.session.folders, 0, sizeof the_app.session.folders);
    EXPECT_EQ(g_get_home_dir(), started_in());
    ASSERT_TRUE(nbtest::write_file(file, "[Nimbrel]\nLogFolder=" + logs + "\n"));
    ASSERT_EQ(0, the_app.session.ops.load(&the_app, file.c_str()));
    EXPECT_EQ(logs, started_in());
}



// A log of three channels onto a window of two: by order the file's first
// channel goes to the main channel, the second to the added one, the third
// nowhere (counted). Each channel sends exactly its frames, in order; a
// channel mapped to none sends nothing; the choice comes back from the
// session.
TEST_F(Player, EachChannelOfTheFileGoesToItsOwnChannel)
{
    nb_chan_settings s;
    chan_settings_default(&s);
    s.baud_index = the_app.chan.baud_index;
    int32_t index = -1;
    ASSERT_EQ(0, chanset_add(&the_app, 1, &s, &index, nullptr));
    ASSERT_EQ(1, index);
    nb_chan *added = chanset_at(&the_app, 1);
    ASSERT_GE(added->ops.start(added), 0);

    std::vector<cl_frame> frames;
    for (int i = 0; i < 9; i++) {
        cl_frame f = make(i, 0x200 + (uint32_t)i);
        f.chan = (uint16_t)(i % 3 == 2 ? 5 : i % 3);   /* file channels 0, 1, 5 */
        frames.push_back(f);
    }
    std::string path = write_log("three.asc", frames);
    open(path);
    auto sent_ids = [](int sim_chan) {
        std::vector<uint32_t> ids;
        zk_frame buf[64];
        int n;
        while ((n = zk_sim_sent(sim_chan, buf, 64)) > 0)
            for (int i = 0; i < n; i++)
                ids.push_back(buf[i].id);
        return ids;
    };
    click("player-play");
    for (int i = 0; i < 30; i++) {
        zk_sim_advance_us(1000);
        service_();
    }
    EXPECT_EQ((std::vector<uint32_t>{0x200, 0x203, 0x206}), sent_ids(0)) << message();
    EXPECT_EQ((std::vector<uint32_t>{0x201, 0x204, 0x207}), sent_ids(1)) << message();
    EXPECT_EQ(1, gtk_combo_box_get_active(GTK_COMBO_BOX(widget("player-map-0"))));
    EXPECT_EQ(2, gtk_combo_box_get_active(GTK_COMBO_BOX(widget("player-map-1"))));
    EXPECT_EQ(0, gtk_combo_box_get_active(GTK_COMBO_BOX(widget("player-map-2"))));
    EXPECT_EQ("3 frames not sent", label("player-map-unsent-2"));

    // The second channel to none, the third to the main channel.
    click("player-stop");
    gtk_combo_box_set_active(GTK_COMBO_BOX(widget("player-map-1")), 0);
    gtk_combo_box_set_active(GTK_COMBO_BOX(widget("player-map-2")), 1);
    click("player-play");
    for (int i = 0; i < 30; i++) {
        zk_sim_advance_us(1000);
        service_();
    }
    EXPECT_EQ((std::vector<uint32_t>{0x200, 0x202, 0x203, 0x205, 0x206, 0x208}), sent_ids(0));
    EXPECT_TRUE(sent_ids(1).empty());

    std::string file = dir_ + "/map.nbs";
    ASSERT_EQ(0, the_app.session.ops.save(&the_app, file.c_str()));
    EXPECT_NE(std::string::npos, nbtest::read_file(file).find("ChannelMap=1=none 5=0\n"));
    gtk_combo_box_set_active(GTK_COMBO_BOX(widget("player-map-1")), 2);
    ASSERT_EQ(0, the_app.session.ops.load(&the_app, file.c_str()));
    service_();
    EXPECT_EQ(0, gtk_combo_box_get_active(GTK_COMBO_BOX(widget("player-map-1"))));

    // On the real clock the sending thread sends on both channels, in
    // order, while the window stays blocked (no main loop runs here).
    gtk_combo_box_set_active(GTK_COMBO_BOX(widget("player-map-1")), 2);
    sent_ids(0);
    sent_ids(1);
    set_clock_(nullptr);
    zk_sim_manual_clock(0);
    click("player-play");
    std::vector<uint32_t> on0, on1;
    const int64_t end = g_get_monotonic_time() + 5000000;
    while ((on0.size() < 6 || on1.size() < 3) && g_get_monotonic_time() < end) {
        for (uint32_t id : sent_ids(0))
            on0.push_back(id);
        for (uint32_t id : sent_ids(1))
            on1.push_back(id);
        g_usleep(500);  // the poll interval of this wait
    }
    click("player-stop");
    EXPECT_EQ((std::vector<uint32_t>{0x200, 0x202, 0x203, 0x205, 0x206, 0x208}), on0);
    EXPECT_EQ((std::vector<uint32_t>{0x201, 0x204, 0x207}), on1);
    chanset_remove(&the_app, 1);
}

// Two boards, each its own bus shared with zelkctl, on the real clock.
class PlayerBesideDump : public Player {
protected:
    PlayerBesideDump()
    {
        boards_ = "0=sim:channels=2,traffic=none,txq=64;1=sim:channels=2,traffic=none,txq=64";
        manual_ = false;
    }
};

// A two-channel log onto the main channel (board 0) and an added one
// (board 1), as another program sees it: zelkctl dump on the other channel
// of each bus gets exactly that channel's frames, in order; mapped to
// none, the file's second channel sends nothing.
TEST_F(PlayerBesideDump, ZelkctlDumpOnEachBusSeesExactlyItsChannelsFrames)
{
    nb_chan_settings s;
    chan_settings_default(&s);
    s.baud_index = the_app.chan.baud_index;
    int32_t index = -1;
    ASSERT_EQ(0, chanset_add(&the_app, 2, &s, &index, nullptr));
    nb_chan *added = chanset_at(&the_app, index);
    ASSERT_GE(added->ops.start(added), 0);

    std::string stage = nbtest::stage_dir().empty() ? PL_STAGE_DIR : nbtest::stage_dir();
    std::string out = dir_ + "/dump";
    pid_t dump = fork();
    if (dump == 0) {
        execl("/bin/sh", "sh", "-c",
              ("exec " + stage + "/zelkctl dump 1 3 --seconds 120 > '" + out + "' 2>&1").c_str(),
              (char *)nullptr);
        _exit(127);
    }
    ASSERT_GT(dump, 0);
    struct Reap {
        pid_t pid;
        ~Reap()
        {
            kill(pid, SIGINT);
            waitpid(pid, nullptr, 0);
        }
    } reap{dump};
    // Each line's channel and frame ("ch1 123#..."), marks of readiness left out.
    auto seen = [&](const char *ch) {
        std::vector<std::string> v;
        std::istringstream in(nbtest::read_file(out));
        std::string ts, c, fr;
        while (in >> ts >> c >> fr)
            if (c == ch && fr != "7FF#EE")
                v.push_back(fr);
        return v;
    };
    auto count = [&](const char *ch, const std::string &fr) {
        std::vector<std::string> v = seen(ch);
        return std::count(v.begin(), v.end(), fr);
    };
    zk_frame mark = {};
    mark.id = 0x7FF;
    mark.len = 1;
    mark.data[0] = 0xEE;
    ASSERT_TRUE(nbtest::wait_until([&] {
        ZkWrite(0, &mark, 1);
        ZkWrite(2, &mark, 1);
        std::string o = nbtest::read_file(out);
        return o.find(" ch1 7FF#EE") != std::string::npos && o.find(" ch3 7FF#EE") != std::string::npos;
    }, 20000)) << nbtest::read_file(out);

    // File channels 0 and 1 in turn, the last frame on 0.
    std::vector<cl_frame> frames;
    std::vector<std::string> want0, want1;
    for (int i = 0; i < 9; i++) {
        cl_frame f = make(i, 0x300 + (uint32_t)i);
        f.chan = (uint16_t)(i % 2);
        f.len = 2;
        frames.push_back(f);
        char t[16];
        snprintf(t, sizeof t, "%03X#%02X%02X", f.id, f.data[0], f.data[1]);
        (f.chan ? want1 : want0).push_back(t);
    }
    open(write_log("two.log", frames));
    auto play = [&](int times) {
        click("player-play");
        EXPECT_TRUE(nbtest::wait_until([&] { return count("ch1", want0.back()) == times; }, 20000))
            << message();
        click("player-stop");
    };
    play(1);
    EXPECT_EQ(1, gtk_combo_box_get_active(GTK_COMBO_BOX(widget("player-map-0"))));
    EXPECT_EQ(2, gtk_combo_box_get_active(GTK_COMBO_BOX(widget("player-map-1"))));
    gtk_combo_box_set_active(GTK_COMBO_BOX(widget("player-map-1")), 0);
    play(2);

    zk_frame end = mark;
    end.id = 0x7FE;
    end.data[0] = 0xEF;
    ASSERT_EQ(1, ZkWrite(2, &end, 1));
    ASSERT_TRUE(nbtest::wait_until([&] { return count("ch3", "7FE#EF") == 1; }, 20000));
    std::vector<std::string> twice = want0;
    twice.insert(twice.end(), want0.begin(), want0.end());
    EXPECT_EQ(twice, seen("ch1"));
    want1.push_back("7FE#EF");
    EXPECT_EQ(want1, seen("ch3"));
    chanset_remove(&the_app, index);
}

}  // namespace
