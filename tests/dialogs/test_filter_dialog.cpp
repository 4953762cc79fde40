// "Set acceptance filter" dialog: the bit grid, the two spin buttons and
// the width of 11 or 29 bits.
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

GtkWidget *bit_widget(GtkDialog *d, const char *kind, int bit)
{
    char name[32];
    g_snprintf(name, sizeof name, "%s-bit-%d", kind, bit);
    return widget(d, name);
}

std::string result(GtkDialog *d, int bit) { return text_of(bit_widget(d, "result", bit)); }

bool active(GtkDialog *d, const char *kind, int bit)
{
    return gtk_toggle_button_get_active(GTK_TOGGLE_BUTTON(bit_widget(d, kind, bit)));
}

// Results of bits hi..lo, left to right, without the leading blanks.
std::string results(GtkDialog *d, int hi, int lo)
{
    std::string out;
    for (int b = hi; b >= lo; b--) {
        std::string r = result(d, b);
        EXPECT_EQ(r.size(), 2u);
        EXPECT_EQ(r[0], ' ');
        out += r.substr(1);
    }
    return out;
}

// Every check button and result of the handled bits agrees with the spins.
void expect_views_agree(GtkDialog *d, int bits)
{
    uint32_t code = (uint32_t)gtk_spin_button_get_value_as_int(
        GTK_SPIN_BUTTON(widget(d, "filter-code-spin")));
    uint32_t mask = (uint32_t)gtk_spin_button_get_value_as_int(
        GTK_SPIN_BUTTON(widget(d, "filter-mask-spin")));
    for (int b = 0; b < bits; b++) {
        bool c = code & (1u << b), m = mask & (1u << b);
        EXPECT_EQ(active(d, "code", b), c) << "bit " << b;
        EXPECT_EQ(active(d, "mask", b), m) << "bit " << b;
        EXPECT_EQ(result(d, b), !m ? " X" : c ? " 1" : " 0") << "bit " << b;
    }
}

class FilterDialog11 : public nbtest::DialogFixture {
protected:
    uint8_t frame_format() const override { return 2; }
};

class FilterDialogBoth : public nbtest::DialogFixture {
protected:
    uint8_t frame_format() const override { return 6; }
};

class FilterDialog29 : public nbtest::DialogFixture {
protected:
    uint8_t frame_format() const override { return 4; }
};

