// kivhost port-check: whether a serial line opens with the host's settings, and if not, why.
#include <cstdio>
#include <memory>
#include <string>

#include <CLI/CLI.hpp>

#include "base/json_text.h"
#include "cli/command.h"
#include "cli/line_options.h"
#include "commands/commands.h"
#include "system/port_check.h"

namespace kivhost {

namespace {

struct PortCheckArguments {
    std::string port;
    LineOptions line;
};

int RunPortCheck(const GlobalOptions& global, const PortCheckArguments& arguments) {
    LineSettings settings{};
    std::string message;
    if (!MakeLineSettings(arguments.line, settings, message)) {
        return UsageError("port-check", message);
    }
    std::string name;
    PortCheck check;
    if (!DriverPortName(arguments.port, name)) {
        check.device = arguments.port;
        check.cause = "name";
        check.reason =
            "the port name '" + arguments.port + "' does not fit the host's 12 characters";
    } else {
        check = CheckPort(name, settings);
    }
    if (global.json) {
        std::printf("%s\n", Dump({{"port", ByteText(arguments.port)},
                                  {"device", ByteText(check.device)},
                                  {"settings", SettingsText(settings)},
                                  {"ok", check.ok},
                                  {"cause", check.ok ? Json(nullptr) : Json(check.cause)},
                                  {"reason", check.ok ? Json(nullptr) : ByteText(check.reason)}})
                                .c_str());
    } else if (check.ok) {
        // A stable name is shown with the device it names.
        const bool named =
            check.device != arguments.port && check.device != "/dev/" + arguments.port;
        const std::string shown = named ? arguments.port + " (" + check.device + ")" : check.device;
        std::printf("%s: opens with %s\n", shown.c_str(), SettingsText(settings).c_str());
    } else {
        (void)std::fprintf(stderr, "kivhost port-check: %s\n", check.reason.c_str());
    }
    return check.ok ? kExitOk : kExitUsage;
}

std::function<int()> SetUpPortCheck(CLI::App& app, const GlobalOptions& global) {
    auto arguments = std::make_shared<PortCheckArguments>();
    app.add_option("PORT", arguments->port,
                   "the line: a tty on Linux (ttyUSB0, /dev/ttyS1), COMn on Windows")
        ->required();
    AddLineOptions(app, arguments->line);
    return [arguments, &global] { return RunPortCheck(global, *arguments); };
}

// The rest of the command's own --help text.
std::string PortCheckHelp() {
    return "Opens the line PORT the way the driver does, with the line settings given (default\n"
           "9600 baud, 8 data bits, no parity, 1 stop bit), and closes it again. When it does not\n"
           "open, says why: the device does not exist; permission denied (with the device's "
           "owner,\n"
           "group and mode, and the group that grants access); in use by another program (with "
           "the\n"
           "programs that hold it, where the system shows them); a rate or setting the system "
           "does\n"
           "not take. 'kivhost run --port' makes the same check before its cold start.\n"
           "--json prints {\"port\", \"device\", \"settings\", \"ok\", \"cause\", \"reason\"}; "
           "cause\n"
           "is not-found, permission, in-use, settings, not-a-serial-line, name or other.\n"
           "Exit status: 0 the line opens, 2 it does not (or a usage error).\n";
}

}  // namespace

extern const Command kPortCheckCommand = {"port-check",
                                          "check that a serial line opens, or say why not",
                                          PortCheckHelp, SetUpPortCheck, nullptr};

}  // namespace kivhost
