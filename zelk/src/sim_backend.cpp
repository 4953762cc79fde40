// The simulated board: channels on one simulated bus with simulated nodes.
#include "sim_backend.h"

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>

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
constexpr int SENT_LOG = 8192;
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

// ---- board -------------------------------------------------------------

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

zk_fdframe to_fd(const zk_frame &c)
{
    zk_fdframe f{};
    f.id = c.id;
    f.flags = c.flags;
    f.len = c.len;
    f.ts = c.ts;
    memcpy(f.data, c.data, sizeof c.data);
    return f;
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

const char *const traffic_names[] = {"none", "default", "mixed", "full", "full-fd"};

}  // namespace

sim_board::sim_board(const options &o) : opt_(o)
{
    if (!opt_.has_serial) opt_.serial[0] = '\0';
    setup_nodes(sim_now_ns());
    t_free_ = sim_now_ns();
}

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

void sim_board::setup_nodes(uint64_t now_ns)
{
    nodes_.clear();
    if (opt_.traffic == SIM_TRAFFIC_DEFAULT || opt_.traffic == SIM_TRAFFIC_MIXED) {
        uint64_t phase = 0;
        auto add = [&](const node_def &d) {
            // Stagger the first frames so that the nodes do not all start
            // at once.
            phase += 1300000;
            nodes_.push_back({d.id, d.flags, d.len, d.period_us, now_ns + phase % (uint64_t(d.period_us) * 1000), 0});
        };
        for (const node_def &d : vehicle_nodes) add(d);
        if (opt_.traffic == SIM_TRAFFIC_MIXED)
            for (const node_def &d : fd_nodes) add(d);
    } else if (opt_.traffic == SIM_TRAFFIC_FULL) {
        // One node that always has a frame ready: 0x555 has no stuff bits
        // in its identifier.
        nodes_.push_back({0x555, 0, uint8_t(opt_.full_len < 0 ? 0 : opt_.full_len), 0, now_ns, 0});
    } else if (opt_.traffic == SIM_TRAFFIC_FULL_FD) {
        nodes_.push_back({0x555, FD_BRS, uint8_t(opt_.full_len < 0 ? 64 : opt_.full_len), 0, now_ns, 0});
    }
}

void sim_board::node_frame(node &n, zk_fdframe *f) const
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

void sim_board::board_names(char *name, size_t name_size, char *manufacturer,
                            size_t manufacturer_size)
{
    copy_text(name, name_size, opt_.name);
    copy_text(manufacturer, manufacturer_size, "ZELK simulation");
}

int16_t sim_board::serial(char *buf, size_t size)
{
    if (!opt_.has_serial) return ZK_E_NOSERIAL;
    if (opt_.serial[0]) copy_text(buf, size, opt_.serial);
    else snprintf(buf, size, "SIM-%u", unsigned(board));
    return ZK_OK;
}

int16_t sim_board::probe(int slot)
{
    return (opt_.busy_mask >> slot) & 1u ? ZK_E_BUSY : ZK_OK;
}

int16_t sim_board::open(int slot, uint8_t flags, zk_rx_port *port, uint8_t *bt0, uint8_t *bt1)
{
    if ((opt_.busy_mask >> slot) & 1u) return ZK_E_BUSY;
    chan &c = ch_[slot];
    c = chan{};
    c.open = true;
    c.port = port;
    c.txq.resize(size_t(opt_.txq));
    c.sent_log.reset(new zk_fdframe[SENT_LOG]);
    // An FD controller comes up at the bus's data rate.
    c.fd = (flags & ZK_OPEN_FD) != 0;
    c.dbitrate = opt_.drate;
    // The controller comes up at the bus rate when that is a CiA rate.
    static const struct { uint32_t rate; uint8_t bt0, bt1; } cia[] = {
        {10000, 0x31, 0x1C}, {20000, 0x18, 0x1C}, {50000, 0x09, 0x1C},
        {100000, 0x04, 0x1C}, {125000, 0x03, 0x1C}, {250000, 0x01, 0x1C},
        {500000, 0x00, 0x1C}, {800000, 0x00, 0x16}, {1000000, 0x00, 0x14},
    };
    *bt0 = 0x00;
    *bt1 = 0x1C;
    for (const auto &r : cia)
        if (r.rate == opt_.rate) {
            *bt0 = r.bt0;
            *bt1 = r.bt1;
        }
    c.bitrate = sja1000_bitrate(*bt0, *bt1);
    return ZK_OK;
}

