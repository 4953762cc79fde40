// The bus viewer plug-in (stage/busview.so) loaded by the real plug-in
// manager into a notebook, fed the host's stream through the manager's
// broadcasts, and read back through its views and widgets.
#include <dlfcn.h>
#include <gtest/gtest.h>
#include <string.h>
#include <sys/stat.h>

#include <algorithm>
#include <set>
#include <string>
#include <vector>

#include <sys/stat.h>

#include <gdk/gdkkeysyms.h>

#include "app/nb_app.h"
#include "can/chanset.h"
#include "gui_driver.h"
#include "test_env.h"

// The plug-in's bit lengths (canbits.cpp, built in), to check its bus load.
struct bv_bits {
    uint32_t nominal;
    uint32_t data;
};
bv_bits bv_frame_bits(uint32_t id, uint8_t flags, uint8_t len, const uint8_t *data);

namespace {

zk_frame frame(uint32_t id, uint8_t flags, std::vector<uint8_t> data, uint32_t ts_us)
{
    zk_frame f;
    memset(&f, 0, sizeof f);
    f.id = id;
    f.flags = flags;
    f.len = (uint8_t)data.size();
    if (flags & ZK_FRAME_RTR)
        f.len = data.empty() ? 0 : data[0];
    else if (!data.empty())
        memcpy(f.data, data.data(), data.size());
    f.ts = ts_us;
    return f;
}

std::string get(GtkTreeModel *model, int row, int col)
{
    GtkTreeIter it;
    if (!gtk_tree_model_iter_nth_child(model, &it, nullptr, row))
        return "<no row>";
    gchar *s = nullptr;
    gtk_tree_model_get(model, &it, col, &s, -1);
    std::string out = s ? s : "";
    g_free(s);
    return out;
}

class Busview : public ::testing::Test {
protected:
    void SetUp() override
    {
        app_init();
        // A pass that began ten seconds ago.
        time_origin_pass_begin(&the_app);
        the_app.time.origin -= 10 * NB_TIMESTAMP_PER_SECOND;
        the_app.chan.number = 0;
        the_app.chan.frame_format = 6;
        the_app.chan.baud_index = 9;
        window_ = gtk_window_new(GTK_WINDOW_TOPLEVEL);
        gtk_window_set_default_size(GTK_WINDOW(window_), 1000, 600);
        GtkWidget *notebook = gtk_notebook_new();
        gtk_container_add(GTK_CONTAINER(window_), notebook);
        the_app.gui.notebook = notebook;
        gtk_widget_show_all(window_);

        std::string path = nbtest::stage_dir() + "/busview.so";
        char buf[NB_TEXT_MAX] = {0};
        g_strlcpy(buf, path.c_str(), sizeof buf);
        entry_ = the_app.pgmgr.ops.pgmgr_add(&the_app.pgmgr, buf, sizeof buf);
        ASSERT_NE(nullptr, entry_);
        if (pgmgr_load(&the_app, entry_) != 0) {
            void *h = dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL);
            FAIL() << "the manager did not load " << path << ": " << (h ? "?" : dlerror());
        }
        ASSERT_NE(nullptr, entry_->page);
        page_ = entry_->page;
        trace_ = widget("busview-trace");
        ids_ = widget("busview-ids");
        ASSERT_TRUE(nbtest::wait_until([&] { return gtk_widget_get_mapped(trace_); }));
        // The first line is the channel status the page was created with.
        ASSERT_TRUE(wait_rows(1));
        ASSERT_EQ("Status", cell(0, BV_COL_DIR));
        // Stream times: the adapter's times after the page came.
        base_us_ = g_get_real_time();
    }

    void TearDown() override
    {
        the_app.pgmgr.ops.pgmgr_release_all(&the_app.pgmgr);
        gtk_widget_destroy(window_);
        the_app.gui.notebook = nullptr;
        nbtest::pump();
        txlog_free(the_app.chan.txlog);
        the_app.chan.txlog = nullptr;
    }

    // Column numbers of the plug-in's models, as the views show them.
    enum { BV_COL_TIME, BV_COL_DIR, BV_COL_ID, BV_COL_MARKS, BV_COL_LEN, BV_COL_DATA,
           BV_COL_DELTA, BV_COL_BACKGROUND, BV_COL_KIND, BV_COL_CHAN, BV_COL_CHAN_BG };
    enum { ID_ID, ID_DIR, ID_MARKS, ID_LEN, ID_COUNT, ID_PERIOD, ID_DATA, ID_BG, ID_CHAN };

    GtkWidget *widget(const char *name)
    {
        GtkWidget *w = nbtest::find_by_name(page_, name);
        EXPECT_NE(nullptr, w) << name;
        return w;
    }
    GtkTreeModel *trace_model() { return gtk_tree_view_get_model(GTK_TREE_VIEW(trace_)); }
    GtkTreeModel *ids_model() { return gtk_tree_view_get_model(GTK_TREE_VIEW(ids_)); }
    int rows()
    {
        GtkTreeModel *m = trace_model();
        return m ? gtk_tree_model_iter_n_children(m, nullptr) : -1;
    }
    int id_rows() { return gtk_tree_model_iter_n_children(ids_model(), nullptr); }
    std::string cell(int row, int col) { return get(trace_model(), row, col); }
    std::string id_cell(int row, int col) { return get(ids_model(), row, col); }
    bool wait_rows(int n) { return nbtest::wait_until([&] { return rows() == n; }, 5000); }
    std::string status()
    {
        return gtk_label_get_text(GTK_LABEL(widget("busview-status")));
    }
    // Waits for the next refresh to show the counters.
    bool wait_status(const std::string &part)
    {
        return nbtest::wait_until([&] { return status().find(part) != std::string::npos; });
    }

    // A stream record: its time the adapter's time from the test's start.
    nb_stream_frame record(uint32_t id, uint8_t flags, uint8_t len, const uint8_t *data,
                           uint32_t ts, uint8_t dir, uint16_t channel = 0)
    {
        nb_stream_frame r;
        memset(&r, 0, sizeof r);
        r.time_us = (uint64_t)(base_us_ + (int64_t)ts);
        r.id = id;
        r.flags = flags;
        r.len = len;
        r.dir = dir;
        r.channel = channel;
        r.adapter_ts = ts;
        memcpy(r.data, data, (flags & ZK_FRAME_FDF) ? len : std::min<int>(len, 8));
        return r;
    }
    void stream(std::vector<nb_stream_frame> recs)
    {
        the_app.pgmgr.ops.pgmgr_stream(&the_app.pgmgr, recs.data(), (int)recs.size());
    }
    void rx(std::vector<zk_frame> frames, uint16_t channel = 0)
    {
        std::vector<nb_stream_frame> recs;
        for (const zk_frame &f : frames)
            recs.push_back(record(f.id, f.flags, f.len, f.data, f.ts, NB_DIR_RX, channel));
        stream(recs);
    }
    void rx_fd(const std::vector<zk_fdframe> &frames)
    {
        std::vector<nb_stream_frame> recs;
        for (const zk_fdframe &f : frames)
            recs.push_back(record(f.id, f.flags, f.len, f.data, f.ts, NB_DIR_RX));
        stream(recs);
    }
    void tx(const zk_frame &f)
    {
        stream({record(f.id, f.flags, f.len, f.data, f.ts, NB_DIR_TX)});
    }
    void tx_fd(const zk_fdframe &f)
    {
        stream({record(f.id, f.flags, f.len, f.data, f.ts, NB_DIR_TX)});
    }
    // Types the text and presses Enter, which applies it at once; waits
    // until the trace is filtered.
    void set_filter(const char *text)
    {
        gtk_entry_set_text(GTK_ENTRY(widget("busview-filter")), text);
        gtk_widget_activate(widget("busview-filter"));
        EXPECT_TRUE(nbtest::wait_until([&] { return filter_message() != "Filtering..."; }));
    }
    // Chooses the frames shown (0 all, 1 CAN FD, 2 classic) and waits
    // until the trace is filtered: filtering in slices takes the surplus
    // rows away before the rows show the new lines.
    void set_formats(int formats)
    {
        gtk_combo_box_set_active(GTK_COMBO_BOX(widget("busview-formats")), formats);
        EXPECT_TRUE(nbtest::wait_until([&] { return filter_message() != "Filtering..."; }));
    }
    // Gives the trace view the keyboard focus. A view has it only while its
    // window has it, which another window on the display may hold: the
    // window is told it has.
    void focus_trace()
    {
        gtk_widget_grab_focus(trace_);
        GdkEvent *focus = gdk_event_new(GDK_FOCUS_CHANGE);
        focus->focus_change.window = GDK_WINDOW(g_object_ref(gtk_widget_get_window(window_)));
        focus->focus_change.in = TRUE;
        gtk_widget_send_focus_change(window_, focus);
        gdk_event_free(focus);
    }
    // Row at the top of the trace view, -1 with none.
    int top_row()
    {
        GtkTreePath *start = nullptr, *end = nullptr;
        if (!gtk_tree_view_get_visible_range(GTK_TREE_VIEW(trace_), &start, &end))
            return -1;
        int row = gtk_tree_path_get_indices(start)[0];
        gtk_tree_path_free(start);
        gtk_tree_path_free(end);
        return row;
    }
    std::string top_data() { return top_row() < 0 ? "<none>" : cell(top_row(), BV_COL_DATA); }
    // Frames from to to-1 of identifier 0x100 counting in their two data
    // bytes, in batches of at most NB_RX_BATCH.
    void feed_counting(int from, int to)
    {
        std::vector<zk_frame> batch;
        for (int i = from; i < to; i++) {
            batch.push_back(frame(0x100, 0, {(uint8_t)(i >> 8), (uint8_t)i}, (uint32_t)i));
            if (batch.size() == NB_RX_BATCH || i == to - 1) {
                rx(batch);
                batch.clear();
            }
        }
    }
    // The data of the trace's last line, empty with none.
    std::string last_data() { return rows() > 0 ? cell(rows() - 1, BV_COL_DATA) : std::string(); }
    // Row of the trace view's cursor, -1 with none.
    int cursor_row()
    {
        GtkTreePath *p = nullptr;
        gtk_tree_view_get_cursor(GTK_TREE_VIEW(trace_), &p, nullptr);
        int row = p ? gtk_tree_path_get_indices(p)[0] : -1;
        if (p)
            gtk_tree_path_free(p);
        return row;
    }
    // A cursor key on the focused trace (another test's window on the
    // display may take the focus meanwhile).
    void move_cursor(GtkMovementStep step, int count)
    {
        focus_trace();
        ASSERT_TRUE(gtk_widget_has_focus(trace_));
        gboolean handled = FALSE;
        g_signal_emit_by_name(trace_, "move-cursor", step, count, &handled);
    }
    std::string filter_message()
    {
        GtkWidget *w = widget("busview-filter-message");
        return gtk_widget_get_visible(w) ? gtk_label_get_text(GTK_LABEL(w)) : "";
    }

    // Queues the answer of the Open log dialog: path chosen.
    static void choose_in_dialog(nbtest::DialogDriver &driver, const std::string &path)
    {
        driver.then(nbtest::choose_path(path));
    }

    int64_t base_us_ = 0;
    GtkWidget *window_ = nullptr;
    nb_plugin *entry_ = nullptr;
    GtkWidget *page_ = nullptr;
    GtkWidget *trace_ = nullptr;
    GtkWidget *ids_ = nullptr;
};

