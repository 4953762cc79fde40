// The signals plug-in (stage/signals.so) loaded by the real plug-in manager
// over the simulated adapter: databases and plots come from session keys,
// frames from the real poll tick, and what it shows is read back from its
// table, its list of unknown identifiers and its exported files.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <cairo.h>
#include <sys/stat.h>

#include <algorithm>
#include <memory>
#include <sstream>
#include <string>
#include <utility>
#include <vector>

#include "../sendlog/sl_fixture.h"
#include "can/chanset.h"

namespace {

using sltest::frame;

class Signals : public sltest::PluginTest {
protected:
    void SetUp() override { load_plugin("signals", SG_STAGE_DIR); }

    std::string dbc(const char *name) { return nbtest::source_dir() + "/tests/signals/dbc/" + name; }

    // Session keys, then the databases they name read.
    void load_keys(const std::vector<std::pair<std::string, std::string>> &keys)
    {
        PluginTest::load_keys(keys);
        wait_read();
    }
    // Databases are read in the background: until the page says no more
    // that it is reading.
    void wait_read()
    {
        ASSERT_TRUE(nbtest::wait_until(
            [&] { return label("signals-message").find("Reading") == std::string::npos; }, 30000))
            << label("signals-message");
    }
    std::string problems()
    {
        GtkTextBuffer *b = gtk_text_view_get_buffer(GTK_TEXT_VIEW(widget("signals-problem-text")));
        GtkTextIter s, e;
        gtk_text_buffer_get_bounds(b, &s, &e);
        gchar *t = gtk_text_buffer_get_text(b, &s, &e, FALSE);
        std::string out = t;
        g_free(t);
        return out;
    }

