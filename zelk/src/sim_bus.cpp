// The simulated bus shared by the user's processes: its clock, frame
// lengths, nodes, arbitration and the ring of passed frames, and the file
// that holds it.
#include "sim_bus.h"

#include <algorithm>
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <fcntl.h>
#include <new>
#include <sys/file.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

namespace zk {

// ---- clock -------------------------------------------------------------

namespace {
bool g_manual = false;
uint64_t g_manual_ns = 0;
int64_t g_offset_ns = 0;

uint64_t mono_ns()
{
    timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return uint64_t(ts.tv_sec) * 1000000000u + uint64_t(ts.tv_nsec);
}

constexpr uint64_t NS_PER_S = 1000000000u;
// Backlog the bus works off in one call when the application has not
// called for a while: long enough that a stalled reader sees the receive
// queue overflow and counts every lost frame, short enough to bound the
// work of one call (about 40 ms of CPU at a saturated 1 Mbit/s).
constexpr uint64_t MAX_CATCH_UP_NS = 10 * NS_PER_S;
}  // namespace

uint64_t sim_now_ns()
{
    return g_manual ? g_manual_ns : uint64_t(int64_t(mono_ns()) + g_offset_ns);
}

bool sim_manual() { return g_manual; }

void sim_set_manual(bool on)
{
    if (on && !g_manual) {
        g_manual_ns = sim_now_ns();
        g_manual = true;
    } else if (!on && g_manual) {
        // Continue from where the manual clock stood: never backwards.
        int64_t off = int64_t(g_manual_ns) - int64_t(mono_ns());
        g_offset_ns = std::max<int64_t>(off, g_offset_ns);
        g_manual = false;
    }
}

void sim_manual_to(uint64_t t_ns)
{
    if (g_manual && t_ns > g_manual_ns) g_manual_ns = t_ns;
}

void sim_clock_reset()
{
    g_manual = false;
    g_manual_ns = 0;
    g_offset_ns = 0;
}

bool sim_clock_shared()
{
    return !g_manual && g_offset_ns == 0;
}

// ---- frame length ------------------------------------------------------

namespace {

// Calls stuffed(i) for every stuff bit the transmitter inserts after bit
// i of bits[0..n): after five equal bits one of the other value, which
// starts the next run.
template <class F>
void each_stuff_bit(const uint8_t *bits, int n, F stuffed)
{
    int run = 0;
    uint8_t last = 2;
    for (int i = 0; i < n; i++) {
        if (bits[i] == last) run++;
        else {
            last = bits[i];
            run = 1;
        }
        if (run == 5) {
            stuffed(i);
            last = uint8_t(!last);
            run = 1;
        }
    }
}

}  // namespace

int sim_frame_bits(const zk_frame &f)
{
    // Bits from the start of frame to the end of the CRC, which is the
    // stuffed part of the frame.
    uint8_t bits[160];
    int n = 0;
    auto put = [&](uint32_t v, int count) {
        for (int i = count - 1; i >= 0; i--) bits[n++] = uint8_t((v >> i) & 1u);
    };
    const bool ext = (f.flags & ZK_FRAME_EFF) != 0;
    const bool rtr = (f.flags & ZK_FRAME_RTR) != 0;
    const int len = f.len > 8 ? 8 : f.len;
    put(0, 1);  // start of frame
    if (ext) {
        put(f.id >> 18, 11);
        put(1, 1);  // SRR
        put(1, 1);  // IDE
        put(f.id & 0x3FFFFu, 18);
        put(rtr, 1);
        put(0, 2);  // r1, r0
    } else {
        put(f.id & 0x7FFu, 11);
        put(rtr, 1);
        put(0, 1);  // IDE
        put(0, 1);  // r0
    }
    put(uint32_t(len), 4);
    if (!rtr)
        for (int i = 0; i < len; i++) put(f.data[i], 8);
    uint32_t crc = 0;
    for (int i = 0; i < n; i++) {
        const uint32_t next = bits[i] ^ ((crc >> 14) & 1u);
        crc = (crc << 1) & 0x7FFFu;
        if (next) crc ^= 0x4599u;
    }
    put(crc, 15);
    int stuffed = 0;
    each_stuff_bit(bits, n, [&](int) { stuffed++; });
    // CRC delimiter, ACK slot and delimiter, end of frame, interframe space.
    return n + stuffed + 1 + 2 + 7 + 3;
}

void sim_fd_frame_bits(const zk_fdframe &f, int *nominal, int *data)
{
    if (!(f.flags & ZK_FRAME_FDF)) {
        zk_frame c{};
        c.id = f.id;
        c.flags = f.flags & (ZK_FRAME_EFF | ZK_FRAME_RTR);
        c.len = f.len > 8 ? 8 : f.len;
        memcpy(c.data, f.data, 8);
        *nominal = sim_frame_bits(c);
        *data = 0;
        return;
    }
    // Start of frame to the end of the data field: dynamically stuffed.
    uint8_t bits[600];
    int n = 0;
    auto put = [&](uint32_t v, int count) {
        for (int i = count - 1; i >= 0; i--) bits[n++] = uint8_t((v >> i) & 1u);
    };
    const int len = fd_round_len(f.len);
    put(0, 1);  // start of frame
    if (f.flags & ZK_FRAME_EFF) {
        put(f.id >> 18, 11);
        put(1, 1);  // SRR
        put(1, 1);  // IDE
        put(f.id & 0x3FFFFu, 18);
    } else {
        put(f.id & 0x7FFu, 11);
    }
    put(0, 1);  // RRS
    if (!(f.flags & ZK_FRAME_EFF)) put(0, 1);  // IDE
    put(1, 1);  // FDF
    put(0, 1);  // res
    const bool brs = (f.flags & ZK_FRAME_BRS) != 0;
    put(brs, 1);
    const int last_nominal = n - 1;  // the rate switches at the BRS bit
    put((f.flags & ZK_FRAME_ESI) != 0, 1);
    put(fd_len_to_dlc(unsigned(len)), 4);
    for (int i = 0; i < len; i++) put(f.data[i], 8);
    int stuff_nominal = 0, stuff_data = 0;
    each_stuff_bit(bits, n, [&](int i) { (brs && i >= last_nominal ? stuff_data : stuff_nominal)++; });
    // Stuff count (3 bits and parity) and CRC, with a fixed stuff bit
    // before them and after every fourth bit.
    const int crc_field = 4 + (len <= 16 ? 17 : 21);
    const int fixed = crc_field + (crc_field + 3) / 4;
    // CRC delimiter, ACK slot and delimiter, end of frame, interframe space.
    const int tail = 1 + 2 + 7 + 3;
    const int head = last_nominal + 1 + stuff_nominal;
    const int phase = (n - last_nominal - 1) + stuff_data + fixed;
    if (brs) {
        *nominal = head + tail;
        *data = phase;
    } else {
        *nominal = head + phase + tail;
        *data = 0;
    }
}

// ---- bus ---------------------------------------------------------------

namespace {

uint64_t bits_ns(int bits, uint32_t rate)
{
    return rate ? (uint64_t(bits) * NS_PER_S + rate / 2) / rate : 0;
}

// Arbitration: the lower key wins, as the bits go on the bus. RTR and RRS
// are the same bit; an FD frame has it dominant, like a data frame.
uint32_t arb_key(const zk_fdframe &f)
{
    const uint32_t rtr = (f.flags & ZK_FRAME_RTR) ? 1u : 0u;
    if (f.flags & ZK_FRAME_EFF)
        return ((f.id >> 18) << 21) | (1u << 20) | (1u << 19) | ((f.id & 0x3FFFFu) << 1) | rtr;
    return ((f.id & 0x7FFu) << 21) | (rtr << 20);
}

struct node_def {
    uint32_t id;
    uint8_t flags, len;
    uint32_t period_us;
};

// A small vehicle-like network.
const node_def vehicle_nodes[] = {
    {0x0C0, 0, 8, 10000},                 // engine speed and torque
    {0x0D0, 0, 8, 20000},                 // vehicle speed
    {0x120, 0, 8, 20000},                 // wheel speeds
    {0x1A0, 0, 4, 50000},                 // brake pressure
    {0x220, 0, 6, 10000},                 // steering angle
    {0x2F0, 0, 8, 100000},                // gearbox
    {0x3E0, 0, 3, 500000},                // climate
    {0x420, 0, 2, 1000000},               // doors
    {0x5C0, 0, 1, 200000},                // lights
    {0x6F0, ZK_FRAME_RTR, 2, 1000000},    // diagnostic remote request
    {0x0CF00400, ZK_FRAME_EFF, 8, 10000}, // electronic engine controller
    {0x18FEF100, ZK_FRAME_EFF, 8, 100000},// cruise control / vehicle speed
    {0x18FEEE00, ZK_FRAME_EFF, 8, 1000000},// engine temperature
};

// CAN FD nodes added by traffic=mixed: most with the fast data phase.
constexpr uint8_t FD_BRS = ZK_FRAME_FDF | ZK_FRAME_BRS;
const node_def fd_nodes[] = {
    {0x1F0, FD_BRS, 64, 20000},                       // radar objects
    {0x2A0, FD_BRS, 32, 10000},                       // camera lane data
    {0x3C0, ZK_FRAME_FDF, 12, 100000},                // body data, no rate switch
    {0x450, FD_BRS, 48, 50000},                       // battery cells
    {0x18DA10F1, ZK_FRAME_EFF | FD_BRS, 20, 500000},  // diagnostics over FD
};

const char *const traffic_names[] = {"none", "default", "mixed", "full", "full-fd", "ecu", "isotp-full",
                                     "j1939-full"};

}  // namespace

bool sim_traffic_kind(const char *name, sim_traffic *out)
{
    for (size_t i = 0; i < sizeof traffic_names / sizeof traffic_names[0]; i++)
        if (strcmp(name, traffic_names[i]) == 0) {
            *out = sim_traffic(i);
            return true;
        }
    return false;
}

const char *sim_traffic_name(sim_traffic t)
{
    return unsigned(t) < sizeof traffic_names / sizeof traffic_names[0] ? traffic_names[t] : "?";
}


// ---- lock ----------------------------------------------------------------

sim_bus_guard::sim_bus_guard(sim_bus *b) : b_(b)
{
    lock();
}

sim_bus_guard::~sim_bus_guard()
{
    unlock();
}

void sim_bus_guard::lock()
{
    if (held_ || !b_) return;
    // A process that died holding the lock: the bus is plain data, at
    // worst a frame of that moment is lost.
    if (pthread_mutex_lock(&b_->mu) == EOWNERDEAD) pthread_mutex_consistent(&b_->mu);
    held_ = true;
}

void sim_bus_guard::unlock()
{
    if (!held_) return;
    pthread_mutex_unlock(&b_->mu);
    held_ = false;
}

// ---- nodes and frames ----------------------------------------------------

namespace {

void node_frame(const sim_node &n, zk_fdframe *f)
{
    memset(f, 0, sizeof *f);
    f->id = n.id;
    f->flags = n.flags;
    f->len = n.len;
    if (n.flags & ZK_FRAME_RTR) return;
    const uint32_t c = n.counter;
    // The saturating FD node sends alternating bits after its counter, so
    // that stuff bits hardly change the frame rate of the two bit rates.
    const bool plain = n.period_us == 0 && (n.flags & ZK_FRAME_FDF);
    for (int i = 0; i < n.len; i++)
        f->data[i] = plain ? 0x55 : uint8_t((n.id * 7 + c * (i + 3) + i * 31) >> (i & 1));
    if (n.len > 0) f->data[0] = uint8_t(c);          // rolling counter
    if (n.len > 1) f->data[1] = uint8_t(c >> 8);
}

// Controllers synchronise within a fraction of a percent.
bool near(uint32_t a, uint32_t b)
{
    const uint32_t diff = a > b ? a - b : b - a;
    return uint64_t(diff) * 200u <= b;
}

uint64_t chan_frame_ns(const sim_chan &c, const zk_fdframe &f)
{
    int nominal = 0, data = 0;
    sim_fd_frame_bits(f, &nominal, &data);
    return bits_ns(nominal, c.bitrate) + bits_ns(data, c.dbitrate);
}

// May the controller send the frame at its head at time t: open and
// started, or closed with its queue still going out.
bool can_send(const sim_chan &c, uint64_t t)
{
    if (c.tx_count == 0 || c.state == 3) return false;
    if (c.owner) return c.started && !c.lom;
    return t < c.drain_until_ns;
}

bool receives(const sim_chan &c)
{
    return c.owner && c.started && c.state != 3;
}

void deliver(sim_bus *b, const zk_fdframe &f, int sender, uint64_t end_ns)
{
    sim_passed &p = b->ring[b->seq % SIM_RING];
    p.f = f;
    p.f.ts = uint32_t(end_ns / 1000);
    p.end_ns = end_ns;
    p.to = 0;
    for (int i = 0; i < b->opt.channels; i++) {
        sim_chan &c = b->ch[i];
        if (i == sender || !receives(c)) continue;
        if (sim_in_step(b, c, f)) {
            p.to |= uint8_t(1u << i);
            if (!c.lom && c.rec > 0) {
                c.rec--;
                sim_bus_update_state(c);
            }
        } else if (!c.lom) {
            // Sampling at the wrong rate or variant: every frame is a
            // receive error.
            if (c.rec < 255) c.rec++;
            sim_bus_update_state(c);
        }
    }
    b->seq++;
}

// A controller off the bus rate (or, for its FD frame, off the data rate
// or variant) is never acknowledged: every attempt costs 8 on its
// transmit error counter, until it goes bus-off.
void attempts(sim_bus *b, sim_chan &c, uint64_t now_ns)
{
    if (c.tx_count == 0 || c.state == 3) return;
    const sim_tx &head = c.txq[c.tx_head];
    uint64_t t = std::max(c.next_attempt_ns, head.enq_ns);
    if (!can_send(c, t) || sim_in_step(b, c, head.f)) return;
    const uint64_t step = chan_frame_ns(c, head.f);
    while (t <= now_ns && c.state != 3 && can_send(c, t)) {
        t += step;
        c.tec += 8;
        sim_bus_update_state(c);
    }
    c.next_attempt_ns = t;
    if (c.state != 3 && t < b->next_event) b->next_event = t;
}

void commit(sim_bus *b)
{
    b->busy = 0;
    sim_ecu *ecu = sim_bus_ecu(b);
    if (b->cur_node == SIM_ECU_NODE) {
        if (ecu) ecu->sent(b->cur_end_ns);
    } else if (b->cur_node >= 0) {
        sim_node &n = b->nodes[b->cur_node];
        n.counter++;
        if (n.period_us) n.due_ns += uint64_t(n.period_us) * 1000;
        else n.due_ns = b->cur_end_ns;
    } else if (b->cur_chan >= 0) {
        sim_chan &c = b->ch[b->cur_chan];
        c.tx_head = (c.tx_head + 1) % b->opt.txq;
        c.tx_count--;
        if (c.tec > 0) {
            c.tec--;
            sim_bus_update_state(c);
        }
    }
    deliver(b, b->cur, b->cur_chan, b->cur_end_ns);
    if (ecu && b->cur_node != SIM_ECU_NODE) ecu->heard(b->cur, b->cur_end_ns);
}

}  // namespace

void sim_bus_setup_nodes(sim_bus *b, uint64_t now_ns)
{
    b->nnodes = 0;
    auto add = [&](uint32_t id, uint8_t flags, int len, uint32_t period_us, uint64_t due) {
        if (b->nnodes < SIM_NODES_MAX)
            b->nodes[b->nnodes++] = sim_node{id, flags, uint8_t(len), period_us, due, 0};
    };
    const sim_traffic t = b->opt.traffic;
    b->has_ecu = 0;
    if (t == SIM_TRAFFIC_ECU || t == SIM_TRAFFIC_ISOTP_FULL || t == SIM_TRAFFIC_J1939_FULL) {
        const sim_ecu::mode m = t == SIM_TRAFFIC_ECU          ? sim_ecu::ECU
                                : t == SIM_TRAFFIC_ISOTP_FULL ? sim_ecu::ISOTP_FULL
                                                              : sim_ecu::J1939_FULL;
        new (b->ecu_mem) sim_ecu(m, now_ns);
        b->has_ecu = 1;
    }
    if (t == SIM_TRAFFIC_DEFAULT || t == SIM_TRAFFIC_MIXED || t == SIM_TRAFFIC_ECU) {
        // Stagger the first frames so that the nodes do not all start at
        // once.
        uint64_t phase = 0;
        auto periodic = [&](const node_def &d) {
            phase += 1300000;
            add(d.id, d.flags, d.len, d.period_us, now_ns + phase % (uint64_t(d.period_us) * 1000));
        };
        for (const node_def &d : vehicle_nodes) periodic(d);
        if (t == SIM_TRAFFIC_MIXED)
            for (const node_def &d : fd_nodes) periodic(d);
    } else if (t == SIM_TRAFFIC_FULL) {
        // One node that always has a frame ready: 0x555 has no stuff bits
        // in its identifier.
        add(0x555, 0, b->opt.full_len < 0 ? 0 : b->opt.full_len, 0, now_ns);
    } else if (t == SIM_TRAFFIC_FULL_FD) {
        add(0x555, FD_BRS, b->opt.full_len < 0 ? 64 : b->opt.full_len, 0, now_ns);
    }
}

bool sim_in_step(const sim_bus *b, const sim_chan &c, const zk_fdframe &f)
{
    if (!near(c.bitrate, b->opt.rate)) return false;
    if (!(f.flags & ZK_FRAME_FDF) || !c.fd) return true;
    if (c.non_iso) return false;  // the bus's nodes run ISO CAN FD
    return !(f.flags & ZK_FRAME_BRS) || near(c.dbitrate, b->opt.drate);
}

uint64_t sim_bus_frame_ns(const sim_bus *b, const zk_fdframe &f)
{
    int nominal = 0, data = 0;
    sim_fd_frame_bits(f, &nominal, &data);
    return bits_ns(nominal, b->opt.rate) + bits_ns(data, b->opt.drate);
}

void sim_bus_update_state(sim_chan &c)
{
    uint8_t s = 0;
    const unsigned worst = std::max(c.tec, c.rec);
    if (c.tec > 255) s = 3;
    else if (worst >= 128) s = 2;
    else if (worst >= 96) s = 1;
    if (c.state == 0 && s > 0) c.ev_ewl++;
    if (s == 3 && c.state != 3) c.ev_boff++;
    c.state = s;
}

void sim_bus_abort(sim_bus *b, int slot, uint64_t now_ns)
{
    if (b->busy && (slot < 0 || b->cur_chan == slot)) {
        b->busy = 0;
        b->t_free = now_ns;
    }
}

uint8_t sim_bus_inject(sim_bus *b, const zk_fdframe &f, uint64_t now_ns)
{
    const uint64_t seq = b->seq;
    deliver(b, f, -1, now_ns);
    return b->ring[seq % SIM_RING].to;
}

void sim_bus_advance(sim_bus *b, uint64_t now_ns, bool bounded, void (*progress)(void *), void *ctx)
{
    b->next_event = UINT64_MAX;
    const int nch = b->opt.channels;
    for (int i = 0; i < nch; i++) attempts(b, b->ch[i], now_ns);
    const uint64_t seq0 = b->seq;
    for (;;) {
        if (progress && b->seq - seq0 >= SIM_RING / 4) {
            progress(ctx);
            return sim_bus_advance(b, now_ns, bounded, progress, ctx);
        }
        if (b->busy) {
            if (b->cur_end_ns > now_ns) {
                b->next_event = std::min(b->next_event, b->cur_end_ns);
                break;
            }
            commit(b);
            continue;
        }
        if (bounded && now_ns > b->t_free + MAX_CATCH_UP_NS) {
            b->t_free = now_ns - MAX_CATCH_UP_NS;
            for (int i = 0; i < b->nnodes; i++) {
                sim_node &n = b->nodes[i];
                if (n.due_ns >= b->t_free) continue;
                if (n.period_us) {
                    const uint64_t p = uint64_t(n.period_us) * 1000;
                    n.due_ns += (b->t_free - n.due_ns + p - 1) / p * p;
                } else {
                    n.due_ns = b->t_free;
                }
            }
        }
        // A closed channel whose queue did not get out in time gives it up.
        for (int i = 0; i < nch; i++) {
            sim_chan &c = b->ch[i];
            if (c.tx_count && !c.owner && c.drain_until_ns <= b->t_free) c.tx_count = 0;
        }
        // Who competes for the bus, and from when.
        uint64_t earliest = UINT64_MAX;
        for (int i = 0; i < nch; i++) {
            const sim_chan &c = b->ch[i];
            if (c.tx_count == 0) continue;
            const sim_tx &e = c.txq[c.tx_head];
            const uint64_t t = std::max(b->t_free, e.enq_ns);
            if (can_send(c, t) && sim_in_step(b, c, e.f)) earliest = std::min(earliest, e.enq_ns);
        }
        for (int i = 0; i < b->nnodes; i++) earliest = std::min(earliest, b->nodes[i].due_ns);
        sim_ecu *ecu = sim_bus_ecu(b);
        zk_fdframe ecu_frame;
        uint64_t ecu_from = 0;
        const bool ecu_ready = ecu && ecu->ready(&ecu_frame, &ecu_from);
        if (ecu_ready) earliest = std::min(earliest, ecu_from);
        if (earliest == UINT64_MAX) break;
        const uint64_t start = std::max(b->t_free, earliest);
        if (start > now_ns) {
            b->next_event = std::min(b->next_event, start);
            break;
        }
        // Arbitration among everyone ready at the start.
        uint32_t best = UINT32_MAX;
        bool found = false;
        for (int i = 0; i < nch; i++) {
            const sim_chan &c = b->ch[i];
            if (c.tx_count == 0) continue;
            const sim_tx &e = c.txq[c.tx_head];
            if (e.enq_ns > start || !can_send(c, start) || !sim_in_step(b, c, e.f)) continue;
            const uint32_t k = arb_key(e.f);
            if (!found || k < best) {
                best = k;
                b->cur = e.f;
                b->cur_chan = int8_t(i);
                b->cur_node = -1;
                found = true;
            }
        }
        for (int i = 0; i < b->nnodes; i++) {
            const sim_node &n = b->nodes[i];
            if (n.due_ns > start) continue;
            zk_fdframe f;
            node_frame(n, &f);
            const uint32_t k = arb_key(f);
            if (!found || k < best) {
                best = k;
                b->cur = f;
                b->cur_chan = -1;
                b->cur_node = int8_t(i);
                found = true;
            }
        }
        if (ecu_ready && ecu_from <= start && (!found || arb_key(ecu_frame) < best)) {
            b->cur = ecu_frame;
            b->cur_chan = -1;
            b->cur_node = SIM_ECU_NODE;
            found = true;
        }
        if (!found) {
            // The earliest sender may not send at the start after all (its
            // queue ran out of time): look again from there.
            b->t_free = start + 1;
            continue;
        }
        b->busy = 1;
        b->cur_end_ns = start + sim_bus_frame_ns(b, b->cur);
        b->t_free = b->cur_end_ns;
    }
}

// ---- the shared file -----------------------------------------------------

namespace {

constexpr uint32_t BUS_MAGIC = 0x5A4B5342u;  // "ZKSB"

bool alive(int32_t pid)
{
    return pid > 0 && (kill(pid_t(pid), 0) == 0 || errno == EPERM);
}

// The whole bus afresh from opt (mutex not touched).
void set_up(sim_bus *b, const sim_bus_options &opt)
{
    const uint64_t now = sim_now_ns();
    b->opt = opt;
    b->busy = 0;
    b->cur_chan = b->cur_node = -1;
    b->t_free = now;
    b->next_event = 0;
    memset(b->ch, 0, sizeof b->ch);
    b->seq = 0;
    sim_bus_setup_nodes(b, now);
}

bool init_mutex(pthread_mutex_t *m)
{
    pthread_mutexattr_t a;
    pthread_mutexattr_init(&a);
    pthread_mutexattr_setpshared(&a, PTHREAD_PROCESS_SHARED);
    pthread_mutexattr_setrobust(&a, PTHREAD_MUTEX_ROBUST);
    /* A sending thread of real-time priority does not wait on another
     * program's reader that holds the bus but is not running. */
    pthread_mutexattr_setprotocol(&a, PTHREAD_PRIO_INHERIT);
    const bool ok = pthread_mutex_init(m, &a) == 0;
    pthread_mutexattr_destroy(&a);
    return ok;
}

sim_bus *map_private()
{
    void *p = mmap(nullptr, sizeof(sim_bus), PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    return p == MAP_FAILED ? nullptr : static_cast<sim_bus *>(p);
}

sim_bus *private_bus(const sim_bus_options &opt)
{
    sim_bus *b = map_private();
    if (!b) return nullptr;
    init_mutex(&b->mu);
    b->magic = BUS_MAGIC;
    b->layout = SIM_BUS_LAYOUT;
    set_up(b, opt);
    return b;
}

// The bus file of the board, mapped, locked with flock while this runs.
sim_bus *shared_bus(uint8_t board, const sim_bus_options &opt)
{
    char dir[768];
    if (runtime_dir(dir, sizeof dir) < 0) return nullptr;
    char path[1024];
    snprintf(path, sizeof path, "%s/sim-bus-%u-v%u", dir, unsigned(board), unsigned(SIM_BUS_LAYOUT));
    const int fd = open(path, O_RDWR | O_CREAT | O_NOFOLLOW | O_CLOEXEC, 0600);
    if (fd < 0) return nullptr;
    struct stat st;
    sim_bus *b = nullptr;
    if (flock(fd, LOCK_EX) == 0 && fstat(fd, &st) == 0 && S_ISREG(st.st_mode) &&
        st.st_uid == getuid()) {
        const bool fresh = st.st_size != off_t(sizeof(sim_bus));
        if (!fresh || ftruncate(fd, off_t(sizeof(sim_bus))) == 0) {
            void *p = mmap(nullptr, sizeof(sim_bus), PROT_READ | PROT_WRITE, MAP_SHARED, fd, 0);
            if (p != MAP_FAILED) b = static_cast<sim_bus *>(p);
        }
        if (b && (fresh || b->magic != BUS_MAGIC || b->layout != SIM_BUS_LAYOUT)) {
            // Nobody can be using it: a new file, or one another layout
            // (or a crash while it was set up) left behind.
            memset(static_cast<void *>(b), 0, offsetof(sim_bus, ring));
            if (init_mutex(&b->mu)) {
                set_up(b, opt);
                b->magic = BUS_MAGIC;
                b->layout = SIM_BUS_LAYOUT;
            } else {
                munmap(b, sizeof(sim_bus));
                b = nullptr;
            }
        } else if (b) {
            // Set up afresh from this entry unless someone holds a channel.
            sim_bus_guard g(b);
            bool in_use = false;
            for (const sim_chan &c : b->ch) in_use |= alive(c.owner);
            if (!in_use) set_up(b, opt);
        }
    }
    // The mapping holds the open file, so closing the descriptor alone
    // would keep the lock.
    flock(fd, LOCK_UN);
    close(fd);
    return b;
}

}  // namespace

sim_bus *sim_bus_attach(uint8_t board, const sim_bus_options &opt, bool *shared)
{
    sim_bus *b = sim_clock_shared() ? shared_bus(board, opt) : nullptr;
    *shared = b != nullptr;
    return b ? b : private_bus(opt);
}

sim_bus *sim_bus_go_private(sim_bus *bus)
{
    sim_bus *p = map_private();
    if (!p) return bus;
    const int32_t me = int32_t(getpid());
    {
        sim_bus_guard g(bus);
        memcpy(static_cast<void *>(p), bus, offsetof(sim_bus, ring));
        for (int i = 0; i < ZK_CHANNELS_PER_BOARD; i++) {
            sim_chan &c = bus->ch[i];
            sim_chan &n = p->ch[i];
            if (c.owner == me) {
                // The channel leaves the shared bus with everything it
                // had queued.
                c.owner = 0;
                c.tx_count = 0;
                n.rx_seq = p->seq;
            } else {
                memset(&n, 0, sizeof n);
            }
        }
        if (p->busy && p->cur_chan >= 0 && !p->ch[p->cur_chan].owner) p->busy = 0;
    }
    init_mutex(&p->mu);
    sim_bus_detach(bus);
    return p;
}

void sim_bus_detach(sim_bus *bus)
{
    if (bus) munmap(bus, sizeof(sim_bus));
}

}  // namespace zk
