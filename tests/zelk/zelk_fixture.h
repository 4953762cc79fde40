// Shared set-up of the library tests: a board configuration per test, the
// manual clock, and small frame helpers.
#ifndef ZELK_TEST_FIXTURE_H
#define ZELK_TEST_FIXTURE_H

#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <initializer_list>
#include <string>

#include "zelk.h"
#include "zelk_sim.h"

namespace zktest {

inline zk_frame frame(uint32_t id, uint8_t flags = 0, std::initializer_list<uint8_t> data = {})
{
    zk_frame f;
    memset(&f, 0, sizeof f);
    f.id = id;
    f.flags = flags;
    for (uint8_t b : data) f.data[f.len++] = b;
    return f;
}

inline std::string strerror_of(int16_t code)
{
    char buf[512];
    ZkStrError(code, buf, sizeof buf);
    return buf;
}

class Zelk : public ::testing::Test {
protected:
    // Re-reads the board list from ZELK_BOARDS; the manual clock is on.
    void boards(const char *config)
    {
        setenv("ZELK_BOARDS", config, 1);
        zk_sim_reset();
        ASSERT_EQ(ZkInit(), ZK_OK) << strerror_of(ZK_E_CONFIG);
        zk_sim_manual_clock(1);
    }
    void TearDown() override
    {
        unsetenv("ZELK_BOARDS");
        zk_sim_reset();
    }
    // Open with the given formats and start.
    void run(uint8_t chan, uint8_t flags = ZK_OPEN_BOTH)
    {
        ASSERT_EQ(ZkOpen(chan, flags), ZK_OK);
        ASSERT_EQ(ZkStart(chan), ZK_OK);
    }
    int read_all(uint8_t chan)
    {
        static zk_frame buf[512];
        int total = 0;
        for (int16_t n; (n = ZkRead(chan, buf, 512)) > 0;) total += n;
        return total;
    }
    zk_errs errs(uint8_t chan)
    {
        zk_errs e{};
        EXPECT_EQ(ZkErrsGetClear(chan, &e), ZK_OK);
        return e;
    }
    zk_chipstat stat(uint8_t chan)
    {
        zk_chipstat st{};
        EXPECT_EQ(ZkChipStat(chan, &st), ZK_OK);
        return st;
    }
};

}  // namespace zktest

#endif
