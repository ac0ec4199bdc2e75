// What the two Linux programs share at their entry: the headless builder `packrig` and the
// window program that it starts for window mode both read the same command line the same way.
#pragma once

#include "startup.h"

#include <iostream>

namespace packrig {

void PrintUsage(std::ostream& out = std::cerr);

// What runs window mode, given the command line, the start-up state and main's argv.
using WindowMode = int (*)(const prutils::CommandLine& commandLine, const StartupState& state,
                           char** argv);

// The whole run of a Linux entry: an unknown "--" option, or one without its value, refused with
// the usage on standard error (exit 2); --help or --version answered on standard output; otherwise,
// with `reportIgnored`, one line on standard error for each argument that sets nothing; the
// command line of this process (its own file as argument 0), everything up to the window (see
// StartBuilder) with the usage printed after a headless start without three paths, then
// `windowMode` when window mode is to run. Returns the exit code.
int RunEntry(int argc, char** argv, WindowMode windowMode, bool reportIgnored);

// Window mode without a window system: says why and what to do instead. Returns the exit code.
int ExplainNoDisplay();

} // namespace packrig
