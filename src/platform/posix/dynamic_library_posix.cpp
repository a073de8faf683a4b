// Library loading over dlopen.
#include <dlfcn.h>
#include <unistd.h>

#include <climits>

#include "platform/dynamic_library.h"

namespace kiv::platform {

DynamicLibrary::~DynamicLibrary() {
    if (handle_ != nullptr) {
        dlclose(handle_);
    }
}

bool DynamicLibrary::Load(const std::string& path) {
    // A bare name would be looked up in the system's library path; the host names a file.
    const std::string name = path.find('/') == std::string::npos ? "./" + path : path;
    handle_ = dlopen(name.c_str(), RTLD_NOW | RTLD_LOCAL);
    if (handle_ == nullptr) {
        const char* reason = dlerror();
        error_ = reason != nullptr ? reason : "unknown error";
        return false;
    }
    return true;
}

void* ProgramSymbol(const char* name) {
    void* program = dlopen(nullptr, RTLD_NOW);
    if (program == nullptr) {
        return nullptr;
    }
    void* symbol = dlsym(program, name);
    dlclose(program);
    return symbol;
}

void* DynamicLibrary::Symbol(const char* name) const {
    return handle_ != nullptr ? dlsym(handle_, name) : nullptr;
}

std::string ExecutableDirectory() {
    char path[PATH_MAX];
    const ssize_t n = readlink("/proc/self/exe", path, sizeof path - 1);
    if (n <= 0) {
        return "./";
    }
    std::string text(path, static_cast<size_t>(n));
    const size_t slash = text.rfind('/');
    return slash == std::string::npos ? "./" : text.substr(0, slash + 1);
}

const char* DriverLibraryFileName() {
    return "libvududidi.so";
}

}  // namespace kiv::platform
