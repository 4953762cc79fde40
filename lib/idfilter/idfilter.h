/*
 * idfilter.h - identifier filters as the user types them: hexadecimal
 * identifiers and ranges, "100-1FF, 7E8; 0x18DAF110".
 */
#ifndef IDFILTER_H
#define IDFILTER_H

#include <stddef.h>
#include <stdint.h>

#define IDF_MAX 64                /* identifiers and ranges in one filter */

/* Identifier ranges lo[i]..hi[i]; an empty filter passes everything. */
struct idf_filter {
    int n;
    uint32_t lo[IDF_MAX];
    uint32_t hi[IDF_MAX];
};

/* The messages for text that is not a filter, as printf formats in the
 * user's language: each caller translates them in its own text domain. */
struct idf_texts {
    const char *not_id;       /* %s: the item that is not an identifier or range */
    const char *above_max;    /* %s: the item above 1FFFFFFF */
    const char *reversed;     /* %s: the range that ends below its start */
    const char *too_many;     /* %d: IDF_MAX */
};

/* Parses hexadecimal identifiers (an optional 0x prefix) and ranges
 * "lo-hi", separated by commas, semicolons or blanks, up to 1FFFFFFF.
 * Returns 0 with *out set, or -1 with a message for the user in msg made
 * from texts (out is then left unchanged). */
int idf_parse(const char *text, idf_filter *out, char *msg, size_t msg_size,
              const idf_texts *texts);
bool idf_match(const idf_filter *f, uint32_t id);

#endif /* IDFILTER_H */
