// The main window: title, geometry, menu order, accelerators, the
// sensitivity that follows the controller, and its destruction.
#include <gdk/gdkkeysyms.h>
#include <libintl.h>
#include <locale.h>

#include <algorithm>

#include "gui_fixture.h"

using namespace nbtest;

namespace {

class GuiMainWindow : public GuiTest {};

std::vector<std::string> menu_labels(GtkWidget *shell)
{
    std::vector<std::string> out;
    GList *children = gtk_container_get_children(GTK_CONTAINER(shell));
    for (GList *l = children; l; l = l->next) {
        GtkWidget *item = GTK_WIDGET(l->data);
        if (GTK_IS_SEPARATOR_MENU_ITEM(item)) {
            out.push_back("---");
            continue;
        }
        GtkWidget *label = gtk_bin_get_child(GTK_BIN(item));
        out.push_back(GTK_IS_LABEL(label) ? gtk_label_get_text(GTK_LABEL(label)) : "?");
    }
    g_list_free(children);
    return out;
}

GtkWidget *submenu(GtkWidget *title) { return gtk_menu_item_get_submenu(GTK_MENU_ITEM(title)); }

int activations = 0;
void count_activation(GtkMenuItem *, gpointer) { activations++; }

// Counts activations of an item while keeping its real handler (which
// opens dialogs or quits) out of the way.
void watch_item(GtkWidget *item, GCallback real_handler)
{
    g_signal_handlers_block_by_func(item, (gpointer)real_handler, &the_app);
    g_signal_connect(item, "activate", G_CALLBACK(count_activation), nullptr);
}

bool press(guint key)
{
    return gtk_accel_groups_activate(G_OBJECT(nb_mainwin), key, GDK_CONTROL_MASK);
}

}  // namespace

TEST_F(GuiMainWindow, TitleGeometryAndLayout)
{
    the_app.chan.number = 1;
    open_window();
    EXPECT_STREQ(gtk_window_get_title(GTK_WINDOW(nb_mainwin)), "ch 1 - Nimbrel, ver. 3.15");
    EXPECT_TRUE(gtk_widget_get_mapped(nb_mainwin));

    gint w = 0, h = 0;
    gtk_widget_get_size_request(nb_mainwin, &w, &h);
    EXPECT_EQ(w, 750);
    EXPECT_EQ(h, 550);
    gtk_window_get_default_size(GTK_WINDOW(nb_mainwin), &w, &h);
    EXPECT_EQ(w, 1000);
    EXPECT_EQ(h, 650);
    EXPECT_EQ(gtk_paned_get_position(GTK_PANED(the_app.gui.paned)), 250);

    // Left pane: controls, errors, information; right pane: the notebook.
    GtkWidget *left = gtk_paned_get_child1(GTK_PANED(the_app.gui.paned));
    GList *panels = gtk_container_get_children(GTK_CONTAINER(left));
    ASSERT_EQ(g_list_length(panels), 3u);
    EXPECT_STREQ(gtk_widget_get_name(GTK_WIDGET(g_list_nth_data(panels, 0))), "controls_panel");
    EXPECT_STREQ(gtk_widget_get_name(GTK_WIDGET(g_list_nth_data(panels, 1))), "errors_panel");
    EXPECT_STREQ(gtk_widget_get_name(GTK_WIDGET(g_list_nth_data(panels, 2))), "info_panel");
    g_list_free(panels);
    EXPECT_EQ(gtk_paned_get_child2(GTK_PANED(the_app.gui.paned)), the_app.gui.notebook);
    EXPECT_TRUE(gtk_notebook_get_scrollable(GTK_NOTEBOOK(the_app.gui.notebook)));
}

TEST_F(GuiMainWindow, SessionGeometryCannotShrinkBelowMinimum)
{
    the_app.gui.hsize = 600;
    the_app.gui.vsize = 400;
    the_app.gui.left_pane_size = 300;
    open_window();
    ASSERT_TRUE(wait_until([] {
        GtkAllocation a;
        gtk_widget_get_allocation(nb_mainwin, &a);
        return a.width >= 750 && a.height >= 550;
    }));
    EXPECT_EQ(gtk_paned_get_position(GTK_PANED(the_app.gui.paned)), 300);

    // A session read later moves the window and its divider; the fields
    // follow what the window took.
    the_app.gui.hsize = 900;
    the_app.gui.vsize = 700;
    the_app.gui.left_pane_size = 333;
    apply_main_window_geometry(&the_app);
    EXPECT_TRUE(wait_until([] {
        GtkAllocation a;
        gtk_widget_get_allocation(nb_mainwin, &a);
        return a.width == 900 && a.height == 700;
    }));
    EXPECT_EQ(gtk_paned_get_position(GTK_PANED(the_app.gui.paned)), 333);
    EXPECT_EQ(the_app.gui.hsize, 900);
    EXPECT_EQ(the_app.gui.vsize, 700);
    EXPECT_EQ(the_app.gui.left_pane_size, 333);
}

