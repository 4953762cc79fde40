/*
 * blf.h - the layout of the binary logging format, little-endian.
 *
 * File header (144 bytes): "LOGG", u32 header size, application and
 * format version bytes, u64 file size, u64 uncompressed size, u32 object
 * count, u32 objects read, start and stop time as SYSTEMTIME (eight u16:
 * year, month, weekday, day, hour, minute, second, millisecond; local
 * time).
 *
 * Every object starts with a base header (16 bytes): "LOBJ", u16 header
 * size, u16 header version, u32 object size (padding excluded), u32 object
 * type. Version 1 and 2 headers go on with u32 flags (time unit: 1 = 10
 * microseconds, 2 = nanoseconds) at offset 16 and the u64 time since the
 * start at offset 24; version 1 ends at 32, version 2 at 40. A top-level
 * object is followed by (object size % 4) bytes of padding; writers pad
 * objects inside containers in different ways.
 *
 * Log containers (type 10) hold other objects: after the base header, u16
 * compression method (0 none, 2 zlib), 6 reserved bytes, u32 uncompressed
 * size, 4 reserved bytes, then the data. Objects run on from one
 * container into the next.
 */
#ifndef CANLOG_BLF_H
#define CANLOG_BLF_H

#include <stdint.h>
#include <string.h>

#define BLF_FILE_HEADER 144u
#define BLF_BASE_HEADER 16u
#define BLF_V1_HEADER 32u
#define BLF_V2_HEADER 40u
#define BLF_CONTAINER_HEADER 32u       /* base header and container fields */
#define BLF_CONTAINER_MAX (128u * 1024u) /* what a writer puts in one container */
#define BLF_UNPACKED_MAX (16u * 1024u * 1024u) /* largest container a reader takes */
#define BLF_OBJECT_MAX (1024u * 1024u) /* largest object inside containers */
#define BLF_FRAME_OBJECT_MAX 1024u     /* largest frame object (CAN FD 64 with room to spare) */

enum {
    BLF_CAN_MESSAGE = 1,
    BLF_CAN_ERROR = 2,
    BLF_LOG_CONTAINER = 10,
    BLF_CAN_ERROR_EXT = 73,
    BLF_CAN_MESSAGE2 = 86,
    BLF_CAN_FD_MESSAGE = 100,
    BLF_CAN_FD_MESSAGE_64 = 101,
};

#define BLF_TIME_10US 1u
#define BLF_TIME_NS 2u
#define BLF_ZLIB 2u
#define BLF_ID_EXT 0x80000000u
#define BLF_MSG_TX 0x01u
#define BLF_MSG_RTR 0x80u

static inline uint16_t blf_u16(const uint8_t *p)
{
    return (uint16_t)(p[0] | p[1] << 8);
}
static inline uint32_t blf_u32(const uint8_t *p)
{
    uint32_t v;
    memcpy(&v, p, 4);
    return v;
}
static inline uint64_t blf_u64(const uint8_t *p)
{
    uint64_t v;
    memcpy(&v, p, 8);
    return v;
}
static inline void blf_put16(uint8_t *p, uint16_t v)
{
    memcpy(p, &v, 2);
}
static inline void blf_put32(uint8_t *p, uint32_t v)
{
    memcpy(p, &v, 4);
}
static inline void blf_put64(uint8_t *p, uint64_t v)
{
    memcpy(p, &v, 8);
}

#endif
