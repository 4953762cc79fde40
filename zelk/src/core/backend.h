/*
 * backend.h - the interface between the ZELK library core and its adapter
 * backends (sim, slcan, ...). Internal to libzelk.so.
 *
 * Division of work
 * ----------------
 * The core (core.cpp) implements every Zk* function. It owns, per channel:
 *   - whether it is open, and its open flags (frame formats 2/4/6);
 *   - the cross-process busy lock (flock on a file per channel);
 *   - the receive queue (ZK_RX_QUEUE_CAP frames), overrun counting (sovr),
 *     frame-format filtering and the acceptance filter, applied in software
 *     to every frame a backend delivers;
 *   - the error counters returned by ZkErrsGetClear (ewl, boff, hovr, sovr,
 *     wtout) and the hovr/sovr totals since open for ZkChipStat;
 *   - the started and listen-only flags, the bus timing registers in force
 *     and the bit rate computed from them, the write timeout in force;
 *   - CAN FD: whether the channel was opened for it, the data-phase rate
 *     in force, and the FD frames a classic reader could not take
 *     (zk_chipstat.fd_skipped);
 *   - transmit results: the frames each channel accepted, numbered, their
 *     fates as backends report them (zk_rx_port::tx_settle), the frames
 *     it drops itself at stop, reset, close and loss (txlog.h);
 *   - argument checking. A backend operation is called only with a valid
 *     slot of an open channel and valid arguments, and only the checks that
 *     depend on the hardware are left to it.
 * A backend drives one board: up to ZK_CHANNELS_PER_BOARD controller slots.
 * It turns the operations below into what the adapter needs, and hands
 * what it receives to the core through the channel's zk_rx_port.
 *
 * Threads and locking
 * -------------------
 * Every zk_backend method is called by the core with the library's API lock
 * held, in the thread of the application's Zk* call. A backend never calls
 * a Zk* function. A backend may run threads of its own (a tty reader, for
 * example); such a thread talks to the core only through zk_rx_port, whose
 * methods are thread-safe and never block for long (one short mutex). The
 * port of a slot stays valid for the lifetime of the backend object, so a
 * late delivery after close() is harmless (the core drops it); still, a
 * backend should stop delivering for a slot once close() returned, and must
 * have stopped every thread of its own when its destructor returns.
 *
 * Results
 * -------
 * Methods return ZK_OK (0) or a negative ZK_E_* code from zelk.h. The core
 * passes a failure code through to the caller unchanged and records no
 * change. A backend that wants a specific text for its last failure (for
 * example which command an adapter refused) fills it with set_detail()
 * before returning; ZkStrError of that code then appends it.
 *
 * Registration
 * ------------
 * A backend registers a factory for its kind name with ZK_REGISTER_BACKEND
 * in its own .cpp file (static registration: the library links with or
 * without the file). The configuration "[N=]KIND[:ARGS]" creates one
 * backend object per board spec by calling the factory with ARGS.
 */
#ifndef ZELK_BACKEND_H
#define ZELK_BACKEND_H

#include "zelk.h"
#include "txlog.h"

#include <cstddef>
#include <cstdint>
#include <memory>

