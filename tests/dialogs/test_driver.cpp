// The in-process dialog driver itself: a dialog that nobody answers ends
// at the driver's deadline with a failure instead of hanging the test.
#include <gtest/gtest-spi.h>
#include <gtest/gtest.h>
#include <gtk/gtk.h>

#include "gui_driver.h"
#include "test_env.h"

namespace {

GtkWidget *modal_dialog()
{
    return gtk_dialog_new_with_buttons("Driver test", nullptr, GTK_DIALOG_MODAL, GTK_STOCK_OK,
                                       GTK_RESPONSE_OK, nullptr);
}

// The same dialog run again after the driver answered it once.
void run_again_after_answer()
{
    nbtest::DialogDriver driver(300);
    driver.respond(GTK_RESPONSE_OK);
    GtkWidget *d = modal_dialog();
    EXPECT_EQ(gtk_dialog_run(GTK_DIALOG(d)), GTK_RESPONSE_OK);
    EXPECT_EQ(gtk_dialog_run(GTK_DIALOG(d)), GTK_RESPONSE_DELETE_EVENT);
    gtk_widget_destroy(d);
}

// An action that keeps waiting for something that never comes.
void action_never_answers()
{
    nbtest::DialogDriver driver(300);
    driver.then([](GtkDialog *) { return false; });
    GtkWidget *d = modal_dialog();
    EXPECT_EQ(gtk_dialog_run(GTK_DIALOG(d)), GTK_RESPONSE_DELETE_EVENT);
    gtk_widget_destroy(d);
    EXPECT_TRUE(driver.done());
}

TEST(DialogDriver, UnansweredDialogsFailAtTheDeadline)
{
    EXPECT_NONFATAL_FAILURE(run_again_after_answer(), "was run again and left unanswered");
    EXPECT_NONFATAL_FAILURE(action_never_answers(), "stayed unanswered");
}

// A chooser that opens in the home folder, one of its shortcuts, gets the
// file at the moment its first folder load ends, when it has just started
// to activate that shortcut once more: what it gives once that late
// activation has landed, and what the driver answers with.
struct LateActivation {
    int changes = 0;
    std::string entered;
    static void on_change(GtkFileChooser *fc, gpointer self)
    {
        auto *t = static_cast<LateActivation *>(self);
        if (++t->changes == 1 && !t->entered.empty())
            nbtest::enter_path(GTK_DIALOG(fc), t->entered);
    }
};

TEST(DialogDriver, FileChoosersTakeTypedPathsWhateverTheirFolderLoadsDo)
{
    for (GtkFileChooserAction action :
         {GTK_FILE_CHOOSER_ACTION_SAVE, GTK_FILE_CHOOSER_ACTION_OPEN}) {
        GtkWidget *d = gtk_file_chooser_dialog_new("Chooser test", nullptr, action,
                                                   GTK_STOCK_CANCEL, GTK_RESPONSE_CANCEL,
                                                   GTK_STOCK_OK, GTK_RESPONSE_ACCEPT, nullptr);
        gtk_window_set_modal(GTK_WINDOW(d), TRUE);
        gtk_file_chooser_set_current_folder(GTK_FILE_CHOOSER(d), g_get_home_dir());
        LateActivation late;
        late.entered = "/dev/full";
        g_signal_connect(d, "current-folder-changed", G_CALLBACK(LateActivation::on_change),
                         &late);
        gtk_widget_show_all(d);
        ASSERT_TRUE(nbtest::wait_until([&] { return late.changes >= 2; }))
            << "the home shortcut was not activated again";
        if (action == GTK_FILE_CHOOSER_ACTION_SAVE) {
            EXPECT_EQ("/dev/full", nbtest::chosen_file(GTK_DIALOG(d)));
        }
        {
            nbtest::DialogDriver driver;
            driver.then(nbtest::choose_path("/dev/full", GTK_RESPONSE_ACCEPT, false));
            EXPECT_EQ(GTK_RESPONSE_ACCEPT, gtk_dialog_run(GTK_DIALOG(d)));
            EXPECT_EQ("/dev/full", nbtest::chosen_file(GTK_DIALOG(d)));
        }
        g_signal_handlers_disconnect_by_data(d, &late);
        gtk_widget_destroy(d);
        nbtest::pump();
    }
}

}  // namespace
