/*
 * logview.cpp - a log file (candump, ASC, BLF) shown in the trace and
 * per-identifier views instead of the live traffic, which goes on being
 * collected meanwhile.
 *
 * Nothing of the file is held but an index: a scan reads it in a thread
 * of its own and keeps a mark every so many frames, and the rows in sight
 * are read again from the mark before them whenever the view moves, by a
 * reader thread of the view: the window never waits for the file, rows
 * not read yet show as such and fill in when they come. The trace view
 * therefore holds one screen of rows; a scroll bar of its own stands for
 * the whole file. The per-identifier table is counted on the scan's
 * thread, under a lock, and shown by the page's refresh. A filter starts a
 * second scan of the same open file that takes only the frames it passes.
 *
 * The file is held open as it was when it was opened: what is appended
 * later is not read, a file put in its place is not read either, and the
 * bar says what became of it (appended to, cut short, replaced).
 */
#include "busview.h"

#include <errno.h>
#include <gdk/gdkkeysyms.h>
#include <string.h>

#include <condition_variable>
#include <initializer_list>
#include <mutex>
#include <thread>

#include "canlog.h"
#include "pgparts.h"
#include "userfile.h"

static_assert(CL_EXT == ZK_FRAME_EFF && CL_RTR == ZK_FRAME_RTR && CL_FDF == ZK_FRAME_FDF &&
                  CL_BRS == ZK_FRAME_BRS && CL_ESI == ZK_FRAME_ESI,
              "flags pass through");

namespace {

constexpr int WINDOW_MAX = 400;   /* rows one screen shows at most */
constexpr int WHEEL_ROWS = 3;
/* Until the first screen is full, the view looks for rows this often;
 * and for rows the reader has read. */
constexpr guint FIRST_SCREEN_MS = 15;
constexpr guint ROWS_POLL_MS = 15;

/* The thread that reads rows for the view. The view asks for a window of
 * rows of a scan (the newest request replaces one not yet taken) and
 * takes the result when it looks; the scan of a request is not closed
 * before the reader has finished with it (quiet). */
struct row_reader {
    std::thread thread;
    std::mutex m;
    std::condition_variable cv;
    bool stop = false;
    bool busy = false;
    /* the request */
    bool want = false;
    cl_scan *scan = nullptr;
    uint64_t first = 0;
    int count = 0;
    uint64_t epoch = 0;
    /* the result */
    bool ready = false;
    uint64_t res_epoch = 0;
    uint64_t res_first = 0;
    int res_asked = 0;
    long res_n = 0;
    cl_frame res[WINDOW_MAX];
};

struct log_view {
    cl_scan *all;                 /* every frame: progress and identifiers */
    cl_scan *rows;                /* the frames that pass the filter; null: all */
    bv_filter *select;            /* the filter rows was opened with */
    char path[1024];              /* file system encoding */
    char name[256];               /* UTF-8, for the title */

    /* Shared with the scan's thread. */
    GMutex lock;
    /* The scan whose frames are counted (its frames_ctx): a scan opened
     * next waits in count_frames until the one shown is closed. */
    GCond counting_changed;
    uintptr_t counting;
    bv_ids ids;
    int have_t0;
    int64_t t0_ns;                /* the file's first frame */
    uint64_t chans;               /* the file's channels below 64, a bit each */
    uint64_t chans_listed;        /* those the channel choice lists (GUI side) */

    uint64_t top;                 /* row shown first */
    uint64_t total;               /* rows known when the window was read */
    int window;                   /* rows the view has room for */
    int shown;                    /* rows in the store */
    int row_px;
    int read_failed;
    /* Rows read for the view: buf holds rows cache_first .. + cache_n of
     * the row scan of epoch; rows from gone_from on could not be read
     * (the file was cut short). */
    cl_frame buf[WINDOW_MAX];
    uint64_t cache_first;
    long cache_n;
    uint64_t gone_from;
    uint64_t epoch;
    int pending;                  /* rows in the store that wait for the reader */
    guint rows_source;
    row_reader *reader;
    GtkListStore *store;
    guint first_source;
    guint resize_source;
    int updating_adj;
    char counts_shown[768];

