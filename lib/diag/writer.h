/*
 * writer.h - the text builder of lib/diag's descriptions (internal).
 */
#ifndef DG_WRITER_H
#define DG_WRITER_H

#include <stdarg.h>
#include <stdint.h>
#include <stdio.h>

namespace dgw {

/* Builds a description: fields after the head are separated by ", " (the
 * first by ": ") in a summary and by line feeds in details. */
struct writer {
    char *out;
    size_t size, n;
    int detail;
    int fields;

    void vadd(const char *fmt, va_list ap)
    {
        if (n + 1 >= size)
            return;
        const int w = vsnprintf(out + n, size - n, fmt, ap);
        if (w < 0)
            return;
        n = (size_t)w < size - n ? n + (size_t)w : size - 1;
    }
    void add(const char *fmt, ...) __attribute__((format(printf, 2, 3)))
    {
        va_list ap;
        va_start(ap, fmt);
        vadd(fmt, ap);
        va_end(ap);
    }
    void field(const char *fmt, ...) __attribute__((format(printf, 2, 3)))
    {
        if (fields)
            add("%s", detail ? "\n" : fields == 1 ? ": " : ", ");
        fields++;
        va_list ap;
        va_start(ap, fmt);
        vadd(fmt, ap);
        va_end(ap);
    }
    /* Hex bytes, cut with "..." in a summary beyond 16 bytes. */
    void hex(const uint8_t *d, uint32_t len)
    {
        const uint32_t show = !detail && len > 16 ? 16 : len;
        for (uint32_t i = 0; i < show; i++)
            add(i ? " %02X" : "%02X", d[i]);
        if (show < len)
            add(" ...");
    }
    void hex_field(const char *label, const uint8_t *d, uint32_t len)
    {
        field("%s", label);
        add("%s", *label ? " " : "");
        hex(d, len);
    }
};

}  // namespace dgw

#endif /* DG_WRITER_H */
