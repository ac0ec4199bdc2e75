// The builder's three modal message boxes; captions come from the interface language, texts are
// passed in (English, with CR LF line breaks).
#pragma once

#include <string>

namespace prdialogs {

void ShowError(const std::string& text);
void ShowInformation(const std::string& text);
// True exactly when the user answers Yes; with `yesIsDefault` false, No is the default answer.
bool AskYesNo(const std::string& text, bool yesIsDefault);

// The window that owns the boxes while it exists (null: the active window); an HWND on Windows,
// the main QWidget on Linux.
void SetApplicationWindow(void* window);
void* ApplicationWindow();

// The box shown when a headless build fails with an input/output error: "Application Error".
void ShowApplicationError(const std::string& text);

// One line on the terminal, below what the boxes said: standard error, when the process has one.
void WriteTerminalLine(const std::string& line);

} // namespace prdialogs
