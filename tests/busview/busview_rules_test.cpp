// The display filter's syntax and the frame bit lengths behind the bus
// load, tested on their own.
#include <gtest/gtest.h>

#include <random>
#include <string>

#include "busview.h"

namespace {

bool parse(const char *text, bv_filter *f, std::string *msg = nullptr)
{
    char buf[512];
    int rc = bv_filter_parse(text, f, buf, sizeof buf);
    if (msg)
        *msg = buf;
    return rc == 0;
}

TEST(BusviewFilter, IdentifiersAndRanges)
{
    bv_filter f = {};
    ASSERT_TRUE(parse("100-1FF, 7E8, 18DAF110", &f));
    ASSERT_EQ(3, f.ids.n);
    EXPECT_TRUE(bv_filter_match(&f, 0x100, 0));
    EXPECT_TRUE(bv_filter_match(&f, 0x1FF, 0));
    EXPECT_FALSE(bv_filter_match(&f, 0x200, 0));
    EXPECT_FALSE(bv_filter_match(&f, 0xFF, 0));
    EXPECT_TRUE(bv_filter_match(&f, 0x7E8, 0));
    EXPECT_TRUE(bv_filter_match(&f, 0x18DAF110, 0));
    EXPECT_FALSE(bv_filter_match(&f, 0x18DAF111, 0));

    ASSERT_TRUE(parse("  0x100 - 0X1ff ;;7e8\t,", &f));
    ASSERT_EQ(2, f.ids.n);
    EXPECT_EQ(0x100u, f.ids.lo[0]);
    EXPECT_EQ(0x1FFu, f.ids.hi[0]);
    EXPECT_EQ(0x7E8u, f.ids.lo[1]);

    ASSERT_TRUE(parse("", &f));
    EXPECT_EQ(0, f.ids.n);
    EXPECT_TRUE(bv_filter_match(&f, 0x1FFFFFFF, 0));
    ASSERT_TRUE(parse("1FFFFFFF", &f));

    // The format is chosen apart from the identifiers, by the FDF flag.
    ASSERT_TRUE(parse("100", &f));
    f.formats = BV_FORMATS_FD;
    EXPECT_TRUE(bv_filter_match(&f, 0x100, ZK_FRAME_FDF | ZK_FRAME_BRS));
    EXPECT_FALSE(bv_filter_match(&f, 0x100, ZK_FRAME_EFF));
    EXPECT_FALSE(bv_filter_match(&f, 0x101, ZK_FRAME_FDF));
    f.formats = BV_FORMATS_CLASSIC;
    EXPECT_TRUE(bv_filter_match(&f, 0x100, ZK_FRAME_RTR));
    EXPECT_FALSE(bv_filter_match(&f, 0x100, ZK_FRAME_FDF));
}

TEST(BusviewFilter, BadTextIsRefusedWithAMessageAndNoChange)
{
    bv_filter f = {};
    ASSERT_TRUE(parse("7E8", &f));
    std::string msg;
    for (const char *bad : {"1FG", "100-", "-100", "100-1FF-200", "7E8 x", "0x", "12.5"}) {
        EXPECT_FALSE(parse(bad, &f, &msg)) << bad;
        EXPECT_NE(std::string::npos, msg.find("Example")) << bad << ": " << msg;
    }
    EXPECT_FALSE(parse("200, 300-200", &f, &msg));
    EXPECT_NE(std::string::npos, msg.find("300-200")) << msg;
    EXPECT_FALSE(parse("20000000", &f, &msg));
    EXPECT_NE(std::string::npos, msg.find("1FFFFFFF")) << msg;
    EXPECT_FALSE(parse("FFFFFFFFFFFFFFFFFFFF1", &f, &msg));
    // The filter in force stays what it was.
    ASSERT_EQ(1, f.ids.n);
    EXPECT_EQ(0x7E8u, f.ids.lo[0]);

    std::string many;
    for (int i = 0; i <= BV_FILTER_MAX; i++)
        many += std::to_string(i) + ",";
    EXPECT_FALSE(parse(many.c_str(), &f, &msg));
    many.erase(many.rfind(std::to_string(BV_FILTER_MAX)));
    EXPECT_TRUE(parse(many.c_str(), &f, &msg)) << msg;
    EXPECT_EQ(BV_FILTER_MAX, f.ids.n);
}

TEST(BusviewBits, FrameLengthsOnTheWire)
{
    const uint8_t zero[8] = {0};
    // All-zero standard frame: 34 bits up to the CRC, a stuff bit after
    // every five equal bits (6), and 13 bits of delimiters, EOF and IFS.
    EXPECT_EQ(53u, bv_frame_bits(0, 0, 0, zero).nominal);
    // A remote frame carries no data field whatever its length code.
    EXPECT_LT(bv_frame_bits(0x123, ZK_FRAME_RTR, 8, zero).nominal, 47u + 64u);

    std::mt19937 rng(7);
    for (int i = 0; i < 2000; i++) {
        uint8_t data[8];
        for (uint8_t &b : data)
            b = (uint8_t)rng();
        uint8_t len = (uint8_t)(rng() % 9);
        bool ext = rng() & 1;
        uint32_t id = ext ? rng() & 0x1FFFFFFF : rng() & 0x7FF;
        uint32_t unstuffed = (ext ? 67u : 47u) + 8u * len;
        uint32_t stuffable = unstuffed - 13u;  // SOF up to the CRC's end
        uint32_t bits = bv_frame_bits(id, ext ? ZK_FRAME_EFF : 0, len, data).nominal;
        ASSERT_GE(bits, unstuffed);
        ASSERT_LE(bits, unstuffed + (stuffable - 1) / 4) << id << " " << (int)len;
    }
}

// A CAN FD frame: its arbitration and tail at the nominal rate, with BRS
// the rest at the data rate; the same bits in all without BRS.
TEST(BusviewBits, FdFramesSplitBetweenTheTwoRates)
{
    std::mt19937 rng(11);
    for (uint8_t len : {0, 8, 12, 16, 20, 64}) {
        uint8_t data[64];
        for (uint8_t &b : data)
            b = (uint8_t)rng();
        for (bool ext : {false, true}) {
            uint8_t flags = ZK_FRAME_FDF | (ext ? ZK_FRAME_EFF : 0);
            bv_bits slow = bv_frame_bits(0x123, flags, len, data);
            bv_bits fast = bv_frame_bits(0x123, flags | ZK_FRAME_BRS, len, data);
            EXPECT_EQ(0u, slow.data);
            EXPECT_EQ(slow.nominal, fast.nominal + fast.data) << (int)len;
            // SOF, identifier and control bits up to BRS, the 13-bit tail.
            uint32_t arb = ext ? 33u : 16u;
            EXPECT_GE(fast.nominal, arb + 13u);
            EXPECT_LE(fast.nominal, arb + 13u + arb / 4u);
            // ESI, DLC, data, stuff count, CRC and its fixed stuff bits.
            uint32_t crc = len > 16 ? 21u + 7u : 17u + 6u;
            uint32_t body = 5u + 8u * len + 4u + crc;
            EXPECT_GE(fast.data, body);
            EXPECT_LE(fast.data, body + (5u + 8u * len) / 4u + 1u);
        }
    }
}

TEST(BusviewBits, BitRatesOfTheIndexTable)
{
    EXPECT_EQ(0u, bv_baud_bps(0));   // manual: unknown
    EXPECT_EQ(10000u, bv_baud_bps(1));
    EXPECT_EQ(125000u, bv_baud_bps(5));
    EXPECT_EQ(500000u, bv_baud_bps(7));
    EXPECT_EQ(1000000u, bv_baud_bps(9));
    EXPECT_EQ(0u, bv_baud_bps(10));
    EXPECT_EQ(0u, bv_baud_bps(-1));

    // The bus load of a CAN FD channel: data phases at the data rate, or at
    // the nominal rate when the data rate is not known.
    nb_chan_status st = {};
    st.baud_index = 7;
    st.fd = NB_FD_ISO;
    st.data_kbit = 2000;
    EXPECT_DOUBLE_EQ(2.0, bv_bus_seconds(500000, 2000000, &st));
    st.data_kbit = 0;
    EXPECT_DOUBLE_EQ(5.0, bv_bus_seconds(500000, 2000000, &st));
    st.baud_index = 0;
    EXPECT_EQ(0.0, bv_bus_seconds(500000, 0, &st));
}

TEST(BusviewFormat, TimesAndDeltas)
{
    char buf[64];
    bv_fmt_time(buf, sizeof buf, 12010000, 2000000, 0);
    EXPECT_STREQ("10.010000", buf);
    bv_fmt_time(buf, sizeof buf, 1000000, 2000000, 0);
    EXPECT_STREQ("-1.000000", buf);
    bv_fmt_ms(buf, sizeof buf, 10000);
    EXPECT_STREQ("10.000", buf);
    bv_fmt_ms(buf, sizeof buf, -1);
    EXPECT_STREQ("", buf);
    bv_fmt_time(buf, sizeof buf, 1000000LL * 86400 * 365 * 50 + 123456, 0, 1);
    EXPECT_EQ(15u, strlen(buf)) << buf;
    EXPECT_STREQ(".123456", buf + 8);
}

}  // namespace
