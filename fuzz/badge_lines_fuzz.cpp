// The badge-line loader on any bytes: the lines split from the input (any line ends, any
// lengths) and the fields taken from each line stay inside their buffers, every field is
// terminated, and every loaded key number is found through the index.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>

#include "instance/driver_instance.h"
#include "receive/badge_lines.h"
#include "receive/line_reader.h"

namespace {

kiv::BadgeRecord table[kiv::kBadgeCount];
uint16_t keyOrder[kiv::kBadgeCount];

template <size_t N>
void CheckTerminated(const char (&field)[N]) {
    if (std::memchr(field, '\0', N) == nullptr) {
        std::abort();
    }
}

void CheckRecord(const kiv::BadgeRecord& record) {
    CheckTerminated(record.name);
    CheckTerminated(record.name2);
    CheckTerminated(record.keyNumber);
    CheckTerminated(record.badgeCode);
    CheckTerminated(record.doorMaskHex);
    CheckTerminated(record.date);
    CheckTerminated(record.timeZones);
}

void CountProblem(void* context, unsigned long /*lineNumber*/, kiv::BadgeLineProblem /*problem*/) {
    ++*static_cast<size_t*>(context);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const char* bytes = reinterpret_cast<const char*>(data);

    // The whole input as one line.
    kiv::BadgeRecord record;
    kiv::ParseBadgeLine(bytes, size, record);
    CheckRecord(record);

    // The input as a file.
    kiv::MemoryInput input{bytes, size, 0};
    kiv::LineReader lines(kiv::ReadMemoryInput, &input);
    size_t problems = 0;
    const kiv::BadgeTableSummary summary =
        kiv::BuildBadgeTable(lines, table, keyOrder, kiv::kBadgeCount, CountProblem, &problems);
    if (summary.count < 0 || summary.count > kiv::kBadgeCount) {
        std::abort();
    }
    for (int32_t i = 0; i < summary.count; ++i) {
        CheckRecord(table[i]);
        const int32_t found =
            kiv::FindKeyNumber(table, keyOrder, summary.count, table[i].keyNumber);
        if (table[i].keyNumber[0] != '\0' &&
            (found < 0 || found > i ||
             std::strcmp(table[found].keyNumber, table[i].keyNumber) != 0)) {
            std::abort();
        }
    }
    return 0;
}
