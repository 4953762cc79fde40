// The simulated bus shared by the user's processes: its clock, frame
// lengths, nodes, arbitration and the ring of passed frames, and the file
// that holds it.
#include "sim_bus.h"

#include <algorithm>
#include <atomic>
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
    const int len = zk_fd_round_len(f.len);
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
    put(zk_fd_dlc(unsigned(len)), 4);
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

sim_bus_guard::sim_bus_guard(sim_bus *b)
{
    take(b);
}

sim_bus_guard::~sim_bus_guard()
{
    unlock();
}

bool sim_bus_guard::take(sim_bus *b)
{
    unlock();
    b_ = b;
    lock();
    return held_;
}

void sim_bus_guard::lock()
{
    if (held_ || !b_) return;
    // A process that died holding the lock: the bus is plain data, at
    // worst a frame of that moment is lost. A lock held for seconds is no
    // process at work but a damaged file: not waited for.
    int r = pthread_mutex_trylock(&b_->mu);
    if (r == EBUSY) {
        timespec until;
        clock_gettime(CLOCK_REALTIME, &until);
        until.tv_sec += 3;
        r = pthread_mutex_timedlock(&b_->mu, &until);
    }
    if (r == EOWNERDEAD) pthread_mutex_consistent(&b_->mu);
    held_ = r == 0 || r == EOWNERDEAD;
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
    f->len = n.len > 64 ? 64 : n.len;
    if (n.flags & ZK_FRAME_RTR) return;
    const uint32_t c = n.counter;
    // The saturating FD node sends alternating bits after its counter, so
    // that stuff bits hardly change the frame rate of the two bit rates.
    const bool plain = n.period_us == 0 && (n.flags & ZK_FRAME_FDF);
    for (int i = 0; i < f->len; i++)
        f->data[i] = plain ? 0x55 : uint8_t((n.id * 7 + c * (i + 3) + i * 31) >> (i & 1));
    if (f->len > 0) f->data[0] = uint8_t(c);          // rolling counter
    if (f->len > 1) f->data[1] = uint8_t(c >> 8);
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
    const int nch = sim_nch(b);
    for (int i = 0; i < nch; i++) {
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
// transmit error counter, until it goes bus-off and gives up its queue.
void attempts(sim_bus *b, sim_chan &c, uint64_t now_ns)
{
    const sim_tx *head = sim_tx_head(c);
    if (!head || c.state == 3) return;
    uint64_t t = std::max(c.next_attempt_ns, head->enq_ns);
    if (!can_send(c, t) || sim_in_step(b, c, head->f)) return;
    const uint64_t step = chan_frame_ns(c, head->f);
    while (t <= now_ns && c.state != 3 && can_send(c, t)) {
        t += step;
        c.tec += 8;
        c.ack_errors++;
        sim_bus_update_state(c);
    }
    if (c.state == 3) sim_bus_give_up(c, t);
    c.next_attempt_ns = t;
    if (c.state != 3 && t < b->next_event) b->next_event = t;
}

void commit(sim_bus *b)
{
    b->busy = 0;
    sim_ecu *ecu = sim_bus_ecu(b);
    if (b->cur_node == SIM_ECU_NODE) {
        if (ecu) ecu->sent(b->cur_end_ns);
    } else if (b->cur_node >= 0 && b->cur_node < SIM_NODES_MAX) {
        sim_node &n = b->nodes[b->cur_node];
        n.counter++;
        if (n.period_us) n.due_ns += uint64_t(n.period_us) * 1000;
        else n.due_ns = b->cur_end_ns;
    } else if (b->cur_chan >= 0 && b->cur_chan < ZK_CHANNELS_PER_BOARD) {
        sim_chan &c = b->ch[b->cur_chan];
        c.tx_head = int32_t((unsigned(c.tx_head) + 1) % unsigned(sim_txq(b)));
        if (c.tx_count > 0) {
            c.tx_count--;
            c.tx_sent++;
            c.sent_ns = b->cur_end_ns;
        }
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

void sim_bus_give_up(sim_chan &c, uint64_t now_ns)
{
    if (c.tx_count > 0) {
        c.tx_gone += uint32_t(c.tx_count);
        c.gone_ns = now_ns;
    }
    c.tx_count = 0;
    c.tx_head = 0;
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
    const int nch = sim_nch(b);
    const int nnodes = sim_nnodes(b);
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
            for (int i = 0; i < nnodes; i++) {
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
            const sim_tx *e = sim_tx_head(c);
            if (!e) continue;
            const uint64_t t = std::max(b->t_free, e->enq_ns);
            if (can_send(c, t) && sim_in_step(b, c, e->f)) earliest = std::min(earliest, e->enq_ns);
        }
        for (int i = 0; i < nnodes; i++) earliest = std::min(earliest, b->nodes[i].due_ns);
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
            const sim_tx *e = sim_tx_head(c);
            if (!e || e->enq_ns > start || !can_send(c, start) || !sim_in_step(b, c, e->f)) continue;
            const uint32_t k = arb_key(e->f);
            if (!found || k < best) {
                best = k;
                b->cur = e->f;
                b->cur_chan = int8_t(i);
                b->cur_node = -1;
                found = true;
            }
        }
        for (int i = 0; i < nnodes; i++) {
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
constexpr uint64_t CHECK_EVERY_NS = 50 * 1000 * 1000;
// A process with the bus mapped holds a read lock (fcntl) on this byte
// past the end of the file: others can tell the bus is in use whatever its
// contents, and the flock that serialises setting it up is left alone.
// Such a lock goes with any descriptor of the file the process closes:
// nothing else here opens the file while it is mapped.
constexpr off_t USER_BYTE = off_t(1) << 40;

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

// ---- pages lost under the mapping

// A file shrunk under the mapping would end the process with SIGBUS at
// the next touch of a page past its end. The handler puts a zero page in
// place of such a page of a bus mapping and notes it; the next check of
// the bus finds the note (or the zeroed header) and leaves the bus. Any
// other SIGBUS goes to the handler there was before. Nothing of this runs
// on the frame path.
struct guarded {
    std::atomic<uintptr_t> base{0};
    volatile sig_atomic_t lost = 0;
};
guarded g_guarded[2 * ZK_MAX_BOARDS];
struct sigaction g_old_bus;
bool g_guard_installed = false;
uintptr_t g_page = 4096;

void on_sigbus(int sig, siginfo_t *si, void *uc)
{
    const uintptr_t a = uintptr_t(si->si_addr);
    for (guarded &g : g_guarded) {
        const uintptr_t base = g.base.load(std::memory_order_relaxed);
        if (base && a >= base && a < base + sizeof(sim_bus)) {
            const uintptr_t page = a & ~(g_page - 1);
            g.lost = 1;
            if (mmap(reinterpret_cast<void *>(page), size_t(g_page), PROT_READ | PROT_WRITE,
                     MAP_PRIVATE | MAP_ANONYMOUS | MAP_FIXED, -1, 0) != MAP_FAILED)
                return;
        }
    }
    if (g_old_bus.sa_flags & SA_SIGINFO) {
        g_old_bus.sa_sigaction(sig, si, uc);
    } else if (g_old_bus.sa_handler != SIG_DFL && g_old_bus.sa_handler != SIG_IGN) {
        g_old_bus.sa_handler(sig);
    } else {
        // The fault comes again on return, now with the default action.
        signal(SIGBUS, SIG_DFL);
    }
}

guarded *guard_mapping(sim_bus *b)
{
    if (!g_guard_installed) {
        g_page = uintptr_t(sysconf(_SC_PAGESIZE));
        struct sigaction sa {};
        sa.sa_sigaction = on_sigbus;
        sa.sa_flags = SA_SIGINFO;
        sigemptyset(&sa.sa_mask);
        if (sigaction(SIGBUS, &sa, &g_old_bus) != 0) return nullptr;
        g_guard_installed = true;
    }
    for (guarded &g : g_guarded)
        if (!g.base.load()) {
            g.lost = 0;
            g.base.store(uintptr_t(b));
            return &g;
        }
    return nullptr;
}

guarded *guard_of(const sim_bus *b)
{
    for (guarded &g : g_guarded)
        if (g.base.load() == uintptr_t(b)) return &g;
    return nullptr;
}

void unmap(sim_bus *b)
{
    if (!b) return;
    if (guarded *g = guard_of(b)) g->base.store(0);
    munmap(b, sizeof(sim_bus));
}

// ---- checking the file and its contents

// Read without trusting the value: an enum field may hold anything.
template <class T>
int32_t raw32(const T &v)
{
    int32_t r = 0;
    memcpy(&r, &v, sizeof v < sizeof r ? sizeof v : sizeof r);
    return r;
}

// Every field of the bus that bounds an index or divides, in range.
bool contents_sane(const sim_bus *b, char *why, size_t size)
{
    const sim_bus_options &o = b->opt;
    const int32_t traffic = raw32(o.traffic);
    const char *bad = nullptr;
    long value = 0;
    auto check = [&](bool ok, const char *what, long v) {
        if (!ok && !bad) {
            bad = what;
            value = v;
        }
    };
    check(b->magic == BUS_MAGIC && b->layout == SIM_BUS_LAYOUT, "header", long(b->magic));
    check(o.channels >= 1 && o.channels <= ZK_CHANNELS_PER_BOARD, "channel count", o.channels);
    check(o.txq >= 1 && o.txq <= SIM_TXQ_MAX, "transmit queue size", o.txq);
    check(b->nnodes >= 0 && b->nnodes <= SIM_NODES_MAX, "node count", b->nnodes);
    check(traffic >= SIM_TRAFFIC_NONE && traffic <= SIM_TRAFFIC_J1939_FULL, "traffic", traffic);
    check(o.full_len >= -1 && o.full_len <= 64, "frame length", o.full_len);
    check(b->cur_chan >= -1 && b->cur_chan < o.channels, "sending channel", b->cur_chan);
    check(b->cur_node == SIM_ECU_NODE || (b->cur_node >= -1 && b->cur_node < b->nnodes), "sending node",
          b->cur_node);
    check(b->has_ecu <= 1, "diagnostic simulation", b->has_ecu);
    for (int i = 0; i < ZK_CHANNELS_PER_BOARD && !bad; i++) {
        const sim_chan &c = b->ch[i];
        check(c.tx_head >= 0 && c.tx_head < o.txq, "transmit queue index", c.tx_head);
        check(c.tx_count >= 0 && c.tx_count <= o.txq, "transmit queue fill", c.tx_count);
        check(c.state <= 3, "controller state", c.state);
    }
    for (int i = 0; i < b->nnodes && i < SIM_NODES_MAX && !bad; i++) check(b->nodes[i].len <= 64, "node frame length", b->nodes[i].len);
    if (!bad && b->has_ecu) {
        const sim_ecu *ecu = reinterpret_cast<const sim_ecu *>(b->ecu_mem);
        check(ecu->sane(), "diagnostic simulation", 0);
    }
    if (!bad) return true;
    if (strcmp(bad, "header") == 0) snprintf(why, size, "it is no simulated bus of layout %u", unsigned(SIM_BUS_LAYOUT));
    else snprintf(why, size, "its %s reads %ld", bad, value);
    return false;
}

// Another process has the bus of the open file mapped: *pid is one.
bool used_by_others(int fd, pid_t *pid)
{
    struct flock l {};
    l.l_type = F_WRLCK;
    l.l_whence = SEEK_SET;
    l.l_start = USER_BYTE;
    l.l_len = 1;
    if (fcntl(fd, F_GETLK, &l) != 0) return false;
    *pid = l.l_pid;
    return l.l_type != F_UNLCK;
}

bool mark_user(int fd)
{
    struct flock l {};
    l.l_type = F_RDLCK;
    l.l_whence = SEEK_SET;
    l.l_start = USER_BYTE;
    l.l_len = 1;
    return fcntl(fd, F_SETLK, &l) == 0;
}

// Fresh contents in place, for a file nobody else has mapped.
bool make_fresh(sim_bus *b, const sim_bus_options &opt)
{
    memset(static_cast<void *>(b), 0, offsetof(sim_bus, ring));
    if (!init_mutex(&b->mu)) return false;
    set_up(b, opt);
    b->magic = BUS_MAGIC;
    b->layout = SIM_BUS_LAYOUT;
    return true;
}

// The bus file of the board, mapped; flock held while it is looked at
// and set up. nullptr with why when it cannot be used.
sim_bus *shared_bus(uint8_t board, const sim_bus_options &opt, sim_bus_file *file, char *why, size_t why_size)
{
    char dir[768];
    if (runtime_dir(dir, sizeof dir) < 0) {
        snprintf(why, why_size, "no folder for the simulated bus");
        return nullptr;
    }
    char *path = file->path;
    snprintf(path, sizeof file->path, "%s/sim-bus-%u-v%u", dir, unsigned(board), unsigned(SIM_BUS_LAYOUT));
    const int fd = open(path, O_RDWR | O_CREAT | O_NOFOLLOW | O_CLOEXEC | O_NONBLOCK, 0600);
    if (fd < 0) {
        snprintf(why, why_size, "the simulated bus file %s cannot be opened: %s", path,
                 errno == ELOOP ? "it is a symbolic link" : strerror(errno));
        return nullptr;
    }
    struct stat st;
    sim_bus *b = nullptr;
    char bad[160] = "";
    pid_t other = 0;
    if (flock(fd, LOCK_EX) != 0 || fstat(fd, &st) != 0) {
        snprintf(why, why_size, "the simulated bus file %s cannot be used: %s", path, strerror(errno));
    } else if (!S_ISREG(st.st_mode) || st.st_uid != getuid()) {
        snprintf(why, why_size, "the simulated bus file %s is not a regular file of yours", path);
    } else if (st.st_nlink != 1) {
        snprintf(why, why_size, "the simulated bus file %s has %u names (hard links): remove them", path,
                 unsigned(st.st_nlink));
    } else {
        const bool in_use = used_by_others(fd, &other);
        if (st.st_size != off_t(sizeof(sim_bus)))
            snprintf(bad, sizeof bad, "it has %lld bytes, not %zu", (long long)st.st_size, sizeof(sim_bus));
        if (!bad[0] || !in_use) {
            if (bad[0] && ftruncate(fd, off_t(sizeof(sim_bus))) != 0) {
                snprintf(why, why_size, "the simulated bus file %s cannot be sized: %s", path, strerror(errno));
            } else {
                void *p = mmap(nullptr, sizeof(sim_bus), PROT_READ | PROT_WRITE, MAP_SHARED, fd, 0);
                if (p == MAP_FAILED)
                    snprintf(why, why_size, "the simulated bus file %s cannot be mapped: %s", path,
                             strerror(errno));
                else
                    b = static_cast<sim_bus *>(p);
            }
        }
        if (b && !bad[0]) contents_sane(b, bad, sizeof bad);
        sim_bus_guard g;
        if (b && !bad[0] && !g.take(b))
            snprintf(bad, sizeof bad, "its lock stays taken");
        if (b && bad[0] && in_use) {
            munmap(b, sizeof(sim_bus));
            b = nullptr;
        }
        if (bad[0] && in_use) {
            // Setting it up again would leave the programs on it talking
            // into nothing.
            snprintf(why, why_size, "the simulated bus file %s cannot be trusted (%s) and process %d uses it: "
                     "close the programs on the bus or remove the file", path, bad, int(other));
        } else if (b && bad[0]) {
            // Nobody has it mapped: a crash while it was set up, another
            // layout, a copy taken with its lock held, or a disk problem
            // left it behind.
            if (!make_fresh(b, opt)) {
                munmap(b, sizeof(sim_bus));
                b = nullptr;
                snprintf(why, why_size, "the simulated bus file %s cannot be set up", path);
            }
        } else if (b) {
            // Set up afresh from this entry unless someone holds a channel.
            bool busy = false;
            for (const sim_chan &c : b->ch) busy |= alive(c.owner);
            if (!busy) set_up(b, opt);
        }
        g.unlock();
        if (b && !mark_user(fd)) {
            munmap(b, sizeof(sim_bus));
            b = nullptr;
            snprintf(why, why_size, "the simulated bus file %s cannot be locked: %s", path, strerror(errno));
        }
    }
    flock(fd, LOCK_UN);
    if (!b) {
        close(fd);
        return nullptr;
    }
    if (!guard_mapping(b)) {
        munmap(b, sizeof(sim_bus));
        close(fd);
        snprintf(why, why_size, "the simulated bus file %s cannot be guarded", path);
        return nullptr;
    }
    file->fd = fd;
    file->dev = uint64_t(st.st_dev);
    file->ino = uint64_t(st.st_ino);
    file->next_check_ns = 0;
    return b;
}

}  // namespace

sim_bus *sim_bus_private(const sim_bus_options &opt)
{
    sim_bus *b = map_private();
    if (!b) return nullptr;
    init_mutex(&b->mu);
    b->magic = BUS_MAGIC;
    b->layout = SIM_BUS_LAYOUT;
    set_up(b, opt);
    return b;
}

sim_bus *sim_bus_attach(uint8_t board, const sim_bus_options &opt, sim_bus_file *file, char *why,
                        size_t why_size)
{
    why[0] = '\0';
    if (!sim_clock_shared()) return sim_bus_private(opt);
    return shared_bus(board, opt, file, why, why_size);
}

bool sim_bus_verify(const sim_bus *b, sim_bus_file *file, uint64_t now_ns, char *why, size_t why_size)
{
    if (file->fd < 0) return true;
    const guarded *g = guard_of(b);
    if (g && g->lost) {
        snprintf(why, why_size, "the simulated bus file %s was cut short under the programs using it",
                 file->path);
        return false;
    }
    if (now_ns >= file->next_check_ns) {
        struct stat st, at;
        if (fstat(file->fd, &st) == 0 && st.st_size != off_t(sizeof(sim_bus))) {
            snprintf(why, why_size, "the simulated bus file %s changed its size to %lld bytes", file->path,
                     (long long)st.st_size);
            return false;
        }
        if (lstat(file->path, &at) != 0 || uint64_t(at.st_dev) != file->dev || uint64_t(at.st_ino) != file->ino) {
            snprintf(why, why_size, "the simulated bus file %s was removed or replaced", file->path);
            return false;
        }
        file->next_check_ns = now_ns + CHECK_EVERY_NS;
    }
    char bad[160];
    if (!contents_sane(b, bad, sizeof bad)) {
        snprintf(why, why_size, "the simulated bus file %s was damaged: %s", file->path, bad);
        return false;
    }
    return true;
}

sim_bus *sim_bus_go_private(sim_bus *bus, sim_bus_file *file)
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
        if (p->busy && p->cur_chan >= 0 && p->cur_chan < ZK_CHANNELS_PER_BOARD && !p->ch[p->cur_chan].owner)
            p->busy = 0;
    }
    init_mutex(&p->mu);
    sim_bus_detach(bus, file);
    return p;
}

void sim_bus_detach(sim_bus *bus, sim_bus_file *file)
{
    unmap(bus);
    if (file && file->fd >= 0) {
        close(file->fd);
        file->fd = -1;
    }
}

}  // namespace zk
