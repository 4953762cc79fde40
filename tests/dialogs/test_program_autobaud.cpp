// The real program, driven from outside through accessibility
// (drive_autobaud.py): automatic bit-rate detection from the menu, and
// the automatic session written when the dialog closes.
#include <gtest/gtest.h>
#include <glib.h>
#include <sys/wait.h>

#include <map>
#include <string>
#include <vector>

#include "test_env.h"

namespace {

struct Outcome {
    int driver = -1;                          // the driver's own exit code
    std::map<std::string, std::string> value; // key -> JSON text
    std::string output;
};

Outcome drive(const std::string &data_home, const std::string &auto_file, const char *boards)
{
    std::vector<std::string> argv = {"timeout", "150", "/usr/bin/python3", DIALOGS_DRIVER,
                                     NIMBREL_EXE, auto_file};
    std::vector<char *> cargv;
    for (std::string &a : argv)
        cargv.push_back(&a[0]);
    cargv.push_back(nullptr);

    gchar **envp = g_get_environ();
    envp = g_environ_setenv(envp, "ZELK_BOARDS", boards, TRUE);
    envp = g_environ_setenv(envp, "XDG_DATA_HOME", data_home.c_str(), TRUE);
    Outcome o;
    gchar *out = nullptr;
    gint status = 0;
    GError *err = nullptr;
    gboolean ok = g_spawn_sync(nullptr, cargv.data(), envp, G_SPAWN_SEARCH_PATH, nullptr,
                               nullptr, &out, nullptr, &status, &err);
    g_strfreev(envp);
    if (!ok) {
        o.output = err ? err->message : "spawn failed";
        g_clear_error(&err);
        return o;
    }
    o.driver = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    o.output = out ? out : "";
    g_free(out);
    gchar **lines = g_strsplit(o.output.c_str(), "\n", -1);
    for (gchar **l = lines; *l; l++) {
        if (!g_str_has_prefix(*l, "NBT "))
            continue;
        std::string rest(*l + 4);
        size_t sp = rest.find(' ');
        if (sp != std::string::npos)
            o.value[rest.substr(0, sp)] = rest.substr(sp + 1);
    }
    g_strfreev(lines);
    return o;
}

TEST(ProgramAutobaud, MenuDetectionFindsBusRateAndCloseSavesIt)
{
    // The bus runs at 250 kbit/s; the channel opens at the default 500.
    std::string data_home = nbtest::make_temp_dir("autobaud-data");
    std::string auto_file = data_home + "/.nbauto-ch0.nbs";
    Outcome o = drive(data_home, auto_file, "0=sim:channels=2,rate=250,traffic=default");
    if (o.driver == 77)
        GTEST_SKIP() << "no accessibility bus";
    ASSERT_EQ(o.driver, 0) << o.output;
    EXPECT_EQ(o.value["status"], "\"250  Kbit/s  (CiA predef) baud autodetected!   \"");
    // Before Close the file still holds the rate of the start.
    EXPECT_NE(o.value["before"].find("Baud=500\\n"), std::string::npos) << o.value["before"];
    EXPECT_EQ(o.value["exit"], "0");
    std::string saved = nbtest::read_file(auto_file);
    EXPECT_NE(saved.find("\nBaud=250\n"), std::string::npos) << saved;
}

}  // namespace
