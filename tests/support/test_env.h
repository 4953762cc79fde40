// Test helpers shared by every test binary.
#ifndef NBTEST_TEST_ENV_H
#define NBTEST_TEST_ENV_H

#include <condition_variable>
#include <functional>
#include <mutex>
#include <string>
#include <thread>

namespace nbtest {

// Gives this process its own temporary HOME, XDG_DATA_HOME,
// XDG_CONFIG_HOME, XDG_RUNTIME_DIR and adapter lock folder (ZELK_LOCK_DIR)
// and unsets ZELK_BOARDS. Called by
// the test mains before any test runs. Returns the temporary root.
const std::string &isolate_environment();

// The temporary root made by isolate_environment().
const std::string &temp_root();

// A fresh empty directory below the temporary root.
std::string make_temp_dir(const char *prefix);

// Pumps the GLib main context (when one is in use) until cond() holds or
// timeout_ms passes; returns cond(). Never sleeps longer than a
// millisecond at a time.
bool wait_until(const std::function<bool()> &cond, int timeout_ms = 5000);

// Reads a whole file; empty when it cannot be read.
std::string read_file(const std::string &path);
// Exit status of a shell command (-1 when it did not exit), with its
// output and errors in *out when asked.
int shell(const std::string &cmd, std::string *out = nullptr);
bool write_file(const std::string &path, const std::string &text);

// Numbers formatted in German (LC_NUMERIC de_DE.UTF-8, a decimal comma),
// the locale made below the temporary root when the system has none;
// false when it cannot be had. restore_numeric_locale() undoes it.
bool german_numeric_locale();
void restore_numeric_locale();

// Paths of the build: the staging installation directory (program,
// libzelk, shipped plug-ins) and the test binary directory.
std::string stage_dir();
std::string test_bin_dir();
std::string source_dir();
// The opendbc collection: NB_OPENDBC_DIR, else the shared folder beside
// the checkout (or beside the folder of worktrees); empty when there is none.
std::string opendbc_dir();

// A deadline for code that can block for ever (opening or reading a FIFO
// or a device): when the object is still alive after `seconds`, the
// process ends with a message and exit code 3, so the test fails instead
// of hanging.
class Deadline {
public:
    Deadline(int seconds, std::string what);
    ~Deadline();
    Deadline(const Deadline &) = delete;
    Deadline &operator=(const Deadline &) = delete;

private:
    std::mutex m_;
    std::condition_variable cv_;
    bool over_ = false;
    std::thread watch_;
};

}  // namespace nbtest

#endif
