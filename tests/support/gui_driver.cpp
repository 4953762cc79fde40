#include "gui_driver.h"

#include <algorithm>
#include <cstring>

#include "test_env.h"

namespace nbtest {

DialogDriver::DialogDriver() { source_ = g_timeout_add(20, &DialogDriver::on_timeout, this); }

DialogDriver::~DialogDriver()
{
    if (source_)
        g_source_remove(source_);
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

void DialogDriver::poll()
{
    GList *tops = gtk_window_list_toplevels();
    GtkWidget *target = nullptr;
    for (GList *l = tops; l; l = l->next) {
        GtkWidget *w = GTK_WIDGET(l->data);
        if (!GTK_IS_DIALOG(w) || !gtk_widget_get_mapped(w) || !gtk_window_get_modal(GTK_WINDOW(w)))
            continue;
        if (std::find(handled_.begin(), handled_.end(), w) != handled_.end())
            continue;
        target = w;
    }
    g_list_free(tops);
    if (!target)
        return;

    GtkDialog *dialog = GTK_DIALOG(target);
    if (actions_.empty()) {
        const char *title = gtk_window_get_title(GTK_WINDOW(target));
        Seen s{title ? title : "", message_text(target),
               GTK_IS_MESSAGE_DIALOG(target) ? GTK_MESSAGE_INFO : GTK_MESSAGE_OTHER, false};
        if (GTK_IS_MESSAGE_DIALOG(target)) {
            GtkMessageType t;
            g_object_get(target, "message-type", &t, NULL);
            s.type = t;
        }
        seen_.push_back(s);
        handled_.push_back(target);
        gtk_dialog_response(dialog, GTK_RESPONSE_DELETE_EVENT);
        return;
    }
    Action &a = actions_.front();
    const char *title = gtk_window_get_title(GTK_WINDOW(target));
    Seen s{title ? title : "", message_text(target), GTK_MESSAGE_OTHER, true};
    if (GTK_IS_MESSAGE_DIALOG(target)) {
        GtkMessageType t;
        g_object_get(target, "message-type", &t, NULL);
        s.type = t;
    }
    // The dialog may be destroyed by the action: remember it first.
    handled_.push_back(target);
    if (a(dialog)) {
        seen_.push_back(s);
        actions_.pop_front();
    } else {
        handled_.pop_back();   // offer it again next time
    }
}

void dialog_respond(GtkDialog *dialog, int response)
{
    GtkWidget *button = gtk_dialog_get_widget_for_response(dialog, response);
    if (button && GTK_IS_BUTTON(button))
        gtk_button_clicked(GTK_BUTTON(button));
    else
        gtk_dialog_response(dialog, response);
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

}  // namespace nbtest
