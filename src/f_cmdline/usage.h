// The usage text of the builder's command line, shown by the help window and by the terminal.
#pragma once

namespace fcmdline {

inline constexpr const char* kUsageLines[] = {
    "Usage:",
    "packrig [-o] [-c] [-h] <sourcedir> <executablefile> <targetfile>",
    "",
    "Optional parametrs:",
    "-o  automatically overwrite target file, if exists",
    "-c  do not show message box when SFX module was created",
    "-h  hide main form of the application",
    "",
    "Example:",
    "packrig -o \"C:\\sourcedir\" \"setup.exe\" \"C:\\targetfile.exe\"",
};

} // namespace fcmdline
