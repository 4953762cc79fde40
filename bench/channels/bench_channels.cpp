// Channels benchmark: four saturated simulated buses (two classic at
// 1 Mbit/s with 8-byte frames, two CAN FD at 500 kbit/s / 2 Mbit/s with
// 64-byte frames) in one window: the main channel and three added ones,
// read by the real poll tick every 20 ms into the stream, which a stream
// plug-in takes. Beside it, in the same run, zelkctl dump reads the same
// four buses through the other channel of each board (two processes:
// dump takes one bit rate). The program's GUI is not involved: only the
// host's part (poller, stream, plug-in manager) is measured.
//
//   bench_channels [seconds [plug-in.so]]     default 5 s, the stream sink
//
// With a plug-in (e.g. stage/busview.so, run under scripts/with-xvfb.sh)
// that plug-in takes the stream too, its page shown in a window; the sink
// still counts.
//
// Prints frames per second and CPU per frame of both, their ratio, the
// poll tick's time (median, 99th percentile, longest) and what was lost
// (the library's overruns on the program's channels; the stream's frames
// against the dump's per bus; times that went back in the stream).
#include <dlfcn.h>
#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include <glib.h>

#include "app/nb_app.h"
#include "bench_cpu.h"

namespace {

constexpr int SEC_DEFAULT = 5;

void no_indicators(const zk_errs *) {}
void no_app(nb_app *) {}
void no_stopped(nb_app *, int32_t) {}

std::vector<double> g_tick_us;
bool g_measuring = false;

gboolean timed_tick(gpointer)
{
    const int64_t t0 = g_get_monotonic_time();
    poll_tick(&the_app);
    if (g_measuring)
        g_tick_us.push_back((double)(g_get_monotonic_time() - t0));
    return G_SOURCE_CONTINUE;
}

gboolean quit(gpointer loop)
{
    g_main_loop_quit(static_cast<GMainLoop *>(loop));
    return G_SOURCE_REMOVE;
}

void run_for(double seconds)
{
    GMainLoop *loop = g_main_loop_new(nullptr, FALSE);
    g_timeout_add((guint)(seconds * 1000), quit, loop);
    g_main_loop_run(loop);
    g_main_loop_unref(loop);
}

pid_t spawn_dump(const std::string &out, std::vector<const char *> args)
{
    pid_t pid = fork();
    if (pid == 0) {
        FILE *f = freopen(out.c_str(), "w", stdout);
        if (!f)
            _exit(127);
        std::vector<char *> argv;
        argv.push_back(const_cast<char *>(BENCH_ZELKCTL));
        argv.push_back(const_cast<char *>("dump"));
        for (const char *a : args)
            argv.push_back(const_cast<char *>(a));
        argv.push_back(nullptr);
        execv(BENCH_ZELKCTL, argv.data());
        _exit(127);
    }
    return pid;
}

double proc_cpu_s(pid_t pid)
{
    std::ifstream f("/proc/" + std::to_string(pid) + "/stat");
    std::string s((std::istreambuf_iterator<char>(f)), std::istreambuf_iterator<char>());
    size_t p = s.rfind(')');
    if (p == std::string::npos)
        return 0;
    std::vector<std::string> fields;
    size_t i = p + 2;
    while (i < s.size()) {
        size_t j = s.find(' ', i);
        fields.push_back(s.substr(i, j - i));
        if (j == std::string::npos)
            break;
        i = j + 1;
    }
    // utime and stime are fields 14 and 15; fields[0] is field 3.
    if (fields.size() < 13)
        return 0;
    return (atof(fields[11].c_str()) + atof(fields[12].c_str())) / (double)sysconf(_SC_CLK_TCK);
}

// Lines of a dump's output naming channel "chN".
void count_lines(const std::string &path, uint64_t per_chan[8])
{
    std::ifstream f(path);
    std::string line;
    for (int i = 0; i < 8; i++)
        per_chan[i] = 0;
    while (std::getline(f, line)) {
        size_t p = line.find(") ch");
        if (p == std::string::npos)
            continue;
        int n = atoi(line.c_str() + p + 4);
        if (n >= 0 && n < 8)
            per_chan[n]++;
    }
}

double pct(std::vector<double> v, double q)
{
    if (v.empty())
        return 0;
    std::sort(v.begin(), v.end());
    size_t i = (size_t)(q * (double)(v.size() - 1));
    return v[i];
}

}  // namespace

