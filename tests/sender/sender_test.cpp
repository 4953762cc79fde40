// The sender plug-in (stage/sender.so) loaded by the real plug-in manager
// over the simulated adapter with its manual clock; the plug-in's clock is
// replaced by the simulation clock, so periodic frames are counted over
// simulated time.
#include <gdk/gdkkeysyms.h>
#include <gtest/gtest.h>
#include <string.h>

#include <algorithm>
#include <string>
#include <vector>

#include "../sendlog/sl_fixture.h"
#include "can/chanset.h"

namespace {

// Columns of the list, as the page shows them.
enum { COL_ID, COL_EXT, COL_RTR, COL_FD, COL_BRS, COL_LEN, COL_DATA, COL_PERIOD, COL_ENABLED,
       COL_SENT, COL_STATE };

int64_t sim_now()
{
    return (int64_t)zk_sim_now_us();
}

std::string lib_text(int code)
{
    char buf[256] = "";
    ZkStrError((int16_t)code, buf, sizeof buf);
    return buf;
}

struct Sent {
    zk_frame f;
    int64_t at_us;
};

class Sender : public sltest::PluginTest {
protected:
    void SetUp() override
    {
        load_plugin("sender", SD_STAGE_DIR, boards_);
        if (HasFatalFailure())
            return;
        view_ = widget("sender-list");
        set_clock_ = (void (*)(int64_t (*)(void)))symbol("sender_set_clock");
        service_ = (void (*)(void))symbol("sender_service");
        ASSERT_NE(nullptr, set_clock_);
        ASSERT_NE(nullptr, service_);
        set_clock_(sim_now);
    }

    GtkTreeModel *model() { return gtk_tree_view_get_model(GTK_TREE_VIEW(view_)); }
    int rows() { return gtk_tree_model_iter_n_children(model(), nullptr); }
    std::string cell(int row, int col)
    {
        GtkTreeIter it;
        if (!gtk_tree_model_iter_nth_child(model(), &it, nullptr, row))
            return "<no row>";
        if (col == COL_EXT || col == COL_RTR || col == COL_FD || col == COL_BRS ||
            col == COL_ENABLED) {
            gboolean b = FALSE;
            gtk_tree_model_get(model(), &it, col, &b, -1);
            return b ? "yes" : "no";
        }
        gchar *s = nullptr;
        gtk_tree_model_get(model(), &it, col, &s, -1);
        std::string out = s ? s : "";
        g_free(s);
        return out;
    }
    GtkCellRenderer *renderer(int col)
    {
        GtkTreeViewColumn *c = gtk_tree_view_get_column(GTK_TREE_VIEW(view_), col);
        GList *cells = gtk_cell_layout_get_cells(GTK_CELL_LAYOUT(c));
        GtkCellRenderer *r = cells ? GTK_CELL_RENDERER(cells->data) : nullptr;
        g_list_free(cells);
        return r;
    }
    // What the user does in the list: type into a cell, click a check box.
    void edit(int row, int col, const char *text)
    {
        std::string path = std::to_string(row);
        g_signal_emit_by_name(renderer(col), "edited", path.c_str(), text);
    }
    void toggle(int row, int col)
    {
        std::string path = std::to_string(row);
        g_signal_emit_by_name(renderer(col), "toggled", path.c_str());
    }
    void select(int row)
    {
        GtkTreePath *p = gtk_tree_path_new_from_indices(row, -1);
        gtk_tree_selection_select_path(gtk_tree_view_get_selection(GTK_TREE_VIEW(view_)), p);
        gtk_tree_path_free(p);
    }
    int add(const char *id, int ext, const char *len, const char *data, const char *period,
            int enabled, int fd = 0)
    {
        click("sender-add");
        int row = rows() - 1;
        if (ext)
            toggle(row, COL_EXT);
        if (fd)
            toggle(row, COL_FD);
        edit(row, COL_ID, id);
        edit(row, COL_LEN, len);
        edit(row, COL_DATA, data);
        edit(row, COL_PERIOD, period);
        if (enabled)
            toggle(row, COL_ENABLED);
        EXPECT_EQ("", message()) << id;
        return row;
    }
    std::string message() { return label("sender-message"); }

    // Frames the library accepted since the last call, stamped with the
    // simulation time they were taken at.
    void collect(std::vector<Sent> &out)
    {
        zk_frame buf[256];
        int n = zk_sim_sent(0, buf, 256);
        for (int i = 0; i < n; i++)
            out.push_back(Sent{buf[i], sim_now()});
    }
    void advance_ms(int ms)
    {
        zk_sim_advance_us((uint64_t)ms * 1000);
        service_();
    }

