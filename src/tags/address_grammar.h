// The tag address grammar's vocabulary: the keyword tables, the names the driver knows, the
// keyword look-up, and the limits of an address.
//
// A keyword's index in its table gives the operation code Parse stores with the tag (commands
// from 0, setup values from 100, setup texts from 130), so the order of every table is fixed.
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

// Parameter tags: setup values. Operation code = 100 + index.
inline constexpr const char* kParameterKeywords[] = {
    "PDORS", "PWKDS", "PHOLT", "PPSW1", "PPSW2", "PLFRT", "PDFRM", "PDMOD",
    "PPEVS", "PTZN1", "PTZN2", "PDATI", "PLOCK", "PLOUD", "PDAJT", "PEFRM",
};

// String parameter tags: setup texts. Operation code = 130 + index.
inline constexpr const char* kStringParameterKeywords[] = {
    "PFRTM", "PTOTM", "PKCOD", "PDATE", "PTIME",
};

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
static_assert(std::size(kParameterKeywords) == kLastValueOp - kFirstValueOp + 1);
static_assert(std::size(kStringParameterKeywords) == kLastTextOp - kFirstTextOp + 1);

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
