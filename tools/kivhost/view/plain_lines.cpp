// The plain view of kivhost run: one line a record, for logs and pipes.
#include <cstdio>

#include "base/terminal_text.h"
#include "view/record_text.h"
#include "view/run_view.h"

namespace kivhost {

void RunView::PrintPlain(const Json& record) const {
    const std::string type = record.value("type", std::string());
    const std::string when = SecondsText(record) + " " + LineLabel(record) + " ";
    std::string text;
    if (type == "frame") {
        text = record.value("dir", std::string()) + "  " + record.value("text", std::string());
    } else if (type == "tag") {
        text = "tag " + record.value("name", std::string()) + " = " + ValueText(record["value"]);
    } else if (type == "event") {
        text = EventText(record);
    } else if (type == "log") {
        text = "log [" + std::to_string(record.value("level", 0)) + "] " +
               record.value("text", std::string());
    } else if (type == "progress") {
        text = ProgressText(record);
    } else if (type == "result") {
        text = ResultText(record);
    } else if (type == "monitor") {
        const Json& controller = record["controller"];
        text = record.value("kind", std::string()) +
               (controller.is_number() ? ", controller " + std::to_string(controller.get<int>())
                                       : std::string());
        if (record["attempt"].is_number()) {
            text += ", attempt " + std::to_string(record["attempt"].get<int>() + 1) + " " +
                    record.value("outcome", std::string());
        }
        if (record["frame"].is_string()) {
            text += ": " + record["frame"].get<std::string>();
        }
    } else {
        text = record.value("text", std::string());
    }
    // What the line or a client sent may hold control bytes: shown, never obeyed.
    std::printf("%s%s\n", when.c_str(), TerminalSafe(text, true).c_str());
}

}  // namespace kivhost
