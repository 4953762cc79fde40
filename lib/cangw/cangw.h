/*
 * cangw.h - a gateway between CAN channels: rules that pass frames from one
 * channel to another, filtered and changed on the way, as the kernel's
 * can-gw does (its rules are written in cangw's option syntax, see
 * cangw_rule_parse), plus AUTOSAR E2E checksums (lib/e2e).
 *
 * One rule: source and destination channel, a receive filter, up to four
 * modifications applied in the order AND, OR, XOR, SET on the identifier
 * (the kernel's can_id with its EFF and RTR bits), the length, the data
 * and (FD rules) the FD flags, then a CRC8, an XOR checksum and an E2E
 * profile. A classic rule takes classic frames only, an FD rule FD frames
 * only, as in the kernel.
 *
 * Loops: every frame the gateway sends is remembered for a while with its
 * hop count; when it shows up again (its echo as a sent frame on its
 * channel, or, within CANGW_BUS_MS, received on another channel known to
 * be on the same bus) it carries that count, and a rule does not pass a
 * frame of max_hops hops or more (default 1: a frame the gateway sent is
 * never passed on again). Such frames are counted as deleted, as the
 * kernel does. A frame received on a channel of a bus of its own is never
 * taken for one of ours, so an unchanged periodic message is passed on
 * every time.
 *
 * Nothing is allocated per frame; a cangw record is one plain block that
 * its owner keeps. Not thread-safe: one thread drives one gateway.
 */
#ifndef NB_CANGW_H
#define NB_CANGW_H

#include <stddef.h>
#include <stdint.h>

#include "e2e.h"
#include "zelk.h"

#define CANGW_MAX_RULES 32
#define CANGW_MAX_CHANNELS 16
#define CANGW_MAX_HOPS 6
#define CANGW_OWN_RING 512            /* frames remembered as the gateway's own */
#define CANGW_OWN_MS 2000             /* ... for this long (stream time) */
#define CANGW_BUS_MS 100              /* its copy on a shared bus comes within this */
#define CANGW_DELAYS 1024             /* last delays kept for the median */
#define CANGW_TEXT_MAX 2048           /* a rule as text, NUL included */

/* The kernel's identifier flag bits, as modifications see them. */
#define CANGW_ID_EFF 0x80000000u
#define CANGW_ID_RTR 0x40000000u
#define CANGW_ID_ERR 0x20000000u
#define CANGW_FILTER_INV 0x20000000u  /* in filter_id: the inverse filter id~mask */
/* FD flags as modifications see them (the kernel's CANFD_*). */
#define CANGW_FD_BRS 0x01u
#define CANGW_FD_ESI 0x02u
#define CANGW_FD_FDF 0x04u

/* What a modification touches. */
#define CANGW_MOD_ID 0x01u
#define CANGW_MOD_LEN 0x02u
#define CANGW_MOD_DATA 0x04u
#define CANGW_MOD_FLAGS 0x08u         /* FD rules only */

enum cangw_op : uint8_t { CANGW_AND = 0, CANGW_OR = 1, CANGW_XOR = 2, CANGW_SET = 3 };

enum cangw_crc_profile : uint8_t {
    CANGW_CRC8PRF_NONE = 0,
    CANGW_CRC8PRF_1U8 = 1,            /* one more byte: profile_data[0] */
    CANGW_CRC8PRF_16U8 = 2,           /* profile_data[data[1] & 0xF] */
    CANGW_CRC8PRF_SFFID_XOR = 3       /* (id & 0xFF) ^ (id >> 8 & 0xFF) */
};

struct cangw_mod {
    uint8_t what;                     /* CANGW_MOD_*, 0: unused */
    uint8_t flags;                    /* FD flags operand */
    uint8_t len;                      /* length operand (classic: the DLC, 0..15) */
    uint32_t id;                      /* identifier operand, kernel can_id form */
    uint8_t data[64];                 /* classic rules use the first 8 */
};

/* Indexes into the data: 0.. from the start, -1.. from the end of the
 * frame's length (as the kernel counts them). */
struct cangw_xor {
    uint8_t on;
    int8_t from, to, result;
    uint8_t init;
};

struct cangw_crc8 {
    uint8_t on;
    int8_t from, to, result;
    uint8_t init, final_xor;
    uint8_t poly;                     /* the table's polynomial, when it was made from one */
    uint8_t profile;                  /* cangw_crc_profile */
    uint8_t profile_data[20];
    uint8_t table[256];
};

struct cangw_rule {
    uint16_t src, dst;                /* channel indexes */
    uint8_t fd;                       /* an FD rule (FD frames only) */
    uint8_t fd_to_classic;            /* FD rule: an FD frame of up to 8 bytes may go
                                       * to a classic destination as a classic frame */
    uint8_t limit_hops;               /* 0: max_hops; else at most this many hops */
    uint8_t to_source;                /* src may equal dst (cangw -i) */
    uint8_t has_filter;
    uint32_t filter_id, filter_mask;  /* kernel can_filter form, CANGW_FILTER_INV */
    cangw_mod mod[4];                 /* by cangw_op */
    cangw_crc8 crc8;
    cangw_xor xor_cs;
    e2e_config e2e;                   /* E2E_P1 or E2E_P2, E2E_NONE: none; the
                                       * frame keeps its own counter */
};

