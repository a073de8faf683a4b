// Line settings to termios.
#include "platform/posix/line_termios.h"

#include <array>

#include "platform/serial_port.h"

namespace kiv::platform {

namespace {

struct BaudEntry {
    uint16_t rate;
    speed_t speed;
};

constexpr BaudEntry kBaudTable[] = {
    {50, B50},     {75, B75},       {110, B110},     {134, B134},     {150, B150},   {200, B200},
    {300, B300},   {600, B600},     {1200, B1200},   {1800, B1800},   {2400, B2400}, {4800, B4800},
    {9600, B9600}, {19200, B19200}, {38400, B38400}, {57600, B57600},
};

// The rates alone, for BaudRates.
constexpr auto kBaudRates = [] {
    std::array<uint16_t, std::size(kBaudTable)> rates{};
    for (size_t k = 0; k < rates.size(); ++k) {
        rates[k] = kBaudTable[k].rate;
    }
    return rates;
}();

bool DataBitsFlag(unsigned dataBits, tcflag_t& flag) {
    switch (dataBits) {
    case 5: flag = CS5; return true;
    case 6: flag = CS6; return true;
    case 7: flag = CS7; return true;
    case 8: flag = CS8; return true;
    default: return false;
    }
}

// Win32 stop-bit codes: 0 one, 1 one and a half, 2 two.
bool StopBitsFlag(unsigned stopCode, unsigned dataBits, tcflag_t& flag) {
    switch (stopCode) {
    case 0: flag = 0; return true;
    case 1: flag = CSTOPB; return dataBits == 5;
    case 2: flag = CSTOPB; return dataBits != 5;
    default: return false;
    }
}

// Win32 parity codes: 0 none, 1 odd, 2 even, 3 mark, 4 space.
bool ParityFlags(unsigned parityCode, tcflag_t& flags) {
    switch (parityCode) {
    case 0: flags = 0; return true;
    case 1: flags = PARENB | PARODD; return true;
    case 2: flags = PARENB; return true;
    case 3: flags = PARENB | PARODD | CMSPAR; return true;
    case 4: flags = PARENB | CMSPAR; return true;
    default: return false;
    }
}

}  // namespace

std::span<const uint16_t> BaudRates() {
    return kBaudRates;
}

speed_t BaudConstant(uint16_t baudRate) {
    for (const BaudEntry& entry : kBaudTable) {
        if (entry.rate == baudRate) {
            return entry.speed;
        }
    }
    return B0;
}

int32_t ApplyLineSettings(const LineSettings& settings, termios& state) {
    const speed_t speed = BaudConstant(settings.baudRate);
    const unsigned dataBits = settings.dataBits & 0xFFU;
    tcflag_t sizeFlag = 0;
    tcflag_t stopFlag = 0;
    tcflag_t parityFlags = 0;
    if (speed == B0 || !DataBitsFlag(dataBits, sizeFlag) ||
        !StopBitsFlag(settings.stopBits & 0xFFU, dataBits, stopFlag) ||
        !ParityFlags(settings.parity & 0xFFU, parityFlags)) {
        return kPortStateRefused;
    }
    termios next = state;
    // Raw bytes both ways: no break or parity marking, no stripping or CR/LF translation, no
    // software flow control, no output processing, no echo, no line editing or signals.
    next.c_iflag &= ~static_cast<tcflag_t>(IGNBRK | BRKINT | IGNPAR | PARMRK | ISTRIP | INLCR |
                                           IGNCR | ICRNL | IXON | IXOFF | IXANY | INPCK);
    next.c_oflag &= ~static_cast<tcflag_t>(OPOST);
    next.c_lflag &= ~static_cast<tcflag_t>(ECHO | ECHONL | ICANON | ISIG | IEXTEN);
    next.c_cflag &= ~static_cast<tcflag_t>(CSIZE | CSTOPB | PARENB | PARODD | CMSPAR | CRTSCTS);
    next.c_cflag |= sizeFlag | stopFlag | parityFlags | CLOCAL | CREAD;
    if (parityFlags != 0) {
        next.c_iflag |= INPCK;
    }
    // Reads wait in poll(2) for the read time-out; a read then takes what is there.
    next.c_cc[VMIN] = 1;
    next.c_cc[VTIME] = 0;
    if (cfsetispeed(&next, speed) != 0 || cfsetospeed(&next, speed) != 0) {
        return kPortStateRefused;
    }
    state = next;
    return kPortOk;
}

}  // namespace kiv::platform
