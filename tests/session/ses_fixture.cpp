#include "ses_fixture.h"

#include "gui_driver.h"
#include "test_env.h"

extern "C" __attribute__((visibility("default"))) void nbtest_record(const char *who,
                                                                     const char *what)
{
    sestest::events().push_back(std::string(who) + ": " + what);
}

namespace sestest {

std::vector<std::string> &events()
{
    static std::vector<std::string> ev;
    return ev;
}

std::vector<std::string> events_of(const char *name)
{
    std::vector<std::string> out;
    std::string prefix = std::string(name) + ": ";
    for (const auto &e : events())
        if (e.compare(0, prefix.size(), prefix) == 0)
            out.push_back(e.substr(prefix.size()));
    return out;
}

std::string plugin_path(int variant)
{
    return std::string(SES_PLUGIN_DIR) + "/ses_rec" + std::to_string(variant) + ".so";
}

std::string hostile_path()
{
    return std::string(SES_HOSTILE_DIR) + "/ses_hostile.so";
}

void HostTest::SetUp()
{
    app_init();
    g_strlcpy(the_app.pgmgr.install_dir, SES_PLUGIN_DIR, sizeof the_app.pgmgr.install_dir);
    notebook_ = gtk_notebook_new();
    g_object_ref_sink(notebook_);
    the_app.gui.notebook = notebook_;
    the_app.pgmgr.ops.pgmgr_scan(&the_app.pgmgr);
    dir_ = nbtest::make_temp_dir("ses");
    events().clear();
}

void HostTest::TearDown()
{
    the_app.pgmgr.ops.pgmgr_release_all(&the_app.pgmgr);
    nbtest::pump();
    the_app.gui.notebook = nullptr;
    gtk_widget_destroy(notebook_);
    g_object_unref(notebook_);
    txlog_free(the_app.chan.txlog);
    the_app.chan.txlog = nullptr;
}

nb_plugin *HostTest::entry(int variant)
{
    return the_app.pgmgr.ops.pgmgr_find(&the_app.pgmgr, plugin_path(variant).c_str());
}

void HostTest::load(int variant)
{
    nb_plugin *e = entry(variant);
    ASSERT_NE(e, nullptr) << plugin_path(variant);
    ASSERT_EQ(pgmgr_load(&the_app, e), 0);
}

std::string HostTest::write_temp(const std::string &text, const char *name)
{
    std::string path = dir_ + "/" + name;
    nbtest::write_file(path, text);
    return path;
}

}  // namespace sestest
