// Several channels in one window: adding a channel through the Channels
// menu and the chooser dialog, selecting it in the left pane's list, its
// controls, indicators and settings, removing it; Start all / Stop all
// over eight channels.
#include "gui_fixture.h"

using namespace nbtest;

namespace {

class GuiChannels : public GuiTest {
protected:
    // Board 0 carries channels 0 and 1 (the main channel is 0), board 1
    // channels 2 and 3.
    const char *boards() const override
    {
        return "0=sim:channels=2,traffic=none;1=sim:channels=2,name=Second,traffic=none";
    }
    void TearDown() override
    {
        chanset_remove_all(&the_app);
        GuiTest::TearDown();
    }

    GtkWidget *list() { return find_by_name(nb_mainwin, "channel_list"); }
    std::string row(int index, int column)
    {
        return cell_text(gtk_tree_view_get_model(GTK_TREE_VIEW(list())),
                         std::to_string(index).c_str(), column);
    }
    void select_row(int index)
    {
        GtkTreePath *p = gtk_tree_path_new_from_indices(index, -1);
        gtk_tree_selection_select_path(gtk_tree_view_get_selection(GTK_TREE_VIEW(list())), p);
        gtk_tree_path_free(p);
    }
    int left_panels()
    {
        GList *l = gtk_container_get_children(
            GTK_CONTAINER(gtk_paned_get_child1(GTK_PANED(the_app.gui.paned))));
        int n = static_cast<int>(g_list_length(l));
        g_list_free(l);
        return n;
    }
    std::string info_channel()
    {
        return cell_text(gtk_tree_view_get_model(GTK_TREE_VIEW(find_by_name(nb_mainwin, "info_view"))),
                         "0", 1);
    }
    static std::string label(const char *name)
    {
        return gtk_button_get_label(GTK_BUTTON(find_by_name(nb_mainwin, name)));
    }
    static bool lit(const char *name) { return gtk_widget_get_sensitive(find_by_name(nb_mainwin, name)); }
    static void activate(const char *item)
    {
        GtkWidget *mi = find_menu_item(nb_mainwin, item);
        ASSERT_NE(mi, nullptr) << item;
        gtk_menu_item_activate(GTK_MENU_ITEM(mi));
    }
};

enum { L_NAME, L_MODE, L_BOARD, L_STATE, L_ERRORS };

// The chooser as a dialog: Cancel adds nothing; a free channel of the
// second board in CAN FD is added, selected and shown; its controls and
// bit rate act on it alone; removing it brings the pane back as it was.
TEST_F(GuiChannels, AddSelectStartStopSetUpAndRemove)
{
    open_window();
    {
        DialogDriver driver;
        driver.respond(GTK_RESPONSE_CANCEL);
        activate("Add channel...");
        EXPECT_TRUE(driver.done());
    }
    EXPECT_EQ(the_app.chans.count, 1);
    ASSERT_NE(nb_mainwin, nullptr);
    EXPECT_EQ(left_panels(), 3) << "the list stays away while the main channel is alone";
    EXPECT_FALSE(gtk_widget_get_sensitive(the_app.gui.mi_remove_channel));

    {
        DialogDriver driver;
        driver.then([](GtkDialog *d) {
            EXPECT_EQ(find_button(GTK_WIDGET(d), "Load Session"), nullptr);
            GtkTreeView *view = GTK_TREE_VIEW(find_by_name(GTK_WIDGET(d), "chooser_view"));
            GtkTreePath *p = gtk_tree_path_new_from_string("1:1");
            gtk_tree_selection_select_path(gtk_tree_view_get_selection(view), p);
            gtk_tree_path_free(p);
            gtk_combo_box_set_active(GTK_COMBO_BOX(find_by_name(GTK_WIDGET(d), "fd_combo")),
                                     NB_FD_ISO);
            dialog_respond(d, GTK_RESPONSE_OK);
            return true;
        });
        activate("Add channel...");
        EXPECT_TRUE(driver.done());
        EXPECT_TRUE(driver.unexpected().empty()) << testing::PrintToString(driver.unexpected());
    }
    ASSERT_EQ(the_app.chans.count, 2);
    nb_chan *added = the_app.chans.at[1];
    EXPECT_EQ(added->number, 3);
    EXPECT_EQ(added->fd, NB_FD_ISO);
    EXPECT_EQ(the_app.chans.selected, 1);
    EXPECT_EQ(left_panels(), 4);
    EXPECT_EQ(row(0, L_NAME), "ch0");
    EXPECT_EQ(row(0, L_MODE), "classic");
    EXPECT_EQ(row(1, L_NAME), "ch3");
    EXPECT_EQ(row(1, L_MODE), "CAN FD");
    EXPECT_EQ(row(1, L_BOARD), "Second");
    EXPECT_EQ(row(1, L_STATE), "stopped");
    EXPECT_EQ(info_channel(), "3");
    EXPECT_TRUE(gtk_widget_get_sensitive(the_app.gui.mi_remove_channel));

    gtk_button_clicked(GTK_BUTTON(the_app.gui.btn_startstop));
    EXPECT_EQ(added->running, 1);
    EXPECT_EQ(the_app.chan.running, 0);
    EXPECT_EQ(label("btn_startstop"), "Stop");
    EXPECT_EQ(row(1, L_STATE), "running");
    EXPECT_FALSE(gtk_widget_get_sensitive(the_app.gui.mi_hw_settings));
    EXPECT_TRUE(gtk_widget_get_sensitive(the_app.gui.mi_save_session)) << "the main channel's locks";
    gtk_button_clicked(GTK_BUTTON(the_app.gui.btn_startstop));
    EXPECT_EQ(added->running, 0);
    EXPECT_EQ(label("btn_startstop"), "Start");

    {
        DialogDriver driver;
        driver.then([](GtkDialog *d) {
            gtk_combo_box_set_active(GTK_COMBO_BOX(find_by_name(GTK_WIDGET(d), "bitrate-combo")), 4);
            dialog_respond(d, GTK_RESPONSE_OK);
            return true;
        });
        activate("Bit rate");
        EXPECT_TRUE(driver.done());
    }
    EXPECT_EQ(added->baud_index, 4);
    EXPECT_EQ(the_app.chan.baud_index, NB_BAUD_INDEX_DEFAULT);

    // The main channel, selected in the list, shows as ever.
    select_row(0);
    EXPECT_EQ(the_app.chans.selected, 0);
    EXPECT_EQ(info_channel(), "0");
    EXPECT_FALSE(gtk_widget_get_sensitive(the_app.gui.mi_remove_channel));
    gtk_button_clicked(GTK_BUTTON(the_app.gui.btn_startstop));
    EXPECT_EQ(the_app.chan.running, 1);
    EXPECT_EQ(added->running, 0);
    select_row(1);
    EXPECT_EQ(label("btn_startstop"), "Start") << "the selected channel's state";
    EXPECT_TRUE(gtk_widget_get_sensitive(the_app.gui.btn_lom));
    EXPECT_FALSE(gtk_widget_get_sensitive(the_app.gui.mi_save_session)) << "the main channel runs";

    activate("Remove channel");
    EXPECT_EQ(the_app.chans.count, 1);
    EXPECT_EQ(the_app.chans.selected, 0);
    EXPECT_EQ(left_panels(), 3);
    EXPECT_EQ(label("btn_startstop"), "Stop");
    EXPECT_EQ(info_channel(), "0");
}

// A channel the library cannot open is not added, and the user reads why.
TEST_F(GuiChannels, FailedOpenIsShownAndAddsNothing)
{
    open_window();
    std::string text;
    DialogDriver driver;
    driver.then([](GtkDialog *d) {
        // Armed now: the chooser's listing opens channels to probe them.
        zk_sim_fail_next("ZkOpen", ZK_E_IO);
        dialog_respond(d, GTK_RESPONSE_OK);   // the first free channel
        return true;
    });
    driver.then([&](GtkDialog *d) {
        text = message_text(GTK_WIDGET(d));
        dialog_respond(d, GTK_RESPONSE_OK);
        return true;
    });
    activate("Add channel...");
    EXPECT_TRUE(driver.done());
    EXPECT_EQ(the_app.chans.count, 1);
    EXPECT_NE(text.find("can not add channel ch1: can not open CAN channel: "), std::string::npos)
        << text;
}

class GuiEightChannels : public GuiChannels {
protected:
    const char *boards() const override
    {
        return "0=sim:channels=4,traffic=none;1=sim:channels=4,traffic=none";
    }
};

// Eight channels in one window: Start all and Stop all reach every one;
// each keeps its own state and error events, shown when it is selected.
TEST_F(GuiEightChannels, StartAllStopAllAndStatePerChannel)
{
    open_window();
    nb_chan_settings s;
    chan_settings_default(&s);
    for (uint8_t n = 1; n < 8; n++)
        ASSERT_EQ(chanset_add(&the_app, n, &s, nullptr, nullptr), 0) << int(n);
    the_app.gui.ops.refresh_info_panel(&the_app);
    ASSERT_EQ(gtk_tree_model_iter_n_children(gtk_tree_view_get_model(GTK_TREE_VIEW(list())), nullptr),
              8);

    gtk_button_clicked(GTK_BUTTON(find_by_name(nb_mainwin, "btn_start_all")));
    for (int i = 0; i < 8; i++) {
        EXPECT_EQ(the_app.chans.at[i]->running, 1) << i;
        EXPECT_EQ(row(i, L_STATE), "running") << i;
    }
    EXPECT_EQ(label("btn_startstop"), "Stop");

    // What the poller leaves in two records: errors on ch5, a bus-off on ch6.
    nb_chan *c5 = the_app.chans.at[5], *c6 = the_app.chans.at[6];
    c5->errs = zk_errs{};
    c5->errs.ewl = 1;
    c5->errs_reads++;
    c6->bus_off = 1;
    (void)c6->ops.stop(c6);
    the_app.gui.ops.refresh_info_panel(&the_app);   // the status tick
    EXPECT_EQ(row(5, L_ERRORS), "EWL");
    EXPECT_EQ(row(6, L_STATE), "bus-off");
    EXPECT_FALSE(lit("ind_ewl")) << "the main channel saw none";
    select_row(5);
    EXPECT_TRUE(lit("ind_ewl"));
    gtk_button_clicked(GTK_BUTTON(find_by_name(nb_mainwin, "btn_clear_errors")));
    EXPECT_EQ(row(5, L_ERRORS), "");
    select_row(6);
    EXPECT_EQ(label("btn_startstop"), "Start");
    EXPECT_FALSE(lit("ind_ewl"));

    gtk_button_clicked(GTK_BUTTON(find_by_name(nb_mainwin, "btn_stop_all")));
    for (int i = 0; i < 8; i++)
        EXPECT_EQ(the_app.chans.at[i]->running, 0) << i;
    EXPECT_EQ(label("btn_startstop"), "Start");
    select_row(0);
    EXPECT_EQ(label("btn_startstop"), "Start");
    EXPECT_EQ(the_app.chans.selected, 0);
}

}  // namespace
