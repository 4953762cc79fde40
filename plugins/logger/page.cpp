/*
 * page.cpp - the logger's notebook page: the file, the format, whether
 * logging starts with the session, Start and Stop, and what is being
 * written (file, frames, size, start time, the reason of the last stop).
 */
#include "logger.h"

#include <string.h>
#include <time.h>

#include "pgparts.h"
#include "userfile.h"

namespace {

struct page_widgets {
    GtkWidget *file;
    GtkWidget *browse;
    GtkWidget *format;
    GtkWidget *autostart;
    GtkWidget *all_channels;
    GtkWidget *channels;      /* a check button per channel, by the host's names */
    GtkWidget *start;
    GtkWidget *stop;
    GtkWidget *state;
    GtkWidget *frames;
    GtkWidget *size;
    GtkWidget *started;
    GtkWidget *message;
    int syncing;
    /* The file the user chose in the file dialog, which asked before
     * replacing it: only that name may overwrite an existing file. */
    char confirmed[LG_PATH_MAX];
};
page_widgets pw;

using pgparts::named;
using pgparts::left_label;

void on_start(GtkButton *, gpointer)
{
    const char *path = gtk_entry_get_text(GTK_ENTRY(pw.file));
    int exclusive = !(pw.confirmed[0] && strcmp(path, pw.confirmed) == 0);
    lg_start(path, exclusive);
}

void on_stop(GtkButton *, gpointer)
{
    lg.message[0] = '\0';
    lg_stop();
    lg_page_refresh();
}

/* The chooser asks before replacing a file; a name taken by a folder, a
 * FIFO or a device is no file to replace: the reason, and back to the
 * chooser. */
GtkFileChooserConfirmation on_confirm_overwrite(GtkFileChooser *fc, gpointer)
{
    gchar *name = gtk_file_chooser_get_filename(fc);
    int kind = name ? uf_check_target(name) : 0;
    if (kind) {
        gchar *utf8 = g_filename_display_name(name);
        char why[LG_PATH_MAX + 64];
        nb_message_error("%s", uf_describe(why, sizeof why, utf8, kind));
        g_free(utf8);
    }
    g_free(name);
    return kind ? GTK_FILE_CHOOSER_CONFIRMATION_SELECT_AGAIN : GTK_FILE_CHOOSER_CONFIRMATION_CONFIRM;
}

void on_browse(GtkButton *, gpointer)
{
    const char *title = _("Log file");
    gchar *filter_name = g_strdup_printf(_("Log files (%s)"), cl_format_patterns());
    int chosen = gtk_combo_box_get_active(GTK_COMBO_BOX(pw.format));
    char trace_name[16];
    const cl_format_info *info = cl_format_info_of(chosen);
    g_snprintf(trace_name, sizeof trace_name, "trace%s", info ? info->ext : ".log");
    /* Where the last log of any plug-in was chosen, else this log's folder. */
    GtkFileChooser *fc =
        pgparts::chooser_new({title, GTK_FILE_CHOOSER_ACTION_SAVE, NB_FOLDER_LOGS, lg.folder[0] ? lg.folder : nullptr,
                              trace_name, filter_name, cl_format_globs(), _("All files")});
    g_free(filter_name);
    g_signal_connect(fc, "confirm-overwrite", G_CALLBACK(on_confirm_overwrite), nullptr);
    gchar *name = pgparts::chooser_run(fc, NB_FOLDER_LOGS);
    if (name && lg.page) {
        gchar *utf8 = g_filename_to_utf8(name, -1, nullptr, nullptr, nullptr);
        if (utf8) {
            g_strlcpy(pw.confirmed, utf8, sizeof pw.confirmed);
            gtk_entry_set_text(GTK_ENTRY(pw.file), utf8);
            gchar *dir = g_path_get_dirname(utf8);
            g_strlcpy(lg.folder, dir, sizeof lg.folder);
            g_free(dir);
        }
        g_free(utf8);
    }
    g_free(name);
    gtk_widget_destroy(GTK_WIDGET(fc));
}

void on_format(GtkComboBox *combo, gpointer)
{
    if (pw.syncing)
        return;
    int f = gtk_combo_box_get_active(combo);
    lg.format_choice = (f >= LG_FMT_CANDUMP && f <= LG_FMT_TRC) ? f : LG_FMT_AUTO;
}

void on_autostart(GtkToggleButton *b, gpointer)
{
    if (!pw.syncing)
        lg.autostart = gtk_toggle_button_get_active(b) ? 1 : 0;
}

void on_all_channels(GtkToggleButton *b, gpointer)
{
    if (pw.syncing)
        return;
    lg.all_channels = gtk_toggle_button_get_active(b) ? 1 : 0;
    /* Leaving "all" keeps recording what was recorded: every channel there is. */
    if (!lg.all_channels && lg.nchosen == 0) {
        const nbkit_chans_t *c = nbkit_chans();
        for (int i = 0; i < c->count; i++)
            lg_choose_channel(nbkit_chans_name(c, c->slot_of[i]), 1);
    }
    if (lg.logging)
        memset(lg.take, -1, sizeof lg.take);
    lg_page_channels();
}

void on_channel(GtkToggleButton *b, gpointer)
{
    if (!pw.syncing)
        lg_choose_channel(gtk_button_get_label(GTK_BUTTON(b)), gtk_toggle_button_get_active(b));
}

}  // namespace

