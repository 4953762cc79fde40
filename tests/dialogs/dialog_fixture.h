// Common set-up of the hardware-settings dialog tests: an initialised
// application object on channel 0 of a simulated board, its state_changed
// replaced by a recorder, and helpers to read and drive dialog widgets.
#ifndef NBTEST_DIALOG_FIXTURE_H
#define NBTEST_DIALOG_FIXTURE_H

#include <gtest/gtest.h>
#include <gtk/gtk.h>

#include <functional>
#include <string>

#include "app/nb_app.h"
#include "gui_driver.h"

namespace nbtest {

class DialogFixture : public ::testing::Test {
protected:
    // Board configuration used by SetUp (ZELK_BOARDS syntax).
    virtual const char *boards() const { return "0=sim:channels=2,rate=500,traffic=none"; }
    // Frame format the channel is opened with.
    virtual uint8_t frame_format() const { return 6; }

    void SetUp() override;
    void TearDown() override;

    // Calls of state_changed since SetUp, and the last autosave argument.
    static int state_calls;
    static int last_autosave;
};

// Widget of the dialog by its name; fails the test when missing.
GtkWidget *widget(GtkDialog *dialog, const char *name);
// Text shown in an entry or a label.
std::string text_of(GtkWidget *w);
// Types text into a spin button and lets it take the text, as pressing
// Enter does.
void type_into(GtkWidget *spin, const char *text);

// True once ms milliseconds have passed since the first call of the
// returned function: a deadline for driver actions that wait.
std::function<bool()> deadline_after(int ms);

}  // namespace nbtest

#endif
