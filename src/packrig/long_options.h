// The Linux builder's terminal conventions on top of the shared switch rules: the long options it
// knows (--help, --version and those that carry a value) and the arguments that set nothing, which
// it names on standard error so that a mistyped switch does not go unseen.
#pragma once

#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace packrig {

struct LongOption {
    std::string_view name; // what follows "--"
    bool takesValue;       // written "--name=value"
};

// Every long option of the Linux builder.
inline constexpr LongOption kLongOptions[] = {
    {"help", false},
    {"version", false},
    {"codepage", true},
};

// The option of `table` that `arg` spells (letter case aside, as for every switch), or null. One
// that takes a value needs "=" after its name; one that takes none must end at its name.
const LongOption* FindLongOption(std::string_view arg,
                                 std::span<const LongOption> table = kLongOptions);

// Joins each "--name value" of an option that takes a value into "--name=value", in place. An
// unknown "--" option, or one that lacks its value, is refused: returns the error text, and
// `args` is left as it was.
std::optional<std::string> JoinOptionValues(std::vector<std::string>& args);

enum class InfoRequest { None, Help, Version };

// What the first --help or --version of `args` (arguments 1 to n) asks for.
InfoRequest FindInfoRequest(const std::vector<std::string>& args);

// The arguments that set nothing, in their order: switches other than -o, -c, -h and the long
// options, and positional parameters after the third. Only "-" introduces a switch.
std::vector<std::string> IgnoredArguments(const std::vector<std::string>& args);

} // namespace packrig