    GtkTreeView *table() { return GTK_TREE_VIEW(widget("signals-table")); }
    // Row text of a column: a message row by its name column, or one of its
    // signal rows when signal is given.
    std::string cell(const std::string &message, const char *signal, int col)
    {
        GtkTreeModel *m = gtk_tree_view_get_model(table());
        GtkTreeIter it, child;
        for (bool ok = gtk_tree_model_get_iter_first(m, &it); ok; ok = gtk_tree_model_iter_next(m, &it)) {
            gchar *name = nullptr;
            gtk_tree_model_get(m, &it, 0, &name, -1);
            bool found = name && message == name;
            g_free(name);
            if (!found)
                continue;
            GtkTreeIter *row = &it;
            if (signal) {
                row = nullptr;
                for (bool c = gtk_tree_model_iter_children(m, &child, &it); c;
                     c = gtk_tree_model_iter_next(m, &child)) {
                    gtk_tree_model_get(m, &child, 0, &name, -1);
                    bool same = name && strcmp(name, signal) == 0;
                    g_free(name);
                    if (same) {
                        row = &child;
                        break;
                    }
                }
                if (!row)
                    return "<no signal>";
            }
            if (col == 6) {
                gboolean on = FALSE;
                gtk_tree_model_get(m, row, col, &on, -1);
                return on ? "plotted" : "";
            }
            gchar *text = nullptr;
            gtk_tree_model_get(m, row, col, &text, -1);
            std::string out = text ? text : "";
            g_free(text);
            return out;
        }
        return "<no message>";
    }
    std::vector<std::string> unknown_rows()
    {
        std::vector<std::string> rows;
        GtkTreeModel *m = gtk_tree_view_get_model(GTK_TREE_VIEW(widget("signals-unknown")));
        GtkTreeIter it;
        for (bool ok = gtk_tree_model_get_iter_first(m, &it); ok; ok = gtk_tree_model_iter_next(m, &it)) {
            gchar *id = nullptr, *count = nullptr, *data = nullptr;
            gtk_tree_model_get(m, &it, 0, &id, 1, &count, 3, &data, -1);
            rows.push_back(std::string(id) + " " + count + " " + data);
            g_free(id);
            g_free(count);
            g_free(data);
        }
        return rows;
    }
    bool wait_status(const std::string &part)
    {
        return nbtest::wait_until(
            [&] { return label("signals-status").find(part) != std::string::npos; });
    }
};

enum { COL_NAME, COL_VALUE, COL_UNIT, COL_TEXT, COL_COUNT, COL_PERIOD, COL_PLOT };

TEST_F(Signals, DecodesKnownMessagesAndListsTheOthersApart)
{
    load_keys({{"Database1", dbc("sim.dbc")}});
    EXPECT_EQ("sim.dbc", label("signals-databases"));
    EXPECT_NE(std::string::npos, label("signals-message").find("11 messages, 42 signals"))
        << label("signals-message");
    gtk_tree_view_expand_all(table());

    inject(frame(0x555, 0, {0x34, 0x12, 0x03, 0xF0, 0x05, 0x06, 0x88, 0x13}));
    zk_sim_advance_us(1000);
    inject(frame(0x2F0, 0, {0x00, 0x03}));                 // page 0: the gear
    zk_sim_advance_us(9000);
    inject(frame(0x2F0, 0, {0x01, 0x50}));                 // page 1: the temperature
    inject(frame(0x7FF, 0, {0x01, 0x02}));
    inject(frame(0x18FEEE00, ZK_FRAME_EFF, {}));
    inject(frame(0x7FF, 0, {0x03}));
    tick();
    ASSERT_TRUE(wait_status("Decoded: 3 "));
    EXPECT_NE(std::string::npos, label("signals-status").find("Not in the databases: 3"));

    ASSERT_TRUE(nbtest::wait_until([&] { return cell("555  Full", nullptr, COL_COUNT) == "1"; }));
    EXPECT_EQ("4660", cell("555  Full", "Counter", COL_VALUE));
    EXPECT_EQ("466", cell("555  Full", "Speed", COL_VALUE));
    EXPECT_EQ("km/h", cell("555  Full", "Speed", COL_UNIT));
    EXPECT_EQ("Quarter", cell("555  Full", "Phase", COL_TEXT));
    EXPECT_EQ("Even", cell("555  Full", "Parity", COL_TEXT));
    EXPECT_EQ("-48", cell("555  Full", "Temperature", COL_VALUE));    // signed, 0.5, -40
    EXPECT_EQ("-50", cell("555  Full", "Voltage", COL_VALUE));        // 0x1388 * 0.01 - 100
    EXPECT_EQ("1008", cell("555  Full", "Word23", COL_VALUE));        // Motorola 0x03F0

    // Multiplexed: each page updates its own signal; the other keeps its value.
    EXPECT_EQ("2", cell("2F0  Gearbox", nullptr, COL_COUNT));
    EXPECT_EQ("9.000", cell("2F0  Gearbox", nullptr, COL_PERIOD));
    EXPECT_EQ("Third", cell("2F0  Gearbox", "Gear", COL_TEXT));
    EXPECT_EQ("40", cell("2F0  Gearbox", "GearboxTemp", COL_VALUE));
    EXPECT_EQ("", cell("2F0  Gearbox", "ClutchWear", COL_VALUE));     // never selected
    EXPECT_EQ("0", cell("0C0  EngineData", nullptr, COL_COUNT));

    std::vector<std::string> unknown = unknown_rows();
    std::sort(unknown.begin(), unknown.end());
    ASSERT_EQ(2u, unknown.size());
    EXPECT_EQ("18FEEE00 1 ", unknown[0]);
    EXPECT_EQ("7FF 2 03", unknown[1]);

    // Sent frames are decoded too.
    zk_frame sent = frame(0x555, 0, {0xFF, 0xFF, 0, 0, 0, 0, 0, 0});
    ASSERT_GE(nb_send_frame(&sent), 0);
    tick();
    ASSERT_TRUE(nbtest::wait_until([&] { return cell("555  Full", "Counter", COL_VALUE) == "65535"; }));
}

// A tick's sent frames reach the plug-in before its received ones: a
// frame sent after one received in the same tick is the newer value, the
// period counted between them by the adapter's clock.
TEST_F(Signals, AFrameSentAfterOneReceivedInItsTickIsTheNewerValue)
{
    load_keys({{"Database1", dbc("sim.dbc")}});
    inject(frame(0x555, 0, {0x01, 0, 0, 0, 0, 0, 0, 0}));
    zk_sim_advance_us(4000);
    zk_frame sent = frame(0x555, 0, {0x02, 0, 0, 0, 0, 0, 0, 0});
    ASSERT_GE(nb_send_frame(&sent), 0);
    tick();
    ASSERT_TRUE(nbtest::wait_until([&] { return cell("555  Full", nullptr, COL_COUNT) == "2"; }));
    EXPECT_EQ("2", cell("555  Full", "Counter", COL_VALUE));
    EXPECT_EQ("4.000", cell("555  Full", nullptr, COL_PERIOD));
}

TEST_F(Signals, PlotsExportAndSessionKeysRoundTrip)
{
    // Each divider is put halfway between the places it may take.
    auto halfway = [&](const char *name) {
        GObject *paned = G_OBJECT(widget(name));
        gint lo = 0, hi = 0;
        EXPECT_TRUE(nbtest::wait_until([&] {
            g_object_get(paned, "min-position", &lo, "max-position", &hi, nullptr);
            return hi > lo + 10;
        }));
        return std::to_string((lo + hi) / 2);
    };
    const std::string table_pane = halfway("signals-table-pane");
    const std::string plot_pane = halfway("signals-plot-pane");
    load_keys({{"Database1", dbc("sim.dbc")},
               {"Plot1", "std 555 Counter #FF0000"},
               {"Plot2", "std 2F0 GearboxTemp"},
               {"PlotMode", "lanes"},
               {"Span", "5"},
               {"PointCap", "2000000"},
               {"TablePane", table_pane},
               {"PlotPane", plot_pane}});
    EXPECT_EQ("plotted", cell("555  Full", "Counter", COL_PLOT));
    EXPECT_EQ("", cell("555  Full", "Byte2", COL_PLOT));
    EXPECT_EQ(1, gtk_combo_box_get_active(GTK_COMBO_BOX(widget("signals-mode"))));
    EXPECT_EQ(2, gtk_spin_button_get_value_as_int(GTK_SPIN_BUTTON(widget("signals-cap"))));

    for (int i = 0; i < 100; i++) {
        inject(frame(0x555, 0, {(uint8_t)i, 0, 0, 0, 0, 0, 0, 0}));
        zk_sim_advance_us(1000);
    }
    tick();
    ASSERT_TRUE(wait_status("Plotted points: 100 "));

    std::string dir = nbtest::make_temp_dir("signals");
    {
        nbtest::DialogDriver driver;
        answer_chooser(driver, dir + "/visible.csv");
        click("signals-csv");
        EXPECT_TRUE(driver.done());
    }
    std::istringstream csv(nbtest::read_file(dir + "/visible.csv"));
    std::string line;
    ASSERT_TRUE(std::getline(csv, line));
    EXPECT_EQ("time_s,signal,value,unit", line);
    // Times on the host's time line: the pass began ten seconds before.
    int rows = 0;
    double first = -1;
    while (std::getline(csv, line)) {
        if (rows == 0)
            first = g_ascii_strtod(line.c_str(), nullptr);
        char want[64];
        g_snprintf(want, sizeof want, "%.6f,Full.Counter,%d,", first + rows * 0.001, rows);
        EXPECT_EQ(want, line);
        rows++;
    }
    EXPECT_EQ(100, rows);
    EXPECT_GT(first, 9.0);
    EXPECT_LT(first, 60.0);

    {
        nbtest::DialogDriver driver;
        answer_chooser(driver, dir + "/plot.png");
        click("signals-png");
    }
    cairo_surface_t *png = cairo_image_surface_create_from_png((dir + "/plot.png").c_str());
    ASSERT_EQ(CAIRO_STATUS_SUCCESS, cairo_surface_status(png));
    GtkAllocation a;
    gtk_widget_get_allocation(widget("signals-plot"), &a);
    EXPECT_EQ(a.width, cairo_image_surface_get_width(png));
    cairo_surface_destroy(png);

    std::string file = dir + "/s.nbs";
    ASSERT_EQ(0, the_app.session.ops.save(&the_app, file.c_str()));
    std::string text = nbtest::read_file(file);
    for (const char *want : {"Plot1=std 555 Counter #FF0000\n", "Plot2=std 2F0 GearboxTemp #",
                             "PlotMode=lanes\n", "Follow=1\n", "Span=5\n", "PointCap=2000000\n",
                             })
        EXPECT_NE(std::string::npos, text.find(want)) << want << "\n" << text;
    EXPECT_NE(std::string::npos, text.find("\nTablePane=" + table_pane + "\n")) << text;
    EXPECT_NE(std::string::npos, text.find("\nPlotPane=" + plot_pane + "\n")) << text;
    EXPECT_NE(std::string::npos, text.find("Database1=" + dbc("sim.dbc") + "\n"));

    // Loaded again: the same plots, the same settings.
    load_keys({{"Database1", dbc("sim.dbc")}});
    EXPECT_EQ("", cell("555  Full", "Counter", COL_PLOT));
    g_strlcpy(the_app.session.auto_file, file.c_str(), sizeof the_app.session.auto_file);
    ASSERT_EQ(0, the_app.session.ops.reload_plugin_settings(&the_app));
    wait_read();
    EXPECT_EQ("plotted", cell("555  Full", "Counter", COL_PLOT));
    EXPECT_EQ("plotted", cell("2F0  Gearbox", "GearboxTemp", COL_PLOT));
    EXPECT_EQ(1, gtk_combo_box_get_active(GTK_COMBO_BOX(widget("signals-mode"))));
}

// The host gives every plug-in its keys again and writes the automatic
// session when a plug-in is released: plots waiting for their databases
// are written as they came.
TEST_F(Signals, PlotsWaitingForTheirDatabasesStayInTheAutomaticSession)
{
    load_keys({{"Database1", dbc("sim.dbc")},
               {"Plot1", "std 555 Counter #FF0000"},
               {"History1", "30 s"},
               {"Plot2", "std 2F0 GearboxTemp #00FF00"}});
    std::string dir = nbtest::make_temp_dir("signals");
    g_strlcpy(the_app.session.auto_file, (dir + "/auto.nbs").c_str(), sizeof the_app.session.auto_file);
    ASSERT_EQ(0, the_app.session.ops.autosave(&the_app));
    load_keys({{"Database1", dbc("canfd.dbc")}});   // the file's databases are read anew
    ASSERT_EQ(0, the_app.session.ops.reload_plugin_settings(&the_app));
    ASSERT_EQ(0, the_app.session.ops.autosave(&the_app));
    std::string text = nbtest::read_file(dir + "/auto.nbs");
    for (const char *want : {"Plot1=std 555 Counter #FF0000\n", "History1=30 s\n",
                             "Plot2=std 2F0 GearboxTemp #00FF00\n"})
        EXPECT_NE(std::string::npos, text.find(want)) << want << "\n" << text;
    wait_read();
    EXPECT_EQ("plotted", cell("555  Full", "Counter", COL_PLOT));
}

// A plot ticked since the automatic session was last written: closing
// Plugins > Configure (the host gives every plug-in its keys from that
// file again, then writes it) keeps it, with its points and the messages'
// counts, since the databases are the same.
TEST_F(Signals, APlotTickedSinceTheLastAutosaveOutlivesTheKeysGivenAgain)
{
    load_keys({{"Database1", dbc("sim.dbc")}});
    std::string dir = nbtest::make_temp_dir("signals");
    g_strlcpy(the_app.session.auto_file, (dir + "/auto.nbs").c_str(), sizeof the_app.session.auto_file);
    ASSERT_EQ(0, the_app.session.ops.autosave(&the_app));
    gtk_tree_view_expand_all(table());
    GtkTreeViewColumn *plot = gtk_tree_view_get_column(table(), 0);
    GList *cells = gtk_cell_layout_get_cells(GTK_CELL_LAYOUT(plot));
    GtkCellRenderer *toggle = GTK_CELL_RENDERER(cells->data);
    g_list_free(cells);
    GtkTreeModel *m = gtk_tree_view_get_model(table());
    GtkTreeIter it, child;
    std::string counter;
    for (bool ok = gtk_tree_model_get_iter_first(m, &it); ok && counter.empty(); ok = gtk_tree_model_iter_next(m, &it))
        for (bool c = gtk_tree_model_iter_children(m, &child, &it); c && counter.empty();
             c = gtk_tree_model_iter_next(m, &child)) {
            gchar *name = nullptr;
            gtk_tree_model_get(m, &child, 0, &name, -1);
            if (g_strcmp0(name, "Counter") == 0) {
                gchar *path = gtk_tree_model_get_string_from_iter(m, &child);
                counter = path;
                g_free(path);
            }
            g_free(name);
        }
    ASSERT_FALSE(counter.empty());
    g_signal_emit_by_name(toggle, "toggled", counter.c_str());
    ASSERT_EQ("plotted", cell("555  Full", "Counter", COL_PLOT));
    for (int i = 0; i < 5; i++)
        inject(frame(0x555, 0, {(uint8_t)i, 0, 0, 0, 0, 0, 0, 0}));
    tick();
    ASSERT_TRUE(wait_status("Plotted points: 5 ")) << label("signals-status");

    ASSERT_EQ(0, the_app.session.ops.reload_plugin_settings(&the_app));
    ASSERT_EQ(0, the_app.session.ops.autosave(&the_app));
    std::string text = nbtest::read_file(dir + "/auto.nbs");
    EXPECT_NE(std::string::npos, text.find("Plot1=std 555 Counter #")) << text;
    EXPECT_EQ("plotted", cell("555  Full", "Counter", COL_PLOT));
    EXPECT_EQ("5", cell("555  Full", nullptr, COL_COUNT));
    EXPECT_TRUE(wait_status("Plotted points: 5 ")) << label("signals-status");

    // A session without it, given again, takes the plot away.
    load_keys({{"Database1", dbc("sim.dbc")}});
    EXPECT_EQ("", cell("555  Full", "Counter", COL_PLOT));
}

// A session's divider further right than the window allows while the
// keys are read (the window takes its size afterwards) is saved as it
// came and set once the window is wide enough: the pane beside it is no
// sliver.
TEST_F(Signals, ADividerBeyondTheWindowComesBackWhenItFits)
{
    GObject *paned = G_OBJECT(widget("signals-table-pane"));
    gint lo = 0, hi = 0;
    ASSERT_TRUE(nbtest::wait_until([&] {
        g_object_get(paned, "min-position", &lo, "max-position", &hi, nullptr);
        return hi > lo + 10;
    }));
    const int want = hi + 200;
    load_keys({{"TablePane", std::to_string(want)}});
    // The pane as the window allows for now.
    ASSERT_TRUE(nbtest::wait_until([&] { return gtk_paned_get_position(GTK_PANED(paned)) == hi; }))
        << gtk_paned_get_position(GTK_PANED(paned)) << " for " << hi;
    std::string file = nbtest::make_temp_dir("signals") + "/s.nbs";
    ASSERT_EQ(0, the_app.session.ops.save(&the_app, file.c_str()));
    EXPECT_NE(std::string::npos, nbtest::read_file(file).find("\nTablePane=" + std::to_string(want) + "\n"));
    GtkAllocation a;
    gtk_widget_get_allocation(window_, &a);
    gtk_window_resize(GTK_WINDOW(window_), a.width + 400, a.height);
    EXPECT_TRUE(nbtest::wait_until([&] { return gtk_paned_get_position(GTK_PANED(paned)) == want; }))
        << gtk_paned_get_position(GTK_PANED(paned)) << " for " << want;
}

// The plot counts from the host's time origin, as the bus viewer's trace
// does, not from its own first frame: a frame is at the time the host
// placed it on its time line, seen from the origin (with the simulation's
// frozen clock, the moment the host handed it on, which may be a later
// tick than the one that read it).
TEST_F(Signals, PlotTimesCountFromTheHostsOrigin)
{
    load_keys({{"Database1", dbc("sim.dbc")}, {"Plot1", "std 555 Counter #FF0000"}});
    inject(frame(0x555, 0, {7, 0, 0, 0, 0, 0, 0, 0}));
    auto since_origin = [] {
        return (double)(nbsdep_timestamp_get() - nb_get_time_origin()) / NB_TIMESTAMP_PER_SECOND;
    };
    const double before = since_origin();
    tick();
    ASSERT_TRUE(wait_status("Plotted points: 1 "));
    const double after = since_origin();

    std::string csv_path = nbtest::make_temp_dir("signals") + "/one.csv";
    {
        nbtest::DialogDriver driver;
        answer_chooser(driver, csv_path);
        click("signals-csv");
    }
    std::istringstream csv(nbtest::read_file(csv_path));
    std::string line;
    ASSERT_TRUE(std::getline(csv, line) && std::getline(csv, line));
    const double t = g_ascii_strtod(line.c_str(), nullptr);
    EXPECT_GE(t, before - 1e-6) << line;
    EXPECT_LE(t, after + 1e-6) << line;
}

TEST_F(Signals, ABrokenSignalIsListedAndTheRestOfItsFileDecoded)
{
    std::string bad = nbtest::make_temp_dir("signals") + "/bad.dbc";
    ASSERT_TRUE(nbtest::write_file(bad, "BO_ 100 Msg: 8 X\n SG_ S : 0|8@1+ (1,0) [0|0 \"\" Y\n"
                                        " SG_ T : 8|8@1+ (1,0) [0|0] \"\" Y\n"));
    load_keys({{"Database1", bad}, {"Plot1", "std 64 S"}});
    // The plot's signal is gone: that is said; the file's own problem is
    // in the list.
    EXPECT_NE(std::string::npos, label("signals-message").find("Signal S of message 64"));
    EXPECT_EQ("bad.dbc", label("signals-databases"));
    EXPECT_TRUE(gtk_widget_get_visible(widget("signals-problems")));
    EXPECT_NE(std::string::npos,
              problems().find("bad.dbc:2:28: skipped: signal S of message Msg skipped: expected ']'"))
        << problems();
    inject(frame(0x64, 0, {1, 2}));
    tick();
    EXPECT_TRUE(wait_status("Decoded: 1 "));
    gtk_tree_view_expand_all(table());
    EXPECT_TRUE(nbtest::wait_until([&] { return cell("064  Msg", "T", COL_VALUE) == "2"; }));

    // Files that cannot be read say why, in valid UTF-8, and never block.
    std::string dir = nbtest::make_temp_dir("signals");
    std::string fifo = dir + "/fifo.dbc", latin = dir + "/M\xfc" "ll.dbc";
    ASSERT_EQ(0, mkfifo(fifo.c_str(), 0600));
    ASSERT_TRUE(nbtest::write_file(latin, "BO_ 1 \xe4: \xe4 X\n"));
    load_keys({{"Database1", fifo}, {"Database2", latin}});
    std::string msg = label("signals-message");
    EXPECT_NE(std::string::npos, msg.find("fifo.dbc: cannot open the file: a FIFO, not a regular file")) << msg;
    EXPECT_EQ("No database open.", label("signals-databases"));
    load_keys({{"Database1", latin}});
    msg = label("signals-message");
    EXPECT_TRUE(g_utf8_validate(msg.c_str(), -1, nullptr));
    EXPECT_NE(std::string::npos, msg.find("line 1, column 10: message ä (1) with its signals "
                                          "skipped: expected the message length in bytes, found \"ä\""))
        << msg;
}

TEST_F(Signals, IdentifiersADatabaseDescribesLeaveTheUnknownList)
{
    std::string dir = nbtest::make_temp_dir("signals"), second = dir + "/second.dbc";
    ASSERT_TRUE(nbtest::write_file(second, "BO_ 2047 Last: 2 X\n SG_ W : 0|16@1+ (1,0) [0|0] \"\" Y\n"));
    load_keys({{"Database1", dbc("sim.dbc")}});
    for (int i = 0; i < 3; i++)
        inject(frame(0x7FF, 0, {1, 0}));
    inject(frame(0x7FE, 0, {1}));
    tick();
    ASSERT_TRUE(wait_status("Not in the databases: 4"));
    {
        // The open chooser takes the file once it shows its folder.
        nbtest::DialogDriver driver;
        driver.then([second](GtkDialog *d) {
            GtkFileChooser *fc = GTK_FILE_CHOOSER(d);
            gchar *now = gtk_file_chooser_get_filename(fc);
            bool ready = now && second == now;
            g_free(now);
            if (ready)
                gtk_dialog_response(d, GTK_RESPONSE_ACCEPT);
            else
                gtk_file_chooser_set_filename(fc, second.c_str());
            return ready;
        });
        click("signals-open");
    }
    wait_read();
    EXPECT_EQ("sim.dbc, second.dbc", label("signals-databases"));
    inject(frame(0x7FF, 0, {2, 0}));
    tick();
    ASSERT_TRUE(wait_status("Not in the databases: 1 "));
    EXPECT_EQ(std::vector<std::string>{"7FE 1 01"}, unknown_rows());
    ASSERT_TRUE(nbtest::wait_until([&] { return cell("7FF  Last", nullptr, COL_COUNT) == "1"; }));
    // The first database's messages kept their counts.
    gtk_tree_view_expand_all(table());
    EXPECT_EQ("2", cell("7FF  Last", "W", COL_VALUE));
}

TEST_F(Signals, APlotOfASignalWithALongNameComesBackFromTheSession)
{
    std::string name(300, 'L');
    name[0] = 'S';
    std::string file = nbtest::make_temp_dir("signals") + "/long.dbc";
    ASSERT_TRUE(nbtest::write_file(file, "BO_ 291 M: 8 X\n SG_ " + name +
                                             " : 0|8@1+ (1,0) [0|0] \"\" Y\n"));
    load_keys({{"Database1", file}, {"Plot1", "std 123 " + name + " #00FF00"}});
    EXPECT_EQ("plotted", cell("123  M", name.c_str(), COL_PLOT)) << label("signals-message");
    std::string saved = nbtest::make_temp_dir("signals") + "/s.nbs";
    ASSERT_EQ(0, the_app.session.ops.save(&the_app, saved.c_str()));
    EXPECT_NE(std::string::npos, nbtest::read_file(saved).find("Plot1=std 123 " + name + " #00FF00\n"));
}

// The value under the plot's pointer has every digit of a 32-bit count;
// the status names the plots' memory once they hold points.
TEST_F(Signals, APlottedValueShowsAllItsDigits)
{
    std::string file = nbtest::make_temp_dir("signals") + "/wide.dbc";
    ASSERT_TRUE(nbtest::write_file(file, "BO_ 291 M: 8 X\n SG_ Count : 0|32@1+ (1,0) [0|0] \"\" Y\n"
                                         " SG_ Tenth : 32|32@1+ (0.1,0) [0|0] \"\" Y\n"));
    load_keys({{"Database1", file}, {"Plot1", "std 123 Count"}, {"Plot2", "std 123 Tenth"}});
    // No memory is named before there is a point.
    ASSERT_TRUE(wait_status("Plotted points: 0"));
    EXPECT_EQ(std::string::npos, label("signals-status").find("KiB")) << label("signals-status");
    inject(frame(0x123, 0, {0x42, 0x6B, 0x3A, 0x3B, 0x43, 0x6B, 0x3A, 0x3B}));  /* 993684290, 993684291 */
    tick();
    ASSERT_TRUE(wait_status("Plotted points: 2 ")) << label("signals-status");
    auto value = (int (*)(int, char *, size_t))symbol("signals_plot_value");
    ASSERT_NE(nullptr, value);
    char text[128] = "";
    ASSERT_EQ(1, value(0, text, sizeof text));
    EXPECT_STREQ("993684290", text);
    ASSERT_EQ(1, value(1, text, sizeof text));
    EXPECT_STREQ("99368429.1", text);
}

TEST_F(Signals, AHugeDatabaseIsReadWhileTheWindowGoesOn)
{
    std::string file = nbtest::make_temp_dir("signals") + "/big.dbc";
    std::string text;
    for (int i = 0; i < 20000; i++)
        text += "BO_ " + std::to_string(0x80000000u + (unsigned)i) + " M" + std::to_string(i) +
                ": 8 X\n SG_ A : 0|8@1+ (1,0) [0|0] \"\" Y\n SG_ B : 15|16@0- (0.5,0) [0|0] \"\" Y\n";
    ASSERT_TRUE(nbtest::write_file(file, text));
    request(PGRP_SESSION_LOAD_BEGIN, nullptr, 0);
    pgrp_session_key k;
    memset(&k, 0, sizeof k);
    g_strlcpy(k.name, "Database1", sizeof k.name);
    g_strlcpy(k.value, file.c_str(), sizeof k.value);
    request(PGRP_SESSION_LOAD_KEY, &k, sizeof k);
    request(PGRP_SESSION_LOAD_END, nullptr, 0);
    // The request came back before the file was read.
    EXPECT_NE(std::string::npos, label("signals-message").find("Reading")) << label("signals-message");
    wait_read();
    // The view is given the rows in slices.
    EXPECT_TRUE(nbtest::wait_until([&] {
        return gtk_tree_model_iter_n_children(gtk_tree_view_get_model(table()), nullptr) == 20000;
    }, 30000));
    EXPECT_EQ("00004E1F  M19999", cell("00004E1F  M19999", nullptr, COL_NAME));
    inject(frame(0x4E1F, ZK_FRAME_EFF, {7, 0, 0x10}));
    tick();
    gtk_tree_view_expand_all(table());
    EXPECT_TRUE(nbtest::wait_until([&] { return cell("00004E1F  M19999", "B", COL_VALUE) == "8"; }));
}

// The exports refuse a FIFO at once, in words.
TEST_F(Signals, ExportsRefuseAFifo)
{
    nbtest::Deadline deadline(30, "exporting to a FIFO");
    load_keys({{"Database1", dbc("sim.dbc")}, {"Plot1", "std 555 Counter #FF0000"}});
    const std::string fifo = nbtest::make_temp_dir("signals") + "/pipe";
    ASSERT_EQ(0, mkfifo(fifo.c_str(), 0600));
    for (const char *button : {"signals-csv", "signals-png"}) {
        gtk_label_set_text(GTK_LABEL(widget("signals-message")), "");
        nbtest::DialogDriver driver;
        answer_chooser(driver, fifo);
        driver.respond(GTK_RESPONSE_ACCEPT);   // "Replace" the existing name
        click(button);
        EXPECT_TRUE(driver.done());
        EXPECT_NE(std::string::npos, label("signals-message").find("pipe: a FIFO, not a regular file"))
            << button << ": " << label("signals-message");
    }
}

// A database named in the session that is a FIFO is refused at once.
TEST_F(Signals, ADatabaseThatIsAFifoIsRefusedWithoutWaiting)
{
    nbtest::Deadline deadline(20, "loading a database that is a FIFO");
    std::string fifo = nbtest::make_temp_dir("signals") + "/pipe.dbc";
    ASSERT_EQ(0, mkfifo(fifo.c_str(), 0600));
    load_keys({{"Database1", fifo}});
    EXPECT_NE(std::string::npos, label("signals-message").find("a FIFO, not a regular file"))
        << label("signals-message");
    EXPECT_EQ("No database open.", label("signals-databases"));
}

}  // namespace

