// The driver's delays as tools that link the driver shorten them (kiv/kiv_tool.h).
#include "instance/driver_instance.h"
#include "kiv/kiv_tool.h"

extern "C" void kivToolSetDelays(uint32_t pollDelayMs, uint32_t receiverStartDelayMs) {
    if (pollDelayMs != KIV_TOOL_DELAY_UNCHANGED) {
        kiv::timingDefaults.pollDelayMs = pollDelayMs;
    }
    if (receiverStartDelayMs != KIV_TOOL_DELAY_UNCHANGED) {
        kiv::timingDefaults.receiverStartDelayMs = receiverStartDelayMs;
    }
}
