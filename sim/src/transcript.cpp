#include "vxs_sim/transcript.h"

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

std::string JsonQuote(const std::string& text) {
    static constexpr char kDigits[] = "0123456789abcdef";
    std::string out = "\"";
    for (const char c : text) {
        const auto byte = static_cast<unsigned char>(c);
        if (c == '"' || c == '\\') {
            out += '\\';
            out += c;
        } else if (byte < 0x20 || byte > 0x7E) {
            out += "\\u00";
            out += kDigits[byte >> 4];
            out += kDigits[byte & 0x0F];
        } else {
            out += c;
        }
    }
    out += '"';
    return out;
}

std::string FormatJson(const TranscriptEntry& entry) {
    std::string json = "{\"t\":" + Seconds(entry.at);
    json += ",\"dir\":";
    json += JsonQuote(DirectionName(entry.direction));
    json += ",\"controller\":";
    json += entry.controller >= 0 ? std::to_string(entry.controller) : std::string("null");
    json += ",\"kind\":" + JsonQuote(entry.kind);
    json += ",\"text\":" + JsonQuote(EscapeForDisplay(entry.bytes));
    json += ",\"hex\":" + JsonQuote(HexBytes(entry.bytes));
    json += ",\"detail\":" + JsonQuote(entry.detail);
    json += '}';
    return json;
}

}  // namespace vxs_sim
