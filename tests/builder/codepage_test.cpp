// Conversions between UTF-8 and the Windows code pages of names and captions, checked against
// the code page converters of the C library (iconv) where it has them.
#include "codepage.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <iconv.h>
#include <vector>

namespace {

using prutils::CodePage;

constexpr CodePage kAll[] = {CodePage::Windows1250, CodePage::Windows1251, CodePage::Windows1252,
                             CodePage::Windows1253, CodePage::Windows1254, CodePage::Windows1257};

// `bytes` converted by iconv from `from` to `to`, or nothing when iconv refuses them.
std::optional<std::string> Iconv(const std::string& from, const std::string& to,
                                 std::string bytes) {
    iconv_t cd = iconv_open(to.c_str(), from.c_str());
    if (cd == reinterpret_cast<iconv_t>(-1))
        return std::nullopt;
    std::string out(bytes.size() * 4 + 8, '\0');
    char* in = bytes.data();
    char* put = out.data();
    size_t inLeft = bytes.size(), outLeft = out.size();
    size_t done = iconv(cd, &in, &inLeft, &put, &outLeft);
    iconv_close(cd);
    if (done == static_cast<size_t>(-1) || inLeft != 0)
        return std::nullopt;
    out.resize(out.size() - outLeft);
    return out;
}

std::string Name(CodePage cp) {
    return "CP" + std::to_string(static_cast<int>(cp));
}

TEST(CodePage, EveryByteRoundTripsAsTheCLibraryConvertsIt) {
    for (CodePage cp : kAll) {
        ASSERT_TRUE(Iconv(Name(cp), "UTF-8", "a")) << Name(cp) << " is missing from iconv";
        int defined = 0;
        for (int b = 0x80; b <= 0xFF; ++b) {
            std::string byte(1, static_cast<char>(b));
            std::optional<std::string> theirs = Iconv(Name(cp), "UTF-8", byte);
            std::string ours = prutils::ToUtf8(byte, cp);
            if (!theirs) {
                EXPECT_EQ(ours, "\xEF\xBF\xBD") << Name(cp) << " byte " << b;
                EXPECT_FALSE(prutils::Utf8ToCodePage(ours, cp));
                continue;
            }
            ++defined;
            EXPECT_EQ(ours, *theirs) << Name(cp) << " byte " << b;
            EXPECT_EQ(prutils::Utf8ToCodePage(*theirs, cp), byte) << Name(cp) << " byte " << b;
        }
        EXPECT_GT(defined, 110) << Name(cp);
    }
}

TEST(CodePage, UnrepresentableOrMalformedUtf8IsRefused) {
    for (const char* utf8 : {"\xD0\x96",         // Cyrillic Zhe
                             "\xF0\x9F\x98\x80", // emoji
                             "\xC3",             // cut short
                             "\xC0\xAF",         // overlong "/"
                             "\xED\xA0\x80",     // surrogate
                             "\xC2\x81",         // U+0081, undefined in 1252
                             "e\xCC\xA3",        // e with a dot below: no such character here
                             "\xCC\x81"})        // a mark with nothing to sit on
        EXPECT_FALSE(prutils::Utf8ToCodePage(utf8, CodePage::Windows1252)) << utf8;
    EXPECT_FALSE(prutils::Utf8ToCodePage("\xC5\x82", CodePage::Windows1252)); // ł
    EXPECT_EQ(prutils::Utf8ToCodePage("\xC5\x82", CodePage::Windows1250), "\xB3");
}

// Decomposed text (as macOS writes names) is composed before it is converted, including marks
// given out of their canonical order and characters with two marks.
TEST(CodePage, DecomposedTextIsComposed) {
    struct Case {
        CodePage cp;
        const char* decomposed;
        const char* composed;
    };
    for (Case c : {
             Case{CodePage::Windows1252, "Cafe\xCC\x81", "Caf\xC3\xA9"},
             Case{CodePage::Windows1252, "A\xCC\x8Angstro\xCC\x88m", "\xC3\x85ngstr\xC3\xB6m"},
             Case{CodePage::Windows1250,
                  "z\xCC\x8Clut\xCC\x8Couc\xCC\x8Cky\xCC\x81 ku\xCC\x8An\xCC\x8C",
                  "\xC5\xBElu\xC5\xA5ou\xC4\x8Dk\xC3\xBD k\xC5\xAF\xC5\x88"},
             Case{CodePage::Windows1250, "a\xCC\xA8", "\xC4\x85"},
             Case{CodePage::Windows1253, "\xCE\xB9\xCC\x88\xCC\x81", "\xCE\x90"},
             Case{CodePage::Windows1253, "\xCE\x91\xCC\x81\xCE\xB8\xCE\xB7\xCE\xBD\xCE\xB1",
                  "\xCE\x86\xCE\xB8\xCE\xB7\xCE\xBD\xCE\xB1"},
             Case{CodePage::Windows1251, "\xD0\xB5\xCC\x88\xD0\xB6", "\xD1\x91\xD0\xB6"},
             Case{CodePage::Windows1254, "S\xCC\xA7g\xCC\x86", "\xC5\x9E\xC4\x9F"},
             Case{CodePage::Windows1257, "e\xCC\x87u\xCC\xA8s\xCC\x8C", "\xC4\x97\xC5\xB3\xC5\xA1"},
         }) {
        std::optional<std::string> expected = Iconv("UTF-8", Name(c.cp), c.composed);
        ASSERT_TRUE(expected) << c.composed;
        EXPECT_EQ(prutils::Utf8ToCodePage(c.decomposed, c.cp), expected) << c.decomposed;
        EXPECT_EQ(prutils::Utf8ToCodePage(c.composed, c.cp), expected) << c.composed;
    }
    // A cedilla and an acute in either order: the cedilla sits below, so both orders are one
    // text, and Windows-1252 has no character for it.
    EXPECT_FALSE(prutils::Utf8ToCodePage("c\xCC\x81\xCC\xA7", CodePage::Windows1252));
    EXPECT_EQ(prutils::Utf8ToCodePage("c\xCC\xA7", CodePage::Windows1252), "\xE7");
}

TEST(CodePage, UpperCaseWithinTheCodePage) {
    EXPECT_EQ(prutils::UpperInCodePage("setup.exe", CodePage::Windows1252), "SETUP.EXE");
    // é ÷ ÿ š ß µ: ÿ has its upper case at 0x9F, ß and µ have none in the code page.
    EXPECT_EQ(prutils::UpperInCodePage("\xE9\xF7\xFF\x9A\xDF\xB5", CodePage::Windows1252),
              "\xC9\xF7\x9F\x8A\xDF\xB5");
    EXPECT_EQ(prutils::UpperInCodePage("\xE6\xE0\xE9\xEB", CodePage::Windows1251),
              "\xC6\xC0\xC9\xCB"); // жайл
    EXPECT_EQ(prutils::UpperInCodePage("\xB3\xB9\x9E", CodePage::Windows1250), "\xA3\xA5\x8E");
    EXPECT_EQ(prutils::UpperInCodePage("\xF2\xE1", CodePage::Windows1253), "\xD3\xC1"); // ςα
    EXPECT_EQ(prutils::UpperInCodePage("\xFE", CodePage::Windows1257), "\xDE");         // ž
}

TEST(CodePage, ListingOrderIsThatOfTheUpperCaseUtf16) {
    std::vector<std::string> names = {
        "a\xE2\x82\xAC",     "a\xC5\x92", "aZ", "a\xC3\xA9",   "a\xC3\x9C",
        "a\xC3\xBF",         "a_",        "Ab", "ae\xCC\x81x", "a\xD0\x96",
        "a\xF0\x9F\x98\x80", "a\xC2\xB5"};
    std::sort(names.begin(), names.end(), [](const std::string& a, const std::string& b) {
        return prutils::ListingOrderKey(a) < prutils::ListingOrderKey(b);
    });
    // The micro sign keeps its case, as on Windows.
    std::vector<std::string> expected = {
        "Ab",        "aZ",        "a_",        "a\xC2\xB5", "a\xC3\xA9",     "ae\xCC\x81x",
        "a\xC3\x9C", "a\xC5\x92", "a\xC3\xBF", "a\xD0\x96", "a\xE2\x82\xAC", "a\xF0\x9F\x98\x80"};
    EXPECT_EQ(names, expected);
}

TEST(CodePage, Windows1251Captions) {
    EXPECT_EQ(prutils::ToUtf8("\xCE\xF8\xE8\xE1\xEA\xE0", CodePage::Windows1251),
              "\xD0\x9E\xD1\x88\xD0\xB8\xD0\xB1\xD0\xBA\xD0\xB0"); // Ошибка
}

TEST(CodePage, NumbersNameTheSupportedCodePages) {
    for (CodePage cp : kAll)
        EXPECT_EQ(prutils::CodePageNamed(std::to_string(static_cast<int>(cp))), cp);
    EXPECT_EQ(prutils::CodePageNamed("01251"), CodePage::Windows1251);
    EXPECT_EQ(prutils::CodePageNamed("utf-8"), CodePage::Utf8);
    EXPECT_EQ(prutils::CodePageNamed("UTF-8"), CodePage::Utf8);
    for (const char* text :
         {"", "1255", "65001", "12a1", "-1251", "1251 ", "99999999999", "utf8", "utf-8 ", "utf-16"})
        EXPECT_FALSE(prutils::CodePageNamed(text)) << text;
    EXPECT_EQ(prutils::CodePageNumbers(), "1250, 1251, 1252, 1253, 1254, 1257");
    EXPECT_EQ(prutils::CodePageNames(), "1250, 1251, 1252, 1253, 1254, 1257, utf-8");
}

// UTF-8 names stay as they are (decomposed ones too, as Windows keeps them), upper-case by
// Unicode's rules, count as Windows counts UTF-16, and show malformed bytes as U+FFFD.
TEST(CodePage, Utf8NamesStayAsGiven) {
    const std::string decomposed = "e\xCC\x81", party = "party\xF0\x9F\x8E\x89";
    for (const std::string& name : {std::string("\xE6\x97\xA5.txt"), decomposed, party})
        EXPECT_EQ(prutils::Utf8ToCodePage(name, CodePage::Utf8), name);
    EXPECT_FALSE(prutils::Utf8ToCodePage("a\xFF", CodePage::Utf8));
    EXPECT_EQ(prutils::UpperInCodePage("\xC3\xA4\xD0\xB6x\xE6\x97\xA5\xFF", CodePage::Utf8),
              "\xC3\x84\xD0\x96X\xE6\x97\xA5\xFF");
    EXPECT_EQ(prutils::Utf16Length(party), 7u);
    EXPECT_EQ(prutils::Utf16Length(decomposed), 2u);
    EXPECT_EQ(prutils::ToUtf8("a\xFF" + party, CodePage::Utf8), "a\xEF\xBF\xBD" + party);
}

} // namespace
