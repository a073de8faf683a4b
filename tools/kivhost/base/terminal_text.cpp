// Text for a terminal.
#include "base/terminal_text.h"

#include <cstdio>

namespace kivhost {

std::string TerminalSafe(const std::string& text, bool keepLineEnds) {
    std::string shown;
    shown.reserve(text.size());
    for (const char c : text) {
        const auto byte = static_cast<unsigned char>(c);
        if ((byte < 0x20 || byte == 0x7F) && !(keepLineEnds && c == '\n')) {
            char escaped[8];
            (void)std::snprintf(escaped, sizeof escaped, "\\x%02X", static_cast<unsigned>(byte));
            shown += escaped;
        } else {
            shown += c;
        }
    }
    return shown;
}

}  // namespace kivhost
