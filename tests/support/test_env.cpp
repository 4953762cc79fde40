#include "test_env.h"

#include <stdio.h>
#include <sys/wait.h>

#include <glib.h>
#include <glib/gstdio.h>
#include <locale.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <fstream>
#include <sstream>

namespace nbtest {

namespace {
std::string g_root;

void make_sub(const char *name, const char *var)
{
    std::string p = g_root + "/" + name;
    g_mkdir_with_parents(p.c_str(), 0700);
    setenv(var, p.c_str(), 1);
}
}  // namespace

const std::string &isolate_environment()
{
    if (!g_root.empty())
        return g_root;
    char tmpl[] = "/tmp/nbtest-XXXXXX";
    const char *dir = mkdtemp(tmpl);
    g_root = dir ? dir : "/tmp";
    make_sub("home", "HOME");
    make_sub("home/.local/share", "XDG_DATA_HOME");
    make_sub("home/.config", "XDG_CONFIG_HOME");
    make_sub("runtime", "XDG_RUNTIME_DIR");
    // The adapter library's channel locks: a folder of this process's own,
    // so that tests running side by side never find each other's channels
    // busy (the library's own place is one per user).
    setenv("ZELK_LOCK_DIR", (g_root + "/runtime/zelk").c_str(), 1);
    make_sub("home/Desktop", "NBTEST_DESKTOP");
    unsetenv("ZELK_BOARDS");
    return g_root;
}

const std::string &temp_root() { return isolate_environment(); }

std::string make_temp_dir(const char *prefix)
{
    std::string tmpl = temp_root() + "/" + prefix + "-XXXXXX";
    std::string buf(tmpl);
    const char *dir = mkdtemp(&buf[0]);
    return dir ? std::string(dir) : temp_root();
}

namespace {
std::string numeric_was;
}

bool german_numeric_locale()
{
    numeric_was = setlocale(LC_NUMERIC, nullptr);
    if (setlocale(LC_NUMERIC, "de_DE.UTF-8") || setlocale(LC_NUMERIC, "de_DE.utf8"))
        return true;
    const std::string dir = temp_root() + "/locale";
    if (access((dir + "/de_DE.UTF-8").c_str(), F_OK) != 0) {
        g_mkdir_with_parents(dir.c_str(), 0700);
        shell("localedef -i de_DE -f UTF-8 " + dir + "/de_DE.UTF-8");  // warnings give 1: made all the same
    }
    setenv("LOCPATH", dir.c_str(), 1);
    return setlocale(LC_NUMERIC, "de_DE.UTF-8") != nullptr;
}

void restore_numeric_locale()
{
    if (!numeric_was.empty())
        setlocale(LC_NUMERIC, numeric_was.c_str());
    unsetenv("LOCPATH");
}

bool wait_until(const std::function<bool()> &cond, int timeout_ms)
{
    gint64 deadline = g_get_monotonic_time() + (gint64)timeout_ms * 1000;
    GMainContext *ctx = g_main_context_default();
    for (;;) {
        if (cond())
            return true;
        if (g_get_monotonic_time() >= deadline)
            return cond();
        if (!g_main_context_iteration(ctx, FALSE))
            g_usleep(1000);
    }
}

int shell(const std::string &cmd, std::string *out)
{
    FILE *p = popen((cmd + " 2>&1").c_str(), "r");
    if (!p)
        return -1;
    std::string o;
    char buf[1024];
    while (fgets(buf, sizeof buf, p))
        o += buf;
    const int st = pclose(p);
    if (out)
        *out = o;
    return WIFEXITED(st) ? WEXITSTATUS(st) : -1;
}

std::string read_file(const std::string &path)
{
    std::ifstream in(path, std::ios::binary);
    if (!in)
        return std::string();
    std::ostringstream ss;
    ss << in.rdbuf();
    return ss.str();
}

bool write_file(const std::string &path, const std::string &text)
{
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    if (!out)
        return false;
    out << text;
    return static_cast<bool>(out);
}

std::string stage_dir()
{
    const char *s = getenv("NB_STAGE_DIR");
    return s && *s ? s : NBTEST_STAGE_DIR;
}

std::string source_dir() { return NBTEST_SOURCE_DIR; }

std::string opendbc_dir()
{
    const char *env = getenv("NB_OPENDBC_DIR");
    if (env && *env)
        return env;
    for (const char *up : {"/../shared/corpus/opendbc", "/../../shared/corpus/opendbc"}) {
        std::string d = source_dir() + up;
        if (g_file_test(d.c_str(), G_FILE_TEST_IS_DIR))
            return d;
    }
    return "";
}

std::string test_bin_dir()
{
    const char *s = getenv("NB_TEST_BIN_DIR");
    return s && *s ? s : NBTEST_BIN_DIR;
}

Deadline::Deadline(int seconds, std::string what)
{
    watch_ = std::thread([this, seconds, what] {
        std::unique_lock<std::mutex> g(m_);
        if (!cv_.wait_for(g, std::chrono::seconds(seconds), [this] { return over_; })) {
            fprintf(stderr, "FAILED: still blocked after %d s: %s\n", seconds, what.c_str());
            fflush(stderr);
            _exit(3);
        }
    });
}

Deadline::~Deadline()
{
    {
        std::lock_guard<std::mutex> g(m_);
        over_ = true;
    }
    cv_.notify_all();
    watch_.join();
}

}  // namespace nbtest
