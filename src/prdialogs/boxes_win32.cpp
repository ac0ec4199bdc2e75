// Message boxes through MessageBoxA. Top-most windows of this process are taken out of the
// top-most band while a box is shown, so none of them can cover it.
#include "boxes.h"

#include "language.h"

#include <vector>
#include <windows.h>

namespace prdialogs {

namespace {

HWND g_applicationWindow = nullptr;

BOOL CALLBACK CollectTopMost(HWND window, LPARAM list) {
    DWORD pid = 0;
    GetWindowThreadProcessId(window, &pid);
    if (pid == GetCurrentProcessId() && IsWindowVisible(window) &&
        (GetWindowLongA(window, GWL_EXSTYLE) & WS_EX_TOPMOST))
        reinterpret_cast<std::vector<HWND>*>(list)->push_back(window);
    return TRUE;
}

void SetTopMost(const std::vector<HWND>& windows, HWND band) {
    for (HWND w : windows)
        SetWindowPos(w, band, 0, 0, 0, 0, SWP_NOMOVE | SWP_NOSIZE | SWP_NOACTIVATE);
}

int ShowBox(const std::string& text, const char* caption, UINT flags) {
    std::vector<HWND> topMost;
    EnumWindows(CollectTopMost, reinterpret_cast<LPARAM>(&topMost));
    SetTopMost(topMost, HWND_NOTOPMOST);
    int result = MessageBoxA(g_applicationWindow ? g_applicationWindow : GetActiveWindow(),
                             text.c_str(), caption, flags);
    SetTopMost(topMost, HWND_TOPMOST);
    return result;
}

} // namespace

void SetApplicationWindow(void* window) {
    g_applicationWindow = static_cast<HWND>(window);
}

void* ApplicationWindow() {
    return g_applicationWindow;
}

void ShowError(const std::string& text) {
    ShowBox(text, Texts().ErrorCaption, MB_OK | MB_ICONERROR);
}

void ShowInformation(const std::string& text) {
    ShowBox(text, Texts().InformationCaption, MB_OK | MB_ICONINFORMATION);
}

bool AskYesNo(const std::string& text, bool yesIsDefault) {
    UINT flags = MB_YESNO | MB_ICONQUESTION | (yesIsDefault ? 0 : MB_DEFBUTTON2);
    return ShowBox(text, Texts().QuestionCaption, flags) == IDYES;
}

void ShowApplicationError(const std::string& text) {
    MessageBoxA(nullptr, text.c_str(), "Application Error", MB_OK | MB_ICONSTOP | MB_TASKMODAL);
}

// A program of the window subsystem has standard error only when its starter handed one on
// (a redirection, or the terminal of a Linux shell under wine); otherwise the line is dropped.
void WriteTerminalLine(const std::string& line) {
    HANDLE err = GetStdHandle(STD_ERROR_HANDLE);
    if (err == nullptr || err == INVALID_HANDLE_VALUE)
        return;
    std::string text = line + "\r\n";
    DWORD written = 0;
    WriteFile(err, text.data(), static_cast<DWORD>(text.size()), &written, nullptr);
}

void DetectLanguage() {
    LanguageIndex = LanguageIndexFor(GetSystemDefaultLangID(), LanguageIndex);
}

} // namespace prdialogs