TEST_F(GuiMainWindow, MenusInScreenOrder)
{
    open_window();
    nb_gui &g = the_app.gui;
    GtkWidget *bar = find_by_name(nb_mainwin, "menubar");
    ASSERT_NE(bar, nullptr);
    EXPECT_EQ(menu_labels(bar),
              (std::vector<std::string>{"File", "Channels", "HW settings", "Plugins", "Help"}));
    EXPECT_EQ(menu_labels(submenu(g.mi_file)),
              (std::vector<std::string>{"Load session", "Save session",
                                        "Reset session to defaults", "---", "Quit"}));
    EXPECT_EQ(menu_labels(submenu(g.mi_hw_settings)),
              (std::vector<std::string>{"Acceptance filter", "Bit rate", "Write timeout", "---",
                                        "Time from controller start"}));
    EXPECT_EQ(menu_labels(submenu(g.mi_plugins)), (std::vector<std::string>{"Configure"}));
    EXPECT_EQ(menu_labels(submenu(g.mi_help)),
              (std::vector<std::string>{"User Guide", "Quick Start", "About"}));
    EXPECT_TRUE(gtk_menu_item_get_right_justified(GTK_MENU_ITEM(g.mi_help)));
    EXPECT_FALSE(gtk_menu_item_get_right_justified(GTK_MENU_ITEM(g.mi_plugins)));

    // The members name the items their labels say.
    EXPECT_EQ(find_menu_item(bar, "Load session"), g.mi_load_session);
    EXPECT_EQ(find_menu_item(bar, "Save session"), g.mi_save_session);
    EXPECT_EQ(find_menu_item(bar, "Reset session to defaults"), g.mi_reset_session);
    EXPECT_EQ(find_menu_item(bar, "Acceptance filter"), g.mi_acc_filter);
    EXPECT_EQ(find_menu_item(bar, "Bit rate"), g.mi_bit_rate);
    EXPECT_EQ(find_menu_item(bar, "Write timeout"), g.mi_write_tout);
    EXPECT_EQ(find_menu_item(bar, "Configure"), g.mi_configure);
    EXPECT_EQ(find_menu_item(bar, "Quick Start"), g.mi_quick_start);
    EXPECT_EQ(find_menu_item(bar, "About"), g.mi_about);

    // The time origin's check item is the choice itself, and shows the
    // session's choice.
    GtkCheckMenuItem *origin = GTK_CHECK_MENU_ITEM(g.mi_time_origin);
    EXPECT_EQ(find_menu_item(bar, "Time from controller start"), g.mi_time_origin);
    gtk_menu_item_activate(GTK_MENU_ITEM(origin));
    EXPECT_EQ(the_app.time.from_start, 1);
    the_app.time.from_start = 0;
    apply_main_window_geometry(&the_app);
    EXPECT_FALSE(gtk_check_menu_item_get_active(origin));
    EXPECT_EQ(the_app.time.from_start, 0);
}

