// The serial ports of this machine, for 'kivhost ports'. Each system lists them its own way
// (posix/, win32/): Linux from sysfs (/sys/class/tty, the adapter's USB attributes) and the
// stable names udev makes in /dev/serial/by-id; Windows from the system's COM device names.
#pragma once

#include <string>
#include <vector>

namespace kivhost {

struct SerialPortInfo {
    std::string port;         // the name to give --port: /dev/ttyUSB0, COM3
    std::string byId;         // the stable /dev/serial/by-id name, where udev made one
    std::string kind;         // "usb", "built-in", "com"
    std::string description;  // the adapter's maker and product, or what the system calls it
    std::string vendorId;     // USB adapters: four hexadecimal digits each
    std::string productId;
    std::string serial;
};

// The ports, sorted by name. On Linux the environment variable KIVHOST_SYSROOT, when set, is a
// folder read in place of / (the tests' stand-in for sysfs and /dev).
std::vector<SerialPortInfo> ListSerialPorts();

}  // namespace kivhost
