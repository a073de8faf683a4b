// The host's modem-line control word, decoded once for both platforms.
#pragma once

#include <cstdint>

namespace kiv::platform {

enum class DtrControl { Disabled, Enabled, Handshake };
enum class RtsControl { Disabled, Enabled, Handshake, Toggle };

struct ModemLineControl {
    DtrControl dtr;
    RtsControl rts;
};

// 0x0001 or 0x0100: DTR on; else 0x8000: DTR handshake; else off.
// 0x0002 or 0x0200: RTS on; else 0x1000: RTS handshake; else 0x2000: RTS toggle; else off.
// Cold start always gives 0x0303: both lines on, no handshake.
ModemLineControl DecodeControlFlags(uint16_t controlFlags);

}  // namespace kiv::platform
