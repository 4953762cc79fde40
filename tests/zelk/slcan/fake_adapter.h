// A serial-line CAN adapter on a pseudo-terminal, for tests: it records the
// commands the host sends and answers like the firmware of a chosen
// dialect; it can send frames, status and garbage, fall silent and hang up.
#ifndef NBTEST_FAKE_ADAPTER_H
#define NBTEST_FAKE_ADAPTER_H

#include <condition_variable>
#include <cstdint>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace nbtest {

class FakeAdapter {
public:
    enum class Dialect {
        Lawicel,  // CR / BEL answers, z/Z for frames, V, N, F
        LawicelFd,  // the same with the CAN FD dialect: Y<n>, d/D/b/B frames
        NoAcks,   // stock CANable-like: answers only V, nothing else
        Silent,   // answers nothing at all
        Garbage,  // answers every command with noise
    };

    explicit FakeAdapter(Dialect d = Dialect::Lawicel);
    ~FakeAdapter();
    FakeAdapter(const FakeAdapter &) = delete;
    FakeAdapter &operator=(const FakeAdapter &) = delete;

    // The tty the host opens (the pseudo-terminal's slave).
    const std::string &path() const { return path_; }

    void set_dialect(Dialect d);
    // Commands starting with prefix are answered with BEL (Lawicel dialect).
    void refuse(const std::string &prefix);
    // Flags the next F answer reports (then cleared, as the firmware does).
    void set_status(uint8_t flags);
    void set_serial(const std::string &s);
    // Bytes sent just before the answer to the next command cmd (frames
    // of a bus that is already busy when the channel opens).
    void before_answer(const std::string &cmd, const std::string &bytes);
    // Bytes sent before the answer to the next command, whatever it is (a
    // late answer to an earlier one).
    void late_answer(const std::string &bytes);

    // Bytes to the host, as they stand.
    void send(const std::string &bytes);
    // As many of the bytes as the terminal takes now, without waiting;
    // returns how many that was. Like the firmware's one output queue,
    // answers never land inside a line these bytes left unfinished: they
    // wait until it ends.
    size_t send_some(const char *bytes, size_t n);

    // Everything the host sent, one entry per CR-terminated command
    // (without the CR), in order.
    std::vector<std::string> commands();
    void clear_commands();
    // Waits until a command equal to cmd arrived (or timeout_ms passed).
    bool wait_command(const std::string &cmd, int timeout_ms = 3000);
    // Waits until at least n commands arrived.
    bool wait_count(size_t n, int timeout_ms = 3000);
    // Commands other than the frame lines and the periodic F polls.
    std::vector<std::string> setup_commands();

    // Adapter state as the commands left it.
    bool channel_open();
    bool listen_only();
    // The CAN FD data rate the last Y command chose, Mbit/s (0: none).
    int data_rate();

    // Closes the pseudo-terminal's master: the host sees a hang-up.
    void hangup();

    // Host bytes the fake has read so far.
    uint64_t bytes_read();

private:
    void run();
    void answer(const std::string &cmd);
    void put(const std::string &bytes);
    bool flush_held();

    std::string path_;
    int master_ = -1;
    int slave_ = -1;
    int wake_[2] = {-1, -1};
    std::thread thread_;

    std::mutex m_;
    std::condition_variable cv_;
    Dialect dialect_;
    std::vector<std::string> refused_;
    std::vector<std::string> commands_;
    std::string partial_;
    bool mid_line_ = false;  // send_some stopped inside a line
    std::string held_;       // answers waiting for that line to end
    uint8_t status_ = 0;
    std::string serial_ = "A123";
    std::string early_cmd_, early_bytes_;
    std::string late_bytes_;
    bool open_ = false;
    bool lom_ = false;
    int data_rate_ = 0;
    uint64_t bytes_read_ = 0;
    unsigned noise_ = 1;
};

}  // namespace nbtest

#endif
