// Whether a serial line can be opened with the host's settings, and if not, why: the checks of
// 'kivhost port-check' and of 'kivhost run --port' before its cold start. The line is opened
// and closed the way the driver opens it (the platform layer's OpenPort), so what passes here
// opens for the driver too, unless another program takes the line in between.
#pragma once

#include <cstdint>
#include <string>

#include "kiv/kiv_abi.h"

namespace kivhost {

// Both modem lines on, no handshake: the control word of the driver's cold start, with which the
// tool opens a line as the driver will.
inline constexpr uint16_t kColdStartControlFlags = 0x0303;

struct PortCheck {
    bool ok = false;
    std::string device;  // the path the system opens
    // Why it failed: "not-found", "permission", "in-use", "settings", "not-a-serial-line",
    // "name", "other"; empty when it opened.
    std::string cause;
    std::string reason;  // the cause in words, with what to do about it
};

// Opens the line 'port' (as the driver takes it: at most 12 characters) with the settings and
// closes it again.
PortCheck CheckPort(const std::string& port, const LineSettings& settings);

// The path the system opens for a port name (per system).
std::string DevicePathOf(const std::string& port);

// Fills in cause and reason of a failed open (per system): the platform's result and the
// system's error code.
void ExplainOpenFailure(const std::string& port, const LineSettings& settings, int32_t result,
                        uint32_t systemError, PortCheck& check);

}  // namespace kivhost
