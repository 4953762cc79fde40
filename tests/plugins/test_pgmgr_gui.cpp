// Plug-in pages in the main window's notebook: appended with the
// plug-in's name as a reorderable tab, owned by the host and destroyed
// after the release; anything that is not a page widget is left out.
#include <gtest/gtest.h>
#include <gtk/gtk.h>

#include <stdlib.h>
#include <string.h>

#include <algorithm>
#include <utility>
#include <vector>

#include "fd_frames.h"
#include "gui_driver.h"
#include "nbt_support.h"
#include "test_env.h"
#include "zelk_sim.h"

namespace {

class PgmgrGui : public ::testing::Test {
protected:
    void SetUp() override
    {
        dir_ = nbtest::make_temp_dir("pgmgr-gui");
        nbt::init_app(dir_);
        window_ = gtk_window_new(GTK_WINDOW_TOPLEVEL);
        notebook_ = gtk_notebook_new();
        gtk_container_add(GTK_CONTAINER(window_), notebook_);
        g_object_add_weak_pointer(G_OBJECT(window_), reinterpret_cast<gpointer *>(&window_));
        the_app.gui.notebook = notebook_;
    }
    void TearDown() override
    {
        nbt::finish_app();
        if (window_)
            gtk_widget_destroy(window_);
        the_app.gui.notebook = nullptr;
    }

    nb_plugin *load(const char *variant, const char *file_name)
    {
        std::string path = nbt::place(dir_, variant, file_name);
        nb_plugin *e = the_app.pgmgr.ops.pgmgr_add(&the_app.pgmgr, path.c_str(), path.size() + 1);
        EXPECT_NE(e, nullptr);
        if (e) {
            EXPECT_EQ(pgmgr_load(&the_app, e), 0);
        }
        return e;
    }

    // The next PGRP_INIT answers with this page.
    static void answer_init(gpointer page)
    {
        nbt::on_event = [page](nbt_event *ev) {
            if (ev->type == PGRP_INIT) {
                ev->set_result = 1;
                ev->result = page;
            }
        };
    }

    int pages() const { return gtk_notebook_get_n_pages(GTK_NOTEBOOK(notebook_)); }

