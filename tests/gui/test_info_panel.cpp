// The channel information panel: its rows, their formats and what a
// refresh rewrites. The chip status comes from a stand-in for the
// channel's chip_stat so that every case can be set up exactly.
#include <locale.h>
#include <string.h>

#include "gui_fixture.h"

using namespace nbtest;

namespace {

zk_chipstat fake_st;
zk_chipstat_text fake_text;
int32_t fake_rc = 0;

int32_t fake_chip_stat(nb_chan *, zk_chipstat *st, zk_chipstat_text *text)
{
    if (fake_rc < 0)
        return fake_rc;
    *st = fake_st;
    if (text)
        *text = fake_text;
    return 0;
}

void set_entry(int i, const char *name, const char *value)
{
    g_strlcpy(fake_text.name[i], name, sizeof fake_text.name[i]);
    g_strlcpy(fake_text.value[i], value, sizeof fake_text.value[i]);
}

// Row paths below the channel row "0".
const char P_STATE[] = "0:0", P_HWOVR[] = "0:1", P_SWOVR[] = "0:2", P_BAUD[] = "0:3",
           P_CODE[] = "0:4", P_MASK[] = "0:5", P_WTOUT[] = "0:6", P_FORMAT[] = "0:7",
           P_BASE[] = "0:8", P_IRQ[] = "0:9", P_BOARD[] = "0:10", P_CHIP[] = "0:11";

class GuiInfoPanel : public GuiTest {
protected:
    void SetUp() override
    {
        GuiTest::SetUp();
        memset(&fake_st, 0, sizeof fake_st);
        memset(&fake_text, 0, sizeof fake_text);
        fake_st.base = 0x2a0;
        fake_st.irq = 3;
        fake_rc = 0;
        the_app.chan.ops.chip_stat = fake_chip_stat;
        nb_chan &c = the_app.chan;
        c.number = 3;
        c.frame_format = 6;
        g_strlcpy(c.board.b.name, "Bench board", sizeof c.board.b.name);
        g_strlcpy(c.board.b.manufacturer, "Bench maker", sizeof c.board.b.manufacturer);
    }

    // Builds the panel on its own (no channel needed) inside a window.
    void build()
    {
        window_ = gtk_window_new(GTK_WINDOW_TOPLEVEL);
        gtk_container_add(GTK_CONTAINER(window_), the_app.gui.ops.build_info_panel(&the_app));
        gtk_widget_show_all(window_);
        GtkWidget *view = find_by_name(window_, "info_view");
        ASSERT_NE(view, nullptr);
        model_ = gtk_tree_view_get_model(GTK_TREE_VIEW(view));
    }

    void TearDown() override
    {
        if (window_)
            gtk_widget_destroy(window_);
        GuiTest::TearDown();
    }

    std::string name(const char *path) { return cell_text(model_, path, 0); }
    std::string value(const char *path) { return cell_text(model_, path, 1); }

    GtkWidget *window_ = nullptr;
    GtkTreeModel *model_ = nullptr;
};

}  // namespace

