// The event frame ("V" frames): the event code, the unit and the badge it names, and the tags
// it sets.
//
// An event reads: LF, ";V ", the date and time of day ("DD/MM/YY HH:MM:SS"), ",", the two-digit
// event code, ",", the two-digit unit number (counted from 1), ",", the badge number in
// hexadecimal, ";", checksum, CR. The receiver works on the text between the LF and the CR, cut
// to 79 characters (the work area). The fields are found by their places:
//
//   event code   the 4th and 5th characters after the last ":" (the one in the time of day)
//   unit number  the two characters after the second comma after that ":", less 1
//   badge number the text between the last comma and the ";" after it
//
// Malformed events: the code and the unit are read as up to two leading digits of their
// places, and are missing when the place does not begin with a digit or lies beyond the text;
// the badge number is missing when no ";" follows the last comma or it has more than 7
// characters. An event without its code changes no tag (its record is still filed and its text
// still shown through INPUT); one without its unit writes the badge names and PENUM but no tag
// that needs the unit; a badge event without a badge number publishes "NOT KNOW!" as for an
// unknown badge.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>

#include "instance/driver_instance.h"
#include "receive/badge_database.h"

namespace kiv {

// The longest badge number field read.
inline constexpr size_t kMaxBadgeNumberLength = 7;

struct EventReport {
    std::optional<int32_t> eventCode;
    std::optional<int32_t> unitNumber;  // counted from 0 (the frame's number less 1)
    bool hasBadge = false;
    char keyNumber[kKeyNumberTextSize] = {};  // the badge number's value less 1, in decimal
};

// Reads an event from its work text (see above).
EventReport ParseEvent(const char* workText);

// Publishes an event: the door state ("PSDOR%02d" and "PCDOR") for codes 0, 7, 8, 9 and 10;
// "PCDOR" and the badge holder's names ("PBNAM", "PBNA2", "PBCOD", "NOT KNOW!" for each that is
// unknown) for the badge codes 0, 17, 18, 25, 29 and 30, "NOT KNOW!" in all three for other
// codes; the tag of codes 13 to 16, 19 to 22 and 26; and "PENUM" last.
// 'workText' is the text the event was read from, for the monitoring record that follows.
void PublishEvent(const DriverInstance& instance, const EventReport& event, const char* workText);

}  // namespace kiv
