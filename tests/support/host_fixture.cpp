// A test fixture over the stand-in host library.
#include "host_fixture.h"

#include <ostream>

namespace kivtest {

void PrintTo(const LogLine& line, std::ostream* out) {
    *out << "{" << line.level << ", \"" << line.text << "\"}";
}

std::vector<LogLine> LogLines() {
    std::vector<LogLine> lines;
    const size_t count = qorLogCount();
    for (size_t i = 0; i < count; ++i) {
        char text[1024];
        int level = 0;
        if (qorLogLine(i, &level, text, sizeof text) == 0) {
            lines.push_back(LogLine{level, text});
        }
    }
    return lines;
}

}  // namespace kivtest
