/*
 * socketcan_backend.cpp - boards of kind "socketcan": Linux CAN network
 * interfaces (USB adapters with kernel drivers, controllers on the board,
 * vcan, slcan attached with slcand).
 *
 *   socketcan:can0             one channel
 *   socketcan:can0,can1        one board, a channel per interface (at most 4)
 *
 * Frames travel through CAN_RAW sockets, one per channel. An interface
 * whose MTU is 72 runs CAN FD (vcan after 'ip link set vcan0 mtu 72', a
 * controller after '... type can dbitrate 2000000 fd on'): its socket
 * takes FD frames (CAN_RAW_FD_FRAMES) whether or not the channel was
 * opened for FD, so that a classic reader's count of skipped FD frames
 * is right; FD mode itself is the administrator's setting, as the bit
 * rate is. A reader thread
 * per open channel drains its socket into the core's receive queue as
 * soon as the kernel has frames, so a host that stalls for a while loses
 * nothing as long as that queue has room; frames the kernel had to drop
 * anyway (SO_RXQ_OVFL) are counted as software overruns. Receive times are
 * the kernel's (SO_TIMESTAMPNS), moved onto the monotonic clock.
 *
 * Settings go through rtnetlink: bit rate, listen-only, up/down, restart.
 * They need CAP_NET_ADMIN; a setting already in force needs nothing, and
 * interfaces without bit timing (vcan) take any rate and listen-only as
 * recorded values. Start brings a down interface up; stop and close bring
 * it down again only when this library brought it up, so an interface an
 * administrator keeps up is never taken away from other programs.
 *
 * Cyclic jobs (ZkCyclicSet) go to the kernel's broadcast manager: a
 * CAN_BCM socket per channel, a TX_SETUP per job, so the kernel's timer
 * keeps the cycle. The kernel hands what the job sends to every other
 * socket of the interface, the channel's CAN_RAW socket among them: so
 * those frames reach the application once, as received frames with the
 * kernel's time. A job's count is the kernel's (/proc/net/can-bcm), else
 * the reader's count of its frames coming back (locally sent frames carry
 * MSG_DONTROUTE). Stop, listen-only and close end the jobs.
 *
 * Transmit results (ZK_OPEN_TXRESULT): the socket also receives its own
 * frames back (CAN_RAW_RECV_OWN_MSGS, marked MSG_CONFIRM), which the
 * kernel hands over once the driver reports the frame sent. They never
 * reach the application as received frames; each settles the oldest
 * written frame it matches as sent (a controller that sends out of order
 * waits until those before it are settled too). Frames still outstanding
 * at bus-off, when the interface goes down or away, and after stop and
 * reset (once confirmations had up to 100 ms to come) are dropped.
 * CAN_ERR_ACK error frames count as unacknowledged transmissions.
 *
 * Error frames give the controller's state (warning, passive, bus-off,
 * restarted) and counters; where the driver reports them over netlink
 * (IFLA_CAN_STATE, IFLA_CAN_BERR_COUNTER) those are used for the status.
 * An interface that disappears (unplugged adapter) fails every call with
 * ZK_E_GONE until the channel is opened again.
 */
#include "core/backend.h"
#include "socketcan_netlink.h"
#include "socketcan_sys.h"

#include <atomic>
#include <memory>
#include <mutex>
#include <thread>

#include <errno.h>
#include <fcntl.h>
#include <net/if.h>
#include <poll.h>
#include <stdio.h>
#include <string.h>
#include <sys/eventfd.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

#include <linux/can.h>
#include <linux/can/bcm.h>
#include <linux/can/error.h>
#include <linux/can/raw.h>
#include <linux/ethtool.h>
#include <linux/sockios.h>

namespace {

using namespace zk_socketcan;

constexpr int kBatch = 64;                 /* frames per recvmmsg */
constexpr int kRcvBuf = 4 * 1024 * 1024;   /* socket receive buffer wanted */
constexpr size_t kCmsgSize = 128;

/* A cyclic job: the kernel's TX_SETUP of one identifier and format. */
struct Job {
    bool used = false;
    bool fd = false;
    uint32_t canid = 0;            /* with CAN_EFF_FLAG */
    uint16_t n = 0;
    uint32_t period_us = 0;
    uint32_t sent = 0;             /* frames that came back, counted by the reader */
};

/* The TX_SETUP message: its head and up to ZK_CYCLIC_FRAMES frames. */
struct BcmMsg {
    alignas(bcm_msg_head) uint8_t bytes[sizeof(bcm_msg_head) + ZK_CYCLIC_FRAMES * sizeof(canfd_frame)];
    bcm_msg_head &head() { return *reinterpret_cast<bcm_msg_head *>(bytes); }
    uint8_t *frames() { return bytes + sizeof(bcm_msg_head); }
};

/* A written frame waiting for its confirmation (transmit results). */
struct TxRec {
    uint32_t can_id;               /* with CAN_EFF_FLAG and CAN_RTR_FLAG */
    uint8_t len;
    bool fd;
    bool confirmed;
    uint8_t data[8];               /* the first bytes, enough to tell frames apart */
    uint32_t ts;                   /* when confirmed */
};
constexpr int kTxRecs = 4096;      /* written frames a channel keeps track of */
constexpr int kTxSettleMs = 100;   /* stop and reset wait this long for confirmations */

/* One channel: an interface and, while open, its socket and reader. */
struct Slot {
    char name[kNameMax] = "";
    int ifindex = 0;
    int fd = -1;
    int wake = -1;                 /* eventfd that stops the reader */
    std::thread reader;
    std::atomic<zk::zk_rx_port *> port{nullptr};
    std::atomic<bool> gone{false};
    bool raised = false;           /* we brought the interface up */
    bool started = false;
    bool fd_frames = false;        /* the socket takes CAN FD frames */
    uint8_t flags = 0;
    /* Data phase as recorded for interfaces without bit timing (vcan). */
    uint32_t dbitrate = 2000000;
    uint16_t dsp = 0;
    bool non_iso = false;
    uint32_t code = 0, mask = 0;
    uint32_t last_drops = 0;       /* SO_RXQ_OVFL count seen so far */
    uint32_t last_ts = 0;
    std::mutex mu;                 /* err and jobs below */
    err_state err;
    int bcm = -1;                  /* CAN_BCM socket, made at the first job */
    std::atomic<int> njobs{0};
    Job jobs[ZK_CYCLIC_MAX];
    std::unique_ptr<BcmMsg> bcm_msg;
    /* Transmit results: written frames not yet settled, oldest first. */
    bool txres = false;
    std::mutex txm;
    std::unique_ptr<TxRec[]> tx;
    int tx_head = 0, tx_count = 0;
    /* reader buffers */
    std::unique_ptr<canfd_frame[]> frames;
    std::unique_ptr<char[]> cmsgs;
};

/* The interface's MTU (SIOCGIFMTU), -1 when there is no such interface. */
int iface_mtu(const char *name)
{
    const int s = socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    if (s < 0) return -1;
    ifreq ifr{};
    zk::copy_text(ifr.ifr_name, sizeof ifr.ifr_name, name);
    const int mtu = ioctl(s, SIOCGIFMTU, &ifr) == 0 ? ifr.ifr_mtu : -1;
    close(s);
    return mtu;
}

/* Driver name from ethtool, for interfaces sysfs has no driver link for
 * (vcan and other virtual ones report their link kind). */
void ethtool_driver(const char *name, char *buf, size_t size)
{
    const int s = socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    if (s < 0) return;
    ethtool_drvinfo info{};
    info.cmd = ETHTOOL_GDRVINFO;
    ifreq ifr{};
    zk::copy_text(ifr.ifr_name, sizeof ifr.ifr_name, name);
    ifr.ifr_data = reinterpret_cast<char *>(&info);
    if (ioctl(s, SIOCETHTOOL, &ifr) == 0 && info.driver[0])
        zk::copy_text(buf, size, info.driver);
    close(s);
}

class SocketcanBackend final : public zk::zk_backend {
public:
    SocketcanBackend(char (*names)[kNameMax], int n) : n_(n)
    {
        for (int i = 0; i < n; i++) zk::copy_text(slots_[i].name, kNameMax, names[i]);
    }
    ~SocketcanBackend() override
    {
        for (int i = 0; i < n_; i++) release(slots_[i]);
    }

