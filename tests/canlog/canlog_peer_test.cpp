// The log library against independent peers: python-can writes candump,
// ASC and BLF files of random traffic and we must read exactly the frames
// python-can reads from them; python-can and can-utils' log2asc and
// asc2log must read exactly the frames we wrote.
#include <gtest/gtest.h>
#include <glib.h>
#include <signal.h>
#include <stdlib.h>
#include <string.h>
#include <sys/resource.h>
#include <zlib.h>

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
    std::string data, kind = (f.flags & CL_RTR) ? "R" : "D";
    if (f.flags & CL_FDF)
        kind = std::string("F") + ((f.flags & CL_BRS) ? "b" : "") + ((f.flags & CL_ESI) ? "e" : "");
    char hex[4];
    for (int i = 0; i < f.len && !(f.flags & CL_RTR); i++) {
        snprintf(hex, sizeof hex, "%02X", f.data[i]);
        data += hex;
    }
    char head[64];
    snprintf(head, sizeof head, "%s %X %s %d ", (f.flags & CL_EXT) ? "E" : "S", f.id, kind.c_str(),
             f.len);
    snprintf(buf, sizeof buf, " %s %u %lld",
             (f.flags & CL_TX) ? "tx" : "rx", f.chan, (long long)t_us);
    return head + (data.empty() ? std::string("-") : data) + buf;
}

int64_t us_of(int64_t ns)
{
    return (ns + 500) / 1000;
}

struct Ours {
    std::vector<std::string> lines;
    cl_stats st{};
};

Ours read_ours(const std::string &path, bool fd = false)
{
    Ours o;
    int err = 0;
    cl_reader *r = cl_open(path.c_str(), CL_FMT_AUTO, &err);
    EXPECT_NE(nullptr, r) << path << ": " << g_strerror(err);
    if (!r)
        return o;
    cl_set_fd(r, fd);
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

// python-can writes 30,000 frames on three channels, given as numbers or
// interface names (the candump file is larger than the reader's buffer and
// the BLF objects run across several log containers), and we read what it
// reads: in every format the channel the candump file names. With CAN FD
// traffic, a reader that did not ask for FD frames reads the classic ones
// alone and counts the others.
void read_python_files(bool fd)
{
    SCOPED_TRACE(fd ? "CAN FD" : "classic");
    std::string dir = nbtest::make_temp_dir(fd ? "peerfd" : "peer");
    bool ok = false;
    run({"/usr/bin/python3", CL_PEER_PY, fd ? "write-fd" : "write", dir, fd ? "16" : "15", "30000"},
        &ok);
    ASSERT_TRUE(ok);
    std::vector<std::string> named;  // of the candump file, which names each channel as written
    for (const char *ext : {"log", "asc", "blf"}) {
        std::string path = dir + "/peer." + ext;
        std::vector<std::string> want =
            lines_of(run({"/usr/bin/python3", CL_PEER_PY, "read", path}, &ok));
        ASSERT_TRUE(ok);
        ASSERT_EQ(30000u, want.size()) << ext;
        Ours o = read_ours(path, fd);
        EXPECT_EQ(0u, o.st.bad) << ext << ": " << o.st.first_bad;
        expect_same(want, o.lines, ext);
        // python-can writes an ASC error frame on its default channel, and a
        // candump remote frame without its length ("#R").
        std::vector<std::string> heads;
        for (const std::string &l : o.lines) {
            if (l.compare(0, 4, "ERR ") == 0)
                continue;
            std::string h = head(l);
            size_t r = h.find(" R ");
            if (r != std::string::npos)
                h.erase(r + 3, h.find(' ', r + 3) - (r + 3));
            heads.push_back(h);
        }
        if (named.empty())
            named = heads;
        else
            EXPECT_TRUE(named == heads) << ext << ": frames or channels differ from the candump file's";
        if (!fd)
            continue;

        std::vector<std::string> classic;
        for (const std::string &l : want) {
            std::string ext, id, kind;
            std::istringstream(l) >> ext >> id >> kind;
            if (kind[0] != 'F')
                classic.push_back(l);
        }
        o = read_ours(path, false);
        EXPECT_EQ(want.size() - classic.size(), o.st.skipped_fd) << ext;
        EXPECT_GT(o.st.skipped_fd, 10000u) << ext;
        expect_same(classic, o.lines, std::string(ext) + " (classic)");
    }
}

TEST(CanlogPeers, FilesWrittenByPythonCanReadBackAsPythonCanReadsThem)
{
    read_python_files(false);
    read_python_files(true);
}

std::vector<cl_frame> random_frames(int n, bool fd = false)
{
    static const uint8_t FD_LEN[] = {0, 1, 7, 8, 12, 16, 20, 24, 32, 48, 64};
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
            if (fd && kind >= 10 && rnd() % 2) {
                f.flags |= (uint8_t)(CL_FDF | (rnd() % 2 ? CL_BRS : 0) | (rnd() % 5 ? 0 : CL_ESI));
                f.len = FD_LEN[rnd() % sizeof FD_LEN];
            }
            for (int j = 0; j < f.len && !(f.flags & CL_RTR); j++)
                f.data[j] = (uint8_t)rnd();
        }
        v.push_back(f);
    }
    return v;
}

