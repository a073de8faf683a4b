// The serial line over a POSIX terminal: termios for the line, poll(2) for the read time-out.
//
// A read waits at most the current read time-out, like a Win32 read with a total time-out
// constant: it gathers bytes until it has the count asked for or the time-out has passed since
// it began. Modem-line and RS-485 requests that the line does not know (a pseudo-terminal has
// no modem lines; the kernel answers ENOTTY or EINVAL) are skipped, so that the driver runs
// over pseudo-terminals; any other refusal is a refused line state.
//
// A line whose device is gone (a USB adapter pulled, a pseudo-terminal whose other side closed)
// hangs up: poll(2) reports POLLHUP or POLLERR, a read brings end of file, a write fails with
// EIO. Each of these is a failed read or write here, with EIO as its cause for the hang-up.
//
// The wait for input polls the line, the event it is given and a wake-up descriptor of the port
// together; ClosePort writes the wake-up and waits until every wait has let go of the port.
#include <fcntl.h>
#include <poll.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <termios.h>
#include <unistd.h>
#ifdef __linux__
#include <linux/serial.h>
#endif

#include <pthread.h>
#include <sys/eventfd.h>

#include <cerrno>
#include <climits>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <new>

#include "platform/line_control.h"
#include "platform/port_name.h"
#include "platform/posix/event_fd.h"
#include "platform/posix/line_termios.h"
#include "platform/serial_port.h"
#include "platform/sync.h"

namespace kiv::platform {

struct PortObject {
    int fd;
    bool lineDevice;  // false for the null device, which has no line and no time-outs
    int32_t readTimeoutMs;
    // The waits for input: how many hold the port, whether it is being closed, and an eventfd
    // that ClosePort sets to end them. Guarded by waitMutex.
    pthread_mutex_t waitMutex;
    pthread_cond_t waitEnded;
    int waiters;
    bool closing;
    int wakeFd;
};

namespace {

constexpr size_t kDiscardBlockSize = 512;
constexpr int32_t kDiscardTimeoutUnits = 5;

struct TimedRead {
    size_t received;
    bool failed;
};

// One read: gathers up to 'count' bytes until they are all there, the read time-out has
// passed since the start, or the device has no more to give (the null device's end of file).
TimedRead ReadWithinTimeout(const PortObject& port, unsigned char* buffer, size_t count) {
    TimedRead outcome{0, false};
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
            // End of file: the null device has no more to give; a line has hung up.
            outcome.failed = port.lineDevice;
            return outcome;
        }
        outcome.received += static_cast<size_t>(n);
    }
    return outcome;
}

// Waits until the line's output queue takes bytes again; false when poll(2) failed.
bool WaitUntilWritable(int fd) {
    pollfd entry{fd, POLLOUT, 0};
    return poll(&entry, 1, -1) >= 0 || errno == EINTR;
}

void SetError(uint32_t* systemError, int code) {
    if (systemError != nullptr) {
        *systemError = static_cast<uint32_t>(code);
    }
}

// The poll(2) time-out that reaches 'deadline' (milliseconds of MonotonicMs).
int PollTimeout(uint64_t deadline) {
    const uint64_t now = MonotonicMs();
    return now >= deadline ? 0
                           : static_cast<int>(deadline - now > INT_MAX ? INT_MAX : deadline - now);
}

// Whether poll(2) found the line's device gone.
bool HungUp(short revents) {
    return (revents & (POLLHUP | POLLERR | POLLNVAL)) != 0 && (revents & POLLIN) == 0;
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
    if (ApplyLineSettings(settings, state) != kPortOk) {
        errno = EINVAL;  // settings the termios table has no place for
        return kPortStateRefused;
    }
    if (tcsetattr(fd, TCSANOW, &state) != 0) {
        return kPortStateRefused;
    }
    // Neither handshake has a Linux counterpart: both lines are held on (see line_termios.h).
    const ModemLineControl control = DecodeControlFlags(controlFlags);
    const bool dtrOn = control.dtr != DtrControl::Disabled;
    const bool rtsOn = control.rts == RtsControl::Enabled || control.rts == RtsControl::Handshake;
    bool done = SetModemLine(fd, TIOCM_DTR, dtrOn) && SetModemLine(fd, TIOCM_RTS, rtsOn);
    if (done && control.rts == RtsControl::Toggle) {
        done = SetRtsToggle(fd);
    }
    return done ? kPortOk : kPortStateRefused;
}

