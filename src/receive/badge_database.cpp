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
#include <string>
#include <vector>

#include "instance/host_tags.h"
#include "platform/file_store.h"
#include "platform/sync.h"
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

// How each problem of a line is logged, after "RIRODI: <file> line <n>: ".
struct ProblemText {
    BadgeLineProblem problem;
    const char* what;
    size_t limit;  // 0: 'what' is the whole text
    const char* action;
};

constexpr ProblemText kProblemTexts[] = {
    {BadgeLineProblem::kLineTooLong, "the line", kLineLimit, "not used"},
    {BadgeLineProblem::kMalformed, "the line is not a complete badge line", 0, "not staged"},
    {BadgeLineProblem::kUnsplittable, "a separator of the badge line is missing", 0, "not used"},
    {BadgeLineProblem::kKeyNumberTooLong, "the key number", kBadgeKeyNumberSize - 1, "not used"},
    {BadgeLineProblem::kDoorMaskTooLong, "the door mask", kBadgeDoorMaskSize - 1, "not used"},
    {BadgeLineProblem::kNameCut, "the name", kBadgeNameSize - 1, "cut"},
    {BadgeLineProblem::kName2Cut, "the second name", kBadgeName2Size - 1, "cut"},
};

void LogProblem(const char* fileName, unsigned long lineNumber, BadgeLineProblem problem) {
    for (const ProblemText& text : kProblemTexts) {
        if (text.problem != problem) {
            continue;
        }
        if (text.limit == 0) {
            err(32, "RIRODI: %s line %lu: %s, %s", fileName, lineNumber, text.what, text.action);
        } else {
            err(32, "RIRODI: %s line %lu: %s is longer than %d characters, %s", fileName,
                lineNumber, text.what, static_cast<int>(text.limit), text.action);
        }
    }
}

// The loader's sink: the context is the file's name.
void LogLoadProblem(void* context, unsigned long lineNumber, BadgeLineProblem problem) {
    LogProblem(static_cast<const char*>(context), lineNumber, problem);
}

// A table built aside, to replace the instance's at once.
struct BadgeTableImage {
    BadgeRecord records[kBadgeCount];
    uint16_t keyOrder[kBadgeCount];
};

// The table's lock is the one member a look-up changes; the instance itself is never const.
platform::Lock& BadgeLockOf(const DriverInstance& instance) {
    return const_cast<platform::Lock&>(instance.badgeLock);
}

int32_t LoadedCount(const DriverInstance& instance) {
    return std::clamp(instance.badgeCount, int32_t{0}, int32_t{kBadgeCount});
}

