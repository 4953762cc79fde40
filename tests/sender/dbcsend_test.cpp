// The sender's messages from a database, through the real plug-in manager
// over the simulated adapter: a database read in the background, a message
// picked by name, physical values and value texts set, frames packed and
// sent with their counter and checksum right on every one, and all of it
// through a session.
#include <gtest/gtest.h>
#include <string.h>

#include <string>
#include <vector>

#include "../sendlog/sl_fixture.h"
#include "dbc.h"
#include "e2e.h"

namespace {

enum { COL_ID, COL_EXT, COL_RTR, COL_FD, COL_BRS, COL_LEN, COL_DATA, COL_PERIOD, COL_ENABLED };
enum { SC_NAME, SC_VALUE, SC_UNIT, SC_RANGE, SC_CHOICES, SC_ROLE };

const char *const DBC =
    "VERSION \"\"\nBU_: ECU Tester\n"
    "BO_ 291 Engine: 8 ECU\n"
    " SG_ Speed : 0|16@1+ (0.01,0) [0|250] \"km/h\" Tester\n"
    " SG_ Gear : 16|4@1+ (1,0) [0|8] \"\" Tester\n"
    " SG_ Temp : 31|8@0- (1,-40) [-40|80] \"degC\" Tester\n"
    " SG_ Engine_Counter : 52|4@1+ (1,0) [0|15] \"\" Tester\n"
    " SG_ Engine_CRC : 63|8@0+ (1,0) [0|255] \"\" Tester\n"
    "BO_ 1024 Muxed: 8 ECU\n"
    " SG_ Sel M : 0|8@1+ (1,0) [0|3] \"\" Tester\n"
    " SG_ A m1 : 8|16@1+ (1,0) [0|1000] \"\" Tester\n"
    " SG_ B m2 : 8|8@1- (1,0) [-100|100] \"\" Tester\n"
    "BO_ 1280 Wide: 64 ECU\n"
    " SG_ Far : 480|32@1+ (1,0) [0|0] \"\" Tester\n"
    "BA_DEF_ BO_ \"VFrameFormat\" ENUM \"StandardCAN\",\"ExtendedCAN\",\"r\",\"r\",\"r\",\"r\",\"r\","
    "\"r\",\"r\",\"r\",\"r\",\"r\",\"r\",\"r\",\"StandardCAN_FD\",\"ExtendedCAN_FD\";\n"
    "BA_ \"VFrameFormat\" BO_ 1280 14;\n"
    "VAL_ 291 Gear 0 \"Neutral\" 1 \"First\" 6 \"Sixth\" ;\n";

class DbcSend : public sltest::PluginTest {
protected:
    void SetUp() override
    {
        load_plugin("sender", SD_STAGE_DIR);
        if (HasFatalFailure())
            return;
        auto set_clock = (void (*)(int64_t (*)(void)))symbol("sender_set_clock");
        service_ = (void (*)(void))symbol("sender_service");
        ASSERT_NE(nullptr, set_clock);
        ASSERT_NE(nullptr, service_);
        set_clock([] { return (int64_t)zk_sim_now_us(); });
        dbc_ = dir_ + "/bench.dbc";
        ASSERT_TRUE(nbtest::write_file(dbc_, DBC));
        dbc_error e;
        ASSERT_EQ(0, dbc_load_file(dbc_.c_str(), &db_, &e)) << e.message;
    }

