// The diagnostics plug-in (stage/diagnostics.so) loaded by the real
// plug-in manager over the simulated adapter: conversations and J1939
// messages from the real poll tick listed and filtered, the list exported,
// a log file shown instead of the live traffic, and the tester asking the
// simulated ECU (and refusing in listen-only mode).
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <algorithm>
#include <functional>
#include <string>
#include <vector>

#include "../sendlog/sl_fixture.h"
#include "can/chanset.h"

namespace {

using sltest::frame;

class Diagnostics : public sltest::PluginTest {
protected:
    void SetUp() override { load_plugin("diagnostics", DG_STAGE_DIR); }

    // Frames "ID#HEX" onto the bus, a millisecond apart, then a poll tick.
    void bus(std::initializer_list<const char *> frames)
    {
        for (const char *text : frames) {
            const char *hash = strchr(text, '#');
            std::vector<uint8_t> data;
            for (const char *p = hash + 1; p[0] && p[1]; p += 2)
                data.push_back((uint8_t)strtoul(std::string(p, 2).c_str(), nullptr, 16));
            inject(frame((uint32_t)strtoul(text, nullptr, 16), hash - text == 8 ? ZK_FRAME_EFF : 0, data));
            zk_sim_advance_us(1000);
        }
        tick();
    }
    GtkTreeModel *list() { return gtk_tree_view_get_model(GTK_TREE_VIEW(widget("diag-list"))); }
    int rows()
    {
        GtkTreeModel *m = list();
        return m ? gtk_tree_model_iter_n_children(m, nullptr) : 0;
    }
    // Columns 1 (addresses) to 6 (summary) of a row, separated by " | ".
    std::string row(int n)
    {
        GtkTreeIter it;
        if (!gtk_tree_model_iter_nth_child(list(), &it, nullptr, n))
            return "<no row>";
        std::string out;
        for (int c = 1; c <= 6; c++) {
            gchar *t = nullptr;
            gtk_tree_model_get(list(), &it, c, &t, -1);
            out += std::string(c > 1 ? " | " : "") + (t ? t : "");
            g_free(t);
        }
        return out;
    }
    bool wait_rows(int n) { return nbtest::wait_until([&] { return rows() == n; }); }
    // The details pane's text with the first row selected; g_free it.
    gchar *first_row_details()
    {
        GtkTreePath *path = gtk_tree_path_new_from_indices(0, -1);
        gtk_tree_selection_select_path(gtk_tree_view_get_selection(GTK_TREE_VIEW(widget("diag-list"))), path);
        gtk_tree_path_free(path);
        GtkTextBuffer *buf = gtk_text_view_get_buffer(GTK_TEXT_VIEW(widget("diag-details")));
        GtkTextIter a, b;
        gtk_text_buffer_get_bounds(buf, &a, &b);
        return gtk_text_buffer_get_text(buf, &a, &b, FALSE);
    }
};

const char *const VIN_EXCHANGE[] = {
    "7E0#0322F19055555555", "7E8#101462F1904E4D42", "7E0#3000005555555555",
    "7E8#2153494D31454355", "7E8#2230303030303432",
};

TEST_F(Diagnostics, ConversationsAndMessagesListed)
{
    bus({VIN_EXCHANGE[0], VIN_EXCHANGE[1], VIN_EXCHANGE[2], VIN_EXCHANGE[3], VIN_EXCHANGE[4],
         "7E0#0322F1A055555555", "7E8#037F223155555555",
         "18ECFF00#200A0002FFCAFE00", "18EBFF00#0104FF640001036E", "18EBFF00#02000001FFFFFFFF",
         "7E8#2100000000000000"});
    ASSERT_TRUE(wait_rows(4)) << rows();
    EXPECT_EQ(row(0), "7E0 \u2192 7E8 | UDS | 22 ReadDataByIdentifier | 3 / 20 | OK | "
                      "ReadDataByIdentifier: F190 VIN = \"NMBSIM1ECU0000042\"");
    EXPECT_EQ(row(1), "7E0 \u2192 7E8 | UDS | 22 ReadDataByIdentifier | 3 / 3 | negative | "
                      "ReadDataByIdentifier: NRC 31 requestOutOfRange");
    EXPECT_EQ(row(2), "00 \u2192 FF | J1939 | 65226 DM1 | 10 |  | DM1: MIL off, RSL off, AWL on, PL off, "
                      "SPN 100 FMI 1 OC 3, SPN 110 FMI 0 OC 1");
    EXPECT_EQ(row(3), "7E0 \u2192 7E8 | ISO-TP | no start | 7 | error | consecutive frames without a first frame");

    // The details of the selected row: bytes and decoded fields.
    gchar *details = first_row_details();
    EXPECT_NE(nullptr, strstr(details, "0000  62 F1 90 4E 4D 42 53 49 4D 31 45 43 55 30 30 30")) << details;
    EXPECT_NE(nullptr, strstr(details, "F190 VIN = \"NMBSIM1ECU0000042\"")) << details;
    g_free(details);

    // Filter by text and by protocol.
    gtk_entry_set_text(GTK_ENTRY(widget("diag-filter")), "vin");
    gtk_widget_activate(widget("diag-filter"));
    EXPECT_EQ(rows(), 1);
    gtk_entry_set_text(GTK_ENTRY(widget("diag-filter")), "");
    gtk_widget_activate(widget("diag-filter"));
    gtk_combo_box_set_active(GTK_COMBO_BOX(widget("diag-show")), 3);
    ASSERT_EQ(rows(), 1);
    EXPECT_NE(std::string::npos, row(0).find("DM1"));
    gtk_combo_box_set_active(GTK_COMBO_BOX(widget("diag-show")), 4);
    EXPECT_EQ(rows(), 2);   /* the negative answer and the error */

    // Export what the list shows.
    nbtest::DialogDriver driver;
    answer_chooser(driver, dir_ + "/list.csv");
    click("diag-export");
    EXPECT_TRUE(driver.done());
    const std::string csv = nbtest::read_file(dir_ + "/list.csv");
    EXPECT_EQ(0u, csv.find("time_s,addresses,protocol,service,length,status,summary,request,response\n")) << csv;
    EXPECT_NE(std::string::npos, csv.find(",UDS,22 ReadDataByIdentifier,3 / 3,negative,"
                                          "ReadDataByIdentifier: NRC 31 requestOutOfRange,22 F1 A0,7F 22 31\n"))
        << csv;
    EXPECT_EQ(3, (int)std::count(csv.begin(), csv.end(), '\n'));
}

// A log file replaces the live traffic in the list, its CAN FD
// conversations decoded too; Back to live returns.
TEST_F(Diagnostics, LogFileInsteadOfLive)
{
    bus({"7E0#023E0055555555", "7E8#027E0055555555"});
    ASSERT_TRUE(wait_rows(1));
    // Times count from the file's first frame, as in the bus view.
    std::string log = "(1700000000.050000) can0 123#00\n";
    for (int i = 0; i < 5; i++) {
        const char *t = VIN_EXCHANGE[i];
        const char *hash = strchr(t, '#');
        log += "(1700000000." + std::to_string(100000 + i * 1000) + ") can0 " + std::string(t, hash) + hash + "\n";
    }
    log += "(1700000000.200000) can0 7E0##10322F190CCCCCCCC\n"
           "(1700000000.201000) can0 7E8##10014" "62F190" "4E4D4253494D3145435530303030303432" "CCCC\n";
    ASSERT_TRUE(nbtest::write_file(dir_ + "/vin.log", log));
    {
        nbtest::DialogDriver driver;
        answer_chooser(driver, dir_ + "/vin.log");
        click("diag-open-log");
        ASSERT_TRUE(driver.done());
    }
    ASSERT_TRUE(nbtest::wait_until([&] { return label("diag-log-label").find("8 frames, 2 rows") != std::string::npos; }))
        << label("diag-log-label");
    ASSERT_TRUE(wait_rows(2));
    EXPECT_NE(std::string::npos, row(0).find("NMBSIM1ECU0000042"));
    GtkTreeIter first;
    gchar *time = nullptr;
    ASSERT_TRUE(gtk_tree_model_iter_nth_child(list(), &first, nullptr, 0));
    gtk_tree_model_get(list(), &first, 0, &time, -1);
    EXPECT_STREQ("0.050000", time);
    g_free(time);
    EXPECT_EQ(row(1), "7E0 \u2192 7E8 | UDS FD | 22 ReadDataByIdentifier | 3 / 20 | OK | "
                      "ReadDataByIdentifier: F190 VIN = \"NMBSIM1ECU0000042\"");
    // A log that does not open leaves the one shown.
    ASSERT_EQ(0, mkfifo((dir_ + "/pipe.log").c_str(), 0600));
    {
        nbtest::DialogDriver refused;
        answer_chooser(refused, dir_ + "/pipe.log");
        click("diag-open-log");
        EXPECT_TRUE(refused.done());
    }
    EXPECT_NE(std::string::npos, label("diag-status").find("pipe.log")) << label("diag-status");
    EXPECT_NE(std::string::npos, label("diag-log-label").find("vin.log")) << label("diag-log-label");
    ASSERT_EQ(2, rows());
    EXPECT_NE(std::string::npos, row(0).find("NMBSIM1ECU0000042"));
    // The live traffic is decoded meanwhile.
    bus({"7E0#0211015555555555", "7E8#0251015555555555"});
    click("diag-back");
    ASSERT_TRUE(wait_rows(2));
    EXPECT_NE(std::string::npos, row(1).find("ECUReset hardReset"));
    // One row, in the singular.
    ASSERT_TRUE(nbtest::write_file(dir_ + "/one.log", log.substr(0, log.find("(1700000000.2"))));
    {
        nbtest::DialogDriver driver;
        answer_chooser(driver, dir_ + "/one.log");
        click("diag-open-log");
        ASSERT_TRUE(driver.done());
    }
    ASSERT_TRUE(nbtest::wait_until([&] { return label("diag-log-label").find("6 frames, 1 row") != std::string::npos; }))
        << label("diag-log-label");
    EXPECT_EQ(std::string::npos, label("diag-log-label").find("1 rows"));
}

// A FIFO chosen for the export or as the log is refused at once, in words.
TEST_F(Diagnostics, AFifoIsRefusedForExportAndLog)
{
    nbtest::Deadline deadline(30, "exporting to or opening a FIFO");
    const std::string fifo = dir_ + "/pipe.csv";
    ASSERT_EQ(0, mkfifo(fifo.c_str(), 0600));
    {
        nbtest::DialogDriver driver;
        answer_chooser(driver, fifo);
        driver.respond(GTK_RESPONSE_ACCEPT);   // "Replace" the existing name
        click("diag-export");
        EXPECT_TRUE(driver.done());
    }
    EXPECT_NE(std::string::npos, label("diag-status").find("pipe.csv: a FIFO, not a regular file"))
        << label("diag-status");
    {
        nbtest::DialogDriver driver;
        answer_chooser(driver, fifo);
        click("diag-open-log");
        EXPECT_TRUE(driver.done());
    }
    EXPECT_NE(std::string::npos, label("diag-status").find("Could not open pipe.csv: a FIFO, not a regular file"))
        << label("diag-status");
}

// The tester asks the simulated ECU for the VIN: the ECU's multi-frame
// answer needs the tester's flow control, and the answer shows decoded.
// In listen-only mode it sends nothing and says so.
TEST_F(Diagnostics, TesterAsksTheSimulatedEcu)
{
    ASSERT_EQ(ZK_OK, zk_sim_set_bus(0, 0, "ecu"));
    gtk_entry_set_text(GTK_ENTRY(widget("diag-tester-request")), "22 F1 90");
    click("diag-tester-send");
    auto answered = [&] {
        zk_sim_advance_us(2000);
        tick();
        return label("diag-tester-answer").find("NMBSIM1ECU0000042") != std::string::npos;
    };
    ASSERT_TRUE(nbtest::wait_until(answered)) << label("diag-tester-answer");
    EXPECT_EQ(label("diag-tester-answer"), "Answer: ReadDataByIdentifier: F190 VIN = \"NMBSIM1ECU0000042\"");

    // A request the ECU refuses, and one it asks more time for.
    gtk_entry_set_text(GTK_ENTRY(widget("diag-tester-request")), "27 02 00 00 00 00");
    click("diag-tester-send");
    ASSERT_TRUE(nbtest::wait_until([&] {
        zk_sim_advance_us(2000);
        tick();
        return label("diag-tester-answer").find("NRC 24") != std::string::npos;
    })) << label("diag-tester-answer");

    nb_chan_status st;
    the_app.chan.ops.get_status(&the_app.chan, &st);
    st.lom = 1;
    request(PGRP_STATUS, &st, sizeof st);
    zk_frame sent[64];
    while (zk_sim_sent(0, sent, 64) > 0) {
    }
    EXPECT_FALSE(gtk_widget_get_sensitive(widget("diag-tester-send")));
    gtk_widget_activate(widget("diag-tester-request"));
    EXPECT_EQ(0, zk_sim_sent(0, sent, 64));
    EXPECT_NE(std::string::npos, label("diag-tester-answer").find("Listen-only mode"));
}

// One Send answers one exchange: an ECU that keeps asking for more time
// gets "no response" after the limit, one that keeps starting its answer
// one flow control.
TEST_F(Diagnostics, TesterAnswersOneExchangePerSend)
{
    zk_frame sent[64];
    auto sent_now = [&](std::vector<zk_frame> *out = nullptr) {
        int n = 0, k;
        while ((k = zk_sim_sent(0, sent, 64)) > 0) {
            n += k;
            if (out)
                out->insert(out->end(), sent, sent + k);
        }
        return n;
    };
    gtk_entry_set_text(GTK_ENTRY(widget("diag-tester-request")), "22 F1 90");
    click("diag-tester-send");
    zk_sim_advance_us(1000);
    tick();
    EXPECT_EQ(1, sent_now());
    for (int i = 1; i <= 11; i++) {
        bus({"7E8#037F227855555555"});
        if (i == 3) {
            EXPECT_EQ(label("diag-tester-answer"), "The ECU asks for more time (response pending, 3 of at most 10).");
        }
    }
    EXPECT_EQ(label("diag-tester-answer"),
              "No response: the ECU asked for more time (response pending) more than 10 times.");

    click("diag-tester-send");
    zk_sim_advance_us(1000);
    tick();
    EXPECT_EQ(1, sent_now());
    for (int i = 0; i < 5; i++)
        bus({"7E8#101462F1904E4D42"});
    std::vector<zk_frame> fc;
    EXPECT_EQ(1, sent_now(&fc));
    ASSERT_EQ(1u, fc.size());
    EXPECT_EQ(0x7E0u, fc[0].id);
    EXPECT_EQ(0x30, fc[0].data[0]);
}

// On a CAN FD channel ISO-TP over FD frames is decoded (a single frame
// with the escaped length) and the tester sends its request in FD frames;
// on a classic channel its FD box stays off.
TEST_F(Diagnostics, CanFdExchangeAndTester)
{
    EXPECT_FALSE(gtk_widget_get_sensitive(widget("diag-tester-fd")));
    gchar *why = gtk_widget_get_tooltip_text(widget("diag-tester-fd"));
    EXPECT_NE(nullptr, strstr(why, "classic CAN")) << why;
    g_free(why);
    sltest::reopen_channel_fd();
    ASSERT_FALSE(HasFatalFailure());
    nb_chan_status st;
    the_app.chan.ops.get_status(&the_app.chan, &st);
    request(PGRP_STATUS, &st, sizeof st);
    ASSERT_TRUE(gtk_widget_get_sensitive(widget("diag-tester-fd")));

    auto fd = [](uint32_t id, std::vector<uint8_t> d) {
        zk_fdframe f{};
        f.id = id;
        f.flags = ZK_FRAME_FDF | ZK_FRAME_BRS;
        f.len = (uint8_t)d.size();
        memcpy(f.data, d.data(), d.size());
        return f;
    };
    std::vector<uint8_t> answer = {0x00, 20, 0x62, 0xF1, 0x90};
    for (char c : std::string("NMBSIM1ECU0000042"))
        answer.push_back((uint8_t)c);
    answer.resize(24, 0xCC);
    const zk_fdframe req = fd(0x7E0, {0x03, 0x22, 0xF1, 0x90, 0xCC, 0xCC, 0xCC, 0xCC});
    const zk_fdframe resp = fd(0x7E8, answer);
    ASSERT_GE(zk_sim_inject_fd(0, &req), 1);
    zk_sim_advance_us(1000);
    ASSERT_GE(zk_sim_inject_fd(0, &resp), 1);
    zk_sim_advance_us(1000);
    tick();
    ASSERT_TRUE(wait_rows(1));
    EXPECT_EQ(row(0), "7E0 \u2192 7E8 | UDS FD | 22 ReadDataByIdentifier | 3 / 20 | OK | "
                      "ReadDataByIdentifier: F190 VIN = \"NMBSIM1ECU0000042\"");

    // A request of 33 bytes fits one FD frame (of 48 bytes) to the preset pair.
    std::string text = "2E F1 90";
    for (int i = 0; i < 30; i++)
        text += " 5A";
    gtk_toggle_button_set_active(GTK_TOGGLE_BUTTON(widget("diag-tester-fd")), TRUE);
    gtk_entry_set_text(GTK_ENTRY(widget("diag-tester-request")), text.c_str());
    click("diag-tester-send");
    zk_fdframe sent[8];
    ASSERT_EQ(1, zk_sim_sent_fd(0, sent, 8)) << label("diag-tester-answer");
    EXPECT_EQ(0x7E0u, sent[0].id);
    EXPECT_EQ(ZK_FRAME_FDF | ZK_FRAME_BRS, sent[0].flags);
    ASSERT_EQ(48, sent[0].len);
    EXPECT_EQ(0, memcmp(sent[0].data, "\x00\x21\x2E\xF1\x90\x5A", 6));
    EXPECT_EQ(0x5A, sent[0].data[34]);
}

// While the pointer is over the list, its rows stay put (a click takes
// the row the user sees); the new ones come when it leaves. A "response
// pending" before the answer shows in the details.
TEST_F(Diagnostics, RowsHoldUnderThePointerAndDetailsShowAPendingAnswer)
{
    bus({"7E0#0211015555555555", "7E8#037F117855555555", "7E8#0251015555555555"});
    ASSERT_TRUE(wait_rows(1));
    GdkEventCrossing cross;
    memset(&cross, 0, sizeof cross);
    cross.window = gtk_widget_get_window(widget("diag-list"));
    cross.detail = GDK_NOTIFY_NONLINEAR;
    gboolean handled = FALSE;
    cross.type = GDK_ENTER_NOTIFY;
    g_signal_emit_by_name(widget("diag-list"), "enter-notify-event", &cross, &handled);
    bus({"7E0#023E0055555555", "7E8#027E0055555555"});
    ASSERT_TRUE(nbtest::wait_until([&] { return label("diag-status").find("2 rows") != std::string::npos; }));
    // Unheld, the list takes a new row within a second.
    EXPECT_FALSE(nbtest::wait_until([&] { return rows() == 2; }, 1500));
    cross.type = GDK_LEAVE_NOTIFY;
    g_signal_emit_by_name(widget("diag-list"), "leave-notify-event", &cross, &handled);
    ASSERT_TRUE(wait_rows(2));

    gchar *details = first_row_details();
    EXPECT_NE(nullptr, strstr(details, "Response pending (NRC 78) received: 1\n"
                                       "First response pending after: 1.000 ms\n")) << details;
    g_free(details);
}

// Away from the end, the rows in sight stay while new rows come and the
// oldest give way (the store is full): the list is never made again.
TEST_F(Diagnostics, RowsInSightStayWhileTheOldestGiveWay)
{
    load_keys({{"J1939Singles", "1"}});
    uint64_t t = (uint64_t)g_get_real_time();
    auto stream = [&](int n) {
        std::vector<nb_stream_frame> recs((size_t)n);
        for (nb_stream_frame &r : recs) {
            memset(&r, 0, sizeof r);
            r.time_us = t += 100;
            r.id = 0x18FF0100;
            r.flags = ZK_FRAME_EFF;
            r.len = 8;
        }
        request(PGRP_STREAM, recs.data(), recs.size() * sizeof recs[0]);
    };
    for (int i = 0; i < 50; i++)
        stream(1000);
    gtk_widget_activate(widget("diag-filter"));   // listed at once, not 4000 a second
    ASSERT_EQ(50000, rows());
    GtkTreeView *view = GTK_TREE_VIEW(widget("diag-list"));
    auto time_of = [&](int n) {
        GtkTreeIter it;
        gchar *text = nullptr;
        if (gtk_tree_model_iter_nth_child(list(), &it, nullptr, n))
            gtk_tree_model_get(list(), &it, 0, &text, -1);
        std::string out = text ? text : "";
        g_free(text);
        return out;
    };
    auto first_shown = [&]() -> std::string {
        GtkTreePath *start = nullptr, *end = nullptr;
        if (!gtk_tree_view_get_visible_range(view, &start, &end))
            return "";
        const std::string out = time_of(gtk_tree_path_get_indices(start)[0]);
        gtk_tree_path_free(start);
        gtk_tree_path_free(end);
        return out;
    };
    GtkTreePath *middle = gtk_tree_path_new_from_indices(20000, -1);
    gtk_tree_view_scroll_to_cell(view, middle, nullptr, TRUE, 0, 0);
    gtk_tree_path_free(middle);
    std::string shown;
    ASSERT_TRUE(nbtest::wait_until([&] { return !(shown = first_shown()).empty(); }));
    const std::string oldest = time_of(0), newest = time_of(49999);
    stream(3000);
    // The list moved: the oldest rows gone, the newest in.
    ASSERT_TRUE(nbtest::wait_until([&] { return time_of(0) != oldest && time_of(49999) != newest; }));
    nbtest::pump();
    EXPECT_EQ(shown, first_shown());

}

// One origin on every page: the same request frame stands at the same
// time in the bus view's trace, in the signals' plot and in the
// diagnostics list.
TEST_F(Diagnostics, OneTimeForAFrameInTheBusViewSignalsAndDiagnostics)
{
    std::string stage = nbtest::stage_dir();
    if (stage.empty())
        stage = DG_STAGE_DIR;
    auto load = [&](const char *name) {
        char buf[NB_TEXT_MAX] = {0};
        g_strlcpy(buf, (stage + "/" + name + ".so").c_str(), sizeof buf);
        nb_plugin *e = the_app.pgmgr.ops.pgmgr_add(&the_app.pgmgr, buf, sizeof buf);
        EXPECT_TRUE(e && pgmgr_load(&the_app, e) == 0 && e->page) << name;
        return e;
    };
    nb_plugin *view = load("busview"), *sig = load("signals");
    ASSERT_FALSE(HasFailure());
    const std::string dbc = dir_ + "/req.dbc";
    ASSERT_TRUE(nbtest::write_file(dbc, "BO_ 2016 Req: 8 T\n SG_ Len : 0|8@1+ (1,0) [0|0] \"\" E\n"));
    auto send = [&](int type, void *data, uint64_t size) {
        pgrp req;
        memset(&req, 0, sizeof req);
        req.type = type;
        req.data_ptr = data;
        req.data_size = size;
        the_app.pgmgr.ops.pgmgr_request(sig, &req);
    };
    send(PGRP_SESSION_LOAD_BEGIN, nullptr, 0);
    for (auto kv : {std::make_pair("Database1", dbc), std::make_pair("Plot1", std::string("std 7E0 Len"))}) {
        pgrp_session_key k;
        memset(&k, 0, sizeof k);
        g_strlcpy(k.name, kv.first, sizeof k.name);
        g_strlcpy(k.value, kv.second.c_str(), sizeof k.value);
        send(PGRP_SESSION_LOAD_KEY, &k, sizeof k);
    }
    send(PGRP_SESSION_LOAD_END, nullptr, 0);
    GtkWidget *sig_status = nbtest::find_by_name(sig->page, "signals-status");
    auto sig_says = [&](const char *part) {
        return nbtest::wait_until([&] { return strstr(gtk_label_get_text(GTK_LABEL(sig_status)), part) != nullptr; });
    };
    ASSERT_TRUE(sig_says("Plotted points: 0"));

    bus({"7E0#0211015555555555", "7E8#0251015555555555"});
    ASSERT_TRUE(wait_rows(1));
    ASSERT_TRUE(sig_says("Plotted points: 1 "));
    GtkTreeIter it;
    ASSERT_TRUE(gtk_tree_model_iter_nth_child(list(), &it, nullptr, 0));
    gchar *text = nullptr;
    gtk_tree_model_get(list(), &it, 0, &text, -1);
    const double in_diag = g_ascii_strtod(text, nullptr);
    g_free(text);

    {
        nbtest::DialogDriver driver;
        answer_chooser(driver, dir_ + "/plot.csv");
        gtk_button_clicked(GTK_BUTTON(nbtest::find_by_name(sig->page, "signals-csv")));
        ASSERT_TRUE(driver.done());
    }
    const std::string csv = nbtest::read_file(dir_ + "/plot.csv");
    const size_t line = csv.find('\n');
    ASSERT_NE(std::string::npos, line) << csv;
    const double in_plot = g_ascii_strtod(csv.c_str() + line + 1, nullptr);

    // The bus view fills its trace while in sight.
    GtkNotebook *notebook = GTK_NOTEBOOK(the_app.gui.notebook);
    gtk_notebook_set_current_page(notebook, gtk_notebook_page_num(notebook, view->page));
    GtkTreeModel *trace = gtk_tree_view_get_model(GTK_TREE_VIEW(nbtest::find_by_name(view->page, "busview-trace")));
    double in_trace = -1;
    ASSERT_TRUE(nbtest::wait_until([&] {
        GtkTreeIter r;
        for (bool ok = gtk_tree_model_get_iter_first(trace, &r); ok; ok = gtk_tree_model_iter_next(trace, &r)) {
            gchar *t = nullptr, *id = nullptr;
            gtk_tree_model_get(trace, &r, 0, &t, 2, &id, -1);
            if (id && strstr(id, "7E0"))
                in_trace = g_ascii_strtod(t, nullptr);
            g_free(t);
            g_free(id);
        }
        return in_trace >= 0;
    }));
    EXPECT_GT(in_diag, 9.0);
    // The bus view takes the host's stream times; a page that places the
    // frames by the request's time (millisecond steps) may differ by those.
    EXPECT_NEAR(in_trace, in_diag, 3e-3);
    EXPECT_NEAR(in_plot, in_diag, 1e-4);
}

// Every column but the summary shows its texts whole (29-bit pairs, long
// service names), and times have a point in a German locale, as the bus
// view's: in the list, the details and the export.
TEST_F(Diagnostics, ColumnsWholeAndTimesWithAPointInAGermanLocale)
{
    ASSERT_TRUE(nbtest::german_numeric_locale()) << "localedef (package locales)";
    bus({"18DA10F1#0322F19055555555", "18DAF110#037F223155555555", "7E8#0251015555555555"});
    const bool listed = wait_rows(2);
    gchar *details = listed ? first_row_details() : g_strdup("");
    nbtest::restore_numeric_locale();
    ASSERT_TRUE(listed) << rows();
    EXPECT_NE(nullptr, strstr(details, "Time to the answer: 1.000 ms\n")) << details;
    g_free(details);

    // In German the decoder's own words read in German, standard names not.
    bindtextdomain("nimbrel-diagnostics", (nbtest::stage_dir() + "/share/locale").c_str());
    bind_textdomain_codeset("nimbrel-diagnostics", "UTF-8");
    const std::string messages_was = setlocale(LC_MESSAGES, nullptr);
    setenv("LANGUAGE", "de", 1);
    setlocale(LC_MESSAGES, "C.UTF-8");
    bus({"7E0#0227015555555555", "7E8#06670111223344"});
    const bool answered = wait_rows(3);
    const std::string german = answered ? row(2) : "";
    unsetenv("LANGUAGE");
    setlocale(LC_MESSAGES, messages_was.c_str());
    EXPECT_EQ(german, "7E0 \u2192 7E8 | UDS | 27 SecurityAccess | 2 / 6 | OK | "
                      "SecurityAccess requestSeed Stufe 1: Seed 11 22 33 44");

    GtkTreeView *view = GTK_TREE_VIEW(widget("diag-list"));
    ASSERT_TRUE(nbtest::wait_until([&] { return gtk_tree_view_column_get_width(gtk_tree_view_get_column(view, 0)) > 1; }));
    for (int r = 0; r < 2; r++) {
        GtkTreeIter it;
        ASSERT_TRUE(gtk_tree_model_iter_nth_child(list(), &it, nullptr, r));
        for (int c = 0; c < 6; c++) {
            gchar *text = nullptr;
            gtk_tree_model_get(list(), &it, c, &text, -1);
            PangoLayout *layout = gtk_widget_create_pango_layout(GTK_WIDGET(view), text);
            int w = 0, h = 0;
            pango_layout_get_pixel_size(layout, &w, &h);
            g_object_unref(layout);
            EXPECT_LE(w + 4, gtk_tree_view_column_get_width(gtk_tree_view_get_column(view, c)))
                << "column " << c << ": " << text;
            if (c == 0) {
                EXPECT_EQ(nullptr, strchr(text, ',')) << text;
            }
            g_free(text);
        }
    }
    EXPECT_EQ(row(0), "18DA10F1 \u2192 18DAF110 | UDS | 22 ReadDataByIdentifier | 3 / 3 | negative | "
                      "ReadDataByIdentifier: NRC 31 requestOutOfRange");
}

// The details take two fifths of the pane at first; the divider the user
// set is kept in the session.
TEST_F(Diagnostics, DetailsPaneLargeByDefaultAndKeptInTheSession)
{
    gtk_window_resize(GTK_WINDOW(window_), 1000, 900);
    GtkPaned *paned = GTK_PANED(widget("diag-paned"));
    auto height = [](GtkWidget *w) {
        GtkAllocation a;
        gtk_widget_get_allocation(w, &a);
        return a.height;
    };
    ASSERT_TRUE(nbtest::wait_until([&] { return height(GTK_WIDGET(paned)) > 400; }));
    EXPECT_TRUE(nbtest::wait_until([&] { return height(gtk_paned_get_child2(paned)) * 5 >= height(GTK_WIDGET(paned)) * 2 - 40; }))
        << height(gtk_paned_get_child2(paned)) << " of " << height(GTK_WIDGET(paned));

    load_keys({{"DetailsPane", "150"}});
    ASSERT_TRUE(nbtest::wait_until([&] { return gtk_paned_get_position(paned) == 150; }));
    const std::string file = dir_ + "/s.nbs";
    ASSERT_EQ(0, the_app.session.ops.save(&the_app, file.c_str()));
    EXPECT_NE(std::string::npos, nbtest::read_file(file).find("\nDetailsPane=150\n"));
}

// The user's pairs from the session decode traffic no preset knows.
TEST_F(Diagnostics, PairsFromTheSession)
{
    load_keys({{"Pairs", "6F1:10/610:F1"}});
    bus({"6F1#10021003", "610#F1025003"});
    ASSERT_TRUE(wait_rows(1));
    EXPECT_EQ(row(0), "6F1:10 \u2192 610:F1 | UDS | 10 DiagnosticSessionControl | 2 / 2 | OK | "
                      "DiagnosticSessionControl extendedDiagnosticSession");
}

// A J1939 database decodes the parameter groups it describes, a
// reassembled one as a single frame, whatever the sender's address.
TEST_F(Diagnostics, J1939DatabaseDecodesReassembledMessages)
{
    const std::string dbc = dir_ + "/j1939.dbc";
    ASSERT_TRUE(nbtest::write_file(dbc, "VERSION \"\"\nNS_ :\nBS_:\nBU_: ENG\n"
                                        "BO_ 2566848768 Prop: 20 ENG\n"
                                        " SG_ Speed : 0|16@1+ (0.5,0) [0|1000] \"km/h\" ENG\n"
                                        " SG_ Mode : 16|8@1+ (1,0) [0|255] \"\" ENG\n"));
    load_keys({{"J1939Database", dbc}, {"J1939Singles", "1"}});
    bus({"18ECFF05#20140003FF01FF00", "18EBFF05#01C80007AAAAAAAA", "18EBFF05#02BBBBBBBBBBBBBB",
         "18EBFF05#03CCCCCCCCCCCCFF", "18FF0100#9001020304050607"});
    ASSERT_TRUE(wait_rows(2));
    EXPECT_EQ(row(0), "05 \u2192 FF | J1939 | 65281 | 20 |  | Prop: Speed = 100 km/h, Mode = 7");
    EXPECT_EQ(row(1), "00 \u2192 FF | J1939 | 65281 | 8 |  | Prop: Speed = 200 km/h, Mode = 2");
}

// Session values longer than a key's record (511 characters): a database
// path comes back whole; a request longer than a session line holds is
// kept up to its last whole byte.
TEST_F(Diagnostics, LongSessionValues)
{
    std::string folder = dir_;
    while (folder.size() < 600) {
        folder += "/" + std::string(200, 'd');
        ASSERT_EQ(0, mkdir(folder.c_str(), 0700));
    }
    const std::string dbc = folder + "/j1939.dbc";
    ASSERT_TRUE(nbtest::write_file(dbc, "VERSION \"\"\nNS_ :\nBS_:\nBU_: ENG\n"
                                        "BO_ 2566848768 Prop: 8 ENG\n"
                                        " SG_ Speed : 0|16@1+ (0.5,0) [0|1000] \"km/h\" ENG\n"));
    std::string req = "2E F1 90";
    while (req.size() < 1200)
        req += " 5A";
    load_keys({{"J1939Singles", "1"}});
    gtk_entry_set_text(GTK_ENTRY(widget("diag-tester-request")), req.c_str());

    const std::string file = dir_ + "/s.nbs";
    ASSERT_EQ(0, the_app.session.ops.save(&the_app, file.c_str()));
    std::string text = nbtest::read_file(file);
    const size_t at = text.find("J1939Database=\n");
    ASSERT_NE(std::string::npos, at) << text;
    text.insert(at + 14, dbc);
    const size_t r = text.find("TesterRequest=");
    ASSERT_NE(std::string::npos, r) << text;
    const std::string saved = text.substr(r + 14, text.find('\n', r) - r - 14);
    EXPECT_LE(saved.size(), 1008u);
    EXPECT_GT(saved.size(), 1000u);
    EXPECT_EQ(req.substr(0, saved.size() + 1), saved + " ");
    ASSERT_TRUE(nbtest::write_file(file, text));

    gtk_entry_set_text(GTK_ENTRY(widget("diag-tester-request")), "");
    ASSERT_EQ(0, the_app.session.ops.load(&the_app, file.c_str()));
    EXPECT_EQ(saved, gtk_entry_get_text(GTK_ENTRY(widget("diag-tester-request"))));
    bus({"18FF0100#9001020304050607"});
    ASSERT_TRUE(wait_rows(1));
    EXPECT_EQ(row(0), "00 \u2192 FF | J1939 | 65281 | 8 |  | Prop: Speed = 200 km/h");
}

// With accessibility on (a screen reader, the tests that drive the
// program from outside), the whole page, every cell of the list
// included, is read and its rows go again without a GTK warning
// (warnings abort the tests).
TEST_F(Diagnostics, PageReadThroughAccessibilityWithoutWarnings)
{
    if (!nbtest::load_accessibility())
        GTEST_SKIP() << "the accessibility module is not installed";
    bus({VIN_EXCHANGE[0], VIN_EXCHANGE[1], VIN_EXCHANGE[2], VIN_EXCHANGE[3], VIN_EXCHANGE[4]});
    ASSERT_TRUE(wait_rows(1));
    std::vector<std::string> names;
    std::function<void(AtkObject *)> walk = [&](AtkObject *o) {
        const char *name = atk_object_get_name(o);
        names.push_back(name ? name : "");
        for (int i = 0; i < atk_object_get_n_accessible_children(o); i++) {
            AtkObject *child = atk_object_ref_accessible_child(o, i);
            ASSERT_NE(nullptr, child);
            walk(child);
            g_object_unref(child);
        }
    };
    walk(gtk_widget_get_accessible(page_));
    EXPECT_NE(names.end(), std::find(names.begin(), names.end(), "22 ReadDataByIdentifier"));
    click("diag-clear");
    EXPECT_TRUE(wait_rows(0));
    nbtest::pump();
}

// Conversations are found per channel: a request on one channel and an
// answer on another are no exchange, and rows name their channel; the
// tester asks on the channel chosen. Frames come as the host's stream with
// the channel index.
TEST_F(Diagnostics, ConversationsPerChannelAndTheTesterOnItsChannel)
{
    nb_chan_settings cs;
    chan_settings_default(&cs);
    cs.baud_index = the_app.chan.baud_index;
    int32_t index = -1;
    ASSERT_EQ(0, chanset_add(&the_app, 1, &cs, &index, nullptr));
    nb_chan *added = chanset_at(&the_app, 1);
    ASSERT_GE(added->ops.start(added), 0);
    request(PGRP_CHANNELS, nullptr, 0);
    uint64_t t = (uint64_t)g_get_real_time();
    auto stream = [&](int chan, std::initializer_list<const char *> frames) {
        std::vector<nb_stream_frame> recs;
        for (const char *text : frames) {
            nb_stream_frame r;
            memset(&r, 0, sizeof r);
            r.time_us = t += 1000;
            r.channel = (uint16_t)chan;
            r.id = (uint32_t)strtoul(text, nullptr, 16);
            const char *hash = strchr(text, '#');
            for (const char *p = hash + 1; p[0] && p[1]; p += 2)
                r.data[r.len++] = (uint8_t)strtoul(std::string(p, 2).c_str(), nullptr, 16);
            recs.push_back(r);
        }
        request(PGRP_STREAM, recs.data(), recs.size() * sizeof recs[0]);
    };
    stream(1, {VIN_EXCHANGE[0], VIN_EXCHANGE[1], VIN_EXCHANGE[2], VIN_EXCHANGE[3], VIN_EXCHANGE[4]});
    stream(0, {"7E0#0322F1A055555555"});
    stream(1, {"7E8#037F223155555555"});
    ASSERT_TRUE(wait_rows(3)) << rows();
    EXPECT_EQ(0u, row(0).find("ch1: 7E0 \u2192 7E8 | UDS | 22 ReadDataByIdentifier | 3 / 20 | OK")) << row(0);
    EXPECT_EQ(0u, row(1).find("ch0: 7E0 \u2192 7E8 | UDS | 22 ReadDataByIdentifier | 3 / \u2013 | waiting"))
        << row(1);
    EXPECT_EQ(0u, row(2).find("ch1: 7E0 \u2192 7E8 | UDS | 22 ReadDataByIdentifier | \u2013 / 3 | unasked"))
        << row(2);
    // The addresses column takes a 29-bit pair after the channel's name whole.
    GtkTreeView *view = GTK_TREE_VIEW(widget("diag-list"));
    PangoLayout *layout = gtk_widget_create_pango_layout(GTK_WIDGET(view), "ch1: 18DA10F1 \u2192 18DAF110");
    int w = 0, h = 0;
    pango_layout_get_pixel_size(layout, &w, &h);
    g_object_unref(layout);
    EXPECT_LE(w + 4, gtk_tree_view_column_get_fixed_width(gtk_tree_view_get_column(view, 1)));

    zk_frame sent[8];
    while (zk_sim_sent(0, sent, 8) > 0 || zk_sim_sent(1, sent, 8) > 0) {
    }
    gtk_combo_box_set_active(GTK_COMBO_BOX(widget("diag-tester-channel")), 1);
    gtk_entry_set_text(GTK_ENTRY(widget("diag-tester-request")), "3E 00");
    click("diag-tester-send");
    EXPECT_EQ(0, zk_sim_sent(0, sent, 8));
    ASSERT_EQ(1, zk_sim_sent(1, sent, 8)) << label("diag-tester-answer");
    EXPECT_EQ(0x7E0u, sent[0].id);
    chanset_remove(&the_app, 1);
}

}  // namespace
