/*
 * info_panel.cpp - the channel information panel: a tree of names and
 * values showing the channel's settings and the controller's status.
 *
 * Built once per main window; refreshed every second by the status timer
 * and after every state change. The refresh finds its rows by position,
 * so the row order below is fixed; a CAN FD channel has three rows more
 * (its mode, its data rate, and the FD frames that plug-ins written for
 * classic CAN did not get).
 */
#include <glib/gi18n.h>
#include <string.h>

#include "app/nb_app.h"
#include "gui/gui_parts.h"

namespace {

enum { COL_NAME, COL_VALUE, N_COLS };

/* The channel row's children, in their order. The rows up to ROW_HIDDEN
 * are refreshed; ROW_FD to ROW_HIDDEN exist on a CAN FD channel only. */
enum {
    ROW_STATE,
    ROW_HW_OVR,
    ROW_SW_OVR,
    ROW_BAUD,
    ROW_CODE,
    ROW_MASK,
    ROW_WTOUT,
    ROW_FD,
    ROW_DATA,
    ROW_HIDDEN,
    ROW_FORMAT,
    ROW_BASE,
    ROW_IRQ,
    ROW_BOARD,
    ROW_CHIP,
};

/* The name of the text entry that opens the controller's own entries. */
const char CHIP_ENTRY[] = "CAN chip";
const int CHIP_ENTRIES = 32;

/* The adapter library's names and words for the controller's entries,
 * shown translated; other text (numbers, rates) is shown as it comes. */
const char *const chip_words[] = {
    N_("Mode"), N_("listen-only"), N_("normal"), N_("State"), N_("running"), N_("stopped"),
    N_("Bit rate"), N_("Bus timing"), N_("CAN FD"), N_("on (ISO)"), N_("on (non-ISO)"), N_("off"),
    N_("not supported"), N_("Data rate"), N_("Data sample pt"), N_("Bus state"),
    N_("error active"), N_("error warning"), N_("error passive"), N_("bus-off"), N_("unknown"),
    N_("TX errors"), N_("RX errors"), N_("HW overruns"), N_("SW overruns"), N_("FD skipped"),
    N_("TX dropped"), N_("ACK errors"),
    N_("Bus errors"), N_("Arbitr. lost"), N_("Restarts"),
};

const char *chip_text(const char *text)
{
    for (const char *word : chip_words)
        if (strcmp(text, word) == 0)
            return _(word);
    return text;
}

/* Whether the board has a base address and an interrupt to show (USB and
 * serial adapters have neither), as the rows were built. */
bool shown_base = true, shown_irq = true;

GtkWidget *info_view = nullptr;
/* The channel, frame format and CAN FD mode the rows were built for. */
int shown_number = -1;
int shown_format = -1;
int shown_fd = -1;

bool row_shown(int row, nb_app *app)
{
    nb_chan *chan = selected_chan(app);
    if ((row == ROW_BASE && !shown_base) || (row == ROW_IRQ && !shown_irq))
        return false;
    /* Only the main channel has plug-ins that may miss its FD frames. */
    if (row == ROW_HIDDEN && !main_selected(app))
        return false;
    return chan->fd || row < ROW_FD || row > ROW_HIDDEN;
}

/* Reads the chip status with its texts; on failure both stay zeroed.
 * Every text entry is NUL-terminated afterwards whatever the library left. */
int32_t read_chip(nb_app *app, zk_chipstat *st, zk_chipstat_text *text)
{
    nb_chan *chan = selected_chan(app);
    memset(st, 0, sizeof *st);
    memset(text, 0, sizeof *text);
    int32_t rc = chan->ops.chip_stat(chan, st, text);
    if (rc < 0) {
        memset(st, 0, sizeof *st);
        memset(text, 0, sizeof *text);
        return rc;
    }
    for (int i = 0; i < CHIP_ENTRIES; i++) {
        text->name[i][sizeof text->name[i] - 1] = '\0';
        text->value[i][sizeof text->value[i] - 1] = '\0';
    }
    return rc;
}

int find_chip_entry(const zk_chipstat_text *text)
{
    for (int i = 0; i < CHIP_ENTRIES; i++)
        if (strcmp(text->name[i], CHIP_ENTRY) == 0)
            return i;
    return -1;
}

void format_state(char *buf, size_t size, nb_app *app, const zk_chipstat *st)
{
    nb_chan *chan = selected_chan(app);
    const char *text;
    if (chan->lom == 1)
        text = st->state ? _("RUNNING (LOM)") : _("INIT (LOM)");
    else
        text = st->state ? _("RUNNING") : _("INIT");
    g_snprintf(buf, size, "%s", text);
}

const char *baud_text(nb_app *app)
{
    nb_chan *chan = selected_chan(app);
    const char *name = chan->ops.baud_name ? chan->ops.baud_name(chan->baud_index) : nullptr;
    return name ? name : "";
}

void format_frame_format(char *buf, size_t size, uint8_t format)
{
    switch (format) {
    case 6: g_snprintf(buf, size, "%s", _("11/29 bit")); break;
    case 2: g_snprintf(buf, size, "%s", _("11 bit")); break;
    case 4: g_snprintf(buf, size, "%s", _("29 bit")); break;
    default: g_snprintf(buf, size, _("unknown (%d)"), (int)format); break;
    }
}

void add_row(GtkTreeStore *store, GtkTreeIter *row, GtkTreeIter *parent, const char *name,
             const char *value)
{
    gtk_tree_store_append(store, row, parent);
    gtk_tree_store_set(store, row, COL_NAME, name, COL_VALUE, value, -1);
}

/* A row whose value changes is measured and drawn again; the panel is
 * refreshed every second, and most values stay as they are. */
void set_value(GtkTreeStore *store, GtkTreeIter *row, const char *value)
{
    gchar *old = nullptr;
    gtk_tree_model_get(GTK_TREE_MODEL(store), row, COL_VALUE, &old, -1);
    if (!old || strcmp(old, value) != 0)
        gtk_tree_store_set(store, row, COL_VALUE, value, -1);
    g_free(old);
}

/* Values that the refresh rewrites, formatted the same way for both. */
void format_refreshed(int row, char *buf, size_t size, nb_app *app, const zk_chipstat *st)
{
    nb_chan *chan = selected_chan(app);
    switch (row) {
    case ROW_STATE: format_state(buf, size, app, st); break;
    case ROW_HW_OVR: g_snprintf(buf, size, "%lu", (unsigned long)st->hovr); break;
    case ROW_SW_OVR: g_snprintf(buf, size, "%lu", (unsigned long)st->sovr); break;
    case ROW_BAUD: g_snprintf(buf, size, "%s", baud_text(app)); break;
    case ROW_CODE: g_snprintf(buf, size, "%#lx", (unsigned long)chan->acc_code); break;
    case ROW_MASK: g_snprintf(buf, size, "%#lx", (unsigned long)chan->acc_mask); break;
    case ROW_WTOUT: g_snprintf(buf, size, _("%d msec"), (int)chan->wtout); break;
    case ROW_FD:
        g_snprintf(buf, size, "%s", chan->fd == NB_FD_NON_ISO ? _("non-ISO") : _("ISO"));
        break;
    case ROW_DATA: {
        char rate[64];
        data_rate_text(chan->data_kbit, rate, sizeof rate);
        if (chan->data_sp)
            g_snprintf(buf, size, "%s, %u.%u %%", rate, chan->data_sp / 10u,
                       chan->data_sp % 10u);
        else
            g_snprintf(buf, size, "%s", rate);
        break;
    }
    case ROW_HIDDEN:
        g_snprintf(buf, size, "%" G_GUINT64_FORMAT, (guint64)app->pgmgr.fd_hidden);
        break;
    default: buf[0] = '\0'; break;
    }
}

GtkTreeStore *build_store(nb_app *app)
{
    nb_chan *chan = selected_chan(app);
    zk_chipstat st;
    zk_chipstat_text text;
    read_chip(app, &st, &text);

    GtkTreeStore *store = gtk_tree_store_new(N_COLS, G_TYPE_STRING, G_TYPE_STRING);
    char buf[NB_TEXT_MAX];
    GtkTreeIter top, row, board;

    shown_number = chan->number;
    shown_format = chan->frame_format;
    shown_fd = chan->fd;
    g_snprintf(buf, sizeof buf, "%d", (int)chan->number);
    add_row(store, &top, nullptr, _("channel"), buf);

    static const char *const refreshed[] = {
        N_("state"),         N_("hw overruns"),   N_("sw overruns"), N_("baud rate"),
        N_("filter (code)"), N_("filter (mask)"), N_("write tout"),  N_("CAN FD"),
        N_("data rate"),     N_("FD frames hidden")};
    for (int r = ROW_STATE; r <= ROW_HIDDEN; r++) {
        if (!row_shown(r, app))
            continue;
        format_refreshed(r, buf, sizeof buf, app, &st);
        add_row(store, &row, &top, _(refreshed[r]), buf);
    }

    format_frame_format(buf, sizeof buf, chan->frame_format);
    add_row(store, &row, &top, _("frame format"), buf);
    /* USB and serial adapters have neither: the library reports base 0
     * and irq -1, and the rows are left out. */
    shown_base = st.base != 0;
    shown_irq = st.irq >= 0;
    if (shown_base) {
        g_snprintf(buf, sizeof buf, "%#lx", (unsigned long)st.base);
        add_row(store, &row, &top, _("base address"), buf);
    }
    if (shown_irq) {
        g_snprintf(buf, sizeof buf, "%d", (int)st.irq);
        add_row(store, &row, &top, _("irq"), buf);
    }
    g_snprintf(buf, sizeof buf, "%d", (int)st.board);
    add_row(store, &board, &top, _("board"), buf);

    /* The board record may come from a lookup that found nothing; never
     * read past its buffers. */
    char field[sizeof app->chan.board.b.name + 1];
    g_strlcpy(field, chan->board.b.name, sizeof app->chan.board.b.name);
    add_row(store, &row, &board, _("name"), field);
    g_strlcpy(field, chan->board.b.manufacturer, sizeof app->chan.board.b.manufacturer);
    add_row(store, &row, &board, _("manufacturer"), field);

    GtkTreeIter chip;
    int first = find_chip_entry(&text);
    if (first < 0) {
        add_row(store, &chip, &top, _("CAN chip"), _("UNKNOWN"));
    } else {
        add_row(store, &chip, &top, _("CAN chip"), text.value[first]);
        /* An empty name ends the list. */
        for (int i = first + 1; i < CHIP_ENTRIES && text.name[i][0]; i++)
            add_row(store, &row, &chip, chip_text(text.name[i]), chip_text(text.value[i]));
    }
    return store;
}

const int LEVEL_INDENT = 8;

/* The widest name with its indentation, for the row and its children. */
int names_width(GtkWidget *view, GtkTreeModel *model, GtkTreeIter *parent, int depth)
{
    int widest = 0;
    GtkTreeIter it;
    gboolean valid = gtk_tree_model_iter_children(model, &it, parent);
    for (; valid; valid = gtk_tree_model_iter_next(model, &it)) {
        gchar *name = nullptr;
        gtk_tree_model_get(model, &it, COL_NAME, &name, -1);
        PangoLayout *layout = gtk_widget_create_pango_layout(view, name);
        int w = 0, h = 0;
        pango_layout_get_pixel_size(layout, &w, &h);
        g_object_unref(layout);
        g_free(name);
        w += depth * LEVEL_INDENT;
        if (w > widest)
            widest = w;
        int below = names_width(view, model, &it, depth + 1);
        if (below > widest)
            widest = below;
    }
    return widest;
}

/* The names column keeps the width of the widest name: the values get
 * the rest and wrap in it. */
void fix_name_width(GtkWidget *view)
{
    GtkTreeViewColumn *col = gtk_tree_view_get_column(GTK_TREE_VIEW(view), COL_NAME);
    GList *cells = gtk_cell_layout_get_cells(GTK_CELL_LAYOUT(col));
    gint xpad = 2, separator = 0;
    if (cells)
        g_object_get(cells->data, "xpad", &xpad, NULL);
    g_list_free(cells);
    gtk_widget_style_get(view, "horizontal-separator", &separator, NULL);
    int width = names_width(view, gtk_tree_view_get_model(GTK_TREE_VIEW(view)), nullptr, 0);
    gtk_tree_view_column_set_sizing(col, GTK_TREE_VIEW_COLUMN_FIXED);
    gtk_tree_view_column_set_fixed_width(col, width + 2 * xpad + separator + 2);
}

/* The value column's renderer, while the panel exists. */
GtkCellRenderer *value_cell = nullptr;

void forget_value_cell(GtkObject *, gpointer) { value_cell = nullptr; }

gboolean remeasure_row(GtkTreeModel *model, GtkTreePath *path, GtkTreeIter *iter, gpointer)
{
    gtk_tree_model_row_changed(model, path, iter);
    return FALSE;
}

/* Wraps the values at the width the scrolled window leaves them beside
 * the names; runs again whenever the pane is resized. */
void fit_values(GtkWidget *scroll, GtkAllocation *alloc, gpointer view)
{
    if (!value_cell)
        return;
    GtkWidget *vbar = gtk_scrolled_window_get_vscrollbar(GTK_SCROLLED_WINDOW(scroll));
    int room = alloc->width - 2 * (int)gtk_container_get_border_width(GTK_CONTAINER(scroll));
    if (vbar && gtk_widget_get_visible(vbar)) {
        GtkRequisition r;
        gtk_widget_get_child_requisition(vbar, &r);
        gint spacing = 3;
        gtk_widget_style_get(scroll, "scrollbar-spacing", &spacing, NULL);
        room -= r.width + spacing;
    }
    GtkTreeViewColumn *names = gtk_tree_view_get_column(GTK_TREE_VIEW(view), COL_NAME);
    gint xpad = 0, separator = 0;
    g_object_get(value_cell, "xpad", &xpad, NULL);
    gtk_widget_style_get(GTK_WIDGET(view), "horizontal-separator", &separator, NULL);
    int wrap = room - gtk_tree_view_column_get_fixed_width(names) - 2 * xpad - 2 * separator;
    if (wrap < 40)
        wrap = 40;
    gint current = -1;
    g_object_get(value_cell, "wrap-width", &current, NULL);
    if (current == wrap)
        return;
    g_object_set(value_cell, "wrap-width", wrap, NULL);
    /* Rows measured before keep their height unless told otherwise. */
    gtk_tree_model_foreach(gtk_tree_view_get_model(GTK_TREE_VIEW(view)), remeasure_row, nullptr);
    gtk_tree_view_columns_autosize(GTK_TREE_VIEW(view));
}

/* The tooltip of a row: its name and its whole value. */
gboolean on_query_tooltip(GtkWidget *widget, gint x, gint y, gboolean keyboard, GtkTooltip *tip,
                          gpointer)
{
    GtkTreeView *view = GTK_TREE_VIEW(widget);
    GtkTreeModel *model = nullptr;
    GtkTreePath *path = nullptr;
    GtkTreeIter iter;
    if (!gtk_tree_view_get_tooltip_context(view, &x, &y, keyboard, &model, &path, &iter))
        return FALSE;
    gchar *name = nullptr, *value = nullptr;
    gtk_tree_model_get(model, &iter, COL_NAME, &name, COL_VALUE, &value, -1);
    char text[NB_TEXT_MAX];
    g_snprintf(text, sizeof text, "%s: %s", name ? name : "", value ? value : "");
    gtk_tooltip_set_text(tip, text);
    gtk_tree_view_set_tooltip_row(view, tip, path);
    gtk_tree_path_free(path);
    g_free(name);
    g_free(value);
    return TRUE;
}

}  // namespace