    const char *boards_ = "0=sim:channels=2,traffic=none,txq=64";
    GtkWidget *view_ = nullptr;
    void (*set_clock_)(int64_t (*)(void)) = nullptr;
    void (*service_)(void) = nullptr;
};

TEST_F(Sender, InvalidFieldsAreRefusedWithAMessageAndNothingIsSent)
{
    nbtest::DialogDriver driver;  // no message box for bad input
    click("sender-add");
    ASSERT_EQ(1, rows());
    ASSERT_EQ("100", cell(0, COL_ID));
    ASSERT_EQ("0", cell(0, COL_LEN));   // follows the data, none yet
    auto refused = [&](int col, const char *text, const char *part) {
        std::string before = cell(0, col);
        edit(0, col, text);
        EXPECT_NE(std::string::npos, message().find(part)) << text << ": " << message();
        EXPECT_EQ(before, cell(0, col)) << text;
    };

    refused(COL_ID, "800", "7FF");
    refused(COL_ID, "12G", "not a hexadecimal");
    refused(COL_ID, "", "empty");
    toggle(0, COL_EXT);
    edit(0, COL_ID, "800");
    EXPECT_EQ("", message());
    EXPECT_EQ("00000800", cell(0, COL_ID));
    refused(COL_ID, "20000000", "1FFFFFFF");
    refused(COL_ID, "FFFFFFFFFF", "1FFFFFFF");
    // Clearing Ext would leave a 29-bit identifier in an 11-bit frame.
    toggle(0, COL_EXT);
    EXPECT_NE(std::string::npos, message().find("7FF")) << message();
    EXPECT_EQ("yes", cell(0, COL_EXT));

    refused(COL_LEN, "9", "0 to 8");
    refused(COL_LEN, "x", "0 to 8");
    refused(COL_LEN, "-1", "0 to 8");
    refused(COL_DATA, "GG", "hexadecimal");
    refused(COL_DATA, "01 02 03 04 05 06 07 08 09", "more than 8");
    refused(COL_DATA, "123", "odd number");
    edit(0, COL_LEN, "2");
    refused(COL_DATA, "01 02 03", "3 bytes, more than the length 2");
    edit(0, COL_DATA, "0102");
    EXPECT_EQ("01 02", cell(0, COL_DATA));
    refused(COL_LEN, "1", "2 bytes, more than the length 1");
    refused(COL_PERIOD, "-5", "milliseconds");
    refused(COL_PERIOD, "abc", "milliseconds");
    refused(COL_PERIOD, "3600001", "milliseconds");
    refused(COL_PERIOD, "10ms", "milliseconds");

    // Refused edits sent nothing; the message as it stands goes out once.
    zk_frame none[4];
    EXPECT_EQ(0, zk_sim_sent(0, none, 4));
    select(0);
    click("sender-send");
    EXPECT_EQ("", message());
    zk_frame f[4];
    ASSERT_EQ(1, zk_sim_sent(0, f, 4));
    EXPECT_EQ(0x800u, f[0].id);
    EXPECT_EQ(ZK_FRAME_EFF, f[0].flags);
    EXPECT_EQ(2, f[0].len);
    EXPECT_EQ(0x01, f[0].data[0]);
    EXPECT_EQ(0x02, f[0].data[1]);
    EXPECT_EQ("1", cell(0, COL_SENT));
    nbtest::pump();
    EXPECT_TRUE(driver.seen().empty());
}

TEST_F(Sender, PeriodicFramesLeaveOnTheirOwnGridWithoutDrift)
{
    add("123", 0, "1", "AA", "10", 1);
    add("456", 0, "0", "", "0", 1);            // on demand only
    add("1ABCDE00", 1, "3", "01 02 03", "25", 1);
    add("321", 0, "1", "BB", "10", 0);         // not enabled
    const int64_t t0 = sim_now();
    click("sender-start");
    EXPECT_EQ("Periodic sending: on", label("sender-state"));

    // Irregular service times, as a loaded main loop gives them.
    std::vector<Sent> sent;
    collect(sent);
    const int steps[] = {1, 3, 7, 2, 9, 4};
    int elapsed = 0;
    for (int k = 0; elapsed < 1000; k++) {
        int step = std::min(steps[k % 6], 1000 - elapsed);
        advance_ms(step);
        elapsed += step;
        collect(sent);
    }
    std::vector<int64_t> a, b;
    for (const Sent &s : sent) {
        if (s.f.id == 0x123)
            a.push_back(s.at_us - t0);
        else if (s.f.id == 0x1ABCDE00)
            b.push_back(s.at_us - t0);
        else
            ADD_FAILURE() << "unexpected frame " << std::hex << s.f.id;
    }
    // Due at 0, 10, ..., 1000 ms and 0, 25, ..., 1000 ms: every frame in
    // the first service at or after its slot, never a slot later.
    ASSERT_EQ(101u, a.size());
    ASSERT_EQ(41u, b.size());
    for (size_t k = 0; k < a.size(); k++) {
        EXPECT_GE(a[k], (int64_t)k * 10000) << k;
        EXPECT_LT(a[k], (int64_t)k * 10000 + 9000) << k;
    }
    for (size_t k = 0; k < b.size(); k++) {
        EXPECT_GE(b[k], (int64_t)k * 25000) << k;
        EXPECT_LT(b[k], (int64_t)k * 25000 + 9000) << k;
    }
    EXPECT_EQ("101", cell(0, COL_SENT));
    EXPECT_EQ("0", cell(1, COL_SENT));
    EXPECT_EQ("41", cell(2, COL_SENT));
    EXPECT_EQ("0", cell(3, COL_SENT));

    // A long stall skips the missed slots instead of sending a burst.
    zk_sim_advance_us(95000);
    service_();
    collect(sent);
    size_t before = sent.size();
    advance_ms(1);
    collect(sent);
    EXPECT_EQ(before, sent.size());
    advance_ms(4);  // 1100 ms: the grid again
    collect(sent);
    EXPECT_EQ(before + 2, sent.size());

    click("sender-stop");
    EXPECT_EQ("Periodic sending: off", label("sender-state"));
    advance_ms(100);
    collect(sent);
    EXPECT_EQ(before + 2, sent.size());
}

TEST_F(Sender, PeriodicMessagesGoOutOnTheRealClock)
{
    set_clock_(nullptr);
    add("222", 0, "2", "12 34", "5", 1);
    click("sender-start");
    // The library's queue drains only as the simulated bus runs.
    std::vector<Sent> sent;
    EXPECT_TRUE(nbtest::wait_until([&] {
        zk_sim_advance_us(1000);
        collect(sent);
        return sent.size() >= 5;
    }, 5000));
    EXPECT_EQ(0x222u, sent.at(0).f.id);
    click("sender-stop");
}

// The window blocked (its main loop does not run) while another node
// reads the bus: periodic messages keep coming, each in its order, and the
// tx log holds every frame sent, in time order, as the Sent column counts.
TEST_F(Sender, PeriodicSendingGoesOnWhileTheWindowIsBlocked)
{
    open_reader();
    if (HasFatalFailure())
        return;
    set_clock_(nullptr);
    add("123", 0, "1", "AA", "10", 1);
    add("1ABCDE00", 1, "1", "BB", "5", 1);
    click("sender-start");
    std::vector<zk_fdframe> got = read_blocked(60, 10000);
    click("sender-stop");
    ASSERT_GE(got.size(), 60u) << "frames stopped while the window was blocked";
    // Both messages, each on its own cycle (counts only: the intervals are
    // the benchmark's, bench/sender).
    size_t a = 0, b = 0;
    for (const zk_fdframe &f : got) {
        a += f.id == 0x123;
        b += f.id == 0x1ABCDE00;
    }
    EXPECT_GE(a, 15u);
    EXPECT_GE(b, 30u);
    EXPECT_EQ(got.size(), a + b);

    std::vector<nb_tx_fd_entry> log(1024);
    int n = txlog_drain(the_app.chan.txlog, log.data(), 1024);
    ASSERT_GE(n, 60);
    for (int k = 1; k < n; k++)
        EXPECT_GE((int32_t)(log[k].frame.ts - log[k - 1].frame.ts), 0) << k;
    service_();  // the page's counts, the thread having ended
    EXPECT_EQ(std::to_string(n),
              std::to_string(std::stoull(cell(0, COL_SENT)) + std::stoull(cell(1, COL_SENT))));
}

TEST_F(Sender, RefusedSendsShowTheLibraryReasonAndRepeatedFailuresPause)
{
    nbtest::DialogDriver driver;  // reasons go into the page, not into boxes
    add("10", 0, "1", "01", "10", 1);
    ASSERT_GE(the_app.chan.ops.stop(&the_app.chan), 0);
    select(0);
    click("sender-send");
    std::string stopped = lib_text(ZK_E_NOTSTARTED);
    ASSERT_NE("", stopped);
    EXPECT_NE(std::string::npos, message().find(stopped)) << message();
    EXPECT_EQ("Refused: " + stopped, cell(0, COL_STATE));

    // Periodic: the third failure in a row pauses the message.
    click("sender-start");
    advance_ms(10);
    EXPECT_EQ("Refused: " + stopped, cell(0, COL_STATE));
    advance_ms(10);
    EXPECT_EQ("Paused: " + stopped, cell(0, COL_STATE));
    EXPECT_NE(std::string::npos, message().find("paused")) << message();
    // The paused row shows its box clear, the reason in its tooltip.
    EXPECT_EQ("no", cell(0, COL_ENABLED));
    EXPECT_EQ("Paused: " + stopped + "\nEnable it again to resume.", cell(0, COL_STATE + 1));
    ASSERT_GE(the_app.chan.ops.start(&the_app.chan), 0);
    std::vector<Sent> sent;
    advance_ms(50);
    collect(sent);
    EXPECT_TRUE(sent.empty());

    // Ticking the box again resumes it (one click, as the box shows).
    toggle(0, COL_ENABLED);
    advance_ms(1);
    collect(sent);
    EXPECT_EQ(1u, sent.size());
    EXPECT_EQ("", cell(0, COL_STATE));
    EXPECT_EQ("yes", cell(0, COL_ENABLED));

    // Failures that are not in a row do not pause; a write timeout does
    // when it repeats.
    zk_sim_fail_next("ZkWrite", ZK_E_WTOUT);
    zk_sim_fail_next("ZkWrite", ZK_E_WTOUT);
    advance_ms(10);
    advance_ms(10);
    advance_ms(10);
    collect(sent);
    EXPECT_EQ(2u, sent.size());
    EXPECT_EQ("", cell(0, COL_STATE));
    for (int i = 0; i < 3; i++)
        zk_sim_fail_next("ZkWrite", ZK_E_WTOUT);
    for (int i = 0; i < 5; i++)
        advance_ms(10);
    collect(sent);
    EXPECT_EQ(2u, sent.size());
    EXPECT_EQ("Paused: " + lib_text(ZK_E_WTOUT), cell(0, COL_STATE));
    EXPECT_EQ("Periodic sending: on", label("sender-state"));
    nbtest::pump();
    EXPECT_TRUE(driver.seen().empty());
}

// The controller the host stopped after a bus-off: the refusal names
// the bus-off until the controller starts again.
TEST_F(Sender, AfterABusOffRefusalsNameIt)
{
    nbtest::DialogDriver driver;
    add("10", 0, "1", "01", "0", 0);
    zk_errs e;
    memset(&e, 0, sizeof e);
    e.boff = 1;
    ASSERT_GE(zk_sim_inject_errors(0, &e), 0);
    tick();
    ASSERT_GE(the_app.chan.ops.stop(&the_app.chan), 0);   /* as the window does */
    select(0);
    click("sender-send");
    EXPECT_EQ("Refused: " + lib_text(ZK_E_BUSOFF), cell(0, COL_STATE));
    ASSERT_GE(the_app.chan.ops.start(&the_app.chan), 0);
    ASSERT_GE(the_app.chan.ops.stop(&the_app.chan), 0);
    click("sender-send");
    EXPECT_EQ("Refused: " + lib_text(ZK_E_NOTSTARTED), cell(0, COL_STATE));
}

// Frames the adapter accepted but that never went out (still queued when
// the controller stopped) leave their message's Sent count and are told
// in its state.
TEST_F(Sender, FramesThatNeverWentOutLeaveSentAndShowInTheState)
{
    add("10", 0, "1", "01", "0", 0);
    add("20", 0, "1", "02", "0", 0);
    select(0);
    click("sender-send");
    zk_sim_advance_us(2000);   // on the bus
    click("sender-send");
    click("sender-send");
    select(1);
    click("sender-send");
    tick();
    ASSERT_EQ(zk_sim_tx_pending(the_app.chan.number), 3);
    ASSERT_GE(the_app.chan.ops.stop(&the_app.chan), 0);
    tick();
    EXPECT_TRUE(nbtest::wait_until([&] { return cell(1, COL_SENT) == "0"; })) << cell(1, COL_SENT);
    EXPECT_EQ("1", cell(0, COL_SENT));
    EXPECT_EQ("2 frames not sent (never acknowledged or dropped)", cell(0, COL_STATE));
    EXPECT_EQ("1 frame not sent (never acknowledged or dropped)", cell(1, COL_STATE));
}

TEST_F(Sender, TheListRoundTripsThroughASession)
{
    add("123", 0, "4", "DE AD BE EF", "0", 0);
    add("1ABCDEF0", 1, "8", "", "100", 1);
    toggle(1, COL_RTR);
    add("7FF", 0, "8", "01 02", "20", 1);
    std::vector<std::vector<std::string>> want;
    for (int r = 0; r < 3; r++) {
        std::vector<std::string> row;
        for (int c = COL_ID; c <= COL_ENABLED; c++)
            row.push_back(cell(r, c));
        want.push_back(row);
    }

    std::string file = dir_ + "/s.nbs";
    ASSERT_EQ(0, the_app.session.ops.save(&the_app, file.c_str()));
    std::string text = nbtest::read_file(file);
    EXPECT_NE(std::string::npos, text.find("Message=123,0,0,4,DEADBEEF,0,0\n")) << text;
    EXPECT_NE(std::string::npos, text.find("Message=1ABCDEF0,1,1,8,,100,1\n")) << text;
    EXPECT_NE(std::string::npos, text.find("Message=7FF,0,0,8,0102,20,1\n")) << text;

    select(0);
    click("sender-remove");
    select(0);
    click("sender-remove");
    ASSERT_EQ(1, rows());
    click("sender-start");
    ASSERT_EQ(0, the_app.session.ops.load(&the_app, file.c_str()));
    ASSERT_EQ(3, rows());
    for (int r = 0; r < 3; r++)
        for (int c = COL_ID; c <= COL_ENABLED; c++)
            EXPECT_EQ(want[r][c], cell(r, c)) << r << "," << c;
    // Loading never starts sending on its own.
    EXPECT_EQ("Periodic sending: off", label("sender-state"));
    std::vector<Sent> sent;
    collect(sent);  // the frame sent when periodic sending started
    sent.clear();
    advance_ms(100);
    collect(sent);
    EXPECT_TRUE(sent.empty());

    // Entries that fail the field rules are left out, and the page says so.
    std::string bad = text;
    size_t at = bad.find("Message=7FF,0,0,8,0102,20,1");
    ASSERT_NE(std::string::npos, at);
    bad.replace(at, strlen("Message=7FF,0,0,8,0102,20,1"), "Message=800,0,0,8,0102,20,1");
    ASSERT_TRUE(nbtest::write_file(file, bad));
    ASSERT_EQ(0, the_app.session.ops.load(&the_app, file.c_str()));
    ASSERT_EQ(2, rows());
    EXPECT_EQ("123", cell(0, COL_ID));
    EXPECT_EQ("1ABCDEF0", cell(1, COL_ID));
    EXPECT_NE(std::string::npos, message().find("1 message of the session was not valid"))
        << message();

    // 302 valid messages, beyond the list's limit: the limit is said.
    std::string many = bad;
    for (int i = 0; i < 300; i++)
        many += "Message=" + std::to_string(100 + i) + ",0,0,1,01,0,0\n";
    ASSERT_TRUE(nbtest::write_file(file, many));
    ASSERT_EQ(0, the_app.session.ops.load(&the_app, file.c_str()));
    ASSERT_EQ(256, rows());
    EXPECT_EQ("46 messages of the session were left out: the list holds at most 256. 1 message "
              "of the session was not valid and was left out.",
              message());
}

}  // namespace

