// The host's line settings from the options a person gives, and the names of lines.
#include "system/line_settings.h"

#include <algorithm>
#include <filesystem>
#include <system_error>

#include "platform/serial_port.h"

namespace kivhost {

namespace {

// The parity and stop-bit names and the codes of the host's line settings.
struct NamedCode {
    const char* name;
    uint16_t code;
};
constexpr NamedCode kParities[] = {{"none", 0}, {"odd", 1}, {"even", 2}, {"mark", 3}, {"space", 4}};
constexpr NamedCode kStopBits[] = {{"1", 0}, {"1.5", 1}, {"2", 2}};

template <size_t N>
bool CodeOf(const NamedCode (&table)[N], const std::string& name, uint16_t& code) {
    for (const NamedCode& entry : table) {
        if (name == entry.name) {
            code = entry.code;
            return true;
        }
    }
    return false;
}

template <size_t N>
const char* NameOf(const NamedCode (&table)[N], uint16_t code) {
    for (const NamedCode& entry : table) {
        if (code == entry.code) {
            return entry.name;
        }
    }
    return "?";
}

}  // namespace

bool RateTaken(int baud) {
    const auto rates = kiv::platform::BaudRates();
    return std::find(rates.begin(), rates.end(), baud) != rates.end();
}

std::string RateListText() {
    std::string text;
    for (const uint16_t rate : kiv::platform::BaudRates()) {
        text += (text.empty() ? "" : ", ") + std::to_string(rate);
    }
    return text;
}

bool MakeLineSettings(const LineOptions& options, LineSettings& settings, std::string& message) {
    settings = LineSettings{};
    uint16_t code = 0;
    if (!RateTaken(options.baud)) {
        message = "--baud " + std::to_string(options.baud) +
                  " is not a rate the system takes: " + RateListText();
        return false;
    }
    settings.baudRate = static_cast<uint16_t>(options.baud);
    if (options.dataBits < 5 || options.dataBits > 8) {
        message = "--data-bits is 5 to 8";
        return false;
    }
    settings.dataBits = static_cast<uint16_t>(options.dataBits);
    if (!CodeOf(kParities, options.parity, code)) {
        message = "--parity is none, odd, even, mark or space";
        return false;
    }
    settings.parity = code;
    if (!CodeOf(kStopBits, options.stopBits, code)) {
        message = "--stop-bits is 1, 1.5 or 2";
        return false;
    }
    settings.stopBits = code;
    return true;
}

std::string SettingsText(const LineSettings& settings) {
    const std::string stop = NameOf(kStopBits, settings.stopBits);
    return std::to_string(settings.baudRate) + " baud, " + std::to_string(settings.dataBits) +
           " data bits, parity " + NameOf(kParities, settings.parity) + ", " + stop +
           (stop == "1" ? " stop bit" : " stop bits");
}

bool ParseControllerList(const std::string& text, std::vector<int>& controllers,
                         std::string& message) {
    bool chosen[8] = {};
    size_t at = 0;
    while (at <= text.size()) {
        const size_t comma = std::min(text.find(',', at), text.size());
        const std::string item = text.substr(at, comma - at);
        const size_t dash = item.find('-');
        const std::string first = item.substr(0, dash);
        const std::string last = dash == std::string::npos ? first : item.substr(dash + 1);
        const auto number = [](const std::string& digits) {
            return digits.size() == 1 && digits[0] >= '0' && digits[0] <= '7' ? digits[0] - '0'
                                                                              : -1;
        };
        const int from = number(first);
        const int to = number(last);
        if (from < 0 || to < from) {
            message = "'" + text + "' is not a list of controllers 0 to 7 (as 0,3,5 or 0-3)";
            return false;
        }
        for (int c = from; c <= to; ++c) {
            chosen[c] = true;
        }
        at = comma + 1;
    }
    controllers.clear();
    for (int c = 0; c < 8; ++c) {
        if (chosen[c]) {
            controllers.push_back(c);
        }
    }
    return true;
}

namespace {

bool FitPortName(const std::string& port, std::string& name) {
    name = port;
    const std::string dev = "/dev/";
    if (name.size() > KIV_PORT_NAME_SIZE && name.compare(0, dev.size(), dev) == 0) {
        name = name.substr(dev.size());
    }
    return !name.empty() && name.size() <= KIV_PORT_NAME_SIZE;
}

}  // namespace

bool DriverPortName(const std::string& port, std::string& name) {
    if (FitPortName(port, name)) {
        return true;
    }
    std::error_code error;
    const std::filesystem::path target = std::filesystem::canonical(port, error);
    return !error && target.string() != port && FitPortName(target.string(), name);
}

}  // namespace kivhost
