// The builder's command line: splitting a Windows command line into arguments, and the switch and
// positional-parameter rules shared by the Windows and the Linux builder.
#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace prutils {

// Splits a Windows command line (as GetCommandLineA gives it) into its arguments, program name
// first: characters up to and including the blank separate arguments, a stretch in double quotes
// belongs to one argument and loses its quotes, and a pair of double quotes where an argument
// would begin gives no argument, so no argument is empty.
std::vector<std::string> SplitCommandLine(std::string_view line);

class CommandLine {
  public:
    // `program` is argument 0; `args` are arguments 1 to n. `slashSwitches` says whether "/"
    // introduces a switch besides "-" (Windows); on Linux an absolute path starts with "/".
    CommandLine(std::string program, std::vector<std::string> args, bool slashSwitches);

    // True when some argument is "-" or "/" followed by exactly `name`, ignoring case.
    bool FindCmdLineSwitch(std::string_view name) const;
    // The value of the last argument "--name=value" (`name` ignoring case), or nothing. Such an
    // argument is a switch, so it counts as no positional parameter.
    std::optional<std::string> LongSwitchValue(std::string_view name) const;
    int PositionalParamCount() const;
    // n = 0: argument 0; n < 0, or fewer than n positional parameters: empty.
    std::string PositionalParam(int n) const;

  private:
    bool IsSwitch(const std::string& arg) const;

    std::string program_;
    std::vector<std::string> args_;
    bool slashSwitches_;
};

// Whether `a` and `b` are equal when ASCII letters are compared without regard to case.
bool EqualsIgnoringCase(std::string_view a, std::string_view b);

// `path` with `delimiter` appended unless it is empty or already ends in it.
std::string WithTrailingDelimiter(std::string path, char delimiter = '\\');

// Removes every character with a code of 32 or less from both ends.
std::string TrimControlAndBlank(std::string_view text);

} // namespace prutils
