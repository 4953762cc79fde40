/*
 * cell.cpp - the cell renderer of the trace and the per-identifier view.
 *
 * A row of a view that follows a saturated bus changes four times a
 * second, every cell of it. GTK's text cell builds a new Pango layout,
 * attribute list and font description for each cell it draws and measures
 * it twice; this one keeps one layout per column, clipped to the cell, and
 * lays out a text only when it differs from the one before (a column of
 * "Rx" is laid out once). The monospace columns, whose texts change from
 * row to row (times, data), skip the layout altogether for printable
 * ASCII: the glyphs and advances of those characters are taken once from
 * the font, and a cell's text is drawn from them, up to what its width
 * shows (an ellipsis marks the cut, as the layout would). A text that is
 * laid out keeps its glyphs, so drawing it again needs no layout either. Its height comes
 * from the font's metrics, never from laying out a row, so the views'
 * fixed-height mode costs nothing per row.
 *
 * It is a text cell for everything but drawing and measuring: the text is
 * the text cell's own, so that the accessibility layer reads every cell of
 * the views as the text it shows (screen readers, the tests that drive
 * the program from outside).
 */
#include "busview.h"

#include <pango/pangocairo.h>
#include <string.h>

namespace {

/* Longest text drawn from glyphs: a status line with every field. */
constexpr size_t CELL_TEXT = 256;

/* The printable ASCII characters, then the ellipsis that marks a cut. */
constexpr int GLYPHS = 0x7F - 0x20 + 1;
constexpr int ELLIPSIS = GLYPHS - 1;

/* Glyphs of the printable ASCII characters and the ellipsis in one font,
 * read from a layout of them all; usable only when that layout put each
 * character in one glyph of one font, without offsets. */
struct glyph_table {
    cairo_scaled_font_t *font;    /* null: draw through the layout */
    unsigned long glyph[GLYPHS];
    double advance[GLYPHS];       /* pixels */
    double baseline;              /* pixels below the line's top */
};

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
    char laid_out[CELL_TEXT];     /* the layout's text, when layout_ok */
    int laid_width;               /* and its width */
    gboolean layout_ok;
    /* The layout's glyphs, from its origin, when it has one line of one
     * font (laid_font set): drawn again without the layout. */
    cairo_scaled_font_t *laid_font;
    int laid_n;
    cairo_glyph_t laid_run[CELL_TEXT];
    gboolean use_glyphs;          /* draw from the table when it is there */
    glyph_table glyphs;           /* mono cells */
    cairo_glyph_t run[CELL_TEXT]; /* a text being drawn from them */
};

struct BvCellClass {
    GtkCellRendererTextClass parent_class;
};

enum { PROP_0, PROP_BACKGROUND, PROP_MONO, PROP_GLYPHS };

gpointer parent_class;

BvCell *as_cell(gpointer p)
{
    return reinterpret_cast<BvCell *>(p);
}

void drop_glyphs(BvCell *c)
{
    if (c->glyphs.font)
        cairo_scaled_font_destroy(c->glyphs.font);
    c->glyphs.font = nullptr;
}

void drop_laid_run(BvCell *c)
{
    if (c->laid_font)
        cairo_scaled_font_destroy(c->laid_font);
    c->laid_font = nullptr;
}

void drop_layout(BvCell *c)
{
    if (c->layout)
        g_object_unref(c->layout);
    c->layout = nullptr;
    c->layout_ok = FALSE;
    drop_laid_run(c);
    drop_glyphs(c);
}

/* Keeps the glyphs of a layout of one line in one font, placed as Pango
 * places them, ellipsis included. */
