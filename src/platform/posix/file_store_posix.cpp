// Making files durable and replacing them in one step on POSIX: fsync and rename.
#include <unistd.h>

#include <cstdio>

#include "platform/file_store.h"

namespace kiv::platform {

bool SyncFile(std::FILE* file) {
    return std::fflush(file) == 0 && fsync(fileno(file)) == 0;
}

bool PutFileInPlace(const char* source, const char* target) {
    return std::rename(source, target) == 0;
}

}  // namespace kiv::platform