TEST_F(Busview, FramesOfARequestAppearInOrderWithTheirText)
{
    rx({frame(0x123, 0, {0x01, 0x02, 0xAB}, 1000),
        frame(0x18DAF110, ZK_FRAME_EFF, {1, 2, 3, 4, 5, 6, 7, 8}, 2000),
        frame(0x7E8, ZK_FRAME_RTR, {8}, 3000),
        frame(0x00000005, ZK_FRAME_EFF | ZK_FRAME_RTR, {}, 4000),
        frame(0x123, 0, {0x01}, 11000)});
    tx(frame(0x100, 0, {0xFF}, 0));
    zk_errs errs = {1, 0, 0, 2, 0};
    the_app.pgmgr.ops.pgmgr_errors(&the_app.pgmgr, &errs);
    the_app.chan.running = 1;
    the_app.pgmgr.ops.pgmgr_status(&the_app.pgmgr);
    ASSERT_TRUE(wait_rows(9));

    EXPECT_EQ("Rx", cell(1, BV_COL_DIR));
    EXPECT_EQ("123", cell(1, BV_COL_ID));
    EXPECT_EQ("", cell(1, BV_COL_MARKS));
    EXPECT_EQ("3", cell(1, BV_COL_LEN));
    EXPECT_EQ("01 02 AB", cell(1, BV_COL_DATA));
    EXPECT_EQ("", cell(1, BV_COL_DELTA));
    EXPECT_EQ("", cell(1, BV_COL_BACKGROUND));

    EXPECT_EQ("18DAF110", cell(2, BV_COL_ID));
    EXPECT_EQ("EXT", cell(2, BV_COL_MARKS));
    EXPECT_EQ("01 02 03 04 05 06 07 08", cell(2, BV_COL_DATA));
    EXPECT_EQ("7E8", cell(3, BV_COL_ID));
    EXPECT_EQ("RTR", cell(3, BV_COL_MARKS));
    EXPECT_EQ("8", cell(3, BV_COL_LEN));
    EXPECT_EQ("", cell(3, BV_COL_DATA));
    EXPECT_EQ("00000005", cell(4, BV_COL_ID));
    EXPECT_EQ("EXT RTR", cell(4, BV_COL_MARKS));

    // The second 123: 10 ms after the first, by the adapter's clock.
    EXPECT_EQ("01", cell(5, BV_COL_DATA));
    EXPECT_EQ("10.000", cell(5, BV_COL_DELTA));
    double t1 = g_ascii_strtod(cell(1, BV_COL_TIME).c_str(), nullptr);
    double t5 = g_ascii_strtod(cell(5, BV_COL_TIME).c_str(), nullptr);
    EXPECT_NEAR(0.010, t5 - t1, 1e-7);

    // A sent frame looks different from a received one.
    EXPECT_EQ("Tx", cell(6, BV_COL_DIR));
    EXPECT_EQ("100", cell(6, BV_COL_ID));
    EXPECT_NE("", cell(6, BV_COL_BACKGROUND));

    EXPECT_EQ("Errors", cell(7, BV_COL_DIR));
    EXPECT_EQ("EWL 1  BOFF 0  HOVR 0  SOVR 2  WTOUT 0", cell(7, BV_COL_DATA));
    EXPECT_NE("", cell(7, BV_COL_BACKGROUND));
    EXPECT_EQ("Status", cell(8, BV_COL_DIR));
    EXPECT_NE(std::string::npos, cell(8, BV_COL_DATA).find("running, 1000 kbit/s"));
    EXPECT_EQ(std::string::npos, cell(0, BV_COL_DATA).find("running"));

    EXPECT_TRUE(wait_status("Received: 5 "));
    EXPECT_NE(std::string::npos, status().find("Sent: 1 "));

    // Absolute time shows the wall clock of the sent frame.
    gtk_combo_box_set_active(GTK_COMBO_BOX(widget("busview-time")), 1);
    std::string abs = cell(6, BV_COL_TIME);
    ASSERT_EQ(15u, abs.size()) << abs;
    EXPECT_EQ(':', abs[2]);
    EXPECT_EQ('.', abs[8]);
}

zk_fdframe fd_frame(uint32_t id, uint8_t flags, uint8_t len, uint32_t ts_us)
{
    zk_fdframe f;
    memset(&f, 0, sizeof f);
    f.id = id;
    f.flags = flags;
    f.len = len;
    for (int i = 0; i < len; i++)
        f.data[i] = (uint8_t)i;
    f.ts = ts_us;
    return f;
}

// The host's stream has a tick's sent frames among its received ones by
// time; the trace keeps that order and those times.
TEST_F(Busview, SentFramesTakeTheirPlaceAmongTheTicksReceivedOnes)
{
    uint8_t one[1] = {0};
    stream({record(0x100, 0, 1, one, 1000, NB_DIR_RX), record(0x700, 0, 1, one, 1500, NB_DIR_TX),
            record(0x101, 0, 1, one, 2000, NB_DIR_RX), record(0x701, 0, 1, one, 2000, NB_DIR_TX),
            record(0x102, 0, 1, one, 3000, NB_DIR_RX)});
    ASSERT_TRUE(wait_rows(6));

    const char *const want[][2] = {{"Rx", "100"}, {"Tx", "700"}, {"Rx", "101"}, {"Tx", "701"},
                                   {"Rx", "102"}};
    const double after_us[] = {0, 500, 1000, 1000, 2000};
    double t0 = g_ascii_strtod(cell(1, BV_COL_TIME).c_str(), nullptr);
    for (int i = 0; i < 5; i++) {
        EXPECT_EQ(want[i][0], cell(i + 1, BV_COL_DIR)) << i;
        EXPECT_EQ(want[i][1], cell(i + 1, BV_COL_ID)) << i;
        double t = g_ascii_strtod(cell(i + 1, BV_COL_TIME).c_str(), nullptr);
        EXPECT_NEAR(after_us[i] / 1e6, t - t0, 1e-7) << i;
    }
}

// A frame written that never went out: a line of its own after its Tx
// line, both in the error lines' colour, and a row of its own per identifier;
// Sent leaves it out and "Not sent" counts it.
TEST_F(Busview, LostFramesAreMarkedAndLeftOutOfSent)
{
    uint8_t d[2] = {0xAB, 0xCD};
    stream({record(0x123, 0, 2, d, 1000, NB_DIR_TX), record(0x124, 0, 2, d, 1100, NB_DIR_TX),
            record(0x100, 0, 2, d, 1500, NB_DIR_RX)});
    ASSERT_TRUE(wait_status("Sent: 2 "));
    EXPECT_EQ(std::string::npos, status().find("Not sent")) << status();
    nb_stream_frame lost = record(0x123, 0, 2, d, 1000, NB_DIR_TX_LOST);
    lost.time_us += 5000;
    stream({lost});
    ASSERT_TRUE(wait_rows(5));
    EXPECT_EQ("Tx lost", cell(4, BV_COL_DIR));
    EXPECT_EQ("123", cell(4, BV_COL_ID));
    EXPECT_EQ("2", cell(4, BV_COL_LEN));
    EXPECT_EQ("AB CD", cell(4, BV_COL_DATA));
    EXPECT_EQ("#ffd6d6", cell(4, BV_COL_BACKGROUND));
    EXPECT_EQ("#ffd6d6", cell(1, BV_COL_BACKGROUND)) << "its Tx line";
    EXPECT_EQ("Tx", cell(1, BV_COL_DIR));
    EXPECT_EQ("", cell(1, BV_COL_MARKS));
    EXPECT_EQ("#dce6ff", cell(2, BV_COL_BACKGROUND)) << "another frame's";
    ASSERT_TRUE(wait_status("Sent: 1 ")) << status();
    EXPECT_NE(std::string::npos, status().find("Not sent: 1")) << status();

    gtk_combo_box_set_active(GTK_COMBO_BOX(widget("busview-view")), 1);
    ASSERT_TRUE(nbtest::wait_until([&] { return id_rows() == 4; }));
    EXPECT_EQ("123", id_cell(1, ID_ID));
    EXPECT_EQ("Tx", id_cell(1, ID_DIR));
    EXPECT_EQ("1", id_cell(1, ID_COUNT));
    EXPECT_EQ("123", id_cell(2, ID_ID));
    EXPECT_EQ("Tx lost", id_cell(2, ID_DIR));
    EXPECT_EQ("1", id_cell(2, ID_COUNT));
}

// Whether the view offers a tooltip for a row (asked as from the keyboard,
// with the cursor on the row).
bool has_tooltip(GtkWidget *view, int row)
{
    GtkTreePath *path = gtk_tree_path_new_from_indices(row, -1);
    gtk_tree_view_set_cursor(GTK_TREE_VIEW(view), path, nullptr, FALSE);
    gtk_tree_path_free(path);
    GObject *tip = G_OBJECT(g_object_new(GTK_TYPE_TOOLTIP, nullptr));
    gboolean shown = FALSE;
    g_signal_emit_by_name(view, "query-tooltip", 0, 0, TRUE, tip, &shown);
    g_object_unref(tip);
    return shown;
}

// The hexadecimal bytes 00, 01, ... of a frame of len bytes, in groups of 8.
std::string counting_bytes(int len)
{
    std::string out;
    char b[4];
    for (int i = 0; i < len; i++) {
        g_snprintf(b, sizeof b, "%02X", i);
        out += (i == 0 ? "" : i % 8 ? " " : " | ") + std::string(b);
    }
    return out;
}

// CAN FD frames, received and sent, with their marks, whole lengths and
// every byte in groups of 8, in both views; the format choice shows
// either kind alone.
TEST_F(Busview, CanFdFramesShownWholeAndChosenByFormat)
{
    std::vector<zk_fdframe> in = {fd_frame(0x123, ZK_FRAME_FDF | ZK_FRAME_BRS, 64, 1000),
                                  fd_frame(0x18DAF110, ZK_FRAME_EFF | ZK_FRAME_FDF | ZK_FRAME_ESI,
                                           12, 2000),
                                  fd_frame(0x100, 0, 2, 3000)};
    rx_fd(in);
    tx_fd(fd_frame(0x200, ZK_FRAME_FDF, 20, 0));
    ASSERT_TRUE(wait_rows(5));

    EXPECT_EQ("FD BRS", cell(1, BV_COL_MARKS));
    EXPECT_EQ("64", cell(1, BV_COL_LEN));
    EXPECT_EQ(counting_bytes(64), cell(1, BV_COL_DATA));
    EXPECT_EQ("EXT FD ESI", cell(2, BV_COL_MARKS));
    EXPECT_EQ("00 01 02 03 04 05 06 07 | 08 09 0A 0B", cell(2, BV_COL_DATA));
    EXPECT_EQ("", cell(3, BV_COL_MARKS));
    EXPECT_EQ("Tx", cell(4, BV_COL_DIR));
    EXPECT_EQ("20", cell(4, BV_COL_LEN));
    EXPECT_EQ(counting_bytes(20), cell(4, BV_COL_DATA));
    EXPECT_TRUE(has_tooltip(trace_, 1));    // the whole data
    EXPECT_TRUE(has_tooltip(trace_, 0));    // a status line's whole text

    set_formats(1);
    ASSERT_TRUE(wait_rows(4));
    EXPECT_EQ("123", cell(1, BV_COL_ID));
    EXPECT_EQ("200", cell(3, BV_COL_ID));
    set_formats(2);
    ASSERT_TRUE(wait_rows(2));
    EXPECT_EQ("100", cell(1, BV_COL_ID));
    set_formats(0);
    ASSERT_TRUE(wait_rows(5));

    gtk_combo_box_set_active(GTK_COMBO_BOX(widget("busview-view")), 1);
    ASSERT_TRUE(nbtest::wait_until([&] { return id_rows() == 4; }));
    EXPECT_EQ("123", id_cell(1, ID_ID));
    EXPECT_EQ("FD BRS", id_cell(1, ID_MARKS));
    EXPECT_EQ("64", id_cell(1, ID_LEN));
    EXPECT_EQ(counting_bytes(64), id_cell(1, ID_DATA));
    EXPECT_TRUE(has_tooltip(ids_, 1));
}

// The Data column takes the width the other columns leave, as the window
// grows and shrinks, never narrower than it was made.
TEST_F(Busview, TheDataColumnTakesTheRestOfTheWidth)
{
    GtkTreeView *view = GTK_TREE_VIEW(trace_);
    GtkTreeViewColumn *data = nullptr;
    for (int i = 0; gtk_tree_view_get_column(view, i); i++)
        if (g_strcmp0("Data", gtk_tree_view_column_get_title(gtk_tree_view_get_column(view, i))) == 0)
            data = gtk_tree_view_get_column(view, i);
    ASSERT_NE(nullptr, data);
    auto rest = [&] {
        int others = 0;
        for (int i = 0; gtk_tree_view_get_column(view, i); i++)
            if (gtk_tree_view_get_column(view, i) != data)
                others += gtk_tree_view_column_get_fixed_width(gtk_tree_view_get_column(view, i));
        return trace_->allocation.width - others;
    };
    // Narrow: the column keeps the width it was made with.
    gtk_window_resize(GTK_WINDOW(window_), 400, 600);
    ASSERT_TRUE(nbtest::wait_until([&] { return trace_->allocation.width < 800; }));
    nbtest::pump();
    const int least = gtk_tree_view_column_get_fixed_width(data);
    EXPECT_LT(rest(), least);
    for (int width : {1600, 1280}) {
        gtk_window_resize(GTK_WINDOW(window_), width, 600);
        ASSERT_TRUE(nbtest::wait_until([&] {
            return rest() > least && gtk_tree_view_column_get_fixed_width(data) == rest();
        })) << width << ": " << gtk_tree_view_column_get_fixed_width(data) << " of " << rest();
    }
    gtk_window_resize(GTK_WINDOW(window_), 400, 600);
    ASSERT_TRUE(nbtest::wait_until([&] { return rest() < least; }));
    nbtest::pump();
    EXPECT_EQ(least, gtk_tree_view_column_get_fixed_width(data));
}

