// The message boxes as the user sees them: modal, centred, one OK button,
// the text shown literally or formatted, the right kind of box.
#include <gtest/gtest.h>
#include <gtk/gtk.h>

#include <string>

#include "app/messages.h"
#include "nimbrel/nimbrel.h"
#include "zelk.h"
#include "gui_driver.h"

namespace {

struct Shown {
    std::string text;
    GtkMessageType type = GTK_MESSAGE_OTHER;
    bool modal = false;
    bool parentless = false;
    GtkWindowPosition position = GTK_WIN_POS_NONE;
    int buttons = 0;
    bool ok_button = false;
};

// Runs show() with a driver that inspects the box and presses OK.
Shown shown_by(const std::function<void()> &show)
{
    Shown s;
    nbtest::DialogDriver driver;
    driver.then([&s](GtkDialog *d) {
        GtkWidget *w = GTK_WIDGET(d);
        s.text = nbtest::message_text(w);
        g_object_get(w, "message-type", &s.type, "window-position", &s.position, NULL);
        s.modal = gtk_window_get_modal(GTK_WINDOW(w));
        s.parentless = gtk_window_get_transient_for(GTK_WINDOW(w)) == nullptr;
        GList *kids = gtk_container_get_children(GTK_CONTAINER(gtk_dialog_get_action_area(d)));
        s.buttons = (int)g_list_length(kids);
        g_list_free(kids);
        GtkWidget *ok = gtk_dialog_get_widget_for_response(d, GTK_RESPONSE_OK);
        s.ok_button = ok != nullptr;
        nbtest::dialog_respond(d, GTK_RESPONSE_OK);
        return true;
    });
    show();
    EXPECT_TRUE(driver.done());
    EXPECT_TRUE(driver.unexpected().empty());
    return s;
}

int message_boxes_left()
{
    int n = 0;
    GList *tops = gtk_window_list_toplevels();
    for (GList *l = tops; l; l = l->next)
        if (GTK_IS_MESSAGE_DIALOG(l->data))
            n++;
    g_list_free(tops);
    return n;
}

TEST(MessageBox, CommonFormOfEveryBox)
{
    Shown s = shown_by([] { nb_message_info("%d frames", 3); });
    EXPECT_EQ(s.text, "3 frames");
    EXPECT_EQ(s.type, GTK_MESSAGE_INFO);
    EXPECT_TRUE(s.modal);
    EXPECT_TRUE(s.parentless);
    EXPECT_EQ(s.position, GTK_WIN_POS_CENTER);
    EXPECT_EQ(s.buttons, 1);
    EXPECT_TRUE(s.ok_button);
    nbtest::pump();
    EXPECT_EQ(message_boxes_left(), 0);   // destroyed after the answer
}

TEST(MessageBox, KindsAndLiteralPercentSigns)
{
    Shown s = shown_by([] { nb_message_warn("load %d%%", 80); });
    EXPECT_EQ(s.text, "load 80%");
    EXPECT_EQ(s.type, GTK_MESSAGE_WARNING);
    s = shown_by([] { nb_message_error("%s", "bus-off"); });
    EXPECT_EQ(s.text, "bus-off");
    EXPECT_EQ(s.type, GTK_MESSAGE_ERROR);
    s = shown_by([] { nb_warn("100% %s %d"); });
    EXPECT_EQ(s.text, "100% %s %d");
    EXPECT_EQ(s.type, GTK_MESSAGE_WARNING);
    s = shown_by([] { nb_error("ZELK library initialization failed\n"); });
    EXPECT_EQ(s.text, "ZELK library initialization failed\n");
    EXPECT_EQ(s.type, GTK_MESSAGE_ERROR);
    s = shown_by([] { show_message(1, "50%"); });
    EXPECT_EQ(s.type, GTK_MESSAGE_WARNING);
    s = shown_by([] { show_message(3, "50%"); });
    EXPECT_EQ(s.type, GTK_MESSAGE_ERROR);
}

TEST(MessageBox, LibraryErrorNamesTheCode)
{
    char desc[512] = "";
    ZkStrError(ZK_E_NOTSTARTED, desc, sizeof desc);
    Shown s = shown_by([] { lib_error_message("can not reset CAN controller", ZK_E_NOTSTARTED); });
    EXPECT_EQ(s.text, std::string("can not reset CAN controller: ") + desc);
    EXPECT_EQ(s.type, GTK_MESSAGE_ERROR);
    EXPECT_EQ(s.buttons, 1);
}

TEST(MessageBox, LongFormattedTextIsCut)
{
    std::string longtext(3000, 'q');
    Shown s = shown_by([&] { nb_message_info("%s", longtext.c_str()); });
    EXPECT_EQ(s.text, std::string(1022, 'q'));
}

}  // namespace
