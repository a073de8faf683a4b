// Badge lines: their fields by position, and the table built from them.
#include "receive/badge_lines.h"

#include <algorithm>
#include <cstring>

#include "tags/value_converters.h"

namespace kiv {

namespace {

constexpr size_t kNotFound = static_cast<size_t>(-1);

// The badge code's place after the second comma, and the door mask's start.
constexpr size_t kBadgeCodeWidth = kBadgeCodeSize - 1;
constexpr size_t kDoorMaskOffset = 12;
// After the comma that ends the door mask: the date, then (after one more comma) the time zones.
constexpr size_t kDateWidth = kBadgeDateSize - 1;
constexpr size_t kTimeZonesWidth = kBadgeTimeZonesSize - 1;

size_t Find(const char* text, size_t from, size_t to, char wanted) {
    for (size_t i = from; i < to; ++i) {
        if (text[i] == wanted) {
            return i;
        }
    }
    return kNotFound;
}

size_t FindLast(const char* text, size_t length, char wanted) {
    for (size_t i = length; i > 0; --i) {
        if (text[i - 1] == wanted) {
            return i - 1;
        }
    }
    return kNotFound;
}

// Copies text[from, to) into the field, cut to its capacity; true when it had to be cut.
template <size_t N>
bool CopyField(char (&field)[N], const char* text, size_t from, size_t to) {
    if (from >= to) {
        return false;
    }
    const size_t length = to - from;
    const size_t kept = std::min(length, N - 1);
    std::memcpy(field, text + from, kept);
    field[kept] = '\0';
    return kept < length;
}

// The date ends at the comma before the time zones (at most 8 characters), the time zones at
// the ";" before the checksum (at most 2): a well-formed line puts them at their fixed places,
// and an empty date, as earlier installations wrote it, moves neither field.
void TakeDateAndZones(const char* text, size_t comma4, size_t frameEnd, BadgeRecord& record) {
    const size_t comma5 = Find(text, comma4 + 1, frameEnd, ',');
    const size_t dateEnd = comma5 == kNotFound ? frameEnd : comma5;
    CopyField(record.date, text, comma4 + 1, std::min(dateEnd, comma4 + 1 + kDateWidth));
    if (comma5 == kNotFound) {
        return;
    }
    const size_t semicolon = Find(text, comma5 + 1, frameEnd, ';');
    const size_t zonesEnd = semicolon == kNotFound ? frameEnd : semicolon;
    CopyField(record.timeZones, text, comma5 + 1, std::min(zonesEnd, comma5 + 1 + kTimeZonesWidth));
}

void Report(BadgeProblemSink sink, void* context, unsigned long lineNumber,
            BadgeLineProblem problem) {
    if (sink != nullptr) {
        sink(context, lineNumber, problem);
    }
}

bool IsUpperHexDigit(char c) {
    return (c >= '0' && c <= '9') || (c >= 'A' && c <= 'F');
}

bool IsHexDigit(char c) {
    return IsUpperHexDigit(c) || (c >= 'a' && c <= 'f');
}

bool IsDecimalDigit(char c) {
    return c >= '0' && c <= '9';
}

bool IsTimeZoneDigit(char c) {
    return c >= '0' && c <= '7';
}

// Reads a line left to right; each step is false when the line does not go on as a badge line
// does, and then the cursor is of no further use.
class LineCursor {
public:
    LineCursor(const char* text, size_t length) : text_(text), length_(length) {}