int main(int argc, char **argv)
{
    const double secs = argc > 1 && atof(argv[1]) > 0 ? atof(argv[1]) : SEC_DEFAULT;
    const char *plugin = argc > 2 ? argv[2] : nullptr;
    if (plugin && !gtk_init_check(&argc, &argv)) {
        fprintf(stderr, "a plug-in's page needs a display\n");
        return 1;
    }
    gchar *tmp = g_dir_make_tmp("nbchan-XXXXXX", nullptr);
    if (!tmp)
        return 1;
    const std::string dir = tmp;
    g_free(tmp);
    const std::string locks = dir + "/zelk";
    std::filesystem::create_directories(locks);
    setenv("ZELK_LOCK_DIR", locks.c_str(), 1);
    // Each board: the program takes its first channel, zelkctl the second.
    setenv("ZELK_BOARDS",
           "0=sim:channels=2,rate=1000,traffic=full,len=8,txq=64;"
           "1=sim:channels=2,rate=1000,traffic=full,len=8,txq=64;"
           "2=sim:channels=2,rate=500,drate=2000,traffic=full-fd,len=64,txq=64;"
           "3=sim:channels=2,rate=500,drate=2000,traffic=full-fd,len=64,txq=64",
           1);
    if (ZkInit() < 0) {
        fprintf(stderr, "ZkInit failed\n");
        return 1;
    }
    app_init();
    the_app.gui.ops.update_error_indicators = no_indicators;
    the_app.gui.ops.stop_controller = no_app;
    the_app.gui.ops.controller_stopped = no_stopped;
    the_app.gui.ops.refresh_info_panel = no_app;
    nb_chan &main_chan = the_app.chan;
    main_chan.number = 0;
    main_chan.frame_format = ZK_OPEN_BOTH;
    main_chan.baud_index = 9;  // 1000 kbit/s
    if (main_chan.ops.open(&main_chan) < 0 || main_chan.ops.start(&main_chan) < 0) {
        fprintf(stderr, "cannot open channel 0\n");
        return 1;
    }
    nb_chan_settings s;
    chan_settings_default(&s);
    s.baud_index = 9;
    nb_chan_settings fd = s;
    fd.baud_index = 7;  // 500 kbit/s
    fd.fd = NB_FD_ISO;
    fd.data_kbit = 2000;
    const struct {
        uint8_t number;
        const nb_chan_settings *set;
    } added[] = {{2, &s}, {4, &fd}, {6, &fd}};
    for (const auto &a : added) {
        int32_t index = 0;
        if (chanset_add(&the_app, a.number, a.set, &index, nullptr) < 0 ||
            chanset_at(&the_app, index)->ops.start(chanset_at(&the_app, index)) < 0) {
            fprintf(stderr, "cannot add channel %u\n", a.number);
            return 1;
        }
    }
    nb_pgmgr *mgr = &the_app.pgmgr;
    std::string sink = dir + "/sink.so";
    std::filesystem::copy_file(BENCH_SINK, sink);
    nb_plugin *e = mgr->ops.pgmgr_add(mgr, sink.c_str(), sink.size() + 1);
    if (!e || pgmgr_load(&the_app, e) != 0) {
        fprintf(stderr, "cannot load the sink\n");
        return 1;
    }
    nb_plugin *sink_entry = e;
    if (plugin) {
        e = mgr->ops.pgmgr_add(mgr, plugin, strlen(plugin) + 1);
        if (!e || pgmgr_load(&the_app, e) != 0) {
            fprintf(stderr, "cannot load %s\n", plugin);
            return 1;
        }
    }
    if (plugin && e->page) {
        GtkWidget *win = gtk_window_new(GTK_WINDOW_TOPLEVEL);
        gtk_window_set_default_size(GTK_WINDOW(win), 1000, 650);
        gtk_container_add(GTK_CONTAINER(win), e->page);
        gtk_widget_show_all(win);
    }
    const uint64_t *frames = static_cast<const uint64_t *>(dlsym(sink_entry->module, "bench_frames"));
    const uint64_t *back = static_cast<const uint64_t *>(dlsym(sink_entry->module, "bench_back"));

    const std::string total = std::to_string((int)secs + 5);
    const std::string out_c = dir + "/classic.txt", out_f = dir + "/fd.txt";
    pid_t dump_c = spawn_dump(out_c, {"1", "3", "--rate", "1000", "--classic", "--seconds",
                                      total.c_str()});
    pid_t dump_f = spawn_dump(out_f, {"5", "7", "--rate", "500", "--drate", "2000", "--seconds",
                                      total.c_str()});

    the_app.poll.stopped = 0;
    g_timeout_add_full(150, 20, timed_tick, nullptr, nullptr);
    run_for(1.0);  // the dumps open their channels; the buses fill

    uint64_t d0[8], d1[8], f0[4], f1[4];
    count_lines(out_c, d0);
    uint64_t tmpc[8];
    count_lines(out_f, tmpc);
    for (int i = 0; i < 8; i++)
        d0[i] += tmpc[i];
    for (int i = 0; i < 4; i++)
        f0[i] = frames[i];
    const double c0 = cpu_seconds(), dc0 = proc_cpu_s(dump_c) + proc_cpu_s(dump_f);
    const int64_t w0 = g_get_monotonic_time();
    g_measuring = true;
    run_for(secs);
    g_measuring = false;
    const double wall = (double)(g_get_monotonic_time() - w0) / 1e6;
    const double c1 = cpu_seconds(), dc1 = proc_cpu_s(dump_c) + proc_cpu_s(dump_f);
    for (int i = 0; i < 4; i++)
        f1[i] = frames[i];
    count_lines(out_c, d1);
    count_lines(out_f, tmpc);
    for (int i = 0; i < 8; i++)
        d1[i] += tmpc[i];
    kill(dump_c, SIGINT);
    kill(dump_f, SIGINT);
    waitpid(dump_c, nullptr, 0);
    waitpid(dump_f, nullptr, 0);

    uint64_t ours = 0, theirs = 0;
    for (int i = 0; i < 4; i++)
        ours += f1[i] - f0[i];
    for (int i = 0; i < 8; i++)
        theirs += d1[i] - d0[i];
    uint64_t overruns = 0;
    for (int32_t i = 0; i < the_app.chans.count; i++) {
        nb_chan *ch = the_app.chans.at[i];
        zk_chipstat st;
        zk_chipstat_text text;
        if (ch->ops.chip_stat(ch, &st, &text) >= 0)
            overruns += st.hovr + st.sovr;
    }
    const double ours_cpu = c1 - c0, dump_cpu = dc1 - dc0;
    printf("channels: 4 saturated simulated buses (2 x classic 1 Mbit/s 8 bytes, "
           "2 x FD 500k/2M 64 bytes), %.1f s\n", wall);
    printf("%-28s %12s %8s %14s\n", "reader", "frames/s", "CPU %", "CPU us/frame");
    printf("%-28s %12.0f %8.1f %14.3f\n", "host poll tick + stream", (double)ours / wall,
           100 * ours_cpu / wall, ours ? 1e6 * ours_cpu / (double)ours : 0);
    printf("%-28s %12.0f %8.1f %14.3f\n", "zelkctl dump (2 processes)", (double)theirs / wall,
           100 * dump_cpu / wall, theirs ? 1e6 * dump_cpu / (double)theirs : 0);
    if (ours && theirs && dump_cpu > 0)
        printf("ratio CPU/frame host : dump = %.2f\n",
               (ours_cpu / (double)ours) / (dump_cpu / (double)theirs));
    printf("poll tick: %zu ticks, median %.0f us, p99 %.0f us, longest %.0f us\n",
           g_tick_us.size(), pct(g_tick_us, 0.5), pct(g_tick_us, 0.99), pct(g_tick_us, 1.0));
    printf("per bus, stream vs dump frames: ");
    const int dump_of[4] = {1, 3, 5, 7};
    for (int i = 0; i < 4; i++)
        printf("%s%llu/%llu", i ? ", " : "", (unsigned long long)(f1[i] - f0[i]),
               (unsigned long long)(d1[dump_of[i]] - d0[dump_of[i]]));
    printf("\nlost: %llu overruns on the program's channels; %llu times went back in the stream\n",
           (unsigned long long)overruns, (unsigned long long)*back);

    mgr->ops.pgmgr_release_all(mgr);
    chanset_remove_all(&the_app);
    main_chan.ops.close(&main_chan);
    std::filesystem::remove_all(dir);
    return 0;
}
