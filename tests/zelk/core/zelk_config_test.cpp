// Board configuration: where it is read from, its syntax, board and
// channel numbering, and the messages for malformed configurations.
#include "zelk_fixture.h"

#include <stdio.h>
#include <sys/stat.h>
#include <unistd.h>

#include <functional>

#include "test_env.h"

using namespace zktest;

namespace {

class ZelkConfig : public Zelk {
protected:
    // ZkInit's result with ZELK_BOARDS set to config; the text of a
    // configuration error goes to *msg.
    int16_t init_with(const char *config, std::string *msg = nullptr)
    {
        setenv("ZELK_BOARDS", config, 1);
        int16_t r = ZkInit();
        if (msg) *msg = strerror_of(ZK_E_CONFIG);
        return r;
    }
    std::vector<int> channels_of(uint8_t board)
    {
        zk_board b{};
        b.number = board;
        std::vector<int> out;
        if (ZkBoardInfo(&b) != ZK_OK) return {-99};
        for (int16_t c : b.chip)
            if (c >= 0) out.push_back(c);
        return out;
    }
    void write_config_file(const std::string &text)
    {
        const char *xdg = getenv("XDG_CONFIG_HOME");
        ASSERT_NE(xdg, nullptr);
        std::string dir = std::string(xdg) + "/zelk";
        mkdir(dir.c_str(), 0700);
        ASSERT_TRUE(nbtest::write_file(dir + "/boards", text));
    }
    void TearDown() override
    {
        const char *xdg = getenv("XDG_CONFIG_HOME");
        if (xdg) unlink((std::string(xdg) + "/zelk/boards").c_str());
        Zelk::TearDown();
    }
};

TEST_F(ZelkConfig, DefaultIsOneSimulatedBoardWithTwoChannels)
{
    unsetenv("ZELK_BOARDS");
    ASSERT_EQ(ZkInit(), ZK_OK);
    EXPECT_EQ(channels_of(0), (std::vector<int>{0, 1}));
    for (uint8_t n = 1; n < 8; n++) EXPECT_EQ(channels_of(n), (std::vector<int>{-99}));
}

TEST_F(ZelkConfig, ExplicitAndNextFreeBoardNumbersWithGaps)
{
    ASSERT_EQ(init_with(" 2=sim:channels=3 ; sim:channels=1;7=sim:channels=4"), ZK_OK);
    // The unnumbered board takes the lowest free number; channels are
    // counted in board order.
    EXPECT_EQ(channels_of(0), (std::vector<int>{0}));
    EXPECT_EQ(channels_of(1), (std::vector<int>{-99}));
    EXPECT_EQ(channels_of(2), (std::vector<int>{1, 2, 3}));
    EXPECT_EQ(channels_of(7), (std::vector<int>{4, 5, 6, 7}));
    EXPECT_EQ(ZkOpen(8, ZK_OPEN_BOTH), ZK_E_NOCHAN);
    EXPECT_EQ(ZkOpen(7, ZK_OPEN_BOTH), ZK_OK);
}

TEST_F(ZelkConfig, InitAgainReadsTheConfigurationAgainAndClosesChannels)
{
    ASSERT_EQ(init_with("sim"), ZK_OK);
    ASSERT_EQ(ZkOpen(1, ZK_OPEN_BOTH), ZK_OK);
    ASSERT_EQ(init_with("sim:channels=4"), ZK_OK);
    EXPECT_EQ(channels_of(0).size(), 4u);
    EXPECT_EQ(ZkOpen(1, ZK_OPEN_BOTH), ZK_OK) << "the earlier open was released";
    EXPECT_EQ(init_with("sim:channels=9"), ZK_E_CONFIG);
    EXPECT_EQ(ZkOpen(0, ZK_OPEN_BOTH), ZK_E_NOTINIT);
    zk_board b{};
    EXPECT_EQ(ZkBoardInfo(&b), ZK_E_NOTINIT);
}

TEST_F(ZelkConfig, MalformedConfigurationsSayWhatAndWhere)
{
    const struct { const char *config; const char *says; } cases[] = {
        {"can0", "unknown board kind \"can0\""},
        {"sim;bogus:x", "board spec 2 \"bogus:x\""},
        {"8=sim", "board number \"8\" is not a number from 0 to 7"},
        {"x=sim", "board number \"x\""},
        {"=sim", "board number \"\""},
        {"1=sim;1=sim", "board number 1 given twice"},
        {"3=", "board kind missing"},
        {":channels=2", "board kind missing"},
        {";; ;", "no board given"},
        {"sim;sim;sim;sim;sim;sim;sim;sim;sim", "more than 8 boards"},
        {"sim:channels=0", "channels=0: expected 1 to 4"},
        {"sim:channels=two", "channels=two"},
        {"sim:rate=2000", "rate=2000"},
        {"sim:traffic=heavy", "traffic=heavy: expected none, default, mixed, full, full-fd, ecu, isotp-full or j1939-full"},
        {"sim:busy=4", "busy=4"},
        {"sim:colour=red", "unknown option \"colour\""},
        {"sim:len=9", "len=9"},
        {"sim:traffic=full,len=12", "len=12: a classic frame carries at most 8 bytes"},
        {"sim:drate=20000", "drate=20000"},
        {"sim:classic=5", "classic=5"},
        {"sim:busy=0/0/0/0/0", "busy=0/0/0/0/0: slot 0 given twice"},
        {"sim:classic=1+2/1", "classic=1+2/1: slot 1 given twice"},
        {"sim:busy=0/", "busy=0/: expected channel slots 0 to 3"},
        {"sim:rate=500,len=8,rate=250", "option \"rate\" given twice"},
        {"slcan:/dev/null,dev=/dev/zero", "device given twice: /dev/null and /dev/zero"},
    };
    for (const auto &c : cases) {
        std::string msg;
        EXPECT_EQ(init_with(c.config, &msg), ZK_E_CONFIG) << c.config;
        EXPECT_NE(msg.find(c.says), std::string::npos) << c.config << " -> " << msg;
        EXPECT_NE(msg.find("ZELK_BOARDS"), std::string::npos) << msg;
    }
}

TEST_F(ZelkConfig, FileInTheConfigurationFolderWithCommentsAndLines)
{
    unsetenv("ZELK_BOARDS");
    write_config_file("# bench set-up\n0=sim:channels=1   # the left rack\n\n3=sim:rate=250\n");
    ASSERT_EQ(ZkInit(), ZK_OK) << strerror_of(ZK_E_CONFIG);
    EXPECT_EQ(channels_of(0), (std::vector<int>{0}));
    EXPECT_EQ(channels_of(3), (std::vector<int>{1, 2}));
    write_config_file("sim\nsim:rate=fast\n");
    ASSERT_EQ(ZkInit(), ZK_E_CONFIG);
    std::string msg = strerror_of(ZK_E_CONFIG);
    EXPECT_NE(msg.find("zelk/boards line 2"), std::string::npos) << msg;
    EXPECT_NE(msg.find("rate=fast"), std::string::npos) << msg;
    // The environment variable wins over the file.
    ASSERT_EQ(init_with("sim:channels=3"), ZK_OK);
    EXPECT_EQ(channels_of(0).size(), 3u);
}

// A boards file that is there but cannot be read is named with the
// reason, never passed over for the default list; a FIFO is refused
// without waiting for a writer.
TEST_F(ZelkConfig, BoardsFileThatCannotBeReadIsNamedWithTheReason)
{
    nbtest::Deadline deadline(20, "reading a boards file that is a FIFO");
    unsetenv("ZELK_BOARDS");
    const std::string dir = std::string(getenv("XDG_CONFIG_HOME")) + "/zelk";
    const std::string file = dir + "/boards";
    mkdir(dir.c_str(), 0700);
    const struct { std::function<int()> make; const char *says; } cases[] = {
        {[&] { return mkfifo(file.c_str(), 0600); }, "boards: a FIFO, not a regular file"},
        {[&] { return mkdir(file.c_str(), 0700); }, "boards: a folder, not a regular file"},
        {[&] { return symlink(file.c_str(), file.c_str()); }, "boards: cannot be read: "},
        {[&] { return symlink((dir + "/none").c_str(), file.c_str()); },
         "boards: cannot be read: a symbolic link to nothing"},
    };
    for (const auto &c : cases) {
        ASSERT_EQ(c.make(), 0) << c.says;
        EXPECT_EQ(ZkInit(), ZK_E_CONFIG) << c.says;
        const std::string msg = strerror_of(ZK_E_CONFIG);
        EXPECT_NE(msg.find(c.says), std::string::npos) << msg;
        EXPECT_EQ(msg.find("no board given"), std::string::npos) << msg;
        ASSERT_EQ(remove(file.c_str()), 0);
    }
}

}  // namespace