void sim_board::close(int slot)
{
    abort_current(slot);
    chan &c = ch_[slot];
    c.open = c.started = false;
    c.port = nullptr;
    c.tx_count = 0;
}

int16_t sim_board::set_baud(int slot, uint8_t, uint8_t, uint32_t bitrate)
{
    abort_current(slot);
    ch_[slot].bitrate = bitrate;
    return ZK_OK;
}

void sim_board::fd_timing(int slot, uint32_t *bitrate, uint16_t *sample_point, uint8_t *mode)
{
    const chan &c = ch_[slot];
    *bitrate = c.dbitrate;
    *sample_point = c.dsp;
    *mode = c.non_iso ? ZK_FD_NON_ISO : ZK_FD_ISO;
}

int16_t sim_board::set_data_rate(int slot, uint32_t bitrate, uint16_t sample_point, uint8_t mode)
{
    abort_current(slot);
    chan &c = ch_[slot];
    c.dbitrate = bitrate;
    c.dsp = sample_point ? sample_point : 750;
    c.non_iso = mode == ZK_FD_NON_ISO;
    return ZK_OK;
}

int16_t sim_board::set_lom(int slot, bool on)
{
    if (on) abort_current(slot);
    ch_[slot].lom = on;
    return ZK_OK;
}

int16_t sim_board::start(int slot)
{
    chan &c = ch_[slot];
    if (c.state == 3) {
        // Leaving reset mode runs the bus-off recovery.
        c.tec = c.rec = 0;
        c.state = 0;
    }
    c.started = true;
    c.next_attempt_ns = sim_now_ns();
    return ZK_OK;
}

int16_t sim_board::stop(int slot)
{
    abort_current(slot);
    ch_[slot].started = false;
    return ZK_OK;
}

int16_t sim_board::hw_reset(int slot, bool running)
{
    abort_current(slot);
    chan &c = ch_[slot];
    c.tec = c.rec = 0;
    c.state = 0;
    c.tx_count = 0;
    c.tx_head = 0;
    c.started = running;
    c.next_attempt_ns = sim_now_ns();
    return ZK_OK;
}

uint16_t sim_board::adjust_wtout(int, uint16_t ms)
{
    uint32_t v = ms;
    if (opt_.wtstep) v = (v + opt_.wtstep - 1) / opt_.wtstep * opt_.wtstep;
    if (v > 0xFFFFu) v = 0xFFFFu / opt_.wtstep * opt_.wtstep;
    if (opt_.wtmax && v > opt_.wtmax) v = opt_.wtmax;
    return uint16_t(v);
}

int16_t sim_board::chip_status(int slot, zk_chipstat *st)
{
    const chan &c = ch_[slot];
    st->irq = -1;
    st->base = 0;
    st->bus_state = c.state;
    st->rec = uint8_t(std::min(c.rec, 255u));
    st->tec = uint8_t(std::min(c.tec, 255u));
    return ZK_OK;
}

void sim_board::board_text(zk_text_list &list)
{
    char v[32];
    if (opt_.has_serial) {
        serial(v, sizeof v);
        list.add("Serial", v);
    }
    auto rate = [&](const char *name, uint32_t r) {
        if (r % 1000000 == 0 && r > 1000000) snprintf(v, sizeof v, "%u Mbit/s", unsigned(r / 1000000));
        else if (r % 1000 == 0) snprintf(v, sizeof v, "%u kbit/s", unsigned(r / 1000));
        else snprintf(v, sizeof v, "%u bit/s", unsigned(r));
        list.add(name, v);
    };
    rate("Bus rate", opt_.rate);
    rate("Bus data rate", opt_.drate);
    list.add("Bus traffic", sim_traffic_name(opt_.traffic));
}

namespace {
// Controllers synchronise within a fraction of a percent.
bool near(uint32_t a, uint32_t b)
{
    const uint32_t diff = a > b ? a - b : b - a;
    return uint64_t(diff) * 200u <= b;
}
}  // namespace

