// SocketCAN helpers that need no CAN socket: names, sysfs, bit timing,
// error frames, receive filters.
#include "socketcan_sys.h"

#include "core/backend.h"

#include <cctype>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <dirent.h>
#include <limits.h>
#include <unistd.h>

#include <linux/can/error.h>

namespace zk_socketcan {

const char *sysfs_root()
{
    const char *r = getenv("ZELK_SYSFS");
    return r && *r ? r : "/sys";
}

bool valid_ifname(const char *name)
{
    const size_t n = strlen(name);
    if (n == 0 || n >= size_t(kNameMax)) return false;
    for (const char *c = name; *c; c++)
        if (*c == '/' || *c == ':' || *c == ',' || *c == ';' || *c == '=' ||
            isspace(static_cast<unsigned char>(*c)) || !isprint(static_cast<unsigned char>(*c)))
            return false;
    return true;
}

int parse_names(const char *args, char (*names)[kNameMax], int max, char *err, size_t err_size)
{
    int n = 0;
    const char *p = args;
    char key[64], val[8];
    while (zk::next_option(&p, key, sizeof key, val, sizeof val)) {
        if (val[0] || !valid_ifname(key)) {
            snprintf(err, err_size, "\"%s%s%s\" is not an interface name (for example can0)", key,
                     val[0] ? "=" : "", val);
            return -1;
        }
        for (int i = 0; i < n; i++)
            if (strcmp(names[i], key) == 0) {
                snprintf(err, err_size, "interface %s given twice", key);
                return -1;
            }
        if (n == max) {
            snprintf(err, err_size, "more than %d interfaces on one board", max);
            return -1;
        }
        zk::copy_text(names[n++], kNameMax, key);
    }
    if (n == 0) snprintf(err, err_size, "no interface given, for example socketcan:can0");
    return n > 0 ? n : -1;
}

namespace {

// First line of a small file, blanks at the end cut. False when unreadable.
bool read_line(const char *path, char *buf, size_t size)
{
    FILE *f = fopen(path, "r");
    if (!f) return false;
    const bool ok = fgets(buf, int(size), f) != nullptr;
    fclose(f);
    if (!ok) return false;
    size_t n = strlen(buf);
    while (n && isspace(static_cast<unsigned char>(buf[n - 1]))) buf[--n] = '\0';
    return true;
}

// Natural order: the same prefix compares by the number after it.
int natural_cmp(const void *a, const void *b)
{
    const char *x = static_cast<const char *>(a), *y = static_cast<const char *>(b);
    while (*x && *y) {
        if (isdigit(static_cast<unsigned char>(*x)) && isdigit(static_cast<unsigned char>(*y))) {
            char *ex, *ey;
            const unsigned long nx = strtoul(x, &ex, 10), ny = strtoul(y, &ey, 10);
            if (nx != ny) return nx < ny ? -1 : 1;
            x = ex;
            y = ey;
            continue;
        }
        if (*x != *y) return static_cast<unsigned char>(*x) < static_cast<unsigned char>(*y) ? -1 : 1;
        x++;
        y++;
    }
    return *x ? 1 : *y ? -1 : 0;
}

}  // namespace

int scan_interfaces(const char *root, char (*names)[kNameMax], int max)
{
    char path[PATH_MAX];
    snprintf(path, sizeof path, "%s/class/net", root);
    DIR *d = opendir(path);
    if (!d) return 0;
    // Collect every CAN interface first: the order must not depend on
    // the directory's, and the first max of the sorted list are kept.
    static char found[64][kNameMax];
    int n = 0;
    while (dirent *e = readdir(d)) {
        if (e->d_name[0] == '.' || !valid_ifname(e->d_name) || n == 64) continue;
        char type[16];
        snprintf(path, sizeof path, "%s/class/net/%s/type", root, e->d_name);
        if (!read_line(path, type, sizeof type) || strtoul(type, nullptr, 10) != kArphrdCan) continue;
        zk::copy_text(found[n++], kNameMax, e->d_name);
    }
    closedir(d);
    qsort(found, size_t(n), kNameMax, natural_cmp);
    const int k = n < max ? n : max;
    for (int i = 0; i < k; i++) memcpy(names[i], found[i], kNameMax);
    return k;
}

bool read_iface(const char *root, const char *name, char *driver, size_t driver_size,
                char *serial, size_t serial_size)
{
    driver[0] = serial[0] = '\0';
    char path[PATH_MAX], link[PATH_MAX];
    snprintf(path, sizeof path, "%s/class/net/%s", root, name);
    if (access(path, F_OK) != 0) return false;
    snprintf(path, sizeof path, "%s/class/net/%s/device/driver", root, name);
    const ssize_t n = readlink(path, link, sizeof link - 1);
    if (n > 0) {
        link[n] = '\0';
        const char *base = strrchr(link, '/');
        zk::copy_text(driver, driver_size, base ? base + 1 : link);
    }
    // The USB device is the parent of the interface's device (the USB
    // interface); "serial" there is the adapter's serial number.
    snprintf(path, sizeof path, "%s/class/net/%s/device", root, name);
    char dev[PATH_MAX];
    if (!realpath(path, dev)) return true;
    for (int level = 0; level < 3; level++) {
        char file[PATH_MAX + 8];
        snprintf(file, sizeof file, "%s/serial", dev);
        if (read_line(file, serial, serial_size) && serial[0]) break;
        serial[0] = '\0';
        char *slash = strrchr(dev, '/');
        if (!slash || slash == dev) break;
        *slash = '\0';
    }
    return true;
}

bit_timing decode_btr(uint8_t bt0, uint8_t bt1)
{
    bit_timing t{};
    const uint32_t brp = bt0 & 0x3Fu;
    const uint32_t tseg1 = (bt1 & 0x0Fu) + 1;
    const uint32_t tseg2 = ((bt1 >> 4) & 0x07u) + 1;
    t.bitrate = zk::sja1000_bitrate(bt0, bt1);
    t.tq_ns = 125u * (brp + 1);  // 2 x (BRP + 1) periods of 16 MHz
    t.prop_seg = tseg1 / 2;
    t.phase_seg1 = tseg1 - t.prop_seg;
    t.phase_seg2 = tseg2;
    uint32_t sjw = (bt0 >> 6) + 1u;
    if (sjw > t.phase_seg1) sjw = t.phase_seg1;
    if (sjw > t.phase_seg2) sjw = t.phase_seg2;
    t.sjw = sjw;
    return t;
}

err_counts apply_error_frame(uint32_t can_id, const uint8_t *data, err_state *st)
{
    err_counts c;
    const uint8_t old = st->bus_state;
    uint8_t now = old;
    if (can_id & CAN_ERR_TX_TIMEOUT) c.wtout++;
    if (can_id & CAN_ERR_LOSTARB) st->arb_lost++;
    if (can_id & (CAN_ERR_PROT | CAN_ERR_TRX | CAN_ERR_ACK | CAN_ERR_BUSERROR)) st->bus_errors++;
    if (can_id & CAN_ERR_CRTL) {
        const uint8_t d = data[1];
        if (d & CAN_ERR_CRTL_RX_OVERFLOW) c.hovr++;
        if (d & CAN_ERR_CRTL_TX_OVERFLOW) c.hovr++;
        // The state bits name the state the controller is in now, in
        // either direction (warning after passive is a step back).
        if (d & (CAN_ERR_CRTL_RX_PASSIVE | CAN_ERR_CRTL_TX_PASSIVE)) now = 2;
        else if (d & (CAN_ERR_CRTL_RX_WARNING | CAN_ERR_CRTL_TX_WARNING)) now = 1;
        else if (d & CAN_ERR_CRTL_ACTIVE) now = 0;
    }
    if (can_id & CAN_ERR_BUSOFF) now = 3;
    if (can_id & CAN_ERR_RESTARTED) {
        now = 0;
        st->restarts++;
    }
    if (can_id & CAN_ERR_CNT) {
        st->counters = true;
        st->tec = data[6];
        st->rec = data[7];
    }
    if (old == 0 && now >= 1) c.ewl++;
    if (now == 3 && old != 3) c.boff++;
    st->bus_state = now;
    return c;
}

int kernel_filters(uint32_t code, uint32_t mask, uint8_t open_flags, can_filter out[2])
{
    int n = 0;
    // Bit 0x02 of the open flags: 11-bit frames, 0x04: 29-bit frames. The
    // extended-frame flag is always part of the mask, so each filter
    // passes one format only.
    if (open_flags & 0x02)
        out[n++] = can_filter{code & CAN_SFF_MASK, (mask & CAN_SFF_MASK) | CAN_EFF_FLAG};
    if (open_flags & 0x04)
        out[n++] = can_filter{(code & CAN_EFF_MASK) | CAN_EFF_FLAG,
                              (mask & CAN_EFF_MASK) | CAN_EFF_FLAG};
    return n;
}

}  // namespace zk_socketcan