TEST_F(GuiInfoPanel, RowsAndFormats)
{
    nb_chan &c = the_app.chan;
    c.lom = 1;
    c.acc_code = 0;
    c.acc_mask = 0x7ff;
    c.wtout = 20;
    c.baud_index = 7;
    fake_st.state = 0;
    fake_st.hovr = 4000000000u;
    fake_st.sovr = 12;
    fake_st.board = 2;
    set_entry(0, "bus", "active");
    set_entry(1, "CAN chip", "SJA1000");
    set_entry(2, "mode", "PeliCAN");
    set_entry(3, "clock", "16 MHz");
    build();

    ASSERT_EQ(child_count(model_, nullptr), 1);
    EXPECT_EQ(name("0"), "channel");
    EXPECT_EQ(value("0"), "3");
    ASSERT_EQ(child_count(model_, "0"), 12);
    const char *names[] = {"state",        "hw overruns",  "sw overruns", "baud rate",
                           "filter (code)", "filter (mask)", "write tout",  "frame format",
                           "base address", "irq",           "board",       "CAN chip"};
    for (int i = 0; i < 12; i++) {
        char path[16];
        g_snprintf(path, sizeof path, "0:%d", i);
        EXPECT_EQ(name(path), names[i]) << path;
    }
    EXPECT_EQ(value(P_STATE), "INIT (LOM)");
    EXPECT_EQ(value(P_HWOVR), "4000000000");
    EXPECT_EQ(value(P_SWOVR), "12");
    EXPECT_EQ(value(P_BAUD), the_app.chan.ops.baud_name(7));
    EXPECT_EQ(value(P_CODE), "0") << "the alternate hex form has no prefix for 0";
    EXPECT_EQ(value(P_MASK), "0x7ff");
    EXPECT_EQ(value(P_WTOUT), "20 msec");
    EXPECT_EQ(value(P_FORMAT), "11/29 bit");
    EXPECT_EQ(value(P_BASE), "0x2a0");
    EXPECT_EQ(value(P_IRQ), "3");
    EXPECT_EQ(value(P_BOARD), "2");
    ASSERT_EQ(child_count(model_, P_BOARD), 2);
    EXPECT_EQ(name("0:10:0"), "name");
    EXPECT_EQ(value("0:10:0"), "Bench board");
    EXPECT_EQ(name("0:10:1"), "manufacturer");
    EXPECT_EQ(value("0:10:1"), "Bench maker");
    // The controller's own entries follow "CAN chip", up to the first empty name.
    EXPECT_EQ(value(P_CHIP), "SJA1000");
    ASSERT_EQ(child_count(model_, P_CHIP), 2);
    EXPECT_EQ(name("0:11:0"), "mode");
    EXPECT_EQ(value("0:11:0"), "PeliCAN");
    EXPECT_EQ(name("0:11:1"), "clock");
    EXPECT_EQ(value("0:11:1"), "16 MHz");
}

// An adapter without them (USB, serial) shows neither row, and the rows
// after them are refreshed all the same.
TEST_F(GuiInfoPanel, NoBaseAddressNorIrqRowsWithoutThem)
{
    fake_st.base = 0;
    fake_st.irq = -1;
    set_entry(0, "CAN chip", "SJA1000");
    set_entry(1, "tec", "0");
    build();
    ASSERT_EQ(child_count(model_, "0"), 10);
    EXPECT_EQ(name("0:7"), "frame format");
    EXPECT_EQ(name("0:8"), "board");
    EXPECT_EQ(name("0:9"), "CAN chip");
    set_entry(1, "tec", "96");
    the_app.gui.ops.refresh_info_panel(&the_app);
    EXPECT_EQ(value("0:9:0"), "96");
}

// In German the controller's entries from the adapter library and the
// bit rate read in German too; values the library formats stay as they are.
TEST_F(GuiInfoPanel, LibraryEntriesAndRatesInGerman)
{
    const std::string locales = stage_dir() + "/share/locale";
    const std::string locale_was = setlocale(LC_ALL, nullptr);
    setenv("LANGUAGE", "de", 1);
    ASSERT_NE(setlocale(LC_ALL, "C.UTF-8"), nullptr);
    bindtextdomain("nimbrel", locales.c_str());
    bind_textdomain_codeset("nimbrel", "UTF-8");
    gchar *was = g_strdup(textdomain(nullptr));
    textdomain("nimbrel");
    the_app.chan.baud_index = 7;
    set_entry(0, "CAN chip", "SJA1000");
    set_entry(1, "Bus state", "error passive");
    set_entry(2, "TX errors", "128");
    build();
    const std::string names[] = {name("0:11:0"), value("0:11:0"), name("0:11:1"), value("0:11:1"),
                                 value(P_BAUD)};
    textdomain(was);
    g_free(was);
    unsetenv("LANGUAGE");
    setlocale(LC_ALL, locale_was.c_str());
    EXPECT_EQ(names[0], "Buszustand");
    EXPECT_EQ(names[1], "fehlerpassiv");
    EXPECT_EQ(names[2], "Sendefehler");
    EXPECT_EQ(names[3], "128");
    EXPECT_EQ(names[4], "500  kbit/s  (CiA-Vorgabe)");
}

TEST_F(GuiInfoPanel, StateTextsAndFrameFormats)
{
    struct Case {
        uint8_t state, lom, format;
        const char *state_text, *format_text;
    } cases[] = {
        {1, 0, 2, "RUNNING", "11 bit"},
        {1, 1, 4, "RUNNING (LOM)", "29 bit"},
        {0, 0, 6, "INIT", "11/29 bit"},
    };
    for (const Case &k : cases) {
        fake_st.state = k.state;
        the_app.chan.lom = k.lom;
        the_app.chan.frame_format = k.format;
        build();
        EXPECT_EQ(value(P_STATE), k.state_text);
        EXPECT_EQ(value(P_FORMAT), k.format_text);
        gtk_widget_destroy(window_);
        window_ = nullptr;
    }
}

