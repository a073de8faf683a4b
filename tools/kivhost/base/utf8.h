// UTF-8, the text of kivhost's edges (terminal, scripts, tag files, JSON, MQTT): one character
// at a time, strictly, so that nothing past the text's end is read whatever bytes arrive.
#pragma once

#include <cstddef>
#include <string>

namespace kivhost {

// The character at `at`, and `at` moved past it; false (and `at` unchanged) at the end of the
// text or where the bytes are no valid UTF-8 (a stray or missing continuation byte, an overlong
// form, a surrogate, a value above U+10FFFF).
bool NextCharacter(const std::string& text, size_t& at, char32_t& character);

// The character in UTF-8, appended to `out`.
void AppendUtf8(char32_t character, std::string& out);

// Where the text stops being valid UTF-8; text.size() when it is valid throughout.
size_t InvalidUtf8At(const std::string& text);

// How many characters a valid UTF-8 text holds (a byte that starts none counts as one).
size_t CharacterCount(const std::string& text);

// The first `count` characters of the text, or its last `count` ones; never cut inside one.
std::string FirstCharacters(const std::string& text, size_t count);
std::string LastCharacters(const std::string& text, size_t count);

// The text without its last character (Backspace on the input line).
void DropLastCharacter(std::string& text);

}  // namespace kivhost
