// Command frames, day letters, the key-answer check and the key record.
#include "tags/command_composer.h"

#include <cstdio>
#include <cstring>

#include "instance/host_tags.h"
#include "link/frame_format.h"
#include "platform/sync.h"
#include "qorpro/qorpro.h"
#include "tags/gate_value.h"
#include "tags/operation_codes.h"
#include "tags/setup_parameters.h"
#include "tags/time_zone_text.h"

namespace kiv {

namespace {

// FSPAR's option letter is the seventh character of the address.
constexpr size_t kOptionLetterPosition = 6;
constexpr size_t kTimeFieldWidth = 8;   // fromTime and toTime in the time-zone command
constexpr size_t kDateFieldWidth = 8;   // dateText in FSPAR D
constexpr size_t kClockFieldWidth = 5;  // timeText in FSPAR D
constexpr size_t kBadgeCodeWidth = 10;
constexpr char kDayLetterSource[] = "MTWTFSS1234";
// The read of PWKDS for the day letters uses this request code.
constexpr int32_t kDayLetterReadRequest = 12;

// A frame's text, appended piece by piece and never past the place that FinishFrame needs for
// the closing ";", the four checksum digits, the CR and the terminator.
class FrameText {
public:
    FrameText(char (&frame)[kFrameBufferSize], int32_t controller) : frame_(frame) {
        std::memset(frame_, 0, kFrameBufferSize);
        Append("\n;");
        if (controller != 0) {
            AppendChar('>');
            AppendDecimal(controller);
        }
    }

    // At most 'count' characters of 'text', stopping at a NUL.
    void Append(const char* text, size_t count) {
        const size_t room = kTextLimit - length_;
        const size_t n = strnlen(text, count < room ? count : room);
        std::memcpy(frame_ + length_, text, n);
        length_ += n;
    }
    void Append(const char* text) { Append(text, kTextLimit); }
    void AppendChar(char c) { Append(&c, 1); }
    // The 'count' characters that a formatting call wrote (none when it failed).
    void AppendDigits(const char* digits, int count) {
        if (count > 0) {
            Append(digits, static_cast<size_t>(count));
        }
    }

    void AppendDecimal(int value) {
        char digits[16];
        AppendDigits(digits, std::snprintf(digits, sizeof digits, "%d", value));
    }
    // Two upper-case hexadecimal digits.
    void AppendHexByte(uint8_t value) {
        char digits[4];
        AppendDigits(digits,
                     std::snprintf(digits, sizeof digits, "%02X", static_cast<unsigned>(value)));
    }
    // Hexadecimal without leading zeros, in lower case (upper-cased with the frame).
    void AppendHex(unsigned value) {
        char digits[16];
        AppendDigits(digits, std::snprintf(digits, sizeof digits, "%x", value));
    }
    // Decimal, right-aligned in four places, padded with blanks.
    void AppendRightAligned4(unsigned value) {
        char digits[16];
        AppendDigits(digits, std::snprintf(digits, sizeof digits, "%4u", value));
    }

    uint16_t Finish() { return static_cast<uint16_t>(FinishFrame(frame_, kFrameCapacity)); }

private:
    // LF ";" and the text; then ";", four digits, CR and NUL must still fit in kFrameCapacity.
    static constexpr size_t kTextLimit = kFrameCapacity - 7;

