/*
 * e2e.h - rolling counters and checksums in CAN frames.
 *
 * e2e_protect writes a message's counter and then its checksum into the
 * frame's data, from a plain configuration record and the message's
 * counter state; it touches nothing else, allocates nothing and may run on
 * any thread (one state per message, owned by its caller).
 *
 * Fields use the DBC's bit numbering: start is the LSB for Intel (bit i of
 * byte i/8), the MSB for Motorola, as in the file's SG_ line.
 *
 * The conventions (where tools disagree, this is what we do):
 *   CRC8 SAE J1850  poly 0x1D, init 0xFF, final XOR 0xFF, not reflected;
 *                   check value ("123456789") 0x4B.
 *   CRC8H2F         poly 0x2F, init 0xFF, final XOR 0xFF; check 0xDF.
 *   CRC16           CCITT-FALSE: poly 0x1021, init 0xFFFF, no final XOR;
 *                   check 0x29B1.
 *   E2E_XOR         XOR of the chosen bytes.
 *   E2E_CRC8        CRC8 SAE J1850 of the chosen bytes, in byte order.
 *   Both write their result (cut to the field's length) into `check`;
 *   "chosen" is the `bytes` mask (bit i: data byte i), 0 meaning every byte
 *   outside the check field. The counter is written first, so it is
 *   covered when its bytes are.
 *   E2E_P1          AUTOSAR profile 1: CRC8 with the J1850 polynomial
 *                   0x1D but initial value 0x00 and no final XOR (the
 *                   J1850 routine chained from start value 0x00, as the
 *                   profile calls it), over the data ID, then every data
 *                   byte but the CRC byte, in order. The
 *                   data ID enters by `p1_mode`: BOTH low byte then high
 *                   byte (1A), ALT the low byte on even counters and the
 *                   high byte on odd ones (1B), LOW the low byte only, and
 *                   NIBBLE the low byte, then a zero byte, with the high
 *                   byte's low nibble written into the data (`nibble`,
 *                   4 bits) (1C). Counter 4 bits, 0..14 (wrap 15).
 *   E2E_P2          AUTOSAR profile 2: CRC8H2F over every data byte but
 *                   the CRC byte, in order, then id_list[counter].
 *                   Counter 4 bits, 0..15.
 *   E2E_P5          AUTOSAR profile 5 (CAN FD): CRC16 over the data
 *                   before the CRC, the data after it, then the data ID's
 *                   low and high byte; the CRC stored low byte first at the
 *                   check field's byte, the 8-bit counter at the next
 *                   byte but one by default.
 * The profiles' defaults: CRC at byte 0 (profile 5: bytes 0-1), counter in
 * the low nibble of byte 1 (profile 5: byte 2); the user may move both.
 */
#ifndef NB_E2E_H
#define NB_E2E_H

#include <stddef.h>
#include <stdint.h>

#define E2E_MAX_BYTES 64

enum e2e_kind : uint8_t { E2E_NONE = 0, E2E_XOR = 1, E2E_CRC8 = 2, E2E_P1 = 3, E2E_P2 = 4,
                          E2E_P5 = 5 };
enum e2e_p1_mode : uint8_t { E2E_P1_BOTH = 0, E2E_P1_ALT = 1, E2E_P1_LOW = 2, E2E_P1_NIBBLE = 3 };

/* Some bits of the data: length 0 means none. */
struct e2e_field {
    uint16_t start;
    uint8_t length;              /* 1..64 */
    uint8_t motorola;
};

struct e2e_config {
    uint8_t kind;                /* e2e_kind */
    e2e_field counter;           /* length 0: no counter */
    uint32_t step;               /* added after each frame; 0 counts as 1 */
    uint64_t wrap;               /* the counter runs 0..wrap-1; 0: all its bits */
    e2e_field check;             /* where the checksum goes */
    uint64_t bytes;              /* E2E_XOR, E2E_CRC8: bytes covered, 0 all others */
    uint16_t data_id;            /* E2E_P1, E2E_P5 */
    uint8_t p1_mode;             /* e2e_p1_mode */
    e2e_field nibble;            /* E2E_P1_NIBBLE: where the high byte's nibble goes */
    uint8_t id_list[16];         /* E2E_P2 */
};

struct e2e_state {
    uint64_t counter;            /* the value the next frame carries */
};

uint8_t e2e_crc8_j1850(const uint8_t *p, size_t n);
uint8_t e2e_crc8h2f(const uint8_t *p, size_t n);
uint16_t e2e_crc16_ccitt(const uint8_t *p, size_t n);

/* A field's value, and writing one (cut to the field's bits). Fields
 * beyond len bytes read 0 and are not written. */
uint64_t e2e_get(const uint8_t *data, unsigned len, e2e_field f);
void e2e_put(uint8_t *data, unsigned len, e2e_field f, uint64_t v);

/* Sets c to a profile's defaults (positions, wrap) for kind, keeping the
 * data ID and ID list. */
void e2e_defaults(e2e_config *c, uint8_t kind);

/* The configuration fits a frame of len bytes: 0, or -1 with why (English,
 * short) for fields outside the frame, a profile's CRC or counter field of
 * the wrong size, a profile 5 frame of fewer than 3 bytes. */
int e2e_check(const e2e_config *c, unsigned len, const char **why);

/* Writes the counter (state->counter) and then the checksum into len data
 * bytes, and advances the counter by step, modulo the wrap. Returns 0, or
 * -1 (nothing written) when e2e_check refuses the configuration. */
int e2e_protect(const e2e_config *c, e2e_state *state, uint8_t *data, unsigned len);

#endif /* NB_E2E_H */
