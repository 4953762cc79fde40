/*
 * slcan_backend.cpp - boards of kind "slcan": serial-line CAN adapters
 * speaking the Lawicel-style ASCII protocol on a tty.
 *
 *   slcan:/dev/ttyACM0
 *   slcan:/dev/ttyACM0,timeout=100,fpoll=100,speed=115200
 *
 * timeout  ms to wait for an adapter's answer to a command (default 200)
 * fpoll    ms between status-flag polls while running, 0 off (default 100)
 * speed    tty speed, ignored by USB CDC-ACM adapters (default 115200)
 * fd       auto, yes or no: whether the adapter speaks the CAN FD dialect
 *          (default auto: found out when a channel is opened for FD)
 *
 * CAN FD. Some firmware extends the protocol: FD frames are d/D (without)
 * and b/B (with the bit-rate switch) lines with a DLC code 0..F, the data
 * rate is chosen with Y1, Y2, Y4, Y5 or Y8 (Mbit/s). Opening a channel
 * for FD sends Y for the data rate: an adapter that accepts it speaks the
 * dialect; one that refuses it (BEL) is a classic adapter and the open
 * fails with ZK_E_NOFD saying so; one that acknowledges no command at all
 * cannot tell, and is taken for classic unless the board entry says
 * fd=yes. Until an FD open found out, an adapter counts as FD-capable
 * (zk_board.fd_slots) unless its entry says fd=no; the probe is never
 * sent when only classic CAN is asked for.
 *
 * One channel per board. A reader thread inside the library drains the
 * tty, decodes frames and status lines and hands them to the core's
 * receive port, so nothing is lost between the host's reads. Commands
 * from the API thread are written under a write lock and matched, in
 * order, with the answers the reader sees; every wait has a deadline.
 *
 * Dialects differ: some firmware acknowledges every command (CR, BEL on
 * error, z/Z for frames), some acknowledges nothing. The open handshake
 * finds out which: an adapter that answers neither C nor V with anything
 * fails with ZK_E_NORESPONSE (or ZK_E_PROTO when it only sent garbage);
 * one that answers V but not C is treated as acknowledging nothing, and
 * its commands are sent without waiting.
 *
 * Transmit results: an adapter's z/Z answer only says the frame was
 * queued, so a written frame is settled ZK_TX_HANDED when it comes (or
 * when it is written, to an adapter that acknowledges nothing); one
 * refused after its write returned (a late BEL) is dropped; one whose
 * answer never came is taken as handed when it is given up. Frames still
 * unanswered when the adapter's channel closes (stop, reset, close) or the
 * tty hangs up are left to the core, which drops them.
 *
 * When the tty hangs up (adapter unplugged) the reader stops and every
 * operation of the channel fails with ZK_E_GONE until it is closed and
 * opened again; ZkRead and ZkErrsGetClear first hand out what arrived
 * before.
 */
#include "core/backend.h"
#include "slcan_proto.h"

#include <atomic>
#include <condition_variable>
#include <memory>
#include <mutex>
#include <thread>

#include <errno.h>
#include <fcntl.h>
#include <limits.h>
#include <poll.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <termios.h>
#include <unistd.h>

namespace {

using namespace zk_slcan;

constexpr int kAnswerMsDefault = 200;
constexpr int kStatusPollMsDefault = 100;
constexpr int kIdentityRetryMs = 2000;
constexpr size_t kReadBuf = 64 * 1024;
constexpr int kPendingMax = 64;
constexpr size_t kTextMax = 64;

/* What a command got back. */
enum class Reply : uint8_t {
    None,  /* no answer before the deadline */
    Ok,    /* CR, z or Z */
    Bell,  /* refused */
    Text,  /* V..., N..., F.. answer */
    Gone,  /* the device disappeared */
    Io,    /* could not be written */
};

/* A command or frame sent and not yet answered. */
struct Pending {
    char letter;    /* first character of what was sent */
    uint32_t seq;
    uint64_t sent_us;
    bool tx;        /* a written frame whose fate the core waits for */
};

bool is_frame(char c)
{
    return c && strchr("tTrRdDbB", c);
}

struct Speed {
    unsigned bps;
    speed_t code;
};
const Speed kSpeeds[] = {
    {9600, B9600},     {19200, B19200},     {38400, B38400},     {57600, B57600},
    {115200, B115200}, {230400, B230400},   {460800, B460800},   {500000, B500000},
    {921600, B921600}, {1000000, B1000000}, {2000000, B2000000}, {3000000, B3000000},
};

bool parse_uint(const char *s, unsigned lo, unsigned hi, unsigned *out)
{
    if (!*s) return false;
    char *end = nullptr;
    errno = 0;
    const unsigned long v = strtoul(s, &end, 10);
    if (errno || *end || v < lo || v > hi) return false;
    *out = static_cast<unsigned>(v);
    return true;
}

class SlcanBackend final : public zk::zk_backend {
public:
    SlcanBackend(const char *dev, int answer_ms, int fpoll_ms, speed_t speed, int fd_opt)
        : answer_ms_(answer_ms), fpoll_ms_(fpoll_ms), speed_(speed), fd_opt_(fd_opt),
          rxbuf_(new char[kReadBuf])
    {
        zk::copy_text(dev_, sizeof dev_, dev);
    }
    ~SlcanBackend() override { close_device(); }

    int channels() const override { return 1; }
    void board_names(char *name, size_t name_size, char *manufacturer,
                     size_t manufacturer_size) override;
    int16_t serial(char *buf, size_t size) override;
    void lock_name(int slot, char *buf, size_t size) override;
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
    bool fd_capable(int slot) override { return fd_opt_ > 0 || (fd_opt_ == 0 && fd_known_ >= 0); }
    void fd_timing(int slot, uint32_t *bitrate, uint16_t *sample_point, uint8_t *mode) override
    {
        *bitrate = dbitrate_;
    }
    int16_t set_data_rate(int slot, uint32_t bitrate, uint16_t sample_point, uint8_t mode) override;
    int16_t write_fd(int slot, const zk_fdframe &frame, uint16_t timeout_ms) override;
    int16_t chip_status(int slot, zk_chipstat *st) override;
    void board_text(zk::zk_text_list &list) override;
    const char *chip_name(int slot) override { return "SLCAN"; }
    bool tx_fates(int slot) override { return true; }

private:
    /* device */
    int16_t in_use() const;
    int16_t open_device();
    void close_device();
    int16_t handshake();
    void query_identity(bool with_serial);
    void ensure_identity();
    size_t write_all(const char *p, size_t n, uint64_t deadline_us);

