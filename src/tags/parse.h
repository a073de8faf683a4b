// Function 3: Parse.
#pragma once

#include <cstdint>

#include "kiv/kiv_abi.h"

namespace kiv {

// Checks the tag address of the GateDescriptor in the request's argument and stores the driver
// words with it: 0 accepted, 1 refused (with its log line), 2 when there is no record.
int32_t Parse(KivRequest* request);

}  // namespace kiv
