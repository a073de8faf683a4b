// CRC-16/XMODEM computed bit by bit from the polynomial, independent of the driver's table, for
// the tests that check the driver's checksums.
#pragma once

#include <cstdint>
#include <string>

namespace kivtest {

inline uint16_t ReferenceCrc16(const std::string& bytes) {
    unsigned crc = 0;
    for (const char c : bytes) {
        crc ^= static_cast<unsigned>(static_cast<unsigned char>(c)) << 8;
        for (int bit = 0; bit < 8; ++bit) {
            crc = (crc & 0x8000U) != 0 ? (crc << 1) ^ 0x1021U : crc << 1;
        }
        crc &= 0xFFFFU;
    }
    return static_cast<uint16_t>(crc);
}

}  // namespace kivtest
