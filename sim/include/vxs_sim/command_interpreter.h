// The simulator's command language: one command per line, as the vxs-sim command reads them on
// its standard input. CommandHelp() lists them.
#pragma once

#include <string>
#include <string_view>

#include "vxs_sim/simulator.h"

namespace vxs_sim {

struct CommandResult {
    enum class Status { kOk, kError, kQuit };
    Status status = Status::kOk;
    std::string message;  // why a command was refused; the help text for "help"
};

// Runs one line. Blank lines and lines beginning with "#" do nothing.
CommandResult RunCommandLine(Simulator& simulator, std::string_view line);

// The command language, for --help and the "help" command.
const char* CommandHelp();

}  // namespace vxs_sim
