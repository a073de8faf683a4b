// Look-up and expansion of command-list entries.
#include "write/command_list_file.h"

#include <climits>
#include <cstdint>
#include <cstring>
#include <optional>
#include <string_view>

#include "instance/driver_instance.h"
#include "kiv/kiv_abi.h"
#include "link/frame_format.h"
#include "qorpro/qorpro.h"
#include "write/text_lines.h"

namespace kiv {

namespace {

// Host request codes of the tag reads: a text, a number.
constexpr int32_t kReadTextRequest = 13;
constexpr int32_t kReadValueRequest = 11;

// An entry line: its number and its command text before expansion.
struct Entry {
    int number = 0;
    std::string_view text;
    bool lineFeed = false;  // the text ran to a line end, which becomes part of it
};

// The blanks that the text-to-integer conversion skips.
bool IsConversionBlank(char c) {
    return c == ' ' || c == '\t' || c == '\n' || c == '\v' || c == '\f' || c == '\r';
}

// The number before the first ",": blanks, an optional sign, at least one digit; the rest up to
// the "," is ignored. None without digits or outside the int range.
std::optional<int> EntryNumber(std::string_view head) {
    size_t i = 0;
    while (i < head.size() && IsConversionBlank(head[i])) {
        ++i;
    }
    bool negative = false;
    if (i < head.size() && (head[i] == '+' || head[i] == '-')) {
        negative = head[i] == '-';
        ++i;
    }
    int64_t magnitude = 0;
    size_t digits = 0;
    for (; i < head.size() && head[i] >= '0' && head[i] <= '9'; ++i, ++digits) {
        magnitude = magnitude * 10 + (head[i] - '0');
        if (magnitude > static_cast<int64_t>(INT_MAX) + 1) {
            return std::nullopt;
        }
    }
    const int64_t value = negative ? -magnitude : magnitude;
    if (digits == 0 || value > INT_MAX) {
        return std::nullopt;
    }
    return static_cast<int>(value);
}

std::optional<Entry> ParseEntry(const TextLine& line) {
    const size_t comma = line.text.find(',');
    if (comma == std::string_view::npos) {
        return std::nullopt;
    }
    const std::optional<int> number = EntryNumber(line.text.substr(0, comma));
    if (!number) {
        return std::nullopt;
    }
    std::string_view rest = line.text.substr(comma + 1);
    const size_t start = rest.find_first_not_of(" \t");
    rest.remove_prefix(start == std::string_view::npos ? rest.size() : start);
    const size_t semicolon = rest.find(';');
    if (semicolon != std::string_view::npos) {
        return Entry{*number, rest.substr(0, semicolon), false};
    }
    return Entry{*number, rest, line.lineFeed};
}

// The expanded text, bounded at 255 characters: what does not fit is noted, never written.
class TextBuilder {
public:
    explicit TextBuilder(char (&text)[kCommandTextSize]) : text_(text) {}

    void Put(char c) {
        if (length_ + 1 >= kCommandTextSize) {
            overflow_ = true;
            return;
        }
        nulByte_ = nulByte_ || c == '\0';
        text_[length_++] = c;
    }
    void Put(std::string_view characters) {
        for (const char c : characters) {
            Put(c);
        }
    }
    // "<" as LF, ">" as CR.
    void PutConverted(std::string_view characters) {
        for (const char c : characters) {
            Put(c == '<' ? kLineFeed : c == '>' ? kCarriageReturn : c);
        }
    }

