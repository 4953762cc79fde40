// The program exports exactly the plug-in interface: every host export a
// plug-in may link against, and nothing else of the host.
#include <glib.h>
#include <gtest/gtest.h>
#include <stdio.h>
#include <sys/stat.h>

#include <set>
#include <string>

#include "test_env.h"

namespace {

const std::set<std::string> k_interface = {
    "nb_send_frame",        "nb_send_fd_frame",        "nb_get_current_status",
    "nb_get_locale_dir",    "nb_get_time_origin",      "nb_get_folder",
    "nb_set_folder",        "nb_chan_count",           "nb_chan_send",
    "nb_chan_get_status",   "nb_chan_get_name",        "nb_chan_get_adapter",
    "pgrp_get_channel",     "nb_send_fd_frame_any_thread", "nb_chan_send_any_thread",
    "nb_mainwin",           "nb_message_info",         "nb_message_warn",
    "nb_message_error",     "nb_warn",                 "nb_error",
    "nbsdep_timestamp_get", "nbpg_autosave",           "nbpg_save_key",
    "nbpg_keyval_get_int",  "nbpg_loadrelease_enable", "nbpg_loadrelease_disable",
    "nbpg_session_key_value",
    "pgrp_get_type",        "pgrp_get_chan",           "pgrp_get_timestamp",
    "pgrp_get_data_size",   "pgrp_get_result_size",    "pgrp_get_data_ptr",
    "pgrp_get_result_ptr",  "pgrp_set_result_size",    "pgrp_set_result_ptr",
};

// Symbols the linker and the C runtime put into every executable.
const std::set<std::string> k_runtime = {
    "_init", "_fini", "_edata", "_end", "__bss_start", "_IO_stdin_used",
    "__data_start", "data_start", "_start", "__dso_handle", "__libc_csu_init",
    "__libc_csu_fini",
};

TEST(Exports, ProgramExportsOnlyThePluginInterface)
{
    // The test binaries are built into the staging directory as well.
    std::string stage = nbtest::stage_dir();
    if (stage.empty()) {
        gchar *self = g_file_read_link("/proc/self/exe", nullptr);
        gchar *dir = self ? g_path_get_dirname(self) : nullptr;
        stage = dir ? dir : ".";
        g_free(dir);
        g_free(self);
    }
    std::string exe = stage + "/nimbrel";
    struct stat st;
    if (stat(exe.c_str(), &st) != 0)
        GTEST_SKIP() << exe << " is not built";
    std::string cmd = "nm -D --defined-only --format=posix '" + exe + "' 2>&1";
    FILE *p = popen(cmd.c_str(), "r");
    ASSERT_NE(p, nullptr);
    std::set<std::string> found, foreign;
    char line[4096];
    while (fgets(line, sizeof line, p)) {
        std::string s(line);
        std::string name = s.substr(0, s.find(' '));
        if (name.empty() || name == "\n")
            continue;
        found.insert(name);
        if (!k_interface.count(name) && !k_runtime.count(name) &&
            name.rfind("__asan", 0) != 0 && name.rfind("__ubsan", 0) != 0 &&
            name.rfind("__odr_asan", 0) != 0)
            foreign.insert(name);
    }
    ASSERT_EQ(pclose(p), 0) << "nm failed";
    for (const std::string &name : k_interface)
        EXPECT_TRUE(found.count(name)) << "missing export " << name;
    for (const std::string &name : foreign)
        ADD_FAILURE() << "exported but not part of the plug-in interface: " << name;
}

}  // namespace
