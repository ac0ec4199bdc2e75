// The builder's main window: runs the window and its message loop until the application ends.
#pragma once

#include "ownresource.h"
#include "window_logic.h"

namespace fpackrig {

// Returns the process exit code: 0 after a successful build or when the user closed the window.
int RunMainWindow(const WindowStart& start, const prutils::ResourceBytes& image);

} // namespace fpackrig
