// Making files durable and replacing them in one step on POSIX: fsync and rename.
#include <fcntl.h>
#include <unistd.h>

#include <cstdio>
#include <string>

#include "platform/file_store.h"

namespace kiv::platform {

bool SyncFile(std::FILE* file) {
    return std::fflush(file) == 0 && fsync(fileno(file)) == 0;
}

// The rename is durable only once the folder that holds the name is synced too.
bool PutFileInPlace(const char* source, const char* target) {
    if (std::rename(source, target) != 0) {
        return false;
    }
    const std::string path(target);
    const size_t slash = path.rfind('/');
    const std::string folder = slash == std::string::npos ? "." : path.substr(0, slash + 1);
    const int descriptor = open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (descriptor < 0) {
        return true;  // in place all the same; a folder that cannot be opened cannot be synced
    }
    fsync(descriptor);
    close(descriptor);
    return true;
}

}  // namespace kiv::platform
