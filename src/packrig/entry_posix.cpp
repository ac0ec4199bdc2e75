// Entry steps shared by the Linux builder and its window program.
#include "entry_posix.h"

#include "codepage.h"
#include "long_options.h"
#include "version.h"
#include "window.h"

#include <iostream>
#include <unistd.h>
#include <vector>

namespace packrig {

namespace {

std::string OwnPath(const char* argv0) {
    std::vector<char> buffer(4096);
    ssize_t n = readlink("/proc/self/exe", buffer.data(), buffer.size() - 1);
    return n > 0 ? std::string(buffer.data(), static_cast<size_t>(n)) : std::string(argv0);
}

// --codepage=N names the ANSI code page of the systems the SFX file is for, in which names are
// stored, upper-cased and compared. False, with a message, for one that is not supported.
bool ApplyCodePageSwitch(const prutils::CommandLine& commandLine) {
    std::optional<std::string> value = commandLine.LongSwitchValue("codepage");
    if (!value)
        return true;
    std::optional<prutils::CodePage> codePage = prutils::CodePageNamed(*value);
    if (!codePage) {
        std::cerr << "packrig: --codepage=" << *value << " names no code page that names can be "
                  << "stored in; use one of " << prutils::CodePageNames() << ".\n";
        return false;
    }
    prutils::SetTargetCodePage(*codePage);
    return true;
}

} // namespace

void PrintUsage(std::ostream& out) {
    out << "Usage:\n"
           "packrig [-o] [-c] [-h] [-z] [--codepage=N] <sourcedir> <executablefile> <targetfile>\n"
           "\n"
           "Switches and options:\n"
           "-o  automatically overwrite target file, if exists\n"
           "-c  do not show message box when SFX module was created\n"
           "-h  hide main form of the application (needed where there is no display)\n"
           "-z  compress the files (one LZMA2 stream)\n"
           "--codepage=N  Windows code page of the stored names: "
        << prutils::CodePageNames()
        << " (1252 when not given)\n"
           "--help     show this text\n"
           "--version  show the version\n"
           "An option's value may also follow it as the next argument (--codepage 1251).\n"
           "\n"
           "Example:\n"
           "packrig -h -o -c ./dist setup.exe ./out/setup-sfx.exe\n";
}

int RunEntry(int argc, char** argv, WindowMode windowMode, bool reportIgnored) {
    std::vector<std::string> args(argv + 1, argv + argc);
    if (std::optional<std::string> error = JoinOptionValues(args)) {
        std::cerr << "packrig: " << *error << "\n\n";
        PrintUsage();
        return kExitRejected;
    }
    switch (FindInfoRequest(args)) {
    case InfoRequest::Help:
        PrintUsage(std::cout);
        return kExitSuccess;
    case InfoRequest::Version:
        std::cout << "packrig " << prutils::BuildVersion() << '\n';
        return kExitSuccess;
    case InfoRequest::None:
        break;
    }
    if (reportIgnored) {
        for (const std::string& arg : IgnoredArguments(args))
            std::cerr << "packrig: ignored: " << arg << '\n';
    }
    prutils::CommandLine commandLine(OwnPath(argv[0]), std::move(args), false);
    if (!ApplyCodePageSwitch(commandLine))
        return kExitRejected;
    StartupState state;
    int exitCode = StartBuilder(commandLine, state);
    if (state.Headless && !state.flags.PathsGiven)
        PrintUsage();
    if (exitCode >= 0)
        return exitCode;
    return windowMode(commandLine, state, argv);
}

int ExplainNoDisplay() {
    std::cerr << "packrig: the window needs a display (DISPLAY or WAYLAND_DISPLAY); without one, "
                 "use -h with three paths.\n";
    PrintUsage();
    return fpackrig::kWindowUnavailable;
}

} // namespace packrig