TEST_F(Busview, PerIdentifierCountsPeriodsAndChangedBytes)
{
    std::vector<zk_frame> batch;
    for (int i = 0; i < 5; i++)
        batch.push_back(frame(0x100, 0, {0x11, (uint8_t)i, 0x33}, 100000 + i * 10000));
    for (int i = 0; i < 3; i++)
        batch.push_back(frame(0x200, 0, {}, 100000 + i * 20000));
    batch.push_back(frame(0x0F0, ZK_FRAME_EFF, {1}, 200000));
    batch.push_back(frame(0x0F0, 0, {2}, 200000));
    rx(batch);
    tx(frame(0x100, 0, {0x11}, 0));
    gtk_combo_box_set_active(GTK_COMBO_BOX(widget("busview-view")), 1);
    ASSERT_TRUE(gtk_widget_get_visible(gtk_widget_get_parent(ids_)));
    EXPECT_FALSE(gtk_widget_get_visible(gtk_widget_get_parent(trace_)));
    ASSERT_TRUE(nbtest::wait_until([&] { return id_rows() == 5; }));

    // Sorted by identifier, then format, then direction.
    EXPECT_EQ("0F0", id_cell(0, ID_ID));
    EXPECT_EQ("000000F0", id_cell(1, ID_ID));
    EXPECT_EQ("EXT", id_cell(1, ID_MARKS));
    EXPECT_EQ("100", id_cell(2, ID_ID));
    EXPECT_EQ("Rx", id_cell(2, ID_DIR));
    EXPECT_EQ("5", id_cell(2, ID_COUNT));
    EXPECT_EQ("10.000", id_cell(2, ID_PERIOD));
    // Only the middle byte changed between the frames.
    EXPECT_EQ("11 <span foreground=\"#c00000\" weight=\"bold\">04</span> 33",
              id_cell(2, ID_DATA));
    EXPECT_EQ("100", id_cell(3, ID_ID));
    EXPECT_EQ("Tx", id_cell(3, ID_DIR));
    EXPECT_EQ("1", id_cell(3, ID_COUNT));
    EXPECT_EQ("", id_cell(3, ID_PERIOD));
    EXPECT_EQ("200", id_cell(4, ID_ID));
    EXPECT_EQ("3", id_cell(4, ID_COUNT));
    EXPECT_EQ("20.000", id_cell(4, ID_PERIOD));
    EXPECT_EQ("", id_cell(4, ID_DATA));
    rx({frame(0x200, 0, {}, 160000)});
    ASSERT_TRUE(nbtest::wait_until([&] { return id_cell(4, ID_COUNT) == "4"; }));

    // Counting goes on while another frame of 100 arrives unchanged: the
    // highlight goes.
    rx({frame(0x100, 0, {0x11, 0x04, 0x33}, 160000)});
    ASSERT_TRUE(nbtest::wait_until([&] { return id_cell(2, ID_COUNT) == "6"; }));
    EXPECT_EQ("11 04 33", id_cell(2, ID_DATA));
    EXPECT_EQ("12.000", id_cell(2, ID_PERIOD));  // 60 ms over 5 intervals

    // The display filter applies to this view too.
    set_filter("200-7FF");
    ASSERT_TRUE(nbtest::wait_until([&] { return id_rows() == 1; }));
    EXPECT_EQ("200", id_cell(0, ID_ID));
}

// Keys that differ only in direction or format, identifiers in runs and
// far apart, up to the table's 12,288 entries: each counted on its own;
// one more is refused with the note, and Clear starts afresh.
TEST_F(Busview, IdentifierTableKeepsEveryKeyApartUntilFull)
{
    std::vector<nb_stream_frame> recs;
    static const uint8_t none[1] = {0};
    auto add = [&](uint32_t id, uint8_t flags, uint8_t dir, uint32_t ts) {
        recs.push_back(record(id, flags, 0, none, ts, dir));
        if (recs.size() == NB_STREAM_MAX) {
            stream(recs);
            recs.clear();
        }
    };
    for (uint32_t id = 0; id < 2048; id++) {
        add(id, 0, NB_DIR_RX, 1000);
        add(id, 0, NB_DIR_TX, 1000);
        add(id, ZK_FRAME_EFF, NB_DIR_RX, 1000);
    }
    for (uint32_t i = 0; i < 6144; i++)
        add(0x1FFFFFFFu - i * 0x10001u, ZK_FRAME_EFF, NB_DIR_RX, 1000);
    for (uint32_t id = 0; id < 2048; id++)
        add(id, 0, NB_DIR_RX, 3000);
    stream(recs);
    recs.clear();
    gtk_combo_box_set_active(GTK_COMBO_BOX(widget("busview-view")), 1);
    ASSERT_TRUE(nbtest::wait_until([&] { return id_rows() == 12288; }, 10000));
    EXPECT_EQ(std::string::npos, status().find("table full")) << status();
    for (int row = 0; row < 3 * 2048; row += 3 * 255) {
        char id[4];
        g_snprintf(id, sizeof id, "%03X", row / 3);
        EXPECT_EQ(id, id_cell(row, ID_ID));
        EXPECT_EQ("2", id_cell(row, ID_COUNT));
        EXPECT_EQ("2.000", id_cell(row, ID_PERIOD));
        EXPECT_EQ("Tx", id_cell(row + 1, ID_DIR));
        EXPECT_EQ("1", id_cell(row + 1, ID_COUNT));
        EXPECT_EQ("EXT", id_cell(row + 2, ID_MARKS));
        EXPECT_EQ("1", id_cell(row + 2, ID_COUNT));
    }
    EXPECT_EQ("1FFFFFFF", id_cell(12287, ID_ID));

    rx({frame(0x123456, ZK_FRAME_EFF, {}, 4000)});
    ASSERT_TRUE(wait_status("table full"));
    EXPECT_EQ(12288, id_rows());

    gtk_button_clicked(GTK_BUTTON(widget("busview-clear")));
    EXPECT_EQ(0, id_rows());
    rx({frame(0x123456, ZK_FRAME_EFF, {}, 5000), frame(0x123456, ZK_FRAME_EFF, {}, 6000)});
    ASSERT_TRUE(nbtest::wait_until([&] { return id_rows() == 1; }));
    ASSERT_TRUE(nbtest::wait_until([&] { return id_cell(0, ID_COUNT) == "2"; }));
    EXPECT_EQ("1.000", id_cell(0, ID_PERIOD));
}

// A 10 ms message stamped on arrival comes in pairs 0.6 ms apart: the
// period is the mean over the last 16 intervals, not the last one, and
// the column's header says so.
TEST_F(Busview, PeriodIsTheMeanOverTheLatestFrames)
{
    std::vector<zk_frame> batch;
    for (uint32_t k = 0; k < 30; k++) {
        batch.push_back(frame(0x300, 0, {1}, k * 20000));
        batch.push_back(frame(0x300, 0, {1}, k * 20000 + 604));
    }
    batch.push_back(frame(0x301, 0, {1}, 0));
    batch.push_back(frame(0x301, 0, {1}, 1000000));  // fewer than 16 intervals: their mean
    batch.push_back(frame(0x301, 0, {1}, 1010000));
    rx(batch);
    gtk_combo_box_set_active(GTK_COMBO_BOX(widget("busview-view")), 1);
    ASSERT_TRUE(nbtest::wait_until([&] { return id_rows() == 2; }));
    EXPECT_EQ("10.000", id_cell(0, ID_PERIOD));
    EXPECT_EQ("505.000", id_cell(1, ID_PERIOD));

    // The view's first column is the channel's.
    GtkTreeViewColumn *col = gtk_tree_view_get_column(GTK_TREE_VIEW(ids_), ID_PERIOD + 1);
    ASSERT_NE(nullptr, col);
    GtkWidget *header = gtk_tree_view_column_get_widget(col);
    ASSERT_NE(nullptr, header);
    gchar *tip = gtk_widget_get_tooltip_text(header);
    std::string tip_text = tip ? tip : "";
    g_free(tip);
    EXPECT_NE(std::string::npos, tip_text.find("Mean interval before each of the last 16 frames"))
        << tip_text;
}

// A cell keeps a bounded copy of its text; a text longer than that is cut
// before its last whole character, never in the middle of one.
TEST_F(Busview, CellsCutLongTextsAtAWholeCharacter)
{
    GtkTreeViewColumn *col = gtk_tree_view_get_column(GTK_TREE_VIEW(ids_), 0);
    ASSERT_NE(nullptr, col);
    GList *cells = gtk_cell_layout_get_cells(GTK_CELL_LAYOUT(col));
    ASSERT_NE(nullptr, cells);
    GObject *cell = G_OBJECT(cells->data);
    g_list_free(cells);
    std::string long_text;
    for (int i = 0; i < 200; i++)
        long_text += "\xc3\xa9";  // U+00E9, two bytes
    g_object_set(cell, "text", long_text.c_str(), nullptr);
    gchar *kept = nullptr;
    g_object_get(cell, "text", &kept, nullptr);
    ASSERT_NE(nullptr, kept);
    std::string k = kept;
    g_free(kept);
    EXPECT_TRUE(g_utf8_validate(k.c_str(), -1, nullptr));
    EXPECT_GT(k.size(), 200u);
    EXPECT_EQ(0u, k.size() % 2);
    EXPECT_EQ(0, long_text.compare(0, k.size(), k));
}

// Cells draw printable text from the font's glyphs and a text laid out
// once from its glyphs kept: what they draw is what the layout draws, the
// cut of a long text and its ellipsis included, selected or not.
TEST_F(Busview, CellsDrawTheirGlyphsAsTheLayoutWould)
{
    const int w = 300, h = 24;
    GdkPixmap *pm = gdk_pixmap_new(gtk_widget_get_window(trace_), w, h, -1);
    auto draw = [&](GObject *cell, const std::string &text, bool glyphs, int width,
                    GtkCellRendererState flags) {
        GdkGC *gc = gdk_gc_new(pm);
        GdkColor grey = {0, 0x8000, 0x8000, 0x8000};   /* under black and white text */
        gdk_gc_set_rgb_fg_color(gc, &grey);
        gdk_draw_rectangle(pm, gc, TRUE, 0, 0, w, h);
        g_object_unref(gc);
        g_object_set(cell, "text", text.c_str(), "glyphs", glyphs, nullptr);
        GdkRectangle area = {5, 0, width, h};
        GdkRectangle all = {0, 0, w, h};
        gtk_cell_renderer_render(GTK_CELL_RENDERER(cell), pm, trace_, &area, &area, &all, flags);
        GdkPixbuf *pb = gdk_pixbuf_get_from_drawable(nullptr, pm, nullptr, 0, 0, 0, 0, w, h);
        std::string px((const char *)gdk_pixbuf_get_pixels(pb),
                       (size_t)gdk_pixbuf_get_rowstride(pb) * h);
        g_object_unref(pb);
        return px;
    };
    // The largest difference of a pixel's channel: the ellipsis may sit a
    // fraction of a pixel apart, a glyph out of place differs by far more.
    auto differ = [](const std::string &a, const std::string &b) {
        int most = 0;
        for (size_t i = 0; i < a.size() && i < b.size(); i++)
            most = std::max(most, abs((unsigned char)a[i] - (unsigned char)b[i]));
        return most;
    };
    const std::string accented = "Steuerung l\xc3\xa4uft, 500 kbit/s";
    for (int col : {BV_COL_DATA, BV_COL_MARKS}) {
        GList *cells = gtk_cell_layout_get_cells(
            GTK_CELL_LAYOUT(gtk_tree_view_get_column(GTK_TREE_VIEW(trace_), col)));
        ASSERT_NE(nullptr, cells);
        GObject *cell = G_OBJECT(cells->data);
        g_list_free(cells);
        const std::string blank = draw(cell, "", true, w, (GtkCellRendererState)0);
        for (const std::string &text : {counting_bytes(3), counting_bytes(64), accented,
                                        std::string("EXT FD BRS")}) {
            for (int width : {40, 120, 290}) {
                for (auto flags : {(GtkCellRendererState)0, GTK_CELL_RENDERER_SELECTED}) {
                    std::string layout = draw(cell, text, false, width, flags);
                    EXPECT_GE(8, differ(layout, draw(cell, text, true, width, flags)))
                        << text << " in " << width << " px, column " << col << ", flags " << flags;
                    EXPECT_LT(64, differ(layout, blank)) << "nothing drawn: " << text;
                }
            }
        }
        g_object_set(cell, "glyphs", TRUE, nullptr);
    }
    g_object_unref(pm);
}

