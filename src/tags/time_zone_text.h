// The time-zone number of a key record and its decoding.
//
// The add-key record carries a badge's two time zones as one decimal number: the tens digit is
// the second time zone and the units digit the first, each counted from 0 (time zones 1 and 1
// give "0", time zone 3 with second time zone 2 gives "12"). The badge database keeps the two
// characters of the record at that place, so a one-digit number is followed there by the
// record's next character (";"). Everything that reads such a text back (the modify-key reload,
// the download list) decodes it with DecodeTimeZoneText, the way the record was written.
#pragma once

#include <cstddef>
#include <cstdint>

namespace kiv {

// 10 x (timeZone2 - 1) + (timeZone1 - 1).
int32_t CombinedTimeZoneNumber(uint16_t timeZone1, uint16_t timeZone2);

// Reads the leading decimal digits of 'text' (at most 'size' characters, stopping at a NUL; at
// most two digits are used). Two digits: the units digit plus 1 is timeZone1 and the tens digit
// plus 1 is timeZone2. One digit: that digit plus 1 is timeZone1 and timeZone2 is 1. No digit
// (an empty text, or a text that begins with another character): both are 1.
void DecodeTimeZoneText(const char* text, size_t size, uint16_t& timeZone1, uint16_t& timeZone2);

}  // namespace kiv