void lg_page_channels(void)
{
    if (!pw.channels)
        return;
    pw.syncing = 1;
    gtk_toggle_button_set_active(GTK_TOGGLE_BUTTON(pw.all_channels), lg.all_channels != 0);
    GList *old = gtk_container_get_children(GTK_CONTAINER(pw.channels));
    for (GList *l = old; l; l = l->next)
        gtk_widget_destroy(GTK_WIDGET(l->data));
    g_list_free(old);
    const nbkit_chans_t *c = nbkit_chans();
    for (int i = 0; i < c->count; i++) {
        const char *name = nbkit_chans_name(c, c->slot_of[i]);
        GtkWidget *b = gtk_check_button_new_with_label(name);
        char wname[32];
        g_snprintf(wname, sizeof wname, "logger-channel-%s", name);
        gtk_widget_set_name(b, wname);
        gtk_toggle_button_set_active(GTK_TOGGLE_BUTTON(b), lg_channel_chosen(name));
        gtk_widget_set_sensitive(b, !lg.all_channels);
        g_signal_connect(b, "toggled", G_CALLBACK(on_channel), nullptr);
        gtk_box_pack_start(GTK_BOX(pw.channels), b, FALSE, FALSE, 0);
    }
    gtk_widget_show_all(pw.channels);
    pw.syncing = 0;
}

