#include "driver_run.h"

#include <glib.h>
#include <sys/wait.h>

namespace nbtest {

DriverOutcome run_driver(std::vector<std::string> argv,
                         const std::vector<std::pair<std::string, std::string>> &env)
{
    std::vector<char *> cargv;
    for (std::string &a : argv)
        cargv.push_back(&a[0]);
    cargv.push_back(nullptr);

    gchar **envp = g_get_environ();
    for (const auto &kv : env)
        envp = kv.second.empty() ? g_environ_unsetenv(envp, kv.first.c_str())
                                 : g_environ_setenv(envp, kv.first.c_str(), kv.second.c_str(), TRUE);
    DriverOutcome o;
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

}  // namespace nbtest
