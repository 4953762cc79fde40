// The channel chooser and the Load Session dialog: the list, the
// selection rules, confirmation, and the outcomes that end the process.
#include <locale.h>
#include <vector>
#include <stdio.h>
#include <string.h>

#include "gui_fixture.h"

using namespace nbtest;

namespace {

class GuiChooser : public GuiTest {
protected:
    const char *boards() const override { return boards_; }
    const char *boards_ = "0=sim:channels=2,busy=0,traffic=none";

    void SetUp() override
    {
        GTEST_FLAG_SET(death_test_style, "threadsafe");
        GuiTest::SetUp();
        desktop_ = make_temp_dir("desktop");
        g_strlcpy(the_app.session.desktop_dir, desktop_.c_str(),
                  sizeof the_app.session.desktop_dir);
    }

    std::string desktop_;
};

// The chooser's pieces while its dialog is up.
struct Shown {
    GtkTreeView *view;
    GtkTreeModel *model;
    GtkTreeSelection *sel;
    explicit Shown(GtkDialog *d)
    {
        view = GTK_TREE_VIEW(find_by_name(GTK_WIDGET(d), "chooser_view"));
        model = gtk_tree_view_get_model(view);
        sel = gtk_tree_view_get_selection(view);
    }
    // Path of the selected row, "" when none.
    std::string selected() const
    {
        GtkTreeIter iter;
        GtkTreeModel *m = nullptr;
        if (!gtk_tree_selection_get_selected(sel, &m, &iter))
            return "";
        gchar *s = gtk_tree_model_get_string_from_iter(m, &iter);
        std::string out = s;
        g_free(s);
        return out;
    }
    void click(const char *path)
    {
        GtkTreePath *p = gtk_tree_path_new_from_string(path);
        gtk_tree_selection_select_path(sel, p);
        gtk_tree_path_free(p);
    }
    void activate(const char *path)
    {
        GtkTreePath *p = gtk_tree_path_new_from_string(path);
        gtk_tree_view_row_activated(view, p, gtk_tree_view_get_column(view, 0));
        gtk_tree_path_free(p);
    }
    int number(const char *path) { return atoi(cell_text(model, path, 1).c_str()); }
};

void select_radio(GtkDialog *d, const char *name)
{
    gtk_toggle_button_set_active(GTK_TOGGLE_BUTTON(find_by_name(GTK_WIDGET(d), name)), TRUE);
}

// Stand-ins for the enumeration: no board at all, or boards without channels.
int32_t no_boards(int32_t, nb_board_info *) { return 0; }
int32_t one_board(int32_t start, nb_board_info *b)
{
    if (start > 0)
        return 0;
    memset(b, 0, sizeof *b);
    g_strlcpy(b->b.name, "Empty board", sizeof b->b.name);
    return 1;
}
int32_t no_channels(int32_t, const nb_board_info *, nb_chan_slot *) { return 0; }

// The file name a file chooser offers; empty while its folder still loads.
std::string chooser_filename(GtkDialog *d)
{
    gchar *fn = gtk_file_chooser_get_filename(GTK_FILE_CHOOSER(d));
    std::string out = fn ? fn : "";
    g_free(fn);
    return out;
}

}  // namespace

