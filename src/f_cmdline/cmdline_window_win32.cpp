// The help window Tfcmdline: a borderless read-only text box with the usage text and a "Close"
// button; Esc, the button and the title-bar close all end it with the cancel result.
#include "cmdline_window.h"

#include "form_win32.h"

namespace fcmdline {

namespace {

constexpr const char* kClassName = "Tfcmdline";
constexpr int kTextId = 301;
constexpr DWORD kStyle = WS_POPUP | WS_CAPTION | WS_SYSMENU | WS_CLIPCHILDREN;
constexpr DWORD kExStyle = WS_EX_DLGMODALFRAME;

void CloseWithCancel(HWND form) {
    auto* state = reinterpret_cast<prdialogs::ModalState*>(GetWindowLongPtrA(form, GWLP_USERDATA));
    if (state)
        state->result = kModalCancel;
}

bool FormKeyDown(HWND form, WPARAM key) {
    if (key != VK_ESCAPE)
        return false;
    CloseWithCancel(form);
    return true;
}

LRESULT CALLBACK CmdlineProc(HWND form, UINT message, WPARAM wParam, LPARAM lParam) {
    switch (message) {
    case WM_COMMAND:
        if (LOWORD(wParam) == IDCANCEL) {
            CloseWithCancel(form);
            return 0;
        }
        break;
    case DM_GETDEFID:
        return MAKELRESULT(IDCANCEL, DC_HASDEFID);
    case WM_CLOSE:
        CloseWithCancel(form);
        return 0;
    case WM_CTLCOLORSTATIC: // the read-only text box reads as part of the window
        SetTextColor(reinterpret_cast<HDC>(wParam), GetSysColor(COLOR_WINDOWTEXT));
        SetBkColor(reinterpret_cast<HDC>(wParam), GetSysColor(COLOR_BTNFACE));
        return reinterpret_cast<LRESULT>(GetSysColorBrush(COLOR_BTNFACE));
    }
    return DefWindowProcA(form, message, wParam, lParam);
}

} // namespace

int ShowCmdlineWindow(void* mainWindow, const std::string& mainCaption) {
    HWND owner = static_cast<HWND>(mainWindow);
    prdialogs::RegisterFormClass(kClassName, CmdlineProc);
    SIZE outer = prdialogs::OuterSize(560, 320, kStyle, kExStyle);
    RECT area;
    if (!owner || !GetWindowRect(owner, &area))
        SystemParametersInfoA(SPI_GETWORKAREA, 0, &area, 0);
    POINT at = prdialogs::CentredIn(area, outer);
    HWND form =
        CreateWindowExA(kExStyle, kClassName, HelpCaption(mainCaption).c_str(), kStyle, at.x, at.y,
                        outer.cx, outer.cy, owner, nullptr, GetModuleHandleA(nullptr), nullptr);
    if (!form)
        return kModalCancel;
    prdialogs::ModalState state;
    state.keyDown = FormKeyDown;
    SetWindowLongPtrA(form, GWLP_USERDATA, reinterpret_cast<LONG_PTR>(&state));

    prdialogs::GdiFont formFont(11, FW_NORMAL, "MS Sans Serif");
    prdialogs::GdiFont textFont(13, FW_NORMAL, "Courier New", false, FIXED_PITCH | FF_MODERN);
    prdialogs::CreateControl(form, kTextId, "EDIT", UsageText(),
                             WS_VISIBLE | WS_TABSTOP | ES_MULTILINE | ES_READONLY | ES_AUTOVSCROLL |
                                 ES_AUTOHSCROLL,
                             0, prdialogs::Box(8, 16, 545, 265), textFont.get());
    HWND close = prdialogs::CreateControl(form, IDCANCEL, "BUTTON", "Close",
                                          WS_VISIBLE | WS_TABSTOP | BS_DEFPUSHBUTTON, 0,
                                          prdialogs::Box(480, 288, 75, 25), formFont.get());
    return prdialogs::RunModal(form, owner, state, close);
}

} // namespace fcmdline
