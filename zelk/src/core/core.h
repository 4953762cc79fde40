/*
 * core.h - the library core's state, shared by the core's source files
 * (core.cpp, config.cpp, strerror.cpp, ../sim/sim_control.cpp). Backends use
 * backend.h only.
 */
#ifndef ZELK_CORE_H
#define ZELK_CORE_H

#include "backend.h"

#include <array>
#include <memory>
#include <mutex>

#include <pthread.h>

namespace zk {

/* Receive side of one channel, shared with backend threads. */
struct zk_rx_port::impl {
    std::mutex m;
    bool open = false;       /* channel open: events are counted */
    bool accepting = false;  /* open and started: frames are queued */
    bool gone = false;       /* the backend lost the device */
    char gone_detail[128] = "";  /* what ZkStrError appends to ZK_E_GONE */
    uint8_t flags = 0;       /* ZK_OPEN_* formats and FD */
    uint32_t code = 0, mask = 0;
    /* Classic and FD frames in one ring, in receive order. */
    std::unique_ptr<zk_fdframe[]> ring{new zk_fdframe[ZK_RX_QUEUE_CAP]};
    int head = 0;            /* oldest frame */
    int count = 0;
    zk_errs errs{};          /* since the last ZkErrsGetClear */
    uint32_t hovr_total = 0, sovr_total = 0;  /* since open */
    uint32_t fd_skipped = 0;  /* FD frames not handed to the program since open */
    /* Transmit results (txlog.h); runs kept only for ZK_OPEN_TXRESULT. */
    tx_log tx;
    std::unique_ptr<zk_txresult[]> tx_runs;  /* made at the first such open */
    bool tx_in_write = false;  /* the newest accepted frame is still in write() */
    uint32_t ack_errors = 0;   /* since open */
};

struct chan_state {
    int board = -1;          /* board number, -1: no such channel */
    int slot = 0;
    bool open = false;
    uint8_t flags = 0;
    int lock_fd = -1;
    bool started = false;
    bool lom = false;
    uint8_t bt0 = 0, bt1 = 0x1C;
    uint32_t bitrate = 500000;
    uint8_t fd = 0;          /* 0 classic, 1 FD (ISO), 2 FD (non-ISO) */
    uint32_t data_bitrate = 0;
    uint16_t data_sp = 0;
    uint32_t code = 0, mask = 0;
    uint16_t wtout = 20;
    bool tx_tracked = false; /* the backend settles written frames (tx_fates) */
    zk_rx_port port;
    std::unique_ptr<zk_rx_port::impl> port_impl;
};

struct board_state {
    std::unique_ptr<zk_backend> be;  /* null: no board with this number */
    char kind[16] = "";
    int first_chan = 0;
    int nchan = 0;
};

/* The API lock, with priority inheritance: a sending thread of real-time
 * priority that waits for it lifts the thread holding it, so a busy
 * window thread in the middle of a call never holds up a cycle. */
class api_mutex {
public:
    api_mutex()
    {
        pthread_mutexattr_t a;
        pthread_mutexattr_init(&a);
        pthread_mutexattr_setprotocol(&a, PTHREAD_PRIO_INHERIT);
        pthread_mutex_init(&m_, &a);
        pthread_mutexattr_destroy(&a);
    }
    api_mutex(const api_mutex &) = delete;
    api_mutex &operator=(const api_mutex &) = delete;
    void lock() { pthread_mutex_lock(&m_); }
    void unlock() { pthread_mutex_unlock(&m_); }

private:
    pthread_mutex_t m_;
};

/* Everything the library holds; one instance, never destroyed (backend
 * threads may still run while the process exits). */
struct lib_state {
    api_mutex api;           /* held for the whole of every Zk* call */
    bool inited = false;
    std::array<board_state, ZK_MAX_BOARDS> boards;
    std::array<chan_state, ZK_MAX_CHANNELS> chans;
    int nchan = 0;
    char config_error[512] = "";
    int16_t last_code = 0;          /* most recent failure returned */
    char last_detail[256] = "";     /* its detail text */
    char pending_detail[256] = "";  /* set_detail() during the current call */
};

lib_state &lib();

/* Close every channel and destroy every board (API lock held). */
void shutdown_boards();

/* Read the configuration and create the boards (API lock held, nothing
 * open). ZK_OK or ZK_E_CONFIG with lib().config_error filled. */
int16_t load_config();

/* Take one armed failure of the named function (zk_sim_fail_next). */
bool take_failure(const char *function, int16_t *code);
void clear_failures();

/* Init under the API lock (ZkInit and zk_sim_reset). */
int16_t init_locked();

/* Add error counts to a channel as a backend event would (sim control). */
void add_errors(chan_state &ch, const zk_errs &e);

/* Registered kind names, for messages. Returns how many were stored. */
int backend_kinds(const char **out, int max);

/* Backend of a channel's board, or nullptr; the channel need not be open. */
chan_state *find_chan(int chan);

} // namespace zk

#endif /* ZELK_CORE_H */
