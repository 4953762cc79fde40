/*
 * session_chooser.h - what the Save and Load session file choosers share:
 * their filters, the folder and name they start with, and the extension a
 * saved name gets.
 */
#ifndef NB_SESSION_CHOOSER_H
#define NB_SESSION_CHOOSER_H

#include <gtk/gtk.h>
#include <stddef.h>

#include "app/nb_defs.h"

/* Adds the filters ("Nimbrel sessions (*.nbs)", chosen, and "All files"),
 * starts in the folder of the last session file chosen (at first the
 * desktop folder) and offers "nbses-ch<N>.nbs": as the name to save
 * under, or selected when it exists for a chooser that opens. */
void session_chooser_setup(GtkFileChooser *chooser, nb_app *app);

/* After the user accepted a Save or Load chooser: its folder is where the
 * next session chooser starts (NB_FOLDER_SESSIONS). */
void session_chooser_keep(GtkFileChooser *chooser);

/* The file a name chosen for saving stands for, in file-name encoding:
 * the name with ".nbs" added when its last component has no extension.
 * Returns a newly allocated string (g_free). */
gchar *session_save_name(const gchar *chosen);

#endif /* NB_SESSION_CHOOSER_H */
