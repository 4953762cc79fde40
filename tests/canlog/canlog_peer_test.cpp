// The log library against independent peers: python-can writes candump,
// ASC and BLF files of random traffic and we must read exactly the frames
// python-can reads from them; python-can and can-utils' log2asc must read
// exactly the frames we wrote.
#include <gtest/gtest.h>
#include <glib.h>
#include <stdlib.h>

#include <random>
#include <sstream>
#include <string>
#include <vector>

#include "canlog.h"
#include "test_env.h"

namespace {

// Runs a command; its standard output, or "" with *ok false on failure.
std::string run(const std::vector<std::string> &args, bool *ok)
{
    std::vector<gchar *> argv;
    for (const std::string &a : args)
        argv.push_back(const_cast<gchar *>(a.c_str()));
    argv.push_back(nullptr);
    gchar *out = nullptr, *err = nullptr;
    gint status = 0;
    *ok = g_spawn_sync(nullptr, argv.data(), nullptr, G_SPAWN_SEARCH_PATH, nullptr, nullptr,
                       &out, &err, &status, nullptr) &&
          g_spawn_check_wait_status(status, nullptr);
    std::string s = out ? out : "";
    if (!*ok)
        ADD_FAILURE() << args[0] << " " << args[1] << " failed: " << (err ? err : "");
    g_free(out);
    g_free(err);
    return s;
}

std::vector<std::string> lines_of(const std::string &text)
{
    std::vector<std::string> v;
    std::istringstream in(text);
    std::string l;
    while (std::getline(in, l))
        v.push_back(l);
    return v;
}

// A frame in peer.py's words; times in whole microseconds, rounded.
std::string describe(const cl_frame &f, int64_t t_us)
{
    char buf[128];
    if (f.flags & CL_ERR) {
        snprintf(buf, sizeof buf, "ERR %lld", (long long)t_us);
        return buf;
    }
    std::string data;
    char hex[4];
    for (int i = 0; i < f.len && !(f.flags & CL_RTR); i++) {
        snprintf(hex, sizeof hex, "%02X", f.data[i]);
        data += hex;
    }
    snprintf(buf, sizeof buf, "%s %X %s %d %s %s %u %lld", (f.flags & CL_EXT) ? "E" : "S", f.id,
             (f.flags & CL_RTR) ? "R" : "D", f.len, data.empty() ? "-" : data.c_str(),
             (f.flags & CL_TX) ? "tx" : "rx", f.chan, (long long)t_us);
    return buf;
}

int64_t us_of(int64_t ns)
{
    return (ns + 500) / 1000;
}

struct Ours {
    std::vector<std::string> lines;
    cl_stats st{};
};

Ours read_ours(const std::string &path)
{
    Ours o;
    int err = 0;
    cl_reader *r = cl_open(path.c_str(), CL_FMT_AUTO, &err);
    EXPECT_NE(nullptr, r) << path << ": " << g_strerror(err);
    if (!r)
        return o;
    cl_frame f;
    while (cl_next(r, &f) == 1)
        o.lines.push_back(describe(f, us_of(f.t_ns)));
    o.st = *cl_reader_stats(r);
    cl_close(r);
    return o;
}

// The description without its time, and the time.
std::string head(const std::string &l)
{
    return l.substr(0, l.rfind(' '));
}
long long when(const std::string &l)
{
    return atoll(l.c_str() + l.rfind(' ') + 1);
}

void expect_same(const std::vector<std::string> &want, const std::vector<std::string> &got,
                 const std::string &what)
{
    ASSERT_EQ(want.size(), got.size()) << what;
    int shown = 0;
    for (size_t i = 0; i < want.size() && shown < 5; i++) {
        // A peer that prints float seconds may be off by a rounding step.
        bool same = head(want[i]) == head(got[i]) && llabs(when(want[i]) - when(got[i])) <= 1;
        if (!same) {
            ADD_FAILURE() << what << " frame " << i << ": want " << want[i] << ", got " << got[i];
            shown++;
        }
    }
}

TEST(CanlogPeers, FilesWrittenByPythonCanReadBackAsPythonCanReadsThem)
{
    std::string dir = nbtest::make_temp_dir("peer");
    bool ok = false;
    // 30,000 frames: the candump file is larger than the reader's buffer
    // and the BLF objects run across several log containers.
    run({"/usr/bin/python3", CL_PEER_PY, "write", dir, "15", "30000"}, &ok);
    ASSERT_TRUE(ok);
    for (const char *ext : {"log", "asc", "blf"}) {
        std::string path = dir + "/peer." + ext;
        std::vector<std::string> want =
            lines_of(run({"/usr/bin/python3", CL_PEER_PY, "read", path}, &ok));
        ASSERT_TRUE(ok);
        ASSERT_EQ(30000u, want.size()) << ext;
        Ours o = read_ours(path);
        EXPECT_EQ(0u, o.st.bad) << ext << ": " << o.st.first_bad;
        expect_same(want, o.lines, ext);
    }
}

std::vector<cl_frame> random_frames(int n)
{
    std::mt19937 rnd(7);
    std::vector<cl_frame> v;
    int64_t t = 1700000000123456000LL;
    for (int i = 0; i < n; i++) {
        cl_frame f{};
        t += (int64_t)(rnd() % 20000) * 1000;  // whole microseconds
        f.t_ns = t;
        f.chan = (uint16_t)(rnd() % 3);
        unsigned kind = rnd() % 100;
        if (kind < 3) {
            f.flags = CL_ERR;
            f.id = CL_CAN_ERR_BUSERROR;
        } else {
            bool ext = rnd() % 2;
            f.flags = (uint8_t)((ext ? CL_EXT : 0) | (rnd() % 3 == 0 ? CL_TX : 0) |
                                (kind < 10 ? CL_RTR : 0));
            f.id = ext ? rnd() % 0x20000000u : rnd() % 0x800u;
            f.len = (uint8_t)(rnd() % 9);
            for (int j = 0; j < f.len && !(f.flags & CL_RTR); j++)
                f.data[j] = (uint8_t)rnd();
        }
        v.push_back(f);
    }
    return v;
}

TEST(CanlogPeers, FilesWeWriteReadBackInPythonCanAndCanUtils)
{
    std::string dir = nbtest::make_temp_dir("ours");
    std::vector<cl_frame> frames = random_frames(5000);
    for (int format : {CL_FMT_CANDUMP, CL_FMT_ASC, CL_FMT_BLF}) {
        std::string path = dir + "/ours" + (format == CL_FMT_CANDUMP ? ".log"
                                            : format == CL_FMT_ASC   ? ".asc"
                                                                     : ".blf");
        cl_writer w;
        ASSERT_EQ(0, cl_writer_open(&w, path.c_str(), format, 1));
        for (size_t i = 0; i < frames.size(); i++) {
            ASSERT_EQ(0, cl_write(&w, &frames[i]));
            if (i % 1000 == 999) {
                ASSERT_EQ(0, cl_writer_flush(&w));  // containers of every size
            }
        }
        ASSERT_EQ(0, cl_writer_close(&w));

        std::vector<std::string> want;
        for (const cl_frame &f : frames)
            want.push_back(describe(f, f.t_ns / 1000));
        bool ok = false;
        expect_same(want, lines_of(run({"/usr/bin/python3", CL_PEER_PY, "read", path}, &ok)),
                    path);
        Ours o = read_ours(path);
        EXPECT_EQ(0u, o.st.bad) << o.st.first_bad;
        expect_same(want, o.lines, path + " (ours)");
    }

    // can-utils turns our candump log into ASC (channels by interface,
    // times from the first frame); we read that back.
    std::string asc = dir + "/log2asc.asc";
    bool ok = false;
    run({"log2asc", "-I", dir + "/ours.log", "-O", asc, "can0", "can1", "can2"}, &ok);
    ASSERT_TRUE(ok);
    Ours o = read_ours(asc);
    EXPECT_EQ(0u, o.st.bad) << o.st.first_bad;
    std::vector<std::string> want, got;
    int64_t t0 = frames[0].t_ns / 1000;
    for (const cl_frame &f : frames)
        want.push_back(describe(f, f.t_ns / 1000 - t0));
    for (const std::string &l : o.lines)
        got.push_back(head(l) + " " + std::to_string(when(l) - when(o.lines[0])));
    expect_same(want, got, "log2asc");
}

}  // namespace
