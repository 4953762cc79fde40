// Sent and received frames on one time base: an SLCAN adapter on a
// pseudo-terminal sends time-stamped frames while the sender plug-in
// transmits periodically through the same channel; the logger's candump
// file, read back by python-can, holds every frame with times that never
// step back. Both plug-ins are the shipped ones, loaded by the real
// manager and fed by the real poll timer.
#include <gtest/gtest.h>
#include <stdlib.h>

#include <atomic>
#include <chrono>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "../sendlog/sl_fixture.h"
#include "../zelk/slcan/fake_adapter.h"

namespace {

nb_plugin *load(const char *name)
{
    std::string path = nbtest::stage_dir() + "/" + name + ".so";
    char buf[NB_TEXT_MAX] = {0};
    g_strlcpy(buf, path.c_str(), sizeof buf);
    nb_plugin *e = the_app.pgmgr.ops.pgmgr_add(&the_app.pgmgr, buf, sizeof buf);
    if (!e || pgmgr_load(&the_app, e) != 0 || !e->page)
        return nullptr;
    return e;
}

GtkWidget *named(nb_plugin *p, const char *name)
{
    GtkWidget *w = nbtest::find_by_name(p->page, name);
    EXPECT_NE(w, nullptr) << name;
    return w;
}

// The number after "prefix" in a label's text, or -1.
long long number_in(GtkWidget *label, const char *prefix)
{
    const char *t = gtk_label_get_text(GTK_LABEL(label));
    const char *p = t ? strstr(t, prefix) : nullptr;
    return p ? atoll(p + strlen(prefix)) : -1;
}

std::string cell(GtkWidget *view, int row, int col)
{
    GtkTreeModel *m = gtk_tree_view_get_model(GTK_TREE_VIEW(view));
    GtkTreeIter it;
    if (!gtk_tree_model_iter_nth_child(m, &it, nullptr, row))
        return "";
    gchar *s = nullptr;
    gtk_tree_model_get(m, &it, col, &s, -1);
    std::string out = s ? s : "";
    g_free(s);
    return out;
}

// The columns of the sender's list and of its model (the same order).
enum { COL_ID, COL_EXT, COL_RTR, COL_FD, COL_BRS, COL_LEN, COL_DATA, COL_PERIOD, COL_ENABLED, COL_SENT };

void edit(GtkWidget *view, int col, const char *text)
{
    GtkTreeViewColumn *c = gtk_tree_view_get_column(GTK_TREE_VIEW(view), col);
    GList *cells = gtk_cell_layout_get_cells(GTK_CELL_LAYOUT(c));
    g_signal_emit_by_name(cells->data, col == COL_ENABLED ? "toggled" : "edited", "0", text);
    g_list_free(cells);
}

TEST(LoggerOverSlcan, SentAndReceivedFramesKeepOneOrderOfTime)
{
    nbtest::FakeAdapter adapter;
    setenv("ZELK_BOARDS", ("0=slcan:" + adapter.path()).c_str(), 1);
    ASSERT_GE(ZkInit(), 0);
    sltest::open_started_channel();
    ASSERT_FALSE(HasFatalFailure());
    GtkWidget *window = gtk_window_new(GTK_WINDOW_TOPLEVEL);
    the_app.gui.notebook = gtk_notebook_new();
    gtk_container_add(GTK_CONTAINER(window), the_app.gui.notebook);
    gtk_widget_show_all(window);
    nb_plugin *sender = load("sender");
    nb_plugin *logger = load("logger");
    ASSERT_NE(sender, nullptr);
    ASSERT_NE(logger, nullptr);

    std::string path = nbtest::make_temp_dir("slcan-log") + "/both.log";
    gtk_entry_set_text(GTK_ENTRY(named(logger, "logger-file")), path.c_str());
    gtk_button_clicked(GTK_BUTTON(named(logger, "logger-start")));
    GtkWidget *list = named(sender, "sender-list");
    gtk_button_clicked(GTK_BUTTON(named(sender, "sender-add")));
    edit(list, COL_ID, "123");
    edit(list, COL_DATA, "11 22");
    edit(list, COL_PERIOD, "2");
    edit(list, COL_ENABLED, nullptr);
    the_app.poll.ops.start(&the_app);
    gtk_button_clicked(GTK_BUTTON(named(sender, "sender-start")));

    // The adapter sends a frame every millisecond or so, each with its
    // own millisecond stamp, while the sender sends every 2 ms.
    const int received = 1500;
    std::atomic<bool> done{false};
    std::thread traffic([&] {
        char line[64];
        for (int i = 0; i < received; i++) {
            snprintf(line, sizeof line, "t2A18%016X%04X\r", i, i % 60000);
            adapter.send(line);
            std::this_thread::sleep_for(std::chrono::microseconds(700));
        }
        done = true;
    });
    EXPECT_TRUE(nbtest::wait_until([&] { return done.load(); }, 30000));
    traffic.join();
    gtk_button_clicked(GTK_BUTTON(named(sender, "sender-stop")));
    // Everything reaches the file: the received frames and every frame the
    // sender counts as sent.
    GtkWidget *frames = named(logger, "logger-frames");
    long long sent = 0;
    EXPECT_TRUE(nbtest::wait_until([&] {
        sent = atoll(cell(list, 0, COL_SENT).c_str());
        return sent > 0 && number_in(frames, "Frames written: ") == received + sent;
    }, 10000)) << gtk_label_get_text(GTK_LABEL(frames)) << ", sent " << sent;
    gtk_button_clicked(GTK_BUTTON(named(logger, "logger-stop")));
    the_app.poll.ops.stop(&the_app);

    const char *argv[] = {"/usr/bin/python3", LG_READ_LOG, "log", path.c_str(), nullptr};
    gchar *out = nullptr;
    gint status = 0;
    ASSERT_TRUE(g_spawn_sync(nullptr, (gchar **)argv, nullptr, G_SPAWN_DEFAULT, nullptr, nullptr,
                             &out, nullptr, &status, nullptr));
    std::istringstream in(out ? out : "");
    g_free(out);
    std::string line;
    long long rx = 0, tx = 0, back = 0;
    double last = 0;
    int next_rx = 0;
    while (std::getline(in, line)) {
        double t = g_ascii_strtod(line.c_str() + line.rfind(' ') + 1, nullptr);
        if (t < last)
            back++;
        last = t;
        if (line.find(" rx ") != std::string::npos) {
            // The received frames, all of them, in the order they came.
            char want[32];
            snprintf(want, sizeof want, "S 2A1 D 8 %016X", next_rx++);
            EXPECT_EQ(line.rfind(want, 0), 0u) << line;
            rx++;
        } else {
            EXPECT_EQ(line.rfind("S 123 D 2 1122 tx", 0), 0u) << line;
            tx++;
        }
    }
    EXPECT_EQ(rx, received);
    EXPECT_EQ(tx, sent);
    EXPECT_EQ(back, 0) << "lines whose time steps back";

    the_app.pgmgr.ops.pgmgr_release_all(&the_app.pgmgr);
    gtk_widget_destroy(window);
    the_app.gui.notebook = nullptr;
    nbtest::pump();
    the_app.chan.ops.close(&the_app.chan);
}

}  // namespace
