// Parse (function 3): checks a tag's address (its GAS) against the grammar and the tag's data
// type against the address, and stores the five driver words that reads and writes dispatch on.
//
// The rules are tried in a fixed order and the first that applies decides: named tags, then
// controller tags, reader and door tags (these three are case-sensitive and never confirmed in
// the log), the length limit, then, on the upper-cased text, command, parameter, string
// parameter and INPUT tags. Every refusal writes one line at level 32 and returns 1; a keyword
// tag that is accepted writes one line at level 8.
//
// Long addresses: Parse works on a copy of at most 39 characters. The grammar never looks past
// the eighth character (except for white space before a reader or door number; the named tags
// are shorter than 39), so a longer address is judged by its first 39 characters; every address
// of 9 characters or more that is not a named, controller or reader/door tag is refused by the
// length rule anyway. A refusal line shows those 39 characters followed by "..." so that the
// reader sees that the address went on; the line stays bounded however long the host's text
// is. At most 40 characters of the host's text are read.
#include <cstring>

#include "link/frame_format.h"
#include "qorpro/qorpro.h"
#include "tags/address_grammar.h"
#include "tags/operation_codes.h"
#include "tags/parse.h"
#include "tags/setup_parameters.h"

namespace kiv {

namespace {

// Why an address is refused; each reason has its own log line.
enum class Rejection {
    kControllerTagNumber,
    kReaderNumber,
    kDoorNumber,
    kTooLong,
    kPlcNumber,
    kOptionLetter,
    kIllegalGas,
    kBitNumber,  // the highest legal bit goes with it
    kLockNumber,
    kNotAnalog,
    kNotDigital,
    kNotString,
    kInputLength,
    kIllegalChars,
};

struct DriverWords {
    int32_t controller = 0;
    int32_t operation = 0;
    int32_t lockNumber = 0;
    int32_t bitNumber = -1;
    int32_t bitWidth = 16;
};

// What the grammar says of one address.
struct Verdict {
    bool accepted = false;
    bool confirmed = false;  // accepted as a keyword tag: the success line is written
    Rejection rejection = Rejection::kIllegalChars;
    int32_t highestBit = 0;  // of a kBitNumber rejection
    DriverWords words;
};

Verdict AcceptByName() {
    return Verdict{true, false, Rejection::kIllegalChars, 0, DriverWords{}};
}

Verdict AcceptKeywordTag(const DriverWords& words) {
    return Verdict{true, true, Rejection::kIllegalChars, 0, words};
}

Verdict Reject(Rejection rejection) {
    return Verdict{false, false, rejection, 0, DriverWords{}};
}

Verdict RejectBitNumber(int32_t highestBit) {
    return Verdict{false, false, Rejection::kBitNumber, highestBit, DriverWords{}};
}

using WorkingCopy = AddressCopy;

// The address is always an argument, never part of the format.
void LogRejection(const Verdict& verdict, const char* gas) {
    switch (verdict.rejection) {
    case Rejection::kControllerTagNumber:
        err(32, "ZEZ: illegal controlerNumber number (0..7) in GAS %s", gas);
        break;
    case Rejection::kReaderNumber:
        err(32, "ZEZ: illegal reader number (0..15) in GAS %s", gas);
        break;
    case Rejection::kDoorNumber: err(32, "ZEZ: illegal door number (0..15) in GAS %s", gas); break;
    case Rejection::kTooLong: err(32, "ZEZ: illegal GAS %s (max length 7 chars)", gas); break;
    case Rejection::kPlcNumber: err(32, "ZEZ: illegal plc number (0..7) in GAS %s", gas); break;
    case Rejection::kOptionLetter: err(32, "ZEZ: illegal optional parameter in GAS %s", gas); break;
    case Rejection::kIllegalGas: err(32, "ZEZ: illegal GAS %s", gas); break;
    case Rejection::kBitNumber:
        err(32, "ZEZ: illegal bit number (0..%d) in GAS %s", static_cast<int>(verdict.highestBit),
            gas);
        break;
    case Rejection::kLockNumber: err(32, "ZEZ: illegal lock number (1..16) in GAS %s", gas); break;
    case Rejection::kNotAnalog:
        err(32, "ZEZ: tag type has to be ANALOG (unsigned16) in GAS %s", gas);
        break;
    case Rejection::kNotDigital: err(32, "ZEZ: tag type has to be DIGITAL in GAS %s", gas); break;
    case Rejection::kNotString: err(32, "ZEZ: tag type has to be STRING in GAS %s", gas); break;
    case Rejection::kInputLength: err(32, "ZEZ: length of tag GAS %s must be 5 chars", gas); break;
    case Rejection::kIllegalChars: err(32, "ZEZ: illegal chars in GAS %s", gas); break;
    }
}

bool IsDigit(char c) {
    return c >= '0' && c <= '9';
}

int DigitValue(char c) {
    return c - '0';
}

bool BeginsWith(const char* text, const char* keyword) {
    return std::strncmp(text, keyword, std::strlen(keyword)) == 0;
}

template <size_t N>
bool BeginsWithAny(const char* text, const char* const (&keywords)[N]) {
    for (const char* keyword : keywords) {
        if (BeginsWith(text, keyword)) {
            return true;
        }
    }
    return false;
}

template <size_t N>
bool EqualsAny(const char* text, const char* const (&names)[N]) {
    for (const char* name : names) {
        if (std::strcmp(text, name) == 0) {
            return true;
        }
    }
    return false;
}

bool IsOptionLetter(char c) {
    // Bounded to the letters: the terminator of the letter table is no option.
    return c != '\0' && std::strchr(kFsparOptionLetters, c) != nullptr;
}

constexpr int32_t kHighestController = 7;
constexpr size_t kCommandTagLength = 1 + kKeywordLength;
constexpr size_t kFsparWithOptionLength = kCommandTagLength + 1;
constexpr int kNumberFieldWidth = 2;

// Step 7: a controller digit and a command keyword, FSPAR with an optional option letter.
Verdict JudgeCommandTag(const WorkingCopy& gas, int32_t dataType) {
    const int32_t controller = DigitValue(gas.text[0]);
    if (controller > kHighestController) {
        return Reject(Rejection::kPlcNumber);
    }
    size_t index = 0;
    if (!FindKeyword(gas.text + 1, kCommandKeywords, &index)) {
        return Reject(Rejection::kIllegalChars);
    }
    const auto operation = static_cast<int32_t>(kFirstCommandOp + index);
    if (gas.length > kCommandTagLength) {
        if (gas.length != kFsparWithOptionLength || operation != kOpFspar) {
            return Reject(Rejection::kIllegalGas);
        }
        if (!IsOptionLetter(gas.text[kCommandTagLength])) {
            return Reject(Rejection::kOptionLetter);
        }
    }
    if (dataType != KIV_TYPE_ANALOG) {
        return Reject(Rejection::kNotAnalog);
    }
    DriverWords words;
    words.controller = controller;
    words.operation = operation;
    return AcceptKeywordTag(words);
}

// A bit tag of a parameter: the number first, the data type last.
Verdict JudgeBitTag(DriverWords words, const SetupParameter& parameter, int bit, int32_t dataType) {
    if (bit > parameter.highestBit) {
        return RejectBitNumber(parameter.highestBit);
    }
    if (dataType != KIV_TYPE_DIGITAL) {
        return Reject(Rejection::kNotDigital);
    }
    words.bitNumber = bit;
    words.bitWidth = 1;
    return AcceptKeywordTag(words);
}

// A parameter keyword alone, or with a bit, a lock, or a lock and a bit, as its row allows.
Verdict JudgeParameterTag(const WorkingCopy& gas, const SetupParameter& parameter,
                          int32_t dataType) {
    DriverWords words;
    words.controller = kParameterController;
    words.operation = parameter.operation;
    const char* text = gas.text;

    if (gas.length == kKeywordLength) {
        if (dataType != parameter.aloneType) {
            return Reject(parameter.aloneType == KIV_TYPE_DIGITAL ? Rejection::kNotDigital
                                                                  : Rejection::kNotAnalog);
        }
        if (parameter.aloneType == KIV_TYPE_DIGITAL) {
            words.bitWidth = 1;
        }
        return AcceptKeywordTag(words);
    }
    if (gas.length == kKeywordLength + 1) {
        return Reject(Rejection::kIllegalGas);
    }
    // Seven or eight characters: digits only after the keyword.
    for (size_t i = kKeywordLength; i < gas.length; ++i) {
        if (!IsDigit(text[i])) {
            return Reject(Rejection::kIllegalGas);
        }
    }
    const int number = DigitValue(text[5]) * 10 + DigitValue(text[6]);
    if (gas.length == kKeywordLength + 2) {
        if ((parameter.forms & kFormWithBit) != 0) {
            return JudgeBitTag(words, parameter, number, dataType);
        }
        if ((parameter.forms & kFormWithLock) == 0) {
            return Reject(Rejection::kIllegalGas);
        }
        if (!IsLockNumber(number)) {
            return Reject(Rejection::kLockNumber);
        }
        if (dataType != KIV_TYPE_ANALOG) {
            return Reject(Rejection::kNotAnalog);
        }
        words.lockNumber = number;
        return AcceptKeywordTag(words);
    }
    // Eight characters: a lock and a bit of its byte.
    if ((parameter.forms & kFormWithLockAndBit) == 0) {
        return Reject(Rejection::kIllegalGas);
    }
    if (!IsLockNumber(number)) {
        return Reject(Rejection::kLockNumber);
    }
    words.lockNumber = number;
    return JudgeBitTag(words, parameter, DigitValue(text[7]), dataType);
}

// Steps 2 to 11; upper-cases the working copy at step 6.
Verdict JudgeAddress(WorkingCopy& gas, int32_t dataType) {
    char* text = gas.text;
    // Named tags: the whole text, in capitals. All are far shorter than a cut copy.
    if (!gas.cut && EqualsAny(text, kNamedTags)) {
        return AcceptByName();
    }
    // Controller tags: the keyword from the second character on, whatever follows it. The
    // copy is zero-filled, so its second character exists even for the empty text.
    if (BeginsWithAny(text + 1, kControllerTagKeywords)) {
        return text[0] >= '0' && text[0] <= '0' + kHighestController
                   ? AcceptByName()
                   : Reject(Rejection::kControllerTagNumber);
    }
    // Reader and door tags: the keyword and a number field of two characters.
    for (size_t i = 0; i < std::size(kReaderDoorKeywords); ++i) {
        if (BeginsWith(text, kReaderDoorKeywords[i])) {
            int number = -1;
            if (ReadDecimalField(text + kKeywordLength, kNumberFieldWidth, &number) &&
                number >= 0 && number <= kLastReaderDoorNumber) {
                return AcceptByName();
            }
            return Reject(i == kReaderKeywordIndex ? Rejection::kReaderNumber
                                                   : Rejection::kDoorNumber);
        }
    }
    if (gas.cut || gas.length > kMaxKeywordGasLength) {
        return Reject(Rejection::kTooLong);
    }
    // From here on the keyword families ignore case.
    for (size_t i = 0; i < gas.length; ++i) {
        text[i] = static_cast<char>(UpperCaseChar(static_cast<unsigned char>(text[i])));
    }
    if (IsDigit(text[0])) {
        return JudgeCommandTag(gas, dataType);
    }
    if (const SetupParameter* parameter = FindSetupParameter(text)) {
        return JudgeParameterTag(gas, *parameter, dataType);
    }
    if (const SetupText* setupText = FindSetupText(text)) {
        // Up to three characters after the keyword are accepted and ignored.
        if (dataType != KIV_TYPE_STRING) {
            return Reject(Rejection::kNotString);
        }
        DriverWords words;
        words.controller = kParameterController;
        words.operation = setupText->operation;
        return AcceptKeywordTag(words);
    }
    if (FindKeyword(text, kInputKeyword, nullptr)) {
        if (gas.length != kKeywordLength) {
            return Reject(Rejection::kInputLength);
        }
        if (dataType != KIV_TYPE_STRING) {
            return Reject(Rejection::kNotString);
        }
        DriverWords words;
        words.controller = kParameterController;
        words.operation = kOpInput;
        return AcceptKeywordTag(words);
    }
    return Reject(Rejection::kIllegalChars);
}

void StoreWords(GateDescriptor& gate, const DriverWords& words) {
    gate.controller = words.controller;
    gate.operation = words.operation;
    gate.lockNumber = words.lockNumber;
    gate.bitNumber = words.bitNumber;
    gate.bitWidth = words.bitWidth;
}

}  // namespace

int32_t Parse(KivRequest* request) {
    auto* gate = static_cast<GateDescriptor*>(request->argument);
    if (gate == nullptr) {
        return KIV_FAILED;  // no tag record to check or to write the words into
    }
    StoreWords(*gate, DriverWords{});
    WorkingCopy gas = CopyAddress(gate->address);
    const WorkingCopy asGiven = gas;
    const Verdict verdict = JudgeAddress(gas, gate->dataType);
    if (!verdict.accepted) {
        // A refused tag keeps the default words, whichever check failed.
        LogRejection(verdict, Shown(gas).text);
        return KIV_REJECTED;
    }
    StoreWords(*gate, verdict.words);
    if (verdict.confirmed) {
        err(8, "RIRODI: GAS %s pass the Parse function.", asGiven.text);
    }
    return KIV_OK;
}

}  // namespace kiv