namespace {

zk_fdframe fdframe(uint32_t id, uint8_t flags, const uint8_t *data, uint8_t len)
{
    zk_fdframe f;
    memset(&f, 0, sizeof f);
    f.id = id;
    f.flags = flags;
    f.len = len;
    memcpy(f.data, data, len);
    return f;
}

// On a CAN FD channel the FD messages of a database are decoded from
// received and sent FD frames, across the first 8 bytes and up to the
// 64th (values from canmatrix for the same bytes), marked as FD in the
// table, and plotted; a classic frame still decodes as before.
TEST_F(Signals, CanFdMessagesAreDecodedShownAndPlotted)
{
    sltest::reopen_channel_fd();
    load_keys({{"Database1", dbc("canfd.dbc")}, {"Plot1", "std 400 LastMoto"}});
    gtk_tree_view_expand_all(table());
    uint8_t d[64];
    for (int i = 0; i < 64; i++)
        d[i] = (uint8_t)(i * 7 + 3);
    const float temp = 21.5f;
    memcpy(d + 32, &temp, 4);
    for (int i = 0; i < 10; i++) {
        zk_fdframe f = fdframe(0x400, ZK_FRAME_FDF | ZK_FRAME_BRS, d, 64);
        f.data[63] = (uint8_t)(188 + i);
        ASSERT_GE(zk_sim_inject_fd(0, &f), 1);
        zk_sim_advance_us(1000);
    }
    uint8_t d12[12] = {0x12, 0x34};
    d12[11] = 0xFE;
    zk_fdframe f12 = fdframe(0x18FEF1FF, ZK_FRAME_FDF | ZK_FRAME_EFF, d12, 12);
    ASSERT_GE(zk_sim_inject_fd(0, &f12), 1);
    inject(frame(0x200, 0, {0xAB, 0xCD}));
    tick();
    ASSERT_TRUE(wait_status("Decoded: 12 ")) << label("signals-status");
    ASSERT_TRUE(wait_status("Plotted points: 10 ")) << label("signals-status");

    const std::string fd64 = "400  Fd64  [FD, BRS]";
    ASSERT_TRUE(nbtest::wait_until([&] { return cell(fd64, nullptr, COL_COUNT) == "10"; }))
        << cell(fd64, nullptr, COL_COUNT);
    EXPECT_EQ("3", cell(fd64, "First", COL_VALUE));
    EXPECT_EQ("947", cell(fd64, "CrossIntel", COL_VALUE));
    EXPECT_EQ("8666", cell(fd64, "CrossMoto", COL_VALUE));
    EXPECT_EQ("21.5", cell(fd64, "Temp", COL_VALUE));
    EXPECT_EQ("197", cell(fd64, "LastMoto", COL_VALUE));
    EXPECT_EQ("plotted", cell(fd64, "LastMoto", COL_PLOT));
    EXPECT_EQ("4660", cell("18FEF1FF  Fd12  [FD]", "Head", COL_VALUE));
    EXPECT_EQ("-3", cell("18FEF1FF  Fd12  [FD]", "Tail", COL_VALUE));
    EXPECT_EQ("43981", cell("200  Classic", "Word", COL_VALUE));

    // A sent FD frame is decoded too.
    zk_fdframe sent = fdframe(0x400, ZK_FRAME_FDF | ZK_FRAME_BRS, d, 64);
    sent.data[0] = 99;
    ASSERT_GE(nb_send_fd_frame(&sent), 0);
    zk_sim_advance_us(1000);
    tick();
    ASSERT_TRUE(nbtest::wait_until([&] { return cell(fd64, "First", COL_VALUE) == "99"; }))
        << cell(fd64, "First", COL_VALUE);

    // An unknown FD frame's bytes stand on one line: its row keeps the
    // height of the others.
    zk_fdframe other = fdframe(0x401, ZK_FRAME_FDF, d, 64);
    ASSERT_GE(zk_sim_inject_fd(0, &other), 1);
    tick();
    ASSERT_TRUE(nbtest::wait_until([&] { return unknown_rows().size() == 1; }));
    EXPECT_EQ(0u, unknown_rows()[0].find("401 1 03 0A 11 18 1F 26 2D 34 3B 42")) << unknown_rows()[0];
    EXPECT_EQ(std::string::npos, unknown_rows()[0].find('\n')) << unknown_rows()[0];
    // The expander and the signals' indent stand with the names, never in
    // the narrow Plot column.
    EXPECT_EQ(gtk_tree_view_get_column(table(), 1), gtk_tree_view_get_expander_column(table()));
}

// Two channels carrying the same message: a database for every channel
// decodes each apart, named with its channel; a plot keeps its channel;
// a database of one channel leaves the other's frames unknown. Frames come
// as the host's stream with the channel index, as it hands them on.
TEST_F(Signals, EachChannelDecodesApartAndNamesItsChannel)
{
    nb_chan_settings cs;
    chan_settings_default(&cs);
    int32_t index = -1;
    ASSERT_EQ(0, chanset_add(&the_app, 1, &cs, &index, nullptr));
    request(PGRP_CHANNELS, nullptr, 0);
    auto stream = [&](std::vector<std::pair<int, zk_frame>> frames) {
        std::vector<nb_stream_frame> recs;
        for (auto &cf : frames) {
            nb_stream_frame r;
            memset(&r, 0, sizeof r);
            r.time_us = (uint64_t)g_get_real_time();
            r.channel = (uint16_t)cf.first;
            r.id = cf.second.id;
            r.flags = cf.second.flags;
            r.len = cf.second.len;
            memcpy(r.data, cf.second.data, cf.second.len);
            recs.push_back(r);
        }
        request(PGRP_STREAM, recs.data(), recs.size() * sizeof recs[0]);
    };

    load_keys({{"Database1", dbc("sim.dbc")}, {"DatabaseChannel1", "all"},
               {"Plot1", "std 555 Counter #FF0000"}, {"PlotChannel1", "1"}});
    stream({{0, frame(0x555, 0, {0x01, 0, 0, 0, 0, 0, 0, 0})},
            {1, frame(0x555, 0, {0x02, 0, 0, 0, 0, 0, 0, 0})},
            {1, frame(0x7FF, 0, {0x09})}});
    ASSERT_TRUE(nbtest::wait_until([&] { return cell("555  ch1:Full", "Counter", COL_VALUE) == "2"; }))
        << cell("555  ch1:Full", nullptr, COL_COUNT);
    EXPECT_EQ("1", cell("555  ch0:Full", "Counter", COL_VALUE));
    EXPECT_EQ("0", cell("0C0  ch1:EngineData", nullptr, COL_COUNT));
    EXPECT_EQ("plotted", cell("555  ch1:Full", "Counter", COL_PLOT));
    EXPECT_EQ("", cell("555  ch0:Full", "Counter", COL_PLOT));
    ASSERT_TRUE(nbtest::wait_until([&] { return unknown_rows().size() == 1; }));
    EXPECT_EQ("ch1:7FF 1 09", unknown_rows()[0]);
    auto value = (int (*)(int, char *, size_t))symbol("signals_plot_value");
    char text[64] = "";
    ASSERT_TRUE(value && value(0, text, sizeof text));
    EXPECT_STREQ("2", text);

    std::string file = dir_ + "/chan.nbs";
    ASSERT_EQ(0, the_app.session.ops.save(&the_app, file.c_str()));
    std::string saved = nbtest::read_file(file);
    EXPECT_NE(std::string::npos, saved.find("DatabaseChannel1=all\n")) << saved;
    EXPECT_NE(std::string::npos, saved.find("PlotChannel1=1\n")) << saved;

    // The database on channel 1 alone: no name needs a channel, and the
    // main channel's frame of that identifier is unknown.
    load_keys({{"Database1", dbc("sim.dbc")}, {"DatabaseChannel1", "1"}});
    EXPECT_EQ("<no message>", cell("555  ch1:Full", nullptr, COL_COUNT));
    stream({{0, frame(0x555, 0, {0x05, 0, 0, 0, 0, 0, 0, 0})},
            {1, frame(0x555, 0, {0x06, 0, 0, 0, 0, 0, 0, 0})}});
    ASSERT_TRUE(nbtest::wait_until([&] { return cell("555  Full", "Counter", COL_VALUE) == "6"; }));
    ASSERT_TRUE(nbtest::wait_until([&] { return unknown_rows().size() == 1; }));
    EXPECT_EQ("ch0:555 1 05 00 00 00 00 00 00 00", unknown_rows()[0]);
    chanset_remove(&the_app, 1);
}

// Through the real poll tick: two channels on one simulated bus each hear
// a frame; a frame sent on the added channel is decoded as that channel's
// and as the main channel's received one.
TEST_F(Signals, TwoChannelsThroughThePollTick)
{
    nb_chan_settings cs;
    chan_settings_default(&cs);
    cs.baud_index = the_app.chan.baud_index;
    int32_t index = -1;
    ASSERT_EQ(0, chanset_add(&the_app, 1, &cs, &index, nullptr));
    nb_chan *added = chanset_at(&the_app, 1);
    ASSERT_GE(added->ops.start(added), 0);
    request(PGRP_CHANNELS, nullptr, 0);
    load_keys({{"Database1", dbc("sim.dbc")}, {"DatabaseChannel1", "all"}});
    inject(frame(0x555, 0, {0x01, 0, 0, 0, 0, 0, 0, 0}));
    ASSERT_TRUE(nbtest::wait_until([&] {
        tick();   /* a frame may wait a tick for the other channels' */
        return cell("555  ch0:Full", nullptr, COL_COUNT) == "1" && cell("555  ch1:Full", nullptr, COL_COUNT) == "1";
    })) << cell("555  ch0:Full", nullptr, COL_COUNT) << " " << cell("555  ch1:Full", nullptr, COL_COUNT);

    zk_fdframe f;
    memset(&f, 0, sizeof f);
    f.id = 0x555;
    f.len = 8;
    f.data[0] = 0x07;
    ASSERT_GE(nb_chan_send(1, &f), 0);
    ASSERT_TRUE(nbtest::wait_until([&] {
        zk_sim_advance_us(1000);
        tick();
        return cell("555  ch1:Full", "Counter", COL_VALUE) == "7" && cell("555  ch0:Full", "Counter", COL_VALUE) == "7";
    })) << cell("555  ch0:Full", "Counter", COL_VALUE) << " " << cell("555  ch1:Full", "Counter", COL_VALUE);
    chanset_remove(&the_app, 1);
}

}  // namespace