namespace {

TEST_F(Sender, TheLengthFollowsTheDataUnlessSetAndAMismatchIsShown)
{
    click("sender-add");
    edit(0, COL_DATA, "DE AD BE EF");
    EXPECT_EQ("4", cell(0, COL_LEN));
    EXPECT_EQ("", cell(0, COL_STATE));
    select(0);
    click("sender-send");
    // Set by hand: the length stays, and the list says what will be sent.
    edit(0, COL_LEN, "8");
    EXPECT_NE(std::string::npos, cell(0, COL_STATE).find("4 zero bytes are added"))
        << cell(0, COL_STATE);
    edit(0, COL_DATA, "01 02 03 04 05 06");
    EXPECT_EQ("8", cell(0, COL_LEN));
    click("sender-send");
    // Cleared: it follows the data again.
    edit(0, COL_LEN, "");
    EXPECT_EQ("6", cell(0, COL_LEN));
    EXPECT_EQ("", cell(0, COL_STATE));
    click("sender-send");
    std::vector<Sent> sent;
    collect(sent);
    ASSERT_EQ(3u, sent.size());
    EXPECT_EQ(4, sent[0].f.len);
    EXPECT_EQ(8, sent[1].f.len);
    EXPECT_EQ(6, sent[2].f.len);
}

TEST_F(Sender, QuickSendTakesTheStrictSyntaxAndKeepsItsHistoryInTheSession)
{
    GtkWidget *combo = widget("sender-quick");
    GtkWidget *entry = gtk_bin_get_child(GTK_BIN(combo));
    auto quick = [&](const char *text) {
        gtk_entry_set_text(GTK_ENTRY(entry), text);
        click("sender-quick-send");
    };
    quick("123#DEADBEEF");
    quick("18daf110#R");
    quick("123#");
    // A refusal is said on the one line below, which keeps its height:
    // the quick-send line stays where the user's next click goes.
    nbtest::pump();
    GtkAllocation before = combo->allocation;
    GtkRequisition empty;
    gtk_widget_size_request(widget("sender-message"), &empty);
    quick(" 7FF#01");   // refused: nothing goes out
    EXPECT_NE(std::string::npos, message().find("not a frame")) << message();
    gchar *tip = gtk_widget_get_tooltip_text(widget("sender-message"));
    EXPECT_STREQ(message().c_str(), tip);
    g_free(tip);
    nbtest::pump();
    GtkRequisition full;
    gtk_widget_size_request(widget("sender-message"), &full);
    EXPECT_EQ(empty.height, full.height);
    EXPECT_EQ(before.y, combo->allocation.y);
    EXPECT_EQ(before.height, combo->allocation.height);
    quick("123#DE.AD.BE.EF");   // the first line again, now the latest
    std::vector<Sent> sent;
    collect(sent);
    ASSERT_EQ(4u, sent.size());
    EXPECT_EQ(0x123u, sent[0].f.id);
    EXPECT_EQ(4, sent[0].f.len);
    EXPECT_EQ(ZK_FRAME_EFF | ZK_FRAME_RTR, sent[1].f.flags);
    EXPECT_EQ(0, sent[2].f.len);

    auto history = [&] {
        std::vector<std::string> out;
        GtkTreeModel *m = gtk_combo_box_get_model(GTK_COMBO_BOX(combo));
        GtkTreeIter it;
        for (gboolean ok = gtk_tree_model_get_iter_first(m, &it); ok;
             ok = gtk_tree_model_iter_next(m, &it)) {
            gchar *s = nullptr;
            gtk_tree_model_get(m, &it, 0, &s, -1);
            out.push_back(s ? s : "");
            g_free(s);
        }
        return out;
    };
    const std::vector<std::string> want = {"123#DEADBEEF", "123#", "18DAF110#R"};
    EXPECT_EQ(want, history());

    std::string file = dir_ + "/q.nbs";
    ASSERT_EQ(0, the_app.session.ops.save(&the_app, file.c_str()));
    std::string text = nbtest::read_file(file);
    EXPECT_NE(std::string::npos,
              text.find("QuickSend=123#DEADBEEF\nQuickSend=123#\nQuickSend=18DAF110#R\n"))
        << text;
    quick("7FF#01");
    ASSERT_EQ(0, the_app.session.ops.load(&the_app, file.c_str()));
    EXPECT_EQ(want, history());
}

}  // namespace

