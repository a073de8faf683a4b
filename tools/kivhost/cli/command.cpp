// What the subcommands share: loading the driver, usage errors.
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <vector>

#include "base/terminal_text.h"
#include "cli/command.h"
#include "cli/run_config.h"

namespace kivhost {

bool LoadDriver(const GlobalOptions& global, DriverSession& session) {
    if (session.Load(global.driverPath)) {
        return true;
    }
    std::fprintf(stderr, "kivhost: %s\n", session.Error().c_str());
    return false;
}

int UsageError(const char* command, const std::string& message) {
    std::fprintf(stderr, "kivhost %s: %s%s\nTry 'kivhost %s --help'.\n", command,
                 ConfigOrigin(message).c_str(), TerminalSafe(message).c_str(), command);
    return kExitUsage;
}

}  // namespace kivhost
