/*
 * The configuration-file reader: one line per cfg_next_line call, read
 * into the reader's fixed line buffer, sorted into blank, comment,
 * section header or key line and handed to the client's handlers.
 */
#include "session/cfg.h"

#include <ctype.h>
#include <stdarg.h>
#include <stdlib.h>
#include <string.h>
#include <errno.h>
#include <unistd.h>

#include "userfile.h"

/* Opens path for reading when it is a regular file (userfile.h: never
 * waiting for a FIFO's writer). Returns the stream, or null with *err set
 * to an errno value or a UF_E_* code. */
static FILE *open_regular(const char *path, int *err)
{
    int fd = uf_open_read(path, err);
    if (fd < 0)
        return nullptr;
    FILE *f = fdopen(fd, "r");
    if (!f) {
        *err = errno;
        close(fd);
    }
    return f;
}

int cfg_open(const char *path, void *user_data, cfg_section_fn on_section,
             cfg_section_end_fn on_section_end, cfg_key_fn on_key, cfg_reader **out,
             char *why, size_t why_size)
{
    *out = nullptr;
    if (why && why_size)
        why[0] = '\0';
    if (!path)
        return CFG_E_OPEN;
    cfg_reader *rd = (cfg_reader *)calloc(1, sizeof(cfg_reader));
    if (!rd)
        return CFG_E_NOMEM;
    rd->reason = (char *)calloc(1, CFG_REASON_MAX);
    rd->message = (char *)calloc(1, CFG_MESSAGE_MAX);
    if (!rd->reason || !rd->message) {
        free(rd->reason);
        free(rd->message);
        free(rd);
        return CFG_E_NOMEM;
    }
    int err = 0;
    rd->file = open_regular(path, &err);
    if (!rd->file) {
        free(rd->reason);
        free(rd->message);
        free(rd);
        if (err < UF_E_FOLDER)
            return CFG_E_OPEN;
        uf_describe(why, why_size, path, err);
        return CFG_E_IO;
    }
    cfg_tokens_init(&rd->sections);
    cfg_tokens_init(&rd->keys);
    rd->line_no = 0;
    rd->on_section = on_section;
    rd->on_section_end = on_section_end;
    rd->on_key = on_key;
    rd->user_data = user_data;
    *out = rd;
    return 0;
}

void cfg_close(cfg_reader *rd)
{
    if (!rd)
        return;
    if (rd->file)
        fclose(rd->file);
    free(rd->reason);
    free(rd->message);
    cfg_tokens_free(&rd->sections);
    cfg_tokens_free(&rd->keys);
    free(rd);
}

char *cfg_set_reason(cfg_reader *rd, const char *format, ...)
{
    va_list ap;
    va_start(ap, format);
    vsnprintf(rd->reason, CFG_REASON_MAX, format, ap);
    va_end(ap);
    return rd->reason;
}

static void build_message(cfg_reader *rd, int status)
{
    const char *fmt;
    switch (status) {
    case CFG_E_SYNTAX:             fmt = "syntax error at line %lu: %s"; break;
    case CFG_E_UNKNOWN_SECTION:    fmt = "unknown section at line %lu: %s"; break;
    case CFG_E_UNKNOWN_KEY:        fmt = "unknown key at line %lu: %s"; break;
    case CFG_E_INCOMPLETE_SECTION: fmt = "incomplete section at line %lu: %s"; break;
    case CFG_E_SECTION_COMPLETE:   fmt = "section complete function error at line %lu: %s"; break;
    default:                       fmt = "unknown error at line %lu: %s"; break;
    }
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wformat-nonliteral"
    snprintf(rd->message, CFG_MESSAGE_MAX, fmt, (unsigned long)rd->line_no, rd->reason);
#pragma GCC diagnostic pop
}

static int fail(cfg_reader *rd, int code, const char *reason)
{
    cfg_set_reason(rd, "%s", reason);
    return code;
}

/* A header: the name between '[' and the first ']', with spaces
 * (character 32 only) around it trimmed. */
static int parse_section(cfg_reader *rd, char *p)
{
    char *first = nullptr, *last = nullptr;
    char *q = p + 1;
    for (; *q && *q != ']'; ++q) {
        if (*q != ' ') {
            if (!first)
                first = q;
            last = q;
        }
    }
    if (*q != ']')
        return fail(rd, CFG_E_SYNTAX, "no terminating ']' in section name");
    char *t = q + 1;
    while (*t && isspace((unsigned char)*t))
        ++t;
    if (*t && *t != '#')
        return fail(rd, CFG_E_SYNTAX, "trash after terminating ']' in section name");
    if (!first)
        return fail(rd, CFG_E_SYNTAX, "empty section name");
    last[1] = '\0';
    int st = rd->on_section_end ? rd->on_section_end(rd, rd->user_data) : 0;
    if (st < 0)
        return st;
    return rd->on_section ? rd->on_section(rd, rd->user_data, first, (size_t)(last - first + 1))
                          : 0;
}

/* A key line: the key text runs to the first '=' (blanks before the '='
 * stay in the text, the length counts only up to the last non-blank);
 * the value starts after the '=' and any white space, and loses one
 * final line feed. */
static int parse_key(cfg_reader *rd, char *p)
{
    char *first = nullptr, *last = nullptr;
    char *q = p;
    for (; *q && *q != '='; ++q) {
        if (*q != ' ') {
            if (!first)
                first = q;
            last = q;
        }
    }
    if (*q != '=')
        return fail(rd, CFG_E_SYNTAX, "no '=' symbol in key declaration");
    if (!first)
        return fail(rd, CFG_E_SYNTAX, "empty key name");
    *q = '\0';
    char *v = q + 1;
    while (*v && isspace((unsigned char)*v))
        ++v;
    if (*v) {
        size_t n = strlen(v);
        if (v[n - 1] == '\n')
            v[n - 1] = '\0';
    }
    return rd->on_key ? rd->on_key(rd, rd->user_data, first, (size_t)(last - first + 1), v) : 0;
}

int cfg_next_line(cfg_reader *rd, int *status)
{
    *status = 0;
    if (!fgets(rd->line, CFG_LINE_MAX, rd->file)) {
        /* End of the file, or a read error, which ends reading the same way. */
        int st = rd->on_section_end ? rd->on_section_end(rd, rd->user_data) : 0;
        *status = st;
        if (st < 0)
            build_message(rd, st);
        return 0;
    }
    rd->line_no++;

    /* A line ending in carriage return and line feed reads as one ending
     * in a line feed alone. */
    size_t n = strlen(rd->line);
    if (n >= 2 && rd->line[n - 2] == '\r' && rd->line[n - 1] == '\n') {
        rd->line[n - 2] = '\n';
        rd->line[n - 1] = '\0';
    }

    char *p = rd->line;
    while (*p && isspace((unsigned char)*p))
        ++p;
    if (*p == '\0' || *p == '#')
        return 1;

    int st = (*p == '[') ? parse_section(rd, p) : parse_key(rd, p);
    *status = st;
    if (st >= 0)
        return 1;
    build_message(rd, st);
    return 0;
}
