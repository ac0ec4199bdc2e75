// Conversions between UTF-8 and the Windows code pages of names and captions.
#include "codepage.h"

#include <gtest/gtest.h>

namespace {

using prutils::CodePage;

TEST(CodePage, Windows1252RoundTrip) {
    std::string utf8 = "Caf\xC3\xA9 \xE2\x82\xAC \xC5\xA0koda \xC3\xBF";
    std::optional<std::string> bytes = prutils::Utf8ToWindows1252(utf8);
    ASSERT_TRUE(bytes);
    EXPECT_EQ(*bytes, "Caf\xE9 \x80 \x8Akoda \xFF");
    EXPECT_EQ(prutils::ToUtf8(*bytes, CodePage::Windows1252), utf8);
}

TEST(CodePage, UnrepresentableOrMalformedUtf8IsRefused) {
    EXPECT_FALSE(prutils::Utf8ToWindows1252("\xD0\x96"));         // Cyrillic Zhe
    EXPECT_FALSE(prutils::Utf8ToWindows1252("\xF0\x9F\x98\x80")); // emoji
    EXPECT_FALSE(prutils::Utf8ToWindows1252("\xC3"));             // cut short
    EXPECT_FALSE(prutils::Utf8ToWindows1252("\xC0\xAF"));         // overlong "/"
    EXPECT_FALSE(prutils::Utf8ToWindows1252("\xED\xA0\x80"));     // surrogate
    EXPECT_FALSE(prutils::Utf8ToWindows1252("\xC2\x81"));         // U+0081, undefined in 1252
}

TEST(CodePage, Windows1251Captions) {
    EXPECT_EQ(prutils::ToUtf8("\xCE\xF8\xE8\xE1\xEA\xE0", CodePage::Windows1251),
              "\xD0\x9E\xD1\x88\xD0\xB8\xD0\xB1\xD0\xBA\xD0\xB0"); // Ошибка
}

TEST(CodePage, UpperCaseFollowsWindows1252) {
    EXPECT_EQ(prutils::UpperWindows1252("setup.exe"), "SETUP.EXE");
    EXPECT_EQ(prutils::UpperWindows1252("\xE9\xF7\xFF\x9A\xDF"), "\xC9\xF7\x9F\x8A\xDF");
}

} // namespace
