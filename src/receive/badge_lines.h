// The lines of the badge database and of the download list, and the table built from them.
//
// A badge line is the text of an add-key frame as sent (without its LF and CR), " @ ", the
// name, " @ ", the second name:
//
//   ;A 12,345,00000ABCDE,3F,01/02/24,12;89AB @ Jane Doe @ Night shift
//
// A line is a badge line when it begins with ";A" (a line blotted out with "*", an add-key frame
// for another controller (";>") and any other line are not). The badge table takes every badge
// line it can split into its fields: the separators must be there (the first two commas, the
// comma after the door mask, two "@"); what stands between them is taken as it is, as earlier
// installations wrote it (an empty date, a lower-case badge code, a date or time zones the
// staging would refuse, a key number "-1"). The download list is stricter: its lines are staged
// as the host's own writes would be, so a list line must be complete and well formed: ";A ",
// the first key number (digits), ",", the key number (digits), ",", ten badge-code characters
// "0" to "9" and "A" to "F", ",", the door mask (at least one such character), ",", a date
// "DD/MM/YY" (day at most 31, month at most 12), ",", the time zones (one or two digits 0 to
// 7), ";", four hexadecimal checksum digits (not recomputed: a hand-edited line stays usable),
// " @ ", the name, " @ " and the second name. The fields are taken by position:
//
//   keyNumber     between the first and the second comma
//   badgeCode     the 10 characters after the second comma
//   doorMaskHex   from the 12th character after the second comma up to the next comma
//   date          after that comma, up to the next comma (at most 8 characters)
//   timeZones     after that comma, up to the ";" (at most 2 characters)
//   name          from 2 characters after the first "@" to 2 characters before the last "@"
//   name2         from 2 characters after the last "@" to the end of the line
//
// The commas are looked for before the first "@" only (names never move the fields). A part
// that the line does not have is empty. Nothing is read outside the line.
//
// Limits: a line over kLineLimit (199) characters is not used; a key number over
// kKeyNumberDigits (9) or a door mask over 4 characters makes the line unusable (a cut number
// would name another key or another door set); a name over 50 or a second name over 20
// characters is cut to that length. Every one of these is reported with the line's number.
#pragma once

#include <cstddef>
#include <cstdint>

#include "instance/driver_instance.h"
#include "receive/line_reader.h"

namespace kiv {

// What keeps a line from being used as it stands.
enum class BadgeLineProblem {
    kLineTooLong,       // not used
    kMalformed,         // not staged: not a complete, well-formed badge line (download list)
    kUnsplittable,      // not used: a separator is missing (badge table)
    kKeyNumberTooLong,  // not used
    kDoorMaskTooLong,   // not used
    kNameCut,           // used, the name cut to its capacity
    kName2Cut,          // used, the second name cut to its capacity
};

// The problems a parse found, one bit per BadgeLineProblem.
using BadgeLineProblems = uint32_t;
constexpr BadgeLineProblems ProblemBit(BadgeLineProblem problem) {
    return 1U << static_cast<uint32_t>(problem);
}

// True when the line begins with ";A".
bool IsBadgeLine(const char* text, size_t length);

// True when a badge line has the separators the table needs to split it into its fields.
bool SplitsIntoFields(const char* text, size_t length);

// True when a badge line is complete and well formed (above).
bool IsWellFormedBadgeLine(const char* text, size_t length);

// The characters a holder's name may not hold: they separate the fields of a badge line.
// Control characters are refused as well.
inline constexpr char kNameSeparators[] = ".;,@";
bool IsAcceptableName(const char* name);

// Fills every field of 'record' from the line (all fields empty first); the result lists what
// did not fit. The line need not be terminated and may hold any bytes.
BadgeLineProblems ParseBadgeLine(const char* text, size_t length, BadgeRecord& record);

// A problem of one line, as the readers report it.
using BadgeProblemSink = void (*)(void* context, unsigned long lineNumber,
                                  BadgeLineProblem problem);

// What a table build found beyond the problems of single lines.
struct BadgeTableSummary {
    int32_t count;                    // records filled
    unsigned long overflowLines;      // badge lines that found the table full
    unsigned long firstOverflowLine;  // the number of the first of them (0 when none)
};

// Fills 'table' (of 'capacity' records) from the badge lines of the input, in file order, and
// lists the filled records by key number in 'keyOrder' (equal keys in file order). Records
// from 'count' on are left as they were. Lines that are not badge lines are passed over
// silently; every badge line that is not used (too long, a separator missing, a field too long),
// or used cut, is reported once to 'sink'.
BadgeTableSummary BuildBadgeTable(LineReader& lines, BadgeRecord* table, uint16_t* keyOrder,
                                  int32_t capacity, BadgeProblemSink sink, void* context);

// The position of 'keyNumber' in a key order: the first record (in file order) with that key
// number, or -1. An empty key number is never found.
int32_t FindKeyNumber(const BadgeRecord* table, const uint16_t* keyOrder, int32_t count,
                      const char* keyNumber);

}  // namespace kiv
