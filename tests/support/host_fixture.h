// A test fixture over the stand-in host library: a clean host for every test, and the log
// lines the driver wrote.
#pragma once

#include <gtest/gtest.h>

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

class HostFixture : public testing::Test {
protected:
    void SetUp() override { qorReset(); }
    void TearDown() override { qorReset(); }
};

}  // namespace kivtest
