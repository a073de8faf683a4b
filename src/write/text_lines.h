// Reading the driver's text files line by line. Files are opened in binary, so that they read the
// same on every platform: a line ends at LF, and a CR just before that LF (or just before the end
// of the file) belongs to the line end, so CR LF and bare LF files give the same lines.
#pragma once

#include <cstddef>
#include <cstdio>
#include <string_view>

namespace kiv {

// What ReadTextLine found.
enum class LineRead {
    kLine,     // a line of at most the limit's characters
    kTooLong,  // a longer line: read and dropped whole, up to and including its line end
    kEnd,      // the end of the file, or a read error
};

// One line without its line end.
struct TextLine {
    std::string_view text;  // points into the caller's buffer; may hold any byte but LF
    bool lineFeed = false;  // false for a last line that the end of the file ended
};

// Reads the next line into 'buffer', which holds limit + 1 bytes: lines of up to 'limit'
// characters (the line end not counted) are kept whole in it. A longer line never spills into
// the next read.
LineRead ReadTextLine(std::FILE* file, char* buffer, size_t limit, TextLine& line);

}  // namespace kiv
