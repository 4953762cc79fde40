/*
 * nimbrel.h - the interface between the Nimbrel host and its plug-ins.
 *
 * This is the one header a plug-in author needs. It declares
 *   - the request record pgrp through which the host tells a plug-in
 *     everything, the request types and their payload records;
 *   - the functions and the one data symbol the host executable exports
 *     (plain undecorated C names; a plug-in links against them when it is
 *     loaded, so a plug-in that needs a symbol the host does not export is
 *     refused at load time);
 *   - the symbols a plug-in library exports to be listed and loaded.
 *
 * Everything runs on the one GUI thread, but for the exports that
 * "Sending from other threads" below names. Every payload handed to a
 * plug-in belongs to the host and is valid only during the call. Frames and error
 * counters are the adapter library's records, declared in zelk.h.
 *
 * Plug-ins are shared libraries (file name ending in ".so", any letter
 * case) in the host's installation directory (PREFIX/lib/nimbrel for an
 * installed Nimbrel; `pkg-config --variable=plugindir nimbrel-plugin`).
 * Build one with
 *   cc -shared -fPIC $(pkg-config --cflags nimbrel-plugin) my.c -o my.so
 * The manual page nimbrel-plugin(7) and the example plug-in shipped with
 * this header walk through a whole plug-in. The plug-in kit, nimbrel/kit.h,
 * writes the parts every plug-in shares (exports, request dispatch,
 * session keys, the channel status) on top of this interface.
 *
 * Interface version
 * -----------------
 * This header describes interface version 0x0307 (NBPG_VERSION_CURRENT:
 * major 3 in the high byte, minor 7 in the low byte). A plug-in states
 * the version it was written for in __nbpg_version; the host lists every
 * plug-in from 0x0300 (NBPG_VERSION_MIN) up. Write the number, not
 * NBPG_VERSION_CURRENT: a plug-in built again against a later header then
 * keeps what its version promised (a later minor version may add records
 * to a request, such as NB_DIR_TX_LOST in the stream). Within major version 3 a
 * plug-in built against an older header may rely on all of this:
 *   - the request numbers, their payloads and when they are sent;
 *   - the sizes and offsets of pgrp, nb_chan_status, nb_tx_entry,
 *     pgrp_session_key, nbp_ops_table and of the zelk.h records;
 *   - every host export declared here, with its arguments, result and
 *     meaning; none is removed or changed;
 *   - the symbols it must export, and the older entry-point set.
 * A later minor version may add request types (a plug-in ignores types it
 * does not know, as the older entry-point set does), host exports (a
 * plug-in that calls one is refused by an older host at load time, so
 * raise __nbpg_version when you use one) and meanings for reserved bytes
 * (until then they carry nothing: never read or write them). A new major
 * version would change the records.
 *
 * What each minor version added:
 *   0x0301  CAN FD. The opt-in __nbpg_features / NBPG_FEATURE_FD, the
 *           requests PGRP_RX_FD_FRAMES (10) and PGRP_TX_FD_FRAMES (11)
 *           with the record nb_tx_fd_entry, the export nb_send_fd_frame,
 *           and the fields fd and data_kbit of nb_chan_status (formerly
 *           reserved bytes). See "CAN FD" below.
 *           The program's time origin, nb_get_time_origin. See "Time
 *           line" below. The optional __nbpg_text_domain, in which
 *           the host translates __nbpg_name.
 *   0x0302  The request PGRP_STOP_QUERY (12): what quitting would stop.
 *           A plug-in of any version may answer it; an older host never
 *           sends it.
 *   0x0303  Start folders of file choosers, shared by kind of file
 *           (NB_FOLDER_*): the exports nb_get_folder and nb_set_folder.
 *           See "File choosers" below.
 *   0x0304  One stream of frames on one time line: the opt-in
 *           NBPG_FEATURE_STREAM, the request PGRP_STREAM (13) with the
 *           record nb_stream_frame, channels by index (pgrp.channel,
 *           formerly reserved bytes, and pgrp_get_channel) and the
 *           exports nb_chan_count, nb_chan_send, nb_chan_get_status,
 *           nb_chan_get_name and nb_chan_get_adapter. See "Stream"
 *           below.
 *   0x0305  Sending from a plug-in's own thread: the export
 *           nb_send_fd_frame_any_thread. See "Sending from other
 *           threads" below.
 *   0x0306  Sending on any channel of the window from a plug-in's own
 *           thread: the export nb_chan_send_any_thread.
 *   0x0307  Frames that never went out: stream records with the
 *           direction NB_DIR_TX_LOST, to stream plug-ins of 0x0307 or
 *           later. See nb_stream_frame.
 *
 * CAN FD
 * ------
 * A channel opened in CAN FD mode carries classic frames and FD frames
 * (up to 64 data bytes, zk_fdframe in zelk.h). What a plug-in sees of
 * them depends on whether it opted in:
 *
 *   - A plug-in that exports
 *       NBPG_EXPORT const uint32_t __nbpg_features = NBPG_FEATURE_FD;
 *     together with __nbpg_version 0x0301 or later and nbpg_handler is
 *     FD-aware. On every channel, classic or FD, it receives all
 *     received frames, classic and FD, as PGRP_RX_FD_FRAMES (zk_fdframe,
 *     in receive order) and all frames sent through the host as
 *     PGRP_TX_FD_FRAMES (nb_tx_fd_entry, in the order they were sent).
 *     It never receives PGRP_RX_FRAMES or PGRP_TX_FRAMES. It may send
 *     both kinds with nb_send_fd_frame (and classic ones with
 *     nb_send_frame as before).
 *   - Every other plug-in (any 0x0300 plug-in, a 0x0301 plug-in that
 *     does not opt in, a plug-in of the older entry-point set) receives
 *     exactly what it received before: PGRP_RX_FRAMES and PGRP_TX_FRAMES
 *     with the classic frames only, in the same order. The FD frames it
 *     cannot see are counted by the host and shown to the user in the
 *     channel information panel ("FD frames hidden"), so nothing goes
 *     missing unnoticed.
 *
 * The status record (nb_chan_status) tells every plug-in whether the
 * channel runs CAN FD (fd) and its data-phase bit rate (data_kbit).
 * The host never pads or cuts an FD frame: nb_send_fd_frame refuses a
 * length that is not an FD length with ZK_E_BADLEN, and an FD frame on a
 * classic channel with ZK_E_NOFD.
 *
 * Time line
 * ---------
 * The whole program shows relative times on one time line: they count
 * from one origin, which the host keeps and nb_get_time_origin returns
 * (a timestamp, format below). The user chooses it in the host: the
 * start of the pass (the default; a pass begins when the program starts
 * and again after a session is loaded or reset, before the channel opens
 * and before any plug-in is loaded) or the controller's first start in
 * the pass. The origin moves at most once in a pass, at that first start,
 * and never after a frame was received; every PGRP_STATUS after a move
 * tells of the start. Read it again when you show a time (it is one call)
 * and never keep an origin of your own, such as the first frame: then a
 * line of the trace, a point of a plot and a status line have the same
 * time in every plug-in, and lines before the first frame have a time too.
 * The host hands on the frames waiting when the user stops the
 * controller before the PGRP_STATUS that tells of the stop, so a trace in
 * request order stays in time order around Stop.
 *
 * Stream
 * ------
 * Channels have an index: 0 is the main channel, the one chosen when the
 * pass began; the channels the user added follow, in the order of the
 * window's channel list (PGRP_CHANNELS tells of a change). A plug-in that exports
 *     NBPG_EXPORT const uint32_t __nbpg_features = NBPG_FEATURE_STREAM;
 * together with __nbpg_version 0x0304 or later and nbpg_handler receives,
 * in place of PGRP_RX_FRAMES, PGRP_TX_FRAMES, PGRP_RX_FD_FRAMES and
 * PGRP_TX_FD_FRAMES, one request per poll tick, PGRP_STREAM, with every
 * frame of every channel, received and sent (by any plug-in), classic and
 * FD, in time order, as nb_stream_frame records. Each record carries its
 * channel, its direction and one time: microseconds since the Unix epoch
 * on the host's clock, converted once by the host from the adapter's
 * 32-bit clock, so that time_us - nbkit_origin_us() (the origin of
 * nb_get_time_origin in microseconds) is the frame's relative time on the
 * program's time line. Times never go back within the stream (unless the
 * computer's clock is set back by a second or more); at equal adapter
 * times a received frame comes before a sent one. A frame sent
 * while other requests of the tick are handled takes its place in the
 * tick's stream; one sent while PGRP_STREAM is handled comes in a later
 * one. With several channels, a frame newer than the moment another
 * channel was last read waits for the next tick's stream. PGRP_ERRORS
 * and PGRP_STATUS come as before, with pgrp_get_channel saying which
 * channel they are about; those of an added channel (its bus-off stops
 * that channel alone, a lost adapter is opened again when it is back) go
 * to these plug-ins only. Every other plug-in sees the main channel
 * exactly as before.
 *
 * File choosers
 * -------------
 * The host keeps, for each kind of file (logs, signal databases, session
 * files, exports: NB_FOLDER_*), the folder in which the user last chose
 * such a file, in the host or in any plug-in, and keeps it in the session.
 * A file chooser of a kind starts there (nb_get_folder) and, once the user
 * accepted it, hands back the folder it ended in (nb_set_folder): a log
 * opened in one plug-in makes the next log chooser of every plug-in start
 * in its folder. Start a chooser in a folder always, at first one of your
 * own or the home folder, never in the toolkit's list of recent files. The
 * plug-in kit's nbkit_chooser_start and nbkit_chooser_keep do both, and
 * fall back to the plug-in's own folder on an older host.
 */
