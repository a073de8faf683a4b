// UTF-8, read strictly.
#include "base/utf8.h"

namespace kivhost {

namespace {

bool IsContinuation(unsigned char byte) {
    return (byte & 0xC0) == 0x80;
}

// The length of the sequence a lead byte starts and the bits it carries; 0 for no lead byte.
size_t SequenceLength(unsigned char lead, char32_t& bits) {
    if (lead < 0x80) {
        bits = lead;
        return 1;
    }
    if (lead >= 0xC2 && lead <= 0xDF) {
        bits = lead & 0x1Fu;
        return 2;
    }
    if (lead >= 0xE0 && lead <= 0xEF) {
        bits = lead & 0x0Fu;
        return 3;
    }
    if (lead >= 0xF0 && lead <= 0xF4) {
        bits = lead & 0x07u;
        return 4;
    }
    return 0;
}

// The smallest character each length may carry: anything less is an overlong form.
constexpr char32_t kSmallest[] = {0, 0, 0x80, 0x800, 0x10000};

}  // namespace

bool NextCharacter(const std::string& text, size_t& at, char32_t& character) {
    if (at >= text.size()) {
        return false;
    }
    char32_t value = 0;
    const size_t length = SequenceLength(static_cast<unsigned char>(text[at]), value);
    if (length == 0 || text.size() - at < length) {
        return false;
    }
    for (size_t i = 1; i < length; ++i) {
        const auto byte = static_cast<unsigned char>(text[at + i]);
        if (!IsContinuation(byte)) {
            return false;
        }
        value = (value << 6) | (byte & 0x3Fu);
    }
    if (value < kSmallest[length] || value > 0x10FFFF || (value >= 0xD800 && value <= 0xDFFF)) {
        return false;
    }
    character = value;
    at += length;
    return true;
}

void AppendUtf8(char32_t character, std::string& out) {
    if (character < 0x80) {
        out += static_cast<char>(character);
    } else if (character < 0x800) {
        out += static_cast<char>(0xC0 | (character >> 6));
        out += static_cast<char>(0x80 | (character & 0x3F));
    } else if (character < 0x10000) {
        out += static_cast<char>(0xE0 | (character >> 12));
        out += static_cast<char>(0x80 | ((character >> 6) & 0x3F));
        out += static_cast<char>(0x80 | (character & 0x3F));
    } else {
        out += static_cast<char>(0xF0 | (character >> 18));
        out += static_cast<char>(0x80 | ((character >> 12) & 0x3F));
        out += static_cast<char>(0x80 | ((character >> 6) & 0x3F));
        out += static_cast<char>(0x80 | (character & 0x3F));
    }
}

size_t InvalidUtf8At(const std::string& text) {
    size_t at = 0;
    char32_t character = 0;
    while (NextCharacter(text, at, character)) {
    }
    return at;
}

size_t CharacterCount(const std::string& text) {
    size_t count = 0;
    for (const char c : text) {
        count += IsContinuation(static_cast<unsigned char>(c)) ? 0 : 1;
    }
    return count;
}

std::string FirstCharacters(const std::string& text, size_t count) {
    size_t end = 0;
    for (size_t seen = 0; end < text.size(); ++end) {
        if (!IsContinuation(static_cast<unsigned char>(text[end])) && seen++ == count) {
            break;
        }
    }
    return text.substr(0, end);
}

std::string LastCharacters(const std::string& text, size_t count) {
    const size_t total = CharacterCount(text);
    if (total <= count) {
        return text;
    }
    const size_t skipped = FirstCharacters(text, total - count).size();
    return text.substr(skipped);
}

void DropLastCharacter(std::string& text) {
    while (!text.empty() && IsContinuation(static_cast<unsigned char>(text.back()))) {
        text.pop_back();
    }
    if (!text.empty()) {
        text.pop_back();
    }
}

}  // namespace kivhost