void keep_laid_run(BvCell *c, PangoLayout *layout)
{
    drop_laid_run(c);
    if (pango_layout_get_line_count(layout) != 1)
        return;
    PangoLayoutLine *line = pango_layout_get_line_readonly(layout, 0);
    if (!line || !line->runs || line->runs->next)
        return;
    const PangoGlyphItem *run = static_cast<const PangoGlyphItem *>(line->runs->data);
    const PangoGlyphString *gs = run->glyphs;
    if (gs->num_glyphs > (int)CELL_TEXT || !PANGO_IS_CAIRO_FONT(run->item->analysis.font))
        return;
    PangoLayoutIter *iter = pango_layout_get_iter(layout);
    PangoRectangle logical;
    pango_layout_iter_get_line_extents(iter, nullptr, &logical);
    int baseline = pango_layout_iter_get_baseline(iter);
    pango_layout_iter_free(iter);
    int x = logical.x, n = 0;
    for (int i = 0; i < gs->num_glyphs; i++) {
        const PangoGlyphInfo &g = gs->glyphs[i];
        if (g.glyph & PANGO_GLYPH_UNKNOWN_FLAG)
            return;               /* drawn as a box with its code: the layout's to do */
        if (g.glyph != PANGO_GLYPH_EMPTY) {
            c->laid_run[n].index = g.glyph;
            c->laid_run[n].x = (double)(x + g.geometry.x_offset) / PANGO_SCALE;
            c->laid_run[n].y = (double)(baseline + g.geometry.y_offset) / PANGO_SCALE;
            n++;
        }
        x += g.geometry.width;
    }
    cairo_scaled_font_t *font =
        pango_cairo_font_get_scaled_font(PANGO_CAIRO_FONT(run->item->analysis.font));
    if (!font || cairo_scaled_font_status(font) != CAIRO_STATUS_SUCCESS)
        return;
    c->laid_font = cairo_scaled_font_reference(font);
    c->laid_n = n;
}

/* Reads the glyph table from a layout of every character it holds (the
 * layout's text is changed). */
void read_glyphs(BvCell *c, PangoLayout *layout)
{
    char text[GLYPHS + 3];
    for (int i = 0; i < ELLIPSIS; i++)
        text[i] = (char)(0x20 + i);
    memcpy(text + ELLIPSIS, "\xE2\x80\xA6", 4);   /* U+2026, NUL included */
    pango_layout_set_width(layout, -1);
    pango_layout_set_text(layout, text, -1);
    c->layout_ok = FALSE;
    PangoLayoutLine *line = pango_layout_get_line_readonly(layout, 0);
    if (pango_layout_get_line_count(layout) != 1 || !line || !line->runs || line->runs->next)
        return;
    const PangoGlyphItem *run = static_cast<const PangoGlyphItem *>(line->runs->data);
    const PangoGlyphString *gs = run->glyphs;
    if (gs->num_glyphs != GLYPHS || !PANGO_IS_CAIRO_FONT(run->item->analysis.font))
        return;
    for (int i = 0; i < GLYPHS; i++) {
        const PangoGlyphInfo &g = gs->glyphs[i];
        if (gs->log_clusters[i] != i || (g.glyph & PANGO_GLYPH_UNKNOWN_FLAG) ||
            g.geometry.x_offset || g.geometry.y_offset || g.geometry.width <= 0)
            return;
        c->glyphs.glyph[i] = g.glyph;
        c->glyphs.advance[i] = (double)g.geometry.width / PANGO_SCALE;
    }
    cairo_scaled_font_t *font =
        pango_cairo_font_get_scaled_font(PANGO_CAIRO_FONT(run->item->analysis.font));
    if (!font || cairo_scaled_font_status(font) != CAIRO_STATUS_SUCCESS)
        return;
    c->glyphs.baseline = (double)pango_layout_get_baseline(layout) / PANGO_SCALE;
    c->glyphs.font = cairo_scaled_font_reference(font);
}

/* A layout for the widget's current style; rebuilt when the style or the
 * widget changes (a theme or font change gives the widget a new style). */
PangoLayout *layout_for(BvCell *c, GtkWidget *widget)
{
    GtkStyle *style = gtk_widget_get_style(widget);
    if (c->layout && c->layout_widget == widget && c->layout_style == style)
        return c->layout;
    drop_layout(c);
    c->layout = gtk_widget_create_pango_layout(widget, nullptr);
    c->layout_widget = widget;
    c->layout_style = style;
    PangoFontDescription *fd = pango_font_description_copy(style->font_desc);
    if (c->mono)
        pango_font_description_set_family(fd, "Monospace");
    pango_layout_set_font_description(c->layout, fd);
    if (c->mono)
        read_glyphs(c, c->layout);
    pango_layout_set_ellipsize(c->layout, PANGO_ELLIPSIZE_END);
    PangoFontMetrics *m = pango_context_get_metrics(pango_layout_get_context(c->layout), fd,
                                                    nullptr);
    c->height = PANGO_PIXELS(pango_font_metrics_get_ascent(m) + pango_font_metrics_get_descent(m));
    pango_font_metrics_unref(m);
    pango_font_description_free(fd);
    return c->layout;
}

