// Entry of the Linux builder. Only "-" introduces a switch here: every absolute path begins
// with "/".
#include "startup.h"
#include "usage.h"

#ifdef PACKRIG_WITH_QT
#include "window.h"
#include "window_qt.h"
#endif

#include <iostream>
#include <unistd.h>
#include <vector>

namespace {

std::string OwnPath(const char* argv0) {
    std::vector<char> buffer(4096);
    ssize_t n = readlink("/proc/self/exe", buffer.data(), buffer.size() - 1);
    return n > 0 ? std::string(buffer.data(), static_cast<size_t>(n)) : std::string(argv0);
}

void PrintUsage() {
    for (const char* line : fcmdline::kUsageLines)
        std::cerr << line << '\n';
}

// Window mode: the Qt window when this build has it and there is a display to show it on.
int RunWindow(const prutils::CommandLine& commandLine, const packrig::StartupState& state) {
#ifdef PACKRIG_WITH_QT
    if (fpackrig::WindowSystemAvailable()) {
        return fpackrig::RunMainWindow(packrig::MakeWindowStart(commandLine, state),
                                       state.RuntimeModuleImage);
    }
    std::cerr << "packrig: the window needs a display (DISPLAY or WAYLAND_DISPLAY); without one, "
                 "use -h with three paths.\n";
    PrintUsage();
    return fpackrig::kWindowUnavailable;
#else
    (void)commandLine;
    (void)state;
    std::cerr << "packrig: the window is not available in this build; use -h with three paths.\n";
    PrintUsage();
    return packrig::kExitRejected;
#endif
}

} // namespace

int main(int argc, char** argv) {
    prutils::CommandLine commandLine(OwnPath(argv[0]),
                                     std::vector<std::string>(argv + 1, argv + argc), false);
    packrig::StartupState state;
    int exitCode = packrig::StartBuilder(commandLine, state);
    if (state.Headless && !state.flags.PathsGiven)
        PrintUsage();
    if (exitCode >= 0)
        return exitCode;
    return RunWindow(commandLine, state);
}
