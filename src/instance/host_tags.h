// Tag access as the driver does it: look the tag up by its address for this instance and, only
// when it exists, store or read its value. The driver never creates tags.
//
// A tag the host's configuration does not hold (the look-up answers kHostNoSuchTag) is skipped
// silently: a site need not configure every tag. Any other failed host call is logged at level
// 32, "RIRODI: <call>() failed for the tag <address>, status <n>; not logged again until it
// works", once per tag and call until that call works again for that tag (at most
// kHostFailureSlots such tags are remembered at once; beyond them one more line says that
// further failures go unlogged), so that a broken tag cannot flood the log. The value is then
// not stored, or not read, and the driver goes on.
#pragma once

#include <cstddef>
#include <cstdint>

namespace kiv {

struct DriverInstance;

// The status of a tag look-up for an address the host's configuration does not hold.
inline constexpr uint16_t kHostNoSuchTag = 1;

// The longest text the driver writes into a tag: a monitoring copy of a frame ("OUTGOING",
// "INCOMING"), 200 bytes with every byte escaped to four characters. Texts are read back
// through an area of this size and the terminator, whatever the host's own text limit is.
inline constexpr size_t kLongestTagText = 800;

// Stores a number in the tag with this address (data source 2).
void PutTagValue(const DriverInstance& instance, const char* address, double value);
// Stores a text in the tag with this address (data source 2).
void PutTagText(const DriverInstance& instance, const char* address, const char* text);

// What a read of a tag came to.
enum class TagRead {
    kRead,     // the value is there
    kMissing,  // the look-up found no tag with this address (any non-zero status; a status
               // other than kHostNoSuchTag is logged)
    kFailed,   // the tag is there but the host failed the read (logged)
};

// Reads the tag's number (request code 11 unless given); 'value' is left alone unless kRead.
TagRead ReadTagValue(const DriverInstance& instance, const char* address, double& value,
                     int32_t requestCode = 11, uint8_t readClient = 0);
// Reads the tag's text (request code 11) through an area of kLongestTagText characters and cuts
// it to a buffer of 'size' bytes; 'text' is left alone unless kRead.
TagRead ReadTagText(const DriverInstance& instance, const char* address, char* text, size_t size);

// The same, true only when the value was read.
inline bool GetTagValue(const DriverInstance& instance, const char* address, double& value,
                        int32_t requestCode = 11, uint8_t readClient = 0) {
    return ReadTagValue(instance, address, value, requestCode, readClient) == TagRead::kRead;
}
inline bool GetTagText(const DriverInstance& instance, const char* address, char* text,
                       size_t size) {
    return ReadTagText(instance, address, text, size) == TagRead::kRead;
}

}  // namespace kiv
