// Frames as the driver finishes them, for the tests that send them or expect them.
#pragma once

#include <string>

#include "instance/driver_instance.h"
#include "link/frame_format.h"

namespace kivtest {

// The frame the driver makes of LF, ";" and a command text ("\n;S Q").
inline std::string FinishedFrame(const std::string& start) {
    char buffer[kiv::kFrameBufferSize] = {};
    start.copy(buffer, kiv::kFrameCapacity);
    return std::string(buffer, kiv::FinishFrame(buffer, kiv::kFrameCapacity));
}

// The same from the command text alone ("S Q").
inline std::string FinishedCommand(const std::string& text) {
    return FinishedFrame("\n;" + text);
}

}  // namespace kivtest
