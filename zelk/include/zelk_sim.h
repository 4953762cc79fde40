/*
 * zelk_sim.h - test-only control of ZELK's simulated boards ("sim" kind).
 *
 * Exported from libzelk.so for tests; applications never need it. All
 * functions are thread-safe (they take the library's lock) and never
 * block.
 *
 * The simulated board
 * -------------------
 * A "sim" board (configuration "sim[:OPTIONS]", OPTIONS comma-separated)
 * has channels sharing one simulated bus:
 *   channels=N   1..4 channels (default 2)
 *   rate=KBIT    bus bit rate in kbit/s (default 500)
 *   drate=KBIT   data-phase bit rate of CAN FD frames with BRS, 100 to
 *                16000 kbit/s (default 2000)
 *   traffic=K    none: silent bus; default: a small vehicle-like network
 *                (a dozen standard and extended identifiers, 10 ms to 1 s
 *                periods, counters in the data); mixed: the same with five
 *                CAN FD nodes added (12 to 64 bytes, most with BRS); full:
 *                saturated bus, back-to-back classic frames; full-fd: the
 *                same with FD frames with BRS
 *   len=N        data length of the frames of traffic=full (0..8, default
 *                0) or full-fd (an FD length, default 64)
 *   busy=S[/S..] channel slots (0..3) reported busy by ZkOpen
 *   classic=S[/S..] channel slots (0..3) whose controller cannot do CAN
 *                FD (ZkOpen with ZK_OPEN_FD fails with ZK_E_NOFD)
 *   serial=TEXT  serial number (default "SIM-<board>"); serial=none: the
 *                board has no serial (ZkBoardGetSerial fails)
 *   name=TEXT    board name (default "ZELK simulated CAN")
 *   wtstep=MS    write timeouts are rounded up to a multiple of MS
 *   wtmax=MS     write timeouts are capped at MS
 *   txq=N        transmit queue depth per channel, 1..1024 (default 16)
 * The simulated nodes acknowledge every frame sent at the bus rate, also
 * with traffic=none. A frame written on one channel takes its time on the
 * wire (bit length including stuff bits) and is then received by every
 * other open, started channel at the bus rate (never by its sender). A
 * controller at another rate receives nothing; while the bus carries
 * traffic its receive error counter climbs, and its own transmissions are
 * never acknowledged, so its transmit error counter climbs to error
 * warning (counted in ewl) and bus-off (counted in boff). In listen-only
 * mode the error counters do not change.
 *
 * CAN FD. Every channel can do FD unless named in classic=. An FD frame
 * takes its arbitration phase at the nominal rate and, with BRS, its data
 * phase at the bus's data rate, so a saturated FD bus carries the frame
 * rate the two rates give. A channel opened for FD takes part in an FD
 * frame when its nominal rate and, for a BRS frame, its data rate match
 * the bus and it runs ISO CAN FD (the simulated nodes do); otherwise, as
 * at a wrong bit rate, the frame is a receive error for it and its own FD
 * frames are never acknowledged. A channel opened without ZK_OPEN_FD
 * takes the classic frames, and the core counts the FD frames in
 * zk_chipstat.fd_skipped (a real classic controller would destroy them
 * with error frames; the simulation spares the bus that).
 *
 * One bus for all programs. The bus of board N is one for all the user's
 * processes (a file in the folder of the channel locks, mapped by each):
 * what a channel sends in one program reaches the channels other programs
 * hold, as on a vcan interface, and the simulated nodes are the same for
 * all. Who holds a channel is decided by the channel locks as for every
 * board. The program that finds no channel of the bus open anywhere sets
 * the bus up from its own board entry (rate, data rate, traffic, length,
 * transmit queue); later ones join it as it is. What a channel had
 * queued when it is closed still goes out within a second, as from a
 * kernel's transmit queue (zelkctl send exits right after sending);
 * ZkHwReset empties the queue.
 *
 * Time. The bus runs lazily: on every library call of any program using
 * it, it catches up with the clock (at most ten seconds of bus time per
 * call; an older backlog is skipped). The clock is CLOCK_MONOTONIC unless
 * the manual clock is on; a process that turns it on takes its buses
 * with it into memory of its own, away from other programs, and keeps
 * them there until zk_sim_reset.
 * zk_frame.ts of a received frame is the low 32 bits of the bus time in
 * microseconds at the end of the frame. For deterministic tests use
 * "traffic=none" and the manual clock.
 *
 * Channel numbers in the functions below are the library's global channel
 * numbers; a function given a channel or board that is not simulated
 * returns ZK_E_NOCHAN or ZK_E_NOBOARD.
 */
