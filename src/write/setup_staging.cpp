// Checks and stores setup values and texts in the instance's SetupStage.
#include "write/setup_staging.h"

#include <cstring>

#include "qorpro/qorpro.h"
#include "tags/gate_value.h"
#include "tags/operation_codes.h"
#include "write/value_converters.h"

namespace kiv {

namespace {

constexpr int32_t kWholeValue = KIV_TYPE_ANALOG;
constexpr int32_t kSingleBit = KIV_TYPE_DIGITAL;

// Writes the refusal line: the fixed text, then the tag's address as an argument.
int32_t Refuse(const char* reason, const char* address) {
    err(32, "%s, GAS %s", reason, address);
    return 1;
}

template <typename Member>
int32_t StoreInRange(Member& member, uint16_t value, uint16_t lowest, uint16_t highest,
                     const char* reason, const char* address) {
    if (value < lowest || value > highest) {
        return Refuse(reason, address);
    }
    member = static_cast<Member>(value);
    return 0;
}

// A bit write sets the bit for 1, clears it for 0 and leaves it for any other value.
template <typename Member>
void WriteBit(Member& member, int32_t bit, uint16_t value) {
    const auto mask = static_cast<Member>(1U << static_cast<unsigned>(bit));
    if (value == 1) {
        member = static_cast<Member>(member | mask);
    } else if (value == 0) {
        member = static_cast<Member>(member & ~mask);
    }
}

// PDORS, PWKDS and PLOCK take a whole value (data type 0) or one bit (6); any other type is
// accepted and ignored.
template <typename Member>
int32_t StoreWholeOrBit(Member& member, const GateAccess& gate, uint16_t value, uint16_t highest,
                        const char* reason, const char* address) {
    if (gate.dataType == kWholeValue) {
        return StoreInRange(member, value, 0, highest, reason, address);
    }
    if (gate.dataType != kSingleBit) {
        return 0;
    }
    const int32_t highestBit = HighestBitOf(gate.operation);
    if (gate.bitNumber < 0 || gate.bitNumber > highestBit) {
        err(32, "RIRODI: legal bit number is 0..%d, GAS %s", static_cast<int>(highestBit), address);
        return 1;
    }
    WriteBit(member, gate.bitNumber, value);
    return 0;
}

int32_t StageLockValue(SetupStage& stage, const GateAccess& gate, uint16_t value,
                       const char* address) {
    if (!IsLockNumber(gate.lockNumber)) {
        return Refuse("RIRODI: legal lock number is 1..16", address);
    }
    const auto lock = static_cast<size_t>(gate.lockNumber - 1);
    uint8_t& extended = stage.extendedLock[lock];
    switch (gate.operation) {
    case kOpPlock:
        return StoreWholeOrBit(extended, gate, value, 255,
                               "RIRODI: legal extended lock setup parameter is 0..255", address);
    case kOpPloud:
        return StoreInRange(stage.unlockDuration[lock], value, 1, 254,
                            "RIRODI: legal unlock duration setup parameter is 1..254", address);
    default: {  // kOpPdajt
        uint8_t doorAjar = 0;
        if (StoreInRange(doorAjar, value, 0, 7,
                         "RIRODI: legal DoorAjarTimeout setup parameter is 0..7", address) != 0) {
            return 1;
        }
        extended = static_cast<uint8_t>((extended & kPlockOwnBits) | (doorAjar << kDoorAjarShift));
        return 0;
    }
    }
}

int32_t StageValue(SetupStage& stage, const GateAccess& gate, const char* address) {
    const uint16_t value = GateNumber(gate);
    constexpr uint16_t kAny = 0xFFFF;
    switch (gate.operation) {
    case kOpPdors: return StoreWholeOrBit(stage.doorMask, gate, value, kAny, "", address);
    case kOpPwkds:
        return StoreWholeOrBit(stage.weekdayMask, gate, value, 2047,
                               "RIRODI: legal weekdays is 0..2047", address);
    case kOpPholt:
        return StoreInRange(stage.holidayType, value, 1, 4, "RIRODI: legal holiday type is 1..4",
                            address);
    case kOpPpsw1:
        return StoreInRange(stage.password1, value, 0, 9999,
                            "RIRODI: legal password number is 0000..9999", address);
    case kOpPpsw2:
        return StoreInRange(stage.password2, value, 0, 9999,
                            "RIRODI: legal password number is 0000..9999", address);
    case kOpPlfrt: stage.lfrtFlag = value; return 0;
    case kOpPdfrm: stage.dfrmFlag = value; return 0;
    case kOpPdmod:
        return StoreInRange(stage.dipMode, value, 1, 7, "RIRODI: legal DIP switches mode is 1..7",
                            address);
    case kOpPpevs: stage.pevsFlag = value; return 0;
    case kOpPtzn1:
        return StoreInRange(stage.timeZone1, value, 1, 8, "RIRODI: legal time zone is 1..8",
                            address);
    case kOpPtzn2:
        return StoreInRange(stage.timeZone2, value, 1, 8, "RIRODI: legal time zone is 1..8",
                            address);
    case kOpPdati:
        return StoreInRange(stage.holidayDateIndex, value, 0, 365,
                            "RIRODI: legal date index is 0..365", address);
    case kOpPlock:
    case kOpPloud:
    case kOpPdajt: return StageLockValue(stage, gate, value, address);
    case kOpPefrm: stage.efrmFlag = value; return 0;
    default: return 1;
    }
}

int32_t StageText(SetupStage& stage, const GateAccess& gate) {
    // The host's area may hold more than 79 characters and need not be terminated.
    char text[kTextValueSize];
    CopyGateText(gate, text);
    char* member = nullptr;
    bool accepted = false;
    switch (gate.operation) {
    case kOpPfrtm:
        member = stage.fromTime;
        accepted = TimeConverter(text);
        break;
    case kOpPtotm:
        member = stage.toTime;
        accepted = TimeConverter(text);
        break;
    case kOpPkcod:
        member = stage.currentBadgeCode;
        accepted = BadgeCodeConverter(text);
        break;
    case kOpPdate:
        member = stage.dateText;
        accepted = DateConverter(text);
        break;
    case kOpPtime:
        member = stage.timeText;
        accepted = TimeConverter(text);
        break;
    default: return 1;
    }
    if (!accepted) {
        return 1;
    }
    std::memset(member, 0, kStageTextSize);
    std::memcpy(member, text, strnlen(text, kStageTextSize - 1));
    return 0;
}

}  // namespace

void ResetSetupStage(SetupStage& stage) {
    std::memset(&stage, 0, sizeof stage);
    stage.dfrmFlag = 1;
    stage.efrmFlag = 1;
    stage.pevsFlag = 1;
    stage.dipMode = 1;
    stage.timeZone1 = 1;
    stage.timeZone2 = 1;
}

bool IsStagedOperation(int32_t operation) {
    return (operation >= kFirstValueOp && operation <= kLastValueOp) ||
           (operation >= kFirstTextOp && operation <= kLastTextOp);
}

int32_t HighestBitOf(int32_t operation) {
    switch (operation) {
    case kOpPdors: return 15;
    case kOpPwkds: return 10;
    case kOpPlock: return 7;
    default: return -1;
    }
}

int32_t StageSetup(SetupStage& stage, const GateAccess& gate, const char* upperAddress) {
    const char* address = upperAddress != nullptr ? upperAddress : "";
    if (gate.operation >= kFirstValueOp && gate.operation <= kLastValueOp) {
        return StageValue(stage, gate, address);
    }
    if (gate.operation >= kFirstTextOp && gate.operation <= kLastTextOp) {
        return StageText(stage, gate);
    }
    return 1;
}

}  // namespace kiv
