/*
 * dbc_text.cpp - reading a database file: its bytes, their encoding.
 *
 * Tools write DBC files in UTF-8 or in the Windows code page 1252 (of
 * which Latin-1 is a part), a few in UTF-16. Text that is valid UTF-8 is
 * taken as such; UTF-16 is known by its byte-order mark or, without one,
 * by the zero bytes its ASCII characters carry; anything else is read as
 * Windows-1252, with the five codes that page leaves undefined taken as
 * Latin-1. Other bytes with zeros in them are no text and are refused.
 */
#include "dbc.h"
#include "dbc_internal.h"

#include <errno.h>
#include <fcntl.h>
#include <stdio.h>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>

#include "userfile.h"

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
        /* ASCII eight bytes at a time. */
        if (i + 8 <= n) {
            uint64_t w;
            memcpy(&w, s + i, sizeof w);
            if (!(w & 0x8080808080808080u)) {
                i += 8;
                continue;
            }
        }
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
    } else if (cp < 0x10000) {
        out.push_back((char)(0xE0 | (cp >> 12)));
        out.push_back((char)(0x80 | ((cp >> 6) & 0x3F)));
        out.push_back((char)(0x80 | (cp & 0x3F)));
    } else {
        out.push_back((char)(0xF0 | (cp >> 18)));
        out.push_back((char)(0x80 | ((cp >> 12) & 0x3F)));
        out.push_back((char)(0x80 | ((cp >> 6) & 0x3F)));
        out.push_back((char)(0x80 | (cp & 0x3F)));
    }
}

/* UTF-16 as UTF-8; unpaired surrogates become U+FFFD, an odd last byte
 * is dropped. */
std::string utf16_to_utf8(const unsigned char *s, size_t len, bool big_endian)
{
    std::string out;
    out.reserve(len / 2 + len / 16);
    auto unit = [&](size_t i) {
        return big_endian ? (uint32_t)(s[i] << 8 | s[i + 1]) : (uint32_t)(s[i + 1] << 8 | s[i]);
    };
    for (size_t i = 0; i + 1 < len; i += 2) {
        uint32_t u = unit(i);
        if (u >= 0xD800 && u < 0xDC00 && i + 3 < len) {
            uint32_t v = unit(i + 2);
            if (v >= 0xDC00 && v < 0xE000) {
                put_utf8(out, 0x10000 + ((u - 0xD800) << 10) + (v - 0xDC00));
                i += 2;
                continue;
            }
        }
        put_utf8(out, u >= 0xD800 && u < 0xE000 ? 0xFFFD : u);
    }
    return out;
}

/* Without a byte-order mark: UTF-16 shows as zero bytes in every other
 * place (its ASCII characters) and nowhere else. Returns 1 for little-,
 * 2 for big-endian, 0 for neither. */
int utf16_guess(const unsigned char *s, size_t len)
{
    size_t n = len < 4096 ? len : 4096;
    n &= ~(size_t)1;
    size_t zero_even = 0, zero_odd = 0;
    for (size_t i = 0; i < n; i += 2) {
        zero_even += s[i] == 0;
        zero_odd += s[i + 1] == 0;
    }
    size_t pairs = n / 2;
    if (pairs == 0)
        return 0;
    if (zero_odd * 10 >= pairs * 7 && zero_even * 20 <= pairs)
        return 1;
    if (zero_even * 10 >= pairs * 7 && zero_odd * 20 <= pairs)
        return 2;
    return 0;
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

namespace {

/* The text of a file's bytes: *text points into bytes where they are
 * UTF-8 already, else into *converted. */
int text_of(const char *bytes, size_t len, std::string *converted, const char **text,
            size_t *text_len, char *why, size_t why_size)
{
    const unsigned char *s = (const unsigned char *)bytes;
    if (len >= 2 && ((s[0] == 0xFF && s[1] == 0xFE) || (s[0] == 0xFE && s[1] == 0xFF))) {
        if (len >= 4 && s[0] == 0xFF && s[2] == 0 && s[3] == 0) {
            snprintf(why, why_size, "the file is UTF-32 text, which is not read: save it as UTF-8");
            return -1;
        }
        *converted = utf16_to_utf8(s + 2, len - 2, s[0] == 0xFE);
    } else if (memchr(s, 0, len)) {
        int guess = utf16_guess(s, len);
        if (!guess) {
            snprintf(why, why_size,
                     "the file holds zero bytes and is no UTF-16: it is not a text file");
            return -1;
        }
        *converted = utf16_to_utf8(s, len, guess == 2);
    } else {
        size_t bom = len >= 3 && s[0] == 0xEF && s[1] == 0xBB && s[2] == 0xBF ? 3 : 0;
        if (valid_utf8(s + bom, len - bom)) {
            *text = bytes + bom;
            *text_len = len - bom;
            return 0;
        }
        *converted = dbc_to_utf8(bytes, len);
    }
    *text = converted->data();
    *text_len = converted->size();
    return 0;
}

}  // namespace

int dbc_text_decode(const char *bytes, size_t len, std::string *text, char *why, size_t why_size)
{
    std::string converted;
    const char *t = nullptr;
    size_t n = 0;
    if (text_of(bytes, len, &converted, &t, &n, why, why_size) != 0)
        return -1;
    if (t == converted.data())
        text->swap(converted);
    else
        text->assign(t, n);
    return 0;
}

int dbc_load_bytes(const char *bytes, size_t len, dbc_db *db, dbc_error *err,
                   const volatile int *cancel)
{
    *db = dbc_db();
    memset(err, 0, sizeof *err);
    if (len > DBC_MAX_FILE_BYTES) {
        snprintf(err->message, sizeof err->message, "file is larger than %u MiB",
                 DBC_MAX_FILE_BYTES >> 20);
        return -1;
    }
    std::string converted;
    const char *text = nullptr;
    size_t n = 0;
    if (text_of(bytes, len, &converted, &text, &n, err->message, sizeof err->message) != 0)
        return -1;
    return dbc_parse(text, n, db, err, cancel);
}

int dbc_load_file(const char *path, dbc_db *db, dbc_error *err, const volatile int *cancel)
{
    *db = dbc_db();
    memset(err, 0, sizeof *err);
    /* Regular files only, never waiting: a FIFO or a device is refused. */
    int e = 0;
    int fd = uf_open_read(path, &e);
    if (fd < 0) {
        snprintf(err->message, sizeof err->message, "cannot open the file: %s", uf_strerror(e));
        return -1;
    }
    std::string bytes;
    char buf[65536];
    for (;;) {
        ssize_t n = read(fd, buf, sizeof buf);
        if (n == 0)
            break;
        if (n < 0) {
            if (errno == EINTR)
                continue;
            snprintf(err->message, sizeof err->message, "cannot read the file: %s", strerror(errno));
            close(fd);
            return -1;
        }
        if (bytes.size() + (size_t)n > DBC_MAX_FILE_BYTES) {
            close(fd);
            snprintf(err->message, sizeof err->message, "file is larger than %u MiB",
                     DBC_MAX_FILE_BYTES >> 20);
            return -1;
        }
        bytes.append(buf, (size_t)n);
    }
    close(fd);
    return dbc_load_bytes(bytes.data(), bytes.size(), db, err, cancel);
}
