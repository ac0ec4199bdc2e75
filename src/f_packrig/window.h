// The builder's main window: runs the window and its message loop until the application ends.
#pragma once

#include "ownresource.h"
#include "window_logic.h"

namespace fpackrig {

// Exit code when the window cannot be created (no display): a failure, not a silent success.
inline constexpr int kWindowUnavailable = 1;

// Returns the process exit code: 0 after a successful build or when the user closed the window,
// kWindowUnavailable when there is no window to show.
int RunMainWindow(const WindowStart& start, const prutils::ResourceBytes& image);

#ifndef _WIN32
// True when the Linux window can be shown: a display, or a Qt platform chosen through
// QT_QPA_PLATFORM. Reads only the environment, so the headless builder can ask without Qt.
bool WindowSystemAvailable();
#endif

} // namespace fpackrig