    bool Literal(const char* literal) {
        const size_t n = std::strlen(literal);
        if (length_ - position_ < n || std::memcmp(text_ + position_, literal, n) != 0) {
            return false;
        }
        position_ += n;
        return true;
    }
    // From 'least' to 'most' characters that pass 'accept' (as many as there are).
    bool Run(size_t least, size_t most, bool (*accept)(char)) {
        const size_t start = position_;
        while (position_ < length_ && accept(text_[position_])) {
            ++position_;
        }
        const size_t count = position_ - start;
        return count >= least && count <= most;
    }
    bool Date() {
        constexpr size_t kWidth = kBadgeDateSize - 1;
        if (length_ - position_ < kWidth) {
            return false;
        }
        char date[kBadgeDateSize] = {};
        std::memcpy(date, text_ + position_, kWidth);
        position_ += kWidth;
        return DateConverter(date);
    }
    // The rest of the line holds " @ " once more, the second separator.
    bool SecondSeparator() const {
        for (size_t i = length_; i > position_; --i) {
            if (text_[i - 1] == '@') {
                return i - 1 > position_ && text_[i - 2] == ' ' &&
                       (i == length_ || text_[i] == ' ');
            }
        }
        return false;
    }

private:
    const char* text_;
    size_t length_;
    size_t position_ = 0;
};

}  // namespace

bool IsBadgeLine(const char* text, size_t length) {
    return length >= 2 && text[0] == ';' && text[1] == 'A';
}

bool IsWellFormedBadgeLine(const char* text, size_t length) {
    constexpr size_t kAny = static_cast<size_t>(-1);
    LineCursor line(text, length);
    return line.Literal(";A ") && line.Run(1, kAny, IsDecimalDigit) && line.Literal(",") &&
           line.Run(1, kAny, IsDecimalDigit) && line.Literal(",") &&
           line.Run(kBadgeCodeWidth, kBadgeCodeWidth, IsUpperHexDigit) && line.Literal(",") &&
           line.Run(1, kAny, IsUpperHexDigit) && line.Literal(",") && line.Date() &&
           line.Literal(",") && line.Run(1, kTimeZonesWidth, IsTimeZoneDigit) &&
           line.Literal(";") && line.Run(4, 4, IsHexDigit) && line.Literal(" @ ") &&
           line.SecondSeparator();
}

bool SplitsIntoFields(const char* text, size_t length) {
    const size_t firstAt = Find(text, 0, length, '@');
    if (!IsBadgeLine(text, length) || firstAt == kNotFound ||
        FindLast(text, length, '@') == firstAt) {
        return false;
    }
    const size_t comma1 = Find(text, 0, firstAt, ',');
    const size_t comma2 = comma1 == kNotFound ? kNotFound : Find(text, comma1 + 1, firstAt, ',');
    if (comma2 == kNotFound || comma2 + kDoorMaskOffset > firstAt) {
        return false;
    }
    return Find(text, comma2 + kDoorMaskOffset, firstAt, ',') != kNotFound;
}

bool IsAcceptableName(const char* name) {
    for (const char* c = name; *c != '\0'; ++c) {
        if (static_cast<unsigned char>(*c) < 0x20 || std::strchr(kNameSeparators, *c) != nullptr) {
            return false;
        }
    }
    return true;
}

BadgeLineProblems ParseBadgeLine(const char* text, size_t length, BadgeRecord& record) {
    std::memset(&record, 0, sizeof record);
    BadgeLineProblems problems = 0;

    const size_t firstAt = Find(text, 0, length, '@');
    const size_t frameEnd = firstAt == kNotFound ? length : firstAt;
    const size_t comma1 = Find(text, 0, frameEnd, ',');
    const size_t comma2 = comma1 == kNotFound ? kNotFound : Find(text, comma1 + 1, frameEnd, ',');
    if (comma2 != kNotFound) {
        if (CopyField(record.keyNumber, text, comma1 + 1, comma2)) {
            problems |= ProblemBit(BadgeLineProblem::kKeyNumberTooLong);
            record.keyNumber[0] = '\0';
        }
        CopyField(record.badgeCode, text, comma2 + 1,
                  std::min(comma2 + 1 + kBadgeCodeWidth, frameEnd));
        const size_t doorStart = comma2 + kDoorMaskOffset;
        const size_t comma4 =
            doorStart <= frameEnd ? Find(text, doorStart, frameEnd, ',') : kNotFound;
        if (comma4 != kNotFound) {
            if (CopyField(record.doorMaskHex, text, doorStart, comma4)) {
                problems |= ProblemBit(BadgeLineProblem::kDoorMaskTooLong);
                record.doorMaskHex[0] = '\0';
            }
            TakeDateAndZones(text, comma4, frameEnd, record);
        }
    }

    if (firstAt != kNotFound) {
        const size_t lastAt = FindLast(text, length, '@');
        // The name ends before the blank of " @ "; a single "@" leaves it empty.
        if (lastAt > firstAt && CopyField(record.name, text, firstAt + 2, lastAt - 1)) {
            problems |= ProblemBit(BadgeLineProblem::kNameCut);
        }
        if (CopyField(record.name2, text, lastAt + 2, length)) {
            problems |= ProblemBit(BadgeLineProblem::kName2Cut);
        }
    }
    return problems;
}

BadgeTableSummary BuildBadgeTable(LineReader& lines, BadgeRecord* table, uint16_t* keyOrder,
                                  int32_t capacity, BadgeProblemSink sink, void* context) {
    BadgeTableSummary summary{};
    constexpr BadgeLineProblems kUnusable = ProblemBit(BadgeLineProblem::kKeyNumberTooLong) |
                                            ProblemBit(BadgeLineProblem::kDoorMaskTooLong);
    constexpr BadgeLineProblem kEveryProblem[] = {
        BadgeLineProblem::kKeyNumberTooLong, BadgeLineProblem::kDoorMaskTooLong,
        BadgeLineProblem::kNameCut, BadgeLineProblem::kName2Cut};
    TextLine line{};
    while (lines.Next(line)) {
        if (!IsBadgeLine(line.text, line.length)) {
            continue;
        }
        if (summary.count >= capacity) {
            if (summary.overflowLines++ == 0) {
                summary.firstOverflowLine = line.number;
            }
            continue;
        }
        if (line.tooLong) {
            Report(sink, context, line.number, BadgeLineProblem::kLineTooLong);
            continue;
        }
        if (!SplitsIntoFields(line.text, line.length)) {
            Report(sink, context, line.number, BadgeLineProblem::kUnsplittable);
            continue;
        }
        BadgeRecord record;
        const BadgeLineProblems problems = ParseBadgeLine(line.text, line.length, record);
        for (const BadgeLineProblem problem : kEveryProblem) {
            if ((problems & ProblemBit(problem)) != 0) {
                Report(sink, context, line.number, problem);
            }
        }
        if ((problems & kUnusable) == 0) {
            table[summary.count++] = record;
        }
    }

    for (int32_t i = 0; i < summary.count; ++i) {
        keyOrder[i] = static_cast<uint16_t>(i);
    }
    std::sort(keyOrder, keyOrder + summary.count, [table](uint16_t a, uint16_t b) {
        const int order = std::strcmp(table[a].keyNumber, table[b].keyNumber);
        return order != 0 ? order < 0 : a < b;
    });
    return summary;
}

int32_t FindKeyNumber(const BadgeRecord* table, const uint16_t* keyOrder, int32_t count,
                      const char* keyNumber) {
    if (keyNumber == nullptr || keyNumber[0] == '\0' || count <= 0) {
        return -1;
    }
    const uint16_t* end = keyOrder + count;
    const uint16_t* found =
        std::lower_bound(keyOrder, end, keyNumber, [table](uint16_t index, const char* key) {
            return std::strcmp(table[index].keyNumber, key) < 0;
        });
    if (found == end || std::strcmp(table[*found].keyNumber, keyNumber) != 0) {
        return -1;
    }
    return *found;
}

}  // namespace kiv
