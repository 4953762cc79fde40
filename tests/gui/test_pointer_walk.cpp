// GDK's search for the window under the pointer, as the program installs
// it: another client's window that goes away during the search must not
// end the process (GDK takes an X error there as fatal).
#include <gtest/gtest.h>
#include <gtk/gtk.h>

#include <X11/Xlib.h>
#include <dlfcn.h>
#include <gdk/gdkx.h>

namespace {

// The window to destroy just before this process next asks X where the
// pointer is inside it: the race of a closing client, made certain.
Window g_doomed = None;

}  // namespace

// Interposes Xlib's call for every caller in this process (GDK's and the
// program's search alike).
extern "C" Bool XQueryPointer(Display *d, Window w, Window *root, Window *child, int *root_x,
                              int *root_y, int *win_x, int *win_y, unsigned int *mask)
{
    using query_fn = Bool (*)(Display *, Window, Window *, Window *, int *, int *, int *, int *,
                              unsigned int *);
    static query_fn real = reinterpret_cast<query_fn>(dlsym(RTLD_NEXT, "XQueryPointer"));
    if (w != None && w == g_doomed) {
        g_doomed = None;
        XDestroyWindow(d, w);
    }
    return real(d, w, root, child, root_x, root_y, win_x, win_y, mask);
}

TEST(PointerWalk, AnotherClientsWindowClosingDuringTheSearchIsNoWindowOfOurs)
{
    Display *other = XOpenDisplay(nullptr);
    ASSERT_NE(other, nullptr);
    Window root = DefaultRootWindow(other), r, c;
    int x = 0, y = 0, wx, wy;
    unsigned int mask;
    XQueryPointer(other, root, &r, &c, &x, &y, &wx, &wy, &mask);
    // The other client's window right under the pointer, on top.
    XSetWindowAttributes attrs;
    attrs.override_redirect = True;
    Window win = XCreateWindow(other, root, x - 20, y - 20, 40, 40, 0, CopyFromParent,
                               InputOutput, CopyFromParent, CWOverrideRedirect, &attrs);
    XMapRaised(other, win);
    XSync(other, False);

    g_doomed = win;
    gint px = 0, py = 0;
    GdkWindow *under = gdk_display_get_window_at_pointer(gdk_display_get_default(), &px, &py);
    EXPECT_EQ(g_doomed, None) << "the search never looked inside the other client's window";
    EXPECT_EQ(under, nullptr);
    g_doomed = None;
    XCloseDisplay(other);

    // Over a window of this process the search still finds it.
    GtkWidget *top = gtk_window_new(GTK_WINDOW_POPUP);
    gtk_window_move(GTK_WINDOW(top), x - 20, y - 20);
    gtk_widget_set_size_request(top, 40, 40);
    gtk_widget_show(top);
    gdk_display_sync(gdk_display_get_default());
    EXPECT_EQ(gdk_display_get_window_at_pointer(gdk_display_get_default(), &px, &py),
              top->window);
    gtk_widget_destroy(top);
}