namespace zk {

/* Receive queue capacity of every channel in frames (at least
 * ZK_RX_QUEUE_MIN), classic or FD: about three seconds of a saturated
 * 1 Mbit/s bus, seven of an FD bus at 1/8 Mbit/s with 64-byte frames, so
 * that an application whose main loop is held up for a while, or an
 * adapter flushing its buffer at several times the bus rate, loses
 * nothing. 5 MiB of address space per channel, touched only as far as
 * the queue has ever been filled. */
constexpr int ZK_RX_QUEUE_CAP = 65536;

/* Monotonic clock in microseconds (CLOCK_MONOTONIC). The low 32 bits of
 * this value are what zk_frame.ts carries for real adapters. */
uint64_t clock_us();

/* SJA1000 bit rate in bit/s for the bus timing register pair, assuming the
 * 16 MHz crystal (8 MHz controller clock), rounded to the nearest bit/s.
 * All nine CiA pairs give exactly their named rates. Returns 0 for a pair
 * that describes no usable bit time. */
uint32_t sja1000_bitrate(uint8_t bt0, uint8_t bt1);

/* The CiA rate index (zk_cia_rate_at) whose register pair is exactly
 * bt0/bt1, else -1. */
int cia_index(uint8_t bt0, uint8_t bt1);

/* A classic frame as a zk_fdframe, fields as they are (ts included). */
inline zk_fdframe to_fdframe(const zk_frame &c)
{
    zk_fdframe f{};
    f.id = c.id;
    f.flags = c.flags;
    f.len = c.len;
    f.ts = c.ts;
    for (int i = 0; i < 8; i++) f.data[i] = c.data[i];
    return f;
}

/* Events a backend reports besides frames. */
enum zk_event {
    ZK_EV_EWL,   /* error warning limit crossed (error active -> warning) */
    ZK_EV_BOFF,  /* controller went bus-off */
    ZK_EV_HOVR,  /* controller lost frames (hardware FIFO overrun) */
    ZK_EV_SOVR,  /* frames lost before they reached the core (a kernel
                  * socket queue that overflowed) */
    ZK_EV_WTOUT, /* a frame the adapter could not send in time */
    ZK_EV_ACKERR /* a transmission no node acknowledged (zk_chipstat.ack_errors) */
};

/*
 * The core's receiving end of one channel. A backend gets a pointer to it
 * in open() and keeps it. Thread-safe; callable from any thread.
 */
class zk_rx_port {
public:
    /* A frame arrived from the bus. The backend sets frame.ts to the
     * receive time: the low 32 bits of clock_us() (zelk.h promises the
     * monotonic clock; the simulated bus uses its own clock, which is the
     * same unless a test stopped it); reserved bytes are cleared by the core. The core
     * drops the frame when the channel is not open and started, when its
     * format is not enabled, or when the acceptance filter rejects it; when
     * the queue is full the frame is dropped and counted as sovr. Returns
     * true when the frame was queued. */
    bool frame(const zk_frame &frame);

    /* The same for a frame of a channel that may carry CAN FD: FD frames
     * have ZK_FRAME_FDF set (and BRS, ESI as received) and a length of
     * the FD set; a length in between is rounded up, the added bytes 0.
     * A channel opened without ZK_OPEN_FD does not queue FD frames but
     * counts them (zk_chipstat.fd_skipped). */
    bool frame(const zk_fdframe &frame);

    /* Count an event (count times). Counted while the channel is open. */
    void event(zk_event ev, uint32_t count = 1);

    /* The device disappeared (unplugged, hung up). Frames already queued
     * are still read; after them ZkRead and ZkErrsGetClear report
     * ZK_E_GONE until the channel is opened again, and ZkStrError appends
     * detail (for example the device's path) when one is given. */
    void lost(const char *detail = nullptr);

    /* Transmit results. The frames write() and write_fd() accepted on the
     * slot get their fate here, each exactly once, in the order accepted:
     * the oldest count frames not yet settled (ZK_TX_ALL: all of them)
     * were sent (ZK_TX_SENT, ts when the last ended on the bus or its
     * confirmation came), handed to an adapter that tells no more
     * (ZK_TX_HANDED, ts when it took the last), or given up
     * (ZK_TX_DROPPED). ts is on the clock of zk_frame.ts. A count beyond
     * the frames outstanding is cut; returns how many were settled. The
     * core counts a frame as accepted before it calls write(), so its
     * confirmation may come back before write() returns. */
    uint32_t tx_settle(uint8_t status, uint32_t count, uint32_t ts);