/* The text cell's text, as its "text" property sets it (the cells never
 * take markup), without the property's notification; kept when it is the
 * same. */
void set_text(BvCell *c, const char *s)
{
    GtkCellRendererText *t = GTK_CELL_RENDERER_TEXT(c);
    if (s && t->text && strcmp(s, t->text) == 0)
        return;
    g_free(t->text);
    t->text = g_strdup(s);
}

void set_background(BvCell *c, const char *s)
{
    if (!s)
        s = "";
    if (strcmp(s, c->background) != 0) {
        g_strlcpy(c->background, s, sizeof c->background);
        c->bg_ok = s[0] && gdk_color_parse(s, &c->bg);
    }
}

void cell_set_property(GObject *obj, guint id, const GValue *value, GParamSpec *pspec)
{
    BvCell *c = as_cell(obj);
    switch (id) {
    case PROP_BACKGROUND:
        set_background(c, g_value_get_string(value));
        break;
    case PROP_MONO:
        c->mono = g_value_get_boolean(value);
        drop_layout(c);
        break;
    case PROP_GLYPHS:
        c->use_glyphs = g_value_get_boolean(value);
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
    case PROP_GLYPHS: g_value_set_boolean(value, c->use_glyphs); break;
    default: G_OBJECT_WARN_INVALID_PROPERTY_ID(obj, id, pspec);
    }
}

