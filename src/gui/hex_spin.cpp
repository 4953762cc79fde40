/*
 * hex_spin.cpp - spin buttons that show and accept hexadecimal values.
 *
 * hex_spin_output is the "output" handler: it shows the value through the
 * printf format given as user data ("0x%.2X" for bus timing registers,
 * "0x%.8X" for filter values). hex_spin_input is the matching "input"
 * handler, so that what the output shows can be typed back.
 *
 * Typed text is read as follows (blanks around it are ignored):
 *   "0x1C", "0X1c"        hexadecimal (the form the output shows)
 *   "1c", "FF", "7fe"     hexadecimal: holds a digit a-f
 *   "12", "255"           decimal: digits only
 * Anything else (empty text, a sign, other characters, a number too big)
 * is refused, and the spin button keeps its previous value. A number
 * outside the spin button's range is handed on as it is; the if-valid
 * update policy then discards it.
 */
#include <errno.h>
#include <stdlib.h>
#include <string.h>

#include "gui/gui.h"

namespace {

bool is_hex_letter(char c)
{
    return (c >= 'a' && c <= 'f') || (c >= 'A' && c <= 'F');
}

bool is_dec_digit(char c)
{
    return c >= '0' && c <= '9';
}

/* Parse typed text by the rules above; false when it is not a number. */
bool parse_spin_text(const char *text, guint64 *out)
{
    if (!text)
        return false;
    while (g_ascii_isspace(*text))
        text++;
    size_t len = strlen(text);
    while (len > 0 && g_ascii_isspace(text[len - 1]))
        len--;
    if (len == 0 || len > 32)
        return false;

    char buf[40];
    memcpy(buf, text, len);
    buf[len] = '\0';

    const char *digits = buf;
    int base = 10;
    if (len > 2 && buf[0] == '0' && (buf[1] == 'x' || buf[1] == 'X')) {
        digits = buf + 2;
        base = 16;
    }
    for (const char *p = digits; *p; p++) {
        if (is_hex_letter(*p))
            base = 16;
        else if (!is_dec_digit(*p))
            return false;
    }
    if (*digits == '\0')
        return false;

    errno = 0;
    char *end = nullptr;
    guint64 v = g_ascii_strtoull(digits, &end, base);
    if (errno != 0 || !end || *end != '\0')
        return false;
    *out = v;
    return true;
}

}  // namespace

/* The formats are fixed strings of this program, never user text. */
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wformat-nonliteral"
gboolean hex_spin_output(GtkSpinButton *spin, gpointer data)
{
    const char *format = static_cast<const char *>(data);
    if (!format)
        format = "0x%X";
    GtkAdjustment *adj = gtk_spin_button_get_adjustment(spin);
    gdouble value = gtk_adjustment_get_value(adj);
    if (value < 0)
        value = 0;
    if (value > 4294967295.0)
        value = 4294967295.0;
    char text[32];
    g_snprintf(text, sizeof text, format, static_cast<unsigned int>(value));
    /* Setting the same text again would move the cursor while typing. */
    if (strcmp(text, gtk_entry_get_text(GTK_ENTRY(spin))) != 0)
        gtk_entry_set_text(GTK_ENTRY(spin), text);
    return TRUE;
}
#pragma GCC diagnostic pop

gint hex_spin_input(GtkSpinButton *spin, gdouble *new_value, gpointer data)
{
    guint64 v = 0;
    if (!parse_spin_text(gtk_entry_get_text(GTK_ENTRY(spin)), &v)) {
        *new_value = gtk_spin_button_get_value(spin);
        return GTK_INPUT_ERROR;
    }
    *new_value = static_cast<gdouble>(v);
    return TRUE;
}
