// Writing files, with the test seam that makes writes fail after a number of bytes.
#include <algorithm>
#include <atomic>

#include "platform/file_store.h"

namespace kiv::platform {

namespace {

std::atomic<int64_t> writeBudget{-1};

}  // namespace

void SetWriteBudgetForTests(int64_t bytes) {
    writeBudget = bytes;
}

bool WriteToFile(std::FILE* file, const void* bytes, size_t count) {
    if (count == 0) {
        return true;
    }
    size_t allowed = count;
    const int64_t budget = writeBudget.load();
    if (budget >= 0) {
        allowed = static_cast<size_t>(std::min<int64_t>(budget, static_cast<int64_t>(count)));
        writeBudget = budget - static_cast<int64_t>(allowed);
    }
    const size_t written = allowed == 0 ? 0 : std::fwrite(bytes, 1, allowed, file);
    return written == count;
}

}  // namespace kiv::platform
