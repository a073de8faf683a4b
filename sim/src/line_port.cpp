#include "line_port.h"

#include "vxs_sim/simulator.h"

#include <fcntl.h>
#include <poll.h>
#include <termios.h>
#include <unistd.h>

#include <array>
#include <cerrno>
#include <cstdlib>
#include <stdexcept>
#include <system_error>
#include <utility>

namespace vxs_sim {

namespace {

[[noreturn]] void ThrowErrno(const std::string& what) {
    throw std::system_error(errno, std::generic_category(), what);
}

// The simulator's own table of the rates it can set (termios), shared with no other program.
struct RateEntry {
    int baud;
    speed_t speed;
};
constexpr RateEntry kRates[] = {
    {50, B50},       {75, B75},         {110, B110},   {134, B134},     {150, B150},
    {200, B200},     {300, B300},       {600, B600},   {1200, B1200},   {1800, B1800},
    {2400, B2400},   {4800, B4800},     {9600, B9600}, {19200, B19200}, {38400, B38400},
    {57600, B57600}, {115200, B115200},
};

speed_t BaudConstant(int baud) {
    for (const RateEntry& entry : kRates) {
        if (entry.baud == baud) return entry.speed;
    }
    throw std::invalid_argument("unsupported baud rate " + std::to_string(baud));
}

int BaudOf(speed_t speed) {
    for (const RateEntry& entry : kRates) {
        if (entry.speed == speed) return entry.baud;
    }
    return -1;
}

// Raw bytes both ways, 8 data bits, no parity, one stop bit, no flow control, no echo.
void MakeRaw(int fd, speed_t speed, const std::string& what) {
    termios settings{};
    if (tcgetattr(fd, &settings) != 0) ThrowErrno("cannot read the line settings of " + what);
    cfmakeraw(&settings);
    settings.c_cflag |= CLOCAL | CREAD;
    settings.c_cflag &= ~static_cast<tcflag_t>(CSTOPB | PARENB | CRTSCTS);
    settings.c_iflag &= ~static_cast<tcflag_t>(IXON | IXOFF | IXANY);
    settings.c_cc[VMIN] = 0;
    settings.c_cc[VTIME] = 0;
    if (cfsetispeed(&settings, speed) != 0 || cfsetospeed(&settings, speed) != 0 ||
        tcsetattr(fd, TCSANOW, &settings) != 0) {
        ThrowErrno("cannot set the line settings of " + what);
    }
}

}  // namespace

std::vector<int> BaudRates() {
    std::vector<int> rates;
    for (const RateEntry& entry : kRates) rates.push_back(entry.baud);
    return rates;
}

LinePort LinePort::OpenPty(int baud) {
    const speed_t speed = BaudConstant(baud);
    LinePort port;
    port.fd_ = posix_openpt(O_RDWR | O_NOCTTY | O_NONBLOCK);
    if (port.fd_ < 0) ThrowErrno("cannot create a pseudo-terminal");
    if (grantpt(port.fd_) != 0 || unlockpt(port.fd_) != 0) {
        ThrowErrno("cannot unlock the pseudo-terminal");
    }
    std::array<char, 128> name{};
    if (ptsname_r(port.fd_, name.data(), name.size()) != 0) {
        ThrowErrno("cannot name the pseudo-terminal's slave");
    }
    port.path_ = name.data();
    // Without a slave descriptor of its own the master reads EIO, over and over, whenever the
    // driver has closed the slave; holding one keeps the line usable across close and reopen.
    // Raw from the start: a slave in its default cooked mode would echo every byte back.
    port.keepSlave_ = open(port.path_.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK);
    if (port.keepSlave_ < 0) ThrowErrno("cannot open " + port.path_);
    MakeRaw(port.keepSlave_, speed, port.path_);
    port.speed_ = speed;
    return port;
}

LinePort LinePort::OpenDevice(const std::string& path, int baud) {
    const speed_t speed = BaudConstant(baud);
    LinePort port;
    port.fd_ = open(path.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK);
    if (port.fd_ < 0) ThrowErrno("cannot open " + path);
    port.path_ = path;
    MakeRaw(port.fd_, speed, path);
    tcflush(port.fd_, TCIOFLUSH);
    port.speed_ = speed;
    return port;
}

int LinePort::OtherSideRate() const {
    termios settings{};
    // A device's wire makes a wrong rate garbage by itself; only the pseudo-terminal needs telling.
    if (keepSlave_ < 0 || tcgetattr(keepSlave_, &settings) != 0) return 0;
    const speed_t speed = cfgetospeed(&settings);
    return speed == speed_ ? 0 : BaudOf(speed);
}

LinePort::LinePort(LinePort&& other) noexcept
    : fd_(std::exchange(other.fd_, -1)),
      keepSlave_(std::exchange(other.keepSlave_, -1)),
      speed_(other.speed_),
      path_(std::move(other.path_)) {}

LinePort& LinePort::operator=(LinePort&& other) noexcept {
    if (this != &other) {
        Close();
        fd_ = std::exchange(other.fd_, -1);
        keepSlave_ = std::exchange(other.keepSlave_, -1);
        speed_ = other.speed_;
        path_ = std::move(other.path_);
    }
    return *this;
}

LinePort::~LinePort() {
    Close();
}

void LinePort::Close() {
    if (keepSlave_ >= 0) close(keepSlave_);
    if (fd_ >= 0) close(fd_);
    keepSlave_ = -1;
    fd_ = -1;
}

ssize_t LinePort::Read(char* buffer, std::size_t size) {
    const ssize_t got = read(fd_, buffer, size);
    if (got < 0 && (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR)) return 0;
    return got;
}

std::size_t LinePort::Write(std::string_view bytes, std::chrono::milliseconds bound) {
    const auto deadline = std::chrono::steady_clock::now() + bound;
    std::size_t done = 0;
    bool flushedStale = false;
    while (done < bytes.size()) {
        const ssize_t wrote = write(fd_, bytes.data() + done, bytes.size() - done);
        if (wrote > 0) {
            done += static_cast<std::size_t>(wrote);
            continue;
        }
        if (wrote < 0 && errno != EAGAIN && errno != EWOULDBLOCK && errno != EINTR) break;
        if (keepSlave_ >= 0 && !flushedStale) {
            // The pseudo-terminal is full: nobody has read what was sent, most likely because
            // the driver has closed the port. Those bytes are stale by now; a real line would
            // have lost them too.
            tcflush(keepSlave_, TCIFLUSH);
            flushedStale = true;
            continue;
        }
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
            deadline - std::chrono::steady_clock::now());
        if (left.count() <= 0) break;
        pollfd waitFor{fd_, POLLOUT, 0};
        poll(&waitFor, 1, static_cast<int>(left.count()));
    }
    return done;
}

}  // namespace vxs_sim
