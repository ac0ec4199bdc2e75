// The Linux builder's long options and the arguments it names as ignored.
#include "long_options.h"

#include <gtest/gtest.h>

namespace {

using packrig::FindInfoRequest;
using packrig::FindLongOption;
using packrig::IgnoredArguments;
using packrig::InfoRequest;
using packrig::LongOption;
using Args = std::vector<std::string>;

TEST(LongOptions, SpelledWholeCaseBlindAndValuesOnlyWhereTaken) {
    constexpr LongOption table[] = {{"help", false}, {"level", true}};
    struct Case {
        const char* arg;
        const LongOption* found;
    } cases[] = {
        {"--help", &table[0]},   {"--HeLp", &table[0]},   {"--help=1", nullptr},
        {"--hel", nullptr},      {"--helpx", nullptr},    {"-help", nullptr},
        {"help", nullptr},       {"--", nullptr},         {"--level=3", &table[1]},
        {"--LEVEL=", &table[1]}, {"--level", nullptr},    {"--levels=3", nullptr},
        {"--lev=3", nullptr},    {"---level=3", nullptr},
    };
    for (const Case& c : cases)
        EXPECT_EQ(FindLongOption(c.arg, table), c.found) << c.arg;
}

TEST(LongOptions, FirstInformationRequestWins) {
    EXPECT_EQ(FindInfoRequest({"-h", "src", "--help"}), InfoRequest::Help);
    EXPECT_EQ(FindInfoRequest({"--VERSION", "--help"}), InfoRequest::Version);
    EXPECT_EQ(FindInfoRequest({"--help", "--version"}), InfoRequest::Help);
    EXPECT_EQ(FindInfoRequest({"-help", "--versions", "--help=yes", "help"}), InfoRequest::None);
    EXPECT_EQ(FindInfoRequest({}), InfoRequest::None);
}

TEST(JoinOptionValues, JoinsValuesAndRefusesWhatItDoesNotKnow) {
    struct Case {
        Args args;
        Args joined;
        const char* error;
    } cases[] = {
        {{"--codepage", "1250", "src", "--CodePage", "x"},
         {"--codepage=1250", "src", "--CodePage=x"},
         nullptr},
        {{"--codepage=1250", "--help", "-x", "--version"},
         {"--codepage=1250", "--help", "-x", "--version"},
         nullptr},
        {{"--codepage", "--help"}, {"--codepage=--help"}, nullptr},
        {{"src", "--compress"}, {}, "unknown option --compress"},
        {{"--help=yes"}, {}, "unknown option --help=yes"},
        {{"--"}, {}, "unknown option --"},
        {{"-h", "--codepage"}, {}, "option --codepage needs a value, as in --codepage=value"},
    };
    for (Case& c : cases) {
        Args args = c.args;
        std::optional<std::string> error = packrig::JoinOptionValues(args);
        EXPECT_EQ(error.value_or(""), c.error ? c.error : "") << testing::PrintToString(c.args);
        EXPECT_EQ(args, c.error ? c.args : c.joined) << testing::PrintToString(c.args);
    }
}

TEST(IgnoredArguments, UnknownSwitchesAndPathsAfterTheThird) {
    struct Case {
        Args args;
        Args ignored;
    } cases[] = {
        {{"-o", "-C", "-H", "src", "setup.exe", "out.exe"}, {}},
        {{"-z", "-Z", "--codepage=1250", "src", "setup.exe", "out.exe"}, {}},
        {{"-zh", "src", "setup.exe", "out.exe"}, {"-zh"}},
        {{"src", "-x", "setup.exe", "--overwrite", "out.exe", "extra", "-oc", "more"},
         {"-x", "--overwrite", "extra", "-oc", "more"}},
        {{"-", "--", "--o", "-/", "-hh", "--help=no"},
         {"-", "--", "--o", "-/", "-hh", "--help=no"}},
        // "/" does not introduce a switch here; an empty argument is a path.
        {{"/src", "", "/out.exe", "/x"}, {"/x"}},
        {{"src", "setup.exe", "", ""}, {""}},
        {{"--version", "--HELP"}, {}},
    };
    for (const Case& c : cases)
        EXPECT_EQ(IgnoredArguments(c.args), c.ignored) << testing::PrintToString(c.args);
}

} // namespace
