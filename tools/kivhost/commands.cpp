// The table of subcommands and the helpers they share.
#include <cerrno>
#include <cstdio>
#include <cstdlib>

#include "command.h"

namespace kivhost {

const std::vector<Command>& Commands() {
    static const std::vector<Command> commands = {
        {"info", "[--json]", "show the driver information (function 14)",
         "Calls function 14 (GetKIVinfo) and shows the record the driver fills in, with its\n"
         "banner. --json prints {\"result\", \"infoCode\", \"makerName\", \"bannerHex\",\n"
         "\"instanceSize\", \"infoValue4\", \"defaultBaud\", \"defaultDataBits\", \"defaultStopBits\",\n"
         "\"defaultParity\", \"infoValue32\", \"log\"}.\n",
         RunInfo},
        {"call", "N [--address TEXT] [--json]", "call KivMain with function number N",
         "Calls KivMain with function number N on a zeroed instance of the size the driver\n"
         "reports and a zeroed argument record (a GateDescriptor whose address is TEXT, where\n"
         "given). Only numbers that need no started instance are allowed: 0, 4, 6, 8, 9, 10, 14,\n"
         "17 and any number above 17. --json prints {\"function\", \"result\", \"log\"}.\n",
         RunCall},
        {"frame", "TEXT [--controller C] [--json]", "finish a command text into a frame",
         "Finishes a command text the way the driver does: LF, \";\", \">C\" for a controller C\n"
         "other than 0 (default 0), the text upper-cased, \";\", the CRC-16/XMODEM of everything\n"
         "from the first \";\" to the second as four hexadecimal digits, CR. Prints the frame\n"
         "with <LF> and <CR> written out, in hexadecimal, and in the notation of the command-list\n"
         "file (\"<\" for LF, \">\" for CR). Note that the command-list file ends an entry's text\n"
         "at its first \";\" and reads every \">\" as CR, so a finished frame cannot be sent from\n"
         "there as it stands. The driver is not loaded. --json prints {\"text\", \"controller\",\n"
         "\"frameHex\", \"escaped\", \"commandList\"}.\n",
         RunFrame},
    };
    return commands;
}

bool LoadDriver(const CommandContext& context, DriverSession& session) {
    if (session.Load(context.driverPath)) {
        return true;
    }
    std::fprintf(stderr, "kivhost: %s\n", session.Error().c_str());
    return false;
}

int UsageError(const char* command, const std::string& message) {
    std::fprintf(stderr, "kivhost %s: %s\nTry 'kivhost %s --help'.\n", command, message.c_str(),
                 command);
    return kExitUsage;
}

bool ParseInteger(const std::string& text, long long& value) {
    if (text.empty()) {
        return false;
    }
    char* end = nullptr;
    errno = 0;
    value = std::strtoll(text.c_str(), &end, 10);
    return errno == 0 && end != nullptr && *end == '\0' && end != text.c_str();
}

}  // namespace kivhost
