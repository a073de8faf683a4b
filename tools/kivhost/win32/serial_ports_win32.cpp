// The COM ports of a Windows machine: the system's MS-DOS device names COMn, with the device
// each stands for.
#include <windows.h>

#include <algorithm>
#include <cstdlib>
#include <string>
#include <vector>

#include "serial_ports.h"

namespace kivhost {

namespace {

bool IsComName(const std::string& name) {
    return name.size() > 3 && name.compare(0, 3, "COM") == 0 &&
           name.find_first_not_of("0123456789", 3) == std::string::npos;
}

}  // namespace

std::vector<SerialPortInfo> ListSerialPorts() {
    std::vector<SerialPortInfo> ports;
    std::vector<char> names(65536);
    DWORD length = 0;
    while ((length = QueryDosDeviceA(nullptr, names.data(), static_cast<DWORD>(names.size()))) ==
               0 &&
           GetLastError() == ERROR_INSUFFICIENT_BUFFER && names.size() < (16u << 20)) {
        names.resize(names.size() * 2);
    }
    for (size_t at = 0; at < length && names[at] != '\0';) {
        const std::string name(names.data() + at);
        at += name.size() + 1;
        if (!IsComName(name)) {
            continue;
        }
        SerialPortInfo info;
        info.port = name;
        info.kind = "com";
        char target[1024] = {};
        if (QueryDosDeviceA(name.c_str(), target, sizeof target) != 0) {
            info.description = target;
        }
        ports.push_back(std::move(info));
    }
    std::sort(ports.begin(), ports.end(), [](const SerialPortInfo& a, const SerialPortInfo& b) {
        return std::strtoul(a.port.c_str() + 3, nullptr, 10) <
               std::strtoul(b.port.c_str() + 3, nullptr, 10);
    });
    return ports;
}

}  // namespace kivhost
