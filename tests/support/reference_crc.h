// CRC-16/XMODEM computed bit by bit from the polynomial, independent of the driver's table, for
// the tests that check the driver's checksums (and the benchmark that shows what the table
// saves).
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

namespace kivtest {

inline uint16_t ReferenceCrc16(const void* data, size_t count) {
    const auto* bytes = static_cast<const unsigned char*>(data);
    unsigned crc = 0;
    for (size_t i = 0; i < count; ++i) {
        crc ^= static_cast<unsigned>(bytes[i]) << 8;
        for (int bit = 0; bit < 8; ++bit) {
            crc = (crc & 0x8000U) != 0 ? (crc << 1) ^ 0x1021U : crc << 1;
        }
        crc &= 0xFFFFU;
    }
    return static_cast<uint16_t>(crc);
}

inline uint16_t ReferenceCrc16(const std::string& bytes) {
    return ReferenceCrc16(bytes.data(), bytes.size());
}

}  // namespace kivtest