    /* Core-side state; backends do not touch anything below. */
    struct impl;
    impl *p = nullptr;
};

/* Appends name/value pairs to a status text list (ZkChipStatToStr).
 * Names and values are cut to 15 characters. Returns false when the list
 * is full. */
class zk_text_list {
public:
    bool add(const char *name, const char *value);
    zk_chipstat_text *text = nullptr;
    int count = 0;
};

/*
 * One board. All slot arguments are 0 .. channels()-1.
 */
class zk_backend {
public:
    virtual ~zk_backend() = default;

    /* Number of channel slots on this board, 1..ZK_CHANNELS_PER_BOARD.
     * Fixed for the object's lifetime. */
    virtual int channels() const = 0;

    /* Board name and manufacturer for zk_board (cut to 63 characters). */
    virtual void board_names(char *name, size_t name_size,
                             char *manufacturer, size_t manufacturer_size) = 0;

    /* Serial number text; ZK_E_NOSERIAL when the board has none. */
    virtual int16_t serial(char *buf, size_t size) = 0;

    /* Name of the lock file for a slot, unique for the device across
     * processes (for example "slcan-dev-ttyACM0-0"); only [A-Za-z0-9._-]
     * are used, anything else is replaced by the core. The default names
     * the kind, board number and slot. */
    virtual void lock_name(int slot, char *buf, size_t size);

    /* ZkOpen with flags 0: is the slot available? ZK_OK or ZK_E_BUSY (or a
     * device error). Must not keep anything open. The core has already
     * checked its own lock. */
    virtual int16_t probe(int slot) { return ZK_OK; }

    /* Open the slot: the controller is stopped afterwards, not listen-only,
     * with the acceptance filter open, and bus timing *bt0, *bt1 (the
     * backend sets them to its initial pair; the core preset 0x00/0x1C,
     * 500 kbit/s). `port` receives the slot's frames and events from now
     * on. flags are ZK_OPEN_STD, ZK_OPEN_EXT or ZK_OPEN_BOTH, with
     * ZK_OPEN_FD or-ed in for an FD channel (only when fd_capable()) and
     * ZK_OPEN_TXRESULT when the application wants transmit results. */
    virtual int16_t open(int slot, uint8_t flags, zk_rx_port *port,
                         uint8_t *bt0, uint8_t *bt1) = 0;

    /* Close the slot: stop the controller, release the device. No more
     * deliveries for the slot after this returns. Cannot fail. */
    virtual void close(int slot) = 0;

    /* Set the bus timing. bitrate is sja1000_bitrate(bt0, bt1), never 0.
     * Called whether the controller runs or not; a backend that has to
     * stop the controller to change it restarts it afterwards.
     * ZK_E_NORATE when the adapter cannot produce this pair's rate. */
    virtual int16_t set_baud(int slot, uint8_t bt0, uint8_t bt1, uint32_t bitrate) = 0;

    /* Acceptance filter: a mask bit set means that identifier bit must
     * equal the code bit; mask 0 accepts everything. The core filters in
     * software anyway; a backend may program a hardware filter as long as
     * it passes at least those frames. Default: nothing to do. */
    virtual int16_t set_filter(int slot, uint32_t code, uint32_t mask) { return ZK_OK; }

    /* Listen-only mode on/off: the controller never transmits or
     * acknowledges. Called running or stopped (as set_baud). */
    virtual int16_t set_lom(int slot, bool on) = 0;

    /* Run / halt the controller. A stopped controller neither receives nor
     * sends. start() of a bus-off controller recovers it. */
    virtual int16_t start(int slot) = 0;
    virtual int16_t stop(int slot) = 0;

    /* Clear the error state (bus-off included) and the controller's error
     * counters (tec, rec), empty the transmit queue; the controller is
     * running afterwards if and only if `running` is true. */
    virtual int16_t hw_reset(int slot, bool running) = 0;

    /* CAN FD. fd_capable: can the slot's adapter run in FD mode (as far
     * as known without opening it; open() may still refuse with
     * ZK_E_NOFD when it finds out otherwise). open() is then called with
     * ZK_OPEN_FD in flags for a channel the application opens for FD. */
    virtual bool fd_capable(int slot) { return false; }

