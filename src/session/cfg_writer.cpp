/*
 * The configuration-file writer (section headers and key lines) and the
 * number reader for key values. nbpg_save_key and nbpg_keyval_get_int are
 * exported to plug-ins, so that they write and read their own keys in the
 * host's syntax.
 */
#include "session/cfg.h"

#include <ctype.h>
#include <errno.h>
#include <string.h>

#include "nimbrel/nimbrel.h"

static_assert(CFG_E_IO == NB_CFG_E_IO && CFG_E_BADNAME == NB_CFG_E_BADNAME,
              "codes shared with plug-ins");

static bool has_bad_name_char(const char *s)
{
    return strpbrk(s, "=[]") != nullptr;
}

static bool has_line_break(const char *s)
{
    return strpbrk(s, "\r\n") != nullptr;
}

/* The system's reason of the first line write that failed since the last
 * cfg_take_write_errno. */
static int first_write_errno = 0;

static int write_failed(void)
{
    if (first_write_errno == 0)
        first_write_errno = errno ? errno : EIO;
    return CFG_E_IO;
}

int cfg_take_write_errno(void)
{
    int e = first_write_errno;
    first_write_errno = 0;
    return e;
}

/* Writes buf and flushes. A flush that fails loses the line as surely as
 * a failed write, so it is reported the same way. */
static int put_line(FILE *file, const char *buf)
{
    size_t n = strlen(buf);
    errno = 0;
    if (fwrite(buf, 1, n, file) != n)
        return write_failed();
    if (fflush(file) != 0)
        return write_failed();
    return 0;
}

int cfg_write_section(FILE *file, const char *name)
{
    if (!name || has_bad_name_char(name) || has_line_break(name))
        return CFG_E_BADNAME;
    if (!file)
        return CFG_E_IO;
    char buf[CFG_LINE_MAX];
    int n = snprintf(buf, sizeof buf, "\n[%s]\n", name);
    if (n < 0)
        return CFG_E_IO;
    return put_line(file, buf);
}

/* The longest key that still leaves room for the '=' in a line of 1022
 * characters and its line feed; a longer one would be cut before its
 * '=' and make the file unreadable. */
#define CFG_KEY_MAX (CFG_LINE_MAX - 3)

/* The key as the reader will see it: without its leading white space. */
static const char *read_back_key(const char *key)
{
    return key + strspn(key, " \t\v\f");
}

int cfg_write_key(FILE *file, const char *key, const char *value)
{
    if (!key || has_bad_name_char(key))
        return CFG_E_BADNAME;
    /* A line break in the key or value would inject lines into the file,
     * and an empty or blank key would be read back as "empty key name";
     * either makes the next load of the whole session fail. A key that
     * begins with '#' would be read back as a comment and lost. */
    if (!value || has_line_break(key) || has_line_break(value))
        return CFG_E_BADNAME;
    const char *seen = read_back_key(key);
    if (*seen == '\0' || *seen == '#' || strlen(key) > CFG_KEY_MAX)
        return CFG_E_BADNAME;
    if (!file)
        return CFG_E_IO;
    char buf[CFG_LINE_MAX];
    int n = snprintf(buf, sizeof buf, "%s=%s\n", key, value);
    /* A line the reader cannot hold is not written: cut, its value would
     * be read back as another one. */
    if (n < 0 || n >= (int)sizeof buf)
        return CFG_E_IO;
    return put_line(file, buf);
}

extern "C" NB_HOST_API int nbpg_save_key(void *file, const char *key, const char *value)
{
    /* In a plug-in's section "Path" selects the plug-in that receives the
     * lines after it: a plug-in's own key of that name would be read back
     * as the selector, not handed to the plug-in. */
    if (key && strcmp(read_back_key(key), "Path") == 0)
        return CFG_E_BADNAME;
    return cfg_write_key((FILE *)file, key, value);
}

extern "C" NB_HOST_API int nbpg_keyval_get_int(const char *text, int32_t *value)
{
    int32_t dummy;
    if (!value)
        value = &dummy;
    *value = 0;
    if (!text)
        return CFG_E_IO;

    const char *p = text;
    const char *end = p;
    while (*end && !isspace((unsigned char)*end))
        ++end;
    if (end == p)
        return CFG_E_IO;

    bool negative = false;
    if (*p == '+' || *p == '-') {
        negative = (*p == '-');
        ++p;
    }
    unsigned base = 10;
    if (end - p >= 2 && p[0] == '0' && (p[1] == 'x' || p[1] == 'X')) {
        base = 16;
        p += 2;
    }
    if (p == end)
        return CFG_E_IO;

    uint32_t acc = 0;
    for (; p < end; ++p) {
        unsigned d;
        unsigned char c = (unsigned char)*p;
        if (c >= '0' && c <= '9')
            d = c - '0';
        else if (base == 16 && c >= 'a' && c <= 'f')
            d = c - 'a' + 10;
        else if (base == 16 && c >= 'A' && c <= 'F')
            d = c - 'A' + 10;
        else
            return CFG_E_IO;   /* letters are no digits of a decimal number */
        acc = acc * base + d;  /* wraps on overflow */
        *value = (int32_t)acc;
    }
    if (negative)
        *value = (int32_t)(0u - acc);

    while (*end && isspace((unsigned char)*end))
        ++end;
    if (*end && *end != '#')
        return CFG_E_IO;
    return 0;
}
