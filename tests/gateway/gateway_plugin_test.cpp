// The gateway plug-in (stage/gateway.so) loaded by the real plug-in manager
// over the simulated adapter and fed by the real poll tick: a rule made in
// the editor, nothing forwarded before Start, a frame sent back to its own
// channel that is not passed on again, counters and delay on the page, and
// the rules kept in the session.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "../sendlog/sl_fixture.h"

namespace {

using sltest::frame;

class Gateway : public sltest::PluginTest {
protected:
    void SetUp() override { load_plugin("gateway", GW_STAGE_DIR); }

    GtkTreeModel *model() { return gtk_tree_view_get_model(GTK_TREE_VIEW(widget("gateway-rules"))); }
    int rows() { return gtk_tree_model_iter_n_children(model(), nullptr); }
    std::string cell(int row, int col)
    {
        GtkTreeIter it;
        if (!gtk_tree_model_iter_nth_child(model(), &it, nullptr, row)) return "?";
        GValue v = G_VALUE_INIT;
        gtk_tree_model_get_value(model(), &it, col, &v);
        std::string s = G_VALUE_HOLDS_STRING(&v) ? g_value_get_string(&v)
                        : G_VALUE_HOLDS_UINT64(&v) ? std::to_string(g_value_get_uint64(&v))
                                                   : std::to_string(g_value_get_uint(&v));
        g_value_unset(&v);
        return s;
    }
    // Handled, dropped, deleted of a rule, as the page shows them.
    std::string counts(int row) { return cell(row, 4) + "/" + cell(row, 5) + "/" + cell(row, 6); }
    void edit(const char *filter, const char *mods, const char *checksum)
    {
        gtk_combo_box_set_active(GTK_COMBO_BOX(widget("gateway-src")), 0);
        gtk_combo_box_set_active(GTK_COMBO_BOX(widget("gateway-dst")), 0);
        gtk_entry_set_text(GTK_ENTRY(widget("gateway-filter")), filter);
        gtk_entry_set_text(GTK_ENTRY(widget("gateway-mods")), mods);
        gtk_entry_set_text(GTK_ENTRY(widget("gateway-checksum")), checksum);
    }
    void select(int row)
    {
        GtkTreePath *p = gtk_tree_path_new_from_indices(row, -1);
        gtk_tree_selection_select_path(gtk_tree_view_get_selection(GTK_TREE_VIEW(widget("gateway-rules"))), p);
        gtk_tree_path_free(p);
    }
    // Ticks until the page shows what is wanted.
    bool shows(int row, const std::string &want)
    {
        return nbtest::wait_until([&] {
            tick();
            nbtest::pump();
            return counts(row) == want;
        });
    }
};

TEST_F(Gateway, ForwardsOnlyWhenStartedAndAFrameItSentIsNeverPassedOnAgain)
{
    EXPECT_EQ("Stopped: nothing is forwarded", label("gateway-state"));
    // A bad rule is refused and says why; a good one goes into the table.
    edit("123:7FF", "SET:Q:1.0.00", "");
    click("gateway-add");
    EXPECT_EQ(0, rows());
    EXPECT_NE(std::string::npos, label("gateway-message").find("The rule cannot be used")) << label("gateway-message");
    edit("", "SET:ID:200.0.AABBCCDD00000000", "-x 0:2:3:00");
    click("gateway-add");
    ASSERT_EQ(1, rows()) << label("gateway-message");
    EXPECT_EQ("-i -m SET:ID:200.0.AABBCCDD00000000 -x 0:2:3:00", cell(0, 3));

    open_reader();
    inject(frame(0x123, 0, {1, 2, 3, 4}));
    tick();
    tick();
    EXPECT_EQ("0/0/0", counts(0));
    click("gateway-start");
    EXPECT_EQ("Forwarding", label("gateway-state"));
    inject(frame(0x124, 0, {1, 2, 3, 4}));
    // Sent once with the checksum; its own echo is deleted, not sent again.
    ASSERT_TRUE(shows(0, "1/0/1")) << counts(0);
    // What another node saw: the changed frame once, with its checksum.
    std::vector<zk_fdframe> got;
    ASSERT_TRUE(nbtest::wait_until([&] {
        for (const zk_fdframe &f : read_blocked(16, 1)) got.push_back(f);
        for (const zk_fdframe &f : got)
            if (f.id == 0x200) return true;
        return false;
    }));
    tick();
    tick();
    for (const zk_fdframe &f : read_blocked(16, 100)) got.push_back(f);
    int changed = 0;
    for (const zk_fdframe &f : got) {
        if (f.id != 0x200) continue;
        changed++;
        EXPECT_EQ(4, f.len);
        EXPECT_EQ(0xAA ^ 0xBB ^ 0xCC, f.data[3]);
    }
    EXPECT_EQ(1, changed);
    EXPECT_EQ(0u, label("gateway-delay").find("Delay: median ")) << label("gateway-delay");

    click("gateway-stop");
    inject(frame(0x125, 0, {1}));
    tick();
    tick();
    nbtest::pump();
    EXPECT_EQ("1/0/1", counts(0));

    // The editor shows a chosen rule; Change and Remove act on it.
    select(0);
    EXPECT_STREQ("SET:ID:200.0.AABBCCDD00000000", gtk_entry_get_text(GTK_ENTRY(widget("gateway-mods"))));
    gtk_entry_set_text(GTK_ENTRY(widget("gateway-filter")), "100~700");
    click("gateway-change");
    EXPECT_EQ("-i -f 100~700 -m SET:ID:200.0.AABBCCDD00000000 -x 0:2:3:00", cell(0, 3));
    click("gateway-remove");
    EXPECT_EQ(0, rows());
}

TEST_F(Gateway, TheSessionKeepsTheRulesAndLoadingNeverStartsTheGateway)
{
    edit("123:7FF", "AND:D:0.0.FF00FF00FF00FF00", "-c -8:-2:-1:FF:FF:1D -p 3");
    click("gateway-add");
    edit("", "", "");
    gtk_toggle_button_set_active(GTK_TOGGLE_BUTTON(widget("gateway-fd")), TRUE);
    gtk_entry_set_text(GTK_ENTRY(widget("gateway-mods")), ("OR:F:0.1.0." + std::string(128, '0')).c_str());
    click("gateway-add");
    ASSERT_EQ(2, rows()) << label("gateway-message");
    gtk_spin_button_set_value(GTK_SPIN_BUTTON(widget("gateway-max-hops")), 3);
    const std::string file = dir_ + "/g.nbs";
    ASSERT_EQ(0, the_app.session.ops.save(&the_app, file.c_str()));
    const std::string text = nbtest::read_file(file);
    EXPECT_NE(std::string::npos, text.find("Rule1=-s 0 -d 0 -i -f 123:7FF -m AND:D:0.0.FF00FF00FF00FF00 "
                                           "-c -8:-2:-1:FF:FF:1D -p 3\n")) << text;
    click("gateway-start");
    select(1);
    click("gateway-remove");
    gtk_spin_button_set_value(GTK_SPIN_BUTTON(widget("gateway-max-hops")), 2);
    ASSERT_EQ(0, the_app.session.ops.load(&the_app, file.c_str()));
    nbtest::pump();
    ASSERT_EQ(2, rows());
    EXPECT_EQ(0u, cell(1, 3).find("-X -i -M OR:F:0.1.0.00")) << cell(1, 3);
    EXPECT_EQ("Stopped: nothing is forwarded", label("gateway-state"));
    EXPECT_NE(std::string::npos, text.find("MaxHops=3\n")) << text;
    EXPECT_EQ(3, gtk_spin_button_get_value_as_int(GTK_SPIN_BUTTON(widget("gateway-max-hops"))));

    // A rule that does not read is left out and named.
    load_keys({{"Rules", "2"}, {"Rule1", "-s 0 -d 0 -i"}, {"Rule2", "-s 0 -d 0 -m NAND:D:0.0.00"}});
    EXPECT_EQ(1, rows());
    EXPECT_EQ("Rule 2 of the session could not be read and was left out.", label("gateway-message"));

    // Channels added or removed (the host's request 14): the lists again.
    request(14, nullptr, 0);
    GtkComboBox *src = GTK_COMBO_BOX(widget("gateway-src"));
    EXPECT_EQ(nb_chan_count(), gtk_tree_model_iter_n_children(gtk_combo_box_get_model(src), nullptr));
    EXPECT_EQ(0, gtk_combo_box_get_active(src));
}

}  // namespace
