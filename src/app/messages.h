/*
 * messages.h - the host's message boxes, and the formatting behind them,
 * kept apart from the dialogs so it can be checked without a display.
 */
#ifndef NB_MESSAGES_H
#define NB_MESSAGES_H

#include <glib.h>
#include <stdarg.h>
#include <stddef.h>
#include <stdint.h>

/* Longest text of a formatted message; longer text is cut. */
#define NB_MESSAGE_MAX_CHARS 1022

/* Formats like printf (GLib's rules) into buf, writing at most
 * NB_MESSAGE_MAX_CHARS characters and the NUL, and never more than
 * size - 1. Returns buf. */
char *message_vformat(char *buf, size_t size, const char *format, va_list args)
    G_GNUC_PRINTF(3, 0);

/* "<text>: <library description of code>" into buf (cut to fit). */
char *lib_error_format(char *buf, size_t size, const char *text, int32_t code);

/* A modal message box with the text: type 1 warning, 3 error; and an
 * error box with lib_error_format's text. */
void show_message(int type, const char *text);
void lib_error_message(const char *text, int32_t code);

#endif /* NB_MESSAGES_H */
