// The driver's one export and the table of its functions.
#include "host/kiv_table.h"
#include "instance/monitor.h"

#include "host/block_functions.h"
#include "instance/driver_info.h"
#include "instance/instance_sync.h"
#include "lifecycle/lifecycle_functions.h"
#include "link/port_functions.h"
#include "qorpro/qorpro.h"
#include "tags/parse.h"
#include "tags/read_function.h"
#include "tags/tag_format_dialog.h"
#include "write/single_write.h"

namespace kiv {

const KivFunction KivFunc[KIV_FN_COUNT] = {
    ColdStart,        // 1 cold start
    WarmStart,        // 2 warm start
    Parse,            // 3 parse
    BlockParse,       // 4 block parse
    ReadTag,          // 5 read
    BlockRead,        // 6 block read
    SingleWrite,      // 7 single write
    nullptr,          // 8 (empty)
    nullptr,          // 9 (empty)
    BlockWrite,       // 10 block write
    Close,            // 11 close
    PortClose,        // 12 port close
    PortOpen,         // 13 port open
    GetKIVinfo,       // 14 driver information
    PortReconfigure,  // 15 port reconfigure
    TagFormatDialog,  // 16 tag format dialog
    nullptr,          // 17 (empty)
};

namespace {

// The functions that work on a started instance while its threads run; close waits for them.
bool UsesRunningInstance(uint32_t number) {
    switch (number) {
    case KIV_FN_WARM_START:
    case KIV_FN_READ:
    case KIV_FN_SINGLE_WRITE:
    case KIV_FN_PORT_CLOSE:
    case KIV_FN_PORT_OPEN:
    case KIV_FN_PORT_RECONFIGURE: return true;
    default: return false;
    }
}

// Runs a function of a started instance inside the host-call gate: a call made once close has
// begun is refused, and close waits for every call that entered before.
int32_t CallThroughGate(KivFunction function, KivRequest* request, uint32_t number) {
    auto& instance = *static_cast<DriverInstance*>(request->instance);
    const HostCallScope call(instance);
    if (!call.Entered()) {
        err(32, "DUZED: KivMain() function %u refused, the instance is being closed",
            static_cast<unsigned>(number));
        return KIV_FAILED;
    }
    MonitorThread(instance);
    return function(request);
}

}  // namespace

int32_t DispatchKivRequest(KivRequest* request) {
    const uint32_t number = request != nullptr ? request->functionNumber : 0;
    // The host's log shows the zero-based table position, before any check: the number less
    // one, taken modulo 2^32 and shown as a signed number (-1 for 0, 2147483647 for 2^31).
    err(8, "DUZED:Entered KivMain(), with function %d", static_cast<int>(number - 1U));
    if (number == 0 || number > KIV_FN_COUNT) {
        err(8, "DUZED:Exited KivMain() invalid function number");
        return KIV_FAILED;
    }
    const KivFunction function = KivFunc[number - 1];
    if (function == nullptr) {
        err(8, "DUZED:Exited KivMain() pointer in KivFunc[] is NULL");
        return KIV_FAILED;
    }
    if (UsesRunningInstance(number) && request->instance != nullptr &&
        IsStarted(*static_cast<DriverInstance*>(request->instance))) {
        return CallThroughGate(function, request, number);
    }
    return function(request);
}

}  // namespace kiv

extern "C" KIV_EXPORT int32_t KIV_STDCALL KivMain(KivRequest* request) {
    return kiv::DispatchKivRequest(request);
}
