/*
 * page.cpp - the player's notebook page: the file, the transport buttons,
 * speed, loop, direction and filter, the file's channels and where they
 * go, and the progress of the replay.
 */
#include "player.h"

#include <string.h>

#include <initializer_list>

#include "pgparts.h"

namespace {

struct page_widgets {
    GtkWidget *file;
    GtkWidget *browse;
    GtkWidget *play, *pause, *stop, *step;
    GtkWidget *speed;
    GtkWidget *fast;
    GtkWidget *loop;
    GtkWidget *dir;
    GtkWidget *filter;
    GtkWidget *filter_msg;
    GtkWidget *progress;
    GtkWidget *state;
    GtkWidget *info;
    GtkWidget *message;
    GtkWidget *map_frame;          /* the file's channels and where they go */
    GtkWidget *map_table;
    GtkWidget *map_combo[PL_MAP_MAX];
    GtkWidget *map_unsent[PL_MAP_MAX];
    char map_shape[PL_MAP_MAX * 24 + PL_CHANS * 20];  /* what the table was built for */
    int syncing;
};
page_widgets pw;

using pgparts::named;
using pgparts::left_label;

/* The file entry names the file to play; a changed name closes the old. */
void take_file_entry(void)
{
    pl_guard g;
    g_strlcpy(pl.path, gtk_entry_get_text(GTK_ENTRY(pw.file)), sizeof pl.path);
}

void on_play(GtkButton *, gpointer)
{
    pl_guard g;
    take_file_entry();
    pl_apply_filter(gtk_entry_get_text(GTK_ENTRY(pw.filter)));
    pl_play();
    pl_page_refresh();
}

void on_pause(GtkButton *, gpointer)
{
    pl_guard g;
    pl_pause();
}

void on_stop(GtkButton *, gpointer)
{
    pl_guard g;
    pl_stop();
    pl_set_message("");
}

void on_step(GtkButton *, gpointer)
{
    pl_guard g;
    take_file_entry();
    pl_apply_filter(gtk_entry_get_text(GTK_ENTRY(pw.filter)));
    pl_step();
}

void on_speed(GtkWidget *, gpointer)
{
    pl_guard g;
    if (pw.syncing)
        return;
    int fast = gtk_toggle_button_get_active(GTK_TOGGLE_BUTTON(pw.fast));
    gtk_widget_set_sensitive(pw.speed, !fast);
    pl_set_speed(fast ? 0 : gtk_spin_button_get_value(GTK_SPIN_BUTTON(pw.speed)));
}

void on_loop(GtkToggleButton *b, gpointer)
{
    pl_guard g;
    if (!pw.syncing)
        pl.loop = gtk_toggle_button_get_active(b) ? 1 : 0;
}

void on_dir(GtkComboBox *c, gpointer)
{
    pl_guard g;
    if (pw.syncing)
        return;
    int d = gtk_combo_box_get_active(c);
    pl.dir = d >= PL_DIR_BOTH && d <= PL_DIR_TX ? d : PL_DIR_BOTH;
}

void on_filter(GtkEntry *e, gpointer)
{
    pl_apply_filter(gtk_entry_get_text(e));
}

void on_browse(GtkButton *, gpointer)
{
    const char *title = _("Log file to play");
    gchar *filter_name = g_strdup_printf(_("Log files (%s)"), cl_format_patterns());
    /* Where the last log of any plug-in was chosen, at first the playing
     * file's folder; the playing file is selected when it lies there. */
    /* The replay goes on while the chooser is open: no lock held here. */
    gchar *dir = pl.path[0] ? g_path_get_dirname(pl.path) : nullptr;
    GtkFileChooser *fc = pgparts::chooser_new({title, GTK_FILE_CHOOSER_ACTION_OPEN, NB_FOLDER_LOGS, dir, nullptr,
                                               filter_name, cl_format_globs(), _("All files")});
    g_free(filter_name);
    char kept[NB_FOLDER_MAX];
    bool there = dir && (!nb_get_folder || nb_get_folder(NB_FOLDER_LOGS, kept, sizeof kept) != 0 ||
                         strcmp(kept, dir) == 0);
    g_free(dir);
    if (there) {
        gchar *name = g_filename_from_utf8(pl.path, -1, nullptr, nullptr, nullptr);
        if (name)
            gtk_file_chooser_set_filename(fc, name);
        g_free(name);
    }
    gchar *name = pgparts::chooser_run(fc, NB_FOLDER_LOGS);
    if (name && pl.page) {
        gchar *utf8 = g_filename_to_utf8(name, -1, nullptr, nullptr, nullptr);
        if (utf8) {
            pl_guard g;
            gtk_entry_set_text(GTK_ENTRY(pw.file), utf8);
            take_file_entry();
            pl_stop();
            pl_open();
        }
        g_free(utf8);
    }
    g_free(name);
    gtk_widget_destroy(GTK_WIDGET(fc));
}

/* A file channel as its format writes it: candump the interface's
 * number, ASC, BLF and TRC count from 1. */
void file_chan_text(uint16_t chan, char *buf, size_t size)
{
    if (pl.rd && cl_reader_format(pl.rd) == CL_FMT_CANDUMP)
        g_snprintf(buf, size, _("Interface %u"), (unsigned)chan);
    else
        g_snprintf(buf, size, _("Channel %u"), (unsigned)chan + 1);
}

void on_map_changed(GtkComboBox *c, gpointer data)
{
    if (pw.syncing)
        return;
    int k = GPOINTER_TO_INT(data);
    uint16_t file_chan;
    {
        pl_guard g;
        if (k >= pl.nmap)
            return;
        file_chan = pl.map[k].file_chan;
    }
    pl_map_choose(file_chan, gtk_combo_box_get_active(c) - 1);
}

/* The table of the file's channels, built anew when the channels of the
 * file or of the window changed; the choices and counts kept current. */
void map_refresh(void)
{
    if (!pw.map_frame)
        return;
    char shape[sizeof pw.map_shape], names[PL_CHANS][16];
    size_t n = 0;
    shape[0] = '\0';
    for (int i = 0; i < pl.nmap && n < sizeof shape; i++)
        n += (size_t)g_snprintf(shape + n, sizeof shape - n, "%u,", pl.map[i].file_chan);
    for (int i = 0; i < pl.nchan; i++) {
        if (nb_chan_get_name(i, names[i], sizeof names[i]) != 0 || !names[i][0])
            g_snprintf(names[i], sizeof names[i], "#%d", i);
        if (n < sizeof shape)
            n += (size_t)g_snprintf(shape + n, sizeof shape - n, "/%s", names[i]);
    }
    pw.syncing++;
    if (strcmp(shape, pw.map_shape) != 0 || !pw.map_table) {
        g_strlcpy(pw.map_shape, shape, sizeof pw.map_shape);
        if (pw.map_table)
            gtk_widget_destroy(pw.map_table);
        pw.map_table = gtk_table_new((guint)(pl.nmap ? pl.nmap : 1), 3, FALSE);
        gtk_table_set_row_spacings(GTK_TABLE(pw.map_table), 2);
        gtk_table_set_col_spacings(GTK_TABLE(pw.map_table), 6);
        gtk_container_add(GTK_CONTAINER(pw.map_frame), pw.map_table);
        for (int i = 0; i < pl.nmap; i++) {
            char text[64], name[32];
            file_chan_text(pl.map[i].file_chan, text, sizeof text);
            GtkWidget *label = left_label(text);
            gtk_table_attach(GTK_TABLE(pw.map_table), label, 0, 1, (guint)i, (guint)i + 1, GTK_FILL,
                             GTK_FILL, 0, 0);
            GtkWidget *c = gtk_combo_box_new_text();
            g_snprintf(name, sizeof name, "player-map-%d", i);
            gtk_widget_set_name(c, name);
            gtk_combo_box_append_text(GTK_COMBO_BOX(c), _("None (not sent)"));
            for (int k = 0; k < pl.nchan; k++)
                gtk_combo_box_append_text(GTK_COMBO_BOX(c), names[k]);
            g_signal_connect(c, "changed", G_CALLBACK(on_map_changed), GINT_TO_POINTER(i));
            gtk_table_attach(GTK_TABLE(pw.map_table), c, 1, 2, (guint)i, (guint)i + 1, GTK_FILL,
                             GTK_FILL, 0, 0);
            pw.map_combo[i] = c;
            pw.map_unsent[i] = left_label("");
            g_snprintf(name, sizeof name, "player-map-unsent-%d", i);
            gtk_widget_set_name(pw.map_unsent[i], name);
            gtk_table_attach(GTK_TABLE(pw.map_table), pw.map_unsent[i], 2, 3, (guint)i, (guint)i + 1,
                             GTK_FILL, GTK_FILL, 0, 0);
        }
        gtk_widget_show_all(pw.map_table);
        gtk_widget_set_visible(pw.map_frame, pl.nmap > 0);
    }
    for (int i = 0; i < pl.nmap; i++) {
        gtk_combo_box_set_active(GTK_COMBO_BOX(pw.map_combo[i]), pl_map_target(pl.map[i]) + 1);
        char text[128] = "";
        if (pl.map[i].unsent)
            g_snprintf(text, sizeof text,
                       g_dngettext(GETTEXT_PACKAGE, "%llu frame not sent", "%llu frames not sent",
                                   (unsigned long)pl.map[i].unsent),
                       (unsigned long long)pl.map[i].unsent);
        gtk_label_set_text(GTK_LABEL(pw.map_unsent[i]), text);
    }
    pw.syncing--;
}

gboolean on_refresh(gpointer)
{
    pl_guard g;
    pl_page_refresh();
    return TRUE;
}

/* A button with a stock image and a label of our own: the stock labels'
 * mnemonics (Alt+P, Alt+S) are the main menus'. */
GtkWidget *button(const char *stock, const char *label, const char *name, GCallback cb)
{
    GtkWidget *b = pgparts::button(label, name, cb);
    gtk_button_set_image(GTK_BUTTON(b), gtk_image_new_from_stock(stock, GTK_ICON_SIZE_BUTTON));
    return b;
}

}  // namespace

