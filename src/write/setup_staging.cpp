// Checks and stores setup values and texts in the instance's SetupStage, by the rows of the
// setup parameter table.
#include "write/setup_staging.h"

#include <cstring>

#include "qorpro/qorpro.h"
#include "tags/gate_value.h"
#include "tags/operation_codes.h"
#include "tags/setup_parameters.h"
#include "tags/value_converters.h"

namespace kiv {

namespace {

// Writes the refusal line: the fixed text, then the tag's address as an argument.
StageResult Refuse(const char* reason, const char* address) {
    err(32, "%s, GAS %s", reason, address);
    return StageResult::kRefused;
}

// A bit write sets the bit for 1, clears it for 0 and leaves it for any other value; no range
// applies.
StageResult StageBit(SetupStage& stage, const SetupParameter& parameter, const GateAccess& gate,
                     uint16_t value, const char* address) {
    if (gate.bitNumber < 0 || gate.bitNumber > parameter.highestBit) {
        err(32, "RIRODI: legal bit number is 0..%d, GAS %s", static_cast<int>(parameter.highestBit),
            address);
        return StageResult::kRefused;
    }
    if (value > 1) {
        return StageResult::kStored;
    }
    const uint16_t field = ReadStageField(stage, parameter, gate.lockNumber).value_or(0);
    const auto mask = static_cast<uint16_t>(1U << static_cast<unsigned>(gate.bitNumber));
    WriteStageField(stage, parameter, gate.lockNumber,
                    static_cast<uint16_t>(value == 1 ? field | mask : field & ~mask));
    return StageResult::kStored;
}

StageResult StageValue(SetupStage& stage, const SetupParameter& parameter, const GateAccess& gate,
                       const char* address) {
    if (IsPerLock(parameter) && !IsLockNumber(gate.lockNumber)) {
        return Refuse("RIRODI: legal lock number is 1..16", address);
    }
    const uint16_t value = GateNumber(gate);
    // Parameters with bit tags take a whole value (data type 0) or one bit (6); any other type
    // is accepted and ignored. The others take the value whatever the type.
    if (parameter.highestBit >= 0) {
        if (gate.dataType == KIV_TYPE_DIGITAL) {
            return StageBit(stage, parameter, gate, value, address);
        }
        if (gate.dataType != KIV_TYPE_ANALOG) {
            return StageResult::kStored;
        }
    }
    if (value < parameter.lowest || value > parameter.highest) {
        return Refuse(parameter.refusal, address);
    }
    WriteStageField(stage, parameter, gate.lockNumber, value);
    return StageResult::kStored;
}

bool PassesCheck(TextCheck check, char (&text)[kTextValueSize]) {
    switch (check) {
    case TextCheck::kTime: return TimeConverter(text);
    case TextCheck::kBadgeCode: return BadgeCodeConverter(text);
    case TextCheck::kDate: return DateConverter(text);
    }
    return false;
}

StageResult StageText(SetupStage& stage, const SetupText& setupText, const GateAccess& gate) {
    // Only a STRING tag has a text area of 80 bytes to read from.
    if (gate.dataType != KIV_TYPE_STRING) {
        return StageResult::kRefused;
    }
    // The host's area may hold more than 79 characters and need not be terminated.
    char text[kTextValueSize];
    CopyGateText(gate, text);
    if (!PassesCheck(setupText.check, text)) {
        return StageResult::kRefused;
    }
    char* member = TextMember(stage, setupText);
    std::memset(member, 0, kStageTextSize);
    std::memcpy(member, text, strnlen(text, kStageTextSize - 1));
    return StageResult::kStored;
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
    return SetupParameterOf(operation) != nullptr || SetupTextOf(operation) != nullptr;
}

StageResult StageSetup(SetupStage& stage, const GateAccess& gate, const char* upperAddress) {
    const char* address = upperAddress != nullptr ? upperAddress : "";
    if (const SetupParameter* parameter = SetupParameterOf(gate.operation)) {
        return StageValue(stage, *parameter, gate, address);
    }
    if (const SetupText* setupText = SetupTextOf(gate.operation)) {
        return StageText(stage, *setupText, gate);
    }
    return StageResult::kRefused;
}

}  // namespace kiv