#ifndef ZELK_SIM_H
#define ZELK_SIM_H

#include "zelk.h"

#ifdef __cplusplus
extern "C" {
#endif

/* Put a frame on the board's bus as if a simulated node had just finished
 * sending it: it is queued at once (ts = now) on every open, started
 * channel of the board whose bit rate matches the bus and that is not
 * bus-off, listen-only channels included, subject to the channel's frame
 * formats and acceptance filter. Returns the number of channels that
 * queued it (0 or more) or a negative code. */
ZK_API int16_t zk_sim_inject(uint8_t board, const zk_frame *frame);

/* The same for a classic or CAN FD frame (flags and length as ZkWriteFd
 * takes them; ZK_E_BADLEN for a length that is not one). An FD frame with
 * BRS reaches FD channels at the bus's data rate only. */
ZK_API int16_t zk_sim_inject_fd(uint8_t board, const zk_fdframe *frame);

/* Add the counts to the channel's error counters (what ZkErrsGetClear
 * returns next); hovr and sovr also go into the totals of ZkChipStat. The
 * channel must be open. */
ZK_API int16_t zk_sim_inject_errors(uint8_t chan, const zk_errs *errs);

/* Frames that ZkWrite accepted on the channel (the write succeeded),
 * oldest first, at most max; the frames returned are consumed. The log
 * keeps the last 8192 frames and is emptied when the channel opens.
 * Returns the number of frames stored in out, or a negative code. */
ZK_API int zk_sim_sent(uint8_t chan, zk_frame *out, int max);
/* The same with the FD frames: zk_sim_sent passes over (and consumes) the
 * FD frames it cannot store, zk_sim_sent_fd returns every frame. */
ZK_API int zk_sim_sent_fd(uint8_t chan, zk_fdframe *out, int max);

/* Frames of the channel still waiting in its transmit queue. */
ZK_API int zk_sim_tx_pending(uint8_t chan);

/* Make the next call of the named library function ("ZkOpen", "ZkSetBaud",
 * "ZkRead", ... any Zk* function except ZkGetLibVer) fail with code,
 * changing nothing. Calls add up: arming "ZkStart" twice makes the next
 * two ZkStart calls fail. A code >= 0 makes the next call return that
 * code without doing anything. Unknown names are ignored. */
ZK_API void zk_sim_fail_next(const char *function, int16_t code);
ZK_API void zk_sim_clear_failures(void);

/* Change the board's bus at run time, for every program on it: bit rate
 * in kbit/s (0: keep) and traffic "none", "default", "mixed", "full" or
 * "full-fd" (NULL: keep). */
ZK_API int16_t zk_sim_set_bus(uint8_t board, uint32_t kbit, const char *traffic);

/* Change the data-phase bit rate of the board's bus, 1 to 16000 kbit/s. */
ZK_API int16_t zk_sim_set_data_rate(uint8_t board, uint32_t kbit);

/* Write timeout adjustment of the board: requested values are rounded up
 * to a multiple of step ms (0: no rounding), then capped at max ms (0: no
 * cap). ZkWriteTout and ZkSetWriteTout keep and report the adjusted
 * value. */
ZK_API int16_t zk_sim_set_wtout_adjust(uint8_t board, uint16_t step, uint16_t max);

/* Controller error counters of the channel (rec, tec), for example to make
 * a channel error passive quickly: the bus state follows the counters. */
ZK_API int16_t zk_sim_set_error_counters(uint8_t chan, uint8_t rec, uint16_t tec);

/* Back to the freshly initialised state: every channel closed (locks
 * released), failures cleared, manual clock off, and the configuration
 * read again as ZkInit does (a bus no other program holds a channel of is
 * set up afresh from it). */
ZK_API void zk_sim_reset(void);

/* Manual clock: on (1) freezes the simulation clock at its current value;
 * it then moves only through zk_sim_advance_us (and a ZkWrite waiting for
 * room in a full transmit queue, which moves it forward by the time it
 * waits). Off (0) lets it run with the monotonic clock again, continuing
 * from where it stood. */
ZK_API void zk_sim_manual_clock(int on);

/* Advance the manual clock by us microseconds and run every simulated bus
 * up to the new time (no one-second limit). Ignored when the manual clock
 * is off. */
ZK_API void zk_sim_advance_us(uint64_t us);

/* The simulation clock in microseconds. */
ZK_API uint64_t zk_sim_now_us(void);

#ifdef __cplusplus
} /* extern "C" */
#endif

#endif /* ZELK_SIM_H */
