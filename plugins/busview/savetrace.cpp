/*
 * savetrace.cpp - "Save trace as...": the frames the trace holds, as it
 * shows them (the filter applies), written to a candump log, ASC or BLF
 * file.
 *
 * The trace's frame lines are copied on the GUI thread (one copy of the
 * records, a few milliseconds for the longest history), then put in time
 * order and written by a thread of their own, so a long trace never holds
 * up the window. The page shows the progress and the outcome in a line of
 * its own; the plug-in waits for the thread before it goes.
 */
#include "busview.h"

#include <string.h>

#include <algorithm>

#include "canlog.h"
#include "pgparts.h"
#include "userfile.h"

namespace {

constexpr guint PROGRESS_MS = 100;

struct save_job {
    GThread *thread;              /* null when no save runs */
    bv_rec *recs;                 /* the copied frame lines */
    uint32_t n;
    int format;                   /* CL_FMT_* */
    char path[1024];              /* file system encoding */
    char name[256];               /* UTF-8, for the messages */
    gint written;                 /* lines done (atomic) */
    gint done;                    /* the thread has finished (atomic) */
    int err;                      /* 0, an errno value or a UF_E_* code */
    uint64_t saved;
    nbkit_chans_t chans;          /* the channels' names, by the lines' slots */
};

save_job job;
guint progress_source;
GtkWidget *w_button;
GtkWidget *w_message;

static_assert(CL_EXT == ZK_FRAME_EFF && CL_RTR == ZK_FRAME_RTR && CL_FDF == ZK_FRAME_FDF &&
                  CL_BRS == ZK_FRAME_BRS && CL_ESI == ZK_FRAME_ESI &&
                  sizeof(cl_frame::data) == sizeof(bv_rec::u.data),
              "a frame line passes to the log library as it is");

/* A frame line, classic or CAN FD, as the log library's frame. */
void to_log_frame(const bv_rec &r, cl_frame *f)
{
    memset(f, 0, sizeof *f);
    f->t_ns = r.t_us * 1000;
    f->id = r.id;
    f->chan = r.chan;
    f->flags = (uint8_t)((r.flags & BV_FRAME_FLAGS) | (r.kind == BV_TX ? CL_TX : 0));
    f->len = r.len;
    if (!(r.flags & ZK_FRAME_RTR))
        memcpy(f->data, r.u.data, r.len);
}

gpointer run(gpointer)
{
    /* The stream's times go back only when the computer's clock was set
     * back: the file has them in time order all the same. */
    std::stable_sort(job.recs, job.recs + job.n,
                     [](const bv_rec &a, const bv_rec &b) { return a.t_us < b.t_us; });
    cl_writer w;
    /* Only a regular file is replaced (userfile.h): a FIFO would hold the
     * writer for ever, a device would be written into. */
    int err = cl_writer_open(&w, job.path, job.format, 0);
    if (err == 0) {
        /* A candump file names the channels as the logger does; the
         * other formats number them from 1 (slot + 1). */
        for (int slot = 0; slot < job.chans.nslots; slot++)
            cl_writer_set_chan_name(&w, (unsigned)slot, nbkit_chans_log_name(&job.chans, slot));
        err = cl_writer_start(&w, job.recs[0].t_us * 1000);
        for (uint32_t i = 0; i < job.n && err == 0; i++) {
            cl_frame f;
            to_log_frame(job.recs[i], &f);
            if ((err = cl_write(&w, &f)) == 0)
                job.saved++;
            g_atomic_int_set(&job.written, (gint)(i + 1));
        }
        int close_err = cl_writer_close(&w);
        if (err == 0)
            err = close_err;
    }
    job.err = err;
    g_atomic_int_set(&job.done, 1);
    return nullptr;
}

void show_message(const char *text, bool error)
{
    if (!w_message)
        return;
    if (error) {
        char *markup = g_markup_printf_escaped("<span foreground=\"#c00000\">%s</span>", text);
        gtk_label_set_markup(GTK_LABEL(w_message), markup);
        g_free(markup);
    } else {
        gtk_label_set_text(GTK_LABEL(w_message), text);
    }
    gtk_widget_show(w_message);
}

/* Ends a save whose thread has finished (or waits for it). */
void finish(void)
{
    g_thread_join(job.thread);
    job.thread = nullptr;
    g_free(job.recs);
    job.recs = nullptr;
    if (w_button)
        gtk_widget_set_sensitive(w_button, TRUE);
}

gboolean on_progress(gpointer)
{
    char text[1400];
    if (!g_atomic_int_get(&job.done)) {
        g_snprintf(text, sizeof text, _("Saving the trace to %s: %u %%"), job.name,
                   (unsigned)((uint64_t)g_atomic_int_get(&job.written) * 100 / job.n));
        show_message(text, false);
        return TRUE;
    }
    progress_source = 0;
    finish();
    if (job.err) {
        g_snprintf(text, sizeof text, _("The trace was not saved to %s: %s"), job.name,
                   uf_strerror(job.err));
        show_message(text, true);
        return FALSE;
    }
    g_snprintf(text, sizeof text,
               g_dngettext(GETTEXT_PACKAGE, "Saved %llu frame to %s.", "Saved %llu frames to %s.",
                           (unsigned long)job.saved),
               (unsigned long long)job.saved, job.name);
    show_message(text, false);
    return FALSE;
}

/* Starts writing the trace's frames to path in format; 0, or -1 with the
 * message shown. */
int start_save(const char *path, int format)
{
    uint32_t listed = bv_trace_listed(bv.trace);
    bv_rec *recs = listed ? g_try_new(bv_rec, listed) : nullptr;
    if (listed && !recs) {
        show_message(_("Not enough memory to save the trace."), true);
        return -1;
    }
    uint32_t n = recs ? bv_trace_frames(bv.trace, recs, listed) : 0;
    if (n == 0) {
        g_free(recs);
        show_message(_("The trace holds no frames to save."), true);
        return -1;
    }
    memset(&job, 0, sizeof job);
    job.recs = recs;
    job.n = n;
    job.format = format;
    job.chans = *nbkit_chans();
    g_strlcpy(job.path, path, sizeof job.path);
    gchar *utf8 = g_filename_display_basename(path);
    g_strlcpy(job.name, utf8, sizeof job.name);
    g_free(utf8);
    GError *error = nullptr;
    job.thread = g_thread_try_new("busview-save", run, nullptr, &error);
    if (!job.thread) {
        show_message(error ? error->message : _("Not enough memory to save the trace."), true);
        g_clear_error(&error);
        g_free(job.recs);
        job.recs = nullptr;
        return -1;
    }
    if (w_button)
        gtk_widget_set_sensitive(w_button, FALSE);
    progress_source = g_timeout_add(PROGRESS_MS, on_progress, nullptr);
    return 0;
}

void choose_file(void)
{
    GtkFileChooser *fc = pgparts::chooser_new({_("Save trace as"), GTK_FILE_CHOOSER_ACTION_SAVE, NB_FOLDER_LOGS,
                                               nullptr, "trace.log", nullptr, nullptr, nullptr});
    gtk_widget_set_name(GTK_WIDGET(fc), "busview-save-dialog");
    /* A name without one of the formats' extensions is written in the
     * format of the file type chosen. */
    for (const cl_format_info &t : CL_FORMATS) {
        GtkFileFilter *filter = gtk_file_filter_new();
        char name[64], pattern[16];
        g_snprintf(pattern, sizeof pattern, "*%s", t.ext);
        g_snprintf(name, sizeof name, "%s (%s)", t.name, pattern);
        gtk_file_filter_set_name(filter, name);
        gtk_file_filter_add_pattern(filter, pattern);
        g_object_set_data(G_OBJECT(filter), "busview-format", GINT_TO_POINTER(t.format));
        gtk_file_chooser_add_filter(fc, filter);
    }
    gchar *path = pgparts::chooser_run(fc, NB_FOLDER_LOGS);
    GtkFileFilter *chosen = gtk_file_chooser_get_filter(fc);
    int format = chosen ? GPOINTER_TO_INT(g_object_get_data(G_OBJECT(chosen), "busview-format"))
                        : CL_FMT_CANDUMP;
    gtk_widget_destroy(GTK_WIDGET(fc));
    if (path && bv.trace) {
        int by_name = cl_format_of_name(path);
        start_save(path, by_name != CL_FMT_AUTO ? by_name : format ? format : CL_FMT_CANDUMP);
    }
    g_free(path);
}

void on_save_clicked(GtkButton *, gpointer)
{
    if (bv.trace && !job.thread)
        choose_file();
}

}  // namespace

GtkWidget *bv_save_button(void)
{
    w_button = gtk_button_new_with_mnemonic(_("Sav_e trace as..."));
    gtk_widget_set_name(w_button, "busview-save-trace");
    gtk_widget_set_tooltip_text(w_button,
                                _("Write the frames the trace shows to a candump, ASC or BLF log "
                                  "file"));
    g_signal_connect(w_button, "clicked", G_CALLBACK(on_save_clicked), nullptr);
    return w_button;
}

GtkWidget *bv_save_message(void)
{
    w_message = gtk_label_new("");
    gtk_widget_set_name(w_message, "busview-save-message");
    gtk_misc_set_alignment(GTK_MISC(w_message), 0.0f, 0.5f);
    gtk_label_set_ellipsize(GTK_LABEL(w_message), PANGO_ELLIPSIZE_MIDDLE);
    gtk_widget_set_no_show_all(w_message, TRUE);
    return w_message;
}

void bv_save_release(void)
{
    if (progress_source)
        g_source_remove(progress_source);
    progress_source = 0;
    w_button = w_message = nullptr;
    /* The thread runs code of this library: it ends before the library
     * may go. */
    if (job.thread)
        finish();
}
