// The time, badge-code and date checks at the edges of each rule.
#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "stage_instance.h"
#include "tags/value_converters.h"

namespace {

struct TextCase {
    const char* text;
    bool accepted;
};

TEST(ValueConverters, TimeConverter) {
    const TextCase cases[] = {
        {"23:59", true},    {"00:00", true},  {"24:00", false},   {"12:60", false},
        {"7:30", false},    {"12.30", false}, {"07:30:15", true}, {"07:30:159", false},
        {"07:3", false},    {"", false},      {"0a:30", false},   {"07:3x", false},
        {"07:30xyz", true}, {"19:05", true},  {"99:99", false},   {"-1:30", false},
    };
    for (const TextCase& c : cases) {
        EXPECT_EQ(kiv::TimeConverter(c.text), c.accepted) << '"' << c.text << '"';
    }
}

TEST(ValueConverters, DateConverter) {
    const TextCase cases[] = {
        {"31/12/99", true},  {"00/00/00", true},   {"32/01/02", false},   {"01/13/02", false},
        {"1/1/02", false},   {"01-02-03", false},  {"01/02-03", false},   {"01-02/03", false},
        {"01/02/0", false},  {"01/02/034", false}, {"", false},           {"0a/02/03", false},
        {"01/02/0x", false}, {"31/02/24", true},   {"15/06/2024", false},
    };
    for (const TextCase& c : cases) {
        EXPECT_EQ(kiv::DateConverter(c.text), c.accepted) << '"' << c.text << '"';
    }
}

struct BadgeCase {
    const char* text;
    bool accepted;
    const char* padded;  // the buffer after an accepted check
};

TEST(ValueConverters, BadgeCodeConverterPadsAndChecks) {
    const BadgeCase cases[] = {
        {"", true, "0000000000"},           {"12AB", true, "00000012AB"},
        {"0123456789", true, "0123456789"}, {"ABCDEF0123", true, "ABCDEF0123"},
        {"FFFFFFFFFF", true, "FFFFFFFFFF"}, {"12ab", false, nullptr},
        {"0123456789a", false, nullptr},    {"01234567890", false, nullptr},
        {"12 AB", false, nullptr},          {"12G", false, nullptr},
        {"abcdef0123", false, nullptr},     {" 123456789", false, nullptr},
    };
    for (const BadgeCase& c : cases) {
        char buffer[kiv::kTextValueSize] = {};
        kivtest::PutText(buffer, c.text);
        EXPECT_EQ(kiv::BadgeCodeConverter(buffer), c.accepted) << '"' << c.text << '"';
        if (c.accepted) {
            EXPECT_STREQ(buffer, c.padded);
        }
    }
}

TEST(ValueConverters, ChecksStopAtTheBuffersEnd) {
    // 79 characters, the longest text the driver copies from the host.
    char buffer[kiv::kTextValueSize] = {};
    std::memset(buffer, '1', sizeof buffer - 1);
    EXPECT_FALSE(kiv::TimeConverter(buffer));
    EXPECT_FALSE(kiv::DateConverter(buffer));
    EXPECT_FALSE(kiv::BadgeCodeConverter(buffer));
    EXPECT_EQ(std::string(buffer), std::string(79, '1'));  // a refused long code stays as it was
}

}  // namespace
