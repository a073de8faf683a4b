// A test fixture over the stand-in host library.
#include "host_fixture.h"

#include <chrono>
#include <cmath>
#include <ostream>
#include <utility>

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

std::vector<LogLine> LinesWith(const std::string& part) {
    std::vector<LogLine> found;
    for (LogLine& line : LogLines()) {
        if (line.text.find(part) != std::string::npos) {
            found.push_back(std::move(line));
        }
    }
    return found;
}

namespace {

using Clock = std::chrono::steady_clock;

int MsLeft(Clock::time_point deadline) {
    const auto left =
        std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
    return left > 0 ? static_cast<int>(left) : 0;
}

}  // namespace

bool WaitForLines(const std::string& part, size_t count, int timeoutMs) {
    const auto deadline = Clock::now() + std::chrono::milliseconds(timeoutMs);
    for (;;) {
        const size_t seen = qorLogCount();
        if (LinesWith(part).size() >= count) {
            return true;
        }
        const int left = MsLeft(deadline);
        if (left == 0) {
            return false;
        }
        qorWaitForLog(seen + 1, left);
    }
}

double TagValue(const char* name) {
    double value = std::nan("");
    qorGetValue(qorFindTag(name), &value);
    return value;
}

std::string TagText(const char* name) {
    char text[QOR_TEXT_SIZE] = {};
    qorGetText(qorFindTag(name), text, sizeof text);
    return text;
}

bool WaitForTagValue(const char* name, double value, int timeoutMs) {
    const auto deadline = Clock::now() + std::chrono::milliseconds(timeoutMs);
    for (;;) {
        const uint64_t seen = qorChangeCount();
        if (TagValue(name) == value) {
            return true;
        }
        const int left = MsLeft(deadline);
        if (left == 0) {
            return false;
        }
        qorWaitForChange(seen, left);
    }
}

}  // namespace kivtest
