/*
 * uds.h - what diagnostic messages say: UDS (ISO 14229-1) services,
 * sub-functions, negative response codes and data identifiers; OBD-II
 * (SAE J1979) modes, parameter identifiers with their formulas and units,
 * DTCs and the vehicle information of mode 09; and the descriptions of
 * UDS, OBD-II and J1939 messages as the diagnostics page shows them.
 *
 * Names that the standards define (service and code names, PID and PGN
 * names, units) are given as the standards write them. The few words of
 * plain language in a description come from a dg_texts table, which the
 * caller translates.
 */
#ifndef UDS_H
#define UDS_H

#include <stddef.h>
#include <stdint.h>

/* What the service byte of a message says it is. */
enum uds_kind : uint8_t { UDS_REQUEST = 0, UDS_POSITIVE = 1, UDS_NEGATIVE = 2 };
int uds_kind_of(uint8_t sid);
/* The request service a message answers or is: its own for a request,
 * sid - 0x40 for a positive response, the second byte for a negative one
 * (-1 when there is none). */
int uds_request_sid(const uint8_t *data, uint32_t len);
/* OBD-II modes 01..0A (and their responses) rather than UDS. */
int uds_is_obd(int request_sid);
/* Whether a request asks for no positive response (the sub-function's
 * suppressPosRspMsgIndicationBit, for the services that have one). */
int uds_suppresses_response(const uint8_t *data, uint32_t len);

const char *uds_service_name(uint8_t request_sid);
const char *uds_nrc_name(uint8_t nrc);
const char *uds_subfunction_name(uint8_t request_sid, uint8_t sub);
const char *uds_did_name(uint16_t did);

const char *obd_mode_name(uint8_t mode);
/* A mode 01/02 parameter: its data bytes and, for those given by a
 * linear formula, the value's scale and offset on the raw big-endian
 * number of raw_bytes bytes (scale 0: bit-encoded, shown otherwise). */
struct obd_pid_info {
    uint8_t pid;
    uint8_t bytes;
    uint8_t raw_bytes;
    uint8_t is_signed;
    double scale, offset;
    const char *name;
    const char *unit;
};
const obd_pid_info *obd_pid(uint8_t pid);
/* The physical value of a formula PID from its data bytes: 0 with *value,
 * -1 for a bit-encoded or unknown PID or too few bytes. */
int obd_pid_value(uint8_t pid, const uint8_t *data, uint32_t len, double *value);

/* A two-byte OBD-II/J2012 trouble code as text: "P0123" (6 bytes). */
void dg_dtc_text(uint16_t code, char out[6]);

/* Words of plain language in descriptions, in the user's language. */
struct dg_texts {
    const char *lamp[4];         /* J1939 lamp and OBD-II MIL: off, on, reserved, not available */
    const char *flash[4];        /* slow flash, fast flash, reserved, (no flash: usually "") */
    const char *none;            /* no DTC, no data */
    const char *ascii;           /* label of data shown as text */
    /* The decoder's own words and labels (marked DG_T) in the language
     * shown, placeholders kept; null: as written. Standard names (services,
     * codes, identifiers) are never translated. */
    const char *(*tr)(const char *text);
};
const char *dg_tr(const dg_texts *tx, const char *text) __attribute__((format_arg(2)));
#define DG_T(tx, text) dg_tr(tx, text)
extern const dg_texts dg_texts_en;

/* Descriptions: with detail 0 one line (fields separated by ", "), with
 * detail 1 one "name: value" field per line. They return the length
 * written; out is always NUL-terminated and cut when it is too small. */
size_t uds_describe(const uint8_t *data, uint32_t len, int detail, const dg_texts *tx, char *out,
                    size_t size);
size_t j19_describe(uint32_t pgn, const uint8_t *data, uint32_t len, int detail, const dg_texts *tx,
                    char *out, size_t size);
/* Bytes as hex "01 02 ...", cut with "..." to what fits. */
size_t dg_hex(const uint8_t *data, uint32_t len, char *out, size_t size);

#endif /* UDS_H */