TEST_F(GuiMainWindow, MenusHaveDistinctMnemonicsAndCtrlPageKeysSwitchPagesFromAnywhere)
{
    open_window();
    nb_gui &g = the_app.gui;
    auto key = [](GtkWidget *item) {
        return gdk_keyval_to_lower(
            gtk_label_get_mnemonic_keyval(GTK_LABEL(gtk_bin_get_child(GTK_BIN(item)))));
    };
    // File and Help keep their customary letters; HW settings takes the
    // next word's.
    EXPECT_EQ(key(g.mi_file), guint(GDK_f));
    EXPECT_EQ(key(g.mi_hw_settings), guint(GDK_s));
    EXPECT_EQ(key(g.mi_plugins), guint(GDK_p));
    EXPECT_EQ(key(g.mi_help), guint(GDK_h));
    EXPECT_TRUE(gtk_window_mnemonic_activate(GTK_WINDOW(nb_mainwin), GDK_f, GDK_MOD1_MASK));
    gtk_menu_shell_deactivate(GTK_MENU_SHELL(find_by_name(nb_mainwin, "menubar")));
    for (GtkWidget *title : {g.mi_file, g.mi_hw_settings, g.mi_help}) {
        std::vector<guint> keys;
        GList *items = gtk_container_get_children(GTK_CONTAINER(submenu(title)));
        for (GList *l = items; l; l = l->next)
            if (!GTK_IS_SEPARATOR_MENU_ITEM(l->data))
                keys.push_back(key(GTK_WIDGET(l->data)));
        g_list_free(items);
        std::vector<guint> distinct(keys);
        std::sort(distinct.begin(), distinct.end());
        distinct.erase(std::unique(distinct.begin(), distinct.end()), distinct.end());
        EXPECT_EQ(distinct.size(), keys.size()) << gtk_widget_get_name(title);
        EXPECT_EQ(std::count(keys.begin(), keys.end(), GDK_VoidSymbol), 0);
    }

    GtkNotebook *nb = GTK_NOTEBOOK(g.notebook);
    for (const char *name : {"one", "two", "three"})
        gtk_notebook_append_page(nb, gtk_label_new(name), gtk_label_new(name));
    gtk_widget_show_all(g.notebook);
    gtk_notebook_set_current_page(nb, 0);
    gtk_widget_grab_focus(g.btn_reset);   // far from the notebook
    auto ctrl = [](guint k) {
        return gtk_accel_groups_activate(G_OBJECT(nb_mainwin), k, GDK_CONTROL_MASK);
    };
    EXPECT_TRUE(ctrl(GDK_Page_Down));
    EXPECT_EQ(gtk_notebook_get_current_page(nb), 1);
    EXPECT_TRUE(ctrl(GDK_Page_Up));
    EXPECT_TRUE(ctrl(GDK_Page_Up));
    EXPECT_EQ(gtk_notebook_get_current_page(nb), 2) << "wraps round like the tabs do";
}

// Every Alt+letter of the window does one thing: the mnemonics of the
// menu bar and of the page in view (widgets of the other pages are not
// mapped, so theirs do not count) are distinct, with every shipped
// plug-in loaded.
std::vector<std::string> mnemonic_clashes()
{
    const char *names[] = {"busview", "sender", "signals", "logger", "player", "diagnostics"};
    for (const char *name : names) {
        char path[NB_TEXT_MAX] = {0};
        g_strlcpy(path, (stage_dir() + "/" + name + ".so").c_str(), sizeof path);
        nb_plugin *e = the_app.pgmgr.ops.pgmgr_add(&the_app.pgmgr, path, sizeof path);
        if (!e || pgmgr_load(&the_app, e) != 0)
            return {std::string("not loaded: ") + name};
    }
    std::vector<std::string> clashes;
    GtkNotebook *book = GTK_NOTEBOOK(the_app.gui.notebook);
    const int pages = gtk_notebook_get_n_pages(book);
    for (int i = 0; i < pages; i++) {
        std::vector<std::pair<guint, std::string>> seen;
        for (GtkWidget *w : find_all_by_type(nb_mainwin, GTK_TYPE_LABEL)) {
            bool elsewhere = false;
            for (int j = 0; j < pages; j++)
                elsewhere |= j != i && gtk_widget_is_ancestor(w, gtk_notebook_get_nth_page(book, j));
            guint key = gtk_label_get_mnemonic_keyval(GTK_LABEL(w));
            // The items of a menu answer in the menu's own window.
            if (elsewhere || key == GDK_VoidSymbol || gtk_widget_get_toplevel(w) != nb_mainwin)
                continue;
            key = gdk_keyval_to_lower(key);
            const char *text = gtk_label_get_label(GTK_LABEL(w));
            for (const auto &s : seen)
                if (s.first == key)
                    clashes.push_back(s.second + " / " + text);
            seen.emplace_back(key, text);
        }
    }
    the_app.pgmgr.ops.pgmgr_release_all(&the_app.pgmgr);
    return clashes;
}

TEST_F(GuiMainWindow, EveryAltLetterDoesOneThingOnEachPage)
{
    open_window();
    std::vector<std::string> clashes = mnemonic_clashes();
    EXPECT_TRUE(clashes.empty()) << testing::PrintToString(clashes);
}

TEST_F(GuiMainWindow, EveryAltLetterDoesOneThingOnEachPageInGerman)
{
    // The program's catalogues from the stage folder, as main() binds them.
    const std::string locales = stage_dir() + "/share/locale";
    g_strlcpy(the_app.locale_dir, locales.c_str(), sizeof the_app.locale_dir);
    const std::string locale_was = setlocale(LC_ALL, nullptr);
    setenv("LANGUAGE", "de", 1);
    ASSERT_NE(setlocale(LC_ALL, "C.UTF-8"), nullptr);
    bindtextdomain("nimbrel", locales.c_str());
    bind_textdomain_codeset("nimbrel", "UTF-8");
    gchar *was = g_strdup(textdomain(nullptr));
    textdomain("nimbrel");
    open_window();
    const char *file = gtk_label_get_text(GTK_LABEL(gtk_bin_get_child(GTK_BIN(the_app.gui.mi_file))));
    std::vector<std::string> clashes = mnemonic_clashes();
    textdomain(was);
    g_free(was);
    unsetenv("LANGUAGE");
    setlocale(LC_ALL, locale_was.c_str());
    EXPECT_STREQ(file, "Datei") << "the German catalogue is not in use";
    EXPECT_TRUE(clashes.empty()) << testing::PrintToString(clashes);
}

