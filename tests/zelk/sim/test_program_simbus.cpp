// The simulated bus between programs, from outside: two Nimbrels and
// zelkctl, each a process of its own, meet on it as on a vcan.
#include <gtest/gtest.h>

#include <string>

#include "driver_run.h"
#include "test_env.h"

namespace {

TEST(ProgramSimBus, TwoNimbrelsReceiveWhatZelkctlSends)
{
    nbtest::DriverOutcome o = nbtest::run_driver(
        {"timeout", "300", "/usr/bin/python3", SIMBUS_DRIVER, nbtest::stage_dir()}, {});
    if (o.driver == 77) GTEST_SKIP() << "no accessibility bus";
    ASSERT_EQ(o.driver, 0) << o.output;
    const std::string want = R"(["7E8#0211223344556677", "18DAF110#R", "123#", "00000001#AA"])";
    EXPECT_EQ(o.value["log0"], want) << o.output;
    EXPECT_EQ(o.value["log1"], want) << o.output;
}

}  // namespace
