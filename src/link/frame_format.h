// The protocol frame: LF, ";", command text, ";", CRC-16/XMODEM as four upper-case
// hexadecimal digits, CR. These routines work on bytes alone; sending and receiving are in
// frame_codec.h.
#pragma once

#include <cstddef>
#include <cstdint>

namespace kiv {

inline constexpr char kLineFeed = '\x0A';
inline constexpr char kCarriageReturn = '\x0D';

// The acknowledgement frame LF "A" CR, which carries no checksum.
inline constexpr char kAckFrame[] =
    "\x0A"
    "A\x0D";
inline constexpr size_t kAckFrameLength = 3;

// Lowers the bytes 0x61 to 0x7F by 0x20 (a-z become A-Z, and {|}~ DEL become [\]^_); every other
// byte is returned unchanged.
unsigned char UpperCaseChar(unsigned char byte);

// CRC-16/XMODEM (polynomial 0x1021, initial value 0, no reflection, no final XOR), byte-wise
// with a 256-entry table.
uint16_t Crc16(const void* bytes, size_t count);

// Ends a frame whose LF, ";" and text up to its closing ";" take the first 'length' bytes of
// 'frame': the checksum of the bytes after the LF as four upper-case hexadecimal digits, then
// CR. 'frame' must hold length + 5 bytes. Returns the frame's length, length + 5.
size_t AppendChecksumTail(char* frame, size_t length);

// Turns a buffer that holds LF, ";" and a command text, and is zero past it, into a complete
// frame: closing ";", upper-casing from the first ";" on, checksum, CR. Returns the frame's
// length. The buffer must hold at least 'capacity' bytes; a text too long for a frame of
// capacity - 1 bytes and its terminator is cut so that the frame fits.
size_t FinishFrame(char* buffer, size_t capacity);

// Reads up to 'maxDigits' hexadecimal digits, in either case, from the start of 'field', ending
// at the first character that is not one (no blanks, sign or "0x"). Returns how many digits it
// read; 'value' holds their number.
size_t ReadHexField(const char* field, size_t maxDigits, unsigned& value);

// Whether the bytes begin with the acknowledgement frame.
bool IsAckFrame(const char* bytes, size_t count);

// The worst-case size of an escaped copy of 'count' bytes, terminator included: every byte a
// CR or LF that becomes four characters.
constexpr size_t EscapedSize(size_t count) {
    return count * 4 + 1;
}

// Copies 'count' bytes of 'text' (stopping early at a NUL) into 'out', with CR written as the
// four characters "<CR>" and LF as "<LF>", and terminates it. 'out' holds 'outSize' bytes; a
// copy that would not fit is cut there. Returns the length written.
size_t EscapeControlChars(const char* text, size_t count, char* out, size_t outSize);

}  // namespace kiv
