// kivhost: runs the VXS-100 driver the way a host does, with the stand-in host library.
#include <cstdio>
#include <cstring>
#include <string>

#include "command.h"
#include "qorpro/qorpro_embed.h"

namespace {

void PrintOverview() {
    std::printf(
        "Usage: kivhost [--driver PATH] COMMAND [ARGUMENTS] [--json]\n"
        "\n"
        "Loads the VXS-100 driver library the way a SCADA host does (by path, then its export\n"
        "KivMain) over the stand-in host library, and runs it.\n"
        "\n"
        "Commands:\n");
    for (const kivhost::Command& command : kivhost::Commands()) {
        std::printf("  %-8s %-34s %s\n", command.name, command.synopsis, command.summary);
    }
    std::printf(
        "\n"
        "Options:\n"
        "  --driver PATH  the driver library to load (default: the one built beside kivhost)\n"
        "  --json         machine-readable output\n"
        "  --help         this text; 'kivhost COMMAND --help' for one command\n"
        "\n"
        "Exit status: 0 done, 1 something was rejected, 2 usage error or unreadable input,\n"
        "3 the driver library cannot be loaded.\n");
}

const kivhost::Command* FindCommand(const std::string& name) {
    for (const kivhost::Command& command : kivhost::Commands()) {
        if (name == command.name) {
            return &command;
        }
    }
    return nullptr;
}

}  // namespace

int main(int argc, char** argv) {
    kivhost::CommandContext context;
    const kivhost::Command* command = nullptr;
    bool help = false;
    bool afterSeparator = false;
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        if (afterSeparator || arg == "--") {
            // Everything after "--" is the subcommand's, even texts that begin with "-".
            afterSeparator = true;
            context.args.push_back(arg);
        } else if (arg == "--help" || arg == "-h") {
            help = true;
        } else if (arg == "--json") {
            context.json = true;
        } else if (arg == "--driver") {
            if (i + 1 >= argc) {
                std::fprintf(stderr, "kivhost: --driver needs a path\n");
                return kivhost::kExitUsage;
            }
            context.driverPath = argv[++i];
        } else if (command == nullptr && context.args.empty()) {
            command = FindCommand(arg);
            if (command == nullptr) {
                std::fprintf(stderr, "kivhost: unknown command '%s'\nTry 'kivhost --help'.\n",
                             arg.c_str());
                return kivhost::kExitUsage;
            }
        } else {
            context.args.push_back(arg);
        }
    }
    if (command == nullptr) {
        if (help) {
            PrintOverview();
            return kivhost::kExitOk;
        }
        std::fprintf(stderr, "kivhost: missing command\nTry 'kivhost --help'.\n");
        return kivhost::kExitUsage;
    }
    if (help) {
        std::printf("Usage: kivhost [--driver PATH] %s %s\n\n%s", command->name, command->synopsis,
                    command->help);
        return kivhost::kExitOk;
    }
    return command->run(context);
}
