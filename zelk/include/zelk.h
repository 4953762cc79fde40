/*
 * zelk.h - ZELK CAN adapter access library, public interface.
 *
 * Usable from C and C++. Every function returns a signed 16-bit code,
 * negative on failure (ZK_E_*), except ZkGetLibVer. Channels are numbered
 * globally 0..255 across all boards; boards are numbered 0..7 and may have
 * gaps. Records are little-endian with natural alignment; their sizes and
 * offsets are part of the interface and are checked below.
 *
 * The library reads its board list from the environment variable
 * ZELK_BOARDS, else from $XDG_CONFIG_HOME/zelk/boards, else it uses the
 * default list: board 0 is one simulated board with two channels (whether
 * or not anything else exists), boards 1 to 7 are the CAN network
 * interfaces of the machine (sysfs type 280) in natural name order (can2
 * before can10), one each. Syntax: board specifications separated by ';',
 * each "[N=]KIND[:ARGS]", for example
 * "0=sim:channels=2,rate=500;2=slcan:/dev/ttyACM0;3=socketcan:can0,can1".
 *
 * Kinds: "sim" (a simulated bus, one for all the user's programs), "slcan"
 * (serial ASCII adapters on a tty), "socketcan" (Linux CAN interfaces:
 * "socketcan:can0" is one channel, "socketcan:can0,can1" one board with a
 * channel per interface, at most 4).
 * A socketcan board's name gives the interfaces and the kernel driver, its
 * serial number is the USB device's where sysfs has one. Setting the bit
 * rate or listen-only mode and bringing the interface up need
 * CAP_NET_ADMIN unless the setting is already in force (ZK_E_PERM, with a
 * text that says what to run); interfaces without bit timing (vcan) take
 * any rate.
 *
 * CAN FD (since version 1.1). A channel opened with ZK_OPEN_FD runs its
 * controller in CAN FD mode: it receives and sends classic frames as
 * before and FD frames (up to 64 bytes, optionally with the data phase at
 * the data bit rate) through ZkReadFd and ZkWriteFd; ZkSetDataRate sets
 * the data-phase bit rate beside the nominal rate of ZkSetBaud. Whether a
 * channel's adapter can do FD at all is bit N of zk_board.fd_slots and
 * zk_chipstat.fd_capable; opening a channel that cannot with ZK_OPEN_FD
 * fails with ZK_E_NOFD. A program written for classic CAN (ZkRead,
 * ZkWrite) keeps working unchanged: on any channel it gets the classic
 * frames, and FD frames it cannot take are counted in
 * zk_chipstat.fd_skipped (and shown by ZkChipStatToStr), never silently
 * lost.
 */
#ifndef ZELK_H
#define ZELK_H

#include <stdint.h>
#include <stddef.h>