// Each plotted signal's history: its last seconds or its last points,
// typed in its History cell or from the session (older sessions have
// none: everything within the cap). The legend's value under the cursor
// is the value table's text where the signal has one, and the memory
// shown is what the few points take.
TEST_F(Signals, PlotHistoriesValueTextsAndTheirMemory)
{
    load_keys({{"Database1", dbc("sim.dbc")},
               {"Plot1", "std 2F0 Gear"},
               {"History1", "60 s"},
               {"Plot2", "std 555 Counter"}});
    gtk_tree_view_expand_all(table());
    const int col_history = 11;
    EXPECT_EQ("60 s", cell("2F0  Gearbox", "Gear", col_history));
    EXPECT_EQ("whole", cell("555  Full", "Counter", col_history));
    EXPECT_EQ("", cell("555  Full", "Byte2", col_history));   // not plotted

    inject(frame(0x2F0, 0, {0x00, 0x06}));
    inject(frame(0x555, 0, {7, 0, 0, 0, 0, 0, 0, 0}));
    tick();
    ASSERT_TRUE(wait_status("Plotted points: 2 (")) << label("signals-status");
    EXPECT_NE(std::string::npos, label("signals-status").find("KiB)")) << label("signals-status");
    auto value = (int (*)(int, char *, size_t))symbol("signals_plot_value");
    ASSERT_NE(nullptr, value);
    char text[128] = "";
    ASSERT_EQ(1, value(0, text, sizeof text));
    EXPECT_STREQ("Sixth (6)", text);
    ASSERT_EQ(1, value(1, text, sizeof text));
    EXPECT_STREQ("7", text);

    // Typed into the cell: a count, then what is not understood.
    GtkTreeViewColumn *column = nullptr;
    for (int i = 0; gtk_tree_view_get_column(table(), i); i++)
        if (g_strcmp0("History", gtk_tree_view_column_get_title(gtk_tree_view_get_column(table(), i))) == 0)
            column = gtk_tree_view_get_column(table(), i);
    ASSERT_NE(nullptr, column);
    GList *cells = gtk_cell_layout_get_cells(GTK_CELL_LAYOUT(column));
    GtkCellRenderer *renderer = GTK_CELL_RENDERER(cells->data);
    g_list_free(cells);
    std::string counter_row;
    GtkTreeModel *m = gtk_tree_view_get_model(table());
    GtkTreeIter it, child;
    for (bool ok = gtk_tree_model_get_iter_first(m, &it); ok && counter_row.empty();
         ok = gtk_tree_model_iter_next(m, &it))
        for (bool c = gtk_tree_model_iter_children(m, &child, &it); c; c = gtk_tree_model_iter_next(m, &child)) {
            gchar *name = nullptr;
            gtk_tree_model_get(m, &child, 0, &name, -1);
            if (g_strcmp0(name, "Counter") == 0) {
                gchar *path = gtk_tree_model_get_string_from_iter(m, &child);
                counter_row = path;
                g_free(path);
            }
            g_free(name);
        }
    ASSERT_FALSE(counter_row.empty());
    g_signal_emit_by_name(renderer, "edited", counter_row.c_str(), "500 points");
    EXPECT_EQ("500 points", cell("555  Full", "Counter", col_history));
    g_signal_emit_by_name(renderer, "edited", counter_row.c_str(), "5 parsecs");
    EXPECT_NE(std::string::npos, label("signals-message").find("not understood"))
        << label("signals-message");
    EXPECT_EQ("500 points", cell("555  Full", "Counter", col_history));

    std::string file = dir_ + "/h.nbs";
    ASSERT_EQ(0, the_app.session.ops.save(&the_app, file.c_str()));
    std::string saved = nbtest::read_file(file);
    EXPECT_NE(std::string::npos, saved.find("History1=60 s\n")) << saved;
    EXPECT_NE(std::string::npos, saved.find("History2=500 points\n")) << saved;
}