// The trace draws its rows itself, to GtkTreeView's own pixels: rows of
// every kind (received, sent, error and status lines, FD data cut with an
// ellipsis), a selected one among them, at the top, the middle and the
// end, and with the keyboard focus.
TEST_F(Busview, TraceRowsLookAsGtkTreeViewDrawsThem)
{
    std::vector<zk_fdframe> in;
    for (int i = 0; i < 60; i++)
        in.push_back(fd_frame(0x100 + i, i % 3 ? ZK_FRAME_FDF | ZK_FRAME_BRS : 0, i % 3 ? 64 : 8,
                              1000 * (i + 1)));
    rx_fd(in);
    tx(frame(0x100, 0, {0xFF}, 0));
    zk_errs errs = {1, 0, 0, 2, 0};
    the_app.pgmgr.ops.pgmgr_errors(&the_app.pgmgr, &errs);
    the_app.pgmgr.ops.pgmgr_status(&the_app.pgmgr);
    ASSERT_TRUE(wait_rows(64));
    GtkTreePath *path = gtk_tree_path_new_from_indices(30, -1);
    gtk_tree_selection_select_path(gtk_tree_view_get_selection(GTK_TREE_VIEW(trace_)), path);
    gtk_tree_path_free(path);
    gtk_window_set_focus(GTK_WINDOW(window_), nullptr);

    // Exposes of the rows that reached GtkTreeView.
    int gtk_drew = 0;
    auto count = +[](GtkWidget *w, GdkEventExpose *ev, gpointer n) -> gboolean {
        if (ev->window == gtk_tree_view_get_bin_window(GTK_TREE_VIEW(w)))
            ++*static_cast<int *>(n);
        return FALSE;
    };
    gulong counter = g_signal_connect(trace_, "expose-event", G_CALLBACK(count), &gtk_drew);
    auto pixels = [&](bool gtk) {
        g_object_set_data(G_OBJECT(trace_), "busview-gtk-paint", gtk ? trace_ : nullptr);
        GdkPixmap *pm = gtk_widget_get_snapshot(trace_, nullptr);
        int w = 0, h = 0;
        gdk_drawable_get_size(pm, &w, &h);
        GdkPixbuf *pb = gdk_pixbuf_get_from_drawable(nullptr, pm, nullptr, 0, 0, 0, 0, w, h);
        std::string px((const char *)gdk_pixbuf_get_pixels(pb),
                       (size_t)gdk_pixbuf_get_rowstride(pb) * h);
        g_object_unref(pb);
        g_object_unref(pm);
        return px;
    };
    GtkAdjustment *adj = gtk_tree_view_get_vadjustment(GTK_TREE_VIEW(trace_));
    for (double at : {0.0, 0.4, 1.0}) {
        double top = at * (gtk_adjustment_get_upper(adj) - gtk_adjustment_get_page_size(adj));
        g_object_set_data(G_OBJECT(trace_), "busview-gtk-paint", nullptr);
        gtk_adjustment_set_value(adj, top);
        nbtest::pump();
        gtk_drew = 0;
        std::string own = pixels(false);
        EXPECT_EQ(0, gtk_drew) << "scrolled to " << top;
        std::string theirs = pixels(true);
        EXPECT_LT(0, gtk_drew);
        EXPECT_TRUE(own == theirs) << "scrolled to " << top;
    }
    // With the keyboard focus GtkTreeView draws the cursor's row, with its
    // focus line, and the view the others.
    path = gtk_tree_path_new_from_indices(60, -1);
    gtk_tree_view_set_cursor(GTK_TREE_VIEW(trace_), path, nullptr, FALSE);
    gtk_tree_path_free(path);
    focus_trace();
    ASSERT_TRUE(gtk_widget_has_focus(trace_));
    gboolean moved = FALSE;
    g_signal_emit_by_name(trace_, "move-cursor", GTK_MOVEMENT_DISPLAY_LINES, 1, &moved);
    g_object_set_data(G_OBJECT(trace_), "busview-gtk-paint", nullptr);
    nbtest::pump();
    gtk_drew = 0;
    std::string own = pixels(false);
    EXPECT_EQ(0, gtk_drew);
    EXPECT_TRUE(own == pixels(true));
    g_signal_handler_disconnect(trace_, counter);
}

// Relative times count from the host's time origin: the status line
// before the first frame has its time, later lines never turn negative,
// Clear keeps the origin, and a moved origin (the controller's first
// start) is shown at once.
TEST_F(Busview, RelativeTimesCountFromTheHostsOrigin)
{
    auto secs = [&](int row) { return g_ascii_strtod(cell(row, BV_COL_TIME).c_str(), nullptr); };
    const double status = secs(0);
    EXPECT_GE(status, 10.0) << cell(0, BV_COL_TIME);
    EXPECT_LT(status, 60.0) << cell(0, BV_COL_TIME);
    rx({frame(0x10, 0, {1}, 0)});
    ASSERT_TRUE(wait_rows(2));
    EXPECT_EQ(status, secs(0));
    EXPECT_GE(secs(1), status);

    gtk_button_clicked(GTK_BUTTON(widget("busview-clear")));
    the_app.pgmgr.ops.pgmgr_status(&the_app.pgmgr);
    ASSERT_TRUE(wait_rows(1));
    EXPECT_GE(secs(0), status);

    the_app.time.origin += 60 * NB_TIMESTAMP_PER_SECOND;
    EXPECT_EQ('-', cell(0, BV_COL_TIME)[0]);
}

// A page out of sight is not redrawn: its views catch up when it is
// shown again.
TEST_F(Busview, HiddenPageCatchesUpWhenShown)
{
    GtkNotebook *notebook = GTK_NOTEBOOK(the_app.gui.notebook);
    GtkWidget *other = gtk_label_new("other");
    gtk_widget_show(other);
    gtk_notebook_append_page(notebook, other, nullptr);
    gtk_notebook_set_current_page(notebook, 1);
    ASSERT_TRUE(nbtest::wait_until([&] { return !gtk_widget_get_mapped(page_); }));
    rx({frame(0x10, 0, {1}, 0), frame(0x11, 0, {2}, 1000)});
    std::string before = status();
    // Nothing to wait for: let two refreshes pass, then look.
    gint64 until = g_get_monotonic_time() + 600 * 1000;
    nbtest::wait_until([&] { return g_get_monotonic_time() >= until; });
    EXPECT_EQ(1, rows());
    EXPECT_EQ(before, status());

    gtk_notebook_set_current_page(notebook, 0);
    ASSERT_TRUE(wait_rows(3));
    EXPECT_TRUE(wait_status("Received: 2 "));
}

TEST_F(Busview, PauseKeepsCountingClearEmpties)
{
    rx({frame(0x10, 0, {1}, 0)});
    ASSERT_TRUE(wait_rows(2));
    gtk_toggle_button_set_active(GTK_TOGGLE_BUTTON(widget("busview-pause")), TRUE);
    std::vector<zk_frame> batch;
    for (int i = 0; i < 10; i++)
        batch.push_back(frame(0x11, 0, {(uint8_t)i}, 1000 * (i + 1)));
    rx(batch);
    ASSERT_TRUE(wait_status("Received: 11 "));
    EXPECT_NE(std::string::npos, status().find("(paused: 10 frames not shown)")) << status();
    EXPECT_EQ(2, rows());

    gtk_toggle_button_set_active(GTK_TOGGLE_BUTTON(widget("busview-pause")), FALSE);
    rx({frame(0x12, 0, {2}, 20000)});
    ASSERT_TRUE(wait_rows(3));
    EXPECT_EQ("012", cell(2, BV_COL_ID));
    // The previous frame of 011 was counted while paused: no delta to
    // frames the user never saw is lost.
    rx({frame(0x11, 0, {2}, 30000)});
    ASSERT_TRUE(wait_rows(4));
    EXPECT_EQ("20.000", cell(3, BV_COL_DELTA));
    EXPECT_TRUE(wait_status("Received: 13 "));

    gtk_button_clicked(GTK_BUTTON(widget("busview-clear")));
    EXPECT_EQ(0, rows());
    EXPECT_TRUE(wait_status("Received: 0 "));
    gtk_combo_box_set_active(GTK_COMBO_BOX(widget("busview-view")), 1);
    EXPECT_EQ(0, id_rows());
    gtk_combo_box_set_active(GTK_COMBO_BOX(widget("busview-view")), 0);
    rx({frame(0x13, 0, {}, 40000)});
    ASSERT_TRUE(wait_rows(1));
    EXPECT_GE(g_ascii_strtod(cell(0, BV_COL_TIME).c_str(), nullptr), 10.0);
}

// With accessibility on (a screen reader, the tests that drive the
// program from outside), every cell of a trace row, the empty last
// column's too, is read and let go without a GTK warning (warnings abort
// the tests).
TEST_F(Busview, EveryCellOfTheTraceIsReadByAccessibilityWithoutWarnings)
{
    if (!nbtest::load_accessibility())
        GTEST_SKIP() << "the accessibility module is not installed";
    AtkObject *view = gtk_widget_get_accessible(trace_);
    ASSERT_TRUE(ATK_IS_TABLE(view)) << G_OBJECT_TYPE_NAME(view);
    rx({frame(0x10, 0, {1, 2}, 0)});
    ASSERT_TRUE(wait_rows(2));
    AtkTable *table = ATK_TABLE(view);
    const int columns = atk_table_get_n_columns(table);
    GList *view_columns = gtk_tree_view_get_columns(GTK_TREE_VIEW(trace_));
    ASSERT_EQ((int)g_list_length(view_columns), columns);
    g_list_free(view_columns);
    std::vector<std::string> names;
    for (int c = 0; c < columns; c++) {
        AtkObject *cell = atk_table_ref_at(table, 1, c);
        ASSERT_NE(nullptr, cell) << c;
        const char *name = atk_object_get_name(cell);
        names.push_back(name ? name : "");
        g_object_unref(cell);
    }
    EXPECT_EQ("ch0", names[1]);
    EXPECT_EQ("010", names[3]);
    EXPECT_EQ("", names.back());
    gtk_button_clicked(GTK_BUTTON(widget("busview-clear")));
    EXPECT_EQ(0, rows());
    nbtest::pump();
}

TEST_F(Busview, FilterShowsMatchingFramesOldAndNew)
{
    rx({frame(0x0FF, 0, {}, 0), frame(0x100, 0, {}, 1), frame(0x1FF, 0, {}, 2),
        frame(0x200, 0, {}, 3), frame(0x7E8, 0, {}, 4),
        frame(0x18DAF110, ZK_FRAME_EFF, {}, 5)});
    ASSERT_TRUE(wait_rows(7));
    set_filter("100-1FF, 7E8, 18DAF110");
    EXPECT_EQ("", filter_message());
    ASSERT_TRUE(wait_rows(5));  // the status line stays
    EXPECT_EQ("Status", cell(0, BV_COL_DIR));
    EXPECT_EQ("100", cell(1, BV_COL_ID));
    EXPECT_EQ("1FF", cell(2, BV_COL_ID));
    EXPECT_EQ("7E8", cell(3, BV_COL_ID));
    EXPECT_EQ("18DAF110", cell(4, BV_COL_ID));

    rx({frame(0x300, 0, {}, 10), frame(0x150, 0, {}, 11)});
    ASSERT_TRUE(wait_rows(6));
    EXPECT_EQ("150", cell(5, BV_COL_ID));
    EXPECT_TRUE(wait_status("Received: 8 "));

    set_filter("");
    ASSERT_TRUE(wait_rows(9));
    EXPECT_EQ("300", cell(7, BV_COL_ID));
}

// Typing applies nothing until a pause, not even a message for text
// still being typed; then the trace is filtered in slices, the old lines
// staying until all are looked at, while the main loop goes on.
TEST_F(Busview, TypedFilterIsAppliedAfterAPauseInSlices)
{
    // A view that does not follow the end shows every line as a row.
    gtk_toggle_button_set_active(GTK_TOGGLE_BUTTON(widget("busview-autoscroll")), FALSE);
    std::vector<zk_frame> batch;
    for (int i = 0; i < 40000; i++) {
        batch.push_back(frame((uint32_t)i & 0x7FF, 0, {}, (uint32_t)i * 50));
        if (batch.size() == NB_RX_BATCH || i == 39999) {
            rx(batch);
            batch.clear();
        }
    }
    ASSERT_TRUE(wait_rows(40001));
    // The view keeps the rows the new lines need: it is told only of the
    // 40,001 - 5,121 rows that go.
    int signals = 0;
    auto count = +[](GtkTreeModel *, GtkTreePath *, gpointer n) { ++*(int *)n; };
    GObject *model = G_OBJECT(gtk_tree_view_get_model(GTK_TREE_VIEW(trace_)));
    gulong del = g_signal_connect(model, "row-deleted", G_CALLBACK(count), &signals);
    gulong ins = g_signal_connect(model, "row-inserted", G_CALLBACK(count), &signals);
    GtkEntry *entry = GTK_ENTRY(widget("busview-filter"));
    gtk_entry_set_text(entry, "100-");
    EXPECT_EQ("", filter_message());
    gtk_entry_set_text(entry, "100-1FF");
    EXPECT_EQ(40001, rows());

    ASSERT_TRUE(nbtest::wait_until([&] { return filter_message() == "Filtering..."; }));
    EXPECT_EQ(40001, rows());
    int turns = 0;
    gint64 deadline = g_get_monotonic_time() + 10 * G_USEC_PER_SEC;
    while (filter_message() == "Filtering..." && g_get_monotonic_time() < deadline) {
        g_main_context_iteration(nullptr, FALSE);
        turns++;
    }
    EXPECT_GE(turns, 3);  // 40,001 lines take three slices
    ASSERT_TRUE(wait_rows(1 + 20 * 256));
    EXPECT_EQ("Status", cell(0, BV_COL_DIR));
    EXPECT_EQ("100", cell(1, BV_COL_ID));
    EXPECT_EQ("1FF", cell(5120, BV_COL_ID));
    EXPECT_EQ(40001 - 5121, signals);
    g_signal_handler_disconnect(model, del);
    g_signal_handler_disconnect(model, ins);
}

