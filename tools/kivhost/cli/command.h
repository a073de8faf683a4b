// What every subcommand is and shares: its entry in the command table, the global options,
// the exit codes, loading the driver and usage errors.
#pragma once

#include <functional>
#include <string>

#include "base/exit_codes.h"
#include "host/driver_session.h"

namespace CLI {
class App;
}

namespace kivhost {

// The options that every subcommand takes.
struct GlobalOptions {
    std::string driverPath;  // empty: the default driver (installation.h)
    bool json = false;
};

// Adds a subcommand's options and arguments to its CLI11 app and returns what runs it once the
// command line is parsed.
using CommandSetUp = std::function<int()> (*)(CLI::App& app, const GlobalOptions& global);

struct Command {
    const char* name;
    const char* summary;    // one line for the overview
    std::string (*help)();  // the rest of the subcommand's own --help text
    CommandSetUp setUp;
    // Added to a usage error of this command that names an argument it does not know.
    const char* unknownArgumentHint;
};

// Loads the driver for a subcommand, or prints why it cannot and returns false.
bool LoadDriver(const GlobalOptions& global, DriverSession& session);

// Prints a usage error for a subcommand and returns kExitUsage.
int UsageError(const char* command, const std::string& message);

}  // namespace kivhost