bool sim_board::in_step(const chan &c, const zk_fdframe &f) const
{
    if (!near(c.bitrate, opt_.rate)) return false;
    if (!(f.flags & ZK_FRAME_FDF) || !c.fd) return true;
    if (c.non_iso) return false;  // the bus's nodes run ISO CAN FD
    return !(f.flags & ZK_FRAME_BRS) || near(c.dbitrate, opt_.drate);
}

uint64_t sim_board::frame_ns(const zk_fdframe &f) const
{
    int nominal = 0, data = 0;
    sim_fd_frame_bits(f, &nominal, &data);
    return bits_ns(nominal, opt_.rate) + bits_ns(data, opt_.drate);
}

uint64_t sim_board::frame_ns(const zk_fdframe &f, const chan &c) const
{
    int nominal = 0, data = 0;
    sim_fd_frame_bits(f, &nominal, &data);
    return bits_ns(nominal, c.bitrate) + bits_ns(data, c.dbitrate);
}

bool sim_board::can_send(const chan &c) const
{
    return c.open && c.started && !c.lom && c.state != 3 && c.tx_count > 0;
}

void sim_board::update_state(chan &c)
{
    uint8_t s = 0;
    const unsigned worst = std::max(c.tec, c.rec);
    if (c.tec > 255) s = 3;
    else if (worst >= 128) s = 2;
    else if (worst >= 96) s = 1;
    if (c.state == 0 && s > 0 && c.port) c.port->event(ZK_EV_EWL);
    if (s == 3 && c.state != 3 && c.port) c.port->event(ZK_EV_BOFF);
    c.state = s;
}

void sim_board::deliver(const zk_fdframe &f, int sender, uint64_t end_ns)
{
    zk_fdframe rx = f;
    rx.ts = uint32_t(end_ns / 1000);
    for (int i = 0; i < opt_.channels; i++) {
        chan &c = ch_[i];
        if (i == sender || !c.open || !c.started || c.state == 3) continue;
        if (in_step(c, f)) {
            if (c.port) c.port->frame(rx);
            if (!c.lom && c.rec > 0) {
                c.rec--;
                update_state(c);
            }
        } else if (!c.lom) {
            // Sampling at the wrong rate or variant: every frame is a
            // receive error.
            if (c.rec < 255) c.rec++;
            update_state(c);
        }
    }
}

void sim_board::attempts(chan &c, uint64_t now_ns)
{
    // A controller off the bus rate (or, for its FD frame, off the data
    // rate or variant) is never acknowledged: every attempt costs 8 on its
    // transmit error counter, until it goes bus-off.
    if (!can_send(c)) return;
    const tx_entry &head = c.txq[size_t(c.tx_head)];
    if (in_step(c, head.f)) return;
    uint64_t t = std::max(c.next_attempt_ns, head.enq_ns);
    const uint64_t step = frame_ns(head.f, c);
    while (t <= now_ns && c.state != 3) {
        t += step;
        c.tec += 8;
        update_state(c);
    }
    c.next_attempt_ns = t;
    if (c.state != 3 && t < next_event_) next_event_ = t;
}

void sim_board::commit()
{
    cur_.busy = false;
    if (cur_.node >= 0) {
        node &n = nodes_[size_t(cur_.node)];
        n.counter++;
        if (n.period_us) n.due_ns += uint64_t(n.period_us) * 1000;
        else n.due_ns = cur_.end_ns;
    } else if (cur_.chan >= 0) {
        chan &c = ch_[cur_.chan];
        c.tx_head = (c.tx_head + 1) % opt_.txq;
        c.tx_count--;
        if (c.tec > 0) {
            c.tec--;
            update_state(c);
        }
    }
    deliver(cur_.f, cur_.chan, cur_.end_ns);
}

void sim_board::abort_current(int slot)
{
    if (cur_.busy && (slot < 0 || cur_.chan == slot)) {
        cur_.busy = false;
        t_free_ = sim_now_ns();
    }
}

