// ISO-TP: reassembly of every length both ways with our own segmentation,
// classic and FD frames, addressing forms, pairs found in the traffic,
// malformed streams reported (and the next message decoded), and the
// sender's flow control.
#include <gtest/gtest.h>

#include "frames.h"

using dgt::frame;
using dgt::tp_log;

namespace {

struct decoder {
    tp_log log;
    itp_decoder *d;
    explicit decoder(const itp_config *cfg = nullptr) : d(itp_new(cfg, tp_log::take, &log)) {}
    ~decoder() { itp_free(d); }
    void feed(const char *text, uint64_t t_ms) { dg_frame f = frame(text, t_ms); itp_feed(d, &f); }
};

// Sends msg from one address to the other through segmentation, with the
// receiver's flow control after the first frame; returns the time after.
uint64_t send(itp_decoder *d, const std::vector<uint8_t> &msg, const itp_addr &from,
              const itp_addr &to, unsigned frame_len, uint64_t t_us)
{
    std::vector<itp_tx_frame> fr(itp_segment(msg.data(), (uint32_t)msg.size(), frame_len, &from, 0xAA,
                                             nullptr, 0, 0));
    itp_segment(msg.data(), (uint32_t)msg.size(), frame_len, &from, 0xAA, fr.data(), 0, (uint32_t)fr.size());
    auto put = [&](const itp_addr &a, const itp_tx_frame &x) {
        dg_frame f{};
        f.t_us = t_us += 100;
        f.id = a.id;
        f.flags = (a.ext ? DG_EXT : 0) | (frame_len > 8 ? DG_FDF : 0);
        f.len = x.len;
        memcpy(f.data, x.data, x.len);
        itp_feed(d, &f);
    };
    for (size_t i = 0; i < fr.size(); i++) {
        put(from, fr[i]);
        if (i == 0 && fr.size() > 1) {
            itp_tx_frame fc;
            itp_flow_control(&to, 0, 0, 0, 0xAA, &fc);
            put(to, fc);
        }
    }
    return t_us;
}

std::vector<uint8_t> pattern(size_t n, unsigned seed)
{
    std::vector<uint8_t> v(n);
    for (size_t i = 0; i < n; i++)
        v[i] = (uint8_t)(i * 7 + seed + (i >> 8));
    return v;
}

TEST(IsoTp, EveryLengthBothWaysClassicAndFd)
{
    decoder t;
    itp_pair p{};
    p.req = {0x123, 0, ITP_NORMAL, 0, 0};
    p.resp = {0x321, 0, ITP_NORMAL, 0, 0};
    ASSERT_GE(itp_add_pair(t.d, &p), 0);
    uint64_t t_us = 0;
    size_t want = 0;
    for (unsigned frame_len : {8u, 12u, 64u}) {
        for (uint32_t n = 1; n <= 4095; n += frame_len == 8 ? 1 : 13) {
            const bool back = n & 1;
            t_us = send(t.d, pattern(n, frame_len), back ? p.resp : p.req, back ? p.req : p.resp, frame_len, t_us);
            ASSERT_EQ(t.log.evs.size(), ++want) << "length " << n << " frames of " << frame_len;
            const dgt::tp_ev &e = t.log.evs.back();
            ASSERT_EQ(e.ev.code, ITP_MESSAGE);
            EXPECT_EQ(e.data, pattern(n, frame_len));
            EXPECT_EQ(e.ev.dir, back ? ITP_DIR_RESP : ITP_DIR_REQ);
            EXPECT_EQ(e.ev.fd, frame_len > 8);
        }
    }
    // Longer than a 12-bit length: the first frame's 32-bit escape.
    send(t.d, pattern(70000, 3), p.req, p.resp, 64, t_us);
    ASSERT_EQ(t.log.evs.back().ev.code, ITP_E_TOO_LONG);
    EXPECT_EQ(t.log.evs.back().ev.declared, 70000u);
    send(t.d, pattern(9000, 3), p.req, p.resp, 64, t_us + 1000000);
    EXPECT_EQ(t.log.evs.back().data, pattern(9000, 3));
}

TEST(IsoTp, ExtendedMixedAndFixedAddressing)
{
    decoder t;
    itp_pair ext{};
    ext.req = {0x6F1, 0, ITP_EXTENDED, 0x10, 0};
    ext.resp = {0x610, 0, ITP_EXTENDED, 0xF1, 0};
    ASSERT_GE(itp_add_pair(t.d, &ext), 0);
    send(t.d, pattern(100, 1), ext.resp, ext.req, 8, 0);
    ASSERT_EQ(t.log.evs.size(), 1u);
    EXPECT_EQ(t.log.evs[0].data, pattern(100, 1));
    // Another target address on the same identifier is another pair.
    t.feed("6F1#2003221234", 10);
    EXPECT_EQ(t.log.evs.size(), 1u);

    // 29-bit normal fixed (tester F1) and mixed addressing with its
    // address extension, taken up on sight.
    t.feed("18DA10F1#03221234", 20);
    t.feed("18DAF110#0462123401", 21);
    t.feed("18CE10F1#47023E00", 22);
    ASSERT_EQ(t.log.evs.size(), 4u);
    EXPECT_EQ(t.log.evs[1].ev.dir, ITP_DIR_REQ);
    EXPECT_EQ(t.log.evs[2].ev.dir, ITP_DIR_RESP);
    EXPECT_EQ(t.log.evs[2].data, dgt::bytes("62123401"));
    EXPECT_EQ(t.log.evs[3].ev.src.mode, ITP_MIXED);
    EXPECT_EQ(t.log.evs[3].data, dgt::bytes("3E00"));

    // The same identifier cannot be normal in one pair and extended in another.
    itp_pair clash{};
    clash.req = {0x6F1, 0, ITP_NORMAL, 0, 0};
    clash.resp = {0x6F9, 0, ITP_NORMAL, 0, 0};
    EXPECT_LT(itp_add_pair(t.d, &clash), 0);
}

// A VIN read over OBD-II: functional request, a 20-byte answer in a first
// frame and two consecutive frames. The layout (length 0x014, "49 02 01"
// and 17 characters over three frames) is the one shown in
// https://mcmap.net/q/925549/-unable-to-get-vin-number-response-from-obd-2-device
TEST(IsoTp, VinOverObdWorkedExample)
{
    decoder t;
    t.feed("7DF#0209025555555555", 0);
    t.feed("7E8#1014490201314434", 20);
    t.feed("7E0#3000005555555555", 21);
    t.feed("7E8#2147503030523535", 22);
    t.feed("7E8#2242313233343536", 23);
    ASSERT_EQ(t.log.evs.size(), 2u);
    EXPECT_EQ(t.log.evs[0].data, dgt::bytes("0902"));
    EXPECT_EQ(t.log.evs[1].data, dgt::bytes("490201 314434 47503030523535 42313233343536"));
    EXPECT_EQ(t.log.evs[1].ev.frames, 3u);
    char text[256];
    uds_describe(t.log.evs[1].data.data(), 20, 0, nullptr, text, sizeof text);
    EXPECT_STREQ(text, "OBD 09 Request vehicle information: VIN = \"1D4GP00R55B123456\"");
}

TEST(IsoTp, FdLengthEscapes)
{
    decoder t;
    // Single frame escape: length in the second byte (frames above 8 bytes only).
    t.feed("7E0##10000CCCCCCCCCCCCCCCCCCCC", 0);
    t.feed("7E0##100141122334455667788990011223344556677889900AAAA", 1);
    // First frame escape: 12-bit length 0, then 32 bits (here 256).
    t.feed("7E8##11000000001000102030405060708090A0B0C0D0E0F101112131415161718191A1B1C1D1E1F"
           "202122232425262728292A2B2C2D2E2F303132333435363738393A", 2);
    ASSERT_EQ(t.log.evs.size(), 2u);
    EXPECT_EQ(t.log.evs[0].ev.code, ITP_E_BAD_FRAME);
    EXPECT_EQ(t.log.evs[1].data.size(), 0x14u);
    EXPECT_EQ(t.log.evs[1].data[19], 0x00);
    t.feed("7E0#30000055", 3);
    t.feed("7E8##1213B3C3D3E3F404142434445464748494A4B4C4D4E4F505152535455565758595A5B5C5D5E5F"
           "606162636465666768696A6B6C6D6E6F70717273747576777879", 4);
    t.feed("7E8##1227A7B7C7D7E7F808182838485868788898A8B8C8D8E8F909192939495969798999A9B9C9D9E"
           "9FA0A1A2A3A4A5A6A7A8A9AAABACADAEAFB0B1B2B3B4B5B6B7B8", 5);
    t.feed("7E8##123B9BABBBCBDBEBFC0C1C2C3C4C5C6C7C8C9CACBCCCDCECFD0D1D2D3D4D5D6D7D8D9DADBDCDD"
           "DEDFE0E1E2E3E4E5E6E7E8E9EAEBECEDEEEFF0F1F2F3F4F5F6F7", 6);
    t.feed("7E8##124F8F9FAFBFCFDFEFF00CCCC", 7);
    ASSERT_EQ(t.log.evs.size(), 3u);
    const dgt::tp_ev &m = t.log.evs[2];
    ASSERT_EQ(m.ev.code, ITP_MESSAGE);
    ASSERT_EQ(m.data.size(), 256u);
    for (size_t i = 0; i < m.data.size(); i++)
        ASSERT_EQ(m.data[i], (uint8_t)(i + 1)) << i;
    // In a classic frame length 0 has no escape.
    t.feed("7E8#0003112233", 8);
    EXPECT_EQ(t.log.evs.back().ev.code, ITP_E_BAD_FRAME);
}

// Each fault is reported with the bytes received so far, and the message
// after it is decoded as usual.
TEST(IsoTp, MalformedStreamsReportedAndRecovered)
{
    decoder t;
    auto next_ok = [&](uint64_t at) {
        t.feed("7E8#03620102", at);
        ASSERT_EQ(t.log.evs.back().ev.code, ITP_MESSAGE);
        EXPECT_EQ(t.log.evs.back().data, dgt::bytes("620102"));
    };
    // A lost consecutive frame.
    t.feed("7E8#101462F190313233", 0);
    t.feed("7E0#300000", 1);
    t.feed("7E8#2134353637383940", 2);
    t.feed("7E8#2341424344454647", 3);
    t.feed("7E8#2441424344454647", 4);
    ASSERT_EQ(t.log.evs.size(), 1u);
    EXPECT_EQ(t.log.evs[0].ev.code, ITP_E_SEQUENCE);
    EXPECT_EQ(t.log.evs[0].ev.expect, 2u);
    EXPECT_EQ(t.log.evs[0].ev.got, 3u);
    EXPECT_EQ(t.log.evs[0].data, dgt::bytes("62F190313233 34353637383940"));
    next_ok(5);

    // The receiver's flow control says overflow: the message is dropped.
    t.feed("7E8#1FFF62F190313233", 10);
    t.feed("7E0#320000", 11);
    t.feed("7E8#2134353637383940", 12);
    EXPECT_EQ(t.log.evs[2].ev.code, ITP_E_OVERFLOW);
    EXPECT_EQ(t.log.evs[2].ev.declared, 0xFFFu);
    EXPECT_EQ(t.log.evs[3].ev.code, ITP_E_UNEXPECTED_CF);
    next_ok(13);

    // No consecutive frame within N_Cr, found by the tick.
    t.feed("7E8#101462F190313233", 100);
    t.feed("7E0#300000", 101);
    t.feed("7E8#2134353637383940", 102);
    itp_tick(t.d, 1102 * 1000);
    EXPECT_EQ(t.log.evs.size(), 5u);
    itp_tick(t.d, 1103 * 1000);
    EXPECT_EQ(t.log.evs.back().ev.code, ITP_E_TIMEOUT_CR);
    // No flow control within N_Bs, found by the next frame.
    t.feed("7E8#101462F190313233", 2000);
    next_ok(3001);
    EXPECT_EQ(t.log.evs[t.log.evs.size() - 2].ev.code, ITP_E_TIMEOUT_BS);

    // A new single frame cuts a message off.
    t.feed("7E8#101462F190313233", 4000);
    t.feed("7E0#300000", 4001);
    next_ok(4002);
    EXPECT_EQ(t.log.evs[t.log.evs.size() - 2].ev.code, ITP_E_INTERRUPTED);

    // Consecutive frames with no start: one report for the run.
    const size_t before = t.log.evs.size();
    t.feed("7E8#2134353637383940", 5000);
    t.feed("7E8#2234353637383940", 5001);
    t.feed("7E8#2334353637383940", 5002);
    EXPECT_EQ(t.log.evs.size(), before + 1);
    // Lengths a frame cannot carry, a reserved frame type and flow status.
    t.feed("7E8#07620102", 5003);
    t.feed("7E8#1005620102030405", 5004);
    t.feed("7E8#4000", 5005);
    t.feed("7E8#101462F190313233", 5006);
    t.feed("7E0#350000", 5007);
    ASSERT_EQ(t.log.evs.size(), before + 5);
    EXPECT_EQ(t.log.evs[before + 1].ev.bad_what, ITP_BAD_SF_LENGTH);
    EXPECT_EQ(t.log.evs[before + 2].ev.bad_what, ITP_BAD_FF_LENGTH);
    EXPECT_EQ(t.log.evs[before + 3].ev.bad_what, ITP_BAD_TYPE);
    EXPECT_EQ(t.log.evs[before + 4].ev.bad_what, ITP_BAD_FLOW_STATUS);
    next_ok(5008);
}

TEST(IsoTp, PairsFoundFromFirstFrameAndFlowControl)
{
    itp_config cfg;
    itp_config_default(&cfg);
    decoder t(&cfg);
    // Frames that only look like a start make no pair.
    t.feed("456#1014AABBCCDDEEFF", 0);
    t.feed("654#3000000000000000", 1);
    t.feed("777#2100000000000000", 2);
    t.feed("456#2200000000000000", 3);
    EXPECT_TRUE(t.log.evs.empty());
    EXPECT_EQ(itp_pair_count(t.d), 9);    /* the presets */
    // A first frame, its flow control and consecutive frame 1 do.
    t.feed("456#100A62F190313233", 10);
    t.feed("654#300000", 11);
    t.feed("456#21343536373839", 12);
    ASSERT_EQ(t.log.evs.size(), 2u);
    EXPECT_EQ(t.log.evs[0].ev.code, ITP_PAIR_FOUND);
    const itp_pair *p = itp_get_pair(t.d, t.log.evs[0].ev.pair);
    ASSERT_NE(p, nullptr);
    EXPECT_EQ(p->req.id, 0x654u);    /* the first frame was a response */
    EXPECT_EQ(p->resp.id, 0x456u);
    EXPECT_EQ(p->origin, ITP_FOUND);
    EXPECT_EQ(t.log.evs[1].data, dgt::bytes("62F190313233 34353637"));
    t.feed("654#0322F190", 20);
    EXPECT_EQ(t.log.evs.back().data, dgt::bytes("22F190"));

    // Switched off: nothing is learnt.
    cfg.find_pairs = 0;
    cfg.preset_11bit = 0;
    itp_reset(t.d, &cfg);
    EXPECT_EQ(itp_pair_count(t.d), 0);
    t.feed("456#100A62F190313233", 30);
    t.feed("654#300000", 31);
    t.feed("456#21343536373839", 32);
    t.feed("7E8#03620102", 33);
    EXPECT_EQ(t.log.evs.size(), 3u);
}

TEST(IsoTp, SenderFollowsFlowControl)
{
    const itp_addr to = {0x7E0, 0, ITP_NORMAL, 0, 0}, from = {0x7E8, 0, ITP_NORMAL, 0, 0};
    std::vector<uint8_t> msg = pattern(40, 0);
    itp_sender s;
    ASSERT_EQ(itp_send_start(&s, msg.data(), 40, &to, &from, 8, 0x55, 1000, 0), 0);
    itp_tx_frame out[8];
    uint64_t next;
    ASSERT_EQ(itp_send_poll(&s, 0, out, 8, &next), 1);
    EXPECT_EQ(out[0].data[0], 0x10);
    EXPECT_EQ(out[0].data[1], 40);
    EXPECT_EQ(itp_send_poll(&s, 10, out, 8, &next), 0);
    EXPECT_EQ(next, 1000000u);
    // Block size 2, separation 5 ms.
    dg_frame fc = frame("7E8#30020555555555", 1);
    EXPECT_EQ(itp_send_on_frame(&s, &fc), 1);
    ASSERT_EQ(itp_send_poll(&s, 1000, out, 8, &next), 1);
    EXPECT_EQ(out[0].data[0], 0x21);
    EXPECT_EQ(next, 6000u);
    EXPECT_EQ(itp_send_poll(&s, 5999, out, 8, &next), 0);
    ASSERT_EQ(itp_send_poll(&s, 6000, out, 8, &next), 1);
    EXPECT_EQ(out[0].data[0], 0x22);
    EXPECT_EQ(s.state, ITP_SEND_WAIT_FC);
    // A wait, then continue with no limits: the rest at once, last one padded.
    fc = frame("7E8#310000", 10);
    itp_send_on_frame(&s, &fc);
    EXPECT_EQ(s.state, ITP_SEND_WAIT_FC);
    fc = frame("7E8#300000", 11);
    itp_send_on_frame(&s, &fc);
    ASSERT_EQ(itp_send_poll(&s, 11000, out, 8, &next), 3);
    EXPECT_EQ(out[2].data[0], 0x25);
    EXPECT_EQ(out[2].len, 8);
    EXPECT_EQ(out[2].data[7], 0x55);
    EXPECT_EQ(s.state, ITP_SEND_DONE);

    // Overflow and a missing flow control fail the message.
    itp_send_start(&s, msg.data(), 40, &to, &from, 8, -1, 1000, 0);
    itp_send_poll(&s, 0, out, 8, &next);
    fc = frame("7E8#320000", 1);
    itp_send_on_frame(&s, &fc);
    EXPECT_EQ(s.state, ITP_SEND_FAILED);
    EXPECT_EQ(s.result, ITP_E_OVERFLOW);
    itp_send_start(&s, msg.data(), 40, &to, &from, 8, -1, 1000, 0);
    itp_send_poll(&s, 0, out, 8, &next);
    itp_send_poll(&s, 1000001, out, 8, &next);
    EXPECT_EQ(s.state, ITP_SEND_FAILED);
    EXPECT_EQ(s.result, ITP_E_TIMEOUT_BS);
    // Short messages need no flow control; the unpadded frame is as long as its data.
    itp_send_start(&s, msg.data(), 3, &to, &from, 8, -1, 1000, 0);
    ASSERT_EQ(itp_send_poll(&s, 0, out, 8, &next), 1);
    EXPECT_EQ(out[0].len, 4);
    EXPECT_EQ(s.state, ITP_SEND_DONE);
}

}  // namespace
