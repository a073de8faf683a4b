// The serial ports of a Linux machine: every tty in sysfs that has a device behind it (a UART
// the kernel knows of, a USB adapter), with the USB adapter's attributes and its by-id name.
#include <algorithm>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "system/serial_ports.h"

namespace kivhost {

namespace fs = std::filesystem;

namespace {

std::string FirstLine(const fs::path& path) {
    std::ifstream file(path);
    std::string line;
    std::getline(file, line);
    while (!line.empty() && (line.back() == '\r' || line.back() == ' ')) {
        line.pop_back();
    }
    return line;
}

fs::path Canonical(const fs::path& path) {
    std::error_code failure;
    fs::path resolved = fs::canonical(path, failure);
    return failure ? fs::path() : resolved;
}

// The USB attributes of the interface's device: the first folder upwards with an idVendor.
void AddUsbAttributes(const fs::path& device, const fs::path& sysRoot, SerialPortInfo& info) {
    std::error_code failure;
    for (fs::path folder = device;
         !folder.empty() && folder != sysRoot && folder.has_relative_path();
         folder = folder.parent_path()) {
        if (fs::exists(folder / "idVendor", failure)) {
            info.kind = "usb";
            info.vendorId = FirstLine(folder / "idVendor");
            info.productId = FirstLine(folder / "idProduct");
            info.serial = FirstLine(folder / "serial");
            const std::string maker = FirstLine(folder / "manufacturer");
            const std::string product = FirstLine(folder / "product");
            info.description = maker;
            info.description += maker.empty() || product.empty() ? "" : " ";
            info.description += product;
            if (info.description.empty()) {
                info.description = "USB " + info.vendorId + ":" + info.productId;
            }
            return;
        }
    }
}

// Natural order: ttyS2 before ttyS10.
bool NaturalLess(const std::string& a, const std::string& b) {
    const size_t digitsA = a.find_last_not_of("0123456789") + 1;
    const size_t digitsB = b.find_last_not_of("0123456789") + 1;
    const std::string stemA = a.substr(0, digitsA);
    const std::string stemB = b.substr(0, digitsB);
    if (stemA != stemB || digitsA == a.size() || digitsB == b.size()) {
        return a < b;
    }
    return std::strtoul(a.c_str() + digitsA, nullptr, 10) <
           std::strtoul(b.c_str() + digitsB, nullptr, 10);
}

}  // namespace

std::vector<SerialPortInfo> ListSerialPorts() {
    const char* rootText = std::getenv("KIVHOST_SYSROOT");
    const fs::path root = rootText != nullptr && rootText[0] != '\0' ? fs::path(rootText) : "/";
    std::vector<SerialPortInfo> ports;
    std::error_code failure;
    // The stable names, by the device they lead to.
    std::vector<std::pair<fs::path, std::string>> byId;
    for (const auto& entry : fs::directory_iterator(root / "dev/serial/by-id", failure)) {
        byId.emplace_back(Canonical(entry.path()), entry.path().filename().string());
    }
    for (const auto& entry : fs::directory_iterator(root / "sys/class/tty", failure)) {
        const std::string name = entry.path().filename().string();
        const fs::path device = Canonical(entry.path() / "device");
        const fs::path node = root / "dev" / name;
        if (device.empty() || !fs::exists(node, failure)) {
            continue;  // a virtual terminal, or a device without its node
        }
        // A UART slot the kernel reserved but found nothing in has type 0 (unknown).
        if (fs::exists(entry.path() / "type", failure) && FirstLine(entry.path() / "type") == "0") {
            continue;
        }
        SerialPortInfo info;
        info.port = "/dev/" + name;
        info.kind = "built-in";
        AddUsbAttributes(device, Canonical(root / "sys"), info);
        if (info.kind != "usb") {
            const fs::path driver = Canonical(device / "driver");
            info.description =
                "serial port" + (driver.empty()
                                     ? std::string()
                                     : " (kernel driver " + driver.filename().string() + ")");
        }
        const fs::path resolved = Canonical(node);
        for (const auto& [target, stable] : byId) {
            if (!resolved.empty() && target == resolved) {
                info.byId = "/dev/serial/by-id/" + stable;
            }
        }
        ports.push_back(std::move(info));
    }
    std::sort(ports.begin(), ports.end(), [](const SerialPortInfo& a, const SerialPortInfo& b) {
        return NaturalLess(a.port, b.port);
    });
    return ports;
}

}  // namespace kivhost
