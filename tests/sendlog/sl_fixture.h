// Shared by the sender and logger tests: the application object over a
// silent two-channel simulated board with the manual clock, channel 0
// opened and started, a notebook in a window, and one shipped plug-in
// from the staging directory listed and loaded by the real manager.
#ifndef SL_FIXTURE_H
#define SL_FIXTURE_H

#include <dlfcn.h>
#include <gtest/gtest.h>
#include <stdlib.h>
#include <string.h>

#include <memory>
#include <string>
#include <vector>

#include "app/nb_app.h"
#include "gui_driver.h"
#include "test_env.h"
#include "zelk_sim.h"

namespace sltest {

inline zk_frame frame(uint32_t id, uint8_t flags, std::vector<uint8_t> data, uint8_t rtr_len = 0)
{
    zk_frame f;
    memset(&f, 0, sizeof f);
    f.id = id;
    f.flags = flags;
    if (flags & ZK_FRAME_RTR) {
        f.len = rtr_len;
    } else {
        f.len = (uint8_t)data.size();
        if (!data.empty())
            memcpy(f.data, data.data(), data.size());
    }
    return f;
}

// The application object with channel 0 opened and started, without the
// GUI parts the poller would call.
inline void open_started_channel()
{
    app_init();
    // A pass that began ten seconds ago: no frame comes before its origin.
    time_origin_pass_begin(&the_app);
    the_app.time.origin -= 10 * NB_TIMESTAMP_PER_SECOND;
    the_app.chan.number = 0;
    the_app.chan.frame_format = 6;
    the_app.gui.ops.update_error_indicators = nullptr;
    the_app.gui.ops.stop_controller = nullptr;
    the_app.gui.ops.controller_stopped = nullptr;
    the_app.gui.ops.refresh_info_panel = nullptr;
    the_app.chan.ops.open(&the_app.chan);
    ASSERT_GE(the_app.chan.ops.start(&the_app.chan), 0);
}

// Channel 0 closed and opened again for CAN FD, started.
inline void reopen_channel_fd()
{
    the_app.chan.ops.close(&the_app.chan);
    the_app.chan.fd = NB_FD_ISO;
    the_app.chan.ops.open(&the_app.chan);
    ASSERT_GE(the_app.chan.ops.start(&the_app.chan), 0);
}

class PluginTest : public ::testing::Test {
protected:
    // Loads stage_dir/<name>.so; call from SetUp. Channel 0 is the first
    // of boards. Without the manual clock the buses stay shared with other
    // programs (zelkctl).
    void load_plugin(const char *name, const char *fallback_stage_dir,
                     const char *boards = "0=sim:channels=2,traffic=none,txq=64",
                     bool manual_clock = true)
    {
        setenv("ZELK_BOARDS", boards, 1);
        zk_sim_reset();
        ASSERT_GE(ZkInit(), 0);
        if (manual_clock)
            zk_sim_manual_clock(1);
        dir_ = nbtest::make_temp_dir(name);
        /* Choosers start where an earlier test's ended otherwise. */
        memset(the_app.session.folders, 0, sizeof the_app.session.folders);

        open_started_channel();
        if (HasFatalFailure())
            return;

        window_ = gtk_window_new(GTK_WINDOW_TOPLEVEL);
        gtk_window_set_default_size(GTK_WINDOW(window_), 900, 500);
        GtkWidget *notebook = gtk_notebook_new();
        gtk_container_add(GTK_CONTAINER(window_), notebook);
        the_app.gui.notebook = notebook;
        gtk_widget_show_all(window_);

        std::string stage = nbtest::stage_dir();
        if (stage.empty())
            stage = fallback_stage_dir;
        path_ = stage + "/" + name + ".so";
        char buf[NB_TEXT_MAX] = {0};
        g_strlcpy(buf, path_.c_str(), sizeof buf);
        entry_ = the_app.pgmgr.ops.pgmgr_add(&the_app.pgmgr, buf, sizeof buf);
        ASSERT_NE(nullptr, entry_);
        if (pgmgr_load(&the_app, entry_) != 0) {
            void *h = dlopen(path_.c_str(), RTLD_NOW | RTLD_LOCAL);
            FAIL() << "the manager did not load " << path_ << ": " << (h ? "?" : dlerror());
        }
        ASSERT_NE(nullptr, entry_->page);
        page_ = entry_->page;
    }

