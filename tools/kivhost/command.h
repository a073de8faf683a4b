// The tool's subcommands and what they share.
#pragma once

#include <string>
#include <vector>

#include "driver_session.h"

namespace kivhost {

// Exit codes.
inline constexpr int kExitOk = 0;
inline constexpr int kExitRejected = 1;  // the command ran and found something wrong
inline constexpr int kExitUsage = 2;     // wrong arguments, unreadable input
inline constexpr int kExitNoDriver = 3;  // the driver library cannot be loaded

// What every subcommand gets: its own arguments (global options removed) and the options
// that all subcommands share.
struct CommandContext {
    std::vector<std::string> args;
    std::string driverPath;
    bool json = false;
};

struct Command {
    const char* name;
    const char* synopsis;  // the arguments, for the usage line
    const char* summary;   // one line for the overview
    const char* help;      // the subcommand's own --help text
    int (*run)(CommandContext& context);
};

// All subcommands, in the order the overview lists them.
const std::vector<Command>& Commands();

// Loads the driver for a subcommand, or prints why it cannot and returns false.
bool LoadDriver(const CommandContext& context, DriverSession& session);

// Prints a usage error for a subcommand and returns kExitUsage.
int UsageError(const char* command, const std::string& message);

// Parses a whole decimal number (sign allowed); false when the text is not one.
bool ParseInteger(const std::string& text, long long& value);

int RunInfo(CommandContext& context);
int RunCall(CommandContext& context);
int RunParse(CommandContext& context);
int RunCheck(CommandContext& context);
int RunFrame(CommandContext& context);
int RunDialog(CommandContext& context);

}  // namespace kivhost