void write_and_read_back(bool fd)
{
    SCOPED_TRACE(fd ? "CAN FD" : "classic");
    std::string dir = nbtest::make_temp_dir(fd ? "oursfd" : "ours");
    std::vector<cl_frame> frames = random_frames(5000, fd);
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
        Ours o = read_ours(path, fd);
        EXPECT_EQ(0u, o.st.bad) << o.st.first_bad;
        expect_same(want, o.lines, path + " (ours)");
    }

    // can-utils turns our candump log into ASC and our ASC file into a
    // candump log (channels by interface name, times as written); we read
    // both back, FD lines included, times counted from the first frame.
    std::vector<std::string> want;
    const int64_t t0 = frames[0].t_ns / 1000;
    for (const cl_frame &f : frames)
        want.push_back(describe(f, f.t_ns / 1000 - t0));
    const std::string asc = dir + "/log2asc.asc", log = dir + "/asc2log.log";
    for (const auto &conv : {std::vector<std::string>{"log2asc", "-I", dir + "/ours.log", "-O",
                                                      asc, "can0", "can1", "can2"},
                             std::vector<std::string>{"asc2log", "-I", dir + "/ours.asc", "-O",
                                                      log}}) {
        bool ok = false;
        run(conv, &ok);
        ASSERT_TRUE(ok);
        Ours o = read_ours(conv[0] == "log2asc" ? asc : log, fd);
        EXPECT_EQ(0u, o.st.bad) << conv[0] << ": " << o.st.first_bad;
        std::vector<std::string> got;
        for (const std::string &l : o.lines)
            got.push_back(head(l) + " " + std::to_string(when(l) - when(o.lines[0])));
        expect_same(want, got, conv[0]);
    }
}

TEST(CanlogPeers, FilesWeWriteReadBackInPythonCanAndCanUtils)
{
    write_and_read_back(false);
    write_and_read_back(true);
}

// Times counted from the first line's.
std::vector<std::string> relative(const std::vector<std::string> &v)
{
    std::vector<std::string> out;
    for (const std::string &l : v)
        out.push_back(head(l) + " " + std::to_string(when(l) - when(v[0])));
    return out;
}

