// The real program, driven from outside through accessibility
// (drive_autobaud.py): automatic bit-rate detection from the menu, and
// the automatic session written when the dialog closes.
#include <gtest/gtest.h>
#include <glib.h>

#include <map>
#include <string>
#include <vector>

#include "driver_run.h"
#include "test_env.h"

namespace {

using Outcome = nbtest::DriverOutcome;

Outcome drive(const char *boards)
{
    return nbtest::run_driver({"timeout", "150", "/usr/bin/python3", DIALOGS_DRIVER, NIMBREL_EXE},
                              {{"ZELK_BOARDS", boards}});
}

TEST(ProgramAutobaud, MenuDetectionFindsBusRateAndCloseSavesIt)
{
    // The bus runs at 250 kbit/s; the channel opens at the default 500.
    Outcome o = drive("0=sim:channels=2,rate=250,traffic=default");
    if (o.driver == 77)
        GTEST_SKIP() << "no accessibility bus";
    ASSERT_EQ(o.driver, 0) << o.output;
    EXPECT_EQ(o.value["status"], "\"250  Kbit/s  (CiA predef) baud autodetected!   \"");
    // Before Close the file still holds the rate of the start.
    EXPECT_NE(o.value["before"].find("Baud=500\\n"), std::string::npos) << o.value["before"];
    EXPECT_EQ(o.value["exit"], "0");
    EXPECT_NE(o.value["after"].find("\\nBaud=250\\n"), std::string::npos) << o.value["after"];
}

}  // namespace
