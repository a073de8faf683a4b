// Why and how kivhost run stops: the first request wins (Ctrl-C, 'quit', --duration, a failed
// script or cold start); the main thread waits on it.
#pragma once

#include <chrono>
#include <condition_variable>
#include <mutex>
#include <string>

namespace kivhost {

class StopRequest {
public:
    void Request(int exitCode, const std::string& reason) {
        {
            const std::lock_guard<std::mutex> lock(mutex_);
            if (requested_) {
                return;
            }
            requested_ = true;
            exitCode_ = exitCode;
            reason_ = reason;
        }
        wake_.notify_all();
    }
    // Waits up to 'timeout'; whether a stop was requested.
    bool Wait(std::chrono::milliseconds timeout) {
        std::unique_lock<std::mutex> lock(mutex_);
        return wake_.wait_for(lock, timeout, [this] { return requested_; });
    }
    bool Requested() {
        const std::lock_guard<std::mutex> lock(mutex_);
        return requested_;
    }
    int ExitCode() {
        const std::lock_guard<std::mutex> lock(mutex_);
        return exitCode_;
    }
    std::string Reason() {
        const std::lock_guard<std::mutex> lock(mutex_);
        return reason_;
    }

private:
    std::mutex mutex_;
    std::condition_variable wake_;
    bool requested_ = false;
    int exitCode_ = 0;
    std::string reason_;
};

}  // namespace kivhost
