// Parse through KivMain (function 3): a tag's address text and data type as a host hands them
// over. Input: the data type (one signed byte), then the address text.
#include <cstdint>
#include <string>

#include "fuzz_host.h"
#include "kiv/kiv_abi.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size == 0) {
        return 0;
    }
    kivfuzz::BeginRun();
    const std::string address(reinterpret_cast<const char*>(data) + 1, size - 1);
    GateDescriptor gate{};
    gate.address = address.c_str();
    gate.dataType = static_cast<int8_t>(data[0]);
    KivRequest request{&kivfuzz::ZeroedInstance(), KIV_FN_PARSE, kivfuzz::kInstanceNumber, 0,
                       &gate};
    KivMain(&request);
    return 0;
}