void sim_board::advance(uint64_t now_ns, bool bounded)
{
    next_event_ = UINT64_MAX;
    for (int i = 0; i < opt_.channels; i++) attempts(ch_[i], now_ns);

    for (;;) {
        if (cur_.busy) {
            if (cur_.end_ns > now_ns) {
                next_event_ = std::min(next_event_, cur_.end_ns);
                break;
            }
            commit();
            continue;
        }
        if (bounded && now_ns > t_free_ + MAX_CATCH_UP_NS) {
            t_free_ = now_ns - MAX_CATCH_UP_NS;
            for (node &n : nodes_)
                if (n.due_ns < t_free_) {
                    if (n.period_us) {
                        const uint64_t p = uint64_t(n.period_us) * 1000;
                        n.due_ns += (t_free_ - n.due_ns + p - 1) / p * p;
                    } else {
                        n.due_ns = t_free_;
                    }
                }
        }
        // Who competes for the bus, and from when.
        uint64_t earliest = UINT64_MAX;
        for (int i = 0; i < opt_.channels; i++) {
            const chan &c = ch_[i];
            if (can_send(c) && in_step(c, c.txq[size_t(c.tx_head)].f))
                earliest = std::min(earliest, c.txq[size_t(c.tx_head)].enq_ns);
        }
        for (const node &n : nodes_) earliest = std::min(earliest, n.due_ns);
        if (earliest == UINT64_MAX) break;
        const uint64_t start = std::max(t_free_, earliest);
        if (start > now_ns) {
            next_event_ = std::min(next_event_, start);
            break;
        }
        // Arbitration among everyone ready at the start.
        on_wire w;
        uint32_t best = UINT32_MAX;
        for (int i = 0; i < opt_.channels; i++) {
            chan &c = ch_[i];
            if (!can_send(c)) continue;
            const tx_entry &e = c.txq[size_t(c.tx_head)];
            if (!in_step(c, e.f)) continue;
            if (e.enq_ns > start) continue;
            const uint32_t k = arb_key(e.f);
            if (!w.busy || k < best) {
                best = k;
                w.f = e.f;
                w.chan = i;
                w.node = -1;
                w.busy = true;
            }
        }
        for (size_t i = 0; i < nodes_.size(); i++) {
            node &n = nodes_[i];
            if (n.due_ns > start) continue;
            zk_fdframe f;
            node_frame(n, &f);
            const uint32_t k = arb_key(f);
            if (!w.busy || k < best) {
                best = k;
                w.f = f;
                w.chan = -1;
                w.node = int(i);
                w.busy = true;
            }
        }
        w.end_ns = start + frame_ns(w.f);
        cur_ = w;
        t_free_ = w.end_ns;
    }
}

void sim_board::poll()
{
    advance(sim_now_ns(), !sim_manual());
}

int16_t sim_board::write(int slot, const zk_frame &frame, uint16_t timeout_ms)
{
    return enqueue(slot, to_fd(frame), timeout_ms);
}

int16_t sim_board::write_fd(int slot, const zk_fdframe &frame, uint16_t timeout_ms)
{
    return enqueue(slot, frame, timeout_ms);
}

int16_t sim_board::enqueue(int slot, const zk_fdframe &frame, uint16_t timeout_ms)
{
    chan &c = ch_[slot];
    uint64_t now = sim_now_ns();
    const uint64_t deadline = now + uint64_t(timeout_ms) * 1000000u;
    advance(now, !sim_manual());
    while (c.tx_count >= opt_.txq) {
        if (c.state == 3) return ZK_E_BUSOFF;
        if (now >= deadline) return ZK_E_WTOUT;
        uint64_t next = next_event_ > now && next_event_ < deadline ? next_event_ : deadline;
        if (sim_manual()) {
            sim_manual_to(next);
        } else {
            // Wait for the bus to free a transmit buffer, in steps of at
            // most a millisecond.
            uint64_t wait = std::min<uint64_t>(next - now, 1000000u);
            timespec ts{0, long(wait)};
            nanosleep(&ts, nullptr);
        }
        now = sim_now_ns();
        advance(now, !sim_manual());
    }
    if (c.state == 3) return ZK_E_BUSOFF;
    const int pos = (c.tx_head + c.tx_count) % opt_.txq;
    c.txq[size_t(pos)] = {frame, now};
    if (c.tx_count == 0) c.next_attempt_ns = std::max(c.next_attempt_ns, now);
    c.tx_count++;
    c.sent_log[size_t((c.sent_head + c.sent_count) % SENT_LOG)] = frame;
    if (c.sent_count < SENT_LOG) c.sent_count++;
    else c.sent_head = (c.sent_head + 1) % SENT_LOG;
    // A frame on an idle bus starts at once.
    advance(now, !sim_manual());
    return ZK_OK;
}

