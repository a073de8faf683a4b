// Reading the driver's text files line by line, the same way on every platform.
//
// The files are opened in binary mode and the line ends are handled here: a line ends at LF,
// and a CR directly before that LF belongs to the line end (CR LF, as the driver writes it, or
// a bare LF). A last line without a line end is a line all the same; a CR at the very end of
// the file is taken as its (incomplete) line end too. A line holds at most kLineLimit
// characters; a longer one is reported as too long, as one line, with its first kLineLimit
// characters as its text.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdio>

namespace kiv {

// The longest line the driver reads from its files, line end not counted.
inline constexpr size_t kLineLimit = 199;

struct TextLine {
    const char* text;      // the line without its line end, terminated (when tooLong: its
                           // first kLineLimit characters)
    size_t length;         // characters in 'text'
    size_t fullLength;     // characters of the line in the file, line end not counted
    uint64_t start;        // byte offset of the line's first character in the file
    unsigned long number;  // counted from 1
    bool tooLong;          // fullLength > kLineLimit
};

class LineReader {
public:
    // Reads at most 'size' bytes into 'buffer'; returns how many it read (0 at the end).
    using ReadFunction = size_t (*)(void* context, char* buffer, size_t size);

    LineReader(ReadFunction read, void* context) : read_(read), context_(context) {}
    // Reads an open file from its current position (which counts as offset 0).
    explicit LineReader(std::FILE* file);

    LineReader(const LineReader&) = delete;
    LineReader& operator=(const LineReader&) = delete;

    // The next line; false once the input is used up. 'line.text' stays valid until the next
    // call.
    bool Next(TextLine& line);

    // Total bytes read so far, and the last byte of them (-1 before any).
    uint64_t BytesRead() const { return offset_; }
    int LastByte() const { return lastByte_; }

private:
    int Get();

    ReadFunction read_;
    void* context_;
    char chunk_[4096] = {};
    size_t chunkLength_ = 0;
    size_t chunkPosition_ = 0;
    char line_[kLineLimit + 2] = {};  // the characters, a CR that may end them, the terminator
    uint64_t offset_ = 0;
    unsigned long number_ = 0;
    int lastByte_ = -1;
};

// A reader over bytes in memory (for the loader's tests and fuzzing).
struct MemoryInput {
    const char* data;
    size_t size;
    size_t position;
};
size_t ReadMemoryInput(void* context, char* buffer, size_t size);

// The name of one of the driver's files: the stem, the instance number in two digits (at least),
// ".dat" ("zezEvents" and 1 give "zezEvents01.dat"). Files are opened by this bare name, in
// the process's current directory.
inline constexpr size_t kFileNameSize = 50;
void DriverFileName(char (&name)[kFileNameSize], const char* stem, int32_t instanceNumber);

}  // namespace kiv
