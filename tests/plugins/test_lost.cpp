// A channel whose serial adapter is lost and then present but silent: the
// attempts to open it again wait for answers on their own thread, so the
// main loop goes on (its longest iteration stays under one answer
// timeout) and the other channels' frames still arrive; once the adapter
// answers the channel is back, and a channel removed while an attempt
// runs leaves nothing open.
#include <gtest/gtest.h>
#include <unistd.h>

#include <functional>
#include <memory>
#include <vector>

#include "../zelk/slcan/fake_adapter.h"
#include "gui_driver.h"
#include "poll_fixture.h"

namespace nbt {

gui_calls gui;

namespace {

using nbtest::FakeAdapter;

constexpr int ANSWER_MS = 200;
constexpr uint8_t SLCAN_CHAN = 2;  // board 1, after the two simulated channels

class LostChannel : public PollTest {
protected:
    // The adapter on board 1, after two simulated channels; or, for the
    // main channel, on board 0.
    explicit LostChannel(bool main = false)
        : tmp_(nbtest::make_temp_dir("lost")), link_(tmp_ + "/tty"),
          boards_(main ? "0=slcan:" + link_ + ",timeout=" + std::to_string(ANSWER_MS) +
                             ";1=sim:channels=1,traffic=none"
                       : "0=sim:channels=2,traffic=none,txq=64;1=slcan:" + link_ +
                             ",timeout=" + std::to_string(ANSWER_MS))
    {
        adapter_.reset(new FakeAdapter());
        relink();
    }
    const char *boards() const override { return boards_.c_str(); }

    // The adapter behind the board's path is now adapter_.
    void relink()
    {
        unlink(link_.c_str());
        EXPECT_EQ(symlink(adapter_->path().c_str(), link_.c_str()), 0);
    }
    nb_chan *add_started()
    {
        nb_chan_settings s;
        chan_settings_default(&s);
        int32_t index = -1;
        char why[256] = "";
        const int32_t rc = chanset_add(&the_app, SLCAN_CHAN, &s, &index, nullptr);
        ZkStrError((int16_t)rc, why, sizeof why);
        EXPECT_EQ(rc, 0) << why;
        index_ = index;
        nb_chan *ch = chanset_at(&the_app, index);
        if (ch) {
            EXPECT_GE(ch->ops.start(ch), 0);
        }
        return ch;
    }
    // Unplugged, then plugged in again silent.
    void lose(nb_chan *ch)
    {
        the_app.poll.ops.start(&the_app);
        adapter_->hangup();
        ASSERT_TRUE(run_until([&] { return ch->lost == 1; }));
        adapter_.reset(new FakeAdapter(FakeAdapter::Dialect::Silent));
        relink();
    }
    // Runs the main loop until cond holds (false after 10 s); longest_us_
    // keeps the longest dispatch of an iteration: the loop's own work,
    // without its waiting for the next timer.
    bool run_until(const std::function<bool()> &cond)
    {
        GMainContext *ctx = g_main_context_default();
        const gint64 end = g_get_monotonic_time() + 10 * G_USEC_PER_SEC;
        std::vector<GPollFD> fds(16);
        while (!cond()) {
            if (g_get_monotonic_time() > end)
                return false;
            gint prio = 0, timeout = 0;
            g_main_context_prepare(ctx, &prio);
            gint n;
            while ((n = g_main_context_query(ctx, prio, &timeout, fds.data(), (gint)fds.size())) >
                   (gint)fds.size())
                fds.resize((size_t)n);
            g_poll(fds.data(), (guint)n, timeout < 0 || timeout > 50 ? 50 : timeout);
            const gint64 t0 = g_get_monotonic_time();
            if (g_main_context_check(ctx, prio, fds.data(), n))
                g_main_context_dispatch(ctx);
            longest_us_ = std::max(longest_us_, g_get_monotonic_time() - t0);
        }
        return true;
    }
    size_t rx_events() { return of_type(PGRP_RX_FRAMES).size(); }

