/*
 * plot.cpp - the plotted signals: their slots, the drawing with cairo
 * (overlaid, each on its own scale, or in stacked lanes), the cursor
 * readout, and the export of the visible range as PNG and CSV.
 *
 * Drawing walks each history for the visible window at about two values
 * per pixel (sg_history_walk) and folds what falls into one pixel column
 * into one vertical stroke, so its cost follows the width, not the number
 * of points.
 */
#include "signals.h"

#include <errno.h>
#include <math.h>
#include <stdio.h>
#include <string.h>
#include <unistd.h>

#include <algorithm>

#include "userfile.h"

namespace {

const double palette[SG_MAX_PLOTS][3] = {
    {0.12, 0.47, 0.71}, {1.00, 0.50, 0.05}, {0.17, 0.63, 0.17}, {0.84, 0.15, 0.16},
    {0.58, 0.40, 0.74}, {0.55, 0.34, 0.29}, {0.89, 0.47, 0.76}, {0.50, 0.50, 0.50},
    {0.74, 0.74, 0.13}, {0.09, 0.75, 0.81}, {0.00, 0.00, 0.55}, {0.60, 0.00, 0.00},
    {0.00, 0.40, 0.20}, {1.00, 0.00, 1.00}, {0.40, 0.26, 0.00}, {0.20, 0.20, 0.20},
};

constexpr int MARGIN_L = 8, MARGIN_R = 8, MARGIN_T = 4, MARGIN_B = 20;

struct range_ctx {
    double lo, hi;
    int any;
};

void on_range(void *user, double, double vmin, double vmax)
{
    range_ctx *r = (range_ctx *)user;
    if (!isfinite(vmin) || !isfinite(vmax))
        return;
    if (!r->any || vmin < r->lo)
        r->lo = vmin;
    if (!r->any || vmax > r->hi)
        r->hi = vmax;
    r->any = 1;
}

/* Draws the walk straight into the pixels of an image surface: what falls
 * into one pixel column becomes one vertical span, joined to the previous
 * column by a line. The cost follows the pixels drawn, whatever the
 * number of points. */
struct pixel_ctx {
    uint32_t *px;
    int stride;              /* in pixels */
    int cx0, cx1, cy0, cy1;  /* clip: columns [cx0, cx1), rows [cy0, cy1) */
    uint32_t colour;
    double t0, sx, x0;       /* x = x0 + (t - t0) * sx */
    double vlo, sy, y0;      /* y = y0 - (v - vlo) * sy */
    int have;
    long col;
    double first, last, lo, hi;
    long prev_x, prev_y;
    int have_prev;
};

long y_of(const pixel_ctx *p, double v)
{
    double y = p->y0 - (v - p->vlo) * p->sy;
    return (long)floor(fmax(-1e6, fmin(1e6, y)) + 0.5);
}

void vertical(pixel_ctx *p, long x, long ya, long yb)
{
    if (x < p->cx0 || x >= p->cx1)
        return;
    long lo = std::max<long>(std::min(ya, yb), p->cy0), hi = std::min<long>(std::max(ya, yb), p->cy1 - 1);
    for (long y = lo; y <= hi; y++)
        p->px[y * p->stride + x] = p->colour;
}

/* A line between two pixels, clipped to the columns it crosses. */
void line(pixel_ctx *p, long xa, long ya, long xb, long yb)
{
    if (xb <= xa + 1) {
        vertical(p, xa, ya, ya);
        vertical(p, xb, ya, yb);
        return;
    }
    long from = std::max<long>(xa, p->cx0 - 1), to = std::min<long>(xb, p->cx1);
    double slope = (double)(yb - ya) / (double)(xb - xa);
    long y_prev = (long)floor(ya + slope * (double)(from - xa) + 0.5);
    for (long x = from + 1; x <= to; x++) {
        long y = (long)floor(ya + slope * (double)(x - xa) + 0.5);
        vertical(p, x, y_prev + (y > y_prev ? 1 : y < y_prev ? -1 : 0), y);
        y_prev = y;
    }
}

void flush_column(pixel_ctx *p)
{
    long yf = y_of(p, p->first);
    if (p->have_prev)
        line(p, p->prev_x, p->prev_y, p->col, yf);
    vertical(p, p->col, y_of(p, p->lo), y_of(p, p->hi));
    p->prev_x = p->col;
    p->prev_y = y_of(p, p->last);
    p->have_prev = 1;
}

void on_pixels(void *user, double t, double vmin, double vmax)
{
    pixel_ctx *p = (pixel_ctx *)user;
    if (!isfinite(vmin) || !isfinite(vmax))
        return;
    double x = p->x0 + (t - p->t0) * p->sx;
    long col = (long)floor(fmax(-1e6, fmin(1e6, x)));
    if (p->have && col == p->col) {
        p->lo = fmin(p->lo, vmin);
        p->hi = fmax(p->hi, vmax);
        p->last = vmax;
        return;
    }
    if (p->have)
        flush_column(p);
    p->have = 1;
    p->col = col;
    p->first = vmin;
    p->lo = vmin;
    p->hi = vmax;
    p->last = vmax;
}

const dbc_signal &signal_of(const sg_plot_sig &ps) { return sg.msgs[ps.msg].m->signals[(size_t)ps.sig]; }

/* The legend's range with every digit, as the value under the pointer:
 * a 32-bit count reads 993684290, not 9.93684e+08. */
void fmt_value(char *buf, size_t size, double v) { g_snprintf(buf, size, "%.15g", v); }

}  // namespace

