// The text of a received status or event frame as the receiver works on it, and the readers of
// its number fields.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>

namespace kiv {

// Copies the frame's text into a work area of 'size' bytes: from its second byte (after the
// LF), without its last byte (the CR) when 'dropLast' is set, ending at a NUL or at 'count'
// bytes, and cut to size - 1 characters. The area is zero-filled behind the text.
void CopyWorkText(const char* frame, size_t count, bool dropLast, char* work, size_t size);

template <size_t N>
void CopyWorkText(const char* frame, size_t count, bool dropLast, char (&work)[N]) {
    CopyWorkText(frame, count, dropLast, work, N);
}

// A decimal number at the start of the text: blanks skipped, an optional sign, then digits up
// to the first other character. Empty when there is no digit or the number does not fit 64 bits.
std::optional<int64_t> LeadingNumber(const char* text);

// The decimal number of at most 'width' digits at the start of the text (no blanks, no sign);
// empty when the text does not begin with a digit.
std::optional<int32_t> LeadingDigits(const char* text, size_t width);

}  // namespace kiv
