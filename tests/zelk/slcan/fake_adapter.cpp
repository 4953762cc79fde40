#include "fake_adapter.h"

#include <chrono>
#include <cstdio>
#include <cstring>

#include <errno.h>
#include <fcntl.h>
#include <poll.h>
#include <pty.h>
#include <termios.h>
#include <unistd.h>

namespace nbtest {

namespace {

bool all_hex(const std::string &s, size_t from, size_t n)
{
    if (s.size() != from + n) return false;
    for (size_t i = from; i < s.size(); ++i)
        if (!isxdigit(static_cast<unsigned char>(s[i]))) return false;
    return true;
}

bool is_frame(const std::string &c)
{
    return !c.empty() && c[0] && strchr("tTrRdDbB", c[0]);
}

}  // namespace

FakeAdapter::FakeAdapter(Dialect d) : dialect_(d)
{
    termios raw;
    memset(&raw, 0, sizeof raw);
    cfmakeraw(&raw);
    char name[128] = "";
    if (openpty(&master_, &slave_, name, &raw, nullptr) != 0) {
        perror("openpty");
        return;
    }
    path_ = name;
    fcntl(master_, F_SETFL, fcntl(master_, F_GETFL) | O_NONBLOCK);
    if (pipe2(wake_, O_CLOEXEC | O_NONBLOCK) != 0) perror("pipe2");
    thread_ = std::thread(&FakeAdapter::run, this);
}

FakeAdapter::~FakeAdapter()
{
    hangup();
    for (int &w : wake_) {
        if (w >= 0) close(w);
        w = -1;
    }
}

void FakeAdapter::hangup()
{
    if (thread_.joinable()) {
        const char c = 'q';
        if (write(wake_[1], &c, 1) < 0) perror("wake");
        thread_.join();
    }
    std::lock_guard<std::mutex> g(m_);
    if (master_ >= 0) close(master_);
    if (slave_ >= 0) close(slave_);
    master_ = slave_ = -1;
}

void FakeAdapter::set_dialect(Dialect d)
{
    std::lock_guard<std::mutex> g(m_);
    dialect_ = d;
}

void FakeAdapter::refuse(const std::string &prefix)
{
    std::lock_guard<std::mutex> g(m_);
    refused_.push_back(prefix);
}

void FakeAdapter::set_status(uint8_t flags)
{
    std::lock_guard<std::mutex> g(m_);
    status_ = flags;
}

void FakeAdapter::set_serial(const std::string &s)
{
    std::lock_guard<std::mutex> g(m_);
    serial_ = s;
}

void FakeAdapter::before_answer(const std::string &cmd, const std::string &bytes)
{
    std::lock_guard<std::mutex> g(m_);
    early_cmd_ = cmd;
    early_bytes_ = bytes;
}

void FakeAdapter::late_answer(const std::string &bytes)
{
    std::lock_guard<std::mutex> g(m_);
    late_bytes_ = bytes;
}

void FakeAdapter::send(const std::string &bytes)
{
    std::lock_guard<std::mutex> g(m_);
    put(bytes);
}

size_t FakeAdapter::send_some(const char *bytes, size_t n)
{
    std::lock_guard<std::mutex> g(m_);
    if (master_ < 0 || (!mid_line_ && !flush_held())) return 0;
    const ssize_t r = write(master_, bytes, n);
    if (r <= 0) return 0;
    const char last = bytes[r - 1];
    mid_line_ = last != '\r' && last != '\a';
    if (!mid_line_) flush_held();
    return size_t(r);
}

// m_ held. Writes what answers wait, as far as the terminal takes them
// now; true when none is left.
bool FakeAdapter::flush_held()
{
    while (master_ >= 0 && !held_.empty()) {
        const ssize_t r = write(master_, held_.data(), held_.size());
        if (r <= 0) return false;
        held_.erase(0, size_t(r));
    }
    return held_.empty();
}

// m_ held. Writes everything, waiting for room as long as it takes (the
// host drains its side); behind a line send_some left unfinished, the
// bytes wait for it to end.
void FakeAdapter::put(const std::string &bytes)
{
    held_ += bytes;
    if (mid_line_) return;
    while (master_ >= 0 && !held_.empty()) {
        const ssize_t r = write(master_, held_.data(), held_.size());
        if (r > 0) {
            held_.erase(0, size_t(r));
        } else if (r < 0 && (errno == EAGAIN || errno == EINTR)) {
            pollfd p{master_, POLLOUT, 0};
            if (poll(&p, 1, 1000) <= 0) break;  // nobody reads: give up
        } else {
            break;
        }
    }
    held_.clear();
}

std::vector<std::string> FakeAdapter::commands()
{
    std::lock_guard<std::mutex> g(m_);
    return commands_;
}

std::vector<std::string> FakeAdapter::setup_commands()
{
    std::lock_guard<std::mutex> g(m_);
    std::vector<std::string> out;
    for (const std::string &c : commands_)
        if (!is_frame(c) && c != "F") out.push_back(c);
    return out;
}

void FakeAdapter::clear_commands()
{
    std::lock_guard<std::mutex> g(m_);
    commands_.clear();
}

bool FakeAdapter::wait_command(const std::string &cmd, int timeout_ms)
{
    std::unique_lock<std::mutex> g(m_);
    return cv_.wait_for(g, std::chrono::milliseconds(timeout_ms), [&] {
        for (const std::string &c : commands_)
            if (c == cmd) return true;
        return false;
    });
}

bool FakeAdapter::wait_count(size_t n, int timeout_ms)
{
    std::unique_lock<std::mutex> g(m_);
    return cv_.wait_for(g, std::chrono::milliseconds(timeout_ms),
                        [&] { return commands_.size() >= n; });
}

bool FakeAdapter::channel_open()
{
    std::lock_guard<std::mutex> g(m_);
    return open_;
}

bool FakeAdapter::listen_only()
{
    std::lock_guard<std::mutex> g(m_);
    return lom_;
}

int FakeAdapter::data_rate()
{
    std::lock_guard<std::mutex> g(m_);
    return data_rate_;
}

uint64_t FakeAdapter::bytes_read()
{
    std::lock_guard<std::mutex> g(m_);
    return bytes_read_;
}

void FakeAdapter::run()
{
    char buf[4096];
    for (;;) {
        int timeout = -1;
        {
            // Answers held behind a line send_some finished meanwhile go
            // out as the terminal takes them.
            std::lock_guard<std::mutex> g(m_);
            if (!mid_line_ && !flush_held()) timeout = 5;
        }
        pollfd p[2] = {{master_, POLLIN, 0}, {wake_[0], POLLIN, 0}};
        if (poll(p, 2, timeout) < 0 && errno != EINTR) return;
        if (p[1].revents) return;
        if (!(p[0].revents & POLLIN)) {
            // The host has not opened the tty yet (or closed it): wait
            // for the wake pipe rather than spin on the hang-up.
            pollfd w{wake_[0], POLLIN, 0};
            if (poll(&w, 1, 5) > 0) return;
            continue;
        }
        const ssize_t n = read(master_, buf, sizeof buf);
        if (n <= 0) continue;
        std::lock_guard<std::mutex> g(m_);
        bytes_read_ += uint64_t(n);
        for (ssize_t i = 0; i < n; ++i) {
            if (buf[i] != '\r') {
                partial_ += buf[i];
                continue;
            }
            const std::string cmd = partial_;
            partial_.clear();
            commands_.push_back(cmd);
            answer(cmd);
        }
        cv_.notify_all();
    }
}

// m_ held. The firmware's answer to one command.
void FakeAdapter::answer(const std::string &c)
{
    if (!late_bytes_.empty()) put(late_bytes_);
    late_bytes_.clear();
    if (!early_cmd_.empty() && c == early_cmd_) {
        put(early_bytes_);
        early_cmd_.clear();
    }
    switch (dialect_) {
    case Dialect::Silent:
        return;
    case Dialect::Garbage: {
        std::string noise;
        for (int i = 0; i < 12; ++i) {
            noise_ = noise_ * 1103515245u + 12345u;
            noise += char(0x21 + (noise_ >> 16) % 0x5E);
        }
        noise += "\x01\xFE\r";
        put(noise);
        return;
    }
    case Dialect::NoAcks:
        if (c == "V") put("vFakeCAN 1.0\r");
        if (c == "O" || c == "C") open_ = c == "O";
        if (c == "M1" || c == "M0") lom_ = c == "M1";
        return;
    case Dialect::Lawicel:
    case Dialect::LawicelFd:
        break;
    }
    const bool fd = dialect_ == Dialect::LawicelFd;
    for (const std::string &r : refused_)
        if (c.compare(0, r.size(), r) == 0) {
            put("\a");
            return;
        }
    const char *ok = "\r";
    const char *bell = "\a";
    if (c.empty()) {
        put(ok);
    } else if (c == "C") {
        put(open_ ? ok : bell);
        open_ = false;
    } else if (c == "O" || c == "L") {
        if (open_) {
            put(bell);
        } else {
            open_ = true;
            lom_ = c == "L";
            put(ok);
        }
    } else if (c[0] == 'S') {
        put(!open_ && c.size() == 2 && c[1] >= '0' && c[1] <= '8' ? ok : bell);
    } else if (c[0] == 's') {
        put(!open_ && all_hex(c, 1, 4) ? ok : bell);
    } else if (c[0] == 'M' || c[0] == 'm') {
        put(!open_ && all_hex(c, 1, 8) ? ok : bell);
    } else if (c == "V") {
        put("V1013\r");
    } else if (c == "N") {
        put("N" + serial_ + "\r");
    } else if (c == "F") {
        char s[8];
        snprintf(s, sizeof s, "F%02X\r", status_);
        status_ = 0;
        put(open_ ? s : bell);
    } else if (c[0] == 'Z' && c.size() == 2) {
        put(ok);
    } else if (fd && c[0] == 'Y' && c.size() == 2 && strchr("12458", c[1])) {
        if (!open_) data_rate_ = c[1] - '0';
        put(open_ ? bell : ok);
    } else if (is_frame(c) && (fd || strchr("tTrR", c[0]))) {
        if (!open_ || lom_) put(bell);
        else put(strchr("trdb", c[0]) ? "z\r" : "Z\r");
    } else {
        put(bell);
    }
}

}  // namespace nbtest
