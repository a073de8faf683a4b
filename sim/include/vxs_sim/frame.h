// The simulator's own frame codec: it shares no code with the driver, so that the two check
// each other. A frame is LF, ";", command text, ";", CRC-16/XMODEM of both ";" and the text
// between them as four hexadecimal digits, CR; the acknowledgement is LF "A" CR.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

namespace vxs_sim {

inline constexpr char kLf = '\x0A';
inline constexpr char kCr = '\x0D';

// The longest frame either side handles, in bytes.
inline constexpr std::size_t kMaxFrameLength = 255;

// CRC-16/XMODEM: polynomial 0x1021, initial value 0, no reflection, no final XOR. Computed bit
// by bit, on purpose unlike the driver's table.
uint16_t Crc16Xmodem(std::string_view bytes);

// How the checksum digits of a frame are written.
enum class ChecksumStyle {
    kCorrect,    // four upper-case digits, as every controller sends them
    kWrong,      // upper-case digits of a checksum that does not match
    kLowerCase,  // the right checksum with lower-case digits a to f
};

// LF ";" text ";" checksum CR. The text is taken as it is (no upper-casing).
std::string BuildFrame(std::string_view commandText, ChecksumStyle style = ChecksumStyle::kCorrect);

// LF "A" CR.
std::string AckFrame();

// What a complete received frame (LF ... CR) holds.
struct ParsedFrame {
    enum class Kind {
        kAck,          // LF "A" CR
        kFrame,        // a well-formed frame with a matching checksum
        kBadChecksum,  // laid out as a frame, but the checksum does not match
        kMalformed,    // not laid out as a frame at all
    };
    Kind kind = Kind::kMalformed;
    std::string text;     // the command text between the two ";" (kFrame and kBadChecksum)
    int controller = -1;  // the controller addressed: ">c" prefix, else 0; -1 when unreadable
    std::string command;  // the command text after the controller prefix
};

// Parses one frame from its LF through its CR. The checksum digits may be of either case.
ParsedFrame ParseFrame(std::string_view bytes);

// A printable copy: LF as "<LF>", CR as "<CR>", other bytes outside 0x20 to 0x7E as "\xNN".
std::string EscapeForDisplay(std::string_view bytes);

// The bytes as lower-case hexadecimal pairs.
std::string HexBytes(std::string_view bytes);

}  // namespace vxs_sim
