// The table of subcommands and the helpers they share.
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <vector>

#include "command.h"

namespace kivhost {

const std::vector<Command>& Commands() {
    static const std::vector<Command> commands = {
        {"info", "show the driver information (function 14)",
         "Calls function 14 (GetKIVinfo) and shows the record the driver fills in, with its\n"
         "banner. --json prints {\"result\", \"infoCode\", \"makerName\", \"bannerHex\",\n"
         "\"instanceSize\", \"infoValue4\", \"defaultBaud\", \"defaultDataBits\", "
         "\"defaultStopBits\",\n"
         "\"defaultParity\", \"infoValue32\", \"log\"}.\n",
         SetUpInfo, nullptr},
        {"call", "call KivMain with function number N",
         "Calls KivMain with function number N on a zeroed instance of the size the driver\n"
         "reports and a zeroed argument record (a GateDescriptor whose address is TEXT, where\n"
         "given). Only numbers that need no started instance are allowed: 0, 4, 6, 8, 9, 10, 14,\n"
         "17 and any number above 17. --json prints {\"function\", \"result\", \"log\"}.\n",
         SetUpCall, nullptr},
        {"parse", "check tag addresses with the driver's Parse (function 3)",
         "Hands each ADDRESS to the driver's Parse (function 3) as a tag of data type T, the way\n"
         "a host does when it configures a tag, and shows whether the driver accepts it, with the\n"
         "five driver words it stores with the tag (controller, operation, lockNumber, bitNumber,\n"
         "bitWidth), or the reason it gives for refusing it.\n"
         "\n"
         "--type takes analog, digital, string (any case) or the host's data type code (0\n"
         "analog, 6 digital, 7 string). Every argument after '--' is an address, even one that\n"
         "is empty or begins with '-'.\n"
         "\n"
         "--json prints one array with an object per address, in the order given:\n"
         "{\"address\", \"dataType\", \"result\", \"controller\", \"operation\", \"lockNumber\",\n"
         "\"bitNumber\", \"bitWidth\", \"log\"}; log holds every line the driver wrote during the\n"
         "call, the \"Entered\" line included.\n"
         "Exit status: 0 every address accepted, 1 any refused, 2 usage error.\n",
         SetUpParse, "addresses that begin with '-' go after '--'"},
        {"check", "check a tag configuration file tag by tag",
         "Reads a tag configuration, hands every tag to the driver's Parse (function 3) and\n"
         "prints a table (line, name, address, type, verdict, driver words or reason) and a\n"
         "summary.\n"
         "\n"
         "The file holds one tag a line: NAME ADDRESS TYPE, separated by spaces or tabs.\n"
         "  - TYPE is analog, digital, string (any case) or a whole number (the host's data\n"
         "    type code: 0 analog, 6 digital, 7 string).\n"
         "  - A field in double quotes may hold spaces, tabs and '#', or be empty (\"\");\n"
         "    inside quotes, \"\" stands for one double quote.\n"
         "  - Outside quotes, '#' starts a comment that runs to the end of the line.\n"
         "  - Blank and comment lines are ignored; lines end in LF or CR LF.\n"
         "  Example:   L1_3PMODE   3PMODE   analog    # mode of controller 3\n"

         "\n"
         "--json prints {\"file\", \"tags\", \"accepted\", \"rejected\"}, each tag being "
         "{\"line\",\n"
         "\"name\", \"address\", \"dataType\", \"result\", \"controller\", \"operation\",\n"
         "\"lockNumber\", \"bitNumber\", \"bitWidth\", \"log\"}.\n"
         "Exit status: 0 every tag accepted, 1 any tag refused, 2 the file cannot be read or a\n"
         "line is malformed (each such line is reported with its number, and no tag is checked).\n",
         SetUpCheck, nullptr},
        {"frame", "finish a command text into a frame",
         "Finishes a command text the way the driver does: LF, \";\", \">C\" for a controller C\n"
         "other than 0 (default 0), the text upper-cased, \";\", the CRC-16/XMODEM of everything\n"
         "from the first \";\" to the second as four hexadecimal digits, CR. Prints the frame\n"
         "with <LF> and <CR> written out, in hexadecimal, and in the notation of the command-list\n"
         "file (\"<\" for LF, \">\" for CR). Note that the command-list file ends an entry's text\n"
         "at its first \";\" and reads every \">\" as CR, so a finished frame cannot be sent from\n"
         "there as it stands. The driver is not loaded. --json prints {\"text\", \"controller\",\n"
         "\"frameHex\", \"escaped\", \"commandList\"}.\n",
         SetUpFrame, nullptr},
        {"dialog", "show the tag format dialog (function 16)",
         "Calls function 16, the tag format dialog, as a host's tag editor does, and prints the\n"
         "address text composed in it: \"READ\" or \"RAW\", or \"ARG\", \"VAR\" with two digits,\n"
         "or \"WRITE\". The dialog exists only in the Windows driver; on Linux the driver answers\n"
         "53 at once and says so in its log. Note that Parse refuses every text the dialog\n"
         "composes: they are not tag addresses of this driver.\n"
         "--json prints {\"result\", \"text\", \"log\"} (text is null when the dialog was not\n"
         "completed).\n"
         "Exit status: 0 the dialog was completed with OK, 1 it was not (cancelled, already open,\n"
         "or no dialog on this system).\n",
         SetUpDialog, nullptr},
        {"run", "run the driver live on a line (simulated by default)", "", SetUpRun, nullptr},
        {"scan", "ask the controllers of a line for their status",
         "Cold-starts an instance on the line (--port; by default a simulated line with the\n"
         "controllers of --controllers), waits for its receiver, asks each controller of --ask\n"
         "(default 0-7) for its status by writing its xFSTAT as a host does, and shows which\n"
         "answer, with the fields of their status reports: mode, keys, analog inputs 1 to 4,\n"
         "controller text, version, and the tamper, alarm, UIM and IRC bits. Then it stops the\n"
         "instance. A controller that does not answer costs the driver's attempts (three\n"
         "answer times and pauses). The port is checked first, as 'kivhost port-check' does.\n"
         "--json prints {\"port\", \"simulated\", \"controllers\"}, each {\"controller\",\n"
         "\"answers\", \"result\", \"status\", \"detail\"}; status holds {\"mode\", \"keys\",\n"
         "\"analog1\" to \"analog4\", \"text\", \"version\", \"tamper\", \"alarm\", \"uim\", "
         "\"irc\"}\n"
         "or is null.\n"
         "Exit status: 0 a controller answers, 1 none does or the cold start failed, 2 usage\n"
         "error or a port that does not open, 3 the driver cannot be loaded.\n",
         SetUpScan, nullptr},
        {"ports", "list the serial ports of this machine",
         "Lists the serial ports of this machine. On Linux: every tty in sysfs with a device\n"
         "behind it (a UART the kernel found, a USB adapter), with the USB adapter's maker,\n"
         "product, vendor and product id and serial number, and the stable name udev made for\n"
         "it in /dev/serial/by-id (which stays the same when the adapter moves to another USB\n"
         "socket). On Windows: the COM ports, with the device each stands for.\n"
         "--json prints {\"ports\"}, each {\"port\", \"byId\", \"kind\", \"description\",\n"
         "\"vendorId\", \"productId\", \"serial\"} (kind usb, built-in or com; null where "
         "unknown).\n",
         SetUpPorts, nullptr},
        {"port-check", "check that a serial line opens, or say why not",
         "Opens the line PORT the way the driver does, with the line settings given (default\n"
         "9600 baud, 8 data bits, no parity, 1 stop bit), and closes it again. When it does not\n"
         "open, says why: the device does not exist; permission denied (with the device's owner,\n"
         "group and mode, and the group that grants access); in use by another program (with the\n"
         "programs that hold it, where the system shows them); a rate or setting the system does\n"
         "not take. 'kivhost run --port' makes the same check before its cold start.\n"
         "--json prints {\"port\", \"device\", \"settings\", \"ok\", \"cause\", \"reason\"}; "
         "cause\n"
         "is not-found, permission, in-use, settings, not-a-serial-line, name or other.\n"
         "Exit status: 0 the line opens, 2 it does not (or a usage error).\n",
         SetUpPortCheck, nullptr},
    };
    return commands;
}

bool LoadDriver(const GlobalOptions& global, DriverSession& session) {
    if (session.Load(global.driverPath)) {
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