    std::string tmp_, link_, boards_;
    std::unique_ptr<FakeAdapter> adapter_;
    int32_t index_ = -1;
    gint64 longest_us_ = 0;
};

TEST_F(LostChannel, SilentAdapterDoesNotHoldTheLoopAndComesBack)
{
    loaded("nbt_handler", "h.so");
    nb_chan *ch = add_started();
    ASSERT_NE(ch, nullptr);
    lose(ch);
    ASSERT_FALSE(HasFatalFailure());

    // Two attempts (three unanswered commands each) while the main
    // channel's frames go on.
    longest_us_ = 0;
    inject(1, 0x10);
    EXPECT_TRUE(run_until([&] { return adapter_->commands().size() >= 6 && rx_events() > 0; }));
    EXPECT_EQ(ch->lost, 1);
    EXPECT_LT(longest_us_, ANSWER_MS * 1000) << "the loop waited for the adapter";
    RecordProperty("longest_dispatch_us", (int)longest_us_);

    adapter_->set_dialect(FakeAdapter::Dialect::Lawicel);
    EXPECT_TRUE(run_until([&] { return ch->lost == 0; }));
    EXPECT_LT(longest_us_, ANSWER_MS * 1000);
    EXPECT_EQ(ch->running, 0);
    EXPECT_FALSE(adapter_->channel_open());
    ASSERT_GE(ch->ops.start(ch), 0);
    EXPECT_TRUE(adapter_->channel_open());
}

TEST_F(LostChannel, RemovedWhileAnAttemptRunsLeavesNothingOpen)
{
    nb_chan *ch = add_started();
    ASSERT_NE(ch, nullptr);
    lose(ch);
    ASSERT_FALSE(HasFatalFailure());
    ASSERT_TRUE(run_until([&] { return !adapter_->commands().empty(); }));
    // It may now answer the attempt under way: what that opens is closed.
    adapter_->set_dialect(FakeAdapter::Dialect::Lawicel);
    EXPECT_EQ(chanset_remove(&the_app, index_), 0);
    EXPECT_EQ(the_app.chans.count, 1);
    EXPECT_EQ(ZkOpen(SLCAN_CHAN, ZK_OPEN_BOTH), ZK_OK);
    EXPECT_EQ(ZkClose(SLCAN_CHAN), ZK_OK);
}

// The main channel alike: the user is told once, and the channel comes
// back stopped, shown so, without the loop waiting for the silent adapter.
class LostMainChannel : public LostChannel {
protected:
    LostMainChannel() : LostChannel(true) {}
};

TEST_F(LostMainChannel, SilentAdapterDoesNotHoldTheLoopAndComesBack)
{
    nbtest::DialogDriver driver;
    driver.respond(GTK_RESPONSE_OK);
    lose(&the_app.chan);
    ASSERT_FALSE(HasFatalFailure());
    ASSERT_EQ(driver.seen().size(), 1u);
    EXPECT_NE(driver.seen()[0].text.find("CAN channel 0 is lost"), std::string::npos);
    EXPECT_EQ(gui.stops, 1);

    longest_us_ = 0;  // the message's own loop is not the retry's
    EXPECT_TRUE(run_until([&] { return adapter_->commands().size() >= 6; }));
    EXPECT_EQ(the_app.chan.lost, 1);
    adapter_->set_dialect(FakeAdapter::Dialect::Lawicel);
    EXPECT_TRUE(run_until([&] { return the_app.chan.lost == 0; }));
    EXPECT_LT(longest_us_, ANSWER_MS * 1000) << "the loop waited for the adapter";
    EXPECT_EQ(gui.stops, 2);
    EXPECT_EQ(the_app.chan.running, 0);
    ASSERT_GE(the_app.chan.ops.start(&the_app.chan), 0);
    EXPECT_TRUE(adapter_->channel_open());
    EXPECT_EQ(driver.seen().size(), 1u);
}

}  // namespace
}  // namespace nbt
