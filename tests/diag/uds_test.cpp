// UDS and OBD-II: code tables and formulas against public worked
// examples, descriptions, and requests matched with their responses.
#include <gtest/gtest.h>

#include "frames.h"
#include "test_env.h"

using dgt::frame;

namespace {

std::string describe(const char *hex, int detail = 0)
{
    const auto b = dgt::bytes(hex);
    char text[512];
    uds_describe(b.data(), (uint32_t)b.size(), detail, nullptr, text, sizeof text);
    return text;
}

// The negative response codes as the py-uds documentation lists them
// (https://uds.readthedocs.io/en/stable/pages/knowledge_base/diagnostic_message.html#negative-response-code).
TEST(Uds, NegativeResponseCodes)
{
    const struct { uint8_t code; const char *name; } nrcs[] = {
        {0x10, "generalReject"}, {0x11, "serviceNotSupported"}, {0x12, "subFunctionNotSupported"},
        {0x13, "incorrectMessageLengthOrInvalidFormat"}, {0x14, "responseTooLong"},
        {0x21, "busyRepeatRequest"}, {0x22, "conditionsNotCorrect"}, {0x24, "requestSequenceError"},
        {0x25, "noResponseFromSubnetComponent"}, {0x26, "failurePreventsExecutionOfRequestedAction"},
        {0x31, "requestOutOfRange"}, {0x33, "securityAccessDenied"}, {0x34, "authenticationRequired"},
        {0x35, "invalidKey"}, {0x36, "exceedNumberOfAttempts"}, {0x37, "requiredTimeDelayNotExpired"},
        {0x70, "uploadDownloadNotAccepted"}, {0x73, "wrongBlockSequenceCounter"},
        {0x78, "requestCorrectlyReceived-ResponsePending"}, {0x7E, "subFunctionNotSupportedInActiveSession"},
        {0x7F, "serviceNotSupportedInActiveSession"}, {0x93, "voltageTooLow"},
    };
    for (const auto &n : nrcs)
        EXPECT_STREQ(uds_nrc_name(n.code), n.name) << std::hex << (int)n.code;
    EXPECT_EQ(uds_nrc_name(0x00), nullptr);
    EXPECT_EQ(describe("7F2231"), "ReadDataByIdentifier: NRC 31 requestOutOfRange");
    EXPECT_EQ(describe("7F0112"), "OBD 01 Show current data: NRC 12 subFunctionNotSupported");
    EXPECT_EQ(describe("7F"), "7F");
}

// Mode 01 formulas as the PID table at http://www.dashdyno.net/tech/PID.html
// gives them; the engine speeds from two captured answers:
// "41 0C 0B 30 ;this is 716rpm" (https://geeksrepos.com/HavardLine/ODB2) and
// "7E8 04 41 0C 0D 80" (https://www.b4x.com/android/forum/tags/rev-counter/).
TEST(Obd, ModeOneFormulas)
{
    EXPECT_EQ(describe("410C0B30"), "OBD 01 Show current data: 0C Engine speed = 716 rpm");
    EXPECT_EQ(describe("410C0D80"), "OBD 01 Show current data: 0C Engine speed = 864 rpm");
    const struct { const char *data; double value; } cases[] = {
        {"0C 1AF8", 1726.0},     /* ((A*256)+B)/4 */
        {"05 7B", 83.0},         /* */
        {"06 80", 0.0},          /* (A-128)*100/128 */
        {"06 00", -100.0},
        {"0E 00", -64.0},        /* A/2-64 */
        {"10 FFFF", 655.35},     /* ((A*256)+B)/100 */
        {"11 FF", 100.0},        /* A*100/255 */
        {"0A FF", 765.0},        /* A*3 */
        {"42 2EE0", 12.0},       /* ((A*256)+B)/1000 */
        {"5E 0064", 5.0},        /* ((A*256)+B)/20 */
    };
    for (const auto &c : cases) {
        const auto b = dgt::bytes(c.data);
        double v;
        ASSERT_EQ(obd_pid_value(b[0], b.data() + 1, (uint32_t)b.size() - 1, &v), 0) << c.data;
        EXPECT_NEAR(v, c.value, 1e-9) << c.data;
    }
    double v;
    EXPECT_EQ(obd_pid_value(0x0C, dgt::bytes("1A").data(), 1, &v), -1);
    // Several PIDs in one answer, and one this table does not know.
    EXPECT_EQ(describe("410C1AF80D32 05 7B"),
              "OBD 01 Show current data: 0C Engine speed = 1726 rpm, 0D Vehicle speed = 50 km/h, "
              "05 Engine coolant temperature = 83 \u00b0C");
    EXPECT_EQ(describe("410D32EE0102"), "OBD 01 Show current data: 0D Vehicle speed = 50 km/h, EE 01 02");
    // PIDs supported: "41 00 BF 9F F9 91" from the same capture.
    EXPECT_EQ(describe("4100BF9FF991"),
              "OBD 01 Show current data: 00 PIDs supported [01-20]: 01 03 04 05 06 07 08 09 0C 0D 0E 0F 10 "
              "11 12 13 14 15 18 19 1C 20");
    EXPECT_EQ(describe("4303 0143 0196 C123"), "OBD 03 Show stored DTCs: 3 DTC: P0143 P0196 U0123");
}

// Values read with a point under a locale with a decimal comma, as every
// other number of the program.
// A machine without a German locale gets one made for the test (LOCPATH).
TEST(Obd, ValuesWithAPointInAnyLocale)
{
    ASSERT_TRUE(nbtest::german_numeric_locale()) << "localedef (package locales)";
    const std::string text = describe("4110FFFF");
    nbtest::restore_numeric_locale();
    EXPECT_NE(std::string::npos, text.find("= 655.35 g/s")) << text;
}

TEST(Uds, ServicesDescribed)
{
    // CommunicationControl from the trace in
    // https://blog.csdn.net/qq_41011769/article/details/138250163 ("03 28 03 03" / "02 68 03").
    EXPECT_EQ(describe("280303"), "CommunicationControl disableRxAndTx: 03");
    EXPECT_EQ(describe("6803"), "CommunicationControl disableRxAndTx");
    EXPECT_EQ(describe("1003"), "DiagnosticSessionControl extendedDiagnosticSession");
    EXPECT_EQ(describe("5003003201F4"), "DiagnosticSessionControl extendedDiagnosticSession: P2 50 ms, P2* 5000 ms");
    EXPECT_EQ(describe("3E80"), "TesterPresent zeroSubFunction (suppressPosRsp)");
    EXPECT_EQ(describe("2701"), "SecurityAccess requestSeed level 1");
    EXPECT_EQ(describe("67011234"), "SecurityAccess requestSeed level 1: seed 12 34");
    EXPECT_EQ(describe("2702ABCD"), "SecurityAccess sendKey level 1: key AB CD");
    EXPECT_EQ(describe("22F190F18C"), "ReadDataByIdentifier: F190 VIN, F18C ECUSerialNumber");
    EXPECT_EQ(describe("62F19057565A5A5A314A5A58573030303030 31"),
              "ReadDataByIdentifier: F190 VIN = \"WVZZZ1JZXW000001\"");
    EXPECT_EQ(describe("62F18603"), "ReadDataByIdentifier: F186 ActiveDiagnosticSession = 03 extendedDiagnosticSession");
    EXPECT_EQ(describe("62F40C1AF8"), "ReadDataByIdentifier: 0C Engine speed = 1726 rpm");
    EXPECT_EQ(describe("5902FF0123452F"), "ReadDTCInformation reportDTCByStatusMask: 1 DTC: P0123-45");
    EXPECT_EQ(describe("5902FF0123452F", 1), "ReadDTCInformation reportDTCByStatusMask\n1 DTC\nP0123-45 status 2F");
    EXPECT_EQ(describe("3101FF00"), "RoutineControl startRoutine: routine FF00");
    EXPECT_EQ(describe("BA01"), "SID BA: 01");
    EXPECT_TRUE(uds_suppresses_response(dgt::bytes("3E80").data(), 2));
    EXPECT_FALSE(uds_suppresses_response(dgt::bytes("2281").data(), 2));   /* no sub-function */
}

// Requests and responses as the diagnostics page sees them.
struct conversation {
    std::vector<std::pair<int, uint64_t>> evs;    /* kind, handle */
    uint64_t next = 1;
    static uint64_t take(void *ctx, const dg_event *ev)
    {
        conversation *c = static_cast<conversation *>(ctx);
        c->evs.push_back({ev->kind, ev->handle});
        return ev->kind == DG_REQUEST ? c->next++ : 0;
    }
};

TEST(Diag, ResponsesMatchTheirRequests)
{
    conversation c;
    dg_decoder *d = dg_new(nullptr, conversation::take, &c);
    auto feed = [&](const char *text, uint64_t t_ms) {
        dg_frame f = frame(text, t_ms);
        dg_feed(d, &f);
    };
    using P = std::pair<int, uint64_t>;
    feed("7E0#0322F190", 0);
    feed("7E8#037F2278", 10);          /* response pending: the time is P2* now */
    dg_tick(d, 2000 * 1000);
    feed("7E8#0462F19001", 3000);
    EXPECT_EQ(c.evs, (std::vector<P>{{DG_REQUEST, 0}, {DG_PENDING, 1}, {DG_RESPONSE, 1}}));
    // A functional request answered by two ECUs.
    c.evs.clear();
    feed("7DF#02010D", 4000);
    feed("7E8#03410D32", 4010);
    feed("7E9#03410D33", 4011);
    dg_tick(d, 6000 * 1000);
    EXPECT_EQ(c.evs, (std::vector<P>{{DG_REQUEST, 0}, {DG_RESPONSE, 2}, {DG_RESPONSE, 2}}));
    // No answer; an answer not asked for; no answer wanted.
    c.evs.clear();
    feed("7E1#021003", 7000);
    feed("7E9#0462F19101", 7001);
    dg_tick(d, 8000 * 1000);
    EXPECT_EQ(c.evs.size(), 2u);
    dg_tick(d, 8001 * 1000);
    feed("7E0#023E80", 9000);
    dg_tick(d, 20000 * 1000);
    EXPECT_EQ(c.evs, (std::vector<P>{{DG_REQUEST, 0}, {DG_RESPONSE, 0}, {DG_NO_RESPONSE, 3}, {DG_REQUEST, 0}}));
    // A transfer error and J1939 on the same stream.
    c.evs.clear();
    feed("7E8#2100000000000000", 21000);
    feed("18FECA00#0400000000 00FFFF", 21001);
    EXPECT_EQ(c.evs, (std::vector<P>{{DG_TP_ERROR, 0}, {DG_J1939, 0}}));
    dg_free(d);
}

}  // namespace
