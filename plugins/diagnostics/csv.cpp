/*
 * csv.cpp - the rows the list shows, written as CSV: one line per row
 * with its column texts and the request and response bytes in hex.
 */
#include "diagnostics.h"

#include <errno.h>
#include <stdio.h>
#include <string.h>
#include <unistd.h>

#include "userfile.h"

namespace {

/* A field, quoted when it holds a separator, a quote or a line break. */
void field(GString *line, const char *text, bool last = false)
{
    if (strpbrk(text, ",\"\r\n")) {
        g_string_append_c(line, '"');
        for (const char *p = text; *p; p++) {
            if (*p == '"')
                g_string_append_c(line, '"');
            g_string_append_c(line, *p);
        }
        g_string_append_c(line, '"');
    } else {
        g_string_append(line, text);
    }
    g_string_append_c(line, last ? '\n' : ',');
}

void hex_field(GString *line, const dgp_store *s, uint64_t off, uint32_t len, bool last)
{
    const uint8_t *b = dgp_store_bytes(s, off, len);
    GString *hex = g_string_sized_new(len * 3);
    for (uint32_t i = 0; b && i < len; i++)
        g_string_append_printf(hex, i ? " %02X" : "%02X", b[i]);
    field(line, hex->str, last);
    g_string_free(hex, TRUE);
}

}  // namespace

/* Returns 0 or the failure's code (an errno value or UF_E_*). */
int dgp_export_csv(const char *path, dgp_store *s, DgpList *list)
{
    int err = 0;
    FILE *f = uf_fopen_write(path, UF_REPLACE, &err);
    if (!f)
        return err;
    fputs("time_s,addresses,protocol,service,length,status,summary,request,response\n", f);
    GString *line = g_string_new("");
    char text[1024];
    const uint32_t rows = dgp_list_rows(list);
    for (uint32_t pos = 0; pos < rows; pos++) {
        g_string_truncate(line, 0);
        g_mutex_lock(&s->lock);
        const dgp_row *r = dgp_store_row(s, dgp_list_seq(list, pos));
        if (r) {
            for (int c = 0; c < DGP_N_COLS; c++) {
                dgp_row_text(s, r, c, text, sizeof text);
                field(line, text);
            }
            hex_field(line, s, r->req_off, r->req_len, false);
            hex_field(line, s, r->resp_off, r->resp_len, true);
        }
        g_mutex_unlock(&s->lock);
        fputs(line->str, f);
    }
    g_string_free(line, TRUE);
    const int bad = ferror(f) ? errno : 0;
    if (fclose(f) != 0 && !bad)
        return errno ? errno : EIO;
    return bad;
}
