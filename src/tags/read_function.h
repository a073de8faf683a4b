// Function 5: the read function.
#pragma once

#include <cstdint>

#include "kiv/kiv_abi.h"

namespace kiv {

// The staged value of a setup tag, a setup text or the last event's text, written into the
// tag's value area: 0 when a value was given, 1 when the tag has no value here (the value area
// is then untouched), 2 when there is no instance, tag record or value area.
int32_t ReadTag(KivRequest* request);

}  // namespace kiv
