/*
 * chooser.cpp - the plug-ins' file choosers: each starts where the last
 * one of its kind of file ended (nbkit_chooser_start/keep).
 */
#include "pgparts.h"

#include "nimbrel/kit.h"

namespace pgparts {

GtkFileChooser *chooser_new(const chooser &c)
{
    const bool save = c.action == GTK_FILE_CHOOSER_ACTION_SAVE;
    GtkWidget *dlg = gtk_file_chooser_dialog_new(
        c.title, nb_mainwin ? GTK_WINDOW(nb_mainwin) : nullptr, c.action, GTK_STOCK_CANCEL,
        GTK_RESPONSE_CANCEL, save ? GTK_STOCK_SAVE : GTK_STOCK_OPEN, GTK_RESPONSE_ACCEPT, nullptr);
    GtkFileChooser *fc = GTK_FILE_CHOOSER(dlg);
    gtk_file_chooser_set_local_only(fc, TRUE);
    nbkit_chooser_start(fc, c.kind, c.fallback);
    if (save) {
        gtk_file_chooser_set_do_overwrite_confirmation(fc, TRUE);
        if (c.name)
            gtk_file_chooser_set_current_name(fc, c.name);
    }
    if (c.filter_name) {
        GtkFileFilter *filter = gtk_file_filter_new();
        gtk_file_filter_set_name(filter, c.filter_name);
        for (const char *const *p = c.patterns; p && *p; p++)
            gtk_file_filter_add_pattern(filter, *p);
        gtk_file_chooser_add_filter(fc, filter);
    }
    if (c.all_files) {
        GtkFileFilter *filter = gtk_file_filter_new();
        gtk_file_filter_set_name(filter, c.all_files);
        gtk_file_filter_add_pattern(filter, "*");
        gtk_file_chooser_add_filter(fc, filter);
    }
    return fc;
}

gchar *chooser_run(GtkFileChooser *fc, int kind)
{
    /* The host must not release the plug-in while its dialog runs. */
    nbpg_loadrelease_enable();
    gint response = gtk_dialog_run(GTK_DIALOG(fc));
    nbpg_loadrelease_disable();
    if (response != GTK_RESPONSE_ACCEPT)
        return nullptr;
    nbkit_chooser_keep(fc, kind);
    return gtk_file_chooser_get_filename(fc);
}

gchar *choose_file(const chooser &c)
{
    GtkFileChooser *fc = chooser_new(c);
    gchar *path = chooser_run(fc, c.kind);
    gtk_widget_destroy(GTK_WIDGET(fc));
    return path;
}

}  // namespace pgparts
