// The driver's one export and the table of its functions.
#include "host/kiv_functions.h"
#include "qorpro/qorpro.h"
#include "tags/tag_format_dialog.h"

namespace kiv {

const KivFunction KivFunc[KIV_FN_COUNT] = {
    nullptr,          // 1 cold start
    nullptr,          // 2 warm start
    Parse,            // 3 parse
    BlockParse,       // 4 block parse
    ReadTag,          // 5 read
    BlockRead,        // 6 block read
    nullptr,          // 7 single write
    nullptr,          // 8 (empty)
    nullptr,          // 9 (empty)
    BlockWrite,       // 10 block write
    nullptr,          // 11 close
    PortClose,        // 12 port close
    PortOpen,         // 13 port open
    GetKIVinfo,       // 14 driver information
    PortReconfigure,  // 15 port reconfigure
    TagFormatDialog,  // 16 tag format dialog
    nullptr,          // 17 (empty)
};

int32_t DispatchKivRequest(KivRequest* request) {
    const uint32_t number = request->functionNumber;
    // The host's log shows the zero-based table position, before any check.
    err(8, "DUZED:Entered KivMain(), with function %d", static_cast<int>(number) - 1);
    if (number == 0 || number > KIV_FN_COUNT) {
        err(8, "DUZED:Exited KivMain() invalid function number");
        return KIV_FAILED;
    }
    const KivFunction function = KivFunc[number - 1];
    if (function == nullptr) {
        err(8, "DUZED:Exited KivMain() pointer in KivFunc[] is NULL");
        return KIV_FAILED;
    }
    return function(request);
}

}  // namespace kiv

extern "C" KIV_EXPORT int32_t KIV_STDCALL KivMain(KivRequest* request) {
    return kiv::DispatchKivRequest(request);
}
