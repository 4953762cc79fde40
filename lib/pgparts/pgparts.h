/*
 * pgparts.h - GTK parts the shipped plug-ins' pages share. GUI thread
 * only. A plug-in file says "using pgparts::named;" and calls them as its
 * own.
 */
#ifndef PGPARTS_H
#define PGPARTS_H

#include <gtk/gtk.h>

/* The background of the banner over a view that shows a log file rather
 * than the live traffic: one colour in every plug-in. */
#define PGPARTS_LOG_BANNER_BG "#fff0b8"

namespace pgparts {

/* w, given the name tests and style files find it by. */
GtkWidget *named(GtkWidget *w, const char *name);

/* A label aligned left, vertically centred. */
GtkWidget *left_label(const char *text);

/* A button with a mnemonic label, named, calling cb(button, data) when
 * clicked; packed at the start of box when box is not null. */
GtkWidget *button(GtkWidget *box, const char *label, const char *name, GCallback cb,
                  gpointer data = nullptr);
/* The same, not packed, cb called with no data. */
GtkWidget *button(const char *label, const char *name, GCallback cb);

/* The "viewing a log" banner: an event box in PGPARTS_LOG_BANNER_BG named
 * name (when not null) holding a horizontal box, given in *box, for the
 * log's title, progress and the way back to the live view. */
GtkWidget *log_banner(const char *name, GtkWidget **box);

}  // namespace pgparts

#endif /* PGPARTS_H */