int pl_apply_filter(const char *text)
{
    pl_guard g;
    char msg[PL_TEXT_MAX];
    idf_filter f;
    /* The bus viewer's messages, in this plug-in's catalogue. */
    idf_texts texts;
    texts.not_id = _("Filter not applied: \"%s\" is not a hexadecimal identifier or range. "
                     "Example: 100-1FF, 7E8, 18DAF110");
    texts.above_max = _("Filter not applied: \"%s\" is above 1FFFFFFF, the largest identifier.");
    texts.reversed = _("Filter not applied: the range \"%s\" ends below its start.");
    texts.too_many = _("Filter not applied: more than %d identifiers and ranges.");
    if (idf_parse(text, &f, msg, sizeof msg, &texts) != 0) {
        if (pw.filter_msg)
            gtk_label_set_text(GTK_LABEL(pw.filter_msg), msg);
        return -1;
    }
    pl.filter = f;
    g_strlcpy(pl.filter_text, text, sizeof pl.filter_text);
    if (pw.filter_msg)
        gtk_label_set_text(GTK_LABEL(pw.filter_msg), "");
    if (pw.filter && strcmp(gtk_entry_get_text(GTK_ENTRY(pw.filter)), text) != 0)
        gtk_entry_set_text(GTK_ENTRY(pw.filter), text);
    return 0;
}