    bool Overflow() const { return overflow_; }
    bool NulByte() const { return nulByte_; }
    void Finish() { text_[length_] = '\0'; }

private:
    char (&text_)[kCommandTextSize];
    size_t length_ = 0;
    bool overflow_ = false;
    bool nulByte_ = false;
};

// The value of the tag a reference names; empty for a name that holds a NUL byte.
size_t ReferenceValue(std::string_view name, char (&value)[kTagTextSize]) {
    value[0] = '\0';
    char copy[kCommandListLineLimit + 1];
    if (name.size() >= sizeof copy || name.find('\0') != std::string_view::npos) {
        return 0;
    }
    std::memcpy(copy, name.data(), name.size());
    copy[name.size()] = '\0';
    return ReadTagAsText(copy, value);
}

void ExpandEntry(const Entry& entry, TextBuilder& out) {
    std::string_view rest = entry.text;
    while (!rest.empty() && !out.Overflow()) {
        const size_t at = rest.find('@');
        out.PutConverted(rest.substr(0, at));
        if (at == std::string_view::npos) {
            break;
        }
        const size_t dollar = rest.find('$', at + 1);
        if (dollar == std::string_view::npos) {
            // The "@" and the whole rest of the text, its line end included, are dropped.
            return;
        }
        const std::string_view name = rest.substr(at + 1, dollar - at - 1);
        char value[kTagTextSize];
        const size_t length = ReferenceValue(name, value);
        if (length > 0) {
            out.Put(std::string_view(value, length));
        } else {
            out.PutConverted(name);
            out.Put('$');
        }
        rest.remove_prefix(dollar + 1);
    }
    if (entry.lineFeed) {
        out.Put(kLineFeed);
    }
}

// Reads the next line; a line too long is logged and reported as none (kTooLong).
LineRead NextLine(std::FILE* file, char (&buffer)[kCommandListLineLimit + 1], size_t& lineNumber,
                  TextLine& line) {
    const LineRead read = ReadTextLine(file, buffer, kCommandListLineLimit, line);
    if (read == LineRead::kEnd) {
        return read;
    }
    ++lineNumber;
    if (read == LineRead::kTooLong) {
        err(32, "RIRODI: %s line %u is longer than %u characters, skipped", kCommandListFileName,
            static_cast<unsigned>(lineNumber), static_cast<unsigned>(kCommandListLineLimit));
    }
    return read;
}

}  // namespace

CommandListResult CommandListLookup(std::FILE* file, int number, char (&text)[kCommandTextSize]) {
    text[0] = '\0';
    char buffer[kCommandListLineLimit + 1];
    size_t lineNumber = 0;
    TextLine line;

    bool started = false;
    for (size_t read = 0; read < kCommandListMaxLines && !started; ++read) {
        const LineRead result = NextLine(file, buffer, lineNumber, line);
        if (result == LineRead::kEnd) {
            return CommandListResult::kNotFound;
        }
        started = result == LineRead::kLine &&
                  line.text.find(kCommandListStartMarker) != std::string_view::npos;
    }
    if (!started) {
        err(32, "RIRODI: %s has no %s within its first %u lines, entry %d not looked for",
            kCommandListFileName, kCommandListStartMarker,
            static_cast<unsigned>(kCommandListMaxLines), number);
        return CommandListResult::kPastLimit;
    }

    bool atEnd = false;  // the end of the file or the end marker was met
    for (size_t examined = 0; examined < kCommandListMaxLines && !atEnd; ++examined) {
        const LineRead result = NextLine(file, buffer, lineNumber, line);
        if (result == LineRead::kEnd) {
            atEnd = true;
            break;
        }
        if (result == LineRead::kTooLong) {
            continue;
        }
        if (line.text.find(kCommandListEndMarker) != std::string_view::npos) {
            atEnd = true;
            break;
        }
        const std::optional<Entry> entry = ParseEntry(line);
        if (!entry || entry->number != number) {
            continue;
        }
        TextBuilder out(text);
        ExpandEntry(*entry, out);
        if (out.Overflow()) {
            text[0] = '\0';
            err(32,
                "RIRODI: command list entry %d is longer than %u characters after expansion, not "
                "sent",
                number, static_cast<unsigned>(kCommandTextSize - 1));
            return CommandListResult::kRefused;
        }
        if (out.NulByte()) {
            text[0] = '\0';
            err(32, "RIRODI: command list entry %d holds a NUL byte, not sent", number);
            return CommandListResult::kRefused;
        }
        out.Finish();
        return CommandListResult::kFound;
    }
    // A list that ends right at the limit has no lines past it.
    if (!atEnd) {
        const LineRead next = NextLine(file, buffer, lineNumber, line);
        atEnd = next == LineRead::kEnd ||
                (next == LineRead::kLine &&
                 line.text.find(kCommandListEndMarker) != std::string_view::npos);
    }
    if (!atEnd) {
        err(32,
            "RIRODI: %s holds no entry %d within the %u lines after %s; the lines after "
            "them are not read",
            kCommandListFileName, number, static_cast<unsigned>(kCommandListMaxLines),
            kCommandListStartMarker);
        return CommandListResult::kPastLimit;
    }
    return CommandListResult::kNotFound;
}

CommandListResult CommandListLookup(int number, char (&text)[kCommandTextSize]) {
    text[0] = '\0';
    std::FILE* file = std::fopen(kCommandListFileName, "rb");
    if (file == nullptr) {
        return CommandListResult::kNoFile;
    }
    const CommandListResult result = CommandListLookup(file, number, text);
    std::fclose(file);
    return result;
}

size_t ReadTagAsText(const char* name, char (&text)[kTagTextSize]) {
    text[0] = '\0';
    const uint8_t client = processClientId.load();
    int32_t gateId = 0;
    int32_t dataType = 0;
    if (QorGetGateId(client, name, &gateId) != 0 ||
        QorGetGateFormat(client, gateId, &dataType) != 0) {
        return 0;
    }
    int32_t out1 = 0;
    int32_t out2 = 0;
    if (dataType == KIV_TYPE_STRING) {
        // The host copies the whole text it keeps; the area holds the longest a tag can have.
        if (QorGetGateStr(client, kReadTextRequest, gateId, text, &out1, &out2) != 0) {
            text[0] = '\0';
            return 0;
        }
        text[kLongestTagText] = '\0';
        return std::strlen(text);
    }
    double value = 0.0;
    if (QorGetGateVal(client, kReadValueRequest, gateId, &value, &out1, &out2) != 0) {
        return 0;
    }
    // Truncated toward zero; a value that is not a number or lies outside the int range has no
    // such integer (the comparisons are false for NaN).
    if (!(value > static_cast<double>(INT_MIN) - 1.0 &&
          value < static_cast<double>(INT_MAX) + 1.0)) {
        return 0;
    }
    const int written = std::snprintf(text, kTagTextSize, "%d", static_cast<int>(value));
    return written > 0 ? static_cast<size_t>(written) : 0;
}

}  // namespace kiv
