/*
 * folders.h - the start folders of file choosers by kind of file
 * (NB_FOLDER_* of nimbrel.h), held in nb_session.folders and kept in the
 * session's main section.
 */
#ifndef NB_FOLDERS_H
#define NB_FOLDERS_H

#include <gtk/gtk.h>
#include <stddef.h>

#include "app/nb_app.h"

/* The session key of a kind ("LogFolder", ...), null for no kind. */
const char *folder_key(int kind);

/* nb_set_folder and nb_get_folder (nimbrel.h) on app. */
int folder_set(nb_app *app, int kind, const char *folder);
int folder_get(const nb_app *app, int kind, char *buf, size_t size);

/* Starts chooser in the kind's folder, else in fallback (UTF-8, may be
 * null), else in the home folder; never in the list of recent files. */
void folder_chooser_start(const nb_app *app, GtkFileChooser *chooser, int kind,
                          const char *fallback);

/* After the user accepted chooser: the chosen file's folder (the folder
 * itself for a folder chooser) becomes the kind's folder. */
void folder_chooser_keep(nb_app *app, GtkFileChooser *chooser, int kind);

/* No folder known for any kind (a session reset to its defaults). */
void folder_forget_all(nb_app *app);

#endif /* NB_FOLDERS_H */
