// Library loading over LoadLibrary.
#define WIN32_LEAN_AND_MEAN
#include <windows.h>

#include <string>

#include "platform/dynamic_library.h"

namespace kiv::platform {

DynamicLibrary::~DynamicLibrary() {
    if (handle_ != nullptr) {
        FreeLibrary(static_cast<HMODULE>(handle_));
    }
}

bool DynamicLibrary::Load(const std::string& path) {
    HMODULE module = LoadLibraryA(path.c_str());
    if (module == nullptr) {
        error_ = "LoadLibrary failed, error " + std::to_string(GetLastError());
        return false;
    }
    handle_ = module;
    return true;
}

void* ProgramSymbol(const char* name) {
    // The module of the program's own executable file.
    return reinterpret_cast<void*>(GetProcAddress(GetModuleHandleA(nullptr), name));
}

void* DynamicLibrary::Symbol(const char* name) const {
    if (handle_ == nullptr) {
        return nullptr;
    }
    FARPROC proc = GetProcAddress(static_cast<HMODULE>(handle_), name);
    void* address = nullptr;
    static_assert(sizeof(proc) == sizeof(address), "function and data pointers differ");
    __builtin_memcpy(&address, &proc, sizeof address);
    return address;
}

std::string ExecutableDirectory() {
    char path[MAX_PATH];
    const DWORD n = GetModuleFileNameA(nullptr, path, MAX_PATH);
    if (n == 0 || n >= MAX_PATH) {
        return ".\\";
    }
    std::string text(path, n);
    const size_t slash = text.find_last_of("\\/");
    return slash == std::string::npos ? ".\\" : text.substr(0, slash + 1);
}

const char* DriverLibraryFileName() {
    return "VUDUDIDI.DLL";
}

}  // namespace kiv::platform
