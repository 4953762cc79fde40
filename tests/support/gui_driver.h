// In-process driving of GTK dialogs for tests.
//
// Code under test that runs a dialog (gtk_dialog_run) blocks in a nested
// main loop. A DialogDriver answers such dialogs from a GLib timeout: it
// looks for a mapped modal GtkDialog it has not handled yet and hands it
// to the next queued action. A dialog for which no action is queued is
// closed (GTK_RESPONSE_DELETE_EVENT) and recorded as unexpected. A dialog
// is marked on the object itself once it is handled, so a new dialog that
// happens to get the address of a destroyed one is a new dialog.
//
// Every driver has a deadline: a dialog that stays unanswered longer than
// that (an action that keeps saying "not yet", or a handled dialog that
// was run again and that no action answers) fails the test and is closed,
// so a test never hangs. Keep one driver alive at a time, scoped to the
// test.
#ifndef NBTEST_GUI_DRIVER_H
#define NBTEST_GUI_DRIVER_H

#include <gtk/gtk.h>

#include <deque>
#include <functional>
#include <string>
#include <vector>

namespace nbtest {

class DialogDriver {
public:
    // An action gets the dialog; it may change widgets, then it must end
    // the dialog (gtk_dialog_response or a button click) and return true.
    // Returning false means "not yet": the action is offered the same
    // dialog again at the next timeout (useful to wait for a condition).
    using Action = std::function<bool(GtkDialog *dialog)>;

    // deadline_ms: how long one dialog may stay unanswered.
    explicit DialogDriver(int deadline_ms = 20000);
    ~DialogDriver();
    DialogDriver(const DialogDriver &) = delete;
    DialogDriver &operator=(const DialogDriver &) = delete;

    // Queue an action for the next dialog.
    void then(Action action);
    // Queue: answer the next dialog with this response (clicks the button
    // of that response when there is one, else emits the response).
    void respond(int response);

    // Every dialog seen: its title, and for a message dialog its text.
    struct Seen {
        std::string title;
        std::string text;       // GtkMessageDialog "text", else empty
        GtkMessageType type;    // GTK_MESSAGE_OTHER for non-message dialogs
        bool expected;
    };
    const std::vector<Seen> &seen() const { return seen_; }
    // Texts of dialogs that had no queued action.
    std::vector<std::string> unexpected() const;
    // True when every queued action has been used.
    bool done() const { return actions_.empty(); }

private:
    static gboolean on_timeout(gpointer self);
    void poll();

    Seen describe(GtkWidget *dialog, bool expected) const;
    // Closes a dialog that outlived the deadline and fails the test.
    void give_up(GtkWidget *dialog, const char *why);

    std::deque<Action> actions_;
    std::vector<Seen> seen_;
    // The widgets, columns, cells and models of every file chooser seen,
    // referenced until the driver ends: GTK+ 2's chooser finishes folder
    // and shortcut look-ups it started after it was destroyed, and then
    // uses them; a test that answers at once would have them freed by then.
    void keep_chooser(GtkWidget *chooser);
    std::vector<GObject *> kept_;
    gint64 deadline_us_;
    guint source_ = 0;
};

// Clicks the dialog's button for a response, or emits the response.
void dialog_respond(GtkDialog *dialog, int response);

// File choosers. GTK+ 2's chooser changes folders asynchronously, and
// when the folder it opens in is one of its shortcuts (home, desktop) it
// activates that shortcut once more after its first load: a folder change
// made meanwhile is undone when that late one lands.
// enter_path: a chooser that saves gets the whole path typed into its
// name field, which it takes at once and keeps whatever folder it shows;
// one that opens gets the file selected, which takes a folder change.
// Returns whether the chooser gives that file now.
bool enter_path(GtkDialog *chooser, const std::string &path);
// The file the chooser gives now; empty when none.
std::string chosen_file(GtkDialog *chooser);
// An action for a file chooser: enter path, and once the chooser gives it
// answer with response, a click on its button (click) or the response
// emitted. A chooser that opens and was taken to another folder by a late
// change of its own gets the file again, only after a folder change has
// ended, so that its own slow loads are never cut short.
DialogDriver::Action choose_path(const std::string &path, int response = GTK_RESPONSE_ACCEPT,
                                 bool click = true);

// The "text" of a GtkMessageDialog (empty for other widgets).
std::string message_text(GtkWidget *dialog);

// Widget finders: walk containers (internal children included) depth
// first from root. By name (gtk_widget_set_name), by the label text of a
// button or label, or by the first widget of a type.
GtkWidget *find_by_name(GtkWidget *root, const char *name);
GtkWidget *find_button(GtkWidget *root, const char *label);
GtkWidget *find_label(GtkWidget *root, const char *text);
GtkWidget *find_by_type(GtkWidget *root, GType type, int index = 0);
// Every widget of a type under root, in walk order.
std::vector<GtkWidget *> find_all_by_type(GtkWidget *root, GType type);

// A mapped toplevel window whose title is title, or null.
GtkWidget *find_toplevel(const char *title);

// Menu item with this label below a menu shell or menu item (sub-menus
// searched), or null.
GtkWidget *find_menu_item(GtkWidget *root, const char *label);

// Pumps pending GTK events without blocking.
void pump();

// Loads the accessibility module into this process, as GTK_MODULES=gail
// does at start-up; false where it is not installed. Accessible objects
// made before stay as they were: only widgets asked for theirs afterwards
// get the module's.
bool load_accessibility();

}  // namespace nbtest

#endif
