// kivhost dialog: function 16, the tag format dialog, as a host's tag editor calls it.
#include <cstdio>
#include <string>
#include <vector>

#include "command.h"
#include "json_writer.h"

namespace kivhost {

int RunDialog(CommandContext& context) {
    if (!context.args.empty()) {
        return UsageError("dialog", "unexpected argument '" + context.args.front() + "'");
    }
    DriverSession session;
    if (!LoadDriver(context, session)) {
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

    if (context.json) {
        JsonObject out;
        out.Add("result", result);
        if (completed) {
            out.Add("text", text);
        } else {
            out.AddRaw("text", "null");
        }
        std::printf("%s\n", out.AddRaw("log", LogJson(log)).Text().c_str());
    } else if (completed) {
        std::printf("%s\n", text);
    } else {
        std::printf("The dialog was not completed (result %d).\nLog:\n%s", static_cast<int>(result),
                    LogText(log).c_str());
    }
    return completed ? kExitOk : kExitRejected;
}

}  // namespace kivhost
