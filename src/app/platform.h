/*
 * platform.h - the host's small layer over the operating system.
 *
 * Everything that differs between systems stays behind these functions:
 * the installation directory, the user's folders, the clock, the process
 * priority, the loading of plug-in libraries and the display's quirks.
 * Paths are UTF-8.
 */
#ifndef NB_PLATFORM_H
#define NB_PLATFORM_H

#include <stddef.h>
#include <stdint.h>

/* Directory separator used when the host forms paths. */
#define NBSDEP_DIR_SEP "/"

/* The installation directory: the executable's directory, or its parent
 * when that directory is named "bin" or "lib". Cut to size - 1 bytes.
 * Returns 0, or -1 (buf then empty) when it cannot be determined. */
int nbsdep_install_dir(char *buf, size_t size);
/* The same rule for a given executable path (the one above uses the
 * running program's). */
int nbsdep_install_dir_of(const char *exe_path, char *buf, size_t size);

/* The folder of architecture-independent data (message catalogues in
 * "locale", the user guide in "doc/nimbrel"): "<install_dir>/share" when
 * that is a folder (the build's staging directory keeps everything in
 * one place), else the share folder of the installed tree, found from the
 * installation directory by the relative path NB_DATADIR_REL that the
 * build compiles in ("../../share" for PREFIX/lib/nimbrel). So a tree
 * installed under any prefix, or moved, finds its data. Cut to size - 1
 * bytes. Returns 0, or -1 (buf then empty). */
int nbsdep_data_dir(const char *install_dir, char *buf, size_t size);

/* The user's desktop folder (XDG user folder, the home folder when there
 * is none). Returns 0 or -1. */
int nbsdep_desktop_dir(char *buf, size_t size);

/* The user's data folder ($XDG_DATA_HOME or its default), created when
 * missing. Returns 0 or -1. */
int nbsdep_user_data_dir(char *buf, size_t size);

/* The program's own folder in the user's data folder,
 * "$XDG_DATA_HOME/nimbrel", created (mode 0700) when missing. Returns 0,
 * or -1 (buf then empty) when it cannot be made or does not fit. */
int nbsdep_app_data_dir(char *buf, size_t size);

/* Timestamp (100 ns since 1601-01-01 UTC, millisecond resolution) of a
 * Unix time given in seconds and microseconds. nbsdep_timestamp_get (the
 * export) is this of the current real-time clock. */
uint64_t nbsdep_timestamp_from_unix(int64_t sec, int64_t usec);

/* Raises the process priority; a refusal is silent. */
void nbsdep_raise_priority(void);

/* Plug-in libraries. nbsdep_dl_open converts the UTF-8 path to the file
 * name encoding and loads with every symbol resolved now, so a library
 * that needs a symbol the host lacks fails here. Only a regular file that
 * is a complete ELF shared object for this machine is loaded; any other
 * is left out with one line on stderr naming it and why. Null on
 * failure. */
void *nbsdep_dl_open(const char *utf8_path);
void *nbsdep_dl_sym(void *handle, const char *name);
void  nbsdep_dl_close(void *handle);

/* 1 when a directory entry's name is a plug-in candidate: it ends in
 * "so", compared case-insensitively on the last characters. */
int nbsdep_is_library_name(const char *name);

/* Makes GDK's search for the window under the pointer on the default
 * display (made on every tooltip change) survive another client's window
 * that closes during it: such a window ends the search as over no window
 * of this process, where GDK would end the process. Call once after GTK
 * is initialised; without a display it does nothing. */
void nbsdep_trap_pointer_walk(void);

#endif /* NB_PLATFORM_H */