TEST_F(GuiChooser, ListsBoardsAndPreselectsFirstFreeChannel)
{
    DialogDriver driver;
    int preselected = -1;
    driver.then([&](GtkDialog *d) {
        EXPECT_STREQ(gtk_window_get_title(GTK_WINDOW(d)), "Nimbrel, ver. 3.15");
        EXPECT_EQ(gtk_window_get_transient_for(GTK_WINDOW(d)), nullptr);
        // Sized to its content: no window manager's resize strip below it.
        EXPECT_FALSE(gtk_window_get_resizable(GTK_WINDOW(d)));
        EXPECT_NE(find_button(GTK_WIDGET(d), "Load Session"), nullptr);
        Shown s(d);
        EXPECT_EQ(child_count(s.model, nullptr), 1);
        EXPECT_EQ(cell_text(s.model, "0", 0), "ZELK simulated CAN");
        EXPECT_EQ(cell_text(s.model, "0", 1), "");
        EXPECT_EQ(cell_text(s.model, "0", 3), "SIM-0");
        EXPECT_EQ(child_count(s.model, "0"), 2);
        EXPECT_EQ(cell_text(s.model, "0:0", 0), "channel");
        EXPECT_EQ(cell_text(s.model, "0:0", 2), "busy");
        EXPECT_EQ(cell_text(s.model, "0:1", 2), "free");
        EXPECT_EQ(cell_text(s.model, "0:1", 3), "");
        EXPECT_EQ(s.selected(), "0:1");
        // Recorded before the user does anything.
        preselected = the_app.chan.number;
        EXPECT_EQ(preselected, s.number("0:1"));

        // Neither the board row nor the busy channel can take the selection.
        s.click("0");
        EXPECT_EQ(s.selected(), "0:1");
        s.click("0:0");
        EXPECT_EQ(s.selected(), "0:1");
        EXPECT_EQ(the_app.chan.number, preselected);
        dialog_respond(d, GTK_RESPONSE_OK);
        return true;
    });
    the_app.gui.ops.choose_channel(&the_app);
    EXPECT_TRUE(driver.done());
    EXPECT_EQ(the_app.chan.number, preselected);
    EXPECT_EQ(the_app.chan.frame_format, 6) << "both formats unless another is chosen";
    EXPECT_STREQ(the_app.chan.board.b.name, "ZELK simulated CAN");
    EXPECT_STREQ(the_app.chan.board.serial, "SIM-0");
    EXPECT_EQ(the_app.mode, 0);
}

// What the view shows in a cell: its renderer's text after the column
// has set it for the row.
std::string shown_text(GtkTreeView *view, const char *path, int column)
{
    GtkTreeViewColumn *col = gtk_tree_view_get_column(view, column);
    GtkTreeModel *model = gtk_tree_view_get_model(view);
    GtkTreeIter iter;
    if (!gtk_tree_model_get_iter_from_string(model, &iter, path))
        return "<no row>";
    gtk_tree_view_column_cell_set_cell_data(col, model, &iter, FALSE, FALSE);
    GList *cells = gtk_cell_layout_get_cells(GTK_CELL_LAYOUT(col));
    gchar *text = nullptr;
    g_object_get(cells->data, "text", &text, nullptr);
    g_list_free(cells);
    std::string out = text ? text : "";
    g_free(text);
    return out;
}

// In German the channel rows read in German; the selection rules, which
// compare the model's own words, work as before.
TEST_F(GuiChooser, ChannelRowsReadInGerman)
{
    const std::string locales = stage_dir() + "/share/locale";
    const std::string locale_was = setlocale(LC_ALL, nullptr);
    setenv("LANGUAGE", "de", 1);
    ASSERT_NE(setlocale(LC_ALL, "C.UTF-8"), nullptr);
    bindtextdomain("nimbrel", locales.c_str());
    bind_textdomain_codeset("nimbrel", "UTF-8");
    gchar *was = g_strdup(textdomain(nullptr));
    textdomain("nimbrel");
    std::vector<std::string> shown;
    DialogDriver driver;
    driver.then([&](GtkDialog *d) {
        Shown s(d);
        shown = {shown_text(s.view, "0", 0), shown_text(s.view, "0:0", 0), shown_text(s.view, "0:0", 2),
                 shown_text(s.view, "0:1", 2)};
        s.click("0:0");
        dialog_respond(d, GTK_RESPONSE_OK);
        return true;
    });
    the_app.gui.ops.choose_channel(&the_app);
    textdomain(was);
    g_free(was);
    unsetenv("LANGUAGE");
    setlocale(LC_ALL, locale_was.c_str());
    EXPECT_EQ(shown, (std::vector<std::string>{"ZELK simulated CAN", "Kanal", "belegt", "frei"}));
    EXPECT_EQ(the_app.chan.number, 1) << "the busy channel is never taken";
}

class GuiChooserBoards : public GuiChooser {
protected:
    void SetUp() override
    {
        boards_ = "0=sim:channels=2,busy=0/1,traffic=none;"
                  "2=sim:channels=3,busy=1,name=Second,serial=S2,traffic=none";
        GuiChooser::SetUp();
    }
};

