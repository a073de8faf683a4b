// kivhost ports: the serial ports of this machine.
#include <algorithm>
#include <cstdio>
#include <string>

#include <CLI/CLI.hpp>

#include "base/json_text.h"
#include "cli/command.h"
#include "commands/commands.h"
#include "system/serial_ports.h"

namespace kivhost {

namespace {

Json TextOrNull(const std::string& text) {
    return text.empty() ? Json(nullptr) : ByteText(text);
}

int RunPorts(const GlobalOptions& global) {
    const std::vector<SerialPortInfo> ports = ListSerialPorts();
    if (global.json) {
        Json list = Json::array();
        for (const SerialPortInfo& port : ports) {
            list.push_back({{"port", ByteText(port.port)},
                            {"byId", TextOrNull(port.byId)},
                            {"kind", port.kind},
                            {"description", ByteText(port.description)},
                            {"vendorId", TextOrNull(port.vendorId)},
                            {"productId", TextOrNull(port.productId)},
                            {"serial", TextOrNull(port.serial)}});
        }
        std::printf("%s\n", Dump({{"ports", std::move(list)}}).c_str());
        return kExitOk;
    }
    if (ports.empty()) {
        std::printf("no serial ports found\n");
        return kExitOk;
    }
    size_t width = 4;
    for (const SerialPortInfo& port : ports) {
        width = std::max(width, port.port.size());
    }
    std::printf("%-*s  %-8s  %s\n", static_cast<int>(width), "PORT", "KIND", "DESCRIPTION");
    for (const SerialPortInfo& port : ports) {
        std::string description = port.description;
        if (!port.vendorId.empty()) {
            description += " (" + port.vendorId + ":" + port.productId +
                           (port.serial.empty() ? "" : ", serial " + port.serial) + ")";
        }
        std::printf("%-*s  %-8s  %s\n", static_cast<int>(width), port.port.c_str(),
                    port.kind.c_str(), description.c_str());
        if (!port.byId.empty()) {
            std::printf("%-*s  %-8s  %s\n", static_cast<int>(width), "", "", port.byId.c_str());
        }
    }
    return kExitOk;
}

std::function<int()> SetUpPorts(CLI::App& /*app*/, const GlobalOptions& global) {
    return [&global] { return RunPorts(global); };
}

// The rest of the command's own --help text.
std::string PortsHelp() {
    return "Lists the serial ports of this machine. On Linux: every tty in sysfs with a device\n"
           "behind it (a UART the kernel found, a USB adapter), with the USB adapter's maker,\n"
           "product, vendor and product id and serial number, and the stable name udev made for\n"
           "it in /dev/serial/by-id (which stays the same when the adapter moves to another USB\n"
           "socket). On Windows: the COM ports, with the device each stands for.\n"
           "--json prints {\"ports\"}, each {\"port\", \"byId\", \"kind\", \"description\",\n"
           "\"vendorId\", \"productId\", \"serial\"} (kind usb, built-in or com; null where "
           "unknown).\n";
}

}  // namespace

extern const Command kPortsCommand = {"ports", "list the serial ports of this machine", PortsHelp,
                                      SetUpPorts, nullptr};

}  // namespace kivhost
