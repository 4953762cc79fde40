/*
 * socketcan_sys.h - the parts of the SocketCAN backend that need no CAN
 * socket: board arguments, interfaces and their drivers found in sysfs,
 * SJA1000 bus timing as Linux bit timing, error frames as states and
 * counts, and the kernel receive filter. Internal to libzelk.so.
 */
#ifndef ZELK_SOCKETCAN_SYS_H
#define ZELK_SOCKETCAN_SYS_H

#include <cstddef>
#include <cstdint>

#include <linux/can.h>

namespace zk_socketcan {

constexpr int kNameMax = 16;  /* IFNAMSIZ */
constexpr unsigned kArphrdCan = 280;

/* Root of the sysfs tree: $ZELK_SYSFS when set (tests give a tree of
 * their own), else /sys. */
const char *sysfs_root();

/* True for a usable interface name: 1..15 characters, no '/', ':',
 * ',', ';', '=' or blank. */
bool valid_ifname(const char *name);

/* Splits "can0,can1" into at most max names. Returns the count, or -1
 * with a reason in err. */
int parse_names(const char *args, char (*names)[kNameMax], int max, char *err, size_t err_size);

/* The CAN interfaces under ROOT/class/net (type 280), in natural order
 * (can2 before can10), at most max. Returns the count. */
int scan_interfaces(const char *root, char (*names)[kNameMax], int max);

/* Kernel driver of an interface (the name of ROOT/class/net/NAME/device/
 * driver) and the serial number of the USB device it sits on (the first
 * "serial" file from the device upwards, at most three levels). Either is
 * empty when sysfs does not have it. Returns false when the interface is
 * not in sysfs at all. */
bool read_iface(const char *root, const char *name, char *driver, size_t driver_size,
                char *serial, size_t serial_size);

/* SJA1000 bus timing registers (16 MHz crystal, 8 MHz controller clock)
 * as the time quantum and segments Linux takes for IFLA_CAN_BITTIMING.
 * The phase-buffer part of TSEG1 is split as the kernel's own calculation
 * does (half to the propagation segment); SJW is kept within both phase
 * segments, as CAN requires. */
struct bit_timing {
    uint32_t bitrate;    /* sja1000_bitrate() of the pair */
    uint32_t tq_ns;
    uint32_t prop_seg, phase_seg1, phase_seg2, sjw;
};
bit_timing decode_btr(uint8_t bt0, uint8_t bt1);

/* Controller state as error frames tell it. */
struct err_state {
    uint8_t bus_state = 0;  /* 0 active, 1 warning, 2 passive, 3 bus-off */
    bool counters = false;  /* rec/tec came with an error frame */
    uint8_t rec = 0, tec = 0;
    uint32_t bus_errors = 0, arb_lost = 0, restarts = 0;
};

/* What one error frame adds to the library's counters. */
struct err_counts {
    uint32_t ewl = 0, boff = 0, hovr = 0, wtout = 0;
};

/* Applies one error frame (can_id with CAN_ERR_FLAG, its 8 data bytes). */
err_counts apply_error_frame(uint32_t can_id, const uint8_t *data, err_state *st);

/* Kernel receive filters for the library's acceptance filter (a mask bit
 * set: that identifier bit must equal the code bit) and the open flags
 * (ZK_OPEN_STD / ZK_OPEN_EXT). They pass at least every frame the
 * library's own check passes. Returns the number of filters (1 or 2). */
int kernel_filters(uint32_t code, uint32_t mask, uint8_t open_flags, can_filter out[2]);

}  // namespace zk_socketcan

#endif /* ZELK_SOCKETCAN_SYS_H */
