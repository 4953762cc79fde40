// Hexadecimal spin buttons: what typed text becomes, and how values show.
#include <gtest/gtest.h>
#include <gtk/gtk.h>

#include "app/nb_app.h"
#include "dialog_fixture.h"

namespace {

struct HexSpin {
    GtkWidget *spin;
    explicit HexSpin(const char *format, double upper = 255)
    {
        GtkObject *adj = gtk_adjustment_new(0, 0, upper, 1, 10, 0);
        spin = gtk_spin_button_new(GTK_ADJUSTMENT(adj), 1, 0);
        g_object_ref_sink(spin);
        gtk_spin_button_set_update_policy(GTK_SPIN_BUTTON(spin), GTK_UPDATE_IF_VALID);
        g_signal_connect(spin, "output", G_CALLBACK(hex_spin_output), const_cast<char *>(format));
        g_signal_connect(spin, "input", G_CALLBACK(hex_spin_input), nullptr);
    }
    ~HexSpin()
    {
        gtk_widget_destroy(spin);
        g_object_unref(spin);
    }
    void set(double v) { gtk_spin_button_set_value(GTK_SPIN_BUTTON(spin), v); }
    int value() const { return gtk_spin_button_get_value_as_int(GTK_SPIN_BUTTON(spin)); }
};

TEST(HexSpin, ShowsValueThroughFormat)
{
    HexSpin reg("0x%.2X");
    reg.set(0x1C);
    EXPECT_EQ(nbtest::text_of(reg.spin), "0x1C");
    reg.set(3);
    EXPECT_EQ(nbtest::text_of(reg.spin), "0x03");

    HexSpin wide("0x%.8X", 536870911);
    wide.set(0x7FE);
    EXPECT_EQ(nbtest::text_of(wide.spin), "0x000007FE");
    wide.set(536870911);
    EXPECT_EQ(nbtest::text_of(wide.spin), "0x1FFFFFFF");
}

TEST(HexSpin, TypedHexAndDecimalParse)
{
    struct Case {
        const char *typed;
        int value;
    };
    // "0x" prefix or a letter a-f: hexadecimal; digits only: decimal.
    const Case cases[] = {
        {"0x1C", 0x1C}, {"0X1c", 0x1C}, {"1c", 0x1C}, {"FF", 0xFF}, {"12", 12},
        {"  0x2f  ", 0x2F}, {"0", 0}, {"255", 255}, {"0x00", 0}, {"007", 7},
    };
    HexSpin reg("0x%.2X");
    for (const Case &c : cases) {
        reg.set(0x55);
        nbtest::type_into(reg.spin, c.typed);
        EXPECT_EQ(reg.value(), c.value) << "typed \"" << c.typed << "\"";
    }
    // What the output shows can be typed back as it stands.
    reg.set(0xA7);
    std::string shown = nbtest::text_of(reg.spin);
    reg.set(1);
    nbtest::type_into(reg.spin, shown.c_str());
    EXPECT_EQ(reg.value(), 0xA7);
}

TEST(HexSpin, BadOrOutOfRangeTextKeepsPreviousValue)
{
    const char *const bad[] = {
        "", "   ", "0x", "zz", "1g", "-1", "+5", "1.5", "0x1C0", "256", "0x100",
        "99999999999999999999999999", "0xFFFFFFFFFFFFFFFFFFFF", "12 34",
    };
    HexSpin reg("0x%.2X");
    for (const char *typed : bad) {
        reg.set(0x42);
        nbtest::type_into(reg.spin, typed);
        EXPECT_EQ(reg.value(), 0x42) << "typed \"" << typed << "\"";
        EXPECT_EQ(nbtest::text_of(reg.spin), "0x42") << "typed \"" << typed << "\"";
    }
}

TEST(HexSpin, WideValuesParse)
{
    HexSpin wide("0x%.8X", 536870911);
    nbtest::type_into(wide.spin, "0x1FFFFFFF");
    EXPECT_EQ(wide.value(), 0x1FFFFFFF);
    nbtest::type_into(wide.spin, "0x20000000");
    EXPECT_EQ(wide.value(), 0x1FFFFFFF);
    nbtest::type_into(wide.spin, "123");
    EXPECT_EQ(wide.value(), 123);
}

}  // namespace