    int channels() const override { return n_; }
    void board_names(char *name, size_t name_size, char *manufacturer,
                     size_t manufacturer_size) override;
    int16_t serial(char *buf, size_t size) override;
    void lock_name(int slot, char *buf, size_t size) override
    {
        /* The interface, not the board entry: every entry naming can0
         * shares one lock. */
        snprintf(buf, size, "socketcan-%s", slots_[slot].name);
    }
    int16_t probe(int slot) override;
    int16_t open(int slot, uint8_t flags, zk::zk_rx_port *port, uint8_t *bt0,
                 uint8_t *bt1) override;
    void close(int slot) override;
    int16_t set_baud(int slot, uint8_t bt0, uint8_t bt1, uint32_t bitrate) override;
    int16_t set_filter(int slot, uint32_t code, uint32_t mask) override;
    int16_t set_lom(int slot, bool on) override;
    int16_t start(int slot) override;
    int16_t stop(int slot) override;
    int16_t hw_reset(int slot, bool running) override;
    int16_t write(int slot, const zk_frame &frame, uint16_t timeout_ms) override;
    bool fd_capable(int slot) override;
    void fd_timing(int slot, uint32_t *bitrate, uint16_t *sample_point, uint8_t *mode) override;
    int16_t set_data_rate(int slot, uint32_t bitrate, uint16_t sample_point, uint8_t mode) override;
    int16_t write_fd(int slot, const zk_fdframe &frame, uint16_t timeout_ms) override;
    int16_t cyclic_set(int slot, const zk_fdframe *frames, uint16_t n, uint32_t period_us) override;
    int16_t cyclic_stop(int slot, uint32_t id, uint8_t flags, uint32_t *sent) override;
    int16_t cyclic_sent(int slot, uint32_t id, uint8_t flags, uint32_t *sent) override;
    int16_t chip_status(int slot, zk_chipstat *st) override;
    void board_text(zk::zk_text_list &list) override;
    const char *chip_name(int slot) override { return "SocketCAN"; }
    bool tx_fates(int slot) override { return slots_[slot].txres; }

private:
    void driver_of(const Slot &s, char *buf, size_t size);
    int16_t check(Slot &s);
    int16_t gone(Slot &s);
    int16_t link_failed(Slot &s, int err, const char *what, const char *how, const char *kmsg);
    int16_t change(Slot &s, const link_change &c, const char *what, const char *how);
    int16_t set_up(Slot &s, bool up);
    int16_t restart(Slot &s);
    void release(Slot &s);
    int16_t send_frame(Slot &s, const void *frame, size_t size, uint16_t timeout_ms);
    void reader_main(Slot *s);
    int16_t apply_filters(Slot &s, uint32_t code, uint32_t mask);
    int16_t open_bcm(Slot &s);
    int16_t bcm_write(Slot &s, size_t size);
    void end_jobs(Slot &s);
    void count_echo(Slot &s, uint32_t can_id, bool fd);
    bool kernel_count(Slot &s, uint32_t canid, bool fd, uint32_t *sent);
    void stop_timer(Slot &s, uint32_t canid, bool fd);
    void on_error_frame(Slot &s, const can_frame &cf);
    bool tx_track(Slot &s, const void *frame, size_t size);
    void tx_untrack(Slot &s);
    void tx_confirmed(Slot &s, const canfd_frame &f, bool fd, uint32_t ts);
    void tx_finish(Slot &s, int wait_ms);