TEST_F(FilterDialog11, GridShowsValues_MaskBitClearUpdatesSpin_CancelStillNotifies)
{
    ASSERT_GE(the_app.chan.ops.set_filter(&the_app.chan, 0x123, 0x7FF), 0);
    DialogDriver driver;
    driver.then([](GtkDialog *d) {
        EXPECT_STREQ(gtk_window_get_title(GTK_WINDOW(d)), "Set acceptance filter");
        EXPECT_FALSE(gtk_window_get_resizable(GTK_WINDOW(d)));
        EXPECT_EQ(text_of(widget(d, "filter-code-spin")), "0x00000123");
        EXPECT_EQ(text_of(widget(d, "filter-mask-spin")), "0x000007FF");
        EXPECT_EQ(results(d, 10, 0), "00100100011");
        for (int b = 11; b <= 28; b++) {
            EXPECT_EQ(result(d, b), " X") << "bit " << b;
            EXPECT_FALSE(gtk_widget_get_sensitive(bit_widget(d, "mask", b))) << "bit " << b;
            EXPECT_FALSE(gtk_widget_get_sensitive(bit_widget(d, "code", b))) << "bit " << b;
            EXPECT_FALSE(gtk_widget_get_sensitive(bit_widget(d, "result", b))) << "bit " << b;
        }
        EXPECT_TRUE(gtk_widget_get_sensitive(bit_widget(d, "mask", 10)));
        EXPECT_EQ(gtk_adjustment_get_upper(gtk_spin_button_get_adjustment(
                      GTK_SPIN_BUTTON(widget(d, "filter-mask-spin")))), 2047.0);

        // Clearing mask bit 0: the mask loses bit 0, the code keeps it.
        gtk_button_clicked(GTK_BUTTON(bit_widget(d, "mask", 0)));
        EXPECT_EQ(text_of(widget(d, "filter-mask-spin")), "0x000007FE");
        EXPECT_EQ(text_of(widget(d, "filter-code-spin")), "0x00000123");
        EXPECT_EQ(result(d, 0), " X");
        EXPECT_TRUE(active(d, "code", 0));
        expect_views_agree(d, 11);

        // A code bit clicked shows in the code value and its result.
        gtk_button_clicked(GTK_BUTTON(bit_widget(d, "code", 2)));
        EXPECT_EQ(text_of(widget(d, "filter-code-spin")), "0x00000127");
        EXPECT_EQ(result(d, 2), " 1");
        expect_views_agree(d, 11);

        // A value typed into a spin button redraws the grid.
        nbtest::type_into(widget(d, "filter-mask-spin"), "0x0F0");
        EXPECT_EQ(results(d, 10, 0), "XXX0010XXXX");
        expect_views_agree(d, 11);
        nbtest::dialog_respond(d, GTK_RESPONSE_CANCEL);
        return true;
    });
    acceptance_filter_dialog(nullptr, &the_app);
    EXPECT_TRUE(driver.unexpected().empty());
    EXPECT_EQ(the_app.chan.acc_code, 0x123u);
    EXPECT_EQ(the_app.chan.acc_mask, 0x7FFu);
    EXPECT_EQ(state_calls, 1);
    EXPECT_EQ(last_autosave, 1);
}

TEST_F(FilterDialog11, DefaultsShowZerosAndApplyOnlyOnOk)
{
    ASSERT_GE(the_app.chan.ops.set_filter(&the_app.chan, 0x5A5, 0x7F0), 0);
    DialogDriver driver;
    auto step = std::make_shared<int>(0);
    driver.then([step](GtkDialog *d) {
        if (*step == 0) {
            *step = 1;
            nbtest::dialog_respond(d, GTK_RESPONSE_REJECT);
            return false;
        }
        EXPECT_EQ(text_of(widget(d, "filter-code-spin")), "0x00000000");
        EXPECT_EQ(text_of(widget(d, "filter-mask-spin")), "0x00000000");
        EXPECT_EQ(results(d, 10, 0), "XXXXXXXXXXX");
        expect_views_agree(d, 11);
        // Nothing applied yet.
        EXPECT_EQ(the_app.chan.acc_code, 0x5A5u);
        EXPECT_EQ(the_app.chan.acc_mask, 0x7F0u);
        EXPECT_EQ(state_calls, 0);
        nbtest::dialog_respond(d, GTK_RESPONSE_OK);
        return true;
    });
    acceptance_filter_dialog(nullptr, &the_app);
    EXPECT_EQ(*step, 1);
    EXPECT_EQ(the_app.chan.acc_code, 0u);
    EXPECT_EQ(the_app.chan.acc_mask, 0u);
    EXPECT_EQ(state_calls, 1);
}

TEST_F(FilterDialog11, StoredWideMaskIsClampedToWidth)
{
    // As a session file may leave it: wider than the channel's frames.
    the_app.chan.acc_mask = 0x1FFFFFFF;
    the_app.chan.acc_code = 0x10;
    DialogDriver driver;
    driver.then([](GtkDialog *d) {
        EXPECT_EQ(text_of(widget(d, "filter-mask-spin")), "0x000007FF");
        EXPECT_EQ(results(d, 10, 0), "00000010000");
        nbtest::dialog_respond(d, GTK_RESPONSE_OK);
        return true;
    });
    acceptance_filter_dialog(nullptr, &the_app);
    EXPECT_EQ(the_app.chan.acc_mask, 0x7FFu);
    EXPECT_EQ(the_app.chan.acc_code, 0x10u);
}

