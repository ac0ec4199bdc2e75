// Long options and ignored arguments of the Linux builder's command line.
#include "long_options.h"

#include "cmdline.h"

#include <algorithm>

namespace packrig {

namespace {

bool IsSwitch(const std::string& arg) {
    return !arg.empty() && arg[0] == '-';
}

constexpr std::string_view kShortSwitches[] = {"o", "c", "h", "z"};

bool IsShortSwitch(std::string_view arg) {
    return std::any_of(
        std::begin(kShortSwitches), std::end(kShortSwitches),
        [&](std::string_view name) { return prutils::EqualsIgnoringCase(arg.substr(1), name); });
}

} // namespace

const LongOption* FindLongOption(std::string_view arg, std::span<const LongOption> table) {
    if (!arg.starts_with("--"))
        return nullptr;
    arg.remove_prefix(2);
    for (const LongOption& option : table) {
        std::string_view name = arg.substr(0, option.takesValue ? arg.find('=') : arg.size());
        bool shaped = !option.takesValue || name.size() < arg.size();
        if (shaped && prutils::EqualsIgnoringCase(name, option.name))
            return &option;
    }
    return nullptr;
}

std::optional<std::string> JoinOptionValues(std::vector<std::string>& args) {
    std::vector<std::string> joined;
    for (size_t i = 0; i < args.size(); ++i) {
        const std::string& arg = args[i];
        if (!arg.starts_with("--") || FindLongOption(arg) != nullptr) {
            joined.push_back(arg);
            continue;
        }
        if (arg.find('=') != std::string::npos || FindLongOption(arg + "=") == nullptr)
            return "unknown option " + arg;
        if (i + 1 == args.size())
            return "option " + arg + " needs a value, as in " + arg + "=value";
        joined.push_back(arg + "=" + args[++i]);
    }
    args = std::move(joined);
    return std::nullopt;
}

InfoRequest FindInfoRequest(const std::vector<std::string>& args) {
    for (const std::string& arg : args) {
        const LongOption* option = FindLongOption(arg);
        if (option && option->name == "help")
            return InfoRequest::Help;
        if (option && option->name == "version")
            return InfoRequest::Version;
    }
    return InfoRequest::None;
}

std::vector<std::string> IgnoredArguments(const std::vector<std::string>& args) {
    std::vector<std::string> ignored;
    int positional = 0;
    for (const std::string& arg : args) {
        bool known = IsSwitch(arg) ? IsShortSwitch(arg) || FindLongOption(arg) != nullptr
                                   : ++positional <= 3;
        if (!known)
            ignored.push_back(arg);
    }
    return ignored;
}

} // namespace packrig
