#include "fault_injector.h"

#include <stdexcept>

#include "argument_checks.h"
#include "vxs_sim/frame.h"

namespace vxs_sim {

namespace {

// In the order of kAllFaults.
constexpr std::array<const char*, kAllFaults.size()> kFaultNames = {
    "silent", "late", "badcrc", "lowercrc", "noack", "backtoback", "noise", "cut", "echo"};

std::size_t FaultIndex(Fault fault) {
    return static_cast<std::size_t>(fault);
}

}  // namespace

const char* FaultName(Fault fault) {
    return kFaultNames[FaultIndex(fault)];
}

std::optional<Fault> FaultFromName(std::string_view name) {
    for (std::size_t i = 0; i < kFaultNames.size(); ++i) {
        if (name == kFaultNames[i]) return kAllFaults[i];
    }
    return std::nullopt;
}

FaultInjector::FaultInjector(uint32_t noiseSeed, TranscriptLog& transcript)
    : noise_(noiseSeed), transcript_(transcript) {
    for (auto& controller : settings_) controller.fill(FaultSetting{false});
}

FaultSetting& FaultInjector::At(int controller, Fault fault) {
    CheckController(controller);
    return settings_[static_cast<std::size_t>(controller)][FaultIndex(fault)];
}

const FaultSetting& FaultInjector::At(int controller, Fault fault) const {
    CheckController(controller);
    return settings_[static_cast<std::size_t>(controller)][FaultIndex(fault)];
}

void FaultInjector::Set(int controller, Fault fault, const FaultSetting& setting) {
    if (controller != -1) CheckController(controller);
    if (setting.count < 0) throw std::invalid_argument("a fault's count cannot be negative");
    if (setting.delay.count() < 0) throw std::invalid_argument("a delay cannot be negative");
    CheckRange(setting.noiseBytes, 1, kMaxNoiseBytes, "noise bytes");
    for (int c = 0; c < kControllerCount; ++c) {
        if (controller == -1 || c == controller) At(c, fault) = setting;
    }
    transcript_.Note(controller, "fault",
                     std::string(FaultName(fault)) + (setting.on ? " on" : " off"));
}

bool FaultInjector::Active(int controller, Fault fault) const {
    return At(controller, fault).on;
}

bool FaultInjector::ActiveAnywhere(Fault fault) const {
    for (int controller = 0; controller < kControllerCount; ++controller) {
        if (Active(controller, fault)) return true;
    }
    return false;
}

std::optional<FaultSetting> FaultInjector::Apply(int controller, Fault fault) {
    FaultSetting& setting = At(controller, fault);
    if (!setting.on) return std::nullopt;
    const FaultSetting applied = setting;
    if (setting.count > 0 && --setting.count == 0) setting.on = false;
    return applied;
}

OutgoingPiece FaultInjector::Frame(int controller, const std::string& kind,
                                   const std::string& text) {
    OutgoingPiece piece{controller, kind, "", text.empty() ? std::string("end of upload") : text};
    ChecksumStyle style = ChecksumStyle::kCorrect;
    if (Apply(controller, Fault::kBadChecksum)) {
        style = ChecksumStyle::kWrong;
        AddDetail(piece.detail, "fault badcrc");
    } else if (Apply(controller, Fault::kLowerCaseChecksum)) {
        style = ChecksumStyle::kLowerCase;
        AddDetail(piece.detail, "fault lowercrc");
    }
    piece.bytes = BuildFrame(text, style);
    if (Apply(controller, Fault::kCutShort)) {
        piece.bytes.resize(piece.bytes.size() / 2);
        AddDetail(piece.detail, "fault cut");
    }
    if (const std::optional<FaultSetting> noise = Apply(controller, Fault::kNoise)) {
        piece.bytes.insert(0, Noise(static_cast<std::size_t>(noise->noiseBytes)));
        AddDetail(piece.detail, "fault noise");
    }
    return piece;
}

std::string FaultInjector::Noise(std::size_t count) {
    if (count == 0 || count > static_cast<std::size_t>(kMaxNoiseBytes)) {
        throw std::invalid_argument("noise is 1 to " + std::to_string(kMaxNoiseBytes) + " bytes");
    }
    std::uniform_int_distribution<int> byte(0, 255);
    std::string noise;
    while (noise.size() < count) {
        const char c = static_cast<char>(byte(noise_));
        if (c != kLf && c != kCr) noise += c;
    }
    return noise;
}

}  // namespace vxs_sim
