// Fuzz target of the runtime module's argument handling: the Parameters it hands to the started
// program fill exactly the capacity it asked for, consist only of quoted non-empty arguments,
// and carry the same arguments as the builder's splitter finds in the same command line.
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "cmdline.h"
#include "text.h"

namespace {

[[noreturn]] void Fail(const char* what) {
    std::fprintf(stderr, "invariant broken: %s\n", what);
    std::abort();
}

// Splits Parameters (" \"a\" \"b\"") back into its arguments.
std::vector<std::string> SplitParameters(const std::string& text) {
    std::vector<std::string> args;
    size_t i = 0;
    while (i < text.size()) {
        if (text.compare(i, 2, " \"") != 0)
            Fail("argument not introduced by a blank and a quote");
        size_t close = text.find('"', i + 2);
        if (close == std::string::npos)
            Fail("unclosed quote");
        args.push_back(text.substr(i + 2, close - i - 2));
        i = close + 1;
    }
    return args;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    // The command line is a zero-terminated text; what follows a zero byte is not part of it.
    std::string line(reinterpret_cast<const char*>(data), size);
    line.resize(std::strlen(line.c_str()));

    size_t cap = sfx::ParametersCapacity(line.c_str());
    std::vector<char> out(cap + 8, 'X');
    sfx::BuildParameters(line.c_str(), out.data(), cap);
    std::string parameters(out.data());
    if (parameters.size() + 1 != cap)
        Fail("capacity differs from what was written");
    if (out[cap] != 'X')
        Fail("written beyond the capacity");

    std::vector<std::string> args = SplitParameters(parameters);
    for (const std::string& arg : args) {
        if (arg.empty())
            Fail("empty argument");
    }
    std::vector<std::string> split = prutils::SplitCommandLine(line);
    if (!split.empty())
        split.erase(split.begin());
    if (split != args)
        Fail("runtime module and builder split differently");

    // A buffer that is too small cuts the text but stays terminated inside it.
    if (cap > 1) {
        std::vector<char> small(cap / 2 + 1, 'X');
        sfx::BuildParameters(line.c_str(), small.data(), small.size());
        if (std::string(small.data()).size() >= small.size())
            Fail("cut text not terminated");
    }
    return 0;
}
