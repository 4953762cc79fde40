/*
 * Sessions with added channels: the round trip over two simulated boards
 * whose channel numbers moved, a missing and a busy adapter named in one
 * message while the rest opens, and the sections an earlier reader skips.
 */
#include <stdlib.h>

#include <glib/gstdio.h>

#include "gui_driver.h"
#include "ses_fixture.h"
#include "session/session_file.h"
#include "test_env.h"
#include "zelk_sim.h"

using namespace sestest;

namespace {

class SessionChans : public HostTest {
protected:
    void TearDown() override
    {
        chanset_remove_all(&app());
        (void)app().chan.ops.close(&app().chan);
        HostTest::TearDown();
    }
    void boards(const char *spec)
    {
        chanset_remove_all(&app());
        (void)app().chan.ops.close(&app().chan);
        setenv("ZELK_BOARDS", spec, 1);
        zk_sim_reset();
        ASSERT_GE(ZkInit(), 0) << spec;
    }
    void open_main(uint8_t number)
    {
        app().chan.number = number;
        ASSERT_GE(app().chan.ops.open(&app().chan), 0);
        (void)app().chan.ops.find_board(number, &app().chan.board);
    }
    /* Opens the session's channels; the texts of the messages shown. */
    std::vector<std::string> open_session_channels()
    {
        nbtest::DialogDriver driver;
        driver.respond(GTK_RESPONSE_OK);
        session_open_channels(&app());
        std::vector<std::string> texts;
        for (const auto &s : driver.seen())
            texts.push_back(s.text);
        return texts;
    }
};

TEST_F(SessionChans, RoundTripFindsEachBoardBySerialAfterItsNumbersMoved)
{
    boards("0=sim:channels=2,serial=A1,traffic=none;1=sim:channels=2,serial=B2,traffic=none");
    open_main(0);
    const std::string autofile = dir_ + "/auto.nbs";
    g_strlcpy(app().session.auto_file, autofile.c_str(), sizeof app().session.auto_file);

    nb_chan_settings fd, classic;
    chan_settings_default(&fd);
    fd.fd = NB_FD_ISO;
    fd.data_kbit = 4000;
    fd.lom = 1;
    fd.acc_code = 0x100;
    fd.acc_mask = 0x700;
    chan_settings_default(&classic);
    classic.frame_format = ZK_OPEN_EXT;
    classic.baud_index = 5;               /* 125 kbit/s */
    classic.wtout = 100;
    ASSERT_EQ(chanset_add(&app(), 1, &fd, nullptr, nullptr), 0);     /* A1, slot 1 */
    /* Each change is in the automatic session at once. */
    EXPECT_NE(nbtest::read_file(autofile).find("\n[Plugin]\nChannel=1\nChan=1\nFlags=BOTH\nFD=ISO\n"),
              std::string::npos);
    ASSERT_EQ(chanset_add(&app(), 3, &classic, nullptr, nullptr), 0); /* B2, slot 1 */
    const std::string file = dir_ + "/two.nbs";
    ASSERT_EQ(session_write(&app(), file.c_str(), 0), 0);
    const std::string text = nbtest::read_file(file);
    EXPECT_NE(text.find("Channel=2\nChan=3\nFlags=CAN29\n"), std::string::npos) << text;
    EXPECT_NE(text.find("Serial=B2\nSlot=1\nBaud=125\nAmask=0x0\nAcode=0x0\nWtout=100\n"),
              std::string::npos)
        << text;
    EXPECT_NE(text.find("Wtout=20\nListenOnly=1\n"), std::string::npos) << text;
    ASSERT_EQ(chanset_remove(&app(), 2), 0);
    EXPECT_EQ(nbtest::read_file(autofile).find("Channel=2"), std::string::npos);

    /* The boards come back the other way round: A1's slot 1 is now 3. */
    boards("0=sim:channels=2,serial=B2,traffic=none;1=sim:channels=2,serial=A1,traffic=none");
    ASSERT_EQ(session_read(&app(), file.c_str(), SES_LOAD_FILE), 0);
    ASSERT_EQ(app().session.added_count, 2);
    open_main(0);
    EXPECT_TRUE(open_session_channels().empty());
    ASSERT_EQ(app().chans.count, 3);
    const nb_chan &a = *app().chans.at[1];
    const nb_chan &b = *app().chans.at[2];
    EXPECT_EQ(a.number, 3);
    EXPECT_EQ(a.fd, NB_FD_ISO);
    EXPECT_EQ(a.data_kbit, 4000u);
    EXPECT_EQ(a.lom, 1);
    EXPECT_EQ(a.acc_code, 0x100u);
    EXPECT_EQ(a.acc_mask, 0x700u);
    EXPECT_EQ(b.number, 1);
    EXPECT_EQ(b.frame_format, ZK_OPEN_EXT);
    EXPECT_EQ(b.baud_index, 5);
    EXPECT_EQ(b.wtout, 100);
    zk_chipstat st{};
    ASSERT_GE(ZkChipStat(3, &st), 0);
    EXPECT_EQ(st.lom, 1);
    ASSERT_GE(ZkChipStat(1, &st), 0);
    EXPECT_EQ(st.bitrate, 125000u);
    EXPECT_EQ(app().session.added_count, 0);
}

TEST_F(SessionChans, MissingAndBusyChannelsAreNamedOnceAndTheRestOpen)
{
    boards("0=sim:channels=3,serial=A1,name=Bench,traffic=none");
    open_main(0);
    const std::string text =
        "[Nimbrel]\nChan=0\n"
        "[Plugin]\nChannel=1\nChan=4\nBoard=Gone\nMaker=X\nSerial=Z9\nSlot=0\nBaud=500\n"
        "[Plugin]\nChannel=2\nChan=0\nBoard=Bench\nMaker=X\nSerial=A1\nBaud=500\n"
        "[Plugin]\nChannel=3\nChan=2\nBoard=Bench\nMaker=X\nSerial=A1\nBaud=250\n";
    ASSERT_EQ(session_read(&app(), write_temp(text).c_str(), SES_LOAD_FILE), 0);
    EXPECT_EQ(open_session_channels(),
              std::vector<std::string>{
                  "These channels of the session could not be opened; the others are open:\n"
                  "channel 4 on Gone (serial Z9): the adapter is not there\n"
                  "channel 0 on Bench (serial A1): the channel is busy"});
    ASSERT_EQ(app().chans.count, 2);
    EXPECT_EQ(app().chans.at[1]->number, 2);
    EXPECT_EQ(app().chans.at[1]->baud_index, 6);
}

TEST_F(SessionChans, ChannelSectionsAreKnownByTheirFirstKeyAndOldFilesReadAsBefore)
{
    /* Channel after Path is a plug-in's own key; Channel first makes a
     * channel section, whose keys are checked as the main section's. */
    ASSERT_EQ(session_read(&app(),
                           write_temp("[Nimbrel]\nBaud=250\n[Plugin]\nPath=/no/such.so\nChannel=3\n")
                               .c_str(),
                           SES_LOAD_FILE),
              0);
    EXPECT_EQ(app().session.added_count, 0);
    EXPECT_EQ(app().chan.baud_index, 6);
    nbtest::DialogDriver driver;
    driver.respond(GTK_RESPONSE_OK);
    EXPECT_EQ(session_read(&app(), write_temp("[Plugin]\nChannel=1\nChan=2\nPath=x\n").c_str(),
                           SES_LOAD_FILE),
              -1042);
    EXPECT_EQ(session_read(&app(), write_temp("[Nimbrel]\nChannel=1\n").c_str(), SES_LOAD_FILE),
              -1042);

    /* The chooser's CAN mode comes from the channel's automatic file
     * alone, whatever the open channel is. */
    app().chan.fd = NB_FD_ISO;
    nb_session ses = app().session;
    app().session.ops.make_paths(&ses, 7);
    gchar *folder = g_path_get_dirname(ses.auto_file);
    g_mkdir_with_parents(folder, 0700);
    g_free(folder);
    nbtest::write_file(ses.auto_file, "[Nimbrel]\nBaud=250\n");
    EXPECT_EQ(session_last_fd(&app(), 7), NB_FD_OFF);
    nbtest::write_file(ses.auto_file, "[Nimbrel]\nFD=NON-ISO\n");
    EXPECT_EQ(session_last_fd(&app(), 7), NB_FD_NON_ISO);
    app().chan.fd = NB_FD_OFF;

    /* While a pass holds the channel open, the reader leaves its record
     * alone and gives the settings as a value. */
    app().session.defer_settings = 1;
    app().chan.number = 1;
    ASSERT_EQ(session_read(&app(), write_temp("[Nimbrel]\nChan=5\nBaud=125\nWtout=50\n").c_str(),
                           SES_LOAD_FILE),
              0);
    app().session.defer_settings = 0;
    EXPECT_EQ(app().chan.number, 1);
    EXPECT_EQ(app().chan.baud_index, 6);
    EXPECT_EQ(app().session.main_read, 1);
    EXPECT_EQ(app().session.main.number, 5);
    EXPECT_EQ(app().session.main.s.baud_index, 5);
    EXPECT_EQ(app().session.main.s.wtout, 50);
}

}  // namespace
