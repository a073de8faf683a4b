// The rate trial of 'kivhost scan --baud auto'.
#include "commands/scan_rates.h"

#include <algorithm>
#include <cstdio>

#include "instance/driver_instance.h"
#include "link/frame_format.h"
#include "platform/serial_port.h"
#include "system/line_settings.h"
#include "system/port_check.h"

namespace kivhost {

namespace {

using Clock = std::chrono::steady_clock;
using std::chrono::milliseconds;

// The status request of the driver's poll, finished into a frame for the controller.
std::string StatusRequest(int controller) {
    const std::string text = (controller != 0 ? ">" + std::to_string(controller) : "") + "S Q";
    char buffer[kiv::kFrameBufferSize] = {};
    buffer[0] = kiv::kLineFeed;
    buffer[1] = ';';
    text.copy(buffer + 2, text.size());
    return std::string(buffer, kiv::FinishFrame(buffer, kiv::kFrameCapacity));
}

// The wait for one controller at a rate: the request and the acknowledgement on the wire (a
// start bit, the data bits, parity and stop bits a byte), then kAcknowledgeWait.
milliseconds ControllerWait(const LineSettings& settings, size_t requestBytes) {
    const unsigned bitsPerByte = 1U + settings.dataBits + (settings.parity != 0 ? 1U : 0U) +
                                 (settings.stopBits != 0 ? 2U : 1U);
    const size_t bits = (requestBytes + kiv::kAckFrameLength) * bitsPerByte;
    const size_t wireMs = (bits * 1000 + settings.baudRate - 1) / settings.baudRate;
    return kAcknowledgeWait + milliseconds(static_cast<milliseconds::rep>(wireMs));
}

bool HoldsAck(const std::string& bytes) {
    for (size_t at = bytes.find(kiv::kLineFeed); at != std::string::npos;
         at = bytes.find(kiv::kLineFeed, at + 1)) {
        if (kiv::IsAckFrame(bytes.data() + at, bytes.size() - at)) {
            return true;
        }
    }
    return false;
}

// Sends the controller its request and waits for an acknowledgement until 'wait' has passed.
bool Acknowledges(kiv::platform::PortHandle port, int controller, milliseconds wait) {
    const Clock::time_point deadline = Clock::now() + wait;
    // An acknowledgement late for the controller before is not taken for this one's.
    (void)kiv::platform::PurgeInput(port);
    const std::string request = StatusRequest(controller);
    size_t written = 0;
    if (kiv::platform::WriteBytes(port, request.data(), request.size(), written) !=
        kiv::platform::kPortOk) {
        return false;
    }
    std::string heard;
    for (Clock::time_point now = Clock::now(); now < deadline; now = Clock::now()) {
        char buffer[256];
        const auto left = std::chrono::duration_cast<milliseconds>(deadline - now);
        const kiv::platform::ReadOutcome read = kiv::platform::ReadAvailable(
            port, buffer, sizeof buffer, static_cast<uint32_t>(left.count()));
        if (read.result != kiv::platform::kPortOk) {
            return false;
        }
        heard.append(buffer, read.count);
        if (HoldsAck(heard)) {
            return true;
        }
    }
    return false;
}

// Asks each controller at the rate of 'settings'; false when the line does not open at it.
bool TryRate(const std::string& port, const LineSettings& settings, const std::vector<int>& asked,
             RateTrial& trial) {
    kiv::platform::PortHandle handle{};
    if (kiv::platform::OpenPort(port.c_str(), settings, kColdStartControlFlags, handle) !=
        kiv::platform::kPortOk) {
        return false;
    }
    trial.tried = true;
    for (const int controller : asked) {
        const milliseconds wait = ControllerWait(settings, StatusRequest(controller).size());
        if (Acknowledges(handle, controller, wait)) {
            trial.acknowledged.push_back(controller);
        }
    }
    (void)kiv::platform::ClosePort(handle);
    return true;
}

}  // namespace

std::vector<int> RatesToTry() {
    constexpr int kCommon[] = {9600, 19200};
    std::vector<int> rates;
    for (const int rate : kCommon) {
        if (RateTaken(rate)) {
            rates.push_back(rate);
        }
    }
    const auto all = kiv::platform::BaudRates();
    for (auto rate = all.rbegin(); rate != all.rend(); ++rate) {
        if (std::find(rates.begin(), rates.end(), *rate) == rates.end()) {
            rates.push_back(*rate);
        }
    }
    return rates;
}

std::vector<RateTrial> TryRates(const std::string& port, LineSettings settings,
                                const std::vector<int>& asked, bool allRates, bool quiet) {
    const Clock::time_point deadline = Clock::now() + kRateTrialBound;
    std::vector<RateTrial> trials;
    bool found = false;
    for (const int rate : RatesToTry()) {
        RateTrial& trial = trials.emplace_back();
        trial.baud = rate;
        settings.baudRate = static_cast<uint16_t>(rate);
        const milliseconds cost =
            ControllerWait(settings, StatusRequest(7).size()) * static_cast<int>(asked.size());
        if ((found && !allRates) || Clock::now() + cost > deadline) {
            continue;
        }
        if (!quiet) {
            (void)std::fprintf(stderr, "kivhost scan: trying %s at %d baud\n", port.c_str(), rate);
        }
        found = (TryRate(port, settings, asked, trial) && !trial.acknowledged.empty()) || found;
    }
    return trials;
}

}  // namespace kivhost
