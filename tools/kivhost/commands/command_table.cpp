// The table of subcommands, in the order the overview lists them.
#include "commands/commands.h"

namespace kivhost {

const std::vector<Command>& Commands() {
    static const std::vector<Command> commands = {
        kInfoCommand,   kCallCommand, kParseCommand, kCheckCommand, kFrameCommand,
        kDialogCommand, kRunCommand,  kScanCommand,  kPortsCommand, kPortCheckCommand,
    };
    return commands;
}

}  // namespace kivhost
