/*
 * j1939.h - SAE J1939 observed on a bus: the parameter group number,
 * priority, source and destination of a 29-bit identifier; the transport
 * protocol's broadcasts (TP.BAM) and connections (TP.CM RTS/CTS/EndOfMsgAck/
 * Abort with TP.DT) reassembled into messages of up to 1785 bytes; the
 * address claim's NAME and the diagnostic messages DM1/DM2 decoded.
 *
 * Like the ISO-TP decoder it only watches, reports what it cannot
 * reassemble whole as an error event with the bytes it had, and takes all
 * its memory when it is made.
 */
#ifndef J1939_H
#define J1939_H

#include "dgframe.h"

#define J19_PGN_ACK 0xE800u
#define J19_PGN_REQUEST 0xEA00u
#define J19_PGN_TP_DT 0xEB00u
#define J19_PGN_TP_CM 0xEC00u
#define J19_PGN_ADDRESS_CLAIMED 0xEE00u
#define J19_PGN_DM1 0xFECAu
#define J19_PGN_DM2 0xFECBu

#define J19_TP_MAX 1785u          /* 255 packets of 7 bytes */
#define J19_GLOBAL 0xFFu          /* destination address of broadcasts */

/* The fields of a 29-bit identifier. */
struct j19_id {
    uint32_t pgn;                /* 18 bits; PDU1 formats have the PS byte 0 */
    uint8_t prio;                /* 0..7 */
    uint8_t sa;                  /* source address */
    uint8_t da;                  /* destination: PS of PDU1 formats, J19_GLOBAL for PDU2 */
    uint8_t pdu1;                /* PF below 240: destination specific */
};
void j19_split(uint32_t id, j19_id *out);
uint32_t j19_make_id(uint8_t prio, uint32_t pgn, uint8_t da, uint8_t sa);

enum j19_via : uint8_t { J19_SINGLE = 0, J19_BAM = 1, J19_RTS = 2 };

enum j19_code : int {
    J19_MESSAGE = 0,          /* a whole message (single frame or reassembled) */
    J19_E_SEQUENCE = 1,       /* TP.DT with sequence number got, expected expect */
    J19_E_TIMEOUT = 2,        /* no TP.DT or TP.CM in time (T1..T4) */
    J19_E_ABORT = 3,          /* Connection Abort, reason in reason */
    J19_E_INTERRUPTED = 4,    /* a new BAM or RTS of the same sender cut the transfer off */
    J19_E_BAD_CM = 5,         /* TP.CM that is not valid (control byte in got) */
    J19_E_UNEXPECTED_DT = 6,  /* TP.DT with no transfer open */
    J19_E_INCOMPLETE = 7,     /* EndOfMsgAck before every packet was seen */
    J19_E_BUSY = 8,           /* more transfers at once than the decoder follows */
};

/* One event. Data and the pointer to it are valid only during the call. */
struct j19_event {
    int code;                    /* j19_code */
    uint32_t pgn;                /* the message's PGN (reassembled: the one TP.CM named) */
    uint8_t via;                 /* j19_via */
    uint8_t prio, sa, da;
    uint8_t reason;              /* J19_E_ABORT: the abort reason */
    uint8_t tx, fd;              /* sent through this program; CAN FD frame */
    uint8_t reserved;
    uint32_t declared;           /* size TP.CM announced */
    uint32_t packets;            /* packets TP.CM announced */
    uint32_t expect, got;
    uint64_t t_first, t_last;
    const uint8_t *data;         /* the message; errors: the bytes received so far */
    uint32_t len;
};

typedef void (*j19_event_fn)(void *ctx, const j19_event *ev);

struct j19_config {
    uint32_t t1_ms;              /* between TP.DT of a broadcast or a block: 750 */
    uint32_t t2_ms;              /* TP.DT after a CTS: 1250 */
    uint32_t t3_ms;              /* CTS or EndOfMsgAck after RTS or a block: 1250 */
    uint32_t t4_ms;              /* next CTS after a CTS that holds the connection: 1050 */
    uint8_t singles;             /* report single-frame parameter groups as messages: 1 */
    uint8_t reserved[3];
};
void j19_config_default(j19_config *cfg);

#define J19_SESSIONS 64          /* transfers followed at once */

struct j19_decoder;
j19_decoder *j19_new(const j19_config *cfg, j19_event_fn fn, void *ctx);
void j19_free(j19_decoder *d);
/* Drops the transfers in progress (cfg null: keep the configuration). */
void j19_reset(j19_decoder *d, const j19_config *cfg);
/* Takes one frame: 1 when it was a 29-bit data frame (decoded here), else 0. */
int j19_feed(j19_decoder *d, const dg_frame *f);
void j19_tick(j19_decoder *d, uint64_t now_us);

/* The NAME of an address claim (8 bytes, little-endian 64 bits). */
struct j19_name {
    uint32_t identity;           /* 21 bits */
    uint16_t manufacturer;       /* 11 bits */
    uint8_t ecu_instance;        /* 3 bits */
    uint8_t function_instance;   /* 5 bits */
    uint8_t function;
    uint8_t vehicle_system;      /* 7 bits */
    uint8_t vehicle_system_instance; /* 4 bits */
    uint8_t industry_group;      /* 3 bits */
    uint8_t arbitrary_address;   /* 1 bit: can take another address */
};
void j19_name_decode(const uint8_t data[8], j19_name *out);

/* DM1/DM2: lamp states (0 off, 1 on, 2 reserved, 3 not available), their
 * flash states (0 slow, 1 fast, 2 reserved, 3 none) and the DTCs. */
struct j19_dtc {
    uint32_t spn;                /* 19 bits */
    uint8_t fmi;                 /* 5 bits */
    uint8_t oc;                  /* occurrence count, 127 not available */
    uint8_t cm;                  /* SPN conversion method bit */
};
struct j19_dm {
    uint8_t mil, rsl, awl, pl;               /* malfunction, red stop, amber warning, protect */
    uint8_t mil_flash, rsl_flash, awl_flash, pl_flash;
    uint32_t ndtc;               /* DTCs in the message (may exceed what was filled) */
};
/* Decodes a DM1 or DM2 of len bytes; fills up to max DTCs. A message
 * whose only DTC is all zero (SPN 0, FMI 0) has none. Returns 0, or -1
 * when it is shorter than 6 bytes. */
int j19_dm_decode(const uint8_t *data, uint32_t len, j19_dm *out, j19_dtc *dtcs, uint32_t max);

/* Names of a few parameter groups (the transport, network management,
 * diagnostic and common ones), or null. */
const char *j19_pgn_name(uint32_t pgn);
/* Name of a connection abort reason, or null. */
const char *j19_abort_name(uint8_t reason);
/* Name of a failure mode identifier 0..31, or null. */
const char *j19_fmi_name(uint8_t fmi);

#endif /* J1939_H */