#ifdef __cplusplus
extern "C" {
#endif

#if defined(__GNUC__)
#define ZK_API __attribute__((visibility("default")))
#else
#define ZK_API
#endif

/* Version word of this library: bits 23-16 major, 15-8 minor, 7-0 patch. */
#define ZK_VERSION_MAJOR 1
#define ZK_VERSION_MINOR 3
#define ZK_VERSION_PATCH 0

/* Frame flags. zk_frame uses EFF and RTR only, zk_fdframe all of them. */
#define ZK_FRAME_EFF 0x01u /* extended 29-bit identifier */
#define ZK_FRAME_RTR 0x02u /* remote transmission request (classic frames only) */
#define ZK_FRAME_FDF 0x04u /* a CAN FD frame */
#define ZK_FRAME_BRS 0x08u /* FD: data phase at the data bit rate */
#define ZK_FRAME_ESI 0x10u /* FD: the sender was error passive */

/* Open flags: frame formats the channel receives and sends. 0 only probes. */
#define ZK_OPEN_PROBE 0u
#define ZK_OPEN_STD   2u
#define ZK_OPEN_EXT   4u
#define ZK_OPEN_BOTH  6u
/* Or-ed with STD, EXT or BOTH: open the channel in CAN FD mode. */
#define ZK_OPEN_FD    8u
/* Or-ed with STD, EXT or BOTH (since 1.3): keep the fate of every frame
 * written for ZkTxResults. */
#define ZK_OPEN_TXRESULT 16u

/* CAN FD variant for ZkSetDataRate. */
#define ZK_FD_ISO     0u  /* ISO 11898-1:2015 (CRC with stuff count) */
#define ZK_FD_NON_ISO 1u  /* the original, pre-ISO CAN FD */

#define ZK_MAX_BOARDS          8
#define ZK_MAX_CHANNELS        256
#define ZK_CHANNELS_PER_BOARD  4
#define ZK_RX_QUEUE_MIN        8192

/* Result codes. 0 (or positive) is success. */
#define ZK_OK              0
#define ZK_E_NOCHAN       -1  /* no such channel */
#define ZK_E_NOTOPEN      -2  /* channel not open */
#define ZK_E_BUSY         -3  /* channel is open in this or another process */
#define ZK_E_NOTINIT      -4  /* ZkInit was not called or failed */
#define ZK_E_CONFIG       -5  /* board configuration malformed (text says where) */
#define ZK_E_BADARG       -6  /* invalid argument */
#define ZK_E_NOTSTARTED   -7  /* controller is not started */
#define ZK_E_LOM          -8  /* controller is in listen-only mode */
#define ZK_E_WTOUT        -9  /* write timeout: transmit queue stayed full */
#define ZK_E_QEMPTY      -10  /* nothing to report */
#define ZK_E_IO          -11  /* device I/O error */
#define ZK_E_NORATE      -12  /* bit rate cannot be produced by this adapter */
#define ZK_E_NOMEM       -13  /* out of memory */
#define ZK_E_BUSOFF      -14  /* controller is bus-off */
#define ZK_E_GONE        -15  /* device disappeared; reopen the channel */
#define ZK_E_NOSERIAL    -16  /* board has no serial number */
#define ZK_E_NODEV       -17  /* device cannot be opened */
#define ZK_E_NORESPONSE  -18  /* device does not answer */
#define ZK_E_PROTO       -19  /* device answered something unexpected */
#define ZK_E_NOBOARD     -20  /* no such board */
#define ZK_E_UNSUPPORTED -21  /* operation not supported by this adapter */
#define ZK_E_FORMAT      -22  /* frame format (11/29-bit) not enabled on this channel */
#define ZK_E_PERM        -23  /* not permitted (the text says what to do) */
#define ZK_E_NOFD        -24  /* adapter cannot do CAN FD, or channel not opened for FD */
#define ZK_E_BADLEN      -25  /* data length not valid: classic 0..8, FD 0..8, 12, 16,
                               * 20, 24, 32, 48 or 64 */

/* One CAN frame, 20 bytes. The receive time ts counts microseconds on the
 * monotonic clock (the low 32 bits of CLOCK_MONOTONIC, so it wraps after
 * about 71 minutes); frames of one channel arrive in time order. */
typedef struct zk_frame {
    uint32_t id;          /* 11- or 29-bit identifier */
    uint8_t  flags;       /* ZK_FRAME_EFF, ZK_FRAME_RTR */
    uint8_t  len;         /* data length 0..8 */
    uint8_t  data[8];
    uint8_t  reserved[2];
    uint32_t ts;          /* receive time in microseconds, set by the library; ignored on write */
} zk_frame;

/* One classic or CAN FD frame, 76 bytes. id, len and ts mean what they
 * mean in zk_frame (ts on the same clock); len is the number of data
 * bytes, not the DLC code. A classic frame has ZK_FRAME_FDF clear, len
 * 0..8 and may be remote; an FD frame has ZK_FRAME_FDF set, optionally
 * BRS and ESI, one of the FD lengths and is never remote. Data bytes past
 * len are 0 in received frames and ignored on write. */
typedef struct zk_fdframe {
    uint32_t id;          /* 11- or 29-bit identifier */
    uint8_t  flags;       /* ZK_FRAME_* */
    uint8_t  len;         /* data length 0..64 */
    uint8_t  reserved[2]; /* 0 */
    uint32_t ts;          /* receive time in microseconds, as zk_frame.ts; ignored on write */
    uint8_t  data[64];
} zk_fdframe;

/* Error counters since the last ZkErrsGetClear, 10 bytes. */
typedef struct zk_errs {
    uint16_t ewl;   /* error warning limit crossed */
    uint16_t boff;  /* bus-off */
    uint16_t hovr;  /* controller (hardware) overrun */
    uint16_t sovr;  /* receive queue (software) overrun */
    uint16_t wtout; /* write timeout */
} zk_errs;

/* One board, 144 bytes. Set number before ZkBoardInfo. */
typedef struct zk_board {
    uint8_t number;            /* board number 0..7 */
    uint8_t fd_slots;          /* bit N set: the channel in slot N can do CAN FD (as
                                * far as known before it is opened: a serial adapter
                                * tells when it has been opened once) */
    uint8_t reserved[6];
    int16_t chip[4];           /* channel number per slot, negative when empty */
    char    name[64];          /* NUL-terminated */
    char    manufacturer[64];  /* NUL-terminated */
} zk_board;

/* Controller status, 64 bytes. */
typedef struct zk_chipstat {
    uint16_t chan;        /* channel the status was read from */
    int16_t  board;       /* board number */
    int32_t  irq;         /* interrupt line, -1 when none */
    uint32_t base;        /* base address, 0 when none */
    uint8_t  state;       /* 0 stopped, else running */
    uint8_t  lom;         /* listen-only mode on */
    uint8_t  bus_state;   /* 0 error active, 1 warning, 2 passive, 3 bus-off */
    uint8_t  reserved0;
    uint32_t hovr;        /* hardware overruns since open */
    uint32_t sovr;        /* software overruns since open */
    uint8_t  rec;         /* receive error counter */
    uint8_t  tec;         /* transmit error counter */
    uint8_t  bt0, bt1;    /* bus timing registers in force */
    uint32_t bitrate;     /* bit/s in force, 0 when unknown */
    uint32_t data_bitrate;/* FD data-phase bit/s in force, 0 on a classic channel or when unknown */
    uint16_t data_sp;     /* FD data-phase sample point in permille, 0 when unknown */
    uint8_t  fd;          /* 0 classic, 1 CAN FD (ISO), 2 CAN FD (non-ISO) */
    uint8_t  fd_capable;  /* the channel's adapter can do CAN FD */
    uint32_t fd_skipped;  /* FD frames ZkRead could not hand over since open (or,
                           * on a channel opened without ZK_OPEN_FD, that arrived) */
    uint32_t tx_dropped;  /* (1.3) frames written since open that were never sent
                           * (ZK_TX_DROPPED), with or without ZK_OPEN_TXRESULT
                           * where the adapter tells without it (sim, slcan) */
    uint32_t ack_errors;  /* (1.3) transmissions since open that no node
                           * acknowledged; 0 where the adapter does not tell */
    uint8_t  reserved1[12];
} zk_chipstat;

/* Status as text, 1024 bytes: 32 names, then 32 values, each 16 bytes and
 * NUL-terminated. An empty name ends the list; the entry "CAN chip" opens
 * the controller's own entries. */
typedef struct zk_chipstat_text {
    char name[32][16];
    char value[32][16];
} zk_chipstat_text;

/*
 * CAN facts, inline so that a program needs nothing linked for them: the
 * one table of each that the library, the host and the plug-ins use.
 */

/* CAN FD lengths: the data length of DLC code dlc (0..8, then 12, 16, 20,
 * 24, 32, 48, 64 for 9..15; bits above the low four ignored); the smallest
 * DLC code whose length holds len bytes (15 above 64); and len rounded up
 * to a length an FD frame can have (len itself when it is one). */
static inline uint8_t zk_fd_len(unsigned dlc)
{
    static const uint8_t len[16] = {0, 1, 2, 3, 4, 5, 6, 7, 8, 12, 16, 20, 24, 32, 48, 64};
    return len[dlc & 15u];
}
static inline uint8_t zk_fd_dlc(unsigned len)
{
    uint8_t dlc = len <= 8 ? (uint8_t)len : 9;
    while (dlc < 15 && zk_fd_len(dlc) < len) dlc++;
    return dlc;
}
static inline uint8_t zk_fd_round_len(unsigned len)
{
    return zk_fd_len(zk_fd_dlc(len));
}

/* The CiA predefined nominal bit rates, index 0..8 (10, 20, 50, 100, 125,
 * 250, 500, 800, 1000 kbit/s), each with the SJA1000 bus timing register
 * pair at 16 MHz that ZkSetBaud takes for it. */
#define ZK_CIA_RATES 9
typedef struct zk_cia_rate {
    uint16_t kbit;
    uint8_t  bt0;
    uint8_t  bt1;
} zk_cia_rate;

/* The rate of index i, or null outside 0..ZK_CIA_RATES-1. */
static inline const zk_cia_rate *zk_cia_rate_at(int i)
{
    static const zk_cia_rate rates[ZK_CIA_RATES] = {
        {10, 0x31, 0x1C},  {20, 0x18, 0x1C},  {50, 0x09, 0x1C},
        {100, 0x04, 0x1C}, {125, 0x03, 0x1C}, {250, 0x01, 0x1C},
        {500, 0x00, 0x1C}, {800, 0x00, 0x16}, {1000, 0x00, 0x14},
    };
    return i >= 0 && i < ZK_CIA_RATES ? &rates[i] : (const zk_cia_rate *)0;
}
/* The index of the CiA rate of kbit kbit/s, -1 when it is none. */
static inline int zk_cia_index(uint32_t kbit)
{
    for (int i = 0; i < ZK_CIA_RATES; i++)
        if (zk_cia_rate_at(i)->kbit == kbit) return i;
    return -1;
}

ZK_API int16_t  ZkInit(void);
ZK_API uint32_t ZkGetLibVer(void);
ZK_API int16_t  ZkOpen(uint8_t chan, uint8_t flags);
ZK_API int16_t  ZkClose(uint8_t chan);
ZK_API int16_t  ZkSetBaud(uint8_t chan, uint8_t bt0, uint8_t bt1);
ZK_API int16_t  ZkSetWriteTout(uint8_t chan, uint16_t ms);
/* set 1: request *ms; the value left in *ms is the one in force. set 0: read it. */
ZK_API int16_t  ZkWriteTout(uint8_t chan, uint8_t set, uint16_t *ms);
ZK_API int16_t  ZkSetFilter(uint8_t chan, uint32_t code, uint32_t mask);
ZK_API int16_t  ZkSetLom(uint8_t chan, uint8_t on);
ZK_API int16_t  ZkStart(uint8_t chan);
ZK_API int16_t  ZkStop(uint8_t chan);
ZK_API int16_t  ZkHwReset(uint8_t chan);
ZK_API int16_t  ZkRcQueEmpty(uint8_t chan);
/* Never blocks: returns the number of frames stored (0 when none). Returns
 * classic frames only: FD frames in the queue are skipped and counted in
 * zk_chipstat.fd_skipped. */
ZK_API int16_t  ZkRead(uint8_t chan, zk_frame *buf, uint16_t n);
/* Like ZkRead, but every frame in receive order, classic (ZK_FRAME_FDF
 * clear) and FD alike. On a channel opened without ZK_OPEN_FD that is the
 * classic frames only. */
ZK_API int16_t  ZkReadFd(uint8_t chan, zk_fdframe *buf, uint16_t n);
/* Queues up to n frames; returns how many were queued (n on success), or
 * the code of the first frame's failure. Waits at most the write timeout
 * for room in the transmit queue (then ZK_E_WTOUT, counted in wtout). */
ZK_API int16_t  ZkWrite(uint8_t chan, const zk_frame *frames, uint16_t n);
/* Like ZkWrite for classic and FD frames. A classic frame (ZK_FRAME_FDF
 * clear) is sent as ZkWrite sends it. An FD frame needs a channel opened
 * with ZK_OPEN_FD (else ZK_E_NOFD) and one of the FD lengths (else
 * ZK_E_BADLEN; a classic frame longer than 8 bytes gives ZK_E_BADLEN as
 * well); RTR with FDF, or BRS or ESI without it, give ZK_E_BADARG.
 * ZK_FRAME_ESI is sent where the adapter lets the sender set it; the
 * controller sets it itself otherwise. */
ZK_API int16_t  ZkWriteFd(uint8_t chan, const zk_fdframe *frames, uint16_t n);
/* Data-phase bit rate of a channel opened with ZK_OPEN_FD, like ZkSetBaud
 * for the nominal rate (best set before ZkStart: a backend that has to
 * stop the controller for it restarts it): bitrate in bit/s (1, 2, 4, 5
 * and 8 Mbit/s where the adapter can produce them), sample_point in
 * permille (for example 750) or 0 for the adapter's choice, mode
 * ZK_FD_ISO or ZK_FD_NON_ISO. ZK_E_NOFD on a channel opened without
 * ZK_OPEN_FD, ZK_E_NORATE when the adapter cannot produce the rate,
 * ZK_E_UNSUPPORTED for a sample point or mode the adapter cannot set,
 * ZK_E_BADARG for values outside any CAN FD controller's range. */
ZK_API int16_t  ZkSetDataRate(uint8_t chan, uint32_t bitrate, uint16_t sample_point,
                              uint8_t mode);
/* Fills the counts since the last call and clears them; ZK_OK also when
 * every count is 0. */
ZK_API int16_t  ZkErrsGetClear(uint8_t chan, zk_errs *errs);
/* The channel's clock now, on the scale of its frames' receive times
 * (zk_frame.ts): lets the application put its own events, such as the
 * frames it sent, on the same time base as the frames it received. */
ZK_API int16_t  ZkGetClock(uint8_t chan, uint32_t *now_us);
ZK_API int16_t  ZkChipStat(uint8_t chan, zk_chipstat *st);
ZK_API int16_t  ZkChipStatToStr(const zk_chipstat *st, zk_chipstat_text *text);
ZK_API int16_t  ZkBoardInfo(zk_board *board);
ZK_API int16_t  ZkBoardGetSerial(uint8_t board, char *buf, uint16_t size);
ZK_API int16_t  ZkStrError(int16_t code, char *buf, uint16_t size);

/*
 * Transmit results (since 1.3). ZkWrite and ZkWriteFd accept a frame into
 * the adapter's transmit queue; whether it then went out on the bus is
 * told later. A channel opened with ZK_OPEN_TXRESULT numbers the frames
 * it accepts from 0 at ZkOpen (wrapping at 2^32), in the order accepted,
 * and tells the fate of every one of them exactly once, in that order, as
 * runs of consecutive frames with the same fate:
 *   ZK_TX_SENT     acknowledged on the bus; ts: when the run's last frame
 *                  ended on the bus (or, where the adapter only confirms,
 *                  when its confirmation arrived)
 *   ZK_TX_HANDED   handed to an adapter that tells nothing after that (a
 *                  serial adapter that only answers "queued"); ts: when it
 *                  took the last frame of the run
 *   ZK_TX_DROPPED  never sent: still queued when the controller was
 *                  stopped or reset, went bus-off, or the device was lost;
 *                  ts: when the library gave them up
 * ts is on the clock of received frames (zk_frame.ts). A frame that no
 * node acknowledges is retried by the controller and stays unsettled until
 * it is sent after all or dropped (at bus-off, at the latest at ZkStop);
 * zk_chipstat.ack_errors counts such attempts where the adapter tells.
 * Cyclic jobs' frames are not writes and have no results. Without
 * ZK_OPEN_TXRESULT nothing is kept and ZkTxResults gives ZK_E_BADARG.
 * What each kind tells: sim SENT at the frame's end; slcan HANDED when
 * the adapter answers z/Z (or, one that answers nothing, when written),
 * DROPPED when it refuses a frame after ZkWrite returned; socketcan SENT
 * when the kernel confirms the frame (on an interface the library does
 * not take down, frames unconfirmed 100 ms after ZkStop or ZkHwReset are
 * given up as DROPPED although the controller may still send them).
 */
#define ZK_TX_SENT    0u
#define ZK_TX_HANDED  1u
#define ZK_TX_DROPPED 2u

/* A run of frames with one fate, 12 bytes. */
typedef struct zk_txresult {
    uint32_t seq;      /* number of the run's first frame */
    uint16_t count;    /* frames in the run, 1..65535: seq .. seq + count - 1 */
    uint8_t  status;   /* ZK_TX_* */
    uint8_t  reserved; /* 0 */
    uint32_t ts;       /* see above */
} zk_txresult;

/* Never blocks: moves up to n runs, oldest first, into buf and returns
 * how many (0 when none is waiting). Runs are kept until read, however
 * long: consecutive frames of one fate extend the newest run, so the
 * queue holds few (a new run needs a change of fate). Should 1024 runs
 * wait unread, the fates that find no room are not kept: the next run's
 * seq then skips those frames. ZK_E_GONE after the device was lost, once
 * the last runs (the frames dropped then) were read. */
ZK_API int16_t  ZkTxResults(uint8_t chan, zk_txresult *buf, uint16_t n);

/*
 * Cyclic sending (since 1.2). The adapter's driver sends a frame, or a
 * sequence of frames in turn, every period by itself, on a timer of its
 * own, so the cycle holds whatever the application does. Where the
 * adapter cannot, every call gives ZK_E_UNSUPPORTED: the application then
 * sends by itself. Today the socketcan boards can (the kernel's broadcast
 * manager, CAN_BCM); the simulated and slcan boards cannot.
 *
 * A job is named by its frames' identifier and format: id with
 * ZK_FRAME_EFF, and ZK_FRAME_FDF for an FD job (flags of other bits are
 * ignored there); a channel runs at most ZK_CYCLIC_MAX jobs. Frames sent
 * by a job come back to the channel as received frames (the driver hands
 * every frame sent on an interface to its other readers), once each, at
 * the time they were sent; they are not the application's writes.
 * ZkStop, listen-only mode and ZkClose end every job of the channel.
 */
#define ZK_CYCLIC_MAX    64   /* jobs per channel */
#define ZK_CYCLIC_FRAMES 256  /* frames in one job's sequence */

/* Starts or changes a job: frames[0..n-1] (n 1..ZK_CYCLIC_FRAMES, all of
 * one identifier and format, each checked as ZkWriteFd checks it), one
 * every period_us microseconds (100 us .. 1 hour) in turn, then again from
 * the first. A new job sends its first frame at once. Setting a job that
 * runs replaces its frames from the next one sent on, the turn going on
 * where it was; a change of period or of n restarts the cycle at once with
 * frames[0]. ZK_E_NOTSTARTED, ZK_E_LOM, ZK_E_FORMAT, ZK_E_NOFD as for
 * ZkWriteFd; ZK_E_NOMEM when the channel runs ZK_CYCLIC_MAX other jobs. */
ZK_API int16_t  ZkCyclicSet(uint8_t chan, const zk_fdframe *frames, uint16_t n,
                            uint32_t period_us);
/* Ends the job; ZK_OK also when there was none. *sent (when not null):
 * the frames it sent in all, its timer stopped first, so that the next
 * frame of a sequence is frames[*sent % n] (0 when there was no job). */
ZK_API int16_t  ZkCyclicStop(uint8_t chan, uint32_t id, uint8_t flags, uint32_t *sent);
/* Frames the job has sent since it started (the driver's count where it
 * tells, else as they come back). ZK_E_QEMPTY when no such job runs
 * (never set, stopped or ended), ZK_E_NOTSTARTED when the controller is
 * stopped. */
ZK_API int16_t  ZkCyclicSent(uint8_t chan, uint32_t id, uint8_t flags, uint32_t *sent);

#ifdef __cplusplus
} /* extern "C" */

