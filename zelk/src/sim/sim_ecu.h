/*
 * sim_ecu.h - diagnostic traffic on the simulated bus:
 *   traffic=ecu         an engine ECU that answers UDS and OBD-II requests
 *                       on 7E0/7E8 (and OBD-II on 7DF) over ISO-TP, and
 *                       sends J1939 traffic from address 00: an address
 *                       claim, DM1 and vehicle identification broadcasts
 *                       (TP.BAM) and answers to requests; with the
 *                       default vehicle traffic around it;
 *   traffic=isotp-full  a tester and the ECU talking without pause:
 *                       requests and multi-frame answers of 62 to 4095
 *                       bytes that keep the bus saturated;
 *   traffic=j1939-full  eight sources broadcasting TP.BAM transfers of 9
 *                       to 1785 bytes without pause.
 * The simulation offers one frame at a time to the bus's arbitration and
 * hears every frame the bus carries.
 */
#ifndef ZELK_SIM_ECU_H
#define ZELK_SIM_ECU_H

#include <stdint.h>

#include "zelk.h"

namespace zk {

class sim_ecu {
public:
    enum mode { ECU, ISOTP_FULL, J1939_FULL };
    sim_ecu(mode m, uint64_t now_ns);

    /* The frame the simulation wants to send next and the time from which
     * it competes for the bus; false when it has none. */
    bool ready(zk_fdframe *f, uint64_t *from_ns);
    /* That frame went out, ending at end_ns. */
    void sent(uint64_t end_ns);
    /* Another sender's frame went out. */
    void heard(const zk_fdframe &f, uint64_t end_ns);

    /* Its indexes and lengths in range (it lives in the shared file). */
    bool sane() const;

    static constexpr int STREAMS = 3;

private:
    struct out {
        zk_fdframe f;
        uint64_t at;
    };
    /* A ring of frames to send in order, each not before its time. */
    struct stream {
        static constexpr int CAP = 512;
        out q[CAP];
        int head = 0, count = 0;
        bool push(const zk_fdframe &f, uint64_t at);
    };
    /* One ISO-TP message going out: its first frame, then consecutive
     * frames as the receiver's flow control allows. */
    struct tp_tx {
        uint8_t msg[4095];
        uint32_t len = 0, pos = 0;
        uint32_t id = 0;
        uint8_t sn = 0, bs = 0, bs_left = 0;
        uint32_t stmin_us = 0;
        bool active = false, wait_fc = false;
        uint64_t fc_deadline = 0;
    };
    /* One ISO-TP message coming in. */
    struct tp_rx {
        uint8_t msg[4095];
        uint32_t len = 0, got = 0;
        uint8_t sn = 0;
        bool active = false;
    };

    void start_message(tp_tx &t, stream &s, uint32_t id, const uint8_t *msg, uint32_t len, uint64_t at);
    void next_cf(tp_tx &t, stream &s, uint64_t at);
    void flow_control(tp_tx &t, stream &s, const uint8_t *d, int len, uint64_t end_ns);
    void receive(tp_rx &r, stream &s, uint32_t fc_id, const uint8_t *d, int len, uint64_t end_ns, bool functional);
    void answer(const uint8_t *req, uint32_t len, bool functional, uint64_t end_ns);
    uint32_t uds(const uint8_t *req, uint32_t len, uint8_t *resp, bool *later);
    uint32_t obd(const uint8_t *req, uint32_t len, uint8_t *resp, uint64_t now_ns);
    void j1939_send(uint32_t pgn, uint8_t da, const uint8_t *data, uint32_t len, uint64_t at, uint32_t gap_us);
    void j1939_request(uint32_t pgn, uint8_t da, uint64_t end_ns);
    void periodic(uint64_t upto_ns);
    void isotp_full_next(uint64_t at);
    void j1939_full_frame(zk_fdframe *f);

    mode mode_;
    uint64_t start_ns_;
    stream st_[STREAMS];          /* 0: the ECU's ISO-TP, 1: J1939, 2: the simulated tester */
    tp_tx ecu_tx_;                /* the ECU's answer */
    tp_rx ecu_rx_;                /* a multi-frame request to the ECU */
    int chosen_ = -1;             /* stream of the frame offered last */
    bool fd_ = false;             /* the last request came in CAN FD frames: so does the answer */
    uint8_t session_ = 1;
    bool seed_sent_ = false;
    /* An answer after "response pending". */
    uint8_t later_[64];
    uint32_t later_len_ = 0;
    uint64_t later_at_ = 0;
    uint64_t next_dm1_ = 0, next_vi_ = 0;
    uint32_t round_ = 0;          /* isotp-full: requests made; j1939-full: transfers made */
    /* j1939-full: per source, the transfer's size and the next packet. */
    struct source {
        uint32_t size = 0;
        int packet = 0;           /* 0: the TP.CM, then 1..n */
    } src_[8];
    int rr_ = 0;
};

}  // namespace zk

#endif /* ZELK_SIM_ECU_H */