namespace {

std::vector<zk_fdframe> sent_fd()
{
    zk_fdframe buf[64];
    int n = zk_sim_sent_fd(0, buf, 64);
    return std::vector<zk_fdframe>(buf, buf + (n > 0 ? n : 0));
}

// CAN FD messages: refused on a classic channel with the library's
// reason; on an FD channel every FD length, BRS, 64 bytes typed in one
// line, periodic sending, the session and the quick-send line.
TEST_F(Sender, CanFdMessagesAreEditedSentAndKeptInTheSession)
{
    nbtest::DialogDriver driver;
    click("sender-add");
    toggle(0, COL_BRS);  // BRS without FD
    EXPECT_NE(std::string::npos, message().find("FD")) << message();
    EXPECT_EQ("no", cell(0, COL_BRS));
    toggle(0, COL_RTR);
    toggle(0, COL_FD);   // FD has no remote frames
    EXPECT_EQ("no", cell(0, COL_FD));
    toggle(0, COL_RTR);
    toggle(0, COL_FD);
    toggle(0, COL_BRS);
    EXPECT_EQ("yes", cell(0, COL_BRS));
    edit(0, COL_LEN, "10");
    EXPECT_NE(std::string::npos, message().find("48 or 64")) << message();
    edit(0, COL_LEN, "");
    std::string bytes;
    for (int i = 0; i < 64; i++) {
        char b[4];
        snprintf(b, sizeof b, i % 5 == 4 ? "%02X " : "%02X", i);
        bytes += b;
    }
    edit(0, COL_DATA, bytes.c_str());
    EXPECT_EQ("", message());
    EXPECT_EQ("64", cell(0, COL_LEN));
    std::string shown = cell(0, COL_DATA);   // 8 lines of 8 bytes
    EXPECT_EQ(7, std::count(shown.begin(), shown.end(), '\n')) << shown;
    // Its editor holds them on one line.
    nbtest::pump();
    GtkTreePath *path = gtk_tree_path_new_from_indices(0, -1);
    gtk_tree_view_set_cursor(GTK_TREE_VIEW(view_), path,
                             gtk_tree_view_get_column(GTK_TREE_VIEW(view_), COL_DATA), TRUE);
    gtk_tree_path_free(path);
    GList *kids = gtk_container_get_children(GTK_CONTAINER(view_));
    ASSERT_NE(nullptr, kids);
    ASSERT_TRUE(GTK_IS_ENTRY(kids->data));
    std::string line = gtk_entry_get_text(GTK_ENTRY(kids->data));
    g_list_free(kids);
    EXPECT_EQ(std::string::npos, line.find('\n')) << line;
    EXPECT_EQ(64u * 3 - 1, line.size()) << line;
    edit(0, COL_DATA, (bytes + "40").c_str());
    EXPECT_NE(std::string::npos, message().find("more than 64")) << message();

    // A classic channel refuses it with the library's reason.
    select(0);
    click("sender-send");
    EXPECT_EQ("Refused: " + lib_text(ZK_E_NOFD), cell(0, COL_STATE));

    sltest::reopen_channel_fd();
    click("sender-send");
    EXPECT_EQ("", cell(0, COL_STATE));
    // Ten bytes follow up to the FD length 12 and the list says so;
    // clearing FD then refuses the ten bytes.
    add("1ABCDEF0", 1, "", "01 02 03 04 05 06 07 08 09 0A", "10", 1, 1);
    EXPECT_EQ("12", cell(1, COL_LEN));
    EXPECT_NE(std::string::npos, cell(1, COL_STATE).find("2 zero bytes")) << cell(1, COL_STATE);
    toggle(1, COL_FD);
    EXPECT_NE(std::string::npos, message().find("at most 8")) << message();
    EXPECT_EQ("yes", cell(1, COL_FD));
    click("sender-start");
    for (int ms = 0; ms < 25; ms++)
        advance_ms(1);
    click("sender-stop");
    zk_sim_advance_us(2000);  // the bus drains the library's queue
    std::vector<zk_fdframe> got = sent_fd();
    ASSERT_EQ(4u, got.size());
    EXPECT_EQ(0x100u, got[0].id);
    EXPECT_EQ(ZK_FRAME_FDF | ZK_FRAME_BRS, got[0].flags);
    ASSERT_EQ(64, got[0].len);
    for (int i = 0; i < 64; i++)
        EXPECT_EQ(i, got[0].data[i]) << i;
    for (size_t k = 1; k < got.size(); k++) {
        EXPECT_EQ(0x1ABCDEF0u, got[k].id) << k;
        EXPECT_EQ(ZK_FRAME_FDF | ZK_FRAME_EFF, got[k].flags) << k;
        EXPECT_EQ(12, got[k].len) << k;
        EXPECT_EQ(0x0A, got[k].data[9]) << k;
        EXPECT_EQ(0, got[k].data[10]) << k;
    }

    // Quick send: FD lines, padded up with a note.
    GtkWidget *entry = gtk_bin_get_child(GTK_BIN(widget("sender-quick")));
    gtk_entry_set_text(GTK_ENTRY(entry), "123##10102030405060708090A");
    click("sender-quick-send");
    EXPECT_NE(std::string::npos, message().find("2 zero bytes")) << message();
    zk_sim_advance_us(2000);
    got = sent_fd();
    ASSERT_EQ(1u, got.size());
    EXPECT_EQ(ZK_FRAME_FDF | ZK_FRAME_BRS, got[0].flags);
    EXPECT_EQ(12, got[0].len);

    // The session keeps the kind; a classic message is written as before.
    add("7FF", 0, "2", "AA BB", "0", 0);
    std::string file = dir_ + "/fd.nbs";
    ASSERT_EQ(0, the_app.session.ops.save(&the_app, file.c_str()));
    std::string text = nbtest::read_file(file);
    EXPECT_NE(std::string::npos, text.find("Message=1ABCDEF0,1,0,12,0102030405060708090A,10,1,FD\n"))
        << text;
    EXPECT_NE(std::string::npos, text.find(",FD+BRS\n")) << text;
    EXPECT_NE(std::string::npos, text.find("Message=7FF,0,0,2,AABB,0,0\n")) << text;
    EXPECT_NE(std::string::npos, text.find("QuickSend=123##50102030405060708090A0000\n")) << text;
    std::vector<std::vector<std::string>> want;
    for (int r = 0; r < 3; r++) {
        want.emplace_back();
        for (int c = COL_ID; c <= COL_ENABLED; c++)
            want.back().push_back(cell(r, c));
    }
    select(0);
    click("sender-remove");
    ASSERT_EQ(0, the_app.session.ops.load(&the_app, file.c_str()));
    ASSERT_EQ(3, rows());
    for (int r = 0; r < 3; r++)
        for (int c = COL_ID; c <= COL_ENABLED; c++)
            EXPECT_EQ(want[r][c], cell(r, c)) << r << "," << c;
    EXPECT_EQ("", message());
    nbtest::pump();
    EXPECT_TRUE(driver.seen().empty());
}

// A message on an added channel goes out there, on demand, periodically
// (on the real clock) and by quick send; its channel
// comes back from the session; once its channel is removed it is refused,
// never sent on another channel.
TEST_F(Sender, EachMessageGoesOutOnItsChannel)
{
    const int COL_CHAN = 11;           /* the view's channel column */
    const int SD_COL_CHAN_MODEL = 12;  /* its text in the model */
    nb_chan_settings s;
    chan_settings_default(&s);
    s.baud_index = the_app.chan.baud_index;
    int32_t index = -1;
    ASSERT_EQ(0, chanset_add(&the_app, 1, &s, &index, nullptr));
    nb_chan *added = chanset_at(&the_app, 1);
    ASSERT_GE(added->ops.start(added), 0);
    request(PGRP_CHANNELS, nullptr, 0);
    auto ids = [](int sim_chan) {
        std::vector<uint32_t> out;
        zk_frame buf[64];
        int n;
        while ((n = zk_sim_sent(sim_chan, buf, 64)) > 0)
            for (int i = 0; i < n; i++)
                out.push_back(buf[i].id);
        return out;
    };

    add("111", 0, "1", "01", "0", 0);
    add("222", 0, "1", "02", "0", 0);
    edit(1, COL_CHAN, "ch1");
    EXPECT_EQ("", message());
    EXPECT_EQ("ch0", cell(0, SD_COL_CHAN_MODEL));
    EXPECT_EQ("ch1", cell(1, SD_COL_CHAN_MODEL));
    edit(0, COL_CHAN, "ch7");
    EXPECT_NE(std::string::npos, message().find("ch7")) << message();
    for (int row : {0, 1}) {
        select(row);
        click("sender-send");
    }
    EXPECT_EQ(std::vector<uint32_t>{0x111}, ids(0));
    EXPECT_EQ(std::vector<uint32_t>{0x222}, ids(1));

    // Quick send on the channel chosen beside the line.
    gtk_combo_box_set_active(GTK_COMBO_BOX(widget("sender-quick-channel")), 1);
    gtk_entry_set_text(GTK_ENTRY(gtk_bin_get_child(GTK_BIN(widget("sender-quick")))), "333#03");
    click("sender-quick-send");
    EXPECT_TRUE(ids(0).empty());
    EXPECT_EQ(std::vector<uint32_t>{0x333}, ids(1));

    std::string file = dir_ + "/chan.nbs";
    ASSERT_EQ(0, the_app.session.ops.save(&the_app, file.c_str()));
    std::string text = nbtest::read_file(file);
    EXPECT_NE(std::string::npos, text.find("MessageChannel=1\n")) << text;
    EXPECT_NE(std::string::npos, text.find("QuickChannel=1\n")) << text;
    ASSERT_EQ(0, the_app.session.ops.load(&the_app, file.c_str()));
    ASSERT_EQ(2, rows());
    EXPECT_EQ("ch1", cell(1, SD_COL_CHAN_MODEL));

    // Periodic on the real clock, on both channels.
    set_clock_(nullptr);
    edit(0, COL_PERIOD, "5");
    edit(1, COL_PERIOD, "5");
    toggle(0, COL_ENABLED);
    toggle(1, COL_ENABLED);
    click("sender-start");
    std::vector<uint32_t> main_ids, added_ids;
    EXPECT_TRUE(nbtest::wait_until([&] {
        zk_sim_advance_us(1000);
        for (uint32_t id : ids(0))
            main_ids.push_back(id);
        for (uint32_t id : ids(1))
            added_ids.push_back(id);
        return main_ids.size() >= 3 && added_ids.size() >= 3;
    }, 5000));
    click("sender-stop");
    EXPECT_EQ(main_ids.size(), (size_t)std::count(main_ids.begin(), main_ids.end(), 0x111u));
    EXPECT_EQ(added_ids.size(), (size_t)std::count(added_ids.begin(), added_ids.end(), 0x222u));

    // The channel goes: its message is refused, nothing goes elsewhere.
    ASSERT_EQ(0, chanset_remove(&the_app, 1));
    request(PGRP_CHANNELS, nullptr, 0);
    ids(0);
    service_();
    EXPECT_EQ("?", cell(1, SD_COL_CHAN_MODEL));
    select(1);
    click("sender-send");
    EXPECT_TRUE(ids(0).empty());
    EXPECT_NE("", cell(1, COL_STATE));
}

// A third channel, to put another channel at a removed one's index.
class SenderThreeChannels : public Sender {
protected:
    SenderThreeChannels() { boards_ = "0=sim:channels=3,traffic=none,txq=64"; }
};

// The window blocked: a periodic message of an added channel keeps going
// out there, as the main channel's does; its channel removed, it is
// refused and sent nowhere else.
TEST_F(SenderThreeChannels, AddedChannelsSendWhileTheWindowIsBlocked)
{
    const int COL_CHAN = 11;
    nb_chan_settings s;
    chan_settings_default(&s);
    s.baud_index = the_app.chan.baud_index;
    auto add_chan = [&](uint8_t number) {
        int32_t index = -1;
        ASSERT_EQ(0, chanset_add(&the_app, number, &s, &index, nullptr));
        ASSERT_EQ(1, index);
        nb_chan *ch = chanset_at(&the_app, 1);
        ASSERT_GE(ch->ops.start(ch), 0);
    };
    add_chan(1);
    if (HasFatalFailure())
        return;
    request(PGRP_CHANNELS, nullptr, 0);
    add("111", 0, "1", "01", "5", 1);
    add("222", 0, "1", "02", "5", 1);
    edit(1, COL_CHAN, "ch1");
    ASSERT_EQ("", message());

    std::vector<uint32_t> on[3];
    // The test's loop, never the main loop: the window does nothing.
    auto blocked = [&](size_t main_more, size_t added_more) {
        const size_t m0 = on[0].size() + main_more, m1 = on[1].size() + added_more;
        const int64_t end = g_get_monotonic_time() + 10 * G_USEC_PER_SEC;
        while (g_get_monotonic_time() < end) {
            zk_sim_advance_us(1000);
            zk_frame buf[64];
            for (int c = 0; c < 3; c++)
                for (int n; (n = zk_sim_sent(c, buf, 64)) > 0;)
                    for (int i = 0; i < n; i++)
                        on[c].push_back(buf[i].id);
            if (on[0].size() >= m0 && on[1].size() >= m1)
                return true;
            g_usleep(500);  // the poll interval of this wait
        }
        return false;
    };
    set_clock_(nullptr);
    click("sender-start");
    EXPECT_TRUE(blocked(20, 20)) << on[0].size() << " " << on[1].size();
    EXPECT_EQ(std::vector<uint32_t>(on[1].size(), 0x222), on[1]);

    // Another channel takes the removed one's index: nothing goes there.
    ASSERT_EQ(0, chanset_remove(&the_app, 1));
    add_chan(2);
    if (HasFatalFailure())
        return;
    EXPECT_TRUE(blocked(20, 0));
    click("sender-stop");
    EXPECT_TRUE(on[2].empty()) << on[2].size() << " frames on the channel that took its index";
    EXPECT_EQ(std::vector<uint32_t>(on[0].size(), 0x111), on[0]);
    EXPECT_NE("", cell(1, COL_STATE));
}

}  // namespace

