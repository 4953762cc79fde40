// Counters and checksums against worked public examples: the check values
// and sample tables of AUTOSAR's CRC library, and the E2E protocol's
// profile 1, 2 and 5 examples (as also used by the autosar-e2e Python
// package's tests).
#include <gtest/gtest.h>
#include <string.h>

#include <vector>

#include "e2e.h"

namespace {

using Bytes = std::vector<uint8_t>;

TEST(E2eCrc, CheckValuesAndTheCrcLibrarysSampleTables)
{
    const uint8_t check[] = {'1', '2', '3', '4', '5', '6', '7', '8', '9'};
    EXPECT_EQ(0x4B, e2e_crc8_j1850(check, 9));
    EXPECT_EQ(0xDF, e2e_crc8h2f(check, 9));
    EXPECT_EQ(0x29B1, e2e_crc16_ccitt(check, 9));
    struct { Bytes in; uint8_t j1850, h2f; uint16_t ccitt; } rows[] = {
        {{0x00, 0x00, 0x00, 0x00}, 0x59, 0x12, 0x84C0},
        {{0xF2, 0x01, 0x83}, 0x37, 0xC2, 0xD374},
        {{0x0F, 0xAA, 0x00, 0x55}, 0x79, 0xC6, 0x2023},
        {{0x00, 0xFF, 0x55, 0x11}, 0xB8, 0x77, 0xB8F9},
        {{0x33, 0x22, 0x55, 0xAA, 0xBB, 0xCC, 0xDD, 0xEE, 0xFF}, 0xCB, 0x11, 0xF53F},
        {{0x92, 0x6B, 0x55}, 0x8C, 0x33, 0x0745},
        {{0xFF, 0xFF, 0xFF, 0xFF}, 0x74, 0x6C, 0x1D0F},
    };
    for (const auto &r : rows) {
        EXPECT_EQ(r.j1850, e2e_crc8_j1850(r.in.data(), r.in.size()));
        EXPECT_EQ(r.h2f, e2e_crc8h2f(r.in.data(), r.in.size()));
        EXPECT_EQ(r.ccitt, e2e_crc16_ccitt(r.in.data(), r.in.size()));
    }
}

// Two frames of zeros protected in a row: counter 0, then 1.
std::vector<Bytes> protect_twice(e2e_config c, unsigned len, uint64_t first = 0)
{
    e2e_state st{first};
    std::vector<Bytes> out;
    for (int i = 0; i < 2; i++) {
        Bytes d(len, 0);
        EXPECT_EQ(0, e2e_protect(&c, &st, d.data(), len));
        out.push_back(d);
    }
    return out;
}

TEST(E2eProfiles, TheProtocolsExamplesForProfiles1And2And5)
{
    e2e_config c;
    memset(&c, 0, sizeof c);
    e2e_defaults(&c, E2E_P1);
    c.data_id = 0x123;
    struct { uint8_t mode; Bytes first, second; } p1[] = {
        {E2E_P1_BOTH, {0xCC, 0x00}, {0x91, 0x01}},
        {E2E_P1_ALT, {0xCE, 0x00}, {0x02, 0x01}},
        {E2E_P1_LOW, {0xCE, 0x00}, {0x93, 0x01}},
        {E2E_P1_NIBBLE, {0x2A, 0x10}, {0x77, 0x11}},
    };
    for (const auto &x : p1) {
        c.p1_mode = x.mode;
        auto f = protect_twice(c, 8);
        EXPECT_EQ(x.first, Bytes(f[0].begin(), f[0].begin() + 2)) << (int)x.mode;
        EXPECT_EQ(x.second, Bytes(f[1].begin(), f[1].begin() + 2)) << (int)x.mode;
    }

    // Profile 2: data IDs 0x01..0x10, counter 1 over zeros gives 0x1B.
    memset(&c, 0, sizeof c);
    e2e_defaults(&c, E2E_P2);
    for (int i = 0; i < 16; i++)
        c.id_list[i] = (uint8_t)(i + 1);
    auto p2 = protect_twice(c, 8, 1);
    EXPECT_EQ((Bytes{0x1B, 0x01, 0, 0, 0, 0, 0, 0}), p2[0]);
    for (int i = 0; i < 16; i++)
        c.id_list[i] = (uint8_t)i;
    e2e_state st{1};
    Bytes d{0, 1, 2, 3, 4, 5, 6, 7};
    ASSERT_EQ(0, e2e_protect(&c, &st, d.data(), 8));
    EXPECT_EQ((Bytes{0x61, 0x01, 2, 3, 4, 5, 6, 7}), d);
    ASSERT_EQ(0, e2e_protect(&c, &st, d.data(), 8));
    EXPECT_EQ((Bytes{0xBC, 0x02, 2, 3, 4, 5, 6, 7}), d);

    // Profile 5: data ID 0x1234, CRC at bytes 0-1 low first, counter byte 2;
    // and the same header moved to byte 8 of 16.
    memset(&c, 0, sizeof c);
    e2e_defaults(&c, E2E_P5);
    c.data_id = 0x1234;
    auto p5 = protect_twice(c, 8);
    EXPECT_EQ((Bytes{0x1C, 0xCA, 0x00, 0, 0, 0, 0, 0}), p5[0]);
    EXPECT_EQ((Bytes{0xCF, 0x8D, 0x01, 0, 0, 0, 0, 0}), p5[1]);
    c.check.start = 64;
    c.counter.start = 80;
    p5 = protect_twice(c, 16);
    EXPECT_EQ((Bytes{0, 0, 0, 0, 0, 0, 0, 0, 0x28, 0x91, 0x00, 0, 0, 0, 0, 0}), p5[0]);
    EXPECT_EQ((Bytes{0, 0, 0, 0, 0, 0, 0, 0, 0xFB, 0xD6, 0x01, 0, 0, 0, 0, 0}), p5[1]);
}

TEST(E2eCounter, StepsWrapsAndLiesWhereItsFieldSaysBeforeTheChecksumIsTaken)
{
    // A 3-bit Motorola counter at bits 6..4 of byte 1, step 3, wrap 7; an
    // XOR of bytes 1-3 into a 4-bit Intel field at byte 0's low nibble.
    e2e_config c;
    memset(&c, 0, sizeof c);
    c.kind = E2E_XOR;
    c.counter = e2e_field{14, 3, 1};
    c.step = 3;
    c.wrap = 7;
    c.check = e2e_field{0, 4, 0};
    c.bytes = 0x0E;
    e2e_state st{5};
    std::vector<uint64_t> seen;
    for (int i = 0; i < 8; i++) {
        Bytes d{0xF0, 0x81, 0x10, 0x03, 0xAA};
        ASSERT_EQ(0, e2e_protect(&c, &st, d.data(), 5));
        uint64_t n = e2e_get(d.data(), 5, c.counter);
        seen.push_back(n);
        EXPECT_EQ(0x81 | n << 4, d[1]);
        EXPECT_EQ(0xF0 | ((d[1] ^ 0x10 ^ 0x03) & 0x0F), d[0]);   // upper nibble kept
        EXPECT_EQ(0xAA, d[4]);
    }
    EXPECT_EQ((std::vector<uint64_t>{5, 1, 4, 0, 3, 6, 2, 5}), seen);

    // CRC8 SAE J1850 of every byte but its own, Motorola 8-bit field.
    c.kind = E2E_CRC8;
    c.counter.length = 0;
    c.check = e2e_field{31, 8, 1};
    c.bytes = 0;
    Bytes d{0x0F, 0xAA, 0x00, 0x00, 0x55};
    ASSERT_EQ(0, e2e_protect(&c, &st, d.data(), 5));
    EXPECT_EQ(0x79, d[3]);

    // Fields that do not fit are refused, and nothing is written.
    const char *why = nullptr;
    c.check = e2e_field{40, 8, 0};
    Bytes before = d;
    EXPECT_EQ(-1, e2e_check(&c, 5, &why));
    EXPECT_STREQ("the checksum lies outside the frame", why);
    EXPECT_EQ(-1, e2e_protect(&c, &st, d.data(), 5));
    EXPECT_EQ(before, d);
    e2e_defaults(&c, E2E_P5);
    EXPECT_EQ(-1, e2e_check(&c, 2, &why));
    c.counter.length = 0;
    c.kind = E2E_P1;
    c.check = e2e_field{0, 8, 0};
    EXPECT_EQ(-1, e2e_check(&c, 8, &why));
    EXPECT_STREQ("the profile's counter has 4 bits", why);
}

}  // namespace
