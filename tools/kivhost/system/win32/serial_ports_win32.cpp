// The COM ports of a Windows machine: the system's MS-DOS device names COM1 to COM256 that
// exist, with the device each stands for.
#include <windows.h>

#include <string>
#include <vector>

#include "system/serial_ports.h"

namespace kivhost {

namespace {

// The highest COM port number Windows gives.
constexpr int kLastComPort = 256;

}  // namespace

std::vector<SerialPortInfo> ListSerialPorts() {
    std::vector<SerialPortInfo> ports;
    // Each name asked for by itself: the list of every device name may leave out ports that a
    // driver (or Wine's dosdevices folder) provides only on request.
    for (int number = 1; number <= kLastComPort; ++number) {
        const std::string name = "COM" + std::to_string(number);
        char target[1024] = {};
        if (QueryDosDeviceA(name.c_str(), target, sizeof target) == 0) {
            continue;
        }
        SerialPortInfo info;
        info.port = name;
        info.kind = "com";
        info.description = target;
        ports.push_back(std::move(info));
    }
    return ports;
}

}  // namespace kivhost
