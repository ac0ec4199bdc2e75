// The display forms of untrusted bytes: names and paths that cannot forge a line or reach the
// terminal as control sequences, and JSON text that is valid UTF-8 whatever the bytes.
#include "display.h"
#include "inspection.h"

#include <gtest/gtest.h>

namespace {

TEST(DisplayTest, EscapesWhatIsNotPlainText) {
    struct Case {
        const char* bytes;
        const char* stored; // as a stored name (Windows-1252)
        const char* path;   // as a Linux path (UTF-8)
    } cases[] = {
        {"Docs\\Read me.txt", "Docs\\Read me.txt", "Docs\\Read me.txt"},
        {"a\nstatus sound", "a<0A>status sound", "a<0A>status sound"},
        {"\x1b[2J\x7f", "<1B>[2J<7F>", "<1B>[2J<7F>"},
        {"<3C>", "<3C>3C>", "<3C>3C>"},
        {"caf\xe9", "caf\xc3\xa9", "caf<E9>"},
        {"\x81\x8d\x80", "<81><8D>\xe2\x82\xac", "<81><8D><80>"},
        {"\xc3\xa9\xc2\x9b", "\xc3\x83\xc2\xa9\xc3\x82\xe2\x80\xba", "\xc3\xa9<C2><9B>"},
        {"\xe2\x82", "\xc3\xa2\xe2\x80\x9a", "<E2><82>"},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(inspect::ShownStored(c.bytes), c.stored) << c.bytes;
        EXPECT_EQ(inspect::ShownPath(c.bytes), c.path) << c.bytes;
    }
}

TEST(DisplayTest, MakesAnyBytesValidUtf8) {
    EXPECT_EQ(inspect::ValidUtf8("caf\xc3\xa9/t.exe"), "caf\xc3\xa9/t.exe");
    EXPECT_EQ(inspect::ValidUtf8("\xff\xe2\x82x\xed\xa0\x80"),
              "\xef\xbf\xbd\xef\xbf\xbd\xef\xbf\xbdx\xef\xbf\xbd\xef\xbf\xbd\xef\xbf\xbd");
    inspect::Inspection r;
    r.hasId = true;
    r.id = "\x81\n";
    std::string json = inspect::FormatJson(r, "/x/\xff.exe");
    EXPECT_NE(json.find("\"file\": \"/x/\xef\xbf\xbd.exe\""), std::string::npos) << json;
    EXPECT_NE(json.find("\"identifier\": \"\xef\xbf\xbd\\u000A\""), std::string::npos) << json;
    EXPECT_NE(inspect::FormatText(r, "/x/\xff.exe").find("identifier <81><0A>\n"),
              std::string::npos);
}

} // namespace
