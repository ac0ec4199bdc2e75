// Texts the runtime module composes: sizes, error reports, handed-on arguments, name checks.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "names.h"
#include "text.h"

namespace {

std::string Size(int64_t n, char separator = '.') {
    char out[32];
    sfx::FormatSize(n, separator, out);
    return out;
}

TEST(FormatSize, PicksTheUnitByMagnitudeAndRounds) {
    EXPECT_EQ(Size(0), "0 B");
    EXPECT_EQ(Size(1023), "1023 B");
    EXPECT_EQ(Size(1024), "1.0 kB");
    EXPECT_EQ(Size(1536), "1.5 kB");
    EXPECT_EQ(Size(1048575), "1024.0 kB"); // rounds up within its row
    EXPECT_EQ(Size(1048576), "1.00 MB");
    EXPECT_EQ(Size(2359296), "2.25 MB");
    EXPECT_EQ(Size(1073741824LL * 5 / 2), "2.500 GB");
    EXPECT_EQ(Size(1099511627776LL * 3), "3.0000 TB");
    EXPECT_EQ(Size(INT64_MAX), "8388608.0000 TB");
}

// Decimal digits come from a division by ten in 16-bit steps: check it across every magnitude.
TEST(FormatInteger, WritesEveryMagnitude) {
    std::vector<int64_t> values = {
        0, 9, 10, 65535, 65536, 655359, 4294967295LL, 4294967296LL, INT64_MAX, INT64_MIN, -1};
    for (int64_t v = 1; v <= INT64_MAX / 7; v = v * 7 + 3)
        values.insert(values.end(), {v, -v, v * 7 - 1});
    for (int64_t v : values) {
        char out[24];
        size_t n = sfx::FormatInteger(v, out);
        EXPECT_EQ(std::string(out), std::to_string(v));
        EXPECT_EQ(n, std::to_string(v).size());
    }
}

TEST(FormatSize, KeepsTheSignAndUsesTheLocaleSeparator) {
    EXPECT_EQ(Size(-1), "-1 B");
    EXPECT_EQ(Size(-1536), "-1.5 kB");
    EXPECT_EQ(Size(INT64_MIN), "-8388608.0000 TB");
    EXPECT_EQ(Size(1572864, ','), "1,50 MB");
}

std::string Report(const char* systemText, const char* subject) {
    char out[600];
    sfx::ComposeReport(systemText, subject, out, sizeof out);
    return out;
}

TEST(ComposeReport, PutsTheSubjectInPlaceOfTheFirstInsert) {
    EXPECT_EQ(Report("%1 is not a valid Win32 application.\r\n", "C:\\x.exe"),
              "C:\\x.exe is not a valid Win32 application");
    EXPECT_EQ(Report("Both %1 and %1.", "s"), "Both s and %1");
}

TEST(ComposeReport, OtherwiseTheSubjectStandsAboveTheText) {
    EXPECT_EQ(Report("There is not enough space on the disk. \r\n", "C:\\   (1 B<2 B)"),
              "C:\\   (1 B<2 B)\r\n\r\nThere is not enough space on the disk");
    EXPECT_EQ(Report("", "subject"), "subject\r\n\r\n");
}

TEST(ComposeReport, CutsWhatDoesNotFit) {
    char out[8];
    sfx::ComposeReport("%1 is bad", "a very long subject", out, sizeof out);
    EXPECT_STREQ(out, "a very ");
}

template <class Char> std::basic_string<Char> Parameters(const std::basic_string<Char>& line) {
    std::vector<Char> out(sfx::ParametersCapacity(line.c_str()));
    sfx::BuildParameters(line.c_str(), out.data(), out.size());
    std::basic_string<Char> text(out.data());
    EXPECT_EQ(text.size() + 1, out.size());
    return text;
}

std::wstring Widen(const std::string& ascii) {
    return std::wstring(ascii.begin(), ascii.end());
}

// Each row: a command line, and the Parameters that hand on the same arguments, as the C runtime
// splits both. Parameters read back as a command line must give themselves again.
TEST(BuildParameters, HandsOnEveryArgumentIntact) {
    const struct {
        const char* line;
        const char* parameters;
    } rows[] = {
        {R"("C:\out\setup sfx.exe")", ""},
        {R"("C:\out\setup sfx.exe"x y)", R"( "y")"},
        {"sfx.exe a b", R"( "a" "b")"},
        {R"(sfx.exe /S "C:\My Files")", R"( "/S" "C:\My Files")"},
        {"sfx.exe\t  x\ty  \t", R"( "x" "y")"},
        {"sfx.exe x\x01y\n", " \"x\x01y\n\""},
        {R"(sfx.exe "" b "")", R"( "" "b" "")"},
        {R"(sfx.exe a ")", R"( "a" "")"},
        {R"(sfx.exe ab"c d"e)", R"( "abc de")"},
        {R"(sfx.exe "say \"hi\"")", R"( "say \"hi\"")"},
        {R"(sfx.exe "a""b" "c""")", R"( "a\"b" "c\"")"},
        {R"(sfx.exe back\slash\ \\server\share)", R"( "back\slash\\" "\\server\share")"},
        {R"(sfx.exe /D="C:\Program Files\App\\" /S)", R"( "/D=C:\Program Files\App\\" "/S")"},
        {R"(sfx.exe /D="C:\App\" /S)", R"( "/D=C:\App\" /S")"},
        {R"(sfx.exe a\\\"b a\\"b c")", R"( "a\\\"b" "a\b c")"},
    };
    for (const auto& row : rows) {
        std::string parameters = Parameters<char>(row.line);
        EXPECT_EQ(parameters, row.parameters) << row.line;
        EXPECT_EQ(Parameters<char>("sfx.exe" + parameters), parameters) << row.line;
        EXPECT_EQ(Parameters<wchar_t>(Widen(row.line)), Widen(row.parameters)) << row.line;
    }
    EXPECT_EQ(Parameters<wchar_t>(L"sfx.exe \u00E9 \"\u65E5\u672C \u8A9E\""),
              L" \"\u00E9\" \"\u65E5\u672C \u8A9E\"");
}

TEST(BuildParameters, NeverWritesPastItsBuffer) {
    char out[6] = {'#', '#', '#', '#', '#', '#'};
    sfx::BuildParameters("sfx.exe abcdef", out, 5);
    EXPECT_STREQ(out, " \"ab");
    EXPECT_EQ(out[5], '#');
}

bool Safe(const std::string& name) {
    return sfx::IsSafeEntryName(name.data(), name.size());
}

TEST(IsSafeEntryName, AcceptsRelativeNamesInsideTheFolder) {
    for (const char* name :
         {"a", "Docs\\Readme.txt", ".\\a", "a..b", "..a\\b..", "x\\.\\y", "a b\\c d.txt",
          "\xC8"
          "esky.txt"})
        EXPECT_TRUE(Safe(name)) << name;
}

TEST(IsSafeEntryName, RefusesNamesThatCouldLeaveIt) {
    for (std::string name : std::vector<std::string>{
             "", "\\abs", "/abs", "C:\\x", "C:x", "a\\..", "..", "a\\..\\..\\b", "a/../b", "...\\x",
             "a\\.. \\b", "file:stream", std::string("a\0b", 3)})
        EXPECT_FALSE(Safe(name)) << name;
}

// Windows allows no control character in a name, and a CR once split a name into two paths.
TEST(IsSafeEntryName, RefusesEveryControlCharacter) {
    for (char c = 1; c < 0x20; ++c) {
        std::string alone(1, c), inside = "a\x01\\tmp\\v.txt";
        inside[1] = c;
        EXPECT_FALSE(Safe(alone)) << int{c};
        EXPECT_FALSE(Safe(inside)) << int{c};
    }
    EXPECT_TRUE(Safe("a\x7F\x80 \\b"));
}

} // namespace
