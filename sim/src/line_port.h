// The simulator's end of the line: the master of a pseudo-terminal it creates, or a serial
// device. Reads never block; writes wait a bounded time for room.
#pragma once

#include <sys/types.h>
#include <chrono>
#include <cstddef>
#include <string>
#include <string_view>

namespace vxs_sim {

class LinePort {
public:
    static LinePort OpenPty();
    static LinePort OpenDevice(const std::string& path, int baud);

    LinePort(LinePort&& other) noexcept;
    LinePort& operator=(LinePort&& other) noexcept;
    LinePort(const LinePort&) = delete;
    LinePort& operator=(const LinePort&) = delete;
    ~LinePort();

    int Fd() const { return fd_; }
    const std::string& Path() const { return path_; }

    // Bytes available now: the count, 0 when none, -1 on an error (errno set).
    ssize_t Read(char* buffer, std::size_t size);

    // Writes all bytes unless the line takes none for 'bound'; returns how many went out.
    std::size_t Write(std::string_view bytes, std::chrono::milliseconds bound);

private:
    LinePort() = default;
    void Close();

    int fd_ = -1;
    int keepSlave_ = -1;  // the pseudo-terminal's slave, held open by the simulator itself
    std::string path_;
};

}  // namespace vxs_sim
