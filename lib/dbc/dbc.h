/*
 * dbc.h - a CAN database (DBC file) reader and signal decoder.
 *
 * dbc_load_file / dbc_parse read a database into a dbc_db: nodes,
 * messages with standard or extended (29-bit) identifiers, their signals
 * (Intel or Motorola byte order, signed or unsigned integers, IEEE float
 * and double), value tables, comments, attribute definitions and values,
 * simple and extended multiplexing. Sections this reader does not know
 * are skipped. A malformed file gives an error with its line, column and
 * what was expected; nothing the file holds can crash or hang the reader.
 *
 * Reading allocates; decoding does not. dbc_decode turns the data bytes of
 * one frame into every signal's raw and physical value and tells which
 * signals the frame's multiplexor values select, from a decode plan made
 * when the file was read: a few shifts and masks per signal.
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

/* The largest message a DBC file may describe (CAN FD); frames of this
 * program carry at most 8 bytes, so signals beyond those are never
 * decoded. */
#define DBC_MAX_MESSAGE_BYTES 64
/* Files larger than this are refused rather than read. */
#define DBC_MAX_FILE_BYTES (64u * 1024u * 1024u)

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
    std::string name;
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

/* One step of a message's decode plan: one signal. */
struct dbc_step {
    uint64_t mask;               /* the signal's low length bits */
    uint64_t sign;               /* its sign bit for signed integers, else 0 */
    double factor, offset;
    uint16_t sig;                /* index of the signal */
    int16_t sw;                  /* index of its multiplexor, -1 none */
    uint32_t range_first;        /* into dbc_message.plan_ranges */
    uint32_t range_count;
    uint8_t shift;               /* right shift within the 64-bit word */
    uint8_t big_endian;          /* taken from the big-endian word (Motorola) */
    uint8_t type;                /* dbc_value_type */
    uint8_t need;                /* data bytes the signal needs; >8: never decoded */
};

struct dbc_message {
    uint32_t id = 0;             /* 11- or 29-bit identifier */
    uint8_t extended = 0;
    uint8_t decodable = 1;       /* 0 for pseudo messages (identifier bits 29 and 30) */
    uint32_t raw_id = 0;         /* the identifier as the file writes it */
    uint32_t size = 0;           /* data length in bytes */
    std::string name, sender, comment;
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
    /* References to messages, signals or nodes the file does not define
     * (in CM_, VAL_, BA_, SIG_VALTYPE_ ...): skipped and counted. */
    int warnings = 0;
    std::string first_warning;

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

/* Reads a database from text (UTF-8). Returns 0, or -1 with err filled;
 * db is cleared first. */
int dbc_parse(const char *text, size_t len, dbc_db *db, dbc_error *err);

/* Reads a database file, UTF-8 (with or without a byte-order mark) or, when
 * it is not valid UTF-8, Windows-1252 / Latin-1. Returns 0 or -1. */
int dbc_load_file(const char *path, dbc_db *db, dbc_error *err);

/* Text in Windows-1252 (Latin-1 for the codes it leaves undefined) as
 * UTF-8; text that is valid UTF-8 is kept, minus a byte-order mark. */
std::string dbc_to_utf8(const char *text, size_t len);

/* The decodable message with this identifier, or null. */
const dbc_message *dbc_find(const dbc_db *db, uint32_t id, int extended);

/* Decodes len data bytes (at most 8 are looked at) into out[i] for every
 * signal i of m. Returns the number of active signals. Never allocates. */
int dbc_decode(const dbc_message *m, const uint8_t *data, unsigned len, dbc_value *out);

/* The value-table text of a raw value, or null. */
const char *dbc_value_label(const dbc_signal *s, int64_t raw);

/* An attribute's value for an object (its own value, else the definition's
 * default). message and signal are indices (unused ones are ignored),
 * node the node's or environment variable's name. Returns 1 with *number
 * or *text set (either may be null), 0 when there is none. */
int dbc_attr_get(const dbc_db *db, const char *name, int object, int message, int signal,
                 const char *node, double *number, std::string *text);

#endif /* NB_DBC_H */
