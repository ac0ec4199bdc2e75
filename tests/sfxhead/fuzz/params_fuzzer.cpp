// Fuzz target of the runtime module's argument handling: the Parameters it hands to the started
// program fill exactly the capacity it asked for, consist only of quoted arguments, and read back
// as a command line they give themselves again, so the started program splits out the same
// arguments as the module did.
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "text.h"

namespace {

[[noreturn]] void Fail(const char* what) {
    std::fprintf(stderr, "invariant broken: %s\n", what);
    std::abort();
}

std::string Parameters(const std::string& line) {
    std::vector<char> out(sfx::ParametersCapacity(line.c_str()));
    sfx::BuildParameters(line.c_str(), out.data(), out.size());
    return out.data();
}

// Whether Parameters are a sequence of blank, double quote, argument, double quote, with every
// double quote inside an argument escaped.
bool AllQuoted(const std::string& text) {
    size_t i = 0;
    while (i < text.size()) {
        if (text.compare(i, 2, " \"") != 0)
            return false;
        i += 2;
        while (i < text.size() && text[i] != '"')
            i += text[i] == '\\' ? 2 : 1;
        if (i >= text.size())
            return false;
        ++i;
    }
    return true;
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

    if (!AllQuoted(parameters))
        Fail("an argument not quoted");
    if (Parameters("sfx.exe" + parameters) != parameters)
        Fail("Parameters split into other arguments");

    // A buffer that is too small cuts the text but stays terminated inside it.
    if (cap > 1) {
        std::vector<char> small(cap / 2 + 1, 'X');
        sfx::BuildParameters(line.c_str(), small.data(), small.size());
        if (std::string(small.data()).size() >= small.size())
            Fail("cut text not terminated");
    }
    return 0;
}