TEST_F(Sender, TabTakesTheEditAndMovesToTheNextEditableCellShiftTabBack)
{
    click("sender-add");
    click("sender-add");
    GtkTreeView *view = GTK_TREE_VIEW(view_);
    // The entry being edited, once there is one.
    auto editor = [&]() -> GtkWidget * {
        GtkWidget *f = gtk_window_get_focus(GTK_WINDOW(window_));
        return f && GTK_IS_ENTRY(f) && gtk_widget_get_parent(f) == view_ ? f : nullptr;
    };
    auto start_edit = [&](int row, int col) {
        ASSERT_TRUE(nbtest::wait_until([&] { return gtk_widget_get_mapped(view_); }));
        nbtest::pump();
        GtkTreePath *p = gtk_tree_path_new_from_indices(row, -1);
        gtk_widget_grab_focus(view_);
        gtk_tree_view_set_cursor(view, p, gtk_tree_view_get_column(view, col), TRUE);
        gtk_tree_path_free(p);
        ASSERT_TRUE(nbtest::wait_until([&] { return editor() != nullptr; }));
    };
    auto type_then = [&](const char *text, guint key, guint state) {
        GtkWidget *e = editor();
        ASSERT_NE(nullptr, e);
        gtk_entry_set_text(GTK_ENTRY(e), text);
        GdkEvent *ev = gdk_event_new(GDK_KEY_PRESS);
        ev->key.window = GDK_WINDOW(g_object_ref(gtk_widget_get_window(e)));
        ev->key.keyval = key;
        ev->key.state = state;
        // The finished edit's entry goes (a new one may get its address).
        GtkWidget *gone = e;
        g_object_add_weak_pointer(G_OBJECT(e), reinterpret_cast<gpointer *>(&gone));
        gtk_widget_event(e, ev);
        gdk_event_free(ev);
        ASSERT_TRUE(nbtest::wait_until([&] { return !gone && editor() != nullptr; }));
    };
    auto cursor = [&] {
        GtkTreePath *p = nullptr;
        GtkTreeViewColumn *c = nullptr;
        gtk_tree_view_get_cursor(view, &p, &c);
        GList *all = gtk_tree_view_get_columns(view);
        std::pair<int, int> at{p ? gtk_tree_path_get_indices(p)[0] : -1, g_list_index(all, c)};
        g_list_free(all);
        if (p)
            gtk_tree_path_free(p);
        return at;
    };

    start_edit(0, COL_ID);
    type_then("123", GDK_Tab, 0);   // the check boxes are passed over
    EXPECT_EQ("123", cell(0, COL_ID));
    EXPECT_EQ(std::make_pair(0, int(COL_LEN)), cursor());
    type_then("", GDK_ISO_Left_Tab, GDK_SHIFT_MASK);
    EXPECT_EQ(std::make_pair(0, int(COL_ID)), cursor());
    // From the last editable cell to the next row's first.
    start_edit(0, COL_PERIOD);
    type_then("100", GDK_Tab, 0);
    EXPECT_EQ("100", cell(0, COL_PERIOD));
    EXPECT_EQ(std::make_pair(1, int(COL_ID)), cursor());
}

