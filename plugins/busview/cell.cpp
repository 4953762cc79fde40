/*
 * cell.cpp - the cell renderer of the trace and the per-identifier view.
 *
 * A row of a view that follows a saturated bus changes four times a
 * second, every cell of it. GTK's text cell builds a new Pango layout,
 * attribute list and font description for each cell it draws and measures
 * it twice; this one keeps one layout per column and only sets the text
 * before drawing it, clipped to the cell. Its height comes from the font's
 * metrics, never from laying out a row, so the views' fixed-height mode
 * costs nothing per row.
 *
 * It is a text cell for everything but drawing and measuring: the text is
 * the text cell's own, so that the accessibility layer reads every cell of
 * the views as the text it shows (screen readers, the tests that drive
 * the program from outside).
 */
#include "busview.h"

#include <string.h>

namespace {

struct BvCell {
    GtkCellRendererText parent;
    gboolean mono;
    char background[32];          /* colour name, empty for none */
    GdkColor bg;
    gboolean bg_ok;
    PangoLayout *layout;          /* for the widget and style below */
    GtkWidget *layout_widget;
    GtkStyle *layout_style;
    int height;                   /* of a line of text, 0 until known */
};

struct BvCellClass {
    GtkCellRendererTextClass parent_class;
};

enum { PROP_0, PROP_BACKGROUND, PROP_MONO };

gpointer parent_class;

BvCell *as_cell(gpointer p)
{
    return reinterpret_cast<BvCell *>(p);
}

/* A layout for the widget's current style; rebuilt when the style or the
 * widget changes (a theme or font change gives the widget a new style). */
PangoLayout *layout_for(BvCell *c, GtkWidget *widget)
{
    GtkStyle *style = gtk_widget_get_style(widget);
    if (c->layout && c->layout_widget == widget && c->layout_style == style)
        return c->layout;
    if (c->layout)
        g_object_unref(c->layout);
    c->layout = gtk_widget_create_pango_layout(widget, nullptr);
    c->layout_widget = widget;
    c->layout_style = style;
    PangoFontDescription *fd = pango_font_description_copy(style->font_desc);
    if (c->mono)
        pango_font_description_set_family(fd, "Monospace");
    pango_layout_set_font_description(c->layout, fd);
    pango_layout_set_ellipsize(c->layout, PANGO_ELLIPSIZE_END);
    PangoFontMetrics *m = pango_context_get_metrics(pango_layout_get_context(c->layout), fd,
                                                    nullptr);
    c->height = PANGO_PIXELS(pango_font_metrics_get_ascent(m) + pango_font_metrics_get_descent(m));
    pango_font_metrics_unref(m);
    pango_font_description_free(fd);
    return c->layout;
}

void cell_set_property(GObject *obj, guint id, const GValue *value, GParamSpec *pspec)
{
    BvCell *c = as_cell(obj);
    switch (id) {
    case PROP_BACKGROUND: {
        const char *s = g_value_get_string(value);
        if (!s)
            s = "";
        if (strcmp(s, c->background) != 0) {
            g_strlcpy(c->background, s, sizeof c->background);
            c->bg_ok = s[0] && gdk_color_parse(s, &c->bg);
        }
        break;
    }
    case PROP_MONO:
        c->mono = g_value_get_boolean(value);
        if (c->layout)
            g_object_unref(c->layout);
        c->layout = nullptr;
        break;
    default:
        G_OBJECT_WARN_INVALID_PROPERTY_ID(obj, id, pspec);
    }
}

void cell_get_property(GObject *obj, guint id, GValue *value, GParamSpec *pspec)
{
    BvCell *c = as_cell(obj);
    switch (id) {
    case PROP_BACKGROUND: g_value_set_string(value, c->background[0] ? c->background : nullptr); break;
    case PROP_MONO: g_value_set_boolean(value, c->mono); break;
    default: G_OBJECT_WARN_INVALID_PROPERTY_ID(obj, id, pspec);
    }
}

void cell_finalize(GObject *obj)
{
    BvCell *c = as_cell(obj);
    if (c->layout)
        g_object_unref(c->layout);
    G_OBJECT_CLASS(parent_class)->finalize(obj);
}

/* The columns have fixed widths; what the cell asks for is one line. */
void cell_get_size(GtkCellRenderer *cell, GtkWidget *widget, GdkRectangle *, gint *x_offset,
                   gint *y_offset, gint *width, gint *height)
{
    BvCell *c = as_cell(cell);
    layout_for(c, widget);
    if (x_offset)
        *x_offset = 0;
    if (y_offset)
        *y_offset = 0;
    if (width)
        *width = 2 * (gint)cell->xpad + 8;
    if (height)
        *height = 2 * (gint)cell->ypad + c->height;
}

void cell_render(GtkCellRenderer *cell, GdkDrawable *window, GtkWidget *widget,
                 GdkRectangle *background_area, GdkRectangle *cell_area, GdkRectangle *expose_area,
                 GtkCellRendererState flags)
{
    BvCell *c = as_cell(cell);
    PangoLayout *layout = layout_for(c, widget);
    bool selected = (flags & GTK_CELL_RENDERER_SELECTED) != 0;
    if (c->bg_ok && !selected) {
        cairo_t *cr = gdk_cairo_create(window);
        gdk_cairo_rectangle(cr, background_area);
        gdk_cairo_set_source_color(cr, &c->bg);
        cairo_fill(cr);
        cairo_destroy(cr);
    }
    const char *text = GTK_CELL_RENDERER_TEXT(cell)->text;
    if (!text || !text[0])
        return;
    GtkStateType state = GTK_STATE_NORMAL;
    if (!gtk_widget_is_sensitive(widget))
        state = GTK_STATE_INSENSITIVE;
    else if (selected)
        state = gtk_widget_has_focus(widget) ? GTK_STATE_SELECTED : GTK_STATE_ACTIVE;
    pango_layout_set_text(layout, text, -1);
    /* Text wider than its column ends in an ellipsis at the column's edge,
     * so a cut never goes unseen. */
    pango_layout_set_width(layout, (cell_area->width - 2 * (gint)cell->xpad) * PANGO_SCALE);
    GdkRectangle clip;
    if (!gdk_rectangle_intersect(cell_area, expose_area, &clip))
        return;
    int y = cell_area->y + (cell_area->height - c->height) / 2;
    gtk_paint_layout(gtk_widget_get_style(widget), window, state, TRUE, &clip, widget,
                     "cellrenderertext", cell_area->x + (gint)cell->xpad, y, layout);
}

void cell_class_init(gpointer klass, gpointer)
{
    parent_class = g_type_class_peek_parent(klass);
    GObjectClass *oc = G_OBJECT_CLASS(klass);
    oc->set_property = cell_set_property;
    oc->get_property = cell_get_property;
    oc->finalize = cell_finalize;
    GtkCellRendererClass *cc = GTK_CELL_RENDERER_CLASS(klass);
    cc->get_size = cell_get_size;
    cc->render = cell_render;
    g_object_class_install_property(
        oc, PROP_BACKGROUND,
        g_param_spec_string("cell-background", "Background", "Background colour name, or none",
                            nullptr, G_PARAM_READWRITE));
    g_object_class_install_property(
        oc, PROP_MONO,
        g_param_spec_boolean("mono", "Monospace", "Text in the monospace font", FALSE,
                             G_PARAM_READWRITE));
}

void cell_init(GTypeInstance *instance, gpointer)
{
    BvCell *c = as_cell(instance);
    GtkCellRenderer *cell = GTK_CELL_RENDERER(instance);
    cell->xpad = 2;
    cell->ypad = 2;
    c->background[0] = '\0';
}

GType cell_type(void)
{
    static GType type = 0;
    if (!type) {
        /* The plug-in stays mapped once loaded, so a type registered by an
         * earlier load is still valid. */
        type = g_type_from_name("BvCell");
        if (!type)
            type = g_type_register_static_simple(GTK_TYPE_CELL_RENDERER_TEXT, "BvCell",
                                                 sizeof(BvCellClass), cell_class_init,
                                                 sizeof(BvCell), cell_init, GTypeFlags(0));
    }
    return type;
}

}  // namespace

GtkCellRenderer *bv_cell_new(int mono)
{
    return GTK_CELL_RENDERER(g_object_new(cell_type(), "mono", mono ? TRUE : FALSE, nullptr));
}
