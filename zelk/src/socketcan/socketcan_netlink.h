/*
 * socketcan_netlink.h - reading and changing a CAN interface's settings
 * over rtnetlink (what `ip link ... type can` does). Internal to
 * libzelk.so.
 */
#ifndef ZELK_SOCKETCAN_NETLINK_H
#define ZELK_SOCKETCAN_NETLINK_H

#include <cstddef>
#include <cstdint>

#include <linux/can/netlink.h>

namespace zk_socketcan {

/* What RTM_GETLINK tells about one interface. */
struct link_info {
    bool up = false;
    char kind[16] = "";            /* "can" for controllers, "vcan", ... */
    bool can = false;              /* kind "can": bit timing and state exist */
    bool has_bittiming = false;
    can_bittiming bt{};            /* in force (bitrate 0: not set yet) */
    bool has_timing_const = false; /* driver computes timing from segments */
    bool has_bitrate_const = false;/* driver knows a fixed list of rates */
    bool has_data_bittiming = false;
    can_bittiming dbt{};           /* CAN FD data phase in force (bitrate 0: not set) */
    bool has_data_timing_const = false; /* the driver can do CAN FD */
    uint32_t ctrlmode = 0;         /* CAN_CTRLMODE_* in force */
    bool has_state = false;
    uint32_t state = 0;            /* CAN_STATE_* */
    bool has_berr = false;
    uint16_t txerr = 0, rxerr = 0;
};

/* Reads an interface's settings. 0, or a negative errno. */
int link_get(int ifindex, link_info *out);

/* One change of an interface. Bit timing, control mode and restart need
 * the interface down (restart: bus-off); up/down is its own request. */
struct link_change {
    int up = -1;                   /* 1 up, 0 down, -1 unchanged */
    bool set_bittiming = false;
    can_bittiming bt{};
    bool set_data_bittiming = false;
    can_bittiming dbt{};
    bool set_ctrlmode = false;
    can_ctrlmode cm{};
    bool restart = false;
};

/* Applies a change. 0, or a negative errno with the kernel's own reason
 * (extended acknowledgement) in msg when it gave one. */
int link_set(int ifindex, const link_change &c, char *msg, size_t msg_size);

}  // namespace zk_socketcan

#endif /* ZELK_SOCKETCAN_NETLINK_H */
