// A serial-line CAN adapter on a pseudo-terminal as a program of its own,
// for tests that drive the real Nimbrel: the adapter is reached through a
// fixed path (a symbolic link to its current pseudo-terminal) and can be
// unplugged and plugged in again.
//
// Usage: fake_slcan LINK
// Commands on standard input, one a line, each answered with one line:
//   up            plug in a new adapter, LINK pointing at it   -> "up <tty>"
//   down          unplug: LINK goes, the adapter hangs up       -> "down"
//   send TEXT     bytes to the host; "\r" stands for a CR      -> "sent"
//   wait CMD MS   until the host sent CMD, at most MS ms       -> "ok" or "timeout"
//   quit
#include <cstdio>
#include <iostream>
#include <memory>
#include <string>

#include <unistd.h>

#include "fake_adapter.h"

int main(int argc, char **argv)
{
    if (argc != 2) {
        fprintf(stderr, "usage: fake_slcan LINK\n");
        return 2;
    }
    const std::string link = argv[1];
    const std::string tmp = link + ".new";
    std::unique_ptr<nbtest::FakeAdapter> fake;
    std::string line;
    while (std::getline(std::cin, line)) {
        const size_t sp = line.find(' ');
        const std::string cmd = line.substr(0, sp);
        const std::string arg = sp == std::string::npos ? "" : line.substr(sp + 1);
        if (cmd == "up") {
            fake.reset(new nbtest::FakeAdapter());
            unlink(tmp.c_str());
            if (symlink(fake->path().c_str(), tmp.c_str()) != 0 ||
                rename(tmp.c_str(), link.c_str()) != 0) {
                perror(link.c_str());
                return 1;
            }
            std::cout << "up " << fake->path() << std::endl;
        } else if (cmd == "down") {
            // As an unplugged device's node goes: left behind, LINK would
            // name a pty number the kernel hands to the next process that
            // opens one, and the host would reopen someone else's terminal.
            unlink(link.c_str());
            fake.reset();
            std::cout << "down" << std::endl;
        } else if (cmd == "send" && fake) {
            std::string bytes;
            for (size_t i = 0; i < arg.size(); ++i) {
                if (arg.compare(i, 2, "\\r") == 0) {
                    bytes += '\r';
                    ++i;
                } else {
                    bytes += arg[i];
                }
            }
            fake->send(bytes);
            std::cout << "sent" << std::endl;
        } else if (cmd == "wait" && fake) {
            const size_t s2 = arg.rfind(' ');
            const int ms = s2 == std::string::npos ? 3000 : std::stoi(arg.substr(s2 + 1));
            const std::string what = s2 == std::string::npos ? arg : arg.substr(0, s2);
            std::cout << (fake->wait_command(what, ms) ? "ok" : "timeout") << std::endl;
        } else if (cmd == "quit") {
            break;
        } else {
            std::cout << "error " << line << std::endl;
        }
    }
    unlink(link.c_str());
    return 0;
}
