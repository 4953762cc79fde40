/*
 * dbc.h - a CAN database (DBC file) reader and signal decoder.
 *
 * dbc_load_file / dbc_parse read a database into a dbc_db: nodes,
 * messages with standard or extended (29-bit) identifiers, their signals
 * (Intel or Motorola byte order, signed or unsigned integers, IEEE float
 * and double), value tables, comments, attribute definitions and values,
 * simple and extended multiplexing, long names, CAN FD messages of up to
 * 64 bytes. Sections this reader does not know are skipped.
 *
 * Files are read as the tools that write them mean them: a statement that
 * is broken (a signal longer than 64 bits, a duplicate identifier, a
 * syntax error) is skipped, the reader goes on at the next statement, and
 * every such skip, repair and dangling reference is listed in
 * dbc_db.problems with its line, column and reason. Only a file from
 * which no message could be read at all is refused, with the first
 * problem as its error. Nothing the file holds can crash or hang the
 * reader.
 *
 * Reading allocates; decoding does not. dbc_decode turns the data bytes of
 * one frame into every signal's raw and physical value and tells which
 * signals the frame's multiplexor values select, from a decode plan made
 * when the file was read: a few shifts and masks per signal. dbc_encode
 * is its inverse: physical values into data bytes by the same plan.
 */
#ifndef NB_DBC_H
#define NB_DBC_H

#include <stddef.h>
#include <stdint.h>

#include <string>
#include <unordered_map>
#include <vector>

enum dbc_byte_order : uint8_t { DBC_MOTOROLA = 0, DBC_INTEL = 1 };
enum dbc_value_type : uint8_t { DBC_INTEGER = 0, DBC_FLOAT = 1, DBC_DOUBLE = 2 };

/* How a signal takes part in multiplexing, as its SG_ line says:
 * nothing, "M", "m<N>" or "m<N>M". */
enum dbc_mux_role : uint8_t { DBC_PLAIN = 0, DBC_MUXOR = 1, DBC_MUXED = 2, DBC_MUXED_MUXOR = 3 };

/* Objects attributes and comments belong to. */
enum dbc_object : uint8_t { DBC_OBJ_DB = 0, DBC_OBJ_NODE = 1, DBC_OBJ_MESSAGE = 2,
                            DBC_OBJ_SIGNAL = 3, DBC_OBJ_ENVVAR = 4 };

enum dbc_attr_type : uint8_t { DBC_ATTR_INT = 0, DBC_ATTR_HEX = 1, DBC_ATTR_FLOAT = 2,
                               DBC_ATTR_STRING = 3, DBC_ATTR_ENUM = 4 };

/* The largest message a DBC file may describe and dbc_decode reads (a CAN
 * FD frame). */
#define DBC_MAX_MESSAGE_BYTES 64
/* Files larger than this are refused rather than read. */
#define DBC_MAX_FILE_BYTES (64u * 1024u * 1024u)
/* Problems listed at most; further ones are only counted. */
#define DBC_MAX_PROBLEMS 10000

/* What became of a part of the file that was not read as written. */
enum dbc_problem_kind : uint8_t {
    DBC_SKIPPED = 0,     /* broken: the message, signal or statement was not loaded */
    DBC_REPAIRED = 1,    /* loaded as its writer meant it (a missing ';', an
                          * identifier above 0x7FF without the extended flag) */
    DBC_UNDEFINED = 2,   /* refers to a message, signal or attribute the file does
                          * not define: skipped */
    DBC_DOUBTFUL = 3,    /* loaded as written, though it cannot be right: a signal
                          * that reaches past its message's length (decoded only
                          * from frames long enough to hold it) */
};

struct dbc_problem {
    int line;                    /* 1-based */
    int column;                  /* 1-based, in characters */
    uint8_t kind;                /* dbc_problem_kind */
    std::string text;            /* what, and why (UTF-8) */
};

struct dbc_value_text {
    int64_t value;
    std::string text;
};

struct dbc_value_table {
    std::string name;
    std::vector<dbc_value_text> entries;   /* sorted by value */
};

/* Multiplexor values [lo, hi] that select a signal. */
struct dbc_mux_range {
    int64_t lo, hi;
};