void cell_finalize(GObject *obj)
{
    drop_layout(as_cell(obj));
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

/* Whether the text is printable ASCII alone, all of it in the table, and
 * no longer than the glyphs a cell draws. */
bool plain_ascii(const char *text)
{
    const unsigned char *p = (const unsigned char *)text;
    for (; *p; p++)
        if (*p < 0x20 || *p > 0x7E)
            return false;
    return p - (const unsigned char *)text < (ptrdiff_t)CELL_TEXT;
}

/* Draws the text from the glyph table at x on the line whose top is y,
 * in what width pixels show: when it is wider, as many characters as fit
 * with an ellipsis after them. */
void draw_glyphs(BvCell *c, const char *text, cairo_t *cr, const GdkColor *colour, double x,
                 double y, double width)
{
    const glyph_table &t = c->glyphs;
    double baseline = y + t.baseline, pos = x, end = x + width;
    int n = 0;
    const unsigned char *p = (const unsigned char *)text;
    for (; *p && n < (int)CELL_TEXT - 1; p++, n++) {
        int g = *p - 0x20;
        c->run[n].index = t.glyph[g];
        c->run[n].x = pos;
        c->run[n].y = baseline;
        pos += t.advance[g];
    }
    if (pos > end) {
        /* Back to the characters that leave room for the ellipsis. */
        double room = end - t.advance[ELLIPSIS];
        while (n > 0 && c->run[n - 1].x + t.advance[text[n - 1] - 0x20] > room)
            n--;
        c->run[n].index = t.glyph[ELLIPSIS];
        c->run[n].x = n > 0 ? c->run[n - 1].x + t.advance[text[n - 1] - 0x20] : x;
        c->run[n].y = baseline;
        n++;
    }
    gdk_cairo_set_source_color(cr, colour);
    cairo_set_scaled_font(cr, t.font);
    cairo_show_glyphs(cr, c->run, n);
}

void cell_render(GtkCellRenderer *cell, GdkDrawable *window, GtkWidget *widget,
                 GdkRectangle *background_area, GdkRectangle *cell_area, GdkRectangle *expose_area,
                 GtkCellRendererState flags)
{
    BvCell *c = as_cell(cell);
    PangoLayout *layout = layout_for(c, widget);
    bool selected = (flags & GTK_CELL_RENDERER_SELECTED) != 0;
    GtkStateType state = GTK_STATE_NORMAL;
    if (!gtk_widget_is_sensitive(widget))
        state = GTK_STATE_INSENSITIVE;
    else if (selected)
        state = gtk_widget_has_focus(widget) ? GTK_STATE_SELECTED : GTK_STATE_ACTIVE;
    const char *shown = GTK_CELL_RENDERER_TEXT(cell)->text;
    GdkRectangle clip;
    bool text = shown && shown[0] && gdk_rectangle_intersect(cell_area, expose_area, &clip);
    int x = cell_area->x + (gint)cell->xpad;
    int y = cell_area->y + (cell_area->height - c->height) / 2;
    /* Text wider than its column ends in an ellipsis at the column's edge,
     * so a cut never goes unseen. */
    int width = cell_area->width - 2 * (gint)cell->xpad;
    /* An insensitive text is the theme's to draw (some emboss it). */
    bool glyphs = text && c->use_glyphs && state != GTK_STATE_INSENSITIVE;
    bool ascii = glyphs && c->glyphs.font && plain_ascii(shown);
    if (text && !ascii &&
        (!c->layout_ok || width * PANGO_SCALE != c->laid_width || strcmp(shown, c->laid_out) != 0)) {
        pango_layout_set_text(layout, shown, -1);
        pango_layout_set_width(layout, width * PANGO_SCALE);
        g_strlcpy(c->laid_out, shown, sizeof c->laid_out);
        c->laid_width = width * PANGO_SCALE;
        c->layout_ok = TRUE;
        keep_laid_run(c, layout);
    }
    bool laid = glyphs && !ascii && c->laid_font;
    bool fill = c->bg_ok && !selected;
    if (fill || ascii || laid) {
        /* The context of the expose the rows are drawn in, kept as it was
         * found, or one of the cell's own. */
        cairo_t *cr = bv_paint_cairo(window);
        bool borrowed = cr != nullptr;
        if (borrowed)
            cairo_save(cr);
        else
            cr = gdk_cairo_create(window);
        if (fill) {
            gdk_cairo_rectangle(cr, background_area);
            gdk_cairo_set_source_color(cr, &c->bg);
            cairo_fill(cr);
        }
        if (ascii || laid) {
            gdk_cairo_rectangle(cr, &clip);
            cairo_clip(cr);
            const GdkColor *colour = &gtk_widget_get_style(widget)->text[state];
            if (ascii) {
                draw_glyphs(c, shown, cr, colour, x, y, width);
            } else {
                gdk_cairo_set_source_color(cr, colour);
                cairo_set_scaled_font(cr, c->laid_font);
                cairo_translate(cr, x, y);
                cairo_show_glyphs(cr, c->laid_run, c->laid_n);
            }
        }
        if (borrowed)
            cairo_restore(cr);
        else
            cairo_destroy(cr);
    }
    if (text && !ascii && !laid)
        gtk_paint_layout(gtk_widget_get_style(widget), window, state, TRUE, &clip, widget,
                         "cellrenderertext", x, y, layout);
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
    /* Off, every text is drawn through its layout (what the glyphs must match). */
    g_object_class_install_property(
        oc, PROP_GLYPHS,
        g_param_spec_boolean("glyphs", "Glyphs", "Text drawn from glyphs kept, not through a layout",
                             TRUE, G_PARAM_READWRITE));
}

void cell_init(GTypeInstance *instance, gpointer)
{
    BvCell *c = as_cell(instance);
    GtkCellRenderer *cell = GTK_CELL_RENDERER(instance);
    cell->xpad = 2;
    cell->ypad = 2;
    c->background[0] = '\0';
    c->use_glyphs = TRUE;
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

void bv_cell_set(GtkCellRenderer *cell, const char *text, const char *background)
{
    BvCell *c = as_cell(cell);
    set_text(c, text);
    set_background(c, background);
}

GtkCellRenderer *bv_cell_new(int mono)
{
    return GTK_CELL_RENDERER(g_object_new(cell_type(), "mono", mono ? TRUE : FALSE, nullptr));
}