// ---- test controls -----------------------------------------------------

int sim_board::inject(const zk_fdframe &f)
{
    poll();
    zk_fdframe rx = f;
    rx.ts = uint32_t(sim_now_ns() / 1000);
    int n = 0;
    for (int i = 0; i < opt_.channels; i++) {
        chan &c = ch_[i];
        if (c.open && c.started && c.state != 3 && in_step(c, f) && c.port && c.port->frame(rx)) n++;
    }
    return n;
}

int sim_board::sent(int slot, zk_frame *out, int max)
{
    chan &c = ch_[slot];
    int n = 0;
    if (!c.sent_log) return 0;
    while (n < max && c.sent_count > 0) {
        const zk_fdframe &f = c.sent_log[size_t(c.sent_head)];
        c.sent_head = (c.sent_head + 1) % SENT_LOG;
        c.sent_count--;
        if (f.flags & ZK_FRAME_FDF) continue;
        zk_frame &d = out[n++];
        d = zk_frame{};
        d.id = f.id;
        d.flags = f.flags;
        d.len = f.len;
        memcpy(d.data, f.data, sizeof d.data);
    }
    return n;
}

int sim_board::sent_fd(int slot, zk_fdframe *out, int max)
{
    chan &c = ch_[slot];
    int n = 0;
    if (!c.sent_log) return 0;
    while (n < max && c.sent_count > 0) {
        out[n++] = c.sent_log[size_t(c.sent_head)];
        c.sent_head = (c.sent_head + 1) % SENT_LOG;
        c.sent_count--;
    }
    return n;
}

int sim_board::tx_pending(int slot) const
{
    return ch_[slot].tx_count;
}

int16_t sim_board::set_bus(uint32_t kbit, const char *traffic)
{
    poll();
    sim_traffic t = opt_.traffic;
    if (traffic && !sim_traffic_kind(traffic, &t)) return ZK_E_BADARG;
    if (kbit > 1000) return ZK_E_BADARG;
    if (t == SIM_TRAFFIC_FULL && opt_.full_len > 8) return ZK_E_BADARG;
    if (kbit) opt_.rate = kbit * 1000;
    abort_current(-1);
    if (t != opt_.traffic || traffic) {
        opt_.traffic = t;
        setup_nodes(std::max(sim_now_ns(), t_free_));
    }
    return ZK_OK;
}

int16_t sim_board::set_data_rate_of_bus(uint32_t kbit)
{
    poll();
    if (kbit == 0 || kbit > 16000) return ZK_E_BADARG;
    opt_.drate = kbit * 1000;
    abort_current(-1);
    return ZK_OK;
}

void sim_board::set_wtout_adjust(uint16_t step, uint16_t max)
{
    opt_.wtstep = step;
    opt_.wtmax = max;
}

void sim_board::set_error_counters(int slot, uint8_t rec, uint16_t tec)
{
    chan &c = ch_[slot];
    c.rec = rec;
    c.tec = tec;
    update_state(c);
}

// ---- factory -----------------------------------------------------------