TEST_F(GuiChooserBoards, SeveralBoardsWithGapsAndDoubleClick)
{
    DialogDriver driver;
    int chosen = -1;
    driver.then([&](GtkDialog *d) {
        Shown s(d);
        EXPECT_EQ(child_count(s.model, nullptr), 2);
        EXPECT_EQ(cell_text(s.model, "1", 0), "Second");
        EXPECT_EQ(cell_text(s.model, "1", 3), "S2");
        EXPECT_EQ(child_count(s.model, "0"), 2);
        EXPECT_EQ(child_count(s.model, "1"), 3);
        EXPECT_EQ(cell_text(s.model, "1:0", 2), "free");
        EXPECT_EQ(cell_text(s.model, "1:1", 2), "busy");
        EXPECT_EQ(cell_text(s.model, "1:2", 2), "free");
        // Every channel of the first board is busy: the second board's first.
        EXPECT_EQ(s.selected(), "1:0");
        EXPECT_EQ(the_app.chan.number, s.number("1:0"));

        // A busy channel's double click does nothing.
        s.activate("1:1");
        s.activate("0:0");
        s.activate("1");
        EXPECT_TRUE(gtk_widget_get_mapped(GTK_WIDGET(d)));
        EXPECT_EQ(s.selected(), "1:0");

        // A free one's confirms at once with the format chosen now.
        select_radio(d, "radio_ext");
        chosen = s.number("1:2");
        s.activate("1:2");
        return true;
    });
    the_app.gui.ops.choose_channel(&the_app);
    EXPECT_TRUE(driver.done());
    EXPECT_EQ(the_app.chan.number, chosen);
    EXPECT_EQ(the_app.chan.frame_format, 4);
    EXPECT_STREQ(the_app.chan.board.b.name, "Second");
    EXPECT_STREQ(the_app.chan.board.serial, "S2");
}

TEST_F(GuiChooserBoards, FrameFormatFromRadioButtons)
{
    DialogDriver driver;
    driver.then([](GtkDialog *d) {
        select_radio(d, "radio_std");
        Shown(d).click("1:2");
        dialog_respond(d, GTK_RESPONSE_OK);
        return true;
    });
    the_app.gui.ops.choose_channel(&the_app);
    EXPECT_EQ(the_app.chan.frame_format, 2);
    EXPECT_STREQ(the_app.chan.board.b.name, "Second");
}

// The real enumeration, with channel 4 on an adapter that can do CAN FD.
int32_t (*real_chan_next)(int32_t, const nb_board_info *, nb_chan_slot *);
int32_t fd_on_four(int32_t start, const nb_board_info *b, nb_chan_slot *out)
{
    int32_t next = real_chan_next(start, b, out);
    out->fd_capable = next && out->number == 4;
    return next;
}

// CAN FD is chosen beside the frame format, only for a channel whose
// adapter can do it; another channel's selection puts it back to classic.
TEST_F(GuiChooserBoards, CanFdOnlyForAChannelThatCanDoIt)
{
    real_chan_next = the_app.chan.ops.chan_next;
    the_app.chan.ops.chan_next = fd_on_four;
    the_app.chan.fd = NB_FD_ISO;   /* from an earlier pass: the chooser decides */
    DialogDriver driver;
    driver.then([](GtkDialog *d) {
        Shown s(d);
        GtkWidget *fd = find_by_name(GTK_WIDGET(d), "fd_combo");
        EXPECT_EQ(s.number("1:0"), 2);
        EXPECT_FALSE(gtk_widget_get_sensitive(fd));
        s.click("1:2");
        EXPECT_TRUE(gtk_widget_get_sensitive(fd));
        gtk_combo_box_set_active(GTK_COMBO_BOX(fd), NB_FD_NON_ISO);
        s.click("1:0");
        EXPECT_FALSE(gtk_widget_get_sensitive(fd));
        EXPECT_EQ(gtk_combo_box_get_active(GTK_COMBO_BOX(fd)), (int)NB_FD_OFF);
        s.click("1:2");
        gtk_combo_box_set_active(GTK_COMBO_BOX(fd), NB_FD_ISO);
        select_radio(d, "radio_std");
        dialog_respond(d, GTK_RESPONSE_OK);
        return true;
    });
    the_app.gui.ops.choose_channel(&the_app);
    EXPECT_EQ(the_app.chan.number, 4);
    EXPECT_EQ(the_app.chan.fd, NB_FD_ISO);
    EXPECT_EQ(the_app.chan.frame_format, 2);

    driver.then([](GtkDialog *d) {
        dialog_respond(d, GTK_RESPONSE_OK);   /* channel 2: classic */
        return true;
    });
    the_app.gui.ops.choose_channel(&the_app);
    EXPECT_EQ(the_app.chan.number, 2);
    EXPECT_EQ(the_app.chan.fd, NB_FD_OFF);
    the_app.chan.ops.chan_next = real_chan_next;
}

