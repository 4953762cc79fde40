// "Set write timeout" dialog.
#include <gtest/gtest.h>
#include <gtk/gtk.h>

#include <memory>
#include <string>

#include "app/nb_app.h"
#include "dialog_fixture.h"
#include "zelk_sim.h"

using nbtest::DialogDriver;
using nbtest::text_of;
using nbtest::widget;

namespace {

class WriteTimeoutDialog : public nbtest::DialogFixture {};

int spin_value(GtkDialog *d)
{
    return gtk_spin_button_get_value_as_int(GTK_SPIN_BUTTON(widget(d, "wtout-spin")));
}

// Opens the dialog, types text, answers OK.
void apply_typed(DialogDriver &driver, const char *typed)
{
    driver.then([typed](GtkDialog *d) {
        gtk_entry_set_text(GTK_ENTRY(widget(d, "wtout-spin")), typed);
        nbtest::dialog_respond(d, GTK_RESPONSE_OK);
        return true;
    });
    write_timeout_dialog(nullptr, &the_app);
}

TEST_F(WriteTimeoutDialog, OpensWithCurrentValue_DefaultsShowsTwentyWithoutApplying)
{
    ASSERT_EQ(the_app.chan.wtout, 20);
    ASSERT_GE(the_app.chan.ops.set_wtout(&the_app.chan, 75), 0);
    DialogDriver driver;
    auto step = std::make_shared<int>(0);
    driver.then([step](GtkDialog *d) {
        if (*step == 0) {
            EXPECT_STREQ(gtk_window_get_title(GTK_WINDOW(d)), "Set write timeout");
            EXPECT_FALSE(gtk_window_get_resizable(GTK_WINDOW(d)));
            EXPECT_EQ(spin_value(d), 75);
            EXPECT_EQ(text_of(widget(d, "wtout-spin")), "75");
            *step = 1;
            nbtest::dialog_respond(d, GTK_RESPONSE_REJECT);
            return false;
        }
        EXPECT_EQ(spin_value(d), 20);
        EXPECT_EQ(the_app.chan.wtout, 75);
        nbtest::dialog_respond(d, GTK_RESPONSE_CANCEL);
        return true;
    });
    write_timeout_dialog(nullptr, &the_app);
    EXPECT_EQ(*step, 1);
    EXPECT_EQ(the_app.chan.wtout, 75);
    // Cancel still refreshes, notifies and saves.
    EXPECT_EQ(state_calls, 1);
    EXPECT_EQ(last_autosave, 1);
}

TEST_F(WriteTimeoutDialog, RangeEndsAcceptedTooLargeDiscarded)
{
    DialogDriver driver;
    apply_typed(driver, "0");
    EXPECT_EQ(the_app.chan.wtout, 0);
    apply_typed(driver, "1000");
    EXPECT_EQ(the_app.chan.wtout, 1000);
    apply_typed(driver, "35");
    EXPECT_EQ(the_app.chan.wtout, 35);
    EXPECT_EQ(state_calls, 3);
    EXPECT_TRUE(driver.unexpected().empty());
}

TEST_F(WriteTimeoutDialog, OutOfRangeOrEmptyIsRefusedWithTheReasonAndTheDialogStays)
{
    DialogDriver driver;
    auto step = std::make_shared<int>(0);
    driver.then([step](GtkDialog *d) {
        GtkWidget *hint = widget(d, "wtout-hint");
        if (*step == 0) {
            EXPECT_EQ(text_of(hint), "From 0 to 1000 ms; the default is 20 ms.");
        } else if (*step == 1) {
            EXPECT_EQ(text_of(hint),
                      "99999 ms is not taken: the write timeout is from 0 to 1000 ms.");
        }
        if (*step == 2) {
            EXPECT_EQ(text_of(hint), "\"\" is not taken: give a whole number of ms from 0 to 1000.");
            nbtest::dialog_respond(d, GTK_RESPONSE_CANCEL);
            return true;
        }
        EXPECT_EQ(the_app.chan.wtout, 20);
        GtkWidget *spin = widget(d, "wtout-spin");
        gtk_entry_set_text(GTK_ENTRY(spin), *step == 0 ? "99999" : "");
        // Read as when the box loses the focus to OK: the text stays.
        gtk_spin_button_update(GTK_SPIN_BUTTON(spin));
        EXPECT_EQ(text_of(spin), *step == 0 ? "99999" : "");
        ++*step;
        nbtest::dialog_respond(d, GTK_RESPONSE_OK);
        return false;
    });
    write_timeout_dialog(nullptr, &the_app);
    EXPECT_EQ(*step, 2);
    EXPECT_EQ(the_app.chan.wtout, 20);
    EXPECT_EQ(state_calls, 1);
    EXPECT_TRUE(driver.unexpected().empty());
}

TEST_F(WriteTimeoutDialog, RecordsTheValueTheLibraryReportsBack)
{
    // The board rounds write timeouts up to multiples of 50 ms.
    ASSERT_GE(zk_sim_set_wtout_adjust(0, 50, 0), 0);
    DialogDriver driver;
    apply_typed(driver, "30");
    EXPECT_EQ(the_app.chan.wtout, 50);
    driver.then([](GtkDialog *d) {
        EXPECT_EQ(spin_value(d), 50);
        nbtest::dialog_respond(d, GTK_RESPONSE_CANCEL);
        return true;
    });
    write_timeout_dialog(nullptr, &the_app);
}

TEST_F(WriteTimeoutDialog, FailingSetKeepsValueAndStillNotifies)
{
    char lib_text[512] = "";
    ZkStrError(ZK_E_IO, lib_text, sizeof lib_text);
    DialogDriver driver;
    driver.then([](GtkDialog *d) {
        gtk_entry_set_text(GTK_ENTRY(widget(d, "wtout-spin")), "200");
        zk_sim_fail_next("ZkWriteTout", ZK_E_IO);
        nbtest::dialog_respond(d, GTK_RESPONSE_OK);
        return true;
    });
    driver.respond(GTK_RESPONSE_OK);
    write_timeout_dialog(nullptr, &the_app);
    ASSERT_EQ(driver.seen().size(), 2u);
    EXPECT_EQ(driver.seen()[1].type, GTK_MESSAGE_ERROR);
    EXPECT_EQ(driver.seen()[1].text, std::string("can't set write timeout: ") + lib_text);
    EXPECT_EQ(the_app.chan.wtout, 20);
    EXPECT_EQ(state_calls, 1);
}

}  // namespace
