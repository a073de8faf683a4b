// The line's code pages: every byte comes back as it went, people's texts reach the line as the
// code page's bytes, and what a code page cannot carry or what is no UTF-8 is refused with why.
#include <gtest/gtest.h>

#include <string>

#include "base/charset.h"
#include "base/utf8.h"

namespace kivhost {
namespace {

const CodePage& Page(const char* name) {
    const CodePage* page = FindCodePage(name);
    EXPECT_NE(page, nullptr) << name;
    return page != nullptr ? *page : CodePages().front();
}

TEST(CodePage, EveryByteComesBackAsItWent) {
    for (const CodePage& page : CodePages()) {
        for (int byte = 1; byte < 256; ++byte) {
            const std::string bytes(1, static_cast<char>(byte));
            std::string back;
            std::string reason;
            ASSERT_TRUE(Utf8ToLine(LineToUtf8(bytes, page), back, reason, page))
                << page.name << " byte " << byte << ": " << reason;
            EXPECT_EQ(back, bytes) << page.name << " byte " << byte;
        }
    }
}

struct TextCase {
    const char* page;
    const char* text;  // UTF-8
    const char* bytes;
};

TEST(CodePage, TextsBecomeTheCodePagesBytes) {
    const TextCase cases[] = {
        {"windows-1252", "José Müller", "Jos\xE9 M\xFCller"},
        {"windows-1252", "€ „Œ“ ™", "\x80 \x84\x8C\x93 \x99"},
        {"windows-1252", "\xC2\x81\xC2\x8D\xC2\x8F\xC2\x90\xC2\x9D", "\x81\x8D\x8F\x90\x9D"},
        {"iso-8859-1", "Zoë Ünal ÿ", "Zo\xEB \xDCnal \xFF"},
        {"iso-8859-1", "\xC2\x80", "\x80"},
        {"iso-8859-2", "Łódź Őrs ˙", "\xA3\xF3\x64\xBC \xD5rs \xFF"},
        {"iso-8859-15", "€ Šœ Ÿ", "\xA4 \xA6\xBD \xBE"},
    };
    for (const TextCase& c : cases) {
        std::string bytes;
        std::string reason;
        ASSERT_TRUE(Utf8ToLine(c.text, bytes, reason, Page(c.page))) << c.text << ": " << reason;
        EXPECT_EQ(bytes, c.bytes) << c.page << " " << c.text;
        EXPECT_EQ(LineToUtf8(bytes, Page(c.page)), c.text) << c.page;
    }
}

TEST(CodePage, RefusesWhatItCannotCarryOrWhatIsNoUtf8) {
    const TextCase cases[] = {
        {"iso-8859-1", "5 €", "'€' cannot be written in ISO-8859-1"},
        {"windows-1252", "Łódź", "'Ł' cannot be written in Windows-1252"},
        {"iso-8859-2", "Señor", "'ñ' cannot be written in ISO-8859-2"},
        {"iso-8859-15", "¤", "'¤' cannot be written in ISO-8859-15"},
        {"windows-1252", "中", "'中' cannot be written in Windows-1252"},
        {"windows-1252", "Jos\xE9", "the text is not valid UTF-8 (byte 4)"},
        {"windows-1252", "ab\xC3", "the text is not valid UTF-8 (byte 3)"},
        {"windows-1252", "\xC0\xAF", "the text is not valid UTF-8 (byte 1)"},
        {"windows-1252", "\xED\xA0\x80", "the text is not valid UTF-8 (byte 1)"},
        {"windows-1252", "\xF4\x90\x80\x80", "the text is not valid UTF-8 (byte 1)"},
        {"windows-1252", "a\x80", "the text is not valid UTF-8 (byte 2)"},
    };
    for (const TextCase& c : cases) {
        std::string bytes = "kept";
        std::string reason;
        EXPECT_FALSE(Utf8ToLine(c.text, bytes, reason, Page(c.page))) << c.text;
        EXPECT_EQ(reason, c.bytes) << c.page;
        EXPECT_EQ(bytes, "kept");
    }
}

TEST(CodePage, IsFoundByItsNamesInAnyCase) {
    const std::pair<const char*, const char*> cases[] = {
        {"windows-1252", "Windows-1252"}, {"CP1252", "Windows-1252"},  {"ISO-8859-1", "ISO-8859-1"},
        {"latin1", "ISO-8859-1"},         {"iso8859-2", "ISO-8859-2"}, {"Latin9", "ISO-8859-15"},
    };
    for (const auto& [name, found] : cases) {
        ASSERT_NE(FindCodePage(name), nullptr) << name;
        EXPECT_STREQ(FindCodePage(name)->name, found);
    }
    EXPECT_EQ(FindCodePage("utf-8"), nullptr);
    EXPECT_EQ(FindCodePage(""), nullptr);
    EXPECT_STREQ(CodePages().front().name, "Windows-1252");  // the default
}

TEST(Utf8, CutsAndEditsWholeCharactersOnly) {
    const std::string text = "Zoë Ünal €";
    EXPECT_EQ(CharacterCount(text), 10u);
    EXPECT_EQ(FirstCharacters(text, 3), "Zoë");
    EXPECT_EQ(FirstCharacters(text, 50), text);
    EXPECT_EQ(LastCharacters(text, 6), "Ünal €");
    EXPECT_EQ(LastCharacters(text, 50), text);
    std::string edited = text;
    DropLastCharacter(edited);
    EXPECT_EQ(edited, "Zoë Ünal ");
    edited = "ë";
    DropLastCharacter(edited);
    DropLastCharacter(edited);
    EXPECT_EQ(edited, "");
}

}  // namespace
}  // namespace kivhost
