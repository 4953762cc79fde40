/*
 * sim_backend.h - the simulated board ("sim" kind): channels on a
 * simulated bus (sim_bus.h) with simulated nodes, one bus for all the
 * user's processes. The bus advances lazily to the simulation clock on
 * every library call of any of them, so with the manual clock (a bus of
 * the process's own) it is fully deterministic. Used by the core through
 * zk_backend and by the test controls (zk_sim_*).
 */
#ifndef ZELK_SIM_BACKEND_H
#define ZELK_SIM_BACKEND_H

#include "sim_bus.h"

#include <memory>

namespace zk {

class sim_board final : public zk_backend {
public:
    struct options {
        sim_bus_options bus;
        unsigned busy_mask = 0;
        unsigned classic_mask = 0; /* slots whose controller cannot do FD */
        bool has_serial = true;
        char serial[64] = "";
        char name[64] = "ZELK simulated CAN";
        uint16_t wtstep = 0, wtmax = 0;
    };
    explicit sim_board(const options &o);
    ~sim_board() override;

    /* zk_backend */
    int channels() const override { return opt_.bus.channels; }
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
    bool tx_fates(int) override { return true; }
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
    int tx_pending(int slot);
    int16_t set_bus(uint32_t kbit, const char *traffic);
    int16_t set_data_rate_of_bus(uint32_t kbit);
    void set_wtout_adjust(uint16_t step, uint16_t max);
    void set_error_counters(int slot, uint8_t rec, uint16_t tec);
    /* Run the bus up to now_ns (bounded: skip backlog older than 10 s)
     * and hand this process's channels what reached them. */
    void advance(uint64_t now_ns, bool bounded);
    /* The manual clock goes on: the bus becomes this process's own. */
    void go_private();
    /* Whether the bus is the one the user's processes share. */
    bool shared();

private:
    struct local {
        bool mine = false;  /* opened by this process */
        bool gone = false;  /* its bus could not be trusted and was left */
        zk_rx_port *port = nullptr;
        /* The bus's counts of the channel's fates handed to the port. */
        uint32_t seen_sent = 0, seen_gone = 0, seen_ack = 0;
        std::unique_ptr<zk_fdframe[]> sent_log;
        int sent_head = 0, sent_count = 0;
    };

    sim_bus *bus();
    void attach();
    /* The bus, locked: the shared one after checking it can still be
     * trusted; when it cannot, the process leaves it (leave()) and gets a
     * bus of its own, its channels on the shared one lost. */
    sim_bus *locked(sim_bus_guard &g);
    void leave(const char *why);
    /* After leaving (or being refused) the shared bus: join it again when
     * it can be used. False with the reason in broken_. */
    bool usable();
    /* ZK_E_GONE with the reason, for an operation on a lost channel. */
    int16_t lost_result();
    bool owns(int slot);
    /* Hands the passed frames and the events meant for this process's
     * channels to their ports; the number of frames the ports queued. */
    int take(sim_bus *b);
    static void take_cb(void *self);
    void advance_locked(sim_bus *b, uint64_t now_ns, bool bounded);
    int16_t enqueue(int slot, const zk_fdframe &frame, uint16_t timeout_ms);

    options opt_;
    sim_bus *bus_ = nullptr;
    bool shared_ = false;
    sim_bus_file file_;
    char broken_[400] = "";  /* why the shared bus was left or refused */
    local loc_[ZK_CHANNELS_PER_BOARD];
};

}  // namespace zk

#endif /* ZELK_SIM_BACKEND_H */