// TRC: python-can writes versions 1.0 and 2.1 of random traffic on three
// channels and we read what it reads (it reads offsets, we add 2.1's start
// time); it reads the data frames of a 2.1 file we write (it knows no
// other types) and we read all of it back, CAN FD included.
TEST(CanlogPeers, TrcFilesBothWays)
{
    std::string dir = nbtest::make_temp_dir("trcpeer");
    bool ok = false;
    run({"/usr/bin/python3", CL_PEER_PY, "write-trc", dir, "17", "4000"}, &ok);
    ASSERT_TRUE(ok);
    for (const char *name : {"peer10.trc", "peer21.trc"}) {
        std::string path = dir + "/" + name;
        std::vector<std::string> want =
            lines_of(run({"/usr/bin/python3", CL_PEER_PY, "read", path}, &ok));
        ASSERT_TRUE(ok);
        ASSERT_GT(want.size(), 3500u) << name;
        Ours o = read_ours(path);
        EXPECT_EQ(0u, o.st.bad) << name << ": " << o.st.first_bad;
        ASSERT_FALSE(o.lines.empty());
        expect_same(relative(want), relative(o.lines), name);
    }

    for (bool fd : {false, true}) {
        std::vector<cl_frame> frames = random_frames(5000, fd);
        std::string path = dir + (fd ? "/oursfd.trc" : "/ours.trc");
        cl_writer w;
        ASSERT_EQ(0, cl_writer_open(&w, path.c_str(), CL_FMT_TRC, 1));
        for (const cl_frame &f : frames)
            ASSERT_EQ(0, cl_write(&w, &f));
        ASSERT_EQ(0, cl_writer_close(&w));
        std::vector<std::string> all, data;
        for (const cl_frame &f : frames) {
            all.push_back(describe(f, f.t_ns / 1000));
            if (!(f.flags & (CL_ERR | CL_RTR | CL_FDF)))
                data.push_back(all.back());
        }
        Ours o = read_ours(path, true);
        EXPECT_EQ(0u, o.st.bad) << o.st.first_bad;
        expect_same(all, o.lines, path + " (ours)");
        if (!fd)
            expect_same(relative(data),
                        relative(lines_of(run({"/usr/bin/python3", CL_PEER_PY, "read", path}, &ok))),
                        path);
    }
}

// A write that fails part-way (the disk is full; here a file size limit
// does it) leaves a file that every reader reads to its last whole frame,
// and the writer's count of what the file holds is what they read.
TEST(CanlogPeers, AFullDiskLeavesWholeFramesAndTheirCount)
{
    std::string dir = nbtest::make_temp_dir("full");
    std::vector<cl_frame> frames = random_frames(20000);
    struct rlimit old;
    ASSERT_EQ(0, getrlimit(RLIMIT_FSIZE, &old));
    signal(SIGXFSZ, SIG_IGN);
    for (int format : {CL_FMT_CANDUMP, CL_FMT_ASC, CL_FMT_BLF}) {
        std::string path = dir + "/full" + (format == CL_FMT_CANDUMP ? ".log"
                                            : format == CL_FMT_ASC   ? ".asc"
                                                                     : ".blf");
        cl_writer w;
        ASSERT_EQ(0, cl_writer_open(&w, path.c_str(), format, 1));
        struct rlimit small = old;
        small.rlim_cur = 200000 + 12345;  // within a line, or a container
        ASSERT_EQ(0, setrlimit(RLIMIT_FSIZE, &small));
        int err = 0;
        for (size_t i = 0; i < frames.size() && !err; i++) {
            err = cl_write(&w, &frames[i]);
            if (!err && i % 3000 == 2999)
                err = cl_writer_flush(&w);
        }
        if (!err)
            err = cl_writer_flush(&w);
        int closed = cl_writer_close(&w);
        setrlimit(RLIMIT_FSIZE, &old);
        EXPECT_EQ(EFBIG, err) << path;
        EXPECT_EQ(EFBIG, closed) << path;
        const uint64_t held = w.on_disk.frames + w.on_disk.error_frames;
        EXPECT_GT(held, 1000u) << path;
        EXPECT_LT(held, frames.size()) << path;

        std::vector<std::string> want;
        for (size_t i = 0; i < held; i++)
            want.push_back(describe(frames[i], frames[i].t_ns / 1000));
        bool ok = false;
        expect_same(want, lines_of(run({"/usr/bin/python3", CL_PEER_PY, "read", path}, &ok)),
                    path);
        Ours o = read_ours(path);
        EXPECT_EQ(0u, o.st.bad) << path << ": " << o.st.first_bad;
        expect_same(want, o.lines, path + " (ours)");
    }
}

// A BLF file of stored or zlib containers of 20 CAN frames each, frame k
// with identifier k, to be damaged by the tests.
struct Blf {
    std::string bytes;
    std::vector<size_t> containers;  // offsets
};

void put32(std::string &b, size_t at, uint32_t v)
{
    memcpy(&b[at], &v, 4);
}

