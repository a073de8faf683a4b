// kivhost dialog: function 16, the tag format dialog, as a host's tag editor calls it.
#include <cstdio>
#include <string>
#include <vector>

#include "command.h"
#include "json_text.h"

namespace kivhost {

namespace {

int RunDialog(const GlobalOptions& global) {
    DriverSession session;
    if (!LoadDriver(global, session)) {
        return kExitNoDriver;
    }
    std::vector<unsigned char> instance = session.ZeroedInstance();
    // Larger than the longest text the dialog composes, so that an overrun would show.
    char text[64] = {};
    TagFormatRequest argument{text};
    KivRequest request{};
    request.instance = instance.data();
    request.functionNumber = KIV_FN_TAG_FORMAT_DIALOG;
    request.argument = &argument;
    std::vector<LogEntry> log;
    const int32_t result = session.Call(request, &log);
    const bool completed = result == KIV_OK;

    if (global.json) {
        const Json out = {{"result", result},
                          {"text", completed ? ByteText(text) : Json(nullptr)},
                          {"log", LogJson(log)}};
        std::printf("%s\n", Dump(out).c_str());
    } else if (completed) {
        std::printf("%s\n", text);
    } else {
        std::printf("The dialog was not completed (result %d).\nLog:\n%s", static_cast<int>(result),
                    LogText(log).c_str());
    }
    return completed ? kExitOk : kExitRejected;
}

}  // namespace

std::function<int()> SetUpDialog(CLI::App& /*app*/, const GlobalOptions& global) {
    return [&global] { return RunDialog(global); };
}

}  // namespace kivhost
