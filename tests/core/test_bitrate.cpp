// The bit-rate table and the automatic detection of the bus's rate on the
// simulated adapter.
#include <string.h>

#include <string>
#include <vector>

#include "sim_channel.h"

namespace {

using coretest::chipstat;
using coretest::make_chan;
using coretest::std_frame;

struct Rate {
    int index;
    uint32_t kbits;
    uint8_t bt0, bt1;
    const char *name;
};
const Rate k_rates[] = {
    {1, 10, 0x31, 0x1C, "10   Kbit/s  (CiA predef)"},
    {2, 20, 0x18, 0x1C, "20   Kbit/s  (CiA predef)"},
    {3, 50, 0x09, 0x1C, "50   Kbit/s  (CiA predef)"},
    {4, 100, 0x04, 0x1C, "100  Kbit/s  (CiA predef)"},
    {5, 125, 0x03, 0x1C, "125  Kbit/s  (CiA predef)"},
    {6, 250, 0x01, 0x1C, "250  Kbit/s  (CiA predef)"},
    {7, 500, 0x00, 0x1C, "500  Kbit/s  (CiA predef)"},
    {8, 800, 0x00, 0x16, "800  Kbit/s  (CiA predef)"},
    {9, 1000, 0x00, 0x14, "1000 Kbit/s  (CiA predef)"},
};

TEST(BaudTable, NamesArePaddedAndUnknownOutsideTheTable)
{
    nb_chan_ops ops;
    chan_fill_ops(&ops);
    EXPECT_STREQ(ops.baud_name(0), "Manual set               ");
    for (const Rate &r : k_rates)
        EXPECT_STREQ(ops.baud_name(r.index), r.name);
    for (int i = 0; i <= 9; i++)
        EXPECT_EQ(strlen(ops.baud_name(i)), 25u) << i;
    EXPECT_STREQ(ops.baud_name(10), "Unknown                  ");
    EXPECT_STREQ(ops.baud_name(-1), "Unknown                  ");
    EXPECT_STREQ(ops.baud_name(INT32_MIN), "Unknown                  ");
}

TEST(BaudTable, RegistersOfEachIndex)
{
    coretest::ChanPtr c = make_chan(0);
    c->bt0 = 0x47;
    c->bt1 = 0x2F;
    uint8_t b0 = 0xEE, b1 = 0xEE;
    c->ops.get_baud_regs(c.get(), 0, &b0, &b1);
    EXPECT_EQ(b0, 0x47);
    EXPECT_EQ(b1, 0x2F);
    for (const Rate &r : k_rates) {
        c->ops.get_baud_regs(c.get(), r.index, &b0, &b1);
        EXPECT_EQ(b0, r.bt0) << r.index;
        EXPECT_EQ(b1, r.bt1) << r.index;
    }
    b0 = 0x55;
    b1 = 0x66;
    for (int bad : {10, 12, -1}) {
        c->ops.get_baud_regs(c.get(), bad, &b0, &b1);
        EXPECT_EQ(b0, 0x55);
        EXPECT_EQ(b1, 0x66);
    }
}

class Baud : public ::testing::Test {
protected:
    void SetUp() override
    {
        coretest::init_library("0=sim:channels=2,traffic=none,rate=500");
        chan = make_chan(0);
        ASSERT_GE(ZkOpen(0, ZK_OPEN_BOTH), 0);
    }
    void TearDown() override
    {
        zk_sim_clear_failures();
        zk_sim_manual_clock(0);
        ZkClose(0);
    }
    coretest::ChanPtr chan;
};

TEST_F(Baud, PredefinedIndexProgramsTheTablePairAndRecordsTheGivenBytes)
{
    ASSERT_GE(chan->ops.set_baud(chan.get(), 5, 0x12, 0x34), 0);
    EXPECT_EQ(chan->baud_index, 5);
    EXPECT_EQ(chan->bt0, 0x12);
    EXPECT_EQ(chan->bt1, 0x34);
    zk_chipstat st = chipstat(0);
    EXPECT_EQ(st.bt0, 0x03);
    EXPECT_EQ(st.bt1, 0x1C);
    // The manual index programs the given pair.
    ASSERT_GE(chan->ops.set_baud(chan.get(), 0, 0x01, 0x1C), 0);
    EXPECT_EQ(chan->baud_index, 0);
    st = chipstat(0);
    EXPECT_EQ(st.bt0, 0x01);
    EXPECT_EQ(st.bt1, 0x1C);
}

TEST_F(Baud, InvalidIndexReturnsMinusSixWithoutCallingTheLibrary)
{
    ASSERT_GE(chan->ops.set_baud(chan.get(), 3, 0, 0), 0);
    nb_chan before;
    memcpy(&before, chan.get(), sizeof before);
    // Armed failure: if set_baud called the library, the arm would be used.
    zk_sim_fail_next("ZkSetBaud", ZK_E_IO);
    EXPECT_EQ(chan->ops.set_baud(chan.get(), 10, 1, 2), -6);
    EXPECT_EQ(chan->ops.set_baud(chan.get(), -1, 1, 2), -6);
    EXPECT_EQ(memcmp(&before, chan.get(), sizeof before), 0);
    EXPECT_EQ(chan->ops.set_baud(chan.get(), 4, 0, 0), ZK_E_IO);
    EXPECT_EQ(chan->baud_index, 3);
    EXPECT_EQ(chipstat(0).bt0, 0x09);
}

// ------------------------------------------------------------- autobaud

// Puts one frame on the bus when the search reaches the wanted index;
// counts the callbacks.
struct Search {
    int want = -1;
    int frames = 1;             // frames injected at the wanted index
    bool inject_errors = false;
    std::vector<int> progress;
    int ticks = 0;
    bool injected = false;
};

void on_progress(void *data, int32_t index)
{
    static_cast<Search *>(data)->progress.push_back(index);
}

void on_tick(void *data, int32_t index)
{
    Search *s = static_cast<Search *>(data);
    s->ticks++;
    if (s->inject_errors) {
        zk_errs e = {1, 0, 1, 1, 0};
        zk_sim_inject_errors(0, &e);
    }
    if (index == s->want && !s->injected) {
        s->injected = true;
        for (int i = 0; i < s->frames; i++) {
            zk_frame f = std_frame(0x100 + i);
            zk_sim_inject(0, &f);
        }
    }
}

int32_t autobaud(nb_chan *c, int method, int timeout_ms, Search *s)
{
    return c->ops.autobaud(c, method, timeout_ms, on_progress, s, on_tick, s);
}

TEST_F(Baud, DetectsEveryRateWithBothMethods)
{
    // A frozen bus clock: only the frames put on the bus from the tick
    // callback exist, so each search is exact.
    zk_sim_manual_clock(1);
    for (int method : {0, 1}) {
        for (const Rate &r : k_rates) {
            SCOPED_TRACE(testing::Message() << "method " << method << " rate " << r.kbits);
            ASSERT_GE(zk_sim_set_bus(0, r.kbits, "none"), 0);
            ASSERT_GE(chan->ops.set_baud(chan.get(), 7, 0, 0), 0);
            Search s;
            s.want = r.index;
            EXPECT_EQ(autobaud(chan.get(), method, 30, &s), r.index);
            std::vector<int> tried;
            for (int i = 9; i >= r.index; i--)
                tried.push_back(i);
            EXPECT_EQ(s.progress, tried);
            EXPECT_EQ(chan->baud_index, r.index);
            EXPECT_EQ(chan->bt0, 0);
            EXPECT_EQ(chan->bt1, 0);
            zk_chipstat st = chipstat(0);
            EXPECT_EQ(st.state, 0);    // left stopped
            EXPECT_EQ(st.lom, 0);
            EXPECT_EQ(st.bt0, r.bt0);
            EXPECT_EQ(st.bt1, r.bt1);
            EXPECT_EQ(chan->running, 0);
        }
    }
}

TEST_F(Baud, TimeoutBelowTenMillisecondsReadsNothing)
{
    zk_sim_manual_clock(1);
    ASSERT_GE(zk_sim_set_bus(0, 1000, "none"), 0);
    Search s;
    s.want = 9;
    EXPECT_EQ(autobaud(chan.get(), 0, 9, &s), -1);
    EXPECT_EQ(s.ticks, 0);
    EXPECT_EQ(s.progress, (std::vector<int>{9, 8, 7, 6, 5, 4, 3, 2, 1}));
    // Ten milliseconds: one read attempt per rate.
    Search t;
    EXPECT_EQ(autobaud(chan.get(), 0, 19, &t), -1);
    EXPECT_EQ(t.ticks, 9);
}

TEST_F(Baud, FailedSearchRestoresThePreviousRate)
{
    zk_sim_manual_clock(1);
    // After a manual rate, the manual pair is set again.
    ASSERT_GE(chan->ops.set_baud(chan.get(), 0, 0x01, 0x1C), 0);
    Search s;
    EXPECT_EQ(autobaud(chan.get(), 1, 10, &s), -1);
    EXPECT_EQ(chan->baud_index, 0);
    EXPECT_EQ(chan->bt0, 0x01);
    EXPECT_EQ(chan->bt1, 0x1C);
    zk_chipstat st = chipstat(0);
    EXPECT_EQ(st.bt0, 0x01);
    EXPECT_EQ(st.bt1, 0x1C);
    // After a predefined rate, that rate with bytes 0, 0.
    ASSERT_GE(chan->ops.set_baud(chan.get(), 3, 0x44, 0x55), 0);
    EXPECT_EQ(autobaud(chan.get(), 0, 10, &s), -1);
    EXPECT_EQ(chan->baud_index, 3);
    EXPECT_EQ(chan->bt0, 0);
    EXPECT_EQ(chan->bt1, 0);
    EXPECT_EQ(chipstat(0).bt0, 0x09);
}

TEST_F(Baud, FilterQueueAndErrorCountersAreRestored)
{
    zk_sim_manual_clock(1);
    ASSERT_GE(zk_sim_set_bus(0, 250, "none"), 0);
    ASSERT_GE(chan->ops.set_filter(chan.get(), 0x100, 0x7FF), 0);
    ASSERT_GE(chan->ops.set_lom(chan.get(), 1), 0);
    Search s;
    s.want = 6;
    s.frames = 3;               // one reveals the rate, two wait in the queue
    s.inject_errors = true;
    EXPECT_EQ(autobaud(chan.get(), 0, 30, &s), 6);
    EXPECT_EQ(chan->baud_index, 6);
    EXPECT_EQ(chan->acc_code, 0x100u);
    EXPECT_EQ(chan->acc_mask, 0x7FFu);
    // Listen-only is off in the adapter; the recorded flag is unchanged.
    EXPECT_EQ(chipstat(0).lom, 0);
    EXPECT_EQ(chan->lom, 1);

    zk_errs e;
    memset(&e, 0, sizeof e);
    int16_t rc = ZkErrsGetClear(0, &e);
    if (rc >= 0) {
        EXPECT_EQ(e.ewl + e.boff + e.hovr + e.sovr + e.wtout, 0);
    }

    // The queue was emptied, and the adapter filters with the kept values.
    ASSERT_GE(ZkStart(0), 0);
    zk_frame buf[8];
    EXPECT_EQ(ZkRead(0, buf, 8), 0);
    zk_frame pass = std_frame(0x100), block = std_frame(0x200);
    zk_sim_inject(0, &block);
    zk_sim_inject(0, &pass);
    ASSERT_EQ(ZkRead(0, buf, 8), 1);
    EXPECT_EQ(buf[0].id, 0x100u);
    ZkStop(0);
}

// A CAN FD channel: the nominal rate from any frame, the data rate from
// frames with BRS. The bus clock is frozen and every read attempt puts the
// given frames on the bus; the simulated bus hands a BRS frame only to a
// channel at its nominal and data rate.
struct FdSearch {
    bool classic = false;       // a classic frame at every attempt
    bool brs = false;           // an FD frame with BRS at every attempt
    std::vector<int> progress;
};

void fd_progress(void *data, int32_t index)
{
    static_cast<FdSearch *>(data)->progress.push_back(index);
}

void fd_tick(void *data, int32_t)
{
    FdSearch *s = static_cast<FdSearch *>(data);
    if (s->classic) {
        zk_frame f = std_frame(0x100);
        zk_sim_inject(0, &f);
    }
    if (s->brs) {
        zk_fdframe f;
        memset(&f, 0, sizeof f);
        f.id = 0x200;
        f.flags = ZK_FRAME_FDF | ZK_FRAME_BRS;
        f.len = 64;
        zk_sim_inject_fd(0, &f);
    }
}

TEST_F(Baud, CanFdChannelFindsTheDataRateFromBrsFrames)
{
    zk_sim_manual_clock(1);
    ZkClose(0);
    ASSERT_GE(ZkOpen(0, ZK_OPEN_BOTH | ZK_OPEN_FD), 0);
    chan->fd = NB_FD_ISO;
    ASSERT_GE(chan->ops.set_data_rate(chan.get(), 2000, 0), 0);
    const int D8 = NB_AUTOBAUD_DATA_STEP + 4, D5 = D8 - 1, D4 = D8 - 2, D2 = D8 - 3;

    // Frames with BRS only, at 250 kbit/s and 5 Mbit/s: silent at 2 Mbit/s
    // whatever the nominal rate, so the search goes on at the other data
    // rates until both match.
    ASSERT_GE(zk_sim_set_bus(0, 250, "none"), 0);
    ASSERT_GE(zk_sim_set_data_rate(0, 5000), 0);
    FdSearch s;
    s.brs = true;
    EXPECT_EQ(chan->ops.autobaud(chan.get(), 0, 30, fd_progress, &s, fd_tick, &s), 6);
    std::vector<int> want = {9, 8, 7, 6, 5, 4, 3, 2, 1, D8, 9, 8, 7, 6, 5, 4, 3, 2, 1, D5, 9, 8, 7, 6};
    EXPECT_EQ(s.progress, want);
    EXPECT_EQ(chan->baud_index, 6);
    EXPECT_EQ(chan->data_kbit, 5000u);
    EXPECT_EQ(chan->found_data_kbit, 5000u);
    EXPECT_EQ(chipstat(0).data_bitrate, 5000000u);

    // Classic frames tell the nominal rate at once; then each data rate
    // is tried, 8 Mbit/s first, until a BRS frame comes.
    ASSERT_GE(zk_sim_set_bus(0, 500, "none"), 0);
    ASSERT_GE(zk_sim_set_data_rate(0, 2000), 0);
    ASSERT_GE(chan->ops.set_data_rate(chan.get(), 1000, 0), 0);
    FdSearch t;
    t.classic = t.brs = true;
    EXPECT_EQ(chan->ops.autobaud(chan.get(), 0, 30, fd_progress, &t, fd_tick, &t), 7);
    EXPECT_EQ(t.progress, (std::vector<int>{9, 8, 7, D8, D5, D4, D2}));
    EXPECT_EQ(chan->data_kbit, 2000u);

    // No frame with BRS: the nominal rate is found, the data rate is not
    // and stays as it was.
    ASSERT_GE(chan->ops.set_data_rate(chan.get(), 4000, 750), 0);
    FdSearch u;
    u.classic = true;
    EXPECT_EQ(chan->ops.autobaud(chan.get(), 1, 30, fd_progress, &u, fd_tick, &u), 7);
    EXPECT_EQ(chan->found_data_kbit, 0u);
    EXPECT_EQ(chan->data_kbit, 4000u);
    EXPECT_EQ(chan->data_sp, 750);
    EXPECT_EQ(chipstat(0).data_bitrate, 4000000u);
    EXPECT_EQ(chipstat(0).state, 0);
}

TEST_F(Baud, FindsTheRateOfARealBusyBus)
{
    // The running clock and a saturated bus: frames arrive by themselves.
    ASSERT_GE(zk_sim_set_bus(0, 250, "full"), 0);
    int32_t found = chan->ops.autobaud(chan.get(), 0, 60, nullptr, nullptr, nullptr, nullptr);
    EXPECT_EQ(found, 6);
    EXPECT_EQ(chan->baud_index, 6);
    EXPECT_EQ(chipstat(0).state, 0);
}

}  // namespace
