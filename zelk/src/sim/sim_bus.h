/*
 * sim_bus.h - the simulated CAN bus of a "sim" board, one for all the
 * user's processes: the controllers of its channels, its simulated nodes,
 * the frame on the wire and the frames that passed, in a file of the
 * user's runtime folder mapped into every process that uses the board
 * (board N: sim-bus-N-vL, L the layout version below). Any process that
 * calls the library brings the bus up to the clock under the bus's
 * process-shared mutex; each process then takes the frames meant for the
 * channels it holds out of the ring of passed frames. Which process holds
 * a channel is decided by the library's channel locks, as for every
 * board. The file is the user's, so anything may be found in it: every
 * use checks it first (sim_bus_verify), and a process leaves a bus it
 * cannot trust rather than fault on it.
 *
 * A process whose simulation clock is not the monotonic clock (the
 * manual clock of the tests) uses a bus of its own in private memory, so
 * that nothing it does reaches other processes or is disturbed by them.
 *
 * Plain data: no pointers, no constructors, the same layout in every
 * process. All functions below take the bus locked (sim_bus_guard) unless
 * said otherwise.
 */
#ifndef ZELK_SIM_BUS_H
#define ZELK_SIM_BUS_H

#include "core/backend.h"
#include "sim_ecu.h"

#include <pthread.h>

#include <cstdint>
#include <type_traits>

