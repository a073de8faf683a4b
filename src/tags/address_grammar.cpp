// The keyword look-up and the number field reader of the tag address grammar.
#include "tags/address_grammar.h"

#include <cstring>

namespace kiv {

namespace {

// White space as the C library's number readers skip it.
bool IsBlank(char c) {
    return c == ' ' || c == '\t' || c == '\n' || c == '\v' || c == '\f' || c == '\r';
}

bool IsDigit(char c) {
    return c >= '0' && c <= '9';
}

}  // namespace

AddressCopy CopyAddress(const char* address) {
    AddressCopy copy;
    const char* source = address != nullptr ? address : "";
    while (copy.length < kGasWorkingChars && source[copy.length] != '\0') {
        copy.text[copy.length] = source[copy.length];
        ++copy.length;
    }
    copy.cut = copy.length == kGasWorkingChars && source[kGasWorkingChars] != '\0';
    return copy;
}

ShownAddress Shown(const AddressCopy& copy) {
    ShownAddress shown;
    std::memcpy(shown.text, copy.text, copy.length);
    if (copy.cut) {
        std::memcpy(shown.text + copy.length, "...", 3);
    }
    return shown;
}

bool FindKeyword(const char* text, const char* const* table, size_t count, size_t* index) {
    if (text == nullptr || table == nullptr) {
        return false;
    }
    for (size_t i = 0; i < count; ++i) {
        if (table[i] != nullptr && std::strncmp(text, table[i], kKeywordLength) == 0) {
            if (index != nullptr) {
                *index = i;
            }
            return true;
        }
    }
    return false;
}

bool ReadDecimalField(const char* text, int width, int* value) {
    if (text == nullptr) {
        return false;
    }
    // Nine digits always fit an int.
    constexpr int kWidestField = 9;
    if (width > kWidestField) {
        width = kWidestField;
    }
    while (IsBlank(*text)) {
        ++text;
    }
    int used = 0;
    bool negative = false;
    if (used < width && (*text == '+' || *text == '-')) {
        negative = *text == '-';
        ++text;
        ++used;
    }
    int number = 0;
    int digits = 0;
    while (used < width && IsDigit(*text)) {
        number = number * 10 + (*text - '0');
        ++text;
        ++used;
        ++digits;
    }
    if (digits == 0) {
        return false;
    }
    if (value != nullptr) {
        *value = negative ? -number : number;
    }
    return true;
}

}  // namespace kiv