void sg_plot_value_text(const dbc_signal &s, double v, char *buf, size_t size)
{
    /* Every digit a double holds: a 32-bit count reads whole. */
    char vt[32];
    g_snprintf(vt, sizeof vt, "%.15g", v);
    /* The value-table text of the raw value the point stands for, as the
     * table shows it beside the value. */
    const char *label = nullptr;
    if (s.type == DBC_INTEGER && !s.values.empty() && s.factor != 0) {
        double raw = (v - s.offset) / s.factor, whole = nearbyint(raw);
        if (fabs(raw - whole) < 1e-6 && fabs(whole) < 9e18)
            label = dbc_value_label(&s, (int64_t)whole);
    }
    if (label)
        g_snprintf(buf, size, "%s (%s)", label, vt);
    else
        g_strlcpy(buf, vt, size);
}

namespace {

void draw_text(cairo_t *cr, PangoLayout *layout, double x, double y, const char *text,
               const double *rgb)
{
    pango_layout_set_text(layout, text, -1);
    cairo_set_source_rgb(cr, rgb[0], rgb[1], rgb[2]);
    cairo_move_to(cr, x, y);
    pango_cairo_show_layout(cr, layout);
}

int text_width(PangoLayout *layout, const char *text)
{
    int w = 0, h = 0;
    pango_layout_set_text(layout, text, -1);
    pango_layout_get_pixel_size(layout, &w, &h);
    return w;
}

/* Tick spacing: 1, 2 or 5 times a power of ten, about every 100 pixels. */
double tick_step(double span, int width)
{
    double raw = span / fmax(1.0, width / 100.0);
    double p = pow(10.0, floor(log10(raw)));
    return raw <= p ? p : raw <= 2 * p ? 2 * p : raw <= 5 * p ? 5 * p : 10 * p;
}

}  // namespace

double sg_plot_newest(void)
{
    double t = 0;
    for (const sg_plot_sig &ps : sg.plots) {
        sg_point last;
        if (ps.used && sg_history_last(&ps.hist, &last) && last.t > t)
            t = last.t;
    }
    return t;
}

double sg_plot_oldest(void)
{
    double t = -1;
    for (const sg_plot_sig &ps : sg.plots)
        if (ps.used && sg_history_points(&ps.hist)) {
            double f = sg_history_first_t(&ps.hist);
            if (t < 0 || f < t)
                t = f;
        }
    return t < 0 ? 0 : t;
}

int sg_plot_find(int msg, int sig)
{
    for (int i = 0; i < SG_MAX_PLOTS; i++)
        if (sg.plots[i].used && sg.plots[i].msg == msg && sg.plots[i].sig == sig)
            return i;
    return -1;
}

