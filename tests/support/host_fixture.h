// A test fixture over the stand-in host library: a clean host for every test, and the log
// lines the driver wrote.
#pragma once

#include <gtest/gtest.h>

#include <cstddef>
#include <string>
#include <vector>

#include "qorpro/qorpro_embed.h"

namespace kivtest {

struct LogLine {
    int level;
    std::string text;
    bool operator==(const LogLine& other) const = default;
};

// Prints as {level, "text"} in failure messages.
void PrintTo(const LogLine& line, std::ostream* out);

// Every line the driver wrote since the last reset or clear.
std::vector<LogLine> LogLines();

// The lines whose text contains 'part'.
std::vector<LogLine> LinesWith(const std::string& part);

// Waits until at least 'count' lines contain 'part', or 'timeoutMs' passed; true when they do.
bool WaitForLines(const std::string& part, size_t count, int timeoutMs);
inline bool WaitForLine(const std::string& part, int timeoutMs) {
    return WaitForLines(part, 1, timeoutMs);
}

// The value and text of the tag with this name (NaN and "" for a tag that does not exist).
double TagValue(const char* name);
std::string TagText(const char* name);

// Waits until the named tag holds 'value', or 'timeoutMs' passed; true when it does.
bool WaitForTagValue(const char* name, double value, int timeoutMs);

class HostFixture : public testing::Test {
protected:
    void SetUp() override { qorReset(); }
    void TearDown() override { qorReset(); }
};

}  // namespace kivtest
