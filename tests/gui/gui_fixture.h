// Common set-up of the GUI part's tests: the application object with its
// defaults, the adapter library on a chosen board list, and a recorder in
// place of state_changed.
#ifndef NBTEST_GUI_FIXTURE_H
#define NBTEST_GUI_FIXTURE_H

#include <gtest/gtest.h>
#include <stdlib.h>

#include <string>
#include <vector>

#include "app/nb_app.h"
#include "gui/gui_parts.h"
#include "gui_driver.h"
#include "test_env.h"
#include "zelk_sim.h"

namespace nbtest {

// The autosave arguments of every state_changed since the fixture began.
inline std::vector<int> &state_changes()
{
    static std::vector<int> calls;
    return calls;
}

inline void record_state_changed(nb_app *app, int autosave)
{
    state_changes().push_back(autosave);
    app->gui.ops.refresh_info_panel(app);
}

// Points the adapter library at a board list; the first call initialises
// it, later ones start it afresh (channels closed, failures cleared).
inline bool start_library(const char *boards)
{
    static bool initialised = false;
    setenv("ZELK_BOARDS", boards, 1);
    if (!initialised) {
        if (ZkInit() < 0)
            return false;
        initialised = true;
        return true;
    }
    zk_sim_reset();
    return true;
}

class GuiTest : public testing::Test {
protected:
    // The board list of the test; a simulated board with two channels and
    // a silent bus unless a test says otherwise.
    virtual const char *boards() const { return "0=sim:channels=2,traffic=none"; }

    void SetUp() override
    {
        app_init();
        the_app.ops.state_changed = record_state_changed;
        state_changes().clear();
        ASSERT_TRUE(start_library(boards())) << "ZkInit failed for " << boards();
    }

    void TearDown() override
    {
        if (nb_mainwin)
            gtk_widget_destroy(nb_mainwin);
        if (channel_open_)
            the_app.chan.ops.close(&the_app.chan);
        channel_open_ = false;
        pump();
        unsetenv("ZELK_BOARDS");
    }

    // Opens the channel as the run loop does and builds the main window.
    void open_window()
    {
        if (the_app.chan.frame_format == 0)
            the_app.chan.frame_format = 6;   /* as the chooser leaves it */
        {
            // A failing open shows its message and ends the process; say why
            // instead of waiting for an answer.
            DialogDriver driver;
            driver.then([](GtkDialog *d) {
                ADD_FAILURE() << "channel open failed: " << message_text(GTK_WIDGET(d));
                dialog_respond(d, GTK_RESPONSE_OK);
                return true;
            });
            the_app.chan.ops.open(&the_app.chan);
        }
        channel_open_ = true;
        the_app.gui.ops.build_main_window(&the_app);
        ASSERT_NE(nb_mainwin, nullptr);
    }

    bool channel_open_ = false;
};

// Text of a tree model's column at a path such as "0:3".
inline std::string cell_text(GtkTreeModel *model, const char *path, int column)
{
    GtkTreeIter iter;
    if (!gtk_tree_model_get_iter_from_string(model, &iter, path))
        return "<no row " + std::string(path) + ">";
    gchar *text = nullptr;
    gtk_tree_model_get(model, &iter, column, &text, -1);
    std::string out = text ? text : "";
    g_free(text);
    return out;
}

inline int child_count(GtkTreeModel *model, const char *path)
{
    GtkTreeIter iter;
    if (!path)
        return gtk_tree_model_iter_n_children(model, nullptr);
    if (!gtk_tree_model_get_iter_from_string(model, &iter, path))
        return -1;
    return gtk_tree_model_iter_n_children(model, &iter);
}

}  // namespace nbtest

#endif