int sg_plot_add(int msg, int sig, const double *rgb)
{
    int slot = sg_plot_find(msg, sig);
    if (slot >= 0)
        return slot;
    for (slot = 0; slot < SG_MAX_PLOTS && sg.plots[slot].used; slot++) {
    }
    if (slot == SG_MAX_PLOTS || msg < 0 || msg >= sg.nmsgs || sig < 0 ||
        sig >= (int)sg.msgs[msg].m->signals.size())
        return -1;
    sg_plot_sig &ps = sg.plots[slot];
    sg_history_init(&ps.hist, sg.cap_points);
    if (sg_history_reserve(&ps.hist) != 0) {
        sg_history_free(&ps.hist);
        return -1;
    }
    ps.used = 1;
    ps.msg = msg;
    ps.sig = sig;
    ps.key = sg_key(sg.msgs[msg].m->id, sg.msgs[msg].m->extended);
    ps.chan = sg.msgs[msg].chan;
    const double *c = rgb ? rgb : palette[slot];
    memcpy(ps.rgb, c, sizeof ps.rgb);
    sg.msgs[msg].plots |= (uint16_t)(1u << slot);
    return slot;
}

void sg_plot_remove(int slot)
{
    sg_plot_sig &ps = sg.plots[slot];
    if (!ps.used)
        return;
    if (ps.msg >= 0 && ps.msg < sg.nmsgs)
        sg.msgs[ps.msg].plots &= (uint16_t)~(1u << slot);
    sg_history_free(&ps.hist);
    memset(&ps, 0, sizeof ps);
}

void sg_plot_remove_all(void)
{
    for (int i = 0; i < SG_MAX_PLOTS; i++)
        sg_plot_remove(i);
}

void sg_plot_rebind(void)
{
    for (int i = 0; i < SG_MAX_PLOTS; i++) {
        sg_plot_sig &ps = sg.plots[i];
        if (!ps.used)
            continue;
        ps.msg = sg_db_find_on(ps.chan, ps.key);
        if (ps.msg < 0) {
            ps.msg = -1;
            sg_plot_remove(i);
            continue;
        }
        sg.msgs[ps.msg].plots |= (uint16_t)(1u << i);
    }
}

/* Chunks are allocated, and at the cap merged, here rather than while
 * frames are decoded; at most two merges per refresh keep it short. */
void sg_plot_reserve(void)
{
    int merges = 2;
    for (sg_plot_sig &ps : sg.plots)
        if (ps.used) {
            sg_history_trim(&ps.hist);
            sg_history_reserve(&ps.hist);
            if (merges > 0 && sg_history_prepare(&ps.hist))
                merges--;
        }
}

void sg_plot_set_cap(uint64_t cap_points)
{
    sg.cap_points = cap_points;
    for (sg_plot_sig &ps : sg.plots)
        if (ps.used) {
            sg_history tmp;
            sg_history_init(&tmp, cap_points);
            ps.hist.max_chunks = tmp.max_chunks;
            sg_history_reserve(&ps.hist);
        }
}

void sg_plot_keep_text(const sg_history *h, int session, char *buf, size_t size)
{
    char num[G_ASCII_DTOSTR_BUF_SIZE];
    if (h->keep_s > 0) {
        if (session)
            g_snprintf(buf, size, "%s s", g_ascii_formatd(num, sizeof num, "%g", h->keep_s));
        else
            g_snprintf(buf, size, "%g s", h->keep_s);
    } else if (h->keep_points > 0) {
        if (session)
            g_snprintf(buf, size, "%llu points", (unsigned long long)h->keep_points);
        else
            g_snprintf(buf, size,
                       g_dngettext(GETTEXT_PACKAGE, "%llu point", "%llu points",
                                   (unsigned long)std::min<uint64_t>(h->keep_points, 1000000)),
                       (unsigned long long)h->keep_points);
    } else {
        g_strlcpy(buf, session ? "" : _("whole"), size);
    }
}