// Every chooser starts in a folder (a save chooser without one asked for a
// folder before Save did anything): at first the home folder, then the
// last one used for that kind, which the session keeps. Filters say what
// they hold.
TEST_F(Signals, ChoosersStartInTheLastFolderOfTheirKindWithReadableFilters)
{
    std::string dir = nbtest::make_temp_dir("signals");
    auto seen = std::make_shared<std::vector<std::string>>();
    // Notes the folder (once the chooser has taken it in) and the filter,
    // then cancels.
    auto look = [seen](GtkDialog *d) {
        GtkFileChooser *fc = GTK_FILE_CHOOSER(d);
        gchar *folder = gtk_file_chooser_get_current_folder(fc);
        if (!folder)
            return false;
        seen->push_back(folder);
        g_free(folder);
        GtkFileFilter *f = gtk_file_chooser_get_filter(fc);
        seen->push_back(f && gtk_file_filter_get_name(f) ? gtk_file_filter_get_name(f) : "");
        gtk_dialog_response(d, GTK_RESPONSE_CANCEL);
        return true;
    };
    {
        nbtest::DialogDriver driver;
        driver.then(look);
        click("signals-png");
        driver.then(look);
        click("signals-open");
    }
    ASSERT_EQ(4u, seen->size());
    EXPECT_EQ(g_get_home_dir(), (*seen)[0]);
    EXPECT_EQ("PNG images (*.png)", (*seen)[1]);
    EXPECT_EQ("DBC databases (*.dbc)", (*seen)[3]);
    {
        nbtest::DialogDriver driver;
        answer_chooser(driver, dir + "/plot.png");
        click("signals-png");
        driver.then(look);
        click("signals-png");
    }
    ASSERT_EQ(6u, seen->size());
    EXPECT_EQ(dir, (*seen)[4]);
    std::string file = dir + "/s.nbs";
    ASSERT_EQ(0, the_app.session.ops.save(&the_app, file.c_str()));
    EXPECT_NE(std::string::npos, nbtest::read_file(file).find("ExportFolder=" + dir + "\n"));
}