struct dbc_signal {
    std::string name;            /* the long name (SystemSignalLongSymbol) where given */
    uint16_t start = 0;          /* start bit as written: the LSB (Intel) or the MSB (Motorola) */
    uint8_t length = 0;          /* 1..64 bits */
    uint8_t order = DBC_INTEL;   /* dbc_byte_order */
    uint8_t is_signed = 0;
    uint8_t type = DBC_INTEGER;  /* dbc_value_type (SIG_VALTYPE_) */
    uint8_t mux_role = DBC_PLAIN;
    int64_t mux_value = 0;       /* N of "m<N>" */
    double factor = 1.0, offset = 0.0, min = 0.0, max = 0.0;
    std::string unit;
    std::vector<std::string> receivers;
    std::string comment;
    std::vector<dbc_value_text> values;    /* VAL_ entries, sorted by value */
    int has_start_value = 0;
    double start_value = 0.0;    /* GenSigStartValue: a raw value */

    /* The multiplexor that selects this signal (an index into the
     * message's signals, -1 for none) and the values that select it. */
    int switch_index = -1;
    std::vector<dbc_mux_range> ranges;
    int line = 0, column = 0;    /* where its SG_ line is */
};

/* One step of a message's decode plan: one signal. Its bits are taken
 * from the 64-bit word (two words when they span nine bytes) read at byte
 * offset `byte`, little-endian for Intel and big-endian for Motorola. */
struct dbc_step {
    uint64_t mask;               /* the signal's low length bits */
    uint64_t sign;               /* its sign bit for signed integers, else 0 */
    double factor, offset;
    uint16_t sig;                /* index of the signal */
    int16_t sw;                  /* index of its multiplexor, -1 none */
    uint32_t range_first;        /* into dbc_message.plan_ranges */
    uint32_t range_count;
    uint8_t byte;                /* first data byte of the word */
    uint8_t shift;               /* right shift within the word (two words: bits
                                  * of the first word below the signal) */
    uint8_t big_endian;          /* Motorola */
    uint8_t wide;                /* the signal spans nine bytes: two words */
    uint8_t type;                /* dbc_value_type */
    uint8_t need;                /* data bytes the signal needs, 1..64 */
};

struct dbc_message {
    uint32_t id = 0;             /* 11- or 29-bit identifier */
    uint8_t extended = 0;
    uint8_t decodable = 1;       /* 0 for the holder of loose signals
                                  * (VECTOR__INDEPENDENT_SIG_MSG) */
    uint8_t fd = 0;              /* a CAN FD frame (VFrameFormat ..._FD) */
    uint8_t brs = 0;             /* FD with bit-rate switch (CANFD_BRS) */
    uint32_t raw_id = 0;         /* the identifier as the file writes it */
    uint32_t size = 0;           /* data length in bytes */
    std::string name, sender, comment;   /* name: the long name where given */
    std::vector<std::string> transmitters;   /* BO_TX_BU_ */
    std::vector<dbc_signal> signals;
    int32_t cycle_time_ms = -1;  /* GenMsgCycleTime, -1 when not given */
    int line = 0;

    std::vector<dbc_step> plan;              /* multiplexors before what they select */
    std::vector<dbc_mux_range> plan_ranges;
};

struct dbc_attr_def {
    std::string name;
    uint8_t object = DBC_OBJ_DB;     /* dbc_object */
    uint8_t type = DBC_ATTR_INT;     /* dbc_attr_type */
    double min = 0.0, max = 0.0;
    std::vector<std::string> enum_values;
    int has_default = 0;
    double default_number = 0.0;
    std::string default_text;
};

struct dbc_attr_value {
    int def;                     /* index into dbc_db.attr_defs */
    uint8_t object;              /* dbc_object */
    int message;                 /* DBC_OBJ_MESSAGE, DBC_OBJ_SIGNAL */
    int signal;                  /* DBC_OBJ_SIGNAL */
    std::string node;            /* DBC_OBJ_NODE, DBC_OBJ_ENVVAR: the name */
    int is_text;
    double number;
    std::string text;
};

struct dbc_node {
    std::string name;
    std::string comment;
};

struct dbc_db {
    std::string version;
    std::string comment;
    std::vector<dbc_node> nodes;
    std::vector<dbc_message> messages;
    std::vector<dbc_value_table> value_tables;
    std::vector<dbc_attr_def> attr_defs;
    std::vector<dbc_attr_value> attrs;
    /* What was skipped, repaired or left dangling, in file order; at most
     * DBC_MAX_PROBLEMS, the others counted in problems_dropped. */
    std::vector<dbc_problem> problems;
    uint32_t problems_dropped = 0;

