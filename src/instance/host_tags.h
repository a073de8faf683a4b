// Tag access as the driver does it: look the tag up by its address for this instance and, only
// when it exists, store or read its value. A tag the host's configuration does not hold, or a
// host call that fails, is skipped silently; the driver never creates tags.
#pragma once

#include <cstddef>
#include <cstdint>

namespace kiv {

struct DriverInstance;

// The longest text the driver writes into a tag: a monitoring copy of a frame ("OUTGOING",
// "INCOMING"), 200 bytes with every byte escaped to four characters. Texts are read back
// through an area of this size and the terminator, whatever the host's own text limit is.
inline constexpr size_t kLongestTagText = 800;

// Stores a number in the tag with this address (data source 2).
void PutTagValue(const DriverInstance& instance, const char* address, double value);
// Stores a text in the tag with this address (data source 2).
void PutTagText(const DriverInstance& instance, const char* address, const char* text);

// Reads the tag's number (request code 11 unless given); false when the tag is missing or the
// read fails, and then 'value' is left alone.
bool GetTagValue(const DriverInstance& instance, const char* address, double& value,
                 int32_t requestCode = 11, uint8_t readClient = 0);
// Reads the tag's text (request code 11) through an area of kLongestTagText characters and cuts
// it to a buffer of 'size' bytes; false when the tag is missing or the read fails, and then
// 'text' is left alone.
bool GetTagText(const DriverInstance& instance, const char* address, char* text, size_t size);

}  // namespace kiv
