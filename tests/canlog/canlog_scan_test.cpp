// Random access through a scan's marks: every row read again equals the
// frame read straight through, in all three formats and with the state the
// formats carry from line to line (ASC relative times, BLF objects that run
// on into the next container), also after the marks were thinned out.
#include <errno.h>
#include <gtest/gtest.h>
#include <stdio.h>
#include <string.h>

#include <random>
#include <string>
#include <vector>

#include "blf.h"
#include "canlog.h"
#include "test_env.h"

namespace {

std::vector<cl_frame> traffic(int n, unsigned seed, bool fd = false)
{
    std::mt19937 rnd(seed);
    std::vector<cl_frame> v;
    int64_t t = 1000000;
    for (int i = 0; i < n; i++) {
        cl_frame f{};
        t += (int64_t)(rnd() % 3000) * 1000;
        f.t_ns = t;
        bool ext = rnd() % 3 == 0;
        f.flags = (uint8_t)((ext ? CL_EXT : 0) | (rnd() % 5 == 0 ? CL_TX : 0));
        f.id = ext ? rnd() % 0x20000000u : rnd() % 0x800u;
        f.len = (uint8_t)(rnd() % 9);
        if (fd && rnd() % 2) {
            f.flags |= (uint8_t)(CL_FDF | (rnd() % 2 ? CL_BRS : 0));
            f.len = zk_fd_len(rnd() % 16);
        }
        for (int j = 0; j < f.len; j++)
            f.data[j] = (uint8_t)rnd();
        v.push_back(f);
    }
    return v;
}

// ASC in decimal with relative times, comments and bad lines among the
// frames: a mark must carry the base and the previous event's time.
std::string asc_relative(const std::vector<cl_frame> &v)
{
    std::string s = "date Mon Jan 1 10:00:00.000 am 2024\nbase dec  timestamps relative\n"
                    "internal events logged\nBegin Triggerblock Mon Jan 1 10:00:00.000 am 2024\n";
    int64_t prev = 0;
    char line[200];
    for (size_t i = 0; i < v.size(); i++) {
        const cl_frame &f = v[i];
        int64_t d = f.t_ns - prev;
        prev = f.t_ns;
        int n = snprintf(line, sizeof line, "%lld.%06lld 1 %u%s %s d %d",
                         (long long)(d / 1000000000), (long long)(d % 1000000000 / 1000), f.id,
                         (f.flags & CL_EXT) ? "x" : "", (f.flags & CL_TX) ? "Tx" : "Rx", f.len);
        for (int j = 0; j < f.len; j++)
            n += snprintf(line + n, sizeof line - (size_t)n, " %d", f.data[j]);
        s += line;
        s += i % 97 == 5 ? "\n// comment\nnot a line\n" : "\n";
    }
    return s + "End TriggerBlock\n";
}

// BLF with uncompressed containers of chunk bytes each, cut anywhere in the
// stream of objects, as some writers do.
std::string blf_split(const std::vector<cl_frame> &v, size_t chunk)
{
    std::string objs;
    for (const cl_frame &f : v) {
        uint8_t o[48] = {};
        memcpy(o, "LOBJ", 4);
        blf_put16(o + 4, BLF_V1_HEADER);
        blf_put16(o + 6, 1);
        blf_put32(o + 8, sizeof o);
        blf_put32(o + 12, BLF_CAN_MESSAGE);
        blf_put32(o + 16, BLF_TIME_NS);
        blf_put64(o + 24, (uint64_t)f.t_ns);
        uint8_t *d = o + 32;
        blf_put16(d, 1);
        d[2] = (f.flags & CL_TX) ? BLF_MSG_TX : 0;
        d[3] = f.len;
        blf_put32(d + 4, f.id | ((f.flags & CL_EXT) ? BLF_ID_EXT : 0));
        memcpy(d + 8, f.data, 8);
        objs.append(reinterpret_cast<char *>(o), sizeof o);
    }
    std::string s(BLF_FILE_HEADER, '\0');
    memcpy(&s[0], "LOGG", 4);
    blf_put32(reinterpret_cast<uint8_t *>(&s[4]), BLF_FILE_HEADER);
    for (size_t at = 0; at < objs.size(); at += chunk) {
        size_t n = std::min(chunk, objs.size() - at);
        uint8_t h[BLF_CONTAINER_HEADER] = {};
        memcpy(h, "LOBJ", 4);
        blf_put16(h + 4, 16);
        blf_put16(h + 6, 1);
        blf_put32(h + 8, (uint32_t)(sizeof h + n));
        blf_put32(h + 12, BLF_LOG_CONTAINER);
        blf_put32(h + 24, (uint32_t)n);
        s.append(reinterpret_cast<char *>(h), sizeof h);
        s.append(objs, at, n);
        s.append((sizeof h + n) % 4, '\0');
    }
    return s;
}

std::vector<cl_frame> read_all(const std::string &path, bool fd = false)
{
    int err = 0;
    cl_reader *r = cl_open(path.c_str(), CL_FMT_AUTO, &err);
    EXPECT_NE(nullptr, r) << path;
    if (r)
        cl_set_fd(r, fd);
    std::vector<cl_frame> v;
    cl_frame f;
    while (r && cl_next(r, &f) == 1)
        v.push_back(f);
    cl_close(r);
    return v;
}

bool same(const cl_frame &a, const cl_frame &b)
{
    return memcmp(&a, &b, sizeof a) == 0;
}

struct Counted {
    uint64_t frames = 0;
    uint64_t ids = 0;
};

void count_frames(void *ctx, const cl_frame *f, size_t n)
{
    Counted *c = static_cast<Counted *>(ctx);
    for (size_t i = 0; i < n; i++) {
        c->frames++;
        c->ids += f[i].id;
    }
}

int rare(void *, const cl_frame *f)
{
    return f->id == 0x7E8 && !(f->flags & CL_EXT);
}

int rare_or_low(void *, const cl_frame *f)
{
    return rare(nullptr, f) || (f->id < 0x40 && !(f->flags & CL_EXT));
}

// Scans the file and reads rows again, at random and in steps forward,
// against the frames read straight through (those select takes).
void check_scan(const std::string &path, cl_select_fn select, uint32_t marks_max,
                bool fd = false)
{
    std::vector<cl_frame> all = read_all(path, fd), want;
    for (const cl_frame &f : all)
        if (!select || select(nullptr, &f))
            want.push_back(f);
    ASSERT_GT(want.size(), 3u);
    Counted counted;
    cl_scan_opts o{};
    o.select = select;
    o.frames = count_frames;
    o.frames_ctx = &counted;
    o.marks_max = marks_max;
    o.fd = fd;
    int err = -1;
    cl_scan *s = cl_scan_open(path.c_str(), &o, &err);
    ASSERT_NE(nullptr, s) << err;
    ASSERT_EQ(1, cl_scan_wait(s, 60000));
    cl_scan_progress p;
    cl_scan_get_progress(s, &p);
    EXPECT_EQ(want.size(), p.rows);
    EXPECT_EQ(all.size(), p.frames);
    EXPECT_EQ(all.size(), counted.frames);
    uint64_t ids = 0;
    for (const cl_frame &f : all)
        ids += f.id;
    EXPECT_EQ(ids, counted.ids);
    if (marks_max) {
        EXPECT_LE(p.mark_bytes, 2u * marks_max * 64u);
    }

    std::mt19937 rnd(7);
    cl_frame got[40];
    for (int i = 0; i < 300; i++) {
        uint64_t first = i < 150 ? rnd() % want.size() : (uint64_t)(i - 150) * 37 % want.size();
        long n = cl_scan_read(s, first, got, 40);
        ASSERT_EQ((long)std::min<uint64_t>(40, want.size() - first), n) << first;
        for (long j = 0; j < n; j++)
            ASSERT_TRUE(same(want[first + (uint64_t)j], got[j])) << "row " << first + (uint64_t)j;
    }
    EXPECT_EQ(0, cl_scan_read(s, want.size(), got, 40));
    cl_scan_close(s);
}

class CanlogScan : public ::testing::Test {
protected:
    std::string dir = nbtest::make_temp_dir("scan");
    std::vector<cl_frame> frames = traffic(6000, 3);

