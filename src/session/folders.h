/*
 * folders.h - the start folders of file choosers by kind of file
 * (NB_FOLDER_* of nimbrel.h), held in nb_session.folders and kept in the
 * session's main section. Choosers start and end through the plug-in
 * kit's nbkit_chooser_start and nbkit_chooser_keep, the host's as well.
 */
#ifndef NB_FOLDERS_H
#define NB_FOLDERS_H

#include <stddef.h>

#include "app/nb_defs.h"

/* The session key of a kind ("LogFolder", ...), null for no kind. */
const char *folder_key(int kind);

/* nb_set_folder and nb_get_folder (nimbrel.h) on app. */
int folder_set(nb_app *app, int kind, const char *folder);
int folder_get(const nb_app *app, int kind, char *buf, size_t size);

/* No folder known for any kind (a session reset to its defaults). */
void folder_forget_all(nb_app *app);

#endif /* NB_FOLDERS_H */
