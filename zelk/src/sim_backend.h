/*
 * sim_backend.h - the simulated board ("sim" kind): channels sharing one
 * simulated bus with simulated nodes. The bus advances lazily to the
 * simulation clock on every library call, so with the manual clock it is
 * fully deterministic. Used by the core through zk_backend and by the
 * test controls (zk_sim_*).
 */
#ifndef ZELK_SIM_BACKEND_H
#define ZELK_SIM_BACKEND_H

#include "backend.h"

#include <memory>
#include <vector>

namespace zk {

/* Simulation clock in nanoseconds: CLOCK_MONOTONIC, or the manual clock. */
uint64_t sim_now_ns();
bool sim_manual();
void sim_set_manual(bool on);
/* Moves the manual clock forward to t (never backwards). */
void sim_manual_to(uint64_t t_ns);
/* Manual clock off and no offset: the state of a fresh process. */
void sim_clock_reset();

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

enum sim_traffic {
    SIM_TRAFFIC_NONE,
    SIM_TRAFFIC_DEFAULT,
    SIM_TRAFFIC_MIXED,
    SIM_TRAFFIC_FULL,
    SIM_TRAFFIC_FULL_FD
};

/* Traffic name <-> kind; false / nullptr when unknown. */
bool sim_traffic_kind(const char *name, sim_traffic *out);
const char *sim_traffic_name(sim_traffic t);

class sim_board final : public zk_backend {
public:
    struct options {
        int channels = 2;
        uint32_t rate = 500000;  /* bit/s */
        uint32_t drate = 2000000; /* data-phase bit/s of FD frames with BRS */
        sim_traffic traffic = SIM_TRAFFIC_DEFAULT;
        int full_len = -1;        /* -1: 0 for full, 64 for full-fd */
        unsigned busy_mask = 0;
        unsigned classic_mask = 0; /* slots whose controller cannot do FD */
        bool has_serial = true;
        char serial[64] = "";
        char name[64] = "ZELK simulated CAN";
        uint16_t wtstep = 0, wtmax = 0;
        int txq = 16;
    };
    explicit sim_board(const options &o);

    /* zk_backend */
    int channels() const override { return opt_.channels; }
    void board_names(char *name, size_t name_size, char *manufacturer,
                     size_t manufacturer_size) override;
    int16_t serial(char *buf, size_t size) override;
    int16_t probe(int slot) override;
    int16_t open(int slot, uint8_t flags, zk_rx_port *port, uint8_t *bt0, uint8_t *bt1) override;
    void close(int slot) override;
    int16_t set_baud(int slot, uint8_t bt0, uint8_t bt1, uint32_t bitrate) override;
    int16_t set_lom(int slot, bool on) override;
    int16_t start(int slot) override;
    int16_t stop(int slot) override;
    int16_t hw_reset(int slot, bool running) override;
    int16_t write(int slot, const zk_frame &frame, uint16_t timeout_ms) override;
    bool fd_capable(int slot) override { return !((opt_.classic_mask >> slot) & 1u); }
    void fd_timing(int slot, uint32_t *bitrate, uint16_t *sample_point, uint8_t *mode) override;
    int16_t set_data_rate(int slot, uint32_t bitrate, uint16_t sample_point, uint8_t mode) override;
    int16_t write_fd(int slot, const zk_fdframe &frame, uint16_t timeout_ms) override;
    uint16_t adjust_wtout(int slot, uint16_t ms) override;
    int16_t chip_status(int slot, zk_chipstat *st) override;
    void board_text(zk_text_list &list) override;
    const char *chip_name(int slot) override { return "SJA1000 (sim)"; }
    /* The simulated bus's clock, which stamps the frames it delivers. */
    uint32_t clock_us(int slot) override { return uint32_t(sim_now_ns() / 1000u); }
    void poll() override;

    /* Test controls. */
    int inject(const zk_fdframe &f);
    int sent(int slot, zk_frame *out, int max);
    int sent_fd(int slot, zk_fdframe *out, int max);
    int tx_pending(int slot) const;
    int16_t set_bus(uint32_t kbit, const char *traffic);
    int16_t set_data_rate_of_bus(uint32_t kbit);
    void set_wtout_adjust(uint16_t step, uint16_t max);
    void set_error_counters(int slot, uint8_t rec, uint16_t tec);
    /* Run the bus up to now_ns; bounded: skip backlog older than 10 s. */
    void advance(uint64_t now_ns, bool bounded);

private:
    struct tx_entry {
        zk_fdframe f;
        uint64_t enq_ns;
    };
    struct chan {
        bool open = false, started = false, lom = false;
        bool fd = false, non_iso = false;  /* FD mode, and its variant */
        uint32_t bitrate = 500000;
        uint32_t dbitrate = 2000000;
        uint16_t dsp = 750;
        zk_rx_port *port = nullptr;
        unsigned tec = 0, rec = 0;
        uint8_t state = 0;  /* 0 active, 1 warning, 2 passive, 3 bus-off */
        std::vector<tx_entry> txq;  /* ring of opt_.txq entries */
        int tx_head = 0, tx_count = 0;
        uint64_t next_attempt_ns = 0;
        std::unique_ptr<zk_fdframe[]> sent_log;
        int sent_head = 0, sent_count = 0;
    };
    struct node {
        uint32_t id;
        uint8_t flags, len;  /* ZK_FRAME_*, FD frames too */
        uint32_t period_us;
        uint64_t due_ns;
        uint32_t counter;
    };

    /* Does the controller take part in this frame at its settings: its
     * nominal rate matches the bus, and for an FD frame with BRS its data
     * rate, for any FD frame in FD mode its variant (ISO). A controller in
     * classic mode takes FD frames too: the core counts them for the
     * classic reader (a real classic controller would destroy them with
     * error frames; the simulation spares the bus that). */
    bool in_step(const chan &c, const zk_fdframe &f) const;
    bool can_send(const chan &c) const;
    void update_state(chan &c);
    void node_frame(node &n, zk_fdframe *f) const;
    void deliver(const zk_fdframe &f, int sender, uint64_t end_ns);
    uint64_t frame_ns(const zk_fdframe &f) const;
    uint64_t frame_ns(const zk_fdframe &f, const chan &c) const;
    int16_t enqueue(int slot, const zk_fdframe &frame, uint16_t timeout_ms);
    void attempts(chan &c, uint64_t now_ns);
    void setup_nodes(uint64_t now_ns);

    /* The frame on the wire: once it has started it is no longer subject
     * to arbitration. */
    struct on_wire {
        bool busy = false;
        zk_fdframe f{};
        int chan = -1;  /* sending channel slot, or -1 */
        int node = -1;  /* sending node index, or -1 */
        uint64_t end_ns = 0;
    };
    void commit();
    /* A sending controller stopped, reset, closed or changed its timing. */
    void abort_current(int slot);

    options opt_;
    on_wire cur_;
    chan ch_[ZK_CHANNELS_PER_BOARD];
    std::vector<node> nodes_;
    uint64_t t_free_ = 0;      /* bus free from this time on */
    uint64_t next_event_ = 0;  /* next time something happens, after advance() */
};

}  // namespace zk

#endif /* ZELK_SIM_BACKEND_H */
