// Loading a library by path and finding a symbol in it, the way a host loads its drivers.
#pragma once

#include <string>

namespace kiv::platform {

class DynamicLibrary {
public:
    DynamicLibrary() = default;
    ~DynamicLibrary();
    DynamicLibrary(const DynamicLibrary&) = delete;
    DynamicLibrary& operator=(const DynamicLibrary&) = delete;

    // Loads the library; on failure returns false and keeps the system's reason.
    bool Load(const std::string& path);
    // The address of an exported symbol, or nullptr.
    void* Symbol(const char* name) const;
    const std::string& Error() const { return error_; }

private:
    void* handle_ = nullptr;
    std::string error_;
};

// A function or object that the running program itself exports under 'name' (not one of the
// libraries it loaded), or nullptr.
void* ProgramSymbol(const char* name);

// The folder of the running program, with a trailing separator.
std::string ExecutableDirectory();

// The file name of the driver library on this system.
const char* DriverLibraryFileName();

}  // namespace kiv::platform
