// Functions 12, 13 and 15 on real pseudo-terminals: new settings reach an open line even under
// the same name, a move to another line, and handle swaps while a receiver reads.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <cstring>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "frames.h"
#include "host_fixture.h"
#include "kiv/kiv_abi.h"
#include "link/frame_codec.h"
#include "link/frame_format.h"
#include "link_instance.h"
#include "platform/serial_port.h"
#include "platform/sync.h"
#include "pty_device.h"
#include "qorpro/qorpro_embed.h"

namespace {

using kivtest::LinkInstance;
using kivtest::PtyDevice;

int32_t Call(kiv::DriverInstance& instance, uint32_t number, void* argument = nullptr) {
    KivRequest request{};
    request.instance = &instance;
    request.functionNumber = number;
    request.instanceNumber = 1;
    request.argument = argument;
    return KivMain(&request);
}

int32_t Reconfigure(kiv::DriverInstance& instance, const std::string& name, uint16_t baud,
                    uint16_t stopBits = 0) {
    PortReconfig reconfig{};
    std::memcpy(reconfig.portName, name.data(), std::min(name.size(), sizeof reconfig.portName));
    reconfig.lineSettings = LineSettings{baud, 8, stopBits, 0};
    return Call(instance, KIV_FN_PORT_RECONFIGURE, &reconfig);
}

// Sends one frame the way a transaction does: under the port lock.
kiv::SendResult LockedSend(kiv::DriverInstance& instance, const std::string& frame) {
    kiv::platform::LockGuard guard(instance.portLock);
    return kiv::SendFrame(instance, frame.data(), frame.size());
}

class PortFunctionsPosixTest : public kivtest::HostFixture {
protected:
    void SetUp() override {
        HostFixture::SetUp();
        ASSERT_TRUE(pty_.Ok());
        instance_->readTimeout = 5;
        instance_.SetPortName(pty_.PortName());
    }
    PtyDevice pty_;
    LinkInstance instance_;
};

TEST_F(PortFunctionsPosixTest, ReconfigureAppliesNewSettingsToTheOpenLineOfTheSameName) {
    ASSERT_EQ(Call(*instance_, KIV_FN_PORT_OPEN), KIV_OK);
    const termios before = pty_.LineState();
    EXPECT_EQ(cfgetospeed(&before), static_cast<speed_t>(B9600));
    EXPECT_EQ(Reconfigure(*instance_, pty_.PortName(), 2400, 2), KIV_OK);
    const termios state = pty_.LineState();
    EXPECT_EQ(cfgetospeed(&state), static_cast<speed_t>(B2400));
    EXPECT_NE(state.c_cflag & CSTOPB, 0U);
    // The new handle works.
    const std::string query = kivtest::FinishedFrame("\n;S Q");
    EXPECT_EQ(LockedSend(*instance_, query), kiv::SendResult::kSent);
    EXPECT_EQ(pty_.Receive(query.size(), 2000), query);
    // Open on an open port keeps it and fails.
    EXPECT_EQ(Call(*instance_, KIV_FN_PORT_OPEN), KIV_FAILED);
    EXPECT_EQ(LockedSend(*instance_, query), kiv::SendResult::kSent);
    EXPECT_EQ(pty_.Receive(query.size(), 2000), query);
}

TEST_F(PortFunctionsPosixTest, ReconfigureMovesToAnotherLineAndFreesTheOld) {
    PtyDevice other;
    ASSERT_TRUE(other.Ok());
    ASSERT_EQ(Call(*instance_, KIV_FN_PORT_OPEN), KIV_OK);
    EXPECT_EQ(Reconfigure(*instance_, other.PortName(), 19200), KIV_OK);
    // The old line is free again: another handle opens it.
    kiv::platform::PortHandle old = nullptr;
    EXPECT_EQ(
        kiv::platform::OpenPort(pty_.PortName().c_str(), LineSettings{9600, 8, 0, 0}, 0x0303, old),
        kiv::platform::kPortOk);
    kiv::platform::ClosePort(old);
    const std::string query = kivtest::FinishedFrame("\n;S Q");
    EXPECT_EQ(LockedSend(*instance_, query), kiv::SendResult::kSent);
    EXPECT_EQ(other.Receive(query.size(), 2000), query);
    EXPECT_EQ(pty_.Receive(1, 50), "");
}

// The receiver's cycle as it uses the port: under the port lock, one receive at a time.
class Receiver {
public:
    explicit Receiver(kiv::DriverInstance& instance)
        : instance_(instance), thread_([this] { Run(); }) {}
    ~Receiver() {
        stop_ = true;
        thread_.join();
    }
    Receiver(const Receiver&) = delete;
    Receiver& operator=(const Receiver&) = delete;

    // Waits until a frame with this text came in.
    bool WaitFor(const std::string& frame, int timeoutMs) {
        std::unique_lock<std::mutex> lock(mutex_);
        return changed_.wait_for(lock, std::chrono::milliseconds(timeoutMs), [&] {
            for (const std::string& received : frames_) {
                if (received == frame) {
                    return true;
                }
            }
            return false;
        });
    }
    int cycles() const { return cycles_; }

private:
    void Run() {
        while (!stop_) {
            {
                kiv::platform::LockGuard guard(instance_.portLock);
                const size_t count = kiv::ReceiveFrame(instance_, instance_.rxBuffer);
                if (count > 0) {
                    const std::lock_guard<std::mutex> lock(mutex_);
                    frames_.emplace_back(instance_.rxBuffer, count);
                    changed_.notify_all();
                }
            }
            ++cycles_;
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
        }
    }