namespace {

bool parse_uint(const char *s, unsigned long lo, unsigned long hi, unsigned long *out)
{
    if (!*s) return false;
    char *end = nullptr;
    errno = 0;
    unsigned long v = strtoul(s, &end, 10);
    if (*end || errno || s[0] == '-' || v < lo || v > hi) return false;
    *out = v;
    return true;
}

// Slots separated by '/', '+' or blanks: "0/1".
bool parse_slots(const char *s, unsigned *mask)
{
    if (!*s) return false;
    while (*s) {
        if (*s >= '0' && *s <= '3' && (s[1] == '\0' || s[1] == '/' || s[1] == '+' || s[1] == ' ')) {
            *mask |= 1u << (*s - '0');
            s += s[1] ? 2 : 1;
        } else {
            return false;
        }
    }
    return true;
}

std::unique_ptr<zk_backend> make_sim(const char *args, uint8_t board, char *err, size_t err_size)
{
    sim_board::options o;
    const char *p = args;
    char key[32], val[128];
    unsigned long v = 0;
    while (next_option(&p, key, sizeof key, val, sizeof val)) {
        if (!key[0] && !val[0]) continue;
        if (strcmp(key, "channels") == 0) {
            if (!parse_uint(val, 1, 4, &v)) {
                snprintf(err, err_size, "channels=%s: expected 1 to 4", val);
                return nullptr;
            }
            o.channels = int(v);
        } else if (strcmp(key, "rate") == 0) {
            if (!parse_uint(val, 5, 1000, &v)) {
                snprintf(err, err_size, "rate=%s: expected a bit rate from 5 to 1000 kbit/s", val);
                return nullptr;
            }
            o.rate = uint32_t(v * 1000);
        } else if (strcmp(key, "drate") == 0) {
            if (!parse_uint(val, 100, 16000, &v)) {
                snprintf(err, err_size, "drate=%s: expected a data bit rate from 100 to 16000 kbit/s", val);
                return nullptr;
            }
            o.drate = uint32_t(v * 1000);
        } else if (strcmp(key, "traffic") == 0) {
            if (!sim_traffic_kind(val, &o.traffic)) {
                snprintf(err, err_size, "traffic=%s: expected none, default, mixed, full or full-fd", val);
                return nullptr;
            }
        } else if (strcmp(key, "len") == 0) {
            if (!parse_uint(val, 0, 64, &v) || fd_round_len(unsigned(v)) != v) {
                snprintf(err, err_size, "len=%s: expected 0 to 8, or for traffic=full-fd also 12, "
                         "16, 20, 24, 32, 48 or 64", val);
                return nullptr;
            }
            o.full_len = int(v);
        } else if (strcmp(key, "busy") == 0) {
            if (!parse_slots(val, &o.busy_mask)) {
                snprintf(err, err_size, "busy=%s: expected channel slots 0 to 3, e.g. busy=1 or busy=0/1", val);
                return nullptr;
            }
        } else if (strcmp(key, "classic") == 0) {
            if (!parse_slots(val, &o.classic_mask)) {
                snprintf(err, err_size, "classic=%s: expected channel slots 0 to 3, e.g. classic=1 or classic=0/1", val);
                return nullptr;
            }
        } else if (strcmp(key, "serial") == 0) {
            if (strcmp(val, "none") == 0) o.has_serial = false;
            else if (!val[0]) {
                snprintf(err, err_size, "serial=: expected a serial number or none");
                return nullptr;
            } else copy_text(o.serial, sizeof o.serial, val);
        } else if (strcmp(key, "name") == 0) {
            copy_text(o.name, sizeof o.name, val);
        } else if (strcmp(key, "wtstep") == 0 || strcmp(key, "wtmax") == 0) {
            if (!parse_uint(val, 0, 65535, &v)) {
                snprintf(err, err_size, "%s=%s: expected milliseconds 0 to 65535", key, val);
                return nullptr;
            }
            (key[2] == 's' ? o.wtstep : o.wtmax) = uint16_t(v);
        } else if (strcmp(key, "txq") == 0) {
            if (!parse_uint(val, 1, 1024, &v)) {
                snprintf(err, err_size, "txq=%s: expected 1 to 1024", val);
                return nullptr;
            }
            o.txq = int(v);
        } else {
            snprintf(err, err_size,
                     "unknown option \"%s\" (known: channels, rate, drate, traffic, len, busy, "
                     "classic, serial, name, wtstep, wtmax, txq)",
                     key);
            return nullptr;
        }
    }
    if (o.full_len > 8 && o.traffic != SIM_TRAFFIC_FULL_FD) {
        snprintf(err, err_size, "len=%d: a classic frame carries at most 8 bytes; longer ones "
                 "need traffic=full-fd", o.full_len);
        return nullptr;
    }
    (void)board;
    return std::unique_ptr<zk_backend>(new sim_board(o));
}

}  // namespace

ZK_REGISTER_BACKEND("sim", make_sim);

}  // namespace zk
