/*
 * mainwin.cpp - the main window: menu bar, channel panels on the left,
 * plug-in notebook on the right.
 *
 * The window is built once per pass of the run loop and destroyed at its
 * end, either by teardown or by the user closing it. A destroy handler
 * clears nb_mainwin and every stored widget pointer, so nothing touches a
 * window that no longer exists.
 */
#include <glib/gi18n.h>
#include <gdk/gdkkeysyms.h>

#include "app/nb_app.h"
#include "gui/gui_parts.h"
#include "session/session_file.h"

#include <initializer_list>

/* The only data symbol the host exports: plug-ins parent their dialogs on it. */
GtkWidget *nb_mainwin = nullptr;

namespace {

void on_time_origin_toggled(GtkCheckMenuItem *item, gpointer data);

/* One menu entry. A null label makes a separator. */
struct menu_entry {
    const char *label;
    guint accel_key;              /* 0: no accelerator */
    GCallback handler;
    GtkWidget *nb_gui::*member;   /* null: not kept */
    const char *name;             /* widget name, for tests and style */
    bool check = false;           /* a check item, connected on "toggled" */
};

/* A menu title with its entries, in screen order. */
struct menu_title {
    const char *label;
    GtkWidget *nb_gui::*member;
    const char *name;
    const menu_entry *entries;
    size_t count;
    bool keyless = false;         /* no Alt letter: the plug-in pages use all of its letters */
};

const menu_entry file_entries[] = {
    {N_("Load session"), GDK_l, G_CALLBACK(on_load_session), &nb_gui::mi_load_session,
     "mi_load_session"},
    {N_("Save session"), GDK_s, G_CALLBACK(on_save_session), &nb_gui::mi_save_session,
     "mi_save_session"},
    {N_("Reset session to defaults"), 0, G_CALLBACK(on_reset_session),
     &nb_gui::mi_reset_session, "mi_reset_session"},
    {nullptr, 0, nullptr, nullptr, nullptr},
    {N_("Quit"), GDK_q, G_CALLBACK(on_quit), nullptr, "mi_quit"},
};

const menu_entry channels_entries[] = {
    {N_("Add channel..."), 0, G_CALLBACK(on_add_channel), &nb_gui::mi_add_channel,
     "mi_add_channel"},
    {N_("Remove channel"), 0, G_CALLBACK(on_remove_channel), &nb_gui::mi_remove_channel,
     "mi_remove_channel"},
};

const menu_entry hw_entries[] = {
    {N_("Acceptance filter"), 0, G_CALLBACK(acceptance_filter_dialog), &nb_gui::mi_acc_filter,
     "mi_acc_filter"},
    {N_("Bit rate"), 0, G_CALLBACK(bit_rate_dialog), &nb_gui::mi_bit_rate, "mi_bit_rate"},
    {N_("Write timeout"), 0, G_CALLBACK(write_timeout_dialog), &nb_gui::mi_write_tout,
     "mi_write_tout"},
    {nullptr, 0, nullptr, nullptr, nullptr},
    {N_("Time from controller start"), 0, G_CALLBACK(on_time_origin_toggled),
     &nb_gui::mi_time_origin, "mi_time_origin", true},
};

const menu_entry plugins_entries[] = {
    {N_("Configure"), 0, G_CALLBACK(plugins_dialog), &nb_gui::mi_configure, "mi_configure"},
};

const menu_entry help_entries[] = {
    {N_("User Guide"), GDK_F1, G_CALLBACK(user_guide), nullptr, "mi_user_guide"},
    {N_("Quick Start"), 0, G_CALLBACK(quick_start_dialog), &nb_gui::mi_quick_start,
     "mi_quick_start"},
    {N_("About"), 0, G_CALLBACK(about_dialog), &nb_gui::mi_about, "mi_about"},
};

const menu_title menu_titles[] = {
    {N_("File"), &nb_gui::mi_file, "mi_file", file_entries, G_N_ELEMENTS(file_entries)},
    {N_("Channels"), &nb_gui::mi_channels, "mi_channels", channels_entries,
     G_N_ELEMENTS(channels_entries), true},
    {N_("HW settings"), &nb_gui::mi_hw_settings, "mi_hw_settings", hw_entries,
     G_N_ELEMENTS(hw_entries)},
    {N_("Plugins"), &nb_gui::mi_plugins, "mi_plugins", plugins_entries,
     G_N_ELEMENTS(plugins_entries)},
    {N_("Help"), &nb_gui::mi_help, "mi_help", help_entries, G_N_ELEMENTS(help_entries)},
};

/* The one place where the user chooses the origin of all relative times:
 * from the controller's first start in the pass, or (unchecked) from the
 * pass's start. Kept in the session; it moves the origin at the first
 * start, so a change after that takes effect with the next pass. */
void on_time_origin_toggled(GtkCheckMenuItem *item, gpointer data)
{
    nb_app *app = static_cast<nb_app *>(data);
    app->time.from_start = gtk_check_menu_item_get_active(item) ? 1 : 0;
    (void)app->session.ops.autosave(app);
}

/* The window is going away: forget it and every widget that dies with it. */
void on_mainwin_destroy(GtkWidget *widget, gpointer data)
{
    nb_app *app = static_cast<nb_app *>(data);
    if (nb_mainwin == widget)
        nb_mainwin = nullptr;
    nb_gui &g = app->gui;
    g.notebook = nullptr;
    g.paned = nullptr;
    for (const menu_title &t : menu_titles) {
        g.*(t.member) = nullptr;
        for (size_t i = 0; i < t.count; i++)
            if (t.entries[i].member)
                g.*(t.entries[i].member) = nullptr;
    }
    g.btn_startstop = nullptr;
    g.btn_lom = nullptr;
    g.btn_reset = nullptr;
    forget_channels_panel();
    g.accel_group = nullptr;   /* the window held the last reference */
    if (g.settle_source) {
        g_source_remove(g.settle_source);
        g.settle_source = 0;
    }
}

/* The window manager's close button quits as File > Quit does, question
 * included: once the user agrees, leave the main loop and keep the window,
 * so that the run loop releases the plug-ins while their pages still exist
 * and then destroys it. */
gboolean on_mainwin_delete(GtkWidget *widget, GdkEvent *, gpointer data)
{
    if (ask_before_quit(static_cast<nb_app *>(data)))
        quit_main_loop(widget, data);
    return TRUE;
}

/* The geometry fields follow the window, so a session written at any time
 * holds the size and divider position the user sees, including a size
 * just asked for that the window system has not confirmed yet. */
gboolean on_mainwin_configure(GtkWidget *widget, GdkEventConfigure *event, gpointer data)
{
    nb_app *app = static_cast<nb_app *>(data);
    app->gui.hsize = event->width;
    app->gui.vsize = event->height;
    if (gtk_widget_get_realized(widget) && gtk_widget_get_window(widget)) {
        gint x = 0, y = 0;
        gtk_window_get_position(GTK_WINDOW(widget), &x, &y);
        app->gui.xpos = x;
        app->gui.ypos = y;
    }
    window_state_changed(app);
    return FALSE;
}

void on_paned_position(GObject *paned, GParamSpec *, gpointer data)
{
    nb_app *app = static_cast<nb_app *>(data);
    app->gui.left_pane_size = gtk_paned_get_position(GTK_PANED(paned));
    window_state_changed(app);
}

void on_pages_changed(GtkNotebook *, GtkWidget *, guint, gpointer data)
{
    window_state_changed(static_cast<nb_app *>(data));
}

void on_switch_page(GtkNotebook *, gpointer, guint, gpointer data)
{
    window_state_changed(static_cast<nb_app *>(data));
}

gboolean on_settled(gpointer data)
{
    nb_app *app = static_cast<nb_app *>(data);
    app->gui.settle_source = 0;
    if (session_window_unsaved(app))
        (void)app->session.ops.autosave(app);
    return FALSE;
}

/* The monitor the window is on (or would be at x, y): a window is never
 * larger than it, and lies within it. */
void fit_to_screen(GtkWidget *win, int32_t *w, int32_t *h, int32_t *x, int32_t *y)
{
    GdkScreen *screen = gtk_widget_get_screen(win);
    GdkWindow *gw = gtk_widget_get_window(win);
    int mon = (*x >= 0 && *y >= 0) ? gdk_screen_get_monitor_at_point(screen, *x, *y)
              : gw                 ? gdk_screen_get_monitor_at_window(screen, gw)
                                   : 0;
    GdkRectangle r;
    gdk_screen_get_monitor_geometry(screen, mon, &r);
    if (*w > r.width)
        *w = r.width;
    if (*h > r.height)
        *h = r.height;
    if (*x < 0 || *y < 0)
        return;
    *x = CLAMP(*x, r.x, r.x + r.width - *w);
    *y = CLAMP(*y, r.y, r.y + r.height - *h);
}

/* The characters already used as mnemonics in one menu (lower case). */
struct mnemonic_set {
    gunichar used[16];
    int count;
    bool has(gunichar c) const
    {
        for (int i = 0; i < count; i++)
            if (used[i] == c)
                return true;
        return false;
    }
};

/* The label with a mnemonic for one of its letters or digits that no
 * earlier item of the same menu uses: a word's first character when one
 * is free, else any. The texts (and their translations) stay as they are;
 * underscores in them are doubled so they show as themselves. A keyless
 * label gets no mnemonic. */
void mnemonic_label(const char *text, mnemonic_set *set, char *out, size_t size,
                    bool keyless = false)
{
    const char *pick = nullptr;
    for (int pass = 0; pass < 2 && !pick && !keyless; pass++) {
        bool word_start = true;
        for (const char *p = text; *p && !pick; p = g_utf8_next_char(p)) {
            gunichar c = g_utf8_get_char(p);
            bool alnum = g_unichar_isalnum(c);
            if (alnum && (pass == 1 || word_start) && !set->has(g_unichar_tolower(c)))
                pick = p;
            word_start = !alnum;
        }
    }
    if (pick && set->count < static_cast<int>(G_N_ELEMENTS(set->used)))
        set->used[set->count++] = g_unichar_tolower(g_utf8_get_char(pick));
    size_t n = 0;
    for (const char *p = text; *p && n + 3 < size; p++) {
        if (p == pick || *p == '_')
            out[n++] = '_';
        out[n++] = *p;
    }
    out[n] = '\0';
}

GtkWidget *build_menu_bar(nb_app *app)
{
    nb_gui &g = app->gui;
    GtkWidget *bar = gtk_menu_bar_new();
    gtk_widget_set_name(bar, "menubar");
    /* Mnemonics of the titles: File and Help before the others, so they
     * get their customary letters. */
    mnemonic_set title_keys{};
    char text[NB_TEXT_MAX];
    char title_text[G_N_ELEMENTS(menu_titles)][NB_TEXT_MAX];
    for (size_t k : {size_t(0), G_N_ELEMENTS(menu_titles) - 1})
        mnemonic_label(_(menu_titles[k].label), &title_keys, title_text[k], NB_TEXT_MAX);
    for (size_t k = 1; k + 1 < G_N_ELEMENTS(menu_titles); k++)
        mnemonic_label(_(menu_titles[k].label), &title_keys, title_text[k], NB_TEXT_MAX,
                       menu_titles[k].keyless);
    size_t k = 0;
    for (const menu_title &t : menu_titles) {
        GtkWidget *title = gtk_menu_item_new_with_mnemonic(title_text[k++]);
        gtk_widget_set_name(title, t.name);
        g.*(t.member) = title;
        GtkWidget *menu = gtk_menu_new();
        gtk_menu_set_accel_group(GTK_MENU(menu), g.accel_group);
        gtk_menu_item_set_submenu(GTK_MENU_ITEM(title), menu);
        gtk_menu_shell_append(GTK_MENU_SHELL(bar), title);
        mnemonic_set item_keys{};
        for (size_t i = 0; i < t.count; i++) {
            const menu_entry &e = t.entries[i];
            GtkWidget *item;
            if (!e.label) {
                item = gtk_separator_menu_item_new();
            } else {
                mnemonic_label(_(e.label), &item_keys, text, sizeof text);
                item = e.check ? gtk_check_menu_item_new_with_mnemonic(text)
                               : gtk_menu_item_new_with_mnemonic(text);
                gtk_widget_set_name(item, e.name);
                /* Function keys stand alone; letters go with Ctrl. */
                GdkModifierType mods = (e.accel_key >= GDK_F1 && e.accel_key <= GDK_F35)
                                           ? static_cast<GdkModifierType>(0)
                                           : GDK_CONTROL_MASK;
                if (e.accel_key)
                    gtk_widget_add_accelerator(item, "activate", g.accel_group, e.accel_key,
                                               mods, GTK_ACCEL_VISIBLE);
                g_signal_connect(item, e.check ? "toggled" : "activate", e.handler, app);
                if (e.member)
                    g.*(e.member) = item;
            }
            gtk_menu_shell_append(GTK_MENU_SHELL(menu), item);
        }
    }
    gtk_menu_item_set_right_justified(GTK_MENU_ITEM(g.mi_help), TRUE);
    gtk_widget_show_all(bar);
    return bar;
}

/* Ctrl+Page Up / Ctrl+Page Down switch the plug-in pages from anywhere in
 * the window, not only with the focus on the notebook's tabs; the
 * notebook's own key handling does the switching, wrapping included. */
gboolean on_page_key(GtkAccelGroup *, GObject *, guint keyval, GdkModifierType, gpointer data)
{
    nb_app *app = static_cast<nb_app *>(data);
    if (!app->gui.notebook)
        return FALSE;
    gboolean handled = FALSE;
    g_signal_emit_by_name(app->gui.notebook, "change-current-page",
                          keyval == GDK_Page_Up ? -1 : 1, &handled);
    return TRUE;
}

}  // namespace

