// Diagnostic traffic on the simulated bus: an engine ECU answering UDS
// and OBD-II over ISO-TP and sending J1939, and the saturating ISO-TP and
// J1939 sources (see sim_ecu.h).
#include "sim_ecu.h"

#include <cstring>

namespace zk {

namespace {

// Identifiers (the class's mode names ECU too: these are the ids).
constexpr uint32_t TESTER_ID = 0x7E0, ECU_ID = 0x7E8, FUNCTIONAL_ID = 0x7DF;
constexpr uint8_t PAD = 0xAA;
constexpr uint64_t MS = 1000000;
constexpr uint8_t SA = 0x00;              // the engine's J1939 address
constexpr uint32_t DM1 = 0xFECA, VI = 0xFEEC, SOFT = 0xFEDA, AC = 0xEE00, REQUEST = 0xEA00;

const char VIN[] = "NMBSIM1ECU0000042";   // 17 characters, a made-up VIN
const uint8_t SEED[4] = {0x11, 0x22, 0x33, 0x44};
// The simulated ECU takes the seed's bytes inverted as the key.
const uint8_t KEY[4] = {0xEE, 0xDD, 0xCC, 0xBB};
// Mode 01 PIDs the ECU answers (00 and 20 list them).
const uint8_t PIDS[] = {0x01, 0x04, 0x05, 0x0C, 0x0D, 0x0F, 0x11, 0x1C, 0x1F, 0x20};
// isotp-full: the lengths of the answers, in turn.
const uint32_t FULL_LENGTHS[] = {62, 300, 1000, 4095};
const uint32_t BAM_SIZES[] = {9, 100, 500, 1785};

zk_fdframe frame(uint32_t id, bool ext, bool fd, const uint8_t *data, unsigned n)
{
    zk_fdframe f{};
    f.id = id;
    f.flags = uint8_t((ext ? ZK_FRAME_EFF : 0) | (fd ? ZK_FRAME_FDF | ZK_FRAME_BRS : 0));
    memcpy(f.data, data, n);
    // Classic frames padded to 8 bytes, FD frames to an FD length.
    const unsigned len = fd ? zk_fd_round_len(n < 8 ? 8 : n) : 8;
    for (unsigned i = n; i < len; i++) f.data[i] = PAD;
    f.len = uint8_t(len);
    return f;
}

bool suppress(const uint8_t *req, uint32_t len)
{
    return len >= 2 && (req[1] & 0x80);
}

uint32_t nrc(uint8_t *resp, uint8_t sid, uint8_t code)
{
    resp[0] = 0x7F;
    resp[1] = sid;
    resp[2] = code;
    return 3;
}

uint32_t stmin_us(uint8_t v)
{
    if (v <= 0x7F) return v * 1000u;
    if (v >= 0xF1 && v <= 0xF9) return (v - 0xF0) * 100u;
    return 127000u;
}

}  // namespace

bool sim_ecu::stream::push(const zk_fdframe &f, uint64_t at)
{
    if (count == CAP) return false;
    q[(head + count) % CAP] = {f, at};
    count++;
    return true;
}

sim_ecu::sim_ecu(mode m, uint64_t now_ns) : mode_(m), start_ns_(now_ns)
{
    if (mode_ == ECU) {
        next_dm1_ = now_ns + 200 * MS;
        next_vi_ = now_ns + 700 * MS;
        // The address claim at power-up.
        uint8_t name[8] = {0x67, 0x12, 0x00, 0x00, 0x00, 0x00, 0x00, 0x80};
        j1939_send(AC, 0xFF, name, 8, now_ns + 10 * MS, 0);
    }
    for (int i = 0; i < 8; i++) {
        src_[i].size = BAM_SIZES[i % 4];
        src_[i].packet = 0;
    }
}

bool sim_ecu::sane() const
{
    unsigned m = 0;
    memcpy(&m, &mode_, sizeof mode_ < sizeof m ? sizeof mode_ : sizeof m);
    if (m > J1939_FULL || chosen_ < -1 || chosen_ >= STREAMS || rr_ < 0 || rr_ >= 8)
        return false;
    for (const stream &s : st_)
        if (s.head < 0 || s.head >= stream::CAP || s.count < 0 || s.count > stream::CAP) return false;
    if (ecu_tx_.len > sizeof ecu_tx_.msg || ecu_tx_.pos > ecu_tx_.len) return false;
    if (ecu_rx_.len > sizeof ecu_rx_.msg || ecu_rx_.got > ecu_rx_.len) return false;
    if (later_len_ > sizeof later_) return false;
    for (const source &s : src_)
        if (s.size > 1785 || s.packet < 0) return false;
    return true;
}

bool sim_ecu::ready(zk_fdframe *f, uint64_t *from_ns)
{
    if (mode_ == J1939_FULL) {
        j1939_full_frame(f);
        *from_ns = 0;
        chosen_ = 1;
        return true;
    }
    if (mode_ == ECU && st_[1].count == 0) periodic(0);
    if (later_len_ && !ecu_tx_.active && st_[0].count == 0) {
        start_message(ecu_tx_, st_[0], ECU_ID, later_, later_len_, later_at_);
        later_len_ = 0;
    }
    if (mode_ == ISOTP_FULL && st_[0].count == 0 && st_[2].count == 0 && !ecu_tx_.active && !later_len_)
        isotp_full_next(0);
    chosen_ = -1;
    for (int i = 0; i < STREAMS; i++) {
        const stream &s = st_[i];
        if (!s.count) continue;
        if (chosen_ < 0 || s.q[s.head].at < st_[chosen_].q[st_[chosen_].head].at) chosen_ = i;
    }
    if (chosen_ < 0) return false;
    const out &o = st_[chosen_].q[st_[chosen_].head];
    *f = o.f;
    *from_ns = o.at;
    return true;
}

void sim_ecu::sent(uint64_t end_ns)
{
    if (chosen_ < 0) return;
    if (mode_ == J1939_FULL) {
        source &s = src_[rr_];
        if (++s.packet > int((s.size + 6) / 7)) {
            round_++;
            s.size = BAM_SIZES[(round_ + unsigned(rr_)) % 4];
            s.packet = 0;
        }
        rr_ = (rr_ + 1) % 8;
        return;
    }
    stream &s = st_[chosen_];
    if (!s.count) return;
    const zk_fdframe f = s.q[s.head].f;
    s.head = (s.head + 1) % stream::CAP;
    s.count--;
    if (chosen_ == 0 && ecu_tx_.active && f.id == ecu_tx_.id) {
        const int type = f.data[0] >> 4;
        if (type == 1) {
            ecu_tx_.wait_fc = true;
            ecu_tx_.fc_deadline = end_ns + 1000 * MS;
        } else if (type == 2) {
            if (ecu_tx_.pos >= ecu_tx_.len) {
                ecu_tx_.active = false;
            } else if (ecu_tx_.bs && --ecu_tx_.bs_left == 0) {
                ecu_tx_.wait_fc = true;
                ecu_tx_.fc_deadline = end_ns + 1000 * MS;
            } else {
                next_cf(ecu_tx_, st_[0], end_ns + uint64_t(ecu_tx_.stmin_us) * 1000u);
            }
        }
    }
    // isotp-full: the simulated tester and the ECU hear each other.
    if (mode_ == ISOTP_FULL) {
        if (chosen_ == 2) heard(f, end_ns);
        else if (chosen_ == 0 && f.id == ECU_ID && (f.data[0] >> 4) == 1) {
            const uint8_t fc[3] = {0x30, 0x00, 0x00};
            st_[2].push(frame(TESTER_ID, false, false, fc, 3), end_ns);
        }
    }
}

void sim_ecu::heard(const zk_fdframe &f, uint64_t end_ns)
{
    if (f.flags & ZK_FRAME_RTR) return;
    if (ecu_tx_.active && ecu_tx_.wait_fc && end_ns > ecu_tx_.fc_deadline) ecu_tx_.active = false;
    const bool fd = (f.flags & ZK_FRAME_FDF) != 0;
    if (!(f.flags & ZK_FRAME_EFF)) {
        if (f.len < 1) return;
        if (f.id == TESTER_ID) {
            if ((f.data[0] >> 4) == 3) {
                flow_control(ecu_tx_, st_[0], f.data, f.len, end_ns);
            } else {
                fd_ = fd;
                receive(ecu_rx_, st_[0], ECU_ID, f.data, f.len, end_ns, false);
            }
        } else if (f.id == FUNCTIONAL_ID) {
            fd_ = fd;
            receive(ecu_rx_, st_[0], ECU_ID, f.data, f.len, end_ns, true);
        }
        return;
    }
    // A J1939 request to the engine or to everyone.
    const uint32_t id = f.id & 0x1FFFFFFFu;
    const uint8_t pf = uint8_t(id >> 16), da = uint8_t(id >> 8);
    if (mode_ == ECU && pf == 0xEA && (da == SA || da == 0xFF) && f.len >= 3 && !(id & 0x03000000u))
        j1939_request(uint32_t(f.data[0]) | uint32_t(f.data[1]) << 8 | uint32_t(f.data[2] & 3) << 16,
                      uint8_t(id), end_ns);
}

// ---- ISO-TP ---------------------------------------------------------------

void sim_ecu::start_message(tp_tx &t, stream &s, uint32_t id, const uint8_t *msg, uint32_t len, uint64_t at)
{
    const unsigned fl = fd_ ? 64 : 8;
    uint8_t d[64];
    if (len <= 7 || (fd_ && len <= fl - 2)) {
        unsigned n = 0;
        if (len <= 7) d[n++] = uint8_t(len);
        else {
            d[n++] = 0;
            d[n++] = uint8_t(len);
        }
        memcpy(d + n, msg, len);
        s.push(frame(id, false, fd_, d, n + len), at);
        return;
    }
    memcpy(t.msg, msg, len);
    t.len = len;
    t.id = id;
    t.sn = 1;
    t.active = true;
    t.wait_fc = false;
    t.bs = t.bs_left = 0;
    t.stmin_us = 0;
    d[0] = uint8_t(0x10 | (len >> 8));
    d[1] = uint8_t(len);
    const unsigned n = fl - 2;
    memcpy(d + 2, msg, n);
    t.pos = n;
    s.push(frame(id, false, fd_, d, fl), at);
}

void sim_ecu::next_cf(tp_tx &t, stream &s, uint64_t at)
{
    const unsigned room = (fd_ ? 64 : 8) - 1;
    uint8_t d[64];
    const uint32_t n = t.len - t.pos < room ? t.len - t.pos : room;
    d[0] = uint8_t(0x20 | (t.sn & 15));
    memcpy(d + 1, t.msg + t.pos, n);
    t.pos += n;
    t.sn++;
    s.push(frame(t.id, false, fd_, d, 1 + n), at);
}

void sim_ecu::flow_control(tp_tx &t, stream &s, const uint8_t *d, int len, uint64_t end_ns)
{
    if (!t.active || !t.wait_fc || len < 3) return;
    switch (d[0] & 15) {
    case 0:
        t.wait_fc = false;
        t.bs = t.bs_left = d[1];
        t.stmin_us = stmin_us(d[2]);
        next_cf(t, s, end_ns);
        break;
    case 1:
        t.fc_deadline = end_ns + 1000 * MS;
        break;
    default:
        t.active = false;
        break;
    }
}

void sim_ecu::receive(tp_rx &r, stream &s, uint32_t fc_id, const uint8_t *d, int len, uint64_t end_ns,
                      bool functional)
{
    const int type = d[0] >> 4;
    if (type == 0) {
        r.active = false;
        uint32_t n = d[0] & 15, off = 1;
        if (n == 0 && len > 8) {
            n = d[1];
            off = 2;
        }
        if (n == 0 || n + off > uint32_t(len)) return;
        answer(d + off, n, functional, end_ns);
    } else if (type == 1 && !functional && len >= 8) {
        r.len = uint32_t(d[0] & 15) << 8 | d[1];
        // A first frame carrying more than its message is no valid one.
        if (r.len < 8 || r.len > sizeof r.msg || uint32_t(len - 2) > r.len) return;
        r.got = uint32_t(len - 2);
        memcpy(r.msg, d + 2, r.got);
        r.sn = 1;
        r.active = true;
        const uint8_t fc[3] = {0x30, 0x00, 0x00};
        s.push(frame(fc_id, false, fd_, fc, 3), end_ns);
    } else if (type == 2 && r.active) {
        if ((d[0] & 15) != (r.sn & 15)) {
            r.active = false;
            return;
        }
        r.sn++;
        uint32_t n = uint32_t(len - 1);
        if (n > r.len - r.got) n = r.len - r.got;
        memcpy(r.msg + r.got, d + 1, n);
        r.got += n;
        if (r.got == r.len) {
            r.active = false;
            answer(r.msg, r.len, false, end_ns);
        }
    }
}

void sim_ecu::answer(const uint8_t *req, uint32_t len, bool functional, uint64_t end_ns)
{
    if (ecu_tx_.active || len == 0) return;
    uint8_t resp[4095];
    uint32_t n;
    bool later = false;
    if (req[0] >= 0x01 && req[0] <= 0x0A) n = obd(req, len, resp, end_ns);
    else n = uds(req, len, resp, &later);
    if (n == 0) return;
    // The ECU takes a millisecond to answer (none when saturating).
    const uint64_t at = end_ns + (mode_ == ISOTP_FULL ? 0 : MS);
    if (later) {
        const uint8_t pending[3] = {0x7F, req[0], 0x78};
        start_message(ecu_tx_, st_[0], ECU_ID, pending, 3, at);
        memcpy(later_, resp, n);
        later_len_ = n;
        later_at_ = end_ns + 300 * MS;
        return;
    }
    (void)functional;
    start_message(ecu_tx_, st_[0], ECU_ID, resp, n, at);
}

uint32_t sim_ecu::uds(const uint8_t *req, uint32_t len, uint8_t *resp, bool *later)
{
    const uint8_t sid = req[0];
    const uint8_t sub = len >= 2 ? req[1] & 0x7F : 0;
    switch (sid) {
    case 0x10:
        if (len != 2) return nrc(resp, sid, 0x13);
        if (sub < 1 || sub > 3) return nrc(resp, sid, 0x12);
        session_ = sub;
        if (suppress(req, len)) return 0;
        resp[0] = 0x50;
        resp[1] = sub;
        resp[2] = 0x00;
        resp[3] = 0x32;   // P2 50 ms
        resp[4] = 0x01;
        resp[5] = 0xF4;   // P2* 5000 ms
        return 6;
    case 0x11:
        if (len != 2) return nrc(resp, sid, 0x13);
        if (sub < 1 || sub > 3) return nrc(resp, sid, 0x12);
        session_ = 1;
        seed_sent_ = false;
        if (suppress(req, len)) return 0;
        resp[0] = 0x51;
        resp[1] = sub;
        return 2;
    case 0x3E:
        if (len != 2) return nrc(resp, sid, 0x13);
        if (sub != 0) return nrc(resp, sid, 0x12);
        if (suppress(req, len)) return 0;
        resp[0] = 0x7E;
        resp[1] = 0x00;
        return 2;
    case 0x22: {
        if (len < 3 || (len - 1) % 2) return nrc(resp, sid, 0x13);
        uint32_t n = 0;
        resp[n++] = 0x62;
        for (uint32_t i = 1; i + 1 < len; i += 2) {
            const uint16_t did = uint16_t(req[i] << 8 | req[i + 1]);
            resp[n++] = req[i];
            resp[n++] = req[i + 1];
            const char *text = nullptr;
            if (mode_ == ISOTP_FULL && (did & 0xFFF0) == 0xF100) {
                const uint32_t l = FULL_LENGTHS[did & 3] - 3;
                for (uint32_t k = 0; k < l && n < 4095; k++) resp[n++] = uint8_t(k * 7 + did);
                continue;
            }
            switch (did) {
            case 0xF190: text = VIN; break;
            case 0xF18C: text = "SIM-ECU-0001"; break;
            case 0xF187: text = "NB-4711-ECU"; break;
            case 0xF195: text = "1.15.0"; break;
            case 0xF186: resp[n++] = session_; continue;
            default: return nrc(resp, sid, 0x31);
            }
            const size_t l = strlen(text);
            memcpy(resp + n, text, l);
            n += uint32_t(l);
        }
        return n;
    }
    case 0x2E:
        if (len < 4) return nrc(resp, sid, 0x13);
        if (session_ != 3) return nrc(resp, sid, 0x22);
        if (!((req[1] == 0xF1 && req[2] == 0x90) || (req[1] == 0xF1 && req[2] == 0x8C))) return nrc(resp, sid, 0x31);
        resp[0] = 0x6E;
        resp[1] = req[1];
        resp[2] = req[2];
        return 3;
    case 0x27:
        if (sub == 1 && len == 2) {
            seed_sent_ = true;
            resp[0] = 0x67;
            resp[1] = 0x01;
            memcpy(resp + 2, SEED, 4);
            return 6;
        }
        if (sub == 2) {
            if (!seed_sent_) return nrc(resp, sid, 0x24);
            seed_sent_ = false;
            if (len != 6 || memcmp(req + 2, KEY, 4) != 0) return nrc(resp, sid, 0x35);
            resp[0] = 0x67;
            resp[1] = 0x02;
            return 2;
        }
        return nrc(resp, sid, 0x12);
    case 0x19:
        if (len == 3 && sub == 0x02) {
            const uint8_t r[] = {0x59, 0x02, 0xFF, 0x01, 0x43, 0x00, 0x2F, 0x01, 0x96, 0x00, 0x2F};
            memcpy(resp, r, sizeof r);
            return sizeof r;
        }
        if (len == 3 && sub == 0x01) {
            const uint8_t r[] = {0x59, 0x01, 0xFF, 0x01, 0x00, 0x02};
            memcpy(resp, r, sizeof r);
            return sizeof r;
        }
        return nrc(resp, sid, len < 3 ? 0x13 : 0x12);
    case 0x14:
        if (len != 4) return nrc(resp, sid, 0x13);
        resp[0] = 0x54;
        return 1;
    case 0x28:
    case 0x85:
        if (len < 2) return nrc(resp, sid, 0x13);
        if (suppress(req, len)) return 0;
        resp[0] = uint8_t(sid + 0x40);
        resp[1] = sub;
        return 2;
    case 0x31:
        if (len < 4) return nrc(resp, sid, 0x13);
        if (sub != 1 || req[2] != 0xFF || req[3] != 0x00) return nrc(resp, sid, 0x31);
        // Erasing takes a while: "response pending" first.
        *later = true;
        resp[0] = 0x71;
        resp[1] = 0x01;
        resp[2] = 0xFF;
        resp[3] = 0x00;
        return 4;
    case 0x34:
        return nrc(resp, sid, 0x70);
    default:
        return nrc(resp, sid, 0x11);
    }
}

uint32_t sim_ecu::obd(const uint8_t *req, uint32_t len, uint8_t *resp, uint64_t now_ns)
{
    const uint8_t mode = req[0];
    uint32_t n = 0;
    resp[n++] = uint8_t(mode + 0x40);
    switch (mode) {
    case 0x01:
        for (uint32_t i = 1; i < len; i++) {
            const uint8_t pid = req[i];
            const uint32_t secs = uint32_t((now_ns - start_ns_) / (1000 * MS));
            const uint32_t rpm = 800 + (uint32_t((now_ns - start_ns_) / (100 * MS)) % 40) * 50;
            uint8_t v[4];
            int k = 0;
            switch (pid) {
            case 0x00:
            case 0x20: {
                uint32_t mask = 0;
                for (uint8_t p : PIDS)
                    if (p > pid && p <= pid + 0x20) mask |= 0x80000000u >> (p - pid - 1);
                v[0] = uint8_t(mask >> 24), v[1] = uint8_t(mask >> 16), v[2] = uint8_t(mask >> 8), v[3] = uint8_t(mask);
                k = 4;
                break;
            }
            case 0x01: v[0] = 0x82, v[1] = 0x07, v[2] = 0x65, v[3] = 0x00, k = 4; break;
            case 0x04: v[0] = 0x4D, k = 1; break;
            case 0x05: v[0] = 0x7B, k = 1; break;
            case 0x0C: v[0] = uint8_t(rpm * 4 >> 8), v[1] = uint8_t(rpm * 4), k = 2; break;
            case 0x0D: v[0] = 0x32, k = 1; break;
            case 0x0F: v[0] = 0x46, k = 1; break;
            case 0x11: v[0] = 0x26, k = 1; break;
            case 0x1C: v[0] = 0x06, k = 1; break;
            case 0x1F: v[0] = uint8_t(secs >> 8), v[1] = uint8_t(secs), k = 2; break;
            default: continue;   // not supported: left out of the answer
            }
            resp[n++] = pid;
            memcpy(resp + n, v, size_t(k));
            n += uint32_t(k);
        }
        return n > 1 ? n : 0;
    case 0x03: {
        const uint8_t r[] = {0x02, 0x01, 0x43, 0x01, 0x96};
        memcpy(resp + n, r, sizeof r);
        return n + sizeof r;
    }
    case 0x04:
        return n;
    case 0x09: {
        if (len != 2) return 0;
        resp[n++] = req[1];
        const char *text = nullptr;
        uint32_t field = 0;
        switch (req[1]) {
        case 0x00: {
            const uint8_t r[] = {0x54, 0x40, 0x00, 0x00};   // 02, 04, 0A
            memcpy(resp + n, r, sizeof r);
            return n + sizeof r;
        }
        case 0x02: text = VIN, field = 17; break;
        case 0x04: text = "NB-CAL-0001", field = 16; break;
        case 0x0A: text = "ECM-EngineControl", field = 20; break;
        default: return 0;
        }
        resp[n++] = 0x01;   // one data item
        memset(resp + n, 0, field);
        memcpy(resp + n, text, strlen(text));
        return n + field;
    }
    default:
        return 0;
    }
}

// ---- J1939 ----------------------------------------------------------------

void sim_ecu::j1939_send(uint32_t pgn, uint8_t da, const uint8_t *data, uint32_t len, uint64_t at, uint32_t gap_us)
{
    const uint32_t pf = (pgn >> 8) & 0xFF;
    if (len <= 8) {
        uint32_t id = 6u << 26 | (pgn & 0x3FFFF) << 8 | SA;
        if (pf < 240) id = (id & ~0xFF00u) | uint32_t(da) << 8;
        uint8_t d[8];
        memset(d, 0xFF, 8);
        memcpy(d, data, len);
        st_[1].push(frame(id, true, false, d, 8), at);
        return;
    }
    const uint32_t packets = (len + 6) / 7;
    const uint8_t cm[8] = {0x20, uint8_t(len), uint8_t(len >> 8), uint8_t(packets), 0xFF,
                           uint8_t(pgn), uint8_t(pgn >> 8), uint8_t(pgn >> 16)};
    st_[1].push(frame(0x1CECFF00u | SA, true, false, cm, 8), at);
    for (uint32_t p = 1; p <= packets; p++) {
        uint8_t d[8];
        memset(d, 0xFF, 8);
        d[0] = uint8_t(p);
        const uint32_t pos = (p - 1) * 7, n = len - pos < 7 ? len - pos : 7;
        memcpy(d + 1, data + pos, n);
        st_[1].push(frame(0x1CEBFF00u | SA, true, false, d, 8), at + uint64_t(p) * gap_us * 1000u);
    }
}

void sim_ecu::j1939_request(uint32_t pgn, uint8_t requester, uint64_t end_ns)
{
    const uint64_t at = end_ns + MS;
    static const uint8_t dm1[10] = {0x04, 0xFF, 0x64, 0x00, 0x01, 0x03, 0x6E, 0x00, 0x00, 0x01};
    switch (pgn) {
    case AC: {
        uint8_t name[8] = {0x67, 0x12, 0x00, 0x00, 0x00, 0x00, 0x00, 0x80};
        j1939_send(AC, 0xFF, name, 8, at, 0);
        break;
    }
    case DM1:
        j1939_send(DM1, 0xFF, dm1, sizeof dm1, at, 50000);
        break;
    case VI:
        j1939_send(VI, 0xFF, reinterpret_cast<const uint8_t *>("NMBSIM1ECU0000042*"), 18, at, 50000);
        break;
    case SOFT:
        j1939_send(SOFT, 0xFF, reinterpret_cast<const uint8_t *>("\x01" "1.15.0*"), 8, at, 0);
        break;
    default: {
        // Not available: a negative acknowledgement to the requester.
        const uint8_t nack[8] = {0x01, 0xFF, 0xFF, 0xFF, requester, uint8_t(pgn), uint8_t(pgn >> 8),
                                 uint8_t(pgn >> 16)};
        j1939_send(0xE800, 0xFF, nack, 8, at, 0);
        break;
    }
    }
}

// DM1 every second, the vehicle identification every five.
void sim_ecu::periodic(uint64_t)
{
    static const uint8_t dm1[10] = {0x04, 0xFF, 0x64, 0x00, 0x01, 0x03, 0x6E, 0x00, 0x00, 0x01};
    if (next_dm1_ <= next_vi_) {
        j1939_send(DM1, 0xFF, dm1, sizeof dm1, next_dm1_, 50000);
        next_dm1_ += 1000 * MS;
    } else {
        j1939_send(VI, 0xFF, reinterpret_cast<const uint8_t *>("NMBSIM1ECU0000042*"), 18, next_vi_, 50000);
        next_vi_ += 5000 * MS;
    }
}

// ---- saturating sources -----------------------------------------------------

void sim_ecu::isotp_full_next(uint64_t at)
{
    const uint8_t req[4] = {0x03, 0x22, 0xF1, uint8_t(round_ % 4)};
    round_++;
    st_[2].push(frame(TESTER_ID, false, false, req, 4), at);
}

void sim_ecu::j1939_full_frame(zk_fdframe *f)
{
    const source &s = src_[rr_];
    const uint8_t sa = uint8_t(0x10 + rr_);
    const uint32_t pgn = rr_ == 0 ? DM1 : 0xFF00u + uint32_t(rr_);
    const uint32_t packets = (s.size + 6) / 7;
    uint8_t d[8];
    if (s.packet == 0) {
        const uint8_t cm[8] = {0x20, uint8_t(s.size), uint8_t(s.size >> 8), uint8_t(packets), 0xFF,
                               uint8_t(pgn), uint8_t(pgn >> 8), uint8_t(pgn >> 16)};
        *f = frame(0x1CECFF00u | sa, true, false, cm, 8);
        return;
    }
    memset(d, 0xFF, 8);
    d[0] = uint8_t(s.packet);
    const uint32_t pos = uint32_t(s.packet - 1) * 7;
    for (uint32_t i = 0; i < 7 && pos + i < s.size; i++) {
        const uint32_t k = pos + i;
        // DM1: lamps, then DTCs of SPN 100 + k; others a pattern.
        d[1 + i] = rr_ == 0 ? (k < 2 ? 0x00 : k % 4 == 3 ? 0x01 : uint8_t(100 + k / 4)) : uint8_t(k * 13 + sa);
    }
    *f = frame(0x1CEBFF00u | sa, true, false, d, 8);
}

}  // namespace zk