TEST_F(Busview, UnparsableFilterIsRefusedWithAMessageInThePage)
{
    rx({frame(0x100, 0, {}, 0), frame(0x200, 0, {}, 1)});
    ASSERT_TRUE(wait_rows(3));
    set_filter("200");
    ASSERT_TRUE(wait_rows(2));

    nbtest::DialogDriver driver;  // no dialog may open for bad text
    set_filter("200, 1FG");
    EXPECT_NE(std::string::npos, filter_message().find("\"1FG\"")) << filter_message();
    EXPECT_EQ(2, rows());  // the last good filter stays in force
    set_filter("300-200");
    EXPECT_NE(std::string::npos, filter_message().find("300-200")) << filter_message();
    set_filter("20000000");
    EXPECT_NE(std::string::npos, filter_message().find("1FFFFFFF")) << filter_message();
    EXPECT_EQ(2, rows());
    nbtest::pump();
    EXPECT_TRUE(driver.seen().empty());

    set_filter("100");
    EXPECT_EQ("", filter_message());
    ASSERT_TRUE(wait_rows(2));
    EXPECT_EQ("100", cell(1, BV_COL_ID));
}

TEST_F(Busview, SettingsRoundTripThroughASavedSession)
{
    gtk_combo_box_set_active(GTK_COMBO_BOX(widget("busview-view")), 1);
    gtk_combo_box_set_active(GTK_COMBO_BOX(widget("busview-time")), 1);
    set_filter("7E8, 100-1FF");
    gtk_spin_button_set_value(GTK_SPIN_BUTTON(widget("busview-history")), 5000);
    gtk_combo_box_set_active(GTK_COMBO_BOX(widget("busview-formats")), 2);

    std::string file = nbtest::make_temp_dir("busview") + "/s.nbs";
    ASSERT_EQ(0, the_app.session.ops.save(&the_app, file.c_str()));
    std::string text = nbtest::read_file(file);
    EXPECT_NE(std::string::npos, text.find("View=identifiers\n")) << text;
    EXPECT_NE(std::string::npos, text.find("Time=absolute\n")) << text;
    EXPECT_NE(std::string::npos, text.find("Filter=7E8, 100-1FF\n")) << text;
    EXPECT_NE(std::string::npos, text.find("History=5000\n")) << text;
    EXPECT_NE(std::string::npos, text.find("Frames=classic\n")) << text;

    gtk_combo_box_set_active(GTK_COMBO_BOX(widget("busview-view")), 0);
    gtk_combo_box_set_active(GTK_COMBO_BOX(widget("busview-time")), 0);
    set_filter("");
    gtk_spin_button_set_value(GTK_SPIN_BUTTON(widget("busview-history")), 100000);
    gtk_combo_box_set_active(GTK_COMBO_BOX(widget("busview-formats")), 0);

    g_strlcpy(the_app.session.auto_file, file.c_str(), sizeof the_app.session.auto_file);
    ASSERT_EQ(0, the_app.session.ops.reload_plugin_settings(&the_app));
    EXPECT_EQ(1, gtk_combo_box_get_active(GTK_COMBO_BOX(widget("busview-view"))));
    EXPECT_TRUE(gtk_widget_get_visible(gtk_widget_get_parent(ids_)));
    EXPECT_EQ(1, gtk_combo_box_get_active(GTK_COMBO_BOX(widget("busview-time"))));
    EXPECT_STREQ("7E8, 100-1FF", gtk_entry_get_text(GTK_ENTRY(widget("busview-filter"))));
    EXPECT_EQ(5000,
              gtk_spin_button_get_value_as_int(GTK_SPIN_BUTTON(widget("busview-history"))));
    EXPECT_EQ(2, gtk_combo_box_get_active(GTK_COMBO_BOX(widget("busview-formats"))));
    rx({frame(0x7E8, 0, {}, 0), frame(0x7E9, 0, {}, 1)});
    ASSERT_TRUE(nbtest::wait_until([&] { return id_rows() == 1; }));

    // A session whose filter does not parse: the text is shown for
    // correcting, with the message, and nothing is filtered.
    std::string bad = text;
    size_t at = bad.find("Filter=7E8, 100-1FF");
    ASSERT_NE(std::string::npos, at);
    bad.replace(at, strlen("Filter=7E8, 100-1FF"), "Filter=7E8 x");
    set_filter("");
    ASSERT_TRUE(nbtest::write_file(file, bad));
    ASSERT_EQ(0, the_app.session.ops.reload_plugin_settings(&the_app));
    EXPECT_STREQ("7E8 x", gtk_entry_get_text(GTK_ENTRY(widget("busview-filter"))));
    EXPECT_NE("", filter_message());
    ASSERT_TRUE(nbtest::wait_until([&] { return id_rows() == 2; }));
}

TEST_F(Busview, RingKeepsTheNewestWhenItWraps)
{
    // 100,000 lines by default: after the status line and 101,000 frames
    // the newest 100,000 frames are left, oldest first. Frame i carries i
    // in its data. The view shows all of them while it does not follow
    // the end.
    gtk_toggle_button_set_active(GTK_TOGGLE_BUTTON(widget("busview-autoscroll")), FALSE);
    std::vector<zk_frame> batch;
    auto feed = [&](int from, int to) {
        for (int i = from; i < to;) {
            batch.clear();
            for (int k = 0; k < NB_RX_BATCH && i < to; k++, i++)
                batch.push_back(frame((uint32_t)i & 0x7FF, 0,
                                      {(uint8_t)(i >> 16), (uint8_t)(i >> 8), (uint8_t)i},
                                      (uint32_t)i * 50));
            rx(batch);
        }
    };
    feed(0, 100000);  // one more line than the ring holds: the status line goes
    ASSERT_TRUE(wait_rows(100000));
    EXPECT_EQ("00 00 00", cell(0, BV_COL_DATA));
    EXPECT_EQ("01 86 9F", cell(99999, BV_COL_DATA));
    // Then fewer than one refresh can take, so the view is told row by row.
    feed(100000, 101000);
    ASSERT_TRUE(nbtest::wait_until([&] { return cell(99999, BV_COL_DATA) == "01 8A 87"; }));
    EXPECT_EQ(100000, rows());
    EXPECT_EQ("00 03 E8", cell(0, BV_COL_DATA));  // frame 1000
    EXPECT_TRUE(wait_status("Received: 101000 "));

    // A smaller history keeps the newest lines of the old one.
    gtk_spin_button_set_value(GTK_SPIN_BUTTON(widget("busview-history")), 5000);
    ASSERT_TRUE(wait_rows(5000));
    EXPECT_EQ("01 77 00", cell(0, BV_COL_DATA));  // frame 96000
    EXPECT_EQ("01 8A 87", cell(4999, BV_COL_DATA));
}

// The bus load counts each frame's own bits: a frame like its identifier's
// last one as many, one with other bytes (stuff bits), another length or
// RTR its own.
TEST_F(Busview, BusLoadCountsEachFramesOwnBits)
{
    std::string stats = nbtest::make_temp_dir("stats") + "/busview.stats";
    ASSERT_EQ(0, setenv("BUSVIEW_STATS", stats.c_str(), 1));
    std::vector<zk_frame> in;
    uint32_t expect = 0;
    auto add = [&](uint8_t flags, std::vector<uint8_t> data) {
        zk_frame f = frame(0x100, flags, data, (uint32_t)(1000 * in.size()));
        if (!in.empty())  // the bits after the first frame's end
            expect += bv_frame_bits(0x100, flags, f.len, f.data).nominal;
        in.push_back(f);
    };
    const std::vector<uint8_t> zeros(8, 0), fives(8, 0x55);
    for (auto data : {zeros, zeros, fives, fives, zeros, std::vector<uint8_t>{0}, std::vector<uint8_t>{}})
        add(0, data);
    add(ZK_FRAME_RTR, {8});
    add(ZK_FRAME_RTR, {8});
    add(0, zeros);
    rx(in);
    ASSERT_TRUE(wait_status("Received: 10 "));
    ASSERT_EQ(0, pgmgr_release(entry_));
    unsetenv("BUSVIEW_STATS");
    std::string text = nbtest::read_file(stats);
    size_t at = text.find("rx_load=");
    ASSERT_NE(std::string::npos, at) << text;
    // The load is the bits' time at 1 Mbit/s over the 9 ms between the frames.
    double load = g_ascii_strtod(text.c_str() + at + 8, nullptr);
    EXPECT_NEAR(expect, load * 9000, 0.5) << text;
}

TEST_F(Busview, ReleasedAndLoadedAgainStartsAfresh)
{
    gtk_combo_box_set_active(GTK_COMBO_BOX(widget("busview-view")), 1);
    rx({frame(0x100, 0, {1}, 0)});
    ASSERT_TRUE(nbtest::wait_until([&] { return id_rows() == 1; }));
    ASSERT_EQ(0, pgmgr_release(entry_));
    nbtest::pump();

    // The library stays mapped, so its list model type is the same one.
    ASSERT_EQ(0, pgmgr_load(&the_app, entry_));
    page_ = entry_->page;
    trace_ = widget("busview-trace");
    ids_ = widget("busview-ids");
    EXPECT_TRUE(gtk_widget_get_visible(gtk_widget_get_parent(trace_)));
    ASSERT_TRUE(wait_rows(1));
    rx({frame(0x200, 0, {2}, 0)});
    ASSERT_TRUE(wait_rows(2));
    EXPECT_EQ("200", cell(1, BV_COL_ID));
    EXPECT_TRUE(wait_status("Received: 1 "));
}

// Every column of the views is as wide as its title, in English and in
// German, whose titles are longer ("Länge" over three digits).
TEST_F(Busview, ColumnTitlesFitInEnglishAndGerman)
{
    auto clipped = [&] {
        std::string out;
        for (const char *name :
             {"busview-trace", "busview-ids", "busview-log-trace", "busview-log-ids"}) {
            GList *cols = gtk_tree_view_get_columns(GTK_TREE_VIEW(widget(name)));
            for (GList *l = cols; l; l = l->next) {
                GtkTreeViewColumn *c = GTK_TREE_VIEW_COLUMN(l->data);
                GtkRequisition title;
                gtk_widget_size_request(c->button, &title);
                const char *text = gtk_tree_view_column_get_title(c);
                if (text && *text &&
                    title.width > gtk_tree_view_column_get_fixed_width(c))
                    out += std::string(name) + ": " + text + "; ";
            }
            g_list_free(cols);
        }
        return out;
    };
    EXPECT_EQ("", clipped());

    ASSERT_EQ(0, pgmgr_release(entry_));
    nbtest::pump();
    const std::string locale_was = setlocale(LC_ALL, nullptr);
    setenv("LANGUAGE", "de", 1);
    ASSERT_NE(nullptr, setlocale(LC_ALL, "C.UTF-8"));
    g_strlcpy(the_app.locale_dir, (nbtest::stage_dir() + "/share/locale").c_str(),
              sizeof the_app.locale_dir);
    bindtextdomain("nimbrel-busview", the_app.locale_dir);
    int loaded = pgmgr_load(&the_app, entry_);
    unsetenv("LANGUAGE");
    setlocale(LC_ALL, locale_was.c_str());
    ASSERT_EQ(0, loaded);
    page_ = entry_->page;
    GtkTreeViewColumn *len = gtk_tree_view_get_column(GTK_TREE_VIEW(widget("busview-trace")), 5);
    ASSERT_STREQ("Länge", gtk_tree_view_column_get_title(len));
    EXPECT_EQ("", clipped());
}

TEST_F(Busview, ScrolledBackLinesStayInPlaceWhileTheRingWraps)
{
    gtk_spin_button_set_value(GTK_SPIN_BUTTON(widget("busview-history")), 1000);
    auto feed = [&](int from, int to) {
        std::vector<zk_frame> batch;
        for (int i = from; i < to; i++)
            batch.push_back(frame(0x100, 0, {(uint8_t)(i >> 8), (uint8_t)i}, (uint32_t)i));
        rx(batch);
    };
    feed(0, 1000);
    ASSERT_TRUE(wait_rows(1000));
    GtkAdjustment *adj = gtk_scrolled_window_get_vadjustment(
        GTK_SCROLLED_WINDOW(gtk_widget_get_parent(trace_)));
    ASSERT_TRUE(nbtest::wait_until([&] { return gtk_adjustment_get_upper(adj) > 5000; }));
    gtk_adjustment_set_value(adj, gtk_adjustment_get_upper(adj) / 2);
    nbtest::pump();
    std::string before = top_data();
    ASSERT_NE("<none>", before);
    ASSERT_NE("00 00", before);
    feed(1000, 1100);
    ASSERT_TRUE(nbtest::wait_until([&] { return cell(999, BV_COL_DATA) == "04 4B"; }));
    nbtest::pump();
    EXPECT_EQ(before, top_data());
}

