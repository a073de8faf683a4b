// Command-list look-ups over any file: the first byte is the entry number to look up, the rest is
// the file. Tags "T" (a text with "<", ">", "@" and "$"), "LONG" (79 characters), "N" (-3.7),
// "BIG" (1e300) and "NAN" exist, so that references expand, stay as names or overflow. Checks
// that a found text is terminated within its 255 characters.
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "kiv/kiv_abi.h"
#include "qorpro/qorpro_embed.h"
#include "write/command_list_file.h"

namespace {

void DefineTags() {
    static const bool ready = [] {
        qorReset();
        qorSetText(qorDefineTag("T", "T", 1, KIV_TYPE_STRING), "<@x$>");
        qorSetText(
            qorDefineTag("LONG", "LONG", 1, KIV_TYPE_STRING),
            "0123456789012345678901234567890123456789012345678901234567890123456789012345678");
        qorSetValue(qorDefineTag("N", "N", 1, KIV_TYPE_ANALOG), -3.7);
        qorSetValue(qorDefineTag("BIG", "BIG", 1, KIV_TYPE_ANALOG), 1e300);
        qorSetValue(qorDefineTag("NAN", "NAN", 1, KIV_TYPE_ANALOG), std::nan(""));
        return true;
    }();
    (void)ready;
    qorClearLog();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size < 2) {
        return 0;
    }
    DefineTags();
    std::FILE* file = fmemopen(const_cast<uint8_t*>(data + 1), size - 1, "rb");
    if (file == nullptr) {
        return 0;
    }
    char text[kiv::kCommandTextSize];
    std::memset(text, 0x55, sizeof text);
    const kiv::CommandListResult result = kiv::CommandListLookup(file, data[0], text);
    std::fclose(file);
    if (std::memchr(text, 0, sizeof text) == nullptr ||
        (result != kiv::CommandListResult::kFound && text[0] != '\0')) {
        std::abort();
    }
    return 0;
}
