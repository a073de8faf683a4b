// The tag address grammar's vocabulary: the keyword tables, the names the driver knows, the
// keyword look-up, and the limits of an address.
//
// A keyword's index in its table gives the operation code Parse stores with the tag (commands
// from 0), so the order of the table is fixed.
#pragma once

#include <cstddef>
#include <iterator>

#include "tags/operation_codes.h"

namespace kiv {

// Keywords compare on their first five characters.
inline constexpr size_t kKeywordLength = 5;

// Parse works on a copy of at most this many characters of the address (plus a terminator);
// the grammar never looks further.
inline constexpr size_t kGasWorkingChars = 39;
// The longest address of the keyword families (FSPAR with an option letter, PLOCK with lock
// and bit).
inline constexpr size_t kMaxKeywordGasLength = 8;

// Command tags: a controller digit and a keyword, such as 2FADDK. Operation code = index.
inline constexpr const char* kCommandKeywords[] = {
    "FADDK", "FDELK", "FMODK", "FSTTZ", "FRTHS", "FSHOL", "FSAHS",
    "FSPAR", "FSTER", "FPPRN", "FSNDD", "FAPRN", "FERDB", "FSTAT",
};

// Parameter tags (setup values, from 100) and string parameter tags (setup texts, from 130)
// are the rows of the setup parameter table (tags/setup_parameters.h).

// The tag that shows the last event's text. Operation code 200.
inline constexpr const char* kInputKeyword[] = {"INPUT"};

// Tags known by their whole name, written in capitals.
inline constexpr const char* kNamedTags[] = {
    "INCOMING", "OUTGOING", "SEND_ACK",  "SEND_STR_FROM_FILE",
    "PENUM",    "PBNAM",    "PCDOR",     "PBNA2",
    "PBINM",    "PBIN2",    "PBCOD",     "COUNTERD",
    "DOWNLOAD", "INVERT",   "BADGECODE",
};

// Controller status tags: a controller digit 0 to 7 and one of these keywords, in the order
// they are tested. Four of them have four letters.
inline constexpr const char* kControllerTagKeywords[] = {
    "PMODE", "PKEYS", "PAI1",  "PAI2",  "PAI3",  "PAI4", "PCTRL", "PVER",
    "PTMPR", "PSRCC", "PSBTR", "PSPWR", "PALRM", "PUIM", "PIRC",
};

// Reader and door tags: one of these keywords and a number 0 to 15, in test order. The first
// names readers, the other two doors.
inline constexpr const char* kReaderDoorKeywords[] = {"PSRDR", "PDORL", "PSDOR"};
inline constexpr size_t kReaderKeywordIndex = 0;
inline constexpr int kLastReaderDoorNumber = 15;

static_assert(std::size(kCommandKeywords) == kLastCommandOp - kFirstCommandOp + 1);

// An address as Parse works on it: at most kGasWorkingChars characters of the host's text,
// zero-filled behind them. One character past the copy is read to tell whether the address goes
// on; nothing further.
struct AddressCopy {
    char text[kGasWorkingChars + 1] = {};
    size_t length = 0;
    bool cut = false;  // the host's address is longer than the copy
};
AddressCopy CopyAddress(const char* address);

// A copy as log lines show it: its text, then "..." when the address went on, so that a line
// stays bounded however long the host's text is.
struct ShownAddress {
    char text[kGasWorkingChars + sizeof "..."] = {};
};
ShownAddress Shown(const AddressCopy& copy);

// Looks a text up in a keyword table: true, with the index of the first keyword in table
// order whose first five characters equal those of the text. The comparison stops at the end
// of either text, so a text shorter than five characters matches no keyword and a longer one
// matches on its first five characters alone. 'index' may be null.
bool FindKeyword(const char* text, const char* const* table, size_t count, size_t* index);

template <size_t N>
bool FindKeyword(const char* text, const char* const (&table)[N], size_t* index) {
    return FindKeyword(text, table, N, index);
}

// Reads a decimal number as a field of at most 'width' characters: leading white space is
// skipped and not counted, then an optional sign and digits are taken while the width lasts;
// what follows is not examined ("123" read with width 2 gives 12). False when no digit was
// read; 'value' is then left alone.
bool ReadDecimalField(const char* text, int width, int* value);

}  // namespace kiv