    GtkWidget *open;
    GtkWidget *bar;
    GtkWidget *title;
    GtkWidget *counts;
    GtkWidget *progress;
    GtkWidget *back;
    GtkWidget *trace;
    GtkWidget *trace_box;
    GtkWidget *scroll;
    GtkWidget *ids_view;
    GtkWidget *ids_sw;
};

log_view lg;

/* A log frame's flags as the adapter library's (ZK_FRAME_*). */
uint8_t log_flags(const cl_frame *f)
{
    return f->flags & BV_FRAME_FLAGS;
}

/* --------------------------------------------------------- scan side */

int passes_filter(void *ctx, const cl_frame *f)
{
    /* A channel's error frames are always shown, as in the live trace. */
    const bv_filter *filter = (const bv_filter *)ctx;
    if (!bv_filter_chan(filter, f->chan, 1))
        return 0;
    return (f->flags & CL_ERR) || bv_filter_match(filter, f->id, log_flags(f));
}

void count_frames(void *scan, const cl_frame *f, size_t n)
{
    g_mutex_lock(&lg.lock);
    while ((uintptr_t)scan > lg.counting)
        g_cond_wait(&lg.counting_changed, &lg.lock);
    if ((uintptr_t)scan != lg.counting) {
        g_mutex_unlock(&lg.lock);
        return;
    }
    if (!lg.have_t0 && n > 0) {
        lg.have_t0 = 1;
        lg.t0_ns = f[0].t_ns;
    }
    for (size_t i = 0; i < n; i++) {
        if (f[i].chan < 64)
            lg.chans |= 1ull << f[i].chan;
        if (f[i].flags & CL_ERR)
            continue;
        bv_ids_count(&lg.ids, f[i].chan > 255 ? 255 : (uint8_t)f[i].chan, f[i].id, log_flags(&f[i]),
                     (f[i].flags & CL_TX) ? BV_TX : BV_RX, f[i].t_ns / 1000, f[i].len, f[i].data);
    }
    g_mutex_unlock(&lg.lock);
}

cl_scan *row_scan(void)
{
    return lg.rows ? lg.rows : lg.all;
}

/* ------------------------------------------------------------ reader */

void reader_main(row_reader *r)
{
    std::unique_lock<std::mutex> g(r->m);
    for (;;) {
        r->cv.wait(g, [r] { return r->stop || r->want; });
        if (r->stop)
            return;
        cl_scan *scan = r->scan;
        uint64_t first = r->first, epoch = r->epoch;
        int count = r->count;
        r->want = false;
        r->busy = true;
        g.unlock();
        static cl_frame rows[WINDOW_MAX];  /* only this thread reads into it */
        /* The rows the index has now, which the read gives at least. */
        cl_scan_progress p;
        cl_scan_get_progress(scan, &p);
        long expect = first < p.rows ? (long)MIN((uint64_t)count, p.rows - first) : 0;
        long n = cl_scan_read(scan, first, rows, (size_t)count);
        g.lock();
        r->busy = false;
        if (epoch == r->epoch && !r->want) {
            r->ready = true;
            r->res_epoch = epoch;
            r->res_first = first;
            r->res_asked = (int)expect;
            r->res_n = n;
            if (n > 0)
                memcpy(r->res, rows, (size_t)n * sizeof rows[0]);
        }
        r->cv.notify_all();
    }
}

/* No request is outstanding and the reader has left the scan: it may be
 * closed or replaced. Results of before are dropped. */
void reader_quiet(void)
{
    row_reader *r = lg.reader;
    lg.epoch++;
    lg.cache_n = 0;
    lg.gone_from = UINT64_MAX;
    if (!r)
        return;
    std::unique_lock<std::mutex> g(r->m);
    r->want = false;
    r->ready = false;
    r->epoch = lg.epoch;
    r->cv.wait(g, [r] { return !r->busy; });
}

gboolean on_rows_poll(gpointer);

void request_rows(cl_scan *s, uint64_t first, int count)
{
    row_reader *r = lg.reader;
    if (!r || count <= 0)
        return;
    {
        std::lock_guard<std::mutex> g(r->m);
        r->want = true;
        r->scan = s;
        r->first = first;
        r->count = count;
        r->epoch = lg.epoch;
    }
    r->cv.notify_all();
    if (!lg.rows_source)
        lg.rows_source = g_timeout_add(ROWS_POLL_MS, on_rows_poll, nullptr);
}

void close_rows(void)
{
    reader_quiet();
    cl_scan_close(lg.rows);
    lg.rows = nullptr;
    g_free(lg.select);
    lg.select = nullptr;
}

/* ------------------------------------------------------------ window */

void set_row(GtkTreeIter *it, const cl_frame *f, int have_t0, int64_t t0_ns, int has_date)
{
    uint8_t kind = (f->flags & CL_ERR) ? BV_ERR : (f->flags & CL_TX) ? BV_TX : BV_RX;
    uint8_t flags = log_flags(f);
    char time[64] = "", id[16] = "", marks[32] = "", len[8], data[BV_DATA_TEXT];
    char chan[NBKIT_CHAN_NAME];
    bv_log_chan_name(chan, sizeof chan, f->chan);
    /* A file without a date has only relative times. */
    int absolute = bv.absolute && has_date;
    if (absolute || have_t0)
        bv_fmt_time(time, sizeof time, f->t_ns / 1000, t0_ns / 1000, absolute);
    if (kind != BV_ERR) {
        bv_fmt_id(id, sizeof id, f->id, flags);
        if (flags)
            bv_fmt_marks(marks, sizeof marks, flags);
    }
    g_snprintf(len, sizeof len, "%u", (unsigned)f->len);
    bv_fmt_data(data, sizeof data, f->data, f->len, kind == BV_ERR ? 0 : flags);
    gtk_list_store_set(lg.store, it, BV_COL_TIME, time, BV_COL_DIR, bv_kind_text(kind),
                       BV_COL_ID, id, BV_COL_MARKS, marks, BV_COL_LEN, len, BV_COL_DATA, data,
                       BV_COL_DELTA, nullptr, BV_COL_BACKGROUND, bv_kind_background(kind),
                       BV_COL_KIND, (int)kind, BV_COL_CHAN, chan, BV_COL_CHAN_BACKGROUND,
                       bv_chan_background(f->chan), -1);
}

void set_adjustment(void)
{
    GtkAdjustment *adj = gtk_range_get_adjustment(GTK_RANGE(lg.scroll));
    double page = (double)lg.window;
    double upper = (double)lg.total > page ? (double)lg.total : page;
    lg.updating_adj = 1;
    gtk_adjustment_configure(adj, (double)lg.top, 0, upper, 1, page > 1 ? page - 1 : 1, page);
    lg.updating_adj = 0;
}

/* A row not read yet. */
void set_pending_row(GtkTreeIter *it)
{
    gtk_list_store_set(lg.store, it, BV_COL_TIME, "\u2026", BV_COL_DIR, "", BV_COL_ID, "",
                       BV_COL_MARKS, "", BV_COL_LEN, "", BV_COL_DATA, "", BV_COL_DELTA, nullptr,
                       BV_COL_BACKGROUND, nullptr, BV_COL_KIND, (int)BV_RX, BV_COL_CHAN, "",
                       BV_COL_CHAN_BACKGROUND, nullptr, -1);
}

/* Puts the rows in sight in the store: those read, and those not read
 * yet as such, which are asked of the reader. Never reads the file. */
void fill(void)
{
    cl_scan *s = row_scan();
    if (!s || !lg.store)
        return;
    cl_scan_progress p;
    cl_scan_get_progress(s, &p);
    lg.total = p.rows < lg.gone_from ? p.rows : lg.gone_from;
    uint64_t window = (uint64_t)lg.window;
    if (lg.top + window > lg.total)
        lg.top = lg.total > window ? lg.total - window : 0;
    long n = (long)MIN(window, lg.total - lg.top);
    GtkTreeModel *model = GTK_TREE_MODEL(lg.store);
    GtkTreeIter it;
    while (lg.shown > n) {
        if (gtk_tree_model_iter_nth_child(model, &it, nullptr, lg.shown - 1))
            gtk_list_store_remove(lg.store, &it);
        lg.shown--;
    }
    g_mutex_lock(&lg.lock);
    int have_t0 = lg.have_t0;
    int64_t t0_ns = lg.t0_ns;
    g_mutex_unlock(&lg.lock);
    lg.pending = 0;
    bool more = gtk_tree_model_get_iter_first(model, &it);
    for (long i = 0; i < n; i++) {
        if (!more) {
            gtk_list_store_append(lg.store, &it);
            lg.shown++;
        }
        uint64_t row = lg.top + (uint64_t)i;
        if (row >= lg.cache_first && row < lg.cache_first + (uint64_t)lg.cache_n) {
            set_row(&it, &lg.buf[row - lg.cache_first], have_t0, t0_ns, p.has_date);
        } else {
            set_pending_row(&it);
            lg.pending++;
        }
        more = gtk_tree_model_iter_next(model, &it);
    }
    if (lg.pending)
        request_rows(s, lg.top, lg.window);
    set_adjustment();
}

/* Takes the reader's rows when they are there. */
gboolean on_rows_poll(gpointer)
{
    row_reader *r = lg.reader;
    bool took = false, waiting = false;
    {
        std::lock_guard<std::mutex> g(r->m);
        if (r->ready && r->res_epoch == lg.epoch) {
            lg.read_failed = r->res_n < 0;
            lg.cache_first = r->res_first;
            lg.cache_n = r->res_n > 0 ? r->res_n : 0;
            memcpy(lg.buf, r->res, (size_t)lg.cache_n * sizeof lg.buf[0]);
            /* Fewer rows than the index had: the file was cut short. */
            if (r->res_n >= 0 && r->res_n < r->res_asked)
                lg.gone_from = r->res_first + (uint64_t)r->res_n;
            took = true;
        }
        r->ready = false;
        waiting = r->want || r->busy;
    }
    if (took) {
        /* A failed read is not asked again and again. */
        if (lg.read_failed)
            lg.cache_n = 0;
        else
            fill();
    }
    if (waiting || (lg.pending && !lg.read_failed))
        return TRUE;
    lg.rows_source = 0;
    return FALSE;
}

void scroll_to(int64_t top)
{
    if (top < 0)
        top = 0;
    lg.top = (uint64_t)top;
    fill();
}

/* Rows of the height the view draws them, once it has one. */
int row_px(void)
{
    GdkRectangle r = {0, 0, 0, 0};
    if (lg.shown > 0) {
        GtkTreePath *path = gtk_tree_path_new_first();
        gtk_tree_view_get_background_area(GTK_TREE_VIEW(lg.trace), path, nullptr, &r);
        gtk_tree_path_free(path);
    }
    if (r.height > 0)
        lg.row_px = r.height;
    return lg.row_px;
}

/* The rows that fit the view, whole ones only, so that its own scrolling
 * never moves them. */
gboolean on_resize_idle(gpointer)
{
    lg.resize_source = 0;
    if (!lg.trace || !gtk_widget_get_realized(lg.trace))
        return FALSE;
    GdkRectangle vis;
    gtk_tree_view_get_visible_rect(GTK_TREE_VIEW(lg.trace), &vis);
    int px = row_px();
    int window = px > 0 ? vis.height / px : 1;
    window = CLAMP(window, 1, WINDOW_MAX);
    if (window != lg.window) {
        /* A view scrolled to the end keeps its last rows in sight when it
         * shrinks too (a scroll bar or the status line taking height),
         * not only when it grows. */
        bool at_end = lg.top > 0 && lg.top + (uint64_t)lg.window >= lg.total;
        lg.window = window;
        if (at_end)
            lg.top = lg.total > (uint64_t)window ? lg.total - (uint64_t)window : 0;
        fill();
        /* The first rows give the true row height. */
        if (row_px() != px && !lg.resize_source)
            lg.resize_source = g_idle_add(on_resize_idle, nullptr);
    }
    return FALSE;
}

void on_trace_allocate(GtkWidget *, GtkAllocation *, gpointer)
{
    if (!lg.resize_source)
        lg.resize_source = g_idle_add(on_resize_idle, nullptr);
}

void on_scrolled(GtkAdjustment *adj, gpointer)
{
    if (!lg.updating_adj)
        scroll_to((int64_t)gtk_adjustment_get_value(adj));
}

gboolean on_wheel(GtkWidget *, GdkEventScroll *ev, gpointer)
{
    if (ev->direction == GDK_SCROLL_UP)
        scroll_to((int64_t)lg.top - WHEEL_ROWS);
    else if (ev->direction == GDK_SCROLL_DOWN)
        scroll_to((int64_t)lg.top + WHEEL_ROWS);
    else
        return FALSE;
    return TRUE;
}

/* The keys that move through the file rather than through the screen. */
gboolean on_key(GtkWidget *w, GdkEventKey *ev, gpointer)
{
    int64_t top = (int64_t)lg.top, page = lg.window > 1 ? lg.window - 1 : 1;
    int cursor = -1;
    GtkTreePath *path = nullptr;
    gtk_tree_view_get_cursor(GTK_TREE_VIEW(w), &path, nullptr);
    if (path) {
        cursor = gtk_tree_path_get_indices(path)[0];
        gtk_tree_path_free(path);
    }
    switch (ev->keyval) {
    case GDK_KEY_Page_Up:
        scroll_to(top - page);
        return TRUE;
    case GDK_KEY_Page_Down:
        scroll_to(top + page);
        return TRUE;
    case GDK_KEY_Home:
        scroll_to(0);
        return TRUE;
    case GDK_KEY_End:
        scroll_to((int64_t)lg.total);
        return TRUE;
    case GDK_KEY_Up:
        if (cursor != 0 || top == 0)
            return FALSE;
        scroll_to(top - 1);
        return TRUE;
    case GDK_KEY_Down:
        if (cursor < 0 || cursor != lg.shown - 1)
            return FALSE;
        scroll_to(top + 1);
        return TRUE;
    default:
        return FALSE;
    }
}

/* ------------------------------------------------------------ labels */

/* Appends to buf, separated by blanks, as far as it fits. */
void append(char *buf, size_t size, const char *text)
{
    size_t n = strlen(buf);
    if (n + 1 < size)
        g_snprintf(buf + n, size - n, "%s%s", n ? "    " : "", text);
}

void update_labels(void)
{
    cl_scan_progress all, rows;
    cl_scan_get_progress(lg.all, &all);
    if (lg.rows)
        cl_scan_get_progress(lg.rows, &rows);
    char text[768] = "", part[512];
    cl_file_change ch;
    cl_scan_file_change(lg.all, lg.path, &ch);
    if (ch.replaced) {
        append(text, sizeof text,
               _("The file was replaced, moved or deleted since it was opened: this is the "
                 "file as it was opened."));
    } else if (ch.size_now < ch.size_then) {
        append(text, sizeof text,
               _("The file was cut short since it was opened: the rows after its new end "
                 "cannot be shown."));
    } else if (ch.size_now > ch.size_then) {
        gchar *more = g_format_size(ch.size_now - ch.size_then);
        g_snprintf(part, sizeof part,
                   _("%s were appended since the file was opened: not shown (open it again "
                     "to see them)."),
                   more);
        g_free(more);
        append(text, sizeof text, part);
    }
    g_snprintf(part, sizeof part, _("Frames: %llu"), (unsigned long long)all.frames);
    append(text, sizeof text, part);
    if (lg.rows) {
        g_snprintf(part, sizeof part, _("Shown: %llu"), (unsigned long long)rows.rows);
        append(text, sizeof text, part);
    }
    const cl_stats &st = all.stats;
    if (st.bad) {
        g_snprintf(part, sizeof part, _("Unreadable lines or objects: %llu (the first: %s)"),
                   (unsigned long long)st.bad, st.first_bad);
        append(text, sizeof text, part);
    }
    if (st.skipped_fd) {
        g_snprintf(part, sizeof part, _("CAN FD frames skipped: %llu"),
                   (unsigned long long)st.skipped_fd);
        append(text, sizeof text, part);
    }
    if (st.skipped) {
        g_snprintf(part, sizeof part, _("Other events skipped: %llu"),
                   (unsigned long long)st.skipped);
        append(text, sizeof text, part);
    }
    g_mutex_lock(&lg.lock);
    int full = lg.ids.full;
    g_mutex_unlock(&lg.lock);
    if (full)
        append(text, sizeof text, _("(identifier table full: new identifiers are not counted)"));
    int io_err = st.io_err ? st.io_err : lg.rows ? rows.stats.io_err : 0;
    if (io_err || lg.read_failed) {
        g_snprintf(part, sizeof part, _("Reading the file failed: %s"),
                   g_strerror(io_err ? io_err : EIO));
        append(text, sizeof text, part);
    }
    if (strcmp(text, lg.counts_shown) != 0) {
        g_strlcpy(lg.counts_shown, text, sizeof lg.counts_shown);
        gtk_label_set_text(GTK_LABEL(lg.counts), text);
    }

    /* The bar shows the index being built, then the filter's scan. */
    const cl_scan_progress *busy = !all.done ? &all : lg.rows && !rows.done ? &rows : nullptr;
    if (!busy) {
        gtk_widget_hide(lg.progress);
        return;
    }
    double fraction = busy->size ? (double)busy->offset / (double)busy->size : 0.0;
    char note[128];
    g_snprintf(note, sizeof note, busy == &all ? _("Indexing: %d %%") : _("Filtering: %d %%"),
               (int)(fraction * 100));
    gtk_progress_bar_set_fraction(GTK_PROGRESS_BAR(lg.progress), CLAMP(fraction, 0.0, 1.0));
    gtk_progress_bar_set_text(GTK_PROGRESS_BAR(lg.progress), note);
    gtk_widget_show(lg.progress);
}

void refresh_ids(void)
{
    g_mutex_lock(&lg.lock);
    bv_ids_refresh(&lg.ids, &bv.filter, GTK_TREE_VIEW(lg.ids_view));
    g_mutex_unlock(&lg.lock);
}

/* Until the first screen is full and while the scan has not finished. */
gboolean on_first_screen(gpointer)
{
    cl_scan_progress p;
    cl_scan_get_progress(row_scan(), &p);
    fill();
    /* A view not yet sized has no screen to fill yet. */
    if ((lg.window == 0 || lg.shown < lg.window || lg.pending) && !p.done)
        return TRUE;
    lg.first_source = 0;
    update_labels();
    return FALSE;
}

void watch_first_screen(void)
{
    if (!lg.first_source)
        lg.first_source = g_timeout_add(FIRST_SCREEN_MS, on_first_screen, nullptr);
}

void close_scans(void)
{
    if (lg.first_source)
        g_source_remove(lg.first_source);
    if (lg.rows_source)
        g_source_remove(lg.rows_source);
    lg.first_source = lg.rows_source = 0;
    close_rows();
    cl_scan_close(lg.all);
    lg.all = nullptr;
    g_mutex_lock(&lg.lock);
    bv_ids_clear(&lg.ids, lg.ids_view ? GTK_TREE_VIEW(lg.ids_view) : nullptr);
    lg.have_t0 = 0;
    lg.chans = 0;
    g_mutex_unlock(&lg.lock);
    lg.chans_listed = 0;
    if (lg.store)
        gtk_list_store_clear(lg.store);
    lg.shown = 0;
    lg.top = lg.total = 0;
    lg.read_failed = 0;
    lg.counts_shown[0] = '\0';
}

/* The live controls do nothing for a file. */
void live_controls(bool on)
{
    for (GtkWidget *w : {bv.w_pause, bv.w_clear, bv.w_autoscroll, bv.w_history})
        if (w)
            gtk_widget_set_sensitive(w, on);
}

void choose_file(void)
{
    const char *title = _("Open log");
    gchar *filter_name = g_strdup_printf(_("Log files (%s)"), cl_format_patterns());
    /* Where the last log of any plug-in was chosen, else this log's folder. */
    gchar *folder = lg.path[0] ? g_path_get_dirname(lg.path) : nullptr;
    gchar *folder_utf8 = folder ? g_filename_to_utf8(folder, -1, nullptr, nullptr, nullptr) : nullptr;
    gchar *name = pgparts::choose_file({title, GTK_FILE_CHOOSER_ACTION_OPEN, NB_FOLDER_LOGS, folder_utf8, nullptr,
                                        filter_name, cl_format_globs(), _("All files")});
    g_free(folder_utf8);
    g_free(folder);
    g_free(filter_name);
    if (name && bv.page)
        bv_log_open(name);
    g_free(name);
}

void on_open_clicked(GtkButton *, gpointer)
{
    if (bv.trace)
        choose_file();
}

void on_back_clicked(GtkButton *, gpointer)
{
    bv_log_close();
}

void on_view_shown(GtkWidget *, gpointer)
{
    if (lg.all)
        bv_log_refresh();
}

}  // namespace

