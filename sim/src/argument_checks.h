// The refusals of the simulator's public calls: every argument a caller passes is checked here
// before it reaches a controller or the line, so that a frame is never built from text it cannot
// carry.
#pragma once

#include <cstddef>
#include <string>

#include "vxs_sim/frame.h"

namespace vxs_sim {

// The longest command text that still fits a frame of kMaxFrameLength bytes: the frame adds LF,
// two ";", four checksum digits and CR.
inline constexpr std::size_t kMaxCommandText = kMaxFrameLength - 6 - 1;

// Throws std::out_of_range unless the controller is one of 0 to 7.
void CheckController(int controller);

// Throws std::invalid_argument unless every byte may stand in a field of a frame: printable, and
// none of the frame's own separators "," and ";".
void CheckFieldText(const std::string& text, const char* what);

// Throws std::invalid_argument unless low <= value <= high.
void CheckRange(long value, long low, long high, const char* what);

// Throws std::invalid_argument unless the text fits a frame and holds no LF or CR.
void CheckCommandText(const std::string& text);

}  // namespace vxs_sim