// A log container of objs, stored or zlib, with its padding.
std::string container(const std::string &objs, bool zlib)
{
    std::string data = objs;
    if (zlib) {
        uLongf n = compressBound(objs.size());
        data.assign(n, '\0');
        compress2((Bytef *)&data[0], &n, (const Bytef *)objs.data(), objs.size(), 6);
        data.resize(n);
    }
    std::string h(32, '\0');
    memcpy(&h[0], "LOBJ", 4);
    uint16_t hs = 16, ver = 1, method = zlib ? 2 : 0;
    memcpy(&h[4], &hs, 2);
    memcpy(&h[6], &ver, 2);
    put32(h, 8, (uint32_t)(32 + data.size()));
    put32(h, 12, 10);
    memcpy(&h[16], &method, 2);
    put32(h, 24, (uint32_t)objs.size());
    return h + data + std::string((32 + data.size()) % 4, '\0');
}

Blf build_blf(int containers, bool zlib)
{
    Blf f;
    f.bytes.assign(144, '\0');
    memcpy(&f.bytes[0], "LOGG", 4);
    put32(f.bytes, 4, 144);
    const uint16_t start[8] = {2024, 3, 0, 5, 12, 0, 0, 0};
    memcpy(&f.bytes[40], start, 16);
    int id = 0;
    for (int c = 0; c < containers; c++) {
        std::string objs;
        for (int k = 0; k < 20; k++, id++) {
            std::string o(48, '\0');
            memcpy(&o[0], "LOBJ", 4);
            uint16_t hs = 32, ver = 1;
            memcpy(&o[4], &hs, 2);
            memcpy(&o[6], &ver, 2);
            put32(o, 8, 48);
            put32(o, 12, 1);   // CAN message
            put32(o, 16, 2);   // nanoseconds
            uint64_t t = (uint64_t)id * 1000000;
            memcpy(&o[24], &t, 8);
            o[32] = 1;         // channel 1
            o[35] = 1;         // one data byte
            put32(o, 36, (uint32_t)id);
            o[40] = (char)id;
            objs += o;
        }
        f.containers.push_back(f.bytes.size());
        f.bytes += container(objs, zlib);
    }
    return f;
}

// Objects of type 101 (python-can reads them, writes none): FD frames of
// every length code with BRS and ESI, and classic ones, data and remote.
TEST(CanlogPeers, BlfFd64ObjectsReadAsPythonCanReadsThem)
{
    std::string objs;
    for (uint32_t k = 0; k < 40; k++) {
        bool fd = k % 5 != 4, rtr = !fd && k % 2;
        uint8_t dlc = (uint8_t)(fd ? k % 16 : k % 9);
        uint8_t len = fd ? (uint8_t)(dlc <= 8 ? dlc : dlc == 9 ? 12 : dlc == 10 ? 16 : dlc == 11 ? 20
                                                 : dlc == 12 ? 24 : dlc == 13 ? 32 : dlc == 14 ? 48 : 64)
                         : rtr ? 0 : (uint8_t)(dlc > 8 ? 8 : dlc);
        std::string o(32 + 40 + len, '\0');
        memcpy(&o[0], "LOBJ", 4);
        uint16_t hs = 32, ver = 1;
        memcpy(&o[4], &hs, 2);
        memcpy(&o[6], &ver, 2);
        put32(o, 8, (uint32_t)o.size());
        put32(o, 12, 101);
        put32(o, 16, 2);  // nanoseconds
        uint64_t t = (uint64_t)k * 1500000;
        memcpy(&o[24], &t, 8);
        o[32] = (char)(1 + k % 2);  // channel
        o[33] = (char)dlc;
        o[34] = (char)len;          // valid data bytes
        put32(o, 36, k % 3 ? 0x100 + k : 0x80000000u | (0x1234500 + k));
        put32(o, 44, (fd ? 0x1000u : 0) | (rtr ? 0x10u : 0) | (k & 1 ? 0x2000u : 0) |
                         (k & 2 ? 0x4000u : 0));
        o[32 + 34] = (char)(k % 4 == 0);  // direction: Tx
        for (int j = 0; j < len; j++)
            o[72 + j] = (char)(k * 7 + j);
        objs += o + std::string(o.size() % 4, '\0');
    }
    std::string f(144, '\0');
    memcpy(&f[0], "LOGG", 4);
    put32(f, 4, 144);
    const uint16_t start[8] = {2024, 3, 0, 5, 12, 0, 0, 0};
    memcpy(&f[40], start, 16);
    std::string h(32, '\0');
    memcpy(&h[0], "LOBJ", 4);
    uint16_t hs = 16, ver = 1;
    memcpy(&h[4], &hs, 2);
    memcpy(&h[6], &ver, 2);
    put32(h, 8, (uint32_t)(32 + objs.size()));
    put32(h, 12, 10);
    put32(h, 24, (uint32_t)objs.size());
    f += h + objs;

    std::string path = nbtest::make_temp_dir("blf101") + "/fd64.blf";
    ASSERT_TRUE(nbtest::write_file(path, f));
    bool ok = false;
    std::vector<std::string> want =
        lines_of(run({"/usr/bin/python3", CL_PEER_PY, "read", path}, &ok));
    ASSERT_EQ(40u, want.size());
    Ours o = read_ours(path, true);
    EXPECT_EQ(0u, o.st.bad) << o.st.first_bad;
    expect_same(want, o.lines, "type 101");
}