TEST_F(GuiInfoPanel, WithoutChipEntryShowsUnknownAndNeverRefreshesChipRows)
{
    set_entry(0, "bus", "active");
    set_entry(1, "mode", "PeliCAN");
    build();
    EXPECT_EQ(value(P_CHIP), "UNKNOWN");
    EXPECT_EQ(child_count(model_, P_CHIP), 0);

    set_entry(2, "CAN chip", "SJA1000");
    set_entry(3, "clock", "16 MHz");
    the_app.gui.ops.refresh_info_panel(&the_app);
    EXPECT_EQ(value(P_CHIP), "UNKNOWN");
    EXPECT_EQ(child_count(model_, P_CHIP), 0);
}

TEST_F(GuiInfoPanel, RefreshRewritesLiveRowsOnly)
{
    set_entry(0, "CAN chip", "SJA1000");
    set_entry(1, "rec", "0");
    set_entry(2, "tec", "0");
    build();
    ASSERT_EQ(child_count(model_, P_CHIP), 2);

    // Changes as a session load within the pass or a running bus makes them.
    nb_chan &c = the_app.chan;
    c.acc_code = 0x123;
    c.acc_mask = 0;
    c.wtout = 100;
    c.baud_index = 5;
    fake_st.state = 1;
    fake_st.hovr = 7;
    fake_st.sovr = 8;
    fake_st.base = 0x300;
    fake_st.irq = 5;
    set_entry(1, "rec", "96");
    set_entry(2, "tec", "128");
    the_app.gui.ops.refresh_info_panel(&the_app);

    EXPECT_EQ(value(P_STATE), "RUNNING");
    EXPECT_EQ(value(P_HWOVR), "7");
    EXPECT_EQ(value(P_SWOVR), "8");
    EXPECT_EQ(value(P_BAUD), the_app.chan.ops.baud_name(5));
    EXPECT_EQ(value(P_CODE), "0x123");
    EXPECT_EQ(value(P_MASK), "0");
    EXPECT_EQ(value(P_WTOUT), "100 msec");
    // Kept from the build.
    EXPECT_EQ(value("0"), "3");
    EXPECT_EQ(value(P_FORMAT), "11/29 bit");
    EXPECT_EQ(value(P_BASE), "0x2a0");
    EXPECT_EQ(value(P_IRQ), "3");
    EXPECT_EQ(value("0:11:0"), "96");
    EXPECT_EQ(value("0:11:1"), "128");

    // A refresh that finds nothing new touches no row, so the view measures
    // and draws nothing; one new counter touches its row alone.
    int changed = 0;
    gulong handler = g_signal_connect_swapped(model_, "row-changed",
                                              G_CALLBACK(+[](int *n) { ++*n; }), &changed);
    the_app.gui.ops.refresh_info_panel(&the_app);
    EXPECT_EQ(changed, 0);
    fake_st.sovr = 9;
    the_app.gui.ops.refresh_info_panel(&the_app);
    EXPECT_EQ(changed, 1);
    g_signal_handler_disconnect(model_, handler);

    // A status that cannot be read leaves everything as it was.
    fake_rc = ZK_E_IO;
    c.wtout = 5;
    the_app.gui.ops.refresh_info_panel(&the_app);
    EXPECT_EQ(value(P_WTOUT), "100 msec");
    fake_rc = 0;

    // The chip entry gone: the first chip row says so.
    memset(&fake_text, 0, sizeof fake_text);
    set_entry(0, "bus", "off");
    the_app.gui.ops.refresh_info_panel(&the_app);
    EXPECT_EQ(name("0:11:0"), "CAN chip");
    EXPECT_EQ(value("0:11:0"), "Unknown");

    // Another channel or frame format is open now: the rows are built anew.
    c.frame_format = 2;
    c.number = 9;
    the_app.gui.ops.refresh_info_panel(&the_app);
    model_ = gtk_tree_view_get_model(GTK_TREE_VIEW(find_by_name(window_, "info_view")));
    EXPECT_EQ(value("0"), "9");
    EXPECT_EQ(value(P_FORMAT), "11 bit");
}