namespace zk {

/* Simulation clock in nanoseconds: CLOCK_MONOTONIC, or the manual clock. */
uint64_t sim_now_ns();
bool sim_manual();
void sim_set_manual(bool on);
/* Moves the manual clock forward to t (never backwards). */
void sim_manual_to(uint64_t t_ns);
/* Manual clock off and no offset: the state of a fresh process. */
void sim_clock_reset();
/* The process's clock is the monotonic clock other processes have. */
bool sim_clock_shared();

enum sim_traffic {
    SIM_TRAFFIC_NONE,
    SIM_TRAFFIC_DEFAULT,
    SIM_TRAFFIC_MIXED,
    SIM_TRAFFIC_FULL,
    SIM_TRAFFIC_FULL_FD,
    SIM_TRAFFIC_ECU,         /* default traffic and an ECU that answers (sim_ecu.h) */
    SIM_TRAFFIC_ISOTP_FULL,  /* a tester and the ECU saturating the bus */
    SIM_TRAFFIC_J1939_FULL   /* J1939 broadcasts saturating the bus */
};

/* Traffic name <-> kind; false / "?" when unknown. */
bool sim_traffic_kind(const char *name, sim_traffic *out);
const char *sim_traffic_name(sim_traffic t);

/* Bits on the wire of a classic CAN frame including stuff bits, CRC
 * delimiter, acknowledgement, end of frame and the 3-bit interframe
 * space. */
int sim_frame_bits(const zk_frame &f);

/* The same for a classic or FD frame, split by the rate they run at:
 * *nominal bits at the nominal rate, *data bits at the data rate (0 for a
 * classic frame or an FD frame without BRS). An FD frame's data phase
 * runs from the ESI bit to the end of the CRC, with its fixed stuff bits;
 * dynamic stuff bits count in the phase they fall in. */
void sim_fd_frame_bits(const zk_fdframe &f, int *nominal, int *data);

constexpr uint32_t SIM_BUS_LAYOUT = 3;
constexpr int SIM_TXQ_MAX = 1024;
constexpr int SIM_NODES_MAX = 32;
/* Frames the ring of passed frames keeps: as many as a channel's receive
 * queue, so that a process that stalls loses no more than its queue
 * would hold. */
constexpr int SIM_RING = 65536;

/* What the board's entry says about its bus; the process that sets the
 * bus up (no channel of it open anywhere) puts them in force, later ones
 * find the bus as it is. */
struct sim_bus_options {
    int channels = 2;
    uint32_t rate = 500000;    /* bit/s */
    uint32_t drate = 2000000;  /* data-phase bit/s of FD frames with BRS */
    sim_traffic traffic = SIM_TRAFFIC_DEFAULT;
    int full_len = -1;         /* -1: 0 for full, 64 for full-fd */
    int txq = 16;
};

struct sim_tx {
    zk_fdframe f;
    uint64_t enq_ns;
};

/* One channel's controller. */
struct sim_chan {
    int32_t owner;             /* process that holds it open, 0: closed */
    uint8_t started, lom, fd, non_iso;
    uint8_t state;             /* 0 active, 1 warning, 2 passive, 3 bus-off */
    uint32_t bitrate, dbitrate;
    uint16_t dsp;
    uint32_t tec, rec;
    uint32_t ev_ewl, ev_boff;  /* events not yet handed to the owner */
    uint64_t rx_seq;           /* next passed frame the owner takes */
    uint64_t drain_until_ns;   /* closed: its queue still goes out until then */
    uint64_t next_attempt_ns;
    /* Fates of the owner's frames since open, as running counts that its
     * process reads (sim_board::take): committed on the bus (the last at
     * sent_ns), given up (the last time at gone_ns), attempts no node
     * acknowledged. */
    uint32_t tx_sent, tx_gone, ack_errors;
    uint64_t sent_ns, gone_ns;
    int32_t tx_head, tx_count;
    sim_tx txq[SIM_TXQ_MAX];
};

struct sim_node {
    uint32_t id;
    uint8_t flags, len;
    uint32_t period_us;
    uint64_t due_ns;
    uint32_t counter;
};

/* A frame that passed: the channels it reached (bit per slot) and when
 * it ended. */
struct sim_passed {
    zk_fdframe f;
    uint8_t to;
    uint64_t end_ns;
};

struct sim_bus {
    uint32_t magic, layout;
    pthread_mutex_t mu;
    sim_bus_options opt;
    /* The frame on the wire: once it has started it is no longer subject
     * to arbitration. */
    uint8_t busy;
    int8_t cur_chan, cur_node;  /* sender slot or node, -1 none, SIM_ECU_NODE the ECU */
    zk_fdframe cur;
    uint64_t cur_end_ns;
    uint64_t t_free;           /* bus free from this time on */
    uint64_t next_event;       /* next time something happens, after sim_bus_advance */
    int32_t nnodes;
    sim_node nodes[SIM_NODES_MAX];
    sim_chan ch[ZK_CHANNELS_PER_BOARD];
    /* The diagnostic traffic's simulation (traffic ecu, isotp-full,
     * j1939-full), constructed in place by sim_bus_setup_nodes: it holds
     * no pointers, so every process can run it. */
    uint8_t has_ecu;
    alignas(sim_ecu) unsigned char ecu_mem[sizeof(sim_ecu)];
    uint64_t seq;              /* number of frames passed so far */
    sim_passed ring[SIM_RING];
};

/* cur_node of a frame the diagnostic simulation sends. */
constexpr int8_t SIM_ECU_NODE = -2;

/* The channel count and queue size of the bus, kept in range: the shared
 * file may be rewritten under a running process, so every use as a bound
 * or divisor goes through these. */
inline int sim_nch(const sim_bus *b)
{
    const int n = b->opt.channels;
    return n < 0 ? 0 : n > ZK_CHANNELS_PER_BOARD ? ZK_CHANNELS_PER_BOARD : n;
}
inline int sim_txq(const sim_bus *b)
{
    const int n = b->opt.txq;
    return n < 1 ? 1 : n > SIM_TXQ_MAX ? SIM_TXQ_MAX : n;
}
inline int sim_nnodes(const sim_bus *b)
{
    const int n = b->nnodes;
    return n < 0 ? 0 : n > SIM_NODES_MAX ? SIM_NODES_MAX : n;
}
/* The head of a channel's transmit queue, or nullptr when it has none
 * (or its indexes are out of range). */
inline const sim_tx *sim_tx_head(const sim_chan &c)
{
    const int h = c.tx_head;
    return c.tx_count > 0 && h >= 0 && h < SIM_TXQ_MAX ? &c.txq[h] : nullptr;
}

static_assert(std::is_trivially_copyable<sim_ecu>::value, "sim_ecu lives in the mapped bus");

/* The bus's diagnostic simulation, or nullptr when its traffic has none. */
inline sim_ecu *sim_bus_ecu(sim_bus *b)
{
    return b->has_ecu ? reinterpret_cast<sim_ecu *>(b->ecu_mem) : nullptr;
}

/* The process's hold on a shared bus file: the open file (which also
 * carries the lock that tells others the bus is in use), its identity and
 * path, and when it was last checked. fd -1: a private bus. */
struct sim_bus_file {
    int fd = -1;
    uint64_t dev = 0, ino = 0;
    uint64_t next_check_ns = 0;
    char path[1024] = "";
};

/* Maps the bus of board `board` and sets it up from opt when nobody holds
 * a channel of it: the file in the runtime folder when the clock is
 * shared, else private memory. A file that cannot be trusted (a link, the
 * wrong size, damaged contents) is set up afresh only when no other
 * program uses it; otherwise nullptr with the reason in why. nullptr with
 * why empty: no memory at all. */
sim_bus *sim_bus_attach(uint8_t board, const sim_bus_options &opt, sim_bus_file *file, char *why,
                        size_t why_size);
/* A bus of the process's own, set up from opt (nullptr: no memory). */
sim_bus *sim_bus_private(const sim_bus_options &opt);
/* Moves the process to a private copy of the bus (the manual clock goes
 * on): its channels come along, others' stay behind. Takes the bus
 * unlocked; returns the new bus (the old one is unmapped, its file
 * closed). */
sim_bus *sim_bus_go_private(sim_bus *bus, sim_bus_file *file);
void sim_bus_detach(sim_bus *bus, sim_bus_file *file);

/* Can the shared bus still be trusted: its file still the one at its
 * path and of its full size (looked at every 50 ms of now_ns), no page of
 * it lost under the mapping, and every field that bounds an index or
 * divides in range. Bus locked. False with the reason in why. */
bool sim_bus_verify(const sim_bus *b, sim_bus_file *file, uint64_t now_ns, char *why, size_t why_size);

/* Holds the bus's mutex (a process that died holding it leaves it
 * consistent enough: the bus is plain data). A lock that stays held for
 * seconds (a damaged file) is not taken: held() is false then. */
class sim_bus_guard {
public:
    sim_bus_guard() = default;
    explicit sim_bus_guard(sim_bus *b);
    ~sim_bus_guard();
    bool take(sim_bus *b);
    void unlock();
    void lock();
    bool held() const { return held_; }

private:
    sim_bus *b_ = nullptr;
    bool held_ = false;
};

/* Sets up the nodes of the traffic in force from now_ns on. */
void sim_bus_setup_nodes(sim_bus *b, uint64_t now_ns);

/* Does the controller take part in this frame at its settings: its
 * nominal rate matches the bus, and for an FD frame with BRS its data
 * rate, for any FD frame in FD mode its variant (ISO). A controller in
 * classic mode takes FD frames too: the core counts them for the classic
 * reader (a real classic controller would destroy them with error
 * frames; the simulation spares the bus that). */
bool sim_in_step(const sim_bus *b, const sim_chan &c, const zk_fdframe &f);

/* Runs the bus up to now_ns; bounded: skips backlog older than 10 s.
 * progress(ctx) is called every few thousand frames, so that a long
 * catch-up can hand frames to their channels before the ring wraps. */
void sim_bus_advance(sim_bus *b, uint64_t now_ns, bool bounded, void (*progress)(void *) = nullptr,
                     void *ctx = nullptr);

/* A frame put on the bus by a simulated node, passed now. Returns the
 * slots it reached. */
uint8_t sim_bus_inject(sim_bus *b, const zk_fdframe &f, uint64_t now_ns);

/* The controller's state follows its error counters. */
void sim_bus_update_state(sim_chan &c);

/* The channel's transmit queue is given up (bus-off, stop, reset): its
 * frames count as gone at now_ns. Abort a frame of it on the wire first. */
void sim_bus_give_up(sim_chan &c, uint64_t now_ns);

/* A sending controller stopped, reset or changed its timing (slot -1:
 * the bus changed): the frame it had on the wire is gone. */
void sim_bus_abort(sim_bus *b, int slot, uint64_t now_ns);

/* Frame time on the bus. */
uint64_t sim_bus_frame_ns(const sim_bus *b, const zk_fdframe &f);

}  // namespace zk

#endif /* ZELK_SIM_BUS_H */
