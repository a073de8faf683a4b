// The modem-line control word.
#include "platform/line_control.h"

namespace kiv::platform {

ModemLineControl DecodeControlFlags(uint16_t controlFlags) {
    ModemLineControl control{DtrControl::Disabled, RtsControl::Disabled};
    if ((controlFlags & 0x0101U) != 0) {
        control.dtr = DtrControl::Enabled;
    } else if ((controlFlags & 0x8000U) != 0) {
        control.dtr = DtrControl::Handshake;
    }
    if ((controlFlags & 0x0202U) != 0) {
        control.rts = RtsControl::Enabled;
    } else if ((controlFlags & 0x1000U) != 0) {
        control.rts = RtsControl::Handshake;
    } else if ((controlFlags & 0x2000U) != 0) {
        control.rts = RtsControl::Toggle;
    }
    return control;
}

}  // namespace kiv::platform
