// The setup parameters: every fact about a parameter tag in one row. Parse takes the address
// forms and data types from here, staging the legal values and refusal lines, the read function
// and the command composer the place of the value in the instance's SetupStage.
//
// A parameter's value is a field of a SetupStage member: a 16-bit member, or the byte of one of
// the sixteen locks in a per-lock member, and within it the bits from 'shift' on, 'width' of
// them. Most fields are the whole member; the door-ajar time-out (PDAJT) is bits 5 to 7 of a
// lock's extended byte, whose bits 0 to 4 only PLOCK writes.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>

#include "instance/driver_instance.h"
#include "tags/operation_codes.h"

namespace kiv {

// Which member of SetupStage holds a parameter, and which bits of it.
struct StageField {
    uint16_t SetupStage::*member;                   // a 16-bit member, or nullptr
    uint8_t (SetupStage::*lockMember)[kLockCount];  // a byte per lock, or nullptr
    unsigned shift;
    unsigned width;
};

// The address forms a parameter keyword may take, as bits.
enum AddressForm : unsigned {
    kFormAlone = 1U,           // the keyword alone: PDORS
    kFormWithBit = 2U,         // two digits of a bit of the value: PDORS07
    kFormWithLock = 4U,        // two digits of a lock 01 to 16: PLOCK05
    kFormWithLockAndBit = 8U,  // a lock and one digit of a bit: PLOCK053
};

struct SetupParameter {
    const char* keyword;
    int32_t operation;
    StageField field;
    unsigned forms;      // AddressForm bits
    int32_t aloneType;   // the data type of the keyword alone: ANALOG, or DIGITAL for a flag
    int32_t highestBit;  // the highest bit a bit tag may name; -1 for no bit tags
    uint16_t lowest;     // the legal whole values
    uint16_t highest;
    const char* refusal;  // the refusal line of a value outside them, before ", GAS %s";
                          // nullptr when every value is legal
};

// Every parameter, in operation-code order from kFirstValueOp.
extern const SetupParameter kSetupParameters[kLastValueOp - kFirstValueOp + 1];

// The checks a staged text passes; the write path holds one converter for each.
enum class TextCheck { kTime, kBadgeCode, kDate };

// What a check takes, in words (for tools: the write path refuses a text without a log line).
const char* TextCheckForm(TextCheck check);

// The setup texts, each in a text member of 15 characters.
struct SetupText {
    const char* keyword;
    int32_t operation;
    char (SetupStage::*member)[kStageTextSize];
    TextCheck check;
};

// Every setup text, in operation-code order from kFirstTextOp.
extern const SetupText kSetupTexts[kLastTextOp - kFirstTextOp + 1];

// The row of an operation code; nullptr when it is no setup parameter (or setup text).
const SetupParameter* SetupParameterOf(int32_t operation);
const SetupText* SetupTextOf(int32_t operation);

// The rows whose keyword equals the first five characters of the text (see FindKeyword).
const SetupParameter* FindSetupParameter(const char* text);
const SetupText* FindSetupText(const char* text);

// Whether the lock number names one of the sixteen locks.
constexpr bool IsLockNumber(int32_t lockNumber) {
    return lockNumber >= 1 && lockNumber <= kLockCount;
}

// Whether a tag of the parameter names a lock.
constexpr bool IsPerLock(const SetupParameter& parameter) {
    return parameter.field.lockMember != nullptr;
}

// The value of the parameter's field for the lock (1 to 16; ignored for parameters that are not
// per lock). Empty for a per-lock parameter and a lock number outside 1 to 16.
std::optional<uint16_t> ReadStageField(const SetupStage& stage, const SetupParameter& parameter,
                                       int32_t lockNumber);

// Replaces the field's bits with the value (the caller has checked its range); the other bits
// of the member stay. False, changing nothing, for a per-lock parameter and a bad lock number.
bool WriteStageField(SetupStage& stage, const SetupParameter& parameter, int32_t lockNumber,
                     uint16_t value);

// The staged value of a setup parameter by its operation code, as the command composer reads
// it (the lock number only for per-lock parameters); 0 for a code or lock that names none.
uint16_t StagedNumber(const SetupStage& stage, int32_t operation, int32_t lockNumber = 0);
// The staged text of a setup text by its operation code; an empty text for another code.
const char* StagedText(const SetupStage& stage, int32_t operation);

// The text member of a setup text.
inline char* TextMember(SetupStage& stage, const SetupText& text) {
    return stage.*text.member;
}
inline const char* TextMember(const SetupStage& stage, const SetupText& text) {
    return stage.*text.member;
}

}  // namespace kiv
