// The badge database file, the badge table and the download list.
#include "receive/badge_database.h"

#include <algorithm>
#include <charconv>
#include <climits>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <memory>
#include <new>

#include "instance/host_tags.h"
#include "qorpro/qorpro.h"
#include "receive/badge_lines.h"
#include "receive/line_reader.h"
#include "tags/time_zone_text.h"

namespace kiv {

namespace {

constexpr const char* kDatabaseStem = "zezSetupDB";
constexpr const char* kDownloadListStem = "zezSetupUDB";
constexpr const char* kPositionTag = "COUNTERD";
constexpr const char* kNameTag = "PBINM";
constexpr const char* kName2Tag = "PBIN2";
constexpr const char* kLineEnd = "\r\n";

// How each problem of a line is logged: "<what> is longer than <limit> characters, <action>".
struct ProblemText {
    BadgeLineProblem problem;
    const char* what;
    size_t limit;
    const char* action;
};

constexpr ProblemText kProblemTexts[] = {
    {BadgeLineProblem::kLineTooLong, "the line", kLineLimit, "not used"},
    {BadgeLineProblem::kKeyNumberTooLong, "the key number", kBadgeKeyNumberSize - 1, "not used"},
    {BadgeLineProblem::kDoorMaskTooLong, "the door mask", kBadgeDoorMaskSize - 1, "not used"},
    {BadgeLineProblem::kNameCut, "the name", kBadgeNameSize - 1, "cut"},
    {BadgeLineProblem::kName2Cut, "the second name", kBadgeName2Size - 1, "cut"},
};

void LogProblem(void* context, unsigned long lineNumber, BadgeLineProblem problem) {
    const char* fileName = static_cast<const char*>(context);
    for (const ProblemText& text : kProblemTexts) {
        if (text.problem == problem) {
            err(32, "RIRODI: %s line %lu: %s is longer than %d characters, %s", fileName,
                lineNumber, text.what, static_cast<int>(text.limit), text.action);
        }
    }
}

// Holds the badge table's lock for one scope, when the table was opened.
class BadgeTableGuard {
public:
    // The lock is the one member a reader changes; the instance itself is never const.
    explicit BadgeTableGuard(const DriverInstance& instance)
        : lock_(const_cast<platform::Lock&>(instance.badgeLock)),
          held_(platform::LockIsInitialised(lock_)) {
        if (held_) {
            platform::LockEnter(lock_);
        }
    }
    ~BadgeTableGuard() {
        if (held_) {
            platform::LockLeave(lock_);
        }
    }
    BadgeTableGuard(const BadgeTableGuard&) = delete;
    BadgeTableGuard& operator=(const BadgeTableGuard&) = delete;

private:
    platform::Lock& lock_;
    bool held_;
};

// A table built aside, to replace the instance's at once.
struct BadgeTableImage {
    BadgeRecord records[kBadgeCount];
    uint16_t keyOrder[kBadgeCount];
};

int32_t LoadedCount(const DriverInstance& instance) {
    return std::clamp(instance.badgeCount, int32_t{0}, int32_t{kBadgeCount});
}

void Install(DriverInstance& instance, const BadgeTableImage& image, int32_t count) {
    const auto filled = static_cast<size_t>(count);
    BadgeTableGuard guard(instance);
    std::memcpy(instance.badges, image.records, filled * sizeof(BadgeRecord));
    std::memset(instance.badges + filled, 0, (kBadgeCount - filled) * sizeof(BadgeRecord));
    std::memcpy(instance.badgeKeyOrder, image.keyOrder, filled * sizeof(uint16_t));
    instance.badgeCount = count;
}

template <size_t N, size_t M>
void CopyText(char (&to)[N], const char (&from)[M]) {
    std::memset(to, 0, N);
    std::memcpy(to, from, strnlen(from, std::min(N, M) - 1));
}

// A name from its tag for a new line: at most 'limit' characters (longer is logged), control
// characters turned into blanks so that the line stays one line.
void TakeName(const DriverInstance& instance, const char* tag, size_t limit, char* name) {
    char text[kLongestTagText + 1] = {};
    GetTagText(instance, tag, text, sizeof text);
    size_t length = std::strlen(text);
    if (length > limit) {
        err(32,
            "RIRODI: %s is longer than %d characters, the badge database keeps the first %d: '%s'",
            tag, static_cast<int>(limit), static_cast<int>(limit), text);
        length = limit;
    }
    for (size_t i = 0; i < length; ++i) {
        name[i] = static_cast<unsigned char>(text[i]) < 0x20 ? ' ' : text[i];
    }
    name[length] = '\0';
}

// Where the badge line with a given badge code lies in the database, and how the file ends.
struct DatabaseScan {
    bool found = false;
    uint64_t start = 0;
    size_t length = 0;
    uint64_t size = 0;
    int lastByte = -1;
};

DatabaseScan ScanDatabase(const char* fileName, const char* badgeCode, size_t codeLength) {
    DatabaseScan scan;
    std::FILE* file = std::fopen(fileName, "rb");
    if (file == nullptr) {
        return scan;
    }
    LineReader lines(file);
    TextLine line{};
    BadgeRecord record;
    while (lines.Next(line)) {
        if (scan.found || codeLength == 0 || line.tooLong || !IsBadgeLine(line.text, line.length)) {
            continue;
        }
        ParseBadgeLine(line.text, line.length, record);
        if (std::strncmp(record.badgeCode, badgeCode, codeLength) == 0 &&
            record.badgeCode[codeLength] == '\0') {
            scan.found = true;
            scan.start = line.start;
            scan.length = line.fullLength;
        }
    }
    scan.size = lines.BytesRead();
    scan.lastByte = lines.LastByte();
    std::fclose(file);
    return scan;
}

bool AppendLine(const char* fileName, const DatabaseScan& scan, const char* line, size_t length) {
    std::FILE* file = std::fopen(fileName, "ab");
    if (file == nullptr) {
        return false;
    }
    // A last line without its line end gets one first, so that the new line stays a line.
    const char* separator = "";
    if (scan.size > 0 && scan.lastByte != '\n') {
        separator = scan.lastByte == '\r' ? "\n" : kLineEnd;
    }
    const size_t separatorLength = std::strlen(separator);
    bool written = std::fwrite(separator, 1, separatorLength, file) == separatorLength &&
                   std::fwrite(line, 1, length, file) == length &&
                   std::fwrite(kLineEnd, 1, 2, file) == 2;
    written = std::fclose(file) == 0 && written;
    return written;
}

bool BlotLine(const char* fileName, uint64_t start, size_t length) {
    if (start > static_cast<uint64_t>(LONG_MAX)) {
        return false;
    }
    std::FILE* file = std::fopen(fileName, "r+b");
    if (file == nullptr) {
        return false;
    }
    char stars[kLineLimit];
    std::memset(stars, '*', sizeof stars);
    bool written = std::fseek(file, static_cast<long>(start), SEEK_SET) == 0;
    while (written && length > 0) {
        const size_t n = std::min(length, sizeof stars);
        written = std::fwrite(stars, 1, n, file) == n;
        length -= n;
    }
    written = std::fclose(file) == 0 && written;
    return written;
}

// Line k + 1 of the list for a "COUNTERD" value of k.
uint64_t WantedLine(double position) {
    if (!std::isfinite(position) || position < 1.0) {
        return 1;
    }
    if (position >= static_cast<double>(INT32_MAX)) {
        return static_cast<uint64_t>(INT32_MAX) + 1;
    }
    return static_cast<uint64_t>(position) + 1;
}

}  // namespace

int32_t hexTextValue(const char* text, size_t count) {
    uint32_t value = 0;
    uint32_t weight = 1;
    for (size_t i = count; i > 0; --i) {
        const uint32_t code = static_cast<unsigned char>(text[i - 1]);
        // Unsigned arithmetic: codes below "0" give digits that wrap, as a signed sum would.
        const uint32_t digit = code <= '9' ? code - 48U : code - 55U;
        value += digit * weight;
        weight *= 16U;
    }
    return static_cast<int32_t>(value);
}

bool BadgeTableOpen(DriverInstance& instance) {
    std::memset(instance.badges, 0, sizeof instance.badges);
    instance.badgeCount = 0;
    return platform::LockIsInitialised(instance.badgeLock) ||
           platform::LockInit(instance.badgeLock);
}

void BadgeTableClose(DriverInstance& instance) {
    platform::LockDestroy(instance.badgeLock);
}

void BadgeDbLoad(DriverInstance& instance) {
    char fileName[kFileNameSize];
    DriverFileName(fileName, kDatabaseStem, instance.instanceNumber);
    const std::unique_ptr<BadgeTableImage> image(new (std::nothrow) BadgeTableImage);
    if (!image) {
        err(32, "RIRODI: not enough memory to load %s, the badge table stays as it was", fileName);
        return;
    }
    BadgeTableSummary summary{};
    std::FILE* file = std::fopen(fileName, "rb");
    if (file != nullptr) {
        LineReader lines(file);
        summary = BuildBadgeTable(lines, image->records, image->keyOrder, kBadgeCount, LogProblem,
                                  fileName);
        std::fclose(file);
    }
    Install(instance, *image, summary.count);
    if (summary.overflowLines > 0) {
        err(32,
            "RIRODI: %s line %lu: the badge table is full (%d badges), %lu badge lines from here "
            "on are not loaded",
            fileName, summary.firstOverflowLine, kBadgeCount, summary.overflowLines);
    }
}

bool BadgeDbUpdate(DriverInstance& instance, const char* frame) {
    char fileName[kFileNameSize];
    DriverFileName(fileName, kDatabaseStem, instance.instanceNumber);

    // The new line: the frame's text between its LF and its CR, then the two names.
    const size_t frameLength = strnlen(frame, kFrameBufferSize);
    const size_t textLength = frameLength >= 2 ? frameLength - 2 : 0;
    char name[kBadgeNameSize];
    char name2[kBadgeName2Size];
    TakeName(instance, kNameTag, kBadgeNameSize - 1, name);
    TakeName(instance, kName2Tag, kBadgeName2Size - 1, name2);
    const size_t nameLength = std::strlen(name);
    const size_t name2Length = std::strlen(name2);
    const size_t lineLength = textLength + 3 + nameLength + 3 + name2Length;
    if (lineLength > kLineLimit) {
        err(32, "RIRODI: the badge line is longer than %d characters, not written to %s",
            static_cast<int>(kLineLimit), fileName);
        return false;
    }
    char line[kLineLimit + 1];
    size_t at = 0;
    const auto put = [&line, &at](const char* text, size_t length) {
        std::memcpy(line + at, text, length);
        at += length;
    };
    put(frame + 1, textLength);
    put(" @ ", 3);
    put(name, nameLength);
    put(" @ ", 3);
    put(name2, name2Length);
    line[at] = '\0';

    const char* code = instance.stage.currentBadgeCode;
    const size_t codeLength = strnlen(code, kBadgeCodeSize - 1);
    const DatabaseScan scan = ScanDatabase(fileName, code, codeLength);
    if (IsBadgeLine(line, at) && !AppendLine(fileName, scan, line, at)) {
        return false;
    }
    const bool blotted = !scan.found || BlotLine(fileName, scan.start, scan.length);
    BadgeDbLoad(instance);
    return blotted;
}

void DownloadNextBadge(DriverInstance& instance) {
    double position = 0.0;
    if (!GetTagValue(instance, kPositionTag, position)) {
        err(32, "RIRODI: DOWNLOAD needs the tag %s for its list position, nothing staged",
            kPositionTag);
        return;
    }
    const uint64_t wanted = WantedLine(position);
    char fileName[kFileNameSize];
    DriverFileName(fileName, kDownloadListStem, instance.instanceNumber);
    std::FILE* file = std::fopen(fileName, "rb");
    if (file == nullptr) {
        return;
    }
    LineReader lines(file);
    TextLine line{};
    uint64_t lineCount = 0;
    bool found = false;
    while (!found && lines.Next(line)) {
        ++lineCount;
        found = lineCount == wanted;
    }
    PutTagValue(instance, kPositionTag, static_cast<double>(found ? wanted : lineCount + 1));
    if (found) {
        BadgeRecord badge{};
        bool usable = true;
        if (line.tooLong) {
            LogProblem(fileName, line.number, BadgeLineProblem::kLineTooLong);
            usable = false;
        } else if (IsBadgeLine(line.text, line.length)) {
            const BadgeLineProblems problems = ParseBadgeLine(line.text, line.length, badge);
            // The key number is not staged: the next key query obtains it anew.
            for (const BadgeLineProblem problem :
                 {BadgeLineProblem::kDoorMaskTooLong, BadgeLineProblem::kNameCut,
                  BadgeLineProblem::kName2Cut}) {
                if ((problems & ProblemBit(problem)) != 0) {
                    LogProblem(fileName, line.number, problem);
                }
            }
            usable = (problems & ProblemBit(BadgeLineProblem::kDoorMaskTooLong)) == 0;
        }
        if (usable) {
            CopyText(instance.stage.currentBadgeCode, badge.badgeCode);
            StageBadgeValues(instance, badge);
        }
    }
    std::fclose(file);
}

BadgeNames FindBadgeByKey(const DriverInstance& instance, const char* keyNumber) {
    BadgeNames names{};
    const BadgeTableGuard guard(instance);
    const int32_t index =
        FindKeyNumber(instance.badges, instance.badgeKeyOrder, LoadedCount(instance), keyNumber);
    if (index >= 0) {
        const BadgeRecord& badge = instance.badges[index];
        CopyText(names.name, badge.name);
        CopyText(names.name2, badge.name2);
        CopyText(names.badgeCode, badge.badgeCode);
    }
    return names;
}

void BadgeKeyNumberText(const char* field, size_t count, char (&keyNumber)[kKeyNumberTextSize]) {
    const int64_t key = static_cast<int64_t>(hexTextValue(field, count)) - 1;
    const std::to_chars_result result =
        std::to_chars(keyNumber, keyNumber + sizeof keyNumber - 1, key);
    *result.ptr = '\0';
}

BadgeRecord FindBadgeByCode(const DriverInstance& instance, const char* badgeCode) {
    BadgeRecord found{};
    const size_t codeLength = strnlen(badgeCode, kBadgeCodeSize);
    if (codeLength == 0 || codeLength >= kBadgeCodeSize) {
        return found;
    }
    const BadgeTableGuard guard(instance);
    const int32_t count = LoadedCount(instance);
    for (int32_t i = 0; i < count; ++i) {
        const BadgeRecord& badge = instance.badges[i];
        if (std::memcmp(badge.badgeCode, badgeCode, codeLength) == 0 &&
            badge.badgeCode[codeLength] == '\0') {
            found = badge;
            break;
        }
    }
    return found;
}

void StageBadgeValues(DriverInstance& instance, const BadgeRecord& badge) {
    SetupStage& stage = instance.stage;
    stage.doorMask = static_cast<uint16_t>(
        hexTextValue(badge.doorMaskHex, strnlen(badge.doorMaskHex, sizeof badge.doorMaskHex)));
    CopyText(stage.dateText, badge.date);
    DecodeTimeZoneText(badge.timeZones, sizeof badge.timeZones, stage.timeZone1, stage.timeZone2);
    PutTagText(instance, kNameTag, badge.name);
    PutTagText(instance, kName2Tag, badge.name2);
}

}  // namespace kiv
