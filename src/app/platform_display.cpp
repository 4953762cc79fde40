/*
 * platform_display.cpp - the host's layer over the X display: GDK's
 * search for the window under the pointer, made safe against other
 * clients' windows that go away during it.
 */
#include "app/platform.h"

#include <gtk/gtk.h>

#include <X11/Xlib.h>
#include <gdk/gdkx.h>

namespace {

/* Where the pointer is, as gdk_display_get_window_at_pointer says it, for
 * a display shared with other clients that come and go. GDK walks the X
 * windows under the pointer from the root down and takes an error on the
 * way as fatal; but a client that ends while the walk is inside its window
 * takes that window with it (the server drops a closed client at once,
 * even during a server grab), and the process died of BadWindow. GTK walks
 * like this whenever a tooltip changes (gtk_widget_set_tooltip_text).
 * Here every step is trapped: a window that went away ends the walk, and
 * the pointer is then over no window of this process, as it is over any
 * other client's window. */
GdkWindow *window_at_pointer(GdkDisplay *display, gint *win_x, gint *win_y)
{
    Display *xd = GDK_DISPLAY_XDISPLAY(display);
    Window root_xw = GDK_WINDOW_XID(gdk_screen_get_root_window(gdk_display_get_default_screen(display)));
    Window xw = root_xw, last = None;
    while (xw != None) {
        Window root, child;
        int rx, ry, wx, wy;
        unsigned int mask;
        gdk_error_trap_push();
        Bool same_screen = XQueryPointer(xd, xw, &root, &child, &rx, &ry, &wx, &wy, &mask);
        if (gdk_error_trap_pop() || !same_screen) {
            last = None;
            break;
        }
        last = xw;
        xw = child;
    }
    /* Over the bare root the pointer is over no window, as GDK says it. */
    GdkWindow *window =
        last != None && last != root_xw ? gdk_window_lookup_for_display(display, last) : nullptr;
    if (!window || gdk_window_is_destroyed(window)) {
        *win_x = *win_y = -1;
        return nullptr;
    }
    /* Down this process's own windows, which are not all X windows. */
    gint x = -1, y = -1;
    for (GdkWindow *below = gdk_window_get_pointer(window, &x, &y, nullptr);
         below && below != window; below = gdk_window_get_pointer(window, &x, &y, nullptr))
        window = below;
    *win_x = x;
    *win_y = y;
    return window;
}

}  // namespace

void nbsdep_trap_pointer_walk(void)
{
    static GdkDisplayPointerHooks hooks;
    GdkDisplay *display = gdk_display_get_default();
    if (!display)
        return;
    hooks = *gdk_display_set_pointer_hooks(display, nullptr);
    hooks.window_at_pointer = window_at_pointer;
    gdk_display_set_pointer_hooks(display, &hooks);
}