TEST_F(Sender, QuittingWhilePeriodicSendingAsksOnceSaysWhatStopsAndCanStopAsking)
{
    EXPECT_TRUE(ask_before_quit(&the_app)) << "nothing running: no question";
    add("123", 0, "1", "01", "100", 1);
    click("sender-start");
    // Cancel keeps the program; the question names what would stop.
    nbtest::DialogDriver driver;
    std::string secondary;
    driver.then([&](GtkDialog *d) {
        gchar *text = nullptr;
        g_object_get(d, "secondary-text", &text, NULL);
        secondary = text ? text : "";
        g_free(text);
        nbtest::dialog_respond(d, GTK_RESPONSE_CANCEL);
        return true;
    });
    EXPECT_FALSE(ask_before_quit(&the_app));
    EXPECT_EQ("Quitting now stops:\n\u2022 Periodic sending (messages: 1)", secondary);
    // Quit with "Don't ask again": kept, and not asked any more.
    driver.then([](GtkDialog *d) {
        gtk_toggle_button_set_active(
            GTK_TOGGLE_BUTTON(nbtest::find_by_name(GTK_WIDGET(d), "quit-dont-ask")), TRUE);
        nbtest::dialog_respond(d, GTK_RESPONSE_ACCEPT);
        return true;
    });
    EXPECT_TRUE(ask_before_quit(&the_app));
    EXPECT_EQ(1, the_app.session.quit_unasked);
    EXPECT_TRUE(ask_before_quit(&the_app));
    EXPECT_EQ(2u, driver.seen().size());
    the_app.session.quit_unasked = 0;
}