    void TearDown() override
    {
        the_app.pgmgr.ops.pgmgr_release_all(&the_app.pgmgr);
        if (window_)
            gtk_widget_destroy(window_);
        the_app.gui.notebook = nullptr;
        nbtest::pump();
        the_app.chan.ops.close(&the_app.chan);
        txlog_free(the_app.chan.txlog);
        the_app.chan.txlog = nullptr;
        zk_sim_reset();
    }

    GtkWidget *widget(const char *name)
    {
        GtkWidget *w = nbtest::find_by_name(page_, name);
        EXPECT_NE(nullptr, w) << name;
        return w;
    }
    std::string label(const char *name)
    {
        GtkWidget *w = widget(name);
        return w ? gtk_label_get_text(GTK_LABEL(w)) : "";
    }
    void click(const char *name) { gtk_button_clicked(GTK_BUTTON(widget(name))); }
    // A symbol of the loaded plug-in (its test and automation hooks).
    void *symbol(const char *name) { return entry_ && entry_->module ? dlsym(entry_->module, name) : nullptr; }

    // A request to the plug-in, as the host makes it.
    void request(int type, void *data, uint64_t size)
    {
        pgrp req;
        memset(&req, 0, sizeof req);
        req.type = type;
        req.data_ptr = data;
        req.data_size = size;
        the_app.pgmgr.ops.pgmgr_request(entry_, &req);
    }
    void load_keys(const std::vector<std::pair<std::string, std::string>> &keys)
    {
        request(PGRP_SESSION_LOAD_BEGIN, nullptr, 0);
        for (const auto &kv : keys) {
            pgrp_session_key k;
            memset(&k, 0, sizeof k);
            g_strlcpy(k.name, kv.first.c_str(), sizeof k.name);
            g_strlcpy(k.value, kv.second.c_str(), sizeof k.value);
            request(PGRP_SESSION_LOAD_KEY, &k, sizeof k);
        }
        request(PGRP_SESSION_LOAD_END, nullptr, 0);
    }

    // Answers the next file chooser (Save or Open) with path: the response
    // itself, since a click on Save would start the chooser's own checks
    // first.
    void answer_chooser(nbtest::DialogDriver &driver, const std::string &path)
    {
        driver.then(nbtest::choose_path(path, GTK_RESPONSE_ACCEPT, false));
    }

    static void inject(const zk_frame &f) { ASSERT_GE(zk_sim_inject(0, &f), 1); }

    // The bus on the real clock and channel 1 opened as a reader at
    // channel 0's bit rate: what another node sees of the frames sent.
    void open_reader()
    {
        zk_sim_manual_clock(0);
        uint8_t bt0 = 0, bt1 = 0;
        the_app.chan.ops.get_baud_regs(&the_app.chan, the_app.chan.baud_index, &bt0, &bt1);
        ASSERT_EQ(ZK_OK, ZkOpen(1, ZK_OPEN_BOTH));
        ASSERT_EQ(ZK_OK, ZkSetBaud(1, bt0, bt1));
        ASSERT_EQ(ZK_OK, ZkStart(1));
    }
    // Reads channel 1 until n frames came or deadline_ms passed, without
    // running the main loop: the window is blocked all the while.
    std::vector<zk_fdframe> read_blocked(size_t n, int deadline_ms)
    {
        std::vector<zk_fdframe> got;
        const int64_t end = g_get_monotonic_time() + (int64_t)deadline_ms * 1000;
        zk_fdframe buf[64];
        while (got.size() < n && g_get_monotonic_time() < end) {
            int16_t r = ZkReadFd(1, buf, 64);
            for (int i = 0; i < r; i++)
                got.push_back(buf[i]);
            if (r <= 0)
                g_usleep(500);  // the poll interval of this wait
        }
        return got;
    }

    static void tick() { poll_tick(&the_app); }

    std::string dir_;
    std::string path_;
    GtkWidget *window_ = nullptr;
    nb_plugin *entry_ = nullptr;
    GtkWidget *page_ = nullptr;
};

}  // namespace sltest

#endif
