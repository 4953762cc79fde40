// The in-process dialog driver itself: a dialog that nobody answers ends
// at the driver's deadline with a failure instead of hanging the test.
#include <gtest/gtest-spi.h>
#include <gtest/gtest.h>
#include <gtk/gtk.h>

#include "gui_driver.h"

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

}  // namespace
