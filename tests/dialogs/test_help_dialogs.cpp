// About and Quick Start dialogs. This binary supplies its own library
// version word, so that the About text can be checked for a known one.
#include <gtest/gtest.h>
#include <gtk/gtk.h>

#include <string>

#include "app/nb_app.h"
#include "gui_driver.h"
#include "test_env.h"

namespace {
uint32_t g_lib_version = 0;
}

// Takes the place of the library's version query in this process.
extern "C" uint32_t ZkGetLibVer(void) { return g_lib_version; }

namespace {

using nbtest::DialogDriver;

struct Shown {
    std::string title;
    std::string text;
    bool editable = true;
    bool cursor = true;
    GtkWrapMode wrap = GTK_WRAP_NONE;
    GtkJustification justify = GTK_JUSTIFY_FILL;
    int cursor_offset = -1;
    bool tagged = false;      // every character carries the expected tag
    bool scrolls = true;      // the text is taller than the view at the dialog's size
};

// Reads the dialog's text view, then closes the dialog with OK.
DialogDriver::Action read_view(const char *view_name, const char *tag, Shown *out)
{
    return [=](GtkDialog *d) {
        out->title = gtk_window_get_title(GTK_WINDOW(d));
        GtkWidget *view = nbtest::find_by_name(GTK_WIDGET(d), view_name);
        EXPECT_NE(view, nullptr);
        if (view) {
            GtkTextBuffer *buf = gtk_text_view_get_buffer(GTK_TEXT_VIEW(view));
            GtkTextIter a, b;
            gtk_text_buffer_get_bounds(buf, &a, &b);
            gchar *t = gtk_text_buffer_get_text(buf, &a, &b, FALSE);
            out->text = t;
            g_free(t);
            out->editable = gtk_text_view_get_editable(GTK_TEXT_VIEW(view));
            out->cursor = gtk_text_view_get_cursor_visible(GTK_TEXT_VIEW(view));
            out->wrap = gtk_text_view_get_wrap_mode(GTK_TEXT_VIEW(view));
            out->justify = gtk_text_view_get_justification(GTK_TEXT_VIEW(view));
            GtkTextIter c;
            gtk_text_buffer_get_iter_at_mark(buf, &c, gtk_text_buffer_get_insert(buf));
            out->cursor_offset = gtk_text_iter_get_offset(&c);
            // Once laid out and drawn, the whole text shows without scrolling.
            nbtest::wait_until([] { return false; }, 300);
            GtkAdjustment *adj = gtk_text_view_get_vadjustment(GTK_TEXT_VIEW(view));
            out->scrolls = adj && gtk_adjustment_get_upper(adj) > gtk_adjustment_get_page_size(adj) + 0.5;
            if (tag) {
                GtkTextTag *tg = gtk_text_tag_table_lookup(gtk_text_buffer_get_tag_table(buf), tag);
                out->tagged = tg != nullptr;
                for (GtkTextIter i = a; tg && !gtk_text_iter_is_end(&i); gtk_text_iter_forward_char(&i))
                    if (!gtk_text_iter_has_tag(&i, tg))
                        out->tagged = false;
            }
        }
        nbtest::dialog_respond(d, GTK_RESPONSE_OK);
        return true;
    };
}

TEST(AboutDialog, ShowsLibraryAndToolkitVersions)
{
    // Major 2, minor 10, patch 3; the top byte is not part of the version.
    g_lib_version = 0xAB020A03u;
    Shown shown;
    DialogDriver driver;
    driver.then(read_view("about-text", nullptr, &shown));
    about_dialog(nullptr, nullptr);
    EXPECT_TRUE(driver.done());
    EXPECT_EQ(shown.title, "About");
    EXPECT_NE(shown.text.find("\nNimbrel, ver. 3.15\n"), std::string::npos) << shown.text;
    EXPECT_NE(shown.text.find("\nusing ZELK 2.10.3\n"), std::string::npos) << shown.text;
    char gtk_line[64];
    g_snprintf(gtk_line, sizeof gtk_line, "\nUI based on GTK+ %d.%d.%d library\n", GTK_MAJOR_VERSION,
               GTK_MINOR_VERSION, GTK_MICRO_VERSION);
    EXPECT_NE(shown.text.find(gtk_line), std::string::npos) << shown.text;
    EXPECT_NE(shown.text.find("Author: The Nimbrel developers"), std::string::npos);
    EXPECT_EQ(shown.text.find("://"), std::string::npos) << "no made-up web address";
    EXPECT_FALSE(shown.editable);
    EXPECT_FALSE(shown.cursor);
    EXPECT_EQ(shown.wrap, GTK_WRAP_WORD);
    EXPECT_EQ(shown.justify, GTK_JUSTIFY_CENTER);
    EXPECT_EQ(shown.cursor_offset, 0);
    EXPECT_FALSE(shown.scrolls) << "About is not sized to its text";
    EXPECT_EQ(nbtest::find_toplevel("About"), nullptr);
}

TEST(QuickStartDialog, ShowsThreeStepsReadOnly)
{
    Shown shown;
    DialogDriver driver;
    driver.then(read_view("quickstart-text", "wide_margins", &shown));
    quick_start_dialog(nullptr, nullptr);
    EXPECT_EQ(shown.title, "Quick Start");
    EXPECT_EQ(shown.text.rfind("1)   Select \"Plugins->Configure\" menu", 0), 0u) << shown.text;
    EXPECT_NE(shown.text.find("\n\n2)   Select \"HW Settings->Bit rate\" menu to set network baud rate \n\n3)   "),
              std::string::npos);
    EXPECT_NE(shown.text.find("see the \"Nimbrel User Guide\".\n"), std::string::npos);
    EXPECT_TRUE(shown.tagged);
    EXPECT_FALSE(shown.editable);
    EXPECT_FALSE(shown.cursor);
    EXPECT_EQ(shown.wrap, GTK_WRAP_WORD);
    EXPECT_EQ(shown.justify, GTK_JUSTIFY_LEFT);
    EXPECT_EQ(shown.cursor_offset, 0);
}

}  // namespace