#ifndef NIMBREL_H
#define NIMBREL_H

#include <stdint.h>
#include <stddef.h>
#include <gtk/gtk.h>
#include "zelk.h"

#ifdef __cplusplus
extern "C" {
#endif

/* Marks the host's exports (used when the host is built) and a plug-in's
 * exports (use it on the symbols listed at the end of this header). */
#define NB_HOST_API  __attribute__((visibility("default")))
#define NBPG_EXPORT  __attribute__((visibility("default")))

/* The host's poll tick hands the frames to the plug-ins every
 * NB_POLL_INTERVAL_MS as a GLib timeout of priority NB_POLL_PRIORITY; its
 * status tick (PGRP_STATUS, error counters) runs once a second at
 * NB_STATUS_PRIORITY. A page that redraws what the tick brought uses
 * NB_REFRESH_PRIORITY for its timer: it runs after a due poll tick and
 * before the status tick, and input and drawing still come first. */
#define NB_POLL_INTERVAL_MS 20
#define NB_POLL_PRIORITY    150
#define NB_STATUS_PRIORITY  160
#define NB_REFRESH_PRIORITY 155

/* ---------------------------------------------------------------------
 * Request types. The numbers are fixed.
 * ------------------------------------------------------------------- */
enum {
    /* Once, when the plug-in is loaded, before any other request.
     * data: nb_chan_status of the open channel, data_size 20.
     * Result: pgrp_set_result_ptr(req, page_widget). The page belongs to
     * the host from then on; it is destroyed by the host after
     * PGRP_RELEASE (the plug-in must not destroy it). result_size is
     * preset to 8. A plug-in that sets no page is still loaded. A result
     * that is not a GTK widget, or a toplevel window, is not put into the
     * notebook (a widget still goes with the release). */
    PGRP_INIT = 0,
    /* Once, just before the host destroys the page and unloads the
     * library. No data. */
    PGRP_RELEASE = 1,
    /* Every poll tick (20 ms) that received classic frames.
     * data: array of n zk_frame, data_size = 20 * n, n = 1..512.
     * Not sent to FD-aware plug-ins; on a CAN FD channel it holds the
     * classic frames only (see "CAN FD" at the top). */
    PGRP_RX_FRAMES = 2,
    /* Every poll tick that found classic frames sent through the host (by
     * any plug-in, the receiver included).
     * data: array of n nb_tx_entry, data_size = 32 * n, n = 1..512.
     * Not sent to FD-aware plug-ins. */
    PGRP_TX_FRAMES = 3,
    /* Every poll tick in which at least one error counter is non-zero.
     * data: zk_errs, data_size 10. */
    PGRP_ERRORS = 4,
    /* After each change of the channel's state or settings made through
     * the host's controls and dialogs, and when the host stopped the
     * controller after a bus-off. data: nb_chan_status, data_size 20. */
    PGRP_STATUS = 5,
    /* Whenever a session file is written, once per loaded plug-in, after
     * the host wrote the plug-in's section header and its path key.
     * data_ptr itself is the host's handle of the open session file
     * (data_size 8): pass it to nbpg_save_key, never close it. */
    PGRP_SESSION_SAVE = 6,
    /* While a session file is read: at the start of a plug-in section
     * that names this (loaded) plug-in. No data. */
    PGRP_SESSION_LOAD_BEGIN = 7,
    /* For each further key of that section, in file order.
     * data: pgrp_session_key, data_size 640. */
    PGRP_SESSION_LOAD_KEY = 8,
    /* At the end of that section. No data. */
    PGRP_SESSION_LOAD_END = 9,
    /* (0x0301, FD-aware plug-ins only, in place of PGRP_RX_FRAMES.) Every
     * poll tick that received frames: all of them, classic (FDF clear)
     * and FD, in receive order.
     * data: array of n zk_fdframe, data_size = 76 * n, n = 1..512. */
    PGRP_RX_FD_FRAMES = 10,
    /* (0x0301, FD-aware plug-ins only, in place of PGRP_TX_FRAMES.) Every
     * poll tick that found frames sent through nb_send_frame or
     * nb_send_fd_frame: all of them, classic and FD, oldest first.
     * data: array of n nb_tx_fd_entry, data_size = 88 * n, n = 1..512. */
    PGRP_TX_FD_FRAMES = 11,
    /* (0x0302) When the user asks to quit, before anything stops: what
     * quitting would stop in this plug-in, for the question the host asks
     * then. No data. Result: pgrp_set_result_ptr(req, text), a short
     * NUL-terminated UTF-8 text in the user's language (for example
     * "Logging to trace.log"), owned by the plug-in and valid until its
     * next request; leave it null when nothing would stop. The host takes
     * at most 255 bytes of it. */
    PGRP_STOP_QUERY = 12,
    /* (0x0304, plug-ins that opted in with NBPG_FEATURE_STREAM only, in
     * place of the four frame requests above.) Every poll tick that moved
     * frames: received and sent frames of every channel, classic and FD,
     * in time order (see "Stream" at the top).
     * data: array of n nb_stream_frame, data_size = 88 * n,
     * n = 1..NB_STREAM_MAX. */
    PGRP_STREAM = 13,
    /* (0x0304, plug-ins that opted in with NBPG_FEATURE_STREAM only.)
     * Channels were added to the window or removed: indexes are compact,
     * so the channels above a removed one move down by one. Every frame
     * of a removed channel came in a PGRP_STREAM before this request. Read
     * nb_chan_count and the channels' names again. No data. */
    PGRP_CHANNELS = 14
};

/* ---------------------------------------------------------------------
 * The request record, 48 bytes. Built by the host on its stack for each
 * request and valid only during the call. Read it only through the
 * pgrp_get_* accessors; a plug-in writes only the two result fields
 * (pgrp_set_result_*). For broadcasts the same record is passed to every
 * loaded plug-in in turn without being rebuilt.
 * ------------------------------------------------------------------- */
typedef struct pgrp {
    int32_t  type;        /* request type, PGRP_* */
    uint16_t chan;        /* number of the channel the host has open, 0..255 */
    uint16_t channel;     /* (0x0304) index of the channel the request is about:
                           * 0 the main channel (the only one a plug-in that did
                           * not opt in to the stream hears of). Formerly
                           * reserved, and 0. */
    uint64_t timestamp;   /* when the host built the request (timestamp format below) */
    uint64_t data_size;   /* size of the payload at data_ptr, 0 when none */
    uint64_t result_size; /* preset: 8 for PGRP_INIT, else 0 */
    void    *result_ptr;  /* preset null; PGRP_INIT: the page widget */
    void    *data_ptr;    /* payload owned by the host, null when none */
} pgrp;

/* Channel status, 20 bytes: PGRP_INIT, PGRP_STATUS, nb_get_current_status. */
typedef struct nb_chan_status {
    uint8_t  chan;        /* channel number */
    uint8_t  running;     /* controller started (non-zero) or stopped */
    uint8_t  lom;         /* listen-only mode on (non-zero) */
    uint8_t  fd;          /* (0x0301) NB_FD_OFF: classic CAN; NB_FD_ISO or
                           * NB_FD_NON_ISO: the channel runs CAN FD. A 0x0300
                           * host leaves this byte 0 (it was reserved). */
    uint32_t acc_code;    /* acceptance code */
    uint32_t acc_mask;    /* acceptance mask: a set bit must match the code bit */
    int32_t  baud_index;  /* 0 manual, 1..9: 10, 20, 50, 100, 125, 250, 500, 800, 1000 kbit/s;
                           * on a CAN FD channel the nominal (arbitration) rate */
    uint16_t data_kbit;   /* (0x0301) data-phase bit rate of a CAN FD channel in
                           * kbit/s (2000 for 2 Mbit/s); 0 on a classic channel */
    uint16_t wtout;       /* write timeout in milliseconds */
} nb_chan_status;

/* Values of nb_chan_status.fd. */
#define NB_FD_OFF     0u  /* classic CAN */
#define NB_FD_ISO     1u  /* CAN FD as ISO 11898-1:2015 */
#define NB_FD_NON_ISO 2u  /* CAN FD in the earlier, non-ISO variant */

/* One frame the host sent through nb_send_frame, 32 bytes (PGRP_TX_FRAMES). */
typedef struct nb_tx_entry {
    zk_frame frame;       /* the frame as it was given to the adapter library, with
                           * ts set to the channel's clock when the library accepted
                           * it: the time base of received frames (zk_frame.ts) */
    uint8_t  reserved[4];
    uint64_t timestamp;   /* when the adapter library accepted the frame */
} nb_tx_entry;

/* (0x0301) One frame, classic or FD, that the host sent through
 * nb_send_frame or nb_send_fd_frame, 88 bytes (PGRP_TX_FD_FRAMES). A
 * classic frame is the zk_frame given to nb_send_frame in the FD record's
 * form: FDF clear, the same id, flags (EFF, RTR), len and data bytes. */
typedef struct nb_tx_fd_entry {
    zk_fdframe frame;     /* offset 0: the frame as the adapter library accepted it,
                           * ts set to the channel's clock at that moment, as in
                           * nb_tx_entry */
    uint8_t  reserved[4]; /* offset 76 */
    uint64_t timestamp;   /* offset 80: when the adapter library accepted the frame */
} nb_tx_fd_entry;

/* (0x0304) One frame of the stream (PGRP_STREAM), 88 bytes, little-endian:
 *   offset  0  u64  time_us     microseconds since 1970-01-01 00:00 UTC on
 *                               the host's clock: when the adapter received
 *                               the frame or accepted it for sending
 *                               (NB_DIR_TX_LOST: when the host learned
 *                               that the frame never went out)
 *   offset  8  u32  id          11- or 29-bit identifier (ZK_FRAME_EFF)
 *   offset 12  u16  channel     channel index, 0 the main channel
 *   offset 14  u8   dir         NB_DIR_RX, NB_DIR_TX (sent through the host)
 *                               or (0x0307) NB_DIR_TX_LOST
 *   offset 15  u8   flags       ZK_FRAME_EFF, _RTR, _FDF, _BRS, _ESI
 *   offset 16  u8   len         data length in bytes, 0..8 or an FD length
 *   offset 17  u8   reserved[3] 0
 *   offset 20  u32  adapter_ts  the adapter's own 32-bit clock (zk_frame.ts)
 *   offset 24  u8   data[64]    data bytes; those past len are 0
 */
typedef struct nb_stream_frame {
    uint64_t time_us;
    uint32_t id;
    uint16_t channel;
    uint8_t  dir;
    uint8_t  flags;
    uint8_t  len;
    uint8_t  reserved[3];
    uint32_t adapter_ts;
    uint8_t  data[64];
} nb_stream_frame;

/* Values of nb_stream_frame.dir. */
#define NB_DIR_RX 0u  /* received by the adapter */
#define NB_DIR_TX 1u  /* sent through the host, by any plug-in */
/* (0x0307) A frame of an earlier NB_DIR_TX record that the adapter
 * accepted but never sent: no node acknowledged it before the controller
 * went bus-off, or it was still queued when the controller was stopped or
 * reset or the adapter was lost. The record repeats that frame (channel,
 * id, flags, len, data and adapter_ts, which names the NB_DIR_TX record it
 * settles); time_us is when the host learned of it, so the record comes
 * after that NB_DIR_TX record, in time order with the rest. Only stream
 * plug-ins that declare __nbpg_version 0x0307 or later get these records
 * (older ones see the NB_DIR_TX record alone, as before). There are none
 * where the adapter cannot tell (a serial adapter that only answers
 * "queued", an adapter library before 1.3), for frames sent by an
 * adapter's own timer (ZkCyclicSet), and for a frame more than 4096
 * writes older than the newest on its channel when its fate is learned. */
#define NB_DIR_TX_LOST 2u
/* The most records one PGRP_STREAM holds: a full tick of 512 received
 * and 512 sent frames. */
#define NB_STREAM_MAX 1024u

/* (0x0304) The adapter a channel is on (nb_chan_get_adapter), 392 bytes. */
typedef struct nb_chan_adapter {
    char     board[64];   /* the board's name (its kind and device), UTF-8 */
    char     maker[64];   /* its manufacturer */
    char     serial[256]; /* its serial number; empty when it has none */
    uint16_t number;      /* the channel's number in the adapter library, 0..255 */
    uint8_t  board_number;/* the board's number, 0..7 */
    uint8_t  fd_capable;  /* the channel's adapter can do CAN FD */
    uint8_t  reserved[4];
} nb_chan_adapter;

/* One key of a plug-in's session section, 640 bytes (PGRP_SESSION_LOAD_KEY).
 * A name or value that does not fit (longer than 127 or 511 characters)
 * is never given cut, since a cut value (a path) reads as another one:
 *   - to a plug-in of 0x0301 or later the key comes with an empty value,
 *     and nbpg_session_key_value gives the whole one (since 0x0301);
 *   - a plug-in of 0x0300 does not get the key; the host says so in a
 *     message, and the plug-in keeps its own setting.
 * Names longer than 127 characters are never given. */
typedef struct pgrp_session_key {
    char name[128];
    char value[512];
} pgrp_session_key;

/* The older entry-point set's traffic and status table (see nbp_ops). */
typedef struct nbp_ops_table {
    void (*errors)(zk_errs *errs);
    void (*rx_frames)(zk_frame *frames, int n);
    void (*tx_frames)(zk_frame *frames, int n);
    void (*status)(nb_chan_status *status);
} nbp_ops_table;

/* ---------------------------------------------------------------------
 * Timestamps: a 64-bit count of 100-nanosecond intervals since
 * 1601-01-01 00:00 UTC, read from the system clock with millisecond
 * resolution, so every timestamp is a multiple of 10 000 and two readings
 * within one millisecond are equal. Used in pgrp.timestamp, nb_tx_entry
 * and nbsdep_timestamp_get.
 * ------------------------------------------------------------------- */
#define NB_TIMESTAMP_PER_SECOND 10000000ull
/* 100 ns intervals between 1601-01-01 and 1970-01-01 (the Unix epoch). */
#define NB_TIMESTAMP_UNIX_EPOCH 116444736000000000ull

/* Session key codes (results of nbpg_save_key and nbpg_keyval_get_int). */
#define NB_CFG_E_IO       (-1024) /* could not be formatted or written; not a valid number */
#define NB_CFG_E_BADNAME  (-1026) /* name holds '=', '[' or ']', or value holds a line break */

/* =====================================================================
 * Host exports
 * =================================================================== */

/* Writes one frame to the open channel. On success the frame is also
 * appended to the host's tx log with the current timestamp and comes back
 * to every plug-in as PGRP_TX_FRAMES on the next poll tick (unless the tx
 * log of 1024 entries is full, in which case the frame is sent but not
 * reported). Returns the adapter library's code: negative on failure
 * (controller stopped, listen-only, write timeout, ...; see zelk.h), in
 * which case nothing is logged. */
NB_HOST_API int nb_send_frame(zk_frame *frame);

/* (0x0301) Writes one frame, classic (FDF clear) or CAN FD (ZK_FRAME_FDF
 * set; ZK_FRAME_BRS for the data phase at the data rate), to the open
 * channel, like nb_send_frame. The frame's len is its data length in
 * bytes: 0..8 for a classic frame, 0..8, 12, 16, 20, 24, 32, 48 or 64 for
 * an FD frame; the host never pads. Returns the adapter library's code:
 * negative on failure, among them ZK_E_NOFD (an FD frame on a channel not
 * opened for CAN FD) and ZK_E_BADLEN (a length the frame cannot have),
 * and then nothing is logged. On success the frame comes back on the next
 * poll tick as PGRP_TX_FD_FRAMES to FD-aware plug-ins and, when it is a
 * classic frame, as PGRP_TX_FRAMES to the others. A plug-in that calls
 * it must declare __nbpg_version 0x0301 or later. */
NB_HOST_API int nb_send_fd_frame(zk_fdframe *frame);

/* ---------------------------------------------------------------------
 * Sending from other threads (0x0305)
 * ---------------------------------------------------------------------
 * A plug-in that keeps a cycle time (periodic messages, a replay) sends
 * from a thread of its own, so a busy window never stretches its cycle.
 * The host serialises every send of the channel, from any thread, with
 * the write to the adapter and the append to the tx log in one step: the
 * tx log, and so PGRP_TX_FRAMES and PGRP_TX_FD_FRAMES, keeps the order in
 * which the frames went out, whichever thread sent them. Requests are
 * still made on the GUI thread only, and a plug-in's thread must not call
 * any other export than these two sends (nb_chan_send_any_thread, 0x0306,
 * sends on any channel). Stop and join the thread before PGRP_RELEASE returns.
 *
 * (0x0305) Sends one frame, CAN FD as nb_send_fd_frame sends it, classic
 * (FDF clear) as nb_send_frame sends it (same checks, results and tx log
 * entries), and may be called from any thread of the plug-in. It does not
 * allocate; it blocks at most for the channel's write timeout, plus the
 * time another thread's send takes. A plug-in that calls it must declare
 * __nbpg_version 0x0305 or later; an older host refuses to load it. */
NB_HOST_API int nb_send_fd_frame_any_thread(const zk_fdframe *frame);

/* Fills *out with the current channel status. */
NB_HOST_API void nb_get_current_status(nb_chan_status *out);

/* The host's locale directory "<installation directory>/share/locale",
 * for binding a plug-in's own gettext text domain. Owned by the host. */
NB_HOST_API const char *nb_get_locale_dir(void);

/* The main window, parent for a plug-in's dialogs. Set each time the host
 * builds its main window; null while there is none. */
NB_HOST_API extern GtkWidget *nb_mainwin;

/* Modal message boxes with one OK button, centred on the screen. The
 * formatted ones follow GLib's printf rules and are cut to 1022
 * characters; nb_warn and nb_error show their text literally (a percent
 * sign stays a percent sign). They return when the user closed the box;
 * the GUI main loop, and so the 20 ms poller, keeps running meanwhile. */
NB_HOST_API void nb_message_info(const char *format, ...) G_GNUC_PRINTF(1, 2);
NB_HOST_API void nb_message_warn(const char *format, ...) G_GNUC_PRINTF(1, 2);
NB_HOST_API void nb_message_error(const char *format, ...) G_GNUC_PRINTF(1, 2);
NB_HOST_API void nb_warn(const char *text);
NB_HOST_API void nb_error(const char *text);

/* The current time as a timestamp (format above). */
NB_HOST_API uint64_t nbsdep_timestamp_get(void);

/* (0x0301) The program's time origin as a timestamp (format above): the
 * zero of every relative time (see "Time line" at the top). It never lies
 * after the request a plug-in is handling, and changes only as described
 * there. A plug-in that calls it must declare __nbpg_version 0x0301 or
 * later. */
NB_HOST_API uint64_t nb_get_time_origin(void);

/* Writes the current session to the channel's automatic session file now.
 * Every loaded plug-in, the caller included, receives PGRP_SESSION_SAVE
 * before this returns. Returns 0, or a negative code on failure. */
NB_HOST_API int nbpg_autosave(void);

/* Writes one key line "key=value\n" into the session file given with
 * PGRP_SESSION_SAVE and flushes it. A line longer than 1023 characters
 * (line feed included) does not fit the reader's line and is not written
 * (it was cut before 0x0301, and read back as another value): the result
 * is then NB_CFG_E_IO. Returns 0; NB_CFG_E_BADNAME (-1026), writing nothing, when the key
 * holds '=', '[' or ']' or the value holds a line feed or carriage return;
 * also, since such lines would not read back, when the key holds a line
 * break, is empty or blank, is longer than 1021 characters, begins with
 * '#' (read back as a comment) or is "Path" (read back as the host's
 * selector of the section's plug-in; leading blanks are not counted in
 * either case); NB_CFG_E_IO (-1024) when the line cannot be formatted or
 * written. */
NB_HOST_API int nbpg_save_key(void *file, const char *key, const char *value);

/* Since 0x0301. During PGRP_SESSION_LOAD_KEY: the whole value of the key
 * (up to 1021 characters, as a session line holds), which the request's
 * pgrp_session_key holds only when it fits there. Null for any other
 * request. Valid during the call. */
NB_HOST_API const char *nbpg_session_key_value(const pgrp *req);
/* Room for any whole value, NUL included (since 0x0301). */
#define NBPG_SESSION_VALUE_MAX 1024u

/* Reads a whole signed 32-bit number from a key's value text: optional
 * sign, decimal digits or "0x"/"0X" and hexadecimal digits, optionally
 * followed by white space and a '#' comment. Sets *value to 0 first.
 * Returns 0 with *value set, or NB_CFG_E_IO (-1024) when the text is not
 * such a number (*value then holds no meaningful number). */
NB_HOST_API int nbpg_keyval_get_int(const char *text, int32_t *value);

/* (0x0304) Channels by index (see "Stream" at the top): index 0 is the
 * main channel. A plug-in that calls one must declare 0x0304 or later. */

/* The number of channels the window has (1: the main channel alone). */
NB_HOST_API int nb_chan_count(void);

/* Writes one frame, classic or FD, to the channel with this index, as
 * nb_send_fd_frame does for the main channel (the same results, the same
 * tx log). ZK_E_NOCHAN for an index that names no channel. */
NB_HOST_API int nb_chan_send(int channel, zk_fdframe *frame);

/* (0x0306) Writes one frame as nb_chan_send does, from any thread of the
 * plug-in (see "Sending from other threads"), on the channel with this
 * index whose name (nb_chan_get_name) is still name: a channel removed
 * meanwhile, or another one that moved to its index, is refused with
 * ZK_E_NOCHAN, and the frame is sent nowhere. name may be null for the
 * main channel (index 0) only. The user can add and remove channels
 * while the thread sends; the thread learns the new indexes and names
 * from the PGRP_CHANNELS the window's thread receives. It does not
 * allocate; it blocks at most for the write timeout, plus the time
 * another thread's send or the window adding or removing a channel
 * takes. A plug-in that calls it must declare __nbpg_version 0x0306 or
 * later. */
NB_HOST_API int nb_chan_send_any_thread(int channel, const char *name,
                                        const zk_fdframe *frame);

/* Fills *out with the channel's status, as nb_get_current_status does for
 * the main channel. Returns 0, or ZK_E_NOCHAN with *out zeroed. */
NB_HOST_API int nb_chan_get_status(int channel, nb_chan_status *out);

/* The channel's name as the host shows it ("ch3" for the adapter
 * library's channel 3), NUL-terminated into buf of size bytes. Returns 0;
 * -1 with buf empty (when size allows) for an index that names no channel
 * or a name that does not fit (16 bytes always do). */
NB_HOST_API int nb_chan_get_name(int channel, char *buf, size_t size);

/* Fills *out with the adapter the channel is on. Returns 0, or
 * ZK_E_NOCHAN with *out zeroed. */
NB_HOST_API int nb_chan_get_adapter(int channel, nb_chan_adapter *out);

/* (0x0303) Kinds of files whose choosers share a start folder. */
enum {
    NB_FOLDER_LOGS = 0,      /* CAN logs (candump, ASC, BLF), opened or written */
    NB_FOLDER_DBC = 1,       /* signal databases (DBC) */
    NB_FOLDER_SESSIONS = 2,  /* session files (.nbs) */
    NB_FOLDER_EXPORTS = 3    /* exported tables and images (CSV, PNG) */
};
#define NB_FOLDER_KINDS 4
/* Room for any folder the host keeps, NUL included (0x0303). */
#define NB_FOLDER_MAX 1000u

/* (0x0303) The folder where the user last chose a file of this kind (see
 * "File choosers" at the top), an absolute path in UTF-8 (convert it with
 * g_filename_from_utf8 for GTK+), copied NUL-terminated into buf of size
 * bytes. Returns 0; -1 with buf empty (when size allows) when the kind
 * is unknown, no folder of the kind is known yet, the folder is no longer
 * one, or it does not fit (NB_FOLDER_MAX bytes always do). */
NB_HOST_API int nb_get_folder(int kind, char *buf, size_t size);

/* (0x0303) Records folder (absolute, UTF-8) as the kind's folder, the
 * folder of the file the user just chose: the next chooser of the kind,
 * in any plug-in or the host, starts there, and the session keeps it.
 * Returns 0, or -1 recording nothing when the kind is unknown or folder
 * is null, relative, not UTF-8, holds a line break or is NB_FOLDER_MAX
 * bytes or longer. */
NB_HOST_API int nb_set_folder(int kind, const char *folder);

/* Suspend and resume the host's carrying out of pending plug-in loads and
 * releases (marked in the Available plugins dialog) by its poller. Use
 * them around code that runs a nested main loop inside a request, so the
 * host does not load or release plug-ins meanwhile. Loading a session
 * file still loads the plug-ins it names. Whatever the flag, the host
 * never releases or unloads a plug-in while one of its own requests is
 * still running: such a release waits until the request has returned. */
NB_HOST_API void nbpg_loadrelease_enable(void);
NB_HOST_API void nbpg_loadrelease_disable(void);

/* Accessors of the request record. */
NB_HOST_API int32_t  pgrp_get_type(const pgrp *req);
NB_HOST_API int32_t  pgrp_get_chan(const pgrp *req);
/* (0x0304) The channel index the request is about (pgrp.channel). */
NB_HOST_API int32_t  pgrp_get_channel(const pgrp *req);
NB_HOST_API uint64_t pgrp_get_timestamp(const pgrp *req);
NB_HOST_API uint64_t pgrp_get_data_size(const pgrp *req);
NB_HOST_API uint64_t pgrp_get_result_size(const pgrp *req);
NB_HOST_API void    *pgrp_get_data_ptr(const pgrp *req);
NB_HOST_API void    *pgrp_get_result_ptr(const pgrp *req);
NB_HOST_API void     pgrp_set_result_size(pgrp *req, uint64_t size);
NB_HOST_API void     pgrp_set_result_ptr(pgrp *req, void *ptr);

/* =====================================================================
 * What a plug-in library exports
 * =====================================================================
 *
 * To be listed (all four required):
 *   NBPG_EXPORT const uint16_t __nbpg_version = 0x0300;   at least 0x0300
 *   NBPG_EXPORT const char __nbpg_name[]        = "...";  tab label, dialog title
 *   NBPG_EXPORT const char __nbpg_author[]      = "...";  shown in the dialog's tooltip
 *   NBPG_EXPORT const char __nbpg_description[] = "...";  shown in the dialog's tooltip
 * (the names are character arrays: the symbol's address is the first
 * character, not a pointer to it; UTF-8).
 *
 * Optional (0x0301), read once when the plug-in is loaded:
 *   NBPG_EXPORT const uint32_t __nbpg_features = NBPG_FEATURE_FD;
 * a set of NBPG_FEATURE_* bits. It counts only with __nbpg_version 0x0301
 * or later and with nbpg_handler (NBPG_FEATURE_STREAM only with 0x0304 or
 * later); bits the host does not know are ignored.
 *
 * Optional (0x0301, read whatever the version, with either style):
 *   NBPG_EXPORT const char __nbpg_text_domain[] = "...";
 * the gettext text domain of the plug-in's own catalogue, under
 * nb_get_locale_dir(): the host shows __nbpg_name translated in it (tab
 * label, Available plugins dialog). The plug-in kit exports it from
 * GETTEXT_PACKAGE.
 *
 * Then either the request handler (preferred)
 *   NBPG_EXPORT int nbpg_handler(pgrp *req);     the result is ignored
 *
 * or the older set, all of:
 *   NBPG_EXPORT GtkWidget *nbpg_init(nb_chan_status *status);  returns the page (or null)
 *   NBPG_EXPORT void nbpg_release(void);
 *   NBPG_EXPORT nbp_ops_table nbp_ops;           all four slots filled; the
 *                                                host copies them at load
 * and optionally
 *   NBPG_EXPORT void nbpg_load_session(int phase, const char *name, const char *value);
 *                phase 0 begin (empty strings), 1 key, 2 end (empty strings)
 *   NBPG_EXPORT void nbpg_save_session(void *file);   pass file to nbpg_save_key
 * The older set's rx_frames gets the host's frame array itself; tx_frames
 * gets frames made from the first 20 bytes of each tx entry (the
 * timestamps are not passed). When nbpg_handler is exported the older set
 * is not looked at.
 *
 * The host loads the library briefly, without any request, while it lists
 * plug-ins and fills the Available plugins dialog; keep library
 * constructors free of side effects.
 */
typedef int        (*nbpg_handler_fn)(pgrp *req);
typedef GtkWidget *(*nbpg_init_fn)(nb_chan_status *status);
typedef void       (*nbpg_release_fn)(void);
typedef void       (*nbpg_load_session_fn)(int phase, const char *name, const char *value);
typedef void       (*nbpg_save_session_fn)(void *file);

/* The lowest interface version a plug-in may declare, and the version
 * this header describes (see "Interface version" at the top). */
#define NBPG_VERSION_MIN 0x0300u
#define NBPG_VERSION_CURRENT 0x0307u

/* Bits of __nbpg_features. */
/* The plug-in handles CAN FD: it receives PGRP_RX_FD_FRAMES and
 * PGRP_TX_FD_FRAMES in place of PGRP_RX_FRAMES and PGRP_TX_FRAMES (see
 * "CAN FD" at the top). */
#define NBPG_FEATURE_FD 0x00000001u
/* The lowest version whose __nbpg_features the host reads. */
#define NBPG_VERSION_FEATURES 0x0301u
/* (0x0304) The plug-in takes the stream: PGRP_STREAM in place of the four
 * frame requests (see "Stream" at the top). With it NBPG_FEATURE_FD
 * changes nothing: the stream holds every frame. */
#define NBPG_FEATURE_STREAM 0x00000002u
/* The lowest version whose NBPG_FEATURE_STREAM the host reads. */
#define NBPG_VERSION_STREAM 0x0304u
/* The lowest version that gets NB_DIR_TX_LOST records in the stream. */
#define NBPG_VERSION_TX_LOST 0x0307u

#ifdef __cplusplus
} /* extern "C" */

