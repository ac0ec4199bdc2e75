// Whether the Linux window has a window system to show itself on, from the environment alone.
#include "window.h"

#include <cstdlib>

namespace fpackrig {

bool WindowSystemAvailable() {
    for (const char* name : {"QT_QPA_PLATFORM", "DISPLAY", "WAYLAND_DISPLAY"}) {
        const char* value = std::getenv(name);
        if (value && *value)
            return true;
    }
    return false;
}

} // namespace fpackrig
