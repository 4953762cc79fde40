// The SLCAN codec on its own: frame lines both ways, commands, the
// acceptance register translation and the line assembler.
#include <gtest/gtest.h>

#include <cstring>
#include <random>
#include <string>
#include <vector>

#include "slcan_proto.h"

using namespace zk_slcan;

namespace {

zk_frame make(uint32_t id, uint8_t flags, std::vector<uint8_t> data)
{
    zk_frame f;
    memset(&f, 0, sizeof f);
    f.id = id;
    f.flags = flags;
    f.len = uint8_t(data.size());
    for (size_t i = 0; i < data.size(); ++i) f.data[i] = data[i];
    return f;
}

std::string enc(const zk_frame &f)
{
    char buf[kCmdMax];
    const size_t n = encode_frame(buf, sizeof buf, f);
    return std::string(buf, n);
}

// Takes the line's own storage: Line.text points into it.
Line parse(const char *s)
{
    Line ln;
    parse_line(s, strlen(s), &ln);
    return ln;
}

}  // namespace

TEST(SlcanProto, EncodesEveryFrameKindAndLength)
{
    EXPECT_EQ(enc(make(0x123, 0, {})), "t1230\r");
    EXPECT_EQ(enc(make(0x7FF, 0, {0xDE, 0xAD, 0xBE, 0xEF})), "t7FF4DEADBEEF\r");
    EXPECT_EQ(enc(make(0x1ABCDEF0, ZK_FRAME_EFF, {1, 2, 3, 4, 5, 6, 7, 8})),
              "T1ABCDEF080102030405060708\r");
    EXPECT_EQ(enc(make(0x001, ZK_FRAME_RTR, {9, 9, 9})), "r0013\r");
    EXPECT_EQ(enc(make(0x00000005, ZK_FRAME_EFF | ZK_FRAME_RTR, {0, 0})), "R000000052\r");
    // Out of range: nothing is produced.
    EXPECT_EQ(enc(make(0x800, 0, {})), "");
    EXPECT_EQ(enc(make(0x20000000, ZK_FRAME_EFF, {})), "");
    zk_frame f = make(0x1, 0, {});
    f.len = 9;
    EXPECT_EQ(enc(f), "");
    char small[6];
    EXPECT_EQ(encode_frame(small, sizeof small, make(0x123, 0, {1})), 0u);
}

TEST(SlcanProto, DecodesWhatItEncodes)
{
    for (int len = 0; len <= 8; ++len) {
        for (unsigned fl : {0u, ZK_FRAME_EFF, ZK_FRAME_RTR, ZK_FRAME_EFF | ZK_FRAME_RTR}) {
            const uint8_t flags = uint8_t(fl);
            std::vector<uint8_t> data;
            for (int i = 0; i < len; ++i) data.push_back(uint8_t(0x11 * (i + 1) + len));
            const uint32_t id = (flags & ZK_FRAME_EFF) ? 0x1F00AB00u + uint32_t(len) : 0x700u + uint32_t(len);
            zk_frame f = make(id, flags, data);
            if (flags & ZK_FRAME_RTR) memset(f.data, 0, sizeof f.data);
            std::string line = enc(f);
            ASSERT_FALSE(line.empty());
            line.pop_back();  // the CR
            const Line ln = parse(line.c_str());
            ASSERT_EQ(ln.kind, LineKind::Frame) << line;
            EXPECT_EQ(memcmp(&ln.frame, &f, sizeof f), 0) << line;
            EXPECT_FALSE(ln.has_ts);
        }
    }
}