GtkWidget *lg_page_build(void)
{
    memset(&pw, 0, sizeof pw);
    GtkWidget *box = gtk_vbox_new(FALSE, 6);
    gtk_container_set_border_width(GTK_CONTAINER(box), 8);

    GtkWidget *table = gtk_table_new(4, 3, FALSE);
    gtk_table_set_row_spacings(GTK_TABLE(table), 4);
    gtk_table_set_col_spacings(GTK_TABLE(table), 6);
    gtk_table_attach(GTK_TABLE(table), left_label(_("File:")), 0, 1, 0, 1, GTK_FILL, GTK_FILL,
                     0, 0);
    pw.file = named(gtk_entry_new(), "logger-file");
    gtk_widget_set_tooltip_text(pw.file, _("Empty: a new file named by the date and time in "
                                           "the last folder used."));
    gtk_table_attach(GTK_TABLE(table), pw.file, 1, 2, 0, 1,
                     (GtkAttachOptions)(GTK_EXPAND | GTK_FILL), GTK_FILL, 0, 0);
    pw.browse = named(gtk_button_new_with_mnemonic(_("_Browse...")), "logger-browse");
    gtk_table_attach(GTK_TABLE(table), pw.browse, 2, 3, 0, 1, GTK_FILL, GTK_FILL, 0, 0);

    gtk_table_attach(GTK_TABLE(table), left_label(_("Format:")), 0, 1, 1, 2, GTK_FILL,
                     GTK_FILL, 0, 0);
    pw.format = named(gtk_combo_box_new_text(), "logger-format");
    gtk_combo_box_append_text(GTK_COMBO_BOX(pw.format),
                              _("By file extension (.log, .asc, .blf, .trc)"));
    gtk_combo_box_append_text(GTK_COMBO_BOX(pw.format), _("candump log"));
    gtk_combo_box_append_text(GTK_COMBO_BOX(pw.format), _("Vector ASC"));
    gtk_combo_box_append_text(GTK_COMBO_BOX(pw.format), _("BLF (binary logging format)"));
    gtk_combo_box_append_text(GTK_COMBO_BOX(pw.format), _("TRC trace (version 2.1)"));
    gtk_widget_set_tooltip_text(
        pw.format, _("candump log: sent frames end in \" T\", which python-can reads as "
                     "transmitted and can-utils ignores. Vector ASC: the Rx/Tx column. "
                     "BLF: compressed, written out at least twice a second. "
                     "TRC: version 2.1, with channels and CAN FD."));
    gtk_table_attach(GTK_TABLE(table), pw.format, 1, 2, 1, 2, GTK_FILL, GTK_FILL, 0, 0);

    gtk_table_attach(GTK_TABLE(table), left_label(_("Channels:")), 0, 1, 2, 3, GTK_FILL,
                     GTK_FILL, 0, 0);
    GtkWidget *chans = gtk_hbox_new(FALSE, 6);
    pw.all_channels = named(gtk_check_button_new_with_mnemonic(_("A_ll channels")),
                            "logger-all-channels");
    gtk_widget_set_tooltip_text(pw.all_channels,
                                _("Records every channel, also those added later, into one "
                                  "file. Clear it to choose channels."));
    pw.channels = gtk_hbox_new(FALSE, 6);
    gtk_box_pack_start(GTK_BOX(chans), pw.all_channels, FALSE, FALSE, 0);
    gtk_box_pack_start(GTK_BOX(chans), pw.channels, FALSE, FALSE, 0);
    gtk_table_attach(GTK_TABLE(table), chans, 1, 3, 2, 3, GTK_FILL, GTK_FILL, 0, 0);
    pw.autostart = named(gtk_check_button_new_with_mnemonic(
                             _("Start logging _with the session (a new file in the folder)")),
                         "logger-autostart");
    gtk_table_attach(GTK_TABLE(table), pw.autostart, 1, 3, 3, 4, GTK_FILL, GTK_FILL, 0, 0);
    gtk_box_pack_start(GTK_BOX(box), table, FALSE, FALSE, 0);

    GtkWidget *buttons = gtk_hbox_new(FALSE, 6);
    pw.start = named(gtk_button_new_with_mnemonic(_("St_art logging")), "logger-start");
    pw.stop = named(gtk_button_new_with_mnemonic(_("S_top logging")), "logger-stop");
    gtk_box_pack_start(GTK_BOX(buttons), pw.start, FALSE, FALSE, 0);
    gtk_box_pack_start(GTK_BOX(buttons), pw.stop, FALSE, FALSE, 0);
    gtk_box_pack_start(GTK_BOX(box), buttons, FALSE, FALSE, 0);

    pw.state = named(left_label(""), "logger-state");
    gtk_label_set_selectable(GTK_LABEL(pw.state), TRUE);
    pw.frames = named(left_label(""), "logger-frames");
    pw.size = named(left_label(""), "logger-size");
    pw.started = named(left_label(""), "logger-started");
    pw.message = named(left_label(""), "logger-message");
    gtk_label_set_line_wrap(GTK_LABEL(pw.message), TRUE);
    gtk_label_set_selectable(GTK_LABEL(pw.message), TRUE);
    gtk_box_pack_start(GTK_BOX(box), pw.state, FALSE, FALSE, 0);
    gtk_box_pack_start(GTK_BOX(box), pw.frames, FALSE, FALSE, 0);
    gtk_box_pack_start(GTK_BOX(box), pw.size, FALSE, FALSE, 0);
    gtk_box_pack_start(GTK_BOX(box), pw.started, FALSE, FALSE, 0);
    gtk_box_pack_start(GTK_BOX(box), pw.message, FALSE, FALSE, 0);

    g_signal_connect(pw.start, "clicked", G_CALLBACK(on_start), nullptr);
    g_signal_connect(pw.stop, "clicked", G_CALLBACK(on_stop), nullptr);
    g_signal_connect(pw.browse, "clicked", G_CALLBACK(on_browse), nullptr);
    g_signal_connect(pw.format, "changed", G_CALLBACK(on_format), nullptr);
    g_signal_connect(pw.autostart, "toggled", G_CALLBACK(on_autostart), nullptr);
    g_signal_connect(pw.all_channels, "toggled", G_CALLBACK(on_all_channels), nullptr);

    lg.page = box;
    lg_page_sync_settings();
    gtk_widget_show_all(box);
    lg_page_refresh();
    return box;
}

