// Entry of the Linux window program, started by the builder in window mode with the builder's
// arguments: the main window on Qt, with the same start-up as the builder, which has already
// named the arguments that it ignores.
#include "entry_posix.h"
#include "window.h"

namespace {

int RunWindow(const prutils::CommandLine& commandLine, const packrig::StartupState& state, char**) {
    if (!fpackrig::WindowSystemAvailable())
        return packrig::ExplainNoDisplay();
    return fpackrig::RunMainWindow(packrig::MakeWindowStart(commandLine, state),
                                   state.RuntimeModuleImage);
}

} // namespace

int main(int argc, char** argv) {
    return packrig::RunEntry(argc, argv, RunWindow, false);
}
