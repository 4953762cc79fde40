/*
 * The Available plugins dialog, driven in-process with the recorder
 * plug-ins listed by the real manager.
 */
#include <algorithm>

#include "gui_driver.h"
#include "ses_fixture.h"
#include "test_env.h"

using namespace sestest;
using strings = std::vector<std::string>;

namespace {

class PluginsDialog : public HostTest {
protected:
    void SetUp() override
    {
        HostTest::SetUp();
        app().session.ops.make_paths(&app().session, 0);
    }
    void TearDown() override
    {
        if (tick_)
            g_source_remove(tick_);
        HostTest::TearDown();
    }
    /* What the poller does first on each 20 ms tick. */
    void start_ticks()
    {
        tick_ = g_timeout_add(20, [](gpointer) -> gboolean {
            if (!the_app.pgmgr.loadrelease)
                the_app.pgmgr.ops.pgmgr_apply_pending(&the_app);
            return TRUE;
        }, nullptr);
    }
    /* Buttons and titles of the rows, in row order. */
    static std::vector<GtkWidget *> named(GtkWidget *root, const char *name)
    {
        std::vector<GtkWidget *> out;
        GType types[] = {GTK_TYPE_LABEL, GTK_TYPE_TOGGLE_BUTTON};
        for (GType t : types)
            for (GtkWidget *w : nbtest::find_all_by_type(root, t))
                if (g_strcmp0(gtk_widget_get_name(w), name) == 0)
                    out.push_back(w);
        /* A table hands out its children newest first: sort by row. */
        auto row = [](GtkWidget *w) {
            guint top = 0;
            GtkWidget *parent = gtk_widget_get_parent(w);
            if (parent && GTK_IS_TABLE(parent))
                gtk_container_child_get(GTK_CONTAINER(parent), w, "top-attach", &top, NULL);
            return top;
        };
        std::stable_sort(out.begin(), out.end(),
                         [&](GtkWidget *a, GtkWidget *b) { return row(a) < row(b); });
        return out;
    }
    guint tick_ = 0;
};

guint rows_of(GtkWidget *table)
{
    guint rows = 0;
    g_object_get(table, "n-rows", &rows, NULL);
    return rows;
}

TEST_F(PluginsDialog, OneRowGroupPerPluginSortedByNameAndNothingToScroll)
{
    load(2);
    strings list_names;
    nb_plugin *e = nullptr;
    for (nb_plugin_node *n = app().pgmgr.ops.pgmgr_next(nullptr, &app().pgmgr, &e); n;
         n = app().pgmgr.ops.pgmgr_next(n, &app().pgmgr, &e))
        list_names.push_back(e->path);
    ASSERT_EQ(list_names.size(), 3u);
    events().clear();

    nbtest::DialogDriver driver;
    guint rows = 0;
    strings titles, tips, labels;
    std::vector<bool> active;
    double v_hidden = -1, h_hidden = -1;
    driver.then([&](GtkDialog *d) {
        GtkWidget *table = nbtest::find_by_name(GTK_WIDGET(d), "plugins-table");
        if (table)
            rows = rows_of(table);
        /* The dialog takes its content's size: no part of it is out of view. */
        GtkWidget *sw = nbtest::find_by_type(GTK_WIDGET(d), GTK_TYPE_SCROLLED_WINDOW);
        auto hidden = [](GtkAdjustment *a) {
            return gtk_adjustment_get_upper(a) - gtk_adjustment_get_page_size(a);
        };
        v_hidden = hidden(gtk_scrolled_window_get_vadjustment(GTK_SCROLLED_WINDOW(sw)));
        h_hidden = hidden(gtk_scrolled_window_get_hadjustment(GTK_SCROLLED_WINDOW(sw)));
        for (GtkWidget *l : named(GTK_WIDGET(d), "plugin-title")) {
            titles.push_back(gtk_label_get_text(GTK_LABEL(l)));
            gchar *tip = gtk_widget_get_tooltip_text(l);
            tips.push_back(tip ? tip : "");
            g_free(tip);
        }
        for (GtkWidget *b : named(GTK_WIDGET(d), "plugin-toggle")) {
            labels.push_back(gtk_button_get_label(GTK_BUTTON(b)));
            active.push_back(gtk_toggle_button_get_active(GTK_TOGGLE_BUTTON(b)));
        }
        nbtest::dialog_respond(d, GTK_RESPONSE_OK);
        return true;
    });
    plugins_dialog(nullptr, &app());

    EXPECT_EQ(driver.seen().at(0).title, "Available plugins");
    EXPECT_EQ(rows, 7u);
    EXPECT_LE(v_hidden, 0);
    EXPECT_LE(h_hidden, 0);
    ASSERT_EQ(titles.size(), 3u);
    ASSERT_EQ(labels.size(), 3u);
    strings sorted(titles);
    std::sort(sorted.begin(), sorted.end(), [](const std::string &a, const std::string &b) {
        return g_utf8_collate(a.c_str(), b.c_str()) < 0;
    });
    EXPECT_EQ(titles, sorted);
    for (size_t i = 0; i < 3; ++i) {
        const bool is_b = titles[i] == "RecB";
        const bool is_c = titles[i] == "Rec <C> & Co";
        if (is_c) {
            EXPECT_EQ(titles[i], "Rec <C> & Co");
            EXPECT_EQ(tips[i], "Author: <i>Bold</i> & sons\nUses <span> & \"quotes\"");
        } else {
            EXPECT_EQ(titles[i], is_b ? "RecB" : "RecA");
            EXPECT_EQ(tips[i], std::string("Author: Author ") + (is_b ? "B" : "A") +
                                   "\nRecords requests (" + (is_b ? "B" : "A") + ")");
        }
        EXPECT_EQ(labels[i], is_b ? "Release" : "Load   ") << i;
        EXPECT_EQ(active[i], is_b) << i;
    }
    /* Opening sent the loaded plug-in nothing; closing gave it its keys
     * (none saved yet) and saved it. */
    EXPECT_EQ(events_of("RecB"), strings{"SAVE size=8 chan=0"});
}

// A longer list than the dialog's smallest size still shows whole.
TEST_F(PluginsDialog, ALongListGrowsTheDialog)
{
    app().pgmgr.ops.pgmgr_release_all(&app().pgmgr);
    for (int i = 0; i < 8; i++)
        nbtest::write_file(dir_ + "/rec" + std::to_string(i) + ".so",
                           nbtest::read_file(plugin_path(1 + i % 3)));
    g_strlcpy(app().pgmgr.install_dir, dir_.c_str(), sizeof app().pgmgr.install_dir);
    app().pgmgr.ops.pgmgr_scan(&app().pgmgr);
    ASSERT_EQ(app().pgmgr.count, 8);

    nbtest::DialogDriver driver;
    double v_hidden = -1;
    size_t rows = 0;
    driver.then([&](GtkDialog *d) {
        GtkWidget *sw = nbtest::find_by_type(GTK_WIDGET(d), GTK_TYPE_SCROLLED_WINDOW);
        GtkAdjustment *a = gtk_scrolled_window_get_vadjustment(GTK_SCROLLED_WINDOW(sw));
        v_hidden = gtk_adjustment_get_upper(a) - gtk_adjustment_get_page_size(a);
        rows = named(GTK_WIDGET(d), "plugin-title").size();
        nbtest::dialog_respond(d, GTK_RESPONSE_OK);
        return true;
    });
    plugins_dialog(nullptr, &app());
    EXPECT_EQ(rows, 8u);
    EXPECT_LE(v_hidden, 0);
}

TEST_F(PluginsDialog, NoPluginsFoundStillRunsTheSessionSteps)
{
    app().pgmgr.ops.pgmgr_release_all(&app().pgmgr);
    g_strlcpy(app().pgmgr.install_dir, dir_.c_str(), sizeof app().pgmgr.install_dir);
    app().pgmgr.ops.pgmgr_scan(&app().pgmgr);
    ASSERT_EQ(app().pgmgr.count, 0);

    nbtest::DialogDriver driver;
    std::string text;
    size_t rows = 0;
    driver.then([&](GtkDialog *d) {
        GtkWidget *l = nbtest::find_by_name(GTK_WIDGET(d), "plugins-none");
        if (l)
            text = gtk_label_get_text(GTK_LABEL(l));
        rows = named(GTK_WIDGET(d), "plugin-title").size();
        gtk_widget_destroy(GTK_WIDGET(d));   /* closed from the window frame */
        return true;
    });
    plugins_dialog(nullptr, &app());
    EXPECT_EQ(text, "No Nimbrel plugins found. Check Nimbrel installation.\n");
    EXPECT_EQ(rows, 0u);
    EXPECT_EQ(nbtest::read_file(app().session.auto_file).substr(0, 11), "\n[Nimbrel]\n");
}

TEST_F(PluginsDialog, ToggleIsCarriedOutByTheNextTickWhileOpen)
{
    start_ticks();
    nbtest::DialogDriver driver;
    GtkWidget *button = nullptr;
    nb_plugin *a = entry(1);
    int step = 0, polls = 0;
    std::string label_after_load, label_after_release;
    driver.then([&](GtkDialog *d) {
        if (++polls > 500) {   /* 10 s: give up, do not hang */
            ADD_FAILURE() << "plug-in never followed the toggle, step " << step;
            nbtest::dialog_respond(d, GTK_RESPONSE_OK);
            return true;
        }
        if (step == 0) {
            for (GtkWidget *b : named(GTK_WIDGET(d), "plugin-toggle")) {
                /* the row of RecA: its title is the label before it */
                GtkWidget *parent = gtk_widget_get_parent(b);
                for (GtkWidget *l : named(parent, "plugin-title")) {
                    guint lt = 0, bt = 0;
                    gtk_container_child_get(GTK_CONTAINER(parent), l, "top-attach", &lt, NULL);
                    gtk_container_child_get(GTK_CONTAINER(parent), b, "top-attach", &bt, NULL);
                    if (lt == bt && g_strcmp0(gtk_label_get_text(GTK_LABEL(l)), "RecA") == 0)
                        button = b;
                }
            }
            if (!button) {
                ADD_FAILURE() << "no button for RecA";
                nbtest::dialog_respond(d, GTK_RESPONSE_OK);
                return true;
            }
            gtk_button_clicked(GTK_BUTTON(button));
            label_after_load = gtk_button_get_label(GTK_BUTTON(button));
            step = 1;
            return false;
        }
        if (step == 1) {
            if (!a->loaded)
                return false;
            gtk_button_clicked(GTK_BUTTON(button));
            label_after_release = gtk_button_get_label(GTK_BUTTON(button));
            step = 2;
            return false;
        }
        if (a->loaded)
            return false;
        nbtest::dialog_respond(d, GTK_RESPONSE_OK);
        return true;
    });
    plugins_dialog(nullptr, &app());
    EXPECT_EQ(label_after_load, "Release");
    EXPECT_EQ(label_after_release, "Load   ");
    /* Its keys are asked for before it goes, to be kept. */
    EXPECT_EQ(events_of("RecA"), (strings{"INIT", "SAVE size=8 chan=0", "RELEASE"}));
}

TEST_F(PluginsDialog, TwoClicksBeforeATickLeaveTheReleaseOnly)
{
    nbtest::DialogDriver driver;
    driver.then([&](GtkDialog *d) {
        for (GtkWidget *b : named(GTK_WIDGET(d), "plugin-toggle")) {
            gtk_button_clicked(GTK_BUTTON(b));
            gtk_button_clicked(GTK_BUTTON(b));
        }
        nbtest::dialog_respond(d, GTK_RESPONSE_OK);
        return true;
    });
    plugins_dialog(nullptr, &app());
    for (int v = 1; v <= 3; ++v)
        EXPECT_EQ(entry(v)->pending, 2) << v;
    EXPECT_EQ(app().pgmgr.changes_pending, 1);
    app().pgmgr.ops.pgmgr_apply_pending(&app());
    for (int v = 1; v <= 3; ++v)
        EXPECT_EQ(entry(v)->loaded, 0) << v;
    EXPECT_TRUE(events().empty());
}

TEST_F(PluginsDialog, AReleasedPluginGetsItsSettingsBackWhenLoadedAgain)
{
    load(1);
    const std::string section = "\nPath=" + plugin_path(1) + "\nColor=blue\n";
    nbtest::write_file(app().session.auto_file, "\n[Nimbrel]\nLoadPlugin=" + plugin_path(1) +
                                                    "\n\n[Plugin]" + section);
    app().session.ops.reload_plugin_settings(&app());
    nb_plugin *a = entry(1);
    /* Marks RecA in the open dialog, carries the mark out as the next tick
     * would, closes the dialog. */
    auto mark_and_close = [&](int pending) {
        nbtest::DialogDriver driver;
        driver.then([&](GtkDialog *d) {
            a->pending = pending;
            app().pgmgr.changes_pending = 1;
            app().pgmgr.ops.pgmgr_apply_pending(&app());
            nbtest::dialog_respond(d, GTK_RESPONSE_OK);
            return true;
        });
        plugins_dialog(nullptr, &app());
    };
    mark_and_close(2);
    ASSERT_EQ(a->loaded, 0);
    std::string saved = nbtest::read_file(app().session.auto_file);
    EXPECT_EQ(saved.find("LoadPlugin="), std::string::npos) << saved;
    EXPECT_NE(saved.find(section), std::string::npos) << saved;
    /* A new pass reads it and goes on keeping it. */
    app().session.ops.load_auto(&app());
    app().session.ops.autosave(&app());
    EXPECT_NE(nbtest::read_file(app().session.auto_file).find(section), std::string::npos);

    events().clear();
    mark_and_close(1);
    ASSERT_EQ(a->loaded, 1);
    EXPECT_EQ(events_of("RecA"), (strings{"INIT", "BEGIN size=0", "KEY Color=blue size=640",
                                          "END", "SAVE size=8 chan=0"}));
    saved = nbtest::read_file(app().session.auto_file);
    EXPECT_EQ(std::count(saved.begin(), saved.end(), '['), 2) << saved;
}

TEST_F(PluginsDialog, ClosingReloadsKeysThenSaves)
{
    load(1);
    nbtest::write_file(app().session.auto_file,
                       "\n[Nimbrel]\nBaud=125\n\n[Plugin]\nPath=" + plugin_path(1) +
                           "\nColor=blue\n");
    events().clear();
    nbtest::DialogDriver driver;
    driver.respond(GTK_RESPONSE_OK);
    plugins_dialog(nullptr, &app());
    EXPECT_EQ(app().chan.baud_index, 7);   /* only the plug-in sections were read */
    EXPECT_EQ(events_of("RecA"), (strings{"BEGIN size=0", "KEY Color=blue size=640", "END",
                                          "SAVE size=8 chan=0"}));
    std::string saved = nbtest::read_file(app().session.auto_file);
    EXPECT_NE(saved.find("Baud=500\n"), std::string::npos);
    EXPECT_NE(saved.find("\nPath=" + plugin_path(1) + "\nColor=blue\n"), std::string::npos);
}

}  // namespace
