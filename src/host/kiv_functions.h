// The functions of the KivMain table. Each takes the host's request and returns the result the
// host sees (0 success, 1 rejected or not supported, 2 failure, 53 dialog not completed).
#pragma once

#include <cstdint>

#include "kiv/kiv_abi.h"

namespace kiv {

using KivFunction = int32_t (*)(KivRequest* request);

// The table, indexed by function number less one; empty entries are nullptr.
extern const KivFunction KivFunc[KIV_FN_COUNT];

// Checks the tag address of the GateDescriptor in the request's argument and stores the driver
// words with it: 0 accepted, 1 refused (with its log line), 2 when there is no record.
int32_t Parse(KivRequest* request);
int32_t BlockParse(KivRequest* request);
int32_t BlockRead(KivRequest* request);
int32_t BlockWrite(KivRequest* request);
int32_t GetKIVinfo(KivRequest* request);
// Function 5: the staged value of a setup tag, a setup text or the last event's text.
int32_t ReadTag(KivRequest* request);
int32_t PortClose(KivRequest* request);
int32_t PortOpen(KivRequest* request);
int32_t PortReconfigure(KivRequest* request);

// The dispatcher behind the export: logs the call, checks the number and calls the entry.
int32_t DispatchKivRequest(KivRequest* request);

}  // namespace kiv
