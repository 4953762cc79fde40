/*
 * pgparts.h - GTK parts the shipped plug-ins' pages share. GUI thread
 * only. A plug-in file says "using pgparts::named;" and calls them as its
 * own.
 */
#ifndef PGPARTS_H
#define PGPARTS_H

#include <gtk/gtk.h>
#include <stddef.h>

#include <initializer_list>

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

/* Whether w is on the screen: mapped, in a window that is not minimized
 * (a refresh of what nobody sees can wait). */
bool shown(GtkWidget *w);

/* child in a scrolled window with a sunken frame, its horizontal bar
 * shown when needed, its vertical one as vpolicy says. */
GtkWidget *scrolled(GtkWidget *child, GtkPolicyType vpolicy = GTK_POLICY_AUTOMATIC);

/* The "viewing a log" banner: an event box in PGPARTS_LOG_BANNER_BG named
 * name (when not null) holding a horizontal box, given in *box, for the
 * log's title, progress and the way back to the live view. */
GtkWidget *log_banner(const char *name, GtkWidget **box);

/* Text columns (columns.cpp). */
enum : unsigned {
    COLUMN_FIXED = 1,      /* of a fixed width, not measured row by row */
    COLUMN_EXPAND = 2,     /* takes the spare width */
    COLUMN_ELLIPSIZE = 4,  /* a text wider than the column ends in an ellipsis */
};
/* The width of text in view's font, in pixels. */
int text_width(GtkWidget *view, const char *text);
/* width, or the title's width and room for the sort arrow if wider. */
int title_width(GtkWidget *view, const char *title, int width);
/* A resizable column of view showing the model's text column col. A
 * COLUMN_FIXED one is width pixels wide, or as its title or its widest
 * sample text in the language and font shown if wider; else the rows set
 * its width. */
GtkTreeViewColumn *text_column(GtkWidget *view, const char *title, int col, unsigned flags = 0,
                               int width = 0, std::initializer_list<const char *> samples = {});
/* The column's (first) cell. */
GtkCellRenderer *column_cell(GtkTreeViewColumn *c);

/* A channel choice (channels.cpp): the text combo holds first (when not
 * null), then the names of channels 0 to n-1, and shows entry active. */
typedef void (*chan_name_fn)(int chan, char *buf, size_t size);
void fill_channels(GtkComboBox *combo, const char *first, int n, chan_name_fn name, int active);

/* A file chooser (chooser.cpp) for a kind of file (NB_FOLDER_*): it
 * starts in the folder where the last such file was chosen, else in
 * fallback (UTF-8), else in the home folder; a save chooser asks before
 * it overwrites. Texts come translated by the plug-in. */
struct chooser {
    const char *title;
    GtkFileChooserAction action;  /* OPEN or SAVE */
    int kind;
    const char *fallback;
    const char *name;             /* a save chooser: the name offered */
    const char *filter_name;      /* the first filter, none when null */
    const char *const *patterns;  /* its patterns, null-terminated */
    const char *all_files;        /* the name of a filter of every file, none when null */
};
/* The dialog, to be run by chooser_run and destroyed by the caller. */
GtkFileChooser *chooser_new(const chooser &c);
/* Runs it (the plug-in is not released meanwhile); when the user accepts,
 * the chosen file's folder becomes the kind's folder. The file (in the
 * file system's encoding, g_free it) or null. */
gchar *chooser_run(GtkFileChooser *fc, int kind);
/* chooser_new, chooser_run, and the dialog destroyed. */
gchar *choose_file(const chooser &c);

}  // namespace pgparts

#endif /* PGPARTS_H */