int sg_plot_parse_keep(const char *text, double *keep_s, uint64_t *keep_points, char *err,
                       size_t errsize)
{
    char buf[64];
    if (g_strlcpy(buf, text ? text : "", sizeof buf) >= sizeof buf)
        buf[0] = '?';  /* too long for any setting: not understood */
    g_strstrip(buf);
    if (!buf[0] || g_ascii_strcasecmp(buf, "whole") == 0 ||
        g_utf8_collate(buf, _("whole")) == 0) {
        *keep_s = 0;
        *keep_points = 0;
        return 0;
    }
    g_strdelimit(buf, ",", '.');  /* a decimal comma as typed in German */
    char *end = nullptr;
    double v = g_ascii_strtod(buf, &end);
    const char *unit = end;
    while (*unit == ' ')
        unit++;
    double secs = -1;
    uint64_t points = 0;
    if (end == buf || !isfinite(v)) {
        /* no number: not understood */
    } else if (strcmp(unit, "s") == 0) {
        secs = v;
    } else if (strcmp(unit, "min") == 0) {
        secs = v * 60;
    } else if (strcmp(unit, "h") == 0) {
        secs = v * 3600;
    } else if (g_ascii_strcasecmp(unit, "points") == 0 || g_ascii_strcasecmp(unit, "point") == 0 ||
               g_utf8_collate(unit, C_("history unit", "points")) == 0) {
        points = v >= 0 && v == floor(v) && v <= 1e18 ? (uint64_t)v : 1;
        secs = 0;
    }
    if (secs < 0) {
        g_snprintf(err, errsize,
                   _("History \"%s\" is not understood: give seconds (600 s, 10 min, 1 h), a "
                     "number of points (100000 points) or \"whole\"."),
                   text);
        return -1;
    }
    if ((points && (points < SG_KEEP_POINTS_MIN || points > SG_CAP_MAX)) ||
        (!points && (secs < SG_KEEP_S_MIN || secs > SG_KEEP_S_MAX))) {
        g_snprintf(err, errsize,
                   _("History \"%s\" is out of range: from %.1f s to %.0f s, or from %u to %u "
                     "points."),
                   text, SG_KEEP_S_MIN, SG_KEEP_S_MAX, (unsigned)SG_KEEP_POINTS_MIN,
                   (unsigned)SG_CAP_MAX);
        return -1;
    }
    *keep_s = points ? 0 : secs;
    *keep_points = points;
    return 0;
}

double sg_plot_time_at(const sg_view *view, int width, int x)
{
    int w = width - MARGIN_L - MARGIN_R;
    if (w < 1)
        return view->t_end;
    return view->t_end - view->span + (double)(x - MARGIN_L) / w * view->span;
}

