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

Appended AppendRecordToFile(const char* name, bool fresh, std::string_view header,
                            std::string_view record) {
    std::FILE* file = std::fopen(name, fresh ? "wb" : "ab");
    if (file == nullptr) {
        return Appended::kFailed;
    }
    const bool begin = fresh || (std::fseek(file, 0, SEEK_END) == 0 && std::ftell(file) == 0);
    bool written = !begin || header.empty() ||
                   std::fwrite(header.data(), 1, header.size(), file) == header.size();
    written = written && (record.empty() ||
                          std::fwrite(record.data(), 1, record.size(), file) == record.size());
    written = std::fclose(file) == 0 && written;
    if (!written) {
        return Appended::kFailed;
    }
    return begin ? Appended::kBegun : Appended::kRecord;
}

bool PutFileInPlace(const char* source, const char* target) {
    return MoveFileExA(source, target, MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH) != 0;
}

}  // namespace kiv::platform