    kiv::DriverInstance& instance_;
    std::atomic<bool> stop_{false};
    std::atomic<int> cycles_{0};
    std::mutex mutex_;
    std::condition_variable changed_;
    std::vector<std::string> frames_;
    std::thread thread_;
};

TEST_F(PortFunctionsPosixTest, HandleSwapsWhileTheReceiverReads) {
    ASSERT_EQ(Call(*instance_, KIV_FN_PORT_OPEN), KIV_OK);
    Receiver receiver(*instance_);
    const uint16_t rates[] = {19200, 9600, 4800, 2400};
    for (int round = 0; round < 8; ++round) {
        EXPECT_EQ(Reconfigure(*instance_, pty_.PortName(), rates[round % 4]), KIV_OK);
        const std::string event =
            kivtest::FinishedFrame("\n;V 12:00:0" + std::to_string(round) + ",00,01,1F");
        ASSERT_TRUE(pty_.Send(event));
        EXPECT_TRUE(receiver.WaitFor(event, 5000)) << "round " << round;
    }
    EXPECT_EQ(Call(*instance_, KIV_FN_PORT_CLOSE), KIV_OK);
    EXPECT_EQ(instance_->port, nullptr);
    // The receiver goes on without a port; a frame sent meanwhile waits on the line.
    const int cyclesBefore = receiver.cycles();
    const std::string late = kivtest::FinishedFrame("\n;V 13:00:00,00,01,1F");
    ASSERT_TRUE(pty_.Send(late));
    for (int i = 0; i < 5000 && receiver.cycles() < cyclesBefore + 3; ++i) {
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    EXPECT_GE(receiver.cycles(), cyclesBefore + 3);
    EXPECT_EQ(Call(*instance_, KIV_FN_PORT_OPEN), KIV_OK);
    EXPECT_TRUE(receiver.WaitFor(late, 5000));
}

// A port that does not open says why, after the line every failed open writes: a missing device
// (function 13), a line another handle holds (13), a rate the line cannot take (15).
TEST_F(PortFunctionsPosixTest, AnOpenThatFailsNamesItsCause) {
    kiv::platform::PortHandle holder = nullptr;
    struct Case {
        std::string name;
        uint16_t baud;  // 0: function 13 with the stored settings; otherwise function 15
        int error;
    };
    const Case cases[] = {
        {"NOSUCHDEV9", 0, ENOENT},
        {pty_.PortName(), 0, EBUSY},
        {pty_.PortName(), 12345, EINVAL},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name + " " + std::to_string(c.baud));
        const bool held = c.error == EBUSY;
        if (held) {
            ASSERT_EQ(kiv::platform::OpenPort(pty_.PortName().c_str(), LineSettings{9600, 8, 0, 0},
                                              0, holder),
                      kiv::platform::kPortOk);
        }
        instance_.SetPortName(c.name);
        EXPECT_EQ(c.baud == 0 ? Call(*instance_, KIV_FN_PORT_OPEN)
                              : Reconfigure(*instance_, c.name, c.baud),
                  KIV_FAILED);
        const std::vector<kivtest::LogLine> lines = kivtest::LinesWith("COMM port " + c.name);
        ASSERT_EQ(lines.size(), 2U);
        EXPECT_EQ(lines[0].text, "RIRODI: Fail to open COMM port " + c.name);
        EXPECT_EQ(lines[1].text, "RIRODI: COMM port " + c.name +
                                     " did not open: " + std::strerror(c.error) + " (error " +
                                     std::to_string(c.error) + ")");
        if (held) {
            EXPECT_EQ(kiv::platform::ClosePort(holder), kiv::platform::kPortOk);
        }
        qorClearLog();
    }
}

// A device the user may not open: the reason says so. The open runs in a child process as a user
// without rights to the device (root, which no permission stops, becomes "nobody" there).
TEST_F(PortFunctionsPosixTest, ADeviceWithoutPermissionNamesTheCause) {
    const std::string device = "/dev/" + pty_.PortName();
    ASSERT_EQ(chmod(device.c_str(), getuid() == 0 ? 0600 : 0), 0);
    const pid_t child = fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        constexpr uid_t kNobody = 65534;
        if (getuid() == 0 && (setgid(kNobody) != 0 || setuid(kNobody) != 0)) {
            _exit(3);
        }
        qorClearLog();
        const bool failed = Call(*instance_, KIV_FN_PORT_OPEN) == KIV_FAILED;
        const std::string reason = std::string(" did not open: ") + std::strerror(EACCES) +
                                   " (error " + std::to_string(EACCES) + ")";
        _exit(failed && kivtest::LinesWith(reason).size() == 1 ? 0 : 1);
    }
    int status = 0;
    ASSERT_EQ(waitpid(child, &status, 0), child);
    ASSERT_TRUE(WIFEXITED(status));
    EXPECT_EQ(WEXITSTATUS(status), 0) << "1: not refused with the permission's reason; 3: setuid";
}

}  // namespace
