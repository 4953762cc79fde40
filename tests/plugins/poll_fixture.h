// The application object over the simulated adapter, for the poller
// tests: channel 0 of a silent two-channel simulated board (manual
// clock), opened and started the way a pass opens it, with the GUI slots
// the poller calls replaced by recorders.
#ifndef NBT_POLL_FIXTURE_H
#define NBT_POLL_FIXTURE_H

#include <gtest/gtest.h>
#include <stdlib.h>
#include <string.h>

#include <string>

#include "nbt_support.h"
#include "test_env.h"
#include "zelk_sim.h"

namespace nbt {

struct gui_calls {
    int indicators = 0;
    zk_errs last_errs = {};
    int stops = 0;
    int refreshes = 0;
    size_t stop_at_event = 0;  // events recorded when the stop was shown
};
extern gui_calls gui;

inline void rec_indicators(const zk_errs *errs)
{
    gui.indicators++;
    gui.last_errs = *errs;
}
inline void rec_stopped(nb_app *, int32_t)
{
    gui.stops++;
    gui.stop_at_event = events().size();
}
inline void rec_refresh(nb_app *)
{
    gui.refreshes++;
}

class PollTest : public ::testing::Test {
protected:
    virtual const char *boards() const { return "0=sim:channels=2,traffic=none,txq=64"; }
    void SetUp() override
    {
        gui = gui_calls();
        setenv("ZELK_BOARDS", boards(), 1);
        zk_sim_reset();
        ASSERT_GE(ZkInit(), 0);
        zk_sim_manual_clock(1);
        dir_ = nbtest::make_temp_dir("poll");
        init_app(dir_);
        the_app.gui.ops.update_error_indicators = rec_indicators;
        the_app.gui.ops.controller_stopped = rec_stopped;
        the_app.gui.ops.refresh_info_panel = rec_refresh;
        the_app.chan.ops.open(&the_app.chan);
        ASSERT_GE(the_app.chan.ops.start(&the_app.chan), 0);
    }
    void TearDown() override
    {
        poll_set_budget_us(-1);
        the_app.poll.ops.stop(&the_app);
        chanset_remove_all(&the_app);
        finish_app();
        the_app.chan.ops.close(&the_app.chan);
        zk_sim_reset();
    }

    // A copy of a test plug-in, listed and loaded.
    nb_plugin *loaded(const char *variant, const char *file_name)
    {
        std::string path = place(dir_, variant, file_name);
        char buf[NB_TEXT_MAX] = {0};
        g_strlcpy(buf, path.c_str(), sizeof buf);
        nb_plugin *e = the_app.pgmgr.ops.pgmgr_add(&the_app.pgmgr, buf, sizeof buf);
        EXPECT_NE(e, nullptr);
        if (e) {
            EXPECT_EQ(pgmgr_load(&the_app, e), 0);
        }
        return e;
    }

    static zk_frame frame(uint32_t id)
    {
        zk_frame f;
        memset(&f, 0, sizeof f);
        f.id = id & 0x7ff;
        f.len = 2;
        f.data[0] = (uint8_t)id;
        f.data[1] = (uint8_t)(id >> 8);
        return f;
    }
    static void inject(int n, uint32_t first_id = 0)
    {
        for (int i = 0; i < n; i++) {
            zk_frame f = frame(first_id + (uint32_t)i);
            ASSERT_GE(zk_sim_inject(0, &f), 1);
        }
    }
    static void inject_errs(zk_errs e) { ASSERT_GE(zk_sim_inject_errors(0, &e), 0); }
    static gboolean tick() { return poll_tick(&the_app); }

    std::string dir_;
};

}  // namespace nbt

#endif