static_assert(sizeof(zk_frame) == 20, "zk_frame size");
static_assert(offsetof(zk_frame, id) == 0 && offsetof(zk_frame, flags) == 4 &&
              offsetof(zk_frame, len) == 5 && offsetof(zk_frame, data) == 6 &&
              offsetof(zk_frame, reserved) == 14 && offsetof(zk_frame, ts) == 16,
              "zk_frame layout");
static_assert(sizeof(zk_fdframe) == 76, "zk_fdframe size");
static_assert(offsetof(zk_fdframe, id) == 0 && offsetof(zk_fdframe, flags) == 4 &&
              offsetof(zk_fdframe, len) == 5 && offsetof(zk_fdframe, reserved) == 6 &&
              offsetof(zk_fdframe, ts) == 8 && offsetof(zk_fdframe, data) == 12,
              "zk_fdframe layout");
static_assert(sizeof(zk_errs) == 10, "zk_errs size");
static_assert(offsetof(zk_errs, boff) == 2 && offsetof(zk_errs, wtout) == 8, "zk_errs layout");
static_assert(sizeof(zk_board) == 144, "zk_board size");
static_assert(offsetof(zk_board, fd_slots) == 1 && offsetof(zk_board, chip) == 8 && offsetof(zk_board, name) == 16 &&
              offsetof(zk_board, manufacturer) == 80, "zk_board layout");
