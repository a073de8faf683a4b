// The tool's JSON.
#include "base/json_text.h"

#include "base/charset.h"

#include <utility>

namespace kivhost {

Json ByteText(const std::string& bytes) {
    std::string utf8;
    utf8.reserve(bytes.size());
    for (const char c : bytes) {
        const auto byte = static_cast<unsigned char>(c);
        if (byte < 0x80) {
            utf8 += c;
        } else {
            utf8 += static_cast<char>(0xC0 | (byte >> 6));
            utf8 += static_cast<char>(0x80 | (byte & 0x3F));
        }
    }
    return Json(std::move(utf8));
}

Json LineText(const std::string& bytes) {
    return Json(LineToUtf8(bytes));
}

void Release(Json& record) {
    if (record.is_object()) {
        record.clear();
    }
}

std::string Dump(const Json& value) {
    return value.dump(-1, ' ', true, Json::error_handler_t::replace);
}

const std::string& TextOf(const Json& record, const char* key) {
    static const std::string kNone;
    const auto found = record.find(key);
    return found != record.end() && found->is_string() ? found->get_ref<const std::string&>()
                                                       : kNone;
}

const Json& MemberOf(const Json& record, const char* key) {
    static const Json kNull;
    const auto found = record.find(key);
    return found != record.end() ? *found : kNull;
}

std::string HexBytes(const char* bytes, size_t count) {
    static const char digits[] = "0123456789abcdef";
    std::string out;
    out.reserve(count * 2);
    for (size_t i = 0; i < count; ++i) {
        const auto byte = static_cast<unsigned char>(bytes[i]);
        out += digits[byte >> 4];
        out += digits[byte & 0x0F];
    }
    return out;
}

std::string BytesOfHex(const std::string& hex) {
    const auto digit = [](char c) { return c <= '9' ? c - '0' : (c | 0x20) - 'a' + 10; };
    std::string bytes(hex.size() / 2, '\0');
    for (size_t i = 0; i < bytes.size(); ++i) {
        bytes[i] = static_cast<char>(digit(hex[2 * i]) * 16 + digit(hex[2 * i + 1]));
    }
    return bytes;
}

}  // namespace kivhost
