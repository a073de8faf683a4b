// Functions 1, 2 and 11: cold start, warm start and close of an instance.
//
// An instance is started from the moment cold start has registered its host client until close:
// cold start on a started instance is refused (result 2, "RIRODI: ColdStart() refused, the
// instance is already started; close it first"), and close releases whatever a started
// instance holds, also after a cold start that failed half way. Close of an instance that is not
// started touches nothing and returns 0, so closing twice is harmless.
#pragma once

#include <cstdint>

#include "kiv/kiv_abi.h"

namespace kiv {

int32_t ColdStart(KivRequest* request);
int32_t WarmStart(KivRequest* request);
int32_t Close(KivRequest* request);

}  // namespace kiv
