// The controller status report ("S T..." frames): its fields, and the tags they go to.
//
// A report reads: LF, ";S T" and the rest of the command, then fields after commas:
// mode (one digit), keys, status word, controller text, analog inputs 1 to 4, and the version
// text up to the next ";". The report is handled in a work area of 80 characters and each field
// in one of 20, as the controllers' reports always fit.
//
// Malformed reports: only the fields a report really holds are published. A field is missing
// when the comma (or, for the version, the ";") that ends it is missing; a number field is
// missing when it holds no digit after optional blanks and sign, or more than 19 characters, or
// a number beyond 64 bits; a text field is missing when it holds more than 19 characters. A
// report longer than the work area is read as far as the work area reaches. No tag is written
// from a missing field; every other tag of the report is.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>

#include "instance/driver_instance.h"

namespace kiv {

// The work area of a status or event frame's text, and of one status field.
inline constexpr size_t kReportWorkSize = 80;
inline constexpr size_t kStatusFieldSize = 20;

struct StatusText {
    bool present = false;
    char text[kStatusFieldSize] = {};
};

struct StatusReport {
    std::optional<int64_t> mode;        // after comma 1, its first character
    std::optional<int64_t> keys;        // between commas 2 and 3
    std::optional<int64_t> statusWord;  // between commas 3 and 4
    StatusText controllerText;          // between commas 4 and 5
    std::optional<int64_t> analog[4];   // between commas 5 and 9
    StatusText version;                 // from comma 9 to the next ";"
};

// Reads the fields of a received status report of 'count' bytes (LF first).
StatusReport ParseStatusReport(const char* frame, size_t count);

// Publishes a report as controller 'controller''s status tags, in their fixed order: PMODE,
// PKEYS, PAI1 to PAI4, PCTRL, PVER, then the bits of the status word: PTMPR (bit 15), PALRM
// (10), PUIM (3), PIRC (0), reader tags PSRDR of readers 2c (bit 1) and 2c + 1 (bit 2), door
// tags PDORL of doors 2c (bit 8) and 2c + 1 (bit 9), and PSDOR of doors 2c (2 x bit 4) and
// 2c + 1 (2 x bit 6).
void PublishStatusReport(const DriverInstance& instance, int controller,
                         const StatusReport& report);

}  // namespace kiv