    /* commands */
    Reply command(const char *cmd, char *text = nullptr, size_t text_size = 0,
                  bool expect_text = false);
    int16_t check_gone() const;
    int16_t refused(const char *cmd, int16_t code);
    int16_t apply_rate(uint8_t bt0, uint8_t bt1, uint32_t bitrate);
    int16_t send_rate(const char *cmd);
    int16_t go_on_bus();
    int16_t restart_if_running();
    int16_t open_fd();
    int16_t send_line(const char *line, size_t n, uint16_t timeout_ms);

    /* reader thread and the answer queue (mu_) */
    void reader_main();
    void on_line(const char *s, size_t n, bool ok, uint32_t now32);
    void on_reply(LineKind kind, const char *text, size_t text_len);
    void on_flags(uint8_t flags);
    void on_state(char state, uint16_t rec, uint16_t tec);
    void set_bus_state(uint8_t st);
    void poll_status();
    void push_pending(char letter, uint32_t seq);
    void remove_pending(uint32_t seq);
    void remove_pending_at(int i);
    void expire_pending(uint64_t now);
    void settle(const Pending &p, uint8_t status);
    void forget_frames();
    void mark_gone();
    void poke_reader();

    /* configuration */
    char dev_[PATH_MAX] = "";
    const int answer_ms_;
    const int fpoll_ms_;
    const speed_t speed_;
    const int fd_opt_;          /* 1 fd=yes, -1 fd=no, 0 auto */

    /* device, owned by the API thread (API lock held) */
    int fd_ = -1;
    int wake_[2] = {-1, -1};
    std::thread reader_;
    bool opened_ = false;
    uint8_t open_flags_ = ZK_OPEN_BOTH;
    bool lom_ = false;
    uint8_t bt0_ = 0x00, bt1_ = 0x1C;
    uint32_t bitrate_ = 500000;
    uint32_t code_ = 0, mask_ = 0;
    uint32_t seq_sent_ = 0;     /* commands written so far */
    char rate_cmd_[16] = "S6";  /* the rate command in force */
    int fd_known_ = 0;          /* FD dialect: 1 spoken, -1 not, 0 not known yet */
    uint32_t dbitrate_ = 2000000; /* data rate in force on an FD channel */
    bool filter_refused_ = false;
    bool identity_known_ = false;
    uint64_t identity_tried_us_ = 0;
    char version_[kTextMax] = "";
    char serial_[kTextMax] = "";

    /* shared with the reader thread */
    std::atomic<zk::zk_rx_port *> port_{nullptr};
    std::atomic<bool> acks_{true};  /* adapter answers commands */
    std::atomic<bool> gone_{false};
    std::atomic<bool> running_{false};
    std::atomic<bool> fpoll_ok_{true};
    std::atomic<uint32_t> bad_lines_{0};
    std::atomic<uint32_t> bus_errors_{0};
    std::atomic<uint32_t> tx_refused_{0};
    std::mutex wmu_;            /* one writer on the tty at a time */
    std::mutex mu_;             /* everything below */
    std::condition_variable cv_;
    Pending pending_[kPendingMax];
    int pending_count_ = 0;
    uint32_t seq_ = 0;
    uint32_t waiter_seq_ = 0;   /* command the API thread waits for */
    bool waiter_done_ = false;
    Reply waiter_reply_ = Reply::None;
    char waiter_text_[kLineMax + 1] = "";
    uint8_t bus_state_ = 0;     /* 0 active, 1 warning, 2 passive, 3 bus-off */
    bool state_lines_ = false;  /* adapter reports its state in s-lines */
    uint8_t last_flags_ = 0;
    uint16_t rec_ = 0, tec_ = 0;
    int fpoll_missed_ = 0;