/* ------------------------------------------------------------ building */

GtkWidget *bv_log_open_button(void)
{
    lg.open = gtk_button_new_with_mnemonic(_("Open _log..."));
    gtk_widget_set_name(lg.open, "busview-open-log");
    gtk_widget_set_tooltip_text(lg.open, _("Show a candump, ASC or BLF log file instead of the "
                                           "live traffic, which goes on being recorded"));
    g_signal_connect(lg.open, "clicked", G_CALLBACK(on_open_clicked), nullptr);
    return lg.open;
}

void bv_log_build(GtkWidget *page)
{
    g_mutex_init(&lg.lock);
    g_cond_init(&lg.counting_changed);
    lg.reader = new row_reader;
    lg.reader->thread = std::thread(reader_main, lg.reader);
    lg.gone_from = UINT64_MAX;
    lg.row_px = 20;
    lg.window = 0;
    lg.path[0] = '\0';
    if (bv_ids_init(&lg.ids, 16384) != 0)
        memset(&lg.ids, 0, sizeof lg.ids);
    lg.ids.log = 1;

    /* A coloured bar over the views says whose lines they are. */
    GtkWidget *box = nullptr;
    lg.bar = pgparts::log_banner("busview-log-bar", &box);
    lg.title = gtk_label_new("");
    gtk_widget_set_name(lg.title, "busview-log-title");
    gtk_misc_set_alignment(GTK_MISC(lg.title), 0.0f, 0.5f);
    gtk_label_set_ellipsize(GTK_LABEL(lg.title), PANGO_ELLIPSIZE_MIDDLE);
    gtk_box_pack_start(GTK_BOX(box), lg.title, FALSE, FALSE, 0);
    lg.counts = gtk_label_new("");
    gtk_widget_set_name(lg.counts, "busview-log-counts");
    gtk_misc_set_alignment(GTK_MISC(lg.counts), 0.0f, 0.5f);
    gtk_label_set_ellipsize(GTK_LABEL(lg.counts), PANGO_ELLIPSIZE_END);
    gtk_box_pack_start(GTK_BOX(box), lg.counts, TRUE, TRUE, 0);
    lg.progress = gtk_progress_bar_new();
    gtk_widget_set_name(lg.progress, "busview-log-progress");
    gtk_box_pack_start(GTK_BOX(box), lg.progress, FALSE, FALSE, 0);
    lg.back = gtk_button_new_with_mnemonic(_("_Back to live"));
    gtk_widget_set_name(lg.back, "busview-log-back");
    gtk_widget_set_tooltip_text(lg.back, _("Close the log file and show the live traffic"));
    gtk_box_pack_end(GTK_BOX(box), lg.back, FALSE, FALSE, 0);
    g_signal_connect(lg.back, "clicked", G_CALLBACK(on_back_clicked), nullptr);
    gtk_widget_show_all(lg.bar);
    gtk_widget_set_no_show_all(lg.bar, TRUE);
    gtk_widget_set_no_show_all(lg.progress, TRUE);
    gtk_widget_hide(lg.bar);
    gtk_box_pack_start(GTK_BOX(page), lg.bar, FALSE, FALSE, 0);

    /* The trace of the file: one screen of rows, the scroll bar beside it
     * standing for the whole file. */
    lg.store = gtk_list_store_new(BV_N_COLS, G_TYPE_STRING, G_TYPE_STRING, G_TYPE_STRING,
                                  G_TYPE_STRING, G_TYPE_STRING, G_TYPE_STRING, G_TYPE_STRING,
                                  G_TYPE_STRING, G_TYPE_INT, G_TYPE_STRING, G_TYPE_STRING);
    static_assert(BV_COL_KIND == 8 && BV_COL_CHAN == 9 && BV_N_COLS == 11, "the store's columns");
    lg.trace = bv_build_trace_view("busview-log-trace");
    gtk_tree_view_set_model(GTK_TREE_VIEW(lg.trace), GTK_TREE_MODEL(lg.store));
    /* Its size comes from the page, not from its rows. */
    gtk_widget_set_size_request(lg.trace, -1, 1);
    GtkWidget *sw = gtk_scrolled_window_new(nullptr, nullptr);
    gtk_scrolled_window_set_policy(GTK_SCROLLED_WINDOW(sw), GTK_POLICY_AUTOMATIC, GTK_POLICY_NEVER);
    gtk_container_add(GTK_CONTAINER(sw), lg.trace);
    lg.scroll = gtk_vscrollbar_new(nullptr);
    gtk_widget_set_name(lg.scroll, "busview-log-scroll");
    lg.trace_box = gtk_hbox_new(FALSE, 0);
    gtk_box_pack_start(GTK_BOX(lg.trace_box), sw, TRUE, TRUE, 0);
    gtk_box_pack_start(GTK_BOX(lg.trace_box), lg.scroll, FALSE, FALSE, 0);
    GtkWidget *frame = gtk_frame_new(nullptr);
    gtk_frame_set_shadow_type(GTK_FRAME(frame), GTK_SHADOW_IN);
    gtk_container_add(GTK_CONTAINER(frame), lg.trace_box);
    gtk_widget_show_all(frame);
    gtk_widget_set_no_show_all(frame, TRUE);
    gtk_widget_hide(frame);
    lg.trace_box = frame;
    gtk_box_pack_start(GTK_BOX(page), frame, TRUE, TRUE, 0);
    g_signal_connect_after(lg.trace, "size-allocate", G_CALLBACK(on_trace_allocate), nullptr);
    g_signal_connect(lg.trace, "scroll-event", G_CALLBACK(on_wheel), nullptr);
    g_signal_connect(lg.trace, "key-press-event", G_CALLBACK(on_key), nullptr);
    g_signal_connect(gtk_range_get_adjustment(GTK_RANGE(lg.scroll)), "value-changed",
                     G_CALLBACK(on_scrolled), nullptr);

    lg.ids_view = bv_build_ids_view(lg.ids.model, "busview-log-ids");
    lg.ids_sw = bv_scrolled(lg.ids_view);
    gtk_widget_hide(lg.ids_sw);
    gtk_box_pack_start(GTK_BOX(page), lg.ids_sw, TRUE, TRUE, 0);
    g_signal_connect(lg.ids_view, "map", G_CALLBACK(on_view_shown), nullptr);
}

