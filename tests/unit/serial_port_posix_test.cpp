// The POSIX port layer over real pseudo-terminals: names, the line state it sets, one handle
// per line, refused settings, the read time-out, reads, writes and the discard of input.
#include <gtest/gtest.h>
#include <stdlib.h>
#include <termios.h>
#include <unistd.h>

#include <future>
#include <memory>
#include <string>

#include "platform/posix/line_termios.h"
#include "platform/serial_port.h"
#include "pty_device.h"

namespace {

using namespace kiv::platform;
using kivtest::PtyDevice;

const LineSettings kDefaultLine{9600, 8, 0, 0};

// An open port that is closed at the end of the test.
class OpenLine {
public:
    OpenLine(const std::string& name, const LineSettings& line = kDefaultLine,
             uint16_t flags = 0x0303)
        : result_(OpenPort(name.c_str(), line, flags, port_)) {}
    ~OpenLine() {
        if (port_ != nullptr) {
            ClosePort(port_);
        }
    }
    OpenLine(const OpenLine&) = delete;
    OpenLine& operator=(const OpenLine&) = delete;
    int32_t result() const { return result_; }
    PortHandle port() const { return port_; }

private:
    PortHandle port_ = nullptr;
    int32_t result_;
};

class SerialPortPosixTest : public testing::Test {
protected:
    void SetUp() override { ASSERT_TRUE(pty_.Ok()); }
    PtyDevice pty_;
};

TEST_F(SerialPortPosixTest, OpensByNameUnderDevAndSetsARawLine) {
    {
        OpenLine line(pty_.PortName(), LineSettings{19200, 8, 2, 0});
        ASSERT_EQ(line.result(), kPortOk);
        const termios state = pty_.LineState();
        EXPECT_EQ(cfgetospeed(&state), static_cast<speed_t>(B19200));
        EXPECT_EQ(cfgetispeed(&state), static_cast<speed_t>(B19200));
        EXPECT_EQ(state.c_cflag & CSIZE, static_cast<tcflag_t>(CS8));
        EXPECT_NE(state.c_cflag & CSTOPB, 0U);
        EXPECT_NE(state.c_cflag & CLOCAL, 0U);
        EXPECT_NE(state.c_cflag & CREAD, 0U);
        EXPECT_EQ(state.c_cflag & CRTSCTS, 0U);  // 0x0303: no handshake
        EXPECT_EQ(state.c_lflag & (ICANON | ECHO | ISIG), 0U);
        EXPECT_EQ(state.c_iflag & (ICRNL | IXON | IXOFF | ISTRIP), 0U);
        EXPECT_EQ(state.c_oflag & OPOST, 0U);
    }
    OpenLine byPath(pty_.SlavePath());
    EXPECT_EQ(byPath.result(), kPortOk);
}

TEST_F(SerialPortPosixTest, ALineHasOneHandleAtATime) {
    auto first = std::make_unique<OpenLine>(pty_.PortName());
    ASSERT_EQ(first->result(), kPortOk);
    OpenLine second(pty_.PortName());
    EXPECT_EQ(second.result(), kPortNotOpened);
    EXPECT_EQ(second.port(), nullptr);
    first.reset();
    OpenLine third(pty_.PortName());
    EXPECT_EQ(third.result(), kPortOk);
}

TEST_F(SerialPortPosixTest, RefusedSettingsLeaveTheLineClosed) {
    const LineSettings refused[] = {
        {14400, 8, 0, 0},  // not a termios rate
        {0, 8, 0, 0},     {9600, 4, 0, 0},
        {9600, 9, 0, 0},  {9600, 8, 1, 0},  // one and a half stop bits need 5 data bits
        {9600, 5, 2, 0},                    // two stop bits with 5 data bits
        {9600, 8, 3, 0},  {9600, 8, 0, 5},
    };
    for (const LineSettings& line : refused) {
        OpenLine open(pty_.PortName(), line);
        EXPECT_EQ(open.result(), kPortStateRefused)
            << line.baudRate << " " << line.dataBits << " " << line.stopBits << " " << line.parity;
        EXPECT_EQ(open.port(), nullptr);
    }
    // Only the low byte of the last three values counts; and the line was left free.
    OpenLine open(pty_.PortName(), LineSettings{9600, 0x0108, 0x0100, 0x0200});
    EXPECT_EQ(open.result(), kPortOk);
}

TEST_F(SerialPortPosixTest, AFileThatIsNoTerminalHasNoLineState) {
    char path[] = "/tmp/kiv_not_a_tty_XXXXXX";
    const int fd = mkstemp(path);
    ASSERT_GE(fd, 0);
    close(fd);
    OpenLine open(path);
    EXPECT_EQ(open.result(), kPortStateUnreadable);
    unlink(path);
    OpenLine directory("/tmp");
    EXPECT_EQ(directory.result(), kPortNotOpened);
}

TEST_F(SerialPortPosixTest, EveryHandshakeAndModemLineChoiceOpensOnAPseudoTerminal) {
    // A pseudo-terminal has no modem lines: the requests are skipped, the line opens.
    for (const uint16_t flags : {0x0303, 0x0000, 0x8000, 0x1000, 0x2000, 0x9000}) {
        OpenLine open(pty_.PortName(), kDefaultLine, flags);
        EXPECT_EQ(open.result(), kPortOk) << std::hex << flags;
        EXPECT_EQ(pty_.LineState().c_cflag & CRTSCTS, 0U) << std::hex << flags;
    }
}

TEST(LineTermios, ParityStopBitsAndDataBitsWithoutFlowControl) {
    struct Case {
        LineSettings line;
        tcflag_t size;
        tcflag_t set;    // cflag bits that must be set
        tcflag_t clear;  // cflag bits that must be clear
        bool inputCheck;
    };
    const tcflag_t parityBits = PARENB | PARODD | CMSPAR;
    const Case cases[] = {
        {{9600, 8, 0, 0}, CS8, 0, parityBits | CSTOPB | CRTSCTS, false},
        {{9600, 7, 0, 1}, CS7, PARENB | PARODD, CMSPAR, true},
        {{9600, 7, 0, 2}, CS7, PARENB, PARODD | CMSPAR, true},
        {{9600, 7, 0, 3}, CS7, PARENB | PARODD | CMSPAR, 0, true},
        {{9600, 7, 0, 4}, CS7, PARENB | CMSPAR, PARODD, true},
        {{9600, 6, 2, 0}, CS6, CSTOPB, 0, false},
        {{9600, 5, 1, 0}, CS5, CSTOPB, 0, false},  // the UART's one and a half
    };
    for (const Case& c : cases) {
        termios state{};
        state.c_cflag = PARENB | PARODD | CMSPAR | CSTOPB | CRTSCTS | HUPCL;
        state.c_iflag = ICRNL | IXON | INPCK;
        ASSERT_EQ(ApplyLineSettings(c.line, state), kPortOk);
        const std::string label = std::to_string(c.line.dataBits) + "/" +
                                  std::to_string(c.line.stopBits) + "/" +
                                  std::to_string(c.line.parity);
        EXPECT_EQ(state.c_cflag & CSIZE, c.size) << label;
        EXPECT_EQ(state.c_cflag & c.set, c.set) << label;
        EXPECT_EQ(state.c_cflag & c.clear, 0U) << label;
        EXPECT_EQ((state.c_iflag & INPCK) != 0, c.inputCheck) << label;
        EXPECT_EQ(state.c_iflag & (ICRNL | IXON), 0U) << label;
        EXPECT_NE(state.c_cflag & HUPCL, 0U) << label;  // what the settings do not concern stays
        EXPECT_EQ(state.c_cc[VMIN], 1) << label;
        EXPECT_EQ(cfgetospeed(&state), static_cast<speed_t>(B9600)) << label;
    }
    EXPECT_EQ(BaudConstant(50), static_cast<speed_t>(B50));
    EXPECT_EQ(BaudConstant(57600), static_cast<speed_t>(B57600));
    EXPECT_EQ(BaudConstant(9601), static_cast<speed_t>(B0));
}

TEST_F(SerialPortPosixTest, SetReadTimeoutReturnsThePreviousValue) {
    OpenLine line(pty_.PortName());
    ASSERT_EQ(line.result(), kPortOk);
    EXPECT_EQ(SetReadTimeout(line.port(), 20), 100);  // 1000 ms after opening
    EXPECT_EQ(SetReadTimeout(line.port(), 20), 20);   // unchanged
    EXPECT_EQ(SetReadTimeout(line.port(), 6), 20);
    EXPECT_EQ(SetReadTimeout(line.port(), 5), 6);
}

TEST_F(SerialPortPosixTest, ReadsWritesAndTheReadTimeOut) {
    OpenLine line(pty_.PortName());
    ASSERT_EQ(line.result(), kPortOk);
    SetReadTimeout(line.port(), 5);
    size_t written = 0;
    EXPECT_EQ(WriteBytes(line.port(), "\n;C ;F7D5\r", 10, written), kPortOk);
    EXPECT_EQ(written, 10U);
    EXPECT_EQ(pty_.Receive(10, 2000), "\n;C ;F7D5\r");

    ASSERT_TRUE(pty_.Send("abc"));
    char buffer[8] = {};
    size_t received = 0;
    EXPECT_EQ(ReadBytes(line.port(), buffer, 3, &received), kPortOk);
    EXPECT_EQ(std::string(buffer, received), "abc");
    // Fewer bytes than asked: the read ends after the time-out with what came.
    ASSERT_TRUE(pty_.Send("de"));
    EXPECT_EQ(ReadBytes(line.port(), buffer, 5, &received), kPortIoFailed);
    EXPECT_EQ(std::string(buffer, received), "de");
    EXPECT_EQ(ReadBytes(line.port(), buffer, 1, &received), kPortIoFailed);
    EXPECT_EQ(received, 0U);
}

// A block larger than the line's output queue: the write waits while the queue is full and
// returns once the device has taken all of it.
TEST_F(SerialPortPosixTest, AWriteLargerThanTheOutputQueueWaitsAndSendsItAll) {
    OpenLine line(pty_.PortName());
    ASSERT_EQ(line.result(), kPortOk);
    const std::string block(256 * 1024, 'x');
    auto writing = std::async(std::launch::async, [&] {
        size_t written = 0;
        const int32_t result = WriteBytes(line.port(), block.data(), block.size(), written);
        return std::make_pair(result, written);
    });
    // Nobody reads yet: the queue fills, and the write must wait rather than fail.
    EXPECT_EQ(writing.wait_for(std::chrono::milliseconds(300)), std::future_status::timeout);
    EXPECT_EQ(pty_.Receive(block.size(), 20000).size(), block.size());
    ASSERT_EQ(writing.wait_for(std::chrono::seconds(20)), std::future_status::ready);
    const auto [result, written] = writing.get();
    EXPECT_EQ(result, kPortOk);
    EXPECT_EQ(written, block.size());
}

TEST_F(SerialPortPosixTest, DiscardInputDropsWhatIsQueuedAndKeepsTheTimeOut) {
    OpenLine line(pty_.PortName());
    ASSERT_EQ(line.result(), kPortOk);
    SetReadTimeout(line.port(), 20);
    EXPECT_EQ(DiscardInput(line.port()), kPortOk);  // nothing queued
    EXPECT_EQ(SetReadTimeout(line.port(), 20), 20);
    ASSERT_TRUE(pty_.Send(std::string(1500, 'x')));  // more than one block of 512
    ASSERT_TRUE(pty_.WaitPendingForDriver(2000));
    EXPECT_EQ(DiscardInput(line.port()), kPortOk);
    EXPECT_EQ(pty_.PendingForDriver(), 0);
    EXPECT_EQ(SetReadTimeout(line.port(), 5), 20);  // put back after the 50 ms of the discard
    char byte = 0;
    EXPECT_EQ(ReadBytes(line.port(), &byte, 1, nullptr), kPortIoFailed);
}

TEST_F(SerialPortPosixTest, PurgeInputClearsTheQueue) {
    OpenLine line(pty_.PortName());
    ASSERT_EQ(line.result(), kPortOk);
    ASSERT_TRUE(pty_.Send("\n;V 1;0000\r"));
    ASSERT_TRUE(pty_.WaitPendingForDriver(2000));
    EXPECT_TRUE(PurgeInput(line.port()));
    EXPECT_EQ(pty_.PendingForDriver(), 0);
}

}  // namespace
