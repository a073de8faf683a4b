// The command-list file "vududidi01.ini": numbered command texts that a write of the entry's
// number to the tag SEND_STR_FROM_FILE sends on the line as they stand, without framing.
//
//   any preamble lines
//   ... StartOfCommandList ...          (the first line that holds the marker anywhere)
//   12,  ;S Q<text>;  anything          (number, ",", blanks and tabs, text up to the first ";")
//   ... EndOfCommandList ...            (the first line after the start that holds the marker)
//
// The file is read afresh on every look-up, in binary; lines end in CR LF or LF.
//
// - Lines: at most 1898 characters before the line end (a 1900-byte line buffer with the LF and
//   the terminator). A longer line is skipped whole, with a log line; it is neither a marker nor
//   an entry, and its rest is never read as a line of its own.
// - Bounds: at most 10000 lines are read looking for the start marker, the marker line among
//   them; at most 10000 lines after it are examined, the end-marker line among them.
// - Entries: a line after the start marker that holds a "," and, before it, a decimal number
//   (blanks, an optional sign, at least one digit; whatever follows the digits up to the ","
//   is ignored; a number outside the int range makes no entry). Lines without a "," or without
//   digits before it (comments, blank lines, the end-marker line) are no entries: a look-up of
//   number 0 finds only a line that says "0,". The first entry with the number decides.
// - Text: from the first character after the "," that is neither blank nor tab up to the first
//   ";" (never part of the text). Without a ";" the text runs to the end of the line and its line
//   end becomes one LF (from a CR LF file as from an LF file); a last line that the end of the
//   file ends adds nothing.
// - "<" becomes LF and ">" becomes CR. "@NAME$" becomes the current value of the tag NAME (read
//   with processClientId, the name looked up as written): a text as it is, a number truncated
//   toward zero in decimal. A tag that is missing, unreadable, empty, or whose number is not a
//   finite value in the int range leaves the reference as NAME followed by "$" (the "@" dropped;
//   "<" and ">" in them converted). An "@" that no "$" follows drops itself and the rest of the
//   text. Inserted values are not converted.
// - The expanded text must fit 255 characters and must not hold a NUL byte; otherwise the entry
//   is refused with a log line naming its number, never cut.
#pragma once

#include <cstddef>
#include <cstdio>

#include "instance/host_tags.h"

namespace kiv {

inline constexpr char kCommandListFileName[] = "vududidi01.ini";
inline constexpr char kCommandListStartMarker[] = "StartOfCommandList";
inline constexpr char kCommandListEndMarker[] = "EndOfCommandList";
// The characters of a line before its line end.
inline constexpr size_t kCommandListLineLimit = 1898;
// Lines read looking for the start marker, and lines examined after it.
inline constexpr size_t kCommandListMaxLines = 10000;
// An expanded command text: 255 characters and the terminator.
inline constexpr size_t kCommandTextSize = 256;

enum class CommandListResult {
    kFound,      // the expanded text is in the buffer
    kNoFile,     // the file cannot be opened
    kNotFound,   // no entry has the number
    kRefused,    // the first entry with the number does not fit or holds a NUL byte (logged)
    kPastLimit,  // no start marker within kCommandListMaxLines lines, or no entry with the number
                 // within kCommandListMaxLines lines after it while the list goes on (logged)
};

// Looks entry 'number' up in "vududidi01.ini" in the working directory. On kFound 'text' holds
// the expanded text and its terminator; otherwise 'text' is an empty text. Writes no log line
// except for a long line, a refused entry, or a search that stopped at a limit.
CommandListResult CommandListLookup(int number, char (&text)[kCommandTextSize]);

// The same over a file the caller opened (in binary) and closes.
CommandListResult CommandListLookup(std::FILE* file, int number, char (&text)[kCommandTextSize]);

// A tag's value as text: the longest text a tag can hold and the terminator.
inline constexpr size_t kTagTextSize = kLongestTagText + 1;

// The current value of the tag with this name, read with processClientId, as text (see above);
// an empty text when there is none. Returns the text's length.
size_t ReadTagAsText(const char* name, char (&text)[kTagTextSize]);

}  // namespace kiv
