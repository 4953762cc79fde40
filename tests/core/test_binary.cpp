// The real program, started from outside and driven through
// accessibility (tests/core/drive_nimbrel.py): exit codes and what the
// user sees at start-up.
#include <gtest/gtest.h>
#include <glib.h>

#include <map>
#include <string>
#include <vector>

#include "driver_run.h"
#include "test_env.h"

namespace {

using Outcome = nbtest::DriverOutcome;

// Runs a scenario of the driver against the program with ZELK_BOARDS set
// to boards (unset when null).
Outcome drive(const char *scenario, const char *boards, std::vector<std::string> args = {})
{
    std::vector<std::string> argv = {"timeout", "120", "/usr/bin/python3", CORE_DRIVER,
                                     scenario, NIMBREL_EXE};
    argv.insert(argv.end(), args.begin(), args.end());
    return nbtest::run_driver(argv, {{"ZELK_BOARDS", boards ? boards : ""}});
}

#define RUN_OR_SKIP(o)                                                         \
    do {                                                                       \
        if ((o).driver == 77)                                                  \
            GTEST_SKIP() << "no accessibility bus or dogtail";                 \
        ASSERT_EQ((o).driver, 0) << (o).output;                                \
    } while (0)

const char k_sim[] = "0=sim:channels=2,traffic=none";

TEST(Program, BrokenBoardListEndsWithOneAfterTheMessageWithTheReason)
{
    // The fixed text first, then the library's reason naming the option.
    Outcome o = drive("message", "0=sim:chanels=2");
    RUN_OR_SKIP(o);
    const std::string &m = o.value["message"];
    EXPECT_EQ(m.rfind("[\"ZELK library initialization failed\\n", 0), 0u) << m;
    EXPECT_NE(m.find("unknown option \\\"chanels\\\""), std::string::npos) << m;
    EXPECT_EQ(o.value["exit"], "1");
}

TEST(Program, CancelInTheChooserEndsWithZero)
{
    Outcome o = drive("chooser-cancel", k_sim);
    RUN_OR_SKIP(o);
    EXPECT_EQ(o.value["exit"], "0");
}

TEST(Program, OkOpensChannelZeroAndCtrlQEndsWithZero)
{
    Outcome o = drive("chooser-quit", k_sim);
    RUN_OR_SKIP(o);
    EXPECT_EQ(o.value["title"], "\"ch 0 - Nimbrel, ver. 3.15\"");
    EXPECT_EQ(o.value["exit"], "0");
}

TEST(Program, ChannelThatCannotBeOpenedEndsWithOneAfterTheMessage)
{
    // Every channel busy: nothing is pre-selected, OK tries channel 0.
    Outcome o = drive("chooser-ok-message", "0=sim:channels=2,busy=0/1,traffic=none");
    RUN_OR_SKIP(o);
    EXPECT_NE(o.value["message"].find("can not open CAN channel: "), std::string::npos)
        << o.value["message"];
    EXPECT_EQ(o.value["exit"], "1");
}

TEST(Program, UnreadableSessionFileEndsWithZeroAfterTheMessage)
{
    std::string missing = nbtest::temp_root() + "/no-such-session.nbs";
    Outcome o = drive("message", k_sim, {missing, "ignored-second-argument"});
    RUN_OR_SKIP(o);
    EXPECT_EQ(o.value["message"], "[\"Can not load session from file \\\"" + missing +
                                      "\\\": No such file or directory\"]");
    EXPECT_EQ(o.value["exit"], "0");
}

// "--" ends the options, and any other first argument is the session
// file, even one whose name starts with '-'.
TEST(Program, DashNamesAreSessionFiles)
{
    for (std::vector<std::string> args :
         {std::vector<std::string>{"--", "-no-such.nbs"}, {"-x.nbs"}, {"--", "--help"}}) {
        Outcome o = drive("message", k_sim, args);
        RUN_OR_SKIP(o);
        EXPECT_EQ(o.value["message"], "[\"Can not load session from file \\\"" + args.back() +
                                          "\\\": No such file or directory\"]");
        EXPECT_EQ(o.value["exit"], "0");
    }
}

// Help and versions are printed without a display and without touching
// the adapters: the program answers them before anything else.
TEST(Program, HelpAndVersionPrintAndEndWithZero)
{
    for (const char *opt : {"--help", "-h", "--version", "-V"}) {
        nbtest::DriverOutcome o = nbtest::run_driver(
            {NIMBREL_EXE, opt, "ignored"}, {{"DISPLAY", ""}, {"ZELK_BOARDS", "0=nosuchkind"}});
        EXPECT_EQ(o.driver, 0) << opt << ": " << o.output;
        if (opt[1] == 'h' || opt[2] == 'h')
            EXPECT_EQ(o.output.rfind("Usage: nimbrel [OPTION] [--] [SESSION-FILE]\n", 0), 0u)
                << o.output;
        else
            EXPECT_EQ(o.output.rfind("nimbrel 3.15\nZELK 1.3.0, GTK+ 2.", 0), 0u) << o.output;
    }
}

}  // namespace
