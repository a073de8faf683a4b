// The serial line over a POSIX terminal: termios for the line, poll(2) for the read time-out.
//
// A read waits at most the current read time-out, like a Win32 read with a total time-out
// constant: it gathers bytes until it has the count asked for or the time-out has passed since
// it began. Modem-line and RS-485 requests that the line does not know (a pseudo-terminal has
// no modem lines; the kernel answers ENOTTY or EINVAL) are skipped, so that the driver runs
// over pseudo-terminals; any other refusal is a refused line state.
#include <fcntl.h>
#include <poll.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <termios.h>
#include <unistd.h>
#ifdef __linux__
#include <linux/serial.h>
#endif

#include <cerrno>
#include <climits>
#include <cstdint>
#include <new>

#include "platform/line_control.h"
#include "platform/port_name.h"
#include "platform/posix/line_termios.h"
#include "platform/serial_port.h"
#include "platform/sync.h"

namespace kiv::platform {

struct PortObject {
    int fd;
    bool lineDevice;  // false for the null device, which has no line and no time-outs
    int32_t readTimeoutMs;
};

namespace {

constexpr size_t kDiscardBlockSize = 512;
constexpr int32_t kDiscardTimeoutUnits = 5;

struct ReadOutcome {
    size_t received;
    bool failed;
};

// One read: gathers up to 'count' bytes until they are all there, the read time-out has
// passed since the start, or the device has no more to give (the null device's end of file).
ReadOutcome ReadWithinTimeout(const PortObject& port, unsigned char* buffer, size_t count) {
    ReadOutcome outcome{0, false};
    const uint64_t deadline = MonotonicMs() + static_cast<uint64_t>(port.readTimeoutMs);
    while (outcome.received < count) {
        const uint64_t now = MonotonicMs();
        const int wait = now >= deadline ? 0 : static_cast<int>(deadline - now);
        pollfd entry{port.fd, POLLIN, 0};
        const int ready = poll(&entry, 1, wait);
        if (ready < 0) {
            if (errno == EINTR) {
                continue;
            }
            outcome.failed = true;
            return outcome;
        }
        if (ready == 0) {
            return outcome;  // the time-out passed
        }
        const ssize_t n = read(port.fd, buffer + outcome.received, count - outcome.received);
        if (n < 0) {
            if (errno == EINTR || errno == EAGAIN) {
                continue;
            }
            outcome.failed = true;
            return outcome;
        }
        if (n == 0) {
            return outcome;  // end of file: nothing more will come
        }
        outcome.received += static_cast<size_t>(n);
    }
    return outcome;
}

// Raises or lowers one modem line; true also when the line has no modem control at all.
bool SetModemLine(int fd, int line, bool on) {
    int bits = line;
    return ioctl(fd, on ? TIOCMBIS : TIOCMBIC, &bits) == 0 || errno == ENOTTY || errno == EINVAL;
}

// RTS toggle: RTS raised by the line itself while it sends (RS-485 direction control).
bool SetRtsToggle(int fd) {
#if defined(__linux__) && defined(TIOCSRS485)
    serial_rs485 rs485{};
    rs485.flags = SER_RS485_ENABLED | SER_RS485_RTS_ON_SEND;
    return ioctl(fd, TIOCSRS485, &rs485) == 0 || errno == ENOTTY || errno == EINVAL;
#else
    (void)fd;
    return true;
#endif
}

int32_t SetUpLine(int fd, const LineSettings& settings, uint16_t controlFlags) {
    termios state{};
    if (tcgetattr(fd, &state) != 0) {
        return kPortStateUnreadable;
    }
    const ModemLineControl control = DecodeControlFlags(controlFlags);
    if (ApplyLineSettings(settings, control, state) != kPortOk ||
        tcsetattr(fd, TCSANOW, &state) != 0) {
        return kPortStateRefused;
    }
    // DTR handshake has no Linux counterpart: DTR is held on (see line_termios.h).
    const bool dtrOn = control.dtr != DtrControl::Disabled;
    const bool rtsOn = control.rts == RtsControl::Enabled || control.rts == RtsControl::Handshake;
    bool done = SetModemLine(fd, TIOCM_DTR, dtrOn) && SetModemLine(fd, TIOCM_RTS, rtsOn);
    if (done && control.rts == RtsControl::Toggle) {
        done = SetRtsToggle(fd);
    }
    return done ? kPortOk : kPortStateRefused;
}

}  // namespace

int32_t OpenPort(const char* name, const LineSettings& settings, uint16_t controlFlags,
                 PortHandle& port) {
    char path[kDevicePathSize];
    if (name == nullptr || !PosixDevicePath(name, path, sizeof path)) {
        return kPortNotOpened;
    }
    const bool nullDevice = IsNullDeviceName(name);
    // Non-blocking while the line is set up, so that a line waiting for carrier cannot hold
    // the open.
    const int fd = open(path, O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) {
        return kPortNotOpened;
    }
    if (!nullDevice) {
        // One handle per line, as on Windows: a line that another handle holds does not open.
        if (flock(fd, LOCK_EX | LOCK_NB) != 0) {
            close(fd);
            return kPortNotOpened;
        }
        const int32_t result = SetUpLine(fd, settings, controlFlags);
        if (result != kPortOk) {
            close(fd);
            return result;
        }
        // Also keep out programs that do not take the lock (privileged ones still can).
        ioctl(fd, TIOCEXCL);
    }
    // Blocking from here on: reads happen only once poll(2) saw input, writes are synchronous.
    const int flags = fcntl(fd, F_GETFL);
    auto* object = new (std::nothrow) PortObject{fd, !nullDevice, kOpenReadTimeoutUnits * 10};
    if (flags < 0 || fcntl(fd, F_SETFL, flags & ~O_NONBLOCK) != 0 || object == nullptr) {
        delete object;
        close(fd);
        return kPortNotOpened;
    }
    port = object;
    return kPortOk;
}

int32_t SetReadTimeout(PortHandle port, int32_t units) {
    if (port == nullptr || !port->lineDevice) {
        return 0;
    }
    const int64_t wanted = units < 0 ? 0 : static_cast<int64_t>(units) * 10;
    const int32_t previous = port->readTimeoutMs;
    port->readTimeoutMs = static_cast<int32_t>(wanted > INT32_MAX ? INT32_MAX : wanted);
    return previous / 10;
}

int32_t ReadBytes(PortHandle port, void* buffer, size_t count, size_t* received) {
    size_t got = 0;
    int32_t result = kPortOk;
    if (port == nullptr) {
        result = kPortIoFailed;
    }
    auto* bytes = static_cast<unsigned char*>(buffer);
    while (result == kPortOk && got < count) {
        const ReadOutcome outcome = ReadWithinTimeout(*port, bytes + got, count - got);
        got += outcome.received;
        if (outcome.failed || outcome.received == 0) {
            result = kPortIoFailed;
        }
    }
    if (received != nullptr) {
        *received = got;
    }
    return result;
}

int32_t WriteBytes(PortHandle port, const void* bytes, size_t count, size_t& written) {
    written = 0;
    if (port == nullptr) {
        return kPortIoFailed;
    }
    const auto* data = static_cast<const unsigned char*>(bytes);
    while (written < count) {
        const ssize_t n = write(port->fd, data + written, count - written);
        if (n < 0) {
            if (errno == EINTR) {
                continue;
            }
            return kPortIoFailed;
        }
        if (n == 0) {
            break;
        }
        written += static_cast<size_t>(n);
    }
    return written == count ? kPortOk : kPortShortWrite;
}

int32_t DiscardInput(PortHandle port) {
    if (port == nullptr) {
        return kPortNotOpened;
    }
    // The queue is asked first; a line that cannot be asked (the null device) is read anyway.
    int queued = 0;
    const bool askFailed = ioctl(port->fd, FIONREAD, &queued) != 0;
    if (!askFailed && queued <= 0) {
        return kPortOk;
    }
    const int32_t previous = SetReadTimeout(port, kDiscardTimeoutUnits);
    bool lastReadFailed = false;
    unsigned char block[kDiscardBlockSize];
    for (;;) {
        const ReadOutcome outcome = ReadWithinTimeout(*port, block, sizeof block);
        if (outcome.failed) {
            lastReadFailed = true;
            break;
        }
        if (outcome.received < sizeof block) {
            break;
        }
    }
    if (previous != 0) {
        SetReadTimeout(port, previous);
    }
    return lastReadFailed ? kPortNotOpened : kPortOk;
}

bool PurgeInput(PortHandle port) {
    return port != nullptr && port->lineDevice && tcflush(port->fd, TCIFLUSH) == 0;
}

int32_t ClosePort(PortHandle port) {
    if (port == nullptr) {
        return kPortIoFailed;
    }
    if (port->lineDevice) {
        ioctl(port->fd, TIOCNXCL);
    }
    // Linux releases the descriptor even when close(2) reports an error, so the handle is gone
    // whatever it says; keeping it would risk closing a descriptor reused by someone else.
    close(port->fd);
    delete port;
    return kPortOk;
}

}  // namespace kiv::platform
