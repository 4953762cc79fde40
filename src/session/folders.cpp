/*
 * folders.cpp - the start folders of file choosers, one per kind of file
 * (logs, signal databases, sessions, exports), shared by the host's
 * choosers and every plug-in's (the exports nb_get_folder, nb_set_folder)
 * and kept in the session's main section (LogFolder, DbcFolder,
 * SessionFolder, ExportFolder).
 */
#include "session/folders.h"

#include <glib.h>
#include <string.h>

#include "app/nb_app.h"

namespace {

const char *const key_names[NB_FOLDER_KINDS] = {"LogFolder", "DbcFolder", "SessionFolder",
                                                "ExportFolder"};

bool valid_kind(int kind) { return kind >= 0 && kind < NB_FOLDER_KINDS; }

}  // namespace

const char *folder_key(int kind) { return valid_kind(kind) ? key_names[kind] : nullptr; }

int folder_set(nb_app *app, int kind, const char *folder)
{
    /* What the session line could not carry back whole, or a cut path
     * that would name another folder, is not kept. */
    if (!valid_kind(kind) || !folder || !g_path_is_absolute(folder) ||
        strlen(folder) >= NB_FOLDER_MAX || strpbrk(folder, "\r\n") ||
        !g_utf8_validate(folder, -1, nullptr))
        return -1;
    g_strlcpy(app->session.folders[kind], folder, sizeof app->session.folders[kind]);
    return 0;
}

int folder_get(const nb_app *app, int kind, char *buf, size_t size)
{
    if (buf && size)
        buf[0] = '\0';
    if (!valid_kind(kind) || !buf || !app->session.folders[kind][0])
        return -1;
    const char *folder = app->session.folders[kind];
    if (strlen(folder) >= size)
        return -1;
    gchar *local = g_filename_from_utf8(folder, -1, nullptr, nullptr, nullptr);
    bool is_dir = local && g_file_test(local, G_FILE_TEST_IS_DIR);
    g_free(local);
    if (!is_dir)
        return -1;
    g_strlcpy(buf, folder, size);
    return 0;
}

void folder_forget_all(nb_app *app)
{
    for (auto &folder : app->session.folders)
        folder[0] = '\0';
}

extern "C" NB_HOST_API int nb_get_folder(int kind, char *buf, size_t size)
{
    return folder_get(&the_app, kind, buf, size);
}

extern "C" NB_HOST_API int nb_set_folder(int kind, const char *folder)
{
    return folder_set(&the_app, kind, folder);
}