    std::string dir_;
    GtkWidget *window_ = nullptr;
    GtkWidget *notebook_ = nullptr;
};

TEST_F(PgmgrGui, PagesAreAppendedWithReorderableNamedTabs)
{
    GtkWidget *first = gtk_vbox_new(FALSE, 0);
    GtkWidget *second = gtk_label_new("page");
    g_object_add_weak_pointer(G_OBJECT(first), reinterpret_cast<gpointer *>(&first));
    g_object_add_weak_pointer(G_OBJECT(second), reinterpret_cast<gpointer *>(&second));
    answer_init(first);
    nb_plugin *a = load("nbt_handler", "a.so");
    answer_init(second);
    nb_plugin *b = load("nbt_legacy", "b.so");
    nbt::on_event = nullptr;

    ASSERT_EQ(pages(), 2);
    EXPECT_EQ(gtk_notebook_get_nth_page(GTK_NOTEBOOK(notebook_), 0), first);
    EXPECT_EQ(gtk_notebook_get_nth_page(GTK_NOTEBOOK(notebook_), 1), second);
    EXPECT_EQ(a->page, first);
    EXPECT_EQ(b->page, second);
    for (GtkWidget *page : {first, second}) {
        EXPECT_STREQ(gtk_notebook_get_tab_label_text(GTK_NOTEBOOK(notebook_), page), "Recorder");
        EXPECT_TRUE(gtk_notebook_get_tab_reorderable(GTK_NOTEBOOK(notebook_), page));
        EXPECT_TRUE(gtk_widget_get_visible(page));
    }
    EXPECT_TRUE(gtk_widget_get_visible(notebook_));

    // The host destroys the page after the release.
    ASSERT_EQ(pgmgr_release(a), 0);
    EXPECT_EQ(first, nullptr);
    EXPECT_EQ(a->page, nullptr);
    EXPECT_EQ(pages(), 1);
    the_app.pgmgr.ops.pgmgr_release_all(&the_app.pgmgr);
    EXPECT_EQ(second, nullptr);
    EXPECT_EQ(pages(), 0);
}

TEST_F(PgmgrGui, NoPageAndNonWidgetsAreLeftOut)
{
    answer_init(nullptr);
    nb_plugin *none = load("nbt_handler", "none.so");
    EXPECT_EQ(none->loaded, 1);
    EXPECT_EQ(none->page, nullptr);

    // A GObject that is not a widget.
    GObject *obj = G_OBJECT(g_object_new(G_TYPE_OBJECT, nullptr));
    answer_init(obj);
    nb_plugin *object = load("nbt_legacy", "object.so");
    EXPECT_EQ(object->loaded, 1);
    EXPECT_EQ(object->page, nullptr);
    EXPECT_EQ(pages(), 0);

    // A toplevel window cannot go into the notebook; it is still the
    // host's, and goes with the release.
    GtkWidget *top = gtk_window_new(GTK_WINDOW_TOPLEVEL);
    g_object_add_weak_pointer(G_OBJECT(top), reinterpret_cast<gpointer *>(&top));
    answer_init(top);
    nb_plugin *window = load("nbt_handler", "window.so");
    EXPECT_EQ(window->loaded, 1);
    EXPECT_EQ(pages(), 0);
    nbt::on_event = nullptr;

    the_app.pgmgr.ops.pgmgr_release_all(&the_app.pgmgr);
    EXPECT_EQ(top, nullptr);
    // The foreign object was not touched.
    EXPECT_TRUE(G_IS_OBJECT(obj));
    g_object_unref(obj);
}

TEST_F(PgmgrGui, ReleaseAfterTheWindowWentIsSafe)
{
    GtkWidget *page = gtk_vbox_new(FALSE, 0);
    bool finalized = false;
    g_object_set_data_full(G_OBJECT(page), "nbt-finalized", &finalized,
                           [](gpointer flag) { *static_cast<bool *>(flag) = true; });
    answer_init(page);
    nb_plugin *a = load("nbt_handler", "a.so");
    nbt::on_event = nullptr;
    ASSERT_EQ(pages(), 1);
    // The user closed the main window first: the page is destroyed with
    // it, but the host's reference keeps the object until the release.
    gtk_widget_destroy(window_);
    EXPECT_EQ(window_, nullptr);
    the_app.gui.notebook = nullptr;
    EXPECT_FALSE(finalized);
    EXPECT_EQ(pgmgr_release(a), 0);
    EXPECT_TRUE(finalized);
    EXPECT_EQ(nbt::types_from(a->path), (std::vector<int>{PGRP_INIT, PGRP_RELEASE}));
}

// The example plug-in built against the 0x0300 header, on a CAN FD
// channel: it is listed and loaded, counts the classic frames received
// and sent as before, never sees an FD frame, and the FD frames it missed
// are counted for the user.
TEST_F(PgmgrGui, PluginBuiltForClassicCanWorksOnACanFdChannel)
{
    setenv("ZELK_BOARDS", "0=sim:channels=2,traffic=none", 1);
    zk_sim_reset();
    ASSERT_GE(ZkInit(), 0);
    zk_sim_manual_clock(1);
    the_app.chan.fd = NB_FD_ISO;
    the_app.chan.ops.open(&the_app.chan);
    ASSERT_GE(the_app.chan.ops.start(&the_app.chan), 0);

    std::string path = nbt::place(dir_, "counter_v0300", "counter.so");
    ASSERT_EQ(the_app.pgmgr.ops.pgmgr_is_plugin(path.c_str()), 1);
    nb_plugin *counter = load("counter_v0300", "counter.so");
    ASSERT_NE(counter, nullptr);
    EXPECT_EQ(counter->fd_aware, 0);
    ASSERT_EQ(pages(), 1);
    GtkWidget *page = gtk_notebook_get_nth_page(GTK_NOTEBOOK(notebook_), 0);
    gtk_toggle_button_set_active(
        GTK_TOGGLE_BUTTON(nbtest::find_by_name(page, "counter-sent")), TRUE);

    auto fd = nbtest::fd_frame;
    const zk_fdframe rx[] = {fd(0x100, 0, 8), fd(0x200, ZK_FRAME_FDF | ZK_FRAME_BRS, 64),
                             fd(0x100, 0, 2), fd(0x201, ZK_FRAME_FDF, 12), fd(0x101, 0, 0)};
    for (const zk_fdframe &f : rx)
        ASSERT_GE(zk_sim_inject_fd(0, &f), 1);
    zk_fdframe sent_fd = fd(0x300, ZK_FRAME_FDF | ZK_FRAME_BRS, 32);
    zk_frame sent = {};
    sent.id = 0x101;
    ASSERT_GE(nb_send_fd_frame(&sent_fd), 0);
    ASSERT_GE(nb_send_frame(&sent), 0);
    poll_tick(&the_app);

    // The page lists identifier and count, refreshed every half second.
    GtkTreeModel *list = gtk_tree_view_get_model(
        GTK_TREE_VIEW(nbtest::find_by_name(page, "counter-list")));
    ASSERT_TRUE(nbtest::wait_until(
        [&] { return gtk_tree_model_iter_n_children(list, nullptr) == 2; }));
    std::vector<std::pair<std::string, guint64>> rows;
    GtkTreeIter it;
    for (gboolean ok = gtk_tree_model_get_iter_first(list, &it); ok;
         ok = gtk_tree_model_iter_next(list, &it)) {
        gchar *id = nullptr;
        guint64 count = 0;
        gtk_tree_model_get(list, &it, 0, &id, 1, &count, -1);
        rows.emplace_back(id ? id : "", count);
        g_free(id);
    }
    /* 0x101 sent once (handed on first) and received once */
    std::sort(rows.begin(), rows.end());
    EXPECT_EQ(rows, (std::vector<std::pair<std::string, guint64>>{{"100", 2}, {"101", 2}}));
    EXPECT_EQ(the_app.pgmgr.fd_hidden, 3u);

    EXPECT_EQ(pgmgr_release(counter), 0);
    the_app.chan.ops.close(&the_app.chan);
    zk_sim_reset();
}

}  // namespace
