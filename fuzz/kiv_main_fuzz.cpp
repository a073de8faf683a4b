// KivMain with any function number and an argument record built from the input, on a zeroed
// instance, as a careless or hostile host might call it.
//
// Input: the function number (4 bytes, little-endian); one byte of flags that leave out the
// request, the instance, the argument record, the address text or the value area (Leave*
// below); ten 32-bit words that fill the record's number fields in order; then the address
// text up to a NUL, and the bytes of the value area after it. Missing bytes count as zero. The
// value area has the size the host gives a tag of the record's data type: 80 bytes of text for a
// STRING tag, the 4 bytes of a number otherwise.
#include <cstdint>
#include <cstring>
#include <memory>
#include <string>

#include "fuzz_host.h"
#include "kiv/kiv_abi.h"

namespace {

// Cold start would open a line and start threads; the others run on the zeroed instance, which
// is not started (warm start, SingleWrite and close then touch nothing of it); the dialog would
// wait for a person on Windows.
bool Excluded(uint32_t number) {
    return number == KIV_FN_COLD_START || number == KIV_FN_TAG_FORMAT_DIALOG;
}

enum Leave : uint8_t {
    kNoRequest = 1,
    kNoInstance = 2,
    kNoArgument = 4,
    kNoAddress = 8,
    kNoValueArea = 16,
};

class Input {
public:
    Input(const uint8_t* data, size_t size) : data_(data), size_(size) {}
    template <typename T>
    T Take() {
        unsigned char bytes[sizeof(T)] = {};
        const size_t n = size_ - at_ < sizeof bytes ? size_ - at_ : sizeof bytes;
        std::memcpy(bytes, data_ + at_, n);
        at_ += n;
        T value{};
        std::memcpy(&value, bytes, sizeof value);
        return value;
    }
    std::string Rest() {
        std::string rest(reinterpret_cast<const char*>(data_) + at_, size_ - at_);
        at_ = size_;
        return rest;
    }

private:
    const uint8_t* data_;
    size_t size_;
    size_t at_ = 0;
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    Input input(data, size);
    const auto number = input.Take<uint32_t>();
    if (Excluded(number)) {
        return 0;
    }
    kivfuzz::BeginRun();
    const auto flags = input.Take<uint8_t>();
    int32_t word[10];
    for (int32_t& w : word) {
        w = input.Take<int32_t>();
    }
    const std::string rest = input.Rest();
    const std::string address = rest.substr(0, rest.find('\0'));
    const std::string valueBytes =
        rest.size() > address.size() ? rest.substr(address.size() + 1) : "";

    GateDescriptor descriptor{address.c_str(), word[0], word[1], word[2], word[3],
                              word[4],         word[5], word[6], word[7]};
    GateAccess access{address.c_str(), word[0], word[1], word[2], word[3], word[4],
                      word[5],         word[6], word[7], word[8], nullptr};
    const size_t areaSize = access.dataType == KIV_TYPE_STRING ? KIV_STRING_VALUE_SIZE : 4;
    const auto area = std::make_unique<unsigned char[]>(areaSize);
    std::memcpy(area.get(), valueBytes.data(),
                valueBytes.size() < areaSize ? valueBytes.size() : areaSize);
    access.value = area.get();
    PortReconfig reconfig{"NUL", word[0], {}};
    std::memcpy(&reconfig.lineSettings, &word[1], sizeof reconfig.lineSettings);
    DriverInfo info{};

    void* argument = &access;
    switch (number) {
    case KIV_FN_PARSE:
    case KIV_FN_BLOCK_PARSE: argument = &descriptor; break;
    case KIV_FN_GET_INFO: argument = &info; break;
    case KIV_FN_PORT_RECONFIGURE: argument = &reconfig; break;
    default: break;
    }
    if ((flags & kNoAddress) != 0) {
        descriptor.address = nullptr;
        access.address = nullptr;
    }
    if ((flags & kNoValueArea) != 0) {
        access.value = nullptr;
    }
    KivRequest request{(flags & kNoInstance) != 0 ? nullptr : &kivfuzz::ZeroedInstance(), number,
                       kivfuzz::kInstanceNumber, 0,
                       (flags & kNoArgument) != 0 ? nullptr : argument};
    KivMain((flags & kNoRequest) != 0 ? nullptr : &request);
    return 0;
}