void sg_plot_draw(cairo_t *cr, int width, int height, const sg_view *view)
{
    cairo_set_source_rgb(cr, 1, 1, 1);
    cairo_paint(cr);
    PangoLayout *layout = pango_cairo_create_layout(cr);
    PangoFontDescription *font = pango_font_description_from_string("Sans 8");
    pango_layout_set_font_description(layout, font);
    pango_font_description_free(font);
    const double grey[3] = {0.35, 0.35, 0.35}, black[3] = {0, 0, 0};

    int x0 = MARGIN_L, y0 = MARGIN_T, w = width - MARGIN_L - MARGIN_R,
        h = height - MARGIN_T - MARGIN_B;
    if (w < 10 || h < 10) {
        g_object_unref(layout);
        return;
    }
    double t1 = view->t_end, t0 = t1 - view->span;

    /* Time axis: grid lines and seconds. */
    double step = tick_step(view->span, w);
    cairo_set_line_width(cr, 1.0);
    char text[512];
    for (double t = ceil(t0 / step) * step; t <= t1; t += step) {
        double x = floor(x0 + (t - t0) / view->span * w) + 0.5;
        cairo_set_source_rgb(cr, 0.9, 0.9, 0.9);
        cairo_move_to(cr, x, y0);
        cairo_line_to(cr, x, y0 + h);
        cairo_stroke(cr);
        g_snprintf(text, sizeof text, "%.*f s", step < 1 ? (int)ceil(-log10(step)) : 0, t);
        draw_text(cr, layout, x - text_width(layout, text) / 2.0, y0 + h + 3, text, grey);
    }
    cairo_set_source_rgb(cr, 0.6, 0.6, 0.6);
    cairo_rectangle(cr, x0 + 0.5, y0 + 0.5, w - 1, h - 1);
    cairo_stroke(cr);

    int n = 0;
    for (const sg_plot_sig &ps : sg.plots)
        n += ps.used;
    if (n == 0) {
        const char *hint = _("Tick signals in the table to plot them.");
        draw_text(cr, layout, x0 + (w - text_width(layout, hint)) / 2.0, y0 + h / 2.0 - 6, hint,
                  grey);
        g_object_unref(layout);
        return;
    }

    int lane = 0, legend_y = y0 + 2;
    double cursor_t = view->cursor_x >= 0 ? sg_plot_time_at(view, width, view->cursor_x) : 0;
    for (const sg_plot_sig &ps : sg.plots) {
        if (!ps.used)
            continue;
        double ly0 = y0, lh = h;
        if (view->mode == SG_LANES) {
            lh = (double)h / n;
            ly0 = y0 + lane * lh;
            if (lane > 0) {
                cairo_set_source_rgb(cr, 0.75, 0.75, 0.75);
                cairo_move_to(cr, x0, floor(ly0) + 0.5);
                cairo_line_to(cr, x0 + w, floor(ly0) + 0.5);
                cairo_stroke(cr);
            }
            legend_y = (int)ly0 + 2;
        }
        range_ctx r = {0, 0, 0};
        sg_history_walk(&ps.hist, t0, t1, w, on_range, &r);
        if (!r.any)
            r.lo = r.hi = 0;
        double pad = r.hi > r.lo ? (r.hi - r.lo) * 0.06 : fmax(1.0, fabs(r.lo) * 0.1);
        double vlo = r.lo - pad, vhi = r.hi + pad;

        cairo_surface_t *target = cairo_get_target(cr);
        if (cairo_surface_get_type(target) == CAIRO_SURFACE_TYPE_IMAGE &&
            cairo_image_surface_get_format(target) != CAIRO_FORMAT_A8) {
            cairo_surface_flush(target);
            pixel_ctx p;
            memset(&p, 0, sizeof p);
            p.px = (uint32_t *)cairo_image_surface_get_data(target);
            p.stride = cairo_image_surface_get_stride(target) / 4;
            p.cx0 = x0 + 1;
            p.cx1 = std::min(x0 + w - 1, cairo_image_surface_get_width(target));
            p.cy0 = (int)ceil(ly0) + 1;
            p.cy1 = std::min((int)floor(ly0 + lh) - 1, cairo_image_surface_get_height(target));
            p.colour = 0xFF000000u | ((uint32_t)(ps.rgb[0] * 255 + 0.5) << 16) |
                       ((uint32_t)(ps.rgb[1] * 255 + 0.5) << 8) | (uint32_t)(ps.rgb[2] * 255 + 0.5);
            p.t0 = t0;
            p.sx = w / view->span;
            p.x0 = x0;
            p.vlo = vlo;
            p.sy = (lh - 4) / (vhi - vlo);
            p.y0 = ly0 + lh - 2;
            sg_history_walk(&ps.hist, t0, t1, w, on_pixels, &p);
            if (p.have)
                flush_column(&p);
            cairo_surface_mark_dirty(target);
        }
        /* Legend: name, the range shown, and the value under the cursor. */
        const dbc_signal &s = signal_of(ps);
        char lo[32], hi[32], at[160] = "";
        fmt_value(lo, sizeof lo, r.lo);
        fmt_value(hi, sizeof hi, r.hi);
        double v;
        if (view->cursor_x >= 0 && sg_history_at(&ps.hist, cursor_t, &v)) {
            char vt[128];
            sg_plot_value_text(s, v, vt, sizeof vt);
            g_snprintf(at, sizeof at, "   = %s", vt);
        }
        char mname[160];
        sg_msg_name(sg.msgs[ps.msg], mname, sizeof mname);
        g_snprintf(text, sizeof text, "%s.%s  [%s .. %s] %s%s", mname, s.name.c_str(), lo, hi,
                   s.unit.c_str(), at);
        cairo_set_source_rgb(cr, 1, 1, 1);
        cairo_rectangle(cr, x0 + 4, legend_y, text_width(layout, text) + 18, 13);
        cairo_fill(cr);
        cairo_set_source_rgb(cr, ps.rgb[0], ps.rgb[1], ps.rgb[2]);
        cairo_rectangle(cr, x0 + 6, legend_y + 3, 10, 7);
        cairo_fill(cr);
        draw_text(cr, layout, x0 + 20, legend_y, text, black);
        legend_y += 13;
        lane++;
    }

    if (view->cursor_x >= x0 && view->cursor_x < x0 + w) {
        double x = view->cursor_x + 0.5;
        cairo_set_source_rgba(cr, 0, 0, 0, 0.6);
        cairo_move_to(cr, x, y0);
        cairo_line_to(cr, x, y0 + h);
        cairo_stroke(cr);
        g_snprintf(text, sizeof text, "%.6f s", cursor_t);
        int tw = text_width(layout, text);
        double tx = fmin(x + 4, x0 + w - tw - 2);
        cairo_set_source_rgb(cr, 1, 1, 0.85);
        cairo_rectangle(cr, tx - 2, y0 + h - 15, tw + 4, 13);
        cairo_fill(cr);
        draw_text(cr, layout, tx, y0 + h - 15, text, black);
    }
    g_object_unref(layout);
}

