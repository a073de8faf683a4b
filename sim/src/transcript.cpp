#include "vxs_sim/transcript.h"

#include <nlohmann/json.hpp>

#include <array>
#include <cstdio>

#include "vxs_sim/frame.h"

namespace vxs_sim {

namespace {

std::string Seconds(std::chrono::microseconds at) {
    std::array<char, 32> buffer{};
    std::snprintf(buffer.data(), buffer.size(), "%.6f", static_cast<double>(at.count()) / 1e6);
    return buffer.data();
}

}  // namespace

const char* DirectionName(TranscriptEntry::Direction direction) {
    switch (direction) {
    case TranscriptEntry::Direction::kReceived: return "rx";
    case TranscriptEntry::Direction::kSent: return "tx";
    case TranscriptEntry::Direction::kNote: return "--";
    }
    return "--";
}

std::string FormatText(const TranscriptEntry& entry) {
    std::string line = Seconds(entry.at);
    line += ' ';
    line += DirectionName(entry.direction);
    line += entry.controller >= 0 ? " c" + std::to_string(entry.controller) : std::string(" --");
    line += ' ';
    line += entry.kind;
    if (!entry.bytes.empty()) {
        line += ' ';
        line += EscapeForDisplay(entry.bytes);
    }
    if (!entry.detail.empty()) {
        line += " (";
        line += entry.detail;
        line += ')';
    }
    return line;
}

std::string FormatJson(const TranscriptEntry& entry) {
    // In this order, for people who read the lines too.
    const nlohmann::ordered_json json = {
        {"t", std::chrono::duration<double>(entry.at).count()},
        {"dir", DirectionName(entry.direction)},
        {"controller", entry.controller >= 0 ? nlohmann::ordered_json(entry.controller) : nullptr},
        {"kind", entry.kind},
        {"text", EscapeForDisplay(entry.bytes)},
        {"hex", HexBytes(entry.bytes)},
        {"detail", entry.detail}};
    return json.dump(-1, ' ', false, nlohmann::ordered_json::error_handler_t::replace);
}

}  // namespace vxs_sim
