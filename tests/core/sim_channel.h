// A channel record over the simulated adapter, for the channel tests.
#ifndef CORE_SIM_CHANNEL_H
#define CORE_SIM_CHANNEL_H

#include <gtest/gtest.h>
#include <stdlib.h>
#include <string.h>

#include <memory>

#include "app/nb_app.h"
#include "can/chan.h"
#include "zelk_sim.h"

namespace coretest {

// The library reads its boards from ZELK_BOARDS; every test starts from
// a freshly read configuration with every channel closed.
inline void init_library(const char *boards)
{
    setenv("ZELK_BOARDS", boards, 1);
    zk_sim_reset();
    ASSERT_GE(ZkInit(), 0) << "ZELK_BOARDS=" << boards;
}

// A channel as app_init leaves it: defaults, operations, a tx log.
struct ChanDeleter {
    void operator()(nb_chan *c) const
    {
        txlog_free(c->txlog);
        delete c;
    }
};
using ChanPtr = std::unique_ptr<nb_chan, ChanDeleter>;

inline ChanPtr make_chan(uint8_t number)
{
    ChanPtr c(new nb_chan);
    memset(c.get(), 0, sizeof *c);
    c->number = number;
    c->frame_format = ZK_OPEN_BOTH;
    c->baud_index = NB_BAUD_INDEX_DEFAULT;
    c->wtout = 20;
    chan_fill_ops(&c->ops);
    c->txlog = txlog_new();
    return c;
}

inline zk_frame std_frame(uint32_t id, uint8_t first = 0)
{
    zk_frame f;
    memset(&f, 0, sizeof f);
    f.id = id;
    f.len = 1;
    f.data[0] = first;
    return f;
}

inline zk_chipstat chipstat(uint8_t chan)
{
    zk_chipstat st;
    memset(&st, 0, sizeof st);
    EXPECT_GE(ZkChipStat(chan, &st), 0);
    return st;
}

}  // namespace coretest

#endif