    /* reader thread only */
    LineAssembler asm_;
    uint32_t now32_ = 0;        /* receive time of the current chunk */
    std::unique_ptr<char[]> rxbuf_;
};

/* ---- device ---------------------------------------------------------- */

/* The device is held elsewhere: name the holder where the system tells. */
int16_t SlcanBackend::in_use() const
{
    char who[160];
    if (zk::lock_holder(dev_, who, sizeof who))
        zk::set_detail("%s is in use by %s", dev_, who);
    else
        zk::set_detail("%s is in use by another program", dev_);
    return ZK_E_BUSY;
}

int16_t SlcanBackend::open_device()
{
    const int fd = ::open(dev_, O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) {
        const int e = errno;
        if (e == EBUSY) return in_use();
        zk::set_detail("cannot open %s: %s", dev_, strerror(e));
        return ZK_E_NODEV;
    }
    /* The lock on the device itself keeps out every other program, of
     * this user or another one (the channel locks are per user), and
     * another board entry naming the same device: refuse rather than
     * fight over its bytes. */
    if (flock(fd, LOCK_EX | LOCK_NB) != 0) {
        ::close(fd);
        return in_use();
    }
    termios tio;
    if (tcgetattr(fd, &tio) != 0) {
        const int e = errno;
        ::close(fd);
        zk::set_detail("%s is not a serial device: %s", dev_, strerror(e));
        return ZK_E_NODEV;
    }
    cfmakeraw(&tio);
    tio.c_cflag |= CLOCAL | CREAD;
    tio.c_cflag &= ~(CRTSCTS | HUPCL);
    tio.c_cc[VMIN] = 0;
    tio.c_cc[VTIME] = 0;
    cfsetispeed(&tio, speed_);
    cfsetospeed(&tio, speed_);
    if (tcsetattr(fd, TCSANOW, &tio) != 0) {
        const int e = errno;
        ::close(fd);
        zk::set_detail("cannot configure %s: %s", dev_, strerror(e));
        return ZK_E_IO;
    }
    ioctl(fd, TIOCEXCL);
    tcflush(fd, TCIOFLUSH);
    if (pipe2(wake_, O_CLOEXEC | O_NONBLOCK) != 0) {
        ::close(fd);
        wake_[0] = wake_[1] = -1;
        zk::set_detail("cannot create a pipe: %s", strerror(errno));
        return ZK_E_NOMEM;
    }
    fd_ = fd;
    gone_ = false;
    running_ = false;
    fpoll_ok_ = true;
    {
        std::lock_guard<std::mutex> g(mu_);
        pending_count_ = 0;
        waiter_seq_ = 0;
        waiter_done_ = false;
        bus_state_ = 0;
        state_lines_ = false;
        last_flags_ = 0;
        rec_ = tec_ = 0;
        fpoll_missed_ = 0;
    }
    asm_.reset();
    reader_ = std::thread(&SlcanBackend::reader_main, this);
    return ZK_OK;
}

void SlcanBackend::close_device()
{
    if (reader_.joinable()) {
        const char c = 'q';
        ssize_t r = ::write(wake_[1], &c, 1);
        (void)r;
        reader_.join();
    }
    for (int &w : wake_) {
        if (w >= 0) ::close(w);
        w = -1;
    }
    if (fd_ >= 0) ::close(fd_);
    fd_ = -1;
    port_ = nullptr;
    running_ = false;
}

/* Writes all of p before deadline_us; returns the bytes written. A
 * hung-up device marks the channel gone. */
size_t SlcanBackend::write_all(const char *p, size_t n, uint64_t deadline_us)
{
    size_t done = 0;
    while (done < n) {
        const ssize_t r = ::write(fd_, p + done, n - done);
        if (r > 0) {
            done += static_cast<size_t>(r);
            continue;
        }
        if (r < 0 && errno == EINTR) continue;
        if (r < 0 && errno != EAGAIN) {
            mark_gone();
            break;
        }
        const uint64_t now = zk::clock_us();
        if (now >= deadline_us || gone_) break;
        pollfd pfd{fd_, POLLOUT, 0};
        const int ms = static_cast<int>((deadline_us - now + 999) / 1000);
        if (::poll(&pfd, 1, ms) > 0 && (pfd.revents & (POLLHUP | POLLERR | POLLNVAL))) {
            mark_gone();
            break;
        }
    }
    return done;
}

int16_t SlcanBackend::check_gone() const
{
    if (!gone_) return ZK_OK;
    zk::set_detail("%s", dev_);
    return ZK_E_GONE;
}

int16_t SlcanBackend::refused(const char *cmd, int16_t code)
{
    zk::set_detail("adapter on %s refused command '%s'", dev_, cmd);
    return code;
}

/* ---- commands -------------------------------------------------------- */

/* Sends cmd (without its CR) and waits up to the answer timeout for the
 * reply. An adapter that acknowledges nothing gets the command without a
 * wait (Reply::Ok), unless a text answer is expected (V, N). */
Reply SlcanBackend::command(const char *cmd, char *text, size_t text_size, bool expect_text)
{
    if (text && text_size) text[0] = '\0';
    if (gone_ || fd_ < 0) return Reply::Gone;
    char buf[kCmdMax];
    const size_t n = fmt_simple(buf, sizeof buf, cmd);
    if (n == 0) return Reply::Io;
    const bool wait = acks_ || expect_text;
    const uint64_t t0 = zk::clock_us();
    uint32_t seq = 0;
    std::unique_lock<std::mutex> wl(wmu_);
    if (wait) {
        std::lock_guard<std::mutex> g(mu_);
        seq = ++seq_;
        if (seq == 0) seq = ++seq_;
        push_pending(cmd[0] ? cmd[0] : '-', seq);
        waiter_seq_ = seq;
        waiter_done_ = false;
        waiter_reply_ = Reply::None;
    }
    const size_t w = write_all(buf, n, t0 + 1000u * static_cast<uint64_t>(answer_ms_));
    wl.unlock();
    seq_sent_++;
    std::unique_lock<std::mutex> g(mu_);
    if (w != n) {
        if (wait) {
            remove_pending(seq);
            waiter_seq_ = 0;
        }
        return gone_ ? Reply::Gone : Reply::Io;
    }
    if (!wait) return Reply::Ok;
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(answer_ms_);
    cv_.wait_until(g, deadline, [this] { return waiter_done_ || gone_.load(); });
    Reply r = Reply::None;
    if (waiter_done_) {
        r = waiter_reply_;
        if (text && text_size) zk::copy_text(text, text_size, waiter_text_);
    } else {
        remove_pending(seq);
        if (gone_) r = Reply::Gone;
    }
    waiter_seq_ = 0;
    waiter_done_ = false;
    return r;
}

/* The first exchange after opening the tty: end whatever partial command
 * the adapter holds, close its channel, read version and serial. */
int16_t SlcanBackend::handshake()
{
    acks_ = true;
    const uint32_t bad0 = bad_lines_;
    const Reply flush = command("");
    const Reply close = command("C");
    if (flush == Reply::Gone || close == Reply::Gone) return check_gone();
    const bool answered = flush != Reply::None || close != Reply::None;
    acks_ = close == Reply::Ok || close == Reply::Bell;
    const Reply ver = command("V", version_, sizeof version_, true);
    if (ver == Reply::Gone) return check_gone();
    if (!answered && ver != Reply::Text) {
        if (bad_lines_ != bad0) {
            zk::set_detail("adapter on %s answers with garbage", dev_);
            return ZK_E_PROTO;
        }
        zk::set_detail("adapter on %s does not answer", dev_);
        return ZK_E_NORESPONSE;
    }
    if (acks_) {
        if (command("N", serial_, sizeof serial_, true) != Reply::Text) serial_[0] = '\0';
    }
    if (ver != Reply::Text) version_[0] = '\0';
    identity_known_ = true;
    return check_gone();
}

/* Version and serial of an adapter that is not open, for the board list.
 * Sends only V and N, which change nothing on the adapter. */
void SlcanBackend::query_identity(bool with_serial)
{
    const bool saved_acks = acks_;
    acks_ = true;
    if (command("V", version_, sizeof version_, true) != Reply::Text) {
        version_[0] = '\0';
    } else {
        identity_known_ = true;
        if (with_serial && command("N", serial_, sizeof serial_, true) != Reply::Text)
            serial_[0] = '\0';
    }
    acks_ = saved_acks;
}

void SlcanBackend::ensure_identity()
{
    if (identity_known_ || opened_) return;
    const uint64_t now = zk::clock_us();
    if (identity_tried_us_ && now - identity_tried_us_ < kIdentityRetryMs * 1000u) return;
    identity_tried_us_ = now;
    if (open_device() != ZK_OK) return;
    query_identity(true);
    close_device();
}

int16_t SlcanBackend::apply_rate(uint8_t bt0, uint8_t bt1, uint32_t bitrate)
{
    char cmd[16];
    const int idx = zk::cia_index(bt0, bt1);
    /* Firmware without acknowledgements (stock CANable) runs S7 at
     * 750 kbit/s, so it cannot give 800 kbit/s. */
    const auto usable = [this](int i) { return i >= 0 && (acks_ || i != 7); };
    if (idx < 0 && acks_) {
        snprintf(cmd, sizeof cmd, "s%02X%02X", bt0, bt1);
        const Reply r = command(cmd);
        if (r == Reply::Ok) {
            zk::copy_text(rate_cmd_, sizeof rate_cmd_, cmd);
            return ZK_OK;
        }
        if (r == Reply::Gone) return check_gone();
        if (r != Reply::Bell) {
            zk::set_detail("adapter on %s does not answer command '%s'", dev_, cmd);
            return r == Reply::Io ? ZK_E_IO : ZK_E_NORESPONSE;
        }
        const int alt = index_for_bitrate(bitrate);
        if (!usable(alt)) {
            zk::set_detail("adapter on %s refused command '%s' and has no predefined code "
                           "for %u bit/s", dev_, cmd, static_cast<unsigned>(bitrate));
            return ZK_E_NORATE;
        }
        /* Same rate with the adapter's own timing. */
        snprintf(cmd, sizeof cmd, "S%d", alt);
    } else {
        const int i = idx >= 0 ? idx : index_for_bitrate(bitrate);
        if (!usable(i)) {
            zk::set_detail("adapter on %s cannot produce %u bit/s", dev_,
                           static_cast<unsigned>(bitrate));
            return ZK_E_NORATE;
        }
        snprintf(cmd, sizeof cmd, "S%d", i);
    }
    const int16_t rc = send_rate(cmd);
    if (rc == ZK_OK) zk::copy_text(rate_cmd_, sizeof rate_cmd_, cmd);
    return rc;
}

int16_t SlcanBackend::send_rate(const char *cmd)
{
    const Reply r = command(cmd);
    if (r == Reply::Ok) return ZK_OK;
    if (r == Reply::Gone) return check_gone();
    if (r == Reply::Bell) return refused(cmd, ZK_E_NORATE);
    zk::set_detail("adapter on %s does not answer command '%s'", dev_, cmd);
    return r == Reply::Io ? ZK_E_IO : ZK_E_NORESPONSE;
}

/* Programs the acceptance filter and opens the adapter's channel. The
 * channel must be closed. */
int16_t SlcanBackend::go_on_bus()
{
    if (acks_) {
        if (!filter_refused_) {
            const Registers reg = filter_registers(code_, mask_, (open_flags_ & ZK_OPEN_STD) != 0,
                                                   (open_flags_ & ZK_OPEN_EXT) != 0);
            char cmd[16];
            snprintf(cmd, sizeof cmd, "M%08X", static_cast<unsigned>(reg.acr));
            Reply r = command(cmd);
            if (r == Reply::Ok) {
                snprintf(cmd, sizeof cmd, "m%08X", static_cast<unsigned>(reg.amr));
                r = command(cmd);
            }
            if (r == Reply::Gone) return check_gone();
            /* Without a hardware filter the software filter does all. */
            if (r == Reply::Bell) filter_refused_ = true;
            if (r == Reply::None) {
                zk::set_detail("adapter on %s does not answer command '%s'", dev_, cmd);
                return ZK_E_NORESPONSE;
            }
        }
    } else {
        /* Stock CANable firmware: M0/M1 select normal/silent mode. */
        command(lom_ ? "M1" : "M0");
    }
    const char *open_cmd = lom_ && acks_ ? "L" : "O";
    const Reply r = command(open_cmd);
    switch (r) {
    case Reply::Ok:
    case Reply::Text:
        break;
    case Reply::Gone:
        return check_gone();
    case Reply::Bell:
        return refused(open_cmd, lom_ ? ZK_E_UNSUPPORTED : ZK_E_IO);
    case Reply::None:
        zk::set_detail("adapter on %s does not answer command '%s'", dev_, open_cmd);
        return ZK_E_NORESPONSE;
    case Reply::Io:
        zk::set_detail("cannot write to %s", dev_);
        return ZK_E_IO;
    }
    {
        std::lock_guard<std::mutex> g(mu_);
        bus_state_ = 0;
        last_flags_ = 0;
        fpoll_missed_ = 0;
    }
    running_ = true;
    poke_reader();
    return ZK_OK;
}

/* Closes the adapter's channel; C of a closed channel answers BEL, which
 * is fine. */
static int16_t close_reply(Reply r)
{
    if (r == Reply::Ok || r == Reply::Bell || r == Reply::Text) return ZK_OK;
    if (r == Reply::Gone) return ZK_E_GONE;
    if (r == Reply::Io) return ZK_E_IO;
    return ZK_E_NORESPONSE;
}

int16_t SlcanBackend::restart_if_running()
{
    if (!running_) return ZK_OK;
    running_ = false;
    const int16_t rc = close_reply(command("C"));
    if (rc == ZK_E_GONE) return check_gone();
    if (rc != ZK_OK) {
        zk::set_detail("adapter on %s does not answer command 'C'", dev_);
        return rc;
    }
    return go_on_bus();
}

/* ---- zk_backend ------------------------------------------------------ */

void SlcanBackend::board_names(char *name, size_t name_size, char *manufacturer,
                               size_t manufacturer_size)
{
    ensure_identity();
    if (version_[0])
        snprintf(name, name_size, "SLCAN V%s (%s)", version_, dev_);
    else
        snprintf(name, name_size, "SLCAN (%s)", dev_);
    zk::copy_text(manufacturer, manufacturer_size, "Serial-line CAN adapter");
}

int16_t SlcanBackend::serial(char *buf, size_t size)
{
    ensure_identity();
    /* Some firmware answers NFFFF when it has no serial number. */
    if (!serial_[0] || strcmp(serial_, "FFFF") == 0) {
        zk::set_detail("adapter on %s reports no serial number", dev_);
        return ZK_E_NOSERIAL;
    }
    zk::copy_text(buf, size, serial_);
    return ZK_OK;
}

void SlcanBackend::lock_name(int slot, char *buf, size_t size)
{
    /* The device, not the board entry: two entries naming one adapter (or
     * a symlink to it) share the lock. */
    char real[PATH_MAX];
    const char *path = realpath(dev_, real) ? real : dev_;
    snprintf(buf, size, "slcan%s-%d", path, slot);
}

int16_t SlcanBackend::probe(int slot)
{
    if (opened_) return ZK_E_BUSY;
    const int fd = ::open(dev_, O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) {
        if (errno == EBUSY) return in_use();
        zk::set_detail("cannot open %s: %s", dev_, strerror(errno));
        return ZK_E_NODEV;
    }
    int16_t rc = ZK_OK;
    if (flock(fd, LOCK_EX | LOCK_NB) != 0) rc = in_use();
    ::close(fd);
    return rc;
}

int16_t SlcanBackend::open(int slot, uint8_t flags, zk::zk_rx_port *port, uint8_t *bt0,
                           uint8_t *bt1)
{
    if (opened_) return ZK_E_BUSY;
    int16_t rc = open_device();
    if (rc != ZK_OK) return rc;
    rc = handshake();
    if (rc == ZK_OK) {
        filter_refused_ = false;
        lom_ = false;
        code_ = mask_ = 0;
        open_flags_ = flags;
        bt0_ = *bt0;
        bt1_ = *bt1;
        bitrate_ = zk::sja1000_bitrate(bt0_, bt1_);
        rc = apply_rate(bt0_, bt1_, bitrate_);
    }
    if (rc == ZK_OK && (flags & ZK_OPEN_FD)) rc = open_fd();
    if (rc != ZK_OK) {
        close_device();
        return rc;
    }
    /* Frames go to the core only once the handshake is done. */
    {
        std::lock_guard<std::mutex> g(mu_);
        port_ = port;
    }
    opened_ = true;
    return ZK_OK;
}

/* Finds out whether the adapter speaks the FD dialect by choosing the
 * data rate (2 Mbit/s to begin with), which only such an adapter takes. */
int16_t SlcanBackend::open_fd()
{
    dbitrate_ = 2000000;
    if (!acks_) {
        if (fd_opt_ > 0) {
            command("Y2");
            return ZK_OK;
        }
        fd_known_ = -1;
        zk::set_detail("adapter on %s acknowledges no command, so whether it speaks CAN FD cannot "
                       "be told; if its firmware does, add fd=yes to its board entry", dev_);
        return ZK_E_NOFD;
    }
    const Reply r = command("Y2");
    if (r == Reply::Ok) {
        fd_known_ = 1;
        return ZK_OK;
    }
    if (r == Reply::Gone) return check_gone();
    if (r == Reply::Bell) {
        fd_known_ = -1;
        zk::set_detail("adapter on %s refused command 'Y2': it speaks classic SLCAN only, "
                       "without CAN FD", dev_);
        return ZK_E_NOFD;
    }
    zk::set_detail("adapter on %s does not answer command 'Y2' (the CAN FD data rate)", dev_);
    return r == Reply::Io ? ZK_E_IO : ZK_E_NORESPONSE;
}

int16_t SlcanBackend::set_data_rate(int slot, uint32_t bitrate, uint16_t sample_point, uint8_t mode)
{
    if (int16_t rc = check_gone()) return rc;
    if (sample_point || mode != ZK_FD_ISO) {
        zk::set_detail("adapter on %s takes only a data rate, no %s", dev_,
                       sample_point ? "sample point" : "non-ISO CAN FD");
        return ZK_E_UNSUPPORTED;
    }
    const int digit = data_rate_digit(bitrate);
    if (digit < 0) {
        zk::set_detail("adapter on %s has the data rates 1, 2, 4, 5 and 8 Mbit/s, not %u bit/s",
                       dev_, unsigned(bitrate));
        return ZK_E_NORATE;
    }
    if (bitrate == dbitrate_) return ZK_OK;
    const bool was_running = running_;
    if (was_running) {
        running_ = false;
        const int16_t rc = close_reply(command("C"));
        if (rc != ZK_OK) return rc == ZK_E_GONE ? check_gone() : rc;
    }
    char cmd[16];
    snprintf(cmd, sizeof cmd, "Y%d", digit);
    int16_t rc = send_rate(cmd);
    if (rc == ZK_OK) dbitrate_ = bitrate;
    if (was_running) {
        const int16_t rc2 = go_on_bus();
        if (rc == ZK_OK) rc = rc2;
    }
    return rc;
}

void SlcanBackend::close(int slot)
{
    if (!opened_) return;
    if (!gone_ && fd_ >= 0) command("C");
    forget_frames();
    close_device();
    opened_ = false;
}

int16_t SlcanBackend::set_baud(int slot, uint8_t bt0, uint8_t bt1, uint32_t bitrate)
{
    if (int16_t rc = check_gone()) return rc;
    const bool was_running = running_;
    if (was_running) {
        running_ = false;
        const int16_t rc = close_reply(command("C"));
        if (rc != ZK_OK) return rc == ZK_E_GONE ? check_gone() : rc;
    }
    const uint32_t sent0 = seq_sent_;
    int16_t rc = apply_rate(bt0, bt1, bitrate);
    if (rc == ZK_OK) {
        bt0_ = bt0;
        bt1_ = bt1;
        bitrate_ = bitrate;
    } else if (rc != ZK_E_GONE && rc != ZK_E_NORESPONSE && seq_sent_ != sent0) {
        /* Refused: the adapter goes back to the rate it had (a refused
         * command may have left it undefined). */
        char keep[sizeof rate_cmd_];
        zk::copy_text(keep, sizeof keep, rate_cmd_);
        send_rate(keep);
    }
    if (was_running) {
        const int16_t rc2 = go_on_bus();
        if (rc == ZK_OK) rc = rc2;
    }
    return rc;
}

int16_t SlcanBackend::set_filter(int slot, uint32_t code, uint32_t mask)
{
    if (int16_t rc = check_gone()) return rc;
    code_ = code;
    mask_ = mask;
    /* The registers are only read while the adapter's channel is closed. */
    if (!acks_ || filter_refused_) return ZK_OK;
    return restart_if_running();
}

int16_t SlcanBackend::set_lom(int slot, bool on)
{
    if (int16_t rc = check_gone()) return rc;
    if (lom_ == on) return ZK_OK;
    const bool was_running = running_;
    lom_ = on;
    const int16_t rc = restart_if_running();
    if (rc != ZK_OK && rc != ZK_E_GONE) {
        /* Back to the mode the caller still believes in. */
        lom_ = !on;
        if (was_running && !running_) go_on_bus();
    }
    return rc;
}

int16_t SlcanBackend::start(int slot)
{
    if (int16_t rc = check_gone()) return rc;
    if (running_) return ZK_OK;
    const int16_t rc = close_reply(command("C"));
    if (rc == ZK_E_GONE) return check_gone();
    if (rc != ZK_OK) {
        zk::set_detail("adapter on %s does not answer command 'C'", dev_);
        return rc;
    }
    return go_on_bus();
}

int16_t SlcanBackend::stop(int slot)
{
    if (int16_t rc = check_gone()) return rc;
    running_ = false;
    const int16_t rc = close_reply(command("C"));
    if (rc == ZK_E_GONE) return check_gone();
    if (rc != ZK_OK) zk::set_detail("adapter on %s does not answer command 'C'", dev_);
    else forget_frames();
    return rc;
}

int16_t SlcanBackend::hw_reset(int slot, bool running)
{
    if (int16_t rc = check_gone()) return rc;
    /* Closing the adapter's channel resets its controller: error state,
     * error counters and pending transmissions. */
    running_ = false;
    const int16_t rc = close_reply(command("C"));
    if (rc == ZK_E_GONE) return check_gone();
    if (rc != ZK_OK) {
        zk::set_detail("adapter on %s does not answer command 'C'", dev_);
        return rc;
    }
    forget_frames();
    {
        std::lock_guard<std::mutex> g(mu_);
        bus_state_ = 0;
        last_flags_ = 0;
        rec_ = tec_ = 0;
    }
    return running ? go_on_bus() : ZK_OK;
}

int16_t SlcanBackend::write(int slot, const zk_frame &frame, uint16_t timeout_ms)
{
    char buf[kCmdMax];
    const size_t n = encode_frame(buf, sizeof buf, frame);
    if (n == 0) return ZK_E_BADARG;
    return send_line(buf, n, timeout_ms);
}

int16_t SlcanBackend::write_fd(int slot, const zk_fdframe &frame, uint16_t timeout_ms)
{
    char buf[kFrameMax];
    const size_t n = encode_fd_frame(buf, sizeof buf, frame);
    if (n == 0) return ZK_E_BADARG;
    return send_line(buf, n, timeout_ms);
}

/* Sends one frame line and waits for its acknowledgement where the
 * adapter gives one. */
int16_t SlcanBackend::send_line(const char *buf, size_t n, uint16_t timeout_ms)
{
    if (int16_t rc = check_gone()) return rc;
    {
        std::lock_guard<std::mutex> g(mu_);
        if (state_lines_ && bus_state_ == 3) return ZK_E_BUSOFF;
    }
    const uint64_t deadline = zk::clock_us() + 1000u * static_cast<uint64_t>(timeout_ms);
    const bool wait = acks_ && timeout_ms > 0;
    for (int attempt = 0;; ++attempt) {
        uint32_t seq = 0;
        std::unique_lock<std::mutex> wl(wmu_);
        const uint64_t sent = zk::clock_us();
        if (acks_) {
            std::lock_guard<std::mutex> g(mu_);
            seq = ++seq_;
            if (seq == 0) seq = ++seq_;
            push_pending(buf[0], seq);
            if (wait) {
                waiter_seq_ = seq;
                waiter_done_ = false;
                waiter_reply_ = Reply::None;
            }
        }
        size_t w = write_all(buf, n, deadline);
        if (w > 0 && w < n) {
            /* Never leave half a line behind: it would spoil the next. */
            w += write_all(buf + w, n - w, zk::clock_us() + 1000u * static_cast<uint64_t>(answer_ms_));
        }
        wl.unlock();
        std::unique_lock<std::mutex> g(mu_);
        if (w != n) {
            if (acks_) remove_pending(seq);
            waiter_seq_ = 0;
            if (gone_) {
                g.unlock();
                return check_gone();
            }
            if (w == 0) return ZK_E_WTOUT;
            zk::set_detail("cannot write to %s", dev_);
            return ZK_E_IO;
        }
        if (!acks_) {
            /* This adapter tells nothing after taking the frame. */
            if (zk::zk_rx_port *port = port_) port->tx_settle(ZK_TX_HANDED, 1, uint32_t(zk::clock_us()));
            return ZK_OK;
        }
        if (!wait) return ZK_OK;
        /* Wait for the acknowledgement, at most until the write timeout or
         * the answer timeout, whichever comes first. A BEL means the
         * adapter's transmit queue is full: try again until the timeout;
         * the answer to a retry is always awaited, since this adapter
         * is known to answer frames. */
        const uint64_t ack_by = sent + 1000u * static_cast<uint64_t>(answer_ms_);
        const uint64_t until = attempt > 0 || ack_by < deadline ? ack_by : deadline;
        const uint64_t now = zk::clock_us();
        cv_.wait_for(g, std::chrono::microseconds(until > now ? until - now : 0),
                     [this] { return waiter_done_ || gone_.load(); });
        const bool done = waiter_done_;
        const Reply r = waiter_reply_;
        waiter_seq_ = 0;
        waiter_done_ = false;
        if (gone_) {
            g.unlock();
            return check_gone();
        }
        /* No answer yet: the frame is on its way; a late answer is still
         * matched with it. */
        if (!done || r != Reply::Bell) return ZK_OK;
        if (zk::clock_us() >= deadline) {
            tx_refused_++;
            return ZK_E_WTOUT;
        }
        cv_.wait_for(g, std::chrono::milliseconds(1), [this] { return gone_.load(); });
    }
}

int16_t SlcanBackend::chip_status(int slot, zk_chipstat *st)
{
    if (int16_t rc = check_gone()) return rc;
    std::lock_guard<std::mutex> g(mu_);
    st->irq = -1;
    st->base = 0;
    st->bus_state = bus_state_;
    st->rec = static_cast<uint8_t>(rec_ > 255 ? 255 : rec_);
    st->tec = static_cast<uint8_t>(tec_ > 255 ? 255 : tec_);
    return ZK_OK;
}

void SlcanBackend::board_text(zk::zk_text_list &list)
{
    char v[32];
    const char *base = strrchr(dev_, '/');
    list.add("Device", base ? base + 1 : dev_);
    list.add("Firmware", version_[0] ? version_ : "unknown");
    list.add("Serial", serial_[0] ? serial_ : "none");
    list.add("Link", gone_ ? "gone" : (opened_ ? (acks_ ? "open" : "open, no acks") : "closed"));
    snprintf(v, sizeof v, "%u", static_cast<unsigned>(bad_lines_.load()));
    list.add("Bad lines", v);
    snprintf(v, sizeof v, "%u", static_cast<unsigned>(tx_refused_.load()));
    list.add("Tx refused", v);
    snprintf(v, sizeof v, "%u", static_cast<unsigned>(bus_errors_.load()));
    list.add("Bus errors", v);
}

/* ---- reader thread --------------------------------------------------- */

void SlcanBackend::push_pending(char letter, uint32_t seq)
{
    if (pending_count_ == kPendingMax) {
        settle(pending_[0], ZK_TX_HANDED);
        memmove(pending_, pending_ + 1, sizeof(Pending) * (kPendingMax - 1));
        pending_count_--;
    }
    pending_[pending_count_++] = Pending{letter, seq, zk::clock_us(), is_frame(letter)};
}

/* The fate of a written frame leaving the queue of answers (mu_ held). */
void SlcanBackend::settle(const Pending &p, uint8_t status)
{
    zk::zk_rx_port *port = port_;
    if (p.tx && port) port->tx_settle(status, 1, uint32_t(zk::clock_us()));
}

/* The adapter's channel closed: what it still held is the core's to drop,
 * and a late answer must not settle a later frame. */
void SlcanBackend::forget_frames()
{
    std::lock_guard<std::mutex> g(mu_);
    for (int i = 0; i < pending_count_; ++i) pending_[i].tx = false;
}

void SlcanBackend::remove_pending_at(int i)
{
    memmove(pending_ + i, pending_ + i + 1, sizeof(Pending) * size_t(pending_count_ - i - 1));
    pending_count_--;
}

void SlcanBackend::remove_pending(uint32_t seq)
{
    for (int i = 0; i < pending_count_; ++i) {
        if (pending_[i].seq == seq) {
            remove_pending_at(i);
            return;
        }
    }
}

/* Drops what got no answer within twice the answer timeout (frames whose
 * acknowledgement nobody waited for; commands remove themselves). */
void SlcanBackend::expire_pending(uint64_t now)
{
    const uint64_t limit = 2000u * static_cast<uint64_t>(answer_ms_);
    int k = 0;
    while (k < pending_count_ && now - pending_[k].sent_us > limit && pending_[k].seq != waiter_seq_)
        settle(pending_[k++], ZK_TX_HANDED);
    if (k) {
        memmove(pending_, pending_ + k, sizeof(Pending) * size_t(pending_count_ - k));
        pending_count_ -= k;
    }
}

/* Makes the reader look at running_ again (status polling on or off). */
void SlcanBackend::poke_reader()
{
    if (wake_[1] < 0) return;
    const char c = 'r';
    ssize_t r = ::write(wake_[1], &c, 1);
    (void)r;
}

void SlcanBackend::mark_gone()
{
    gone_ = true;
    running_ = false;
    if (zk::zk_rx_port *port = port_) port->lost(dev_);
    std::lock_guard<std::mutex> g(mu_);
    cv_.notify_all();
}

/* An answer: matched with the oldest command or frame it can belong to;
 * what was sent before that got no answer (firmware that ignores it). */
void SlcanBackend::on_reply(LineKind kind, const char *text, size_t text_len)
{
    std::lock_guard<std::mutex> g(mu_);
    expire_pending(zk::clock_us());
    int idx = -1;
    for (int i = 0; i < pending_count_ && idx < 0; ++i) {
        const char c = pending_[i].letter;
        switch (kind) {
        case LineKind::Version: if (c == 'V') idx = i; break;
        case LineKind::Serial:  if (c == 'N') idx = i; break;
        case LineKind::Status:  if (c == 'F') idx = i; break;
        case LineKind::AckStd:  if (c == 't' || c == 'r' || c == 'd' || c == 'b') idx = i; break;
        case LineKind::AckExt:  if (c == 'T' || c == 'R' || c == 'D' || c == 'B') idx = i; break;
        default: idx = 0; break; /* CR or BEL: the oldest */
        }
    }
    if (idx < 0) {
        /* Unsolicited: status lines of some firmware, or the answer to an
         * F given up as missed. Either way the firmware speaks F, so the
         * polls that late answers switched off go on again. */
        if (kind == LineKind::Status) {
            fpoll_missed_ = 0;
            fpoll_ok_ = true;
        }
        return;
    }
    const Pending p = pending_[idx];
    /* Frames before it got no answer: given up as handed. */
    for (int i = 0; i < idx; ++i) settle(pending_[i], ZK_TX_HANDED);
    if (kind != LineKind::Bell) settle(p, ZK_TX_HANDED);
    else if (p.seq != waiter_seq_) settle(p, ZK_TX_DROPPED);  /* refused after its write returned */
    memmove(pending_, pending_ + idx + 1, sizeof(Pending) * size_t(pending_count_ - idx - 1));
    pending_count_ -= idx + 1;
    if (p.letter == 'F') {
        /* Refused three times in a row: the firmware has no F. */
        if (kind != LineKind::Bell) fpoll_missed_ = 0;
        else if (++fpoll_missed_ >= 3) fpoll_ok_ = false;
    }
    if (kind == LineKind::Bell && p.letter != 'F' && p.seq != waiter_seq_ &&
        strchr("tTrRdDbB", p.letter))
        tx_refused_++;
    if (p.seq != 0 && p.seq == waiter_seq_) {
        waiter_done_ = true;
        if (kind == LineKind::Bell) {
            waiter_reply_ = Reply::Bell;
            waiter_text_[0] = '\0';
        } else if (kind == LineKind::Version || kind == LineKind::Serial ||
                   kind == LineKind::Status) {
            waiter_reply_ = Reply::Text;
            const size_t n = text_len < kLineMax ? text_len : kLineMax;
            memcpy(waiter_text_, text, n);
            waiter_text_[n] = '\0';
        } else {
            waiter_reply_ = Reply::Ok;
            waiter_text_[0] = '\0';
        }
        cv_.notify_all();
    }
}

void SlcanBackend::set_bus_state(uint8_t st)
{
    /* mu_ held */
    const uint8_t old = bus_state_;
    bus_state_ = st;
    zk::zk_rx_port *port = port_;
    if (!port) return;
    if (old == 0 && st >= 1) port->event(zk::ZK_EV_EWL);
    if (st == 3 && old != 3) port->event(zk::ZK_EV_BOFF);
}

/* F flags are latched by the adapter and cleared by reading them; some
 * firmware reports levels instead. Counting only a flag that was not set
 * in the previous answer gives one event per occurrence with both. */
void SlcanBackend::on_flags(uint8_t flags)
{
    std::lock_guard<std::mutex> g(mu_);
    const uint8_t fresh = static_cast<uint8_t>(flags & ~last_flags_);
    last_flags_ = flags;
    zk::zk_rx_port *port = port_;
    if (port && (fresh & (kFlagOverrun | kFlagRxFull))) port->event(zk::ZK_EV_HOVR);
    if (state_lines_) return; /* the adapter's state lines are exact */
    /* The flags tell what happened, not where the controller is now: the
     * state kept is the worst seen since the channel was opened or reset.
     * Error passive with bus errors is how bus-off shows without a flag
     * of its own. */
    uint8_t st = bus_state_;
    if ((flags & kFlagPassive) && (flags & kFlagBusError)) st = 3;
    else if ((flags & kFlagPassive) && st < 2) st = 2;
    else if ((flags & kFlagWarning) && st < 1) st = 1;
    if (port && ((fresh & kFlagWarning) || (bus_state_ == 0 && st >= 1)))
        port->event(zk::ZK_EV_EWL);
    if (port && st == 3 && bus_state_ != 3) port->event(zk::ZK_EV_BOFF);
    bus_state_ = st;
}

void SlcanBackend::on_state(char state, uint16_t rec, uint16_t tec)
{
    std::lock_guard<std::mutex> g(mu_);
    state_lines_ = true;
    rec_ = rec;
    tec_ = tec;
    uint8_t st = 0;
    switch (state) {
    case 'w': st = 1; break;
    case 'p': st = 2; break;
    case 'b': st = 3; break;
    default: st = 0; break;
    }
    set_bus_state(st);
}

void SlcanBackend::on_line(const char *s, size_t n, bool ok, uint32_t now32)
{
    Line ln;
    if (ok) {
        parse_line(s, n, &ln);
    } else {
        memset(&ln, 0, sizeof ln);
        ln.kind = LineKind::Invalid;
    }
    switch (ln.kind) {
    case LineKind::Frame: {
        zk::zk_rx_port *port = port_;
        if (port) {
            ln.frame.ts = now32;
            port->frame(ln.frame);
        }
        return;
    }
    case LineKind::FdFrame: {
        zk::zk_rx_port *port = port_;
        if (port) {
            ln.fdframe.ts = now32;
            port->frame(ln.fdframe);
        }
        return;
    }
    case LineKind::Invalid:
        bad_lines_++;
        /* A frame the link corrupted is a frame lost. */
        if (n > 0 && strchr("tTrRdDbB", s[0])) {
            zk::zk_rx_port *port = port_;
            if (port) port->event(zk::ZK_EV_HOVR);
        }
        return;
    case LineKind::Status:
        on_flags(ln.status);
        on_reply(ln.kind, s + 1, n - 1);
        return;
    case LineKind::State:
        on_state(ln.state, ln.rec, ln.tec);
        return;
    case LineKind::BusError:
        bus_errors_++;
        return;
    default:
        on_reply(ln.kind, ln.text, ln.text_len);
        return;
    }
}

/* Sends F when it is time, without ever waiting for the write lock: the
 * reader must keep draining the tty. */
void SlcanBackend::poll_status()
{
    std::unique_lock<std::mutex> wl(wmu_, std::try_to_lock);
    if (!wl.owns_lock()) return;
    {
        std::lock_guard<std::mutex> g(mu_);
        /* One F at a time. It is missed once the answer timeout went by
         * without its answer, not at the next poll: an answer held up
         * behind received frames or by a busy host is late, not missing.
         * Missed three times in a row: the firmware ignores F. */
        const uint64_t now = zk::clock_us();
        for (int i = 0; i < pending_count_; ++i)
            if (pending_[i].letter == 'F') {
                if (now - pending_[i].sent_us <= 1000u * static_cast<uint64_t>(answer_ms_))
                    return;
                remove_pending_at(i);
                if (++fpoll_missed_ >= 3) fpoll_ok_ = false;
                break;
            }
        if (!fpoll_ok_) return;
        push_pending('F', 0);
    }
    static const char cmd[] = "F\r";
    if (write_all(cmd, 2, zk::clock_us() + 10000u) != 2) {
        std::lock_guard<std::mutex> g(mu_);
        remove_pending(0);
    }
}

void SlcanBackend::reader_main()
{
    const auto deliver = [this](const char *s, size_t n, bool ok) {
        on_line(s, n, ok, now32_);
    };
    uint64_t next_poll = zk::clock_us() + 1000u * static_cast<uint64_t>(fpoll_ms_);
    for (;;) {
        const bool polling = running_ && acks_ && fpoll_ok_ && fpoll_ms_ > 0;
        int timeout = -1;
        if (polling) {
            const uint64_t now = zk::clock_us();
            timeout = next_poll > now ? static_cast<int>((next_poll - now + 999) / 1000) : 0;
        }
        pollfd pfd[2] = {{fd_, POLLIN, 0}, {wake_[0], POLLIN, 0}};
        const int pr = ::poll(pfd, 2, timeout);
        if (pr < 0 && errno != EINTR) {
            mark_gone();
            return;
        }
        if (pfd[1].revents) {
            char c[16];
            bool quit = false;
            ssize_t r;
            while ((r = read(wake_[0], c, sizeof c)) > 0)
                quit |= memchr(c, 'q', static_cast<size_t>(r)) != nullptr;
            if (quit) return;
        }
        if (pfd[0].revents) {
            bool hup = false;
            for (;;) {
                const ssize_t r = read(fd_, rxbuf_.get(), kReadBuf);
                if (r > 0) {
                    now32_ = static_cast<uint32_t>(zk::clock_us());
                    asm_.feed(rxbuf_.get(), static_cast<size_t>(r), deliver);
                    if (static_cast<size_t>(r) < kReadBuf) {
                        if (pfd[0].revents & (POLLHUP | POLLERR | POLLNVAL)) continue;
                        break;
                    }
                    continue;
                }
                if (r < 0 && errno == EINTR) continue;
                if (r < 0 && errno == EAGAIN) {
                    hup = (pfd[0].revents & (POLLHUP | POLLERR | POLLNVAL)) != 0;
                    break;
                }
                hup = true; /* EOF or EIO: the device hung up */
                break;
            }
            if (hup) {
                mark_gone();
                return;
            }
        }
        if (polling && zk::clock_us() >= next_poll) {
            poll_status();
            next_poll = zk::clock_us() + 1000u * static_cast<uint64_t>(fpoll_ms_);
        } else if (!polling) {
            next_poll = zk::clock_us() + 1000u * static_cast<uint64_t>(fpoll_ms_);
        }
    }
}

/* ---- factory --------------------------------------------------------- */

std::unique_ptr<zk::zk_backend> make_slcan(const char *args, uint8_t board, char *err,
                                           size_t err_size)
{
    char dev[PATH_MAX] = "";
    unsigned answer_ms = kAnswerMsDefault, fpoll_ms = kStatusPollMsDefault, bps = 115200;
    int fd_opt = 0;
    const char *p = args;
    char key[32], val[PATH_MAX];
    while (zk::next_option(&p, key, sizeof key, val, sizeof val)) {
        if (!key[0] && !val[0]) continue;
        const bool path = !val[0] && key[0] == '/';
        if (path || (strcmp(key, "dev") == 0 && val[0])) {
            // One device a board: a second one is refused, never taken
            // in place of the first.
            if (dev[0]) {
                snprintf(err, err_size, "device given twice: %s and %s", dev, path ? key : val);
                return nullptr;
            }
            zk::copy_text(dev, sizeof dev, path ? key : val);
        } else if (strcmp(key, "timeout") == 0) {
            if (!parse_uint(val, 10, 5000, &answer_ms)) {
                snprintf(err, err_size, "timeout '%s' is not 10..5000 ms", val);
                return nullptr;
            }
        } else if (strcmp(key, "fpoll") == 0) {
            if (!parse_uint(val, 0, 10000, &fpoll_ms)) {
                snprintf(err, err_size, "fpoll '%s' is not 0..10000 ms", val);
                return nullptr;
            }
        } else if (strcmp(key, "speed") == 0) {
            if (!parse_uint(val, 1, 4000000, &bps)) bps = 0;
            bool known = false;
            for (const Speed &s : kSpeeds) known |= s.bps == bps;
            if (!known) {
                snprintf(err, err_size, "speed '%s' is not a serial speed", val);
                return nullptr;
            }
        } else if (strcmp(key, "fd") == 0) {
            if (strcmp(val, "auto") == 0) fd_opt = 0;
            else if (strcmp(val, "yes") == 0) fd_opt = 1;
            else if (strcmp(val, "no") == 0) fd_opt = -1;
            else {
                snprintf(err, err_size, "fd '%s' is not auto, yes or no", val);
                return nullptr;
            }
        } else {
            snprintf(err, err_size, "unknown option '%s' (dev, timeout, fpoll, speed, fd)", key);
            return nullptr;
        }
    }
    if (!dev[0]) {
        snprintf(err, err_size, "no device given, for example slcan:/dev/ttyACM0");
        return nullptr;
    }
    speed_t code = B115200;
    for (const Speed &s : kSpeeds)
        if (s.bps == bps) code = s.code;
    return std::unique_ptr<zk::zk_backend>(
        new SlcanBackend(dev, static_cast<int>(answer_ms), static_cast<int>(fpoll_ms), code, fd_opt));
}

ZK_REGISTER_BACKEND("slcan", make_slcan);

} // namespace