static_assert(sizeof(pgrp) == 48, "pgrp size");
static_assert(offsetof(pgrp, type) == 0 && offsetof(pgrp, chan) == 4 &&
              offsetof(pgrp, timestamp) == 8 && offsetof(pgrp, data_size) == 16 &&
              offsetof(pgrp, result_size) == 24 && offsetof(pgrp, result_ptr) == 32 &&
              offsetof(pgrp, data_ptr) == 40 && offsetof(pgrp, channel) == 6, "pgrp layout");
static_assert(sizeof(nb_chan_status) == 20, "nb_chan_status size");
static_assert(offsetof(nb_chan_status, running) == 1 && offsetof(nb_chan_status, lom) == 2 &&
              offsetof(nb_chan_status, fd) == 3 &&
              offsetof(nb_chan_status, acc_code) == 4 && offsetof(nb_chan_status, acc_mask) == 8 &&
              offsetof(nb_chan_status, baud_index) == 12 &&
              offsetof(nb_chan_status, data_kbit) == 16 && offsetof(nb_chan_status, wtout) == 18,
              "nb_chan_status layout");
static_assert(sizeof(nb_tx_entry) == 32, "nb_tx_entry size");
static_assert(offsetof(nb_tx_entry, reserved) == 20 && offsetof(nb_tx_entry, timestamp) == 24,
              "nb_tx_entry layout");
