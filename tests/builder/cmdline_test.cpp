// Command-line splitting and the switch and numbering rules of the builder.
#include "cmdline.h"
#include "startup.h"

#include <gtest/gtest.h>

namespace {

using prutils::CommandLine;
using prutils::SplitCommandLine;
using Args = std::vector<std::string>;

TEST(SplitCommandLine, BlanksControlsAndQuotes) {
    EXPECT_EQ(SplitCommandLine("prog a\tb\x01"
                               "c"),
              (Args{"prog", "a", "b", "c"}));
    EXPECT_EQ(SplitCommandLine("\"C:\\Program Files\\p.exe\" \"C:\\My Files\" x"),
              (Args{"C:\\Program Files\\p.exe", "C:\\My Files", "x"}));
    EXPECT_EQ(SplitCommandLine("p a\"b c\"d"), (Args{"p", "ab cd"}));
    EXPECT_EQ(SplitCommandLine("p \"unterminated arg"), (Args{"p", "unterminated arg"}));
    EXPECT_EQ(SplitCommandLine("p back\\slash\\"), (Args{"p", "back\\slash\\"}));
}

TEST(SplitCommandLine, NeverYieldsAnEmptyArgument) {
    EXPECT_EQ(SplitCommandLine("p \"\" x \"\"\"\" \"\"y \""), (Args{"p", "x", "y"}));
    EXPECT_EQ(SplitCommandLine("   "), Args{});
    EXPECT_EQ(SplitCommandLine(""), Args{});
}

TEST(CommandLine, SwitchesAnywhereCaseBlindAndUncombined) {
    CommandLine cl("C:\\packrig.exe", {"src", "-O", "setup.exe", "/C", "out.exe", "-oc", "-x"},
                   true);
    EXPECT_TRUE(cl.FindCmdLineSwitch("o"));
    EXPECT_TRUE(cl.FindCmdLineSwitch("c"));
    EXPECT_FALSE(cl.FindCmdLineSwitch("h"));
    EXPECT_EQ(cl.PositionalParamCount(), 3);
    EXPECT_EQ(cl.PositionalParam(1), "src");
    EXPECT_EQ(cl.PositionalParam(2), "setup.exe");
    EXPECT_EQ(cl.PositionalParam(3), "out.exe");
}

TEST(CommandLine, OddSwitchesSetNothing) {
    CommandLine cl("p", {"-oc", "--o", "-", "/?", "-hh"}, true);
    for (const char* name : {"o", "c", "h"})
        EXPECT_FALSE(cl.FindCmdLineSwitch(name)) << name;
    EXPECT_EQ(cl.PositionalParamCount(), 0);
}

TEST(CommandLine, PositionalNumbering) {
    CommandLine cl("/usr/bin/packrig", {"-h", "a", "b", "c", "d"}, false);
    EXPECT_EQ(cl.PositionalParam(0), "/usr/bin/packrig");
    EXPECT_EQ(cl.PositionalParam(-1), "");
    EXPECT_EQ(cl.PositionalParam(4), "d");
    EXPECT_EQ(cl.PositionalParam(5), "");
    CommandLine none("p", {}, true);
    EXPECT_EQ(none.PositionalParam(1), "");
    EXPECT_EQ(none.PositionalParamCount(), 0);
}

TEST(CommandLine, SlashIsASwitchOnWindowsAndAPathOnLinux) {
    Args args{"/src/tree", "setup.exe", "/out/setup.exe", "-h"};
    CommandLine windows("p", args, true);
    EXPECT_EQ(windows.PositionalParamCount(), 1);
    EXPECT_EQ(windows.PositionalParam(1), "setup.exe");
    CommandLine linux("p", args, false);
    EXPECT_EQ(linux.PositionalParamCount(), 3);
    EXPECT_EQ(linux.PositionalParam(1), "/src/tree");
    EXPECT_TRUE(linux.FindCmdLineSwitch("H"));
    EXPECT_FALSE(CommandLine("p", {"/h"}, false).FindCmdLineSwitch("h"));
}

TEST(CommandLine, EmptyArgumentKeepsItsPlaceOnLinux) {
    CommandLine cl("p", {"", "setup.exe", "out.exe"}, false);
    EXPECT_EQ(cl.PositionalParamCount(), 3);
    EXPECT_EQ(cl.PositionalParam(2), "setup.exe");
}

// -z asks for a compressed SFX file, in window mode as headless; like every switch it stands
// alone and in any case.
TEST(CommandLine, CompressSwitch) {
    struct Case {
        Args args;
        bool slash, compress, headless;
    };
    for (const Case& c : {Case{{"-z", "s", "e.exe", "t.exe"}, false, true, false},
                          Case{{"s", "-h", "e.exe", "-Z", "t.exe"}, false, true, true},
                          Case{{"/z", "s", "e.exe", "t.exe"}, true, true, false},
                          Case{{"/z", "s", "e.exe", "t.exe"}, false, false, false},
                          Case{{"-zh", "s", "e.exe", "t.exe"}, false, false, false},
                          Case{{"-hz", "s", "e.exe", "t.exe"}, false, false, false},
                          Case{{"s", "e.exe", "t.exe"}, false, false, false}}) {
        packrig::StartupState state = packrig::ReadSwitches(CommandLine("p", c.args, c.slash));
        EXPECT_EQ(state.flags.Compress, c.compress) << c.args[0];
        EXPECT_EQ(state.Headless, c.headless) << c.args[0];
        EXPECT_EQ(state.flags.PathsGiven, true) << c.args[0];
    }
}

// "--name=value" gives its value, the last one when repeated, and is no positional parameter.
TEST(CommandLine, LongSwitchValues) {
    CommandLine cl("p",
                   {"--codepage=1250", "src", "--CodePage=1251", "--codepage", "-codepage=7",
                    "--code=1", "--codepage=", "x"},
                   false);
    EXPECT_EQ(
        CommandLine("p", {"--codepage=1250", "--CodePage=1251"}, false).LongSwitchValue("codepage"),
        "1251");
    EXPECT_EQ(cl.LongSwitchValue("codepage"), ""); // the last one, empty
    EXPECT_EQ(cl.LongSwitchValue("code"), "1");
    EXPECT_FALSE(cl.LongSwitchValue("codepage=1250"));
    EXPECT_FALSE(
        CommandLine("p", {"--codepage", "-codepage=1"}, false).LongSwitchValue("codepage"));
    EXPECT_EQ(cl.PositionalParamCount(), 2);
    EXPECT_EQ(cl.PositionalParam(2), "x");
    EXPECT_FALSE(cl.FindCmdLineSwitch("codepage"));
}

TEST(Paths, TrailingDelimiterAndTrim) {
    EXPECT_EQ(prutils::WithTrailingDelimiter(""), "");
    EXPECT_EQ(prutils::WithTrailingDelimiter("C:\\src"), "C:\\src\\");
    EXPECT_EQ(prutils::WithTrailingDelimiter("C:\\src\\"), "C:\\src\\");
    EXPECT_EQ(prutils::WithTrailingDelimiter("/src", '/'), "/src/");
    EXPECT_EQ(prutils::TrimControlAndBlank(" \t C:\\src \r\n"), "C:\\src");
    EXPECT_EQ(prutils::TrimControlAndBlank(" \x01 "), "");
}

} // namespace
