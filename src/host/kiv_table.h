// The KivMain table: the driver's functions by number, and the dispatcher behind the export.
// Each function takes the host's request and returns the result the host sees (0 success,
// 1 rejected or not supported, 2 failure, 53 dialog not completed); these numbers are the
// host's and appear nowhere below this table except in the entry points themselves.
#pragma once

#include <cstdint>

#include "kiv/kiv_abi.h"

namespace kiv {

using KivFunction = int32_t (*)(KivRequest* request);

// The table, indexed by function number less one; empty entries are nullptr.
extern const KivFunction KivFunc[KIV_FN_COUNT];

// Logs the call, checks the number and calls the entry. A request that is not there at all is
// answered with 2 and logged as function -1.
int32_t DispatchKivRequest(KivRequest* request);

}  // namespace kiv