    Slot slots_[ZK_CHANNELS_PER_BOARD];
    int n_;
    char kmsg_[128] = "";  /* the kernel's reason for the last refused change */
};

/* ---- board ----------------------------------------------------------- */

void SocketcanBackend::driver_of(const Slot &s, char *buf, size_t size)
{
    char serial[8];
    buf[0] = '\0';
    read_iface(sysfs_root(), s.name, buf, size, serial, sizeof serial);
    if (!buf[0]) ethtool_driver(s.name, buf, size);
}

void SocketcanBackend::board_names(char *name, size_t name_size, char *manufacturer,
                                   size_t manufacturer_size)
{
    char ifs[4 * (kNameMax + 1)] = "", drivers[96] = "";
    for (int i = 0; i < n_; i++) {
        char d[32];
        driver_of(slots_[i], d, sizeof d);
        if (!d[0]) zk::copy_text(d, sizeof d, "unknown");
        size_t used = strlen(ifs);
        snprintf(ifs + used, sizeof ifs - used, "%s%s", i ? "," : "", slots_[i].name);
        if (!strstr(drivers, d)) {
            used = strlen(drivers);
            snprintf(drivers + used, sizeof drivers - used, "%s%s", used ? "/" : "", d);
        }
    }
    snprintf(name, name_size, "SocketCAN %s, driver %s", ifs, drivers);
    zk::copy_text(manufacturer, manufacturer_size, "Linux kernel");
}

int16_t SocketcanBackend::serial(char *buf, size_t size)
{
    for (int i = 0; i < n_; i++) {
        char driver[32];
        read_iface(sysfs_root(), slots_[i].name, driver, sizeof driver, buf, size);
        if (buf[0]) return ZK_OK;
    }
    zk::set_detail("%s has no serial number in sysfs", slots_[0].name);
    return ZK_E_NOSERIAL;
}

void SocketcanBackend::board_text(zk::zk_text_list &list)
{
    char v[32];
    for (int i = 0; i < n_; i++) {
        Slot &s = slots_[i];
        list.add("Interface", s.name);
        driver_of(s, v, sizeof v);
        list.add("Driver", v[0] ? v : "unknown");
        err_state e;
        {
            std::lock_guard<std::mutex> g(s.mu);
            e = s.err;
        }
        snprintf(v, sizeof v, "%u", unsigned(e.bus_errors));
        list.add("Bus errors", v);
        snprintf(v, sizeof v, "%u", unsigned(e.arb_lost));
        list.add("Arbitr. lost", v);
        snprintf(v, sizeof v, "%u", unsigned(e.restarts));
        list.add("Restarts", v);
    }
}

/* ---- failures -------------------------------------------------------- */

int16_t SocketcanBackend::gone(Slot &s)
{
    zk::set_detail("CAN interface %s is gone", s.name);
    return ZK_E_GONE;
}

/* ZK_OK while the interface is there. */
int16_t SocketcanBackend::check(Slot &s)
{
    if (s.gone) return gone(s);
    if (if_nametoindex(s.name) != unsigned(s.ifindex)) {
        s.gone = true;
        tx_finish(s, 0);
        if (zk::zk_rx_port *p = s.port) p->lost();
        return gone(s);
    }
    return ZK_OK;
}

/* A refused netlink request as a text that tells the user what to do. */
int16_t SocketcanBackend::link_failed(Slot &s, int err, const char *what, const char *how,
                                      const char *kmsg)
{
    switch (err) {
    case -EPERM:
    case -EACCES:
        zk::set_detail("%s of %s needs CAP_NET_ADMIN: run 'ip link set %s %s' as root, "
                       "or grant the capability (setcap cap_net_admin+ep)",
                       what, s.name, s.name, how);
        return ZK_E_PERM;
    case -ENODEV:
        s.gone = true;
        if (zk::zk_rx_port *p = s.port) p->lost();
        return gone(s);
    case -EOPNOTSUPP:
        zk::set_detail("the driver of %s does not support %s%s%s", s.name, what,
                       kmsg[0] ? ": " : "", kmsg);
        return ZK_E_UNSUPPORTED;
    default:
        zk::set_detail("%s of %s refused by the kernel: %s", what, s.name,
                       kmsg[0] ? kmsg : strerror(-err));
        return ZK_E_IO;
    }
}

int16_t SocketcanBackend::set_up(Slot &s, bool up)
{
    link_change c;
    c.up = up ? 1 : 0;
    char kmsg[128];
    const int e = link_set(s.ifindex, c, kmsg, sizeof kmsg);
    if (e == 0) return ZK_OK;
    return link_failed(s, e, "changing the state", up ? "up" : "down", kmsg);
}

/* Restarts a bus-off controller. A driver without a restart of its own
 * gets one by closing and opening the interface. */
int16_t SocketcanBackend::restart(Slot &s)
{
    link_change c;
    c.restart = true;
    char kmsg[128];
    const int e = link_set(s.ifindex, c, kmsg, sizeof kmsg);
    if (e == 0) return ZK_OK;
    if (e != -EOPNOTSUPP) return link_failed(s, e, "restarting the controller", "type can restart", kmsg);
    if (int16_t rc = set_up(s, false); rc < 0) return rc;
    return set_up(s, true);
}

/* Applies settings that need the interface down: it goes down and, when
 * it was up, up again afterwards (also when the change failed). */
int16_t SocketcanBackend::change(Slot &s, const link_change &c, const char *what, const char *how)
{
    kmsg_[0] = '\0';
    link_info li;
    if (int e = link_get(s.ifindex, &li); e < 0) return link_failed(s, e, what, how, "");
    if (li.up) {
        if (int16_t rc = set_up(s, false); rc < 0) {
            if (rc == ZK_E_PERM)
                zk::set_detail("%s of %s needs CAP_NET_ADMIN: run 'ip link set %s down' and "
                               "'ip link set %s up %s' as root, or grant the capability "
                               "(setcap cap_net_admin+ep)",
                               what, s.name, s.name, s.name, how);
            return rc;
        }
    }
    const int e = link_set(s.ifindex, c, kmsg_, sizeof kmsg_);
    int16_t rc = e == 0 ? ZK_OK : link_failed(s, e, what, how, kmsg_);
    if (li.up) {
        const int16_t up = set_up(s, true);
        if (rc == ZK_OK) rc = up;
    }
    return rc;
}

/* ---- open and close -------------------------------------------------- */

int16_t SocketcanBackend::probe(int slot)
{
    Slot &s = slots_[slot];
    if (s.fd >= 0) return ZK_E_BUSY;
    if (if_nametoindex(s.name) == 0) {
        zk::set_detail("no network interface %s (see 'ip link')", s.name);
        return ZK_E_NODEV;
    }
    return ZK_OK;
}

int16_t SocketcanBackend::open(int slot, uint8_t flags, zk::zk_rx_port *port, uint8_t *bt0,
                               uint8_t *bt1)
{
    Slot &s = slots_[slot];
    if (s.fd >= 0) return ZK_E_BUSY;
    const int fd = socket(PF_CAN, SOCK_RAW | SOCK_CLOEXEC | SOCK_NONBLOCK, CAN_RAW);
    if (fd < 0) {
        const int e = errno;
        if (e == EAFNOSUPPORT || e == EPROTONOSUPPORT) {
            zk::set_detail("this Linux kernel has no SocketCAN raw sockets (%s): load the "
                           "modules with 'modprobe can-raw'", strerror(e));
            return ZK_E_UNSUPPORTED;
        }
        zk::set_detail("cannot create a CAN socket: %s", strerror(e));
        return e == EACCES || e == EPERM ? ZK_E_PERM : ZK_E_IO;
    }
    auto fail = [fd](int16_t rc) {
        ::close(fd);
        return rc;
    };
    ifreq ifr{};
    zk::copy_text(ifr.ifr_name, sizeof ifr.ifr_name, s.name);
    if (ioctl(fd, SIOCGIFINDEX, &ifr) != 0) {
        zk::set_detail("no network interface %s (see 'ip link')", s.name);
        return fail(ZK_E_NODEV);
    }
    const int ifindex = ifr.ifr_ifindex;
    if (ioctl(fd, SIOCGIFHWADDR, &ifr) == 0 && ifr.ifr_hwaddr.sa_family != kArphrdCan) {
        zk::set_detail("%s is not a CAN interface", s.name);
        return fail(ZK_E_NODEV);
    }
    sockaddr_can addr{};
    addr.can_family = AF_CAN;
    addr.can_ifindex = ifindex;
    if (bind(fd, reinterpret_cast<sockaddr *>(&addr), sizeof addr) != 0) {
        zk::set_detail("cannot bind to %s: %s", s.name, strerror(errno));
        return fail(errno == ENODEV ? ZK_E_NODEV : ZK_E_IO);
    }
    const int one = 1;
    const bool fd_frames = iface_mtu(s.name) == int(CANFD_MTU) &&
                           setsockopt(fd, SOL_CAN_RAW, CAN_RAW_FD_FRAMES, &one, sizeof one) == 0;
    if ((flags & ZK_OPEN_FD) && !fd_frames) {
        zk::set_detail("%s does not take CAN FD frames", s.name);
        return fail(ZK_E_NOFD);
    }
    const can_err_mask_t errs = CAN_ERR_MASK;
    setsockopt(fd, SOL_CAN_RAW, CAN_RAW_ERR_FILTER, &errs, sizeof errs);
    const bool txres = (flags & ZK_OPEN_TXRESULT) != 0;
    if (txres && setsockopt(fd, SOL_CAN_RAW, CAN_RAW_RECV_OWN_MSGS, &one, sizeof one) != 0) {
        zk::set_detail("%s cannot confirm sent frames: %s", s.name, strerror(errno));
        return fail(ZK_E_UNSUPPORTED);
    }
    setsockopt(fd, SOL_SOCKET, SO_TIMESTAMPNS, &one, sizeof one);
    setsockopt(fd, SOL_SOCKET, SO_RXQ_OVFL, &one, sizeof one);
    /* The reader drains the socket continuously; the buffer only has to
     * cover the moments it is not scheduled. Beyond the system's limit
     * only with CAP_NET_ADMIN. */
    if (setsockopt(fd, SOL_SOCKET, SO_RCVBUFFORCE, &kRcvBuf, sizeof kRcvBuf) != 0)
        setsockopt(fd, SOL_SOCKET, SO_RCVBUF, &kRcvBuf, sizeof kRcvBuf);
    can_filter filt[2];
    const int nf = kernel_filters(0, 0, flags, filt);
    setsockopt(fd, SOL_CAN_RAW, CAN_RAW_FILTER, filt, socklen_t(nf * sizeof(can_filter)));
    const int wake = eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
    if (wake < 0) {
        zk::set_detail("cannot create an event descriptor: %s", strerror(errno));
        return fail(ZK_E_NOMEM);
    }

    /* Report the rate in force when the table has it. */
    link_info li;
    if (link_get(ifindex, &li) == 0 && li.has_bittiming) {
        static const uint8_t pairs[9][2] = {{0x31, 0x1C}, {0x18, 0x1C}, {0x09, 0x1C},
                                            {0x04, 0x1C}, {0x03, 0x1C}, {0x01, 0x1C},
                                            {0x00, 0x1C}, {0x00, 0x16}, {0x00, 0x14}};
        for (const auto &pair : pairs)
            if (zk::sja1000_bitrate(pair[0], pair[1]) == li.bt.bitrate) {
                *bt0 = pair[0];
                *bt1 = pair[1];
            }
    }

    s.fd = fd;
    s.wake = wake;
    s.ifindex = ifindex;
    s.gone = false;
    s.raised = false;
    s.started = false;
    s.fd_frames = fd_frames;
    s.flags = flags;
    s.dbitrate = 2000000;
    s.dsp = 0;
    s.non_iso = false;
    s.code = s.mask = 0;
    s.last_drops = 0;
    s.last_ts = 0;
    {
        std::lock_guard<std::mutex> g(s.mu);
        s.err = err_state{};
    }
    {
        std::lock_guard<std::mutex> g(s.txm);
        s.txres = txres;
        if (txres && !s.tx) s.tx.reset(new TxRec[kTxRecs]);
        s.tx_head = s.tx_count = 0;
    }
    if (!s.frames) {
        s.frames.reset(new canfd_frame[kBatch]);
        s.cmsgs.reset(new char[kBatch * kCmsgSize]);
    }
    s.port = port;
    s.reader = std::thread(&SocketcanBackend::reader_main, this, &s);
    return ZK_OK;
}

void SocketcanBackend::release(Slot &s)
{
    if (s.reader.joinable()) {
        const uint64_t one = 1;
        ssize_t r = ::write(s.wake, &one, sizeof one);
        (void)r;
        s.reader.join();
    }
    if (s.wake >= 0) ::close(s.wake);
    if (s.fd >= 0) ::close(s.fd);
    s.wake = s.fd = -1;
    s.port = nullptr;
    end_jobs(s);
}

void SocketcanBackend::close(int slot)
{
    Slot &s = slots_[slot];
    if (s.fd < 0) return;
    tx_finish(s, 0);
    if (s.raised && !s.gone) set_up(s, false);
    s.raised = false;
    release(s);
}

/* ---- settings -------------------------------------------------------- */

int16_t SocketcanBackend::set_baud(int slot, uint8_t bt0, uint8_t bt1, uint32_t bitrate)
{
    Slot &s = slots_[slot];
    if (int16_t rc = check(s)) return rc;
    link_info li;
    if (int e = link_get(s.ifindex, &li); e < 0) return link_failed(s, e, "bit rate", "", "");
    /* No bit timing at all (vcan): the rate is only recorded. */
    if (!li.can) return ZK_OK;
    /* A rate in force needs no privilege (the kernel's rate of a timing
     * may be off by rounding). */
    const uint32_t have = li.has_bittiming ? li.bt.bitrate : 0;
    if (have && (have > bitrate ? have - bitrate : bitrate - have) <= bitrate / 1000) return ZK_OK;

    char how[64];
    snprintf(how, sizeof how, "type can bitrate %u", unsigned(bitrate));
    link_change c;
    c.set_bittiming = true;
    if (zk::cia_index(bt0, bt1) < 0 && li.has_timing_const) {
        /* A register pair of its own: that exact bit timing. */
        const bit_timing t = decode_btr(bt0, bt1);
        c.bt.tq = t.tq_ns;
        c.bt.prop_seg = t.prop_seg;
        c.bt.phase_seg1 = t.phase_seg1;
        c.bt.phase_seg2 = t.phase_seg2;
        c.bt.sjw = t.sjw;
        snprintf(how, sizeof how, "type can tq %u prop-seg %u phase-seg1 %u phase-seg2 %u sjw %u",
                 unsigned(t.tq_ns), unsigned(t.prop_seg), unsigned(t.phase_seg1),
                 unsigned(t.phase_seg2), unsigned(t.sjw));
        const int16_t rc = change(s, c, "setting the bit rate", how);
        if (rc != ZK_E_IO && rc != ZK_E_UNSUPPORTED) return rc;
        /* The controller's clock cannot make that quantum: the same rate
         * with the driver's own timing. */
        c.bt = can_bittiming{};
        snprintf(how, sizeof how, "type can bitrate %u", unsigned(bitrate));
    }
    c.bt.bitrate = bitrate;
    const int16_t rc = change(s, c, "setting the bit rate", how);
    if (rc == ZK_E_IO || rc == ZK_E_UNSUPPORTED) {
        zk::set_detail("%s cannot run at %u bit/s%s%s", s.name, unsigned(bitrate),
                       kmsg_[0] ? ": " : "", kmsg_);
        return ZK_E_NORATE;
    }
    return rc;
}

int16_t SocketcanBackend::set_filter(int slot, uint32_t code, uint32_t mask)
{
    Slot &s = slots_[slot];
    if (int16_t rc = check(s)) return rc;
    return apply_filters(s, code, mask);
}

/* The kernel's filter: the acceptance filter, and each job's identifier
 * so that its frames are counted (the core drops what the filter does
 * not pass). */
int16_t SocketcanBackend::apply_filters(Slot &s, uint32_t code, uint32_t mask)
{
    can_filter f[2 + ZK_CYCLIC_MAX];
    int n = kernel_filters(code, mask, s.flags, f);
    if (mask) {
        std::lock_guard<std::mutex> g(s.mu);
        for (const Job &j : s.jobs)
            if (j.used) f[n++] = can_filter{j.canid, CAN_EFF_FLAG | (j.canid & CAN_EFF_FLAG ? CAN_EFF_MASK : CAN_SFF_MASK)};
    }
    if (setsockopt(s.fd, SOL_CAN_RAW, CAN_RAW_FILTER, f, socklen_t(size_t(n) * sizeof(can_filter))) != 0) {
        zk::set_detail("cannot set the receive filter of %s: %s", s.name, strerror(errno));
        return ZK_E_IO;
    }
    s.code = code;
    s.mask = mask;
    return ZK_OK;
}

int16_t SocketcanBackend::set_lom(int slot, bool on)
{
    Slot &s = slots_[slot];
    if (int16_t rc = check(s)) return rc;
    link_info li;
    if (int e = link_get(s.ifindex, &li); e < 0) return link_failed(s, e, "listen-only mode", "", "");
    /* Without a controller (vcan) nothing acknowledges anyway; the core
     * keeps the channel from sending. */
    if (on) end_jobs(s);
    if (!li.can || ((li.ctrlmode & CAN_CTRLMODE_LISTENONLY) != 0) == on) return ZK_OK;
    link_change c;
    c.set_ctrlmode = true;
    c.cm.mask = CAN_CTRLMODE_LISTENONLY;
    c.cm.flags = on ? CAN_CTRLMODE_LISTENONLY : 0;
    return change(s, c, "setting listen-only mode",
                  on ? "type can listen-only on" : "type can listen-only off");
}

/* ---- CAN FD ---------------------------------------------------------- */

bool SocketcanBackend::fd_capable(int slot)
{
    Slot &s = slots_[slot];
    const int mtu = iface_mtu(s.name);
    if (mtu == int(CANFD_MTU)) return true;
    /* Why not, for the open that is about to be refused. */
    link_info li;
    const int ifindex = int(if_nametoindex(s.name));
    if (mtu < 0 || ifindex == 0) {
        zk::set_detail("no network interface %s (see 'ip link')", s.name);
    } else if (link_get(ifindex, &li) == 0 && li.can && li.has_data_timing_const) {
        zk::set_detail("%s runs classic CAN; its driver can do CAN FD: run 'ip link set %s down' "
                       "and 'ip link set %s up type can bitrate %u dbitrate 2000000 fd on' as root",
                       s.name, s.name, s.name,
                       unsigned(li.has_bittiming && li.bt.bitrate ? li.bt.bitrate : 500000));
    } else if (!li.can && strcmp(li.kind, "vcan") == 0) {
        zk::set_detail("%s has the classic MTU %d; 'ip link set %s mtu 72' (as root, the "
                       "interface down) makes it carry CAN FD", s.name, mtu, s.name);
    } else {
        zk::set_detail("%s cannot do CAN FD (MTU %d)", s.name, mtu);
    }
    return false;
}

void SocketcanBackend::fd_timing(int slot, uint32_t *bitrate, uint16_t *sample_point, uint8_t *mode)
{
    Slot &s = slots_[slot];
    link_info li;
    if (link_get(s.ifindex, &li) == 0 && li.can && li.has_data_bittiming && li.dbt.bitrate) {
        *bitrate = li.dbt.bitrate;
        *sample_point = uint16_t(li.dbt.sample_point);
        *mode = (li.ctrlmode & CAN_CTRLMODE_FD_NON_ISO) ? ZK_FD_NON_ISO : ZK_FD_ISO;
        return;
    }
    *bitrate = s.dbitrate;
    *sample_point = s.dsp;
    *mode = s.non_iso ? ZK_FD_NON_ISO : ZK_FD_ISO;
}

int16_t SocketcanBackend::set_data_rate(int slot, uint32_t bitrate, uint16_t sample_point,
                                        uint8_t mode)
{
    Slot &s = slots_[slot];
    if (int16_t rc = check(s)) return rc;
    link_info li;
    if (int e = link_get(s.ifindex, &li); e < 0) return link_failed(s, e, "data bit rate", "", "");
    const bool non_iso = mode == ZK_FD_NON_ISO;
    if (!li.can) {
        /* No bit timing (vcan): only recorded. */
        s.dbitrate = bitrate;
        s.dsp = sample_point;
        s.non_iso = non_iso;
        return ZK_OK;
    }
    /* What is in force needs no privilege. */
    const uint32_t have = li.has_data_bittiming ? li.dbt.bitrate : 0;
    const bool rate_ok = have && (have > bitrate ? have - bitrate : bitrate - have) <= bitrate / 1000;
    const bool sp_ok = !sample_point || sample_point == li.dbt.sample_point;
    const bool mode_ok = ((li.ctrlmode & CAN_CTRLMODE_FD_NON_ISO) != 0) == non_iso;
    if (rate_ok && sp_ok && mode_ok) return ZK_OK;

    char how[128];
    int n = snprintf(how, sizeof how, "type can dbitrate %u", unsigned(bitrate));
    if (sample_point)
        n += snprintf(how + n, sizeof how - size_t(n), " dsample-point 0.%03u", unsigned(sample_point));
    snprintf(how + n, sizeof how - size_t(n), " fd on%s", non_iso ? " fd-non-iso on" : "");
    link_change c;
    c.set_data_bittiming = true;
    c.dbt.bitrate = bitrate;
    c.dbt.sample_point = sample_point;
    c.set_ctrlmode = true;
    c.cm.mask = CAN_CTRLMODE_FD | CAN_CTRLMODE_FD_NON_ISO;
    c.cm.flags = CAN_CTRLMODE_FD | (non_iso ? CAN_CTRLMODE_FD_NON_ISO : 0);
    const int16_t rc = change(s, c, "setting the data bit rate", how);
    if (rc == ZK_E_UNSUPPORTED && !mode_ok) {
        zk::set_detail("the driver of %s has no %s CAN FD%s%s", s.name, non_iso ? "non-ISO" : "ISO",
                       kmsg_[0] ? ": " : "", kmsg_);
        return ZK_E_UNSUPPORTED;
    }
    if (rc == ZK_E_IO || rc == ZK_E_UNSUPPORTED) {
        zk::set_detail("%s cannot run its data phase at %u bit/s%s%s%s", s.name, unsigned(bitrate),
                       sample_point ? " with that sample point" : "", kmsg_[0] ? ": " : "", kmsg_);
        return ZK_E_NORATE;
    }
    return rc;
}

int16_t SocketcanBackend::start(int slot)
{
    Slot &s = slots_[slot];
    if (int16_t rc = check(s)) return rc;
    link_info li;
    if (int e = link_get(s.ifindex, &li); e < 0) return link_failed(s, e, "starting", "up", "");
    if (!li.up) {
        if (int16_t rc = set_up(s, true); rc < 0) {
            if (rc == ZK_E_PERM)
                zk::set_detail("%s is down; bringing it up needs CAP_NET_ADMIN: run 'ip link set "
                               "%s up' as root, or grant the capability (setcap cap_net_admin+ep)",
                               s.name, s.name);
            return rc;
        }
        s.raised = true;
    } else if (li.can && li.has_state && li.state == CAN_STATE_BUS_OFF) {
        /* Starting a bus-off controller recovers it. */
        if (int16_t rc = restart(s); rc < 0) return rc;
    }
    s.started = true;
    return ZK_OK;
}

int16_t SocketcanBackend::stop(int slot)
{
    Slot &s = slots_[slot];
    if (int16_t rc = check(s)) return rc;
    s.started = false;
    end_jobs(s);
    if (!s.raised) {
        /* The interface stays up for others: what the controller still
         * holds may go out; what is not confirmed soon is given up. */
        tx_finish(s, kTxSettleMs);
        return ZK_OK;
    }
    if (int16_t rc = set_up(s, false); rc < 0) return rc;
    s.raised = false;
    tx_finish(s, 0);
    return ZK_OK;
}

int16_t SocketcanBackend::hw_reset(int slot, bool running)
{
    Slot &s = slots_[slot];
    if (int16_t rc = check(s)) return rc;
    link_info li;
    if (int e = link_get(s.ifindex, &li); e < 0) return link_failed(s, e, "restarting", "", "");
    if (li.can && li.up && li.has_state && li.state == CAN_STATE_BUS_OFF)
        if (int16_t rc = restart(s); rc < 0) return rc;
    tx_finish(s, kTxSettleMs);
    std::lock_guard<std::mutex> g(s.mu);
    s.err.bus_state = 0;
    s.err.rec = s.err.tec = 0;
    return ZK_OK;
}

/* ---- frames ---------------------------------------------------------- */

int16_t SocketcanBackend::write(int slot, const zk_frame &frame, uint16_t timeout_ms)
{
    can_frame cf{};
    cf.can_id = frame.id;
    if (frame.flags & ZK_FRAME_EFF) cf.can_id |= CAN_EFF_FLAG;
    if (frame.flags & ZK_FRAME_RTR) cf.can_id |= CAN_RTR_FLAG;
    cf.len = frame.len;
    if (!(frame.flags & ZK_FRAME_RTR)) memcpy(cf.data, frame.data, frame.len);
    return send_frame(slots_[slot], &cf, sizeof cf, timeout_ms);
}

int16_t SocketcanBackend::write_fd(int slot, const zk_fdframe &frame, uint16_t timeout_ms)
{
    Slot &s = slots_[slot];
    if (!s.fd_frames) {
        zk::set_detail("%s does not take CAN FD frames", s.name);
        return ZK_E_NOFD;
    }
    canfd_frame cf{};
    cf.can_id = frame.id;
    if (frame.flags & ZK_FRAME_EFF) cf.can_id |= CAN_EFF_FLAG;
    cf.len = frame.len;
    cf.flags = uint8_t(((frame.flags & ZK_FRAME_BRS) ? CANFD_BRS : 0) |
                       ((frame.flags & ZK_FRAME_ESI) ? CANFD_ESI : 0));
    memcpy(cf.data, frame.data, frame.len);
    return send_frame(s, &cf, sizeof cf, timeout_ms);
}

/* Sends one can_frame or canfd_frame, waiting at most the write timeout
 * for room. */
int16_t SocketcanBackend::send_frame(Slot &s, const void *frame, size_t size, uint16_t timeout_ms)
{
    /* No interface look-up per frame: send() reports a vanished one. */
    if (s.gone) return gone(s);
    {
        std::lock_guard<std::mutex> g(s.mu);
        if (s.err.bus_state == 3) {
            zk::set_detail("%s is bus-off", s.name);
            return ZK_E_BUSOFF;
        }
    }
    const uint64_t deadline = zk::clock_us() + 1000u * uint64_t(timeout_ms);
    bool stale_down = false;
    for (;;) {
        /* Tracked before it is sent: the confirmation may come first. A
         * full record counts as a full queue. */
        const bool tracked = !s.txres || tx_track(s, frame, size);
        const ssize_t r = tracked ? send(s.fd, frame, size, MSG_DONTWAIT) : -1;
        if (r == ssize_t(size)) return ZK_OK;
        const int e = !tracked ? ENOBUFS : r < 0 ? errno : EIO;
        if (tracked && s.txres) tx_untrack(s);
        if (e == EINTR) continue;
        if (e == ENODEV || e == ENXIO) {
            s.gone = true;
            tx_finish(s, 0);
            if (zk::zk_rx_port *p = s.port) p->lost();
            return gone(s);
        }
        /* Taking the interface down leaves ENETDOWN pending on the socket
         * (a restart does, for one), and the next send reports it once
         * unless the reader took it first: when the interface is up
         * again, that was all. Either way the kernel dropped what it held. */
        if (e == ENETDOWN) tx_finish(s, 0);
        if (e == ENETDOWN && !stale_down) {
            link_info li;
            stale_down = true;
            if (link_get(s.ifindex, &li) == 0 && li.up) continue;
        }
        if (e == ENETDOWN) {
            zk::set_detail("%s is down (ip link set %s up)", s.name, s.name);
            return ZK_E_IO;
        }
        if (e == EINVAL && size == sizeof(canfd_frame)) {
            zk::set_detail("%s no longer takes CAN FD frames (its MTU changed)", s.name);
            return ZK_E_NOFD;
        }
        if (e != EAGAIN && e != ENOBUFS) {
            zk::set_detail("cannot send on %s: %s", s.name, strerror(e));
            return ZK_E_IO;
        }
        /* Socket buffer full (EAGAIN: poll says when there is room) or
         * the interface's queue full (ENOBUFS: nothing signals room, so
         * look again every millisecond). */
        const uint64_t now = zk::clock_us();
        if (now >= deadline) {
            zk::set_detail("transmit queue of %s stayed full for %u ms", s.name,
                           unsigned(timeout_ms));
            return ZK_E_WTOUT;
        }
        int ms = int((deadline - now + 999) / 1000);
        if (e == ENOBUFS && ms > 1) ms = 1;
        pollfd p{s.fd, POLLOUT, 0};
        ::poll(&p, 1, ms);
    }
}

/* ---- cyclic jobs ----------------------------------------------------- */

uint32_t job_canid(uint32_t id, uint8_t flags)
{
    return (flags & ZK_FRAME_EFF) ? (id & CAN_EFF_MASK) | CAN_EFF_FLAG : id & CAN_SFF_MASK;
}

int find_job(const Slot &s, uint32_t canid, bool fd)
{
    for (int i = 0; i < ZK_CYCLIC_MAX; i++)
        if (s.jobs[i].used && s.jobs[i].canid == canid && s.jobs[i].fd == fd) return i;
    return -1;
}

int16_t SocketcanBackend::open_bcm(Slot &s)
{
    if (s.bcm >= 0) return ZK_OK;
    const int fd = socket(PF_CAN, SOCK_DGRAM | SOCK_CLOEXEC, CAN_BCM);
    if (fd < 0) {
        const int e = errno;
        if (e == EAFNOSUPPORT || e == EPROTONOSUPPORT) {
            zk::set_detail("this Linux kernel has no CAN broadcast manager (%s): load it with "
                           "'modprobe can-bcm'", strerror(e));
            return ZK_E_UNSUPPORTED;
        }
        zk::set_detail("cannot create a CAN_BCM socket: %s", strerror(e));
        return ZK_E_IO;
    }
    sockaddr_can addr{};
    addr.can_family = AF_CAN;
    addr.can_ifindex = s.ifindex;
    if (connect(fd, reinterpret_cast<sockaddr *>(&addr), sizeof addr) != 0) {
        zk::set_detail("cannot connect a CAN_BCM socket to %s: %s", s.name, strerror(errno));
        ::close(fd);
        return errno == ENODEV ? gone(s) : ZK_E_IO;
    }
    if (!s.bcm_msg) s.bcm_msg.reset(new BcmMsg);
    s.bcm = fd;
    return ZK_OK;
}

int16_t SocketcanBackend::bcm_write(Slot &s, size_t size)
{
    const ssize_t r = ::write(s.bcm, s.bcm_msg->bytes, size);
    if (r == ssize_t(size)) return ZK_OK;
    const int e = r < 0 ? errno : EIO;
    if (e == ENODEV) {
        s.gone = true;
        if (zk::zk_rx_port *p = s.port) p->lost();
        return gone(s);
    }
    zk::set_detail("the broadcast manager of %s refused the job: %s", s.name, strerror(e));
    return ZK_E_IO;
}

/* Closing the socket deletes every job in the kernel. */
void SocketcanBackend::end_jobs(Slot &s)
{
    if (s.bcm < 0) return;
    ::close(s.bcm);
    s.bcm = -1;
    {
        std::lock_guard<std::mutex> g(s.mu);
        for (Job &j : s.jobs) j = Job{};
        s.njobs = 0;
    }
    if (s.fd >= 0 && s.mask) apply_filters(s, s.code, s.mask);
}

int16_t SocketcanBackend::cyclic_set(int slot, const zk_fdframe *frames, uint16_t n, uint32_t period_us)
{
    Slot &s = slots_[slot];
    if (s.gone) return gone(s);
    const bool fd = (frames[0].flags & ZK_FRAME_FDF) != 0;
    if (fd && !s.fd_frames) {
        zk::set_detail("%s does not take CAN FD frames", s.name);
        return ZK_E_NOFD;
    }
    if (int16_t rc = open_bcm(s)) return rc;
    const uint32_t canid = job_canid(frames[0].id, frames[0].flags);
    int j;
    bool fresh;
    {
        std::lock_guard<std::mutex> g(s.mu);
        j = find_job(s, canid, fd);
        fresh = j < 0;
        for (int i = 0; j < 0 && i < ZK_CYCLIC_MAX; i++)
            if (!s.jobs[i].used) j = i;
    }
    if (j < 0) {
        zk::set_detail("%s already runs %d cyclic jobs", s.name, ZK_CYCLIC_MAX);
        return ZK_E_NOMEM;
    }
    Job &job = s.jobs[j];
    BcmMsg &m = *s.bcm_msg;
    if (!fresh && n > job.n) {
        /* The kernel does not lengthen a job's sequence in place. */
        memset(&m.head(), 0, sizeof(bcm_msg_head));
        m.head().opcode = TX_DELETE;
        m.head().can_id = canid;
        m.head().flags = fd ? CAN_FD_FRAME : 0;
        if (int16_t rc = bcm_write(s, sizeof(bcm_msg_head))) return rc;
        fresh = true;
    }
    memset(&m.head(), 0, sizeof(bcm_msg_head));
    m.head().opcode = TX_SETUP;
    m.head().can_id = canid;
    m.head().nframes = n;
    m.head().flags = fd ? CAN_FD_FRAME : 0;
    /* A new job, period or length: the cycle starts now with frame 0.
     * Else only the frames change and the timer goes on. */
    if (fresh || period_us != job.period_us || n != job.n)
        m.head().flags |= SETTIMER | STARTTIMER | TX_ANNOUNCE | TX_RESET_MULTI_IDX;
    m.head().ival2.tv_sec = long(period_us / 1000000u);
    m.head().ival2.tv_usec = long(period_us % 1000000u);
    const size_t fsize = fd ? sizeof(canfd_frame) : sizeof(can_frame);
    uint8_t *out = m.frames();
    for (uint16_t i = 0; i < n; i++) {
        canfd_frame cf{};
        cf.can_id = canid | ((frames[i].flags & ZK_FRAME_RTR) ? CAN_RTR_FLAG : 0);
        cf.len = frames[i].len;
        if (fd)
            cf.flags = uint8_t(((frames[i].flags & ZK_FRAME_BRS) ? CANFD_BRS : 0) |
                               ((frames[i].flags & ZK_FRAME_ESI) ? CANFD_ESI : 0));
        if (!(frames[i].flags & ZK_FRAME_RTR)) memcpy(cf.data, frames[i].data, cf.len);
        memcpy(out + i * fsize, &cf, fsize);
    }
    /* Counted from the first frame on: the job is known before it runs. */
    const Job before = job;
    {
        std::lock_guard<std::mutex> g(s.mu);
        job.used = true;
        job.fd = fd;
        job.canid = canid;
        if (fresh) job.sent = 0;
        if (!before.used) s.njobs++;
    }
    if (fresh && s.mask) apply_filters(s, s.code, s.mask);
    const int16_t rc = bcm_write(s, sizeof(bcm_msg_head) + n * fsize);
    std::lock_guard<std::mutex> g(s.mu);
    if (rc < 0) {
        /* A job the kernel no longer has (deleted to grow) is gone. */
        if (fresh) {
            job = Job{};
            s.njobs--;
        } else {
            job = before;
        }
        return rc;
    }
    job.n = n;
    job.period_us = period_us;
    return ZK_OK;
}

/* The kernel's own count of a job (frames it handed to the driver), from
 * the socket's entry in /proc/net/can-bcm: lines "tx_op: <can_id hex>
 * <iface> [n] ... # sent <count>", "(n)" for FD jobs. False where there
 * is none (no procfs). */
bool SocketcanBackend::kernel_count(Slot &s, uint32_t canid, bool fd, uint32_t *sent)
{
    struct stat st;
    if (fstat(s.bcm, &st) != 0) return false;
    char path[64];
    snprintf(path, sizeof path, "/proc/net/can-bcm/%lu", static_cast<unsigned long>(st.st_ino));
    const int f = ::open(path, O_RDONLY | O_CLOEXEC | O_NONBLOCK);
    if (f < 0) return false;
    static char text[16384];  /* API lock held */
    size_t used = 0;
    for (ssize_t r; used < sizeof text - 1 && (r = ::read(f, text + used, sizeof text - 1 - used)) > 0;)
        used += size_t(r);
    ::close(f);
    text[used] = '\0';
    char want[32];
    snprintf(want, sizeof want, "tx_op: %03X ", unsigned(canid));
    for (char *line = text; line && *line;) {
        char *end = strchr(line, '\n');
        if (end) *end = '\0';
        const char *count = strstr(line, "# sent ");
        if (strncmp(line, want, strlen(want)) == 0 && count &&
            (strchr(line, fd ? '(' : '[') != nullptr)) {
            *sent = uint32_t(strtoul(count + 7, nullptr, 10));
            return true;
        }
        line = end ? end + 1 : nullptr;
    }
    return false;
}

/* Stops a job's timer, its frames and their turn left as they are: the
 * job's frames as the kernel reports them (TX_READ), set again with no
 * interval. */
void SocketcanBackend::stop_timer(Slot &s, uint32_t canid, bool fd)
{
    BcmMsg &m = *s.bcm_msg;
    memset(&m.head(), 0, sizeof(bcm_msg_head));
    m.head().opcode = TX_READ;
    m.head().can_id = canid;
    m.head().flags = fd ? CAN_FD_FRAME : 0;
    if (bcm_write(s, sizeof(bcm_msg_head)) != ZK_OK) return;
    pollfd p{s.bcm, POLLIN, 0};
    if (::poll(&p, 1, 100) <= 0) return;
    const ssize_t r = recv(s.bcm, m.bytes, sizeof m.bytes, MSG_DONTWAIT);
    if (r < ssize_t(sizeof(bcm_msg_head)) || m.head().opcode != TX_STATUS) return;
    m.head().opcode = TX_SETUP;
    m.head().flags = SETTIMER | (fd ? CAN_FD_FRAME : 0);
    m.head().count = 0;
    m.head().ival1 = bcm_timeval{};
    m.head().ival2 = bcm_timeval{};
    bcm_write(s, size_t(r));
}

int16_t SocketcanBackend::cyclic_stop(int slot, uint32_t id, uint8_t flags, uint32_t *sent)
{
    Slot &s = slots_[slot];
    const uint32_t canid = job_canid(id, flags);
    const bool fd = (flags & ZK_FRAME_FDF) != 0;
    int j;
    {
        std::lock_guard<std::mutex> g(s.mu);
        j = find_job(s, canid, fd);
    }
    if (j < 0 || s.bcm < 0) return ZK_OK;
    stop_timer(s, canid, fd);
    if (!kernel_count(s, canid, fd, sent)) {
        std::lock_guard<std::mutex> g(s.mu);
        *sent = s.jobs[j].sent;
    }
    BcmMsg &m = *s.bcm_msg;
    memset(&m.head(), 0, sizeof(bcm_msg_head));
    m.head().opcode = TX_DELETE;
    m.head().can_id = canid;
    m.head().flags = fd ? CAN_FD_FRAME : 0;
    const int16_t rc = bcm_write(s, sizeof(bcm_msg_head));
    if (rc == ZK_E_GONE) return rc;
    /* Refused only for a job the kernel no longer has: gone either way. */
    std::lock_guard<std::mutex> g(s.mu);
    s.jobs[j] = Job{};
    s.njobs--;
    return ZK_OK;
}

int16_t SocketcanBackend::cyclic_sent(int slot, uint32_t id, uint8_t flags, uint32_t *sent)
{
    Slot &s = slots_[slot];
    const uint32_t canid = job_canid(id, flags);
    const bool fd = (flags & ZK_FRAME_FDF) != 0;
    {
        std::lock_guard<std::mutex> g(s.mu);
        const int j = find_job(s, canid, fd);
        if (j < 0) {
            zk::set_detail("no cyclic job of identifier %X runs on %s", unsigned(id), s.name);
            return ZK_E_QEMPTY;
        }
        *sent = s.jobs[j].sent;
    }
    kernel_count(s, canid, fd, sent);
    return ZK_OK;
}

/* A frame this computer sent came back: a job's, when it has the job's
 * identifier and format. */
void SocketcanBackend::count_echo(Slot &s, uint32_t can_id, bool fd)
{
    const uint32_t canid = can_id & (CAN_EFF_FLAG | CAN_EFF_MASK);
    std::lock_guard<std::mutex> g(s.mu);
    const int j = find_job(s, (canid & CAN_EFF_FLAG) ? canid : canid & CAN_SFF_MASK, fd);
    if (j >= 0) s.jobs[j].sent++;
}

int16_t SocketcanBackend::chip_status(int slot, zk_chipstat *st)
{
    Slot &s = slots_[slot];
    if (int16_t rc = check(s)) return rc;
    {
        std::lock_guard<std::mutex> g(s.mu);
        st->bus_state = s.err.bus_state;
        st->rec = s.err.rec;
        st->tec = s.err.tec;
    }
    link_info li;
    if (link_get(s.ifindex, &li) == 0 && li.can) {
        if (li.has_state && li.state <= CAN_STATE_BUS_OFF) st->bus_state = uint8_t(li.state);
        if (li.has_berr) {
            st->rec = uint8_t(li.rxerr > 255 ? 255 : li.rxerr);
            st->tec = uint8_t(li.txerr > 255 ? 255 : li.txerr);
        }
    }
    st->irq = -1;
    st->base = 0;
    return ZK_OK;
}

/* ---- reader thread --------------------------------------------------- */

void SocketcanBackend::on_error_frame(Slot &s, const can_frame &cf)
{
    err_counts c;
    {
        std::lock_guard<std::mutex> g(s.mu);
        c = apply_error_frame(cf.can_id, cf.data, &s.err);
    }
    zk::zk_rx_port *port = s.port;
    if (!port) return;
    if (cf.can_id & CAN_ERR_ACK) port->event(zk::ZK_EV_ACKERR);
    /* A bus-off controller has given up its queue (the kernel frees what
     * it held at the restart). */
    if (c.boff) tx_finish(s, 0);
    if (c.ewl) port->event(zk::ZK_EV_EWL, c.ewl);
    if (c.boff) port->event(zk::ZK_EV_BOFF, c.boff);
    if (c.hovr) port->event(zk::ZK_EV_HOVR, c.hovr);
    if (c.wtout) port->event(zk::ZK_EV_WTOUT, c.wtout);
}

void SocketcanBackend::reader_main(Slot *sp)
{
    Slot &s = *sp;
    mmsghdr msgs[kBatch];
    iovec iov[kBatch];
    for (;;) {
        pollfd p[2] = {{s.fd, POLLIN, 0}, {s.wake, POLLIN, 0}};
        if (::poll(p, 2, -1) < 0 && errno != EINTR) break;
        if (p[1].revents) return;
        for (int i = 0; i < kBatch; i++) {
            iov[i] = {&s.frames[size_t(i)], sizeof(canfd_frame)};
            msgs[i].msg_hdr = msghdr{};
            msgs[i].msg_hdr.msg_iov = &iov[i];
            msgs[i].msg_hdr.msg_iovlen = 1;
            msgs[i].msg_hdr.msg_control = s.cmsgs.get() + size_t(i) * kCmsgSize;
            msgs[i].msg_hdr.msg_controllen = kCmsgSize;
        }
        const int n = recvmmsg(s.fd, msgs, kBatch, MSG_DONTWAIT, nullptr);
        if (n < 0) {
            const int e = errno;
            /* Down: the kernel dropped what was queued. */
            if (e == ENETDOWN) tx_finish(s, 0);
            if (e == EAGAIN || e == EINTR || e == ENETDOWN) continue;
            break;  /* ENODEV: the interface is gone */
        }
        /* Kernel times are on the real-time clock; the library's on the
         * monotonic one. */
        timespec rt, mono;
        clock_gettime(CLOCK_REALTIME, &rt);
        clock_gettime(CLOCK_MONOTONIC, &mono);
        const int64_t offset_ns = (int64_t(rt.tv_sec) - mono.tv_sec) * 1000000000 +
                                  (int64_t(rt.tv_nsec) - mono.tv_nsec);
        zk::zk_rx_port *port = s.port;
        for (int i = 0; i < n; i++) {
            const canfd_frame &fdf = s.frames[size_t(i)];
            /* A classic frame has the layout of the start of an FD one. */
            can_frame cf;
            memcpy(&cf, &fdf, sizeof cf);
            uint32_t ts = uint32_t(zk::clock_us());
            bool have_drops = false;
            uint32_t drops = 0;
            msghdr &h = msgs[i].msg_hdr;
            for (cmsghdr *c = CMSG_FIRSTHDR(&h); c; c = CMSG_NXTHDR(&h, c)) {
                if (c->cmsg_level != SOL_SOCKET) continue;
                if (c->cmsg_type == SO_TIMESTAMPNS_OLD) {
                    timespec k;
                    memcpy(&k, CMSG_DATA(c), sizeof k);
                    const int64_t ns = int64_t(k.tv_sec) * 1000000000 + k.tv_nsec - offset_ns;
                    ts = uint32_t(uint64_t(ns) / 1000u);
                } else if (c->cmsg_type == SO_RXQ_OVFL) {
                    memcpy(&drops, CMSG_DATA(c), sizeof drops);
                    have_drops = true;
                }
            }
            if (have_drops && drops != s.last_drops) {
                if (port) port->event(zk::ZK_EV_SOVR, drops - s.last_drops);
                s.last_drops = drops;
            }
            /* Frames of one channel stay in time order even where the
             * clocks were read a little apart. */
            if (int32_t(ts - s.last_ts) < 0 && s.last_ts) ts = s.last_ts;
            s.last_ts = ts;
            if (msgs[i].msg_len < sizeof(can_frame) - 8) continue;
            if (cf.can_id & CAN_ERR_FLAG) {
                on_error_frame(s, cf);
                continue;
            }
            if (h.msg_flags & MSG_CONFIRM) {
                /* Our own write, sent: a result, not a received frame. */
                tx_confirmed(s, fdf, msgs[i].msg_len == CANFD_MTU, ts);
                continue;
            }
            if (s.njobs > 0 && (h.msg_flags & MSG_DONTROUTE))
                count_echo(s, cf.can_id, msgs[i].msg_len == CANFD_MTU);
            if (!port) continue;
            if (msgs[i].msg_len == CANFD_MTU) {
                zk_fdframe f{};
                const bool ext = (fdf.can_id & CAN_EFF_FLAG) != 0;
                f.id = fdf.can_id & (ext ? CAN_EFF_MASK : CAN_SFF_MASK);
                f.flags = uint8_t((ext ? ZK_FRAME_EFF : 0) | ZK_FRAME_FDF |
                                  ((fdf.flags & CANFD_BRS) ? ZK_FRAME_BRS : 0) |
                                  ((fdf.flags & CANFD_ESI) ? ZK_FRAME_ESI : 0));
                f.len = fdf.len > CANFD_MAX_DLEN ? CANFD_MAX_DLEN : fdf.len;
                memcpy(f.data, fdf.data, f.len);
                f.ts = ts;
                port->frame(f);
                continue;
            }
            zk_frame f{};
            const bool ext = (cf.can_id & CAN_EFF_FLAG) != 0;
            f.id = cf.can_id & (ext ? CAN_EFF_MASK : CAN_SFF_MASK);
            f.flags = uint8_t((ext ? ZK_FRAME_EFF : 0) | (cf.can_id & CAN_RTR_FLAG ? ZK_FRAME_RTR : 0));
            f.len = cf.len > 8 ? 8 : cf.len;
            if (!(f.flags & ZK_FRAME_RTR)) memcpy(f.data, cf.data, f.len);
            f.ts = ts;
            port->frame(f);
        }
    }
    s.gone = true;
    tx_finish(s, 0);
    if (zk::zk_rx_port *port = s.port) port->lost();
}

/* ---- transmit results ------------------------------------------------ */

namespace {

void fill_rec(TxRec &r, const canfd_frame &f, bool fd)
{
    r.can_id = f.can_id & (CAN_EFF_FLAG | CAN_RTR_FLAG | CAN_EFF_MASK);
    r.len = f.len;
    r.fd = fd;
    memset(r.data, 0, sizeof r.data);
    if (!(f.can_id & CAN_RTR_FLAG)) memcpy(r.data, f.data, f.len < 8 ? f.len : 8);
}

bool same_frame(const TxRec &a, const TxRec &b)
{
    return a.can_id == b.can_id && a.len == b.len && a.fd == b.fd &&
           memcmp(a.data, b.data, sizeof a.data) == 0;
}

}  // namespace

/* Records a frame about to be sent; false when the record is full. */
bool SocketcanBackend::tx_track(Slot &s, const void *frame, size_t size)
{
    canfd_frame f{};
    memcpy(&f, frame, size < sizeof f ? size : sizeof f);
    std::lock_guard<std::mutex> g(s.txm);
    if (s.tx_count == kTxRecs) return false;
    TxRec &r = s.tx[size_t((s.tx_head + s.tx_count) % kTxRecs)];
    fill_rec(r, f, size == sizeof(canfd_frame));
    r.confirmed = false;
    r.ts = 0;
    s.tx_count++;
    return true;
}

/* The frame just tracked was not sent after all. */
void SocketcanBackend::tx_untrack(Slot &s)
{
    std::lock_guard<std::mutex> g(s.txm);
    if (s.tx_count > 0) s.tx_count--;
}

/* A confirmation: the oldest unconfirmed frame it matches was sent. One
 * that matches none (no such frame written since open) is passed over.
 * Then the confirmed frames at the front are settled. */
void SocketcanBackend::tx_confirmed(Slot &s, const canfd_frame &f, bool fd, uint32_t ts)
{
    TxRec got;
    fill_rec(got, f, fd);
    std::lock_guard<std::mutex> g(s.txm);
    for (int i = 0; i < s.tx_count; i++) {
        TxRec &r = s.tx[size_t((s.tx_head + i) % kTxRecs)];
        if (!r.confirmed && same_frame(r, got)) {
            r.confirmed = true;
            r.ts = ts;
            break;
        }
    }
    uint32_t n = 0, last = 0;
    while (s.tx_count > 0 && s.tx[size_t(s.tx_head)].confirmed) {
        last = s.tx[size_t(s.tx_head)].ts;
        s.tx_head = (s.tx_head + 1) % kTxRecs;
        s.tx_count--;
        n++;
    }
    zk::zk_rx_port *port = s.port;
    if (n && port) port->tx_settle(ZK_TX_SENT, n, last);
}

/* Settles every tracked frame, after waiting up to wait_ms for the
 * outstanding ones to be confirmed: confirmed ones sent, the rest dropped. */
void SocketcanBackend::tx_finish(Slot &s, int wait_ms)
{
    if (!s.txres) return;
    const uint64_t until = zk::clock_us() + 1000u * uint64_t(wait_ms);
    for (;;) {
        {
            std::lock_guard<std::mutex> g(s.txm);
            if (s.tx_count == 0) return;
        }
        if (wait_ms <= 0 || zk::clock_us() >= until) break;
        /* The reader settles them; look again every millisecond. */
        const timespec pause{0, 1000000};
        nanosleep(&pause, nullptr);
    }
    std::lock_guard<std::mutex> g(s.txm);
    zk::zk_rx_port *port = s.port;
    const uint32_t now = uint32_t(zk::clock_us());
    for (; s.tx_count > 0; s.tx_count--) {
        const TxRec &r = s.tx[size_t(s.tx_head)];
        s.tx_head = (s.tx_head + 1) % kTxRecs;
        if (port) port->tx_settle(r.confirmed ? ZK_TX_SENT : ZK_TX_DROPPED, 1, r.confirmed ? r.ts : now);
    }
}

/* ---- factory --------------------------------------------------------- */

std::unique_ptr<zk::zk_backend> make_socketcan(const char *args, uint8_t board, char *err,
                                               size_t err_size)
{
    char names[ZK_CHANNELS_PER_BOARD][kNameMax];
    const int n = parse_names(args, names, ZK_CHANNELS_PER_BOARD, err, err_size);
    if (n < 0) return nullptr;
    return std::unique_ptr<zk::zk_backend>(new SocketcanBackend(names, n));
}

ZK_REGISTER_BACKEND("socketcan", make_socketcan);

}  // namespace