static_assert(sizeof(zk_chipstat) == 64, "zk_chipstat size");
static_assert(offsetof(zk_chipstat, board) == 2 && offsetof(zk_chipstat, irq) == 4 &&
              offsetof(zk_chipstat, base) == 8 && offsetof(zk_chipstat, state) == 12 &&
              offsetof(zk_chipstat, hovr) == 16 && offsetof(zk_chipstat, sovr) == 20 &&
              offsetof(zk_chipstat, bitrate) == 28 && offsetof(zk_chipstat, data_bitrate) == 32 &&
              offsetof(zk_chipstat, data_sp) == 36 && offsetof(zk_chipstat, fd) == 38 &&
              offsetof(zk_chipstat, fd_capable) == 39 && offsetof(zk_chipstat, fd_skipped) == 40 &&
              offsetof(zk_chipstat, tx_dropped) == 44 && offsetof(zk_chipstat, ack_errors) == 48 &&
              offsetof(zk_chipstat, reserved1) == 52,
              "zk_chipstat layout");
static_assert(sizeof(zk_chipstat_text) == 1024, "zk_chipstat_text size");
static_assert(sizeof(zk_txresult) == 12 && offsetof(zk_txresult, count) == 4 &&
              offsetof(zk_txresult, status) == 6 && offsetof(zk_txresult, ts) == 8,
              "zk_txresult layout");
#else
_Static_assert(sizeof(zk_frame) == 20, "zk_frame size");
_Static_assert(sizeof(zk_fdframe) == 76, "zk_fdframe size");
_Static_assert(sizeof(zk_board) == 144, "zk_board size");
_Static_assert(sizeof(zk_chipstat) == 64, "zk_chipstat size");
_Static_assert(sizeof(zk_chipstat_text) == 1024, "zk_chipstat_text size");
_Static_assert(sizeof(zk_txresult) == 12, "zk_txresult size");
#endif

#endif /* ZELK_H */
