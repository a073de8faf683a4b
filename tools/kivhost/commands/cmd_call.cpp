// kivhost call N: one call of KivMain on a zeroed instance.
#include <cstdio>
#include <memory>
#include <string>
#include <vector>

#include <CLI/CLI.hpp>
#include "base/numbers.h"
#include "cli/command.h"
#include "commands/commands.h"

#include "base/json_text.h"

namespace kivhost {

namespace {

// The functions that work without a started instance.
bool NeedsNoInstance(long long number) {
    switch (number) {
    case 0:
    case 4:
    case 6:
    case 8:
    case 9:
    case 10:
    case 14:
    case 17: return true;
    default: return number > 17;
    }
}

struct CallArguments {
    std::string numberText;
    std::string address;
    CLI::Option* addressOption = nullptr;
};

int RunCall(const GlobalOptions& global, const CallArguments& arguments) {
    const std::string& numberText = arguments.numberText;
    long long number = 0;
    if (numberText.empty()) {
        return UsageError("call", "missing the function number N");
    }
    if (!ParseInteger(numberText, number) || number < 0 || number > 0xFFFFFFFFLL) {
        return UsageError("call",
                          "'" + numberText + "' is not a function number (0 to 4294967295)");
    }
    if (number == KIV_FN_TAG_FORMAT_DIALOG) {
        return UsageError("call", "function 16 is the tag format dialog: use 'kivhost dialog'");
    }
    if (!NeedsNoInstance(number)) {
        return UsageError("call",
                          "function " + numberText +
                              " needs a started driver instance; allowed are 0, 4, 6, 8, 9, "
                              "10, 14, 17 and numbers above 17");
    }
    DriverSession session;
    if (!LoadDriver(global, session)) {
        return kExitNoDriver;
    }
    std::vector<unsigned char> instance = session.ZeroedInstance();

    // The largest argument record, zeroed; function 14 fills a DriverInfo, the others read a
    // GateDescriptor at most.
    union Argument {
        GateDescriptor gate;
        DriverInfo info;
    } argument{};
    if (arguments.addressOption->count() > 0) {
        argument.gate.address = arguments.address.c_str();
    }
    KivRequest request{};
    request.instance = instance.data();
    request.functionNumber = static_cast<uint32_t>(number);
    request.argument = &argument;
    std::vector<LogEntry> log;
    const int32_t result = session.Call(request, &log);

    if (global.json) {
        const Json out = {{"function", number}, {"result", result}, {"log", LogJson(log)}};
        std::printf("%s\n", Dump(out).c_str());
    } else {
        std::printf("Function %lld: result %d\nLog:\n%s", number, static_cast<int>(result),
                    LogText(log).c_str());
    }
    return kExitOk;
}

std::function<int()> SetUpCall(CLI::App& app, const GlobalOptions& global) {
    auto arguments = std::make_shared<CallArguments>();
    app.add_option("N", arguments->numberText, "the function number");
    arguments->addressOption =
        app.add_option("--address", arguments->address, "the address of the tag record");
    return [arguments, &global] { return RunCall(global, *arguments); };
}

// The rest of the command's own --help text.
std::string CallHelp() {
    return "Calls KivMain with function number N on a zeroed instance of the size the driver\n"
           "reports and a zeroed argument record (a GateDescriptor whose address is TEXT, where\n"
           "given). Only numbers that need no started instance are allowed: 0, 4, 6, 8, 9, 10, "
           "14,\n"
           "17 and any number above 17. --json prints {\"function\", \"result\", \"log\"}.\n";
}

}  // namespace

extern const Command kCallCommand = {"call", "call KivMain with function number N", CallHelp,
                                     SetUpCall, nullptr};

}  // namespace kivhost
