// The stand-in host and the instance record of the fuzz targets.
#include "fuzz_host.h"

#include <cstring>

#include "kiv/kiv_abi.h"
#include "made_instance.h"
#include "qorpro/qorpro_embed.h"

namespace kivfuzz {

void BeginRun() {
    static const bool ready = [] {
        qorReset();
        qorDefineTag("INCOMING", "INCOMING", kInstanceNumber, KIV_TYPE_STRING);
        qorDefineTag("OUTGOING", "OUTGOING", kInstanceNumber, KIV_TYPE_STRING);
        qorDefineTag("BADGECODE", "BADGECODE", kInstanceNumber, KIV_TYPE_STRING);
        qorDefineTag("PWKDS", "PWKDS", kInstanceNumber, KIV_TYPE_ANALOG);
        qorDefineTag("INPUT", "INPUT", kInstanceNumber, KIV_TYPE_STRING);
        return true;
    }();
    (void)ready;
    qorClearLog();
}

kiv::DriverInstance& ZeroedInstance() {
    // Made afresh for each input: zeroed, its locks and events created, marked started.
    static kivtest::MadeInstance instance;
    instance = kivtest::MakeInstance(kInstanceNumber);
    return *instance;
}

}  // namespace kivfuzz
