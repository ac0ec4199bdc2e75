// Entry of the Linux builder. Only "-" introduces a switch here: every absolute path begins
// with "/". The builder itself never loads a GUI library: window mode replaces this process
// with the window program, installed beside it (PACKRIG_WINDOW_PROGRAM, relative to the folder
// of this program), with the same arguments, after this process has named the arguments it
// ignores.
#include "entry_posix.h"
#include "window.h"

#include <cerrno>
#include <cstring>
#include <iostream>
#include <string>
#include <unistd.h>

namespace {

std::string WindowProgramPath(const std::string& ownPath) {
    return ownPath.substr(0, ownPath.rfind('/') + 1) + PACKRIG_WINDOW_PROGRAM;
}

int StartWindowProgram(const prutils::CommandLine& commandLine, const packrig::StartupState&,
                       char** argv) {
    std::string window = WindowProgramPath(commandLine.PositionalParam(0));
    if (access(window.c_str(), X_OK) != 0) {
        std::cerr << "packrig: the window is not installed (" << window
                  << "); use -h with three paths.\n";
        packrig::PrintUsage();
        return packrig::kExitRejected;
    }
    if (!fpackrig::WindowSystemAvailable())
        return packrig::ExplainNoDisplay();
    execv(window.c_str(), argv);
    std::cerr << "packrig: cannot start the window " << window << ": " << std::strerror(errno)
              << '\n';
    return packrig::kExitFailure;
}

} // namespace

int main(int argc, char** argv) {
    return packrig::RunEntry(argc, argv, StartWindowProgram, true);
}