TEST_F(Busview, AutoscrollFollowsUntilTheUserScrollsBack)
{
    GtkAdjustment *adj = gtk_scrolled_window_get_vadjustment(
        GTK_SCROLLED_WINDOW(gtk_widget_get_parent(trace_)));
    auto at_end = [&] {
        return gtk_adjustment_get_upper(adj) > gtk_adjustment_get_page_size(adj) &&
               gtk_adjustment_get_value(adj) >=
                   gtk_adjustment_get_upper(adj) - gtk_adjustment_get_page_size(adj) - 1;
    };
    std::vector<zk_frame> batch;
    for (int i = 0; i < 300; i++)
        batch.push_back(frame(0x100, 0, {}, (uint32_t)i));
    rx(batch);
    ASSERT_TRUE(wait_rows(301));
    ASSERT_TRUE(nbtest::wait_until(at_end));

    gtk_adjustment_set_value(adj, 0);  // the user scrolls back
    rx(batch);
    ASSERT_TRUE(wait_rows(601));
    nbtest::pump();  // the view's own scrolling work, if any, is done
    EXPECT_EQ(0, gtk_adjustment_get_value(adj));

    gtk_adjustment_set_value(adj, gtk_adjustment_get_upper(adj) -
                                      gtk_adjustment_get_page_size(adj));
    rx(batch);
    ASSERT_TRUE(wait_rows(901));
    EXPECT_TRUE(nbtest::wait_until(at_end));
}

// A view that follows the end keeps the newest lines as rows; the user who
// leaves the end, with the scrollbar or a key, has all of them again.
TEST_F(Busview, FollowingViewKeepsTheNewestRowsUntilTheUserLeavesTheEnd)
{
    GtkAdjustment *adj = gtk_scrolled_window_get_vadjustment(
        GTK_SCROLLED_WINDOW(gtk_widget_get_parent(trace_)));
    auto to_end = [&] {
        gtk_adjustment_set_value(adj, gtk_adjustment_get_upper(adj) - gtk_adjustment_get_page_size(adj));
    };
    feed_counting(0, 6000);
    ASSERT_TRUE(nbtest::wait_until([&] { return last_data() == "17 6F"; }));  // frame 5999
    ASSERT_LT(rows(), 6001);
    ASSERT_TRUE(wait_status("Lines: 6001"));

    // Three rows back with the wheel: every line, the same ones in sight.
    ASSERT_TRUE(nbtest::wait_until([&] { return top_row() > 3; }));
    std::string three_up = cell(top_row() - 3, BV_COL_DATA);
    gtk_adjustment_set_value(adj, gtk_adjustment_get_value(adj) - 3 * gtk_adjustment_get_upper(adj) / rows());
    ASSERT_TRUE(wait_rows(6001));
    nbtest::pump();
    EXPECT_EQ(three_up, top_data());
    EXPECT_EQ("17 6F", last_data());

    // Back at the end it follows again with fewer rows.
    to_end();
    feed_counting(6000, 6100);
    ASSERT_TRUE(nbtest::wait_until([&] { return last_data() == "17 D3"; }));  // frame 6099
    ASSERT_LT(rows(), 6101);
    // and goes on following when its rows are rebuilt.
    gtk_spin_button_set_value(GTK_SPIN_BUTTON(widget("busview-history")), 50000);
    nbtest::pump();
    feed_counting(6100, 6200);
    ASSERT_TRUE(nbtest::wait_until([&] { return last_data() == "18 37"; }));  // frame 6199
    ASSERT_LT(rows(), 6201);

    // Keys move the cursor over the whole trace: Page Up from the last
    // line stays near the end, Home goes to the first line.
    GtkTreePath *path = gtk_tree_path_new_from_indices(rows() - 1, -1);
    gtk_tree_view_set_cursor(GTK_TREE_VIEW(trace_), path, nullptr, FALSE);
    gtk_tree_path_free(path);
    auto press = [&](GtkMovementStep step, int count) {
        move_cursor(step, count);
        nbtest::pump();
    };
    press(GTK_MOVEMENT_PAGES, -1);
    EXPECT_EQ(6201, rows());
    int page_up = cursor_row();
    EXPECT_GT(page_up, 6200 - 100);
    EXPECT_LT(page_up, 6200);
    EXPECT_GE(page_up, top_row());  // in sight
    press(GTK_MOVEMENT_BUFFER_ENDS, -1);
    EXPECT_EQ(0, cursor_row());
    EXPECT_EQ("Status", cell(0, BV_COL_DIR));
    EXPECT_EQ(0, top_row());
}

// A full trace that follows a fast bus (more new lines at each refresh
// than the rows it keeps) shows the newest lines. Stopped there, End and
// Ctrl+End reach the last line for good, and Page Down stays on it.
TEST_F(Busview, FullTraceFollowsTheNewestAndItsKeysReachTheEnd)
{
    gtk_spin_button_set_value(GTK_SPIN_BUTTON(widget("busview-history")), 5000);
    GtkAdjustment *adj = gtk_scrolled_window_get_vadjustment(
        GTK_SCROLLED_WINDOW(gtk_widget_get_parent(trace_)));
    auto data = [](int i) {
        char text[8];
        g_snprintf(text, sizeof text, "%02X %02X", (i >> 8) & 0xFF, i & 0xFF);
        return std::string(text);
    };
    auto end_in_sight = [&] {
        GtkTreePath *start = nullptr, *end = nullptr;
        if (!gtk_tree_view_get_visible_range(GTK_TREE_VIEW(trace_), &start, &end))
            return false;
        bool in = gtk_tree_path_get_indices(end)[0] == rows() - 1;
        gtk_tree_path_free(start);
        gtk_tree_path_free(end);
        return in;
    };
    for (int from = 0; from < 15000; from += 3000) {
        feed_counting(from, from + 3000);
        ASSERT_TRUE(nbtest::wait_until([&] { return last_data() == data(from + 2999); })) << from;
        nbtest::pump();
        EXPECT_LT(rows(), 5000) << from;
        EXPECT_TRUE(end_in_sight()) << from << ": top " << top_data();
    }
    ASSERT_TRUE(wait_status("Lines: 5000"));

    auto cursor_data = [&] {
        GtkTreePath *p = nullptr;
        gtk_tree_view_get_cursor(GTK_TREE_VIEW(trace_), &p, nullptr);
        std::string d = p ? cell(gtk_tree_path_get_indices(p)[0], BV_COL_DATA) : "<none>";
        if (p)
            gtk_tree_path_free(p);
        return d;
    };
    // A key as the keyboard sends it: bindings go by the hardware key.
    auto key = [&](guint keyval, guint state) {
        focus_trace();
        ASSERT_TRUE(gtk_widget_has_focus(trace_));
        GdkEvent *ev = gdk_event_new(GDK_KEY_PRESS);
        ev->key.window = GDK_WINDOW(g_object_ref(gtk_widget_get_window(trace_)));
        ev->key.keyval = keyval;
        ev->key.state = state;
        GdkKeymapKey *keys = nullptr;
        gint n = 0;
        if (gdk_keymap_get_entries_for_keyval(gdk_keymap_get_default(), keyval, &keys, &n) && n > 0)
            ev->key.hardware_keycode = (guint16)keys[0].keycode;
        g_free(keys);
        gtk_widget_event(trace_, ev);
        gdk_event_free(ev);
        nbtest::pump();
    };
    const std::string newest = data(14999);
    for (guint state : {0u, (guint)GDK_CONTROL_MASK}) {
        key(GDK_Home, 0);
        ASSERT_EQ(5000, rows());
        key(GDK_End, state);
        EXPECT_EQ(newest, cursor_data());
        // The view at the end keeps the newest rows again, the cursor on
        // its line and in sight.
        ASSERT_TRUE(nbtest::wait_until([&] { return rows() < 5000; })) << state;
        nbtest::pump();
        EXPECT_EQ(newest, cursor_data()) << state;
        EXPECT_TRUE(end_in_sight()) << state << ": top " << top_data();
        key(GDK_Page_Down, 0);
        EXPECT_EQ(newest, cursor_data()) << state;
        EXPECT_TRUE(end_in_sight()) << state << ": top " << top_data();
        EXPECT_GE(gtk_adjustment_get_value(adj) + 1,
                  gtk_adjustment_get_upper(adj) - gtk_adjustment_get_page_size(adj));
    }
    // Scrolled back with the cursor on the last line, which GtkTreeView
    // leaves where it is: End shows the end, and the view follows again.
    gtk_adjustment_set_value(adj, 0);
    ASSERT_TRUE(wait_rows(5000));
    nbtest::pump();
    ASSERT_FALSE(end_in_sight());
    key(GDK_End, 0);
    EXPECT_EQ(newest, cursor_data());
    EXPECT_TRUE(nbtest::wait_until([&] { return rows() < 5000 && end_in_sight(); }));
}

// A long trace takes its older lines back in slices when the user leaves
// the end; a key pressed meanwhile waits for all of them, so Page Up goes
// a page up from the line in sight and Home to the oldest line.
TEST_F(Busview, LongTraceTakesItsLinesBackInSlicesWhileKeysWait)
{
    const int lines = 120000;
    gtk_spin_button_set_value(GTK_SPIN_BUTTON(widget("busview-history")), lines);
    for (int from = 0; from < lines + 1000; from += NB_RX_BATCH) {  // 1,000 and a few more
        std::vector<zk_frame> batch;
        for (int i = from; i < from + NB_RX_BATCH; i++)
            batch.push_back(frame(0x100, 0, {(uint8_t)(i >> 16), (uint8_t)(i >> 8), (uint8_t)i}, 0));
        rx(batch);
    }
    ASSERT_TRUE(wait_status("Lines: 120000"));
    ASSERT_TRUE(nbtest::wait_until([&] { return top_row() > 0 && rows() < lines; }));
    nbtest::pump();
    // The focus puts the cursor on the top line in sight.
    focus_trace();
    std::string in_sight = top_data();
    EXPECT_EQ(in_sight, cell(cursor_row(), BV_COL_DATA));
    move_cursor(GTK_MOVEMENT_PAGES, -1);
    EXPECT_LT(rows(), lines);     // not all at once
    EXPECT_EQ(in_sight, cell(cursor_row(), BV_COL_DATA));
    // Row counts seen on the way, the same lines in sight; the view keeps
    // the focus, which another test's window may take.
    std::set<int> growing;
    ASSERT_TRUE(nbtest::wait_until([&] {
        if (!gtk_widget_has_focus(trace_))
            focus_trace();
        if (rows() < lines) {
            EXPECT_EQ(in_sight, top_data());
        }
        return growing.insert(rows()), rows() == lines;
    }, 30000));
    EXPECT_LT(3u, growing.size());
    nbtest::pump();
    int page_up = cursor_row();
    EXPECT_GT(page_up, lines - 200);
    EXPECT_NE(in_sight, cell(page_up, BV_COL_DATA));
    EXPECT_GE(page_up, top_row());  // in sight
    move_cursor(GTK_MOVEMENT_BUFFER_ENDS, -1);
    nbtest::pump();
    EXPECT_EQ(0, cursor_row());
    int oldest = (lines + 1000 + NB_RX_BATCH - 1) / NB_RX_BATCH * NB_RX_BATCH - lines;
    char text[16];
    g_snprintf(text, sizeof text, "%02X %02X %02X", oldest >> 16, (oldest >> 8) & 0xFF, oldest & 0xFF);
    EXPECT_EQ(text, cell(0, BV_COL_DATA));
    EXPECT_EQ(0, top_row());

    // End: back at the end, the view gives up its older rows in slices
    // too, the cursor on the last line.
    std::string newest = cell(lines - 1, BV_COL_DATA);
    move_cursor(GTK_MOVEMENT_BUFFER_ENDS, 1);
    std::set<int> shrinking;
    ASSERT_TRUE(nbtest::wait_until([&] {
        shrinking.insert(rows());
        return rows() < 5000;
    }, 30000));
    EXPECT_LT(3u, shrinking.size());
    nbtest::pump();
    EXPECT_EQ(newest, cell(cursor_row(), BV_COL_DATA));
    EXPECT_EQ(newest, last_data());
    // Page Up from there waits for all the lines again, the view at the
    // end meanwhile, and goes a page up (with the focus it needs).
    move_cursor(GTK_MOVEMENT_PAGES, -1);
    ASSERT_TRUE(nbtest::wait_until([&] {
        if (!gtk_widget_has_focus(trace_))
            focus_trace();
        return rows() == lines;
    }, 30000));
    nbtest::pump();
    EXPECT_GT(cursor_row(), lines - 200);
    EXPECT_LT(cursor_row(), lines - 1);
}

