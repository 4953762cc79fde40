// Plug-in pages in the main window's notebook: appended with the
// plug-in's name as a reorderable tab, owned by the host and destroyed
// after the release; anything that is not a page widget is left out.
#include <gtest/gtest.h>
#include <gtk/gtk.h>

#include "nbt_support.h"
#include "test_env.h"

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

}  // namespace
