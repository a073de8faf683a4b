// The line's code page. The controllers and the host keep one byte a character; kivhost speaks
// UTF-8 at its edges and converts here, in one place, to and from the single-byte code page of
// the line (--charset; Windows-1252 unless told otherwise, the Western hosts' own).
#pragma once

#include <string>
#include <vector>

namespace kivhost {

// A single-byte code page: bytes 0x00 to 0x7F are ASCII, the upper half is its table.
struct CodePage {
    const char* name;           // as it is named to people: "Windows-1252"
    const char* optionName;     // as --charset takes it: "windows-1252"
    const char32_t* upperHalf;  // the characters of the bytes 0x80 to 0xFF
};

// The code pages kivhost knows, the default first.
const std::vector<CodePage>& CodePages();

// The code page --charset names (any case; "cp1252", "latin1" and the like too), else null.
const CodePage* FindCodePage(const std::string& name);

// The code page of the line, the same for every line of the process: set once at the start,
// before any line runs.
const CodePage& LineCodePage();
void SetLineCodePage(const CodePage& codePage);

// The line's bytes as UTF-8; every byte has its character.
std::string LineToUtf8(const std::string& bytes, const CodePage& codePage = LineCodePage());

// A UTF-8 text as the line's bytes; false with the reason when the text is no valid UTF-8 or
// holds a character the code page cannot carry ("'€' cannot be written in ISO-8859-1").
bool Utf8ToLine(const std::string& text, std::string& bytes, std::string& reason,
                const CodePage& codePage = LineCodePage());

}  // namespace kivhost