// The CAN mode starts as the channel's last session left it: an FD
// session's channel opens FD again on OK.
TEST_F(GuiChooserBoards, CanModeStartsFromTheChannelsLastSession)
{
    static nb_session ses;
    ses = the_app.session;
    the_app.session.ops.make_paths(&ses, 4);
    ASSERT_NE('\0', ses.auto_file[0]);
    gchar *dir = g_path_get_dirname(ses.auto_file);
    ASSERT_EQ(0, g_mkdir_with_parents(dir, 0700));
    g_free(dir);
    ASSERT_TRUE(write_file(ses.auto_file, "[Nimbrel]\nFD=NON-ISO\nBaud=500\nDataRate=2000\n"));
    real_chan_next = the_app.chan.ops.chan_next;
    the_app.chan.ops.chan_next = fd_on_four;
    DialogDriver driver;
    driver.then([](GtkDialog *d) {
        Shown s(d);
        GtkWidget *fd = find_by_name(GTK_WIDGET(d), "fd_combo");
        s.click("1:2");
        EXPECT_EQ(gtk_combo_box_get_active(GTK_COMBO_BOX(fd)), (int)NB_FD_NON_ISO);
        s.click("1:0");
        EXPECT_EQ(gtk_combo_box_get_active(GTK_COMBO_BOX(fd)), (int)NB_FD_OFF);
        s.activate("1:2");
        return true;
    });
    the_app.gui.ops.choose_channel(&the_app);
    EXPECT_EQ(the_app.chan.number, 4);
    EXPECT_EQ(the_app.chan.fd, NB_FD_NON_ISO);
    the_app.chan.ops.chan_next = real_chan_next;
}

class GuiChooserAllBusy : public GuiChooser {
protected:
    void SetUp() override
    {
        boards_ = "0=sim:channels=2,busy=0/1,traffic=none";
        GuiChooser::SetUp();
    }
};

TEST_F(GuiChooserAllBusy, NothingSelectableAndOkKeepsNumber)
{
    the_app.chan.number = 0;
    DialogDriver driver;
    driver.then([](GtkDialog *d) {
        Shown s(d);
        EXPECT_EQ(s.selected(), "");
        s.click("0:1");
        s.click("0");
        EXPECT_EQ(s.selected(), "");
        dialog_respond(d, GTK_RESPONSE_OK);
        return true;
    });
    the_app.gui.ops.choose_channel(&the_app);
    EXPECT_EQ(the_app.chan.number, 0);
}

TEST_F(GuiChooser, LoadSessionButtonOpensFileDialog)
{
    // The channel's usual session file lies on the desktop: it is offered.
    DialogDriver driver;
    std::string usual;
    driver.then([&](GtkDialog *d) {
        usual = desktop_ + "/nbses-ch" + std::to_string(the_app.chan.number) + ".nbs";
        EXPECT_TRUE(write_file(usual, "[Nimbrel]\nBaud=250\n"));
        dialog_respond(d, GTK_RESPONSE_APPLY);
        return true;
    });
    std::string offered;
    driver.then([&](GtkDialog *d) {
        EXPECT_STREQ(gtk_window_get_title(GTK_WINDOW(d)), "Load Session from File");
        EXPECT_EQ(gtk_window_get_transient_for(GTK_WINDOW(d)), nullptr);
        GtkFileChooser *fc = GTK_FILE_CHOOSER(d);
        EXPECT_EQ(gtk_file_chooser_get_action(fc), GTK_FILE_CHOOSER_ACTION_OPEN);
        GSList *filters = gtk_file_chooser_list_filters(fc);
        EXPECT_EQ(g_slist_length(filters), 2u);
        g_slist_free(filters);
        offered = chooser_filename(d);
        if (offered.empty())
            return false;   // ask again once the folder is there
        dialog_respond(d, GTK_RESPONSE_ACCEPT);
        return true;
    });
    the_app.gui.ops.choose_channel(&the_app);
    EXPECT_TRUE(driver.done());
    EXPECT_EQ(offered, usual);
    EXPECT_EQ(the_app.mode, 1);
    EXPECT_EQ(std::string(the_app.session.load_file), usual);
}

