/*
 * hexdigit.h - the value of a hex digit, for every reader of frames as
 * text (the frame syntax, logs, gateway rules, the sender's fields). A
 * table, since the log readers look up every data digit. Header only:
 * it needs nothing, so any library may include it.
 */
#ifndef FRAMETEXT_HEXDIGIT_H
#define FRAMETEXT_HEXDIGIT_H

#include <stdint.h>

struct ft_hex_table {
    int8_t v[256];
    constexpr ft_hex_table() : v()
    {
        for (int c = 0; c < 256; c++)
            v[c] = (int8_t)(c >= '0' && c <= '9'   ? c - '0'
                            : c >= 'a' && c <= 'f' ? c - 'a' + 10
                            : c >= 'A' && c <= 'F' ? c - 'A' + 10
                                                   : -1);
    }
};
inline constexpr ft_hex_table FT_HEX;

/* 0..15 for a hex digit, -1 for any other character. */
static inline int ft_hexval(unsigned char c)
{
    return FT_HEX.v[c];
}

#endif /* FRAMETEXT_HEXDIGIT_H */
