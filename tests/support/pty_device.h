// The device end of a pseudo-terminal, for the tests that run the driver's port layer over a
// real terminal: the driver opens the slave by name, the test plays the device on the master.
// POSIX only: include it from *_posix_test.cpp files.
#pragma once

#include <fcntl.h>
#include <poll.h>
#include <pty.h>
#include <sys/ioctl.h>
#include <termios.h>
#include <unistd.h>

#include <chrono>
#include <string>
#include <string_view>

namespace kivtest {

class PtyDevice {
public:
    // The test keeps the slave open too, so that the driver may close and reopen its end
    // without the master seeing a hang-up.
    PtyDevice() {
        char name[128] = {};
        if (openpty(&master_, &slave_, name, nullptr, nullptr) != 0) {
            master_ = slave_ = -1;
            return;
        }
        slavePath_ = name;
        termios raw{};
        tcgetattr(slave_, &raw);
        cfmakeraw(&raw);
        tcsetattr(slave_, TCSANOW, &raw);
    }
    ~PtyDevice() {
        HangUp();
        if (slave_ >= 0) {
            close(slave_);
        }
    }
    PtyDevice(const PtyDevice&) = delete;
    PtyDevice& operator=(const PtyDevice&) = delete;

    bool Ok() const { return master_ >= 0; }

    // Closes the device's side, as a device that disappears does: the driver's side hangs up
    // (reads bring end of file, writes fail with EIO).
    void HangUp() {
        if (master_ >= 0) {
            close(master_);
            master_ = -1;
        }
    }
    // "/dev/pts/N".
    const std::string& SlavePath() const { return slavePath_; }
    // "pts/N": the name relative to /dev, as the host's short name field holds it.
    std::string PortName() const { return slavePath_.substr(5); }

    // Device to driver.
    bool Send(std::string_view bytes) const {
        size_t done = 0;
        while (done < bytes.size()) {
            const ssize_t n = write(master_, bytes.data() + done, bytes.size() - done);
            if (n <= 0) {
                return false;
            }
            done += static_cast<size_t>(n);
        }
        return true;
    }

    // Driver to device: the bytes that arrive until 'count' are there or 'timeoutMs' passed.
    std::string Receive(size_t count, int timeoutMs) const {
        std::string bytes;
        const auto deadline =
            std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
        while (bytes.size() < count) {
            const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
                deadline - std::chrono::steady_clock::now());
            pollfd entry{master_, POLLIN, 0};
            if (left.count() <= 0 || poll(&entry, 1, static_cast<int>(left.count())) <= 0) {
                break;
            }
            char block[512];
            const size_t want =
                count - bytes.size() < sizeof block ? count - bytes.size() : sizeof block;
            const ssize_t n = read(master_, block, want);
            if (n <= 0) {
                break;
            }
            bytes.append(block, static_cast<size_t>(n));
        }
        return bytes;
    }

    // Bytes waiting on the driver's side of the line, not yet read by it.
    int PendingForDriver() const {
        int queued = 0;
        return ioctl(slave_, FIONREAD, &queued) == 0 ? queued : -1;
    }

    // Waits until the driver's side has input to read, or the time-out passes.
    bool WaitPendingForDriver(int timeoutMs) const {
        pollfd entry{slave_, POLLIN, 0};
        return poll(&entry, 1, timeoutMs) == 1;
    }

    // Waits until the driver has read everything sent to it, or the time-out passes.
    bool WaitDriverHasRead(int timeoutMs) const {
        const auto deadline =
            std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
        while (PendingForDriver() != 0) {
            if (std::chrono::steady_clock::now() >= deadline) {
                return false;
            }
            usleep(1000);
        }
        return true;
    }

    // The line state as the driver left it (both ends of the slave share it).
    termios LineState() const {
        termios state{};
        tcgetattr(slave_, &state);
        return state;
    }

private:
    int master_ = -1;
    int slave_ = -1;
    std::string slavePath_;
};

}  // namespace kivtest
