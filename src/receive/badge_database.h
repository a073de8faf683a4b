// The badge database: "zezSetupDB%02d.dat", one line per badge the driver added to a
// controller, and its in-memory copy, the table `badges` of the instance, that gives the
// controllers' key numbers their badge codes and names. Also the download list
// "zezSetupUDB%02d.dat" (same line format), whose next line DOWNLOAD stages.
//
// Files are opened by bare name in the process's current directory, in binary mode; lines end
// in CR LF on disk on every platform, and CR LF and a bare LF are both read as line ends (see
// receive/line_reader.h). The line format, the fields and what a line may hold are described
// in receive/badge_lines.h.
//
// The table. A load reads the whole file into a table of its own, builds the index by key
// number beside it, and then replaces the instance's table, index and count at once under
// `badgeLock`; every look-up copies what it needs under the same lock. So a look-up on the
// receiver's thread sees the table before a reload or after it, never a mix. Records beyond
// those loaded are empty in every field.
//
// Limits, each reported once per load (or per DOWNLOAD) with the line's number, at level 32:
// - a badge line over 199 characters is not loaded;
// - a badge line the loader cannot split into its fields (a torn write, a hand edit gone wrong:
//   a separator missing) is not loaded: "RIRODI: <file> line <n>: a separator of the badge line
//   is missing, not used"; every other badge line loads, its fields taken as they stand;
// - a key number over 9 or a door mask over 4 characters: the line is not loaded;
// - a name over 50 or a second name over 20 characters is loaded cut to that length;
// - badge lines beyond the 5000th are not loaded (one line names the first and their count).
// Lines that are not badge lines (blotted lines, for instance) are passed over silently.
#pragma once

#include <cstddef>
#include <cstdint>

#include "instance/driver_instance.h"

namespace kiv {

// The value of a hexadecimal text of 'count' characters (the caller's text holds at least that
// many): from the last character back to the first, each byte's code (0 to 255) minus 48 when
// it is at most 57 ("9"), otherwise minus 55 ("A" to "F" give 10 to 15), times 16 to the power
// of its place. Other characters are not refused: they add their out-of-range digit values all
// the same. Everything wraps in 32 bits: "FFFFFFFF" gives -1; "" gives 0.
int32_t hexTextValue(const char* text, size_t count);

// Replaces the table by the badge lines of "zezSetupDB%02d.dat"; an empty table when the file
// is missing. When the memory for the new table cannot be had, the table stays as it was (and
// that is logged).
void BadgeDbLoad(DriverInstance& instance);

// The names a new badge line gets: the texts of "PBINM" and "PBIN2".
struct BadgeHolder {
    char name[kBadgeNameSize];
    char name2[kBadgeName2Size];
};

// Reads the holder's names for a new badge line: a missing tag gives an empty text; a name over
// 50 or a second name over 20 characters is cut (logged), control characters become blanks.
// False when a name tag exists but cannot be read.
bool ReadBadgeHolder(const DriverInstance& instance, BadgeHolder& holder);

// What an acknowledged key frame changes: the badge it was for (the badge code the key command
// used) and the holder's names, both taken when the command began.
struct BadgeUpdate {
    const char* badgeCode;
    BadgeHolder holder;
};

// Records an acknowledged key frame for controller 0 (the frame as sent, LF to CR, terminated)
// in the database, then reloads the table:
// - the new line is the frame's text without its LF and CR, " @ ", the name, " @ ", the second
//   name;
// - the first badge line whose badge code is the update's code is blotted: its characters
//   become "*", its line end stays (an empty code blots nothing);
// - an add-key frame (its text begins ";A") is appended as the new last line ending in CR LF
//   (after a CR LF of its own when the file did not end with a line end); a delete-key frame
//   adds nothing. The file is created when missing.
// The file is written anew beside the old one and put in its place in one step, so that a
// process killed at any moment, or a disk that fills up, leaves the badges as they were before
// or as they are after, never both lines and never a cut one. False when the update could not
// be made: the file and the table are then unchanged, and a line names the file, the badge and
// the reason (the controller has the key all the same).
bool BadgeDbUpdate(DriverInstance& instance, const char* frame, const BadgeUpdate& update);

// DOWNLOAD: stages the next line of "zezSetupUDB%02d.dat". The position is the tag "COUNTERD":
// its value truncated to a whole number k (below 0, or not a number, counts as 0) names line
// k + 1 (lines counted from 1). When that line exists, "COUNTERD" becomes k + 1 and the line is
// staged under the staging lock: `currentBadgeCode`, `doorMask`, `dateText` and both time zones
// (as ReloadBadge stages them), and its names go to "PBINM" and "PBIN2" (a line that is not a
// badge line stages empty texts, door mask 0, time zones 1 and 1). Past the end, "COUNTERD"
// becomes the number of lines + 1 and nothing is staged. A last line without line end is a line
// like any other. When the list is missing, nothing changes. When "COUNTERD" does not exist (or
// cannot be read) nothing is staged and that is logged. A badge line over 199 characters, not
// complete and well formed, with a door mask over 4 characters, or with a name that PBINM or
// PBIN2 would refuse, is logged with its number and not staged, though "COUNTERD" moves past it;
// it stages empty values as a line that is not a badge line does, so that nothing of the badge
// staged before stays for the next add-key write.
void DownloadNextBadge(DriverInstance& instance);

// What the receiver publishes for a badge.
struct BadgeNames {
    char name[kBadgeNameSize];
    char name2[kBadgeName2Size];
    char badgeCode[kBadgeCodeSize];
};

// The first badge (in file order) with this key number, through the index; all three texts
// empty when there is none. An empty key number is never found.
BadgeNames FindBadgeByKey(const DriverInstance& instance, const char* keyNumber);

// The key number an event's badge field names: the field's hexTextValue minus 1, in decimal
// without leading zeros ("1" gives "0", "1F" gives "30").
inline constexpr size_t kKeyNumberTextSize = 12;
void BadgeKeyNumberText(const char* field, size_t count, char (&keyNumber)[kKeyNumberTextSize]);

// A copy of the first badge (in file order) whose badge code is 'badgeCode' (at most 10
// characters); every field empty when there is none. An empty code is never found.
BadgeRecord FindBadgeByCode(const DriverInstance& instance, const char* badgeCode);

// The modify-key reload: stages what the table holds for this badge code (the first badge in
// file order with it) under the staging lock: `doorMask` from the door mask text, `dateText`,
// both time zones decoded with DecodeTimeZoneText (units digit the first zone, tens digit the
// second, the way the key record writes them), and writes the name to "PBINM" and the second
// name to "PBIN2". A code the table does not hold stages door mask 0, an empty date, time zones
// 1 and 1, and empties both tags.
void ReloadBadge(DriverInstance& instance, const char* badgeCode);

}  // namespace kiv