static_assert(sizeof(nb_tx_fd_entry) == 88, "nb_tx_fd_entry size");
static_assert(offsetof(nb_tx_fd_entry, reserved) == 76 &&
              offsetof(nb_tx_fd_entry, timestamp) == 80, "nb_tx_fd_entry layout");
static_assert(sizeof(pgrp_session_key) == 640 && offsetof(pgrp_session_key, value) == 128,
              "pgrp_session_key layout");
static_assert(sizeof(nbp_ops_table) == 4 * sizeof(void *), "nbp_ops layout");
static_assert(sizeof(nb_stream_frame) == 88 && offsetof(nb_stream_frame, id) == 8 &&
              offsetof(nb_stream_frame, channel) == 12 && offsetof(nb_stream_frame, dir) == 14 &&
              offsetof(nb_stream_frame, flags) == 15 && offsetof(nb_stream_frame, len) == 16 &&
              offsetof(nb_stream_frame, adapter_ts) == 20 &&
              offsetof(nb_stream_frame, data) == 24, "nb_stream_frame layout");
static_assert(sizeof(nb_chan_adapter) == 392 && offsetof(nb_chan_adapter, number) == 384 &&
              offsetof(nb_chan_adapter, board_number) == 386, "nb_chan_adapter layout");
#else
_Static_assert(sizeof(pgrp) == 48, "pgrp size");
_Static_assert(sizeof(nb_chan_status) == 20, "nb_chan_status size");
_Static_assert(sizeof(nb_tx_entry) == 32, "nb_tx_entry size");
_Static_assert(sizeof(nb_tx_fd_entry) == 88, "nb_tx_fd_entry size");
_Static_assert(sizeof(pgrp_session_key) == 640, "pgrp_session_key size");
_Static_assert(sizeof(nb_stream_frame) == 88 && offsetof(nb_stream_frame, data) == 24,
               "nb_stream_frame layout");
_Static_assert(sizeof(nb_chan_adapter) == 392, "nb_chan_adapter size");
#endif

#endif /* NIMBREL_H */
