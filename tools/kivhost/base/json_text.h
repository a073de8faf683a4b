// The tool's JSON: nlohmann-json with members in the order they are added, and texts that may
// hold any byte.
#pragma once

#include <cstddef>
#include <string>

#include <nlohmann/json.hpp>

namespace kivhost {

using Json = nlohmann::ordered_json;

// Bytes that are no text of the line (a frame as typed for 'kivhost frame', a path, a device's
// name) as a JSON string: each byte is one character (bytes above 0x7F become the characters
// U+0080 to U+00FF), so that every byte sequence is written, and written the same way on every
// system. Dump then escapes them as \u0080 to \u00ff.
Json ByteText(const std::string& bytes);

// A text the driver or the host keeps (a tag's value, a log line, a holder's name), in the
// line's code page, as a JSON string of its characters (base/charset.h).
Json LineText(const std::string& bytes);

// One line of JSON; control characters and everything above 0x7E escaped (\uXXXX), so that
// the output is ASCII on every console; bytes that are no UTF-8 become U+FFFD.
std::string Dump(const Json& value);

// A record's member that is a text, else the empty text; and a member, else null: read in
// place, no copy (records pass by the hundred a second).
const std::string& TextOf(const Json& record, const char* key);
const Json& MemberOf(const Json& record, const char* key);

// Empties a record before it goes. nlohmann-json frees an object's members through a list of
// its own, allocated for each object freed; a flat record emptied first needs none (records
// pass by the hundred a second).
void Release(Json& record);

// The bytes in lower-case hexadecimal, two digits each, as the JSON answers carry raw bytes.
std::string HexBytes(const char* bytes, size_t count);
// The bytes HexBytes spelled (a last odd digit is left out).
std::string BytesOfHex(const std::string& hex);

}  // namespace kivhost
