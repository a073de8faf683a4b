// The entries of a folder, for counting a process's threads (/proc/self/task) and descriptors
// (/proc/self/fd) in the POSIX tests. Header only: the POSIX tests alone include it.
#pragma once

#include <dirent.h>

#include <cstddef>

namespace kivtest {

inline size_t EntriesOf(const char* directory) {
    size_t count = 0;
    if (DIR* dir = opendir(directory)) {
        while (readdir(dir) != nullptr) {
            ++count;
        }
        closedir(dir);
    }
    return count;
}

}  // namespace kivtest
