// Command-line splitting and the switch/positional rules of the builder.
#include "cmdline.h"

#include <algorithm>

namespace prutils {

namespace {

bool IsSeparator(char c) {
    return static_cast<unsigned char>(c) <= ' ';
}

char AsciiUpper(char c) {
    return (c >= 'a' && c <= 'z') ? static_cast<char>(c - 32) : c;
}

} // namespace

bool EqualsIgnoringCase(std::string_view a, std::string_view b) {
    return a.size() == b.size() && std::equal(a.begin(), a.end(), b.begin(), [](char x, char y) {
               return AsciiUpper(x) == AsciiUpper(y);
           });
}

std::vector<std::string> SplitCommandLine(std::string_view line) {
    std::vector<std::string> args;
    size_t i = 0;
    for (;;) {
        while (i < line.size() && IsSeparator(line[i]))
            ++i;
        // A pair of quotes where an argument would begin is skipped, so it yields nothing.
        while (i + 1 < line.size() && line[i] == '"' && line[i + 1] == '"')
            i += 2;
        if (i >= line.size())
            break;
        if (IsSeparator(line[i]))
            continue;
        std::string arg;
        while (i < line.size() && !IsSeparator(line[i])) {
            if (line[i] == '"') {
                ++i;
                while (i < line.size() && line[i] != '"')
                    arg += line[i++];
                if (i < line.size())
                    ++i;
            } else {
                arg += line[i++];
            }
        }
        if (!arg.empty())
            args.push_back(std::move(arg));
    }
    return args;
}

CommandLine::CommandLine(std::string program, std::vector<std::string> args, bool slashSwitches)
    : program_(std::move(program)), args_(std::move(args)), slashSwitches_(slashSwitches) {}

bool CommandLine::IsSwitch(const std::string& arg) const {
    return !arg.empty() && (arg[0] == '-' || (slashSwitches_ && arg[0] == '/'));
}

bool CommandLine::FindCmdLineSwitch(std::string_view name) const {
    return std::any_of(args_.begin(), args_.end(), [&](const std::string& arg) {
        return IsSwitch(arg) && EqualsIgnoringCase(std::string_view(arg).substr(1), name);
    });
}

std::optional<std::string> CommandLine::LongSwitchValue(std::string_view name) const {
    std::optional<std::string> value;
    for (std::string_view arg : args_) {
        size_t equals = arg.find('=');
        if (arg.starts_with("--") && equals != std::string_view::npos &&
            EqualsIgnoringCase(arg.substr(2, equals - 2), name))
            value = std::string(arg.substr(equals + 1));
    }
    return value;
}

int CommandLine::PositionalParamCount() const {
    return static_cast<int>(std::count_if(args_.begin(), args_.end(),
                                          [&](const std::string& arg) { return !IsSwitch(arg); }));
}

std::string CommandLine::PositionalParam(int n) const {
    if (n == 0)
        return program_;
    for (const std::string& arg : args_) {
        if (IsSwitch(arg))
            continue;
        if (--n == 0)
            return arg;
    }
    return {};
}

std::string WithTrailingDelimiter(std::string path, char delimiter) {
    if (!path.empty() && path.back() != delimiter)
        path += delimiter;
    return path;
}

std::string TrimControlAndBlank(std::string_view text) {
    size_t begin = 0, end = text.size();
    while (begin < end && IsSeparator(text[begin]))
        ++begin;
    while (end > begin && IsSeparator(text[end - 1]))
        --end;
    return std::string(text.substr(begin, end - begin));
}

} // namespace prutils
