// The Linux layer: installation directory, library names, timestamps,
// user folders.
#include <gtest/gtest.h>
#include <glib.h>
#include <glib/gstdio.h>
#include <string.h>
#include <time.h>

#include <string>

#include "app/platform.h"
#include "nimbrel/nimbrel.h"
#include "test_env.h"

namespace {

// The staging directory: the test binaries are built into it as well.
std::string stage_dir()
{
    std::string s = nbtest::stage_dir();
    if (!s.empty())
        return s;
    gchar *exe = g_file_read_link("/proc/self/exe", nullptr);
    gchar *dir = exe ? g_path_get_dirname(exe) : g_strdup(".");
    s = dir;
    g_free(dir);
    g_free(exe);
    return s;
}

std::string install_dir_of(const char *exe)
{
    char buf[1024];
    int rc = nbsdep_install_dir_of(exe, buf, sizeof buf);
    return rc == 0 ? std::string(buf) : std::string("<fail>");
}

TEST(Platform, InstallDirIsParentOnlyForBinOrLib)
{
    EXPECT_EQ(install_dir_of("/opt/nimbrel/bin/nimbrel"), "/opt/nimbrel");
    EXPECT_EQ(install_dir_of("/opt/nimbrel/lib/nimbrel"), "/opt/nimbrel");
    EXPECT_EQ(install_dir_of("/opt/nimbrel/nimbrel"), "/opt/nimbrel");
    EXPECT_EQ(install_dir_of("/opt/nimbrel/sbin/nimbrel"), "/opt/nimbrel/sbin");
    EXPECT_EQ(install_dir_of("/opt/nimbrel/binaries/nimbrel"), "/opt/nimbrel/binaries");
    EXPECT_EQ(install_dir_of("/opt/bin/x/nimbrel"), "/opt/bin/x");
    EXPECT_EQ(install_dir_of(""), "<fail>");
}

// The data folder: the staging layout's own share folder when there is
// one, else the installed tree's share beside lib/nimbrel; a path that
// does not fit is refused rather than cut.
TEST(Platform, DataDirOfStagedAndInstalledTrees)
{
    std::string root = nbtest::make_temp_dir("datadir");
    std::string pkglib = root + "/usr/lib/nimbrel";
    g_mkdir_with_parents(pkglib.c_str(), 0700);
    char buf[1024];
    ASSERT_EQ(nbsdep_data_dir(pkglib.c_str(), buf, sizeof buf), 0);
    EXPECT_EQ(std::string(buf), root + "/usr/share");

    g_mkdir_with_parents((pkglib + "/share").c_str(), 0700);
    ASSERT_EQ(nbsdep_data_dir(pkglib.c_str(), buf, sizeof buf), 0);
    EXPECT_EQ(std::string(buf), pkglib + "/share");

    char small[8];
    EXPECT_EQ(nbsdep_data_dir(pkglib.c_str(), small, sizeof small), -1);
    EXPECT_STREQ(small, "");
    EXPECT_EQ(nbsdep_data_dir("", buf, sizeof buf), -1);
}

TEST(Platform, InstallDirCutToBufferAndOfRunningProgram)
{
    char small[6];
    ASSERT_EQ(nbsdep_install_dir_of("/abcdefghij/nimbrel", small, sizeof small), 0);
    EXPECT_STREQ(small, "/abcd");

    char buf[1024];
    ASSERT_EQ(nbsdep_install_dir(buf, sizeof buf), 0);
    gchar *exe = g_file_read_link("/proc/self/exe", nullptr);
    ASSERT_NE(exe, nullptr);
    gchar *dir = g_path_get_dirname(exe);
    EXPECT_STREQ(buf, dir);   // the test binary does not live in bin or lib
    g_free(dir);
    g_free(exe);
}

TEST(Platform, LibraryNameEndsInSoAnyCase)
{
    EXPECT_TRUE(nbsdep_is_library_name("a.SO"));
    EXPECT_TRUE(nbsdep_is_library_name("b.so"));
    EXPECT_TRUE(nbsdep_is_library_name("libbusview.So"));
    EXPECT_TRUE(nbsdep_is_library_name("cso"));
    EXPECT_TRUE(nbsdep_is_library_name("so"));
    EXPECT_FALSE(nbsdep_is_library_name("e.so.bak"));
    EXPECT_FALSE(nbsdep_is_library_name("d.s"));
    EXPECT_FALSE(nbsdep_is_library_name("s"));
    EXPECT_FALSE(nbsdep_is_library_name(""));
    EXPECT_FALSE(nbsdep_is_library_name(nullptr));
}

TEST(Platform, TimestampScaleAndResolution)
{
    EXPECT_EQ(nbsdep_timestamp_from_unix(0, 0), NB_TIMESTAMP_UNIX_EPOCH);
    // Sub-millisecond parts are dropped, whole milliseconds kept.
    EXPECT_EQ(nbsdep_timestamp_from_unix(1, 999999), NB_TIMESTAMP_UNIX_EPOCH + 19990000ull);
    EXPECT_EQ(nbsdep_timestamp_from_unix(2, 1000), NB_TIMESTAMP_UNIX_EPOCH + 20010000ull);
    // 2026-01-01 00:00:00 UTC
    EXPECT_EQ(nbsdep_timestamp_from_unix(1767225600, 0), 134116992000000000ull);
}

TEST(Platform, TimestampFollowsWallClockInWholeMilliseconds)
{
    for (int i = 0; i < 100; i++) {
        uint64_t t = nbsdep_timestamp_get();
        EXPECT_EQ(t % 10000u, 0u);
    }
    // Two readings inside one millisecond of the real-time clock are equal.
    bool checked = false;
    for (int i = 0; i < 1000 && !checked; i++) {
        struct timespec a, b;
        clock_gettime(CLOCK_REALTIME, &a);
        uint64_t t1 = nbsdep_timestamp_get();
        uint64_t t2 = nbsdep_timestamp_get();
        clock_gettime(CLOCK_REALTIME, &b);
        if (a.tv_sec == b.tv_sec && a.tv_nsec / 1000000 == b.tv_nsec / 1000000) {
            EXPECT_EQ(t1, t2);
            EXPECT_EQ(t1, nbsdep_timestamp_from_unix(a.tv_sec, a.tv_nsec / 1000));
            checked = true;
        }
    }
    EXPECT_TRUE(checked);
    // Within a few milliseconds of GLib's view of the wall clock.
    int64_t wall = g_get_real_time();   // microseconds since 1970
    uint64_t now = nbsdep_timestamp_get();
    int64_t diff = (int64_t)(now - NB_TIMESTAMP_UNIX_EPOCH) - wall * 10;
    EXPECT_LT(diff < 0 ? -diff : diff, 50 * 10000);
}

TEST(Platform, UserFoldersFromXdg)
{
    char buf[1024];
    // The data folder is made when it is missing.
    std::string data = g_get_user_data_dir();
    ASSERT_EQ(data.rfind(nbtest::temp_root(), 0), 0u) << "environment not isolated";
    g_rmdir(data.c_str());
    ASSERT_EQ(nbsdep_user_data_dir(buf, sizeof buf), 0);
    EXPECT_EQ(std::string(buf), data);
    EXPECT_TRUE(g_file_test(buf, G_FILE_TEST_IS_DIR));

    ASSERT_EQ(nbsdep_desktop_dir(buf, sizeof buf), 0);
    const char *desk = g_get_user_special_dir(G_USER_DIRECTORY_DESKTOP);
    EXPECT_STREQ(buf, desk && *desk ? desk : g_get_home_dir());
}

TEST(Platform, LibrariesLoadWithSymbolsAndMissingOnesFail)
{
    EXPECT_EQ(nbsdep_dl_open(nullptr), nullptr);
    EXPECT_EQ(nbsdep_dl_open("/nonexistent/lib.so"), nullptr);
    std::string zelk = stage_dir() + "/libzelk.so";
    void *lib = nbsdep_dl_open(zelk.c_str());
    ASSERT_NE(lib, nullptr) << zelk;
    EXPECT_NE(nbsdep_dl_sym(lib, "ZkInit"), nullptr);
    EXPECT_EQ(nbsdep_dl_sym(lib, "NoSuchSymbol"), nullptr);
    nbsdep_dl_close(lib);
}

}  // namespace
