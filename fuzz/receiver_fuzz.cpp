// The receiver's handling of any frame in any answer mode: the first byte picks the mode (0, 1
// or 2) and the poll that waits, the rest is the frame as received. Status reports and events
// are read and published, upload lines and events filed (in a directory of the run's own), the
// data answer kept; nothing outside the frame or the instance is touched.
#include <unistd.h>

#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <string>
#include <system_error>
#include <vector>

#include "fuzz_host.h"
#include "qorpro/qorpro_embed.h"
#include "receive/incoming_tags.h"
#include "receive/unsolicited_receiver.h"

namespace {

void DefineReceiverTags() {
    for (const char* name :
         {"PENUM", "PCDOR", "PSDOR00", "0PMODE", "0PKEYS", "0PTMPR", "PSRDR00"}) {
        qorDefineTag(name, name, kivfuzz::kInstanceNumber, KIV_TYPE_ANALOG);
    }
    for (const char* name : {"PBNAM", "PBNA2", "PBCOD", "0PCTRL", "0PVER"}) {
        qorDefineTag(name, name, kivfuzz::kInstanceNumber, KIV_TYPE_STRING);
    }
}

}  // namespace

// The receiver writes its files by bare name: the run works in a scratch directory of its own.
// The corpus folders and the artifact paths on the command line are made absolute first, so
// that they still name what they named.
extern "C" int LLVMFuzzerInitialize(int* argc, char*** argv) {
    static std::vector<std::string> rewritten;  // kept for the whole run
    rewritten.reserve(static_cast<size_t>(*argc));
    char here[4096] = {};
    if (getcwd(here, sizeof here) == nullptr) {
        std::abort();
    }
    for (int i = 1; i < *argc; ++i) {
        const std::string argument = (*argv)[i];
        const size_t equals = argument.find('=');
        if (argument[0] != '-') {
            // A corpus folder or a file to run.
            rewritten.push_back(argument[0] == '/' ? argument : std::string(here) + "/" + argument);
        } else if (equals != std::string::npos && equals + 1 < argument.size() &&
                   argument[equals + 1] != '/' &&
                   (argument.rfind("-artifact_prefix=", 0) == 0 ||
                    argument.rfind("-exact_artifact_path=", 0) == 0)) {
            rewritten.push_back(argument.substr(0, equals + 1) + here + "/" +
                                argument.substr(equals + 1));
        } else {
            continue;
        }
        (*argv)[i] = rewritten.back().data();
    }
    static char pattern[] = "/tmp/kiv-receiver-fuzz-XXXXXX";
    if (mkdtemp(pattern) == nullptr || chdir(pattern) != 0) {
        std::abort();
    }
    // The scratch folder goes when the run ends normally (a crash leaves it to be looked at).
    std::atexit([] {
        std::error_code error;
        std::filesystem::remove_all(pattern, error);
    });
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size == 0) {
        return 0;
    }
    kivfuzz::BeginRun();
    static const bool tags = (DefineReceiverTags(), true);
    (void)tags;
    kiv::DriverInstance& instance = kivfuzz::ZeroedInstance();        // its answer event made too
    instance.answerMode = static_cast<kiv::AnswerMode>(data[0] % 5);  // every answer mode
    instance.pollPending[(data[0] >> 2) % kiv::kControllerCount] = 1;
    instance.uploadSetupRunning = (data[0] >> 5) % 3;  // none, running, unconfirmed
    const size_t count = std::min(size - 1, kiv::kFrameCapacity);
    std::memcpy(instance.rxBuffer, data + 1, count);
    instance.rxLength = static_cast<int16_t>(count);
    kiv::PublishIncoming(instance, instance.rxBuffer, count);
    if (const auto kind = kiv::ClassifyFrame(instance.rxBuffer, count)) {
        kiv::HandleFrame(instance, *kind);
    }
    if (instance.answerCopy[kiv::kFrameCapacity] != '\0' ||
        instance.lastEventText[sizeof instance.lastEventText - 1] != '\0') {
        std::abort();
    }
    return 0;
}
