// Work texts and number fields of received frames.
#include "receive/report_text.h"

#include <cstring>
#include <limits>

namespace kiv {

namespace {

bool IsDigit(char c) {
    return c >= '0' && c <= '9';
}

}  // namespace

void CopyWorkText(const char* frame, size_t count, bool dropLast, char* work, size_t size) {
    std::memset(work, 0, size);
    if (frame == nullptr || size == 0) {
        return;
    }
    size_t length = strnlen(frame, count);
    length = length > 0 ? length - 1 : 0;  // without the LF
    if (dropLast && length > 0) {
        --length;
    }
    if (length > size - 1) {
        length = size - 1;
    }
    if (length > 0) {
        std::memcpy(work, frame + 1, length);
    }
}

std::optional<int64_t> LeadingNumber(const char* text) {
    while (*text == ' ' || *text == '\t') {
        ++text;
    }
    const bool negative = *text == '-';
    if (*text == '-' || *text == '+') {
        ++text;
    }
    if (!IsDigit(*text)) {
        return std::nullopt;
    }
    int64_t value = 0;
    for (; IsDigit(*text); ++text) {
        const int digit = *text - '0';
        if (value > (std::numeric_limits<int64_t>::max() - digit) / 10) {
            return std::nullopt;
        }
        value = value * 10 + digit;
    }
    return negative ? -value : value;
}

std::optional<int32_t> LeadingDigits(const char* text, size_t width) {
    int32_t value = 0;
    size_t used = 0;
    while (used < width && IsDigit(text[used])) {
        value = value * 10 + (text[used] - '0');
        ++used;
    }
    if (used == 0) {
        return std::nullopt;
    }
    return value;
}

}  // namespace kiv