    /* The data-phase timing in force right after an FD open: bit/s,
     * sample point in permille (0 unknown), ZK_FD_ISO or ZK_FD_NON_ISO.
     * The core presets 2 Mbit/s, 0, ISO. */
    virtual void fd_timing(int slot, uint32_t *bitrate, uint16_t *sample_point, uint8_t *mode) {}

    /* Set the data-phase timing of a slot opened for FD; like set_baud for
     * when it may be called. bitrate is 1 kbit/s .. 16 Mbit/s, sample
     * point 0 (the adapter's choice) or 500..950 permille, mode ISO or
     * non-ISO. ZK_E_NORATE for a rate, ZK_E_UNSUPPORTED for a sample point
     * or mode the adapter cannot produce. */
    virtual int16_t set_data_rate(int slot, uint32_t bitrate, uint16_t sample_point, uint8_t mode)
    {
        return ZK_E_NOFD;
    }

    /* Queue one FD frame, as write() does a classic one. The core has
     * checked what write() lists, the channel opened for FD, ZK_FRAME_FDF
     * set, no RTR, len one of the FD lengths. */
    virtual int16_t write_fd(int slot, const zk_fdframe &frame, uint16_t timeout_ms)
    {
        return ZK_E_NOFD;
    }

    /* Whether the backend tells the fate of the slot's written frames
     * (zk_rx_port::tx_settle); asked after open(). A backend that does
     * may leave the frames still queued when stop(), hw_reset() or close()
     * returns, or when it reports lost(), to the core: it drops them then.
     * When false the core settles every frame ZK_TX_HANDED as write()
     * accepts it. */
    virtual bool tx_fates(int slot) { return false; }

    /* Queue one frame for transmission. The core has checked: channel
     * started, not listen-only, format enabled, len <= 8, identifier in
     * range, RTR frames carry no data bytes to care about. Wait at most
     * timeout_ms for room in the transmit queue; then ZK_E_WTOUT (the core
     * counts it). Other results: ZK_OK, ZK_E_BUSOFF, ZK_E_IO, ZK_E_GONE. */
    virtual int16_t write(int slot, const zk_frame &frame, uint16_t timeout_ms) = 0;

    /* Cyclic sending (ZkCyclicSet and the rest): frames[0..n-1], n 1..
     * ZK_CYCLIC_FRAMES, of one identifier and format, each checked as
     * write()/write_fd() frames are, data past len zero; the channel
     * started and not listen-only. A job is named by id and the EFF and
     * FDF bits of flags. ZK_E_UNSUPPORTED (the default) where the adapter
     * cannot send by itself; ZK_E_QEMPTY from cyclic_sent for no job.
     * cyclic_stop stops the job's timer before it counts (*sent). */
    virtual int16_t cyclic_set(int slot, const zk_fdframe *frames, uint16_t n, uint32_t period_us)
    {
        return ZK_E_UNSUPPORTED;
    }
    virtual int16_t cyclic_stop(int slot, uint32_t id, uint8_t flags, uint32_t *sent)
    {
        return ZK_E_UNSUPPORTED;
    }
    virtual int16_t cyclic_sent(int slot, uint32_t id, uint8_t flags, uint32_t *sent)
    {
        return ZK_E_UNSUPPORTED;
    }

    /* The write timeout the adapter can keep for a requested value (for
     * example rounded to its timer resolution). Default: as requested. */
    virtual uint16_t adjust_wtout(int slot, uint16_t ms) { return ms; }

    /* Fill the controller's part of the status: irq, base, bus_state
     * (0 active, 1 warning, 2 passive, 3 bus-off), rec, tec. The core fills
     * chan, board, state, lom, hovr, sovr, bt0, bt1, bitrate and the FD
     * fields. */
    virtual int16_t chip_status(int slot, zk_chipstat *st) = 0;