GtkWidget *build_info_panel(nb_app *app)
{
    GtkWidget *frame = gtk_frame_new(_("CAN channel information"));
    gtk_widget_set_name(frame, "info_panel");
    gtk_container_set_border_width(GTK_CONTAINER(frame), 2);
    GtkWidget *scroll = gtk_scrolled_window_new(nullptr, nullptr);
    gtk_container_set_border_width(GTK_CONTAINER(scroll), 3);
    gtk_scrolled_window_set_policy(GTK_SCROLLED_WINDOW(scroll), GTK_POLICY_AUTOMATIC,
                                   GTK_POLICY_AUTOMATIC);
    gtk_scrolled_window_set_placement(GTK_SCROLLED_WINDOW(scroll), GTK_CORNER_TOP_LEFT);
    gtk_container_add(GTK_CONTAINER(frame), scroll);

    GtkTreeStore *store = build_store(app);
    GtkWidget *view = gtk_tree_view_new_with_model(GTK_TREE_MODEL(store));
    g_object_unref(store);   /* the view keeps the only reference */
    gtk_widget_set_name(view, "info_view");
    gtk_tree_view_set_headers_visible(GTK_TREE_VIEW(view), FALSE);
    for (int c = 0; c < N_COLS; c++) {
        GtkCellRenderer *cell = gtk_cell_renderer_text_new();
        GtkTreeViewColumn *col = gtk_tree_view_column_new();
        gtk_tree_view_column_pack_start(col, cell, TRUE);
        gtk_tree_view_column_add_attribute(col, cell, "text", c);
        /* The pane is narrow: names are short and always shown whole;
         * a value too long for what is left of the width wraps (see
         * fit_values). */
        if (c == COL_VALUE) {
            g_object_set(cell, "wrap-mode", PANGO_WRAP_WORD_CHAR, NULL);
            gtk_tree_view_column_set_expand(col, TRUE);
            value_cell = cell;
            g_signal_connect(cell, "destroy", G_CALLBACK(forget_value_cell), nullptr);
        }
        gtk_tree_view_append_column(GTK_TREE_VIEW(view), col);
    }
    /* Every row is expanded and stays so: no expanders, and a small
     * indentation per level instead of their width. */
    gtk_tree_view_set_show_expanders(GTK_TREE_VIEW(view), FALSE);
    gtk_tree_view_set_level_indentation(GTK_TREE_VIEW(view), LEVEL_INDENT);
    fix_name_width(view);
    gtk_widget_set_has_tooltip(view, TRUE);
    g_signal_connect(view, "query-tooltip", G_CALLBACK(on_query_tooltip), nullptr);
    /* Never sideways: the values wrap at the width there is. */
    gtk_scrolled_window_set_policy(GTK_SCROLLED_WINDOW(scroll), GTK_POLICY_NEVER,
                                   GTK_POLICY_AUTOMATIC);
    g_signal_connect(scroll, "size-allocate", G_CALLBACK(fit_values), view);
    gtk_tree_selection_set_mode(gtk_tree_view_get_selection(GTK_TREE_VIEW(view)),
                                GTK_SELECTION_BROWSE);
    gtk_tree_view_expand_all(GTK_TREE_VIEW(view));
    gtk_tree_view_set_rules_hint(GTK_TREE_VIEW(view), TRUE);
    gtk_container_add(GTK_CONTAINER(scroll), view);

    info_view = view;
    g_signal_connect(view, "destroy", G_CALLBACK(gtk_widget_destroyed), &info_view);
    gtk_widget_show_all(frame);
    return frame;
}

