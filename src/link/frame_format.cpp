// The frame layout, the upper-casing rule and the checksum.
#include "link/frame_format.h"

#include <array>
#include <cstdio>
#include <cstring>

namespace kiv {

namespace {

constexpr std::array<uint16_t, 256> MakeCrcTable() {
    std::array<uint16_t, 256> table{};
    for (unsigned n = 0; n < 256; ++n) {
        unsigned crc = n << 8;
        for (int bit = 0; bit < 8; ++bit) {
            crc = (crc & 0x8000U) != 0 ? (crc << 1) ^ 0x1021U : crc << 1;
        }
        table[n] = static_cast<uint16_t>(crc & 0xFFFFU);
    }
    return table;
}

constexpr std::array<uint16_t, 256> kCrcTable = MakeCrcTable();

// LF ";" before the text, ";" + four digits + CR after it.
constexpr size_t kFrameOverhead = 2 + 6;

}  // namespace

unsigned char UpperCaseChar(unsigned char byte) {
    return byte >= 0x61 && byte <= 0x7F ? static_cast<unsigned char>(byte - 0x20) : byte;
}

uint16_t Crc16(const void* bytes, size_t count) {
    const auto* data = static_cast<const unsigned char*>(bytes);
    uint16_t crc = 0;
    for (size_t i = 0; i < count; ++i) {
        const unsigned index = ((crc >> 8) ^ data[i]) & 0xFFU;
        crc = static_cast<uint16_t>((crc << 8) ^ kCrcTable[index]);
    }
    return crc;
}

size_t FinishFrame(char* buffer, size_t capacity) {
    if (capacity < kFrameOverhead + 1) {
        return 0;
    }
    // L: the text up to the second ";" counts the leading LF; the frame is L + 6 bytes and needs
    // its terminator.
    size_t length = strnlen(buffer, capacity);
    if (length + 6 + 1 > capacity) {
        length = capacity - 6 - 1;
    }
    buffer[length] = ';';
    for (size_t i = 1; i <= length; ++i) {
        buffer[i] = static_cast<char>(UpperCaseChar(static_cast<unsigned char>(buffer[i])));
    }
    const size_t frameLength = AppendChecksumTail(buffer, length + 1);
    buffer[frameLength] = '\0';
    return frameLength;
}

size_t AppendChecksumTail(char* frame, size_t length) {
    char digits[5];
    std::snprintf(digits, sizeof digits, "%04X",
                  static_cast<unsigned>(Crc16(frame + 1, length - 1)));
    std::memcpy(frame + length, digits, 4);
    frame[length + 4] = kCarriageReturn;
    return length + 5;
}

size_t ReadHexField(const char* field, size_t maxDigits, unsigned& value) {
    value = 0;
    size_t digits = 0;
    for (; digits < maxDigits; ++digits) {
        const char c = field[digits];
        unsigned digit = 0;
        if (c >= '0' && c <= '9') {
            digit = static_cast<unsigned>(c - '0');
        } else if (c >= 'A' && c <= 'F') {
            digit = static_cast<unsigned>(c - 'A' + 10);
        } else if (c >= 'a' && c <= 'f') {
            digit = static_cast<unsigned>(c - 'a' + 10);
        } else {
            break;
        }
        value = value * 16U + digit;
    }
    return digits;
}

bool IsAckFrame(const char* bytes, size_t count) {
    return count >= kAckFrameLength && bytes[0] == kLineFeed && bytes[1] == 'A' &&
           bytes[2] == kCarriageReturn;
}

size_t EscapeControlChars(const char* text, size_t count, char* out, size_t outSize) {
    if (outSize == 0) {
        return 0;
    }
    size_t written = 0;
    for (size_t i = 0; i < count && text[i] != '\0'; ++i) {
        const char* piece = nullptr;
        if (text[i] == kCarriageReturn) {
            piece = "<CR>";
        } else if (text[i] == kLineFeed) {
            piece = "<LF>";
        }
        const size_t pieceLength = piece != nullptr ? 4 : 1;
        if (written + pieceLength + 1 > outSize) {
            break;
        }
        if (piece != nullptr) {
            std::memcpy(out + written, piece, 4);
        } else {
            out[written] = text[i];
        }
        written += pieceLength;
    }
    out[written] = '\0';
    return written;
}

}  // namespace kiv
