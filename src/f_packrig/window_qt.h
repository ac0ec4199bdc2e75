// The main window on Qt, apart from the application that runs it, so that tests can drive it.
#pragma once

#include "ownresource.h"
#include "window_logic.h"

#include <QWidget>

#include <memory>

namespace fpackrig {

// The main window, created and filled (FormCreate) but not yet shown. Its controls carry their
// member names as object names.
std::unique_ptr<QWidget> CreateMainWindow(const WindowStart& start,
                                          const prutils::ResourceBytes& image);

// Shows the window centred on the screen with the focus on the make button, and posts the
// automatic build of paths-given mode.
void ShowMainWindow(QWidget& window);

} // namespace fpackrig