    /* Open-addressing table of decodable messages by identifier. */
    std::vector<int32_t> lookup;
    uint32_t lookup_mask = 0;
};

struct dbc_error {
    int line;                    /* 1-based; 0 when the file could not be read */
    int column;                  /* 1-based, in characters */
    char message[256];
};

/* One decoded signal. raw is the signal's bits (sign-extended for signed
 * integers; the IEEE bits for float and double); phys is the physical
 * value raw * factor + offset. active is 0 when the frame does not carry
 * the signal: it is beyond the frame's data, or its multiplexor does not
 * select it. */
struct dbc_value {
    double phys;
    int64_t raw;
    uint8_t active;
};

/* Reads a database from text (UTF-8). Returns 0, or -1 with err filled
 * when the file holds no usable message (or no DBC statement at all); db
 * is cleared first. A non-null cancel that becomes non-zero (another
 * thread) stops the reader with -1 soon after. */
int dbc_parse(const char *text, size_t len, dbc_db *db, dbc_error *err,
              const volatile int *cancel = nullptr);

/* Reads a database from a file's bytes in any encoding dbc_text_decode
 * takes. Returns 0 or -1 as dbc_parse. */
int dbc_load_bytes(const char *bytes, size_t len, dbc_db *db, dbc_error *err,
                   const volatile int *cancel = nullptr);

/* Reads a database file (dbc_load_bytes): a regular file only, opened
 * without blocking. Returns 0 or -1. */
int dbc_load_file(const char *path, dbc_db *db, dbc_error *err,
                  const volatile int *cancel = nullptr);

/* A file's bytes as UTF-8 text: UTF-8 (with or without a byte-order mark),
 * UTF-16 (with a byte-order mark, or recognised by its zero bytes), and
 * otherwise Windows-1252 (Latin-1 for the codes it leaves undefined).
 * Returns 0, or -1 with why filled (UTF-8) for bytes that are no text. */
int dbc_text_decode(const char *bytes, size_t len, std::string *text, char *why, size_t why_size);

/* Text in Windows-1252 (Latin-1 for the codes it leaves undefined) as
 * UTF-8; text that is valid UTF-8 is kept, minus a byte-order mark. */
std::string dbc_to_utf8(const char *text, size_t len);

/* The decodable message with this identifier, or null. */
const dbc_message *dbc_find(const dbc_db *db, uint32_t id, int extended);

/* Decodes len data bytes (at most DBC_MAX_MESSAGE_BYTES are looked at)
 * into out[i] for every signal i of m. Returns the number of active
 * signals. Never allocates. */
int dbc_decode(const dbc_message *m, const uint8_t *data, unsigned len, dbc_value *out);

/* The physical values a signal can carry: what its bits hold, narrowed to
 * its min and max when the file gives them (min < max). */
void dbc_signal_range(const dbc_signal *s, double *lo, double *hi);

/* A physical value as the signal's raw bits: (phys - offset) / factor,
 * rounded to the nearest integer for integer signals, the IEEE bits for
 * float and double. Returns 0, or -1 with err (UTF-8, naming the signal
 * and its range) for a value outside dbc_signal_range or not a number:
 * never wrapped. */
int dbc_encode_raw(const dbc_signal *s, double phys, uint64_t *raw, char *err, size_t errsize);

/* Packs phys[i] of every signal i of m into len data bytes (at most
 * DBC_MAX_MESSAGE_BYTES): the bytes are cleared, then each signal the
 * multiplexors' values select, and that lies within len bytes, is written.
 * out[i] says, as dbc_decode would, which signals were written and their
 * raw values. Returns 0, or -1 with err and *bad (the signal's index) set
 * and data unchanged when a value is refused. Never allocates. */
int dbc_encode(const dbc_message *m, const double *phys, uint8_t *data, unsigned len,
               dbc_value *out, char *err, size_t errsize, int *bad);

/* The value-table text of a raw value, or null. */
const char *dbc_value_label(const dbc_signal *s, int64_t raw);

/* An attribute's value for an object (its own value, else the definition's
 * default). message and signal are indices (unused ones are ignored),
 * node the node's or environment variable's name. Returns 1 with *number
 * or *text set (either may be null), 0 when there is none. */
int dbc_attr_get(const dbc_db *db, const char *name, int object, int message, int signal,
                 const char *node, double *number, std::string *text);

#endif /* NB_DBC_H */
