// The gateway's rule engine: frames through rules against what Debian's
// 6.1 kernel's can-gw made of the same frames and rules (written down from
// a guest run; the guest test compares the two live), AUTOSAR E2E
// examples through a rule, loops, hops, counters and rules as text.
#include <gtest/gtest.h>
#include <string.h>

#include <string>
#include <vector>

#include "cangw.h"

namespace {

// candump's form: 123#11223344, 80000123 for extended, ##F for FD.
std::string text_of(const zk_fdframe &f)
{
    char b[200];
    int n = snprintf(b, sizeof b, (f.flags & ZK_FRAME_EFF) ? "%08X" : "%03X", f.id);
    if (f.flags & ZK_FRAME_FDF)
        n += snprintf(b + n, sizeof b - n, "##%X",
                      (f.flags & ZK_FRAME_BRS ? 1 : 0) | (f.flags & ZK_FRAME_ESI ? 2 : 0));
    else
        n += snprintf(b + n, sizeof b - n, (f.flags & ZK_FRAME_RTR) ? "#R" : "#");
    for (int i = 0; i < f.len; i++)
        n += snprintf(b + n, sizeof b - n, "%02X", f.data[i]);
    return b;
}

zk_fdframe frame(const std::string &t)
{
    zk_fdframe f{};
    const size_t h = t.find('#');
    f.id = uint32_t(strtoul(t.substr(0, h).c_str(), nullptr, 16));
    if (h > 3) f.flags |= ZK_FRAME_EFF;
    size_t p = h + 1;
    if (t[p] == '#') {
        f.flags |= ZK_FRAME_FDF;
        const int fl = t[p + 1] - '0';
        f.flags |= (fl & 1 ? ZK_FRAME_BRS : 0) | (fl & 2 ? ZK_FRAME_ESI : 0);
        p += 2;
    } else if (t[p] == 'R') {
        f.flags |= ZK_FRAME_RTR;
        p++;
    }
    for (; p + 1 < t.size(); p += 2) f.data[f.len++] = uint8_t(strtoul(t.substr(p, 2).c_str(), nullptr, 16));
    return f;
}

std::string through(const std::string &rule, const std::string &in)
{
    cangw_rule r;
    const char *why = nullptr;
    if (cangw_rule_parse(("-s 0 -d 1 " + rule).c_str(), &r, &why) != 0) return std::string("refused: ") + why;
    zk_fdframe f = frame(in);
    const int k = cangw_rule_apply(&r, nullptr, &f);
    return k == 1 ? text_of(f) : k == 0 ? "-" : "deleted";
}

const std::string Z8 = "0000000000000000";
const std::string P1D = "1D";  // CRC8 SAE J1850's polynomial

TEST(CangwRule, FramesComeOutAsTheKernelsGatewayMadeThem)
{
    const std::string D = "123#1122334455667788";
    struct { std::string rule, in, out; } rows[] = {
        // Checksums: from the start, counted from the end, backwards; CRC8 before XOR.
        {"-m OR:D:0.0." + Z8 + " -x 0:6:7:00", D, "123#1122334455667700"},
        {"-m OR:D:0.0." + Z8 + " -x 6:0:7:00", D, "123#1122334455667700"},
        {"-m OR:D:0.0." + Z8 + " -x -8:-2:-1:5A", D, "123#112233445566775A"},
        {"-m OR:D:0.0." + Z8 + " -x -8:-2:-1:5A", "124#11223344", "124#11223344"},
        {"-m OR:D:0.0." + Z8 + " -x 0:6:7:00", "124#112233", "124#112233"},
        {"-m OR:D:0.0." + Z8 + " -c 0:6:7:FF:FF:" + P1D, D, "123#11223344556677D0"},
        {"-m OR:D:0.0." + Z8 + " -c -8:-2:-1:FF:FF:" + P1D, D, "123#11223344556677D0"},
        {"-m OR:D:0.0." + Z8 + " -c -8:-2:-1:FF:FF:" + P1D, "124#1122334455", "124#1122334455"},
        {"-m OR:D:0.0." + Z8 + " -c -2:-8:-1:00:00:" + P1D, D, "123#112233445566779A"},
        {"-m OR:D:0.0." + Z8 + " -c 1:-1:0:00:00:" + P1D, D, "123#2222334455667788"},
        {"-m OR:D:0.0." + Z8 + " -c 1:-1:0:00:00:" + P1D, "124#11223344", "124#41223344"},
        {"-m OR:D:0.0." + Z8 + " -c 0:6:7:FF:FF:" + P1D + " -p 1:42", D, "123#11223344556677EA"},
        {"-m OR:D:0.0." + Z8 + " -c 2:6:7:FF:FF:" + P1D + " -p 2:000102030405060708090A0B0C0D0E0F", D,
         "123#11223344556677F5"},
        {"-m OR:D:0.0." + Z8 + " -c 0:6:7:FF:FF:" + P1D + " -p 3", D, "123#112233445566777E"},
        {"-m OR:D:0.0." + Z8 + " -c 0:6:7:FF:FF:" + P1D + " -p 3", "1BCDE123#1122334455667788",
         "1BCDE123#11223344556677CC"},
        {"-m OR:D:0.0." + Z8 + " -c 0:6:7:FF:FF:" + P1D + " -x 0:7:6:00", D, "123#112233445566D0D0"},
        // Lengths: a classic DLC past 8 stays 8 bytes, past 15 the frame is deleted.
        {"-m SET:L:0.C." + Z8, D, "123#1122334455667788"},
        {"-m SET:L:0.14." + Z8, D, "deleted"},
        {"-m AND:L:0.3." + Z8, D, "123#"},
        {"-m OR:L:0.1." + Z8, "123#1122", "123#112200"},
        // The identifier with its EFF and RTR bits.
        {"-m SET:I:80000456.0." + Z8, D, "00000456#1122334455667788"},
        {"-m AND:I:7F.0." + Z8, "00001234#1122334455667788", "034#1122334455667788"},
        {"-m AND:I:7F.0." + Z8, "123#R", "023#"},
        {"-m OR:I:40000000.0." + Z8, "123#1122", "123#R1122"},
        // Filters, the inverse one and the kernel's standard-frames-only mask.
        {"-f 123~7FF", "123#11", "-"},
        {"-f 123~7FF", "124#11", "124#11"},
        {"-f 123~7FF", "00000123#11", "-"},
        {"-f 123:C00007FF", "00000123#11", "-"},
        {"-f 123:800007FF", "00000123#11", "-"},
        {"-f 123:800007FF", "123#11", "123#11"},
        {"-f 123~0", "123#11", "-"},
        // FD rules take FD frames only; FD flags; FD lengths; CRC8 from the end.
        {"", "123##0" + std::string("11"), "-"},
        {"-X", "123#11", "-"},
        {"-X -M SET:L:0.0.C." + std::string(128, '0'), "123##100112233445566778899AABBCCDDEEFF",
         "123##100112233445566778899AABB"},
        {"-X -M SET:L:0.0.41." + std::string(128, '0'), "123##0" + std::string(32, '1'), "deleted"},
        {"-X -M OR:F:0.3.0." + std::string(128, '0'), "123##0" + std::string(32, '1'), "123##3" + std::string(32, '1')},
        {"-X -M SET:F:0.4.0." + std::string(128, '0'), "123##1" + std::string(32, '1'), "123##0" + std::string(32, '1')},
        {"-X -M OR:D:0.0.0." + std::string(128, '0') + " -c -16:-2:-1:FF:FF:" + P1D,
         "123##0000102030405060708090A0B0C0D0E0F", "123##0000102030405060708090A0B0C0D0EC6"},
    };
    for (const auto &r : rows) EXPECT_EQ(r.out, through(r.rule, r.in)) << r.rule << " on " << r.in;
    // cangw's own refusals, kept.
    EXPECT_EQ("refused: a checksum needs a modification", through("-x 0:6:7:00", D));
    EXPECT_EQ("refused: a CRC8 index lies outside the frame", through("-m OR:D:0.0." + Z8 + " -c 0:8:7:0:0:1D", D));
}

TEST(CangwRule, E2eProfiles1And2RepairTheChecksumAndKeepTheFramesCounter)
{
    // Profile 1, data ID 0x123 both bytes: zeros with counter 0 -> CRC 0xCC,
    // counter 1 -> 0x91; profile 2, IDs 0..15: 00 01 02..07 -> 0x61.
    EXPECT_EQ("100#CC00000000000000", through("-E P1:123:0", "100#5500000000000000"));
    EXPECT_EQ("100#9101000000000000", through("-E P1:123:0", "100#5501000000000000"));
    EXPECT_EQ("100#6101020304050607",
              through("-E P2:000102030405060708090A0B0C0D0E0F", "100#FF01020304050607"));
    // After a change of the data by the rule's modifications.
    EXPECT_EQ("100#9101000000000000", through("-m AND:D:0.0.00FF000000000000 -E P1:123:0",
                                           "100#5501777777777777"));
}

struct Bus {
    cangw gw;
    std::vector<std::pair<uint16_t, zk_fdframe>> sent;
    int result = 0;
    static int send(void *ctx, uint16_t ch, const zk_fdframe *f)
    {
        Bus *b = static_cast<Bus *>(ctx);
        if (b->result < 0) return b->result;
        b->sent.push_back({ch, *f});
        return 0;
    }
    const cangw_ops ops{send};
    Bus(std::vector<std::string> rules, int channels = 2)
    {
        cangw_init(&gw, &ops, this);
        std::vector<cangw_rule> rs(rules.size());
        for (size_t i = 0; i < rules.size(); i++) {
            const char *why = nullptr;
            EXPECT_EQ(0, cangw_rule_parse(rules[i].c_str(), &rs[i], &why)) << rules[i] << ": " << why;
        }
        EXPECT_EQ(0, cangw_set_rules(&gw, rs.data(), unsigned(rs.size()), nullptr));
        for (int c = 0; c < channels; c++) cangw_set_channel(&gw, c, 1, 1, 0);
        cangw_start(&gw);
    }
    // Delivers what the gateway sent back to it as the host does: the echo
    // on its channel, and (one bus) the same frame received on the others.
    void echo(uint64_t t, bool one_bus)
    {
        auto s = sent;
        sent.clear();
        for (auto &cf : s) {
            cangw_frame(&gw, cf.first, 1, t, &cf.second);
            if (one_bus)
                for (uint16_t o = 0; o < 2; o++)
                    if (o != cf.first) cangw_frame(&gw, o, 0, t, &cf.second);
        }
    }
};

TEST(Cangw, ALoopOfTwoRulesStopsAtOnceAndIsCountedAndMoreHopsGoOneRoundFurther)
{
    for (bool one_bus : {false, true}) {
        Bus b({"-s 0 -d 1", "-s 1 -d 0"});
        if (one_bus) {
            cangw_set_bus(&b.gw, 0, 7);
            cangw_set_bus(&b.gw, 1, 7);
        }
        const zk_fdframe f = frame("321#1122");
        EXPECT_EQ(1, cangw_frame(&b.gw, 0, 0, 1000, &f));
        b.echo(1200, one_bus);
        EXPECT_TRUE(b.sent.empty());
        EXPECT_EQ(1u, b.gw.count[0].handled);
        EXPECT_EQ(1u, b.gw.count[1].deleted);
        EXPECT_EQ(one_bus ? 1u : 0u, b.gw.count[0].deleted);
        uint32_t med, worst;
        ASSERT_EQ(1, cangw_delay(&b.gw, &med, &worst));
        EXPECT_EQ(200u, med);
        EXPECT_EQ(200u, worst);
    }
    // Two hops allowed: the frame goes back once, then stops; a rule's own
    // limit of 1 stops it after one.
    Bus b({"-s 0 -d 1", "-s 1 -d 0"});
    b.gw.max_hops = 2;
    const zk_fdframe f = frame("321#1122");
    cangw_frame(&b.gw, 0, 0, 1000, &f);
    b.echo(1100, false);
    b.echo(1200, false);
    EXPECT_TRUE(b.sent.empty());
    EXPECT_EQ(1u, b.gw.count[1].handled);
    EXPECT_EQ(1u, b.gw.count[0].deleted);
    Bus l({"-s 0 -d 1 -l 1", "-s 1 -d 0"});
    l.gw.max_hops = 2;
    cangw_frame(&l.gw, 0, 0, 1000, &f);
    l.echo(1100, false);
    EXPECT_EQ(1u, l.gw.count[1].deleted);
    // Frames sent by others on the source (a sender's) are passed on, and an
    // unchanged periodic message every time, unless its channels share a
    // bus and it comes back at once.
    Bus o({"-s 0 -d 1"});
    EXPECT_EQ(1, cangw_frame(&o.gw, 0, 1, 1000, &f));
    for (uint64_t t = 2000; t < 5000; t += 1000) EXPECT_EQ(1, cangw_frame(&o.gw, 0, 0, t, &f));
    cangw_set_bus(&o.gw, 0, 1);
    cangw_set_bus(&o.gw, 1, 1);
    EXPECT_EQ(0, cangw_frame(&o.gw, 0, 0, 5000, &f));
    EXPECT_EQ(1, cangw_frame(&o.gw, 0, 0, 200000, &f));
}

TEST(Cangw, NothingBeforeStartAndDropsCountedForListenOnlyRefusalsAndFdToClassic)
{
    Bus b({"-s 0 -d 1", "-s 0 -d 2 -X", "-s 0 -d 2 -X -y"}, 3);
    cangw_set_channel(&b.gw, 2, 1, 0, 0);  // classic
    const zk_fdframe c = frame("100#01"), fd8 = frame("100##1" + std::string(16, 'A')),
                     fd12 = frame("100##0" + std::string(24, 'B'));
    cangw_stop(&b.gw);
    EXPECT_EQ(0, cangw_frame(&b.gw, 0, 0, 1, &c));
    cangw_start(&b.gw);
    EXPECT_EQ(1, cangw_frame(&b.gw, 0, 0, 2, &fd8));   // allowed: classic, 8 bytes
    ASSERT_EQ(1u, b.sent.size());
    EXPECT_EQ("100#AAAAAAAAAAAAAAAA", text_of(b.sent[0].second));
    EXPECT_EQ(0, cangw_frame(&b.gw, 0, 0, 3, &fd12));  // 12 bytes: dropped by both
    EXPECT_EQ(2u, b.gw.count[1].dropped);
    EXPECT_EQ(1u, b.gw.count[2].dropped);
    cangw_set_channel(&b.gw, 1, 1, 1, 1);  // listen-only
    EXPECT_EQ(0, cangw_frame(&b.gw, 0, 0, 4, &c));
    b.result = ZK_E_BUSOFF;
    cangw_set_channel(&b.gw, 1, 1, 1, 0);
    EXPECT_EQ(0, cangw_frame(&b.gw, 0, 0, 5, &c));
    EXPECT_EQ(2u, b.gw.count[0].dropped);
    EXPECT_EQ(0u, b.gw.count[0].handled);
}

TEST(CangwText, RulesReadBackAsWrittenAndTheKernelsFormIsCangws)
{
    const std::string texts[] = {
        "-s 0 -d 1 -l 2 -f 123~7FF -m AND:ID:7FF.0.FFFFFFFFFFFFFFFF -m SET:L:0.C.0000000000000000 "
        "-x -8:-2:-1:5A -c 0:6:7:FF:FF:1D -p 2:000102030405060708090A0B0C0D0E0F",
        "-s 2 -d 1 -X -y -f 80000000:80000000 -M OR:IFLD:0.3.0." + std::string(128, '0'),
        "-s 1 -d 0 -m XOR:D:0.0.0000000000000000 -E P1:123:3:0:8",
    };
    for (const std::string &t : texts) {
        cangw_rule r, back;
        const char *why = nullptr;
        ASSERT_EQ(0, cangw_rule_parse(t.c_str(), &r, &why)) << t << ": " << why;
        char buf[CANGW_TEXT_MAX];
        ASSERT_GT(cangw_rule_format(&r, 0, buf, sizeof buf), 0);
        EXPECT_EQ(t, buf);
        ASSERT_EQ(0, cangw_rule_parse(buf, &back, &why)) << why;
        EXPECT_EQ(0, memcmp(&r, &back, sizeof r));
    }
    cangw_rule r;
    ASSERT_EQ(0, cangw_rule_parse(texts[0].c_str(), &r, nullptr));
    char k[CANGW_TEXT_MAX];
    ASSERT_GT(cangw_rule_format(&r, 1, k, sizeof k), 0);
    EXPECT_EQ(0u, std::string(k).find("-l 2 -f 123~7FF -m AND:ID:7FF.0.FFFFFFFFFFFFFFFF")) << k;
    EXPECT_NE(nullptr, strstr(k, "-c 0:6:7:FF:FF:001D3A2774694E53")) << k;
    EXPECT_EQ(-1, cangw_rule_format(&r, 1, k, 100));
    // Channel 1 removed, 2 and 3 moved down: rules follow their channels.
    const int map[] = {0, -1, 1, 2};
    char t1[CANGW_TEXT_MAX] = "-s 3 -d 2 -f 123:7FF", t2[CANGW_TEXT_MAX] = "-s 0 -d 1", t3[CANGW_TEXT_MAX] = "-d 0 -s 5";
    EXPECT_EQ(1, cangw_rule_renumber(t1, sizeof t1, map, 4));
    EXPECT_STREQ("-s 2 -d 1 -f 123:7FF", t1);
    EXPECT_EQ(-1, cangw_rule_renumber(t2, sizeof t2, map, 4));
    EXPECT_STREQ("-s 0 -d 1", t2);
    EXPECT_EQ(0, cangw_rule_renumber(t3, sizeof t3, map, 4));
    const char *why = nullptr;
    for (const char *bad : {"-s 0 -d 0", "-s 0", "-s 0 -d 1 -m SET:Q:0.0.0000000000000000",
                            "-s 0 -d 1 -m SET:D:0.0.00", "-s 0 -d 1 -l 7", "-s 0 -d 1 -f 12",
                            "-s 0 -d 1 -m SET:F:0.0.0000000000000000", "-s 0 -d 1 -E P1:123"})
        EXPECT_EQ(-1, cangw_rule_parse(bad, &r, &why)) << bad;
}

}  // namespace
