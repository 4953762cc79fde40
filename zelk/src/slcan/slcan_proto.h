/*
 * slcan_proto.h - the serial-line CAN (Lawicel-style) ASCII protocol:
 * encoding of host commands and frames, decoding of the adapter's lines,
 * and a line assembler that survives garbage and split reads.
 *
 * Pure code: no I/O, no threads, no allocation. The backend
 * (slcan_backend.cpp) and the tests use it.
 */
#ifndef ZELK_SLCAN_PROTO_H
#define ZELK_SLCAN_PROTO_H

#include <stddef.h>
#include <stdint.h>

#include "zelk.h"

namespace zk_slcan {

/* Longest line accepted from an adapter. The longest valid one is an
 * extended CAN FD frame with 64 data bytes and a time stamp (142
 * characters); the slack covers version strings of chatty firmware. */
constexpr size_t kLineMax = 160;

/* Longest command the host sends, terminator included. */
constexpr size_t kCmdMax = 32;

/* Longest frame line the host sends (an extended FD frame of 64 bytes),
 * terminator and NUL included. */
constexpr size_t kFrameMax = 144;

/* CAN FD data rates of the Y command: Y<n> is n Mbit/s for these n. */
constexpr int kDataRates[] = {1, 2, 4, 5, 8};

/* The digit of Y for a data rate in bit/s, -1 when the dialect has none. */
int data_rate_digit(uint32_t bps);

/* Number of predefined rates: S0..S8 are the CiA rates of zelk.h in order. */
constexpr int kRateCount = ZK_CIA_RATES;

/* Nominal rate of S<index> in bit/s (0 for an index outside 0..8). */
uint32_t predefined_bitrate(int index);

/* Index 0..8 whose nominal rate is exactly bps, -1 when none. */
int index_for_bitrate(uint32_t bps);

/* Command formatting. Each writes a CR-terminated, NUL-terminated command
 * into buf and returns its length without the NUL, or 0 when it does not
 * fit or an argument is out of range. */
size_t fmt_simple(char *buf, size_t size, const char *cmd);          /* "O" -> "O\r" */
size_t fmt_rate(char *buf, size_t size, int index);                  /* "S6\r" */
size_t fmt_btr(char *buf, size_t size, uint8_t bt0, uint8_t bt1);    /* "s001C\r" */
size_t fmt_reg(char *buf, size_t size, char letter, uint32_t value); /* "M00000000\r" */

/* A frame as the adapter expects it: t/T/r/R line with CR. Returns 0 for
 * an invalid frame (length above 8, identifier too wide). */
size_t encode_frame(char *buf, size_t size, const zk_frame &f);

/* A CAN FD frame in the FD dialect: d (standard) / D (extended), or b / B
 * with BRS, the identifier, one hex digit of DLC code (0..F), the data.
 * The dialect has no ESI: the adapter's controller sets it. Returns 0 for
 * an invalid frame (length not an FD length, identifier too wide). */
size_t encode_fd_frame(char *buf, size_t size, const zk_fdframe &f);

/* Acceptance registers in the SJA1000 single-filter layout (ACR0 in the
 * top byte). In amr a set bit means "don't care". */
struct Registers {
    uint32_t acr;
    uint32_t amr;
};

/* Translates our filter (a mask bit set means that identifier bit must
 * equal the code bit) to registers that pass at least every frame of the
 * enabled formats that the filter accepts. With both formats enabled only
 * the bits on which both layouts agree are kept. The registers are a
 * pre-filter; exact filtering happens in software. */
Registers filter_registers(uint32_t code, uint32_t mask, bool std_frames, bool ext_frames);

enum class LineKind : uint8_t {
    Empty,    /* bare CR: command accepted (or a frame sent, on some firmware) */
    Bell,     /* BEL: command refused */
    AckStd,   /* "z": standard frame queued for sending */
    AckExt,   /* "Z": extended frame queued for sending */
    Frame,    /* received t/T/r/R frame */
    FdFrame,  /* received d/D/b/B CAN FD frame */
    Version,  /* "V..." */
    Serial,   /* "N..." */
    Status,   /* "Fxx" status flags */
    State,    /* "s" + a/w/p/b + rx and tx error counters (3 digits each) */
    BusError, /* "e..." bus error report */
    Invalid,  /* anything else: garbage, overlong, malformed */
};

/* Status flag bits of the F reply. */
enum : uint8_t {
    kFlagRxFull    = 0x01,
    kFlagTxFull    = 0x02,
    kFlagWarning   = 0x04,
    kFlagOverrun   = 0x08,
    kFlagPassive   = 0x20,
    kFlagArbLost   = 0x40,
    kFlagBusError  = 0x80,
};

struct Line {
    LineKind kind;
    zk_frame frame;      /* Frame (ts left 0) */
    zk_fdframe fdframe;  /* FdFrame (ts left 0) */
    bool     has_ts;     /* Frame, FdFrame carried the adapter's millisecond stamp */
    uint16_t ts_ms;
    uint8_t  status;     /* Status */
    char     state;      /* State: 'a', 'w', 'p' or 'b' */
    uint16_t rec, tec;   /* State */
    const char *text;    /* Version, Serial: characters after the letter */
    size_t   text_len;
};

/* Decodes one line without its terminator. A BEL is passed as the single
 * character "\a". Never fails: what it cannot read is LineKind::Invalid. */
void parse_line(const char *s, size_t n, Line *out);

/* Splits the adapter's byte stream into lines: a line ends at CR; a BEL
 * is a line of its own ("\a") and also ends any partial line before it;
 * LF is ignored. Lines with control or non-ASCII bytes, and lines longer
 * than kLineMax, are delivered with ok == false (their text is whatever
 * fitted). Input may be split anywhere. */
class LineAssembler {
public:
    template <class F>
    void feed(const char *p, size_t n, F &&on_line)
    {
        for (size_t i = 0; i < n; ++i) {
            const unsigned char c = static_cast<unsigned char>(p[i]);
            if (c == '\r') {
                on_line(static_cast<const char *>(buf_), len_, !bad_);
                len_ = 0;
                bad_ = false;
            } else if (c == 0x07) {
                if (len_ != 0 || bad_)
                    on_line(static_cast<const char *>(buf_), len_, false);
                len_ = 0;
                bad_ = false;
                on_line("\a", 1, true);
            } else if (c == '\n') {
                /* CR LF from some firmware: the CR already ended the line. */
            } else if (c < 0x20 || c > 0x7E) {
                bad_ = true;
                ++garbage_;
            } else if (len_ < kLineMax) {
                buf_[len_++] = static_cast<char>(c);
            } else {
                bad_ = true;
                ++garbage_;
            }
        }
    }
    /* Drops a partial line (after reopening the device). */
    void reset() { len_ = 0; bad_ = false; }
    /* Bytes dropped as garbage so far. */
    uint64_t garbage_bytes() const { return garbage_; }

private:
    char buf_[kLineMax + 1] = {};
    size_t len_ = 0;
    bool bad_ = false;
    uint64_t garbage_ = 0;
};

} // namespace zk_slcan

#endif /* ZELK_SLCAN_PROTO_H */
