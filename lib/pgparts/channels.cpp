/*
 * channels.cpp - channel choices of the plug-ins' pages.
 */
#include "pgparts.h"

namespace pgparts {

void fill_channels(GtkComboBox *combo, const char *first, int n, chan_name_fn name, int active)
{
    gtk_list_store_clear(GTK_LIST_STORE(gtk_combo_box_get_model(combo)));
    if (first)
        gtk_combo_box_append_text(combo, first);
    for (int i = 0; i < n; i++) {
        char text[64];
        name(i, text, sizeof text);
        gtk_combo_box_append_text(combo, text);
    }
    gtk_combo_box_set_active(combo, active);
}

}  // namespace pgparts
