// Running an outside driver (a script that starts and drives the real
// program) and reading what it reports.
#ifndef NBTEST_DRIVER_RUN_H
#define NBTEST_DRIVER_RUN_H

#include <map>
#include <string>
#include <utility>
#include <vector>

namespace nbtest {

struct DriverOutcome {
    int driver = -1;                           // the driver's own exit code
    std::map<std::string, std::string> value;  // "NBT key value" lines: key -> value
    std::string output;                        // everything it printed
};

// Runs argv (searched on PATH) with this process's environment changed by
// env: a pair with an empty second member unsets that variable.
DriverOutcome run_driver(std::vector<std::string> argv,
                         const std::vector<std::pair<std::string, std::string>> &env);

}  // namespace nbtest

#endif