GtkWidget *pl_page_build(void)
{
    memset(&pw, 0, sizeof pw);
    GtkWidget *box = gtk_vbox_new(FALSE, 6);
    gtk_container_set_border_width(GTK_CONTAINER(box), 8);

    GtkWidget *table = gtk_table_new(5, 3, FALSE);
    gtk_table_set_row_spacings(GTK_TABLE(table), 4);
    gtk_table_set_col_spacings(GTK_TABLE(table), 6);
    GtkAttachOptions fill = GTK_FILL, grow = (GtkAttachOptions)(GTK_EXPAND | GTK_FILL);
    gtk_table_attach(GTK_TABLE(table), left_label(_("File:")), 0, 1, 0, 1, fill, fill, 0, 0);
    pw.file = named(gtk_entry_new(), "player-file");
    gtk_widget_set_tooltip_text(pw.file, _("A candump log (.log), ASC (.asc), BLF (.blf) or "
                                           "TRC (.trc) file; the format is also told by its "
                                           "content."));
    gtk_table_attach(GTK_TABLE(table), pw.file, 1, 2, 0, 1, grow, fill, 0, 0);
    pw.browse = named(gtk_button_new_with_mnemonic(_("_Browse...")), "player-browse");
    gtk_table_attach(GTK_TABLE(table), pw.browse, 2, 3, 0, 1, fill, fill, 0, 0);

    gtk_table_attach(GTK_TABLE(table), left_label(_("Speed:")), 0, 1, 1, 2, fill, fill, 0, 0);
    GtkWidget *speed_box = gtk_hbox_new(FALSE, 6);
    pw.speed = named(gtk_spin_button_new_with_range(PL_SPEED_MIN, PL_SPEED_MAX, 0.1),
                     "player-speed");
    gtk_spin_button_set_digits(GTK_SPIN_BUTTON(pw.speed), 2);
    gtk_widget_set_tooltip_text(pw.speed, _("1 plays at the file's own pace, 2 twice as fast, "
                                            "0.5 at half speed."));
    pw.fast = named(gtk_check_button_new_with_mnemonic(_("_As fast as the bus takes")),
                    "player-fast");
    gtk_box_pack_start(GTK_BOX(speed_box), pw.speed, FALSE, FALSE, 0);
    gtk_box_pack_start(GTK_BOX(speed_box), gtk_label_new("x"), FALSE, FALSE, 0);
    gtk_box_pack_start(GTK_BOX(speed_box), pw.fast, FALSE, FALSE, 0);
    pw.loop = named(gtk_check_button_new_with_mnemonic(_("_Loop")), "player-loop");
    gtk_box_pack_start(GTK_BOX(speed_box), pw.loop, FALSE, FALSE, 12);
    gtk_table_attach(GTK_TABLE(table), speed_box, 1, 3, 1, 2, fill, fill, 0, 0);

    gtk_table_attach(GTK_TABLE(table), left_label(_("Frames:")), 0, 1, 2, 3, fill, fill, 0, 0);
    pw.dir = named(gtk_combo_box_new_text(), "player-direction");
    gtk_combo_box_append_text(GTK_COMBO_BOX(pw.dir), _("Received and sent (Rx and Tx)"));
    gtk_combo_box_append_text(GTK_COMBO_BOX(pw.dir), _("Received only (Rx)"));
    gtk_combo_box_append_text(GTK_COMBO_BOX(pw.dir), _("Sent only (Tx)"));
    gtk_table_attach(GTK_TABLE(table), pw.dir, 1, 2, 2, 3, fill, fill, 0, 0);

    gtk_table_attach(GTK_TABLE(table), left_label(_("Identifiers:")), 0, 1, 3, 4, fill, fill,
                     0, 0);
    pw.filter = named(gtk_entry_new(), "player-filter");
    gtk_widget_set_tooltip_text(pw.filter,
                                _("Hexadecimal identifiers and ranges, e.g. 100-1FF, 7E8, "
                                  "18DAF110; empty: all. Enter applies it."));
    gtk_table_attach(GTK_TABLE(table), pw.filter, 1, 3, 3, 4, grow, fill, 0, 0);
    pw.filter_msg = named(left_label(""), "player-filter-message");
    gtk_table_attach(GTK_TABLE(table), pw.filter_msg, 1, 3, 4, 5, fill, fill, 0, 0);
    gtk_box_pack_start(GTK_BOX(box), table, FALSE, FALSE, 0);

    pw.map_frame = named(gtk_frame_new(_("Channels in the file, sent on")), "player-map");
    gtk_box_pack_start(GTK_BOX(box), pw.map_frame, FALSE, FALSE, 0);

    GtkWidget *buttons = gtk_hbox_new(FALSE, 6);
    pw.play = button(GTK_STOCK_MEDIA_PLAY, _("Pla_y"), "player-play", G_CALLBACK(on_play));
    pw.pause = button(GTK_STOCK_MEDIA_PAUSE, _("Pa_use"), "player-pause", G_CALLBACK(on_pause));
    pw.stop = button(GTK_STOCK_MEDIA_STOP, _("St_op"), "player-stop", G_CALLBACK(on_stop));
    pw.step = button(GTK_STOCK_MEDIA_NEXT, _("S_tep"), "player-step", G_CALLBACK(on_step));
    gtk_widget_set_tooltip_text(pw.step, _("Send the next frame now"));
    for (GtkWidget *b : {pw.play, pw.pause, pw.stop, pw.step})
        gtk_box_pack_start(GTK_BOX(buttons), b, FALSE, FALSE, 0);
    gtk_box_pack_start(GTK_BOX(box), buttons, FALSE, FALSE, 0);

    pw.progress = named(gtk_progress_bar_new(), "player-progress");
    gtk_box_pack_start(GTK_BOX(box), pw.progress, FALSE, FALSE, 0);
    pw.state = named(left_label(""), "player-state");
    pw.info = named(left_label(""), "player-info");
    pw.message = named(left_label(""), "player-message");
    for (GtkWidget *l : {pw.info, pw.message}) {
        gtk_label_set_line_wrap(GTK_LABEL(l), TRUE);
        gtk_label_set_selectable(GTK_LABEL(l), TRUE);
    }
    for (GtkWidget *l : {pw.state, pw.info, pw.message})
        gtk_box_pack_start(GTK_BOX(box), l, FALSE, FALSE, 0);

    g_signal_connect(pw.browse, "clicked", G_CALLBACK(on_browse), nullptr);
    g_signal_connect(pw.speed, "value-changed", G_CALLBACK(on_speed), nullptr);
    g_signal_connect(pw.fast, "toggled", G_CALLBACK(on_speed), nullptr);
    g_signal_connect(pw.loop, "toggled", G_CALLBACK(on_loop), nullptr);
    g_signal_connect(pw.dir, "changed", G_CALLBACK(on_dir), nullptr);
    g_signal_connect(pw.filter, "activate", G_CALLBACK(on_filter), nullptr);

    pl.page = box;
    pl.refresh = g_timeout_add(PL_REFRESH_MS, on_refresh, nullptr);
    pl_page_sync_settings();
    gtk_widget_show_all(box);
    gtk_widget_hide(pw.map_frame);
    pl_page_refresh();
    return box;
}

