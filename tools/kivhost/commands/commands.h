// The subcommands of kivhost, one file each (cmd_NAME.cpp), each with its own help, and the
// table that lists them.
#pragma once

#include <vector>

#include "cli/command.h"

namespace kivhost {

extern const Command kInfoCommand;
extern const Command kCallCommand;
extern const Command kParseCommand;
extern const Command kCheckCommand;
extern const Command kFrameCommand;
extern const Command kDialogCommand;
extern const Command kRunCommand;
extern const Command kScanCommand;
extern const Command kPortsCommand;
extern const Command kPortCheckCommand;

// All subcommands, in the order the overview lists them.
const std::vector<Command>& Commands();

}  // namespace kivhost
