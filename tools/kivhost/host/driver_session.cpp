// The driver as a host holds it.
#include "host/driver_session.h"

#include <atomic>
#include <cstring>
#include <filesystem>
#include <system_error>

#include "qorpro/qorpro_embed.h"
#include "system/installation.h"

namespace kivhost {

namespace {

// The log of the call the thread is in, while a sink hands the lines over: other threads of the
// driver (the receiver, the poll) write meanwhile, and their lines are not the call's.
thread_local std::vector<LogEntry>* tCallLog = nullptr;
std::atomic<bool> gLinesHanded{false};

void CopyLogLines(size_t first, std::vector<LogEntry>& log) {
    const size_t last = qorLogCount();
    for (size_t i = first; i < last; ++i) {
        char text[1024];
        int level = 0;
        if (qorLogLine(i, &level, text, sizeof text) == 0) {
            log.push_back(LogEntry{level, text});
        }
    }
}

}  // namespace

void DriverSession::TakeLogLine(int level, const char* text) {
    if (tCallLog != nullptr) {
        tCallLog->push_back(LogEntry{level, text});
    }
}

void DriverSession::SetLogLinesHanded(bool handing) {
    gLinesHanded = handing;
}

bool DriverSession::Load(const std::string& path) {
    if (path == kBuiltInDriver) {
        path_ = path;
        builtIn_ = true;
        kivMain_ = &KivMain;
        return true;
    }
    path_ = path;
    if (path.empty()) {
        // The first that exists; the first of all when none does, so the error names it.
        const std::vector<std::string> candidates = DriverCandidates();
        path_ = candidates.front();
        for (const std::string& candidate : candidates) {
            std::error_code ignored;
            if (std::filesystem::exists(candidate, ignored)) {
                path_ = candidate;
                break;
            }
        }
    }
    if (!library_.Load(path_)) {
        error_ = "cannot load the driver library '" + path_ + "': " + library_.Error();
        return false;
    }
    void* symbol = library_.Symbol("KivMain");
    if (symbol == nullptr) {
        error_ = "the library '" + path_ + "' has no export KivMain";
        return false;
    }
    std::memcpy(&kivMain_, &symbol, sizeof kivMain_);
    return true;
}

int32_t DriverSession::Call(KivRequest& request, std::vector<LogEntry>* log) {
    const bool handed = gLinesHanded.load();
    const size_t first = qorLogCount();
    tCallLog = handed ? log : nullptr;
    const int32_t result = kivMain_(&request);
    tCallLog = nullptr;
    if (log != nullptr && !handed) {
        CopyLogLines(first, *log);
    }
    return result;
}

int32_t DriverSession::Info(DriverInfo& info, std::vector<LogEntry>* log) {
    info = DriverInfo{};
    KivRequest request{};
    request.functionNumber = KIV_FN_GET_INFO;
    request.argument = &info;
    return Call(request, log);
}

std::vector<unsigned char> DriverSession::ZeroedInstance() {
    DriverInfo info{};
    Info(info, nullptr);
    return std::vector<unsigned char>(
        static_cast<size_t>(info.instanceSize > 0 ? info.instanceSize : 1), 0);
}

}  // namespace kivhost