void refresh_info_panel(nb_app *app)
{
    nb_chan *chan = selected_chan(app);
    refresh_channels(app);
    if (!info_view)
        return;
    if (chan->number != shown_number || chan->frame_format != shown_format ||
        chan->fd != shown_fd) {
        /* Another channel is open now: its rows are built afresh. */
        GtkTreeStore *fresh = build_store(app);
        gtk_tree_view_set_model(GTK_TREE_VIEW(info_view), GTK_TREE_MODEL(fresh));
        g_object_unref(fresh);
        gtk_tree_view_expand_all(GTK_TREE_VIEW(info_view));
        /* New rows may have a wider name ("FD frames hidden"), and the
         * values wrap in what it leaves. */
        fix_name_width(info_view);
        gtk_widget_queue_resize(info_view);
        return;
    }
    GtkTreeStore *store = GTK_TREE_STORE(gtk_tree_view_get_model(GTK_TREE_VIEW(info_view)));
    GtkTreeModel *model = GTK_TREE_MODEL(store);
    GtkTreeIter top, row;
    if (!gtk_tree_model_get_iter_first(model, &top) ||
        !gtk_tree_model_iter_children(model, &row, &top))
        return;
    if (chan->lost) {
        /* The channel is closed: the state row says why, the rest stays. */
        set_value(store, &row, _("LOST (adapter disappeared)"));
        return;
    }
    zk_chipstat st;
    zk_chipstat_text text;
    if (read_chip(app, &st, &text) < 0)
        return;

    char buf[NB_TEXT_MAX];
    gboolean valid = TRUE;
    for (int kind = ROW_STATE; valid && kind < ROW_CHIP; kind++) {
        if (!row_shown(kind, app))
            continue;
        if (kind <= ROW_HIDDEN) {
            format_refreshed(kind, buf, sizeof buf, app, &st);
            set_value(store, &row, buf);
        }
        valid = gtk_tree_model_iter_next(model, &row);
    }
    if (!valid)
        return;

    /* row is now "CAN chip". */
    GtkTreeIter child;
    if (!gtk_tree_model_iter_children(model, &child, &row))
        return;
    int first = find_chip_entry(&text);
    if (first < 0) {
        gtk_tree_store_set(store, &child, COL_NAME, _("CAN chip"), COL_VALUE, _("Unknown"), -1);
        return;
    }
    valid = TRUE;
    for (int i = first + 1; valid && i < CHIP_ENTRIES && text.name[i][0];
         i++, valid = gtk_tree_model_iter_next(model, &child))
        set_value(store, &child, chip_text(text.value[i]));
}
