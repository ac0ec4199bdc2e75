// Fuzz target of the builder's command line: splitting never yields an empty argument nor one
// holding a quote or separator it should have consumed, and the switch and positional rules
// agree with each other on whatever arguments come out.
#include <cstdio>
#include <cstdlib>
#include <string>

#include "cmdline.h"

namespace {

[[noreturn]] void Fail(const char* what) {
    std::fprintf(stderr, "invariant broken: %s\n", what);
    std::abort();
}

void CheckRules(const std::vector<std::string>& split, bool slashSwitches) {
    if (split.empty())
        return;
    std::vector<std::string> args(split.begin() + 1, split.end());
    prutils::CommandLine cmd(split[0], args, slashSwitches);
    int count = cmd.PositionalParamCount();
    if (count < 0 || count > static_cast<int>(args.size()))
        Fail("positional count out of range");
    for (int i = 1; i <= count; ++i) {
        std::string p = cmd.PositionalParam(i);
        if (p.empty() || p[0] == '-' || (slashSwitches && p[0] == '/'))
            Fail("positional parameter is empty or a switch");
    }
    if (!cmd.PositionalParam(count + 1).empty() || !cmd.PositionalParam(-1).empty())
        Fail("positional parameter beyond the count");
    if (cmd.PositionalParam(0) != split[0])
        Fail("argument 0 is not the program");
    for (const std::string& arg : args) {
        bool isSwitch = arg[0] == '-' || (slashSwitches && arg[0] == '/');
        if (isSwitch && !cmd.FindCmdLineSwitch(arg.substr(1)))
            Fail("switch not found");
        // A "--name=value" switch gives a value for its name, the last one's of that name.
        size_t equals = arg.find('=');
        if (arg.starts_with("--") && equals != std::string::npos) {
            std::optional<std::string> value = cmd.LongSwitchValue(arg.substr(2, equals - 2));
            if (!value || (args.back() == arg && *value != arg.substr(equals + 1)))
                Fail("long switch value not found");
        }
    }
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    std::string_view line(reinterpret_cast<const char*>(data), size);
    std::vector<std::string> split = prutils::SplitCommandLine(line);
    size_t quotes = 0;
    for (char c : line)
        quotes += c == '"';
    size_t kept = 0;
    for (const std::string& arg : split) {
        if (arg.empty())
            Fail("empty argument");
        for (char c : arg) {
            if (c == '"')
                Fail("quote kept in an argument");
        }
        kept += arg.size();
    }
    if (kept + quotes > size)
        Fail("more argument bytes than the line holds");
    CheckRules(split, true);
    CheckRules(split, false);
    std::string trimmed = prutils::TrimControlAndBlank(line);
    if (!trimmed.empty() && (static_cast<unsigned char>(trimmed.front()) <= ' ' ||
                             static_cast<unsigned char>(trimmed.back()) <= ' '))
        Fail("trimmed text still has a blank end");
    return 0;
}