// What real loggers write: 64-byte FD objects holding fewer bytes than
// their valid count (those held are read, the rest zero; python-can 4.1
// takes the next object's bytes for them), containers naming an absurd
// unpacked size (their data is unpacked, as python-can does), and the
// date of a BLF file known on opening.
TEST(CanlogPeers, QuirksOfRealLoggersReadAsPythonCanReadsThem)
{
    const std::string dir = nbtest::make_temp_dir("quirks");
    bool ok = false;
    std::string objs;
    std::vector<std::string> held;   // per object: its data in hex, padded as we read it
    for (uint32_t k = 0; k < 12; k++) {
        const uint32_t have = k % 3 == 1 ? 10 : 64;
        std::string o(72 + have, '\0');
        memcpy(&o[0], "LOBJ", 4);
        const uint16_t hs = 32, ver = 1;
        memcpy(&o[4], &hs, 2);
        memcpy(&o[6], &ver, 2);
        put32(o, 8, (uint32_t)o.size());
        put32(o, 12, 101);
        put32(o, 16, 2);
        const uint64_t t = (uint64_t)k * 1000000;
        memcpy(&o[24], &t, 8);
        o[32] = 1;
        o[33] = 15;   // 64 bytes
        o[34] = 64;   // valid
        put32(o, 36, 0x100 + k);
        put32(o, 44, 0x1000);
        std::string hex;
        for (uint32_t j = 0; j < 64; j++) {
            if (j < have)
                o[72 + j] = (char)(k * 7 + j + 1);
            char b[4];
            snprintf(b, sizeof b, "%02X", j < have ? (uint8_t)(k * 7 + j + 1) : 0);
            hex += b;
        }
        held.push_back(hex);
        objs += o + std::string(o.size() % 4, '\0');
    }
    const std::string head = build_blf(0, false).bytes;
    std::string path = dir + "/fd64-short.blf";
    ASSERT_TRUE(nbtest::write_file(path, head + container(objs, false)));
    std::vector<std::string> want = lines_of(run({"/usr/bin/python3", CL_PEER_PY, "read", path}, &ok));
    Ours o = read_ours(path, true);
    EXPECT_EQ(0u, o.st.bad) << o.st.first_bad;
    ASSERT_EQ(12u, want.size());
    ASSERT_EQ(12u, o.lines.size());
    for (size_t k = 0; k < 12; k++) {
        std::istringstream in(want[k]);
        std::string e, id, kind, len, data, dir_, chan, t;
        in >> e >> id >> kind >> len >> data >> dir_ >> chan >> t;
        EXPECT_EQ(e + " " + id + " " + kind + " " + len + " " + held[k] + " " + dir_ + " " + chan + " " + t,
                  o.lines[k]);
        if (k % 3 != 1) {
            EXPECT_EQ(want[k], o.lines[k]);   // python-can reads the whole ones right
        }
    }

    // Unpacked sizes far above what a container holds, stored and zlib.
    for (bool zlib : {false, true}) {
        Blf f = build_blf(3, zlib);
        put32(f.bytes, f.containers[1] + 24, 64u << 20);
        path = dir + (zlib ? "/absurd-zlib.blf" : "/absurd-stored.blf");
        ASSERT_TRUE(nbtest::write_file(path, f.bytes));
        want = lines_of(run({"/usr/bin/python3", CL_PEER_PY, "read", path}, &ok));
        ASSERT_EQ(60u, want.size()) << path;
        o = read_ours(path);
        EXPECT_EQ(0u, o.st.bad) << path << ": " << o.st.first_bad;
        expect_same(want, o.lines, path);
    }

    // One whose data unpacks to more than a container may hold: its first
    // part is read (memory stays bounded) and reading goes on after it.
    {
        Blf f = build_blf(3, false);
        const size_t c1 = f.containers[1], c2 = f.containers[2];
        std::string objs = f.bytes.substr(c1 + 32, 20 * 48) + std::string(17u << 20, '\0');
        std::string big = container(objs, true);
        put32(big, 24, 64u << 20);
        const std::string p2 = dir + "/over.blf";
        ASSERT_TRUE(nbtest::write_file(p2, f.bytes.substr(0, c1) + big + f.bytes.substr(c2)));
        o = read_ours(p2);
        EXPECT_EQ(60u, o.lines.size());
        EXPECT_NE(nullptr, strstr(o.st.first_bad, "log container too large")) << o.st.first_bad;
    }

    // The date, from the header, before anything is read.
    int err = 0;
    cl_reader *r = cl_open(path.c_str(), CL_FMT_AUTO, &err);
    ASSERT_NE(nullptr, r);
    EXPECT_EQ(1, cl_has_date(r));
    cl_close(r);
}

