/*
 * messages.cpp - the modal message boxes of the host and of plug-ins.
 *
 * Every message is a modal GTK message dialog with one OK button,
 * centred on the screen. Its text is always passed through "%s", so a
 * percent sign in a fixed text stays a percent sign.
 */
#include "app/messages.h"

#include <gtk/gtk.h>
#include <stdarg.h>

#include "app/nb_defs.h"
#include "nimbrel/nimbrel.h"
#include "zelk.h"

namespace {

void run_dialog(GtkMessageType type, const char *text)
{
    GtkWidget *dlg = gtk_message_dialog_new(
        nullptr, (GtkDialogFlags)(GTK_DIALOG_MODAL | GTK_DIALOG_DESTROY_WITH_PARENT), type,
        GTK_BUTTONS_OK, "%s", text ? text : "");
    gtk_window_set_position(GTK_WINDOW(dlg), GTK_WIN_POS_CENTER);
    gtk_dialog_run(GTK_DIALOG(dlg));
    gtk_widget_destroy(dlg);
}

void show_formatted(GtkMessageType type, const char *format, va_list args) G_GNUC_PRINTF(2, 0);

void show_formatted(GtkMessageType type, const char *format, va_list args)
{
    char buf[NB_TEXT_MAX];
    message_vformat(buf, sizeof buf, format, args);
    run_dialog(type, buf);
}

}  // namespace

char *message_vformat(char *buf, size_t size, const char *format, va_list args)
{
    if (!buf || size == 0)
        return buf;
    /* The limit of NB_MESSAGE_MAX_CHARS characters plus the NUL. */
    size_t limit = size < NB_MESSAGE_MAX_CHARS + 1 ? size : NB_MESSAGE_MAX_CHARS + 1;
    if (!format) {
        buf[0] = '\0';
        return buf;
    }
    g_vsnprintf(buf, (gulong)limit, format, args);
    return buf;
}

char *lib_error_format(char *buf, size_t size, const char *text, int32_t code)
{
    if (!buf || size == 0)
        return buf;
    char desc[512];
    desc[0] = '\0';
    ZkStrError((int16_t)(code & 0xFFFF), desc, sizeof desc);
    desc[sizeof desc - 1] = '\0';
    g_snprintf(buf, (gulong)size, "%s: %s", text ? text : "", desc);
    return buf;
}

void show_message(int type, const char *text)
{
    run_dialog((GtkMessageType)type, text);
}

void lib_error_message(const char *text, int32_t code)
{
    char buf[NB_TEXT_MAX];
    lib_error_format(buf, sizeof buf, text, code);
    run_dialog(GTK_MESSAGE_ERROR, buf);
}

extern "C" {

NB_HOST_API void nb_message_info(const char *format, ...)
{
    va_list args;
    va_start(args, format);
    show_formatted(GTK_MESSAGE_INFO, format, args);
    va_end(args);
}

NB_HOST_API void nb_message_warn(const char *format, ...)
{
    va_list args;
    va_start(args, format);
    show_formatted(GTK_MESSAGE_WARNING, format, args);
    va_end(args);
}

NB_HOST_API void nb_message_error(const char *format, ...)
{
    va_list args;
    va_start(args, format);
    show_formatted(GTK_MESSAGE_ERROR, format, args);
    va_end(args);
}

NB_HOST_API void nb_warn(const char *text)
{
    show_message(GTK_MESSAGE_WARNING, text);
}

NB_HOST_API void nb_error(const char *text)
{
    show_message(GTK_MESSAGE_ERROR, text);
}

}  // extern "C"
