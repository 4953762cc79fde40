// J1939: identifiers, broadcast and connection transfers reassembled,
// malformed transfers reported (and the next one decoded), NAME and DM1.
#include <gtest/gtest.h>

#include "frames.h"

using dgt::frame;
using dgt::j_log;

namespace {

struct decoder {
    j_log log;
    j19_decoder *d = j19_new(nullptr, j_log::take, &log);
    ~decoder() { j19_free(d); }
    void feed(const char *text, uint64_t t_ms) { dg_frame f = frame(text, t_ms); j19_feed(d, &f); }
};

// The identifier's fields as the kernel's J1939 header lays them out
// (/usr/include/linux/can/j1939.h: PS bits 0-7, PF 8-15, DP 16).
TEST(J1939, IdentifierFields)
{
    j19_id id;
    j19_split(0x0CF00400, &id);   /* EEC1 from the engine */
    EXPECT_EQ(id.prio, 3);
    EXPECT_EQ(id.pgn, 61444u);
    EXPECT_EQ(id.sa, 0x00);
    EXPECT_EQ(id.da, J19_GLOBAL);
    j19_split(0x18EA00F9, &id);   /* a request to address 0 */
    EXPECT_EQ(id.pgn, J19_PGN_REQUEST);
    EXPECT_EQ(id.da, 0x00);
    EXPECT_EQ(id.sa, 0xF9);
    EXPECT_TRUE(id.pdu1);
    j19_split(0x1DFE1234, &id);   /* data page 1, PDU2 */
    EXPECT_EQ(id.pgn, 0x1FE12u);
    EXPECT_EQ(j19_make_id(6, J19_PGN_REQUEST, 0x00, 0xF9), 0x18EA00F9u);
    EXPECT_EQ(j19_make_id(3, 61444, 0x55, 0x00), 0x0CF00400u);
}

// A DM1 of four DTCs in a broadcast, from the EAO 09 series keypad manual
// (https://manualshive.com/ru/manual/eao/09-series/520516?page=33):
// undervoltage 0x7F260 and buttons 3, 4, 5 stuck (0x7F073..0x7F075).
TEST(J1939, BroadcastDm1WorkedExample)
{
    decoder t;
    t.feed("1CECFF80#201200 03FFCAFE00", 0);
    t.feed("1CEBFF80#01000073F0E20374", 50);
    t.feed("1CEBFF80#02F0E20775F0E203", 100);
    t.feed("1CEBFF80#0360F2E403FFFFFF", 150);
    ASSERT_EQ(t.log.evs.size(), 1u);
    const dgt::j_ev &m = t.log.evs[0];
    ASSERT_EQ(m.ev.code, J19_MESSAGE);
    EXPECT_EQ(m.ev.pgn, J19_PGN_DM1);
    EXPECT_EQ(m.ev.via, J19_BAM);
    EXPECT_EQ(m.ev.sa, 0x80);
    ASSERT_EQ(m.data.size(), 18u);
    j19_dm dm;
    j19_dtc dtc[8];
    ASSERT_EQ(j19_dm_decode(m.data.data(), 18, &dm, dtc, 8), 0);
    EXPECT_EQ(dm.mil + dm.rsl + dm.awl + dm.pl, 0);
    ASSERT_EQ(dm.ndtc, 4u);
    const uint32_t spn[4] = {0x7F073, 0x7F074, 0x7F075, 0x7F260};
    const uint8_t fmi[4] = {2, 2, 2, 4}, oc[4] = {3, 7, 3, 3};
    for (int i = 0; i < 4; i++) {
        EXPECT_EQ(dtc[i].spn, spn[i]);
        EXPECT_EQ(dtc[i].fmi, fmi[i]);
        EXPECT_EQ(dtc[i].oc, oc[i]);
    }
    char text[256];
    j19_describe(J19_PGN_DM1, m.data.data(), 18, 0, nullptr, text, sizeof text);
    EXPECT_STREQ(text, "DM1: MIL off, RSL off, AWL off, PL off, SPN 520307 FMI 2 OC 3, SPN 520308 FMI 2 OC 7, "
                       "SPN 520309 FMI 2 OC 3, SPN 520800 FMI 4 OC 3");
    // A single-frame DM1: amber lamp on, no DTC.
    const auto none = dgt::bytes("0400000000 00FFFF");
    ASSERT_EQ(j19_dm_decode(none.data(), 8, &dm, dtc, 8), 0);
    EXPECT_EQ(dm.awl, 1);
    EXPECT_EQ(dm.ndtc, 0u);
}

TEST(J1939, ConnectionWithRetransmission)
{
    decoder t;
    t.feed("1CEC2080#10140003 0200EF00", 0);     /* RTS: 20 bytes, 3 packets, 2 per CTS */
    t.feed("1CEC8020#110201FFFF00EF00", 5);      /* CTS 2 from 1 */
    t.feed("1CEB2080#01010203040506 07", 10);
    t.feed("1CEB2080#0208090A0B0C0D0E", 11);
    t.feed("1CEC8020#110102FFFF00EF00", 15);     /* packet 2 again */
    t.feed("1CEB2080#0208090A0B0C0D0E", 16);
    t.feed("1CEC8020#110103FFFF00EF00", 20);
    t.feed("1CEB2080#030F101112131 4FF", 21);
    t.feed("1CEC8020#13140003FF00EF00", 25);     /* EndOfMsgAck after the end: nothing more */
    ASSERT_EQ(t.log.evs.size(), 1u);
    EXPECT_EQ(t.log.evs[0].ev.via, J19_RTS);
    EXPECT_EQ(t.log.evs[0].ev.pgn, 0xEF00u);
    EXPECT_EQ(t.log.evs[0].ev.da, 0x20);
    EXPECT_EQ(t.log.evs[0].data, dgt::bytes("0102030405060708090A0B0C0D0E0F1011121314"));
}

TEST(J1939, MalformedTransfersReportedAndRecovered)
{
    decoder t;
    auto next_ok = [&](uint64_t at) {
        t.feed("1CECFF00#200900 02FFEBFE00", at);
        t.feed("1CEBFF00#01414243444546 47", at + 1);
        t.feed("1CEBFF00#024849FFFFFFFFFF", at + 2);
        ASSERT_EQ(t.log.evs.back().ev.code, J19_MESSAGE);
        EXPECT_EQ(t.log.evs.back().data, dgt::bytes("414243444546474849"));
    };
    // A lost packet: reported with what came, the rest of it unreported.
    t.feed("1CECFF00#201400 03FFEBFE00", 0);
    t.feed("1CEBFF00#01414243444546 47", 1);
    t.feed("1CEBFF00#03414243444546 47", 2);
    t.feed("1CEBFF00#04414243444546 47", 3);
    ASSERT_EQ(t.log.evs.size(), 1u);
    EXPECT_EQ(t.log.evs[0].ev.code, J19_E_SEQUENCE);
    EXPECT_EQ(t.log.evs[0].ev.expect, 2u);
    EXPECT_EQ(t.log.evs[0].ev.got, 3u);
    EXPECT_EQ(t.log.evs[0].data.size(), 7u);
    next_ok(10);
    // Aborted by the receiver, and timed out.
    t.feed("1CEC2080#10140003 0200EF00", 100);
    t.feed("1CEC8020#FF03FFFFFF00EF00", 101);
    EXPECT_EQ(t.log.evs.back().ev.code, J19_E_ABORT);
    EXPECT_EQ(t.log.evs.back().ev.reason, 3);
    t.feed("1CECFF00#201400 03FFEBFE00", 200);
    t.feed("1CEBFF00#01414243444546 47", 201);
    const size_t waiting = t.log.evs.size();
    j19_tick(t.d, 951 * 1000);
    EXPECT_EQ(t.log.evs.size(), waiting);
    j19_tick(t.d, 952 * 1000);
    EXPECT_EQ(t.log.evs.back().ev.code, J19_E_TIMEOUT);
    next_ok(1000);
    // A new broadcast cuts the old one off; a count that does not fit the size is refused.
    t.feed("1CECFF00#201400 03FFEBFE00", 2000);
    next_ok(2001);
    EXPECT_EQ(t.log.evs[t.log.evs.size() - 2].ev.code, J19_E_INTERRUPTED);
    t.feed("1CECFF00#201400 02FFEBFE00", 2010);
    EXPECT_EQ(t.log.evs.back().ev.code, J19_E_BAD_CM);
    // Data packets with no transfer: one report for the run.
    const size_t before = t.log.evs.size();
    t.feed("1CEBFF33#01414243444546 47", 3000);
    t.feed("1CEBFF33#02414243444546 47", 3001);
    EXPECT_EQ(t.log.evs.size(), before + 1);
    EXPECT_EQ(t.log.evs.back().ev.code, J19_E_UNEXPECTED_DT);
    next_ok(3002);
}

// Fields laid out as in the kernel's J1939 header (bit 0-20 identity,
// 21-31 manufacturer, ... 63 arbitrary address capable).
TEST(J1939, AddressClaimName)
{
    const auto raw = dgt::bytes("4523612 42A814493");
    j19_name n;
    j19_name_decode(raw.data(), &n);
    EXPECT_EQ(n.identity, 0x12345u);
    EXPECT_EQ(n.manufacturer, 291);
    EXPECT_EQ(n.ecu_instance, 2);
    EXPECT_EQ(n.function_instance, 5);
    EXPECT_EQ(n.function, 0x81);
    EXPECT_EQ(n.vehicle_system, 0x22);
    EXPECT_EQ(n.vehicle_system_instance, 3);
    EXPECT_EQ(n.industry_group, 1);
    EXPECT_EQ(n.arbitrary_address, 1);
}

}  // namespace
