/*
 * session_file.h - writing and reading session files (.nbs).
 *
 * A session file holds the main section "Nimbrel" (window geometry,
 * channel settings, the loaded plug-ins) followed by one "Plugin" section
 * per loaded plug-in with the plug-in's own keys.
 */
#ifndef NB_SESSION_FILE_H
#define NB_SESSION_FILE_H

#include <stddef.h>
#include <stdint.h>

#include "app/nb_defs.h"

struct nb_session_chan;

enum {
    SES_LOAD_FILE = 0,     /* everything applied, the channel number included */
    SES_LOAD_AUTO = 1,     /* Chan, Flags and FD ignored */
    SES_LOAD_PLUGINS = 2,  /* only the plug-in sections delivered */
    SES_LOAD_CHECK = 3     /* every line read and checked as SES_LOAD_FILE
                            * would; nothing applied, nothing delivered,
                            * no message shown */
};

/* Writes the session to path (UTF-8): the full variant when automatic is
 * 0, without Chan and Flags when it is 1. The file is replaced only when
 * every line was written; on failure the previous file stays as it was.
 * Returns 0, -1 (path not convertible, file not created or replaced),
 * CFG_E_BADNAME or CFG_E_IO. */
int32_t session_write(nb_app *app, const char *path, int automatic);

/* Asks a loaded plug-in that the user is releasing for its keys and keeps
 * them: automatic files go on carrying its section, so loading it again
 * gives it back its settings. */
void session_keep_released(nb_app *app, nb_plugin *entry);

/* Why the last session_write failed (the file and the system's reason),
 * empty after a success. */
const char *session_write_error(void);

/* Reads path (UTF-8) in one of the SES_LOAD_* modes. Returns 0, -1 for a
 * file that is missing or cannot be opened (no message), or the parser's
 * negative code after showing the parse error. */
int32_t session_read(nb_app *app, const char *path, int mode);

/* The CAN mode (NB_FD_*) of channel chan's automatic session; classic
 * when it has none or does not read. */
uint8_t session_last_fd(nb_app *app, uint8_t chan);

/* The main channel's settings, adapter and (Chan) number path holds, as
 * a load would take them (keys it lacks keep the channel record's), with
 * nothing applied or shown. Returns 0 or session_read's code. */
int32_t session_peek_main(nb_app *app, const char *path, nb_session_chan *out);

/* Why the last session_read failed: the system's reason the file could
 * not be opened, or the parser's message. Empty after a success. */
const char *session_read_reason(void);

/* Whether the window's state (size, place, divider, tab order, current
 * page) differs from what the last automatic session written holds, the
 * same plug-ins being loaded. */
bool session_window_unsaved(nb_app *app);

/* Tells the user that path could not be loaded, and why (the reason of
 * the last session_read). */
void session_report_unloadable(const char *path);
/* The same message as text, for a caller that shows it later. */
void session_unloadable_text(const char *path, char *buf, size_t size);

#endif /* NB_SESSION_FILE_H */
