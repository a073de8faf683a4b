#include "vxs_sim/frame.h"

#include <array>

namespace vxs_sim {

namespace {

constexpr char kUpperDigits[] = "0123456789ABCDEF";
constexpr char kLowerDigits[] = "0123456789abcdef";

std::string ChecksumDigits(uint16_t crc, const char* digits) {
    std::string out(4, '0');
    for (int i = 3; i >= 0; --i) {
        out[static_cast<std::size_t>(i)] = digits[crc & 0x0F];
        crc = static_cast<uint16_t>(crc >> 4);
    }
    return out;
}

int HexDigitValue(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    return -1;
}

}  // namespace

uint16_t Crc16Xmodem(std::string_view bytes) {
    uint16_t crc = 0;
    for (const char c : bytes) {
        crc = static_cast<uint16_t>(crc ^ (static_cast<unsigned char>(c) << 8));
        for (int bit = 0; bit < 8; ++bit) {
            if ((crc & 0x8000) != 0) {
                crc = static_cast<uint16_t>((crc << 1) ^ 0x1021);
            } else {
                crc = static_cast<uint16_t>(crc << 1);
            }
        }
    }
    return crc;
}

std::string BuildFrame(std::string_view commandText, ChecksumStyle style) {
    std::string covered;
    covered.reserve(commandText.size() + 2);
    covered += ';';
    covered += commandText;
    covered += ';';
    uint16_t crc = Crc16Xmodem(covered);
    if (style == ChecksumStyle::kWrong) {
        // Any other value would do; flipping every bit can never give the right one back.
        crc = static_cast<uint16_t>(~crc);
    }
    std::string frame;
    frame.reserve(covered.size() + 6);
    frame += kLf;
    frame += covered;
    frame += ChecksumDigits(crc, style == ChecksumStyle::kLowerCase ? kLowerDigits : kUpperDigits);
    frame += kCr;
    return frame;
}

std::string AckFrame() {
    return std::string{kLf, 'A', kCr};
}

ParsedFrame ParseFrame(std::string_view bytes) {
    ParsedFrame parsed;
    if (bytes == AckFrame()) {
        parsed.kind = ParsedFrame::Kind::kAck;
        return parsed;
    }
    // LF ";" ";" four digits CR is the shortest frame: an empty command text.
    const std::size_t n = bytes.size();
    if (n < 8 || bytes.front() != kLf || bytes.back() != kCr || bytes[1] != ';' ||
        bytes[n - 6] != ';') {
        return parsed;
    }
    unsigned value = 0;
    for (std::size_t i = n - 5; i < n - 1; ++i) {
        const int digit = HexDigitValue(bytes[i]);
        if (digit < 0) return parsed;
        value = value * 16 + static_cast<unsigned>(digit);
    }
    parsed.text = std::string(bytes.substr(2, n - 8));
    parsed.kind = value == Crc16Xmodem(bytes.substr(1, n - 6)) ? ParsedFrame::Kind::kFrame
                                                               : ParsedFrame::Kind::kBadChecksum;
    if (!parsed.text.empty() && parsed.text[0] == '>') {
        if (parsed.text.size() >= 2 && parsed.text[1] >= '0' && parsed.text[1] <= '9') {
            parsed.controller = parsed.text[1] - '0';
            parsed.command = parsed.text.substr(2);
        }
    } else {
        parsed.controller = 0;
        parsed.command = parsed.text;
    }
    return parsed;
}

std::string EscapeForDisplay(std::string_view bytes) {
    std::string out;
    out.reserve(bytes.size() + 8);
    for (const char c : bytes) {
        const auto byte = static_cast<unsigned char>(c);
        if (c == kLf) {
            out += "<LF>";
        } else if (c == kCr) {
            out += "<CR>";
        } else if (byte < 0x20 || byte > 0x7E) {
            out += "\\x";
            out += kLowerDigits[byte >> 4];
            out += kLowerDigits[byte & 0x0F];
        } else {
            out += c;
        }
    }
    return out;
}

std::string HexBytes(std::string_view bytes) {
    std::string out;
    out.reserve(bytes.size() * 2);
    for (const char c : bytes) {
        const auto byte = static_cast<unsigned char>(c);
        out += kLowerDigits[byte >> 4];
        out += kLowerDigits[byte & 0x0F];
    }
    return out;
}

}  // namespace vxs_sim