void build_main_window(nb_app *app)
{
    nb_gui &g = app->gui;

    GtkWidget *win = gtk_window_new(GTK_WINDOW_TOPLEVEL);
    nb_mainwin = win;
    gtk_widget_set_name(win, "mainwin");
    g_signal_connect(win, "destroy", G_CALLBACK(quit_main_loop), app);
    g_signal_connect(win, "destroy", G_CALLBACK(on_mainwin_destroy), app);
    g_signal_connect(win, "delete-event", G_CALLBACK(on_mainwin_delete), app);

    set_main_window_title(app);

    gtk_widget_set_size_request(win, 750, 550);
    int32_t w = g.hsize, h = g.vsize, x = g.xpos, y = g.ypos;
    fit_to_screen(win, &w, &h, &x, &y);
    gtk_window_set_default_size(GTK_WINDOW(win), w, h);
    if (x >= 0 && y >= 0)
        gtk_window_move(GTK_WINDOW(win), x, y);
    else
        gtk_window_set_position(GTK_WINDOW(win), GTK_WIN_POS_CENTER);

    g.accel_group = gtk_accel_group_new();
    gtk_window_add_accel_group(GTK_WINDOW(win), g.accel_group);
    g_object_unref(g.accel_group);   /* the window keeps it alive */
    for (guint key : {GDK_Page_Up, GDK_Page_Down})
        gtk_accel_group_connect(g.accel_group, key, GDK_CONTROL_MASK, static_cast<GtkAccelFlags>(0),
                                g_cclosure_new(G_CALLBACK(on_page_key), app, nullptr));

    GtkWidget *vbox = gtk_vbox_new(FALSE, 0);
    gtk_container_set_border_width(GTK_CONTAINER(vbox), 0);
    gtk_container_add(GTK_CONTAINER(win), vbox);

    gtk_box_pack_start(GTK_BOX(vbox), build_menu_bar(app), FALSE, FALSE, 0);

    g.paned = gtk_hpaned_new();
    gtk_widget_set_name(g.paned, "paned");
    gtk_paned_set_position(GTK_PANED(g.paned), g.left_pane_size);
    g_signal_connect(g.paned, "notify::position", G_CALLBACK(on_paned_position), app);
    gtk_box_pack_start(GTK_BOX(vbox), g.paned, TRUE, TRUE, 0);

    GtkWidget *left = gtk_vbox_new(FALSE, 0);
    gtk_container_set_border_width(GTK_CONTAINER(left), 0);
    /* The channel list goes on top once a channel was added. */
    build_channels_panel(app);
    gtk_box_pack_start(GTK_BOX(left), g.ops.build_controls_panel(app), FALSE, FALSE, 0);
    gtk_box_pack_start(GTK_BOX(left), g.ops.build_errors_panel(), FALSE, FALSE, 0);
    gtk_box_pack_start(GTK_BOX(left), g.ops.build_info_panel(app), TRUE, TRUE, 0);

    g.notebook = gtk_notebook_new();
    gtk_widget_set_name(g.notebook, "notebook");
    gtk_notebook_set_scrollable(GTK_NOTEBOOK(g.notebook), TRUE);
    gtk_notebook_popup_enable(GTK_NOTEBOOK(g.notebook));
    g_signal_connect(g.notebook, "page-reordered", G_CALLBACK(on_pages_changed), app);
    g_signal_connect(g.notebook, "switch-page", G_CALLBACK(on_switch_page), app);

    gtk_paned_add1(GTK_PANED(g.paned), left);
    gtk_paned_add2(GTK_PANED(g.paned), g.notebook);

    g_signal_connect(win, "configure-event", G_CALLBACK(on_mainwin_configure), app);
    refresh_channels(app);
    gtk_widget_show_all(win);
    gtk_widget_show_now(win);
    /* Where it was placed, for the first session written. */
    gint px = 0, py = 0;
    gtk_window_get_position(GTK_WINDOW(win), &px, &py);
    g.xpos = px;
    g.ypos = py;
}