// A row's tooltip goes when the rows of a following trace move under the
// resting pointer (GTK would keep it over other lines).
TEST_F(Busview, RowTooltipGoesWhenTheTraceMovesUnderIt)
{
    GtkSettings *settings = gtk_settings_get_default();
    gint timeout = 0;
    g_object_get(settings, "gtk-tooltip-timeout", &timeout, nullptr);
    g_object_set(settings, "gtk-tooltip-timeout", 1, nullptr);
    std::vector<zk_frame> batch;
    for (int i = 0; i < 100; i++)
        batch.push_back(frame(0x100, 0, {1, 2, 3, 4, 5, 6, 7, (uint8_t)i}, (uint32_t)i));
    rx(batch);
    ASSERT_TRUE(wait_rows(101));
    ASSERT_TRUE(nbtest::wait_until([&] { return top_row() > 0; }));
    auto tooltip_shown = [] {
        GList *all = gtk_window_list_toplevels();
        bool shown = false;
        for (GList *l = all; l; l = l->next)
            shown |= strcmp(gtk_widget_get_name(GTK_WIDGET(l->data)), "gtk-tooltip") == 0 &&
                     gtk_widget_get_mapped(GTK_WIDGET(l->data));
        g_list_free(all);
        return shown;
    };
    // The pointer rests on a row in the middle (again, should another
    // test's window or pointer have come between).
    GdkWindow *bin = gtk_tree_view_get_bin_window(GTK_TREE_VIEW(trace_));
    int moves = 0;
    auto rest_on_a_row = [&] {
        return nbtest::wait_until([&] {
            gdk_window_raise(gtk_widget_get_window(window_));
            gint x = 0, y = 0;
            gdk_window_get_origin(bin, &x, &y);
            gdk_display_warp_pointer(gdk_display_get_default(), gdk_screen_get_default(),
                                     x + 300 + moves++ % 2, y + gdk_window_get_height(bin) / 2);
            return nbtest::wait_until(tooltip_shown, 300);
        }, 10000);
    };
    EXPECT_TRUE(rest_on_a_row());
    rx(batch);
    ASSERT_TRUE(wait_rows(201));
    EXPECT_TRUE(nbtest::wait_until([&] { return !tooltip_shown(); }));
    // Nor does it stay while the view scrolls back under it.
    EXPECT_TRUE(rest_on_a_row());
    GtkAdjustment *adj = gtk_scrolled_window_get_vadjustment(
        GTK_SCROLLED_WINDOW(gtk_widget_get_parent(trace_)));
    gtk_adjustment_set_value(adj, 0);
    EXPECT_TRUE(nbtest::wait_until([&] { return !tooltip_shown(); }));
    g_object_set(settings, "gtk-tooltip-timeout", timeout, nullptr);
}

// Open log on a FIFO or a device says what it is, without waiting for a
// writer or reading for ever, and keeps what was shown: the live traffic,
// or a log opened before.
TEST_F(Busview, OpenLogRefusesFifosAndDevicesWithoutWaiting)
{
    nbtest::Deadline deadline(60, "opening a FIFO or a device as a log");
    std::string dir = nbtest::make_temp_dir("openlog");
    std::string fifo = dir + "/pipe.blf";
    ASSERT_EQ(0, mkfifo(fifo.c_str(), 0600));
    std::string log = dir + "/shown.log";
    ASSERT_TRUE(nbtest::write_file(
        log, "(1700000000.000000) can0 123#11\n(1700000000.001000) can0 124#22\n"));
    auto label = [&](const char *name) {
        return std::string(gtk_label_get_text(GTK_LABEL(widget(name))));
    };
    GtkTreeModel *model = gtk_tree_view_get_model(GTK_TREE_VIEW(widget("busview-log-trace")));
    const std::pair<std::string, const char *> names[] = {{fifo, "a FIFO"}, {"/dev/zero", "a device"}};
    for (const auto &n : names) {
        bool log_shown = &n != names;
        if (&n == names + 1) {
            nbtest::DialogDriver driver;
            choose_in_dialog(driver, log);
            gtk_button_clicked(GTK_BUTTON(widget("busview-open-log")));
            ASSERT_TRUE(driver.done());
            ASSERT_TRUE(nbtest::wait_until(
                [&] { return label("busview-log-counts").find("Frames: 2") != std::string::npos; }));
        }
        nbtest::DialogDriver driver;
        choose_in_dialog(driver, n.first);
        driver.respond(GTK_RESPONSE_OK);
        gtk_button_clicked(GTK_BUTTON(widget("busview-open-log")));
        ASSERT_TRUE(nbtest::wait_until([&] { return driver.done(); }, 20000));
        ASSERT_EQ(2u, driver.seen().size());
        EXPECT_NE(std::string::npos, driver.seen()[1].text.find(n.first + ": " + n.second))
            << driver.seen()[1].text;
        EXPECT_EQ(log_shown, gtk_widget_get_visible(widget("busview-log-bar")));
        EXPECT_EQ(!log_shown, gtk_widget_get_mapped(trace_));
    }
    // The log is still read and counted.
    EXPECT_NE(std::string::npos, label("busview-log-title").find("shown.log"));
    EXPECT_NE(std::string::npos, label("busview-log-counts").find("Frames: 2"));
    EXPECT_TRUE(nbtest::wait_until([&] { return get(model, 1, BV_COL_ID) == "124"; }));
    gtk_button_clicked(GTK_BUTTON(widget("busview-log-back")));
    EXPECT_TRUE(gtk_widget_get_mapped(trace_));
}

// The file shown is the one opened, as it was: frames appended later are
// neither counted nor filtered in, a file put in its place is not mixed
// into the view, and the bar says what became of the file.
TEST_F(Busview, OpenLogKeepsTheFileAsItWasOpened)
{
    std::string dir = nbtest::make_temp_dir("changed");
    std::string path = dir + "/a.log";
    std::string text;
    char line[96];
    for (int i = 0; i < 50; i++) {
        g_snprintf(line, sizeof line, "(1700000000.%06d) can0 %03X#%02X\n", i * 1000, 0x100 + i % 5, i);
        text += line;
    }
    ASSERT_TRUE(nbtest::write_file(path, text));
    nbtest::DialogDriver driver;
    choose_in_dialog(driver, path);
    gtk_button_clicked(GTK_BUTTON(widget("busview-open-log")));
    ASSERT_TRUE(driver.done());
    auto counts = [&] { return std::string(gtk_label_get_text(GTK_LABEL(widget("busview-log-counts")))); };
    GtkTreeModel *model = gtk_tree_view_get_model(GTK_TREE_VIEW(widget("busview-log-trace")));
    ASSERT_TRUE(nbtest::wait_until([&] { return counts().find("Frames: 50") != std::string::npos; }));

    // Appended to: not shown, and the filter's count stays within the file.
    FILE *f = fopen(path.c_str(), "a");
    ASSERT_NE(nullptr, f);
    for (int i = 0; i < 20; i++)
        fprintf(f, "(1700000001.%06d) can0 100#FF\n", i * 1000);
    fclose(f);
    set_filter("100");
    ASSERT_TRUE(nbtest::wait_until([&] { return counts().find("appended since the file was opened") != std::string::npos; }))
        << counts();
    EXPECT_NE(std::string::npos, counts().find("Frames: 50")) << counts();
    EXPECT_TRUE(nbtest::wait_until([&] { return counts().find("Shown: 10") != std::string::npos; }))
        << counts();

    // Another file put in its place, with earlier times: the filter reads
    // the file that was opened.
    std::string other = dir + "/b.log";
    ASSERT_TRUE(nbtest::write_file(other, "(1600000000.000000) can0 100#EE\n"));
    ASSERT_EQ(0, rename(other.c_str(), path.c_str()));
    set_filter("100-104");
    ASSERT_TRUE(nbtest::wait_until([&] { return counts().find("Shown: 50") != std::string::npos; }))
        << counts();
    EXPECT_NE(std::string::npos, counts().find("was replaced, moved or deleted")) << counts();
    ASSERT_TRUE(nbtest::wait_until([&] { return get(model, 0, BV_COL_DATA) == "00"; }));
    EXPECT_EQ("0.000000", get(model, 0, BV_COL_TIME));
    gtk_button_clicked(GTK_BUTTON(widget("busview-log-back")));
}

}  // namespace

// A log file opened from the page: its frames in the trace and per-
// identifier views under a bar that names the file, the unreadable line
// counted, scrolling and a filter reading the file again, while the live
// trace goes on collecting and comes back with "Back to live".
TEST_F(Busview, OpenLogShowsTheFileInsteadOfTheLiveTrace)
{
    std::string path = nbtest::make_temp_dir("openlog") + "/bench.log";
    std::string text;
    char line[128];
    for (int i = 0; i < 3000; i++) {
        if (i == 2)
            text += "(1700000000.000200) can0 12G#00\n";
        unsigned id = i % 1000 == 999 ? 0x7E8 : 0x100 + (unsigned)(i % 7);
        g_snprintf(line, sizeof line, "(%d.%06d) can0 %03X#%02X%02X%s\n", 1700000000 + i / 1000,
                   (i % 1000) * 1000, id, i & 0xFF, (i >> 8) & 0xFF, i % 2 ? " T" : "");
        text += line;
    }
    ASSERT_TRUE(nbtest::write_file(path, text));

    nbtest::DialogDriver driver;
    choose_in_dialog(driver, path);
    gtk_button_clicked(GTK_BUTTON(widget("busview-open-log")));
    ASSERT_TRUE(driver.done());

    GtkWidget *log = widget("busview-log-trace");
    GtkTreeModel *model = gtk_tree_view_get_model(GTK_TREE_VIEW(log));
    auto log_cell = [&](int row, int col) { return get(model, row, col); };
    auto counts = [&] { return std::string(gtk_label_get_text(GTK_LABEL(widget("busview-log-counts")))); };
    ASSERT_TRUE(nbtest::wait_until([&] { return gtk_widget_get_mapped(log); }));
    EXPECT_FALSE(gtk_widget_get_mapped(trace_));
    EXPECT_NE(std::string::npos,
              std::string(gtk_label_get_text(GTK_LABEL(widget("busview-log-title")))).find("bench.log"));
    ASSERT_TRUE(nbtest::wait_until([&] { return counts().find("Frames: 3000") != std::string::npos; }))
        << counts();
    EXPECT_NE(std::string::npos, counts().find("Unreadable lines or objects: 1 (the first: line 3"))
        << counts();
    int screen = 0;
    // Every row in sight read (none left showing as not read yet).
    auto read_in = [&] {
        int n = gtk_tree_model_iter_n_children(model, nullptr);
        for (int i = 0; i < n; i++)
            if (log_cell(i, BV_COL_TIME) == "\u2026")
                return false;
        return n > 0;
    };
    ASSERT_TRUE(nbtest::wait_until([&] {
        return (screen = gtk_tree_model_iter_n_children(model, nullptr)) > 5 && read_in();
    }));
    EXPECT_EQ("0.000000", log_cell(0, BV_COL_TIME));
    EXPECT_EQ("100", log_cell(0, BV_COL_ID));
    EXPECT_EQ("Rx", log_cell(0, BV_COL_DIR));
    EXPECT_EQ("Tx", log_cell(1, BV_COL_DIR));
    EXPECT_EQ("02 00", log_cell(2, BV_COL_DATA));

    // The live traffic is still recorded meanwhile.
    rx({frame(0x321, 0, {1}, 0)});

    GtkAdjustment *adj = gtk_range_get_adjustment(GTK_RANGE(widget("busview-log-scroll")));
    EXPECT_EQ(3000, gtk_adjustment_get_upper(adj));
    gtk_adjustment_set_value(adj, 2000);
    // The window never waits for the file: rows not read yet show as such
    // and fill in.
    EXPECT_EQ("\u2026", log_cell(0, BV_COL_TIME));
    EXPECT_TRUE(nbtest::wait_until([&] { return log_cell(0, BV_COL_DATA) == "D0 07"; }))
        << log_cell(0, BV_COL_DATA);
    gtk_adjustment_set_value(adj, 5000);  // the last screen
    auto last = [&] { return log_cell(gtk_tree_model_iter_n_children(model, nullptr) - 1, BV_COL_DATA); };
    EXPECT_TRUE(nbtest::wait_until([&] { return last() == "B7 0B"; })) << last();
    // A view at the end that gets shorter keeps the end in sight.
    int rows = gtk_tree_model_iter_n_children(model, nullptr);
    gtk_window_resize(GTK_WINDOW(window_), 1000, 500);
    EXPECT_TRUE(nbtest::wait_until([&] {
        return gtk_tree_model_iter_n_children(model, nullptr) < rows && last() == "B7 0B";
    })) << last();

    set_filter("7E8");
    ASSERT_TRUE(nbtest::wait_until([&] { return counts().find("Shown: 3") != std::string::npos; }))
        << counts();
    ASSERT_TRUE(nbtest::wait_until(
        [&] { return gtk_tree_model_iter_n_children(model, nullptr) == 3 && read_in(); }));
    EXPECT_EQ("7E8", log_cell(2, BV_COL_ID));
    EXPECT_EQ("B7 0B", log_cell(2, BV_COL_DATA));
    EXPECT_EQ("2.999000", log_cell(2, BV_COL_TIME));

    set_filter("");
    gtk_combo_box_set_active(GTK_COMBO_BOX(widget("busview-view")), 1);
    GtkTreeModel *ids = gtk_tree_view_get_model(GTK_TREE_VIEW(widget("busview-log-ids")));
    ASSERT_TRUE(nbtest::wait_until([&] { return gtk_tree_model_iter_n_children(ids, nullptr) == 15; }));
    EXPECT_EQ("7E8", get(ids, 14, ID_ID));
    EXPECT_EQ("Tx", get(ids, 14, ID_DIR));
    EXPECT_EQ("3", get(ids, 14, ID_COUNT));
    EXPECT_EQ("1000.000", get(ids, 14, ID_PERIOD));
    gtk_combo_box_set_active(GTK_COMBO_BOX(widget("busview-view")), 0);

    gtk_button_clicked(GTK_BUTTON(widget("busview-log-back")));
    EXPECT_FALSE(gtk_widget_get_visible(widget("busview-log-bar")));
    ASSERT_TRUE(nbtest::wait_until([&] { return gtk_widget_get_mapped(trace_); }));
    ASSERT_TRUE(wait_rows(2));
    EXPECT_EQ("321", cell(1, BV_COL_ID));
}