void lg_page_release(void)
{
    memset(&pw, 0, sizeof pw);
}

void lg_page_sync_settings(void)
{
    if (!pw.format)
        return;
    pw.syncing = 1;
    gtk_combo_box_set_active(GTK_COMBO_BOX(pw.format), lg.format_choice);
    gtk_toggle_button_set_active(GTK_TOGGLE_BUTTON(pw.autostart), lg.autostart != 0);
    pw.syncing = 0;
    lg_page_channels();
}

/* The page is refreshed twice a second; a label whose text is new is
 * laid out and drawn again, the others are left alone. */
static void set_label(GtkWidget *label, const char *text)
{
    if (strcmp(gtk_label_get_text(GTK_LABEL(label)), text) != 0)
        gtk_label_set_text(GTK_LABEL(label), text);
}

void lg_page_refresh(void)
{
    if (!pw.state)
        return;
    char text[LG_PATH_MAX + 256];
    if (lg.logging) {
        g_snprintf(text, sizeof text, _("Logging to %s (%s)"), lg.path,
                   lg.format == LG_FMT_ASC   ? "Vector ASC"
                   : lg.format == LG_FMT_BLF ? "BLF"
                   : lg.format == LG_FMT_TRC ? "TRC"
                                             : "candump log");
    } else if (lg.path[0]) {
        g_snprintf(text, sizeof text, _("Not logging. Last file: %s"), lg.path);
    } else {
        g_strlcpy(text, _("Not logging."), sizeof text);
    }
    set_label(pw.state, text);

    g_snprintf(text, sizeof text, _("Frames written: %llu, error reports: %llu"),
               (unsigned long long)lg.frames, (unsigned long long)lg.error_events);
    set_label(pw.frames, text);

    gchar *size = g_format_size(lg.w.bytes);
    g_snprintf(text, sizeof text,
               g_dngettext(GETTEXT_PACKAGE, "Size: %llu byte (%s)", "Size: %llu bytes (%s)",
                           (unsigned long)lg.w.bytes),
               (unsigned long long)lg.w.bytes, size);
    g_free(size);
    set_label(pw.size, text);

    if (lg.path[0]) {
        time_t secs = (time_t)(lg.start_us / 1000000);
        struct tm tm;
        char when[64] = "";
        if (localtime_r(&secs, &tm))
            strftime(when, sizeof when, "%Y-%m-%d %H:%M:%S", &tm);
        g_snprintf(text, sizeof text, _("Started: %s.%03d"), when,
                   (int)((lg.start_us % 1000000) / 1000));
    } else {
        g_strlcpy(text, _("Started: -"), sizeof text);
    }
    set_label(pw.started, text);

    set_label(pw.message, lg.message);
    gtk_widget_set_sensitive(pw.start, !lg.logging);
    gtk_widget_set_sensitive(pw.stop, lg.logging);
    gtk_widget_set_sensitive(pw.file, !lg.logging);
    gtk_widget_set_sensitive(pw.format, !lg.logging);
    gtk_widget_set_sensitive(pw.browse, !lg.logging);
}
