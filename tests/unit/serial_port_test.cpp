// The port layer where it is the same on both systems: names, the modem-line control word,
// the null device, and a port that is not there.
#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "platform/line_control.h"
#include "platform/port_name.h"
#include "platform/serial_port.h"

namespace {

using namespace kiv::platform;

const LineSettings kDefaultLine{9600, 8, 0, 0};

std::string Win32Path(const char* name) {
    char path[kDevicePathSize];
    return Win32DevicePath(name, path, sizeof path) ? path : "(too long)";
}

std::string PosixPath(const char* name) {
    char path[kDevicePathSize];
    return PosixDevicePath(name, path, sizeof path) ? path : "(refused)";
}

TEST(PortName, WindowsPrefixesComTenAndAbove) {
    EXPECT_EQ(Win32Path("COM1"), "COM1");
    EXPECT_EQ(Win32Path("COM9"), "COM9");
    EXPECT_EQ(Win32Path("COM10"), "\\\\.\\COM10");
    EXPECT_EQ(Win32Path("com255"), "\\\\.\\com255");
    EXPECT_EQ(Win32Path("COM09"), "COM09");
    EXPECT_EQ(Win32Path("COM10X"), "COM10X");
    EXPECT_EQ(Win32Path("COM123456789"), "\\\\.\\COM123456789");
    EXPECT_EQ(Win32Path("NUL"), "NUL");
    EXPECT_EQ(Win32Path("\\\\.\\COM12"), "\\\\.\\COM12");
    EXPECT_EQ(Win32Path(std::string(40, 'C').c_str()), "(too long)");
}

TEST(PortName, LinuxNamesWithoutSlashAreRelativeToDev) {
    EXPECT_EQ(PosixPath("NUL"), "/dev/null");
    EXPECT_EQ(PosixPath("ttyUSB0"), "/dev/ttyUSB0");
    EXPECT_EQ(PosixPath("pts/3"), "/dev/pts/3");
    EXPECT_EQ(PosixPath("COM1"), "/dev/COM1");
    EXPECT_EQ(PosixPath("/dev/ttyS0"), "/dev/ttyS0");
    EXPECT_EQ(PosixPath("nul"), "/dev/nul");  // only "NUL" is the null device
    EXPECT_EQ(PosixPath(""), "(refused)");
    EXPECT_EQ(PosixPath(std::string(40, 't').c_str()), "(refused)");
}

TEST(LineControl, TheControlWordTable) {
    struct Case {
        uint16_t flags;
        DtrControl dtr;
        RtsControl rts;
    };
    const Case cases[] = {
        {0x0303, DtrControl::Enabled, RtsControl::Enabled},
        {0x0000, DtrControl::Disabled, RtsControl::Disabled},
        {0x0001, DtrControl::Enabled, RtsControl::Disabled},
        {0x0100, DtrControl::Enabled, RtsControl::Disabled},
        {0x8000, DtrControl::Handshake, RtsControl::Disabled},
        {0x8001, DtrControl::Enabled, RtsControl::Disabled},
        {0x0002, DtrControl::Disabled, RtsControl::Enabled},
        {0x0200, DtrControl::Disabled, RtsControl::Enabled},
        {0x1000, DtrControl::Disabled, RtsControl::Handshake},
        {0x2000, DtrControl::Disabled, RtsControl::Toggle},
        {0x3000, DtrControl::Disabled, RtsControl::Handshake},
        {0x3202, DtrControl::Disabled, RtsControl::Enabled},
        {0x9000, DtrControl::Handshake, RtsControl::Handshake},
        {0x4C7C, DtrControl::Disabled, RtsControl::Disabled},  // bits without meaning
    };
    for (const Case& c : cases) {
        const ModemLineControl control = DecodeControlFlags(c.flags);
        EXPECT_EQ(control.dtr, c.dtr) << std::hex << c.flags;
        EXPECT_EQ(control.rts, c.rts) << std::hex << c.flags;
    }
}

TEST(SerialPort, TheNullDeviceOpensWithoutLineSetUp) {
    PortHandle port = nullptr;
    // Line settings the null device never sees.
    ASSERT_EQ(OpenPort("NUL", LineSettings{1, 99, 99, 99}, 0xFFFF, port), kPortOk);
    ASSERT_NE(port, nullptr);
    EXPECT_EQ(SetReadTimeout(port, 20), 0);  // it has no time-outs
    char byte = 'x';
    size_t received = 7;
    EXPECT_EQ(ReadBytes(port, &byte, 1, &received), kPortIoFailed);
    EXPECT_EQ(received, 0U);
    size_t written = 0;
    EXPECT_EQ(WriteBytes(port, "\n;C ;F7D5\r", 10, written), kPortOk);
    EXPECT_EQ(written, 10U);
    EXPECT_EQ(DiscardInput(port), kPortOk);
    EXPECT_FALSE(PurgeInput(port));
    EXPECT_EQ(ClosePort(port), kPortOk);
}

TEST(SerialPort, NoPortFailsEveryOperation) {
    char byte = 0;
    size_t count = 5;
    EXPECT_EQ(SetReadTimeout(nullptr, 20), 0);
    EXPECT_EQ(ReadBytes(nullptr, &byte, 1, &count), kPortIoFailed);
    EXPECT_EQ(count, 0U);
    EXPECT_EQ(WriteBytes(nullptr, "x", 1, count), kPortIoFailed);
    EXPECT_EQ(count, 0U);
    EXPECT_EQ(DiscardInput(nullptr), kPortNotOpened);
    EXPECT_FALSE(PurgeInput(nullptr));
    EXPECT_EQ(ClosePort(nullptr), kPortIoFailed);
}

TEST(SerialPort, AMissingDeviceDoesNotOpen) {
    for (const char* name : {"COM99", "COM250", "", "no-such-port"}) {
        PortHandle port = nullptr;
        EXPECT_EQ(OpenPort(name, kDefaultLine, 0x0303, port), kPortNotOpened) << name;
        EXPECT_EQ(port, nullptr) << name;
    }
}

}  // namespace