TEST_F(FilterDialogBoth, BothFormatsAreLimitedToElevenBits)
{
    DialogDriver driver;
    driver.then([](GtkDialog *d) {
        nbtest::type_into(widget(d, "filter-code-spin"), "0x800");
        EXPECT_EQ(text_of(widget(d, "filter-code-spin")), "0x00000000");
        nbtest::type_into(widget(d, "filter-code-spin"), "0x7FF");
        EXPECT_EQ(text_of(widget(d, "filter-code-spin")), "0x000007FF");
        EXPECT_FALSE(gtk_widget_get_sensitive(bit_widget(d, "code", 11)));
        nbtest::dialog_respond(d, GTK_RESPONSE_OK);
        return true;
    });
    acceptance_filter_dialog(nullptr, &the_app);
    EXPECT_EQ(the_app.chan.acc_code, 0x7FFu);
}

TEST_F(FilterDialog29, ExtendedOnlyChannelTakesTwentyNineBits)
{
    DialogDriver driver;
    driver.then([](GtkDialog *d) {
        for (int b = 0; b <= 28; b++)
            EXPECT_TRUE(gtk_widget_get_sensitive(bit_widget(d, "mask", b))) << "bit " << b;
        // Typed and taken on OK without Enter.
        gtk_entry_set_text(GTK_ENTRY(widget(d, "filter-mask-spin")), "0x1FFFFFFF");
        gtk_entry_set_text(GTK_ENTRY(widget(d, "filter-code-spin")), "12345678");
        nbtest::dialog_respond(d, GTK_RESPONSE_OK);
        return true;
    });
    acceptance_filter_dialog(nullptr, &the_app);
    EXPECT_EQ(the_app.chan.acc_mask, 0x1FFFFFFFu);
    EXPECT_EQ(the_app.chan.acc_code, 12345678u);

    // The grid of the applied values, bit 28 leftmost.
    driver.then([](GtkDialog *d) {
        EXPECT_EQ(text_of(widget(d, "filter-code-spin")), "0x00BC614E");
        EXPECT_EQ(results(d, 28, 0), "00000101111000110000101001110");
        expect_views_agree(d, 29);
        gtk_button_clicked(GTK_BUTTON(bit_widget(d, "mask", 28)));
        EXPECT_EQ(text_of(widget(d, "filter-mask-spin")), "0x0FFFFFFF");
        nbtest::dialog_respond(d, GTK_RESPONSE_CANCEL);
        return true;
    });
    acceptance_filter_dialog(nullptr, &the_app);
    EXPECT_EQ(the_app.chan.acc_mask, 0x1FFFFFFFu);
    EXPECT_EQ(state_calls, 2);
}

TEST_F(FilterDialog11, FailingSetFilterKeepsValuesAndStillNotifies)
{
    ASSERT_GE(the_app.chan.ops.set_filter(&the_app.chan, 0x100, 0x700), 0);
    char lib_text[512] = "";
    ZkStrError(ZK_E_IO, lib_text, sizeof lib_text);
    DialogDriver driver;
    driver.then([](GtkDialog *d) {
        nbtest::type_into(widget(d, "filter-code-spin"), "0x0AA");
        zk_sim_fail_next("ZkSetFilter", ZK_E_IO);
        nbtest::dialog_respond(d, GTK_RESPONSE_OK);
        return true;
    });
    driver.respond(GTK_RESPONSE_OK);
    acceptance_filter_dialog(nullptr, &the_app);
    ASSERT_EQ(driver.seen().size(), 2u);
    EXPECT_EQ(driver.seen()[1].type, GTK_MESSAGE_ERROR);
    EXPECT_EQ(driver.seen()[1].text, std::string("can't set acceptance filter: ") + lib_text);
    EXPECT_EQ(the_app.chan.acc_code, 0x100u);
    EXPECT_EQ(the_app.chan.acc_mask, 0x700u);
    EXPECT_EQ(state_calls, 1);
}

}  // namespace
