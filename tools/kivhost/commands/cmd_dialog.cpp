// kivhost dialog: function 16, the tag format dialog, as a host's tag editor calls it.
#include <cstdio>
#include <string>
#include <vector>

#include "base/json_text.h"
#include "cli/command.h"
#include "commands/commands.h"

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
                          {"text", completed ? LineText(text) : Json(nullptr)},
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

std::function<int()> SetUpDialog(CLI::App& /*app*/, const GlobalOptions& global) {
    return [&global] { return RunDialog(global); };
}

// The rest of the command's own --help text.
std::string DialogHelp() {
    return "Calls function 16, the tag format dialog, as a host's tag editor does, and prints the\n"
           "address text composed in it: \"READ\" or \"RAW\", or \"ARG\", \"VAR\" with two "
           "digits,\n"
           "or \"WRITE\". The dialog exists only in the Windows driver; on Linux the driver "
           "answers\n"
           "53 at once and says so in its log. Note that Parse refuses every text the dialog\n"
           "composes: they are not tag addresses of this driver.\n"
           "--json prints {\"result\", \"text\", \"log\"} (text is null when the dialog was not\n"
           "completed).\n"
           "Exit status: 0 the dialog was completed with OK, 1 it was not (cancelled, already "
           "open,\n"
           "or no dialog on this system).\n";
}

}  // namespace

extern const Command kDialogCommand = {"dialog", "show the tag format dialog (function 16)",
                                       DialogHelp, SetUpDialog, nullptr};

}  // namespace kivhost