void Install(DriverInstance& instance, const BadgeTableImage& image, int32_t count) {
    const auto filled = static_cast<size_t>(count);
    const platform::LockGuard guard(instance.badgeLock);
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
// characters turned into blanks so that the line stays one line. False when the tag exists but
// cannot be read; a missing tag gives an empty name.
bool TakeName(const DriverInstance& instance, const char* tag, size_t limit, char* name) {
    char text[kLongestTagText + 1] = {};
    if (ReadTagText(instance, tag, text, sizeof text) == TagRead::kFailed) {
        return false;
    }
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
    return true;
}

// The whole database file in memory; empty when there is none.
struct FileImage {
    std::vector<char> bytes;
    bool exists = false;
    bool readable = true;
};

FileImage ReadWholeFile(const char* fileName) {
    FileImage image;
    std::FILE* file = std::fopen(fileName, "rb");
    if (file == nullptr) {
        return image;
    }
    image.exists = true;
    char chunk[4096];
    size_t n = 0;
    while ((n = std::fread(chunk, 1, sizeof chunk, file)) > 0) {
        image.bytes.insert(image.bytes.end(), chunk, chunk + n);
    }
    image.readable = std::ferror(file) == 0;
    std::fclose(file);
    return image;
}

// The first badge line with this badge code: its offset and length (line end not counted).
struct LineSpan {
    size_t start = 0;
    size_t length = 0;
    bool found = false;
};

LineSpan FindBadgeLine(const std::vector<char>& bytes, const char* badgeCode) {
    LineSpan span;
    const size_t codeLength = strnlen(badgeCode, kBadgeCodeSize - 1);
    if (codeLength == 0) {
        return span;
    }
    size_t start = 0;
    while (start < bytes.size()) {
        const auto newline =
            std::find(bytes.begin() + static_cast<std::ptrdiff_t>(start), bytes.end(), '\n');
        const size_t end = static_cast<size_t>(newline - bytes.begin());
        size_t length = end - start;
        if (length > 0 && bytes[start + length - 1] == '\r') {
            --length;
        }
        const char* text = bytes.data() + start;
        if (length <= kLineLimit && IsBadgeLine(text, length)) {
            BadgeRecord record;
            ParseBadgeLine(text, length, record);
            if (std::strncmp(record.badgeCode, badgeCode, codeLength) == 0 &&
                record.badgeCode[codeLength] == '\0') {
                span = {start, length, true};
                return span;
            }
        }
        start = end + 1;
    }
    return span;
}

// Writes the new database beside the old one and puts it in place in one step: the old line
// blotted with "*" (its line end kept), then, for an add-key frame, the new line at the end.
// A failure at any byte leaves the old file as it was.
const char* RewriteDatabase(const char* fileName, const FileImage& image, const LineSpan& blot,
                            const char* newLine, size_t newLength) {
    char tempName[kFileNameSize + 4];
    std::snprintf(tempName, sizeof tempName, "%s.new", fileName);
    std::FILE* file = std::fopen(tempName, "wb");
    if (file == nullptr) {
        return "its new copy cannot be created";
    }
    const std::vector<char>& bytes = image.bytes;
    const auto write = [file](const char* data, size_t count) {
        return platform::WriteToFile(file, data, count);
    };
    bool written = true;
    if (blot.found) {
        const std::string stars(blot.length, '*');
        written =
            write(bytes.data(), blot.start) && write(stars.data(), stars.size()) &&
            write(bytes.data() + blot.start + blot.length, bytes.size() - blot.start - blot.length);
    } else {
        written = write(bytes.data(), bytes.size());
    }
    if (written && newLength > 0) {
        // A last line without its line end gets one first, so that the new line stays a line.
        const char* separator = "";
        if (!bytes.empty() && bytes.back() != '\n') {
            separator = bytes.back() == '\r' ? "\n" : kLineEnd;
        }
        written = write(separator, std::strlen(separator)) && write(newLine, newLength) &&
                  write(kLineEnd, 2);
    }
    written = written && platform::SyncFile(file);
    written = std::fclose(file) == 0 && written;
    if (!written) {
        std::remove(tempName);
        return "its new copy cannot be written";
    }
    if (!platform::PutFileInPlace(tempName, fileName)) {
        std::remove(tempName);
        return "its new copy cannot be put in its place";
    }
    return nullptr;
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

// A line of the download list as DOWNLOAD stages it. A line that is not a badge line stages
// empty values (the list's way to clear them). A badge line must be complete and well formed
// and its names must pass the checks of PBINM and PBIN2, as if the host had staged the values
// itself; a line that does not is logged with its number and not staged.
bool TakeListLine(const char* fileName, const TextLine& line, BadgeRecord& badge) {
    if (line.tooLong) {
        LogProblem(fileName, line.number, BadgeLineProblem::kLineTooLong);
        return false;
    }
    if (!IsBadgeLine(line.text, line.length)) {
        return true;
    }
    if (!IsWellFormedBadgeLine(line.text, line.length)) {
        LogProblem(fileName, line.number, BadgeLineProblem::kMalformed);
        return false;
    }
    const BadgeLineProblems problems = ParseBadgeLine(line.text, line.length, badge);
    // The key number is not staged: the next key query obtains it anew.
    for (const BadgeLineProblem problem :
         {BadgeLineProblem::kDoorMaskTooLong, BadgeLineProblem::kNameCut,
          BadgeLineProblem::kName2Cut}) {
        if ((problems & ProblemBit(problem)) != 0) {
            LogProblem(fileName, line.number, problem);
        }
    }
    if ((problems & ProblemBit(BadgeLineProblem::kDoorMaskTooLong)) != 0) {
        return false;
    }
    if (!IsAcceptableName(badge.name) || !IsAcceptableName(badge.name2)) {
        err(32,
            "RIRODI: %s line %lu: a name holds one of \"%s\" or a control character, not "
            "staged",
            fileName, line.number, kNameSeparators);
        return false;
    }
    return true;
}

// Stages what a badge record gives back to a key write, under the staging lock, then writes its
// names to "PBINM" and "PBIN2" (outside the lock: host calls). 'withCode' stages its badge code
// as well (DOWNLOAD; the modify-key reload keeps the code it looked up).
void StageBadge(DriverInstance& instance, const BadgeRecord& badge, bool withCode) {
    {
        const platform::LockGuard guard(instance.stageLock);
        SetupStage& stage = instance.stage;
        if (withCode) {
            CopyText(stage.currentBadgeCode, badge.badgeCode);
        }
        stage.doorMask = static_cast<uint16_t>(
            hexTextValue(badge.doorMaskHex, strnlen(badge.doorMaskHex, sizeof badge.doorMaskHex)));
        CopyText(stage.dateText, badge.date);
        DecodeTimeZoneText(badge.timeZones, sizeof badge.timeZones, stage.timeZone1,
                           stage.timeZone2);
    }
    PutTagText(instance, kNameTag, badge.name);
    PutTagText(instance, kName2Tag, badge.name2);
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
        summary = BuildBadgeTable(lines, image->records, image->keyOrder, kBadgeCount,
                                  LogLoadProblem, fileName);
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

bool ReadBadgeHolder(const DriverInstance& instance, BadgeHolder& holder) {
    holder = BadgeHolder{};
    return TakeName(instance, kNameTag, kBadgeNameSize - 1, holder.name) &&
           TakeName(instance, kName2Tag, kBadgeName2Size - 1, holder.name2);
}

bool BadgeDbUpdate(DriverInstance& instance, const char* frame, const BadgeUpdate& update) {
    char fileName[kFileNameSize];
    DriverFileName(fileName, kDatabaseStem, instance.instanceNumber);
    char code[kBadgeCodeSize] = {};
    std::memcpy(code, update.badgeCode, strnlen(update.badgeCode, kBadgeCodeSize - 1));
    const auto fail = [&](const char* reason) {
        err(32,
            "RIRODI: the controller took the key frame, but the badge database %s was not "
            "updated for badge %s: %s",
            fileName, code, reason);
        return false;
    };

    // The new line: the frame's text between its LF and its CR, then the two names.
    const size_t frameLength = strnlen(frame, kFrameBufferSize);
    const size_t textLength = frameLength >= 2 ? frameLength - 2 : 0;
    // The file records the badges of controller 0: a key frame addressed to another controller
    // (";>n...") neither adds a line nor blots one.
    if (textLength >= 2 && frame[1] == ';' && frame[2] == '>') {
        return true;
    }
    const size_t nameLength = strnlen(update.holder.name, kBadgeNameSize - 1);
    const size_t name2Length = strnlen(update.holder.name2, kBadgeName2Size - 1);
    const size_t lineLength = textLength + 3 + nameLength + 3 + name2Length;
    if (lineLength > kLineLimit) {
        return fail("the new line would be longer than 199 characters");
    }
    char line[kLineLimit + 1];
    size_t at = 0;
    const auto put = [&line, &at](const char* text, size_t length) {
        std::memcpy(line + at, text, length);
        at += length;
    };
    put(frame + 1, textLength);
    put(" @ ", 3);
    put(update.holder.name, nameLength);
    put(" @ ", 3);
    put(update.holder.name2, name2Length);
    line[at] = '\0';
    const bool append = IsBadgeLine(line, at);

    const FileImage image = ReadWholeFile(fileName);
    if (!image.readable) {
        return fail("it cannot be read");
    }
    const LineSpan blot = FindBadgeLine(image.bytes, code);
    if (!blot.found && !append) {
        return true;  // a delete-key frame for a badge the file does not hold: nothing changes
    }
    if (const char* reason = RewriteDatabase(fileName, image, blot, line, append ? at : 0)) {
        return fail(reason);
    }
    BadgeDbLoad(instance);
    return true;
}

void DownloadNextBadge(DriverInstance& instance) {
    double position = 0.0;
    switch (ReadTagValue(instance, kPositionTag, position)) {
    case TagRead::kRead: break;
    case TagRead::kMissing:
        err(32, "RIRODI: DOWNLOAD needs the tag %s for its list position, nothing staged",
            kPositionTag);
        return;
    case TagRead::kFailed: return;  // logged with the host call
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
        // A line that is not staged leaves nothing of the badge staged before: an add-key write
        // that follows is refused for want of a badge code, rather than add that badge again.
        BadgeRecord badge{};
        if (!TakeListLine(fileName, line, badge)) {
            badge = BadgeRecord{};
        }
        StageBadge(instance, badge, true);
    }
    std::fclose(file);
}

BadgeNames FindBadgeByKey(const DriverInstance& instance, const char* keyNumber) {
    BadgeNames names{};
    const platform::LockGuard guard(BadgeLockOf(instance));
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
    const platform::LockGuard guard(BadgeLockOf(instance));
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

void ReloadBadge(DriverInstance& instance, const char* badgeCode) {
    StageBadge(instance, FindBadgeByCode(instance, badgeCode), false);
}

}  // namespace kiv
