// Function 5: the value of a setup tag, a setup-text tag or INPUT, from the instance's memory.
// Every other tag has no value here (the receiver writes those into the host itself) and is
// answered with 1, its value area untouched. The read takes no lock and logs nothing.
#include <cstring>

#include "host/kiv_functions.h"
#include "instance/driver_instance.h"
#include "tags/gate_value.h"
#include "tags/operation_codes.h"
#include "write/setup_staging.h"

namespace kiv {

namespace {

constexpr int32_t kValueGiven = 0;
constexpr int32_t kNoValue = 1;

// PDORS, PWKDS and PLOCK: the whole member for data type 0, one bit of it for 6, nothing for any
// other type. A bit number outside the member names no value.
int32_t GiveWholeOrBit(const GateAccess& gate, uint16_t member) {
    if (gate.dataType == KIV_TYPE_ANALOG) {
        SetGateNumber(gate, member);
    } else if (gate.dataType == KIV_TYPE_DIGITAL) {
        if (gate.bitNumber < 0 || gate.bitNumber > HighestBitOf(gate.operation)) {
            return kNoValue;
        }
        SetGateNumber(gate, static_cast<uint16_t>(member >> gate.bitNumber & 1U));
    }
    return kValueGiven;
}

int32_t GiveValue(const SetupStage& stage, const GateAccess& gate) {
    const int32_t operation = gate.operation;
    const bool perLock = operation == kOpPlock || operation == kOpPloud || operation == kOpPdajt;
    // A lock tag without a lock number (or with one beyond the sixteen locks) has no value.
    if (perLock && !IsLockNumber(gate.lockNumber)) {
        return kNoValue;
    }
    const size_t lock = perLock ? static_cast<size_t>(gate.lockNumber - 1) : 0;
    uint16_t value = 0;
    switch (operation) {
    case kOpPdors: return GiveWholeOrBit(gate, stage.doorMask);
    case kOpPwkds: return GiveWholeOrBit(gate, stage.weekdayMask);
    case kOpPlock: return GiveWholeOrBit(gate, stage.extendedLock[lock]);
    case kOpPholt: value = stage.holidayType; break;
    case kOpPpsw1: value = stage.password1; break;
    case kOpPpsw2: value = stage.password2; break;
    case kOpPlfrt: value = stage.lfrtFlag; break;
    case kOpPdfrm: value = stage.dfrmFlag; break;
    case kOpPdmod: value = stage.dipMode; break;
    case kOpPpevs: value = stage.pevsFlag; break;
    case kOpPtzn1: value = stage.timeZone1; break;
    case kOpPtzn2: value = stage.timeZone2; break;
    case kOpPdati: value = stage.holidayDateIndex; break;
    case kOpPloud: value = stage.unlockDuration[lock]; break;
    case kOpPdajt: value = static_cast<uint16_t>(stage.extendedLock[lock] >> kDoorAjarShift); break;
    case kOpPefrm: value = stage.efrmFlag; break;
    default: return kNoValue;
    }
    SetGateNumber(gate, value);
    return kValueGiven;
}

const char* StagedText(const SetupStage& stage, int32_t operation) {
    switch (operation) {
    case kOpPfrtm: return stage.fromTime;
    case kOpPtotm: return stage.toTime;
    case kOpPkcod: return stage.currentBadgeCode;
    case kOpPdate: return stage.dateText;
    default: return stage.timeText;  // kOpPtime
    }
}

}  // namespace

int32_t ReadTag(KivRequest* request) {
    const auto* gate = static_cast<const GateAccess*>(request->argument);
    if (gate == nullptr || gate->value == nullptr || request->instance == nullptr) {
        return kNoValue;
    }
    const DriverInstance& instance = InstanceOf(*request);
    const int32_t operation = gate->operation;
    if (operation >= kFirstValueOp && operation <= kLastValueOp) {
        return GiveValue(instance.stage, *gate);
    }
    if (operation >= kFirstTextOp && operation <= kLastTextOp) {
        SetGateText(*gate, StagedText(instance.stage, operation), kStageTextSize - 1);
        return kValueGiven;
    }
    if (operation == kOpInput) {
        SetGateText(*gate, instance.lastEventText, sizeof instance.lastEventText);
        return kValueGiven;
    }
    return kNoValue;
}

}  // namespace kiv
