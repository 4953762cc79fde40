// What the user can read at the default geometry (1000 x 650, left pane
// 250): no label of the left pane or of the channel chooser gets less
// width than its text needs, and no tree view there is cut or needs
// scrolling sideways. A text that is cut short on purpose (ellipsized)
// must come with a tooltip that shows it whole. At the smallest window
// (750 x 550) every shipped plug-in's page keeps its controls whole.
#include <algorithm>

#include "gui_fixture.h"

using namespace nbtest;

namespace {

class GuiLayout : public GuiTest {};

std::string describe(GtkWidget *w, const char *text)
{
    return std::string(G_OBJECT_TYPE_NAME(w)) + " \"" + (text ? text : "") + "\"";
}

bool has_tooltip(GtkWidget *w)
{
    for (; w; w = gtk_widget_get_parent(w))
        if (gtk_widget_get_has_tooltip(w))
            return true;
    return false;
}

// Every shown label under root that is cut, as "type "text" needs N, has M".
std::vector<std::string> cut_widgets(GtkWidget *root)
{
    std::vector<std::string> cuts;
    for (GtkWidget *w : find_all_by_type(root, GTK_TYPE_LABEL)) {
        if (!gtk_widget_get_mapped(w))
            continue;
        const char *text = gtk_label_get_text(GTK_LABEL(w));
        if (!text || !*text)
            continue;
        GtkRequisition req;
        gtk_widget_get_requisition(w, &req);
        GtkAllocation a;
        gtk_widget_get_allocation(w, &a);
        if (pango_layout_is_ellipsized(gtk_label_get_layout(GTK_LABEL(w)))) {
            if (!has_tooltip(w))
                cuts.push_back(describe(w, text) + " is ellipsized without a tooltip");
        } else if (a.width < req.width) {
            cuts.push_back(describe(w, text) + " needs " + std::to_string(req.width) +
                           ", has " + std::to_string(a.width));
        }
    }
    for (GtkWidget *w : find_all_by_type(root, GTK_TYPE_TREE_VIEW)) {
        if (!gtk_widget_get_mapped(w))
            continue;
        GtkRequisition req;
        gtk_widget_get_requisition(w, &req);
        GtkAllocation a;
        gtk_widget_get_allocation(w, &a);
        const char *name = gtk_widget_get_name(w);
        GtkWidget *parent = gtk_widget_get_parent(w);
        if (a.width < req.width)
            cuts.push_back(describe(w, name) + " needs " + std::to_string(req.width) +
                           ", has " + std::to_string(a.width));
        else if (GTK_IS_SCROLLED_WINDOW(parent) &&
                 gtk_widget_get_mapped(
                     gtk_scrolled_window_get_hscrollbar(GTK_SCROLLED_WINDOW(parent))))
            cuts.push_back(describe(w, name) + " needs " + std::to_string(req.width) +
                           ": scrolls sideways");
    }
    return cuts;
}

// Cells of a tree view that get less room than their text needs, wrapped
// where the renderer wraps: "column N, row PATH: "text" needs WxH, has WxH".
std::vector<std::string> cut_cells(GtkWidget *view)
{
    std::vector<std::string> out;
    GtkTreeView *tv = GTK_TREE_VIEW(view);
    GtkTreeModel *model = gtk_tree_view_get_model(tv);
    struct Ctx { GtkTreeView *tv; std::vector<std::string> *out; } ctx{tv, &out};
    gtk_tree_model_foreach(model, [](GtkTreeModel *m, GtkTreePath *path, GtkTreeIter *iter,
                                     gpointer data) -> gboolean {
        Ctx *c = static_cast<Ctx *>(data);
        GList *cols = gtk_tree_view_get_columns(c->tv);
        int n = 0;
        for (GList *l = cols; l; l = l->next, n++) {
            GtkTreeViewColumn *col = GTK_TREE_VIEW_COLUMN(l->data);
            GdkRectangle area;
            gtk_tree_view_get_cell_area(c->tv, path, col, &area);
            gtk_tree_view_column_cell_set_cell_data(col, m, iter, FALSE, FALSE);
            gint w = 0, h = 0;
            gtk_tree_view_column_cell_get_size(col, nullptr, nullptr, nullptr, &w, &h);
            if (w > area.width || h > area.height) {
                gchar *p = gtk_tree_path_to_string(path);
                c->out->push_back("column " + std::to_string(n) + ", row " + p + " needs " +
                                  std::to_string(w) + "x" + std::to_string(h) + ", has " +
                                  std::to_string(area.width) + "x" + std::to_string(area.height));
                g_free(p);
            }
        }
        g_list_free(cols);
        return FALSE;
    }, &ctx);
    return out;
}

// Lets the window be allocated and drawn.
void settle()
{
    wait_until([] { return false; }, 300);
}

TEST_F(GuiLayout, LeftPaneIsReadableAtTheDefaultSize)
{
    ASSERT_EQ(the_app.gui.hsize, 1000);
    ASSERT_EQ(the_app.gui.vsize, 650);
    ASSERT_EQ(the_app.gui.left_pane_size, 250);
    open_window();
    // The widest texts: running in listen-only mode.
    ASSERT_GE(the_app.chan.ops.set_lom(&the_app.chan, 1), 0);
    gtk_button_clicked(GTK_BUTTON(find_by_name(nb_mainwin, "btn_startstop")));
    gtk_button_set_label(GTK_BUTTON(find_by_name(nb_mainwin, "btn_lom")), "Clear LOM");
    the_app.gui.ops.refresh_info_panel(&the_app);
    settle();
    GtkWidget *left = gtk_paned_get_child1(GTK_PANED(the_app.gui.paned));
    GtkAllocation a;
    gtk_widget_get_allocation(left, &a);
    EXPECT_EQ(a.width, 250);
    std::vector<std::string> cuts = cut_widgets(left);
    EXPECT_TRUE(cuts.empty()) << testing::PrintToString(cuts);
    cuts = cut_cells(find_by_name(left, "info_view"));
    EXPECT_TRUE(cuts.empty()) << testing::PrintToString(cuts);
}

// Controls outside scrolled areas that get less room than they ask for
// or stand partly outside root: buttons, entries, combo boxes and spin
// buttons cut or overlapping.
std::vector<std::string> squeezed_controls(GtkWidget *root)
{
    std::vector<std::string> out;
    GtkAllocation page;
    gtk_widget_get_allocation(root, &page);
    const GType kinds[] = {GTK_TYPE_BUTTON, GTK_TYPE_ENTRY, GTK_TYPE_COMBO_BOX};
    for (GType kind : kinds) {
        for (GtkWidget *w : find_all_by_type(root, kind)) {
            /* A combo box's own button is the combo box's part. */
            bool part = kind != GTK_TYPE_COMBO_BOX &&
                        gtk_widget_get_ancestor(w, GTK_TYPE_COMBO_BOX) != nullptr;
            if (!gtk_widget_get_mapped(w) || part ||
                gtk_widget_get_ancestor(w, GTK_TYPE_SCROLLED_WINDOW))
                continue;
            GtkRequisition req;
            gtk_widget_get_requisition(w, &req);
            GtkAllocation a;
            gtk_widget_get_allocation(w, &a);
            gint x = 0, y = 0;
            gtk_widget_translate_coordinates(w, root, 0, 0, &x, &y);
            if (a.width < req.width || a.height < req.height)
                out.push_back(describe(w, gtk_widget_get_name(w)) + " needs " +
                              std::to_string(req.width) + "x" + std::to_string(req.height) +
                              ", has " + std::to_string(a.width) + "x" + std::to_string(a.height));
            else if (x < 0 || y < 0 || x + a.width > page.width || y + a.height > page.height)
                out.push_back(describe(w, gtk_widget_get_name(w)) + " at " + std::to_string(x) +
                              "," + std::to_string(y) + " reaches out of the page");
        }
    }
    return out;
}

TEST_F(GuiLayout, PluginPagesFitAtTheMinimumSize)
{
    the_app.gui.hsize = 750;
    the_app.gui.vsize = 550;
    open_window();
    for (const char *name : {"busview", "sender", "signals", "logger", "player", "diagnostics"}) {
        char path[NB_TEXT_MAX] = {0};
        g_strlcpy(path, (stage_dir() + "/" + name + ".so").c_str(), sizeof path);
        nb_plugin *e = the_app.pgmgr.ops.pgmgr_add(&the_app.pgmgr, path, sizeof path);
        ASSERT_NE(e, nullptr) << name;
        ASSERT_EQ(pgmgr_load(&the_app, e), 0) << name;
    }
    ASSERT_TRUE(wait_until([] {
        GtkAllocation a;
        gtk_widget_get_allocation(nb_mainwin, &a);
        return a.width == 750 && a.height == 550;
    }));
    GtkNotebook *book = GTK_NOTEBOOK(the_app.gui.notebook);
    ASSERT_EQ(gtk_notebook_get_n_pages(book), 6);
    for (int i = 0; i < gtk_notebook_get_n_pages(book); i++) {
        gtk_notebook_set_current_page(book, i);
        GtkWidget *page = gtk_notebook_get_nth_page(book, i);
        settle();
        std::vector<std::string> cuts = cut_widgets(page);
        std::vector<std::string> controls = squeezed_controls(page);
        cuts.insert(cuts.end(), controls.begin(), controls.end());
        // What scrolls (tree views and their column headers) may be
        // narrower than its content; only the controls around it count.
        std::vector<std::string> labels;
        for (GtkWidget *w : find_all_by_type(page, GTK_TYPE_LABEL))
            if (gtk_widget_get_ancestor(w, GTK_TYPE_SCROLLED_WINDOW))
                labels.push_back(gtk_label_get_text(GTK_LABEL(w)));
        cuts.erase(std::remove_if(cuts.begin(), cuts.end(),
                                  [&](const std::string &c) {
                                      if (c.rfind("GtkTreeView", 0) == 0)
                                          return true;
                                      for (const std::string &l : labels)
                                          if (c.rfind("GtkLabel \"" + l + "\"", 0) == 0)
                                              return true;
                                      return false;
                                  }),
                   cuts.end());
        EXPECT_TRUE(cuts.empty()) << gtk_notebook_get_tab_label_text(book, page) << ": "
                                  << testing::PrintToString(cuts);
    }
    the_app.pgmgr.ops.pgmgr_release_all(&the_app.pgmgr);
}

TEST_F(GuiLayout, ChooserIsReadableAtItsSize)
{
    DialogDriver driver;
    std::vector<std::string> cuts;
    driver.then([&](GtkDialog *d) {
        settle();
        cuts = cut_widgets(GTK_WIDGET(d));
        std::vector<std::string> cells = cut_cells(find_by_name(GTK_WIDGET(d), "chooser_view"));
        cuts.insert(cuts.end(), cells.begin(), cells.end());
        dialog_respond(d, GTK_RESPONSE_OK);
        return true;
    });
    the_app.gui.ops.choose_channel(&the_app);
    EXPECT_TRUE(driver.done());
    EXPECT_TRUE(cuts.empty()) << testing::PrintToString(cuts);
}

}  // namespace
