// Function 5: the value of a setup tag, a setup-text tag or INPUT, from the instance's memory.
// Every other tag has no value here (the receiver writes those into the host itself) and is
// answered with 1, its value area untouched. Staged values are read under the staging lock and
// the last event text under its own lock, so that a read never sees half a write. The read
// logs nothing; on an instance that is not started nothing has a value (1).
//
// Text values go only into the 80-byte text area of a STRING tag: a record of another data type
// asking for a text (a host whose tag changed type after Parse) is answered with 1 and its
// value area is not touched.
#include "tags/read_function.h"

#include "instance/driver_instance.h"
#include "platform/sync.h"
#include "tags/gate_value.h"
#include "tags/operation_codes.h"
#include "tags/setup_parameters.h"

namespace kiv {

namespace {

constexpr int32_t kValueGiven = KIV_OK;
constexpr int32_t kNoValue = KIV_REJECTED;

// The field of a parameter: PDORS, PWKDS and PLOCK give the whole field for data type 0 and one
// bit of it for 6, nothing for any other type; the others give the field whatever the type. A
// lock tag without a lock (or beyond the sixteen) and a bit beyond the field have no value.
int32_t GiveValue(const SetupStage& stage, const SetupParameter& parameter,
                  const GateAccess& gate) {
    const std::optional<uint16_t> field = ReadStageField(stage, parameter, gate.lockNumber);
    if (!field) {
        return kNoValue;
    }
    if (parameter.highestBit >= 0 && gate.dataType != KIV_TYPE_ANALOG) {
        if (gate.dataType != KIV_TYPE_DIGITAL) {
            return kValueGiven;
        }
        if (gate.bitNumber < 0 || gate.bitNumber > parameter.highestBit) {
            return kNoValue;
        }
        SetGateNumber(gate, static_cast<uint16_t>(*field >> gate.bitNumber & 1U));
        return kValueGiven;
    }
    SetGateNumber(gate, *field);
    return kValueGiven;
}

int32_t GiveText(const GateAccess& gate, const char* text, size_t size) {
    if (gate.dataType != KIV_TYPE_STRING) {
        return kNoValue;
    }
    SetGateText(gate, text, size);
    return kValueGiven;
}

}  // namespace

int32_t ReadTag(KivRequest* request) {
    const GateAccess* record = GateOfRequest(*request);
    if (record == nullptr) {
        return KIV_FAILED;
    }
    const GateAccess& gate = *record;
    DriverInstance& instance = InstanceOf(*request);
    if (!IsStarted(instance)) {
        return kNoValue;
    }
    if (const SetupParameter* parameter = SetupParameterOf(gate.operation)) {
        const platform::LockGuard guard(instance.stageLock);
        return GiveValue(instance.stage, *parameter, gate);
    }
    if (const SetupText* setupText = SetupTextOf(gate.operation)) {
        const platform::LockGuard guard(instance.stageLock);
        return GiveText(gate, TextMember(instance.stage, *setupText), kStageTextSize - 1);
    }
    if (gate.operation == kOpInput) {
        const platform::LockGuard guard(instance.textLock);
        return GiveText(gate, instance.lastEventText, sizeof instance.lastEventText);
    }
    return kNoValue;
}

}  // namespace kiv
