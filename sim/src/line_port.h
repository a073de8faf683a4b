// The simulator's end of the line: the master of a pseudo-terminal it creates, or a serial
// device. Reads never block; writes wait a bounded time for room.
#pragma once

#include <sys/types.h>
#include <termios.h>
#include <chrono>
#include <cstddef>
#include <string>
#include <string_view>

namespace vxs_sim {

class LinePort {
public:
    // Both throw std::invalid_argument for a rate that is not in the simulator's table.
    static LinePort OpenPty(int baud);
    static LinePort OpenDevice(const std::string& path, int baud);

    LinePort(LinePort&& other) noexcept;
    LinePort& operator=(LinePort&& other) noexcept;
    LinePort(const LinePort&) = delete;
    LinePort& operator=(const LinePort&) = delete;
    ~LinePort();

    int Fd() const { return fd_; }
    const std::string& Path() const { return path_; }

    // On a pseudo-terminal, the rate its other side (the driver) set, when it is not the
    // simulator's own (-1: one the simulator does not know); 0 when both agree, and always on a
    // device, where the wire itself garbles what is sent at another rate.
    int OtherSideRate() const;

    // Bytes available now: the count, 0 when none, -1 on an error (errno set).
    ssize_t Read(char* buffer, std::size_t size);

    // Writes all bytes unless the line takes none for 'bound'; returns how many went out.
    std::size_t Write(std::string_view bytes, std::chrono::milliseconds bound);

private:
    LinePort() = default;
    void Close();

    int fd_ = -1;
    int keepSlave_ = -1;  // the pseudo-terminal's slave, held open by the simulator itself
    speed_t speed_ = B0;  // the simulator's own rate
    std::string path_;
};

}  // namespace vxs_sim
