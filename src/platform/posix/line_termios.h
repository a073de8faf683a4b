// The host's line settings as the termios of a POSIX terminal.
//
// What Linux cannot do the way Windows does, and what happens instead:
// - One and a half stop bits exist only with 5 data bits, where the UART sends them when two
//   stop bits are asked for; stop code 1 is taken that way with 5 data bits and refused with 6
//   to 8, and two stop bits with 5 data bits are refused, as the Windows serial driver does.
// - Baud rates are those of the termios table (50 to 57600); any other rate is refused.
// - Parity checking: a byte received with a parity error reads as NUL, which no valid frame
//   holds (Windows keeps the byte and flags the error; the frame is invalid either way).
// - DTR and RTS handshake: Linux has no handshake that only signals the input's state. Its
//   hardware flow control (CRTSCTS) also holds output while CTS is low, which the Windows line
//   never does (its CTS output flow control is off), so a cable without CTS would hold every
//   frame the driver sends. Both lines are held on instead, which is what a handshake shows
//   while the driver keeps up with its input (and it reads every frame as it comes).
// - RTS toggle is asked of the line as RS-485 direction control (RTS on while sending).
#pragma once

#include <termios.h>

#include <cstdint>

#include "kiv/kiv_abi.h"

namespace kiv::platform {

// The termios speed of a baud rate, or B0 when the rate is not in the table.
speed_t BaudConstant(uint16_t baudRate);

// Changes the terminal state read from the line into the one the settings ask for: raw bytes,
// speed, data bits, parity, stop bits, receiver on, modem status ignored, no software flow
// control, no hardware flow control; one byte completes a read. Fields the
// settings do not concern keep their values. Returns kPortOk, or kPortStateRefused (and leaves
// 'state' unchanged) for settings the line cannot have. Only the low byte of the data-bit,
// stop-bit and parity codes counts.
int32_t ApplyLineSettings(const LineSettings& settings, termios& state);

}  // namespace kiv::platform
