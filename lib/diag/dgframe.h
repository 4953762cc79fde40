/*
 * dgframe.h - the frame record the protocol decoders of lib/diag take: one
 * classic or CAN FD frame with a 64-bit time, whatever it was read from
 * (the live bus, a log file, a test).
 */
#ifndef DGFRAME_H
#define DGFRAME_H

#include <stddef.h>
#include <stdint.h>

/* Frame flags. EXT, RTR and FDF have the adapter library's values. */
#define DG_EXT 0x01u   /* 29-bit identifier */
#define DG_RTR 0x02u   /* remote frame: never carries a protocol */
#define DG_FDF 0x04u   /* CAN FD frame */
#define DG_TX  0x80u   /* sent through this program (its own requests) */

#define DG_FRAME_DATA 64

/* One frame, 80 bytes. */
struct dg_frame {
    uint64_t t_us;               /* time in microseconds; must not step back within a stream */
    uint32_t id;                 /* 11- or 29-bit identifier */
    uint8_t flags;               /* DG_* */
    uint8_t len;                 /* data length 0..64 */
    uint8_t reserved[2];
    uint8_t data[DG_FRAME_DATA];
};
static_assert(sizeof(dg_frame) == 80, "dg_frame size");

#endif /* DGFRAME_H */
