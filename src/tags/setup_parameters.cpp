// The table of setup parameters and setup texts, and the access to their fields.
#include "tags/setup_parameters.h"

#include <cstring>
#include <iterator>

#include "tags/address_grammar.h"

namespace kiv {

namespace {

constexpr uint16_t kAnyValue = 0xFFFF;

constexpr StageField Whole(uint16_t SetupStage::*member) {
    return StageField{member, nullptr, 0, 16};
}

constexpr StageField LockBits(uint8_t (SetupStage::*member)[kLockCount], unsigned shift,
                              unsigned width) {
    return StageField{nullptr, member, shift, width};
}

constexpr unsigned kAlone = kFormAlone;
constexpr unsigned kMask = kFormAlone | kFormWithBit;
constexpr unsigned kLock = kFormAlone | kFormWithLock;
constexpr int32_t kNumber = KIV_TYPE_ANALOG;
constexpr int32_t kFlag = KIV_TYPE_DIGITAL;
constexpr int32_t kNoBits = -1;

}  // namespace

// clang-format off
constexpr SetupParameter kSetupParameters[] = {
    {"PDORS", kOpPdors, Whole(&SetupStage::doorMask), kMask, kNumber, 15, 0, kAnyValue, nullptr},
    {"PWKDS", kOpPwkds, Whole(&SetupStage::weekdayMask), kMask, kNumber, 10, 0, 2047,
     "RIRODI: legal weekdays is 0..2047"},
    {"PHOLT", kOpPholt, Whole(&SetupStage::holidayType), kAlone, kNumber, kNoBits, 1, 4,
     "RIRODI: legal holiday type is 1..4"},
    {"PPSW1", kOpPpsw1, Whole(&SetupStage::password1), kAlone, kNumber, kNoBits, 0, 9999,
     "RIRODI: legal password number is 0000..9999"},
    {"PPSW2", kOpPpsw2, Whole(&SetupStage::password2), kAlone, kNumber, kNoBits, 0, 9999,
     "RIRODI: legal password number is 0000..9999"},
    {"PLFRT", kOpPlfrt, Whole(&SetupStage::lfrtFlag), kAlone, kFlag, kNoBits, 0, kAnyValue, nullptr},
    {"PDFRM", kOpPdfrm, Whole(&SetupStage::dfrmFlag), kAlone, kFlag, kNoBits, 0, kAnyValue, nullptr},
    {"PDMOD", kOpPdmod, Whole(&SetupStage::dipMode), kAlone, kNumber, kNoBits, 1, 7,
     "RIRODI: legal DIP switches mode is 1..7"},
    {"PPEVS", kOpPpevs, Whole(&SetupStage::pevsFlag), kAlone, kFlag, kNoBits, 0, kAnyValue, nullptr},
    {"PTZN1", kOpPtzn1, Whole(&SetupStage::timeZone1), kAlone, kNumber, kNoBits, 1, 8,
     "RIRODI: legal time zone is 1..8"},
    {"PTZN2", kOpPtzn2, Whole(&SetupStage::timeZone2), kAlone, kNumber, kNoBits, 1, 8,
     "RIRODI: legal time zone is 1..8"},
    {"PDATI", kOpPdati, Whole(&SetupStage::holidayDateIndex), kAlone, kNumber, kNoBits, 0, 365,
     "RIRODI: legal date index is 0..365"},
    {"PLOCK", kOpPlock, LockBits(&SetupStage::extendedLock, 0, 8),
     kLock | kFormWithLockAndBit, kNumber, 7, 0, 255,
     "RIRODI: legal extended lock setup parameter is 0..255"},
    {"PLOUD", kOpPloud, LockBits(&SetupStage::unlockDuration, 0, 8), kLock, kNumber, kNoBits, 1,
     254, "RIRODI: legal unlock duration setup parameter is 1..254"},
    {"PDAJT", kOpPdajt, LockBits(&SetupStage::extendedLock, 5, 3), kLock, kNumber, kNoBits, 0, 7,
     "RIRODI: legal DoorAjarTimeout setup parameter is 0..7"},
    {"PEFRM", kOpPefrm, Whole(&SetupStage::efrmFlag), kAlone, kFlag, kNoBits, 0, kAnyValue, nullptr},
};

constexpr SetupText kSetupTexts[] = {
    {"PFRTM", kOpPfrtm, &SetupStage::fromTime, TextCheck::kTime},
    {"PTOTM", kOpPtotm, &SetupStage::toTime, TextCheck::kTime},
    {"PKCOD", kOpPkcod, &SetupStage::currentBadgeCode, TextCheck::kBadgeCode},
    {"PDATE", kOpPdate, &SetupStage::dateText, TextCheck::kDate},
    {"PTIME", kOpPtime, &SetupStage::timeText, TextCheck::kTime},
};
// clang-format on

namespace {

// The operation code of a row is its place in the table: Parse derives it from the keyword's
// index, the read and write paths find the row by the code.
template <typename Row, size_t N>
constexpr bool CodesFollowOrder(const Row (&rows)[N], int32_t first) {
    for (size_t i = 0; i < N; ++i) {
        if (rows[i].operation != first + static_cast<int32_t>(i)) {
            return false;
        }
    }
    return true;
}

template <typename Row, size_t N>
const Row* RowOf(const Row (&rows)[N], int32_t first, int32_t operation) {
    if (operation < first || operation >= first + static_cast<int32_t>(N)) {
        return nullptr;
    }
    return &rows[operation - first];
}

template <typename Row, size_t N>
const Row* FindRow(const Row (&rows)[N], const char* text) {
    if (text == nullptr) {
        return nullptr;
    }
    for (const Row& row : rows) {
        if (std::strncmp(text, row.keyword, kKeywordLength) == 0) {
            return &row;
        }
    }
    return nullptr;
}

constexpr uint16_t FieldMask(const StageField& field) {
    return static_cast<uint16_t>(((1U << field.width) - 1U) << field.shift);
}

}  // namespace

static_assert(CodesFollowOrder(kSetupParameters, kFirstValueOp));
static_assert(CodesFollowOrder(kSetupTexts, kFirstTextOp));

const SetupParameter* SetupParameterOf(int32_t operation) {
    return RowOf(kSetupParameters, kFirstValueOp, operation);
}

const SetupText* SetupTextOf(int32_t operation) {
    return RowOf(kSetupTexts, kFirstTextOp, operation);
}

const SetupParameter* FindSetupParameter(const char* text) {
    return FindRow(kSetupParameters, text);
}

const SetupText* FindSetupText(const char* text) {
    return FindRow(kSetupTexts, text);
}

std::optional<uint16_t> ReadStageField(const SetupStage& stage, const SetupParameter& parameter,
                                       int32_t lockNumber) {
    const StageField& field = parameter.field;
    unsigned member = 0;
    if (IsPerLock(parameter)) {
        if (!IsLockNumber(lockNumber)) {
            return std::nullopt;
        }
        member = (stage.*field.lockMember)[lockNumber - 1];
    } else {
        member = stage.*field.member;
    }
    return static_cast<uint16_t>((member & FieldMask(field)) >> field.shift);
}

bool WriteStageField(SetupStage& stage, const SetupParameter& parameter, int32_t lockNumber,
                     uint16_t value) {
    const StageField& field = parameter.field;
    const unsigned mask = FieldMask(field);
    const unsigned bits = (static_cast<unsigned>(value) << field.shift) & mask;
    if (IsPerLock(parameter)) {
        if (!IsLockNumber(lockNumber)) {
            return false;
        }
        uint8_t& member = (stage.*field.lockMember)[lockNumber - 1];
        member = static_cast<uint8_t>((member & ~mask) | bits);
    } else {
        uint16_t& member = stage.*field.member;
        member = static_cast<uint16_t>((member & ~mask) | bits);
    }
    return true;
}

uint16_t StagedNumber(const SetupStage& stage, int32_t operation, int32_t lockNumber) {
    const SetupParameter* parameter = SetupParameterOf(operation);
    return parameter != nullptr ? ReadStageField(stage, *parameter, lockNumber).value_or(0) : 0;
}

const char* StagedText(const SetupStage& stage, int32_t operation) {
    const SetupText* text = SetupTextOf(operation);
    return text != nullptr ? TextMember(stage, *text) : "";
}

}  // namespace kiv
