/*
 * cfg.h - reader and writer of the INI-like session file syntax.
 *
 * The reader takes a text file line by line, sorts each line into blank,
 * comment, section header or key line, and hands section names and
 * key/value pairs to three handlers of its client. The client registers
 * the names it knows in two token tables (sections and keys) and looks
 * each name up from its handlers. The first failure stops reading and
 * leaves one message naming its kind, the line number and a short reason.
 *
 * The writer appends section headers and key lines to an open stream.
 */
#ifndef NB_CFG_H
#define NB_CFG_H

#include <stddef.h>
#include <stdint.h>
#include <stdio.h>

/* Result codes. They reach plug-ins through nbpg_save_key and
 * nbpg_keyval_get_int, so the values are fixed. -1 means the file could
 * not be opened. */
enum {
    CFG_E_OPEN = -1,
    CFG_E_IO = -1024,                 /* a line not formatted or written; not a number */
    CFG_E_BADNAME = -1026,            /* a name holds '=', '[' or ']'; a line break */
    CFG_E_NOMEM = -1034,
    CFG_E_EXISTS = -1039,             /* name already in the token table */
    CFG_E_SYNTAX = -1040,             /* malformed line, or a value its handler refuses */
    CFG_E_UNKNOWN_SECTION = -1041,
    CFG_E_UNKNOWN_KEY = -1042,
    CFG_E_INCOMPLETE_SECTION = -1043,
    CFG_E_SECTION_COMPLETE = -1044
};

#define CFG_LINE_MAX 1024             /* line buffer, NUL included */
#define CFG_REASON_MAX 512
#define CFG_MESSAGE_MAX 1024

/* ---------------------------------------------------------- token table */

struct cfg_token_entry {
    int64_t token;                    /* never 0 */
    char *name;                       /* owned copy */
    cfg_token_entry *next;
};

struct cfg_bucket {
    int32_t hash;
    cfg_token_entry *entries;         /* newest first */
    int entry_count;
};

/* Names to non-zero tokens. buckets is kept in ascending order of hash
 * (compared as signed 32-bit values) and searched by bisection. */
struct cfg_token_table {
    cfg_bucket **buckets;
    int32_t capacity;
    int32_t count;
    uint16_t grow_step;               /* always 1 */
};

/* hash = hash * 31 + byte (unsigned), modulo 2^32, starting at 0. */
int32_t cfg_hash(const char *name);
void    cfg_tokens_init(cfg_token_table *table);
void    cfg_tokens_free(cfg_token_table *table);
/* 0, CFG_E_EXISTS, CFG_E_NOMEM (or CFG_E_SYNTAX for token 0 or no name). */
int     cfg_tokens_add(cfg_token_table *table, const char *name, int64_t token);
/* The token of the name (exact, case-sensitive), or 0. */
int64_t cfg_tokens_find(const cfg_token_table *table, const char *name);

/* --------------------------------------------------------------- reader */

struct cfg_reader;

/* Handlers return >= 0 to go on, or a negative code to stop reading; a
 * failing handler puts its reason into the reader with cfg_set_reason. */
typedef int (*cfg_section_fn)(cfg_reader *rd, void *user, const char *name, size_t len);
typedef int (*cfg_section_end_fn)(cfg_reader *rd, void *user);
typedef int (*cfg_key_fn)(cfg_reader *rd, void *user, const char *key, size_t len,
                          const char *value);

struct cfg_reader {
    uint32_t line_no;                 /* lines read so far */
    char *reason;                     /* CFG_REASON_MAX bytes */
    char *message;                    /* CFG_MESSAGE_MAX bytes */
    cfg_section_fn on_section;
    cfg_section_end_fn on_section_end;
    cfg_key_fn on_key;
    void *user_data;
    FILE *file;
    cfg_token_table sections;
    cfg_token_table keys;
    char line[CFG_LINE_MAX];          /* the line being examined */
};

/* Opens path (file-name encoding) for reading. 0 with *out set; -1 when
 * the file cannot be opened; CFG_E_IO when path names something other
 * than a regular file (a FIFO, a device, a folder: reading one could
 * block or never end), with the reason in why when given; CFG_E_NOMEM.
 * Nothing stays allocated on failure. */
int   cfg_open(const char *path, void *user_data, cfg_section_fn on_section,
               cfg_section_end_fn on_section_end, cfg_key_fn on_key, cfg_reader **out,
               char *why = nullptr, size_t why_size = 0);
/* Reads and dispatches one line. 1: call again; 0: reading stopped, with
 * *status >= 0 at the end of the file, or the failure's code and message. */
int   cfg_next_line(cfg_reader *rd, int *status);
char *cfg_set_reason(cfg_reader *rd, const char *format, ...)
    __attribute__((format(printf, 2, 3)));
void  cfg_close(cfg_reader *rd);

/* --------------------------------------------------------------- writer */

/* Appends "\n[name]\n". 0, CFG_E_BADNAME or CFG_E_IO. */
int cfg_write_section(FILE *file, const char *name);
/* The system's error number of the first line that could not be written
 * since the last call (0 when none), and forgets it. */
int cfg_take_write_errno(void);
/* Appends "key=value\n" (cut to a line of 1023 characters). 0,
 * CFG_E_BADNAME (a name with '=', '[' or ']', a line break, a blank key or
 * one beginning with '#') or CFG_E_IO. nbpg_save_key is this for
 * plug-ins, which moreover may not use the key "Path"; it and
 * nbpg_keyval_get_int are declared in nimbrel/nimbrel.h. */
int cfg_write_key(FILE *file, const char *key, const char *value);

#endif /* NB_CFG_H */