struct cangw_counters {
    uint64_t handled;                 /* sent on */
    uint64_t dropped;                 /* could not be sent (destination refused it,
                                       * listen-only, FD frame to a classic channel) */
    uint64_t deleted;                 /* past the hop limit, or an invalid result */
};

/* How the gateway sends: 0 or a negative ZK_E_* code. */
struct cangw_ops {
    int (*send)(void *ctx, uint16_t channel, const zk_fdframe *frame);
};

struct cangw_chan {
    uint8_t present, fd, lom;
    uint8_t bus;                      /* channels of one bus share a number; 0: its own */
};

struct cangw_own {
    uint64_t time_us;                 /* when the frame it came from arrived */
    uint32_t id;
    uint16_t channel;                 /* sent on */
    uint8_t flags, len, hops;
    uint8_t seen_tx;                  /* its echo as a sent frame came */
    uint16_t seen_rx;                 /* bit c: came in received on channel c */
    uint8_t data[64];
};

struct cangw {
    const cangw_ops *ops;
    void *ctx;
    uint8_t running;
    uint8_t max_hops;                 /* 1..CANGW_MAX_HOPS */
    uint16_t nrules;
    cangw_rule rule[CANGW_MAX_RULES];
    e2e_state e2e[CANGW_MAX_RULES];
    cangw_counters count[CANGW_MAX_RULES];
    cangw_chan chan[CANGW_MAX_CHANNELS];
    cangw_own own[CANGW_OWN_RING];
    uint32_t own_next;
    uint32_t delay_us[CANGW_DELAYS];
    uint32_t ndelays;                 /* delays measured in all */
    uint32_t worst_us;
};

/* A rule as cangw's options read it (empty mods, no filter, no checksums). */
void cangw_rule_init(cangw_rule *r);

/* A CRC8 table for a polynomial (MSB first, as CRC8 SAE J1850's 0x1D). */
void cangw_crc8_table(uint8_t poly, uint8_t table[256]);

/* Whether the rule can work: 0, or -1 with why (English, short). */
int cangw_rule_check(const cangw_rule *r, const char **why);

/* Reads a rule from cangw's options (-s, -d as channel indexes; -X, -l,
 * -f, -m, -M, -x, -c, -p as cangw takes them; -c's table may be given as
 * one polynomial byte) and our own: -y (an FD frame may go to a classic
 * destination), -E P1:dataid:mode or P2:idlist, optionally followed by
 * :crcbyte:counterbit (E2E; defaults CRC byte 0, counter bits 8..11).
 * 0, or -1 with why. */
int cangw_rule_parse(const char *text, cangw_rule *r, const char **why);

/* Writes a rule in the syntax cangw_rule_parse reads; with kernel set,
 * exactly the options cangw takes (-s/-d left out, the full CRC table, no
 * -y/-E). Returns the length, or -1 when it does not fit size. */
int cangw_rule_format(const cangw_rule *r, int kernel, char *buf, size_t size);

/* The frame is for this rule: its kind (classic or FD) and the filter. */
int cangw_rule_match(const cangw_rule *r, const zk_fdframe *f);

/* Channels renumbered (one removed, the others moved down): map[i] is the
 * new index of channel i (of nmap), -1 when it is gone. Rewrites the rule's
 * text (in cangw_rule_format's form) with the new indexes. 1: rewritten,
 * 0: unchanged (also for a text that does not read), -1: one of its
 * channels is gone (text unchanged). */
int cangw_rule_renumber(char *text, size_t size, const int *map, unsigned nmap);

/* Applies the rule's filter test, modifications and checksums to *f; the
 * frame as it would leave, as the kernel makes it. 1: passes, 0: not for
 * this rule (filter, frame kind), -1: deleted (invalid length). */
int cangw_rule_apply(const cangw_rule *r, e2e_state *st, zk_fdframe *f);

void cangw_init(cangw *gw, const cangw_ops *ops, void *ctx);
/* Rules: replaced whole; counters and E2E state of rules start again. */
int cangw_set_rules(cangw *gw, const cangw_rule *rules, unsigned n, const char **why);
void cangw_set_channel(cangw *gw, unsigned channel, int present, int fd, int lom);
/* Channels on one bus (two channels of one simulated board): the same
 * number, 1..255; 0 (the default) a bus of the channel's own. */
void cangw_set_bus(cangw *gw, unsigned channel, unsigned bus);
void cangw_start(cangw *gw);
void cangw_stop(cangw *gw);
void cangw_reset_counters(cangw *gw);

/* One frame seen on a channel: received from the bus (tx 0) or sent on it
 * by this program (tx 1), at time_us. Passes it through every rule while
 * the gateway runs. Returns the number of frames sent. */
int cangw_frame(cangw *gw, uint16_t channel, int tx, uint64_t time_us, const zk_fdframe *f);

/* The forwarding delays measured (a frame's arrival to its own echo as a
 * sent frame): median of the last CANGW_DELAYS and the worst; 0 when none. */
int cangw_delay(const cangw *gw, uint32_t *median_us, uint32_t *worst_us);

#endif /* NB_CANGW_H */
