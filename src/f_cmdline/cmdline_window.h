// The command-line help window: the usage text in a read-only box, over the main window.
#pragma once

#include "usage.h"

#include <string>

namespace fcmdline {

inline constexpr const char* kDesignedCaption = "Command line support";
inline constexpr int kModalCancel = 2;

// The window's caption: the main window's, " - ", its own.
inline std::string HelpCaption(const std::string& mainCaption) {
    return mainCaption + " - " + kDesignedCaption;
}

// The usage lines joined with CR LF, as the text box shows them.
inline std::string UsageText() {
    std::string text;
    for (const char* line : kUsageLines) {
        if (!text.empty())
            text += "\r\n";
        text += line;
    }
    return text;
}

// Windows: shows the help window modally over `mainWindow` (an HWND) and returns its modal
// result, always kModalCancel.
int ShowCmdlineWindow(void* mainWindow, const std::string& mainCaption);

} // namespace fcmdline