    std::string write_candump(int format = CL_FMT_CANDUMP)
    {
        std::string path = dir + "/t" + cl_format_info_of(format)->ext;
        cl_writer w;
        cl_writer_init(&w);
        EXPECT_EQ(0, cl_writer_open(&w, path.c_str(), format, 0));
        for (cl_frame f : frames) {
            f.t_ns += 1700000000000000000LL;
            cl_write(&w, &f);
        }
        EXPECT_EQ(0, cl_writer_close(&w));
        return path;
    }
};

TEST_F(CanlogScan, RowsReadAgainAreTheFileFramesInEveryFormat)
{
    std::string asc = dir + "/t.asc", blf = dir + "/t.blf";
    ASSERT_TRUE(nbtest::write_file(asc, asc_relative(frames)));
    ASSERT_TRUE(nbtest::write_file(blf, blf_split(frames, 1000)));
    std::string log = write_candump();
    for (const std::string &path : {log, asc, blf}) {
        SCOPED_TRACE(path);
        ASSERT_EQ(frames.size(), read_all(path).size());
        check_scan(path, nullptr, 0);
        // Few marks: thinned out again and again while the scan goes on.
        check_scan(path, nullptr, 8);
    }
}

TEST_F(CanlogScan, FdRowsReadAgainInEveryFormat)
{
    frames = traffic(3000, 6, true);
    for (int format : {CL_FMT_CANDUMP, CL_FMT_ASC, CL_FMT_BLF, CL_FMT_TRC}) {
        std::string path = write_candump(format);
        SCOPED_TRACE(path);
        ASSERT_EQ(frames.size(), read_all(path, true).size());
        check_scan(path, nullptr, 8, true);
    }
}

TEST_F(CanlogScan, SelectedRowsAcrossLongGaps)
{
    // An identifier that comes once in a long while, among frequent ones.
    frames = traffic(40000, 4);
    for (size_t i = 0; i < frames.size(); i += 4999) {
        frames[i].id = 0x7E8;
        frames[i].flags = 0;
    }
    std::string log = write_candump(), blf = dir + "/s.blf";
    ASSERT_TRUE(nbtest::write_file(blf, blf_split(frames, 4000)));
    check_scan(log, rare_or_low, 0);
    check_scan(log, rare, 0);
    check_scan(blf, rare_or_low, 6);
    check_scan(blf, rare, 0);
}

TEST_F(CanlogScan, FirstRowsBeforeTheEndAndClosedMidway)
{
    frames = traffic(400000, 5);
    std::string log = write_candump();
    int err = -1;
    cl_scan *s = cl_scan_open(log.c_str(), nullptr, &err);
    ASSERT_NE(nullptr, s);
    cl_frame f[10];
    ASSERT_TRUE(nbtest::wait_until([&] { return cl_scan_read(s, 0, f, 10) == 10; }));
    EXPECT_EQ(frames[9].id, f[9].id);
    cl_scan_close(s);  // most likely still scanning: stops and joins

    EXPECT_EQ(nullptr, cl_scan_open((dir + "/none.log").c_str(), nullptr, &err));
    EXPECT_EQ(ENOENT, err);
}

// A BLF file without its header, whose first container starts at offset
// 0, and bytes after it that look like a header: rows read again from a
// mark in that container are the file's, not those after a header read
// again at the mark.
TEST_F(CanlogScan, BlfWithoutAHeaderReadsAgainFromMarksInItsFirstContainer)
{
    const size_t first = BLF_CONTAINER_HEADER + 1000 * 48;
    std::string s = blf_split(frames, 1000 * 48).substr(BLF_FILE_HEADER);
    std::string junk(72, '\0');
    memcpy(&junk[0], "LOGG", 4);
    blf_put32(reinterpret_cast<uint8_t *>(&junk[4]), 72 + 1000);
    s.insert(first, junk);
    std::string path = dir + "/headless.blf";
    ASSERT_TRUE(nbtest::write_file(path, s));
    ASSERT_EQ(frames.size(), read_all(path).size());
    check_scan(path, nullptr, 0);
}

// candump -L any on a machine with can0 and vcan0: names ending in the same
// number are different channels (the later one the next number above those
// in use), the same when rows are read again from marks; names ending in
// distinct numbers keep them.
TEST_F(CanlogScan, CandumpInterfacesEndingInOneNumberAreApartAlsoFromMarks)
{
    struct Case {
        std::vector<const char *> names;  // one after the other, the last from frame 1000 on
        std::vector<uint16_t> chans;
    };
    for (const Case &c : {Case{{"can0", "vcan0", "can1"}, {0, 1, 2}},
                          Case{{"can0", "can3", "vcan1", "slcan2"}, {0, 3, 1, 2}}}) {
        std::string text, path = dir + "/" + c.names.back() + ".log";
        std::vector<uint16_t> want;
        char line[CL_LINE_MAX];
        for (size_t i = 0; i < frames.size(); i++) {
            size_t k = i % (c.names.size() - (i < 1000));
            cl_frame f = frames[i];
            f.t_ns += 1700000000000000000LL;
            text.append(line, cl_fmt_candump_named(line, sizeof line, &f, c.names[k]));
            want.push_back(c.chans[k]);
        }
        ASSERT_TRUE(nbtest::write_file(path, text));
        std::vector<cl_frame> all = read_all(path);
        ASSERT_EQ(want.size(), all.size());
        for (size_t i = 0; i < all.size(); i++)
            ASSERT_EQ(want[i], all[i].chan) << path << " frame " << i;
        check_scan(path, nullptr, 0);
        check_scan(path, nullptr, 8);
    }
}

}  // namespace
