// The block functions, which the driver does not support.
#include "host/kiv_functions.h"
#include "qorpro/qorpro.h"

namespace kiv {

int32_t BlockParse(KivRequest* request) {
    const auto* gate = static_cast<const GateDescriptor*>(request->argument);
    const char* address = gate != nullptr && gate->address != nullptr ? gate->address : "";
    err(32, "DUZED :Block Parse failed Tag '%s', No block Support", address);
    return KIV_REJECTED;
}

int32_t BlockRead(KivRequest* /*request*/) {
    err(32, "DUZED: KIV does not support block read.");
    return KIV_REJECTED;
}

int32_t BlockWrite(KivRequest* /*request*/) {
    err(32, "DUZED: Block Write not supported!");
    return KIV_REJECTED;
}

}  // namespace kiv
