// Test controls of the simulated boards (zelk_sim.h) and armed failures.
#include "core/core.h"
#include "sim_backend.h"
#include "zelk_sim.h"

#include <cstring>

namespace zk {

namespace {

struct armed {
    char function[24];
    int16_t code;
};
armed g_armed[64];
int g_narmed = 0;

sim_board *sim_of_board(uint8_t board)
{
    lib_state &L = lib();
    if (!L.inited || board >= ZK_MAX_BOARDS) return nullptr;
    return dynamic_cast<sim_board *>(L.boards[board].be.get());
}

sim_board *sim_of_chan(uint8_t chan, chan_state **out)
{
    chan_state *ch = find_chan(chan);
    if (!ch) return nullptr;
    *out = ch;
    return dynamic_cast<sim_board *>(lib().boards[size_t(ch->board)].be.get());
}

// zk_sim_sent and zk_sim_sent_fd through the board's method for them.
template <class Frame>
int sim_sent(uint8_t chan, Frame *out, int max, int (sim_board::*take)(int, Frame *, int))
{
    std::lock_guard<api_mutex> g(lib().api);
    if (!lib().inited) return ZK_E_NOTINIT;
    if (max < 0 || (max > 0 && !out)) return ZK_E_BADARG;
    chan_state *ch = nullptr;
    sim_board *b = sim_of_chan(chan, &ch);
    if (!b) return ZK_E_NOCHAN;
    b->poll();
    return (b->*take)(ch->slot, out, max);
}

}  // namespace

bool take_failure(const char *function, int16_t *code)
{
    for (int i = 0; i < g_narmed; i++)
        if (strcmp(g_armed[i].function, function) == 0) {
            *code = g_armed[i].code;
            memmove(&g_armed[i], &g_armed[i + 1], size_t(g_narmed - i - 1) * sizeof(armed));
            g_narmed--;
            return true;
        }
    return false;
}

void clear_failures()
{
    g_narmed = 0;
}

}  // namespace zk

using namespace zk;

