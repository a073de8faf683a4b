// kivhost port-check: whether a serial line opens with the host's settings, and if not, why.
#include <cstdio>
#include <memory>
#include <string>

#include <CLI/CLI.hpp>

#include "command.h"
#include "json_text.h"
#include "line_options.h"
#include "port_check.h"

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
        std::printf("%s: opens with %s\n", check.device.c_str(), SettingsText(settings).c_str());
    } else {
        (void)std::fprintf(stderr, "kivhost port-check: %s\n", check.reason.c_str());
    }
    return check.ok ? kExitOk : kExitUsage;
}

}  // namespace

std::function<int()> SetUpPortCheck(CLI::App& app, const GlobalOptions& global) {
    auto arguments = std::make_shared<PortCheckArguments>();
    app.add_option("PORT", arguments->port,
                   "the line: a tty on Linux (ttyUSB0, /dev/ttyS1), COMn on Windows")
        ->required();
    AddLineOptions(app, arguments->line);
    return [arguments, &global] { return RunPortCheck(global, *arguments); };
}

}  // namespace kivhost
