// Lines of the driver's files, read in binary mode.
#include "receive/line_reader.h"

#include <cstdint>
#include <cstring>

namespace kiv {

namespace {

size_t ReadFile(void* context, char* buffer, size_t size) {
    return std::fread(buffer, 1, size, static_cast<std::FILE*>(context));
}

}  // namespace

LineReader::LineReader(std::FILE* file) : read_(ReadFile), context_(file) {}

int LineReader::Get() {
    if (chunkPosition_ == chunkLength_) {
        chunkLength_ = read_(context_, chunk_, sizeof chunk_);
        chunkPosition_ = 0;
        if (chunkLength_ == 0) {
            return -1;
        }
    }
    const int byte = static_cast<unsigned char>(chunk_[chunkPosition_++]);
    ++offset_;
    lastByte_ = byte;
    return byte;
}

bool LineReader::Next(TextLine& line) {
    int byte = Get();
    if (byte < 0) {
        return false;
    }
    line.start = offset_ - 1;
    line.number = ++number_;
    size_t count = 0;  // characters before the LF, a CR that ends them included
    bool lastWasCr = false;
    while (byte >= 0 && byte != '\n') {
        if (count < sizeof line_ - 1) {
            line_[count] = static_cast<char>(byte);
        }
        if (count < SIZE_MAX) {
            ++count;
        }
        lastWasCr = byte == '\r';
        byte = Get();
    }
    line.fullLength = lastWasCr ? count - 1 : count;
    line.tooLong = line.fullLength > kLineLimit;
    line.length = line.tooLong ? kLineLimit : line.fullLength;
    line_[line.length] = '\0';
    line.text = line_;
    return true;
}

size_t ReadMemoryInput(void* context, char* buffer, size_t size) {
    auto* input = static_cast<MemoryInput*>(context);
    const size_t left = input->size - input->position;
    const size_t n = left < size ? left : size;
    if (n > 0) {
        std::memcpy(buffer, input->data + input->position, n);
        input->position += n;
    }
    return n;
}

void DriverFileName(char (&name)[kFileNameSize], const char* stem, int32_t instanceNumber) {
    std::snprintf(name, sizeof name, "%s%02d.dat", stem, static_cast<int>(instanceNumber));
}

}  // namespace kiv
