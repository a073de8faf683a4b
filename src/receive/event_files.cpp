// The event log and the setup upload file.
#include "receive/event_files.h"

#include <cstdio>
#include <cstring>

#include "receive/line_reader.h"

namespace kiv {

namespace {

struct RecordFile {
    const char* stem;
    const char* header;
};

constexpr RecordFile kEventFile = {"zezEvents", kEventFileHeader};
constexpr RecordFile kUploadFile = {"zezSetup", kSetupFileHeader};
constexpr size_t kRecordBufferSize = 1024;

bool WriteBytes(std::FILE* file, const char* bytes, size_t count) {
    return count == 0 || std::fwrite(bytes, 1, count, file) == count;
}

// The frame up to its first NUL, every LF written as CR LF.
bool WriteFrame(std::FILE* file, const char* frame, size_t length) {
    const size_t end = strnlen(frame, length);
    size_t from = 0;
    for (size_t i = 0; i < end; ++i) {
        if (frame[i] == '\n') {
            if (!WriteBytes(file, frame + from, i - from) || !WriteBytes(file, "\r\n", 2)) {
                return false;
            }
            from = i + 1;
        }
    }
    return WriteBytes(file, frame + from, end - from);
}

bool AppendRecord(const RecordFile& kind, int32_t instanceNumber, int32_t& state, const char* frame,
                  size_t length) {
    char name[kFileNameSize];
    DriverFileName(name, kind.stem, instanceNumber);
    bool create = state == 0;
    std::FILE* file = std::fopen(name, create ? "wb" : "ab");
    if (file == nullptr) {
        return false;
    }
    // A record fits: the system is not asked for the block size of every file opened.
    char buffer[kRecordBufferSize];
    (void)std::setvbuf(file, buffer, _IOFBF, sizeof buffer);
    bool written = true;
    // A file that was deleted while the instance ran is begun again with its header. Where the
    // library opens for appending at the end, a position past 0 says so without a seek.
    if (!create && std::ftell(file) <= 0 && std::fseek(file, 0, SEEK_END) == 0 &&
        std::ftell(file) == 0) {
        create = true;
    }
    if (create) {
        written =
            WriteBytes(file, kind.header, std::strlen(kind.header)) && WriteBytes(file, "\r\n", 2);
    }
    written = written && WriteFrame(file, frame, length);
    written = std::fclose(file) == 0 && written;
    if (create && written) {
        state = 1;
    }
    return written;
}

}  // namespace

bool AppendEventRecord(DriverInstance& instance, const char* frame, size_t length) {
    return AppendRecord(kEventFile, instance.instanceNumber, instance.eventsFileState, frame,
                        length);
}

bool AppendUploadRecord(DriverInstance& instance, const char* frame, size_t length) {
    return AppendRecord(kUploadFile, instance.instanceNumber, instance.setupFileState, frame,
                        length);
}

}  // namespace kiv