// A CAN FD channel has its mode, data rate and the FD frames that plug-ins
// for classic CAN did not get, after the write timeout; the rest follows.
TEST_F(GuiInfoPanel, CanFdRowsFollowTheChannel)
{
    set_entry(0, "CAN chip", "SJA1000");
    set_entry(1, "rec", "0");
    nb_chan &c = the_app.chan;
    c.fd = NB_FD_ISO;
    c.data_kbit = 2000;
    c.data_sp = 0;
    the_app.pgmgr.fd_hidden = 0;
    build();
    ASSERT_EQ(child_count(model_, "0"), 15);
    EXPECT_EQ(name("0:7"), "CAN FD");
    EXPECT_EQ(value("0:7"), "ISO");
    EXPECT_EQ(name("0:8"), "data rate");
    EXPECT_EQ(value("0:8"), "2 Mbit/s");
    EXPECT_EQ(name("0:9"), "FD frames hidden");
    EXPECT_EQ(value("0:9"), "0");
    EXPECT_EQ(name("0:10"), "frame format");
    EXPECT_EQ(name("0:14"), "CAN chip");

    c.data_kbit = 2500;
    c.data_sp = 875;
    the_app.pgmgr.fd_hidden = 4000000000ull * 3;
    set_entry(1, "rec", "5");
    the_app.gui.ops.refresh_info_panel(&the_app);
    EXPECT_EQ(value("0:8"), "2500 kbit/s, 87.5 %");
    EXPECT_EQ(value("0:9"), "12000000000");
    EXPECT_EQ(value("0:14:0"), "5");

    // Opened anew in classic CAN (a session asked for it): rows as before,
    // and the names column as narrow as their names; back in CAN FD, wide
    // enough for "FD frames hidden" again.
    GtkTreeViewColumn *names =
        gtk_tree_view_get_column(GTK_TREE_VIEW(find_by_name(window_, "info_view")), 0);
    const int fd_width = gtk_tree_view_column_get_fixed_width(names);
    c.fd = NB_FD_OFF;
    the_app.gui.ops.refresh_info_panel(&the_app);
    model_ = gtk_tree_view_get_model(GTK_TREE_VIEW(find_by_name(window_, "info_view")));
    ASSERT_EQ(child_count(model_, "0"), 12);
    EXPECT_EQ(name(P_FORMAT), "frame format");
    EXPECT_LT(gtk_tree_view_column_get_fixed_width(names), fd_width);
    c.fd = NB_FD_ISO;
    the_app.gui.ops.refresh_info_panel(&the_app);
    EXPECT_EQ(fd_width, gtk_tree_view_column_get_fixed_width(names));
    the_app.pgmgr.fd_hidden = 0;
    c.fd = NB_FD_OFF;
}

// Text entries that fill their 16 bytes without a terminator are shown
// cut, never read past.
TEST_F(GuiInfoPanel, UnterminatedChipTextsAreBounded)
{
    set_entry(0, "CAN chip", "X");
    memset(fake_text.name[1], 'n', sizeof fake_text.name[1]);
    memset(fake_text.value[1], 'v', sizeof fake_text.value[1]);
    build();
    ASSERT_EQ(child_count(model_, P_CHIP), 1);
    EXPECT_EQ(name("0:11:0"), std::string(15, 'n'));
    EXPECT_EQ(value("0:11:0"), std::string(15, 'v'));
}

// With the real channel and simulated board the panel shows what the
// library reports.
TEST_F(GuiInfoPanel, RealChannelStatus)
{
    the_app.chan.ops.chip_stat = nullptr;
    chan_fill_ops(&the_app.chan.ops);
    the_app.chan.number = 0;
    the_app.chan.ops.find_board(0, &the_app.chan.board);
    open_window();
    GtkWidget *view = find_by_name(nb_mainwin, "info_view");
    ASSERT_NE(view, nullptr);
    model_ = gtk_tree_view_get_model(GTK_TREE_VIEW(view));
    EXPECT_EQ(value(P_STATE), "INIT");
    // A simulated board has no base address nor interrupt: no such rows.
    EXPECT_EQ(name("0:8"), "board");
    EXPECT_EQ(value("0:8:0"), the_app.chan.board.b.name);
    the_app.gui.ops.start_controller(&the_app);
    the_app.gui.ops.refresh_info_panel(&the_app);
    EXPECT_EQ(value(P_STATE), "RUNNING");
}
