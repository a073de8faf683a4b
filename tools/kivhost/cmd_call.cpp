// kivhost call N: one call of KivMain on a zeroed instance.
#include <cstdio>
#include <string>
#include <vector>

#include "command.h"
#include "json_writer.h"

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

}  // namespace

int RunCall(CommandContext& context) {
    std::string numberText;
    std::string address;
    bool haveAddress = false;
    for (size_t i = 0; i < context.args.size(); ++i) {
        const std::string& arg = context.args[i];
        if (arg == "--address") {
            if (i + 1 >= context.args.size()) {
                return UsageError("call", "--address needs a text");
            }
            address = context.args[++i];
            haveAddress = true;
        } else if (numberText.empty()) {
            numberText = arg;
        } else {
            return UsageError("call", "unexpected argument '" + arg + "'");
        }
    }
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
    if (!LoadDriver(context, session)) {
        return kExitNoDriver;
    }
    std::vector<unsigned char> instance = session.ZeroedInstance();

    // The largest argument record, zeroed; function 14 fills a DriverInfo, the others read a
    // GateDescriptor at most.
    union Argument {
        GateDescriptor gate;
        DriverInfo info;
    } argument{};
    if (haveAddress) {
        argument.gate.address = address.c_str();
    }
    KivRequest request{};
    request.instance = instance.data();
    request.functionNumber = static_cast<uint32_t>(number);
    request.argument = &argument;
    std::vector<LogEntry> log;
    const int32_t result = session.Call(request, &log);

    if (context.json) {
        std::printf("%s\n", JsonObject()
                                .Add("function", static_cast<int64_t>(number))
                                .Add("result", result)
                                .AddRaw("log", LogJson(log))
                                .Text()
                                .c_str());
    } else {
        std::printf("Function %lld: result %d\nLog:\n%s", number, static_cast<int>(result),
                    LogText(log).c_str());
    }
    return kExitOk;
}

}  // namespace kivhost
