// The tool's subcommands and what they share.
#pragma once

#include <functional>
#include <string>

#include "driver_session.h"

namespace CLI {
class App;
}

namespace kivhost {

// Exit codes.
inline constexpr int kExitOk = 0;
inline constexpr int kExitRejected = 1;  // the command ran and found something wrong
inline constexpr int kExitUsage = 2;     // wrong arguments, unreadable input
inline constexpr int kExitNoDriver = 3;  // the driver library cannot be loaded

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
    const char* summary;  // one line for the overview
    const char* help;     // the rest of the subcommand's own --help text
    CommandSetUp setUp;
    // Added to a usage error of this command that names an argument it does not know.
    const char* unknownArgumentHint;
};

// All subcommands, in the order the overview lists them.
const std::vector<Command>& Commands();

// Loads the driver for a subcommand, or prints why it cannot and returns false.
bool LoadDriver(const GlobalOptions& global, DriverSession& session);

// Prints a usage error for a subcommand and returns kExitUsage.
int UsageError(const char* command, const std::string& message);

// Parses a whole decimal number (sign allowed); false when the text is not one.
bool ParseInteger(const std::string& text, long long& value);

std::function<int()> SetUpInfo(CLI::App& app, const GlobalOptions& global);
std::function<int()> SetUpCall(CLI::App& app, const GlobalOptions& global);
std::function<int()> SetUpParse(CLI::App& app, const GlobalOptions& global);
std::function<int()> SetUpCheck(CLI::App& app, const GlobalOptions& global);
std::function<int()> SetUpFrame(CLI::App& app, const GlobalOptions& global);
std::function<int()> SetUpDialog(CLI::App& app, const GlobalOptions& global);
std::function<int()> SetUpRun(CLI::App& app, const GlobalOptions& global);
std::function<int()> SetUpPortCheck(CLI::App& app, const GlobalOptions& global);
std::function<int()> SetUpPorts(CLI::App& app, const GlobalOptions& global);
std::function<int()> SetUpScan(CLI::App& app, const GlobalOptions& global);

}  // namespace kivhost