    char* frame_;
    size_t length_ = 0;
};

// The letter of a 0-or-1 flag; any other value leaves the place empty.
void AppendFlag(FrameText& text, uint16_t flag, char forOne, char forZero) {
    if (flag == 1) {
        text.AppendChar(forOne);
    } else if (flag == 0) {
        text.AppendChar(forZero);
    }
}

bool FillsField(const char* member, size_t width) {
    return strnlen(member, width) == width;
}

// The mended check of the fixed fields: a staged text shorter than its field would cut the
// frame at its NUL. Returns false after logging what is missing.
bool StagedFieldsComplete(const SetupStage& stage, int32_t operation, char option,
                          const char* address) {
    if (operation == kOpFsttz) {
        if (!FillsField(StagedText(stage, kOpPfrtm), kTimeFieldWidth)) {
            err(32, "RIRODI: from time PFRTM has to be 8 characters, GAS %s", address);
            return false;
        }
        if (!FillsField(StagedText(stage, kOpPtotm), kTimeFieldWidth)) {
            err(32, "RIRODI: to time PTOTM has to be 8 characters, GAS %s", address);
            return false;
        }
    }
    if (operation == kOpFspar && option == 'D') {
        if (!FillsField(StagedText(stage, kOpPdate), kDateFieldWidth)) {
            err(32, "RIRODI: date PDATE has to be 8 characters, GAS %s", address);
            return false;
        }
        if (!FillsField(StagedText(stage, kOpPtime), kClockFieldWidth)) {
            err(32, "RIRODI: time PTIME has to be at least 5 characters, GAS %s", address);
            return false;
        }
    }
    return true;
}

void AppendKeyQuery(FrameText& text, const SetupStage& stage) {
    text.Append("K ");
    text.Append(StagedText(stage, kOpPkcod), kBadgeCodeWidth);
}

void AppendTimeZone(FrameText& text, const SetupStage& stage, const DriverInstance& instance) {
    text.Append("T ");
    text.AppendDecimal(static_cast<int>(StagedNumber(stage, kOpPtzn1)) - 1);
    text.AppendChar(',');
    text.Append(StagedText(stage, kOpPfrtm), kTimeFieldWidth);
    text.AppendChar(',');
    text.Append(StagedText(stage, kOpPtotm), kTimeFieldWidth);
    text.AppendChar(',');
    char letters[kDayLetterCount];
    DayLetters(letters, instance);
    text.Append(letters, kDayLetterCount);
}

// The part of FSPAR after "S " for the option letter; none for a letter without a part.
void AppendParameterPart(FrameText& text, const SetupStage& stage, char option) {
    switch (option) {
    case 'L':
        text.AppendChar('L');
        for (int32_t lock = 1; lock <= kLockCount; ++lock) {
            text.AppendChar(',');
            text.AppendDecimal(StagedNumber(stage, kOpPloud, lock));
        }
        break;
    case 'X':
        text.AppendChar('X');
        for (int32_t lock = 1; lock <= kLockCount; ++lock) {
            text.AppendChar(',');
            text.AppendHexByte(static_cast<uint8_t>(StagedNumber(stage, kOpPlock, lock)));
        }
        break;
    case 'F':
        text.Append("F,");
        AppendFlag(text, StagedNumber(stage, kOpPdfrm), 'E', 'A');
        break;
    case 'D':
        text.Append("D,");
        text.Append(StagedText(stage, kOpPdate), kDateFieldWidth);
        text.AppendChar(',');
        text.Append(StagedText(stage, kOpPtime), kClockFieldWidth);
        break;
    case 'P':
        text.Append("P,");
        text.AppendRightAligned4(StagedNumber(stage, kOpPpsw1));
        text.AppendChar(',');
        text.AppendRightAligned4(StagedNumber(stage, kOpPpsw2));
        break;
    case 'V':
        text.Append("V,");
        AppendFlag(text, StagedNumber(stage, kOpPefrm), 'Y', 'N');
        break;
    case 'N':
        text.Append("N,");
        AppendFlag(text, StagedNumber(stage, kOpPlfrt), '2', '1');
        break;
    case 'U': text.AppendChar('U'); break;
    case 'M':
        text.Append("M,");
        text.AppendDecimal(StagedNumber(stage, kOpPdmod));
        break;
    case 'O':
        text.Append("O,");
        AppendFlag(text, StagedNumber(stage, kOpPpevs), 'Y', 'N');
        break;
    default:
        // No letter (a six-character FSPAR address), S (which starts the download instead of
        // reaching here) or any other character: the body is "S " alone.
        break;
    }
}

// The fixed bodies of the commands that take no staged value.
const char* FixedBody(int32_t operation) {
    switch (operation) {
    case kOpFrths: return "C ";
    case kOpFsahs: return "Y ";
    case kOpFster: return "R ";
    case kOpFpprn: return "U ";
    case kOpFsndd: return "N ";
    case kOpFaprn: return "B ";
    case kOpFerdb: return "E ";
    case kOpFstat: return "S Q";
    default: return "";
    }
}

// At most nine digits up to one of the stop characters; false for another character, the end of
// the text or a longer number. On success 'end' is the position of the stop character.
bool ReadKeyNumber(const char* answer, size_t length, size_t start, const char* stops, size_t& end,
                   char (&number)[kKeyAnswerTextSize]) {
    size_t position = start;
    while (position < length && std::strchr(stops, answer[position]) == nullptr) {
        const char c = answer[position];
        if (c < '0' || c > '9' || position - start >= kKeyNumberDigits) {
            return false;
        }
        ++position;
    }
    if (position >= length) {
        return false;
    }
    std::memset(number, 0, sizeof number);
    std::memcpy(number, answer + start, position - start);
    end = position;
    return true;
}

// The checksum of an answer: CRC-16/XMODEM from the first ";" through the ";" before the four
// digits that follow it, compared with those digits.
bool ChecksumMatches(const char* answer, size_t length) {
    // LF, ";", four digits and CR at least; so the count below is never negative.
    constexpr size_t kTrailer = 6;
    if (length < kTrailer) {
        return false;
    }
    // All four digits must be hexadecimal.
    unsigned written = 0;
    if (ReadHexField(answer + length - 5, 4, written) != 4) {
        return false;
    }
    return Crc16(answer + 1, length - kTrailer) == written;
}

// FSPAR U: marks the upload as running, unless one runs already. An upload that has shown no
// sign of life for uploadStallMs is given up (its controller stopped sending), so that it cannot
// refuse every later upload until the next cold start.
bool ClaimUpload(DriverInstance& instance) {
    const uint64_t now = platform::MonotonicMs();
    if (instance.uploadSetupRunning.load() == 1) {
        const uint64_t silentMs = now - instance.uploadAliveAt.load();
        if (silentMs < instance.timings.uploadStallMs) {
            err(32, "RIRODI: UploadSetup has already run and not finished yet!");
            return false;
        }
        err(32,
            "RIRODI: the setup upload begun earlier sent nothing for %u s and is given up; a "
            "new one begins",
            static_cast<unsigned>(silentMs / 1000));
    }
    instance.uploadAliveAt = now;
    instance.uploadSetupRunning = 1;
    return true;
}

}  // namespace

BuildResult BuildCommand(KivRequest& request, const SetupStage& stage,
                         char (&frame)[kFrameBufferSize], CommandFrame& built) {
    const auto* gate = static_cast<const GateAccess*>(request.argument);
    if (gate == nullptr || request.instance == nullptr) {
        return BuildResult::kRefused;
    }
    DriverInstance& instance = InstanceOf(request);
    if (GateNumber(*gate) != 1) {
        err(32, "RIRODI: write value for operation tags has to be 1, GAS %s",
            gate->address != nullptr ? gate->address : "");
        return BuildResult::kRefused;
    }
    char address[kAddressCopySize];
    CopyUpperCaseAddress(gate->address, address);
    const char option = address[kOptionLetterPosition];
    const int32_t operation = gate->operation;
    if (!StagedFieldsComplete(stage, operation, option, address)) {
        return BuildResult::kRefused;
    }
    if (operation == kOpFspar && option == 'U' && !ClaimUpload(instance)) {
        return BuildResult::kRefused;
    }

    FrameText text(frame, gate->controller);
    built.answerMode = kAnswerAck;
    built.expectedAnswer = 0;
    switch (operation) {
    case kOpFaddk:
    case kOpFdelk:
    case kOpFmodk:
        AppendKeyQuery(text, stage);
        built.answerMode = kAnswerData;
        built.expectedAnswer = kKeyAnswerLetter;
        break;
    case kOpFsttz: AppendTimeZone(text, stage, instance); break;
    case kOpFshol:
        text.Append("H ");
        text.AppendDecimal(StagedNumber(stage, kOpPdati));
        text.AppendChar(',');
        text.AppendDecimal(StagedNumber(stage, kOpPholt));
        break;
    case kOpFspar:
        text.Append("S ");
        AppendParameterPart(text, stage, option);
        break;
    default: text.Append(FixedBody(operation)); break;
    }
    built.length = text.Finish();
    return BuildResult::kBuilt;
}

void DayLetters(char (&letters)[kDayLetterCount], const DriverInstance& instance) {
    double value = 0.0;
    GetTagValue(instance, "PWKDS", value, kDayLetterReadRequest, processClientId.load());
    // Truncated to an integer; a value outside the 32-bit range (or not a number) counts as 0
    // rather than being converted with an undefined result.
    uint32_t bits = 0;
    if (value > -2147483649.0 && value < 2147483648.0) {
        bits = static_cast<uint32_t>(static_cast<int32_t>(value));
    }
    for (size_t n = 0; n < kDayLetterCount; ++n) {
        letters[n] = (bits >> n & 1U) != 0 ? kDayLetterSource[n] : '-';
    }
}

KeyAnswerCheck CheckKeyAnswer(KivRequest& request, const char* answer, size_t /*length*/) {
    if (answer == nullptr || request.instance == nullptr) {
        return KeyAnswerCheck::kRejected;
    }
    DriverInstance& instance = InstanceOf(request);
    // An answer is at most a frame buffer's worth; one that is not terminated within it is not
    // an answer.
    const size_t length = strnlen(answer, kFrameBufferSize);
    if (length == kFrameBufferSize || !ChecksumMatches(answer, length)) {
        return KeyAnswerCheck::kRejected;
    }
    if (instance.expectedAnswer != kKeyAnswerLetter) {
        return KeyAnswerCheck::kAccepted;
    }
    if (std::strncmp(answer, "\n;L ", 4) != 0) {
        return KeyAnswerCheck::kRejected;
    }
    char first[kKeyAnswerTextSize];
    char second[kKeyAnswerTextSize];
    size_t comma = 0;
    size_t end = 0;
    if (!ReadKeyNumber(answer, length, 4, ",", comma, first) ||
        !ReadKeyNumber(answer, length, comma + 1, ",;", end, second)) {
        return KeyAnswerCheck::kRejected;
    }
    std::memcpy(instance.keyAnswerNumber1, first, sizeof first);
    std::memcpy(instance.keyAnswerNumber2, second, sizeof second);
    return KeyAnswerCheck::kAccepted;
}

uint16_t BuildKeyRecord(KivRequest& request, const SetupStage& stage,
                        char (&frame)[kFrameBufferSize]) {
    const auto* gate = static_cast<const GateAccess*>(request.argument);
    const DriverInstance& instance = InstanceOf(request);
    FrameText text(frame, gate->controller);
    if (gate->operation == kOpFdelk || gate->operation == kOpFaddk) {
        text.Append(gate->operation == kOpFdelk ? "D " : "A ");
        text.Append(instance.keyAnswerNumber1, kKeyAnswerTextSize - 1);
        text.AppendChar(',');
        text.Append(instance.keyAnswerNumber2, kKeyAnswerTextSize - 1);
    }
    if (gate->operation == kOpFaddk) {
        text.AppendChar(',');
        text.Append(StagedText(stage, kOpPkcod), kBadgeCodeWidth);
        text.AppendChar(',');
        text.AppendHex(StagedNumber(stage, kOpPdors));
        text.AppendChar(',');
        text.Append(StagedText(stage, kOpPdate), kStageTextSize - 1);
        text.AppendChar(',');
        text.AppendDecimal(
            CombinedTimeZoneNumber(StagedNumber(stage, kOpPtzn1), StagedNumber(stage, kOpPtzn2)));
    }
    return text.Finish();
}

}  // namespace kiv