void set_main_window_title(nb_app *app)
{
    if (!nb_mainwin)
        return;
    char title[NB_TEXT_MAX];
    g_snprintf(title, sizeof title, "ch %d - %s", (int)app->chan.number, NB_PRODUCT_TITLE);
    gtk_window_set_title(GTK_WINDOW(nb_mainwin), title);
}

void apply_main_window_geometry(nb_app *app)
{
    nb_gui &g = app->gui;
    /* Read before the calls below: the position notification rewrites
     * the field. */
    int32_t w = g.hsize, h = g.vsize, x = g.xpos, y = g.ypos;
    const int32_t pane = g.left_pane_size;
    if (nb_mainwin && w > 0 && h > 0) {
        fit_to_screen(nb_mainwin, &w, &h, &x, &y);
        gtk_window_resize(GTK_WINDOW(nb_mainwin), w, h);
        if (x >= 0 && y >= 0)
            gtk_window_move(GTK_WINDOW(nb_mainwin), x, y);
    }
    if (g.paned)
        gtk_paned_set_position(GTK_PANED(g.paned), pane);
    if (g.mi_time_origin) {
        /* The session's choice, shown without being made again. */
        GtkCheckMenuItem *item = GTK_CHECK_MENU_ITEM(g.mi_time_origin);
        g_signal_handlers_block_by_func(item, (gpointer)on_time_origin_toggled, app);
        gtk_check_menu_item_set_active(item, app->time.from_start ? TRUE : FALSE);
        g_signal_handlers_unblock_by_func(item, (gpointer)on_time_origin_toggled, app);
    }
    g.hsize = w;
    g.vsize = h;
    g.xpos = x;
    g.ypos = y;
    g.left_pane_size = pane;
}

void window_state_changed(nb_app *app)
{
    /* Written a second after the last change: a drag writes once. */
    if (app->gui.settle_source)
        g_source_remove(app->gui.settle_source);
    app->gui.settle_source = g_timeout_add(1000, on_settled, app);
}

void window_state_flush(nb_app *app)
{
    if (app->gui.settle_source) {
        g_source_remove(app->gui.settle_source);
        app->gui.settle_source = 0;
    }
    if (nb_mainwin && session_window_unsaved(app))
        (void)app->session.ops.autosave(app);
}