TEST_F(GuiChooser, LoadSessionDialogTakesOnlyAFileThatReads)
{
    the_app.chan.number = 3;
    g_strlcpy(the_app.session.load_file, "/kept.nbs", sizeof the_app.session.load_file);
    DialogDriver driver;
    driver.respond(GTK_RESPONSE_CANCEL);
    EXPECT_EQ(choose_session_file(&the_app), 0);
    EXPECT_EQ(the_app.mode, 0);
    EXPECT_STREQ(the_app.session.load_file, "/kept.nbs");

    // A file that does not parse is refused with the reason and the dialog
    // stays for another pick; a file in another folder is taken as named.
    std::string dir = make_temp_dir("other");
    std::string bad = dir + "/bad.nbs", good = dir + "/bench.nbs";
    ASSERT_TRUE(write_file(bad, "[Main]\n"));
    ASSERT_TRUE(write_file(good, "[Nimbrel]\nChan=1\nBaud=125\n"));
    driver.then(nbtest::choose_path(bad));
    driver.respond(GTK_RESPONSE_OK);
    driver.then(nbtest::choose_path(good));
    EXPECT_EQ(choose_session_file(&the_app), 1);
    ASSERT_EQ(driver.seen().size(), 4u);
    EXPECT_EQ(driver.seen()[2].text, "Can not load session from file \"" + bad +
                                          "\": unknown section at line 1: unrecognized section");
    EXPECT_EQ(the_app.mode, 1);
    EXPECT_EQ(std::string(the_app.session.load_file), good);
    // Only read: nothing of it is in force before the next pass.
    EXPECT_EQ(the_app.chan.number, 3);
    EXPECT_EQ(the_app.chan.baud_index, 7);
}

// The outcomes that end the program: the chooser says which and shows
// nothing itself; main shows the message and ends.
TEST_F(GuiChooser, CancelClosingOrNoSessionFileEndAsCancelled)
{
    {
        DialogDriver driver;
        driver.respond(GTK_RESPONSE_CANCEL);
        EXPECT_EQ(the_app.gui.ops.choose_channel(&the_app), NB_CHOICE_CANCELLED);
    }
    {
        DialogDriver driver;
        driver.respond(GTK_RESPONSE_DELETE_EVENT);
        EXPECT_EQ(the_app.gui.ops.choose_channel(&the_app), NB_CHOICE_CANCELLED);
    }
    {
        DialogDriver driver;
        driver.respond(GTK_RESPONSE_APPLY);
        driver.respond(GTK_RESPONSE_CANCEL);
        EXPECT_EQ(the_app.gui.ops.choose_channel(&the_app), NB_CHOICE_CANCELLED);
        EXPECT_TRUE(driver.done());
    }
    EXPECT_EQ(the_app.mode, 0);
    EXPECT_STREQ(the_app.end_text, "");
}

TEST_F(GuiChooser, NoBoardOrNoChannelEndWithTheMessageForMain)
{
    const char *text = "No CAN channel is detected.\nMay be all channels are busy or\nYou have no "
                       "CAN interface installed.\nCheck your ZELK library installation.";
    DialogDriver driver;
    the_app.chan.ops.board_next = no_boards;
    EXPECT_EQ(the_app.gui.ops.choose_channel(&the_app), NB_CHOICE_NO_CHANNEL);
    EXPECT_STREQ(the_app.end_text, text);
    the_app.end_text[0] = '\0';
    the_app.chan.ops.board_next = one_board;
    the_app.chan.ops.chan_next = no_channels;
    EXPECT_EQ(the_app.gui.ops.choose_channel(&the_app), NB_CHOICE_NO_CHANNEL);
    EXPECT_STREQ(the_app.end_text, text);
    EXPECT_TRUE(driver.seen().empty()) << "no dialog before main shows the message";
}
