#include "gui_driver.h"

#include <dlfcn.h>
#include <gtest/gtest.h>

#include <cstring>
#include <memory>

#include "test_env.h"

namespace nbtest {

namespace {

// Marks on the dialog object: when a driver first saw it, and when it was
// handled. Object data dies with the object, unlike a remembered address.
GQuark seen_quark() { return g_quark_from_static_string("nbtest-driver-seen"); }
GQuark handled_quark() { return g_quark_from_static_string("nbtest-driver-handled"); }

void mark_time(GtkWidget *w, GQuark q)
{
    gint64 *t = g_new(gint64, 1);
    *t = g_get_monotonic_time();
    g_object_set_qdata_full(G_OBJECT(w), q, t, g_free);
}

// Microseconds since the mark, or -1 when there is none.
gint64 since_mark(GtkWidget *w, GQuark q)
{
    const gint64 *t = static_cast<const gint64 *>(g_object_get_qdata(G_OBJECT(w), q));
    return t ? g_get_monotonic_time() - *t : -1;
}

}  // namespace

DialogDriver::DialogDriver(int deadline_ms) : deadline_us_((gint64)deadline_ms * 1000)
{
    source_ = g_timeout_add(20, &DialogDriver::on_timeout, this);
}

DialogDriver::~DialogDriver()
{
    if (source_)
        g_source_remove(source_);
    if (!kept_.empty()) {
        pump();   // the choosers' look-ups end while their widgets live
        for (GObject *o : kept_)
            g_object_unref(o);
    }
}

void DialogDriver::then(Action action) { actions_.push_back(std::move(action)); }

void DialogDriver::respond(int response)
{
    then([response](GtkDialog *d) {
        dialog_respond(d, response);
        return true;
    });
}

std::vector<std::string> DialogDriver::unexpected() const
{
    std::vector<std::string> out;
    for (const Seen &s : seen_)
        if (!s.expected)
            out.push_back(s.title + (s.text.empty() ? "" : ": " + s.text));
    return out;
}

gboolean DialogDriver::on_timeout(gpointer self)
{
    static_cast<DialogDriver *>(self)->poll();
    return TRUE;
}

DialogDriver::Seen DialogDriver::describe(GtkWidget *dialog, bool expected) const
{
    const char *title = gtk_window_get_title(GTK_WINDOW(dialog));
    Seen s{title ? title : "", message_text(dialog), GTK_MESSAGE_OTHER, expected};
    if (GTK_IS_MESSAGE_DIALOG(dialog)) {
        GtkMessageType t;
        g_object_get(dialog, "message-type", &t, NULL);
        s.type = t;
    }
    return s;
}

void DialogDriver::give_up(GtkWidget *dialog, const char *why)
{
    Seen s = describe(dialog, false);
    ADD_FAILURE() << "dialog \"" << s.title << "\"" << (s.text.empty() ? "" : " (" + s.text + ")")
                  << " " << why << " for " << deadline_us_ / 1000 << " ms: closed";
    seen_.push_back(s);
    mark_time(dialog, handled_quark());
    gtk_dialog_response(GTK_DIALOG(dialog), GTK_RESPONSE_DELETE_EVENT);
}

void DialogDriver::keep_chooser(GtkWidget *chooser)
{
    for (GtkWidget *w : find_all_by_type(chooser, GTK_TYPE_WIDGET)) {
        kept_.push_back(G_OBJECT(g_object_ref(w)));
        if (!GTK_IS_TREE_VIEW(w))
            continue;
        GList *cols = gtk_tree_view_get_columns(GTK_TREE_VIEW(w));
        for (GList *l = cols; l; l = l->next) {
            kept_.push_back(G_OBJECT(g_object_ref(l->data)));
            GList *cells = gtk_cell_layout_get_cells(GTK_CELL_LAYOUT(l->data));
            for (GList *c = cells; c; c = c->next)
                kept_.push_back(G_OBJECT(g_object_ref(c->data)));
            g_list_free(cells);
        }
        g_list_free(cols);
        if (GtkTreeModel *m = gtk_tree_view_get_model(GTK_TREE_VIEW(w)))
            kept_.push_back(G_OBJECT(g_object_ref(m)));
    }
}

void DialogDriver::poll()
{
    GList *tops = gtk_window_list_toplevels();
    GtkWidget *target = nullptr;
    GtkWidget *stale = nullptr;
    for (GList *l = tops; l; l = l->next) {
        GtkWidget *w = GTK_WIDGET(l->data);
        if (!GTK_IS_DIALOG(w) || !gtk_widget_get_mapped(w) || !gtk_window_get_modal(GTK_WINDOW(w)))
            continue;
        gint64 handled = since_mark(w, handled_quark());
        if (handled < 0)
            target = w;
        else if (handled > deadline_us_)
            stale = w;
    }
    g_list_free(tops);
    if (stale && !target) {
        give_up(stale, "was run again and left unanswered");
        return;
    }
    if (!target)
        return;

    if (since_mark(target, seen_quark()) < 0) {
        mark_time(target, seen_quark());
        if (GTK_IS_FILE_CHOOSER(target))
            keep_chooser(target);
    }
    if (actions_.empty()) {
        seen_.push_back(describe(target, false));
        mark_time(target, handled_quark());
        gtk_dialog_response(GTK_DIALOG(target), GTK_RESPONSE_DELETE_EVENT);
        return;
    }
    if (since_mark(target, seen_quark()) > deadline_us_) {
        // The action keeps waiting: give it up with its dialog.
        actions_.pop_front();
        give_up(target, "stayed unanswered");
        return;
    }
    Seen s = describe(target, true);
    // The action may destroy the dialog: mark it first, and take the mark
    // back when the action wants the dialog again.
    g_object_ref(target);
    mark_time(target, handled_quark());
    if (actions_.front()(GTK_DIALOG(target))) {
        seen_.push_back(s);
        actions_.pop_front();
    } else {
        g_object_set_qdata(G_OBJECT(target), handled_quark(), nullptr);
    }
    g_object_unref(target);
}

void dialog_respond(GtkDialog *dialog, int response)
{
    GtkWidget *button = gtk_dialog_get_widget_for_response(dialog, response);
    if (button && GTK_IS_BUTTON(button))
        gtk_button_clicked(GTK_BUTTON(button));
    else
        gtk_dialog_response(dialog, response);
}

std::string chosen_file(GtkDialog *chooser)
{
    gchar *fn = gtk_file_chooser_get_filename(GTK_FILE_CHOOSER(chooser));
    std::string out = fn ? fn : "";
    g_free(fn);
    return out;
}

namespace {

// Folder changes the chooser has completed since this was first asked.
int folder_changes(GtkDialog *chooser)
{
    static GQuark q = g_quark_from_static_string("nbtest-folder-changes");
    int *n = static_cast<int *>(g_object_get_qdata(G_OBJECT(chooser), q));
    if (!n) {
        n = g_new0(int, 1);
        g_object_set_qdata_full(G_OBJECT(chooser), q, n, g_free);
        g_signal_connect(chooser, "current-folder-changed",
                         G_CALLBACK(+[](GtkFileChooser *, gpointer p) { ++*static_cast<int *>(p); }),
                         n);
    }
    return *n;
}

bool saving(GtkDialog *chooser)
{
    GtkFileChooserAction a = gtk_file_chooser_get_action(GTK_FILE_CHOOSER(chooser));
    return a == GTK_FILE_CHOOSER_ACTION_SAVE || a == GTK_FILE_CHOOSER_ACTION_CREATE_FOLDER;
}

}  // namespace

bool enter_path(GtkDialog *chooser, const std::string &path)
{
    GtkFileChooser *fc = GTK_FILE_CHOOSER(chooser);
    if (!saving(chooser)) {
        (void)folder_changes(chooser);
        gtk_file_chooser_set_filename(fc, path.c_str());
        return chosen_file(chooser) == path;
    }
    // The chooser's own widget takes "location-popup" (its '/' key).
    GtkWidget *impl = nullptr;
    for (GtkWidget *w : find_all_by_type(GTK_WIDGET(chooser), GTK_TYPE_FILE_CHOOSER))
        if (w != GTK_WIDGET(chooser) && g_signal_lookup("location-popup", G_OBJECT_TYPE(w)))
            impl = w;
    if (!impl)
        return false;
    // The path as typed: the name field would complete it to a longer name
    // that it finds in the folder once it has read that.
    for (GtkWidget *e : find_all_by_type(impl, GTK_TYPE_ENTRY)) {
        GtkEntryCompletion *c = gtk_entry_get_completion(GTK_ENTRY(e));
        if (c && !g_signal_handler_find(c, G_SIGNAL_MATCH_DATA, 0, 0, nullptr, nullptr,
                                        (gpointer)&enter_path))
            g_signal_connect(c, "insert-prefix",
                             G_CALLBACK(+[](GtkEntryCompletion *, gchar *, gpointer) -> gboolean {
                                 return TRUE;
                             }),
                             (gpointer)&enter_path);
    }
    g_signal_emit_by_name(impl, "location-popup", path.c_str());
    return chosen_file(chooser) == path;
}

DialogDriver::Action choose_path(const std::string &path, int response, bool click)
{
    auto entered_at = std::make_shared<int>(-1);
    return [=](GtkDialog *d) {
        if (chosen_file(d) != path) {
            // A name is typed again (the chooser takes a path only once it
            // has a folder); a file to open is selected again only when a
            // folder change has ended elsewhere since: one still under way
            // is never cut short.
            bool away = false;
            if (*entered_at >= 0 && !saving(d) && folder_changes(d) > *entered_at) {
                gchar *cur = gtk_file_chooser_get_current_folder(GTK_FILE_CHOOSER(d));
                gchar *dir = g_path_get_dirname(path.c_str());
                away = !cur || strcmp(cur, dir) != 0;
                g_free(cur);
                g_free(dir);
            }
            if (*entered_at >= 0 && !away && !saving(d))
                return false;
            *entered_at = folder_changes(d);
            if (!enter_path(d, path))
                return false;
        }
        if (click)
            dialog_respond(d, response);
        else
            gtk_dialog_response(d, response);
        return true;
    };
}

std::string message_text(GtkWidget *dialog)
{
    if (!dialog || !GTK_IS_MESSAGE_DIALOG(dialog))
        return std::string();
    gchar *text = nullptr;
    g_object_get(dialog, "text", &text, NULL);
    std::string out = text ? text : "";
    g_free(text);
    return out;
}

namespace {

void collect(GtkWidget *w, gpointer data);

struct Walk {
    std::function<bool(GtkWidget *)> match;
    std::vector<GtkWidget *> found;
    bool all;
};

void collect(GtkWidget *w, gpointer data)
{
    Walk *walk = static_cast<Walk *>(data);
    if (!walk->all && !walk->found.empty())
        return;
    if (walk->match(w)) {
        walk->found.push_back(w);
        if (!walk->all)
            return;
    }
    if (GTK_IS_MENU_ITEM(w)) {
        GtkWidget *sub = gtk_menu_item_get_submenu(GTK_MENU_ITEM(w));
        if (sub)
            collect(sub, data);
    }
    if (GTK_IS_CONTAINER(w))
        gtk_container_forall(GTK_CONTAINER(w), collect, data);
}

std::vector<GtkWidget *> walk(GtkWidget *root, std::function<bool(GtkWidget *)> match, bool all)
{
    Walk w{std::move(match), {}, all};
    if (root)
        collect(root, &w);
    return w.found;
}

GtkWidget *first(const std::vector<GtkWidget *> &v) { return v.empty() ? nullptr : v.front(); }

std::string label_of(GtkWidget *w)
{
    if (GTK_IS_BUTTON(w)) {
        const char *l = gtk_button_get_label(GTK_BUTTON(w));
        if (l)
            return l;
    }
    if (GTK_IS_LABEL(w))
        return gtk_label_get_text(GTK_LABEL(w));
    return std::string();
}

}  // namespace

GtkWidget *find_by_name(GtkWidget *root, const char *name)
{
    return first(walk(root, [name](GtkWidget *w) {
        const char *n = gtk_widget_get_name(w);
        return n && strcmp(n, name) == 0;
    }, false));
}

GtkWidget *find_button(GtkWidget *root, const char *label)
{
    return first(walk(root, [label](GtkWidget *w) {
        if (!GTK_IS_BUTTON(w))
            return false;
        if (label_of(w) == label)
            return true;
        // A button whose child is a label (or a box holding one).
        GtkWidget *l = nullptr;
        std::vector<GtkWidget *> labels = walk(w, [](GtkWidget *c) { return GTK_IS_LABEL(c); }, true);
        for (GtkWidget *c : labels)
            if (label_of(c) == label)
                l = c;
        return l != nullptr;
    }, false));
}

GtkWidget *find_label(GtkWidget *root, const char *text)
{
    return first(walk(root, [text](GtkWidget *w) {
        return GTK_IS_LABEL(w) && label_of(w) == text;
    }, false));
}

GtkWidget *find_by_type(GtkWidget *root, GType type, int index)
{
    std::vector<GtkWidget *> all = find_all_by_type(root, type);
    return index >= 0 && index < (int)all.size() ? all[index] : nullptr;
}

std::vector<GtkWidget *> find_all_by_type(GtkWidget *root, GType type)
{
    return walk(root, [type](GtkWidget *w) { return G_TYPE_CHECK_INSTANCE_TYPE(w, type); }, true);
}

GtkWidget *find_toplevel(const char *title)
{
    GList *tops = gtk_window_list_toplevels();
    GtkWidget *found = nullptr;
    for (GList *l = tops; l && !found; l = l->next) {
        GtkWidget *w = GTK_WIDGET(l->data);
        const char *t = gtk_window_get_title(GTK_WINDOW(w));
        if (t && strcmp(t, title) == 0 && gtk_widget_get_mapped(w))
            found = w;
    }
    g_list_free(tops);
    return found;
}

GtkWidget *find_menu_item(GtkWidget *root, const char *label)
{
    return first(walk(root, [label](GtkWidget *w) {
        if (!GTK_IS_MENU_ITEM(w))
            return false;
        GtkWidget *child = gtk_bin_get_child(GTK_BIN(w));
        return child && GTK_IS_LABEL(child) && label_of(child) == label;
    }, false));
}

void pump()
{
    while (gtk_events_pending())
        gtk_main_iteration_do(FALSE);
}

bool load_accessibility()
{
    static int loaded = -1;
    if (loaded >= 0)
        return loaded;
    loaded = 0;
    // The module lies beside the toolkit's library, as GTK looks for it.
    Dl_info info;
    if (!dladdr((void *)gtk_init, &info) || !info.dli_fname)
        return false;
    gchar *dir = g_path_get_dirname(info.dli_fname);
    gchar *path = g_build_filename(dir, "gtk-2.0", "modules", "libgail.so", nullptr);
    void *module = dlopen(path, RTLD_NOW | RTLD_GLOBAL);
    g_free(path);
    g_free(dir);
    auto init = module ? (int (*)(int *, char ***))dlsym(module, "gtk_module_init") : nullptr;
    if (init) {
        int argc = 0;
        char **argv = nullptr;
        init(&argc, &argv);
        loaded = 1;
    }
    return loaded;
}

}  // namespace nbtest
