// Making files durable and replacing them in one step on Windows: FlushFileBuffers and
// MoveFileExA with MOVEFILE_REPLACE_EXISTING.
#define WIN32_LEAN_AND_MEAN
#include <windows.h>

#include <io.h>

#include <cstdio>

#include "platform/file_store.h"

namespace kiv::platform {

bool SyncFile(std::FILE* file) {
    if (std::fflush(file) != 0) {
        return false;
    }
    const intptr_t handle = _get_osfhandle(_fileno(file));
    return handle != -1 && FlushFileBuffers(reinterpret_cast<HANDLE>(handle)) != 0;
}

bool PutFileInPlace(const char* source, const char* target) {
    return MoveFileExA(source, target, MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH) != 0;
}

}  // namespace kiv::platform
