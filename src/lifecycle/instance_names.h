// The names an instance gives itself in the host and the system: its host client
// "RIRODI No_%.2d" and its answer event "RIRODI%02uEventSem", with the host's instance number
// (at least two digits: 7 gives "RIRODI No_07" and "RIRODI07EventSem", 123 "RIRODI No_123" and
// "RIRODI123EventSem").
#pragma once

#include <array>
#include <cstdint>

namespace kiv {

using InstanceName = std::array<char, 32>;

InstanceName ClientName(int32_t instanceNumber);
InstanceName AnswerEventName(int32_t instanceNumber);

}  // namespace kiv