void bv_log_release(void)
{
    if (!lg.bar)
        return;
    close_scans();
    if (lg.resize_source)
        g_source_remove(lg.resize_source);
    lg.resize_source = 0;
    bv_ids_free(&lg.ids);
    if (lg.store)
        g_object_unref(lg.store);
    {
        std::lock_guard<std::mutex> g(lg.reader->m);
        lg.reader->stop = true;
    }
    lg.reader->cv.notify_all();
    lg.reader->thread.join();
    delete lg.reader;
    g_mutex_clear(&lg.lock);
    g_cond_clear(&lg.counting_changed);
    /* The widgets go with the page. */
    memset(&lg, 0, sizeof lg);
}

/* ------------------------------------------------------------ actions */

int bv_log_active(void)
{
    return lg.all != nullptr;
}

int bv_log_open(const char *path)
{
    if (!lg.bar)
        return -1;
    gchar *utf8 = g_filename_display_name(path);
    /* The new file is opened first: a log shown stays when it fails. Its
     * scan counts once the one shown is closed. */
    cl_scan_opts o{};
    o.frames = count_frames;
    o.frames_ctx = (void *)(lg.counting + 1);
    o.fd = 1;
    int err = 0;
    cl_scan *scan = cl_scan_open(path, &o, &err);
    if (!scan) {
        nb_message_error(_("Cannot open the log file %s: %s"), utf8, uf_strerror(err));
        g_free(utf8);
        return -1;
    }
    close_scans();
    g_mutex_lock(&lg.lock);
    lg.counting++;
    g_cond_broadcast(&lg.counting_changed);
    g_mutex_unlock(&lg.lock);
    lg.all = scan;
    g_strlcpy(lg.path, path, sizeof lg.path);
    gchar *base = g_path_get_basename(utf8);
    g_strlcpy(lg.name, base, sizeof lg.name);
    g_free(base);
    char *markup = g_markup_printf_escaped(_("<b>Log file %s</b> (%s), not the live bus"),
                                           lg.name, cl_format_name(cl_scan_format(lg.all)));
    gtk_label_set_markup(GTK_LABEL(lg.title), markup);
    g_free(markup);
    /* Room for the whole title up to a point; a longer name is cut in the
     * middle. */
    glong chars = g_utf8_strlen(gtk_label_get_text(GTK_LABEL(lg.title)), -1);
    gtk_label_set_width_chars(GTK_LABEL(lg.title), (gint)MIN(chars, 60));
    gtk_widget_set_tooltip_text(lg.title, utf8);
    g_free(utf8);
    bv_log_set_filter(&bv.filter);
    gtk_widget_show(lg.bar);
    live_controls(false);
    bv_apply_view(bv.view);
    return 0;
}