TEST(SlcanProto, DecodesTimeStampsAndRemoteFramesWithDataDigits)
{
    Line ln = parse("t12320102EA5F");
    ASSERT_EQ(ln.kind, LineKind::Frame);
    EXPECT_TRUE(ln.has_ts);
    EXPECT_EQ(ln.ts_ms, 0xEA5F);
    EXPECT_EQ(ln.frame.data[1], 0x02);

    ln = parse("T000001000");
    ASSERT_EQ(ln.kind, LineKind::Frame);
    EXPECT_FALSE(ln.has_ts);

    // Remote frames: data digits after the length mean nothing.
    ln = parse("r1232AABB");
    ASSERT_EQ(ln.kind, LineKind::Frame);
    EXPECT_EQ(ln.frame.len, 2);
    EXPECT_EQ(ln.frame.data[0], 0);
    ln = parse("R1FFFFFFF30000001234");
    ASSERT_EQ(ln.kind, LineKind::Frame);
    EXPECT_TRUE(ln.has_ts);
    EXPECT_EQ(ln.ts_ms, 0x1234);

    // Lower-case hex is read too.
    ln = parse("t7ff1ab");
    ASSERT_EQ(ln.kind, LineKind::Frame);
    EXPECT_EQ(ln.frame.id, 0x7FFu);
    EXPECT_EQ(ln.frame.data[0], 0xAB);
}

TEST(SlcanProto, MalformedFramesAreInvalid)
{
    for (const char *bad : {"t", "t12", "t1239", "t123", "t1232AA", "t1232AABBC", "t800", "t12G0",
                            "T2000000000", "T1234567", "t1231XY", "r12310", "t1230123"})
        EXPECT_EQ(parse(bad).kind, LineKind::Invalid) << bad;
}

TEST(SlcanProto, DecodesAnswersAndStatusLines)
{
    EXPECT_EQ(parse("").kind, LineKind::Empty);
    EXPECT_EQ(parse("\a").kind, LineKind::Bell);
    EXPECT_EQ(parse("z").kind, LineKind::AckStd);
    EXPECT_EQ(parse("Z").kind, LineKind::AckExt);
    Line ln = parse("V1013");
    ASSERT_EQ(ln.kind, LineKind::Version);
    EXPECT_EQ(std::string(ln.text, ln.text_len), "1013");
    ln = parse("NA123");
    ASSERT_EQ(ln.kind, LineKind::Serial);
    EXPECT_EQ(std::string(ln.text, ln.text_len), "A123");
    ln = parse("FA4");
    ASSERT_EQ(ln.kind, LineKind::Status);
    EXPECT_EQ(ln.status, 0xA4);
    EXPECT_EQ(parse("F4").kind, LineKind::Invalid);
    EXPECT_EQ(parse("FXY").kind, LineKind::Invalid);
    ln = parse("sb256255");
    ASSERT_EQ(ln.kind, LineKind::State);
    EXPECT_EQ(ln.state, 'b');
    EXPECT_EQ(ln.rec, 256);
    EXPECT_EQ(ln.tec, 255);
    EXPECT_EQ(parse("sx000000").kind, LineKind::Invalid);
    EXPECT_EQ(parse("sa00000").kind, LineKind::Invalid);
    EXPECT_EQ(parse("e1a").kind, LineKind::BusError);
    EXPECT_EQ(parse("zz").kind, LineKind::Invalid);
    EXPECT_EQ(parse("?!").kind, LineKind::Invalid);
}

TEST(SlcanProto, FormatsCommands)
{
    char b[kCmdMax];
    ASSERT_GT(fmt_rate(b, sizeof b, 8), 0u);
    EXPECT_STREQ(b, "S8\r");
    EXPECT_EQ(fmt_rate(b, sizeof b, 9), 0u);
    EXPECT_EQ(fmt_rate(b, sizeof b, -1), 0u);
    ASSERT_GT(fmt_btr(b, sizeof b, 0x43, 0x2F), 0u);
    EXPECT_STREQ(b, "s432F\r");
    ASSERT_GT(fmt_reg(b, sizeof b, 'm', 0x001FFFFF), 0u);
    EXPECT_STREQ(b, "m001FFFFF\r");
    ASSERT_GT(fmt_simple(b, sizeof b, ""), 0u);
    EXPECT_STREQ(b, "\r");
    char tiny[3];
    EXPECT_EQ(fmt_reg(tiny, sizeof tiny, 'M', 0), 0u);
    EXPECT_STREQ(tiny, "");
    EXPECT_EQ(index_for_bitrate(800000), 7);
    EXPECT_EQ(index_for_bitrate(83333), -1);
    EXPECT_EQ(predefined_bitrate(0), 10000u);
}