void pl_page_release(void)
{
    if (pl.refresh)
        g_source_remove(pl.refresh);
    pl.refresh = 0;
    memset(&pw, 0, sizeof pw);
}

void pl_page_sync_settings(void)
{
    if (!pw.file)
        return;
    pw.syncing = 1;
    gtk_entry_set_text(GTK_ENTRY(pw.file), pl.path);
    gtk_spin_button_set_value(GTK_SPIN_BUTTON(pw.speed), pl.speed > 0 ? pl.speed : 1.0);
    gtk_toggle_button_set_active(GTK_TOGGLE_BUTTON(pw.fast), pl.speed <= 0);
    gtk_widget_set_sensitive(pw.speed, pl.speed > 0);
    gtk_toggle_button_set_active(GTK_TOGGLE_BUTTON(pw.loop), pl.loop != 0);
    gtk_combo_box_set_active(GTK_COMBO_BOX(pw.dir), pl.dir);
    gtk_entry_set_text(GTK_ENTRY(pw.filter), pl.filter_text);
    pw.syncing = 0;
}

void pl_page_refresh(void)
{
    pl_guard g;
    pl_chan_refresh();
    if (!pw.state)
        return;
    char text[PL_TEXT_MAX * 2];
    const char *state = pl.state == PL_PLAYING  ? _("Playing")
                        : pl.state == PL_PAUSED ? _("Paused")
                                                : _("Stopped");
    if (pl.rd)
        g_snprintf(text, sizeof text, _("%s: %s (%s)"), state, pl.open_path,
                   cl_format_name(cl_reader_format(pl.rd)));
    else
        g_strlcpy(text, state, sizeof text);
    gtk_label_set_text(GTK_LABEL(pw.state), text);

    /* Where the replay is in the log's time: the last frame sent against
     * the log's first and last frame time (the bytes read ahead say
     * nothing of it with a filter or a direction). Nothing before the
     * file is opened. */
    text[0] = '\0';
    double frac = 0.0;
    if (pl.rd) {
        int64_t first = 0, last = 0;
        int known = pl_time_span(&first, &last);
        char at[32], all[32];
        double at_s =
            pl.have_sent && known ? ((double)pl.last_sent_ns - (double)first) / 1e9 : 0.0;
        if (at_s < 0)
            at_s = 0;
        g_snprintf(at, sizeof at, _("%.3f s"), at_s);
        if (known == 2) {
            double all_s = ((double)last - (double)first) / 1e9;
            g_snprintf(all, sizeof all, _("%.3f s"), all_s);
            frac = all_s > 0 ? at_s / all_s : (pl.have_sent ? 1.0 : 0.0);
        } else {
            /* The scan is still reading the file: the time reached, the
             * whole not yet known. */
            g_strlcpy(all, "\u2026", sizeof all);
        }
        if (pl.passes)
            g_snprintf(text, sizeof text,
                       g_dngettext(GETTEXT_PACKAGE, "%s of %s, %llu frame sent, pass %llu",
                                   "%s of %s, %llu frames sent, pass %llu", (unsigned long)pl.sent),
                       at, all, (unsigned long long)pl.sent, (unsigned long long)pl.passes + 1);
        else
            g_snprintf(text, sizeof text,
                       g_dngettext(GETTEXT_PACKAGE, "%s of %s, %llu frame sent",
                                   "%s of %s, %llu frames sent", (unsigned long)pl.sent),
                       at, all, (unsigned long long)pl.sent);
    }
    gtk_progress_bar_set_fraction(GTK_PROGRESS_BAR(pw.progress), frac > 1 ? 1 : frac);
    gtk_progress_bar_set_text(GTK_PROGRESS_BAR(pw.progress), text);

    text[0] = '\0';
    if (pl.rd) {
        /* While looping, what the whole file held. */
        const cl_stats *st = pl.passes ? &pl.pass_stats : cl_reader_stats(pl.rd);
        size_t n = 0;
        if (st->bad)
            n += (size_t)g_snprintf(text + n, sizeof text - n,
                                    g_dngettext(GETTEXT_PACKAGE,
                                                "%llu unreadable line or object skipped (first: %s). ",
                                                "%llu unreadable lines or objects skipped (first: %s). ",
                                                (unsigned long)st->bad),
                                    (unsigned long long)st->bad, st->first_bad);
        if (pl.fd_unsent && n < sizeof text)
            n += (size_t)g_snprintf(
                text + n, sizeof text - n,
                g_dngettext(GETTEXT_PACKAGE,
                            "%llu CAN FD frame not sent: the channel is not in CAN FD mode. ",
                            "%llu CAN FD frames not sent: the channel is not in CAN FD mode. ",
                            (unsigned long)pl.fd_unsent),
                (unsigned long long)pl.fd_unsent);
        if (pl.beyond_map && n < sizeof text)
            n += (size_t)g_snprintf(
                text + n, sizeof text - n,
                g_dngettext(GETTEXT_PACKAGE,
                            "%llu frame not sent: its channel is beyond the %d the player maps. ",
                            "%llu frames not sent: their channels are beyond the %d the player maps. ",
                            (unsigned long)pl.beyond_map),
                (unsigned long long)pl.beyond_map, PL_MAP_MAX);
        if (st->error_frames && n < sizeof text)
            g_snprintf(text + n, sizeof text - n,
                       g_dngettext(GETTEXT_PACKAGE, "%llu error frame not sent.",
                                   "%llu error frames not sent.", (unsigned long)st->error_frames),
                       (unsigned long long)st->error_frames);
    }
    gtk_label_set_text(GTK_LABEL(pw.info), text);
    gtk_label_set_text(GTK_LABEL(pw.message), pl.message);
    map_refresh();

    gtk_widget_set_sensitive(pw.play, pl.state != PL_PLAYING);
    gtk_widget_set_sensitive(pw.pause, pl.state == PL_PLAYING);
    gtk_widget_set_sensitive(pw.file, pl.state == PL_STOPPED);
    gtk_widget_set_sensitive(pw.browse, pl.state == PL_STOPPED);
}
