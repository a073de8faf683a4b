// Time, badge-code and date checks, each in the order the operators' manual gives its rules.
#include "tags/value_converters.h"

#include <algorithm>
#include <cstring>

namespace kiv {

namespace {

constexpr size_t kMaxTimeLength = 8;
constexpr size_t kTimeFieldLength = 5;  // HH:MM
constexpr size_t kBadgeCodeLength = 10;
constexpr size_t kDateLength = 8;

bool IsDigit(char c) {
    return c >= '0' && c <= '9';
}

// The two-digit number at 'text'; both characters are known to be digits.
int TwoDigits(const char* text) {
    return (text[0] - '0') * 10 + (text[1] - '0');
}

bool IsUpperHexDigit(char c) {
    return IsDigit(c) || (c >= 'A' && c <= 'F');
}

}  // namespace

bool TimeConverter(const char* text) {
    const size_t length = strnlen(text, kTextValueSize);
    if (length > kMaxTimeLength) {
        return false;
    }
    // The length test keeps the checks inside the text; a shorter text fails on its terminator
    // anyway.
    if (length < kTimeFieldLength || text[2] != ':') {
        return false;
    }
    if (!IsDigit(text[0]) || !IsDigit(text[1]) || !IsDigit(text[3]) || !IsDigit(text[4])) {
        return false;
    }
    return TwoDigits(text) <= 23 && TwoDigits(text + 3) <= 59;
}

bool BadgeCodeConverter(char (&text)[kTextValueSize]) {
    const size_t length = strnlen(text, kTextValueSize);
    if (length > kBadgeCodeLength) {
        return false;
    }
    const size_t padding = kBadgeCodeLength - length;
    std::memmove(text + padding, text, length);
    std::fill_n(text, padding, '0');
    text[kBadgeCodeLength] = '\0';
    for (size_t i = 0; i < kBadgeCodeLength; ++i) {
        if (!IsUpperHexDigit(text[i])) {
            return false;
        }
    }
    return true;
}

bool DateConverter(const char* text) {
    const size_t length = strnlen(text, kTextValueSize);
    if (length > kDateLength) {
        return false;
    }
    if (length < kDateLength || text[2] != '/' || text[5] != '/') {
        return false;
    }
    constexpr size_t kDigitPositions[] = {0, 1, 3, 4, 6, 7};
    for (const size_t position : kDigitPositions) {
        if (!IsDigit(text[position])) {
            return false;
        }
    }
    return TwoDigits(text) <= 31 && TwoDigits(text + 3) <= 12;
}

}  // namespace kiv
