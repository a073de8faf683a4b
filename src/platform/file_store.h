// Writing the driver's files so that they survive a crash or a full disk in one piece.
//
// A file that is rewritten (the badge database) is written whole under a temporary name beside
// it, made durable, and then put in place of the old one in one step: a process killed at any
// moment, or a disk that fills up, leaves either the old file or the new one, never a mix.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <string_view>

namespace kiv::platform {

// Writes 'count' bytes to the file; false when they did not all go out.
bool WriteToFile(std::FILE* file, const void* bytes, size_t count);

// Flushes the file's buffers and asks the system to put its data on the disk.
bool SyncFile(std::FILE* file);

// Puts the file 'source' in the place of 'target' in one step (replacing it when it exists).
bool PutFileInPlace(const char* source, const char* target);

// How AppendRecordToFile went.
enum class Appended {
    kFailed,  // the file could not be opened, or not all was written
    kRecord,  // the record was added to what the file held
    kBegun,   // the file was begun: its header, then the record
};

// Adds 'record' to the end of the file 'name' in one write, opening and closing the file for
// it, so that others may read, move or delete the file between records. 'fresh' replaces the
// file; otherwise a file that is missing or empty is created or begun with 'header' first.
Appended AppendRecordToFile(const char* name, bool fresh, std::string_view header,
                            std::string_view record);

// A seam for tests: WriteToFile fails once this many more bytes have been written through it
// (partly writing the block that crosses the limit, as a full disk does). A negative value, the
// default, never fails.
void SetWriteBudgetForTests(int64_t bytes);

}  // namespace kiv::platform
