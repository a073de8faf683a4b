// Functions 1, 2 and 11: cold start, warm start and close of an instance.
//
// An instance is started from the moment cold start has registered its host client until close:
// cold start on a started instance is refused (result 2, "RIRODI: ColdStart() refused, the
// instance is already started; close it first"), and close releases whatever a started
// instance holds, also after a cold start that failed half way. Close of an instance that is not
// started touches nothing and returns 0, so closing twice is harmless.
//
// Close may come while host threads are inside the instance: it marks the instance as closing
// (later calls are refused with 2), asks every thread to end and wakes every wait, waits until the
// calls inside have returned (they return 2 at once), joins every driver thread, removes the host
// client and closes the port, and only then destroys the locks. The thread that waits for host
// messages is let go, holding nothing of the instance, when the host refuses to remove the client
// (at once) or when it does not end within 2 s of the removal. A host must not free the
// instance's memory before close and its own calls on that instance have returned.
#pragma once

#include <cstdint>

#include "kiv/kiv_abi.h"

namespace kiv {

int32_t ColdStart(KivRequest* request);
int32_t WarmStart(KivRequest* request);
int32_t Close(KivRequest* request);

}  // namespace kiv
