// The event log and the setup upload file.
#include "receive/event_files.h"

#include <cstdio>
#include <cstring>
#include <string_view>

#include "platform/file_store.h"
#include "receive/line_reader.h"

namespace kiv {

namespace {

struct RecordFile {
    const char* stem;
    const char* header;
};

constexpr RecordFile kEventFile = {"zezEvents", kEventFileHeader};
constexpr RecordFile kUploadFile = {"zezSetup", kSetupFileHeader};
// A frame of the receive buffer with every LF doubled, and the longer header with its CR LF.
constexpr size_t kRecordSize = 2 * kFrameBufferSize;
constexpr size_t kHeaderLineSize = sizeof kSetupFileHeader + 2;
static_assert(sizeof kSetupFileHeader >= sizeof kEventFileHeader);

// The frame up to its first NUL (at most kFrameBufferSize bytes), every LF written as CR LF.
std::string_view RecordText(const char* frame, size_t length, char (&record)[kRecordSize]) {
    const size_t end = strnlen(frame, length < kFrameBufferSize ? length : kFrameBufferSize);
    size_t count = 0;
    for (size_t i = 0; i < end; ++i) {
        if (frame[i] == '\n') {
            record[count++] = '\r';
        }
        record[count++] = frame[i];
    }
    return {record, count};
}

bool AppendRecord(const RecordFile& kind, int32_t instanceNumber, int32_t& state, const char* frame,
                  size_t length) {
    char name[kFileNameSize];
    DriverFileName(name, kind.stem, instanceNumber);
    char header[kHeaderLineSize];
    std::snprintf(header, sizeof header, "%s\r\n", kind.header);
    char record[kRecordSize];
    // A file deleted or emptied while the instance ran is begun again with its header.
    const platform::Appended appended =
        platform::AppendRecordToFile(name, state == 0, header, RecordText(frame, length, record));
    if (appended == platform::Appended::kBegun) {
        state = 1;
    }
    return appended != platform::Appended::kFailed;
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
