// The driver as a host holds it: the library loaded by path, its KivMain, and the log lines
// each call writes.
#pragma once

#include <string>
#include <vector>

#include "json_text.h"
#include "kiv/kiv_abi.h"
#include "platform/dynamic_library.h"

namespace kivhost {

struct LogEntry {
    int level;
    std::string text;
};

// The driver path that runs the copy of the driver linked into the tool instead of a library
// loaded by path: a testing aid, whose thread delays the tool may shorten.
inline constexpr const char* kBuiltInDriver = "built-in";

class DriverSession {
public:
    // Loads the driver; an empty path takes the first of DriverCandidates() that exists (the
    // library beside this program, else the installed one), kBuiltInDriver the linked-in copy.
    bool Load(const std::string& path);
    bool BuiltIn() const { return builtIn_; }
    const std::string& Error() const { return error_; }
    const std::string& Path() const { return path_; }

    // Calls KivMain and collects the log lines the driver wrote meanwhile.
    int32_t Call(KivRequest& request, std::vector<LogEntry>* log);

    // Function 14; the size of the instance record comes from here.
    int32_t Info(DriverInfo& info, std::vector<LogEntry>* log);

    // Zeroed memory of the instance size the driver reports, as a host provides it.
    std::vector<unsigned char> ZeroedInstance();

private:
    kiv::platform::DynamicLibrary library_;
    KivMainFunction kivMain_ = nullptr;
    std::string path_;
    std::string error_;
    bool builtIn_ = false;
};

// The log lines as a JSON array of {"level", "text"}.
Json LogJson(const std::vector<LogEntry>& log);
// The log lines for a person, one a line, each behind its level.
std::string LogText(const std::vector<LogEntry>& log);

}  // namespace kivhost
