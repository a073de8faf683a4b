// The floor under the driver's CPU per event: what any program serving these lines pays on
// this machine. A thread for each simulator's pseudo-terminal waits for input (poll), reads what
// came and acknowledges every frame ("<LF>A<CR>"), and with 'records' also appends the frame to
// a file of its own as the driver's event log does (open, fstat, writev, close). Nothing is
// parsed, no tag is stored: the rest of the driver's CPU is its own work.
#pragma once

#include <fcntl.h>
#include <poll.h>
#include <sys/stat.h>
#include <sys/uio.h>
#include <termios.h>
#include <unistd.h>

#include <atomic>
#include <string>
#include <thread>

namespace linebench {

class FloorLine {
public:
    FloorLine(const std::string& device, size_t index, bool records)
        : fd_(open(device.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC)),
          file_("floor-" + std::to_string(index) + ".dat"),
          records_(records) {
        termios state{};
        if (fd_ < 0 || tcgetattr(fd_, &state) != 0) {
            std::fprintf(stderr, "cannot open %s\n", device.c_str());
            std::exit(1);
        }
        cfmakeraw(&state);
        tcsetattr(fd_, TCSANOW, &state);
        thread_ = std::thread([this] { Serve(); });
    }
    ~FloorLine() {
        stop_ = true;
        thread_.join();
        close(fd_);
    }
    FloorLine(const FloorLine&) = delete;
    FloorLine& operator=(const FloorLine&) = delete;

    size_t Frames() const { return frames_.load(); }

private:
    void Serve() {
        char block[512];
        while (!stop_) {
            pollfd entry{fd_, POLLIN, 0};
            if (poll(&entry, 1, 100) <= 0) {
                continue;
            }
            const ssize_t n = read(fd_, block, sizeof block);
            for (ssize_t i = 0; i < n; ++i) {
                if (block[i] == '\r') {
                    Frame(block, static_cast<size_t>(i + 1));
                }
            }
        }
    }
    void Frame(const char* bytes, size_t count) {
        (void)!write(fd_, "\nA\r", 3);
        if (records_) {
            const int file = open(file_.c_str(), O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, 0644);
            struct stat state {};
            (void)fstat(file, &state);
            iovec part{const_cast<char*>(bytes), count};
            (void)!writev(file, &part, 1);
            close(file);
        }
        ++frames_;
    }

    const int fd_;
    const std::string file_;
    const bool records_;
    std::atomic<bool> stop_{false};
    std::atomic<size_t> frames_{0};
    std::thread thread_;
};

}  // namespace linebench