    GtkTreeModel *model(const char *view)
    {
        return gtk_tree_view_get_model(GTK_TREE_VIEW(widget(view)));
    }
    std::string cell(const char *view, int row, int col)
    {
        GtkTreeIter it;
        if (!gtk_tree_model_iter_nth_child(model(view), &it, nullptr, row))
            return "<no row>";
        gchar *s = nullptr;
        gtk_tree_model_get(model(view), &it, col, &s, -1);
        std::string out = s ? s : "";
        g_free(s);
        return out;
    }
    int signal_row(const char *name)
    {
        int n = gtk_tree_model_iter_n_children(model("sender-signals"), nullptr);
        for (int r = 0; r < n; r++)
            if (cell("sender-signals", r, SC_NAME) == name)
                return r;
        return -1;
    }
    std::string value(const char *name) { return cell("sender-signals", signal_row(name), SC_VALUE); }
    // What the user does: type into a cell of a view.
    void edit(const char *view, int row, int col, const char *text)
    {
        GtkTreeViewColumn *c = gtk_tree_view_get_column(GTK_TREE_VIEW(widget(view)), col);
        GList *cells = gtk_cell_layout_get_cells(GTK_CELL_LAYOUT(c));
        std::string path = std::to_string(row);
        g_signal_emit_by_name(cells->data, "edited", path.c_str(), text);
        g_list_free(cells);
    }
    void set(const char *signal, const char *text)
    {
        int r = signal_row(signal);
        ASSERT_GE(r, 0) << signal;
        edit("sender-signals", r, SC_VALUE, text);
    }
    void select(int row)
    {
        GtkTreePath *p = gtk_tree_path_new_from_indices(row, -1);
        gtk_tree_selection_select_path(
            gtk_tree_view_get_selection(GTK_TREE_VIEW(widget("sender-list"))), p);
        gtk_tree_path_free(p);
    }
    void open_database()
    {
        nbtest::DialogDriver driver;
        answer_chooser(driver, dbc_);
        click("sender-database");
        ASSERT_TRUE(nbtest::wait_until([&] { return label("sender-database-name") == "bench.dbc"; },
                                       20000))
            << label("sender-database-name") << " " << label("sender-message");
    }
    // Picks a message in the dialog by typing part of its name.
    void pick(const char *search)
    {
        nbtest::DialogDriver driver;
        driver.then([search](GtkDialog *d) {
            gtk_entry_set_text(GTK_ENTRY(nbtest::find_by_name(GTK_WIDGET(d), "sender-pick-search")),
                               search);
            gtk_dialog_response(d, GTK_RESPONSE_ACCEPT);
            return true;
        });
        click("sender-from-db");
    }
    std::vector<zk_fdframe> sent()
    {
        std::vector<zk_fdframe> out;
        zk_fdframe buf[64];
        for (int n; (n = zk_sim_sent_fd(0, buf, 64)) > 0;)
            out.insert(out.end(), buf, buf + n);
        return out;
    }
    std::vector<dbc_value> decode(const char *message, const zk_fdframe &f)
    {
        const dbc_message *m = nullptr;
        for (const dbc_message &x : db_.messages)
            if (x.name == message)
                m = &x;
        std::vector<dbc_value> v(m->signals.size());
        dbc_decode(m, f.data, f.len, v.data());
        return v;
    }