TEST_F(GuiMainWindow, AcceleratorsFollowControllerState)
{
    open_window();
    nb_gui &g = the_app.gui;
    GtkWidget *quit = find_menu_item(nb_mainwin, "Quit");
    ASSERT_NE(quit, nullptr);
    watch_item(g.mi_load_session, G_CALLBACK(on_load_session));
    watch_item(g.mi_save_session, G_CALLBACK(on_save_session));
    watch_item(quit, G_CALLBACK(on_quit));

    activations = 0;
    EXPECT_TRUE(press(GDK_l));
    EXPECT_TRUE(press(GDK_s));
    EXPECT_TRUE(press(GDK_q));
    EXPECT_EQ(activations, 3);
    EXPECT_FALSE(press(GDK_r)) << "no other Control accelerator";

    // While the controller runs only Quit answers.
    the_app.gui.ops.start_controller(&the_app);
    ASSERT_EQ(the_app.chan.running, 1);
    activations = 0;
    press(GDK_l);
    press(GDK_s);
    EXPECT_EQ(activations, 0);
    press(GDK_q);
    EXPECT_EQ(activations, 1);

    the_app.gui.ops.stop_controller(&the_app);
    activations = 0;
    press(GDK_s);
    EXPECT_EQ(activations, 1);
}

TEST_F(GuiMainWindow, SensitivityFollowsStartAndStop)
{
    open_window();
    nb_gui &g = the_app.gui;
    GtkWidget *locked[] = {g.btn_lom, g.mi_plugins, g.mi_hw_settings, g.mi_save_session,
                           g.mi_load_session, g.mi_reset_session};
    GtkWidget *always[] = {g.mi_file, g.mi_help, find_menu_item(nb_mainwin, "Quit"), g.btn_reset,
                           g.btn_startstop};
    for (GtkWidget *w : locked)
        EXPECT_TRUE(gtk_widget_get_sensitive(w)) << gtk_widget_get_name(w);

    g.ops.start_controller(&the_app);
    for (GtkWidget *w : locked)
        EXPECT_FALSE(gtk_widget_get_sensitive(w)) << gtk_widget_get_name(w);
    for (GtkWidget *w : always)
        EXPECT_TRUE(gtk_widget_get_sensitive(w)) << gtk_widget_get_name(w);

    g.ops.stop_controller(&the_app);
    for (GtkWidget *w : locked)
        EXPECT_TRUE(gtk_widget_get_sensitive(w)) << gtk_widget_get_name(w);
    for (GtkWidget *w : always)
        EXPECT_TRUE(gtk_widget_get_sensitive(w)) << gtk_widget_get_name(w);
}

// Closing the window from its frame ends the main loop and leaves nothing
// for teardown to touch.
TEST_F(GuiMainWindow, DestroyEndsMainLoopAndForgetsWidgets)
{
    open_window();
    g_idle_add([](gpointer) -> gboolean {
        gtk_widget_destroy(nb_mainwin);
        return FALSE;
    }, nullptr);
    // Guard: a main loop that is not left fails the test instead of hanging.
    static bool timed_out;
    timed_out = false;
    guint guard = g_timeout_add(5000, [](gpointer) -> gboolean {
        timed_out = true;
        gtk_main_quit();
        return FALSE;
    }, nullptr);
    gtk_main();
    EXPECT_FALSE(timed_out) << "the window's destruction did not leave the main loop";
    if (!timed_out)
        g_source_remove(guard);

    EXPECT_EQ(nb_mainwin, nullptr);
    nb_gui &g = the_app.gui;
    EXPECT_EQ(g.notebook, nullptr);
    EXPECT_EQ(g.paned, nullptr);
    EXPECT_EQ(g.mi_file, nullptr);
    EXPECT_EQ(g.mi_about, nullptr);
    EXPECT_EQ(g.btn_startstop, nullptr);
    EXPECT_EQ(g.accel_group, nullptr);

    // Everything the poller and the teardown may still call is harmless now.
    zk_errs errs = {1, 1, 1, 1, 1};
    g.ops.update_error_indicators(&errs);
    g.ops.refresh_info_panel(&the_app);
    g.ops.stop_controller(&the_app);
    the_app.ops.teardown(&the_app);
    channel_open_ = false;
}
