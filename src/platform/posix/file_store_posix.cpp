// Making files durable and replacing them in one step on POSIX: fsync and rename. Records
// are appended with open(2), writev(2) and close(2) alone: the event log gets one for every
// event, and each system call counts when dozens of lines run in one process.
#include <fcntl.h>
#include <sys/stat.h>
#include <sys/uio.h>
#include <unistd.h>

#include <cerrno>

#include <cstdio>
#include <string>

#include "platform/file_store.h"

namespace kiv::platform {

bool SyncFile(std::FILE* file) {
    return std::fflush(file) == 0 && fsync(fileno(file)) == 0;
}

namespace {

constexpr int kAppendFlags = O_WRONLY | O_APPEND | O_CLOEXEC;
constexpr mode_t kNewFileMode = 0666;  // less the umask, as fopen(3) creates files

// The descriptor for appending, and whether the file is to be begun (it was replaced, created
// or found empty); -1 when it cannot be opened.
int OpenForAppend(const char* name, bool fresh, bool& begin) {
    begin = true;
    if (fresh) {
        return open(name, kAppendFlags | O_CREAT | O_TRUNC, kNewFileMode);
    }
    const int descriptor = open(name, kAppendFlags);
    if (descriptor < 0) {
        return errno == ENOENT ? open(name, kAppendFlags | O_CREAT, kNewFileMode) : -1;
    }
    struct stat state {};
    begin = fstat(descriptor, &state) == 0 && state.st_size == 0;
    return descriptor;
}

}  // namespace

Appended AppendRecordToFile(const char* name, bool fresh, std::string_view header,
                            std::string_view record) {
    bool begin = false;
    const int descriptor = OpenForAppend(name, fresh, begin);
    if (descriptor < 0) {
        return Appended::kFailed;
    }
    iovec parts[2] = {{const_cast<char*>(header.data()), begin ? header.size() : 0},
                      {const_cast<char*>(record.data()), record.size()}};
    const size_t total = parts[0].iov_len + parts[1].iov_len;
    ssize_t written = 0;
    do {
        written = writev(descriptor, parts, 2);
    } while (written < 0 && errno == EINTR);
    const bool closed = close(descriptor) == 0;
    if (written < 0 || static_cast<size_t>(written) != total || !closed) {
        return Appended::kFailed;
    }
    return begin ? Appended::kBegun : Appended::kRecord;
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
