// The simulated board: the process's side of a simulated bus (sim_bus.h)
// that all the user's processes share.
#include "sim_backend.h"

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <unistd.h>

namespace zk {

namespace {

constexpr int SENT_LOG = 8192;
constexpr uint64_t NS_PER_MS = 1000000u;
// How long the queue of a closed channel still goes out, as a kernel's
// transmit queue does after the socket is gone: a tool that sends a frame
// and exits has it sent.
constexpr uint64_t DRAIN_NS = 1000 * NS_PER_MS;

int32_t me()
{
    return int32_t(getpid());
}

}  // namespace

sim_board::sim_board(const options &o) : opt_(o)
{
    if (!opt_.has_serial) opt_.serial[0] = '\0';
}

sim_board::~sim_board()
{
    sim_bus_detach(bus_, &file_);
}

sim_bus *sim_board::bus()
{
    // On first use: the factory must not touch anything outside.
    if (!bus_) attach();
    return bus_;
}

void sim_board::attach()
{
    char why[sizeof broken_];
    bus_ = sim_bus_attach(board, opt_.bus, &file_, why, sizeof why);
    shared_ = bus_ && file_.fd >= 0;
    broken_[0] = '\0';
    if (!bus_ && why[0]) {
        // A bus of its own stands in; no channel opens until the shared
        // one can be used.
        copy_text(broken_, sizeof broken_, why);
        bus_ = sim_bus_private(opt_.bus);
    }
    if (!bus_) abort();  // not even private memory: nothing sensible is left
}

sim_bus *sim_board::locked(sim_bus_guard &g)
{
    sim_bus *b = bus();
    const bool held = g.take(b);
    if (!shared_) return b;
    char why[sizeof broken_];
    if (!held)
        snprintf(why, sizeof why, "the lock of the simulated bus file %.300s stays taken", file_.path);
    if (held && sim_bus_verify(b, &file_, sim_now_ns(), why, sizeof why)) return b;
    g.unlock();
    leave(why);
    g.take(bus_);
    return bus_;
}

void sim_board::leave(const char *why)
{
    for (local &l : loc_)
        if (l.mine && !l.gone) {
            l.gone = true;
            if (l.port) l.port->lost(why);
        }
    sim_bus_detach(bus_, &file_);
    shared_ = false;
    copy_text(broken_, sizeof broken_, why);
    bus_ = sim_bus_private(opt_.bus);
    if (!bus_) abort();
}

bool sim_board::usable()
{
    bus();
    if (!broken_[0] || !sim_clock_shared()) return true;
    // Channels left behind on the bus of its own never touch a bus again.
    sim_bus_detach(bus_, &file_);
    bus_ = nullptr;
    attach();
    return !broken_[0];
}

int16_t sim_board::lost_result()
{
    set_detail("%s", broken_);
    return ZK_E_GONE;
}

bool sim_board::shared()
{
    bus();
    return shared_;
}

bool sim_board::owns(int slot)
{
    return loc_[slot].mine && !loc_[slot].gone && bus()->ch[slot].owner == me();
}

void sim_board::go_private()
{
    if (bus_ && shared_) {
        bus_ = sim_bus_go_private(bus_, &file_);
        shared_ = false;
    }
}

int sim_board::take(sim_bus *b)
{
    int queued = 0;
    const int nch = sim_nch(b);
    for (int i = 0; i < nch; i++) {
        sim_chan &c = b->ch[i];
        local &l = loc_[i];
        if (!l.mine || l.gone || c.owner != me() || !l.port) continue;
        if (c.ev_ewl) l.port->event(ZK_EV_EWL, c.ev_ewl);
        if (c.ev_boff) l.port->event(ZK_EV_BOFF, c.ev_boff);
        c.ev_ewl = c.ev_boff = 0;
        // Sent before gone: frames are given up only with the queue, and
        // the next one is queued by this process, which takes first.
        if (c.tx_sent != l.seen_sent)
            l.port->tx_settle(ZK_TX_SENT, c.tx_sent - l.seen_sent, uint32_t(c.sent_ns / 1000u));
        if (c.tx_gone != l.seen_gone)
            l.port->tx_settle(ZK_TX_DROPPED, c.tx_gone - l.seen_gone, uint32_t(c.gone_ns / 1000u));
        if (c.ack_errors != l.seen_ack) l.port->event(ZK_EV_ACKERR, c.ack_errors - l.seen_ack);
        l.seen_sent = c.tx_sent;
        l.seen_gone = c.tx_gone;
        l.seen_ack = c.ack_errors;
        if (b->seq - c.rx_seq > uint64_t(SIM_RING)) {
            // This process did not call while the ring went round.
            l.port->event(ZK_EV_SOVR, uint32_t(b->seq - SIM_RING - c.rx_seq));
            c.rx_seq = b->seq - SIM_RING;
        }
        for (; c.rx_seq < b->seq; c.rx_seq++) {
            const sim_passed &p = b->ring[c.rx_seq % SIM_RING];
            if ((p.to >> i) & 1u) queued += l.port->frame(p.f);
        }
    }
    return queued;
}

void sim_board::take_cb(void *self)
{
    sim_board *s = static_cast<sim_board *>(self);
    s->take(s->bus_);
}

void sim_board::advance_locked(sim_bus *b, uint64_t now_ns, bool bounded)
{
    sim_bus_advance(b, now_ns, bounded, &sim_board::take_cb, this);
    take(b);
}

void sim_board::poll()
{
    sim_bus_guard g;
    sim_bus *b = locked(g);
    advance_locked(b, sim_now_ns(), !sim_manual());
}

void sim_board::advance(uint64_t now_ns, bool bounded)
{
    sim_bus_guard g;
    sim_bus *b = locked(g);
    advance_locked(b, now_ns, bounded);
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
    if ((opt_.busy_mask >> slot) & 1u) return ZK_E_BUSY;
    if (!usable()) {
        set_detail("%s", broken_);
        return ZK_E_NODEV;
    }
    return ZK_OK;
}

int16_t sim_board::open(int slot, uint8_t flags, zk_rx_port *port, uint8_t *bt0, uint8_t *bt1)
{
    if ((opt_.busy_mask >> slot) & 1u) return ZK_E_BUSY;
    if (!usable()) {
        set_detail("%s", broken_);
        return ZK_E_NODEV;
    }
    sim_bus_guard g;
    sim_bus *b = locked(g);
    if (broken_[0] && sim_clock_shared()) {
        set_detail("%s", broken_);
        return ZK_E_NODEV;
    }
    const uint64_t now = sim_now_ns();
    advance_locked(b, now, !sim_manual());
    // The controller comes up at the bus's rates; the nominal one only
    // when it is a CiA rate.
    const zk_cia_rate *cia = b->opt.rate % 1000 ? nullptr : zk_cia_rate_at(zk_cia_index(b->opt.rate / 1000));
    *bt0 = cia ? cia->bt0 : 0x00;
    *bt1 = cia ? cia->bt1 : 0x1C;
    // The channel lock is ours: whatever the slot held before (a process
    // that ended without closing, a queue still going out) is over.
    sim_bus_abort(b, slot, now);
    sim_chan &c = b->ch[slot];
    memset(&c, 0, offsetof(sim_chan, txq));
    c.owner = me();
    c.fd = (flags & ZK_OPEN_FD) != 0;
    c.bitrate = sja1000_bitrate(*bt0, *bt1);
    c.dbitrate = b->opt.drate;
    c.dsp = 750;
    c.rx_seq = b->seq;
    local &l = loc_[slot];
    l.mine = true;
    l.gone = false;
    l.port = port;
    l.seen_sent = l.seen_gone = l.seen_ack = 0;
    if (!l.sent_log) l.sent_log.reset(new zk_fdframe[SENT_LOG]);
    l.sent_head = l.sent_count = 0;
    return ZK_OK;
}

void sim_board::close(int slot)
{
    local &l = loc_[slot];
    if (owns(slot)) {
        sim_bus_guard g;
        sim_bus *b = locked(g);
        sim_chan &c = b->ch[slot];
        c.owner = 0;
        c.started = 0;
        c.drain_until_ns = sim_now_ns() + DRAIN_NS;
    }
    l.mine = false;
    l.gone = false;
    l.port = nullptr;
}

int16_t sim_board::set_baud(int slot, uint8_t, uint8_t, uint32_t bitrate)
{
    if (loc_[slot].gone) return lost_result();
    sim_bus_guard g;
    sim_bus *b = locked(g);
    sim_bus_abort(b, slot, sim_now_ns());
    b->ch[slot].bitrate = bitrate;
    return ZK_OK;
}

void sim_board::fd_timing(int slot, uint32_t *bitrate, uint16_t *sample_point, uint8_t *mode)
{
    sim_bus_guard g;
    sim_bus *b = locked(g);
    const sim_chan &c = b->ch[slot];
    *bitrate = c.dbitrate;
    *sample_point = c.dsp;
    *mode = c.non_iso ? ZK_FD_NON_ISO : ZK_FD_ISO;
}

int16_t sim_board::set_data_rate(int slot, uint32_t bitrate, uint16_t sample_point, uint8_t mode)
{
    if (loc_[slot].gone) return lost_result();
    sim_bus_guard g;
    sim_bus *b = locked(g);
    sim_bus_abort(b, slot, sim_now_ns());
    sim_chan &c = b->ch[slot];
    c.dbitrate = bitrate;
    c.dsp = sample_point ? sample_point : 750;
    c.non_iso = mode == ZK_FD_NON_ISO;
    return ZK_OK;
}

int16_t sim_board::set_lom(int slot, bool on)
{
    if (loc_[slot].gone) return lost_result();
    sim_bus_guard g;
    sim_bus *b = locked(g);
    if (on) sim_bus_abort(b, slot, sim_now_ns());
    b->ch[slot].lom = on;
    return ZK_OK;
}

int16_t sim_board::start(int slot)
{
    if (loc_[slot].gone) return lost_result();
    sim_bus_guard g;
    sim_bus *b = locked(g);
    const uint64_t now = sim_now_ns();
    advance_locked(b, now, !sim_manual());
    sim_chan &c = b->ch[slot];
    if (c.state == 3) {
        // Leaving reset mode runs the bus-off recovery.
        c.tec = c.rec = 0;
        c.state = 0;
    }
    c.started = 1;
    c.drain_until_ns = 0;
    c.next_attempt_ns = now;
    return ZK_OK;
}

int16_t sim_board::stop(int slot)
{
    if (loc_[slot].gone) return lost_result();
    // A stopped controller gives up its queue and the frame on the wire.
    sim_bus_guard g;
    sim_bus *b = locked(g);
    const uint64_t now = sim_now_ns();
    advance_locked(b, now, !sim_manual());
    sim_bus_abort(b, slot, now);
    sim_bus_give_up(b->ch[slot], now);
    b->ch[slot].started = 0;
    take(b);
    return ZK_OK;
}

int16_t sim_board::hw_reset(int slot, bool running)
{
    if (loc_[slot].gone) return lost_result();
    sim_bus_guard g;
    sim_bus *b = locked(g);
    const uint64_t now = sim_now_ns();
    advance_locked(b, now, !sim_manual());
    sim_bus_abort(b, slot, now);
    sim_chan &c = b->ch[slot];
    c.tec = c.rec = 0;
    c.state = 0;
    sim_bus_give_up(c, now);
    c.started = running;
    c.drain_until_ns = 0;
    c.next_attempt_ns = now;
    take(b);
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
    sim_bus_guard g;
    sim_bus *b = locked(g);
    const sim_chan &c = b->ch[slot];
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
    sim_bus_options o;
    {
        sim_bus_guard g;
        sim_bus *b = locked(g);
        o = b->opt;
    }
    auto rate = [&](const char *name, uint32_t r) {
        if (r % 1000000 == 0 && r > 1000000) snprintf(v, sizeof v, "%u Mbit/s", unsigned(r / 1000000));
        else if (r % 1000 == 0) snprintf(v, sizeof v, "%u kbit/s", unsigned(r / 1000));
        else snprintf(v, sizeof v, "%u bit/s", unsigned(r));
        list.add(name, v);
    };
    rate("Bus rate", o.rate);
    rate("Bus data rate", o.drate);
    list.add("Bus traffic", sim_traffic_name(o.traffic));
    // A bus left or refused as untrustworthy: its reason is in the
    // channel's error text.
    list.add("Bus shared", shared_ ? "yes" : broken_[0] && sim_clock_shared() ? "lost" : "no");
}

int16_t sim_board::write(int slot, const zk_frame &frame, uint16_t timeout_ms)
{
    return enqueue(slot, to_fdframe(frame), timeout_ms);
}

int16_t sim_board::write_fd(int slot, const zk_fdframe &frame, uint16_t timeout_ms)
{
    return enqueue(slot, frame, timeout_ms);
}

int16_t sim_board::enqueue(int slot, const zk_fdframe &frame, uint16_t timeout_ms)
{
    sim_bus_guard g;
    sim_bus *b = locked(g);
    if (loc_[slot].gone) return lost_result();
    uint64_t now = sim_now_ns();
    const uint64_t deadline = now + uint64_t(timeout_ms) * NS_PER_MS;
    advance_locked(b, now, !sim_manual());
    while (b->ch[slot].tx_count >= sim_txq(b)) {
        if (b->ch[slot].state == 3) return ZK_E_BUSOFF;
        if (now >= deadline) return ZK_E_WTOUT;
        const uint64_t next = b->next_event > now && b->next_event < deadline ? b->next_event : deadline;
        if (sim_manual()) {
            sim_manual_to(next);
        } else {
            // Wait for the bus to free a transmit buffer, in steps of at
            // most a millisecond, leaving the bus to the other processes.
            g.unlock();
            timespec ts{0, long(std::min<uint64_t>(next - now, NS_PER_MS))};
            nanosleep(&ts, nullptr);
            b = locked(g);
            if (loc_[slot].gone) return lost_result();
        }
        now = sim_now_ns();
        advance_locked(b, now, !sim_manual());
    }
    sim_chan &c = b->ch[slot];
    if (c.state == 3) return ZK_E_BUSOFF;
    const unsigned pos = (unsigned(c.tx_head) + unsigned(c.tx_count)) % unsigned(sim_txq(b));
    c.txq[pos] = sim_tx{frame, now};
    if (c.tx_count == 0) c.next_attempt_ns = std::max(c.next_attempt_ns, now);
    c.tx_count++;
    local &l = loc_[slot];
    l.sent_log[size_t((l.sent_head + l.sent_count) % SENT_LOG)] = frame;
    if (l.sent_count < SENT_LOG) l.sent_count++;
    else l.sent_head = (l.sent_head + 1) % SENT_LOG;
    // A frame on an idle bus starts at once.
    advance_locked(b, now, !sim_manual());
    return ZK_OK;
}

// ---- test controls -----------------------------------------------------

int sim_board::inject(const zk_fdframe &f)
{
    sim_bus_guard g;
    sim_bus *b = locked(g);
    const uint64_t now = sim_now_ns();
    advance_locked(b, now, !sim_manual());
    const uint8_t to = sim_bus_inject(b, f, now);
    int n = take(b);
    // Channels of other processes it reached count as having queued it.
    for (int i = 0; i < sim_nch(b); i++)
        if (((to >> i) & 1u) && !owns(i)) n++;
    return n;
}

int sim_board::sent(int slot, zk_frame *out, int max)
{
    local &l = loc_[slot];
    int n = 0;
    if (!l.sent_log) return 0;
    while (n < max && l.sent_count > 0) {
        const zk_fdframe &f = l.sent_log[size_t(l.sent_head)];
        l.sent_head = (l.sent_head + 1) % SENT_LOG;
        l.sent_count--;
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
    local &l = loc_[slot];
    int n = 0;
    if (!l.sent_log) return 0;
    while (n < max && l.sent_count > 0) {
        out[n++] = l.sent_log[size_t(l.sent_head)];
        l.sent_head = (l.sent_head + 1) % SENT_LOG;
        l.sent_count--;
    }
    return n;
}

int sim_board::tx_pending(int slot)
{
    sim_bus_guard g;
    sim_bus *b = locked(g);
    return b->ch[slot].tx_count;
}

int16_t sim_board::set_bus(uint32_t kbit, const char *traffic)
{
    sim_bus_guard g;
    sim_bus *b = locked(g);
    const uint64_t now = sim_now_ns();
    advance_locked(b, now, !sim_manual());
    sim_traffic t = b->opt.traffic;
    if (traffic && !sim_traffic_kind(traffic, &t)) return ZK_E_BADARG;
    if (kbit > 1000) return ZK_E_BADARG;
    if (t == SIM_TRAFFIC_FULL && b->opt.full_len > 8) return ZK_E_BADARG;
    if (kbit) b->opt.rate = kbit * 1000;
    sim_bus_abort(b, -1, now);
    if (traffic) {
        b->opt.traffic = t;
        sim_bus_setup_nodes(b, std::max(now, b->t_free));
    }
    return ZK_OK;
}

int16_t sim_board::set_data_rate_of_bus(uint32_t kbit)
{
    sim_bus_guard g;
    sim_bus *b = locked(g);
    const uint64_t now = sim_now_ns();
    advance_locked(b, now, !sim_manual());
    if (kbit == 0 || kbit > 16000) return ZK_E_BADARG;
    b->opt.drate = kbit * 1000;
    sim_bus_abort(b, -1, now);
    return ZK_OK;
}

void sim_board::set_wtout_adjust(uint16_t step, uint16_t max)
{
    opt_.wtstep = step;
    opt_.wtmax = max;
}

void sim_board::set_error_counters(int slot, uint8_t rec, uint16_t tec)
{
    sim_bus_guard g;
    sim_bus *b = locked(g);
    sim_chan &c = b->ch[slot];
    c.rec = rec;
    c.tec = tec;
    sim_bus_update_state(c);
    if (c.state == 3) sim_bus_give_up(c, sim_now_ns());
    take(b);
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

// Slots separated by '/', '+' or blanks: "0/1". *twice: a slot given
// more than once (-1: none).
bool parse_slots(const char *s, unsigned *mask, int *twice)
{
    *twice = -1;
    if (!*s) return false;
    while (*s) {
        if (*s >= '0' && *s <= '3' && (s[1] == '\0' || ((s[1] == '/' || s[1] == '+' || s[1] == ' ') && s[2]))) {
            const unsigned bit = 1u << (*s - '0');
            if ((*mask & bit) && *twice < 0) *twice = *s - '0';
            *mask |= bit;
            s += s[1] ? 2 : 1;
        } else {
            return false;
        }
    }
    return *twice < 0;
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
            o.bus.channels = int(v);
        } else if (strcmp(key, "rate") == 0) {
            if (!parse_uint(val, 5, 1000, &v)) {
                snprintf(err, err_size, "rate=%s: expected a bit rate from 5 to 1000 kbit/s", val);
                return nullptr;
            }
            o.bus.rate = uint32_t(v * 1000);
        } else if (strcmp(key, "drate") == 0) {
            if (!parse_uint(val, 100, 16000, &v)) {
                snprintf(err, err_size, "drate=%s: expected a data bit rate from 100 to 16000 kbit/s", val);
                return nullptr;
            }
            o.bus.drate = uint32_t(v * 1000);
        } else if (strcmp(key, "traffic") == 0) {
            if (!sim_traffic_kind(val, &o.bus.traffic)) {
                snprintf(err, err_size, "traffic=%s: expected none, default, mixed, full, full-fd, ecu, isotp-full "
                         "or j1939-full", val);
                return nullptr;
            }
        } else if (strcmp(key, "len") == 0) {
            if (!parse_uint(val, 0, 64, &v) || zk_fd_round_len(unsigned(v)) != v) {
                snprintf(err, err_size, "len=%s: expected 0 to 8, or for traffic=full-fd also 12, "
                         "16, 20, 24, 32, 48 or 64", val);
                return nullptr;
            }
            o.bus.full_len = int(v);
        } else if (strcmp(key, "busy") == 0 || strcmp(key, "classic") == 0) {
            int twice = -1;
            if (!parse_slots(val, key[0] == 'b' ? &o.busy_mask : &o.classic_mask, &twice)) {
                if (twice >= 0)
                    snprintf(err, err_size, "%s=%s: slot %d given twice", key, val, twice);
                else
                    snprintf(err, err_size, "%s=%s: expected channel slots 0 to 3, e.g. %s=1 or %s=0/1", key, val,
                             key, key);
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
            o.bus.txq = int(v);
        } else {
            snprintf(err, err_size,
                     "unknown option \"%s\" (known: channels, rate, drate, traffic, len, busy, "
                     "classic, serial, name, wtstep, wtmax, txq)",
                     key);
            return nullptr;
        }
    }
    if (o.bus.full_len > 8 && o.bus.traffic != SIM_TRAFFIC_FULL_FD) {
        snprintf(err, err_size, "len=%d: a classic frame carries at most 8 bytes; longer ones "
                 "need traffic=full-fd", o.bus.full_len);
        return nullptr;
    }
    (void)board;
    return std::unique_ptr<zk_backend>(new sim_board(o));
}

}  // namespace

ZK_REGISTER_BACKEND("sim", make_sim);

}  // namespace zk