// The port object of an open descriptor, with its wait-up descriptor; nullptr when either cannot
// be had.
PortObject* MakePortObject(int fd, bool lineDevice) {
    auto* object = new (std::nothrow) PortObject{};
    if (object == nullptr) {
        return nullptr;
    }
    object->fd = fd;
    object->lineDevice = lineDevice;
    object->readTimeoutMs = kOpenReadTimeoutUnits * 10;
    object->wakeFd = eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC);
    if (object->wakeFd < 0) {
        delete object;
        return nullptr;
    }
    pthread_mutex_init(&object->waitMutex, nullptr);
    pthread_cond_init(&object->waitEnded, nullptr);
    return object;
}

// Ends every wait for input on the port and waits until each has let go of it.
void EndInputWaits(PortObject& port) {
    pthread_mutex_lock(&port.waitMutex);
    port.closing = true;
    const uint64_t one = 1;
    (void)!write(port.wakeFd, &one, sizeof one);
    while (port.waiters > 0) {
        pthread_cond_wait(&port.waitEnded, &port.waitMutex);
    }
    pthread_mutex_unlock(&port.waitMutex);
}

}  // namespace

int32_t OpenPort(const char* name, const LineSettings& settings, uint16_t controlFlags,
                 PortHandle& port, uint32_t* systemError) {
    char path[kDevicePathSize];
    if (name == nullptr || !PosixDevicePath(name, path, sizeof path)) {
        SetError(systemError, ENAMETOOLONG);
        return kPortNotOpened;
    }
    const bool nullDevice = IsNullDeviceName(name);
    // Non-blocking while the line is set up, so that a line waiting for carrier cannot hold
    // the open.
    const int fd = open(path, O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) {
        SetError(systemError, errno);
        return kPortNotOpened;
    }
    const auto fail = [&](int32_t result, int error) {
        close(fd);
        SetError(systemError, error);
        return result;
    };
    if (!nullDevice) {
        // One handle per line, as on Windows: a line that another handle holds does not open.
        if (flock(fd, LOCK_EX | LOCK_NB) != 0) {
            return fail(kPortNotOpened, errno == EWOULDBLOCK ? EBUSY : errno);
        }
        const int32_t result = SetUpLine(fd, settings, controlFlags);
        if (result != kPortOk) {
            return fail(result, errno);
        }
        // Also keep out programs that do not take the lock (privileged ones still can).
        ioctl(fd, TIOCEXCL);
    }
    // The descriptor stays non-blocking: a read takes what the line holds without asking
    // poll(2) first, which saves a system call for every frame; writes wait in poll(2) while
    // the line's output queue is full, so they stay synchronous.
    PortObject* object = MakePortObject(fd, !nullDevice);
    if (object == nullptr) {
        return fail(kPortNotOpened, ENOMEM);
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
        const TimedRead outcome = ReadWithinTimeout(*port, bytes + got, count - got);
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

int32_t WriteBytes(PortHandle port, const void* bytes, size_t count, size_t& written,
                   uint32_t* systemError) {
    written = 0;
    if (port == nullptr) {
        SetError(systemError, EBADF);
        return kPortIoFailed;
    }
    const auto* data = static_cast<const unsigned char*>(bytes);
    while (written < count) {
        const ssize_t n = write(port->fd, data + written, count - written);
        if (n < 0) {
            if (errno == EINTR || (errno == EAGAIN && WaitUntilWritable(port->fd))) {
                continue;
            }
            SetError(systemError, errno);
            return kPortIoFailed;
        }
        if (n == 0) {
            break;
        }
        written += static_cast<size_t>(n);
    }
    return written == count ? kPortOk : kPortShortWrite;
}

ReadOutcome ReadAvailable(PortHandle port, void* buffer, size_t size, uint32_t timeoutMs) {
    if (port == nullptr) {
        return {kPortIoFailed, 0, EBADF};
    }
    if (!port->lineDevice || size == 0) {
        return {kPortOk, 0, 0};
    }
    const uint64_t deadline = MonotonicMs() + timeoutMs;
    for (;;) {
        const ssize_t n = read(port->fd, buffer, size);
        if (n > 0) {
            return {kPortOk, static_cast<size_t>(n), 0};
        }
        if (n == 0) {
            return {kPortIoFailed, 0, EIO};  // end of file on a line: it hung up
        }
        if (errno != EINTR && errno != EAGAIN) {
            return {kPortIoFailed, 0, static_cast<uint32_t>(errno)};
        }
        // The line holds nothing yet: wait for its first byte.
        pollfd entry{port->fd, POLLIN, 0};
        const int ready = poll(&entry, 1, PollTimeout(deadline));
        if (ready < 0 && errno != EINTR) {
            return {kPortIoFailed, 0, static_cast<uint32_t>(errno)};
        }
        if (ready == 0) {
            return {kPortOk, 0, 0};
        }
        if (ready > 0 && HungUp(entry.revents)) {
            return {kPortIoFailed, 0, EIO};
        }
    }
}

bool BeginInputWait(PortHandle port) {
    if (port == nullptr) {
        return false;
    }
    pthread_mutex_lock(&port->waitMutex);
    const bool claimed = !port->closing;
    if (claimed) {
        ++port->waiters;
    }
    pthread_mutex_unlock(&port->waitMutex);
    return claimed;
}

InputWait WaitForInput(PortHandle port, Event& wake, uint32_t timeoutMs, uint32_t* systemError) {
    // The null device's descriptor is always readable (end of file): only the others count.
    pollfd entries[3] = {{port->wakeFd, POLLIN, 0},
                         {EventWaitFd(wake), POLLIN, 0},
                         {port->lineDevice ? port->fd : -1, POLLIN, 0}};
    InputWait outcome = InputWait::kTimedOut;
    const uint64_t deadline = MonotonicMs() + timeoutMs;
    for (;;) {
        const int ready = poll(entries, 3, PollTimeout(deadline));
        if (ready < 0 && errno == EINTR) {
            continue;
        }
        if (ready < 0) {
            SetError(systemError, errno);
            outcome = InputWait::kFailed;
        } else if (entries[0].revents != 0 || entries[1].revents != 0) {
            outcome = InputWait::kWoken;
        } else if (HungUp(entries[2].revents)) {
            SetError(systemError, EIO);
            outcome = InputWait::kFailed;
        } else if (entries[2].revents != 0) {
            outcome = InputWait::kReadable;
        }
        break;
    }
    pthread_mutex_lock(&port->waitMutex);
    --port->waiters;
    pthread_cond_broadcast(&port->waitEnded);
    pthread_mutex_unlock(&port->waitMutex);
    return outcome;
}

void SystemErrorText(uint32_t code, char* text, size_t size) {
    if (size == 0) {
        return;
    }
    char buffer[128] = {};
    // The GNU strerror_r: the text is either in the buffer or a static one it points to.
    const char* words = strerror_r(static_cast<int>(code), buffer, sizeof buffer);
    std::snprintf(text, size, "%s", words != nullptr && *words != '\0' ? words : "unknown error");
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
        const TimedRead outcome = ReadWithinTimeout(*port, block, sizeof block);
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
    EndInputWaits(*port);
    if (port->lineDevice) {
        ioctl(port->fd, TIOCNXCL);
    }
    // Linux releases the descriptor even when close(2) reports an error, so the handle is gone
    // whatever it says; keeping it would risk closing a descriptor reused by someone else.
    close(port->fd);
    close(port->wakeFd);
    pthread_cond_destroy(&port->waitEnded);
    pthread_mutex_destroy(&port->waitMutex);
    delete port;
    return kPortOk;
}

}  // namespace kiv::platform
