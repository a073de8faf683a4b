// The driver's log lines as a host receives them through its err call, one level and one text
// each, and how the tool shows them.
#pragma once

#include <string>
#include <vector>

#include "base/json_text.h"

namespace kivhost {

struct LogEntry {
    int level;
    std::string text;
};

// The log lines as a JSON array of {"level", "text"}.
Json LogJson(const std::vector<LogEntry>& log);
// The log lines for a person, one a line, each behind its level.
std::string LogText(const std::vector<LogEntry>& log);

}  // namespace kivhost
