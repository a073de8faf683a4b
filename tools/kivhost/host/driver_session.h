// The driver as a host holds it: the library loaded by path, its KivMain, and the log lines
// each call writes.
#pragma once

#include <string>
#include <vector>

#include "base/log_entry.h"
#include "kiv/kiv_abi.h"
#include "platform/dynamic_library.h"

namespace kivhost {

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

    // Calls KivMain and collects the log lines the driver wrote meanwhile: those of the calling
    // thread alone while a log sink hands each line over (TakeLogLine), else every line.
    int32_t Call(KivRequest& request, std::vector<LogEntry>* log);

    // For the stand-in's log sink, on the thread that wrote the line: hands the line to the
    // call that thread is in, if any. 'handing' says whether a sink hands every line over.
    static void TakeLogLine(int level, const char* text);
    static void SetLogLinesHanded(bool handing);

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

}  // namespace kivhost
