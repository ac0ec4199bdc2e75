// Entry of the Windows builder: arguments from GetCommandLineA, "-" and "/" introduce switches.
#include "startup.h"
#include "window.h"

#include <windows.h>

namespace {

std::string OwnPath() {
    char path[MAX_PATH + 1] = {};
    DWORD n = GetModuleFileNameA(nullptr, path, MAX_PATH);
    return std::string(path, n);
}

prutils::CommandLine ReadCommandLine() {
    std::vector<std::string> args = prutils::SplitCommandLine(GetCommandLineA());
    if (!args.empty())
        args.erase(args.begin());
    return prutils::CommandLine(OwnPath(), std::move(args), true);
}

} // namespace

int WINAPI WinMain(HINSTANCE, HINSTANCE, LPSTR, int) {
    prutils::CommandLine commandLine = ReadCommandLine();
    packrig::StartupState state;
    int exitCode = packrig::StartBuilder(commandLine, state);
    if (exitCode >= 0)
        return exitCode;
    return fpackrig::RunMainWindow(packrig::MakeWindowStart(commandLine, state),
                                   state.RuntimeModuleImage);
}
