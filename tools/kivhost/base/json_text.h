// The tool's JSON: nlohmann-json with members in the order they are added, and texts that may
// hold any byte.
#pragma once

#include <cstddef>
#include <string>

#include <nlohmann/json.hpp>

namespace kivhost {

using Json = nlohmann::ordered_json;

// Any bytes as a JSON string: each byte is one character (bytes above 0x7F become the
// characters U+0080 to U+00FF), so that every byte sequence is written, and written the same
// way on every system. Dump then escapes them as \u0080 to \u00ff.
Json ByteText(const std::string& bytes);

// One line of JSON; control characters and everything above 0x7E escaped.
std::string Dump(const Json& value);

// The bytes in lower-case hexadecimal, two digits each, as the JSON answers carry raw bytes.
std::string HexBytes(const char* bytes, size_t count);

}  // namespace kivhost