namespace {

struct png_out {
    int fd;
    int err;
};

cairo_status_t png_write(void *closure, const unsigned char *data, unsigned int length)
{
    png_out *o = (png_out *)closure;
    while (length > 0) {
        ssize_t n = write(o->fd, data, length);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0) {
            o->err = n < 0 ? errno : EIO;
            return CAIRO_STATUS_WRITE_ERROR;
        }
        data += n;
        length -= (unsigned)n;
    }
    return CAIRO_STATUS_SUCCESS;
}

/* The export's file, through the safe opener (never a FIFO or device). */
/* The export's name in the file-name encoding (the dialog gives UTF-8);
 * g_free it. */
char *export_name(const char *path)
{
    char *local = g_filename_from_utf8(path, -1, nullptr, nullptr, nullptr);
    return local ? local : g_strdup(path);
}

}  // namespace

int sg_plot_export_png(const char *path, const sg_view *view, int width, int height)
{
    png_out out = {-1, 0};
    char *local = export_name(path);
    out.fd = uf_open_write(local, UF_REPLACE, &out.err);
    g_free(local);
    if (out.fd < 0)
        return out.err;
    cairo_surface_t *surface = cairo_image_surface_create(CAIRO_FORMAT_RGB24, width, height);
    cairo_t *cr = cairo_create(surface);
    sg_plot_draw(cr, width, height, view);
    cairo_destroy(cr);
    cairo_status_t st = cairo_surface_write_to_png_stream(surface, png_write, &out);
    cairo_surface_destroy(surface);
    if (close(out.fd) != 0 && !out.err)
        out.err = errno;
    if (st != CAIRO_STATUS_SUCCESS && !out.err)
        out.err = EIO;
    return out.err;
}

int sg_plot_export_csv(const char *path, const sg_view *view, int)
{
    int err = 0;
    char *local = export_name(path);
    FILE *f = uf_fopen_write(local, UF_REPLACE, &err);
    g_free(local);
    if (!f)
        return err;
    double t1 = view->t_end, t0 = t1 - view->span;
    fprintf(f, "time_s,signal,value,unit\n");
    for (const sg_plot_sig &ps : sg.plots) {
        if (!ps.used)
            continue;
        const dbc_signal &s = signal_of(ps);
        char mname[160];
        sg_msg_name(sg.msgs[ps.msg], mname, sizeof mname);
        for (uint32_t ci = 0; ci < ps.hist.nchunks; ci++) {
            const sg_chunk *c = ps.hist.chunks[ci];
            for (uint32_t k = 0; k < c->n; k++) {
                const sg_point &pt = c->pts[k];
                if (pt.t < t0 || pt.t > t1)
                    continue;
                char t[40], v[40];
                g_ascii_formatd(t, sizeof t, "%.6f", pt.t);
                g_ascii_formatd(v, sizeof v, "%.10g", pt.v);
                fprintf(f, "%s,%s.%s,%s,%s\n", t, mname, s.name.c_str(), v, s.unit.c_str());
            }
        }
    }
    err = ferror(f) ? (errno ? errno : EIO) : 0;
    if (fclose(f) != 0 && !err)
        err = errno ? errno : EIO;
    return err;
}
