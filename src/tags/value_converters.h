// The checks a text must pass before it is staged for a controller command: a time of day, a
// badge code and a date. Each takes the written text as the driver copied it (at most 79
// characters, terminated, in an 80-character buffer) and answers whether it may be staged; none
// of them logs. The badge-code check also brings the code into the form the controllers use.
#pragma once

#include "tags/gate_value.h"

namespace kiv {

// "HH:MM", hours 00 to 23 and minutes 00 to 59, optionally followed by up to three further
// characters that are not examined ("07:30:15"). At most 8 characters.
bool TimeConverter(const char* text);

// Up to ten upper-case hexadecimal digits. The text is first padded on the left with "0" to
// exactly ten characters, in place (an empty text becomes ten zeros); then every character must
// be one of "0123456789ABCDEF". A text longer than ten characters is refused unchanged.
bool BadgeCodeConverter(char (&text)[kTextValueSize]);

// "DD/MM/YY": exactly eight characters, day at most 31 and month at most 12. No lower bound
// (00/00/00 passes) and no check of the day against the month.
bool DateConverter(const char* text);

}  // namespace kiv
