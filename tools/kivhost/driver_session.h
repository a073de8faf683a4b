// The driver as a host holds it: the library loaded by path, its KivMain, and the log lines
// each call writes.
#pragma once

#include <string>
#include <vector>

#include "kiv/kiv_abi.h"
#include "platform/dynamic_library.h"

namespace kivhost {

struct LogEntry {
    int level;
    std::string text;
};

class DriverSession {
public:
    // Loads the driver; an empty path takes the library built beside this program.
    bool Load(const std::string& path);
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
};

// The log lines as a JSON array of {"level", "text"}.
std::string LogJson(const std::vector<LogEntry>& log);
// The log lines for a person, one a line, each behind its level.
std::string LogText(const std::vector<LogEntry>& log);

}  // namespace kivhost
