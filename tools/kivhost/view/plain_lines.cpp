// The plain view of kivhost run: one line a record, for logs and pipes.
#include <cstdio>

#include "base/terminal_text.h"
#include "view/record_text.h"
#include "view/run_view.h"

namespace kivhost {

void RunView::PrintPlain(const Json& record) const {
    const std::string& type = TextOf(record, "type");
    const std::string when = SecondsText(record) + " " + LineLabel(record) + " ";
    std::string text;
    if (type == "frame") {
        text = TextOf(record, "dir") + "  " + TextOf(record, "text");
    } else if (type == "tag") {
        text = "tag " + TextOf(record, "name") + " = " + ValueText(MemberOf(record, "value"));
    } else if (type == "event") {
        text = EventText(record);
    } else if (type == "log") {
        text = "log [" + std::to_string(record.value("level", 0)) + "] " + TextOf(record, "text");
    } else if (type == "progress") {
        text = ProgressText(record);
    } else if (type == "result") {
        text = ResultText(record);
    } else if (type == "monitor") {
        const Json& controller = MemberOf(record, "controller");
        text = TextOf(record, "kind") +
               (controller.is_number() ? ", controller " + std::to_string(controller.get<int>())
                                       : std::string());
        if (MemberOf(record, "attempt").is_number()) {
            text += ", attempt " + std::to_string(MemberOf(record, "attempt").get<int>() + 1) +
                    " " + TextOf(record, "outcome");
        }
        if (MemberOf(record, "frame").is_string()) {
            text += ": " + MemberOf(record, "frame").get<std::string>();
        }
    } else {
        text = TextOf(record, "text");
    }
    // What the line or a client sent may hold control bytes: shown, never obeyed.
    std::printf("%s%s\n", when.c_str(), TerminalSafe(text, true).c_str());
}

}  // namespace kivhost