namespace {

// The page in German: every column title of the table and of the list of
// unknown identifiers is shown whole, and the Plot column holds its check
// boxes on an expanded message's signals.
class SignalsGerman : public Signals {
protected:
    void SetUp() override
    {
        locale_was_ = setlocale(LC_ALL, nullptr);
        setenv("LANGUAGE", "de", 1);
        ASSERT_NE(nullptr, setlocale(LC_ALL, "C.UTF-8"));
        // GLib translates a domain only where the program's own is.
        const std::string locales = std::string(SG_STAGE_DIR) + "/share/locale";
        bindtextdomain("nimbrel", locales.c_str());
        domain_was_ = textdomain(nullptr);
        textdomain("nimbrel");
        Signals::SetUp();
        // Loaded again now that the host names its catalogues.
        g_strlcpy(the_app.locale_dir, locales.c_str(), sizeof the_app.locale_dir);
        ASSERT_EQ(0, pgmgr_release(entry_));
        ASSERT_EQ(0, pgmgr_load(&the_app, entry_));
        page_ = entry_->page;
    }
    void TearDown() override
    {
        Signals::TearDown();
        unsetenv("LANGUAGE");
        setlocale(LC_ALL, locale_was_.c_str());
        textdomain(domain_was_.c_str());
    }
    std::string locale_was_, domain_was_;
};

GtkWidget *label_in(GtkWidget *w)
{
    if (GTK_IS_LABEL(w))
        return w;
    GtkWidget *found = nullptr;
    if (GTK_IS_CONTAINER(w)) {
        GList *children = gtk_container_get_children(GTK_CONTAINER(w));
        for (GList *l = children; l && !found; l = l->next)
            found = label_in(GTK_WIDGET(l->data));
        g_list_free(children);
    }
    return found;
}

TEST_F(SignalsGerman, ColumnTitlesAndCheckBoxesFit)
{
    load_keys({{"Database1", dbc("sim.dbc")}});
    gtk_tree_view_expand_all(table());
    nbtest::pump();
    std::vector<std::string> titles;
    for (const char *name : {"signals-table", "signals-unknown"}) {
        GtkTreeView *view = GTK_TREE_VIEW(widget(name));
        for (int i = 0; gtk_tree_view_get_column(view, i); i++) {
            GtkTreeViewColumn *c = gtk_tree_view_get_column(view, i);
            GtkWidget *l = label_in(c->button);
            ASSERT_NE(nullptr, l);
            GtkRequisition want;
            gtk_widget_size_request(l, &want);
            GtkAllocation got;
            gtk_widget_get_allocation(l, &got);
            titles.push_back(gtk_label_get_text(GTK_LABEL(l)));
            EXPECT_GE(got.width, want.width) << titles.back();
        }
    }
    EXPECT_NE(titles.end(), std::find(titles.begin(), titles.end(), "Einheit"));
    EXPECT_NE(titles.end(), std::find(titles.begin(), titles.end(), "Nicht in den Datenbanken"));

    GtkTreeViewColumn *plot = gtk_tree_view_get_column(table(), 0);
    GList *cells = gtk_cell_layout_get_cells(GTK_CELL_LAYOUT(plot));
    gint w = 0, h = 0;
    gtk_cell_renderer_get_size(GTK_CELL_RENDERER(cells->data), GTK_WIDGET(table()), nullptr, nullptr,
                               nullptr, &w, &h);
    g_list_free(cells);
    EXPECT_GE(gtk_tree_view_column_get_width(plot), w);
}

}  // namespace
