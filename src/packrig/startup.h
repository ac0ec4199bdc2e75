// Start-up of the builder: the process-wide state, the switches, and the choice between a
// headless build and the window.
#pragma once

#include "build_sfx.h"
#include "cmdline.h"
#include "ownresource.h"
#include "window_logic.h"

namespace packrig {

// Process exit codes. A build whose inputs are rejected or whose overwrite is declined is a
// failure for the calling script, so it does not end with 0.
enum ExitCode : int {
    kExitSuccess = 0,
    kExitFailure =
        1, // input/output failure, no entry to start, or the builder's own image is missing
    kExitRejected = 2,
};

struct StartupState {
    fpackrig::BuildFlags flags;
    bool Headless = false;
    prutils::ResourceBytes RuntimeModuleImage;
};

// Reads the switches and the positional-parameter count.
StartupState ReadSwitches(const prutils::CommandLine& commandLine);

// Runs a headless start: the build when three paths are given. Returns the exit code.
int RunHeadless(const prutils::CommandLine& commandLine, const StartupState& state);

// The exit code of a finished build; a failure is reported in the "Application Error" box.
int FinishHeadlessBuild(const fpackrig::BuildResult& result);

// Everything up to the window: language, image, seed, switches, and the headless build. Returns
// the exit code when the process is to end, or -1 when window mode is to run with `state`.
int StartBuilder(const prutils::CommandLine& commandLine, StartupState& state);

// What the window starts with: the flags, the first three positional parameters and the program
// file's version.
fpackrig::WindowStart MakeWindowStart(const prutils::CommandLine& commandLine,
                                      const StartupState& state);

} // namespace packrig
