// The block functions, which the driver does not support.
#include "host/block_functions.h"

#include "qorpro/qorpro.h"
#include "tags/address_grammar.h"

namespace kiv {

// The address is shown as Parse shows it in its refusal lines: at most 39 characters, then
// "..." when it goes on, so that the line stays bounded however long the host's text is.
// Block parse is refused whatever the host passes, like block read and write: without a record
// the address is shown empty and the answer is still 1.
int32_t BlockParse(KivRequest* request) {
    const auto* gate = static_cast<const GateDescriptor*>(request->argument);
    err(32, "DUZED :Block Parse failed Tag '%s', No block Support",
        Shown(CopyAddress(gate == nullptr ? nullptr : gate->address)).text);
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