// The identifiers read, ours and python-can's, from the bytes.
std::vector<std::string> ids_of(const std::vector<std::string> &lines)
{
    std::vector<std::string> v;
    for (const std::string &l : lines)
        v.push_back(l.substr(0, l.find(' ', 2)));
    return v;
}

// Damage to a BLF file costs what it damaged, counted, and reading goes
// on with the objects after it, as far as python-can reads and further.
TEST(CanlogPeers, DamagedBlfLosesOnlyWhatIsDamaged)
{
    std::string dir = nbtest::make_temp_dir("damaged");
    auto check = [&](const std::string &name, const std::string &bytes, size_t frames,
                     bool as_python) {
        std::string path = dir + "/" + name + ".blf";
        ASSERT_TRUE(nbtest::write_file(path, bytes));
        Ours o = read_ours(path);
        EXPECT_EQ(1u, o.st.bad) << name << ": " << o.st.first_bad;
        if (!as_python) {
            if (name.find("cut") == std::string::npos)
                EXPECT_EQ(frames, o.lines.size()) << name;
            else
                EXPECT_GE(o.lines.size(), frames) << name;
            return;
        }
        // At least the frames python-can reads, and those it does not
        // read are not others than whole ones of the file.
        EXPECT_GE(o.lines.size(), frames) << name;
        bool ok = false;
        std::vector<std::string> py =
            ids_of(lines_of(run({"/usr/bin/python3", CL_PEER_PY, "read", path}, &ok)));
        std::vector<std::string> ours = ids_of(o.lines);
        ASSERT_LE(py.size(), ours.size()) << name;
        EXPECT_EQ(py, std::vector<std::string>(ours.begin(), ours.begin() + (long)py.size()))
            << name;
        char last[32];
        snprintf(last, sizeof last, "S %X", (unsigned)ours.size() - 1);
        EXPECT_EQ(last, ours.back()) << name;
    };
    for (bool zlib : {false, true}) {
        std::string how = zlib ? "zlib-" : "stored-";
        Blf f = build_blf(5, zlib);
        // A container's size field of 0xFFFFFFFF: its data still tells
        // where it ends.
        std::string b = f.bytes;
        put32(b, f.containers[2] + 8, 0xFFFFFFFFu);
        check(how + "container-size", b, 100, false);
        // The header's size past the end of the file.
        b = f.bytes;
        put32(b, 4, 0x00F00000u);
        check(how + "header-size", b, 100, false);
        // Cut off within the last container: its whole frames are read.
        b = f.bytes.substr(0, f.containers[4] + (f.bytes.size() - f.containers[4]) / 2);
        // (python-can 4.1 stops with an error at a cut zlib container.)
        check(how + "cut", b, zlib ? 81 : 89, !zlib);
    }
    // An object in a container claiming 1 MiB: the objects after it are
    // not swallowed.
    Blf f = build_blf(5, false);
    std::string b = f.bytes;
    put32(b, f.containers[1] + 32 + 5 * 48 + 8, 1024 * 1024);
    check("object-size", b, 99, false);
}

}  // namespace