// Two channels in one trace (the stream fed directly: the host's poller
// moves the main channel only so far): each line names its channel with a
// mark of its own, the identifier view keeps the channels apart, the
// channel choice shows one of them in both views, and a saved trace keeps
// them.
TEST_F(Busview, ChannelsAreShownMarkedChosenAndSaved)
{
    ASSERT_GE(ZkInit(), 0);
    nb_chan_settings st;
    chan_settings_default(&st);
    int32_t index = -1;
    ASSERT_EQ(0, chanset_add(&the_app, 1, &st, &index, nullptr));
    pgrp changed = {};
    changed.type = PGRP_CHANNELS;
    entry_->handler(&changed);
    GtkComboBox *choice = GTK_COMBO_BOX(widget("busview-channel"));
    ASSERT_EQ(3, gtk_tree_model_iter_n_children(gtk_combo_box_get_model(choice), nullptr));

    uint8_t b[2] = {1, 2};
    stream({record(0x100, 0, 2, b, 1000, NB_DIR_RX, 0), record(0x100, 0, 2, b, 2000, NB_DIR_RX, 1),
            record(0x200, 0, 1, b, 3000, NB_DIR_TX, 1)});
    zk_errs errs = {1, 0, 0, 0, 0};
    pgrp err = {};
    err.type = PGRP_ERRORS;
    err.channel = 1;
    err.data_ptr = &errs;
    err.data_size = sizeof errs;
    entry_->handler(&err);
    ASSERT_TRUE(wait_rows(5));
    const char *const chans[] = {"ch0", "ch0", "ch1", "ch1", "ch1"};
    for (int row = 0; row < 5; row++)
        EXPECT_EQ(chans[row], cell(row, BV_COL_CHAN)) << row;
    EXPECT_NE(cell(1, BV_COL_CHAN_BG), cell(2, BV_COL_CHAN_BG));
    EXPECT_EQ(cell(2, BV_COL_CHAN_BG), cell(4, BV_COL_CHAN_BG));

    gtk_combo_box_set_active(GTK_COMBO_BOX(widget("busview-view")), 1);
    ASSERT_TRUE(nbtest::wait_until([&] { return id_rows() == 3; }));
    EXPECT_EQ("100 ch0", id_cell(0, ID_ID) + " " + id_cell(0, ID_CHAN));
    EXPECT_EQ("100 ch1", id_cell(1, ID_ID) + " " + id_cell(1, ID_CHAN));
    EXPECT_EQ("200 ch1", id_cell(2, ID_ID) + " " + id_cell(2, ID_CHAN));

    // Channel 1 alone, in both views; removed, its lines keep its name.
    gtk_combo_box_set_active(choice, 2);
    ASSERT_TRUE(nbtest::wait_until([&] { return id_rows() == 2; }));
    gtk_combo_box_set_active(GTK_COMBO_BOX(widget("busview-view")), 0);
    ASSERT_TRUE(wait_rows(3));
    EXPECT_EQ("Errors", cell(2, BV_COL_DIR));
    ASSERT_EQ(0, chanset_remove(&the_app, 1));
    entry_->handler(&changed);
    EXPECT_EQ("ch1", cell(0, BV_COL_CHAN));
    EXPECT_EQ(2, gtk_combo_box_get_active(choice));   // after "All channels" and ch0
    gtk_combo_box_set_active(choice, 0);
    ASSERT_TRUE(wait_rows(5));

    // Saved as candump and ASC: each line on its channel.
    std::string dir = nbtest::make_temp_dir("savechans");
    for (const char *name : {"c.log", "c.asc"}) {
        nbtest::DialogDriver driver;
        std::string want = dir + "/" + name;
        int polls = 0;
        driver.then([&](GtkDialog *d) {
            // The chooser changes folders asynchronously: asked again now
            // and then, not on every look.
            GtkFileChooser *fc = GTK_FILE_CHOOSER(d);
            gchar *file = gtk_file_chooser_get_filename(fc);
            bool there = file && want == file;
            g_free(file);
            if (!there) {
                if (polls++ % 10 == 0) {
                    gtk_file_chooser_set_current_folder(fc, dir.c_str());
                    gtk_file_chooser_set_current_name(fc, name);
                }
                return false;
            }
            nbtest::dialog_respond(d, GTK_RESPONSE_ACCEPT);
            return true;
        });
        gtk_button_clicked(GTK_BUTTON(widget("busview-save-trace")));
        EXPECT_TRUE(driver.done());
        GtkWidget *msg = widget("busview-save-message");
        ASSERT_TRUE(nbtest::wait_until([&] {
            return std::string(gtk_label_get_text(GTK_LABEL(msg))).find("Saved 3") == 0;
        })) << gtk_label_get_text(GTK_LABEL(msg));
    }
    std::string text = nbtest::read_file(dir + "/c.log");
    EXPECT_NE(std::string::npos, text.find(" can0 100#0102\n")) << text;
    EXPECT_NE(std::string::npos, text.find(" can1 100#0102\n")) << text;
    EXPECT_NE(std::string::npos, text.find(" can1 200#01 T\n")) << text;

    // Opened again: the file's channels, chosen alike.
    nbtest::DialogDriver opener;
    choose_in_dialog(opener, dir + "/c.asc");
    gtk_button_clicked(GTK_BUTTON(widget("busview-open-log")));
    ASSERT_TRUE(opener.done());
    GtkTreeModel *log = gtk_tree_view_get_model(GTK_TREE_VIEW(widget("busview-log-trace")));
    ASSERT_TRUE(nbtest::wait_until([&] { return get(log, 2, BV_COL_CHAN) == "ch1"; }))
        << get(log, 0, BV_COL_CHAN);
    EXPECT_EQ("ch0", get(log, 0, BV_COL_CHAN));
    // The choice lists the file's channels.
    ASSERT_TRUE(nbtest::wait_until([&] {
        return gtk_tree_model_iter_n_children(gtk_combo_box_get_model(choice), nullptr) == 3;
    }));
    gtk_combo_box_set_active(choice, 2);
    ASSERT_TRUE(nbtest::wait_until([&] {
        return gtk_tree_model_iter_n_children(log, nullptr) == 2 && get(log, 0, BV_COL_CHAN) == "ch1";
    }));
    EXPECT_EQ("ch1", get(log, 1, BV_COL_CHAN));
    // Back to live: the live channels, and the one chosen.
    gtk_button_clicked(GTK_BUTTON(widget("busview-log-back")));
    EXPECT_EQ(2, gtk_combo_box_get_active(choice));
}

// "Save trace as...": the frames the trace shows, in time order, into the
// format the file's name asks for, written off the main loop; a FIFO is
// refused without waiting for a reader.
TEST_F(Busview, SaveTraceWritesTheShownFramesInTimeOrder)
{
    std::vector<zk_fdframe> in = {fd_frame(0x050, 0, 1, 500), fd_frame(0x123, 0, 2, 1000),
                                  fd_frame(0x18DAF110, ZK_FRAME_EFF, 1, 2000),
                                  fd_frame(0x200, ZK_FRAME_FDF, 12, 3000)};
    rx_fd(in);
    tx(frame(0x100, 0, {0xFF}, 4000));
    // A lost line is no frame of the bus: not saved.
    uint8_t ff = 0xFF;
    stream({record(0x100, 0, 1, &ff, 4500, NB_DIR_TX_LOST)});
    ASSERT_TRUE(wait_rows(7));
    set_filter("100-1FFFFFFF");   // the shown frames only
    std::string dir = nbtest::make_temp_dir("savetrace");
    auto save_as = [&](const std::string &name, bool replace = false) {
        nbtest::DialogDriver driver;
        int polls = 0;
        driver.then([&](GtkDialog *d) {
            // The chooser changes folders asynchronously: accept once it
            // would give the file asked for.
            GtkFileChooser *fc = GTK_FILE_CHOOSER(d);
            gchar *file = gtk_file_chooser_get_filename(fc);
            bool there = file && dir + "/" + name == file;
            g_free(file);
            if (!there) {
                if (polls++ % 10 == 0) {
                    gtk_file_chooser_set_current_folder(fc, dir.c_str());
                    gtk_file_chooser_set_current_name(fc, name.c_str());
                }
                return false;
            }
            nbtest::dialog_respond(d, GTK_RESPONSE_ACCEPT);
            return true;
        });
        if (replace)
            driver.respond(GTK_RESPONSE_ACCEPT);   // the question whether to replace it
        GtkWidget *msg = widget("busview-save-message");
        gtk_label_set_text(GTK_LABEL(msg), "");
        gtk_button_clicked(GTK_BUTTON(widget("busview-save-trace")));
        EXPECT_TRUE(driver.done());
        EXPECT_TRUE(nbtest::wait_until([&] {
            std::string t = gtk_label_get_text(GTK_LABEL(msg));
            return t.find("Saved") == 0 || t.find("not saved") != std::string::npos;
        }));
        return std::string(gtk_label_get_text(GTK_LABEL(msg)));
    };

    std::string done = save_as("t.log");
    EXPECT_EQ("Saved 4 frames to t.log.", done);
    std::string text = nbtest::read_file(dir + "/t.log");
    std::vector<std::string> lines;
    for (size_t at = 0, nl; (nl = text.find('\n', at)) != std::string::npos; at = nl + 1) {
        size_t body = text.find(") ", at) + 2;
        lines.push_back(text.substr(body, nl - body));
    }
    // The sent frame was accepted after the batch, by the adapter's clock.
    EXPECT_EQ((std::vector<std::string>{"can0 123#0001", "can0 18DAF110#00",
                                        "can0 200##4000102030405060708090A0B", "can0 100#FF T"}),
              lines)
        << text;

    // python-can reads the same frames from each format, times aside.
    save_as("t.asc");
    save_as("t.blf");
    save_as("t.trc");
    for (const char *name : {"t.log", "t.asc", "t.blf"}) {
        std::string path = dir + "/" + name;
        std::string peer = nbtest::source_dir() + "/tests/canlog/peer.py";
        const char *argv[] = {"timeout", "60", "/usr/bin/python3", peer.c_str(), "read",
                              path.c_str(), nullptr};
        gchar *out = nullptr;
        gint status = 0;
        ASSERT_TRUE(g_spawn_sync(nullptr, (gchar **)argv, nullptr, G_SPAWN_SEARCH_PATH, nullptr,
                                 nullptr, &out, nullptr, &status, nullptr));
        std::string text_out = out ? out : "";
        g_free(out);
        ASSERT_TRUE(g_spawn_check_wait_status(status, nullptr)) << name;
        std::vector<std::string> got;
        for (size_t at = 0, nl; (nl = text_out.find('\n', at)) != std::string::npos; at = nl + 1)
            got.push_back(text_out.substr(at, text_out.rfind(' ', nl) - at));   // time cut off
        EXPECT_EQ((std::vector<std::string>{"S 123 D 2 0001 rx 0", "E 18DAF110 D 1 00 rx 0",
                                            "S 200 F 12 000102030405060708090A0B rx 0",
                                            "S 100 D 1 FF tx 0"}),
                  got)
            << name << ":\n" << text_out;
    }

    std::string fifo = dir + "/pipe.log";
    ASSERT_EQ(0, mkfifo(fifo.c_str(), 0600));
    done = save_as("pipe.log", true);
    EXPECT_NE(std::string::npos, done.find("not a regular file")) << done;
    EXPECT_TRUE(gtk_widget_get_sensitive(widget("busview-save-trace")));

    // Opened in the bus viewer, as BLF and as TRC: the FD frame with its
    // mark and every byte.
    for (const char *name : {"t.blf", "t.trc"}) {
        SCOPED_TRACE(name);
        nbtest::DialogDriver opener;
        choose_in_dialog(opener, dir + "/" + name);
        gtk_button_clicked(GTK_BUTTON(widget("busview-open-log")));
        ASSERT_TRUE(opener.done());
        ASSERT_NE(nullptr, strstr(gtk_label_get_text(GTK_LABEL(widget("busview-log-title"))),
                                  name));
        GtkTreeModel *log = gtk_tree_view_get_model(GTK_TREE_VIEW(widget("busview-log-trace")));
        ASSERT_TRUE(nbtest::wait_until([&] { return get(log, 2, BV_COL_MARKS) == "FD"; }))
            << get(log, 2, BV_COL_ID);
        EXPECT_EQ("12", get(log, 2, BV_COL_LEN));
        EXPECT_EQ("00 01 02 03 04 05 06 07 | 08 09 0A 0B", get(log, 2, BV_COL_DATA));
    }
}