TEST(SlcanProto, FilterRegistersForOneFormat)
{
    Registers r = filter_registers(0x123, 0x7FF, true, false);
    EXPECT_EQ(r.acr, 0x123u << 21);
    EXPECT_EQ(r.amr, 0x001FFFFFu);
    r = filter_registers(0x18DA00F1, 0x1FFFFF00, false, true);
    EXPECT_EQ(r.acr, 0x18DA0000u << 3);
    EXPECT_EQ(r.amr, ~(0x1FFFFF00u << 3));
    r = filter_registers(0xFFFF, 0, true, true);
    EXPECT_EQ(r.acr, 0u);
    EXPECT_EQ(r.amr, 0xFFFFFFFFu);
}

// The registers are a pre-filter: every frame the filter accepts must pass
// them, whatever the formats. Checked against an SJA1000 single-filter
// model on random filters and identifiers.
TEST(SlcanProto, FilterRegistersNeverRejectAnAcceptedFrame)
{
    std::mt19937 rng(7);
    const auto hw_pass = [](const Registers &r, uint32_t id, bool ext, bool rtr) {
        const uint32_t word = ext ? (id << 3) | (rtr ? 4u : 0u) : (id << 21) | (rtr ? 1u << 20 : 0u);
        return ((word ^ r.acr) & ~r.amr) == 0;
    };
    int accepted = 0;
    for (int i = 0; i < 20000; ++i) {
        const uint32_t code = rng() & 0x1FFFFFFF;
        uint32_t mask = rng() & rng() & 0x1FFFFFFF;
        if (i % 3 == 0) mask &= 0x7FF;
        const bool s = i % 4 != 1, e = i % 4 != 2;
        const Registers r = filter_registers(code, mask, s, e);
        for (int k = 0; k < 8; ++k) {
            const bool ext = (k & 1) ? e : !s ? true : false;
            const uint32_t lim = ext ? 0x1FFFFFFFu : 0x7FFu;
            // Half the identifiers are built to match.
            uint32_t id = rng() & lim;
            if (k & 2) id = ((code & mask) | (id & ~mask)) & lim;
            if ((id & mask) != (code & mask)) continue;
            ++accepted;
            ASSERT_TRUE(hw_pass(r, id, ext, k & 4)) << std::hex << "code " << code << " mask " << mask
                                                    << " id " << id << " ext " << ext;
        }
    }
    EXPECT_GT(accepted, 1000);
    // With one format the registers do filter: a wrong identifier fails.
    const Registers r = filter_registers(0x100, 0x700, true, false);
    EXPECT_FALSE(hw_pass(r, 0x200, false, false));
    EXPECT_TRUE(hw_pass(r, 0x1FF, false, false));
}

TEST(SlcanProto, AssemblerSurvivesSplitReadsGarbageAndBells)
{
    LineAssembler a;
    std::vector<std::pair<std::string, bool>> got;
    const auto sink = [&](const char *s, size_t n, bool ok) { got.emplace_back(std::string(s, n), ok); };
    const std::string stream = std::string("t1230\rT0000000118\r\az\r\n") + "t12\x01" "30\r" + "xx\a" +
                               std::string(kLineMax + 120, 'A') + "\r" + "V1013\r";
    // Every split point gives the same lines.
    std::vector<std::pair<std::string, bool>> whole;
    a.feed(stream.data(), stream.size(), sink);
    whole.swap(got);
    const std::vector<std::pair<std::string, bool>> expect = {
        {"t1230", true}, {"T0000000118", true}, {"\a", true}, {"z", true},
        {"t1230", false}, {"xx", false}, {"\a", true},
        {std::string(kLineMax, 'A'), false}, {"V1013", true}};
    EXPECT_EQ(whole, expect);
    for (size_t cut = 1; cut < stream.size(); cut += 3) {
        LineAssembler b;
        got.clear();
        b.feed(stream.data(), cut, sink);
        b.feed(stream.data() + cut, stream.size() - cut, sink);
        ASSERT_EQ(got, expect) << "cut at " << cut;
    }
    EXPECT_GT(a.garbage_bytes(), 100u);
    // reset() drops a partial line.
    got.clear();
    a.feed("t12", 3, sink);
    a.reset();
    a.feed("3\r", 2, sink);
    ASSERT_EQ(got.size(), 1u);
    EXPECT_EQ(got[0].first, "3");
}
