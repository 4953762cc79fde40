/*
 * dbc_text.cpp - reading a database file: its bytes, their encoding.
 *
 * Tools write DBC files in UTF-8 or in the Windows code page 1252 (of
 * which Latin-1 is a part). Text that is valid UTF-8 is taken as such;
 * anything else is read as Windows-1252, with the five codes that page
 * leaves undefined taken as Latin-1.
 */
#include "dbc.h"

#include <errno.h>
#include <stdio.h>
#include <string.h>
#include <sys/stat.h>

namespace {

/* Unicode code points of 0x80..0x9F in Windows-1252. */
const uint16_t cp1252_high[32] = {
    0x20AC, 0x0081, 0x201A, 0x0192, 0x201E, 0x2026, 0x2020, 0x2021, 0x02C6, 0x2030, 0x0160,
    0x2039, 0x0152, 0x008D, 0x017D, 0x008F, 0x0090, 0x2018, 0x2019, 0x201C, 0x201D, 0x2022,
    0x2013, 0x2014, 0x02DC, 0x2122, 0x0161, 0x203A, 0x0153, 0x009D, 0x017E, 0x0178,
};

bool valid_utf8(const unsigned char *s, size_t n)
{
    size_t i = 0;
    while (i < n) {
        unsigned c = s[i];
        size_t extra;
        uint32_t cp;
        if (c < 0x80) {
            i++;
            continue;
        } else if ((c & 0xE0) == 0xC0) {
            extra = 1;
            cp = c & 0x1F;
        } else if ((c & 0xF0) == 0xE0) {
            extra = 2;
            cp = c & 0x0F;
        } else if ((c & 0xF8) == 0xF0) {
            extra = 3;
            cp = c & 0x07;
        } else {
            return false;
        }
        if (i + extra >= n)
            return false;
        for (size_t k = 1; k <= extra; k++) {
            if ((s[i + k] & 0xC0) != 0x80)
                return false;
            cp = (cp << 6) | (s[i + k] & 0x3F);
        }
        /* Overlong forms, surrogates and values beyond Unicode. */
        static const uint32_t min_cp[4] = {0, 0x80, 0x800, 0x10000};
        if (cp < min_cp[extra] || cp > 0x10FFFF || (cp >= 0xD800 && cp <= 0xDFFF))
            return false;
        i += extra + 1;
    }
    return true;
}

void put_utf8(std::string &out, uint32_t cp)
{
    if (cp < 0x80) {
        out.push_back((char)cp);
    } else if (cp < 0x800) {
        out.push_back((char)(0xC0 | (cp >> 6)));
        out.push_back((char)(0x80 | (cp & 0x3F)));
    } else {
        out.push_back((char)(0xE0 | (cp >> 12)));
        out.push_back((char)(0x80 | ((cp >> 6) & 0x3F)));
        out.push_back((char)(0x80 | (cp & 0x3F)));
    }
}

}  // namespace

std::string dbc_to_utf8(const char *text, size_t len)
{
    const unsigned char *s = (const unsigned char *)text;
    if (len >= 3 && s[0] == 0xEF && s[1] == 0xBB && s[2] == 0xBF) {
        s += 3;
        len -= 3;
    }
    if (valid_utf8(s, len))
        return std::string((const char *)s, len);
    std::string out;
    out.reserve(len + len / 8);
    for (size_t i = 0; i < len; i++) {
        unsigned c = s[i];
        put_utf8(out, c >= 0x80 && c < 0xA0 ? cp1252_high[c - 0x80] : c);
    }
    return out;
}

int dbc_load_file(const char *path, dbc_db *db, dbc_error *err)
{
    *db = dbc_db();
    memset(err, 0, sizeof *err);
    FILE *f = fopen(path, "rb");
    if (!f) {
        snprintf(err->message, sizeof err->message, "cannot open the file: %s", strerror(errno));
        return -1;
    }
    std::string bytes;
    char buf[65536];
    size_t n;
    while ((n = fread(buf, 1, sizeof buf, f)) > 0) {
        if (bytes.size() + n > DBC_MAX_FILE_BYTES) {
            fclose(f);
            snprintf(err->message, sizeof err->message, "file is larger than %u MiB",
                     DBC_MAX_FILE_BYTES >> 20);
            return -1;
        }
        bytes.append(buf, n);
    }
    bool failed = ferror(f) != 0;
    int read_errno = errno;
    fclose(f);
    if (failed) {
        snprintf(err->message, sizeof err->message, "cannot read the file: %s", strerror(read_errno));
        return -1;
    }
    std::string text = dbc_to_utf8(bytes.data(), bytes.size());
    return dbc_parse(text.data(), text.size(), db, err);
}
