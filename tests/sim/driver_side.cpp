#include "driver_side.h"

#include "reference_crc.h"

#include <fcntl.h>
#include <poll.h>
#include <termios.h>
#include <unistd.h>

#include <array>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <stdexcept>
#include <utility>

namespace simtest {

std::string TestFrame(std::string_view text) {
    // Built by appending into one reserved string: g++ 12 at -O3 takes a chain of operator+ on
    // strings for an overlapping copy and warns (-Wrestrict) where there is none.
    std::string frame;
    frame.reserve(text.size() + 8);
    frame += '\n';
    frame += ';';
    frame.append(text);
    frame += ';';
    std::array<char, 8> digits{};
    std::snprintf(digits.data(), digits.size(), "%04X",
                  kivtest::ReferenceCrc16(frame.data() + 1, frame.size() - 1));
    frame.append(digits.data(), 4);
    frame += '\r';
    return frame;
}

std::optional<std::string> FrameText(std::string_view frame) {
    const std::size_t n = frame.size();
    if (n < 8 || frame[0] != '\n' || frame[1] != ';' || frame[n - 6] != ';' ||
        frame[n - 1] != '\r') {
        return std::nullopt;
    }
    unsigned value = 0;
    for (std::size_t i = n - 5; i < n - 1; ++i) {
        const char c = frame[i];
        unsigned digit = 0;
        if (c >= '0' && c <= '9') {
            digit = static_cast<unsigned>(c - '0');
        } else if (c >= 'A' && c <= 'F') {
            digit = static_cast<unsigned>(c - 'A' + 10);
        } else if (c >= 'a' && c <= 'f') {
            digit = static_cast<unsigned>(c - 'a' + 10);
        } else {
            return std::nullopt;
        }
        value = value * 16 + digit;
    }
    if (value != kivtest::ReferenceCrc16(frame.data() + 1, n - 6)) return std::nullopt;
    return std::string(frame.substr(2, n - 8));
}

DriverSide::DriverSide(const std::string& path) {
    fd_ = open(path.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK);
    if (fd_ < 0) throw std::runtime_error("cannot open " + path + ": " + std::strerror(errno));
    termios settings{};
    tcgetattr(fd_, &settings);
    cfmakeraw(&settings);
    tcsetattr(fd_, TCSANOW, &settings);
}

DriverSide DriverSide::Adopt(int fd) {
    DriverSide side;
    side.fd_ = fd;
    return side;
}

DriverSide::DriverSide(DriverSide&& other) noexcept
    : fd_(std::exchange(other.fd_, -1)), pending_(std::move(other.pending_)) {}

DriverSide::~DriverSide() {
    if (fd_ >= 0) close(fd_);
}

void DriverSide::Write(std::string_view bytes) {
    std::size_t done = 0;
    while (done < bytes.size()) {
        const ssize_t wrote = write(fd_, bytes.data() + done, bytes.size() - done);
        if (wrote > 0) {
            done += static_cast<std::size_t>(wrote);
        } else if (wrote < 0 && errno != EAGAIN && errno != EINTR) {
            throw std::runtime_error(std::string("write failed: ") + std::strerror(errno));
        } else {
            pollfd out{fd_, POLLOUT, 0};
            poll(&out, 1, 100);
        }
    }
}

bool DriverSide::Fill(std::chrono::milliseconds wait) {
    pollfd in{fd_, POLLIN, 0};
    if (poll(&in, 1, static_cast<int>(wait.count())) <= 0) return false;
    std::array<char, 512> buffer{};
    const ssize_t got = read(fd_, buffer.data(), buffer.size());
    if (got <= 0) return false;
    pending_.append(buffer.data(), static_cast<std::size_t>(got));
    return true;
}

std::vector<std::string> DriverSide::ReadFrames(std::size_t count,
                                                std::chrono::milliseconds timeout) {
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    std::vector<std::string> frames;
    while (frames.size() < count) {
        const std::size_t cr = pending_.find('\r');
        if (cr != std::string::npos) {
            frames.push_back(pending_.substr(0, cr + 1));
            pending_.erase(0, cr + 1);
            continue;
        }
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
            deadline - std::chrono::steady_clock::now());
        if (left.count() <= 0) break;
        Fill(left);
    }
    return frames;
}

std::string DriverSide::ReadFrame(std::chrono::milliseconds timeout) {
    std::vector<std::string> frames = ReadFrames(1, timeout);
    return frames.empty() ? std::string() : frames.front();
}

std::string DriverSide::ReadUntilQuiet(std::chrono::milliseconds quiet,
                                       std::chrono::milliseconds timeout) {
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    while (std::chrono::steady_clock::now() < deadline && Fill(quiet)) {
    }
    std::string all = std::move(pending_);
    pending_.clear();
    return all;
}

bool DriverSide::QuietFor(std::chrono::milliseconds window) {
    if (!pending_.empty()) return false;
    return !Fill(window);
}

}  // namespace simtest
