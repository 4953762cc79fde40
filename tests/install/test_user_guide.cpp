// Help > User Guide: the desktop's browser opens the installed guide, and
// where none does, a message names the file. "xdg-open" is a stand-in
// script on PATH, so the test sees what the program asked for; GIO finds
// no handler of its own because the data folders are empty.
#include <gtest/gtest.h>
#include <glib.h>
#include <glib/gstdio.h>
#include <stdlib.h>

#include <string>

#include "app/nb_app.h"
#include "gui_driver.h"
#include "test_env.h"

namespace {

class UserGuide : public ::testing::Test {
protected:
    void SetUp() override
    {
        root_ = nbtest::make_temp_dir("guide");
        std::string empty = root_ + "/no-apps";
        std::string bin = root_ + "/bin";
        g_mkdir_with_parents(empty.c_str(), 0700);
        g_mkdir_with_parents(bin.c_str(), 0700);
        setenv("XDG_DATA_DIRS", empty.c_str(), 1);
        setenv("XDG_DATA_HOME", empty.c_str(), 1);
        setenv("PATH", (bin + ":" + g_getenv("PATH")).c_str(), 1);
        // The stand-in browser records its argument and exits with
        // $GUIDE_EXIT.
        opened_ = root_ + "/opened";
        nbtest::write_file(bin + "/xdg-open", "#!/bin/sh\nprintf '%s' \"$1\" > '" + opened_ +
                                                  "'\nexit ${GUIDE_EXIT:-0}\n");
        g_chmod((bin + "/xdg-open").c_str(), 0755);
        // An installation in the build's layout: <dir>/share/doc/...
        g_strlcpy(the_app.install_dir, root_.c_str(), sizeof the_app.install_dir);
        guide_ = root_ + "/share/doc/nimbrel/guide/index.html";
    }

    void install_guide()
    {
        g_mkdir_with_parents((root_ + "/share/doc/nimbrel/guide").c_str(), 0700);
        nbtest::write_file(guide_, "<html></html>\n");
    }

    std::string root_, opened_, guide_;
};

TEST_F(UserGuide, OpensTheInstalledGuideWithTheBrowser)
{
    install_guide();
    setenv("GUIDE_EXIT", "0", 1);
    nbtest::DialogDriver d;
    user_guide(nullptr, &the_app);
    ASSERT_TRUE(nbtest::wait_until([&] { return !nbtest::read_file(opened_).empty(); }));
    gchar *uri = g_filename_to_uri(guide_.c_str(), nullptr, nullptr);
    EXPECT_EQ(nbtest::read_file(opened_), uri);
    g_free(uri);
    // The stand-in has ended and was reaped: no message follows.
    nbtest::wait_until([] { return false; }, 300);
    EXPECT_TRUE(d.seen().empty());
}

TEST_F(UserGuide, NamesTheFileWhenNoBrowserOpensIt)
{
    install_guide();
    setenv("GUIDE_EXIT", "3", 1);
    nbtest::DialogDriver d;
    d.respond(GTK_RESPONSE_OK);
    user_guide(nullptr, &the_app);
    ASSERT_TRUE(nbtest::wait_until([&] { return d.done(); }, 10000));
    ASSERT_EQ(d.seen().size(), 1u);
    EXPECT_EQ(d.seen()[0].text,
              "The Nimbrel User Guide could not be opened with a web browser.\n"
              "Open this file with one: " + guide_);
}

TEST_F(UserGuide, NamesTheFileWhenTheGuideIsMissing)
{
    g_mkdir_with_parents((root_ + "/share").c_str(), 0700);
    nbtest::DialogDriver d;
    d.respond(GTK_RESPONSE_OK);
    user_guide(nullptr, &the_app);
    ASSERT_EQ(d.seen().size(), 1u);
    EXPECT_EQ(d.seen()[0].text, "The Nimbrel User Guide is not installed: " + guide_);
    EXPECT_TRUE(nbtest::read_file(opened_).empty());
}

}  // namespace
