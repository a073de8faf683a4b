// The download file's lines over any file: every frame is LF, a text ending in ";", four
// upper-case hexadecimal digits and CR, at most 255 bytes and terminated; the count given up
// front is the number of lines Next reports.
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "instance/driver_instance.h"
#include "qorpro/qorpro_embed.h"
#include "write/download_file.h"

namespace {

bool IsUpperHex(char c) {
    return (c >= '0' && c <= '9') || (c >= 'A' && c <= 'F');
}

bool WellFramed(const char* frame, size_t length) {
    if (length < 7 || length > kiv::kFrameCapacity - 1 || frame[length] != '\0' ||
        frame[0] != '\n' || frame[length - 1] != '\r' || frame[length - 6] != ';') {
        return false;
    }
    for (size_t i = length - 5; i < length - 1; ++i) {
        if (!IsUpperHex(frame[i])) {
            return false;
        }
    }
    return std::memchr(frame + 1, '\n', length - 1) == nullptr &&
           std::memchr(frame, '\0', length) == nullptr;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size == 0) {
        return 0;
    }
    qorClearLog();
    std::FILE* file = fmemopen(const_cast<uint8_t*>(data), size, "rb");
    if (file == nullptr) {
        return 0;
    }
    kiv::DownloadFile download(file);
    const size_t expected = download.CountFrameLines();
    size_t reported = 0;
    char frame[kiv::kFrameBufferSize];
    size_t length = 0;
    for (kiv::DownloadFile::NextResult result = download.Next(frame, length);
         result != kiv::DownloadFile::NextResult::kEnd; result = download.Next(frame, length)) {
        ++reported;
        if (result == kiv::DownloadFile::NextResult::kFrame && !WellFramed(frame, length)) {
            std::abort();
        }
    }
    if (reported != expected) {
        std::abort();
    }
    return 0;
}