    void (*service_)(void) = nullptr;
    std::string dbc_;
    dbc_db db_;
};

TEST_F(DbcSend, PickSetAndSendEveryFrameWithItsCounterAdvancedAndItsChecksumRight)
{
    open_database();
    pick("ENGINE");
    ASSERT_EQ(1, gtk_tree_model_iter_n_children(model("sender-list"), nullptr));
    EXPECT_EQ("123", cell("sender-list", 0, COL_ID));
    EXPECT_EQ("8", cell("sender-list", 0, COL_LEN));
    // Signals with units, ranges, value texts; counter and checksum taken
    // as such by their names.
    ASSERT_EQ(5, gtk_tree_model_iter_n_children(model("sender-signals"), nullptr));
    EXPECT_EQ("km/h", cell("sender-signals", signal_row("Speed"), SC_UNIT));
    EXPECT_EQ("0 .. 250", cell("sender-signals", signal_row("Speed"), SC_RANGE));
    EXPECT_EQ("0 = Neutral, 1 = First, 6 = Sixth", cell("sender-signals", signal_row("Gear"), SC_CHOICES));
    EXPECT_EQ("Counter", cell("sender-signals", signal_row("Engine_Counter"), SC_ROLE));
    EXPECT_EQ("Checksum", cell("sender-signals", signal_row("Engine_CRC"), SC_ROLE));
    EXPECT_EQ("Neutral", value("Gear"));
    EXPECT_EQ("0", value("Temp"));

    set("Speed", "87,5");
    set("Gear", "sixth");
    set("Temp", "-40");
    EXPECT_EQ("", label("sender-message"));
    EXPECT_EQ("87.5", value("Speed"));
    EXPECT_EQ("Sixth", value("Gear"));
    // Refused, the range said, the value kept.
    set("Speed", "250.5");
    EXPECT_EQ("Speed: 250.5 is outside its range 0 to 250 km/h", label("sender-message"));
    set("Gear", "Seventh");
    EXPECT_NE(std::string::npos, label("sender-message").find("neither a number")) << label("sender-message");
    EXPECT_EQ("87.5", value("Speed"));
    EXPECT_EQ("Sixth", value("Gear"));

    // 100 Hz for 10 s: every frame carries the next counter and its CRC.
    edit("sender-list", 0, COL_PERIOD, "10");
    GtkTreeViewColumn *c = gtk_tree_view_get_column(GTK_TREE_VIEW(widget("sender-list")), COL_ENABLED);
    GList *cells = gtk_cell_layout_get_cells(GTK_CELL_LAYOUT(c));
    g_signal_emit_by_name(cells->data, "toggled", "0");
    g_list_free(cells);
    click("sender-start");
    std::vector<zk_fdframe> frames = sent();
    for (int i = 0; i < 1000; i++) {
        zk_sim_advance_us(10000);
        service_();
        std::vector<zk_fdframe> more = sent();
        frames.insert(frames.end(), more.begin(), more.end());
    }
    click("sender-stop");
    ASSERT_EQ(1001u, frames.size());
    for (size_t k = 0; k < frames.size(); k++) {
        const zk_fdframe &f = frames[k];
        ASSERT_EQ(0x123u, f.id);
        ASSERT_EQ(8, f.len);
        auto v = decode("Engine", f);
        ASSERT_EQ(8750, v[0].raw) << k;
        ASSERT_EQ(6, v[1].raw) << k;
        ASSERT_EQ(-40.0, v[2].phys) << k;
        ASSERT_EQ((int64_t)(k % 16), v[3].raw) << k;
        uint8_t crc_of[7];
        memcpy(crc_of, f.data, 7);
        ASSERT_EQ(e2e_crc8_j1850(crc_of, 7), f.data[7]) << k;
    }
}

TEST_F(DbcSend, MultiplexedAndFdMessagesAndAProfileChosenInTheDialog)
{
    sltest::reopen_channel_fd();
    open_database();
    pick("mux");
    set("Sel", "2");
    set("B", "-5");
    set("A", "700");   // kept, but not what selector 2 sends
    pick("500");       // by identifier
    ASSERT_EQ(2, gtk_tree_model_iter_n_children(model("sender-list"), nullptr));
    EXPECT_EQ("500", cell("sender-list", 1, COL_ID));
    set("Far", "4000000000");
    select(0);
    click("sender-send");
    select(1);
    click("sender-send");
    auto f = sent();
    ASSERT_EQ(2u, f.size());
    EXPECT_EQ((std::vector<uint8_t>{2, 0xFB, 0, 0, 0, 0, 0, 0}), std::vector<uint8_t>(f[0].data, f[0].data + 8));
    EXPECT_EQ(64, f[1].len);
    EXPECT_TRUE(f[1].flags & ZK_FRAME_FDF);
    EXPECT_EQ(4000000000u, decode("Wide", f[1])[0].raw & 0xFFFFFFFFu);

    // Profile 2 on the multiplexed message: data IDs 1..16, its CRC at
    // byte 7 and counter in byte 6's low nibble. A CRC beyond the frame is
    // refused in the dialog, which stays open and says why.
    select(0);
    {
        nbtest::DialogDriver driver;
        auto in = [](GtkDialog *d, const char *name) {
            return nbtest::find_by_name(GTK_WIDGET(d), name);
        };
        int step = 0;
        driver.then([&](GtkDialog *d) {
            if (step++ == 0) {
                gtk_combo_box_set_active(GTK_COMBO_BOX(in(d, "sender-prot-kind")), 4);
                gtk_entry_set_text(GTK_ENTRY(in(d, "sender-prot-check-start")), "64");
                gtk_entry_set_text(GTK_ENTRY(in(d, "sender-prot-id-list")),
                                   "01 02 03 04 05 06 07 08 09 0A 0B 0C 0D 0E 0F 10");
                gtk_dialog_response(d, GTK_RESPONSE_ACCEPT);
                return false;   // the same dialog again, with the reason
            }
            std::string why = gtk_label_get_text(GTK_LABEL(in(d, "sender-prot-error")));
            EXPECT_NE(std::string::npos, why.find("outside the frame")) << why;
            gtk_entry_set_text(GTK_ENTRY(in(d, "sender-prot-check-start")), "56");
            gtk_entry_set_text(GTK_ENTRY(in(d, "sender-prot-counter-start")), "48");
            gtk_dialog_response(d, GTK_RESPONSE_ACCEPT);
            return true;
        });
        click("sender-protect");
    }
    EXPECT_EQ("", label("sender-message"));
    // A remote frame would carry neither: refused.
    GtkTreeViewColumn *rtr = gtk_tree_view_get_column(GTK_TREE_VIEW(widget("sender-list")), COL_RTR);
    GList *cells = gtk_cell_layout_get_cells(GTK_CELL_LAYOUT(rtr));
    g_signal_emit_by_name(cells->data, "toggled", "0");
    g_list_free(cells);
    EXPECT_NE(std::string::npos, label("sender-message").find("remote frame")) << label("sender-message");
    for (int i = 0; i < 20; i++)
        click("sender-send");
    f = sent();
    ASSERT_EQ(20u, f.size());
    for (int k = 0; k < 20; k++) {
        EXPECT_EQ(k % 16, f[k].data[6] & 0x0F) << k;
        uint8_t buf[8];
        memcpy(buf, f[k].data, 8);
        e2e_config c;
        memset(&c, 0, sizeof c);
        e2e_defaults(&c, E2E_P2);
        c.check.start = 56;
        c.counter.start = 48;
        for (int i = 0; i < 16; i++)
            c.id_list[i] = (uint8_t)(i + 1);
        e2e_state st{(uint64_t)(k % 16)};
        ASSERT_EQ(0, e2e_protect(&c, &st, buf, 8));
        EXPECT_EQ(buf[7], f[k].data[7]) << k;
    }
}

TEST_F(DbcSend, ValuesCounterAndChecksumRoundTripThroughASessionByName)
{
    open_database();
    pick("Engine");
    set("Speed", "12.34");
    set("Gear", "First");
    click("sender-add");   // a row of bytes after it keeps its place
    std::string file = dir_ + "/s.nbs";
    ASSERT_EQ(0, the_app.session.ops.save(&the_app, file.c_str()));
    std::string text = nbtest::read_file(file);
    EXPECT_NE(std::string::npos, text.find("Database=" + dbc_ + "\n")) << text;
    EXPECT_NE(std::string::npos, text.find("DbMessage=Engine\n")) << text;
    EXPECT_NE(std::string::npos, text.find("Signal=Speed=12.34\n")) << text;
    EXPECT_NE(std::string::npos, text.find("Signal=Gear=1\n")) << text;
    EXPECT_NE(std::string::npos, text.find("Protect=2,52,4,0,1,0,63,8,1,")) << text;

    select(0);
    click("sender-remove");
    select(0);
    click("sender-remove");
    // Values are by signal name: a database whose signals moved packs them
    // where they are now.
    std::string moved = DBC;
    moved.replace(moved.find("Speed : 0|16"), 12, "Speed : 8|16");
    moved.replace(moved.find("Gear : 16|4"), 11, "Gear : 0|4");
    std::string other = dir_ + "/moved.dbc";
    ASSERT_TRUE(nbtest::write_file(other, moved));
    std::string again = text;
    again.replace(again.find(dbc_), dbc_.size(), other);
    ASSERT_TRUE(nbtest::write_file(file, again));
    ASSERT_EQ(0, the_app.session.ops.load(&the_app, file.c_str()));
    ASSERT_TRUE(nbtest::wait_until([&] { return label("sender-database-name") == "moved.dbc"; }, 20000));
    ASSERT_EQ(2, gtk_tree_model_iter_n_children(model("sender-list"), nullptr));
    select(0);
    EXPECT_EQ("12.34", value("Speed"));
    EXPECT_EQ("First", value("Gear"));
    EXPECT_EQ("Counter", cell("sender-signals", signal_row("Engine_Counter"), SC_ROLE));
    click("sender-send");
    click("sender-send");
    auto f = sent();
    ASSERT_EQ(2u, f.size());
    EXPECT_EQ(0x01, f[0].data[0] & 0x0F);
    EXPECT_EQ(1234, f[0].data[1] | f[0].data[2] << 8);
    EXPECT_EQ(1, (f[1].data[6] >> 4) & 0x0F);   // the counter went on
    EXPECT_EQ(e2e_crc8_j1850(f[1].data, 7), f[1].data[7]);
}

}  // namespace
