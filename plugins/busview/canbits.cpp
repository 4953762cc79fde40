/*
 * canbits.cpp - how long a frame occupies the bus, for the bus load.
 *
 * The frame is laid out bit by bit from the start of frame to the end of
 * the CRC, the CRC computed, and the stuff bits counted as a controller
 * inserts them; the fixed tail (CRC delimiter, acknowledge slot and
 * delimiter, end of frame, interframe space) adds 13 bits.
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

}  // namespace

uint32_t bv_frame_bits(uint32_t id, uint8_t flags, uint8_t len, const uint8_t *data)
{
    if (len > 8)
        len = 8;
    bool rtr = (flags & ZK_FRAME_RTR) != 0;
    bitbuf bits;
    bits.put(0, 1);                          /* start of frame */
    if (flags & ZK_FRAME_EFF) {
        bits.put((id >> 18) & 0x7FFu, 11);
        bits.put(1, 1);                      /* SRR */
        bits.put(1, 1);                      /* IDE */
        bits.put(id & 0x3FFFFu, 18);
        bits.put(rtr ? 1 : 0, 1);
        bits.put(0, 2);                      /* r1, r0 */
    } else {
        bits.put(id & 0x7FFu, 11);
        bits.put(rtr ? 1 : 0, 1);
        bits.put(0, 1);                      /* IDE */
        bits.put(0, 1);                      /* r0 */
    }
    bits.put(len, 4);
    if (!rtr)
        for (int i = 0; i < len; i++)
            bits.put(data[i], 8);
    bits.put(crc15(bits), 15);

    int stuffed = 0;
    int run = 1;
    uint8_t prev = bits.b[0];
    for (int i = 1; i < bits.n; i++) {
        if (bits.b[i] == prev) {
            if (++run == 5) {
                stuffed++;
                prev = (uint8_t)!prev;       /* the stuff bit starts the next run */
                run = 1;
            }
        } else {
            prev = bits.b[i];
            run = 1;
        }
    }
    return (uint32_t)(bits.n + stuffed + 13);
}

uint32_t bv_baud_bps(int32_t baud_index)
{
    static const uint32_t kbit[10] = {0, 10, 20, 50, 100, 125, 250, 500, 800, 1000};
    if (baud_index < 1 || baud_index > 9)
        return 0;
    return kbit[baud_index] * 1000u;
}
