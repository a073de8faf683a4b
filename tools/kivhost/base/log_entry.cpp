// How the tool shows the driver's log lines.
#include "base/log_entry.h"

#include "base/charset.h"

namespace kivhost {

Json LogJson(const std::vector<LogEntry>& log) {
    Json items = Json::array();
    for (const LogEntry& entry : log) {
        items.push_back({{"level", entry.level}, {"text", LineText(entry.text)}});
    }
    return items;
}

std::string LogText(const std::vector<LogEntry>& log) {
    std::string out;
    for (const LogEntry& entry : log) {
        out += "  [" + std::to_string(entry.level) + "] " + LineToUtf8(entry.text) + "\n";
    }
    return out;
}

}  // namespace kivhost