extern "C" {

int16_t zk_sim_inject(uint8_t board, const zk_frame *frame)
{
    if (!frame) return ZK_E_BADARG;
    zk_fdframe f = to_fdframe(*frame);
    f.flags &= ZK_FRAME_EFF | ZK_FRAME_RTR;
    f.len = frame->len > 8 ? 8 : frame->len;
    return zk_sim_inject_fd(board, &f);
}

int16_t zk_sim_inject_fd(uint8_t board, const zk_fdframe *frame)
{
    std::lock_guard<api_mutex> g(lib().api);
    if (!frame) return ZK_E_BADARG;
    if (!lib().inited) return ZK_E_NOTINIT;
    sim_board *b = sim_of_board(board);
    if (!b) return ZK_E_NOBOARD;
    zk_fdframe f = *frame;
    if (f.flags & ZK_FRAME_FDF) {
        f.flags &= ZK_FRAME_EFF | ZK_FRAME_FDF | ZK_FRAME_BRS | ZK_FRAME_ESI;
        if (zk_fd_round_len(f.len) != f.len) return ZK_E_BADLEN;
    } else {
        f.flags &= ZK_FRAME_EFF | ZK_FRAME_RTR;
        if (f.len > 8) return ZK_E_BADLEN;
    }
    return int16_t(b->inject(f));
}

int16_t zk_sim_inject_errors(uint8_t chan, const zk_errs *errs)
{
    std::lock_guard<api_mutex> g(lib().api);
    if (!errs) return ZK_E_BADARG;
    if (!lib().inited) return ZK_E_NOTINIT;
    chan_state *ch = nullptr;
    sim_board *b = sim_of_chan(chan, &ch);
    if (!b) return ZK_E_NOCHAN;
    b->poll();
    if (!ch->open) return ZK_E_NOTOPEN;
    add_errors(*ch, *errs);
    return ZK_OK;
}

int zk_sim_sent(uint8_t chan, zk_frame *out, int max)
{
    return sim_sent(chan, out, max, &sim_board::sent);
}

int zk_sim_sent_fd(uint8_t chan, zk_fdframe *out, int max)
{
    return sim_sent(chan, out, max, &sim_board::sent_fd);
}

int zk_sim_tx_pending(uint8_t chan)
{
    std::lock_guard<api_mutex> g(lib().api);
    if (!lib().inited) return ZK_E_NOTINIT;
    chan_state *ch = nullptr;
    sim_board *b = sim_of_chan(chan, &ch);
    if (!b) return ZK_E_NOCHAN;
    b->poll();
    return b->tx_pending(ch->slot);
}

void zk_sim_fail_next(const char *function, int16_t code)
{
    static const char *const names[] = {
        "ZkInit", "ZkOpen", "ZkClose", "ZkSetBaud", "ZkSetWriteTout", "ZkWriteTout",
        "ZkSetFilter", "ZkSetLom", "ZkStart", "ZkStop", "ZkHwReset", "ZkRcQueEmpty",
        "ZkRead", "ZkWrite", "ZkErrsGetClear", "ZkChipStat", "ZkChipStatToStr",
        "ZkBoardInfo", "ZkBoardGetSerial", "ZkReadFd", "ZkWriteFd", "ZkSetDataRate",
        "ZkGetClock",
    };
    if (!function) return;
    std::lock_guard<api_mutex> g(lib().api);
    for (const char *n : names)
        if (strcmp(n, function) == 0 && g_narmed < int(sizeof g_armed / sizeof g_armed[0])) {
            copy_text(g_armed[g_narmed].function, sizeof g_armed[0].function, n);
            g_armed[g_narmed].code = code;
            g_narmed++;
            return;
        }
}

void zk_sim_clear_failures(void)
{
    std::lock_guard<api_mutex> g(lib().api);
    clear_failures();
}

int16_t zk_sim_set_bus(uint8_t board, uint32_t kbit, const char *traffic)
{
    std::lock_guard<api_mutex> g(lib().api);
    if (!lib().inited) return ZK_E_NOTINIT;
    sim_board *b = sim_of_board(board);
    if (!b) return ZK_E_NOBOARD;
    return b->set_bus(kbit, traffic);
}

int16_t zk_sim_set_data_rate(uint8_t board, uint32_t kbit)
{
    std::lock_guard<api_mutex> g(lib().api);
    if (!lib().inited) return ZK_E_NOTINIT;
    sim_board *b = sim_of_board(board);
    if (!b) return ZK_E_NOBOARD;
    return b->set_data_rate_of_bus(kbit);
}

int16_t zk_sim_set_wtout_adjust(uint8_t board, uint16_t step, uint16_t max)
{
    std::lock_guard<api_mutex> g(lib().api);
    if (!lib().inited) return ZK_E_NOTINIT;
    sim_board *b = sim_of_board(board);
    if (!b) return ZK_E_NOBOARD;
    b->set_wtout_adjust(step, max);
    return ZK_OK;
}

int16_t zk_sim_set_error_counters(uint8_t chan, uint8_t rec, uint16_t tec)
{
    std::lock_guard<api_mutex> g(lib().api);
    if (!lib().inited) return ZK_E_NOTINIT;
    chan_state *ch = nullptr;
    sim_board *b = sim_of_chan(chan, &ch);
    if (!b) return ZK_E_NOCHAN;
    b->poll();
    if (!ch->open) return ZK_E_NOTOPEN;
    b->set_error_counters(ch->slot, rec, tec);
    return ZK_OK;
}

void zk_sim_reset(void)
{
    std::lock_guard<api_mutex> g(lib().api);
    clear_failures();
    shutdown_boards();
    sim_clock_reset();
    init_locked();
}

void zk_sim_manual_clock(int on)
{
    std::lock_guard<api_mutex> g(lib().api);
    // Bring every bus up to the moment the clock changes mode; a manual
    // clock makes them the process's own, away from other processes.
    lib_state &L = lib();
    if (L.inited)
        for (board_state &b : L.boards)
            if (auto *s = dynamic_cast<sim_board *>(b.be.get())) {
                s->poll();
                if (on) s->go_private();
            }
    sim_set_manual(on != 0);
}

void zk_sim_advance_us(uint64_t us)
{
    std::lock_guard<api_mutex> g(lib().api);
    if (!sim_manual()) return;
    sim_manual_to(sim_now_ns() + us * 1000u);
    lib_state &L = lib();
    if (!L.inited) return;
    for (board_state &b : L.boards)
        if (auto *s = dynamic_cast<sim_board *>(b.be.get())) s->advance(sim_now_ns(), false);
}

uint64_t zk_sim_now_us(void)
{
    std::lock_guard<api_mutex> g(lib().api);
    return sim_now_ns() / 1000u;
}

}  // extern "C"