    /* Status text: the board's own entries (for example "Board", "Serial",
     * "Firmware"), before "CAN chip". Default: none. */
    virtual void board_text(zk_text_list &list) {}

    /* The slot's clock now, on the scale of the receive times it gives
     * frames (zk_frame.ts, microseconds, wrapping). Default: the low 32
     * bits of CLOCK_MONOTONIC in microseconds, the clock of backends that
     * stamp frames when they arrive. */
    virtual uint32_t clock_us(int slot);

    /* The controller's name, the value of the "CAN chip" entry. */
    virtual const char *chip_name(int slot) { return "SJA1000"; }

    /* Called by the core at the start of every Zk* call that concerns this
     * board (API lock held), so a backend without threads can do its
     * pending work here: the simulated bus catches up with the clock, a
     * polled adapter drains its input. Default: nothing. */
    virtual void poll() {}

    /* Kind name and board number, set by the core after creation. */
    const char *kind = "";
    uint8_t board = 0;
};

/* Factory: create a backend for one board spec. args is the text after
 * "KIND:" (empty when there was none), board the board number. On failure
 * return nullptr and write a short English reason into err (it is shown as
 * "board N (KIND): <reason>"). Must not open devices: that happens in
 * open(). */
using zk_backend_factory = std::unique_ptr<zk_backend> (*)(const char *args, uint8_t board,
                                                           char *err, size_t err_size);

/* Register a factory under a kind name ("sim", "slcan", "socketcan").
 * Returns true; used through ZK_REGISTER_BACKEND at static initialisation. */
bool register_backend(const char *kind, zk_backend_factory factory);

/* The factory for a kind, or nullptr. */
zk_backend_factory find_backend(const char *kind);

#define ZK_REGISTER_BACKEND(kind, factory) \
    static const bool zk_registered_##factory = ::zk::register_backend(kind, factory)

/* Detail text for the failure code the backend method is about to return
 * (for example "adapter refused command 'S9'"). The core remembers the
 * most recent failure code returned to the application with its detail
 * (empty when none was set); ZkStrError of that same code appends the
 * detail. Call from a backend method only (API lock held). */
void set_detail(const char *fmt, ...) __attribute__((format(printf, 1, 2)));

/* Helper for "key=value,key=value" option strings. Reads the next option
 * from *p (advancing it past the comma), copies key and value (value empty
 * when there is no '='), NUL-terminated and cut to the buffer sizes.
 * Returns false at the end of the string. */
bool next_option(const char **p, char *key, size_t key_size, char *val, size_t val_size);

/* Bounded copy that always NUL-terminates (size > 0). */
void copy_text(char *dst, size_t size, const char *src);

/* The user's folder of channel locks and of state shared between the
 * user's processes (the simulated buses): $ZELK_LOCK_DIR when set, else
 * /run/user/UID/zelk when /run/user/UID is the user's private folder, else
 * ~/.cache/zelk-locks of the password database's home folder; created when
 * missing, used only when it is the user's own and nobody else may write it. ZK_E_IO with a detail when
 * there is none. */
int16_t runtime_dir(char *buf, size_t size);

/* Who holds a lock (flock) on the file at path, as "process 1234
 * (minicom) of user anna", from the system's list of locks. False when
 * the system does not tell (no such lock listed, or /proc unreadable). */
bool lock_holder(const char *path, char *buf, size_t size);

/* Opens a file the user named (the board list) for reading: only a
 * regular file, and never waiting for a FIFO's writer. Returns the
 * descriptor, or -1 with *err an errno value, or with *kind set ("a
 * FIFO", "a folder", "a device", "a socket", "not a regular file") and *err
 * 0 for a file of the wrong kind. The same rules as the program's own
 * opening of user files, kept here since the library stands on its own. */
int open_regular(const char *path, int *err, const char **kind);

} // namespace zk

#endif /* ZELK_BACKEND_H */
