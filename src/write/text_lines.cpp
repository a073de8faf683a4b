// Line reading with CR LF and bare LF alike, and a bound on the line length.
#include "write/text_lines.h"

namespace kiv {

LineRead ReadTextLine(std::FILE* file, char* buffer, size_t limit, TextLine& line) {
    // One byte beyond the limit is kept, so that the CR of a CR LF at the limit still fits.
    const size_t capacity = limit + 1;
    size_t length = 0;
    bool overflow = false;
    bool anything = false;
    line = TextLine{};
    for (int c = std::getc(file); c != EOF; c = std::getc(file)) {
        anything = true;
        if (c == '\n') {
            line.lineFeed = true;
            break;
        }
        if (length < capacity) {
            buffer[length++] = static_cast<char>(c);
        } else {
            overflow = true;
        }
    }
    if (!anything) {
        return LineRead::kEnd;
    }
    if (!overflow && length > 0 && buffer[length - 1] == '\r') {
        --length;
    }
    if (overflow || length > limit) {
        return LineRead::kTooLong;
    }
    line.text = std::string_view(buffer, length);
    return LineRead::kLine;
}

}  // namespace kiv