void bv_log_close(void)
{
    close_scans();
    if (!lg.bar)
        return;
    gtk_widget_hide(lg.bar);
    gtk_widget_hide(lg.trace_box);
    gtk_widget_hide(lg.ids_sw);
    live_controls(true);
    bv_apply_view(bv.view);
    bv_channels_changed();
}

void bv_log_show_view(int view)
{
    if (!lg.all || !lg.bar)
        return;
    gtk_widget_hide(bv.w_trace_sw);
    gtk_widget_hide(bv.w_ids_sw);
    if (view == 1) {
        gtk_widget_hide(lg.trace_box);
        gtk_widget_show(lg.ids_sw);
        refresh_ids();
    } else {
        gtk_widget_hide(lg.ids_sw);
        gtk_widget_show(lg.trace_box);
    }
}

void bv_log_set_filter(const bv_filter *f)
{
    if (!lg.all)
        return;
    close_rows();
    if (f->ids.n > 0 || f->formats != BV_FORMATS_ALL || f->chan_on) {
        lg.select = g_new(bv_filter, 1);
        *lg.select = *f;
        cl_scan_opts o{};
        o.format = cl_scan_format(lg.all);
        o.fd = 1;
        o.select = passes_filter;
        o.select_ctx = lg.select;
        int err = 0;
        lg.rows = cl_scan_again(lg.all, &o, &err);
        if (!lg.rows) {
            nb_message_error(_("Cannot open the log file %s: %s"), lg.name, uf_strerror(err));
            g_free(lg.select);
            lg.select = nullptr;
        }
    }
    lg.top = 0;
    reader_quiet();
    if (lg.store)
        gtk_list_store_clear(lg.store);
    lg.shown = 0;
    g_mutex_lock(&lg.lock);
    bv_ids_relist(&lg.ids, lg.ids_view ? GTK_TREE_VIEW(lg.ids_view) : nullptr);
    g_mutex_unlock(&lg.lock);
    fill();
    watch_first_screen();
    update_labels();
}

void bv_log_redraw(void)
{
    if (lg.all)
        fill();
}

uint64_t bv_log_channels(void)
{
    g_mutex_lock(&lg.lock);
    uint64_t chans = lg.all ? lg.chans : 0;
    g_mutex_unlock(&lg.lock);
    return chans;
}

void bv_log_refresh(void)
{
    if (!lg.all)
        return;
    update_labels();
    /* Channels found since the choice was filled join it. */
    uint64_t chans = bv_log_channels();
    if (chans != lg.chans_listed) {
        lg.chans_listed = chans;
        bv_channels_changed();
    }
    if (bv.view == 1) {
        refresh_ids();
        return;
    }
    /* New rows at the end while the screen is not full; the scroll bar
     * grows with the index. */
    cl_scan_progress p;
    cl_scan_get_progress(row_scan(), &p);
    if (lg.shown < lg.window && p.rows > lg.top + (uint64_t)lg.shown)
        fill();
    else if (p.rows != lg.total) {
        lg.total = p.rows;
        set_adjustment();
    }
}
