/*
 * canbits.cpp - how long a frame occupies the bus, for the bus load.
 *
 * The frame is laid out bit by bit from the start of frame to the end of
 * the CRC, the CRC computed, and the stuff bits counted as a controller
 * inserts them; the fixed tail (CRC delimiter, acknowledge slot and
 * delimiter, end of frame, interframe space) adds 13 bits.
 *
 * A CAN FD frame is stuffed the same way up to the end of its data; its
 * stuff count and CRC (17 bits up to 16 data bytes, else 21) take a fixed
 * stuff bit before every fourth bit. With BRS, the bits from ESI to the
 * end of the CRC go at the data rate.
 */
#include "busview.h"


namespace {

struct bitbuf {
    uint8_t b[160];
    int n = 0;
    void put(uint32_t value, int width)
    {
        for (int i = width - 1; i >= 0; i--)
            b[n++] = (uint8_t)((value >> i) & 1u);
    }
};

uint32_t crc15(const bitbuf &bits)
{
    uint32_t crc = 0;
    for (int i = 0; i < bits.n; i++) {
        uint32_t next = bits.b[i] ^ ((crc >> 14) & 1u);
        crc = (crc << 1) & 0x7FFFu;
        if (next)
            crc ^= 0x4599u;
    }
    return crc;
}

/* The bits of a frame as they go by, and the stuff bits a controller
 * inserts after every five equal ones. */
struct stuffing {
    uint32_t bits = 0;
    uint32_t stuffed = 0;
    uint8_t prev = 2;                        /* none yet */
    uint8_t run = 0;

    void bit(uint8_t b)
    {
        bits++;
        if (b == prev) {
            if (++run == 5) {
                stuffed++;
                prev ^= 1u;                  /* the stuff bit starts the next run */
                run = 1;
            }
        } else {
            prev = b;
            run = 1;
        }
    }
    void put(uint32_t value, int width)
    {
        for (int i = width - 1; i >= 0; i--)
            bit((uint8_t)((value >> i) & 1u));
    }
    /* Data bytes a byte a step (the 64 bytes of an FD frame bit by bit
     * would cost most of its time). */
    void put_bytes(const uint8_t *data, int n);
};

/* The state between two bytes, prev * 5 + run (prev 0 or 1, run 1..4),
 * and for each state and byte the state after it and the stuff bits it
 * took: next | stuffed << 8. */
constexpr int STATES = 10;

constexpr uint16_t byte_step(int state, uint32_t value)
{
    uint32_t prev = (uint32_t)state / 5, run = (uint32_t)state % 5, stuffed = 0;
    for (int i = 7; i >= 0; i--) {
        uint32_t b = (value >> i) & 1u;
        if (b == prev) {
            if (++run == 5) {
                stuffed++;
                prev ^= 1u;
                run = 1;
            }
        } else {
            prev = b;
            run = 1;
        }
    }
    return (uint16_t)((prev * 5 + run) | stuffed << 8);
}

struct byte_table {
    uint16_t step[STATES][256];
    constexpr byte_table() : step()
    {
        for (int st = 0; st < STATES; st++)
            for (uint32_t v = 0; v < 256; v++)
                step[st][v] = st % 5 ? byte_step(st, v) : 0;   /* run 0: no state */
    }
};
constexpr byte_table BYTE_STEPS;

void stuffing::put_bytes(const uint8_t *data, int n)
{
    int i = 0;
    for (; i < n && prev > 1; i++)
        put(data[i], 8);            /* the first bits of a frame */
    uint32_t st = prev * 5u + run, stuffs = 0;
    for (; i < n; i++) {
        uint16_t e = BYTE_STEPS.step[st][data[i]];
        st = e & 0xFFu;
        stuffs += e >> 8;
        bits += 8;
    }
    prev = (uint8_t)(st / 5);
    run = (uint8_t)(st % 5);
    stuffed += stuffs;
}

/* Start of frame and the identifier: an extended one with SRR and IDE
 * between its two parts. */
template <typename Bits> void put_start(Bits &bits, uint32_t id, uint8_t flags)
{
    bits.put(0, 1);                          /* start of frame */
    if (flags & ZK_FRAME_EFF) {
        bits.put((id >> 18) & 0x7FFu, 11);
        bits.put(1, 1);                      /* SRR */
        bits.put(1, 1);                      /* IDE */
        bits.put(id & 0x3FFFFu, 18);
    } else {
        bits.put(id & 0x7FFu, 11);
    }
}

bv_bits fd_frame_bits(uint32_t id, uint8_t flags, uint8_t len, const uint8_t *data)
{
    if (len > 64)
        len = 64;
    stuffing s;
    put_start(s, id, flags);
    s.put(0, 1);                             /* RRS */
    if (!(flags & ZK_FRAME_EFF))
        s.put(0, 1);                         /* IDE */
    s.put(1, 1);                             /* FDF */
    s.put(0, 1);                             /* res */
    s.put((flags & ZK_FRAME_BRS) ? 1 : 0, 1);
    stuffing arbitration = s;
    s.put((flags & ZK_FRAME_ESI) ? 1 : 0, 1);
    s.put(zk_fd_dlc(len), 4);
    s.put_bytes(data, len);
    uint32_t crc = len > 16 ? 21 : 17;
    uint32_t fixed = 1 + (4 + crc) / 4;      /* before the stuff count, then every fourth bit */
    bv_bits out;
    out.nominal = arbitration.bits + arbitration.stuffed + 13;
    out.data = (s.bits - arbitration.bits) + (s.stuffed - arbitration.stuffed) + 4 + crc + fixed;
    if (!(flags & ZK_FRAME_BRS)) {
        out.nominal += out.data;
        out.data = 0;
    }
    return out;
}

}  // namespace

bv_bits bv_frame_bits(uint32_t id, uint8_t flags, uint8_t len, const uint8_t *data)
{
    if (flags & ZK_FRAME_FDF)
        return fd_frame_bits(id, flags, len, data);
    if (len > 8)
        len = 8;
    bool rtr = (flags & ZK_FRAME_RTR) != 0;
    bitbuf bits;
    put_start(bits, id, flags);
    bits.put(rtr ? 1 : 0, 1);
    bits.put(0, 2);                          /* r1, r0; standard: IDE, r0 */
    bits.put(len, 4);
    if (!rtr)
        for (int i = 0; i < len; i++)
            bits.put(data[i], 8);
    bits.put(crc15(bits), 15);
    stuffing s;
    for (int i = 0; i < bits.n; i++)
        s.bit(bits.b[i]);
    return bv_bits{s.bits + s.stuffed + 13, 0};
}

uint32_t bv_baud_bps(int32_t baud_index)
{
    const zk_cia_rate *r = zk_cia_rate_at(baud_index - 1);
    return r ? r->kbit * 1000u : 0;
}

double bv_bus_seconds(uint64_t nominal_bits, uint64_t data_bits, const nb_chan_status *st)
{
    uint32_t bps = bv_baud_bps(st->baud_index);
    if (!bps)
        return 0.0;
    /* A data rate not known counts the data phases at the nominal rate. */
    double data_bps = st->fd && st->data_kbit ? st->data_kbit * 1000.0 : (double)bps;
    return (double)nominal_bits / bps + (double)data_bits / data_bps;
}
