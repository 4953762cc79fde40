// The log library on the variants other tools write and on damaged input:
// bad lines and objects are counted with their place and reading goes on.
#include <gtest/gtest.h>
#include <stdio.h>
#include <string.h>

#include <zlib.h>

#include <random>
#include <string>
#include <vector>

#include "blf.h"
#include "canlog.h"
#include "reader.h"
#include "test_env.h"

namespace {

struct Read {
    std::vector<cl_frame> f;
    cl_stats st{};
    int has_date = 0;
    int dated_on_opening = 0;   // cl_has_date before the first frame
};

Read read_mem(const std::string &text, int format, bool fd = false)
{
    Read r;
    cl_reader *rd = cl_open_mem(text.data(), text.size(), format);
    cl_set_fd(rd, fd);
    r.dated_on_opening = cl_has_date(rd);
    cl_frame f;
    while (cl_next(rd, &f) == 1)
        r.f.push_back(f);
    r.st = *cl_reader_stats(rd);
    r.has_date = cl_has_date(rd);
    cl_close(rd);
    return r;
}

std::string data_of(const cl_frame &f)
{
    std::string s;
    char b[4];
    for (int i = 0; i < f.len; i++) {
        snprintf(b, sizeof b, "%02X", f.data[i]);
        s += b;
    }
    return s;
}

// Hex digits as ASC data bytes: "0123" -> "01 23".
std::string spaced(const std::string &hex)
{
    std::string s;
    for (size_t i = 0; i + 1 < hex.size(); i += 2)
        s += (i ? " " : "") + hex.substr(i, 2);
    return s;
}

TEST(Canlog, CandumpVariantsAndBadLines)
{
    Read r = read_mem(
        "(1436509052.249713) can0 123#DEADBEEF\r\n"
        "\n"
        "(1436509052.25) vcan12 18DAF110#11.22.33 T\n"
        "(0.000001) can1 7E8#R8 R\n"
        "garbage\n"
        "(1.0) can0 800#00\n"
        "(1.0) can0 123#0\n"
        "(1.0) can0 123##1DEADBEEF\n"
        "(1.0) can0 20000084#000D000000000000\n"
        "(1.0) can0 123#001122334455667788\n"
        "(1.0) can0 123#11 X\n"
        "(2.5) can0 5#1122334455667788_C\n",
        CL_FMT_AUTO);
    ASSERT_EQ(5u, r.f.size());
    EXPECT_EQ(1436509052249713000LL, r.f[0].t_ns);
    EXPECT_EQ(0x123u, r.f[0].id);
    EXPECT_EQ("DEADBEEF", data_of(r.f[0]));
    EXPECT_EQ(0, r.f[0].flags);
    EXPECT_EQ(CL_EXT | CL_TX, r.f[1].flags);
    EXPECT_EQ(12, r.f[1].chan);
    EXPECT_EQ("112233", data_of(r.f[1]));
    EXPECT_EQ(1436509052250000000LL, r.f[1].t_ns);
    EXPECT_EQ(CL_RTR, r.f[2].flags);
    EXPECT_EQ(8, r.f[2].len);
    EXPECT_EQ(CL_ERR, r.f[3].flags);
    EXPECT_EQ(0x84u, r.f[3].id);
    EXPECT_EQ("000D000000000000", data_of(r.f[3]));
    EXPECT_EQ(2500000000LL, r.f[4].t_ns);
    EXPECT_EQ(1u, r.st.skipped_fd);
    EXPECT_EQ(5u, r.st.bad);
    EXPECT_STREQ("line 5: not a candump line (it must start with '(')", r.st.first_bad);
    EXPECT_EQ(12u, r.st.lines);
    EXPECT_EQ(1, r.has_date);
}

// CAN FD lines as other tools write them, and broken ones.
TEST(Canlog, CanFdLinesOfOtherTools)
{
    std::string d64;
    for (int i = 0; i < 64; i++)
        d64 += "0123456789ABCDEF"[i % 16], d64 += "0123456789ABCDEF"[i / 4 % 16];
    Read r = read_mem("(1.0) can0 123##0\n"                 // no FDF digit, no data
                      "(1.0) can0 12345678##7" + d64 + " T\n"
                      "(1.0) can1 7FF##2AA.BB\n"
                      "(1.0) can0 123##\n"                  // no flags
                      "(1.0) can0 123##1112233445566778899\n"  // 9 bytes
                      "(1.0) can0 123##1" + d64 + "00\n"  // 65 bytes
                      "(1.0) can0 123##1R\n",
                      CL_FMT_CANDUMP, true);
    ASSERT_EQ(3u, r.f.size());
    EXPECT_EQ(CL_FDF, r.f[0].flags);
    EXPECT_EQ(0, r.f[0].len);
    EXPECT_EQ(CL_FDF | CL_BRS | CL_ESI | CL_EXT | CL_TX, r.f[1].flags);
    EXPECT_EQ(d64, data_of(r.f[1]));
    EXPECT_EQ(CL_FDF | CL_ESI, r.f[2].flags);
    EXPECT_EQ(4u, r.st.bad);
    EXPECT_STREQ("line 4: no flags digit after \"##\"", r.st.first_bad);

    // A symbolic name, a classic frame (no EDL in the flags) and a remote
    // one in CANFD lines, an FD error frame sent, a length that is no FD
    // length, 64 bytes without the ESI field.
    const std::string asc =
        "base hex  timestamps absolute\n"
        "   1.000000 CANFD   2 Tx   1ABx  EngineData  1 0 9 12 01 02 03 04 05 06 07 08 09 0A 0B 0C"
        "   130000  283   203000 4b0e0 0 0 0 0\n"
        "   1.000000 CANFD   1 Rx        100  0 0 2  2 AA BB    0    0     0 0 0 0 0 0\n"
        "   1.000000 CANFD   1 Rx        101  0 0 5  0    0    0     10 0 0 0 0 0\n"
        "   1.000000 CANFD   1 Tx   ErrorFrame 0 0 0\n"
        "   1.000000 CANFD   1 Rx        102  0 0 9  9 01 02 03 04 05 06 07 08 09 0 0 1000 0\n"
        "   1.000000 CANFD   1 Rx        103  1 f 64 " + spaced(d64) + "\n"
        "   1.000000 1  200             Rx   d 1 01\n";
    r = read_mem(asc, CL_FMT_ASC, true);
    ASSERT_EQ(5u, r.f.size());
    EXPECT_EQ(CL_FDF | CL_BRS | CL_EXT | CL_TX, r.f[0].flags);
    EXPECT_EQ(0x1ABu, r.f[0].id);
    EXPECT_EQ(1, r.f[0].chan);
    EXPECT_EQ("0102030405060708090A0B0C", data_of(r.f[0]));
    EXPECT_EQ(0, r.f[1].flags);
    EXPECT_EQ("AABB", data_of(r.f[1]));
    EXPECT_EQ(CL_RTR, r.f[2].flags);
    EXPECT_EQ(5, r.f[2].len);
    EXPECT_EQ(CL_ERR | CL_TX, r.f[3].flags);
    EXPECT_EQ(2u, r.st.bad);
    // Without FD asked for: the FD frame alone is skipped; the classic
    // frames of CANFD lines are read, the broken lines counted the same.
    Read classic = read_mem(asc, CL_FMT_ASC, false);
    ASSERT_EQ(4u, classic.f.size());
    for (int i = 0; i < 4; i++)
        EXPECT_EQ(r.f[i + 1].flags, classic.f[i].flags) << i;
    EXPECT_EQ(1u, classic.st.skipped_fd);
    EXPECT_EQ(2u, classic.st.bad);
    EXPECT_STREQ(r.st.first_bad, classic.st.first_bad);
}

TEST(Canlog, AscVariantsOfOtherTools)
{
    // Decimal base, relative times, a German date on a 24-hour clock,
    // length and bit count after the data, remote frames without a
    // length, CAN FD and other events.
    Read r = read_mem(
        "date Mi Okt 09 14:03:07 2019\n"
        "base dec  timestamps relative\n"
        "no internal events logged\n"
        "// version 9.0.0\n"
        "Begin TriggerBlock Mi Okt 09 14:03:07.250 2019\n"
        "   0.000000 Start of measurement\n"
        "   0.001000 1  291             Rx   d 2 17 255  Length = 272000 BitCount = 140 ID = 291\n"
        "   0.000500 2  4660x           Tx   r\n"
        "   0.100000 1  Statistic: D 0 R 0 XD 0 XR 0 E 0 O 0 B 0.00%\n"
        "   0.000010 CANFD   1 Rx        100                                   1 0 f 64 00\n"
        "   1.000000 1  ErrorFrame ECC: 10100010\n"
        "   0.000001 1  123             Rx   d 8 01 02\n"
        "   0.000001 1  2048            Rx   d 0\n"
        "some words\n"
        "End TriggerBlock\n",
        CL_FMT_ASC);
    ASSERT_EQ(3u, r.f.size());
    struct tm tm = {};
    tm.tm_year = 119, tm.tm_mon = 9, tm.tm_mday = 9, tm.tm_hour = 14, tm.tm_min = 3;
    tm.tm_sec = 7, tm.tm_isdst = -1;
    int64_t start = (int64_t)mktime(&tm) * 1000000000 + 250000000;
    EXPECT_EQ(1, r.has_date);
    EXPECT_EQ(1, r.dated_on_opening);
    EXPECT_EQ(start + 1000000, r.f[0].t_ns);
    EXPECT_EQ(291u, r.f[0].id);
    EXPECT_EQ("11FF", data_of(r.f[0]));
    EXPECT_EQ(4660u, r.f[1].id);
    EXPECT_EQ(CL_EXT | CL_TX | CL_RTR, r.f[1].flags);
    EXPECT_EQ(1, r.f[1].chan);
    EXPECT_EQ(start + 1500000, r.f[1].t_ns);
    EXPECT_EQ(CL_ERR, r.f[2].flags);
    EXPECT_EQ(start + 1101510000LL, r.f[2].t_ns);
    EXPECT_EQ(0u, r.st.skipped_fd);  // the CANFD line is broken: bad, as with FD
    EXPECT_EQ(2u, r.st.skipped);  // the start event and the statistics
    EXPECT_EQ(4u, r.st.bad);
    EXPECT_STREQ("line 10: bad BRS, ESI or data length in a CANFD line", r.st.first_bad);

    // Hex base with a 12-hour clock; no date: times from the block's start.
    r = read_mem("date Thu Nov 30 11:27:24.691 PM 2023\nbase hex  timestamps absolute\n"
                 "   2.5 1  1Fx Rx d 1 aB\n",
                 CL_FMT_ASC);
    ASSERT_EQ(1u, r.f.size());
    EXPECT_EQ(0x1Fu, r.f[0].id);
    EXPECT_EQ("AB", data_of(r.f[0]));
    tm = {};
    tm.tm_year = 123, tm.tm_mon = 10, tm.tm_mday = 30, tm.tm_hour = 23, tm.tm_min = 27;
    tm.tm_sec = 24, tm.tm_isdst = -1;
    EXPECT_EQ((int64_t)mktime(&tm) * 1000000000 + 691000000 + 2500000000LL, r.f[0].t_ns);
    // A German date written in Windows-1252, and a last line cut off
    // before its direction: a bad line, not another kind of event.
    r = read_mem("date Mo M\xe4r 4 09:05:01 2024\nbase hex  timestamps absolute\n"
                 "   2.5 1  1F Rx d 0\n   2.6 1  1F",
                 CL_FMT_ASC);
    EXPECT_EQ(1, r.has_date);
    tm = {};
    tm.tm_year = 124, tm.tm_mon = 2, tm.tm_mday = 4, tm.tm_hour = 9, tm.tm_min = 5;
    tm.tm_sec = 1, tm.tm_isdst = -1;
    EXPECT_EQ((int64_t)mktime(&tm) * 1000000000 + 2500000000LL, r.f[0].t_ns);
    EXPECT_EQ(0u, r.st.skipped);
    EXPECT_STREQ("line 4: line cut off at the end of the file", r.st.first_bad);
    r = read_mem("   2.5 1  1F Rx d 0\n", CL_FMT_ASC);
    EXPECT_EQ(0, r.has_date);
    EXPECT_EQ(0, r.dated_on_opening);
    EXPECT_EQ(2500000000LL, r.f[0].t_ns);
}

// A candump writer names channels as it is told; a name that would split
// the line's fields, or one never given, is can<N>. Reading keeps the
// number that ends the name.
TEST(Canlog, CandumpWriterNamesChannels)
{
    std::string path = nbtest::make_temp_dir("names") + "/n.log";
    cl_writer w;
    ASSERT_EQ(0, cl_writer_open(&w, path.c_str(), CL_FMT_CANDUMP, 1));
    cl_writer_set_chan_name(&w, 0, "vcan7");
    cl_writer_set_chan_name(&w, 1, "bad name");
    cl_writer_set_chan_name(&w, 2, "muchtoolongname0");
    cl_writer_set_chan_name(&w, CL_CHAN_NAMES, "ignored");
    for (uint16_t chan = 0; chan < 4; chan++) {
        cl_frame f{};
        f.chan = chan;
        f.id = 0x10 + chan;
        ASSERT_EQ(0, cl_write(&w, &f));
    }
    ASSERT_EQ(0, cl_writer_close(&w));
    std::string text = nbtest::read_file(path);
    EXPECT_NE(std::string::npos, text.find(" vcan7 010#\n")) << text;
    EXPECT_NE(std::string::npos, text.find(" can1 011#\n")) << text;
    EXPECT_NE(std::string::npos, text.find(" can2 012#\n")) << text;
    EXPECT_NE(std::string::npos, text.find(" can3 013#\n")) << text;
    Read r = read_mem(text, CL_FMT_CANDUMP);
    ASSERT_EQ(4u, r.f.size());
    EXPECT_EQ(7, r.f[0].chan);
    EXPECT_EQ(3, r.f[3].chan);
}

// A BLF file of n frames from our writer, flushed every 100 frames so it
// has several containers.
std::string blf_file(int n)
{
    std::string path = nbtest::make_temp_dir("blf") + "/t.blf";
    cl_writer w;
    EXPECT_EQ(0, cl_writer_open(&w, path.c_str(), CL_FMT_BLF, 1));
    for (int i = 0; i < n; i++) {
        cl_frame f{};
        f.t_ns = 1700000000000000000LL + i * 1000000LL;
        f.id = (uint32_t)i;
        f.flags = CL_EXT;
        f.len = 8;
        memset(f.data, i, 8);
        cl_write(&w, &f);
        if (i % 100 == 99)
            cl_writer_flush(&w);
    }
    EXPECT_EQ(0, cl_writer_close(&w));
    return nbtest::read_file(path);
}

// The objects of a BLF file's containers, unpacked and put together.
std::string blf_objects(const std::string &file)
{
    const uint8_t *p = reinterpret_cast<const uint8_t *>(file.data());
    std::string objects;
    for (size_t pos = blf_u32(p + 4); pos + BLF_CONTAINER_HEADER <= file.size();) {
        uint32_t osize = blf_u32(p + pos + 8), usize = blf_u32(p + pos + 24);
        std::string out(usize, '\0');
        uLongf got = usize;
        EXPECT_EQ(Z_OK, uncompress(reinterpret_cast<Bytef *>(&out[0]), &got,
                                   p + pos + BLF_CONTAINER_HEADER, osize - BLF_CONTAINER_HEADER));
        objects.append(out, 0, got);
        pos += osize + osize % 4;
    }
    return objects;
}

// A log container of the given objects, stored (method 0) or compressed
// (2), with its padding.
std::string blf_container(const std::string &objects, uint16_t method)
{
    std::string body = objects;
    if (method == 2) {
        uLongf zn = compressBound(objects.size());
        body.resize(zn);
        EXPECT_EQ(Z_OK, compress2(reinterpret_cast<Bytef *>(&body[0]), &zn,
                                  reinterpret_cast<const Bytef *>(objects.data()), objects.size(),
                                  1));
        body.resize(zn);
    }
    uint8_t hdr[BLF_CONTAINER_HEADER] = {'L', 'O', 'B', 'J'};
    blf_put16(hdr + 4, BLF_BASE_HEADER);
    blf_put16(hdr + 6, 1);
    blf_put32(hdr + 8, (uint32_t)(BLF_CONTAINER_HEADER + body.size()));
    blf_put32(hdr + 12, BLF_LOG_CONTAINER);
    blf_put16(hdr + 16, method);
    blf_put32(hdr + 24, (uint32_t)objects.size());
    return std::string(reinterpret_cast<char *>(hdr), sizeof hdr) + body +
           std::string((BLF_CONTAINER_HEADER + body.size()) % 4, '\0');
}

TEST(Canlog, DamagedBlfReadsOnAfterTheDamage)
{
    std::string good = blf_file(1000);
    Read r = read_mem(good, CL_FMT_AUTO);
    ASSERT_EQ(1000u, r.f.size());
    EXPECT_EQ(0u, r.st.bad);
    EXPECT_EQ(999u, r.f[999].id);
    EXPECT_EQ(1700000000999000000LL, r.f[999].t_ns);

    // Garbage over the middle of the file: one container is lost, the
    // ones after it read.
    std::string bad = good;
    for (size_t i = bad.size() / 2; i < bad.size() / 2 + 300; i++)
        bad[i] = (char)(i * 7);
    r = read_mem(bad, CL_FMT_BLF);
    EXPECT_GE(r.st.bad, 1u);
    EXPECT_NE(nullptr, strstr(r.st.first_bad, "offset ")) << r.st.first_bad;
    EXPECT_GE(r.f.size(), 700u);
    EXPECT_LT(r.f.size(), 1000u);
    EXPECT_EQ(999u, r.f.back().id);

    // Cut off in the middle of a container (its whole frames are read),
    // and a header alone.
    r = read_mem(good.substr(0, good.size() - 10), CL_FMT_BLF);
    EXPECT_EQ(999u, r.f.size());
    EXPECT_EQ(1u, r.st.bad);
    r = read_mem(good.substr(0, 144), CL_FMT_BLF);
    EXPECT_EQ(0u, r.f.size());
    EXPECT_EQ(0u, r.st.bad);
}

// A log container larger than the file reader's buffer (1 MiB; ours hold
// 128 KiB, other writers may make larger ones), stored or compressed,
// reads whole from a file, as the same frames in small containers do.
TEST(Canlog, BlfContainerLargerThanTheReadBuffer)
{
    std::string dir = nbtest::make_temp_dir("bigblf");
    cl_writer w;
    ASSERT_EQ(0, cl_writer_open(&w, (dir + "/small.blf").c_str(), CL_FMT_BLF, 1));
    std::mt19937 rnd(7);
    for (int i = 0; i < 20000; i++) {
        cl_frame f{};
        f.t_ns = 1700000000000000000LL + i * 1000LL;
        f.id = (uint32_t)i & 0x7FF;
        f.flags = CL_FDF | CL_BRS;
        f.len = 64;
        for (auto &b : f.data)
            b = (uint8_t)rnd();   /* random: it stays large compressed */
        cl_write(&w, &f);
    }
    ASSERT_EQ(0, cl_writer_close(&w));
    const std::string small = nbtest::read_file(dir + "/small.blf");
    auto read_path = [](const std::string &path) {
        Read r;
        int err = 0;
        cl_reader *rd = cl_open(path.c_str(), CL_FMT_AUTO, &err);
        EXPECT_NE(nullptr, rd) << path;
        if (!rd)
            return r;
        cl_set_fd(rd, 1);
        cl_frame f;
        while (cl_next(rd, &f) == 1)
            r.f.push_back(f);
        r.st = *cl_reader_stats(rd);
        cl_close(rd);
        return r;
    };
    const Read want = read_path(dir + "/small.blf");
    ASSERT_EQ(20000u, want.f.size());

    // The objects of all its containers, unpacked, in one container.
    const std::string objects = blf_objects(small);
    for (uint16_t method : {0, 2}) {
        const std::string cont = blf_container(objects, method);
        ASSERT_GT(cont.size(), 1024u * 1024u);
        std::string big = small.substr(0, blf_u32(reinterpret_cast<const uint8_t *>(&small[4]))) +
                          cont;
        ASSERT_TRUE(nbtest::write_file(dir + "/big.blf", big));
        Read r = read_path(dir + "/big.blf");
        EXPECT_EQ(0u, r.st.bad) << method << ": " << r.st.first_bad;
        ASSERT_EQ(want.f.size(), r.f.size()) << method;
        for (size_t i = 0; i < r.f.size(); i++)
            ASSERT_EQ(0, memcmp(&want.f[i], &r.f[i], sizeof r.f[i])) << method << " frame " << i;
    }
}

// A BLF file of many compressed containers with objects running on from
// one into the next (as other writers cut them), a large object of
// another kind among them; damaged in the middle and cut off at the end.
struct AheadFile {
    std::string good, bad;
};

AheadFile ahead_file()
{
    std::string path = nbtest::make_temp_dir("ahead") + "/w.blf";
    cl_writer w;
    EXPECT_EQ(0, cl_writer_open(&w, path.c_str(), CL_FMT_BLF, 1));
    std::mt19937 rnd(3);
    for (int i = 0; i < 4000; i++) {
        cl_frame f{};
        f.t_ns = 1700000000000000000LL + i * 1000LL;
        f.id = (uint32_t)i & 0x7FF;
        f.flags = i % 3 ? CL_FDF | CL_BRS : 0;
        f.len = i % 3 ? zk_fd_len(rnd() % 16) : (uint8_t)(rnd() % 9);
        for (int j = 0; j < f.len; j++)
            f.data[j] = (uint8_t)rnd();
        cl_write(&w, &f);
    }
    EXPECT_EQ(0, cl_writer_close(&w));
    const std::string file = nbtest::read_file(path);
    std::string objects = blf_objects(file);
    // 20 kB of an object type that is skipped, past the middle.
    size_t at = 0;
    while (at < objects.size() / 2)
        at += (blf_u32(reinterpret_cast<const uint8_t *>(&objects[at + 8])) + 3) & ~3u;
    std::string other(20000, '\0');
    memcpy(&other[0], objects.data() + at, BLF_V1_HEADER);
    blf_put32(reinterpret_cast<uint8_t *>(&other[8]), (uint32_t)other.size());
    blf_put32(reinterpret_cast<uint8_t *>(&other[12]), 65);
    objects.insert(at, other);
    std::vector<std::string> conts;
    for (size_t i = 0; i < objects.size(); i += 7001)
        conts.push_back(blf_container(objects.substr(i, 7001), 2));
    EXPECT_GT(conts.size(), 50u);
    AheadFile a;
    a.good = a.bad = file.substr(0, blf_u32(reinterpret_cast<const uint8_t *>(&file[4])));
    for (const std::string &c : conts)
        a.good += c;
    // A stream that does not unpack, an unknown compression, a container
    // without its signature (read on at the next one), one whose size
    // names more than its stream, and the last one cut off.
    conts[10][200] ^= 0x55;
    conts[10][201] ^= 0x55;
    conts[20][16] = 7;
    conts[30][0] = 'X';
    std::string &c = conts[40];
    uint32_t osize = blf_u32(reinterpret_cast<const uint8_t *>(&c[8])) + 8;
    c = c.substr(0, osize - 8) + std::string(8, '\x11') + std::string(osize % 4, '\0');
    blf_put32(reinterpret_cast<uint8_t *>(&c[8]), osize);
    for (const std::string &b : conts)
        a.bad += b;
    a.bad.resize(a.bad.size() - 1000);
    return a;
}

// Reads a whole BLF file or memory, unpacking ahead with `workers` (-1:
// none); on the way keeps a mark, and after the end reads on from it.
struct AheadRead : Read {
    bool ahead = false;
    std::vector<cl_frame> from_mark;
};

AheadRead read_ahead(const std::string &path, const std::string *mem, int workers)
{
    AheadRead r;
    int err = 0;
    cl_reader *rd = mem ? cl_open_mem(mem->data(), mem->size(), CL_FMT_BLF)
                        : cl_open(path.c_str(), CL_FMT_BLF, &err);
    EXPECT_NE(nullptr, rd);
    if (!rd)
        return r;
    cl_set_fd(rd, 1);
    rd->blf.ahead_workers = workers;
    rd->blf.ahead_min = 1;
    cl_frame f;
    cl_mark m;
    bool marked = false;
    while (cl_next(rd, &f) == 1) {
        r.f.push_back(f);
        if (!marked && r.f.size() >= 2500)
            marked = cl_mark_get(rd, &m) == 0;
    }
    r.st = *cl_reader_stats(rd);
    r.ahead = rd->blf.ahead != nullptr;
    EXPECT_TRUE(marked);
    EXPECT_EQ(0, cl_mark_set(rd, &m));
    while (cl_next(rd, &f) == 1)
        r.from_mark.push_back(f);
    cl_close(rd);
    return r;
}

// Containers unpacked ahead on worker threads give the frames, counts and
// messages of the serial reader, damaged or not, from a file or memory,
// after a jump back to a mark too.
TEST(Canlog, BlfUnpackedAheadReadsAsSerially)
{
    const AheadFile a = ahead_file();
    const std::string dir = nbtest::make_temp_dir("aheadread");
    for (const std::string *file : {&a.good, &a.bad}) {
        const std::string path = dir + (file == &a.good ? "/good.blf" : "/bad.blf");
        ASSERT_TRUE(nbtest::write_file(path, *file));
        const AheadRead want = read_ahead(path, nullptr, -1);
        EXPECT_FALSE(want.ahead);
        if (file == &a.good) {
            EXPECT_EQ(4000u, want.f.size());
            EXPECT_EQ(0u, want.st.bad) << want.st.first_bad;
            EXPECT_EQ(1u, want.st.skipped);
        } else {
            EXPECT_LT(want.f.size(), 3800u);
            EXPECT_GE(want.st.bad, 5u);
        }
        ASSERT_EQ(want.f.size() - 2500, want.from_mark.size());
        for (bool in_mem : {false, true}) {
            const AheadRead got = read_ahead(path, in_mem ? file : nullptr, 2);
            SCOPED_TRACE(path + (in_mem ? " in memory" : ""));
            EXPECT_TRUE(got.ahead);
            EXPECT_EQ(want.st.frames, got.st.frames);
            EXPECT_EQ(want.st.bad, got.st.bad);
            EXPECT_EQ(want.st.skipped, got.st.skipped);
            EXPECT_STREQ(want.st.first_bad, got.st.first_bad);
            ASSERT_EQ(want.f.size(), got.f.size());
            for (size_t i = 0; i < want.f.size(); i++)
                ASSERT_EQ(0, memcmp(&want.f[i], &got.f[i], sizeof got.f[i])) << "frame " << i;
            ASSERT_EQ(want.from_mark.size(), got.from_mark.size());
            for (size_t i = 0; i < want.from_mark.size(); i++)
                ASSERT_EQ(0, memcmp(&want.from_mark[i], &got.from_mark[i], sizeof got.f[i]))
                    << "after the mark, frame " << i;
        }
    }
}

// A reader closed anywhere while containers are being unpacked ahead
// (before the first frame, in the middle, just after the damage, after a
// rewind) stops its workers and frees their slots.
TEST(Canlog, BlfReaderClosedWhileUnpackingAhead)
{
    const AheadFile a = ahead_file();
    const std::string path = nbtest::make_temp_dir("aheadclose") + "/bad.blf";
    ASSERT_TRUE(nbtest::write_file(path, a.bad));
    for (int stop : {0, 300, 700, 1200, 2000, -700}) {
        int err = 0;
        cl_reader *rd = cl_open(path.c_str(), CL_FMT_BLF, &err);
        ASSERT_NE(nullptr, rd);
        cl_set_fd(rd, 1);
        rd->blf.ahead_workers = 2;
        rd->blf.ahead_min = 1;
        cl_frame f;
        for (int i = 0; i < (stop < 0 ? -stop : stop) && cl_next(rd, &f) == 1; i++) {
        }
        if (stop < 0) {
            ASSERT_EQ(0, cl_rewind(rd));
            ASSERT_EQ(1, cl_next(rd, &f));
        }
        EXPECT_EQ(stop != 0, rd->blf.ahead != nullptr) << stop;
        cl_close(rd);
    }
}

// A large BLF file of our writer's (64-byte CAN FD frames, random, so that
// the containers stay large compressed): read on as many workers as cores
// and on more workers than there are containers' slots to go round, and
// indexed by a scan, it gives the frames one thread reads, in order.
TEST(Canlog, BlfOnEveryCoreReadsAsOnOne)
{
    const std::string path = nbtest::make_temp_dir("allcores") + "/big.blf";
    cl_writer w;
    ASSERT_EQ(0, cl_writer_open(&w, path.c_str(), CL_FMT_BLF, 1));
    std::mt19937 rnd(11);
    for (int i = 0; i < 60000; i++) {
        cl_frame f{};
        f.t_ns = 1700000000000000000LL + i * 1000LL;
        f.id = (uint32_t)i & 0x7FF;
        f.chan = (uint16_t)(i % 3);
        f.flags = CL_FDF | CL_BRS;
        f.len = 64;
        for (auto &b : f.data)
            b = (uint8_t)rnd();
        ASSERT_EQ(0, cl_write(&w, &f));
    }
    ASSERT_EQ(0, cl_writer_close(&w));
    ASSERT_GT(w.objects / 1200, 40u);  // containers: several per worker below

    auto read = [&](int workers) {
        std::vector<cl_frame> v;
        int err = 0;
        cl_reader *rd = cl_open(path.c_str(), CL_FMT_BLF, &err);
        EXPECT_NE(nullptr, rd);
        if (!rd)
            return v;
        cl_set_fd(rd, 1);
        rd->blf.ahead_workers = workers;
        cl_frame f;
        while (cl_next(rd, &f) == 1)
            v.push_back(f);
        EXPECT_EQ(0u, cl_reader_stats(rd)->bad);
        EXPECT_EQ(workers != -1 && cl_ahead_workers() > 0, rd->blf.ahead != nullptr) << workers;
        cl_close(rd);
        return v;
    };
    const std::vector<cl_frame> one = read(-1);
    ASSERT_EQ(60000u, one.size());
    for (int workers : {0, 7}) {
        if (workers && cl_ahead_workers() == 0)
            continue;  // one core: the serial reader is all there is
        const std::vector<cl_frame> got = read(workers);
        ASSERT_EQ(one.size(), got.size()) << workers;
        for (size_t i = 0; i < one.size(); i++)
            ASSERT_EQ(0, memcmp(&one[i], &got[i], sizeof got[i])) << workers << " frame " << i;
    }

    cl_scan_opts o{};
    o.fd = 1;
    int err = 0;
    cl_scan *s = cl_scan_open(path.c_str(), &o, &err);
    ASSERT_NE(nullptr, s);
    ASSERT_EQ(1, cl_scan_wait(s, 120000));
    std::vector<cl_frame> rows(one.size() + 1);
    ASSERT_EQ((long)one.size(), cl_scan_read(s, 0, rows.data(), rows.size()));
    for (size_t i = 0; i < one.size(); i++)
        ASSERT_EQ(0, memcmp(&one[i], &rows[i], sizeof rows[i])) << "row " << i;
    cl_scan_close(s);
}

TEST(Canlog, LongLinesAndRewindOnAFile)
{
    std::string path = nbtest::make_temp_dir("long") + "/long.log";
    std::string text = "(1.0) can0 1#01\n(1.0) can0 2#" + std::string(1500000, 'A') +
                       "\n(2.0) can0 3#03\n";
    ASSERT_TRUE(nbtest::write_file(path, text));
    int err = -1;
    cl_reader *r = cl_open(path.c_str(), CL_FMT_AUTO, &err);
    ASSERT_NE(nullptr, r);
    EXPECT_EQ(CL_FMT_CANDUMP, cl_reader_format(r));
    EXPECT_EQ(text.size(), cl_size(r));
    for (int pass = 0; pass < 2; pass++) {
        cl_frame f;
        ASSERT_EQ(1, cl_next(r, &f));
        EXPECT_EQ(1u, f.id);
        ASSERT_EQ(1, cl_next(r, &f));
        EXPECT_EQ(3u, f.id);
        EXPECT_EQ(0, cl_next(r, &f));
        EXPECT_EQ(text.size(), cl_offset(r));
        EXPECT_STREQ("line 2: line too long", cl_reader_stats(r)->first_bad);
        ASSERT_EQ(0, cl_rewind(r));
    }
    cl_close(r);
    EXPECT_EQ(nullptr, cl_open((path + ".none").c_str(), CL_FMT_AUTO, &err));
    EXPECT_EQ(ENOENT, err);
}

TEST(Canlog, LinesAtTheEdges)
{
    char buf[CL_LINE_MAX];
    cl_frame f{};
    f.t_ns = 1436509052249713999LL;  // written to the microsecond, not rounded
    f.chan = 3;
    f.id = 0xFFFFFFFFu;  // only the identifier's own bits are written
    f.flags = CL_EXT;
    f.len = 12;          // a length above 8 is written as 8
    memset(f.data, 0xA5, 8);
    ASSERT_NE(0u, cl_fmt_candump(buf, sizeof buf, &f));
    EXPECT_STREQ("(1436509052.249713) can3 1FFFFFFF#A5A5A5A5A5A5A5A5\n", buf);
    f = cl_frame{};
    f.t_ns = 5000;
    f.id = 0xFFF;
    f.flags = CL_TX;
    ASSERT_NE(0u, cl_fmt_candump(buf, sizeof buf, &f));
    EXPECT_STREQ("(0000000000.000005) can0 7FF# T\n", buf);
    // Too small a buffer gives nothing rather than a cut line.
    EXPECT_EQ(0u, cl_fmt_candump(buf, 20, &f));
    // An error frame without classes is a bus error.
    f.flags = CL_ERR;
    f.id = 0;
    ASSERT_NE(0u, cl_fmt_candump(buf, sizeof buf, &f));
    EXPECT_STREQ("(0000000000.000005) can0 20000080#\n", buf);

    // ASC times are never negative, channels count from 1.
    f = cl_frame{};
    f.id = 0x12;
    f.len = 1;
    f.data[0] = 7;
    f.chan = 1;
    f.flags = CL_TX;
    f.t_ns = 4000000000LL;
    ASSERT_NE(0u, cl_fmt_asc_frame(buf, sizeof buf, 5000000000LL, &f));
    EXPECT_STREQ("   0.000000 2  12              Tx   d 1 07\n", buf);
    f.chan = 0;
    f.flags = 0;
    f.t_ns = 12345678901000LL;
    ASSERT_NE(0u, cl_fmt_asc_frame(buf, sizeof buf, 0, &f));
    EXPECT_STREQ("12345.678901 1  12              Rx   d 1 07\n", buf);

    EXPECT_EQ(CL_FMT_CANDUMP, cl_format_of_name("/a/b.LoG"));
    EXPECT_EQ(CL_FMT_ASC, cl_format_of_name("x.asc"));
    EXPECT_EQ(CL_FMT_BLF, cl_format_of_name("x.Blf"));
    EXPECT_EQ(CL_FMT_AUTO, cl_format_of_name("x.asc.txt"));
    EXPECT_EQ(CL_FMT_AUTO, cl_format_of_name("log"));
}

// TRC files of every version with a line of each message type, as the
// format's description shows them: frames, error frames and remote frames
// read, status and user events skipped and counted, bad lines counted with
// their number; times from $STARTTIME when there is one.
TEST(Canlog, TrcVersionsAndMessageTypes)
{
    Read r = read_mem(";##########\r\n"
                      ";   Start time: 11.09.2002 16:00:20.682\r\n"
                      "     1)      1841  0001 8 00 11 22 33 44 55 66 77\r\n"
                      "     2)      1842  0008 4 ERROR 00 19 08 08\r\n"
                      "     3)      1843 FFFFFFFF 4 00 00 00 04 -- -- -- -- BUSLIGHT\r\n"
                      "     4)      1844  0100 3 RTR\r\n"
                      "     5)    1845.5 12345678 2 AA BB\r\n"
                      "     6)      1846  0100 3 11 22\r\n",
                      CL_FMT_AUTO);
    ASSERT_EQ(4u, r.f.size());
    EXPECT_EQ(0, r.has_date);
    EXPECT_EQ(1841000000LL, r.f[0].t_ns);
    EXPECT_EQ("0011223344556677", data_of(r.f[0]));
    EXPECT_EQ(CL_ERR, r.f[1].flags);
    EXPECT_EQ("00190808", data_of(r.f[1]));
    EXPECT_EQ(CL_RTR, r.f[2].flags);
    EXPECT_EQ(3, r.f[2].len);
    EXPECT_EQ(CL_EXT, r.f[3].flags);
    EXPECT_EQ(0x12345678u, r.f[3].id);
    EXPECT_EQ(1845500000LL, r.f[3].t_ns);
    EXPECT_EQ(1u, r.st.skipped);
    EXPECT_EQ(1u, r.st.bad);
    EXPECT_STREQ("line 8: fewer data bytes than the length says", r.st.first_bad);

    const int64_t start11 = 1048510352483997000LL;  // 37704.5364870833
    r = read_mem(";$FILEVERSION=1.1\n;$STARTTIME=37704.5364870833\n"
                 "1) 1059.9 Rx 0300 2 00 04\n"
                 "2) 1298.9 Tx 0400 0\n"
                 "3) 1346.8 Warng FFFFFFFF 4 00 00 00 04 BUSLIGHT\n"
                 "4) 1349.2 Error 0008 4 00 19 08 08\n"
                 "5) 1352.7 Rx 0100 3 RTR\n"
                 "6) 1352.8 Qx 0100 0\n",
                 CL_FMT_TRC);
    ASSERT_EQ(4u, r.f.size());
    EXPECT_EQ(1, r.has_date);
    EXPECT_EQ(start11 + 1059900000LL, r.f[0].t_ns);
    EXPECT_EQ(CL_TX, r.f[1].flags);
    EXPECT_EQ(CL_ERR, r.f[2].flags);
    EXPECT_EQ(CL_RTR, r.f[3].flags);
    EXPECT_EQ(1u, r.st.skipped);
    EXPECT_STREQ("line 8: unknown message type", r.st.first_bad);

    r = read_mem(";$FILEVERSION=1.2\n;$STARTTIME=39878.6772258947;\n"
                 "1) 1059.900 2 Tx 0300 1 AB\n"
                 ";$FILEVERSION=1.3\n"
                 "     2)      6357.213 3  Rx        0401 -  8    00 00 00 00 00 00 00 01\n",
                 CL_FMT_TRC);
    ASSERT_EQ(2u, r.f.size());
    EXPECT_EQ(1, r.f[0].chan);
    EXPECT_EQ(CL_TX, r.f[0].flags);
    EXPECT_EQ(2, r.f[1].chan);
    EXPECT_EQ("0000000000000001", data_of(r.f[1]));
    EXPECT_EQ(0u, r.st.bad) << r.st.first_bad;

    const std::string v20 = ";$FILEVERSION=2.0\n;$STARTTIME=42209.4075997106\n"
                            ";$COLUMNS=N,O,T,I,d,l,D\n"
                            "1 1059.900 DT 0300 Rx 7 00 00 00 00 04 00 00\n"
                            "5 1334.416 FD 0500 Tx 12 01 02 03 04 05 06 07 08 09 0A 0B 0C\n"
                            "6 1334.522 ER Rx 04 00 02 00 00\n"
                            "7 1334.531 ST Rx 00 00 00 08\n"
                            "8 1334.643 EC Rx 02 02\n"
                            "9 1335.156 DT 18EFC034 Tx 8 01 02 03 04 05 06 07 08\n"
                            "10 1336.543 RR 0100 Rx 3\n";
    r = read_mem(v20, CL_FMT_TRC, true);
    EXPECT_EQ(0u, r.st.bad) << r.st.first_bad;
    ASSERT_EQ(5u, r.f.size());
    EXPECT_EQ(CL_FDF | CL_TX, r.f[1].flags);
    EXPECT_EQ(12, r.f[1].len);
    EXPECT_EQ(CL_ERR, r.f[2].flags);
    EXPECT_EQ("0400020000", data_of(r.f[2]));
    EXPECT_EQ(CL_EXT | CL_TX, r.f[3].flags);
    EXPECT_EQ(CL_RTR, r.f[4].flags);
    EXPECT_EQ(2u, r.st.skipped);
    r = read_mem(v20, CL_FMT_TRC, false);
    EXPECT_EQ(4u, r.f.size());
    EXPECT_EQ(1u, r.st.skipped_fd);

    const int64_t start21 = 1399460967047854000LL;  // 41766.4648963872
    r = read_mem(";$FILEVERSION=2.1\r\n;$STARTTIME=41766.4648963872\r\n"
                 ";$COLUMNS=N,O,T,B,I,d,R,L,D\r\n"
                 "1 1059.900 DT 1 0300 Rx - 2 00 04\r\n"
                 "2 1334.416 FD 2 0500 Tx - 9 01 02 03 04 05 06 07 08 09 0A 0B 0C\r\n"
                 "3 1334.417 FB 1 0501 Rx - 1 01\r\n"
                 "4 1334.418 FE 1 0502 Rx - 0\r\n"
                 "5 1334.419 BI 1 12345678 Rx - 15\r\n"
                 "6 1334.222 ER 1 - Rx - 5 04 00 02 00 00\r\n"
                 "7 1334.224 EV 1 User-defined event for bus 1\r\n"
                 "8 1334.225 EV - User-defined event for all busses\r\n"
                 "9 1334.231 ST 1 - Rx - 4 00 00 00 08\r\n"
                 "11 1334.643 EC 1 - Rx - 2 02 02\r\n"
                 "13 1336.543 RR 3 0100 Rx - 3\r\n"
                 "14 1336.544 XX 3 0100 Rx - 3\r\n"
                 "15 1336.545 DT 0 0100 Rx - 0\r\n"
                 "16 1336.546 DT 1 0800 Rx - 0\r\n"
                 "17 1336.547 FD 1 0100 Rx - 9 01\r\n",
                 CL_FMT_AUTO, true);
    EXPECT_EQ(4u, r.st.skipped);
    EXPECT_EQ(5u, r.st.bad);
    EXPECT_STREQ("line 8: fewer data bytes than the length says", r.st.first_bad);
    ASSERT_EQ(6u, r.f.size());
    EXPECT_EQ(start21 + 1059900000LL, r.f[0].t_ns);
    EXPECT_EQ(1, r.f[1].chan);
    EXPECT_EQ(CL_FDF | CL_TX, r.f[1].flags);
    EXPECT_EQ("0102030405060708090A0B0C", data_of(r.f[1]));
    EXPECT_EQ(CL_FDF | CL_BRS, r.f[2].flags);
    EXPECT_EQ(CL_FDF | CL_ESI, r.f[3].flags);
    EXPECT_EQ(CL_ERR, r.f[4].flags);
    EXPECT_EQ(CL_RTR, r.f[5].flags);
    EXPECT_EQ(2, r.f[5].chan);
    EXPECT_EQ(3, r.f[5].len);

    // Columns in another order.
    r = read_mem(";$FILEVERSION=2.1\n;$COLUMNS=N,O,B,T,d,I,L,D\n1 2.5 4 DT Tx 1ABCD 1 7F\n",
                 CL_FMT_TRC);
    ASSERT_EQ(1u, r.f.size());
    EXPECT_EQ(2500000LL, r.f[0].t_ns);
    EXPECT_EQ(3, r.f[0].chan);
    EXPECT_EQ(CL_EXT | CL_TX, r.f[0].flags);
    EXPECT_EQ(0x1ABCDu, r.f[0].id);
}

// Our TRC 2.1 lines as the format describes them, CAN FD among them, and
// a start time that reads back to the millisecond.
TEST(Canlog, TrcLinesWeWrite)
{
    char buf[CL_LINE_MAX];
    cl_frame f{};
    f.t_ns = 5001234567LL;
    f.id = 0x12345678;
    f.chan = 1;
    f.flags = CL_EXT | CL_FDF | CL_BRS | CL_TX;
    f.len = 12;
    for (int i = 0; i < 12; i++)
        f.data[i] = (uint8_t)(i + 1);
    ASSERT_NE(0u, cl_fmt_trc_frame(buf, sizeof buf, 7, 5000000000LL, &f));
    EXPECT_STREQ("      7         1.234 FB  2 12345678 Tx -  9    01 02 03 04 05 06 07 08 09 "
                 "0A 0B 0C\r\n",
                 buf);
    f.flags = CL_FDF | CL_ESI;
    f.id = 0x7FF;
    f.len = 0;
    ASSERT_NE(0u, cl_fmt_trc_frame(buf, sizeof buf, 8, 0, &f));
    EXPECT_STREQ("      8      5001.234 FE  2     07FF Rx -  0   \r\n", buf);
    f.flags = CL_RTR;
    f.len = 3;
    ASSERT_NE(0u, cl_fmt_trc_frame(buf, sizeof buf, 9, 0, &f));
    EXPECT_STREQ("      9      5001.234 RR  2     07FF Rx -  3   \r\n", buf);

    const int64_t start = 1700000000123000000LL;
    char head[1024];
    ASSERT_NE(0u, cl_fmt_trc_header(head, sizeof head, start));
    std::string text = std::string(head) + "1 0.001 DT 1 0001 Rx - 0\r\n";
    EXPECT_EQ(0u, text.find(";$FILEVERSION=2.1\r\n;$STARTTIME=45244.925927349537\r\n"
                            ";$COLUMNS=N,O,T,B,I,d,R,L,D\r\n"));
    Read r = read_mem(text, CL_FMT_AUTO);
    ASSERT_EQ(1u, r.f.size());
    EXPECT_EQ(start + 1000, r.f[0].t_ns);
    EXPECT_EQ(CL_FMT_TRC, cl_format_of_name("x.TRC"));
}

}  // namespace
